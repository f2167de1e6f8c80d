#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

class InputFile;

// How a baseband recording stores its I/Q samples. kWav: a RIFF/WAVE or RF64 file whose header
// names one of the others and the sample rate. The raw kinds are interleaved I then Q, little
// endian, no header:
//   kCs16: signed 16 bit, kCs8: signed 8 bit, kCu8: unsigned 8 bit centred on 127.5,
//   kCf32: IEEE 754 single precision, kCs32: signed 32 bit.
enum class BasebandFormat { kUnknown, kWav, kCs16, kCs8, kCu8, kCf32, kCs32 };

// The format a file name's extension stands for (".wav", ".cs16", ".cs8", ".cu8", ".cf32", any
// letter case); kUnknown for anything else, ".raw" included: a raw file says nothing of its
// samples, the operator has to.
BasebandFormat BasebandFormatFromExtension(const std::string& path);
// The format an operator names ("wav", "cs16", "cs8", "cu8", "cf32", "cs32"), kUnknown otherwise.
BasebandFormat ParseBasebandFormat(const std::string& name);
// "wav", "cs16", "cs8", "cu8", "cf32", "cs32" or "unknown", as an operator writes them.
const char* BasebandFormatName(BasebandFormat format);
// Bytes one complex sample takes; 0 for kUnknown and kWav.
int BasebandSampleBytes(BasebandFormat format);

// Reads a baseband recording as complex samples scaled to about +-1 (a full-scale integer
// sample gives magnitude 1 per component; float samples pass unchanged). Streaming: the reader
// holds one block of bytes whatever the file's size. It reads through an InputFile the caller
// opened and keeps open for the reader's lifetime; it never seeks, so a pipe-like read order
// is all it needs.
//
// A WAV file's chunks are walked: `fmt ` and `data` are found wherever they are (LIST and any
// other chunk is skipped, with the pad byte of an odd-sized chunk); `fmt ` must come before
// `data`. Accepted: PCM 16 bit (cs16), PCM 32 bit (cs32), PCM 8 bit unsigned (cu8), IEEE float 32
// (cf32), also as WAVE_FORMAT_EXTENSIBLE with the matching subformat GUID, 2 channels (I and Q).
// RF64 (and BW64) files take the 64-bit data size from their ds64 chunk.
//
// A WAV file's data size is not trusted to be the end of the samples. Recorders write it as 0 at
// the start and patch it at the close, so a recorder that was killed leaves 0 or an old size; a
// RIFF file above 4 GiB has its 32-bit size wrapped; writers that stream to a pipe leave
// 0xFFFFFFFF. So when the declared data are read and bytes follow that are not a chunk (four
// characters and a size that fits the file), they are samples too and are read to the end of the
// file, and Warning() names both sizes. A chunk at the end of a file read that way (LIST, auxi,
// ... after a streamed data chunk) is recognised from the chunks that lead exactly to the end of
// the file and ends the samples.
//
// Not thread-safe; one reader per file.
class BasebandReader {
 public:
  enum class Status {
    kOk,             // ready; samples may follow
    kEnd,            // every sample of the recording was delivered
    kNotOpen,        // neither Open call succeeded yet
    kBadHeader,      // not a WAV file, or its chunks are broken or incomplete
    kBadFormat,      // a WAV sample format this reader does not take (mono, bit depth, codec)
    kZeroRate,       // the sample rate is zero
    kPartialSample,  // the data size is not a whole number of samples (whole ones delivered)
    kTruncated,      // the file ended inside the data chunk (what was there was delivered)
    kReadError,      // reading the file failed
  };

  // Samples decoded per block internally; a Read asks the file for at most this many at once.
  static constexpr size_t kBlockSamples = 16384;

  BasebandReader() = default;
  BasebandReader(const BasebandReader&) = delete;
  BasebandReader& operator=(const BasebandReader&) = delete;

  // Reads the WAV/RF64 header of `file` up to the start of the samples. True when the samples
  // can be read; otherwise Status() and Error() say why and Read delivers nothing.
  // `file_size` is the file's size in bytes when known (-1: a pipe), to tell whether bytes after
  // the declared data can be a chunk.
  bool OpenWav(InputFile& file, int64_t file_size = -1);
  // A raw recording of `format` (not kWav or kUnknown) at `sample_rate` samples per second,
  // `size` bytes long (-1 when unknown: read to the end of the file). False for a zero rate or
  // a format that is not a raw one.
  bool OpenRaw(InputFile& file, BasebandFormat format, uint32_t sample_rate, int64_t size);

