// Byte-text helpers: case folding and comparisons that ignore letter case.
// Text is bytes (one char per byte); only ASCII letters fold.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

char LowerChar(char c);
char UpperChar(char c);
std::string ToLower(std::string_view s);
std::string ToUpper(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// Three-way comparison ignoring letter case (<0, 0, >0).
int CompareNoCase(std::string_view a, std::string_view b);
// Position of needle in s ignoring case, or npos.
size_t FindNoCase(std::string_view s, std::string_view needle);

// Removes only the space character from both ends (tabs are kept).
std::string_view TrimSpaces(std::string_view s);
// Removes every double-quote character.
std::string RemoveQuotes(std::string_view s);
// Splits at every occurrence of sep; an empty input gives one empty piece.
std::vector<std::string> Split(std::string_view s, char sep);
std::vector<std::string> Split(std::string_view s, std::string_view sep);
std::string Join(const std::vector<std::string>& parts, std::string_view sep);
// The rightmost n characters (all of s when shorter).
std::string_view Right(std::string_view s, size_t n);
// Replaces every occurrence of from with to.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace tagvane
