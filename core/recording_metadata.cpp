#include "core/recording_metadata.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "core/output_name.h"
#include "core/satellite.h"

namespace vantrel {
namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
constexpr int64_t kDays1970To2000 = 10957;

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
bool ValidDate(int y, int m, int d) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0);
}
// A leap second (60) is let through: it is what a clock wrote.
bool ValidTime(int h, int mi, int s, int ms) {
  return h >= 0 && h < 24 && mi >= 0 && mi < 60 && s >= 0 && s <= 60 && ms >= 0 && ms < 1000;
}

// Sets the start of `meta` from a milliseconds count since 2000-01-01 00:00.
void SetStartMs(RecordingMetadata& meta, int64_t ms_since_2000) {
  int64_t days = ms_since_2000 / kMsPerDay;
  int64_t ms = ms_since_2000 % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
  meta.days_since_2000 = days;
  meta.ms_of_day = ms;
}
void SetStart(RecordingMetadata& meta, int y, int m, int d, int h, int mi, int s, int ms) {
  const int64_t days = DaysFromCivil(y, m, d) - kDays1970To2000;
  SetStartMs(meta, days * kMsPerDay + ((h * 60 + mi) * 60 + s) * int64_t{1000} + ms);
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

// ---------------------------------------------------------------------------------------------
// File names

// A left-to-right reader of a file name: each step consumes what it matches and says whether it
// did; a failed step leaves the position unspecified (the caller gives up on the convention).
struct NameCursor {
  std::string_view s;
  size_t pos = 0;

  bool Literal(std::string_view text) {
    if (s.substr(pos, text.size()) != text) return false;
    pos += text.size();
    return true;
  }
  // Exactly `count` decimal digits.
  bool Digits(size_t count, int* value) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = 0; i < count; ++i) {
      const char c = s[pos + i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    pos += count;
    *value = v;
    return true;
  }
  // A decimal number of 1 to 15 integer digits with an optional fraction, rounded to the nearest
  // integer ("2400000.000" and "137100000.5" are what recorders write).
  bool Decimal(int64_t* value) {
    constexpr size_t kMaxIntegerDigits = 15;  // 1e15 Hz is far past any receiver
    const size_t start = pos;
    int64_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      if (pos - start == kMaxIntegerDigits) return false;
      v = v * 10 + (s[pos++] - '0');
    }
    if (pos == start) return false;
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      const size_t fraction = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
      if (pos == fraction) return false;
      if (s[fraction] >= '5') ++v;
    }
    *value = v;
    return true;
  }
  bool AtEnd() const { return pos == s.size(); }
  std::string_view Rest() const { return s.substr(pos); }
};

struct ExtensionFormat {
  const char* extension;  // with its dot, compared in any letter case
  const char* kind;
  const char* format;
};
// What an extension alone tells.
constexpr ExtensionFormat kExtensions[] = {
    {".cs16", "baseband", "cs16"}, {".s16", "baseband", "cs16"}, {".cs8", "baseband", "cs8"},
    {".s8", "baseband", "cs8"},    {".cu8", "baseband", "cu8"},  {".u8", "baseband", "cu8"},
    {".cf32", "baseband", "cf32"}, {".f32", "baseband", "cf32"}, {".cs32", "baseband", "cs32"},
    {".wav", "baseband", "wav"},   {".soft", "soft", ""},        {".s", "soft", ""},
    {".bin", "hard", ""},
};

const ExtensionFormat* ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return nullptr;
  for (const ExtensionFormat& e : kExtensions)
    if (EqualNoCase(name.substr(dot), e.extension)) return &e;
  return nullptr;
}

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// baseband_<freq>Hz_<HH-MM-SS>_<DD-MM-YYYY>.wav
bool ParseSdrPlusPlus(std::string_view name, RecordingMetadata& meta) {
  NameCursor c{name};
  int64_t freq = 0;
  int h, mi, s, d, m, y;
  if (!c.Literal("baseband_") || !c.Decimal(&freq) || !c.Literal("Hz_") || !c.Digits(2, &h) ||
      !c.Literal("-") || !c.Digits(2, &mi) || !c.Literal("-") || !c.Digits(2, &s) ||
      !c.Literal("_") || !c.Digits(2, &d) || !c.Literal("-") || !c.Digits(2, &m) ||
      !c.Literal("-") || !c.Digits(4, &y) || !EqualNoCase(c.Rest(), ".wav"))
    return false;
  if (!ValidDate(y, m, d) || !ValidTime(h, mi, s, 0)) return false;
  meta.convention = "SDR++ baseband recorder";
  meta.kind = "baseband";
  meta.sample_format = "wav";
  meta.frequency_hz = freq;
  meta.time_is_local = true;
  SetStart(meta, y, m, d, h, mi, s, 0);
  return true;
}

