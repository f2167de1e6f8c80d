// Quicklooks of products the chain made from simulated passes: the simulator's test pattern must
// come out at the known channel, column and row with the known stretch; zero-filled lines stay
// black; the percentile stretch on hand-made histograms; the PNG as libpng reads it back.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "quicklook/quicklook.h"
#include "sim/simulator.h"
#include "sim/test_pattern.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 4242;

// ---- Stretch ---------------------------------------------------------------------------------

TEST(SampleHistogram, PercentilesByNearestRank) {
  SampleHistogram empty;
  EXPECT_EQ(empty.Percentile(10), 0);

  // 100 samples 0..99: the 1st percentile is the smallest, the 99th the 99th smallest.
  SampleHistogram ramp;
  for (uint16_t v = 0; v < 100; ++v) ramp.Add(v);
  EXPECT_EQ(ramp.Total(), 100u);
  EXPECT_EQ(ramp.Percentile(10), 0);
  EXPECT_EQ(ramp.Percentile(500), 49);
  EXPECT_EQ(ramp.Percentile(990), 98);
  EXPECT_EQ(ramp.Percentile(1000), 99);
  EXPECT_EQ(ramp.Percentile(0), 0);
  EXPECT_EQ(ramp.Percentile(2000), 99);  // clamped

  // 50 dead pixels at 0, 50 hot ones at 1023, and 99 samples of each value 200..299: the stretch
  // ignores the outliers (ranks 100 and 9900 of 10000 fall on 200 and 299).
  SampleHistogram scene;
  for (int k = 0; k < 50; ++k) {
    scene.Add(0);
    scene.Add(1023);
  }
  for (uint16_t v = 200; v < 300; ++v)
    for (int k = 0; k < 99; ++k) scene.Add(v);
  EXPECT_EQ(scene.Total(), 10000u);
  const ContrastStretch stretch = PercentileStretch(scene, false);
  EXPECT_EQ(stretch.low, 200);
  EXPECT_EQ(stretch.high, 299);
  EXPECT_EQ(stretch.Map(0), 0);
  EXPECT_EQ(stretch.Map(200), 0);
  EXPECT_EQ(stretch.Map(250), 129);  // 50 * 255 / 99 = 128.8
  EXPECT_EQ(stretch.Map(299), 255);
  EXPECT_EQ(stretch.Map(1023), 255);
  const ContrastStretch inverted = PercentileStretch(scene, true);
  EXPECT_EQ(inverted.Map(200), 255);
  EXPECT_EQ(inverted.Map(250), 126);
  EXPECT_EQ(inverted.Map(1023), 0);
  // A flat image keeps its one value at mid grey.
  const ContrastStretch flat{300, 300, false};
  EXPECT_EQ(flat.Map(300), 128);
  EXPECT_EQ(flat.Map(299), 0);
  EXPECT_EQ(flat.Map(301), 255);
}

// ---- Products of simulated passes
// ----------------------------------------------------------------

struct FamilyCase {
  const char* name;
  const char* input;
  int lines;           // simulated packets or lines
  int header_records;  // product records before the first line's (the MSU-MR header record)
  int width;
  int channels;
  int carried;  // pixels the product carries
  int default_channel;
};

void PrintTo(const FamilyCase& c, std::ostream* out) {
  *out << c.name;
}

// The pattern stretched as the renderer must: nearest-rank percentiles of all carried samples of
// the channel over the rows that hold data, worked out here by sorting.
ContrastStretch ExpectedStretch(const FamilyCase& c, int channel, int rows, bool invert,
                                const std::vector<int>& empty_rows = {}) {
  std::vector<uint16_t> all;
  for (int r = 0; r < rows; ++r)
    for (int x = 0; x < c.carried && !std::count(empty_rows.begin(), empty_rows.end(), r); ++x)
      all.push_back(sim::TestPatternSample(channel - 1, x, c.width, static_cast<uint32_t>(r)));
  std::sort(all.begin(), all.end());
  const auto at = [&](size_t per_mille) {
    const size_t rank = std::max<size_t>(1, (all.size() * per_mille + 999) / 1000);
    return all[rank - 1];
  };
  return {at(10), at(990), invert};
}

