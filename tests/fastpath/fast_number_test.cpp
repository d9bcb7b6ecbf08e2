// The scanner and the fast conversion must give the very bits of the general
// conversion for every value they accept, and must decline what they cannot
// do exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "freeformat/fastnumber.h"
#include "freeformat/number.h"

namespace {

std::uint64_t bitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Runs both conversions on `text`; returns whether the fast one accepted it.
bool agree(const std::string& text) {
  std::string padded = text + '\n' + std::string(32, '\0');
  double fast = 0;
  velmora::detail::fast::ScannedNumber number;
  velmora::detail::fast::ScannedNumber checked;
  const bool accepted = velmora::detail::fast::scanNumber<false>(padded.data(), checked);
  EXPECT_EQ(velmora::detail::fast::scanNumber(padded.data(), number), accepted) << text;
  if (!accepted) return false;
  EXPECT_EQ(checked.end, number.end) << text;
  EXPECT_EQ(number.end, padded.data() + text.size()) << text;
  if (!velmora::detail::fast::toDouble(number, fast)) return false;
  double general = 0;
  EXPECT_TRUE(velmora::detail::convertNumber(text, general)) << text;
  EXPECT_EQ(bitsOf(fast), bitsOf(general)) << text;
  // A plain decimal of at most fifteen digits is also what the short record's
  // read converts from the places its masks found.
  const std::size_t sign = text[0] == '-' ? 1 : 0;
  const std::size_t size = text.size() - sign;
  const std::size_t point = text.find('.', sign);
  const std::size_t integer = point == std::string::npos ? size : point - sign;
  const std::size_t digits = size - (integer != size ? 1 : 0);
  if (digits >= 1 && digits <= velmora::detail::fast::kMaxShortDigits &&
      text.find_first_not_of("0123456789.", sign) == std::string::npos &&
      text.find('.', integer + sign + 1) == std::string::npos) {
    const std::uint64_t written = velmora::detail::fast::shortDecimalDigits(padded.data() + sign, size, integer);
    const double magnitude = integer != size ? velmora::detail::fast::exactQuotient(written, size - integer - 1)
                                             : static_cast<double>(written);
    EXPECT_EQ(bitsOf(velmora::detail::fast::withSign(magnitude, sign != 0)), bitsOf(general)) << text;
  }
  return true;
}

TEST(FastNumber, AgreesWithGeneralConversionOnTheCommonForms) {
  for (const char* text :
       {"0", "-0", "+0.", ".5", "12.", "1.0D+03", "1.0d3", "1.0E3", "1000", "1.0+3", "2.5-3",
        "9007199254740993", "9007199254740992.5", "18446744073709551615",
        "9999999999999999999e22", "9999999999999999999e-22", "1.7976931348623157e+30",
        "4.9406564584124654e-10", "2.2250738585072014e-8", "0.1", "-1.2345678901234567e+06",
        "1e23", "1e-23", "123456789012345", "-1234567.12345678", ".123456789012345", "123456789012345.",
        "-00000000000000.1", "99999999.9999999", "12345678", "-1234567.8", "9.", "-.9"}) {
    agree(text);
  }
}

TEST(FastNumber, DeclinesWhatItCannotConvertExactly) {
  for (const char* text : {"", "-", "+", ".", "1e", "1e+", "1e+-3", "Inf", "nan", "0x10", "1..2", "-.e5"}) {
    std::string padded = std::string(text) + '\n' + std::string(32, '\0');
    velmora::detail::fast::ScannedNumber number;
    // Either declined, or it stopped before a byte the caller will reject.
    if (velmora::detail::fast::scanNumber(padded.data(), number)) {
      EXPECT_NE(*number.end, '\n') << text;
    }
  }
}

// Seeded random values in the forms numerical programs write: 17 significant
// digits in scientific form, short fixed decimals, long integers, halfway
// points between neighbouring doubles, every exponent the fast forms reach.
TEST(FastNumber, AgreesOnRandomValues) {
  std::mt19937_64 random(20261208);
  int accepted = 0;
  char text[64];
  for (int i = 0; i < 360000; ++i) {
    std::uint64_t mantissa = random() % 10000000000000000000ULL;
    int exponent = static_cast<int>(random() % 60) - 30;
    switch (i % 6) {
      case 0: {
        double value = static_cast<double>(mantissa) * std::pow(10.0, exponent - 19);
        std::snprintf(text, sizeof text, "%.16e", (random() & 1) ? value : -value);
        break;
      }
      case 1:
        std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random() % 7),
                      static_cast<double>(static_cast<std::int64_t>(mantissa % 2000000) - 1000000) / 1e3);
        break;
      case 2:
        std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(mantissa), exponent);
        break;
      case 3: {
        // Runs of digits of any length, the point anywhere, leading zeros,
        // now and then an exponent: every way through the eight-at-a-time reads.
        std::string digits;
        int length = 1 + static_cast<int>(random() % 40);
        for (int d = 0; d < length; ++d) digits += static_cast<char>('0' + random() % 10);
        if (random() % 4 == 0) digits.insert(0, std::string(random() % 12, '0'));
        std::size_t point = static_cast<std::size_t>(random() % (digits.size() + 2));
        if (point <= digits.size()) digits.insert(point, ".");
        if (random() % 3 == 0) digits += (random() & 1 ? "D" : "e") + std::to_string(exponent * 3);
        std::snprintf(text, sizeof text, "%s%s", (random() & 1) ? "-" : "", digits.c_str());
        break;
      }
      case 4:
        // Every scale the table of powers of five holds, and beyond it.
        std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(mantissa),
                      static_cast<int>(random() % 700) - 360);
        break;
      default: {
        // An exact midpoint between two neighbouring doubles, written in full:
        // odd multiples of 2^s between 2^(53+s) and 2^(54+s).
        std::uint64_t odd = ((std::uint64_t{1} << 52) + (random() % (std::uint64_t{1} << 52))) * 2 + 1;
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(odd << (random() % 10)));
        break;
      }
    }
    accepted += agree(text) ? 1 : 0;
  }
  EXPECT_GT(accepted, 230000);  // the fast forms are the common ones
}