// YYYY-MM-DD_HH-MM-SS[-mmm]_<rate>SPS_<freq>Hz.<ext>
bool ParseSatDump(std::string_view name, RecordingMetadata& meta) {
  NameCursor c{name};
  int y, m, d, h, mi, s, ms = 0;
  int64_t rate = 0, freq = 0;
  if (!c.Digits(4, &y) || !c.Literal("-") || !c.Digits(2, &m) || !c.Literal("-") ||
      !c.Digits(2, &d) || !c.Literal("_") || !c.Digits(2, &h) || !c.Literal("-") ||
      !c.Digits(2, &mi) || !c.Literal("-") || !c.Digits(2, &s))
    return false;
  if (c.Literal("-") && !c.Digits(3, &ms)) return false;
  if (!c.Literal("_") || !c.Decimal(&rate) || !c.Literal("SPS_") || !c.Decimal(&freq) ||
      !c.Literal("Hz"))
    return false;
  const ExtensionFormat* ext = ExtensionOf(name);
  if (ext == nullptr || std::string_view(ext->kind) != "baseband" ||
      c.pos != name.size() - std::strlen(ext->extension))
    return false;
  if (!ValidDate(y, m, d) || !ValidTime(h, mi, s, ms) || rate == 0) return false;
  meta.convention = "SatDump recorder";
  meta.kind = "baseband";
  meta.sample_format = ext->format;
  meta.sample_rate = rate;
  meta.frequency_hz = freq;
  SetStart(meta, y, m, d, h, mi, s, ms);
  return true;
}

// <pipeline>.soft, the pipeline a lower-case identifier with a '_': "metop_ahrpt".
bool ParseSoftPipeline(std::string_view name, RecordingMetadata& meta) {
  constexpr std::string_view kSoft = ".soft";
  if (name.size() <= kSoft.size() || name.substr(name.size() - kSoft.size()) != kSoft) return false;
  const std::string_view stem = name.substr(0, name.size() - kSoft.size());
  if (stem.front() < 'a' || stem.front() > 'z' || stem.back() == '_' ||
      stem.find('_') == std::string_view::npos)
    return false;
  for (char ch : stem)
    if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_')) return false;
  meta.convention = "SatDump soft symbols";
  meta.kind = "soft";
  meta.pipeline = std::string(stem);
  return true;
}

// gqrx_<yyyyMMdd>_<hhmmss>_<freq>_<rate>_fc.raw
bool ParseGqrx(std::string_view name, RecordingMetadata& meta) {
  NameCursor c{name};
  int y, m, d, h, mi, s;
  int64_t freq = 0, rate = 0;
  if (!c.Literal("gqrx_") || !c.Digits(4, &y) || !c.Digits(2, &m) || !c.Digits(2, &d) ||
      !c.Literal("_") || !c.Digits(2, &h) || !c.Digits(2, &mi) || !c.Digits(2, &s) ||
      !c.Literal("_") || !c.Decimal(&freq) || !c.Literal("_") || !c.Decimal(&rate) ||
      !c.Literal("_fc.raw") || !c.AtEnd())
    return false;
  if (!ValidDate(y, m, d) || !ValidTime(h, mi, s, 0) || rate == 0) return false;
  meta.convention = "GQRX";
  meta.kind = "baseband";
  meta.sample_format = "cf32";
  meta.sample_rate = rate;
  meta.frequency_hz = freq;
  SetStart(meta, y, m, d, h, mi, s, 0);
  return true;
}

}  // namespace

RecordingMetadata MetadataFromName(std::string_view path) {
  std::string_view name = FileNameOf(WithoutPartEnding(path));
  for (const Satellite& satellite : Satellites()) {
    const std::string_view marker = satellite.marker;
    if (name.size() > marker.size() && name.substr(0, marker.size()) == marker) {
      name.remove_prefix(marker.size());
      break;
    }
  }
  RecordingMetadata meta;
  if (ParseSdrPlusPlus(name, meta) || ParseSatDump(name, meta) || ParseSoftPipeline(name, meta) ||
      ParseGqrx(name, meta)) {
    meta.source = "the file name (" + meta.convention + ")";
    return meta;
  }
  if (const ExtensionFormat* ext = ExtensionOf(name)) {
    meta.kind = ext->kind;
    meta.sample_format = ext->format;
    meta.source = "the file name's extension";
  }
  return meta;
}

// ---------------------------------------------------------------------------------------------
// Content statistics

