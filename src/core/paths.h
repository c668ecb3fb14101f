// File names below the application folder: resolved without regard to
// letter case against what exists on disk, never allowed to leave their
// folder, and folders created along a path.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tagvane {

class Logger;

// True for a relative name that stays below its folder: not empty, not
// absolute, no ".." component, no NUL. Both "/" and "\" separate components.
bool IsSafeRelativeName(std::string_view name);

// Resolves name below base. Each component that exists on disk in another
// letter case takes the spelling on disk; missing components keep the
// spelling given. Returns nullopt for names that IsSafeRelativeName refuses.
std::optional<std::filesystem::path> ResolveBelow(const std::filesystem::path& base,
                                                  std::string_view name);

// Creates every missing folder along path except its last element (callers
// pass a dummy last element such as "x"); a folder that exists in another
// letter case is used instead of a new one. A relative path creates nothing.
// A folder that cannot be created logs "<path> CreateFolders" and the next
// one is tried.
void CreateFolders(Logger& log, const std::string& path);

// Rewrites "\\server\share\rest" to "share:\rest" (the executable path as the
// role answer reports it); any other text is returned unchanged.
std::string RewriteUncPath(const std::string& path);

// The running executable's full path (from /proc/self/exe), or argv0.
std::string ExecutablePath(const char* argv0);
// The path of the command that started the daemon: argv0 when it is a full
// path to a file (the tagvane command passes its own path so), otherwise
// the running executable's. Companion programs, the default application
// folder and the installed assets are found from it.
std::string ProgramPath(const char* argv0);
// The computer's host name (gethostname), "localhost" when it fails.
std::string LookupComputerName();

// Replaces the file at path with text atomically: writes path + ".tmp",
// flushes it to disk and renames it over path. The new file keeps the mode
// (and, where permitted, the owner) of the file it replaces; a new file gets
// 0644 less the umask. Throws on failure and leaves the old file in place.
void WriteFileAtomically(const std::filesystem::path& path, std::string_view text);
// Copies from over to the same atomic way; the copy takes the mode (and,
// where permitted, the owner) of from, so a private file stays private.
void CopyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to);
// Reads a whole file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

}  // namespace tagvane
