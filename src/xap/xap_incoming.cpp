#include "xap/xap_incoming.h"

#include <cmath>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/device_table.h"
#include "receiver/format_html.h"
#include "receiver/rfid_device.h"
#include "xap/bsc_output.h"
#include "xap/xap_message.h"
#include "xap/xap_transport.h"

namespace tagvane {
namespace {

constexpr std::string_view kNoTarget = "Unknown";
constexpr std::string_view kOwnKindSource = "qbx.RFID.>:>";
constexpr int kCodeLength = 16;
constexpr float kCombinedOff = 25.0f;
constexpr float kCombinedOn = 75.0f;

// A character that may stand in a device code: printable, and none of the
// characters that would break its INI key ("=", "[", "]", ";", quotes) or
// its Properties text ("~").
bool CodeChar(char c) {
  if (c < 0x20 || c > 0x7E) return false;
  switch (c) {
    case '=':
    case '[':
    case ']':
    case ';':
    case '~':
    case '"':
    case '\\':
      return false;
    default:
      return true;
  }
}

// The reported figure: the number value of the text, kept to the figure
// range so a peer cannot push a device beyond what its value can hold.
float ReportedFigure(std::string_view value) {
  if (!IsNumeric(value)) return 0.0f;
  const double v = LeadingNumber(value);
  if (!std::isfinite(v) || v < 0) return 0.0f;
  return v > 100 ? 100.0f : static_cast<float>(v);
}

// Removes the characters that separate items and key from value in a body.
std::string BodyValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\0' && c != '\x01') out += c;
  }
  return out;
}

}  // namespace

bool SplitReportSource(std::string_view source, std::string& location, std::string& code) {
  const size_t p = source.find(':');
  if (p == std::string_view::npos) return false;
  const size_t d = source.find('.', p + 1);
  if (d == std::string_view::npos) return false;
  if (source.size() - (d + 1) < static_cast<size_t>(kCodeLength)) return false;
  const std::string_view c = source.substr(d + 1, kCodeLength);
  for (char ch : c) {
    if (!CodeChar(ch)) return false;
  }
  location = std::string(source.substr(p + 1, d - p - 1));
  code = std::string(c);
  return true;
}

XapIncoming::XapIncoming(App& app, XapTransport& transport, BscOutput& bsc)
    : app_(app), transport_(transport), bsc_(bsc) {}

void XapIncoming::onMessage() {
  bool& guard = app_.State().PumpGuard;
  if (guard) return;
  guard = true;
  GuardTrace(app_.Log(), "Main OnMessage", [&] {
    for (std::string raw = transport_.GetMessage(); !raw.empty(); raw = transport_.GetMessage()) {
      Readmessage(raw);
    }
  });
  guard = false;
}

void XapIncoming::Readmessage(std::string_view raw) {
  Logger& log = app_.Log();
  XapMessage message(
      [this, &log](const std::function<std::string()>& source, std::string_view text) {
        // Each entry carries the whole message: a peer that keeps sending
        // faulty messages gets one entry a minute, with the count held back.
        const DateTime now = app_.GetClock().Now();
        if (parse_traces_ > 0 && now - last_parse_trace_ < std::chrono::minutes(1)) {
          ++held_parse_traces_;
          return;
        }
        ++parse_traces_;
        last_parse_trace_ = now;
        std::string note(text);
        if (held_parse_traces_ > 0) {
          note += "(" + std::to_string(held_parse_traces_) + " more since the last report)";
          held_parse_traces_ = 0;
        }
        log.WriteTrace(source(), note);
      });
  Guard(log, "Readmessage", [&] {
    message.Init("");
    message.FromXap(raw);
  });
  if (message.TooLarge()) {
    ++dropped_large_;
    log.LogEventLimited(
        "xap-too-large", kProductSource,
        "xAP message with more than " + std::to_string(XapMessage::kMaxItems) +
            " sections or items dropped; dropped so far: " + std::to_string(dropped_large_));
    return;
  }
  Guard(log, "Readmessage", [&] {
    app_.GetMetrics().Add("tagvane_xap_messages_received_total", 1,
                          MetricLabel("family", XapClassFamily(message.MsgClass())));
  });
  Guard(log, "Readmessage", [&] { app_.GetHooks().CaptureMessage(message); });
  Guard(log, "Readmessage", [&] { Dispatch(message); });
}

