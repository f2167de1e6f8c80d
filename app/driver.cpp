#include "app/driver.h"

#include <charconv>
#include <exception>
#include <filesystem>
#include <system_error>

#include "ccsds/apid_packet_extraction_stage.h"
#include "ccsds/mpdu_checking_stage.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/pass_report.h"
#include "core/working_file.h"
#include "fy3/c10_writer.h"
#include "fy3/cut_mpdu_stage.h"
#include "fy3/inner_sync_stage.h"
#include "meteor/dat_writer.h"
#include "meteor/manchester_decoder.h"
#include "meteor/msu_mr_demultiplexer.h"
#include "metop/hpt_writer.h"
#include "rs/cvcdu_stage.h"
#include "sync/cadu_extraction_stage.h"

namespace vantrel {
namespace {

using When = ChainStep::When;
namespace WF = WorkingFile;

void DeleteWorkingFile(std::string_view name) {
  std::error_code ignored;
  std::filesystem::remove(WorkingPath(name), ignored);
}

// Sets the flags the stages of `rule`'s chain read.
void SetChainFlags(ChainState& chain, const MarkerRule& rule) {
  switch (rule.chain) {
    case ChainKind::MetOp:
      chain.MetopMode = true;
      chain.MetopSatelliteA = rule.variant == 0;
      chain.MetopSatelliteB = rule.variant == 1;
      chain.MetopSatelliteC = rule.variant == 2;
      break;
    case ChainKind::Fy3:
      chain.MetopMode = false;
      chain.Fy3Satellite = static_cast<uint8_t>(rule.variant);
      break;
    case ChainKind::Mn2:
      chain.MetopMode = false;
      chain.Mn2Mode = true;
      break;
  }
}

void RunSteps(StageHost& host, const ChainDefinition& definition) {
  ChainState& chain = host.Chain();
  if (definition.kind == ChainKind::Mn2) {
    // The Meteor-M N2 stream has neither randomisation nor Reed-Solomon; the boxes stay unchecked
    // for later runs until someone checks them again.
    host.SetPNdecoding(false);
    host.SetRSolomon(false);
    chain.ManchesterDone = host.Manchester_box();
  }
  for (const ChainStep& step : definition.steps) {
    if (step.when == When::WithManchester && !chain.ManchesterDone) continue;
    if (step.raise_dat_header) chain.DatHeaderPending = true;
    host.StageStarting(step.name);
    step.run(host);
  }
  chain.Mn2Mode = false;
}

void DeleteWorkingFiles(StageHost& host, const ChainDefinition& definition) {
  for (std::string_view name : definition.working_files) {
    // cvcdu.man belongs to the run only when the Manchester stage made it.
    if (name == WF::kCvcduMan && !host.Chain().ManchesterDone) continue;
    DeleteWorkingFile(name);
  }
  host.AppendLog("");
  host.AppendLog("Delete intermediate files...  OK!");
}

// What the pass report reads of the run's settings to tell a misconfigured pass.
PassReportSettings ReportSettings(StageHost& host, ChainKind kind) {
  PassReportSettings settings;
  settings.reed_solomon = host.RSolomon();
  settings.derandomise = host.PNdecoding();
  settings.meteor = kind == ChainKind::Mn2;
  settings.manchester = settings.meteor && host.Chain().ManchesterDone;
  if (kind == ChainKind::Fy3) settings.channel = host.Fy3Vcid();
  if (kind == ChainKind::MetOp) {
    const std::string text = host.VCID_Metop();
    int channel = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), channel);
    if (error == std::errc() && end == text.data() + text.size()) settings.channel = channel;
  }
  return settings;
}

}  // namespace

