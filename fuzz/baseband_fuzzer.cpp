// Baseband input on arbitrary bytes: the recording reader (a WAV/RF64 header walk, or raw samples
// of the format the first byte picks), then the demodulator of the downlink the first byte picks
// on what the reader delivered. Checked: a raw file gives one sample per whole sample's bytes; the
// demodulator counts every sample, writes whole QPSK symbols (I and Q), never -128 (values are
// clamped to +-127), and no more lock than there was recording.
#include <sys/mman.h>
#include <unistd.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "baseband/baseband_reader.h"
#include "baseband/demodulator.h"
#include "core/file_io.h"

namespace {

// Samples demodulated per input at most: enough for the carrier search's blocks.
constexpr size_t kMaxSamples = 1 << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const int fd = memfd_create("baseband", 0);
  if (fd < 0) return 0;
  size_t written = 0;
  while (written < size - 1) {
    const ssize_t n = ::write(fd, data + 1 + written, size - 1 - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  vantrel::InputFile file;
  if (file.Open(path)) {
    vantrel::BasebandReader reader;
    const vantrel::BasebandFormat raw[] = {
        vantrel::BasebandFormat::kCs16, vantrel::BasebandFormat::kCs8,
        vantrel::BasebandFormat::kCu8, vantrel::BasebandFormat::kCf32};
    const bool qpsk = (choice & 2) != 0;
    const bool opened = (choice & 1) != 0 ? reader.OpenWav(file)
                                          : reader.OpenRaw(file, raw[(choice >> 2) & 3],
                                                           qpsk ? 6000000 : 3000000, -1);
    std::vector<std::complex<float>> samples;
    while (opened && samples.size() < kMaxSamples &&
           reader.Read(samples, vantrel::BasebandReader::kBlockSamples) > 0) {
    }
    if (opened && (choice & 1) == 0 && samples.size() < kMaxSamples &&
        samples.size() !=
            (size - 1) / static_cast<size_t>(vantrel::BasebandSampleBytes(reader.SampleFormat())))
      std::abort();
    vantrel::DemodulatorConfig config;
    config.sample_rate = reader.SampleRate() > 0 ? reader.SampleRate() : 6000000;
    config.symbol_rate = qpsk ? 2333333.3 : 665400;
    config.carrier_range_hz = 1000.0 * (1 + (choice >> 4));
    std::unique_ptr<vantrel::Demodulator> demodulator;
    try {
      demodulator =
          qpsk ? vantrel::MakeQpskDemodulator(config) : vantrel::MakeMeteorDemodulator(config);
    } catch (const std::exception&) {
      // A rate the header gave that no demodulator takes: refused, as the stage reports it.
    }
    if (demodulator) {
      std::vector<int8_t> soft;
      std::vector<vantrel::SignalReport> reports;
      std::vector<std::complex<float>> points;
      demodulator->Process(samples.data(), samples.size(), soft);
      demodulator->Finish(soft);
      demodulator->TakeReports(reports);
      demodulator->RecentSymbols(points, 64);
      const vantrel::DemodulatorSummary& summary = demodulator->Summary();
      if (summary.samples != samples.size()) std::abort();
      if (qpsk && soft.size() % 2 != 0) std::abort();
      for (const int8_t value : soft)
        if (value == -128) std::abort();
      if (summary.locked_seconds > static_cast<double>(samples.size()) / config.sample_rate + 0.01)
        std::abort();
      if (points.size() > 64) std::abort();
    }
  }
  file.Close();
  ::close(fd);
  return 0;
}