// The number entry point over the conversion data, each line alone with the
// sentinel and padding the reader keeps: the nearest double to the last bit
// and the end of the number, whichever tier answers.
TEST(NumberEntryPoint, ConversionDataBitForBit) {
  int lines = 0;
  for (const char* name : {"sample.txt", "overflow-x1000.txt"}) {
    std::ifstream data(std::string(VELMORA_NUMBER_DATA) + "/" + name);
    for (std::string text, hex; data >> text >> hex; ++lines) {
      std::uint64_t expected = std::stoull(hex, nullptr, 16);
      std::string padded = text + '\n' + std::string(velmora::detail::kNumberPadding, 'x');
      double value = 0;
      auto [end, error] = velmora::detail::parseNumber(padded.data(), padded.data() + text.size(), value);
      ASSERT_EQ(error, std::errc()) << name << ": " << text;
      EXPECT_EQ(end, padded.data() + text.size()) << name << ": " << text;
      if (expected == 0x7FF8000000000000ULL) {
        EXPECT_TRUE(std::isnan(value)) << text;
      } else {
        EXPECT_EQ(bitsOf(value), expected) << name << ": " << text;
      }
    }
  }
  EXPECT_GT(lines, 20000);
}

// Where the entry point stops, and what it refuses (the value left as it was).
TEST(NumberEntryPoint, StopsWhereTheGrammarStops) {
  const std::pair<const char*, int> kCases[] = {
      {"12 ", 2}, {"1.5+3,", 5}, {"3*7", 1}, {"-inf/", 4}, {"0.5C", 3}, {"1e5.3", 3},
      {"1.2345678901234567e+05 ", 22}, {"-10.7692\t", 8}, {"123456789", 9}, {"1.5E ", -1},
      {"+", -1}, {"x", -1}, {".", -1}, {"1e+ ", -1}, {"infinit ", -1},
  };
  for (const auto& [text, stop] : kCases) {
    std::string padded = std::string(text) + '\n' + std::string(velmora::detail::kNumberPadding, '\0');
    const char* last = padded.data() + std::strlen(text);
    double value = -7;
    auto [end, error] = velmora::detail::parseNumber(padded.data(), last, value);
    if (stop < 0) {
      EXPECT_EQ(error, std::errc::invalid_argument) << text;
      EXPECT_EQ(value, -7) << text;
    } else {
      EXPECT_EQ(error, std::errc()) << text;
      EXPECT_EQ(end - padded.data(), stop) << text;
    }
  }
}

