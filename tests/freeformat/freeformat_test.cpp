// The free-format reader as its users see it: read statements over small
// files, number values to the last bit, and every diagnostic's two lines.
// Each test runs in its own temporary directory, so file names stay short.
#include "freeformat/freeformat.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "freeformat/number.h"
#include "freeformat/system.h"
#include "freeformat/tokens.h"

// Every allocation of the test program is counted (allocation_count.cpp),
// so that a test can show that the reader makes none once it exists.
extern std::size_t allocationCount;

namespace {

namespace fs = std::filesystem;
using velmora::Item;

struct Stopped {  // a fatal stop: the two lines the user would have seen
  std::string text;
};
void throwStop(const velmora::StopReport& report) { throw Stopped{report.text}; }

// Bytes handed out per read call (0: as many as asked), so that values and
// record ends fall across the ends of the reader's buffer.
std::size_t readChunk = 0;
ssize_t chunkedRead(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, readChunk != 0 && size > readChunk ? readChunk : size);
}

// The two lines of a stop on channel 13.
std::string fatal(int statement, const std::string& error, int line = 0, const char* file = "in") {
  return "Velmora: statement " + std::to_string(statement) + ", channel 13, file '" + file + "'" +
         (line > 0 ? ", line " + std::to_string(line) : "") + "\nerror: " + error + "\n";
}

template <class Action>
std::string stopOf(Action action) {
  try {
    action();
  } catch (const Stopped& stop) {
    return stop.text;
  }
  return "no stop";
}

std::string write(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary) << content;
  return name;
}

bool sameValue(double actual, double expected) {  // any NaN matches a NaN
  return std::isnan(expected) ? std::isnan(actual) : std::memcmp(&actual, &expected, sizeof actual) == 0;
}

class FreeFormat : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-ff-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    home_ = fs::current_path();
    fs::current_path(dir_);
    previous_ = velmora::setStopHandler(throwStop);
    readChunk = 0;
    velmora::detail::systemCalls = {chunkedRead, ::close};
  }
  void TearDown() override {
    velmora::detail::systemCalls = {::read, ::close};
    velmora::setStopHandler(previous_);
    fs::current_path(home_);
    fs::remove_all(dir_);
  }
  std::string dir_;
  fs::path home_;
  velmora::StopHandler previous_ = nullptr;
};

// Opens `path` on channel 13 and runs the statements of `plan`, separated by
// '|' and numbered from 1: N is a number item, Tw a text item of width w, and a
// leading ? makes the statement accept the end of the file. Shows each item
// (text in brackets, ~ when unchanged) and EOF after a statement that met the
// end of the file; or only the stop's two lines.
std::string run(const std::string& path, const std::string& plan) {
  constexpr double kUnset = -777.0;
  velmora::FreeFormatReader reader(13);
  std::string out;
  std::string stop = stopOf([&] {
    reader.open(path, 90);
    reader.rewind(91);
    std::istringstream statements(plan);
    std::string words;
    for (int statement = 1; std::getline(statements, words, '|'); ++statement) {
      double numbers[8];
      char texts[8][80];
      std::vector<Item> items;
      std::istringstream wordStream(words);
      bool acceptEnd = false;
      for (std::string word; wordStream >> word;) {
        std::size_t i = items.size();
        if (word == "?") {
          acceptEnd = true;
        } else if (word == "N") {
          items.push_back(velmora::NumberItem{&(numbers[i] = kUnset)});
        } else {
          std::memset(texts[i], '#', std::stoul(word.substr(1)));
          items.push_back(velmora::TextItem{texts[i], std::stoul(word.substr(1))});
        }
      }
      bool ended = acceptEnd ? reader.readOrEnd(items, statement) == velmora::ReadStatus::EndOfFile
                             : (reader.read(items, statement), false);
      out += statement > 1 ? " | " : "";
      for (const Item& item : items) {
        out += &item == items.data() ? "" : " ";
        if (item.isNumber()) {
          char number[32];
          std::snprintf(number, sizeof number, "%.17g", *item.number());
          out += *item.number() == kUnset ? "~" : number;
        } else {
          std::string text(item.chars(), item.width());
          out += text == std::string(item.width(), '#') ? "~" : "[" + text + "]";
        }
      }
      out += ended ? " EOF" : "";
    }
    reader.close(92);
  });
  return stop == "no stop" ? out : stop;
}

struct Case {
  const char* input;
  const char* plan;
  std::string expected;
};

const Case kStatementCases[] = {
    // Separators, records and statements.
    {"1,2;3/4", "N N N N", "1 2 3 ~"},
    {"1 \t 2 , 3 ; 4\n", "N N N N", "1 2 3 4"},
    {"1\r2\r\n3\r\n4", "N N | N | N", "1 2 | 3 | 4"},
    {"\n\n  \n1\n\t\n2 3\n4\n", "N N | N", "1 2 | 4"},
    // Null values and slashes.
    {"1,,3", "N N N", "1 ~ 3"},
    {" ,2\n", "N N", "~ 2"},
    {"1\n\n \n;2", "N | N N", "1 | ~ 2"},
    {"1 , , 3 ,", "? N N N N", "1 ~ 3 ~ EOF"},
    {"/ 5\n6", "N | N", "~ | 6"},
    {"1 / 2\n3", "N N | N", "1 ~ | 3"},
    // Repeat forms.
    {"3*7 8", "N N N N", "7 7 7 8"},
    {"2* 5\n", "N N N", "~ ~ 5"},
    {"2*,5", "N N N", "~ ~ 5"},
    {"1 2*", "N N N", "1 ~ ~"},
    {"02*5", "N N", "5 5"},
    {"3*5 9\n7", "N N | N", "5 5 | 7"},
    {"2*3*5", "T6 T6", "[3*5   ] [3*5   ]"},
    {"2*3*5", "N", fatal(1, "bad number in item 1", 1)},
    {"1\n 0*5", "N N", fatal(1, "bad number in item 2", 2)},
    {"0*ab", "T4", fatal(1, "bad number in item 1", 1)},
    {"x 0*", "T2 T2", fatal(1, "bad number in item 2", 1)},
    {"1 2 3 0*9\n", "N N N | ? N", "1 2 3 | ~ EOF"},
    {"2*'a b' 3", "T4 T4 N", "[a b ] [a b ] 3"},
    {"2*12", "T3 N", "[12 ] 12"},
    {"2*ab", "T3 N", fatal(1, "bad number in item 2", 1)},
    {"2*'x", "N", fatal(1, "bad number in item 1", 1)},
    {"2*'x'y", "N", fatal(1, "bad number in item 1", 1)},
    // Text values.
    {"'a,b;c/d ''e'''", "T12", "[a,b;c/d 'e' ]"},
    {"\"it's\" 'say \"hi\"'", "T6 T10", "[it's  ] [say \"hi\"  ]"},
    {"'ab\r\ncd\re\nf' 5", "T8 N", "[abcdef  ] 5"},
    {"ab'c\"d e\tf\rg", "T6 T2 T2 T2", "[ab'c\"d] [e ] [f ] [g ]"},
    {"abcdefgh 'ijklmnop'", "T4 T4", "[abcd] [ijkl]"},
    {"'ab'c", "T4", fatal(1, "bad text in item 1", 1)},
    {"1 'a\nb'x", "N T4", fatal(1, "bad text in item 2", 2)},
    // Labels and numbers as data files hold them.
    {"Rate 0.25 dollars today\n9", "T16 N | N", "[Rate            ] 0.25 | 9"},
    {"Rate\n\n7 8\n9", "T16 N | N", "[Rate            ] 7 | 9"},
    {"Rate=5\n6 7", "T8 N | ? N", "[Rate=5  ] 6 | ~ EOF"},
    {"Rate;5", "T8 N", "[Rate    ] 5"},
    {"a/b.dat 7\n'a/b.dat' 8", "T8 N | T8 N", "[a       ] ~ | [a/b.dat ] 8"},
    {"1.0D+03 1.0d3 1.0E3 1000 1.0+3", "N N N N N", "1000 1000 1000 1000 1000"},
    {"1\n2\n\n3 0.5C", "N | N | N N", fatal(3, "bad number in item 2", 4)},
    {"'abc", "N", fatal(1, "bad number in item 1", 1)},
    // The end of the file.
    {"1 2\n\n", "? N N N", "1 2 ~ EOF"},
    {"1 2", "N N N", fatal(1, "end of file")},
    {"", "? T4", "~ EOF"},
    {"7\n \n\t\n", "N | ? N", "7 | ~ EOF"},
    {"'abc", "? T4", fatal(1, "end of file")},
    {"x\n'ab''", "T2 | T4", fatal(2, "end of file")},
};

