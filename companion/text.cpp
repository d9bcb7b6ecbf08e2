#include "companion/companion.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The short form of a value of binary exponent e from -10 to 26 (from
// 2^-10 to below 2^27): floor(log10 2^e) is the place of its first digit
// or one below it, the one below where the value is below `end` =
// 10^(floor(log10 2^e) + 1). Each place has its form: the power of ten
// that scales a value there to eight significant digits, and the layout's
// facts; they are by 2 * (e + 10), plus 1 from `end` up. A value below
// 0.001 or from 1e8 up has none: its scale, 2^-60, makes every such value
// 0, which the round trip refuses.
struct ShortForms {
  double ends[37];
  double scales[2 * 37];        // 10^(7 - lead)
  std::int64_t leads[2 * 37];   // the first digit's place, -3 to 7
};
constexpr ShortForms makeShortForms() {
  constexpr double kEnds[] = {0.001, 0.01, 0.1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  constexpr double kNone = 1.0 / (std::uint64_t{1} << 60);
  ShortForms table{};
  for (int e = -10; e <= 26; ++e) {
    const int below = (e * 315653) >> 20;  // floor(log10 2^e), -4 to 7
    table.ends[e + 10] = kEnds[below + 4];
    for (int lead = below; lead <= below + 1; ++lead) {
      const int form = 2 * (e + 10) + (lead - below);
      const bool none = lead < -3 || lead > 7;
      table.scales[form] = none ? kNone : kPowersOfTen[7 - lead];
      table.leads[form] = none ? 7 : lead;
    }
  }
  return table;
}
constexpr ShortForms kShortForms = makeShortForms();

// The whole number nearest to `scaled` (below 2^31 here); a tie may go
// either way.
inline std::int64_t nearestWhole(double scaled) {
#if defined(__SSE2__)
  return _mm_cvtsd_si64(_mm_set_sd(scaled));
#else
  return static_cast<std::int64_t>(scaled + 0.5);
#endif
}

// writeShortDecimal's text of a value it found, from the form (as there)
// and `low`, the eight digits (digitBytes) of the value scaled to eight
// digits.
[[gnu::always_inline]] inline char* shortDecimalText(char* text, std::uint64_t bits, std::uint64_t form,
                                                     std::uint64_t low) {
  constexpr std::uint64_t kZeros = 0x3030303030303030;  // eight '0's
  // The eight digits (the first not 0, as the value is 10^lead or more) as
  // characters in one word, the first in its lowest byte; the trailing
  // zeros are its top bytes that are 0 before the '0's are added. Each
  // piece is one store of eight bytes, within the kShortestRoom bytes the
  // text has (at most 17 here).
  // Which of the eight is the last digit that is not 0, 0 to 7 (the word is
  // not 0, as its first digit is not).
  const std::uint64_t last = (63 - static_cast<std::uint64_t>(__builtin_clzll(low))) >> 3;
  const std::uint64_t shown = low | kZeros;
  const std::int64_t lead = kShortForms.leads[form];
  *text = '-';
  text += bits >> 63;
  if (lead < 0) {
    // "0.", then 0 to 2 more zeros, then the digits.
    std::memcpy(text, "0.000000", 8);
    std::memcpy(text + 1 - lead, &shown, 8);
    return text + 2 - lead + last;
  }
  std::memcpy(text, &shown, 8);
  if (static_cast<std::int64_t>(last) > lead) {
    // The point and the fraction after the whole part (lead below 7 here,
    // as the value has a fraction).
    const std::uint64_t fraction = shown >> (8 * lead + 8);
    text[lead + 1] = '.';
    std::memcpy(text + lead + 2, &fraction, 8);
    return text + 2 + last;
  }
  if (lead >= 5 && static_cast<std::int64_t>(last) <= (lead == 7)) {
    // One digit and five zeros or more, or two digits and six, as the full
    // search decides: "1e+05" against "100000", "2.1e+07" against
    // "21000000": "de+0x" or "d.de+07".
    if (last == 1) {
      text[1] = '.';
      text[2] = static_cast<char>(shown >> 8);
      text += 2;
    }
    const std::uint32_t exponent = 0x00302B65 | static_cast<std::uint32_t>('0' + lead) << 24;
    std::memcpy(text + 1, &exponent, 4);
    return text + 5;
  }
  return text + lead + 1;
}

// The shortest text of a value from 2^-10 to below 2^27 (`step` being its
// binary exponent plus 10) that a decimal from 0.001 to below 1e8 of at
// most eight significant digits reads as (the values a table of fixed
// decimals or of whole numbers holds), written the way std::to_chars
// writes it, without its search for the shortest digits; nullptr for any
// other value.
// Two decimals of fifteen digits near the value are further apart than the
// doubles around it, so at most one reads as it: the value scaled to eight
// digits and rounded, if it reads back as the value, is that one, and
// without its trailing zeros it is the shortest. The product is within
// 2 * 10^-8 of that decimal's eight digits, so any rounding to the nearest
// finds them. Such a decimal with a fraction is never longer written in
// full than with an exponent, which std::to_chars would then write:
// "0.001" against "1e-03", "12.5" against "1.25e+01".
// A whole number so found is exact, and no decimal of fewer significant
// digits lies within half a unit in the last place of it (far below 1, as
// it is below 10^8): one with the same first place is a multiple
// of the next power of ten past the number's last digit that is not 0, a
// whole number that differs from it by that digit's place at least, 1 or
// more; one whose first place is higher is 10^(lead + 1) or more, above the
// number by 1 at least; one whose first place is lower is below 10^lead,
// within 1 of the number only if the number is 10^lead itself, which has
// one digit. So its digits less the trailing zeros are its shortest (and,
// being exact, the nearest of that length), and the text is the one the
// full search writes: in full unless one digit and five zeros or more, or
// two digits and six ("1e+05" against "100000", "2.1e+07" against
// "21000000"; three digits would need six zeros, past 10^8).
char* writeShortDecimal(double value, std::uint64_t bits, std::uint64_t step, char* text) {
  const double magnitude = std::fabs(value);
  const std::uint64_t form = 2 * step + (magnitude >= kShortForms.ends[step]);
  const double scale = kShortForms.scales[form];
  // The value is below 10^(lead + 1) (as a double), so the whole number is
  // 10^8 at most; 10^8 fails the check, as 10^8 / 10^(7 - lead) is that
  // double, above the value. Where the product lies near a half, no
  // decimal reads as the value, and the check says so.
  const std::int64_t nearest = nearestWhole(magnitude * scale);
  if (static_cast<double>(nearest) / scale != magnitude) return nullptr;
  return shortDecimalText(text, bits, form, digitBytes(static_cast<std::uint64_t>(nearest)));
}

// The shortest decimal that reads as a double, by the round-to-odd method:
// the value and the two ends of the span of reals that read as it, all
// times 4, are scaled by one power of ten (from a table of 128-bit
// multipliers, each a little above the exact power) so that the whole part
// of the value has sixteen or seventeen digits; each product is kept to
// its whole part with its lowest bit set when anything below it is not 0.
// The products so kept compare with any whole number of quarters exactly
// as the exact ones would, so three compares decide: the whole number one
// digit shorter (a multiple of ten) below or above the value, if exactly
// one of them lies in the span; else the whole number below or the one
// above the value, whichever lies in the span, or the nearer when both
// do, the even one on a tie. The span holds its ends when the double's
// significand is even (a reader rounds a tie to it). The span is narrower
// than ten units, so no two shorter whole numbers lie in it; the shorter
// one, less its trailing zeros, is the shortest.
struct ShortestPower {
  std::uint64_t high;
  std::uint64_t low;
};
constexpr ShortestPower kShortestPowers[] = {
#include "shortestpowers.inc"
};
constexpr int kShortestPowerFirst = -324;

__extension__ typedef unsigned __int128 Wide;  // NOLINT: the one 128-bit type

// The whole part of power * scaled / 2^128, its lowest bit set if the next
// 64 bits below it are not all 0.
std::uint64_t scaledToOdd(const ShortestPower& power, std::uint64_t scaled) {
  const Wide low = static_cast<Wide>(power.low) * scaled;
  const Wide product = static_cast<Wide>(power.high) * scaled + static_cast<std::uint64_t>(low >> 64);
  return static_cast<std::uint64_t>(product >> 64) | (static_cast<std::uint64_t>(product) != 0);
}

struct ShortDecimal {
  std::uint64_t digits;  // at most seventeen, maybe ending in zeros
  int exponent;          // the value is digits * 10^exponent
};

// The significand and power of two of a finite double's bits, not 0:
// the value is significand * 2^power, the significand below 2^53.
struct BinaryParts {
  std::uint64_t significand;
  int power;
};
BinaryParts binaryParts(std::uint64_t bits) {
  constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
  const int biased = static_cast<int>(bits >> 52 & 0x7FF);
  return {(bits & kFractionMask) | (biased != 0 ? kFractionMask + 1 : 0), std::max(biased, 1) - 1075};
}

// A finite double's bits (not 0) as its shortest decimal.
[[gnu::noinline]] ShortDecimal shortestDecimal(std::uint64_t bits) {
  constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
  const auto [significand, power] = binaryParts(bits);
  const std::uint64_t open = significand & 1;
  const std::uint64_t middle = significand << 2;
  std::uint64_t below = middle - 2;
  // floor(power * log10 2), or floor(log10(3/4 * 2^power)) where the
  // double below is nearer than the one above (a significand of 2^52 but
  // at the smallest exponent), exact over every exponent (make_powers.py
  // checks these).
  int k = (power * 315653) >> 20;
  if (significand == kHidden && power != -1074) {
    below = middle - 1;
    k = (power * 315653 - 131237) >> 20;
  }
  const int shift = power + ((-k * 1741647) >> 19) + 1;  // 1 to 4
  const ShortestPower& scale = kShortestPowers[k - kShortestPowerFirst];
  const std::uint64_t value = scaledToOdd(scale, middle << shift);
  const std::uint64_t low = scaledToOdd(scale, below << shift) + open;
  const std::uint64_t high = scaledToOdd(scale, (middle + 2) << shift) - open;
  const std::uint64_t whole = value >> 2;
  if (whole >= 10) {
    const std::uint64_t shorter = whole / 10 * 10;
    const bool shorterIn = low <= shorter << 2;
    const bool nextIn = (shorter + 10) << 2 <= high;
    if (shorterIn != nextIn) return {shorterIn ? shorter : shorter + 10, k};
  }
  const bool wholeIn = low <= whole << 2;
  const bool nextIn = (whole + 1) << 2 <= high;
  if (wholeIn != nextIn) return {wholeIn ? whole : whole + 1, k};
  const std::uint64_t half = (whole << 2) + 2;
  const bool up = value > half || (value == half && (whole & 1) != 0);
  return {whole + up, k};
}

constexpr std::uint64_t kSixteenDigits = 10000000000000000;

// The shortest digits of a double, seventeen (the first not 0, the last
// maybe 0s) as the first digit and two groups of eight, and the first
// digit's power of ten.
struct DigitGroups {
  std::uint64_t first;
  std::uint64_t high;
  std::uint64_t low;
  std::int64_t lead;
};

// The groups of any finite double but 0, by the search above.
[[gnu::noinline]] DigitGroups searchedGroups(std::uint64_t bits) {
  ShortDecimal decimal = shortestDecimal(bits);
  // A normal double's shortest digits are 10^15 or more and below 9.1 *
  // 10^16, a subnormal's may be fewer.
  while (decimal.digits < kSixteenDigits) {
    decimal.digits *= 10;
    --decimal.exponent;
  }
  const std::uint64_t firstNine = decimal.digits / 100000000;
  const std::uint64_t first = static_cast<std::uint32_t>(firstNine) / 100000000;
  return {first, firstNine - first * 100000000, decimal.digits - firstNine * 100000000, decimal.exponent + 16};
}

// The groups of a normal double whose significand is not 2^52 (whose span
// is even about it), from one product; false where the product is too
// near a point where the choice turns, which only the search settles.
// With k as in the search, z = v * 10^(2 - k) is from 4.5 * 10^17 to below
// 9.01 * 10^18, and the span's half width there, T = 50 * 2^power * 10^-k,
// is from 50 to below 500. The span, narrower than 1,000, holds at most
// one multiple of 1,000; where it holds one, that is the shortest, alone
// of its length (any shorter one is a multiple of 1,000 too). Else the
// multiple of 100 nearest to z lies in it (no further than 50 <= T) and is
// the shortest: all multiples of 100 in it have their last digit that is
// not 0 at the same place, as no power of ten lies between them, and the
// nearest is the one std::to_chars takes. The digits are the one chosen
// over 100, with 10^k.
// The product is of the significand << shift (below 2^57) by the power of
// k + 1 over 16, so that its top 64 bits are z over 1,000 and its low 64
// z's place in its thousand, with no division: within 2 units of 2^-64 of
// the exact ones (the power over 16 is within 1 unit of the exact one, the
// dropped bits below 1). T / 1,000 from the power's top bits, which lack
// the last 4 bits of the power's top word shifted, is within 9 units. A
// compare further apart than 256 units is the exact one's. The nearest
// multiple of 100 is the one the product rounds to where z lies further
// than 2^-48 from any whole number (and so is never halfway).
// The search's powers over 16, rounded down.
struct OneProductPowers {
  ShortestPower powers[std::size(kShortestPowers)];
};
constexpr OneProductPowers makeOneProductPowers() {
  OneProductPowers table{};
  for (std::size_t i = 0; i < std::size(kShortestPowers); ++i)
    table.powers[i] = {kShortestPowers[i].high >> 4, kShortestPowers[i].high << 60 | kShortestPowers[i].low >> 4};
  return table;
}
constexpr OneProductPowers kOneProductPowers = makeOneProductPowers();

// For each biased exponent of a normal double, the place in the powers'
// table of the power of k + 1 (bits 16 up), and the significand's shift (1
// to 4, bits 0 to 7) and 1 less it (bits 8 to 15), as the one product
// below takes them.
struct OneProductPlaces {
  std::uint32_t words[2048];
};
constexpr OneProductPlaces makeOneProductPlaces() {
  OneProductPlaces places{};
  for (int biased = 1; biased < 2047; ++biased) {
    const int power = biased - 1075;
    const int k = (power * 315653) >> 20;
    const int shift = power + ((-(k + 1) * 1741647) >> 19) + 5;
    places.words[biased] = static_cast<std::uint32_t>((k + 1 - kShortestPowerFirst) << 16 | (shift - 1) << 8 | shift);
  }
  return places;
}
constexpr OneProductPlaces kOneProductPlaces = makeOneProductPlaces();

inline bool oneProductGroups(std::uint64_t bits, DigitGroups& groups) {
  constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
  constexpr std::uint64_t kDoubt = 256;
  constexpr std::uint64_t kEight = 100000000;
  constexpr std::uint64_t kTwentieth = 922337203685477581;  // 2^64 / 20, 50 of 1,000
  const std::uint64_t fraction = bits & kFractionMask;
  if (fraction == 0) return false;
  const std::uint64_t biased = bits << 1 >> 53;
  if (biased == 0) return false;
  const std::uint32_t entry = kOneProductPlaces.words[biased];
  const std::uint32_t place1 = entry >> 16;  // k + 1 - kShortestPowerFirst
  // The first digit's power of ten, k + 16 where the digits are seventeen.
  std::int64_t lead = static_cast<std::int64_t>(place1) + (kShortestPowerFirst + 15);
  const ShortestPower& scale = kOneProductPowers.powers[place1];
  const std::uint64_t scaled = (fraction | (kFractionMask + 1)) << (entry & 0xFF);
  const Wide low = static_cast<Wide>(scale.low) * scaled;
  const Wide product = static_cast<Wide>(scale.high) * scaled + static_cast<std::uint64_t>(low >> 64);
  const auto thousands = static_cast<std::uint64_t>(product >> 64);
  const auto place = static_cast<std::uint64_t>(product);  // of 2^64 for 1,000
  const std::uint64_t half = scale.high << (entry >> 8 & 0xFF);  // T / 1,000
  const std::uint64_t clear = half + kDoubt;
  std::uint64_t digits = thousands * 10;  // the chosen one over 100
  if (place - clear - 1 < 0 - 2 * clear - 1) {
    // Neither multiple of 1,000 about z lies in the span.
    if (place * 1000 + (std::uint64_t{1} << 16) < (std::uint64_t{1} << 17)) return false;
    digits += static_cast<std::uint64_t>((static_cast<Wide>(place + kTwentieth) * 10) >> 64);
  } else if (place > 0 - half + kDoubt) {
    digits += 10;
  } else if (place + kDoubt >= half) {
    return false;
  }
  if (digits < kSixteenDigits) {
    // Sixteen digits (they are 4.5 * 10^15 or more): one more place.
    digits *= 10;
    --lead;
  }
  const std::uint64_t firstNine = digits / kEight;
  const std::uint64_t first = static_cast<std::uint32_t>(firstNine) / std::uint32_t{100000000};
  groups = {first, firstNine - first * kEight, digits - firstNine * kEight, lead};
  return true;
}

constexpr std::uint64_t kZeros = 0x3030303030303030;  // eight '0's

// The digits of top * 10^16 + rest (top below 10^8, rest below 10^16) in
// the first 24 bytes of `row`, '0's in the 24 after them.
void writeDigitRow(std::uint64_t top, std::uint64_t rest, char* row) {
  const std::uint64_t groups[6] = {digitBytes(top) | kZeros, digitBytes(rest / 100000000) | kZeros,
                                   digitBytes(rest % 100000000) | kZeros, kZeros, kZeros, kZeros};
  std::memcpy(row, groups, sizeof groups);
}

#if defined(__SSE2__)
// The eight decimal digits of each of two numbers below 10^8, one in each
// 64-bit lane of `eights`, as bytes of the values 0 to 9, each number's
// first digit first in its lane: the halves of four digits in 32-bit lanes,
// their pairs in 16-bit lanes, the digits in bytes, as digitBytes does for
// eight. Each quotient is a product by a reciprocal a little above the exact
// one and a shift, exact for the values each step has: x / 10^4 for x below
// 2^32, y / 100 for y below 10^4 and z / 10 for z below 100.
[[gnu::always_inline]] inline __m128i digitBytesOfLanes(__m128i eights) {
  const __m128i fourHigh = _mm_srli_epi64(_mm_mul_epu32(eights, _mm_set1_epi64x(0xD1B71759)), 45);
  const __m128i fourLow = _mm_sub_epi32(eights, _mm_mul_epu32(fourHigh, _mm_set1_epi64x(10000)));
  const __m128i fours = _mm_or_si128(fourHigh, _mm_slli_epi64(fourLow, 32));
  const __m128i twoHigh = _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi32(5243)), 3);
  const __m128i twoLow = _mm_sub_epi16(fours, _mm_mullo_epi16(twoHigh, _mm_set1_epi32(100)));
  const __m128i twos = _mm_or_si128(twoHigh, _mm_slli_epi32(twoLow, 16));
  // The last quotient goes below its remainder as (z << 8) - q * (10 * 256
  // - 1), which no lane borrows from, z being 10 * q or more.
  // The multiplier is kept as a product (the compiler would make it shifts
  // and sums, four instructions more).
  const __m128i oneHigh = _mm_mulhi_epu16(twos, _mm_set1_epi16(6554));
  __m128i lastStep = _mm_set1_epi16(10 * 256 - 1);
  __asm__("" : "+x"(lastStep));
  return _mm_sub_epi16(_mm_slli_epi16(twos, 8), _mm_mullo_epi16(oneHigh, lastStep));
}
// The sixteen decimal digits of high * 10^8 + low (each below 10^8) so, in
// one register, the first digit first.
__m128i sixteenDigitBytes(std::uint64_t high, std::uint64_t low) {
  return digitBytesOfLanes(_mm_set_epi64x(static_cast<long long>(low), static_cast<long long>(high)));
}
#endif

