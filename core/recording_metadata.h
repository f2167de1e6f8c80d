#pragma once

// What a recording says about itself: its file name, a SigMF metadata file, an SDRangel .sdriq
// header, a WAV "auxi" chunk, or, when nothing else tells, the statistics of its first bytes.
// Pure functions: the caller reads the bytes and decides what to believe; nothing here opens a
// file or throws on bad input (a malformed text or header is an error string, never a crash).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantrel {

// A value a recording's name or metadata gave, and where it came from (for the log:
// "the file name (SDR++ recorder)", "the SigMF metadata", "the .sdriq header", "the auxi chunk").
// Formats are spelled as the input kinds are ("cs16", "cs8", "cu8", "cf32", "cs32", "wav"), not as
// baseband/'s enum: core does not depend on baseband/.
struct RecordingMetadata {
  // "SDR++ baseband recorder", "GQRX", "SigMF", "SDRangel .sdriq", "SatDump recorder",
  // "SatDump soft symbols", "SDR# auxi chunk"; empty when the name follows no known convention
  // (an extension alone may still have told the kind and format).
  std::string convention;
  std::string kind;           // "baseband", "soft", "hard" or empty (not told)
  std::string sample_format;  // "cs16", "cs8", "cu8", "cf32", "cs32", "wav" or empty
  int64_t sample_rate = 0;    // samples per second; 0: not told
  int64_t frequency_hz = 0;   // centre frequency; 0: not told
  // The recording's start when told: days since 2000-01-01 and millisecond of the day, UTC unless
  // time_is_local says the source gave the local time (the caller converts).
  std::optional<int64_t> days_since_2000;
  int64_t ms_of_day = 0;
  bool time_is_local = false;
  std::string pipeline;  // soft symbols: "metop_ahrpt", "fengyun3_ab_ahrpt", "meteor_hrpt" ...
  std::string source;    // where the values came from, for the log
};

// What a file NAME says (the part after the last '/'; folders are ignored). One satellite marker
// of the program in front ("MetopB_", "FY3C_", "MN2_" ...) is skipped before the conventions are
// tried. Conventions, tried in this order:
//  - SDR++: baseband_<freq>Hz_<HH-MM-SS>_<DD-MM-YYYY>.wav, local time (time_is_local), wav.
//  - SatDump: YYYY-MM-DD_HH-MM-SS[-mmm]_<rate>SPS_<freq>Hz.<ext>, UTC; rate and frequency may be
//    fractional (rounded to the nearest integer); ext one of the raw extensions below or .wav.
//  - SatDump soft symbols: <pipeline>.soft, the pipeline a lower-case identifier with at least
//    one '_' ("metop_ahrpt"): kind soft, pipeline named.
//  - GQRX: gqrx_<yyyyMMdd>_<hhmmss>_<freq>_<rate>_fc.raw, cf32, UTC.
// A name that follows none of them still gives what its extension tells (any letter case):
// .cs16/.s16 cs16, .cs8/.s8 cs8, .cu8/.u8 cu8, .cf32/.f32 cf32, .cs32 cs32, .wav wav (all kind
// baseband); .soft/.s kind soft; .bin kind hard. A field not told stays empty or 0; a name that
// tells nothing gives an all-empty result (empty source). NAME.part, a recording still being
// written, is read as NAME (WithoutPartEnding).
RecordingMetadata MetadataFromName(std::string_view path);

// A SigMF metadata file's text (JSON): global core:datatype (cf32_le, ci16_le, ci8, cu8, ci32_le;
// big-endian and real types are refused with the reason), core:sample_rate, and captures[0]'s
// core:frequency and core:datetime (ISO 8601, "2026-12-09T10:15:30.123Z"; an offset such as
// "+02:00" is converted to UTC). The JSON is read strictly (RFC 8259; strings must be UTF-8) with
// bounds: at most kMaxSigmfMetaBytes of text and kMaxJsonDepth levels of nesting. Returns nullopt
// and sets *error (when error is not null) on any failure: the byte offset for a syntax error.
inline constexpr size_t kMaxSigmfMetaBytes = size_t{16} << 20;
inline constexpr int kMaxJsonDepth = 64;
std::optional<RecordingMetadata> ParseSigmfMeta(std::string_view json, std::string* error);

