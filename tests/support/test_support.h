// Helpers shared by the test suites: temporary folders and file access.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tagvane::test {

// A fresh folder below the system temp folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }

 private:
  std::filesystem::path path_;
};

// Runs pump until done() holds or a generous bound (10 s) passes; returns
// done(). The bound guards against hangs; it is not a measurement.
bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& pump);

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

}  // namespace tagvane::test
