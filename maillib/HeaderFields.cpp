#include "maillib/HeaderFields.h"

#include <algorithm>
#include <regex>

#include "maillib/HeaderText.h"
#include "maillib/codecs.h"
#include "rtl/Exception.h"
#include "rtl/SysUtils.h"

namespace maillib {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The field name of a field line, with the blanks that obsolete syntax allows before the colon.
std::string_view FieldName(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
  for (unsigned char c : name) {
    if (c < 33 || c > 126) return {};
  }
  return name;
}

// The text of one encoded word as UTF-8, whose encoding letter may be of either case (RFC 2047
// 2); a Base64 text that does not decode, or a charset that cannot be converted, keeps the word
// as it stands.
std::string DecodedWord(const std::string& word, const std::string& charset, char letter,
                        std::string text) {
  if (letter == 'Q' || letter == 'q') {
    std::replace(text.begin(), text.end(), '_', ' ');
    return CharsetToUtf8(charset, DecodeQWord(text)).value_or(word);
  }
  try {
    return CharsetToUtf8(charset, Base64DecodeLine(text)).value_or(word);
  } catch (const rtl::EInOutError&) {
    return word;
  }
}

}  // namespace

bool IsHeaderFieldLine(std::string_view line) { return !FieldName(line).empty(); }

bool IsContinuationLine(std::string_view line) { return !line.empty() && IsBlank(line[0]); }

bool IsField(std::string_view line, std::string_view name) {
  std::string_view field = FieldName(line);
  return !field.empty() && rtl::UpperCase(field) == rtl::UpperCase(name);
}

std::vector<std::string> RawFieldValues(const TmsHeaders& headers, std::string_view name) {
  std::vector<std::string> values;
  for (int i = 0; i < headers.Count(); ++i) {
    if (!IsField(headers[i], name)) continue;
    const std::string& line = headers[i];
    std::string value = rtl::Trim(std::string_view(line).substr(line.find(':') + 1));
    while (i + 1 < headers.Count() && IsContinuationLine(headers[i + 1])) {
      value += " " + rtl::Trim(headers[++i]);
    }
    values.push_back(std::move(value));
  }
  return values;
}

TmsHeaders WithoutFields(const TmsHeaders& headers, std::initializer_list<const char*> names) {
  TmsHeaders kept;
  bool dropping = false;
  for (const std::string& line : headers) {
    if (!IsContinuationLine(line)) {
      dropping = false;
      for (const char* name : names) dropping = dropping || IsField(line, name);
    }
    if (!dropping) kept.Add(line);
  }
  return kept;
}

std::string DecodePhrase(std::string_view text) {
  static const std::regex word(R"(=\?([^?\s]+)\?([BbQq])\?([^?\s]*)\?=)");
  std::string out;
  auto rest = text.begin();
  bool afterWord = false;
  for (std::regex_iterator<std::string_view::const_iterator> it(text.begin(), text.end(), word),
       end;
       it != end; ++it) {
    std::string_view gap(rest, (*it)[0].first);
    bool onlyBlanks = gap.find_first_not_of(" \t") == std::string_view::npos;
    if (!(afterWord && onlyBlanks)) out += gap;
    out += DecodedWord((*it)[0].str(), (*it)[1].str(), *(*it)[2].first, (*it)[3].str());
    rest = (*it)[0].second;
    afterWord = true;
  }
  out.append(rest, text.end());
  return out;
}

}  // namespace maillib
