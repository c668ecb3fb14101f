#include "xap/bsc_output.h"

#include <array>

#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {
constexpr int kBscIntervalMs = 200;
constexpr std::string_view kBscSection = "input.state";
}  // namespace

BscOutput::BscOutput(App& app) : app_(app), bsc_timer_(app.Timers(), [this] { BSCTimer_Timer(); }) {}

std::string BscOutput::xapName(const RFIDDevice& device) {
  std::string name;
  if (!Guard(app_.Log(), "xapName", [&] { name = ReplaceAll(device.Location(), " ", "_"); })) {
    return "Unknown";
  }
  return name.empty() ? "Unknown" : name;
}

std::string BscOutput::DeviceUID(const RFIDDevice& device) const {
  const std::string& base = app_.GetSettings().UID;
  return base.substr(0, base.size() >= 2 ? base.size() - 2 : 0) + device.uID();
}

std::string BscOutput::Body(const RFIDDevice& device, std::string_view state_key) {
  const std::string& user_format = app_.GetSettings().UserFormat;
  std::string body(state_key);
  body += '\x01';
  body += StatusText(device.DeviceStatus());
  body += '\0';
  body += "DisplayText\x01";
  body += user_format.empty() ? device.DeviceString()
                              : device.UserFormat(user_format, UserFormatValuesOf(app_));
  body += '\0';
  body += "Text\x01";
  body += std::to_string(device.DeviceValue());
  return body;
}

std::string BscOutput::IncludeContent(const RFIDDevice& device) {
  std::string body;
  Guard(app_.Log(), "IncludeContent", [&] { body = Body(device, "state"); });
  return body;
}

void BscOutput::Send(const xapQueuedMessage& m) {
  app_.Outbox().SendXap(m.MsgTarget, m.MsgClass, m.MsgSection, m.MsgData, m.MsgSubAddress,
                        m.MsgUID, "");
}

void BscOutput::SendXapBSC(const std::string& code, const std::string& cls) {
  Guard(app_.Log(), "SendXapBSC " + code, [&] {
    const DevicePtr* found = app_.Tables().DeviceTable.Find(code);
    if (!found || !*found) return;
    const RFIDDevice& device = **found;
    if (device.uID().size() != 2) return;
    xapQueuedMessage m;
    m.MsgClass = cls;
    m.MsgSection = kBscSection;
    m.MsgData = Body(device, "State");
    m.MsgSubAddress = xapName(device) + "." + device.DC() + ".Switch";
    m.MsgUID = DeviceUID(device);
    Send(m);
  });
}

void BscOutput::BSCQuery(std::string_view target) {
  Guard(app_.Log(), "BSCQuery", [&] {
    SharedTables& tables = app_.Tables();
    if (tables.DeviceTable.empty()) return;
    std::array<std::string, 4> pattern{"*", "*", "*", "*"};
    const size_t colon = target.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view sub = target.substr(colon + 1);
    if (!sub.empty()) {
      const std::vector<std::string> pieces = Split(sub, '.');
      for (size_t i = 0; i < pieces.size() && i < pattern.size(); ++i) {
        if (pieces[i] == ">") break;
        pattern[i] = ToLower(pieces[i]);
      }
    }
    // Snapshot: sending may log, and logging must not see a table in motion.
    std::vector<DevicePtr> devices;
    devices.reserve(tables.DeviceTable.size());
    for (const auto& entry : tables.DeviceTable) devices.push_back(entry.second);
    for (const DevicePtr& device : devices) {
      if (!device || !device->InUse() || device->uID().empty()) continue;
      const std::string location = xapName(*device);
      const std::string type = ToLower(device->DeviceType());
      const std::array<const std::string*, 3> fields{&location, &device->DC(), &type};
      bool match = true;
      for (size_t i = 0; i < fields.size() && match; ++i) {
        if (pattern[i] != "*" && pattern[i] != *fields[i]) match = false;
      }
      if (!match) continue;
      xapQueuedMessage m;
      m.MsgClass = "xAPBSC.info";
      m.MsgSection = kBscSection;
      m.MsgData = IncludeContent(*device);
      m.MsgSubAddress = location + "." + device->DC() + "." + type;
      m.MsgUID = DeviceUID(*device);
      if (!bsc_timer_.Running()) {
        bsc_timer_.SetInterval(kBscIntervalMs);
        bsc_timer_.SetEnabled(true);
        Send(m);
      } else {
        tables.BscSendQueue.push_back(std::move(m));
      }
    }
  });
}

void BscOutput::BSCTimer_Timer() {
  Guard(app_.Log(), "BSCTimer_Timer", [&] {
    auto& queue = app_.Tables().BscSendQueue;
    if (queue.empty()) {
      bsc_timer_.SetEnabled(false);
      return;
    }
    bsc_timer_.SetInterval(kBscIntervalMs);
    const xapQueuedMessage m = std::move(queue.front());
    queue.pop_front();
    Send(m);
  });
}

}  // namespace tagvane
