// TQuotedPrintable: quoted-printable encoding of a byte stream into lines, and decoding of lines
// back into a stream. Neither the stream nor the list is owned.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"

namespace maillib {

class TQuotedPrintable {
 public:
  static constexpr size_t kParagraphSize = 24576;
  static constexpr size_t kPieceLength = 65;
  static constexpr size_t kMaxLineLength = 76;  // an encoded line, without its line break

  TQuotedPrintable(rtl::TStream* stream, rtl::TStringList* lines)
      : stream_(stream),
        lines_(lines),
        sink_([lines](std::string line) { lines->Add(std::move(line)); }) {}
  // Encoding only: each encoded line goes to sink as it is made, so none is kept.
  TQuotedPrintable(rtl::TStream* stream, std::function<void(std::string)> sink)
      : stream_(stream), lines_(nullptr), sink_(std::move(sink)) {}

  // The whole stream, from its start, appended to the lines; yields after every line.
  void Encode();

  // For a file that must arrive as it is: only CR LF is a line break, a lone CR or LF is
  // escaped, and a stream that does not end in a line break ends in a soft one (an empty stream
  // gives no line). Otherwise CR LF, CR and LF each end a line and the last line always ends.
  bool Exact = false;
  // The lines written to the stream at its position, each hard line ending in CR LF; a
  // paragraph of any length.
  void Decode();

 private:
  // Reads the stream through a block buffer, so a line costs no stream call of its own. The
  // end is where a read gives nothing: a stream composed as it is read cannot tell its size.
  class ByteReader {
   public:
    explicit ByteReader(rtl::TStream& stream) : stream_(stream) {}
    bool AtEnd() {
      if (index_ == length_ && !drained_) {
        length_ = stream_.Read(buffer_, sizeof buffer_);
        drained_ = length_ == 0;
        index_ = 0;
      }
      return index_ == length_;
    }
    char Next() {
      if (AtEnd()) throw rtl::EStreamError("Stream read error");
      return buffer_[index_++];
    }
    // Only right after Next: the byte is still in the buffer.
    void StepBack() { --index_; }
    // Only after AtEnd gave false: the bytes read and not yet taken, at least one.
    std::string_view Buffered() const { return {buffer_ + index_, length_ - index_}; }
    void Skip(size_t count) { index_ += count; }

   private:
    rtl::TStream& stream_;
    char buffer_[16384];
    size_t length_ = 0;
    size_t index_ = 0;
    bool drained_ = false;
  };

  enum TParagraphEnd { peBreak, peStreamEnd, peFull };
  TParagraphEnd ReadParagraph(ByteReader& reader, std::string& paragraph);
  size_t AppendPieces(const std::string& paragraph, bool complete, bool softEnd = false);

  rtl::TStream* stream_;
  rtl::TStringList* lines_;
  std::function<void(std::string)> sink_;
};

}  // namespace maillib
