// velmora-explain in-process: what the report says each layout left, each
// warning, the stops it predicts and meets (the very lines velmora writes,
// nothing created), the top rows, and the JSON as a real parser reads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "explain/explain.h"
#include "companion/companion.h"
#include "freeformat/records.h"
#include "freeformat/system.h"
#include "relation_json.h"

namespace velmora::explain {
namespace {

using namespace velmora::companion;

namespace fs = std::filesystem;

// Every case runs in a fresh directory, the working directory while it runs.
class InDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-explain-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previous_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  static void write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  static std::set<std::string> entries() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) names.insert(entry.path().filename());
    return names;
  }
  static Explanation explainNamed(const std::string& a, const std::string& b, std::size_t top = 10) {
    Request request;
    request.fromControlFile = false;
    request.referenceName = a;
    request.comparedName = b;
    request.top = top;
    Explanation facts;
    explainPair(request, workspace(), facts);
    return facts;
  }
  static Explanation explainControl() {
    Explanation facts;
    explainPair(Request{}, workspace(), facts);
    return facts;
  }
  static Workspace& workspace() {
    static Workspace w;
    return w;
  }

 private:
  fs::path dir_, previous_;
};

// A report as it is written, text or JSON; a failed write fails the test.
std::string reportOf(const Explanation& facts, bool json) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  const bool written = json ? writeJsonReport(out, facts) : writeTextReport(out, facts);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  EXPECT_TRUE(written);
  return text;
}
nlohmann::json jsonOf(const Explanation& facts) { return nlohmann::json::parse(reportOf(facts, true)); }

std::vector<std::string> pageExamples(const std::string& kind);

std::string repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

const std::string kPlain = "readings\n" + repeat("header\n", 20);  // rows from line 22
const std::string kColumns = repeat("column\n", 10);
const std::string kLayout1 =
    "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" + kColumns;
const std::string kRows = "1 0.25 0\n2 0.5 0\n";

// ---------------------------------------------------------------------------
// What the loader saw, file by file.

struct LayoutCase {
  const char* name;
  std::string reference;  // the file explained; the compared file is kPlain + kRows
  const char* layout;     // "1", "2", "plain"
  char formatCode;
  const char* title;
  double first, second, third, rate;  // file units
  long long rateLine;
  long long firstRow, lastRow;
  std::size_t rows;
  long long cutShort;
  std::size_t slashRows;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class Layouts : public InDirectory, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layouts, ReportWhatTheLoadSaw) {
  const LayoutCase& c = GetParam();
  write("a.dat", c.reference);
  write("b.dat", kPlain + kRows);
  const Explanation facts = explainNamed("a.dat", "b.dat");
  ASSERT_FALSE(facts.stop) << facts.stop->text;
  const LoadRecord& r = facts.files[0].record;
  const auto report = jsonOf(facts);
  const auto& file = report["files"][0];
  EXPECT_EQ(file["layout"], c.layout);
  EXPECT_EQ(file["format_code"], std::string(1, c.formatCode));
  EXPECT_EQ(file["title"], c.title);
  if (std::string(c.layout) == "plain") {
    EXPECT_TRUE(file["header"].is_null());
  } else {
    EXPECT_EQ(file["header"]["first"], c.first);
    EXPECT_EQ(file["header"]["second"], c.second);
    EXPECT_EQ(file["header"]["third"], c.third);
    EXPECT_EQ(file["header"]["rate"], c.rate);
    EXPECT_EQ(r.rateLine, c.rateLine);
    EXPECT_EQ(std::string(r.rateLabel, 4), "Rate");
  }
  auto lineOf = [](const nlohmann::json& line) { return line.is_null() ? 0 : line.get<long long>(); };
  EXPECT_EQ(lineOf(file["table_first_line"]), c.firstRow);
  EXPECT_EQ(lineOf(file["table_last_line"]), c.lastRow);
  EXPECT_EQ(file["rows"], c.rows);
  if (c.cutShort == 0) {
    EXPECT_TRUE(file["cut_short_row_line"].is_null());
  } else {
    EXPECT_EQ(file["cut_short_row_line"], c.cutShort);
  }
  EXPECT_EQ(file["slash_rows"], c.slashRows);
  EXPECT_EQ(file["rows_past_limit"], false);
}

