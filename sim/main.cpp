// vantrel-sim: writes a simulated raw recording and, beside it, the truth it was made from.

#include <algorithm>
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
#include <vector>

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
// Bit rates of the downlinks, for noise given in seconds: MetOp AHRPT, FY-3 HRPT, Meteor-M N2
// HRPT.
constexpr double kMetopBitRate = 3.5e6;
constexpr double kFy3BitRate = 4.2e6;
constexpr double kMn2BitRate = 665.4e3;

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
  if (!o.profile_only.empty() && !o.impairments.profile.enabled)
    throw UsageError(o.profile_only + " applies with --pass-profile only");
  if (o.impairments.profile.enabled) {
    // Noise before rise and after set, at the family's bit rate unless given in bytes.
    const double bit_rate = o.sat == "fy3"   ? kFy3BitRate
                            : o.sat == "mn2" ? kMn2BitRate
                                             : kMetopBitRate;
    const auto bytes = static_cast<size_t>(o.noise_seconds * bit_rate / 8);
    if (!o.noise_before_given) o.impairments.noise_before = bytes;
    if (!o.noise_after_given) o.impairments.noise_after = bytes;
  }
  return o;
}

// A file written through a large buffer; remembers the first write error.
class OutFile {
 public:
  explicit OutFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create '" + path + "': " + std::strerror(errno));
    buffer_.resize(kFileBuffer);
    std::setvbuf(file_.get(), buffer_.data(), _IOFBF, buffer_.size());
  }
  void Write(const uint8_t* data, size_t size) {
    if (ok_ && std::fwrite(data, 1, size, file_.get()) != size) ok_ = false;
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

int Run(const Options& o) {
  long long count = o.count;
  if (o.size_mib > 0) count = CountForSize(o);
  std::printf("vantrel-sim: --sat %s, seed %llu\n", o.sat.c_str(),
              static_cast<unsigned long long>(o.seed));

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
    MetopOptions m;
    m.satellite = o.satellite ? o.satellite : 'B';
    if (count >= 0) m.packets = static_cast<int>(count);
    m.apid = o.apid;
    m.mix_night = o.mix_night;
    m.short_packets = o.short_packets;
    m.vcid = o.vcid;
    sinks.unit = [&truth, &o, &truth_unit](const uint8_t* packet, size_t size) {
      const bool wanted = ((packet[0] & 0x07) << 8 | packet[1]) == o.apid;
      truth_unit.push_back(wanted);
      if (wanted) truth->Write(packet, size);
    };
    StreamMetopPass(m, o.encoding, o.impairments, o.seed, sinks);
  } else if (o.sat == "fy3") {
    truth = std::make_unique<OutFile>(o.out + ".lines");
    Fy3Options f;
    f.satellite = o.satellite ? o.satellite : 'A';
    if (count >= 0) f.lines = static_cast<int>(count);
    f.vcid = o.fy3_channel;
    sinks.unit = [&truth](const uint8_t* line, size_t size) { truth->Write(line, size); };
    StreamFy3Pass(f, o.encoding, o.impairments, o.seed, sinks);
  } else if (o.sat == "mn2") {
    truth = std::make_unique<OutFile>(o.out + ".lines");
    Mn2Options n;
    if (count >= 0) n.lines = static_cast<int>(count);
    n.manchester = o.manchester;
    if (o.msu_mr_id >= 0) n.msu_mr_id = o.msu_mr_id;
    sinks.unit = [&truth](const uint8_t* line, size_t size) { truth->Write(line, size); };
    StreamMn2Pass(n, o.impairments, o.seed, sinks);
  } else {
    constexpr long long kDefaultFrames = 16;
    StreamCaduPass(static_cast<size_t>(count >= 0 ? count : kDefaultFrames), o.encoding,
                   o.impairments, o.seed, o.manchester, sinks);
  }

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
