// Findings: what the facts of an explanation mean, each named as one of a
// fixed set of kinds, with enough words to fix the file.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "explain/findings.h"
#include "explain/facts.h"
#include "companion/companion.h"

namespace velmora::explain {

using namespace velmora::companion;

namespace {

// One table: each kind's JSON name, in the order of importance.
constexpr const char* kFindingNames[] = {
    "stop",           "empty-file",    "directory",       "control-file",  "same-file",
    "layouts-differ", "no-header",     "header-records-like-rows",       "multi-line-rows",
    "surplus-values", "relation",      "unexplained",     "record-bytes",    "zero-column", "constant-column",
    "row-counts",     "rows-past-limit", "first-difference", "largest",   "files-agree",
    "fail-above",
};
static_assert(std::size(kFindingNames) == static_cast<std::size_t>(FindingKind::FailAbove) + 1);

constexpr const char* kRoleNames[] = {"reference", "compared", "control", "pair"};
const char* const kFileRoles[2] = {"reference", "compared"};

// Lines a finding lists before it only counts.
constexpr std::size_t kListedLines = 5;

// A finding's text is written as it is in the report: every byte of a file
// it names is shown here, once, by the companions' one rule.
std::string shownBytes(std::string_view bytes) { return escaped(bytes, Escape::Display); }
std::string shownName(std::string_view bytes) { return "'" + shownBytes(bytes) + "'"; }

std::string number(double value) { return shortestText(value); }

std::string count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string lineList(const std::vector<long long>& lines, std::size_t total) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(lines[i]);
  if (total > lines.size()) text += ", ...";
  return text;
}

bool isWarning(FindingKind kind) {
  switch (kind) {
    case FindingKind::SameFile:
    case FindingKind::NoHeader:
    case FindingKind::HeaderRecordsLikeRows:
    case FindingKind::RowCounts:
    case FindingKind::RowsPastLimit:
      return true;
    default:
      return false;
  }
}

class Findings {
 public:
  explicit Findings(Explanation& facts) : facts_(facts) {}

  void add(FindingKind kind, FindingRole role, std::size_t row, std::vector<long long> lines,
           std::string text) {
    Finding finding{kind, role, row, std::move(lines), std::move(text)};
    facts_.findings.push_back(std::move(finding));
  }

  void all() {
    stop();
    emptyOrDirectory();
    controlFile();
    layouts();
    headers();
    multiLineRows();
    surplusValues();
    sameFile();
    rowCounts();
    rowsPastLimit();
    if (facts_.compared) {
      zeroColumns();
      comparison();
    }
    addRelationFindings(facts_, facts_.findings);
    // The relations first, most of the total explained first; the others
    // by kind.
    std::stable_sort(facts_.findings.begin(), facts_.findings.end(), [](const Finding& a, const Finding& b) {
      if (a.relation && b.relation) return a.relation->residual < b.relation->residual;
      if (a.relation || b.relation) return a.relation != nullptr;
      return a.kind < b.kind;
    });
    // The JSON's warnings: the findings about a likely mistake in a file
    // or the pair, as the report has always listed them.
    for (const Finding& finding : facts_.findings) {
      if (isWarning(finding.kind)) facts_.warnings.push_back(finding.text);
    }
  }

 private:
  FindingRole roleOf(int file) const { return file == 0 ? FindingRole::Reference : FindingRole::Compared; }
  const LoadRecord& record(int f) const { return facts_.files[f].record; }

  void stop() {
    if (!facts_.stop) return;
    const StopSeen& stop = *facts_.stop;
    const FindingRole role = stop.dataFile < 0 ? FindingRole::Control : roleOf(stop.dataFile);
    std::vector<long long> lines;
    if (stop.line > 0) lines.push_back(stop.line);
    std::string text = "velmora stops at statement " + std::to_string(stop.statement) + ": ";
    // velmora's words, already shown by its rule: only what a terminal
    // would take for a command is shown besides.
    text += escaped(stop.description, Escape::DisplayShown);
    add(FindingKind::Stop, role, 0, lines, text);
  }

  void emptyOrDirectory() {
    for (int f = 0; f < 2; ++f) {
      const FileFacts& file = facts_.files[f];
      if (!file.named || !file.presence.exists) continue;
      if (file.presence.directory) {
        add(FindingKind::Directory, roleOf(f), 0, {},
            shownName(file.name) + " is a directory, not a data file: name a file in it");
      } else if (file.presence.regular && file.presence.size == 0) {
        add(FindingKind::EmptyFile, roleOf(f), 0, {},
            shownName(file.name) + " is empty (0 bytes): velmora stops at its first read; "
            "was it written yet, or is the name wrong?");
      }
    }
  }

