// What explains the total: a relation between the compared file's column 2
// and the reference, found by a bounded search over a small grammar and
// confirmed on every row.
//
// A relation is a row map, then a value map, then a written precision, with
// exceptions; each part may be absent:
//   - a row map: which reference row each compared row corresponds to, as
//     runs of consecutive compared rows (rows missing or extra, a shift from
//     some row on, a regular step, the reverse order), or the reference
//     sorted by one of its columns;
//   - a value map: an affine combination of at most three features plus a
//     constant, the features taken from the paired reference row (a column,
//     through a monotone transform; the next reference row's column, for a
//     window of two rows) and from the row's place (the row number);
//   - a precision: the mapped value as the compared file writes it (to d
//     decimals or s significant digits, rounded or cut), or as single
//     precision holds it. A row follows when the mapped value lies within
//     half a unit of the compared value's last written place (a unit below
//     it, cut), so a map and a rounding hold together;
//   - exceptions: the rows that do not follow; those that share one value
//     (a placeholder), fall on a period, form a run or follow a trend are
//     patterns, part of the explanation.
// A piece is a relation that holds on one run of rows only, the rows
// elsewhere following another relation (most often the same rows as they are).
//
// How it is searched, so that a million rows cost a few passes:
//   - row maps by hashing: each compared row is looked up among the reference
//     rows by the columns that identify it (columns 1 and 3, or all three, or
//     column 2), taking the next reference row first, so runs cost no lookup;
//   - value maps and precisions by consensus on a sample: candidates are
//     fitted on minimal sets of sampled rows (a few rows that differ do not
//     spoil a fit of others), refined by least squares on the rows they
//     leave close and written with the fewest digits that keep them;
//   - the best candidate is then confirmed on every row, and of those that
//     hold the one with the shortest description wins (each fitted number,
//     run and pattern weighs as much as four exceptions), so a row map with
//     no number fitted beats a value map that fits by chance.
// A relation is claimed only where it holds on at least 90% of the rows it
// covers (patterned exceptions counted with them), on at least 5 rows,
// where a piece has at least 10 rows or 10% of the table, and where the row
// map accounts for half the compared rows or more, however much of the
// total its exceptions carry. The same rows with the same values are none.
//
// Rows count from 0 here; the report counts them from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace velmora::explain {

// One table's columns as read (file units), and its row count.
struct RelationTable {
  const double* column[3];
  std::size_t rows;
};

// How a compared row's column 2 is written (its decimals and significant
// digits, as the reader scanned it), where its record is at hand; -1: not
// known.
struct WrittenDigits {
  int decimals = -1;
  int significant = -1;
};
using WrittenDigitsOf = std::function<WrittenDigits(std::size_t comparedRow)>;

struct RelationInput {
  RelationTable reference, compared;
  double total;  // the total, as summed
  // Asked for the sampled rows only; may be empty.
  WrittenDigitsOf written;
};

// Compared rows first..last correspond to reference rows
// referenceFirst, referenceFirst + step, ...
struct RelationRun {
  std::size_t comparedFirst, comparedLast, referenceFirst;
  long long step;
};

enum class RowMapKind { Same, Runs, SortedBy };

// A value map's terms are features of the paired reference row and of the
// row's place: a reference column, through a monotone transform; the same
// column of the next reference row (a window of two neighbouring rows, as a
// table sampled half a step later has); the row number (from 1).
enum class Transform { None, Log10, Ln, Exp, PowerOfTen, Square, SquareRoot, Reciprocal };
enum class FeatureKind { Column, NextRow, RowNumber };

struct Term {
  FeatureKind kind = FeatureKind::Column;
  int column = 2;  // 1, 2 or 3 (not for the row number)
  double coefficient = 0;
};

// compared column 2 = factor x transform(reference column c) + the extra
// terms + offset.
struct ValueMap {
  int column = 2;     // 1, 2 or 3
  double factor = 1;
  double offset = 0;
  Transform transform = Transform::None;
  int extras = 0;     // at most 2
  Term extra[2];
  bool identity() const {
    return column == 2 && factor == 1 && offset == 0 && transform == Transform::None && extras == 0;
  }
  // A map that gives one value whatever the row: no relation.
  bool constant() const {
    if (factor != 0) return false;
    for (int k = 0; k < extras; ++k) {
      if (extra[k].coefficient != 0) return false;
    }
    return true;
  }
};

