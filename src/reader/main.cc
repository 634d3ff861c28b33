// korvlas: reads the data files back, counts their bytes and reports wrong ones.
#include "reader/reader_run.h"
#include "shared/platform/console.h"

int main(int argc, char** argv) {
  korv::ConsoleInit();
  korv::ExitProgram(korv::RunReader(argc, argv));
}