  // Where each name came from, as the reader says what opened each name
  // statement: a value gives the name; a null value or a slash gives none,
  // and the name buffer keeps what it held.
  void controlFile() {
    const ControlFacts& control = facts_.control;
    if (!control.used || !control.names[0].read) return;
    std::string text = std::string(kControlFileName) + ": ";
    std::vector<long long> lines;
    std::string lost;  // why a name statement gave no name, and what follows
    for (int f = 0; f < 2; ++f) {
      const ControlStatementFacts& name = control.names[f];
      if (!name.read || name.line == 0) continue;
      lines.push_back(name.line);
      const std::string role = std::string("the ") + kFileRoles[f] + " name";
      const std::string line = "line " + std::to_string(name.line);
      const std::string record = name.recordKnown ? shownName(name.record) : std::string();
      const std::string atLine = record.empty() ? line : line + ", " + record + ",";
      std::string part;
      if (name.opener == StatementOpener::Value) {
        part = role + " comes from " + line + (record.empty() ? "" : ", " + record);
      } else if (name.opener == StatementOpener::NullValue) {
        part = role + ": " + atLine + " opens with a comma or semicolon, which gives no value (a null value)";
      } else {
        part = role + ": " + atLine + " starts with a slash, which ends the statement before any value";
      }
      text += (f == 0 ? "" : "; ") + part;
      if (name.opener == StatementOpener::Value) continue;
      if (f == 0) {
        lost = ". The name is left empty, and velmora cannot open a file of no name";
      } else {
        lost = ". So the second name is lost and the first name, " + shownName(control.names[0].name) +
               ", is used again: the first file is compared with itself; ";
        lost += name.opener == StatementOpener::NullValue
                    ? "remove the comma or semicolon, or quote the name"
                    : "write the name between quotes (" + shownName(name.fromOpener()) + ")";
      }
    }
    add(FindingKind::ControlFile, FindingRole::Control, 0, lines, text + lost);
  }

  // The format code's byte of a title value, or that the value is shorter.
  static std::string codeText(const LoadRecord& r) {
    const std::string_view value(r.title, r.titleLength);
    const std::string position = std::to_string(r.code.position);
    const std::string lead = titleNotStored(r);
    if (!r.code.fromValue) {
      return lead + titleNoun(r) + shownName(value) + " is " + std::to_string(value.size()) +
             " characters long, shorter than " + position + " (plain layout)";
    }
    std::string text = lead + "character " + position + " of " + titleNoun(r) + shownName(value) + " is " +
                       shownName(std::string_view(&r.code.code, 1));
    // A code elsewhere in a value that selects no layout may be one put a
    // character off.
    if (r.code.otherCodeAt != 0) {
      text += "; a " + shownName(std::string_view(&r.title[r.code.otherCodeAt - 1], 1)) + " stands at character " +
              std::to_string(r.code.otherCodeAt) + ": the format code may be misplaced";
    }
    return text;
  }

  void layouts() {
    const LoadRecord& a = record(0);
    const LoadRecord& b = record(1);
    if (!a.titleRead || !b.titleRead || a.layout == b.layout) return;
    add(FindingKind::LayoutsDiffer, FindingRole::Pair, 0, {a.titleLine, b.titleLine},
        "the two files have different layouts: in the reference file " + codeText(a) +
            "; in the compared file " + codeText(b));
  }

  void headers() {
    for (int f = 0; f < 2; ++f) {
      const FileFacts& file = facts_.files[f];
      if (file.suspectCount == 0) continue;
      const std::size_t records = file.headerRecordsSeen;
      std::vector<long long> lines(file.suspectLines.begin(),
                                   file.suspectLines.begin() +
                                       static_cast<std::ptrdiff_t>(std::min(kListedLines, file.suspectLines.size())));
      if (records > 0 && file.suspectCount * 2 > records) {
        add(FindingKind::NoHeader, roleOf(f), 0, lines,
            shownName(file.name) + " seems to have no header: " + std::to_string(file.suspectCount) +
                " of the " + std::to_string(records) +
                " records the header passed over read like table rows (lines " +
                lineList(lines, file.suspectCount) +
                "), so they were taken as header, not as rows; give the file the header its "
                "format code asks for");
      } else {
        add(FindingKind::HeaderRecordsLikeRows, roleOf(f), 0, lines,
            shownName(file.name) + ": the header passed over " +
                count(file.suspectCount, "record", "records") + " of exactly three numbers (" + (file.suspectCount == 1 ? "line " : "lines ") +
                lineList(lines, file.suspectCount) +
                "), which read like table rows: the header is probably one line short, or the "
                "format code selects another layout than meant");
      }
    }
  }

