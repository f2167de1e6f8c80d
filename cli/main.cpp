// vantrel-cli: runs a satellite's processing chain on each recording it is given, in the current
// folder or the one -C names, and moves the products to --output-dir when asked.

#include <unistd.h>

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
#include "core/version.h"
#include "core/working_file.h"

namespace {

using vantrel::cli::Command;

constexpr int kExitProduct = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;

// What one input came to, for the summary.
struct InputResult {
  std::string input;  // as given
  bool product = false;
  std::string detail;  // the product's path, or why there is none
};

// Makes `folder` (and its parents) when missing; false, with a message, when it cannot.
bool MakeFolder(const std::string& folder, const char* role) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!error && std::filesystem::is_directory(folder, error)) return true;
  std::fprintf(stderr, "vantrel-cli: cannot make the %s '%s': %s\n", role, folder.c_str(),
               error ? error.message().c_str() : "not a folder");
  return false;
}

// One run of the chain on `input` in the current folder, as the window's batch start does.
InputResult RunOne(const Command& command, const std::string& input,
                   const std::string& start_folder, const std::string& output_dir) {
  // Each input starts from the state a new program would have: no packet of the last pass
  // carries over into this one.
  vantrel::TheSourcePacketBuilder() = vantrel::SourcePacketBuilder();
  vantrel::cli::CliHost host(command.quiet, isatty(STDERR_FILENO) == 1);
  host.settings = command.settings;
  host.input_path = vantrel::cli::ResolveInput(input, start_folder);
  host.chain.BatchMode = true;
  const vantrel::RunOutcome outcome = vantrel::ASMButtonClick(host);
  host.Finish();

  InputResult result{input, false, ""};
  const vantrel::PassCounts& counts = host.chain.Counts;
  if (!outcome.recognised) {
    result.detail = "no satellite marker in the name";
  } else if (outcome.failed) {
    result.detail = outcome.error;
  } else if (host.chain.LastLineCount <= 0 || counts.product_path.empty()) {
    result.detail = "no line";
  } else if (output_dir.empty()) {
    result.product = true;
    result.detail = counts.product_path;
  } else {
    const vantrel::cli::Delivery delivery =
        vantrel::cli::MoveProductInto(counts.product_path, output_dir);
    result.product = delivery.ok;
    result.detail = delivery.ok ? delivery.path : delivery.error;
    if (!delivery.ok)
      std::fprintf(stderr, "vantrel-cli: %s: %s\n", input.c_str(), delivery.error.c_str());
  }
  if (result.product) result.detail += ", " + std::to_string(host.chain.LastLineCount) + " lines";
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

  const bool several = command.inputs.size() > 1;
  std::vector<InputResult> results;
  for (const std::string& input : command.inputs) {
    if (several && !command.quiet) std::printf("==> %s <==\n", input.c_str());
    results.push_back(RunOne(command, input, start_folder, output_dir));
    if (several && !command.quiet) std::putchar('\n');
  }

  bool all_products = true;
  for (const InputResult& result : results) {
    all_products = all_products && result.product;
    if (several)
      std::printf("%s: %s%s\n", result.input.c_str(),
                  result.product ? "" : "no product: ", result.detail.c_str());
  }
  std::fflush(stdout);
  return all_products ? kExitProduct : kExitNoProduct;
}
