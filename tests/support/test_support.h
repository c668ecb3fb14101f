// Helpers shared by the test suites: temporary folders and file access.
#pragma once

#include <chrono>
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

// Runs pump until done() holds or a generous bound passes; returns done().
// The bound guards against hangs; it is not a measurement.
bool PumpUntil(const std::function<bool()>& done, const std::function<void()>& pump,
               std::chrono::seconds bound = std::chrono::seconds(10));

// How many times what occurs in text (overlapping ones too).
size_t Occurrences(const std::string& text, const std::string& what);

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

}  // namespace tagvane::test
