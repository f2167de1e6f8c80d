#include "baseband/baseband_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/file_io.h"
#include "core/output_name.h"

namespace vantrel {
namespace {

constexpr uint16_t kFormatPcm = 0x0001;
constexpr uint16_t kFormatFloat = 0x0003;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// Bytes 2..15 of every WAVE_FORMAT_EXTENSIBLE subformat GUID made from a format code
// (KSDATAFORMAT_SUBTYPE_PCM, ..._IEEE_FLOAT): the code is bytes 0..1.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A `fmt ` chunk larger than this is not a format description but a broken size.
constexpr uint32_t kMaxFmtBytes = 4096;
// The 32-bit size an RF64 file writes where the ds64 chunk holds the real one.
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
// A WAV file read to its end keeps this many bytes back until the file has ended: chunks that
// end the file within them are recognised as chunks, not read as samples (the LIST, auxi and
// similar chunks writers put after the samples are far smaller).
constexpr size_t kTrailerScanBytes = 64 * 1024;

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) {
  return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

bool IsId(const uint8_t* p, std::string_view id) {
  return std::memcmp(p, id.data(), 4) == 0;
}

// Four characters that can be a chunk's id: printable ASCII starting with a letter or digit
// ("LIST", "auxi", "fmt ", "id3 ").
bool IsChunkId(const uint8_t* p) {
  if (!std::isalnum(p[0])) return false;
  for (int i = 1; i < 4; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

// A chunk id for messages: printable characters kept, others as '?'.
std::string IdText(const uint8_t* p) {
  std::string text(4, '?');
  for (int i = 0; i < 4; ++i)
    if (std::isprint(p[i])) text[i] = static_cast<char>(p[i]);
  return text;
}

}  // namespace

BasebandFormat BasebandFormatFromExtension(const std::string& path) {
  // The one list of baseband extensions is the naming rule's.
  std::string extension(BasebandExtension(path));
  if (extension.empty()) return BasebandFormat::kUnknown;
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ParseBasebandFormat(extension.substr(1));
}

BasebandFormat ParseBasebandFormat(const std::string& name) {
  for (BasebandFormat format :
       {BasebandFormat::kWav, BasebandFormat::kCs16, BasebandFormat::kCs8, BasebandFormat::kCu8,
        BasebandFormat::kCf32, BasebandFormat::kCs32}) {
    if (name == BasebandFormatName(format)) return format;
  }
  return BasebandFormat::kUnknown;
}

const char* BasebandFormatName(BasebandFormat format) {
  switch (format) {
    case BasebandFormat::kWav:
      return "wav";
    case BasebandFormat::kCs16:
      return "cs16";
    case BasebandFormat::kCs8:
      return "cs8";
    case BasebandFormat::kCu8:
      return "cu8";
    case BasebandFormat::kCf32:
      return "cf32";
    case BasebandFormat::kCs32:
      return "cs32";
    case BasebandFormat::kUnknown:
      break;
  }
  return "unknown";
}

int BasebandSampleBytes(BasebandFormat format) {
  switch (format) {
    case BasebandFormat::kCs16:
      return 4;
    case BasebandFormat::kCs8:
    case BasebandFormat::kCu8:
      return 2;
    case BasebandFormat::kCf32:
    case BasebandFormat::kCs32:
      return 8;
    case BasebandFormat::kWav:
    case BasebandFormat::kUnknown:
      break;
  }
  return 0;
}

void BasebandReader::Restart(InputFile& file) {
  file_ = &file;
  status_ = Status::kNotOpen;
  error_.clear();
  format_ = BasebandFormat::kUnknown;
  sample_rate_ = 0;
  data_bytes_ = -1;
  bytes_read_ = 0;
  samples_read_ = 0;
  non_finite_ = 0;
  wav_ = false;
  file_size_ = -1;
  header_bytes_ = 0;
  declared_bytes_ = -1;
  past_declared_ = false;
  trailer_bytes_ = 0;
  held_.clear();
  file_ended_ = false;
  auxi_.clear();
}

bool BasebandReader::Fail(Status status, std::string error) {
  status_ = status;
  error_ = std::move(error);
  return false;
}

bool BasebandReader::ReadHeader(void* buffer, size_t size, const char* what) {
  if (file_->Read(buffer, size) == size) return true;
  if (file_->Failed()) return Fail(Status::kReadError, std::string("reading ") + what + " failed");
  return Fail(Status::kBadHeader, std::string("broken WAV header: the file ends inside ") + what);
}

bool BasebandReader::Skip(uint64_t size, const char* what) {
  uint8_t scratch[4096];
  while (size > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, sizeof scratch));
    if (!ReadHeader(scratch, piece, what)) return false;
    size -= piece;
  }
  return true;
}

bool BasebandReader::TakeFmt(const std::vector<uint8_t>& fmt) {
  const uint8_t* p = fmt.data();
  uint16_t code = Le16(p);
  const uint16_t channels = Le16(p + 2);
  const uint32_t rate = Le32(p + 4);
  const uint16_t block_align = Le16(p + 12);
  const uint16_t bits = Le16(p + 14);
  if (code == kFormatExtensible) {
    if (fmt.size() < 40)
      return Fail(Status::kBadHeader, "broken WAV header: the extensible fmt chunk has " +
                                          std::to_string(fmt.size()) + " bytes, 40 needed");
    if (std::memcmp(p + 26, kGuidTail, sizeof kGuidTail) != 0)
      return Fail(Status::kBadFormat,
                  "WAV sample format not readable: an extensible format "
                  "with an unknown subformat GUID");
    code = Le16(p + 24);
  }
  if (code != kFormatPcm && code != kFormatFloat) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", code);
    return Fail(Status::kBadFormat, std::string("WAV sample format not readable: format code ") +
                                        hex + " is neither PCM nor IEEE float");
  }
  if (channels != 2)
    return Fail(Status::kBadFormat, "WAV file has " + std::to_string(channels) +
                                        " channel(s); baseband needs 2 (I and Q)");
  if (code == kFormatPcm && bits == 16) {
    format_ = BasebandFormat::kCs16;
  } else if (code == kFormatPcm && bits == 32) {
    format_ = BasebandFormat::kCs32;
  } else if (code == kFormatPcm && bits == 8) {
    format_ = BasebandFormat::kCu8;
  } else if (code == kFormatFloat && bits == 32) {
    format_ = BasebandFormat::kCf32;
  } else {
    return Fail(
        Status::kBadFormat,
        "WAV sample format not readable: " + std::string(code == kFormatPcm ? "PCM" : "float") +
            " with " + std::to_string(bits) +
            " bits per sample (PCM 8, 16 or 32 bits and float 32 bits are read)");
  }
  if (block_align != BasebandSampleBytes(format_))
    return Fail(Status::kBadFormat, "WAV sample format not readable: block alignment " +
                                        std::to_string(block_align) + " for " +
                                        std::to_string(bits) + "-bit I/Q samples");
  if (rate == 0) return Fail(Status::kZeroRate, "WAV header gives a sample rate of 0");
  sample_rate_ = rate;
  return true;
}

