#include "cli/product_delivery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vantrel::cli {
namespace {

using testing::FileExists;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

std::vector<uint8_t> Bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

size_t EntryCount(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

// Both ways end the same: the product under its own name in the folder, whole, with the
// original's permission bits, the original gone, no temporary file left, an older one replaced.
TEST(ProductDelivery, RenameAndCopyLeaveTheSameResult) {
  TempFolder folder;
  const std::vector<uint8_t> product = Bytes(3 * 1024 * 1024 + 17);  // more than one buffer
  for (auto deliver : {&MoveProductInto, &CopyProductInto}) {
    std::filesystem::remove_all(folder.File("out"));
    std::filesystem::create_directory(folder.File("out"));
    WriteFileBytes(folder.File("out/P_M03.hpt"), {9, 9});
    WriteFileBytes(folder.File("P_M03.hpt"), product);
    ASSERT_EQ(chmod(folder.File("P_M03.hpt").c_str(), 0640), 0);

    const Delivery delivery = deliver(folder.File("P_M03.hpt"), folder.File("out"), "product");
    ASSERT_TRUE(delivery.ok) << delivery.error;
    EXPECT_EQ(delivery.path, folder.File("out/P_M03.hpt"));
    EXPECT_EQ(ReadFileBytes(delivery.path), product);
    EXPECT_FALSE(FileExists(folder.File("P_M03.hpt")));
    EXPECT_EQ(EntryCount(folder.File("out")), 1u);
    struct stat status {};
    ASSERT_EQ(stat(delivery.path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
  }
}

// The two file systems a machine usually has apart: /dev/shm and the temporary folder.
TEST(ProductDelivery, AcrossFileSystems) {
  TempFolder folder;
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  const std::string shm = "/dev/shm/vantrel-delivery-" + std::to_string(getpid());
  std::filesystem::create_directory(shm);
  const std::vector<uint8_t> product = Bytes(100000);
  WriteFileBytes(shm + "/FY3A_x.C10", product);
  const Delivery delivery = MoveProductInto(shm + "/FY3A_x.C10", folder.path());
  std::filesystem::remove_all(shm);
  ASSERT_TRUE(delivery.ok) << delivery.error;
  EXPECT_EQ(ReadFileBytes(folder.File("FY3A_x.C10")), product);
}

TEST(ProductDelivery, FailureKeepsTheProductAndSaysWhy) {
  TempFolder folder;
  WriteFileBytes(folder.File("P.dat"), {1, 2, 3});
  for (auto deliver : {&MoveProductInto, &CopyProductInto}) {
    const Delivery delivery = deliver(folder.File("P.dat"), folder.File("missing"), "product");
    EXPECT_FALSE(delivery.ok);
    EXPECT_NE(delivery.error.find(folder.File("missing")), std::string::npos) << delivery.error;
    EXPECT_EQ(ReadFileBytes(folder.File("P.dat")), (std::vector<uint8_t>{1, 2, 3}));
  }
  const Delivery missing = CopyProductInto(folder.File("none.dat"), folder.path());
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("cannot read the product"), std::string::npos) << missing.error;
}

}  // namespace
}  // namespace vantrel::cli
