#include "web/file_times.h"

#include <sys/stat.h>

#include <ctime>

namespace tagvane {

namespace {

DateTime LocalDateTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return MakeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec);
}

}  // namespace

DateTime FileModified(const std::filesystem::path& path) {
  std::error_code ec;
  const auto stamp = std::filesystem::last_write_time(path, ec);
  if (ec) return DateTime{};
  // g++ 12 lacks clock_cast; file_clock's to_sys does the same.
  const auto sys = std::chrono::file_clock::to_sys(stamp);
  return LocalDateTime(std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(sys)));
}

FileFacts StatFile(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; };
  return {true,
          static_cast<uint64_t>(st.st_size),
          LocalDateTime(st.st_mtime),
          static_cast<uint64_t>(st.st_ino),
          ns(st.st_mtim),
          ns(st.st_ctim)};
}

}  // namespace tagvane
