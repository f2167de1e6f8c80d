#pragma once

#include <cstddef>
#include <string_view>

#include "core/chain_runner.h"
#include "core/stage_host.h"
#include "fy3/inner_sync_engine.h"

namespace vantrel {

// What tells the two uses of the inner sync stage apart.
struct InnerSyncVariant {
  std::string_view input_file;   // working file read
  std::string_view output_file;  // working file written
  size_t line_length;            // L: bytes per instrument line
  LineSyncTable table;           // the line sync pattern's slices and their complements
  const char* start_line;        // logged before the search
  const char* result_line;       // names the output file and the line length (%s, %zu)
  bool logs_found_lines;         // whether the FY3ASM option logs every found line
  // Bytes the input loses at a time when frames are lost (one frame's share), or 0 where lost
  // frames are zero-filled and nothing moves.
  size_t loss_unit;
};

// FY-3 VIRR lines: 26050 bytes, line sync 1000 0100 0101 1011 1111 0101 1100 011.
const InnerSyncVariant& Fy3InnerSyncVariant();
// Meteor-M N2 MSU-MR lines: 11850 bytes, line sync 0000 0010 0001 1000 1010 0111 1010 001.
const InnerSyncVariant& Mn2InnerSyncVariant();

// Finds the line sync at any bit of the variant's input stream and writes the byte-aligned
// lines, L bytes each.
void InnerSyncStep(StepIo& io, const InnerSyncVariant& variant);
extern const StepSpec kFy3InnerSyncStep;
extern const StepSpec kMn2InnerSyncStep;
// The steps alone, on their working files.
void InnerSyncStage(StageHost& host, const InnerSyncVariant& variant);

// Finds the instrument line sync at any bit of the FY-3 stream (mpdu_x.mpd) and writes the
// byte-aligned 26050-byte lines to FY3x_.fy3.
void Fy3InnerSyncStage(StageHost& host);

// The same for the Meteor-M N2 stream: MSU-MR.dmx to 11850-byte lines in MN2_.mnx.
void Mn2InnerSyncStage(StageHost& host);

}  // namespace vantrel