// What the scanner makes of a value's bytes, before any conversion: sign, at
// most 19 significant digits, the decimal exponent, whether nonzero digits
// were dropped, and where the value ends (-1: not a number it scans).
TEST(NumberScanner, SplitsValuesIntoDigitsAndExponent) {
  struct Case {
    const char* text;
    bool negative;
    std::uint64_t digits;
    std::int64_t exponent;
    bool dropped;
    int end;
  };
  const Case kCases[] = {
      {"12 ", false, 12, 0, false, 2},
      {"-10.7692\t", true, 107692, -4, false, 8},
      {"+.5,", false, 5, -1, false, 3},
      {"12.", false, 12, 0, false, 3},
      {"1.0D+03", false, 10, 2, false, 7},
      {"1.0d3", false, 10, 2, false, 5},
      {"1.5+3", false, 15, 2, false, 5},
      {"2.5-3/", false, 25, -4, false, 5},
      {"-1.2345678901234567E-05 ", true, 12345678901234567, -21, false, 23},
      {"123456789012345678", false, 123456789012345678, 0, false, 18},
      {"1234567890123456789", false, 1234567890123456789, 0, false, 19},
      {"12345678901234567891", false, 1234567890123456789, 1, true, 20},
      {"12345678901234567890", false, 1234567890123456789, 1, false, 20},
      {"0.000000000000000000001234", false, 1234, -24, false, 26},
      {"00000000000000000000012.5", false, 125, -1, false, 25},
      {"1234567890.1234567890123e2", false, 1234567890123456789, -7, true, 26},
      {"1e5.3", false, 1, 5, false, 3},
      {"7e99999", false, 7, 99999, false, 7},
      {"7e100000", false, 0, 0, false, -1},
      {"1.5E ", false, 0, 0, false, -1},
      {"+ ", false, 0, 0, false, -1},
      // Only a plus or a minus is a sign: the bytes beside them in the code
      // table, and a second sign, are not.
      {"+12 ", false, 12, 0, false, 3},
      {"-+5 ", false, 0, 0, false, -1},
      {"--5 ", false, 0, 0, false, -1},
      {",5 ", false, 0, 0, false, -1},
      {"*5 ", false, 0, 0, false, -1},
      {"/5 ", false, 0, 0, false, -1},
      {". ", false, 0, 0, false, -1},
      {"Inf ", false, 0, 0, false, -1},
      {"1e+-3", false, 0, 0, false, -1},
      {"1.5e+05,", false, 15, 4, false, 7},
      {"-9.5D-12 ", true, 95, -13, false, 8},
      {"1.5e+123", false, 15, 122, false, 8},
      {"1.5e+1 ", false, 15, 0, false, 6},
      {"1.5E+0a", false, 15, -1, false, 6},
      {"1.5d+05e", false, 15, 4, false, 7},
      {"1.5e,05", false, 0, 0, false, -1},
      {"1.5E+-5", false, 0, 0, false, -1},
      // A digit, the point and fewer than sixteen digits: one word, two words.
      {"1.234568E+05 ", false, 1234568, -1, false, 12},
      {"1.12345678e1 ", false, 112345678, -7, false, 12},
      {"1.123456789 ", false, 1123456789, -9, false, 11},
      {"-9.123456789012345e3 ", true, 9123456789012345, -12, false, 20},
      // Digits and point ending inside sixteen bytes, at their last byte, past them.
      {"1234567890 ", false, 1234567890, 0, false, 10},
      {"123.4567891234 ", false, 1234567891234, -10, false, 14},
      {"123456789012.34 ", false, 12345678901234, -2, false, 15},
      {"123456789012345 ", false, 123456789012345, 0, false, 15},
      {"123456789012345. ", false, 123456789012345, 0, false, 16},
      {"12345678901234.5 ", false, 123456789012345, -1, false, 16},
      {"1234567890123456 ", false, 1234567890123456, 0, false, 16},
  };
  for (const Case& c : kCases) {
    std::string padded = std::string(c.text) + '\n' + std::string(velmora::detail::kNumberPadding, '\0');
    velmora::detail::fast::ScannedNumber number;
    bool scanned = velmora::detail::fast::scanNumber(padded.data(), number);
    ASSERT_EQ(scanned, c.end >= 0) << c.text;
    // The scan that only checks takes the same bytes to the same end.
    velmora::detail::fast::ScannedNumber checked;
    ASSERT_EQ(velmora::detail::fast::scanNumber<false>(padded.data(), checked), scanned) << c.text;
    if (scanned) {
      EXPECT_EQ(checked.end, number.end) << c.text;
    }
    if (!scanned) continue;
    EXPECT_EQ(number.end - padded.data(), c.end) << c.text;
    EXPECT_EQ(number.negative, c.negative) << c.text;
    EXPECT_EQ(number.digits, c.digits) << c.text;
    EXPECT_EQ(number.exponent, c.exponent) << c.text;
    EXPECT_EQ(number.dropped, c.dropped) << c.text;
  }
}

}  // namespace
