#include "fy3/inner_sync_engine.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace vantrel {
namespace {

constexpr int kByteBits = 8;
// The leading bits of an entry that the pre-filter table is indexed by.
constexpr int kPrefixBits = 2 * kByteBits;
// Bytes read at a byte position for one comparison.
constexpr size_t kCompareBytes = kLineSyncCompareBits / kByteBits;
constexpr size_t kWordBytes = sizeof(uint64_t);
// Lines held by the window.
constexpr size_t kWindowLines = 3;
// The shortest line the window logic supports: longer than the compared bytes.
constexpr size_t kMinLineLength = kCompareBytes + 1;

// Swaps a word read from memory into big-endian order and back (a no-op on big-endian hosts).
uint64_t ToBigEndian(uint64_t word) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(word);
  return word;
}

}  // namespace

LineSyncMatcher::LineSyncMatcher(const LineSyncTable& table)
    : shifts_by_first_bytes_(size_t{1} << kPrefixBits) {
  for (int s = 0; s < kLineSyncShifts; ++s) {
    entries_[s] = table[s] & kLineSyncCompareMask;
    const uint32_t prefix = entries_[s] >> (kLineSyncCompareBits - kPrefixBits);
    shifts_by_first_bytes_[prefix] |= static_cast<uint8_t>(1u << s);
  }
}

std::optional<LineSyncMatch> LineSyncMatcher::Find(std::span<const uint8_t> bytes, size_t begin,
                                                   size_t end) const {
  // Never compare past the span, whatever the caller asked.
  const size_t last = bytes.size() >= kCompareBytes ? bytes.size() - kCompareBytes + 1 : 0;
  end = std::min(end, last);
  const uint8_t* data = bytes.data();
  const uint8_t* shift_table = shifts_by_first_bytes_.data();
  for (size_t p = begin; p < end; ++p) {
    // Most positions start no entry: one look-up on the first two bytes rules them out.
    unsigned shifts = shift_table[static_cast<unsigned>(data[p]) << kByteBits | data[p + 1]];
    if (shifts == 0) continue;
    const uint32_t value = static_cast<uint32_t>(data[p]) << 16 |
                           static_cast<uint32_t>(data[p + 1]) << 8 | data[p + 2];
    for (; shifts != 0; shifts &= shifts - 1) {  // smallest shift first
      const int s = std::countr_zero(shifts);
      if (value == entries_[s]) return LineSyncMatch{p, s, value};
    }
  }
  return std::nullopt;
}

void CopyShiftedLine(std::span<const uint8_t> bytes, size_t position, int shift,
                     std::span<uint8_t> line) {
  const size_t length = std::min(line.size(), bytes.size() - std::min(bytes.size(), position));
  const uint8_t* from = bytes.data() + position;
  // The byte before output byte i, bytes[position + i - 1]: counted from the start of `bytes`, so
  // that the offset never wraps below zero (i is 0 here only when position is not).
  const auto before = [&bytes, position](size_t i) { return bytes.data() + (position + i - 1); };
  if (shift == 0) {
    std::memcpy(line.data(), from, length);
    return;
  }
  const int back = kByteBits - shift;
  size_t i = 0;
  if (position == 0 && length > 0) {
    line[0] = static_cast<uint8_t>(from[0] >> shift);  // the bits before the input are zero
    i = 1;
  }
  // Eight output bytes at a time: bytes i-1 to i+6 as one big-endian word, moved up by `back`
  // bits, and the top bits of byte i+7 below them.
  for (; i + kWordBytes <= length; i += kWordBytes) {
    uint64_t word;
    std::memcpy(&word, before(i), kWordBytes);
    word = ToBigEndian(word) << back | static_cast<uint64_t>(from[i + kWordBytes - 1] >> shift);
    word = ToBigEndian(word);
    std::memcpy(line.data() + i, &word, kWordBytes);
  }
  for (; i < length; ++i) {
    line[i] = static_cast<uint8_t>(from[i] >> shift | *before(i) << back);
  }
}

LineSyncAligner::LineSyncAligner(size_t line_length, const LineSyncTable& table)
    : line_length_(line_length),
      matcher_(table),
      // Slice 0 holds pattern bits 0-23, slice 7 bits 7-30: its last seven are bits 24-30.
      pattern_((table[0] & kLineSyncCompareMask) << (kLineSyncPatternBits - kLineSyncCompareBits) |
               (table[kLineSyncShifts - 1] &
                ((1u << (kLineSyncPatternBits - kLineSyncCompareBits)) - 1))),
      window_(kWindowLines * line_length),
      line_(line_length) {
  if (line_length < kMinLineLength) throw std::invalid_argument("line length below 4 bytes");
}

void LineSyncAligner::Fill(size_t from, const LineSyncReader& read, LineSyncListener& listener,
                           bool report) {
  if (!input_ended_) {
    const size_t wanted = window_.size() - from;
    const size_t got = std::min(wanted, read(std::span<uint8_t>(window_.data() + from, wanted)));
    input_bytes_ = from + got;
    if (got < wanted) {
      input_ended_ = true;
      if (report) listener.InputShort(lines_found_, got);
    }
  }
  // Window bytes beyond the input are zero, never left over from an earlier fill.
  const size_t zero_from = std::max(from, input_bytes_);
  std::fill(window_.begin() + static_cast<ptrdiff_t>(zero_from), window_.end(), uint8_t{0});
}

