// File name helpers. Code builds paths with PathDelim, never a literal separator.
#pragma once

#include <string>
#include <string_view>

#include "winapi/winapi.h"

namespace rtl {

inline constexpr char PathDelim = LARK_PATH_DELIM;
// Every character that ends the directory part of a path: Windows takes "/" and a drive's ":" too.
inline constexpr std::string_view PathDelims = LARK_PATH_DELIMS;

// The name after the last delimiter.
std::string ExtractFileName(std::string_view path);
// Everything up to and including the last delimiter.
std::string ExtractFilePath(std::string_view path);
// Replaces the extension (everything from a "." after the last delimiter) by ext, which starts
// with "."; a name without such a "." gets ext appended.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// Puts the directory's entries (files made, renamed or removed in it) on the disk. False with
// the reason in GetLastError.
bool FlushDirectory(const std::string& dir);

}  // namespace rtl
