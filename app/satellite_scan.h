#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/satellite.h"

namespace vantrel {

// How much of a recording the satellite search reads: several seconds of any family's stream,
// past the noise before the satellite rises.
inline constexpr size_t kSatelliteScanBytes = size_t{8} << 20;

// What the start of a recording shows of its satellite.
struct SatelliteScan {
  const Satellite* satellite = nullptr;  // null: nothing recognised
  bool derandomised = false;  // MetOp, FY-3: the frames decoded only after de-randomisation
  size_t bytes = 0;           // bytes of the recording looked at
  int frames = 0;             // frames found (two markers 1024 bytes apart)
  int evidence = 0;           // frames whose spacecraft id, or lines whose MSU-MR id, decided
  std::string found;          // what decided, for the log
};

// Looks for the satellite in `bytes`, the start of a recording (Manchester coded when
// `manchester`): CADU markers at any bit offset and in either polarity; the spacecraft id of each
// frame that Reed-Solomon corrects, without and with de-randomisation; failing a known id, MSU-MR
// line syncs in the frames' instrument bytes, and the identifier of those lines.
SatelliteScan ScanForSatellite(std::span<const uint8_t> bytes, bool manchester);

// Reads up to kSatelliteScanBytes of the recording at `path` and scans them; `error` is set when
// the file cannot be read.
SatelliteScan ScanRecordingForSatellite(const std::string& path, bool manchester,
                                        std::string* error);

// The first whole records of a stream, as its pieces pass: what the driver reads of the data
// while a chain runs (the satellite the frames or lines name, the first line's time).
class FirstRecords {
 public:
  FirstRecords(size_t record_size, size_t count) : record_size_(record_size), count_(count) {}
  void Add(std::span<const uint8_t> piece) {
    const size_t wanted = record_size_ * count_ - bytes_.size();
    bytes_.insert(bytes_.end(), piece.begin(), piece.begin() + std::min(wanted, piece.size()));
  }
  // The whole records gathered (at most `count`).
  size_t Count() const { return bytes_.size() / record_size_; }
  const uint8_t* Record(size_t index) const { return bytes_.data() + index * record_size_; }

 private:
  size_t record_size_;
  size_t count_;
  std::vector<uint8_t> bytes_;
};

// How many of the first records of a stream of VCDUs (or of MSU-MR lines) the data vote for.
inline constexpr size_t kSatelliteVoteRecords = 64;

// The satellite most of `vcdus` name, or null; `votes` its count.
const Satellite* SatelliteOfVcdus(const FirstRecords& vcdus, int* votes);
// The Meteor-M satellite most of `lines` (MSU-MR lines) name, or null.
const Satellite* SatelliteOfMsuMrLines(const FirstRecords& lines, int* votes);

// The satellite most VCDUs of cvcdu.rs name (its first records), or null.
const Satellite* SatelliteOfVcdus(const std::string& path, int* votes);

// The Meteor-M satellite most lines of MN2_.mnx name (its first lines), or null.
const Satellite* SatelliteOfMsuMrLines(const std::string& path, int* votes);

}  // namespace vantrel
