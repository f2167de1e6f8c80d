#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/chain_runner.h"
#include "core/record_sizes.h"
#include "core/stage_host.h"

namespace vantrel {

// An MSU-MR line of MN2_.mnx (kMn2LineBytes): 9408 10-bit samples packed most significant bit
// first in line bytes 50 to 11809, read as 392 units of 30 bytes (24 words each).
inline constexpr size_t kMn2SamplesOffset = 50;
inline constexpr size_t kDatUnitBytes = 30;
inline constexpr size_t kDatWordsPerUnit = 24;
inline constexpr size_t kDatUnitsPerLine = 392;

// A record of the _MN2.dat product: the packed units at kDatUnitsOffset, the frame marker at
// kDatFrameMarkerOffset, zeros elsewhere.
inline constexpr size_t kDatRecordBytes = 16432;
inline constexpr size_t kDatUnitsOffset = 2365;
inline constexpr size_t kDatFrameMarkerOffset = 16000;
inline constexpr size_t kDatFrameMarkerBytes = 16;

// Re-packs one 30-byte unit of 24 consecutive 10-bit words w0..w23: the words are transposed
// six by four (w(4g + j) becomes v(6j + g)) and packed four per five bytes, first the upper
// eight bits of each of the four, then a byte of their two low bits, first word highest.
// `in` and `out` must not overlap.
void PackDatUnit(const uint8_t* in, uint8_t* out);

// Packs the samples of one kMn2LineBytes line into bytes kDatUnitsOffset onwards of a
// kDatRecordBytes record; nothing else of the record is touched.
void PackDatLine(const uint8_t* line, uint8_t* record);

// Fills a kDatRecordBytes record with the fixed header record (frame marker included).
void FillDatHeaderRecord(uint8_t* record);

// Fills a kDatRecordBytes record with the frame of every data record: zeros and the frame marker.
void FillDatDataFrame(uint8_t* record);

// A line whose bit error rate, estimated from the bit errors of the sync markers of the frames
// that carried it, is above this is counted as noisy in the pass report: at 5 % a third of its
// bytes and four in ten of its 10-bit samples are wrong.
inline constexpr double kNoisyLineBitErrorRate = 0.05;

// Turns the MSU-MR lines of MN2_.mnx into the _MN2.dat product, named by the run's satellite
// (ProductPath): the input name's base without the marker and the satellite's suffix ("MN23_"
// gives "_MN23.dat"), in the working folder. It writes the header record (when
// DatHeaderPending is raised; it is lowered once written), then one record per line, the first
// line included. The lines counted, logged and reported are image lines: the header is none, and
// an input without a whole line writes no product (the header stays pending). Lines that come
// with their frames' marker errors (from the steps before, not from a file) are counted as noisy
// or not in the report's noisy_lines.
void DatWriterStep(StepIo& io);
extern const StepSpec kDatWriterStep;
// The step alone, on its working files.
void DatWriter(StageHost& host);

}  // namespace vantrel
