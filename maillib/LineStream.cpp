#include "maillib/LineStream.h"

#include "rtl/StringList.h"

namespace maillib {

// Reads the next chunk; a line cut by the chunk's end is read again with the next chunk.
void TLineStream::FillChunk() {
  std::string buffer(kBufferSize, '\0');
  size_t got = Read(buffer.data(), kBufferSize);
  buffer.resize(got);
  lastChunk_ = got < kBufferSize;
  size_t lastLf = buffer.find_last_of('\n');
  size_t partialStart = lastLf == std::string::npos ? 0 : lastLf + 1;
  Seek(-static_cast<int64_t>(got - partialStart), rtl::soCurrent);
  if (!lastChunk_) buffer.resize(partialStart);
  lines_ = rtl::SplitLines(buffer);
}

std::string TLineStream::ReadLine() {
  ++lineIndex_;
  if (lineIndex_ < static_cast<int>(lines_.size())) return lines_[static_cast<size_t>(lineIndex_)];
  if (!lastChunk_) {
    FillChunk();
    lineIndex_ = 0;
    if (!lines_.empty()) return lines_[0];
  }
  endReached_ = true;
  return kEndOfData;
}

void TLineStream::Reset() {
  lineIndex_ = -1;
  lines_.clear();
  endReached_ = false;
  lastChunk_ = false;
  SetPosition(0);
}

}  // namespace maillib
