#include "receiver/unaccepted_tags.h"

#include <algorithm>

#include "core/app.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

size_t MaxUnacceptedTags(App& app) {
  const std::string text = RemoveQuotes(TrimSpaces(app.Ini().GetIniSetting(
      "RFID", "MaxUnacceptedTags", std::to_string(kDefaultMaxUnacceptedTags), kSettingsFile)));
  const double v = IsNumeric(text) ? LeadingNumber(text) : kDefaultMaxUnacceptedTags;
  if (v <= 0) return SIZE_MAX;
  return static_cast<size_t>(std::min(v, 1e9));
}

void Drop(App& app, const std::string& code) {
  SharedTables& tables = app.Tables();
  if (const DevicePtr* found = tables.DeviceTable.Find(code)) {
    const DevicePtr device = *found;
    auto& list = tables.OffTimerList;
    list.erase(std::remove(list.begin(), list.end(), device), list.end());
    tables.DeviceTable.Remove(code);
    ++tables.TagChanges;
  }
  app.Ini().RemoveIniSetting("RFIDUnits", code, kSettingsFile);
}

}  // namespace

bool Unaccepted(const RFIDDevice& device) {
  return !device.InUse() && !device.Remove() && device.Tag().empty();
}

void NoteSeen(App& app, const DevicePtr& device) {
  if (!device) return;
  auto& seen = app.Tables().UnacceptedSeen;
  seen.Remove(device->DC());
  if (Unaccepted(*device)) seen.Add(device->DC(), 0);
}

size_t BoundUnacceptedTags(App& app) {
  SharedTables& tables = app.Tables();
  auto& seen = tables.UnacceptedSeen;
  const size_t max = MaxUnacceptedTags(app);
  if (seen.size() <= max) return 0;
  // The one seen longest ago goes first. A record accepted or named since it
  // was noted just leaves the order when its turn comes (until then it holds
  // a place), so each new identifier costs a constant, not a look at every
  // noted record.
  size_t dropped = 0;
  while (seen.size() > max) {
    const std::string code = seen.begin()->first;
    seen.Remove(code);
    const DevicePtr* device = tables.DeviceTable.Find(code);
    if (!device || !*device || !Unaccepted(**device)) continue;
    Drop(app, code);
    ++dropped;
  }
  if (dropped) {
    app.GetMetrics().Add("tagvane_receiver_unaccepted_tags_dropped_total",
                         static_cast<double>(dropped));
    app.Log().LogEventLimited("unaccepted tags", kProductSource,
                              std::to_string(dropped) +
                                  " tag record(s) nobody accepted dropped (MaxUnacceptedTags " +
                                  std::to_string(max) + ")");
    app.FlushIniCacheSoon();
  }
  return dropped;
}

}  // namespace tagvane
