#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/file_io.h"
#include "core/stage_host.h"

namespace vantrel {

// Opens a stage's input for reading. When it cannot be opened (missing, unreadable, not a regular
// file) it logs "Open input file failed!" and ends the run with a StageError that names the path
// and the reason.
void OpenStageInput(StageHost& host, const std::string& path, InputFile& input);

// Creates a stage's output (see OutputFile::Create). When it cannot be made it closes `input`,
// logs "Open output file failed!" and ends the run with a StageError naming the path and reason.
void CreateStageOutput(StageHost& host, const std::string& path, OutputFile& output,
                       InputFile& input);

// What closing a stage's files came to.
struct ClosedFiles {
  bool read_failed = false;  // a read failed for another reason than the end of the input
  bool written = true;       // every write and the close of the output succeeded
  std::string write_error;   // when not: the system's reason, if it gave one
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
