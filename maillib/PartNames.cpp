#include "maillib/PartNames.h"

#include <map>

#include "maillib/HeaderFields.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The parameters after the value's first token, by lower-cased attribute, values unquoted.
std::map<std::string, std::string> Parameters(std::string_view value) {
  std::map<std::string, std::string> parameters;
  size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;
    size_t equals = value.find_first_of("=;", i);
    if (equals == std::string_view::npos || value[equals] == ';') {
      i = equals;
      continue;
    }
    std::string attribute = rtl::LowerCase(rtl::Trim(value.substr(i, equals - i)));
    i = equals + 1;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    std::string text;
    if (i < value.size() && value[i] == '"') {
      for (++i; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        text += value[i];
      }
      i = value.find(';', i);
    } else {
      size_t end = value.find(';', i);
      text = rtl::Trim(value.substr(i, end == std::string_view::npos ? end : end - i));
      i = end;
    }
    parameters.emplace(std::move(attribute), std::move(text));
  }
  return parameters;
}

// An extended value without its "charset'language'" prefix, percent-decoded.
std::string ExtendedValue(std::string_view text, bool first) {
  if (first) {
    size_t quote = text.find('\'');
    size_t second = quote == std::string_view::npos ? quote : text.find('\'', quote + 1);
    if (second != std::string_view::npos) text.remove_prefix(second + 1);
  }
  return PercentDecoded(text);
}

}  // namespace

std::string ParameterValue(std::string_view headerValue, std::string_view name) {
  const auto parameters = Parameters(headerValue);
  const std::string key = rtl::LowerCase(name);
  if (auto it = parameters.find(key + "*"); it != parameters.end()) {
    return ExtendedValue(it->second, true);
  }
  std::string joined;
  bool continued = false;
  for (int n = 0;; ++n) {
    const std::string section = key + "*" + std::to_string(n);
    if (auto it = parameters.find(section + "*"); it != parameters.end()) {
      joined += ExtendedValue(it->second, n == 0);
    } else if (auto plain = parameters.find(section); plain != parameters.end()) {
      joined += plain->second;
    } else {
      break;
    }
    continued = true;
  }
  if (continued) return joined;
  auto it = parameters.find(key);
  return it == parameters.end() ? "" : DecodePhrase(it->second);
}

std::string PartFileName(std::string_view contentType, std::string_view disposition) {
  std::string name = ParameterValue(contentType, "name");
  if (name.empty()) name = ParameterValue(disposition, "filename");
  return IncomingName(rtl::Trim(name));
}

std::string IncomingName(std::string_view name) {
  const std::string lower = rtl::LowerCase(name);
  if (lower.starts_with("_alt.") || lower == "_htmbody.htm" || lower == "_rtfbody.rtf") {
    return std::string(name.substr(1));
  }
  return std::string(name);
}

}  // namespace maillib