class QuicklookOfProduct : public ::testing::TestWithParam<FamilyCase> {
 protected:
  // Simulates the pass, runs the chain and returns the product's path.
  std::string MakeProduct() {
    const FamilyCase& c = GetParam();
    host.input_path = folder.File(c.input);
    sim::Recording recording;
    const std::string name = c.name;
    if (name == "Avhrr") {
      sim::MetopOptions options;
      options.packets = c.lines;
      recording = sim::MakeMetopPass(options, {}, {}, kSeed).recording;
      host.settings.PNdecoding = true;
    } else if (name == "Virr") {
      sim::Fy3Options options;
      options.lines = c.lines;
      recording = sim::MakeFy3Pass(options, {}, {}, kSeed).recording;
      host.settings.PNdecoding = true;
    } else {
      sim::Mn2Options options;
      options.lines = c.lines;
      recording = sim::MakeMn2Pass(options, {}, kSeed).recording;
    }
    testing::WriteFileBytes(host.input_path, recording.bytes);
    const RunOutcome outcome = ProcessRecording(host);
    EXPECT_FALSE(outcome.failed) << outcome.error;
    const std::string product = ProductPathFor(host.input_path);
    EXPECT_TRUE(testing::FileExists(product)) << product;
    return product;
  }

  testing::TempFolder folder;
  testing::RecordingHost host;
};

// The line number the bar of row `row` shows: bit set where the cell is brighter than mid grey
// (darker when inverted).
uint32_t BarValue(const Quicklook& image, int row, bool inverted) {
  uint32_t value = 0;
  for (int cell = 0; cell < sim::kPatternBarColumns / sim::kPatternBarCellColumns; ++cell) {
    const uint8_t grey =
        image.pixels[static_cast<size_t>(row) * image.width + cell * sim::kPatternBarCellColumns];
    value = (value << 1) | ((grey > 128) != inverted ? 1u : 0u);
  }
  return value;
}

TEST_P(QuicklookOfProduct, EveryChannelShowsItsPatternAtTheKnownPlaces) {
  const FamilyCase& c = GetParam();
  const std::string product = MakeProduct();
  const int rows = c.lines;
  for (int channel = 1; channel <= c.channels; ++channel) {
    SCOPED_TRACE("channel " + std::to_string(channel));
    const QuicklookResult result = RenderQuicklook(product, channel);
    ASSERT_TRUE(result.ok) << result.error;
    const Quicklook& image = result.image;
    ASSERT_EQ(image.width, c.width);
    ASSERT_EQ(image.height, rows);
    ASSERT_EQ(image.pixels.size(), static_cast<size_t>(c.width) * rows);
    EXPECT_EQ(image.zero_filled_lines, 0);
    const bool inverted = IsInfrared(*image.layout, channel);
    const ContrastStretch expected = ExpectedStretch(c, channel, rows, inverted);
    EXPECT_EQ(image.stretch.low, expected.low);
    EXPECT_EQ(image.stretch.high, expected.high);
    EXPECT_EQ(image.stretch.invert, inverted);
    for (int r = 0; r < rows; ++r) {
      const auto line = static_cast<uint32_t>(r);
      EXPECT_EQ(BarValue(image, r, inverted), line) << "row " << r;
      const uint8_t* row = image.pixels.data() + static_cast<size_t>(r) * c.width;
      for (int x = 0; x < c.width; ++x) {
        uint16_t sample = x < c.carried ? sim::TestPatternSample(channel - 1, x, c.width, line) : 0;
        // The HRPT frame keeps only the upper 6 bits of the very last AVHRR word.
        if (c.default_channel == 4 && c.channels == 5 && x == c.width - 1 && channel == 5)
          sample &= 0x3F0;
        const uint8_t want = x < c.carried ? expected.Map(sample) : 0;
        ASSERT_EQ(row[x], want) << "row " << r << " column " << x;
      }
    }
  }
}

