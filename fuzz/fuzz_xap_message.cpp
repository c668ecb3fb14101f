// Feeds arbitrary datagrams to the xAP parser and checks what peers rely on:
// it never fails, every reported section and item can be read back, and a
// message keeps no more sections or items than allowed.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "xap/xap_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  size_t traced = 0;
  tagvane::XapMessage m([&](const std::function<std::string()>& source, std::string_view) {
    if (traced++ == 0 && source().rfind("From XAP ", 0) != 0) __builtin_trap();
  });
  m.FromXap(raw);
  if (m.TooLarge() && m.MsgSection() != std::vector<std::string>{""}) __builtin_trap();
  for (const std::string& name : m.MsgSection()) {
    (void)m.GetItem(name, "state");
  }
  // Every parsed section, the nameless one after the last included.
  size_t sections = 0;
  size_t items = 0;
  for (int16_t i = -1; i <= static_cast<int16_t>(tagvane::XapMessage::kMaxSections + 1); ++i) {
    const auto* section = m.msgCollection(i);
    if (!section) continue;
    ++sections;
    items += section->size();
    for (const auto& [key, line] : *section) {
      if (line.find('=') == std::string::npos) __builtin_trap();
    }
  }
  if (sections > tagvane::XapMessage::kMaxSections + 1) __builtin_trap();
  if (items > tagvane::XapMessage::kMaxItems) __builtin_trap();
  (void)m.CompareTarget("qbx.RFID.HOMEPC.Hall");
  (void)m.CompareSource("qbx.RFID.>:>");
  (void)tagvane::XapMessage::CompareAddress(raw, "a.*.>");
  return 0;
}
