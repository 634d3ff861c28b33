// Test support: temporary folders, tmpfs mounts and running the built programs.
#ifndef KORV_SHARED_PLATFORM_TEST_PROCESS_H_
#define KORV_SHARED_PLATFORM_TEST_PROCESS_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korv {

// How a program is run by RunProgram.
struct ProcessOptions {
  std::string cwd;                  // working folder ("" = inherit)
  // Environment: the parent's environment with these set (value) ...
  std::vector<std::pair<std::string, std::string>> env;
  // ... and these removed.
  std::vector<std::string> unset_env;
  // Standard input: kDevNull, kText (stdin_text through a pipe, then end of
  // input), kOpenPipe (a pipe kept open and empty for the whole run) or
  // kPty (a pseudo-terminal that is also stdout).
  enum Input { kDevNull, kText, kOpenPipe, kPty } input = kDevNull;
  std::string stdin_text;
  // With kPty or kOpenPipe: once the output contains key_after, wait
  // key_delay_ms and then send key (empty key = send nothing).
  std::string key_after;
  int key_delay_ms = 0;
  std::string key;
  // With any input: once the output contains key_after and key_delay_ms
  // have passed, send this signal to the program (after the key, if any);
  // 0 sends none.
  int signal = 0;
  // With kPty or kOpenPipe: the key is typed ahead instead, before the
  // program starts (a terminal holds it back until the program takes its
  // key mode).
  bool key_first = false;
  // With kPty: further keys sent each time the output grows by a new
  // occurrence of the text "Weiter mit" (for paging).
  bool answer_prompts = false;
  int timeout_ms = 60000;           // killed (SIGKILL) after this
};

struct ProcessResult {
  int status = -1;      // exit status, or 128 + signal number
  std::string output;   // stdout and stderr together, in order
  bool timed_out = false;
  // With kPty: the terminal's mode flags after the run (c_lflag) and
  // before it, to show the program restored them.
  unsigned long lflag_before = 0;
  unsigned long lflag_after = 0;
};

// Runs program with args and returns its status and output.
ProcessResult RunProgram(const std::string& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options);

// Returns the path of a built program (KORV_BUILD_DIR/<name>).
std::string BuiltProgram(const std::string& name);

// Creates a fresh temporary folder and returns its path (ends without "/").
std::string MakeTempFolder();

// Removes a folder tree (unmounting nothing).
void RemoveTree(const std::string& path);

// Mounts a tmpfs of size_bytes at path (the folder must exist). Returns
// false, with *why set, when not root or the mount fails.
bool MountTmpfs(const std::string& path, long long size_bytes,
                std::string* why);

// Mounts the fault-injecting FUSE file system (tests/fault_fs) at path over
// the folder backing, with fault options such as "--fail-open=NAME". Returns
// false, with *why set, when not root or FUSE is missing.
bool MountFaultFs(const std::string& backing, const std::string& path,
                  const std::vector<std::string>& faults, std::string* why);

// Unmounts path.
void Unmount(const std::string& path);

// Returns true when running as root.
bool IsRoot();

// Reads a whole file into *data; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* data);

// Writes data to a file (truncating); false on failure.
bool WriteWholeFile(const std::string& path, const std::string& data);

// Splits text into lines; a last line without line end counts too.
std::vector<std::string> SplitLines(const std::string& text);

// Returns true when text at pos has the shape: '9' stands for any digit,
// every other character for itself.
bool FitsShape(const std::string& text, size_t pos, std::string_view shape);

// Replaces what differs from run to run in a program's transcript:
// instants become "<Zeit>", durations "Dauer:<d>" and the average seconds
// "Durchschnittlich: <s>"; terminal line ends become "\n" and the screen
// clearing and the window title are dropped.
std::string NormalizeTranscript(const std::string& text);

// A counterfeit card for tests: the fake_card_fs tool serves an image that
// announces more bytes than it keeps (the excess overwrites an earlier
// region), the image is attached to a loop device, formatted as ext4
// without journal and mounted at mount_path.
struct FakeCard {
  std::string fuse_folder;  // where the tool serves card.img
  std::string device;       // the loop device, empty while detached
  std::string mount_path;   // where the ext4 file system is mounted, if any
};

// Builds a fake card of announced bytes with real bytes of memory below
// root (folders "fuse" and "karte"); the excess lands from alias_to on
// (-1: the tool's choice, the region just before the real end). Returns
// false, with *why set, when not root or a tool (fake_card_fs, losetup,
// mkfs.ext4) or FUSE is missing; whatever was set up is taken down again
// then.
bool MakeFakeCard(const std::string& root, long long announced,
                  long long real, FakeCard* card, std::string* why,
                  long long alias_to = -1);

// How MakeFakeCardWith builds a fake card.
struct FakeCardOptions {
  long long alias_to = -1;  // where the excess lands (-1: the tool's choice)
  long long eio_from = -1;  // reads and writes from here on fail (-1: never)
  long long cache = 0;      // bytes of write cache inside the card
  // The memory starts with pseudo-random bytes from fill_seed, the user
  // data a card holds before a test, instead of zeros.
  bool fill = false;
  unsigned long long fill_seed = 1;
  int delay_ms = 0;  // added to every write request
  // false: the loop device stays bare, without file system and unmounted
  // (mount_path stays empty).
  bool format = true;
};

// Builds a fake card as MakeFakeCard does, with everything the tool
// offers; fails alike.
bool MakeFakeCardWith(const std::string& root, long long announced,
                      long long real, const FakeCardOptions& options,
                      FakeCard* card, std::string* why);

// Unmounts the card, detaches and reattaches its image and mounts it
// again, so that everything read afterwards comes from the card itself.
// A card without file system is only reattached.
bool RemountFakeCard(FakeCard* card, std::string* why);

// Unmounts and detaches everything MakeFakeCard or MakeFakeCardWith set up
// (the tool ends).
void RemoveFakeCard(FakeCard* card);

// A checksum of all the card announces as the card itself answers, its
// write cache included (read from the tool's image, past the loop device's
// page cache); empty when the image cannot be read.
std::string FakeCardChecksum(const FakeCard& card);

// The sectors of 512 bytes written to a block device (such as
// FakeCard::device) since it appeared, from /sys/class/block/NAME/stat;
// -1 when unreadable. Counts what reached the device, not what still
// waits in its page cache; a loop device keeps counting across detaching
// and attaching, so compare two readings.
long long DeviceWriteSectors(const std::string& device);

// Lists the names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_TEST_PROCESS_H_
