// vantrel-cli: runs a satellite's processing chain on each recording it is given, in the current
// folder or the one -C names, writes their quicklooks when asked (--preview), and moves the
// products to --output-dir when asked.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/driver.h"
#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "cli/output_places.h"
#include "cli/product_delivery.h"
#include "core/folder_lock.h"
#include "core/log_format.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/replacement_file.h"
#include "core/satellite.h"
#include "core/version.h"
#include "core/working_file.h"
#include "quicklook/quicklook.h"

namespace {

using vantrel::cli::Command;

constexpr int kExitProduct = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;
// A run stopped by a signal exits as a shell reports a process that signal killed.
constexpr int kExitSignalBase = 128;

// What one input came to: its exit status, and the product's path or why there is none.
struct InputResult {
  std::string input;  // as given
  int status = kExitNoProduct;
  std::string detail;
};

// The exit status of a run, and for any status but 0 why: shown even with -q, which hides the
// log but never a failure.
InputResult Judge(const vantrel::RunOutcome& outcome, const vantrel::ChainState& chain,
                  const std::string& input) {
  InputResult result{input, kExitNoProduct, ""};
  if (!outcome.recognised) {
    result.detail = "'" + input + "' has no satellite marker (" + vantrel::MarkerList() +
                    ") and no --satellite: nothing was done";
  } else if (outcome.stopped) {
    result.detail = outcome.error;
    result.status = kExitSignalBase + (outcome.stop_signal != 0 ? outcome.stop_signal : SIGINT);
  } else if (outcome.failed) {
    result.detail = outcome.error;
  } else if (chain.LastLineCount <= 0 || outcome.product.empty()) {
    result.detail = "no line found in '" + input + "': no product was written";
  } else {
    result.status = kExitProduct;
    result.detail = outcome.product;
  }
  return result;
}

// Makes `folder` (and its parents) when missing; false, with a message, when it cannot.
bool MakeFolder(const std::string& folder, const char* role) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!error && std::filesystem::is_directory(folder, error)) return true;
  std::fprintf(stderr, "vantrel-cli: cannot make the %s '%s': %s\n", role, folder.c_str(),
               error ? error.message().c_str() : "not a folder");
  return false;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One input of the call and the files its run will write, known before any run.
struct PlannedInput {
  std::string given;      // as on the command line
  std::string recording;  // its path
  std::string product;    // where the writer puts the product (empty: no satellite marker)
  std::string delivered;  // where it ends up: in --output-dir, or the same
  std::string quicklook;  // with --preview: beside the product, and where it ends up
  std::string delivered_quicklook;
  std::string refused;  // why it is not run at all, found before the first run
};

// The call as a whole: its settings, the inputs with their files, the products written so far.
struct Call {
  const Command& command;
  std::string start_folder;
  std::string output_dir;   // empty: the products stay in the working folder
  std::string report_path;  // empty: no report
  bool several = false;
  std::vector<PlannedInput> inputs;
  std::vector<vantrel::cli::RunPlace> run_files;  // the recordings, products and working files
  // The products written by this call so far (role: the input that wrote each).
  std::vector<vantrel::cli::RunPlace> written;
  std::string report;  // the report's lines so far
};

using vantrel::cli::FindPlace;
using vantrel::cli::PlaceOf;
using vantrel::cli::RunPlace;

std::vector<PlannedInput> PlanInputs(const Command& command, const std::string& start_folder,
                                     const std::string& output_dir) {
  std::vector<PlannedInput> planned;
  for (const std::string& input : command.inputs) {
    PlannedInput plan;
    plan.given = input;
    plan.recording = vantrel::cli::ResolveInput(input, start_folder);
    plan.product = vantrel::ProductPathFor(plan.recording);
    if (!plan.product.empty()) {
      plan.delivered =
          output_dir.empty() ? plan.product : output_dir + "/" + BaseName(plan.product);
      if (command.preview) {
        plan.quicklook = vantrel::QuicklookPathFor(plan.product);
        plan.delivered_quicklook = vantrel::QuicklookPathFor(plan.delivered);
      }
    }
    planned.push_back(plan);
  }
  return planned;
}

