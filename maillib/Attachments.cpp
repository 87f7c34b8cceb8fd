#include "maillib/Attachments.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "rtl/Exception.h"
#include "rtl/Paths.h"
#include "rtl/Registry.h"
#include "rtl/StringList.h"

namespace maillib {
namespace {

constexpr const char* kDefaultType = "application/octet-stream";

// The system's extension table (Debian's media-types package), read once.
const std::map<std::string, std::string>& MimeTypes() {
  static const auto* table = [] {
    auto* types = new std::map<std::string, std::string>;
    std::ifstream in("/etc/mime.types");
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string type, extension;
      fields >> type;
      while (fields >> extension) types->emplace(rtl::LowerCase(extension), type);
    }
    return types;
  }();
  return *table;
}

std::string RegistryContentType(const std::string& extension) {
  try {
    rtl::TRegistry reg(KEY_READ);
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    if (!reg.OpenKeyReadOnly(extension)) return "";
    return reg.ReadString("Content Type");
  } catch (const std::exception&) {
    return "";  // a value of another type counts as no value
  }
}

// Anything but a regular file would compose empty, block the reader (a FIFO) or never end (a
// device), so it counts as a file that cannot be opened. A link to a regular file is one.
std::unique_ptr<rtl::TFileStream> OpenRegularFile(const std::string& fileName) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(fileName, error)) {
    throw rtl::EFOpenError(rtl::Format(rtl::SFOpenError, fileName.c_str()));
  }
  return std::make_unique<rtl::TFileStream>(fileName, rtl::fmOpenRead);
}

// An attachment's file, opened when a read needs it and closed again at its end. It is read a
// large block at a time: the encoders ask for a line's worth (57 bytes for Base64) per read.
class TAttachmentFile : public rtl::TStream {
 public:
  explicit TAttachmentFile(std::string fileName) : fileName_(std::move(fileName)) {}

  size_t Read(void* buffer, size_t count) override {
    auto* out = static_cast<char*>(buffer);
    size_t given = 0;
    // Even a read of nothing opens the file, so that a file gone bad is reported by any read.
    do {
      if (index_ == length_ && !Refill()) break;
      const size_t take = std::min(count - given, length_ - index_);
      std::memcpy(out + given, block_.get() + index_, take);
      index_ += take;
      given += take;
      position_ += static_cast<int64_t>(take);
    } while (given < count);
    return given;
  }
  void Write(const void*, size_t) override {
    throw rtl::EStreamError("Stream write error: " + fileName_);
  }
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    int64_t base = origin == rtl::soBeginning ? 0 : origin == rtl::soCurrent ? position_ : Size();
    const int64_t target = std::max<int64_t>(0, base + offset);
    if (target == position_) return position_;
    position_ = target;
    index_ = length_ = 0;
    if (file_) file_->SetPosition(position_);
    return position_;
  }
  int64_t Size() override {
    std::error_code error;
    auto size = std::filesystem::file_size(fileName_, error);
    return error ? 0 : static_cast<int64_t>(size);
  }

 private:
  // Called with the block used up, when the file stands at position_.
  bool Refill() {
    index_ = length_ = 0;
    if (!file_) {
      file_ = OpenRegularFile(fileName_);
      fileSize_ = file_->Size();
      file_->SetPosition(position_);
    }
    if (!block_) block_ = std::make_unique<char[]>(kReadBlock);
    length_ = file_->Read(block_.get(), kReadBlock);
    if (length_ < kReadBlock || position_ + static_cast<int64_t>(length_) >= fileSize_) {
      file_.reset();
    }
    if (length_ == 0) block_.reset();
    return length_ > 0;
  }

  static constexpr size_t kReadBlock = 64 * 1024;
  std::string fileName_;
  std::unique_ptr<rtl::TFileStream> file_;
  std::unique_ptr<char[]> block_;
  size_t index_ = 0;
  size_t length_ = 0;
  int64_t fileSize_ = 0;
  int64_t position_ = 0;  // of the next byte handed out
};

}  // namespace

const char* EncodingToken(TAttEncoding encoding) {
  switch (encoding) {
    case ae7Bit:
      return "7bit";
    case aeQuotedPrintable:
      return "Quoted-Printable";
    case aeBase64:
    default:
      return "Base64";
  }
}

std::string ContentTypeOfFile(std::string_view fileName) {
  std::string name = rtl::ExtractFileName(fileName);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return kDefaultType;
  std::string extension = name.substr(dot);
  std::string type = RegistryContentType(extension);
  if (!type.empty()) return type;
  const auto& table = MimeTypes();
  auto it = table.find(rtl::LowerCase(extension.substr(1)));
  return it != table.end() ? it->second : kDefaultType;
}

void TmsAttItem::SetFileName(std::string_view fileName) {
  FileName = fileName;
  if (FileName.empty()) return;
  ContentType = ContentTypeOfFile(FileName.str());
  std::string upper = rtl::UpperCase(ContentType.str());
  if (upper == "TEXT/PLAIN" || upper == "TEXT/RTF" || upper == "TEXT/HTML") {
    Encoding = aeQuotedPrintable;
  } else if (upper == "MESSAGE/RFC822") {
    Encoding = ae7Bit;
  } else {
    Encoding = aeBase64;
  }
}

void TmsAttItem::LoadFromFile(const std::string& fileName) {
  OpenRegularFile(fileName);  // refused now rather than when the message is composed
  data_ = std::make_unique<TAttachmentFile>(fileName);
}

void TmsAttItem::SetBytes(std::string_view bytes) {
  auto memory = std::make_unique<rtl::TMemoryStream>();
  memory->Write(bytes.data(), bytes.size());
  memory->SetPosition(0);
  data_ = std::move(memory);
}

std::string TmsAttItem::Bytes() {
  std::string bytes(static_cast<size_t>(data_->Size()), '\0');
  data_->SetPosition(0);
  bytes.resize(data_->Read(bytes.data(), bytes.size()));
  return bytes;
}

void TmsAttItem::Assign(TmsAttItem& other) {
  if (&other == this) return;
  SetBytes(other.Bytes());
  ContentType = other.ContentType;
  Encoding = other.Encoding;
  FileName = other.FileName;
}

TmsAttItem& TmsAttList::Items(int index) const {
  rtl::CheckListIndex(index, Count());
  return *items_[static_cast<size_t>(index)];
}

TmsAttItem& TmsAttList::AddFile(std::string_view fileName) {
  auto item = std::make_unique<TmsAttItem>();
  item->SetFileName(fileName);
  item->LoadFromFile(std::string(fileName));
  items_.push_back(std::move(item));
  return *items_.back();
}

void TmsAttList::Assign(const TmsAttList& other) {
  if (&other == this) return;
  Clear();
  for (const auto& item : other.items_) {
    auto copy = std::make_unique<TmsAttItem>();  // a copy of the bytes, not of the file
    copy->Assign(*item);
    items_.push_back(std::move(copy));
  }
}

}  // namespace maillib
