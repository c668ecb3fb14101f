// Fuzzes the device record reader: any text must read without failing, and
// what the writer then produces must read back to exactly the same record.
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
  const std::string written = first.Properties();
  tagvane::RFIDDevice second(context);
  second.SetProperties(written);
  if (second.Properties() != written) std::abort();
  if (second.DeviceString() != first.DeviceString()) std::abort();
  // Every text also serves as a display template.
  tagvane::UserFormatValues values;
  values.ReceiverCode = receiver;
  (void)first.UserFormat(text, values);
  return 0;
}
