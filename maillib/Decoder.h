// The message parser: TmsCustomDecoder reads a complete received message text and fills a
// message component's properties, Body and Attachments. MIME messages (single part, multipart,
// multipart with a nested alternative) and plain text with uuencoded sections are understood; a
// message that cannot be decoded is kept whole as an attachment with an explanation in Body.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
  std::string ReadLine();
  bool Exhausted() const { return !pending_ && reader_.EndReached(); }
  bool IsDelimiter(std::string_view line) const;
  bool IsCloseDelimiter(std::string_view line) const;
  bool EndsPart(std::string_view line) const;
  // Skips lines up to a delimiter or closing delimiter of the current boundary and returns it;
  // EMessageParserError with the text of missingText when the input runs out first.
  std::string SkipToDelimiter(int missingText);
  void ReadHeaders(TmsHeaders& list);
  void StoreUndecodable(const std::string& errorText);
  void DecodeMime();
  void DecodeMultipart(const std::string& contentType);
  void DecodeFirstPart();
  void DecodeParts();
  // One part (or the whole single-part body) as an attachment; returns the line that ended it.
  std::string DecodeAttachment(const TmsHeaders& headers, bool singlePart);
  void DecodeSinglePart();
  void DecodeText();
  void DecodePlain();
  void DecodeUUSections(std::string beginLine);
  void TakeCharset(const std::string& contentType);

  TLineStream reader_;
  std::optional<std::string> pending_;  // a line read ahead and given back
  TmsCustomMessage& target_;
  std::string boundary_;
  std::string outerBoundary_;
  bool nested_ = false;
  bool alternative_ = false;
  bool firstPartPending_ = false;  // the first part is left for DecodeParts
  bool htmlBody_ = false;          // that first part is the HTML body
};

}  // namespace maillib
