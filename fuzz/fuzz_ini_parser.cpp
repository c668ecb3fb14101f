// Feeds arbitrary bytes to the INI parser, reads every key back, and checks
// that saving is stable: the text Save writes parses to a store that saves
// to the very same text. The input's first line is also cut into a
// section, a key and a value for WriteKey: whatever it accepts must read
// back as written after a save and a reload.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/ini_tool.h"
#include "core/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tagvane::IniTool tool;
  tool.SetBadLineReporter([](const std::string&, const std::string&) {});
  tool.Parse(text);
  for (const auto& key : tool.Keys("")) (void)tool.Read("", key, "d");

  // Section | key | value, cut at the first two bytes 0xFF.
  const size_t a = text.find('\xFF');
  const size_t b = a == std::string_view::npos ? a : text.find('\xFF', a + 1);
  if (b != std::string_view::npos) {
    const std::string_view section = text.substr(0, std::min<size_t>(a, 100));
    const std::string_view key = text.substr(a + 1, std::min<size_t>(b - a - 1, 255));
    const std::string_view value = text.substr(b + 1, 200);
    bool accepted = true;
    try {
      tool.WriteKey(section, key, value);
    } catch (const std::invalid_argument&) {
      accepted = false;
    }
    if (accepted != (tagvane::IniTool::Unstorable(section, key, value) == nullptr)) {
      __builtin_trap();
    }
    if (accepted) {
      tagvane::IniTool reread;
      reread.SetBadLineReporter([](const std::string&, const std::string&) {});
      reread.Parse(tool.Render());
      // Values lose trailing spaces; an empty value reads as the default.
      const std::string expected(tagvane::TrimSpaces(value).empty()
                                     ? std::string_view("<none>")
                                     : value.substr(0, value.find_last_not_of(' ') + 1));
      if (reread.Read(section, key, "<none>") != expected) __builtin_trap();
    }
  }

  const std::string first = tool.Render();
  tagvane::IniTool again;
  again.Parse(first);
  if (again.Render() != first) __builtin_trap();
  return 0;
}