namespace {

constexpr uint32_t kCaduMarker = 0x1ACFFC1D;
// Bytes nearly uniform: random bits. A fair 4096-byte sample measures about 7.955 bits.
constexpr double kHardEntropyBits = 7.9;
// Neighbouring complex samples at least this correlated: band-limited I/Q, not symbols or noise
// (QPSK at 2.5 samples per symbol measures about 0.7 at a good signal-to-noise ratio).
constexpr double kBasebandCorrelation = 0.25;
// Below this, neighbours count as uncorrelated (hard bits, soft symbols).
constexpr double kUncorrelated = 0.1;
// Signed bytes at most this kurtosis are bimodal (two levels: 1; uniform: 1.8; Gaussian: 3).
constexpr double kSoftKurtosis = 1.6;
// The same bytes offset by 127.5 at least this kurtosis look like a cu8 noise floor instead.
constexpr double kCu8NoiseKurtosis = 2.2;
// A cf32 word: finite, zero or of magnitude in [kFloatTiny, kFloatLarge).
constexpr float kFloatTiny = 1e-20f;
constexpr float kFloatLarge = 1e6f;
constexpr double kFloatShare = 0.99;
// High bytes of cs16 words at least this much less varied than the low ones, in bits.
constexpr double kCs16EntropyGap = 1.0;
// Printable ASCII and white space share above which the bytes are called text.
constexpr double kTextShare = 0.95;

std::string Format(const char* format, double a, double b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Shannon entropy in bits per value of a histogram.
double Entropy(const std::array<uint64_t, 256>& histogram) {
  uint64_t total = 0;
  for (uint64_t n : histogram) total += n;
  double bits = 0;
  for (uint64_t n : histogram)
    if (n != 0) {
      const double p = static_cast<double>(n) / static_cast<double>(total);
      bits -= p * std::log2(p);
    }
  return bits;
}

// CADU markers (or inverted ones) found at one spacing, at any bit offset: the spacing in bits
// and the number of markers at it, or {0, 0}.
struct MarkerRun {
  uint64_t spacing_bits = 0;
  size_t count = 0;
  bool inverted = false;
};
MarkerRun FindCaduMarkers(std::span<const uint8_t> bytes) {
  constexpr size_t kMaxHits = 4096;
  std::vector<uint64_t> hits[2];
  uint32_t shift = 0;
  for (size_t i = 0; i < bytes.size(); ++i)
    for (int bit = 7; bit >= 0; --bit) {
      shift = (shift << 1) | ((bytes[i] >> bit) & 1u);
      const uint64_t position = i * 8 + static_cast<uint64_t>(7 - bit);
      if (position < 31) continue;
      if (shift == kCaduMarker && hits[0].size() < kMaxHits) hits[0].push_back(position);
      if (shift == ~kCaduMarker && hits[1].size() < kMaxHits) hits[1].push_back(position);
    }
  MarkerRun best;
  for (int inverted = 0; inverted < 2; ++inverted) {
    std::map<uint64_t, size_t> gaps;
    for (size_t i = 1; i < hits[inverted].size(); ++i)
      ++gaps[hits[inverted][i] - hits[inverted][i - 1]];
    for (const auto& [gap, count] : gaps)
      if (count + 1 > best.count) best = {gap, count + 1, inverted == 1};
  }
  // Three markers at one spacing: a chance 32-bit match is about 1 in 500 million bits.
  return best.count >= 3 ? best : MarkerRun{};
}

// Statistics of the bytes read as interleaved I/Q samples of one 8-bit view (signed, or unsigned
// less 127.5).
struct ByteView {
  double mean = 0;
  double kurtosis = 0;
  // |sum z[n] conj(z[n+1])| / sum |z[n]|^2 with the mean removed per channel: 0 for independent
  // samples, near 1 for a narrow band; a carrier offset only turns the sum.
  double neighbour_correlation = 0;
};
// `value(i)` is channel value i (I of sample n at 2n, Q at 2n + 1).
template <typename Value>
ByteView MeasureIq(size_t samples, Value value) {
  double mean_i = 0, mean_q = 0;
  for (size_t n = 0; n < samples; ++n) {
    mean_i += value(2 * n);
    mean_q += value(2 * n + 1);
  }
  mean_i /= static_cast<double>(samples);
  mean_q /= static_cast<double>(samples);
  ByteView view;
  view.mean = (mean_i + mean_q) / 2;
  double m2 = 0, m4 = 0, power = 0, re = 0, im = 0;
  double last_i = 0, last_q = 0;
  for (size_t n = 0; n < samples; ++n) {
    const double vi = value(2 * n), vq = value(2 * n + 1);
    const double di = vi - view.mean, dq = vq - view.mean;
    m2 += di * di + dq * dq;
    m4 += di * di * di * di + dq * dq * dq * dq;
    const double ci = vi - mean_i, cq = vq - mean_q;
    power += ci * ci + cq * cq;
    if (n > 0) {  // z[n-1] * conj(z[n])
      re += last_i * ci + last_q * cq;
      im += last_q * ci - last_i * cq;
    }
    last_i = ci;
    last_q = cq;
  }
  const double count = 2.0 * static_cast<double>(samples);
  view.kurtosis = m2 > 0 ? (m4 / count) / ((m2 / count) * (m2 / count)) : 0;
  view.neighbour_correlation = power > 0 ? std::hypot(re, im) / power : 0;
  return view;
}

ByteView MeasureView(std::span<const uint8_t> bytes, bool is_signed) {
  return MeasureIq(bytes.size() / 2, [&](size_t i) {
    return is_signed ? static_cast<double>(static_cast<int8_t>(bytes[i]))
                     : static_cast<double>(bytes[i]) - 127.5;
  });
}
// The bytes as little-endian 16-bit I/Q.
ByteView MeasureInt16View(std::span<const uint8_t> bytes) {
  return MeasureIq(bytes.size() / 4, [&](size_t i) {
    return static_cast<double>(static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
  });
}

}  // namespace

ContentGuess GuessRecordingContent(std::span<const uint8_t> first_bytes) {
  ContentGuess guess;
  const std::span<const uint8_t> bytes = first_bytes;
  if (bytes.size() < kMinGuessBytes) {
    guess.reason = "only " + std::to_string(bytes.size()) + " bytes, " +
                   std::to_string(kMinGuessBytes) + " needed to judge the content";
    return guess;
  }
  if (std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == bytes[0]; })) {
    char text[64];
    std::snprintf(text, sizeof text, "every byte 0x%02X: nothing to judge the content by",
                  static_cast<unsigned>(bytes[0]));
    guess.reason = text;
    return guess;
  }
  const std::string_view head(reinterpret_cast<const char*>(bytes.data()), 4);
  if (head == "RIFF" || head == "RF64") {
    guess.reason = "a RIFF/RF64 header: a WAV file, to be read as one";
    return guess;
  }
  std::array<uint64_t, 256> all{}, low{}, high{};
  size_t printable = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    ++all[b];
    ++(i % 2 == 0 ? low : high)[b];
    if ((b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t') ++printable;
  }
  const double text_share = static_cast<double>(printable) / static_cast<double>(bytes.size());
  if (text_share > kTextShare) {
    guess.reason = Format("%.0f%% printable characters: text, not a recording", 100 * text_share);
    return guess;
  }

  if (const MarkerRun run = FindCaduMarkers(bytes); run.count > 0) {
    guess.kind = "hard";
    const bool whole_bytes = run.spacing_bits % 8 == 0;
    guess.reason =
        std::string(run.inverted ? "inverted CADU markers 0xE53003E2" : "CADU markers 0x1ACFFC1D") +
        " every " + std::to_string(whole_bytes ? run.spacing_bits / 8 : run.spacing_bits) +
        (whole_bytes ? " bytes (" : " bits (") + std::to_string(run.count) + " found): hard bits";
    return guess;
  }

  // cf32: words that are floats of a signal's size. Random bytes pass about 1 word in 3.
  size_t words = bytes.size() / 4, plain = 0, nonzero = 0;
  float largest = 0;
  for (size_t i = 0; i < words; ++i) {
    float v;
    std::memcpy(&v, bytes.data() + 4 * i, 4);
    const float magnitude = std::fabs(v);
    if (v == 0) {
      ++plain;
    } else if (std::isfinite(v) && magnitude >= kFloatTiny && magnitude < kFloatLarge) {
      ++plain;
      ++nonzero;
      largest = std::max(largest, magnitude);
    }
  }
  if (static_cast<double>(plain) >= kFloatShare * static_cast<double>(words) &&
      nonzero * 2 >= words) {
    guess.kind = "baseband";
    guess.sample_format = "cf32";
    guess.reason = Format("%.1f%% of 4-byte words floats of modest size (largest %.3g): cf32 I/Q",
                          100.0 * static_cast<double>(plain) / static_cast<double>(words), largest);
    return guess;
  }

  const double low_bits = Entropy(low), high_bits = Entropy(high);
  if (low_bits - high_bits >= kCs16EntropyGap) {
    guess.kind = "baseband";
    guess.sample_format = "cs16";
    guess.reason = Format(
        "high bytes of 16-bit words far less varied than the low ones (entropy %.2f against %.2f "
        "bits): cs16 I/Q",
        high_bits, low_bits);
    return guess;
  }

  const ByteView as_signed = MeasureView(bytes, true);
  const ByteView as_unsigned = MeasureView(bytes, false);
  const double correlation =
      std::max(as_signed.neighbour_correlation, as_unsigned.neighbour_correlation);
  // Loud cs16 varies its high bytes as much as its low ones; its 8-bit views then show noise
  // (the low bytes), but the 16-bit view shows the band.
  if (correlation < kUncorrelated) {
    const double wide = MeasureInt16View(bytes).neighbour_correlation;
    if (wide >= kBasebandCorrelation) {
      guess.kind = "baseband";
      guess.sample_format = "cs16";
      guess.reason = Format(
          "bytes uncorrelated but 16-bit samples' neighbours correlated (%.2f): cs16 I/Q", wide);
      return guess;
    }
  }
  const double bits = Entropy(all);
  if (bits >= kHardEntropyBits && correlation < kUncorrelated) {
    guess.kind = "hard";
    guess.reason = Format("bytes nearly uniform (entropy %.2f bits): hard bits", bits);
    return guess;
  }
  if (correlation >= kBasebandCorrelation) {
    const bool is_signed = as_signed.neighbour_correlation >= as_unsigned.neighbour_correlation;
    guess.kind = "baseband";
    guess.sample_format = is_signed ? "cs8" : "cu8";
    guess.reason =
        Format(is_signed ? "8-bit samples centred on 0, neighbours correlated (%.2f): cs8 I/Q"
                         : "8-bit samples centred on 127.5, neighbours correlated (%.2f): cu8 I/Q",
               correlation);
    return guess;
  }
  if (correlation < kUncorrelated && as_signed.kurtosis <= kSoftKurtosis &&
      as_unsigned.kurtosis < kCu8NoiseKurtosis) {
    guess.kind = "soft";
    guess.reason =
        Format("signed bytes bimodal (kurtosis %.2f), neighbours uncorrelated (%.2f): soft symbols",
               as_signed.kurtosis, correlation);
    return guess;
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "bytes with neighbours barely correlated (%.2f), kurtosis %.2f signed and %.2f "
                "offset by 127.5: white-noise 8-bit I/Q or soft symbols at a low signal-to-noise "
                "ratio, cannot tell",
                correlation, as_signed.kurtosis, as_unsigned.kurtosis);
  guess.reason = text;
  return guess;
}

// ---------------------------------------------------------------------------------------------
// SigMF: a small strict JSON reader (RFC 8259), bounded in size and depth

namespace {

struct Json {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  struct Member;
  std::vector<Member> members;

