// The relation findings (what explains the total, in one sentence each) and
// the record-bytes findings (records read other than their writer surely
// meant, their bytes named).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "explain/findings.h"
#include "explain/facts.h"
#include "recordlook.h"
#include "companion/companion.h"

namespace velmora::explain {

using namespace velmora::companion;

namespace {

// Exceptions named in a sentence, and listed with their records.
constexpr std::size_t kNamedExceptions = 5;
constexpr std::size_t kListedExceptions = 10;
// The first compared rows a constant column's finding looks at.
constexpr std::size_t kConstantRowsLooked = 5;
// Records a record-bytes finding lists by line before it only counts.
constexpr std::size_t kNamedRecords = 5;

std::string quotedName(const std::string& name) { return "'" + escaped(name, Escape::Display) + "'"; }

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}


std::string range(const char* one, const char* many, std::size_t first, std::size_t last) {
  return first == last ? std::string(one) + " " + std::to_string(first)
                       : std::string(many) + " " + std::to_string(first) + "-" + std::to_string(last);
}

// Bytes the eye does not see, named: shown escaped wherever a record is shown.
struct Invisible {
  const char* bytes;
  const char* shown;
  const char* name;
};
constexpr Invisible kInvisible[] = {
    {"\xEF\xBB\xBF", "\\xef\\xbb\\xbf", "a byte-order mark"},
    {"\xC2\xA0", "\\xc2\\xa0", "a non-breaking space"},
    {"\xE2\x80\x8B", "\\xe2\\x80\\x8b", "a zero-width space"},
    {"\xC2\xAD", "\\xc2\\xad", "a soft hyphen"},
};

const char* controlName(unsigned char c) {
  switch (c) {
    case 0x00: return "a NUL byte";
    case 0x07: return "a bell";
    case 0x08: return "a backspace";
    case 0x0B: return "a vertical tab";
    case 0x0C: return "a form feed";
    case 0x0D: return "a carriage return";
    case 0x1A: return "an end-of-file mark (Ctrl-Z)";
    case 0x1B: return "an escape";
    case 0x7F: return "a delete";
    default: return "a control character";
  }
}

// A record as the report shows it, with the invisible characters that are
// valid UTF-8 escaped too.
std::string shownPlainly(const std::string& record) {
  std::string shown = shownRecord(record);
  for (const Invisible& inv : kInvisible) {
    for (std::size_t at = shown.find(inv.bytes); at != std::string::npos; at = shown.find(inv.bytes, at)) {
      shown.replace(at, std::strlen(inv.bytes), inv.shown);
      at += std::strlen(inv.shown);
    }
  }
  return shown;
}

std::string valuesOf(const double (&v)[3]) {
  return shortestText(v[0]) + ", " + shortestText(v[1]) + ", " + shortestText(v[2]);
}

// ---------------------------------------------------------------------------
// What a relation says.

// A fitted number as a person writes it: its shortest form, or ten
// significant digits where that is longer.
std::string numberText(double v) {
  const double a = std::fabs(v);
  char text[64];
  if (a >= 1e-6 && a < 1e15) {
    // Fixed notation, as few digits as give the value back.
    const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed).ptr;
    const std::string fixedText(text, end);
    if (fixedText.size() <= 14) return fixedText;
  }
  const std::string shortest = shortestText(v);
  if (shortest.size() <= 12) return shortest;
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

// "x <name>", "<name>", "-<name>": a term with its coefficient.
std::string scaled(double factor, const std::string& name) {
  if (factor == 1) return name;
  return numberText(factor) + " x " + name;
}

std::string signedTerm(double coefficient, const std::string& name) {
  if (coefficient < 0) return " - " + scaled(-coefficient, name);
  return " + " + scaled(coefficient, name);
}

std::string transformText(Transform t, const std::string& of) {
  switch (t) {
    case Transform::None: return of;
    case Transform::Log10: return "log10 of " + of;
    case Transform::Ln: return "ln of " + of;
    case Transform::Exp: return "exp of " + of;
    case Transform::PowerOfTen: return "10 to the power of " + of;
    case Transform::Square: return "the square of " + of;
    case Transform::SquareRoot: return "the square root of " + of;
    case Transform::Reciprocal: return "1 over " + of;
  }
  return of;
}

std::string valueText(const ValueMap& v, const Precision& p) {
  const std::string column = v.column == 2 ? "the reference's" : "the reference's column " + std::to_string(v.column);
  std::string text;
  // A window of two neighbouring reference rows, one column.
  const bool window = v.extras == 1 && v.extra[0].kind == FeatureKind::NextRow && v.extra[0].column == v.column &&
                      v.transform == Transform::None;
  const std::string rows = v.column == 2 ? "" : " (column " + std::to_string(v.column) + ")";
  if (window && v.factor == 0.5 && v.extra[0].coefficient == 0.5) {
    text = "the mean of reference rows i and i+1" + rows;
  } else if (window) {
    text = scaled(v.factor, "reference row i") + signedTerm(v.extra[0].coefficient, "reference row i+1") + rows;
  } else {
    text = scaled(v.factor, transformText(v.transform, column));
    for (int k = 0; k < v.extras; ++k) {
      const Term& t = v.extra[k];
      if (t.kind == FeatureKind::RowNumber) {
        text += (t.coefficient < 0 ? " minus " : " plus ") + numberText(std::fabs(t.coefficient)) + " per row";
      } else if (t.kind == FeatureKind::NextRow) {
        text += signedTerm(t.coefficient, "the next reference row's column " + std::to_string(t.column));
      } else {
        text += signedTerm(t.coefficient, t.column == 2 ? "the reference's" : "the reference's column " + std::to_string(t.column));
      }
    }
  }
  if (v.offset > 0) text += " + " + numberText(v.offset);
  if (v.offset < 0) text += " - " + numberText(-v.offset);
  if (p.kind == PrecisionKind::Decimals) {
    text += std::string(p.cut ? " cut" : " rounded") + " to " + plural(static_cast<std::size_t>(p.digits), "decimal", "decimals");
  } else if (p.kind == PrecisionKind::SignificantDigits) {
    text += std::string(p.cut ? " cut" : " rounded") + " to " +
            plural(static_cast<std::size_t>(p.digits), "significant digit", "significant digits");
  } else if (p.kind == PrecisionKind::Binary32) {
    text += " as single precision holds it";
  }
  return text;
}

// "second", "third", ... "21st": the n-th of a step.
std::string nth(std::size_t n);

const char* ordinal(long long step) {
  switch (step) {
    case 2: return "second";
    case 3: return "third";
    case 4: return "fourth";
    case 5: return "fifth";
    default: return nullptr;
  }
}

std::string nth(std::size_t n) {
  if (const char* word = ordinal(static_cast<long long>(n))) return word;
  const std::size_t tens = n % 100, units = n % 10;
  const char* suffix = tens >= 11 && tens <= 13 ? "th" : units == 1 ? "st" : units == 2 ? "nd" : units == 3 ? "rd" : "th";
  return std::to_string(n) + suffix;
}

class RelationText {
 public:
  RelationText(const Explanation& facts, const Relation& r) : facts_(facts), r_(r) {}

