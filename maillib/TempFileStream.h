// TTempFileStream: a file stream on a new unique file in the temporary directory (prefix "ms",
// readable by its owner only), removed when the stream is destroyed, also during an unwind.
#pragma once

#include <string>

#include "rtl/Streams.h"

namespace maillib {

class TTempFileStream : public rtl::TFileStream {
 public:
  // Raises EFCreateError when no temporary file can be made.
  TTempFileStream();
  ~TTempFileStream() override;

  bool DeleteOnFree = true;

 private:
  static std::string NewTempFile();
};

}  // namespace maillib
