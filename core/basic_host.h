#pragma once

#include <cstdint>
#include <string>

#include "core/settings.h"
#include "core/stage_host.h"

namespace vantrel {

// A host whose options, lamp, label and progress are plain values. The command line and the
// tests derive from it and decide what happens to log lines and events.
class BasicHost : public StageHost {
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
  std::string InputPath() const override { return input_path; }

  bool PNdecoding() const override { return settings.PNdecoding; }
  void SetPNdecoding(bool checked) override { settings.PNdecoding = checked; }
  bool RSolomon() const override { return settings.RSolomon; }
  void SetRSolomon(bool checked) override { settings.RSolomon = checked; }
  std::string VCID_Metop() const override { return settings.VCID_Metop; }
  bool APID104() const override { return settings.APID104; }
  std::string MPDU_header() const override { return settings.MPDU_header; }
  std::string MaxPkLen() const override { return settings.MaxPkLen; }
  int Fy3Vcid() const override { return settings.Fy3Vcid; }
  bool Manchester_box() const override { return settings.Manchester_box; }
  bool GetVCDU() const override { return settings.GetVCDU; }
  bool GetAPID() const override { return settings.GetAPID; }
  bool FY3ASM() const override { return settings.FY3ASM; }
  bool Full_CADU() const override { return settings.Full_CADU; }
  bool DFiles() const override { return settings.DFiles; }
  std::string SatelliteChoice() const override { return settings.Satellite; }
  std::string PassDateChoice() const override { return settings.PassDate; }
  bool KeepUncorrectable() const override { return settings.KeepUncorrectable; }
  std::string InputKindChoice() const override { return settings.InputKind; }
  int64_t SampleRateChoice() const override { return settings.SampleRate; }
  std::string BasebandFormatChoice() const override { return settings.BasebandFormat; }
  int64_t CarrierRangeHz() const override { return settings.CarrierRangeHz; }

  ChainState& Chain() override { return chain; }
  void SetProcessEnabled(bool enabled) override { process_enabled = enabled; }
};

}  // namespace vantrel
