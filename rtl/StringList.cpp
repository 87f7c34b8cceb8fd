#include "rtl/StringList.h"

#include "rtl/Exception.h"
#include "rtl/Streams.h"
#include "rtl/SysUtils.h"

namespace rtl {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

void ForEachLine(TStream& stream, const std::function<void(const std::string&)>& onLine) {
  stream.SetPosition(0);
  std::string line;
  bool afterCr = false;  // a CR ended the last line: an LF right after it belongs to that break
  char block[16384];
  for (size_t got; (got = stream.Read(block, sizeof block)) > 0;) {
    for (size_t i = 0; i < got; ++i) {
      char c = block[i];
      if (afterCr && c == '\n') {
        afterCr = false;
        continue;
      }
      afterCr = c == '\r';
      if (c == '\r' || c == '\n') {
        onLine(line);
        line.clear();
      } else {
        line += c;
      }
    }
  }
  if (!line.empty()) onLine(line);
}

void CheckListIndex(int index, int count) {
  if (index < 0 || index >= count) throw EListError(Format(SListIndexError, index));
}

void TStringList::Check(int index) const { CheckListIndex(index, Count()); }

const std::string& TStringList::operator[](int index) const {
  Check(index);
  return items_[static_cast<size_t>(index)];
}

std::string& TStringList::operator[](int index) {
  Check(index);
  return items_[static_cast<size_t>(index)];
}

void TStringList::Insert(int index, std::string line) {
  if (index < 0 || index > Count()) throw EListError(Format(SListIndexError, index));
  items_.insert(items_.begin() + index, std::move(line));
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(std::string_view line) const {
  for (int i = 0; i < Count(); ++i) {
    if (items_[static_cast<size_t>(i)] == line) return i;
  }
  return -1;
}

std::string TStringList::Text() const {
  std::string text;
  for (const auto& line : items_) text += line + "\r\n";
  return text;
}

void TStringList::SetText(std::string_view text) { items_ = SplitLines(text); }

}  // namespace rtl
