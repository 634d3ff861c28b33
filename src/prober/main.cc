// korvprov: finds in about a minute whether a card holds the memory it
// announces, through its file system, without filling it.
#include "prober/prober_run.h"
#include "shared/platform/console.h"

int main(int argc, char** argv) {
  korv::ConsoleInit();
  korv::ExitProgram(korv::RunProber(argc, argv));
}
