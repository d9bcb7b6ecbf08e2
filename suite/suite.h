// velmora-suite: every case of a tree compared as velmora compares it, judged
// against its limit, and reported as lines, JSON, JUnit XML or HTML.
//
// A case is a folder holding "CompareThese.inp". Each case runs in a child
// process of its own (the reader keeps process-wide state, so two comparisons
// never share a process): the child enters the folder, runs the same
// comparison as velmora-explain, and sends back one record over a pipe. What
// the suite never does:
//   - create, change or delete anything in a case folder: the comparison opens
//     every file read-only and predicts what velmora would create instead of
//     creating it, and the limit file is only read;
//   - disagree with velmora: a case's result line is the line velmora prints,
//     and a case velmora cannot read shows velmora's two diagnostic lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::suite {

// The file in a case folder that holds the case's own limit: one number, with
// blank space around it; lines starting with '#' are comments. "0" makes an
// exact case, "1e-6" a loose one, "inf" one that fails only on NaN.
inline constexpr char kLimitFileName[] = "velmora-limit";
inline constexpr char kCaseFileName[] = "CompareThese.inp";

// Every folder holding CompareThese.inp under each root, roots in the order
// given, each tree depth first with the names of a folder in byte order. A
// folder reached twice (through a symbolic link, or a link back up the tree)
// is taken once, where it is first met, so links never loop. A root that
// cannot be opened, or a folder below it that cannot be listed, is an
// error: `error` gets the two lines to show and the result is empty.
// Paths are the root joined with the folder's path below it ("." alone for
// the root "." itself, "a/b" rather than "./a/b").
std::vector<std::string> findCases(const std::vector<std::string>& roots, std::string& error);

enum class LimitSource { None, Option, File };
struct Limit {
  LimitSource source = LimitSource::None;
  double value = 0;
  std::string text;  // as written, blank space removed
};

// The limit of the case in `folder`: its limit file when it has one (which
// wins), else `fallback` (--fail-above, or none). False with the two lines
// of a diagnostic in `error` (and line 2's words in `description`, when
// given) when the file cannot be read or holds anything but one number.
bool readCaseLimit(const std::string& folder, const Limit& fallback, Limit& limit,
                   std::string& error, std::string* description = nullptr);

enum class Verdict { Pass, Fail, Error, Report };
const char* verdictName(Verdict verdict);  // "pass", "fail", "error", "report"

// One of the rows that add most to a case's total, as strings ready to show.
struct TopRow {
  std::string row, referenceLine, comparedLine;       // "" where there is none
  std::string referenceValue, comparedValue;          // column 2 as read
  std::string scaledDifference, square, share;        // share in percent
  std::string referenceText, comparedText;            // the lines as written
};

// What the comparison of one case gives (filled in the child).
struct Comparison {
  bool compared = false;              // both files read and summed
  double total = 0;
  std::string resultLine;             // 26 characters, no line feed, when compared
  std::string stopText;               // the two lines velmora writes, when it stops
  std::string stopDescription;        // line 2 of them after "error: "
  std::vector<std::string> findings;  // velmora-explain's findings, most important first
  // The one shown on the case's line: the first finding that says more than
  // where the control file's names came from (which every case has).
  std::string firstFinding;
  std::string explainJson;            // velmora-explain's JSON report, when asked
  std::vector<TopRow> top;            // when asked
  std::string picture;                // the SVG picture, when asked
  std::string referenceName, comparedName;
};

struct CaseResult {
  std::string path;
  Limit limit;
  Verdict verdict = Verdict::Report;
  Comparison comparison;
  double seconds = 0;  // wall time of the case's child
};

// Decides a verdict: Error when the comparison stopped, Report without a
// limit, Fail when the total is above the limit or NaN, Pass otherwise.
Verdict judge(const Comparison& comparison, const Limit& limit);

struct RunOptions {
  unsigned jobs = 1;            // children at once
  bool wantJson = false;        // the explain JSON of each case
  bool wantDetail = false;      // top rows, their lines and the picture
  std::size_t top = 10;
  Limit failAbove;              // the limit of cases without a limit file
};

// Runs every case, `jobs` at once, and hands each result to `done` in the
// cases' order; `progress(finished, failures)` is called as cases end, in
// whatever order they end. Returns false (with `error` set) only when no child
// can be started at all; a case whose child fails is an Error case.
using CaseSink = std::function<void(std::size_t index, CaseResult& result)>;
using ProgressSink = std::function<void(std::size_t finished, std::size_t failing)>;
bool runCases(const std::vector<std::string>& cases, const RunOptions& options,
              const CaseSink& done, const ProgressSink& progress, std::string& error);

// The comparison of the case in the current directory (in a child, after it
// entered the case folder), its limit given for the explain report. The one
// place that knows velmora-explain's API.
void compareHere(const RunOptions& options, const Limit& limit, Comparison& out);

// Text as it can be shown: control bytes as \xHH and a backslash as \\, as
// velmora shows names; with `utf8Only`, bytes that are not valid UTF-8 also
// as \xHH (for XML, HTML and JSON).
std::string shown(std::string_view bytes, bool utf8Only = false);

// The outputs. Each returns false when a write failed (errno tells why).
struct Summary {
  std::size_t cases = 0, passed = 0, failed = 0, errors = 0, reported = 0;
  int exitStatus() const { return errors > 0 ? 2 : failed > 0 ? 1 : 0; }
};
void count(Summary& summary, const CaseResult& result);

// One line a case, tab-separated: path, result line (velmora's 26 characters,
// "-" when it stops), limit ("-" for none), verdict, first finding ("" for
// none); a case that cannot be read is followed by velmora's two lines, each
// after a tab.
bool writeCaseLine(std::FILE* out, const CaseResult& result);
bool writeSummaryLine(std::FILE* out, const Summary& summary);

// The JSON document: {"cases": [...], "summary": {...}}, written a case at a time.
bool writeJsonStart(std::FILE* out);
bool writeJsonCase(std::FILE* out, const CaseResult& result, bool first);
bool writeJsonEnd(std::FILE* out, const Summary& summary);

// JUnit XML: one testsuite "velmora-suite", a testcase per case (name the
// path), a failure element for a case above its limit, an error element for
// one that cannot be read.
bool writeJunit(std::FILE* out, const std::vector<CaseResult>& results, const Summary& summary,
                double seconds);

// The HTML report: a page (and picture) per case, written as the case ends,
// then index.html. `directory` exists.
bool writeCasePage(const std::string& directory, std::size_t index, const CaseResult& result);
bool writeIndexPage(const std::string& directory, const std::vector<CaseResult>& results,
                    const Summary& summary);
std::string casePageName(std::size_t index);  // "case-0001.html" for index 0

}  // namespace velmora::suite
