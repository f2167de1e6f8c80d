// The baseband reader against files built byte by byte: WAV chunk layouts SDR programs write
// (LIST and odd-sized chunks, extensible format, RF64), the scaling of every raw sample kind,
// broken headers and short files.
#include "baseband/baseband_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Status = BasebandReader::Status;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}
void Put64(Bytes& b, uint64_t v) {
  Put32(b, static_cast<uint32_t>(v));
  Put32(b, static_cast<uint32_t>(v >> 32));
}
void PutId(Bytes& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id[i]));
}
void Append(Bytes& b, const Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
}

// A chunk with its pad byte when the size is odd; `size` overrides the size field.
Bytes Chunk(const char* id, const Bytes& content, int64_t size = -1) {
  Bytes b;
  PutId(b, id);
  Put32(b, size < 0 ? static_cast<uint32_t>(content.size()) : static_cast<uint32_t>(size));
  Append(b, content);
  if (content.size() % 2) b.push_back(0);
  return b;
}

Bytes Fmt(uint16_t code, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes b;
  Put16(b, code);
  Put16(b, channels);
  Put32(b, rate);
  Put32(b, rate * channels * bits / 8);
  Put16(b, static_cast<uint16_t>(channels * bits / 8));
  Put16(b, bits);
  return b;
}

// WAVE_FORMAT_EXTENSIBLE around `subformat`, the GUID's tail given (the standard one unless
// a test breaks it).
Bytes FmtExtensible(uint16_t subformat, uint32_t rate, uint16_t bits, uint8_t guid_byte_15 = 0x71) {
  Bytes b = Fmt(0xFFFE, 2, rate, bits);
  Put16(b, 22);
  Put16(b, bits);
  Put32(b, 0x3);
  Put16(b, subformat);
  const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, guid_byte_15};
  b.insert(b.end(), tail, tail + 14);
  return b;
}

// RIFF/WAVE around the given chunks (the RIFF size is not checked by the reader).
Bytes Riff(const Bytes& chunks) {
  Bytes b;
  PutId(b, "RIFF");
  Put32(b, static_cast<uint32_t>(chunks.size() + 4));
  PutId(b, "WAVE");
  Append(b, chunks);
  return b;
}

Bytes Cs16(const std::vector<int16_t>& values) {
  Bytes b;
  for (int16_t v : values) Put16(b, static_cast<uint16_t>(v));
  return b;
}

struct ReadResult {
  bool opened = false;
  std::vector<std::complex<float>> samples;
  Status status = Status::kNotOpen;
  std::string error;
  uint32_t rate = 0;
  BasebandFormat format = BasebandFormat::kUnknown;
  int64_t declared = -1;
  std::string warning;
  int64_t bytes_read = 0;
};

class BasebandReaderTest : public ::testing::Test {
 protected:
  // Writes `bytes` to a file and reads it to the end in pieces of `piece` samples; a raw
  // `format` opens it as raw with its file size, kWav as WAV.
  ReadResult ReadAll(const Bytes& bytes, BasebandFormat format = BasebandFormat::kWav,
                     uint32_t rate = 1000000, size_t piece = 1000, bool known_size = true) {
    const std::string path = folder_.File("recording");
    testing::WriteFileBytes(path, bytes);
    InputFile file;
    EXPECT_TRUE(file.Open(path));
    BasebandReader reader;
    ReadResult result;
    const int64_t size = known_size ? file.Size() : -1;
    result.opened = format == BasebandFormat::kWav ? reader.OpenWav(file, size)
                                                   : reader.OpenRaw(file, format, rate, size);
    result.rate = reader.SampleRate();
    result.format = reader.SampleFormat();
    result.declared = reader.DeclaredSamples();
    for (int guard = 0; guard < 1000000; ++guard) {
      const size_t before = result.samples.size();
      const size_t got = reader.Read(result.samples, piece);
      EXPECT_EQ(result.samples.size() - before, got);
      EXPECT_LE(got, BasebandReader::kBlockSamples);
      if (got == 0) break;
    }
    EXPECT_EQ(reader.SamplesRead(), static_cast<int64_t>(result.samples.size()));
    result.status = reader.GetStatus();
    result.error = reader.Error();
    result.warning = reader.Warning();
    result.bytes_read = reader.BytesRead();
    return result;
  }

