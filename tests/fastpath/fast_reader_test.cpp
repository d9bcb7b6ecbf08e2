// The reader's faster paths (the read of a short record whole and the
// one-pass read of an ordinary record, in statements and in the rows of a
// table, and the number scanner) against its general rules alone: seeded
// random files of rows that mix every separator, number form and oddity,
// read in pieces of random sizes so that records and values fall across the
// end of the buffer. Every statement must leave the same values, status,
// lines, counts and slash flag, and a stop the same two lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "freeformat/blockclass.h"
#include "freeformat/freeformat.h"
#include "freeformat/system.h"

namespace {

namespace fs = std::filesystem;
using velmora::Item;

struct Stopped {
  std::string text;
};
void throwStop(const velmora::StopReport& report) { throw Stopped{report.text}; }

std::size_t readPiece = 0;  // bytes handed out per read call; 0: as many as asked
ssize_t pieceRead(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, readPiece != 0 && size > readPiece ? readPiece : size);
}

// One value in a randomly chosen form; `odd` allows the forms that the
// one-pass read must leave to the general rules.
std::string randomValue(std::mt19937_64& random, bool odd) {
  char text[80];
  double unit = static_cast<double>(random() >> 11) * 0x1.0p-53;
  double signedUnit = (random() & 1) ? unit : -unit;
  int exponent = static_cast<int>(random() % 41) - 20;
  switch (random() % (odd ? 16 : 7)) {
    case 0:
      std::snprintf(text, sizeof text, "% .16e", signedUnit * 9 * std::pow(10.0, exponent));
      break;
    case 1:
      std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random() % 7), signedUnit * 2000);
      break;
    case 2:
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(random() % 2000001) - 1000000);
      break;
    case 3:
      std::snprintf(text, sizeof text, "%.17g", signedUnit * std::pow(10.0, exponent * 15));
      break;
    case 4:
      std::snprintf(text, sizeof text, "%.16E", signedUnit * std::pow(10.0, exponent));
      text[18 + (text[0] == '-')] = (random() & 1) ? 'D' : 'd';  // 1.0D+03
      break;
    case 5:
      std::snprintf(text, sizeof text, "%+.3f%+d", signedUnit * 10, exponent);  // 1.5+3
      break;
    case 6:
      std::snprintf(text, sizeof text, (random() & 1) ? ".%llu" : "%llu.",
                    static_cast<unsigned long long>(random() % 100000));
      break;
    case 7:  // more digits than the fast forms take, or a far exponent
      std::snprintf(text, sizeof text, "%llu%llu.%llue%d", static_cast<unsigned long long>(random()),
                    static_cast<unsigned long long>(random()), static_cast<unsigned long long>(random() % 1000),
                    static_cast<int>(random() % 700) - 350);
      break;
    case 8: {
      const char* words[] = {"Inf", "-infinity", "NaN", "+nan", "1e-320", "4.9e-324", "1.7976931348623159e308",
                             "1e99999", "0e-99999", "2.2250738585072011e-308"};
      return words[random() % 10];
    }
    case 9: {  // repeat forms
      const char* forms[] = {"2*", "3*1.5", "2*7", "02*5", "1*", "9*0.25"};
      return forms[random() % 6];
    }
    case 10: {  // bad numbers and quotes, now and then
      const char* forms[] = {"1.5E", "0.5C", "1..2", "+", "'x'", "0*1", "\"q\"", "1e+-3", "x"};
      return random() % 4 == 0 ? forms[random() % 9] : "4";
    }
    default:
      return randomValue(random, false);
  }
  return text;
}

// A value of the short shapes fixed decimals and integers take, near and past
// the edges of what the one-load read of a short record accepts: up to ten
// digits and points, an exponent now and then; with `odd`, also two points, a
// sign inside, a sign or a point alone.
std::string randomShortValue(std::mt19937_64& random, bool odd) {
  std::string text;
  if (random() % 3 == 0) text += random() % 8 == 0 ? "+" : "-";
  int digits = odd && random() % 8 == 0 ? 0 : 1 + static_cast<int>(random() % 10);
  int point = random() % 4 == 0 ? -1 : static_cast<int>(random() % (digits + 1));
  for (int d = 0; d <= digits; ++d) {
    if (d == point) text += '.';
    if (d < digits) text += static_cast<char>('0' + random() % 10);
  }
  switch (random() % (odd ? 24 : 48)) {
    case 0:
      text += "e1";
      break;
    case 1:
      if (odd) text += '.';  // a second point, or a trailing one
      break;
    case 2:
      if (odd) text.insert(text.size() / 2, "-");
      break;
    default:
      break;
  }
  return text;
}

// Records of short values and spaces only, most of them `width` values, their
// line feeds around the 32nd byte, where the one-load read of a short record
// stops taking them.
std::string randomShortFile(std::mt19937_64& random, int width) {
  std::string file;
  bool odd = random() % 4 == 0;
  int records = static_cast<int>(random() % 300);
  for (int r = 0; r < records; ++r) {
    file.append(random() % 8, ' ');
    int values = random() % 6 == 0 ? static_cast<int>(random() % 9) : width;
    for (int v = 0; v < values; ++v) {
      if (v > 0) file.append(random() % 5 == 0 ? 2 + random() % 3 : 1, ' ');
      file += randomShortValue(random, odd);
    }
    if (random() % 4 == 0) file.append(random() % 3, ' ');
    switch (random() % 20) {
      case 0:
        file += "\r\n";
        break;
      case 1:
        file += "\t\n";
        break;
      default:
        file += '\n';
    }
  }
  return file;
}

