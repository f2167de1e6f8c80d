#include "core/stage_files.h"

#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/working_file.h"

namespace vantrel {

void OpenStageInput(StageHost& host, const std::string& path, InputFile& input) {
  if (input.Open(path)) return;
  host.AppendLog("Open input file failed!");
  throw StageError(
      RunEndsHere(Format("Cannot open '%s' (%s)", path.c_str(), input.Error().c_str())));
}

void CreateStageOutput(StageHost& host, const std::string& path, OutputFile& output,
                       InputFile& input) {
  if (output.Create(path)) return;
  input.Close();
  host.AppendLog("Open output file failed!");
  throw StageError(
      RunEndsHere(Format("Cannot create '%s' (%s)", path.c_str(), output.Error().c_str())));
}

ClosedFiles CloseStageFiles(StageHost& host, InputFile& input, OutputFile& output) {
  ClosedFiles closed;
  closed.read_failed = input.Failed();
  input.Close();
  closed.written = output.Close();
  if (!closed.written) closed.write_error = output.Error();
  if (closed.read_failed) host.AppendLog("Read input file failed!");
  if (!closed.written) host.AppendLog("Write output file failed!");
  return closed;
}

void EndRunIfDataLost(const ClosedFiles& closed, std::string_view input_path,
                      std::string_view output_path) {
  if (closed.read_failed) {
    throw StageError(RunEndsHere(Format("'%.*s' could not be read whole",
                                        static_cast<int>(input_path.size()), input_path.data())));
  }
  if (!closed.written) {
    const std::string why = closed.write_error.empty() ? "" : " (" + closed.write_error + ")";
    throw StageError(
        RunEndsHere(Format("'%.*s' could not be written whole%s",
                           static_cast<int>(output_path.size()), output_path.data(), why.c_str())));
  }
}

}  // namespace vantrel
