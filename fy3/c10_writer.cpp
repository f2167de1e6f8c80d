#include "fy3/c10_writer.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "fy3/c10_record.h"

namespace vantrel {
namespace {

// The input-name prefix of each FY-3 satellite, by Fy3Satellite.
constexpr std::array<std::string_view, 3> kPrefixes = {"FY3A_", "FY3B_", "FY3C_"};
// The pass date follows the prefix: "yyyy-mm-dd".
constexpr size_t kDateTextLength = 10;
constexpr std::string_view kProductSuffix = ".C10";
// The line's millisecond of day: 27 bits from the low three bits of this byte on.
constexpr size_t kLineTimeOffset = 26044;

// The ten characters after the first `prefix` in `path` (fewer at the end of the text; none
// without the prefix).
std::string DateText(const std::string& path, std::string_view prefix) {
  const size_t at = path.find(prefix);
  if (at == std::string::npos) return {};
  return path.substr(at + prefix.size(), kDateTextLength);
}

}  // namespace

void C10Writer(StageHost& host) {
  ChainState& chain = host.Chain();
  if (chain.Fy3Satellite >= kPrefixes.size()) {
    throw StageError(Format("FY-3 satellite number %d is not 0, 1 or 2", chain.Fy3Satellite));
  }
  const std::string_view prefix = kPrefixes[chain.Fy3Satellite];
  const std::string output_path =
      WorkingPath(OutputBaseName(host.InputPath(), prefix, false) + std::string(kProductSuffix));

  const std::string input_path = WorkingPath(WorkingFile::kFy3Lines);
  InputFile input;
  OutputFile output;
  if (!OpenStageFiles(host, input_path, input, output_path, output)) return;
  int32_t count = 0;
  host.AppendLog("Starting creating .C10 file...");

  // The input path is read again: it may have changed since the chain started.
  const std::string date_text = DateText(host.InputPath(), prefix);
  const std::optional<PassDate> date = ParsePassDate(date_text);
  if (!date) {
    // No product without a date: close both files, remove the empty product, end the run.
    input.Close();
    output.Close();
    std::error_code ignored;
    std::filesystem::remove(output_path, ignored);
    throw StageError(Format("'%s' is not a valid date", date_text.c_str()));
  }
  LogLine(host, "Date stamp: %d-%d-%d", date->year, date->month, date->day);

  std::vector<uint8_t> line(kFy3LineBytes);
  std::vector<uint8_t> record(kC10RecordBytes);
  while (input.ReadRecord(line.data(), line.size())) {  // a trailing partial line is dropped
    BuildC10Record(std::span<const uint8_t, kFy3LineBytes>(line.data(), kFy3LineBytes),
                   date->day_of_year,
                   std::span<uint8_t, kC10RecordBytes>(record.data(), kC10RecordBytes));
    if (!output.Write(record.data(), record.size())) break;
    NoteLineTime(chain.Counts, DaysSince2000(date->year, date->month, date->day),
                 (line[kLineTimeOffset] & 7) << 24 | line[kLineTimeOffset + 1] << 16 |
                     line[kLineTimeOffset + 2] << 8 | line[kLineTimeOffset + 3]);
    ++count;
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  if (!CloseStageFiles(host, input, output).Complete()) {
    // An incomplete product is not reported as done, and batch mode does not end on it.
    LogLine(host, "Output file '%s' is incomplete!", output_path.c_str());
    chain.ProgressCount = 0;
    host.ProcessEvents();
    chain.LastLineCount = 0;
    return;
  }
  LogLine(host, "Process done!  %d lines found.", count);
  host.AppendLog("");
  LogLine(host, "Finally, output file is '%s'", output_path.c_str());
  host.AppendLog("");
  host.AppendLog("*************** FY3x processing DONE! ***************");
  host.AppendLog("");
  chain.ProgressCount = 0;
  host.ProcessEvents();
  chain.LastLineCount = count;
  NoteProduct(chain.Counts, output_path, count);
}

}  // namespace vantrel
