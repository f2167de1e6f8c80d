#include "ccsds/source_packet_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/ccsds/mpdu_fixtures.h"

namespace vantrel {
namespace {

using testing::CutIntoMpdus;
using testing::MakeMpdu;
using testing::MakePacket;

constexpr int kZone = 882;
constexpr int kDefaultMax = 12966;

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from),
                              v.begin() + static_cast<long>(to));
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The diagnostic lines written by the last call, up to the first empty one.
std::vector<std::string> Lines(const DiagnosticBlock& block) {
  std::vector<std::string> lines;
  for (const DiagnosticLine& line : block) {
    if (line[0] == '\0') break;
    lines.emplace_back(line.data());
  }
  return lines;
}

// A fresh builder (as at program start) with the default geometry.
struct Fixture {
  std::unique_ptr<SourcePacketBuilder> builder = std::make_unique<SourcePacketBuilder>();
  DiagnosticBlock diag{};
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kPacketSlotCapacity, 0);

  explicit Fixture(int max = kDefaultMax, int header_length = 4) {
    EXPECT_EQ(builder->Setup(max, header_length), 0);
  }
  int Feed(const std::vector<uint8_t>& record) { return builder->FeedMpdu(record, diag); }
  int Next(int length) { return builder->GetNext(buffer, length); }
  std::vector<uint8_t> Got(size_t length) const { return Bytes(buffer, 0, length); }
  const BuilderVariables& V() const { return builder->Variables(); }
};

TEST(SourcePacketHeader, FieldsFromHandBuiltBytes) {
  // 101 1 0 011 | 0110 0111 : Ver 5, Type 1, Sec 0, APID 0x367
  // 10 000001 | 0000 0010 : SeqFlg 2, SeqCnt 0x102; Len 0x32A6
  const uint8_t bytes[] = {0xB3, 0x67, 0x81, 0x02, 0x32, 0xA6};
  const SourcePacketHeader h = SourcePacketHeader::Parse(bytes);
  EXPECT_EQ(h.Ver, 5);
  EXPECT_EQ(h.Type, 1);
  EXPECT_EQ(h.Sec, 0);
  EXPECT_EQ(h.APID, 0x367);
  EXPECT_EQ(h.SeqFlg, 2);
  EXPECT_EQ(h.SeqCnt, 0x102);
  EXPECT_EQ(h.Len, 0x32A6);
  const uint8_t mpdu[] = {0x11, 0x22, 0x07, 0xFF};
  EXPECT_EQ(MpduHeader::Parse(mpdu).first_header_pointer, 290);  // 0x1122 AND 0x7FF
  EXPECT_EQ(MpduHeader::Parse(mpdu + 2).first_header_pointer, 2047);
  EXPECT_EQ(MpduHeader::Parse(mpdu).spare, 2);
}

TEST(SourcePacketBuilder, ShortPacketShortyThenContinuationClosedByNextHeader) {
  Fixture f;
  const auto a = MakePacket(103, 1, 100, 1);   // Len 93
  const auto b = MakePacket(103, 2, 1704, 2);  // 782 + 882 + 40 bytes
  const auto c = MakePacket(104, 3, 900, 3);

  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(a, Bytes(b, 0, 782)))), 1);
  const std::vector<std::string> first = {
      "BP: ln=0 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
      "SeqCnt=0001 Len=93",
      "BP: ln0 FIRSTBLOCK - hc=0 pi=100 len=93 mi=100 m=1 pb=1\n",
      "BP: ln0 SHORTY...hc=0 pi=100 len=93 mi=100 m=2\n",
      "BP: ln=0 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
      "SeqCnt=0002 Len=1697",
  };
  EXPECT_EQ(Lines(f.diag), first);
  EXPECT_EQ(f.V().state, BuildState::BUILDING);
  EXPECT_EQ(f.V().header_follows_packet, 0);
  EXPECT_EQ(f.V().slot_fill, 782);
  EXPECT_EQ(f.V().current_slot, 2);
  // Slots are never cleared: behind the first packet lie the zeros of program start.
  EXPECT_EQ(f.Next(200), 0);
  EXPECT_EQ(f.Got(200), Join(a, std::vector<uint8_t>(100, 0)));

  EXPECT_EQ(f.Feed(MakeMpdu(2047, Bytes(b, 782, 1664))), 0);
  EXPECT_TRUE(Lines(f.diag).empty());
  EXPECT_EQ(f.V().slot_fill, 1664);

  EXPECT_EQ(f.Feed(MakeMpdu(40, Join(Bytes(b, 1664, 1704), Bytes(c, 0, 842)))), 1);
  const std::vector<std::string> third = {
      "BP: ln2 BUILDING - hc=40 pi=1704 len=1697 mi=0 m=0 pb=1\n",
      "BP: ln=2 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0068 SeqFlg=3 "
      "SeqCnt=0003 Len=893",
  };
  EXPECT_EQ(Lines(f.diag), third);
  EXPECT_EQ(f.Next(1704), 0);
  EXPECT_EQ(f.Got(1704), b);
  EXPECT_EQ(f.V().slot_fill, 842);
  EXPECT_EQ(f.V().mpdus_fed, 3);
}

TEST(SourcePacketBuilder, HeaderSplitAcrossZonesIsResumedAtZoneStart) {
  Fixture f;
  const auto p = MakePacket(103, 1, 879, 1);
  const auto q = MakePacket(103, 2, 1000, 2);  // 3 header bytes, then 882, then 115
  const auto r = MakePacket(103, 3, 800, 3);
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(p, Bytes(q, 0, 3)))), 1);
  EXPECT_EQ(f.V().state, BuildState::GETHEADER);
  EXPECT_EQ(f.V().header_count, 3);

  // Whatever the pointer says, the header continues at zone offset 0.
  EXPECT_EQ(f.Feed(MakeMpdu(2047, Bytes(q, 3, 885))), 0);
  const std::vector<std::string> lines = {
      "BP: ln1 ENTERED VIA GETHEADER hcnt=2047 oldhcnt=0\n",
      "BP: ln=1 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
      "SeqCnt=0002 Len=993",
  };
  EXPECT_EQ(Lines(f.diag), lines);
  EXPECT_EQ(f.V().state, BuildState::BUILDING);

  EXPECT_EQ(f.Feed(MakeMpdu(115, Join(Bytes(q, 885, 1000), Bytes(r, 0, 767)))), 1);
  EXPECT_EQ(f.Next(879), 1);  // p was never taken: it is older and comes first
  EXPECT_EQ(f.Got(879), p);
  EXPECT_EQ(f.Next(1000), 0);
  EXPECT_EQ(f.Got(1000), q);
}

