// The one-pass conversion of the common number forms must give the very bits
// of the general conversion, for every value it accepts, and must decline what
// it cannot do exactly.
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
  const char* end = velmora::detail::parseCommonNumber(padded.data(), fast);
  if (end == nullptr) return false;
  EXPECT_EQ(end, padded.data() + text.size()) << text;
  double general = 0;
  EXPECT_TRUE(velmora::detail::convertNumber(text, general)) << text;
  EXPECT_EQ(bitsOf(fast), bitsOf(general)) << text;
  return true;
}

TEST(FastNumber, AgreesWithGeneralConversionOnTheCommonForms) {
  for (const char* text :
       {"0", "-0", "+0.", ".5", "12.", "1.0D+03", "1.0d3", "1.0E3", "1000", "1.0+3", "2.5-3",
        "9007199254740993", "9007199254740992.5", "18446744073709551615",
        "9999999999999999999e22", "9999999999999999999e-22", "1.7976931348623157e+30",
        "4.9406564584124654e-10", "2.2250738585072014e-8", "0.1", "-1.2345678901234567e+06",
        "1e23", "1e-23"}) {
    agree(text);
  }
}

TEST(FastNumber, DeclinesWhatItCannotConvertExactly) {
  for (const char* text : {"", "-", "+", ".", "1e", "1e+", "1e+-3", "12345678901234567890",
                           "1e00001", "Inf", "nan", "0x10", "1..2"}) {
    std::string padded = std::string(text) + '\n' + std::string(32, '\0');
    double value = 0;
    const char* end = velmora::detail::parseCommonNumber(padded.data(), value);
    // Either declined, or it stopped before a byte the caller will reject.
    if (end != nullptr) {
      EXPECT_NE(*end, '\n') << text;
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
  for (int i = 0; i < 300000; ++i) {
    std::uint64_t mantissa = random() % 10000000000000000000ULL;
    int exponent = static_cast<int>(random() % 60) - 30;
    switch (i % 5) {
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

// Sixteen bytes as digits, the SSE2 form against the portable one: every
// byte a digit, or one or two bytes just outside the digits (with the high
// bit set or not, which a signed comparison would get wrong).
TEST(FastNumber, SixteenDigitsAgreeAcrossForms) {
#if defined(__SSE2__)
  std::mt19937_64 random(16);
  const unsigned char kNear[] = {'/', ':', 0, 0x80 + '0', 0xB9, 0xFF, ' ', '.'};
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    char text[16];
    for (char& c : text) c = static_cast<char>('0' + random() % 10);
    for (int k = static_cast<int>(random() % 3); k > 0; --k) {
      text[random() % 16] = static_cast<char>(kNear[random() % 8]);
    }
    std::uint64_t scalar = 1;
    std::uint64_t vector = 2;
    bool scalarOk = velmora::detail::fast::sixteenDigitsScalar(text, scalar);
    bool vectorOk = velmora::detail::fast::sixteenDigitsSse2(text, vector);
    ASSERT_EQ(scalarOk, vectorOk) << std::string(text, 16);
    if (scalarOk) {
      ASSERT_EQ(scalar, vector) << std::string(text, 16);
      ASSERT_EQ(scalar, std::stoull(std::string(text, 16)));
      ++accepted;
    }
  }
  EXPECT_GT(accepted, 50000);
#else
  GTEST_SKIP() << "no SSE2 on this target";
#endif
}

// The "%.16e" shape, the SSE2 form (two loads, a range per byte) against the
// portable one (byte by byte): written values, then one to three bytes
// changed to neighbours of what each position allows (a comma beside the
// signs, letters beside E and D, a digit where the value must end).
TEST(FastNumber, SeventeenDigitShapeAgreesAcrossForms) {
#if defined(__SSE2__)
  std::mt19937_64 random(17);
  const char kNear[] = {'/', ':', '0', '9', '.', ',', '+', '-', 'c', 'C', 'd', 'D', 'e', 'E', 'f', 'F',
                        ' ', '\n', '\0', '\x80', '\xB0', '\xE5'};
  int accepted = 0;
  int declined = 0;
  for (int i = 0; i < 200000; ++i) {
    double unit = static_cast<double>(random() >> 11) * 0x1.0p-53;
    char text[48] = {};
    std::snprintf(text, sizeof text, (random() & 1) ? "%.16e" : "%.16E",
                  unit * std::pow(10.0, static_cast<int>(random() % 199) - 99));
    if (random() % 4 == 0) text[18] = (random() & 1) ? 'd' : 'D';
    std::size_t length = std::strlen(text);
    text[length] = (random() & 1) ? ' ' : '\n';
    for (int k = static_cast<int>(random() % 4); k > 0; --k) {
      text[random() % 24] = kNear[random() % sizeof kNear];
    }
    std::uint64_t scalarDigits = 1;
    std::uint64_t vectorDigits = 2;
    int scalarExponent = 3;
    int vectorExponent = 4;
    const char* scalarEnd = velmora::detail::fast::parseSeventeenDigitsScalar(text, scalarDigits, scalarExponent);
    const char* vectorEnd = velmora::detail::fast::parseSeventeenDigitsSse2(text, vectorDigits, vectorExponent);
    ASSERT_EQ(scalarEnd, vectorEnd) << std::string(text, 24);
    if (scalarEnd == nullptr) {
      ++declined;
      continue;
    }
    ASSERT_EQ(scalarDigits, vectorDigits) << std::string(text, 24);
    ASSERT_EQ(scalarExponent, vectorExponent) << std::string(text, 24);
    ++accepted;
  }
  EXPECT_GT(accepted, 40000);
  EXPECT_GT(declined, 40000);
#else
  GTEST_SKIP() << "no SSE2 on this target";
#endif
}

}  // namespace
