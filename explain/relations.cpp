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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "comparison/comparison.h"
#include "companion/companion.h"
#include "freeformat/freeformat.h"

namespace velmora::explain {
namespace {

// Rows sampled to find and score candidates.
constexpr std::size_t kSampleRows = 512;
// Rows sampled to tell whether a key identifies the reference's rows.
constexpr std::size_t kKeySampleRows = 2048;
// A relation holds on at least this share of the rows it covers, on at least
// kMinimumRows of them; a row map accounts for at least kMinimumMapped of the
// compared rows; following it leaves less than the total.
constexpr double kHoldShare = 0.9;
constexpr std::size_t kMinimumRows = 5;
constexpr double kMinimumMapped = 0.5;
// A fit worth confirming holds on this share of the sample (the exceptions
// in a pattern count for it once confirmed).
constexpr double kSampleShare = 0.75;
// A piece has at least kPieceRows rows or kPieceShare of the table.
constexpr std::size_t kPieceRows = 10;
constexpr double kPieceShare = 0.1;
// Two values computed in different units agree when they differ by no more
// than this, relatively.
constexpr double kTolerance = 1e-9;
// The most digits a precision is looked for with.
constexpr int kMaxDecimals = 15;
constexpr int kMaxSignificant = 15;

using companion::kPowersOfTen;

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
  if (p.kind == PrecisionKind::Binary32) return std::fabs(v) > 3.4e38 ? v : static_cast<double>(static_cast<float>(v));
  if (p.kind == PrecisionKind::Decimals) return fromText(v, p.digits, false, p.cut);
  if (p.kind == PrecisionKind::SignificantDigits) return fromText(v, p.digits - 1, true, p.cut);
  return v;
}

std::optional<double> quickPrecision(const Precision& p, double v) {
  if (p.kind == PrecisionKind::Decimals) return quickDecimals(v, p.digits, p.cut);
  if (p.kind == PrecisionKind::SignificantDigits) return quickSignificant(v, p.digits, p.cut);
  return v;
}

// The unit of the last place of |y| written with `digits` decimals or
// significant digits.
double unitOf(PrecisionKind kind, int digits, double y) {
  const int e = kind == PrecisionKind::Decimals ? -digits : (y == 0 ? -digits : decade(y) - digits + 1);
  if (e >= 0) return e <= 22 ? kPowersOfTen[e] : HUGE_VAL;
  return -e <= 22 ? 1 / kPowersOfTen[-e] : std::pow(10.0, e);
}

int decimalsOf(double v);
int significantOf(double v);

// Whether a compared value follows a predicted one: the prediction, written
// with the compared value's own precision, is the compared value (it lies
// within half a unit of its last written place, or a unit below it for a
// cut value). The compared value is written with the precision's digits, or
// more where it shows more.
bool follows(double y, double predicted, const ValueMap& map, const Precision& precision, bool quickOnly) {
  if (precision.kind == PrecisionKind::Binary32) {
    if (y == predicted) return true;
    if (!std::isfinite(y) || !std::isfinite(predicted) || std::fabs(predicted) > 3.4e38 || std::fabs(y) > 3.4e38) return false;
    return static_cast<float>(y) == static_cast<float>(predicted);
  }
  if (precision.kind != PrecisionKind::None) {
    const std::optional<double> quick = quickPrecision(precision, predicted);
    if (quick && y == *quick) return true;
    if (!std::isfinite(y) || !std::isfinite(predicted)) return false;
    int digits = precision.digits;
    const std::optional<double> own = quickPrecision({precision.kind, digits, false}, y);
    if (!own || *own != y) {
      digits = precision.kind == PrecisionKind::Decimals ? decimalsOf(y) : significantOf(y);
      if (digits > 30) return quickOnly || !quick ? false : y == exactPrecision(precision, predicted);
    }
    const double unit = unitOf(precision.kind, digits, y) * (1 + 1e-9) + 1e-15 * std::fabs(y);
    if (precision.cut) {
      // Cut towards zero: the prediction lies at most a unit beyond it.
      const double beyond = y >= 0 && predicted >= 0 ? predicted - y : y - predicted;
      if (beyond >= -1e-12 * unit && beyond < unit) return true;
    } else if (std::fabs(y - predicted) <= 0.5 * unit) {
      return true;
    }
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
  // The keys' own equality: -0 is 0, a NaN its bits. Most rows hold the
  // very bits: a block of rows is first asked that, without a branch a row.
  const auto bits = [](const double* c, std::size_t i) { return std::bit_cast<std::uint64_t>(c[i]); };
  constexpr std::size_t kBlock = 16;
  const std::size_t n = in.compared.rows;
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t last = std::min(n, first + kBlock);
    std::uint64_t apart = 0;
    for (std::size_t i = first; i < last; ++i) {
      apart |= (bits(a1, i) ^ bits(b1, i)) | (bits(a3, i) ^ bits(b3, i)) | (withColumn2 ? bits(a2, i) ^ bits(b2, i) : 0);
    }
    if (apart == 0) continue;
    for (std::size_t i = first; i < last; ++i) {
      if (!((a1[i] == b1[i] || sameValue(a1[i], b1[i])) && (a3[i] == b3[i] || sameValue(a3[i], b3[i])) &&
            (!withColumn2 || a2[i] == b2[i] || sameValue(a2[i], b2[i])))) {
        return false;
      }
    }
  }
  return true;
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

// factor x column + offset.
ValueMap linear(int column, double factor, double offset) {
  ValueMap v;
  v.column = column;
  v.factor = factor;
  v.offset = offset;
  return v;
}

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
  if (v.transform != Transform::None) c += 384;
  c += 512 * v.extras;
  if (p.kind == PrecisionKind::Binary32) c += 20;
  if (p.kind == PrecisionKind::Decimals || p.kind == PrecisionKind::SignificantDigits) c += 16 + (p.cut ? 16 : 0) + p.digits;
  return c;
}

struct Sample {
  const RelationTable* reference = nullptr;
  std::vector<std::size_t> rows;  // compared rows
  std::vector<std::size_t> referenceRows;
  std::vector<double> y;
  std::vector<double> x[3];
  std::size_t size() const { return y.size(); }
};

// Rows in [first, last] and outside [skipFirst, skipLast] (an empty range
// when skipFirst > skipLast), evenly spaced.
Sample sampleOf(const RelationInput& in, const Mapping& m, std::size_t first, std::size_t last,
                std::size_t skipFirst, std::size_t skipLast) {
  Sample s;
  s.reference = &in.reference;
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
    s.referenceRows.push_back(j);
    s.y.push_back(in.compared.column[1][i]);
    for (int c = 0; c < 3; ++c) s.x[c].push_back(in.reference.column[c][j]);
  }
  return s;
}

