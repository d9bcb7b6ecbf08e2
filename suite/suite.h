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

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "companion/outputs.h"
#include "comparison/comparison.h"

namespace velmora::suite {

// The file in a case folder that holds the case's own limit: one number, with
// blank space around it; lines starting with '#' are comments. "0" makes an
// exact case, "1e-6" a loose one, "inf" one that fails only on NaN.
inline constexpr char kLimitFileName[] = "velmora-limit";
inline constexpr const char* kCaseFileName = kControlFileName;

enum class LimitSource { None, Option, File };
struct Limit {
  LimitSource source = LimitSource::None;
  double value = 0;
  std::string text;  // as written, blank space removed
};

using companion::FileId;

// The limit of the case in `folder`: its limit file when it has one (which
// wins), else `fallback` (--fail-above, or none). False with the two lines
// of a diagnostic in `error` (and line 2's words in `description`, when
// given) when the file cannot be read (a link that leads nowhere included)
// or holds anything but one number. `folderFd` is the folder, open; the
// file's identity goes to `file` when it is read.
bool readCaseLimit(int folderFd, const std::string& shownFolder, const Limit& fallback, Limit& limit,
                   std::string& error, std::string* description = nullptr, FileId* file = nullptr);
bool readCaseLimit(const std::string& folder, const Limit& fallback, Limit& limit, std::string& error,
                   std::string* description = nullptr);

// ---- the tree -----------------------------------------------------------------

// A file some case reads, shown as its case is (see companion::ReadFile).
using companion::ReadFile;

// Where a file that does not exist yet would be made: the nearest folder of
// `path` (relative to the folder `at`, or AT_FDCWD) that exists, and the
// names below it that do not, joined by '/' ("." and empty parts left out).
// False when `path` exists, or when no part of it can be looked up.
//   "new/x.dat" in a folder F without "new" -> F, "new/x.dat"
bool whereMissing(int at, const std::string& path, FileId& folder, std::string& missing);

// An entry of a run: a case, or a folder that cannot be listed or searched.
// A case is named by its path relative to the DIR it was found under ("."
// for the DIR itself); when several DIRs are given, by the DIR as given
// followed by that path, so that no two cases share a name. An entry that
// cannot be run (that folder, or a case whose limit file cannot be read) has
// `problem`, the two lines to show.
struct Entry {
  std::size_t root = 0;
  std::string path;  // relative to its DIR, for entering it
  std::string name;  // as shown in every output
  std::string problem, problemDescription;
  Limit limit;
  FileId folder;
  std::vector<ReadFile> reads;  // control, data and limit files, when identified
};

struct Tree {
  std::vector<std::string> roots;
  std::vector<int> rootFds;     // open, for the children to start from
  std::vector<std::string> rootNames;  // the name of each DIR itself
  std::vector<Entry> entries;
  Tree() = default;
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree();
};

// Every folder holding CompareThese.inp under each root, roots in the order
// given, each tree depth first with the names of a folder in byte order. A
// folder reached twice (through a symbolic link, or a link back up the tree)
// is taken once, where it is first met, so links never loop. The walk goes
// folder by folder from open descriptors, so no depth or path length stops
// it. A folder below a root that cannot be listed or searched is an entry of
// its own, with its problem; the walk goes on. False with the two lines in
// `error` only when a root cannot be opened or is no folder. With
// `identify`, each case's control file is read for its two names (only a
// regular one), and the files it reads are noted by identity.
bool findCases(const std::vector<std::string>& roots, const Limit& fallback, bool identify, Tree& tree,
               std::string& error);

// The parts of a case's name for JUnit: the folder above it ("." when it
// lies in the DIR itself), and its own folder's name (the DIR's own name for
// the DIR itself when that is "." or "..").
std::string caseClass(const Entry& entry);
std::string caseName(const Entry& entry, const Tree& tree);

// The entries of shard `index` (from 1) of `count`: every count-th entry from
// the index-th, in order. The shards of a tree are disjoint, their union is
// every entry, and the split depends on nothing but the tree.
void keepShard(std::vector<Entry>& entries, unsigned index, unsigned count);

enum class Verdict { Pass, Fail, Error, Report };
const char* verdictName(Verdict verdict);  // "pass", "fail", "error", "report"

// One of the rows that add most to a case's total, as strings ready to show.
struct TopRow {
  std::string row, referenceLine, comparedLine;       // "" where there is none
  std::string referenceValue, comparedValue;          // column 2 as read
  std::string scaledDifference, square, share;        // share in percent
  std::string referenceText, comparedText;            // the lines as written
  std::string referenceValues, comparedValues;        // the three values read: "1, 0.5, 0"
};

// What was read of one data file, as velmora-explain's report says it ("" where
// the load did not get that far).
struct CaseFile {
  std::string role;        // "reference" or "compared"
  std::string name;        // as the control file names it
  std::string layout;      // "1", "2" or "plain"
  std::string formatCode;  // the title's character that chose the layout, or why there is none
  std::string title;       // the title as read
  std::string header;      // "first 1, second 2, third 3, rate 4" (file units), layouts 1 and 2
  std::string table;       // "lines 22 to 41"
  std::size_t rows = 0;
};

// A finding of velmora-explain, as the child sends it: its kind (the name
// the explain JSON gives it: "relation", "stop", "largest"...), its text,
// and lines that go with it (a relation's exceptions).
struct CaseFinding {
  std::string kind, text;
  std::vector<std::string> details;
};

// What the comparison of one case gives (filled in the child).
struct Comparison {
  bool compared = false;              // both files read and summed
  double total = 0;
  std::size_t rowsCompared = 0;       // rows of the compared file summed
  std::string resultLine;             // 26 characters, no line feed, when compared
  std::string stopText;               // the two lines velmora writes, when it stops
  std::string stopDescription;        // line 2 of them after "error: "
  std::vector<CaseFinding> findings;  // velmora-explain's, in its order
  std::string explainJson;            // velmora-explain's JSON report, when asked
  std::vector<TopRow> top;            // when asked
  std::string picture;                // the SVG picture, when asked
  std::string referenceName, comparedName;
  std::vector<CaseFile> files;        // when asked (with the top rows)
};

// The kind of the finding a case's verdict adds (its limit, where that came
// from, and the total against it).
inline constexpr char kVerdictKind[] = "limit";

// The findings of a case in the order its messages give them: first the one
// that explains the total (a relation, the unexplained part of it, or where
// velmora stops), then the rest in velmora-explain's order.
std::vector<const CaseFinding*> findingsInOrder(const Comparison& comparison);
// The one a case's line, the JUnit message and the index show: the first in
// that order that says more than where the control file's names came from
// (which every case has) or than the verdict; nullptr for none.
const CaseFinding* leadFinding(const Comparison& comparison);

// The root mean square of a case's scaled differences (compared x 1000 -
// reference x 1000, per row): sqrt(total / rows); 0 without rows.
double rmsOfScaledDifferences(const Comparison& comparison);

// The record a child sends its parent: every field of a comparison, in the
// one order both sides take from its field list. decodeRecord is false for
// bytes that are not one whole record.
std::string encodeRecord(const Comparison& comparison);
bool decodeRecord(std::string_view bytes, Comparison& comparison);

struct CaseResult {
  std::string path;                   // the entry's name
  std::string junitClass, junitName;  // caseClass and caseName
  Limit limit;
  Verdict verdict = Verdict::Report;
  Comparison comparison;
  double seconds = 0;  // wall time of the case's child
};

// Decides a verdict: Error when the comparison stopped, Report without a
// limit, Fail when the total is above the limit or NaN, Pass otherwise.
Verdict judge(const Comparison& comparison, const Limit& limit);
// "velmora-limit" or "--fail-above": where a limit came from ("" for none).
const char* limitOrigin(const Limit& limit);
// Judges a case, and adds the verdict's finding (kind kVerdictKind) to a
// case judged against a limit:
//   "velmora-limit 1: the total 15625 is above the limit"
//   "--fail-above 1e5: the total 15625 is within the limit"
void judgeCase(CaseResult& result);

// A per-case wall-clock limit when none is given, in seconds: far above any
// comparison (a pair of million-row files takes about a second), low enough
// that a hung case ends a CI job well before the job's own limit.
inline constexpr double kDefaultTimeout = 600;

struct RunOptions {
  unsigned jobs = 1;            // children at once
  bool wantJson = false;        // the explain JSON of each case
  bool wantDetail = false;      // top rows, their lines and the picture
  std::size_t top = 10;
  double timeout = kDefaultTimeout;  // seconds; 0 for none
  std::string timeoutText = "600";  // as given, for the message
};

// Runs every entry, `jobs` at once, and hands each result to `done` in the
// entries' order; `progress(finished, failures)` is called as cases end, in
// whatever order they end. Each case runs in a child of its own, in a process
// group of its own, which enters the case folder from its DIR's descriptor
// one folder at a time; a child past the timeout is killed and its case is an
// error ("timed out after N s"). When `done` returns false (standard output
// is gone) the run stops early. When starting a child fails for want of
// processes or descriptors while others run, fewer run at once from then on,
// and `warn` is called once. On SIGTERM, SIGINT or SIGHUP (see
// catchEndSignals) every child is killed and waited for first.
// Returns kRunDone, kRunStopped (done said stop), the signal number that
// ended the run, or kRunFailed (with `error` set) when no child can be
// started at all.
inline constexpr int kRunDone = 0, kRunStopped = -1, kRunFailed = -2;
using CaseSink = std::function<bool(std::size_t index, CaseResult& result)>;
using ProgressSink = std::function<void(std::size_t finished, std::size_t failing)>;
using WarningSink = std::function<void(const std::string& line)>;
int runCases(const Tree& tree, const RunOptions& options, const CaseSink& done, const ProgressSink& progress,
             const WarningSink& warn, std::string& error);

// ---- accepting new references ---------------------------------------------

// One reference to replace by its case's compared file.
struct Acceptance {
  std::string caseName;
  std::string reference, compared;            // from the working directory
  std::string referenceShown, comparedShown;  // as the case shows them
  std::string target;                         // the reference, its links followed
  unsigned mode = 0;                          // its permissions, kept
};

// What accepting the `chosen` cases' results would replace, or false with
// the two lines of the first refusal in `error`, before anything is written:
// a case that cannot be read; a reference or compared file that is no
// regular file, or both one file; a reference outside its case folder
// (unless `shared`); one a rename cannot replace; one that a case of `all`
// not chosen also reads, or that two chosen cases share (files known by
// device and inode).
bool planAcceptance(const Tree& tree, const std::vector<Entry>& all, const std::vector<CaseResult>& chosen,
                    bool shared, std::vector<Acceptance>& plan, std::string& error);
// Copies the compared file beside the reference, then renames it over the
// reference in one step, its permissions kept: a run killed midway leaves
// the reference whole, old or new. False with two lines in `error`.
bool accept(const Acceptance& step, std::string& error);

// SIGTERM, SIGINT and SIGHUP are noted from now on instead of ending the
// process; pendingSignal() is the first noted (0: none). The program ends
// with endBySignal() once it has cleaned up: the signal's default action,
// so that its parent sees how it ended.
void catchEndSignals();
int pendingSignal();
[[noreturn]] void endBySignal(int signal);

// The comparison of the case in the current directory (in a child, after it
// entered the case folder), its limit given for the explain report. The one
// place that knows velmora-explain's API.
void compareHere(const RunOptions& options, const Limit& limit, Comparison& out);

// The names the control file in the current directory gives, as velmora's
// statements read them (read-only, nothing created), for knowing which files
// a case reads before it runs; as many as are read before velmora would stop.
std::vector<std::string> controlNamesHere();

// Text as it can be shown: control bytes as \xHH and a backslash as \\, as
// velmora shows names; with `utf8Only`, bytes that are not valid UTF-8 also
// as \xHH (for XML, HTML and JSON).
std::string shown(std::string_view bytes, bool utf8Only = false);

// Text that is already shown (velmora's lines, the findings: their control
// bytes and backslashes escaped once) made fit for XML and HTML without
// escaping it twice: bytes that are not UTF-8 as \xHH, and the five
// characters XML reserves as entities.
std::string markupOfShown(std::string_view text);
std::string markupLinesOfShown(std::string_view text);

// The outputs. Each returns false when a write failed (errno tells why).
struct Summary {
  std::size_t cases = 0, passed = 0, failed = 0, errors = 0, reported = 0;
  unsigned shard = 0, shards = 0;  // shard K of N; 0 of 0 for a whole run
  int exitStatus() const { return errors > 0 ? 2 : failed > 0 ? 1 : 0; }
};
void count(Summary& summary, const CaseResult& result);

// One line a case, tab-separated: path, result line (velmora's 26 characters,
// "-" when it stops), limit ("-" for none), verdict, leadFinding ("" for
// none); a case that cannot be read is followed by velmora's two lines, each
// after a tab.
bool writeCaseLine(std::FILE* out, const CaseResult& result);
bool writeSummaryLine(std::FILE* out, const Summary& summary);

// --suggest-limits: a first line stating the rule, then a line per compared
// case without a limit: path, the suggested limit, total, rows compared and
// the RMS of its scaled differences, tab-separated; other cases give none.
bool writeSuggestionHeading(std::FILE* out);
bool writeSuggestion(std::FILE* out, const CaseResult& result);
// The limit that passes `total` with room: twice it, rounded up to two
// significant digits ("0" for 0, "inf" for an infinite total; "" for NaN,
// which no limit passes).
//   15625 -> "3.2e4"   0.5 -> "1.0e0"   4.9 -> "9.8e0"   5 -> "1.0e1"
std::string suggestedLimit(double total);
// "5 cases: 2 within their limit, ..."; "1 case in shard 2 of 3: ..."
std::string summaryText(const Summary& summary);

// The JSON document: {"cases": [...], "summary": {...}}, written a case at a time.
bool writeJsonStart(std::FILE* out);
bool writeJsonCase(std::FILE* out, const CaseResult& result, bool first);
bool writeJsonEnd(std::FILE* out, const Summary& summary);

// JUnit XML: one testsuite `suiteName`, a testcase per case (classname
// the folder above it, or `suiteName` for a case in the DIR itself; name its own folder), a failure element for a case above its limit, an error element for
// one that cannot be read.
bool writeJunit(std::FILE* out, const std::vector<CaseResult>& results, const Summary& summary,
                double seconds, const std::string& suiteName = "velmora-suite");

// The HTML report: a page (and picture) per case, written as the case ends,
// then index.html. `directory` exists.
bool writeCasePage(const std::string& directory, std::size_t index, const CaseResult& result);
bool writeIndexPage(const std::string& directory, const std::vector<CaseResult>& results,
                    const Summary& summary);
std::string casePageName(std::size_t index);  // "case-0001.html" for index 0

// ---- the reporters -----------------------------------------------------------

// A file or folder a reporter writes, for the refusal of outputs that are
// inputs.
struct OutputTarget {
  std::string what;    // as diagnostics name it: "JUnit file 'x.xml'"
  std::string target;  // the name written, its links followed
  bool folder = false; // a folder made anew: nothing a case reads may lie in it
  bool exists = false;
  FileId id;           // where it exists
  std::vector<std::pair<FileId, std::string>> contents;  // an existing folder's files, which go
};

// One output of a run. The run asks each for the files it will write
// (targets) before any case runs, and refuses the run when one of them is a
// file a case reads (refuseOverlaps); then calls begin, addCase for each
// case in the cases' order, end with the summary, and commit to put what
// was written aside in place; or abort, which leaves nothing of it. A false
// return is a failure, which failure() describes in two lines; from addCase
// it stops the run (nobody reads the lines).
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual std::vector<OutputTarget> targets() const { return {}; }
  virtual bool wantsDetail() const { return false; }  // top rows, records and picture
  virtual bool begin() = 0;
  virtual bool addCase(std::size_t index, const CaseResult& result) = 0;
  virtual bool end(const Summary& summary, double seconds) = 0;
  virtual bool commit() { return true; }
  virtual void abort() {}
  virtual std::string failure() const = 0;
};

// The reporters; planning a file reporter stops the process with two lines
// (exit status 2) when its name cannot be written (a folder, a FIFO nobody
// reads, a target no rename can replace).
std::unique_ptr<Reporter> lineReporter();        // the lines (OUTPUT)
std::unique_ptr<Reporter> jsonReporter();        // --json
std::unique_ptr<Reporter> suggestionReporter();  // --suggest-limits
std::unique_ptr<Reporter> junitReporter(const std::string& file, const std::string& suiteName);
std::unique_ptr<Reporter> htmlReporter(const std::string& folder);

// Standard output and standard error, when they go to a regular file.
struct Stream {
  const char* name;
  bool regular = false;
  FileId id;
};
using Streams = std::array<Stream, 2>;
Streams standardStreams();

// No file a reporter writes is a file a case reads, a case folder, or inside
// a folder another makes anew; no file a case reads is where standard output
// or standard error goes: checked by device and inode, links followed. A
// refusal is two lines and exit status 2.
void refuseOverlaps(const Tree& tree, const std::vector<std::unique_ptr<Reporter>>& reporters);

}  // namespace velmora::suite
