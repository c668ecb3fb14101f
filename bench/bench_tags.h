// The tag table the benchmarks fill: devices of this receiver named
// "tag_0000", "tag_0001", ... spread over 17 rooms, each handed to adjust
// (its number given) before it joins DeviceTable.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "core/app.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"

namespace tagvane {

inline void AddBenchTags(App& app, int tags, const std::function<void(RFIDDevice&, int)>& adjust) {
  for (int i = 0; i < tags; ++i) {
    char id[16];
    snprintf(id, sizeof id, "%04X", i);
    auto device = NewRFIDDevice(app);
    device->SetDC(MakeDeviceCode(app, "", id));
    device->SetTag(std::string("tag_") + id);
    device->SetLocation("Room " + std::to_string(i % 17));
    adjust(*device, i);
    app.Tables().DeviceTable.Add(device->DC(), device);
  }
}

}  // namespace tagvane