// The map's prediction for sampled row k.
double predictedOn(const Sample& s, const ValueMap& v, std::size_t k) {
  if (v.extras == 0) return mappedValue(v, s.x[v.column - 1][k]);
  return mappedValue(v, *s.reference, s.referenceRows[k], s.rows[k]);
}

std::size_t countOn(const Sample& s, const ValueMap& v, const Precision& p) {
  std::size_t count = 0;
  for (std::size_t k = 0; k < s.size(); ++k) count += follows(s.y[k], predictedOn(s, v, k), v, p, true) ? 1 : 0;
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

// ---------------------------------------------------------------------------
// The grammar's value maps: an affine combination of at most three features
// (a transformed reference column, the next reference row's column, the row
// number, another column), fitted by consensus on minimal sets of sampled
// rows, then by least squares on the rows the best of them leaves close,
// each coefficient then written with the fewest digits that keep them.

// The least-squares coefficients of y on m features and a constant, from the
// rows `use` (all rows when empty); false where the rows do not fix them.
bool leastSquares(const std::vector<std::vector<double>>& f, const std::vector<double>& y,
                  const std::vector<std::size_t>& use, double* out) {
  const std::size_t m = f.size() + 1;
  double a[4][5] = {};
  auto add = [&](std::size_t k) {
    double row[4];
    for (std::size_t c = 0; c + 1 < m; ++c) row[c] = f[c][k];
    row[m - 1] = 1;
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t c = 0; c < m; ++c) a[r][c] += row[r] * row[c];
      a[r][m] += row[r] * y[k];
    }
  };
  if (use.empty()) {
    for (std::size_t k = 0; k < y.size(); ++k) add(k);
  } else {
    for (const std::size_t k : use) add(k);
  }
  for (std::size_t c = 0; c < m; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < m; ++r) {
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    }
    if (!(std::fabs(a[pivot][c]) > 1e-300)) return false;
    for (std::size_t k = 0; k <= m; ++k) std::swap(a[c][k], a[pivot][k]);
    for (std::size_t r = 0; r < m; ++r) {
      if (r == c) continue;
      const double q = a[r][c] / a[c][c];
      for (std::size_t k = c; k <= m; ++k) a[r][k] -= q * a[c][k];
    }
  }
  for (std::size_t c = 0; c < m; ++c) {
    out[c] = a[c][m] / a[c][c];
    if (!std::isfinite(out[c])) return false;
  }
  return true;
}

struct FeatureSet {
  int column;
  Transform transform;
  int extras;
  Term extra[2];
};

double featureOn(const Sample& s, const Term& t, std::size_t k) {
  switch (t.kind) {
    case FeatureKind::Column: return s.x[t.column - 1][k];
    case FeatureKind::NextRow: {
      const std::size_t j = s.referenceRows[k] + 1;
      return j < s.reference->rows ? s.reference->column[t.column - 1][j] : std::nan("");
    }
    case FeatureKind::RowNumber: return static_cast<double>(s.rows[k] + 1);
  }
  return std::nan("");
}

// The feature sets the grammar tries beyond a column's plain factor and
// offset, simplest first.
std::vector<FeatureSet> featureSets() {
  std::vector<FeatureSet> sets;
  for (const Transform t : {Transform::Log10, Transform::Ln, Transform::Exp, Transform::PowerOfTen, Transform::Square,
                            Transform::SquareRoot, Transform::Reciprocal}) {
    for (int c = 1; c <= 3; ++c) sets.push_back({c, t, 0, {}});
  }
  for (int c = 1; c <= 3; ++c) {
    sets.push_back({c, Transform::None, 1, {{FeatureKind::RowNumber, 0, 0}, {}}});
    sets.push_back({c, Transform::None, 1, {{FeatureKind::NextRow, c, 0}, {}}});
    for (int d = 1; d <= 3; ++d) {
      if (d != c) sets.push_back({c, Transform::None, 1, {{FeatureKind::Column, d, 0}, {}}});
    }
  }
  return sets;
}

