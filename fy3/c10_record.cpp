#include "fy3/c10_record.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>

namespace vantrel {
namespace {

// Words 1 to 8 of every frame (0x284 0x16F 0x35C 0x19D 0x20F 0x095 0x00D 0x000), packed as
// 10-bit words most significant bit first.
constexpr std::array<uint8_t, 10> kFrameStart = {0xA1, 0x16, 0xFD, 0x71, 0x9D,
                                                 0x83, 0xC9, 0x50, 0x34, 0x00};
constexpr size_t kDayHighByte = 10;  // day of year, bits 8-1
constexpr size_t kDayLowByte = 11;   // bit 7: day bit 0; bits 5-3: 1 0 1; bits 2-0: time bits
constexpr int kDayLowBitPosition = 7;
constexpr uint8_t kTimeFlagBits = 0x28;  // bits 5, 4, 3 = 1, 0, 1
constexpr uint8_t kTimeTopBitsMask = 0x07;
// The line's time value: the low three bits of its first byte and three whole bytes.
constexpr size_t kLineTimeByte = 26044;
constexpr size_t kLineTimeWholeBytes = 3;
constexpr size_t kRecordTimeWholeByte = 12;
// The copied part of the line and where it goes.
constexpr size_t kLineCopyFrom = 436;
constexpr size_t kRecordCopyTo = 2000;
constexpr size_t kCopyBytes = kFy3LineBytes - kLineCopyFrom;
static_assert(kRecordCopyTo + kCopyBytes <= kC10RecordBytes);

constexpr char kDateSeparator = '-';
constexpr int kMaxYear = 9999;

// A decimal field of the date: digits only, at least one.
std::optional<int> DateField(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<PassDate> ParsePassDate(std::string_view text) {
  const size_t first = text.find(kDateSeparator);
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = text.find(kDateSeparator, first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto year = DateField(text.substr(0, first));
  const auto month = DateField(text.substr(first + 1, second - first - 1));
  const auto day = DateField(text.substr(second + 1));
  if (!year || !month || !day || *year < 1 || *year > kMaxYear) return std::nullopt;

  using namespace std::chrono;
  const year_month_day date{std::chrono::year{*year}, std::chrono::month{unsigned(*month)},
                            std::chrono::day{unsigned(*day)}};
  if (!date.ok()) return std::nullopt;
  const auto new_year = sys_days{year_month_day{date.year(), January, std::chrono::day{1}}};
  const int day_of_year = static_cast<int>((sys_days{date} - new_year).count()) + 1;
  return PassDate{*year, *month, *day, day_of_year};
}

void BuildC10Record(std::span<const uint8_t, kFy3LineBytes> line, int day_of_year,
                    std::span<uint8_t, kC10RecordBytes> record) {
  std::fill(record.begin(), record.end(), uint8_t{0});
  std::copy(kFrameStart.begin(), kFrameStart.end(), record.begin());
  record[kDayHighByte] = static_cast<uint8_t>(day_of_year >> 1);
  record[kDayLowByte] =
      static_cast<uint8_t>((day_of_year & 1) << kDayLowBitPosition | kTimeFlagBits |
                           (line[kLineTimeByte] & kTimeTopBitsMask));
  std::memcpy(record.data() + kRecordTimeWholeByte, line.data() + kLineTimeByte + 1,
              kLineTimeWholeBytes);
  std::memcpy(record.data() + kRecordCopyTo, line.data() + kLineCopyFrom, kCopyBytes);
}

}  // namespace vantrel
