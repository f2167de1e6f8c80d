#include "core/live_source.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include "core/log_format.h"

namespace vantrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kTcpScheme = "tcp://";
// A stream is read in pieces of this size.
constexpr size_t kPiece = size_t{1} << 18;
// How often the stream's thread looks at the clock and at End while nothing comes.
constexpr int kStreamPollMs = 100;
// Drops closer together than this are told as one.
constexpr double kDropMergeSeconds = 1.0;
// rtl_tcp's greeting: "RTL0", the tuner type and its gain count (big-endian 32-bit each).
constexpr size_t kRtlHeaderBytes = 12;
constexpr uint8_t kRtlSetSampleRate = 0x02;

// The live sources open in the process, for EndLiveInputs.
std::mutex registry_mutex;
std::vector<LiveSource*>& Registry() {
  static std::vector<LiveSource*> sources;
  return sources;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

uint32_t BigEndian32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

// A file its recorder is still writing: read as far as it is written, then looked at again every
// `poll` until it grows or ends.
class GrowingFile final : public LiveSource {
 public:
  GrowingFile(int fd, std::string path, const LiveOptions& options)
      : fd_(fd), path_(std::move(path)), options_(options) {
    part_ = path_.size() > 5 && path_.compare(path_.size() - 5, 5, ".part") == 0;
  }
  ~GrowingFile() override {
    Unregister();
    ::close(fd_);
  }

  size_t Read(void* data, size_t size) override {
    if (size == 0) return 0;
    for (;;) {
      if (options_.duration_seconds > 0 && Seconds() >= options_.duration_seconds) {
        Finish(Format("--duration %g s passed", options_.duration_seconds));
        return 0;
      }
      const ssize_t got = ::read(fd_, data, size);
      if (got > 0) {
        received_.fetch_add(got, std::memory_order_relaxed);
        last_growth_ = Clock::now();
        return static_cast<size_t>(got);
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        Finish(Format("reading '%s' failed (%s)", path_.c_str(), std::strerror(errno)), true);
        return 0;
      }
      // At the end of what is written so far.
      if (Ended()) return 0;
      if (renamed_) {
        Finish(Format("'%s' was renamed: the recorder finished it", path_.c_str()));
        return 0;
      }
      if (part_ && !Exists()) {
        // The last bytes were written before the rename: read them, then end.
        renamed_ = true;
        continue;
      }
      if (SecondsSince(last_growth_) >= options_.idle_seconds) {
        Finish(Format("the recording has not grown for %g s", options_.idle_seconds));
        return 0;
      }
      std::unique_lock lock(wait_mutex_);
      woken_.wait_for(lock, options_.poll, [this] { return Ended(); });
    }
  }

 private:
  void Wake() override {
    { const std::lock_guard lock(wait_mutex_); }
    woken_.notify_all();
  }
  bool Exists() const {
    struct stat status {};
    return ::stat(path_.c_str(), &status) == 0;
  }

  int fd_;
  std::string path_;
  LiveOptions options_;
  bool part_ = false;
  bool renamed_ = false;
  Clock::time_point last_growth_ = Clock::now();
  std::mutex wait_mutex_;
  std::condition_variable woken_;
};

// The temporary file behind a stream's memory buffer. It has no name in its folder from the
// start (O_TMPFILE; else a mkostemp name, made with O_EXCL and unlinked at once), so that nothing
// is left behind however the process ends, and the space of what was read back is freed.
class SpillFile {
 public:
  SpillFile() = default;
  ~SpillFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  // Makes the file in `folder`; false with errno set when it cannot.
  bool Create(const std::string& folder) {
#ifdef O_TMPFILE
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return true;
    // Only a file system without unnamed files is worth the second way.
    if (errno != EOPNOTSUPP && errno != EISDIR) return false;
#endif
    std::string name = folder + "/.vantrel-stream-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return false;
    ::unlink(name.c_str());
    return true;
  }
  // Writes or reads `size` bytes at `offset`, whole; false with errno set otherwise (a short
  // write is a full disk).
  bool WriteAt(const uint8_t* data, size_t size, int64_t offset) {
    return Whole(::pwrite, data, size, offset, ENOSPC);
  }
  bool ReadAt(uint8_t* data, size_t size, int64_t offset) {
    return Whole(::pread, data, size, offset, EIO);
  }
  // Frees the disk space of bytes read back; false when the file system cannot (the file then
  // keeps its space until Reset).
  bool Free(int64_t offset, int64_t size) {
    return ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, size) == 0;
  }
  // Empties the file: everything in it was read back.
  void Reset() {
    if (::ftruncate(fd_, 0) != 0) {
      // Nothing lost: the next bytes are written over the old ones.
    }
  }

 private:
  // pread or pwrite until `size` bytes moved; `at_zero` is the error of a call that moved none.
  template <typename Call, typename Bytes>
  bool Whole(Call call, Bytes* data, size_t size, int64_t offset, int at_zero) {
    while (size > 0) {
      const ssize_t done = call(fd_, data, size, offset);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) {
        if (done == 0) errno = at_zero;
        return false;
      }
      data += done;
      size -= static_cast<size_t>(done);
      offset += done;
    }
    return true;
  }

  int fd_ = -1;
};

