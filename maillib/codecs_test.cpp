#include "maillib/codecs.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "maillib/TimeCounter.h"
#include "rtl/Exception.h"
#include "rtl/HiddenWindow.h"

namespace {

using maillib::Base64DecodeLine;
using maillib::Base64EncodeLine;
using maillib::UUDecodeLine;
using maillib::UUEncodeLine;

std::string RandomBytes(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST(Base64Test, MatchesTheRfc4648Vectors) {
  std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                   {"f", "Zg=="},
                                                   {"fo", "Zm8="},
                                                   {"foo", "Zm9v"},
                                                   {"foob", "Zm9vYg=="},
                                                   {"fooba", "Zm9vYmE="},
                                                   {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : vectors) {
    EXPECT_EQ(Base64EncodeLine(plain), encoded);
    EXPECT_EQ(Base64DecodeLine(encoded), plain);
  }
  EXPECT_EQ(Base64EncodeLine(std::string(57, 'x')).size(), 76u);
  EXPECT_EQ(Base64EncodeLine(std::string(57, 'x')).find('='), std::string::npos);
}

TEST(Base64Test, RejectsCharactersOutsideTheAlphabet) {
  for (const char* bad : {"Zm9v Yg==", "Zm9v\r\n", "Zm*v"}) {
    try {
      Base64DecodeLine(bad);
      ADD_FAILURE() << bad;
    } catch (const rtl::EInOutError& e) {
      EXPECT_EQ(e.Message(), "Invalid Character");
    }
  }
}

TEST(Base64Test, AShortLastGroupDecodesWhatItHolds) {
  EXPECT_EQ(Base64DecodeLine("Zm9vYg"), "foob");
  EXPECT_EQ(Base64DecodeLine("Zm9vYmE"), "fooba");
  EXPECT_EQ(Base64DecodeLine("Zm9vY"), "foo");  // a lone character carries no whole byte
  EXPECT_EQ(Base64DecodeLine("Zg="), "f");
}

TEST(Base64Test, RandomLinesRoundTrip) {
  std::mt19937 random(42);
  for (int i = 0; i < 5000; ++i) {
    std::string bytes = RandomBytes(random, random() % 58);
    ASSERT_EQ(Base64DecodeLine(Base64EncodeLine(bytes)), bytes);
  }
}

// Whole quanta take a shorter way than single characters: both must give the same bytes, with
// padding, line breaks and foreign characters anywhere, whatever room was made beforehand.
TEST(Base64Test, TheStreamDecoderDoesNotDependOnWherePiecesBreak) {
  std::mt19937 random(7);
  const std::string alphabet = std::string(maillib::kBase64Alphabet) + "==\r\n *";
  for (int i = 0; i < 500; ++i) {
    std::string text(random() % 200, 'A');
    for (char& c : text)
      c = random() % 8 != 0 ? alphabet[random() % 64] : alphabet[64 + random() % 6];
    maillib::TBase64Decoder whole, single, reserved;
    whole.Feed(text);
    for (char c : text) single.Feed(std::string_view(&c, 1));
    reserved.Reserve(random() % 400);
    reserved.Feed(text);
    const std::string bytes = whole.TakeBytes();
    ASSERT_EQ(single.TakeBytes(), bytes) << text;
    ASSERT_EQ(reserved.TakeBytes(), bytes) << text;
    ASSERT_EQ(whole.TakeBytes(), "") << "taken out: the decoder starts anew";
  }
}

TEST(UUEncodeTest, EncodesWithItsLengthCharacter) {
  EXPECT_EQ(UUEncodeLine("abc"), "#86)C");
  EXPECT_EQ(UUEncodeLine(""), "`");
  EXPECT_EQ(UUEncodeLine("a").size(), 3u);
  EXPECT_EQ(UUEncodeLine("ab").size(), 4u);
  EXPECT_EQ(UUEncodeLine(std::string(44, 'z')).size(), 60u);
  std::string full = UUEncodeLine(std::string(45, '\0'));
  EXPECT_EQ(full, "M" + std::string(60, '`'));
  EXPECT_THROW(UUEncodeLine(std::string(46, 'a')), rtl::Exception);
}

TEST(UUEncodeTest, DecodesAndRejects) {
  EXPECT_EQ(UUDecodeLine("#86)C"), "abc");
  EXPECT_EQ(UUDecodeLine(" 86)C"), "");  // a blank length means no bytes
  EXPECT_EQ(UUDecodeLine("`"), "");
  EXPECT_EQ(UUDecodeLine(""), "");
  EXPECT_EQ(UUDecodeLine("%86)C"), "abc");  // a line that holds fewer bytes gives those
  EXPECT_THROW(UUDecodeLine("#86)c"), rtl::EInOutError);
  std::mt19937 random(7);
  for (int i = 0; i < 5000; ++i) {
    std::string bytes = RandomBytes(random, random() % 46);
    ASSERT_EQ(UUDecodeLine(UUEncodeLine(bytes)), bytes);
  }
}

TEST(EncodedWordsTest, DecodesBAndQWords) {
  EXPECT_EQ(maillib::DecodeEncodedWords("=?iso-8859-1?Q?Caf=E9?= au lait"),
            "Caf\xC3\xA9"
            "au lait");
  EXPECT_EQ(maillib::DecodeEncodedWords("=?utf-8?B?SGVsbG8=?= =?utf-8?q?_World?="), "Hello World");
  EXPECT_EQ(maillib::DecodeEncodedWords("Re: =?us-ascii?Q?a_b?="), "Re: a b");
  EXPECT_EQ(maillib::DecodeEncodedWords("before =?iso-8859-1?Q?unterminated"), "before ");
  EXPECT_EQ(maillib::DecodeEncodedWords("plain text"), "plain text");
  EXPECT_EQ(maillib::DecodeEncodedWords(std::string(300, 's')).size(), 255u);
  EXPECT_EQ(maillib::DecodeQWord("a=3Db=C3=A9"), "a=b\xC3\xA9");
}

// "_" is a blank only inside Q-encoded text: names and addresses around a word keep theirs.
TEST(EncodedWordsTest, UnderscoresOutsideQTextStay) {
  EXPECT_EQ(maillib::DecodeEncodedWords("my_file =?utf-8?Q?a_b=5F?= x_y"), "my_file a b_x_y");
  EXPECT_EQ(maillib::DecodeEncodedWords("=?utf-8?B?X18=?= c_d"), "__c_d");
}

TEST(EncodedWordsTest, AnotherEncodingLetterIsKeptAsItStands) {
  EXPECT_EQ(maillib::DecodeEncodedWords("=?x?X?abc?= and =?ascii?Q?d?="), "=?x?X?abc?= and d");
  EXPECT_EQ(maillib::DecodeEncodedWords("=?nocharset?="), "=?nocharset?=");
}

TEST(EncodedWordsTest, MalformedWordsAreKeptAndTheDecodingEnds) {
  // The "?=" inside the opener is no end, and a letter not followed by "?" makes no word.
  EXPECT_EQ(maillib::DecodeEncodedWords("=?=?qj=?=="), "=?=?qj=?==");
  EXPECT_EQ(maillib::DecodeEncodedWords("a =?x?Qj?= b =?utf-8?Q?c?="), "a =?x?Qj?= b c");
  std::mt19937 random(20);
  const std::string pieces[] = {"=?", "?=", "?Q?", "?B?", "?q?", "?b?", "=",
                                "?",  "_",  " ",   "x",   "3D",  "QQ=="};
  for (int i = 0; i < 20000; ++i) {
    std::string value;
    for (int n = static_cast<int>(random() % 12); n > 0; --n) value += pieces[random() % 13];
    EXPECT_LE(maillib::DecodeEncodedWords(value).size(), value.size()) << value;
  }
}

// A Base64 word with characters outside the alphabet is kept as it stands rather than failing
// the lookup of the whole header: a message with such a Date must still be built.
TEST(EncodedWordsTest, ABase64WordThatDoesNotDecodeIsKeptAsItStands) {
  EXPECT_EQ(maillib::DecodeEncodedWords("=?utf-8?B?no*good?= and =?utf-8?B?SGVsbG8=?="),
            "=?utf-8?B?no*good?= and Hello");
  EXPECT_EQ(maillib::DecodeEncodedWords("=?utf-8?b?a b?="), "=?utf-8?b?a b?=");
}

TEST(PumpMessagesTest, DispatchesEverythingWaitingAndNeverBlocks) {
  std::vector<WPARAM> seen;
  HWND window = nullptr;
  window = rtl::AllocateHWnd([&](rtl::TMessage& message) {
    if (message.Msg != WM_USER) return;
    seen.push_back(message.WParam);
    // A message posted while pumping is part of what is waiting.
    if (message.WParam == 1) PostMessageA(window, WM_USER, 3, 0);
  });
  maillib::PumpMessages();
  EXPECT_TRUE(seen.empty());
  std::thread([window] {
    PostMessageA(window, WM_USER, 1, 0);
    PostMessageA(window, WM_USER, 2, 0);
  }).join();
  maillib::PumpMessages();
  EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2, 3}));
  rtl::DeallocateHWnd(window);
}

TEST(TimeCounterTest, CountsWhileThePumpRunsAndLatches) {
  maillib::TTimeCounter counter;
  counter.TimeOut = 2;
  counter.Start();
  auto start = std::chrono::steady_clock::now();
  while (!counter.TimedOut && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT);
    maillib::PumpMessages();
  }
  EXPECT_TRUE(counter.TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  counter.Start();  // starting again does not clear the flag; only the owner does
  EXPECT_TRUE(counter.TimedOut);
  counter.TimedOut = false;
  counter.Stop();
  Sleep(1100);  // a stopped counter, and one whose thread does not pump, never times out
  maillib::PumpMessages();
  EXPECT_FALSE(counter.TimedOut);
}

}  // namespace
