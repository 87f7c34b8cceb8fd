// The profile reader over any file text, with buffers of every size: results fit their buffer
// and end in NUL (lists in two), a short buffer gets the start of the whole value, and a write
// of a plain key reads back as the Win32 rules say while every other key keeps its value.
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "winapi/winapi.h"

namespace {

std::string File() { return fuzz::UseFreshMachineRoot() + "/profile.ini"; }

// A value read into a buffer of exactly size bytes, so a write past its end is caught.
std::pair<std::string, DWORD> Read(const char* section, const char* key, DWORD size) {
  std::vector<char> buffer(size, '\x7f');
  DWORD count =
      GetPrivateProfileStringA(section, key, "fallback", buffer.data(), size, File().c_str());
  FUZZ_CHECK(count < size, "a read filled its whole buffer");
  FUZZ_CHECK(buffer[count] == '\0', "a read did not end in NUL");
  return {std::string(buffer.data(), count), count};
}

// A list of names (sections, or the keys of one section) as a NUL-separated list.
std::vector<std::string> List(const char* section, DWORD size) {
  std::vector<char> buffer(size, '\x7f');
  DWORD count = GetPrivateProfileStringA(section, nullptr, "", buffer.data(), size, File().c_str());
  if (size >= 2) {
    FUZZ_CHECK(count < size, "a list filled its whole buffer");
    // A whole list ends in the NUL of its last name and one more; a cut one in two more.
    bool ends =
        count == 0 || buffer[count - 1] == '\0' || (count + 1 < size && buffer[count + 1] == '\0');
    FUZZ_CHECK(buffer[count] == '\0' && ends, "a list did not end in two NULs");
  } else {
    FUZZ_CHECK(count == 0, "a list of one byte holds names");
  }
  std::vector<std::string> names;
  for (size_t start = 0; start < count;) {
    size_t end = std::strlen(buffer.data() + start);
    names.emplace_back(buffer.data() + start, end);
    start += end + 1;
  }
  return names;
}

using Name = std::pair<std::string, std::string>;
using Contents = std::map<Name, std::string>;

// Section and key match without regard to case.
Name Lower(std::string section, std::string key) {
  for (auto* text : {&section, &key}) {
    for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return {section, key};
}

// Every key the reader can reach.
Contents ReadAll() {
  Contents contents;
  for (const auto& section : List(nullptr, 65536)) {
    for (const auto& key : List(section.c_str(), 65536)) {
      contents.emplace(Lower(section, key), Read(section.c_str(), key.c_str(), 65536).first);
    }
  }
  return contents;
}

// Names a profile line holds unchanged: no brackets, "=", ";", quotes or line breaks.
std::string PlainName(std::string_view text) {
  std::string name;
  for (char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '.' || c == '-') {
      name += c;
    }
  }
  return name.empty() ? "n" : name;
}

// What reading back a written value gives: blanks trimmed, then one pair of quotes removed.
std::string ReadBack(std::string value) {
  const char* blanks = " \t\v";
  size_t first = value.find_first_not_of(blanks);
  value = first == std::string::npos
              ? ""
              : value.substr(first, value.find_last_not_of(blanks) - first + 1);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseFreshMachineRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::SplitInput(data, size, 4);
  const std::string& text = parts[0];
  FUZZ_CHECK(fuzz::WriteBytes(File(), text), "cannot write the profile file");
  const DWORD small = 1 + static_cast<DWORD>(parts[3].size() % 48);

  List(nullptr, small);
  for (const auto& section : List(nullptr, 65536)) {
    List(section.c_str(), small);
    for (const auto& key : List(section.c_str(), 65536)) {
      auto [whole, wholeCount] = Read(section.c_str(), key.c_str(), 65536);
      auto [cut, cutCount] = Read(section.c_str(), key.c_str(), small);
      FUZZ_CHECK(cut == whole.substr(0, small - 1),
                 "a short buffer got " + fuzz::Shown(cut) + " of " + fuzz::Shown(whole));
      GetPrivateProfileIntA(section.c_str(), key.c_str(), -1, File().c_str());
    }
  }
  Read(parts[1].c_str(), parts[2].c_str(), small);

  // Names holding NUL cannot be named through the API; only a file without one is compared.
  const bool comparable = text.find('\0') == std::string::npos;
  Contents before = comparable ? ReadAll() : Contents{};
  std::string section = PlainName(parts[1]), key = PlainName(parts[2]), value = parts[3];
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  FUZZ_CHECK(
      WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), File().c_str()),
      "a plain write failed");
  std::string expected = ReadBack(value.substr(0, value.find('\0')));
  std::string got = Read(section.c_str(), key.c_str(), 65536).first;
  FUZZ_CHECK(got == expected, "wrote " + fuzz::Shown(value) + " to [" + section + "] " + key +
                                  ", read back " + fuzz::Shown(got) + " from " + fuzz::Shown(text));
  if (comparable) {
    Contents after = ReadAll();
    for (const auto& [name, old] : before) {
      if (name == Lower(section, key)) continue;
      auto it = after.find(name);
      FUZZ_CHECK(it != after.end() && it->second == old,
                 "writing [" + section + "] " + key + " changed [" + name.first + "] " +
                     name.second + " in " + fuzz::Shown(text));
    }
  }
  return 0;
}
