#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/satellite.h"

namespace vantrel {

class BasebandReader;
class InputFile;

// What the start of a soft-symbol or baseband recording showed of its satellite: each downlink
// that fits the recording had its front end (demodulator, soft-symbol decoder) run on it in
// memory, and the bits were scanned for frames as a hard-bit recording's are.
struct FrontEndProbe {
  const Satellite* satellite = nullptr;  // null: nothing recognised
  bool derandomised = false;  // MetOp, FY-3: the frames decoded only after de-randomisation
  std::string found;          // what decided, for the log
  double seconds = 0;         // baseband: seconds of recording looked at
  int64_t bytes = 0;          // bytes of the recording looked at
  // One line per downlink tried: "MetOp QPSK at 2.333 Msymbols/s: locked at 1.2 s, 210 frames,
  // spacecraft id 11"; "FY-3 QPSK at 2.8 Msymbols/s: no lock".
  std::vector<std::string> tried;
};

// The longest stretch of a recording the probe reads before it gives up: a station's recording
// may start with a minute of noise before the satellite rises.
inline constexpr double kProbeSeconds = 90;
inline constexpr int64_t kProbeSoftBytes = int64_t{256} << 20;

// Demodulates the samples `reader` delivers (opened, its rate known) with every downlink whose
// symbol rate the sample rate can carry, each decoded as its soft symbols are, until the frames of
// one name a satellite of that downlink or `max_seconds` have been read. The carrier is searched
// within +-carrier_range_hz.
FrontEndProbe ProbeBaseband(BasebandReader& reader, double carrier_range_hz,
                            double max_seconds = kProbeSeconds);

// Decodes the soft symbols `input` delivers with every soft-symbol coding the program knows until
// the frames of one name a satellite of a downlink with that coding, or `max_bytes` were read.
FrontEndProbe ProbeSoftSymbols(InputFile& input, int64_t max_bytes = kProbeSoftBytes);

}  // namespace vantrel
