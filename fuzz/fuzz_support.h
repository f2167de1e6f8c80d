#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "core/basic_host.h"

namespace vantrel::fuzz {

// A host that keeps the log and does nothing else: options and chain state are plain values.
class FuzzHost : public BasicHost {
 public:
  std::vector<std::string> log;
  void AppendLog(const std::string& line) override { log.push_back(line); }

  bool Logged(const std::string& line) const {
    for (const std::string& entry : log)
      if (entry == line) return true;
    return false;
  }
};

// Takes the fuzzer's bytes front to back: settings first, the rest as the stream. Reading past
// the end gives zeros, so every input is usable.
class InputCursor {
 public:
  InputCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  // Up to `count` bytes (fewer at the end).
  std::span<const uint8_t> Take(size_t count) {
    const size_t n = count < size_ - at_ ? count : size_ - at_;
    const std::span<const uint8_t> part(data_ + at_, n);
    at_ += n;
    return part;
  }
  std::span<const uint8_t> Rest() { return Take(size_ - at_); }
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A broken invariant: say which and stop, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

}  // namespace vantrel::fuzz
