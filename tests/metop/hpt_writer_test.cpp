#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/product_file.h"
#include "core/stage_error.h"
#include "metop/hpt_record.h"
#include "metop/hpt_writer.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::ReadFileBytes;
using testing::RecordingHost;
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr size_t kPacket = 12966;
constexpr size_t kRecord = 13864;

// An AVHRR packet: day count in bytes 6-7, millisecond count in bytes 8-11, instrument data
// from byte 82 following `seed`; every other byte 0xEE so that a stray copy would show.
std::vector<uint8_t> MakeAvhrrPacket(int day_count, uint32_t ms, uint32_t seed) {
  std::vector<uint8_t> packet(kPacket, 0xEE);
  packet[6] = static_cast<uint8_t>(day_count >> 8);
  packet[7] = static_cast<uint8_t>(day_count);
  for (int i = 0; i < 4; ++i)
    packet[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(ms >> (24 - 8 * i));
  uint32_t x = seed;
  for (size_t i = 82; i < 82 + 12800; ++i) {
    x = x * 1664525u + 1013904223u;
    packet[i] = static_cast<uint8_t>(x >> 24);
  }
  return packet;
}

// Bit `n` of `bytes`, bit 0 the most significant bit of byte 0.
int Bit(const std::vector<uint8_t>& bytes, size_t n) {
  return (bytes[n / 8] >> (7 - n % 8)) & 1;
}

// 10-bit word `n` (1-based) of an HRPT minor frame.
int Word(const std::vector<uint8_t>& record, size_t n) {
  int word = 0;
  for (size_t b = 0; b < 10; ++b) word = (word << 1) | Bit(record, 10 * (n - 1) + b);
  return word;
}

std::vector<uint8_t> Fill(const std::vector<uint8_t>& packet, int64_t k) {
  std::vector<uint8_t> record(kRecord, 0);
  FillHptRecord(std::span<uint8_t, kHptRecordLength>(record.data(), kRecord),
                std::span<const uint8_t, kAvhrrPacketLength>(packet.data(), kPacket), k);
  return record;
}

std::vector<uint8_t> Range(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from),
                              v.begin() + static_cast<long>(to));
}

TEST(HptRecord, DayOfYearFromDayCount) {
  // Dates worked out by hand: 2000 and 2004 are leap years.
  EXPECT_EQ(DayOfYear(0), 1);        // 2000-01-01
  EXPECT_EQ(DayOfYear(59), 60);      // 2000-02-29
  EXPECT_EQ(DayOfYear(60), 61);      // 2000-03-01
  EXPECT_EQ(DayOfYear(365), 366);    // 2000-12-31
  EXPECT_EQ(DayOfYear(366), 1);      // 2001-01-01
  EXPECT_EQ(DayOfYear(1520), 60);    // 2004-02-29
  EXPECT_EQ(DayOfYear(6939), 365);   // 2018-12-31
  EXPECT_EQ(DayOfYear(65535), 157);  // 2179-06-06
}

TEST(HptRecord, TimeCodeBytes) {
  EXPECT_EQ(Range(Fill(MakeAvhrrPacket(0, 0, 1), 0), 10, 15),
            (std::vector<uint8_t>{0x00, 0xA8, 0x00, 0x00, 0x00}));
  // Day 366: 0xB7 and 0x28 OR the millisecond count's top byte.
  EXPECT_EQ(Range(Fill(MakeAvhrrPacket(365, 0x03000000, 1), 0), 10, 12),
            (std::vector<uint8_t>{0xB7, 0x2B}));
  EXPECT_EQ(Range(Fill(MakeAvhrrPacket(6939, 86399999, 1), 0), 10, 15),
            (std::vector<uint8_t>{0xB6, 0xAD, 0x26, 0x5B, 0xFF}));
}