// Every file the call reads or writes, by role: the recordings, the products and quicklooks
// where they are written and where they end up, and the working files of every chain.
std::vector<RunPlace> RunFiles(const std::vector<PlannedInput>& inputs) {
  std::vector<RunPlace> places;
  auto add = [&places](const char* role, const std::string& path) {
    if (!path.empty()) places.push_back({role, path, PlaceOf(path)});
  };
  for (const PlannedInput& input : inputs) add("the recording", input.recording);
  for (const PlannedInput& input : inputs) {
    add("the product", input.product);
    add("the product", input.delivered);
    add("the quicklook", input.quicklook);
    add("the quicklook", input.delivered_quicklook);
  }
  std::vector<std::string_view> names = {vantrel::kProductTempName, vantrel::kLockFileName};
  for (const auto kind :
       {vantrel::ChainKind::MetOp, vantrel::ChainKind::Fy3, vantrel::ChainKind::Mn2}) {
    for (std::string_view name : vantrel::ChainWorkingFiles(vantrel::Chain(kind)))
      names.push_back(name);
  }
  for (std::string_view name : names) add("the working file", vantrel::WorkingPath(name));
  return places;
}

// Before any run: an input whose product or quicklook would replace a recording of the call is
// refused, and so is an input that is the product or quicklook of an earlier input (it would be
// read after that run replaced it). Nothing the user named as a recording is ever overwritten.
void RefuseInputsAmongProducts(std::vector<PlannedInput>& inputs) {
  std::vector<vantrel::cli::Place> recordings;
  for (const PlannedInput& input : inputs) recordings.push_back(PlaceOf(input.recording));
  for (size_t writer = 0; writer < inputs.size(); ++writer) {
    const PlannedInput& w = inputs[writer];
    for (const std::string* written :
         {&w.product, &w.delivered, &w.quicklook, &w.delivered_quicklook}) {
      if (written->empty()) continue;
      const char* what = written == &w.product || written == &w.delivered ? "product" : "quicklook";
      const vantrel::cli::Place place = PlaceOf(*written);
      for (size_t read = 0; read < inputs.size(); ++read) {
        if (read == writer || !vantrel::cli::SamePlace(place, recordings[read])) continue;
        if (inputs[writer].refused.empty()) {
          inputs[writer].refused = std::string("its ") + what + " '" + *written +
                                   "' would replace the recording '" + inputs[read].given +
                                   "' of this call: nothing was done";
        }
        if (read > writer && inputs[read].refused.empty()) {
          inputs[read].refused = "'" + inputs[read].given + "' is the " + what + " of '" + w.given +
                                 "', an earlier input of this call: it is not processed";
        }
      }
    }
  }
}

// The report's place, checked before any run: a folder that takes it, and no file of the call.
bool CheckReportPlace(const Call& call) {
  std::string problem = vantrel::cli::WritePlaceProblem(call.report_path);
  if (problem.empty()) {
    if (const RunPlace* taken = FindPlace(call.run_files, PlaceOf(call.report_path)))
      problem = "it is " + taken->role + " '" + taken->path + "'";
  }
  if (problem.empty()) return true;
  std::fprintf(stderr, "vantrel-cli: cannot write the report '%s': %s: nothing was done\n",
               call.report_path.c_str(), problem.c_str());
  return false;
}

