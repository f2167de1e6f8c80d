// What a recording says about itself: file-name conventions, SigMF metadata, .sdriq headers, auxi
// chunks, and the guess from the first bytes' statistics. Expected dates are counted by hand
// (2026-12-09 is day 9839 after 2000-01-01; 10:15:30 is ms 36930000).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/recording_metadata.h"

namespace vantrel {
namespace {

constexpr int64_t kDay = 9839;     // 2026-12-09
constexpr int64_t kMs = 36930000;  // 10:15:30.000
constexpr int64_t kNoDay = -1;     // the start is not told

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSeed = 20261209;  // every random case

// ---------------------------------------------------------------------------------------------
// File names

struct NameCase {
  const char* path;
  const char* convention;
  const char* kind;
  const char* format;
  int64_t rate;
  int64_t frequency;
  int64_t day;  // kNoDay: none
  int64_t ms;
  bool local;
  const char* pipeline;
};

class NameTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameTest, GivesTheFieldsItsConventionTells) {
  const NameCase& c = GetParam();
  const RecordingMetadata meta = MetadataFromName(c.path);
  EXPECT_EQ(meta.convention, c.convention);
  EXPECT_EQ(meta.kind, c.kind);
  EXPECT_EQ(meta.sample_format, c.format);
  EXPECT_EQ(meta.sample_rate, c.rate);
  EXPECT_EQ(meta.frequency_hz, c.frequency);
  EXPECT_EQ(meta.days_since_2000.value_or(kNoDay), c.day);
  if (c.day != kNoDay) {
    EXPECT_EQ(meta.ms_of_day, c.ms);
  }
  EXPECT_EQ(meta.time_is_local, c.local);
  EXPECT_EQ(meta.pipeline, c.pipeline);
  EXPECT_EQ(meta.source.empty(), std::string(c.kind).empty());
}

const char* const kSdrpp = "SDR++ baseband recorder";
const char* const kSatDump = "SatDump recorder";
const char* const kSoft = "SatDump soft symbols";

INSTANTIATE_TEST_SUITE_P(
    Conventions, NameTest,
    testing::Values(
        NameCase{"baseband_1701300000Hz_10-15-30_09-12-2026.wav", kSdrpp, "baseband", "wav", 0,
                 1701300000, kDay, kMs, true, ""},
        NameCase{"/data/passes/MetopB_baseband_137100000.500Hz_10-15-30_09-12-2026.WAV", kSdrpp,
                 "baseband", "wav", 0, 137100001, kDay, kMs, true, ""},
        NameCase{"baseband_137900000Hz_00-00-00_29-02-2024.wav", kSdrpp, "baseband", "wav", 0,
                 137900000, 8825, 0, true, ""},
        NameCase{"2026-12-09_10-15-30_6000000SPS_1701300000Hz.s16", kSatDump, "baseband", "cs16",
                 6000000, 1701300000, kDay, kMs, false, ""},
        NameCase{"rec/FY3C_2026-12-09_10-15-30-250_2400000.000SPS_1704500000.000Hz.f32", kSatDump,
                 "baseband", "cf32", 2400000, 1704500000, kDay, kMs + 250, false, ""},
        NameCase{"2026-12-09_10-15-30_2400000SPS_137100000Hz.u8", kSatDump, "baseband", "cu8",
                 2400000, 137100000, kDay, kMs, false, ""},
        NameCase{"2026-12-09_10-15-30_2400000SPS_137100000Hz.CS8", kSatDump, "baseband", "cs8",
                 2400000, 137100000, kDay, kMs, false, ""},
        NameCase{"MN2_2026-12-09_10-15-30_1024000.4SPS_137100000Hz.wav", kSatDump, "baseband",
                 "wav", 1024000, 137100000, kDay, kMs, false, ""},
        NameCase{"metop_ahrpt.soft", kSoft, "soft", "", 0, 0, kNoDay, 0, false, "metop_ahrpt"},
        NameCase{"out/MN2_meteor_hrpt.soft", kSoft, "soft", "", 0, 0, kNoDay, 0, false,
                 "meteor_hrpt"},
        NameCase{"FY3C_fengyun3_c_ahrpt.soft", kSoft, "soft", "", 0, 0, kNoDay, 0, false,
                 "fengyun3_c_ahrpt"},
        NameCase{"gqrx_20261209_101530_137100000_2400000_fc.raw", "GQRX", "baseband", "cf32",
                 2400000, 137100000, kDay, kMs, false, ""},
        // A recording still being written, NAME.part, tells what NAME tells.
        NameCase{"baseband_1701300000Hz_10-15-30_09-12-2026.wav.part", kSdrpp, "baseband", "wav", 0,
                 1701300000, kDay, kMs, true, ""},
        NameCase{"/in/MetopB_20181231_101530.cs16.part", "", "baseband", "cs16", 0, 0, kNoDay, 0,
                 false, ""},
        NameCase{"MetopB_pass.soft.part", "", "soft", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"MetopA_gqrx_20261209_101530_1701300000_6000000_fc.raw", "GQRX", "baseband",
                 "cf32", 6000000, 1701300000, kDay, kMs, false, ""}));

// An extension alone tells the kind and format; a name that merely looks like a convention gives
// no convention, no rate, no frequency and no time.
INSTANTIATE_TEST_SUITE_P(
    ExtensionsAndLookAlikes, NameTest,
    testing::Values(
        NameCase{"pass.CS16", "", "baseband", "cs16", 0, 0, kNoDay, 0, false, ""},
        NameCase{"pass.cs32", "", "baseband", "cs32", 0, 0, kNoDay, 0, false, ""},
        NameCase{"pass.s", "", "soft", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"MetopB_20181231_101530.soft", "", "soft", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"Metop_ahrpt.soft", "", "soft", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"MetopB_20181231_101530.bin", "", "hard", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"baseband_x.wav", "", "baseband", "wav", 0, 0, kNoDay, 0, false, ""},
        NameCase{"baseband_1701300000Hz_25-15-30_09-12-2026.wav", "", "baseband", "wav", 0, 0,
                 kNoDay, 0, false, ""},
        NameCase{"baseband_1701300000Hz_10-15-30_29-02-2026.wav", "", "baseband", "wav", 0, 0,
                 kNoDay, 0, false, ""},
        NameCase{"baseband_1701300000Hz_10-15-30_09-12-2026.wav.part.bak", "", "", "", 0, 0, kNoDay,
                 0, false, ""},
        NameCase{".part", "", "", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"2026-12-09_10-15-30_0SPS_1701300000Hz.s16", "", "baseband", "cs16", 0, 0, kNoDay,
                 0, false, ""},
        NameCase{"2026-12-09_10-15-30_6000000SPS_1701300000Hz.txt", "", "", "", 0, 0, kNoDay, 0,
                 false, ""},
        NameCase{"2026-12-09_10-15-30_6000000SPS_99999999999999999Hz.s8", "", "baseband", "cs8", 0,
                 0, kNoDay, 0, false, ""},
        NameCase{"gqrx_20261209_101530_137100000_2400000_fc.raw.bak", "", "", "", 0, 0, kNoDay, 0,
                 false, ""},
        NameCase{"metop_ahrpt.soft/notes.txt", "", "", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{".soft", "", "", "", 0, 0, kNoDay, 0, false, ""},
        NameCase{"", "", "", "", 0, 0, kNoDay, 0, false, ""}));

// ---------------------------------------------------------------------------------------------
// SigMF

struct SigmfCase {
  const char* name;
  std::string json;
  const char* format;  // empty: refused, with `error` in the message
  int64_t rate;
  int64_t frequency;
  int64_t day;
  int64_t ms;
  const char* error;
};

class SigmfTest : public testing::TestWithParam<SigmfCase> {};

TEST_P(SigmfTest, ReadsTheFieldsOrSaysWhy) {
  const SigmfCase& c = GetParam();
  std::string error;
  const std::optional<RecordingMetadata> meta = ParseSigmfMeta(c.json, &error);
  if (std::string(c.format).empty()) {
    ASSERT_FALSE(meta.has_value());
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    return;
  }
  ASSERT_TRUE(meta.has_value()) << error;
  EXPECT_EQ(meta->convention, "SigMF");
  EXPECT_EQ(meta->kind, "baseband");
  EXPECT_EQ(meta->sample_format, c.format);
  EXPECT_EQ(meta->sample_rate, c.rate);
  EXPECT_EQ(meta->frequency_hz, c.frequency);
  EXPECT_EQ(meta->days_since_2000.value_or(kNoDay), c.day);
  if (c.day != kNoDay) {
    EXPECT_EQ(meta->ms_of_day, c.ms);
  }
  EXPECT_FALSE(meta->time_is_local);
}

std::string Sigmf(const std::string& datatype, const std::string& capture) {
  return R"({"global": {"core:datatype": ")" + datatype +
         R"(", "core:sample_rate": 2400000, "core:version": "1.0.0",
             "core:description": "caf\u00e9 \ud83d\ude00 \"pass\"\n"},
             "captures": [{"core:sample_start": 0)" +
         capture + R"(}], "annotations": []})";
}
std::string Nested(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SigmfTest,
    testing::Values(
        SigmfCase{"Full", Sigmf("cf32_le", R"(, "core:frequency": 137100000,
                          "core:datetime": "2026-12-09T10:15:30.123Z")"),
                  "cf32", 2400000, 137100000, kDay, kMs + 123, ""},
        SigmfCase{"OffsetAcrossMidnight", Sigmf("cu8", R"(, "core:frequency": 1.7013e9,
                          "core:datetime": "2026-12-10T01:15:30.1234567+15:00")"),
                  "cu8", 2400000, 1701300000, kDay, kMs + 123, ""},
        SigmfCase{"NoCapture", R"({"global":{"core:datatype":"ci8"}})", "cs8", 0, 0, kNoDay, 0, ""},
        SigmfCase{"Ci16", Sigmf("ci16_le", ""), "cs16", 2400000, 0, kNoDay, 0, ""},
        SigmfCase{"Ci32", Sigmf("ci32_le", ""), "cs32", 2400000, 0, kNoDay, 0, ""},
        SigmfCase{"BigEndian", Sigmf("cf32_be", ""), "", 0, 0, 0, 0, "big-endian"},
        SigmfCase{"Real", Sigmf("rf32_le", ""), "", 0, 0, 0, 0, "real samples"},
        SigmfCase{"Unknown", Sigmf("cf64_le", ""), "", 0, 0, 0, 0, "\"cf64_le\" is not read"},
        SigmfCase{"NoGlobal", R"({"captures":[]})", "", 0, 0, 0, 0, "\"global\""},
        SigmfCase{"NoDatatype", R"({"global":{"core:sample_rate":1}})", "", 0, 0, 0, 0,
                  "core:datatype"},
        SigmfCase{"RateText", R"({"global":{"core:datatype":"ci8","core:sample_rate":"2e6"}})", "",
                  0, 0, 0, 0, "core:sample_rate is not a number"},
        SigmfCase{"NegativeFrequency", Sigmf("ci8", R"(, "core:frequency": -5)"), "", 0, 0, 0, 0,
                  "core:frequency -5 out of range"},
        SigmfCase{"BadDate", Sigmf("ci8", R"(, "core:datetime": "2026-13-09T10:15:30Z")"), "", 0, 0,
                  0, 0, "ISO 8601"},
        SigmfCase{"NoZone", Sigmf("ci8", R"(, "core:datetime": "2026-12-09T10:15:30")"), "", 0, 0,
                  0, 0, "ISO 8601"},
        // Hostile texts: errors with the place, never a crash.
        SigmfCase{"Empty", "", "", 0, 0, 0, 0, "at byte 0"},
        SigmfCase{"Truncated", R"({"global":{"core:datatype":"cf32_le")", "", 0, 0, 0, 0,
                  "at byte 36: expected ',' or '}'"},
        SigmfCase{"TrailingComma", R"({"global":{},})", "", 0, 0, 0, 0, "member name"},
        SigmfCase{"TextAfter", R"({"global":{}} {})", "", 0, 0, 0, 0, "text after"},
        SigmfCase{"HugeNumber", R"({"global":{"core:datatype":"ci8","core:sample_rate":1e999}})",
                  "", 0, 0, 0, 0, "out of range"},
        SigmfCase{"LeadingZero", R"({"x":01})", "", 0, 0, 0, 0, "expected ','"},
        SigmfCase{"DeepNesting", Nested(100000), "", 0, 0, 0, 0, "nesting deeper than 64"},
        SigmfCase{"NotUtf8", "{\"global\":{\"core:datatype\":\"ci8\xff\"}}", "", 0, 0, 0, 0,
                  "not UTF-8"},
        SigmfCase{"Overlong", "{\"a\":\"\xc0\xaf\"}", "", 0, 0, 0, 0, "not UTF-8"},
        SigmfCase{"LoneSurrogate", R"({"a":"\ud800x"})", "", 0, 0, 0, 0, "surrogate"},
        SigmfCase{"ControlCharacter", "{\"a\":\"\t\"}", "", 0, 0, 0, 0, "control character"},
        SigmfCase{"BadWord", R"({"a":nul})", "", 0, 0, 0, 0, "unknown word"},
        SigmfCase{"TooLarge", std::string(kMaxSigmfMetaBytes + 1, ' '), "", 0, 0, 0, 0,
                  "more than"}),
    [](const testing::TestParamInfo<SigmfCase>& info) { return std::string(info.param.name); });

TEST(SigmfPaths, DataBesideMetaAndBack) {
  EXPECT_EQ(SigmfDataPath("/rec/pass.sigmf-meta"), "/rec/pass.sigmf-data");
  EXPECT_EQ(SigmfMetaPath("/rec/pass.sigmf-data"), "/rec/pass.sigmf-meta");
  EXPECT_EQ(SigmfDataPath("/rec/pass.sigmf-data"), "");
  EXPECT_EQ(SigmfMetaPath("pass.cf32"), "");
  EXPECT_EQ(SigmfMetaPath(".sigmf-data"), "");
}

// ---------------------------------------------------------------------------------------------
// .sdriq and auxi, built byte by byte

// CRC-32 bit by bit (IEEE, reflected), the reference the table-driven code is checked against.
uint32_t ReferenceCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutLittleEndian(Bytes& bytes, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Sdriq(uint32_t rate, uint64_t frequency, uint64_t start_ms, uint32_t bits) {
  Bytes header(kSdriqHeaderBytes);
  PutLittleEndian(header, 0, rate, 4);
  PutLittleEndian(header, 4, frequency, 8);
  PutLittleEndian(header, 12, start_ms, 8);
  PutLittleEndian(header, 20, bits, 4);
  PutLittleEndian(header, 28, ReferenceCrc32(header.data(), 28), 4);
  return header;
}

constexpr uint64_t kUnixMs = 1796811330123;  // 2026-12-09T10:15:30.123Z

TEST(Sdriq, ReadsTheHeader) {
  EXPECT_EQ(ReferenceCrc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
  std::string error;
  const auto meta = ParseSdriqHeader(Sdriq(2400000, 1701300000, kUnixMs, 16), &error);
  ASSERT_TRUE(meta.has_value()) << error;
  EXPECT_EQ(meta->convention, "SDRangel .sdriq");
  EXPECT_EQ(meta->sample_format, "cs16");
  EXPECT_EQ(meta->sample_rate, 2400000);
  EXPECT_EQ(meta->frequency_hz, 1701300000);
  EXPECT_EQ(meta->days_since_2000, kDay);
  EXPECT_EQ(meta->ms_of_day, kMs + 123);
  EXPECT_FALSE(meta->time_is_local);

  const auto wide = ParseSdriqHeader(Sdriq(6000000, 137100000, 0, 24), &error);
  ASSERT_TRUE(wide.has_value()) << error;
  EXPECT_EQ(wide->sample_format, "cs32");
  EXPECT_FALSE(wide->days_since_2000.has_value());
}

struct BadHeader {
  const char* name;
  Bytes bytes;
  const char* error;
};
class SdriqRefusal : public testing::TestWithParam<BadHeader> {};
TEST_P(SdriqRefusal, SaysWhy) {
  std::string error;
  EXPECT_FALSE(ParseSdriqHeader(GetParam().bytes, &error).has_value());
  EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}
Bytes WithCrcBroken() {
  Bytes b = Sdriq(2400000, 1701300000, kUnixMs, 16);
  b[5] ^= 1;
  return b;
}
INSTANTIATE_TEST_SUITE_P(
    Headers, SdriqRefusal,
    testing::Values(BadHeader{"Short", Bytes(31), "31 bytes, 32 needed"},
                    BadHeader{"Crc", WithCrcBroken(), "the header says 0x"},
                    BadHeader{"SampleSize", Sdriq(2400000, 1, 0, 8), "8 bits, 16 or 24"},
                    BadHeader{"NoRate", Sdriq(0, 1, 0, 16), "sample rate of 0"},
                    BadHeader{"HugeFrequency", Sdriq(1, ~uint64_t{0}, 0, 16), "out of range"}),
    [](const testing::TestParamInfo<BadHeader>& info) { return std::string(info.param.name); });

Bytes Auxi(std::vector<uint16_t> start, uint32_t frequency) {
  Bytes content(kAuxiMinBytes + 8);  // later fields, ignored
  for (size_t i = 0; i < start.size(); ++i) PutLittleEndian(content, 2 * i, start[i], 2);
  PutLittleEndian(content, 32, frequency, 4);
  return content;
}

TEST(Auxi, ReadsTheStartAsLocalTimeAndTheFrequency) {
  std::string error;
  const auto meta = ParseAuxiChunk(Auxi({2026, 12, 3, 9, 10, 15, 30, 123}, 137100000), &error);
  ASSERT_TRUE(meta.has_value()) << error;
  EXPECT_EQ(meta->frequency_hz, 137100000);
  EXPECT_EQ(meta->days_since_2000, kDay);
  EXPECT_EQ(meta->ms_of_day, kMs + 123);
  EXPECT_TRUE(meta->time_is_local);

  const auto untimed = ParseAuxiChunk(Auxi({}, 1701300000), &error);
  ASSERT_TRUE(untimed.has_value()) << error;
  EXPECT_FALSE(untimed->days_since_2000.has_value());
  EXPECT_EQ(untimed->frequency_hz, 1701300000);

  EXPECT_FALSE(ParseAuxiChunk(Auxi({2026, 13, 3, 9, 10, 15, 30, 0}, 1), &error).has_value());
  EXPECT_NE(error.find("2026-13-09 10:15:30.000 is not a time"), std::string::npos) << error;
  EXPECT_FALSE(ParseAuxiChunk(Bytes(35), &error).has_value());
  EXPECT_NE(error.find("35 bytes, 36 needed"), std::string::npos) << error;
}

// Mutated texts and headers (fixed seed): every call either gives a result or says why; under
// the sanitizers this is also the check that nothing reads out of bounds.
TEST(HostileInput, EveryParserAnswersMutatedBytes) {
  std::mt19937 rng(kSeed);
  const std::string sigmf = Sigmf("ci16_le", R"(, "core:frequency": 137100000,
                                   "core:datetime": "2026-12-09T10:15:30.123Z")");
  const Bytes sdriq = Sdriq(2400000, 1701300000, kUnixMs, 16);
  const Bytes auxi = Auxi({2026, 12, 3, 9, 10, 15, 30, 123}, 137100000);
  constexpr int kRounds = 3000;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = sigmf.substr(0, rng() % (sigmf.size() + 1));
    for (int k = rng() % 4; k > 0 && !text.empty(); --k)
      text[rng() % text.size()] = static_cast<char>(rng());
    std::string error;
    if (!ParseSigmfMeta(text, &error)) {
      EXPECT_FALSE(error.empty()) << text;
    }
    for (const Bytes* original : {&sdriq, &auxi}) {
      Bytes bytes(original->begin(), original->begin() + rng() % (original->size() + 1));
      if (!bytes.empty()) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      error.clear();
      const bool read = original == &sdriq ? ParseSdriqHeader(bytes, &error).has_value()
                                           : ParseAuxiChunk(bytes, &error).has_value();
      if (!read) {
        EXPECT_FALSE(error.empty());
      }
    }
    const std::string name(text.begin(), text.begin() + std::min<size_t>(text.size(), 80));
    MetadataFromName(name);
  }
}

// ---------------------------------------------------------------------------------------------
// Content

constexpr size_t kGuessBytes = 1 << 18;

Bytes RandomBytes(size_t count) {
  std::mt19937 rng(kSeed);
  Bytes bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

// Random bytes with a CADU marker every 1024 bytes, the whole shifted by `bit_shift` bits and
// inverted when asked.
Bytes Cadus(int bit_shift, bool inverted) {
  Bytes bytes = RandomBytes(kGuessBytes + 1);
  const uint8_t marker[4] = {0x1A, 0xCF, 0xFC, 0x1D};
  for (size_t i = 100; i + 4 < bytes.size(); i += 1024) std::memcpy(&bytes[i], marker, 4);
  Bytes shifted(kGuessBytes);
  for (size_t i = 0; i < shifted.size(); ++i) {
    const unsigned pair = (bytes[i] << 8) | bytes[i + 1];
    shifted[i] = static_cast<uint8_t>((pair >> (8 - bit_shift)) ^ (inverted ? 0xFF : 0));
  }
  return shifted;
}

// Soft symbols: +-(60..127) with a little noise, or +-20 under much noise, clamped to the int8
// range.
Bytes SoftSymbols(bool low_snr) {
  std::mt19937 rng(kSeed);
  std::uniform_int_distribution<int> level(low_snr ? 20 : 60, low_snr ? 20 : 127);
  std::normal_distribution<double> noise(0, low_snr ? 30 : 4);
  Bytes bytes(kGuessBytes);
  for (uint8_t& b : bytes) {
    const double v = (rng() & 1 ? 1 : -1) * level(rng) + noise(rng);
    b = static_cast<uint8_t>(static_cast<int8_t>(std::clamp(std::lround(v), -127L, 127L)));
  }
  return bytes;
}

// Complex samples of unit-ish power: QPSK at 2.5 samples per symbol through a raised-cosine
// pulse (roll-off 0.5), turned by a carrier offset, plus white noise of `noise_sigma` per
// channel; with `signal` false, the noise alone.
std::vector<std::complex<double>> Iq(bool signal, double noise_sigma) {
  constexpr double kSamplesPerSymbol = 2.5;
  constexpr int kSpan = 5;  // symbols either side
  const size_t samples = kGuessBytes / 2;
  std::mt19937 rng(kSeed);
  std::normal_distribution<double> noise(0, noise_sigma);
  std::vector<std::complex<double>> symbols(static_cast<size_t>(samples / kSamplesPerSymbol) + 16);
  for (auto& s : symbols) s = {rng() & 1 ? 0.7 : -0.7, rng() & 1 ? 0.7 : -0.7};
  auto pulse = [](double t) {
    const double x = M_PI * t;
    const double sinc = t == 0 ? 1 : std::sin(x) / x;
    const double d = 1 - t * t;  // (2 * 0.5 * t)^2
    return std::abs(d) < 1e-9 ? sinc * M_PI / 4 : sinc * std::cos(0.5 * x) / d;
  };
  std::vector<std::complex<double>> out(samples);
  for (size_t n = 0; n < samples; ++n) {
    std::complex<double> v = 0;
    if (signal) {
      const double t = n / kSamplesPerSymbol;
      for (int k = static_cast<int>(t) - kSpan; k <= static_cast<int>(t) + kSpan; ++k)
        if (k >= 0) v += symbols[k] * pulse(t - k);
      v *= std::polar(1.0, 2 * M_PI * 0.013 * static_cast<double>(n));
    }
    out[n] = v + std::complex<double>(noise(rng), noise(rng));
  }
  return out;
}

// The samples quantised as `format`: 8-bit ones scaled to about +-60, cs16 to about +-2000.
Bytes Quantise(const std::vector<std::complex<double>>& iq, const std::string& format,
               double gain = 1) {
  Bytes bytes;
  for (const auto& z : iq)
    for (double v : {gain * z.real(), gain * z.imag()}) {
      if (format == "cs8") {
        bytes.push_back(static_cast<uint8_t>(
            static_cast<int8_t>(std::clamp(std::lround(v * 60), -128L, 127L))));
      } else if (format == "cu8") {
        bytes.push_back(static_cast<uint8_t>(std::clamp(std::lround(v * 60 + 127.5), 0L, 255L)));
      } else if (format == "cs16") {
        const int16_t s = static_cast<int16_t>(std::lround(v * 2000));
        bytes.push_back(static_cast<uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
      } else {
        const float f = static_cast<float>(v);
        uint8_t raw[4];
        std::memcpy(raw, &f, 4);
        bytes.insert(bytes.end(), raw, raw + 4);
      }
    }
  bytes.resize(std::min(bytes.size(), kGuessBytes));
  return bytes;
}

Bytes Text() {
  const std::string line = "Vantrel Processor: a line of text, not a recording.\n";
  Bytes bytes;
  while (bytes.size() < kGuessBytes) bytes.insert(bytes.end(), line.begin(), line.end());
  return bytes;
}

struct ContentCase {
  const char* name;
  std::function<Bytes()> make;
  const char* kind;  // empty: the guess must decline
  const char* format;
};

class ContentTest : public testing::TestWithParam<ContentCase> {};

TEST_P(ContentTest, GuessesOrDeclinesWithAReason) {
  const ContentCase& c = GetParam();
  const ContentGuess guess = GuessRecordingContent(c.make());
  EXPECT_EQ(guess.kind, c.kind) << guess.reason;
  EXPECT_EQ(guess.sample_format, c.format) << guess.reason;
  EXPECT_FALSE(guess.reason.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ContentTest,
    testing::Values(
        ContentCase{"RandomBits", [] { return RandomBytes(kGuessBytes); }, "hard", ""},
        ContentCase{"Cadus", [] { return Cadus(0, false); }, "hard", ""},
        ContentCase{"CadusShiftedInverted", [] { return Cadus(3, true); }, "hard", ""},
        ContentCase{"SoftSymbols", [] { return SoftSymbols(false); }, "soft", ""},
        ContentCase{"LowSnrSoftSymbols", [] { return SoftSymbols(true); }, "", ""},
        ContentCase{"ClippedQpskCs8", [] { return Quantise(Iq(true, 0.1), "cs8", 4); }, "baseband",
                    "cs8"},
        ContentCase{"QuietQpskCu8", [] { return Quantise(Iq(true, 0.1), "cu8", 0.1); }, "baseband",
                    "cu8"},
        ContentCase{"QpskCs8", [] { return Quantise(Iq(true, 0.1), "cs8"); }, "baseband", "cs8"},
        ContentCase{"QpskCu8", [] { return Quantise(Iq(true, 0.1), "cu8"); }, "baseband", "cu8"},
        ContentCase{"QpskCs16", [] { return Quantise(Iq(true, 0.1), "cs16"); }, "baseband", "cs16"},
        ContentCase{"LoudQpskCs16", [] { return Quantise(Iq(true, 0.1), "cs16", 8); }, "baseband",
                    "cs16"},
        ContentCase{"QpskCf32", [] { return Quantise(Iq(true, 0.1), "cf32"); }, "baseband", "cf32"},
        ContentCase{"NoisyQpskCs8", [] { return Quantise(Iq(true, 0.5), "cs8"); }, "baseband",
                    "cs8"},
        // The sample format is told by cs16's and cf32's bytes even for noise alone.
        ContentCase{"NoiseCs16", [] { return Quantise(Iq(false, 0.5), "cs16"); }, "baseband",
                    "cs16"},
        ContentCase{"NoiseCf32", [] { return Quantise(Iq(false, 0.5), "cf32"); }, "baseband",
                    "cf32"},
        // White 8-bit noise is uncorrelated bytes, as soft symbols at a low SNR are: declined.
        ContentCase{"NoiseCs8", [] { return Quantise(Iq(false, 0.5), "cs8"); }, "", ""},
        ContentCase{"NoiseCu8", [] { return Quantise(Iq(false, 0.5), "cu8"); }, "", ""},
        ContentCase{"Zeros", [] { return Bytes(kGuessBytes, 0); }, "", ""},
        ContentCase{"Text", Text, "", ""},
        ContentCase{"WavHeader",
                    [] {
                      Bytes b = RandomBytes(kGuessBytes);
                      std::memcpy(b.data(), "RIFF", 4);
                      return b;
                    },
                    "", ""},
        ContentCase{"TooShort", [] { return RandomBytes(kMinGuessBytes - 1); }, "", ""},
        ContentCase{"Empty", [] { return Bytes(); }, "", ""}),
    [](const testing::TestParamInfo<ContentCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
