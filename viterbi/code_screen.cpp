#include "viterbi/code_screen.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrel {
namespace {

constexpr unsigned kG1 = ViterbiDecoder::kGenerator1;
constexpr unsigned kG2 = ViterbiDecoder::kGenerator2;
constexpr int kConstraint = ViterbiDecoder::kConstraintLength;
// Periods the check is looked for in: the fewest that hold one of the lowest weight.
constexpr int kCheckPeriods = 9;
constexpr int kCheckSymbols = kCheckPeriods * ViterbiDecoder::kPunctureSymbols;

// A symbol's value as a sum of input bits: bit (t + 6) for the input bit of step t (the six
// before the window's first step are bits 0 to 5).
uint64_t Output(unsigned generator, int step) {
  uint64_t form = 0;
  for (int j = 0; j < kConstraint; ++j)
    if ((generator >> j) & 1u) form |= uint64_t{1} << (step - j + kConstraint - 1);
  return form;
}

// Checks evaluated side by side.
constexpr size_t kLanes = 16;

}  // namespace

PunctureCheck LowestWeightCheck(ViterbiDecoder::Puncturing puncturing) {
  if (puncturing == ViterbiDecoder::Puncturing::kNone)
    throw std::invalid_argument("LowestWeightCheck: the code is not punctured");
  const bool metop = puncturing == ViterbiDecoder::Puncturing::kMetop;
  // Per period of three bits b1 b2 b3 the symbols sent (the decoder's order).
  std::array<uint64_t, kCheckSymbols> forms{};
  for (int p = 0; p < kCheckPeriods; ++p) {
    const int b1 = 3 * p, b2 = b1 + 1, b3 = b1 + 2;
    uint64_t* period = forms.data() + ViterbiDecoder::kPunctureSymbols * p;
    period[0] = Output(kG1, b1);
    period[1] = Output(kG2, b1);
    period[2] = metop ? Output(kG1, b3) : Output(kG2, b2);
    period[3] = metop ? Output(kG2, b2) : Output(kG1, b3);
  }
  // Gaussian elimination keeping which symbols each row sums: a row that vanishes is a check.
  std::array<uint64_t, 64> pivot_form{}, pivot_sum{};
  std::array<bool, 64> has_pivot{};
  std::vector<uint64_t> checks;
  for (int s = 0; s < kCheckSymbols; ++s) {
    uint64_t form = forms[static_cast<size_t>(s)], sum = uint64_t{1} << s;
    while (form != 0) {
      const int top = 63 - std::countl_zero(form);
      if (!has_pivot[static_cast<size_t>(top)]) {
        has_pivot[static_cast<size_t>(top)] = true;
        pivot_form[static_cast<size_t>(top)] = form;
        pivot_sum[static_cast<size_t>(top)] = sum;
        break;
      }
      form ^= pivot_form[static_cast<size_t>(top)];
      sum ^= pivot_sum[static_cast<size_t>(top)];
    }
    if (form == 0) checks.push_back(sum);
  }
  // Every sum of the checks found: the first of the fewest symbols.
  uint64_t best = 0;
  for (uint64_t pick = 1; pick < (uint64_t{1} << checks.size()); ++pick) {
    uint64_t check = 0;
    for (size_t i = 0; i < checks.size(); ++i)
      if ((pick >> i) & 1u) check ^= checks[i];
    if (best == 0 || std::popcount(check) < std::popcount(best)) best = check;
  }
  if (std::popcount(best) != PunctureCheck::kWeight)
    throw std::logic_error("LowestWeightCheck: no check of the expected weight");
  PunctureCheck result;
  size_t next = 0;
  for (int s = 0; s < kCheckSymbols; ++s)
    if ((best >> s) & 1u) result.symbols[next++] = s;
  return result;
}

