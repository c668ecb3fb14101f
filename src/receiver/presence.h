// The presence decisions: every 3 s the off timer moves each enrolled
// device's figure of merit up (tag heard within its off time) or down
// (silent), turns it On at 100 and Off at 0, announces turns and large
// enough changes (InformEvent), and recomputes the combined devices that
// merge the same tag seen by two receivers (LocalChange).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/shared_tables.h"

namespace tagvane {

class App;

class PresenceLogic {
 public:
  // A negative elapsed time this small is the clock rounding (a single near
  // 86400 has steps of 1/128 s) or a small step back, not a midnight: the
  // tag counts as just heard.
  static constexpr float kClockSlack = 2.0f;

  explicit PresenceLogic(App& app) : app_(app) {}

  // One pass over OffTimerList in enrolment order.
  void OffTimer_Timer();
  // Applies a decision (new status, reported value) to one device and, when
  // it is in use, announces it.
  void InformEvent(const DevicePtr& device, int16_t new_status, int16_t value);
  // Recomputes every combined device of the device's tag.
  void LocalChange(const DevicePtr& device);

  // Seconds since the last report, wrapped at midnight.
  static float ElapsedSinceReport(float now_seconds, float last_received);

 private:
  void EvaluateDevice(const DevicePtr& device, float now_seconds);
  // Keys of combined devices by tag identifier, in table order.
  const std::vector<std::string>* CombinedKeysFor(const std::string& tag_id);

  App& app_;
  std::unordered_map<std::string, std::vector<std::string>> combined_;
  size_t combined_devices_ = SIZE_MAX;
  uint64_t combined_changes_ = UINT64_MAX;
  std::string combined_receiver_;
};

}  // namespace tagvane
