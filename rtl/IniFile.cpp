#include "rtl/IniFile.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "rtl/Exception.h"
#include "rtl/SysUtils.h"
#include "winapi/winapi.h"

namespace rtl {

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& fallback) const {
  char buffer[1024];
  DWORD length = GetPrivateProfileStringA(section.c_str(), ident.c_str(), fallback.c_str(), buffer,
                                          sizeof buffer, fileName_.c_str());
  return std::string(buffer, length);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                          int fallback) const {
  return ProfileStrToInt(ReadString(section, ident, ""), fallback);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool fallback) const {
  return ReadInteger(section, ident, fallback ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) const {
  if (!WritePrivateProfileStringA(section.c_str(), ident.c_str(), value.c_str(),
                                  fileName_.c_str())) {
    throw EIniFileException(Format(SIniFileWriteError, fileName_.c_str()));
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int value) const {
  WriteString(section, ident, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) const {
  WriteString(section, ident, value ? "1" : "0");
}

namespace {

constexpr std::string_view kBlanks = " \t\v";
constexpr size_t kMaxValue = 1023;

std::string_view Trimmed(std::string_view text, std::string_view blanks = kBlanks) {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Names given to the profile service lose their blanks only.
std::string NameKey(std::string_view name) {
  std::string out(Trimmed(name, " "));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string LowerKey(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kMaxValue));
}

bool ReadLimited(const std::string& fileName, size_t maxBytes, std::string& text) {
  HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  DWORD got = 0;
  bool ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0 &&
         text.size() <= maxBytes) {
    text.append(buffer, got);
  }
  CloseHandle(file);
  if (text.size() > maxBytes) {
    throw EIniFileException(
        Format("%s is larger than the limit of %zu bytes", fileName.c_str(), maxBytes));
  }
  return ok;
}

}  // namespace

TMemIniFile::TMemIniFile(const std::string& fileName, size_t maxBytes) {
  std::string text;
  if (!ReadLimited(fileName, maxBytes, text)) return;
  std::unordered_map<std::string, std::string>* current = nullptr;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trimmed(std::string_view(text).substr(start, end - start));
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    if (!line.empty() && line[0] == '[') {
      const size_t close = line.find(']');
      std::string name =
          LowerKey(Trimmed(line.substr(1, close == std::string_view::npos ? close : close - 1)));
      // A later section of the same name is never looked into.
      auto [section, isNew] = sections_.try_emplace(std::move(name));
      current = isNew ? &section->second : nullptr;
      continue;
    }
    const size_t equals = line.find('=');
    if (current == nullptr || line.empty() || line[0] == ';' || equals == std::string_view::npos) {
      continue;
    }
    current->try_emplace(LowerKey(Trimmed(line.substr(0, equals))),
                         Unquoted(Trimmed(line.substr(equals + 1))));
  }
}

std::string TMemIniFile::ReadString(const std::string& section, const std::string& ident,
                                    const std::string& fallback) const {
  if (auto found = sections_.find(NameKey(section)); found != sections_.end()) {
    if (auto key = found->second.find(NameKey(ident)); key != found->second.end()) {
      return key->second;
    }
  }
  std::string text = fallback;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.substr(0, kMaxValue);
}

int TMemIniFile::ReadInteger(const std::string& section, const std::string& ident,
                             int fallback) const {
  return ProfileStrToInt(ReadString(section, ident, ""), fallback);
}

bool TMemIniFile::ReadBool(const std::string& section, const std::string& ident,
                           bool fallback) const {
  return ReadInteger(section, ident, fallback ? 1 : 0) != 0;
}

void TIniComposer::WriteString(const std::string& section, const std::string& ident,
                               const std::string& value) {
  const std::string sectionName(Trimmed(section, " "));
  const std::string key(Trimmed(ident, " "));
  auto found = std::find_if(sections_.begin(), sections_.end(), [&](const Section& s) {
    return NameKey(s.name) == NameKey(sectionName);
  });
  if (found == sections_.end()) found = sections_.insert(sections_.end(), {sectionName, {}});
  for (auto& [name, stored] : found->keys) {
    if (NameKey(name) == NameKey(key)) {
      stored = value;
      return;
    }
  }
  found->keys.emplace_back(key, value);
}

std::string TIniComposer::Text() const {
  std::string text;
  for (const auto& section : sections_) {
    text += "[" + section.name + "]\r\n";
    for (const auto& [key, value] : section.keys) text += key + "=" + value + "\r\n";
  }
  return text;
}

}  // namespace rtl
