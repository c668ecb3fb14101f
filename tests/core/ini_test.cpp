#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/ini_cache.h"
#include "core/logger.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class IniFixture : public ::testing::Test {
 protected:
  IniFixture() : log_(clock_, debug_), ini_(dir_.Path() / "Config", log_) {
    std::filesystem::create_directories(dir_.Path() / "Config");
    log_.SetTracePath(dir_.Path() / "trace.txt");
    debug_ = true;  // every event entry also reaches the trace file
  }
  std::filesystem::path Config(const std::string& name) { return dir_.Path() / "Config" / name; }
  // Makes the file look newer than anything the cache has seen.
  void Touch(const std::filesystem::path& p) {
    std::filesystem::last_write_time(
        p, std::filesystem::last_write_time(p) + std::chrono::seconds(5));
  }

  TempDir dir_;
  ManualClock clock_;
  bool debug_ = false;
  Logger log_;
  IniCache ini_;
};

TEST_F(IniFixture, SaveSortsUpperCasesAndDropsCommentsAndDuplicates) {
  WriteFile(Config("t.ini"), "[a]\r\nx=1\r\n[b]\r\n; note\r\ny=2\r\n[a]\r\nx=3\r\n");
  ini_.ClearINISection("nothing", "t.ini");  // marks the slot changed
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("t.ini")), "[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
  EXPECT_EQ(ReadFile(Config("t.ini_bck")), "[a]\r\nx=1\r\n[b]\r\n; note\r\ny=2\r\n[a]\r\nx=3\r\n");
  // A cleared section vanishes at the next flush.
  ini_.ClearINISection("b", "t.ini");
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("t.ini")), "[A]\r\nx=1\r\n");
}

TEST_F(IniFixture, LayoutOfKeysValuesAndTheEmptySection) {
  WriteFile(Config("t.ini"),
            "top=1\n[S]\nSection=Key=Value\nkey = spaced \n  b=2  \n[z]\nA=1\n[Devices]\nq=\n");
  EXPECT_EQ(ini_.GetIniSetting("", "top", "", "t.ini"), "1");
  EXPECT_EQ(ini_.GetIniSetting("S", "Section", "", "t.ini"), "Key=Value");
  EXPECT_EQ(ini_.GetIniSetting("s", "key ", "", "t.ini"), " spaced");
  EXPECT_EQ(ini_.GetIniSetting("S", "key", "none", "t.ini"), "none");
  EXPECT_EQ(ini_.GetIniSetting("DEVICES", "q", "dflt", "T.INI"), "dflt");  // empty reads as default
  ini_.SaveIniSetting("z", "a", "9", "t.ini");
  ini_.SaveIniSetting("Alpha", "k", "v", "t.ini");
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("t.ini")),
            "top=1\r\n[ALPHA]\r\nk=v\r\n[DEVICES]\r\nq=\r\n[S]\r\nb=2\r\nkey = spaced\r\n"
            "Section=Key=Value\r\n[Z]\r\nA=9\r\n");
}

