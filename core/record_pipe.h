#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <stdexcept>
#include <vector>

namespace vantrel {

// Thrown into a step whose pipe was aborted: the run is being stopped, or a step beside it failed.
// The runner tells it apart from a step's own error.
class StepCancelled : public std::runtime_error {
 public:
  StepCancelled() : std::runtime_error("the step was stopped") {}
};

// A fact about a stretch of a stream that its bytes have no room for (a frame Reed-Solomon could
// not correct, a VCDU's frame counter, bytes filled in for missing frames), travelling beside the
// bytes from the step that writes them to the step that reads them. `offset` counts bytes from
// the start of the stream.
struct StreamMark {
  int64_t offset = 0;
  int64_t length = 0;
  uint32_t value = 0;
};

// The stream from one step of a chain to the next: bytes in order, with marks, through a bounded
// ring. The writer blocks while the ring is full, the reader while it is empty; neither ever sees
// how the other split its calls. The runner ends the stream (Close) once the writing step has
// finished, stops it (Abort) when the run ends early, and lets a writer go on into nothing
// (Discard) once the reading step has ended. Thread-safe for one writer and one reader.
class RecordPipe {
 public:
  // `capacity` bytes of ring; 0 makes the ring grow as needed (the one-thread mode, where a step
  // writes its whole output before the next step starts).
  explicit RecordPipe(size_t capacity);
  RecordPipe(const RecordPipe&) = delete;
  RecordPipe& operator=(const RecordPipe&) = delete;

  // Writer side. Write blocks until every byte is in the ring (or dropped, after Discard); it
  // throws StepCancelled once the pipe is aborted. A mark is put before the bytes it covers.
  void Write(const void* data, size_t size);
  void Mark(const StreamMark& mark);

  // Reader side. Read returns `size` bytes, or fewer only at the end of the stream (0 after it);
  // it throws StepCancelled once the pipe is aborted. TakeMarks moves the marks that begin
  // before stream offset `end` into `out`, in order; it waits until the writer has written that
  // far (or ended), so that every such mark is there. `end` must lie less than the ring's size
  // beyond what was read.
  size_t Read(void* data, size_t size);
  void TakeMarks(int64_t end, std::deque<StreamMark>& out);

  // Shows every piece written to `observer` first, on the writer's thread (set before the
  // writer starts).
  void SetObserver(std::function<void(std::span<const uint8_t>)> observer) {
    observer_ = std::move(observer);
  }

  // The writer could not read what it was to write whole (a read error of the file it reads): the
  // reader sees the stream end there and Failed().
  void Fail();
  bool Failed() const;

  // The runner's controls.
  void Close();
  void Abort();
  void Discard();

  // Bytes written so far (all of them, also those dropped after Discard).
  int64_t BytesWritten() const;

  // A live run's pipes are prompt (set before the steps start): the record helpers move a record
  // through them as soon as it is made instead of a block of them (RecordBlockReader,
  // RecordBlockWriter), so that a line reaches the end of the chain while the pass comes in, at
  // one pipe call per record.
  void SetPrompt() { prompt_ = true; }
  bool Prompt() const { return prompt_; }

 private:
  size_t Free() const { return ring_.size() - (written_ - read_); }

  std::function<void(std::span<const uint8_t>)> observer_;
  mutable std::mutex mutex_;
  std::condition_variable readable_;
  std::condition_variable writable_;
  std::vector<uint8_t> ring_;
  bool grows_;
  int64_t written_ = 0;  // stream offsets; written_ - read_ bytes wait in the ring
  int64_t read_ = 0;
  std::deque<StreamMark> marks_;
  // A waiting side is woken only when the other has gone this far (stream offsets).
  bool reader_waiting_ = false;
  int64_t reader_until_ = 0;  // written_ the reader waits for
  bool writer_waiting_ = false;
  int64_t writer_until_read_ = 0;  // read_ the writer waits for
  bool closed_ = false;
  bool failed_ = false;
  bool aborted_ = false;
  bool discarding_ = false;
  bool prompt_ = false;
};

}  // namespace vantrel
