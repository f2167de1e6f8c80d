#include "sim/baseband_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace vantrel::sim {
namespace {

constexpr uint16_t kWavePcm = 1;
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBitsPerSample = 16;
constexpr uint32_t kFmtSize = 16;
constexpr uint32_t kDs64Size = 28;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
constexpr char kSoftware[] = "vantrel-sim";  // with its terminating zero: an even length
constexpr float kCs16Scale = 32768.0f;
constexpr float kCu8Centre = 127.5f;

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}
void Put64(std::vector<uint8_t>& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}
void PutId(std::vector<uint8_t>& out, const char* id) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(id[k]));
}

}  // namespace

bool ParseSampleFileFormat(std::string_view name, SampleFileFormat* format) {
  static constexpr std::pair<std::string_view, SampleFileFormat> kNames[] = {
      {"wav", SampleFileFormat::kWav},
      {"cs16", SampleFileFormat::kCs16},
      {"cu8", SampleFileFormat::kCu8},
      {"cf32", SampleFileFormat::kCf32}};
  for (const auto& [text, value] : kNames)
    if (name == text) {
      *format = value;
      return true;
    }
  return false;
}

const char* SampleFileFormatName(SampleFileFormat format) {
  switch (format) {
    case SampleFileFormat::kWav:
      return "wav";
    case SampleFileFormat::kCs16:
      return "cs16";
    case SampleFileFormat::kCu8:
      return "cu8";
    case SampleFileFormat::kCf32:
      return "cf32";
  }
  return "";
}

int SampleFileBytesPerSample(SampleFileFormat format) {
  switch (format) {
    case SampleFileFormat::kWav:
    case SampleFileFormat::kCs16:
      return 4;
    case SampleFileFormat::kCu8:
      return 2;
    case SampleFileFormat::kCf32:
      return 8;
  }
  return 0;
}

std::vector<uint8_t> WavHeader(uint32_t rate, uint64_t samples) {
  const uint32_t block = kChannels * kBitsPerSample / 8;
  const uint64_t data = samples * block;
  // LIST chunk: "INFO", then an ISFT sub-chunk with the software's name.
  const uint32_t list_size = 4 + 8 + sizeof kSoftware;
  const uint64_t riff = 4 + (8 + kFmtSize) + (8 + list_size) + (8 + data);
  const bool rf64 = riff + (8 + kDs64Size) > std::numeric_limits<uint32_t>::max();
  std::vector<uint8_t> out;
  out.reserve(128);
  PutId(out, rf64 ? "RF64" : "RIFF");
  Put32(out, rf64 ? kUnknownSize : static_cast<uint32_t>(riff));
  PutId(out, "WAVE");
  if (rf64) {
    PutId(out, "ds64");
    Put32(out, kDs64Size);
    Put64(out, riff + 8 + kDs64Size);  // the RIFF size counts the ds64 chunk too
    Put64(out, data);
    Put64(out, samples);
    Put32(out, 0);  // no table of other chunks' sizes
  }
  PutId(out, "fmt ");
  Put32(out, kFmtSize);
  Put16(out, kWavePcm);
  Put16(out, kChannels);
  Put32(out, rate);
  Put32(out, rate * block);
  Put16(out, block);
  Put16(out, kBitsPerSample);
  PutId(out, "LIST");
  Put32(out, list_size);
  PutId(out, "INFO");
  PutId(out, "ISFT");
  Put32(out, sizeof kSoftware);
  for (const char c : kSoftware) out.push_back(static_cast<uint8_t>(c));
  PutId(out, "data");
  Put32(out, rf64 ? kUnknownSize : static_cast<uint32_t>(data));
  return out;
}

SampleFileWriter::SampleFileWriter(SampleFileFormat format, uint32_t rate, uint64_t samples,
                                   ByteSink sink)
    : format_(format), samples_(samples), sink_(std::move(sink)) {
  if (format == SampleFileFormat::kWav) {
    const std::vector<uint8_t> header = WavHeader(rate, samples);
    sink_(header.data(), header.size());
    bytes_ += header.size();
  }
}

void SampleFileWriter::Write(const float* iq, size_t count) {
  out_.resize(count * static_cast<size_t>(SampleFileBytesPerSample(format_)));
  uint8_t* out = out_.data();
  uint64_t clipped = 0;
  switch (format_) {
    case SampleFileFormat::kWav:
    case SampleFileFormat::kCs16:
      for (size_t k = 0; k < 2 * count; k += 2) {
        bool clip = false;
        for (size_t c = 0; c < 2; ++c) {
          const float scaled = std::nearbyint(iq[k + c] * kCs16Scale);
          const float kept = std::clamp(scaled, -kCs16Scale, kCs16Scale - 1);
          clip |= kept != scaled;
          const auto value = static_cast<uint16_t>(static_cast<int16_t>(kept));
          *out++ = static_cast<uint8_t>(value);
          *out++ = static_cast<uint8_t>(value >> 8);
        }
        clipped += clip;
      }
      break;
    case SampleFileFormat::kCu8:
      for (size_t k = 0; k < 2 * count; k += 2) {
        bool clip = false;
        for (size_t c = 0; c < 2; ++c) {
          const float scaled = std::nearbyint(kCu8Centre + iq[k + c] * kCu8Centre);
          const float kept = std::clamp(scaled, 0.0f, 255.0f);
          clip |= kept != scaled;
          *out++ = static_cast<uint8_t>(kept);
        }
        clipped += clip;
      }
      break;
    case SampleFileFormat::kCf32:
      static_assert(std::endian::native == std::endian::little, "cf32 is little endian");
      std::memcpy(out, iq, count * 2 * sizeof(float));
      for (size_t k = 0; k < 2 * count; k += 2)
        clipped += std::abs(iq[k]) > 1 || std::abs(iq[k + 1]) > 1;
      break;
  }
  clipped_ += clipped;
  written_ += count;
  bytes_ += out_.size();
  sink_(out_.data(), out_.size());
}

void SampleFileWriter::Finish() {
  if (written_ != samples_)
    throw std::logic_error("baseband file: " + std::to_string(written_) + " samples written, " +
                           std::to_string(samples_) + " announced");
}

}  // namespace vantrel::sim
