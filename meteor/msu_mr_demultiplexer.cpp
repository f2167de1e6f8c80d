#include "meteor/msu_mr_demultiplexer.h"

#include <array>
#include <cstring>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "meteor/stage_counts.h"

namespace vantrel {

static_assert(kMsuMrDataBytes == 948);

void DemultiplexMsuMrFrame(const uint8_t* frame, uint8_t* data) {
  // Every destination lies before its source, so slice by slice in ascending order is safe in
  // place (memmove for the overlap).
  size_t out = 0;
  for (size_t slice = 0; slice < kMsuMrSliceCount; ++slice) {
    const size_t begin = slice * kMsuMrSliceStride + kMsuMrSliceOverhead;
    const size_t end =
        slice + 1 < kMsuMrSliceCount ? (slice + 1) * kMsuMrSliceStride : kMsuMrFrameBytes;
    std::memmove(data + out, frame + begin, end - begin);
    out += end - begin;
  }
}

void MsuMrDemultiplexerStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const int64_t size = io.input_size;

  int64_t records = 0;
  host.AppendLog("Starting MSU-MR demultiplexing...");
  host.AppendLog("");
  // The progress scale: the whole frames of the input.
  host.SetProgressMaximum(size / static_cast<int64_t>(kMsuMrFrameBytes));
  host.ProcessEvents();

  std::array<uint8_t, kMsuMrFrameBytes> frame;
  constexpr auto kFrameBytes = static_cast<int64_t>(kMsuMrFrameBytes);
  constexpr auto kShareBytes = static_cast<int64_t>(kMsuMrDataBytes);
  while (input.ReadRecord(frame.data(), frame.size())) {
    // The frame's marker errors go on with its share of the stream, for the lines made of it.
    StreamMark mark;
    const int64_t offset = records * kFrameBytes;
    if (input.TakeMarkAt(offset, offset + kFrameBytes, &mark) && MarkerErrors::FromMark(mark.value))
      output.Mark({records * kShareBytes, kShareBytes, mark.value});
    DemultiplexMsuMrFrame(frame.data(), frame.data());
    if (!output.Write(frame.data(), kMsuMrDataBytes)) break;
    ++records;
    host.ProcessEvents();
  }
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  LogLine(host, "Demiltiplexing done!  %lld lines decoding.", static_cast<long long>(records));
  host.AppendLog("");
  host.AppendLog("");
  host.AppendLog(Asterisks(kMeteorSeparatorStars));
  host.AppendLog("");
  host.SetProgressMaximum(records);
  EndRunIfDataLost(closed, io.input_path, io.output_path);
}

const StepSpec kMsuMrDemultiplexerStep = {"MSU-MR demultiplexing",    MsuMrDemultiplexerStep,
                                          "CADUs (1020-byte frames)", "the MSU-MR byte stream",
                                          WorkingFile::kMsuMrDmx,     WorkingFile::kCaduPds};

void MsuMrDemultiplexer(StageHost& host) {
  RunStepAlone(host, kMsuMrDemultiplexerStep);
}

}  // namespace vantrel
