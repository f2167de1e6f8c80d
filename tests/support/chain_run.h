#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/settings.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel::testing {

// One run of the driver on the recording `path` with `settings`, as the window or the command line
// starts it: its outcome, its log, and the product's bytes (empty when none).
struct ChainRun {
  RecordingHost host;
  RunOutcome outcome;
  std::vector<uint8_t> product;

  ChainRun(const std::string& path, const Settings& settings) {
    host.settings = settings;
    host.input_path = path;
    outcome = ProcessRecording(host);
    if (!outcome.product.empty()) product = ReadFileBytes(outcome.product);
  }
  std::string Log() const { return host.LogText(); }
};

}  // namespace vantrel::testing