const LayoutCase kLayoutCases[] = {
    {"layout1", kLayout1 + kRows, "1", '1', "VELMORA-DAT1", 1, 2, 3, 4, 9, 20, 21, 2, 0, 0},
    // third equals first: one more labelled number, its number on the next line
    {"layout2_extra", "VELMORA-DAT2\nPinit 2\nDepth 5\nPfinal 2\nShutin\n7\nRate 1\n" + kColumns + kRows,
     "2", '2', "VELMORA-DAT2", 2, 5, 7, 1, 7, 18, 19, 2, 0, 0},
    // third differs: a record passed over, then a search past two other labels
    {"layout2_search", "VELMORA-DAT2 x\nA 1\nB 2\nC 3\nskipped\nPressure 9\nrate 8\nRate 0.5\n" + kColumns + kRows,
     "2", '2', "VELMORA-DAT2", 1, 2, 3, 0.5, 8, 19, 20, 2, 0, 0},
    {"plain", kPlain + kRows, "plain", ' ', "readings", 0, 0, 0, 0, 0, 22, 23, 2, 0, 0},
    // a slash row counts as a row; the final row has two numbers only
    {"plain_slash_and_cut_short", kPlain + "1 0.25 0\n/\n\n3 0.5 0\n4 5", "plain", ' ', "readings", 0, 0,
     0, 0, 0, 22, 25, 3, 26, 1},
    // a 1 at character 13 is no format code
    {"code_at_13", "VELMORA-DATX1\n" + repeat("x\n", 20) + kRows, "plain", 'X', "VELMORA-DATX1", 0, 0, 0,
     0, 0, 22, 23, 2, 0, 0},
    {"no_rows", kPlain, "plain", ' ', "readings", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    // a quoted title whose twelfth character is a blank of its own: the value
    // reaches the code's place, and its blank is no padding to drop
    {"quoted_title_blank_at_12", "'VELMORA-DAT '\n" + repeat("x\n", 20) + kRows, "plain", ' ', "VELMORA-DAT ",
     0, 0, 0, 0, 0, 22, 23, 2, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Explain, Layouts, ::testing::ValuesIn(kLayoutCases),
                         [](const auto& row) { return std::string(row.param.name); });

// The header numbers are carried from the first load to the second, as in the
// run: a slash leaves the first file's number, in thousandths, and the report
// shows it as the statement left it.
TEST_F(InDirectory, HeaderStateCarriesToTheSecondFile) {
  write("a.dat", kLayout1 + kRows);
  write("b.dat", "VELMORA-DAT1\nPressure /\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" +
                     kColumns + kRows);
  const Explanation facts = explainNamed("a.dat", "b.dat");
  ASSERT_FALSE(facts.stop);
  EXPECT_EQ(facts.files[1].record.fileUnits.first, 0.001);
  EXPECT_EQ(facts.files[0].record.fileUnits.first, 1);
}

// Where each header statement started. A header longer than the record
// keeps its first statements and its last ones (here the matching rate
// label and the ten skipped records after it).
TEST_F(InDirectory, HeaderStatementLinesOfALongRateSearch) {
  std::string search;
  for (int i = 0; i < 100; ++i) search += "Pressure " + std::to_string(i) + "\n\n";
  write("a.dat", "VELMORA-DAT2\nA 1\nB 2\nC 3\nskip\n" + search + "Rate 0.5\n" + kColumns + kRows);
  write("b.dat", kPlain + kRows);
  const Explanation facts = explainNamed("a.dat", "b.dat");
  ASSERT_FALSE(facts.stop);
  const LoadRecord& r = facts.files[0].record;
  constexpr std::size_t kKept = LoadRecord::kMaxHeaderStatements;
  EXPECT_EQ(r.headerStatementCount, 3 + 1 + 101 + 10U);
  ASSERT_EQ(r.headerStatementsKept, kKept);
  const long long rateLine = 6 + 2 * 100;  // each search record is followed by a blank line
  EXPECT_EQ(r.rateLine, rateLine);
  const std::pair<std::size_t, long long> expected[] = {
      {0, 2}, {3, 5}, {4, 6}, {5, 8}, {kKept - 12, 6 + 2 * 99}, {kKept - 11, rateLine},
      {kKept - 10, rateLine + 1}, {kKept - 1, rateLine + 10}};
  for (const auto& [slot, line] : expected) EXPECT_EQ(r.headerStatements[slot].line, line) << slot;
  EXPECT_EQ(r.headerStatements[kKept - 11].statement, kFirstFileStatements.layout2Rate);
  EXPECT_EQ(r.headerStatements[kKept - 1].statement, kFirstFileStatements.layout2SkipsAfter);
  EXPECT_EQ(r.rows, 2U);
}

// ---------------------------------------------------------------------------
// Warnings, each naming the file and the line.

struct WarningCase {
  const char* name;
  std::string reference, compared;
  std::vector<long long> suspectReference;
  const char* warning;  // lies within one warning
};

void PrintTo(const WarningCase& c, std::ostream* os) { *os << c.name; }

class Warnings : public InDirectory, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(Warnings, NameTheFileAndLine) {
  const WarningCase& c = GetParam();
  write("a.dat", c.reference);
  if (!c.compared.empty()) write("b.dat", c.compared);
  const Explanation facts = explainNamed("a.dat", c.compared.empty() ? "a.dat" : "b.dat");
  ASSERT_FALSE(facts.stop) << facts.stop->text;
  EXPECT_EQ(facts.files[0].suspectLines, c.suspectReference);
  bool found = false;
  for (const auto& w : facts.warnings) found = found || w.find(c.warning) != std::string::npos;
  EXPECT_TRUE(found) << "no warning holds: " << c.warning;
}

std::string numberedRows(int from, int count) {
  std::string rows;
  for (int i = from; i < from + count; ++i) rows += std::to_string(i) + " 0." + std::to_string(i) + " 0\n";
  return rows;
}

std::vector<long long> linesFrom(long long first, long long last) {
  std::vector<long long> lines;
  for (long long line = first; line <= last; ++line) lines.push_back(line);
  return lines;
}

const WarningCase kWarningCases[] = {
    // nine records after the rate: the first row is the tenth
    {"header_one_line_short",
     "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" +
         repeat("column\n", 9) + kRows,
     kPlain + kRows, {19}, "'a.dat': the header passed over 1 record of exactly three numbers (line 19)"},
    // a spreadsheet with one column-name row loses twenty rows to the plain header
    {"spreadsheet", "x y z\n" + numberedRows(1, 25), kPlain + kRows,
     {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
     "'a.dat' seems to have no header: 20 of the 20 records the header passed over read like table rows "
     "(lines 2, 3, 4, 5, 6, ...)"},
    // a labelled number whose label is a number, in the rate search
    {"label_is_a_number", "VELMORA-DAT2\nA 1\nB 2\nC 3\nskip\n1, 2; 3\nRate 4\n" + kColumns + kRows,
     kPlain + kRows, {6}, "exactly three numbers (line 6)"},
    // Which records read like rows is the reader's answer: three values, all
    // numbers, nothing else (lines 2 to 7 do; a blank line is passed over).
    {"records_like_rows_by_the_readers_rules",
     "readings\n1 2 3\n1,2;3\n -1.5e3\t.5 7 \r\n1.0D+03 1.5+3 NaN\n1 , 2 , 3\n1 2 3,\n1 2\n1 2 3 4\n"
     "a 2 3\n1,,2 3\n,1 2 3\n1 2 3 /\n'1' 2 3\n2*1 3\n\n1 2 0.5C\n" + repeat("header\n", 5) + kRows,
     kPlain + kRows, {2, 3, 4, 5, 6, 7},
     "'a.dat': the header passed over 6 records of exactly three numbers (lines 2, 3, 4, 5, 6, ...)"},
    // Statements read over several lines: a labelled number whose number is
    // on the next line, one whose label is a row's first value after a
    // blank line. Each record is judged as the reader read it.
    {"statements_over_several_lines", "VELMORA-DAT2\nA\n1\nB 2\n\n1 2 3\nC 3\nRate 4\n" + kColumns + kRows,
     kPlain + kRows, {6}, "'a.dat': the header passed over 1 record of exactly three numbers (line 6)"},
    // The header's last statement reads a quoted value over three lines
    // (21 to 23): all of them are records the header passed over.
    {"last_statement_over_several_lines", "readings\n" + repeat("1 2 3\n", 19) + "'a\nnote\nb'\n" + kRows,
     kPlain + kRows, linesFrom(2, 20),
     "'a.dat' seems to have no header: 19 of the 22 records the header passed over read like table rows"},
    // A record across the end of the reader's first block (64 KiB): line 3
    // starts in it and ends in the next.
    {"record_across_the_first_block", "readings\nnote" + std::string(65520, ' ') + "\n" + repeat("1 2 3\n", 19) + kRows,
     kPlain + kRows, linesFrom(3, 21),
     "'a.dat' seems to have no header: 19 of the 20 records the header passed over read like table rows"},
    // The header's last record (line 21) across it: the first row statement
    // reads its end.
    {"last_record_across_the_first_block",
     "readings\nnote" + std::string(65412, ' ') + "\n" + repeat("1 2 3\n", 19) + kRows, kPlain + kRows,
     linesFrom(3, 21), "'a.dat' seems to have no header: 19 of the 20 records the header passed over read like table rows"},
    // A record longer than the reader describes (64 KiB) never reads like a row.
    {"record_longer_than_described", "readings\n1 2 3" + std::string(70000, ' ') + "\n" + repeat("1 2 3\n", 19) + kRows,
     kPlain + kRows, linesFrom(3, 21),
     "'a.dat' seems to have no header: 19 of the 20 records the header passed over read like table rows"},
    // Statements that read past the reader's first block (64 KiB) of blank
    // records: a title that reads like a row, and a labelled number whose
    // number comes 70,000 records on. The records are told while the
    // statement reads, and judged as when they come after it.
    {"title_after_a_block_of_blank_records", std::string(70000, '\n') + repeat("1 2 3\n", 21) + kRows,
     kPlain + kRows, linesFrom(70002, 70021),
     "'a.dat' seems to have no header: 20 of the 20 records the header passed over read like table rows"},
    {"number_after_a_block_of_blank_records",
     "VELMORA-DAT2\nA\n" + std::string(70000, '\n') + "1\nB 2\n\n1 2 3\nC 3\nRate 4\n" + kColumns + kRows,
     kPlain + kRows, {70006}, "'a.dat': the header passed over 1 record of exactly three numbers (line 70006)"},
    {"same_file", kPlain + kRows, "", {}, "a.dat and a.dat are the same file"},
    {"row_counts", kPlain + kRows, kPlain + kRows + "3 1 0\n", {},
     "a.dat has 2 rows, b.dat has 3: b.dat rows 3 to 3 (from line 24) have no reference row"},
};

INSTANTIATE_TEST_SUITE_P(Explain, Warnings, ::testing::ValuesIn(kWarningCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(InDirectory, HardLinkIsTheSameFile) {
  write("a.dat", kPlain + kRows);
  ASSERT_EQ(::link("a.dat", "b.dat"), 0);
  const Explanation facts = explainNamed("a.dat", "b.dat");
  ASSERT_EQ(facts.warnings.size(), 1U);
  EXPECT_NE(facts.warnings[0].find("same file"), std::string::npos);
}

TEST_F(InDirectory, RowsPastTheLimitAreNamedNotRead) {
  // The row past the limit is not a number: it is never read as one.
  write("a.dat", kPlain + repeat("1 1 1\n", 1'000'000) + "not a row\n");
  write("b.dat", kPlain + kRows);
  const Explanation facts = explainNamed("a.dat", "b.dat", 0);
  ASSERT_FALSE(facts.stop);
  EXPECT_TRUE(facts.files[0].record.rowsPastLimit);
  EXPECT_FALSE(facts.files[1].record.rowsPastLimit);
  EXPECT_EQ(facts.files[0].record.rows, 1'000'000U);
  EXPECT_EQ(facts.files[0].record.firstLine(999'999), 1'000'021);
  bool found = false;
  for (const auto& w : facts.warnings) found = found || w == "a.dat after line 1000021: rows past 1,000,000 were not read";
  EXPECT_TRUE(found);
  EXPECT_EQ(pageExamples("rows-past-limit"),
            std::vector<std::string>{"a.dat after line 1000021: rows past 1,000,000 were not read"});
}

// ---------------------------------------------------------------------------
// Findings: each ordinary mistake, laid out as a pair, is named by its kind,
// with words that say how to fix it; the JSON carries the same finding.

struct FindingCase {
  const char* name;
  std::string reference, compared;  // a.dat and b.dat ("/" : a directory named b.dat)
  std::string control;              // CompareThese.inp; empty: the names are given
  std::optional<double> failAbove;
  const char* kind;
  const char* role;
  std::size_t row;                  // 0: none
  const char* textHas;
  bool pageExample = false;         // the whole text is the manual page's example of its kind
  const char* noFindingHas = nullptr;  // words no finding may say (a claim that would be false)
};

void PrintTo(const FindingCase& c, std::ostream* os) { *os << c.name; }

// The examples the manual page gives for a finding kind: the italic lines of
// its entry in the list of kinds, with the page's escapes turned back into
// the characters they stand for.
std::vector<std::string> pageExamples(const std::string& kind) {
  std::ifstream page(EXPLAIN_PAGE);
  std::string roffKind;
  for (char c : kind) roffKind += c == '-' ? std::string("\\-") : std::string(1, c);
  std::vector<std::string> examples;
  bool inFindings = false, inEntry = false;
  for (std::string line; std::getline(page, line);) {
    if (line.starts_with(".SS")) inFindings = line == ".SS Findings";
    if (!inFindings) continue;
    if (line == ".TP") inEntry = false;
    if (line == ".B " + roffKind) inEntry = true;
    if (!inEntry || !line.starts_with(".I \"") || !line.ends_with("\"")) continue;
    std::string text = line.substr(4, line.size() - 5);
    for (const auto& [escape, character] : {std::pair<std::string, std::string>{"\\(aq", "'"},
                                            {"\\(rs", "\\"}, {"\\-", "-"}, {"\\&", ""}}) {
      for (std::size_t at = text.find(escape); at != std::string::npos; at = text.find(escape, at + character.size())) {
        text.replace(at, escape.size(), character);
      }
    }
    examples.push_back(text);
  }
  return examples;
}

class Findings : public InDirectory, public ::testing::WithParamInterface<FindingCase> {};

// Reads of a few bytes each: a record is never in the reader's buffer whole
// from one read.
ssize_t fewBytesRead(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, std::min<std::size_t>(size, 7)); }

// Every row's record was judged for its causes as the reader read it, none
// from the bytes read again.
void expectRowsJudged(const Explanation& facts) {
  for (int f = 0; f < 2; ++f) {
    const LoadRecord& r = facts.files[f].record;
    for (std::size_t i = 0; i < r.rows; ++i) {
      EXPECT_NE(r.causes[i] & kCausesJudged, 0) << "file " << f << " row " << i + 1 << " not judged as read";
    }
  }
}

// What each row's record was judged to hold, and how compared column 2 is
// written, a row of each file an entry; "" where the record was not at hand
// whole to be judged.
std::vector<std::string> rowRecordFactsOf(const Explanation& facts) {
  std::vector<std::string> all;
  for (int f = 0; f < 2; ++f) {
    const LoadRecord& r = facts.files[f].record;
    for (std::size_t i = 0; i < r.rows; ++i) {
      std::string row;
      if ((r.causes[i] & kCausesJudged) != 0) {
        row = std::to_string(f) + ":" + std::to_string(i + 1) + " causes " + std::to_string(r.causes[i]);
        if (r.column2Written != nullptr) {
          row += " written " + std::to_string(r.column2Written[i].decimals) + "/" +
                 std::to_string(r.column2Written[i].significant);
        }
      }
      all.push_back(row);
    }
  }
  return all;
}

// The findings, one a line; with `rowBytes`, only those that name bytes of a row's record.
std::string findingsOf(const Explanation& facts, bool rowBytes = false) {
  std::string all;
  for (const Finding& finding : facts.findings) {
    if (rowBytes && (finding.kind != FindingKind::RecordBytes || finding.row == 0)) continue;
    all += std::string(findingKindName(finding.kind)) + ": " + finding.text + "\n";
  }
  return all;
}

TEST_P(Findings, NameTheMistake) {
  const FindingCase& c = GetParam();
  write("a.dat", c.reference);
  if (c.compared == "/") {
    fs::create_directory("b.dat");
  } else {
    write("b.dat", c.compared);
  }
  Request request;
  request.failAbove = c.failAbove;
  if (c.control.empty()) {
    request.fromControlFile = false;
    request.referenceName = "a.dat";
    request.comparedName = "b.dat";
  } else {
    write("CompareThese.inp", c.control);
  }
  Explanation facts;
  explainPair(request, workspace(), facts);
  expectRowsJudged(facts);
  if (facts.stop && facts.stop->dataFile >= 0 && facts.stop->line > 0) {
    EXPECT_NE(facts.stop->causes & kCausesJudged, 0) << "the record of the stop not judged as read";
  }
  // Read a few bytes at a time, the rows' records are judged alike: a
  // record the reader read in many pieces is joined whole, or, where the
  // reader had not yet read its end, judged as shown. Read so, no record is
  // taken whole by the faster reads, so what they say a record can hold is
  // weighed against every byte of it.
  {
    const std::vector<std::string> wholeBlocks = rowRecordFactsOf(facts);
    velmora::detail::systemCalls.read = fewBytesRead;
    Explanation pieces;
    explainPair(request, workspace(), pieces);
    velmora::detail::systemCalls.read = ::read;
    EXPECT_EQ(findingsOf(pieces, true), findingsOf(facts, true));
    const std::vector<std::string> inPieces = rowRecordFactsOf(pieces);
    ASSERT_EQ(inPieces.size(), wholeBlocks.size());
    for (std::size_t k = 0; k < inPieces.size(); ++k) {
      if (!inPieces[k].empty()) {
        EXPECT_EQ(inPieces[k], wholeBlocks[k]);
      }
    }
  }
  const Finding* found = nullptr;
  const std::string all = findingsOf(facts);
  for (const Finding& finding : facts.findings) {
    if (found == nullptr && std::string(findingKindName(finding.kind)) == c.kind) found = &finding;
  }
  ASSERT_NE(found, nullptr) << "no " << c.kind << " among:\n" << all;
  if (c.noFindingHas != nullptr) {
    EXPECT_EQ(all.find(c.noFindingHas), std::string::npos) << all;
  }
  EXPECT_EQ(std::string(findingRoleName(found->role)), c.role);
  EXPECT_EQ(found->row, c.row);
  EXPECT_NE(found->text.find(c.textHas), std::string::npos) << found->text;
  if (c.pageExample) {
    const auto examples = pageExamples(c.kind);
    EXPECT_NE(std::find(examples.begin(), examples.end(), found->text), examples.end())
        << "the manual page's example of " << c.kind << " is not what the program says:\n" << found->text;
  }
  const auto report = jsonOf(facts);
  bool inJson = false;
  for (const auto& finding : report["findings"]) {
    inJson = inJson || (finding["kind"] == c.kind && finding["text"] == found->text &&
                        finding["role"] == c.role && (c.row == 0 ? finding["row"].is_null() : finding["row"] == c.row));
  }
  EXPECT_TRUE(inJson) << report["findings"].dump(2);
  for (const auto& finding : report["findings"]) {
    EXPECT_EQ(finding.contains("relation"), finding["kind"] == "relation") << finding.dump(2);
    if (finding.contains("relation")) expectRelationJson(finding["relation"]);
  }
  // The text report and the picture's caption say the same words.
  const std::string text = reportOf(facts, false);
  const std::string line = std::string("  ") + c.kind + ": " + found->text + "\n";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  std::vector<std::string> caption;
  plotDataOf(facts, caption);
  std::size_t before = 0;  // findings the caption takes ahead of this one
  for (const Finding* f = facts.findings.data(); f != found; ++f) before += f->kind != FindingKind::ControlFile;
  const bool inCaption =
      std::find(caption.begin(), caption.end(), std::string(c.kind) + ": " + found->text) != caption.end();
  EXPECT_EQ(inCaption, found->kind != FindingKind::ControlFile && before < kCaptionFindings) << c.kind;
}

std::string tableOf(std::initializer_list<const char*> rows) {
  std::string table;
  for (const char* row : rows) table += std::string(row) + "\n";
  return table;
}
const std::string kFive = tableOf({"1 0.25 0", "2 0.5 0", "3 0.75 0", "4 1 0", "5 1.25 0"});

// Rows "i 0.5 0" after the plain header, the one whose record starts in the
// last bytes of the reader's first block of 64 KiB and ends in its second
// written as its number and `across`, then five more.
std::string acrossBlocks(const char* across) {
  constexpr std::size_t kBlock = std::size_t{64} << 10;
  std::string text = kPlain;
  int row = 1;
  for (;; ++row) {
    const std::string next = std::to_string(row) + " 0.5 0\n";
    if (text.size() + next.size() >= kBlock - 2) break;
    text += next;
  }
  text += std::to_string(row) + across + "\n";
  for (int k = 1; k <= 5; ++k) text += std::to_string(row + k) + " 0.5 0\n";
  return text;
}

// Twenty rows "i v t", row `row` (from 1) left out or given twice as asked;
// v is i x i / 100 scaled by `factor`, plus `difference` on row `differs`.
std::string twenty(double factor = 1, int differs = 0, double difference = 0, bool swapped = false, int dropped = 0,
                   int doubled = 0) {
  std::string rows;
  for (int i = 1; i <= 20; ++i) {
    if (i == dropped) continue;
    const double v = i * i / 100.0 * factor, t = i / 8.0 + 3;
    const double added = i == differs ? difference : 0;
    const std::string row = std::to_string(i) + " " + shortestText((swapped ? t : v) + added) + " " +
                            shortestText(swapped ? v : t) + "\n";
    rows += row;
    if (i == doubled) rows += row;
  }
  return rows;
}

// Twenty rows as twenty() writes them, column 2 off by relative errors of up
// to 1% that follow no rule.
std::string noisy() {
  std::string rows;
  for (int i = 1; i <= 20; ++i) {
    const double v = i * i / 100.0, error = ((i * 37) % 21 - 10) / 1000.0;
    rows += std::to_string(i) + " " + shortestText(v * (1 + error)) + " " + shortestText(i / 8.0 + 3) + "\n";
  }
  return rows;
}

const FindingCase kFindingCases[] = {
    // The reference's header is a record short: its first row is taken as
    // its last header record.
    {"header_one_record_short",
     "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" +
         repeat("column\n", 9) + kFive,
     kLayout1 + kFive, "", {}, "relation", "reference", 1,
     "the reference's header is one record short: its first row (line 19) was read as a header record, so "
     "the tables are out of step by 1 row from row 1 on", true},
    // The same, in the compared file: compared row i is reference row i + 1.
    {"compared_header_one_record_short", kLayout1 + kFive,
     "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" +
         repeat("column\n", 9) + kFive,
     "", {}, "relation", "compared", 1, "the compared file's header is one record short"},
    {"header_one_record_short_named", kLayout1.substr(0, kLayout1.size() - 7) + kFive, kLayout1 + kFive, "", {},
     "header-records-like-rows", "reference", 0, "the header is probably one line short", true},
    {"format_code_at_13", "VELMORA-DAT-1 survey" + kLayout1.substr(kLayout1.find('\n')) + kFive,
     kLayout1 + kFive, "", {}, "layouts-differ", "pair", 0,
     "a '1' stands at character 13: the format code may be misplaced", true},
    // A quoted title value holds blanks; its code is its own character 12,
    // and a '1' further on is no misplaced code.
    {"quoted_title_value", "'Velmora DAT2 run 1'\nA 1\nB 2\nC 3\nskip\nRate 4\n" + kColumns + kFive,
     kPlain + kFive, "", {}, "layouts-differ", "pair", 0,
     "in the reference file character 12 of the title value 'Velmora DAT2 run 1' is '2'; in the compared file "
     "the title value 'readings' is 8 characters long"},
    // A title statement that finds a slash stores nothing: the layout comes
    // from what the reference's last header statement left in its place.
    {"title_slash_keeps_earlier_text", kLayout1 + kFive, "/\n" + repeat("header\n", 20) + kFive, "", {},
     "layouts-differ", "pair", 0,
     "in the compared file the title statement read no value (it found a slash first), so the layout comes from "
     "the text an earlier statement left there: the text 'column' is 6 characters long, shorter than 12"},
    // A title's bytes a terminal would take for a command (a lone 0x9B, the
    // encoding of U+009B) are shown escaped; other UTF-8 text as it is.
    {"title_with_terminal_commands", "t\x9b" "1\xc2\x9b" "2\xce\xb1\n" + repeat("h\n", 20) + kFive, kLayout1 + kFive,
     "", {}, "layouts-differ", "pair", 0,
     "the title value 't\\x9b1\\xc2\\x9b2\xce\xb1' is 8 characters long, shorter than 12"},
    {"short_title_value", "time\n" + repeat("h\n", 20) + kFive, kLayout1 + kFive, "", {}, "layouts-differ", "pair",
     0, "the title value 'time' is 4 characters long, shorter than 12"},
    {"spreadsheet_without_header", "x y z\n" + repeat("1 2 3\n", 25), kPlain + kFive, "", {}, "no-header",
     "reference", 0, "seems to have no header: 20 of the 20 records", true},
    // Rows from the first line: the title is not counted among the records
    // the header passed over.
    {"rows_from_the_first_line", repeat("1 2 3\n", 30), kPlain + kFive, "", {}, "no-header", "reference", 0,
     "seems to have no header: 20 of the 20 records the header passed over read like table rows (lines 2, 3,"},
    {"unquoted_absolute_path", kPlain + kFive, kPlain + kFive, "a.dat\n/data/b.dat\n", {}, "control-file",
     "control", 0, "write the name between quotes ('/data/b.dat')", true},
    {"comma_before_second_name", kPlain + kFive, kPlain + kFive, "a.dat\n,b.dat\n", {}, "control-file",
     "control", 0, "gives no value (a null value)"},
    {"control_lines_described", kPlain + kFive, kPlain + kFive, "a.dat\n\n  b.dat  extra\n", {}, "control-file",
     "control", 0, "the compared name comes from line 3, '  b.dat  extra'"},
    // A tab and a lone carriage return are blanks to the reader: the comma
    // after them is a null value, and no name comes from line 2.
    {"null_value_after_tab_and_cr", kPlain + kFive, kPlain + kFive, "a.dat\n\t\r,b.dat\n", {}, "control-file",
     "control", 0,
     "CompareThese.inp: the reference name comes from line 1, 'a.dat'; the compared name: line 2, "
     "'\\x09\\x0d,b.dat', opens with a comma or semicolon, which gives no value (a null value). So the second "
     "name is lost and the first name, 'a.dat', is used again"},
    // A header record longer than 4 KiB that reads like a row is one.
    {"long_header_record_like_a_row", "readings\n1 2 3" + std::string(5000, ' ') + "\n" + repeat("header\n", 19) + kFive,
     kPlain + kFive, "", {}, "header-records-like-rows", "reference", 0,
     "passed over 1 record of exactly three numbers (line 2)"},
    {"decimal_commas", kPlain + tableOf({"30,0 1,2950 20,3", "31,0 1,3000 20,4"}),
     kPlain + tableOf({"30.0 1.2950 20.3", "31.0 1.3000 20.4"}), "", {}, "zero-column", "reference", 0,
     "a decimal comma", true},
    // The statement takes the next line's first value and ignores the rest of it.
    {"row_lost_its_third_value", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5", "3 0.75 0", "4 1 0"}),
     "", {}, "multi-line-rows", "compared", 2,
     "'b.dat': row 2 was read from lines 23 to 24: line 23 ('2 0.5') holds 2 values, fewer than a row's three, "
     "so the statement went on to line 24 ('3 0.75 0') for its third value and ignored the 2 values after it "
     "there; the row reads as 2, 0.5, 3; from row 3 on, the two tables are out of step: give line 23 the values "
     "it lacks", true},
    // One value on the first line, a blank line, then a slash: no count of the
    // values taken is claimed, and the slash is named.
    {"row_spread_over_lines", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2", "", "0.5 /", "3 0.75 0"}), "", {},
     "multi-line-rows", "compared", 2,
     "line 23 ('2') holds 1 value, fewer than a row's three, so the statement went on to line 25 ('0.5 /'), where "
     "a slash ended it (the values it did not reach read as 0); the row reads as 2, 0.5, 0"},
    // Decimal commas: every record holds six values, and column 2 reads as 0.
    {"decimal_commas_surplus", kPlain + tableOf({"30.0 1.2950 20.3", "31.0 1.3000 20.4"}),
     kPlain + tableOf({"30,0 1,2950 20,3", "31,0 1,3000 20,4"}), "", {}, "surplus-values", "compared", 1,
     "'b.dat': every row's record (2 rows) holds more than three values (lines 22, 23); a row takes the first "
     "three and the rest is ignored: row 1, line 22 ('30,0 1,2950 20,3'), reads as 30, 0, 1, and its 3 other "
     "values are ignored. Decimal commas (30,0 is the two values 30 and 0)", true},
    // A thousands separator in column 1 moves the row's values one column on.
    {"thousands_separator_surplus", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2 0.5 0", "1,234.5 0.75 0", "4 1 0", "5 1.25 0"}), "", {}, "surplus-values",
     "compared", 3,
     "'b.dat': 1 record holds more than three values (line 24); a row takes the first three and the rest is "
     "ignored: row 3, line 24 ('1,234.5 0.75 0'), reads as 1, 234.5, 0.75, and its 1 other value is ignored. "
     "A thousands separator (1,234.5 is 1 and 234.5)"},
    // A short record among short ones holds a fourth value.
    {"short_record_surplus", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75 0 9", "4 1 0", "5 1.25 0"}), "", {}, "surplus-values",
     "compared", 3,
     "'b.dat': 1 record holds more than three values (line 24); a row takes the first three and the rest is "
     "ignored: row 3, line 24 ('3 0.75 0 9'), reads as 3, 0.75, 0, and its 1 other value is ignored."},
    // A blank line among short records: the rows after it are a line further on.
    {"duplicated_row_after_blank_line", kPlain + kFive, kPlain + "1 0.25 0\n2 0.5 0\n\n2 0.5 0\n3 0.75 0\n4 1 0\n",
     "", {}, "relation", "compared", 3, "the compared file has 1 extra row at line 25"},
    {"duplicated_row", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5 0", "2 0.5 0", "3 0.75 0", "4 1 0"}),
     "", {}, "relation", "compared", 3, "the compared file has 1 extra row at line 24", true},
    {"unit_factor", kPlain + kFive, kPlain + tableOf({"1 250 0", "2 500 0", "3 750 0", "4 1000 0", "5 1250 0"}),
     "", {}, "relation", "pair", 0, "compared column 2 is 1000 x the reference's on 5 of 5 rows", true},
    {"swapped_columns", kPlain + tableOf({"1 0.25 7", "2 0.5 8", "3 0.75 9"}),
     kPlain + tableOf({"1 7 0.25", "2 8 0.5", "3 9 0.75"}), "", {}, "relation", "compared", 0,
     "compared column 2 is the reference's column 3 on 3 of 3 rows", true},
    // The same mistakes with one genuine difference beside them.
    {"unit_factor_one_difference", kPlain + twenty(), kPlain + twenty(1000, 7, 20), "", {}, "relation", "pair", 0,
     "compared column 2 is 1000 x the reference's on 19 of 20 rows; following it, the total would be 4e8", true},
    {"duplicated_row_one_difference", kPlain + twenty(), kPlain + twenty(1, 15, 0.5, false, 0, 6), "", {}, "relation",
     "compared", 7, "the compared file has 1 extra row at line 28 (row 7)", true},
    {"noise", kPlain + twenty(), kPlain + noisy(), "", {}, "unexplained", "pair", 0,
     "no relation between the files explains the total", true},
    {"slash_before_column_2", kPlain + twenty(), kPlain + tableOf({"1 / 0.01 3.125", "2 / 0.04 3.25", "3 / 0.09 3.375"}), "",
     {}, "constant-column", "compared", 0, "a slash ended each row before its second value", true},
    {"swapped_columns_one_difference", kPlain + twenty(), kPlain + twenty(1, 3, 0.25, true), "", {}, "relation",
     "compared", 0, "compared column 2 is the reference's column 3 on 19 of 20 rows"},
    {"header_one_record_short_one_difference",
     "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" + repeat("column\n", 9) +
         twenty(),
     kLayout1 + twenty(1, 12, -0.5), "", {}, "relation", "reference", 1,
     "the reference's header is one record short: its first row (line 19) was read as a header record"},
    {"missing_rows_one_difference", kPlain + twenty(), kPlain + twenty(1, 18, 0.5, false, 9), "", {}, "relation",
     "reference", 9, "the compared file lacks the reference's row 9 (line 30)"},
    // Records read other than their writer meant, their bytes named.
    {"sign_makes_an_exponent", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75+1 0", "4 1 0", "5 1.25 0"}),
     "", {}, "record-bytes", "compared", 3,
     "'b.dat' line 24 (row 3): '3 0.75+1 0' reads as 3, 7.5, 0: in '0.75+1' the sign after the digits starts an "
     "exponent, so it reads as 0.75e+1", true},
    // A listed row (not the first that differs) whose compared record holds
    // nothing: the reference's record is looked at all the same.
    {"sign_makes_an_exponent_in_the_reference", kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75+1 0", "4 1 0", "5 1.25 0"}),
     kPlain + tableOf({"1 0.25 0", "2 0.625 0", "3 0.75 0", "4 1 0", "5 1.25 0"}), "", {}, "record-bytes", "reference", 3,
     "'a.dat' line 24 (row 3): '3 0.75+1 0' reads as 3, 7.5, 0: in '0.75+1' the sign after the digits starts an "
     "exponent"},
    // The record read across the reader's two blocks is judged whole.
    {"sign_makes_an_exponent_across_blocks", acrossBlocks(" 0.5 0"), acrossBlocks(" 0.75+1 0"), "", {},
     "record-bytes", "compared", 6045, "(row 6045): '6045 0.75+1 0' reads as 6045, 7.5, 0: in '0.75+1' the sign"},
    // The sign the seventeenth byte of a longer record, right after a digit.
    {"sign_makes_an_exponent_in_a_long_record", kPlain + kFive,
     kPlain + "1 0.25 0\n2 0.5 0\n3" + std::string(11, ' ') + "0.75+1 0" + std::string(14, ' ') + "\n4 1 0\n5 1.25 0\n",
     "", {}, "record-bytes", "compared", 3, "in '0.75+1' the sign after the digits starts an exponent"},
    // A row read from two lines is judged as it is shown, its lines joined.
    {"slash_ends_a_row_read_from_two_lines", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2", "0.625 /", "3 0.75 0", "4 1 0", "5 1.25 0"}), "", {}, "record-bytes",
     "compared", 2, "'b.dat' line 23 (row 2): '2 | 0.625 /' reads as 2, 0.625, 0: the slash at character 9 ends"},
    {"slash_ends_a_row", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75 0", "4 / 0", "5 1.25 0"}), "",
     {}, "record-bytes", "compared", 4, "the slash at character 3 ends the row"},
    // A slash after the row's three values (a comment) is never reached.
    {"comment_after_a_slash", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2 0.625 0 / first shot", "3 0.75 0", "4 1 0", "5 1.25 0"}), "", {},
     "first-difference", "pair", 2, "the first row that differs is row 2", false, "did not reach"},
    // A sign right after a point, and a semicolon between digits among tabs:
    // records the one-pass read takes whole.
    {"sign_after_a_point_makes_an_exponent", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 75.+1 0", "4 1 0", "5 1.25 0"}), "", {}, "record-bytes", "compared", 3,
     "in '75.+1' the sign after the digits starts an exponent"},
    {"semicolon_inside_a_number_among_tabs", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2\t0;5\t0", "3 0.75 0", "4 1 0", "5 1.25 0"}), "", {}, "record-bytes", "compared", 2,
     "the semicolon inside '0;5' separates values, so it reads as the two values 0 and 5"},
    {"separator_inside_a_number", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0,5 0", "3 0.75 0", "4 1 0", "5 1.25 0"}),
     "", {}, "record-bytes", "compared", 2,
     "the comma inside '0,5' separates values, so it reads as the two values 0 and 5"},
    {"invisible_bytes_stop", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5\xc2\xa0 0", "3 0.75 0"}), "", {},
     "record-bytes", "compared", 0,
     "'b.dat' line 23: '2 0.5\\xc2\\xa0 0': it holds bytes the eye does not see: \\xc2\\xa0 (a non-breaking space) at "
     "character 6", true},
    // A lone carriage return is a blank to the reader: not a hidden byte.
    {"invisible_bytes_after_a_lone_cr", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5\r\xc2\xa0 0", "3 0.75 0"}),
     "", {}, "record-bytes", "compared", 0,
     "it holds bytes the eye does not see: \\xc2\\xa0 (a non-breaking space) at character 7; remove"},
    {"control_character", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3\x0c 0.5 0", "4 1 0", "5 1.25 0"}), "",
     {}, "record-bytes", "compared", 0, "\\x0c (a form feed) at character 2"},
    {"thousands_separator", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 1,250.75 0", "4 1 0", "5 1.25 0"}),
     "", {}, "first-difference", "pair", 3, "row 3 (reference 0.75, line 24; compared 1, line 24)", true},
    // Rows past a blank line, and past a row of two lines, are told by
    // their own lines.
    {"first_difference_after_a_blank_line", kPlain + kFive,
     kPlain + tableOf({"1 0.25 0", "2 0.5 0", "", "3 1 0", "4 1 0", "5 1.25 0"}), "", {}, "first-difference", "pair",
     3, "row 3 (reference 0.75, line 24; compared 1, line 25)"},
    {"first_difference_after_a_row_of_two_lines", kPlain + kFive,
     kPlain + tableOf({"1 0.25", "0", "2 0.5 0", "3 1 0", "4 1 0", "5 1.25 0"}), "", {}, "first-difference", "pair", 3,
     "row 3 (reference 0.75, line 24; compared 1, line 25)"},
    {"fail_above_verdict", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.625 0"}), "", 100.0, "fail-above",
     "pair", 0, "--fail-above 100: the total 15625 is above the limit", true},
    {"fail_above_passed", kPlain + kFive, kPlain + kFive, "", 1.0, "fail-above", "pair", 0,
     "the total 0 is not above the limit"},
    {"zero_total", kPlain + kFive, kPlain + kFive, "", {}, "files-agree", "pair", 0, "the files agree on every row", true},
    // A difference whose square is too small for a double adds 0: the row
    // differs, and the files are not said to agree.
    {"square_too_small_to_count", kPlain + tableOf({"1 0 0", "2 0.5 0"}), kPlain + tableOf({"1 1e-200 0", "2 0.5 0"}),
     "", {}, "first-difference", "pair", 1,
     "row 1 (reference 0, line 22; compared 1e-200, line 22); the total is zero all the same: the row that differs "
     "does so by so little", false, "agree"},
    {"empty_file", "", kPlain + kFive, "", {}, "empty-file", "reference", 0, "'a.dat' is empty (0 bytes)", true},
    {"directory", kPlain + kFive, "/", "", {}, "directory", "compared", 0, "'b.dat' is a directory", true},
    {"largest_beside_first", kPlain + kFive, kPlain + tableOf({"1 0.25 0", "2 0.51 0", "3 0.75 0", "4 1.1 0"}), "", {},
     "largest", "pair", 4, "row 4 adds most", true},
    {"stop", kPlain + "1 0.5 0\n2 0.5x 0\n", kPlain + kFive, "", {}, "stop", "reference", 0,
     "velmora stops at statement 98: bad number in item 2", true},
    {"same_file", kPlain + kFive, kPlain + kFive, "a.dat\na.dat\n", {}, "same-file", "pair", 0,
     "a.dat and a.dat are the same file", true},
    {"row_counts", kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75 0", "4 1 0"}),
     kPlain + tableOf({"1 0.25 0", "2 0.5 0", "3 0.75 0"}), "", {}, "row-counts", "pair", 4,
     "a.dat rows 4 to 4 (from line 25) take no part in the total", true},
    // Column 2 written in many forms on records short enough to be taken
    // whole: described alike whether read whole or a few bytes at a time.
    {"short_records_written_forms",
     kPlain + tableOf({"1 007.250 0", "2 -0.0050 0", "3 12 0", "4 -.5 0", "5 5. 0", "6 -0 0", "7 0.000 0",
                       "8 -100.10 0", "9 0.5 0"}),
     kPlain + tableOf({"1 007.250 0", "2 -0.0050 -1", "3 12 0", "4 -.5 0", "5 5. 0", "6 -0 0", "7 0.000 0",
                       "8 -100.10 0"}),
     "", {}, "row-counts", "pair", 9, "a.dat rows 9 to 9 (from line 30) take no part in the total"},
};

INSTANTIATE_TEST_SUITE_P(Explain, Findings, ::testing::ValuesIn(kFindingCases),
                         [](const auto& row) { return std::string(row.param.name); });

// The manual page lists every kind with an example, and each example is what
// the program says on one of the pairs above (rows past the limit: on the
// million-row pair of its own test).
TEST(FindingsPage, EveryKindHasAnExampleThePairsGive) {
  for (int k = 0; k <= static_cast<int>(FindingKind::FailAbove); ++k) {
    const std::string kind = findingKindName(static_cast<FindingKind>(k));
    EXPECT_FALSE(pageExamples(kind).empty()) << "the manual page gives no example of " << kind;
    const bool shown = kind == "rows-past-limit" ||
                       std::any_of(std::begin(kFindingCases), std::end(kFindingCases),
                                   [&](const FindingCase& c) { return c.pageExample && c.kind == kind; });
    EXPECT_TRUE(shown) << "no pair shows the manual page's example of " << kind;
  }
}

TEST(ExplainText, SharesTooSmallToShow) {
  const std::pair<double, const char*> cases[] = {
      {0.8, "80%"}, {0.642857, "64.29%"}, {0, "0%"}, {2.219e-13, "< 0.01%"}, {0.0001, "0.01%"}};
  for (const auto& [share, text] : cases) EXPECT_EQ(shareText(share), text) << share;
}

// ---------------------------------------------------------------------------
// Stops: the two lines velmora writes, at the statement where it stops, and
// no file created.

struct StopCase {
  const char* name;
  // name, bytes ("/" ending: a directory; "fifo": a named pipe; "->T": a link to T)
  std::vector<std::pair<std::string, std::string>> files;
  bool control;                                            // the pair comes from CompareThese.inp
  std::string reference, compared;                         // otherwise these
  std::string text;
  bool wouldCreate;
  std::string linkTarget = {};  // the file a link that leads nowhere names
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class Stops : public InDirectory, public ::testing::WithParamInterface<StopCase> {};

TEST_P(Stops, SameLinesAsVelmoraNothingCreated) {
  const StopCase& c = GetParam();
  for (const auto& [name, bytes] : c.files) {
    if (name.back() == '/') {
      fs::create_directory(name);
    } else if (bytes == "fifo") {
      ASSERT_EQ(mkfifo(name.c_str(), 0666), 0);
    } else if (bytes.starts_with("->")) {
      ASSERT_EQ(::symlink(bytes.c_str() + 2, name.c_str()), 0);
    } else {
      write(name, bytes);
    }
  }
  const auto before = entries();
  const Explanation facts = c.control ? explainControl() : explainNamed(c.reference, c.compared);
  ASSERT_TRUE(facts.stop);
  EXPECT_EQ(facts.stop->text, c.text);
  EXPECT_EQ(facts.stop->wouldCreate, c.wouldCreate);
  EXPECT_EQ(facts.stop->linkTarget.value_or(""), c.linkTarget);
  EXPECT_FALSE(facts.compared);
  EXPECT_EQ(entries(), before);
}

const std::string kCtl = "Velmora: statement 28, channel 11, file 'CompareThese.inp'\n";
const StopCase kStopCases[] = {
    {"missing_reference", {{"b.dat", kPlain}}, false, "a.dat", "b.dat",
     "Velmora: statement 36, channel 13, file 'a.dat'\nerror: end of file\n", true},
    {"missing_compared", {{"a.dat", kPlain + kRows}}, false, "a.dat", "b.dat",
     "Velmora: statement 124, channel 13, file 'b.dat'\nerror: end of file\n", true},
    {"missing_folder", {}, false, "none/a.dat", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'none/a.dat': No such file or directory\n", false},
    {"directory", {{"d/", ""}}, false, "d", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'd': Is a directory\n", false},
    {"named_pipe", {{"p", "fifo"}}, false, "p", "b.dat",
     "Velmora: statement 34, channel 13, file 'p'\nerror: input/output error: Illegal seek\n", false},
    // A quoted name keeps its tab: only trailing spaces are not part of a name.
    {"quoted_name_with_trailing_tab", {{"CompareThese.inp", "'a.dat\t'\nb.dat\n"}, {"b.dat", kPlain}}, true, "", "",
     "Velmora: statement 36, channel 13, file 'a.dat\\x09'\nerror: end of file\n", true},
    // A null value before a rate label: the label keeps its text, and "Rate"
    // is the number's value.
    {"rate_label_after_null_value",
     {{"a.dat", "VELMORA-DAT2\nA 1\nB 2\nC 3\nskip\nPressure 7\n,Rate 4\n" + kColumns + kRows}, {"b.dat", kPlain}},
     false, "a.dat", "b.dat", "Velmora: statement 79, channel 13, file 'a.dat', line 7\nerror: bad number in item 2\n",
     false},
    {"empty_name", {}, false, "", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open '': No such file or directory\n", false},
    {"bad_number", {{"a.dat", kPlain + "1 0.5 0\n2 0.5x 0\n"}, {"b.dat", kPlain}}, false, "a.dat", "b.dat",
     "Velmora: statement 98, channel 13, file 'a.dat', line 23\nerror: bad number in item 2\n", false},
    {"header_cut_short", {{"a.dat", kPlain + kRows}, {"b.dat", "VELMORA-DAT1\nP 1\n"}}, false, "a.dat", "b.dat",
     "Velmora: statement 132, channel 13, file 'b.dat'\nerror: end of file\n", false},
    {"no_control_file", {}, true, "", "", kCtl + "error: end of file\n", true},
    {"empty_control_file", {{"CompareThese.inp", ""}}, true, "", "", kCtl + "error: end of file\n", false},
    {"one_name", {{"CompareThese.inp", "a.dat\n"}, {"a.dat", kPlain + kRows}}, true, "", "",
     "Velmora: statement 116, channel 11, file 'CompareThese.inp'\nerror: end of file\n", false},
    {"control_names_itself", {{"CompareThese.inp", "CompareThese.inp\nb.dat\n"}}, true, "", "",
     "Velmora: statement 33, channel 13\nerror: file is already open on another channel\n", false},
    // A creating open follows a link that leads nowhere: it creates the file
    // the link names where that file's folder allows, and fails as creating
    // that file fails otherwise.
    {"link_to_missing_folder", {{"dl.dat", "->/nonexistent/x.dat"}}, false, "dl.dat", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'dl.dat': No such file or directory\n", false,
     "/nonexistent/x.dat"},
    {"link_creates_its_target", {{"d/", ""}, {"d/dl.dat", "->x.dat"}}, false, "d/dl.dat", "b.dat",
     "Velmora: statement 36, channel 13, file 'd/dl.dat'\nerror: end of file\n", true, "d/x.dat"},
    {"chain_of_links", {{"d/", ""}, {"one", "->d/two"}, {"d/two", "->../three"}}, false, "one", "b.dat",
     "Velmora: statement 36, channel 13, file 'one'\nerror: end of file\n", true, "d/../three"},
    {"loop_of_links", {{"one", "->two"}, {"two", "->one"}}, false, "one", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'one': Too many levels of symbolic links\n", false},
    {"control_link_to_missing_folder", {{"CompareThese.inp", "->/nonexistent/c.inp"}}, true, "", "",
     "Velmora: statement 25, channel 11\nerror: cannot open 'CompareThese.inp': No such file or directory\n",
     false, "/nonexistent/c.inp"},
    // A creating open refuses a name ending in a slash, once its folder is found.
    {"slash_missing", {}, false, "new/", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'new/': Is a directory\n", false},
    {"slash_file", {{"a.dat", kPlain + kRows}}, false, "a.dat/", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'a.dat/': Is a directory\n", false},
    {"slash_directory", {{"d/", ""}}, false, "d/", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'd/': Is a directory\n", false},
    {"slash_missing_folder", {}, false, "none/x/", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'none/x/': No such file or directory\n", false},
    {"slash_file_as_folder", {{"a.dat", kPlain + kRows}}, false, "a.dat/x/", "b.dat",
     "Velmora: statement 33, channel 13\nerror: cannot open 'a.dat/x/': Not a directory\n", false},
    {"slash_second_file", {{"a.dat", kPlain + kRows}}, false, "a.dat", "new//",
     "Velmora: statement 121, channel 13\nerror: cannot open 'new//': Is a directory\n", false},
    {"control_names_missing", {{"CompareThese.inp", "a.dat\nb.dat\n"}, {"a.dat", kPlain}}, true, "", "",
     "Velmora: statement 124, channel 13, file 'b.dat'\nerror: end of file\n", true},
};

INSTANTIATE_TEST_SUITE_P(Explain, Stops, ::testing::ValuesIn(kStopCases),
                         [](const auto& row) { return std::string(row.param.name); });

// Writing to a program while it runs is refused: velmora's read-write open
// of a program file that a process runs stops with "Text file busy". The
// prediction asks the system; a copy nobody runs is read like any other file.
TEST_F(InDirectory, RunningProgramIsTextFileBusy) {
  fs::copy_file("/bin/sleep", "busy");
  fs::copy_file("/bin/sleep", "idle");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("./busy", "busy", "300", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The program runs once its file is mapped: wait until writing is refused
  // (a minute at most, however busy the machine).
  for (int i = 0; i < 30000; ++i) {
    const int fd = ::open("busy", O_WRONLY);
    if (fd < 0) break;
    ::close(fd);
    ::usleep(2000);
  }
  const Explanation busy = explainNamed("busy", "b.dat");
  const Explanation idle = explainNamed("idle", "idle");
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(busy.stop);
  EXPECT_EQ(busy.stop->text, "Velmora: statement 33, channel 13\nerror: cannot open 'busy': Text file busy\n");
  ASSERT_TRUE(idle.stop);  // a program is no data file, but its title is read
  EXPECT_NE(idle.stop->statement, 33);
}

// Where the permission check would allow a creation that the system
// refuses, the prediction asks the system: a working directory that was
// removed has no room for a new file.
TEST_F(InDirectory, RemovedWorkingDirectoryCreatesNothing) {
  fs::create_directory("gone");
  fs::current_path("gone");
  fs::remove(fs::current_path());
  const Explanation facts = explainNamed("a.dat", "b.dat");
  fs::current_path("/tmp");
  ASSERT_TRUE(facts.stop);
  EXPECT_EQ(facts.stop->text,
            "Velmora: statement 33, channel 13\nerror: cannot open 'a.dat': No such file or directory\n");
  EXPECT_FALSE(facts.stop->wouldCreate);
}

// A stop in the first row: the rows after it are no header records.
TEST_F(InDirectory, StopInTheFirstRowEndsTheHeaderRecords) {
  write("a.dat", kPlain + "1 x 3\n" + repeat("1 2 3\n", 5));
  const Explanation facts = explainNamed("a.dat", "a.dat");
  ASSERT_TRUE(facts.stop);
  EXPECT_EQ(facts.stop->line, 22);
  EXPECT_TRUE(facts.files[0].suspectLines.empty());
  EXPECT_EQ(facts.files[0].suspectCount, 0U);
  EXPECT_TRUE(facts.warnings.empty());
}

// Everything learned before the stop stays in the report.
TEST_F(InDirectory, StopKeepsWhatWasLearned) {
  write("a.dat", kLayout1 + kRows);
  write("b.dat", kPlain + "1 2 3\n4 x 6\n");
  const Explanation facts = explainNamed("a.dat", "b.dat");
  ASSERT_TRUE(facts.stop);
  EXPECT_TRUE(facts.files[0].loaded);
  EXPECT_EQ(facts.files[0].record.rows, 2U);
  EXPECT_EQ(facts.files[1].record.rows, 1U);
  EXPECT_EQ(facts.stop->line, 23);
  ASSERT_TRUE(facts.stop->file);
  EXPECT_EQ(*facts.stop->file, "b.dat");
}

// ---------------------------------------------------------------------------
// The comparison: the top rows and their shares.

TEST_F(InDirectory, TopRowsLargestFirstTiesByRowNaNFirst) {
  // Scaled differences per row: 0, 125, 125, NaN, 250; row 6 has no reference.
  write("a.dat", kPlain + "1 0 0\n2 0 0\n3 0 0\n4 0 0\n5 0 0\n");
  write("b.dat", kPlain + "1 0 0\n2 0.125 0\n3 -0.125 0\n4 NaN 0\n5 0.25 0\n6 0.5 0\n");
  const Explanation facts = explainNamed("a.dat", "b.dat", 4);
  ASSERT_FALSE(facts.stop);
  EXPECT_TRUE(std::isnan(facts.total));
  EXPECT_EQ(facts.resultLine, std::string(23, ' ') + "NaN");
  std::vector<std::size_t> rows;
  for (const auto& row : facts.top) rows.push_back(row.row);
  EXPECT_EQ(rows, (std::vector<std::size_t>{4, 6, 5, 2}));
  EXPECT_EQ(facts.rowsCompared, 6U);
  EXPECT_EQ(facts.rowsDiffering, 5U);
  EXPECT_EQ(facts.rowsWithoutReference, 1U);
  EXPECT_EQ(facts.top[1].referenceLine, 0);
  EXPECT_FALSE(facts.top[1].hasReference);
  EXPECT_EQ(facts.top[1].comparedLine, 27);
  EXPECT_EQ(facts.top[2].referenceValue, 0);
  EXPECT_EQ(facts.top[2].comparedValue, 0.25);
  EXPECT_EQ(facts.top[2].scaledDifference, 250);
  EXPECT_EQ(facts.top[2].square, 62500);
  // Each listed row's text: its cells as the heading names them ("-" for
  // the line and the value the reference has not), then its records and
  // values; with the total NaN, every share is NaN.
  const char* const rowTexts[] = {
      "        4         25         25                        0                      NaN                      NaN                      NaN        NaN\n"
      "            reference line 25: '4 0 0' -> 4, 0, 0\n"
      "            compared  line 25: '4 NaN 0' -> 4, NaN, 0\n",
      "        6          -         27                        -                      0.5                      500                   250000        NaN\n"
      "            reference none: the reference file has no such row\n"
      "            compared  line 27: '6 0.5 0' -> 6, 0.5, 0\n",
      "        5         26         26                        0                     0.25                      250                    62500        NaN\n"
      "            reference line 26: '5 0 0' -> 5, 0, 0\n"
      "            compared  line 26: '5 0.25 0' -> 5, 0.25, 0\n",
      "        2         23         23                        0                    0.125                      125                    15625        NaN\n"
      "            reference line 23: '2 0 0' -> 2, 0, 0\n"
      "            compared  line 23: '2 0.125 0' -> 2, 0.125, 0\n",
  };
  const std::string listText = reportOf(facts, false);
  std::size_t listAt = 0;
  for (const char* rowText : rowTexts) {
    const std::size_t found = listText.find(rowText, listAt);
    ASSERT_NE(found, std::string::npos) << rowText << "\n" << listText;
    listAt = found + 1;
  }
  // The same rows in JSON, each as a whole: null where the reference has
  // no row, a value that is not finite as a string.
  const char* const rowJsons[] = {
      "{\n"
      "      \"row\": 4,\n"
      "      \"reference_line\": 25,\n"
      "      \"compared_line\": 25,\n"
      "      \"reference_value\": 0,\n"
      "      \"compared_value\": \"NaN\",\n"
      "      \"reference_values\": [\n        4,\n        0,\n        0\n      ],\n"
      "      \"compared_values\": [\n        4,\n        \"NaN\",\n        0\n      ],\n"
      "      \"reference_record\": \"4 0 0\",\n"
      "      \"compared_record\": \"4 NaN 0\",\n"
      "      \"scaled_difference\": \"NaN\",\n"
      "      \"square\": \"NaN\",\n"
      "      \"share\": \"NaN\"\n"
      "    }",
      "{\n"
      "      \"row\": 6,\n"
      "      \"reference_line\": null,\n"
      "      \"compared_line\": 27,\n"
      "      \"reference_value\": null,\n"
      "      \"compared_value\": 0.5,\n"
      "      \"reference_values\": null,\n"
      "      \"compared_values\": [\n        6,\n        0.5,\n        0\n      ],\n"
      "      \"reference_record\": null,\n"
      "      \"compared_record\": \"6 0.5 0\",\n"
      "      \"scaled_difference\": 500,\n"
      "      \"square\": 250000,\n"
      "      \"share\": \"NaN\"\n"
      "    }",
      "{\n"
      "      \"row\": 5,\n"
      "      \"reference_line\": 26,\n"
      "      \"compared_line\": 26,\n"
      "      \"reference_value\": 0,\n"
      "      \"compared_value\": 0.25,\n"
      "      \"reference_values\": [\n        5,\n        0,\n        0\n      ],\n"
      "      \"compared_values\": [\n        5,\n        0.25,\n        0\n      ],\n"
      "      \"reference_record\": \"5 0 0\",\n"
      "      \"compared_record\": \"5 0.25 0\",\n"
      "      \"scaled_difference\": 250,\n"
      "      \"square\": 62500,\n"
      "      \"share\": \"NaN\"\n"
      "    }",
      "{\n"
      "      \"row\": 2,\n"
      "      \"reference_line\": 23,\n"
      "      \"compared_line\": 23,\n"
      "      \"reference_value\": 0,\n"
      "      \"compared_value\": 0.125,\n"
      "      \"reference_values\": [\n        2,\n        0,\n        0\n      ],\n"
      "      \"compared_values\": [\n        2,\n        0.125,\n        0\n      ],\n"
      "      \"reference_record\": \"2 0 0\",\n"
      "      \"compared_record\": \"2 0.125 0\",\n"
      "      \"scaled_difference\": 125,\n"
      "      \"square\": 15625,\n"
      "      \"share\": \"NaN\"\n"
      "    }",
  };
  const std::string listJson = reportOf(facts, true);
  std::size_t jsonAt = listJson.find("\"top\": [");
  for (const char* rowJson : rowJsons) {
    const std::size_t found = listJson.find(rowJson, jsonAt);
    ASSERT_NE(found, std::string::npos) << rowJson << "\n" << listJson;
    jsonAt = found + 1;
  }

  // Every --top lists the first rows of the one order, whether the few
  // asked for are kept while the sum runs or the many selected after it.
  // Squares by row: 250000 where row % 3 == 2, 62500 where 1, 0 where 0;
  // row 9 NaN.
  std::string reference = kPlain, compared = kPlain;
  for (int row = 1; row <= 17; ++row) {
    reference += std::to_string(row) + " 0 0\n";
    compared += std::to_string(row) + (row == 9 ? " NaN" : row % 3 == 2 ? " 0.5" : row % 3 == 1 ? " 0.25" : " 0") + " 0\n";
  }
  write("e.dat", reference);
  write("f.dat", compared);
  const std::vector<std::size_t> order{9, 2, 5, 8, 11, 14, 17, 1, 4, 7, 10, 13, 16, 3, 6, 12, 15};
  for (const std::size_t top : {1U, 2U, 3U, 8U, 16U, 17U, 18U, 1000U}) {
    const Explanation listed = explainNamed("e.dat", "f.dat", top);
    rows.clear();
    for (const auto& row : listed.top) rows.push_back(row.row);
    EXPECT_EQ(rows, std::vector<std::size_t>(order.begin(), order.begin() + std::min<std::size_t>(top, 17)))
        << "--top " << top;
  }

  // Squares alike in their top bits and apart below them, ties among them,
  // and differences of both signs: the order is the squares' (largest
  // first, ties by row) for every length of list, and each listed row shows
  // its own difference, whatever the rows before it showed. Steps of 23
  // sizes, and of 64 and 65 (three digits each, so that every step is a
  // value of its own): as many squares as a list orders by its keys found
  // at once, and one more. Then 600 and 300 steps of a millionth and a
  // hundred-thousandth, each step a square of its own and apart in the
  // bits below the count's: every row or every second one a key of its
  // own, ties in pairs, groups of a few rows and of more.
  for (const auto& [sizes, zeros] : {std::pair{23, 9}, std::pair{64, 9}, std::pair{65, 9}, std::pair{600, 2},
                                         std::pair{300, 1}}) {
    SCOPED_TRACE(sizes);
    reference = kPlain;
    compared = kPlain;
    std::vector<std::pair<double, std::size_t>> magnitudes;  // the compared value's size, its row
    for (int row = 1; row <= 600; ++row) {
      const int step = row * 37 % sizes;
      const std::string value = "0.5" + std::string(static_cast<std::size_t>(zeros), '0') +
                                std::to_string(sizes == 23 ? step : 100 + step);
      reference += std::to_string(row) + " 0 0\n";
      compared += std::to_string(row) + (row % 2 == 0 ? " -" : " ") + value + " 0\n";
      magnitudes.emplace_back(std::strtod(value.c_str(), nullptr), row);
    }
    std::stable_sort(magnitudes.begin(), magnitudes.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    write("g.dat", reference);
    write("h.dat", compared);
    for (const std::size_t top : {1U, 5U, 40U, 75U, 76U, 299U, 300U, 599U, 600U, 5000U}) {
      const Explanation listed = explainNamed("g.dat", "h.dat", top);
      rows.clear();
      for (const auto& row : listed.top) rows.push_back(row.row);
      std::vector<std::size_t> expected;
      for (std::size_t k = 0; k < std::min<std::size_t>(top, 600); ++k) expected.push_back(magnitudes[k].second);
      EXPECT_EQ(rows, expected) << "--top " << top;
      if (top != 600) continue;
      const std::string text = reportOf(listed, false);
      for (const auto& row : listed.top) {
        char difference[64];
        *std::to_chars(difference, difference + sizeof difference, row.scaledDifference).ptr = '\0';
        std::string line = std::to_string(row.row);
        line.insert(0, 9 - line.size(), ' ');
        const std::size_t at = text.find("\n" + line + " ");
        ASSERT_NE(at, std::string::npos) << row.row;
        const std::string cells = text.substr(at, text.find('\n', at + 1) - at);
        EXPECT_NE(cells.find(std::string(" ") + difference + " "), std::string::npos) << cells;
        EXPECT_EQ(cells.substr(cells.size() - 1 - shareText(row.share).size()), " " + shareText(row.share)) << cells;
      }
    }
  }
  // A listed row's share too small to show, next to larger ones and none;
  // and each row's own difference where it is the square of a row before
  // (0.25 after 0.5's, with a square shown twice between).
  write("e.dat", kPlain + "1 0 0\n2 0 0\n3 0 0\n4 0 0\n5 0 0\n6 0 0\n7 0 0\n8 0 0\n9 0 0\n");
  write("f.dat", kPlain + "1 1000 0\n2 0.001 0\n3 1e-9 0\n4 0 0\n5 10.5 0\n6 0.0005 0\n7 0.00045 0\n8 -0.00045 0\n"
                          "9 0.00025 0\n");
  const Explanation small = explainNamed("e.dat", "f.dat", 9);
  const std::string smallText = reportOf(small, false);
  std::size_t tiny = 0;
  for (const auto& row : small.top) {
    std::string line = std::to_string(row.row);
    line.insert(0, 9 - line.size(), ' ');
    const std::size_t at = smallText.find("\n" + line + " ");
    ASSERT_NE(at, std::string::npos) << row.row;
    const std::string cells = smallText.substr(at, smallText.find('\n', at + 1) - at);
    const std::string share = " " + shareText(row.share);
    EXPECT_EQ(cells.substr(cells.size() - share.size()), share) << cells;
    EXPECT_NE(cells.find(" " + shortestText(row.scaledDifference) + " "), std::string::npos) << cells;
    tiny += shareText(row.share) == "< 0.01%" ? 1 : 0;
  }
  EXPECT_EQ(tiny, 6U) << smallText;

  // The same value on both sides differs when its scaled difference is NaN
  // (infinity less infinity): that row makes the total NaN. A difference whose
  // square underflows to zero still differs.
  write("c.dat", kPlain + "1 0 0\n2 2e305 0\n3 1e-200 0\n");
  write("d.dat", kPlain + "1 0 0\n2 2e305 0\n3 2e-200 0\n");
  const Explanation same = explainNamed("c.dat", "d.dat", 4);
  EXPECT_TRUE(std::isnan(same.total));
  EXPECT_EQ(same.rowsDiffering, 2U);
  ASSERT_TRUE(same.firstDifference);
  EXPECT_EQ(same.firstDifference->row, 2U);
}

// Each listed row carries its record as it stands in both files and all
// three values, so a swapped column or a separator inside a number shows.
TEST_F(InDirectory, ListedRowsShowTheirRecordsAsWritten) {
  write("a.dat", kPlain + "1 0.25 7 / \xc3\xa9 \x7f\n2 0.5 8 / \"q\"\n3 0.75 9 / \\\n"
                           "4 0.1 -1.2345678901234567e-300\n");
  write("b.dat", kPlain + "1 7 0.25\n2 0.5\n 8\n3 1,250.75 9\r\n4 0.30000000000000004 -1.2345678901234567e-300\n");
  const Explanation facts = explainNamed("a.dat", "b.dat", 4);
  ASSERT_FALSE(facts.stop);
  ASSERT_EQ(facts.top.size(), 4U);
  struct Expected {
    std::size_t row;
    const char* reference;
    const char* compared;
    double comparedValues[3];
    long long comparedLastLine;
  };
  const Expected expected[] = {
      {1, "1 0.25 7 / \xc3\xa9 \x7f", "1 7 0.25", {1, 7, 0.25}, 22},
      {3, "3 0.75 9 / \\", "3 1,250.75 9\r", {3, 1, 250.75}, 25},
      // Values whose shortest texts are the longest a list writes.
      {4, "4 0.1 -1.2345678901234567e-300", "4 0.30000000000000004 -1.2345678901234567e-300",
       {4, 0.30000000000000004, -1.2345678901234567e-300}, 26},
      {2, "2 0.5 8 / \"q\"", "2 0.5\n 8", {2, 0.5, 8}, 24},
  };
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const RowFacts& row = facts.top[i];
    SCOPED_TRACE(row.row);
    EXPECT_EQ(row.row, expected[i].row);
    EXPECT_EQ(row.referenceRecord, expected[i].reference);
    EXPECT_EQ(row.comparedRecord, expected[i].compared);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(row.comparedValues[c], expected[i].comparedValues[c]);
    EXPECT_EQ(row.comparedLastLine, expected[i].comparedLastLine);
  }
  // The JSON list's records: those with a line feed, a carriage return, a
  // quote, a backslash or DEL escaped, the others as they stand.
  const auto report = jsonOf(facts);
  const std::string json = reportOf(facts, true);
  EXPECT_NE(json.find("\"1 0.25 7 / \xc3\xa9 \\u007f\""), std::string::npos);
  EXPECT_EQ(json.find('\x7f'), std::string::npos);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const auto& listed = report["top"][i];
    EXPECT_EQ(listed["row"], expected[i].row);
    EXPECT_EQ(listed["reference_record"], expected[i].reference);
    EXPECT_EQ(listed["compared_record"], expected[i].compared);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(listed["compared_values"][c], expected[i].comparedValues[c]);
  }
  EXPECT_EQ(facts.top[0].referenceValues[2], 7);
  const std::string text = reportOf(facts, false);
  EXPECT_NE(text.find("compared  line 25: '3 1,250.75 9\\x0d' -> 3, 1, 250.75"), std::string::npos) << text;
  EXPECT_NE(text.find("compared  lines 23-24: '2 0.5 |  8' -> 2, 0.5, 8"), std::string::npos) << text;
  // Records shown as they stand and records with escapes, in the list's
  // order, each under its own row's cells.
  const char* const inOrder[] = {"\n        1         22         22 ", "compared  line 22: '1 7 0.25' -> 1, 7, 0.25\n",
                                 "\n        3         24         25 ", "compared  line 25: '3 1,250.75 9\\x0d'",
                                 "\n        2         23         23 ", "compared  lines 23-24: '2 0.5 |  8'"};
  std::size_t at = 0;
  for (const char* piece : inOrder) {
    const std::size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << text;
    at = found + 1;
  }
}

// The records read again are bounded: a long list shows the records of its
// first rows, and none of the rows past what the access may read, in either
// file, whether or not the file has a row read from more than one line.
TEST_F(InDirectory, ListedRowsPastTheBytesReadAgainShowNoRecord) {
  constexpr std::size_t kListed = 7000;
  std::string a = kPlain, b = kPlain;
  for (std::size_t i = 1; i <= kListed; ++i) {
    a += std::to_string(i) + " 0.5 0\n";
    b += std::to_string(i) + (i == 2 ? " 0.75\n 0\n" : " 0.75 0\n");
  }
  write("a.dat", a);
  write("b.dat", b);
  const Explanation facts = explainNamed("a.dat", "b.dat", kListed);
  ASSERT_EQ(facts.top.size(), kListed);
  EXPECT_EQ(facts.top[0].comparedRecord, "1 0.75 0");
  EXPECT_EQ(facts.top[1].comparedRecord, "2 0.75\n 0");
  EXPECT_EQ(facts.top[1].referenceRecord, "2 0.5 0");
  EXPECT_EQ(facts.top[5999].referenceRecord, "6000 0.5 0");
  for (std::size_t k = 6500; k < kListed; ++k) {
    SCOPED_TRACE(k);
    EXPECT_FALSE(facts.top.hasRecords(k));
    EXPECT_EQ(facts.top[k].referenceRecord, "");
    EXPECT_EQ(facts.top[k].comparedRecord, "");
  }
}

// Records read ahead in pieces of several records are read and counted as
// records read one by one: the same bytes, cut and next offset, and the same
// bytes counted after each, so the same records are read before the access
// is spent. Offsets in no order, some twice, some not read ahead, records
// longer than a first read and one cut, records far apart, offsets at and
// past the end of a file whose last record has no line feed.
TEST_F(InDirectory, RecordsReadAheadAreReadAndCountedAsOneByOne) {
  std::string file;
  std::vector<long long> starts;
  for (int i = 0; i < 4000; ++i) {
    starts.push_back(static_cast<long long>(file.size()));
    if (i == 1234) {
      file += std::string(kMaxFetchedRecord + 10, '7');
    } else if (i % 500 == 7) {
      file += std::string(700 + i % 3, 'x');
    } else if (i % 100 == 50) {
      file += std::string(9000, ' ') + "1 2 3";
    } else {
      file += std::to_string(i) + " 0.5 " + std::to_string(i * i);
    }
    file += '\n';
  }
  starts.push_back(static_cast<long long>(file.size()));
  file += "1 2 3";
  const auto size = static_cast<long long>(file.size());
  write("a.dat", file);
  std::vector<long long> order;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < starts.size(); ++i) order.push_back(starts[i * 7919 % starts.size()]);
  }
  for (const long long offset : {size - 3, size, size + 10, -1LL, 5LL}) order.insert(order.begin() + 100, offset);
  const std::vector<long long> ahead[] = {order, std::vector<long long>(order.begin(), order.begin() + 2000), {}};
  for (const std::vector<long long>& offsets : ahead) {
    SCOPED_TRACE(offsets.size());
    RecordAccess once("a.dat"), piecewise("a.dat");
    piecewise.readAhead(offsets);
    FetchedRecord a, b;
    std::size_t read = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
      SCOPED_TRACE(k);
      const bool gotA = once.recordAt(order[k], a);
      ASSERT_EQ(piecewise.recordAt(order[k], b), gotA);
      EXPECT_EQ(b.bytes, a.bytes);
      EXPECT_EQ(b.cut, a.cut);
      EXPECT_EQ(b.next, a.next);
      ASSERT_EQ(piecewise.bytesRead(), once.bytesRead());
      read += gotA ? 1 : 0;
    }
    // The access was spent partway through: some records were read and some not.
    EXPECT_GT(read, order.size() / 4);
    EXPECT_LT(read, order.size() - 10);
    EXPECT_GE(once.bytesRead(), kMaxFetchedBytes - 512);
  }
}

TEST(ExplainText, LinesAreEscapedEachOnItsOwn) {
  const std::pair<std::string, std::string> cases[] = {
      {"a<b\nc", "a&lt;b\nc\n"}, {"x\ty\n", "x\\x09y\n"}, {"", ""}, {"\n\n'", "\n\n&#39;\n"}};
  for (const auto& [text, shown] : cases) EXPECT_EQ(escapedLines(text, Escape::Xml), shown) << text;
}

TEST(ExplainText, RecordsAreShownEscapedAndCut) {
  const std::pair<std::string, std::string> cases[] = {
      {"1 2,5 3", "1 2,5 3"},
      {"1\t2\\3", "1\\x092\\\\3"},
      {"caf\xc3\xa9 \xe9", "caf\xc3\xa9 \\xe9"},
      {"1 2\n3", "1 2 | 3"},
      {std::string(70, '7'), std::string(60, '7') + "\xE2\x80\xA6"},
      {std::string(58, '7') + "\x01", std::string(58, '7') + "\xE2\x80\xA6"},
      {std::string(60, '7'), std::string(60, '7')},
      {std::string(59, '7') + "\\", std::string(59, '7') + "\xE2\x80\xA6"},
      {"a'b\"c<&>", "a'b\"c<&>"},
  };
  for (const auto& [record, shown] : cases) EXPECT_EQ(shownRecord(record), shown) << record;
}

// A list longer than the rows gathered at once, its order no order in the
// rows: each listed row's facts as the columns hold them, largest first;
// records read again for the first rows the access reaches (the first
// holding more than three values among them) and none after.
TEST_F(InDirectory, LongListsGatherEachRowsFacts) {
  constexpr int kListed = 40000;
  std::string reference = kPlain, compared = kPlain, surplusRecord;
  for (int i = 1; i <= kListed; ++i) {
    const int scrambled = i * 7919 % kListed;  // each of 0 to kListed - 1 once
    const std::string tail = " " + std::to_string(i % 7);
    // One row of the reference on two lines: the reference's lines after
    // it one further from their rows' numbers than before it and than the
    // compared file's.
    reference += std::to_string(i) + " 0" + (i == 20000 ? "\n" : "") + tail + "\n";
    std::string record = std::to_string(i) + " " + std::to_string(scrambled) + "e-3" + tail;
    if (scrambled == kListed - 1) {
      record += " 9";
      surplusRecord = record;
    }
    compared += record + "\n";
  }
  write("a.dat", reference);
  write("b.dat", compared);
  const Explanation facts = explainNamed("a.dat", "b.dat", 1000000);
  ASSERT_FALSE(facts.stop);
  ASSERT_EQ(facts.top.size(), static_cast<std::size_t>(kListed));
  int unlike = 0;
  std::size_t surplusAt = 0;
  for (std::size_t k = 0; k < facts.top.size(); ++k) {
    const RowFacts row = facts.top[k];
    const RowFacts alone = facts.top.factsOf(facts.top.indexOf(k));
    const bool like = row.row == alone.row && row.referenceLine == alone.referenceLine &&
                      row.comparedLastLine == alone.comparedLastLine && row.comparedValue == alone.comparedValue &&
                      row.referenceValues[2] == alone.referenceValues[2] && row.square == alone.square &&
                      row.scaledDifference == alone.scaledDifference &&
                      (k == 0 || row.square <= facts.top[k - 1].square);
    unlike += like ? 0 : 1;
    if (row.comparedRecord == surplusRecord) surplusAt = k;
  }
  EXPECT_EQ(unlike, 0);
  EXPECT_EQ(surplusAt, 0U);
  // Each listed row's number and lines in the text (its cells and the
  // starts of its record lines) and in JSON, as its facts give them: lines
  // a fixed count from their rows' numbers whose digits carry (row 79 on
  // line 100, row 9979 on line 10000), and those past the row of two lines.
  const std::string text = reportOf(facts, false);
  const std::string json = reportOf(facts, true);
  std::size_t textAt = text.find("share\n") + 6, jsonAt = json.find("\"top\": [");
  int misplaced = 0;
  const auto lines = [](long long first, long long last) {
    return last > first ? "lines " + std::to_string(first) + "-" + std::to_string(last) : "line " + std::to_string(first);
  };
  for (std::size_t k = 0; k < facts.top.size() && textAt < text.size(); ++k) {
    const RowFacts row = facts.top[k];
    char cells[64];
    std::snprintf(cells, sizeof cells, "%9zu%11lld%11lld ", row.row, row.referenceLine, row.comparedLine);
    const std::size_t referenceAt = text.find('\n', textAt);
    const std::size_t comparedAt = text.find('\n', referenceAt + 1);
    const std::string referenceStart = "\n            reference " + lines(row.referenceLine, row.referenceLastLine) + ": '";
    const std::string comparedStart = "\n            compared  " + lines(row.comparedLine, row.comparedLastLine) + ": '";
    misplaced += text.compare(textAt, std::strlen(cells), cells) == 0 ? 0 : 1;
    misplaced += text.compare(referenceAt, referenceStart.size(), referenceStart) == 0 ? 0 : 1;
    misplaced += text.compare(comparedAt, comparedStart.size(), comparedStart) == 0 ? 0 : 1;
    textAt = text.find('\n', comparedAt + 1) + 1;
    const std::string members = "\"row\": " + std::to_string(row.row) + ",\n      \"reference_line\": " +
                                std::to_string(row.referenceLine) + ",\n      \"compared_line\": " +
                                std::to_string(row.comparedLine) + ",\n";
    jsonAt = json.find("\"row\": ", jsonAt + 1);
    misplaced += json.compare(jsonAt, members.size(), members) == 0 ? 0 : 1;
  }
  EXPECT_EQ(misplaced, 0);
  // The last listed row (its square 0) is past the row of two lines.
  EXPECT_EQ(facts.top[kListed - 1].row, static_cast<std::size_t>(kListed));
  EXPECT_EQ(facts.top[kListed - 1].referenceLine, kListed + 22);
  EXPECT_EQ(facts.top[kListed - 1].comparedLine, kListed + 21);
  EXPECT_EQ(facts.top[0].referenceRecord, std::to_string(facts.top[0].row) + " 0 " + std::to_string(facts.top[0].row % 7));
  EXPECT_EQ(facts.top[kListed - 1].comparedRecord, "");
  EXPECT_EQ(facts.top[kListed - 1].referenceRecord, "");
}

TEST_F(InDirectory, WorkspaceColumnsHoldEveryRowTheirPiecesWereMadeFor) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  // Whether this kernel makes pages present when asked (from 5.14).
  void* scratch = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(scratch, MAP_FAILED);
  const bool populates = ::madvise(scratch, page, MADV_POPULATE_WRITE) == 0;
  ::munmap(scratch, page);
  auto present = [page](const void* at) {
    unsigned char resident = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(at) / page * page;
    return ::mincore(reinterpret_cast<void*>(start), page, &resident) == 0 && (resident & 1) != 0;
  };
  Workspace workspace;
  Request request;
  request.fromControlFile = false;
  request.referenceName = "a.dat";
  request.comparedName = "b.dat";
  // Tables ending before, at and after the ends of the first pieces, and a
  // short one after long ones.
  for (const std::size_t rows : {1UL, 8191UL, 8192UL, 8193UL, 24577UL, 90000UL, 300UL}) {
    SCOPED_TRACE(rows);
    std::string a = kPlain, b = kPlain;
    for (std::size_t i = 1; i <= rows; ++i) {
      a += std::to_string(i) + " " + std::to_string(i % 1000) + ".5 -" + std::to_string(i) + "\n";
      // Blanks after the last value: column 2 is described in the record
      // where enough bytes follow it, in a copy where not.
      b += std::to_string(i) + " " + std::to_string(i % 1000) + ".25 " + std::to_string(2 * i) +
           std::string(i % 24, ' ') + "\n";
    }
    write("a.dat", a);
    write("b.dat", b);
    Explanation facts;
    explainPair(request, workspace, facts);
    ASSERT_FALSE(facts.stop);
    if (rows == 1 && populates) {
      // A fresh workspace: each column's first piece (8,192 rows) is present
      // past the one row stored, the pages far beyond are not.
      for (int f = 0; f < 2; ++f) {
        const void* columns[] = {workspace.rowPlaces[f], workspace.rowOffsets[f], workspace.column1[f],
                                 workspace.column2InFileUnits[f], workspace.column3[f], workspace.causes[f]};
        for (const void* column : columns) EXPECT_TRUE(present(column)) << "file " << f;
        EXPECT_TRUE(present(workspace.column1[f] + 8191)) << "file " << f;
        EXPECT_TRUE(present(workspace.causes[f] + 8191)) << "file " << f;
        EXPECT_FALSE(present(workspace.column1[f] + 500000)) << "file " << f;
      }
      EXPECT_TRUE(present(workspace.comparedWritten + 8191));
    }
    int wrong = 0;
    for (int f = 0; f < 2; ++f) {
      const LoadRecord& r = facts.files[f].record;
      ASSERT_EQ(r.rows, rows);
      for (std::size_t i = 0; i < rows; ++i) {
        const double n = static_cast<double>(i + 1);
        const bool right = r.firstLine(i) == static_cast<long long>(22 + i) && r.lastLine(i) == r.firstLine(i) &&
                           r.column1[i] == n &&
                           r.column2InFileUnits[i] == static_cast<double>((i + 1) % 1000) + (f == 0 ? 0.5 : 0.25) &&
                           r.column3[i] == (f == 0 ? -n : 2 * n) && (r.causes[i] & ~kCausesJudged) == 0;
        // Of the compared column 2 as written: two decimals, and the digits
        // of the whole part from its first nonzero one.
        const std::size_t whole = (i + 1) % 1000;
        const std::size_t significant = (whole == 0 ? 0 : std::to_string(whole).size()) + 2;
        const bool written = f == 0 || (r.column2Written[i].decimals == 2 && r.column2Written[i].significant == significant);
        wrong += written ? 0 : 1;
        wrong += right ? 0 : 1;
      }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(facts.files[1].record.column2Written[rows - 1].decimals, 2);
  }
}

TEST_F(InDirectory, SharesAddUpAndTopZeroListsNone) {
  write("a.dat", kPlain + "1 0 0\n2 0 0\n");
  write("b.dat", kPlain + "1 0.001 0\n2 0.003 0\n3 0.002 0\n");  // squares 1, 9, 4
  const Explanation facts = explainNamed("a.dat", "b.dat", 0);
  ASSERT_FALSE(facts.stop);
  EXPECT_EQ(facts.total, 14);
  EXPECT_TRUE(facts.top.empty());
  ASSERT_TRUE(facts.largest);
  EXPECT_EQ(facts.largest->row, 2U);
  EXPECT_EQ(facts.largest->share, 9.0 / 14);
  EXPECT_EQ(facts.shareWithoutReference, 4.0 / 14);
}

// ---------------------------------------------------------------------------
// The JSON: valid whatever bytes names and titles hold, numbers read back.

TEST_F(InDirectory, JsonIsValidForAnyBytes) {
  const std::string name = std::string("a\x01\"\\\xff\xc3\xa9.dat");
  write(name, "\x80\x7f title\t\xe2\x82\n" + repeat("h\n", 20) + "1 0.1 2\n");
  write("b.dat", kPlain + "1 1e-300 0\n");
  const Explanation facts = explainNamed(name, "b.dat");
  ASSERT_FALSE(facts.stop);
  const auto report = jsonOf(facts);
  EXPECT_EQ(report["files"][0]["name"], "a\x01\"\\\xc3\xbf\xc3\xa9.dat");  // 0xff as U+00FF
  EXPECT_EQ(report["files"][0]["title"], "\xc2\x80\x7f");
  EXPECT_EQ(report["result_line"], facts.resultLine);
  EXPECT_EQ(report["total"].get<double>(), facts.total);
  EXPECT_EQ(report["top"][0]["reference_value"].get<double>(), 0.1);
  EXPECT_EQ(report["top"][0]["compared_value"].get<double>(), 1e-300);
  // Column 1 alike in both files, columns 2 and 3 not.
  EXPECT_EQ(report["top"][0]["reference_values"], nlohmann::json::parse("[1, 0.1, 2]"));
  EXPECT_EQ(report["top"][0]["compared_values"], nlohmann::json::parse("[1, 1e-300, 0]"));
  EXPECT_EQ(report["largest"]["compared_values"], report["top"][0]["compared_values"]);
  EXPECT_TRUE(report["error"].is_null());
}

TEST_F(InDirectory, JsonOfAStop) {
  write("b.dat", kPlain);
  const Explanation facts = explainNamed("a.dat", "b.dat");
  const auto report = jsonOf(facts);
  EXPECT_TRUE(report["result_line"].is_null());
  EXPECT_EQ(report["files"][0]["exists"], false);
  EXPECT_TRUE(report["files"][0]["stat_error"].is_null());
  EXPECT_EQ(report["error"]["kind"], "end-of-file");
  EXPECT_EQ(report["error"]["statement"], 36);
  EXPECT_EQ(report["error"]["channel"], 13);
  EXPECT_EQ(report["error"]["file"], "a.dat");
  EXPECT_TRUE(report["error"]["line"].is_null());
  EXPECT_EQ(report["error"]["text"], facts.stop->text);
}

TEST(ExplainText, JsonEscapeKeepsUtf8EscapesTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"\"q\" \\", "\\\"q\\\" \\\\"},
      {"\n\t\x01\x7f", "\\u000a\\u0009\\u0001\\u007f"},
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xc0\xaf", "\\u00c0\\u00af"},          // overlong
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},  // a surrogate
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // above U+10FFFF
      {"\xe2\x82", "\\u00e2\\u0082"},          // cut short
  };
  for (const auto& [bytes, body] : cases) EXPECT_EQ(escaped(bytes, Escape::Json), body) << bytes;
}

TEST(ExplainText, CountsAndWholeNumbersAsTheCompanionsTakeThem) {
  const std::pair<std::size_t, const char*> grouped[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {100000, "100,000"}, {1000000, "1,000,000"}, {12345678, "12,345,678"}};
  for (const auto& [n, text] : grouped) EXPECT_EQ(companion::groupedCount(n), text) << n;
  // A count's digits as std::to_string writes them, on either side of eight
  // digits and at the largest.
  for (const std::uint64_t n : {0ULL, 1ULL, 9ULL, 10ULL, 100ULL, 1020304ULL, 10000000ULL, 99999999ULL, 100000000ULL,
                                123456789012ULL, 18446744073709551615ULL}) {
    char text[20];
    EXPECT_EQ(std::string(text, companion::writeCount(n, text)), std::to_string(n));
  }
  struct Whole {
    const char* text;
    bool taken;
    std::size_t value;
  };
  const Whole counts[] = {{"12", true, 12},   {"007", true, 7},  {"", false, 0},   {" 1", false, 0},
                          {"1 ", false, 0},   {"+1", false, 0},  {"-1", false, 0}, {"1e3", false, 0},
                          {"0x10", false, 0}, {"18446744073709551616", false, 0}};
  for (const Whole& w : counts) {
    std::size_t value = 0;
    EXPECT_EQ(companion::wholeNumber(w.text, value), w.taken) << w.text;
    if (w.taken) {
      EXPECT_EQ(value, w.value) << w.text;
    }
  }
}

TEST(ExplainText, ShortestTextReadsBack) {
  const double values[] = {0.1, 1e-300, 5e-324, 1.7976931348623157e308, -0.0, 123456789012345678.0, 1.0 / 3};
  for (double v : values) EXPECT_EQ(std::strtod(shortestText(v).c_str(), nullptr), v) << shortestText(v);
  EXPECT_EQ(shortestText(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(shortestText(-std::numeric_limits<double>::infinity()), "-Infinity");
}

// The text is std::to_chars's, character for character, on decimals of 1
// to 17 digits at every place of the point around the plain forms' range
// (and a few at every other place), on their neighbours, at the ends of
// every binade and on doubles of any bits.
TEST(ExplainText, ShortestTextIsTheStandardOne) {
  auto standard = [](double v) {
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
  };
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
  };
  std::vector<double> values = {0.001, 0.0009999999999999998, 1e15, 999999999999999.9, 99.9765, 0.1, 0.5, 1.05,
                                100, 1e14 + 0.5, 123456789012345.6, 0.0012345678901234567, 2490.0100000008715,
                                99999999.5, 9999999.95, 0.0099999995, 0.00999999995, 12345678.25, 10000000.5,
                                0.0010000001, 99999999.99999999, 1.00000001, 123456.7890123,
                                0.0, -0.0, 5e-324, 1e-323, 1.5e-323, 2.2250738585072014e-308,
                                2.225073858507201e-308, 1.7976931348623157e308, 9007199254740992.0,
                                9007199254740994.0, 9007199254740990.0, 18014398509481984.0, 123456789012345680.0,
                                1152921504606846976.0, 9223372036854775808.0, 1180591620717411303424.0, 1e21, 1e22,
                                1e23, 9.999999999999999e21, 1e-4, 1.2e-5, 1.25e-4, 1e100, 1e-100, 1e-99, 1.5e99,
                                0.3, 2.0 / 3, 1.0 / 3 * 1e-300, 4.9406564584124654e-324 * 3, 8.98846567431158e307,
                                -12345678.901234567, -123456789.01234567, -999999999999999.9, 1234567890123456.8,
                                -1234567890123456.8, 123456789.5, -0.00012345678901234567, 0.0001, -0.00012, 1.5e-5,
                                9957759.594099954, -8.175112572676294e-06, 24779090680055.86, 1e16, 1.2e16, -9e-5,
                                89062, -78505, 2000, 4e6, -7, 1, 10, 99999, 100000, -300000, 1e6, 1e7, 21000000,
                                -99000000, 12300000, 99999999, 10000001, 1.6e11, 160000000001, 1e15, 123e10,
                                9007199254740991.0, -9007199254740992.0, 9007199254740994.0, 1e17, 18446744073709549568.0,
                                18446744073709551616.0, 18446744073709555712.0, 36893488147419103232.0, 1e20,
                                0.0009765625, 0.00098, -0.0009999, 0.0019531249999999998, 0.001953125, 1e8,
                                100000001, 120000000, 134217727, 134217728, 67108864, 200000, -7e5, 120000, 5e6,
                                2e7, 2.5e7, 67108863.5, 0.12345678499999999, 1234.5678,
                                // A tie at the seventeenth digit's half, and an end of the span
                                // on a digit's multiple of 1,000.
                                137438953472.01562, 193019141877.20312, -100099911847.01562,
                                -77028845817.57812, 1.46527424279168e+20, 1.7155084360064e+20,
                                5.07431153060352e+20, -2.01841794503424e+20,
                                // Where the forms meet below 1 with one digit and with more,
                                // and the longest fractions and whole numbers in full.
                                0.0002, -2e-5, 0.00021, 2.1e-5, 0.12345678901234568, 9.5,
                                12345678.9, 1.2345678901234568e16, -1.2345678901234568e17};
  for (int digits = 1; digits <= 17; ++digits) {
    for (int point = -325; point <= 309; ++point) {
      const int count = point >= -6 && point <= 17 ? 200 : 4;
      for (int k = 0; k < count; ++k) {
        std::string text = std::to_string(next() % 9 + 1);
        for (int d = 1; d < digits; ++d) text += static_cast<char>('0' + next() % 10);
        text += "e" + std::to_string(point - digits + 1);
        const double v = std::strtod(text.c_str(), nullptr);
        values.insert(values.end(), {v, -v, std::nextafter(v, 0.0), std::nextafter(v, 1e300)});
      }
    }
  }
  for (std::uint64_t exponent = 0; exponent < 2047; ++exponent) {
    for (const std::uint64_t fraction : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, (std::uint64_t{1} << 52) - 1,
                                         (std::uint64_t{1} << 52) - 2, next() >> 1}) {
      const std::uint64_t bits = exponent << 52 | (fraction & ((std::uint64_t{1} << 52) - 1));
      double v = 0;
      std::memcpy(&v, &bits, sizeof v);
      values.insert(values.end(), {v, -v});
    }
  }
  for (int k = 0; k < 100000; ++k) {
    const std::uint64_t bits = next() << 11 | next() % 2048;
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);
  }
  double before = 1;
  for (const double v : values) {
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(shortestText(v), standard(v)) << standard(v);
    // Two at a time where both are short decimals (the value before and
    // this one): each text the standard one.
    char first[kShortestRoom], second[kShortestRoom];
    const ShortestPair ends = writeShortDecimals(before, first, v, second);
    if (ends.first != nullptr) {
      ASSERT_EQ(std::string(first, ends.first), standard(before)) << standard(before) << " " << standard(v);
      ASSERT_EQ(std::string(second, ends.second), standard(v)) << standard(before) << " " << standard(v);
    }
    before = v;
  }
}

}  // namespace
}  // namespace velmora::explain