// Bytes free to an unprivileged writer on the file system of `folder`; -1 when not known.
int64_t FreeBytes(const std::string& folder) {
  struct statvfs status {};
  if (::statvfs(folder.c_str(), &status) != 0) return -1;
  return static_cast<int64_t>(status.f_bavail) * static_cast<int64_t>(status.f_frsize);
}

double MiB(int64_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

// A stream (standard input, a TCP connection) received on a thread of its own into a bounded
// buffer, so that a chain that falls behind costs counted drops, never a stalled sender. The
// buffer is memory while it has room and a temporary file behind it; what it holds is a list of
// pieces in arrival order, each in memory or in the file, so that the order is the stream's
// whichever tier each piece went to.
class Stream final : public LiveSource {
 public:
  Stream(int fd, bool owned, bool network, std::string name, const LiveOptions& options)
      : fd_(fd),
        owned_(owned),
        header_checked_(!network),
        name_(std::move(name)),
        options_(options) {
    if (options_.unit_bytes == 0) options_.unit_bytes = 1;
    if (options_.spill_bytes <= 0) spill_state_ = SpillState::kFailed;
    thread_ = std::thread([this] { Receive(); });
  }
  ~Stream() override {
    Unregister();
    End("the run ended");
    thread_.join();
    if (owned_) ::close(fd_);
  }

  size_t Read(void* data, size_t size) override { return Take(data, size, false); }

  bool Hold() override {
    const std::lock_guard lock(mutex_);
    holding_ = true;
    return true;
  }
  size_t ReadHeld(void* data, size_t size) override { return Take(data, size, true); }
  void Replay() override {
    {
      const std::lock_guard lock(mutex_);
      holding_ = false;
      hold_full_ = false;
      read_index_ = 0;
      read_offset_ = 0;
    }
    readable_.notify_all();
  }

  LiveSpill Spill() const override {
    const std::lock_guard lock(mutex_);
    LiveSpill spill = spill_;
    spill.now = file_bytes_;
    return spill;
  }

 private:
  // A stretch of the stream in the buffer: bytes in memory, or `size` bytes of the temporary
  // file at `offset`.
  struct Piece {
    std::vector<uint8_t> bytes;
    int64_t offset = -1;
    size_t size = 0;
    bool InFile() const { return offset >= 0; }
  };
  enum class SpillState {
    kNone,    // not needed yet
    kOpen,    // made: memory's overflow goes there
    kFailed,  // none (not wanted, not made, or a write failed): memory only
  };
  // Consecutive bytes of the file are one piece up to this size, so that the space of what was
  // read back is freed as the chain goes.
  static constexpr size_t kFilePieceBytes = size_t{4} << 20;

  void Wake() override {
    { const std::lock_guard lock(mutex_); }
    readable_.notify_all();
  }

  // Hands out up to `size` bytes at the read position: to the chain, which consumes them, or
  // (`held`) to the search of a held start, which leaves them for the chain.
  size_t Take(void* data, size_t size, bool held) {
    std::unique_lock lock(mutex_);
    const auto go_on = [&] { return !held || holding_; };
    readable_.wait(lock, [&] {
      return !go_on() || read_index_ < pieces_.size() || receiver_done_ || (held && hold_full_);
    });
    if (!go_on() || read_index_ >= pieces_.size()) return 0;
    auto* out = static_cast<uint8_t*>(data);
    const Piece& piece = pieces_[read_index_];
    const size_t take = std::min(size, piece.size - read_offset_);
    if (!piece.InFile()) {
      std::memcpy(out, piece.bytes.data() + read_offset_, take);
    } else {
      // The file is read without the lock, so that the receiver is never held up by it; only
      // this thread removes pieces, and the receiver only appends to them.
      const int64_t at = piece.offset + static_cast<int64_t>(read_offset_);
      lock.unlock();
      const bool read = spill_file_.ReadAt(out, take, at);
      const int reason = errno;
      lock.lock();
      if (!go_on()) return 0;
      if (!read) {
        lock.unlock();
        Finish(Format("reading the stream's temporary file failed (%s)", std::strerror(reason)),
               true);
        return 0;
      }
    }
    read_offset_ += take;
    if (read_offset_ == pieces_[read_index_].size) {
      ++read_index_;
      read_offset_ = 0;
    }
    if (!holding_) Release();
    return take;
  }

  // Removes the pieces read (the lock held) and frees their room.
  void Release() {
    for (; read_index_ > 0; --read_index_) {
      const Piece& front = pieces_.front();
      if (front.InFile()) {
        file_bytes_ -= static_cast<int64_t>(front.size);
        if (frees_ && !spill_file_.Free(front.offset, static_cast<int64_t>(front.size)))
          frees_ = false;
      } else {
        memory_bytes_ -= front.size;
      }
      pieces_.pop_front();
    }
    if (file_bytes_ == 0 && file_end_ > 0 && !writing_) {
      spill_file_.Reset();
      file_end_ = 0;
    }
  }

  // The thread that receives the stream until it ends, then lets the reader see the end.
  void Receive() {
    std::vector<uint8_t> piece(kPiece);
    std::vector<uint8_t> staged;  // received, not yet a whole number of units
    auto last_data = Clock::now();
    while (!Ended()) {
      if (options_.duration_seconds > 0 && Seconds() >= options_.duration_seconds) {
        Finish(Format("--duration %g s passed", options_.duration_seconds));
        break;
      }
      pollfd watched{fd_, POLLIN, 0};
      const int ready = ::poll(&watched, 1, kStreamPollMs);
      if (ready < 0 && errno != EINTR) {
        Finish(Format("waiting for %s failed (%s)", name_.c_str(), std::strerror(errno)), true);
        break;
      }
      if (ready <= 0) {
        if (SecondsSince(last_data) >= options_.idle_seconds) {
          Finish(Format("nothing came from %s for %g s", name_.c_str(), options_.idle_seconds));
          break;
        }
        continue;
      }
      const ssize_t got = ::read(fd_, piece.data(), piece.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) {
        Finish(Format("reading %s failed (%s)", name_.c_str(), std::strerror(errno)), true);
        break;
      }
      if (got == 0) {
        Finish(Format("%s closed", name_.c_str()));
        break;
      }
      last_data = Clock::now();
      staged.insert(staged.end(), piece.begin(), piece.begin() + got);
      if (!header_checked_ && !TakeHeader(staged)) continue;
      received_.fetch_add(static_cast<int64_t>(staged.size() - staged.size() % options_.unit_bytes),
                          std::memory_order_relaxed);
      const size_t whole = staged.size() - staged.size() % options_.unit_bytes;
      Push(staged.data(), whole);
      staged.erase(staged.begin(), staged.begin() + static_cast<std::ptrdiff_t>(whole));
    }
    {
      const std::lock_guard lock(mutex_);
      receiver_done_ = true;
      spill_.at_end = file_bytes_;
    }
    readable_.notify_all();
  }

  // A TCP server's first bytes: rtl_tcp greets with a 12-byte header, which is no sample; an IQ
  // exporter sends samples at once. False while too few bytes came to tell.
  bool TakeHeader(std::vector<uint8_t>& staged) {
    if (staged.size() < 4) return false;
    if (std::memcmp(staged.data(), "RTL0", 4) != 0) {
      header_checked_ = true;
      return true;
    }
    if (staged.size() < kRtlHeaderBytes) return false;
    header_checked_ = true;
    AddNote(
        Format("%s is an rtl_tcp server (tuner type %u, %u gains): its 12-byte header is "
               "skipped (its samples are cu8)",
               name_.c_str(), BigEndian32(staged.data() + 4), BigEndian32(staged.data() + 8)));
    staged.erase(staged.begin(), staged.begin() + kRtlHeaderBytes);
    if (options_.sample_rate > 0) {
      const auto rate = static_cast<uint32_t>(options_.sample_rate);
      const uint8_t command[5] = {kRtlSetSampleRate, static_cast<uint8_t>(rate >> 24),
                                  static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 8),
                                  static_cast<uint8_t>(rate)};
      const bool sent = ::send(fd_, command, sizeof command, MSG_NOSIGNAL) == sizeof command;
      AddNote(sent ? Format("Asked the rtl_tcp server for %u samples/s", rate)
                   : Format("Warning: could not ask the rtl_tcp server for %u samples/s (%s)", rate,
                            std::strerror(errno)));
    }
    return true;
  }

  // Buffers `size` bytes: in memory while it has room, else in the temporary file; drops them
  // all when neither has.
  void Push(const uint8_t* data, size_t size) {
    if (size == 0) return;
    std::unique_lock lock(mutex_);
    if (memory_bytes_ + size <= options_.buffer_bytes) {
      Piece piece;
      piece.bytes.assign(data, data + size);
      piece.size = size;
      pieces_.push_back(std::move(piece));
      memory_bytes_ += size;
      lock.unlock();
      readable_.notify_all();
      return;
    }
    if (!SpillRoom(size)) {
      Drop(lock, size);
      return;
    }
    // The file's range is taken now and the bytes written without the lock; they are the
    // buffer's once written.
    const int64_t offset = file_end_;
    file_end_ += static_cast<int64_t>(size);
    writing_ = true;
    lock.unlock();
    const bool written = spill_file_.WriteAt(data, size, offset);
    const int reason = errno;
    lock.lock();
    writing_ = false;
    if (!written) {
      spill_state_ = SpillState::kFailed;
      AddNote(
          Format("Writing the stream's temporary file in '%s' failed at %.1f s (%s): the "
                 "stream goes on in memory only (%.0f MiB), and what does not fit is dropped",
                 options_.spill_folder.c_str(), Seconds(), std::strerror(reason),
                 MiB(static_cast<int64_t>(options_.buffer_bytes))));
      Drop(lock, size);
      return;
    }
    Piece* last = pieces_.empty() ? nullptr : &pieces_.back();
    if (last != nullptr && last->InFile() &&
        last->offset + static_cast<int64_t>(last->size) == offset &&
        last->size + size <= kFilePieceBytes) {
      last->size += size;
    } else {
      Piece piece;
      piece.offset = offset;
      piece.size = size;
      pieces_.push_back(std::move(piece));
    }
    file_bytes_ += static_cast<int64_t>(size);
    spill_.written += static_cast<int64_t>(size);
    spill_.peak = std::max(spill_.peak, file_bytes_);
    lock.unlock();
    readable_.notify_all();
  }

  // Whether the temporary file has room for `size` more bytes (the lock held); makes it when
  // memory first fills, and tells the log once when it starts and once when it is full.
  bool SpillRoom(size_t size) {
    if (spill_state_ == SpillState::kNone) OpenSpill();
    if (spill_state_ != SpillState::kOpen) return false;
    // Without holes punched, the file keeps the space of what was read until it is emptied.
    const int64_t used = frees_ ? file_bytes_ : file_end_;
    if (used + static_cast<int64_t>(size) <= spill_limit_) return true;
    if (!told_full_) {
      told_full_ = true;
      AddNote(
          Format("The stream's temporary file is full (%.0f MiB) at %.1f s: what does not fit "
                 "in memory is dropped until the chain catches up",
                 MiB(spill_limit_), Seconds()));
    }
    return false;
  }

  // Makes the temporary file when memory first fills (the lock held), as large as the option
  // and the free space allow, and tells the log where it is or why there is none.
  void OpenSpill() {
    const std::string& folder = options_.spill_folder;
    const double memory = MiB(static_cast<int64_t>(options_.buffer_bytes));
    spill_state_ = SpillState::kFailed;
    const int64_t free_bytes = FreeBytes(folder);
    spill_limit_ = options_.spill_bytes;
    if (free_bytes >= 0) spill_limit_ = std::min(spill_limit_, free_bytes - kSpillMarginBytes);
    if (spill_limit_ <= 0) {
      AddNote(
          Format("No room for the stream's temporary file in '%s' (%.0f MiB free, and %.0f "
                 "MiB are kept free): the stream is buffered in memory only (%.0f MiB), and "
                 "what does not fit is dropped",
                 folder.c_str(), MiB(free_bytes), MiB(kSpillMarginBytes), memory));
      return;
    }
    if (!spill_file_.Create(folder)) {
      const int reason = errno;
      AddNote(
          Format("Cannot make the stream's temporary file in '%s' (%s): the stream is "
                 "buffered in memory only (%.0f MiB), and what does not fit is dropped",
                 folder.c_str(), std::strerror(reason), memory));
      return;
    }
    spill_state_ = SpillState::kOpen;
    AddNote(
        Format("The chain is behind the stream and its %.0f MiB in memory are full at %.1f s: "
               "what arrives goes on into a temporary file in '%s' (at most %.0f MiB%s), "
               "read back in order",
               memory, Seconds(), folder.c_str(), MiB(spill_limit_),
               spill_limit_ < options_.spill_bytes
                   ? Format(": the free space less %.0f MiB", MiB(kSpillMarginBytes)).c_str()
                   : ""));
  }

  // Drops `size` bytes (the lock held; released here).
  void Drop(std::unique_lock<std::mutex>& lock, size_t size) {
    const bool held = holding_;
    if (held) hold_full_ = true;
    lock.unlock();
    if (held) readable_.notify_all();
    AddDrop(static_cast<int64_t>(size));
  }

  int fd_;
  bool owned_;
  bool header_checked_;
  std::string name_;
  LiveOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable readable_;
  // The buffer: pieces in arrival order; the next byte to read is at read_offset_ in
  // pieces_[read_index_] (read_index_ stays 0 but while the start is held).
  std::deque<Piece> pieces_;
  size_t read_index_ = 0;
  size_t read_offset_ = 0;
  size_t memory_bytes_ = 0;  // in memory pieces
  int64_t file_bytes_ = 0;   // in file pieces
  bool holding_ = false;     // the pieces read stay until Replay
  bool hold_full_ = false;   // the buffer dropped bytes while the start was held
  bool receiver_done_ = false;
  // The temporary file.
  SpillState spill_state_ = SpillState::kNone;
  SpillFile spill_file_;
  int64_t spill_limit_ = 0;
  int64_t file_end_ = 0;  // where the next bytes go in it
  bool writing_ = false;  // the receiver is writing at file_end_'s last range
  bool frees_ = true;     // its file system frees what was read back
  bool told_full_ = false;
  LiveSpill spill_;
  std::thread thread_;
};

