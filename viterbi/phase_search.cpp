#include "viterbi/phase_search.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "viterbi/reencoding_check.h"

namespace vantrel {
namespace {

// What the rotation and swap leave of a pair (i, q): (i, q), (q, i), (q, -i) or (i, -q).
enum class PairMap { kSame, kSwap, kSwapNegateSecond, kNegateSecond };

PairMap MapOf(const QpskPhase& phase) {
  // A swap then a quarter turn back: (i, q) -> (q, i) -> (i, -q).
  if (phase.rotation == 90)
    return phase.iq_swap ? PairMap::kNegateSecond : PairMap::kSwapNegateSecond;
  return phase.iq_swap ? PairMap::kSwap : PairMap::kSame;
}

// -(-128) does not fit: the strongest zero becomes the strongest one there is.
int8_t Negated(int8_t value) {
  return static_cast<int8_t>(value == -128 ? 127 : -value);
}

template <PairMap kMap>
void MapPairs(const int8_t* from, int8_t* to, size_t pairs) {
  size_t k = 0;
#if defined(__SSE2__)
  // Eight pairs at a time as 16-bit lanes (I the low byte): a swap exchanges the bytes of a lane,
  // the saturating 0 - x negates with -128 going to 127.
  const __m128i low_bytes = _mm_set1_epi16(0x00FF);
  for (; k + 8 <= pairs; k += 8) {
    __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 2 * k));
    if constexpr (kMap == PairMap::kSwap || kMap == PairMap::kSwapNegateSecond)
      lanes = _mm_or_si128(_mm_srli_epi16(lanes, 8), _mm_slli_epi16(lanes, 8));
    if constexpr (kMap == PairMap::kSwapNegateSecond || kMap == PairMap::kNegateSecond) {
      const __m128i negated = _mm_subs_epi8(_mm_setzero_si128(), lanes);
      lanes = _mm_or_si128(_mm_and_si128(lanes, low_bytes), _mm_andnot_si128(low_bytes, negated));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * k), lanes);
  }
#endif
  for (; k < pairs; ++k) {
    const int8_t i = from[2 * k], q = from[2 * k + 1];
    switch (kMap) {
      case PairMap::kSame:
        to[2 * k] = i;
        to[2 * k + 1] = q;
        break;
      case PairMap::kSwap:
        to[2 * k] = q;
        to[2 * k + 1] = i;
        break;
      case PairMap::kSwapNegateSecond:
        to[2 * k] = q;
        to[2 * k + 1] = Negated(i);
        break;
      case PairMap::kNegateSecond:
        to[2 * k] = i;
        to[2 * k + 1] = Negated(q);
        break;
    }
  }
}

}  // namespace

void UndoPhase(const QpskPhase& phase, const int8_t* from, int8_t* to, size_t count) {
  const size_t pairs = count / 2;
  switch (MapOf(phase)) {
    case PairMap::kSame:
      if (from != to) std::memmove(to, from, 2 * pairs);
      break;
    case PairMap::kSwap:
      MapPairs<PairMap::kSwap>(from, to, pairs);
      break;
    case PairMap::kSwapNegateSecond:
      MapPairs<PairMap::kSwapNegateSecond>(from, to, pairs);
      break;
    case PairMap::kNegateSecond:
      MapPairs<PairMap::kNegateSecond>(from, to, pairs);
      break;
  }
}

void UndoPhase(const QpskPhase& phase, int8_t* iq, size_t count) {
  UndoPhase(phase, iq, iq, count);
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

namespace {

// DecodeAndCount of the symbols `check` (started afresh) was fed, `count` of them from `symbols`.
ChannelErrors DecodeFedAndCount(const int8_t* symbols, size_t count, ReencodingCheck& check,
                                ViterbiDecoder& decoder, std::vector<uint8_t>& bytes,
                                std::vector<uint8_t>& all) {
  decoder.Reset();
  bytes.clear();
  decoder.Decode(symbols, count, bytes);
  all.assign(bytes.begin(), bytes.end());
  const size_t steps = bytes.size() * 8 + decoder.Peek(all);
  check.AddBits(all.data(), steps);
  return {check.compared, check.errors};
}

}  // namespace

ChannelErrors DecodeAndCount(const int8_t* symbols, size_t count, ViterbiDecoder& decoder,
                             std::vector<uint8_t>& bytes) {
  ReencodingCheck check(decoder.puncturing());
  check.AddSymbols(symbols, count);
  std::vector<uint8_t> all;
  return DecodeFedAndCount(symbols, count, check, decoder, bytes, all);
}

void TryMetopPhases(const int8_t* iq, size_t count, std::vector<PhaseTrial>& trials) {
  constexpr size_t kTrials = 8;
  trials.resize(kTrials);
  // The phase is undone straight into the check's copy of the symbols, which the decoder reads.
  ReencodingCheck check(ViterbiDecoder::Puncturing::kMetop);
  std::vector<uint8_t> all;
  size_t next = 0;
  for (const int skip : {0, 2}) {
    for (const int rotation : {0, 90}) {
      for (const bool swap : {false, true}) {
        PhaseTrial& trial = trials[next++];
        trial.candidate.phase = {rotation, swap, skip};
        const size_t from = std::min(count, static_cast<size_t>(skip));
        trial.symbols = (count - from) & ~size_t{1};
        check.Reset();
        int8_t* symbols = check.AddSymbolRoom(trial.symbols);
        UndoPhase(trial.candidate.phase, iq + from, symbols, trial.symbols);
        trial.candidate.errors =
            DecodeFedAndCount(symbols, trial.symbols, check, trial.decoder, trial.bytes, all);
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
