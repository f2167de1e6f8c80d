#include "baseband/qpsk_demodulator.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "baseband/carrier_search.h"

// The hot loops get an AVX2/FMA clone chosen at run time where the compiler and the machine have
// it; the portable clone is the same code for SSE2 (or any other target). Not under
// ThreadSanitizer, whose instrumented resolver would run before the sanitizer is set up.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define VANTREL_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VANTREL_SIMD_CLONES
#endif

namespace vantrel {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRolloff = 0.5;

// The root-raised-cosine pulse at t symbols from its centre (unit peak scale, not normalised).
double RootRaisedCosine(double t, double beta) {
  const double at = std::abs(t);
  if (at < 1e-9) return 1 - beta + 4 * beta / kPi;
  if (std::abs(at - 1 / (4 * beta)) < 1e-9)
    return beta / std::sqrt(2.0) *
           ((1 + 2 / kPi) * std::sin(kPi / (4 * beta)) +
            (1 - 2 / kPi) * std::cos(kPi / (4 * beta)));
  return (std::sin(kPi * t * (1 - beta)) + 4 * beta * t * std::cos(kPi * t * (1 + beta))) /
         (kPi * t * (1 - 16 * beta * beta * t * t));
}

// Gain of Gardner's detector around the zero crossing of its S-curve, per sample of timing error,
// for symbols of unit magnitude and this pulse (roll-off 0.5), times the symbol period. Measured
// on noiseless signals; the loop only needs it within a factor of about two.
constexpr double kGardnerGainSymbols = 2.2;

// Proportional and integral gains of a second-order loop of noise bandwidth `bandwidth` (times
// the update period), damping 1/sqrt(2), for a detector of gain `detector_gain`.
void LoopGains(double bandwidth, double detector_gain, double& proportional, double& integral) {
  constexpr double kDamping = 0.7071;
  const double theta = bandwidth / (kDamping + 1 / (4 * kDamping));
  const double d = 1 + 2 * kDamping * theta + theta * theta;
  proportional = 4 * kDamping * theta / d / detector_gain;
  integral = 4 * theta * theta / d / detector_gain;
}

typedef float Floats8 __attribute__((vector_size(32)));
typedef int Ints8 __attribute__((vector_size(32)));
// The helpers that take or give vectors are always inlined: no call passes one, so the ABI the
// compiler warns of (a vector argument without AVX) is never used.
#pragma GCC diagnostic ignored "-Wpsabi"

// Sums of x[i] * h[i] over `count` floats (a multiple of 16), by lanes: the even lanes carry the
// real parts, the odd ones the imaginary parts of complex samples filtered by real taps laid out
// twice. `kBlocks` is count / 16 when known when compiled (the common rates), else 0.
template <int kBlocks>
[[gnu::always_inline]] inline Floats8 InterleavedDotLanes(const float* x, const float* h,
                                                          int count) {
  if constexpr (kBlocks > 0) count = 16 * kBlocks;
  Floats8 a = {}, b = {};
  for (int i = 0; i < count; i += 16) {
    Floats8 x0, x1, h0, h1;
    std::memcpy(&x0, x + i, sizeof x0);
    std::memcpy(&x1, x + i + 8, sizeof x1);
    std::memcpy(&h0, h + i, sizeof h0);
    std::memcpy(&h1, h + i + 8, sizeof h1);
    a += x0 * h0;
    b += x1 * h1;
  }
  return a + b;
}

// The complex sums of eight lane vectors of InterleavedDotLanes, each summed in the order
// ((l0 + l2) + l4) + l6 for the real part and ((l1 + l3) + l5) + l7 for the imaginary one (the
// order a scalar sum of one vector takes, so that the result is the same to the bit), eight at a
// time by transposing rather than one by one. Out: for lanes v[k], real parts at
// out[4 (k / 2) + k % 2], imaginary parts two further.
[[gnu::always_inline]] inline void SumLanes8(const Floats8* v, float* out) {
  // Lanes 0, 1, 4, 5 (2, 3, 6, 7) of two vectors, interleaved.
  auto low = [](Floats8 a, Floats8 b) {
    return __builtin_shufflevector(a, b, 0, 8, 1, 9, 4, 12, 5, 13);
  };
  auto high = [](Floats8 a, Floats8 b) {
    return __builtin_shufflevector(a, b, 2, 10, 3, 11, 6, 14, 7, 15);
  };
  // The lower (upper) halves of two vectors.
  auto lower = [](Floats8 a, Floats8 b) {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11);
  };
  auto upper = [](Floats8 a, Floats8 b) {
    return __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
  };
  for (int first = 0; first < 8; first += 4) {
    const Floats8 low0 = low(v[first], v[first + 1]), high0 = high(v[first], v[first + 1]);
    const Floats8 low1 = low(v[first + 2], v[first + 3]), high1 = high(v[first + 2], v[first + 3]);
    // Lanes 0 and 1 of the four vectors, then 2 and 3, 4 and 5, 6 and 7.
    const Floats8 l0 = lower(low0, low1), l2 = lower(high0, high1);
    const Floats8 l4 = upper(low0, low1), l6 = upper(high0, high1);
    const Floats8 sum = ((l0 + l2) + l4) + l6;
    std::memcpy(out + 2 * first, &sum, sizeof sum);
  }
}

struct TimingLoop {
  const float* bank;
  int taps;
  int half_span;
  double nominal;
  double loop_p, loop_i;
  double max_adjust;
};

// Outputs computed per round of the timing loop. The loop corrects the instants once per round
// with the detector's sum over it: the products of a round are independent of one another (they
// pipeline), and a delay of a few symbols is nothing to a loop this narrow.
constexpr int kTimingRound = 8;

// The timing loop over the held samples; returns how many symbols it appended. `kBlocks`: the
// taps' floats / 16 when known when compiled, else 0.
template <int kBlocks>
[[gnu::always_inline]] inline size_t TimingLoopOf(
    const TimingLoop& loop, const std::complex<float>* held, size_t held_count, double& next_state,
    bool& middle_state, double& adjust_state, std::complex<float>& previous_state,
    std::complex<float>& middle_value, std::complex<float>* out, size_t out_room) {
  const float* samples = reinterpret_cast<const float*>(held);
  // Locals: the output's stores could alias the references.
  double next = next_state, period_adjust = adjust_state;
  bool next_is_middle = middle_state;
  std::complex<float> previous = previous_state, middle = middle_value;
  const long last_start = static_cast<long>(held_count) - loop.taps / 2;
  size_t made = 0;
  static_assert(kTimingRound == 8, "SumLanes8 sums eight outputs");
  Floats8 lanes[kTimingRound];
  float sums[2 * kTimingRound];
  while (made + kTimingRound / 2 + 1 <= out_room) {
    const double half = 0.5 * (loop.nominal + period_adjust);
    if (static_cast<long>(next + (kTimingRound - 1) * half) - loop.half_span > last_start) break;
    for (int k = 0; k < kTimingRound; ++k) {
      const double at = next + k * half;
      const long whole = static_cast<long>(at);
      const int phase = static_cast<int>(
          (at - static_cast<double>(whole)) * SymbolTimingRecovery::kTimingPhases + 0.5);
      lanes[k] = InterleavedDotLanes<kBlocks>(samples + 2 * (whole - loop.half_span),
                                              loop.bank + static_cast<size_t>(phase) * loop.taps,
                                              loop.taps);
    }
    SumLanes8(lanes, sums);
    double error = 0;
    for (int k = 0; k < kTimingRound; ++k) {
      const int at = 4 * (k / 2) + k % 2;
      const std::complex<float> y{sums[at], sums[at + 2]};
      if (next_is_middle) {
        middle = y;
        next_is_middle = false;
        continue;
      }
      // Gardner: positive when the instants are late (the middle leans to the later symbol).
      error += (y.real() - previous.real()) * middle.real() +
               (y.imag() - previous.imag()) * middle.imag();
      previous = y;
      out[made++] = y;
      next_is_middle = true;
    }
    period_adjust =
        std::clamp(period_adjust - loop.loop_i * error, -loop.max_adjust, loop.max_adjust);
    const double step = std::clamp(loop.loop_p * error, -0.25 * loop.nominal, 0.25 * loop.nominal);
    next += kTimingRound * half - step;
  }
  next_state = next, adjust_state = period_adjust, middle_state = next_is_middle;
  previous_state = previous, middle_value = middle;
  return made;
}

