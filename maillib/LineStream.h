// TLineStream: an in-memory byte stream that serves its own contents line by line. A line ends
// at CR LF, a lone CR or a lone LF; a line of any length comes back whole.
#pragma once

#include <string>

#include "rtl/Streams.h"

namespace maillib {

// Returned by ReadLine at the end of the data: four bytes of value 255.
inline const std::string kEndOfData(4, '\xFF');

class TLineStream : public rtl::TMemoryStream {
 public:
  // The next line without its line break, or kEndOfData.
  std::string ReadLine();
  // Reading starts again from the first line.
  void Reset();
  bool EndReached() const { return endReached_; }

 private:
  size_t next_ = 0;
  bool endReached_ = false;
};

}  // namespace maillib
