#include "reader/reader_run.h"

#include <string>

#include "reader/command_line.h"
#include "reader/verify.h"
#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"
#include "shared/run/window_title.h"
#include "shared/run/work_folder.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

void ResetRunCounters() {
  g_run.run_total = 0;
  g_run.position = 0;
  g_run.finished_files = 0;
  g_run.progress_bytes = 0;
  g_run.progress_column = 0;
  g_run.shown_mib = 0;
  g_run.folded_gib = 0;
  ResetVerification();
}

// Puts the data files of the range into list 0, positions following the
// ascending indices. A folder that cannot be searched ends the run: a
// mistyped folder must not pass as a folder without wrong files.
void OrderDataFiles() {
  const std::string folder = FolderTextToPath(g_run.verzeichnis);
  int err = CheckFolderReadable(folder);
  if (err == 0) HoldDataFolder(false, &err);
  if (err != 0) Fatal(err, folder.empty() ? "." : folder);
  CountingScan();
  g_run.run_total = g_run.candidate_count;
  g_run.position = 1;
  DataFolderScan(kScanListing);
  ListRenumber0();
}

}  // namespace

int RunReader(int argc, const char* const* argv) {
  ClearScreen();
  OutLine(kReaderTitle);
  OutLine();
  OutLine("Liest und analysiert die Dateien von Korvfyll...");
  ResetRunCounters();
  HomeFolderLookup("korvamel");
  ReadReaderCommandLine(argc, argv);

  OrderDataFiles();
  // The sizes are asked only where the title shows them: a run of many
  // small files into a pipe does not pay for them.
  int64_t planned = 0;
  if (StdoutIsTerminal()) {
    for (int32_t position = 1; position <= g_run.run_total; ++position) {
      int32_t index = 0;
      if (!ListFindByValue0(position, &index)) continue;
      const int64_t size = FileSizeOfPath(DataFilePath(index));
      if (size > 0) planned += size;
    }
  }
  TitleStart("korvlas", planned);
  std::string time_text;
  StopwatchStart(kRunStopwatch, &time_text);
  ProtocolSpaceCheck();
  if (g_run.protocol_active) StartProtocolFile("korvlas", time_text);
  OutLine();
  OutLine("Beende mit Tastendruck...");
  OutFlush();

  g_run.protocol_file_number = 0;
  g_run.group_start_index = g_run.beginn - 1;
  g_run.position = 1;
  if (g_run.protocol_active) ProtocolStepSetup();
  PrepareFilePath();
  DecideStampedRun();
  uint64_t tag = 0;
  const bool stamped = StampedRunTag(&tag);
  StartRunRecord("korvlas", stamped, tag);
  if (g_run.run_total >= 1) {
    while (g_run.position <= g_run.run_total) FileStep();
  }
  ListClear0();
  StopwatchStop(kRunStopwatch, &time_text);
  NoteRunTimeEnded();
  StampedRunTotals();

  if (g_run.protocol_active) {
    // A run that had files to read divides its time by at least one.
    if (g_run.finished_files < 1 && g_run.run_total > 0) g_run.finished_files = 1;
    EndProtocolFile(time_text, LargestTotal());
  }
  DeletionStep();
  if (g_run.protocol_active) SummaryDisplay();
  OutLine();
  Out("Korvlas ist beendet.   ");
  OutLine(StopwatchDuration(kRunStopwatch));
  if (WrongFileFound()) return kWrongFileExitStatus;
  return DeletionError() != 0 ? ExitStatusOfError(DeletionError()) : 0;
}

}  // namespace korv
