#include "sync/cadu_extraction_stage.h"

#include <bitset>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "rs/reed_solomon_codec.h"
#include "sync/asm_search_engine.h"
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

// Size of the raw recording when the stage reads a working file made from it instead.
int64_t RecordingSize(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<int64_t>(size);
}

}  // namespace

void ConfigureCcsdsCodec(ReedSolomonCodec& codec) {
  codec.Configure(kSymbolBits, kFieldPolynomial, kFirstRoot, kPrimitiveElement, kRootCount, kPad,
                  kInterleaveDepth);
}

void CaduExtractionStage(StageHost& host) {
  ChainState& chain = host.Chain();
  host.SetProgressPosition(0);

  const std::string input_path = StepInputPath(host);
  const std::string output_path = WorkingPath(WorkingFile::kCaduPds);

  InputFile input;
  const int64_t size = OpenMeasuredStageInput(host, input_path, input);
  OutputFile output;
  CreateStageOutput(host, output_path, output, input);

  host.AppendLog("Starting ASM detection...");
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size >> kKiBShift);
  host.ProcessEvents();

  // Configured at every run, so that RSolomon may be switched on while the run goes.
  ReedSolomonCodec& codec = TheCodec();
  ConfigureCcsdsCodec(codec);

  bool written = true;
  int32_t records = 0;
  // Which records hold a frame Reed-Solomon could not correct, for the stages that follow.
  FrameTags& tags = chain.Frames;
  tags.uncorrectable_cadus.clear();
  tags.cadu_records = -1;
  int32_t uncorrectable_seen = 0;
  SyncWindow window;
  std::bitset<64> channels;
  AsmSearchEngine engine(host, codec, window, [&](std::span<const uint8_t> record) {
    written = output.Write(record.data(), record.size()) && written;
    if (!written) return;
    // The engine counts an uncorrectable frame before it hands the frame over.
    const int32_t uncorrectable = engine.fields().UncorrectableFrames;
    if (uncorrectable != uncorrectable_seen) {
      uncorrectable_seen = uncorrectable;
      tags.uncorrectable_cadus.push_back(records);
    } else {
      // The channels of the frames that came through whole, for the pass report.
      const size_t header = record.size() == static_cast<size_t>(kCaduBytes) ? kMarkerBytes : 0;
      channels.set(record[header + kVcidByte] & kVcidMask);
    }
    ++records;
  });

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
    return written;  // a failed write ends the search: nothing more could be kept
  };
  const ByteSource source = [&](uint8_t* buffer, size_t count) {
    const size_t got = input.Read(buffer, count);
    bytes_read += static_cast<int64_t>(got);
    return got;
  };
  SearchThroughWindow(engine, window, source, Stepping::kBatched, hooks);

  const bool read_failed = input.Failed();
  input.Close();
  written = output.Close() && written;
  host.SetLampActive(false);

  const AsmSearchFields& results = engine.fields();
  PassCounts& counts = chain.Counts;
  counts.input_bytes = input_path == host.InputPath() ? size : RecordingSize(host.InputPath());
  counts.cadus = records;
  counts.sync_losses = results.SyncLosses;
  counts.rs_corrected_symbols = results.CorrectedSymbols;
  counts.rs_corrected_frames = results.CorrectedFrames;
  counts.rs_uncorrectable_frames = results.UncorrectableFrames;
  counts.vcids_seen = channels;

  if (read_failed) host.AppendLog("Read input file failed!");
  if (!written) host.AppendLog("Write output file failed!");
  // Frames lost to a failed read or write, or to an input cut short while it was read, would
  // leave a partial product that looks finished: the run ends here instead.
  if (read_failed || !written) {
    throw StageError(RunEndsHere(
        Format("'%s' was not processed whole", (read_failed ? input_path : output_path).c_str())));
  }
  if (bytes_read < size) {
    throw StageError(RunEndsHere(Format(
        "'%s' ended after %lld of its %lld bytes: it was cut while it was read", input_path.c_str(),
        static_cast<long long>(bytes_read), static_cast<long long>(size))));
  }
  tags.cadu_records = records;
  LogLine(host, "ASM detection done!  %d lines found.", records);
  host.AppendLog("");
  if (results.PhaseFlips > 0) {
    LogLine(host, "Phase flips followed: %d", results.PhaseFlips);
    host.AppendLog("");
  }
  if (host.Full_CADU()) {
    LogLine(host, "Debug full CADU output '%s' file\n", output_path.c_str());
    return;
  }
  if (host.PNdecoding()) {
    LogLine(host, "File '%s' De-Randomization successfully.", output_path.c_str());
    host.AppendLog("");
  }
  if (host.RSolomon()) {
    LogLine(host, "Uncorrectable R-S errors %d ", results.UncorrectableFrames);
    host.AppendLog("");
  }
}

}  // namespace vantrel
