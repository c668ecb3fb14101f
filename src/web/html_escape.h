// Escaping of values inserted into pages, so that a tag named like mark-up
// shows as text and cannot run in the browser.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

// Replaces & < > ' " by their character references.
std::string EscapeHtml(std::string_view s);

}  // namespace tagvane
