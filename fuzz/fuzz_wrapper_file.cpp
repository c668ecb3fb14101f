// Feeds arbitrary bytes to the job wrapper reader. Whatever it accepts must
// hold a procedure name, and a wrapper written from what it read must read
// back to the same procedure and parameter.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "scripting/script_files.h"
#include "scripting/wrapper_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tagvane::WrapperFile w;
  try {
    w = tagvane::ParseWrapper(input);
  } catch (const tagvane::WrapperFormatError& e) {
    if (e.line() > 10 && e.line() > static_cast<size_t>(std::count(input.begin(), input.end(), '\n')) + 1) {
      std::abort();  // a line that is not there
    }
    return 0;
  }
  if (w.procedure.empty()) std::abort();
  const tagvane::WrapperFile again =
      tagvane::ParseWrapper(tagvane::WrapperText("job", w.procedure, w.parameter));
  if (again.procedure != w.procedure || again.parameter != w.parameter) std::abort();
  return 0;
}
