// vantrel-cli: runs a satellite's processing chain on a recording, in the current folder.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/product_path.h"
#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "core/working_file.h"
#include "quicklook/quicklook.h"

namespace {

constexpr int kExitProduct = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  using vantrel::cli::Command;
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
    std::puts("vantrel-cli 0.4.5");
    return kExitProduct;
  }
  for (const std::string& warning : command.warnings)
    std::fprintf(stderr, "vantrel-cli: %s\n", warning.c_str());

  vantrel::cli::CliHost host(command.quiet, isatty(STDERR_FILENO) == 1);
  host.settings = command.settings;
  host.input_path = vantrel::cli::ResolveInput(command.input, vantrel::WorkingFolder());
  // The command line is a batch start: one run, and the product decides the exit status.
  host.chain.BatchMode = true;
  const vantrel::RunOutcome outcome = vantrel::ASMButtonClick(host);
  host.Finish();
  const bool product = outcome.recognised && !outcome.failed && host.chain.LastLineCount > 0;
  if (product && command.preview) {
    std::string message;
    const bool written = vantrel::WriteQuicklookBeside(vantrel::ProductPathFor(host.input_path),
                                                       command.preview_channel, &message);
    if (!written) {
      std::fprintf(stderr, "vantrel-cli: %s\n", message.c_str());
      return kExitNoProduct;
    }
    if (!command.quiet) std::printf("%s\n", message.c_str());
  }
  return product ? kExitProduct : kExitNoProduct;
}
