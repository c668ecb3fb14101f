#include "scripting/wrapper_file.h"

#include <vector>

#include "core/text.h"

namespace tagvane {
namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Text between "prefix" and "suffix" (both matched ignoring case) of a
// trimmed line, or nullopt-like failure through the thrown error.
std::string_view Between(std::string_view line, size_t number, std::string_view prefix,
                         std::string_view suffix, std::string_view shape) {
  const std::string_view t = TrimSpaces(line);
  if (t.size() < prefix.size() + suffix.size() || !StartsWithNoCase(t, prefix) ||
      !EqualsNoCase(t.substr(t.size() - suffix.size()), suffix)) {
    throw WrapperFormatError(number, "expected " + std::string(shape));
  }
  return t.substr(prefix.size(), t.size() - prefix.size() - suffix.size());
}

void Fixed(std::string_view line, size_t number, std::string_view expected) {
  if (!EqualsNoCase(TrimSpaces(line), expected)) {
    throw WrapperFormatError(number, "expected " + std::string(expected));
  }
}

}  // namespace

WrapperFile ParseWrapper(std::string_view text) {
  if (text.size() > kMaxWrapperSize) {
    throw WrapperFormatError(0, "larger than " + std::to_string(kMaxWrapperSize) + " bytes");
  }
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() < 9) {
    throw WrapperFormatError(lines.size(), "ends after line " + std::to_string(lines.size()) +
                                               " (a wrapper has nine lines)");
  }
  for (size_t i = 9; i < lines.size(); ++i) {
    if (!TrimSpaces(lines[i]).empty()) throw WrapperFormatError(i + 1, "unexpected text after </Job>");
  }
  WrapperFile w;
  w.job_id = Between(lines[0], 1, "<job id=\"", "\">", "<job id=\"NAME\">");
  if (w.job_id.find('"') != std::string::npos) throw WrapperFormatError(1, "quote inside the job id");

  const std::string_view script = Between(lines[1], 2, "<script ", "/>", "<script ... src=\"FILE\"/>");
  const size_t src = FindNoCase(script, "src=\"");
  const size_t close = src == std::string_view::npos ? src : script.find('"', src + 5);
  if (close == std::string_view::npos) throw WrapperFormatError(2, "no src=\"FILE\" attribute");
  w.script_source = script.substr(src + 5, close - src - 5);
  if (w.script_source.empty()) throw WrapperFormatError(2, "empty src attribute");
  if (w.script_source.find('\0') != std::string::npos) throw WrapperFormatError(2, "NUL in src");

  Fixed(lines[2], 3, "<script language=\"VBScript\">");
  Fixed(lines[3], 4, "Dim xap");
  Fixed(lines[4], 5, "Set xap = createobject(\"Tagwell.Application\")");

  const std::string_view call = TrimSpaces(lines[5]);
  const size_t open = call.find('"');
  if (open == std::string_view::npos || call.size() - open < 2 || call.back() != '"') {
    throw WrapperFormatError(6, "expected PROCEDURE \"PARAMETER\"");
  }
  if (call.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
    throw WrapperFormatError(6, "CR or NUL in the procedure line");
  }
  w.procedure = TrimSpaces(call.substr(0, open));
  if (w.procedure.empty()) throw WrapperFormatError(6, "no procedure name before the parameter");
  // Inside the parameter a quote is written doubled; a single one would
  // end it early.
  const std::string_view quoted = call.substr(open + 1, call.size() - open - 2);
  for (size_t i = 0; i < quoted.size(); ++i) {
    if (quoted[i] == '"') {
      if (i + 1 == quoted.size() || quoted[i + 1] != '"') {
        throw WrapperFormatError(6, "a quote inside the parameter must be doubled");
      }
      ++i;
    }
    w.parameter += quoted[i];
  }

  Fixed(lines[6], 7, "Set xap = Nothing");
  Fixed(lines[7], 8, "</Script>");
  Fixed(lines[8], 9, "</Job>");
  return w;
}

}  // namespace tagvane
