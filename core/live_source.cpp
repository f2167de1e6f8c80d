#include "core/live_source.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// A stream (standard input, a TCP connection) received on a thread of its own into a bounded
// buffer, so that a chain that falls behind costs counted drops, never a stalled sender.
class Stream final : public LiveSource {
 public:
  Stream(int fd, bool owned, bool network, std::string name, const LiveOptions& options)
      : fd_(fd),
        owned_(owned),
        header_checked_(!network),
        name_(std::move(name)),
        options_(options) {
    if (options_.unit_bytes == 0) options_.unit_bytes = 1;
    thread_ = std::thread([this] { Receive(); });
  }
  ~Stream() override {
    Unregister();
    End("the run ended");
    thread_.join();
    if (owned_) ::close(fd_);
  }

  size_t Read(void* data, size_t size) override {
    std::unique_lock lock(mutex_);
    readable_.wait(lock, [this] { return !queue_.empty() || receiver_done_; });
    size_t given = 0;
    auto* out = static_cast<uint8_t*>(data);
    while (given < size && !queue_.empty()) {
      std::vector<uint8_t>& front = queue_.front();
      const size_t take = std::min(size - given, front.size() - front_offset_);
      std::memcpy(out + given, front.data() + front_offset_, take);
      given += take;
      front_offset_ += take;
      queued_ -= take;
      if (front_offset_ == front.size()) {
        queue_.pop_front();
        front_offset_ = 0;
      }
    }
    return given;
  }

 private:
  void Wake() override {
    { const std::lock_guard lock(mutex_); }
    readable_.notify_all();
  }

  // The stream's thread: receives until the stream ends, then lets the reader see the end.
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
    const std::lock_guard lock(mutex_);
    receiver_done_ = true;
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

  // Queues `size` bytes, or drops them all when the buffer has no room for them.
  void Push(const uint8_t* data, size_t size) {
    if (size == 0) return;
    bool dropped = false;
    {
      const std::lock_guard lock(mutex_);
      if (queued_ + size > options_.buffer_bytes) {
        dropped = true;
      } else {
        queue_.emplace_back(data, data + size);
        queued_ += size;
      }
    }
    if (dropped)
      AddDrop(static_cast<int64_t>(size));
    else
      readable_.notify_one();
  }

  int fd_;
  bool owned_;
  bool header_checked_;
  std::string name_;
  LiveOptions options_;
  std::mutex mutex_;
  std::condition_variable readable_;
  std::deque<std::vector<uint8_t>> queue_;
  size_t front_offset_ = 0;
  size_t queued_ = 0;
  bool receiver_done_ = false;
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