VANTREL_SIMD_CLONES
size_t RunTimingLoop(const TimingLoop& loop, const std::complex<float>* held, size_t held_count,
                     double& next_state, bool& middle_state, double& adjust_state,
                     std::complex<float>& previous_state, std::complex<float>& middle_value,
                     std::complex<float>* out, size_t out_room) {
  // 2 to 6 blocks of taps: 1.2 to 5 samples per symbol (MetOp and FY-3 at 3 to 10 Msps).
  auto run = [&](auto blocks) {
    return TimingLoopOf<decltype(blocks)::value>(loop, held, held_count, next_state, middle_state,
                                                 adjust_state, previous_state, middle_value, out,
                                                 out_room);
  };
  switch (loop.taps / 16) {
    case 2:
      return run(std::integral_constant<int, 2>{});
    case 3:
      return run(std::integral_constant<int, 3>{});
    case 4:
      return run(std::integral_constant<int, 4>{});
    case 5:
      return run(std::integral_constant<int, 5>{});
    case 6:
      return run(std::integral_constant<int, 6>{});
    default:
      return run(std::integral_constant<int, 0>{});
  }
}

}  // namespace

SymbolTimingRecovery::SymbolTimingRecovery(double samples_per_symbol, double rolloff)
    : nominal_period_(samples_per_symbol) {
  if (!(samples_per_symbol >= kMinSamplesPerSymbol && samples_per_symbol <= kMaxSamplesPerSymbol) ||
      !(rolloff >= 0.05 && rolloff <= 1))
    throw std::invalid_argument("symbol timing: " + std::to_string(samples_per_symbol) +
                                " samples per symbol, roll-off " + std::to_string(rolloff));
  half_span_samples_ = static_cast<int>(std::ceil(kHalfSpanSymbols * samples_per_symbol));
  const int length = 2 * half_span_samples_ + 2;
  taps_ = (2 * length + 15) / 16 * 16;
  bank_.assign(static_cast<size_t>(kTimingPhases + 1) * taps_, 0.0f);
  const double limit = kHalfSpanSymbols * samples_per_symbol;
  // Energy of the pulse over whole samples, for the scale (the same for every phase).
  double energy = 0;
  for (int m = -half_span_samples_; m <= half_span_samples_; ++m) {
    const double g = std::abs(m) <= limit ? RootRaisedCosine(m / samples_per_symbol, rolloff) : 0;
    energy += g * g;
  }
  // Signal power P in -> symbols of magnitude sqrt(P) out: taps of energy 1 / samples_per_symbol.
  const double scale = 1 / std::sqrt(energy * samples_per_symbol);
  for (int phase = 0; phase <= kTimingPhases; ++phase) {
    const double mu = static_cast<double>(phase) / kTimingPhases;
    float* taps = &bank_[static_cast<size_t>(phase) * taps_];
    for (int i = 0; i < length; ++i) {
      const double t = mu + half_span_samples_ - i;  // the output instant minus sample i
      const double g = std::abs(t) <= limit ? RootRaisedCosine(t / samples_per_symbol, rolloff) : 0;
      taps[2 * i] = taps[2 * i + 1] = static_cast<float>(g * scale);
    }
  }
  SetLoopBandwidth(0.002);
  Reset();
}

void SymbolTimingRecovery::SetLoopBandwidth(double bandwidth_symbols) {
  // The detector's gain per sample of error: per symbol-period fraction over the period.
  LoopGains(bandwidth_symbols, kGardnerGainSymbols / nominal_period_, loop_p_, loop_i_);
}

void SymbolTimingRecovery::Reset() {
  prefix_ = half_span_samples_ + 1;
  held_.assign(static_cast<size_t>(prefix_), std::complex<float>{});
  next_ = prefix_;
  next_is_middle_ = false;
  period_adjust_ = 0;
  dropped_ = 0;
  previous_ = middle_ = {};
}

void SymbolTimingRecovery::Restart(double period, double first_instant) {
  Reset();
  const double limit = 0.01 * nominal_period_;
  period_adjust_ = std::isfinite(period) ? std::clamp(period - nominal_period_, -limit, limit) : 0;
  // An instant up to a period before the first sample reads zeros before it.
  const double first = std::isfinite(first_instant)
                           ? std::clamp(first_instant, -nominal_period_, 4 * nominal_period_)
                           : 0;
  const int more = static_cast<int>(std::ceil(nominal_period_));
  held_.insert(held_.begin(), static_cast<size_t>(more), std::complex<float>{});
  prefix_ += more;
  next_ = prefix_ + first;
}

double SymbolTimingRecovery::NextSymbolInstant() const {
  const double at = next_ + static_cast<double>(dropped_) - prefix_;
  return next_is_middle_ ? at + 0.5 * period() : at;
}

void SymbolTimingRecovery::Process(const std::complex<float>* samples, size_t count,
                                   std::vector<std::complex<float>>& symbols) {
  held_.insert(held_.end(), samples, samples + count);
  const TimingLoop loop{bank_.data(), taps_,   half_span_samples_,    nominal_period_,
                        loop_p_,      loop_i_, 0.01 * nominal_period_};
  const size_t before = symbols.size();
  // The loop's period stays within 1 % of nominal.
  const size_t room =
      static_cast<size_t>(static_cast<double>(held_.size()) / (0.98 * nominal_period_)) + 8;
  symbols.resize(before + room);
  const size_t made =
      RunTimingLoop(loop, held_.data(), held_.size(), next_, next_is_middle_, period_adjust_,
                    previous_, middle_, symbols.data() + before, room);
  symbols.resize(before + made);
  // Keep what the next instants still read.
  const long keep_from = static_cast<long>(next_) - half_span_samples_ - 1;
  const long drop = std::min<long>(keep_from, static_cast<long>(held_.size()));
  if (drop > 0) {
    held_.erase(held_.begin(), held_.begin() + drop);
    next_ -= static_cast<double>(drop);
    dropped_ += static_cast<uint64_t>(drop);
  }
}

