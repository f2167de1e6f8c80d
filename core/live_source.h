#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// How a live input is read and when it ends.
struct LiveOptions {
  // A growing file or a stream ends once nothing came for this long (a recorder that stopped, a
  // stalled server).
  double idle_seconds = 10;
  // > 0: the input ends this many seconds after it was opened, whatever still comes.
  double duration_seconds = 0;
  // A stream's buffer between the thread that receives it and the chain: memory first, then a
  // temporary file in `spill_folder` of at most `spill_bytes` (0: none), and never beyond the
  // free space of its file system less kSpillMarginBytes. What arrives while both are full is
  // dropped and counted: a live stream cannot wait for the chain.
  size_t buffer_bytes = size_t{64} << 20;
  std::string spill_folder = ".";
  int64_t spill_bytes = int64_t{4} << 30;
  // Drops are whole units (a baseband sample), so that the samples after a gap stay aligned.
  size_t unit_bytes = 1;
  // rtl_tcp: the sample rate asked of the server (0: the server's own).
  int64_t sample_rate = 0;
  // How often a growing file is looked at when it has no new bytes.
  std::chrono::milliseconds poll{50};
};

// The free space a stream's temporary file leaves on its file system.
inline constexpr int64_t kSpillMarginBytes = int64_t{512} << 20;

// True for an input that names a stream rather than a file: "-" (standard input) or
// "tcp://HOST:PORT".
bool IsStreamInput(std::string_view input);

// True for a run whose input is live: a stream, or a file followed as its recorder writes it
// (`follow`, the --follow setting).
bool IsLiveInput(std::string_view input, bool follow);

// Bytes a stream lost while its buffer was full, and when (seconds since the input opened).
struct LiveDrop {
  int64_t bytes = 0;
  double seconds = 0;
};

// What went through a stream's temporary file.
struct LiveSpill {
  int64_t written = 0;  // bytes that went through it
  int64_t peak = 0;     // the most it held at once
  int64_t now = 0;      // what it holds now
  int64_t at_end = 0;   // what it held when the stream ended (still to be read then)
};

// A recording that is still arriving: a file its recorder is writing, standard input, or a TCP
// stream. Read blocks until bytes come and returns 0 only at the input's end: the stream closed,
// nothing came for `idle_seconds`, a growing NAME.part was renamed (its last bytes are read
// first), `duration_seconds` passed, or End was called. Read is for one thread; End, the counts
// and TakeDrops may be called from any thread.
class LiveSource {
 public:
  LiveSource();
  virtual ~LiveSource();
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  virtual size_t Read(void* data, size_t size) = 0;

  // A stream's start read twice: to search it, then by the chain. After Hold (before the first
  // Read) ReadHeld hands out the stream in order while keeping it in the buffer (where it counts
  // as buffered, and a fast stream spills meanwhile); it returns 0 at the stream's end, once the
  // buffer can hold no more, and once Replay was called (from any thread). After Replay, Read
  // starts again at the first byte. Hold is false for a growing file, which is read again by its
  // name.
  virtual bool Hold() { return false; }
  virtual size_t ReadHeld(void* /*data*/, size_t /*size*/) { return 0; }
  virtual void Replay() {}

  // What went through the temporary file behind a stream's memory buffer (all 0 without one).
  virtual LiveSpill Spill() const { return {}; }
  // Ends the input as it is now: what already arrived is still read, then Read returns 0.
  void End(const std::string& why);

  // Bytes that arrived (for a stream, also those dropped afterwards) and that were dropped.
  int64_t BytesReceived() const { return received_.load(std::memory_order_relaxed); }
  int64_t BytesDropped() const { return dropped_.load(std::memory_order_relaxed); }
  // The drops since the last call, in order.
  std::vector<LiveDrop> TakeDrops();
  // What the source learnt of itself that the log should tell ("an rtl_tcp server ..."), since
  // the last call.
  std::vector<std::string> TakeNotes();
  // Why the input ended ("the stream closed"); empty while it goes on. A read error is one.
  std::string EndReason() const;
  bool Failed() const;

  // The seconds since the input was opened.
  double Seconds() const;

 protected:
  // Records the end once; later reasons are ignored. `failed`: a read error.
  void Finish(const std::string& why, bool failed = false);
  bool Ended() const { return ended_.load(std::memory_order_acquire); }
  // Called by End after the reason is set: wakes whatever waits.
  virtual void Wake() {}
  void AddNote(std::string note);
  void AddDrop(int64_t bytes);
  // Leaves EndLiveInputs' list; a derived source calls it first thing in its destructor, so that
  // End never reaches a source half destroyed.
  void Unregister();

  std::atomic<int64_t> received_{0};
  std::atomic<int64_t> dropped_{0};
  const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();

 private:
  mutable std::mutex mutex_;
  std::string reason_;
  bool failed_ = false;
  std::atomic<bool> ended_{false};
  std::vector<LiveDrop> drops_;
  std::vector<std::string> notes_;
};

// Opens `input` live: a stream ("-", "tcp://HOST:PORT") or a file its recorder is still writing
// (it must exist). Null with `error` set when it cannot be opened ("Cannot connect to ...").
std::unique_ptr<LiveSource> OpenLiveSource(const std::string& input, const LiveOptions& options,
                                           std::string* error);

// Ends every live input open in the process (a stop signal on a live run); false when none is.
bool EndLiveInputs(const std::string& why);

}  // namespace vantrel
