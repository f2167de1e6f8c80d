#include "core/stage_error.h"

#include <charconv>
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

int ParseSettingInteger(std::string_view setting, std::string_view text) {
  std::string_view digits = text;
  while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw StageError(Format("%.*s: '%.*s' is not a valid integer value",
                            static_cast<int>(setting.size()), setting.data(),
                            static_cast<int>(text.size()), text.data()));
  }
  return value;
}

}  // namespace vantrel