namespace {

// How the lock is judged: per window of kLockWindowSymbols symbols, the mean of -cos(4 phase)
// of the symbols after the Costas loop: 1 for clean locked QPSK; 0.52 at Es/N0 8 dB, 0.32 at
// 5.5, 0.16 at 3, 0.09 at 1, 0.06 at 0; 0 +- 0.022 for noise or a carrier not yet held.
constexpr size_t kLockWindowSymbols = 1024;
constexpr double kAcquireMetric = 0.1;  // a window this good counts toward taking the lock (~2 dB)
constexpr double kHoldMetric = 0.06;    // one under this counts toward losing it (~0 dB)
// Share of symbols whose decision changes from the one before, below which (or above one minus
// which) a window is no data: random data gives 0.5 +- 0.016 over a window.
constexpr double kLeastChanges = 0.25;
constexpr int kWindowsToLock = 2;      // good windows in a row that take the lock
constexpr int kWindowsToLoseLock = 8;  // bad windows in a row that lose it (about 3.5 ms)
constexpr int kBadWindowsToDoubt = 2;  // bad windows in a row after which kAcquireMetric holds
constexpr int kAcquireBlocks = 2;      // blocks given to acquisition after the search found one
// Once the lock is taken the held samples are demodulated again (WarmRestart): from kRiseMargin
// windows of kRiseWindow samples before where the signal rises as its carrier's fourth-power line
// shows it, after a run-in that pulls in over kPullInSymbols and measures the carrier's frequency
// and the symbol period over kRunInSymbols.
constexpr size_t kRiseWindow = 1024;
constexpr size_t kRiseMargin = 2;
constexpr double kPullInSymbols = 512;
constexpr double kRunInSymbols = 4096;
// Loop bandwidths times the symbol period: wide while acquiring, narrow while locked.
constexpr double kTimingAcquireBandwidth = 0.01;
constexpr double kTimingTrackBandwidth = 0.002;
constexpr double kCarrierAcquireBandwidth = 0.005;
constexpr double kCarrierTrackBandwidth = 0.0008;
// The detector sign(I) Q - sign(Q) I of unit-magnitude QPSK: sqrt(2) sin(phase error).
constexpr double kCostasGain = 1.41421356;
// A block of about 8 ms: long enough for the fourth-power line to stand out at the horizon,
// short enough that 400 Hz/s of Doppler stays within one bin of it.
constexpr double kBlockSeconds = 0.008;
constexpr size_t kRecentSymbols = 1024;
constexpr size_t kMixChunk = 1024;  // samples mixed per exact phasor of the NCO
// The I/Q balance is corrected while the weaker branch has this share of the stronger's power
// (a receiver 3 dB off has 0.5) and their correlation is under this (10 degrees off gives 0.17).
constexpr double kMinBranchPowerRatio = 0.1;
constexpr double kMaxBranchCorrelation = 0.5;

enum class State { kSearching, kAcquiring, kLocked };

struct Window {
  size_t start;   // first soft value in pending_
  double metric;  // mean -cos(4 phase)
};

class QpskDemodulator final : public Demodulator {
 public:
  explicit QpskDemodulator(const DemodulatorConfig& config);

  void Process(const std::complex<float>* samples, size_t count, std::vector<int8_t>& out) override;
  void Finish(std::vector<int8_t>& out) override;
  void TakeReports(std::vector<SignalReport>& reports) override;
  SignalReport Current() const override { return current_; }
  void RecentSymbols(std::vector<std::complex<float>>& points, size_t max) const override;
  const DemodulatorSummary& Summary() const override { return summary_; }
  size_t BlockSamples() const override { return block_size_; }
  void Prepare(const std::complex<float>* samples,
               std::vector<std::complex<float>>& prepared) const override;
  void ProcessPrepared(std::vector<std::complex<float>>& prepared,
                       std::vector<int8_t>& out) override;

 private:
  void ProcessBlock(const std::complex<float>* samples, size_t count, std::vector<int8_t>& out);
  // The block in conditioned_ (`count` samples).
  void ProcessConditioned(size_t count, std::vector<int8_t>& out);
  void Condition(const std::complex<float>* samples, size_t count);
  void Demodulate(const std::complex<float>* samples, size_t count, std::vector<int8_t>& out);
  void WarmRestart(std::vector<int8_t>& out);
  void MixDown(const std::complex<float>* samples, size_t count);
  void TrackCarrier(std::vector<int8_t>& out);
  void EndWindow(std::vector<int8_t>& out, bool final_piece);
  // Writes the held values from `from` up to `to` (SIZE_MAX: all) and forgets every held one.
  void WritePending(size_t from, std::vector<int8_t>& out, size_t to = SIZE_MAX);
  void Enter(State state);
  void StartAcquisition(double offset_hz);
  double OffsetHz() const;
  void EmitReports(bool final_piece);

  DemodulatorConfig config_;
  double samples_per_symbol_;
  size_t block_size_;
  CarrierSearch search_;
  SymbolTimingRecovery timing_;
  State state_ = State::kSearching;

  std::vector<std::complex<float>> block_;        // input gathered to a whole block
  std::vector<std::complex<float>> conditioned_;  // after DC removal and gain
  std::vector<std::complex<float>> previous_;     // the block before, while searching
  // While acquiring: the conditioned samples since the block before the one the carrier was found
  // in (at most kAcquireBlocks + 1 blocks), demodulated again once the lock is taken.
  std::vector<std::complex<float>> acquired_;
  uint64_t acquired_start_ = 0;  // the sample acquired_ starts at
  bool restart_ = false;         // the lock was just taken: WarmRestart is due
  bool leading_ = false;         // the restart has not yet shown the signal
  uint64_t lock_sample_ = 0;     // where it was taken
  size_t good_from_ = 0;         // where the windows that took it began, in acquired_
  std::vector<int8_t> run_in_soft_;
  std::vector<std::complex<float>> mixed_;
  std::vector<std::complex<float>> symbols_;
  std::vector<float> table_re_, table_im_;  // the NCO's step to the powers 0..kMixChunk-1
  double table_step_ = NAN;

  // NCO (rad per sample; mixing multiplies by exp(-j phase)).
  double nco_phase_ = 0, nco_step_ = 0;
  // Costas loop (rad per symbol) and the symbol scale.
  std::complex<float> rotation_{1, 0};
  double carrier_step_ = 0;
  double block_turned_ = 0;  // phase the Costas loop turned in this block's good windows
  size_t block_symbols_ = 0;
  double offset_hz_ = 0;      // the carrier offset over the last block
  uint64_t block_start_ = 0;  // the sample that starts the block being demodulated
  size_t block_symbol_ = 0;   // symbols of it done
  double costas_p_ = 0, costas_i_ = 0;
  float inverse_amplitude_ = 1.4f;

  // The window being filled and the soft values not yet written.
  size_t window_symbols_ = 0;
  double window_metric_ = 0, window_m2_ = 0, window_m4_ = 0, window_turned_ = 0;
  std::vector<int8_t> pending_;
  std::vector<Window> windows_;
  // Starts the window being filled afresh.
  void ClearWindow() {
    window_symbols_ = 0;
    window_metric_ = window_m2_ = window_m4_ = window_turned_ = 0;
  }
  // Forgets the held soft values and their windows.
  void DropHeld() {
    pending_.clear();
    windows_.clear();
  }
  int good_run_ = 0, bad_run_ = 0, acquire_blocks_left_ = 0;
  double last_snr_db_ = NAN;

  // Reports.
  uint64_t samples_done_ = 0, next_report_at_ = 0;
  double second_m2_ = 0, second_m4_ = 0;
  size_t second_windows_ = 0;
  std::vector<SignalReport> reports_;
  SignalReport current_;
  DemodulatorSummary summary_;

