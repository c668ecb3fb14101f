// The bound on tag records that nobody accepted. Every identifier a noisy
// receiver line invents becomes a record; accepted records are kept for ever,
// but of the others (not in use, not removed, never named) at most
// MaxUnacceptedTags (section "RFID", default 1,000; 0 keeps all) are kept,
// and the one seen longest ago is dropped first.
#pragma once

#include "core/shared_tables.h"

namespace tagvane {

class App;
class RFIDDevice;

inline constexpr int kDefaultMaxUnacceptedTags = 1000;

// Not in use, not marked removed and without a name: nothing of the user's
// would be lost with it.
bool Unaccepted(const RFIDDevice& device);
// A report of the device arrived (or it was made or loaded): an unaccepted
// record becomes the most recently seen; any other leaves the order.
void NoteSeen(App& app, const DevicePtr& device);
// Drops the unaccepted records seen longest ago, beyond the setting, from
// the tables and from section "RFIDUnits"; counted in the event log (at most
// once a minute) and in /metrics. Returns how many were dropped.
size_t BoundUnacceptedTags(App& app);

}  // namespace tagvane
