#include "companion/companion.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "freeformat/freeformat.h"

namespace velmora::companion {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kEllipsis[] = "\xE2\x80\xA6";

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

// The escape of one byte the medium cannot show as it is.
void appendByteEscape(std::string& piece, unsigned char byte, Escape style) {
  piece += style == Escape::Json ? "\\u00" : "\\x";
  piece += kHex[byte >> 4];
  piece += kHex[byte & 0xf];
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t at, bool printableOnly) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byteAt(at + 1) < low || byteAt(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byteAt(at + i) < 0x80 || byteAt(at + i) > 0xBF) return 0;
  if (printableOnly) {
    std::uint32_t codePoint = lead & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) codePoint = (codePoint << 6) | (byteAt(at + i) & 0x3Fu);
    if (codePoint >= 0x80 && codePoint <= 0x9F) return 0;
    if (codePoint == 0xFFFE || codePoint == 0xFFFF) return 0;
  }
  return length;
}

std::size_t appendEscaped(std::string& out, std::string_view bytes, Escape style, std::size_t maxShown) {
  const bool xml = style == Escape::Xml || style == Escape::XmlShown;
  std::size_t shown = 0;
  std::string piece;
  // Whether a byte stands for itself, one character wide, in this style.
  const auto plain = [&](unsigned char byte) {
    if (byte < 0x20 || byte >= 0x7f || byte == '\\') return false;
    if (style == Escape::Json) return byte != '"';
    return !xml || (byte != '&' && byte != '<' && byte != '>' && byte != '"' && byte != '\'');
  };
  for (std::size_t at = 0; at < bytes.size();) {
    // A run of such bytes at once, as far as the width allows.
    std::size_t run = 0;
    while (at + run < bytes.size() && plain(static_cast<unsigned char>(bytes[at + run]))) ++run;
    if (run > 0) {
      const std::size_t taken = maxShown == kNoCut ? run : std::min(run, maxShown - shown);
      out.append(bytes.substr(at, taken));
      shown += taken;
      at += taken;
      if (taken < run) {
        out += kEllipsis;
        return kNoCut;
      }
      continue;
    }
    const auto byte = static_cast<unsigned char>(bytes[at]);
    std::size_t used = 1;
    std::size_t width = 1;
    piece.clear();
    if (byte == '\\' && (style == Escape::DisplayShown || style == Escape::XmlShown)) {
      piece = '\\';  // an escape of text already shown
    } else if (isControl(byte) || byte == '\\') {
      if (style == Escape::Json) {
        if (byte == '\\') {
          piece = "\\\\";
        } else {
          appendByteEscape(piece, byte, style);
        }
      } else {
        // The diagnostics' own rule, so a name reads the same in both.
        showName(bytes.substr(at, 1), [&](std::string_view shownPiece) { piece.append(shownPiece); });
      }
      width = piece.size();
    } else if (byte < 0x80) {
      if (style == Escape::Json && byte == '"') {
        piece = "\\\"";
      } else if (xml && byte == '&') {
        piece = "&amp;";
      } else if (xml && byte == '<') {
        piece = "&lt;";
      } else if (xml && byte == '>') {
        piece = "&gt;";
      } else if (xml && byte == '"') {
        piece = "&quot;";  // so that the text may also stand in an attribute
      } else if (xml && byte == '\'') {
        piece = "&#39;";
      } else {
        piece = static_cast<char>(byte);
      }
    } else if (style == Escape::Diagnostic) {
      piece = static_cast<char>(byte);
    } else if (const std::size_t length = utf8SequenceLength(bytes, at, style != Escape::Json); length != 0) {
      piece.assign(bytes.substr(at, length));
      used = length;
    } else {
      appendByteEscape(piece, byte, style);
      width = 4;
    }
    if (maxShown != kNoCut && shown + width > maxShown) {
      out += kEllipsis;
      return kNoCut;
    }
    out += piece;
    shown += width;
    at += used;
  }
  return shown;
}

std::string escapedLines(std::string_view text, Escape style) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    appendEscaped(out, text.substr(start, end - start), style);
    out += '\n';
    start = end + 1;
  }
  return out;
}