TEST(SourcePacketBuilder, HeaderSplitWithAnotherHeaderLaterInTheZone) {
  Fixture f;
  const auto p = MakePacket(103, 1, 880, 1);
  const auto q = MakePacket(104, 2, 30, 2);  // 2 header bytes, then 28
  const auto r = MakePacket(105, 3, 854, 3);
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(p, Bytes(q, 0, 2)))), 1);
  EXPECT_EQ(f.Next(880), 0);
  // Pointer 28: the rest of q's header and body come first, r begins right behind.
  EXPECT_EQ(f.Feed(MakeMpdu(28, Join(Bytes(q, 2, 30), r))), 2);
  EXPECT_EQ(f.Next(30), 1);
  EXPECT_EQ(f.Got(30), q);
  EXPECT_EQ(f.Next(854), 0);
  EXPECT_EQ(f.Got(854), r);
  EXPECT_EQ(f.V().state, BuildState::IDLE);
}

TEST(SourcePacketBuilder, Pointer2047AndOtherPointersWithoutHeader) {
  Fixture f;
  // IDLE: a zone without header is ignored.
  EXPECT_EQ(f.Feed(MakeMpdu(2047, std::vector<uint8_t>(kZone, 0x55))), 0);
  EXPECT_EQ(f.V().state, BuildState::IDLE);
  EXPECT_EQ(f.V().mpdus_fed, 1);

  const auto a = MakePacket(103, 1, 2000, 1);
  const auto b = MakePacket(103, 2, 900, 2);
  EXPECT_EQ(f.Feed(MakeMpdu(0, Bytes(a, 0, 882))), 0);
  // A pointer between the zone length and 2046 loses the zone, and with it the open packet...
  EXPECT_EQ(f.Feed(MakeMpdu(1000, Bytes(a, 882, 1764))), 0);
  EXPECT_EQ(f.V().state, BuildState::IDLE);
  EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
  // ...so the rest of it is not taken for a whole packet: the next one begins at the pointer.
  EXPECT_EQ(f.Feed(MakeMpdu(236, Join(Bytes(a, 1764, 2000), Bytes(b, 0, 646)))), 0);
  EXPECT_EQ(f.V().state, BuildState::BUILDING);
  EXPECT_EQ(f.V().slot_fill, 646);
  EXPECT_EQ(f.Next(1118), -1);
}

TEST(SourcePacketBuilder, LongPacketDroppedBeforeHeader) {
  Fixture f;
  const auto l = MakePacket(103, 5, 13066, 1);  // Len 13059
  const auto n = MakePacket(103, 6, 1000, 2);
  const auto stream = CutIntoMpdus({l, n});
  ASSERT_GE(stream.records.size(), 15u);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(f.Feed(stream.records[static_cast<size_t>(i)]), 0);
  EXPECT_EQ(f.V().slot_fill, 14 * kZone);
  const int slot = f.V().current_slot;
  // Zone 15 holds the next header at 718: 12348 + 718 would pass 12966.
  EXPECT_EQ(f.Feed(stream.records[14]), 0);
  const std::vector<std::string> lines = {
      "BP: ln14 BUILDING Discarding long packet before header!",
      "                  Source packet header - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
      "SeqCnt=0005 Len=13059",
      "                  Build pointers - hcnt=718 len=13059 mi=0 pi=12348",
      "BP: ln=14 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
      "SeqCnt=0006 Len=993",
  };
  EXPECT_EQ(Lines(f.diag), lines);
  EXPECT_FALSE(f.builder->SlotReady(slot));
  EXPECT_EQ(f.V().current_slot, (slot + 1) % kPacketSlotCount);
  EXPECT_EQ(f.Next(100), -1);
}

TEST(SourcePacketBuilder, LongPacketDroppedInZoneWithoutHeader) {
  Fixture f;
  const auto l = MakePacket(103, 7, 20000, 1);  // 22 zones and 596 bytes
  const auto n = MakePacket(104, 8, 500, 2);
  const auto stream = CutIntoMpdus({l, n, MakePacket(105, 9, 882, 3)});
  for (int i = 0; i < 14; ++i) EXPECT_EQ(f.Feed(stream.records[static_cast<size_t>(i)]), 0);
  const int slot = f.V().current_slot;
  EXPECT_EQ(f.Feed(stream.records[14]), 0);
  EXPECT_EQ(Lines(f.diag),
            std::vector<std::string>{"BP: ln14  Discarding long packet! hc=2047 len=19993 mi=882"});
  EXPECT_EQ(f.V().state, BuildState::IDLE);
  EXPECT_FALSE(f.builder->SlotReady(slot));
  // The rest of the long packet is ignored; the next packet is delivered normally when the
  // header after it arrives.
  int pb = 0;
  for (size_t i = 15; i < stream.records.size(); ++i) pb += f.Feed(stream.records[i]);
  EXPECT_EQ(pb, 1);
  EXPECT_EQ(f.Next(500), 0);
  EXPECT_EQ(f.Got(500), n);
  EXPECT_EQ(f.builder->Losses().DroppedOf(104), 0);
}

TEST(SourcePacketBuilder, SizeTestsAllowEquality) {
  const auto exact = MakePacket(103, 1, kDefaultMax, 1);  // Len 12959
  const auto next = MakePacket(103, 2, 700, 2);
  const auto stream = CutIntoMpdus({exact, next});
  {
    Fixture f;
    int pb = 0;
    for (const auto& record : stream.records) pb += f.Feed(record);
    EXPECT_EQ(pb, 1);
    EXPECT_EQ(f.Next(kDefaultMax), 0);
    EXPECT_EQ(f.Got(kDefaultMax), exact);
  }
  {
    Fixture f(kDefaultMax - 1);
    int pb = 0;
    for (const auto& record : stream.records) pb += f.Feed(record);
    EXPECT_EQ(pb, 0);
  }
  // The same at a zone without header: 2 x 882 bytes fit a limit of 1764 exactly.
  const auto two = MakePacket(103, 3, 2 * kZone, 3);
  const auto tail = CutIntoMpdus({two, MakePacket(103, 4, 882, 4)}).records;
  ASSERT_EQ(tail.size(), 3u);
  {
    Fixture f(2 * kZone);
    EXPECT_EQ(f.Feed(tail[0]) + f.Feed(tail[1]) + f.Feed(tail[2]), 2);
    EXPECT_EQ(f.Next(2 * kZone), 1);
    EXPECT_EQ(f.Got(2 * kZone), two);
  }
  {
    Fixture f(2 * kZone - 1);
    EXPECT_EQ(f.Feed(tail[0]) + f.Feed(tail[1]), 0);
    EXPECT_EQ(Lines(f.diag),
              std::vector<std::string>{"BP: ln1  Discarding long packet! hc=2047 len=1757 mi=882"});
  }
}

