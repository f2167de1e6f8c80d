#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "baseband/demodulator.h"

namespace vantrel {

// The QPSK demodulator (MetOp, FY-3), built by MakeQpskDemodulator (demodulator.h):
//   block AGC and DC removal -> carrier search (fourth power, CarrierSearch) while unlocked ->
//   NCO at the sample rate -> SymbolTimingRecovery (matched filter and timing) -> Costas loop at
//   the symbol rate, whose frequency is handed to the NCO after every block -> soft values.
// The lock is judged per 1024 symbols from the constellation (the mean of -cos 4*phase): two good
// windows take it, eight bad ones in a row lose it (and the search resumes). Nothing is written
// while the lock is not held; when the search finds the carrier, the block it was found in and
// the one before are demodulated from their start and held. Once the lock is taken they are
// demodulated again from just before where the signal rises, with the carrier's frequency, phase
// and the symbol timing found there (a warm restart), so a pass's first symbols come out as right
// as the rest, not while the loops pull in. Held bad windows are written when a good one follows
// (a short fade loses nothing); when the lock is lost the first bad one is written (the signal may
// have set in it) and the rest dropped.
// MakeQpskDemodulator throws std::invalid_argument, naming the setting and its value, for a
// sample or symbol rate that is not positive and finite, fewer than kMinSamplesPerSymbol or more
// than kMaxSamplesPerSymbol samples per symbol, or a search range that is negative or not below
// an eighth of the sample rate.
inline constexpr double kMinSamplesPerSymbol = 1.2;
inline constexpr double kMaxSamplesPerSymbol = 64;  // (the matched filter's bank grows with it)

// Matched root-raised-cosine filter and symbol timing recovery at any samples per symbol from
// kMinSamplesPerSymbol up (not only whole numbers): a polyphase bank of the matched filter
// (kTimingPhases phases of the pulse, the nearest taken) computes the filter's output right at
// the instants the timing loop asks for, two per symbol; Gardner's detector on them drives a
// proportional-integral loop on the symbol period, so a sample clock off by tens of ppm is
// followed. The detector needs no carrier phase: timing locks before the carrier does.
// Output: one complex value per symbol at its centre, scaled so that a signal of power P (mean
// |x|^2 of the input) gives symbols of magnitude sqrt(P); the noise at the symbol points then has
// variance sigma^2 / samples_per_symbol (the ratio is Es/N0). State carries across calls; delay:
// the filter's half length (about 4 symbols) stays held. Not thread-safe.
// Why not liquid-dsp's symsync_crcf (the test oracle): it takes whole samples per symbol only, so
// 2.571 needs resamp_crcf before it, and the two run at about 16 million samples per second on
// this machine against about 140 million for this one (bench/baseband/qpsk_demodulator_bench).
class SymbolTimingRecovery {
 public:
  static constexpr int kTimingPhases = 64;
  static constexpr int kHalfSpanSymbols = 4;  // the pulse is cut at +-4 symbols

  // Throws std::invalid_argument for samples_per_symbol outside kMinSamplesPerSymbol to
  // kMaxSamplesPerSymbol or a roll-off outside 0.05..1. The tracked period stays within 1 % of
  // nominal.
  SymbolTimingRecovery(double samples_per_symbol, double rolloff);

  // Loop noise bandwidth times the symbol period (0.002 tracks, 0.01 acquires quickly).
  void SetLoopBandwidth(double bandwidth_symbols);
  // Forgets the held samples and the loop's state (the period back to nominal).
  void Reset();
  // Forgets the held samples and starts again with the period at `period` samples (kept within
  // 1 % of nominal) and the first symbol's instant `first_instant` samples after the first sample
  // given next (from a period before it: a symbol whose pulse began before the samples given):
  // a loop that has converged on a signal demodulates it again.
  void Restart(double period, double first_instant);
  // Takes `count` samples, appends the symbols they complete.
  void Process(const std::complex<float>* samples, size_t count,
               std::vector<std::complex<float>>& symbols);

  // Samples the filter reads past an output instant: a symbol comes out only once these follow it.
  int LookAhead() const { return taps_ / 2; }
  // Samples per symbol as the loop tracks them (nominal * (1 + clock error)).
  double period() const { return nominal_period_ + period_adjust_; }
  // The instant of the next symbol to come out, in samples after the first one given since the
  // last Reset or Restart.
  double NextSymbolInstant() const;

 private:
  double nominal_period_;
  int half_span_samples_;    // K: the filter for an instant t = n + mu reads x[n - K .. n + K + 1]
  int taps_;                 // floats per phase (2 per complex tap, padded to a multiple of 8)
  std::vector<float> bank_;  // kTimingPhases + 1 phases, each taps_ floats, I/Q interleaved
  double loop_p_ = 0, loop_i_ = 0;
  // Loop state.
  std::vector<std::complex<float>> held_;  // samples not yet used up
  double next_ = 0;                        // position of the next output in held_, in samples
  bool next_is_middle_ = false;
  double period_adjust_ = 0;
  uint64_t dropped_ = 0;  // samples let go from the front of held_ since the last Reset
  int prefix_ = 0;        // zeros held before the first sample given since then
  std::complex<float> previous_{}, middle_{};
};

}  // namespace vantrel
