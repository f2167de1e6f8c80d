#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vantrel::testing {

inline constexpr int kRecord = 886;  // M_PDU record: VCDU without its 6-byte header
inline constexpr int kNoHeader = 2047;

// The packet zone length of a header length (4: 2 spare bytes, pointer; 2: pointer only).
inline int ZoneLength(int header_length) {
  return kRecord - header_length;
}

// A CCSDS source packet of `size` bytes (at least 7): version 0, type 0, secondary header flag
// set, `apid`, sequence flags 3, sequence count `seq`, data length size - 7; the body follows
// from `seed`.
inline std::vector<uint8_t> MakePacket(int apid, int seq, int size, uint32_t seed) {
  std::vector<uint8_t> packet(static_cast<size_t>(size));
  const int len = size - 7;
  packet[0] = static_cast<uint8_t>(0x08 | ((apid >> 8) & 7));
  packet[1] = static_cast<uint8_t>(apid & 0xFF);
  packet[2] = static_cast<uint8_t>(0xC0 | ((seq >> 8) & 0x3F));
  packet[3] = static_cast<uint8_t>(seq & 0xFF);
  packet[4] = static_cast<uint8_t>((len >> 8) & 0xFF);
  packet[5] = static_cast<uint8_t>(len & 0xFF);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 6; i < packet.size(); ++i) {
    x = x * 1103515245u + 12345u;
    packet[i] = static_cast<uint8_t>(x >> 16);
  }
  return packet;
}

// One M_PDU record: `pointer` in the M_PDU header and `zone` (zero-padded) behind it. The two
// spare bytes of header length 4 hold 0xEE so that reading them as a pointer would show.
inline std::vector<uint8_t> MakeMpdu(int pointer, const std::vector<uint8_t>& zone,
                                     int header_length = 4) {
  std::vector<uint8_t> record(kRecord, 0);
  const int at = header_length - 2;
  if (at > 0) std::fill(record.begin(), record.begin() + at, 0xEE);
  record[static_cast<size_t>(at)] = static_cast<uint8_t>((pointer >> 8) & 0xFF);
  record[static_cast<size_t>(at) + 1] = static_cast<uint8_t>(pointer & 0xFF);
  const size_t count = std::min(zone.size(), static_cast<size_t>(ZoneLength(header_length)));
  std::copy_n(zone.begin(), count, record.begin() + header_length);
  return record;
}

// Packets laid end to end and cut into M_PDU records as a spacecraft does: each zone's
// pointer is the offset of the first packet header that begins in it, or 2047. The last zone
// is padded with zeros.
struct MpduStream {
  std::vector<std::vector<uint8_t>> packets;
  std::vector<std::vector<uint8_t>> records;
};

inline MpduStream CutIntoMpdus(std::vector<std::vector<uint8_t>> packets, int header_length = 4) {
  MpduStream stream;
  std::vector<uint8_t> bytes;
  std::vector<size_t> starts;
  for (const auto& packet : packets) {
    starts.push_back(bytes.size());
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  const size_t zone = static_cast<size_t>(ZoneLength(header_length));
  size_t next_start = 0;
  for (size_t offset = 0; offset < bytes.size(); offset += zone) {
    while (next_start < starts.size() && starts[next_start] < offset) ++next_start;
    int pointer = kNoHeader;
    if (next_start < starts.size() && starts[next_start] < offset + zone) {
      pointer = static_cast<int>(starts[next_start] - offset);
    }
    const size_t end = std::min(bytes.size(), offset + zone);
    stream.records.push_back(
        MakeMpdu(pointer,
                 std::vector<uint8_t>(bytes.begin() + static_cast<long>(offset),
                                      bytes.begin() + static_cast<long>(end)),
                 header_length));
  }
  stream.packets = std::move(packets);
  return stream;
}

}  // namespace vantrel::testing
