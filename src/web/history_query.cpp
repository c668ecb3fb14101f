#include "web/history_query.h"

#include <cctype>
#include <charconv>

#include "core/app.h"
#include "core/text.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

// "+hh:mm", "-hh:mm" or " hh:mm" (a "+" decoded from a query is a blank)
// at the end of an ISO time: the offset east of UTC, else nullopt.
std::optional<std::chrono::minutes> TrailingOffset(std::string_view s) {
  if (s.size() < 17 || s.find('T') == std::string_view::npos) return std::nullopt;
  const std::string_view tail = s.substr(s.size() - 6);
  const char sign = tail[0];
  if ((sign != '+' && sign != '-' && sign != ' ') || tail[3] != ':') return std::nullopt;
  for (size_t i : {1, 2, 4, 5}) {
    if (!std::isdigit(static_cast<unsigned char>(tail[i]))) return std::nullopt;
  }
  const int h = (tail[1] - '0') * 10 + (tail[2] - '0');
  const int m = (tail[4] - '0') * 10 + (tail[5] - '0');
  if (h > 14 || m > 59) return std::nullopt;
  const std::chrono::minutes offset{h * 60 + m};
  return sign == '-' ? -offset : offset;
}

std::optional<int> WholeNumber(std::string_view s) {
  int v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

bool PlainOwn(App& app, const std::string& code) {
  return code.size() == 16 && code.compare(0, 6, kCodeFill) == 0 &&
         EqualsNoCase(std::string_view(code).substr(6, 6), app.State().ReceiverCode);
}

}  // namespace

std::optional<DateTime> ParseHistoryTime(std::string_view text) {
  std::string_view s = TrimSpaces(text);
  if (s.size() > 40) return std::nullopt;
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) {
    const auto d = ParseDate(s.substr(0, s.size() - 1));
    if (!d || s.find('T') == std::string_view::npos) return std::nullopt;
    return UtcToLocal(UtcTime{d->time_since_epoch()});
  }
  if (const auto offset = TrailingOffset(s)) {
    const auto d = ParseDate(s.substr(0, s.size() - 6));
    if (!d) return std::nullopt;
    return UtcToLocal(UtcTime{d->time_since_epoch() - *offset});
  }
  return ParseDate(s);
}

DevicePtr FindHistoryDevice(App& app, std::string_view text) {
  const std::string_view t = TrimSpaces(text);
  if (t.empty()) return nullptr;
  SharedTables& tables = app.Tables();
  if (const DevicePtr* d = tables.TagTable.Find(t); d && *d) return *d;
  if (const DevicePtr* d = tables.DeviceTable.Find(t); d && *d) return *d;
  if (t.size() != 4) return nullptr;
  DevicePtr any;
  for (const auto& [code, device] : tables.DeviceTable) {
    if (!device || !EqualsNoCase(Right(code, 4), t)) continue;
    if (PlainOwn(app, code)) return device;
    if (!any) any = device;
  }
  return any;
}

std::variant<HistoryAsk, HistoryAskError> ReadHistoryAsk(App& app, const HistoryParam& param) {
  HistoryAsk ask;
  ask.tag_text = std::string(TrimSpaces(param("tag")));
  if (ask.tag_text.empty())
    return HistoryAskError{"tag is required (a name, code or identifier)", "tag"};
  ask.device = FindHistoryDevice(app, ask.tag_text);
  if (!ask.device) {
    return HistoryAskError{"no tag is named or coded \"" + ask.tag_text + "\"", "tag"};
  }
  std::chrono::hours span = kDefaultHistorySpan;
  if (const std::string hours = param("hours"); !hours.empty()) {
    const auto h = WholeNumber(TrimSpaces(hours));
    if (!h || *h < 1 || *h > kLongestHistorySpan.count()) {
      return HistoryAskError{
          "hours must be a whole number from 1 to " + std::to_string(kLongestHistorySpan.count()),
          "hours"};
    }
    span = std::chrono::hours{*h};
  }
  DateTime to = app.GetClock().Now();
  for (const char* name : {"to", "from"}) {
    const std::string text = param(name);
    if (text.empty()) continue;
    const auto d = ParseHistoryTime(text);
    if (!d) {
      return HistoryAskError{std::string(name) +
                                 " must be a date \"dd/MM/yyyy HH:mm:ss\" or ISO 8601 "
                                 "(2026-12-05T14:00:00, with Z for UTC)",
                             name};
    }
    (name[0] == 't' ? to : ask.query.from) = *d;
  }
  if (param("from").empty()) ask.query.from = to - span;
  if (ask.query.from >= to) return HistoryAskError{"from must be before to", "from"};
  if (to - ask.query.from > kLongestHistorySpan) {
    return HistoryAskError{
        "the window may be at most " + std::to_string(kLongestHistorySpan.count() / 24) + " days",
        "from"};
  }
  ask.query.to = to;
  ask.query.tag_id = std::string(Right(ask.device->DC(), 4));
  ask.query.max_readings = kMaxHistoryReadings;
  return ask;
}

void CapReadings(HistoryResult& result, size_t max) {
  auto& r = result.readings;
  if (result.readings_in_window < r.size()) result.readings_in_window = r.size();
  if (max == 0 || r.size() <= max) return;
  const size_t n = r.size();
  if (max == 1) {
    r.resize(1);
  } else {
    // Position i of the kept ones is reading i * (n - 1) / (max - 1): the
    // positions only grow, so the copy can run in place.
    for (size_t i = 0; i < max; ++i) r[i] = r[i * (n - 1) / (max - 1)];
    r.resize(max);
  }
  result.thinned = true;
}

std::string QueryEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string IsoUtcFormatter::operator()(DateTime t) {
  const DateTime hour = std::chrono::floor<std::chrono::hours>(t);
  if (!known_ || hour != hour_) {
    hour_ = hour;
    offset_ = LocalToUtc(hour).time_since_epoch() - hour.time_since_epoch();
    known_ = true;
  }
  return FormatIsoUtc(UtcTime{t.time_since_epoch() + offset_});
}

bool HistoryAsker::Ask(HistorySource& source, const HistoryQuery& query, Done done) {
  if (*waiting_ >= kMaxWaiting) return false;
  ++*waiting_;
  std::weak_ptr<int> waiting = waiting_;
  const size_t max = query.max_readings;
  source.LoadHistory(query, [waiting, max, done = std::move(done)](HistoryResult result) {
    const std::shared_ptr<int> count = waiting.lock();
    if (!count) return;
    --*count;
    CapReadings(result, max);
    done(std::move(result));
  });
  return true;
}

}  // namespace tagvane
