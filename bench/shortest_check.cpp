// The shortest texts of velmora's companions (companion::writeShortest)
// checked against std::to_chars on many doubles: every exponent with random
// significands and the significands at the ends of each binade, decimals of
// 1 to 17 digits at every place of the point and their neighbours, whole
// numbers of every length, the doubles whose span ends on a whole number at
// the writer's scale, the small subnormals one by one, then random bits. Too long for a test; run
// it by hand after a change to the writer:
//
//     velmora_shortest_check [random values, default 300000000] [seed]
//
// Prints the first few values that differ and ends with status 1 if any do.
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "companion/companion.h"

namespace {

std::uint64_t checked = 0;
std::uint64_t differing = 0;
std::uint64_t pairsMade = 0;

// Whether a text is std::to_chars's; the value told where not.
bool standardText(double value, const char* ours, const char* oursEnd, const char* writer) {
  char standard[64];
  const char* standardEnd = std::to_chars(standard, standard + sizeof standard, value).ptr;
  const auto length = static_cast<std::size_t>(oursEnd - ours);
  if (length == static_cast<std::size_t>(standardEnd - standard) && std::memcmp(ours, standard, length) == 0) return true;
  if (++differing <= 20) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::printf("%016" PRIx64 ": %s %.*s, std::to_chars %.*s\n", bits, writer, static_cast<int>(length), ours,
                static_cast<int>(standardEnd - standard), standard);
  }
  return false;
}

// Each value alone, and with the one checked before it as a pair of short
// decimals where the pair's writer makes them.
double before = 1;
void check(std::uint64_t bits) {
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  if (!std::isfinite(value)) return;
  char ours[velmora::companion::kShortestRoom];
  ++checked;
  standardText(value, ours, velmora::companion::writeShortest(value, ours), "writeShortest");
  char first[velmora::companion::kShortestRoom];
  const velmora::companion::ShortestPair ends = velmora::companion::writeShortDecimals(before, first, value, ours);
  if (ends.first != nullptr) {
    ++pairsMade;
    standardText(before, first, ends.first, "writeShortDecimals, first");
    standardText(value, ours, ends.second, "writeShortDecimals, second");
  }
  before = value;
}

std::uint64_t state = 0;
std::uint64_t next() {  // splitmix64
  std::uint64_t z = (state += 0x9E3779B97F4A7C15);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t randomCount = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300000000;
  state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;
  for (std::uint64_t exponent = 0; exponent < 0x7FF; ++exponent) {
    for (std::uint64_t sign = 0; sign < 2; ++sign) {
      const std::uint64_t high = sign << 63 | exponent << 52;
      for (std::uint64_t f = 0; f < 1000; ++f) {
        check(high | f);
        check(high | (kFraction - f));
      }
      for (int k = 0; k < 20000; ++k) check(high | (next() & kFraction));
    }
  }
  // Decimals of 1 to 17 significant digits at every place of the point,
  // and the doubles on either side: every length of the shortest digits,
  // with and without trailing zeros, in every form of the text.
  const auto checkDecimal = [](int digits, int point) {
    char text[40];
    int at = 0;
    text[at++] = static_cast<char>('1' + next() % 9);
    for (int d = 1; d < digits; ++d) text[at++] = static_cast<char>('0' + next() % 10);
    std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "e%d", point - digits + 1);
    const double v = std::strtod(text, nullptr);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (const std::uint64_t near : {bits, bits - 1, bits + 1}) {
      check(near);
      check(near ^ std::uint64_t{1} << 63);
    }
  };
  for (int digits = 1; digits <= 17; ++digits) {
    for (int point = -325; point <= 309; ++point) {
      for (int k = 0; k < 300; ++k) checkDecimal(digits, point);
    }
  }
  // Many more of 1 to 9 digits whose first is at the places -4 to 8, the
  // short decimals' every place and layout and the places just past them.
  for (int digits = 1; digits <= 9; ++digits) {
    for (int point = -4; point <= 8; ++point) {
      for (int k = 0; k < 100000; ++k) checkDecimal(digits, point);
    }
  }
  // Whole numbers: every one below 10^6, every multiple of a power of ten
  // by 1 to 9,999 up to past 2^64, random ones of every length up to 22
  // digits, every power of two up to 2^80, each with its neighbours and
  // both signs: both forms of the text and the lengths where they meet
  // ("100000" against "1e+05", "12300000", "1.23e+12").
  const auto checkWhole = [](double v) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (const std::uint64_t near : {bits, bits - 1, bits + 1}) {
      check(near);
      check(near ^ std::uint64_t{1} << 63);
    }
  };
  for (int n = 1; n < 1000000; ++n) checkWhole(n);
  for (double power = 1; power < 1e23; power *= 10) {
    for (int d = 1; d < 10000; ++d) checkWhole(d * power);
  }
  for (int length = 1; length <= 22; ++length) {
    for (int k = 0; k < 100000; ++k) {
      double v = static_cast<double>(1 + next() % 9);
      for (int d = 1; d < length; ++d) v = v * 10 + static_cast<double>(next() % 10);
      checkWhole(v);
    }
  }
  for (int power = 0; power <= 80; ++power) checkWhole(std::ldexp(1.0, power));
  // Doubles whose value or an end of whose span is a whole number of
  // hundredths of the unit of its seventeenth digit, or falls on a half of
  // one (2^power times an odd multiple of 5^j over 2, or a multiple of
  // 5^j): the writer's exact ties and ends. Every binary exponent from 1 to
  // 90 (the larger ones have no such doubles), 2,000 each of each kind.
  for (int power = 1; power <= 90; ++power) {
    const int place = ((power * 315653) >> 20) - 2;  // the tenth's power those ends fall on
    std::uint64_t five = 1;
    for (int j = 0; j < place && five < (std::uint64_t{1} << 53); ++j) five *= 5;
    if (five >= (std::uint64_t{1} << 53)) continue;
    for (int k = 0; k < 2000; ++k) {
      // An odd multiple of five in [2^53, 2^54) (the span's ends, times 2)
      // and a multiple in [2^52, 2^53) (the value).
      const std::uint64_t odd = ((std::uint64_t{1} << 53) / five + 1 + next() % ((std::uint64_t{1} << 53) / five)) | 1;
      const std::uint64_t multiple = (std::uint64_t{1} << 52) / five + 1 + next() % ((std::uint64_t{1} << 52) / five);
      for (const std::uint64_t significand : {(odd * five - 1) / 2, (odd * five + 1) / 2, multiple * five}) {
        if (significand < (std::uint64_t{1} << 52) || significand >= (std::uint64_t{1} << 53)) continue;
        const std::uint64_t bits = static_cast<std::uint64_t>(power + 1075) << 52 | (significand & kFraction);
        for (const std::uint64_t near : {bits, bits - 1, bits + 1}) {
          check(near);
          check(near ^ std::uint64_t{1} << 63);
        }
      }
    }
  }
  for (std::uint64_t bits = 1; bits < 10000000; ++bits) check(bits);
  for (std::uint64_t k = 0; k < randomCount; ++k) check(next());
  std::printf("%" PRIu64 " values, %" PRIu64 " pairs made side by side, %" PRIu64 " differ\n", checked, pairsMade, differing);
  return differing == 0 ? 0 : 1;
}