  // Appends up to `max_samples` samples to `out` and returns how many. 0 means the recording
  // is over or unreadable: Status() then says which (kEnd for a complete one). A trailing
  // partial sample is dropped and reported as kPartialSample, a short data chunk as kTruncated;
  // the samples before were delivered either way.
  size_t Read(std::vector<std::complex<float>>& out, size_t max_samples);

  Status GetStatus() const { return status_; }
  // One line for the log, naming what was wrong; empty while the status is kOk or kEnd.
  const std::string& Error() const { return error_; }
  // Once the recording is over: a line for the log when the samples read differ from what the
  // header declared (read past a wrong data size); empty otherwise.
  std::string Warning() const;

  // The recording's sample format (a raw kind, never kWav) and rate, known once opened.
  BasebandFormat SampleFormat() const { return format_; }
  uint32_t SampleRate() const { return sample_rate_; }
  // Takes `rate` for the samples instead of the header's (a header that is known to be wrong).
  void OverrideSampleRate(uint32_t rate) { sample_rate_ = rate; }
  // The samples the header or the size promises; -1 when unknown.
  int64_t DeclaredSamples() const;
  // Samples delivered so far.
  int64_t SamplesRead() const { return samples_read_; }
  // The content of the WAV file's "auxi" chunk before its data (SDR#, HDSDR, SDR Console: start
  // and stop time, centre frequency); empty when it has none.
  const std::vector<uint8_t>& AuxiChunk() const { return auxi_; }
  // Float sample values that were NaN or infinite, read as 0 (a NaN would poison every filter).
  int64_t NonFiniteValues() const { return non_finite_; }
  // Bytes of the file taken so far: the header and the samples (a trailing chunk found at the end
  // is counted too, as read and understood).
  int64_t BytesRead() const { return header_bytes_ + bytes_read_ + trailer_bytes_; }

 private:
  // Forgets any earlier recording; reads from `file` from now on.
  void Restart(InputFile& file);
  bool Fail(Status status, std::string error);
  // Reads exactly `size` bytes of the header; false (kBadHeader or kReadError) when short.
  bool ReadHeader(void* buffer, size_t size, const char* what);
  // Reads and drops `size` bytes.
  bool Skip(uint64_t size, const char* what);
  // Checks the `fmt ` chunk's content and takes its format and rate.
  bool TakeFmt(const std::vector<uint8_t>& fmt);
  // Decodes the `count` whole samples at `bytes` into out.
  void Decode(const uint8_t* bytes, size_t count, std::vector<std::complex<float>>& out);
  // The file ended where the samples may: kEnd, or kPartialSample for `left_over` bytes of a
  // sample that did not come whole.
  void EndAtFileEnd(size_t left_over);
  // At the end of the declared data: true when samples follow that the header did not count
  // (Read then goes on to the end of the file), false when the file ends there or a chunk follows.
  bool SamplesFollowDeclaredData();
  // Makes up to `want` bytes of samples ready at the front of held_ for a WAV file read to its end,
  // keeping back enough bytes to recognise chunks that end the file. Returns how many.
  size_t ReadToEnd(size_t want);
  // The offset in held_ where chunks begin that lead exactly to the end of the file, or
  // held_.size() when the held bytes end with samples.
  size_t TrailingChunks() const;

  InputFile* file_ = nullptr;
  Status status_ = Status::kNotOpen;
  std::string error_;
  BasebandFormat format_ = BasebandFormat::kUnknown;
  uint32_t sample_rate_ = 0;
  int64_t data_bytes_ = -1;  // bytes of samples the file should hold; -1: to the end
  int64_t bytes_read_ = 0;   // bytes of samples taken from the file so far
  int64_t samples_read_ = 0;
  int64_t non_finite_ = 0;
  std::vector<uint8_t> bytes_;  // one block of raw samples
  // A WAV file's own sizes and what the reader made of them.
  bool wav_ = false;
  int64_t file_size_ = -1;       // the whole file's size; -1: not known
  int64_t header_bytes_ = 0;     // bytes before the first sample
  int64_t declared_bytes_ = -1;  // the header's data size; -1: streamed, no size
  bool past_declared_ = false;   // samples were found after the declared data
  int64_t trailer_bytes_ = 0;    // bytes of chunks found after samples read to the end
  // Read to the end: bytes read from the file but not yet handed out (the tail that may turn out
  // to be chunks), and whether the file has ended.
  std::vector<uint8_t> held_;
  bool file_ended_ = false;
  std::vector<uint8_t> auxi_;
};

}  // namespace vantrel
