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

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
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

// A realistic pass: a bit error rate that falls from the horizon to the top of the pass and rises
// again, bit slips, phase flips and dropouts, placed over the expected length of the pass. Noise
// before rise and after set is Impairments::noise_before and noise_after.
struct PassProfile {
  bool enabled = false;
  uint64_t frames = 0;        // expected CADUs of the pass (the pass builders set it when 0)
  double ber_horizon = 2e-2;  // bit error rate of the first and last CADU
  double ber_top = 1e-6;      // bit error rate at the top of the pass
  int slips = 2;              // one bit inserted or removed in body bytes 200-799 of a CADU
  int phase_flips = 1;        // the stream inverted from body byte 200-799 of a CADU on
  int dropouts = 2;           // runs of CADUs missing from the recording
  int dropout_frames = 2;     // CADUs in each run
};

// What became of one CADU of a pass-profile recording, in the order the pass made them.
struct FrameFate {
  bool dropped = false;   // not in the recording at all
  bool damaged = false;   // a slip or a phase flip inside it: no decoder can recover it
  bool inverted = false;  // sent with inverted polarity (after a phase flip)
  int marker_errors = 0;  // bit errors in its marker
  std::array<int, 4> symbol_errors{};  // symbols with bit errors, per codeword
  bool whole = true;  // its data arrives intact (correctable, or without errors where no RS)
  int vcid = -1;      // virtual channel of the VCDU it carries (-1: a body made elsewhere)
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
  PassProfile profile;          // a realistic pass, on top of the above
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
  // Returns what the pass profile did to it (a dropped CADU has no truth: nothing was written).
  FrameFate AddFrame(const uint8_t* body1020, uint8_t* truth1020);
  // Writes the noise after the last frame and the last partial byte. Nothing may follow.
  void Finish();

  uint64_t frames() const { return frames_; }
  uint64_t bytes_written() const { return bytes_written_; }

 private:
  void Put(uint8_t byte);
  void Emit(const uint8_t* data, size_t size);
  void EmitNoise(size_t count, bool after_frame, const uint8_t* next_marker);
  void PlaceProfileEvents();
  double BitErrorRate(uint64_t index) const;
  void EmitWithSlip(const uint8_t* data, size_t size, size_t at);
  void AddBitErrors(uint8_t* cadu, double rate);
  void Flush();

  CaduEncoding encoding_;
  Impairments impairments_;
  std::mt19937_64 rng_;
  std::mt19937_64 shift_rng_;
  std::mt19937_64 profile_rng_;
  ByteSink sink_;
  bool manchester_ = false;
  std::vector<uint8_t> pn_;
  uint64_t frames_ = 0;
  uint64_t plain_bytes_ = 0;    // bytes handed on, before Manchester coding
  uint64_t bytes_written_ = 0;  // bytes handed to the sink
  uint8_t last_byte_ = 0;       // last byte laid out (before the shift)
  bool started_ = false;
  bool finished_ = false;
  std::vector<uint8_t> out_;
  // Pass profile: the events by frame index, the running bit offset the slips leave, and the
  // inversion a phase flip left.
  enum class Event : uint8_t { kNone, kSlip, kFlip, kDrop };
  std::vector<Event> events_;
  uint64_t profile_index_ = 0;  // frames made so far, dropped ones included
  uint32_t acc_ = 0;            // bits laid out but not yet handed on, in the low `pending_` bits
  int pending_ = 0;
  uint8_t flip_ = 0;  // XORed into every byte laid out from a phase flip on
};

// Builds marker + (randomised) code block per frame, then applies the impairments.
Recording MakeCaduRecording(const std::vector<std::vector<uint8_t>>& frame_bodies_1020,
                            const CaduEncoding& encoding, const Impairments& impairments,
                            uint64_t seed);

// Where the bytes of a pass's units (packets, lines) went: the stream of units is cut into zones
// of `zone_bytes`, zone z goes out in CADU zone_frames[z] (counted in the order the pass made
// them, dropped ones included), and unit u is stream bytes [units[u].first, units[u].second).
struct UnitLayout {
  size_t zone_bytes = 0;
  std::vector<std::pair<uint64_t, uint64_t>> units;
  std::vector<uint64_t> zone_frames;
};

