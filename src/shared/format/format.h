// German-style number texts (zero padding, "." grouping, cut decimals, K/M/G
// sizes) and the key read.
#ifndef KORV_SHARED_FORMAT_FORMAT_H_
#define KORV_SHARED_FORMAT_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// Every text the programs build is cut at this many characters.
inline constexpr size_t kMaxTextLength = 255;

// Whole result of a cut real number whose magnitude is out of range.
inline constexpr std::string_view kOverflowText = "DuvaRave OFL";

// Magnitudes strictly above this bound (and NaN) give kOverflowText.
inline constexpr double kOverflowBound = 9.2e18;

// Code ReadKeyCode returns for escape sequences it does not know.
inline constexpr uint8_t kUnknownKeyCode = 128;

// Returns the decimal text of value with "0" put in front until it is width
// characters long; zeros go in front of a minus sign ("0-5"), and a longer
// text is never cut to width.
std::string ZeroPadded(int32_t value, int16_t width);
std::string ZeroPadded16(int16_t value, int16_t width);
std::string ZeroPadded64(int64_t value, int16_t width);

// Appends what ZeroPadded64(value, width) returns, without allocating once
// out has room (for the per-file and per-block paths).
void AppendZeroPadded(std::string* out, int64_t value, int width);

// Appends the plain decimal text of value, without allocating once out has
// room (for the report and record lines, written for every file).
void AppendDecimal(std::string* out, int64_t value);

// Returns the number of decimal digits of a value of 0 or more (1 for 0).
int DecimalDigits(int64_t value);

// Returns the decimal text with blanks in front (right-aligned) or behind
// (left-aligned) until it is width characters long.
std::string BlankPaddedLeft(int32_t value, int16_t width);
std::string BlankPaddedRight(int32_t value, int16_t width);

// Returns the decimal text with "." between groups of three digits; no "."
// ever follows the minus sign.
std::string Grouped(int32_t value);
std::string Grouped64(int64_t value);

// Appends what Grouped64(value) returns, without allocating once out has room.
void AppendGrouped(std::string* out, int64_t value);

// Returns x with d digits after a decimal comma, cut (never rounded) from the
// stored binary value, integer part not grouped; kOverflowText when |x| is
// above kOverflowBound or x is NaN. -0.0 shows no sign; other negative values
// keep theirs even with integer part 0 ("-0,500"). A negative d counts as 0;
// d above 4 gives up to 18 cut decimals.
std::string RealCut(double x, int16_t d);

// Returns RealCut(x, d) with its integer digits grouped by ".".
std::string RealCutGrouped(double x, int16_t d);

// Appends what RealCutGrouped(x, d) returns, without allocating once out has
// room.
void AppendRealCutGrouped(std::string* out, double x, int16_t d);

// Returns RealCut(x, d) with "0" put in front up to width.
std::string RealCutPadded(double x, int16_t width, int16_t d);

// Returns x rounded to d decimals by the C library's fixed-point conversion,
// "." replaced by ",", then the integer digits grouped (or "0" put in front
// up to width). No overflow test. A negative d counts as 0.
std::string RealRoundedGrouped(double x, int16_t d);
std::string RealRoundedPadded(double x, int16_t width, int16_t d);

// Returns a byte count: plain below 1024, else in K, M or G (units of 1024)
// with three cut decimals; "NEGATIV " and the decimal text for n < 0.
std::string SizeText(int64_t n);

// Returns text with every a replaced by b (a == b leaves it unchanged).
std::string ReplaceChar(std::string text, char a, char b);

// Returns text with every a removed.
std::string RemoveChar(std::string text, char a);

// Returns text with the letters a to z made capitals, other bytes unchanged.
std::string UpperText(std::string text);

// Waits for one key and consumes it. On a terminal the escape sequences of
// the function and cursor keys become the PC codes F1..F12 = 187..198,
// Home 199, Up 200, Page Up 201, Left 203, keypad centre 204, Right 205,
// End 207, Down 208, Page Down 209, Insert 210, Delete 211; a lone Escape
// gives 27, other sequences kUnknownKeyCode. From a pipe or file one byte is
// consumed and returned. At end of input it returns 0 at once.
uint8_t ReadKeyCode();

// Test hook: while on, ReadKeyCode translates escape sequences as on a
// terminal even when standard input is not one (for TEST_SetKeyInput).
void TEST_ForceTerminalKeys(bool on);

}  // namespace korv

#endif  // KORV_SHARED_FORMAT_FORMAT_H_
