#include "core/metrics.h"

#include <fmt/format.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace tagvane {
namespace {

using K = Metrics::Kind;

struct Definition {
  const char* name;
  K kind;
  const char* help;
};

constexpr Definition kFamilies[] = {
    {"tagvane_receiver_link_up", K::kGauge, "1 while the link to the receiver is open."},
    {"tagvane_receiver_reports_total", K::kCounter, "Tag reports received and processed."},
    {"tagvane_receiver_received_bytes_total", K::kCounter, "Bytes received from the receiver."},
    {"tagvane_receiver_discarded_bytes_total", K::kCounter,
     "Received bytes discarded by the report parser (not part of a valid report)."},
    {"tagvane_receiver_unaccepted_tags_dropped_total", K::kCounter,
     "Tag records nobody accepted, dropped beyond MaxUnacceptedTags (the one seen longest ago "
     "first)."},
    {"tagvane_tag_present", K::kGauge, "1 while an accepted tag is present (On)."},
    {"tagvane_tag_figure_of_merit", K::kGauge, "Presence figure of an accepted tag, 0 to 100."},
    {"tagvane_tag_last_report_timestamp_seconds", K::kGauge,
     "Time of the last report of an accepted tag, seconds since the Unix epoch."},
    {"tagvane_xap_messages_sent_total", K::kCounter, "xAP messages sent, by class family."},
    {"tagvane_xap_messages_received_total", K::kCounter, "xAP messages received, by class family."},
    {"tagvane_http_requests_total", K::kCounter, "HTTP requests answered, by answer kind."},
    {"tagvane_script_runs_total", K::kCounter, "Script runs."},
    {"tagvane_script_errors_total", K::kCounter, "Script runs that ended in an error."},
    {"tagvane_script_timeouts_total", K::kCounter, "Script runs stopped at their time-out."},
    {"tagvane_script_syntax_errors_total", K::kCounter,
     "Script files that failed to load (syntax or top-level errors)."},
    {"tagvane_script_messages_dropped_total", K::kCounter,
     "Subscribed messages dropped because a script did not read them."},
    {"tagvane_database_rows_written_total", K::kCounter, "Readings written to the database."},
    {"tagvane_database_rows_buffered", K::kGauge, "Readings waiting to be written."},
    {"tagvane_database_rows_dropped_total", K::kCounter,
     "Readings dropped because the database could not take them."},
    {"tagvane_mqtt_connected", K::kGauge, "1 while connected to the MQTT broker."},
    {"tagvane_mqtt_messages_published_total", K::kCounter, "MQTT messages published."},
    {"tagvane_event_log_entries_total", K::kCounter, "Event-log entries written."},
    {"process_start_time_seconds", K::kGauge,
     "Start time of the process, seconds since the Unix epoch."},
};

// Labelled counters that should read 0 before their first event.
constexpr std::pair<const char*, const char*> kPresetSeries[] = {
    {"tagvane_xap_messages_sent_total", "xapbsc"},
    {"tagvane_xap_messages_sent_total", "xap-hbeat"},
    {"tagvane_xap_messages_sent_total", "homeseer"},
    {"tagvane_xap_messages_received_total", "xapbsc"},
    {"tagvane_xap_messages_received_total", "xap-hbeat"},
    {"tagvane_http_requests_total", "page"},
    {"tagvane_http_requests_total", "file"},
    {"tagvane_http_requests_total", "not_found"},
    {"tagvane_http_requests_total", "unauthorized"},
    {"tagvane_http_requests_total", "metrics"},
};

std::string FormatValue(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    return fmt::format("{}", static_cast<long long>(v));
  return fmt::format("{}", v);
}

}  // namespace

Metrics::Metrics() {
  for (const auto& d : kFamilies) Define(d.name, d.kind, d.help);
  for (const auto& d : kFamilies) {
    const std::string_view name = d.name;
    if (name.starts_with("tagvane_tag_")) continue;
    bool labelled = false;
    for (const auto& [family, value] : kPresetSeries) labelled |= name == family;
    if (!labelled) Cell(name);
  }
  for (const auto& [family, value] : kPresetSeries) {
    Cell(family,
         MetricLabel(
             std::string_view(family).find("http") != std::string_view::npos ? "kind" : "family",
             value));
  }
  const auto start = std::chrono::system_clock::now().time_since_epoch();
  Set("process_start_time_seconds", std::floor(std::chrono::duration<double>(start).count()));
}

void Metrics::Define(std::string_view name, Kind kind, std::string_view help) {
  if (index_.count(std::string(name))) return;
  auto family = std::make_unique<Family>();
  family->name = name;
  family->kind = kind;
  family->help = help;
  index_[family->name] = family.get();
  families_.push_back(std::move(family));
}

double& Metrics::Cell(std::string_view name, std::string_view labels) {
  auto it = index_.find(std::string(name));
  if (it == index_.end()) throw std::out_of_range("no metric family " + std::string(name));
  return it->second->series[std::string(labels)];
}

double Metrics::Value(std::string_view name, std::string_view labels) const {
  auto it = index_.find(std::string(name));
  if (it == index_.end()) return 0;
  auto s = it->second->series.find(std::string(labels));
  return s == it->second->series.end() ? 0 : s->second;
}

void Metrics::ClearSeries(std::string_view name) {
  auto it = index_.find(std::string(name));
  if (it != index_.end()) it->second->series.clear();
}

void Metrics::AddCollector(std::function<void(Metrics&)> collector) {
  collectors_.push_back(std::move(collector));
}

void Metrics::Collect() {
  for (auto& collector : collectors_) collector(*this);
}

std::string XapClassFamily(std::string_view cls) {
  std::string family(cls.substr(0, cls.find('.')));
  for (char& c : family) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (std::string_view known : {"xapbsc", "xap-hbeat", "xap-x10", "homeseer", "time"}) {
    if (family == known) return family;
  }
  return "other";
}

std::string MetricLabel(std::string_view name, std::string_view value) {
  std::string out(name);
  out += "=\"";
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80) {
      out += '?';  // a label value must be UTF-8; tag bytes are not known to be
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string RenderMetrics(Metrics& metrics) {
  metrics.Collect();
  std::string out;
  out.reserve(4096);
  for (const auto& family : metrics.Families()) {
    out += "# HELP " + family->name + " " + family->help + "\n";
    out += "# TYPE " + family->name +
           (family->kind == Metrics::Kind::kCounter ? " counter\n" : " gauge\n");
    for (const auto& [labels, value] : family->series) {
      out += family->name;
      if (!labels.empty()) out += "{" + labels + "}";
      out += ' ';
      out += FormatValue(value);
      out += '\n';
    }
  }
  return out;
}

}  // namespace tagvane
