// Deterministic rows of three numbers in the shapes numerical programs write,
// shared by the file generator and the reader benchmark.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// One way of writing rows: the printf form of a value, what goes before each
// value (`lead`, before the first too) or between two (`between`), the line end,
// and the kind of numbers.
enum class Kind { Scientific, Fixed, Integer, Wide, LongInteger };
struct Shape {
  const char* name;
  const char* format;   // one value, an int or a double as `kind` says
  const char* lead;     // before the first value
  const char* between;  // between two values
  const char* lineEnd;
  Kind kind;
  bool dExponent;  // the exponent letter written as D
};

// The matrix bench/shapes measures. The first three are bench/run's pairs.
inline constexpr Shape kShapes[] = {
    {"scientific", "% .16e", "  ", "  ", "\n", Kind::Scientific, false},  // %25.16E's shape
    {"fixed", "%.4f", " ", " ", "\n", Kind::Fixed, false},                 // %9.4f, below 100
    {"integer", "%lld", " ", " ", "\n", Kind::Integer, false},             // %4d-like
    {"fixed6", "%11.6f", " ", " ", "\n", Kind::Wide, false},               // 1X,%11.6f, up to 1000
    {"sci6", "%14.6E", "", "", "\n", Kind::Scientific, false},             // %14.6E
    {"fixed10", "%18.10f", "", "", "\n", Kind::Wide, false},               // %18.10f
    {"general10", "%.10g", " ", " ", "\n", Kind::Scientific, false},       // %.10g
    {"integer10", "%11lld", " ", " ", "\n", Kind::LongInteger, false},     // 1X,%11d, up to ten digits
    {"tab6", "%.6f", "", "\t", "\n", Kind::Wide, false},                   // %.6f, tab-separated
    {"comma6", "%.6f", "", ",", "\n", Kind::Wide, false},                  // %.6f,%.6f,%.6f
    {"commablank6", "%.6f", "", ", ", "\n", Kind::Wide, false},            // %.6f, %.6f, %.6f
    {"sciD", "% .16E", "  ", "  ", "\n", Kind::Scientific, true},          // 1.0D+03 exponents
    {"crlf6", "%14.6E", "", "", "\r\n", Kind::Scientific, false},          // %14.6E, CR LF ends
};

inline const Shape* findShape(const std::string& name) {
  for (const Shape& shape : kShapes) {
    if (name == shape.name) return &shape;
  }
  return nullptr;
}

inline double randomValue(Random& random, const Shape& shape) {
  switch (shape.kind) {
    case Kind::Scientific: {
      double exponent = static_cast<double>(static_cast<int>(random.next() % 13) - 6);
      return (random.unit() * 9 + 1) * std::pow(10.0, exponent) * ((random.next() & 1) ? -1 : 1);
    }
    case Kind::Fixed:
      return static_cast<double>(static_cast<long>(random.next() % 2000000) - 1000000) / 1e4;
    case Kind::Integer:
      return static_cast<double>(static_cast<long>(random.next() % 200000) - 100000);
    case Kind::Wide:
      return (random.unit() * 2 - 1) * 1000;
    case Kind::LongInteger:
      return static_cast<double>(static_cast<long long>(random.next() % 19999999999ULL) - 9999999999LL);
  }
  return 0;
}

// Appends one value as the shape writes it, with what goes before it.
inline void appendValue(std::string& out, const Shape& shape, double value, bool first) {
  char text[64];
  out += first ? shape.lead : shape.between;
  if (shape.kind == Kind::Integer || shape.kind == Kind::LongInteger) {
    std::snprintf(text, sizeof text, shape.format, static_cast<long long>(value));
  } else {
    std::snprintf(text, sizeof text, shape.format, value);
  }
  if (shape.dExponent) {
    if (char* letter = std::strchr(text, 'E')) *letter = 'D';
  }
  out += text;
}

// The old style names of bench/run's pairs.
inline double randomValue(Random& random, const std::string& style) { return randomValue(random, *findShape(style)); }
inline void appendValue(std::string& out, const std::string& style, double value) {
  appendValue(out, *findShape(style), value, false);
}

}  // namespace velmora::bench
