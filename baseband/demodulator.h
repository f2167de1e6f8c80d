#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vantrel {

// What a demodulator is told of the signal it is given.
struct DemodulatorConfig {
  double sample_rate = 0;  // complex samples per second of the recording
  // QPSK: symbols per second (MetOp 2.3333e6, FY-3A/B 2.8e6, FY-3C 2.6e6). Meteor-M N2: data
  // bits per second (665.4e3; the Manchester code sends twice as many half-bits).
  double symbol_rate = 0;
  // The carrier is searched within +-this many hertz of the recording's centre.
  double carrier_range_hz = 60000;
};

// Soft values a demodulator writes, as the soft-symbol stages read them: signed 8 bit, the sign
// is the bit (positive = 1), the magnitude the confidence, 0 = nothing known. A clean symbol
// gives about +-kSoftSymbolAmplitude; values are clamped to +-127. QPSK: I then Q of each
// symbol (the carrier phase is known only to a quarter turn: the soft-symbol stage finds the
// rest). Meteor-M N2: one value per data bit, Manchester coding already taken off (a half
// turn may invert them all: the CADU search finds either polarity).
inline constexpr int kSoftSymbolAmplitude = 64;

// The signal over one second of recording, or at this moment.
struct SignalReport {
  double seconds = 0;            // time into the recording (samples / sample rate)
  double carrier_offset_hz = 0;  // the carrier's distance from the centre, as tracked
  double snr_db = NAN;           // estimated Es/N0 of the symbols (Meteor: of the data bits)
  bool locked = false;           // carrier and symbol timing tracked
};

// What the demodulation of a whole recording came to.
struct DemodulatorSummary {
  uint64_t samples = 0;             // complex samples taken
  uint64_t symbols = 0;             // symbols demodulated while locked (values / 2 for QPSK)
  double locked_seconds = 0;        // seconds of recording with the lock held
  double first_lock_seconds = NAN;  // when the lock was first taken; NaN: never
  double best_snr_db = NAN;         // the best one-second SNR while locked
  double min_offset_hz = NAN;       // the carrier offsets seen while locked
  double max_offset_hz = NAN;
  uint64_t locks = 0;       // locks taken (the first and every one after a loss)
  uint64_t locks_lost = 0;  // times the lock was lost
};

// Turns complex baseband samples (about +-1 full scale, any level: an AGC comes first) into
// soft values, streaming: samples go in in pieces of any size, memory stays bounded, output
// lags input by a bounded delay. Not thread-safe; one object per recording.
class Demodulator {
 public:
  virtual ~Demodulator() = default;

  // Takes `count` samples and appends the soft values they complete to `out`. While no lock is
  // held nothing is written for the samples (no values made of noise).
  virtual void Process(const std::complex<float>* samples, size_t count,
                       std::vector<int8_t>& out) = 0;
  // Ends the recording: appends what is still held.
  virtual void Finish(std::vector<int8_t>& out) = 0;

  // Moves the reports of the seconds completed since the last call into `reports` (appended).
  virtual void TakeReports(std::vector<SignalReport>& reports) = 0;
  // The signal now (for a display updated a few times per second).
  virtual SignalReport Current() const = 0;
  // The last symbols after phase and timing recovery (at most `max`), scaled so that a clean
  // symbol lies near magnitude 1: a constellation diagram's points. Meteor-M N2 gives its BPSK
  // data-bit values on the real axis.
  virtual void RecentSymbols(std::vector<std::complex<float>>& points, size_t max) const = 0;
  virtual const DemodulatorSummary& Summary() const = 0;

  // Work a demodulator does on each whole block of its input that depends on nothing but the
  // block (levels, offsets), so that a caller with a core to spare can do it ahead, on another
  // thread. BlockSamples() is the block's size, 0 when there is no such work. Prepare (thread-safe,
  // callable at any time) turns the `BlockSamples()` samples at `samples` into `prepared`
  // (resized); ProcessPrepared takes such a block in place of Process with those samples, with
  // the same results to the bit, and swaps `prepared` with a buffer of its own to reuse. Whole
  // blocks only, and only from a whole block's start: everything before went in as whole blocks,
  // prepared or not. What is left at the end goes to Process as it came.
  virtual size_t BlockSamples() const { return 0; }
  virtual void Prepare(const std::complex<float>* samples,
                       std::vector<std::complex<float>>& prepared) const {
    (void)samples;
    (void)prepared;
  }
  virtual void ProcessPrepared(std::vector<std::complex<float>>& prepared,
                               std::vector<int8_t>& out) {
    (void)prepared;
    (void)out;
  }
};

// MetOp and FY-3: QPSK, root-raised-cosine pulses with roll-off 0.5. Settings that cannot work
// (a rate not positive, fewer than 1.2 or more than 64 samples per symbol, a search range outside
// 0 to an eighth of the sample rate) throw std::invalid_argument, whose text names the setting and
// its value.
std::unique_ptr<Demodulator> MakeQpskDemodulator(const DemodulatorConfig& config);
// Meteor-M N2: phase modulation with a residual carrier, data Manchester coded.
std::unique_ptr<Demodulator> MakeMeteorDemodulator(const DemodulatorConfig& config);

}  // namespace vantrel