  testing::TempFolder folder_;
};

TEST(BasebandFormatTest, ExtensionNamesTheFormatRawDoesNot) {
  EXPECT_EQ(BasebandFormatFromExtension("pass.wav"), BasebandFormat::kWav);
  EXPECT_EQ(BasebandFormatFromExtension("/data/PASS.WAV"), BasebandFormat::kWav);
  EXPECT_EQ(BasebandFormatFromExtension("a.b/pass.cs16"), BasebandFormat::kCs16);
  EXPECT_EQ(BasebandFormatFromExtension("pass.cs8"), BasebandFormat::kCs8);
  EXPECT_EQ(BasebandFormatFromExtension("pass.cu8"), BasebandFormat::kCu8);
  EXPECT_EQ(BasebandFormatFromExtension("pass.Cf32"), BasebandFormat::kCf32);
  EXPECT_EQ(BasebandFormatFromExtension("pass.raw"), BasebandFormat::kUnknown);
  EXPECT_EQ(BasebandFormatFromExtension("pass.cs16.hpt"), BasebandFormat::kUnknown);
  EXPECT_EQ(BasebandFormatFromExtension("rec.cs16/pass"), BasebandFormat::kUnknown);
  EXPECT_EQ(BasebandFormatFromExtension("pass"), BasebandFormat::kUnknown);
  EXPECT_STREQ(BasebandFormatName(BasebandFormat::kCu8), "cu8");
  EXPECT_STREQ(BasebandFormatName(BasebandFormat::kUnknown), "unknown");
}

TEST_F(BasebandReaderTest, WavChunksAroundTheDataAreSkippedWithTheirPadBytes) {
  // An odd-sized chunk (pad byte follows) before fmt, a LIST between fmt and data, and a chunk
  // after the data that must not be read as samples.
  Bytes chunks = Chunk("junk", {1, 2, 3});
  Append(chunks, Chunk("fmt ", Fmt(1, 2, 6000000, 16)));
  Append(chunks, Chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 1, 0, 0, 0, 'x'}));
  Append(chunks, Chunk("data", Cs16({16384, -16384, 32767, -32768, 0, 1})));
  Append(chunks, Chunk("id3 ", {9, 9, 9, 9}));
  const ReadResult r = ReadAll(Riff(chunks));
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.status, Status::kEnd);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.rate, 6000000u);
  EXPECT_EQ(r.format, BasebandFormat::kCs16);
  EXPECT_EQ(r.declared, 3);
  ASSERT_EQ(r.samples.size(), 3u);
  EXPECT_EQ(r.samples[0], std::complex<float>(0.5f, -0.5f));
  EXPECT_EQ(r.samples[1], std::complex<float>(32767 / 32768.0f, -1.0f));
  EXPECT_EQ(r.samples[2], std::complex<float>(0.0f, 1 / 32768.0f));
}

TEST_F(BasebandReaderTest, Wav8BitIsUnsignedCentredOn127Point5) {
  Bytes chunks = Chunk("fmt ", Fmt(1, 2, 3000000, 8));
  Append(chunks, Chunk("data", {0, 255, 127, 128, 191, 64}));
  const ReadResult r = ReadAll(Riff(chunks));
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.format, BasebandFormat::kCu8);
  EXPECT_EQ(r.rate, 3000000u);
  ASSERT_EQ(r.samples.size(), 3u);
  EXPECT_FLOAT_EQ(r.samples[0].real(), -1.0f);
  EXPECT_FLOAT_EQ(r.samples[0].imag(), 1.0f);
  EXPECT_FLOAT_EQ(r.samples[1].real(), -0.5f / 127.5f);
  EXPECT_FLOAT_EQ(r.samples[1].imag(), 0.5f / 127.5f);
  EXPECT_FLOAT_EQ(r.samples[2].real(), 63.5f / 127.5f);
  EXPECT_FLOAT_EQ(r.samples[2].imag(), -63.5f / 127.5f);
}

