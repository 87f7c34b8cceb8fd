// The message parser: TmsCustomDecoder reads a complete received message text and fills a
// message component's properties, Body and Attachments. MIME messages (single part, multiparts
// nested in any way) and plain text with uuencoded sections are understood; a message that
// cannot be decoded is kept whole as an attachment with an explanation in Body.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "maillib/Headers.h"
#include "maillib/LineStream.h"
#include "maillib/Message.h"
#include "rtl/Exception.h"

namespace maillib {

RTL_EXCEPTION_CLASS(EMessageParserError, rtl::Exception);

// A received message larger than this is refused before it is parsed, since every line of it
// is kept whole in memory.
inline constexpr int64_t kMaxMessageSize = 64 * 1024 * 1024;
inline constexpr const char* kMessageTooLarge = "The message is too large";
// Multiparts nested deeper than this are kept whole as one attachment, so that a hostile message
// cannot exhaust the stack.
inline constexpr size_t kMaxMultipartDepth = 20;

// Whether a MIME-Version value is 1.0: comments and blanks may stand anywhere in it (RFC 2045 4).
bool IsMimeVersion10(std::string_view value);

// A uuencode begin line: longer than 8 characters, "begin" in any case, then (after blanks)
// three characters that read as an integer, the file mode.
bool IsUUBegin(std::string_view line);
// The file name of a begin line: what follows its first 10 characters, unquoted.
std::string UUFileName(std::string_view line);

class TmsCustomDecoder {
 public:
  explicit TmsCustomDecoder(TmsCustomMessage& target) : target_(target) {}
  TmsCustomDecoder(const TmsCustomDecoder&) = delete;
  TmsCustomDecoder& operator=(const TmsCustomDecoder&) = delete;
  virtual ~TmsCustomDecoder() = default;

  // Takes the stream's whole content, from position 0, as the input; EMessageParserError when it
  // is larger than kMaxMessageSize.
  void LoadFromStream(rtl::TStream& stream);
  // Fills the target. Parser errors of the body end in StoreUndecodable; errors of the header
  // block and other runtime errors reach the caller.
  void Decode();

  TmsHeaders MessageHeaders;
  TmsHeaders PartHeaders;

 protected:
  virtual void ParseHeaders(const TmsHeaders& headers) = 0;

 private:
  // An open multipart: its delimiter line ("--" and the boundary) and whether it is an
  // alternative.
  struct TLevel {
    std::string delimiter;
    bool alternative;
  };

  std::string ReadLine();
  bool Exhausted() const { return !pending_ && reader_.EndReached(); }
  // How much of the text is still to be read: what a part that starts here can hold at most.
  size_t Unread() { return static_cast<size_t>(reader_.Size() - reader_.Position()); }
  // The innermost open multipart the line is a delimiter or closing delimiter of, or -1.
  int LevelEndedBy(std::string_view line) const;
  bool EndsPart(std::string_view line) const;
  void ReadHeaders(TmsHeaders& list);
  void StoreUndecodable(const std::string& errorText);
  void DecodeMime();
  // Walks a multipart from its preamble on; returns the line that ended it: a delimiter of an
  // enclosing multipart, or the end of data.
  std::string DecodeMultipart(const std::string& contentType);
  // One part of the innermost open multipart, its headers read; returns the line that ended it.
  std::string DecodePart(const std::string& parentType);
  std::string DecodeBodyPart(const std::string& contentType);
  // One part (or the whole single-part body) as an attachment; returns the line that ended it.
  // An unnamed part of an alternative is named "_alt." and its index, any other "att." and its
  // index; htmlBody names it "_htmbody.htm".
  std::string DecodeAttachment(const TmsHeaders& headers, bool singlePart,
                               const std::string& defaultType, bool htmlBody);
  void DecodeSinglePart();
  void DecodeText();
  void DecodePlain();
  void DecodeUUSections(std::string beginLine);
  void TakeCharset(const std::string& contentType);

  TLineStream reader_;
  std::optional<std::string> pending_;  // a line read ahead and given back
  TmsCustomMessage& target_;
  std::vector<TLevel> levels_;  // the open multiparts, outermost first
  bool bodySeen_ = false;       // the first inline plain text has been met, taken or not
  bool leafSeen_ = false;       // a part that is no multipart has been met
};

}  // namespace maillib