TEST_P(QuicklookOfProduct, DefaultChannelIsTheInfraredOneShownColdBright) {
  const FamilyCase& c = GetParam();
  const QuicklookResult result = RenderQuicklook(MakeProduct());
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.image.channel, c.default_channel);
  EXPECT_TRUE(result.image.stretch.invert);
  // The first ramp column (value 0) is the warmest: black is white when cold is bright.
  EXPECT_EQ(result.image.pixels[sim::kPatternBarColumns], 255);
}

TEST_P(QuicklookOfProduct, ZeroFilledLinesAreBlackAndLeftOutOfTheStretch) {
  const FamilyCase& c = GetParam();
  const std::string product = MakeProduct();
  std::vector<uint8_t> bytes = testing::ReadFileBytes(product);
  const ProductLayout* layout = FindProductLayout(product);
  ASSERT_NE(layout, nullptr);
  // Zero the earth data of image rows 1 and 2 (their records keep frame sync and time code), and
  // cut the last record short.
  const auto header_records = static_cast<size_t>(c.header_records);
  const size_t first = layout->first_word_bit / 8;
  const size_t words = static_cast<size_t>(layout->carried_pixels) * layout->channels;
  const size_t end = layout->packing == WordPacking::MsbFirst
                         ? (layout->first_word_bit + words * 10 + 7) / 8
                         : first + words / 4 * 5;
  for (size_t row : {1, 2}) {
    uint8_t* record = bytes.data() + (header_records + row) * layout->record_bytes;
    std::fill(record + first + 1, record + end - 1, 0);
    record[first] &= static_cast<uint8_t>(0xFF00 >> (layout->first_word_bit % 8));
    record[end - 1] = 0;
  }
  bytes.resize(bytes.size() - 100);
  testing::WriteFileBytes(product, bytes);

  for (int channel : {1, c.default_channel}) {
    const QuicklookResult result = RenderQuicklook(product, channel);
    ASSERT_TRUE(result.ok) << result.error;
    const Quicklook& image = result.image;
    const int rows = c.lines - 1;
    ASSERT_EQ(image.height, rows);
    EXPECT_EQ(image.zero_filled_lines, 2);
    for (int r : {1, 2}) {
      const uint8_t* row = image.pixels.data() + static_cast<size_t>(r) * image.width;
      EXPECT_TRUE(std::all_of(row, row + image.width, [](uint8_t g) { return g == 0; }))
          << "row " << r << " channel " << channel;
    }
    // The stretch comes from the other rows only: the zero-filled rows' samples count toward no
    // percentile rank.
    const ContrastStretch expected =
        ExpectedStretch(c, channel, rows, image.stretch.invert, {1, 2});
    EXPECT_EQ(image.stretch.low, expected.low);
    EXPECT_EQ(image.stretch.high, expected.high);
    EXPECT_EQ(BarValue(image, 0, image.stretch.invert), 0u);
    EXPECT_EQ(BarValue(image, 3, image.stretch.invert), 3u);
  }
}

// Earlier versions wrote the MSU-MR header record in place of the first line's record: such a
// file shows its lines from the second one on.
TEST_P(QuicklookOfProduct, AnEarlierFileWithoutTheFirstLineStillShows) {
  const FamilyCase& c = GetParam();
  if (c.header_records == 0) GTEST_SKIP() << "no header record in this family's product";
  const std::string product = MakeProduct();
  std::vector<uint8_t> bytes = testing::ReadFileBytes(product);
  const size_t record = FindProductLayout(product)->record_bytes;
  const auto first_line = static_cast<ptrdiff_t>(c.header_records * record);
  bytes.erase(bytes.begin() + first_line,
              bytes.begin() + first_line + static_cast<ptrdiff_t>(record));
  testing::WriteFileBytes(product, bytes);
  const QuicklookResult result = RenderQuicklook(product, c.default_channel);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.image.height, c.lines - 1);
  for (int r = 0; r < c.lines - 1; ++r)
    EXPECT_EQ(BarValue(result.image, r, result.image.stretch.invert), static_cast<uint32_t>(r + 1))
        << "row " << r;
}

