#include "maillib/TempFileStream.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

class TempFileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::SetTempPath(dir_.Path().c_str()); }
  void TearDown() override { testing_support::SetTempPath(nullptr); }
  testing_support::TempDir dir_;
};

TEST_F(TempFileStreamTest, APrivateUniqueFileThatGoesWithTheStream) {
  std::string name;
  {
    maillib::TTempFileStream stream;
    name = stream.FileName();
    EXPECT_EQ(fs::path(name).parent_path(), fs::path(dir_.Path()));
    EXPECT_EQ(fs::path(name).filename().string().substr(0, 2), "ms");
    stream.WriteString("composed text");
    stream.SetPosition(0);
    char buffer[8] = {};
    EXPECT_EQ(stream.Read(buffer, 8), 8u);
    EXPECT_EQ(std::string(buffer, 8), "composed");
    maillib::TTempFileStream other;
    EXPECT_NE(other.FileName(), name);
  }
  EXPECT_FALSE(fs::exists(name));
  EXPECT_TRUE(fs::is_empty(dir_.Path()));
}

// Small writes are gathered into blocks, yet position, size and contents always account for
// every byte written, whatever the mix of write sizes.
TEST_F(TempFileStreamTest, GatheredWritesReadBackWhole) {
  maillib::TTempFileStream stream;
  std::string written;
  for (size_t piece : {3, 65535, 1, 65536, 150000, 7, 65530, 9}) {
    const std::string part(piece, static_cast<char>('a' + written.size() % 26));
    stream.Write(part.data(), part.size());
    written += part;
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(written.size())) << piece;
  }
  EXPECT_EQ(stream.Size(), static_cast<int64_t>(written.size()));
  std::string back(written.size() + 1, '\0');
  EXPECT_EQ(stream.Read(back.data(), back.size()), 0u);  // the position is at the end
  stream.SetPosition(0);
  back.resize(stream.Read(back.data(), back.size()));
  EXPECT_EQ(back, written);
}

TEST_F(TempFileStreamTest, IsRemovedWhenAnErrorUnwinds) {
  std::string name;
  try {
    maillib::TTempFileStream stream;
    name = stream.FileName();
    throw std::runtime_error("composing failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(name.empty());
  EXPECT_FALSE(fs::exists(name));
}

TEST_F(TempFileStreamTest, NoTemporaryDirectoryIsAFileCreationError) {
  testing_support::SetTempPath((dir_ / "missing").c_str());
  EXPECT_THROW(maillib::TTempFileStream(), rtl::EFCreateError);
}

}  // namespace
