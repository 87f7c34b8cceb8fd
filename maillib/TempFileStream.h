// TTempFileStream: a stream on a new unique file in the temporary directory (prefix "ms",
// readable by its owner only), removed when the stream is destroyed, also during an unwind.
// It is written from start to end, then read: the composed text of one message.
#pragma once

#include <string>

#include "rtl/Streams.h"
#include "winapi/winapi.h"

namespace maillib {

class TTempFileStream : public rtl::TStream {
 public:
  // Raises EFCreateError when no temporary file can be made.
  TTempFileStream();
  ~TTempFileStream() override;
  TTempFileStream(const TTempFileStream&) = delete;
  TTempFileStream& operator=(const TTempFileStream&) = delete;

  // Appends; a write anywhere but at the end raises EStreamError.
  void Write(const void* buffer, size_t count) override;
  size_t Read(void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  const std::string& FileName() const { return fileName_; }

  bool DeleteOnFree = true;

 private:
  void Flush();
  void CloseHandles();

  std::string fileName_;
  HANDLE writer_ = INVALID_HANDLE_VALUE;
  HANDLE reader_ = INVALID_HANDLE_VALUE;
  // The composer writes a line in three small pieces: they reach the file in large blocks.
  std::string pending_;
  int64_t size_ = 0;
  int64_t position_ = 0;
  int64_t readerAt_ = 0;  // where the next read of the file begins
};

}  // namespace maillib
