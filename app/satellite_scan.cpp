#include "app/satellite_scan.h"

#include <array>
#include <bit>
#include <cstring>
#include <map>
#include <vector>

#include "ccsds/ccsds_headers.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "meteor/dat_writer.h"
#include "meteor/manchester_decoder.h"
#include "meteor/msu_mr_demultiplexer.h"
#include "rs/reed_solomon_codec.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_extraction_stage.h"

namespace vantrel {
namespace {

constexpr int kBitsPerByte = 8;
// Bit errors accepted in a marker, and frames looked at: enough to outvote a few bad ones.
constexpr int kMarkerTolerance = 3;
constexpr int kMaxFrames = 64;
// The MSU-MR line sync and the bit after it, as a line starts; bit errors accepted in it.
constexpr uint32_t kMsuMrLineSync = 0x0218A7A3;
constexpr int kLineSyncTolerance = 2;
// Records of the working files looked at.
// Bit 16 of CorrectFrame's result: a codeword could not be corrected.
constexpr uint32_t kUncorrectable = 0xFFFF0000;

// The 32 bits from bit `bit` of `bytes` (four bytes and one more must follow `bit / 8`).
uint32_t BitsAt(const uint8_t* bytes, size_t bit) {
  const uint8_t* p = bytes + bit / kBitsPerByte;
  const uint64_t word = (uint64_t{p[0]} << 32) | (uint64_t{p[1]} << 24) | (uint64_t{p[2]} << 16) |
                        (uint64_t{p[3]} << 8) | p[4];
  return static_cast<uint32_t>(word >> (kBitsPerByte - bit % kBitsPerByte));
}

// 0 for a marker at `bit`, 0xFF for an inverted one, -1 for none.
int MarkerAt(const uint8_t* bytes, size_t bit) {
  const int errors = std::popcount(BitsAt(bytes, bit) ^ kAttachedSyncMarker);
  if (errors <= kMarkerTolerance) return 0x00;
  if (32 - errors <= kMarkerTolerance) return 0xFF;
  return -1;
}

// The 1020 bytes from bit `bit`, XORed with `mask`.
void CopyBits(const uint8_t* bytes, size_t bit, uint8_t mask, uint8_t* out) {
  for (int j = 0; j < kCodeBlockBytes; ++j)
    out[j] = static_cast<uint8_t>(BitsAt(bytes, bit + size_t(j) * kBitsPerByte) >> 24) ^ mask;
}

// The code blocks behind the markers of `bytes`: a marker counts when the next one follows
// 1024 bytes later at the same bit offset, so noise does not make frames.
std::vector<std::array<uint8_t, kCodeBlockBytes>> FindFrames(std::span<const uint8_t> bytes) {
  std::vector<std::array<uint8_t, kCodeBlockBytes>> frames;
  constexpr size_t kFrameBits = size_t{kCaduBytes} * kBitsPerByte;
  if (bytes.size() < 2 * size_t{kCaduBytes} + 8) return frames;
  const size_t last = (bytes.size() - kCaduBytes - 8) * kBitsPerByte;
  size_t bit = 0;
  while (bit + kFrameBits < last && frames.size() < size_t{kMaxFrames}) {
    const int polarity = MarkerAt(bytes.data(), bit);
    if (polarity < 0 || MarkerAt(bytes.data(), bit + kFrameBits) != polarity) {
      ++bit;
      continue;
    }
    frames.emplace_back();
    CopyBits(bytes.data(), bit + kMarkerBytes * kBitsPerByte, static_cast<uint8_t>(polarity),
             frames.back().data());
    bit += kFrameBits;
  }
  return frames;
}

// The spacecraft id of a code block once Reed-Solomon corrected it (`derandomise` first), or -1.
int CorrectedSpacecraftId(ReedSolomonCodec& codec, const uint8_t* body, bool derandomise) {
  std::array<uint8_t, kCodeBlockBytes> block;
  const auto& sequence = DerandomisationTable();
  for (int j = 0; j < kCodeBlockBytes; ++j) {
    const uint8_t byte = derandomise ? body[j] ^ sequence[kMarkerBytes + j] : body[j];
    block[j] = ReedSolomonCodec::ReverseBits(byte);
  }
  if ((codec.CorrectFrame(block.data()) & kUncorrectable) != 0) return -1;
  for (uint8_t& byte : block) byte = ReedSolomonCodec::ReverseBits(byte);
  return VcduSpacecraftId(block.data());
}

// The satellite with most votes, and its count.
template <typename Key>
std::pair<Key, int> Winner(const std::map<Key, int>& votes) {
  std::pair<Key, int> best{};
  for (const auto& [key, count] : votes)
    if (count > best.second) best = {key, count};
  return best;
}

// MSU-MR line syncs in the instrument bytes of `frames`: the identifiers of the lines, by
// their count. A sync counts only when another lies a whole number of lines away.
std::map<int, int> MsuMrIds(const std::vector<std::array<uint8_t, kCodeBlockBytes>>& frames,
                            int* lines) {
  std::vector<uint8_t> stream;
  std::array<uint8_t, kMsuMrFrameBytes> data;
  for (const auto& frame : frames) {
    DemultiplexMsuMrFrame(frame.data(), data.data());
    stream.insert(stream.end(), data.begin(), data.begin() + kMsuMrDataBytes);
  }
  std::vector<size_t> syncs;
  constexpr size_t kIdBits = (kMsuMrIdByte + 2) * kBitsPerByte;
  for (size_t bit = 0; stream.size() > 16 && bit + kIdBits < (stream.size() - 8) * kBitsPerByte;
       ++bit) {
    if (std::popcount(BitsAt(stream.data(), bit) ^ kMsuMrLineSync) <= kLineSyncTolerance)
      syncs.push_back(bit);
  }
  std::map<int, int> ids;
  constexpr size_t kLineBits = kMn2LineBytes * kBitsPerByte;
  for (size_t i = 0; i < syncs.size(); ++i) {
    bool paired = false;
    for (size_t j = 0; j < syncs.size() && !paired; ++j)
      paired = j != i && syncs[i] % kBitsPerByte == syncs[j] % kBitsPerByte &&
               (syncs[i] > syncs[j] ? syncs[i] - syncs[j] : syncs[j] - syncs[i]) % kLineBits == 0;
    if (!paired) continue;
    const uint32_t byte12 = BitsAt(stream.data(), syncs[i] + kMsuMrIdByte * kBitsPerByte) >> 24;
    ++ids[static_cast<int>(byte12 >> 4)];
    ++*lines;
  }
  return ids;
}

}  // namespace

SatelliteScan ScanForSatellite(std::span<const uint8_t> bytes, bool manchester) {
  std::vector<uint8_t> decoded;
  if (manchester) {
    decoded.resize(bytes.size() / 2);
    ManchesterDecodeBytes(bytes.data(), decoded.size() * 2, decoded.data());
    bytes = decoded;
  }
  SatelliteScan scan;
  scan.bytes = bytes.size() * (manchester ? 2 : 1);
  const auto frames = FindFrames(bytes);
  scan.frames = static_cast<int>(frames.size());
  if (frames.empty()) return scan;

  ReedSolomonCodec codec;
  ConfigureCcsdsCodec(codec);
  std::map<std::pair<const Satellite*, bool>, int> votes;
  for (const auto& frame : frames) {
    for (bool derandomise : {false, true}) {
      const Satellite* satellite =
          SatelliteBySpacecraftId(CorrectedSpacecraftId(codec, frame.data(), derandomise));
      if (satellite != nullptr) ++votes[{satellite, derandomise}];
    }
  }
  if (!votes.empty()) {
    const auto [key, count] = Winner(votes);
    scan.satellite = key.first;
    scan.derandomised = key.second;
    scan.evidence = count;
    scan.found = Format("VCDU spacecraft id %d in %d of %d frames corrected by Reed-Solomon, %s",
                        key.first->data_id, count, scan.frames,
                        key.second ? "de-randomised" : "not de-randomised");
    return scan;
  }
  int lines = 0;
  const std::map<int, int> ids = MsuMrIds(frames, &lines);
  if (ids.empty()) return scan;
  const auto [id, count] = Winner(ids);
  const Satellite* meteor = MeteorByMsuMrId(id);
  scan.satellite = meteor != nullptr ? meteor : MeteorByMsuMrId(0);
  scan.evidence = count;
  scan.found = meteor != nullptr
                   ? Format(
                         "MSU-MR identifier %d in %d of %d line syncs, no frame with a known "
                         "spacecraft id",
                         id, count, lines)
                   : Format(
                         "MSU-MR line syncs (%d) with the unknown identifier %d, taken as "
                         "Meteor-M N2",
                         lines, id);
  return scan;
}

SatelliteScan ScanRecordingForSatellite(const std::string& path, bool manchester,
                                        std::string* error) {
  InputFile input;
  if (!input.Open(path)) {
    *error = Format("Cannot read '%s' (%s)", path.c_str(), input.Error().c_str());
    return {};
  }
  std::vector<uint8_t> bytes(kSatelliteScanBytes * (manchester ? 2 : 1));
  bytes.resize(input.Read(bytes.data(), bytes.size()));
  if (input.Failed()) {
    *error = Format("Cannot read '%s'", path.c_str());
    return {};
  }
  return ScanForSatellite(bytes, manchester);
}

const Satellite* SatelliteOfVcdus(const FirstRecords& vcdus, int* votes) {
  std::map<const Satellite*, int> count;
  for (size_t n = 0; n < vcdus.Count(); ++n) {
    const Satellite* satellite = SatelliteBySpacecraftId(VcduSpacecraftId(vcdus.Record(n)));
    if (satellite != nullptr) ++count[satellite];
  }
  const auto [satellite, n] = Winner(count);
  *votes = n;
  return satellite;
}

const Satellite* SatelliteOfMsuMrLines(const FirstRecords& lines, int* votes) {
  std::map<const Satellite*, int> count;
  for (size_t n = 0; n < lines.Count(); ++n) {
    const Satellite* satellite = MeteorByMsuMrId(MsuMrId(lines.Record(n)));
    if (satellite != nullptr) ++count[satellite];
  }
  const auto [satellite, n] = Winner(count);
  *votes = n;
  return satellite;
}

namespace {

// The first records of the file at `path`, as they would pass by.
FirstRecords FirstRecordsOf(const std::string& path, size_t record_size) {
  FirstRecords records(record_size, kSatelliteVoteRecords);
  InputFile input;
  std::vector<uint8_t> bytes(record_size * kSatelliteVoteRecords);
  if (input.Open(path)) records.Add({bytes.data(), input.Read(bytes.data(), bytes.size())});
  return records;
}

}  // namespace

const Satellite* SatelliteOfVcdus(const std::string& path, int* votes) {
  return SatelliteOfVcdus(FirstRecordsOf(path, kVcduLength), votes);
}

const Satellite* SatelliteOfMsuMrLines(const std::string& path, int* votes) {
  return SatelliteOfMsuMrLines(FirstRecordsOf(path, kMn2LineBytes), votes);
}

}  // namespace vantrel
