#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vantrel {

// A binary input file. Owns its handle; closing happens on destruction at the latest.
class InputFile {
 public:
  // Opens `path` for reading; false when it cannot be opened or is not a regular file (a folder,
  // FIFO or device is refused at once, without blocking). Error() then says why.
  bool Open(const std::string& path);
  // Why the last Open failed ("No such file or directory", "it is a folder", ...).
  const std::string& Error() const { return error_; }
  bool IsOpen() const { return file_ != nullptr; }
  // Size in bytes, measured by seeking to the end (the read position is kept). -1 on error.
  int64_t Size();
  // Reads up to `size` bytes; returns how many arrived. Fewer than asked means end of file or
  // a read error; AtEnd() then holds.
  size_t Read(void* buffer, size_t size);
  // Reads one record of `size` bytes. True only when the whole record arrived; a partial
  // record at the end of the file is consumed and reported as false.
  bool ReadRecord(void* buffer, size_t size) { return Read(buffer, size) == size; }
  // True once a read came up short.
  bool AtEnd() const { return at_end_; }
  // True when a read failed for another reason than the end of the file.
  bool Failed() const;
  void Close();

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  // Declared before the handle: the stream uses it until it is closed.
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<std::FILE, Closer> file_;
  bool at_end_ = false;
  std::string error_;
};

// A binary output file, made new. Write errors are remembered so that a stage can tell a
// complete product from a partly written one.
class OutputFile {
 public:
  // Creates `path` as a new regular file. A regular file already there is removed first (its
  // data is never written through, even when it has other names); a symbolic link, folder or
  // other special file there is left alone and the call fails: nothing is ever written through a
  // link. False on failure, and Error() says why.
  bool Create(const std::string& path);
  const std::string& Error() const { return error_; }
  bool IsOpen() const { return file_ != nullptr; }
  // Writes `size` bytes; false (and Ok() false from then on) when they could not all be written.
  bool Write(const void* buffer, size_t size);
  // For a file that is kept once written (a product): its data go to the disk while it is
  // written, and the pages already on the disk leave the page cache, so that writing it takes
  // some MiB of memory instead of its whole size. The disk gets the data it would get within
  // seconds anyway; no write waits for the disk, and nothing is made more or less durable (no
  // sync). Advisory: where the file system cannot, the file is written as any other.
  void StreamToDisk() { stream_to_disk_ = true; }
  // True while every write so far succeeded.
  bool Ok() const { return ok_; }
  // Flushes and closes; false when a write or the flush failed.
  bool Close();

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  // Declared before the handle: the stream uses it until it is closed.
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<std::FILE, Closer> file_;
  bool ok_ = true;
  std::string error_;
  bool stream_to_disk_ = false;
  int64_t written_ = 0;   // bytes handed to Write so far
  int64_t streamed_ = 0;  // bytes whose writeback has been started
  int64_t released_ = 0;  // bytes written to the disk and dropped from the page cache
  void StreamWritten();
};

// What stands at `path`, for messages: "a folder", "a symbolic link", "a FIFO", ... or an empty
// text for a regular file or nothing at all. Links are not followed.
std::string SpecialFileKind(const std::string& path);

}  // namespace vantrel
