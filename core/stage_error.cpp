#include "core/stage_error.h"

#include <csignal>
#include <string>

#include "core/log_format.h"

namespace vantrel {

std::string RunEndsHere(std::string_view reason) {
  std::string message(reason);
  message += ": the run ends here.";
  return message;
}

namespace {

std::string StopReason(int signal_number) {
  if (signal_number == SIGINT) return RunEndsHere("Stopped by an interrupt (SIGINT)");
  if (signal_number == SIGTERM) return RunEndsHere("Stopped by a termination request (SIGTERM)");
  if (signal_number != 0) return RunEndsHere(Format("Stopped by signal %d", signal_number));
  return RunEndsHere("Stopped by the user");
}

}  // namespace

RunCancelled::RunCancelled(int signal_number)
    : StageError(StopReason(signal_number)), signal_number_(signal_number) {}

}  // namespace vantrel
