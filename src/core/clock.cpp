#include "core/clock.h"

#include <ctime>

namespace tagvane {

float SecondsSinceMidnight(DateTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const auto ms = std::chrono::duration_cast<Milliseconds>(t - day).count();
  return static_cast<float>(static_cast<double>(ms) / 1000.0);
}

DateTime MakeDateTime(int year, int month, int day, int hour, int minute, int second,
                      int millisecond) {
  using namespace std::chrono;
  const local_days d{year_month_day{std::chrono::year{year},
                                    std::chrono::month{static_cast<unsigned>(month)},
                                    std::chrono::day{static_cast<unsigned>(day)}}};
  return DateTime{d} + hours{hour} + minutes{minute} + seconds{second} +
         Milliseconds{millisecond};
}

DateTime SystemClock::Now() const {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t tt = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&tt, &tm);
  const auto ms = duration_cast<Milliseconds>(now.time_since_epoch()).count() % 1000;
  return MakeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                      tm.tm_sec, static_cast<int>(ms));
}

}  // namespace tagvane
