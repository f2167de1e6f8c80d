#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "ccsds/apid_packet_extraction_stage.h"
#include "ccsds/mpdu_checking_stage.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/basic_host.h"
#include "core/file_io.h"
#include "core/folder_lock.h"
#include "core/log_format.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/stage_error.h"
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

// The start of every run: what a run must not inherit from the one before is cleared here. The
// chain flags are set per chain by SetChainFlags; BatchMode and the options survive.
void BeginRun(ChainState& chain) {
  chain.ProgressCount = 0;
  chain.LastLineCount = 0;
  chain.ManchesterDone = false;
  chain.DatHeaderPending = false;
  chain.Counts = PassCounts{};
}

// The names of the working folder a run writes: its working files and the temporary product.
std::vector<std::string_view> RunFileNames(const ChainDefinition& definition) {
  std::vector<std::string_view> names = definition.working_files;
  names.push_back(kProductTempName);
  return names;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Refuses an input that is one of the files the run writes: a stage would truncate it.
void RefuseInputAmongRunFiles(StageHost& host, const ChainDefinition& definition) {
  const std::string input = host.InputPath();
  struct stat input_status {};
  if (::stat(input.c_str(), &input_status) != 0) return;  // the first stage says why
  std::vector<std::string> written;
  for (std::string_view name : RunFileNames(definition)) written.push_back(WorkingPath(name));
  written.push_back(definition.product_path(host));
  for (const std::string& path : written) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && SameFile(status, input_status)) {
      throw StageError(RunEndsHere(
          Format("The recording '%s' is '%s', a file this run writes: rename it or move it to "
                 "another folder",
                 input.c_str(), path.c_str())));
    }
  }
}

// Removes the working files an earlier run left (kept, or left by a run that failed or was
// killed), so that no stage can read another pass's data. Anything but a regular file under
// such a name (a link, a folder) ends the run: it is not this program's, so it is left alone.
void RemoveStaleRunFiles(StageHost& host, const ChainDefinition& definition) {
  int removed = 0;
  for (std::string_view name : RunFileNames(definition)) {
    const std::string path = WorkingPath(name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) continue;
    if (!S_ISREG(status.st_mode)) {
      throw StageError(RunEndsHere(Format("'%s' is %s where a working file must go", path.c_str(),
                                          SpecialFileKind(path).c_str())));
    }
    if (::unlink(path.c_str()) != 0) {
      throw StageError(RunEndsHere(Format("Cannot remove '%s', left by an earlier run (%s)",
                                          path.c_str(), std::strerror(errno))));
    }
    ++removed;
  }
  if (removed > 0) LogLine(host, "Removed %d working files left by an earlier run.", removed);
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
      HptProductPath,
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
      C10ProductPath,
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
      DatProductPath,
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
  const size_t slash = input_path.rfind('/');
  const std::string_view file_name =
      slash == std::string_view::npos ? input_path : input_path.substr(slash + 1);
  for (std::string_view searched : {file_name, input_path}) {
    for (const MarkerRule& rule : MarkerRules()) {
      if (searched.find(rule.marker) != std::string_view::npos) return &rule;
    }
  }
  return nullptr;
}

std::string ProductPathFor(std::string_view input_path) {
  const MarkerRule* rule = FindMarker(input_path);
  if (rule == nullptr) return {};
  // The writers read the input path and the chain flags of the host; nothing is logged.
  struct NamingHost : BasicHost {
    void AppendLog(const std::string&) override {}
  } host;
  host.input_path = std::string(input_path);
  SetChainFlags(host.chain, *rule);
  return Chain(rule->chain).product_path(host);
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

  // One run per working folder, for the run's whole duration.
  const std::string folder = WorkingFolder();
  WorkingFolderLock lock;
  const WorkingFolderLock::Result locked = lock.Take(folder);
  if (locked != WorkingFolderLock::Result::Taken) {
    outcome.failed = true;
    outcome.locked_out = locked == WorkingFolderLock::Result::Busy;
    outcome.error = outcome.locked_out
                        ? Format("Another run is using the working folder '%s'.", folder.c_str())
                        : RunEndsHere(Format("Cannot lock the working folder '%s' (%s)",
                                             folder.c_str(), lock.Error().c_str()));
    host.AppendLog(outcome.error);
    host.SetProcessEnabled(true);
    return outcome;
  }

  ChainState& chain = host.Chain();
  const ChainDefinition& definition = Chain(rule->chain);
  BeginRun(chain);
  chain.Counts.keep_uncorrectable = host.KeepUncorrectable();
  SetChainFlags(chain, *rule);
  try {
    RefuseInputAmongRunFiles(host, definition);
    RemoveStaleRunFiles(host, definition);
    RunSteps(host, definition);
  } catch (const std::exception& error) {
    // The stage's files were closed by their owners on the way out (a temporary product is
    // removed with its owner); the run ends here and the driver is ready for the next one.
    chain.Mn2Mode = false;
    outcome.failed = true;
    outcome.error = error.what();
    AppendPassReport(host, ReportSettings(host, rule->chain));
    host.AppendLog(outcome.error);
    if (const auto* stop = dynamic_cast<const RunCancelled*>(&error)) {
      // A stopped run leaves nothing behind unless the working files are to be kept.
      outcome.stopped = true;
      outcome.stop_signal = stop->signal_number();
      if (host.DFiles()) DeleteWorkingFiles(host, definition);
    }
    host.SetProcessEnabled(true);
    return outcome;
  }
  AppendPassReport(host, ReportSettings(host, rule->chain));
  if (host.DFiles()) {
    DeleteWorkingFiles(host, definition);
    host.AppendLog("");
    host.AppendLog("Delete intermediate files...  OK!");
  }
  if (chain.LastLineCount > 0) outcome.product = definition.product_path(host);
  host.SetProcessEnabled(true);
  outcome.close_program = chain.BatchMode && chain.LastLineCount > 0;
  return outcome;
}

}  // namespace vantrel
