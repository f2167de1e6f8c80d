#include "core/stage_error.h"

#include <charconv>
#include <string>

#include "core/log_format.h"

namespace vantrel {

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
