#include "web/default_assets.h"

#include <system_error>

namespace tagvane {

namespace fs = std::filesystem;

fs::path InstalledHtmlAssets(const fs::path& exe_path) {
  std::error_code ec;
  const fs::path candidate =
      (exe_path.parent_path() / ".." / "share" / "tagvane" / "html").lexically_normal();
  if (fs::is_directory(candidate, ec)) return candidate;
  return {};
}

std::string FillEmptyHtmlFolder(const fs::path& app_dir, const fs::path& assets) {
  if (assets.empty()) return "";
  std::error_code ec;
  const fs::path html = app_dir / "HTML";
  if (fs::exists(html, ec) && !fs::is_empty(html, ec)) return "";
  fs::create_directories(html, ec);
  if (ec) return "Cannot create " + html.string() + ": " + ec.message();
  fs::copy(assets, html, fs::copy_options::recursive | fs::copy_options::skip_existing, ec);
  if (ec) return "Cannot copy the web assets from " + assets.string() + ": " + ec.message();
  return "Web assets copied from " + assets.string() + " to " + html.string();
}

}  // namespace tagvane