TEST(HptRecord, WordsOfTheMinorFrame) {
  const uint32_t ms = 86399999;  // 0x0526_5BFF
  const auto packet = MakeAvhrrPacket(6939, ms, 5);
  for (int64_t k : {0, 1, 2, 3, 4, 5, 7}) {
    SCOPED_TRACE("record " + std::to_string(k));
    const auto record = Fill(packet, k);
    const int sync[] = {0x284, 0x16F, 0x35C, 0x19D, 0x20F, 0x095};
    for (size_t w = 1; w <= 6; ++w) EXPECT_EQ(Word(record, w), sync[w - 1]);
    const int counter[] = {0x040, 0x0C0, 0x140, 0x1C0};
    EXPECT_EQ(Word(record, 7), counter[k % 4]);
    EXPECT_EQ(Word(record, 8), 0);
    EXPECT_EQ(Word(record, 9), 365 * 2);
    EXPECT_EQ(Word(record, 10), static_cast<int>(0x280 | ((ms >> 20) & 0x7F)));
    EXPECT_EQ(Word(record, 11), static_cast<int>((ms >> 10) & 0x3FF));
    EXPECT_EQ(Word(record, 12), static_cast<int>(ms & 0x3FF));
    for (size_t w = 13; w <= 17; ++w) EXPECT_EQ(Word(record, w), 0);
    for (size_t w = 18; w <= 20; ++w) EXPECT_EQ(Word(record, w), k % 5 == 0 ? 0 : 0x0C0);
    for (size_t w = 21; w <= 749; ++w) ASSERT_EQ(Word(record, w), 0) << "word " << w;
    // The instrument data, bit for bit, from record bit 7496.
    for (size_t b = 0; b < 102400; ++b) {
      ASSERT_EQ(Bit(record, 7496 + b), Bit(packet, 82 * 8 + b)) << "data bit " << b;
    }
    for (size_t b = 109896; b < kRecord * 8; ++b) ASSERT_EQ(Bit(record, b), 0) << "bit " << b;
  }
}

std::vector<uint8_t> Packets(int count) {
  std::vector<uint8_t> all;
  for (int i = 0; i < count; ++i) {
    const auto p =
        MakeAvhrrPacket(6939, 36000000u + static_cast<uint32_t>(i) * 167, static_cast<uint32_t>(i));
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

TEST(HptWriter, SixRecordsWithCountersAndLog) {
  TempFolder folder;
  WriteFileBytes("APID.pkt", Packets(6));
  RecordingHost host;
  host.input_path = "/mnt/raw/MetopB_20181231_101530.bin";
  host.SetSatellite("metop-b");
  host.progress_maximum = 42;
  HptWriter(host);

  const std::string name = "MetopB_20181231_1015_M03.hpt";
  const auto out = ReadFileBytes(name);
  ASSERT_EQ(out.size(), 6 * kRecord);
  const uint8_t counters[] = {0x51, 0x53, 0x55, 0x57, 0x51, 0x53};
  const std::vector<uint8_t> pattern = {0x0C, 0x03, 0x00, 0xC0}, zeros(4, 0);
  for (size_t k = 0; k < 6; ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    EXPECT_EQ(Range(out, k * kRecord, k * kRecord + 7),
              (std::vector<uint8_t>{0xA1, 0x16, 0xFD, 0x71, 0x9D, 0x83, 0xC9}));
    EXPECT_EQ(out[k * kRecord + 7], counters[k]);
    EXPECT_EQ(Range(out, k * kRecord + 21, k * kRecord + 25), k % 5 == 0 ? zeros : pattern);
  }
  const std::vector<std::string> expected = {
      "Starting creating .hpt file...",
      "HPT file created done!  6 lines found.",
      "",
      "Finally, output file is '" + folder.File(name) + "'",
      "",
      "**************** MetOp processing DONE! ****************",
  };
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.chain.LastLineCount, 6);
  EXPECT_EQ(host.chain.ProgressCount, 0);
  EXPECT_EQ(host.events, 7);
  EXPECT_EQ(host.progress_maximum, 42);  // left as the previous stage set it

  // A second run starts both cycles again.
  HptWriter(host);
  const auto again = ReadFileBytes(name);
  EXPECT_EQ(again, out);
}

TEST(HptWriter, ShortLastPacketDroppedAndEmptyInput) {
  TempFolder folder;
  auto input = Packets(2);
  input.resize(input.size() + 100, 0x11);
  WriteFileBytes("APID.pkt", input);
  RecordingHost host;
  host.input_path = "MetopC_20200101_000000.bin";
  host.SetSatellite("metop-c");
  HptWriter(host);
  EXPECT_EQ(ReadFileBytes("MetopC_20200101_0000_M04.hpt").size(), 2 * kRecord);
  EXPECT_EQ(host.chain.LastLineCount, 2);

  // A rerun that finds no line keeps the earlier product, and says so after the done line.
  WriteFileBytes("APID.pkt", {});
  host.log.clear();
  HptWriter(host);
  EXPECT_EQ(ReadFileBytes("MetopC_20200101_0000_M04.hpt").size(), 2 * kRecord);
  const std::vector<std::string> expected = {
      "Starting creating .hpt file...", "HPT file created done!  0 lines found.",
      "No line found: the product '" + folder.File("MetopC_20200101_0000_M04.hpt") +
          "' was not written.",
      ""};
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.chain.LastLineCount, 0);
  EXPECT_FALSE(testing::FileExists(std::string(kProductTempName)));
}