// With whole blocks, and with one byte per read so that every value and record
// end also falls across the end of the reader's buffer.
TEST_F(FreeFormat, StatementsFillTheirItems) {
  for (std::size_t chunk : {0, 1}) {
    readChunk = chunk;
    for (const Case& c : kStatementCases) {
      EXPECT_EQ(run(write("in", c.input), c.plan), c.expected)
          << "input \"" << c.input << "\", plan " << c.plan << ", chunk " << chunk;
    }
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::pair<const char*, double> kNumbers[] = {
    {"12", 12},           {"12.", 12},    {".5", 0.5},        {"+.5", 0.5},          {"-0", -0.0},
    {"0.000", 0},         {"00012", 12},  {"1.5+3", 1500},    {"2.5-300", 2.5e-300}, {"-12.5e-1", -1.25},
    {"7d-1", 0.7},        {"5.E+1", 50},  {"1e400", kInf},    {"-1e-400", -0.0},     {"Inf", kInf},
    {"-infinity", -kInf}, {"+INF", kInf}, {"InFiNiTy", kInf}, {"NaN", kNaN},         {"-nan", kNaN},
    {"+nAN", kNaN},
};
const char* const kNotNumbers[] = {
    ".",    "+",    "-",   "1.5E", "0.5C", "1..2",   "1e+-3",   "++1",       ".e1", "'x'", "0x10",
    "inf5", "nanx", "5.E", "1-",   "-.",   "1.5e3.", "infinit", "infinityy", "e5",  "*5",
};

// Each text alone, and as the only value of a file read by one number item.
TEST_F(FreeFormat, NumberGrammar) {
  for (const auto& [text, expected] : kNumbers) {
    double value = 0;
    EXPECT_TRUE(velmora::detail::convertNumber(text, value) && sameValue(value, expected)) << text;
    velmora::FreeFormatReader reader(13);
    reader.open(write("in", std::string(text) + "\n"), 1);
    reader.read(std::vector<Item>{velmora::NumberItem{&(value = 0)}}, 2);
    EXPECT_TRUE(sameValue(value, expected)) << text << " read as " << value;
  }
  for (const char* text : kNotNumbers) {
    double value = 0;
    EXPECT_FALSE(velmora::detail::convertNumber(text, value)) << text;
    EXPECT_EQ(run(write("in", text), "N"), fatal(1, "bad number in item 1", 1)) << text;
  }
}

// Every line of the conversion data, converted alone, then read from a file
// holding one value per record: with whole blocks the common forms take the
// reader's fast path; with short reads values are cut at the end of its
// buffer and take the general path.
TEST_F(FreeFormat, NumberConversionData) {
  for (const char* name : {"sample.txt", "overflow-x1000.txt"}) {
    std::vector<std::pair<std::string, double>> lines;
    std::ifstream data(std::string(VELMORA_NUMBER_DATA) + "/" + name);
    std::string content;
    for (std::string text, hex; data >> text >> hex; content += text + "\n") {
      std::uint64_t bits = std::stoull(hex, nullptr, 16);
      lines.emplace_back(text, 0.0);
      std::memcpy(&lines.back().second, &bits, sizeof bits);
    }
    ASSERT_GT(lines.size(), 100u) << name;
    int wrong = 0;
    for (const auto& [text, expected] : lines) {
      double value = 0;
      bool ok = velmora::detail::convertNumber(text, value) && sameValue(value, expected);
      if (!ok && ++wrong <= 10) ADD_FAILURE() << name << ": " << text << " gave " << value;
    }
    write("numbers", content);
    for (std::size_t chunk : {0, 1, 7}) {
      readChunk = chunk;
      velmora::FreeFormatReader reader(13);
      reader.open("numbers", 1);
      reader.rewind(2);
      double value = 0;
      const std::vector<Item> items{velmora::NumberItem{&value}};
      for (const auto& [text, expected] : lines) {
        reader.read(items, 3);
        if (!sameValue(value, expected) && ++wrong <= 10) {
          ADD_FAILURE() << name << ", chunk " << chunk << ": " << text << " read as " << value;
        }
      }
      EXPECT_EQ(reader.readOrEnd(items, 4), velmora::ReadStatus::EndOfFile);
    }
    EXPECT_EQ(wrong, 0) << name;
  }
}

// A record far longer than the reader's buffer, holding a text value and a
// number each longer than the buffer; and values of 10,000 digits: 2^53 + 1
// is halfway between two doubles, so a nonzero digit far beyond it decides.
TEST_F(FreeFormat, HugeRecordsAndValues) {
  {
    std::ofstream file("in", std::ios::binary);
    file << "abc";
    for (int i = 0; i < 100; ++i) file << std::string(1 << 20, 'y');
    file << " 1" << std::string(3 << 20, '0') << "e-3145728 " << std::string(1 << 20, 'z') << "\n8\n";
  }
  EXPECT_EQ(run("in", "T4 N | N"), "[abcy] 1 | 8");
  fs::remove("in");
  std::string zeros(9983, '0');
  const std::pair<std::string, const char*> kLong[] = {
      {"9007199254740993." + zeros + "1", "9007199254740994"},
      {"9007199254740993." + zeros + "0", "9007199254740992"},
      {"1" + std::string(9999, '0') + "e-9999", "1"},
      // Longer than the reader's buffer: each part of a number may be.
      {"9007199254740993." + std::string(150000, '0') + "1", "9007199254740994"},
      {"9007199254740993." + std::string(150000, '0') + "0", "9007199254740992"},
      {"9007199254740993." + std::string(1000, '0') + "1" + std::string(150000, '0'), "9007199254740994"},
      {"0." + std::string(200000, '0') + "5e200001", "5"},
      {"-" + std::string(100000, '0') + "12.5", "-12.5"},
      {"1" + std::string(70000, '0') + "." + std::string(70000, '0') + "e-70000", "1"},
      {"3" + std::string(200000, '0') + "e-200000", "3"},
      {"1.5e-" + std::string(100000, '0') + "3", "0.0015"},
      {"2e" + std::string(100000, '0') + "1", "20"},
      {"1e1" + std::string(100000, '0'), "inf"},
      {"-1e-1" + std::string(100000, '0'), "-0"}};
  for (const auto& [text, expected] : kLong) {
    double value = 0;
    EXPECT_TRUE(velmora::detail::convertNumber(text, value) && value == std::stod(expected)) << value;
    for (std::size_t chunk : {0, 1}) {
      readChunk = chunk;
      EXPECT_EQ(run(write("in", text), "N"), expected);
    }
  }
  // Long bad values, long repeat counts and long repeated values.
  const std::string big(100000, '0');
  const std::string quoted(100000, 'q');
  const std::array<std::array<std::string, 3>, 11> kLongForms{{
      {"1" + big + "x", "N", fatal(1, "bad number in item 1", 1)},
      {"1." + big + "E", "N", fatal(1, "bad number in item 1", 1)},
      {"7" + big + "..5", "N", fatal(1, "bad number in item 1", 1)},
      {big + "3*2.5", "N N N", "2.5 2.5 2.5"},
      {big + "*5", "N", fatal(1, "bad number in item 1", 1)},
      {"2*1" + big + "e-100000", "N N", "1 1"},
      {"2*" + std::string(100000, 'z'), "T3 T3", "[zzz] [zzz]"},
      {"2*" + std::string(100000, 'z'), "N", fatal(1, "bad number in item 1", 1)},
      // Quoted values longer than the buffer: doubled delimiters and record
      // ends anywhere in them, the line of a bad follower, the end inside one.
      {"'a''" + quoted + "''\n''' 7", "T3 N", "[a'q] 7"},
      {"'\n\n" + quoted + "'x", "T3", fatal(1, "bad text in item 1", 3)},
      {"'" + quoted, "T3", fatal(1, "end of file")},
  }};
  for (const auto& [text, plan, expected] : kLongForms) {
    for (std::size_t chunk : {0, 1}) {
      readChunk = chunk;
      EXPECT_EQ(run(write("in", text), plan), expected) << text.substr(0, 12) << " chunk " << chunk;
    }
  }
  // Seeded random numbers longer than the buffer, read through it in pieces,
  // are what the general rules make of the whole text at once.
  std::mt19937 random(20261209);
  auto digits = [&random](std::size_t n) {
    std::string run(n, '0');
    const auto density = random() % 3;  // all zeros, a few nonzero, all random
    for (char& c : run) {
      if (density == 2 || (density == 1 && random() % 5000 == 0)) c = static_cast<char>('0' + random() % 10);
    }
    return run;
  };
  const std::size_t kLengths[] = {0, 1, 17, 70000, 150000};
  for (int k = 0; k < 24; ++k) {
    std::string text = random() % 2 ? "-" : "";
    text += digits(kLengths[random() % 5]);
    if (random() % 2) text += "." + digits(kLengths[random() % 5]);
    if (random() % 2) text += std::string(random() % 2 ? "e" : "D-") + "1" + digits(kLengths[random() % 4]);
    if (text.size() < 70000) text += digits(70000);  // long at the least
    double value = 0;
    char number[40] = "";
    const bool isNumber = velmora::detail::convertNumber(text, value, false);
    std::snprintf(number, sizeof number, "%.17g", value);
    const std::string expected = isNumber ? number : fatal(1, "bad number in item 1", 1);
    readChunk = k % 3 == 0 ? 7 : 0;
    EXPECT_EQ(run(write("in", text), "N"), expected) << text.substr(0, 30) << "... of " << text.size();
  }
}

TEST_F(FreeFormat, OpenFailuresNameTheFileAndTheReason) {
  const std::pair<std::string, std::string> kCases[] = {
      {"none/x", "cannot open 'none/x': No such file or directory"},
      {".   ", "cannot open '.': Is a directory"},
      {"    ", "cannot open '': No such file or directory"},
      {std::string("a\0b", 3), "cannot open 'a\\x00b': No such file or directory"},
      // Longer than the system takes: the diagnostic still shows it whole.
      {std::string(5000, 'n') + "/x", "cannot open '" + std::string(5000, 'n') + "/x': File name too long"},
      {std::string(3000, '\x01'), "cannot open '" + [] {
         std::string shown;
         for (int i = 0; i < 3000; ++i) shown += "\\x01";
         return shown;
       }() + "': File name too long"},
  };
  for (const auto& [name, reason] : kCases) {
    velmora::FreeFormatReader reader(13);
    EXPECT_EQ(stopOf([&] { reader.open(name, 25); }),
              "Velmora: statement 25, channel 13\nerror: " + reason + "\n");
  }
  EXPECT_FALSE(fs::exists("a")) << "a shorter name was opened";
  // Once open, the file is named, its control bytes and backslashes escaped.
  EXPECT_EQ(run(write("a\x01\\b\x7f\tc", ""), "N"), fatal(1, "end of file", 0, "a\\x01\\\\b\\x7f\\x09c"));
}

// A run makes its allocations before it opens its first file, so that running
// out of memory creates nothing: opening, reading and closing, under a name
// too long for any short-string storage or longer than the system takes,
// allocate nothing.
TEST_F(FreeFormat, OpeningAndReadingNeverAllocate) {
  const std::string longName = std::string(200, 'n') + ".dat";
  write(longName, "Rate 0.25\n1 2 3\n");
  velmora::FreeFormatReader reader(13);
  char label[16];
  double values[3] = {};
  const Item labelled[] = {velmora::TextItem{label, sizeof label}, velmora::NumberItem{&values[0]}};
  const Item row[] = {velmora::NumberItem{&values[0]}, velmora::NumberItem{&values[1]},
                      velmora::NumberItem{&values[2]}};
  const std::size_t before = allocationCount;
  reader.open(longName, 1);
  reader.rewind(2);
  reader.read(labelled, 3);
  EXPECT_EQ(reader.readOrEnd(row, 4), velmora::ReadStatus::Ok);
  reader.close(5);
  EXPECT_EQ(allocationCount, before) << "the reader allocated";
  EXPECT_EQ(values[2], 3);
  // A name longer than the system takes is refused with the system's reason
  // (the diagnostic cuts the name, so only its start is shown).
  const std::string stop = stopOf([&] { reader.open(std::string(velmora::kMaxNameLength + 1, 'x'), 6); });
  EXPECT_EQ(stop.rfind("Velmora: statement 6, channel 13\nerror: cannot open 'xxxx", 0), 0u) << stop;
}

TEST_F(FreeFormat, OneFileIsNeverOpenOnTwoChannels) {
  fs::create_symlink(write("f", "x 1\n"), "soft");
  fs::create_hard_link("f", "hard");
  velmora::FreeFormatReader control(11);
  control.open("f", 1);
  for (const char* other : {"soft", "hard", "f"}) {
    velmora::FreeFormatReader data(13);
    EXPECT_EQ(stopOf([&] { data.open(other, 7); }),
              "Velmora: statement 7, channel 13\nerror: file is already open on another channel\n");
  }
  control.close(2);
  EXPECT_EQ(run("hard", "T2 N"), "[x ] 1");  // free again once closed
}

// Read and close failures are injected at the system-call seam; a FIFO cannot seek.
int readCalls = 0;
ssize_t failSecondRead(int fd, void* buffer, std::size_t size) {
  if (readCalls++ == 0) return ::read(fd, buffer, size < 2 ? size : 2);
  errno = EIO;
  return -1;
}
int failClose(int) {
  errno = EIO;
  return -1;
}

TEST_F(FreeFormat, OperatingSystemRefusalsAreInputOutputErrors) {
  velmora::detail::systemCalls.read = failSecondRead;
  EXPECT_EQ(run(write("in", "1\n2\n"), "N | N"), fatal(2, "input/output error: Input/output error"));
  velmora::detail::systemCalls = {::read, failClose};
  velmora::FreeFormatReader reader(13);
  reader.open("in", 1);
  EXPECT_EQ(stopOf([&] { reader.close(9); }), fatal(9, "input/output error: Input/output error"));
  velmora::detail::systemCalls.close = ::close;
  reader.close(10);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  reader.open("fifo", 3);
  EXPECT_EQ(stopOf([&] { reader.rewind(4); }), fatal(4, "input/output error: Illegal seek", 0, "fifo"));
}

// The open fallbacks as an unprivileged user meets them: the probe opens a file
// on channel 11 and reads one text item, under another user id when run as root.
TEST_F(FreeFormat, OpenFallsBackToReadOnlyThenWriteOnly) {
  bool root = ::geteuid() == 0;
  if (root && ::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
  fs::copy_file(VELMORA_OPEN_PROBE, "probe");
  write("readonly", "hello\n");
  write("writeonly", "secret\n");
  write("none", "x\n");
  fs::create_directory("locked");
  const std::pair<const char*, mode_t> kModes[] = {{".", 0777},         {"probe", 0755}, {"readonly", 0444},
                                                   {"writeonly", 0222}, {"none", 0},     {"locked", 0555}};
  for (const auto& [name, mode] : kModes) ASSERT_EQ(::chmod(name, mode), 0) << name;
  const std::pair<const char*, std::string> kCases[] = {
      {"readonly", "read 'hello   '\nexit 0"},
      {"writeonly",
       "Velmora: statement 3, channel 11, file 'writeonly'\n"
       "error: cannot read: file is open for writing only\nexit 2"},
      {"none", "Velmora: statement 1, channel 11\nerror: cannot open 'none': Permission denied\nexit 2"},
      {"locked/missing",
       "Velmora: statement 1, channel 11\nerror: cannot open 'locked/missing': Permission denied\nexit 2"},
      {"created", "Velmora: statement 3, channel 11, file 'created'\nerror: end of file\nexit 2"},
  };
  for (const auto& [name, expected] : kCases) {
    std::string command = std::string(root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
                          "./probe " + name + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    int status = ::pclose(pipe);
    EXPECT_EQ(out + "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1), expected) << name;
  }
  // Files are kept as they were; a missing one is left behind, empty.
  EXPECT_EQ(fs::file_size("readonly"), 6u);
  EXPECT_EQ(fs::file_size("writeonly"), 7u);
  EXPECT_FALSE(fs::exists("locked/missing"));
  struct stat created {};
  ASSERT_EQ(::stat("created", &created), 0);
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(created.st_size, 0);
  EXPECT_EQ(created.st_mode & 0777, 0666 & ~mask);
}

}  // namespace

namespace {

// An item is of the kind it was made as, whatever its pointer.
// The open rules as one table: after each refusal, the next attempt.
TEST(OpenRules, NextAttemptAfterARefusal) {
  using velmora::OpenAttempt;
  struct Row {
    bool creating;
    OpenAttempt refused;
    int error;
    OpenAttempt next;
  };
  const Row kRows[] = {
      {true, OpenAttempt::ReadWriteCreate, EACCES, OpenAttempt::ReadOnly},
      {true, OpenAttempt::ReadWriteCreate, EPERM, OpenAttempt::ReadOnly},
      {true, OpenAttempt::ReadWriteCreate, EROFS, OpenAttempt::ReadOnly},
      {true, OpenAttempt::ReadWriteCreate, ENOENT, OpenAttempt::GiveUp},
      {true, OpenAttempt::ReadWriteCreate, EISDIR, OpenAttempt::GiveUp},
      {true, OpenAttempt::ReadWriteCreate, ETXTBSY, OpenAttempt::GiveUp},
      {true, OpenAttempt::ReadOnly, EACCES, OpenAttempt::WriteOnlyCreate},
      {true, OpenAttempt::ReadOnly, ENOENT, OpenAttempt::WriteOnlyCreate},
      {true, OpenAttempt::ReadOnly, EROFS, OpenAttempt::GiveUp},
      {true, OpenAttempt::WriteOnlyCreate, EACCES, OpenAttempt::GiveUp},
      {false, OpenAttempt::ReadOnly, EACCES, OpenAttempt::GiveUp},
      {false, OpenAttempt::ReadOnly, ENOENT, OpenAttempt::GiveUp},
  };
  for (const Row& row : kRows) {
    EXPECT_EQ(velmora::nextOpenAttempt(row.creating, row.refused, row.error), row.next)
        << row.creating << " " << static_cast<int>(row.refused) << " " << row.error;
  }
  EXPECT_EQ(velmora::firstOpenAttempt(true), OpenAttempt::ReadWriteCreate);
  EXPECT_EQ(velmora::firstOpenAttempt(false), OpenAttempt::ReadOnly);
  // Followed with given answers: the attempts asked, and the outcome.
  std::string asked;
  const velmora::OpenOutcome outcome = velmora::followOpenRules("x", true, [&](OpenAttempt attempt) {
    asked += static_cast<char>('0' + static_cast<int>(attempt));
    return attempt == OpenAttempt::WriteOnlyCreate ? 7 : -EACCES;
  });
  EXPECT_EQ(asked, "012");
  EXPECT_EQ(outcome.attempt, OpenAttempt::WriteOnlyCreate);
  EXPECT_EQ(outcome.granted, 7);
  const velmora::OpenOutcome unaskable = velmora::followOpenRules("", true, [](OpenAttempt) { return 0; });
  EXPECT_EQ(unaskable.attempt, OpenAttempt::GiveUp);
  EXPECT_EQ(unaskable.error, ENOENT);
}

// Which statement stops after an open, for each outcome and kind of file.
TEST(OpenRules, StopAfterTheOpen) {
  using velmora::Failure;
  using velmora::FileKind;
  using velmora::OpenAttempt;
  using velmora::OpenStep;
  struct Row {
    OpenAttempt granted;
    int error;
    FileKind kind;
    OpenStep step;
    Failure failure;
    int osError;
  };
  const Row rows[] = {
      {OpenAttempt::GiveUp, EISDIR, FileKind::Directory, OpenStep::Open, Failure::OpenFailure, EISDIR},
      {OpenAttempt::GiveUp, EACCES, FileKind::Missing, OpenStep::Open, Failure::OpenFailure, EACCES},
      {OpenAttempt::ReadWriteCreate, 0, FileKind::Fifo, OpenStep::Rewind, Failure::IoError, ESPIPE},
      {OpenAttempt::WriteOnlyCreate, 0, FileKind::Fifo, OpenStep::Rewind, Failure::IoError, ESPIPE},
      {OpenAttempt::WriteOnlyCreate, 0, FileKind::Regular, OpenStep::FirstRead, Failure::CannotRead, 0},
      {OpenAttempt::WriteOnlyCreate, 0, FileKind::Missing, OpenStep::FirstRead, Failure::CannotRead, 0},
      {OpenAttempt::ReadWriteCreate, 0, FileKind::Missing, OpenStep::FirstRead, Failure::EndOfFile, 0},
      {OpenAttempt::ReadWriteCreate, 0, FileKind::Regular, OpenStep::None, Failure::IoError, 0},
      {OpenAttempt::ReadOnly, 0, FileKind::Other, OpenStep::None, Failure::IoError, 0},
  };
  for (const Row& row : rows) {
    const velmora::OpenStop stop = velmora::stopAfterOpen({row.granted, -1, row.error}, row.kind);
    EXPECT_EQ(stop.step, row.step) << static_cast<int>(row.granted) << " " << static_cast<int>(row.kind);
    if (row.step == OpenStep::None) continue;
    EXPECT_EQ(stop.kind, row.failure) << static_cast<int>(row.granted) << " " << static_cast<int>(row.kind);
    EXPECT_EQ(stop.osError, row.osError) << static_cast<int>(row.granted) << " " << static_cast<int>(row.kind);
  }
}

TEST(Items, KindIsAsMade) {
  char text[4];
  const Item kItems[] = {velmora::NumberItem{nullptr}, velmora::TextItem{nullptr, 0}, velmora::TextItem{text, 4}};
  EXPECT_TRUE(kItems[0].isNumber());
  EXPECT_FALSE(kItems[1].isNumber());
  EXPECT_EQ(kItems[2].chars(), text);
  EXPECT_EQ(kItems[2].width(), 4u);
}

// What statementLine(), statementEndLine() and endedBySlash() report after
// each statement: the line of its first value, null value or slash (0 when it
// found none), the line where it stopped (at the end of the file, the file's
// last line), and a slash. Whole blocks take the one-pass read for the
// ordinary rows; one byte per read puts every record across the end of the
// buffer.
TEST_F(FreeFormat, StatementLineAndSlash) {
  const std::pair<const char*, const char*> kCases[] = {
      {"1 2 3\n4 5 6\n", "3 1-1 | 3 2-2 | 3 0-2"},
      {"\n\n1 2 3\r\n\r\n 4\t5 6\r\n", "3 3-3 | 3 5-5 | 3 0-5"},
      {"1 2\n3\n4 5 6\n", "3 1-2 | 3 3-3"},
      {"1 2 3\n/ 9\n7 8 9", "3 1-1 | 3 2-2/ | 3 3-3 | 3 0-3"},
      {"\n ,5 6\n", "2 2-2 | 1 0-2"},
      {"1 2 3 4 5\n\n\n6", "3 1-1 | 1 4-4 | 1 0-4"},
      {"'a b'\n\n2*7\n", "T4 1-1 | 2 3-3"},
      {"'a\nb' 5\n", "T4 1-2 | 1 0-2"},
      {"1\n\n2 /\n", "3 1-3/ | 1 0-3"},
      {"1 2\n\n", "3 1-2"},
      {"1,2 , 3 ; 4\n5", "3 1-1 | 1 2-2"},
      {"", "1 0-0"},
  };
  for (std::size_t chunk : {0, 1}) {
    readChunk = chunk;
    for (const auto& [input, plan] : kCases) {
      write("in", input);
      velmora::FreeFormatReader reader(13);
      reader.open("in", 1);
      double numbers[3];
      char text[4];
      std::string out;
      std::istringstream statements(plan);
      std::string words;
      while (std::getline(statements, words, '|')) {
        std::istringstream wordStream(words);
        std::string size;
        wordStream >> size;
        std::vector<Item> items;
        if (size == "T4") {
          items.push_back(velmora::TextItem{text, sizeof text});
        } else {
          for (int i = 0; i < std::stoi(size); ++i) items.push_back(velmora::NumberItem{&numbers[i]});
        }
        (void)reader.readOrEnd(items, 5);
        out += (out.empty() ? "" : " | ") + size + " " + std::to_string(reader.statementLine()) + "-" +
               std::to_string(reader.statementEndLine()) + (reader.endedBySlash() ? "/" : "");
      }
      EXPECT_EQ(out, plan) << "input \"" << input << "\", chunk " << chunk;
      reader.close(6);
    }
  }
}

// Tables read by readRows, each call given `capacity` rows of `items` items:
// every row's values (~: never written), what each row statement saw (its
// first and last line, the values its records held / of them ignored, a
// slash), then the rows read, and the end of the file with statementLine().
// The rows of a call start at zero, so null values and items after a slash
// read as 0, and a row cut short by the end of the file is left at zero.
// Items outside `convert` are checked but hold no specified value (shown
// as "."): a bad one stops the run as a kept one does. Rows whose kind
// `counting` leaves uncounted show 1 for any values after their last item.
struct TableCase {
  const char* input;
  int items;
  std::size_t capacity;
  std::string expected;
  std::uint32_t convert = velmora::kAllRowItems;
  velmora::IgnoredCounting counting = {};
  // When set, the rows are read one a call (and again all in one call), and,
  // read in whole blocks, what each row's record can hold as the read that
  // took it says: s short, n numbers, a anything.
  const char* records = nullptr;
  // With `records`, where all rows in one call (one counting for every row)
  // differ from a call a row: those rows.
  const char* inOneCall = nullptr;
};
constexpr velmora::IgnoredCounting kOneRecordNoted{false, true};
constexpr velmora::IgnoredCounting kMoreRecordsNoted{true, false};
constexpr velmora::IgnoredCounting kNoneCounted{false, false};
const TableCase kTableCases[] = {
    {"1 2 3\n4 5 6\n", 3, 3, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 3/0) | 0 0 0 | 2 rows, end 0"},
    {"1 2 3\n4 5 6\nx\n", 3, 2, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 3/0) | 2 rows"},
    {"1 2 3 4 x\n7 8 9", 3, 2, "1 2 3 (1-1 5/2) | 7 8 9 (2-2 3/0) | 2 rows"},
    {"1\n\n2 3 4\n", 3, 1, "1 2 3 (1-3 4/1) | 1 rows"},
    {"1 / 9\n4 5 6\n", 3, 2, "1 0 0 (1-1 1/0 /) | 4 5 6 (2-2 3/0) | 2 rows"},
    {"1,,3\n;2\n", 3, 2, "1 0 3 (1-1 3/0) | 0 0 0 | 1 rows, end 2"},
    {";2\n,\n", 2, 2, "0 2 (1-1 2/0) | 0 0 | 1 rows, end 2"},
    {"2*5 7 8\n4*5\n", 3, 2, "5 5 7 (1-1 4/1) | 5 5 5 (2-2 4/1) | 2 rows"},
    {"1 2 3\n4 5", 3, 3, "1 2 3 (1-1 3/0) | 0 0 0 | ~ ~ ~ | 1 rows, end 2"},
    {"1,2,3\n4, 5 ,6\r\n7 ;8; 9 , 10\n", 3, 3, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 3/0) | 7 8 9 (3-3 4/1) | 3 rows"},
    {"1 2 3 'a b', c\n", 3, 1, "1 2 3 (1-1 5/2) | 1 rows"},
    {"1 2 3 4 5 6 7 8 9\n", 8, 1, "1 2 3 4 5 6 7 8 (1-1 9/1) | 1 rows"},
    {"\n\n", 2, 2, "0 0 | ~ ~ | 0 rows, end 0"},
    {"5\n6\n7", 1, 4, "5 (1-1 1/0) | 6 (2-2 1/0) | 7 (3-3 1/0) | 0 | 3 rows, end 0"},
    {"1 2 3\n4 x 6\n", 3, 2, fatal(7, "bad number in item 2", 2)},
    {"1 2 3\n4 5 6 0*9\n", 3, 2, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 4/1) | 2 rows"},
    {"1 2 3\n4 5 6\n", 3, 2, ". 2 . (1-1 3/0) | . 5 . (2-2 3/0) | 2 rows", 0b010},
    {"1e999999 2 -3e-99999\n4.5D+3,5,.5+1\n", 3, 2, ". 2 . (1-1 3/0) | . 5 . (2-2 3/0) | 2 rows", 0b010},
    {"1 2 3\n4 5 6\n7", 3, 3, "1 . 3 (1-1 3/0) | 4 . 6 (2-2 3/0) | 0 0 0 | 2 rows, end 3", 0b101},
    {"Inf 2 -nan\n 10000000000000000000001 3 1\n", 3, 2, ". 2 . (1-1 3/0) | . 3 . (2-2 3/0) | 2 rows", 0b010},
    {"1 2 3\n4 5 x\n", 3, 2, fatal(7, "bad number in item 3", 2), 0b010},
    {"1 2 3\n\n1.5E 5 6\n", 3, 2, fatal(7, "bad number in item 1", 3), 0b010},
    {"1 2 3\n-. 5 6\n", 3, 2, fatal(7, "bad number in item 1", 2), 0b010},
    {"1 2 1..2\n", 3, 1, fatal(7, "bad number in item 3", 1), 0b010},
    {"1 2 3\n4 5 0.5C\n", 3, 2, fatal(7, "bad number in item 3", 2), 0b011},
    {"1 2 3 4 x\n7 8 9", 3, 2, "1 2 3 (1-1 4/1) | 7 8 9 (2-2 3/0) | 2 rows", velmora::kAllRowItems, kOneRecordNoted},
    {"1 2 3 4 x\n1\n2 3 4 5\n", 3, 2, "1 2 3 (1-1 4/1) | 1 2 3 (2-3 5/2) | 2 rows", velmora::kAllRowItems,
     kOneRecordNoted},
    {"1 2 3 4 x\n1\n2 3 4 5\n", 3, 2, "1 2 3 (1-1 5/2) | 1 2 3 (2-3 4/1) | 2 rows", velmora::kAllRowItems,
     kMoreRecordsNoted},
    {"1 2 3 / 4\n1 2 3 ,\n1 2 3 , ,\n", 3, 3, "1 2 3 (1-1 3/0) | 1 2 3 (2-2 3/0) | 1 2 3 (3-3 4/1) | 3 rows",
     velmora::kAllRowItems, kNoneCounted},
    {"1 2 3 'a b', c\n4*5 6 6\n1 2 3 9*\n", 3, 3, "1 2 3 (1-1 4/1) | 5 5 5 (2-2 5/2) | 1 2 3 (3-3 4/1) | 3 rows",
     velmora::kAllRowItems, kNoneCounted},
    {"1 2 3\n4 5 6 7\n4.5E+1 5 6\n", 3, 3, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 4/1) | 45 5 6 (3-3 3/0) | 3 rows",
     velmora::kAllRowItems, {}, "asn"},
    {"1 2 3\n7 8 9 / x\n1,2;3\n", 3, 3, "1 2 3 (1-1 3/0) | 7 8 9 (2-2 3/0) | 1 2 3 (3-3 3/0) | 3 rows",
     velmora::kAllRowItems, {}, "aan"},
    {"1 2 3\n-1 .5 3\t\n1 -2 3 \r\n", 3, 3, "1 2 3 (1-1 3/0) | -1 0 3 (2-2 3/0) | 1 -2 3 (3-3 3/0) | 3 rows",
     velmora::kAllRowItems, {}, "ann"},
    {"1 2 3\n4.5E+1 5 6\n4 5 6 7\n-1 2 3\n", 3, 4,
     "1 2 3 (1-1 3/0) | 45 5 6 (2-2 3/0) | 4 5 6 (3-3 4/1) | -1 2 3 (4-4 3/0) | 4 rows", velmora::kAllRowItems, {},
     "anss"},
    {"1 2 3\n1E0 2 3 4 5\n1E0 2 3 4 5\n1\n2 3 4 5 6\n", 3, 4,
     "1 2 3 (1-1 3/0) | 1 2 3 (2-2 5/2) | 1 2 3 (3-3 4/1) | 1 2 3 (4-5 6/3) | 4 rows", velmora::kAllRowItems, {},
     "aaaa", "1 2 3 (1-1 3/0) | 1 2 3 (2-2 5/2) | 1 2 3 (3-3 5/2) | 1 2 3 (4-5 6/3) | 4 rows"},
    // A row of two records, then short ones: a run from the record after
    // the first row's line feed, ended before a record with a fourth value.
    {"1\n2 3\n4 5 6\n7 8 9 10\n11 12 13\n14 15 16\n", 3, 4,
     "1 2 3 (1-2 3/0) | 4 5 6 (3-3 3/0) | 7 8 9 (4-4 4/1) | 11 12 13 (5-5 3/0) | 4 rows", velmora::kAllRowItems, {},
     "asss"},
    {"1\n2 3 4 5\n1\n2 3 4 5\n", 3, 2, "1 2 3 (1-2 5/2) | 1 2 3 (3-4 4/1) | 2 rows", velmora::kAllRowItems, {}, "aa",
     "1 2 3 (1-2 5/2) | 1 2 3 (3-4 5/2) | 2 rows"},
    {"   2.4391935358922810E+03   1.3422715168622159E-03  -8.2056868904215298E+04\n"
     "  -5.4369026721522312e+02,  6.9864346971973100e+02\t-5.4594879233431902e+02 \r\n"
     "   7.5726014955946952D-01   7.6783249774760509D+02   7.5344896368757649D-06\n1 2 3\n",
     3, 4, "2439 0 -82056 (1-1 3/0) | -543 698 -545 (2-2 3/0) | 0 767 0 (3-3 3/0) | 1 2 3 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "anns"},
    {"   2.4391935358922810E+03   1.3422715168622159E-03  -8.2056868904215298E+04 9\n"
     "   5.4369026721522312E+02   6.9864346971973100E+02  -5.4594879233431902E+02\n"
     "   1.5E+3   2.5e-3  -3.5D+2\n   1.0E+01   2.0E+01   3.0E+01 / 4\n",
     3, 4, "2439 0 -82056 (1-1 4/1) | 543 698 -545 (2-2 3/0) | 1500 0 -350 (3-3 3/0) | 10 20 30 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "anna"},
    {"  +1.2500000000000000E+02   2.0000000000000000E+001  -3.0000000000000000D+00\n"
     "   4.0000000000000000E+01,  5.0000000000000000e-00  -6.0000000000000000E+0\n1 2 3\n",
     3, 3, "125 20 -3 (1-1 3/0) | 40 5 -6 (2-2 3/0) | 1 2 3 (3-3 3/0) | 3 rows", velmora::kAllRowItems, {}, "ans"},
    // Short records with values of sixteen bytes or more after the first
    // row: fifteen digits taken, sixteen left to the read of numbers.
    {"0 0 0\n1.5 -0.12345678901234 2.25\n1.234567890123456 2.5 -3.75\n-1.5 2.125 3.0625\n",
     3, 4, "0 0 0 (1-1 3/0) | 1 0 2 (2-2 3/0) | 1 2 -3 (3-3 3/0) | -1 2 3 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "asns"},
    {"   1.0000000000000000E+00  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "  -4.0000000000000000E+00   5.0000000000000000E+00  -6.0000000000000000E-00\n"
     "   7.0000000000000000E+00   8.0000000000000000E-00   9.0000000000000000E+00\n"
     "   1.0000000000000000E+001   2.0000000000000000E+00   3.0000000000000000E+00\n",
     3, 4, "1 -2 3 (1-1 3/0) | -4 5 -6 (2-2 3/0) | 7 8 9 (3-3 3/0) | 10 2 3 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    {"   1.0000000000000000E+00  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "  -4.0000000000000000E+00   5.0000000000000000E+00  -6.0000000000000000E-00\n"
     "   7.0000000000000000E+00   8.0000000000000000E-00   9.0000000000000000E+00\n"
     "   1.0000000000000000E+01   1.1000000000000000E+01   1.2000000000000000E+01 -4\n",
     3, 4, "1 -2 3 (1-1 3/0) | -4 5 -6 (2-2 3/0) | 7 8 9 (3-3 3/0) | 10 11 12 (4-4 4/1) | 4 rows",
     velmora::kAllRowItems, {}, "anna"},
    {"   1.0000000000000000E+00,  2.0000000000000000E+00   3.0000000000000000E+00\n"
     "   4.0000000000000000E+00,  5.0000000000000000E+00   6.0000000000000000E+00\n"
     "   7.0000000000000000E+00,  8.0000000000000000E+00   9.0000000000000000E+00\n"
     "   7.0000000000000000E+00   8.0000000000000000E+00   9.0000000000000000E+00\n",
     3, 4, "1 2 3 (1-1 3/0) | 4 5 6 (2-2 3/0) | 7 8 9 (3-3 3/0) | 7 8 9 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    {"   1.2500000000000000E+02  -2.5000000000000000E+01   3.0000000000000000E+00\n"
     "  -1.0000000000000000E-99   9.9000000000000000E+01   0.0000000000000000E+00\n"
     "   1.2345678901234567E+04  -7.0000000000000000E+00   2.0000000000000000E-01\n"
     "   5.0000000000000000E+00  -9.9999999999999999E-99  -6.5000000000000000E+01\n",
     3, 4, "125 -25 3 (1-1 3/0) | 0 99 0 (2-2 3/0) | 12345 -7 0 (3-3 3/0) | 5 0 -65 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    // Values that round up to a power of two (the significand's carry goes
    // into the exponent), and first digits 0 above and below 2^53, where
    // the pattern reads them (the last record).
    {"   1.5000000000000000E+01  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "   1.0239999999999999E+03  -0.0000000000000001E+17   9.9999999999999999E+00\n"
     "   0.9999999999999999E+03   0.1234567890123456E+06  -3.1999999999999999E+01\n"
     "   6.3999999999999999E+01  -2.5599999999999999E+02   5.1199999999999999E+02\n",
     3, 4, "15 -2 3 (1-1 3/0) | 1023 -10 10 (2-2 3/0) | 999 123456 -32 (3-3 3/0) | 64 -256 512 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    {"1.5000000000000000E+01 2.0000000000000000E+00 3.0000000000000000E+00\n"
     "2.0479999999999999E+03 4.9999999999999999E-01 1.6383999999999999E+04\n"
     "8.1919999999999999E+03 9.9999999999999999E+00 5.1199999999999999E+02\n"
     "0.1234567890123456E+06 0.9999999999999999E+03 8.1919999999999999E+03\n",
     3, 4, "15 2 3 (1-1 3/0) | 2048 0 16383 (2-2 3/0) | 8192 10 512 (3-3 3/0) | 123456 999 8192 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    {"1.2500000000000000E+02  -2.5000000000000000E+01   3.0000000000000000E+00\n"
     "7.0000000000000000E+00   9.9000000000000000E+01  -4.0000000000000000E+00\n"
     "1.2345678901234567E+04  -7.0000000000000000E+00   2.0000000000000000E+01\n",
     3, 3, "125 -25 3 (1-1 3/0) | 7 99 -4 (2-2 3/0) | 12345 -7 20 (3-3 3/0) | 3 rows",
     velmora::kAllRowItems, {}, "ann"},
    {"   1.0000000000000000E+00  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "   4.0000000000000000E+00   5.0000000000000000E+00  -6.0000000000000000E+00\n"
     "   7.0000000000000000E+00   8.0000000000000000E+00   9.0000000000000000E+00\n"
     "   5.0000000000000000E-01  -7.6543210000000000E+05   1.2345678900000000E+09\n",
     3, 4, "1 -2 3 (1-1 3/0) | 4 5 -6 (2-2 3/0) | 7 8 9 (3-3 3/0) | 0 -765432 1234567890 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "annn"},
    // Records read by their pattern after a short record and after one with
    // a fourth value: in held calls the pattern's records start each call.
    {"   1.5000000000000000E+01  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "   4.0000000000000000E+00   5.0000000000000000E-01  -6.0000000000000000E+02\n"
     "1 2 3\n"
     "   7.0000000000000000E+00  -8.0000000000000000E+01   9.0000000000000000E+00\n",
     3, 4, "15 -2 3 (1-1 3/0) | 4 0 -600 (2-2 3/0) | 1 2 3 (3-3 3/0) | 7 -80 9 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "ansn"},
    {"   1.5000000000000000E+01  -2.0000000000000000E+00   3.0000000000000000E+00\n"
     "   4.0000000000000000E+00   5.0000000000000000E+00  -6.0000000000000000E+02\n"
     "   1.0000000000000000E+00   2.0000000000000000E+00   3.0000000000000000E+00  4.5E+00\n"
     "   7.0000000000000000E+00  -8.0000000000000000E+01   9.0000000000000000E+00\n",
     3, 4, "15 -2 3 (1-1 3/0) | 4 5 -600 (2-2 3/0) | 1 2 3 (3-3 4/1) | 7 -80 9 (4-4 3/0) | 4 rows",
     velmora::kAllRowItems, {}, "anan"},
};

// With `records`: a row a call, or with `held` the reader's held calls
// (TableRead::rowsHeld), each asking for the rest; either way, as a load for
// a handler of row detail does, values after a row's third are counted only
// up to the first row of one record, and of more, that has any. With `run`
// too, short rows may come told as a run (TableRead::run), their lines
// made from it as a loader makes them.
std::string readTable(const TableCase& c, std::string* records = nullptr, bool held = false, bool run = false) {
  constexpr double kUnset = -777.0;
  velmora::FreeFormatReader reader(13);
  std::string out;
  std::string stop = stopOf([&] {
    reader.open("in", 1);
    double values[3 * 8];
    std::fill(std::begin(values), std::end(values), kUnset);
    velmora::RowLines lines[4];
    velmora::TableRead table;
    table.itemsPerRow = c.items;
    table.statement = 7;
    table.values = values;
    table.lines = lines;
    table.capacity = c.capacity;
    table.convertItems = c.convert;
    table.ignoredCounting = c.counting;
    std::size_t rows = 0;
    long long runOffsets[8];
    std::uint8_t runForms[16];
    velmora::ToldRunRows shortRun{runOffsets, runForms, 0, 0};
    if (c.records == nullptr) {
      rows = reader.readRows(table);
    } else {
      table.rowsHeld = held;
      table.run = held && run ? &shortRun : nullptr;
      while (rows < c.capacity && !reader.tableEnded()) {
        table.capacity = held ? c.capacity - rows : 1;
        table.values = values + rows * static_cast<std::size_t>(c.items);
        table.lines = lines + rows;
        const std::size_t got = reader.readRows(table);
        if (table.run != nullptr && shortRun.rows != 0) {
          if (shortRun.rows != got) out += "a run of " + std::to_string(shortRun.rows) + " in a call of " + std::to_string(got) + " ";
          for (std::size_t r = 0; r < got; ++r) lines[rows + r] = velmora::toldRunLines(shortRun, r);
        }
        for (std::size_t r = rows; r < rows + got; ++r) {
          (lines[r].first == lines[r].last ? table.ignoredCounting.oneRecord : table.ignoredCounting.moreRecords) &=
              lines[r].ignored == 0 && lines[r].first == lines[r].last;
        }
        rows += got;
      }
    }
    for (std::size_t r = 0; r < c.capacity; ++r) {
      out += r > 0 ? " | " : "";
      for (int i = 0; i < c.items; ++i) {
        double value = values[r * static_cast<std::size_t>(c.items) + static_cast<std::size_t>(i)];
        const bool kept = r >= rows || ((c.convert >> i) & 1) != 0;
        out += (i > 0 ? " " : "") + (!kept            ? std::string(".")
                                     : value == kUnset ? std::string("~")
                                                       : std::to_string(static_cast<int>(value)));
      }
      if (r < rows) {
        const velmora::RowLines& seen = lines[r];
        if (records != nullptr) {
          *records += seen.record == velmora::RowRecord::Short ? 's' : seen.record == velmora::RowRecord::Numbers ? 'n' : 'a';
        }
        out += " (" + std::to_string(seen.first) + "-" + std::to_string(seen.last) + " " +
               std::to_string(seen.valuesHeld) + "/" + std::to_string(seen.ignored) + (seen.endedBySlash ? " /" : "") +
               ")";
      }
    }
    out += " | " + std::to_string(rows) + " rows" +
           (reader.tableEnded() ? ", end " + std::to_string(reader.statementLine()) : "");
    reader.close(8);
  });
  return stop == "no stop" ? out : stop;
}

// With whole blocks (the one-pass reads) and one byte per read (the general
// rules for every row): the same values, lines and counts.
TEST_F(FreeFormat, TablesOfRows) {
  for (std::size_t chunk : {0, 1}) {
    readChunk = chunk;
    for (const TableCase& c : kTableCases) {
      write("in", c.input);
      std::string records;
      EXPECT_EQ(readTable(c, &records), c.expected) << "input \"" << c.input << "\", chunk " << chunk;
      if (c.records != nullptr && chunk == 0) {
        EXPECT_EQ(records, c.records) << "input \"" << c.input << "\"";
        // What each row says of its record does not depend on how many rows
        // a call asks for: every row in one call.
        TableCase whole = c;
        whole.records = nullptr;
        std::string wholeRecords;
        EXPECT_EQ(readTable(whole, &wholeRecords), c.inOneCall != nullptr ? c.inOneCall : c.expected)
            << "input \"" << c.input << "\", one call";
        EXPECT_EQ(wholeRecords, c.records) << "input \"" << c.input << "\", one call";
      }
      if (c.records != nullptr) {
        // Held calls: the same rows as a row a call, short ones told as
        // RowLines or as runs.
        for (bool run : {false, true}) {
          std::string heldRecords;
          EXPECT_EQ(readTable(c, &heldRecords, true, run), c.expected)
              << "input \"" << c.input << "\", chunk " << chunk << ", run " << run;
          if (chunk == 0) {
            EXPECT_EQ(heldRecords, c.records) << "input \"" << c.input << "\", held, run " << run;
          }
        }
      }
    }
  }
}

// How a record splits into values, by the reader's own rules: the examples
// of the header, and the forms a data file's records take.
TEST(Records, DescribeRecord) {
  struct Shape {
    const char* record;
    std::uint32_t values;
    std::uint32_t numbers;
    bool plain;
  };
  const std::string kLongSurplus = "1 2 3 0." + std::string(3000, '7') + "e-310 0." + std::string(3000, '7') + "x";
  const Shape kShapes[] = {
      {"1 2 3", 3, 3, true},          {"1,,3", 3, 2, false},          {"Rate 0.25 x", 3, 1, true},
      {"3*7 x", 4, 3, false},         {"1 / 2 3", 1, 1, false},       {"'a b', 2", 2, 1, false},
      {", 5", 2, 1, false},           {"", 0, 0, true},               {"  \t", 0, 0, true},
      {"1.5E 2", 2, 1, true},         {"2*", 2, 0, false},            {"1,2;3\r", 3, 3, true},
      {"-1.5D+03\t.5 Inf", 3, 3, true}, {"'it''s' x", 2, 0, false},    {"'open 1 2", 1, 0, false},
      {"2*'a b' 1", 3, 1, false},     {"1 , , 2", 3, 2, false},       {"0*5", 1, 0, false},
      {"2*3*5", 2, 0, false},         {"a/b 7", 1, 0, false},         {"1 2 3,", 3, 3, true},
      {"1\n2", 2, 2, true},  // a line feed handed in acts as a blank
      // Values past a row's third are judged by the scan, whatever they would
      // cost to convert: beyond the range, below it, and long.
      {"1 2 3 1e300 -1.5D-400 1e99999999999", 6, 6, true},
      {kLongSurplus.c_str(), 5, 4, true},
  };
  for (const Shape& shape : kShapes) {
    const velmora::RecordShape got = velmora::describeRecord(shape.record);
    EXPECT_EQ(got.values, shape.values) << shape.record;
    EXPECT_EQ(got.numbers, shape.numbers) << shape.record;
    EXPECT_EQ(got.plain, shape.plain) << shape.record;
  }
}

// The tokens of a text, handed to the tokenizer as a reader would: the bytes
// up to `split` first, with more to come, then the rest; a token cut at the
// first span's end is continued in the second, its pieces joined. Each token
// is shown as its kind (N null, S slash, Q quoted, P plain, R repeat with its
// count) and its bytes, "~" after one still open where the text ends.
std::string tokensOf(const std::string& text, std::size_t split) {
  using velmora::detail::Token;
  using velmora::detail::TokenKind;
  const std::string padding(1, '\n');
  const std::string zeros(32, '\0');
  velmora::detail::TokenState state;
  std::size_t base = 0;  // where the span starts in the text
  std::size_t size = std::min(split, text.size());
  std::string buffer = text.substr(0, size) + padding + zeros;
  const char* p = buffer.data();
  std::string out, piece;
  for (;;) {
    const bool final = base + size == text.size();
    const Token t = velmora::detail::nextToken(p, buffer.data() + size, final, state);
    auto offset = [&](const char* q) { return base + static_cast<std::size_t>(q - buffer.data()); };
    if (t.kind != TokenKind::End) piece += text.substr(offset(t.start), static_cast<std::size_t>(t.end - t.start));
    if ((t.kind == TokenKind::End || t.cut) && !final) {
      base = offset(t.kind == TokenKind::End ? t.start : t.end);
      size = text.size() - base;
      buffer = text.substr(base) + padding + zeros;
      p = buffer.data();
      continue;
    }
    if (t.kind == TokenKind::End) return out;
    const char* kKinds = "NSQPR";
    out += (out.empty() ? "" : " ") + std::string(1, kKinds[static_cast<int>(t.kind)]) + piece;
    if (t.kind == TokenKind::Repeat) out += "=" + std::to_string(t.count);
    if (t.cut) out += "~";
    if (t.kind == TokenKind::Slash) return out;  // it ends the statement
    piece.clear();
    p = t.end;
  }
}

// The one tokenizer, with the bytes ending at every place a block could end.
TEST(Records, Tokens) {
  struct Tokens {
    const char* text;
    const char* tokens;
  };
  const Tokens kTokens[] = {
      {"  1.5, x", "P1.5 Px"},
      {",,3", "N, N, P3"},
      {"1,,3 ;", "P1 N, P3"},
      {", 5", "N, P5"},
      {"1 , ; 2", "P1 N; P2"},
      {"3*7 2*", "R3*=3 P7 R2*=2 N"},
      {"2*,5", "R2*=2 N P5"},
      {"2*3*5", "R2*=2 P3*5"},
      {"01*4", "R01*=1 P4"},
      {"0*9", "R0*=0 P9"},
      {"99999999999999999999*1", "R99999999999999999999*=18446744073709551615 P1"},
      {"2*'a b',x", "R2*=2 Q'a b' Px"},
      {"'it''s' x", "Q'it''s' Px"},
      {"''''", "Q''''"},
      {"\"a'b\"'c'", "Q\"a'b\" Q'c'"},  // bytes stuck to a closing delimiter (bad text) come next
      {"'a\nb,/'", "Q'a\nb,/'"},
      {"'open 1 2", "Q'open 1 2~"},
      {"'", "Q'~"},
      {" / 5", "S/"},
      {"x/y", "Px S/"},
      {"a'b *5", "Pa'b P*5"},
      {"\r\n1\r\n\n \t2\r", "P1 P2"},
      {"", ""},
      {" \n\t ", ""},
  };
  for (const Tokens& row : kTokens) {
    const std::string text = row.text;
    for (std::size_t split = 0; split <= text.size(); ++split) {
      EXPECT_EQ(tokensOf(text, split), row.tokens) << '"' << text << "\" split at " << split;
    }
  }
}

// How each value is written, as the number rules scan it: kind, sign,
// digits before and after the point, significant digits, the exponent's
// form, place and value, the repeat count and what ends it.
std::string writtenShape(std::string_view record, const velmora::WrittenValue& v) {
  using velmora::ExponentForm;
  using velmora::WrittenKind;
  std::string out = std::string(record.substr(v.start, v.end - v.start)) + ":";
  out += v.kind == WrittenKind::Number ? "N" : v.kind == WrittenKind::Null ? "0" : v.kind == WrittenKind::Quoted ? "Q" : "X";
  if (v.kind == WrittenKind::Number) {
    out += (v.sign ? " s" : "") + std::string(v.word ? " w" : "") + " " + std::to_string(v.integerDigits) +
           (v.point ? "." + std::to_string(v.fractionDigits) : "") + " g" + std::to_string(v.significantDigits) +
           " d" + std::to_string(v.decimals());
    if (v.exponent != ExponentForm::None) {
      out += std::string(v.exponent == ExponentForm::Letter ? " E@" : " S@") + std::to_string(v.exponentAt) + "=" +
             std::to_string(v.exponentValue);
    }
  }
  if (v.repeat != 1) out += " x" + std::to_string(v.repeat);
  const char* kEnds[] = {"", " _", " ,", " /"};
  return out + kEnds[static_cast<int>(v.endedBy)];
}

TEST(Records, DescribeValues) {
  struct Written {
    const char* record;
    const char* values;  // each value's shape, then "/k" for a slash at k
  };
  const Written kWritten[] = {
      {"1.5+3 2", "1.5+3:N 1.1 g2 d0 S@3=3 _|2:N 1 g1 d0"},
      {"-0.0120,x", "-0.0120:N s 1.4 g3 d4 ,|x:X"},
      {"1 / 2", "1:N 1 g1 d0 _|/2"},
      {"'a/b' 3*7", "'a/b':Q _|3*7:N 1 g1 d0 x3"},
      {"1.2E+05	1.25e1 -1.5D-3", "1.2E+05:N 1.1 g2 d0 E@3=5 _|1.25e1:N 1.2 g3 d1 E@12=1 _|-1.5D-3:N s 1.1 g2 d4 E@19=-3"},
      {"1,,3", "1:N 1 g1 d0 ,|:0|3:N 1 g1 d0"},
      {"100 0.00 Inf 1,234", "100:N 3 g3 d0 _|0.00:N 1.2 g0 d2 _|Inf:N w 0 g0 d0 _|1:N 1 g1 d0 ,|234:N 3 g3 d0"},
      {"1.5E 2* 12.", "1.5E:X _|2*:0 x2 _|12.:N 2.0 g2 d0"},
      {"  -1.3422715168622159e-03\t+.5-3;nan 7D+0",
       "-1.3422715168622159e-03:N s 1.16 g17 d19 E@21=-3 _|+.5-3:N s 0.1 g1 d4 S@29=-3 ,|nan:N w 0 g0 d0 _|7D+0:N 1 g1 d0 E@37=0"},
      // Values as the short record's read takes them: a minus, digits, a point.
      {" 27.5413 -10.7709 -0.0060", "27.5413:N 2.4 g6 d4 _|-10.7709:N s 2.4 g6 d4 _|-0.0060:N s 1.4 g2 d4"},
      {"-.5 5. 0.000 -00.0 000120 0", "-.5:N s 0.1 g1 d1 _|5.:N 1.0 g1 d0 _|0.000:N 1.3 g0 d3 _|-00.0:N s 2.1 g0 d1 _|000120:N 6 g3 d0 _|0:N 1 g0 d0"},
      {"10.010 -100 0.1 7", "10.010:N 2.3 g5 d3 _|-100:N s 3 g3 d0 _|0.1:N 1.1 g1 d1 _|7:N 1 g1 d0"},
  };
  for (const Written& w : kWritten) {
    std::vector<velmora::WrittenValue> values(8);
    const velmora::WrittenRecord got = velmora::describeValues(w.record, values);
    std::string shapes;
    for (std::size_t k = 0; k < got.values && k < values.size(); ++k) {
      shapes += (k > 0 ? "|" : "") + writtenShape(w.record, values[k]);
    }
    if (got.slash != std::string_view::npos) shapes += "|/" + std::to_string(got.slash);
    EXPECT_EQ(shapes, w.values) << w.record;
    // An unquoted value that is no repeat form, described alone, has the
    // shape it has in its record.
    for (std::size_t k = 0; k < got.values && k < values.size(); ++k) {
      const velmora::WrittenValue& in = values[k];
      if (in.kind == velmora::WrittenKind::Null || in.kind == velmora::WrittenKind::Quoted || in.repeat != 1) continue;
      const std::string_view bytes = std::string_view(w.record).substr(in.start, in.end - in.start);
      velmora::WrittenValue alone = velmora::writtenValueAlone(bytes);
      alone.start += in.start;
      alone.end += in.start;
      alone.endedBy = in.endedBy;
      if (alone.exponent != velmora::ExponentForm::None) alone.exponentAt += in.start;
      EXPECT_EQ(writtenShape(w.record, alone), writtenShape(w.record, in)) << w.record << ", value " << k + 1;
      // Bytes the short record's read would take: told from the bytes alone, the same.
      if (bytes.find_first_not_of("-.0123456789") == std::string_view::npos) {
        velmora::WrittenValue told = velmora::writtenShortValue(bytes);
        told.start += in.start;
        told.end += in.start;
        told.endedBy = in.endedBy;
        EXPECT_EQ(writtenShape(w.record, told), writtenShape(w.record, in)) << w.record << ", value " << k + 1;
      }
      // Where they stand, followed by any byte that ends a value and digits
      // past it: the same.
      for (const char ending : {'\n', ' ', '\t', '\r', ',', ';'}) {
        std::string padded = std::string(bytes) + ending + std::string(velmora::kWrittenValuePadding - 1, '7');
        velmora::WrittenValue there = velmora::writtenValuePadded(padded.data(), padded.data() + bytes.size());
        there.start += in.start;
        there.end += in.start;
        there.endedBy = in.endedBy;
        if (there.exponent != velmora::ExponentForm::None) there.exponentAt += in.start;
        EXPECT_EQ(writtenShape(w.record, there), writtenShape(w.record, in))
            << w.record << ", value " << k + 1 << ", ended by byte " << static_cast<int>(ending);
      }
    }
  }
  // The value an item takes: a repeat form's values counted, none past a slash.
  velmora::WrittenValue v;
  ASSERT_TRUE(velmora::writtenItem("2*7 8.50", 2, v));
  EXPECT_EQ(v.start, 0u);
  ASSERT_TRUE(velmora::writtenItem("2*7 8.50", 3, v));
  EXPECT_EQ(v.fractionDigits, 2u);
  EXPECT_FALSE(velmora::writtenItem("1 / 2", 2, v));
  double x = 0;
  EXPECT_TRUE(velmora::numberOfText("1.5+3", x) && x == 1500);
  EXPECT_FALSE(velmora::numberOfText("1.5E", x));
}

// A record's description is what the statements read (both through the one
// tokenizer, the description judging numbers by the scan alone, the
// statements by converting them): seeded random records of every
// form a value takes (numbers, words, quoted text, null values, repeat forms,
// a slash, every blank and separator), each read by statements over a file
// of the record and one more. A statement of k text items stays on the
// record while k <= values; with one more it meets the slash or takes its
// last item from the next record. Value i is a number when a statement of
// i - 1 text items and a number item fills the number.
TEST_F(FreeFormat, DescribeRecordIsWhatStatementsRead) {
  const char* const kValues[] = {"1",     "-2.5",    "1.0D+03", ".5",     "+7e-3", "Inf",    "nan",  "x",
                                 "Rate",  "1.5E",    "0.5C",    "a'b",    "'a b'", "'it''s'", "\"q,/\"", "3*7",
                                 "2*",    "2*'a b'", "2*x",     "11*1e5", "01*4",  "2*3*5",  "1..2", "12345678901234567890"};
  const char* const kBetween[] = {" ", "  ", "\t", "\r", ",", ", ", " ;", " , ", ",,", " \t,\r", ", ,", "/", " / "};
  const char* const kBefore[] = {"", "", " ", "\t", ",", " ;", "\r "};
  const char* const kAfter[] = {"", "", " ", ",", "\r", " /"};
  std::mt19937 random(20261209);
  auto pick = [&random](const auto& choices) {
    return choices[random() % (sizeof choices / sizeof choices[0])];
  };
  constexpr std::size_t kWidth = 16;
  constexpr double kUnset = -777.0;
  for (int n = 0; n < 300; ++n) {
    std::string record = pick(kBefore);
    const int count = static_cast<int>(random() % 6);
    for (int v = 0; v < count; ++v) record += std::string(v > 0 ? pick(kBetween) : "") + pick(kValues);
    record += pick(kAfter);
    const velmora::RecordShape shape = velmora::describeRecord(record);
    // Its values one by one give the same counts.
    std::vector<velmora::WrittenValue> written(32);
    const std::size_t spans = velmora::describeValues(record, written).values;
    std::uint64_t writtenValues = 0, writtenNumbers = 0;
    for (std::size_t k = 0; k < spans; ++k) {
      writtenValues += written[k].repeat;
      writtenNumbers += written[k].kind == velmora::WrittenKind::Number ? written[k].repeat : 0;
    }
    EXPECT_EQ(writtenValues, shape.values) << record;
    EXPECT_EQ(writtenNumbers, shape.numbers) << record;
    write("in", record + "\n'#end'\n");
    velmora::FreeFormatReader reader(13);
    reader.open("in", 1);
    char texts[80][kWidth];
    std::vector<Item> items;
    // Statements of k text items, from the record's start each time.
    auto readTexts = [&](std::size_t k) {
      reader.rewind(2);
      items.clear();
      for (std::size_t i = 0; i < k; ++i) {
        std::memset(texts[i], '~', kWidth);
        items.push_back(velmora::TextItem{texts[i], kWidth});
      }
    };
    std::uint32_t values = 0;
    for (std::size_t k = 1; k < 80; ++k) {
      readTexts(k);
      (void)reader.readOrEnd(items, 3);
      if (reader.endedBySlash() || std::string(texts[k - 1], 5) == "#end ") break;
      values = static_cast<std::uint32_t>(k);
    }
    EXPECT_EQ(shape.values, values) << '"' << record << '"';
    std::uint32_t numbers = 0;
    for (std::uint32_t i = 0; i < values; ++i) {
      readTexts(i);
      double number = kUnset;
      items.push_back(velmora::NumberItem{&number});
      const std::string stop = stopOf([&] { (void)reader.readOrEnd(items, 4); });
      if (stop == "no stop" && number != kUnset) ++numbers;
    }
    EXPECT_EQ(shape.numbers, numbers) << '"' << record << '"';
    reader.close(5);
  }
}

}  // namespace
