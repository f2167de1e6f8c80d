#pragma once

// The _MN2.dat layout written out from its definition, independently of the writer: the fixed
// header record and the data record of a line's 9408 samples. Shared by the unit and end-to-end
// tests.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vantrel::testing {

inline constexpr size_t kDatRecord = 16432;
inline constexpr size_t kDatUnitsAt = 2365;
inline constexpr size_t kDatMarkerAt = 16000;
inline constexpr uint8_t kDatFrameMarker[16] = {0x46, 0x52, 0x41, 0x4D, 0x45, 0x29, 0x40, 0x02,
                                                0x18, 0xA7, 0xA3, 0x00, 0x92, 0xDD, 0x9A, 0xBF};

// One packed unit of 24 words: order w0, w4, ..., w20, w1, w5, ..., w23; per group of four the
// upper eight bits of each, then their two low bits, the first word highest.
inline std::array<uint8_t, 30> ExpectedPackedUnit(const uint16_t* w) {
  static constexpr int kOrder[24] = {0, 4, 8,  12, 16, 20, 1, 5, 9,  13, 17, 21,
                                     2, 6, 10, 14, 18, 22, 3, 7, 11, 15, 19, 23};
  std::array<uint8_t, 30> out{};
  for (int group = 0; group < 6; ++group) {
    uint8_t low = 0;
    for (int k = 0; k < 4; ++k) {
      const uint16_t word = w[kOrder[4 * group + k]];
      out[static_cast<size_t>(5 * group + k)] = static_cast<uint8_t>(word >> 2);
      low = static_cast<uint8_t>(low | (word & 3) << (6 - 2 * k));
    }
    out[static_cast<size_t>(5 * group + 4)] = low;
  }
  return out;
}

// The header record from its field table; the numbers derived from their values.
inline std::vector<uint8_t> ExpectedDatHeader() {
  std::vector<uint8_t> record(kDatRecord, 0);
  auto put_text = [&](size_t at, const char* text) {
    std::memcpy(&record[at], text, std::strlen(text));
  };
  auto put_u16 = [&](size_t at, uint16_t value) {
    record[at] = static_cast<uint8_t>(value & 0xFF);
    record[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  put_text(0, "HRPTMeteoM2");
  record[23] = 0x08;
  record[24] = 0x36;
  record[25] = 0x01;
  record[30] = 0x20;
  record[32] = 0x22;
  record[34] = 0x0A;
  record[36] = 0x0D;
  record[40] = 0x6F;
  put_text(96, "EXT_V004");
  put_u16(104, static_cast<uint16_t>(kDatMarkerAt));
  record[130] = 0x63;
  for (size_t i = 0; i < 5; ++i) put_u16(151 + 2 * i, 1023);
  for (size_t at = 269; at <= 275; ++at) record[at] = 0x01;
  record[279] = 0x08;
  const uint32_t bits = std::bit_cast<uint32_t>(55.4f);
  for (size_t i = 0; i < 4; ++i) record[280 + i] = static_cast<uint8_t>(bits >> (8 * i));
  put_text(15992, "END_HDR_");
  std::memcpy(&record[kDatMarkerAt], kDatFrameMarker, sizeof kDatFrameMarker);
  return record;
}

// A data record: zeros, the packed units of `samples` (24 per unit, as many units as given, at
// most 392) and the frame marker.
inline std::vector<uint8_t> ExpectedDatRecord(const std::vector<uint16_t>& samples) {
  std::vector<uint8_t> record(kDatRecord, 0);
  for (size_t u = 0; u < samples.size() / 24; ++u) {
    const std::array<uint8_t, 30> packed = ExpectedPackedUnit(&samples[24 * u]);
    std::memcpy(&record[kDatUnitsAt + 30 * u], packed.data(), packed.size());
  }
  std::memcpy(&record[kDatMarkerAt], kDatFrameMarker, sizeof kDatFrameMarker);
  return record;
}

}  // namespace vantrel::testing
