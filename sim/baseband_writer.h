#pragma once

// Sample files of simulated baseband, as SDR programs write them: a 16-bit two-channel WAV file
// (RF64 when it passes 4 GiB), or raw interleaved I, Q samples: cs16 (signed 16 bit), cu8
// (unsigned 8 bit centred on 127.5) or cf32 (IEEE single precision), little endian. Full scale
// is +-1: 32768 for cs16, 127.5 either side of the centre for cu8.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/simulator.h"

namespace vantrel::sim {

enum class SampleFileFormat { kWav, kCs16, kCu8, kCf32 };

// "wav", "cs16", "cu8", "cf32" -> the format; false for anything else.
bool ParseSampleFileFormat(std::string_view name, SampleFileFormat* format);
const char* SampleFileFormatName(SampleFileFormat format);
int SampleFileBytesPerSample(SampleFileFormat format);

// The header of a WAV file of `samples` 16-bit I/Q samples at `rate`: RIFF/WAVE, `fmt ` (PCM, 2
// channels), a LIST/INFO chunk naming the software (as SDR programs add one, so that a reader
// must walk the chunks), then the `data` chunk's header. When the file would pass 4 GiB it is
// RF64 instead, with a ds64 chunk holding the 64-bit sizes and 0xFFFFFFFF in the 32-bit fields.
std::vector<uint8_t> WavHeader(uint32_t rate, uint64_t samples);

// Turns float samples into a file's bytes for `sink`: the header first (WAV), then the samples.
// Values beyond full scale are clipped and counted. The number of samples is fixed beforehand
// (the header says it); Finish throws std::logic_error when another number arrived.
class SampleFileWriter {
 public:
  SampleFileWriter(SampleFileFormat format, uint32_t rate, uint64_t samples, ByteSink sink);
  // `count` complex samples, interleaved I, Q.
  void Write(const float* iq, size_t count);
  void Finish();
  // Complex samples with a component clipped (cf32: beyond +-1, written as they are).
  uint64_t Clipped() const { return clipped_; }
  uint64_t SamplesWritten() const { return written_; }
  uint64_t BytesWritten() const { return bytes_; }

 private:
  SampleFileFormat format_;
  uint64_t samples_;
  ByteSink sink_;
  std::vector<uint8_t> out_;
  uint64_t clipped_ = 0;
  uint64_t written_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace vantrel::sim
