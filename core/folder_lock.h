#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// The lock file every run holds in its working folder. It stays in the folder between runs:
// removing it would let two runs lock two different files of the same name.
inline constexpr std::string_view kLockFileName = ".vantrel.lock";

// An exclusive advisory lock (flock) on the working folder's lock file, held for a run's whole
// duration, so that two runs never share one folder's working files. Released on destruction
// (and by the system when the process dies, however it dies).
class WorkingFolderLock {
 public:
  enum class Result { Taken, Busy, Failed };

  WorkingFolderLock() = default;
  ~WorkingFolderLock();
  WorkingFolderLock(const WorkingFolderLock&) = delete;
  WorkingFolderLock& operator=(const WorkingFolderLock&) = delete;

  // Takes the lock of `folder` without waiting: Busy when another run holds it, Failed (with
  // Error()) when the lock file cannot be opened, e.g. a folder nobody may write in.
  Result Take(const std::string& folder);
  const std::string& Error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace vantrel
