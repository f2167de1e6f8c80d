#include "core/record_pipe.h"

#include <algorithm>
#include <cstring>

namespace vantrel {
namespace {

// The ring of a growing pipe starts at this size and doubles.
constexpr size_t kFirstGrowingRing = size_t{1} << 16;

}  // namespace

RecordPipe::RecordPipe(size_t capacity)
    : ring_(capacity == 0 ? kFirstGrowingRing : capacity), grows_(capacity == 0) {}

void RecordPipe::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (observer_ && size > 0) observer_(std::span<const uint8_t>(bytes, size));
  std::unique_lock lock(mutex_);
  while (size > 0) {
    if (aborted_) throw StepCancelled();
    if (discarding_) {
      written_ += static_cast<int64_t>(size);
      read_ = written_;
      return;
    }
    if (Free() == 0) {
      if (!grows_) {
        // Woken only once the reader made room for a good piece: a thread switch per few bytes
        // would cost more than the copying.
        const auto need = static_cast<int64_t>(std::min(size, ring_.size() / 2));
        writer_until_read_ = written_ + need - static_cast<int64_t>(ring_.size());
        writer_waiting_ = true;
        writable_.wait(lock);
        writer_waiting_ = false;
        continue;
      }
      // Linearise into a ring twice the size.
      std::vector<uint8_t> larger(ring_.size() * 2);
      const size_t held = static_cast<size_t>(written_ - read_);
      const size_t start = static_cast<size_t>(read_ % static_cast<int64_t>(ring_.size()));
      const size_t first = std::min(held, ring_.size() - start);
      std::memcpy(larger.data(), ring_.data() + start, first);
      std::memcpy(larger.data() + first, ring_.data(), held - first);
      ring_.swap(larger);
      // Offsets stay; the ring position of offset read_ must be 0 in the new ring.
      const int64_t shift = read_ % static_cast<int64_t>(ring_.size());
      if (shift != 0) std::rotate(ring_.begin(), ring_.end() - shift, ring_.end());
    }
    const size_t chunk = std::min(size, Free());
    const size_t at = static_cast<size_t>(written_ % static_cast<int64_t>(ring_.size()));
    const size_t first = std::min(chunk, ring_.size() - at);
    std::memcpy(ring_.data() + at, bytes, first);
    std::memcpy(ring_.data(), bytes + first, chunk - first);
    written_ += static_cast<int64_t>(chunk);
    bytes += chunk;
    size -= chunk;
    if (reader_waiting_ && written_ >= reader_until_) readable_.notify_one();
  }
}

void RecordPipe::Mark(const StreamMark& mark) {
  const std::lock_guard lock(mutex_);
  if (aborted_) throw StepCancelled();
  if (!discarding_) marks_.push_back(mark);
}

size_t RecordPipe::Read(void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  std::unique_lock lock(mutex_);
  size_t got = 0;
  while (got < size) {
    if (aborted_) throw StepCancelled();
    const auto held = static_cast<size_t>(written_ - read_);
    if (held == 0) {
      if (closed_) break;
      // Woken once a good piece is there (see Write).
      reader_until_ = read_ + static_cast<int64_t>(std::min(size - got, ring_.size() / 2));
      reader_waiting_ = true;
      readable_.wait(lock);
      reader_waiting_ = false;
      continue;
    }
    const size_t chunk = std::min(held, size - got);
    const size_t at = static_cast<size_t>(read_ % static_cast<int64_t>(ring_.size()));
    const size_t first = std::min(chunk, ring_.size() - at);
    std::memcpy(bytes + got, ring_.data() + at, first);
    std::memcpy(bytes + got + first, ring_.data(), chunk - first);
    read_ += static_cast<int64_t>(chunk);
    got += chunk;
    if (writer_waiting_ && read_ >= writer_until_read_) writable_.notify_one();
  }
  return got;
}

void RecordPipe::TakeMarks(int64_t end, std::deque<StreamMark>& out) {
  std::unique_lock lock(mutex_);
  while (written_ < end && !closed_ && !aborted_ && !discarding_) {
    reader_until_ = end;
    reader_waiting_ = true;
    readable_.wait(lock);
    reader_waiting_ = false;
  }
  if (aborted_) throw StepCancelled();
  while (!marks_.empty() && marks_.front().offset < end) {
    out.push_back(marks_.front());
    marks_.pop_front();
  }
}

void RecordPipe::Fail() {
  const std::lock_guard lock(mutex_);
  failed_ = true;
}

bool RecordPipe::Failed() const {
  const std::lock_guard lock(mutex_);
  return failed_;
}

void RecordPipe::Close() {
  const std::lock_guard lock(mutex_);
  closed_ = true;
  readable_.notify_all();
}

void RecordPipe::Abort() {
  const std::lock_guard lock(mutex_);
  aborted_ = true;
  readable_.notify_all();
  writable_.notify_all();
}

void RecordPipe::Discard() {
  const std::lock_guard lock(mutex_);
  discarding_ = true;
  read_ = written_;
  marks_.clear();
  writable_.notify_all();
}

int64_t RecordPipe::BytesWritten() const {
  const std::lock_guard lock(mutex_);
  return written_;
}

}  // namespace vantrel
