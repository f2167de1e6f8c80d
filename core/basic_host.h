#pragma once

#include <cstdint>
#include <string>

#include "core/settings.h"
#include "core/stage_host.h"

namespace vantrel {

// A host whose settings, lamp, label and progress are plain values. The command line and the
// tests derive from it and decide what happens to log lines and events.
class BasicHost : public StageHost, public RunControls {
 public:
  Settings settings;
  ChainState chain;
  std::string input_path;
  std::string size_caption = "File size -------- bytes";
  int64_t progress_maximum = 100;
  int64_t progress_position = 0;
  bool lamp_active = false;
  LampColour lamp_colour = LampColour::Green;
  bool process_enabled = true;

  void SetProgressMaximum(int64_t maximum) override { progress_maximum = maximum; }
  void SetProgressPosition(int64_t position) override { progress_position = position; }
  void SetSizeCaption(const std::string& caption) override { size_caption = caption; }
  bool LampActive() const override { return lamp_active; }
  void SetLampActive(bool active) override { lamp_active = active; }
  LampColour GetLampColour() const override { return lamp_colour; }
  void SetLampColour(LampColour colour) override { lamp_colour = colour; }
  void ProcessEvents() override {}
  void SetProcessEnabled(bool enabled) override { process_enabled = enabled; }

  std::string InputPathChoice() const override { return input_path; }
  Settings CurrentSettings() const override { return settings; }
  ChainState& KeptChain() override { return chain; }
  void SetPNdecoding(bool checked) override { settings.PNdecoding = checked; }
  void SetRSolomon(bool checked) override { settings.RSolomon = checked; }
};

}  // namespace vantrel