// Half a unit of each sampled compared value's last place as written (at
// least its own digits, at least `decimals` where given), or a relative
// 1e-9 for a value written in full.
std::vector<double> halfUnits(const Sample& s, int decimals) {
  std::vector<double> units(s.size());
  for (std::size_t k = 0; k < s.size(); ++k) {
    const double y = s.y[k];
    int d = decimalsOf(y);
    if (decimals >= 0 && decimals > d && decimals <= kMaxDecimals) d = decimals;
    units[k] = d <= kMaxDecimals ? 0.5 * unitOf(PrecisionKind::Decimals, d, y) * 1.000001 + 1e-12 * std::fabs(y)
                                 : kTolerance * std::fabs(y);
  }
  return units;
}

// The shortest decimal form of c (to at most 10 significant digits) that
// keeps `count` rows close, given how close a coefficient leaves them.
template <typename Count>
double shortest(double c, std::size_t count, const Count& closeWith) {
  if (c == 0 || !std::isfinite(c)) return c;
  if (closeWith(0.0) >= count) return 0;
  for (int sig = 1; sig <= 10; ++sig) {
    const double shorter = significant(c, sig);
    if (closeWith(shorter) >= count) return shorter;
  }
  return c;
}

// The 90th percentile of some counts of digits.
int percentile90(std::vector<int> v) {
  if (v.empty()) return 99;
  std::sort(v.begin(), v.end());
  return v[(v.size() * 9) / 10 == v.size() ? v.size() - 1 : (v.size() * 9) / 10];
}

void fitGrammar(const Sample& s, int decimals, const std::vector<Precision>& precisions, std::size_t& candidates,
                const std::function<void(const ValueMap&, const Precision&)>& consider);

