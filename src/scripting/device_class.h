// A received-message record the scripts see: one per name in the "Devices"
// section, with the items of the last captured message.
#pragma once

#include <memory>
#include <string>

#include "core/ci_map.h"
#include "core/clock.h"

namespace tagvane {

class RFIDDevice;

class DeviceClass {
 public:
  std::string Tag;
  std::shared_ptr<RFIDDevice> Link;
  std::string Value;
  int Sequence = 0;
  DateTime LastChange{};
  // Collection key (lower-case "name.messagekey") -> message text / key.
  CaseInsensitiveMap<std::string> MessageList;
  CaseInsensitiveMap<std::string> MessageKeyList;
};

}  // namespace tagvane
