// vantrel-sim: writes a simulated raw recording and, beside it, the truth it was made from.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/baseband_modulator.h"
#include "sim/baseband_writer.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"

namespace {

using namespace vantrel::sim;

constexpr int kUsageError = 2;
constexpr int kWriteError = 1;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMaxSizeMib = 1 << 20;  // 1 TiB: anything above is a typing error
constexpr size_t kMaxNoise = size_t{1} << 32;
constexpr int kMaxCount = 100000000;
constexpr size_t kFileBuffer = 1 << 20;
constexpr double kShortPacketMean = 250;  // short packets are 100..400 bytes
constexpr double kMaxNoiseSeconds = 3600;
constexpr double kMaxBitErrorRate = 0.5;
constexpr long long kMaxEvents = 10000;
// Bit rates of the downlinks, for noise given in seconds: MetOp AHRPT, FY-3 HRPT (FY-3C slower),
// Meteor-M N2 HRPT.
constexpr double kMetopBitRate = 3.5e6;
constexpr double kFy3BitRate = 4.2e6;  // FY-3A/B
constexpr double kFy3CBitRate = 3.9e6;
constexpr double kMn2BitRate = 665.4e3;
// Baseband: limits beyond which a value is a typing error.
constexpr double kMaxSampleRate = 200e6;
constexpr double kMaxClockPpm = 1000;
constexpr double kMinModulationIndex = 0.05;
constexpr double kMaxModulationIndex = 1.55;  // below pi/2: the carrier's sign stays
constexpr double kMaxDopplerHz = 1e6;
constexpr double kMinDopplerRate = 1e-3;
constexpr double kMaxDopplerRate = 1e5;
constexpr double kMinEsN0 = -20;
constexpr double kMaxEsN0 = 60;
constexpr double kHorizonBelowTop = 10;  // dB: default Es/N0 at the horizons
constexpr double kMaxDcOffset = 0.5;
constexpr uint64_t kProgressSamples = 100000000;  // longer files report progress
constexpr uint64_t kProgressSteps = 10;
constexpr double kMaxIqGainDb = 6;
constexpr double kMaxIqPhaseDeg = 30;

const char kUsage[] =
    "Usage: vantrel-sim --sat metop|fy3|mn2|cadu --out PATH [options]\n"
    "Writes a simulated raw recording to PATH and its truth beside it: PATH.frames (the\n"
    "expected cadu.pds, 1020-byte records), PATH.packets (MetOp: 12966-byte packets of the\n"
    "chosen APID) or PATH.lines (FY-3: 26050-byte, Meteor-M N2: 11850-byte decoded lines).\n"
    "\n"
    "Content:\n"
    "  --satellite A|B|C        MetOp or FY-3 satellite (default B for MetOp, A for FY-3)\n"
    "  --satellite N2|N2-2|N2-3|N2-4  Meteor-M satellite, as the MSU-MR identifier (default N2)\n"
    "  --packets N              MetOp: AVHRR packets (default 20)\n"
    "  --lines N                FY-3 / Meteor-M N2: instrument lines (default 10)\n"
    "  --frames N               cadu: CADUs of random VCDUs (default 16)\n"
    "  --size-mib N             about N MiB of recording instead of a count\n"
    "  --apid 103|104           MetOp: APID of the AVHRR packets (default 103)\n"
    "  --mix-night              MetOp: every second AVHRR packet has the other APID\n"
    "  --short-packets N        MetOp: 0..3 short packets of APID 105 after each AVHRR packet\n"
    "  --vcid N                 MetOp: virtual channel 0..62 (default 9)\n"
    "  --fy3-channel 5|9|3      FY-3: virtual channel of the VIRR/MERSI data (default 5)\n"
    "  --seed S                 random seed (default 20181231)\n"
    "Encoding and impairments:\n"
    "  --no-pn                  no PN randomisation (Meteor-M N2 never has it)\n"
    "  --no-rs                  truth for a decoder that does not correct (cadu: no check bytes)\n"
    "  --shift N                prepend N random bits, 0..7\n"
    "  --invert                 invert every bit\n"
    "  --noise-before N         N random bytes before the first CADU\n"
    "  --noise-between N        N random bytes between CADUs\n"
    "  --noise-after N          N random bytes after the last CADU\n"
    "  --marker-errors N        N bit errors in every marker but the first, 0..32\n"
    "  --symbol-errors N        N symbol errors in every RS codeword, 0..255 (16 correctable)\n"
    "  --uncorrectable-every N  every Nth CADU gets 24 errors in one codeword\n"
    "  --manchester             Manchester-code the recording (Meteor-M N2 and cadu)\n"
    "Soft symbols (metop, fy3, mn2), as an SDR demodulator writes them:\n"
    "  --soft                   write signed 8-bit soft symbols instead of bits: MetOp QPSK\n"
    "                           coded and punctured to 3/4, I then Q; FY-3 two coded rails of\n"
    "                           differential dibits, I then Q; Meteor-M N2 BPSK, one per bit\n"
    "  --ebn0 DB                Gaussian noise for DB dB energy per recording bit (default none)\n"
    "  --rotation 0|90|180|270|random  carrier phase rotation (default 0; BPSK: 0 or 180)\n"
    "  --iq-swap                I and Q exchanged (QPSK)\n"
    "Baseband (metop, fy3, mn2), as an SDR receiver records the pass:\n"
    "  --baseband wav|cs16|cu8|cf32  write complex samples instead of bits: wav 16-bit I/Q\n"
    "                           (RF64 above 4 GiB), cs16, cu8 (centred on 127.5) or cf32;\n"
    "                           MetOp and FY-3 QPSK with root-raised-cosine pulses (roll-off\n"
    "                           0.5), Meteor-M N2 the data Manchester coded and phase\n"
    "                           modulated with a residual carrier (not with --manchester).\n"
    "                           Noise before rise and after set becomes noise-only samples\n"
    "  --samplerate HZ          samples per second (default 6000000; mn2 3000000)\n"
    "  --clock-ppm PPM          the sample clock runs PPM fast (negative: slow), +-1000\n"
    "  --modulation-index RAD   Meteor-M N2 peak phase deviation (default 1.2)\n"
    "  --doppler HZ             largest Doppler shift of the pass (default 0: none), the\n"
    "                           curve -D u / sqrt(u^2 + (D / rate)^2), u from the top\n"
    "  --doppler-rate HZ_PER_S  its rate at the top of the pass (default 400)\n"
    "  --carrier-offset HZ      receiver oscillator offset (default 0)\n"
    "  --esn0 DB                Gaussian noise for DB dB Es/N0 (at the top of the pass; QPSK:\n"
    "                           per symbol, Meteor-M N2: per data bit of the data's share of\n"
    "                           the power; default no noise)\n"
    "  --esn0-horizon DB        with --pass-profile: Es/N0 at rise and set (default esn0 - 10)\n"
    "  --dc-offset I,Q          DC offset of each branch, fractions of full scale\n"
    "  --iq-imbalance GAIN_DB,PHASE_DEG  the Q branch stronger and off quadrature\n"
    "A realistic pass (seeded; the fate of every CADU is printed and PATH.whole lists the\n"
    "packets or lines that arrived whole):\n"
    "  --pass-profile           noise before rise and after set, a bit error rate falling to\n"
    "                           the top of the pass and rising again, slips, flips, dropouts\n"
    "  --noise-seconds S        seconds of noise before rise and after set (default 2)\n"
    "  --ber-horizon R          bit error rate of the first and last CADU (default 0.02)\n"
    "  --ber-top R              bit error rate at the top of the pass (default 1e-6)\n"
    "  --slips N                bit slips, one bit inserted or removed (default 2)\n"
    "  --phase-flips N          phase flips, the stream inverted from there on (default 1)\n"
    "  --dropouts N             runs of CADUs missing from the recording (default 2)\n"
    "  --dropout-frames N       CADUs in each run (default 2)\n"
    "  --help                   this text\n";

struct Options {
  std::string sat;
  std::string out;
  char satellite = 0;
  int msu_mr_id = -1;  // Meteor-M: --satellite N2...
  long long count = -1;
  std::string count_option;
  long long size_mib = 0;
  uint64_t seed = kDefaultSeed;
  int apid = 103;
  bool mix_night = false;
  int short_packets = 0;
  int vcid = 9;
  int fy3_channel = 5;
  bool manchester = false;
  std::string metop_only;  // a MetOp-only option that was given
  bool fy3_channel_given = false;
  CaduEncoding encoding;
  Impairments impairments;
  double noise_seconds = 2;
  bool noise_before_given = false;
  bool noise_after_given = false;
  std::string profile_only;  // a pass-profile option that was given
  bool soft = false;
  SoftOptions soft_options;
  bool random_rotation = false;
  std::string soft_only;  // a soft-symbol option that was given
  bool baseband = false;
  SampleFileFormat baseband_format = SampleFileFormat::kWav;
  BasebandOptions baseband_options;
  double sample_rate = 0;  // 0: the family's default
  bool esn0_horizon_given = false;
  std::string baseband_only;  // a baseband option that was given
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

long long ParseNumber(std::string_view option, std::string_view text, long long low,
                      long long high) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < low ||
      value > high)
    throw UsageError(std::string(option) + " needs a whole number from " + std::to_string(low) +
                     " to " + std::to_string(high) + ", not '" + std::string(text) + "'");
  return value;
}

