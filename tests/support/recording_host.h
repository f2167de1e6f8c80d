#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_session.h"
#include "core/basic_host.h"
#include "core/satellite.h"
#include "core/stage_error.h"

namespace vantrel::testing {

// A host that keeps the log lines and counts the event-pump calls, with a run session attached.
class RecordingHost : public BasicHost {
 public:
  std::vector<std::string> log;
  long events = 0;

  RecordingHost() = default;
  // A copy has a session of its own, for the same satellite.
  RecordingHost(const RecordingHost& other)
      : BasicHost(other), log(other.log), events(other.events) {
    session_.session().satellite = other.session_.session().satellite;
  }
  RecordingHost& operator=(const RecordingHost& other) {
    BasicHost::operator=(other);
    log = other.log;
    events = other.events;
    session_.session().satellite = other.session_.session().satellite;
    return *this;
  }

  // Names the satellite of the host's own session by its --satellite value ("metop-b"), as the
  // driver does for a run: the stages take its downlink and its product's name from it.
  void SetSatellite(std::string_view option) {
    const Satellite* satellite = SatelliteByOption(option);
    if (satellite == nullptr) throw std::invalid_argument("no satellite " + std::string(option));
    session_.session().satellite = satellite;
  }

  void AppendLog(const std::string& line) override { log.push_back(line); }
  void ProcessEvents() override { ++events; }

  // The whole log, one line after another, each ended by a newline.
  std::string LogText() const {
    std::string text;
    for (const std::string& entry : log) text += entry + "\n";
    return text;
  }

  // True when some log line equals `line`.
  bool Logged(const std::string& line) const {
    for (const std::string& entry : log)
      if (entry == line) return true;
    return false;
  }

 private:
  // A session of the host's own, as if a run were going on, so that single stages run without
  // the driver (which attaches a new one for every run it makes, and this one again after).
  OwnedRunSession session_{*this};
};

// A RecordingHost that remembers the progress maximum a stage set before its first call of the
// event pump (before its first block or record).
class ProgressWatchingHost : public RecordingHost {
 public:
  int64_t maximum_at_first_event = -1;
  void ProcessEvents() override {
    if (events == 0) maximum_at_first_event = progress_maximum;
    RecordingHost::ProcessEvents();
  }
};

// Runs `stage(host)` and returns the message of the StageError that ended the run, or an empty
// text when the run went on.
template <typename Host>
std::string RunEnd(void (*stage)(StageHost&), Host& host) {
  try {
    stage(host);
  } catch (const StageError& error) {
    return error.what();
  }
  return {};
}

}  // namespace vantrel::testing
