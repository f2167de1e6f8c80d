#pragma once

#include <cstdint>

#include "core/record_sizes.h"

namespace vantrel {

// Bytes shown per line of the debug listings (the record sizes are in record_sizes.h).
inline constexpr int kVcduListingBytes = 16;

// VCDU primary header, 6 bytes, big-endian, bit 0 the most significant bit of byte 0.
struct VcduHeader {
  uint8_t version = 0;          // bits 0-1
  uint8_t spacecraft_id = 0;    // bits 2-9
  uint8_t virtual_channel = 0;  // bits 10-15: byte 1 AND 0x3F
  uint32_t frame_counter = 0;   // bits 16-39
  uint8_t replay_flag = 0;      // bit 40
  static constexpr uint8_t kVirtualChannelMask = 0x3F;

  // Reads the first kVcduHeaderLength bytes of `bytes`.
  static VcduHeader Parse(const uint8_t* bytes) {
    VcduHeader header;
    header.version = static_cast<uint8_t>(bytes[0] >> 6);
    header.spacecraft_id = static_cast<uint8_t>(((bytes[0] & 0x3F) << 2) | (bytes[1] >> 6));
    header.virtual_channel = static_cast<uint8_t>(bytes[1] & kVirtualChannelMask);
    header.frame_counter =
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 8) | bytes[4];
    header.replay_flag = static_cast<uint8_t>(bytes[5] >> 7);
    return header;
  }
};

// M_PDU header, a 16-bit big-endian word.
struct MpduHeader {
  uint8_t spare = 0;                 // bits 0-4, not used
  int32_t first_header_pointer = 0;  // bits 5-15: offset of the first packet header in the zone
  static constexpr int32_t kPointerMask = 0x7FF;
  // Pointer value meaning "no packet header begins in this zone".
  static constexpr int32_t kNoHeader = 0x7FF;
  static constexpr int kLength = 2;

  // Reads the two bytes at `bytes`.
  static MpduHeader Parse(const uint8_t* bytes) {
    MpduHeader header;
    header.spare = static_cast<uint8_t>(bytes[0] >> 3);
    header.first_header_pointer = ((bytes[0] << 8) | bytes[1]) & kPointerMask;
    return header;
  }
};

// CCSDS source packet primary header, 6 bytes, big-endian. The field names are the ones the
// packet builder's diagnostic lines print.
struct SourcePacketHeader {
  int32_t Ver = 0;     // bits 0-2: version
  int32_t Type = 0;    // bit 3: packet type
  int32_t Sec = 0;     // bit 4: secondary header flag
  int32_t APID = 0;    // bits 5-15: application process identifier
  int32_t SeqFlg = 0;  // bits 16-17: sequence flags
  int32_t SeqCnt = 0;  // bits 18-31: sequence count
  int32_t Len = 0;     // bits 32-47: packet data length; the packet is Len + 7 bytes
  static constexpr int kLength = 6;
  // A packet's total size beyond its data length field.
  static constexpr int kLengthBias = 7;

  // Reads the first kLength bytes of `bytes`.
  static SourcePacketHeader Parse(const uint8_t* bytes) {
    SourcePacketHeader header;
    header.Ver = bytes[0] >> 5;
    header.Type = (bytes[0] >> 4) & 1;
    header.Sec = (bytes[0] >> 3) & 1;
    header.APID = ApidOf(bytes);
    header.SeqFlg = bytes[2] >> 6;
    header.SeqCnt = ((bytes[2] & 0x3F) << 8) | bytes[3];
    header.Len = (bytes[4] << 8) | bytes[5];
    return header;
  }

  // The APID alone, from the first two bytes.
  static int32_t ApidOf(const uint8_t* bytes) { return ((bytes[0] & 7) << 8) | bytes[1]; }
};

}  // namespace vantrel