TEST_F(BasebandReaderTest, ExtensibleFormatTakesItsSubformat) {
  {
    Bytes data;
    for (float v : {0.25f, -0.75f, 1.5f, -2.0f}) {
      uint32_t w;
      std::memcpy(&w, &v, 4);
      Put32(data, w);
    }
    Bytes chunks = Chunk("fmt ", FmtExtensible(3, 2400000, 32));
    Append(chunks, Chunk("data", data));
    const ReadResult r = ReadAll(Riff(chunks));
    ASSERT_TRUE(r.opened) << r.error;
    EXPECT_EQ(r.format, BasebandFormat::kCf32);
    EXPECT_EQ(r.rate, 2400000u);
    ASSERT_EQ(r.samples.size(), 2u);
    EXPECT_EQ(r.samples[0], std::complex<float>(0.25f, -0.75f));
    EXPECT_EQ(r.samples[1], std::complex<float>(1.5f, -2.0f));
  }
  {
    Bytes chunks = Chunk("fmt ", FmtExtensible(1, 6000000, 16));
    Append(chunks, Chunk("data", Cs16({-8192, 8192})));
    const ReadResult r = ReadAll(Riff(chunks));
    ASSERT_TRUE(r.opened) << r.error;
    EXPECT_EQ(r.format, BasebandFormat::kCs16);
    ASSERT_EQ(r.samples.size(), 1u);
    EXPECT_EQ(r.samples[0], std::complex<float>(-0.25f, 0.25f));
  }
  {
    Bytes chunks = Chunk("fmt ", FmtExtensible(1, 6000000, 16, 0x72));
    Append(chunks, Chunk("data", Cs16({1, 1})));
    const ReadResult r = ReadAll(Riff(chunks));
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.status, Status::kBadFormat);
    EXPECT_NE(r.error.find("GUID"), std::string::npos) << r.error;
    EXPECT_TRUE(r.samples.empty());
  }
}

TEST_F(BasebandReaderTest, Rf64TakesTheDataSizeFromDs64) {
  Bytes ds64;
  Put64(ds64, 0);      // RIFF size (not checked)
  Put64(ds64, 4 * 3);  // data size
  Put64(ds64, 3);      // sample count
  Put32(ds64, 0);      // table length
  Bytes chunks = Chunk("ds64", ds64);
  Append(chunks, Chunk("fmt ", Fmt(1, 2, 6000000, 16)));
  Append(chunks, Chunk("LIST", {1, 2, 3, 4, 5}));
  Bytes data = Cs16({100, -100, 200, -200, 300, -300});
  Append(chunks, Chunk("data", data, 0xFFFFFFFF));
  Append(chunks, Chunk("junk", {7, 7, 7, 7, 7, 7, 7, 7}));  // after the data: not samples
  Bytes file;
  PutId(file, "RF64");
  Put32(file, 0xFFFFFFFF);
  PutId(file, "WAVE");
  Append(file, chunks);
  const ReadResult r = ReadAll(file);
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.status, Status::kEnd);
  EXPECT_EQ(r.declared, 3);
  ASSERT_EQ(r.samples.size(), 3u);
  EXPECT_EQ(r.samples[2], std::complex<float>(300 / 32768.0f, -300 / 32768.0f));

  // Without its ds64 the size cannot be known.
  Bytes no_ds64;
  PutId(no_ds64, "RF64");
  Put32(no_ds64, 0xFFFFFFFF);
  PutId(no_ds64, "WAVE");
  Append(no_ds64, Chunk("fmt ", Fmt(1, 2, 6000000, 16)));
  Append(no_ds64, Chunk("data", data, 0xFFFFFFFF));
  const ReadResult bad = ReadAll(no_ds64);
  EXPECT_FALSE(bad.opened);
  EXPECT_EQ(bad.status, Status::kBadHeader);
  EXPECT_NE(bad.error.find("ds64"), std::string::npos) << bad.error;
}

TEST_F(BasebandReaderTest, StreamedWavWithoutDataSizeRunsToTheEndOfTheFile) {
  Bytes chunks = Chunk("fmt ", Fmt(1, 2, 6000000, 16));
  Append(chunks, Chunk("data", Cs16({1000, -1000, 2000, -2000}), 0xFFFFFFFF));
  const ReadResult r = ReadAll(Riff(chunks));
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.declared, -1);
  EXPECT_EQ(r.status, Status::kEnd);
  ASSERT_EQ(r.samples.size(), 2u);
  EXPECT_EQ(r.samples[1], std::complex<float>(2000 / 32768.0f, -2000 / 32768.0f));
}

