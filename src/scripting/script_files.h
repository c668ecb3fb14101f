// Where script files live and how they are read: names resolved below the
// Scripts folder (either separator, any letter case), and the "#include"
// expansion that loads included files into the same module first.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

// Resolves a script name. A name holding a colon or two separators in a row
// ("//", "\\", "/\"...) is a full path used as it stands (backslashes read
// as "/"). Any other name, with or without one leading separator, is looked
// up below app_path/Scripts without regard to letter case. Names that would
// leave the Scripts folder ("..") resolve to nothing.
std::optional<std::filesystem::path> ResolveScriptPath(const std::filesystem::path& app_path,
                                                       std::string_view name);

// True when name is a full path by the rule above.
bool IsFullScriptPath(std::string_view name);

// What the include expansion needs from its surroundings.
struct IncludeLoader {
  // The file's text, or nullopt when there is no such file (loads nothing,
  // reports nothing).
  std::function<std::optional<std::string>(std::string_view name)> read;
  // A stable identity of the file a name resolves to (its path), used to
  // spot a file that includes itself directly or through others.
  std::function<std::string(std::string_view name)> identity;
  // Receives each expanded file's code in load order (an included file
  // before the file that includes it), with the name as given.
  std::function<void(std::string_view code, std::string_view name)> add_code;
  // Told once per load about the first include cycle found (the name that
  // would have been loaded again).
  std::function<void(std::string_view name)> cycle;
};

// Loads name and everything it includes. An "#include" followed on the same
// line by two double quotes names a file that is loaded at once; the text
// from "#include" to the closing quote is then removed. Any other
// "#include" stays in the text. A file already being expanded in this load
// is not loaded again; nor is anything beyond 64 levels or 1000 files in
// one load. Each refusal is reported once per load through cycle.
void ExpandScript(std::string_view name, const IncludeLoader& loader);

// "~" + name + ".wsf" where name is script_name with every ".txt" (any case)
// removed.
std::string WrapperFileName(std::string_view script_name);
// Why a wrapper for these texts would not read back as written (argument:
// 0 the script name, 1 the procedure, 2 the parameter), or nullopt. No text
// may hold CR, LF or NUL (each would start or cut a line); the name and the
// procedure may not hold a double quote, and the procedure may not be empty.
// A quote inside the parameter is fine: it is written doubled.
struct WrapperFault {
  size_t argument = 0;
  std::string reason;
};
std::optional<WrapperFault> WrapperRefusal(std::string_view script_name,
                                           std::string_view procedure,
                                           std::string_view parameter);

// The nine wrapper lines, CR LF ended; line 6 is PROCEDURE "PARAMETER"
// with every quote of the parameter doubled. Throws std::invalid_argument
// (the WrapperRefusal reason) for texts it cannot write.
std::string WrapperText(std::string_view script_name, std::string_view procedure,
                        std::string_view parameter);

}  // namespace tagvane
