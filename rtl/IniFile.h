// A profile-file accessor: reads and writes one key of one section through the profile service,
// with the encodings queued messages use for integers and booleans.
#pragma once

#include <string>

namespace rtl {

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  const std::string& FileName() const { return fileName_; }

  // At most 1023 characters come back; a longer stored value is cut.
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& fallback) const;
  // Decimal, or hexadecimal after "0x"/"0X"; a text that does not convert gives fallback.
  int ReadInteger(const std::string& section, const std::string& ident, int fallback) const;
  // An integer, true when it is not 0.
  bool ReadBool(const std::string& section, const std::string& ident, bool fallback) const;

  // Each write raises EIniFileException "Unable to write to %s" when the file cannot be written.
  void WriteString(const std::string& section, const std::string& ident,
                   const std::string& value) const;
  void WriteInteger(const std::string& section, const std::string& ident, int value) const;
  void WriteBool(const std::string& section, const std::string& ident, bool value) const;

 private:
  std::string fileName_;
};

}  // namespace rtl
