// Findings: what the facts of an explanation mean, each named as one of a
// fixed set of kinds, with enough words to fix the file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "explain.h"

namespace velmora::explain {
namespace {

// One table: each kind's JSON name, in the order of importance.
constexpr const char* kFindingNames[] = {
    "stop",           "empty-file",    "directory",       "control-file",  "same-file",
    "layouts-differ", "no-header",     "header-records-like-rows",       "multi-line-rows",
    "surplus-values", "out-of-step",   "constant-factor", "column-match",  "zero-column",
    "row-counts",     "rows-past-limit", "first-difference", "largest",   "files-agree",
    "fail-above",
};
static_assert(std::size(kFindingNames) == static_cast<std::size_t>(FindingKind::FailAbove) + 1);

constexpr const char* kRoleNames[] = {"reference", "compared", "control", "pair"};
const char* const kFileRoles[2] = {"reference", "compared"};

constexpr std::size_t kFormatCodePosition = 12;  // in the title value, from 1
// Lines a finding lists before it only counts.
constexpr std::size_t kListedLines = 5;
// Rows compared to call a pattern a pattern.
constexpr std::size_t kPatternRows = 2;

std::string shownName(std::string_view bytes) {
  std::string out = "'";
  showName(bytes, [&](std::string_view piece) { out.append(piece); });
  return out + "'";
}

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

// The raw bytes of the given lines of a file (lines from 1), read once; a
// line that is not there is missing from the map. For showing records as
// they stand, never for reading values out of them.
std::map<long long, std::string> rawLines(const std::string& name, std::vector<long long> wanted) {
  std::map<long long, std::string> found;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  if (wanted.empty()) return found;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return found;
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  constexpr std::size_t kKeep = 4096;  // bytes of a line kept
  const std::unique_ptr<char[]> block(new char[kBlock]);
  long long line = 1;
  std::size_t next = 0;
  std::string current;
  bool done = false;
  while (!done) {
    const ssize_t got = ::read(fd, block.get(), kBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got && !done; ++i) {
      const char c = block[static_cast<std::size_t>(i)];
      if (c == '\n') {
        if (line == wanted[next]) {
          found[line] = current;
          done = ++next == wanted.size();
        }
        current.clear();
        ++line;
      } else if (line == wanted[next] && current.size() < kKeep) {
        current += c;
      }
    }
  }
  if (!done && line == wanted[next] && !current.empty()) found[line] = current;
  ::close(fd);
  return found;
}

class Findings {
 public:
  Findings(const Workspace& workspace, Explanation& facts) : w_(workspace), facts_(facts) {}

  void add(FindingKind kind, FindingRole role, std::size_t row, std::vector<long long> lines,
           std::string text) {
    facts_.findings.push_back({kind, role, row, std::move(lines), std::move(text)});
  }

  void all() {
    stop();
    emptyOrDirectory();
    controlFile();
    layouts();
    headers();
    multiLineRows();
    warningsAsFindings();
    if (facts_.compared) {
      patterns();
      comparison();
    }
    std::stable_sort(facts_.findings.begin(), facts_.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.kind < b.kind; });
  }

 private:
  FindingRole roleOf(int file) const { return file == 0 ? FindingRole::Reference : FindingRole::Compared; }
  const LoadRecord& record(int f) const { return facts_.files[f].record; }