// The text of an exponent from -324 to 308 as std::to_chars writes it, "e",
// its sign and two or three digits, in the low bytes of a word whose top
// byte is the text's length.
struct ExponentTexts {
  std::uint64_t words[308 + 324 + 1];
};
constexpr ExponentTexts makeExponentTexts() {
  ExponentTexts texts{};
  for (int exponent = -324; exponent <= 308; ++exponent) {
    const int magnitude = exponent < 0 ? -exponent : exponent;
    const std::uint64_t length = magnitude >= 100 ? 5 : 4;
    std::uint64_t word = 'e' | std::uint64_t(exponent < 0 ? '-' : '+') << 8;
    int place = 2;
    if (magnitude >= 100) word |= std::uint64_t('0' + magnitude / 100) << (8 * place++);
    word |= std::uint64_t('0' + magnitude / 10 % 10) << (8 * place++);
    word |= std::uint64_t('0' + magnitude % 10) << (8 * place);
    texts.words[exponent + 324] = word | length << 56;
  }
  return texts;
}
constexpr ExponentTexts kExponentTexts = makeExponentTexts();

// The exact digits of a whole number from 2^53 to below 10^22 of `lead` + 1
// digits (`bits` a double's), written at `at`, with room for 24 bytes;
// returns their end. Below 2^64 (a power of two up to 11 on the
// significand) the split at sixteen digits is a division of 64 bits.
[[gnu::noinline]] char* writeWholeNumber(std::uint64_t bits, int lead, char* at) {
  const auto [significand, power] = binaryParts(bits);
  std::uint64_t top = 0;
  std::uint64_t rest = 0;
  if (power <= 11) {
    const std::uint64_t exact = significand << power;
    top = exact / kSixteenDigits;
    rest = exact - top * kSixteenDigits;
  } else {
    const Wide exact = static_cast<Wide>(significand) << power;
    top = static_cast<std::uint64_t>(exact / kSixteenDigits);
    rest = static_cast<std::uint64_t>(exact - static_cast<Wide>(top) * kSixteenDigits);
  }
  char row[48];
  writeDigitRow(top, rest, row);
  std::memcpy(at, row + 23 - lead, 24);
  return at + lead + 1;
}