  std::array<std::complex<float>, kRecentSymbols> recent_{};
  size_t recent_next_ = 0, recent_count_ = 0;
};

double SnrDb(double m2, double m4) {
  // M2M4: for constant-modulus symbols in complex Gaussian noise, S^2 = 2 M2^2 - M4, N = M2 - S.
  // NaN when the noise hides the signal's power (the estimate comes out negative).
  const double s2 = 2 * m2 * m2 - m4;
  if (!(s2 > 0)) return NAN;
  const double signal = std::sqrt(s2);
  const double noise = m2 - signal;
  if (!(noise > 0)) return 60;
  return 10 * std::log10(signal / noise);
}

size_t BlockSize(double sample_rate) {
  size_t size = 4096;
  while (size < sample_rate * kBlockSeconds && size < (size_t{1} << 20)) size *= 2;
  return size;
}

const DemodulatorConfig& Checked(const DemodulatorConfig& config) {
  auto refuse = [](const std::string& what) {
    throw std::invalid_argument("QPSK demodulator: " + what);
  };
  auto text = [](double value) {
    std::ostringstream s;
    s << value;
    return s.str();
  };
  if (!(config.sample_rate > 0) || !std::isfinite(config.sample_rate))
    refuse("sample rate " + text(config.sample_rate) + " samples/s is not positive");
  if (!(config.symbol_rate > 0) || !std::isfinite(config.symbol_rate))
    refuse("symbol rate " + text(config.symbol_rate) + " symbols/s is not positive");
  if (config.sample_rate < kMinSamplesPerSymbol * config.symbol_rate)
    refuse("symbol rate " + text(config.symbol_rate) +
           " symbols/s needs a sample rate of at least " +
           text(kMinSamplesPerSymbol * config.symbol_rate) + " samples/s (" +
           text(config.sample_rate) + " given)");
  if (config.sample_rate > kMaxSamplesPerSymbol * config.symbol_rate)
    refuse("symbol rate " + text(config.symbol_rate) + " symbols/s is under 1/" +
           text(kMaxSamplesPerSymbol) + " of the sample rate (" + text(config.sample_rate) +
           " samples/s): resample the recording");
  if (!(config.carrier_range_hz >= 0) || !(config.carrier_range_hz < config.sample_rate / 8))
    refuse("carrier search range +-" + text(config.carrier_range_hz) +
           " Hz is not between 0 and an eighth of the sample rate (" +
           text(config.sample_rate / 8) + " Hz)");
  return config;
}

QpskDemodulator::QpskDemodulator(const DemodulatorConfig& config)
    : config_(Checked(config)),
      samples_per_symbol_(config.sample_rate / config.symbol_rate),
      block_size_(BlockSize(config.sample_rate)),
      search_(block_size_, config.sample_rate, 4, config.carrier_range_hz),
      timing_(samples_per_symbol_, kRolloff) {
  block_.reserve(block_size_);
  table_re_.resize(kMixChunk);
  table_im_.resize(kMixChunk);
  next_report_at_ = static_cast<uint64_t>(std::llround(config.sample_rate));
  Enter(State::kSearching);
}

void QpskDemodulator::Process(const std::complex<float>* samples, size_t count,
                              std::vector<int8_t>& out) {
  while (count > 0) {
    if (block_.empty() && count >= block_size_) {
      ProcessBlock(samples, block_size_, out);
      samples += block_size_, count -= block_size_;
      continue;
    }
    const size_t take = std::min(count, block_size_ - block_.size());
    block_.insert(block_.end(), samples, samples + take);
    samples += take, count -= take;
    if (block_.size() == block_size_) {
      ProcessBlock(block_.data(), block_.size(), out);
      block_.clear();
    }
  }
}

void QpskDemodulator::Finish(std::vector<int8_t>& out) {
  size_t tail = 0;
  if (state_ != State::kSearching) {
    // A symbol comes out once the matched filter has the samples of half its span after it: the
    // last symbols of a recording that ends in the signal need that many more, given as zeros
    // (and not counted as samples read).
    tail = static_cast<size_t>(timing_.LookAhead() + 1);
    block_.insert(block_.end(), tail, std::complex<float>{});
  }
  if (!block_.empty()) {
    ProcessBlock(block_.data(), block_.size(), out);
    block_.clear();
  }
  summary_.samples -= tail;
  if (state_ != State::kSearching) EndWindow(out, true);
  DropHeld();
  EmitReports(true);
}

void QpskDemodulator::TakeReports(std::vector<SignalReport>& reports) {
  reports.insert(reports.end(), reports_.begin(), reports_.end());
  reports_.clear();
}

void QpskDemodulator::RecentSymbols(std::vector<std::complex<float>>& points, size_t max) const {
  const size_t count = std::min(max, recent_count_);
  for (size_t i = 0; i < count; ++i)
    points.push_back(recent_[(recent_next_ + kRecentSymbols - count + i) % kRecentSymbols]);
}

// DC removal, gain and I/Q balance for a block, from its own moments (a block is a few ms: the
// level of a pass and a receiver's offsets change far more slowly). A cheap receiver's I and Q
// branches differ in gain and are not quite in quadrature: Q = g (cos(e) Q0 + sin(e) I0). The
// signal and the noise are circular (E[z^2] = 0 for QPSK at any carrier phase), so the branches'
// powers and their correlation measure the distortion: Q is taken off its share of I and both are
// brought to the same power (Gram-Schmidt), which undoes it whatever the carrier does. liquid-dsp's
// agc_crcf, a loop per sample, runs at about 35 million samples per second here: alone more than a
// third of the time budget.
VANTREL_SIMD_CLONES
void ConditionBlock(const std::complex<float>* samples, size_t count, std::complex<float>* out) {
  // Samples that are not numbers (or absurdly large: a float file's garbage) become 0 first:
  // one would spoil the block's level and every loop after it.
  const float* raw = reinterpret_cast<const float*>(samples);
  float* o = reinterpret_cast<float*>(out);
  for (size_t n = 0; n < 2 * count; ++n) {
    const float v = raw[n];
    o[n] = std::abs(v) < 1e15f ? v : 0.0f;  // false for NaN too
  }
  const float* in = o;
  double sum_i = 0, sum_q = 0, sum_ii = 0, sum_qq = 0, sum_iq = 0;
  // Partial sums in floats over short runs (exact enough), gathered in double; four samples a
  // step in vectors: I in the even lanes, Q in the odd ones, and I times Q in the even lanes of
  // the samples times themselves one float on (the last step of a block is left to the scalar
  // tail, so that the float after it is never read).
  constexpr size_t kRun = 256;
  size_t k = 0;
  while (k + 4 < count) {
    const size_t end = std::min(count - 1, k + kRun) / 4 * 4;
    Floats8 linear = {}, square = {}, cross = {};
    for (; k + 4 <= end; k += 4) {
      Floats8 x, next;
      std::memcpy(&x, in + 2 * k, sizeof x);
      std::memcpy(&next, in + 2 * k + 1, sizeof next);
      linear += x;
      square += x * x;
      cross += x * next;
    }
    sum_i += linear[0] + linear[2] + linear[4] + linear[6];
    sum_q += linear[1] + linear[3] + linear[5] + linear[7];
    sum_ii += square[0] + square[2] + square[4] + square[6];
    sum_qq += square[1] + square[3] + square[5] + square[7];
    sum_iq += cross[0] + cross[2] + cross[4] + cross[6];
  }
  for (; k < count; ++k) {
    const float i = in[2 * k], q = in[2 * k + 1];
    sum_i += i, sum_q += q, sum_ii += i * i, sum_qq += q * q, sum_iq += i * q;
  }
  const double n = static_cast<double>(count);
  const double mean_i = sum_i / n, mean_q = sum_q / n;
  const double power_i = sum_ii / n - mean_i * mean_i;
  const double power_q = sum_qq / n - mean_q * mean_q;
  const double cross = sum_iq / n - mean_i * mean_q;
  // Output power 1 (each branch 1/2). A branch (nearly) dead or the two (nearly) the same signal
  // is no receiver's imbalance: only the common gain is set then.
  float gain_i = 0, gain_q = 0, gain_x = 0;
  const double power = power_i + power_q;
  if (power > 1e-20) {
    const double rho = cross / std::sqrt(std::max(power_i * power_q, 1e-300));
    if (std::min(power_i, power_q) > kMinBranchPowerRatio * std::max(power_i, power_q) &&
        std::abs(rho) < kMaxBranchCorrelation) {
      const double orthogonal = std::sqrt(1 - rho * rho);
      gain_i = static_cast<float>(1 / std::sqrt(2 * power_i));
      gain_q = static_cast<float>(1 / (std::sqrt(2 * power_q) * orthogonal));
      gain_x = static_cast<float>(-rho / (std::sqrt(2 * power_i) * orthogonal));
    } else {
      gain_i = gain_q = static_cast<float>(1 / std::sqrt(power));
    }
  }
  const float dc_i = static_cast<float>(mean_i), dc_q = static_cast<float>(mean_q);
  for (size_t k = 0; k < count; ++k) {
    const float i = in[2 * k] - dc_i, q = in[2 * k + 1] - dc_q;
    o[2 * k] = i * gain_i;
    o[2 * k + 1] = q * gain_q + i * gain_x;
  }
}

void QpskDemodulator::Condition(const std::complex<float>* samples, size_t count) {
  conditioned_.resize(count);
  ConditionBlock(samples, count, conditioned_.data());
}

void QpskDemodulator::Prepare(const std::complex<float>* samples,
                              std::vector<std::complex<float>>& prepared) const {
  prepared.resize(block_size_);
  ConditionBlock(samples, block_size_, prepared.data());
}

void QpskDemodulator::ProcessPrepared(std::vector<std::complex<float>>& prepared,
                                      std::vector<int8_t>& out) {
  assert(block_.empty() && prepared.size() == block_size_);
  std::swap(conditioned_, prepared);
  ProcessConditioned(block_size_, out);
}

void QpskDemodulator::ProcessBlock(const std::complex<float>* samples, size_t count,
                                   std::vector<int8_t>& out) {
  Condition(samples, count);
  ProcessConditioned(count, out);
}

void QpskDemodulator::ProcessConditioned(size_t count, std::vector<int8_t>& out) {
  summary_.samples += count;
  if (state_ == State::kSearching) {
    // A shorter last piece is searched too, if it holds an eighth of a block.
    if (count >= block_size_ / 8) {
      const CarrierSearchResult found = search_.Find(conditioned_.data(), count);
      if (found.found) {
        StartAcquisition(found.offset_hz);
        // The block before may hold the signal's first milliseconds, too weak to find on its own.
        std::swap(acquired_, previous_);
        acquired_start_ = samples_done_ - acquired_.size();
        if (!acquired_.empty()) {
          block_start_ = acquired_start_;
          Demodulate(acquired_.data(), acquired_.size(), out);
        }
      }
    }
    if (state_ == State::kSearching) std::swap(previous_, conditioned_);
  }
  // (The lock may have been taken in the block before: then this one is only held.)
  if (state_ == State::kAcquiring || restart_) {
    previous_.clear();
    acquired_.insert(acquired_.end(), conditioned_.begin(), conditioned_.end());
    if (!restart_) {
      block_start_ = samples_done_;
      Demodulate(conditioned_.data(), conditioned_.size(), out);
    }
    if (restart_)
      WarmRestart(out);
    else if (--acquire_blocks_left_ <= 0)
      Enter(State::kSearching);
  } else if (state_ == State::kLocked) {
    block_start_ = samples_done_;
    Demodulate(conditioned_.data(), conditioned_.size(), out);
  }
  samples_done_ += count;
  current_.seconds = static_cast<double>(samples_done_) / config_.sample_rate;
  current_.carrier_offset_hz = OffsetHz();
  current_.locked = state_ == State::kLocked;
  current_.snr_db = state_ == State::kLocked ? last_snr_db_ : NAN;
  EmitReports(false);
}

void QpskDemodulator::Demodulate(const std::complex<float>* samples, size_t count,
                                 std::vector<int8_t>& out) {
  MixDown(samples, count);
  symbols_.clear();
  timing_.Process(mixed_.data(), mixed_.size(), symbols_);
  block_turned_ = 0;
  block_symbols_ = 0;
  TrackCarrier(out);
  // The offset over the block: the NCO's and the mean turn of the Costas loop per symbol.
  if (block_symbols_ > 0)
    offset_hz_ =
        (nco_step_ + block_turned_ / static_cast<double>(block_symbols_) / timing_.period()) *
        config_.sample_rate / (2 * kPi);
  // The Costas loop's frequency moves into the NCO, so the matched filter stays centred.
  const double period = timing_.period();
  nco_step_ += carrier_step_ / period;
  carrier_step_ = 0;
  // (Not while the signal fades, nor from the pass that took the lock: its restart measures.)
  if (state_ == State::kLocked && bad_run_ == 0 && !restart_) {
    const double offset = OffsetHz();
    if (!(offset >= summary_.min_offset_hz)) summary_.min_offset_hz = offset;
    if (!(offset <= summary_.max_offset_hz)) summary_.max_offset_hz = offset;
  }
}

// Multiplies the block by the NCO's phasor: per chunk of kMixChunk samples a phasor exact from
// the double phase, times a table of the step's powers (independent products: vectorised).
// liquid-dsp's nco_crcf_mix_block_down does the same at about 140 million samples per second
// here: in its place the whole demodulator fell from about 94 to 58 million (under 10 times
// real time at 6 Msps); this one costs about a tenth of it.

VANTREL_SIMD_CLONES
void MixBlock(const std::complex<float>* samples, size_t count, double phase, double step,
              const float* table_re, const float* table_im, std::complex<float>* out) {
  const float* in = reinterpret_cast<const float*>(samples);
  float* o = reinterpret_cast<float*>(out);
  for (size_t begin = 0; begin < count; begin += kMixChunk) {
    const double at = -(phase + step * static_cast<double>(begin));
    const float pr = static_cast<float>(std::cos(at)), pi = static_cast<float>(std::sin(at));
    const size_t length = std::min(count - begin, kMixChunk);
    const float* x = in + 2 * begin;
    float* y = o + 2 * begin;
    for (size_t k = 0; k < length; ++k) {
      const float tr = table_re[k] * pr - table_im[k] * pi;
      const float ti = table_re[k] * pi + table_im[k] * pr;
      const float xi = x[2 * k], xq = x[2 * k + 1];
      y[2 * k] = xi * tr - xq * ti;
      y[2 * k + 1] = xi * ti + xq * tr;
    }
  }
}

void QpskDemodulator::MixDown(const std::complex<float>* samples, size_t count) {
  mixed_.resize(count);
  if (table_step_ != nco_step_) {
    for (size_t k = 0; k < kMixChunk; ++k) {
      const double at = -nco_step_ * static_cast<double>(k);
      table_re_[k] = static_cast<float>(std::cos(at));
      table_im_[k] = static_cast<float>(std::sin(at));
    }
    table_step_ = nco_step_;
  }
  MixBlock(samples, count, nco_phase_, nco_step_, table_re_.data(), table_im_.data(),
           mixed_.data());
  nco_phase_ = std::remainder(nco_phase_ + nco_step_ * static_cast<double>(count), 2 * kPi);
}

struct CostasSums {
  double metric = 0;  // sum of -cos(4 phase)
  double m2 = 0, m4 = 0;
  double turned = 0;  // phase turned through
};

// Symbols per update of the Costas loop: the rotations and decisions of a round are independent
// (they pipeline); the loop applies the round's summed error. A delay of a few symbols is nothing
// to a loop this narrow.
constexpr size_t kCostasRound = 8;

// Per lane, as std::copysign(magnitude, x) does it.
[[gnu::always_inline]] inline Floats8 CopySign(float magnitude, Floats8 x) {
  const Ints8 sign = Ints8{} + static_cast<int>(0x80000000u);
  return reinterpret_cast<Floats8>((reinterpret_cast<Ints8>(x) & sign) |
                                   reinterpret_cast<Ints8>(Floats8{} + magnitude));
}

// Per lane, as std::min(127.0f, std::max(-127.0f, x)) does it.
[[gnu::always_inline]] inline Floats8 Clamp127(Floats8 x) {
  const Floats8 low = Floats8{} - 127.0f, high = Floats8{} + 127.0f;
  x = low < x ? x : low;
  return x < high ? x : high;
}

// The Costas loop over `count` symbols: derotates and scales them, writes two soft values each
// and the points for the display (ring of kRecentSymbols), and sums the lock statistics.
VANTREL_SIMD_CLONES
void RunCostas(const std::complex<float>* symbols, size_t count, float inverse, float costas_p,
               float costas_i, float& step_state, std::complex<float>& rotation_state, int8_t* soft,
               std::complex<float>* recent, size_t& recent_state, CostasSums& sums) {
  constexpr float kSoftScale = static_cast<float>(kSoftSymbolAmplitude * 1.41421356);
  // Locals: the soft values' stores (bytes) could alias anything a reference reaches.
  float step = step_state;
  float rotation_re = rotation_state.real(), rotation_im = rotation_state.imag();
  size_t recent_next = recent_state;
  double sum_metric = 0, sum_m2 = 0, sum_m4 = 0, sum_turned = 0;
  static_assert(kCostasRound == 8, "a round is one vector of eight lanes");
  const Floats8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
  alignas(32) float errors[kCostasRound], shares[kCostasRound], powers[kCostasRound];
  alignas(32) float points[2 * kCostasRound];
  alignas(32) int8_t values[2 * kCostasRound];
  for (size_t begin = 0; begin < count; begin += kCostasRound) {
    const size_t length = std::min(kCostasRound, count - begin);
    // The round's symbols in lanes (a short last round padded with zeros), I and Q apart.
    Floats8 y0 = {}, y1 = {};
    if (length == kCostasRound) {
      std::memcpy(&y0, symbols + begin, sizeof y0);
      std::memcpy(&y1, symbols + begin + 4, sizeof y1);
    } else {
      float padded[2 * kCostasRound] = {};
      std::memcpy(padded, symbols + begin, length * sizeof(std::complex<float>));
      std::memcpy(&y0, padded, sizeof y0);
      std::memcpy(&y1, padded + 8, sizeof y1);
    }
    const Floats8 yr = __builtin_shufflevector(y0, y1, 0, 2, 4, 6, 8, 10, 12, 14);
    const Floats8 yi = __builtin_shufflevector(y0, y1, 1, 3, 5, 7, 9, 11, 13, 15);
    const float rr = rotation_re * inverse, ri = rotation_im * inverse;
    // The rotation k symbols on: exp(-j step k) to second order.
    const Floats8 a = step * lane, cosine = 1 - 0.5f * a * a;
    const Floats8 wr = rr * cosine + ri * a, wi = ri * cosine - rr * a;
    const Floats8 i = yr * wr - yi * wi;
    const Floats8 q = yr * wi + yi * wr;
    // Decision-directed phase error: sign(I) Q - sign(Q) I.
    const Floats8 error_terms = q * CopySign(1.0f, i) - i * CopySign(1.0f, q);
    // Soft values: positive = bit 1, a clean symbol at +-kSoftSymbolAmplitude.
    const Floats8 si = Clamp127(i * kSoftScale), sq = Clamp127(q * kSoftScale);
    const Ints8 vi = __builtin_convertvector(si + CopySign(0.5f, si), Ints8);
    const Ints8 vq = __builtin_convertvector(sq + CopySign(0.5f, sq), Ints8);
    typedef int8_t Bytes8 __attribute__((vector_size(8)));
    const Bytes8 v0 =
        __builtin_convertvector(__builtin_shufflevector(vi, vq, 0, 8, 1, 9, 2, 10, 3, 11), Bytes8);
    const Bytes8 v1 = __builtin_convertvector(
        __builtin_shufflevector(vi, vq, 4, 12, 5, 13, 6, 14, 7, 15), Bytes8);
    // Lock and SNR statistics.
    const Floats8 i2 = i * i, q2 = q * q, r2 = i2 + q2;
    const Floats8 re4 = (i2 - q2) * (i2 - q2) - 4 * i2 * q2;
    const Floats8 share = re4 / (r2 * r2 + 1e-30f);
    const Floats8 p0 = __builtin_shufflevector(i, q, 0, 8, 1, 9, 2, 10, 3, 11);
    const Floats8 p1 = __builtin_shufflevector(i, q, 4, 12, 5, 13, 6, 14, 7, 15);
    std::memcpy(errors, &error_terms, sizeof errors);
    std::memcpy(shares, &share, sizeof shares);
    std::memcpy(powers, &r2, sizeof powers);
    // The sums symbol by symbol, in order (the loop and the statistics the same to the bit
    // whatever the round's length). The powers are read one by one as the compiler cannot see
    // through: it would square them as a vector and sum the squares apart, where each square is
    // fused with its sum on machines that fuse, as a symbol at a time has it.
    float error = 0, metric = 0, m2 = 0, m4 = 0;
    const volatile float* power = powers;
    for (size_t k = 0; k < length; ++k) {
      const float r2 = power[k];
      error += errors[k];
      metric -= shares[k];
      m2 += r2;
      m4 += r2 * r2;
    }
    if (length == kCostasRound) {
      std::memcpy(soft + 2 * begin, &v0, sizeof v0);
      std::memcpy(soft + 2 * begin + 8, &v1, sizeof v1);
    } else {
      std::memcpy(values, &v0, sizeof v0);
      std::memcpy(values + 8, &v1, sizeof v1);
      std::memcpy(soft + 2 * begin, values, 2 * length);
    }
    if (length == kCostasRound && recent_next + kCostasRound <= kRecentSymbols) {
      float* ring = reinterpret_cast<float*>(recent + recent_next);
      std::memcpy(ring, &p0, sizeof p0);
      std::memcpy(ring + 8, &p1, sizeof p1);
    } else {
      std::memcpy(points, &p0, sizeof p0);
      std::memcpy(points + 8, &p1, sizeof p1);
      for (size_t k = 0; k < length; ++k)
        recent[(recent_next + k) % kRecentSymbols] = {points[2 * k], points[2 * k + 1]};
    }
    recent_next = (recent_next + length) % kRecentSymbols;
    // The loop: phase += length * step + p e, step += i e.
    const float turn = static_cast<float>(length) * step + costas_p * error;
    step += costas_i * error;
    const float cr = 1 - 0.5f * turn * turn;
    const float re = rotation_re * cr + rotation_im * turn;
    rotation_im = rotation_im * cr - rotation_re * turn;
    rotation_re = re;
    sum_metric += metric, sum_m2 += m2, sum_m4 += m4, sum_turned += turn;
  }
  step_state = step;
  rotation_state = {rotation_re, rotation_im};
  recent_state = recent_next;
  sums.metric += sum_metric, sums.m2 += sum_m2, sums.m4 += sum_m4, sums.turned += sum_turned;
}

void QpskDemodulator::TrackCarrier(std::vector<int8_t>& out) {
  const float costas_p = static_cast<float>(costas_p_), costas_i = static_cast<float>(costas_i_);
  float step = static_cast<float>(carrier_step_);
  std::complex<float> rotation = rotation_;
  size_t n = 0;
  while (n < symbols_.size() && state_ != State::kSearching && !restart_) {
    const size_t end = std::min(symbols_.size(), n + (kLockWindowSymbols - window_symbols_));
    const size_t first = pending_.size();
    pending_.resize(first + 2 * (end - n));
    int8_t* soft = pending_.data() + first;
    CostasSums sums;
    RunCostas(symbols_.data() + n, end - n, inverse_amplitude_, costas_p, costas_i, step, rotation,
              soft, recent_.data(), recent_next_, sums);
    n = end;
    const double metric = sums.metric, m2 = sums.m2, m4 = sums.m4, turned = sums.turned;
    rotation /= std::abs(rotation);
    const size_t taken = (pending_.size() - first) / 2;
    recent_count_ = std::min(kRecentSymbols, recent_count_ + taken);
    window_symbols_ += taken;
    window_metric_ += metric, window_m2_ += m2, window_m4_ += m4;
    window_turned_ += turned;
    block_symbol_ = n;
    if (window_symbols_ == kLockWindowSymbols) EndWindow(out, false);
  }
  rotation_ = rotation;
  carrier_step_ = state_ == State::kSearching ? 0 : step;
}

// Whether the decisions of `count` symbols (soft values, I then Q) change as data does. A carrier
// without modulation (a receiver's spur, a test carrier) gives as perfect a constellation as a
// signal, but its decisions never change; scrambled, coded data changes sign about every other
// symbol on each rail.
bool Modulated(const int8_t* soft, size_t count) {
  if (count < 16) return true;  // too few to tell
  size_t changes = 0;
  for (size_t k = 1; k < count; ++k)
    changes += ((soft[2 * k] < 0) != (soft[2 * k - 2] < 0)) +
               ((soft[2 * k + 1] < 0) != (soft[2 * k - 1] < 0));
  const double fraction = static_cast<double>(changes) / (2.0 * static_cast<double>(count - 1));
  return fraction > kLeastChanges && fraction < 1 - kLeastChanges;
}

void QpskDemodulator::EndWindow(std::vector<int8_t>& out, bool final_piece) {
  const size_t count = window_symbols_;
  const size_t start = pending_.size() - 2 * count;
  if (count == 0) return;
  double metric = window_metric_ / static_cast<double>(count);
  if (!Modulated(pending_.data() + start, count)) metric = 0;
  const double m2 = window_m2_ / static_cast<double>(count);
  const double m4 = window_m4_ / static_cast<double>(count);
  const double turned = window_turned_;
  ClearWindow();
  // The carrier's offset is measured over windows that show the signal with the lock held (not
  // the turns the loop pulls in while acquiring).
  if (state_ == State::kLocked && metric >= kHoldMetric)
    block_turned_ += turned, block_symbols_ += count;
  // Too short a last piece to judge goes with the lock as it stands.
  const bool judged = !final_piece || count >= 64;
  windows_.push_back({start, judged ? metric : (state_ == State::kLocked ? 1.0 : 0.0)});
  // The symbol scale for the next window (m2 and m4 are of symbols already scaled by it):
  // the signal's power by M2M4, whose root is the amplitude to take off.
  const double signal_power = std::sqrt(std::max(0.0, 2 * m2 * m2 - m4));
  if (judged && metric >= kHoldMetric && signal_power > 1e-6)
    inverse_amplitude_ = static_cast<float>(inverse_amplitude_ / std::sqrt(signal_power));

  const double snr = SnrDb(m2, m4);
  const double window_metric = windows_.back().metric;
  if (state_ == State::kAcquiring) {
    good_run_ = window_metric >= kAcquireMetric ? good_run_ + 1 : 0;
    if (good_run_ >= kWindowsToLock) {
      // The loops pulled in somewhere in the signal's first windows, and what they made before
      // is wrong: nothing of it is written. WarmRestart demodulates the held samples again from
      // the signal's rise with what the loops converged to. (Where the windows in a row that
      // show the signal begin, in samples of acquired_, in case the rise cannot be told.)
      size_t first = windows_.size() - 1;
      while (first > 0 && windows_[first - 1].metric >= kHoldMetric) --first;
      good_from_ =
          static_cast<size_t>(static_cast<double>(windows_[first].start / 2) * timing_.period());
      Enter(State::kLocked);
      restart_ = true;
    }
  } else if (state_ == State::kLocked) {
    // After windows without the signal, one that shows it must show it as clearly as one that
    // takes the lock: noise passes the hold threshold about one window in 300, and such a
    // window would write the noise held before it (a frame of it after a pass's set).
    const bool good =
        window_metric >= (bad_run_ >= kBadWindowsToDoubt ? kAcquireMetric : kHoldMetric);
    if (leading_ && !good) {
      // A restart begins a little before the signal's rise: the windows of noise before it are
      // not written but for the last, where the signal may rise too late to show. Past the lock
      // point the signal was seen: from there bad windows count toward losing it.
      if (windows_.size() > 1) {
        const size_t keep = windows_.back().start;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(keep));
        windows_.assign(1, {0, window_metric});
      }
      const double at =
          static_cast<double>(block_start_) + static_cast<double>(block_symbol_) * timing_.period();
      if (at < static_cast<double>(lock_sample_)) return;
      leading_ = false;
    }
    if (good) {
      leading_ = false;
      bad_run_ = 0;
      WritePending(windows_.front().start, out);
    } else if (++bad_run_ >= kWindowsToLoseLock) {
      // The first window without the signal may still hold its last symbols (it set or faded
      // within that window): written; the windows after it are noise.
      WritePending(windows_.front().start, out,
                   windows_.size() > 1 ? windows_[1].start : pending_.size());
      ++summary_.locks_lost;
      Enter(State::kSearching);
      return;
    }
  }
  if (state_ == State::kLocked && window_metric >= kHoldMetric && !restart_) {
    last_snr_db_ = snr;
    second_m2_ += m2, second_m4_ += m4, ++second_windows_;
  }
}

