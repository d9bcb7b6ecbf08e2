// The search for the relation that explains the total (see relations.h).
#include "explain/relations.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "comparison/comparison.h"
#include "freeformat/freeformat.h"

namespace velmora::explain {
namespace {

// Rows sampled to find and score candidates.
constexpr std::size_t kSampleRows = 512;
// Rows sampled to tell whether a key identifies the reference's rows.
constexpr std::size_t kKeySampleRows = 2048;
// A relation holds on at least this share of the rows it covers, on at least
// kMinimumRows of them; a row map accounts for at least kMinimumMapped of the
// compared rows; following it leaves at most kMostOfTheTotal of the total.
constexpr double kHoldShare = 0.9;
constexpr std::size_t kMinimumRows = 5;
constexpr double kMinimumMapped = 0.5;
constexpr double kMostOfTheTotal = 0.5;
// A piece has at least kPieceRows rows or kPieceShare of the table.
constexpr std::size_t kPieceRows = 10;
constexpr double kPieceShare = 0.1;
// Two values computed in different units agree when they differ by no more
// than this, relatively.
constexpr double kTolerance = 1e-9;
// The most digits a precision is looked for with.
constexpr int kMaxDecimals = 15;
constexpr int kMaxSignificant = 15;

const double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// ---------------------------------------------------------------------------
// Fewer digits. The quick form is exact where the scaled value is an exact
// integer and the power of ten is exact; a value it does not give is asked
// again of the decimal text, which rounds the value's exact binary form.

// A value cut to fewer digits is cut from the digits it is written with
// (its shortest decimal form), as a writer cuts the text it has: 1.234 cut
// to 3 decimals is 1.234, whatever binary fraction stands for it.
std::optional<double> quickDecimals(double v, int d, bool cut) {
  if (d < 0 || d > 22) return std::nullopt;
  const double scale = kPowersOfTen[d];
  const double t = v * scale;
  if (!(std::fabs(t) < 9e15)) return std::nullopt;
  const double nearest = std::nearbyint(t);
  if (!cut || std::fabs(t - nearest) <= 1e-9 * std::fabs(t)) return nearest / scale;
  return std::trunc(t) / scale;
}

// The decimal text of v with `digits` digits after the point (fixed or
// exponent form): rounded from its exact value, or cut from its shortest
// form; read back by the reader's number rules.
double fromText(double v, int digits, bool exponent, bool cut) {
  char text[512];
  std::size_t length = 0;
  if (!cut) {
    const int n = std::snprintf(text, sizeof text, exponent ? "%.*e" : "%.*f", digits, v);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) return v;
    length = static_cast<std::size_t>(n);
  } else {
    const auto written = std::to_chars(text, text + sizeof text, v,
                                       exponent ? std::chars_format::scientific : std::chars_format::fixed);
    if (written.ec != std::errc()) return v;
    length = static_cast<std::size_t>(written.ptr - text);
    WrittenValue shape;
    if (!writtenItem(std::string_view(text, length), 1, shape) || shape.kind != WrittenKind::Number) return v;
    if (shape.point) {
      // The fraction's digits past `digits` go; an exponent stays.
      const std::size_t point = shape.body + (shape.sign ? 1 : 0) + shape.integerDigits;
      const std::size_t end = shape.exponent != ExponentForm::None ? shape.exponentAt : length;
      const std::size_t keep = digits == 0 ? point : std::min(point + 1 + static_cast<std::size_t>(digits), end);
      std::memmove(text + keep, text + end, length - end);
      length -= end - keep;
    }
  }
  double value = v;
  return numberOfText(std::string_view(text, length), value) ? value : v;
}

// The power of ten of |v|'s leading digit, from its binary exponent where
// the table reaches (no logarithm for the common values).
int decade(double v) {
  const double a = std::fabs(v);
  if (a >= 1e-22 && a < 1e22) {
    int d = (std::ilogb(a) * 1233) >> 12;  // log10(2) ~ 1233 / 4096, rounded down
    const auto power = [](int e) { return e >= 0 ? kPowersOfTen[e] : 1 / kPowersOfTen[-e]; };
    while (d > -22 && power(d) > a) --d;
    while (d < 21 && power(d + 1) <= a) ++d;
    return d;
  }
  return static_cast<int>(std::floor(std::log10(a)));
}

std::optional<double> quickSignificant(double v, int s, bool cut) {
  if (v == 0 || !std::isfinite(v)) return v;
  const int k = s - 1 - decade(v);
  if (k >= 0) return quickDecimals(v, k, cut);
  if (-k > 22) return std::nullopt;
  const double scale = kPowersOfTen[-k];
  const double t = v / scale;
  return (cut ? std::trunc(t) : std::nearbyint(t)) * scale;
}

double exactPrecision(const Precision& p, double v) {
  if (!std::isfinite(v)) return v;
  if (p.kind == PrecisionKind::Decimals) return fromText(v, p.digits, false, p.cut);
  if (p.kind == PrecisionKind::SignificantDigits) return fromText(v, p.digits - 1, true, p.cut);
  return v;
}

std::optional<double> quickPrecision(const Precision& p, double v) {
  if (p.kind == PrecisionKind::Decimals) return quickDecimals(v, p.digits, p.cut);
  if (p.kind == PrecisionKind::SignificantDigits) return quickSignificant(v, p.digits, p.cut);
  return v;
}

// Whether a compared value follows a predicted one.
bool follows(double y, double predicted, const ValueMap& map, const Precision& precision, bool quickOnly) {
  if (precision.kind != PrecisionKind::None) {
    const std::optional<double> quick = quickPrecision(precision, predicted);
    if (quick && y == *quick) return true;
    if (quickOnly && quick) return false;
    return y == exactPrecision(precision, predicted);
  }
  if (y == predicted) return true;
  if (map.identity() || !std::isfinite(y) || !std::isfinite(predicted)) return false;
  const double size = std::max({std::fabs(y), std::fabs(predicted), std::fabs(map.offset)});
  return std::fabs(y - predicted) <= kTolerance * size;
}

// The shortest decimal within a relative `tolerance` of v, if one of at
// most 12 significant digits is.
double snapped(double v, double tolerance) {
  if (v == 0 || !std::isfinite(v)) return v;
  for (int s = 1; s <= 12; ++s) {
    const double r = fromText(v, s - 1, true, false);
    if (std::fabs(r - v) <= tolerance * std::fabs(v)) return r;
  }
  return v;
}

// v with s significant digits.
double significant(double v, int s) { return fromText(v, s - 1, true, false); }

// The fewest decimals (or significant digits) that write v as it is.
int decimalsOf(double v) {
  if (!std::isfinite(v)) return 99;
  for (int d = 0; d <= kMaxDecimals; ++d) {
    const std::optional<double> q = quickDecimals(v, d, false);
    if (q && *q == v) return d;
  }
  return 99;
}
int significantOf(double v) {
  if (!std::isfinite(v)) return 99;
  if (v == 0) return 1;
  for (int s = 1; s <= kMaxSignificant; ++s) {
    const std::optional<double> q = quickSignificant(v, s, false);
    if (q && *q == v) return s;
  }
  return 99;
}

// ---------------------------------------------------------------------------
// Row maps.

// Which columns identify a row.
enum class Key { Columns13, All, Column2 };

std::uint64_t bitsOf(double v) {
  if (v == 0) v = 0;  // -0 is 0
  return std::bit_cast<std::uint64_t>(v);
}

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  h *= 0xff51afd7ed558ccdULL;
  return h ^ (h >> 33);
}

