// vantrel-cli: runs a satellite's processing chain on a recording, in the current folder.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "core/working_file.h"
#include "quicklook/quicklook.h"

namespace {

constexpr int kExitProduct = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;
// A run stopped by a signal exits as a shell reports a process that signal killed.
constexpr int kExitSignalBase = 128;

// The exit status of a run, and (for any status but 0) the one line on standard error that says
// why: shown even with -q, which hides the log but never a failure.
int ExitStatus(const vantrel::RunOutcome& outcome, const vantrel::ChainState& chain,
               const std::string& input) {
  std::string why;
  int status = kExitNoProduct;
  if (!outcome.recognised) {
    why = "'" + input +
          "' has no satellite marker (MetopA_, MetopB_, MetopC_, FY3A_, FY3B_, FY3C_ or MN2_): "
          "nothing was done";
  } else if (outcome.stopped) {
    why = outcome.error;
    status = kExitSignalBase + (outcome.stop_signal != 0 ? outcome.stop_signal : SIGINT);
  } else if (outcome.failed) {
    why = outcome.error;
  } else if (chain.LastLineCount <= 0) {
    why = "no line found in '" + input + "': no product was written";
  } else {
    return kExitProduct;
  }
  std::fprintf(stderr, "vantrel-cli: %s\n", why.c_str());
  return status;
}

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
  vantrel::cli::InstallStopHandlers();
  const vantrel::RunOutcome outcome = vantrel::ASMButtonClick(host);
  host.Finish();
  const int status = ExitStatus(outcome, host.chain, command.input);
  if (status == kExitProduct && command.preview) {
    std::string message;
    if (!vantrel::WriteQuicklookBeside(outcome.product, command.preview_channel, &message)) {
      std::fprintf(stderr, "vantrel-cli: %s\n", message.c_str());
      return kExitNoProduct;
    }
    if (!command.quiet) std::printf("%s\n", message.c_str());
  }
  return status;
}
