#include "cli/command_line.h"

#include <sys/stat.h>

#include <array>
#include <charconv>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "app/driver.h"
#include "core/live_source.h"
#include "core/log_format.h"
#include "core/record_sizes.h"
#include "core/satellite.h"
#include "core/setting_ranges.h"
#include "fy3/c10_record.h"

namespace vantrel::cli {
namespace {

// The settings the options may hold come from core/setting_ranges.h, as the window's fields.
// The most channels an instrument has (VIRR); the run's product says how many it has.
constexpr int kMaxPreviewChannel = 10;

std::optional<int> WholeNumber(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// True when `path` names something on disk (from the current folder, where the program started).
bool NamesAFile(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The positional switches, by position (2 to 5), applied as the window's batch mode does.
void ApplySwitch(size_t position, const std::string& value, Command& command) {
  Settings& s = command.settings;
  bool known = true;
  switch (position) {
    case 2:
      if (value == "DR_y")
        s.PNdecoding = true;
      else if (value == "DR_n")
        s.PNdecoding = false;
      else
        known = false;
      s.PNdecodingGiven = s.PNdecodingGiven || known;
      break;
    case 3:
      if (value == "RS_y")
        s.RSolomon = true;
      else if (value == "RS_n")
        s.RSolomon = false;
      else
        known = false;
      break;
    case 4:
      if (value == "MN_y")
        s.Manchester_box = true;
      else if (value == "MN_n")
        s.Manchester_box = false;
      else
        known = false;
      break;
    default:
      if (value == "MET_n")
        s.APID104 = true;
      else
        known = false;
      break;
  }
  if (!known) {
    static const char* const kExpected[] = {"DR_y or DR_n", "RS_y or RS_n", "MN_y or MN_n",
                                            "MET_n"};
    command.warnings.push_back(Format("parameter %zu '%s' is not %s: setting left unchanged",
                                      position, value.c_str(), kExpected[position - 2]));
  }
}

// A value one of the positional switches takes.
bool IsSwitchWord(std::string_view word) {
  for (std::string_view known : {"DR_y", "DR_n", "RS_y", "RS_n", "MN_y", "MN_n", "MET_n"})
    if (word == known) return true;
  return false;
}

// The four settings that both a positional switch and an option can set; an option wins.
struct SwitchOverrides {
  std::optional<bool> PNdecoding, RSolomon, Manchester_box, APID104;
};

// Why the stream inputs of `command` cannot run as given; empty when they can. A stream has no
// name to tell its satellite or what it holds, and only one stream can be read at a time.
std::string StreamProblem(const Command& command) {
  size_t streams = 0;
  for (const std::string& input : command.inputs) {
    if (!IsStreamInput(input)) continue;
    ++streams;
    const Settings& s = command.settings;
    if (s.Satellite.empty())
      return "'" + input +
             "' is a stream: it needs --satellite NAME, or --satellite auto to search its start "
             "(a stream has no name to tell its satellite)";
    if (s.InputKind.empty() && s.BasebandFormat.empty() && s.SampleRate <= 0)
      return "'" + input +
             "' is a stream: it needs --input hard|soft|baseband, or "
             "--baseband-format and --samplerate for baseband samples";
    // Without --input, the baseband options given mean baseband.
    const bool baseband = s.InputKind == "baseband" || s.InputKind.empty();
    if (baseband && s.BasebandFormat.empty())
      return "'" + input + "' is a stream of baseband samples: it needs --baseband-format";
    if (baseband && s.BasebandFormat != "wav" && s.SampleRate <= 0)
      return "'" + input + "' is a stream of raw baseband samples: it needs --samplerate";
  }
  if (streams > 1) return "only one stream input can be read in a call";
  return {};
}

class Parser {
 public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  ParseResult Parse() {
    std::vector<std::string> positional;
    bool options_end = false;
    while (next_ < args_.size()) {
      const std::string& arg = args_[next_++];
      if (!options_end && arg == "--") {
        options_end = true;
      } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
        if (!Option(arg)) return result_;
        if (result_.command.action != Command::Action::Run) return Succeed();
      } else {
        positional.push_back(arg);
      }
    }
    if (positional.empty()) return Fail("no input file given"), result_;
    Command& command = result_.command;
    command.inputs.push_back(positional[0]);
    std::vector<std::string> switches;
    // With --satellite an input needs no marker: every parameter but the switch words is one.
    const bool any_name = !command.settings.Satellite.empty();
    for (size_t i = 1; i < positional.size(); ++i) {
      if (FindMarker(positional[i]) != nullptr || (any_name && !IsSwitchWord(positional[i]))) {
        command.inputs.push_back(positional[i]);
      } else if (!IsSwitchWord(positional[i]) && NamesAFile(positional[i])) {
        // A second recording without a marker, not a switch that happens to be misspelt.
        return Fail("no satellite marker in '" + positional[i] + "' (a recording's name needs " +
                    MarkerList() + ", or --satellite)"),
               result_;
      } else {
        switches.push_back(positional[i]);
      }
    }
    if (const std::string problem = StreamProblem(command); !problem.empty())
      return Fail(problem), result_;
    constexpr size_t kMaxSwitches = 4;
    if (switches.size() > kMaxSwitches)
      return Fail("too many parameters: '" + switches[kMaxSwitches] + "'"), result_;
    // The switches are parameters 2 to 5, whatever the number of inputs before them.
    for (size_t i = 0; i < switches.size(); ++i) ApplySwitch(i + 2, switches[i], command);
    Settings& s = command.settings;
    s.PNdecoding = overrides_.PNdecoding.value_or(s.PNdecoding);
    s.PNdecodingGiven = s.PNdecodingGiven || overrides_.PNdecoding.has_value();
    s.RSolomon = overrides_.RSolomon.value_or(s.RSolomon);
    s.Manchester_box = overrides_.Manchester_box.value_or(s.Manchester_box);
    s.APID104 = overrides_.APID104.value_or(s.APID104);
    return Succeed();
  }

 private:
  ParseResult Succeed() {
    result_.ok = true;
    return result_;
  }

  bool Fail(std::string reason) {
    result_.ok = false;
    result_.error = std::move(reason);
    return false;
  }

  // The value of option `name`: "--name=value" or the next argument.
  std::optional<std::string> Value(const std::string& name, const std::string& arg) {
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) return arg.substr(equals + 1);
    if (next_ >= args_.size()) {
      Fail(name + " needs a value");
      return std::nullopt;
    }
    return args_[next_++];
  }

  // A value that must be one of `allowed`.
  std::optional<std::string> Choice(const std::string& name, const std::string& arg,
                                    std::initializer_list<std::string_view> allowed,
                                    const char* described) {
    std::optional<std::string> text = Value(name, arg);
    if (!text) return std::nullopt;
    for (std::string_view candidate : allowed)
      if (*text == candidate) return text;
    Fail(name + " takes " + described + ", not '" + *text + "'");
    return std::nullopt;
  }

  // A value that must be one of the numbers `allowed` ("takes 5, 9 or 3").
  template <size_t N>
  std::optional<int> NumberOf(const std::string& name, const std::string& arg,
                              const std::array<int, N>& allowed) {
    std::optional<std::string> text = Value(name, arg);
    if (!text) return std::nullopt;
    std::string described;
    for (size_t i = 0; i < N; ++i) {
      if (i > 0) described += i + 1 == N ? " or " : ", ";
      described += std::to_string(allowed[i]);
      if (*text == std::to_string(allowed[i])) return allowed[i];
    }
    Fail(name + " takes " + described + ", not '" + *text + "'");
    return std::nullopt;
  }

  // A numeric value within [low, high].
  std::optional<int> Number(const std::string& name, const std::string& arg, int low, int high) {
    const std::optional<std::string> text = Value(name, arg);
    if (!text) return std::nullopt;
    const std::optional<int> value = WholeNumber(*text);
    if (!value || *value < low || *value > high) {
      Fail(Format("%s takes a whole number from %d to %d, not '%s'", name.c_str(), low, high,
                  text->c_str()));
      return std::nullopt;
    }
    return value;
  }

  bool Option(const std::string& arg) {
    const std::string name = arg.substr(0, arg.find('='));
    Command& command = result_.command;
    Settings& s = command.settings;
    struct Flag {
      const char* name;
      std::optional<bool>* override_target;
      bool* target;
      bool value;
    };
    const Flag flags[] = {
        {"--derandomize", &overrides_.PNdecoding, nullptr, true},
        {"--no-derandomize", &overrides_.PNdecoding, nullptr, false},
        {"--rs", &overrides_.RSolomon, nullptr, true},
        {"--no-rs", &overrides_.RSolomon, nullptr, false},
        {"--manchester", &overrides_.Manchester_box, nullptr, true},
        {"--no-manchester", &overrides_.Manchester_box, nullptr, false},
        {"--keep-files", nullptr, &s.DFiles, false},
        {"--keep-uncorrectable", nullptr, &s.KeepUncorrectable, true},
        {"--full-cadu", nullptr, &s.Full_CADU, true},
        {"--get-vcdu", nullptr, &s.GetVCDU, true},
        {"--get-apid", nullptr, &s.GetAPID, true},
        {"--fy3-asm", nullptr, &s.FY3ASM, true},
        {"--quiet", nullptr, &command.quiet, true},
        {"--preview", nullptr, &command.preview, true},
        {"--follow", nullptr, &s.Follow, true},
        {"-q", nullptr, &command.quiet, true},
    };
    for (const Flag& flag : flags) {
      if (name != flag.name) continue;
      if (name != arg) return Fail(name + " takes no value");
      if (flag.override_target)
        *flag.override_target = flag.value;
      else
        *flag.target = flag.value;
      return true;
    }
    if (name == "--help" || name == "-h") {
      command.action = Command::Action::Help;
      return true;
    }
    if (name == "--version") {
      command.action = Command::Action::Version;
      return true;
    }
    if (name == "-C" || name == "--work-dir" || name == "--output-dir") {
      const std::optional<std::string> folder = Value(name, arg);
      if (!folder) return false;
      if (folder->empty()) return Fail(name + " needs a folder");
      (name == "--output-dir" ? command.output_dir : command.work_dir) = *folder;
      return true;
    }
    if (name == "--apid") {
      const auto text = Choice(name, arg, {"103", "104"}, "103 or 104");
      if (text) overrides_.APID104 = (*text == "104");
      return text.has_value();
    }
    if (name == "--fy3-channel") {
      const auto value = NumberOf(name, arg, kFy3Channels);
      if (value) s.Fy3Vcid = *value;
      return value.has_value();
    }
    if (name == "--input") {
      const auto text = Choice(name, arg, {"hard", "soft", "baseband"}, "hard, soft or baseband");
      if (text) s.InputKind = *text;
      return text.has_value();
    }
    if (name == "--samplerate") {
      const auto value = Number(name, arg, kSampleRateRange.low, kSampleRateRange.high);
      if (value) s.SampleRate = *value;
      return value.has_value();
    }
    if (name == "--baseband-format") {
      const auto text =
          Choice(name, arg, {"wav", "cs16", "cs8", "cu8", "cf32"}, "wav, cs16, cs8, cu8 or cf32");
      if (text) s.BasebandFormat = *text;
      return text.has_value();
    }
    if (name == "--carrier-range") {
      const auto value =
          Number(name, arg, kCarrierRangeHzRange.low / 1000, kCarrierRangeHzRange.high / 1000);
      if (value) s.CarrierRangeHz = int64_t{*value} * 1000;
      return value.has_value();
    }
    if (name == "--mpdu-header") {
      const auto value = NumberOf(name, arg, kMpduHeaderLengths);
      if (value) s.MPDU_header = *value;
      return value.has_value();
    }
    if (name == "--vcid") {
      const auto value = Number(name, arg, kVcidRange.low, kVcidRange.high);
      if (value) s.VCID_Metop = *value;
      return value.has_value();
    }
    if (name == "--report") {
      const auto path = Value(name, arg);
      if (path && path->empty()) return Fail("--report needs a file name");
      if (path) command.report_path = *path;
      return path.has_value();
    }
    if (name == "--satellite") {
      const auto text = Value(name, arg);
      if (!text) return false;
      if (*text != "auto" && SatelliteByOption(*text) == nullptr)
        return Fail("--satellite takes " + std::string(SatelliteOptionList()) + ", not '" + *text +
                    "'");
      s.Satellite = *text;
      return true;
    }
    if (name == "--date") {
      const auto text = Value(name, arg);
      if (!text) return false;
      const std::optional<PassDate> date = ParsePassDate(*text);
      if (text->size() != 10 || !date)
        return Fail("--date takes a date YYYY-MM-DD, not '" + *text + "'");
      s.PassDate = *text;
      return true;
    }
    if (name == "--preview-channel") {
      const auto value = Number(name, arg, 1, kMaxPreviewChannel);
      if (value) {
        command.preview = true;
        command.preview_channel = *value;
      }
      return value.has_value();
    }
    if (name == "--follow-idle" || name == "--duration") {
      constexpr int kMaxSeconds = 24 * 3600;
      const auto value = Number(name, arg, 1, kMaxSeconds);
      if (value) (name == "--duration" ? s.DurationSeconds : s.FollowIdleSeconds) = *value;
      return value.has_value();
    }
    if (name == "--max-packet-length") {
      const auto value = Number(name, arg, kPacketLengthRange.low, kPacketLengthRange.high);
      if (value) s.MaxPkLen = *value;
      return value.has_value();
    }
    return Fail("unknown option '" + arg + "'");
  }

  const std::vector<std::string>& args_;
  size_t next_ = 0;
  ParseResult result_;
  SwitchOverrides overrides_;
};

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  return Parser(arguments).Parse();
}

std::string ResolveInput(const std::string& input, const std::string& current_folder) {
  if ((!input.empty() && input[0] == '/') || IsStreamInput(input)) return input;
  return current_folder + "/" + input;
}

std::string UsageText() {
  // The ranges and defaults are the settings' own.
  return Format(R"(Usage: vantrel-cli INPUT... [DR_y|DR_n] [RS_y|RS_n] [MN_y|MN_n] [MET_n] [options]

Turns raw recordings of satellite passes into their instrument files, in the current folder or
in the one -C names. The satellite comes from a marker in the input's name, or --satellite:
  MetopA_, MetopB_, MetopC_         .hpt (HRPT minor frames)
  FY3A_, FY3B_, FY3C_               .C10 (VIRR or MERSI frames)
  MN2_, MN22_, MN23_, MN24_         _MN2.dat, _MN22.dat, ... (MSU-MR lines of Meteor-M N2, N2-2, ...)
Every parameter after the first that carries a marker is one more input (with --satellite, every
one that is not a switch word). The inputs are processed
one after the other, each in a run of its own; with more than one, a line per input sums them up
at the end. INPUT and the folders are taken relative to the current folder unless absolute.

Switches by position (as the window's batch mode; exact, case-sensitive):
  DR_y|DR_n                         2nd parameter: de-randomisation on/off
  RS_y|RS_n                         3rd parameter: Reed-Solomon on/off
  MN_y|MN_n                         4th parameter: Manchester decoder on/off
  MET_n                             5th parameter: APID 104 (night)

Options (they win over the switches):
  --derandomize, --no-derandomize   CCSDS de-randomisation (default off)
  --rs, --no-rs                     Reed-Solomon correction (default on)
  --manchester, --no-manchester     Manchester decoding for Meteor-M N2 (default off)
  --apid 103|104                    MetOp AVHRR packets: 103 day (default), 104 night
  --vcid N                          MetOp virtual channel, %d..%d (default %d)
  --fy3-channel %d|%d|%d               FY-3: VIRR day %d (default), VIRR night %d, MERSI %d
  --mpdu-header %d|%d                 MetOp M_PDU header length (default %d)
  --max-packet-length N             MetOp packet length limit, %d..%d (default %d)
  --satellite NAME                  metop-a|b|c, fy3a|b|c, meteor-m2, meteor-m2-2|3|4: the chain
                                    for an input without a marker (it overrides a marker, with a
                                    warning); auto: the start of the recording decides
  --input hard|soft|baseband        the recording's kind: hard bits, an SDR demodulator's soft
                                    symbols, or an SDR's I/Q samples (default: soft for names
                                    ending .soft or .s; baseband for .wav, .cs16, .cs8, .cu8, .cf32)
  --samplerate N                    baseband: samples per second (default: the WAV header's;
                                    needed for raw samples)
  --baseband-format FORMAT          baseband: cs16, cs8, cu8 (centred on 127.5) or cf32 I/Q pairs,
                                    or wav (default: the file name's extension)
  --carrier-range KHZ               baseband: the carrier is searched within +-KHZ of the
                                    recording's centre frequency, %d..%d (default %d)
  --follow                          a live pass: read the recording as its recorder writes it (a
                                    WAV whose sizes are still 0, raw samples, soft symbols, hard
                                    bits); it ends when it has not grown for --follow-idle seconds,
                                    when NAME.part is renamed to NAME, at --duration, or at the
                                    first SIGINT/SIGTERM (the product is made from what arrived;
                                    a second signal aborts)
  --follow-idle SECONDS             a live input ends after this long without data (default 10)
  --duration SECONDS                a live input ends this long after it was opened
  -  or  tcp://HOST:PORT as INPUT   a live stream: standard input, or a TCP server's (an SDR
                                    program's IQ exporter, rtl_tcp: its header is skipped and
                                    --samplerate is asked of it); needs --satellite NAME or auto
                                    and --input or --baseband-format/--samplerate; the product
                                    is named from the data. A stream the chain cannot keep up
                                    with is buffered (64 MiB in memory, then up to 4 GiB in a
                                    temporary file in $TMPDIR or the working folder), then
                                    samples are dropped and counted
  --date YYYY-MM-DD                 pass date of an FY-3 or Meteor-M input without a marker
                                    (default: the day the recording was last modified, UTC)
  -C, --work-dir DIR                work in DIR (made when missing), not the current folder
  --output-dir DIR                  move each product into DIR (made when missing) after its run
  --keep-files                      keep the intermediate working files (soft.bits and the
                                    demodulator's soft symbols demod.soft too)
  --keep-uncorrectable              write uncorrectable frames' bytes as received, not as zeros
                                    (MetOp, FY-3; missing frames are zeros either way)
  --full-cadu                       debug: %d-byte CADUs with marker (Reed-Solomon off)
  --get-vcdu, --get-apid, --fy3-asm debug listings in the log
  --report FILE                     also write the pass report to FILE as JSON Lines: one compact
                                    object per input, in their order (bytes of a path that are
                                    not UTF-8 as \xNN, a backslash doubled)
  --preview                         write a quicklook of the product beside it (PRODUCT.png)
  --preview-channel N               the quicklook's channel (implies --preview; default
                                    AVHRR 4, VIRR 4, MSU-MR 5, infrared shown cold = bright)
  -q, --quiet                       no log on standard output
  -h, --help                        this text
  --version                         the program's version

Exit status:
  0 when every input gave a product of at least one line; 1 when one did not (no satellite
  marker, no line, a setting that could not be used, a quicklook or report asked for that could
  not be written, a product that could not be moved, a working or output folder that could not be
  made, a product another input of the call wrote);
  2 on a usage error; 130 or 143 when SIGINT or SIGTERM stopped the run (the inputs not begun are
  not processed).
)",
                kVcidRange.low, kVcidRange.high, kVcidDefault, kFy3Channels[0], kFy3Channels[1],
                kFy3Channels[2], kFy3Channels[0], kFy3Channels[1], kFy3Channels[2],
                kMpduHeaderLengths[0], kMpduHeaderLengths[1], kMpduHeaderDefault,
                kPacketLengthRange.low, kPacketLengthRange.high, kPacketLengthDefault,
                kCarrierRangeHzRange.low / 1000, kCarrierRangeHzRange.high / 1000,
                kCarrierRangeDefaultHz / 1000, kCaduBytes);
}

}  // namespace vantrel::cli