  // The three values row `row` (from 1) of file `f` was read as.
  std::string rowValues(int f, std::size_t row) const {
    const LoadRecord& r = record(f);
    const std::size_t i = row - 1;
    return number(r.column1[i]) + ", " + number(r.column2InFileUnits[i]) + ", " + number(r.column3[i]);
  }

  // A record as it stands, for a finding's words, or "" when it could not be read again.
  static std::string recordText(const RecordsByLine& found, long long line) {
    const auto it = found.find(line);
    return it == found.end() ? std::string() : " ('" + shownRecord(it->second) + "')";
  }

  // A row statement that read more than one line: its first record held too
  // few values, so the statement went on into the next record for the rest
  // and ignored what that record held after them. How many values the first
  // record holds is the reader's split of it, read again at the offset the
  // load gave; the values ignored are what the reader counted.
  void multiLineRows() {
    for (int f = 0; f < 2; ++f) {
      const LoadRecord& r = record(f);
      if (r.firstMultiLineRow == 0) continue;
      std::size_t found = 0;
      std::vector<long long> lines;
      for (std::size_t i = 0; i < r.rows; ++i) {
        if (r.lastLine(i) == r.firstLine(i)) continue;
        ++found;
        if (lines.size() < kListedLines) lines.push_back(r.firstLine(i));
      }
      const std::size_t row = r.firstMultiLineRow;
      const RowLines& seen = r.firstMultiLine;
      const auto& records = facts_.files[f].records;
      const std::uint32_t heldValues = facts_.files[f].multiLineHeld;  // 0: not known
      const std::string held = heldValues > 0 ? count(heldValues, "value", "values") : "fewer than three values";
      std::string text = shownName(facts_.files[f].name) + ": row " + std::to_string(row) + " was read from lines " +
                         std::to_string(seen.first) + " to " + std::to_string(seen.last) + ": line " +
                         std::to_string(seen.first) + recordText(records, seen.first) + " holds " + held +
                         ", fewer than a row's three, so the statement went on to line " +
                         std::to_string(seen.last) + recordText(records, seen.last);
      if (seen.endedBySlash) {
        text += ", where a slash ended it (the values it did not reach read as 0)";
      } else {
        // From the next line, the statement took what the first one lacked.
        const bool adjacent = seen.last == seen.first + 1 && heldValues > 0 && heldValues < kRowItems;
        text += !adjacent ? " for the rest" : heldValues == kRowItems - 1 ? " for its third value" : " for its second and third values";
        if (seen.ignored > 0) {
          text += " and ignored the " + count(seen.ignored, "value", "values") + " after " +
                  (adjacent && heldValues == kRowItems - 1 ? "it" : "them") + " there";
        }
      }
      text += "; the row reads as " + rowValues(f, row);
      if (row < r.rows) {
        const LoadRecord& other = record(1 - f);
        const bool otherAlike = row <= other.rows && other.lastLine(row - 1) != other.firstLine(row - 1);
        text += otherAlike ? "; from row " + std::to_string(row + 1) + " on, this table is out of step with its lines"
                           : "; from row " + std::to_string(row + 1) + " on, the two tables are out of step";
      }
      text += ": give line " + std::to_string(seen.first) + " the values it lacks";
      if (found > 1) text += " (" + std::to_string(found) + " rows read more than one line)";
      add(FindingKind::MultiLineRows, roleOf(f), row, lines, text);
    }
  }

