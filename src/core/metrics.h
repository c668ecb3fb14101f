// Metrics: the program's named counters and gauges, owned by the App and
// exposed on /metrics. Every family is defined up front, so each counter
// exists with 0 from the start; a subsystem increments its own by name (or
// keeps the reference of a series on a hot path). Values that another part
// already counts are pulled in by collectors just before each exposition.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tagvane {

class Metrics {
 public:
  enum class Kind { kCounter, kGauge };
  struct Family {
    std::string name;
    Kind kind = Kind::kCounter;
    std::string help;
    // Label text ("" or `a="x",b="y"`, already escaped) -> value.
    std::map<std::string, double> series;
  };

  // Defines the program's families (see metrics.cpp).
  Metrics();

  // Adds a family; a second definition of the same name changes nothing.
  void Define(std::string_view name, Kind kind, std::string_view help);
  // The value of one series, created at 0 on first use. The reference stays
  // valid until ClearSeries of its family. Throws std::out_of_range for a
  // family that was never defined (a misspelt name is a program fault).
  double& Cell(std::string_view name, std::string_view labels = "");
  void Add(std::string_view name, double by = 1, std::string_view labels = "") {
    Cell(name, labels) += by;
  }
  void Set(std::string_view name, double value, std::string_view labels = "") {
    Cell(name, labels) = value;
  }
  // 0 for a series or family that does not exist.
  double Value(std::string_view name, std::string_view labels = "") const;
  // Drops every series of a family (per-tag gauges are rebuilt each time).
  void ClearSeries(std::string_view name);

  // Runs before each exposition, in the order added.
  void AddCollector(std::function<void(Metrics&)> collector);
  void Collect();

  const std::vector<std::unique_ptr<Family>>& Families() const { return families_; }

 private:
  std::vector<std::unique_ptr<Family>> families_;
  std::unordered_map<std::string, Family*> index_;
  std::vector<std::function<void(Metrics&)>> collectors_;
};

// One label as exposition text: name="value" with \, " and newline escaped.
std::string MetricLabel(std::string_view name, std::string_view value);

// The label value for an xAP message class: the part before the first "."
// in lower case for the families this program knows, "other" for the rest
// (classes come from the network; the label set must stay bounded).
std::string XapClassFamily(std::string_view cls);

// The whole exposition (text format 0.0.4) of every family, after running
// the collectors.
std::string RenderMetrics(Metrics& metrics);

}  // namespace tagvane
