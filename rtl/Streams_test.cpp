#include "rtl/Streams.h"

#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/StringList.h"
#include "testing/TempDir.h"

namespace {

TEST(StreamsTest, MemoryStreamReadsWritesAndSeeks) {
  rtl::TMemoryStream stream;
  stream.WriteString("hello world");
  EXPECT_EQ(stream.Size(), 11);
  stream.SetPosition(6);
  stream.WriteString("there!");
  EXPECT_EQ(stream.Data(), "hello there!");
  stream.Seek(-6, rtl::soEnd);
  char buffer[16] = {};
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 6u);
  EXPECT_STREQ(buffer, "there!");
  EXPECT_EQ(stream.Read(buffer, 1), 0u);
  rtl::TMemoryStream copy;
  stream.SetPosition(6);
  copy.CopyFrom(stream, 0);
  EXPECT_EQ(copy.Data(), "there!");
}

TEST(StreamsTest, FileStreamsReportTheRuntimeErrors) {
  testing_support::TempDir dir;
  {
    rtl::TFileStream out(dir / "f.bin", rtl::fmCreate);
    out.WriteString(std::string("a\0b", 3));
    EXPECT_EQ(out.Size(), 3);
  }
  rtl::TFileStream in(dir / "f.bin", rtl::fmOpenRead);
  rtl::TMemoryStream copy;
  copy.CopyFrom(in, 0);
  EXPECT_EQ(copy.Data(), std::string("a\0b", 3));
  try {
    rtl::TFileStream missing(dir / "none", rtl::fmOpenRead);
    FAIL();
  } catch (const rtl::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + (dir / "none"));
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
  }
  EXPECT_THROW(rtl::TFileStream(dir / "no/dir", rtl::fmCreate), rtl::EFCreateError);
}

TEST(StringListTest, SplitsAtEveryKindOfLineBreak) {
  rtl::TStringList list;
  list.SetText("a\r\nb\rc\nd\r\n\r\ne");
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
            (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list[0], rtl::EListError);
  list.Add("x");
  list.Insert(0, "w");
  EXPECT_EQ(list.IndexOf("x"), 1);
  list.Delete(0);
  EXPECT_EQ(list[0], "x");
}

}  // namespace
