#include "shared/format/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "shared/platform/console.h"

namespace korv {
namespace {

// Longest decimal text of a 64-bit value: 19 digits and a sign.
constexpr int kDecimalBufferSize = 24;

// Cut decimals are computed in a 64-bit integer: 18 of them always fit.
constexpr int kMaxCutDecimals = 18;

// Bytes after an Escape arrive together with it when a key sends them; a
// lone Escape is told by nothing following within this time.
constexpr int kEscapeFollowMs = 50;

// Longest escape sequence read before giving up on it.
constexpr int kMaxSequenceLength = 32;

bool g_force_terminal_keys = false;

// A byte read while looking for the rest of a key that turned out to start
// the next key; handed out by the next ReadKeyCode.
int g_pushed_back_byte = -1;

void CutText(std::string* text) {
  if (text->size() > kMaxTextLength) text->resize(kMaxTextLength);
}

// Writes the decimal text of value into buf and returns it.
std::string_view Decimal(int64_t value, char (&buf)[kDecimalBufferSize]) {
  auto result = std::to_chars(buf, buf + kDecimalBufferSize, value);
  return std::string_view(buf, static_cast<size_t>(result.ptr - buf));
}

// Appends fill characters in front of or behind t up to width, keeping the
// appended piece within the text limit.
void AppendPadded(std::string* out, std::string_view t, int width, char fill,
                  bool fill_behind) {
  size_t fill_count = 0;
  if (width > 0 && static_cast<size_t>(width) > t.size()) {
    fill_count = static_cast<size_t>(width) - t.size();
  }
  if (fill_behind) {
    t = t.substr(0, kMaxTextLength);
    out->append(t);
    out->append(std::min(fill_count, kMaxTextLength - t.size()), fill);
    return;
  }
  fill_count = std::min(fill_count, kMaxTextLength);
  out->append(fill_count, fill);
  out->append(t.substr(0, kMaxTextLength - fill_count));
}

std::string Padded(int64_t value, int width, char fill, bool fill_behind) {
  char buf[kDecimalBufferSize];
  std::string out;
  AppendPadded(&out, Decimal(value, buf), width, fill, fill_behind);
  return out;
}

// Appends t with "." between groups of three of the counted characters: all
// but the first "-" and, when t holds a ",", only those in front of it. The
// "." goes behind a counted character that has a positive multiple of three
// counted characters to its right.
void AppendGroupedText(std::string* out, std::string_view t) {
  size_t minus = t.find('-');
  size_t comma = t.find(',');
  auto counted = [&](size_t p) {
    return p != minus && (comma == std::string_view::npos || p < comma);
  };
  size_t to_the_right = 0;
  for (size_t p = 0; p < t.size(); ++p) {
    if (counted(p)) ++to_the_right;
  }
  size_t start = out->size();
  for (size_t p = 0; p < t.size(); ++p) {
    out->push_back(t[p]);
    if (counted(p)) {
      --to_the_right;
      if (to_the_right > 0 && to_the_right % 3 == 0) out->push_back('.');
    }
    if (out->size() - start >= kMaxTextLength) break;
  }
  if (out->size() - start > kMaxTextLength) out->resize(start + kMaxTextLength);
}

bool IsOverflow(double x) { return !(std::fabs(x) <= kOverflowBound); }

// Longest RealCut text: sign, 19 digits, comma, 18 decimals.
constexpr int kRealCutBufferSize = 48;

// Writes RealCut(x, d) into buf and returns it. The decimals come from the
// stored binary value, multiplied by ten once per decimal, so they match
// what a reader of the double would get by hand and never round upwards.
std::string_view CutReal(double x, int d, char (&buf)[kRealCutBufferSize]) {
  if (IsOverflow(x)) return kOverflowText;
  char* p = buf;
  bool negative = x < 0;  // -0.0 is not negative
  double a = std::fabs(x);
  int64_t whole = static_cast<int64_t>(a);
  if (negative) *p++ = '-';
  p = std::to_chars(p, buf + kRealCutBufferSize, whole).ptr;
  if (d <= 0) return std::string_view(buf, static_cast<size_t>(p - buf));
  if (d > kMaxCutDecimals) d = kMaxCutDecimals;
  double f = a - static_cast<double>(whole);
  for (int i = 0; i < d; ++i) f *= 10.0;
  int64_t k = static_cast<int64_t>(f);
  *p++ = ',';
  char digits[kDecimalBufferSize];
  std::string_view k_text = Decimal(k, digits);
  for (size_t i = k_text.size(); i < static_cast<size_t>(d); ++i) *p++ = '0';
  for (char c : k_text) *p++ = c;
  return std::string_view(buf, static_cast<size_t>(p - buf));
}

// The C library's fixed-point text of x with d decimals, "." made ",".
std::string RoundedText(double x, int16_t d) {
  int decimals = d < 0 ? 0 : d;
  int size = std::snprintf(nullptr, 0, "%.*f", decimals, x);
  std::string t(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(t.data(), t.size(), "%.*f", decimals, x);
  t.resize(static_cast<size_t>(size));
  // Not cut yet: the grouping must see every integer digit.
  for (char& c : t) {
    if (c == '.') c = ',';
  }
  return t;
}

// Reads the byte after an Escape or inside a sequence: -1 when none follows
// in time or input has ended.
int ReadFollowByte() {
  int b = ReadKeyByte(kEscapeFollowMs);
  return b < 0 ? -1 : b;
}

uint8_t TildeKey(int number) {
  switch (number) {
    case 1:
    case 7:
      return 199;  // Home
    case 2:
      return 210;  // Insert
    case 3:
      return 211;  // Delete
    case 4:
    case 8:
      return 207;  // End
    case 5:
      return 201;  // Page Up
    case 6:
      return 209;  // Page Down
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return static_cast<uint8_t>(187 + number - 11);  // F1..F5
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return static_cast<uint8_t>(192 + number - 17);  // F6..F10
    case 23:
      return 197;  // F11
    case 24:
      return 198;  // F12
    default:
      return kUnknownKeyCode;
  }
}

// The key named by the last byte of a CSI or SS3 sequence.
uint8_t LetterKey(int final_byte) {
  switch (final_byte) {
    case 'A':
      return 200;  // Up
    case 'B':
      return 208;  // Down
    case 'C':
      return 205;  // Right
    case 'D':
      return 203;  // Left
    case 'E':
    case 'G':
      return 204;  // keypad centre
    case 'H':
      return 199;  // Home
    case 'F':
      return 207;  // End
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return static_cast<uint8_t>(187 + final_byte - 'P');  // F1..F4
    default:
      return kUnknownKeyCode;
  }
}

// Reads the rest of a sequence begun by ESC [ or ESC O: parameters (digits
// and ";"), then one final byte. Modifiers after ";" are ignored, so Ctrl-Up
// is Up.
uint8_t ReadSequence(bool csi) {
  int first_number = -1;
  bool in_first_number = true;
  for (int length = 0; length < kMaxSequenceLength; ++length) {
    int b = ReadFollowByte();
    if (b < 0) return kUnknownKeyCode;
    if (csi && length == 0 && b == '[') {
      // Linux console: ESC [ [ A..E are F1..F5.
      int letter = ReadFollowByte();
      if (letter >= 'A' && letter <= 'E') {
        return static_cast<uint8_t>(187 + letter - 'A');
      }
      return kUnknownKeyCode;
    }
    if (b >= '0' && b <= '9') {
      if (in_first_number) {
        first_number = (first_number < 0 ? 0 : first_number) * 10 + (b - '0');
        if (first_number > 9999) first_number = 9999;
      }
      continue;
    }
    if (b == ';') {
      in_first_number = false;
      continue;
    }
    if (b < 0x40 || b > 0x7E) continue;  // other intermediate bytes
    if (csi && b == '~') return TildeKey(first_number);
    return LetterKey(b);
  }
  return kUnknownKeyCode;
}

// Finishes a UTF-8 encoded key whose first byte is lead: its continuation
// bytes are consumed so that one key press stays one key. Characters up to
// U+00FF give their Latin-1 code.
uint8_t ReadUtf8Rest(int lead) {
  int follow = 0;
  int code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    follow = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    follow = 2;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    follow = 3;
    code = lead & 0x07;
  } else {
    return static_cast<uint8_t>(lead);
  }
  for (int i = 0; i < follow; ++i) {
    int b = ReadFollowByte();
    if (b < 0) return static_cast<uint8_t>(lead);
    if ((b & 0xC0) != 0x80) {
      g_pushed_back_byte = b;
      return static_cast<uint8_t>(lead);
    }
    code = (code << 6) | (b & 0x3F);
  }
  return code <= 0xFF ? static_cast<uint8_t>(code) : kUnknownKeyCode;
}

}  // namespace

std::string ZeroPadded(int32_t value, int16_t width) {
  return Padded(value, width, '0', false);
}

std::string ZeroPadded16(int16_t value, int16_t width) {
  return Padded(value, width, '0', false);
}

std::string ZeroPadded64(int64_t value, int16_t width) {
  return Padded(value, width, '0', false);
}

int DecimalDigits(int64_t value) {
  int digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

void AppendZeroPadded(std::string* out, int64_t value, int width) {
  // Date and time fields and file indices: small non-negative values in
  // narrow widths, written in one piece (several per file, millions of files).
  constexpr int kFastWidth = 8;
  if (value >= 0 && value < 100000000 && width <= kFastWidth) {
    char digits[kFastWidth];
    int length = kFastWidth;
    uint32_t v = static_cast<uint32_t>(value);
    do {
      digits[--length] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (kFastWidth - length < width) digits[--length] = '0';
    out->append(digits + length, static_cast<size_t>(kFastWidth - length));
    return;
  }
  char buf[kDecimalBufferSize];
  AppendPadded(out, Decimal(value, buf), width, '0', false);
}

void AppendDecimal(std::string* out, int64_t value) {
  char buf[kDecimalBufferSize];
  out->append(Decimal(value, buf));
}

std::string BlankPaddedLeft(int32_t value, int16_t width) {
  return Padded(value, width, ' ', false);
}

std::string BlankPaddedRight(int32_t value, int16_t width) {
  return Padded(value, width, ' ', true);
}

std::string Grouped(int32_t value) { return Grouped64(value); }

std::string Grouped64(int64_t value) {
  std::string out;
  AppendGrouped(&out, value);
  return out;
}

void AppendGrouped(std::string* out, int64_t value) {
  char buf[kDecimalBufferSize];
  AppendGroupedText(out, Decimal(value, buf));
}

std::string RealCut(double x, int16_t d) {
  char buf[kRealCutBufferSize];
  return std::string(CutReal(x, d, buf));
}

std::string RealCutGrouped(double x, int16_t d) {
  std::string out;
  AppendRealCutGrouped(&out, x, d);
  return out;
}

void AppendRealCutGrouped(std::string* out, double x, int16_t d) {
  if (IsOverflow(x)) {
    out->append(kOverflowText);
    return;
  }
  char buf[kRealCutBufferSize];
  AppendGroupedText(out, CutReal(x, d, buf));
}

std::string RealCutPadded(double x, int16_t width, int16_t d) {
  if (IsOverflow(x)) return std::string(kOverflowText);
  char buf[kRealCutBufferSize];
  std::string out;
  AppendPadded(&out, CutReal(x, d, buf), width, '0', false);
  return out;
}

std::string RealRoundedGrouped(double x, int16_t d) {
  std::string out;
  AppendGroupedText(&out, RoundedText(x, d));
  return out;
}

std::string RealRoundedPadded(double x, int16_t width, int16_t d) {
  std::string out;
  AppendPadded(&out, RoundedText(x, d), width, '0', false);
  return out;
}

std::string SizeText(int64_t n) {
  constexpr int64_t kKilo = 1024;
  constexpr int64_t kMega = 1048576;
  constexpr int64_t kGiga = 1073741824;
  char buf[kRealCutBufferSize];
  std::string out;
  if (n < 0) {
    char digits[kDecimalBufferSize];
    out = "NEGATIV ";
    out.append(Decimal(n, digits));
  } else if (n < kKilo) {
    char digits[kDecimalBufferSize];
    out.append(Decimal(n, digits));
  } else if (n < kMega) {
    out.append(CutReal(static_cast<double>(n) / kKilo, 3, buf));
    out.append(" K");
  } else if (n < kGiga) {
    out.append(CutReal(static_cast<double>(n) / kMega, 3, buf));
    out.append(" M");
  } else {
    out.append(CutReal(static_cast<double>(n) / kGiga, 3, buf));
    out.append(" G");
  }
  return out;
}

std::string ReplaceChar(std::string text, char a, char b) {
  // One pass gives what replacing the first a again and again gives, and
  // cannot loop for ever when a and b are the same.
  for (char& c : text) {
    if (c == a) c = b;
  }
  CutText(&text);
  return text;
}

std::string RemoveChar(std::string text, char a) {
  std::erase(text, a);
  CutText(&text);
  return text;
}

std::string UpperText(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  CutText(&text);
  return text;
}

uint8_t ReadKeyCode() {
  int b;
  if (g_pushed_back_byte >= 0) {
    b = g_pushed_back_byte;
    g_pushed_back_byte = -1;
  } else {
    b = ReadKeyByte(-1);
  }
  // End of input (or an unreadable stdin) must not leave a caller waiting.
  if (b < 0) return 0;
  if (!g_force_terminal_keys && !StdinIsTerminal()) {
    return static_cast<uint8_t>(b);
  }
  if (b >= 0x80) return ReadUtf8Rest(b);
  if (b != 27) return static_cast<uint8_t>(b);
  int next = ReadFollowByte();
  if (next < 0) return 27;  // a lone Escape
  if (next == '[') return ReadSequence(true);
  if (next == 'O') return ReadSequence(false);
  // Alt with a key sends Escape and that key: the key counts.
  return static_cast<uint8_t>(next);
}

void TEST_ForceTerminalKeys(bool on) {
  g_force_terminal_keys = on;
  g_pushed_back_byte = -1;
}

}  // namespace korv