TEST(HptWriter, ManyRecordsEachFromItsOwnPacket) {
  TempFolder folder;
  // 100 packets (1.3 MB) cross the writer's read and write blocks.
  const auto input = Packets(100);
  WriteFileBytes("APID.pkt", input);
  RecordingHost host;
  host.input_path = "MetopB_20181231_101530.bin";
  host.SetSatellite("metop-b");
  HptWriter(host);
  const auto out = ReadFileBytes("MetopB_20181231_1015_M03.hpt");
  ASSERT_EQ(out.size(), 100 * kRecord);
  for (size_t k = 0; k < 100; ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    const size_t r = k * kRecord, p = k * kPacket;
    EXPECT_EQ(Range(out, r + 12, r + 15), Range(input, p + 9, p + 12));
    EXPECT_EQ(Range(out, r + 937, r + 937 + 12800), Range(input, p + 82, p + 82 + 12800));
  }
  EXPECT_EQ(host.chain.LastLineCount, 100);
}

TEST(HptWriter, OutputNamesOfTheThreeSatellites) {
  struct Case {
    const char* input;
    const char* satellite;
    const char* name;
  };
  const Case cases[] = {
      {"/data/MetopA_20181231_101530.bin", "metop-a", "20181231_1015_M02.hpt"},
      {"/data/MetopB_20181231_101530.bin", "metop-b", "MetopB_20181231_1015_M03.hpt"},
      {"C:/data/MetopC_20200101_000000.bin", "metop-c", "MetopC_20200101_0000_M04.hpt"},
      {"/data/MetopA_pass_one", "metop-a", "pass_one_M02.hpt"},
      // The run's satellite's marker names the product, whatever other marker the path holds. A
      // folder separator left in the name does not lead out of the working folder.
      {"/data/MetopA_x/MetopB_20181231_101530.bin", "metop-a", "x_MetopB_20181231_1015_M02.hpt"},
      {"MetopC_20200101_000000.bin", "metop-c", "MetopC_20200101_0000_M04.hpt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempFolder folder;
    WriteFileBytes("APID.pkt", Packets(1));
    RecordingHost host;
    host.input_path = c.input;
    host.SetSatellite(c.satellite);
    HptWriter(host);
    EXPECT_EQ(ReadFileBytes(c.name).size(), kRecord);
    EXPECT_TRUE(host.Logged("Finally, output file is '" + folder.File(c.name) + "'"));
  }
}

TEST(HptWriter, IncompleteProductIsNotReportedAsDone) {
  TempFolder folder;
  WriteFileBytes("APID.pkt", Packets(3));
  // The disk fills while the product is written; a link stands where the product goes.
  WriteFileBytes("victim", {9});
  std::filesystem::create_symlink(folder.File("victim"), "MetopB_20181231_1015_M03.hpt");
  RecordingHost host;
  host.input_path = "MetopB_20181231_101530.bin";
  host.SetSatellite("metop-b");
  host.chain.LastLineCount = 5;
  {
    testing::FileSizeLimit disk_full(1 << 14);
    EXPECT_EQ(RunEnd(HptWriter, host),
              "The product '" + folder.File("MetopB_20181231_1015_M03.hpt") +
                  "' is incomplete and was not written (" + std::string(std::strerror(EFBIG)) +
                  "): the run ends here.");
  }
  EXPECT_TRUE(host.Logged("HPT file created done!  3 lines found."));
  EXPECT_EQ(ReadFileBytes("victim"), (std::vector<uint8_t>{9}));
  EXPECT_FALSE(host.Logged("**************** MetOp processing DONE! ****************"));
  EXPECT_EQ(host.chain.LastLineCount, 0);
  EXPECT_EQ(host.chain.ProgressCount, 0);
}

// APID.pkt records are MaxPkLen bytes long. Read as 12966-byte packets, a file of 12999-byte
// records would shift every packet after the first by 33 more bytes; each record must give the
// frame of its own packet, and a record shorter than a packet gives zeros where it has no bytes.
TEST(HptWriter, RecordsAreReadAtTheMaximumPacketLength) {
  TempFolder folder;
  constexpr size_t kLongest = 12999;
  std::vector<uint8_t> records;
  std::vector<std::vector<uint8_t>> packets;
  for (uint32_t i = 0; i < 3; ++i) {
    packets.push_back(MakeAvhrrPacket(100 + static_cast<int>(i), 5000 + i, i));
    records.insert(records.end(), packets.back().begin(), packets.back().end());
    records.resize(records.size() + (kLongest - kPacket), 0x77);  // left in the slot behind it
  }
  WriteFileBytes("APID.pkt", records);
  RecordingHost host;
  host.input_path = "MetopB_20181231_101530.bin";
  host.SetSatellite("metop-b");
  host.settings.MaxPkLen = "12999";
  HptWriter(host);
  const auto out = ReadFileBytes("MetopB_20181231_1015_M03.hpt");
  ASSERT_EQ(out.size(), 3 * kRecord);
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    EXPECT_EQ(Range(out, k * kRecord, (k + 1) * kRecord), Fill(packets[k], static_cast<int>(k)));
  }
  EXPECT_EQ(host.chain.LastLineCount, 3);

  // 100-byte records: the time code and the first 18 instrument bytes, zeros after them.
  std::vector<uint8_t> short_records(200);
  std::copy_n(packets[0].begin(), 100, short_records.begin());
  std::copy_n(packets[1].begin(), 100, short_records.begin() + 100);
  WriteFileBytes("APID.pkt", short_records);
  host.settings.MaxPkLen = "100";
  HptWriter(host);
  const auto short_out = ReadFileBytes("MetopB_20181231_1015_M03.hpt");
  ASSERT_EQ(short_out.size(), 2 * kRecord);
  std::vector<uint8_t> truncated = packets[1];
  std::fill(truncated.begin() + 100, truncated.end(), uint8_t{0});
  EXPECT_EQ(Range(short_out, kRecord, 2 * kRecord), Fill(truncated, 1));
  EXPECT_EQ(host.chain.LastLineCount, 2);
}

