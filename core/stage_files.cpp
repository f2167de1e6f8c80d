#include "core/stage_files.h"

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

}  // namespace vantrel