void QpskDemodulator::WritePending(size_t from, std::vector<int8_t>& out, size_t to) {
  to = std::min(to, pending_.size());
  out.insert(out.end(), pending_.begin() + static_cast<long>(from),
             pending_.begin() + static_cast<long>(to));
  const uint64_t symbols = (to - from) / 2;
  summary_.symbols += symbols;
  summary_.locked_seconds += static_cast<double>(symbols) * timing_.period() / config_.sample_rate;
  DropHeld();
}

void QpskDemodulator::Enter(State state) {
  state_ = state;
  switch (state) {
    case State::kSearching:
      acquired_.clear();
      restart_ = leading_ = false;
      DropHeld();
      ClearWindow();
      recent_count_ = 0;
      last_snr_db_ = NAN;
      break;
    case State::kAcquiring:
      timing_.Reset();
      timing_.SetLoopBandwidth(kTimingAcquireBandwidth);
      LoopGains(kCarrierAcquireBandwidth, kCostasGain, costas_p_, costas_i_);
      rotation_ = {1, 0};
      carrier_step_ = 0;
      inverse_amplitude_ = 1.4f;
      good_run_ = 0;
      acquire_blocks_left_ = kAcquireBlocks;
      break;
    case State::kLocked:
      timing_.SetLoopBandwidth(kTimingTrackBandwidth);
      LoopGains(kCarrierTrackBandwidth, kCostasGain, costas_p_, costas_i_);
      bad_run_ = 0;
      ++summary_.locks;
      lock_sample_ = block_start_ +
                     static_cast<uint64_t>(static_cast<double>(block_symbol_) * timing_.period());
      if (std::isnan(summary_.first_lock_seconds))
        summary_.first_lock_seconds = static_cast<double>(lock_sample_) / config_.sample_rate;
      break;
  }
}