// Where a streamed pass goes; empty functions are skipped.
struct PassSinks {
  ByteSink recording;                                          // the raw recording
  std::function<void(const uint8_t* frame1020)> frame;         // truth of each CADU, in order
  std::function<void(const uint8_t* unit, size_t size)> unit;  // each packet or line, in order
  std::function<void(const uint16_t* samples, size_t count)> samples;    // MN2: each line's samples
  std::function<void(const uint8_t* packet, size_t size)> short_packet;  // MetOp: short packets
  std::function<void(const FrameFate& fate)> fate;  // every CADU made, dropped ones included
  // After the last frame: for each unit in order, whether all CADUs carrying its bytes arrived
  // whole (see FrameFate::whole).
  std::function<void(const std::vector<bool>& whole)> whole_units;
  std::function<void(const UnitLayout& layout)> layout;  // after the last frame
};

// Random code blocks for CADU-only recordings: VCDUs of spacecraft 11 on channel 9 with counting
// frame counters and random data, RS-encoded; with reed_solomon off, 1020 random bytes.
std::vector<std::vector<uint8_t>> MakeRandomFrameBodies(size_t count, bool reed_solomon,
                                                        uint64_t seed);

// Streams a recording of `frames` CADUs with bodies from MakeRandomFrameBodies (same seed, same
// bodies); `unit` receives each body as made, `frame` its truth.
void StreamCaduPass(size_t frames, const CaduEncoding& encoding, const Impairments& impairments,
                    uint64_t seed, bool manchester, const PassSinks& sinks);

// ---- Passes ------------------------------------------------------------------------------------
// A pass can be streamed (any size, constant memory) or made in memory (the Make* functions).
// MetOp and FY-3 frames always carry their RS check bytes; CaduEncoding::reed_solomon only says
// whether a decoder is expected to correct (see Recording::frames).

inline constexpr int kIdleVcid = 63;
inline constexpr size_t kPacketZoneSize = 882;  // VCDU bytes 10-891
inline constexpr uint16_t kNoHeaderPointer = 0x7FF;

// MetOp AHRPT: AVHRR source packets of 12966 bytes (APID 103 day / 104 night) in M_PDUs on one
// virtual channel, idle VCDUs on channel 63 between them. Spacecraft ids 12, 11, 13 (A, B, C).
inline constexpr size_t kAvhrrPacketSize = 12966;
inline constexpr size_t kAvhrrSamples = 10240;
// Samples: the test pattern (sim/test_pattern.h), 2048 pixels of 5 pixel-interleaved channels,
// 10-bit words packed most significant bit first from bit 4 of byte 82, so that they fall on the
// product's earth-data words; the last sample's lowest 4 bits lie in byte 12882.
inline constexpr size_t kAvhrrSampleOffset = 82;
struct MetopOptions {
  char satellite = 'B';
  int packets = 20;  // AVHRR packets
  int apid = 103;
  bool mix_night = false;  // every second AVHRR packet has the other APID (103 <-> 104)
  int vcid = 9;
  int idle_every = 3;            // an idle VCDU after every N data VCDUs (0 = none)
  uint16_t start_day = 6939;     // days since 2000-01-01 (6939 = 31 December 2018)
  uint32_t start_ms = 36930000;  // millisecond of day of the first packet (10:15:30)
  int short_packets = 0;         // short packets (100..400 bytes) after each AVHRR packet, 0..3
  int short_apid = 105;          // their APID
};
struct MetopPass {
  Recording recording;
  // The AVHRR packets (12966 bytes each) in order, of both APIDs when mixed.
  std::vector<std::vector<uint8_t>> packets;
  std::vector<std::vector<uint8_t>> short_packets;  // the short ones, in order
};
MetopPass MakeMetopPass(const MetopOptions& options, const CaduEncoding& encoding,
                        const Impairments& impairments, uint64_t seed);
// Streams a pass; `unit` receives every AVHRR packet (not the short ones).
void StreamMetopPass(const MetopOptions& options, const CaduEncoding& encoding,
                     const Impairments& impairments, uint64_t seed, const PassSinks& sinks);
// Spacecraft id of MetOp-A/B/C or FY-3A/B/C; -1 for another letter.
int MetopSpacecraftId(char satellite);
int Fy3SpacecraftId(char satellite);

