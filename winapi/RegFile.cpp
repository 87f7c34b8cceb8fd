#include "winapi/RegFile.h"

#include <cctype>
#include <cstdio>

namespace regfile {
namespace {

constexpr size_t kHexBytesPerLine = 25;

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Reads a quoted string at text[0] with the escapes \\ and \"; returns false if unterminated.
bool ReadQuoted(std::string_view text, std::string& out, size_t& used) {
  out.clear();
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out += text[++i];
    } else if (c == '"') {
      used = i + 1;
      return true;
    } else {
      out += c;
    }
  }
  return false;
}

bool RestIsBlankOrComment(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest[0] == ';';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view text, std::string& out) {
  out.clear();
  text = TrimRight(TrimLeft(text));
  if (text.empty()) return true;
  size_t i = 0;
  for (;;) {
    text = TrimLeft(text.substr(i));
    if (text.size() < 2 || HexDigit(text[0]) < 0 || HexDigit(text[1]) < 0) return false;
    out += static_cast<char>(HexDigit(text[0]) * 16 + HexDigit(text[1]));
    text = TrimLeft(text.substr(2));
    if (text.empty()) return true;
    if (text[0] != ',') return false;
    i = 1;
  }
}

// Parses the data after "=" into value; returns an error text, empty on success.
std::string ParseData(std::string_view data, Value& value, bool& isDelete) {
  isDelete = false;
  if (data.starts_with("\"")) {
    size_t used = 0;
    std::string text;
    if (!ReadQuoted(data, text, used)) return "unterminated string";
    if (!RestIsBlankOrComment(data.substr(used))) return "unexpected text after the string";
    value.type = REG_SZ;
    value.data = text + '\0';
    return "";
  }
  if (TrimRight(data) == "-") {
    isDelete = true;
    return "";
  }
  if (data.starts_with("dword:")) {
    auto digits = TrimRight(data.substr(6));
    if (auto semicolon = digits.find(';'); semicolon != std::string_view::npos) {
      digits = TrimRight(digits.substr(0, semicolon));
    }
    // Exactly the eight digits an export writes: a shorter number is a line cut short.
    if (digits.size() != 8) return "a dword needs 8 hex digits";
    DWORD number = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) return "a dword needs 8 hex digits";
      number = number * 16 + static_cast<DWORD>(HexDigit(c));
    }
    value.type = REG_DWORD;
    value.data.assign(reinterpret_cast<const char*>(&number), 4);
    return "";
  }
  if (data.starts_with("hex")) {
    auto rest = data.substr(3);
    value.type = REG_BINARY;
    if (rest.starts_with("(")) {
      auto close = rest.find(')');
      if (close == std::string_view::npos || close == 1) return "bad hex(type)";
      DWORD type = 0;
      for (char c : rest.substr(1, close - 1)) {
        if (HexDigit(c) < 0) return "bad hex(type)";
        type = type * 16 + static_cast<DWORD>(HexDigit(c));
      }
      value.type = type;
      rest = rest.substr(close + 1);
    }
    if (!rest.starts_with(":")) return "expected ':' after hex";
    if (!ParseHexBytes(rest.substr(1), value.data)) return "bad hex bytes";
    return "";
  }
  return "unrecognised value data";
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Windows' limits on names.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

bool HoldsLineBreak(std::string_view name) { return name.find('\r') != std::string_view::npos; }
// Names travel through the API as C strings: one holding a NUL would be cut there and name
// another key or value (a key path cut to its root would delete the whole root).
bool HoldsNul(std::string_view name) { return name.find('\0') != std::string_view::npos; }

// Checks a key path of a key line; returns an error text, empty when the path is sound.
std::string CheckKeyPath(std::string_view path, bool remove) {
  if (HoldsLineBreak(path)) return "a key name cannot hold a line break";
  if (HoldsNul(path)) return "a key name cannot hold a NUL character";
  auto slash = path.find('\\');
  std::string root(path.substr(0, slash));
  for (char& c : root) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (root != "HKEY_LOCAL_MACHINE" && root != "HKEY_CLASSES_ROOT") {
    return "a key must lie under HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT";
  }
  bool below = false;
  while (slash != std::string_view::npos) {
    path = path.substr(slash + 1);
    slash = path.find('\\');
    auto part = path.substr(0, slash);
    if (part.size() > kMaxKeyName) return "a key name is longer than 255 characters";
    below = below || !part.empty();
  }
  // Deleting a whole root would empty the registry, which no single line may do.
  if (remove && !below) return "a root key cannot be deleted";
  return "";
}

