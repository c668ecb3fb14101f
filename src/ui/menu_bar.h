// The menu of the old tray icon as a bar in every page's header: the
// activity indicator picture with its tip, the seven items in their order
// and captions, and the script that keeps the indicator live by polling
// /indicator. "Exit" is a form posted after a confirmation, never a link.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tagvane {

class ActivityIndicator;

struct MenuItem {
  std::string_view caption;
  // The page it opens; empty: an item without an action (shown disabled).
  std::string_view href;
};

inline constexpr std::array<MenuItem, 8> kMenuItems = {{
    {"Browser", "/status"},
    {"GUI", "/setup"},
    {"System Config", ""},
    {"System Status", ""},
    {"IO Window", "/monitor"},
    {"Help", "/help"},
    {"-", ""},
    {"Exit", "/exit"},
}};

inline constexpr std::string_view kIdlePicture = "/Tagvane/images/indicator_idle.gif";
inline constexpr std::string_view kActivityPicture = "/Tagvane/images/indicator_active.gif";

// The bar's mark-up (escaped tip); exit_token_field: the hidden page-token
// field of the Exit form.
std::string MenuBarHtml(const ActivityIndicator& indicator, std::string_view exit_token_field = "");
// {"shown":..,"active":..,"blinks":n,"tip":".."} for the polling script.
std::string IndicatorJson(const ActivityIndicator& indicator);

}  // namespace tagvane
