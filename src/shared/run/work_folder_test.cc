#include "shared/run/work_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "shared/run/run_test_fixture.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

using WorkFolderTest = RunTest;

TEST_F(WorkFolderTest, HomeLookupTakesTheFirstUsableCandidate) {
  const std::string home = dir_ + "/home";
  const std::string tmp = dir_ + "/tmp";
  const std::string cwd = dir_ + "/cwd";
  for (const std::string& f : {home, tmp, cwd}) fs::create_directory(f);
  fs::create_directory(home + "/korvamel");
  WriteWholeFile(dir_ + "/plainfile", "x");

  struct Case {
    const char* label;
    const char* home;
    const char* temp;
    const char* tmp;
    const char* upper_temp;
    std::string want_path;
  } cases[] = {
      {"HOME with korvamel in it", "home", nullptr, "tmp", nullptr,
       home + "/korvamel/"},
      {"HOME that does not exist yet", "home/later", nullptr, "tmp", nullptr,
       tmp + "/korvamel/"},
      {"HOME that is a file", "plainfile", "tmp", nullptr, nullptr,
       tmp + "/korvamel/"},
      {"only tmp", nullptr, nullptr, "tmp", nullptr, tmp + "/korvamel/"},
      {"only temp", nullptr, "tmp", nullptr, nullptr, tmp + "/korvamel/"},
      {"nothing set", nullptr, nullptr, nullptr, nullptr, "korvamel/"},
      {"TEMP is not temp", nullptr, nullptr, nullptr, "tmp", "korvamel/"},
      {"HOME missing, nothing else", "home/later", nullptr, nullptr, nullptr,
       "korvamel/"},
  };
  fs::current_path(cwd);
  auto absolute = [&](const char* v) -> std::string {
    return v == nullptr ? std::string() : dir_ + "/" + v;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(tmp + "/korvamel");
    fs::remove_all(cwd + "/korvamel");
    ClearHomeEnv();
    std::string h = absolute(c.home), t = absolute(c.temp),
                tm = absolute(c.tmp), ut = absolute(c.upper_temp);
    SetEnv("HOME", c.home ? h.c_str() : nullptr);
    SetEnv("temp", c.temp ? t.c_str() : nullptr);
    SetEnv("tmp", c.tmp ? tm.c_str() : nullptr);
    SetEnv("TEMP", c.upper_temp ? ut.c_str() : nullptr);

    HomeFolderLookup("korvamel");

    EXPECT_EQ(HomePath(), c.want_path);
    EXPECT_EQ(HomeStatus(), 0);
    EXPECT_TRUE(fs::is_directory(HomePath()));
    EXPECT_EQ(fs::current_path(), fs::path(cwd)) << "the current folder moved";
    EXPECT_EQ(StartFolder(), cwd);
  }
  EXPECT_FALSE(fs::exists(home + "/later")) << "only one level is created";
  EXPECT_EQ(out_, "") << "the lookup prints nothing";
}

TEST_F(WorkFolderTest, HomeLookupWithNoFolderToBeHad) {
  // The current folder cannot take korvamel (a file of that name is in the
  // way) and no candidate is set: the status stays -1 and the home path is
  // the word in the current folder.
  fs::current_path(dir_);
  WriteWholeFile(dir_ + "/korvamel", "in the way");
  ClearHomeEnv();
  HomeFolderLookup("korvamel");
  EXPECT_EQ(HomeStatus(), -1);
  EXPECT_EQ(HomePath(), "korvamel/");
  EXPECT_EQ(fs::current_path(), fs::path(dir_));
}

TEST_F(WorkFolderTest, RereadStartFolderFollowsTheCurrentFolder) {
  fs::current_path(dir_);
  ClearHomeEnv();
  SetEnv("HOME", dir_.c_str());
  HomeFolderLookup("korvamel");
  EXPECT_EQ(StartFolder(), dir_);
  fs::create_directory(dir_ + "/sub");
  fs::current_path(dir_ + "/sub");
  EXPECT_EQ(RereadStartFolder(), dir_ + "/sub");
  EXPECT_EQ(StartFolder(), dir_ + "/sub");
}

