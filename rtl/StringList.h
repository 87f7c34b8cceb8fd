// TStringList: an ordered list of strings with the runtime's rules: an index out of range raises
// EListError, and text splits into lines at CR LF, a lone CR or a lone LF.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace rtl {

class TStringList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const;
  std::string& operator[](int index);
  void Add(std::string line) { items_.push_back(std::move(line)); }
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear() { items_.clear(); }
  int IndexOf(std::string_view line) const;

  // Every line followed by CR LF.
  std::string Text() const;
  // Replaces the list by the lines of text; a final line break adds no empty line.
  void SetText(std::string_view text);

  std::vector<std::string>::const_iterator begin() const { return items_.begin(); }
  std::vector<std::string>::const_iterator end() const { return items_.end(); }

 private:
  void Check(int index) const;
  std::vector<std::string> items_;
};

// Raises EListError "List index out of bounds (%d)" unless 0 <= index < count.
void CheckListIndex(int index, int count);

// The lines of text as TStringList::SetText splits them.
std::vector<std::string> SplitLines(std::string_view text);
// The same lines, read from a stream's start a block at a time and handed to onLine one by one.
void ForEachLine(class TStream& stream, const std::function<void(const std::string&)>& onLine);

}  // namespace rtl
