// One tag device: its figures, state and user settings, persisted as the
// 20-field "~"-separated Properties text under its device code in section
// "RFIDUnits" of Tagvane.ini. Getters carry the field's name, setters
// Set<name>; the setters apply the record's rules (DC upper-cased, OffTime at
// least 3, weights 0..20, DeviceValue through the figure of merit, the
// running strength average on every Strength write).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace tagvane {

// What a device needs from its process: the time (creation, unreadable
// dates), the receiver field of this receiver's codes (to tell combined
// devices), and a counter bumped whenever a device's Tag changes, so the tag
// table is rebuilt only when it may differ. Any pointer may be null.
struct DeviceContext {
  const Clock* clock = nullptr;
  const std::string* receiver_code = nullptr;
  uint64_t* tag_changes = nullptr;
};

// The values of the "$...$" placeholders that do not come from the device.
struct UserFormatValues {
  std::string ReceiverCode;
  std::string RFIDPort;
  std::string SerialIP;
  std::string Computer;
  std::string InterfaceAddress;
  std::string ApplicationPath;
  std::string XapUID;
};

inline constexpr int16_t kStatusOn = 2;
inline constexpr int16_t kStatusOff = 3;
inline constexpr int kPropertiesFieldCount = 20;

// "ON" for status 2, "OFF" for anything else.
std::string StatusText(int status);

class RFIDDevice {
 public:
  RFIDDevice() : RFIDDevice(DeviceContext{}) {}
  explicit RFIDDevice(const DeviceContext& context);

  // The record as one "~"-separated text, and its reader. The reader accepts
  // every text: missing fields read as empty, extra fields are ignored, a
  // number out of range leaves its field as it was. Writing keeps every
  // field on its own: a "~" or line break inside a text field is written as
  // "-" or a blank.
  std::string Properties() const;
  void SetProperties(std::string_view text);

  // The template with every placeholder replaced, in the fixed order,
  // without regard to case.
  std::string UserFormat(std::string_view tmpl, const UserFormatValues& values) const;