TEST(SourcePacketBuilder, RingHandsOutOldestFirstAcrossTheWrapAndGrowsRatherThanOverwrite) {
  Fixture f;
  std::vector<std::vector<uint8_t>> small;
  std::vector<uint8_t> zone;
  for (int i = 0; i < 4; ++i) {
    small.push_back(MakePacket(103, i, 100, static_cast<uint32_t>(i)));
    zone = Join(zone, small.back());
  }
  const auto e = MakePacket(103, 4, 500, 4);  // 482 bytes here, 18 in the next zone
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(zone, Bytes(e, 0, 482)))), 4);  // slots 1-4
  // Nothing taken; the next zone completes e (slot 5), one more (slot 0), and opens a packet
  // while all six slots wait: a seventh slot takes it.
  const auto g = MakePacket(103, 5, 100, 5);
  const auto h = MakePacket(103, 6, 2000, 6);
  EXPECT_EQ(f.Feed(MakeMpdu(18, Join(Join(Bytes(e, 482, 500), g), h))), 2);
  EXPECT_EQ(f.builder->SlotCount(), kPacketSlotCount + 1);
  const std::vector<std::vector<uint8_t>> expected = {small[0], small[1], small[2], small[3], e, g};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(f.Next(static_cast<int>(expected[i].size())), static_cast<int>(5 - i));
    EXPECT_EQ(f.Got(expected[i].size()), expected[i]);
  }
  EXPECT_EQ(f.Next(100), -1);
  EXPECT_EQ(f.builder->Losses().overflowed, 0);
}

TEST(SourcePacketBuilder, SixPacketsFinishingInOneZoneComeOutInOrder) {
  Fixture f;
  const auto first = MakePacket(103, 0, 1000, 1);  // 882 here, 118 in the next zone
  EXPECT_EQ(f.Feed(MakeMpdu(0, Bytes(first, 0, 882))), 0);
  std::vector<std::vector<uint8_t>> expected = {first};
  std::vector<uint8_t> zone = Bytes(first, 882, 1000);
  for (int i = 1; i <= 6; ++i) {
    expected.push_back(MakePacket(103, i, 100, static_cast<uint32_t>(i) + 10));
    zone = Join(zone, expected.back());
  }
  zone = Join(zone, MakePacket(103, 7, 2000, 20));  // stays open
  EXPECT_EQ(f.Feed(MakeMpdu(118, zone)), 7);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(f.Next(static_cast<int>(expected[i].size())), static_cast<int>(6 - i));
    EXPECT_EQ(f.Got(expected[i].size()), expected[i]) << "packet " << i;
  }
  EXPECT_EQ(f.Next(100), -1);
}

TEST(SourcePacketBuilder, GetNextSlotsTwoAndThreeInOrderAndBadLengths) {
  Fixture f;
  const auto a = MakePacket(103, 1, 300, 1);
  EXPECT_EQ(f.Next(10), -1);  // nothing waits
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(a, MakePacket(103, 2, 582, 2)))), 2);
  EXPECT_EQ(f.Next(300), 1);  // slots 1 and 2 waited: 1 first
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(Join(MakePacket(104, 3, 200, 3), MakePacket(104, 4, 200, 4)),
                                    MakePacket(104, 5, 1000, 5)))),
            2);
  // Slots 2 (old), 3, 4 wait; slot 5 is open.
  EXPECT_EQ(f.Next(13000), -1);  // past the slot's data bytes
  EXPECT_EQ(f.Next(-1), -1);
  EXPECT_EQ(f.builder->GetNext(std::span<uint8_t>(f.buffer.data(), 10), 11), -1);
  EXPECT_EQ(f.Next(582), 2);
  EXPECT_EQ(f.Got(582), MakePacket(103, 2, 582, 2));
  EXPECT_EQ(f.Next(200), 1);
  EXPECT_EQ(f.Got(200), MakePacket(104, 3, 200, 3));
  EXPECT_EQ(f.Next(200), 0);
  EXPECT_EQ(f.Got(200), MakePacket(104, 4, 200, 4));
  EXPECT_EQ(f.Next(200), -1);
}

TEST(SourcePacketBuilder, DiagnosticBlockHoldsSixteenLinesAndIsEmptiedEveryCall) {
  Fixture f;
  std::vector<uint8_t> zone;
  for (int i = 1; i <= kZone / 7; ++i) zone = Join(zone, MakePacket(103, i, 7, 1));
  EXPECT_EQ(f.Feed(MakeMpdu(0, zone)), kZone / 7);
  const std::vector<std::string> lines = Lines(f.diag);
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[13], "BP: ln0 FIRSTBLOCK - hc=0 pi=7 len=0 mi=35 m=13 pb=5\n");
  EXPECT_EQ(lines[15],
            "BP: ln=0 READHEADER Found source packet - Ver=00 Type=00 Sec=01 APID=0067 SeqFlg=3 "
            "SeqCnt=0006 Len=0");
  // 126 packets in one call: the ring grew to hold them all, and they come out in order.
  for (int i = 1; i <= kZone / 7; ++i) {
    ASSERT_EQ(f.Next(7), kZone / 7 - i);
    ASSERT_EQ(f.Got(7), MakePacket(103, i, 7, 1)) << "packet " << i;
  }
  EXPECT_EQ(f.Next(7), -1);
  EXPECT_EQ(f.Feed(MakeMpdu(2047, {})), 0);
  for (const DiagnosticLine& line : f.diag) EXPECT_EQ(line[0], '\0');
}