  long long line(int f, std::size_t row) const {  // row from 0
    const LoadRecord& rec = facts_.files[f].record;
    return row < rec.rows ? rec.firstLine(row) : 0;
  }
  std::string lines(int f, std::size_t first, std::size_t last) const {
    return first == last ? "line " + std::to_string(line(f, first))
                         : "lines " + std::to_string(line(f, first)) + "-" + std::to_string(line(f, last));
  }
  std::string extra(std::size_t first, std::size_t last) const {  // compared rows, from 0
    const std::size_t n = last - first + 1;
    return "the compared file has " + (n == 1 ? std::string("1 extra row at ") : std::to_string(n) + " extra rows at ") +
           lines(1, first, last) + " (" + range("row", "rows", first + 1, last + 1) + ")";
  }
  std::string missing(std::size_t first, std::size_t last) const {  // reference rows, from 0
    return "the compared file lacks the reference's " + range("row", "rows", first + 1, last + 1) + " (" +
           lines(0, first, last) + ")";
  }

  // Where the rows go, or "" for the same rows.
  std::string rowText() {
    const std::size_t n1 = facts_.files[0].record.rows;
    const std::size_t n2 = facts_.files[1].record.rows;
    if (r_.rowMap == RowMapKind::SortedBy) {
      return ", its rows in the order of the reference's sorted by column " + std::to_string(r_.sortColumn) +
             (r_.descending ? ", descending" : ", ascending");
    }
    if (r_.rowMap == RowMapKind::Same) return "";
    // A piece on a row map of its own says it after the rows elsewhere.
    if (r_.piece && !r_.allRuns.empty()) return "";
    return runsText(r_.runs, r_.piece, r_.piece ? r_.pieceFirst : 0, r_.piece ? r_.pieceLast : n2 - 1, n1, n2);
  }

  // Where the rows of `runs` go: the compared rows from..to (all of them,
  // unless `piece`).
  std::string runsText(const std::vector<RelationRun>& runs, bool piece, std::size_t from, std::size_t to,
                       std::size_t n1, std::size_t n2) const {
    bool forward = true;
    for (std::size_t k = 0; k < runs.size(); ++k) {
      forward = forward && runs[k].step == 1 &&
                (k == 0 || runs[k].referenceFirst > runs[k - 1].referenceFirst + (runs[k - 1].comparedLast - runs[k - 1].comparedFirst));
    }
    if (runs.size() == 1 && runs[0].step != 1) {
      const RelationRun& run = runs[0];
      if (run.step == -1) return ", in reverse order (compared row " + std::to_string(run.comparedFirst + 1) +
                                 " is reference row " + std::to_string(run.referenceFirst + 1) + ")";
      return ", taking every " + nth(static_cast<std::size_t>(std::llabs(run.step))) + (run.step < 0 ? " backwards," : "") +
             " reference row from row " + std::to_string(run.referenceFirst + 1);
    }
    if (!forward) {
      std::string text = ", with ";
      for (std::size_t k = 0; k < runs.size() && k < 5; ++k) {
        const RelationRun& run = runs[k];
        const auto lastRef = static_cast<long long>(run.referenceFirst) +
                             run.step * static_cast<long long>(run.comparedLast - run.comparedFirst);
        text += (k > 0 ? "; " : "") + range("compared row", "compared rows", run.comparedFirst + 1, run.comparedLast + 1) +
                (run.comparedFirst == run.comparedLast ? " matching reference row " : " matching reference rows ") +
                std::to_string(run.referenceFirst + 1) +
                (run.comparedFirst == run.comparedLast ? "" : " to " + std::to_string(lastRef + 1));
      }
      if (runs.size() > 5) text += "; and " + plural(runs.size() - 5, "run", "runs") + " more";
      return text;
    }
    // Forward runs: the rows each gap leaves out, on either side.
    std::vector<std::string> gaps;
    std::size_t nextCompared = from, nextReference = piece ? runs[0].referenceFirst : 0;
    std::size_t shiftFrom = 0;
    long long shift = 0;
    for (const RelationRun& run : runs) {
      if (run.comparedFirst > nextCompared) gaps.push_back(extra(nextCompared, run.comparedFirst - 1));
      if (run.referenceFirst > nextReference) gaps.push_back(missing(nextReference, run.referenceFirst - 1));
      shift = static_cast<long long>(run.referenceFirst) - static_cast<long long>(run.comparedFirst);
      shiftFrom = run.comparedFirst;
      nextCompared = run.comparedLast + 1;
      nextReference = run.referenceFirst + (run.comparedLast - run.comparedFirst) + 1;
    }
    if (to + 1 > nextCompared) gaps.push_back(extra(nextCompared, to));
    if (!piece && n1 > nextReference && nextCompared >= n2) gaps.push_back(missing(nextReference, n1 - 1));
    std::string text;
    for (std::size_t k = 0; k < gaps.size(); ++k) text += (k == 0 ? ", out of step: " : "; ") + gaps[k];
    if (runs.size() >= 1 && shift != 0) {
      text += std::string(gaps.empty() ? ", " : "; ") + "from row " + std::to_string(shiftFrom + 1) +
              " on, compared row i matches reference row i " + (shift > 0 ? "+ " : "- ") + std::to_string(std::llabs(shift));
    }
    return text;
  }

