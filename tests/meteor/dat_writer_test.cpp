#include "meteor/dat_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/product_file.h"
#include "core/working_file.h"
#include "tests/meteor/dat_expected.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Unit = std::array<uint8_t, 30>;
using Words = std::array<uint16_t, 24>;

// Writes 24 10-bit words into 30 bytes, most significant bit first, one bit at a time.
Unit UnitFromWords(const Words& words) {
  Unit unit{};
  for (size_t bit = 0; bit < 240; ++bit) {
    const int value = (words[bit / 10] >> (9 - bit % 10)) & 1;
    unit[bit / 8] |= static_cast<uint8_t>(value << (7 - bit % 8));
  }
  return unit;
}

Unit ExpectedPacked(const Words& w) {
  return testing::ExpectedPackedUnit(w.data());
}

Unit Pack(const Unit& in) {
  Unit out{};
  PackDatUnit(in.data(), out.data());
  return out;
}

TEST(PackDatUnit, WorkedExample) {
  const Unit in = {0x00, 0x00, 0x10, 0x08, 0x03, 0x01, 0x00, 0x50, 0x18, 0x07,
                   0x02, 0x00, 0x90, 0x28, 0x0B, 0x03, 0x00, 0xD0, 0x38, 0x0F,
                   0x04, 0x01, 0x10, 0x48, 0x13, 0x05, 0x01, 0x50, 0x58, 0x17};
  const Unit expected = {0x00, 0x01, 0x02, 0x03, 0x00, 0x04, 0x05, 0x00, 0x01, 0x05,
                         0x02, 0x03, 0x04, 0x05, 0x55, 0x00, 0x01, 0x02, 0x03, 0xAA,
                         0x04, 0x05, 0x00, 0x01, 0xAF, 0x02, 0x03, 0x04, 0x05, 0xFF};
  Words counting{};
  for (size_t n = 0; n < counting.size(); ++n) counting[n] = static_cast<uint16_t>(n);
  EXPECT_EQ(UnitFromWords(counting), in);  // the example's input is w_n = n
  EXPECT_EQ(Pack(in), expected);
}

TEST(PackDatUnit, AllOnesAndAllZerosStayUniform) {
  Unit ones;
  ones.fill(0xFF);
  EXPECT_EQ(Pack(ones), ones);
  EXPECT_EQ(Pack(Unit{}), Unit{});
}

TEST(PackDatUnit, EveryInputBitMovesToExactlyOneOutputBit) {
  // w(4g + j) becomes v(6j + g), which sits in group q = v / 4 at slot k = v % 4: its bits 9-2
  // are byte 5q + k, its bits 1-0 bits (7 - 2k, 6 - 2k) of byte 5q + 4.
  for (size_t n = 0; n < 24; ++n) {
    const size_t v = 6 * (n % 4) + n / 4;
    const size_t q = v / 4;
    const size_t k = v % 4;
    for (int bit = 0; bit < 10; ++bit) {
      SCOPED_TRACE("word " + std::to_string(n) + " bit " + std::to_string(bit));
      Words words{};
      words[n] = static_cast<uint16_t>(1u << bit);
      Unit expected{};
      if (bit >= 2)
        expected[5 * q + k] = static_cast<uint8_t>(1u << (bit - 2));
      else
        expected[5 * q + 4] = static_cast<uint8_t>(1u << (6 - 2 * k + bit));
      EXPECT_EQ(Pack(UnitFromWords(words)), expected);
    }
  }
  // The two cases named for w4 (v1): bits 9-2 only touch byte 1, bits 1-0 bits 5-4 of byte 4.
  Words w4{};
  w4[4] = 0x3FC;
  EXPECT_EQ(Pack(UnitFromWords(w4)), (Unit{0, 0xFF}));
  w4[4] = 0x003;
  EXPECT_EQ(Pack(UnitFromWords(w4)), (Unit{0, 0, 0, 0, 0x30}));
}

TEST(PackDatUnit, RandomWordsPackAsDefined) {
  constexpr uint32_t kSeed = 4242;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  std::mt19937 random(kSeed);
  for (int trial = 0; trial < 200; ++trial) {
    Words words;
    for (uint16_t& word : words) word = static_cast<uint16_t>(random() & 0x3FF);
    ASSERT_EQ(Pack(UnitFromWords(words)), ExpectedPacked(words));
  }
}