TEST_F(IniFixture, KeysAndSections) {
  WriteFile(Config("t.ini"), "[R]\na=1\nb=\n  =x\n[Empty]\n");
  EXPECT_EQ(ini_.GetINISection("r", "t.ini"), std::string("a=1\0b=", 6));
  EXPECT_EQ(ini_.GetINISection("Empty", "t.ini"), "");
  EXPECT_EQ(ini_.GetINISection("Missing", "t.ini"), "");
  IniTool* store = ini_.Store("t.ini");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->Keys("nothing"), std::vector<std::string>{""});
  // A section name that is a prefix of another does not take its keys.
  store->WriteKey("Rx", "c", "3");
  EXPECT_EQ(store->Keys("R"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(IniFixture, SlotsIgnoreCaseAndFilesAreCreatedOnFirstRead) {
  EXPECT_EQ(ini_.GetIniSetting("a", "b", "d", "New.ini"), "d");
  EXPECT_TRUE(std::filesystem::exists(Config("New.ini")));
  ini_.GetIniSetting("a", "b", "d", "NEW.INI");
  ini_.GetIniSetting("a", "b", "d", "");  // settings.ini
  ASSERT_EQ(ini_.SlotCount(), 3u);
  EXPECT_EQ(ini_.SlotName(0), "xap_ini_file");
  EXPECT_EQ(ini_.SlotName(1), "new.ini");
  EXPECT_EQ(ini_.SlotName(2), "settings.ini");
  EXPECT_TRUE(std::filesystem::exists(Config("settings.ini")));
  // An existing file in another letter case is found, not duplicated.
  WriteFile(Config("Mixed.INI"), "[s]\nk=v\n");
  EXPECT_EQ(ini_.GetIniSetting("S", "K", "", "mixed.ini"), "v");
  EXPECT_FALSE(std::filesystem::exists(Config("mixed.ini")));
}

TEST_F(IniFixture, OutsideEditWinsOverUnflushedWrites) {
  WriteFile(Config("t.ini"), "[s]\nk=1\n");
  EXPECT_EQ(ini_.GetIniSetting("s", "k", "", "t.ini"), "1");
  ini_.SaveIniSetting("s", "mine", "x", "t.ini");
  WriteFile(Config("t.ini"), "[s]\nk=2\n");
  Touch(Config("t.ini"));
  // A write-type lookup keeps the unflushed contents...
  ini_.SaveIniSetting("s", "other", "y", "t.ini");
  EXPECT_EQ(ini_.Store("t.ini")->Read("s", "k", ""), "1");  // stamp already taken: no reload
  WriteFile(Config("t.ini"), "[s]\nk=3\n");
  Touch(Config("t.ini"));
  Touch(Config("t.ini"));
  // ...a read-type lookup reloads and the unflushed write is lost.
  EXPECT_EQ(ini_.GetIniSetting("s", "k", "", "t.ini"), "3");
  EXPECT_EQ(ini_.GetIniSetting("s", "mine", "lost", "t.ini"), "lost");
}

TEST_F(IniFixture, NamesOutsideTheConfigFolderAreRefused) {
  WriteFile(dir_.Path() / "secret.ini", "[s]\nk=secret\n");
  EXPECT_EQ(ini_.GetIniSetting("s", "k", "dflt", "../secret.ini"), "dflt");
  EXPECT_EQ(ini_.GetIniSetting("s", "k", "dflt", (dir_.Path() / "secret.ini").string()), "dflt");
  ini_.SaveIniSetting("s", "k", "x", "..\\..\\evil.ini");
  ini_.FlushIniCache();
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "evil.ini"));
  EXPECT_EQ(ReadFile(dir_.Path() / "secret.ini"), "[s]\nk=secret\n");
  // Each refusal is one entry under the operation's label, with the error part.
  ASSERT_GE(log_.Recent().size(), 3u);
  EXPECT_EQ(log_.Recent()[0].text.rfind("GetIniSetting  Line ", 0), 0u) << log_.Recent()[0].text;
  EXPECT_NE(log_.Recent()[0].text.find("outside the Config folder"), std::string::npos);
  EXPECT_EQ(log_.Recent()[2].text.rfind("SaveIniSetting  Line ", 0), 0u);
  // A sub-folder below Config is fine.
  ini_.SaveIniSetting("s", "k", "v", "sub/inner.ini");
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("sub/inner.ini")), "[S]\r\nk=v\r\n");
}

TEST_F(IniFixture, AFailedSaveKeepsTheOldFileAndAFailedBackupStopsNothing) {
  WriteFile(Config("t.ini"), "[s]\nk=old\n");
  ini_.SaveIniSetting("s", "k", "new", "t.ini");
  // Folders where the temporary file and the backup must go.
  std::filesystem::create_directories(Config("t.ini.tmp/blocker"));
  std::filesystem::create_directories(Config("t.ini_bck/blocker"));
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("t.ini")), "[s]\nk=old\n");
  const std::string label = "IniTool Save" + Config("t.ini").string();
  EXPECT_NE(ReadFile(dir_.Path() / "trace.txt").find(label), std::string::npos);
  // The change is still pending and lands once the write can be made, even
  // though the backup still cannot.
  EXPECT_TRUE(ini_.HasUnsavedChanges());
  std::filesystem::remove_all(Config("t.ini.tmp"));
  ini_.FlushIniCache();
  EXPECT_EQ(ReadFile(Config("t.ini")), "[S]\r\nk=new\r\n");
  EXPECT_FALSE(ini_.HasUnsavedChanges());
  EXPECT_FALSE(std::filesystem::exists(Config("t.ini_bck.tmp")));
}

