#include "maillib/LineStream.h"

namespace maillib {

// Lines are cut straight out of the stream's bytes rather than out of fixed chunks, so that a
// line longer than any chunk is neither lost nor taken for the end of the data.
std::string TLineStream::ReadLine() {
  const std::string& data = Data();
  if (next_ >= data.size()) {
    endReached_ = true;
    return kEndOfData;
  }
  size_t end = data.find_first_of("\r\n", next_);
  if (end == std::string::npos) end = data.size();
  std::string line = data.substr(next_, end - next_);
  next_ = end + 1;
  if (end < data.size() && data[end] == '\r' && next_ < data.size() && data[next_] == '\n') ++next_;
  return line;
}

void TLineStream::Reset() {
  next_ = 0;
  endReached_ = false;
  SetPosition(0);
}

}  // namespace maillib