void CodeScreen::Split(const int8_t* values, size_t count, size_t stride) {
  // Room for the last checks' symbols past the end (read as erased) and a whole lane group.
  const size_t room = (2 * kCheckSymbols + 16) / stride + kLanes + 2;
  phase_length_ = (count + stride - 1) / stride + room;
  signs_.assign(stride * phase_length_, 0);
  magnitude_.assign(stride * phase_length_, 0);
  for (size_t place = 0; place < stride; ++place) {
    int8_t* sign = signs_.data() + place * phase_length_;
    uint8_t* magnitude = magnitude_.data() + place * phase_length_;
    for (size_t i = place, p = 0; i < count; i += stride, ++p) {
      sign[p] = values[i];
      magnitude[p] = static_cast<uint8_t>(values[i] < 0 ? -values[i] : values[i]);
    }
  }
}

void CodeScreen::Sums(const Layout& layout, size_t stride, size_t periods) {
  const size_t per_window = kWindowValues / stride;  // a multiple of kLanes
  const size_t windows = (periods + per_window - 1) / per_window;
  sum_.assign(windows, 0);
  squares_.assign(windows, 0);
  std::array<const int8_t*, PunctureCheck::kWeight> sign{};
  std::array<const uint8_t*, PunctureCheck::kWeight> magnitude{};
  bool odd = false, even = false;  // the layout has symbols of that rail
  for (size_t i = 0; i < layout.size(); ++i) {
    const auto k = static_cast<size_t>(layout[i]);
    sign[i] = signs_.data() + (k % stride) * phase_length_ + k / stride;
    magnitude[i] = magnitude_.data() + (k % stride) * phase_length_ + k / stride;
    ((k & 1u) != 0 ? odd : even) = true;
  }
  size_t p = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i all = _mm_set1_epi8(-1);
  const __m128i ones16 = _mm_set1_epi16(1);
  for (size_t w = 0; w < windows; ++w) {
    __m128i sum = zero, squares = zero;
    for (const size_t end = std::min(periods, (w + 1) * per_window); p < end; p += kLanes) {
      // Sixteen checks side by side: the parity of the signs in the sign bits, the smallest
      // magnitude, and each rail's signs all alike (AND and OR agree in the sign bit).
      __m128i parity = zero, low = all;
      __m128i and_even = all, or_even = zero, and_odd = all, or_odd = zero;
      for (size_t i = 0; i < layout.size(); ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sign[i] + p));
        const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(magnitude[i] + p));
        parity = _mm_xor_si128(parity, v);
        low = _mm_min_epu8(low, m);
        if ((layout[i] & 1) != 0) {
          and_odd = _mm_and_si128(and_odd, v);
          or_odd = _mm_or_si128(or_odd, v);
        } else {
          and_even = _mm_and_si128(and_even, v);
          or_even = _mm_or_si128(or_even, v);
        }
      }
      __m128i mixed = zero;
      if (even) mixed = _mm_or_si128(mixed, _mm_xor_si128(and_even, or_even));
      if (odd) mixed = _mm_or_si128(mixed, _mm_xor_si128(and_odd, or_odd));
      const __m128i weight = _mm_and_si128(low, _mm_cmplt_epi8(mixed, zero));
      const __m128i failed = _mm_cmplt_epi8(parity, zero);
      for (const bool high : {false, true}) {
        const __m128i w16 =
            high ? _mm_unpackhi_epi8(weight, zero) : _mm_unpacklo_epi8(weight, zero);
        const __m128i f16 =
            high ? _mm_unpackhi_epi8(failed, failed) : _mm_unpacklo_epi8(failed, failed);
        const __m128i signed16 = _mm_sub_epi16(_mm_xor_si128(w16, f16), f16);
        sum = _mm_add_epi32(sum, _mm_madd_epi16(signed16, ones16));
        squares = _mm_add_epi32(squares, _mm_madd_epi16(w16, w16));
      }
    }
    alignas(16) int32_t lanes[2][4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), sum);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), squares);
    for (int k = 0; k < 4; ++k) {
      sum_[w] += lanes[0][k];
      squares_[w] += lanes[1][k];
    }
  }
