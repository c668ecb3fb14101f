// MonitorLine while a chunk of receiver data is consumed. Each report's line
// wraps the previous one: "(<elapsed>)\t" + previous + "\t<location>\t
// <strength>\t<average>\t<figure>\t<ON|OFF>", and a resynchronisation adds
// " | Discard of <c> trying to sync on space termination" at the end. The
// builder records the reports' values and writes the text once per chunk,
// only as much of its right end as is asked for: a chunk of n reports costs
// O(n), and a monitor that shows 10,000 characters does not pay for more.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

class RFIDDevice;

struct MonitorReport {
  const RFIDDevice* device = nullptr;  // its Location is written
  float elapsed = 0;
  float average = 0;
  float figure = 0;
  int16_t strength = 0;
  bool on = false;
};

class MonitorLineBuilder {
 public:
  void Reset(std::string_view core);
  void AddReport(const MonitorReport& report);
  void AddDiscard(char c);
  // The whole line (tail_limit 0), or its rightmost tail_limit characters.
  std::string Build(size_t tail_limit = 0) const;
  size_t Reports() const { return reports_; }

 private:
  struct Item {
    MonitorReport report;
    char discarded = 0;
    bool is_report = false;
  };
  static void AppendPrefix(std::string& out, const MonitorReport& r);
  static void AppendSuffix(std::string& out, const Item& item);

  std::string core_;
  std::vector<Item> items_;
  size_t reports_ = 0;
};

}  // namespace tagvane