// Why the run of `input` would not be truthful or would replace what it must not, known before
// it starts; empty when it may run.
std::string ProblemBeforeTheRun(const Call& call, const PlannedInput& input) {
  if (!input.refused.empty()) return input.refused;
  if (input.product.empty()) return {};  // the run itself says there is no marker
  const vantrel::cli::Place product = PlaceOf(input.product);
  const vantrel::cli::Place delivered = PlaceOf(input.delivered);
  for (const RunPlace& written : call.written) {
    if (vantrel::cli::SamePlace(written.place, product) ||
        vantrel::cli::SamePlace(written.place, delivered))
      return "product '" + written.path + "' was already written by '" + written.role +
             "' in this call";
  }
  if (!call.command.preview) return {};
  if (const vantrel::ProductLayout* layout = vantrel::FindProductLayout(input.product)) {
    const int channel = call.command.preview_channel;
    if (channel > layout->channels) {
      return vantrel::Format("--preview-channel %d: %.*s has channels 1 to %d: nothing was done",
                             channel, static_cast<int>(layout->instrument.size()),
                             layout->instrument.data(), layout->channels);
    }
  }
  for (const std::string* quicklook : {&input.quicklook, &input.delivered_quicklook}) {
    std::string problem = vantrel::cli::WritePlaceProblem(*quicklook);
    if (problem.empty()) {
      // The quicklook replaces only an older quicklook.
      const vantrel::cli::Place place = PlaceOf(*quicklook);
      for (const RunPlace& file : call.run_files) {
        if (file.role != "the quicklook" && vantrel::cli::SamePlace(file.place, place)) {
          problem = "it is " + file.role + " '" + file.path + "'";
          break;
        }
      }
    }
    if (!problem.empty())
      return "cannot write the quicklook '" + *quicklook + "': " + problem + ": nothing was done";
  }
  return {};
}

// Adds the input's line to the report and puts the whole report in place under a temporary name
// and a rename, with the stop signals held off meanwhile: the report is never partial. Empty when
// written, else why not.
std::string WriteReport(Call& call, const std::string& json) {
  call.report += json;
  std::string error;
  const bool written = vantrel::ReplaceFileContentsUnstopped(call.report_path, call.report, &error);
  return written ? std::string() : "cannot write the report '" + call.report_path + "': " + error;
}

