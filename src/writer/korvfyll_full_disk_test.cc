// End to end: korvfyll fills every common file system to its end, for
// root and for an ordinary user, without an error line and with the
// protocol on the same disk complete; korvlas passes what it leaves; a
// free space that cannot be asked is an error. Needs root (loop and FUSE
// mounts); a file system whose tools are missing is skipped with the
// reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

// What the same user may still write after a fill: less than a block, the
// protocol's reserve it gave back and the file system's own rounding.
constexpr long long kMostLeftKib = 128;

struct Volume {
  const char* fs;
  const char* tool;   // needed to make it; the row is skipped without it
  const char* mount;  // bash: makes and mounts $IMG at $DISK
};

const Volume kExt4 = {"ext4", "mkfs.ext4",
                      "truncate -s 64M $IMG && mkfs.ext4 -q -m 5 $IMG && "
                      "mount -o loop $IMG $DISK"};
const Volume kXfs = {"xfs", "mkfs.xfs",
                     "truncate -s 320M $IMG && mkfs.xfs -q -f $IMG && "
                     "mount -o loop $IMG $DISK"};
const Volume kBtrfs = {"btrfs", "mkfs.btrfs",
                       "truncate -s 256M $IMG && mkfs.btrfs -q -f $IMG && "
                       "mount -o loop $IMG $DISK"};
const Volume kTmpfs = {"tmpfs", "mount",
                       "mount -t tmpfs -o size=64M tmpfs $DISK"};
const Volume kExfat = {"exfat", "mount.exfat-fuse",
                       "truncate -s 64M $IMG && mkfs.exfat $IMG >/dev/null && "
                       "losetup -f --show $IMG > $ROOT/loop && "
                       "mount.exfat-fuse -o umask=0,allow_other "
                       "$(cat $ROOT/loop) $DISK"};
const Volume kNtfs = {"ntfs", "ntfs-3g",
                      "truncate -s 64M $IMG && mkfs.ntfs -q -F -f $IMG && "
                      "losetup -f --show $IMG > $ROOT/loop && "
                      "ntfs-3g -o umask=0,allow_other $(cat $ROOT/loop) $DISK"};

// Who runs both programs (and then tries to write more).
struct User {
  const char* name;
  const char* prefix;
};
const User kRoot = {"root", ""};
const User kNobody = {"an ordinary user",
                      "setpriv --reuid=65534 --regid=65534 --clear-groups"};
// uid 0 with every capability showing (CAP_SYS_RESOURCE among them).
const User kAllCaps = {"root with all capabilities", "unshare -U -r"};

struct Row {
  const Volume* volume;
  const User* user;
  const char* fill;
  bool home_on_disk;  // the protocol shares the disk being filled
};

class KorvfyllFullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    Sh("umount " + root_ + "/images 2>/dev/null");
    RemoveTree(root_);
  }

  ProcessResult Sh(const std::string& script) {
    ProcessOptions options;
    options.cwd = root_;
    options.env = {{"KF", BuiltProgram("korvfyll")},
                   {"KL", BuiltProgram("korvlas")},
                   {"ROOT", root_},
                   {"IMG", root_ + "/images/disk.img"},
                   {"DISK", root_ + "/disk"},
                   {"OUT", root_ + "/out"}};
    options.timeout_ms = 120000;
    return RunProgram("/bin/bash", {"-c", script}, options);
  }

  std::string root_;
};

