// The built velmora run as a user runs it: in a fresh working directory holding
// CompareThese.inp and the data files. Each case checks the result line or the
// two-line diagnostic exactly, the exit status, that every file written for the
// run is left byte for byte as it was, and which files the run created.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {
namespace fs = std::filesystem;

using Files = std::vector<std::pair<std::string, std::string>>;  // name, content

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string repeat(std::string_view text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// Data files. A short first title value leaves character 12 blank: twenty
// records of header, then the rows.
std::string plain(std::string_view rows) { return "readings\n" + repeat("header\n", 20) + std::string(rows); }
// Format code 1: three labelled numbers, four records, the rate, ten records.
std::string layout1(std::string_view rows) {
  return "VELMORA-DAT1 survey\nPressure 1\nDepth 2\nTemp 3\n" + repeat("note\n", 4) + "Rate 4\n" +
         repeat("column\n", 10) + std::string(rows);
}
// Format code 2: the title, then `head` (three labelled numbers, the branch
// and the rate search), ten records, the rows.
std::string layout2(std::string_view head, std::string_view rows, std::string_view title = "VELMORA-DAT2") {
  return std::string(title) + "\n" + std::string(head) + repeat("column\n", 10) + std::string(rows);
}
Files withControl(std::string control, Files files) {
  files.insert(files.begin(), {"CompareThese.inp", std::move(control)});
  return files;
}
Files both(std::string a, std::string b) {
  return withControl("a.dat\nb.dat\n", {{"a.dat", std::move(a)}, {"b.dat", std::move(b)}});
}
std::string diag(std::string_view where, std::string_view what) {
  return "Velmora: " + std::string(where) + "\nerror: " + std::string(what) + "\n";
}

// Column 2 scales by 1000: these rows hold 250 and 500, and kNear's second
// row is 125 further off, so the pair totals 125 squared.
const std::string kRows = "1 0.25 0\n2 0.5 0\n";
const std::string kNear = "1 0.25 0\n2 0.625 0\n";
const std::string k15625 = "   15625.000000000000     \n";
const std::string kZero = "   0.0000000000000000     \n";
const std::string kNaN = std::string(23, ' ') + "NaN\n";
const std::string k72 = std::string(72, 'd');

enum class Stdout { Captured, Closed, Full, BrokenPipe };
struct Outcome { std::string out, err; int status; };

// A temporary directory: the tool runs in work/, its output is kept beside it.
class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/velmora-cli-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directory(work());
  }
  ~Sandbox() {
    std::error_code ignored;
    fs::permissions(work(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  fs::path root() const { return root_; }
  fs::path work() const { return root_ / "work"; }
  void write(const Files& files) const {
    for (const auto& [name, text] : files) std::ofstream(work() / name, std::ios::binary) << text;
  }

  Outcome run(Stdout mode = Stdout::Captured, std::vector<std::string> args = {}, bool asNobody = false) const {
    const std::string workDir = work().string(), outPath = (root_ / "out").string(),
                      errPath = (root_ / "err").string();
    std::string program = VELMORA_EXE;
    if (asNobody) {  // the build tree may be closed to other users; the sandbox is not
      program = (root_ / "velmora").string();
      fs::copy_file(VELMORA_EXE, program, fs::copy_options::overwrite_existing);
    }
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& word : args) argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (mode == Stdout::BrokenPipe) {
      if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
      close(pipeEnds[0]);  // nobody will ever read what is written
    }
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      // Only plain system calls from here to the exec.
      auto moveTo = [](int fd, int target) {
        if (fd >= 0 && fd != target) {
          dup2(fd, target);
          close(fd);
        }
      };
      signal(SIGPIPE, SIG_DFL);  // the tool must not rely on its parent ignoring it
      moveTo(open("/dev/null", O_RDONLY), 0);
      moveTo(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      if (mode == Stdout::Captured) moveTo(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      if (mode == Stdout::Full) moveTo(open("/dev/full", O_WRONLY), 1);
      if (mode == Stdout::BrokenPipe) moveTo(pipeEnds[1], 1);
      if (mode == Stdout::Closed) close(1);
      if (chdir(workDir.c_str()) != 0) _exit(127);
      if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(127);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pipeEnds[1] >= 0) close(pipeEnds[1]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid failed");
    return {slurp(outPath), slurp(errPath), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
  }

  // The written files are unchanged, and the only other entries are the links
  // and the files the run was expected to create empty.
  void expectLeft(const Files& written, const std::vector<std::string>& createdEmpty = {},
                  const Files& links = {}) const {
    std::set<std::string> expected(createdEmpty.begin(), createdEmpty.end()), found;
    for (const auto& entry : written) expected.insert(entry.first);
    for (const auto& entry : links) expected.insert(entry.first);
    for (const auto& entry : fs::directory_iterator(work())) found.insert(entry.path().filename().string());
    EXPECT_EQ(found, expected);
    for (const auto& [name, text] : written) EXPECT_TRUE(slurp(work() / name) == text) << name << " was changed";
    for (const auto& name : createdEmpty) {
      std::error_code missing;
      EXPECT_EQ(fs::file_size(work() / name, missing), 0u) << name << " should be left empty";
    }
  }

 private:
  fs::path root_;
};

struct Case {
  const char* name;
  Files files;
  std::string out, err;
  int status;
  std::vector<std::string> createdEmpty = {};
  Files links = {};  // link name, target
};

const Case kCases[] = {
    // Header layouts. A layout misread leaves the reader at the wrong record:
    // then header words are read as numbers or rows go missing.
    {"Layout1", both(layout1(kRows), plain(kNear)), k15625, "", 0},
    {"CountsStatementsNotLines",
     both("VELMORA-DAT1\n\nPressure\n\n1\nDepth 2\n\nTemp\n3\n" + repeat("note\n\n", 4) + "\nRate\n\n4\n" +
              repeat("\ncolumn\n", 10) + "\n1 0.25 0\n\n2 0.5 0\n",
          "readings\n" + repeat("header\n\n", 20) + kNear),
     k15625, "", 0},
    {"Layout1HeaderCutShort", both("VELMORA-DAT1\nPressure 1\n", plain(kRows)), "",
     diag("statement 44, channel 13, file 'a.dat'", "end of file"), 2},
    {"ThirdEqualsFirstReadsOneMoreNumber",
     both(layout2("Pinit 2\nDepth 5\nPfinal 2\nShutin\n7\nRate 1\n", kRows), plain(kNear)), k15625, "", 0},
    {"ExtraLabelledNumberMustBeANumber",
     both(layout2("Pinit 2\nDepth 5\nPfinal 2\nShutin none\nRate 1\n", kRows), plain(kNear)), "",
     diag("statement 71, channel 13, file 'a.dat', line 5", "bad number in item 2"), 2},
    {"ExtraLabelledNumberInSecondFile",
     both(plain(kNear), layout2("Pinit 2\nDepth 5\nPfinal 2\nShutin none\nRate 1\n", kRows)), "",
     diag("statement 159, channel 13, file 'b.dat', line 5", "bad number in item 2"), 2},
    {"ThirdDiffersSkipsOneRecord",
     both(layout2("Pinit 2\nDepth 5\nPfinal 3\nShutin none\nRate 1\n", kRows), plain(kNear)), k15625, "", 0},
    {"NaNIsNeverEqual", both(layout2("Pinit nan\nDepth 5\nPfinal nan\nShutin none\nRate 1\n", kRows), plain(kNear)),
     k15625, "", 0},
    {"RateSearchNearMisses",
     both(layout2("P 1\nQ 1\nR 3\nskip\nrate 1\nRATE 2\nRat 3\nxRate 4\nRates 5\n", kRows), plain(kNear)), k15625,
     "", 0},
    {"RateColonEndsSearch", both(layout2("P 1\nQ 1\nR 3\nskip\nRat\n2\nRate: 5\n", kRows), plain(kNear)), k15625,
     "", 0},
    {"RateSearchMeetsEndOfFile", both("VELMORA-DAT2\nP 1\nQ 1\nR 3\nskip\nrate 1\n", plain(kRows)), "",
     diag("statement 79, channel 13, file 'a.dat'", "end of file"), 2},
    {"QuotedTitleSelectsLayout2",
     both(layout2("P 1\nQ 1\nR 3\nskip\nRate 1\n", kRows, "'Velmora DAT2 injection test'"), plain(kNear)),
     k15625, "", 0},
    {"FormatCodeFromFirstValue", both("A           1\n" + repeat("header\n", 20) + kRows, plain(kNear)), k15625,
     "", 0},
    {"OtherFormatCodeIsPlain", both("VELMORA-DAT3 x\n" + repeat("header\n", 20) + kRows, plain(kNear)), k15625,
     "", 0},
    // Rows and the total.
    {"ZeroRowsInFirst", both(plain(""), plain("1 0.25 0\n")), "   62500.000000000000     \n", "", 0},
    {"ZeroRowsInSecond", both(layout1(kRows), plain("")), kZero, "", 0},
    {"ShorterSecond", both(plain("1 0.25 0\n2 0.5 0\n3 0.75 0\n"), plain("1 0.125 0\n")), k15625, "", 0},
    {"LongerSecond", both(plain("1 0.25 0\n"), plain(kRows)), "   250000.00000000000     \n", "", 0},
    {"CutShortRowIsDropped", both(plain("1 0.25 0\n2 0.5"), plain("1 0.25 0\n2 0.5 0\n3 0.125 0\n")),
     "   265625.00000000000     \n", "", 0},
    {"SlashBlankAndLongRows", both(plain("/\n\n1 0.25 0 7 8 9\n\n"), plain("0 0.125 0\n1 0.25 0\n")), k15625, "",
     0},
    {"IdenticalFiles", both(layout1(kRows), layout1(kRows)), kZero, "", 0},
    {"SameFileTwice", withControl("a.dat\na.dat\n", {{"a.dat", plain(kNear)}}), kZero, "", 0},
    {"NaNTotal", both(plain("1 0 0\n"), plain("1 NaN 0\n")), kNaN, "", 0},
    {"InfinityTotal", both(plain("1 0 0\n"), plain("1 1e200 0\n")), std::string(18, ' ') + "Infinity\n", "", 0},
    {"InfinityMinusInfinity", both(plain("1 1e306 0\n"), plain("1 1e306 0\n")), kNaN, "", 0},
    // Result-line forms: fixed in [0.1, 1e17), exponent outside, 17 digits.
    {"TwoAndAHalf", both(plain(""), plain("1 0.0015 0\n2 0.0005 0\n")), "   2.5000000000000000     \n", "", 0},
    {"OneHalf", both(plain(""), plain("1 0.0005 0\n2 -0.0005 0\n")), "  0.50000000000000000     \n", "", 0},
    {"BelowOneRounded", both(plain(""), plain("1 0.0005 0\n2 0.0001 0\n")), "  0.26000000000000001     \n", "",
     0},
    {"ThreeTimesTenToMinusFive", both(plain(""), plain("1 5.477225575051661E-6 0\n")),
     "   3.0000000000000001E-005\n", "", 0},
    {"BelowOneTenth", both(plain(""), plain("1 0.0001 0\n")), "   1.0000000000000002E-002\n", "", 0},
    {"TenToTheTwenty", both(plain("1 2e7 0\n"), plain("1 1e7 0\n")), "   1.0000000000000000E+020\n", "", 0},
    {"SeventeenDigitsFixed", both(plain(""), plain("1 111111 0\n")), "   12345654321000000.     \n", "", 0},
    {"TenToTheSeventeen", both(plain(""), plain(repeat("1 1e5 0\n", 10))), "   1.0000000000000000E+017\n", "", 0},
    // The control file and the names in it.
    {"MissingControlFile", {}, "", diag("statement 28, channel 11, file 'CompareThese.inp'", "end of file"), 2,
     {"CompareThese.inp"}},
    {"SingleName", withControl("a.dat\n", {{"a.dat", plain(kRows)}}), "",
     diag("statement 116, channel 11, file 'CompareThese.inp'", "end of file"), 2},
    {"BothNamesOnOneRecord", withControl("a.dat b.dat\n", {{"a.dat", plain(kRows)}, {"b.dat", plain(kNear)}}), "",
     diag("statement 116, channel 11, file 'CompareThese.inp'", "end of file"), 2},
    {"NullSecondName", withControl("a.dat\n, b.dat\n", {{"a.dat", plain(kRows)}, {"b.dat", plain(kNear)}}), kZero,
     "", 0},
    {"SlashSecondName", withControl("a.dat\n/b.dat\n", {{"a.dat", plain(kRows)}, {"b.dat", plain(kNear)}}), kZero,
     "", 0},
    {"BlankRecordsAndQuotedNames",
     withControl("\n\n'my data.dat' more words\n\n\"b.dat\"\nc.dat\n",
                 {{"my data.dat", plain(kRows)}, {"b.dat", plain(kNear)}}),
     k15625, "", 0},
    {"ControlFileAsDataFile", withControl("CompareThese.inp\nb.dat\n", {{"b.dat", plain(kRows)}}), "",
     diag("statement 33, channel 13", "file is already open on another channel"), 2},
    {"ControlFileThroughLink", withControl("a.dat\nlink.inp\n", {{"a.dat", plain(kRows)}}), "",
     diag("statement 121, channel 13", "file is already open on another channel"), 2, {},
     {{"link.inp", "CompareThese.inp"}}},
    {"NameCutTo72", withControl(k72 + "x\nb.dat\n", {{k72 + "x", plain(kRows)}, {"b.dat", plain(kRows)}}), "",
     diag("statement 36, channel 13, file '" + k72 + "'", "end of file"), 2, {k72}},
    {"MissingFirstDataFile", withControl("gone.dat\nb.dat\n", {{"b.dat", plain(kRows)}}), "",
     diag("statement 36, channel 13, file 'gone.dat'", "end of file"), 2, {"gone.dat"}},
    {"MissingSecondDataFile", withControl("a.dat\ngone.dat\n", {{"a.dat", plain(kRows)}}), "",
     diag("statement 124, channel 13, file 'gone.dat'", "end of file"), 2, {"gone.dat"}},
    {"BadRowInFirst", both(plain("1 0.25 0\n2 x 0\n"), plain(kRows)), "",
     diag("statement 98, channel 13, file 'a.dat', line 23", "bad number in item 2"), 2},
    {"BadRowInSecond", both(plain(kRows), plain("1 0.25 0\n2 0.5 0.5C\n")), "",
     diag("statement 188, channel 13, file 'b.dat', line 23", "bad number in item 3"), 2},
};

// Test names and failure reports show the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Runs : public testing::TestWithParam<Case> {};

TEST_P(Runs, OutputStatusAndFiles) {
  const Case& c = GetParam();
  Sandbox box;
  box.write(c.files);
  for (const auto& [link, target] : c.links) fs::create_symlink(target, box.work() / link);
  const Outcome got = box.run();
  EXPECT_EQ(got.out, c.out);
  EXPECT_EQ(got.err, c.err);
  EXPECT_EQ(got.status, c.status);
  box.expectLeft(c.files, c.createdEmpty, c.links);
}

INSTANTIATE_TEST_SUITE_P(Cli, Runs, testing::ValuesIn(kCases), [](const auto& row) { return row.param.name; });

// Each row scales to exactly 1, so the total counts the rows compared.
TEST(Velmora, MillionRowLimit) {
  const std::string million = repeat("0 0.001 0\n", 1'000'000);
  const std::string kMillion = "   1000000.0000000000     \n";
  const struct {
    const char* what;
    Files files;
    std::string out;
  } cases[] = {
      {"exactly 1,000,000 rows", both(plain(""), plain(million)), kMillion},
      {"one more that is not a number", both(plain(""), plain(million + "not a row\n")), kMillion},
      {"one more that is a row", both(plain(""), plain(million + "0 0.001 0\n")), kMillion},
      {"both files past the limit", both(plain(million + "junk\n"), plain(million + "0 5 0\n")), kZero},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    box.write(c.files);
    const Outcome got = box.run();
    EXPECT_EQ(got.out, c.out);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    box.expectLeft(c.files);
  }
}

TEST(Velmora, ResultLineThatCannotBeWritten) {
  const struct {
    Stdout mode;
    const char* reason;
  } cases[] = {
      {Stdout::Closed, "Bad file descriptor"},
      {Stdout::Full, "No space left on device"},
      {Stdout::BrokenPipe, "Broken pipe"},
  };
  const Files files = both(layout1(kRows), plain(kNear));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Sandbox box;
    box.write(files);
    const Outcome got = box.run(c.mode);
    EXPECT_EQ(got.err, diag("statement 207, channel 6", std::string("input/output error: ") + c.reason));
    EXPECT_EQ(got.status, 2);
    box.expectLeft(files);
  }
}

TEST(Velmora, ArgumentsAreIgnored) {
  const Files files = withControl("a.dat\nb.dat\n", {{"a.dat", plain(kRows)},
                                                     {"b.dat", plain(kNear)},
                                                     {"other.inp", "b.dat\nb.dat\n"}});
  const std::vector<std::vector<std::string>> argLists = {
      {"--help"}, {"--version"}, {"other.inp"}, {"-o", "out.txt", "other.inp"}};
  for (const auto& args : argLists) {
    SCOPED_TRACE(args.front());
    Sandbox box;
    box.write(files);
    const Outcome got = box.run(Stdout::Captured, args);
    EXPECT_EQ(got.out, k15625);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
    box.expectLeft(files);
  }
}

// A directory where the control file cannot be created: the open itself fails.
// Root may write anywhere, so then the tool runs as nobody.
TEST(Velmora, ControlFileCannotBeCreated) {
  Sandbox box;
  fs::permissions(box.root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(box.work(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const Outcome got = box.run(Stdout::Captured, {}, geteuid() == 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, diag("statement 25, channel 11", "cannot open 'CompareThese.inp': Permission denied"));
  EXPECT_EQ(got.status, 2);
  box.expectLeft({});
}

}  // namespace