TEST_F(BasebandReaderTest, RawFormatsScaleKnownValues) {
  {
    const ReadResult r = ReadAll(Cs16({32767, -32768, 0, -1, 16384, -8192}), BasebandFormat::kCs16);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.status, Status::kEnd);
    ASSERT_EQ(r.samples.size(), 3u);
    EXPECT_EQ(r.samples[0], std::complex<float>(32767 / 32768.0f, -1.0f));
    EXPECT_EQ(r.samples[1], std::complex<float>(0.0f, -1 / 32768.0f));
    EXPECT_EQ(r.samples[2], std::complex<float>(0.5f, -0.25f));
  }
  {
    const ReadResult r = ReadAll({0x7F, 0x80, 0x40, 0xE0, 0x00, 0xFF}, BasebandFormat::kCs8);
    ASSERT_EQ(r.samples.size(), 3u);
    EXPECT_EQ(r.samples[0], std::complex<float>(127 / 128.0f, -1.0f));
    EXPECT_EQ(r.samples[1], std::complex<float>(0.5f, -0.25f));
    EXPECT_EQ(r.samples[2], std::complex<float>(0.0f, -1 / 128.0f));
  }
  {
    const ReadResult r = ReadAll({0, 255, 127, 128}, BasebandFormat::kCu8);
    ASSERT_EQ(r.samples.size(), 2u);
    EXPECT_FLOAT_EQ(r.samples[0].real(), -1.0f);
    EXPECT_FLOAT_EQ(r.samples[0].imag(), 1.0f);
    // Centred on 127.5: 127 and 128 lie symmetrically around zero.
    EXPECT_FLOAT_EQ(r.samples[1].real(), -r.samples[1].imag());
    EXPECT_GT(r.samples[1].imag(), 0.0f);
  }
  {
    Bytes data;
    for (float v : {0.5f, -0.125f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
      uint32_t w;
      std::memcpy(&w, &v, 4);
      Put32(data, w);
    }
    const ReadResult r = ReadAll(data, BasebandFormat::kCf32);
    ASSERT_EQ(r.samples.size(), 2u);
    EXPECT_EQ(r.samples[0], std::complex<float>(0.5f, -0.125f));
    EXPECT_EQ(r.samples[1], std::complex<float>(0.0f, 0.0f));  // non-finite reads as silence
  }
}

TEST_F(BasebandReaderTest, RawOpenRefusesZeroRateAndNonRawFormats) {
  testing::WriteFileBytes(folder_.File("r"), {0, 0});
  InputFile file;
  ASSERT_TRUE(file.Open(folder_.File("r")));
  BasebandReader reader;
  EXPECT_FALSE(reader.OpenRaw(file, BasebandFormat::kCs16, 0, 2));
  EXPECT_EQ(reader.GetStatus(), Status::kZeroRate);
  EXPECT_FALSE(reader.OpenRaw(file, BasebandFormat::kUnknown, 1000, 2));
  EXPECT_EQ(reader.GetStatus(), Status::kBadFormat);
  EXPECT_FALSE(reader.OpenRaw(file, BasebandFormat::kWav, 1000, 2));
  std::vector<std::complex<float>> out;
  EXPECT_EQ(reader.Read(out, 10), 0u);
  EXPECT_TRUE(out.empty());
}

