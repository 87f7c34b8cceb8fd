#include "fuzz/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "testing/TempDir.h"

namespace fuzz {

void Fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n==== fuzz check failed at %s:%d\n%s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Shown(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + "\"";
}

const std::string& UseFreshMachineRoot() {
  // Removed at an orderly exit; after a crash it is left in the scratch directory that
  // scripts/fuzz gives as TMPDIR and removes.
  static testing_support::MachineRoot root;
  return root.Path();
}

std::vector<std::string> SplitInput(const uint8_t* data, size_t size, size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  while (parts.size() + 1 < count) {
    size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) break;
    parts.emplace_back(rest.substr(0, nul));
    rest.remove_prefix(nul + 1);
  }
  parts.emplace_back(rest);
  parts.resize(count);
  return parts;
}

bool WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace fuzz
