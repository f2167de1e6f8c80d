#include "viterbi/phase_search.h"

#include <algorithm>
#include <utility>

namespace vantrel {
namespace {

// The code's generators, bit 0 the newest input bit (as the decoder has them).
constexpr unsigned kG1 = 0x4F;
constexpr unsigned kG2 = 0x6D;
constexpr unsigned kRegisterMask = 0x7F;

unsigned Parity7(unsigned x) {
  x ^= x >> 4;
  x ^= x >> 2;
  x ^= x >> 1;
  return x & 1u;
}

}  // namespace

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
  const size_t whole = packed.size() * 8;
  const size_t steps = whole + decoder.Flush(packed);
  ChannelErrors result;
  // Walk the decoded bits and the symbols together: per step, G1 and G2 of the re-encoded
  // register against the symbols sent for that step (kNone: both; rate 3/4: by period).
  unsigned reg = 0;
  size_t symbol = 0;
  const bool punctured = puncturing != ViterbiDecoder::Puncturing::kNone;
  const auto check = [&](size_t step, unsigned coded) {
    if (symbol >= count) return;
    const int8_t value = symbols[symbol++];
    if (step < kSettleSteps || value == 0) return;
    ++result.compared;
    result.errors += (value > 0) != (coded != 0);
  };
  unsigned g2_b2 = 0;  // rate 3/4: G2 of the period's second bit, sent after G1 of the third
  for (size_t step = 0; step < steps && symbol < count; ++step) {
    const unsigned bit = packed[step / 8] >> (7 - step % 8) & 1u;
    reg = ((reg << 1) | bit) & kRegisterMask;
    const unsigned g1 = Parity7(reg & kG1), g2 = Parity7(reg & kG2);
    if (!punctured) {
      check(step, g1);
      check(step, g2);
      continue;
    }
    // Per period b1 b2 b3: b1 sends (G1, G2); MetOp then G1(b3), G2(b2); common G2(b2), G1(b3).
    switch (step % 3) {
      case 0:
        check(step, g1);
        check(step, g2);
        break;
      case 1:
        g2_b2 = g2;
        if (puncturing == ViterbiDecoder::Puncturing::kCommon) check(step, g2_b2);
        break;
      case 2:
        if (puncturing == ViterbiDecoder::Puncturing::kMetop) {
          check(step, g1);
          check(step, g2_b2);
        } else {
          check(step, g1);
        }
        break;
    }
  }
  return result;
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
