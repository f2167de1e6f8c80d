// Writes the fuzzers' seed corpora from simulated recordings: small inputs that already reach deep
// into each target (locked CADUs, correctable and uncorrectable frames, packets across M_PDUs,
// whole instrument lines). Usage: vantrel-fuzz-seeds FOLDER (makes FOLDER/<target>/seed_*).

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace vantrel::sim;

constexpr uint64_t kSeed = 20181231;
constexpr uint8_t kPn = 1, kRs = 2, kFullCadu = 4;  // asm_search option bits
constexpr size_t kDepth = 4;
constexpr size_t kMpduOffset = 6;  // an M_PDU is a VCDU without its primary header
constexpr int kVcid = 9;
constexpr uint8_t kVcidMask = 0x3F;

class SeedWriter {
 public:
  explicit SeedWriter(std::filesystem::path root) : root_(std::move(root)) {}
  void Write(const std::string& target, const Bytes& bytes) {
    const std::filesystem::path folder = root_ / target;
    std::filesystem::create_directories(folder);
    const std::filesystem::path path = folder / ("seed_" + std::to_string(++count_[target]));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    std::printf("%s %zu bytes\n", path.c_str(), bytes.size());
  }

 private:
  std::filesystem::path root_;
  std::map<std::string, int> count_;
};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Word(uint16_t value) {
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

uint8_t Reverse(uint8_t v) {
  uint8_t r = 0;
  for (int k = 0; k < 8; ++k) r = static_cast<uint8_t>(r | (((v >> k) & 1) << (7 - k)));
  return r;
}

void AsmSearchSeeds(SeedWriter& out) {
  struct Case {
    uint8_t options;
    CaduEncoding encoding;
    Impairments impairments;
    size_t frames;
  };
  const Case cases[] = {
      {kPn | kRs, {true, true}, {}, 5},
      {kPn | kRs,
       {true, true},
       {.bit_shift = 3, .noise_before = 100, .symbol_errors = 5, .profile = {}},
       5},
      {0, {false, false}, {.invert = true, .profile = {}}, 5},
      {kFullCadu, {false, false}, {.noise_between = 7, .marker_errors = 4, .profile = {}}, 6},
      {kRs, {true, false}, {.bit_shift = 6, .uncorrectable_every = 2, .profile = {}}, 6},
  };
  uint64_t seed = kSeed;
  for (const Case& c : cases) {
    const Recording recording =
        MakeCaduRecording(MakeRandomFrameBodies(c.frames, c.encoding.reed_solomon, seed),
                          c.encoding, c.impairments, seed);
    ++seed;
    out.Write("asm_search", Join({{c.options}, recording.bytes}));
  }
}

void ReedSolomonSeeds(SeedWriter& out) {
  std::mt19937_64 random(kSeed);
  const auto bodies = MakeRandomFrameBodies(6, true, kSeed);
  const int errors[] = {0, 1, 8, 16, 17, 24};
  for (size_t k = 0; k < bodies.size(); ++k) {
    // The codec receives every byte bit-reversed; errors are whole wrong symbols.
    Bytes frame(bodies[k].size());
    for (size_t j = 0; j < frame.size(); ++j) frame[j] = Reverse(bodies[k][j]);
    for (size_t c = 0; c < kDepth; ++c) {
      std::vector<size_t> positions(kCodewordLength);
      for (size_t j = 0; j < positions.size(); ++j) positions[j] = j;
      std::shuffle(positions.begin(), positions.end(), random);
      for (int e = 0; e < errors[k]; ++e)
        frame[positions[static_cast<size_t>(e)] * kDepth + c] ^=
            static_cast<uint8_t>(1 + random() % 255);
    }
    out.Write("reed_solomon", Join({{0}, frame}));
    Bytes codeword(kCodewordLength);
    for (size_t j = 0; j < kCodewordLength; ++j) codeword[j] = frame[j * kDepth];
    out.Write("reed_solomon", Join({{1}, codeword}));
    if (k == 2) {
      // The CCSDS code through Configure: 8 bits, 0x187, roots 112.., step 11, 32 roots, pad 0,
      // depth 4 (each argument as the fuzzer offsets it).
      out.Write("reed_solomon", Join({{2, 9}, Word(0x187), {114, 13, 34, 2, 5}, codeword, frame}));
    }
  }
  // A small code: 4-bit symbols, x^4 + x + 1, roots 1.., step 1, 4 roots, pad 2, depth 2.
  Bytes small = Join({{2, 5}, Word(0x13), {3, 3, 6, 4, 3}});
  for (int j = 0; j < 13 * 3; ++j) small.push_back(static_cast<uint8_t>(random() % 16));
  out.Write("reed_solomon", small);
}

// The M_PDUs of a simulated MetOp pass: channel-9 VCDUs without their primary header.
Bytes MetopMpdus(const MetopOptions& options, Bytes* packets) {
  Bytes mpdus;
  PassSinks sinks;
  sinks.recording = [](const uint8_t*, size_t) {};
  sinks.frame = [&](const uint8_t* frame) {
    if ((frame[1] & kVcidMask) != kVcid) return;
    mpdus.insert(mpdus.end(), frame + kMpduOffset, frame + kVcduSize);
  };
  sinks.unit = [&](const uint8_t* packet, size_t size) {
    if (packets != nullptr) packets->insert(packets->end(), packet, packet + size);
  };
  StreamMetopPass(options, {true, true}, {}, kSeed, sinks);
  return mpdus;
}

void PacketBuilderSeeds(SeedWriter& out, Bytes& packets) {
  MetopOptions two;
  two.packets = 2;
  const uint16_t full = kAvhrrPacketSize - 7;  // the fuzzer adds the shortest length, 7
  out.Write("packet_builder", Join({{0}, Word(full), {0}, Word(0), MetopMpdus(two, &packets)}));
  MetopOptions mixed;
  mixed.packets = 1;
  mixed.short_packets = 3;
  out.Write("packet_builder", Join({{1}, Word(full), {5}, Word(0), MetopMpdus(mixed, nullptr)}));
  out.Write("packet_builder", Join({{0}, Word(93), {0}, Word(0), MetopMpdus(mixed, nullptr)}));
}

// Short instrument lines: `count` lines of `length` bytes, each starting with the 31-bit pattern,
// after `lead` random bits.
Bytes ShortLines(uint32_t pattern, size_t length, int count, int lead, std::mt19937_64& random) {
  std::vector<bool> bits;
  for (int b = 0; b < lead; ++b) bits.push_back(random() & 1);
  for (int line = 0; line < count; ++line) {
    for (int b = 30; b >= 0; --b) bits.push_back((pattern >> b) & 1);
    for (size_t b = 31; b < length * 8; ++b) bits.push_back(random() & 1);
  }
  Bytes bytes((bits.size() + 7) / 8);
  for (size_t b = 0; b < bits.size(); ++b)
    if (bits[b]) bytes[b / 8] = static_cast<uint8_t>(bytes[b / 8] | (0x80 >> (b % 8)));
  return bytes;
}

void InnerSyncSeeds(SeedWriter& out, Bytes& mn2_lines, Bytes& fy3_lines) {
  std::mt19937_64 random(kSeed);
  constexpr uint32_t kFy3Pattern = 0b1000'0100'0101'1011'1111'0101'1100'011;
  constexpr uint32_t kMn2Pattern = 0b0000'0010'0001'1000'1010'0111'1010'001;
  // Variant byte: bit 0 Meteor-M N2, bit 1 real length; then 4 + byte mod 60 is the length.
  out.Write("inner_sync", Join({{0, 16}, ShortLines(kFy3Pattern, 20, 6, 0, random)}));
  out.Write("inner_sync", Join({{0, 30}, ShortLines(kFy3Pattern, 34, 5, 43, random)}));
  out.Write("inner_sync", Join({{1, 4}, ShortLines(kMn2Pattern, 8, 9, 7, random)}));

  Mn2Options mn2;
  mn2.lines = 3;
  PassSinks sinks;
  sinks.recording = [](const uint8_t*, size_t) {};
  sinks.unit = [&](const uint8_t* line, size_t size) {
    mn2_lines.insert(mn2_lines.end(), line, line + size);
  };
  StreamMn2Pass(mn2, {}, kSeed, sinks);
  // The real line length: three lines five bits into the stream.
  Bytes shifted(mn2_lines.size() + 1);
  for (size_t k = 0; k < mn2_lines.size(); ++k) {
    shifted[k] = static_cast<uint8_t>(shifted[k] | mn2_lines[k] >> 5);
    shifted[k + 1] = static_cast<uint8_t>(mn2_lines[k] << 3);
  }
  out.Write("inner_sync", Join({{3}, shifted}));

  Fy3Options fy3;
  fy3.lines = 1;
  sinks.unit = [&](const uint8_t* line, size_t size) {
    fy3_lines.insert(fy3_lines.end(), line, line + size);
  };
  StreamFy3Pass(fy3, {true, true}, {}, kSeed, sinks);
}

Bytes Named(uint8_t flags, const std::string& name) {
  Bytes bytes = {flags, static_cast<uint8_t>(name.size())};
  bytes.insert(bytes.end(), name.begin(), name.end());
  return bytes;
}

void WriterSeeds(SeedWriter& out, const Bytes& packets, const Bytes& mn2_lines,
                 const Bytes& fy3_lines) {
  // Writer byte: low bits 0 HPT, 1 DAT, 2 C10; bits 2-3 the satellite; bit 4 the DAT header flag.
  const Bytes tail(100, 0x5A);
  out.Write("writers", Join({Named(0x04, "MetopB_20181231_101530.bin"), packets, tail}));
  out.Write("writers", Join({Named(0x00, "/data/MetopA_20181231_101530.bin"),
                             Bytes(packets.begin(), packets.begin() + kAvhrrPacketSize)}));
  out.Write("writers",
            Join({Named(0x11, "MN2_20181231_101530.bin"),
                  Bytes(mn2_lines.begin(), mn2_lines.begin() + 2 * kMn2LineSize), tail}));
  out.Write("writers", Join({Named(0x02, "FY3A_2012-12-31_052330.bin"), fy3_lines, tail}));
  out.Write("writers", Join({Named(0x06, "FY3B_2010-02-30_000000.bin"), tail}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: vantrel-fuzz-seeds FOLDER\n");
    return 2;
  }
  SeedWriter out(argv[1]);
  AsmSearchSeeds(out);
  ReedSolomonSeeds(out);
  Bytes packets, mn2_lines, fy3_lines;
  PacketBuilderSeeds(out, packets);
  InnerSyncSeeds(out, mn2_lines, fy3_lines);
  WriterSeeds(out, packets, mn2_lines, fy3_lines);
  return 0;
}
