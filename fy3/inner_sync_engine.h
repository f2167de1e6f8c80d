#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace vantrel {

// Number of bits of an instrument line sync pattern, and of each compared slice of it.
inline constexpr int kLineSyncPatternBits = 31;
inline constexpr int kLineSyncCompareBits = 24;
inline constexpr uint32_t kLineSyncCompareMask = (1u << kLineSyncCompareBits) - 1;
// One compared slice per bit shift of a byte.
inline constexpr int kLineSyncShifts = 8;
// Entries 0-7 are the slices at shifts 0-7, entries 8-15 their complements.
inline constexpr int kLineSyncTableSize = 2 * kLineSyncShifts;

using LineSyncTable = std::array<uint32_t, kLineSyncTableSize>;

// Entry s (s < 8) is bits s to s + 23 of the 31-bit `pattern` (its first bit the most significant,
// pattern bit 30), read with bit s as the most significant: what the three bytes at a byte
// position hold when the pattern's first bit lies s bits before that position. Entry 8 + s is the
// 24-bit complement of entry s.
constexpr LineSyncTable MakeLineSyncTable(uint32_t pattern) {
  LineSyncTable table{};
  for (int s = 0; s < kLineSyncShifts; ++s) {
    // Slice s ends kLineSyncPatternBits - kLineSyncCompareBits - s bits before the pattern's end.
    table[s] =
        (pattern >> (kLineSyncPatternBits - kLineSyncCompareBits - s)) & kLineSyncCompareMask;
    table[s + kLineSyncShifts] = ~table[s] & kLineSyncCompareMask;
  }
  return table;
}

// A line sync found at a byte position.
struct LineSyncMatch {
  size_t position;        // byte position of the three compared bytes
  int shift;              // bits of the pattern that lie before `position` (0-7)
  uint32_t window_value;  // the three bytes at `position`, the first most significant
};

// The exact 24-bit comparison at eight shifts of every byte position.
class LineSyncMatcher {
 public:
  explicit LineSyncMatcher(const LineSyncTable& table);

  // Returns the first byte position p in [begin, end) whose bytes p, p + 1, p + 2 equal one of
  // entries 0-7, with the smallest such entry as the shift; nothing when no position matches.
  // `bytes` must hold at least end + 2 bytes. Complements (entries 8-15) are not compared.
  std::optional<LineSyncMatch> Find(std::span<const uint8_t> bytes, size_t begin, size_t end) const;

 private:
  std::array<uint32_t, kLineSyncShifts> entries_{};
  // For each value of the first two bytes, the shifts whose entry starts with it (bit s set for
  // entry s): one look-up rules out all but about one position in 8000.
  std::vector<uint8_t> shifts_by_first_bytes_;
};

// Writes line.size() bytes that start `shift` bits before byte `position` of `bytes`:
// line[i] = bytes[position + i] >> shift | bytes[position + i - 1] << (8 - shift), kept to 8 bits.
// A byte before the start of `bytes` counts as zero. `bytes` must hold position + line.size()
// bytes; `line` must not overlap `bytes`.
void CopyShiftedLine(std::span<const uint8_t> bytes, size_t position, int shift,
                     std::span<uint8_t> line);

// What the aligner reports while it runs. The stage turns these into log lines, output records
// and progress; tests record them.
class LineSyncListener {
 public:
  virtual ~LineSyncListener() = default;
  // A line was found and will be written: its number (1-based), the compared window value, its
  // shift and its distance in input bytes from the previous line's match (the first line's: its
  // byte offset in the input).
  virtual void LineFound(int32_t lines_found, uint32_t window_value, int shift, int64_t offset) = 0;
  // The L bytes of the line just found.
  virtual void LineReady(std::span<const uint8_t> line) = 0;
  // A refill of the window came up short: the lines found so far and the bytes it got.
  virtual void InputShort(int32_t lines_found, size_t got) = 0;
  // Called after every line and every window refill.
  virtual void Progress(int32_t lines_found) = 0;
  // A line sync was found at input offset `at`, but the next line sync does not lie a whole
  // number of lines on: bytes were lost inside the line, which is not reported as found.
  virtual void LineDropped(int64_t at) { (void)at; }
  // No line sync lies one line after the last line (found or kept), at input offset `at`: whether
  // the sync went with bytes lost in place (written as zeros, every byte since the last line
  // accounted for), so that the line is kept at its place on the grid.
  virtual bool SyncLostInPlace(int64_t at) {
    (void)at;
    return false;
  }
};

// Reads up to buffer.size() bytes of input into `buffer`; returns how many arrived. Fewer than
// asked means the input has ended.
using LineSyncReader = std::function<size_t(std::span<uint8_t> buffer)>;

// The sliding-window search for instrument lines in a bit stream: a window of three lines, moved
// by one line whenever the position passes the first line. Every byte position is tried at eight
// shifts; a match copies the next L bytes at its shift, whatever they hold, and the search goes
// on at the byte after the last one the line used. Bits before the start of the input and window
// bytes beyond its end are zero. Once the input has ended the search goes on through the bytes
// still in the window; a line is reported only when all its L bytes come from the input, and the
// first line that would run past the end ends the run.
// A line is reported only when nothing shows that bytes were lost inside it: the next line sync
// must lie exactly one line on, or a whole number of lines on with the same shift when the ones
// between are damaged. A sync found anywhere else (the full 31-bit pattern, before or after the
// next line's place) drops the line and the search goes on at the byte after its sync. With no
// further sync in the window (the end of the input) the line is taken as whole. In a stream
// without losses every line but the last has its successor's sync one line on, so this changes
// nothing there. Where the sync one line after a line is missing and the listener says it went
// with bytes lost in place, the line there is reported all the same (at the last line's shift),
// when the next sync found after it lies on the same grid.
class LineSyncAligner {
 public:
  // `line_length` L must be at least 4 bytes.
  LineSyncAligner(size_t line_length, const LineSyncTable& table);

  // Runs over the whole input; returns the number of lines reported. May be called again for a
  // new input: the window is reused.
  int32_t Run(const LineSyncReader& read, LineSyncListener& listener);

 private:
  // Fills the window bytes from `from` on from the input (none once it has ended); zeroes what
  // the input does not fill.
  void Fill(size_t from, const LineSyncReader& read, LineSyncListener& listener, bool report);
  // Whether the line at `match` holds nothing but its own bytes, judged by the next sync.
  bool WholeLine(const LineSyncMatch& match) const;
  // Whether all 31 pattern bits lie at `match` (its shift's bits before the position included).
  bool FullPatternAt(const LineSyncMatch& match, size_t input_bytes) const;
  // Reports the line one line after the last one, at `position` with the last one's shift, when
  // its sync was lost in place; returns whether it did.
  bool KeepOnGrid(size_t position, int64_t window_at, int64_t& last_match,
                  LineSyncListener& listener);

  size_t line_length_;
  LineSyncMatcher matcher_;
  uint32_t pattern_;  // the 31-bit pattern, rebuilt from the table's first and last slices
  std::vector<uint8_t> window_;  // three lines
  std::vector<uint8_t> line_;    // one output line
  size_t input_bytes_ = 0;       // window bytes that hold input
  bool input_ended_ = false;
  int32_t lines_found_ = 0;
  // The shift of the last line reported, while the position is one line after it; else -1.
  int grid_shift_ = -1;
};

}  // namespace vantrel
