#include "app/front_end_probe.h"

#include <algorithm>
#include <complex>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/satellite_scan.h"
#include "baseband/baseband_reader.h"
#include "baseband/demodulation_stage.h"
#include "baseband/demodulator.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "sync/soft_symbol_stage.h"

namespace vantrel {
namespace {

// The decoded bits are scanned whenever this many more have come, over the last kScanWindow
// bytes: a few hundred frames, enough for the spacecraft id of the ones Reed-Solomon corrects,
// while a long stretch of noise costs one scan per piece.
constexpr size_t kScanStep = size_t{256} << 10;
constexpr size_t kScanWindow = size_t{512} << 10;

// One downlink's front end as the probe runs it: its decoded bits so far and what they showed.
struct Candidate {
  const Downlink* downlink = nullptr;
  std::unique_ptr<Demodulator> demodulator;  // baseband only
  std::unique_ptr<SoftSymbolDecoder> decoder;
  std::vector<int8_t> soft;
  std::vector<uint8_t> bits;  // the last kScanWindow bytes at most
  size_t unscanned = 0;       // bytes of `bits` not scanned yet
  int frames = 0;             // frames the scans found
  SatelliteScan scan;         // the scan that named a satellite of this downlink
};

// Decodes the candidate's new soft values and scans its bits when enough have come; true once
// they named a satellite of the candidate's own downlink.
bool DecodeAndScan(Candidate& candidate, bool flush) {
  const size_t before = candidate.bits.size();
  // The decoder gets the blocks the soft-symbol stage hands it (whole bytes of signs, whole
  // puncturing periods), the last one short.
  constexpr size_t kBlock = MetopSoftDecoder::kBlockValues;
  size_t used = 0;
  while (candidate.soft.size() - used >= kBlock || (flush && used < candidate.soft.size())) {
    const size_t count = std::min(kBlock, candidate.soft.size() - used);
    candidate.decoder->Block(candidate.soft.data() + used, count, candidate.bits);
    used += count;
  }
  candidate.soft.erase(candidate.soft.begin(),
                       candidate.soft.begin() + static_cast<std::ptrdiff_t>(used));
  if (flush) candidate.decoder->Finish(candidate.bits);
  candidate.unscanned += candidate.bits.size() - before;
  if (candidate.unscanned < kScanStep && !(flush && candidate.unscanned > 0)) return false;
  candidate.unscanned = 0;
  if (candidate.bits.size() > kScanWindow)
    candidate.bits.erase(candidate.bits.begin(),
                         candidate.bits.end() - static_cast<std::ptrdiff_t>(kScanWindow));
  const SatelliteScan scan = ScanForSatellite(candidate.bits, false);
  candidate.frames = std::max(candidate.frames, scan.frames);
  // Frames of a downlink this front end does not fit would be a coincidence; FY-3C's frames through
  // the FY-3A/B symbol rate's demodulator are not: the satellite's own row gives the rate then.
  if (scan.satellite == nullptr) return false;
  const Downlink& found = *scan.satellite->downlink;
  if (found.modulation != candidate.downlink->modulation ||
      found.decoding != candidate.downlink->decoding)
    return false;
  candidate.scan = scan;
  return true;
}

// The downlinks that differ in what a front end does with them, in the satellite table's order:
// for baseband their modulation and symbol rate, for soft symbols their coding.
std::vector<const Downlink*> DistinctDownlinks(bool by_coding) {
  std::vector<const Downlink*> list;
  for (const Satellite& satellite : Satellites()) {
    const Downlink* d = satellite.downlink;
    const bool known = std::any_of(list.begin(), list.end(), [&](const Downlink* other) {
      return by_coding ? other->decoding == d->decoding
                       : other->modulation == d->modulation && other->symbol_rate == d->symbol_rate;
    });
    if (!known) list.push_back(d);
  }
  return list;
}

void Conclude(FrontEndProbe& probe, const Candidate& winner) {
  probe.satellite = winner.scan.satellite;
  probe.derandomised = winner.scan.derandomised;
  probe.found = winner.scan.found;
}

}  // namespace

FrontEndProbe ProbeBaseband(BasebandReader& reader, double carrier_range_hz, double max_seconds) {
  FrontEndProbe probe;
  const double rate = reader.SampleRate();
  std::vector<Candidate> candidates;
  for (const Downlink* downlink : DistinctDownlinks(false)) {
    const std::string name =
        Format("%s at %.4g Msymbols/s", downlink->signal, downlink->symbol_rate / 1e6);
    if (rate < downlink->symbol_rate * MinSamplesPerSymbol(downlink->modulation)) {
      probe.tried.push_back(name + ": the sample rate is too low for it");
      continue;
    }
    DemodulatorConfig config;
    config.sample_rate = rate;
    config.symbol_rate = downlink->symbol_rate;
    config.carrier_range_hz = carrier_range_hz;
    Candidate candidate;
    candidate.downlink = downlink;
    try {
      candidate.demodulator = MakeDemodulator(downlink->modulation, config);
    } catch (const std::invalid_argument& error) {
      probe.tried.push_back(name + ": " + error.what());
      continue;
    }
    candidate.decoder = MakeSoftSymbolDecoder(downlink->decoding);
    candidates.push_back(std::move(candidate));
  }
  const int64_t max_samples = static_cast<int64_t>(max_seconds * rate);
  std::vector<std::complex<float>> samples;
  const Candidate* winner = nullptr;
  bool ended = false;
  while (winner == nullptr && !candidates.empty()) {
    samples.clear();
    ended = reader.SamplesRead() >= max_samples ||
            reader.Read(samples, BasebandReader::kBlockSamples) == 0;
    for (Candidate& candidate : candidates) {
      if (ended) {
        candidate.demodulator->Finish(candidate.soft);
      } else {
        candidate.demodulator->Process(samples.data(), samples.size(), candidate.soft);
      }
      if (DecodeAndScan(candidate, ended)) {
        winner = &candidate;
        break;
      }
    }
    if (ended) break;
  }
  probe.seconds = static_cast<double>(reader.SamplesRead()) / rate;
  probe.bytes = reader.BytesRead();
  for (const Candidate& candidate : candidates) {
    const DemodulatorSummary& summary = candidate.demodulator->Summary();
    std::string line = Format("%s at %.4g Msymbols/s: ", candidate.downlink->signal,
                              candidate.downlink->symbol_rate / 1e6);
    if (summary.locks == 0) {
      line += "no lock";
    } else {
      line += Format("locked at %.1f s, %d frames", summary.first_lock_seconds, candidate.frames);
      if (&candidate == winner) line += ", " + candidate.scan.found;
    }
    probe.tried.push_back(line);
  }
  if (winner != nullptr) Conclude(probe, *winner);
  return probe;
}

FrontEndProbe ProbeSoftSymbols(InputFile& input, int64_t max_bytes) {
  FrontEndProbe probe;
  std::vector<Candidate> candidates;
  for (const Downlink* downlink : DistinctDownlinks(true)) {
    Candidate candidate;
    candidate.downlink = downlink;
    candidate.decoder = MakeSoftSymbolDecoder(downlink->decoding);
    candidates.push_back(std::move(candidate));
  }
  std::vector<int8_t> block(MetopSoftDecoder::kBlockValues);
  const Candidate* winner = nullptr;
  while (winner == nullptr) {
    const size_t got = probe.bytes < max_bytes ? input.Read(block.data(), block.size()) : 0;
    probe.bytes += static_cast<int64_t>(got);
    const bool ended = got < block.size();
    for (Candidate& candidate : candidates) {
      candidate.soft.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(got));
      if (DecodeAndScan(candidate, ended)) {
        winner = &candidate;
        break;
      }
    }
    if (ended) break;
  }
  for (const Candidate& candidate : candidates) {
    std::string line = Format("%s soft symbols: ", candidate.downlink->soft_symbols);
    const SoftDecodeSummary& summary = candidate.decoder->Summary();
    if (candidate.downlink->decoding != SoftDecoding::kSigns && summary.locks == 0) {
      line += "the code not found";
    } else {
      line += Format("%d frames", candidate.frames);
      if (&candidate == winner) line += ", " + candidate.scan.found;
    }
    probe.tried.push_back(line);
  }
  if (winner != nullptr) Conclude(probe, *winner);
  return probe;
}

}  // namespace vantrel
