// Every statement number a diagnostic can carry, each reached at least once,
// and written out here by hand rather than taken from the loader's table: two
// numbers swapped in the tool make one of these cases fail.
//
// The cut files: a data file's header is a list of statements, each reading
// one piece of the file; the file cut just before a statement makes that
// statement meet the end of the file. The same file complete, with one good
// row, must load, and with one bad row must name the row statement.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "comparison/comparison.h"
#include "datafile/datafile.h"
#include "freeformat/freeformat.h"
#include "freeformat/system.h"
#include "tests/process/runner.h"

namespace {

namespace fs = std::filesystem;
using velmora::process::Case;
using velmora::process::Run;
using velmora::process::Step;

std::string repeat(const std::string& piece, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += piece;
  return all;
}

// A header layout: the piece of the file each of its statements reads, in
// order (a group of skipped records counts as the one statement they share).
struct Layout {
  const char* name;
  std::vector<std::string> pieces;
};

const Layout kLayouts[] = {
    {"layout1",
     {"VELMORA-DAT1 survey\n", "Pressure 1\n", "Depth 2\n", "Temp 3\n", repeat("note\n", 4), "Rate 4\n",
      repeat("column\n", 10)}},
    {"layout2 third equal to first",
     {"VELMORA-DAT2 survey\n", "Pinit 1\n", "Depth 2\n", "Pfinal 1\n", "Pfinal 3\n", "Other 5\nRate 4\n",
      repeat("column\n", 10)}},
    {"layout2 third different",
     {"VELMORA-DAT2 survey\n", "Pinit 1\n", "Depth 2\n", "Pfinal 3\n", "shut in\n", "Other 5\nRate 4\n",
      repeat("column\n", 10)}},
    {"plain", {"readings\n", repeat("header\n", 20)}},
};

// The number each statement of kLayouts carries, per role; then the row.
struct Numbers {
  const char* role;
  const char* file;  // the data file of that role
  int open, rewind, row;
  std::vector<std::vector<int>> header;  // per layout, per piece
};

const Numbers kRoles[] = {
    {"first", "a.dat", 33, 34, 98,
     {{36, 41, 44, 47, 51, 53, 57}, {36, 61, 64, 67, 71, 79, 87}, {36, 61, 64, 67, 75, 79, 87}, {36, 91}}},
    {"second", "b.dat", 121, 122, 188,
     {{124, 129, 132, 135, 139, 141, 145},
      {124, 149, 152, 155, 159, 167, 175},
      {124, 149, 152, 155, 163, 167, 175},
      {124, 179}}},
};

const std::string kPlainFile = "readings\n" + repeat("header\n", 20) + "1 0.25 0\n";
// 250 squared: row 250 against 500 in the first role, against none in the second.
const std::string kResult = "   62500.000000000000     \n";

// A case of both data files, the one of `role` holding `bytes` and the other
// a Plain file with no rows (the first) or one row (the second).
Case dataCase(const Numbers& role, const std::string& title, const std::string& bytes) {
  Case c;
  c.table = "statements";
  c.title = std::string(role.role) + " " + title;
  const bool first = std::string(role.role) == "first";
  const std::string other = first ? "readings\n" + repeat("header\n", 20) + "9 0.5 0\n" : "readings\n" + repeat("header\n", 20);
  for (const std::string& text : {bytes, other}) {
    // The runner decodes a table's escapes; these bytes hold none.
    EXPECT_EQ(text.find_first_of("\\$"), std::string::npos);
  }
  c.setup = {{Step::File, "CompareThese.inp", "a.dat\\nb.dat\\n"},
             {Step::File, first ? "a.dat" : "b.dat", bytes},
             {Step::File, first ? "b.dat" : "a.dat", other}};
  return c;
}

void expectStop(Case& c, const std::string& where, const std::string& what) {
  Run& r = c.runs.emplace_back();
  r.exitStatus = 2;
  r.err = "Velmora: " + where + "\nerror: " + what + "\n";
}

std::string atFile(int statement, const std::string& file) {
  return "statement " + std::to_string(statement) + ", channel 13, file '" + file + "'";
}

Case controlCase(const std::string& title) {
  Case c;
  c.table = "statements";
  c.title = title;
  return c;
}

std::vector<Case> generatedCases() {
  std::vector<Case> cases;
  for (const Numbers& role : kRoles) {
    for (std::size_t l = 0; l < std::size(kLayouts); ++l) {
      const Layout& layout = kLayouts[l];
      std::string before;
      for (std::size_t p = 0; p < layout.pieces.size(); ++p) {
        Case& c = cases.emplace_back(
            dataCase(role, std::string(layout.name) + " cut before statement " + std::to_string(p + 1), before));
        expectStop(c, atFile(role.header[l][p], role.file), "end of file");
        before += layout.pieces[p];
      }
      // Complete: a good row loads...
      Case& good = cases.emplace_back(dataCase(role, std::string(layout.name) + " complete", before + "1 0.25 0\n"));
      good.runs.emplace_back().out = kResult;
      // ...and a bad one names the row statement and its line.
      const long long line = std::count(before.begin(), before.end(), '\n') + 1;
      Case& bad = cases.emplace_back(dataCase(role, std::string(layout.name) + " bad row", before + "1 x 0\n"));
      expectStop(bad, atFile(role.row, role.file) + ", line " + std::to_string(line), "bad number in item 2");
    }
    Case& dir = cases.emplace_back(dataCase(role, "a directory", ""));
    dir.setup.erase(dir.setup.begin() + 1);
    dir.setup.push_back({Step::Dir, role.file, ""});
    expectStop(dir, "statement " + std::to_string(role.open) + ", channel 13",
               std::string("cannot open '") + role.file + "': Is a directory");
    Case& fifo = cases.emplace_back(dataCase(role, "a named pipe", ""));
    fifo.setup.erase(fifo.setup.begin() + 1);
    fifo.setup.push_back({Step::Fifo, role.file, ""});
    expectStop(fifo, atFile(role.rewind, role.file), "input/output error: Illegal seek");
  }

  // The control file.
  Case& empty = cases.emplace_back(controlCase("control file empty"));
  empty.setup = {{Step::File, "CompareThese.inp", ""}};
  expectStop(empty, "statement 28, channel 11, file 'CompareThese.inp'", "end of file");
  Case& one = cases.emplace_back(controlCase("control file with one name"));
  one.setup = {{Step::File, "CompareThese.inp", "a.dat\\n"}, {Step::File, "a.dat", kPlainFile}};
  expectStop(one, "statement 116, channel 11, file 'CompareThese.inp'", "end of file");
  Case& unwritable = cases.emplace_back(controlCase("control file cannot be created"));
  unwritable.setup = {{Step::Mode, ".", "0555"}};
  unwritable.asNobody = true;
  expectStop(unwritable, "statement 25, channel 11", "cannot open 'CompareThese.inp': Permission denied");
  Case& pipe = cases.emplace_back(controlCase("control file a named pipe"));
  pipe.setup = {{Step::Fifo, "CompareThese.inp", ""}};
  expectStop(pipe, "statement 26, channel 11, file 'CompareThese.inp'", "input/output error: Illegal seek");
  Case& full = cases.emplace_back(dataCase(kRoles[0], "result line to a full device", kPlainFile));
  full.stdoutMode = "full";
  expectStop(full, "statement 207, channel 6", "input/output error: No space left on device");
  return cases;
}

class Cut : public ::testing::TestWithParam<Case> {};

TEST_P(Cut, NamesTheStatement) { velmora::process::runCase(GetParam(), {{"velmora", VELMORA_BINARY}}); }

INSTANTIATE_TEST_SUITE_P(Statements, Cut, ::testing::ValuesIn(generatedCases()),
                         [](const auto& param) { return velmora::process::testName(param.param); });

// The closes fail only when the operating system refuses a close, which the
// reader's system-call seam can make happen.
struct Stopped {
  std::string text;
};
void throwStop(const velmora::StopReport& report) { throw Stopped{report.text}; }
int closesToPass = 0;
int failCloseAfterSome(int fd) {
  if (closesToPass-- > 0) return ::close(fd);
  errno = EIO;
  return -1;
}

class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-statements-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previousDir_ = fs::current_path();
    fs::current_path(dir_);
    previous_ = velmora::setStopHandler(throwStop);
  }
  void TearDown() override {
    velmora::detail::systemCalls.close = ::close;
    velmora::setStopHandler(previous_);
    fs::current_path(previousDir_);
    fs::remove_all(dir_);
  }
  template <typename F>
  std::string stopOf(F action, int passing) {
    closesToPass = passing;
    velmora::detail::systemCalls.close = failCloseAfterSome;
    try {
      action();
    } catch (const Stopped& stop) {
      return stop.text;
    }
    return "no stop";
  }
  fs::path dir_, previousDir_;
  velmora::StopHandler previous_ = nullptr;
};

