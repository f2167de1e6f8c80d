#pragma once

#include <string>
#include <vector>

#include "core/basic_host.h"

namespace vantrel::testing {

// A host that keeps the log lines and counts the event-pump calls.
class RecordingHost : public BasicHost {
 public:
  std::vector<std::string> log;
  long events = 0;

  void AppendLog(const std::string& line) override { log.push_back(line); }
  void ProcessEvents() override { ++events; }

  // True when some log line equals `line`.
  bool Logged(const std::string& line) const {
    for (const std::string& entry : log)
      if (entry == line) return true;
    return false;
  }
};

}  // namespace vantrel::testing
