#pragma once

#include <string>
#include <vector>

#include "core/settings.h"

namespace vantrel::cli {

// What the command line asks for.
struct Command {
  enum class Action { Run, Help, Version };
  Action action = Action::Run;
  std::vector<std::string> inputs;  // as given, in order; at least one
  Settings settings;                // the program's defaults changed by the switches and options
  bool quiet = false;
  std::string work_dir;     // -C/--work-dir: the working folder, made when missing; empty: current
  std::string output_dir;   // --output-dir: where each product is moved after its run; empty: none
  std::string report_path;  // --report FILE: where the pass report goes as JSON (empty: none)
  bool preview = false;     // write a quicklook PNG beside the product after a successful run
  int preview_channel = 0;  // its channel, 1-based; 0 for the instrument's default
  std::vector<std::string> warnings;  // positional switches that were left unchanged
};

// The outcome of parsing: a command, or a one-line reason for a usage error.
struct ParseResult {
  bool ok = false;
  Command command;
  std::string error;
};

// Parses `vantrel-cli INPUT... [DR_y|DR_n] [RS_y|RS_n] [MN_y|MN_n] [MET_n] [options]`. The first
// parameter is an input, and so is every later one that carries a satellite marker (with
// --satellite, every later one that is not one of the switch words DR_y ... MET_n); the others
// are the positional switches, numbered 2 to 5 in their order. The switches act as the window's
// batch parameters (by position, exact and case-sensitive, any other value leaves the setting
// unchanged); options given as well win over them.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// The --help text.
std::string UsageText();

// A path given on the command line (an input, a folder) taken relative to `current_folder` unless
// it is absolute.
std::string ResolveInput(const std::string& input, const std::string& current_folder);

}  // namespace vantrel::cli