TEST(HptWriter, UnusableMaximumPacketLengthEndsTheRunBeforeAnyFile) {
  TempFolder folder;
  WriteFileBytes("APID.pkt", Packets(1));
  RecordingHost host;
  host.input_path = "MetopB_20181231_101530.bin";
  host.SetSatellite("metop-b");
  for (const char* text : {"13000", "6", "12x"}) {
    host.settings.MaxPkLen = text;
    EXPECT_THROW(HptWriter(host), StageError) << text;
  }
  EXPECT_FALSE(testing::FileExists("MetopB_20181231_1015_M03.hpt"));
  EXPECT_TRUE(host.log.empty());
}

// A product name longer than the file system takes is refused before any work, so that no run
// writes a whole product only to fail at the final rename.
TEST(HptWriter, ProductNameTooLongIsRefusedAtOpen) {
  TempFolder folder;
  WriteFileBytes("APID.pkt", Packets(1));
  RecordingHost host;
  host.input_path = "MetopB_" + std::string(300, 'x') + ".bin";
  host.SetSatellite("metop-b");
  EXPECT_NE(RunEnd(HptWriter, host).find("(File name too long): the run ends here."),
            std::string::npos);
  EXPECT_EQ(host.log, std::vector<std::string>{"Open output file failed!"});
  EXPECT_FALSE(testing::FileExists(std::string(kProductTempName)));
}

}  // namespace
}  // namespace vantrel