  // A compared row (from 0) by its number, line and column-1 value.
  std::string rowName(std::size_t row) const {
    const LoadRecord& b = facts_.files[1].record;
    std::string text = std::to_string(row + 1) + " (line " + std::to_string(line(1, row));
    if (row < b.rows) text += ", column 1 = " + shortestText(b.column1[row]);
    return text + ")";
  }

  std::string exceptionsText() const {
    std::vector<const RelationException*> e;
    for (const RelationException& x : r_.exceptions) {
      if (!x.patterned) e.push_back(&x);
    }
    const std::string beyond = r_.patterns.empty() ? " beyond it" : " beyond them";
    if (e.empty()) return "no row differs" + beyond;
    std::string text = e.size() == 1 ? "row " : "rows ";
    const std::size_t named = std::min(e.size(), kNamedExceptions);
    for (std::size_t k = 0; k < named; ++k) {
      if (k > 0) text += k + 1 == named && e.size() == named ? " and " : ", ";
      text += rowName(e[k]->row);
    }
    if (e.size() > named) text += " and " + std::to_string(e.size() - named) + " more";
    return text + (e.size() == 1 ? " differs" : " differ") + beyond;
  }

  // The exceptions' patterns, each in a few words.
  std::string patternsText() const {
    std::string text;
    for (const ExceptionPattern& p : r_.patterns) {
      std::string rows;
      if (p.kind == PatternKind::Period || (p.kind == PatternKind::SharedValue && p.shared && p.period > 1)) {
        rows = "every " + nth(p.period) + " row from row " +
               std::to_string(p.first + 1) + (p.last + 1 < facts_.files[1].record.rows ? " to row " + std::to_string(p.last + 1) : "");
      } else {
        rows = p.first == p.last ? "row " + std::to_string(p.first + 1)
                                 : plural(p.rows, "row", "rows") + " from row " + std::to_string(p.first + 1) + " to row " +
                                       std::to_string(p.last + 1);
      }
      text += "; ";
      switch (p.kind) {
        case PatternKind::SharedValue:
          text += shortestText(p.value) + " on " + rows + ", a placeholder";
          break;
        case PatternKind::Period:
          text += rows + " differs from it";
          break;
        case PatternKind::Run:
          text += "the " + rows + " differ from it, one run";
          break;
        case PatternKind::Trend:
          text += "on the " + rows + " the difference grows by " + numberText(p.perRow) + " per row";
          break;
      }
    }
    return text;
  }

  // The file whose header took its first rows, with their count, when the
  // tables are out of step from row 1 on and that header passed over
  // records like rows.
  std::optional<std::pair<int, std::size_t>> headerShort() const {
    if (r_.rowMap != RowMapKind::Runs || r_.piece || r_.runs.size() != 1 || r_.runs[0].step != 1) return std::nullopt;
    const RelationRun& run = r_.runs[0];
    const int late = run.referenceFirst > 0 ? 1 : 0;
    const std::size_t k = late == 1 ? run.referenceFirst : run.comparedFirst;
    if (k == 0 || (late == 1 && run.comparedFirst != 0) || (late == 0 && run.referenceFirst != 0)) return std::nullopt;
    const FileFacts& file = facts_.files[late];
    if (file.suspectCount < k || file.suspectLines.empty()) return std::nullopt;
    return std::pair(late, k);
  }

  std::string sentence() {
    std::string text;
    const std::size_t n2 = facts_.files[1].record.rows;
    const auto shortHeader = headerShort();
    if (shortHeader) {
      const auto [late, k] = *shortHeader;
      const long long lastTaken = facts_.files[late].suspectLines.back();
      text = std::string("the ") + (late == 0 ? "reference's" : "compared file's") + " header is " +
             (k == 1 ? "one record" : std::to_string(k) + " records") + " short: its first " +
             (k == 1 ? "row (line " + std::to_string(lastTaken) + ") was" : "rows (up to line " + std::to_string(lastTaken) + ") were") +
             " read as " + (k == 1 ? "a header record" : "header records") + ", so the tables are out of step by " +
             plural(k, "row", "rows") + " from row 1 on (compared row i matches reference row i " + (late == 0 ? "- " : "+ ") +
             std::to_string(k) + "): ";
    }
    if (r_.piece) {
      if (r_.pieceFirst == 0) {
        text += "up to row " + std::to_string(r_.pieceLast + 1) + ", ";
      } else if (r_.pieceLast + 1 >= n2) {
        text += "from row " + std::to_string(r_.pieceFirst + 1) + " on, ";
      } else {
        text += "from row " + std::to_string(r_.pieceFirst + 1) + " to row " + std::to_string(r_.pieceLast + 1) + ", ";
      }
    }
    text += "compared column 2 is " + valueText(r_.value, r_.precision) + " on " + std::to_string(r_.holds) + " of " +
            std::to_string(r_.of) + " rows" + (shortHeader ? std::string() : rowText());
    if (r_.piece) {
      text += ", and " + valueText(r_.elsewhere, r_.elsewherePrecision) + " elsewhere";
      if (!r_.allRuns.empty()) {
        text += runsText(r_.allRuns, false, 0, n2 - 1, facts_.files[0].record.rows, n2);
      }
    }
    text += patternsText() + "; following it, the total would be " + roughTotal(r_.residual) + " instead of " +
            roughTotal(facts_.total) + ": " + exceptionsText();
    if (shortHeader) {
      text += "; give " + quotedName(facts_.files[shortHeader->first].name) +
              (shortHeader->second == 1 ? " the header record it lacks" : " the header records it lacks");
    }
    return text;
  }