TEST(SourcePacketBuilder, SetupResetsOnlyStateAndLineCount) {
  auto builder = std::make_unique<SourcePacketBuilder>();
  DiagnosticBlock diag{};
  EXPECT_EQ(builder->Geometry().zone_length, 0);
  // Before any set-up every zone is empty and nothing is completed.
  EXPECT_EQ(builder->FeedMpdu(MakeMpdu(0, MakePacket(103, 1, 100, 1)), diag), 0);
  EXPECT_EQ(builder->Variables().state, BuildState::IDLE);

  EXPECT_EQ(builder->Setup(kDefaultMax, 4), 0);
  const auto a = MakePacket(103, 1, 300, 1);
  EXPECT_EQ(builder->FeedMpdu(MakeMpdu(0, Join(a, MakePacket(103, 2, 900, 2))), diag), 1);
  const BuilderVariables before = builder->Variables();
  ASSERT_EQ(before.state, BuildState::BUILDING);

  EXPECT_EQ(builder->Setup(500, 3), -1);  // stores the limit, nothing else
  EXPECT_EQ(builder->Geometry().max_packet_length, 500);
  EXPECT_EQ(builder->Geometry().zone_offset, 4);
  EXPECT_EQ(builder->Variables().state, BuildState::BUILDING);
  EXPECT_EQ(builder->Variables().mpdus_fed, 1);
  EXPECT_EQ(builder->Setup(kPacketSlotCapacity + 1, 4), -1);  // would overflow a slot
  EXPECT_EQ(builder->Setup(kMinPacketLength - 1, 4), -1);
  EXPECT_EQ(builder->Geometry().max_packet_length, 500);

  EXPECT_EQ(builder->Setup(kPacketSlotCapacity, 2), 0);
  const BuilderGeometry& g = builder->Geometry();
  EXPECT_EQ(g.max_packet_length, kPacketSlotCapacity);
  EXPECT_EQ(g.pointer_offset, 0);
  EXPECT_EQ(g.zone_offset, 2);
  EXPECT_EQ(g.zone_length, 884);
  const BuilderVariables& after = builder->Variables();
  EXPECT_EQ(after.state, BuildState::IDLE);
  EXPECT_EQ(after.mpdus_fed, 0);
  EXPECT_EQ(after.current_slot, before.current_slot);
  EXPECT_EQ(after.slot_fill, before.slot_fill);
  EXPECT_EQ(after.zone_position, before.zone_position);
  EXPECT_EQ(after.first_header_pointer, before.first_header_pointer);
  EXPECT_EQ(after.header.Len, before.header.Len);
  // The waiting packet survived the set-up.
  std::vector<uint8_t> out(300);
  EXPECT_EQ(builder->GetNext(out, 300), 0);
  EXPECT_EQ(out, a);
}

TEST(SourcePacketBuilder, HeaderLengthTwoReadsThePointerFromByteZero) {
  Fixture f(kDefaultMax, 2);
  // Bytes 0-3 = 11 22 07 FF: pointer 0x1122 AND 0x7FF = 290 with header length 2.
  std::vector<uint8_t> record(testing::kRecord, 0);
  record[0] = 0x11;
  record[1] = 0x22;
  record[2] = 0x07;
  record[3] = 0xFF;
  const auto p = MakePacket(103, 1, 594, 1);  // fills the zone from 290 to its end (884)
  std::copy(p.begin(), p.end(), record.begin() + 2 + 290);
  EXPECT_EQ(f.Feed(record), 1);
  EXPECT_EQ(f.Next(594), 0);
  EXPECT_EQ(f.Got(594), p);
}

// Random packet streams cut into zones come out whole and in order (the last packet stays
// open). Fixed seeds, printed on failure.
class BuilderStream : public ::testing::TestWithParam<int> {};