// The bytes between two values, or around a record's values.
std::string randomBlanks(std::mt19937_64& random, bool odd) {
  const char* common[] = {" ", "  ", "   ", "\t", " \t ", "          ", "                  \t  "};
  const char* unusual[] = {",", " , ", ";", " ; ", ",,", " /", "\r", " \r ", "\n", "\r\n", " \n\n "};
  if (odd && random() % 3 == 0) return unusual[random() % 11];
  return common[random() % 7];
}

std::string randomFile(std::mt19937_64& random) {
  std::string file;
  int records = static_cast<int>(random() % 400);
  for (int r = 0; r < records; ++r) {
    bool odd = random() % 8 == 0;
    if (random() % 16 == 0) {
      file += (random() & 1) ? "\n" : " \t\r\n";  // a blank record
      continue;
    }
    if (random() & 1) file += randomBlanks(random, false);
    int values = odd ? static_cast<int>(random() % 5) + 1 : 3;
    for (int v = 0; v < values; ++v) {
      if (v > 0) file += randomBlanks(random, odd);
      file += randomValue(random, odd);
    }
    if (random() & 1) file += randomBlanks(random, odd);
    file += random() % 6 == 0 ? "\r\n" : "\n";
  }
  if (random() % 4 == 0 && !file.empty()) file.pop_back();  // the last record without its line feed
  return file;
}

// Reads `path` as statements of the sizes in `plan` (1 to 8 number items,
// most of 3), each accepting the end of the file unless its size is negative,
// until the end of the file or a stop, and writes down what each one left.
std::string readAll(const std::string& path, const std::vector<int>& plan) {
  constexpr double kUnset = -777;
  std::string out;
  velmora::FreeFormatReader reader(13);
  try {
    reader.open(path, 1);
    reader.rewind(2);
    double values[8] = {kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset};
    for (std::size_t s = 0;; ++s) {
      int size = plan[s % plan.size()];
      std::vector<Item> items;
      for (int i = 0; i < (size < 0 ? -size : size); ++i) items.push_back(velmora::NumberItem{&values[i]});
      int statement = 100 + static_cast<int>(s % 50);
      bool ended = false;
      if (size < 0) {
        reader.read(items, statement);
      } else if (s % 3 == 1) {
        // As a table is read: one to three rows a call, with what each row
        // statement saw every other call.
        const std::size_t capacity = 1 + (s / 3) % 3;
        double rows[3 * 8];
        std::fill(std::begin(rows), std::end(rows), kUnset);
        velmora::RowLines lines[3];
        velmora::TableRead table;
        table.itemsPerRow = size;
        table.statement = statement;
        table.values = rows;
        table.lines = (s / 3) % 2 == 0 ? lines : nullptr;
        table.capacity = capacity;
        // Some calls keep only some items, as a loader that needs one column:
        // the others are checked alike but their values are not compared.
        const std::uint32_t masks[] = {velmora::kAllRowItems, 0b010, 0b101};
        table.convertItems = masks[(s / 6) % 3];
        // A row a call held, as a loader of row detail reads, short rows
        // told as runs every other time: the same lines made from the run.
        long long runOffsets[1];
        std::uint8_t runForms[2];
        velmora::ToldRunRows run{runOffsets, runForms, 0, 0};
        if (capacity == 1 && size == 3 && table.lines != nullptr && table.convertItems == velmora::kAllRowItems) {
          table.rowsHeld = true;
          if ((s / 18) % 2 == 0) table.run = &run;
        }
        const std::size_t read = reader.readRows(table);
        if (run.rows != 0) {
          if (run.rows != read) out += "run of another count\n";
          lines[0] = velmora::toldRunLines(run, 0);
        }
        ended = reader.tableEnded();
        if (!ended && read != capacity) out += "short table\n";
        for (std::size_t r = 0; r < read; ++r) {
          for (int i = 0; i < size; ++i) {
            if (((table.convertItems >> i) & 1) == 0) rows[r * static_cast<std::size_t>(size) + static_cast<std::size_t>(i)] = kUnset;
          }
        }
        for (std::size_t r = 0; r < capacity; ++r) {
          for (int i = 0; i < size; ++i) out += std::to_string(rows[r * static_cast<std::size_t>(size) + static_cast<std::size_t>(i)]) + " ";
          if (table.lines != nullptr && r < read) {
            const velmora::RowLines& seen = lines[r];
            out += "lines " + std::to_string(seen.first) + "-" + std::to_string(seen.last) + " held " +
                   std::to_string(seen.valuesHeld) + " ignored " + std::to_string(seen.ignored) +
                   (seen.endedBySlash ? " slash" : "") + " at " + std::to_string(seen.offset) + " record '" +
                   std::string(reader.bufferedRecord(seen.offset)) + "'";
            // What a read told of the record on its way is what a description
            // of its bytes says (the general rules tell nothing, so a
            // difference shows as a fast read's line alone).
            const std::string_view record = reader.bufferedRecord(seen.offset);
            velmora::WrittenValue second;
            if ((seen.told & velmora::RowLines::kToldSecondForm) != 0 &&
                (!velmora::writtenItem(record, 2, second) || second.decimals() != seen.secondDecimals ||
                 second.significantDigits != seen.secondSignificant)) {
              out += " second value told otherwise";
            }
            if ((seen.told & velmora::RowLines::kToldShortOneLine) != 0 &&
                ((seen.told & velmora::RowLines::kToldSecondForm) == 0 || seen.first != seen.last ||
                 seen.offset < 0 || seen.endedBySlash || seen.record != velmora::RowRecord::Short)) {
              out += " short line told otherwise";
            }
            const bool usual = (seen.told & velmora::RowLines::kToldUsualExponents) != 0;
            for (std::size_t i = 1; usual && i < record.size(); ++i) {
              const bool mark = record[i] == '+' || record[i] == '-' || record[i] == ',' || record[i] == ';';
              const bool after = record[i - 1] == '.' || std::isdigit(static_cast<unsigned char>(record[i - 1]));
              if (mark && after) {
                out += " exponents told otherwise";
                break;
              }
            }
          }
          out += "\n";
        }
        std::copy(rows + (read == 0 ? 0 : (read - 1) * static_cast<std::size_t>(size)),
                  rows + (read == 0 ? 0 : read * static_cast<std::size_t>(size)), values);
      } else if (size == 3 && s % 2 == 0) {
        // As a row loop reads: three items known where the call is compiled.
        const Item row[] = {velmora::NumberItem{&values[0]}, velmora::NumberItem{&values[1]},
                            velmora::NumberItem{&values[2]}};
        ended = reader.readOrEnd(row, statement) == velmora::ReadStatus::EndOfFile;
      } else {
        ended = reader.readOrEnd(items, statement) == velmora::ReadStatus::EndOfFile;
      }
      char text[320];
      std::snprintf(text, sizeof text, "%a %a %a %a %a %a %a %a line %lld-%lld%s%s\n", values[0], values[1], values[2],
                    values[3], values[4], values[5], values[6], values[7], reader.statementLine(),
                    reader.statementEndLine(), reader.endedBySlash() ? " slash" : "", ended ? " EOF" : "");
      out += text;
      if (ended) break;
    }
    reader.close(3);
  } catch (const Stopped& stop) {
    out += stop.text;
  }
  return out;
}

