// Feeds arbitrary bytes to the script include expansion (as a set of files
// that include each other by number), the wrapper writer (what it writes
// must read back as written) and the reading of
// Lua's error positions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scripting/script_engine.h"
#include "core/text.h"
#include "scripting/script_files.h"
#include "scripting/wrapper_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Files "0".."n" are the pieces between NUL bytes.
  std::vector<std::string> files;
  size_t start = 0;
  for (size_t i = 0; i <= input.size(); ++i) {
    if (i == input.size() || input[i] == '\0') {
      files.emplace_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  auto number = [&](std::string_view name) -> long {
    if (name.empty() || name.size() > 3) return -1;
    long n = 0;
    for (char c : name) {
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    return n;
  };
  size_t total = 0, loads = 0;
  tagvane::IncludeLoader loader;
  loader.identity = [](std::string_view name) { return std::string(name); };
  loader.read = [&](std::string_view name) -> std::optional<std::string> {
    const long n = number(name);
    if (n < 0 || static_cast<size_t>(n) >= files.size()) return std::nullopt;
    return files[static_cast<size_t>(n)];
  };
  loader.add_code = [&](std::string_view code, std::string_view) {
    total += code.size();
    if (++loads > 100000) __builtin_trap();  // expansion must stay bounded
  };
  loader.cycle = [&](std::string_view name) { total += name.size(); };
  tagvane::ExpandScript("0", loader);

  // What the writer accepts reads back as written.
  const std::string_view procedure = input.substr(0, size / 2), parameter = input.substr(size / 2);
  if (!tagvane::WrapperRefusal(input, procedure, parameter)) {
    const tagvane::WrapperFile w =
        tagvane::ParseWrapper(tagvane::WrapperText(input, procedure, parameter));
    if (w.procedure != tagvane::TrimSpaces(procedure) || w.parameter != parameter) __builtin_trap();
    total += w.job_id.size();
  }
  total += tagvane::ScriptEngine::ErrorFromMessage(input, 2).description.size();
  total += tagvane::IsFullScriptPath(input);
  return total == SIZE_MAX ? 1 : 0;
}