TEST_P(BuilderStream, EveryPacketComesOutInOrder) {
  const int header_length = GetParam();
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " header length " +
                 std::to_string(header_length));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> size(300, 4000);
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 400; ++i) {
      packets.push_back(
          MakePacket(100 + i % 8, i, size(rng), seed * 1000 + static_cast<uint32_t>(i)));
    }
    const auto stream = CutIntoMpdus(packets, header_length);
    Fixture f(kDefaultMax, header_length);
    size_t next = 0;
    for (const auto& record : stream.records) {
      const int pb = f.Feed(record);
      for (int i = 0; i < pb; ++i) {
        ASSERT_LT(next, packets.size());
        const auto& want = packets[next++];
        EXPECT_GE(f.Next(static_cast<int>(want.size())), 0);
        ASSERT_EQ(f.Got(want.size()), want) << "packet " << next - 1;
      }
    }
    EXPECT_EQ(next, packets.size() - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(HeaderLengths, BuilderStream, ::testing::Values(4, 2));

TEST(SourcePacketBuilder, AbsurdRecordsNeverBreakTheBounds) {
  const uint32_t seed = 20240607;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto builder = std::make_unique<SourcePacketBuilder>();
  DiagnosticBlock diag{};
  std::vector<uint8_t> buffer(kPacketSlotCapacity);
  std::vector<uint8_t> record(testing::kRecord);
  for (int run = 0; run < 20; ++run) {
    const int header_length = (rng() % 3 == 0) ? 2 : 4;
    const int max = 7 + static_cast<int>(rng() % (kPacketSlotCapacity - 6));
    ASSERT_EQ(builder->Setup(max, header_length), 0);
    for (int i = 0; i < 2000; ++i) {
      for (auto& byte : record) byte = static_cast<uint8_t>(rng());
      // Pointers: mostly small or "no header", some anywhere in 11 bits.
      const int kind = static_cast<int>(rng() % 4);
      const int pointer = kind == 0   ? 2047
                          : kind == 1 ? static_cast<int>(rng() % 2048)
                                      : static_cast<int>(rng() % 40);
      const int at = header_length - 2;
      record[static_cast<size_t>(at)] =
          static_cast<uint8_t>((record[static_cast<size_t>(at)] & 0xF8) | (pointer >> 8));
      record[static_cast<size_t>(at) + 1] = static_cast<uint8_t>(pointer);
      // Random bytes make random headers: lengths from 7 bytes (many packets in one zone)
      // to far past the limit.
      const int pb = builder->FeedMpdu(record, diag);
      ASSERT_GE(pb, 0);
      const BuilderVariables& v = builder->Variables();
      ASSERT_LE(v.slot_fill, kPacketSlotCapacity);
      ASSERT_EQ(v.header_follows_packet, 0);
      ASSERT_TRUE(v.state == BuildState::IDLE || v.state == BuildState::GETHEADER ||
                  v.state == BuildState::BUILDING);
      for (int k = 0; k < pb; ++k) {
        const int length = static_cast<int>(rng() % (kPacketSlotCapacity + 100)) - 50;
        const int left = builder->GetNext(buffer, length);
        ASSERT_GE(left, -1);
        ASSERT_LE(left, kPacketSlotCount);
      }
    }
  }
  // A record shorter than the geometry needs is ignored.
  const int ln = builder->Variables().mpdus_fed;
  EXPECT_EQ(builder->FeedMpdu(std::span<const uint8_t>(record.data(), 100), diag), 0);
  EXPECT_EQ(builder->Variables().mpdus_fed, ln);
}

// Continuity: each M_PDU is told its VCDU frame counter before it is fed. Expected results are
// worked out from where each packet lies in the byte stream, not from the builder.
struct StreamLayout {
  std::vector<size_t> first_record;  // record holding each packet's first byte
  std::vector<size_t> last_record;   // record holding its last byte
  std::vector<bool> ends_zone;       // its last byte is the last of a zone
};

StreamLayout LayOut(const std::vector<std::vector<uint8_t>>& packets, int zone) {
  StreamLayout layout;
  size_t offset = 0;
  for (const auto& packet : packets) {
    layout.first_record.push_back(offset / static_cast<size_t>(zone));
    offset += packet.size();
    layout.last_record.push_back((offset - 1) / static_cast<size_t>(zone));
    layout.ends_zone.push_back(offset % static_cast<size_t>(zone) == 0);
  }
  return layout;
}

// Feeds `records` with counters first_counter + index (mod 2^24), leaving out the indices in
// `lost`; returns every packet handed out, `length` bytes each (the packet's own size when 0).
std::vector<std::vector<uint8_t>> FeedCounted(Fixture& f,
                                              const std::vector<std::vector<uint8_t>>& records,
                                              uint32_t first_counter,
                                              const std::vector<size_t>& lost,
                                              const std::vector<size_t>& uncorrectable = {}) {
  std::vector<std::vector<uint8_t>> out;
  for (size_t i = 0; i < records.size(); ++i) {
    if (std::find(lost.begin(), lost.end(), i) != lost.end()) continue;
    const bool bad =
        std::find(uncorrectable.begin(), uncorrectable.end(), i) != uncorrectable.end();
    f.builder->NoteFrame((first_counter + static_cast<uint32_t>(i)) & 0xFFFFFF, bad);
    const int pb = f.Feed(records[i]);
    for (int k = 0; k < pb; ++k) {
      std::vector<uint8_t> packet(kPacketSlotCapacity);
      EXPECT_GE(f.builder->GetNext(packet, kPacketSlotCapacity), 0);
      const int size = ((packet[4] << 8) | packet[5]) + 7;
      packet.resize(static_cast<size_t>(std::min(size, kPacketSlotCapacity)));
      out.push_back(packet);
    }
  }
  return out;
}

// Zone bytes of record `r` (the 882 bytes after the M_PDU header).
constexpr size_t kZoneAt = 4;

// The packets that should come out, worked out from where each lies in the stream: every packet
// whose 6 header bytes lie in records that arrived and were corrected, with zeros for the bytes
// of lost records (and of uncorrectable ones, unless `received` gives what came instead and no
// gap follows them). A packet stays open, and does not come out, when its end waits for a gap or
// an uncorrectable record that no trusted record after it places. The last one comes out only when
// it ends with a zone; otherwise the zeros that pad the last zone drop it (no header follows it
// there).
struct Expected {
  std::vector<std::vector<uint8_t>> packets;
  int64_t zero_filled = 0;
  int64_t never_begun = 0;
  int64_t dropped = 0;
};
Expected KeptPackets(const std::vector<std::vector<uint8_t>>& packets, const StreamLayout& layout,
                     const std::vector<size_t>& lost, const std::vector<size_t>& uncorrectable = {},
                     const std::vector<std::vector<uint8_t>>* received = nullptr) {
  const auto in = [](const std::vector<size_t>& list, size_t r) {
    return std::find(list.begin(), list.end(), r) != list.end();
  };
  // The last record whose counter is trusted: what lies after it is never placed.
  size_t last_fed = 0;
  for (size_t r = 0; r <= layout.last_record.back(); ++r)
    if (!in(lost, r) && !in(uncorrectable, r)) last_fed = r;
  // An uncorrectable record is placed (kept as received) only when the next record not
  // uncorrectable arrived: a gap after it leaves its place in doubt.
  const auto placed = [&](size_t r) {
    while (in(uncorrectable, r)) ++r;
    return !in(lost, r);
  };
  Expected expected;
  size_t offset = 0;
  bool begun_before = false;
  int64_t not_begun = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const size_t begin = offset;
    offset += packets[i].size();
    bool header = true;
    for (size_t b = begin; b < begin + 6; ++b) {
      const size_t r = b / kZone;
      header = header && !in(lost, r) && !in(uncorrectable, r);
    }
    if (!header) {
      ++not_begun;
      continue;
    }
    if (begun_before) expected.never_begun += not_begun;
    not_begun = 0;
    begun_before = true;
    if (layout.last_record[i] > last_fed) break;  // its end waits for a gap nothing shows
    if (i + 1 == packets.size() && !layout.ends_zone[i]) {
      expected.dropped = !in(lost, layout.last_record[i]);
      break;
    }
    std::vector<uint8_t> packet = packets[i];
    bool filled = false;
    for (size_t b = begin; b < offset; ++b) {
      const size_t r = b / kZone;
      if (in(lost, r)) {
        packet[b - begin] = 0;
        filled = true;
      } else if (in(uncorrectable, r)) {
        packet[b - begin] = received && placed(r) ? (*received)[r][kZoneAt + b % kZone] : 0;
        filled = true;
      }
    }
    expected.zero_filled += filled;
    expected.packets.push_back(packet);
  }
  return expected;
}