std::uint64_t keyHash(const RelationTable& t, std::size_t i, Key key) {
  std::uint64_t h = 0x84222325cbf29ce4ULL;
  if (key != Key::Column2) h = mix(h, bitsOf(t.column[0][i]));
  if (key != Key::Columns13) h = mix(h, bitsOf(t.column[1][i]));
  if (key != Key::Column2) h = mix(h, bitsOf(t.column[2][i]));
  return h | 1;  // 0 marks an empty slot
}

bool sameValue(double a, double b) { return bitsOf(a) == bitsOf(b); }

bool sameKey(const RelationTable& a, std::size_t i, const RelationTable& b, std::size_t j, Key key) {
  if (key != Key::Column2 && (!sameValue(a.column[0][i], b.column[0][j]) || !sameValue(a.column[2][i], b.column[2][j])))
    return false;
  return key == Key::Columns13 || sameValue(a.column[1][i], b.column[1][j]);
}

// Whether each compared row's key is that of the reference row in its place.
bool sameKeysInPlace(const RelationInput& in, Key key) {
  const double* a1 = in.compared.column[0];
  const double* a2 = in.compared.column[1];
  const double* a3 = in.compared.column[2];
  const double* b1 = in.reference.column[0];
  const double* b2 = in.reference.column[1];
  const double* b3 = in.reference.column[2];
  const bool withColumn2 = key != Key::Columns13;
  bool same = true;
  for (std::size_t i = 0; i < in.compared.rows && same; ++i) {
    // The keys' own equality: -0 is 0, a NaN its bits.
    same = (a1[i] == b1[i] || sameValue(a1[i], b1[i])) && (a3[i] == b3[i] || sameValue(a3[i], b3[i])) &&
           (!withColumn2 || a2[i] == b2[i] || sameValue(a2[i], b2[i]));
  }
  return same;
}

