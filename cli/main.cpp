// vantrel-cli: runs a satellite's processing chain on each recording it is given, in the current
// folder or the one -C names, writes their quicklooks when asked (--preview), and moves the
// products to --output-dir when asked.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/driver.h"
#include "ccsds/source_packet_builder.h"
#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "cli/product_delivery.h"
#include "core/pass_report.h"
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
    result.detail = "'" + input +
                    "' has no satellite marker (MetopA_, MetopB_, MetopC_, FY3A_, FY3B_, FY3C_, "
                    "MN2_, MN22_, MN23_ or MN24_) and no --satellite: nothing was done";
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

// Writes a pass report: the whole file for the first input of the call, a further line for each
// later one (one JSON object per line, in the order of the inputs).
bool WriteReport(const std::string& path, const std::string& json, bool first) {
  std::FILE* file = std::fopen(path.c_str(), first ? "wb" : "ab");
  if (file == nullptr) return false;
  const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  return std::fclose(file) == 0 && written;
}

// One run of the chain on `input` in the current folder, as the window's batch start does, and
// the product moved to `output_dir` when one is given. A failure is told on standard error,
// with the input's name in front when `several` inputs share the call.
InputResult RunOne(const Command& command, const std::string& input,
                   const std::string& start_folder, const std::string& output_dir, bool several,
                   bool first) {
  const auto started = std::chrono::steady_clock::now();
  // Each input starts from the state a new program would have: no packet of the last pass
  // carries over into this one.
  vantrel::TheSourcePacketBuilder() = vantrel::SourcePacketBuilder();
  vantrel::cli::CliHost host(command.quiet, isatty(STDERR_FILENO) == 1);
  host.settings = command.settings;
  host.input_path = vantrel::cli::ResolveInput(input, start_folder);
  host.chain.BatchMode = true;
  const vantrel::RunOutcome outcome = vantrel::ASMButtonClick(host);
  host.Finish();

  InputResult result = Judge(outcome, host.chain, input);
  std::string quicklook;
  std::string product = outcome.product;  // where the product is now, for the report
  if (result.status == kExitProduct && command.preview) {
    std::string message;
    if (vantrel::WriteQuicklookBeside(outcome.product, command.preview_channel, &message)) {
      quicklook = vantrel::QuicklookPathFor(outcome.product);
      if (!command.quiet) std::printf("%s\n", message.c_str());
    } else {
      result.status = kExitNoProduct;
      result.detail = message;
    }
  }
  if (result.status == kExitProduct && !output_dir.empty()) {
    // The quicklook follows its product.
    vantrel::cli::Delivery delivery = vantrel::cli::MoveProductInto(outcome.product, output_dir);
    if (delivery.ok) result.detail = product = delivery.path;
    if (delivery.ok && !quicklook.empty())
      delivery = vantrel::cli::MoveProductInto(quicklook, output_dir);
    if (!delivery.ok) {
      result.status = kExitNoProduct;
      result.detail = delivery.error + " (it stays in the working folder)";
    }
  }
  if (!command.report_path.empty()) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started + std::chrono::milliseconds(500));
    const std::string report_path = vantrel::cli::ResolveInput(command.report_path, start_folder);
    if (!WriteReport(
            report_path,
            vantrel::PassReportJson(host.chain.Counts, product, result.status, seconds.count()),
            first))
      std::fprintf(stderr, "vantrel-cli: cannot write the report '%s'\n", report_path.c_str());
  }
  if (result.status == kExitProduct) {
    result.detail += ", " + std::to_string(host.chain.LastLineCount) + " lines";
  } else {
    const std::string prefix = several ? input + ": " : "";
    std::fprintf(stderr, "vantrel-cli: %s%s\n", prefix.c_str(), result.detail.c_str());
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
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

  vantrel::cli::InstallStopHandlers();
  const bool several = command.inputs.size() > 1;
  std::vector<InputResult> results;
  int status = kExitProduct;
  for (const std::string& input : command.inputs) {
    if (several && !command.quiet) std::printf("==> %s <==\n", input.c_str());
    results.push_back(RunOne(command, input, start_folder, output_dir, several, results.empty()));
    if (several && !command.quiet) std::putchar('\n');
    const int input_status = results.back().status;
    if (input_status != kExitProduct && status == kExitProduct) status = kExitNoProduct;
    // A stop signal ends the call: the inputs not begun yet are not processed.
    if (input_status > kExitSignalBase) {
      status = input_status;
      break;
    }
  }

  if (several) {
    for (const InputResult& result : results) {
      std::printf("%s: %s%s\n", result.input.c_str(),
                  result.status == kExitProduct ? "" : "no product: ", result.detail.c_str());
    }
    for (size_t i = results.size(); i < command.inputs.size(); ++i)
      std::printf("%s: not processed: the call was stopped\n", command.inputs[i].c_str());
  }
  std::fflush(stdout);
  return status;
}
