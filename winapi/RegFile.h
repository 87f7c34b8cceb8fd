// The REGEDIT4 text form of registry keys and values: the registry hive is kept in it, and
// `larkctl reg` imports and exports it. Parsing is strict: a line it cannot read is reported
// with its number rather than skipped, so no value is ever silently lost.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winapi/winapi.h"

namespace regfile {

struct Value {
  std::string name;  // empty for the default value
  DWORD type = REG_NONE;
  std::string data;  // the raw bytes
};

struct Operation {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind;
  std::string key;  // full path as written, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\Quobex
  Value value;
};

struct ParseResult {
  std::vector<Operation> operations;
  int errorLine = 0;  // 0 when the text parsed
  std::string error;
};

ParseResult Parse(std::string_view text);

// "REGEDIT4" and a blank line.
std::string Header();
// One key block: "[path]", its values, a blank line; CR LF line ends.
std::string FormatKey(std::string_view path, const std::vector<Value>& values);
std::string FormatValue(const Value& value);

}  // namespace regfile