double ParseRate(std::string_view option, std::string_view text, double high) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || !(value >= 0 && value <= high))
    throw UsageError(std::string(option) + " needs a number from 0 to " + std::to_string(high) +
                     ", not '" + copy + "'");
  return value;
}

double ParseReal(std::string_view option, std::string_view text, double low, double high,
                 const char* unit) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || !(value >= low && value <= high)) {
    char range[96];
    std::snprintf(range, sizeof range, "%g to %g", low, high);
    throw UsageError(std::string(option) + " needs a number" + (*unit ? " of " : "") + unit +
                     " from " + range + ", not '" + copy + "'");
  }
  return value;
}

// "A,B": two numbers, each within its range.
std::pair<double, double> ParsePair(std::string_view option, std::string_view text, double limit_a,
                                    double limit_b) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos)
    throw UsageError(std::string(option) + " needs two numbers separated by a comma, not '" +
                     std::string(text) + "'");
  return {ParseReal(option, text.substr(0, comma), -limit_a, limit_a, ""),
          ParseReal(option, text.substr(comma + 1), -limit_b, limit_b, "")};
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) throw UsageError(std::string(arg) + " needs a value");
      return argv[++i];
    };
    auto number = [&](long long low, long long high) {
      return ParseNumber(arg, value(), low, high);
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--sat") {
      o.sat = value();
      if (o.sat != "metop" && o.sat != "fy3" && o.sat != "mn2" && o.sat != "cadu")
        throw UsageError("--sat must be metop, fy3, mn2 or cadu, not '" + o.sat + "'");
    } else if (arg == "--out") {
      o.out = value();
      if (o.out.empty()) throw UsageError("--out needs a path");
    } else if (arg == "--satellite") {
      const std::string_view s = value();
      static constexpr std::string_view kMeteors[] = {"N2", "", "N2-2", "N2-3", "N2-4"};
      const auto* meteor = std::find(std::begin(kMeteors), std::end(kMeteors), s);
      if (!s.empty() && meteor != std::end(kMeteors)) {
        o.msu_mr_id = static_cast<int>(meteor - std::begin(kMeteors));
      } else if (s == "A" || s == "B" || s == "C") {
        o.satellite = s[0];
      } else {
        throw UsageError("--satellite must be A, B, C, N2, N2-2, N2-3 or N2-4, not '" +
                         std::string(s) + "'");
      }
    } else if (arg == "--packets" || arg == "--lines" || arg == "--frames") {
      o.count = number(0, kMaxCount);
      o.count_option = arg;
    } else if (arg == "--size-mib") {
      o.size_mib = number(1, kMaxSizeMib);
    } else if (arg == "--seed") {
      const std::string_view s = value();
      uint64_t seed = 0;
      const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), seed);
      if (ec != std::errc() || end != s.data() + s.size() || s.empty())
        throw UsageError("--seed needs a whole number, not '" + std::string(s) + "'");
      o.seed = seed;
    } else if (arg == "--apid") {
      o.apid = static_cast<int>(number(103, 104));
      o.metop_only = arg;
    } else if (arg == "--mix-night") {
      o.mix_night = true;
      o.metop_only = arg;
    } else if (arg == "--short-packets") {
      o.short_packets = static_cast<int>(number(0, 3));
      o.metop_only = arg;
    } else if (arg == "--vcid") {
      o.vcid = static_cast<int>(number(0, kIdleVcid - 1));
      o.metop_only = arg;
    } else if (arg == "--fy3-channel") {
      o.fy3_channel = static_cast<int>(number(3, 9));
      o.fy3_channel_given = true;
      if (o.fy3_channel != 3 && o.fy3_channel != 5 && o.fy3_channel != 9)
        throw UsageError("--fy3-channel must be 5, 9 or 3");
    } else if (arg == "--no-pn") {
      o.encoding.randomise = false;
    } else if (arg == "--no-rs") {
      o.encoding.reed_solomon = false;
    } else if (arg == "--shift") {
      o.impairments.bit_shift = static_cast<int>(number(0, 7));
    } else if (arg == "--invert") {
      o.impairments.invert = true;
    } else if (arg == "--noise-before") {
      o.impairments.noise_before = static_cast<size_t>(number(0, kMaxNoise));
      o.noise_before_given = true;
    } else if (arg == "--noise-between") {
      o.impairments.noise_between = static_cast<size_t>(number(0, kMaxNoise));
    } else if (arg == "--noise-after") {
      o.impairments.noise_after = static_cast<size_t>(number(0, kMaxNoise));
      o.noise_after_given = true;
    } else if (arg == "--pass-profile") {
      o.impairments.profile.enabled = true;
    } else if (arg == "--noise-seconds") {
      o.noise_seconds = ParseRate(arg, value(), kMaxNoiseSeconds);
      o.profile_only = arg;
    } else if (arg == "--ber-horizon") {
      o.impairments.profile.ber_horizon = ParseRate(arg, value(), kMaxBitErrorRate);
      o.profile_only = arg;
    } else if (arg == "--ber-top") {
      o.impairments.profile.ber_top = ParseRate(arg, value(), kMaxBitErrorRate);
      o.profile_only = arg;
    } else if (arg == "--slips") {
      o.impairments.profile.slips = static_cast<int>(number(0, kMaxEvents));
      o.profile_only = arg;
    } else if (arg == "--phase-flips") {
      o.impairments.profile.phase_flips = static_cast<int>(number(0, kMaxEvents));
      o.profile_only = arg;
    } else if (arg == "--dropouts") {
      o.impairments.profile.dropouts = static_cast<int>(number(0, kMaxEvents));
      o.profile_only = arg;
    } else if (arg == "--dropout-frames") {
      o.impairments.profile.dropout_frames = static_cast<int>(number(0, kMaxEvents));
      o.profile_only = arg;
    } else if (arg == "--marker-errors") {
      o.impairments.marker_errors = static_cast<int>(number(0, 32));
    } else if (arg == "--symbol-errors") {
      o.impairments.symbol_errors = static_cast<int>(number(0, 255));
    } else if (arg == "--uncorrectable-every") {
      o.impairments.uncorrectable_every = static_cast<int>(number(0, kMaxCount));
    } else if (arg == "--manchester") {
      o.manchester = true;
    } else if (arg == "--soft") {
      o.soft = true;
    } else if (arg == "--ebn0") {
      const std::string text(value());
      char* end = nullptr;
      const double db = std::strtod(text.c_str(), &end);
      if (text.empty() || end != text.c_str() + text.size() || !(db >= -10 && db <= 60))
        throw UsageError("--ebn0 needs a number of dB from -10 to 60, not '" + text + "'");
      o.soft_options.ebn0_db = db;
      o.soft_only = arg;
    } else if (arg == "--rotation") {
      const std::string_view text = value();
      if (text == "random") {
        o.random_rotation = true;
      } else {
        o.soft_options.rotation = static_cast<int>(ParseNumber(arg, text, 0, 270));
        if (o.soft_options.rotation % 90 != 0)
          throw UsageError("--rotation must be 0, 90, 180, 270 or random");
      }
      o.soft_only = arg;
    } else if (arg == "--iq-swap") {
      o.soft_options.iq_swap = true;
      o.soft_only = arg;
    } else if (arg == "--baseband") {
      const std::string_view name = value();
      if (!ParseSampleFileFormat(name, &o.baseband_format))
        throw UsageError("--baseband must be wav, cs16, cu8 or cf32, not '" + std::string(name) +
                         "'");
      o.baseband = true;
    } else if (arg == "--samplerate") {
      o.sample_rate = ParseReal(arg, value(), 1, kMaxSampleRate, "samples per second");
      if (o.sample_rate != std::floor(o.sample_rate))
        throw UsageError("--samplerate needs a whole number of samples per second");
      o.baseband_only = arg;
    } else if (arg == "--clock-ppm") {
      o.baseband_options.clock_ppm = ParseReal(arg, value(), -kMaxClockPpm, kMaxClockPpm, "ppm");
      o.baseband_only = arg;
    } else if (arg == "--modulation-index") {
      o.baseband_options.modulation_index =
          ParseReal(arg, value(), kMinModulationIndex, kMaxModulationIndex, "radians");
      o.baseband_only = arg;
    } else if (arg == "--doppler") {
      o.baseband_options.doppler_hz = ParseReal(arg, value(), 0, kMaxDopplerHz, "Hz");
      o.baseband_only = arg;
    } else if (arg == "--doppler-rate") {
      o.baseband_options.doppler_rate =
          ParseReal(arg, value(), kMinDopplerRate, kMaxDopplerRate, "Hz per second");
      o.baseband_only = arg;
    } else if (arg == "--carrier-offset") {
      o.baseband_options.carrier_offset_hz =
          ParseReal(arg, value(), -kMaxDopplerHz, kMaxDopplerHz, "Hz");
      o.baseband_only = arg;
    } else if (arg == "--esn0") {
      o.baseband_options.esn0_db = ParseReal(arg, value(), kMinEsN0, kMaxEsN0, "dB");
      o.baseband_only = arg;
    } else if (arg == "--esn0-horizon") {
      o.baseband_options.esn0_horizon_db = ParseReal(arg, value(), kMinEsN0, kMaxEsN0, "dB");
      o.esn0_horizon_given = true;
      o.baseband_only = arg;
    } else if (arg == "--dc-offset") {
      std::tie(o.baseband_options.dc_i, o.baseband_options.dc_q) =
          ParsePair(arg, value(), kMaxDcOffset, kMaxDcOffset);
      o.baseband_only = arg;
    } else if (arg == "--iq-imbalance") {
      std::tie(o.baseband_options.iq_gain_db, o.baseband_options.iq_phase_deg) =
          ParsePair(arg, value(), kMaxIqGainDb, kMaxIqPhaseDeg);
      o.baseband_only = arg;
    } else {
      throw UsageError("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (o.sat.empty()) throw UsageError("--sat is required");
  if (o.out.empty()) throw UsageError("--out is required");
  const char* wanted = o.sat == "metop" ? "--packets" : o.sat == "cadu" ? "--frames" : "--lines";
  if (o.count >= 0 && o.count_option != wanted)
    throw UsageError(o.count_option + " does not apply to --sat " + o.sat + " (use " + wanted +
                     ")");
  if (o.count >= 0 && o.size_mib > 0) throw UsageError("give either a count or --size-mib");
  if (o.manchester && o.sat != "mn2" && o.sat != "cadu")
    throw UsageError("--manchester applies to --sat mn2 and cadu only");
  if (o.satellite && o.sat != "metop" && o.sat != "fy3")
    throw UsageError("--satellite A, B or C applies to --sat metop and fy3 only");
  if (o.msu_mr_id >= 0 && o.sat != "mn2")
    throw UsageError("--satellite N2... applies to --sat mn2 only");
  if (!o.metop_only.empty() && o.sat != "metop")
    throw UsageError(o.metop_only + " applies to --sat metop only");
  if (o.fy3_channel_given && o.sat != "fy3")
    throw UsageError("--fy3-channel applies to --sat fy3 only");
  if (!o.soft_only.empty() && !o.soft) throw UsageError(o.soft_only + " applies with --soft only");
  if (o.soft && o.sat == "cadu") throw UsageError("--soft applies to --sat metop, fy3 and mn2");
  if (o.soft && o.manchester)
    throw UsageError(
        "--soft writes what the demodulator leaves after removing the Manchester "
        "code: give it without --manchester");
  if (o.soft) {
    o.soft_options.modulation = o.sat == "metop" ? SoftModulation::kMetopQpsk
                                : o.sat == "fy3" ? SoftModulation::kFy3Qpsk
                                                 : SoftModulation::kMeteorBpsk;
    if (o.sat == "mn2" && (o.soft_options.iq_swap || o.soft_options.rotation % 180 != 0))
      throw UsageError("Meteor-M N2 soft symbols are BPSK: --rotation 0 or 180, no --iq-swap");
    o.soft_options.seed = o.seed ^ 0x50f7;
    if (o.random_rotation) {
      std::mt19937_64 rng(o.seed);
      o.soft_options.rotation =
          o.sat == "mn2" ? 180 * static_cast<int>(rng() % 2) : 90 * static_cast<int>(rng() % 4);
    }
  }
  if (!o.baseband_only.empty() && !o.baseband)
    throw UsageError(o.baseband_only + " applies with --baseband only");
  if (o.baseband) {
    if (o.sat == "cadu") throw UsageError("--baseband applies to --sat metop, fy3 and mn2");
    if (o.soft) throw UsageError("give either --soft or --baseband");
    if (o.manchester)
      throw UsageError(
          "--baseband Manchester-codes the Meteor-M N2 data itself: give it without "
          "--manchester");
    BasebandOptions& b = o.baseband_options;
    b.modulation = o.sat == "metop" ? SoftModulation::kMetopQpsk
                   : o.sat == "fy3" ? SoftModulation::kFy3Qpsk
                                    : SoftModulation::kMeteorBpsk;
    b.symbol_rate = o.sat == "metop"     ? kMetopSymbolRate
                    : o.sat == "mn2"     ? kMn2DataRate
                    : o.satellite == 'C' ? kFy3CSymbolRate
                                         : kFy3AbSymbolRate;
    b.sample_rate = o.sample_rate > 0 ? o.sample_rate : o.sat == "mn2" ? 3e6 : 6e6;
    // QPSK down to one sample per symbol (a receiver's band narrower than the signal's: the
    // samples are the waveform's at their instants, its band's edges folded in); Manchester
    // half-bits need 1.5 samples each.
    const double unit_rate = o.sat == "mn2" ? 2 * b.symbol_rate : b.symbol_rate;
    const double least_per_unit = o.sat == "mn2" ? 1.5 : 1.0;
    if (b.sample_rate < least_per_unit * unit_rate)
      throw UsageError("--samplerate " + std::to_string(static_cast<long long>(b.sample_rate)) +
                       " is below " + (o.sat == "mn2" ? "1.5 times the " : "the ") +
                       (o.sat == "mn2" ? "Manchester half-bit rate (" : "symbol rate (") +
                       std::to_string(static_cast<long long>(unit_rate)) + ")");
    if (std::abs(b.carrier_offset_hz) + b.doppler_hz >= b.sample_rate / 2)
      throw UsageError(
          "--carrier-offset and --doppler together must stay within half the "
          "sample rate");
    if (o.esn0_horizon_given && !o.impairments.profile.enabled)
      throw UsageError("--esn0-horizon applies with --pass-profile only");
    if (o.esn0_horizon_given && std::isnan(b.esn0_db))
      throw UsageError("--esn0-horizon needs --esn0 (the top of the pass)");
    if (o.impairments.profile.enabled && !std::isnan(b.esn0_db)) {
      b.follow_pass = true;
      if (!o.esn0_horizon_given) b.esn0_horizon_db = b.esn0_db - kHorizonBelowTop;
    }
    b.seed = o.seed ^ 0xbba5eba2d;
  }
  if (!o.profile_only.empty() && !o.impairments.profile.enabled)
    throw UsageError(o.profile_only + " applies with --pass-profile only");
  if (o.impairments.profile.enabled) {
    // Noise before rise and after set, at the family's bit rate unless given in bytes.
    const double bit_rate = o.sat == "fy3"   ? (o.satellite == 'C' ? kFy3CBitRate : kFy3BitRate)
                            : o.sat == "mn2" ? kMn2BitRate
                                             : kMetopBitRate;
    const auto bytes = static_cast<size_t>(o.noise_seconds * bit_rate / 8);
    if (!o.noise_before_given) o.impairments.noise_before = bytes;
    if (!o.noise_after_given) o.impairments.noise_after = bytes;
  }
  return o;
}

// A file written through a large buffer.
class OutFile {
 public:
  explicit OutFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create '" + path + "': " + std::strerror(errno));
    buffer_.resize(kFileBuffer);
    std::setvbuf(file_.get(), buffer_.data(), _IOFBF, buffer_.size());
  }
  // Stops at the first failed write (a full disk): minutes of a long pass are not spent on a
  // file that cannot be complete.
  void Write(const uint8_t* data, size_t size) {
    if (std::fwrite(data, 1, size, file_.get()) != size) {
      const int error = errno;
      ok_ = false;
      throw std::runtime_error("writing '" + path_ + "' failed: " + std::strerror(error));
    }
    bytes_ += size;
    ++records_;
  }
  void Close() {
    if (std::fclose(file_.release()) != 0) ok_ = false;
    if (!ok_) throw std::runtime_error("writing '" + path_ + "' failed");
  }
  const std::string& path() const { return path_; }
  uint64_t bytes() const { return bytes_; }
  uint64_t records() const { return records_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const {
      if (f) std::fclose(f);
    }
  };
  std::string path_;
  std::vector<char> buffer_;
  std::unique_ptr<std::FILE, Closer> file_;
  bool ok_ = true;
  uint64_t bytes_ = 0;
  uint64_t records_ = 0;
};

