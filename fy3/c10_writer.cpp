#include "fy3/c10_writer.h"

#include <optional>
#include <string>
#include <vector>

#include "core/chain_runner.h"
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

void C10WriterStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  ChainState& chain = host.Chain();
  const std::string_view prefix = host.RunSatellite().marker;
  // A product named from its data learns its name, and its date, from the first line.
  ProductFile product(chain.NameFromData ? std::string() : ProductPath(host));
  product.Open(host, input);
  int32_t count = 0;
  host.AppendLog("Starting creating .C10 file...");

  // No product without a date: the temporary product goes with the run.
  std::optional<PassDate> date;
  int64_t pass_days = 0;  // the lines' times count from the pass date
  const auto read_date = [&] {
    const std::string date_text = DateText(NamingPath(host), prefix);
    date = ParsePassDate(date_text);
    if (!date) throw StageError(Format("'%s' is not a valid date", date_text.c_str()));
    LogLine(host, "Date stamp: %04d-%d-%d", date->year, date->month, date->day);
    pass_days = DaysSince2000(date->year, date->month, date->day);
  };
  if (!chain.NameFromData) read_date();

  std::vector<uint8_t> line(kFy3LineBytes);
  std::vector<uint8_t> record(kC10RecordBytes);
  while (input.ReadRecord(line.data(), line.size())) {  // a trailing partial line is dropped
    if (!date) read_date();
    BuildC10Record(std::span<const uint8_t, kFy3LineBytes>(line.data(), kFy3LineBytes),
                   date->day_of_year,
                   std::span<uint8_t, kC10RecordBytes>(record.data(), kC10RecordBytes));
    if (!product.Output().Write(record.data(), record.size())) break;
    NoteLineTime(chain.Counts, pass_days,
                 (line[kLineTimeOffset] & 7) << 24 | line[kLineTimeOffset + 1] << 16 |
                     line[kLineTimeOffset + 2] << 8 | line[kLineTimeOffset + 3]);
    ++count;
    host.ProcessEvents();
  }
  if (chain.NameFromData) product.Rename(host, ProductPath(host));
  FinishProduct(host, input, product, count, Format("Process done!  %d lines found.", count),
                "*************** FY3x processing DONE! ***************", true);
}

const StepSpec kC10WriterStep = {
    "C10 writer", C10WriterStep,         "VIRR/MERSI lines", "the product (.C10)",
    {},           WorkingFile::kFy3Lines};

void C10Writer(StageHost& host) {
  RunStepAlone(host, kC10WriterStep);
}

}  // namespace vantrel