  // Rows read from one record that held more than three values: the reader
  // takes the first three and ignores the rest, so a decimal comma (30,0 is
  // the two values 30 and 0) or a thousands separator (1,234.5 is 1 and
  // 234.5) moves every value after it one column on. One finding a file; a
  // summary when most rows are so.
  void surplusValues() {
    for (int f = 0; f < 2; ++f) {
      const LoadRecord& r = record(f);
      if (r.surplusRowCount == 0) continue;
      const LoadRecord::SurplusRow& first = r.surplusRows[0];
      std::vector<long long> lines;
      for (std::size_t i = 0; i < r.surplusRowsKept && lines.size() < kListedLines; ++i) {
        lines.push_back(r.surplusRows[i].line);
      }
      const auto& records = facts_.files[f].records;
      const bool most = r.surplusRowCount * 2 > r.rows;
      std::string text = shownName(facts_.files[f].name) + ": ";
      if (r.surplusRowCount == r.rows) {
        text += "every row's record (" + count(r.rows, "row", "rows") + ") holds more than three values";
      } else if (most) {
        text += std::to_string(r.surplusRowCount) + " of the " + std::to_string(r.rows) +
                " rows' records hold more than three values";
      } else {
        text += count(r.surplusRowCount, "record holds", "records hold") + " more than three values";
      }
      text += std::string(" (") + (r.surplusRowCount == 1 ? "line " : "lines ") + lineList(lines, r.surplusRowCount) +
              "); a row takes the first three and the rest is ignored: row " + std::to_string(first.row) +
              ", line " + std::to_string(first.line) + recordText(records, first.line) + ", reads as " +
              rowValues(f, first.row) + ", and its " + count(first.ignored, "other value is", "other values are") +
              " ignored. ";
      text += most ? "Decimal commas (30,0 is the two values 30 and 0) or thousands separators (1,234.5 is 1 "
                     "and 234.5) are the usual cause: write numbers with a decimal point and no separator"
                   : "A thousands separator (1,234.5 is 1 and 234.5) or a decimal comma (30,0 is 30 and 0) "
                     "is the usual cause: write the number with a decimal point and no separator";
      add(FindingKind::SurplusValues, roleOf(f), first.row, lines, text);
    }
  }

  // Both names denote one file (device and inode, as the system said before
  // each load), once both were read:
  // elsewhere there is no total to speak of.
  void sameFile() {
    const FileFacts& a = facts_.files[0];
    const FileFacts& b = facts_.files[1];
    if (!a.loaded || !b.loaded || !a.presence.exists || !b.presence.exists) return;
    if (a.presence.device != b.presence.device || a.presence.inode != b.presence.inode) return;
    add(FindingKind::SameFile, FindingRole::Pair, 0, {},
        shownBytes(a.name) + " and " + shownBytes(b.name) +
            " are the same file: each row is compared with itself, so the total is zero unless a "
            "value is NaN or infinite");
  }

  void rowCounts() {
    const FileFacts& a = facts_.files[0];
    const FileFacts& b = facts_.files[1];
    if (!a.loaded || !b.loaded || a.record.rows == b.record.rows) return;
    const std::size_t n1 = a.record.rows, n2 = b.record.rows;
    const FileFacts& longer = n1 > n2 ? a : b;
    const std::size_t shorter = std::min(n1, n2);
    const long long from = longer.record.firstLine(shorter);
    add(FindingKind::RowCounts, FindingRole::Pair, shorter + 1, {from},
        shownBytes(a.name) + " has " + count(n1, "row", "rows") + ", " + shownBytes(b.name) + " has " +
            std::to_string(n2) + ": " + shownBytes(longer.name) + " rows " + std::to_string(shorter + 1) + " to " + std::to_string(std::max(n1, n2)) +
            " (from line " + std::to_string(from) + ") " +
            (n1 > n2 ? "take no part in the total" : "have no reference row and add their own squares"));
  }

  void rowsPastLimit() {
    for (int f = 0; f < 2; ++f) {
      const FileFacts& file = facts_.files[f];
      if (!file.record.rowsPastLimit) continue;
      const long long last = file.record.firstLine(kMaxRows - 1);
      add(FindingKind::RowsPastLimit, roleOf(f), 0, {last},
          shownBytes(file.name) + " after line " + std::to_string(last) + ": rows past " + groupedCount(kMaxRows) + " were not read");
    }
  }

