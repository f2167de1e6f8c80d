#pragma once

#include <string>

#include "core/file_io.h"
#include "core/stage_host.h"

namespace vantrel {

// Opens a stage's input for reading and its output for writing (created or truncated). When one
// cannot be opened it logs "Open input file failed!" (the output is then left alone) or "Open
// output file failed!" (the input is closed again) and returns false: the stage returns.
bool OpenStageFiles(StageHost& host, const std::string& input_path, InputFile& input,
                    const std::string& output_path, OutputFile& output);

}  // namespace vantrel