  // The first member named `key` of an object, or null.
  const Json* Find(std::string_view key) const;
};

// A member of an object, declared after Json is whole: a std::pair of a type still being
// defined is refused by some standard libraries.
struct Json::Member {
  std::string name;
  Json value;
};

const Json* Json::Find(std::string_view key) const {
  if (type != Type::kObject) return nullptr;
  for (const auto& [name, value] : members)
    if (name == key) return &value;
  return nullptr;
}

// Reads one JSON value that fills the whole text. On failure `error` names the byte offset and
// what was expected; the reader never reads past the text and recurses at most kMaxJsonDepth.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  bool ReadDocument(Json* value) {
    SkipSpace();
    if (!ReadValue(value, 0)) return false;
    SkipSpace();
    return pos_ == s_.size() || Fail("text after the JSON value");
  }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = "at byte " + std::to_string(pos_) + ": " + what;
    return false;
  }
  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  bool Take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return Fail("an unknown word");
    pos_ += word.size();
    return true;
  }

  bool ReadValue(Json* value, int depth) {
    if (depth >= kMaxJsonDepth)
      return Fail("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    if (pos_ >= s_.size()) return Fail("the text ends where a value was expected");
    switch (s_[pos_]) {
      case '{':
        return ReadObject(value, depth);
      case '[':
        return ReadArray(value, depth);
      case '"':
        value->type = Json::Type::kString;
        return ReadString(&value->text);
      case 't':
        value->type = Json::Type::kBool;
        value->boolean = true;
        return Word("true");
      case 'f':
        value->type = Json::Type::kBool;
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return ReadNumber(value);
    }
  }

  bool ReadObject(Json* value, int depth) {
    value->type = Json::Type::kObject;
    ++pos_;
    SkipSpace();
    if (Take('}')) return true;
    while (true) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a member name in quotes");
      std::string name;
      if (!ReadString(&name)) return false;
      SkipSpace();
      if (!Take(':')) return Fail("expected ':' after a member name");
      SkipSpace();
      Json member;
      if (!ReadValue(&member, depth + 1)) return false;
      value->members.push_back({std::move(name), std::move(member)});
      SkipSpace();
      if (Take('}')) return true;
      if (!Take(',')) return Fail("expected ',' or '}' in an object");
    }
  }

  bool ReadArray(Json* value, int depth) {
    value->type = Json::Type::kArray;
    ++pos_;
    SkipSpace();
    if (Take(']')) return true;
    while (true) {
      SkipSpace();
      Json item;
      if (!ReadValue(&item, depth + 1)) return false;
      value->items.push_back(std::move(item));
      SkipSpace();
      if (Take(']')) return true;
      if (!Take(',')) return Fail("expected ',' or ']' in an array");
    }
  }

  static void AppendUtf8(std::string* out, uint32_t code) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  bool ReadHex4(uint32_t* code) {
    if (pos_ + 4 > s_.size()) return Fail("a \\u escape cut short");
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return Fail("a \\u escape with a character that is not hexadecimal");
    }
    *code = v;
    return true;
  }

  // One UTF-8 sequence starting at pos_ (its lead byte >= 0x80): shortest form, no surrogates,
  // at most U+10FFFF.
  bool CopyUtf8(std::string* out) {
    const auto lead = static_cast<uint8_t>(s_[pos_]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || pos_ + length > s_.size())
      return Fail("text that is not UTF-8");
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
      const auto next = static_cast<uint8_t>(s_[pos_ + i]);
      if ((next & 0xC0) != 0x80) return Fail("text that is not UTF-8");
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return Fail("text that is not UTF-8");
    out->append(s_.substr(pos_, length));
    pos_ += length;
    return true;
  }

  bool ReadString(std::string* out) {
    ++pos_;  // the opening quote
    while (true) {
      if (pos_ >= s_.size()) return Fail("the text ends inside a string");
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<uint8_t>(c) < 0x20) return Fail("a control character inside a string");
      if (static_cast<uint8_t>(c) >= 0x80) {
        if (!CopyUtf8(out)) return false;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return Fail("the text ends inside a string");
      const char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t code = 0;
          if (!ReadHex4(&code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a lone low surrogate escape");
          if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF)
              return Fail("a high surrogate escape without its low half");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          return Fail("an unknown escape in a string");
      }
    }
  }

  bool ReadNumber(Json* value) {
    const size_t start = pos_;
    auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ - from;
    };
    Take('-');
    if (Take('0')) {
    } else if (digits() == 0) {
      return Fail("expected a value");
    }
    if (Take('.') && digits() == 0) return Fail("a number without digits after '.'");
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (digits() == 0) return Fail("a number without digits in its exponent");
    }
    // strtod needs a terminated text; numbers are short.
    constexpr size_t kMaxNumberChars = 64;
    if (pos_ - start > kMaxNumberChars) return Fail("a number longer than 64 characters");
    const std::string number(s_.substr(start, pos_ - start));
    value->type = Json::Type::kNumber;
    value->number = std::strtod(number.c_str(), nullptr);
    if (!std::isfinite(value->number)) return Fail("a number out of range");
    return true;
  }

  std::string_view s_;
  size_t pos_ = 0;
  std::string error_;
};

