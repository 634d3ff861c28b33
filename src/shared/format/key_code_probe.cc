// Reads a given number of keys with ReadKeyCode and prints their codes.
#include <cstdlib>
#include <string>

#include "shared/format/format.h"
#include "shared/platform/console.h"

int main(int argc, char** argv) {
  korv::ConsoleInit();
  int count = argc > 1 ? std::atoi(argv[1]) : 1;
  korv::OutLine("bereit");
  korv::OutFlush();
  std::string codes;
  for (int i = 0; i < count; ++i) {
    if (i > 0) codes += ' ';
    codes += std::to_string(korv::ReadKeyCode());
  }
  korv::OutLine("codes " + codes);
  korv::ExitProgram(0);
}