// The text std::to_chars gives a finite double, not 0: the shortest
// digits, written in full ("0.00012", "12.5", "1000") or with an
// exponent ("1.2e-05", "1e+22") whichever is shorter, in full on a tie. A
// whole number written in full shows its exact digits, which past 2^53
// may differ from the shortest ones after their first seventeen. Kept out
// of writeShortest, whose short decimals then save fewer registers (the
// text first, where writeShortest has it).
[[gnu::always_inline]] inline char* layOutDigits(char* text, std::uint64_t bits, const DigitGroups& groups) {
  const int lead = static_cast<int>(groups.lead);  // the first digit's power of ten
#if defined(__SSE2__)
  const __m128i rest = sixteenDigitBytes(groups.high, groups.low);
  const auto zeros = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(rest, _mm_setzero_si128())));
  const int length = 17 - std::countl_one(zeros);  // without the trailing zeros
  char row[48];
  row[0] = static_cast<char>('0' + groups.first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 1), _mm_or_si128(rest, _mm_set1_epi8('0')));
#else
  // Two groups of eight by digitBytes where there is no SSE2.
  const std::uint64_t high = digitBytes(groups.high);
  const std::uint64_t low = digitBytes(groups.low);
  const int length = 17 - (low != 0 ? std::countl_zero(low) / 8 : 8 + std::countl_zero(high) / 8);
  char row[48];
  row[0] = static_cast<char>('0' + groups.first);
  const std::uint64_t shown[2] = {high | kZeros, low | kZeros};
  std::memcpy(row + 1, shown, sizeof shown);