// The file read by the general rules alone, then with the faster paths on
// every form of the block classifier the processor runs: `fast` is what they
// all read, or names the first form that read otherwise.
struct BothWays {
  std::string general;
  std::string fast;
};
BothWays readBothWays(const std::string& path, const std::vector<int>& plan) {
  velmora::detail::fastPathsEnabled = false;
  BothWays read{readAll(path, plan), {}};
  velmora::detail::fastPathsEnabled = true;
  const velmora::detail::BlockPath chosen = velmora::detail::activeBlockPath();
  bool first = true;
  for (velmora::detail::BlockPath form : velmora::detail::kBlockPaths) {
    if (!velmora::detail::forceBlockPath(form)) continue;
    const std::string fast = readAll(path, plan);
    if (first) {
      read.fast = fast;
      first = false;
    } else if (fast != read.fast) {
      read.fast = std::string("the ") + velmora::detail::blockPathName(form) + " form reads otherwise:\n" + fast;
      break;
    }
  }
  velmora::detail::forceBlockPath(chosen);
  return read;
}

class FastAgainstGeneral : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-fast-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    previous_ = velmora::setStopHandler(throwStop);
    velmora::detail::systemCalls = {pieceRead, ::close};
  }
  void TearDown() override {
    velmora::detail::systemCalls = {::read, ::close};
    velmora::detail::fastPathsEnabled = true;
    velmora::setStopHandler(previous_);
    fs::remove_all(dir_);
  }
  std::string dir_;
  velmora::StopHandler previous_ = nullptr;
};

TEST_F(FastAgainstGeneral, SameValuesLinesAndDiagnostics) {
  std::mt19937_64 random(20261208);
  const std::vector<std::vector<int>> plans = {{3}, {3, 3, 3, 2}, {1, 4, 3}, {-3, 3}, {2}};
  const std::size_t pieces[] = {0, 1, 2, 3, 7, 13, 64, 4096};
  std::string path = dir_ + "/rows";
  int stops = 0;
  int compared = 0;
  for (int round = 0; round < 600; ++round) {
    std::string content = randomFile(random);
    std::ofstream(path, std::ios::binary) << content;
    const std::vector<int>& plan = plans[random() % plans.size()];
    readPiece = pieces[random() % 8];
    const auto [general, fast] = readBothWays(path, plan);
    ASSERT_EQ(fast, general) << "round " << round << ", piece " << readPiece << ", file:\n" << content;
    stops += general.find("error:") != std::string::npos ? 1 : 0;
    compared += static_cast<int>(std::count(general.begin(), general.end(), '\n'));
  }
  // The files must reach both endings and many statements.
  EXPECT_GT(stops, 50);
  EXPECT_LT(stops, 550);
  EXPECT_GT(compared, 20000);
}

TEST_F(FastAgainstGeneral, ShortRecords) {
  std::mt19937_64 random(1208);
  const std::vector<std::vector<int>> plans = {{3}, {3, 3, 2}, {2, 4}, {1}, {4}, {8}};
  const std::size_t pieces[] = {0, 0, 5, 31, 33, 4096};
  std::string path = dir_ + "/short";
  int compared = 0;
  for (int round = 0; round < 400; ++round) {
    const std::vector<int>& plan = plans[random() % plans.size()];
    std::string content = randomShortFile(random, plan[0]);
    std::ofstream(path, std::ios::binary) << content;
    readPiece = pieces[random() % 6];
    const auto [general, fast] = readBothWays(path, plan);
    ASSERT_EQ(fast, general) << "round " << round << ", piece " << readPiece << ", file:\n" << content;
    compared += static_cast<int>(std::count(general.begin(), general.end(), '\n'));
  }
  EXPECT_GT(compared, 10000);
}

