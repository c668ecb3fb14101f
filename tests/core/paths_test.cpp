#include <gtest/gtest.h>

#include "core/logger.h"
#include "core/paths.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

namespace fs = std::filesystem;

TEST(Paths, CreateFoldersMakesEveryMissingFolderButTheLast) {
  test::TempDir dir;
  ManualClock clock;
  bool debug = false;
  Logger log(clock, debug);
  CreateFolders(log, (dir / "a/b/c/x").string());
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_FALSE(fs::exists(dir / "a/b/c/x"));
  CreateFolders(log, "relative/x");
  EXPECT_FALSE(fs::exists("relative"));
  // A folder that exists in another letter case is used, not doubled.
  CreateFolders(log, (dir / "A/B/new/x").string());
  EXPECT_TRUE(fs::is_directory(dir / "a/b/new"));
  EXPECT_FALSE(fs::exists(dir / "A"));
  // A file in the way: that folder fails and is reported.
  test::WriteFile(dir / "file", "x");
  CreateFolders(log, (dir / "file/sub/x").string());
  // Each failing folder is reported and the next one is still tried.
  ASSERT_EQ(log.Recent().size(), 2u);
  EXPECT_EQ(log.Recent()[0].text.rfind((dir / "file").string() + " CreateFolders Line", 0), 0u);
  EXPECT_EQ(log.Recent()[1].text.rfind((dir / "file/sub").string() + " CreateFolders", 0), 0u);
}

TEST(Paths, UncRewrite) {
  EXPECT_EQ(RewriteUncPath("\\\\server\\c\\Program Files\\xap\\Tagvane\\Tagvane.exe"),
            "c:\\Program Files\\xap\\Tagvane\\Tagvane.exe");
  EXPECT_EQ(RewriteUncPath("\\\\server"), "\\\\server");
  EXPECT_EQ(RewriteUncPath("/opt/tagvane/tagvane"), "/opt/tagvane/tagvane");
}

TEST(Paths, ResolveBelowIgnoresCaseAndStaysInside) {
  test::TempDir dir;
  test::WriteFile(dir / "Config/Sub/Tagvane.ini", "");
  EXPECT_EQ(ResolveBelow(dir.Path(), "config/SUB/tagvane.INI"), dir / "Config/Sub/Tagvane.ini");
  EXPECT_EQ(ResolveBelow(dir.Path(), "Config\\sub\\New.ini"), dir / "Config/Sub/New.ini");
  EXPECT_EQ(ResolveBelow(dir.Path(), "config/NewDir/a.ini"), dir / "Config/NewDir/a.ini");
  for (const char* bad : {"", "/etc/passwd", "../x.ini", "a/../../x", "..\\x", "c:\\x.ini"}) {
    EXPECT_FALSE(ResolveBelow(dir.Path(), bad).has_value()) << bad;
  }
  EXPECT_TRUE(IsSafeRelativeName("a/./b.ini"));
  EXPECT_FALSE(IsSafeRelativeName(std::string("a\0b", 3)));
}

TEST(Paths, AtomicWriteReplacesWholeOrNotAtAll) {
  test::TempDir dir;
  const fs::path file = dir / "f.ini";
  test::WriteFile(file, "old");
  WriteFileAtomically(file, "new text");
  EXPECT_EQ(test::ReadFile(file), "new text");
  EXPECT_THROW(WriteFileAtomically(dir / "missing/f.ini", "x"), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir / "f.ini.tmp"));
}

}  // namespace
}  // namespace tagvane