// Count that gives about `size_mib` MiB of recording.
long long CountForSize(const Options& o) {
  const double target = static_cast<double>(o.size_mib) * kMiB;
  double cadu = static_cast<double>(kCaduSize + o.impairments.noise_between);
  if (o.manchester) cadu *= 2;
  double per_unit = 1;  // CADUs per packet, line or frame
  if (o.sat == "metop") {
    const double stream = kAvhrrPacketSize + o.short_packets * kShortPacketMean;
    per_unit = stream / kPacketZoneSize * (1 + (1.0 / 3));  // idle VCDU after every third
  } else if (o.sat == "fy3") {
    per_unit = static_cast<double>(kFy3LineSize) / kPacketZoneSize * 2;  // one other per data
  } else if (o.sat == "mn2") {
    per_unit = static_cast<double>(kMn2LineSize) / kMn2StreamPerFrame;
  }
  const long long count = static_cast<long long>(target / (cadu * per_unit));
  return count > 0 ? count : 1;
}

// Streams the recording of the chosen family to the sinks.
void StreamFamily(const Options& o, long long count, const PassSinks& sinks) {
  if (o.sat == "metop") {
    MetopOptions m;
    m.satellite = o.satellite ? o.satellite : 'B';
    if (count >= 0) m.packets = static_cast<int>(count);
    m.apid = o.apid;
    m.mix_night = o.mix_night;
    m.short_packets = o.short_packets;
    m.vcid = o.vcid;
    StreamMetopPass(m, o.encoding, o.impairments, o.seed, sinks);
  } else if (o.sat == "fy3") {
    Fy3Options f;
    f.satellite = o.satellite ? o.satellite : 'A';
    if (count >= 0) f.lines = static_cast<int>(count);
    f.vcid = o.fy3_channel;
    StreamFy3Pass(f, o.encoding, o.impairments, o.seed, sinks);
  } else if (o.sat == "mn2") {
    Mn2Options n;
    if (count >= 0) n.lines = static_cast<int>(count);
    n.manchester = o.manchester;
    if (o.msu_mr_id >= 0) n.msu_mr_id = o.msu_mr_id;
    StreamMn2Pass(n, o.impairments, o.seed, sinks);
  } else {
    constexpr long long kDefaultFrames = 16;
    StreamCaduPass(static_cast<size_t>(count >= 0 ? count : kDefaultFrames), o.encoding,
                   o.impairments, o.seed, o.manchester, sinks);
  }
}

