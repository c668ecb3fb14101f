#include "web/history_svg.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "web/html_escape.h"

namespace tagvane {
namespace {

using std::chrono::seconds;

// Drawing units; the element scales to the page width.
constexpr double kWidth = 640, kHeight = 286;
constexpr double kLeft = 44, kRight = 630, kTop = 10, kBottom = 204;
constexpr double kBandTop = 214, kBandHeight = 22;
constexpr double kLabelLine = 260;
// At most this many time labels fit a phone's width.
constexpr int kMaxLabels = 6;
// A pause longer than this (or than 1/120 of the window) breaks the line.
constexpr seconds kShortestGap{60};

constexpr std::array<int64_t, 16> kSteps = {60,    120,   300,   600,    900,    1800,
                                            3600,  7200,  10800, 21600,  43200,  86400,
                                            172800, 345600, 604800, 2419200};
constexpr std::array<int, 12> kScales = {10, 20, 50, 100, 150, 200, 250, 300, 400, 500, 750, 1000};

struct Frame {
  DateTime from;
  double ms_span;
  double X(DateTime t) const {
    const double f = static_cast<double>((t - from).count()) / ms_span;
    return kLeft + std::clamp(f, 0.0, 1.0) * (kRight - kLeft);
  }
};

void Put(std::string& out, std::string_view s) { out.append(s); }

template <typename... Args>
void Out(std::string& out, fmt::format_string<Args...> f, Args&&... args) {
  fmt::format_to(std::back_inserter(out), f, std::forward<Args>(args)...);
}

std::string TickLabel(DateTime t, bool day_steps) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const std::chrono::year_month_day ymd{day};
  if (day_steps || t == day) {
    return fmt::format("{:02}/{:02}", static_cast<unsigned>(ymd.day()),
                       static_cast<unsigned>(ymd.month()));
  }
  const std::chrono::hh_mm_ss<Milliseconds> hms{t - day};
  return fmt::format("{:02}:{:02}", hms.hours().count(), hms.minutes().count());
}

void TimeAxis(std::string& out, const Frame& frame, DateTime to) {
  const int64_t span_s = std::chrono::duration_cast<seconds>(to - frame.from).count();
  int64_t step = kSteps.back();
  for (const int64_t s : kSteps) {
    if (span_s / s <= kMaxLabels) {
      step = s;
      break;
    }
  }
  const Milliseconds step_ms = seconds{step};
  // Local time counts from a midnight, so multiples of a step that divides
  // a day fall on round times of day.
  DateTime tick{(frame.from.time_since_epoch() + step_ms - Milliseconds{1}) / step_ms * step_ms};
  Put(out, "<g class=\"tvaxis\" font-size=\"14\" fill=\"#333\" text-anchor=\"middle\">");
  for (; tick <= to; tick += step_ms) {
    const double x = frame.X(tick);
    Out(out, "<line x1=\"{0:.1f}\" y1=\"{1}\" x2=\"{0:.1f}\" y2=\"{2}\" stroke=\"#ddd\"/>", x,
        kTop, kBandTop + kBandHeight + 6);
    Out(out, "<text x=\"{:.1f}\" y=\"{}\">{}</text>", x, kLabelLine,
        TickLabel(tick, step >= 86400));
  }
  Put(out, "</g>");
}

int ScaleFor(const std::vector<HistoryReading>& readings) {
  int top = 0;
  for (const HistoryReading& r : readings) top = std::max<int>(top, r.strength);
  for (const int s : kScales) {
    if (top <= s) return s;
  }
  return (top + 999) / 1000 * 1000;
}

void StrengthAxis(std::string& out, int scale) {
  Put(out, "<g class=\"tvscale\" font-size=\"14\" fill=\"#333\" text-anchor=\"end\">");
  for (const int v : {0, scale / 2, scale}) {
    const double y = kBottom - (kBottom - kTop) * v / scale;
    Out(out, "<line x1=\"{}\" y1=\"{:.1f}\" x2=\"{}\" y2=\"{:.1f}\" stroke=\"#ddd\"/>", kLeft, y,
        kRight, y);
    Out(out, "<text x=\"{}\" y=\"{:.1f}\">{}</text>", kLeft - 6, y + 5, v);
  }
  Put(out, "</g>");
}

void StrengthLine(std::string& out, const Frame& frame, const std::vector<HistoryReading>& rs,
                  DateTime to, int scale) {
  const Milliseconds gap = std::max<Milliseconds>(
      kShortestGap, Milliseconds{static_cast<int64_t>(frame.ms_span / 120)});
  Put(out, "<path class=\"tvline\" fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.6\" "
           "stroke-linejoin=\"round\" stroke-linecap=\"round\" d=\"");
  bool open = false;
  DateTime last{};
  for (const HistoryReading& r : rs) {
    if (r.time < frame.from || r.time > to || r.strength < 0) {
      open = false;
      continue;
    }
    const double x = frame.X(r.time);
    const double y = kBottom - (kBottom - kTop) * std::min<double>(r.strength, scale) / scale;
    if (open && r.time - last <= gap) {
      Out(out, "L{:.1f} {:.1f}", x, y);
    } else {
      // A lone reading still shows as a dot (the round cap of a tiny step).
      Out(out, "M{:.1f} {:.1f}h0.1", x, y);
    }
    open = true;
    last = r.time;
  }
  Put(out, "\"/>");
}

void Bands(std::string& out, const Frame& frame, const std::vector<PresenceBand>& bands) {
  Put(out, "<g class=\"tvbands\">");
  for (const PresenceBand& b : bands) {
    const double x = frame.X(b.from);
    const double w = std::max(frame.X(b.to) - x, 0.5);
    Out(out,
        "<rect class=\"{}\" x=\"{:.1f}\" y=\"{}\" width=\"{:.1f}\" height=\"{}\" "
        "fill=\"{}\"><title>{}</title></rect>",
        b.on ? "tvon" : "tvoff", x, kBandTop, w, kBandHeight, b.on ? "#2f9e44" : "#ced4da",
        b.on ? "On" : "Off");
  }
  Put(out, "</g>");
}

}  // namespace

