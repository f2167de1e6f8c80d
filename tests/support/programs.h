#pragma once

// Command lines of the programs under test, for tests that run them as an operator would. The
// test target defines VANTREL_CLI and VANTREL_SIM as the programs' paths.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/shell.h"

namespace vantrel::testing {

inline std::string Cli(const std::string& args) {
  return std::string(VANTREL_CLI) + " " + args;
}

inline std::string Sim(const std::string& args) {
  return std::string(VANTREL_SIM) + " " + args;
}

// Runs vantrel-sim with `args` to write the recording `path` (its truth beside it); a failure
// fails the test.
inline void Simulate(const std::string& args, const std::string& path) {
  const ProgramRun run = Shell(Sim(args + " --out '" + path + "'"));
  ASSERT_EQ(run.status, 0) << run.output;
}

}  // namespace vantrel::testing
