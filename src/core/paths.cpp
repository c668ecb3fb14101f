#include "core/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "core/logger.h"
#include "core/text.h"

namespace fs = std::filesystem;

namespace tagvane {
namespace {

std::vector<std::string> Components(std::string_view name) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : name) {
    if (c == '/' || c == '\\') {
      if (!current.empty() && current != ".") parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty() && current != ".") parts.push_back(current);
  return parts;
}

}  // namespace

bool IsSafeRelativeName(std::string_view name) {
  if (name.empty()) return false;
  if (name.front() == '/' || name.front() == '\\') return false;
  if (name.find('\0') != std::string_view::npos) return false;
  // A drive letter ("c:") is as absolute as a leading slash.
  if (name.size() >= 2 && name[1] == ':') return false;
  const auto parts = Components(name);
  if (parts.empty()) return false;
  for (const auto& p : parts) {
    if (p == "..") return false;
  }
  return true;
}

std::optional<fs::path> ResolveBelow(const fs::path& base, std::string_view name) {
  if (!IsSafeRelativeName(name)) return std::nullopt;
  fs::path current = base;
  bool exists = true;
  for (const auto& part : Components(name)) {
    if (exists) {
      std::error_code ec;
      if (fs::exists(current / part, ec)) {
        current /= part;
        continue;
      }
      bool found = false;
      for (fs::directory_iterator it(current, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (EqualsNoCase(entry, part)) {
          current /= entry;
          found = true;
          break;
        }
      }
      if (found) continue;
      exists = false;
    }
    current /= part;
  }
  return current;
}

void CreateFolders(Logger& log, const std::string& path) {
  if (path.empty() || path.front() != '/') return;
  const auto parts = Components(path);
  fs::path current = "/";
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    current /= parts[i];
    std::error_code ec;
    if (fs::is_directory(current, ec)) continue;
    if (!fs::create_directory(current, ec) && ec) {
      Failure failure{1, 0, ec.message()};
      log.LogEvent(kProductSource, current.string() + " CreateFolders", &failure);
    }
  }
}

std::string RewriteUncPath(const std::string& path) {
  const size_t p = path.find("\\\\");
  if (p == std::string::npos) return path;
  const size_t q = path.find('\\', p + 2);
  if (q == std::string::npos) return path;
  const size_t r = path.find('\\', q + 1);
  if (r == std::string::npos) return path;
  return path.substr(q + 1, r - q - 1) + ":" + path.substr(r);
}

std::string ExecutablePath(const char* argv0) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  return argv0 ? std::string(argv0) : std::string();
}

std::string LookupComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
  return std::string(buf, strnlen(buf, 128));
}

void WriteFileAtomically(const fs::path& path, std::string_view text) {
  const fs::path tmp = path.string() + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(std::strerror(errno));
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw std::runtime_error(std::strerror(err));
    }
    done += static_cast<size_t>(n);
  }
  const int sync_rc = ::fsync(fd);
  const int sync_err = errno;
  const int close_rc = ::close(fd);
  if (sync_rc != 0 || close_rc != 0) {
    const int err = sync_rc != 0 ? sync_err : errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error(std::strerror(err));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error(std::strerror(err));
  }
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return std::move(ss).str();
}

}  // namespace tagvane