bool SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

// A non-negative integer from a JSON number below 1e15 (rates and frequencies), rounded.
bool WholeNumber(const Json& value, const char* name, int64_t* out, std::string* error) {
  constexpr double kLargest = 1e15;
  if (value.type != Json::Type::kNumber)
    return SetError(error, std::string(name) + " is not a number");
  if (value.number < 0 || value.number >= kLargest)
    return SetError(error, std::string(name) + " " + Format("%g", value.number) + " out of range");
  *out = std::llround(value.number);
  return true;
}

// "YYYY-MM-DDTHH:MM:SS[.fff...](Z|+HH:MM|-HH:MM)": milliseconds since 2000-01-01 UTC (the fraction
// cut to milliseconds).
bool ParseIsoTime(std::string_view text, int64_t* ms_since_2000) {
  NameCursor c{text};
  int y, m, d, h, mi, s, ms = 0;
  if (!c.Digits(4, &y) || !c.Literal("-") || !c.Digits(2, &m) || !c.Literal("-") ||
      !c.Digits(2, &d) || !(c.Literal("T") || c.Literal("t")) || !c.Digits(2, &h) ||
      !c.Literal(":") || !c.Digits(2, &mi) || !c.Literal(":") || !c.Digits(2, &s))
    return false;
  if (c.Literal(".")) {
    size_t count = 0;
    int digit;
    while (c.Digits(1, &digit)) {
      if (count < 3) ms = ms * 10 + digit;
      ++count;
    }
    if (count == 0) return false;
    for (; count < 3; ++count) ms *= 10;
  }
  int offset_minutes = 0;
  if (!(c.Literal("Z") || c.Literal("z"))) {
    const bool east = c.Literal("+");
    if (!east && !c.Literal("-")) return false;
    int oh, om;
    if (!c.Digits(2, &oh) || !c.Literal(":") || !c.Digits(2, &om) || oh > 23 || om > 59)
      return false;
    offset_minutes = (east ? 1 : -1) * (oh * 60 + om);
  }
  if (!c.AtEnd() || !ValidDate(y, m, d) || !ValidTime(h, mi, s, ms)) return false;
  const int64_t days = DaysFromCivil(y, m, d) - kDays1970To2000;
  *ms_since_2000 = days * kMsPerDay + ((h * 60 + mi) * 60 + s) * int64_t{1000} + ms -
                   int64_t{offset_minutes} * 60000;
  return true;
}