TEST_F(BasebandReaderTest, BrokenHeadersAreRefusedWithTheirReason) {
  const Bytes fmt16 = Chunk("fmt ", Fmt(1, 2, 6000000, 16));
  const Bytes data = Chunk("data", Cs16({1, 2, 3, 4}));
  struct Case {
    const char* name;
    Bytes file;
    Status status;
    const char* says;
  };
  Bytes rifx = Riff(fmt16);
  rifx[3] = 'X';
  Bytes only_fmt = Riff(fmt16);
  Bytes data_first = data;
  Append(data_first, fmt16);
  Bytes long_list = fmt16;
  Append(long_list, Chunk("LIST", {1, 2, 3, 4}, 1000));
  Bytes mono = Chunk("fmt ", Fmt(1, 1, 6000000, 16));
  Append(mono, data);
  Bytes bits24 = Chunk("fmt ", Fmt(1, 2, 6000000, 24));
  Append(bits24, data);
  Bytes float64 = Chunk("fmt ", Fmt(3, 2, 6000000, 64));
  Append(float64, data);
  Bytes zero_rate = Chunk("fmt ", Fmt(1, 2, 0, 16));
  Append(zero_rate, data);
  Bytes adpcm = Chunk("fmt ", Fmt(2, 2, 6000000, 16));
  Append(adpcm, data);
  Bytes bad_align_fmt = Fmt(1, 2, 6000000, 16);
  bad_align_fmt[12] = 8;
  Bytes bad_align = Chunk("fmt ", bad_align_fmt);
  Append(bad_align, data);
  Bytes short_fmt = Chunk("fmt ", Bytes(10, 0));
  Append(short_fmt, data);
  Bytes short_ext_fmt = Fmt(0xFFFE, 2, 6000000, 16);
  Bytes short_ext = Chunk("fmt ", short_ext_fmt);
  Append(short_ext, data);
  const Case cases[] = {
      {"empty", {}, Status::kBadHeader, "not a WAV"},
      {"raw samples", Cs16({1, 2, 3, 4, 5, 6, 7, 8}), Status::kBadHeader, "not a WAV"},
      {"RIFX", rifx, Status::kBadHeader, "not a WAV"},
      {"no data chunk", only_fmt, Status::kBadHeader, "no data"},
      {"data before fmt", Riff(data_first), Status::kBadHeader, "no fmt"},
      {"chunk past the end", Riff(long_list), Status::kBadHeader, "LIST"},
      {"mono", Riff(mono), Status::kBadFormat, "1 channel"},
      {"24-bit", Riff(bits24), Status::kBadFormat, "24 bits"},
      {"float 64", Riff(float64), Status::kBadFormat, "64 bits"},
      {"zero rate", Riff(zero_rate), Status::kZeroRate, "sample rate of 0"},
      {"ADPCM", Riff(adpcm), Status::kBadFormat, "0x0002"},
      {"block align", Riff(bad_align), Status::kBadFormat, "block alignment"},
      {"short fmt", Riff(short_fmt), Status::kBadHeader, "fmt chunk"},
      {"short extensible fmt", Riff(short_ext), Status::kBadHeader, "extensible"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadResult r = ReadAll(c.file);
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
    EXPECT_TRUE(r.samples.empty());
  }
}

TEST_F(BasebandReaderTest, TruncatedDataDeliversWhatIsThereAndSaysSo) {
  std::vector<int16_t> values;
  for (int i = 0; i < 20; ++i) values.push_back(static_cast<int16_t>(i * 100));
  Bytes chunks = Chunk("fmt ", Fmt(1, 2, 6000000, 16));
  Bytes data = Cs16(values);
  data.resize(data.size() - 2);  // ends inside the tenth sample
  Append(chunks, Chunk("data", data, 4 * 100));
  Bytes file = Riff(chunks);
  if (data.size() % 2) file.pop_back();
  const ReadResult r = ReadAll(file, BasebandFormat::kWav, 0, 3);
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.declared, 100);
  EXPECT_EQ(r.status, Status::kTruncated);
  EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
  EXPECT_NE(r.error.find("38 of 400 bytes"), std::string::npos) << r.error;
  ASSERT_EQ(r.samples.size(), 9u);
  EXPECT_EQ(r.samples[8], std::complex<float>(1600 / 32768.0f, 1700 / 32768.0f));
}

TEST_F(BasebandReaderTest, DataSizeNotWholeSamplesDeliversTheWholeOnes) {
  {
    Bytes chunks = Chunk("fmt ", Fmt(1, 2, 6000000, 16));
    Bytes data = Cs16({1, 2, 3, 4, 5, 6});
    data.push_back(9);  // three samples and a byte
    Append(chunks, Chunk("data", data));
    const ReadResult r = ReadAll(Riff(chunks));
    ASSERT_TRUE(r.opened) << r.error;
    EXPECT_EQ(r.status, Status::kPartialSample);
    EXPECT_NE(r.error.find("not a whole number"), std::string::npos) << r.error;
    EXPECT_EQ(r.samples.size(), 3u);
  }
  for (bool known_size : {true, false}) {
    SCOPED_TRACE(known_size ? "size given" : "to the end of the file");
    Bytes raw = Cs16({1, 2, 3, 4});
    raw.insert(raw.end(), {5, 6, 7});  // two samples and three bytes of a third
    const ReadResult r = ReadAll(raw, BasebandFormat::kCs16, 1000, 1000, known_size);
    EXPECT_EQ(r.status, Status::kPartialSample);
    EXPECT_NE(r.error.find("3 byte(s)"), std::string::npos) << r.error;
    EXPECT_EQ(r.samples.size(), 2u);
  }
}