  // The first compared row (from 0) whose reference row is not its own.
  std::optional<std::size_t> firstMoved() const {
    if (r_.piece) return r_.pieceFirst;
    if (r_.rowMap == RowMapKind::SortedBy) return 0;
    if (r_.rowMap == RowMapKind::Same) return std::nullopt;
    std::size_t next = 0;
    for (const RelationRun& run : r_.runs) {
      if (run.comparedFirst > next) return next;
      if (run.referenceFirst != run.comparedFirst || run.step != 1) return run.comparedFirst;
      next = run.comparedLast + 1;
    }
    return next < facts_.files[1].record.rows ? std::optional(next) : std::nullopt;
  }

  FindingRole role() const {
    const auto shortHeader = headerShort();
    if (shortHeader) return shortHeader->first == 0 ? FindingRole::Reference : FindingRole::Compared;
    if (r_.value.column != 2 && r_.rowMap == RowMapKind::Same) return FindingRole::Compared;
    if (r_.rowMap == RowMapKind::Runs && r_.value.identity() && !r_.piece) {
      // The file with the rows the other lacks, at the first gap.
      const std::string text = const_cast<RelationText*>(this)->rowText();
      const std::size_t extras = text.find("extra row"), lacks = text.find("lacks");
      if (extras < lacks) return FindingRole::Compared;
      if (lacks < extras) return FindingRole::Reference;
    }
    return FindingRole::Pair;
  }

