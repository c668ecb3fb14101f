// The texts the reading database is built from: the SampleDate text of a
// reading and the table name of a tag. Both are pure, so they are checked on
// their own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace tagvane {

// "yyyy-mm-dd hh:mm:ss" (24-hour) of text read as a date-time, or of now when
// the text is not one; at exactly midnight the date alone ("yyyy-mm-dd").
std::string StdTime(std::string_view text, DateTime now);
// The same for a date-time at hand (milliseconds are not part of the text).
std::string StdTimeOf(DateTime t);

// "tbl" + tag identifier when the identifier is exactly four ASCII letters
// or digits; nothing otherwise (such a tag gets no table). Only names made
// here ever reach an SQL text.
std::optional<std::string> ReadingTableName(std::string_view tag_id);

// The statements that make a table (a checked reading-table name or the
// turns table) in SQLite or, when postgres, on the server. A reading table
// is "ID, SampleDate, Strength"; the turns table also gets an index by tag
// and time.
std::vector<std::string> CreateTableSql(const std::string& table, bool postgres);

// Text is bytes 0-255; the server keeps UTF-8. Each byte becomes its code
// point, and back (a code point above U+00FF, or a broken sequence, reads
// back as "?"). NUL bytes, which the server refuses, are dropped.
std::string Latin1ToUtf8(std::string_view bytes);
std::string Utf8ToLatin1(std::string_view utf8);

// The identifier as it can be shown in a log entry: bytes outside printable
// ASCII written as \xNN.
std::string PrintableTagId(std::string_view tag_id);

}  // namespace tagvane
