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

void TryMetopPhases(const int8_t* iq, size_t count, std::vector<PhaseTrial>& trials) {
  constexpr size_t kTrials = 8;
  trials.resize(kTrials);
  std::vector<int8_t> symbols;
  std::vector<uint8_t> tail;
  size_t next = 0;
  for (const int skip : {0, 2}) {
    for (const int rotation : {0, 90}) {
      for (const bool swap : {false, true}) {
        PhaseTrial& trial = trials[next++];
        trial.candidate.phase = {rotation, swap, skip};
        const size_t from = std::min(count, static_cast<size_t>(skip));
        symbols.assign(iq + from, iq + count);
        if (symbols.size() % 2 != 0) symbols.pop_back();
        UndoPhase(trial.candidate.phase, symbols.data(), symbols.size());
        trial.symbols = symbols.size();
        // CountChannelErrors, keeping the decoder unflushed: the flush's bits are only looked at.
        trial.decoder.Reset();
        trial.bytes.clear();
        trial.decoder.Decode(symbols.data(), symbols.size(), trial.bytes);
        tail.assign(trial.bytes.begin(), trial.bytes.end());
        const size_t steps = trial.bytes.size() * 8 + trial.decoder.Peek(tail);
        ReencodingCheck check(ViterbiDecoder::Puncturing::kMetop);
        check.AddSymbols(symbols.data(), symbols.size());
        check.AddBits(tail.data(), steps);
        trial.candidate.errors = {check.compared, check.errors};
      }
    }
  }
}

std::vector<PhaseCandidate> RankMetopPhases(const int8_t* iq, size_t count) {
  std::vector<PhaseTrial> trials;
  TryMetopPhases(iq, count, trials);
  std::vector<PhaseCandidate> candidates;
  for (const PhaseTrial& trial : trials) candidates.push_back(trial.candidate);
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const PhaseCandidate& a, const PhaseCandidate& b) {
                     return a.errors.Rate() < b.errors.Rate();
                   });
  return candidates;
}

}  // namespace vantrel