bool PlainString(const Value& value) {
  const auto& d = value.data;
  if (value.type != REG_SZ || d.empty() || d.back() != '\0') return false;
  return d.find_first_of(std::string_view("\0\r\n", 3)) == d.size() - 1;
}

}  // namespace

ParseResult Parse(std::string_view text) {
  ParseResult result;
  auto lines = Lines(text);
  auto fail = [&](int line, std::string message) {
    result.errorLine = line;
    result.error = std::move(message);
    result.operations.clear();
    return result;
  };
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    return fail(1, "UTF-16 text is not supported; save the file as REGEDIT4 (ANSI)");
  }
  size_t i = 0;
  while (i < lines.size() && TrimRight(lines[i]).empty()) ++i;
  if (i == lines.size() || (TrimRight(lines[i]) != "REGEDIT4" &&
                            TrimRight(lines[i]) != "Windows Registry Editor Version 5.00")) {
    return fail(i == lines.size() ? 1 : static_cast<int>(i) + 1, "the first line must be REGEDIT4");
  }
  std::string key;
  bool deletedKey = false;
  for (++i; i < lines.size(); ++i) {
    int number = static_cast<int>(i) + 1;
    std::string_view line = TrimRight(TrimLeft(lines[i]));
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail(number, "a key line must end with ']'");
      bool remove = line.size() > 1 && line[1] == '-';
      key = std::string(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)));
      if (key.empty() || key[0] == ' ') return fail(number, "empty or blank key name");
      if (std::string error = CheckKeyPath(key, remove); !error.empty()) return fail(number, error);
      deletedKey = remove;
      result.operations.push_back(
          {remove ? Operation::kDeleteKey : Operation::kCreateKey, key, {}});
      continue;
    }
    if (key.empty()) return fail(number, "a value comes before any key");
    // Hex data continues on the next lines after a trailing ",\".
    std::string joined(line);
    while (joined.size() >= 2 && joined.ends_with(",\\")) {
      joined.pop_back();
      if (++i == lines.size()) return fail(number, "hex data continues past the end");
      joined += TrimRight(TrimLeft(lines[i]));
    }
    Value value;
    size_t equals;
    if (joined[0] == '@') {
      equals = 1;
    } else if (joined[0] == '"') {
      size_t used = 0;
      if (!ReadQuoted(joined, value.name, used)) return fail(number, "unterminated value name");
      if (HoldsLineBreak(value.name)) return fail(number, "a value name cannot hold a line break");
      if (HoldsNul(value.name)) return fail(number, "a value name cannot hold a NUL character");
      if (value.name.size() > kMaxValueName) {
        return fail(number, "a value name is longer than 16383 characters");
      }
      equals = used;
    } else {
      return fail(number, "expected a key in brackets or a value name in quotes");
    }
    auto rest = TrimLeft(std::string_view(joined).substr(equals));
    if (rest.empty() || rest[0] != '=') return fail(number, "expected '=' after the value name");
    bool isDelete = false;
    std::string error = ParseData(TrimLeft(rest.substr(1)), value, isDelete);
    if (!error.empty()) return fail(number, error);
    if (deletedKey) continue;
    result.operations.push_back(
        {isDelete ? Operation::kDeleteValue : Operation::kSetValue, key, std::move(value)});
  }
  return result;
}

std::string Header() { return "REGEDIT4\r\n\r\n"; }

std::string FormatValue(const Value& value) {
  std::string line = value.name.empty() ? "@=" : "\"" + Escape(value.name) + "\"=";
  if (PlainString(value))
    return line + "\"" + Escape(value.data.substr(0, value.data.size() - 1)) + "\"\r\n";
  if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD number;
    value.data.copy(reinterpret_cast<char*>(&number), 4);
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x", number);
    return line + digits + "\r\n";
  }
  char prefix[32];
  if (value.type == REG_BINARY) {
    std::snprintf(prefix, sizeof prefix, "hex:");
  } else {
    std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
  }
  line += prefix;
  for (size_t i = 0; i < value.data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value.data[i]));
    line += byte;
    if (i + 1 < value.data.size()) line += (i + 1) % kHexBytesPerLine == 0 ? ",\\\r\n  " : ",";
  }
  return line + "\r\n";
}

std::string FormatKey(std::string_view path, const std::vector<Value>& values) {
  std::string out = "[" + std::string(path) + "]\r\n";
  for (const auto& value : values) out += FormatValue(value);
  return out + "\r\n";
}

}  // namespace regfile
