// Content transfer codecs of the mail library: Base64 and uuencode line codecs, the decoding
// of encoded words in header values, and the message pump the long-running loops yield to.
// Line codecs work on bounded strings: at most 255 bytes in and 255 characters out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace maillib {

// The library's cooperative yield: removes, translates and dispatches every window message
// waiting in the calling thread's queue, never blocking. With an empty queue it costs no system
// call, since the codecs call it once per line.
void PumpMessages();

inline constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One line of Base64 text (57 bytes give 76 characters).
std::string Base64EncodeLine(std::string_view bytes);
// Raises EInOutError "Invalid Character" for a character outside the alphabet and "=".
std::string Base64DecodeLine(std::string_view line);
// Base64 content decoded as one stream, fed a piece (a line) at a time: line breaks may fall
// anywhere, characters outside the alphabet are ignored (RFC 2045 6.8), and "=" ends the quantum
// it stands in, so content joined from several encodings still decodes whole.
class TBase64Decoder {
 public:
  void Feed(std::string_view text);
  // Makes room at once for the bytes of about this many characters still to come, when the
  // caller knows: a large text then never moves while it grows.
  void Reserve(size_t characters);
  // Takes out, without a copy, the bytes of every quantum completed so far; a last quantum cut
  // short gives the bytes its characters carry whole. The decoder is empty afterwards.
  std::string TakeBytes();

 private:
  // Writes the bytes a quantum cut short carries at out; returns where they end.
  char* PutShortQuantum(char* out) const;

  std::string bytes_;
  uint32_t group_ = 0;
  int count_ = 0;  // characters of the current quantum
};

// One uuencoded line with its length character in front; at most 45 bytes.
std::string UUEncodeLine(std::string_view bytes);
std::string UUDecodeLine(std::string_view line);

// The quoted-printable decoding of one short text (the text of a Q-encoded word).
std::string DecodeQWord(std::string_view text);
// The header value with its "=?charset?B|Q?text?=" words decoded, bounded to 255 characters.
std::string DecodeEncodedWords(std::string_view value);

}  // namespace maillib