  const std::string& uID() const { return uid_; }
  void SetuID(std::string_view v) { uid_ = std::string(v); }
  const std::string& X10DC() const { return x10dc_; }
  void SetX10DC(std::string_view v) { x10dc_ = std::string(v); }
  DateTime LastReceivedTime() const { return last_received_time_; }
  void SetLastReceivedTime(DateTime v) { last_received_time_ = v; }
  DateTime DeviceLastChange() const { return device_last_change_; }
  void SetDeviceLastChange(DateTime v) { device_last_change_ = v; }
  const std::string& DeviceString() const { return device_string_; }
  void SetDeviceString(std::string v) { device_string_ = std::move(v); }
  const std::string& DeviceType() const { return device_type_; }
  void SetDeviceType(std::string_view v) { device_type_ = std::string(v); }
  const std::string& Text() const { return text_; }
  void SetText(std::string_view v) { text_ = std::string(v); }
  const std::string& Tag() const { return tag_; }
  void SetTag(std::string_view v);
  const std::string& Location() const { return location_; }
  void SetLocation(std::string_view v) { location_ = std::string(v); }
  const std::string& Subaddress() const { return subaddress_; }
  void SetSubaddress(std::string_view v) { subaddress_ = std::string(v); }
  bool Remove() const { return remove_; }
  void SetRemove(bool v) { remove_ = v; }
  bool X10() const { return x10_; }
  void SetX10(bool v) { x10_ = v; }
  bool Invert() const { return invert_; }
  void SetInvert(bool v) { invert_ = v; }
  bool InUse() const { return in_use_; }
  void SetInUse(bool v) { in_use_ = v; }
  const std::string& Color() const { return color_; }
  void SetColor(std::string_view v) { color_ = std::string(v); }
  const std::string& DC() const { return dc_; }
  void SetDC(std::string_view v);
  int16_t TimerIndex() const { return timer_index_; }
  void SetTimerIndex(int16_t v) { timer_index_ = v; }
  int16_t TimerMinuteCount() const { return timer_minute_count_; }
  void SetTimerMinuteCount(int16_t v) { timer_minute_count_ = v; }
  int16_t OffTime() const { return off_time_; }
  // Stores max(v, 3) and derives the timer pair.
  void SetOffTime(int16_t v);
  // The derived interval in ms; copies the derived minutes into
  // TimerMinuteCount.
  int32_t InitialTimerInterval();
  float LastReceivedTimer() const { return last_received_timer_; }
  void SetLastReceivedTimer(float v) {
    last_received_timer_ = v;
    heard_ = true;
  }
  // True once LastReceivedTimer was set after the device was made or loaded
  // (a report arrived in this run).
  bool Heard() const { return heard_; }
  float FigureOfMerit() const { return figure_of_merit_; }
  void SetFigureOfMerit(float v) { figure_of_merit_ = v; }
  float LastReportedFigureOfMerit() const { return last_reported_fom_; }
  void SetLastReportedFigureOfMerit(float v) { last_reported_fom_ = v; }
  float OnWeight() const { return on_weight_; }
  void SetOnWeight(float v) { on_weight_ = WeightRule(v); }
  float OffWeight() const { return off_weight_; }
  void SetOffWeight(float v) { off_weight_ = WeightRule(v); }
  int16_t Status() const { return status_; }
  void SetStatus(int16_t v) { status_ = v; }
  int16_t DeviceStatus() const { return status_; }
  void SetDeviceStatus(int16_t v) { status_ = v; }
  int16_t Strength() const { return strength_; }
  // Also moves the running average halfway towards v.
  void SetStrength(int16_t v);
  float AverageStrength() const { return average_strength_; }
  void SetAverageStrength(float v) { average_strength_ = v; }
  // The figure of merit rounded to 16 bits (halves to even); throws
  // OverflowError when it does not fit.
  int16_t DeviceValue() const;
  void SetDeviceValue(int16_t v) { figure_of_merit_ = v; }
  const std::string& Version() const { return version_; }
  void SetVersion(std::string_view v) { version_ = std::string(v); }
  bool EventNotification() const { return event_notification_; }
  void SetEventNotification(bool v) { event_notification_ = v; }

  // The derived timer pair of the last OffTime write.
  int32_t TimerIntervalMs() const { return timer_interval_ms_; }
  int16_t TimerMinutes() const { return timer_minutes_; }

  // A combined device: prefix field not "______" and receiver field equal to
  // this receiver's (without case).
  bool IsCombined() const;

  // The weight rule for numbers: above 20 gives 20, below 0 gives 0.
  static float WeightRule(float v);
  // The weight rule for texts: not numeric gives 1.0, else as above.
  static float WeightRule(std::string_view text);

 private:
  DateTime Now() const;
  std::string_view ReceiverCode() const;

  DeviceContext context_;
  std::string dc_;
  int16_t status_ = 0;
  std::string tag_;
  bool event_notification_ = false;
  DateTime device_last_change_{};
  std::string location_;
  std::string uid_;
  bool invert_ = false;
  bool remove_ = false;
  bool x10_ = false;
  int16_t off_time_ = 0;
  std::string x10dc_;
  std::string device_type_ = "Switch";
  bool in_use_ = false;
  float on_weight_ = 1.0f;
  float off_weight_ = 1.0f;
  float figure_of_merit_ = 50.0f;
  float last_reported_fom_ = 50.0f;
  int16_t strength_ = 0;
  float average_strength_ = 0.0f;
  float last_received_timer_ = 0.0f;
  bool heard_ = false;
  DateTime last_received_time_{};
  std::string device_string_;
  std::string version_;
  std::string text_;
  std::string color_;
  std::string subaddress_;
  int16_t timer_index_ = -1;
  int16_t timer_minute_count_ = 1;
  int32_t timer_interval_ms_ = 0;
  int16_t timer_minutes_ = 0;
};

}  // namespace tagvane