// Where the signal rises in `count` conditioned samples whose carrier is at `step` rad per sample
// and which show the signal just before sample `lock` (where the lock was taken). Per window of
// kRiseWindow samples, the strength of the carrier's fourth-power line relative to the window's
// power: about 0.07 for noise, 0.35 for the signal at Es/N0 9 dB. The rise is where the strength
// goes from the noise's to the signal's (the signal's: the windows before the lock point): the
// point that minimises the sum, over the windows before it, of their strength less the midpoint
// of the two (one noisy window does not move it far). Returns the start of the kRiseMargin-th
// window before that point (at Es/N0 5 dB a window of the signal may read as weak as the noise),
// 0 when the signal is there from the first windows, SIZE_MAX when it is too weak to tell.
size_t SignalStart(const std::complex<float>* samples, size_t count, double step, size_t lock) {
  const size_t windows = std::min(count, lock) / kRiseWindow;
  if (windows < 2) return 0;
  std::vector<double> strength(windows);
  const std::complex<double> turn = std::polar(1.0, -step);
  std::complex<double> rotor = 1;
  for (size_t w = 0; w < windows; ++w) {
    std::complex<double> line = 0;
    double power = 0;
    for (size_t n = w * kRiseWindow; n < (w + 1) * kRiseWindow; ++n) {
      const std::complex<double> z = std::complex<double>(samples[n]) * rotor;
      const std::complex<double> z2 = z * z;
      line += z2 * z2;
      power += std::norm(z2);
      rotor *= turn;
    }
    rotor /= std::abs(rotor);
    strength[w] = power > 0 ? std::abs(line) / power : 0;
  }
  // Complex Gaussian noise: |sum z^4| / sum |z|^4 is Rayleigh with an rms of sqrt(6 / n).
  const double noise = std::sqrt(kPi / 4) * std::sqrt(6.0 / kRiseWindow);
  const size_t tail = std::min<size_t>(4, windows);
  double signal = 0;
  for (size_t w = windows - tail; w < windows; ++w) signal += strength[w] / tail;
  if (!(signal > 2 * noise)) return SIZE_MAX;  // (Es/N0 under about 3 dB)
  const double middle = 0.5 * (noise + signal);
  double sum = 0, least = 0;
  size_t rise = 0;
  for (size_t w = 0; w < windows; ++w) {
    sum += strength[w] - middle;
    if (sum < least) least = sum, rise = w + 1;
  }
  // A weak signal there all along puts the least sum anywhere: the windows before the rise must
  // look like noise (their mean within two standard errors of its, Rayleigh: the rms times
  // sqrt(1 - pi / 4); or nearer it than the signal by three to one: a receiver's noise is not
  // quite white).
  if (rise > 0) {
    double before = 0;
    for (size_t w = 0; w < rise; ++w) before += strength[w];
    before /= static_cast<double>(rise);
    const double spread = std::sqrt(1 - kPi / 4) * std::sqrt(6.0 / kRiseWindow);
    if (before > noise + std::max(2 * spread / std::sqrt(static_cast<double>(rise)),
                                  0.25 * (signal - noise)))
      return SIZE_MAX;
  }
  return rise > kRiseMargin ? (rise - kRiseMargin) * kRiseWindow : 0;
}