bool LineSyncAligner::FullPatternAt(const LineSyncMatch& match, size_t input_bytes) const {
  // Bytes position - 1 to position + 3 as one 40-bit value; the pattern starts `shift` bits
  // before the position, so it ends 1 + shift bits above the value's last bit.
  const size_t p = match.position;
  if (p + kCompareBytes + 1 > input_bytes) return false;
  uint64_t value = p > 0 ? window_[p - 1] : 0;
  for (size_t i = 0; i <= kCompareBytes; ++i) value = value << kByteBits | window_[p + i];
  const uint32_t mask = (1u << kLineSyncPatternBits) - 1;
  return static_cast<uint32_t>(value >> (1 + match.shift) & mask) == pattern_;
}

bool LineSyncAligner::WholeLine(const LineSyncMatch& match) const {
  const std::span<const uint8_t> input(window_.data(), input_bytes_);
  const size_t next = match.position + line_length_;
  // The usual case: the next line's sync, at the same shift, exactly one line on.
  const std::optional<LineSyncMatch> at_next = matcher_.Find(input, next, next + 1);
  if (at_next && at_next->shift == match.shift) return true;
  // Otherwise the first full sync after this one decides.
  for (size_t from = match.position + 1;;) {
    const std::optional<LineSyncMatch> found = matcher_.Find(input, from, input_bytes_);
    if (!found) return true;  // nothing left to judge by
    if (FullPatternAt(*found, input_bytes_)) {
      return found->shift == match.shift && found->position > match.position &&
             (found->position - match.position) % line_length_ == 0;
    }
    from = found->position + 1;
  }
}

bool LineSyncAligner::KeepOnGrid(size_t position, int64_t window_at, int64_t& last_match,
                                 LineSyncListener& listener) {
  if (position + line_length_ > input_bytes_) return false;
  const int64_t at = window_at + static_cast<int64_t>(position);
  if (!listener.SyncLostInPlace(at)) return false;
  const uint32_t value = static_cast<uint32_t>(window_[position]) << 16 |
                         static_cast<uint32_t>(window_[position + 1]) << 8 | window_[position + 2];
  const LineSyncMatch place{position, grid_shift_, value};
  if (!WholeLine(place)) return false;
  ++lines_found_;
  listener.LineFound(lines_found_, value, grid_shift_, at - last_match);
  last_match = at;
  CopyShiftedLine(window_, position, grid_shift_, line_);
  listener.LineReady(line_);
  listener.Progress(lines_found_);
  return true;
}

int32_t LineSyncAligner::Run(const LineSyncReader& read, LineSyncListener& listener) {
  const size_t length = line_length_;
  input_bytes_ = 0;
  input_ended_ = false;
  lines_found_ = 0;
  grid_shift_ = -1;
  Fill(0, read, listener, /*report=*/false);

  size_t position = 0;     // byte position in the window
  int64_t window_at = 0;   // input offset of window byte 0
  int64_t last_match = 0;  // input offset of the previous match
  for (;;) {
    // Move the window on by one line once the position has passed the first line.
    if (position > length) {
      std::memmove(window_.data(), window_.data() + length, window_.size() - length);
      position -= length;
      window_at += static_cast<int64_t>(length);
      input_bytes_ = input_bytes_ > length ? input_bytes_ - length : 0;
      Fill(window_.size() - length, read, listener, /*report=*/true);
      listener.Progress(lines_found_);
    }
    // After the end of the input, search on only through window bytes that hold input.
    if (input_ended_ && position >= input_bytes_) break;
    const size_t limit = input_ended_ ? std::min(length + 1, input_bytes_) : length + 1;
    const std::optional<LineSyncMatch> match = matcher_.Find(window_, position, limit);
    if (grid_shift_ >= 0) {
      const bool on_grid = match && match->position == position && match->shift == grid_shift_;
      if (!on_grid && KeepOnGrid(position, window_at, last_match, listener)) {
        position += length;
        continue;
      }
      grid_shift_ = -1;
    }
    if (!match) {
      position = limit;
      continue;
    }
    position = match->position;
    // A line is reported only when all its bytes come from the input; the first one that would
    // run past the end ends the run.
    if (position + length > input_bytes_) break;
    if (!WholeLine(*match)) {
      listener.LineDropped(window_at + static_cast<int64_t>(position));
      ++position;
      continue;
    }
    ++lines_found_;
    const int64_t at = window_at + static_cast<int64_t>(position);
    listener.LineFound(lines_found_, match->window_value, match->shift, at - last_match);
    last_match = at;
    CopyShiftedLine(window_, position, match->shift, line_);
    listener.LineReady(line_);
    listener.Progress(lines_found_);
    grid_shift_ = match->shift;
    position += length;  // no resynchronisation inside a line
  }
  return lines_found_;
}

}  // namespace vantrel
