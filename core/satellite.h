#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The satellite families, each with a chain of its own.
enum class SatelliteFamily { MetOp, Fy3, Meteor };

// One satellite the program knows: how it is named on the command line, in the log and in file
// names, and how its data tells it apart.
struct Satellite {
  const char* option;  // --satellite value: "metop-b"
  const char* title;   // in the log and the report: "MetOp-B"
  const char* marker;  // in an input file name: "MetopB_"
  SatelliteFamily family;
  // MetOp 0, 1, 2 for A, B, C; FY-3 the Fy3Satellite value; Meteor-M the MSU-MR identifier.
  int variant;
  // The VCDU spacecraft id (MetOp, FY-3), or the MSU-MR identifier in the upper four bits of
  // line byte 12 (Meteor-M).
  int data_id;
};

// Every satellite, in the order their markers are tested in an input path.
const std::vector<Satellite>& Satellites();

// The satellite of a --satellite value ("metop-c", "meteor-m2-3"), or null.
const Satellite* SatelliteByOption(std::string_view option);

// The MetOp or FY-3 satellite whose VCDUs carry `spacecraft_id`, or null.
const Satellite* SatelliteBySpacecraftId(int spacecraft_id);

// The Meteor-M satellite whose MSU-MR lines carry `msu_mr_id`, or null.
const Satellite* MeteorByMsuMrId(int msu_mr_id);

// The file-name markers, "MetopA_, MetopB_, ... or MN24_", for error messages.
std::string MarkerList();

// The --satellite values, "metop-a|metop-b|...|auto", for help texts and error messages.
std::string_view SatelliteOptionList();

// The spacecraft id of a VCDU (CCSDS AOS header: version in the top two bits of byte 0, the
// 8-bit spacecraft id in the rest of byte 0 and the top two bits of byte 1), or -1 when the
// version is not the AOS one (01).
int VcduSpacecraftId(const unsigned char* vcdu);

// The MSU-MR identifier of a line that starts at its sync: the upper four bits of byte 12.
inline constexpr size_t kMsuMrIdByte = 12;
// An MSU-MR line's time of day (Moscow time): hours, minutes, seconds, milliseconds / 4 in
// bytes 8 to 11.
inline constexpr size_t kMsuMrTimeOffset = 8;
inline int MsuMrId(const unsigned char* line) {
  return line[kMsuMrIdByte] >> 4;
}

}  // namespace vantrel
