// Attachments (a file's bytes with their MIME type and transfer encoding), ordered attachment
// lists, and the look-up of a file's MIME type.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Streams.h"
#include "rtl/SysUtils.h"

namespace maillib {

enum TAttEncoding : uint8_t { ae7Bit = 0, aeBase64 = 1, aeQuotedPrintable = 2 };

// The token written after "Content-Transfer-Encoding: ".
const char* EncodingToken(TAttEncoding encoding);

// An attachment added from a file reads its bytes from that file when it is composed, so a
// large attachment never has to fit in memory; the file is open only while it is read, so a
// message may carry more attachments than the process may hold open files.
class TmsAttItem {
 public:
  TmsAttItem() : data_(std::make_unique<rtl::TMemoryStream>()) {}

  rtl::TStream& Data() { return *data_; }
  // Takes the bytes from a regular file; EFOpenError when it is none or cannot be read.
  void LoadFromFile(const std::string& fileName);
  void SetBytes(std::string_view bytes);
  std::string Bytes();

  rtl::ShortString FileName;  // only its last path component is ever written into a message
  rtl::ShortString ContentType;
  TAttEncoding Encoding = aeBase64;

  // Stores the name; unless it is empty, derives ContentType and Encoding from its extension.
  void SetFileName(std::string_view fileName);
  void Assign(TmsAttItem& other);

 private:
  std::unique_ptr<rtl::TStream> data_;
};

class TmsAttList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TmsAttItem& Items(int index) const;  // EListError for an index out of range
  void Add(std::unique_ptr<TmsAttItem> item) { items_.push_back(std::move(item)); }
  // Adds a regular file; raises EFOpenError when it is none or cannot be read, and appends
  // nothing.
  TmsAttItem& AddFile(std::string_view fileName);
  void Clear() { items_.clear(); }
  void Assign(const TmsAttList& other);

 private:
  std::vector<std::unique_ptr<TmsAttItem>> items_;
};

// The MIME type of a file by its extension: the registry's HKEY_CLASSES_ROOT\.ext "Content Type"
// first, then the system's mime.types table, else "application/octet-stream". Never fails.
std::string ContentTypeOfFile(std::string_view fileName);

}  // namespace maillib