// The lock was just taken, on loops that pulled in somewhere in the signal's first windows: their
// symbols until then are wrong (and a frame's marker among them is lost: the first CADU of a pass
// with the sample clock 50 ppm off was). The held samples are demodulated again from just before
// the signal's rise (SignalStart), the NCO at the frequency the loops converged to:
//  - a run-in: the loops pull in with the acquisition bandwidths over the margin before the rise
//    and kPullInSymbols of the signal, then track over kRunInSymbols, where the carrier's
//    frequency and the symbol period are measured from the phase turned and the instants passed
//    (the loops' integrators alone are off by up to 200 ppm and 100 Hz at Es/N0 5.5 dB; the
//    measures, by about 20 ppm and 2 Hz);
//  - the symbol instants are taken back to the rise from the end of the pull-in, the carrier's
//    phase from the end of the run-in (a few hundredths of a sample and of a radian);
//  - the loops run from there with the tracking bandwidths, writing every symbol but the windows
//    of noise before the first that shows the signal (the one just before it is written: the
//    signal may rise late in it). No more than the margin, about 1200 symbols, of noise is written.
// The run-in and the pass again cost about a block once per lock.
void QpskDemodulator::WarmRestart(std::vector<int8_t>& out) {
  restart_ = false;
  const double step = nco_step_;  // the Costas loop's frequency was handed to it
  const size_t count = acquired_.size();
  size_t start =
      SignalStart(acquired_.data(), count, step,
                  lock_sample_ > acquired_start_ ? lock_sample_ - acquired_start_ : count);
  // Too weak to tell: from the margin before the windows in a row that took the lock.
  if (start == SIZE_MAX) start = good_from_ - std::min(good_from_, (kRiseMargin + 1) * kRiseWindow);
  start = std::min(start, count);
  const std::complex<float>* samples = acquired_.data() + start;
  const size_t left = count - start;

  // The run-in: pulling in, then tracking. The pull-in reaches a lock window past the margin: a
  // start taken from the windows that took the lock may precede the rise by up to a window, and
  // a loop that pulled in on noise alone would measure its frequency while still pulling in.
  const double first_period = timing_.period();
  const size_t pull_in = std::min(
      left / 2, (kRiseMargin + 1) * kRiseWindow +
                    static_cast<size_t>((kPullInSymbols + kLockWindowSymbols) * first_period));
  const size_t track = std::min(left - pull_in, static_cast<size_t>(kRunInSymbols * first_period));
  nco_step_ = step;
  nco_phase_ = 0;
  timing_.Restart(first_period, 0);
  timing_.SetLoopBandwidth(kTimingAcquireBandwidth);
  LoopGains(kCarrierAcquireBandwidth, kCostasGain, costas_p_, costas_i_);
  float costas_step = 0;
  std::complex<float> rotation{1, 0};
  CostasSums tracked;
  double tracked_from = 0;
  size_t tracked_symbols = 0;
  auto run = [&](const std::complex<float>* from, size_t length, CostasSums& sums) {
    MixDown(from, length);
    symbols_.clear();
    timing_.Process(mixed_.data(), mixed_.size(), symbols_);
    run_in_soft_.resize(2 * symbols_.size());
    for (size_t n = 0; n < symbols_.size(); n += kLockWindowSymbols) {
      RunCostas(symbols_.data() + n, std::min(kLockWindowSymbols, symbols_.size() - n),
                inverse_amplitude_, static_cast<float>(costas_p_), static_cast<float>(costas_i_),
                costas_step, rotation, run_in_soft_.data() + 2 * n, recent_.data(), recent_next_,
                sums);
      rotation /= std::abs(rotation);
    }
    return symbols_.size();
  };
  CostasSums pulled;
  run(samples, pull_in, pulled);
  timing_.SetLoopBandwidth(kTimingTrackBandwidth);
  LoopGains(kCarrierTrackBandwidth, kCostasGain, costas_p_, costas_i_);
  tracked_from = timing_.NextSymbolInstant();
  tracked_symbols = run(samples + pull_in, track, tracked);
  const double next = timing_.NextSymbolInstant();
  double period = timing_.period();
  double turn = costas_step;  // rad per symbol
  if (tracked_symbols >= kRunInSymbols / 4) {
    period = (next - tracked_from) / static_cast<double>(tracked_symbols);
    turn = tracked.turned / static_cast<double>(tracked_symbols);
  }
  // Back to the symbol instant nearest the rise (a signal there from the recording's first sample
  // has its first symbol there): the instants from the end of the pull-in, the nearest to the rise
  // the loop has them right (the period's measure is the less exact), the carrier's phase from the
  // run-in's end (the rotation turns by -turn a symbol).
  const double back = std::floor(tracked_from / period + 0.5);
  const double first = tracked_from - back * period;
  rotation *= std::polar(1.0f, static_cast<float>(turn * (back + tracked_symbols)));

  // The pass that writes.
  nco_phase_ = 0;
  timing_.Restart(period, first);
  rotation_ = rotation / std::abs(rotation);
  carrier_step_ = turn;
  DropHeld();
  ClearWindow();
  bad_run_ = 0;
  leading_ = true;
  block_start_ = acquired_start_ + start;
  Demodulate(samples, left, out);
  acquired_.clear();
}

