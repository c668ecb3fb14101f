// Reading back the nine-line job wrapper that Spawn writes (WrapperText):
// the job id, the script source, and the procedure with its one quoted
// parameter. The other six lines are fixed and must be there.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tagvane {

struct WrapperFile {
  std::string job_id;         // line 1: <job id="NAME">
  std::string script_source;  // line 2: the src attribute, as written
  std::string procedure;      // line 6: PROCEDURE "PARAMETER"
  std::string parameter;      // with its doubled quotes read as one
};

// A wrapper that cannot be understood; line is 1-based (0: the whole file).
class WrapperFormatError : public std::runtime_error {
 public:
  WrapperFormatError(size_t line, const std::string& what)
      : std::runtime_error(what), line_(line) {}
  size_t line() const { return line_; }

 private:
  size_t line_;
};

// Wrappers are a few hundred bytes; anything larger is refused.
inline constexpr size_t kMaxWrapperSize = 64 * 1024;

// Parses the text of a wrapper (CR LF or LF line ends; fixed lines compared
// without regard to letter case or surrounding spaces; empty lines after
// the ninth are allowed). Throws WrapperFormatError.
WrapperFile ParseWrapper(std::string_view text);

}  // namespace tagvane
