// Byte streams in the runtime's manner: a position, a size, reads and writes of raw bytes.
// TMemoryStream holds its bytes in memory; TFileStream reads and writes one file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace rtl {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Returns the number of bytes read, fewer at the end.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes all bytes or raises EStreamError.
  virtual void Write(const void* buffer, size_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }
  void WriteString(const std::string& text) { Write(text.data(), text.size()); }
  // Copies count bytes (all that remain when count is 0) from source at its position.
  void CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
 public:
  size_t Read(void* buffer, size_t count) override;
  void Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear();
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  size_t position_ = 0;
};

enum TFileMode { fmCreate, fmOpenRead, fmOpenReadWrite };

class TFileStream : public TStream {
 public:
  // fmCreate makes the file anew (EFCreateError); the others open it (EFOpenError).
  TFileStream(const std::string& fileName, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  void Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  const std::string& FileName() const { return fileName_; }

 protected:
  void CloseFile();

 private:
  std::string fileName_;
  std::FILE* file_;
};

}  // namespace rtl