// The baseband of a pass: the modulator, the sample file behind it and the progress shown.
struct Baseband {
  std::unique_ptr<SampleFileWriter> file;
  std::unique_ptr<BasebandModulator> modulator;
  uint64_t next_report = 0;
};

// Measures the recording (a first run of the same seed into nothing) and prepares the baseband:
// where the noise before rise and after set lies, how many samples the file will hold. Refuses
// options the modulator cannot meet before any file is made.
std::unique_ptr<Baseband> PrepareBaseband(const Options& o, long long count) {
  uint64_t bytes = 0;
  PassSinks measure;
  measure.recording = [&bytes](const uint8_t*, size_t size) { bytes += size; };
  StreamFamily(o, count, measure);
  BasebandTimeline timeline;
  timeline.recording_bits = 8 * bytes;
  timeline.signal_first_bit = std::min<uint64_t>(
      timeline.recording_bits,
      8 * uint64_t{o.impairments.noise_before} + static_cast<uint64_t>(o.impairments.bit_shift));
  const uint64_t after = 8 * uint64_t{o.impairments.noise_after};
  timeline.signal_end_bit =
      std::max(timeline.signal_first_bit,
               timeline.recording_bits > after ? timeline.recording_bits - after : uint64_t{0});
  auto baseband = std::make_unique<Baseband>();
  baseband->modulator = std::make_unique<BasebandModulator>(
      o.baseband_options, timeline,
      [b = baseband.get(), rate = o.baseband_options.sample_rate](const float* iq, size_t n) {
        b->file->Write(iq, n);
        const uint64_t done = b->file->SamplesWritten();
        const uint64_t total = b->modulator->SampleCount();
        if (total > kProgressSamples && done >= b->next_report) {
          std::printf("baseband: %3.0f%% (%.0f s of %.0f s)\n",
                      100.0 * static_cast<double>(done) / static_cast<double>(total),
                      static_cast<double>(done) / rate, static_cast<double>(total) / rate);
          std::fflush(stdout);
          b->next_report = done + total / kProgressSteps;
        }
      });
  return baseband;
}