TEST(SourcePacketBuilderContinuity, GapInsideAPacketKeepsItWithZerosInPlace) {
  // a: records 0-1 (ends at 1500), b: 1500-14466 runs through records 1-16, c: after it.
  const auto a = MakePacket(103, 1, 1500, 1);
  const auto b = MakePacket(103, 2, kDefaultMax, 2);
  const auto c = MakePacket(103, 3, kDefaultMax, 3);
  const auto d = MakePacket(103, 4, 792, 4);  // ends with zone 31
  const std::vector<std::vector<uint8_t>> packets = {a, b, c, d};
  const auto stream = CutIntoMpdus(packets);
  ASSERT_EQ(stream.records.size(), 32u);
  Fixture f;
  const std::vector<size_t> lost = {5};  // inside b: its bytes 2910..3791
  const auto got = FeedCounted(f, stream.records, 100, lost);
  auto b_kept = b;
  std::fill(b_kept.begin() + (5 * kZone - 1500), b_kept.begin() + (6 * kZone - 1500), 0);
  EXPECT_EQ(got, (std::vector<std::vector<uint8_t>>{a, b_kept, c, d}));
  EXPECT_EQ(f.builder->Losses().frames_missing, 1);
  EXPECT_EQ(f.builder->Losses().DroppedOf(103), 0);
  EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), 1);
  EXPECT_EQ(f.builder->Losses().restarts, 0);
  // Three frames lost where b ends and c begins: b keeps its length with zeros to its end, c's
  // header went with them, and d begins where the next pointer says.
  Fixture g;
  const auto kept = KeptPackets(packets, LayOut(packets, kZone), {16, 17, 18});
  EXPECT_EQ(FeedCounted(g, stream.records, 100, {16, 17, 18}), kept.packets);
  ASSERT_EQ(kept.packets.size(), 3u);
  EXPECT_EQ(g.builder->Losses().ZeroFilledOf(103), 1);
  EXPECT_EQ(g.builder->Losses().never_begun[103], 1);
  EXPECT_EQ(g.builder->Losses().dropped[103], 0);
}

TEST(SourcePacketBuilderContinuity, GapBetweenPacketsCostsOnlyThePacketInIt) {
  // Packets of exactly two zones each: every one ends with a zone, so losing the two zones of
  // the third costs that packet only (counted by the gap in the sequence count), and the packet
  // before it is already whole.
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 6; ++i) packets.push_back(MakePacket(103, i, 2 * kZone, 10 + i));
  const auto stream = CutIntoMpdus(packets);
  ASSERT_EQ(stream.records.size(), 12u);
  Fixture f;
  const std::vector<size_t> lost = {4, 5};
  const auto got = FeedCounted(f, stream.records, 7, lost);
  EXPECT_EQ(got, KeptPackets(packets, LayOut(packets, kZone), lost).packets);
  EXPECT_EQ(got.size(), 5u);
  EXPECT_EQ(f.builder->Losses().zero_filled[103], 0);
  EXPECT_EQ(f.builder->Losses().frames_missing, 2);
  EXPECT_EQ(f.builder->Losses().dropped[103], 0);
  EXPECT_EQ(f.builder->Losses().never_begun[103], 1);
}

TEST(SourcePacketBuilderContinuity, CounterWrapsAt2To24) {
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 5; ++i) packets.push_back(MakePacket(103, i, kDefaultMax, 30 + i));
  const auto stream = CutIntoMpdus(packets);
  const uint32_t near_top = (1u << 24) - 20;  // records 20 on count 0, 1, ...
  {
    Fixture f;
    const auto got = FeedCounted(f, stream.records, near_top, {});
    EXPECT_EQ(got, KeptPackets(packets, LayOut(packets, kZone), {}).packets);
    EXPECT_EQ(f.builder->Losses().frames_missing, 0);
    EXPECT_EQ(f.builder->Losses().restarts, 0);
  }
  {
    // A gap across the wrap: records 19 (count 2^24 - 1) and 20 (count 0) lost.
    Fixture f;
    const std::vector<size_t> lost = {19, 20};
    const auto got = FeedCounted(f, stream.records, near_top, lost);
    EXPECT_EQ(got, KeptPackets(packets, LayOut(packets, kZone), lost).packets);
    EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), 1);
    EXPECT_EQ(f.builder->Losses().frames_missing, 2);
    EXPECT_EQ(f.builder->Losses().restarts, 0);
  }
}

TEST(SourcePacketBuilderContinuity, JumpNoPassCouldMakeIsARestart) {
  Fixture f;
  const auto a = MakePacket(103, 1, 3000, 1);
  const auto stream = CutIntoMpdus({a, MakePacket(103, 2, 900, 2)});
  ASSERT_EQ(stream.records.size(), 5u);
  f.builder->NoteFrame(500, false);
  f.Feed(stream.records[0]);
  // 1001 frames on: not a gap to count, but the open packet cannot be trusted.
  EXPECT_EQ(f.builder->NoteFrame(500 + 1002, false), 0);
  EXPECT_EQ(f.Feed(stream.records[1]), 0);
  EXPECT_EQ(f.builder->Losses().frames_missing, 0);
  EXPECT_EQ(f.builder->Losses().restarts, 1);
  EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
  EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), 0);
  // The rest of a never comes out; the next header starts a new packet.
  EXPECT_EQ(f.builder->NoteFrame(1503, false), 0);
  EXPECT_EQ(f.Feed(stream.records[2]), 0);
  EXPECT_EQ(f.builder->NoteFrame(1504, false), 0);
  EXPECT_EQ(f.Feed(stream.records[3]), 0);
  EXPECT_EQ(f.V().state, BuildState::BUILDING);
  EXPECT_EQ(f.V().header.SeqCnt, 2);
  // The largest gap a pass can have is counted; going back is a restart.
  EXPECT_EQ(f.builder->NoteFrame(1504 + 1001, false), 1000);
  EXPECT_EQ(f.builder->NoteFrame(10, false), 0);
  EXPECT_EQ(f.builder->NoteFrame(10, false), 0);  // the same frame twice
  EXPECT_EQ(f.builder->Losses().restarts, 3);
  EXPECT_EQ(f.builder->Losses().frames_missing, 1000);
}

