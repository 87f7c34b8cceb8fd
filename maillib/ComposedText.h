// TComposedText: the composed text of one message on its way to the relay. It stays in memory
// while it is small and moves to a temporary file (TTempFileStream) once it grows past
// kKeptInMemory, so that a small message costs no file and a large one not its size in memory.
// Like the file, it is written from start to end, then read.
#pragma once

#include <cstddef>
#include <memory>

#include "maillib/TempFileStream.h"
#include "rtl/Streams.h"

namespace maillib {

class TComposedText : public rtl::TStream {
 public:
  static constexpr size_t kKeptInMemory = 256 * 1024;

  size_t Read(void* buffer, size_t count) override { return Active().Read(buffer, count); }
  // Raises EFCreateError when the text outgrows memory and no temporary file can be made.
  void Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    return Active().Seek(offset, origin);
  }
  int64_t Size() override { return Active().Size(); }
  bool InFile() const { return file_ != nullptr; }

 private:
  rtl::TStream& Active() {
    if (file_) return *file_;
    return memory_;
  }

  rtl::TMemoryStream memory_;
  std::unique_ptr<TTempFileStream> file_;
};

}  // namespace maillib