TEST_F(BasebandReaderTest, LongRecordingStreamsInBlocksWithoutLosingSamples) {
  // More samples than several blocks hold, read in pieces that do not divide the block size.
  const size_t count = 3 * BasebandReader::kBlockSamples + 123;
  std::vector<int16_t> values;
  for (size_t i = 0; i < count; ++i) {
    values.push_back(static_cast<int16_t>(i % 30000));
    values.push_back(static_cast<int16_t>(-static_cast<int>(i % 20000)));
  }
  Bytes chunks = Chunk("fmt ", Fmt(1, 2, 6000000, 16));
  Append(chunks, Chunk("data", Cs16(values)));
  for (size_t piece : {size_t{1000}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    const ReadResult r = ReadAll(Riff(chunks), BasebandFormat::kWav, 0, piece);
    EXPECT_EQ(r.status, Status::kEnd);
    ASSERT_EQ(r.samples.size(), count);
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i)
      if (r.samples[i] !=
          std::complex<float>((i % 30000) / 32768.0f, -static_cast<float>(i % 20000) / 32768.0f))
        ++wrong;
    EXPECT_EQ(wrong, 0u);
  }
}

// A WAV file's data size does not always end its samples: recorders write 0 first and patch it at
// the close (a killed one leaves 0 or an old size), a RIFF size wraps past 4 GiB, a streaming
// writer leaves 0xFFFFFFFF. Bytes after the declared data that are not a chunk are samples; chunks
// that end the file are not, wherever the data size left the reader.
struct DataSizeCase {
  const char* name;
  double declared_samples;  // the data chunk's size in samples; -1: 0xFFFFFFFF (streamed)
  size_t samples;           // samples the file really holds
  std::vector<const char*> trailing_chunks;  // chunks after the samples
  bool warned;                               // a warning names both sizes
};

void PrintTo(const DataSizeCase& c, std::ostream* out) {
  *out << c.name;
}

class WavDataSizeTest : public BasebandReaderTest,
                        public ::testing::WithParamInterface<DataSizeCase> {};

TEST_P(WavDataSizeTest, ReadsEverySampleTheFileHoldsAndNoChunk) {
  const DataSizeCase& c = GetParam();
  std::vector<int16_t> values;
  for (size_t i = 0; i < c.samples; ++i) {
    values.push_back(static_cast<int16_t>(i % 32000));
    values.push_back(static_cast<int16_t>(-1 - static_cast<int>(i % 17)));
  }
  Bytes file = Riff(Chunk("fmt ", Fmt(1, 2, 6000000, 16)));
  const Bytes samples = Cs16(values);
  const int64_t declared_bytes =
      c.declared_samples < 0 ? 0xFFFFFFFF : static_cast<int64_t>(c.declared_samples * 4);
  PutId(file, "data");
  Put32(file, static_cast<uint32_t>(declared_bytes));
  Append(file, samples);
  for (const char* id : c.trailing_chunks)
    Append(file, Chunk(id, {'S', 'D', 'R', '#', 0, 1, 2}));  // odd: a pad byte follows
  for (bool known_size : {true, false}) {
    for (size_t piece : {size_t{700}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.name) + (known_size ? ", size known" : ", a stream") +
                   ", pieces of " + std::to_string(piece));
      const ReadResult r = ReadAll(file, BasebandFormat::kWav, 0, piece, known_size);
      ASSERT_TRUE(r.opened) << r.error;
      EXPECT_EQ(r.status, Status::kEnd) << r.error;
      ASSERT_EQ(r.samples.size(), c.samples);
      size_t wrong = 0;
      for (size_t i = 0; i < c.samples; ++i)
        if (r.samples[i] != std::complex<float>(static_cast<float>(i % 32000) / 32768.0f,
                                                (-1.0f - static_cast<float>(i % 17)) / 32768.0f))
          ++wrong;
      EXPECT_EQ(wrong, 0u);
      if (c.warned) {
        EXPECT_NE(r.warning.find(std::to_string(declared_bytes) + " bytes"), std::string::npos)
            << r.warning;
        EXPECT_NE(r.warning.find(std::to_string(samples.size()) + " bytes of samples"),
                  std::string::npos)
            << r.warning;
      } else {
        EXPECT_EQ(r.warning, "");
      }
      // Everything up to the last byte is accounted for: header, samples and the chunks after.
      if (known_size || c.trailing_chunks.empty()) {
        EXPECT_EQ(r.bytes_read, static_cast<int64_t>(file.size()));
      }
    }
  }
}