TEST(SourcePacketBuilderContinuity, UncorrectableFrameKeepsItsPacketInPlaceNotAHeaderInIt) {
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 4; ++i) packets.push_back(MakePacket(103, i, kDefaultMax, 50 + i));
  const auto stream = CutIntoMpdus(packets);
  // Record 29 holds the end of packet 1 and the start of packet 2; as received it is noise,
  // its pointer too.
  const StreamLayout layout = LayOut(packets, kZone);
  ASSERT_EQ(layout.last_record[1], 29u);
  auto received = stream.records;
  for (size_t k = 2; k < received[29].size(); ++k) received[29][k] = static_cast<uint8_t>(k * 7);
  const std::vector<size_t> bad = {29};
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept as received" : "zeros");
    Fixture f;
    f.builder->SetKeepUncorrectable(keep);
    const auto got = FeedCounted(f, received, 0, {}, bad);
    const Expected expected = KeptPackets(packets, layout, {}, bad, keep ? &received : nullptr);
    EXPECT_EQ(got, expected.packets);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[1], packets[1]);
    EXPECT_EQ(f.builder->Losses().skipped_frames, 1);
    // Counted as present: no frame is missing. Packet 1 is kept, packet 2 never begun (its
    // header was in the uncorrectable zone); packet 3 is still open at the end.
    EXPECT_EQ(f.builder->Losses().frames_missing, 0);
    EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), 1);
    EXPECT_EQ(f.builder->Losses().dropped[103], 0);
    EXPECT_EQ(f.builder->Losses().never_begun[103], 1);
  }
}

// A run of uncorrectable frames longer than a packet, kept as received: the packet open at its
// start takes what it can hold of it in place; followed by a gap, the run is zeros.
TEST(SourcePacketBuilderContinuity, LongRunOfUncorrectableFramesKeptAsReceived) {
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 5; ++i) packets.push_back(MakePacket(103, i, kDefaultMax, 70 + i));
  const auto stream = CutIntoMpdus(packets);
  auto received = stream.records;
  std::vector<size_t> bad;
  for (size_t r = 3; r < 23; ++r) {
    bad.push_back(r);
    for (size_t k = 2; k < received[r].size(); ++k) received[r][k] = static_cast<uint8_t>(r + k);
  }
  const StreamLayout layout = LayOut(packets, kZone);
  for (const std::vector<size_t>& lost : {std::vector<size_t>{}, std::vector<size_t>{23}}) {
    SCOPED_TRACE(lost.empty() ? "placed" : "a gap after the run");
    Fixture f;
    f.builder->SetKeepUncorrectable(true);
    const auto got = FeedCounted(f, received, 9, lost, bad);
    const Expected expected = KeptPackets(packets, layout, lost, bad, &received);
    EXPECT_EQ(got, expected.packets);
    ASSERT_FALSE(got.empty());
    // Packet 0 ends in record 14, inside the run.
    EXPECT_EQ(got[0][5 * kZone] != 0, lost.empty());
    EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), expected.zero_filled);
  }
}

// A header lost with a frame (whole, or its second half) costs its packet; the packets around it
// are kept.
TEST(SourcePacketBuilderContinuity, GapTakingTheHeaderDropsThePacket) {
  // a: 879 bytes, b's header cut after 3 bytes at the end of record 0; c begins at 1500 in
  // record 1 and ends at 3264 in record 3, where d begins; e is record 6.
  const auto a = MakePacket(103, 1, 879, 1);
  const auto b = MakePacket(103, 2, 621, 2);
  const auto c = MakePacket(103, 3, 2 * kZone, 3);
  const auto d = MakePacket(103, 4, 6 * kZone - 3264, 4);
  const auto e = MakePacket(103, 5, kZone, 5);
  const std::vector<std::vector<uint8_t>> packets = {a, b, c, d, e};
  const auto stream = CutIntoMpdus(packets);
  ASSERT_EQ(stream.records.size(), 7u);
  // Record 1 takes b's header's second half and c's header; record 3 takes d's header and the
  // end of c, which is kept with zeros.
  const struct {
    size_t lost;
    std::vector<std::vector<uint8_t>> kept;
    int64_t dropped;
  } cases[] = {
      {1, {a, d, e}, 2},
      {3, {a, b, Join(Bytes(c, 0, 3 * kZone - 1500), std::vector<uint8_t>(618, 0)), e}, 1},
  };
  for (const auto& loss : cases) {
    SCOPED_TRACE("record " + std::to_string(loss.lost) + " lost");
    Fixture f;
    const Expected expected = KeptPackets(packets, LayOut(packets, kZone), {loss.lost});
    EXPECT_EQ(expected.packets, loss.kept);
    EXPECT_EQ(FeedCounted(f, stream.records, 40, {loss.lost}), loss.kept);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), loss.dropped);
    EXPECT_EQ(f.builder->Losses().never_begun[103], expected.never_begun);
    EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), expected.zero_filled);
  }
}

// Packets lost before their header was whole are counted from the sequence count of the next
// packet of their APID whose header arrives: once, per APID, across the 14-bit wrap; a jump no
// pass could make, a step back and a restart of the frame counter count nothing.
TEST(SourcePacketBuilderContinuity, SequenceCountGapsCountPacketsNeverBegun) {
  {
    // APIDs 103 and 104 alternate; the zones of 103's count 16383 and 104's count 0 are lost.
    std::vector<std::vector<uint8_t>> packets;
    const int first[] = {16381, 7};
    for (int i = 0; i < 8; ++i)
      packets.push_back(MakePacket(103 + i % 2, (first[i % 2] + i / 2) & 0x3FFF, 2 * kZone, i));
    const auto stream = CutIntoMpdus(packets);
    Fixture f;
    const std::vector<size_t> lost = {4, 5, 6, 7};
    const auto got = FeedCounted(f, stream.records, 0, lost);
    EXPECT_EQ(got, KeptPackets(packets, LayOut(packets, kZone), lost).packets);
    EXPECT_EQ(f.builder->Losses().never_begun[103], 1);
    EXPECT_EQ(f.builder->Losses().never_begun[104], 1);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
  }
  {
    // A header cut after 3 bytes by a gap, its packet's bytes lost: counted once, by the gap
    // its sequence count leaves.
    const auto p = MakePacket(103, 1, 879, 1);
    const auto q = MakePacket(103, 2, 1000, 2);
    const auto r = MakePacket(103, 3, 882, 3);
    Fixture f;
    f.builder->NoteFrame(0, false);
    EXPECT_EQ(f.Feed(MakeMpdu(0, Join(p, Bytes(q, 0, 3)))), 1);
    f.builder->NoteFrame(2, false);  // frame 1 lost
    f.Feed(MakeMpdu(0, r));
    EXPECT_EQ(f.builder->Losses().dropped[103], 0);
    EXPECT_EQ(f.builder->Losses().never_begun[103], 1);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
  }
  {
    // Jumps: more than 1000 on, back, the same count; and a frame-counter restart.
    Fixture f;
    uint32_t frame = 0;
    const auto feed = [&](int apid, int seq, uint32_t counter) {
      f.builder->NoteFrame(counter, false);
      f.Feed(MakeMpdu(0, MakePacket(apid, seq, kZone, static_cast<uint32_t>(seq))));
      frame = counter;
    };
    feed(103, 10, 0);
    feed(103, 1012, 1);  // 1001 missing: a restart
    feed(103, 1013, 2);
    feed(103, 1000, 3);  // back
    feed(103, 1000, 4);  // the same
    EXPECT_EQ(f.builder->Losses().never_begun[103], 0);
    feed(103, 1003, 5);  // 1001 and 1002 missing
    EXPECT_EQ(f.builder->Losses().never_begun[103], 2);
    feed(103, 1010, 5005);  // a new stream: its count starts a new track
    feed(103, 1011, 5006);
    EXPECT_EQ(f.builder->Losses().never_begun[103], 2);
    EXPECT_EQ(f.builder->Losses().restarts, 1);
    feed(2047, 0, frame + 1);  // idle packets count nothing
    feed(2047, 0, frame + 2);
    EXPECT_EQ(f.builder->Losses().never_begun[2047], 0);
  }
}