bool BasebandReader::OpenWav(InputFile& file, int64_t file_size) {
  Restart(file);
  wav_ = true;
  file_size_ = file_size;
  const int64_t start = file.BytesRead();
  uint8_t riff[12];
  if (file.Read(riff, sizeof riff) != sizeof riff || !IsId(riff + 8, "WAVE") ||
      !(IsId(riff, "RIFF") || IsId(riff, "RF64") || IsId(riff, "BW64"))) {
    if (file.Failed()) return Fail(Status::kReadError, "reading the WAV header failed");
    return Fail(Status::kBadHeader,
                "not a WAV file: it starts with neither RIFF/WAVE nor RF64/WAVE");
  }
  const bool rf64 = !IsId(riff, "RIFF");
  bool have_ds64 = false;
  uint64_t ds64_data_size = 0;
  bool have_fmt = false;
  for (;;) {
    uint8_t head[8];
    if (file.Read(head, sizeof head) != sizeof head) {
      if (file.Failed()) return Fail(Status::kReadError, "reading the WAV header failed");
      return Fail(Status::kBadHeader, "broken WAV header: no data chunk");
    }
    const uint32_t size = Le32(head + 4);
    if (IsId(head, "ds64")) {
      if (size < 24)
        return Fail(Status::kBadHeader, "broken RF64 header: the ds64 chunk has " +
                                            std::to_string(size) + " bytes, 24 needed");
      uint8_t ds64[24];
      if (!ReadHeader(ds64, sizeof ds64, "the ds64 chunk") ||
          !Skip(size - sizeof ds64 + (size & 1), "the ds64 chunk"))
        return false;
      have_ds64 = true;
      ds64_data_size = Le64(ds64 + 8);
    } else if (IsId(head, "fmt ")) {
      if (size < 16 || size > kMaxFmtBytes)
        return Fail(Status::kBadHeader,
                    "broken WAV header: a fmt chunk of " + std::to_string(size) + " bytes");
      std::vector<uint8_t> fmt(size);
      if (!ReadHeader(fmt.data(), size, "the fmt chunk") || !Skip(size & 1, "the fmt chunk"))
        return false;
      if (!TakeFmt(fmt)) return false;
      have_fmt = true;
    } else if (IsId(head, "data")) {
      if (!have_fmt)
        return Fail(Status::kBadHeader, "broken WAV header: no fmt chunk before the data");
      header_bytes_ = file.BytesRead() - start;
      uint64_t data_size = size;
      if (!rf64 && size == kSizeInDs64) {
        // What a writer streaming to a pipe leaves: the size it could not go back to fill in.
        data_bytes_ = -1;
        status_ = Status::kOk;
        return true;
      }
      if (rf64 && size == kSizeInDs64) {
        if (!have_ds64)
          return Fail(Status::kBadHeader, "broken RF64 header: no ds64 chunk for the data size");
        data_size = ds64_data_size;
      }
      if (data_size > static_cast<uint64_t>(INT64_MAX))
        return Fail(Status::kBadHeader, "broken RF64 header: impossible data size");
      data_bytes_ = static_cast<int64_t>(data_size);
      declared_bytes_ = data_bytes_;
      status_ = Status::kOk;
      return true;
    } else if (IsId(head, "auxi") && size <= kMaxFmtBytes) {
      auxi_.resize(size);
      if (!ReadHeader(auxi_.data(), size, "the auxi chunk") || !Skip(size & 1, "the auxi chunk"))
        return false;
    } else {
      if (!Skip(static_cast<uint64_t>(size) + (size & 1), "a chunk")) {
        if (status_ == Status::kBadHeader)
          error_ = "broken WAV header: the file ends inside the '" + IdText(head) +
                   "' chunk, before any data chunk";
        return false;
      }
    }
  }
}