// A line's units packed into a record (the packer the writer uses), against the words.
void CheckLinePacking(const std::vector<Words>& units) {
  std::vector<uint8_t> line(11850, 0xA5);
  for (size_t u = 0; u < units.size(); ++u) {
    const Unit unit = UnitFromWords(units[u]);
    std::copy(unit.begin(), unit.end(), line.begin() + 50 + 30 * static_cast<ptrdiff_t>(u));
  }
  std::vector<uint8_t> record(16432, 0xEE);
  PackDatLine(line.data(), record.data());
  std::vector<uint8_t> expected(16432, 0xEE);  // nothing outside the units is touched
  for (size_t u = 0; u < units.size(); ++u) {
    const Unit packed = ExpectedPacked(units[u]);
    std::copy(packed.begin(), packed.end(),
              expected.begin() + 2365 + 30 * static_cast<ptrdiff_t>(u));
  }
  EXPECT_EQ(record, expected);
}

TEST(PackDatLine, PacksEveryUnitOfTheLine) {
  constexpr uint32_t kSeed = 392;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  std::mt19937 random(kSeed);
  std::vector<Words> units(392);
  for (Words& words : units)
    for (uint16_t& word : words) word = static_cast<uint16_t>(random() & 0x3FF);
  CheckLinePacking(units);
}

TEST(PackDatLine, RoutesEveryBitOfAUnit) {
  // Unit u holds one set bit: bit u / 24 % 10 of word u % 24, so the 240 bit positions of a
  // unit are all tried somewhere in the line.
  std::vector<Words> units(392, Words{});
  for (size_t u = 0; u < units.size(); ++u)
    units[u][u % 24] = static_cast<uint16_t>(1u << (u / 24 % 10));
  CheckLinePacking(units);
}

std::vector<uint8_t> ExpectedHeader() {
  return testing::ExpectedDatHeader();
}

// A data record holding the packed units of `line_words` (392 units of 24 words).
std::vector<uint8_t> ExpectedDataRecord(const std::vector<Words>& line_words) {
  std::vector<uint16_t> samples;
  for (const Words& words : line_words) samples.insert(samples.end(), words.begin(), words.end());
  return testing::ExpectedDatRecord(samples);
}

TEST(FillDatHeaderRecord, HoldsEveryFieldAndNothingElse) {
  const std::vector<uint8_t> expected = ExpectedHeader();
  // Spot checks of the derived numbers against their documented bytes.
  EXPECT_EQ(std::vector<uint8_t>(expected.begin() + 104, expected.begin() + 106),
            (std::vector<uint8_t>{0x80, 0x3E}));
  EXPECT_EQ(std::vector<uint8_t>(expected.begin() + 280, expected.begin() + 284),
            (std::vector<uint8_t>{0x9A, 0x99, 0x5D, 0x42}));
  std::vector<uint8_t> record(16432, 0xEE);
  FillDatHeaderRecord(record.data());
  EXPECT_EQ(record, expected);
}

// A line of 11850 bytes: random words in the sample region, noise elsewhere.
struct TestLine {
  std::vector<uint8_t> bytes;
  std::vector<Words> words;
};

TestLine MakeLine(std::mt19937& random) {
  TestLine line;
  line.bytes.resize(11850);
  for (uint8_t& byte : line.bytes) byte = static_cast<uint8_t>(random());
  line.words.resize(392);
  for (size_t u = 0; u < 392; ++u) {
    for (uint16_t& word : line.words[u]) word = static_cast<uint16_t>(random() & 0x3FF);
    const Unit unit = UnitFromWords(line.words[u]);
    std::copy(unit.begin(), unit.end(), line.bytes.begin() + 50 + 30 * u);
  }
  return line;
}

class DatWriterStage : public ::testing::Test {
 protected:
  static constexpr uint32_t kSeed = 1015;
  testing::TempFolder folder;
  testing::RecordingHost host;
  std::mt19937 random{kSeed};
  std::vector<TestLine> lines;

  DatWriterStage() {
    host.input_path = "/data/raw/MN2_20181231_101530.bin";
    host.SetSatellite("meteor-m2");
    host.chain.DatHeaderPending = true;
  }

  // Writes `count` lines and `tail` extra bytes to MN2_.mnx.
  void WriteLines(int count, size_t tail = 0) {
    std::vector<uint8_t> file;
    for (int i = 0; i < count; ++i) {
      lines.push_back(MakeLine(random));
      file.insert(file.end(), lines.back().bytes.begin(), lines.back().bytes.end());
    }
    file.resize(file.size() + tail, 0x5A);
    testing::WriteFileBytes(WorkingPath("MN2_.mnx"), file);
  }

  std::string Product() const { return WorkingPath("20181231_1015_MN2.dat"); }
};