void FinishBaseband(const Options& o, Baseband& baseband) {
  baseband.modulator->Finish();
  baseband.file->Finish();
  const BasebandOptions& b = o.baseband_options;
  const BasebandModulator& m = *baseband.modulator;
  const char* kind = o.sat == "metop" ? "MetOp QPSK"
                     : o.sat == "fy3" ? "FY-3 QPSK"
                                      : "Meteor-M N2 PM, Manchester";
  std::printf(
      "baseband: %s at %.6g %s/s, %s at %.0f samples/s (clock %+g ppm), %llu samples "
      "(%.3f s)\n",
      kind, b.symbol_rate, o.sat == "mn2" ? "bit" : "symbol",
      SampleFileFormatName(o.baseband_format), b.sample_rate, b.clock_ppm,
      static_cast<unsigned long long>(m.SampleCount()),
      static_cast<double>(m.SampleCount()) / b.sample_rate);
  std::printf("baseband: signal from %.3f s to %.3f s, ", m.RiseTime(), m.SetTime());
  if (std::isnan(b.esn0_db))
    std::printf("no noise");
  else if (b.follow_pass)
    std::printf("Es/N0 %.2f dB at the top, %.2f dB at rise and set", b.esn0_db, b.esn0_horizon_db);
  else
    std::printf("Es/N0 %.2f dB", b.esn0_db);
  if (o.sat == "mn2") std::printf(", modulation index %.3f rad", b.modulation_index);
  std::printf(
      "\nbaseband: carrier %+.1f Hz at the start, %+.1f Hz at the top, %+.1f Hz at the "
      "end (Doppler %.0f Hz, %.0f Hz/s at the top; oscillator %+.1f Hz)\n",
      m.CarrierAt(0), m.CarrierAt((m.RiseTime() + m.SetTime()) / 2),
      m.CarrierAt(static_cast<double>(m.SampleCount()) / b.sample_rate), b.doppler_hz,
      b.doppler_hz != 0 ? b.doppler_rate : 0.0, b.carrier_offset_hz);
  std::printf("baseband: %llu samples clipped (%.2g%%)\n",
              static_cast<unsigned long long>(baseband.file->Clipped()),
              m.SampleCount() ? 100.0 * static_cast<double>(baseband.file->Clipped()) /
                                    static_cast<double>(m.SampleCount())
                              : 0.0);
}

