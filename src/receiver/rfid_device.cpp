#include "receiver/rfid_device.h"

#include <cmath>
#include <limits>
#include <vector>

#include "core/dates.h"
#include "core/numbers.h"
#include "core/shared_tables.h"
#include "core/text.h"
#include "receiver/format_html.h"

namespace tagvane {
namespace {

const char* BoolText(bool v) { return v ? "True" : "False"; }

bool ReadBool(std::string_view s) { return EqualsNoCase(s, "true"); }

// A stored text field must not split the record or the INI line it lives on.
std::string FieldText(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '~') {
      c = '-';
    } else if (c == '\r' || c == '\n' || c == '\0') {
      c = ' ';
    }
  }
  return out;
}

// Leading number of a field as a single; nullopt when it does not fit one
// (the old conversion's overflow), so the field keeps its value.
std::optional<float> ReadSingle(std::string_view s) {
  const double v = LeadingNumber(s);
  if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) return std::nullopt;
  return static_cast<float>(v);
}

std::optional<int16_t> ReadInt16(std::string_view s) {
  try {
    return ToInt16(LeadingNumber(s));
  } catch (const OverflowError&) {
    return std::nullopt;
  }
}

// Replaces every occurrence of placeholder (any letter case) with value.
void ReplaceNoCase(std::string& text, std::string_view placeholder, std::string_view value) {
  size_t from = 0;
  while (true) {
    const size_t at = FindNoCase(std::string_view(text).substr(from), placeholder);
    if (at == std::string_view::npos) return;
    text.replace(from + at, placeholder.size(), value);
    from += at + value.size();
  }
}

}  // namespace

std::string StatusText(int status) { return status == kStatusOn ? "ON" : "OFF"; }

RFIDDevice::RFIDDevice(const DeviceContext& context) : context_(context) {
  const DateTime now = Now();
  device_last_change_ = now;
  last_received_time_ = now;
  last_received_timer_ = context_.clock ? SecondsSinceMidnight(now) : 0.0f;
}

DateTime RFIDDevice::Now() const { return context_.clock ? context_.clock->Now() : DateTime{}; }

std::string_view RFIDDevice::ReceiverCode() const {
  return context_.receiver_code ? std::string_view(*context_.receiver_code) : kCodeFill;
}

void RFIDDevice::SetTag(std::string_view v) {
  if (v == tag_) return;
  tag_ = std::string(v);
  if (context_.tag_changes) ++*context_.tag_changes;
}

void RFIDDevice::SetDC(std::string_view v) { dc_ = ToUpper(v); }

void RFIDDevice::SetOffTime(int16_t v) {
  off_time_ = v < 3 ? int16_t{3} : v;
  if (off_time_ <= 60) {
    timer_interval_ms_ = off_time_ * 1000;
    timer_minutes_ = 0;
  } else {
    timer_interval_ms_ = (off_time_ % 60) * 1000;
    timer_minutes_ = static_cast<int16_t>(off_time_ / 60);
  }
}

int32_t RFIDDevice::InitialTimerInterval() {
  timer_minute_count_ = timer_minutes_;
  return timer_interval_ms_;
}

void RFIDDevice::SetStrength(int16_t v) {
  strength_ = v;
  average_strength_ = static_cast<float>(average_strength_ / 2.0 + v / 2.0);
}

int16_t RFIDDevice::DeviceValue() const { return ToInt16(figure_of_merit_); }

bool RFIDDevice::IsCombined() const {
  if (dc_.size() != 16) return false;
  const std::string_view code(dc_);
  return code.substr(0, 6) != kCodeFill && EqualsNoCase(code.substr(6, 6), ReceiverCode());
}

float RFIDDevice::WeightRule(float v) {
  if (v > 20.0f) return 20.0f;
  if (v < 0.0f) return 0.0f;
  return v;
}

float RFIDDevice::WeightRule(std::string_view text) {
  if (!IsNumeric(text)) return 1.0f;
  const double v = LeadingNumber(text);
  if (v > 20.0) return 20.0f;
  if (v < 0.0) return 0.0f;
  return static_cast<float>(v);
}