TEST_P(QuicklookOfProduct, PngReadsBackAsTheImage) {
  const std::string product = MakeProduct();
  const QuicklookResult result = RenderQuicklook(product, 2);
  ASSERT_TRUE(result.ok) << result.error;
  const std::string path = QuicklookPathFor(product);
  EXPECT_EQ(path, product + ".png");
  std::string error;
  ASSERT_TRUE(WriteQuicklookPng(path, result.image, &error)) << error;

  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&png, path.c_str())) << png.message;
  EXPECT_EQ(png.width, static_cast<png_uint_32>(result.image.width));
  EXPECT_EQ(png.height, static_cast<png_uint_32>(result.image.height));
  EXPECT_EQ(png.format & PNG_FORMAT_FLAG_COLOR, 0u);  // stored grey
  png.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
  ASSERT_TRUE(png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) << png.message;
  EXPECT_EQ(pixels, result.image.pixels);

  std::string message;
  ASSERT_TRUE(WriteQuicklookBeside(product, 0, &message));
  EXPECT_EQ(message.find("Quicklook written to '" + path + "'"), 0u) << message;
}

// The product fed as it is written, in pieces of any size that split records anywhere: at each
// point the picture is the file's picture of the whole lines written so far.
TEST_P(QuicklookOfProduct, GrowingPictureIsThePictureOfTheLinesSoFar) {
  const FamilyCase& c = GetParam();
  const std::string product = MakeProduct();
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(product);
  const ProductLayout* layout = FindProductLayout(product);
  ASSERT_NE(layout, nullptr);
  const std::string part = folder.File(std::string("part") + std::string(layout->name_ending));
  for (const int channel : {0, c.channels}) {
    SCOPED_TRACE("channel " + std::to_string(channel));
    GrowingQuicklook growing(*layout, channel);
    EXPECT_FALSE(growing.Render().ok);
    std::mt19937 random(kSeed);  // piece sizes, seeded
    std::uniform_int_distribution<size_t> piece(1, 2 * layout->record_bytes);
    size_t at = 0;
    int checks = 0;
    while (at < bytes.size()) {
      const size_t size = std::min(piece(random), bytes.size() - at);
      growing.Add(std::span(bytes).subspan(at, size));
      at += size;
      // A few points along the way, and the end.
      if (at < bytes.size() && at < (checks + 1) * bytes.size() / 4) continue;
      ++checks;
      testing::WriteFileBytes(part, {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(at)});
      const QuicklookResult file = RenderQuicklook(part, channel);
      const QuicklookResult grown = growing.Render();
      ASSERT_EQ(grown.ok, file.ok) << at << " bytes: " << file.error;
      if (!file.ok) continue;
      EXPECT_EQ(grown.image.height, file.image.height) << at << " bytes";
      EXPECT_EQ(grown.image.channel, file.image.channel);
      EXPECT_EQ(grown.image.zero_filled_lines, file.image.zero_filled_lines);
      EXPECT_EQ(grown.image.pixels, file.image.pixels) << at << " bytes";
    }
    EXPECT_EQ(growing.BytesAdded(), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(growing.Lines(), c.lines);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Families, QuicklookOfProduct,
    ::testing::Values(FamilyCase{"Avhrr", "MetopB_20181231_101530.bin", 40, 0, 2048, 5, 2048, 4},
                      FamilyCase{"Virr", "FY3A_2010-05-12_052330.bin", 34, 0, 2048, 10, 2048, 4},
                      FamilyCase{"MsuMr", "MN2_20181231_101530.bin", 34, 1, 1572, 6, 1568, 5}),
    [](const ::testing::TestParamInfo<FamilyCase>& info) { return std::string(info.param.name); });

// ---- What cannot be shown ----------------------------------------------------------------------

TEST(Quicklook, RefusesWhatItCannotShow) {
  testing::TempFolder folder;
  QuicklookResult result = RenderQuicklook(folder.File("pass.bin"));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, std::string("'") + folder.File("pass.bin") +
                              "' is not a .hpt, .C10 or _MN2.dat product");

  result = RenderQuicklook(folder.File("missing_M03.hpt"));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Cannot read '" + folder.File("missing_M03.hpt") + "'");

  // A product shorter than one record, and an MSU-MR product of the header record only.
  testing::WriteFileBytes(folder.File("short_M03.hpt"), std::vector<uint8_t>(13863, 0x55));
  result = RenderQuicklook(folder.File("short_M03.hpt"));
  EXPECT_EQ(result.error,
            std::string("'") + folder.File("short_M03.hpt") + "' holds no image line");
  std::vector<uint8_t> header(16432, 0);
  const std::string text = "HRPTMeteoM2";
  std::copy(text.begin(), text.end(), header.begin());
  testing::WriteFileBytes(folder.File("x_MN2.dat"), header);
  result = RenderQuicklook(folder.File("x_MN2.dat"));
  EXPECT_EQ(result.error, std::string("'") + folder.File("x_MN2.dat") + "' holds no image line");

  testing::WriteFileBytes(folder.File("one_M03.hpt"), std::vector<uint8_t>(13864, 0x55));
  for (int channel : {-1, 6}) {
    result = RenderQuicklook(folder.File("one_M03.hpt"), channel);
    EXPECT_EQ(result.error, "AVHRR has channels 1 to 5, not " + std::to_string(channel));
  }
  EXPECT_TRUE(RenderQuicklook(folder.File("one_M03.hpt"), 5).ok);

  std::string message;
  EXPECT_FALSE(WriteQuicklookBeside(folder.File("one.C10"), 11, &message));
  EXPECT_EQ(message, "No quicklook: VIRR has channels 1 to 10, not 11");
  Quicklook image = RenderQuicklook(folder.File("one_M03.hpt")).image;
  std::string error;
  EXPECT_FALSE(WriteQuicklookPng(folder.File("no/such/folder.png"), image, &error));
  EXPECT_EQ(error.find("Cannot write '" + folder.File("no/such/folder.png") + "'"), 0u) << error;
}

TEST(ProductLayouts, NamesAndGeometry) {
  EXPECT_EQ(FindProductLayout("MetopB_20181231_1015_M03.hpt")->instrument, "AVHRR");
  EXPECT_EQ(FindProductLayout("/a/FY3A_2010-05-12_0523.C10")->instrument, "VIRR");
  EXPECT_EQ(FindProductLayout("20181231_1015_MN2.dat")->instrument, "MSU-MR");
  EXPECT_EQ(FindProductLayout("20181231_1015.dat"), nullptr);
  EXPECT_EQ(FindProductLayout(".hpt"), nullptr);
  // The earth data begin at HRPT word 751, .C10 word 1601, and the MSU-MR units at byte 2365.
  EXPECT_EQ(ProductLayouts()[0].first_word_bit, 7500u);
  EXPECT_EQ(ProductLayouts()[1].first_word_bit, 16000u);
  EXPECT_EQ(ProductLayouts()[2].first_word_bit, 2365u * 8);
  EXPECT_TRUE(IsInfrared(ProductLayouts()[0], 4) && IsInfrared(ProductLayouts()[0], 5));
  EXPECT_FALSE(IsInfrared(ProductLayouts()[0], 3) || IsInfrared(ProductLayouts()[0], 6));
  EXPECT_TRUE(IsInfrared(ProductLayouts()[2], 5) && !IsInfrared(ProductLayouts()[2], 1));
}

TEST(ProductPath, FollowsEachWritersName) {
  const std::string folder = WorkingFolder();
  EXPECT_EQ(ProductPathFor("/raw/MetopA_20181231_101530.bin"), folder + "/20181231_1015_M02.hpt");
  EXPECT_EQ(ProductPathFor("/raw/MetopC_20200101_000000.bin"),
            folder + "/MetopC_20200101_0000_M04.hpt");
  EXPECT_EQ(ProductPathFor("FY3B_2012-12-31_235959.bin"), folder + "/FY3B_2012-12-31_2359.C10");
  EXPECT_EQ(ProductPathFor("/raw/MN2_20181231_101530.bin"), folder + "/20181231_1015_MN2.dat");
  EXPECT_EQ(ProductPathFor("/raw/pass.bin"), "");
}

}  // namespace
}  // namespace vantrel
