#include "viterbi/phase_search.h"

#include <algorithm>
#include <utility>

#include "viterbi/reencoding_check.h"

namespace vantrel {
void UndoPhase(const QpskPhase& phase, int8_t* iq, size_t count) {
  for (size_t k = 0; k + 1 < count; k += 2) {
    int i = iq[k], q = iq[k + 1];
    if (phase.iq_swap) std::swap(i, q);
    if (phase.rotation == 90) {  // a quarter turn back, clockwise: (i, q) -> (q, -i)
      const int turned = q;
      q = -i;
      i = turned;
    }
    // -(-128) does not fit: the strongest zero becomes the strongest one there is.
    iq[k] = static_cast<int8_t>(i > 127 ? 127 : i);
    iq[k + 1] = static_cast<int8_t>(q > 127 ? 127 : q);
  }
}

ChannelErrors CountChannelErrors(const int8_t* symbols, size_t count,
                                 ViterbiDecoder::Puncturing puncturing) {
  ViterbiDecoder decoder(puncturing);
  std::vector<uint8_t> packed;
  decoder.Decode(symbols, count, packed);
  const size_t steps = packed.size() * 8 + decoder.Flush(packed);
  ReencodingCheck check(puncturing);
  check.AddSymbols(symbols, count);
  check.AddBits(packed.data(), steps);
  return {check.compared, check.errors};
}

std::vector<PhaseCandidate> RankMetopPhases(const int8_t* iq, size_t count) {
  std::vector<PhaseCandidate> candidates;
  std::vector<int8_t> trial;
  for (const int skip : {0, 2}) {
    for (const int rotation : {0, 90}) {
      for (const bool swap : {false, true}) {
        const QpskPhase phase{rotation, swap, skip};
        if (count > static_cast<size_t>(skip)) {
          trial.assign(iq + skip, iq + count);
        } else {
          trial.clear();
        }
        if (trial.size() % 2 != 0) trial.pop_back();
        UndoPhase(phase, trial.data(), trial.size());
        candidates.push_back({phase, CountChannelErrors(trial.data(), trial.size(),
                                                        ViterbiDecoder::Puncturing::kMetop)});
      }
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const PhaseCandidate& a, const PhaseCandidate& b) {
                     return a.errors.Rate() < b.errors.Rate();
                   });
  return candidates;
}

}  // namespace vantrel