TEST_F(InProcess, ClosesNameTheirStatements) {
  std::ofstream("CompareThese.inp") << "a.dat\nb.dat\n";
  std::ofstream("a.dat") << kPlainFile;
  std::ofstream("b.dat") << kPlainFile;
  const std::string failed = "error: input/output error: Input/output error\n";
  auto load = [](const char* name, velmora::DataFileRole role) {
    velmora::HeaderState header;
    velmora::NoLoadEvents sink;
    velmora::loadDataFile(name, role, header, {velmora::OpenMode::CreateMissing}, sink);
  };
  EXPECT_EQ(stopOf([&] { load("a.dat", velmora::DataFileRole::First); }, 0),
            "Velmora: statement 112, channel 13, file 'a.dat'\n" + failed);
  EXPECT_EQ(stopOf([&] { load("b.dat", velmora::DataFileRole::Second); }, 0),
            "Velmora: statement 203, channel 13, file 'b.dat'\n" + failed);
  // The control file closes after both data files.
  EXPECT_EQ(stopOf([] { velmora::runComparison(); }, 2),
            "Velmora: statement 205, channel 11, file 'CompareThese.inp'\n" + failed);
}

// The reference's column holds every row stored, its pages made present
// ahead of the stores a piece at a time, and zeros past them: tables ending
// before, at and after the ends of those pieces, the column used again after
// a longer table.
TEST_F(InProcess, ReferenceColumnHoldsEveryRowItsPiecesWereMadeFor) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  // Whether this kernel makes pages present when asked (from 5.14).
  void* scratch = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(scratch, MAP_FAILED);
  const bool populates = ::madvise(scratch, page, MADV_POPULATE_WRITE) == 0;
  ::munmap(scratch, page);
  auto present = [page](const double* at) {
    unsigned char resident = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(at) / page * page;
    return ::mincore(reinterpret_cast<void*>(start), page, &resident) == 0 && (resident & 1) != 0;
  };
  velmora::ReferenceColumn column;
  std::size_t longest = 0;
  const std::size_t kRows[] = {1, 300, 8191, 8192, 8193, 24577, 90000, 8000};
  for (const std::size_t rows : kRows) {
    SCOPED_TRACE(rows);
    std::string file = "readings\n" + repeat("header\n", 20);
    for (std::size_t row = 1; row <= rows; ++row) file += "1 " + std::to_string(row) + ".5 0\n";
    std::ofstream("r.dat") << file;
    column.clear(longest);
    velmora::HeaderState header;
    velmora::NoLoadEvents sink;
    EXPECT_EQ(velmora::loadDataFile("r.dat", velmora::DataFileRole::First, header,
                                    {velmora::OpenMode::CreateMissing}, sink, velmora::ReferenceKeeper{&column}),
              rows);
    const double* values = column.values();
    if (longest == 0 && populates) {
      // A fresh column, before anything past its rows is read (a read maps
      // the zero page): the first piece (64 KiB) is present past the one row
      // stored, the pages far beyond are not.
      EXPECT_TRUE(present(values + 8191));
      EXPECT_FALSE(present(values + 500000));
    }
    for (std::size_t row = 1; row <= rows; ++row) {
      ASSERT_EQ(values[row - 1], velmora::scaleColumn2(static_cast<double>(row) + 0.5)) << "row " << row;
    }
    for (std::size_t row = rows + 1; row <= std::max(longest, rows) + 10000; ++row) {
      ASSERT_EQ(values[row - 1], 0.0) << "past the rows: " << row;
    }
    longest = std::max(longest, rows);
  }
}

}  // namespace
