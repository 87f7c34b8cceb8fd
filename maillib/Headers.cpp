#include "maillib/Headers.h"

#include "maillib/codecs.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

constexpr char kProtectedComma = '\xFF';

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() &&
         rtl::UpperCase(line.substr(0, prefix.size())) == rtl::UpperCase(prefix);
}

bool IsContinuation(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string WithColon(std::string_view name) {
  std::string field(name);
  if (field.empty() || field.back() != ':') field += ':';
  return field;
}

}  // namespace

std::string TmsHeaders::GetFieldValue(std::string_view name) const {
  std::string field = WithColon(name);
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = (*this)[i];
    if (!StartsWithNoCase(line, field)) continue;
    std::string value = rtl::Trim(std::string_view(line).substr(line.find(':') + 1));
    for (int j = i + 1; j < Count() && IsContinuation((*this)[j]); ++j) {
      value += " " + rtl::Trim((*this)[j]);
    }
    std::string upper = rtl::UpperCase(field);
    if (upper == "CONTENT-TYPE:" || upper == "X-UIDL:" || upper == "REFERENCES:") return value;
    return DecodeEncodedWords(value);
  }
  return "";
}

void TmsHeaders::GetFieldValues(std::string_view name, rtl::TStringList& target) const {
  target.Clear();
  auto addItem = [&target](std::string_view piece) {
    target.Add(DecodeEncodedWords(rtl::Trim(piece)));
  };
  int i = 0;
  while (i < Count()) {
    const std::string& first = (*this)[i];
    if (!StartsWithNoCase(first, name)) {
      ++i;
      continue;
    }
    size_t colon = first.find(':');
    if (colon == std::string::npos) break;
    std::string text = first.substr(std::min(colon + 2, first.size()));
    bool quoted = false;
    for (char& c : text) {
      if (c == '"') quoted = !quoted;
      if (c == ',' && quoted) c = kProtectedComma;
    }
    // The field's first line, then its following lines as long as they hold no colon.
    for (;;) {
      size_t start = 0;
      for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
        addItem(std::string_view(text).substr(start, comma - start));
      }
      std::string rest = rtl::Trim(std::string_view(text).substr(start));
      if (!rest.empty()) addItem(rest);
      if (++i >= Count() || (*this)[i].find(':') != std::string::npos) break;
      text = (*this)[i];
    }
  }
  for (int k = 0; k < target.Count(); ++k) {
    for (char& c : target[k]) {
      if (c == kProtectedComma) c = ',';
    }
  }
}

void TmsHeaders::RemoveField(std::string_view name) {
  std::string field = WithColon(name);
  for (int i = 0; i < Count(); ++i) {
    if (!StartsWithNoCase((*this)[i], field)) continue;
    Delete(i);
    while (i < Count() && IsContinuation((*this)[i])) Delete(i);
    return;
  }
}

void TmsHeaders::RemoveXFields() {
  for (int i = 0; i < Count();) {
    if (!StartsWithNoCase((*this)[i], "X-")) {
      ++i;
      continue;
    }
    Delete(i);
    while (i < Count() && IsContinuation((*this)[i])) Delete(i);
  }
}

std::string GetHeaderParam(std::string_view param, std::string_view value) {
  std::string upperValue = rtl::UpperCase(value);
  size_t at = upperValue.find(rtl::UpperCase(param));
  if (at == std::string::npos || param.empty()) return "";
  std::string text = rtl::Trim(value.substr(std::min(at + param.size() + 1, value.size())));
  std::string result;
  if (!text.empty() && text[0] == '"') {
    size_t close = text.find('"', 1);
    result = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    result = text.substr(0, text.find(' '));
  }
  if (!result.empty() && result.back() == ';') result.pop_back();
  return rtl::Trim(result);
}

std::string FirstToken(std::string_view value) {
  return rtl::Trim(value.substr(0, value.find_first_of(" ;")));
}

}  // namespace maillib