// Whether a key tells most of the reference's rows apart.
bool identifies(const RelationTable& t, Key key) {
  if (t.rows < 2) return false;
  const std::size_t n = std::min(t.rows, kKeySampleRows);
  std::vector<std::uint64_t> hashes(n);
  for (std::size_t k = 0; k < n; ++k) hashes[k] = keyHash(t, k * t.rows / n, key);
  std::sort(hashes.begin(), hashes.end());
  const std::size_t distinct = static_cast<std::size_t>(std::unique(hashes.begin(), hashes.end()) - hashes.begin());
  return static_cast<double>(distinct) >= kHoldShare * static_cast<double>(n);
}

// The reference rows by key: chains of rows in increasing order.
class KeyIndex {
 public:
  KeyIndex(const RelationTable& t, Key key) : table_(t), key_(key) {
    std::size_t size = 16;
    while (size < 2 * t.rows) size *= 2;
    mask_ = size - 1;
    hashes_.assign(size, 0);
    heads_.assign(size, -1);
    next_.assign(t.rows, -1);
    for (std::size_t j = t.rows; j-- > 0;) {
      const std::uint64_t h = keyHash(t, j, key);
      std::size_t slot = h & mask_;
      while (hashes_[slot] != 0 && !(hashes_[slot] == h && sameKey(t, static_cast<std::size_t>(heads_[slot]), t, j, key)))
        slot = (slot + 1) & mask_;
      hashes_[slot] = h;
      next_[j] = heads_[slot];
      heads_[slot] = static_cast<std::int32_t>(j);
    }
  }
  // The first reference row of compared row i's key not yet taken, or -1;
  // the chain's head moves past the rows taken.
  long long take(const RelationTable& compared, std::size_t i, std::vector<bool>& taken) {
    const std::uint64_t h = keyHash(compared, i, key_);
    std::size_t slot = h & mask_;
    while (hashes_[slot] != 0) {
      if (hashes_[slot] == h && heads_[slot] >= 0 &&
          sameKey(table_, static_cast<std::size_t>(heads_[slot]), compared, i, key_)) {
        std::int32_t j = heads_[slot];
        while (j >= 0 && taken[static_cast<std::size_t>(j)]) j = next_[static_cast<std::size_t>(j)];
        heads_[slot] = j;
        return j;
      }
      if (hashes_[slot] == h && heads_[slot] < 0) {
        // A chain used up: its key is the one asked for only if a row of it says so.
        return -1;
      }
      slot = (slot + 1) & mask_;
    }
    return -1;
  }

 private:
  const RelationTable& table_;
  Key key_;
  std::size_t mask_ = 0;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::int32_t> heads_;
  std::vector<std::int32_t> next_;
};

// The compared rows' reference rows (-1: none).
struct Mapping {
  std::vector<std::int32_t> map;  // empty: row i is reference row i
  std::size_t mapped = 0;
};

long long mappedRow(const Mapping& m, std::size_t i, std::size_t referenceRows) {
  if (m.map.empty()) return i < referenceRows ? static_cast<long long>(i) : -1;
  return m.map[i];
}

