#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "viterbi/viterbi_decoder.h"

namespace vantrel {

// A parity check of the rate-3/4 punctured code: symbols (counted from a period's first) whose
// hard decisions add up to 0 over GF(2) in every codeword, whatever the encoder's state. The one
// of fewest symbols within nine periods, found from the generators by elimination.
struct PunctureCheck {
  static constexpr int kWeight = 16;
  std::array<int, kWeight> symbols{};
};
PunctureCheck LowestWeightCheck(ViterbiDecoder::Puncturing puncturing);

// A cheap test, before the trial decodes of a lock search, of whether a block of soft values can
// hold the code anywhere. For each way the code may sit in the values (MetOp: the first value of
// a period 0 to 3, I and Q in order or swapped; FY-3: each rail, its period from symbol 0 to 3),
// the check is evaluated at every period: its sign the parity of the signs, its weight the
// smallest magnitude among its symbols (0 when a symbol is erased, or when each rail's symbols
// in it all have one sign: a carrier without data is a codeword too, and tells nothing). Over
// every run of kRunWindows windows of kWindowValues values (and of twice, four times ... as many,
// for a weak code over a longer stretch) the sum of the signed weights over the root of the sum of
// their squares is the score: about normal with mean 0 and deviation 1 on noise (its signs are
// fair coins and the checks independent: at most exp(-z^2 / 2) above z), rising with the root of
// the number of checks where the code is.
//
// A lock needs two CADU markers a frame apart decoded right: some 11 000 values of the code in
// a row, and such a stretch holds a whole run of the shortest kind. The score is the best of every
// way and run (FY-3: the best of each rail summed over the root of 2, as a lock needs both rails);
// blocks too short for one run get +infinity (always searched).
class CodeScreen {
 public:
  static constexpr size_t kWindowValues = 2048;
  static constexpr size_t kRunWindows = 4;

  // The score of `count` soft values (I then Q, from any value), at least kMinCodeScore where a
  // lock search could find MetOp's code (or FY-3's, on both rails); +infinity for a block too
  // short for one run, 0 for one of zeros. The storage is kept for the next block.
  double MetopScore(const int8_t* values, size_t count);
  double Fy3Score(const int8_t* values, size_t count);

 private:
  // One way the code may sit: the value, from a period's first (a period of `stride` values),
  // each of the check's symbols is.
  using Layout = std::array<int, PunctureCheck::kWeight>;
  // The values split by their place in a period (stride of them), signs and magnitudes, with
  // room after for the checks that run past the end.
  void Split(const int8_t* values, size_t count, size_t stride);
  // Per window of the layout: the sum of the signed weights and of their squares.
  void Sums(const Layout& layout, size_t stride, size_t periods);
  // The score of every run of the sums: kRunWindows windows long from every window, then twice
  // as long, and so on while the block holds them.
  void RunScores(std::vector<double>& scores) const;

  std::vector<int8_t> signs_;       // per place in the period, its values in order
  std::vector<uint8_t> magnitude_;  // their magnitudes (|-128| = 128)
  size_t phase_length_ = 0;         // values per place, room included
  std::vector<int64_t> sum_, squares_;
  std::vector<double> scores_;
};

// Scores below this are not searched. Noise scores at least 4 in one 64 KiB block in 50 to 80
// (measured on 1000 blocks of each family), which is then searched in full; a block the search
// locks in scored 16 and more at 2 dB Eb/N0 (the lowest of the sweep), 7.5 and more at 1 dB,
// 4.2 and more at 0.5 dB (code_screen_test). At 0 dB a lock is luck, and the code there is not
// told from noise: the screen may pass over a block the search would have locked in.
inline constexpr double kMinCodeScore = 4.0;

}  // namespace vantrel