#endif
  // Each piece copied in a copy of a fixed size, all within the
  // kShortestRoom bytes of `text`: at most 30 here.
  *text = '-';
  char* at = text + (bits >> 63);
  const bool several = length > 1;
  if (lead >= 0 && lead < length - 1) {
    // A point among the digits: never longer than with an exponent. The
    // fraction's second eight digits (where it has more than eight, the
    // lead below 8) before its first, which overwrite them otherwise.
    std::memcpy(at, row, 16);
    at += lead + 1;
    *at++ = '.';
    std::memcpy(at + (lead < 8 ? 8 : 0), row + lead + 9, 8);
    std::memcpy(at, row + lead + 1, 8);
    at += length - lead - 1;
  } else if (lead < 0 && lead >= -3 - several) {
    // In full no longer than "d.ddde-0x".
    std::memcpy(at, "0.000000", 8);
    at += 1 - lead;
    std::memcpy(at, row, 24);
    at += length;
  } else if (lead >= 0 && lead <= length + several + 3) {
    // A whole number no longer in full than "d.ddde+xx". Below 2^53 the
    // shortest digits written in full are the value's own: a whole number
    // within half a unit (1/2 at most) of the value is a double, which
    // reads as itself, so it is the value. Its sixteen digits at most are
    // in the row.
    if ((bits << 1) < (std::uint64_t{0x4340000000000000} << 1)) {
      std::memcpy(at, row, 16);
      at += lead + 1;
    } else {
      at = writeWholeNumber(bits, lead, at);
    }
  } else {
    at[0] = row[0];
    at[1] = '.';
    std::memcpy(at + 2, row + 1, 16);
    at += several ? length + 1 : 1;
    const std::uint64_t exponent = kExponentTexts.words[lead + 324];
    std::memcpy(at, &exponent, 8);
    at += exponent >> 56;
  }
  return at;
}

