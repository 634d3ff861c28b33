// The reader's run from the title to the closing line.
#ifndef KORV_READER_READER_RUN_H_
#define KORV_READER_READER_RUN_H_

namespace korv {

// Title line of the reader.
inline constexpr char kReaderTitle[] =
    "Korvlas   KORVAMEL   V 2.88 (Linux 64) 13.01.2021";

// Runs the reader once: title, protocol folder, command line, scan and
// order of the data files, the file loop with its protocol, the deletion
// step, the summary and the closing line. Returns the exit status: 0, or 1
// when at least one file was reported as wrong. The command line and fatal
// I/O errors end the program themselves.
int RunReader(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_READER_READER_RUN_H_
