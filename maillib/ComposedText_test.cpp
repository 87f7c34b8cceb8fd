#include "maillib/ComposedText.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

// A text up to the limit makes no file; past it, one temporary file that goes with the stream.
// Either way it reads back whole, written in pieces that straddle the limit.
TEST(ComposedTextTest, SmallTextsStayInMemoryLargeOnesGoToATemporaryFile) {
  testing_support::TempDir dir;
  testing_support::SetTempPath(dir.Path().c_str());
  constexpr size_t kLimit = maillib::TComposedText::kKeptInMemory;
  for (const size_t size : {size_t{0}, size_t{100}, kLimit, kLimit + 1, 3 * kLimit + 7}) {
    SCOPED_TRACE(size);
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
    {
      maillib::TComposedText stream;
      for (size_t at = 0; at < size; at += 1000)
        stream.Write(text.data() + at, std::min<size_t>(1000, size - at));
      EXPECT_EQ(stream.InFile(), size > kLimit);
      EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
                size > kLimit ? 1 : 0);
      EXPECT_EQ(stream.Size(), static_cast<int64_t>(size));
      stream.SetPosition(0);
      std::string read(size + 1, '\0');
      read.resize(stream.Read(read.data(), read.size()));
      EXPECT_EQ(read, text);
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));
  }
  testing_support::SetTempPath(nullptr);
}

}  // namespace