  void zeroColumns() {
    for (int f = 0; f < 2; ++f) {
      const LoadRecord& r = record(f);
      const LoadRecord& other = record(1 - f);
      if (r.rows == 0) continue;
      bool zero = true;
      for (std::size_t i = 0; i < r.rows && zero; ++i) zero = r.column2InFileUnits[i] == 0;
      bool otherZero = true;
      for (std::size_t i = 0; i < other.rows && otherZero; ++i) otherZero = other.column2InFileUnits[i] == 0;
      if (zero && !otherZero) {
        add(FindingKind::ZeroColumn, roleOf(f), 0, {r.firstLine(0)},
            shownName(facts_.files[f].name) + ": the second column is 0 on every row (" +
                count(r.rows, "row", "rows") + "): check how the values are written, for example "
                "a decimal comma (0,5 is two values) or a separator inside a number");
      }
    }
  }

  void comparison() {
    auto rowLines = [&](const RowFacts& row) {
      std::vector<long long> lines;
      if (row.referenceLine > 0) lines.push_back(row.referenceLine);
      lines.push_back(row.comparedLine);
      return lines;
    };
    // The files agree where no row differs, as the comparison's own
    // difference says; a total of zero alone does not say it, since a
    // difference too small for its square (0 against 1e-200) adds zero.
    if (facts_.total == 0 && facts_.rowsDiffering == 0) {
      add(FindingKind::FilesAgree, FindingRole::Pair, 0, {},
          "the files agree on every row: the total is zero");
    }
    if (facts_.firstDifference) {
      const RowFacts& row = *facts_.firstDifference;
      std::string text = "the first row that differs is row " + std::to_string(row.row) + " (reference " +
                         (row.hasReference ? number(row.referenceValue) + ", line " + std::to_string(row.referenceLine)
                                           : std::string("none")) +
                         "; compared " + number(row.comparedValue) + ", line " + std::to_string(row.comparedLine) + ")";
      if (facts_.total == 0) {
        const std::size_t n = facts_.rowsDiffering;
        text += "; the total is zero all the same: " +
                (n == 1 ? std::string("the row that differs does") : "the " + count(n, "", "rows that differ do")) +
                " so by so little that the square of the scaled difference is too small for a double and adds 0";
      }
      add(FindingKind::FirstDifference, FindingRole::Pair, row.row, rowLines(row), text);
    }
    if (facts_.largest) {
      const RowFacts& row = *facts_.largest;
      add(FindingKind::Largest, FindingRole::Pair, row.row, rowLines(row),
          "row " + std::to_string(row.row) + " adds most, " + shareText(row.share) + " of the total");
    }
    if (facts_.failAbove) {
      const bool above = std::isnan(facts_.total) || facts_.total > *facts_.failAbove;
      add(FindingKind::FailAbove, FindingRole::Pair, 0, {},
          "--fail-above " + number(*facts_.failAbove) + ": the total " + number(facts_.total) +
              (above ? " is above the limit (exit status 1)" : " is not above the limit"));
    }
  }

  Explanation& facts_;
};

}  // namespace

std::string shownRecord(std::string_view record) {
  std::string shown;
  std::size_t left = kShownRecordWidth;
  for (std::size_t start = 0;;) {
    const std::size_t end = record.find('\n', start);
    const std::string_view line = record.substr(start, end == std::string_view::npos ? end : end - start);
    const std::size_t used = appendEscaped(shown, line, Escape::Display, left);
    if (used == kNoCut || end == std::string_view::npos) break;
    left -= used;
    if (left < 3) {
      shown += "\xE2\x80\xA6";
      break;
    }
    shown += " | ";
    left -= 3;
    start = end + 1;
  }
  return shown;
}

std::string titleNotStored(const LoadRecord& r) {
  if (r.titleStored) return "";
  const char* opener = r.titleOpener == StatementOpener::Slash ? "a slash" : "a comma or semicolon, a null value";
  return std::string("the title statement read no value (it found ") + opener +
         " first), so the layout comes from the text an earlier statement left there: ";
}

const char* titleNoun(const LoadRecord& r) { return r.titleStored ? "the title value " : "the text "; }

std::string shareText(double share) {
  if (std::isnan(share)) return "NaN";
  if (std::isinf(share)) return share > 0 ? "Infinity" : "-Infinity";
  if (share > 0 && share * 100 < 0.01) return "< 0.01%";
  char text[32];
  std::snprintf(text, sizeof text, "%.4g%%", share * 100);
  return text;
}

const char* findingKindName(FindingKind kind) { return kFindingNames[static_cast<std::size_t>(kind)]; }
const char* findingRoleName(FindingRole role) { return kRoleNames[static_cast<std::size_t>(role)]; }

void addFindings(Explanation& facts) { Findings(facts).all(); }

}  // namespace velmora::explain
