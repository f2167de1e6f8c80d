#include "fy3/c10_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/stage_error.h"
#include "fy3/c10_record.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kLine = 26050;
constexpr size_t kRecord = 27728;
constexpr unsigned kSeed = 132;

std::vector<uint8_t> RandomLine(std::mt19937& random) {
  std::vector<uint8_t> line(kLine);
  for (uint8_t& byte : line) byte = static_cast<uint8_t>(random());
  return line;
}

std::vector<uint8_t> Record(const std::vector<uint8_t>& line, int day) {
  std::vector<uint8_t> record(kRecord, 0xEE);
  BuildC10Record(std::span<const uint8_t, kFy3LineBytes>(line.data(), kLine), day,
                 std::span<uint8_t, kC10RecordBytes>(record.data(), kRecord));
  return record;
}

// Word `n` (1-based) of the record read as 10-bit words, most significant bit first.
unsigned Word(const std::vector<uint8_t>& record, int n) {
  unsigned value = 0;
  for (int bit = (n - 1) * 10; bit < n * 10; ++bit) {
    value = value << 1 | ((record[static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1u);
  }
  return value;
}

TEST(C10Record, LayoutOfOneFrame) {
  std::mt19937 random(kSeed);
  std::vector<uint8_t> line = RandomLine(random);
  line[26044] = 0xFF;
  line[26045] = 0x12;
  line[26046] = 0x34;
  line[26047] = 0x56;
  const std::vector<uint8_t> record = Record(line, 132);  // 12 May 2010

  const std::vector<uint8_t> start = {0xA1, 0x16, 0xFD, 0x71, 0x9D, 0x83, 0xC9, 0x50, 0x34, 0x00};
  EXPECT_EQ(std::vector(record.begin(), record.begin() + 10), start);
  const unsigned words[8] = {0x284, 0x16F, 0x35C, 0x19D, 0x20F, 0x095, 0x00D, 0x000};
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(Word(record, n), words[n - 1]) << "word " << n;
  EXPECT_EQ(record[10], 0x42);
  EXPECT_EQ(record[11], 0x2F);  // 0x28 | (0xFF & 7): only bits 2-0 come from the line byte
  EXPECT_EQ(record[12], 0x12);
  EXPECT_EQ(record[13], 0x34);
  EXPECT_EQ(record[14], 0x56);
  EXPECT_EQ(Word(record, 9), 132u << 1);
  // Words 10-12: 1, 0, 1 and the 27-bit value 7 << 24 | 0x123456.
  EXPECT_EQ(Word(record, 10) << 20 | Word(record, 11) << 10 | Word(record, 12),
            0b101u << 27 | 7u << 24 | 0x123456u);
  for (size_t i = 15; i < 2000; ++i) ASSERT_EQ(record[i], 0) << "byte " << i;
  for (size_t i = 0; i < 25614; ++i) ASSERT_EQ(record[2000 + i], line[436 + i]) << "byte " << i;
  EXPECT_EQ(record[27608], 0xFF);  // the time byte is copied whole as well
  for (size_t i = 27614; i < kRecord; ++i) ASSERT_EQ(record[i], 0) << "byte " << i;
}

TEST(C10Record, DayOfYearBits) {
  std::vector<uint8_t> line(kLine, 0);
  line[26044] = 0x05;
  std::vector<uint8_t> record = Record(line, 1);  // 1 January
  EXPECT_EQ(record[10], 0x00);
  EXPECT_EQ(record[11], 0xA8 | 0x05);
  record = Record(line, 366);  // 31 December of a leap year
  EXPECT_EQ(record[10], 0xB7);
  EXPECT_EQ(record[11] & 0x80, 0);
  record = Record(line, 365);
  EXPECT_EQ(record[10], 0xB6);
  EXPECT_EQ(record[11] & 0x80, 0x80);
}

TEST(PassDate, ValidDatesAndTheirDays) {
  struct Case {
    const char* text;
    int year, month, day, day_of_year;
  };
  // Days counted by hand from the month lengths.
  const Case cases[] = {
      {"2010-05-12", 2010, 5, 12, 31 + 28 + 31 + 30 + 12},
      {"2010-01-01", 2010, 1, 1, 1},
      {"2012-12-31", 2012, 12, 31, 366},
      {"2013-12-31", 2013, 12, 31, 365},
      {"2012-02-29", 2012, 2, 29, 60},
      {"2000-03-01", 2000, 3, 1, 61},
      {"2010-5-12", 2010, 5, 12, 132},
  };
  for (const Case& c : cases) {
    const auto date = ParsePassDate(c.text);
    ASSERT_TRUE(date.has_value()) << c.text;
    EXPECT_EQ(date->year, c.year) << c.text;
    EXPECT_EQ(date->month, c.month) << c.text;
    EXPECT_EQ(date->day, c.day) << c.text;
    EXPECT_EQ(date->day_of_year, c.day_of_year) << c.text;
  }
}

TEST(PassDate, TextsThatAreNoDate) {
  for (const char* text :
       {"2010-02-30", "2011-02-29", "1900-02-29", "2010-13-01", "2010-00-10", "2010-05-00",
        "2010-05-1_", "2010_05_12", "abcd-ef-gh", "", "2010-05", "-2010-5-1", "2010--5-12",
        "0000-01-01", "2010-+5-12", "2010- 5-12", "99999999999-1-1"}) {
    EXPECT_FALSE(ParsePassDate(text).has_value()) << "'" << text << "'";
  }
}

class C10WriterTest : public ::testing::Test {
 protected:
  testing::TempFolder folder_;
  testing::RecordingHost host_;
  std::vector<std::vector<uint8_t>> lines_;

  C10WriterTest() { host_.SetSatellite("fy3a"); }

  void WriteLines(size_t count, size_t extra = 0) {
    std::mt19937 random(kSeed);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) {
      lines_.push_back(RandomLine(random));
      bytes.insert(bytes.end(), lines_.back().begin(), lines_.back().end());
    }
    bytes.insert(bytes.end(), extra, 0x5A);
    testing::WriteFileBytes(folder_.File("FY3x_.fy3"), bytes);
  }
};

TEST_F(C10WriterTest, WritesOneRecordPerLineUnderEachPrefix) {
  WriteLines(2, 100);  // the trailing 100 bytes are no line
  const char* names[3] = {"FY3A_", "FY3B_", "FY3C_"};
  const char* options[3] = {"fy3a", "fy3b", "fy3c"};
  std::vector<uint8_t> first_product;
  for (uint8_t satellite = 0; satellite < 3; ++satellite) {
    SCOPED_TRACE(names[satellite]);
    host_.log.clear();
    host_.SetSatellite(options[satellite]);
    host_.input_path = "/data/raw/" + std::string(names[satellite]) + "2010-05-12_052330.bin";
    C10Writer(host_);

    const std::string product = folder_.File(std::string(names[satellite]) + "2010-05-12_0523.C10");
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(product);
    ASSERT_EQ(bytes.size(), 2 * kRecord);
    for (size_t n = 0; n < 2; ++n) {
      const std::vector<uint8_t> record(bytes.begin() + n * kRecord,
                                        bytes.begin() + (n + 1) * kRecord);
      EXPECT_EQ(record, Record(lines_[n], 132)) << "record " << n;
    }
    if (satellite == 0) first_product = bytes;
    EXPECT_EQ(bytes, first_product);

    const std::vector<std::string> expected = {
        "Starting creating .C10 file...",
        "Date stamp: 2010-5-12",
        "Process done!  2 lines found.",
        "",
        "Finally, output file is '" + product + "'",
        "",
        "*************** FY3x processing DONE! ***************",
        "",
    };
    EXPECT_EQ(host_.log, expected);
    EXPECT_EQ(host_.chain.LastLineCount, 2);
    EXPECT_EQ(host_.chain.ProgressCount, 0);
  }
}

TEST_F(C10WriterTest, DateOfTheChosenSatellitesPrefix) {
  // The FY3A_ date is not the one read for FY-3B.
  WriteLines(1);
  host_.SetSatellite("fy3b");
  host_.input_path = "/x/FY3A_2010-01-01/FY3B_2012-12-31_235959.bin";
  C10Writer(host_);
  EXPECT_TRUE(host_.Logged("Date stamp: 2012-12-31"));
  const std::vector<uint8_t> bytes =
      testing::ReadFileBytes(folder_.File("FY3B_2012-12-31_2359.C10"));
  ASSERT_EQ(bytes.size(), kRecord);
  EXPECT_EQ(bytes[10], 0xB7);
}

TEST_F(C10WriterTest, InvalidDateEndsTheRunAndRemovesTheEmptyProduct) {
  WriteLines(3);
  host_.chain.LastLineCount = 9;
  host_.input_path = "/x/FY3A_2010-02-30_052330.bin";
  try {
    C10Writer(host_);
    FAIL() << "no error raised";
  } catch (const StageError& error) {
    EXPECT_STREQ(error.what(), "'2010-02-30' is not a valid date");
  }
  EXPECT_FALSE(testing::FileExists(folder_.File("FY3A_2010-02-30_0523.C10")));
  EXPECT_EQ(testing::ReadFileBytes(folder_.File("FY3x_.fy3")).size(), 3 * kLine);
  EXPECT_EQ(host_.log, std::vector<std::string>{"Starting creating .C10 file..."});
  EXPECT_EQ(host_.chain.LastLineCount, 9);

  // A name that ends before the date is complete.
  host_.input_path = "/x/FY3A_2010";
  EXPECT_THROW(C10Writer(host_), StageError);
  EXPECT_FALSE(testing::FileExists(folder_.File("FY3A_2010.C10")));
}

TEST_F(C10WriterTest, EmptyInputWritesNoProduct) {
  WriteLines(0, 26049);
  host_.chain.LastLineCount = 5;
  host_.SetSatellite("fy3c");
  host_.input_path = "FY3C_2020-01-01_000000.bin";
  C10Writer(host_);
  EXPECT_FALSE(testing::FileExists(folder_.File("FY3C_2020-01-01_0000.C10")));
  EXPECT_TRUE(host_.Logged("Process done!  0 lines found."));
  EXPECT_TRUE(host_.Logged("No line found: the product '" +
                           folder_.File("FY3C_2020-01-01_0000.C10") + "' was not written."));
  EXPECT_EQ(host_.chain.LastLineCount, 0);
}

TEST_F(C10WriterTest, FailedWritesAreNotReportedAsDone) {
  WriteLines(2);
  const std::string product = folder_.File("FY3A_2010-05-12_0523.C10");
  host_.input_path = "FY3A_2010-05-12_052330.bin";
  host_.chain.LastLineCount = 7;
  {
    testing::FileSizeLimit disk_full(30000);
    EXPECT_EQ(testing::RunEnd(C10Writer, host_),
              "The product '" + product + "' is incomplete and was not written (" +
                  std::string(std::strerror(EFBIG)) + "): the run ends here.");
  }
  EXPECT_TRUE(host_.Logged("Write output file failed!"));
  EXPECT_TRUE(host_.Logged("Process done!  2 lines found."));
  EXPECT_FALSE(testing::FileExists(product));
  EXPECT_FALSE(host_.Logged("*************** FY3x processing DONE! ***************"));
  EXPECT_EQ(host_.chain.LastLineCount, 0);
}

}  // namespace
}  // namespace vantrel
