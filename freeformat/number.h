// Number values, private to the reader (and to tests that link the
// reader's internals). The scanner (fastnumber.h: fast::scanParts decides
// what is a number and where its parts lie; its fast forms and
// fast::shortDecimalDigits are straight-line ways into it for the common
// shapes) and the converter (the exact case, Eisel-Lemire, the exact general
// tier) sit behind these entry points, one job each:
//   parseNumber       the number at a place in a buffer, converted, and where it ends
//   checkNumber       the same number's end, not converted (a row's items not kept)
//   parseWholeNumber  a value's bytes [first, last) as one number, converted
//   isWholeNumber     whether a value's bytes are one number, not converted
//   foldNumber        a value longer than the buffer, rewritten shorter in place
//   convertNumber     a whole text as one number (with exactOnly, the exact tier
//                     alone: the reference the faster tiers are tested against)
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "fastnumber.h"

namespace velmora::detail {

// Accepted forms: an optional sign; digits with an optional decimal point
// before, among or after them (12, 12., 12.5, .5); an optional exponent, either
// E, e, D or d and an optionally signed integer, or a sign and an integer
// (1.5+3 is 1500); or Inf, Infinity, NaN in any letter case, optionally signed.
// The value is the nearest double, halfway cases to even; beyond the range an
// infinity of its sign, below it the nearest subnormal or a zero of its sign.

// How many bytes parseNumber may read from `last` on: the byte at `last`
// itself and those after it that the scanner's loads can reach (a load
// starts at most at `last`). A buffer handed to it keeps this many readable
// bytes after its valid ones.
inline constexpr std::size_t kNumberPadding = 1 + fast::kScanPadding;

// parseNumber's general rules over [first, last), for what the fast forms of
// the scan or the fast conversion left undecided: the scan's general form and
// the conversion's tiers. Not an entry point of its own.
std::from_chars_result parseNumberGeneral(const char* first, const char* last, double& value);

// Reads the number at `first`: the run of bytes from `first`, up to `last`,
// that the number grammar can continue. On success, `value` holds its nearest
// double and ptr points at the first byte after it (a byte that cannot
// continue a number, or `last`); whether that byte may end a value is the
// caller's concern. Fails (std::errc::invalid_argument, `value` unchanged)
// when that run is not a whole number: "1.5E" followed by a blank, "+", "x".
//   "12 "    -> 12, ptr at the blank     "1.5+3," -> 1500, ptr at the comma
//   "3*7"    -> 3, ptr at the asterisk   "-inf/"  -> -infinity, ptr at the slash
//   "0.5C"   -> 0.5, ptr at the C        "1.5E "  -> fails
// The byte at `last` must be readable and must not be a digit, sign, point or
// letter (the reader keeps a line feed there), and kNumberPadding bytes from
// `last` on must be readable.
// Inside: the scanner (fastnumber.h) and the exact fast conversion; what they
// cannot decide (Inf, NaN, a subnormal, a possible halfway point, an
// exponent beyond the fast range, a bad value) goes to the general rules
// below. The door to a number: the reader's statements and its row reads
// come through here, but for the short record's read, which enters the
// scanner at its plain decimals of at most fifteen digits, checked from its
// masks (shortDecimalDigits), and the conversion at its exact case.
[[gnu::always_inline]] inline std::from_chars_result parseNumber(const char* first, const char* last,
                                                                 double& value) {
  fast::ScannedNumber number;
  if (fast::scanNumber(first, number) && number.end <= last && fast::toDouble(number, value)) {
    return {number.end, std::errc()};
  }
  return parseNumberGeneral(first, last, value);
}

// Where the number at `first` ends, when the scanner takes it whole, without
// converting it; nullptr when it does not (the general rules then judge the
// bytes, as parseNumber would). A number it takes is one parseNumber takes,
// with the same end. The same bytes readable as for parseNumber, `last` being
// the buffer's line-feed sentinel at the latest.
[[gnu::always_inline]] inline const char* checkNumber(const char* first) {
  fast::ScannedNumber number;
  if (!fast::scanNumber<false>(first, number)) return nullptr;
  return number.end;
}

// The significant digits the general rules keep: beyond them only whether
// any is nonzero matters (as a digit just below the last kept).
inline constexpr int kKeptDigits = 800;

// The number [first, last) taken whole, its power of ten raised by `scale`
// (what foldNumber took out of a long value); false when those bytes are not
// one number. The same bytes readable as for parseNumber.
bool parseWholeNumber(const char* first, const char* last, std::int64_t scale, double& value);

// Whether [first, last) is one number value, decided by the scan alone: the
// conversion cannot refuse what the scan takes whole, so none is made (a
// value of any length costs its scan and no more). The same bytes readable
// as for parseNumber.
inline bool isWholeNumber(const char* first, const char* last) {
  const fast::NumberParts number = fast::scanParts(first);
  return number.whole && number.end == last;
}

// A value too long for the buffer that holds it, so that it is read in
// fixed memory: [first, end) are the start of a number value that goes on
// past `end` (the buffer's line-feed sentinel, with kNumberPadding readable
// bytes from it on). They are rewritten in place as a shorter start that
// any continuation completes to the same value once `scale` is added to its
// power of ten: the significant digits beyond those the conversion keeps
// become one digit, nonzero when any of them was, leading zeros go, and an
// exponent's digits are cut where it saturates. Returns the new end, or
// nullptr when the bytes cannot start a number.
char* foldNumber(char* first, char* end, std::int64_t& scale);

// Calls use(first, last) on a copy of the text as the scan needs it: followed
// by a line feed and zeros, in a local array when the text is short; returns
// what it returns.
template <class Use>
inline decltype(auto) onPaddedCopy(std::string_view text, Use&& use) {
  constexpr std::size_t kLocal = 256;
  char local[kLocal + kNumberPadding];
  std::string longer;
  char* copy = local;
  if (text.size() > kLocal) {
    longer.assign(text.size() + kNumberPadding, '\0');
    copy = longer.data();
  }
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\n';
  std::memset(copy + text.size() + 1, 0, kNumberPadding - 1);
  return use(copy, copy + text.size());
}

// The whole text as one number value; false when it is not one. With
// exactOnly by the exact tier alone: the reference the faster tiers are
// tested against.
bool convertNumber(std::string_view text, double& out, bool exactOnly = true);

}  // namespace velmora::detail
