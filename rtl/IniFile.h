// A profile-file accessor: reads and writes one key of one section through the profile service,
// with the encodings queued messages use for integers and booleans.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

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

// A profile file read once into memory, for the many keys of one file (a queued message holds
// thousands): a lookup costs no file access, and the file's lookup rules are the profile
// service's (names trimmed and matched without regard to case, the first section and the first
// key of a name win, values trimmed and without one pair of surrounding quotes, at most 1023
// characters).
class TMemIniFile {
 public:
  // A missing or unreadable file reads as empty, as it does key by key; a link or anything but a
  // regular file is not read. Raises EIniFileException when the file is larger than maxBytes.
  TMemIniFile(const std::string& fileName, size_t maxBytes);

  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& fallback) const;
  int ReadInteger(const std::string& section, const std::string& ident, int fallback) const;
  bool ReadBool(const std::string& section, const std::string& ident, bool fallback) const;

 private:
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections_;
};

// The text a new profile file has after a series of profile writes, composed in memory so that it
// can be written at once: sections in the order first written, each new key after the keys of
// its section, a key written again keeps its place and takes the new value, CR LF line ends.
class TIniComposer {
 public:
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  std::string Text() const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };
  std::vector<Section> sections_;
};

}  // namespace rtl