bool BasebandReader::OpenRaw(InputFile& file, BasebandFormat format, uint32_t sample_rate,
                             int64_t size) {
  Restart(file);
  if (BasebandSampleBytes(format) == 0)
    return Fail(Status::kBadFormat,
                std::string("not a raw sample format: ") + BasebandFormatName(format));
  if (sample_rate == 0) return Fail(Status::kZeroRate, "the sample rate is 0");
  format_ = format;
  sample_rate_ = sample_rate;
  data_bytes_ = size < 0 ? -1 : size;
  status_ = Status::kOk;
  return true;
}

int64_t BasebandReader::DeclaredSamples() const {
  const int bytes = BasebandSampleBytes(format_);
  if (data_bytes_ < 0 || bytes == 0) return -1;
  return data_bytes_ / bytes;
}

void BasebandReader::Decode(const uint8_t* p, size_t count, std::vector<std::complex<float>>& out) {
  const size_t first = out.size();
  out.resize(first + count);
  std::complex<float>* q = out.data() + first;
  switch (format_) {
    case BasebandFormat::kCs16:
      for (size_t i = 0; i < count; ++i, p += 4)
        q[i] = {static_cast<int16_t>(Le16(p)) / 32768.0f,
                static_cast<int16_t>(Le16(p + 2)) / 32768.0f};
      break;
    case BasebandFormat::kCs8:
      for (size_t i = 0; i < count; ++i, p += 2)
        q[i] = {static_cast<int8_t>(p[0]) / 128.0f, static_cast<int8_t>(p[1]) / 128.0f};
      break;
    case BasebandFormat::kCu8:
      for (size_t i = 0; i < count; ++i, p += 2)
        q[i] = {(p[0] - 127.5f) / 127.5f, (p[1] - 127.5f) / 127.5f};
      break;
    case BasebandFormat::kCf32:
      for (size_t i = 0; i < count; ++i, p += 8) {
        uint32_t words[2] = {Le32(p), Le32(p + 4)};
        float iq[2];
        std::memcpy(iq, words, sizeof iq);
        // A NaN or infinity would poison every filter after it; it reads as silence.
        for (float& v : iq) {
          if (!std::isfinite(v)) {
            v = 0.0f;
            ++non_finite_;
          }
        }
        q[i] = {iq[0], iq[1]};
      }
      break;
    case BasebandFormat::kCs32:
      for (size_t i = 0; i < count; ++i, p += 8)
        q[i] = {static_cast<float>(static_cast<int32_t>(Le32(p)) / 2147483648.0),
                static_cast<float>(static_cast<int32_t>(Le32(p + 4)) / 2147483648.0)};
      break;
    case BasebandFormat::kWav:
    case BasebandFormat::kUnknown:
      break;
  }
}