// One run of the chain on `input` in the current folder, as the window's batch start does, and
// the product moved to the output folder when one is given. A failure is told on standard error,
// with the input's name in front when several inputs share the call.
InputResult RunOne(Call& call, const PlannedInput& input) {
  const Command& command = call.command;
  const auto started = std::chrono::steady_clock::now();
  vantrel::cli::CliHost host(command.quiet, isatty(STDERR_FILENO) == 1);
  host.settings = command.settings;
  host.input_path = input.recording;
  host.chain.BatchMode = true;

  InputResult result{input.given, kExitNoProduct, ProblemBeforeTheRun(call, input)};
  std::string product;  // where the product is now, for the report
  if (result.detail.empty() && host.settings.Satellite.empty() &&
      vantrel::FindMarker(input.recording) == nullptr) {
    // SDR programs name their recordings without a marker: the data tell the satellite.
    host.settings.Satellite = "auto";
    host.AppendLog("No satellite marker in the name '" + input.given +
                   "': the satellite is looked for in the data, as with --satellite auto");
  }
  if (result.detail.empty()) {
    const vantrel::RunOutcome outcome = vantrel::ProcessRecording(host);
    host.Finish();
    result = Judge(outcome, host.chain, input.given);
    product = outcome.product;
    if (!product.empty()) call.written.push_back({input.given, product, PlaceOf(product)});
  }
  std::string quicklook;
  if (result.status == kExitProduct && command.preview) {
    std::string message;
    if (vantrel::WriteQuicklookBeside(product, command.preview_channel, &message)) {
      quicklook = vantrel::QuicklookPathFor(product);
      if (!command.quiet) vantrel::cli::WriteStandardOutput(message + "\n");
    } else {
      result.status = kExitNoProduct;
      result.detail = message;
    }
  }
  if (result.status == kExitProduct && !call.output_dir.empty()) {
    // The quicklook follows its product.
    const vantrel::cli::Delivery delivery = vantrel::cli::MoveProductInto(product, call.output_dir);
    if (!delivery.ok) {
      result.status = kExitNoProduct;
      result.detail = delivery.error + " (it stays in the working folder)";
    } else {
      result.detail = product = delivery.path;
      call.written.back() = {input.given, product, PlaceOf(product)};
      if (!quicklook.empty()) {
        const vantrel::cli::Delivery moved =
            vantrel::cli::MoveProductInto(quicklook, call.output_dir, "quicklook");
        if (!moved.ok) {
          result.status = kExitNoProduct;
          result.detail = "the product is in '" + product + "', but " + moved.error +
                          " (the quicklook stays in the working folder)";
        }
      }
    }
  }
  std::string report_error;
  if (!call.report_path.empty()) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started + std::chrono::milliseconds(500));
    report_error = WriteReport(
        call, vantrel::PassReportJson(host.chain.Counts, product, result.status, seconds.count()));
    if (!report_error.empty() && result.status == kExitProduct) {
      result.status = kExitNoProduct;
      result.detail = "the product is in '" + product + "', but " + report_error;
      report_error.clear();
    }
  }
  const std::string prefix = call.several ? input.given + ": " : "";
  if (result.status == kExitProduct)
    result.detail += ", " + std::to_string(host.chain.LastLineCount) + " lines";
  else
    std::fprintf(stderr, "vantrel-cli: %s%s\n", prefix.c_str(), result.detail.c_str());
  if (!report_error.empty())
    std::fprintf(stderr, "vantrel-cli: %s%s\n", prefix.c_str(), report_error.c_str());
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  vantrel::cli::PrepareStandardStreams();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const vantrel::cli::ParseResult parsed = vantrel::cli::ParseCommandLine(arguments);
  if (!parsed.ok) {
    std::fprintf(stderr, "vantrel-cli: %s\n\n%s", parsed.error.c_str(),
                 vantrel::cli::UsageText().c_str());
    return kExitUsage;
  }
  const Command& command = parsed.command;
  if (command.action == Command::Action::Help) {
    std::fputs(vantrel::cli::UsageText().c_str(), stdout);
    return kExitProduct;
  }
  if (command.action == Command::Action::Version) {
    std::printf("vantrel-cli %s\n", vantrel::kVersion);
    return kExitProduct;
  }
  for (const std::string& warning : command.warnings)
    std::fprintf(stderr, "vantrel-cli: %s\n", warning.c_str());

  // Inputs and folders are named from where the program was started, before it moves to -C.
  const std::string start_folder = vantrel::WorkingFolder();
  std::string output_dir;
  if (!command.output_dir.empty()) {
    output_dir = vantrel::cli::ResolveInput(command.output_dir, start_folder);
    if (!MakeFolder(output_dir, "output folder")) return kExitNoProduct;
  }
  if (!command.work_dir.empty()) {
    const std::string work_dir = vantrel::cli::ResolveInput(command.work_dir, start_folder);
    if (!MakeFolder(work_dir, "working folder")) return kExitNoProduct;
    if (chdir(work_dir.c_str()) != 0) {
      std::perror(("vantrel-cli: cannot work in '" + work_dir + "'").c_str());
      return kExitNoProduct;
    }
  }

  Call call{command, start_folder, output_dir, "", command.inputs.size() > 1, {}, {}, {}, ""};
  call.inputs = PlanInputs(command, start_folder, output_dir);
  call.run_files = RunFiles(call.inputs);
  RefuseInputsAmongProducts(call.inputs);
  if (!command.report_path.empty()) {
    call.report_path = vantrel::cli::ResolveInput(command.report_path, start_folder);
    if (!CheckReportPlace(call)) return kExitNoProduct;
  }

  vantrel::cli::InstallStopHandlers();
  std::vector<InputResult> results;
  int status = kExitProduct;
  for (const PlannedInput& input : call.inputs) {
    if (call.several && !command.quiet)
      vantrel::cli::WriteStandardOutput("==> " + input.given + " <==\n");
    results.push_back(RunOne(call, input));
    if (call.several && !command.quiet) vantrel::cli::WriteStandardOutput("\n");
    const int input_status = results.back().status;
    if (input_status != kExitProduct && status == kExitProduct) status = kExitNoProduct;
    // A stop signal ends the call: the inputs not begun yet are not processed.
    if (input_status > kExitSignalBase) {
      status = input_status;
      break;
    }
  }

  if (call.several) {
    for (const InputResult& result : results) {
      vantrel::cli::WriteStandardOutput(result.input + ": " +
                                        (result.status == kExitProduct ? "" : "no product: ") +
                                        result.detail + "\n");
    }
    for (size_t i = results.size(); i < command.inputs.size(); ++i)
      vantrel::cli::WriteStandardOutput(command.inputs[i] +
                                        ": not processed: the call was stopped\n");
  }
  vantrel::cli::FlushStandardOutput();
  return status;
}
