#include "rtl/IniFile.h"

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

}  // namespace rtl