struct SigmfType {
  const char* datatype;
  const char* format;
};
constexpr SigmfType kSigmfTypes[] = {{"cf32_le", "cf32"}, {"ci16_le", "cs16"}, {"ci8", "cs8"},
                                     {"ci8_le", "cs8"},   {"cu8", "cu8"},      {"cu8_le", "cu8"},
                                     {"ci32_le", "cs32"}};

bool SigmfFormat(const std::string& datatype, std::string* format, std::string* error) {
  for (const SigmfType& t : kSigmfTypes)
    if (datatype == t.datatype) {
      *format = t.format;
      return true;
    }
  const std::string quoted = "core:datatype \"" + datatype + "\"";
  if (datatype.size() > 3 && datatype.substr(datatype.size() - 3) == "_be")
    return SetError(error, quoted + ": big-endian samples are not read, only little-endian ones");
  if (!datatype.empty() && datatype[0] == 'r')
    return SetError(error, quoted + ": real samples are not read, only complex I/Q");
  return SetError(error, quoted + " is not read: cf32_le, ci16_le, ci8, cu8 or ci32_le");
}

}  // namespace

std::optional<RecordingMetadata> ParseSigmfMeta(std::string_view json, std::string* error) {
  if (json.size() > kMaxSigmfMetaBytes) {
    SetError(error, "SigMF metadata of " + std::to_string(json.size()) + " bytes, more than the " +
                        std::to_string(kMaxSigmfMetaBytes) + " read");
    return std::nullopt;
  }
  Json root;
  JsonReader reader(json);
  if (!reader.ReadDocument(&root)) {
    SetError(error, "SigMF metadata is not valid JSON: " + reader.error());
    return std::nullopt;
  }
  const Json* global = root.Find("global");
  if (global == nullptr || global->type != Json::Type::kObject) {
    SetError(error, "SigMF metadata without a \"global\" object");
    return std::nullopt;
  }
  const Json* datatype = global->Find("core:datatype");
  if (datatype == nullptr || datatype->type != Json::Type::kString) {
    SetError(error, "SigMF metadata without a core:datatype text");
    return std::nullopt;
  }
  RecordingMetadata meta;
  meta.convention = "SigMF";
  meta.kind = "baseband";
  meta.source = "the SigMF metadata";
  if (!SigmfFormat(datatype->text, &meta.sample_format, error)) return std::nullopt;
  if (const Json* rate = global->Find("core:sample_rate")) {
    if (!WholeNumber(*rate, "core:sample_rate", &meta.sample_rate, error)) return std::nullopt;
  }
  const Json* captures = root.Find("captures");
  if (captures != nullptr && captures->type == Json::Type::kArray && !captures->items.empty()) {
    const Json& first = captures->items[0];
    if (const Json* frequency = first.Find("core:frequency")) {
      if (!WholeNumber(*frequency, "core:frequency", &meta.frequency_hz, error))
        return std::nullopt;
    }
    if (const Json* datetime = first.Find("core:datetime")) {
      int64_t ms = 0;
      if (datetime->type != Json::Type::kString || !ParseIsoTime(datetime->text, &ms)) {
        SetError(error, "core:datetime is not an ISO 8601 time such as 2026-12-09T10:15:30.123Z");
        return std::nullopt;
      }
      SetStartMs(meta, ms);
    }
  }
  return meta;
}