void QpskDemodulator::StartAcquisition(double offset_hz) {
  nco_step_ = 2 * kPi * offset_hz / config_.sample_rate;
  nco_phase_ = 0;
  offset_hz_ = offset_hz;
  Enter(State::kAcquiring);
}

double QpskDemodulator::OffsetHz() const {
  return offset_hz_;
}

void QpskDemodulator::EmitReports(bool final_piece) {
  auto emit = [this](double seconds) {
    SignalReport report;
    report.seconds = seconds;
    report.carrier_offset_hz = OffsetHz();
    report.locked = state_ == State::kLocked;
    if (second_windows_ > 0) {
      report.snr_db =
          SnrDb(second_m2_ / static_cast<double>(second_windows_), second_m4_ / second_windows_);
      if (std::isfinite(report.snr_db) &&
          !(report.snr_db <= summary_.best_snr_db))  // NaN best: the first one
        summary_.best_snr_db = report.snr_db;
    }
    reports_.push_back(report);
    second_m2_ = second_m4_ = 0;
    second_windows_ = 0;
  };
  const uint64_t per_second = static_cast<uint64_t>(std::llround(config_.sample_rate));
  while (samples_done_ >= next_report_at_) {
    emit(static_cast<double>(next_report_at_) / config_.sample_rate);
    next_report_at_ += std::max<uint64_t>(per_second, 1);
  }
  if (final_piece && samples_done_ > next_report_at_ - per_second)
    emit(static_cast<double>(samples_done_) / config_.sample_rate);
}

}  // namespace

std::unique_ptr<Demodulator> MakeQpskDemodulator(const DemodulatorConfig& config) {
  return std::make_unique<QpskDemodulator>(config);
}

}  // namespace vantrel
