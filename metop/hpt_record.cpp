#include "metop/hpt_record.h"

#include <algorithm>
#include <array>
#include <chrono>

namespace vantrel {
namespace {

// Words 1-6, the HRPT frame sync 0x284 0x16F 0x35C 0x19D 0x20F 0x095, as packed bytes.
constexpr std::array<uint8_t, 7> kFrameSync = {0xA1, 0x16, 0xFD, 0x71, 0x9D, 0x83, 0xC9};

// Byte 7 ends word 6 and begins word 7: 0x51, 0x53, 0x55, 0x57 for frames 0 to 3 of a cycle.
constexpr int kFrameCounterByte = 7;
constexpr uint8_t kFrameCounterFirst = 0x51;
constexpr int kFrameCounterStep = 2;
constexpr int kFrameCounterCycle = 4;

// Time code, words 9-12: day of year in word 9, then 101 and the millisecond count of the day.
constexpr int kDayHighByte = 10;
constexpr int kDayLowByte = 11;
constexpr uint8_t kTimeCodeFixedBits = 0x28;
constexpr int kDayLowBitShift = 7;
constexpr int kPacketDayCount = 6;    // 16-bit day count since 1 January 2000
constexpr int kPacketMsHighByte = 8;  // millisecond count of the day, 32-bit, bytes 8-11
constexpr int kPacketMsLowBytes = 9;
constexpr int kRecordMsLowBytes = 12;
constexpr int kMsLowByteCount = 3;

// Words 18-20 = 0x0C0 each, zero in every fifth frame beginning with the first.
constexpr int kWords18To20Byte = 21;
constexpr std::array<uint8_t, 4> kWords18To20 = {0x0C, 0x03, 0x00, 0xC0};
constexpr int kWords18To20Cycle = 5;

// Instrument data: packet bytes 82-12881 to record bits 7496-109895.
constexpr int kPacketDataOffset = 82;
constexpr int kRecordDataOffset = 937;
constexpr int kDataLength = 12800;
static_assert(kRecordDataOffset + kDataLength <= kHptRecordLength);
static_assert(kPacketDataOffset + kDataLength <= kAvhrrPacketLength);

}  // namespace

int DayOfYear(int day_count) {
  using namespace std::chrono;
  const sys_days date = sys_days{year{2000} / January / 1} + days{day_count};
  const year_month_day ymd{date};
  return static_cast<int>((date - sys_days{ymd.year() / January / 1}).count()) + 1;
}

void FillHptRecord(std::span<uint8_t, kHptRecordLength> record,
                   std::span<const uint8_t, kAvhrrPacketLength> packet, int64_t k) {
  std::copy(kFrameSync.begin(), kFrameSync.end(), record.begin());
  record[kFrameCounterByte] =
      static_cast<uint8_t>(kFrameCounterFirst + kFrameCounterStep * (k % kFrameCounterCycle));

  const int day = DayOfYear((packet[kPacketDayCount] << 8) | packet[kPacketDayCount + 1]);
  record[kDayHighByte] = static_cast<uint8_t>(day >> 1);
  // The millisecond count's top byte is ORed in unmasked: below 2^27 it only touches bits 0-2.
  record[kDayLowByte] = static_cast<uint8_t>(((day & 1) << kDayLowBitShift) | kTimeCodeFixedBits |
                                             packet[kPacketMsHighByte]);
  std::copy_n(packet.begin() + kPacketMsLowBytes, kMsLowByteCount,
              record.begin() + kRecordMsLowBytes);

  if (k % kWords18To20Cycle == 0) {
    std::fill_n(record.begin() + kWords18To20Byte, kWords18To20.size(), 0);
  } else {
    std::copy(kWords18To20.begin(), kWords18To20.end(), record.begin() + kWords18To20Byte);
  }
  std::copy_n(packet.begin() + kPacketDataOffset, kDataLength, record.begin() + kRecordDataOffset);
}

}  // namespace vantrel