int Run(const Options& o) {
  long long count = o.count;
  if (o.size_mib > 0) count = CountForSize(o);
  std::printf("vantrel-sim: --sat %s, seed %llu\n", o.sat.c_str(),
              static_cast<unsigned long long>(o.seed));
  std::unique_ptr<Baseband> baseband;
  if (o.baseband) baseband = PrepareBaseband(o, count);

  OutFile recording(o.out);
  OutFile frames(o.out + ".frames");
  std::unique_ptr<OutFile> truth;
  PassSinks sinks;
  sinks.recording = [&recording](const uint8_t* data, size_t size) { recording.Write(data, size); };
  std::unique_ptr<SoftSymbolWriter> soft;
  if (o.soft) {
    soft = std::make_unique<SoftSymbolWriter>(o.soft_options, sinks.recording);
    sinks.recording = [&soft](const uint8_t* data, size_t size) { soft->Write(data, size); };
  }
  if (baseband) {
    baseband->file = std::make_unique<SampleFileWriter>(
        o.baseband_format, static_cast<uint32_t>(o.baseband_options.sample_rate),
        baseband->modulator->SampleCount(), sinks.recording);
    sinks.recording = [&baseband](const uint8_t* data, size_t size) {
      baseband->modulator->Write(data, size);
    };
  }
  sinks.frame = [&frames](const uint8_t* frame) { frames.Write(frame, kCodeBlockSize); };
  // Pass profile: what became of the CADUs, and which units arrived whole.
  struct FateTally {
    uint64_t made = 0, dropped = 0, damaged = 0, inverted = 0, corrected = 0, uncorrectable = 0,
             symbols = 0;
  } tally;
  std::vector<bool> truth_unit;  // per unit: whether it goes into the truth file
  std::vector<bool> whole;
  if (o.impairments.profile.enabled) {
    sinks.fate = [&tally, &o](const FrameFate& fate) {
      ++tally.made;
      if (fate.dropped) return void(++tally.dropped);
      if (fate.damaged) return void(++tally.damaged);
      if (fate.inverted) ++tally.inverted;
      if (!o.encoding.reed_solomon || o.sat == "mn2") return;  // nothing corrects the frames
      bool corrected = false, uncorrectable = false;
      for (int errors : fate.symbol_errors) {
        if (errors > kCorrectableSymbolErrors) {
          uncorrectable = true;
        } else if (errors > 0) {
          corrected = true;
          tally.symbols += static_cast<uint64_t>(errors);
        }
      }
      tally.corrected += corrected;
      tally.uncorrectable += uncorrectable;
    };
    sinks.whole_units = [&whole](const std::vector<bool>& units) { whole = units; };
  }

  if (o.sat == "metop") {
    truth = std::make_unique<OutFile>(o.out + ".packets");
    sinks.unit = [&truth, &o, &truth_unit](const uint8_t* packet, size_t size) {
      const bool wanted = ((packet[0] & 0x07) << 8 | packet[1]) == o.apid;
      truth_unit.push_back(wanted);
      if (wanted) truth->Write(packet, size);
    };
  } else if (o.sat == "fy3" || o.sat == "mn2") {
    truth = std::make_unique<OutFile>(o.out + ".lines");
    sinks.unit = [&truth](const uint8_t* line, size_t size) { truth->Write(line, size); };
  }
  StreamFamily(o, count, sinks);
  if (baseband) FinishBaseband(o, *baseband);

  if (soft) {
    soft->Finish();
    const char* kind = o.sat == "metop" ? "MetOp QPSK, rate 3/4"
                       : o.sat == "fy3" ? "FY-3 QPSK, two rails of rate 3/4, differential"
                                        : "Meteor-M N2 BPSK";
    std::printf("soft symbols: %s, rotation %d, I/Q swap %s, ", kind, o.soft_options.rotation,
                o.soft_options.iq_swap ? "yes" : "no");
    if (std::isnan(o.soft_options.ebn0_db))
      std::printf("no noise, ");
    else
      std::printf("Eb/N0 %.2f dB, ", o.soft_options.ebn0_db);
    std::printf("%llu symbols\n", static_cast<unsigned long long>(soft->SymbolsWritten()));
  }
  recording.Close();
  frames.Close();
  std::printf("wrote %s: %llu bytes\n", recording.path().c_str(),
              static_cast<unsigned long long>(recording.bytes()));
  std::printf("wrote %s: %llu frames of 1020 bytes\n", frames.path().c_str(),
              static_cast<unsigned long long>(frames.records()));
  if (o.impairments.profile.enabled) {
    std::printf(
        "pass profile: %llu CADUs made, %llu dropped, %llu damaged by a slip or flip, %llu "
        "inverted, %llu with corrected codewords (%llu symbols), %llu uncorrectable\n",
        static_cast<unsigned long long>(tally.made), static_cast<unsigned long long>(tally.dropped),
        static_cast<unsigned long long>(tally.damaged),
        static_cast<unsigned long long>(tally.inverted),
        static_cast<unsigned long long>(tally.corrected),
        static_cast<unsigned long long>(tally.symbols),
        static_cast<unsigned long long>(tally.uncorrectable));
    if (truth) {
      // Indices into the truth file: MetOp keeps the packets of the chosen APID only.
      std::string text;
      uint64_t index = 0, whole_count = 0;
      for (size_t u = 0; u < whole.size(); ++u) {
        if (!truth_unit.empty() && !truth_unit[u]) continue;
        if (whole[u]) {
          text += std::to_string(index) + "\n";
          ++whole_count;
        }
        ++index;
      }
      OutFile list(o.out + ".whole");
      list.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      list.Close();
      std::printf("wrote %s: %llu of %llu whole\n", list.path().c_str(),
                  static_cast<unsigned long long>(whole_count),
                  static_cast<unsigned long long>(index));
    }
  }
  if (truth) {
    truth->Close();
    std::printf("wrote %s: %llu %s of %llu bytes\n", truth->path().c_str(),
                static_cast<unsigned long long>(truth->records()),
                o.sat == "metop" ? "packets" : "lines",
                static_cast<unsigned long long>(o.sat == "metop" ? kAvhrrPacketSize
                                                : o.sat == "fy3" ? kFy3LineSize
                                                                 : kMn2LineSize));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "vantrel-sim: %s\n\n%s", e.what(), kUsage);
    return kUsageError;
  }
  try {
    return Run(options);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "vantrel-sim: %s\n", e.what());
    return kUsageError;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel-sim: %s\n", e.what());
    return kWriteError;
  }
}