TEST_F(DatWriterStage, WritesTheHeaderThenEveryLinePacked) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  WriteLines(3, 11849);
  host.progress_maximum = 3;
  DatWriter(host);

  std::vector<uint8_t> expected = ExpectedHeader();
  for (int i = 0; i < 3; ++i) {
    const std::vector<uint8_t> record = ExpectedDataRecord(lines[static_cast<size_t>(i)].words);
    expected.insert(expected.end(), record.begin(), record.end());
  }
  const std::vector<uint8_t> output = testing::ReadFileBytes(Product());
  ASSERT_EQ(output.size(), 4u * 16432u);
  EXPECT_EQ(output, expected);
  // Zero regions and marker of the data records, checked directly.
  for (size_t record = 1; record < 4; ++record) {
    const uint8_t* base = output.data() + record * 16432;
    for (size_t at = 0; at < 2365; ++at) ASSERT_EQ(base[at], 0) << "byte " << at;
    for (size_t at = 14125; at < 16000; ++at) ASSERT_EQ(base[at], 0) << "byte " << at;
    for (size_t at = 16016; at < 16432; ++at) ASSERT_EQ(base[at], 0) << "byte " << at;
    EXPECT_EQ(std::memcmp(base + 16000, "FRAME)@", 7), 0);
  }

  EXPECT_FALSE(host.chain.DatHeaderPending);
  EXPECT_EQ(host.chain.LastLineCount, 3);
  EXPECT_EQ(host.progress_maximum, 3);  // left as the stage before set it
  const std::vector<std::string> expected_log = {
      "Starting creating .dat file...",
      "DAT file created done!  3 lines found.",
      "",
      "Finally, output file is '" + Product() + "'",
      "",
      "**************** Meteor MN2 processing DONE! ****************"};
  EXPECT_EQ(host.log, expected_log);
}

TEST_F(DatWriterStage, OneLineGivesTheHeaderAndThatLine) {
  WriteLines(1);
  DatWriter(host);
  std::vector<uint8_t> expected = ExpectedHeader();
  const std::vector<uint8_t> record = ExpectedDataRecord(lines[0].words);
  expected.insert(expected.end(), record.begin(), record.end());
  EXPECT_EQ(testing::ReadFileBytes(Product()), expected);
  EXPECT_TRUE(host.Logged("DAT file created done!  1 lines found."));
  EXPECT_EQ(host.chain.LastLineCount, 1);
  EXPECT_EQ(host.chain.Counts.product_lines, 1);
  EXPECT_FALSE(host.chain.DatHeaderPending);
}

TEST_F(DatWriterStage, NoCompleteLineWritesNoProductAndKeepsTheFlag) {
  WriteLines(0, 11849);
  host.chain.LastLineCount = 9;
  DatWriter(host);
  EXPECT_FALSE(testing::FileExists(Product()));
  EXPECT_TRUE(host.Logged("DAT file created done!  0 lines found."));
  EXPECT_EQ(host.chain.LastLineCount, 0);
  EXPECT_TRUE(host.chain.DatHeaderPending);
}

TEST_F(DatWriterStage, WithoutAPendingHeaderEveryLineIsPackedWithItsMarker) {
  WriteLines(2);
  host.chain.DatHeaderPending = false;
  DatWriter(host);
  std::vector<uint8_t> expected = ExpectedDataRecord(lines[0].words);
  const std::vector<uint8_t> second = ExpectedDataRecord(lines[1].words);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(testing::ReadFileBytes(Product()), expected);
}

TEST_F(DatWriterStage, AProductThatCouldNotBeWrittenIsNoSuccess) {
  WriteLines(40);
  testing::WriteFileBytes(Product(), {1, 2, 3});  // an earlier product of the same name
  host.chain.LastLineCount = 9;
  {
    testing::FileSizeLimit disk_full(1 << 16);
    EXPECT_EQ(testing::RunEnd(DatWriter, host),
              "The product '" + Product() + "' is incomplete and was not written (" +
                  std::string(std::strerror(EFBIG)) + "): the run ends here.");
  }
  EXPECT_TRUE(host.Logged("Write output file failed!"));
  EXPECT_EQ(testing::ReadFileBytes(Product()), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(testing::FileExists(WorkingPath(kProductTempName)));
  EXPECT_FALSE(host.Logged("**************** Meteor MN2 processing DONE! ****************"));
  EXPECT_EQ(host.chain.LastLineCount, 0);
}

TEST_F(DatWriterStage, AnUnreadableInputIsNoSuccess) {
  std::filesystem::create_directory(WorkingPath("MN2_.mnx"));
  host.chain.LastLineCount = 3;
  EXPECT_NE(testing::RunEnd(DatWriter, host).find("(it is a folder)"), std::string::npos);
  EXPECT_EQ(host.log, std::vector<std::string>{"Open input file failed!"});
  EXPECT_FALSE(testing::FileExists(Product()));
}

}  // namespace
}  // namespace vantrel
