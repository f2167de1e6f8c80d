#pragma once

// The picture every simulated instrument line carries, so that a quicklook of a product shows at
// a glance whether its words, channels and bits were read in the right order, and tests can look
// for known values at known places. For channel c (0-based) of a line `width` pixels wide:
//  - columns 0-127, the line-number bar: the line number modulo 65536 as 16 cells of 8 columns,
//    most significant bit first, kPatternBright for a one and kPatternDark for a zero;
//  - a grid of kPatternGrid on every column x with x % 128 == 127 and on every line with
//    line % 32 == 31 (right of the bar);
//  - elsewhere c + 1 ramps from 0 to 1023 across columns 128 to width - 1: channel 1 shows one
//    ramp, channel 5 five.
// Swapped channels change the ramp count, a word-order error breaks the bar and the grid, a bit
// error turns the ramps into noise. The pattern never holds the FY-3 or MSU-MR line sync nor the
// CCSDS attached sync marker, in either polarity.

#include <cstdint>

namespace vantrel::sim {

inline constexpr int kPatternBarColumns = 128;
inline constexpr int kPatternBarCellColumns = 8;
inline constexpr int kPatternGridColumns = 128;
inline constexpr int kPatternGridLines = 32;
inline constexpr uint16_t kPatternBright = 1023;
inline constexpr uint16_t kPatternDark = 0;
inline constexpr uint16_t kPatternGrid = 512;
inline constexpr uint16_t kPatternRampTop = 1023;

// Instrument geometry: channels and pixels per line. MSU-MR lines are 1572 pixels wide; the
// simulated lines carry the 1568 of them that the product keeps.
inline constexpr int kAvhrrChannels = 5;
inline constexpr int kAvhrrPixels = 2048;
inline constexpr int kVirrChannels = 10;
inline constexpr int kVirrPixels = 2048;
inline constexpr int kMsuMrChannels = 6;
inline constexpr int kMsuMrPixels = 1572;
inline constexpr int kMsuMrCarriedPixels = 1568;

// The 10-bit sample of the pattern at (channel, column) of line `line`.
uint16_t TestPatternSample(int channel, int column, int width, uint32_t line);

}  // namespace vantrel::sim