Fit fitSample(const WrittenDigitsOf& written, const Sample& s, std::size_t& candidates) {
  Fit best;
  best.size = s.size();
  if (s.size() < 2) return best;
  std::vector<ValueMap> raw;
  raw.push_back({});
  raw.push_back(linear(1, 1, 0));
  raw.push_back(linear(3, 1, 0));
  const std::size_t n = s.size();
  const std::size_t tries = std::min<std::size_t>(16, n);
  for (int c = 1; c <= 3; ++c) {
    const std::vector<double>& x = s.x[c - 1];
    for (std::size_t t = 0; t < tries; ++t) {
      const std::size_t k = (t * n) / tries;
      if (x[k] != 0 && std::isfinite(x[k]) && std::isfinite(s.y[k])) {
        raw.push_back(linear(c, s.y[k] / x[k], 0));
      }
      if (std::isfinite(x[k]) && std::isfinite(s.y[k])) raw.push_back(linear(c, 1, s.y[k] - x[k]));
      // Two rows far apart in the sample, so a few that differ spoil few pairs.
      const std::size_t l = (k + n / 2 + t) % n;
      if (x[k] != x[l] && std::isfinite(x[k]) && std::isfinite(x[l])) {
        const double a = (s.y[k] - s.y[l]) / (x[k] - x[l]);
        const double b = s.y[k] - a * x[k];
        if (std::isfinite(a) && std::isfinite(b)) raw.push_back(linear(c, a, b));
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
  candidates += raw.size();
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
          ValueMap refined = v;
          refined.factor = a;
          refined.offset = b;
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
  consider(ValueMap{}, {PrecisionKind::Binary32, 0, false});
  if (static_cast<double>(best.count) >= kHoldShare * static_cast<double>(n) || n < 4) return best;
  // Beyond a factor and an offset: the grammar's other maps, with the
  // precisions the compared values show.
  std::vector<Precision> withBinary = precisions;
  withBinary.push_back({PrecisionKind::Binary32, 0, false});
  fitGrammar(s, writtenDecimals.size() * 2 >= n ? percentile90(writtenDecimals) : -1, withBinary, candidates, consider);
  return best;
}

void fitGrammar(const Sample& s, int decimals, const std::vector<Precision>& precisions, std::size_t& candidates,
                const std::function<void(const ValueMap&, const Precision&)>& consider) {
  const std::size_t n = s.size();
  const std::vector<double> units = halfUnits(s, decimals);
  std::vector<std::vector<double>> f;
  std::vector<std::size_t> finite, use;
  for (const FeatureSet& set : featureSets()) {
    const std::size_t features = 1 + static_cast<std::size_t>(set.extras);
    f.assign(features, std::vector<double>(n));
    finite.clear();
    for (std::size_t k = 0; k < n; ++k) {
      f[0][k] = transformed(set.transform, s.x[set.column - 1][k]);
      bool ok = std::isfinite(f[0][k]) && std::isfinite(s.y[k]);
      for (std::size_t e = 1; e < features; ++e) {
        f[e][k] = featureOn(s, set.extra[e - 1], k);
        ok = ok && std::isfinite(f[e][k]);
      }
      if (ok) finite.push_back(k);
    }
    const std::size_t m = features + 1;
    if (finite.size() * 10 < n * 9 || finite.size() < m + 2) continue;
    auto close = [&](const double* c, std::vector<std::size_t>* rows) {
      std::size_t count = 0;
      for (const std::size_t k : finite) {
        double predicted = c[m - 1];
        for (std::size_t e = 0; e < features; ++e) predicted += c[e] * f[e][k];
        if (std::fabs(s.y[k] - predicted) <= units[k]) {
          ++count;
          if (rows != nullptr) rows->push_back(k);
        }
      }
      return count;
    };
    // Consensus: minimal sets of rows spread over the sample.
    double best[4] = {};
    std::size_t bestCount = 0;
    const std::size_t tries = std::min<std::size_t>(16, finite.size());
    for (std::size_t t = 0; t < tries; ++t) {
      use.clear();
      for (std::size_t r = 0; r < m; ++r) use.push_back(finite[(t * finite.size() / tries + r * finite.size() / m + t) % finite.size()]);
      double c[4];
      ++candidates;
      if (!leastSquares(f, s.y, use, c)) continue;
      const std::size_t count = close(c, nullptr);
      if (count > bestCount) {
        bestCount = count;
        std::copy(c, c + m, best);
      }
    }
    if (bestCount * 2 < n) continue;
    // Least squares on the rows it leaves close, then the fewest digits.
    use.clear();
    close(best, &use);
    double c[4];
    if (leastSquares(f, s.y, use, c)) {
      const std::size_t count = close(c, nullptr);
      if (count >= bestCount) {
        bestCount = count;
        std::copy(c, c + m, best);
      }
    }
    // All coefficients rounded together first, with and without the
    // constant: one at a time, a factor of 1.0001 and a constant of -0.00012
    // can keep each other where 1 and 0 keep the same rows.
    for (int sig = 1; sig <= 10; ++sig) {
      double trial[4];
      for (std::size_t e = 0; e < m; ++e) trial[e] = significant(best[e], sig);
      const double constant = trial[m - 1];
      trial[m - 1] = 0;
      if (close(trial, nullptr) >= bestCount) {
        std::copy(trial, trial + m, best);
        break;
      }
      trial[m - 1] = constant;
      if (close(trial, nullptr) >= bestCount) {
        std::copy(trial, trial + m, best);
        break;
      }
    }
    for (std::size_t e = m; e-- > 0;) {
      best[e] = shortest(best[e], bestCount, [&](double v) {
        double trial[4];
        std::copy(best, best + m, trial);
        trial[e] = v;
        return close(trial, nullptr);
      });
    }
    ValueMap map;
    map.column = set.column;
    map.transform = set.transform;
    map.factor = best[0];
    map.extras = set.extras;
    for (int e = 0; e < set.extras; ++e) {
      map.extra[e] = set.extra[e];
      map.extra[e].coefficient = best[1 + e];
    }
    map.offset = best[m - 1];
    consider(map, {});
    for (const Precision& p : precisions) consider(map, p);
  }
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
  std::size_t patterned = 0;   // exceptions in a pattern, in the piece (or everywhere)
  std::size_t exact = 0;       // rows that follow with the very value mapped
  double residual = 0;
  std::vector<RelationException> exceptions;
  std::vector<ExceptionPattern> patterns;
};

// The patterns among exceptions (in the order of their rows): rows that
// share one compared value, then, of the rest, differences that grow with
// the row, rows on a regular period, or one run of rows. A pattern has at
// least kPatternRows rows.
constexpr std::size_t kPatternRows = 3;

std::vector<ExceptionPattern> patternsOf(const RelationTable& compared, const std::vector<RelationException>& byRow,
                                         std::vector<bool>& inPattern) {
  std::vector<ExceptionPattern> out;
  inPattern.assign(byRow.size(), false);
  if (byRow.size() < kPatternRows) return out;
  const double* y = compared.column[1];
  // Of the rows left, those at a regular step, or in one run.
  auto regular = [&](const std::vector<std::size_t>& at, ExceptionPattern& p) {
    if (at.size() < kPatternRows) return false;
    const std::size_t step = byRow[at[1]].row - byRow[at[0]].row;
    for (std::size_t k = 1; k < at.size(); ++k) {
      if (byRow[at[k]].row - byRow[at[k - 1]].row != step) return false;
    }
    p.kind = step == 1 ? PatternKind::Run : PatternKind::Period;
    p.period = step;
    p.first = byRow[at.front()].row;
    p.last = byRow[at.back()].row;
    p.rows = at.size();
    return true;
  };
  // One value shared by the most exceptions.
  std::vector<double> values;
  for (const RelationException& e : byRow) values.push_back(y[e.row]);
  std::vector<double> sorted;
  for (const double v : values) {
    if (std::isfinite(v)) sorted.push_back(v);
  }
  std::sort(sorted.begin(), sorted.end());
  double shared = 0;
  std::size_t most = 0;
  for (std::size_t k = 0; k < sorted.size();) {
    std::size_t l = k;
    while (l < sorted.size() && sorted[l] == sorted[k]) ++l;
    if (l - k > most) {
      most = l - k;
      shared = sorted[k];
    }
    k = l;
  }
  if (most >= kPatternRows && most * 2 >= byRow.size()) {
    std::vector<std::size_t> at;
    for (std::size_t k = 0; k < byRow.size(); ++k) {
      if (values[k] == shared) at.push_back(k);
    }
    ExceptionPattern p{PatternKind::SharedValue};
    if (regular(at, p)) {
      p.kind = PatternKind::SharedValue;
      p.shared = true;
    } else {
      p.first = byRow[at.front()].row;
      p.last = byRow[at.back()].row;
      p.rows = at.size();
    }
    p.value = shared;
    for (const std::size_t k : at) inPattern[k] = true;
    out.push_back(p);
  }
  std::vector<std::size_t> rest;
  for (std::size_t k = 0; k < byRow.size(); ++k) {
    if (!inPattern[k]) rest.push_back(k);
  }
  // Differences that follow the row: a straight line through them that
  // leaves little of their spread.
  if (rest.size() >= 5) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    for (const std::size_t k : rest) {
      const double x = static_cast<double>(byRow[k].row), d = y[byRow[k].row] - byRow[k].expected;
      sx += x, sy += d, sxx += x * x, sxy += x * d, syy += d * d;
    }
    const double m = static_cast<double>(rest.size());
    const double vx = sxx - sx * sx / m, vy = syy - sy * sy / m, cxy = sxy - sx * sy / m;
    if (vx > 0 && vy > 0 && cxy * cxy >= 0.99 * vx * vy) {
      ExceptionPattern t{PatternKind::Trend};
      t.rows = rest.size();
      t.first = byRow[rest.front()].row;
      t.last = byRow[rest.back()].row;
      t.perRow = cxy / vx;
      for (const std::size_t k : rest) inPattern[k] = true;
      out.push_back(t);
      return out;
    }
  }
  ExceptionPattern p{PatternKind::Period};
  if (rest.size() >= kPatternRows && (regular(rest, p))) {
    for (const std::size_t k : rest) inPattern[k] = true;
    out.push_back(p);
    return out;
  }
  return out;
}

// `inside` is the piece, or every row; `outside`, when given, the rows
// elsewhere.
Confirmed confirm(const RelationInput& in, const Mapping& m, const Part& inside, const std::optional<Part>& outside) {
  Confirmed out;
  // No relation is claimed with more exceptions than a tenth of the rows,
  // but those in a pattern; past a third, no pattern is looked for.
  const std::size_t most = static_cast<std::size_t>(static_cast<double>(in.compared.rows) / 3) + 1;
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
    const double mapped = part.value.extras == 0 ? mappedValue(part.value, in.reference.column[part.value.column - 1][ju])
                                                 : mappedValue(part.value, in.reference, ju, i);
    if (follows(y, mapped, part.value, part.precision, false)) {
      (within ? out.holds : out.holdsElsewhere) += 1;
      out.exact += y == mapped ? 1 : 0;
      continue;
    }
    const double predicted = withPrecision(part.precision, mapped);
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
  std::vector<bool> inPattern;
  out.patterns = patternsOf(in.compared, out.exceptions, inPattern);
  if (!out.patterns.empty()) {
    // The rows in a pattern are part of the explanation: the residual is
    // what the others leave, summed in row order.
    out.residual = 0;
    for (std::size_t k = 0; k < out.exceptions.size(); ++k) {
      const std::size_t i = out.exceptions[k].row;
      out.exceptions[k].patterned = inPattern[k];
      if (inPattern[k] && i >= inside.first && i <= inside.last) ++out.patterned;
      if (!inPattern[k]) out.residual += out.exceptions[k].square;
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
// is claimed too: chance does not give that. The exceptions in a pattern
// are explained as well as the rows that follow.
bool enough(std::size_t holds, std::size_t patterned, std::size_t of, const ValueMap& value) {
  if (value.constant()) return false;
  if (holds == of && holds >= 2 && value.factor == 1 && value.offset == 0 && value.extras == 0) return true;
  return holds >= kMinimumRows && static_cast<double>(holds + patterned) >= kHoldShare * static_cast<double>(of);
}

struct Searcher {
  const RelationInput& in;
  std::vector<Relation> found;
  std::size_t candidates = 0, confirmedRows = 0;

  Fit fit(const Sample& s) { return fitSample(in.written, s, candidates); }
  Confirmed check(const Mapping& m, const Part& inside, const std::optional<Part>& outside) {
    Confirmed c = confirm(in, m, inside, outside);
    confirmedRows += c.of + c.ofElsewhere;
    return c;
  }

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
    r.patterns = c.patterns;
    r.exact = c.exact;
    return r;
  }

  // A relation that leaves the total as it is explains nothing: the same
  // rows and values, or a precision the files both have.
  void keep(Relation r) {
    if (r.value.constant()) return;
    // The same rows and values with a placeholder on some rows are a
    // relation; without one, rows that differ are only rows that differ.
    const bool placeholder = std::any_of(r.patterns.begin(), r.patterns.end(),
                                         [](const ExceptionPattern& p) { return p.kind == PatternKind::SharedValue; });
    if (r.rowMap == RowMapKind::Same && r.value.identity() && !placeholder &&
        (r.precision.kind == PrecisionKind::None || r.exact == r.holds)) {
      return;
    }
    found.push_back(std::move(r));
  }

  void tryMapping(const Mapping& m) {
    const std::size_t n2 = in.compared.rows;
    if (n2 == 0 || static_cast<double>(m.mapped) < kMinimumMapped * static_cast<double>(n2)) return;
    const Fit whole = fit(sampleOf(in, m, 0, n2 - 1, 1, 0));
    if (whole.size > 0 && static_cast<double>(whole.count) >= kSampleShare * static_cast<double>(whole.size)) {
      const Confirmed c = check(m, {0, n2 - 1, whole.value, whole.precision}, std::nullopt);
      Relation r;
      if (!c.tooMany && enough(c.holds, c.patterned, c.of, whole.value) && describe(m, r, 0, n2 - 1)) {
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
    const auto weigh = [&](std::size_t i, long long score) {
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
    };
    if (plain) {
      const std::size_t shared = std::min(n2, in.reference.rows);
      // A block of rows that all differ, weighed from a positive run, only
      // lengthens it, its last row the run's best end if any is; a block of
      // rows that are all the same, weighed from a run that is not
      // positive, leaves a run of its last row alone. Other blocks go a row
      // at a time.
      constexpr std::size_t kBlock = 16;
      std::size_t i = 0;
      for (; i + kBlock <= shared; i += kBlock) {
        unsigned same = 0;
        for (std::size_t k = i; k < i + kBlock; ++k) same += static_cast<unsigned>(y[k] == x[k]);
        if (same == 0 && current > 0) {
          current += static_cast<long long>(kBlock);
          if (current > best) {
            best = current;
            bestFirst = start;
            bestLast = i + kBlock - 1;
          }
        } else if (same == kBlock && current <= 0) {
          current = -9;
          start = i + kBlock - 1;
        } else {
          for (std::size_t k = i; k < i + kBlock; ++k) weigh(k, y[k] == x[k] ? -9 : 1);
        }
      }
      for (; i < shared; ++i) weigh(i, y[i] == x[i] ? -9 : 1);
      for (; i < n2; ++i) weigh(i, 0);
    }
    for (std::size_t i = 0; i < n2 && !plain; ++i) {
      long long score = 0;
      if (const long long j = mappedRow(m, i, in.reference.rows); j >= 0) {
        const auto ju = static_cast<std::size_t>(j);
        const double predicted = base.value.extras == 0 ? mappedValue(base.value, x[ju])
                                                        : mappedValue(base.value, in.reference, ju, i);
        // Equal values follow whatever the relation; others are weighed.
        score = y[i] == predicted && base.precision.kind == PrecisionKind::None ? -9
                : follows(y[i], predicted, base.value, base.precision, true) ? -9
                                                                            : 1;
      }
      weigh(i, score);
    }
    const std::size_t rows = bestLast - bestFirst + 1;
    if (best <= 0 || rows < kMinimumRows ||
        (rows < kPieceRows && static_cast<double>(rows) < kPieceShare * static_cast<double>(n2)) || rows == n2) {
      return false;
    }
    const Fit inside = fit(sampleOf(in, m, bestFirst, bestLast, 1, 0));
    if (inside.size == 0 || static_cast<double>(inside.count) < kHoldShare * static_cast<double>(inside.size)) return false;
    Fit outside;
    outside.size = 0;
    if (bestFirst > 0 || bestLast + 1 < n2) {
      outside = fit(sampleOf(in, m, 0, n2 - 1, bestFirst, bestLast));
      if (outside.size >= kMinimumRows && static_cast<double>(outside.count) < kHoldShare * static_cast<double>(outside.size)) {
        return false;
      }
    }
    const Confirmed c = check(m, {bestFirst, bestLast, inside.value, inside.precision},
                              Part{0, n2 - 1, outside.value, outside.precision});
    Relation r;
    if (c.tooMany || !enough(c.holds, c.patterned, c.of, inside.value) || (c.ofElsewhere > 0 && static_cast<double>(c.holdsElsewhere) <
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

double transformed(Transform t, double x) {
  switch (t) {
    case Transform::None: return x;
    case Transform::Log10: return x > 0 ? std::log10(x) : std::nan("");
    case Transform::Ln: return x > 0 ? std::log(x) : std::nan("");
    case Transform::Exp: return std::exp(x);
    case Transform::PowerOfTen: return std::pow(10.0, x);
    case Transform::Square: return x * x;
    case Transform::SquareRoot: return x >= 0 ? std::sqrt(x) : std::nan("");
    case Transform::Reciprocal: return x != 0 ? 1 / x : std::nan("");
  }
  return x;
}

double mappedValue(const ValueMap& map, double x) {
  if (map.transform != Transform::None) x = transformed(map.transform, x);
  if (map.factor == 1 && map.offset == 0) return x;
  return map.factor * x + map.offset;
}

double mappedValue(const ValueMap& map, const RelationTable& reference, std::size_t j, std::size_t i) {
  double v = transformed(map.transform, reference.column[map.column - 1][j]);
  if (map.factor != 1) v *= map.factor;
  for (int k = 0; k < map.extras; ++k) {
    const Term& t = map.extra[k];
    double f = 0;
    switch (t.kind) {
      case FeatureKind::Column: f = reference.column[t.column - 1][j]; break;
      case FeatureKind::NextRow: f = j + 1 < reference.rows ? reference.column[t.column - 1][j + 1] : std::nan(""); break;
      case FeatureKind::RowNumber: f = static_cast<double>(i + 1); break;
    }
    v += t.coefficient * f;
  }
  return map.offset == 0 ? v : v + map.offset;
}

double withPrecision(const Precision& precision, double value) { return exactPrecision(precision, value); }

namespace {

// The relations' costs in the numbers that describe them: each fitted
// number, each run past the first and each pattern weighs as much as a
// few rows that do not follow; the exceptions in no pattern count one each.
std::size_t descriptionLength(const Relation& r) {
  std::size_t numbers = 0;
  const ValueMap& v = r.value;
  if (v.column != 2) numbers += 1;
  if (v.factor != 1) numbers += 1;
  if (v.offset != 0) numbers += 1;
  if (v.transform != Transform::None) numbers += 1;
  numbers += static_cast<std::size_t>(v.extras);
  if (r.precision.kind != PrecisionKind::None) numbers += 1;
  if (r.piece) numbers += 4;
  numbers += r.runs.size() > 1 ? 2 * (r.runs.size() - 1) : 0;
  numbers += 2 * r.patterns.size();
  std::size_t patterned = 0;
  for (const ExceptionPattern& p : r.patterns) patterned += p.rows;
  return 4 * numbers + (r.exceptions.size() - std::min(patterned, r.exceptions.size()));
}

// Compared column 2's one value, where it has only one on every row of at
// least two and the reference's column 2 has more.
std::optional<double> constantColumn(const RelationInput& in) {
  const double* y = in.compared.column[1];
  const double* x = in.reference.column[1];
  if (in.compared.rows < 2) return std::nullopt;
  for (std::size_t i = 1; i < in.compared.rows; ++i) {
    if (!sameValue(y[i], y[0])) return std::nullopt;
  }
  for (std::size_t j = 1; j < in.reference.rows; ++j) {
    if (!sameValue(x[j], x[0])) return y[0];
  }
  return std::nullopt;
}

// The bits of a relative difference |d| / |x|: never negative, so the order
// of the bits is the order of the values.
std::uint64_t relativeBits(double d, double x) { return std::bit_cast<std::uint64_t>(std::fabs(d / x)); }

double fromBits(std::uint64_t bits) {
  double v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The relative differences are counted by their top bits as the first pass
// over the rows finds them (kTopShift: their exponent and four bits more),
// and each row's top bits are kept (kNoRelative: the row has none, as it
// does not differ by a finite amount from a nonzero reference); the passes
// after it divide again only on the rows whose top bits are the ones looked
// for, counting those that share the bits found so far by their next
// kDigit bits, until the ones left are few enough to be put in order apart.
constexpr unsigned kTopShift = 48;
constexpr unsigned kDigit = 12;
constexpr std::size_t kFewRelatives = std::size_t{1} << 16;
constexpr std::uint16_t kNoRelative = 0xFFFF;  // a nonnegative value's top bits are below 0x8000

// Calls use(bits) with the bits of the relative difference of each row whose
// top bits (`tops`) are `top` or `alsoTop`.
template <class Use>
void forEachRelativeAmong(const double* y, const double* x, const std::vector<std::uint16_t>& tops, std::uint16_t top,
                          std::uint16_t alsoTop, Use&& use) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Most rows are of other top bits: eight rows are asked at once, and only
  // those of the bits looked for are divided.
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(top)), alsoWanted = _mm_set1_epi16(static_cast<short>(alsoTop));
  for (; i + 8 <= tops.size(); i += 8) {
    const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tops.data() + i));
    // Two bits a row.
    auto found = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(eight, wanted), _mm_cmpeq_epi16(eight, alsoWanted))));
    while (found != 0) {
      const std::size_t row = i + static_cast<unsigned>(std::countr_zero(found)) / 2;
      use(relativeBits(y[row] - x[row], x[row]));
      found &= found - 1;
      found &= found - 1;
    }
  }
#endif
  for (; i < tops.size(); ++i) {
    if (tops[i] == top || tops[i] == alsoTop) use(relativeBits(y[i] - x[i], x[i]));
  }
}

// The relative differences of ranks k and k - 1 (from 0, smallest first; k
// at least 1), from `counts`, the count of each value of their top bits
// (reused for the passes after the first), and `tops`, each row's: found
// without a sorted copy of them all (8 MB for a million rows).
std::pair<double, double> relativesOfRanks(const double* y, const double* x, const std::vector<std::uint16_t>& tops,
                                           std::vector<std::uint32_t>& counts, std::size_t k) {
  std::uint64_t prefix = 0;  // the top bits found, those of the values above `shift`
  unsigned above = 64, shift = kTopShift;
  std::size_t held = 0;  // values of the prefix
  // The top bits of rank k, and the largest top bits below them that any
  // row has (`top` where none has): only rows of those two are looked at
  // again.
  std::uint16_t top = kNoRelative, below = kNoRelative;
  for (;;) {
    std::size_t digit = 0;
    while (k >= counts[digit]) k -= counts[digit++];
    if (above == 64) {
      top = static_cast<std::uint16_t>(digit);
      below = top;
      for (std::size_t d = digit; d-- > 0;) {
        if (counts[d] != 0) {
          below = static_cast<std::uint16_t>(d);
          break;
        }
      }
    }
    prefix = (above == 64 ? 0 : prefix << (above - shift)) | digit;
    held = counts[digit];
    if (shift == 0 || held <= kFewRelatives) break;
    above = shift;
    shift = shift > kDigit ? shift - kDigit : 0;
    const std::uint64_t digitMask = (std::uint64_t{1} << (above - shift)) - 1;
    std::fill(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(digitMask + 1), 0);
    forEachRelativeAmong(y, x, tops, top, top, [&](std::uint64_t bits) {
      if ((bits >> above) == prefix) ++counts[(bits >> shift) & digitMask];
    });
  }
  // The values of the prefix, in order apart (unless they are all one), and
  // the largest below them: the value before rank k where it is the first
  // of them.
  std::vector<std::uint64_t> few;
  if (shift > 0) few.reserve(held);
  std::uint64_t largestBelow = 0;
  forEachRelativeAmong(y, x, tops, top, below, [&](std::uint64_t bits) {
    const std::uint64_t topBits = bits >> shift;
    if (topBits < prefix) {
      largestBelow = std::max(largestBelow, bits);
    } else if (topBits == prefix && shift > 0) {
      few.push_back(bits);
    }
  });
  std::uint64_t value = prefix, before = k > 0 ? prefix : largestBelow;
  if (shift > 0) {
    const auto at = few.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(few.begin(), at, few.end());
    value = *at;
    if (k > 0) before = *std::max_element(few.begin(), at);
  }
  return {fromBits(value), fromBits(before)};
}

// What the differences on the rows both files have look like.
std::optional<Unexplained> describeDifferences(const RelationInput& in) {
  const double* y = in.compared.column[1];
  const double* x = in.reference.column[1];
  const std::size_t n = std::min(in.compared.rows, in.reference.rows);
  Unexplained u;
  std::size_t relatives = 0;
  std::vector<std::uint32_t> counts(std::size_t{1} << (64 - kTopShift), 0);
  std::vector<std::uint16_t> tops(n, kNoRelative);
  double sr = 0, sd = 0, srr = 0, sdd = 0, srd = 0;
  // Each row's sign (its difference's sign bit: 1 below the reference)
  // against the last one's; the first row that differs counts one change
  // too many where it is below, taken off after.
  std::size_t rows = 0, negative = 0, changes = 0;
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = y[i] - x[i];
    // Neither zero nor infinite nor NaN: without its sign, its bits are
    // above zero and below those of infinity.
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    if ((bits << 1) - 1 >= (std::bit_cast<std::uint64_t>(HUGE_VAL) << 1) - 1) continue;
    ++rows;
    if (x[i] != 0) {
      ++relatives;
      const auto top = static_cast<std::uint16_t>(relativeBits(d, x[i]) >> kTopShift);
      tops[i] = top;
      ++counts[top];
    }
    const double r = static_cast<double>(i);
    sr += r, sd += d, srr += r * r, sdd += d * d, srd += r * d;
    const std::uint64_t below = bits >> 63;
    negative += below;
    changes += below ^ previous;
    previous = below;
  }
  u.rows = rows;
  u.positive = rows - negative;
  u.negative = negative;
  // The first such row counted a change where it is below the reference
  // (`previous` starts above).
  for (std::size_t i = 0; i < n; ++i) {
    const double d = y[i] - x[i];
    if (d == 0 || !std::isfinite(d)) continue;
    changes -= d < 0 ? 1 : 0;
    break;
  }
  u.signChanges = changes;
  if (u.rows < kMinimumRows) return std::nullopt;
  if (relatives == 1) {
    for (std::size_t i = 0; i < n; ++i) {
      if (tops[i] != kNoRelative) u.medianRelative = fromBits(relativeBits(y[i] - x[i], x[i]));
    }
  } else if (relatives > 1) {
    // The middle value; of an even count, halfway between it and the one
    // before it in order.
    const auto [middle, before] = relativesOfRanks(y, x, tops, counts, relatives / 2);
    u.medianRelative = relatives % 2 == 0 ? (middle + before) / 2 : middle;
  }
  const double m = static_cast<double>(u.rows);
  const double vr = srr - sr * sr / m, vd = sdd - sd * sd / m, c = srd - sr * sd / m;
  u.trend = vr > 0 && vd > 0 ? c / std::sqrt(vr * vd) : 0;
  // More than three times what chance gives.
  u.trends = std::fabs(u.trend) > 3 / std::sqrt(m);
  // The runs of one sign: as many as chance gives, within three deviations.
  const double p = static_cast<double>(u.positive), q = static_cast<double>(u.negative);
  if (p > 0 && q > 0 && m > 2) {
    const double expected = 2 * p * q / m + 1;
    const double variance = 2 * p * q * (2 * p * q - m) / (m * m * (m - 1));
    const double runs = static_cast<double>(u.signChanges) + 1;
    // As many of each sign as chance gives, too.
    u.signsRandom = variance > 0 && std::fabs(runs - expected) <= 3 * std::sqrt(variance) && std::fabs(p - q) <= 3 * std::sqrt(m);
  }
  return u;
}

}  // namespace

RelationSearch searchRelations(const RelationInput& in) {
  RelationSearch out;
  if (!std::isfinite(in.total) || !(in.total > 0) || in.compared.rows == 0 || in.reference.rows == 0) return out;
  if (const std::optional<double> value = constantColumn(in)) {
    out.constant = true;
    out.constantValue = *value;
    return out;
  }
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
  // The best first: the shortest description, then the smallest residual.
  std::stable_sort(search.found.begin(), search.found.end(), [](const Relation& a, const Relation& b) {
    const std::size_t da = descriptionLength(a), db = descriptionLength(b);
    if (da != db) return da < db;
    if (a.residual != b.residual) return a.residual < b.residual;
    const int ca = complexity(a.value, a.precision), cb = complexity(b.value, b.precision);
    if (ca != cb) return ca < cb;
    if (a.runs.size() != b.runs.size()) return a.runs.size() < b.runs.size();
    return a.holds > b.holds;
  });
  if (search.found.size() > 1) search.found.resize(1);
  out.relations = std::move(search.found);
  out.candidates = search.candidates;
  out.confirmedRows = search.confirmedRows;
  if (out.relations.empty()) out.unexplained = describeDifferences(in);
  return out;
}

std::vector<Relation> findRelations(const RelationInput& in) { return searchRelations(in).relations; }

std::vector<double> residualSquares(const Relation& relation, std::size_t comparedRows) {
  std::vector<double> squares(comparedRows, 0.0);
  for (const RelationException& e : relation.exceptions) {
    if (e.row < comparedRows && !e.patterned) squares[e.row] = e.square;
  }
  return squares;
}

}  // namespace velmora::explain