// Each record on the edge of what the read of a short record takes, read by
// statements of 1 to 8 items after records that read takes (of as many
// values as the statement has items; for an even number of items every
// second one has one more, which is discarded), so that it is the one to
// decide: after two, by a statement; after ten, by a table that keeps the
// second item alone; after sixteen, by one that keeps the first and third,
// in a run of three rows; after twenty-five (of three values), by a table
// that keeps every item with the rows' lines; after forty-nine, by one whose
// rows are told as a run.
TEST_F(FastAgainstGeneral, EdgesOfShortRecords) {
  const char* records[] = {
      "3.723. .85 639",  "1 2 3.",          ". 1 2",           "- 1 2",           "-. 1 2",
      "1-2 3 4",         "--1 2 3",         "+1 2 3",          "1 -2- 3",         "12345678 1 2",
      "123456789 1 2",   "1234.5678 1 2",   "-12345678 -1234.567 .1234567",       "00000000 -0 -.0",
      "1 2 3 4",         "1 2",             "   ",             "1e1 2 3",         "1 2 3\r",
      "1\t2 3",          "1 2 3 \t",        "1,2 3",           "1 2 3/",          "1 2*3 4",
      "1234567 1234567 1234567 1234567", "12345678 1234567 1234567 123456", "  1234567 1234567 1234567 123",
      "1234567 1234567 1234567 12345678", "-.5 5. -5.",      "0.00000001 -99999999 .00000000",
      "123456789012345 1234567890123", "1234567890123456 1 2", "-1.2345678901234 -123456789.5",
      "12345678.1234567 1.5 2",  "123456789.1234567 1 2", "1 2.3.4 5",       "1 2 3..",         "1 . 2",
      "1 2 -.",          "1 2 -",           "1 -. 3",          "1 2 .5.",         "-0 -0. -.0",
      "0000000000000000000001 1 2", "1 2 0000000000000000000000003", "1 2 3 4.5.6",    "1 2 3 - .",
      "1 0.0050 3",      "1 -000.000 3",    "1 -.010 3",       "1 0 3",           "1 000120 3",
      "1 -12.50 3 4",    "1.5 100. 3",      "123456789012 -0.00120 3", "1 2.000000000000001 3",
      "1.00000000000001 -0.5 12345.678", "99999999999999.9 1 -.9", "-.123456789012345 1 99999.99999",
      "10 2.5 -300.125", "1.5 25 -3.",     ".25 -4 5.5",      "-7 12 .5",        "1.5 2.25 3.125 4",
      "1 00 3",          "-5 -0000 7",      "1 -.000 3",       "1 0009. 3",       "1 000000000000000 2",
      "1 100000000000000 2", "1 2 1234567890123456", "-1 -1234567.1234567 -2", "1.234567890123456 -2 3",
      "-1 -.5 1234567890123456", "-0.5 -1 -0", "1 -2.5 -.5 -4",
      "1 2 123456789.1234567", "-1 -123456789.1234567 2", "1 2 -99999999999999.99",
      // Every choice of signs of three values, fifteen digits in each place,
      // a point that is a later value's, and values of sixteen bytes.
      "-1.5 2 3",        "1 -2.5 3",        "1 2 -3.5",        "-1 -2 3.5",       "-1.5 2 -3",
      "1.5 -2 -3",       "-1 -2.5 -3",      "-0 -0.0 .0",      "1 123456789012345 2", "1 2 -123456789012345",
      "12 345 6.75",     "12345 6 7.5",     "123 4 5 6.5",     "1 123456789012345. 3", "-123456789.012345 1 2",
      "1 2 1234567890123456.", "1 1234567890.12345 -.5", "1 -123456789012345. 3",
      // Values parted by tabs and commas, up to 64 bytes.
      "1,2,3",           "1, 2, 3",         ",1 2 3",          "1,,2 3",          "1 2 3,",
      "1 2,3,",          "1\t2\t3",         "\t1\t2\t3\t",     "1 ,\t2 , 3",      "1,2\t,3",
      "-1.5,\t-2.25,3",   "1 2;3",           "1,2 3\r",         "1\t, ,2 3",        "1,2,3,,",
      "12345.678901234\t12345.678901234\t12345.678901234\t12345.6789012",
      "12345.678901234\t12345.678901234\t12345.678901234\t12345.67890123",
      "12345.678901234,12345.678901234,12345.678901234,12345.678901234",
      "-1,-2,-3,-4,-5,-6,-7,-8,-9,-10,-11,-12,-13,-14,-15,-16,-17,-18",
      "1\t1234567890123456\t3",  "1\t-.\t3",        "1\t2..5\t3",       "1,-,3",           "1\t2-\t3"};
  std::string path = dir_ + "/edge";
  readPiece = 0;
  for (const char* record : records) {
    for (int items = 1; items <= 8; ++items) {
      for (int leadIns : {2, 10, 16, 25, 49}) {
        const std::vector<int> plan = {items};
        std::string leadIn;
        for (int r = 0; r < leadIns; ++r) {
          for (int v = 0; v < items + (r % 2 == 1 && items % 2 == 0 ? 1 : 0); ++v) leadIn += " " + std::to_string(v);
          leadIn += "\n";
        }
        std::ofstream(path, std::ios::binary) << leadIn << record << "\n 7 8 9\n 7 8 9\n";
        const auto [general, fast] = readBothWays(path, plan);
        EXPECT_EQ(fast, general) << "record [" << record << "], " << plan[0] << " items, after " << leadIns;
      }
    }
  }
}