// Binary32: the value as single precision holds it.
enum class PrecisionKind { None, Decimals, SignificantDigits, Binary32 };

struct Precision {
  PrecisionKind kind = PrecisionKind::None;
  int digits = 0;
  bool cut = false;   // cut (towards zero) rather than rounded
};

// Exceptions with a structure of their own: they share one compared value
// (a placeholder), fall on a regular period, form one run of rows, or their
// differences grow with the row (a trend).
enum class PatternKind { SharedValue, Period, Run, Trend };

struct ExceptionPattern {
  PatternKind kind;
  std::size_t rows = 0;           // exceptions it accounts for
  std::size_t first = 0, last = 0;  // compared rows, from 0
  std::size_t period = 0;         // Period: the step between its rows
  bool shared = false;            // Period or Run: they also share `value`
  double value = 0;               // SharedValue (or shared): the value written
  double perRow = 0;              // Trend: the difference's growth per row
};

// A compared row that does not follow the relation: a genuine difference.
struct RelationException {
  std::size_t row;             // compared row
  std::size_t referenceRow;    // the reference row it corresponds to
  double expected;             // what the relation gives, file units
  double square;               // its part of the residual, scaled as the total
  bool patterned = false;      // in one of the relation's patterns
};

struct Relation {
  RowMapKind rowMap = RowMapKind::Same;
  std::vector<RelationRun> runs;   // RowMapKind::Runs
  int sortColumn = 0;              // RowMapKind::SortedBy
  bool descending = false;
  ValueMap value;
  Precision precision;
  // A piece: the rows [pieceFirst, pieceLast] follow the relation above,
  // the others `elsewhere` (on the same row map).
  bool piece = false;
  std::size_t pieceFirst = 0, pieceLast = 0;
  ValueMap elsewhere;
  Precision elsewherePrecision;
  // A piece on a row map that is not the same rows: the runs of every row
  // (the piece's own are in `runs`).
  std::vector<RelationRun> allRuns;
  std::size_t holds = 0, of = 0;   // rows that follow it, of the rows it covers
  double residual = 0;             // the total if the compared file followed it exactly
  std::size_t exact = 0;           // rows that follow it with the very value it maps
  // Largest square first, NaN first; ties by row.
  std::vector<RelationException> exceptions;
  // The exceptions that form a pattern (each row in one at most).
  std::vector<ExceptionPattern> patterns;
};

// Where no relation holds: what the differences look like, on the rows both
// files have.
struct Unexplained {
  std::size_t rows = 0;             // rows that differ, of those both have
  double medianRelative = 0;        // median |compared - reference| / |reference|
  double trend = 0;                 // correlation of the signed difference with the row
  bool trends = false;              // that correlation is more than chance gives
  std::size_t positive = 0, negative = 0;
  std::size_t signChanges = 0;      // between consecutive differing rows
  bool signsRandom = false;         // as many changes as chance gives
};

// The search's result: the relations, or why there is none.
struct RelationSearch {
  std::vector<Relation> relations;
  // Compared column 2 is one value on every row the search covered, where
  // the reference's is not: a map with a factor of zero, no relation.
  bool constant = false;
  double constantValue = 0;
  std::optional<Unexplained> unexplained;
  // The search's cost: candidate maps tried on samples, rows confirmed.
  std::size_t candidates = 0, confirmedRows = 0;
};

// The relations that explain the total, best first (the shortest
// description); none for a zero or non-finite total, nor where the compared
// column 2 is one value.
std::vector<Relation> findRelations(const RelationInput& input);
RelationSearch searchRelations(const RelationInput& input);

// Every compared row's part of a relation's residual (0 where it follows),
// for the picture.
std::vector<double> residualSquares(const Relation& relation, std::size_t comparedRows);

// The prediction of a value map and a precision for a reference value.
double mappedValue(const ValueMap& map, double x);
// The same for compared row i (from 0) paired with reference row j.
double mappedValue(const ValueMap& map, const RelationTable& reference, std::size_t j, std::size_t i);
double transformed(Transform t, double x);
double withPrecision(const Precision& precision, double value);

}  // namespace velmora::explain
