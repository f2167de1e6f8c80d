#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel {
namespace {

// Large stdio buffers: stages read and write small fixed records. The buffer is supplied, since
// glibc ignores the size when setvbuf is left to allocate (it keeps one block, 4 KiB), and every
// record would then cost the file system a call per 4 KiB.
constexpr size_t kStreamBuffer = 1 << 18;

// A file streamed to the disk starts the writeback of every block of this size as soon as it is
// written, and hands back the pages of the block before.
constexpr int64_t kStreamBlock = int64_t{8} << 20;

void UseLargeBuffer(std::FILE* file, std::unique_ptr<char[]>& buffer) {
  if (!buffer) buffer = std::make_unique_for_overwrite<char[]>(kStreamBuffer);
  std::setvbuf(file, buffer.get(), _IOFBF, kStreamBuffer);
}

std::string KindOf(mode_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Wraps an open descriptor in a buffered stream; closes it when that fails.
std::FILE* StreamOf(int fd, const char* mode, std::string& error) {
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) {
    error = std::strerror(errno);
    ::close(fd);
  }
  return file;
}

}  // namespace

std::string SpecialFileKind(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return {};
  return KindOf(status.st_mode);
}

bool InputFile::Open(const std::string& path) {
  file_.reset();
  at_end_ = false;
  error_.clear();
  // Non-blocking, so that a FIFO without a writer cannot hold the run; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    error_ = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    error_ = "it is " + KindOf(status.st_mode);
  }
  if (!error_.empty()) {
    ::close(fd);
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  file_.reset(StreamOf(fd, "rb", error_));
  if (!file_) return false;
  UseLargeBuffer(file_.get(), buffer_);
  return true;
}

void InputFile::AttachPipe(RecordPipe& pipe) {
  file_.reset();
  at_end_ = false;
  error_.clear();
  pipe_ = &pipe;
}

bool InputFile::TakeMarkAt(int64_t offset, int64_t end, StreamMark* mark) {
  if (pipe_ != nullptr) pipe_->TakeMarks(end, marks_);
  while (!marks_.empty() && marks_.front().offset < offset) marks_.pop_front();
  if (marks_.empty() || marks_.front().offset != offset) return false;
  if (mark != nullptr) *mark = marks_.front();
  marks_.pop_front();
  return true;
}

int64_t InputFile::Size() {
  if (!file_) return -1;
  const off_t here = ftello(file_.get());
  if (here < 0 || fseeko(file_.get(), 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(file_.get());
  if (fseeko(file_.get(), here, SEEK_SET) != 0) return -1;
  return static_cast<int64_t>(size);
}

size_t InputFile::Read(void* buffer, size_t size) {
  size_t got = 0;
  if (pipe_ != nullptr) {
    got = pipe_->Read(buffer, size);
  } else if (file_) {
    got = std::fread(buffer, 1, size, file_.get());
  }
  if (got < size) at_end_ = true;
  bytes_read_.fetch_add(static_cast<int64_t>(got), std::memory_order_relaxed);
  return got;
}

bool InputFile::Failed() const {
  if (pipe_ != nullptr) return pipe_->Failed();
  return file_ && std::ferror(file_.get()) != 0;
}

void InputFile::Close() {
  file_.reset();
  pipe_ = nullptr;
}

bool OutputFile::Create(const std::string& path) {
  file_.reset();
  error_.clear();
  ok_ = false;
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      error_ = "it is " + KindOf(status.st_mode) + ", not a file this program made";
      return false;
    }
    // Made new rather than truncated: a hard link to another file keeps that file's data.
    if (::unlink(path.c_str()) != 0) {
      error_ = std::strerror(errno);
      return false;
    }
  }
  // O_EXCL with O_CREAT never follows a link, and fails if one appeared since the check above.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  file_.reset(StreamOf(fd, "wb", error_));
  if (!file_) return false;
  ok_ = true;
  error_.clear();
  written_ = streamed_ = released_ = 0;
  UseLargeBuffer(file_.get(), buffer_);
  return true;
}

bool InputFile::Prompt() const {
  return pipe_ != nullptr && pipe_->Prompt();
}

bool OutputFile::Prompt() const {
  return flush_every_write_ || (pipe_ != nullptr && pipe_->Prompt());
}

bool OutputFile::Write(const void* buffer, size_t size) {
  if (size == 0) return ok_;  // an empty vector's data() may be null, which fwrite may not take
  if (pipe_ != nullptr) pipe_->Write(buffer, size);
  if (file_ ? std::fwrite(buffer, 1, size, file_.get()) != size : pipe_ == nullptr) Failed(errno);
  if (flush_every_write_ && file_ && ok_ && std::fflush(file_.get()) != 0) Failed(errno);
  written_ += static_cast<int64_t>(size);
  if (stream_to_disk_ && ok_ && written_ - streamed_ >= kStreamBlock) StreamWritten();
  return ok_;
}

void OutputFile::Failed(int error) {
  // The first failure is the one that tells (a full disk); what follows is its consequence.
  if (ok_ && error != 0) error_ = std::strerror(error);
  ok_ = false;
}

void OutputFile::StreamWritten() {
  if (std::fflush(file_.get()) != 0) {
    Failed(errno);
    return;
  }
  const int fd = ::fileno(file_.get());
  // Start the writeback of what came since the last call, and hand back the pages of the blocks
  // whose writeback began a block ago: those on the disk by now leave the page cache, the others
  // stay (nothing waits for the disk). Failures only mean the page cache keeps the data, as for
  // any other file.
  const int64_t end = written_ - written_ % kStreamBlock;
  ::sync_file_range(fd, streamed_, end - streamed_, SYNC_FILE_RANGE_WRITE);
  if (streamed_ > released_) {
    ::posix_fadvise(fd, released_, streamed_ - released_, POSIX_FADV_DONTNEED);
    released_ = streamed_;
  }
  streamed_ = end;
}

bool OutputFile::Close() {
  pipe_ = nullptr;
  if (!file_) return ok_;
  if (std::fflush(file_.get()) != 0) Failed(errno);
  if (std::fclose(file_.release()) != 0) Failed(errno);
  return ok_;
}

}  // namespace vantrel
