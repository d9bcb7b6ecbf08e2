// velmora-suite's library in-process: limit files, the walk over a tree, the
// verdicts and the text shown for bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "companion/companion.h"
#include "suite/suite.h"

namespace {

using namespace velmora::suite;
namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "suite-test.XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The entries found under the roots, each as "ROOT:PATH" (the root's index),
// with its problem's line 2 after a space when it has one.
std::vector<std::string> found(const std::vector<std::string>& roots, std::string& error) {
  Tree tree;
  std::vector<std::string> entries;
  if (!findCases(roots, Limit{}, false, tree, error)) return entries;
  for (const Entry& entry : tree.entries) {
    entries.push_back(std::to_string(entry.root) + ":" + entry.name +
                      (entry.problem.empty() ? "" : " " + entry.problemDescription));
  }
  return entries;
}

TEST(LimitFile, ContentsGiveTheLimitOrTwoLines) {
  struct Row {
    std::string contents;
    bool ok;
    double value;
    const char* text;      // the limit as shown, or a piece of line 2
  };
  const Row rows[] = {
      {"0\n", true, 0, "0"},
      {"0", true, 0, "0"},
      {"  1e-6  \r\n", true, 1e-6, "1e-6"},
      {"# exact case\n\n0.5\n# end\n", true, 0.5, "0.5"},
      {"+2.5\n", true, 2.5, "+2.5"},
      {"inf\n", true, std::numeric_limits<double>::infinity(), "inf"},
      {"-1\n", true, -1, "-1"},
      {"", false, 0, "no number in it"},
      {"# only a comment\n", false, 0, "no number in it"},
      {"1 2\n", false, 0, "it must hold one number and nothing else"},
      {"1\n2\n", false, 0, "it must hold one number and nothing else"},
      {"nan\n", false, 0, "it must hold one number and nothing else"},
      {"1e400\n", false, 0, "it must hold one number and nothing else"},
      {"0x10\n", false, 0, "it must hold one number and nothing else"},
      {"1,5\n", false, 0, "it must hold one number and nothing else"},
      {"++1\n", false, 0, "it must hold one number and nothing else"},
      {"0x10\n", false, 0, "it must hold one number and nothing else"},
      {std::string(4096, '#'), false, 0, "no number in it"},
      {std::string(4096, '#') + "\n0\n", false, 0, "it is longer than 4096 bytes"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    writeFile(dir.path() + "/" + kLimitFileName, row.contents);
    Limit limit;
    std::string error;
    const bool ok = readCaseLimit(dir.path(), Limit{LimitSource::Option, 7, "7"}, limit, error);
    ASSERT_EQ(ok, row.ok) << "'" << row.contents << "': " << error;
    if (ok) {
      EXPECT_EQ(limit.source, LimitSource::File) << row.contents;
      EXPECT_EQ(limit.value, row.value) << row.contents;
      EXPECT_EQ(limit.text, row.text) << row.contents;
    } else {
      EXPECT_EQ(error.find("velmora-suite: limit file '"), 0u) << error;
      EXPECT_NE(error.find("\nerror: " + std::string(row.text)), std::string::npos) << error;
      EXPECT_EQ(error.back(), '\n');
    }
  }
}

TEST(LimitFile, WithoutOneTheFallbackHoldsAndAFolderIsRefused) {
  TempDir dir;
  Limit limit;
  std::string error;
  ASSERT_TRUE(readCaseLimit(dir.path(), Limit{LimitSource::Option, 7, "7"}, limit, error));
  EXPECT_EQ(limit.source, LimitSource::Option);
  EXPECT_EQ(limit.value, 7);
  ASSERT_TRUE(readCaseLimit(dir.path(), Limit{}, limit, error));
  EXPECT_EQ(limit.source, LimitSource::None);
  fs::create_directory(dir.path() + "/" + kLimitFileName);
  EXPECT_FALSE(readCaseLimit(dir.path(), Limit{}, limit, error));
  EXPECT_NE(error.find("error: not a regular file\n"), std::string::npos) << error;
}

TEST(Verdict, FromTotalAndLimit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    bool compared;
    double total;
    LimitSource source;
    double limit;
    Verdict verdict;
  };
  const Row rows[] = {
      {true, 0, LimitSource::File, 0, Verdict::Pass},
      {true, 1e-300, LimitSource::File, 0, Verdict::Fail},
      {true, 2.5, LimitSource::Option, 2.5, Verdict::Pass},
      {true, 2.5000000000000004, LimitSource::Option, 2.5, Verdict::Fail},
      {true, nan, LimitSource::File, inf, Verdict::Fail},
      {true, inf, LimitSource::File, inf, Verdict::Pass},
      {true, nan, LimitSource::None, 0, Verdict::Report},
      {true, 1e9, LimitSource::None, 0, Verdict::Report},
      {false, 0, LimitSource::File, 1, Verdict::Error},
      {false, 0, LimitSource::None, 0, Verdict::Error},
  };
  for (const Row& row : rows) {
    Comparison comparison;
    comparison.compared = row.compared;
    comparison.total = row.total;
    EXPECT_EQ(judge(comparison, Limit{row.source, row.limit, ""}), row.verdict)
        << row.total << " against " << row.limit;
  }
}

TEST(Discovery, SortedDepthFirstEachFolderOnce) {
  TempDir dir;
  const std::string& top = dir.path();
  for (const char* folder : {"b", "a/z", "a/b c", "a/B", "a/b c/deeper", "empty", "a/b c/deeper/x"}) {
    fs::create_directories(top + "/" + folder);
  }
  for (const char* folder : {"b", "a/z", "a/b c", "a/B", "a/b c/deeper/x", "."}) {
    writeFile(top + "/" + folder + "/CompareThese.inp", "x\ny\n");
  }
  // A case file that is itself a folder still makes a case (velmora will say
  // it cannot open it); links back up, sideways and nowhere.
  fs::create_directories(top + "/odd/CompareThese.inp");
  fs::create_directory_symlink("..", top + "/a/up");
  fs::create_directory_symlink("../b", top + "/a/zz-side");
  fs::create_symlink("nowhere", top + "/a/dangling");
  std::string error;
  // b is first met through the link a/zz-side, and taken there; paths are
  // relative to the root.
  const std::vector<std::string> expected = {"0:.", "0:a/B", "0:a/b c", "0:a/b c/deeper/x",
                                             "0:a/z", "0:a/zz-side", "0:odd"};
  EXPECT_EQ(found({top}, error), expected);
  ASSERT_EQ(error, "");

  // Two roots keep their order, and each names its entries after itself as
  // given; a folder named twice is taken once.
  const std::string here = fs::current_path().string();
  ASSERT_EQ(::chdir((top + "/a").c_str()), 0);
  const std::vector<std::string> relative = found({"z", ".", "z/"}, error);
  const std::vector<std::string> alone = found({"."}, error);
  ASSERT_EQ(::chdir(here.c_str()), 0);
  ASSERT_EQ(error, "");
  // The link up leads to the folders not yet met.
  const std::vector<std::string> expectedRelative = {"0:z", "1:./B", "1:./b c", "1:./b c/deeper/x", "1:./up",
                                                     "1:./up/b", "1:./up/odd"};
  EXPECT_EQ(relative, expectedRelative);
  // One root alone: paths relative to it, without "./".
  ASSERT_GE(alone.size(), 2u);
  EXPECT_EQ(alone[0], "0:B");
}

TEST(Discovery, ARootThatIsNoFolderIsTwoLines) {
  TempDir dir;
  writeFile(dir.path() + "/file", "");
  struct Row {
    std::string root;
    const char* line2;
  };
  const Row rows[] = {{dir.path() + "/missing", "error: cannot open it: No such file or directory\n"},
                      {dir.path() + "/file", "error: not a folder\n"}};
  for (const Row& row : rows) {
    std::string error;
    EXPECT_TRUE(found({row.root}, error).empty());
    EXPECT_EQ(error, "velmora-suite: folder '" + row.root + "'\n" + row.line2);
  }
}

TEST(Discovery, AFolderThatCannotBeListedIsAnEntryAndTheWalkGoesOn) {
  if (::geteuid() == 0) GTEST_SKIP() << "root lists every folder";
  TempDir dir;
  for (const char* folder : {"a", "locked/x", "z"}) {
    fs::create_directories(dir.path() + "/" + folder);
    writeFile(dir.path() + "/" + folder + "/CompareThese.inp", "x\ny\n");
  }
  ASSERT_EQ(::chmod((dir.path() + "/locked").c_str(), 0311), 0);
  std::string error;
  const std::vector<std::string> expected = {"0:a", "0:locked cannot list it: Permission denied", "0:z"};
  EXPECT_EQ(found({dir.path()}, error), expected);
  ::chmod((dir.path() + "/locked").c_str(), 0755);
}

TEST(Tree, JunitNamesAndShards) {
  TempDir dir;
  for (const char* folder : {"pressure/tight", "pressure/deep/er", "top"}) {
    fs::create_directories(dir.path() + "/" + folder);
    writeFile(dir.path() + "/" + folder + "/CompareThese.inp", "x\ny\n");
  }
  writeFile(dir.path() + "/CompareThese.inp", "x\ny\n");
  Tree tree;
  std::string error;
  ASSERT_TRUE(findCases({dir.path() + "/"}, Limit{}, false, tree, error)) << error;
  std::vector<std::string> names;
  for (const Entry& entry : tree.entries) names.push_back(caseClass(entry) + " " + caseName(entry, tree));
  const std::string own = fs::path(dir.path()).filename().string();
  const std::vector<std::string> expected = {". " + own, "pressure/deep er", "pressure tight", ". top"};
  EXPECT_EQ(names, expected);

  // Every entry in exactly one shard, in order.
  for (unsigned count : {1u, 2u, 3u, 4u, 7u}) {
    std::vector<std::string> together;
    for (unsigned index = 1; index <= count; ++index) {
      std::vector<Entry> part;
      for (const Entry& entry : tree.entries) part.push_back(entry);
      keepShard(part, index, count);
      for (const Entry& entry : part) together.push_back(entry.path);
    }
    std::sort(together.begin(), together.end());
    std::vector<std::string> all;
    for (const Entry& entry : tree.entries) all.push_back(entry.path);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(together, all) << count << " shards";
  }
}

TEST(Shown, AlreadyShownTextIsNotEscapedTwice) {
  struct Row {
    std::string text, markup;
  };
  const Row rows[] = {
      {"file 'b\\x01.dat'", "file &#39;b\\x01.dat&#39;"},
      {"b\\x1b\xff <c>", "b\\x1b\\xff &lt;c&gt;"},
      {"back\\\\slash & more", "back\\\\slash &amp; more"},
  };
  for (const Row& row : rows) EXPECT_EQ(markupOfShown(row.text), row.markup) << row.text;
  Summary one;
  one.cases = 1;
  one.passed = 1;
  EXPECT_EQ(summaryText(one), "1 case: 1 within their limit, 0 above it, 0 cannot be read, 0 without a limit");
  one.shard = 2;
  one.shards = 3;
  EXPECT_EQ(summaryText(one).substr(0, 21), "1 case in shard 2 of ");
}

TEST(Shown, ControlBytesBackslashesAndBrokenUtf8) {
  struct Row {
    std::string bytes;
    bool utf8Only;
    std::string shown;
  };
  const Row rows[] = {
      {"plain name.dat", false, "plain name.dat"},
      {"tab\there", false, "tab\\x09here"},
      {std::string("nul\0x", 5), true, "nul\\x00x"},
      {"back\\slash", true, "back\\\\slash"},
      {"del\x7f", false, "del\\x7f"},
      {"caf\xc3\xa9", true, "caf\xc3\xa9"},
      {"caf\xe9", false, "caf\xe9"},
      {"caf\xe9", true, "caf\\xe9"},
      {"\xe2\x82\xac euro", true, "\xe2\x82\xac euro"},
      {"\xe2\x82", true, "\\xe2\\x82"},
      {"\xc0\xaf", true, "\\xc0\\xaf"},                  // overlong
      {"\xed\xa0\x80", true, "\\xed\\xa0\\x80"},         // surrogate
      {"\xf4\x90\x80\x80", true, "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
      {"\xf0\x9f\x98\x80", true, "\xf0\x9f\x98\x80"},
  };
  for (const Row& row : rows) EXPECT_EQ(shown(row.bytes, row.utf8Only), row.shown) << row.bytes;
}

// Twice the total, rounded up to two significant digits, and read back as
// a limit file is read it passes the total.
TEST(Limits, SuggestedLimitPassesTheTotalWithRoom) {
  const std::pair<double, const char*> rows[] = {
      {15625, "3.2e4"}, {0.5, "1.0e0"}, {4.9, "9.8e0"}, {5, "1.0e1"}, {0, "0"},
      {410671035616.0, "8.3e11"}, {1e-300, "2.0e-300"}, {4.95, "9.9e0"}, {4.96, "1.0e1"},
      {std::numeric_limits<double>::infinity(), "inf"}, {std::nan(""), ""},
  };
  for (const auto& [total, want] : rows) EXPECT_EQ(suggestedLimit(total), want) << total;
}

// Every field a child sends comes back as it was sent; a record cut short
// anywhere, or with a byte more, is no record.
TEST(Record, EveryFieldComesBackAndABrokenOneIsRefused) {
  Comparison sent;
  sent.compared = true;
  sent.total = 15625.5;
  sent.rowsCompared = 7;
  sent.resultLine = "   15625.500000000000     ";
  sent.stopText = "Velmora: statement 1\nerror: x\n";
  sent.stopDescription = "x";
  sent.findings = {{"relation", "a relation", {"row 4: one", "row 9: two"}}, {"largest", "row 2 adds most", {}}};
  sent.explainJson = "{}";
  sent.top = {{"2", "23", "24", "0.5", "0.625", "125", "15625", "100%", "1 0.5 0", "1 0.625 0", "1, 0.5, 0",
               "1, 0.625, 0"}};
  sent.files = {{"reference", "a.dat", "2", "'2' (character 12)", "title", "first 1, second 2, third 3, rate 4",
                 "lines 19 to 22", 4}};
  sent.picture = "<svg/>";
  sent.referenceName = "a.dat";
  sent.comparedName = "b\x01.dat";
  const std::string bytes = encodeRecord(sent);
  Comparison got;
  ASSERT_TRUE(decodeRecord(bytes, got));
  EXPECT_EQ(encodeRecord(got), bytes);
  EXPECT_EQ(got.rowsCompared, 7U);
  EXPECT_EQ(got.findings[0].details[1], "row 9: two");
  EXPECT_EQ(got.top[0].comparedText, "1 0.625 0");
  EXPECT_EQ(got.comparedName, sent.comparedName);
  EXPECT_EQ(got.top[0].comparedValues, "1, 0.625, 0");
  ASSERT_EQ(got.files.size(), 1U);
  EXPECT_EQ(got.files[0].rows, 4U);
  EXPECT_EQ(got.files[0].header, sent.files[0].header);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    Comparison broken;
    EXPECT_FALSE(decodeRecord(std::string_view(bytes).substr(0, cut), broken)) << cut;
  }
  Comparison longer;
  EXPECT_FALSE(decodeRecord(bytes + "x", longer));
}

// The message's finding is the one that explains the total, then the rest
// in velmora-explain's order; where the names came from and the verdict are
// never the message.
TEST(Findings, TheOneThatExplainsTheTotalLeads) {
  struct Row {
    std::vector<std::string> kinds;
    std::string lead;  // "" for none
    std::string order;
  };
  const Row rows[] = {
      {{"control-file", "first-difference", "largest", "relation"}, "relation", "relation first-difference largest"},
      {{"control-file", "row-counts", "unexplained", "largest"}, "unexplained", "unexplained row-counts largest"},
      {{"stop", "control-file"}, "stop", "stop"},
      {{"control-file", "files-agree", kVerdictKind}, "files-agree", "files-agree"},
      {{"control-file", kVerdictKind}, "", ""},
      {{}, "", ""},
  };
  for (const Row& row : rows) {
    Comparison c;
    for (const std::string& kind : row.kinds) c.findings.push_back({kind, kind + " text", {}});
    const CaseFinding* lead = leadFinding(c);
    EXPECT_EQ(lead == nullptr ? std::string() : lead->kind, row.lead) << row.order;
    std::string order;
    for (const CaseFinding* f : findingsInOrder(c)) {
      if (f->kind == "control-file" || f->kind == kVerdictKind) continue;
      order += (order.empty() ? "" : " ") + f->kind;
    }
    EXPECT_EQ(order, row.order);
  }
}

// A case whose total a relation explains: the relation is its first
// finding, on its line and in its JUnit failure message.
TEST(FirstFinding, IsTheRelationThatExplainsTheTotal) {
  char pattern[] = "/tmp/velmora-suite-relation-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern, previous = std::filesystem::current_path();
  std::string reference = "readings\n", compared = "readings\n";
  for (int i = 0; i < 20; ++i) reference += "header\n", compared += "header\n";
  for (int i = 1; i <= 20; ++i) {
    reference += std::to_string(i) + " " + std::to_string(i * 0.5) + " 0\n";
    compared += std::to_string(i) + " " + std::to_string(i == 4 ? 2010.0 : i * 500.0) + " 0\n";
  }
  std::ofstream(dir / "a.dat") << reference;
  std::ofstream(dir / "b.dat") << compared;
  std::ofstream(dir / "CompareThese.inp") << "a.dat\nb.dat\n";
  std::filesystem::current_path(dir);
  CaseResult result;
  result.path = "unit";
  result.limit = {LimitSource::File, 1, "1"};
  compareHere(RunOptions{}, result.limit, result.comparison);
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(dir);
  judgeCase(result);
  const std::string expected =
      "compared column 2 is 1000 x the reference's on 19 of 20 rows; following it, the total would be 1e8";
  const CaseFinding* lead = leadFinding(result.comparison);
  ASSERT_NE(lead, nullptr);
  EXPECT_EQ(lead->kind, "relation");
  EXPECT_EQ(lead->text.rfind(expected, 0), 0U) << lead->text;
  // The relation's exceptions go with it: row 4 does not follow it.
  ASSERT_FALSE(lead->details.empty());
  EXPECT_EQ(lead->details[0].rfind("row 4 (line 25): read 2010, expected 2000", 0), 0U) << lead->details[0];
  // The verdict names where its limit came from, and comes last.
  EXPECT_EQ(result.comparison.findings.back().kind, kVerdictKind);
  EXPECT_EQ(result.comparison.findings.back().text.rfind("velmora-limit 1: the total ", 0), 0U)
      << result.comparison.findings.back().text;
  EXPECT_EQ(result.comparison.rowsCompared, 20U);
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  Summary summary;
  count(summary, result);
  EXPECT_TRUE(writeJunit(out, {result}, summary, 0, "nightly"));
  std::fclose(out);
  const std::string junit(buffer, size);
  std::free(buffer);
  // The total as a number, not the result line's padding.
  EXPECT_NE(junit.find("message=\"total " + velmora::companion::shortestText(result.comparison.total) +
                       " above the limit 1 (velmora-limit): compared column 2 is 1000 x "
                       "the reference&#39;s on 19 of 20 rows"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find("<testsuite name=\"nightly\""), std::string::npos);
  EXPECT_NE(junit.find("rows compared: 20\n"), std::string::npos) << junit;
}

}  // namespace