std::string RFIDDevice::Properties() const {
  std::string out;
  out.reserve(160);
  auto field = [&out](std::string_view s) {
    out += s;
    out += '~';
  };
  field(FieldText(dc_));
  field(std::to_string(status_));
  field(FieldText(tag_));
  field(BoolText(event_notification_));
  field(FormatGeneralDate(device_last_change_));
  field(FieldText(location_));
  field(FieldText(uid_));
  field(BoolText(invert_));
  field(BoolText(remove_));
  field(BoolText(x10_));
  field(std::to_string(off_time_));
  field(FieldText(x10dc_));
  field(FieldText(device_type_));
  field(BoolText(in_use_));
  field(SingleText(on_weight_));
  field(SingleText(off_weight_));
  field(SingleText(figure_of_merit_));
  field(SingleText(last_reported_fom_));
  field(std::to_string(strength_));
  out += SingleText(average_strength_);
  return out;
}

void RFIDDevice::SetProperties(std::string_view text) {
  std::vector<std::string_view> f(kPropertiesFieldCount);
  size_t start = 0;
  for (int i = 0; i < kPropertiesFieldCount && start <= text.size(); ++i) {
    const size_t tilde = text.find('~', start);
    const size_t end = tilde == std::string_view::npos ? text.size() : tilde;
    f[static_cast<size_t>(i)] = text.substr(start, end - start);
    if (tilde == std::string_view::npos) break;
    start = tilde + 1;
  }
  dc_ = std::string(f[0]);
  if (auto v = ReadInt16(f[1])) status_ = *v;
  SetTag(f[2]);
  event_notification_ = ReadBool(f[3]);
  device_last_change_ = ParseDate(f[4]).value_or(Now());
  location_ = std::string(f[5]);
  uid_ = std::string(f[6]);
  invert_ = ReadBool(f[7]);
  remove_ = ReadBool(f[8]);
  x10_ = ReadBool(f[9]);
  if (auto v = ReadInt16(f[10])) SetOffTime(*v);
  x10dc_ = std::string(f[11]);
  device_type_ = std::string(f[12]);
  in_use_ = ReadBool(f[13]);
  on_weight_ = WeightRule(f[14]);
  off_weight_ = WeightRule(f[15]);
  if (auto v = ReadSingle(f[16])) figure_of_merit_ = *v;
  if (auto v = ReadSingle(f[17])) last_reported_fom_ = *v;
  if (auto v = ReadInt16(f[18])) strength_ = *v;
  if (auto v = ReadSingle(f[19])) average_strength_ = *v;
  const std::string state = StatusText(status_);
  device_string_ = FormatHTML(state, device_type_, average_strength_, figure_of_merit_,
                              IsCombined() ? std::string_view(state) : std::string_view());
}

std::string RFIDDevice::UserFormat(std::string_view tmpl, const UserFormatValues& values) const {
  std::string out(tmpl);
  if (out.find('$') == std::string::npos) return out;
  ReplaceNoCase(out, "$DeviceCode$", dc_);
  ReplaceNoCase(out, "$Identification$", Right(dc_, 4));
  ReplaceNoCase(out, "$Status$", StatusText(status_));
  ReplaceNoCase(out, "$Tag$", tag_);
  ReplaceNoCase(out, "$Event$", BoolText(event_notification_));
  ReplaceNoCase(out, "$DateLastChange$", FormatGeneralDate(device_last_change_));
  ReplaceNoCase(out, "$Location$", location_);
  ReplaceNoCase(out, "$X10$", x10dc_);
  ReplaceNoCase(out, "$Type$", device_type_);
  ReplaceNoCase(out, "$OnWeight$", SingleText(on_weight_));
  ReplaceNoCase(out, "$OffWeight$", SingleText(off_weight_));
  ReplaceNoCase(out, "$FigureOfMerit$", RoundedText(figure_of_merit_, 0));
  ReplaceNoCase(out, "$ReportedFOM$", RoundedText(last_reported_fom_, 0));
  ReplaceNoCase(out, "$Strength$", std::to_string(strength_));
  ReplaceNoCase(out, "$AverageStrength$", RoundedText(average_strength_, 1));
  ReplaceNoCase(out, "$ReceiverLocation$", values.ReceiverCode);
  ReplaceNoCase(out, "$ReceiverPort$", values.RFIDPort);
  ReplaceNoCase(out, "$ReceiverIP$", values.SerialIP);
  ReplaceNoCase(out, "$Computer$", values.Computer);
  ReplaceNoCase(out, "$InterfaceAddress$", values.InterfaceAddress);
  ReplaceNoCase(out, "$ApplicationPath$", values.ApplicationPath);
  ReplaceNoCase(out, "$XapUID$", values.XapUID);
  return out;
}

}  // namespace tagvane