// Values on the edge of what the block read tells a number from its masks
// alone, in every column, each met first where it is only checked (the
// tables of readAll keep some columns only): the same as by the general
// rules on every form.
TEST_F(FastAgainstGeneral, EdgesOfValuesToldByMasks) {
  const char* values[] = {
      "1.5+3",    "1.5-3",    "1e5",       "1d5",       "1D+05",    "-1.e-5",   ".5",        "5.",
      "+.5e+3",   "-.5",      ".",         "-",         "+",         "1e",       "1e+",       "e5",
      "1..2",     "1.2.3",    "1e5.3",     "1e+-3",     "+-1",       "--1",      "1.5ee3",    "1e12345",
      "1e123456", "1e99999",  "1e100000",  "1e000005",  "Inf",       "-nan",     "0x10",      "1.5q",
      "12345678901234567890123", "1.2345678901234567890e-300", "9.9e+307", "4.9e-324", "1.5*2", "2*1.5",
      "00000000000000000000000000000000000000000000000000000000000001.5"};
  const char* separators[] = {" ", "  ", "\t", ",", " , ", ";"};
  std::string path = dir_ + "/edge-masks";
  readPiece = 0;
  for (const char* value : values) {
    for (int column = 0; column < 3; ++column) {
      for (const char* separator : separators) {
        // readAll's first table that keeps column 2 alone reads rows 8 to
        // 10, its first that keeps columns 1 and 3 rows 16 and 17: the value
        // is met there first, only checked, and then converted.
        const int firstOdd = column == 1 ? 16 : 8;
        std::string content;
        for (int r = 0; r < 20; ++r) {
          for (int v = 0; v < 3; ++v) {
            content += v > 0 ? separator : "  ";
            content += v == column && r >= firstOdd ? value : "-1.25e+05";
          }
          content += "\n";
        }
        std::ofstream(path, std::ios::binary) << content;
        const auto [general, fast] = readBothWays(path, {3});
        EXPECT_EQ(fast, general) << "value [" << value << "] in column " << column + 1 << ", separator ["
                                       << separator << "]";
      }
    }
  }
  // Records whose line feed falls on either side of a block's end (the block
  // read takes only a record that lies in one), made long by the third
  // value's digits or by blanks after it, read whole and in pieces that put
  // the buffer's end inside the block.
  for (std::size_t length = 58; length <= 70; ++length) {
    for (bool blanks : {false, true}) {
      for (std::size_t piece : {0, 61, 64, 66}) {
        std::string content;
        for (int r = 0; r < 12; ++r) {
          std::string record = "  1.5 , -2.25e+3  3.";
          record += std::string(length - record.size() - 1, blanks ? ' ' : static_cast<char>('1' + r % 9));
          content += (blanks ? record.insert(20, "7") : record + "7") + "\n";
        }
        std::ofstream(path, std::ios::binary) << content;
        readPiece = piece;
        const auto [general, fast] = readBothWays(path, {3});
        EXPECT_EQ(fast, general) << "length " << length << (blanks ? ", blanks" : "") << ", piece " << piece;
      }
    }
  }
  readPiece = 0;
}

// Rows of every shape numerical programs write, with every separator and line
// end, in files read whole and in pieces (so that values and records fall
// across the end of the buffer), as statements and as tables: the same as by
// the general rules.
TEST_F(FastAgainstGeneral, RowShapesSeparatorsAndLineEnds) {
  struct Shape {
    const char* format;
    bool integer;
    double scale;
  };
  const Shape kShapes[] = {
      {"%25.16E", false, 1e3}, {"% .16e", false, 1e-7}, {"%9.4f", false, 99},  {"%4d", true, 999},
      {"%11.6f", false, 999},  {"%14.6E", false, 1e9},  {"%18.10f", false, 999}, {"%.10g", false, 1e12},
      {"%11d", true, 9e9},     {"%.6f", false, 1e3},    {"%.16E", false, 1e300}, {"%.3e", false, 1e-300},
      {"%26.17E", false, 1e5}, {"%24.15e", false, 1e-200}, {"%.1E", false, 1e-5},  {"%40.30e", false, 1e3},
      {"%25.16E", false, 0},   {"%25.16E", false, 1e-95}, {"%25.16E", false, 1e95}, {"%24.16E", false, 1e-3},
      {"%.5f", false, 1e-2},   {"%9.1f", false, 1},     {"%.9f", false, 1e-6},  {"%3d", true, 9},     {"%.2f", false, 1e-3}, {"%.2f", false, 1e-4},
      {"%25.16E", false, 1e99}, {"%.16E", false, 1e50}, {"%+.16E", false, 1e-98},
      {"%25.16E", false, 3},    {"%25.16E", false, 1e-20}, {"%25.16E", false, 1e9},
  };
  const char* const kSeparators[] = {" ", "  ", "\t", ",", ", ", " ; ", " , ", ";"};
  const char* const kLineEnds[] = {"\n", "\r\n"};
  const std::size_t kPieces[] = {0, 0, 1, 5, 13, 4096};
  std::mt19937_64 random(6);
  std::string path = dir_ + "/shape";
  int compared = 0;
  for (const Shape& shape : kShapes) {
    for (const char* separator : kSeparators) {
      for (const char* lineEnd : kLineEnds) {
        std::string content;
        for (int r = 0; r < 120; ++r) {
          for (int v = 0; v < 3; ++v) {
            double unit = static_cast<double>(random() >> 11) * 0x1.0p-53 * 2 - 1;
            char text[64];
            if (shape.integer) {
              std::snprintf(text, sizeof text, shape.format, static_cast<long long>(unit * shape.scale));
            } else {
              std::snprintf(text, sizeof text, shape.format, unit * shape.scale);
            }
            if (std::strcmp(shape.format, "%.16E") == 0 && (r & 1)) *std::strchr(text, 'E') = 'D';
            content += (v > 0 ? separator : "") + std::string(text);
          }
          content += lineEnd;
        }
        std::ofstream(path, std::ios::binary) << content;
        readPiece = kPieces[random() % 6];
        const auto [general, fast] = readBothWays(path, {3});
        ASSERT_EQ(fast, general) << shape.format << " [" << separator << "], piece " << readPiece;
        EXPECT_EQ(general.find("error:"), std::string::npos) << shape.format << " [" << separator << "]";
        compared += static_cast<int>(std::count(general.begin(), general.end(), '\n'));
      }
    }
  }
  EXPECT_GT(compared, 20000);
}