TEST_F(IniFixture, LinesWithoutEqualSignAreReportedOnceEnabled) {
  WriteFile(Config("t.ini"), "[s]\njunk line\nk=1\n");
  ini_.SetReportBadLines(true);
  EXPECT_EQ(ini_.GetIniSetting("s", "k", "", "t.ini"), "1");
  EXPECT_NE(ReadFile(dir_.Path() / "trace.txt")
                .find("IniTool  Equal sign not found on line junk line, file " +
                      Config("t.ini").string()),
            std::string::npos);
}

TEST_F(IniFixture, SavesKeepModeAndOwnerOfTheFileAndItsBackup) {
  WriteFile(Config("t.ini"), "[s]\npassword=secret\n");
  ASSERT_EQ(chmod(Config("t.ini").c_str(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(Config("t.ini").c_str(), 4321, 4321), 0);
  }
  for (const char* value : {"one", "two"}) {  // the second save replaces a backup
    ini_.SaveIniSetting("s", "k", value, "t.ini");
    ini_.FlushIniCache();
    for (const char* name : {"t.ini", "t.ini_bck"}) {
      struct stat st {};
      ASSERT_EQ(stat(Config(name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
      if (root) {
        EXPECT_EQ(st.st_uid, 4321u) << name;
      }
    }
  }
  EXPECT_EQ(ReadFile(Config("t.ini_bck")), "[S]\r\nk=one\r\npassword=secret\r\n");
}

TEST_F(IniFixture, WhatCannotBeReadBackIsRefusedUnderTheCallersLabel) {
  WriteFile(Config("t.ini"), "[RFIDUnits]\nkeep=1\n");
  const std::string nul("a\0b", 3);
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"k\ney", "v"}, {"k\rey", "v"}, {nul, "v"}, {"k\x03", "v"}, {"k\tx", "v"},
      {"a=b", "v"},   {";k", "v"},     {"[k]", "v"}, {" k", "v"},    {"k", "x\ny"},
      {"k", "x\ry"},  {"k", nul}};
  for (const auto& [key, value] : refused) ini_.SaveIniSetting("RFIDUnits", key, value, "t.ini");
  ini_.SaveIniSetting("RFID\nUnits", "k", "v", "t.ini");
  EXPECT_THROW(IniTool().WriteKey("s", "a=b", "v"), std::invalid_argument);
  size_t entries = 0;
  for (const auto& e : log_.Recent()) entries += e.text.rfind("SaveIniSetting  Line ", 0) == 0;
  EXPECT_EQ(entries, refused.size() + 1);
  // What is still allowed reads back as written; an overlong name is left
  // out of the file and reported at the save.
  ini_.SaveIniSetting("RFIDUnits", std::string(256, 'k'), "v", "t.ini");
  ini_.SaveIniSetting("RFIDUnits", "k]", "v", "t.ini");
  ini_.SaveIniSetting("RFIDUnits", "k ;[x", "a=b;c \x01", "t.ini");
  ini_.FlushIniCache();
  IniTool again;
  again.Parse(ReadFile(Config("t.ini")));
  EXPECT_EQ(again.Keys("RFIDUnits"), (std::vector<std::string>{"k ;[x", "k]", "keep"}));
  EXPECT_EQ(again.Read("RFIDUnits", "k ;[x", ""), "a=b;c \x01");
  EXPECT_NE(ReadFile(dir_.Path() / "trace.txt").find("IniTool Save"), std::string::npos);
}

TEST(IniTool, TheCompositeSeparatorOrANulInAFileCannotCorruptAStore) {
  IniTool tool;
  std::vector<std::string> bad;
  tool.SetBadLineReporter([&](const std::string& line, const std::string&) { bad.push_back(line); });
  // A value that spells its own map key is still a key, and names holding
  // the separator are refused with their keys.
  tool.Parse(std::string("[b]\nk=B\x03k\n[x\x03y]\nlost=1\n[c]\nz\x03=1\nok=2\nn=a\0b\n", 43));
  EXPECT_EQ(tool.Render(), "[B]\r\nk=B\x03k\r\n[C]\r\nok=2\r\n");
  EXPECT_EQ(bad.size(), 4u);
}

}  // namespace
}  // namespace tagvane
