#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/chain_runner.h"
#include "core/satellite.h"
#include "core/stage_host.h"
#include "sync/cadu_marker_scan.h"
#include "sync/differential_dibits.h"
#include "viterbi/code_screen.h"
#include "viterbi/phase_search.h"
#include "viterbi/reencoding_check.h"
#include "viterbi/viterbi_decoder.h"

namespace vantrel {

// Where MetOp's code was found in a block of QPSK soft values: the phase to undo, and the value
// of the block the first whole puncturing period starts at (0 to 3; odd when a value was lost
// between I and Q).
struct MetopLock {
  QpskPhase phase;
  size_t offset = 0;
  bool inverted = false;        // the decoded bits are inverted (a half turn more than `phase`)
  double channel_errors = 1.0;  // the re-encoding error rate the search measured
};

// Whether decoded bits hold CADU sync markers (0x1ACFFC1D, or all of them inverted) at two or
// more places 1024 bytes apart at one bit offset, each with at most three bits wrong: nullopt
// when they do not, else whether the markers are inverted.
std::optional<bool> CaduMarkersInverted(const uint8_t* bytes, size_t bit_count);

// Searches a block of MetOp QPSK soft values (I then Q) for the code: every phase, swap and start
// of the puncturing period is ranked by its re-encoding errors, and the best few are decoded and
// kept only when the bits hold CADU markers (which alone tell a quarter turn from a swap). Needs
// about three frames of symbols (some 22 000 values); nullopt when none fits. A half turn, which
// the code cannot tell, is told by the markers: the lock's bits are then inverted.
std::optional<MetopLock> FindMetopLock(const int8_t* values, size_t count);

// FindMetopLock with its working storage kept from one search to the next. A trial decode goes
// on from the ranking's decoder of its candidate (the ranked values are the block's first), and
// stops as soon as the bits left could no longer hold two markers a frame apart.
class MetopLockSearch {
 public:
  std::optional<MetopLock> Find(const int8_t* values, size_t count);

 private:
  // The block decoded with one candidate from where its ranking stopped: whether the bits hold
  // markers, and their polarity, as CaduMarkersInverted on the whole decode says.
  std::optional<bool> DecodeForMarkers(PhaseTrial& trial, size_t offset, const int8_t* values,
                                       size_t count);

  CodeScreen screen_;
  std::vector<PhaseTrial> trials_[2];  // of the pairs from value 0 and from value 1
  std::vector<int8_t> symbols_;
  std::vector<MarkerHit> hits_;
};

// What the soft-symbol decoding of a pass came to.
struct SoftDecodeSummary {
  uint64_t symbols = 0;           // soft values read
  uint64_t searches = 0;          // lock searches run
  uint64_t locks = 0;             // locks found (the first and every one after a loss)
  uint64_t locks_lost = 0;        // times the lock was lost mid-pass
  uint64_t first_lock_value = 0;  // the value the first lock starts at
  std::string first_lock;         // how the first lock was found; empty when none was
  uint64_t compared = 0;          // symbols compared with the re-encoded bits while locked
  uint64_t errors = 0;            // of those, the ones that disagree
  uint64_t bits = 0;              // decoded bits handed out
};

// A decoder of one downlink's soft symbols into bits, as the soft-symbol stage drives it: blocks
// of soft values in, the decoded bits out (packed, most significant bit first, the polarity as
// sent). MakeSoftSymbolDecoder makes the one of a downlink's coding.
class SoftSymbolDecoder {
 public:
  virtual ~SoftSymbolDecoder() = default;
  // Takes the next block of soft values; appends the bits decoded so far to `out`.
  virtual void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) = 0;
  // Ends the stream: every bit still in the decoder goes to `out`.
  virtual void Finish(std::vector<uint8_t>& out) = 0;
  // What the decoding came to so far. An uncoded downlink has no lock: its first_lock tells the
  // polarity once the markers showed it.
  virtual const SoftDecodeSummary& Summary() const = 0;
};

// The decoder of `decoding`: MetopSoftDecoder, Fy3SoftDecoder, or one that reads each value's
// sign as a bit and turns the bits back when the CADU markers come inverted (a half turn of a
// BPSK carrier).
std::unique_ptr<SoftSymbolDecoder> MakeSoftSymbolDecoder(SoftDecoding decoding);

// Turns a MetOp soft-symbol stream, in blocks, into the decoded bit stream (packed, most
// significant bit first, inverted when the lock's markers were, so that the CADU stage sees the
// frames as sent from the first on). Until the code is found each block is searched; once found,
// the block it was found in, and the one searched in vain just before it (where the signal may
// have begun, too short to find), are decoded from the lock on, so no frame is lost. The decoded
// bits are re-encoded and compared with the symbols received: a block whose error rate rises well
// above the rate at the lock is searched again, and a lock found elsewhere (a phase jump, a lost
// symbol) replaces the old one; none at all means the lock is lost and every block is searched
// until one is found.
class MetopSoftDecoder : public SoftSymbolDecoder {
 public:
  // Values per block the stage hands over (a multiple of 4: whole puncturing periods).
  static constexpr size_t kBlockValues = 65536;