  void stop() {
    if (!facts_.stop) return;
    const StopFacts& stop = *facts_.stop;
    const FindingRole role = stop.dataFile < 0 ? FindingRole::Control : roleOf(stop.dataFile);
    std::vector<long long> lines;
    if (stop.line > 0) lines.push_back(stop.line);
    std::string text = "velmora stops at statement " + std::to_string(stop.statement) + ": ";
    text += stop.text.substr(stop.text.find('\n') + 1 + 7);  // line 2 without "error: "
    if (!text.empty() && text.back() == '\n') text.pop_back();
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

  void controlFile() {
    const ControlFacts& control = facts_.control;
    if (!control.used || !control.names[0].read) return;
    std::vector<long long> wanted;
    for (const ControlStatementFacts& name : control.names) {
      if (name.line > 0) wanted.push_back(name.line);
    }
    const auto raw = rawLines(kControlFileName, wanted);
    auto recordAt = [&](long long line) {
      const auto it = raw.find(line);
      return it == raw.end() ? std::string() : it->second;
    };
    std::string text = "CompareThese.inp: ";
    std::vector<long long> lines;
    for (int f = 0; f < 2; ++f) {
      const ControlStatementFacts& name = control.names[f];
      if (!name.read || name.line == 0) continue;
      lines.push_back(name.line);
      text += std::string(f == 0 ? "" : "; ") + "the " + kFileRoles[f] + " name comes from line " +
              std::to_string(name.line) + ", " + shownName(recordAt(name.line));
    }
    const ControlStatementFacts& second = control.names[1];
    if (second.read && second.line > 0 && !second.nameChanged) {
      const std::string record = recordAt(second.line);
      const std::size_t first = record.find_first_not_of(" \t");
      const char opener = first == std::string::npos ? ' ' : record[first];
      if (second.endedBySlash && opener == '/') {
        text += ". A line that starts with '/' ends the statement before any value, so the second "
                "name is lost and the first file is compared with itself: write the name between "
                "quotes ('" + record.substr(first) + "')";
      } else if (opener == ',' || opener == ';') {
        text += std::string(". A line that starts with '") + opener +
                "' gives no value (a null value), so the second name is lost and the first file is "
                "compared with itself: remove the '" + opener + "' or quote the name";
      } else if (second.endedBySlash) {
        text += ". A slash ended the second name's statement before its value, so the first "
                "name was kept: quote a name that holds a slash";
      }
    }
    add(FindingKind::ControlFile, FindingRole::Control, 0, lines, text);
  }

  // Character 12 of a title value, or that the value is shorter.
  static std::string codeText(const LoadRecord& r) {
    std::string_view title(r.title, kLineWidth);
    const std::size_t end = title.find(' ');
    const std::string_view value = title.substr(0, end == std::string_view::npos ? title.size() : end);
    if (value.size() < kFormatCodePosition) {
      return "the title value " + shownName(value) + " is " + std::to_string(value.size()) +
             " characters long, shorter than 12 (plain layout)";
    }
    std::string text = "character 12 of the title value " + shownName(value) + " is " +
                       shownName(std::string_view(&r.formatCode, 1));
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i + 1 != kFormatCodePosition && (value[i] == '1' || value[i] == '2')) {
        text += "; a '" + std::string(1, value[i]) + "' stands at character " + std::to_string(i + 1) +
                ": the format code may be misplaced";
        break;
      }
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
      const LoadRecord& r = file.record;
      const std::size_t records = r.headerStatementCount;  // statements after the title
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
                count(file.suspectCount, "record", "records") + " of exactly three numbers (line " +
                lineList(lines, file.suspectCount) +
                "), which read like table rows: the header is probably one line short, or the "
                "format code selects another layout than meant");
      }
    }
  }

  void multiLineRows() {
    for (int f = 0; f < 2; ++f) {
      const LoadRecord& r = record(f);
      std::size_t found = 0;
      std::size_t firstRow = 0;
      std::vector<long long> lines;
      for (std::size_t i = 0; i < r.rows; ++i) {
        if (r.rowLastLines[i] == r.rowLines[i]) continue;
        if (found++ == 0) firstRow = i + 1;
        if (lines.size() < kListedLines) lines.push_back(r.rowLines[i]);
      }
      if (found == 0) continue;
      const std::size_t i = firstRow - 1;
      std::string text = shownName(facts_.files[f].name) + ": row " + std::to_string(firstRow) +
                         " was read from lines " + std::to_string(r.rowLines[i]) + " to " +
                         std::to_string(r.rowLastLines[i]) + ": its record held fewer than three "
                         "values, so the statement took the next line's values and ignored the "
                         "rest of line " + std::to_string(r.rowLastLines[i]) + "; from row " +
                         std::to_string(firstRow + 1) + " on, this table is out of step with its lines";
      if (found > 1) text += " (" + std::to_string(found) + " rows read more than one line)";
      add(FindingKind::MultiLineRows, roleOf(f), firstRow, lines, text);
    }
  }

  void warningsAsFindings() {
    const FileFacts& a = facts_.files[0];
    const FileFacts& b = facts_.files[1];
    for (const std::string& warning : facts_.warnings) {
      if (warning.find(" are the same file") != std::string::npos) {
        add(FindingKind::SameFile, FindingRole::Pair, 0, {}, warning);
      } else if (warning.find(" rows past 1,000,000") != std::string::npos) {
        add(FindingKind::RowsPastLimit, warning.starts_with(a.name + " after") ? FindingRole::Reference
                                                                              : FindingRole::Compared,
            0, {}, warning);
      } else if (a.loaded && b.loaded && a.record.rows != b.record.rows &&
                 warning.starts_with(a.name + " has ")) {
        add(FindingKind::RowCounts, FindingRole::Pair, std::min(a.record.rows, b.record.rows) + 1, {},
            warning);
      }
    }
  }

  // Patterns over the rows both files hold.
  void patterns() {
    const LoadRecord& a = record(0);
    const LoadRecord& b = record(1);
    const std::size_t n = std::min(a.rows, b.rows);
    const double* ref2 = a.column2InFileUnits;
    const double* cmp2 = b.column2InFileUnits;
    if (facts_.total == 0 || n == 0) {
      zeroColumns();
      return;
    }
    const std::size_t first = facts_.firstDifference ? facts_.firstDifference->row - 1 : n;
    // Out of step: from the first difference on, compared row i is reference
    // row i + k (a row missing from the compared file) or i - k (one extra).
    bool found = false;
    for (long long k = 1; k <= 3 && !found && first < n; ++k) {
      for (int sign : {1, -1}) {
        const long long shift = sign * k;
        std::size_t matched = 0;
        bool all = true;
        for (std::size_t i = first; i < n; ++i) {
          const long long j = static_cast<long long>(i) + shift;
          if (j < 0 || j >= static_cast<long long>(a.rows)) continue;
          const auto ju = static_cast<std::size_t>(j);
          if (cmp2[i] != ref2[ju] || b.column3[i] != a.column3[ju]) {
            all = false;
            break;
          }
          ++matched;
        }
        if (!all || matched < kPatternRows) continue;
        const std::size_t row = first + 1;
        std::string text = "the tables are out of step by " + count(static_cast<std::size_t>(k), "row", "rows") +
                           " from row " + std::to_string(row) + " on: compared row i matches reference row i " +
                           (sign > 0 ? "+ " : "- ") + std::to_string(k) + " (";
        std::vector<long long> lines;
        if (sign > 0) {
          text += "the reference file has " + count(static_cast<std::size_t>(k), "row", "rows") +
                  " the compared file lacks, from line " + std::to_string(a.rowLines[first]) + ")";
          lines.push_back(a.rowLines[first]);
        } else {
          text += "the compared file has " + count(static_cast<std::size_t>(k), "extra row", "extra rows") +
                  " at line " + std::to_string(b.rowLines[first]) +
                  ", or the reference file lost its first rows, to its header for example)";
          lines.push_back(b.rowLines[first]);
        }
        add(FindingKind::OutOfStep, sign > 0 ? FindingRole::Reference : FindingRole::Compared, row,
            lines, text);
        found = true;
        break;
      }
    }
    // One factor between the second columns on every row.
    double factor = 0;
    std::size_t factorRows = 0;
    bool constant = true;
    for (std::size_t i = 0; i < n && constant; ++i) {
      if (ref2[i] == 0 && cmp2[i] == 0) continue;
      if (ref2[i] == 0 || !std::isfinite(ref2[i]) || !std::isfinite(cmp2[i])) {
        constant = false;
        break;
      }
      const double ratio = cmp2[i] / ref2[i];
      if (factorRows++ == 0) {
        factor = ratio;
      } else if (std::fabs(ratio - factor) > 1e-9 * std::fabs(factor)) {
        constant = false;
      }
    }
    if (constant && factorRows >= kPatternRows && factor != 1 && factor != 0) {
      const double rounded = std::round(factor * 1e6) / 1e6;
      add(FindingKind::ConstantFactor, FindingRole::Pair, 0, {},
          "the compared second column is the reference's times " + number(rounded) +
              " on every row: the files are probably in different units");
    }
    // The compared column 2 holds another column of the reference.
    for (int column : {1, 3}) {
      const double* other = column == 1 ? a.column1 : a.column3;
      bool same = true;
      bool anyDifferent = false;
      for (std::size_t i = 0; i < n && same; ++i) {
        same = cmp2[i] == other[i];
        anyDifferent = anyDifferent || other[i] != ref2[i];
      }
      if (same && anyDifferent && n >= kPatternRows) {
        add(FindingKind::ColumnMatch, FindingRole::Compared, 0, {b.rowLines[0]},
            "the compared file's column 2 holds the reference file's column " + std::to_string(column) +
                " on every row: its columns are probably swapped or in another order");
        break;
      }
    }
    zeroColumns();
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
        add(FindingKind::ZeroColumn, roleOf(f), 0, {r.rowLines[0]},
            shownName(facts_.files[f].name) + ": the second column is 0 on every row (" +
                count(r.rows, "row", "rows") + "): check how the values are written, for example "
                "a decimal comma (0,5 is two values) or a separator inside a number");
      }
    }
  }

  void comparison() {
    const LoadRecord& a = record(0);
    const LoadRecord& b = record(1);
    auto rowLines = [&](const RowFacts& row) {
      std::vector<long long> lines;
      if (row.referenceLine > 0) lines.push_back(row.referenceLine);
      lines.push_back(row.comparedLine);
      return lines;
    };
    (void)a;
    (void)b;
    if (facts_.total == 0) {
      add(FindingKind::FilesAgree, FindingRole::Pair, 0, {},
          "the files agree on every row: the total is zero");
    }
    if (facts_.firstDifference) {
      const RowFacts& row = *facts_.firstDifference;
      add(FindingKind::FirstDifference, FindingRole::Pair, row.row, rowLines(row),
          "the first row that differs is row " + std::to_string(row.row) + " (reference " +
              (row.hasReference ? number(row.referenceValue) + ", line " + std::to_string(row.referenceLine)
                                : std::string("none")) +
              "; compared " + number(row.comparedValue) + ", line " + std::to_string(row.comparedLine) + ")");
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

  const Workspace& w_;
  Explanation& facts_;
};

}  // namespace

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

void addFindings(const Workspace& workspace, Explanation& facts) { Findings(workspace, facts).all(); }

}  // namespace velmora::explain
