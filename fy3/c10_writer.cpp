#include "fy3/c10_writer.h"

#include <optional>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "fy3/c10_record.h"

namespace vantrel {
namespace {

// The pass date follows the satellite's marker: "yyyy-mm-dd".
constexpr size_t kDateTextLength = 10;
// The line's millisecond of day: 27 bits from the low three bits of this byte on.
constexpr size_t kLineTimeOffset = 26044;

// The ten characters after `prefix` where the product name takes it from (fewer at the end of
// the text; none without the prefix).
std::string DateText(const std::string& path, std::string_view prefix) {
  const size_t at = FindMarkerIn(path, prefix);
  if (at == std::string::npos) return {};
  return path.substr(at + prefix.size(), kDateTextLength);
}

}  // namespace

void C10Writer(StageHost& host) {
  ChainState& chain = host.Chain();
  const std::string_view prefix = host.RunSatellite().marker;
  ProductFile product(ProductPath(host));
  InputFile input;
  product.Open(host, WorkingPath(WorkingFile::kFy3Lines), input);
  int32_t count = 0;
  host.AppendLog("Starting creating .C10 file...");

  // The input path is read again: it may have changed since the chain started. No product
  // without a date: the temporary product goes with the run.
  const std::string date_text = DateText(NamingPath(host), prefix);
  const std::optional<PassDate> date = ParsePassDate(date_text);
  if (!date) throw StageError(Format("'%s' is not a valid date", date_text.c_str()));
  LogLine(host, "Date stamp: %04d-%d-%d", date->year, date->month, date->day);

  // The lines' times count from the pass date.
  const int64_t pass_days = DaysSince2000(date->year, date->month, date->day);
  std::vector<uint8_t> line(kFy3LineBytes);
  std::vector<uint8_t> record(kC10RecordBytes);
  while (input.ReadRecord(line.data(), line.size())) {  // a trailing partial line is dropped
    BuildC10Record(std::span<const uint8_t, kFy3LineBytes>(line.data(), kFy3LineBytes),
                   date->day_of_year,
                   std::span<uint8_t, kC10RecordBytes>(record.data(), kC10RecordBytes));
    if (!product.Output().Write(record.data(), record.size())) break;
    NoteLineTime(chain.Counts, pass_days,
                 (line[kLineTimeOffset] & 7) << 24 | line[kLineTimeOffset + 1] << 16 |
                     line[kLineTimeOffset + 2] << 8 | line[kLineTimeOffset + 3]);
    ++count;
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  FinishProduct(host, input, product, count, Format("Process done!  %d lines found.", count),
                "*************** FY3x processing DONE! ***************", true);
}

}  // namespace vantrel
