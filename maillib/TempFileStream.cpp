#include "maillib/TempFileStream.h"

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace maillib {
namespace {

constexpr size_t kWriteBlock = 64 * 1024;

}  // namespace

std::string TTempFileStream::NewTempFile() {
  char dir[256];
  DWORD length = GetTempPathA(sizeof dir, dir);
  char name[MAX_PATH];
  if (length == 0 || length >= sizeof dir || GetTempFileNameA(dir, "ms", 0, name) == 0) {
    throw rtl::EFCreateError(
        rtl::Format(rtl::SFCreateError, (std::string(dir) + "ms*.tmp").c_str()));
  }
  return name;
}

TTempFileStream::TTempFileStream() : TFileStream(NewTempFile(), rtl::fmCreate) {}

TTempFileStream::~TTempFileStream() {
  if (!DeleteOnFree) {
    try {
      Flush();
    } catch (const std::exception&) {
      // A file kept after a failed write is as short as the write left it.
    }
  }
  CloseFile();
  if (DeleteOnFree) DeleteFileA(FileName().c_str());
}

void TTempFileStream::Flush() {
  if (pending_.empty()) return;
  TFileStream::Write(pending_.data(), pending_.size());
  pending_.clear();
}

void TTempFileStream::Write(const void* buffer, size_t count) {
  if (pending_.size() + count > kWriteBlock) Flush();
  if (count >= kWriteBlock) {
    TFileStream::Write(buffer, count);
    return;
  }
  if (pending_.capacity() < kWriteBlock) pending_.reserve(kWriteBlock);
  pending_.append(static_cast<const char*>(buffer), count);
}

size_t TTempFileStream::Read(void* buffer, size_t count) {
  Flush();
  return TFileStream::Read(buffer, count);
}

int64_t TTempFileStream::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  if (origin == rtl::soCurrent && offset == 0) {
    return TFileStream::Seek(0, rtl::soCurrent) + static_cast<int64_t>(pending_.size());
  }
  Flush();
  return TFileStream::Seek(offset, origin);
}

int64_t TTempFileStream::Size() {
  Flush();
  return TFileStream::Size();
}

}  // namespace maillib
