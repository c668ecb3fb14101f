// Fixed date formats, the same on every machine whatever its locale:
// general date "dd/MM/yyyy HH:mm:ss", medium date "dd-MMM-yy", time of day
// "h:mm:ss AM", and the HTTP date of response headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace tagvane {

std::string FormatGeneralDate(DateTime t);
std::string FormatMediumDate(DateTime t);
std::string FormatTimeOfDay(DateTime t);
// RFC 1123 form, "Sun, 06 Dec 2026 06:28:17 GMT" (the local time is used as
// it stands, as the old server did).
std::string FormatHttpDate(DateTime t);
// ISO 8601 in UTC, "2026-12-06T06:28:17Z", of a local date and time read
// in the machine's time zone.
std::string FormatIsoUtc(DateTime t);

// Reads a general date ("dd/MM/yyyy HH:mm:ss", "dd/MM/yyyy H:mm", or a date
// alone). Also accepts ISO "yyyy-MM-dd HH:mm:ss". Returns nullopt for
// anything that is not a valid date.
std::optional<DateTime> ParseDate(std::string_view text);

// The same instant in UTC and back, by this machine's zone rules. A local
// time inside a skipped hour is read with the offset in force before it.
using UtcTime = std::chrono::sys_time<Milliseconds>;
UtcTime LocalToUtc(DateTime t);
DateTime UtcToLocal(UtcTime t);
// ISO 8601 in UTC, "2026-12-05T14:03:07Z".
std::string FormatIsoUtc(DateTime t);
std::string FormatIsoUtc(UtcTime t);
inline bool IsDate(std::string_view text) { return ParseDate(text).has_value(); }

}  // namespace tagvane
