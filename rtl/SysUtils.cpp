#include "rtl/SysUtils.h"

#include <cstdarg>
#include <cstdio>

#include "rtl/Exception.h"
#include "winapi/winapi.h"

namespace rtl {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

std::string TrimLeft(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  return std::string(text.substr(first));
}

std::string TrimRight(std::string_view text) {
  size_t last = text.size();
  while (last > 0 && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return std::string(text.substr(0, last));
}

std::string Trim(std::string_view text) { return TrimLeft(TrimRight(text)); }

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string IntToStr(long long value) { return std::to_string(value); }

std::string SysErrorMessage(unsigned long code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  if (length == 0) return "System error " + std::to_string(code) + ".";
  return TrimRight(std::string_view(text, length));
}

namespace {

bool TryStrToInt(std::string_view text, int& result) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return false;
  unsigned long long value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFULL) return false;
  }
  if (hex) {
    // Hexadecimal covers all 32 bits: $FFFFFFFF is -1.
    auto bits = static_cast<int>(static_cast<unsigned>(value));
    result = negative ? -bits : bits;
    return true;
  }
  if (value > (negative ? 2147483648ULL : 2147483647ULL)) return false;
  result =
      static_cast<int>(negative ? -static_cast<long long>(value) : static_cast<long long>(value));
  return true;
}

}  // namespace

int StrToInt(std::string_view text) {
  int result;
  if (!TryStrToInt(text, result)) {
    throw EConvertError(Format(SInvalidInteger, std::string(text).c_str()));
  }
  return result;
}

int StrToIntDef(std::string_view text, int fallback) {
  int result;
  return TryStrToInt(text, result) ? result : fallback;
}

int ProfileStrToInt(std::string_view text, int fallback) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return StrToIntDef("$" + std::string(text.substr(2)), fallback);
  }
  return StrToIntDef(text, fallback);
}

std::string BoundedString(std::string_view text) {
  return std::string(text.substr(0, kShortStringLength));
}

}  // namespace rtl
