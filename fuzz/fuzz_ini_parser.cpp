// Feeds arbitrary bytes to the INI parser, reads every key back, and checks
// that saving is stable: the text Save writes parses to a store that saves
// to the very same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ini_tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tagvane::IniTool tool;
  tool.SetBadLineReporter([](const std::string&, const std::string&) {});
  tool.Parse(text);
  for (const auto& key : tool.Keys("")) (void)tool.Read("", key, "d");
  const std::string first = tool.Render();
  tagvane::IniTool again;
  again.Parse(first);
  if (again.Render() != first) __builtin_trap();
  return 0;
}