// The text of a value the one product leaves to the search.
[[gnu::noinline]] char* writeSearchedDigits(char* text, std::uint64_t bits) {
  return layOutDigits(text, bits, searchedGroups(bits));
}

// The search is called as a tail, so that the one product's path saves
// fewer registers and keeps its digits' row below the stack pointer.
[[gnu::noinline]] char* writeShortestDigits(char* text, std::uint64_t bits) {
  DigitGroups groups;
  if (!oneProductGroups(bits, groups)) return writeSearchedDigits(text, bits);
  return layOutDigits(text, bits, groups);
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
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  // The binary exponent plus 10, where it is from -10 to 26.
  if (const std::uint64_t step = (bits << 1 >> 53) - (1023 - 10); step < 37) {
    if (char* end = writeShortDecimal(value, bits, step, text); end != nullptr) return end;
    return writeShortestDigits(text, bits);
  }
  if ((bits << 1) == 0) {
    // 0 or -0.
    *text = '-';
    text += bits >> 63;
    *text = '0';
    return text + 1;
  }
  if ((~bits & 0x7FF0000000000000) != 0) return writeShortestDigits(text, bits);
  const std::string_view word = std::isnan(value) ? "NaN" : value > 0 ? "Infinity" : "-Infinity";
  return std::copy(word.begin(), word.end(), text);
}

