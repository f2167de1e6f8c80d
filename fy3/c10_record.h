#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/record_sizes.h"

namespace vantrel {

// A .C10 frame, built from an FY-3 instrument line (kFy3LineBytes).
inline constexpr size_t kC10RecordBytes = 27728;
// The line's 27-bit millisecond of the day: the low three bits of this byte and the next three.
inline constexpr size_t kFy3LineTimeOffset = 26044;

// A pass date read from an input file name.
struct PassDate {
  int year;
  int month;
  int day;
  int day_of_year;  // 1 for 1 January, 365 or 366 for 31 December
};

// Reads "year-month-day" (decimal fields separated by '-', e.g. "2010-05-12"). Nothing when the
// text is not a valid date of the years 1 to 9999.
std::optional<PassDate> ParsePassDate(std::string_view text);

// Fills `record` from `line`: the fixed frame start, the 9-bit day of the year, the flag bits
// 1, 0, 1 and the 27-bit value from line bytes 26044-26047, line bytes 436-26049 at record byte
// 2000, zeros elsewhere.
void BuildC10Record(std::span<const uint8_t, kFy3LineBytes> line, int day_of_year,
                    std::span<uint8_t, kC10RecordBytes> record);

}  // namespace vantrel
