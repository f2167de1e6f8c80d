#include "core/replacement_file.h"

#include <signal.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantrel {

ReplacementFile::~ReplacementFile() {
  Discard();
}

bool ReplacementFile::Open(unsigned mode) {
  Discard();
  const size_t slash = path_.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  temporary_ = folder + std::string(kReplacementPrefix) + "XXXXXX";
  // mkostemp opens with O_CREAT | O_EXCL: a name taken by anything, a link included, is passed by.
  fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    temporary_.clear();
    return Fail(error);
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd_, static_cast<mode_t>(mode) & ~mask & 07777) != 0) return Fail(errno);
  return true;
}

bool ReplacementFile::Write(std::string_view data) {
  if (fd_ < 0) return Fail(EBADF);
  while (!data.empty()) {
    const ssize_t written = ::write(fd_, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool ReplacementFile::Commit() {
  if (fd_ < 0) return Fail(EBADF);
  if (::fsync(fd_) != 0) return Fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return Fail(errno);
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) return Fail(errno);
  temporary_.clear();
  return true;
}

bool ReplacementFile::Fail(int error) {
  error_ = std::strerror(error);
  Discard();
  return false;
}

void ReplacementFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error) {
  ReplacementFile file(path);
  if (file.Open() && file.Write(contents) && file.Commit()) return true;
  if (error) *error = file.Error();
  return false;
}

bool ReplaceFileContentsUnstopped(const std::string& path, std::string_view contents,
                                  std::string* error) {
  sigset_t stops, previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &previous);
  const bool written = ReplaceFileContents(path, contents, error);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return written;
}

}  // namespace vantrel