namespace {
constexpr std::string_view kSigmfMeta = ".sigmf-meta";
constexpr std::string_view kSigmfData = ".sigmf-data";

std::string SwapExtension(std::string_view path, std::string_view from, std::string_view to) {
  if (path.size() <= from.size() || path.substr(path.size() - from.size()) != from) return {};
  return std::string(path.substr(0, path.size() - from.size())) + std::string(to);
}
}  // namespace

std::string SigmfDataPath(std::string_view meta_path) {
  return SwapExtension(meta_path, kSigmfMeta, kSigmfData);
}
std::string SigmfMetaPath(std::string_view data_path) {
  return SwapExtension(data_path, kSigmfData, kSigmfMeta);
}

// ---------------------------------------------------------------------------------------------
// Binary headers

namespace {

uint64_t LittleEndian(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  uint64_t v = 0;
  for (size_t i = size; i-- > 0;) v = (v << 8) | bytes[offset + i];
  return v;
}

// CRC-32 as zlib computes it (IEEE 802.3: reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF), table derived from the polynomial.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t Crc32(std::span<const uint8_t> bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

constexpr int64_t kUnixMsAt2000 = kDays1970To2000 * kMsPerDay;

}  // namespace

std::optional<RecordingMetadata> ParseSdriqHeader(std::span<const uint8_t> header,
                                                  std::string* error) {
  if (header.size() < kSdriqHeaderBytes) {
    SetError(error, ".sdriq header of " + std::to_string(header.size()) + " bytes, " +
                        std::to_string(kSdriqHeaderBytes) + " needed");
    return std::nullopt;
  }
  constexpr size_t kCrcCovers = 28;
  const uint32_t computed = Crc32(header.first(kCrcCovers));
  const auto stored = static_cast<uint32_t>(LittleEndian(header, 28, 4));
  if (computed != stored) {
    char text[128];
    std::snprintf(text, sizeof text, ".sdriq header CRC-32 is 0x%08X, the header says 0x%08X",
                  computed, stored);
    SetError(error, text);
    return std::nullopt;
  }
  const uint64_t rate = LittleEndian(header, 0, 4);
  const uint64_t frequency = LittleEndian(header, 4, 8);
  const uint64_t start_ms = LittleEndian(header, 12, 8);
  const uint64_t sample_bits = LittleEndian(header, 20, 4);
  if (sample_bits != 16 && sample_bits != 24) {
    SetError(error,
             ".sdriq sample size of " + std::to_string(sample_bits) + " bits, 16 or 24 expected");
    return std::nullopt;
  }
  if (rate == 0) {
    SetError(error, ".sdriq header with a sample rate of 0");
    return std::nullopt;
  }
  if (frequency > static_cast<uint64_t>(INT64_MAX) ||
      start_ms > static_cast<uint64_t>(INT64_MAX - kUnixMsAt2000)) {
    SetError(error, ".sdriq header with a frequency or start time out of range");
    return std::nullopt;
  }
  RecordingMetadata meta;
  meta.convention = "SDRangel .sdriq";
  meta.kind = "baseband";
  meta.sample_format = sample_bits == 16 ? "cs16" : "cs32";
  meta.sample_rate = static_cast<int64_t>(rate);
  meta.frequency_hz = static_cast<int64_t>(frequency);
  if (start_ms != 0) SetStartMs(meta, static_cast<int64_t>(start_ms) - kUnixMsAt2000);
  meta.source = "the .sdriq header";
  return meta;
}

