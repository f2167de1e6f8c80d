#include "core/stage_files.h"

#include "core/log_format.h"
#include "core/stage_error.h"

namespace vantrel {

bool OpenStageFiles(StageHost& host, const std::string& input_path, InputFile& input,
                    const std::string& output_path, OutputFile& output) {
  if (!input.Open(input_path)) {
    host.AppendLog("Open input file failed!");
    return false;
  }
  if (!output.Create(output_path)) {
    input.Close();
    host.AppendLog("Open output file failed!");
    return false;
  }
  return true;
}

ClosedFiles CloseStageFiles(StageHost& host, InputFile& input, OutputFile& output) {
  ClosedFiles closed;
  closed.read_failed = input.Failed();
  input.Close();
  closed.written = output.Close();
  if (closed.read_failed) host.AppendLog("Read input file failed!");
  if (!closed.written) host.AppendLog("Write output file failed!");
  return closed;
}

void EndRunIfDataLost(const ClosedFiles& closed, std::string_view input_path,
                      std::string_view output_path) {
  if (closed.read_failed) {
    throw StageError(Format("'%.*s' could not be read whole: the run ends here.",
                            static_cast<int>(input_path.size()), input_path.data()));
  }
  if (!closed.written) {
    throw StageError(Format("'%.*s' could not be written whole: the run ends here.",
                            static_cast<int>(output_path.size()), output_path.data()));
  }
}

}  // namespace vantrel