void XapIncoming::Dispatch(XapMessage& message) {
  const std::string& self = transport_.XapSource();
  const bool to_us = message.CompareTarget(self);
  if (!to_us && !message.CompareTarget(kNoTarget)) return;

  if (message.CompareClass("xAPBSC.query")) {
    if (to_us) bsc_.BSCQuery(message.MsgTarget());
  } else if (message.CompareClass("xAPBSC.Event") || message.CompareClass("xAPBSC.Info")) {
    if (message.CompareSource(kOwnKindSource)) {
      TagwellReceived(message.MsgSource(), message.GetItem("input.state", "state"),
                      message.GetItem("input.state", "text"));
    }
  } else if (message.CompareClass("WDT.Echo")) {
    // GetItem's "Unknown" stands for a missing section or item.
    const std::string q = message.GetItem("Echo.Query", "Query");
    if (q != "Unknown") {
      app_.Outbox().SendXap(message.MsgSource(), "WDT.Echo", "Echo.Response",
                            "Response\x01" + BodyValue(ToLower(q)), "", "", "");
    }
  } else if (message.CompareClass("Time.Today")) {
    sunrise_ = message.GetItem("Time.Today", "Sunrise");
    sunset_ = message.GetItem("Time.Today", "Sunset");
  } else if (message.CompareClass("Homeseer.Role")) {
    const std::string role = ToLower(message.GetItem("Role.Query", "Role"));
    if (role == "application" || role == "any") {
      std::string body = "Role\x01UPB";
      body += '\0';
      body += "Path\x01" + BodyValue(app_.ExePath());
      body += '\0';
      body +=
          "Form\x01"
          "EchoWindow";
      app_.Outbox().SendXap("", "Homeseer.Role", "Role.Notification", body, "", "", "");
    }
  }
}

void XapIncoming::TagwellReceived(std::string_view source, std::string_view state,
                                  std::string_view value) {
  Guard(app_.Log(), "TagwellReceived", [&] {
    // This system's own event or info, delivered back by the hub: merging
    // it would overwrite the local device with its own rounded figure and
    // make a combined device of the receiver with itself.
    if (EqualsNoCase(source.substr(0, source.find(':')), transport_.XapSource())) return;
    std::string location;
    std::string code;
    if (!SplitReportSource(source, location, code)) {
      // Only a malformed report gets here; a noisy peer is reported once a
      // minute, with the count of what was held back.
      ++ignored_reports_;
      if (source.find(':') != std::string_view::npos) {
        std::string shown(source.substr(0, 120));
        for (char& c : shown) {
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        }
        app_.Log().LogEventLimited(
            "TagwellReceived", kProductSource,
            "TagwellReceived ignored a report from " + shown + ": no 16-character device code");
      }
      return;
    }
    const std::string remote_receiver = code.substr(6, 6);
    const std::string tag = code.substr(12, 4);
    const int16_t s = EqualsNoCase(state, "on") ? kStatusOn : kStatusOff;
    const float f = ReportedFigure(value);
    const DateTime now = app_.GetClock().Now();

    // The remote device: this tag as the other receiver sees it.
    const DevicePtr remote = AddRFIDUnit(app_, code, location);
    if (!remote) return;
    remote->SetLocation(location);
    remote->SetDeviceStatus(s);
    remote->SetFigureOfMerit(f);
    remote->SetDeviceLastChange(now);
    const size_t last_dot = source.rfind('.');
    if (last_dot != std::string_view::npos) remote->SetDeviceType(source.substr(last_dot + 1));
    remote->SetDeviceString(
        FormatHTML(state, remote->DeviceType(), remote->AverageStrength(), f, ""));

    // The local device: the same tag as this receiver sees it.
    const DevicePtr local = AddRFIDUnit(app_, MakeDeviceCode(app_, "", tag), location);
    if (!local) return;
    const int16_t l = local->DeviceStatus();
    const float fl = local->FigureOfMerit();

    // The combined device of both views.
    const std::string combined_code = MakeDeviceCode(app_, remote_receiver, tag);
    DevicePtr combined;
    if (const DevicePtr* found = app_.Tables().DeviceTable.Find(combined_code)) {
      combined = *found;
    } else {
      combined =
          AddRFIDUnit(app_, combined_code,
                      remote_receiver + "-" + app_.GetSettings().receiverlocation + "-" + tag);
    }
    if (!combined) return;
    const float avg = (fl + f) / 2.0f;
    combined->SetFigureOfMerit(avg);
    int16_t n;
    std::string n_text;
    if (avg < kCombinedOff) {
      n = kStatusOff;
    } else if (avg > kCombinedOn) {
      n = kStatusOn;
    } else {
      n = combined->DeviceStatus() == kStatusOn ? kStatusOn : kStatusOff;
    }
    n_text = StatusText(n);
    if (s == kStatusOff && l == kStatusOn) {
      combined->SetDeviceType("OffOn");
    } else if (s == kStatusOn && l == kStatusOff) {
      combined->SetDeviceType("OnOff");
    } else {
      combined->SetDeviceType(s == kStatusOn ? "OnOn" : "OffOff");
    }
    const std::string text =
        FormatHTML(state, combined->DeviceType(), combined->AverageStrength(), avg, n_text);
    const bool status_changed = n != combined->DeviceStatus();
    if (!status_changed && text == combined->DeviceString()) return;
    combined->SetDeviceLastChange(now);
    combined->SetDeviceString(text);
    if (status_changed) {
      combined->SetDeviceStatus(n);
      bsc_.SendXapBSC(combined_code, "xapbsc.event");
      combined->SetLastReportedFigureOfMerit(avg);
    } else if (std::fabs(avg - combined->LastReportedFigureOfMerit()) >
               app_.GetSettings().fomdelta) {
      bsc_.SendXapBSC(combined_code, "xapbsc.event");
      combined->SetLastReportedFigureOfMerit(avg);
    }
    if (!combined->Tag().empty()) app_.GetHooks().QueueScript(combined->Tag());
  });
}

}  // namespace tagvane
