// The default web assets an installed daemon starts with: when the
// application folder has no HTML/ folder, or an empty one, it is filled
// from the assets installed beside the executable (../share/tagvane/html).
#pragma once

#include <filesystem>
#include <string>

namespace tagvane {

// The installed assets for an executable at exe_path; empty when there are
// none (a build tree).
std::filesystem::path InstalledHtmlAssets(const std::filesystem::path& exe_path);

// Copies assets into app_dir/HTML when that folder is missing or empty.
// Returns what happened, for the event log ("" when nothing was done).
std::string FillEmptyHtmlFolder(const std::filesystem::path& app_dir,
                                const std::filesystem::path& assets);

}  // namespace tagvane