  void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) override;
  void Finish(std::vector<uint8_t>& out) override;
  bool Locked() const { return locked_; }
  const SoftDecodeSummary& Summary() const override { return summary_; }

 private:
  void StartLock(const MetopLock& lock, const int8_t* values, size_t count,
                 std::vector<uint8_t>& out);
  void Feed(const int8_t* values, size_t count, std::vector<uint8_t>& out);
  void EndLock(std::vector<uint8_t>& out);
  // Compares the decoded bits out[from_byte...] with the symbols sent.
  void Check(const std::vector<uint8_t>& out, size_t from_byte, size_t bits);

  ViterbiDecoder decoder_{ViterbiDecoder::Puncturing::kMetop};
  MetopLockSearch search_;
  SoftDecodeSummary summary_;
  bool locked_ = false;
  MetopLock lock_;
  uint64_t stream_values_ = 0;    // values of the stream before the current block
  uint64_t lock_start_ = 0;       // the stream value the decoder's first symbol is
  double lock_rate_ = 0;          // the error rate at the lock, what a rise is measured against
  std::vector<int8_t> pending_;   // a value waiting for the other half of its (I, Q) pair
  std::vector<int8_t> searched_;  // the last block searched in vain, not decoded
  ReencodingCheck check_{ViterbiDecoder::Puncturing::kMetop};
};

// Where FY-3's code was found in a block of QPSK soft values: each rail (I, Q) is coded on its
// own, so each has its own start of the puncturing period; the two decoded rails are then paired
// (one may lag the other by a few bits when a value was lost, or the branches be exchanged) and
// one inverted (a quarter turn) until the differential decoding gives CADU markers.
struct Fy3Lock {
  size_t rail_offset[2] = {0, 0};  // symbols of rail I and of rail Q before their first period
  int shift = 0;                   // bits of Y (> 0) or X (< 0) dropped to pair them
  bool exchanged = false;          // X comes from rail Q, Y from rail I
  bool invert_x = false;           // X inverted before the differential decoding
  bool inverted = false;           // the decoded bits inverted (the markers were)
  double channel_errors = 1.0;     // the worse rail's re-encoding error rate at the search
};
std::optional<Fy3Lock> FindFy3Lock(const int8_t* values, size_t count);

// FindFy3Lock with its working storage kept from one search to the next. Each rail's decode goes
// on from its ranking decoder; each pairing of the rails is decoded once and scanned for markers
// once as it is and once with a and b of its dibits exchanged, which is what exchanging the
// branches or inverting X gives (but for the first dibit, decoded again).
class Fy3LockSearch {
 public:
  std::optional<Fy3Lock> Find(const int8_t* values, size_t count);

 private:
  struct RailTrial {
    ViterbiDecoder decoder{ViterbiDecoder::Puncturing::kCommon};
    std::vector<uint8_t> bytes;
  };
  struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<MarkerHit> hits;
  };
  // Rail I's bits paired with rail Q's, the first -shift of I's dropped when the shift is
  // negative, the first shift of Q's when it is positive.
  struct Pairing {
    bool made = false;
    int shift = 0;
    size_t pairs = 0;
    Stream streams[2];  // decoded as it is, and with a and b of every dibit exchanged
  };
  Pairing& MakePairing(int shift);
  // hits_ with the words over the first dibit read again, that dibit decoded with X inverted.
  void FirstDibitAgain(const Pairing& pairing, bool exchanged, const Stream& stream);

  CodeScreen screen_;
  std::vector<int8_t> rails_[2];
  RailTrial trials_[2][ViterbiDecoder::kPunctureSymbols];  // per rail and period start
  BitQueue decoded_[2];
  Pairing pairings_[9];  // shifts -4 .. 4
  std::vector<MarkerHit> hits_;
};

// The FY-3 counterpart of MetopSoftDecoder: two decoders with the common rate-3/4 pattern, one
// per rail, the differential decoding of their bits, the lock searched on the first block (and
// that block decoded again once found) and searched again when a block's bits hold no markers.
class Fy3SoftDecoder : public SoftSymbolDecoder {
 public:
  void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) override;
  void Finish(std::vector<uint8_t>& out) override;
  const SoftDecodeSummary& Summary() const override { return summary_; }

 private:
  void StartLock(const Fy3Lock& lock, std::vector<uint8_t>& out);
  void Feed(size_t from_i, size_t from_q, std::vector<uint8_t>& out);
  void EndLock(std::vector<uint8_t>& out);
  void Pair(std::vector<uint8_t>& out);

  ViterbiDecoder decoders_[2] = {ViterbiDecoder(ViterbiDecoder::Puncturing::kCommon),
                                 ViterbiDecoder(ViterbiDecoder::Puncturing::kCommon)};
  ReencodingCheck checks_[2] = {ReencodingCheck(ViterbiDecoder::Puncturing::kCommon),
                                ReencodingCheck(ViterbiDecoder::Puncturing::kCommon)};
  Fy3LockSearch search_;
  SoftDecodeSummary summary_;
  bool locked_ = false;
  Fy3Lock lock_;
  uint64_t stream_values_ = 0;
  std::vector<int8_t> rails_[2];  // the current block's I and Q values
  std::vector<int8_t> searched_;  // the last block searched in vain, not decoded
  std::vector<uint8_t> packed_;   // a rail's decoded bytes
  BitQueue bits_[2];              // decoded bits of each rail not yet paired
  size_t drop_[2] = {0, 0};       // bits still to drop for the pairing
  DibitState dibits_;
  unsigned byte_ = 0;  // output bits not yet a whole byte
  int byte_bits_ = 0;
};

// The soft-symbol stage, first in a chain whose recording holds soft symbols: reads the
// recording, writes the bit stream the decoder of the run's downlink makes of it to soft.bits
// (MetOp and FY-3: Viterbi with the lock search; Meteor-M N2: the sign of each BPSK value) and
// adds its figures to the pass counts.
void SoftSymbolStep(StepIo& io);
extern const StepSpec kSoftSymbolStep;
// The step alone, on its working files.
void SoftSymbolStage(StageHost& host);

}  // namespace vantrel