// Connects to "HOST:PORT" as a client; -1 with `error` set when it cannot.
int Connect(const std::string& address, std::string* error) {
  const size_t colon = address.rfind(':');
  std::string host = colon == std::string::npos ? address : address.substr(0, colon);
  const std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
  if (host.size() > 1 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty() || port.empty() ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    *error = Format("'tcp://%s' is not a stream address: it is tcp://HOST:PORT", address.c_str());
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int looked_up = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (looked_up != 0) {
    *error = Format("Cannot connect to %s: %s", address.c_str(), ::gai_strerror(looked_up));
    return -1;
  }
  int reason = 0;
  int fd = -1;
  for (const addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
    fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) {
      reason = errno;
      continue;
    }
    if (::connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
      reason = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0)
    *error = Format("Cannot connect to %s (%s; is the SDR program's server running there)",
                    address.c_str(), std::strerror(reason));
  return fd;
}

}  // namespace

bool IsStreamInput(std::string_view input) {
  return input == "-" || input.starts_with(kTcpScheme);
}

bool IsLiveInput(std::string_view input, bool follow) {
  return follow || IsStreamInput(input);
}

LiveSource::LiveSource() {
  const std::lock_guard lock(registry_mutex);
  Registry().push_back(this);
}

LiveSource::~LiveSource() {
  Unregister();
}