// A file far larger than the reader's buffer, read whole: nearly every record
// takes the one-pass read, and a few fall across the ends of the blocks.
TEST_F(FastAgainstGeneral, ManyBlocksOfOrdinaryRows) {
  std::mt19937_64 random(7);
  std::string content;
  while (content.size() < (std::size_t{5} << 20)) {
    for (int v = 0; v < 3; ++v) content += randomBlanks(random, false) + randomValue(random, false);
    content += random() % 50 == 0 ? "\r\n" : "\n";
  }
  std::string path = dir_ + "/big";
  std::ofstream(path, std::ios::binary) << content;
  readPiece = 0;
  const auto [general, fast] = readBothWays(path, {3});
  EXPECT_TRUE(fast == general);
  EXPECT_EQ(general.find("error:"), std::string::npos) << general.substr(0, 400);
}

// Tables read as a loader reads them (many rows a call, no lines), by the
// general rules alone and with the faster paths on every form: the rows'
// kept items, the table's end and any stop. Calls of 1 to 256 rows, or of
// `capacity` rows each.
std::string readTables(const std::string& path, std::uint32_t convert, std::size_t capacity = 0) {
  constexpr double kUnset = -777;
  std::string out;
  velmora::FreeFormatReader reader(14);
  std::vector<double> room(3 * std::max<std::size_t>(capacity, 256));
  try {
    reader.open(path, 1);
    reader.rewind(2);
    for (int call = 0; call < 100000; ++call) {
      double* rows = room.data();
      velmora::TableRead table;
      table.values = rows;
      table.statement = 100 + call % 7;
      table.convertItems = convert;
      table.capacity = capacity != 0 ? capacity : 1 + static_cast<std::size_t>(call * 97 % 256);
      std::fill(rows, rows + 3 * table.capacity, 0.0);
      const std::size_t read = reader.readRows(table);
      for (std::size_t r = 0; r < read; ++r) {
        for (int i = 0; i < 3; ++i) {
          char text[40];
          std::snprintf(text, sizeof text, "%a ", ((convert >> i) & 1) != 0 ? rows[3 * r + static_cast<std::size_t>(i)] : kUnset);
          out += text;
        }
        out += "\n";
      }
      out += "line " + std::to_string(reader.statementLine()) + "\n";
      if (reader.tableEnded()) break;
    }
    reader.close(3);
  } catch (const Stopped& stop) {
    out += stop.text;
  }
  return out;
}

