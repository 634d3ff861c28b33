#include "shared/platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/test_process.h"

namespace korv {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempFolder(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(FilesTest, NearestExistingFolder) {
  ASSERT_EQ(MakeFolder(dir_ + "/a"), 0);
  struct Case {
    std::string path;
    std::string want;
  } cases[] = {
      {dir_, dir_},
      {dir_ + "/", dir_},
      {dir_ + "/a", dir_ + "/a"},
      {dir_ + "/a/b/c/", dir_ + "/a"},
      {dir_ + "/x/y", dir_},
      {"no_such_folder_here/x", "."},
      {"", "."},
      {"/no_such_root_folder_korv/x", "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(NearestExistingFolder(c.path), c.want) << c.path;
}

TEST_F(FilesTest, PlainPathsAndIdentities) {
  // The lexical form: where ".." leads, whatever lies on the way.
  struct Case {
    std::string path;
    std::string plain, folder, name;
  } cases[] = {
      {"/a/b/c.json", "/a/b/c.json", "/a/b", "c.json"},
      {"//a/./b//../c/", "/a/c", "/a", "c"},
      {"/a/../../x", "/x", "/", "x"},
      {"/", "/", "/", ""},
      {"/..", "/", "/", ""},
  };
  for (const Case& c : cases) {
    std::string folder, name;
    EXPECT_EQ(PlainAbsolutePath(c.path, &folder, &name), c.plain) << c.path;
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
  const std::string before = CurrentFolder();
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(PlainAbsolutePath("x/../y"), CurrentFolder() + "/y");
  EXPECT_EQ(PlainAbsolutePath(""), CurrentFolder());

  // The identity: one file by its names and links, one folder by its
  // ways there; a name still to be made has only its folder's.
  ASSERT_EQ(MakeFolder(dir_ + "/d"), 0);
  ASSERT_TRUE(WriteWholeFile(dir_ + "/d/f", "x"));
  ASSERT_EQ(link((dir_ + "/d/f").c_str(), (dir_ + "/g").c_str()), 0);
  ASSERT_EQ(symlink("d", (dir_ + "/l").c_str()), 0);
  FileIdentity f, g, l, d, held, missing;
  ASSERT_TRUE(FileIdentityOf(dir_ + "/d/f", &f));
  ASSERT_TRUE(FileIdentityOf("g", &g));
  ASSERT_TRUE(FileIdentityOf("l/f", &l));
  ASSERT_TRUE(FileIdentityOf(dir_ + "/d", &d));
  EXPECT_TRUE(f == g && f == l);
  EXPECT_FALSE(f == d);
  EXPECT_FALSE(FileIdentityOf("l/neu", &missing));
  ASSERT_TRUE(HoldingFolderIdentityOf("l/neu", &held));
  EXPECT_TRUE(held == d);
  ASSERT_TRUE(HoldingFolderIdentityOf("g", &held));
  ASSERT_TRUE(FileIdentityOf(".", &d));
  EXPECT_TRUE(held == d);
  ASSERT_EQ(chdir(before.c_str()), 0);
}

TEST_F(FilesTest, RawRoundTripAndTruncation) {
  std::string path = dir_ + "/N0000001.KVL";
  ASSERT_TRUE(WriteWholeFile(path, std::string(100, 'x')));
  int fd;
  ASSERT_EQ(CreateRawFile(path, &fd), 0);
  size_t stored = 0;
  ASSERT_EQ(WriteRawBlock(fd, "abc", 3, &stored), 0);
  EXPECT_EQ(stored, 3u);
  ASSERT_EQ(CloseRawFile(fd), 0);
  ASSERT_EQ(OpenRawFileForReading(path, &fd), 0);
  char buf[16];
  size_t got = 0;
  ASSERT_EQ(ReadRawBlock(fd, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), "abc") << "an existing file is truncated";
  ASSERT_EQ(ReadRawBlock(fd, buf, sizeof buf, &got), 0);
  EXPECT_EQ(got, 0u);
  CloseRawFile(fd);
}

TEST_F(FilesTest, PlantedLinkIsNotFollowed) {
  std::string victim = dir_ + "/victim";
  ASSERT_TRUE(WriteWholeFile(victim, "precious"));
  std::string link = dir_ + "/N0000000.KVL";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  int fd;
  EXPECT_NE(CreateRawFile(link, &fd), 0);
  EXPECT_NE(OpenRawFileForReading(link, &fd), 0);
  TextFile* text;
  EXPECT_NE(TextCreate(link, &text), 0);
  std::string data;
  ASSERT_TRUE(ReadWholeFile(victim, &data));
  EXPECT_EQ(data, "precious");
}

TEST_F(FilesTest, OnlyRegularFilesOpenForReading) {
  std::string folder = dir_ + "/N0000001.KVL";
  std::string fifo = dir_ + "/N0000002.KVL";
  ASSERT_EQ(MakeFolder(folder), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int fd;
  EXPECT_NE(OpenRawFileForReading(folder, &fd), 0);
  EXPECT_NE(OpenRawFileForReading(fifo, &fd), 0) << "and it must not hang";
  EXPECT_NE(OpenRawFileForReading(dir_ + "/missing", &fd), 0);
  EXPECT_NE(DeleteFile(folder), 0) << "a folder is not deleted as a file";
}

TEST_F(FilesTest, TextFiles) {
  std::string path = dir_ + "/p.txt";
  TextFile* f;
  ASSERT_EQ(TextCreate(path, &f), 0);
  ASSERT_EQ(TextWriteLine(f, "eins"), 0);
  ASSERT_EQ(TextWrite(f, "zw"), 0);
  ASSERT_EQ(TextClose(f), 0);
  ASSERT_EQ(TextOpenAppend(path, &f), 0);
  ASSERT_EQ(TextWrite(f, "ei"), 0);  // last line without line end
  ASSERT_EQ(TextClose(f), 0);
  ASSERT_EQ(TextOpenRead(path, &f), 0);
  std::string line;
  bool eof;
  EXPECT_FALSE(TextAtEnd(f));
  ASSERT_EQ(TextReadLine(f, &line, &eof), 0);
  EXPECT_EQ(line, "eins");
  ASSERT_EQ(TextReadLine(f, &line, &eof), 0);
  EXPECT_EQ(line, "zwei");
  EXPECT_FALSE(eof);
  EXPECT_TRUE(TextAtEnd(f));
  ASSERT_EQ(TextReadLine(f, &line, &eof), 0);
  EXPECT_TRUE(eof);
  TextClose(f);
}

TEST_F(FilesTest, FolderSearchMatchesPatternCaseSensitive) {
  for (const char* n : {"N0000001.KVL", "N.KVL", "Nabc.KVL", "n0000002.KVL",
                        "N0000003.kvl", "X0000004.KVL", "N0000005.KVLX"})
    ASSERT_TRUE(WriteWholeFile(dir_ + "/" + n, ""));
  ASSERT_EQ(MakeFolder(dir_ + "/N0000006.KVL"), 0);
  FolderSearch search;
  std::string name;
  std::vector<std::string> found;
  for (bool ok = FolderSearchFirst(dir_, "N*.KVL", &search, &name); ok;
       ok = FolderSearchNext(&search, &name))
    found.push_back(name);
  FolderSearchEnd(&search);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"N.KVL", "N0000001.KVL",
                                             "N0000006.KVL", "Nabc.KVL"}));
  EXPECT_FALSE(FolderSearchFirst(dir_ + "/missing", "N*.KVL", &search, &name));
  FolderSearchEnd(&search);
}

TEST_F(FilesTest, FreeSpaceOfASmallTmpfs) {
  std::string mnt = dir_ + "/mnt";
  ASSERT_EQ(MakeFolder(mnt), 0);
  std::string why;
  if (!MountTmpfs(mnt, 1 << 20, &why)) GTEST_SKIP() << why;
  EXPECT_EQ(FreeBytesOfPath(mnt), 1 << 20);
  int folder = OpenFolderHandle(mnt);
  EXPECT_EQ(FreeBytesOfFd(folder), 1 << 20);
  EXPECT_NE(DeviceOfFd(folder), DeviceOfPath(dir_));
  EXPECT_EQ(DeviceOfPath(mnt + "/"), DeviceOfFd(folder));
  close(folder);
  Unmount(mnt);
  EXPECT_EQ(FreeBytesOfPath(dir_ + "/no/such/folder"), -1);
}

}  // namespace
}  // namespace korv