// 40000 samples take more than the bytes a reader keeps back to look for chunks at the end.
INSTANTIATE_TEST_SUITE_P(
    Sizes, WavDataSizeTest,
    ::testing::Values(DataSizeCase{"size right", 25, 25, {}, false},
                      DataSizeCase{"size right, LIST after", 25, 25, {"LIST"}, false},
                      DataSizeCase{"size short: recorder killed", 10, 25, {}, true},
                      DataSizeCase{"size short inside a sample", 10.5, 25, {}, true},
                      DataSizeCase{"size short, long file", 1000, 40000, {}, true},
                      DataSizeCase{"size short, auxi after the samples", 10, 40000, {"auxi"}, true},
                      DataSizeCase{"size 0: never patched", 0, 25, {}, true},
                      DataSizeCase{"size 0, LIST and auxi after", 0, 40000, {"LIST", "auxi"}, true},
                      DataSizeCase{"size 0, nothing after", 0, 0, {}, false},
                      DataSizeCase{"streamed", -1, 40000, {}, false},
                      DataSizeCase{"streamed, LIST after", -1, 25, {"LIST"}, false},
                      DataSizeCase{
                          "streamed, LIST and id3 after", -1, 40000, {"LIST", "id3 "}, false}),
    [](const ::testing::TestParamInfo<DataSizeCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p != '\0'; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST_F(BasebandReaderTest, Pcm32BitIsSignedFullScale) {
  Bytes data;
  for (int32_t v : {INT32_MIN, INT32_MAX, 1 << 30, -(1 << 29)})
    Put32(data, static_cast<uint32_t>(v));
  Bytes chunks = Chunk("fmt ", Fmt(1, 2, 2400000, 32));
  Append(chunks, Chunk("data", data));
  const ReadResult r = ReadAll(Riff(chunks));
  ASSERT_TRUE(r.opened) << r.error;
  EXPECT_EQ(r.format, BasebandFormat::kCs32);
  ASSERT_EQ(r.samples.size(), 2u);
  EXPECT_EQ(r.samples[0], std::complex<float>(-1.0f, 1.0f));
  EXPECT_EQ(r.samples[1], std::complex<float>(0.5f, -0.25f));
}

TEST_F(BasebandReaderTest, NotANumberReadsAsZeroAndIsCounted) {
  Bytes data;
  for (float v : {std::numeric_limits<float>::quiet_NaN(), 0.5f, -0.25f,
                  std::numeric_limits<float>::infinity()}) {
    uint32_t w;
    std::memcpy(&w, &v, 4);
    Put32(data, w);
  }
  InputFile file;
  const std::string path = folder_.File("nan.cf32");
  testing::WriteFileBytes(path, data);
  ASSERT_TRUE(file.Open(path));
  BasebandReader reader;
  ASSERT_TRUE(reader.OpenRaw(file, BasebandFormat::kCf32, 1000, file.Size()));
  std::vector<std::complex<float>> samples;
  EXPECT_EQ(reader.Read(samples, 10), 2u);
  EXPECT_EQ(samples[0], std::complex<float>(0.0f, 0.5f));
  EXPECT_EQ(samples[1], std::complex<float>(-0.25f, 0.0f));
  EXPECT_EQ(reader.NonFiniteValues(), 2);
}

}  // namespace
}  // namespace vantrel
