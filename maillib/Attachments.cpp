#include "maillib/Attachments.h"

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
  data_ = std::make_unique<rtl::TFileStream>(fileName, rtl::fmOpenRead);
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