ShortestPair writeShortDecimals(double first, char* firstText, double second, char* secondText) {
  std::uint64_t bits[2] = {};
  std::memcpy(&bits[0], &first, sizeof first);
  std::memcpy(&bits[1], &second, sizeof second);
  const std::uint64_t steps[2] = {(bits[0] << 1 >> 53) - (1023 - 10), (bits[1] << 1 >> 53) - (1023 - 10)};
  if (steps[0] >= 37 || steps[1] >= 37) return {nullptr, nullptr};
#if defined(__SSE2__)
  // writeShortDecimal's steps for both values at once, one in each lane:
  // the same products, conversions and quotients, lane by lane. Its whole
  // number is 10^8 at most, within a 32-bit lane.
  const double magnitudes[2] = {std::fabs(first), std::fabs(second)};
  const std::uint64_t forms[2] = {2 * steps[0] + (magnitudes[0] >= kShortForms.ends[steps[0]]),
                                  2 * steps[1] + (magnitudes[1] >= kShortForms.ends[steps[1]])};
  const __m128d magnitude = _mm_set_pd(magnitudes[1], magnitudes[0]);
  const __m128d scale = _mm_set_pd(kShortForms.scales[forms[1]], kShortForms.scales[forms[0]]);
  const __m128i nearest = _mm_cvtpd_epi32(_mm_mul_pd(magnitude, scale));
  const __m128d back = _mm_div_pd(_mm_cvtepi32_pd(nearest), scale);
  if (_mm_movemask_pd(_mm_cmpeq_pd(back, magnitude)) != 3) return {nullptr, nullptr};
  // Both digits' words from one register, as writeShortDecimal makes each.
  const __m128i digits = digitBytesOfLanes(_mm_unpacklo_epi32(nearest, _mm_setzero_si128()));
  const auto low0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(digits));
  const auto low1 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(digits, digits)));
  return {shortDecimalText(firstText, bits[0], forms[0], low0), shortDecimalText(secondText, bits[1], forms[1], low1)};
#else
  // One after the other where there are no such registers.
  char* const firstEnd = writeShortDecimal(first, bits[0], steps[0], firstText);
  if (firstEnd == nullptr) return {nullptr, nullptr};
  char* const secondEnd = writeShortDecimal(second, bits[1], steps[1], secondText);
  if (secondEnd == nullptr) return {nullptr, nullptr};
  return {firstEnd, secondEnd};
#endif
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