std::optional<RecordingMetadata> ParseAuxiChunk(std::span<const uint8_t> content,
                                                std::string* error) {
  if (content.size() < kAuxiMinBytes) {
    SetError(error, "auxi chunk of " + std::to_string(content.size()) + " bytes, " +
                        std::to_string(kAuxiMinBytes) + " needed");
    return std::nullopt;
  }
  // SYSTEMTIME: wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds.
  auto field = [&](int i) { return static_cast<int>(LittleEndian(content, 2 * i, 2)); };
  RecordingMetadata meta;
  meta.convention = "SDR# auxi chunk";
  meta.kind = "baseband";
  meta.sample_format = "wav";
  meta.source = "the auxi chunk";
  const bool told =
      std::any_of(content.begin(), content.begin() + 16, [](uint8_t b) { return b != 0; });
  if (told) {
    const int y = field(0), m = field(1), d = field(3), h = field(4), mi = field(5), s = field(6),
              ms = field(7);
    if (!ValidDate(y, m, d) || !ValidTime(h, mi, s, ms)) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "auxi chunk start time %04d-%02d-%02d %02d:%02d:%02d.%03d is not a time", y, m,
                    d, h, mi, s, ms);
      SetError(error, text);
      return std::nullopt;
    }
    SetStart(meta, y, m, d, h, mi, s, ms);
    meta.time_is_local = true;
  }
  meta.frequency_hz = static_cast<int64_t>(LittleEndian(content, 32, 4));
  return meta;
}

}  // namespace vantrel
