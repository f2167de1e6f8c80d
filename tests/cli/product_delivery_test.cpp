#include "cli/product_delivery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/replacement_file.h"
#include "tests/support/temp_folder.h"

namespace vantrel::cli {
namespace {

using vantrel::ReplaceFileContents;
using vantrel::ReplacementFile;

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

// The same folder under another path: nothing is copied or removed, the product stays whole and
// its own path is returned, by either way.
TEST(ProductDelivery, TheSameFolderUnderAnotherPathMovesNothing) {
  TempFolder folder;
  std::filesystem::create_directory(folder.File("work"));
  std::filesystem::create_symlink("work", folder.File("link"));
  const std::vector<uint8_t> product = Bytes(50000);
  WriteFileBytes(folder.File("work/P_M03.hpt"), product);
  for (auto deliver : {&MoveProductInto, &CopyProductInto}) {
    for (const std::string& other :
         {folder.File("link"), folder.File("work/../work"), folder.File("./work/")}) {
      SCOPED_TRACE(other);
      EXPECT_TRUE(SameFolder(folder.File("work"), other));
      const Delivery delivery = deliver(folder.File("work/P_M03.hpt"), other, "product");
      ASSERT_TRUE(delivery.ok) << delivery.error;
      EXPECT_EQ(delivery.path, folder.File("work/P_M03.hpt"));
      EXPECT_EQ(ReadFileBytes(folder.File("work/P_M03.hpt")), product);
      EXPECT_EQ(EntryCount(folder.File("work")), 1u);
    }
  }
  EXPECT_FALSE(SameFolder(folder.File("work"), folder.path()));
  EXPECT_FALSE(SameFolder(folder.File("work"), folder.File("missing")));
}

// Names as long as the file system takes (255 bytes here) cross file systems: the temporary
// name does not grow with the product's.
TEST(ProductDelivery, TheLongestNamesCrossFileSystems) {
  TempFolder folder;
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  const std::string shm = "/dev/shm/vantrel-long-" + std::to_string(getpid());
  std::filesystem::create_directory(shm);
  for (size_t length : {248u, 252u, 255u}) {
    SCOPED_TRACE(length);
    const std::string name = "MetopB_" + std::string(length - 7 - 8, 'x') + "_M03.hpt";
    ASSERT_EQ(name.size(), length);
    WriteFileBytes(shm + "/" + name, Bytes(1000));
    const Delivery delivery = MoveProductInto(shm + "/" + name, folder.path());
    EXPECT_TRUE(delivery.ok) << delivery.error;
    EXPECT_EQ(ReadFileBytes(folder.File(name)), Bytes(1000));
    EXPECT_FALSE(FileExists(shm + "/" + name));
  }
  std::filesystem::remove_all(shm);
}

// The word of the messages names what failed to move.
TEST(ProductDelivery, MessagesNameTheFile) {
  TempFolder folder;
  WriteFileBytes(folder.File("P.png"), {1});
  const Delivery delivery = MoveProductInto(folder.File("P.png"), folder.File("none"), "quicklook");
  EXPECT_FALSE(delivery.ok);
  EXPECT_EQ(delivery.error.find("cannot move the quicklook to '" + folder.File("none/P.png") +
                                "': No such file or directory"),
            0u)
      << delivery.error;
}

// A file written whole or not at all: the old contents stay until the commit, a link at the
// name is replaced (its target untouched), and no temporary file is left either way.
TEST(ReplacementFile, ReplacesOnlyWhenWholeAndNeverThroughALink) {
  TempFolder folder;
  WriteFileBytes(folder.File("target"), {1, 2});
  std::filesystem::create_symlink("target", folder.File("r.json"));
  {
    ReplacementFile file(folder.File("r.json"));
    ASSERT_TRUE(file.Open());
    ASSERT_TRUE(file.Write("half"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder.File("r.json")));
  }  // dropped without a commit
  EXPECT_EQ(EntryCount(folder.path()), 2u);
  std::string error;
  ASSERT_TRUE(ReplaceFileContents(folder.File("r.json"), "whole\n", &error)) << error;
  EXPECT_FALSE(std::filesystem::is_symlink(folder.File("r.json")));
  EXPECT_EQ(ReadFileBytes(folder.File("r.json")),
            (std::vector<uint8_t>{'w', 'h', 'o', 'l', 'e', '\n'}));
  EXPECT_EQ(ReadFileBytes(folder.File("target")), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(EntryCount(folder.path()), 2u);
  EXPECT_FALSE(ReplaceFileContents(folder.File("none/r.json"), "x", &error));
  EXPECT_EQ(error, "No such file or directory");
}

}  // namespace
}  // namespace vantrel::cli
