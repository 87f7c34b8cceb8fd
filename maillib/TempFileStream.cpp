#include "maillib/TempFileStream.h"

#include <algorithm>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

constexpr size_t kWriteBlock = 64 * 1024;

}  // namespace

// The file is made anew by name and then opened without following a link; should it be gone by
// then, the one made in its place (with other permissions) is not used.
TTempFileStream::TTempFileStream() {
  char dir[256];
  DWORD length = GetTempPathA(sizeof dir, dir);
  char name[MAX_PATH];
  if (length == 0 || length >= sizeof dir || GetTempFileNameA(dir, "ms", 0, name) == 0) {
    throw rtl::EFCreateError(
        rtl::Format(rtl::SFCreateError, (std::string(dir) + "ms*.tmp").c_str()));
  }
  fileName_ = name;
  // Each handle lets the other be opened beside it, as Windows requires.
  writer_ = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  reader_ = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (!existed || writer_ == INVALID_HANDLE_VALUE || reader_ == INVALID_HANDLE_VALUE) {
    CloseHandles();
    DeleteFileA(name);
    throw rtl::EFCreateError(rtl::Format(rtl::SFCreateError, name));
  }
}

TTempFileStream::~TTempFileStream() {
  if (!DeleteOnFree) {
    try {
      Flush();
    } catch (const std::exception&) {
      // A file kept after a failed write is as short as the write left it.
    }
  }
  CloseHandles();
  if (DeleteOnFree) DeleteFileA(fileName_.c_str());
}

void TTempFileStream::CloseHandles() {
  if (writer_ != INVALID_HANDLE_VALUE) CloseHandle(writer_);
  if (reader_ != INVALID_HANDLE_VALUE) CloseHandle(reader_);
  writer_ = reader_ = INVALID_HANDLE_VALUE;
}

void TTempFileStream::Flush() {
  if (pending_.empty()) return;
  if (!WriteFile(writer_, pending_.data(), static_cast<DWORD>(pending_.size()), nullptr, nullptr)) {
    throw rtl::EStreamError("Stream write error: " + fileName_);
  }
  pending_.clear();
}

void TTempFileStream::Write(const void* buffer, size_t count) {
  if (position_ != size_) throw rtl::EStreamError("Stream write error: " + fileName_);
  if (count >= kWriteBlock) {
    Flush();
    if (!WriteFile(writer_, buffer, static_cast<DWORD>(count), nullptr, nullptr)) {
      throw rtl::EStreamError("Stream write error: " + fileName_);
    }
  } else {
    if (pending_.capacity() < 2 * kWriteBlock) pending_.reserve(2 * kWriteBlock);
    pending_.append(static_cast<const char*>(buffer), count);
    if (pending_.size() >= kWriteBlock) Flush();
  }
  size_ += static_cast<int64_t>(count);
  position_ = size_;
}

size_t TTempFileStream::Read(void* buffer, size_t count) {
  Flush();
  if (readerAt_ != position_) {
    LARGE_INTEGER to;
    to.QuadPart = position_;
    if (!SetFilePointerEx(reader_, to, nullptr, FILE_BEGIN)) {
      throw rtl::EStreamError("Stream read error: " + fileName_);
    }
  }
  DWORD got = 0;
  if (!ReadFile(reader_, buffer, static_cast<DWORD>(count), &got, nullptr)) {
    throw rtl::EStreamError("Stream read error: " + fileName_);
  }
  position_ += got;
  readerAt_ = position_;
  return got;
}

int64_t TTempFileStream::Seek(int64_t offset, rtl::TSeekOrigin origin) {
  const int64_t base = origin == rtl::soBeginning ? 0
                       : origin == rtl::soCurrent ? position_
                                                  : size_;
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

}  // namespace maillib
