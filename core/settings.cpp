#include "core/settings.h"

#include <charconv>
#include <optional>

#include "core/log_format.h"
#include "core/stage_error.h"

namespace vantrel {
namespace {

std::optional<int> WholeNumber(std::string_view text) {
  std::string_view digits = text;
  while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    return std::nullopt;
  return value;
}

}  // namespace

int ParseSettingInteger(std::string_view setting, std::string_view text) {
  const std::optional<int> value = WholeNumber(text);
  if (!value) {
    throw StageError(Format("%.*s: '%.*s' is not a valid integer value",
                            static_cast<int>(setting.size()), setting.data(),
                            static_cast<int>(text.size()), text.data()));
  }
  return *value;
}

IntegerSetting& IntegerSetting::operator=(int value) {
  value_ = value;
  valid_ = true;
  text_.clear();
  return *this;
}

IntegerSetting& IntegerSetting::operator=(std::string_view text) {
  const std::optional<int> value = WholeNumber(text);
  valid_ = value.has_value();
  value_ = value.value_or(0);
  text_ = valid_ ? std::string() : std::string(text);
  return *this;
}

int IntegerSetting::Value() const {
  if (!valid_) return ParseSettingInteger(name_, text_);  // throws, naming the text
  return value_;
}

int MpduHeaderLength(const Settings& settings) {
  const int length = settings.MPDU_header.Value();
  if (length != kMpduHeaderLengths[0] && length != kMpduHeaderLengths[1]) {
    throw StageError(Format("MPDU_header: %d is not an M_PDU header length (%d or %d)", length,
                            kMpduHeaderLengths[0], kMpduHeaderLengths[1]));
  }
  return length;
}

int MaxPacketLength(const Settings& settings) {
  const int length = settings.MaxPkLen.Value();
  if (!kPacketLengthRange.Contains(length)) {
    throw StageError(Format("MaxPkLen: %d is outside the packet lengths %d..%d", length,
                            kPacketLengthRange.low, kPacketLengthRange.high));
  }
  return length;
}

}  // namespace vantrel
