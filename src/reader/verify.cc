#include "reader/verify.h"

#include <cstdint>
#include <string>

#include "reader/file_reader.h"
#include "reader/file_verdict.h"
#include "reader/stamped_run.h"
#include "reader/stretch_count.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// What the file steps of a run share.
struct Verification {
  FileRead file;  // the file being read, or the one read last
  StampedRun stamped;
  std::string path;          // the data-file path; the name changes per file
  size_t folder_length = 0;  // the folder part of path
  std::string text;          // the report under construction
  int64_t largest_total = 0;
  bool wrong_found = false;
};

Verification g_verification;

void SetPathIndex(int32_t index) {
  g_verification.path.resize(g_verification.folder_length);
  AppendDataFileName(&g_verification.path, index);
}

}  // namespace

void ClearCharacterCounts() {
  ClearHistogram(&g_verification.file.count.bytes);
}

void CountBlock(const uint8_t* data, size_t length) {
  CountBytes(data, length, &g_verification.file.count.bytes);
}

int64_t CharacterCount(uint8_t v) {
  FoldHistogram(&g_verification.file.count.bytes);
  return g_verification.file.count.bytes.counts[v];
}

int64_t CharacterTotal() { return g_verification.file.count.bytes.total; }

bool CharacterReport() {
  Verification& run = g_verification;
  FoldHistogram(&run.file.count.bytes);
  if (run.file.count.bytes.total > run.largest_total) {
    run.largest_total = run.file.count.bytes.total;
  }
  const bool wrong = ReportFile(run.file, g_run.current_index, run.stamped.on,
                                run.path, &run.text);
  if (wrong) run.wrong_found = true;
  return wrong;
}

int64_t LargestTotal() { return g_verification.largest_total; }

bool WrongFileFound() { return g_verification.wrong_found; }

void PrepareFilePath() {
  // The folder part stays; only the name changes from file to file.
  g_verification.path = DataFilePath(0);
  g_verification.folder_length =
      g_verification.path.size() - DataFileName(0).size();
}

void FileStep() {
  Verification& run = g_verification;
  int32_t index = -1;
  if (!ListFindByValue0(static_cast<int32_t>(g_run.position), &index)) {
    index = -1;
  }
  g_run.current_index = index;
  if (index < g_run.beginn || index > g_run.last_index) {
    ++g_run.position;
    return;
  }
  StartFileRead({.on = run.stamped.on, .tag = run.stamped.tag, .index = index},
                &run.file);
  StopwatchStart(kFileStopwatch);
  if (run.path.empty()) PrepareFilePath();
  SetPathIndex(index);
  int fd = -1;
  OutLine();
  const int open_error = OpenRawFileForReading(run.path, &fd);
  if (open_error != 0) {
    // Named with the reason; it gets no "ok" and makes the run's verdict
    // wrong.
    ReportUnopenedFile(index, open_error, run.path, &run.text);
    run.wrong_found = true;
    ++g_run.position;
    return;
  }
  bool complete = ReadFile(fd, &run.file);
  // Closed before the file's line: a file counts as read only once every
  // call on it has succeeded.
  int rc = CloseRawFile(fd);
  if (rc != 0) Fatal(rc, run.path);
  if (g_run.progress_column > 0) OutLine();
  CharacterReport();
  if (run.stamped.on) AddFileToRun(run.file.count.tally, index, &run.stamped);
  // A file with a stretch that could not be read is not done, but the run
  // goes on with the next file.
  if (complete && run.file.read_error == 0) FileCompletionStep();
  // A key press ends the loop after this file, also when the file's last
  // block was the one being read: otherwise a run over files of one block
  // would never stop. The key adds one to the average's divisor whether or
  // not the file was complete, as the writer counts it.
  bool stop = !complete;
  if (KeyPending()) {
    ++g_run.finished_files;
    OutLine();
    stop = true;
  }
  g_run.position = stop ? g_run.run_total + 1 : g_run.position + 1;
}

void TEST_LoadSubCounts(uint8_t v, uint32_t count, int64_t bytes) {
  TEST_LoadSubCounts(v, count, bytes, &g_verification.file.count.bytes);
}

void DecideStampedRun() {
  DecideStamps(&g_verification.stamped);
  g_verification.file.count.tally = StampTally();
}

bool StampedRunTag(uint64_t* tag) {
  *tag = g_verification.stamped.tag;
  return g_verification.stamped.on;
}

void StampedRunTotals() { PrintRunTotals(g_verification.stamped); }

void ResetVerification() {
  Verification& run = g_verification;
  run.stamped = StampedRun();
  StartFileRead(StampCheck(), &run.file);
  run.largest_total = 0;
  run.wrong_found = false;
  run.path.clear();
  run.folder_length = 0;
}

}  // namespace korv