void BasebandReader::EndAtFileEnd(size_t left_over) {
  if (left_over == 0) {
    status_ = Status::kEnd;
    return;
  }
  Fail(Status::kPartialSample,
       "the file's size is not a whole number of " + std::to_string(BasebandSampleBytes(format_)) +
           "-byte samples; the last " + std::to_string(left_over) + " byte(s) were dropped");
}

bool BasebandReader::SamplesFollowDeclaredData() {
  const int64_t data_end = header_bytes_ + data_bytes_;
  if (file_size_ >= 0 && data_end >= file_size_) return false;
  uint8_t head[8];
  const size_t got = file_->Read(head, sizeof head);
  if (file_->Failed()) {
    Fail(Status::kReadError,
         "reading the samples failed after " + std::to_string(samples_read_) + " samples");
    return false;
  }
  if (got == 0) return false;
  if (got == sizeof head && IsChunkId(head)) {
    const int64_t size = Le32(head + 4);
    // A chunk's size must fit the file (an odd last chunk may lack its pad byte).
    if (file_size_ < 0 || data_end + 8 + size <= file_size_ + 1) {
      trailer_bytes_ = file_size_ >= 0 ? file_size_ - data_end : 8;
      return false;
    }
  }
  held_.assign(head, head + got);
  file_ended_ = got < sizeof head;
  past_declared_ = true;
  return true;
}

size_t BasebandReader::TrailingChunks() const {
  const size_t n = held_.size();
  for (size_t p = 0; p + 8 <= n; ++p) {
    // Chunks start at even offsets of the file, as the data chunk's samples did.
    if ((header_bytes_ + bytes_read_ + static_cast<int64_t>(p)) % 2 != 0) continue;
    size_t q = p;
    while (q + 8 <= n && IsChunkId(&held_[q])) {
      const uint64_t size = Le32(&held_[q + 4]);
      const uint64_t next = q + 8 + size + (size & 1);
      if (next == n || ((size & 1) != 0 && next == n + 1)) return p;
      if (next > n) break;
      q = static_cast<size_t>(next);
    }
  }
  return n;
}

size_t BasebandReader::ReadToEnd(size_t want) {
  while (!file_ended_ && held_.size() < want + kTrailerScanBytes) {
    const size_t before = held_.size();
    const size_t ask = want + kTrailerScanBytes - before;
    held_.resize(before + ask);
    const size_t got = file_->Read(held_.data() + before, ask);
    held_.resize(before + got);
    if (got < ask) {
      file_ended_ = true;
      if (file_->Failed()) {
        Fail(Status::kReadError,
             "reading the samples failed after " + std::to_string(samples_read_) + " samples");
        return 0;
      }
      const size_t samples_end = TrailingChunks();
      trailer_bytes_ = static_cast<int64_t>(held_.size() - samples_end);
      held_.resize(samples_end);
    }
  }
  const size_t ready = file_ended_ ? held_.size() : held_.size() - kTrailerScanBytes;
  return std::min(want, ready);
}