void LiveSource::Unregister() {
  const std::lock_guard lock(registry_mutex);
  std::erase(Registry(), this);
}

void LiveSource::End(const std::string& why) {
  Finish(why);
  Wake();
}

void LiveSource::Finish(const std::string& why, bool failed) {
  {
    const std::lock_guard lock(mutex_);
    if (!reason_.empty()) return;
    reason_ = why;
    failed_ = failed;
  }
  ended_.store(true, std::memory_order_release);
}

std::string LiveSource::EndReason() const {
  const std::lock_guard lock(mutex_);
  return reason_;
}

bool LiveSource::Failed() const {
  const std::lock_guard lock(mutex_);
  return failed_;
}

double LiveSource::Seconds() const {
  return SecondsSince(opened_);
}

std::vector<LiveDrop> LiveSource::TakeDrops() {
  const std::lock_guard lock(mutex_);
  return std::exchange(drops_, {});
}

std::vector<std::string> LiveSource::TakeNotes() {
  const std::lock_guard lock(mutex_);
  return std::exchange(notes_, {});
}

void LiveSource::AddNote(std::string note) {
  const std::lock_guard lock(mutex_);
  notes_.push_back(std::move(note));
}

void LiveSource::AddDrop(int64_t bytes) {
  dropped_.fetch_add(bytes, std::memory_order_relaxed);
  const double at = Seconds();
  const std::lock_guard lock(mutex_);
  if (!drops_.empty() && at - drops_.back().seconds < kDropMergeSeconds) {
    drops_.back().bytes += bytes;
    return;
  }
  drops_.push_back({bytes, at});
}

std::unique_ptr<LiveSource> OpenLiveSource(const std::string& input, const LiveOptions& options,
                                           std::string* error) {
  if (input == "-")
    return std::make_unique<Stream>(STDIN_FILENO, false, false, "standard input", options);
  if (input.starts_with(kTcpScheme)) {
    const std::string address = input.substr(kTcpScheme.size());
    const int fd = Connect(address, error);
    if (fd < 0) return nullptr;
    return std::make_unique<Stream>(fd, true, true, input, options);
  }
  const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = Format("Cannot read '%s' (%s)", input.c_str(), std::strerror(errno));
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = Format("Cannot follow '%s': it is not a regular file", input.c_str());
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<GrowingFile>(fd, input, options);
}

bool EndLiveInputs(const std::string& why) {
  const std::lock_guard lock(registry_mutex);
  for (LiveSource* source : Registry()) source->End(why);
  return !Registry().empty();
}

}  // namespace vantrel
