#include "core/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantrel {

WorkingFolderLock::~WorkingFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

WorkingFolderLock::Result WorkingFolderLock::Take(const std::string& folder) {
  const std::string path = folder + "/" + std::string(kLockFileName);
  // Read-only is enough for flock, and lets a run use a lock file another user made. A link in
  // its place is refused: the lock file is never opened through one.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
    return Result::Failed;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return Result::Taken;
  const int reason = errno;
  ::close(fd_);
  fd_ = -1;
  if (reason == EWOULDBLOCK) return Result::Busy;
  error_ = std::strerror(reason);
  return Result::Failed;
}

}  // namespace vantrel