 private:
  const Explanation& facts_;
  const Relation& r_;
};

// The listed exceptions with their records as written.
std::vector<ExceptionRow> exceptionRows(const Explanation& facts, const Relation& r) {
  std::vector<ExceptionRow> rows;
  const LoadRecord& a = facts.files[0].record;
  const LoadRecord& b = facts.files[1].record;
  for (std::size_t k = 0; k < r.exceptions.size() && k < kListedExceptions; ++k) {
    const RelationException& e = r.exceptions[k];
    ExceptionRow row;
    row.row = e.row + 1;
    row.referenceRow = e.referenceRow + 1;
    row.comparedLine = b.firstLine(e.row);
    row.comparedLastLine = b.lastLine(e.row);
    row.referenceLine = a.firstLine(e.referenceRow);
    row.referenceLastLine = a.lastLine(e.referenceRow);
    const double* bc[3] = {b.column1, b.column2InFileUnits, b.column3};
    const double* ac[3] = {a.column1, a.column2InFileUnits, a.column3};
    for (int c = 0; c < 3; ++c) {
      row.comparedValues[c] = bc[c][e.row];
      row.referenceValues[c] = ac[c][e.referenceRow];
    }
    row.expected = e.expected;
    row.square = e.square;
    row.referenceRecord = rowRecord(facts, 0, e.referenceRow);
    row.comparedRecord = rowRecord(facts, 1, e.row);
    rows.push_back(row);
  }
  return rows;
}

// ---------------------------------------------------------------------------
// Record-level causes.

enum class Cause { SignExponent, Slash, SeparatorInNumber, Invisible };
constexpr std::uint8_t kCauseBits[kRecordCauses] = {kCauseSignExponent, kCauseSlash, kCauseSeparator,
                                                     kCauseInvisible};

// The record's values as the reader splits them, and where a slash ends it.
struct ValuesOf {
  std::vector<WrittenValue> values;
  std::size_t slash = std::string_view::npos;
  explicit ValuesOf(std::string_view record) {
    const WrittenRecord counted = describeValues(record, {});
    values.resize(counted.values);
    slash = describeValues(record, values).slash;
  }
};

// A value written as digits, then a sign and digits with no letter between:
// the sign starts an exponent (1.5+3 is 1.5e+3).
const WrittenValue* signExponent(const ValuesOf& split) {
  for (const WrittenValue& v : split.values) {
    if (v.kind == WrittenKind::Number && v.exponent == ExponentForm::SignAlone) return &v;
  }
  return nullptr;
}

// A number ended by a comma or semicolon right before another that opens
// with a digit: "1,234" read as 1 and 234.
std::optional<std::size_t> separatorInNumber(const ValuesOf& split) {
  for (std::size_t k = 0; k + 1 < split.values.size(); ++k) {
    const WrittenValue& v = split.values[k];
    const WrittenValue& next = split.values[k + 1];
    const bool endsInDigit = v.kind == WrittenKind::Number && !v.word && v.exponent == ExponentForm::None &&
                             v.repeat == 1 && (v.point ? v.fractionDigits > 0 : v.integerDigits > 0);
    const bool opensWithDigit = next.kind == WrittenKind::Number && next.repeat == 1 && !next.sign &&
                                next.integerDigits > 0;
    if (endsInDigit && opensWithDigit && v.endedBy == WrittenEnd::Separator && next.start == v.end + 1) return k;
  }
  return std::nullopt;
}

// An invisible byte or character at `at`: its length (0: none) and, through
// `each`, its shown bytes and name. What the reader reads as a blank (a tab,
// a carriage return) is spacing between values, as a space is; a line feed
// joins the records of a row shown together.
template <class Each>
std::size_t invisibleAt(std::string_view record, std::size_t at, Each&& each) {
  for (const Invisible& inv : kInvisible) {
    const std::size_t len = std::strlen(inv.bytes);
    if (record.compare(at, len, inv.bytes) == 0) {
      each(std::string_view(inv.shown), inv.name);
      return len;
    }
  }
  const auto c = static_cast<unsigned char>(record[at]);
  if (c == '\n' || isBlankByte(c) || (c >= 0x20 && c != 0x7F)) return 0;
  char shown[8];
  std::snprintf(shown, sizeof shown, "\\x%02x", c);
  each(std::string_view(shown), controlName(c));
  return 1;
}

// What a byte may start, for the quick look before a record is split.
enum class Look : std::uint8_t { Nothing, Cause, Separator, Sign };
struct LookTable {
  Look look[256] = {};
  constexpr LookTable() {
    for (int c = 0; c < 0x20; ++c) look[c] = Look::Cause;
    look[static_cast<unsigned char>('\n')] = look[static_cast<unsigned char>('\t')] =
        look[static_cast<unsigned char>('\r')] = Look::Nothing;
    look[0x7F] = look[0xC2] = look[0xE2] = look[0xEF] = Look::Cause;
    look[static_cast<unsigned char>('/')] = Look::Cause;
    look[static_cast<unsigned char>(',')] = look[static_cast<unsigned char>(';')] = Look::Separator;
    look[static_cast<unsigned char>('+')] = look[static_cast<unsigned char>('-')] = Look::Sign;
  }
};
constexpr LookTable kLook;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

#if defined(__SSE2__)
// The bytes the coarse look compares with, each in all sixteen places, made
// once a record.
struct CoarseBytes {
  __m128i tab = _mm_set1_epi8('\t'), carriageReturn = _mm_set1_epi8('\r'), space = _mm_set1_epi8(0x20);
  __m128i slash = _mm_set1_epi8('/'), del = _mm_set1_epi8(0x7F), comma = _mm_set1_epi8(','),
          semicolon = _mm_set1_epi8(';');
  __m128i plus = _mm_set1_epi8('+'), minus = _mm_set1_epi8('-'), point = _mm_set1_epi8('.'),
          eleven = _mm_set1_epi8(11);
};

// Whether the sixteen bytes `a` may hold a cause, `before` the byte before
// each: a coarse look that an ordinary record passes. A control byte (not a
// tab or carriage return), a byte from 0x80 on, a delete, slash, comma or
// semicolon, or a sign right after a digit or point.
inline bool chunkMayHoldCause(const CoarseBytes& k, __m128i a, __m128i before) {
  // Bytes below 0x20 and from 0x80 on are below 0x20 as signed bytes.
  __m128i hit = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(a, k.tab), _mm_cmpeq_epi8(a, k.carriageReturn)),
                                 _mm_cmplt_epi8(a, k.space));
  hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(a, k.slash), _mm_cmpeq_epi8(a, k.del)));
  hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(a, k.comma), _mm_cmpeq_epi8(a, k.semicolon)));
  // '.' to '9' before, as 0 to 11.
  const __m128i fromPoint = _mm_sub_epi8(before, k.point);
  const __m128i digitOrPoint = _mm_cmpeq_epi8(_mm_min_epu8(fromPoint, k.eleven), fromPoint);
  const __m128i sign = _mm_or_si128(_mm_cmpeq_epi8(a, k.plus), _mm_cmpeq_epi8(a, k.minus));
  hit = _mm_or_si128(hit, _mm_and_si128(sign, digitOrPoint));
  return _mm_movemask_epi8(hit) != 0;
}

// The coarse look over a whole record.
bool coarseMayHoldCause(std::string_view t) {
  const CoarseBytes k;
  return anyStepHits(t, [&](__m128i a, __m128i before) { return chunkMayHoldCause(k, a, before); });
}

#else
bool coarseMayHoldCause(std::string_view) { return true; }

#endif

// Whether a record holds a byte that could make a cause: a slash, a control
// byte, the first byte of a named invisible character, a comma or semicolon
// between digits, a sign right after a digit or point.
bool mayHoldCause(std::string_view t) {
  if (!coarseMayHoldCause(t)) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    switch (kLook.look[static_cast<unsigned char>(t[i])]) {
      case Look::Nothing:
        break;
      case Look::Cause:
        return true;
      case Look::Separator:
        if (i > 0 && i + 1 < t.size() && isDigit(t[i - 1]) && isDigit(t[i + 1])) return true;
        break;
      case Look::Sign:
        if (i > 0 && (isDigit(t[i - 1]) || t[i - 1] == '.')) return true;
        break;
    }
  }
  return false;
}

std::uint16_t place(std::size_t at) { return static_cast<std::uint16_t>(std::min<std::size_t>(at, 0xFFFF)); }

}  // namespace

