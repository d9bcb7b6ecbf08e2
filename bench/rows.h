// Deterministic rows of three numbers in the styles numerical programs write,
// shared by the file generator and the reader benchmark.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace velmora::bench {

struct Random {  // splitmix64: the same rows on every machine
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

// scientific: 17 significant digits, mixed signs and exponents;
// fixed: short fixed decimals; integer: small integers.
inline double randomValue(Random& random, const std::string& style) {
  if (style == "scientific") {
    double exponent = static_cast<double>(static_cast<int>(random.next() % 13) - 6);
    return (random.unit() * 9 + 1) * std::pow(10.0, exponent) * ((random.next() & 1) ? -1 : 1);
  }
  if (style == "fixed") {
    return static_cast<double>(static_cast<long>(random.next() % 2000000) - 1000000) / 1e4;
  }
  return static_cast<double>(static_cast<long>(random.next() % 200000) - 100000);
}

// Appends one value as the style writes it, with its leading blanks.
inline void appendValue(std::string& out, const std::string& style, double value) {
  char text[40];
  if (style == "scientific") {
    std::snprintf(text, sizeof text, "  % .16e", value);
  } else if (style == "fixed") {
    std::snprintf(text, sizeof text, " %.4f", value);
  } else {
    std::snprintf(text, sizeof text, " %lld", static_cast<long long>(value));
  }
  out += text;
}

}  // namespace velmora::bench