std::vector<PresenceBand> PresenceBands(const std::vector<HistoryTurn>& turns,
                                        const std::optional<HistoryTurn>& before, DateTime from,
                                        DateTime to, int status_now) {
  std::vector<PresenceBand> bands;
  if (to <= from) return bands;
  int state = -1;  // 1 On, 0 Off, -1 not known
  if (before) {
    state = before->on ? 1 : 0;
  } else if (!turns.empty()) {
    state = turns.front().on ? 0 : 1;
  } else if (status_now == 2 || status_now == 3) {
    state = status_now == 2 ? 1 : 0;
  }
  DateTime cursor = from;
  auto close = [&](DateTime until) {
    until = std::clamp(until, from, to);
    if (state < 0 || until <= cursor) return;
    if (!bands.empty() && bands.back().on == (state == 1) && bands.back().to == cursor) {
      bands.back().to = until;
    } else {
      bands.push_back({cursor, until, state == 1});
    }
  };
  for (const HistoryTurn& t : turns) {
    close(t.time);
    cursor = std::clamp(std::max(cursor, t.time), from, to);
    state = t.on ? 1 : 0;
  }
  close(to);
  return bands;
}

std::string HistorySvg(const HistoryChart& chart) {
  static const std::vector<HistoryReading> kNone;
  const std::vector<HistoryReading>& readings = chart.readings ? *chart.readings : kNone;
  std::string out;
  out.reserve(4096 + readings.size() * 14);
  const DateTime to = std::max(chart.to, chart.from + Milliseconds{1});
  const Frame frame{chart.from, static_cast<double>((to - chart.from).count())};
  Out(out,
      "<svg class=\"tvchart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {} {}\" "
      "role=\"img\" aria-label=\"{}\" font-family=\"sans-serif\">",
      kWidth, kHeight, EscapeHtml(chart.label));
  Out(out, "<rect x=\"0\" y=\"0\" width=\"{}\" height=\"{}\" fill=\"#fff\"/>", kWidth, kHeight);
  const int scale = ScaleFor(readings);
  StrengthAxis(out, scale);
  TimeAxis(out, frame, to);
  Bands(out, frame, chart.bands);
  StrengthLine(out, frame, readings, to, scale);
  Put(out, "</svg>");
  return out;
}

}  // namespace tagvane