std::uint8_t judgeRecordCauses(std::string_view text, bool row, std::uint32_t index, std::vector<CauseWhere>& where,
                               RowRecord known) {
  std::uint8_t bits = kCausesJudged;
  if (known == RowRecord::Short) return bits;
  if (known == RowRecord::Numbers ? !numbersMayHoldCause(text) : !mayHoldCause(text)) return bits;
  const ValuesOf split(text);
  if (const WrittenValue* v = signExponent(split)) {
    bits |= kCauseSignExponent;
    where.push_back({index, kCauseSignExponent, {place(v->start), place(v->exponentAt), place(v->end)}});
  }
  if (split.slash != std::string_view::npos) {
    // A slash after a row's three values is never reached: the row read
    // them all, and what follows (a comment) is passed over unseen.
    std::uint64_t before = 0;
    for (const WrittenValue& v : split.values) before += v.repeat;
    if (!row || before < static_cast<std::uint64_t>(kRowItems)) bits |= kCauseSlash;
    where.push_back({index, kCauseSlash,
                     {place(split.slash), place(split.values.size()), place(static_cast<std::size_t>(
                                                                          std::min<std::uint64_t>(before, 0xFFFF)))}});
  }
  if (const std::optional<std::size_t> k = separatorInNumber(split)) {
    bits |= kCauseSeparator;
    const WrittenValue& v = split.values[*k];
    where.push_back({index, kCauseSeparator, {place(v.start), place(v.end), place(split.values[*k + 1].end)}});
  }
  for (std::size_t i = 0; i < text.size() && (bits & kCauseInvisible) == 0; ++i) {
    if (invisibleAt(text, i, [](std::string_view, const char*) {}) > 0) bits |= kCauseInvisible;
  }
  return bits;
}

namespace {

// The place of `cause` in record `index` as judged, or null.
const CauseWhere* causeWhere(const std::vector<CauseWhere>& where, std::uint32_t index, std::uint8_t cause) {
  const auto it = std::lower_bound(where.begin(), where.end(), std::pair(index, cause),
                                   [](const CauseWhere& w, const std::pair<std::uint32_t, std::uint8_t>& key) {
                                     return w.row != key.first ? w.row < key.first : w.cause < key.second;
                                   });
  return it != where.end() && it->row == index && it->cause == cause ? &*it : nullptr;
}

struct Seen {
  int file;
  std::size_t row;      // from 1; 0: not a row (a stop's line)
  long long line;
  std::string record;   // as read again, to be shown
};

class RecordCauses {
 public:
  explicit RecordCauses(const Explanation& facts) : facts_(facts) {}

  // A record not read again (none, or past the access's bounds) shows no
  // cause, nor does a row judged bare while it was read; each line is looked
  // at once, found by its place, not by a search.
  void look(int file, std::size_t row, long long line, std::string_view record) {
    if (line <= 0 || record.empty() || bare(file, row, [line] { return line; })) return;
    if (!looked_.insert({file, line}).second) return;
    seen_.push_back({file, row, line, std::string(record)});
  }

  // Whether row `row` (from 1) of file `file` was judged while it was read
  // and holds no cause: its record adds nothing, so it is neither kept nor
  // judged again. A row at the line a stop names is not, so that the stop's
  // record is judged as before whichever is looked at first (`line` is
  // asked for only when the stop is in this file).
  template <class Line>
  bool bare(int file, std::size_t row, const Line& line) const {
    const LoadRecord& r = facts_.files[file].record;
    if (row == 0 || r.causes == nullptr || row > r.rows || r.causes[row - 1] != kCausesJudged) return false;
    return !(facts_.stop && facts_.stop->dataFile == file && facts_.stop->line == line());
  }

  void add(std::vector<Finding>& out) {
    std::sort(seen_.begin(), seen_.end(), [](const Seen& a, const Seen& b) {
      return a.file != b.file ? a.file < b.file : a.line < b.line;
    });
    // Each record's causes as judged while it was read; a record the first
    // read did not hold whole is judged from its bytes as shown.
    judged_.resize(seen_.size());
    for (std::size_t k = 0; k < seen_.size(); ++k) judged_[k] = judgedOf(seen_[k]);
    for (int f = 0; f < 2; ++f) {
      for (int cause = 0; cause < kRecordCauses; ++cause) {
        std::vector<const Seen*> with;
        std::string detail;
        for (std::size_t k = 0; k < seen_.size(); ++k) {
          const Seen& s = seen_[k];
          if (s.file != f || (judged_[k].bits & kCauseBits[cause]) == 0) continue;
          if (with.empty()) {
            detail = words(static_cast<Cause>(cause), s.record, judged_[k]);
            if (detail.empty()) continue;  // its bytes as shown no longer hold it
          }
          with.push_back(&s);
        }
        if (with.empty()) continue;
        const Seen& first = *with.front();
        std::string text = quotedName(facts_.files[f].name) + " line " + std::to_string(first.line);
        if (first.row > 0) text += " (row " + std::to_string(first.row) + ")";
        text += ": '" + shownPlainly(first.record) + "'";
        if (first.row > 0) text += " reads as " + rowValues(f, first.row);
        text += ": " + detail;
        std::vector<long long> lines;
        for (const Seen* s : with) {
          if (lines.size() < kNamedRecords) lines.push_back(s->line);
        }
        if (with.size() > 1) {
          text += " (so do " + plural(with.size() - 1, "other record", "other records") + " shown: line";
          for (std::size_t k = 1; k < with.size() && k < kNamedRecords; ++k) {
            text += (k == 1 ? (with.size() > 2 ? "s " : " ") : ", ") + std::to_string(with[k]->line);
          }
          text += ")";
        }
        Finding finding{FindingKind::RecordBytes, f == 0 ? FindingRole::Reference : FindingRole::Compared, first.row,
                        lines, text};
        out.push_back(std::move(finding));
      }
    }
  }

 private:
  // A record's cause bits and where to find their places.
  struct Judged {
    std::uint8_t bits = 0;
    const std::vector<CauseWhere>* where = nullptr;
    std::uint32_t index = 0;
    std::shared_ptr<std::vector<CauseWhere>> own;  // of a record judged from its bytes as shown
  };

