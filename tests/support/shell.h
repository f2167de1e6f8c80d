#pragma once

#include <string>

namespace vantrel::testing {

// What a program run through the shell left: its exit status (-1 when it did not exit by itself,
// a crash) and its standard output and standard error together.
struct ProgramRun {
  int status = -1;
  std::string output;
};

// Runs `command` with /bin/sh in the current folder and captures its output.
ProgramRun Shell(const std::string& command);

// True when `text` holds `part`.
bool Contains(const std::string& text, const std::string& part);

}  // namespace vantrel::testing
