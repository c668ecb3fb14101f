// FormatHTML: the small HTML snippet a device keeps as its display text (the
// status column of the pages, the DisplayText of BSC messages): one or two
// sensor images, the figure of merit in round brackets and the average
// strength in square brackets. Pure; never fails.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

// state: "ON" or "OFF"; type: "Switch", "OnOn", "OffOn", "OnOff", "OffOff",
// "" or anything else; second_state: non-empty for combined devices (its own
// state text, drawn first). Numbers are rounded halves-to-even; a negative
// average leaves the square brackets out.
std::string FormatHTML(std::string_view state, std::string_view type, float average_strength,
                       float figure_of_merit, std::string_view second_state);

// The text of v rounded to `decimals` places (halves to even), in shortest
// form: 87.25f, 1 -> "87.2"; 12.0f, 1 -> "12"; 99.5f, 0 -> "100".
std::string RoundedText(double v, int decimals);
// Appends RoundedText(v, decimals) to out without temporary strings.
void AppendRounded(std::string& out, double v, int decimals);

}  // namespace tagvane
