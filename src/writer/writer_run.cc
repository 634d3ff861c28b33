#include "writer/writer_run.h"

#include <algorithm>
#include <string>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/platform/entropy.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"
#include "shared/run/window_title.h"
#include "shared/run/work_folder.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"
#include "writer/command_line.h"
#include "writer/fill_loop.h"

namespace korv {
namespace {

constexpr char kTitle[] = "Korvfyll   KORVAMEL   V 2.88 (32bit) 13.01.2021";
constexpr char kDescription[] =
    "Fuellt und loescht Dateien und Festplatten etc...";
constexpr char kProductWord[] = "korvamel";
constexpr char kProtocolBaseWord[] = "korvfyll";

}  // namespace

int RunWriter(int argc, const char* const* argv) {
  ClearScreen();
  OutLine(kTitle);
  OutLine();
  OutLine(kDescription);

  g_run.progress_bytes = 0;
  g_run.shown_mib = 0;
  g_run.folded_gib = 0;
  g_run.finished_files = 0;
  g_run.random_fill = false;
  g_run.stamped_fill = false;
  g_run.loeschen = 'N';
  SeedRandomFill(MillisecondTick());
  // Chosen whether or not the run stamps: the echo shows it.
  g_run.stamp_tag = MakeStampTag(EpochSeconds(), RandomBits32());
  g_run.progress_column = 0;

  HomeFolderLookup(kProductWord);
  ReadWriterCommandLine(argc, argv);
  g_run.data_file_size = g_run.groesse;
  FreeSpaceEstimate();
  // A data folder that exists is locked before the protocol starts, so
  // that a run refused for another run's lock leaves no protocol behind;
  // one still to be made is locked once the fill loop has made it.
  if (FolderExists(g_run.verzeichnis.empty()
                       ? std::string(".")
                       : FolderTextToPath(g_run.verzeichnis))) {
    int err = 0;
    HoldDataFolder(true, &err);
  }
  // The title's plan: the files asked for, as far as the disk has room.
  TitleStart("korvfyll", std::min(static_cast<int64_t>(g_run.anzahl) *
                                      g_run.groesse,
                                  FreeBytesDataDrive()));

  std::string time_text;
  StopwatchStart(kRunStopwatch, &time_text);
  ProtocolSpaceCheck();
  if (g_run.protocol_active) {
    StartProtocolFile(kProtocolBaseWord, time_text);
    // The reader shows the tag it verified; this line is what to compare
    // it with.
    if (g_run.stamped_fill) {
      ProtocolWriteLine("Pruefmuster, Kennung " +
                        StampTagText(g_run.stamp_tag) +
                        (g_run.stamp_continued ? " (fortgesetzt)" : ""));
      ProtocolWriteLine("");
    }
  }

  StartRunRecord(kProtocolBaseWord, g_run.stamped_fill, g_run.stamp_tag);

  OutLine();
  OutLine("Beende mit Tastendruck...");
  const int status = FillLoop();

  StopwatchStop(kRunStopwatch, &time_text);
  NoteRunTimeEnded();
  if (g_run.protocol_active) {
    // A run that finished no file still divides its time by one.
    if (g_run.finished_files < 1) g_run.finished_files = 1;
    EndProtocolFile(time_text, g_run.data_file_size);
  }
  DeletionStep();
  if (g_run.protocol_active) SummaryDisplay();
  if (!g_run.at_line_start) OutLine();
  std::string closing = "Korvfyll ist beendet.   ";
  closing += StopwatchDuration(kRunStopwatch);
  OutLine(closing);
  // A failed write or flush outranks a failed deletion.
  const int err = status != 0 ? status : DeletionError();
  return err != 0 ? ExitStatusOfError(err) : 0;
}

}  // namespace korv