// Rows written by one format are alike but for their digits and signs, so
// the reader reads them by the pattern of one before them: rows of such
// formats with a byte changed here and there (to any byte the grammar knows
// and a few it does not, digits next to bytes 0x80 to 0xFF among them), a
// byte put in or taken out, a sign flipped, a blank in a sign's place, a
// value the fast conversion cannot decide: the same values, lines and
// diagnostics as by the general rules, on every form, kept items one or all.
TEST_F(FastAgainstGeneral, RowsReadByThePatternOfOneBefore) {
  struct Format {
    const char* format;
    bool positive;  // values all positive, so a single blank after a digit parts them
    double largest = 9.5;  // fields padded to a width hold values of every count of digits up to it
  };
  const Format kFormats[] = {{"%25.16E", false}, {"% .16e", false}, {"%14.6E", false},   {"%.6e", false},
                             {"%12.4f", false},  {"%+.16E", false}, {"%.18f", false},    {"%.6e", true},
                             {"%.5f", true},     {"%11.6f", false, 999.0}, {"%18.10f", false, 99999.0},
                             {"%11.0f", false, 9.9e9}, {"%9.3f", true, 99999.0},
                             {"%20.4f", false, 99999.0}, {"%15.0f", false, 9.9e13},
                             {"%18.10f", false, 9.9e6}, {"%19.12f", false, 99999.0},
                             {"%.10g", false, 9.9e-3}, {"%.10g", false, 9.9e13},
                             // Exponents to 99 either way, every value zero (a first
                             // digit 0, and minus zero), values with no sign's place.
                             {"%25.16E", false, 9.9e99}, {"%25.16E", false, 9.9e-94},
                             {"%25.16E", false, 0.0}, {"%.16E", true},
                             // Exponents in the forties up and the sixties down: tens the rows
                             // above leave out.
                             {"%25.16E", false, 9.9e47}, {"%25.16E", false, 9.9e-62}};
  const char* const kSeparators[] = {"  ", " ", "\t", ", "};
  const char kBytes[] = "0123456789 -+.eEdD,;/*\t\r\n'\"x\x80\xb9\xff";
  std::mt19937_64 random(33);
  std::string path = dir_ + "/pattern";
  int compared = 0;
  int stops = 0;
  int tables = 0;
  for (const auto& [format, positive, largest] : kFormats) {
    for (const char* separator : kSeparators) {
      for (int perMille : {0, 1, 10, 150}) {
        std::string content;
        for (int r = 0; r < 1500; ++r) {
          std::string record;
          for (int v = 0; v < 3; ++v) {
            char text[64];
            const double unit = static_cast<double>(random() >> 11) * 0x1.0p-53 * (positive ? 0.9 : 2) - (positive ? -0.1 : 1);
            // Magnitudes of every count of digits up to the largest's.
            const double scale = std::pow(10.0, -static_cast<double>(random() % 6)) * largest;
            const double value = r % 97 == 5 && v == 1 ? 9007199254740993.0 : unit * (largest == 9.5 ? 9.5 : scale);  // a halfway case
            std::snprintf(text, sizeof text, format, value);
            record += (v > 0 ? separator : "") + std::string(text);
          }
          if (r % 97 == 5) {
            // 2^53 + 1 written whole: the fast conversion cannot round it.
            const std::size_t at = record.find(separator);
            record = record.substr(0, at) + separator + "9.007199254740993e+15" + record.substr(record.find(separator, at + 1));
          }
          for (int c = 0; c < 2 && static_cast<int>(random() % 1000) < perMille; ++c) {
            const std::size_t at = random() % record.size();
            switch (random() % 6) {
              case 0:
                record.insert(at, 1, kBytes[random() % (sizeof kBytes - 1)]);
                break;
              case 1:
                record.erase(at, 1);
                break;
              case 2: {
                // A blank before a digit becomes a sign: a signed value, or
                // an exponent where the blank was all that ended a value.
                const std::size_t blank = record.find(' ', at);
                if (blank != std::string::npos && blank + 1 < record.size() && std::isdigit(static_cast<unsigned char>(record[blank + 1])) != 0) {
                  record[blank] = random() % 2 == 0 ? '-' : '+';
                }
                break;
              }
              case 3: {
                // A sign becomes a blank.
                const std::size_t sign = record.find_first_of("+-", at);
                if (sign != std::string::npos) record[sign] = ' ';
                break;
              }
              default:
                record[at] = kBytes[random() % (sizeof kBytes - 1)];
            }
          }
          content += record + (r % 211 == 7 ? "\r\n" : "\n");
        }
        std::ofstream(path, std::ios::binary) << content;
        for (std::uint32_t convert : {0b010u, velmora::kAllRowItems & 0b111u}) {
          readPiece = random() % 3 == 0 ? 1 + random() % 9000 : 0;
          velmora::detail::fastPathsEnabled = false;
          const std::string general = readTables(path, convert);
          velmora::detail::fastPathsEnabled = true;
          const velmora::detail::BlockPath chosen = velmora::detail::activeBlockPath();
          for (velmora::detail::BlockPath form : velmora::detail::kBlockPaths) {
            if (!velmora::detail::forceBlockPath(form)) continue;
            ASSERT_EQ(readTables(path, convert), general)
                << format << " [" << separator << "], " << perMille << " per mille changed, "
                << velmora::detail::blockPathName(form) << ", piece " << readPiece;
          }
          velmora::detail::forceBlockPath(chosen);
          compared += static_cast<int>(std::count(general.begin(), general.end(), '\n'));
          stops += general.find("error:") != std::string::npos ? 1 : 0;
          ++tables;
        }
      }
    }
  }
  // Records of values parted by tabs or commas, and of values with
  // exponents, among records the short read takes and among records of
  // varying widths, each where a run of them reaches it.
  const char* const kParted[] = {",1\t2\t3", "1,,2\t3", "1\t2,,3", "1\t,\t,2\t3", "1,2,3,", "1\t2\t3,,",
                                 "1,\t2\t,3", "\t1,2\t3\t", "1\t2;3", "1\t2\t3\r", "1,-,3", "1\t.\t3",
                                 "1\t2.5.\t3", "1\t1234567890123456\t3", "1\t123456789012345\t3",
                                 "12345.678901234\t12345.678901234\t12345.678901234\t12345.67890123",
                                 "12345.678901234,12345.678901234,12345.678901234,12345.678901234",
                                 // Values of varying widths with exponents, each kind of
                                 // exponent and sign, and exponents the general rules judge.
                                 " 2431494.19 7.014651783e-06 2.282517098", "1.5e3 2.5E-3 -3d+2",
                                 "1e5 2D5 3e-1", "1 +2.5e+0 +3", "1 5.e3 -.5E-3", "1 -2.5d-06 3",
                                 "1 2e 3", "1 2e+ 3", "1 1.5E+0x 3", "1 .e5 3", "1 -e5 3", "1 e5 3",
                                 "1 1e5e3 3", "1 1e5.3 3", "1 1e+-3 3", "1 1.5+3 3", "1 1.e 3",
                                 "1 2.5e-310 3", "1 1e400 3", "1e400 2 -1e-400", "1 1e12345 3",
                                 "1 123456789012345e5 3", "1 1234567890123456e-3 3", "1 2+ 3",
                                 "1 2e1-3 3", "1e 2 3", "1 2 3e", "1 2 3e+5x", "-1.5e-06\t2e+3,3",
                                 "1e5e3 2 3", "1 2 1e5e3", "1e5.3 2 3", "1 2 3e+-3", "1 2 .e5", "-e5 2 3",
                                 "1e+ 2 3", "1 2 1.e", "1.5d3 2 -e", "+.5e+3 -2 +3", "1 2 3E3E",
                                 "  123456.7891 -0.0001234567891 98765.43211 123456.78912345678",
                                 // Points and letters with no digit before them in their
                                 // value, values of fifteen digits with the point at
                                 // either end, records of 63 and 64 bytes, commas.
                                 "1 -.e5 3", "1 +.5e3 3", "1 -. 3", "1 2 -.", "1 . 3", "1 5.e-3 -.5", "1 -5.E+3 3",
                                 "1 +e5 3", "1 2 3 4e5", "1 2 3 4e", "1 2 3 .e5", "1 +.e5 3", "1 2.5e3 3\r",
                                 "1 1234567.89012345 3", "1 -1234567.89012345 3", "1 .123456789012345 3",
                                 "1 -123456789012345. 3", "1 1234567.890123456 3", "1 +123456789012345 3",
                                 " 1.234567891e-05 -2.345678912e+11 3.456789123e-07 -4.567891e-01",
                                 " 1.234567891e-05 -2.345678912e+11 3.456789123e-07 -4.5678912e-01",
                                 "1, -2.5e-3, 3", "1 ,2 3", ", 1 2 3", "1 ,, 2 3", "1 2 3,", "1 2, 3 , 4",
                                 "1 2.5\x7F 3", "1\x0C" "2 3",
                                 // A kept value with an exponent at the edges of the exact
                                 // powers of ten, of fifteen digits and sixteen, zeros with
                                 // a sign, the point at either end, three exponent digits.
                                 "1 1e22 3", "1 1e23 3", "1 1.5e-21 3", "1 1.5e-22 3", "1 -1e-22 3",
                                 "1 9.999999999e+22 3", "1 123456789012345e7 3", "1 1234567890.12345e-9 3",
                                 "1 900719925474099.3e1 3", "1 0.000000000000001e22 3", "1 -0e5 3",
                                 "1 -0.0E-0 3", "1 +.5e1 3", "1 7.e-2 3", "1 1e005 3", "1 3D+05 3",
                                 "1 -2.2250738585072014e-308 3", "1 4.9e-324 3", "1 1.7976931348623157e308 3",
                                 // Bytes that share a half (its first or last four bits)
                                 // with a blank, sign, point, digit, letter or line feed.
                                 "1 2\x0B 3", "1 2) 3", "1 2* 3", "1 2: 3", "1 2T5 3", "1 2t5 3", "1 2\xA0 3",
                                 "1\x89 2 3", "1 2\xC5 3", "1 2\x19 3", "1 2\x1A 3", "1 2\x04e 3", "1 2\x10 3",
                                 "1 2> 3", "1 2.5\xAE 3", "1 2/ 3", "1 2e\x8B" "5 3", "1 \xB5" "2 3", "1 2U 3",
                                 // Bytes that share their low four bits with a digit, a
                                 // point or a minus (or look up none of them) in each place,
                                 // and records of 30 to 32 bytes with long values.
                                 "1 =2 3",          "1 2> 3",          "1 ^2 3",          "1 2 3~",          "1 \x1e" "2 3",
                                 "1 2\r3 4",        "1 N 3",           "1 2 n",           "1 \xad" "2 3",     "1 2\xae 3",
                                 "\xb0 2 3",        "1 @ 3",           "p 2 3",           "1 2 :",           "1 ?5 3",
                                 "1 \x0e" "2 3",     "1 2} 3",          "1 M2 3",          "1 2Y 3",          "1 -\x1d" "2 3",
                                 "1 2.\x1e 3",       "1 \x7f 3",         "-1 -2 -3",        "1 2 3 4 5 6 7 8 9 10 11 12 13",
                                 "1 2 3 456789012345678901234567", "1 23456789012345678901234.5678 9", "1 2 34567890123456789012345678",
                                 "123456789012 -12345678.123456 7", "1 123456789012345678901234567 2",
                                 "- 2 3", "1 - 3", "1 2 -", "1 -- 3", "1 2- 3", "1 2 3-"};
  for (const char* parted : kParted) {
    // The last lead: records of varying widths, one value in three with an
    // exponent, which no record's pattern fits.
    for (const char* lead : {"1.5\t-2.25\t3.125\n", "1.5 -2.25 3.125\n", ""}) {
      std::string content;
      for (int r = 0; r < 70; ++r) {
        if (*lead != '\0') {
          content += lead;
          continue;
        }
        char record[96];
        std::snprintf(record, sizeof record, " %.10g %.10g %.10g\n", (r * 7919 % 100003 + 0.1234567891) / std::pow(10.0, r % 7),
                      -(r * 104729 % 1000003 + 0.987654321) / std::pow(10.0, r % 11),
                      (r * 31 + 7.512345678) * std::pow(10.0, r % 13 - 8));
        content += record;
      }
      content += std::string(parted) + "\n";
      for (int r = 0; r < 70; ++r) content += "-4.5,6.75,8\n";
      std::ofstream(path, std::ios::binary) << content;
      readPiece = 0;
      velmora::detail::fastPathsEnabled = false;
      const std::string general = readTables(path, 0b010u);
      velmora::detail::fastPathsEnabled = true;
      const velmora::detail::BlockPath chosen = velmora::detail::activeBlockPath();
      for (velmora::detail::BlockPath form : velmora::detail::kBlockPaths) {
        if (!velmora::detail::forceBlockPath(form)) continue;
        ASSERT_EQ(readTables(path, 0b010u), general) << "[" << parted << "] " << velmora::detail::blockPathName(form);
      }
      velmora::detail::forceBlockPath(chosen);
    }
  }
  // Each of those records among records of varying widths, at every place of
  // 64 rows after the first 1000, in tables of 2048 rows a call (by then the
  // pattern read waits long to look again, and the read of varying widths
  // reads on from the short read's tries), so that this read meets it
  // wherever its runs stand.
  std::vector<std::string> varying;
  for (int r = 0; r < 1100; ++r) {
    std::string record;
    for (int v = 0; v < 3; ++v) {
      // Magnitudes of 10^-6 to 10^6, either sign: widths vary from row to row.
      const double unit = static_cast<double>(random() >> 11) * 0x1.0p-53 * 9 + 1;
      char text[32];
      std::snprintf(text, sizeof text, " %.10g",
                    unit * std::pow(10.0, static_cast<double>(static_cast<int>(random() % 13) - 6)) * (random() % 2 == 0 ? 1 : -1));
      record += text;
    }
    varying.push_back(record + "\n");
  }
  for (const char* parted : kParted) {
    for (int at = 1000; at < 1064; ++at) {
      std::string content;
      for (int r = 0; r < static_cast<int>(varying.size()); ++r) content += r == at ? std::string(parted) + "\n" : varying[static_cast<std::size_t>(r)];
      std::ofstream(path, std::ios::binary) << content;
      velmora::detail::fastPathsEnabled = false;
      const std::string general = readTables(path, 0b010u, 2048);
      velmora::detail::fastPathsEnabled = true;
      const velmora::detail::BlockPath chosen = velmora::detail::activeBlockPath();
      for (velmora::detail::BlockPath form : velmora::detail::kBlockPaths) {
        if (!velmora::detail::forceBlockPath(form)) continue;
        ASSERT_EQ(readTables(path, 0b010u, 2048), general)
            << "[" << parted << "] at " << at << ", " << velmora::detail::blockPathName(form);
      }
      velmora::detail::forceBlockPath(chosen);
    }
  }
  // Both endings, and many rows read.
  EXPECT_GT(stops, 50);
  EXPECT_LT(stops, tables * 2 / 3);
  EXPECT_GT(compared, 100000);
}

}  // namespace
