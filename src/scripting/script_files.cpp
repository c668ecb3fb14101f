#include "scripting/script_files.h"

#include <algorithm>
#include <stdexcept>

#include "core/paths.h"
#include "core/text.h"

namespace tagvane {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Includes nest at most this deep, and one load reads at most this many
// files (a file included twice by different files is read twice, so
// without a bound a few files could include each other exponentially
// often). Beyond either bound the include is skipped and reported like a
// cycle.
constexpr size_t kMaxIncludeDepth = 64;
constexpr size_t kMaxFilesPerLoad = 1000;

struct Expansion {
  const IncludeLoader& loader;
  std::vector<std::string> active;  // identities of the files being expanded
  bool cycle_reported = false;
  size_t files_read = 0;

  void Load(std::string_view name) {
    const std::string id = loader.identity(name);
    if (std::find(active.begin(), active.end(), id) != active.end() ||
        active.size() >= kMaxIncludeDepth || files_read >= kMaxFilesPerLoad) {
      if (!cycle_reported && loader.cycle) loader.cycle(name);
      cycle_reported = true;
      return;
    }
    std::optional<std::string> text = loader.read(name);
    if (!text) return;
    ++files_read;
    active.push_back(id);
    std::string& code = *text;
    size_t p = 0;
    for (;;) {
      const size_t at = FindNoCase(std::string_view(code).substr(p), "#include");
      if (at == std::string::npos) break;
      p += at;
      const size_t line_end = std::min(code.find('\n', p), code.size());
      const size_t open = code.find('"', p);
      const size_t close = open < line_end ? code.find('"', open + 1) : std::string::npos;
      if (open >= line_end || close >= line_end) {
        p += 8;  // no two quotes on this line: the directive stays
        continue;
      }
      const std::string included(TrimSpaces(std::string_view(code).substr(open + 1, close - open - 1)));
      Load(included);
      code.erase(p, close + 1 - p);
    }
    loader.add_code(code, name);
    active.pop_back();
  }
};

}  // namespace

bool IsFullScriptPath(std::string_view name) {
  if (name.find(':') != std::string_view::npos) return true;
  for (size_t i = 1; i < name.size(); ++i) {
    if (IsSeparator(name[i - 1]) && IsSeparator(name[i])) return true;
  }
  return false;
}

std::optional<std::filesystem::path> ResolveScriptPath(const std::filesystem::path& app_path,
                                                       std::string_view name) {
  std::string text = ReplaceAll(name, "\\", "/");
  if (text.empty()) return std::nullopt;
  if (IsFullScriptPath(name)) return std::filesystem::path(text);
  if (text.front() == '/') text.erase(0, 1);
  auto scripts = ResolveBelow(app_path, "Scripts");
  if (!scripts) return std::nullopt;
  return ResolveBelow(*scripts, text);
}

void ExpandScript(std::string_view name, const IncludeLoader& loader) {
  Expansion expansion{loader, {}, false, 0};
  expansion.Load(name);
}

std::string WrapperFileName(std::string_view script_name) {
  // One pass, like a text replace: removing one ".txt" never joins a new one.
  std::string name;
  for (size_t i = 0; i < script_name.size();) {
    if (StartsWithNoCase(script_name.substr(i), ".txt")) {
      i += 4;
    } else {
      name += script_name[i++];
    }
  }
  return "~" + name + ".wsf";
}

std::optional<WrapperFault> WrapperRefusal(std::string_view script_name,
                                           std::string_view procedure,
                                           std::string_view parameter) {
  static constexpr std::string_view kWhat[] = {"the script name", "the procedure",
                                               "the parameter"};
  const std::string_view texts[] = {script_name, procedure, parameter};
  for (size_t i = 0; i < 3; ++i) {
    if (texts[i].find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
      return WrapperFault{i, std::string(kWhat[i]) + " may not hold CR, LF or NUL"};
    }
    if (i < 2 && texts[i].find('"') != std::string_view::npos) {
      return WrapperFault{i, std::string(kWhat[i]) + " may not hold a double quote"};
    }
  }
  if (TrimSpaces(procedure).empty()) return WrapperFault{1, "no procedure given"};
  return std::nullopt;
}

std::string WrapperText(std::string_view script_name, std::string_view procedure,
                        std::string_view parameter) {
  if (auto fault = WrapperRefusal(script_name, procedure, parameter)) {
    throw std::invalid_argument(fault->reason);
  }
  const std::string file = WrapperFileName(script_name);
  const std::string name = file.substr(1, file.size() - 5);
  const std::string call = std::string(procedure) + " \"" + ReplaceAll(parameter, "\"", "\"\"") + "\"";
  const std::vector<std::string> lines = {
      "<job id=\"" + name + "\">",
      "<script language=\"VBScript\" src=\"..\\" + name + ".txt\"/>",
      "<script language=\"VBScript\">",
      "Dim xap",
      "Set xap = createobject(\"Tagwell.Application\")",
      std::string(TrimSpaces(call)),
      "Set xap = Nothing",
      "</Script>",
      "</Job>"};
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace tagvane
