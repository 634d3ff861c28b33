// The writer's run frame: title, settings, protocol start, fill loop and the end of the run.
#ifndef KORV_WRITER_WRITER_RUN_H_
#define KORV_WRITER_WRITER_RUN_H_

namespace korv {

// Runs korvfyll once from the title to the closing line and returns the
// exit status: 0, or the error number of a failed block write. The usage
// text and fatal file errors end the program from inside.
int RunWriter(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_WRITER_WRITER_RUN_H_
