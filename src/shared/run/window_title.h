// The run's progress in the terminal window's title: share done, speed, time left.
#ifndef KORV_SHARED_RUN_WINDOW_TITLE_H_
#define KORV_SHARED_RUN_WINDOW_TITLE_H_

#include <cstdint>
#include <string>

namespace korv {

// Starts showing the run of program (its word, "korvfyll") in the window's
// title against planned_bytes; nothing is shown without a terminal on
// standard output or without planned bytes.
void TitleStart(const char* program, int64_t planned_bytes);

// Takes the bytes done so far; the title follows at most twice a second,
// so a caller may ask as often as it likes.
void TitleProgress(int64_t done_bytes);

// The title for the figures: "korvfyll 37% - 12,3 G von 33,1 G -
// 45,2 MB/s - noch 00:09:12"; without a speed (bytes_per_second <= 0) it
// ends after the sizes.
std::string TitleText(const char* program, int64_t done_bytes,
                      int64_t planned_bytes, double bytes_per_second);

}  // namespace korv

#endif  // KORV_SHARED_RUN_WINDOW_TITLE_H_
