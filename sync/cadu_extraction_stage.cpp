#include "sync/cadu_extraction_stage.h"

#include <bit>
#include <bitset>
#include <string>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "rs/reed_solomon_codec.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_decoder.h"
#include "sync/window_search.h"

namespace vantrel {
namespace {

// The CCSDS code: RS(255,223) over GF(2^8) with x^8 + x^7 + x^2 + x + 1 (0x187), roots
// alpha^(11 * (112 + i)), interleaving depth 4.
constexpr int32_t kSymbolBits = 8;
constexpr int32_t kFieldPolynomial = 0x187;
constexpr int32_t kFirstRoot = 112;
constexpr int32_t kPrimitiveElement = 11;
constexpr int32_t kRootCount = 32;
constexpr int32_t kPad = 0;
constexpr int32_t kInterleaveDepth = 4;

// The progress bar counts KiB.
constexpr int kKiBShift = 10;

// The virtual channel: the low six bits of VCDU byte 1.
constexpr size_t kVcidByte = 1;
constexpr uint8_t kVcidMask = 0x3F;

// Bit errors of the sync marker at the head of a cut frame (in the polarity in force).
uint32_t MarkerBitErrors(std::span<const uint8_t, kCaduBytes> cadu) {
  const uint32_t marker =
      (uint32_t{cadu[0]} << 24) | (uint32_t{cadu[1]} << 16) | (uint32_t{cadu[2]} << 8) | cadu[3];
  return static_cast<uint32_t>(std::popcount(marker ^ kAttachedSyncMarker));
}

// What the stage makes of the search's reports: each frame decoded as the settings of the stage's
// start say and written, the lamp, the tags.
class ExtractionListener final : public AsmSearchListener {
 public:
  ExtractionListener(StageHost& host, const CaduDecoding& decoding, ReedSolomonCodec& codec,
                     OutputFile& output)
      : decoding_(decoding), decoder_(codec), lamp_(host), output_(output) {}

  // A frame before the first one found is taken only when Reed-Solomon vouches for it: its marker
  // alone, damaged, could be noise.
  bool TakeEarlierFrame(std::span<const uint8_t, kCaduBytes> cadu) override {
    return decoder_.Correctable(cadu, decoding_);
  }

  FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) override {
    const CaduDecoder::Result result = decoder_.Decode(cadu, decoding_);
    const std::span<const uint8_t> record = result.record;
    // A record whose frame held a codeword Reed-Solomon could not correct is marked, for the
    // steps that follow.
    const auto size = static_cast<int64_t>(record.size());
    if (result.uncorrectable) output_.Mark({output_.Written(), size, FrameMark::kUncorrectable});
    // A frame nothing checks carries its marker's bit errors instead: the steps after it tell
    // from them how noisy the data is (the search took the marker with up to kLockedTolerance
    // errors while locked, so they follow the channel's bit error rate).
    if (!decoding_.correct)
      output_.Mark({output_.Written(), size, MarkerErrors{1, MarkerBitErrors(cadu)}.ToMark()});
    written_ = output_.Write(record.data(), record.size()) && written_;
    if (written_) {
      if (!result.uncorrectable) {
        // The channels of the frames that came through whole, for the pass report.
        const size_t header = record.size() == static_cast<size_t>(kCaduBytes) ? kMarkerBytes : 0;
        channels_.set(record[header + kVcidByte] & kVcidMask);
      }
      ++records_;
    }
    return result.uncorrectable ? FrameVerdict::kUncorrectable : FrameVerdict::kAccepted;
  }
  void FramingChanged(bool finding_frames) override { lamp_.Show(finding_frames); }

  const CaduDecoder& decoder() const { return decoder_; }
  bool written() const { return written_; }
  int32_t records() const { return records_; }
  const std::bitset<64>& channels() const { return channels_; }

 private:
  CaduDecoding decoding_;
  CaduDecoder decoder_;
  SyncLamp lamp_;
  OutputFile& output_;
  bool written_ = true;
  int32_t records_ = 0;
  std::bitset<64> channels_;
};

}  // namespace

SyncLamp::SyncLamp(StageHost& host)
    : host_(host), active_(host.LampActive()), colour_(host.GetLampColour()) {}

void SyncLamp::Show(bool finding_frames) {
  const LampColour colour = finding_frames ? LampColour::Green : LampColour::Red;
  if (!active_) {
    active_ = true;
    host_.SetLampActive(true);
  }
  if (colour_ != colour) {
    colour_ = colour;
    host_.SetLampColour(colour);
    host_.ProcessEvents();
  }
}

void ConfigureCcsdsCodec(ReedSolomonCodec& codec) {
  codec.Configure(kSymbolBits, kFieldPolynomial, kFirstRoot, kPrimitiveElement, kRootCount, kPad,
                  kInterleaveDepth);
}

void CaduExtractionStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  ChainState& chain = host.Chain();
  // The options of the stage's start hold for all its frames and its summary.
  const Settings& options = host.RunSettings();
  const bool full_cadu = options.Full_CADU;
  const bool derandomise = options.PNdecoding;
  const bool correct = options.RSolomon;
  host.SetProgressPosition(0);

  const std::string& input_path = io.input_path;
  const std::string& output_path = io.output_path;
  const int64_t size = io.input_size;

  host.AppendLog("Starting ASM detection...");
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size >> kKiBShift);
  host.ProcessEvents();

  // The run's codec.
  ReedSolomonCodec& codec = host.Session().codec;
  ConfigureCcsdsCodec(codec);

  SyncWindow window;
  CaduDecoding decoding;
  decoding.derandomise = derandomise;
  decoding.correct = correct;
  decoding.full_cadu = !correct && full_cadu;  // correction wins
  ExtractionListener listener(host, decoding, codec, output);
  AsmSearchEngine engine(window, listener);

  WindowSearchHooks hooks;
  hooks.short_read = [&](int32_t bytes) {
    LogLine(host, "File line %d short %d", engine.fields().FramesFound, bytes);
    host.AppendLog("");
  };
  int64_t bytes_read = 0;
  hooks.before_steps = [&] {
    // Where the search is in the recording: the bytes it advanced over also count the positions
    // it searched again after a return to its mark, so over long noise they pass the size.
    const int64_t position = bytes_read - window.valid + engine.read_index();
    host.SetProgressPosition(position >> kKiBShift);
    host.ProcessEvents();
    return listener.written();  // a failed write ends the search: nothing more could be kept
  };
  const ByteSource source = [&](uint8_t* buffer, size_t count) {
    const size_t got = input.Read(buffer, count);
    bytes_read += static_cast<int64_t>(got);
    return got;
  };
  SearchThroughWindow(engine, window, source, Stepping::kBatched, hooks);

  const bool read_failed = input.Failed();
  input.Close();
  const bool written = output.Close() && listener.written();
  const int32_t records = listener.records();
  host.SetLampActive(false);

  const AsmSearchFields& results = engine.fields();
  const CaduDecoder& decoder = listener.decoder();
  PassCounts& counts = chain.Counts;
  // The pass's input is the recording, which the driver measured for the run; a stage run on its
  // own knows it only when it read the recording itself.
  const bool read_the_recording = input_path == host.InputPath();
  counts.input_bytes = chain.RecordingBytes.value_or(read_the_recording ? size : 0);
  if (counts.input_bytes < 0) counts.input_bytes = 0;
  counts.cadus = records;
  counts.sync_losses = results.SyncLosses;
  counts.rs_corrected_symbols = decoder.CorrectedSymbols();
  counts.rs_corrected_frames = decoder.CorrectedFrames();
  counts.rs_uncorrectable_frames = decoder.UncorrectableFrames();
  counts.vcids_seen = listener.channels();

  if (read_failed) host.AppendLog("Read input file failed!");
  if (!written) host.AppendLog("Write output file failed!");
  // Frames lost to a failed read or write, or to an input cut short while it was read, would
  // leave a partial product that looks finished: the run ends here instead.
  if (read_failed || !written) {
    throw StageError(RunEndsHere(
        Format("'%s' was not processed whole", (read_failed ? input_path : output_path).c_str())));
  }
  if (size >= 0 && bytes_read < size) {
    throw StageError(RunEndsHere(Format(
        "'%s' ended after %lld of its %lld bytes: it was cut while it was read", input_path.c_str(),
        static_cast<long long>(bytes_read), static_cast<long long>(size))));
  }
  LogLine(host, "ASM detection done!  %d lines found.", records);
  host.AppendLog("");
  if (results.PhaseFlips > 0) {
    LogLine(host, "Phase flips followed: %d", results.PhaseFlips);
    host.AppendLog("");
  }
  if (full_cadu) {
    LogLine(host, "Debug full CADU output '%s' file\n", output_path.c_str());
    return;
  }
  if (derandomise) {
    LogLine(host, "File '%s' De-Randomization successfully.", output_path.c_str());
    host.AppendLog("");
  }
  if (correct) {
    LogLine(host, "Uncorrectable R-S errors %d ", decoder.UncorrectableFrames());
    host.AppendLog("");
  }
}

const StepSpec kCaduExtractionStep = {"CADU extraction", CaduExtractionStep, "bits",
                                      "CADUs (1020-byte code blocks)", WorkingFile::kCaduPds};

void CaduExtractionStage(StageHost& host) {
  RunStepAlone(host, kCaduExtractionStep);
}

}  // namespace vantrel
