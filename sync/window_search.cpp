#include "sync/window_search.h"

#include <algorithm>
#include <cstring>

namespace vantrel {
namespace {

constexpr int32_t kChunk = SyncWindow::kChunkBytes;
constexpr int32_t kKeptBytes = SyncWindow::kBytes - kChunk;

// Moves the window on by one chunk; the freed chunk is zeroed.
void Slide(AsmSearchEngine& engine, SyncWindow& window) {
  uint8_t* bytes = window.bytes.data();
  uint8_t* history = window.before.data();
  constexpr int32_t kHistoryKept = SyncWindow::kHistoryBytes - kChunk;
  static_assert(kHistoryKept >= 0, "a slide moves out one chunk and keeps the bytes before it");
  std::memmove(history, history + kChunk, kHistoryKept);
  std::memcpy(history + kHistoryKept, bytes, kChunk);
  window.slid += kChunk;
  std::memmove(bytes, bytes + kChunk, kKeptBytes);
  std::memset(bytes + kKeptBytes, 0, kChunk);
  window.valid = std::max(0, window.valid - kChunk);
  engine.MoveReadIndex(-kChunk);
}

}  // namespace

void SearchThroughWindow(AsmSearchEngine& engine, SyncWindow& window, const ByteSource& source,
                         Stepping stepping, const WindowSearchHooks& hooks) {
  window.bytes.fill(0);
  window.before.fill(0);
  window.slid = 0;
  window.valid = static_cast<int32_t>(source(window.bytes.data(), SyncWindow::kBytes));
  bool at_end = window.valid < SyncWindow::kBytes;

  for (;;) {
    // Twice after a frame cut one byte late (a slipped marker at bit 0 of the next byte).
    while (engine.read_index() > SyncWindow::kLastStepStart) {
      Slide(engine, window);
      if (!at_end) {
        const auto got = static_cast<int32_t>(source(window.bytes.data() + kKeptBytes, kChunk));
        window.valid = kKeptBytes + got;
        if (got < kChunk) {
          at_end = true;
          if (hooks.short_read) hooks.short_read(got);
        }
      }
    }
    if (hooks.before_steps && !hooks.before_steps()) return;

    // Before the end of the input every start up to the slide point is safe; after it, only
    // starts that leave room for a whole code block of input.
    const int32_t last_start =
        at_end ? std::min(SyncWindow::kLastStepStart, window.valid - kCodeBlockBytes)
               : SyncWindow::kLastStepStart;
    if (engine.read_index() > last_start) return;
    const int32_t result = stepping == Stepping::kBatched
                               ? engine.SearchSteps(kLockedTolerance, last_start)
                               : engine.SearchStep(kLockedTolerance);
    if (result == AsmSearchEngine::kStepFrameBeyondInput) return;
  }
}

}  // namespace vantrel
