#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstddef>
#include <string>

namespace vantrel::testing {

// While it lives, a write that would take any regular file of this process past `bytes` fails
// (EFBIG), as on a full disk. SIGXFSZ is ignored meanwhile, so the write reports the failure
// instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(size_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = SIG_DFL;
};

// The shell prefix that gives a program the same limit: `bytes` rounded down to the shell's
// 512-byte blocks (dash), with SIGXFSZ ignored.
inline std::string FileSizeLimitPrefix(size_t bytes) {
  return "trap '' XFSZ; ulimit -f " + std::to_string(bytes / 512) + "; ";
}

}  // namespace vantrel::testing
