#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The satellite families, each with a chain of its own.
enum class SatelliteFamily { MetOp, Fy3, Meteor };

// The chains of steps the driver runs (its chain table): each family's steps and final writer.
enum class ChainKind { MetOp, Fy3, Mn2 };

// How a downlink's carrier carries its data; the demodulation stage makes its demodulator from it.
enum class Modulation {
  kQpsk,             // QPSK, root-raised-cosine pulses
  kPhaseManchester,  // phase modulation with a residual carrier, the data Manchester coded
};

// The convolutional coding of a downlink's soft symbols, as the soft-symbol stage undoes it.
enum class SoftDecoding {
  // One rate-1/2 code over I and Q, punctured to rate 3/4: one Viterbi decoder.
  kPuncturedViterbi,
  // I and Q each coded on their own (rate 3/4, the common puncturing pattern), the decoded pairs
  // differentially coded: a Viterbi decoder per rail, then the differential decoding.
  kTwoRailViterbi,
  // No code: the sign of each value is a bit.
  kSigns,
};

// The setting VCDU selection takes its virtual channel from.
enum class ChannelSetting {
  kNone,   // the chain selects no channel
  kMetop,  // Settings::VCID_Metop
  kFy3,    // Settings::Fy3Vcid
};

// The final writer of a chain, and so the product's format.
enum class ProductWriter { kHpt, kC10, kDat };

// A downlink: everything the chain needs to know about how a satellite sends its data, shared by
// the satellites that send alike. The texts are parts of the stages' log lines.
struct Downlink {
  const char* name;          // "MetOp", "FY-3", "Meteor-M N2"
  const char* signal;        // the demodulator's signal: "MetOp QPSK", "Meteor-M N2 PM"
  const char* soft_symbols;  // what its soft symbols are: "MetOp QPSK", "Meteor-M N2 BPSK"
  // The soft-symbol stage's first line: "Starting soft symbol decoding (MetOp QPSK, Viterbi)...".
  const char* soft_start;
  Modulation modulation;
  double symbol_rate;  // symbols per second (phase modulation: data bits per second)
  SoftDecoding decoding;
  // Whether the frames may carry the CCSDS pseudo-random sequence and a Reed-Solomon check block:
  // the de-randomisation and Reed-Solomon boxes then decide (a receiver may have taken the
  // sequence off already); without them the driver switches the boxes off for the run.
  bool randomised;
  bool reed_solomon;
  int frame_bytes;  // a frame with its sync marker: the CADU
  ChannelSetting channel;
  const char* instrument;  // whose lines the product holds
  ProductWriter writer;
  ChainKind chain;
};

// One satellite the program knows: how it is named on the command line, in the log and in file
// names, how its data tells it apart, its downlink and how its product is named.
struct Satellite {
  const char* option;  // --satellite value: "metop-b"
  const char* title;   // in the log and the report: "MetOp-B"
  const char* marker;  // in an input file name: "MetopB_"
  SatelliteFamily family;
  // MetOp 0, 1, 2 for A, B, C; FY-3 0, 1, 2 for A, B, C; Meteor-M the MSU-MR identifier.
  int variant;
  // The VCDU spacecraft id (MetOp, FY-3), or the MSU-MR identifier in the upper four bits of
  // line byte 12 (Meteor-M).
  int data_id;
  const Downlink* downlink;  // never null
  // The product's name (ProductName, output_name.h): the input name from the marker on, without the
  // marker when the product drops it, cut as OutputBaseName cuts it, and the suffix: "_M02.hpt",
  // ".C10".
  bool product_drops_marker;
  const char* product_suffix;
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