const std::vector<MarkerRule>& MarkerRules() {
  static const std::vector<MarkerRule> rules = {
      {"MetopA_", ChainKind::MetOp, 0}, {"MetopB_", ChainKind::MetOp, 1},
      {"MetopC_", ChainKind::MetOp, 2}, {"FY3A_", ChainKind::Fy3, 0},
      {"FY3B_", ChainKind::Fy3, 1},     {"FY3C_", ChainKind::Fy3, 2},
      {"MN2_", ChainKind::Mn2, 0},
  };
  return rules;
}

const ChainDefinition& Chain(ChainKind kind) {
  static const ChainDefinition metop = {
      ChainKind::MetOp,
      "MetOp",
      {{"CADU extraction", CaduExtractionStage},
       {"CVCDU", CvcduStage},
       {"VCDU selection", VcduSelectionStage},
       {"MPDU checking", MpduCheckingStage},
       {"APID packet extraction", ApidPacketExtractionStage},
       {"HPT writer", HptWriter}},
      {WF::kCaduPds, WF::kCvcduRs, WF::kVcduVcd, WF::kMpduMpd, WF::kApidPkt},
  };
  static const ChainDefinition fy3 = {
      ChainKind::Fy3,
      "FY-3",
      {{"CADU extraction", CaduExtractionStage},
       {"CVCDU", CvcduStage},
       {"VCDU selection", VcduSelectionStage},
       {"MPDU cut", CutMpduStage},
       {"Inner sync alignment", Fy3InnerSyncStage},
       {"C10 writer", C10Writer}},
      {WF::kCaduPds, WF::kCvcduRs, WF::kVcduVcd, WF::kMpduMpd, WF::kFy3Lines},
  };
  static const ChainDefinition mn2 = {
      ChainKind::Mn2,
      "Meteor-M N2",
      {{"Manchester decoding", ManchesterDecoder, When::WithManchester},
       {"CADU extraction", CaduExtractionStage},
       {"MSU-MR demultiplexing", MsuMrDemultiplexer},
       {"Inner sync alignment", Mn2InnerSyncStage},
       {"DAT writer", DatWriter, When::Always, true}},
      {WF::kCaduPds, WF::kCvcduMan, WF::kMsuMrDmx, WF::kMn2Lines},
  };
  switch (kind) {
    case ChainKind::MetOp:
      return metop;
    case ChainKind::Fy3:
      return fy3;
    case ChainKind::Mn2:
      break;
  }
  return mn2;
}

const MarkerRule* FindMarker(std::string_view input_path) {
  for (const MarkerRule& rule : MarkerRules()) {
    if (input_path.find(rule.marker) != std::string_view::npos) return &rule;
  }
  return nullptr;
}

RunOutcome ASMButtonClick(StageHost& host) {
  RunOutcome outcome;
  host.SetProcessEnabled(false);
  const MarkerRule* rule = FindMarker(host.InputPath());
  if (rule == nullptr) {
    host.AppendLog("This is not Metopx_ or FY3x_ or MN2_ files !");
    host.SetProcessEnabled(true);
    return outcome;
  }
  outcome.recognised = true;
  ChainState& chain = host.Chain();
  const ChainDefinition& definition = Chain(rule->chain);
  SetChainFlags(chain, *rule);
  chain.Counts = PassCounts{};
  try {
    RunSteps(host, definition);
  } catch (const std::exception& error) {
    // The stage's files were closed by their owners on the way out; the run ends here and the
    // driver is ready for the next one.
    chain.Mn2Mode = false;
    outcome.failed = true;
    outcome.error = error.what();
  }
  // The pass report, then the run's last line: its error, or the deletion of the working files.
  AppendPassReport(host, ReportSettings(host, rule->chain));
  if (outcome.failed) {
    host.AppendLog(outcome.error);
    host.SetProcessEnabled(true);
    return outcome;
  }
  if (host.DFiles()) DeleteWorkingFiles(host, definition);
  host.SetProcessEnabled(true);
  outcome.close_program = chain.BatchMode && chain.LastLineCount > 0;
  return outcome;
}

}  // namespace vantrel
