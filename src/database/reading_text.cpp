#include "database/reading_text.h"

#include <fmt/format.h>

#include <chrono>

#include "core/dates.h"

namespace tagvane {

std::string StdTimeOf(DateTime t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> hms{floor<seconds>(t - day)};
  std::string text = fmt::format("{:04d}-{:02d}-{:02d}", static_cast<int>(ymd.year()),
                                 static_cast<unsigned>(ymd.month()),
                                 static_cast<unsigned>(ymd.day()));
  const long h = hms.hours().count(), m = hms.minutes().count(), s = hms.seconds().count();
  // The standard text of a date-time at exactly midnight has no time part.
  if (h != 0 || m != 0 || s != 0) text += fmt::format(" {:02d}:{:02d}:{:02d}", h, m, s);
  return text;
}

std::string StdTime(std::string_view text, DateTime now) {
  const std::optional<DateTime> parsed = ParseDate(text);
  return StdTimeOf(parsed ? *parsed : now);
}

std::optional<std::string> ReadingTableName(std::string_view tag_id) {
  if (tag_id.size() != 4) return std::nullopt;
  for (char c : tag_id) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!ok) return std::nullopt;
  }
  return "tbl" + std::string(tag_id);
}

std::string PrintableTagId(std::string_view tag_id) {
  std::string out;
  for (char c : tag_id) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F && c != '\\') {
      out += c;
    } else {
      out += fmt::format("\\x{:02X}", u);
    }
  }
  return out;
}

}  // namespace tagvane
