// Fuzzes the device record reader: any text must read without failing, and
// once written and read back, the record must be stable. (Singles are written
// with at most seven significant digits, so a figure that needs eight may move
// by its last unit on the first trip; the second trip must change nothing.)
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "receiver/rfid_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tagvane::ManualClock clock;
  static std::string receiver = "__Hall";
  const tagvane::DeviceContext context{&clock, &receiver, nullptr};
  const std::string text(reinterpret_cast<const char*>(data), size);

  tagvane::RFIDDevice first(context);
  first.SetProperties(text);
  tagvane::RFIDDevice second(context);
  second.SetProperties(first.Properties());
  const std::string written = second.Properties();
  tagvane::RFIDDevice third(context);
  third.SetProperties(written);
  if (third.Properties() != written) std::abort();
  if (third.DeviceString() != second.DeviceString()) std::abort();
  // Every text also serves as a display template.
  tagvane::UserFormatValues values;
  values.ReceiverCode = receiver;
  (void)first.UserFormat(text, values);
  return 0;
}
