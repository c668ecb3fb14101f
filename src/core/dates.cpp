#include "core/dates.h"

#include <fmt/format.h>

#include <cctype>
#include <ctime>

#include "core/text.h"

namespace tagvane {
namespace {

struct Parts {
  int year, month, day, hour, minute, second;
  unsigned weekday;  // 0 = Sunday
};

Parts Split(DateTime t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<Milliseconds> hms{t - day};
  const weekday wd{day};
  return Parts{static_cast<int>(ymd.year()),
               static_cast<int>(static_cast<unsigned>(ymd.month())),
               static_cast<int>(static_cast<unsigned>(ymd.day())),
               static_cast<int>(hms.hours().count()),
               static_cast<int>(hms.minutes().count()),
               static_cast<int>(hms.seconds().count()),
               wd.c_encoding()};
}

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Reads up to max_digits digits at pos; false when there is none.
bool ReadInt(std::string_view s, size_t& pos, int max_digits, int& out) {
  int n = 0, v = 0;
  while (pos < s.size() && n < max_digits && std::isdigit(static_cast<unsigned char>(s[pos]))) {
    v = v * 10 + (s[pos] - '0');
    ++pos;
    ++n;
  }
  out = v;
  return n > 0;
}

bool Expect(std::string_view s, size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

bool ValidDay(int y, int m, int d) {
  using namespace std::chrono;
  if (m < 1 || m > 12 || d < 1 || y < 100 || y > 9999) return false;
  return year_month_day{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}}
      .ok();
}

}  // namespace

std::string FormatGeneralDate(DateTime t) {
  const Parts p = Split(t);
  return fmt::format("{:02}/{:02}/{:04} {:02}:{:02}:{:02}", p.day, p.month, p.year, p.hour,
                     p.minute, p.second);
}

std::string FormatMediumDate(DateTime t) {
  const Parts p = Split(t);
  return fmt::format("{:02}-{}-{:02}", p.day, kMonths[p.month - 1], p.year % 100);
}

std::string FormatTimeOfDay(DateTime t) {
  const Parts p = Split(t);
  const int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
  return fmt::format("{}:{:02}:{:02} {}", h12, p.minute, p.second, p.hour < 12 ? "AM" : "PM");
}

std::string FormatHttpDate(DateTime t) {
  const Parts p = Split(t);
  return fmt::format("{}, {:02} {} {:04} {:02}:{:02}:{:02} GMT", kDays[p.weekday], p.day,
                     kMonths[p.month - 1], p.year, p.hour, p.minute, p.second);
}

std::optional<DateTime> ParseDate(std::string_view text) {
  const std::string_view s = TrimSpaces(text);
  size_t pos = 0;
  int a = 0, b = 0, c = 0;
  int year = 0, month = 0, day = 0;
  if (!ReadInt(s, pos, 4, a)) return std::nullopt;
  if (pos == 4 && Expect(s, pos, '-')) {
    year = a;
    if (!ReadInt(s, pos, 2, month) || !Expect(s, pos, '-') || !ReadInt(s, pos, 2, day)) {
      return std::nullopt;
    }
  } else {
    if (!Expect(s, pos, '/') || !ReadInt(s, pos, 2, b) || !Expect(s, pos, '/') ||
        !ReadInt(s, pos, 4, c)) {
      return std::nullopt;
    }
    day = a;
    month = b;
    year = c;
  }
  if (!ValidDay(year, month, day)) return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (pos < s.size()) {
    if (s[pos] != ' ' && s[pos] != 'T') return std::nullopt;
    ++pos;
    if (!ReadInt(s, pos, 2, hour) || !Expect(s, pos, ':') || !ReadInt(s, pos, 2, minute)) {
      return std::nullopt;
    }
    if (Expect(s, pos, ':') && !ReadInt(s, pos, 2, second)) return std::nullopt;
    if (pos < s.size()) {
      const std::string_view rest = TrimSpaces(s.substr(pos));
      if (EqualsNoCase(rest, "PM")) {
        if (hour < 12) hour += 12;
      } else if (EqualsNoCase(rest, "AM")) {
        if (hour == 12) hour = 0;
      } else {
        return std::nullopt;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  }
  return MakeDateTime(year, month, day, hour, minute, second);
}

std::string FormatIsoUtc(DateTime t) {
  const Parts p = Split(t);
  std::tm local{};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;  // the zone's rule for that date
  const std::time_t seconds = std::mktime(&local);
  std::tm utc{};
  if (seconds == static_cast<std::time_t>(-1) || !gmtime_r(&seconds, &utc)) return {};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

}  // namespace tagvane
