#include "maillib/QuotedPrintable.h"

#include <gtest/gtest.h>

#include <random>

#include "rtl/Exception.h"

namespace {

std::vector<std::string> Encode(const std::string& bytes) {
  rtl::TMemoryStream stream;
  stream.WriteString(bytes);
  rtl::TStringList lines;
  maillib::TQuotedPrintable(&stream, &lines).Encode();
  return {lines.begin(), lines.end()};
}

std::string Decode(const std::vector<std::string>& lines) {
  rtl::TStringList list;
  for (const auto& line : lines) list.Add(line);
  rtl::TMemoryStream stream;
  maillib::TQuotedPrintable(&stream, &list).Decode();
  return stream.Data();
}

using Lines = std::vector<std::string>;

TEST(QuotedPrintableTest, EncodesLinesAsTheComposerNeedsThem) {
  EXPECT_EQ(Encode("a=b\r\n"), Lines{"a=3Db"});
  EXPECT_EQ(Encode(""), Lines{""});
  EXPECT_EQ(Encode("caf\xE9\r\n"), Lines{"caf=E9"});
  EXPECT_EQ(Encode(std::string("nul\0tab\t", 8) + "\r\n"), Lines{"nul=00tab=09"});
  EXPECT_EQ(Encode("a\r\n\r\nb\r\n"), (Lines{"a", "", "b"}));
  EXPECT_EQ(Encode("del\x7F~\r\n"), Lines{"del=7F~"});  // DEL is no printable character
}

TEST(QuotedPrintableTest, EveryLineBreakIsOneAndTheLastEndsTheText) {
  // CR LF, a lone LF and a lone CR are each one break, so blank lines of LF text stay.
  EXPECT_EQ(Encode("a\r\nb\n\rc\r\rd\n\ne"), (Lines{"a", "b", "", "c", "", "d", "", "e"}));
  EXPECT_EQ(Encode("one\n\nthree\n\n\nsix\n"), (Lines{"one", "", "three", "", "", "six"}));
  EXPECT_EQ(Encode("ends with LF\n"), Lines{"ends with LF"});
  EXPECT_EQ(Encode("ends with CR\r"), Lines{"ends with CR"});
  EXPECT_EQ(Encode("\n"), Lines{""});
  EXPECT_EQ(Encode("no break"), Lines{"no break"});
}

TEST(QuotedPrintableTest, BlanksBeforeALineBreakSurviveTransport) {
  EXPECT_EQ(Encode("trailing blanks  \r\nnext\n"), (Lines{"trailing blanks =20", "next"}));
  EXPECT_EQ(Encode("tab\t\n \n"), (Lines{"tab=09", "=20"}));
  EXPECT_EQ(Encode("at the end "), Lines{"at the end=20"});
  // Before a soft break a blank is no line end: the "=" follows it.
  std::string line = std::string(60, 'a') + "  " + std::string(9, 'b');
  EXPECT_EQ(Encode(line + "\r\n"), (Lines{std::string(60, 'a') + " =", " " + std::string(9, 'b')}));
}

TEST(QuotedPrintableTest, BreaksLongLinesBeforeABlank) {
  std::string line = std::string(60, 'a') + " " + std::string(9, 'b');
  Lines lines = Encode(line + "\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(60, 'a') + "=");
  EXPECT_EQ(lines[1], " " + std::string(9, 'b'));
  EXPECT_EQ(Encode(std::string(65, 'x') + "\r\n"), (Lines{std::string(65, 'x') + "=", ""}));
  EXPECT_EQ(Encode(std::string(64, 'x') + "\r\n"), Lines{std::string(64, 'x')});
}

// RFC 2045: no encoded line is longer than 76 characters, escapes counted, however the text
// mixes escaped bytes, blanks and plain characters.
TEST(QuotedPrintableTest, EncodedLinesStayWithin76Characters) {
  EXPECT_EQ(Encode(std::string(70, '\xFF') + "\r\n"),
            (Lines{Encode(std::string(25, '\xFF'))[0] + "=",
                   Encode(std::string(25, '\xFF'))[0] + "=", Encode(std::string(20, '\xFF'))[0]}));
  // Short enough in characters, too long once escaped; the blank at its end still escaped.
  Lines ended = Encode(std::string(24, '\xE9') + " \r\n");
  for (const auto& line : ended) EXPECT_LE(line.size(), 76u) << line;
  EXPECT_EQ(Decode(ended), std::string(24, '\xE9') + " \r\n");
  EXPECT_TRUE(ended.back().ends_with("=20")) << ended.back();
}

TEST(QuotedPrintableTest, DecodesSoftBreaksAndEscapes) {
  EXPECT_EQ(Decode({"abc=", "def"}), "abcdef\r\n");
  EXPECT_EQ(Decode({"x=3D"}), "x=\r\n");
  EXPECT_EQ(Decode({"=e9=E9=4"}), "\xE9\xE9\x04\r\n");
  EXPECT_EQ(Decode({"=zz =4x"}), "=zz =4x\r\n");
  EXPECT_EQ(Decode({""}), "\r\n");
  EXPECT_EQ(Decode({"end\x1A"}), "end\x1A");
  EXPECT_EQ(Decode({"open="}), "open");
}

// A line longer than the paragraph buffer (minified HTML, a long CSV row) is encoded all the
// same, in the same pieces as a shorter line would be.
TEST(QuotedPrintableTest, LinesOfAnyLengthAreEncoded) {
  std::string line;
  for (size_t i = 0; line.size() < 3 * maillib::TQuotedPrintable::kParagraphSize; ++i) {
    line += i % 7 == 0 ? " " : i % 5 == 0 ? "\xC3\xA9" : "word";
  }
  Lines encoded = Encode(line + "\r\nnext\r\n");
  for (const auto& piece : encoded) ASSERT_LE(piece.size(), 76u);
  EXPECT_EQ(Decode(encoded), line + "\r\nnext\r\n");
  Lines plain = Encode(std::string(maillib::TQuotedPrintable::kParagraphSize, 'a') + "\r\n");
  EXPECT_EQ(plain.size(), maillib::TQuotedPrintable::kParagraphSize / 65 + 1);
  EXPECT_EQ(plain[0], std::string(65, 'a') + "=");
}

// Received paragraphs of any length decode whole.
TEST(QuotedPrintableTest, LongReceivedParagraphsDecodeWhole) {
  Lines soft(400, std::string(64, 'a') + "=");
  soft.push_back("=41");
  EXPECT_EQ(Decode(soft), std::string(400 * 64, 'a') + "A\r\n");
  EXPECT_EQ(Decode({std::string(30000, 'b')}), std::string(30000, 'b') + "\r\n");
}

// LF text, blank and blank-ended lines included, decodes to the same lines.
TEST(QuotedPrintableTest, LfTextKeepsItsLines) {
  std::string text = "first\n\n  indented\ntrailing  \n\t\n\nlast\n";
  std::string expected = "first\r\n\r\n  indented\r\ntrailing  \r\n\t\r\n\r\nlast\r\n";
  EXPECT_EQ(Decode(Encode(text)), expected);
}

// Text made of lines that end in CR LF comes back byte for byte, whatever bytes the lines hold
// (NUL and bytes of 128 and more too). Bare CR and LF cannot: they are line breaks to the
// encoder, and decoding writes every break as CR LF, as the rule tested above says.
TEST(QuotedPrintableTest, TextLinesRoundTrip) {
  std::mt19937 random(1);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    int lines = static_cast<int>(random() % 6);
    for (int l = 0; l < lines; ++l) {
      size_t length = random() % 200;
      for (size_t i = 0; i < length; ++i) {
        char c = static_cast<char>(random() & 0xFF);
        if (c == '\r' || c == '\n') c = ' ';
        text += c;
      }
      text += "\r\n";
    }
    Lines encoded = Encode(text);
    for (const auto& line : encoded) ASSERT_LE(line.size(), 76u);
    ASSERT_EQ(Decode(encoded), text.empty() ? "\r\n" : text);
  }
}

// A file that must arrive as it is comes back byte for byte, also where a CR, an LF or a CR LF
// falls across the reader's blocks or the paragraph's end.
TEST(QuotedPrintableTest, ExactFilesRoundTripWhereverTheirBreaksFall) {
  for (size_t at : {16382u, 16383u, 16384u, 24574u, 24575u, 24576u, 32767u}) {
    for (const char* tail : {"\r\n", "\r", "\n", "\r\r\n", " \r\nz", "=\n\r "}) {
      const std::string file = std::string(at, 'a') + tail + std::string(at % 7, 'b');
      rtl::TMemoryStream stream;
      stream.WriteString(file);
      rtl::TStringList lines;
      maillib::TQuotedPrintable codec(&stream, &lines);
      codec.Exact = true;
      codec.Encode();
      ASSERT_EQ(Decode({lines.begin(), lines.end()}), file) << at << " " << tail;
    }
  }
}

}  // namespace