// FY-3: VIRR lines. Each transmitted line starts with the 60-bit HRPT frame sync (10-bit words
// 0x284 0x16F 0x35C 0x19D 0x20F 0x095), so its 31-bit line sync starts at bit 2. The truth line is
// what a decoder that copies lines from the sync's first bit writes: 26050 bytes starting at bit 2
// of the transmitted line. So its bits 0-57 are frame-sync bits 2-59, its last two bits are the
// first two bits of the next line's frame sync (1, 0), bytes 436-26035 hold the test pattern
// (2048 pixels of 10 pixel-interleaved VIRR channels, 10-bit words most significant bit first),
// bytes 26044-26047 hold the millisecond of day (big-endian, < 2^27, +167 ms per line), the rest
// is random. Random bytes are re-drawn where
// the stream would show a line sync anywhere but at a line start, at any bit offset.
// The line stream starts with `lead_bytes` random bytes (a line whose start was missed), is cut
// into 882-byte zones at VCDU bytes 10-891 (bytes 6-9 zero) on the chosen channel, padded with
// random bytes to a whole zone; VCDUs of the other channels are interleaved. Spacecraft ids 49,
// 50, 51 (A, B, C).
inline constexpr size_t kFy3LineSize = 26050;
inline constexpr size_t kFy3TimeOffset = 26044;
struct Fy3Options {
  char satellite = 'A';
  int lines = 10;
  int vcid = 5;                  // 5 VIRR day, 9 VIRR night, 3 MERSI
  int other_every = 1;           // a VCDU of another channel after every N data VCDUs (0 = none)
  size_t lead_bytes = 1000;      // random bytes before the first line
  uint32_t start_ms = 19410000;  // millisecond of day of the first line (05:23:30)
};
struct Fy3Pass {
  Recording recording;
  std::vector<std::vector<uint8_t>> lines;  // 26050 bytes each, decoder-aligned (see above)
};
Fy3Pass MakeFy3Pass(const Fy3Options& options, const CaduEncoding& encoding,
                    const Impairments& impairments, uint64_t seed);
void StreamFy3Pass(const Fy3Options& options, const CaduEncoding& encoding,
                   const Impairments& impairments, uint64_t seed, const PassSinks& sinks);

// Meteor-M N2: MSU-MR lines of 11850 bytes starting with the line sync (02 18 A7 A3), a line
// counter in bytes 4-7, 9408 10-bit samples of the test pattern packed most significant bit first
// in bytes 50-11809 (392 units of 4 pixels, each unit channel by channel: word 4g + j of unit u is
// channel g of pixel 4u + j), bytes 8-49 and 11810-11849 (j AND 0x0F) for byte j. The line stream
// (after `lead_bytes` random bytes, padded with random bytes to a whole frame) fills the four
// slices of each 1020-byte frame body behind 18 overhead bytes (non-zero); no RS, no PN. Random
// bytes of the lead are re-drawn where it would show the line sync; the lines never show it but at
// their start. Symbol errors damage lines here (there is no RS to repair them).
inline constexpr size_t kMn2LineSize = 11850;
inline constexpr size_t kMn2Samples = 9408;
inline constexpr size_t kMn2SampleOffset = 50;
inline constexpr size_t kMn2SliceOverhead = 18;
inline constexpr size_t kMn2StreamPerFrame = 948;
// Bytes 8-11 carry the line's time of day as the satellite's clock keeps it (Moscow time, UTC+3):
// hours, minutes, seconds and milliseconds / 4; the upper four bits of byte 12 the MSU-MR
// identifier (0 N2, 2 N2-2, 3 N2-3, 4 N2-4), its lower four bits 12 AND 0x0F.
inline constexpr size_t kMn2TimeOffset = 8;
inline constexpr size_t kMn2IdOffset = 12;
struct Mn2Options {
  int lines = 10;
  int msu_mr_id = 0;
  uint32_t start_ms = 47730000;  // Moscow time of day of the first line (13:15:30, 10:15:30 UTC)
  bool manchester = false;       // Manchester-code the finished recording (see CaduStream)
  size_t lead_bytes = 700;       // random bytes before the first line
};
struct Mn2Pass {
  Recording recording;
  std::vector<std::vector<uint8_t>> lines;     // 11850 bytes each
  std::vector<std::vector<uint16_t>> samples;  // 9408 10-bit samples per line
};
Mn2Pass MakeMn2Pass(const Mn2Options& options, const Impairments& impairments, uint64_t seed);
void StreamMn2Pass(const Mn2Options& options, const Impairments& impairments, uint64_t seed,
                   const PassSinks& sinks);

// 10-bit samples packed most significant bit first; `out` holds count * 10 / 8 bytes (rounded up).
void PackSamples10(const uint16_t* samples, size_t count, uint8_t* out);

}  // namespace vantrel::sim
