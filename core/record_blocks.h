#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/file_io.h"

namespace vantrel {

// Size of the blocks in which the record helpers below move data: large enough that the
// stream passes them straight to the system, without a second copy through its buffer.
inline constexpr size_t kRecordBlockBytes = size_t{1} << 20;

// Reads fixed-size records from `input` a block at a time and hands them out one by one. A
// record is handed out only when it arrived whole; a trailing partial record is dropped.
class RecordBlockReader {
 public:
  RecordBlockReader(InputFile& input, size_t record_size)
      : input_(input),
        record_size_(record_size),
        buffer_(BlockRecords(record_size) * record_size) {}

  // The next whole record, or null at the end of the input. Valid until the next call.
  const uint8_t* Next() {
    if (offset_ + record_size_ > filled_) {
      if (input_.AtEnd()) return nullptr;
      // From a prompt pipe one record at a time: a record is not held back for the rest of a block.
      filled_ = input_.Read(buffer_.data(), input_.Prompt() ? record_size_ : buffer_.size());
      filled_ -= filled_ % record_size_;
      offset_ = 0;
      if (filled_ == 0) return nullptr;
    }
    const uint8_t* record = buffer_.data() + offset_;
    offset_ += record_size_;
    return record;
  }

 private:
  static size_t BlockRecords(size_t record_size) {
    return record_size == 0 ? 1 : (kRecordBlockBytes + record_size - 1) / record_size;
  }

  InputFile& input_;
  size_t record_size_;
  std::vector<uint8_t> buffer_;
  size_t filled_ = 0;
  size_t offset_ = 0;
};

// Collects what a stage writes and passes it to `output` a block at a time. Flush before
// closing the output; a failed write shows in the output's Ok().
class RecordBlockWriter {
 public:
  explicit RecordBlockWriter(OutputFile& output) : output_(output) {
    buffer_.reserve(kRecordBlockBytes);
  }
  RecordBlockWriter(const RecordBlockWriter&) = delete;
  RecordBlockWriter& operator=(const RecordBlockWriter&) = delete;

  void Write(const uint8_t* data, size_t size) {
    if (buffer_.size() + size > kRecordBlockBytes) Flush();
    buffer_.insert(buffer_.end(), data, data + size);
    if (output_.Prompt()) Flush();
  }
  // Writes what is collected; false once any write failed.
  bool Flush() {
    if (!buffer_.empty()) output_.Write(buffer_.data(), buffer_.size());
    buffer_.clear();
    return output_.Ok();
  }

 private:
  OutputFile& output_;
  std::vector<uint8_t> buffer_;
};

}  // namespace vantrel