TEST_F(WorkFolderTest, CreationPrintsEachNewLevelAsWritten) {
  fs::current_path(dir_);
  FolderCreation("a\\b\\", "");
  EXPECT_EQ(out_,
            "Verzeichnis: a\\ angelegt\n"
            "Verzeichnis: a\\b\\ angelegt\n");
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b"));

  out_.clear();
  FolderCreation("a\\b\\", "");
  EXPECT_EQ(out_, "") << "existing levels are passed over silently";
}

TEST_F(WorkFolderTest, CreationSplitsAbsoluteTextsAtSlashesToo) {
  const std::string text = dir_ + "/x/y\\";
  FolderCreation(text, "");
  EXPECT_EQ(out_, "Verzeichnis: " + dir_ + "/x/ angelegt\n" +
                      "Verzeichnis: " + dir_ + "/x/y\\ angelegt\n");
  EXPECT_TRUE(fs::is_directory(dir_ + "/x/y"));
  EXPECT_FALSE(fs::exists(dir_ + "/x/y\\")) << "no folder named with a \\";
}

TEST_F(WorkFolderTest, CreationOfATextWithoutClosingSeparator) {
  fs::current_path(dir_);
  FolderCreation("p\\q", "");
  EXPECT_EQ(out_,
            "Verzeichnis: p\\ angelegt\n"
            "Verzeichnis: p\\q\\ angelegt\n");
  EXPECT_TRUE(fs::is_directory(dir_ + "/p/q"));
}

TEST_F(WorkFolderTest, RemovalWalksUpWhileFoldersAreEmpty) {
  WriteWholeFile(dir_ + "/keep", "the temp folder itself stays");
  fs::create_directories(dir_ + "/x/y");
  FolderRemoval(dir_ + "/x/y\\");
  EXPECT_EQ(out_, "Verzeichnis: " + dir_ + "/x/y\\ geloescht\n" +
                      "Verzeichnis: " + dir_ + "/x geloescht\n");
  EXPECT_FALSE(fs::exists(dir_ + "/x"));
  EXPECT_TRUE(fs::exists(dir_ + "/keep"));
}

TEST_F(WorkFolderTest, RemovalOfARelativeText) {
  fs::current_path(dir_);
  WriteWholeFile(dir_ + "/keep", "");
  fs::create_directories(dir_ + "/a/b");
  FolderRemoval("a\\b\\");
  EXPECT_EQ(out_,
            "Verzeichnis: a\\b\\ geloescht\n"
            "Verzeichnis: a geloescht\n");
  EXPECT_FALSE(fs::exists(dir_ + "/a"));
}

TEST_F(WorkFolderTest, RemovalLeavesFoldersThatStillHoldSomething) {
  fs::current_path(dir_);
  fs::create_directories(dir_ + "/a/b");
  WriteWholeFile(dir_ + "/a/b/N0000001.KVL", "x");
  FolderRemoval("a\\b\\");
  EXPECT_EQ(out_, "");
  EXPECT_TRUE(fs::exists(dir_ + "/a/b/N0000001.KVL"));

  // A parent with a file of its own stays, the emptied level goes.
  fs::remove(dir_ + "/a/b/N0000001.KVL");
  WriteWholeFile(dir_ + "/a/other", "x");
  FolderRemoval("a\\b\\");
  EXPECT_EQ(out_, "Verzeichnis: a\\b\\ geloescht\n");
  EXPECT_TRUE(fs::exists(dir_ + "/a/other"));
}

TEST_F(WorkFolderTest, RemovalOfAMissingFolderIsSilent) {
  fs::current_path(dir_);
  WriteWholeFile(dir_ + "/keep", "");
  FolderRemoval("gibtsnicht\\");
  EXPECT_EQ(out_, "");
}

}  // namespace
}  // namespace korv
