#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "core/record_pipe.h"

namespace vantrel {

// A binary input file, or the stream a step reads from the step before it (a pipe). Owns its
// handle; closing happens on destruction at the latest.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading; false when it cannot be opened or is not a regular file (a folder,
  // FIFO or device is refused at once, without blocking). Error() then says why.
  bool Open(const std::string& path);
  // Why the last Open failed ("No such file or directory", "it is a folder", ...).
  const std::string& Error() const { return error_; }
  // Reads `pipe` instead of a file (the runner's streams between steps); not owned.
  void AttachPipe(RecordPipe& pipe);
  bool IsOpen() const { return file_ != nullptr || pipe_ != nullptr; }
  bool IsPipe() const { return pipe_ != nullptr; }
  // A prompt pipe's reader takes records as they come (RecordPipe::SetPrompt).
  bool Prompt() const;
  // Size in bytes, measured by seeking to the end (the read position is kept). -1 on error and
  // for a pipe, whose length is known only at its end.
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

  // Bytes read so far; may be read from another thread (the runner's progress).
  int64_t BytesRead() const { return bytes_read_.load(std::memory_order_relaxed); }
  // The marks of the stream read so far that have not been taken yet, in stream order (a file
  // has none). A step takes those of each record as it handles it.
  std::deque<StreamMark>& Marks() { return marks_; }
  // Takes the marks that begin before stream offset `end` into Marks() (see RecordPipe::TakeMarks).
  void TakeMarks(int64_t end) {
    if (pipe_ != nullptr) pipe_->TakeMarks(end, marks_);
  }
  // Takes the marks that begin before stream offset `end` and returns whether one of them begins
  // exactly at `offset` (copied to `mark` when given); marks before `offset` are dropped.
  bool TakeMarkAt(int64_t offset, int64_t end, StreamMark* mark = nullptr);

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  // Declared before the handle: the stream uses it until it is closed.
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<std::FILE, Closer> file_;
  RecordPipe* pipe_ = nullptr;
  std::deque<StreamMark> marks_;
  std::atomic<int64_t> bytes_read_{0};
  bool at_end_ = false;
  std::string error_;
};

// A binary output file, made new, or the stream a step hands to the next (a pipe), or both: a
// kept working file is a copy of what passes. Write errors are remembered so that a stage can
// tell a complete product from a partly written one.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates `path` as a new regular file. A regular file already there is removed first (its
  // data is never written through, even when it has other names); a symbolic link, folder or
  // other special file there is left alone and the call fails: nothing is ever written through a
  // link. False on failure, and Error() says why.
  bool Create(const std::string& path);
  // Why Create failed, or why the first write, flush or close failed ("No space left on device").
  const std::string& Error() const { return error_; }
  // Hands what is written to `pipe` too (not owned); Close leaves the pipe open: the runner ends
  // the stream once the step has finished.
  void AttachPipe(RecordPipe& pipe) { pipe_ = &pipe; }
  bool IsOpen() const { return file_ != nullptr || pipe_ != nullptr; }
  // Puts a mark on the stream (a file keeps none), before the bytes it covers are written; marks
  // come in the order of their offsets.
  void Mark(const StreamMark& mark) {
    if (pipe_ != nullptr) pipe_->Mark(mark);
  }
  // Bytes handed to Write so far.
  int64_t Written() const { return written_; }
  // Writes `size` bytes; false (and Ok() false from then on) when they could not all be written.
  bool Write(const void* buffer, size_t size);
  // For a file that is kept once written (a product): its data go to the disk while it is
  // written, and the pages already on the disk leave the page cache, so that writing it takes
  // some MiB of memory instead of its whole size. The disk gets the data it would get within
  // seconds anyway; no write waits for the disk, and nothing is made more or less durable (no
  // sync). Advisory: where the file system cannot, the file is written as any other.
  void StreamToDisk() { stream_to_disk_ = true; }
  // Each Write reaches the file before it returns (not held in the stream's buffer), so that a
  // reader of the file sees every record whole as soon as it is written: a product written while
  // the pass comes in, which the window shows as it grows. One system call per Write.
  void FlushEveryWrite() { flush_every_write_ = true; }
  // Records written here should go on at once rather than in blocks: a file flushed at every
  // write, or a prompt pipe (RecordPipe::SetPrompt).
  bool Prompt() const;
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
  RecordPipe* pipe_ = nullptr;
  bool ok_ = true;
  std::string error_;
  bool stream_to_disk_ = false;
  bool flush_every_write_ = false;
  int64_t written_ = 0;   // bytes handed to Write so far
  int64_t streamed_ = 0;  // bytes whose writeback has been started
  int64_t released_ = 0;  // bytes written to the disk and dropped from the page cache
  void StreamWritten();
  // Remembers a failed write, flush or close and the system's reason `error` (an errno).
  void Failed(int error);
};

// What stands at `path`, for messages: "a folder", "a symbolic link", "a FIFO", ... or an empty
// text for a regular file or nothing at all. Links are not followed.
std::string SpecialFileKind(const std::string& path);

}  // namespace vantrel
