#include "tools/larkq/SubmittedMessage.h"

#include <algorithm>
#include <cstddef>

#include "maillib/HeaderFields.h"
#include "maillib/HeaderText.h"
#include "rtl/StringList.h"
#include "rtl/SysUtils.h"

namespace larkq {

TSubmittedMessage TSubmittedMessage::Split(std::string_view text) {
  TSubmittedMessage message;
  std::vector<std::string> lines = rtl::SplitLines(text);
  size_t i = !lines.empty() && lines[0].starts_with("From ") ? 1 : 0;
  // Indented lines before the first field are a misplaced fold, as readers take them, not a body.
  size_t first = i;
  while (first < lines.size() && maillib::IsContinuationLine(lines[first])) ++first;
  const bool foldFirst = first < lines.size() && maillib::IsHeaderFieldLine(lines[first]);
  for (; i < lines.size(); ++i) {
    const bool continues =
        (message.Headers.Count() > 0 || foldFirst) && maillib::IsContinuationLine(lines[i]);
    if (!continues && !maillib::IsHeaderFieldLine(lines[i])) break;
    // Relays refuse a line over 998 characters: a longer field is folded at its blanks, which
    // readers undo; one without a blank to fold at stays as it is rather than lose text.
    std::vector<std::string> folded = maillib::FoldLongHeaderLine(lines[i]);
    size_t length = 0;
    for (const auto& piece : folded) length += piece.size();
    if (length != lines[i].size()) folded = {std::move(lines[i])};
    for (auto& piece : folded) message.Headers.Add(std::move(piece));
  }
  if (i < lines.size() && lines[i].empty()) ++i;
  message.Body.assign(std::make_move_iterator(lines.begin() + static_cast<std::ptrdiff_t>(i)),
                      std::make_move_iterator(lines.end()));
  return message;
}

std::vector<std::string> TSubmittedMessage::Lines() && {
  std::vector<std::string> lines(Headers.begin(), Headers.end());
  lines.reserve(lines.size() + 1 + Body.size());
  lines.emplace_back();
  for (auto& line : Body) lines.push_back(std::move(line));
  return lines;
}

std::string TSubmittedMessage::Value(std::string_view name) const {
  const std::vector<std::string> values = maillib::RawFieldValues(Headers, name);
  return values.empty() ? "" : rtl::Trim(values.front());
}

bool TSubmittedMessage::Has(std::string_view name) const {
  for (const auto& line : Headers) {
    if (maillib::IsField(line, name)) return true;
  }
  return false;
}

bool TSubmittedMessage::Resent() const {
  for (const auto& line : Headers) {
    if (maillib::IsHeaderFieldLine(line) && rtl::UpperCase(line.substr(0, 7)) == "RESENT-") {
      return true;
    }
  }
  return false;
}

void TSubmittedMessage::RewriteFields(std::initializer_list<std::string_view> names,
                                      const std::function<std::string(std::string_view)>& rewrite) {
  maillib::TmsHeaders rewritten;
  for (int i = 0; i < Headers.Count(); ++i) {
    const std::string& line = Headers[i];
    const bool named = std::any_of(names.begin(), names.end(), [&](std::string_view name) {
      return maillib::IsField(line, name);
    });
    if (!named) {
      rewritten.Add(line);
      continue;
    }
    const size_t colon = line.find(':') + 1;
    std::string value = line.substr(colon);
    while (i + 1 < Headers.Count() && maillib::IsContinuationLine(Headers[i + 1])) {
      value += "\n" + Headers[++i];
    }
    std::vector<std::string> lines = rtl::SplitLines(line.substr(0, colon) + rewrite(value));
    for (auto& piece : lines) rewritten.Add(std::move(piece));
  }
  Headers = std::move(rewritten);
}

}  // namespace larkq
