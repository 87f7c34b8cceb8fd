// TLineStream: an in-memory byte stream that serves its own contents line by line, holding at
// most one 16384-byte chunk as lines at a time.
#pragma once

#include <string>
#include <vector>

#include "rtl/Streams.h"

namespace maillib {

// Returned by ReadLine at the end of the data: four bytes of value 255.
inline const std::string kEndOfData(4, '\xFF');

class TLineStream : public rtl::TMemoryStream {
 public:
  static constexpr size_t kBufferSize = 16384;

  // The next line without its line break, or kEndOfData.
  std::string ReadLine();
  void Reset();
  bool EndReached() const { return endReached_; }

 private:
  void FillChunk();

  std::vector<std::string> lines_;
  int lineIndex_ = -1;
  bool endReached_ = false;
  bool lastChunk_ = false;
};

}  // namespace maillib