#else
  for (; p < periods; ++p) {
    unsigned parity = 0, low = 255, and_even = 1, or_even = 0, and_odd = 1, or_odd = 0;
    for (size_t i = 0; i < layout.size(); ++i) {
      const unsigned negative = sign[i][p] < 0 ? 1u : 0u;
      parity ^= negative;
      low = std::min<unsigned>(low, magnitude[i][p]);
      if ((layout[i] & 1) != 0) {
        and_odd &= negative;
        or_odd |= negative;
      } else {
        and_even &= negative;
        or_even |= negative;
      }
    }
    const bool mixed = (even && and_even != or_even) || (odd && and_odd != or_odd);
    const int64_t weight = mixed ? low : 0;
    sum_[p / per_window] += parity != 0 ? -weight : weight;
    squares_[p / per_window] += weight * weight;
  }
#endif
}

void CodeScreen::RunScores(std::vector<double>& scores) const {
  scores.clear();
  for (size_t length = kRunWindows; length <= sum_.size(); length *= 2) {
    for (size_t r = 0; r + length <= sum_.size(); ++r) {
      int64_t sum = 0, squares = 0;
      for (size_t w = r; w < r + length; ++w) {
        sum += sum_[w];
        squares += squares_[w];
      }
      scores.push_back(squares > 0 ? static_cast<double>(sum) / std::sqrt(squares) : 0.0);
    }
  }
}

double CodeScreen::MetopScore(const int8_t* values, size_t count) {
  constexpr size_t kStride = ViterbiDecoder::kPunctureSymbols;
  static const PunctureCheck check = LowestWeightCheck(ViterbiDecoder::Puncturing::kMetop);
  // The layouts reach at most three values past the check's last symbol.
  const size_t reach = static_cast<size_t>(check.symbols.back()) + 3;
  if (count <= reach) return std::numeric_limits<double>::infinity();
  const size_t periods = (count - 1 - reach) / kStride + 1;
  if (periods < kRunWindows * kWindowValues / kStride)
    return std::numeric_limits<double>::infinity();
  Split(values, count, kStride);
  double best = -std::numeric_limits<double>::infinity();
  for (int first = 0; first < 4; ++first) {
    for (const bool swap : {false, true}) {
      // The pair the symbol is in starts at first + its even place; swapped, I is the second.
      Layout layout{};
      for (size_t i = 0; i < layout.size(); ++i)
        layout[i] = first + (swap ? check.symbols[i] ^ 1 : check.symbols[i]);
      Sums(layout, kStride, periods);
      RunScores(scores_);
      for (const double score : scores_) best = std::max(best, score);
    }
  }
  return best;
}

double CodeScreen::Fy3Score(const int8_t* values, size_t count) {
  // A rail's period is four of its symbols, eight values.
  constexpr size_t kStride = 2 * ViterbiDecoder::kPunctureSymbols;
  static const PunctureCheck check = LowestWeightCheck(ViterbiDecoder::Puncturing::kCommon);
  const size_t reach = 2 * (static_cast<size_t>(check.symbols.back()) + 3) + 1;
  if (count <= reach) return std::numeric_limits<double>::infinity();
  const size_t periods = (count - 1 - reach) / kStride + 1;
  if (periods < kRunWindows * kWindowValues / kStride)
    return std::numeric_limits<double>::infinity();
  Split(values, count, kStride);
  // Per rail, the best of its period starts in each run.
  std::vector<double> rail_best[2];
  for (int rail = 0; rail < 2; ++rail) {
    for (int first = 0; first < 4; ++first) {
      Layout layout{};
      for (size_t i = 0; i < layout.size(); ++i) layout[i] = 2 * (first + check.symbols[i]) + rail;
      Sums(layout, kStride, periods);
      RunScores(scores_);
      std::vector<double>& best = rail_best[rail];
      best.resize(scores_.size(), -std::numeric_limits<double>::infinity());
      for (size_t r = 0; r < scores_.size(); ++r) best[r] = std::max(best[r], scores_[r]);
    }
  }
  double best = -std::numeric_limits<double>::infinity();
  for (size_t r = 0; r < rail_best[0].size(); ++r)
    best = std::max(best, (rail_best[0][r] + rail_best[1][r]) / std::sqrt(2.0));
  return best;
}

}  // namespace vantrel