TEST(SourcePacketBuilderContinuity, PointerDisagreeingWithTheLengthDropsThePacket) {
  const auto b = MakePacket(103, 2, 1000, 2);
  const auto c = MakePacket(104, 3, 800, 3);
  {
    // The next header comes 20 bytes early: b is shorter than its header says.
    Fixture f;
    EXPECT_EQ(f.Feed(MakeMpdu(0, Bytes(b, 0, 882))), 0);
    EXPECT_EQ(f.Feed(MakeMpdu(98, Join(Bytes(b, 882, 980), c))), 0);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
    EXPECT_EQ(f.V().state, BuildState::BUILDING);  // c began at the pointer
    EXPECT_EQ(f.V().header.APID, 104);
  }
  {
    // The next header comes 20 bytes late: b would be longer than its header says.
    Fixture f;
    EXPECT_EQ(f.Feed(MakeMpdu(0, Bytes(b, 0, 882))), 0);
    EXPECT_EQ(
        f.Feed(MakeMpdu(138, Join(Join(Bytes(b, 882, 1000), std::vector<uint8_t>(20, 0)), c))), 0);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
    EXPECT_EQ(f.V().header.APID, 104);
  }
  {
    // No header in a zone where b ends: the header that must follow it was lost.
    Fixture f;
    EXPECT_EQ(f.Feed(MakeMpdu(0, Bytes(b, 0, 882))), 0);
    EXPECT_EQ(f.Feed(MakeMpdu(2047, Bytes(b, 882, 1000))), 0);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
    EXPECT_EQ(f.V().state, BuildState::IDLE);
  }
  {
    // A header split across zones whose packet ends elsewhere than the next pointer says.
    Fixture f;
    const auto p = MakePacket(105, 1, 879, 1);
    const auto q = MakePacket(103, 2, 100, 2);  // 3 header bytes, then 40 of its 97
    const auto e = MakePacket(104, 3, 842, 3);  // fills the zone from the pointer
    EXPECT_EQ(f.Feed(MakeMpdu(0, Join(p, Bytes(q, 0, 3)))), 1);
    EXPECT_EQ(f.Feed(MakeMpdu(40, Join(Bytes(q, 3, 43), e))), 1);
    EXPECT_EQ(f.builder->Losses().DroppedOf(103), 1);
    EXPECT_EQ(f.Next(879), 1);
    EXPECT_EQ(f.Got(879), p);
    EXPECT_EQ(f.Next(842), 0);
    EXPECT_EQ(f.Got(842), e);
  }
}

TEST(SourcePacketBuilderContinuity, ShortPacketIsPaddedWithZerosNotStaleBytes) {
  Fixture f;
  const auto big = MakePacket(103, 1, 800, 1);
  const auto filler = MakePacket(105, 2, 82, 2);
  // Fill slots 1-6 with big packets' bytes, then a short one lands in a used slot.
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(f.Feed(MakeMpdu(0, Join(big, filler))), 2);
    EXPECT_GE(f.Next(800), 0);
    EXPECT_GE(f.Next(82), 0);
  }
  const auto short_one = MakePacket(103, 3, 100, 3);
  EXPECT_EQ(f.Feed(MakeMpdu(0, Join(short_one, MakePacket(105, 4, 782, 4)))), 2);
  std::fill(f.buffer.begin(), f.buffer.end(), 0x77);
  EXPECT_GE(f.Next(800), 0);
  EXPECT_EQ(f.Got(800), Join(short_one, std::vector<uint8_t>(700, 0)));
}

// Random packet streams with random lost and uncorrectable records: every packet whose header
// arrived comes out, in order, with zeros exactly where its bytes were lost, and no other.
TEST(SourcePacketBuilderContinuity, RandomGapsNeverYieldAMixedPacket) {
  for (uint32_t seed : {11u, 12u, 13u, 14u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> size(7, 5000);
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 300; ++i) {
      packets.push_back(MakePacket(103, i, size(rng), seed * 1000 + static_cast<uint32_t>(i)));
    }
    const auto stream = CutIntoMpdus(packets);
    std::vector<size_t> lost, bad;
    for (size_t r = 1; r < stream.records.size(); ++r) {
      const uint32_t roll = rng() % 40;
      if (roll == 0) lost.push_back(r);
      if (roll == 1) bad.push_back(r);
    }
    ASSERT_FALSE(lost.empty());
    ASSERT_FALSE(bad.empty());
    Fixture f;
    const auto got = FeedCounted(f, stream.records, rng() & 0xFFFFFF, lost, bad);
    const Expected expected = KeptPackets(packets, LayOut(packets, kZone), lost, bad);
    EXPECT_EQ(got, expected.packets);
    EXPECT_EQ(f.builder->Losses().frames_missing, static_cast<int64_t>(lost.size()));
    EXPECT_EQ(f.builder->Losses().ZeroFilledOf(103), expected.zero_filled);
    EXPECT_GT(expected.zero_filled, 0);
    EXPECT_EQ(f.builder->Losses().never_begun[103], expected.never_begun);
    EXPECT_EQ(f.builder->Losses().dropped[103], expected.dropped);
  }
}

}  // namespace
}  // namespace vantrel
