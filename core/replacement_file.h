#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace vantrel {

// The temporary name a replacement is written under in its destination folder: short and fixed
// but for six random characters, so a name as long as the file system takes still has room.
inline constexpr std::string_view kReplacementPrefix = ".vantrel-";

// A file that replaces `path` only when whole: it is written under a new temporary name in the
// same folder (made with O_EXCL, so never through a link) and renamed onto `path` by Commit(),
// which replaces a link at `path` instead of writing through it. Until then nothing at `path`
// changes; the temporary file is removed when the object goes without a commit.
class ReplacementFile {
 public:
  explicit ReplacementFile(std::string path) : path_(std::move(path)) {}
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file (permission bits `mode`, less the umask); false with Error() set
  // when the folder does not take it.
  bool Open(unsigned mode = 0666);
  // The open temporary file, -1 before Open.
  int Descriptor() const { return fd_; }
  // Writes all of `data`; false with Error() set when it could not.
  bool Write(std::string_view data);
  // Flushes the file to disk, closes it and renames it onto the path; false with Error() set when
  // any step failed (the temporary file is then removed and the path left as it was).
  bool Commit();

  const std::string& Path() const { return path_; }
  const std::string& TemporaryPath() const { return temporary_; }
  // The system's reason for the last failure.
  const std::string& Error() const { return error_; }

 private:
  bool Fail(int error);
  void Discard();

  std::string path_;
  std::string temporary_;
  std::string error_;
  int fd_ = -1;
};

// Writes `contents` to `path` through a ReplacementFile; false with the reason in `error`.
bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error);
// ReplaceFileContents with SIGINT and SIGTERM held off meanwhile (they are taken once it is done):
// a stop can never leave a report the operator's scripts read half replaced.
bool ReplaceFileContentsUnstopped(const std::string& path, std::string_view contents,
                                  std::string* error);

}  // namespace vantrel
