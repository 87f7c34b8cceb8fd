#include "rtl/DateTime.h"

#include <cmath>
#include <cstdio>

namespace rtl {
namespace {

constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2));
}

const long long kEpochOffset = DaysFromCivil(1899, 12, 30);

// Splits a value into whole days and milliseconds of the day, rounded to the millisecond.
void Split(TDateTime value, long long& days, long long& ms) {
  long long total = std::llround(value * kSecondsPerDay * 1000.0);
  days = total >= 0 ? total / 86400000 : -((-total + 86399999) / 86400000);
  ms = total - days * 86400000;
}

std::string Pad(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

size_t RunLength(std::string_view format, size_t i) {
  size_t n = 1;
  char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
  while (i + n < format.size() && std::tolower(static_cast<unsigned char>(format[i + n])) == c) {
    ++n;
  }
  return n;
}

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
  return static_cast<double>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochOffset);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  return ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + millisecond) /
         (kSecondsPerDay * 1000.0);
}

TDateTime SystemTimeToDateTime(const SYSTEMTIME& time) {
  return EncodeDate(time.wYear, time.wMonth, time.wDay) +
         EncodeTime(time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
}

TDateTime Now() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return SystemTimeToDateTime(now);
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  long long days, ms;
  Split(value, days, ms);
  CivilFromDays(days + kEpochOffset, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  long long days, ms;
  Split(value, days, ms);
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  millisecond = static_cast<int>(ms % 1000);
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  int year, month, day, hour, minute, second, millisecond;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, millisecond);
  std::string out;
  bool afterHour = false;
  for (size_t i = 0; i < format.size();) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    size_t n = RunLength(format, i);
    switch (c) {
      case 'y':
        out += n <= 2 ? Pad(year % 100, 2) : Pad(year, 4);
        break;
      case 'm':
        if (afterHour && n <= 2) {
          out += Pad(minute, static_cast<int>(n));
        } else if (n >= 4) {
          out += kMonthNames[month - 1];
        } else if (n == 3) {
          out += std::string(kMonthNames[month - 1]).substr(0, 3);
        } else {
          out += Pad(month, static_cast<int>(n));
        }
        break;
      case 'd':
        out += Pad(day, static_cast<int>(std::min<size_t>(n, 2)));
        break;
      case 'h':
        out += Pad(hour, static_cast<int>(std::min<size_t>(n, 2)));
        break;
      case 'n':
        out += Pad(minute, static_cast<int>(std::min<size_t>(n, 2)));
        break;
      case 's':
        out += Pad(second, static_cast<int>(std::min<size_t>(n, 2)));
        break;
      case 'z':
        out += Pad(millisecond, n >= 3 ? 3 : 1);
        break;
      case '"':
      case '\'': {
        auto close = format.find(format[i], i + 1);
        out += format.substr(i + 1, close == std::string_view::npos ? close : close - i - 1);
        i = close == std::string_view::npos ? format.size() : close + 1;
        continue;
      }
      default:
        out.append(n, format[i]);  // "/", ":" and any other character stand for themselves
        i += n;
        continue;
    }
    afterHour = c == 'h';
    i += n;
  }
  return out;
}

}  // namespace rtl