std::string groupedCount(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

namespace {

// The eight decimal digits of n (below 10^8) as bytes of the values 0 to 9,
// the first digit in the lowest byte (first in memory), all at once: the
// halves of four digits in 32-bit lanes, their pairs in 16-bit lanes, then
// the digits in bytes; each step's products stay within their lane.
std::uint64_t digitBytes(std::uint64_t n) {
  const std::uint64_t fours = n / 10000 | (n % 10000) << 32;
  const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007F;
  const std::uint64_t pairs = hundreds | (fours - 100 * hundreds) << 16;
  const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;
  return tens | (pairs - 10 * tens) << 8;
}

// The shortest text of a value from 0.001 to below 1e15 that a decimal of
// at most fifteen significant digits with a fraction reads as (the values
// a table of fixed decimals holds), written the way std::to_chars writes
// it, without its search for the shortest digits; nullptr for any other
// value. Two decimals of fifteen digits near the value are further apart
// than the doubles around it, so at most one reads as it: the value scaled
// to fifteen digits and rounded, if it reads back as the value, is that
// one, and without its trailing zeros it is the shortest. Such a decimal
// is never longer written in full than with an exponent, which std::to_chars
// would then write: "0.001" against "1e-03", "12.5" against "1.25e+01".
char* writeShortDecimal(double value, char* text) {
  // Where the leading digit's power of ten rises: 10^(lead + 1) for lead from -3 to 14.
  static constexpr double kLeadEnds[] = {0.01, 0.1, 1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                         1e7,  1e8, 1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 0.001 && magnitude < 1e15)) return nullptr;
  int lead = magnitude >= 1 ? 0 : -3;
  while (magnitude >= kLeadEnds[lead + 3]) ++lead;
  // Eight significant digits first (those of most values a table holds),
  // then fifteen. The nearest whole number; where the product lies near a
  // half, no decimal reads as the value, and the check says so. A decimal
  // of eight digits that reads as the value is the one of fifteen, less its
  // trailing zeros.
  int decimals = std::max(7 - lead, 0);
  auto digits = static_cast<std::uint64_t>(magnitude * kPowersOfTen[decimals] + 0.5);
  if (!(digits < 100000000 && static_cast<double>(digits) / kPowersOfTen[decimals] == magnitude)) {
    decimals = 14 - lead;
    const double scaled = magnitude * kPowersOfTen[decimals];
    if (!(scaled >= 0.5 && scaled < 1e15)) return nullptr;
    digits = static_cast<std::uint64_t>(scaled + 0.5);
    if (static_cast<double>(digits) / kPowersOfTen[decimals] != magnitude) return nullptr;
  }
  // The digits in a row of 24, eight '0's before the sixteen of `digits`
  // (below 10^15 by the checks above), so that the point, `decimals` from
  // the end, falls inside them; then the whole part from its first digit
  // that is not 0 (or the 0 before the point) and the fraction without its
  // trailing zeros, each copied in a copy of a fixed size.
  const std::uint64_t high = digits < 100000000 ? 0 : digitBytes(digits / 100000000);
  const std::uint64_t low = digitBytes(digits % 100000000);
  const int trailingZeros = low != 0 ? std::countl_zero(low) / 8 : 8 + std::countl_zero(high) / 8;
  const int fractionLength = decimals - std::min(trailingZeros, decimals);
  if (fractionLength == 0) return nullptr;  // a whole number: its exponent form may be shorter
  constexpr std::uint64_t kZeros = 0x3030303030303030;
  char row[24 + 16];
  std::memcpy(row, &kZeros, 8);
  const std::uint64_t highText = high | kZeros;
  const std::uint64_t lowText = low | kZeros;
  std::memcpy(row + 8, &highText, 8);
  std::memcpy(row + 16, &lowText, 8);
  std::memset(row + 24, '0', 16);
  const int point = 24 - decimals;
  const int firstDigit = high != 0 ? 8 + std::countr_zero(high) / 8 : 16 + std::countr_zero(low) / 8;
  const int wholeStart = std::min(firstDigit, point - 1);
  if (std::signbit(value)) *text++ = '-';
  // At most fourteen digits before the point and sixteen after it but where
  // the whole part is 0: within the kShortestRoom bytes the text has.
  std::memcpy(text, row + wholeStart, 16);
  text += point - wholeStart;
  *text++ = '.';
  std::memcpy(text, row + point, 16);
  if (fractionLength > 16) text[16] = row[point + 16];
  return text + fractionLength;
}

}  // namespace

char* writeCount(std::uint64_t n, char* text) {
  if (n >= 100000000) return std::to_chars(text, text + 20, n).ptr;
  // The eight digits from the first that is not 0 (the last, for 0 itself),
  // moved down to the text's start.
  const std::uint64_t digits = digitBytes(n);
  const int skipped = digits == 0 ? 7 : std::countr_zero(digits) / 8;
  const std::uint64_t shown = (digits | 0x3030303030303030) >> (8 * skipped);
  std::memcpy(text, &shown, 8);
  return text + 8 - skipped;
}

char* writeShortest(double value, char* text) {
  if (char* end = writeShortDecimal(value, text); end != nullptr) return end;
  const std::string_view word = std::isnan(value)   ? "NaN"
                                : !std::isinf(value) ? ""
                                : value > 0          ? "Infinity"
                                                     : "-Infinity";
  if (!word.empty()) return std::copy(word.begin(), word.end(), text);
  // 24 characters at most: "-2.2250738585072014e-308".
  return std::to_chars(text, text + kShortestRoom, value).ptr;
}

void appendShortest(std::string& out, double value) {
  char text[kShortestRoom];
  out.append(text, writeShortest(value, text));
}

std::string shortestText(double value) {
  std::string text;
  appendShortest(text, value);
  return text;
}

}  // namespace velmora::companion
