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

  // Writes are gathered into large blocks: the composer writes a line in three small pieces.
  void Write(const void* buffer, size_t count) override;
  size_t Read(void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;
  int64_t Size() override;

  bool DeleteOnFree = true;

 private:
  static std::string NewTempFile();
  void Flush();

  std::string pending_;  // written, not yet in the file
};

}  // namespace maillib