  Judged judgedOf(const Seen& s) const {
    Judged j;
    const FileFacts& file = facts_.files[s.file];
    if (s.row > 0 && file.record.causes != nullptr && s.row <= file.record.rows) {
      j.bits = file.record.causes[s.row - 1];
      j.where = &file.causeWhere;
      j.index = static_cast<std::uint32_t>(s.row - 1);
    } else if (s.row == 0 && facts_.stop && facts_.stop->dataFile == s.file && facts_.stop->line == s.line) {
      j.bits = facts_.stop->causes;
      j.where = &facts_.stop->causeWhere;
    }
    if ((j.bits & kCausesJudged) == 0) {
      j.own = std::make_shared<std::vector<CauseWhere>>();
      j.bits = judgeRecordCauses(s.record, s.row > 0, 0, *j.own);
      j.where = j.own.get();
      j.index = 0;
    }
    return j;
  }

  std::string rowValues(int f, std::size_t row) const {
    const LoadRecord& r = facts_.files[f].record;
    if (row == 0 || row > r.rows) return "";
    const double v[3] = {r.column1[row - 1], r.column2InFileUnits[row - 1], r.column3[row - 1]};
    return valuesOf(v);
  }

  // A cause's words, its places cut from the record as shown; "" when the
  // record shown does not hold them.
  static std::string words(Cause cause, const std::string& record, const Judged& j) {
    const CauseWhere* w = cause == Cause::Invisible ? nullptr : causeWhere(*j.where, j.index, kCauseBits[static_cast<int>(cause)]);
    switch (cause) {
      case Cause::SignExponent: {
        if (w == nullptr || w->at[2] > record.size() || w->at[0] >= w->at[1] || w->at[1] >= w->at[2]) return "";
        const std::string token = record.substr(w->at[0], w->at[2] - w->at[0]);
        const std::size_t sign = w->at[1] - w->at[0];
        return "in '" + token + "' the sign after the digits starts an exponent, so it reads as " +
               token.substr(0, sign) + "e" + token.substr(sign) +
               "; write the exponent with an e, or put a blank before the sign for two values";
      }
      case Cause::Slash: {
        if (w == nullptr || w->at[0] >= record.size()) return "";
        return "the slash at character " + std::to_string(w->at[0] + 1) +
               " ends the row: the values after it are not read, and the values it did not reach read as 0";
      }
      case Cause::SeparatorInNumber: {
        if (w == nullptr || w->at[2] > record.size() || w->at[0] >= w->at[1] || w->at[1] >= w->at[2]) return "";
        const std::string first = record.substr(w->at[0], w->at[1] - w->at[0]);
        const std::string second = record.substr(w->at[1] + 1u, w->at[2] - w->at[1] - 1u);
        const char separator = record[w->at[1]];
        return std::string("the ") + (separator == ',' ? "comma" : "semicolon") + " inside '" + first + separator +
               second + "' separates values, so it reads as the two values " + first + " and " + second +
               ": write numbers with a decimal point and no thousands separator";
      }
      case Cause::Invisible: {
        std::string names;
        for (std::size_t i = 0; i < record.size(); ++i) {
          const std::size_t len = invisibleAt(record, i, [&](std::string_view shownBytes, const char* name) {
            if (!names.empty()) names += ", ";
            names += std::string(shownBytes) + " (" + name + ") at character " + std::to_string(i + 1);
          });
          if (len > 1) i += len - 1;
        }
        if (names.empty()) return "";
        return "it holds bytes the eye does not see: " + names + "; remove them, or write a plain blank";
      }
    }
    return "";
  }

  const Explanation& facts_;
  std::vector<Seen> seen_;
  std::vector<Judged> judged_;
  std::set<std::pair<int, long long>> looked_;
};

// The compared column 2 is one value on every row: no relation, and why
// where the records tell (a slash ended each row before its second value).
Finding constantFinding(const Explanation& facts, double value) {
  const LoadRecord& b = facts.files[1].record;
  std::string text = quotedName(facts.files[1].name) + ": compared column 2 is " + shortestText(value) +
                     " on every row (" + plural(b.rows, "row", "rows") +
                     ") whatever the reference's, so no relation between the files holds";
  // The first rows' records, as the reader split them while it read them
  // (a record it did not hold whole, as shown).
  bool slashed = true;
  const std::size_t looked = std::min<std::size_t>(b.rows, kConstantRowsLooked);
  std::size_t at = 0;
  for (std::size_t i = 0; i < looked && slashed; ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    std::vector<CauseWhere> own;
    const bool judged = b.causes != nullptr && (b.causes[i] & kCausesJudged) != 0;
    if (!judged) judgeRecordCauses(rowRecord(facts, 1, i), true, index, own);
    const CauseWhere* slash = causeWhere(judged ? facts.files[1].causeWhere : own, index, kCauseSlash);
    slashed = slash != nullptr && slash->at[1] < 2;
    if (i == 0 && slash != nullptr) at = slash->at[0];
  }
  if (slashed && looked > 0) {
    text += ": a slash ended each row before its second value (line " + std::to_string(b.firstLine(0)) +
            ", character " + std::to_string(at + 1) + "), so the values after it were not read and column 2 reads as 0";
  }
  return Finding{FindingKind::ConstantColumn, FindingRole::Compared, 0, {b.firstLine(0)}, text};
}

std::string percentText(double share) {
  const double v = 100 * share;
  char text[32];
  if (v >= 10 && v < 1e6) {
    std::snprintf(text, sizeof text, "%.0f%%", v);
  } else if (v >= 0.01 || v == 0) {
    std::snprintf(text, sizeof text, "%.2g%%", v);
  } else {
    return "less than 0.01%";
  }
  return text;
}

// No relation holds: what the differences look like.
Finding unexplainedFinding(const Unexplained& u) {
  std::string text = "no relation between the files explains the total: the " + plural(u.rows, "row", "rows") +
                     " that differ do so by a median of " + percentText(u.medianRelative) + " of the reference's value, ";
  char trend[32];
  std::snprintf(trend, sizeof trend, "%.2f", u.trend);
  text += u.trends ? std::string("growing ") + (u.trend > 0 ? "more positive" : "more negative") + " along the rows (correlation " +
                         trend + ")"
                   : std::string("with no trend along the rows");
  text += ", " + std::to_string(u.positive) + " above and " + std::to_string(u.negative) + " below the reference";
  if (u.signsRandom) {
    text += ", their signs as random as chance gives";
    if (!u.trends) text += ": it looks like noise";
  } else if (u.positive > 0 && u.negative > 0) {
    text += ", their signs in longer runs than chance gives";
  }
  Finding finding{FindingKind::Unexplained, FindingRole::Pair, 0, {}, text};
  finding.unexplained = std::make_shared<const Unexplained>(u);
  return finding;
}

}  // namespace