// Aligns the tables by a key: the next reference row in the current run's
// step first, then the first reference row of the key not yet taken.
std::optional<Mapping> align(const RelationInput& in, Key key) {
  const RelationTable& r = in.reference;
  const RelationTable& c = in.compared;
  Mapping m;
  m.map.assign(c.rows, -1);
  std::vector<bool> taken(r.rows, false);
  std::optional<KeyIndex> index;
  long long previous = -1, step = 1;
  std::size_t missed = 0;
  const auto limit = static_cast<std::size_t>((1 - kMinimumMapped) * static_cast<double>(c.rows)) + 1;
  for (std::size_t i = 0; i < c.rows; ++i) {
    long long j = previous + step;
    if (j < 0 || j >= static_cast<long long>(r.rows) || taken[static_cast<std::size_t>(j)] ||
        !sameKey(c, i, r, static_cast<std::size_t>(j), key)) {
      if (!index) index.emplace(r, key);
      j = index->take(c, i, taken);
    }
    if (j < 0) {
      if (++missed > limit) return std::nullopt;
      continue;
    }
    taken[static_cast<std::size_t>(j)] = true;
    m.map[i] = static_cast<std::int32_t>(j);
    ++m.mapped;
    if (previous >= 0 && i > 0 && m.map[i - 1] == previous) {
      const long long d = j - previous;
      step = d != 0 && std::llabs(d) <= 16 ? d : 1;
    } else {
      step = 1;
    }
    previous = j;
  }
  // A run of compared rows without a match between two matched rows, where
  // the reference has as many rows between their matches: the same rows,
  // whose values differ.
  const auto n = static_cast<long long>(c.rows);
  for (long long i = 0; i < n;) {
    if (m.map[static_cast<std::size_t>(i)] >= 0) {
      ++i;
      continue;
    }
    long long end = i;
    while (end < n && m.map[static_cast<std::size_t>(end)] < 0) ++end;
    const long long before = i > 0 ? m.map[static_cast<std::size_t>(i - 1)] : -1;
    const long long after = end < n ? m.map[static_cast<std::size_t>(end)] : static_cast<long long>(r.rows);
    if (after - before - 1 == end - i) {
      bool free = true;
      for (long long j = before + 1; j < after && free; ++j) free = !taken[static_cast<std::size_t>(j)];
      if (free && (i > 0 || end < n)) {
        for (long long k = i; k < end; ++k) {
          m.map[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(before + 1 + (k - i));
          taken[static_cast<std::size_t>(before + 1 + (k - i))] = true;
          ++m.mapped;
        }
      }
    }
    i = end;
  }
  return m;
}

// The mapping as runs of consecutive compared rows.
std::vector<RelationRun> runsOf(const Mapping& m, std::size_t comparedRows, std::size_t referenceRows,
                                std::size_t first, std::size_t last) {
  std::vector<RelationRun> runs;
  for (std::size_t i = first; i <= last && i < comparedRows; ++i) {
    const long long j = mappedRow(m, i, referenceRows);
    if (j < 0) continue;
    if (!runs.empty()) {
      RelationRun& run = runs.back();
      const long long lastJ = static_cast<long long>(run.referenceFirst) +
                              run.step * static_cast<long long>(run.comparedLast - run.comparedFirst);
      if (run.comparedLast + 1 == i) {
        if (run.comparedFirst == run.comparedLast) {
          // A run of one row takes the step to the next row when the row
          // after goes on with it.
          const long long d = j - lastJ;
          const long long after = i + 1 <= last && i + 1 < comparedRows ? mappedRow(m, i + 1, referenceRows) : -2;
          if (d == 1 || (d != 0 && std::llabs(d) <= 16 && after == j + d)) {
            run.step = d;
            run.comparedLast = i;
            continue;
          }
        } else if (j == lastJ + run.step) {
          run.comparedLast = i;
          continue;
        }
      }
    }
    runs.push_back({i, i, static_cast<std::size_t>(j), 1});
  }
  return runs;
}

// Whether the mapped reference rows are in the order of one of its columns.
std::optional<std::pair<int, bool>> sortedBy(const RelationInput& in, const Mapping& m) {
  for (int c = 0; c < 3; ++c) {
    for (const bool descending : {false, true}) {
      bool sorted = true;
      bool moves = false;
      double previous = 0;
      bool any = false;
      for (std::size_t i = 0; i < in.compared.rows && sorted; ++i) {
        const long long j = mappedRow(m, i, in.reference.rows);
        if (j < 0) continue;
        const double v = in.reference.column[c][static_cast<std::size_t>(j)];
        if (any) {
          sorted = descending ? !(v > previous) : !(v < previous);
          moves = moves || v != previous;
        }
        previous = v;
        any = true;
      }
      if (sorted && moves) return std::pair(c + 1, descending);
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Value maps and precisions.

struct Fit {
  ValueMap value;
  Precision precision;
  std::size_t count = 0;
  std::size_t size = 0;
};

// Simpler candidates win ties: the same rows, then another column, then a
// factor, then an offset; no precision, then a rounded one, then a cut one.
// A fitted number weighs more than any precision.
int complexity(const ValueMap& v, const Precision& p) {
  int c = 0;
  if (v.column != 2) c += 64;
  if (v.factor != 1) c += 128;
  if (v.offset != 0) c += 256;
  if (p.kind != PrecisionKind::None) c += 16 + (p.cut ? 16 : 0) + p.digits;
  return c;
}

struct Sample {
  std::vector<std::size_t> rows;  // compared rows
  std::vector<double> y;
  std::vector<double> x[3];
  std::size_t size() const { return y.size(); }
};

// Rows in [first, last] and outside [skipFirst, skipLast] (an empty range
// when skipFirst > skipLast), evenly spaced.
Sample sampleOf(const RelationInput& in, const Mapping& m, std::size_t first, std::size_t last,
                std::size_t skipFirst, std::size_t skipLast) {
  Sample s;
  last = std::min(last, in.compared.rows - 1);
  if (first > last) return s;
  const std::size_t span = last - first + 1;
  const std::size_t n = std::min(span, kSampleRows);
  std::size_t next = first;  // rows before it were sampled or passed over
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t i = std::max(next, first + k * span / n);
    while (i <= last && ((i >= skipFirst && i <= skipLast) || mappedRow(m, i, in.reference.rows) < 0)) {
      i = i >= skipFirst && i <= skipLast ? skipLast + 1 : i + 1;
    }
    if (i > last) break;
    next = i + 1;
    const auto j = static_cast<std::size_t>(mappedRow(m, i, in.reference.rows));
    s.rows.push_back(i);
    s.y.push_back(in.compared.column[1][i]);
    for (int c = 0; c < 3; ++c) s.x[c].push_back(in.reference.column[c][j]);
  }
  return s;
}

std::size_t countOn(const Sample& s, const ValueMap& v, const Precision& p) {
  std::size_t count = 0;
  const std::vector<double>& x = s.x[v.column - 1];
  for (std::size_t k = 0; k < s.size(); ++k) count += follows(s.y[k], mappedValue(v, x[k]), v, p, true) ? 1 : 0;
  return count;
}

// Half a unit of a precision's last digit around each compared value, and
// whether a prediction falls within it (a loose test to choose the fits
// worth refining).
std::vector<double> unitsOf(const Sample& s, const Precision& p) {
  std::vector<double> units(s.size(), 0.0);
  for (std::size_t k = 0; k < s.size(); ++k) {
    const double y = s.y[k];
    int e = 0;
    if (p.kind == PrecisionKind::Decimals) e = -p.digits;
    if (p.kind == PrecisionKind::SignificantDigits && y != 0 && std::isfinite(y)) e = decade(y) - p.digits + 1;
    units[k] = (e >= 0 ? (e <= 22 ? kPowersOfTen[e] : HUGE_VAL) : (-e <= 22 ? 1 / kPowersOfTen[-e] : 0)) * 1.000001 +
               1e-12 * std::fabs(y);
  }
  return units;
}
bool near(double y, double predicted, double unit) {
  return std::isfinite(y) && std::isfinite(predicted) && std::fabs(y - predicted) <= unit;
}

// The 90th percentile of some counts of digits.
int percentile90(std::vector<int> v) {
  if (v.empty()) return 99;
  std::sort(v.begin(), v.end());
  return v[(v.size() * 9) / 10 == v.size() ? v.size() - 1 : (v.size() * 9) / 10];
}

Fit fitSample(const WrittenDigitsOf& written, const Sample& s) {
  Fit best;
  best.size = s.size();
  if (s.size() < 2) return best;
  std::vector<ValueMap> raw;
  raw.push_back({});
  raw.push_back({1, 1, 0});
  raw.push_back({3, 1, 0});
  const std::size_t n = s.size();
  const std::size_t tries = std::min<std::size_t>(16, n);
  for (int c = 1; c <= 3; ++c) {
    const std::vector<double>& x = s.x[c - 1];
    for (std::size_t t = 0; t < tries; ++t) {
      const std::size_t k = (t * n) / tries;
      if (x[k] != 0 && std::isfinite(x[k]) && std::isfinite(s.y[k])) {
        raw.push_back({c, s.y[k] / x[k], 0});
      }
      if (std::isfinite(x[k]) && std::isfinite(s.y[k])) raw.push_back({c, 1, s.y[k] - x[k]});
      // Two rows far apart in the sample, so a few that differ spoil few pairs.
      const std::size_t l = (k + n / 2 + t) % n;
      if (x[k] != x[l] && std::isfinite(x[k]) && std::isfinite(x[l])) {
        const double a = (s.y[k] - s.y[l]) / (x[k] - x[l]);
        const double b = s.y[k] - a * x[k];
        if (std::isfinite(a) && std::isfinite(b)) raw.push_back({c, a, b});
      }
    }
  }
  auto consider = [&](const ValueMap& v, const Precision& p) {
    const std::size_t count = countOn(s, v, p);
    if (count > best.count || (count == best.count && count > 0 && complexity(v, p) < complexity(best.value, best.precision))) {
      best.value = v;
      best.precision = p;
      best.count = count;
    }
  };
  // Without a precision: each fit snapped to the shortest decimals it allows.
  std::vector<ValueMap> tried;
  auto seen = [&](const ValueMap& v) {
    for (const ValueMap& t : tried) {
      if (t.column == v.column && t.factor == v.factor && t.offset == v.offset) return true;
    }
    tried.push_back(v);
    return false;
  };
  for (const ValueMap& v : raw) {
    ValueMap snappedMap = v;
    snappedMap.factor = snapped(v.factor, kTolerance);
    const std::vector<double>& x = s.x[v.column - 1];
    double scale = 0;
    for (std::size_t k = 0; k < n; k += std::max<std::size_t>(1, n / 8)) {
      if (std::isfinite(s.y[k])) scale = std::max(scale, std::fabs(s.y[k]));
      if (std::isfinite(x[k])) scale = std::max(scale, std::fabs(snappedMap.factor * x[k]));
    }
    snappedMap.offset = std::fabs(v.offset) <= 1e-12 * scale ? 0 : snapped(v.offset, kTolerance * scale / std::fabs(v.offset));
    if (!seen(snappedMap)) consider(snappedMap, {});
  }
  if (best.count == n) return best;
  // With a precision the compared values show: the fewest decimals or
  // significant digits that write most of them.
  // Those it is written with, as the reader scanned it, and the fewest that
  // give its value (a writer may pad a rounded value with zeros).
  std::vector<int> decimals, digits, writtenDecimals, writtenDigits;
  for (std::size_t k = 0; k < n; ++k) {
    decimals.push_back(decimalsOf(s.y[k]));
    digits.push_back(significantOf(s.y[k]));
    if (!written) continue;
    const WrittenDigits w = written(s.rows[k]);
    if (w.decimals >= 0) writtenDecimals.push_back(w.decimals);
    if (w.significant > 0) writtenDigits.push_back(w.significant);
  }
  std::vector<Precision> precisions;
  auto add = [&](PrecisionKind kind, const std::vector<int>& counts, int most) {
    if (counts.size() * 2 < n) return;
    const int p = percentile90(counts);
    if (p > most) return;
    for (const bool cut : {false, true}) {
      const Precision candidate{kind, p, cut};
      const bool known = std::any_of(precisions.begin(), precisions.end(), [&](const Precision& q) {
        return q.kind == kind && q.digits == p && q.cut == cut;
      });
      if (!known) precisions.push_back(candidate);
    }
  };
  add(PrecisionKind::Decimals, writtenDecimals, kMaxDecimals);
  add(PrecisionKind::SignificantDigits, writtenDigits, kMaxSignificant);
  add(PrecisionKind::Decimals, decimals, kMaxDecimals);
  add(PrecisionKind::SignificantDigits, digits, kMaxSignificant);
  for (const Precision& p : precisions) {
    // The fits close to most rows within the precision, best first, each
    // refined to factors and offsets of few digits.
    std::vector<std::pair<std::size_t, ValueMap>> close;
    const std::vector<double> units = unitsOf(s, p);
    for (const ValueMap& v : raw) {
      std::size_t count = 0;
      const std::vector<double>& x = s.x[v.column - 1];
      for (std::size_t k = 0; k < n; ++k) count += near(s.y[k], mappedValue(v, x[k]), units[k]) ? 1 : 0;
      if (count * 2 >= n) close.push_back({count, v});
    }
    std::stable_sort(close.begin(), close.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (close.size() > 4) close.resize(4);
    for (const auto& [count, v] : close) {
      std::vector<double> factors{1}, offsets{0};
      for (int sig = 1; sig <= 8; ++sig) factors.push_back(significant(v.factor, sig));
      if (v.offset != 0) {
        for (int sig = 1; sig <= 6; ++sig) offsets.push_back(significant(v.offset, sig));
        if (p.kind == PrecisionKind::Decimals) offsets.push_back(fromText(v.offset, p.digits, false, false));
      }
      for (const double a : factors) {
        for (const double b : offsets) {
          // A few rows first: most refinements fail on them.
          const ValueMap refined{v.column, a, b};
          std::size_t few = 0;
          const std::size_t probe = std::min<std::size_t>(n, 32);
          for (std::size_t k = 0; k < probe; ++k) {
            const std::size_t at = k * n / probe;
            few += follows(s.y[at], mappedValue(refined, s.x[v.column - 1][at]), refined, p, true) ? 1 : 0;
          }
          if (static_cast<double>(few) >= 0.75 * static_cast<double>(probe)) consider(refined, p);
        }
      }
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// Confirmation on every row.

struct Part {
  std::size_t first, last;  // compared rows
  ValueMap value;
  Precision precision;
};

struct Confirmed {
  bool tooMany = false;        // more exceptions than a relation may have: given up
  std::size_t holds = 0;       // in the piece (or everywhere)
  std::size_t of = 0;
  std::size_t holdsElsewhere = 0, ofElsewhere = 0;
  double residual = 0;
  std::vector<RelationException> exceptions;
};

// `inside` is the piece, or every row; `outside`, when given, the rows
// elsewhere.
Confirmed confirm(const RelationInput& in, const Mapping& m, const Part& inside, const std::optional<Part>& outside) {
  Confirmed out;
  // No relation is claimed with more exceptions than a tenth of the rows.
  const std::size_t most = static_cast<std::size_t>((1 - kHoldShare) * static_cast<double>(in.compared.rows)) + 1;
  for (std::size_t i = 0; i < in.compared.rows; ++i) {
    const bool within = i >= inside.first && i <= inside.last;
    if (!within && !outside) continue;
    const Part& part = within ? inside : *outside;
    (within ? out.of : out.ofElsewhere) += 1;
    const long long j = mappedRow(m, i, in.reference.rows);
    if (j < 0) {
      // A row the reference lacks: the row map accounts for it.
      (within ? out.holds : out.holdsElsewhere) += 1;
      continue;
    }
    const auto ju = static_cast<std::size_t>(j);
    const double y = in.compared.column[1][i];
    const double x = in.reference.column[part.value.column - 1][ju];
    const double predicted = withPrecision(part.precision, mappedValue(part.value, x));
    if (follows(y, mappedValue(part.value, x), part.value, part.precision, false)) {
      (within ? out.holds : out.holdsElsewhere) += 1;
      continue;
    }
    // Scaled as the total scales (the reference's own value scales to the
    // very value the sum used), so the residual is a total of its own.
    const double difference = scaleColumn2(y) - scaleColumn2(predicted);
    const double square = difference * difference;
    out.residual += square;
    out.exceptions.push_back({i, ju, predicted, square});
    if (out.exceptions.size() > most) {
      out.tooMany = true;
      return out;
    }
  }
  std::stable_sort(out.exceptions.begin(), out.exceptions.end(), [](const RelationException& a, const RelationException& b) {
    const bool an = std::isnan(a.square), bn = std::isnan(b.square);
    if (an != bn) return an;
    return !an && a.square > b.square;
  });
  return out;
}

// A relation with no number fitted (the same values, another column, a
// precision) that holds on every row of a table too small for the share
// is claimed too: chance does not give that.
bool enough(std::size_t holds, std::size_t of, const ValueMap& value) {
  if (holds == of && holds >= 2 && value.factor == 1 && value.offset == 0) return true;
  return holds >= kMinimumRows && static_cast<double>(holds) >= kHoldShare * static_cast<double>(of);
}

struct Searcher {
  const RelationInput& in;
  std::vector<Relation> found;

  // The row map's description, or nothing when it is not one.
  bool describe(const Mapping& m, Relation& r, std::size_t first, std::size_t last) {
    const std::size_t n2 = in.compared.rows;
    if (m.map.empty() && last + 1 >= n2 && n2 <= in.reference.rows && first == 0) {
      r.rowMap = RowMapKind::Same;
      return true;
    }
    r.runs = runsOf(m, n2, in.reference.rows, first, last);
    if (r.runs.empty()) return false;
    std::size_t covered = 0;
    for (const RelationRun& run : r.runs) covered += run.comparedLast - run.comparedFirst + 1;
    if (r.runs.size() > 4 && r.runs.size() * 8 > covered) {
      const auto sorted = sortedBy(in, m);
      if (!sorted || first != 0 || last + 1 < n2) return false;
      r.rowMap = RowMapKind::SortedBy;
      r.sortColumn = sorted->first;
      r.descending = sorted->second;
      r.runs.clear();
      return true;
    }
    r.rowMap = RowMapKind::Runs;
    return true;
  }

  // A relation described by its row map, with its fit and what the
  // confirmation found.
  static Relation confirmed(Relation r, const Fit& fit, const Confirmed& c) {
    r.value = fit.value;
    r.precision = fit.precision;
    r.holds = c.holds;
    r.of = c.of;
    r.residual = c.residual;
    r.exceptions = c.exceptions;
    return r;
  }

  void keep(Relation r) {
    if (!(r.residual <= kMostOfTheTotal * in.total)) return;
    found.push_back(std::move(r));
  }

  void tryMapping(const Mapping& m) {
    const std::size_t n2 = in.compared.rows;
    if (n2 == 0 || static_cast<double>(m.mapped) < kMinimumMapped * static_cast<double>(n2)) return;
    const Fit whole = fitSample(in.written, sampleOf(in, m, 0, n2 - 1, 1, 0));
    if (whole.size > 0 && static_cast<double>(whole.count) >= kHoldShare * static_cast<double>(whole.size)) {
      const Confirmed c = confirm(in, m, {0, n2 - 1, whole.value, whole.precision}, std::nullopt);
      Relation r;
      if (!c.tooMany && enough(c.holds, c.of, whole.value) && describe(m, r, 0, n2 - 1)) {
        keep(confirmed(std::move(r), whole, c));
        return;
      }
    }
    // A piece where the same values fail, or where the best fit fails.
    if (!tryPiece(m, Fit{}) && !whole.value.identity() && whole.count * 4 >= whole.size) tryPiece(m, whole);
  }

  // The run of rows where `base` (the same values, or a fit) fails most
  // densely (each row that does not follow it counts 1, each that does -9),
  // fitted on its own, the rows elsewhere fitted apart. Whether one was kept.
  bool tryPiece(const Mapping& m, const Fit& base) {
    const std::size_t n2 = in.compared.rows;
    const std::size_t before = found.size();
    long long best = 0, current = 0;
    std::size_t start = 0, bestFirst = 0, bestLast = 0;
    // The same rows and the same values: a plain comparison a row.
    const bool plain = m.map.empty() && base.value.identity() && base.precision.kind == PrecisionKind::None;
    const double* y = in.compared.column[1];
    const double* x = in.reference.column[base.value.column - 1];
    for (std::size_t i = 0; i < n2; ++i) {
      long long score = 0;
      if (plain) {
        score = i >= in.reference.rows ? 0 : y[i] == x[i] ? -9 : 1;
      } else if (const long long j = mappedRow(m, i, in.reference.rows); j >= 0) {
        const double predicted = mappedValue(base.value, x[static_cast<std::size_t>(j)]);
        // Equal values follow whatever the relation; others are weighed.
        score = y[i] == predicted && base.precision.kind == PrecisionKind::None ? -9
                : follows(y[i], predicted, base.value, base.precision, true) ? -9
                                                                            : 1;
      }
      if (current <= 0) {
        current = 0;
        start = i;
      }
      current += score;
      if (current > best) {
        best = current;
        bestFirst = start;
        bestLast = i;
      }
    }
    const std::size_t rows = bestLast - bestFirst + 1;
    if (best <= 0 || rows < kMinimumRows ||
        (rows < kPieceRows && static_cast<double>(rows) < kPieceShare * static_cast<double>(n2)) || rows == n2) {
      return false;
    }
    const Fit inside = fitSample(in.written, sampleOf(in, m, bestFirst, bestLast, 1, 0));
    if (inside.size == 0 || static_cast<double>(inside.count) < kHoldShare * static_cast<double>(inside.size)) return false;
    Fit outside;
    outside.size = 0;
    if (bestFirst > 0 || bestLast + 1 < n2) {
      outside = fitSample(in.written, sampleOf(in, m, 0, n2 - 1, bestFirst, bestLast));
      if (outside.size >= kMinimumRows && static_cast<double>(outside.count) < kHoldShare * static_cast<double>(outside.size)) {
        return false;
      }
    }
    const Confirmed c = confirm(in, m, {bestFirst, bestLast, inside.value, inside.precision},
                                Part{0, n2 - 1, outside.value, outside.precision});
    Relation r;
    if (c.tooMany || !enough(c.holds, c.of, inside.value) || (c.ofElsewhere > 0 && static_cast<double>(c.holdsElsewhere) <
                                                           kHoldShare * static_cast<double>(c.ofElsewhere))) {
      return false;
    }
    if (!describe(m, r, bestFirst, bestLast)) return false;
    if (r.rowMap == RowMapKind::Same) {
      r.rowMap = RowMapKind::Runs;
      r.runs = {{bestFirst, bestLast, bestFirst, 1}};
    }
    if (!m.map.empty()) {
      std::vector<RelationRun> all = runsOf(m, n2, in.reference.rows, 0, n2 - 1);
      const bool same = all.size() == 1 && all[0].comparedFirst == 0 && all[0].comparedLast + 1 == n2 &&
                        all[0].referenceFirst == 0 && all[0].step == 1;
      if (!same) r.allRuns = std::move(all);
    }
    r.piece = true;
    r.pieceFirst = bestFirst;
    r.pieceLast = bestLast;
    r.elsewhere = outside.value;
    r.elsewherePrecision = outside.precision;
    keep(confirmed(std::move(r), inside, c));
    return found.size() > before;
  }
};

}  // namespace

double mappedValue(const ValueMap& map, double x) {
  if (map.factor == 1 && map.offset == 0) return x;
  return map.factor * x + map.offset;
}

double withPrecision(const Precision& precision, double value) { return exactPrecision(precision, value); }

std::vector<Relation> findRelations(const RelationInput& in) {
  if (!std::isfinite(in.total) || !(in.total > 0) || in.compared.rows == 0 || in.reference.rows == 0) return {};
  Searcher search{in, {}};
  Mapping same;
  same.mapped = std::min(in.compared.rows, in.reference.rows);
  search.tryMapping(same);
  for (const Key key : {Key::Columns13, Key::All, Key::Column2}) {
    if (!identifies(in.reference, key)) continue;
    // Where every compared row has the key of the reference row in its
    // place, the key pairs the rows as they are: the same rows, tried above.
    if (in.compared.rows <= in.reference.rows && sameKeysInPlace(in, key)) break;
    std::optional<Mapping> m = align(in, key);
    if (!m) continue;
    // A key that pairs nearly every row needs no other.
    const bool paired = static_cast<double>(m->mapped) >= kHoldShare * static_cast<double>(in.compared.rows);
    bool identity = true;
    for (std::size_t i = 0; i < in.compared.rows && identity; ++i) identity = m->map[i] == mappedRow(same, i, in.reference.rows);
    if (!identity) search.tryMapping(*m);
    if (paired) break;
  }
  // The best first: the smallest residual.
  std::stable_sort(search.found.begin(), search.found.end(), [](const Relation& a, const Relation& b) {
    if (a.residual != b.residual) return a.residual < b.residual;
    // Of two that leave the same, the one with fewer numbers fitted, then
    // the one with fewer runs.
    const int ca = complexity(a.value, a.precision), cb = complexity(b.value, b.precision);
    if (ca != cb) return ca < cb;
    if (a.runs.size() != b.runs.size()) return a.runs.size() < b.runs.size();
    return a.holds > b.holds;
  });
  if (search.found.size() > 1) search.found.resize(1);
  return search.found;
}

std::vector<double> residualSquares(const Relation& relation, std::size_t comparedRows) {
  std::vector<double> squares(comparedRows, 0.0);
  for (const RelationException& e : relation.exceptions) {
    if (e.row < comparedRows) squares[e.row] = e.square;
  }
  return squares;
}

}  // namespace velmora::explain
