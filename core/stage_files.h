#pragma once

#include <string>
#include <string_view>

#include "core/file_io.h"
#include "core/stage_host.h"

namespace vantrel {

// Opens a stage's input for reading and its output for writing (created or truncated). When one
// cannot be opened it logs "Open input file failed!" (the output is then left alone) or "Open
// output file failed!" (the input is closed again) and returns false: the stage returns.
bool OpenStageFiles(StageHost& host, const std::string& input_path, InputFile& input,
                    const std::string& output_path, OutputFile& output);

// What closing a stage's files came to.
struct ClosedFiles {
  bool read_failed = false;  // a read failed for another reason than the end of the input
  bool written = true;       // every write and the close of the output succeeded
  bool Complete() const { return !read_failed && written; }
};

// Closes both files and logs "Read input file failed!" and "Write output file failed!" for what
// went wrong, so that a short working file or product is never passed off as a finished one.
ClosedFiles CloseStageFiles(StageHost& host, InputFile& input, OutputFile& output);

// Ends the run (throws StageError naming the file) when the stage's input could not be read whole
// or its output not written whole: the stages behind would otherwise make a partial product that
// looks finished.
void EndRunIfDataLost(const ClosedFiles& closed, std::string_view input_path,
                      std::string_view output_path);

}  // namespace vantrel
