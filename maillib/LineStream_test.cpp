#include "maillib/LineStream.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> ReadAll(maillib::TLineStream& stream) {
  std::vector<std::string> lines;
  for (std::string line; (line = stream.ReadLine()) != maillib::kEndOfData;) lines.push_back(line);
  EXPECT_TRUE(stream.EndReached());
  return lines;
}

TEST(LineStreamTest, AnEmptyStreamEndsAtOnce) {
  maillib::TLineStream stream;
  EXPECT_EQ(stream.ReadLine(), maillib::kEndOfData);
  EXPECT_EQ(maillib::kEndOfData, std::string(4, '\xFF'));
}

TEST(LineStreamTest, EveryLineEndingCountsOnceAndALastLineNeedsNone) {
  maillib::TLineStream stream;
  std::vector<std::string> written;
  size_t total = 0;
  for (int i = 0; total < 50000; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 97), 'x');
    written.push_back(line);
    const char* ending = i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r\n";
    stream.WriteString(line + ending);
    total += line.size() + 2;
  }
  stream.WriteString("last without break");
  written.push_back("last without break");
  stream.Reset();
  EXPECT_EQ(ReadAll(stream), written);
  stream.Reset();
  EXPECT_EQ(stream.ReadLine(), written[0]);
}

// A line of 16 KB and more is a line like any other: neither lost nor taken for the end.
TEST(LineStreamTest, LongLinesComeWholeAndTheEndIsReachedOnce) {
  maillib::TLineStream stream;
  const std::string longLine(70000, 'y');
  stream.WriteString("first\r\n" + longLine + "\r\r\n\n\rlast");
  stream.Reset();
  EXPECT_EQ(ReadAll(stream), (std::vector<std::string>{"first", longLine, "", "", "", "last"}));
  EXPECT_EQ(stream.ReadLine(), maillib::kEndOfData);
  EXPECT_TRUE(stream.EndReached());
}

}  // namespace
