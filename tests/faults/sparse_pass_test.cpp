// A 3 GiB recording (sparse: zeros but for one simulated pass beyond the first 2 GiB) through the
// driver and through vantrel-cli: the size is measured, shown and used for the progress bar in
// 64 bits, and the pass comes out whole.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "sim/simulator.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20240607;
constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kRecordingBytes = 3 * kGiB;
constexpr uint64_t kPassOffset = 5 * kGiB / 2 + 12345;  // past the int32 range, odd
constexpr int kPackets = 20;
constexpr size_t kHptRecord = 13864;
constexpr size_t kInstrumentInPacket = 82;
constexpr size_t kInstrumentInRecord = 937;
constexpr size_t kInstrumentBytes = 12800;

// Keeps every progress maximum and the largest position the stages set.
class ProgressHost : public testing::RecordingHost {
 public:
  std::vector<int64_t> maximums;
  int64_t largest_position = 0;
  void SetProgressMaximum(int64_t maximum) override {
    maximums.push_back(maximum);
    RecordingHost::SetProgressMaximum(maximum);
  }
  void SetProgressPosition(int64_t position) override {
    largest_position = std::max(largest_position, position);
    RecordingHost::SetProgressPosition(position);
  }
};

void ExpectPassInProduct(const std::string& product, const sim::MetopPass& pass) {
  const std::vector<uint8_t> hpt = testing::ReadFileBytes(product);
  ASSERT_EQ(hpt.size(), pass.packets.size() * kHptRecord);
  for (size_t k = 0; k < pass.packets.size(); ++k) {
    const auto& packet = pass.packets[k];
    EXPECT_TRUE(std::equal(packet.begin() + kInstrumentInPacket,
                           packet.begin() + kInstrumentInPacket + kInstrumentBytes,
                           hpt.begin() + static_cast<long>(k * kHptRecord + kInstrumentInRecord)))
        << "record " << k;
  }
}

TEST(SparsePass, ThreeGibRecordingWithOnePass) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "3 GiB of search: checked in the optimised build";
#endif
  testing::TempFolder folder;
  sim::MetopOptions options;
  options.packets = kPackets;
  const sim::MetopPass pass = sim::MakeMetopPass(options, {true, true}, {}, kSeed);
  const std::string name = "MetopB_20181231_101530.bin";
  {
    std::ofstream file(folder.File(name), std::ios::binary);
    file.seekp(static_cast<std::streamoff>(kPassOffset));
    file.write(reinterpret_cast<const char*>(pass.recording.bytes.data()),
               static_cast<std::streamsize>(pass.recording.bytes.size()));
  }
  std::filesystem::resize_file(folder.File(name), kRecordingBytes);

  ProgressHost host;
  host.input_path = folder.File(name);
  host.settings.PNdecoding = true;
  host.chain.BatchMode = true;
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(outcome.close_program);
  EXPECT_EQ(host.size_caption, "File size 3221225472 bytes");
  EXPECT_EQ(host.chain.Counts.input_bytes, static_cast<int64_t>(kRecordingBytes));
  ASSERT_FALSE(host.maximums.empty());
  EXPECT_EQ(host.maximums.front(), static_cast<int64_t>(kRecordingBytes / 1024));
  // The bar runs to the end of the recording (its last steps stop short by under a frame).
  EXPECT_LE(host.largest_position, host.maximums.front());
  EXPECT_GE(host.largest_position, host.maximums.front() - 2);
  EXPECT_EQ(host.chain.LastLineCount, kPackets);
  const std::string product = folder.File("MetopB_20181231_1015_M03.hpt");
  ExpectPassInProduct(product, pass);

  // The same through the command line: a complete product and exit status 0.
  std::filesystem::remove(product);
  const int status = std::system((std::string(VANTREL_CLI) + " -q " + name + " DR_y").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ExpectPassInProduct(product, pass);
}

}  // namespace
}  // namespace vantrel
