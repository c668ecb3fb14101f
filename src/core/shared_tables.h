// The process-wide tables and values the parts share; owned by App.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/ci_map.h"
#include "xap/xap_queued_message.h"

namespace tagvane {

class RFIDDevice;
class DeviceClass;

using DevicePtr = std::shared_ptr<RFIDDevice>;

struct SharedTables {
  CaseInsensitiveMap<DevicePtr> DeviceTable;  // device code -> device
  CaseInsensitiveMap<DevicePtr> TagTable;     // tag name -> device
  std::vector<DevicePtr> OffTimerList;        // devices the off timer evaluates
  int16_t OffTimerCount = 0;
  CaseInsensitiveMap<std::string> FilterTable;  // section "Received"
  CaseInsensitiveMap<std::shared_ptr<DeviceClass>> ScriptDeviceTable;
  std::deque<xapQueuedMessage> BscSendQueue;
  // Bumped whenever a device's Tag changes or a device joins DeviceTable;
  // TagTable is rebuilt only when this moved since the last build.
  uint64_t TagChanges = 0;
  uint64_t TagTableBuiltAt = UINT64_MAX;
  // Codes of the records nobody accepted, the one seen longest ago first
  // (receiver/unaccepted_tags.h keeps it and bounds it).
  CaseInsensitiveMap<char> UnacceptedSeen;
};

// Device-code layout constants.
inline constexpr int kCodeFieldWidth = 6;
inline constexpr std::string_view kCodeFill = "______";

struct SharedState {
  std::string ReceiverCode = "______";
  bool XapActive = false;
  bool LinkClosing = false;
  bool PumpGuard = false;  // the main form's message-pump guard
  bool SerialPortOpen = false;
  std::string ReceiveBuffer;
  std::string MonitorLine;
  bool ProcessingData = false;
};

}  // namespace tagvane
