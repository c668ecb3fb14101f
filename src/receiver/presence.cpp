#include "receiver/presence.h"

#include <cmath>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "receiver/format_html.h"
#include "receiver/rfid_device.h"

namespace tagvane {

float PresenceLogic::ElapsedSinceReport(float now_seconds, float last_received) {
  float elapsed = now_seconds - last_received;
  if (elapsed < 0.0f) {
    if (elapsed > -kClockSlack) return 0.0f;
    elapsed += 86400.0f;
  }
  return elapsed;
}

void PresenceLogic::OffTimer_Timer() {
  const float now_seconds = SecondsSinceMidnight(app_.GetClock().Now());
  auto& list = app_.Tables().OffTimerList;
  // By index: an announcement may enrol more devices; they wait for the
  // next pass.
  const size_t count = list.size();
  for (size_t i = 0; i < count && i < list.size(); ++i) {
    const DevicePtr device = list[i];
    Guard(app_.Log(), "OffTimer_Timer", [&] { EvaluateDevice(device, now_seconds); });
  }
}

void PresenceLogic::EvaluateDevice(const DevicePtr& device, float now_seconds) {
  if (!device || device->Remove()) return;
  const Settings& settings = app_.GetSettings();
  float f = device->FigureOfMerit();
  const int16_t m =
      ToInt16(settings.usestrength != 0 ? device->AverageStrength() : device->FigureOfMerit());
  const float elapsed = ElapsedSinceReport(now_seconds, device->LastReceivedTimer());
  const float delta = static_cast<float>(settings.fomdelta);
  const int16_t status = device->DeviceStatus();
  if (elapsed >= static_cast<float>(device->OffTime())) {
    float step = static_cast<float>((100.0 - f) * 0.1);
    if (step < 5.0f) step = 5.0f;
    f = f - device->OffWeight() * step;
    if (f < 0.0f) f = 0.0f;
    if (f == 0.0f && status != kStatusOff) {
      InformEvent(device, kStatusOff, m);
      device->SetLastReportedFigureOfMerit(0.0f);
    } else if (f - device->LastReportedFigureOfMerit() >= delta) {
      InformEvent(device, status, m);
      device->SetLastReportedFigureOfMerit(f);
    }
  } else {
    float step = static_cast<float>(f * 0.1);
    if (step < 5.0f) step = 5.0f;
    f = f + device->OnWeight() * step;
    if (f > 100.0f) f = 100.0f;
    if (f == 100.0f && status != kStatusOn) {
      InformEvent(device, kStatusOn, m);
      device->SetLastReportedFigureOfMerit(0.0f);
    } else if (f - device->LastReportedFigureOfMerit() >= delta) {
      InformEvent(device, status, m);
      device->SetLastReportedFigureOfMerit(f);
    }
  }
  if (device->FigureOfMerit() != f) {
    device->SetFigureOfMerit(f);
    device->SetDeviceString(FormatHTML(StatusText(device->DeviceStatus()), device->DeviceType(),
                                       device->AverageStrength(), f, ""));
    LocalChange(device);
  }
}

void PresenceLogic::InformEvent(const DevicePtr& device, int16_t new_status, int16_t value) {
  auto step = [&](auto&& fn) { Guard(app_.Log(), "InformEvent", fn); };
  const std::string cls = device->DeviceStatus() == new_status ? "xapbsc.info" : "xapbsc.event";
  const std::string state = StatusText(new_status);
  step([&] {
    device->SetDeviceStatus(new_status);
    device->SetDeviceLastChange(app_.GetClock().Now());
    device->SetDeviceValue(value);
  });
  step([&] {
    device->SetDeviceString(FormatHTML(state, device->DeviceType(), device->AverageStrength(),
                                       device->FigureOfMerit(), ""));
  });
  step([&] {
    if (app_.GetSettings().DebugLog) {
      app_.Log().LogEvent(kDebugSource, "InformEvent " + device->DC() + " " + device->Tag() + " " +
                                            state + " " + cls);
    }
  });
  if (!device->InUse()) {
    app_.State().MonitorLine += " | Event ignored because not Accepted for use";
    return;
  }
  step([&] { app_.GetHooks().SendXapBSC(device->DC(), cls); });
  step([&] { app_.GetHooks().DeviceDecision(device->DC()); });
  step([&] {
    if (device->X10DC().empty()) return;
    std::string body = "command\x01" + state;
    body += '\0';
    body += "device\x01" + device->X10DC();
    app_.Outbox().SendXap("", "xap-x10.request", "xap-x10.request", body, "", "", "");
  });
  step([&] {
    if (!device->Tag().empty()) app_.GetHooks().QueueScript(device->Tag());
  });
}

const std::vector<std::string>* PresenceLogic::CombinedKeysFor(const std::string& tag_id) {
  const SharedTables& tables = app_.Tables();
  const std::string& receiver = app_.State().ReceiverCode;
  if (tables.DeviceTable.size() != combined_devices_ || tables.TagChanges != combined_changes_ ||
      receiver != combined_receiver_) {
    combined_.clear();
    for (const auto& [key, device] : tables.DeviceTable) {
      if (key.size() != 16) continue;
      const std::string_view k(key);
      // Device codes compare without regard to case: a stored key may be
      // upper case while the receiver code keeps the location's spelling.
      if (!EqualsNoCase(k.substr(6, 6), receiver) || k.substr(0, 6) == kCodeFill) continue;
      combined_[ToUpper(k.substr(12, 4))].push_back(key);
    }
    combined_devices_ = tables.DeviceTable.size();
    combined_changes_ = tables.TagChanges;
    combined_receiver_ = receiver;
  }
  auto it = combined_.find(ToUpper(tag_id));
  return it == combined_.end() ? nullptr : &it->second;
}

void PresenceLogic::LocalChange(const DevicePtr& device) {
  Guard(app_.Log(), "LocalChange", [&] {
    const std::string& code = device->DC();
    if (code.size() < 4) return;
    const std::string id = code.substr(code.size() - 4);
    const std::vector<std::string>* keys = CombinedKeysFor(id);
    if (!keys) return;
    const int16_t a = device->DeviceStatus();
    const float fa = device->FigureOfMerit();
    const int16_t fomdelta = app_.GetSettings().fomdelta;
    // A snapshot: announcements may add devices.
    const std::vector<std::string> snapshot = *keys;
    for (const std::string& key : snapshot) {
      Guard(app_.Log(), "LocalChange", [&] {
        auto& table = app_.Tables().DeviceTable;
        const std::string partner_code = std::string(kCodeFill) + key.substr(0, 6) + id;
        const DevicePtr* partner = table.Find(partner_code);
        const DevicePtr* combined = table.Find(key);
        if (!partner || !combined) return;
        const DevicePtr b = *partner;
        const DevicePtr c = *combined;
        const int16_t bs = b->DeviceStatus();
        const float avg = (fa + b->FigureOfMerit()) / 2.0f;
        c->SetFigureOfMerit(avg);
        int16_t next;
        if (avg < 25.0f) {
          next = kStatusOff;
        } else if (avg > 75.0f) {
          next = kStatusOn;
        } else {
          next = c->DeviceStatus() == kStatusOn ? kStatusOn : kStatusOff;
        }
        const std::string state = StatusText(next);
        c->SetDeviceType(std::string(bs == kStatusOn ? "On" : "Off") +
                         (a == kStatusOn ? "On" : "Off"));
        std::string text =
            FormatHTML("OFF", c->DeviceType(), c->AverageStrength(), c->FigureOfMerit(), state);
        if (text == c->DeviceString() && next == c->DeviceStatus()) return;
        c->SetDeviceString(std::move(text));
        c->SetDeviceValue(ToInt16(avg));
        c->SetDeviceLastChange(app_.GetClock().Now());
        if (next != c->DeviceStatus()) {
          c->SetDeviceStatus(next);
          c->SetLastReportedFigureOfMerit(avg);
          app_.GetHooks().SendXapBSC(key, "xapbsc.event");
        } else if (std::fabs(avg - c->LastReportedFigureOfMerit()) >=
                   static_cast<float>(fomdelta)) {
          c->SetLastReportedFigureOfMerit(avg);
          app_.GetHooks().SendXapBSC(key, "xapbsc.info");
        }
        if (!c->Tag().empty()) app_.GetHooks().QueueScript(c->Tag());
      });
    }
  });
}

}  // namespace tagvane
