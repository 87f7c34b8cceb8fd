// The temporary file's mode: only Linux gives a file mode bits.
#include <gtest/gtest.h>

#include <filesystem>

#include "maillib/TempFileStream.h"
#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

TEST(TempFileStreamTest, OnlyItsOwnerMayReadTheFile) {
  testing_support::TempDir dir;
  testing_support::SetTempPath(dir.Path().c_str());
  maillib::TTempFileStream stream;
  testing_support::SetTempPath(nullptr);
  EXPECT_EQ(fs::status(stream.FileName()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
