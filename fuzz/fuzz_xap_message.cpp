// Feeds arbitrary datagrams to the xAP parser and checks what peers rely on:
// it never fails, and every reported section and item can be read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xap/xap_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  size_t traced = 0;
  tagvane::XapMessage m([&](std::string_view, std::string_view) { ++traced; });
  m.FromXap(raw);
  for (const std::string& name : m.MsgSection()) {
    (void)m.GetItem(name, "state");
  }
  for (int16_t i = -1; i < 64; ++i) {
    const auto* items = m.msgCollection(i);
    if (!items) continue;
    for (const auto& [key, line] : *items) {
      if (line.find('=') == std::string::npos) __builtin_trap();
    }
  }
  (void)m.CompareTarget("qbx.RFID.HOMEPC.Hall");
  (void)m.CompareSource("qbx.RFID.>:>");
  (void)tagvane::XapMessage::CompareAddress(raw, "a.*.>");
  return 0;
}
