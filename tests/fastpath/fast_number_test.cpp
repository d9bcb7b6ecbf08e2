// The one-pass conversion of the common number forms must give the very bits
// of the general conversion, for every value it accepts, and must decline what
// it cannot do exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

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
        "4.9406564584124654e-10", "2.2250738585072014e-8", "0.1", "-1.2345678901234567e+06"}) {
    agree(text);
  }
}

TEST(FastNumber, DeclinesWhatItCannotConvertExactly) {
  for (const char* text : {"", "-", "+", ".", "1e", "1e+", "1e+-3", "12345678901234567890",
                           "1e23", "1e-23", "1e00001", "Inf", "nan", "0x10", "1..2"}) {
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
    switch (i % 4) {
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
  EXPECT_GT(accepted, 200000);  // the fast forms are the common ones
}

}  // namespace
