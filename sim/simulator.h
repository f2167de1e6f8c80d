#pragma once

// Recording simulator: builds raw recordings of satellite passes in memory from synthetic
// instrument data, encoded the way the satellites send them (CCSDS Reed-Solomon through libfec,
// PN randomisation, attached sync markers), with impairments. Every recording comes with its
// truth: the frame bodies, packets or lines that went in, so tests can compare products with what
// went in rather than with the program's own output. Independent of the decoding code.
//
// Determinism: everything random comes from std::mt19937_64 seeded with the caller's seed. The
// instrument content and the impairments draw from separate generators derived from that seed, so
// the same seed gives the same content (and the same frame truth) whatever impairments are chosen.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace vantrel::sim {

// ---- CADU layer -----------------------------------------------------------------------------

inline constexpr uint32_t kAttachedSyncMarker = 0x1ACFFC1D;
inline constexpr size_t kMarkerSize = 4;
inline constexpr size_t kCodeBlockSize = 1020;  // 4 interleaved RS(255,223) codewords
inline constexpr size_t kCaduSize = kMarkerSize + kCodeBlockSize;
inline constexpr size_t kVcduSize = 892;  // data symbols of one code block
inline constexpr size_t kInterleaveDepth = 4;
inline constexpr size_t kCodewordLength = 255;
inline constexpr size_t kCodewordDataLength = 223;
inline constexpr size_t kCodewordParityLength = 32;
inline constexpr int kCorrectableSymbolErrors = 16;
inline constexpr int kUncorrectableSymbolErrors = 24;  // what uncorrectable_every puts in
inline constexpr uint64_t kDefaultSeed = 20181231;

struct CaduEncoding {
  bool reed_solomon = true;  // bodies are RS code blocks; symbol errors up to 16 are corrected
  bool randomise = true;     // CCSDS PN sequence over the 1020 bytes after the marker
};

// Applied to the whole recording, in this order: noise and frames are laid out, marker and symbol
// errors put in, then the bit shift, then the inversion.
struct Impairments {
  int bit_shift = 0;            // 0..7 random bits prepended before everything
  bool invert = false;          // every bit of the recording inverted
  size_t noise_before = 0;      // random bytes before the first marker
  size_t noise_between = 0;     // random bytes between consecutive CADUs (0 = back to back)
  int marker_errors = 0;        // bit errors flipped in every marker but the first one (0..32)
  int symbol_errors = 0;        // symbol errors in every RS codeword (<=16 correctable)
  int uncorrectable_every = 0;  // frames N-1, 2N-1, ... get 24 errors in one codeword (0 = never)
  size_t noise_after = 0;       // random bytes after the last CADU
};

struct Recording {
  std::vector<uint8_t> bytes;  // the raw recording
  // Per CADU, in recording order: the 1020 bytes cadu.pds must hold for it when decoded with
  // de-randomisation and correction set as encoded: the clean code block, except codewords with
  // more than 16 errors, which keep their errors (as a decoder leaves them); with reed_solomon off
  // the errors stay everywhere. Which CADUs a decoder loses (an inverted stream's first one, a
  // first marker with errors, a CADU cut by the end) is for the caller to reason about.
  std::vector<std::vector<uint8_t>> frames;
};

// The CCSDS pseudo-random sequence (x^8 + x^7 + x^5 + x^3 + 1, all ones at the start), first
// `length` bytes. It repeats every 255 bytes.
std::vector<uint8_t> PnSequence(size_t length);

// Code block of one 892-byte VCDU: 4 interleaved codewords (byte 4j + i is symbol j of codeword
// i), data and 128 check bytes in the CCSDS dual-basis representation -> 1020 bytes.
std::vector<uint8_t> EncodeCodeBlock(const uint8_t* vcdu892);
void EncodeCodeBlock(const uint8_t* vcdu892, uint8_t* block1020);

// Receives pieces of a recording or of its truth as they are produced.
using ByteSink = std::function<void(const uint8_t* data, size_t size)>;

// Lays out CADUs with their impairments and streams the recording to a sink, so recordings of any
// size can be made in constant memory. Random noise is shaped so that no 32-bit window of it (or
// across its edges) comes within 6 bit errors of the marker, nor equals the inverted marker, and
// the first window after a locked run of frames stays more than 20 bits away: noise never looks
// like a frame to a decoder. Frame content is not shaped.
class CaduStream {
 public:
  CaduStream(const CaduEncoding& encoding, const Impairments& impairments, uint64_t seed,
             ByteSink recording);
  // Manchester coding of the finished stream (1 -> 10, 0 -> 01), after the impairments. The plain
  // stream is padded with noise to a multiple of 512 bytes so that 1024-byte blocks of the coded
  // recording cover all of it. Call before the first frame.
  void SetManchester(bool on) { manchester_ = on; }

  // Adds one CADU with this 1020-byte body; writes its truth (see Recording::frames) to truth1020.
  void AddFrame(const uint8_t* body1020, uint8_t* truth1020);
  // Writes the noise after the last frame and the last partial byte. Nothing may follow.
  void Finish();

  uint64_t frames() const { return frames_; }
  uint64_t bytes_written() const { return bytes_written_; }

 private:
  void Emit(const uint8_t* data, size_t size);
  void EmitNoise(size_t count, bool after_frame, const uint8_t* next_marker);

  CaduEncoding encoding_;
  Impairments impairments_;
  std::mt19937_64 rng_;
  std::mt19937_64 shift_rng_;
  ByteSink sink_;
  bool manchester_ = false;
  std::vector<uint8_t> pn_;
  uint64_t frames_ = 0;
  uint64_t plain_bytes_ = 0;    // bytes laid out before the shift
  uint64_t bytes_written_ = 0;  // bytes handed to the sink
  uint8_t last_byte_ = 0;       // last byte laid out (before the shift)
  uint8_t carry_ = 0;           // low bits of the previous byte waiting for the shift
  bool started_ = false;
  bool finished_ = false;
  std::vector<uint8_t> out_;
};

// Builds marker + (randomised) code block per frame, then applies the impairments.
Recording MakeCaduRecording(const std::vector<std::vector<uint8_t>>& frame_bodies_1020,
                            const CaduEncoding& encoding, const Impairments& impairments,
                            uint64_t seed);

}  // namespace vantrel::sim