std::string BasebandReader::Warning() const {
  // A pad byte after an odd data size is no sample.
  if (!past_declared_ || bytes_read_ <= declared_bytes_ + 1) return {};
  std::string why;
  if (declared_bytes_ == 0) {
    why = " (a recorder stopped before it wrote its sizes)";
  } else if (bytes_read_ > declared_bytes_ && (bytes_read_ - declared_bytes_) % (1LL << 32) == 0) {
    why = " (its 32-bit size wrapped past 4 GiB)";
  } else {
    why = " (a recorder stopped before it wrote its final sizes)";
  }
  return "the WAV header gives a data size of " + std::to_string(declared_bytes_) +
         " bytes, but the file holds " + std::to_string(bytes_read_) + " bytes of samples" + why +
         ": they were read to the end of the file";
}

size_t BasebandReader::Read(std::vector<std::complex<float>>& out, size_t max_samples) {
  if (status_ != Status::kOk || max_samples == 0) return 0;
  const size_t sample_bytes = static_cast<size_t>(BasebandSampleBytes(format_));
  size_t want = std::min(max_samples, kBlockSamples) * sample_bytes;
  if (wav_ && data_bytes_ >= 0 && bytes_read_ == data_bytes_) {
    if (SamplesFollowDeclaredData()) data_bytes_ = -1;
    if (status_ != Status::kOk) return 0;
  } else if (wav_ && data_bytes_ >= 0 &&
             data_bytes_ - bytes_read_ < static_cast<int64_t>(sample_bytes) &&
             (file_size_ < 0 || file_size_ > header_bytes_ + data_bytes_ + 1)) {
    // A declared size that ends inside a sample, with more than a pad byte after it (or a stream,
    // whose end tells): a size patched by a recorder that was stopped, not the end of the samples.
    data_bytes_ = -1;
    past_declared_ = true;
  }
  if (wav_ && data_bytes_ < 0) {
    const size_t got = ReadToEnd(want);
    if (status_ != Status::kOk) return 0;
    bytes_read_ += static_cast<int64_t>(got);
    const size_t samples = got / sample_bytes;
    Decode(held_.data(), samples, out);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(got));
    samples_read_ += static_cast<int64_t>(samples);
    if (got < want) EndAtFileEnd(got % sample_bytes);
    return samples;
  }
  if (data_bytes_ >= 0) {
    const int64_t left = data_bytes_ - bytes_read_;
    want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), left));
    want -= want % sample_bytes;
    if (want == 0) {
      if (left == 0) {
        status_ = Status::kEnd;
        return 0;
      }
      // Less than one sample declared: read it to tell a short file from a bad size.
      bytes_.resize(static_cast<size_t>(left));
      const size_t got = file_->Read(bytes_.data(), bytes_.size());
      bytes_read_ += static_cast<int64_t>(got);
      if (file_->Failed()) {
        Fail(Status::kReadError, "reading the samples failed");
      } else if (got < bytes_.size()) {
        Fail(Status::kTruncated,
             "the recording is truncated: the file ends inside the data, after " +
                 std::to_string(bytes_read_) + " of " + std::to_string(data_bytes_) + " bytes");
      } else {
        Fail(Status::kPartialSample, "the data size of " + std::to_string(data_bytes_) +
                                         " bytes is not a whole number of " +
                                         std::to_string(sample_bytes) + "-byte samples; the last " +
                                         std::to_string(left) + " byte(s) were dropped");
      }
      return 0;
    }
  }
  bytes_.resize(want);
  const size_t got = file_->Read(bytes_.data(), want);
  bytes_read_ += static_cast<int64_t>(got);
  const size_t samples = got / sample_bytes;
  Decode(bytes_.data(), samples, out);
  samples_read_ += static_cast<int64_t>(samples);
  if (got < want) {
    if (file_->Failed()) {
      Fail(Status::kReadError,
           "reading the samples failed after " + std::to_string(samples_read_) + " samples");
    } else if (data_bytes_ >= 0) {
      Fail(Status::kTruncated, "the recording is truncated: the file ends inside the data, after " +
                                   std::to_string(bytes_read_) + " of " +
                                   std::to_string(data_bytes_) + " bytes");
    } else {
      EndAtFileEnd(got % sample_bytes);
    }
  }
  return samples;
}

}  // namespace vantrel