void searchRelationsOf(Explanation& facts) {
  if (!facts.compared) return;
  const LoadRecord& a = facts.files[0].record;
  const LoadRecord& b = facts.files[1].record;
  // How a sampled compared row's column 2 is written, as the reader scanned
  // it while it read the row.
  auto writtenDigits = [&](std::size_t row) {
    WrittenDigits digits;
    if (b.column2Written == nullptr || row >= b.rows) return digits;
    const WrittenForm form = b.column2Written[row];
    if (form.decimals != WrittenForm::kUnknownWritten) digits.decimals = form.decimals;
    if (form.significant != WrittenForm::kUnknownWritten) digits.significant = form.significant;
    return digits;
  };
  const RelationInput input{{{a.column1, a.column2InFileUnits, a.column3}, a.rows},
                            {{b.column1, b.column2InFileUnits, b.column3}, b.rows},
                            facts.total,
                            writtenDigits};
  facts.relationSearch = searchRelations(input);
}

void relationRowsShown(const Explanation& facts, std::vector<std::size_t>& reference,
                       std::vector<std::size_t>& compared) {
  if (!facts.relationSearch) return;
  const RelationSearch& search = *facts.relationSearch;
  for (const Relation& r : search.relations) {
    for (std::size_t k = 0; k < r.exceptions.size() && k < kListedExceptions; ++k) {
      reference.push_back(r.exceptions[k].referenceRow);
      compared.push_back(r.exceptions[k].row);
    }
  }
  if (search.constant) {
    for (std::size_t i = 0; i < kConstantRowsLooked && i < facts.files[1].record.rows; ++i) compared.push_back(i);
  }
}

void addRelationFindings(Explanation& facts, std::vector<Finding>& out) {
  RecordCauses causes(facts);
  if (facts.compared && facts.relationSearch) {
    RelationSearch& search = *facts.relationSearch;
    if (search.constant) out.push_back(constantFinding(facts, search.constantValue));
    if (search.unexplained) out.push_back(unexplainedFinding(*search.unexplained));
    for (Relation& relation : search.relations) {
      RelationText words(facts, relation);
      Finding finding{FindingKind::Relation, words.role(), 0, {}, words.sentence()};
      const auto moved = words.firstMoved();
      if (moved) {
        finding.row = *moved + 1;
        const int f = finding.role == FindingRole::Reference ? 0 : 1;
        const long long l = words.line(f, *moved);
        if (l > 0) finding.lines.push_back(l);
      }
      finding.exceptionRows = exceptionRows(facts, relation);
      for (const ExceptionRow& row : finding.exceptionRows) {
        if (finding.role != FindingRole::Reference && finding.lines.size() < kNamedExceptions) {
          finding.lines.push_back(row.comparedLine);
        }
        causes.look(1, row.row, row.comparedLine, row.comparedRecord);
        causes.look(0, row.referenceRow, row.referenceLine, row.referenceRecord);
      }
      finding.relation = std::make_shared<const Relation>(std::move(relation));
      out.push_back(std::move(finding));
    }
    // The rows that add most, and the first that differs; a row without a
    // record has nothing to look at, nor has a row bare in both files (its
    // facts are not made).
    const LoadRecord& a = facts.files[0].record;
    const LoadRecord& b = facts.files[1].record;
    for (std::size_t k = 0; k < facts.top.size(); ++k) {
      if (!facts.top.hasRecords(k)) continue;
      const std::size_t index = facts.top.indexOf(k);
      if (causes.bare(1, index + 1, [&] { return b.firstLine(index); }) &&
          (index >= a.rows || causes.bare(0, index + 1, [&] { return a.firstLine(index); }))) {
        continue;
      }
      const RowFacts row = facts.top[k];
      if (row.square == 0) continue;
      causes.look(1, row.row, row.comparedLine, row.comparedRecord);
      if (row.hasReference) causes.look(0, row.row, row.referenceLine, row.referenceRecord);
    }
    if (facts.firstDifference) {
      const RowFacts& row = *facts.firstDifference;
      causes.look(1, row.row, row.comparedLine, row.comparedRecord);
      if (row.hasReference) causes.look(0, row.row, row.referenceLine, row.referenceRecord);
    }
  }
  // Where velmora stops on a value, the record it stopped in.
  if (facts.stop && facts.stop->line > 0 && facts.stop->dataFile >= 0) {
    const int f = facts.stop->dataFile;
    const auto& found = facts.files[f].records;
    const auto it = found.find(facts.stop->line);
    if (it != found.end()) causes.look(f, 0, facts.stop->line, it->second);
  }
  causes.add(out);
}

std::string roughTotal(double v) {
  if (v == 0) return "0";
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%.3g", v);
  const std::string_view s(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  // The exponent without its plus sign and leading zeros.
  WrittenValue shape;
  if (!writtenItem(s, 1, shape) || shape.exponent == ExponentForm::None) return std::string(s);
  return std::string(s.substr(0, shape.exponentAt)) + "e" + std::to_string(shape.exponentValue);
}

}  // namespace velmora::explain
