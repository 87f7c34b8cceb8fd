#include "rtl/Streams.h"

#include <algorithm>
#include <cstring>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace rtl {

void TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) count = source.Size() - source.Position();
  char buffer[65536];
  while (count > 0) {
    size_t want = static_cast<size_t>(std::min<int64_t>(count, sizeof buffer));
    size_t got = source.Read(buffer, want);
    if (got == 0) throw EStreamError("Stream read error");
    Write(buffer, got);
    count -= static_cast<int64_t>(got);
  }
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (position_ >= data_.size()) return 0;
  count = std::min(count, data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, count);
  position_ += count;
  return count;
}

void TMemoryStream::Write(const void* buffer, size_t count) {
  if (position_ > data_.size()) data_.resize(position_);
  size_t overlap = std::min(count, data_.size() - position_);
  data_.replace(position_, overlap, static_cast<const char*>(buffer), count);
  position_ += count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0
                 : origin == soCurrent ? static_cast<int64_t>(position_)
                                       : Size();
  position_ = static_cast<size_t>(std::max<int64_t>(0, base + offset));
  return static_cast<int64_t>(position_);
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : fileName_(fileName) {
  const char* how = mode == fmCreate ? "w+b" : mode == fmOpenRead ? "rb" : "r+b";
  file_ = std::fopen(fileName.c_str(), how);
  if (file_ == nullptr) {
    if (mode == fmCreate) throw EFCreateError(Format(SFCreateError, fileName.c_str()));
    throw EFOpenError(Format(SFOpenError, fileName.c_str()));
  }
}

TFileStream::~TFileStream() { CloseFile(); }

void TFileStream::CloseFile() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

size_t TFileStream::Read(void* buffer, size_t count) { return std::fread(buffer, 1, count, file_); }

void TFileStream::Write(const void* buffer, size_t count) {
  if (std::fwrite(buffer, 1, count, file_) != count) {
    throw EStreamError("Stream write error: " + fileName_);
  }
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  if (!(origin == soCurrent && offset == 0)) std::fseek(file_, offset, whence);
  return std::ftell(file_);
}

int64_t TFileStream::Size() {
  long here = std::ftell(file_);
  std::fseek(file_, 0, SEEK_END);
  long size = std::ftell(file_);
  std::fseek(file_, here, SEEK_SET);
  return size;
}

}  // namespace rtl
