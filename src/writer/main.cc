// korvfyll: fills a folder, and with it its disk, with numbered data files.
#include "shared/platform/console.h"
#include "writer/writer_run.h"

int main(int argc, char** argv) {
  korv::ConsoleInit();
  korv::ExitProgram(korv::RunWriter(argc, argv));
}
