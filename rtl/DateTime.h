// Local date and time as the runtime keeps it: TDateTime counts days since 1899-12-30, the time
// of day as the fraction. FormatDateTime knows the patterns the system prints.
#pragma once

#include <string>
#include <string_view>

#include "winapi/winapi.h"

namespace rtl {

using TDateTime = double;

inline constexpr double kSecondsPerDay = 86400.0;

TDateTime Now();
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TDateTime SystemTimeToDateTime(const SYSTEMTIME& time);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);

// yyyy, yy, mmmm (month name), mmm, mm, m, dd, d, hh, h, nn, n, ss, s, zzz, "/" (date
// separator), ":" (time separator) and quoted literals; an m right after an h stands for minutes.
std::string FormatDateTime(std::string_view format, TDateTime value);

}  // namespace rtl
