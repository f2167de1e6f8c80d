#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "sync/asm_search_engine.h"

namespace vantrel {

// Puts up to `size` bytes at `buffer` and returns how many arrived; fewer means the input ended.
using ByteSource = std::function<size_t(uint8_t* buffer, size_t size)>;

struct WindowSearchHooks {
  // Called once, when a read that slides the window meets the end of the input, with the number
  // of bytes that read got.
  std::function<void(int32_t bytes)> short_read;
  // Called before every step, or every batch of steps; returning false ends the search.
  std::function<bool()> before_steps;
};

// Single steps (one hook call per step) or batches (one per window slide); the engine's results
// are the same either way.
enum class Stepping { kSingle, kBatched };

// Streams `source` through `window` for `engine` (reset by the caller): fills the window, steps
// with tolerance kLockedTolerance and slides the window by one chunk whenever the read index has
// passed SyncWindow::kLastStepStart. Once a read has met the end of the input, no more is read and
// stepping goes on while read index + 1020 <= the bytes holding input; the first frame that would
// reach past the input ends the search.
void SearchThroughWindow(AsmSearchEngine& engine, SyncWindow& window, const ByteSource& source,
                         Stepping stepping, const WindowSearchHooks& hooks);

}  // namespace vantrel