TEST_F(KorvfyllFullDiskTest, EveryFileSystemIsFilledToItsEnd) {
  if (!IsRoot()) GTEST_SKIP() << "needs root for loop and FUSE mounts";
  // The images live in memory: the rows then cost the writes, not the disk.
  ProcessResult made =
      Sh("chmod 755 $ROOT && mkdir images disk out && chmod 777 out && "
         "mount -t tmpfs -o size=400M tmpfs images");
  ASSERT_EQ(made.status, 0) << made.output;

  const std::vector<Row> rows = {
      {&kExt4, &kRoot, "A", true},         {&kExt4, &kAllCaps, "PRUEF", false},
      {&kExt4, &kNobody, "RND", false},    {&kXfs, &kRoot, "PRUEF", true},
      {&kXfs, &kNobody, "A", false},       {&kBtrfs, &kRoot, "RND", true},
      {&kBtrfs, &kNobody, "PRUEF", false}, {&kTmpfs, &kRoot, "A", true},
      {&kTmpfs, &kNobody, "RND", false},   {&kExfat, &kRoot, "PRUEF", true},
      {&kExfat, &kNobody, "A", false},     {&kNtfs, &kRoot, "RND", true},
      {&kNtfs, &kNobody, "A", false},
  };
  for (const Row& row : rows) {
    const std::string what =
        std::string(row.volume->fs) + " as " + row.user->name + ", " + row.fill;
    SCOPED_TRACE(what);
    if (Sh(std::string("command -v ") + row.volume->tool).status != 0) {
      std::printf("skipped %s: %s is missing\n", what.c_str(),
                  row.volume->tool);
      continue;
    }
    ProcessResult mounted = Sh(std::string(row.volume->mount) +
                               " >$ROOT/mount.txt 2>&1 && "
                               "chmod 777 $DISK");
    if (mounted.status != 0) {
      std::string why;
      ReadWholeFile(root_ + "/mount.txt", &why);
      std::printf("skipped %s: no mount: %s\n", what.c_str(), why.c_str());
      Sh("umount $DISK; rm -rf $OUT/* $IMG; "
         "if [ -f loop ]; then losetup -d $(cat loop); rm loop; fi");
      continue;
    }
    // With the protocol's home on the disk being filled its reserve and
    // last lines are tested too. The user then tries to write more: once,
    // and again after a flush (room held for data not yet written back).
    const std::string home = row.home_on_disk ? "$DISK/home" : "$OUT/home";
    const std::string script =
        std::string(row.user->prefix) + " bash -c 'mkdir " + home +
        " && cd $DISK && HOME=" + home + " \"$KF\" 1M " + row.fill +
        " 0 100000 N daten 200 </dev/null >$OUT/fill.txt 2>&1; "
        "echo $? >$OUT/fill.st; "
        "dd if=/dev/zero of=rest bs=4k 2>/dev/null; sync; "
        "dd if=/dev/zero of=rest bs=4k oflag=append conv=notrunc "
        "2>/dev/null; stat -c %s rest >$OUT/rest.sz 2>/dev/null || "
        "echo 0 >$OUT/rest.sz; rm -f rest; "
        "HOME=" +
        home +
        " \"$KL\" 0 100000 N daten 0 </dev/null "
        ">$OUT/check.txt 2>&1; echo $? >$OUT/check.st'";
    ProcessResult r = Sh(script);
    std::string fill, fill_status, rest, check, check_status, protocol;
    ReadWholeFile(root_ + "/out/fill.txt", &fill);
    ReadWholeFile(root_ + "/out/fill.st", &fill_status);
    ReadWholeFile(root_ + "/out/rest.sz", &rest);
    ReadWholeFile(root_ + "/out/check.txt", &check);
    ReadWholeFile(root_ + "/out/check.st", &check_status);
    Sh("cat " + home + "/korvamel/korvfyll_*.txt > $ROOT/protocol.txt");
    ReadWholeFile(root_ + "/protocol.txt", &protocol);
    // Every file is whole or cut back to its last whole block.
    ProcessResult sizes = Sh("stat -c %s $DISK/daten/N*.KVL | sort -u");

    EXPECT_EQ(fill_status, "0\n")
        << r.output << fill.substr(fill.size() > 2000 ? fill.size() - 2000 : 0);
    EXPECT_EQ(fill.find("E/A-Fehler"), std::string::npos) << fill;
    EXPECT_NE(fill.find("N0000001.KVL ok"), std::string::npos);
    EXPECT_LE(std::stoll("0" + rest) / 1024, kMostLeftKib)
        << "still writable by the same user after the fill (KiB)";
    EXPECT_NE(protocol.find("\nStop: "), std::string::npos) << protocol;
    EXPECT_NE(protocol.find("\nDurchschnittlich: "), std::string::npos);
    for (const std::string& size : SplitLines(sizes.output)) {
      EXPECT_EQ(std::stoll("0" + size) % 32768, 0) << "a file of " << size;
    }
    EXPECT_EQ(check_status, "0\n") << check;

    Sh("umount $DISK; rm -rf $OUT/* $IMG; "
       "if [ -f loop ]; then losetup -d $(cat loop); rm loop; fi");
  }
}

// A disk whose free space is a whole number of blocks keeps one of them:
// the fill never writes it to the last byte.
TEST_F(KorvfyllFullDiskTest, TheLastBlockStaysFree) {
  ProcessResult r = Sh("mkdir disk home && mount -t tmpfs -o size=4M tmpfs "
                       "disk || exit 77; HOME=$ROOT/home \"$KF\" 1M A 0 10 N "
                       "disk/daten </dev/null; echo status $?");
  if (r.status == 77) GTEST_SKIP() << "needs root to mount a tmpfs";
  const int64_t free_bytes = FreeBytesOfPath(root_ + "/disk");
  Sh("umount disk");
  EXPECT_NE(r.output.find("status 0\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("N0000002.KVL ok"), std::string::npos) << r.output;
  EXPECT_GE(free_bytes, 32768) << r.output;
}

// A disk that cannot say how much room it has is not taken as full: the
// run ends with the error line and its number, not as a success.
TEST_F(KorvfyllFullDiskTest, FreeSpaceThatCannotBeAskedIsAnError) {
  const std::string backing = root_ + "/backing";
  const std::string fuse = root_ + "/fuse";
  ASSERT_EQ(MakeFolder(backing), 0);
  ASSERT_EQ(MakeFolder(fuse), 0);
  std::string why;
  if (!MountFaultFs(backing, fuse, {"--fail-statfs"}, &why)) {
    GTEST_SKIP() << why;
  }
  ProcessResult r = Sh("HOME=$ROOT \"$KF\" 40000 A 0 3 N " + fuse +
                       "/daten 0 </dev/null");
  Unmount(fuse);
  EXPECT_EQ(r.status, 5) << r.output;
  EXPECT_NE(r.output.find("E/A-Fehler 5 (Input/output error): " + fuse +
                          "/daten/N0000000.KVL"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find(".KVL ok"), std::string::npos);
}

}  // namespace
}  // namespace korv