// The data file beside a metadata file, NAME.sigmf-meta -> NAME.sigmf-data, and back. Empty when
// the path does not end in the expected extension (spelled in lower case, as SigMF names it).
std::string SigmfDataPath(std::string_view meta_path);
std::string SigmfMetaPath(std::string_view data_path);

// An SDRangel .sdriq header: 32 bytes, little endian: u32 sample rate, u64 centre frequency in Hz,
// u64 start time (ms since the Unix epoch, UTC), u32 sample size in bits (16: cs16; 24: cs32, 24
// bits held in 32), u32 filler, u32 CRC-32 (IEEE, as zlib's crc32) of the first 28 bytes. A start
// time of 0 is "not told". nullopt + *error for a short header, a CRC mismatch (both values named),
// a sample size other than 16 or 24, a zero sample rate or a frequency past int64.
inline constexpr size_t kSdriqHeaderBytes = 32;
std::optional<RecordingMetadata> ParseSdriqHeader(std::span<const uint8_t> header,
                                                  std::string* error);

// The content of a WAV "auxi" chunk (SDR#, HDSDR, SDR Console): two SYSTEMTIMEs of 16 bytes (u16
// year, month, day of week, day, hour, minute, second, millisecond; start then stop), then u32
// centre frequency in Hz; later fields are ignored. The start is local time (time_is_local). An
// all-zero start is "not told"; an impossible date is an error, as is content under 36 bytes.
inline constexpr size_t kAuxiMinBytes = 36;
std::optional<RecordingMetadata> ParseAuxiChunk(std::span<const uint8_t> content,
                                                std::string* error);

// What the first bytes of a file look like, judged from their statistics alone (pass up to the
// first MiB; at least kMinGuessBytes are needed). Checked in this order, the first that fits wins:
//  - hard: CADU markers 0x1ACFFC1D (or inverted) three times or more at one spacing, at any bit
//    offset.
//  - cf32: 99% of 4-byte words finite floats of modest magnitude (zero, or 1e-20 to 1e6), at least
//    half of them non-zero; random, 8-bit or 16-bit data pass far less often (1 word in 3).
//  - cs16: the high bytes of 16-bit words at least one bit less varied (entropy) than the low
//    ones; or, for a loud signal, bytes uncorrelated but neighbouring 16-bit samples correlated.
//  - hard: bytes nearly uniform (entropy >= 7.9 bits) with neighbours uncorrelated.
//  - cs8 / cu8: the bytes read as complex samples, signed or offset by 127.5, have neighbouring
//    samples correlated (|r| >= 0.25, whatever the carrier offset): band-limited I/Q. The view
//    with the stronger correlation gives the format (it also wins for clipped samples).
//  - soft: neighbours uncorrelated and the signed bytes bimodal (kurtosis <= 1.6) without looking
//    like a cu8 noise floor (kurtosis >= 2.2 when offset by 127.5).
// What cannot be told apart gives an empty kind with the reason, never a guess: white-noise
// 8-bit I/Q against soft symbols at a low signal-to-noise ratio (both are uncorrelated bytes
// centred on 0 or 127.5), band-limited I/Q buried in noise (neighbour correlation under 0.25)
// against white noise, all-equal bytes, text, a RIFF/RF64 (WAV) header, and anything under
// kMinGuessBytes. Some things are guessed wrong by nature: uniform full-range 8-bit noise and
// compressed or encrypted data are called hard bits; soft symbols written as unsigned bytes are
// declined.
inline constexpr size_t kMinGuessBytes = 4096;
struct ContentGuess {
  std::string kind;           // "hard", "soft", "baseband" or empty
  std::string sample_format;  // for baseband: "cs8", "cu8", "cs16", "cf32"
  std::string reason;         // for the log: what was measured and what it means
};
ContentGuess GuessRecordingContent(std::span<const uint8_t> first_bytes);

}  // namespace vantrel
