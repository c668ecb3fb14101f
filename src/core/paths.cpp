#include "core/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    std::error_code ec;
    if (!fs::is_directory(current / parts[i], ec)) {
      // A folder that exists in another letter case is the one meant.
      const auto resolved = ResolveBelow(current, parts[i]);
      if (resolved && fs::is_directory(*resolved, ec)) {
        current = *resolved;
        continue;
      }
    }
    current /= parts[i];
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

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  if (argv0 && argv0[0] == '/' && fs::is_regular_file(argv0, ec)) return argv0;
  return ExecutablePath(argv0);
}

std::string LookupComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
  return std::string(buf, strnlen(buf, 128));
}

namespace {

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

// Writes text to path + ".tmp" and renames it over path. like: the file whose
// mode and owner the result takes (nullptr: 0644 less the umask). The
// temporary file is private until its mode is set, so a private file's
// contents are never readable by others on the way.
void ReplaceAtomically(const fs::path& path, std::string_view text, const struct stat* like) {
  const fs::path tmp = path.string() + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, like ? 0600 : 0644);
  if (fd < 0) ThrowErrno(errno, tmp.string());
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    ThrowErrno(err, tmp.string());
  };
  if (like) {
    // Another owner can be given only by a privileged process; the mode is
    // set after it, as fchown may clear set-id bits.
    if (::fchown(fd, like->st_uid, like->st_gid) != 0 && errno != EPERM) fail(errno);
    if (::fchmod(fd, like->st_mode & 07777) != 0) fail(errno);
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    ThrowErrno(err, tmp.string());
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    ThrowErrno(err, path.string());
  }
}

}  // namespace

void WriteFileAtomically(const fs::path& path, std::string_view text) {
  struct stat old {};
  const bool exists = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  ReplaceAtomically(path, text, exists ? &old : nullptr);
}

void CopyFileAtomically(const fs::path& from, const fs::path& to) {
  struct stat source {};
  if (::stat(from.c_str(), &source) != 0) ThrowErrno(errno, from.string());
  const auto text = ReadWholeFile(from);
  if (!text) throw std::runtime_error(from.string() + ": cannot be read");
  ReplaceAtomically(to, *text, &source);
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return std::move(ss).str();
}

}  // namespace tagvane
