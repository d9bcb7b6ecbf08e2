// A record's pattern: what it is learned from and what it declines, its
// sixteen- and thirty-two-byte checks against the byte-by-byte reference on
// random records at every alignment, and the values read from the places of
// their parts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "freeformat/blockclass.h"
#include "freeformat/number.h"
#include "freeformat/recordpattern.h"

namespace {

using velmora::detail::RecordPattern;

// A record in a buffer as the reader keeps one: the sentinel after it and
// zeros after that.
std::vector<char> inBuffer(const std::string& record) {
  std::vector<char> buffer(record.begin(), record.end());
  buffer.push_back('\n');  // the sentinel
  buffer.resize(buffer.size() + 160, '\0');
  return buffer;
}

// A record of `length` bytes, its line feed included: `core` after blanks.
std::string ofLength(const std::string& core, std::size_t length) {
  return std::string(length - core.size() - 1, ' ') + core + "\n";
}

bool learns(RecordPattern& pattern, const std::string& record, std::uint32_t convert = 0b010) {
  const std::vector<char> buffer = inBuffer(record);
  return velmora::detail::learnPattern(pattern, buffer.data(), buffer.data() + record.size(), 3, convert);
}

TEST(RecordPattern, LearnedFromRecordsTheOnePassReadTakesWholeOnly) {
  struct Case {
    const char* record;
    bool learned;
  };
  const Case kCases[] = {
      {"   2.4391935358922810E+03  -1.3424305519651447E-03  -8.2056868904215298E+04\n", true},
      {"1 2 3\n", true},
      {"1.5,2.5;3.5 \r\n", true},
      {" 1 , 2 ,3\n", true},
      {"1e5 2E-3 3d+07\n", true},
      {"1.5+3 2 3\n", true},
      {".5 5. -.5\n", true},
      {"1 2 1234567890123456789\n", true},  // 19 digits in a column only checked
      {"1 1234567890.123456789 3\n", true},  // 19 digits kept
      {"1 2 3 4\n", false},                  // a value after the last item
      {"1 2\n", false},                      // too few
      {"1 2 3/\n", false},                   // a slash ends it
      {",1 2 3\n", false},                   // a null value first
      {"1,,2 3\n", false},                   // a null value between
      {"1 2 3,\n", false},
      {"1 inf 3\n", false},                  // a word
      {"1 2e12345 3\n", false},              // an exponent of five digits
      {"1 12345678901.234567891 3\n", false},  // 20 digits kept
      {"1 2 '3'\n", false},
      {"1 2 3", false},                      // no line feed before the sentinel
      {"1 2x 3\n", false},
      {"1 2 3 \x80\n", false},
      {"   5.100000 -123.456789    0.000001\n", true},  // fields padded to a width
      {"          5         -12  1234567890\n", true},
      {"1      12345678901.2345678 3\n", true},  // too many digits to be padded: read as it is
  };
  for (const Case& c : kCases) {
    RecordPattern pattern{};
    EXPECT_EQ(learns(pattern, c.record), c.learned) << c.record;
    EXPECT_EQ(pattern.length != 0, c.learned) << c.record;
  }
  RecordPattern pattern{};
  EXPECT_FALSE(learns(pattern, std::string(130, ' ') + "1 2 3\n")) << "longer than a pattern";
  EXPECT_TRUE(learns(pattern, std::string(122, ' ') + "1 2 3\n")) << "128 bytes";
  EXPECT_FALSE(learns(pattern, ofLength("1.5E+00 -2.5E-01 3.5E+02", 129))) << "129 bytes";
  EXPECT_FALSE(learns(pattern, ofLength("1.5E+00 -2.5E-01 3.5E+02", 200))) << "200 bytes";
}

// Records made from a learned one by changing bytes to bytes of the
// grammar's classes and others, at random and then at every byte position in
// turn: the sixteen-byte check says what the bytes one at a time say, at
// every alignment of the record within 64 bytes. The records run from 6 to
// 128 bytes, ending at, before and after the ends of sixteen-byte steps.
TEST(RecordPattern, SixteenByteCheckAgreesWithTheBytesAtEveryAlignment) {
  const std::string kRecords[] = {
      "   2.4391935358922810E+03  -1.3424305519651447E-03  -8.2056868904215298E+04\n",
      "  1.234567E+00 -1.234567E-05  9.999999E+10\n",
      "1 2 3\n",
      "-1.5;+2.5, 3.5e+1\t\r\n",
      "  -12.3456    7.0001  100.0000\n",
      "     5.100000 -123.456789    0.000001\n",
      "          5         -12  1234567890\n",
      "-5.5,     12.25;  0.5\r\n",
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 32),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 33),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 63),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 64),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 65),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 96),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 127),
      ofLength("1.5E+00 -2.5E-01 3.5E+02", 128),
      ofLength("-1.2345678901234567E+00, 2.2345678901234567E-100; 3.0E+1000", 97),
      ofLength("123.25 -4.5 6", 16),
      ofLength("123.25 -4.5 6", 31),
      ofLength("123.25 -4.5 6", 65),  // padded places across a step's end
      ofLength("123.25 -4.5 6", 128),
      // Padded, checked thirty-two bytes a step where the processor can.
      ofLength("123.25 -4.5 6", 33),
      ofLength("123.25 -4.5 6", 48),
      ofLength("123.25 -4.5 6", 64),
      "      -9.000001      -12345.5                      12\n",
  };
  const char kBytes[] = "0123456789 -+.eEdD,;/*\t\r\n'\"x\x80\xb0\xff----    99";
  const char kChanges[] = "0 -+.E,/\n\x80";
  std::mt19937_64 random(1208);
  int fits = 0;
  int misfits = 0;
  int wideChecks = 0;
  const bool wideBefore = velmora::detail::wideReads;
  velmora::detail::wideReads = velmora::detail::blockPathSupported(velmora::detail::BlockPath::Avx2);
  for (const std::string& model : kRecords) {
    RecordPattern pattern{};
    ASSERT_TRUE(learns(pattern, model, 0b111)) << model;
    ASSERT_EQ(pattern.length, model.size()) << model;
    std::vector<char> buffer(256 + 160);
    auto checkEverywhere = [&](const std::string& record) {
      for (std::size_t offset = 0; offset < 64; ++offset) {
        std::fill(buffer.begin(), buffer.end(), static_cast<char>(random()));
        std::memcpy(buffer.data() + offset, record.data(), record.size());
        const char* p = buffer.data() + offset;
        const bool byBytes = velmora::detail::fitsPatternByBytes(pattern, p);
        ASSERT_EQ(velmora::detail::fitsPattern(pattern, p), byBytes) << model << "-> " << record << " at " << offset;
        bool wide = false;
        const bool widely = velmora::detail::fitsPatternWide(pattern, p, wide);
        if (wide) {
          ASSERT_EQ(widely, byBytes) << model << "-> " << record << " at " << offset << ", 32 bytes a step";
          ++wideChecks;
        }
        (byBytes ? fits : misfits) += 1;
      }
    };
    for (int round = 0; round < 100; ++round) {
      std::string record = model;
      for (char& c : record) {
        if (c >= '0' && c <= '9' && random() % 2 == 0) c = static_cast<char>('0' + random() % 10);
      }
      for (int changes = static_cast<int>(random() % 3); changes > 0; --changes) {
        record[random() % record.size()] = kBytes[random() % (sizeof kBytes - 1)];
      }
      checkEverywhere(record);
    }
    for (std::size_t at = 0; at < model.size(); ++at) {
      std::string record = model;
      record[at] = kChanges[random() % (sizeof kChanges - 1)];
      checkEverywhere(record);
    }
  }
  velmora::detail::wideReads = wideBefore;
  EXPECT_GT(fits, 10000);
  EXPECT_GT(misfits, 10000);
  if (velmora::detail::blockPathSupported(velmora::detail::BlockPath::Avx2)) {
    EXPECT_GT(wideChecks, 10000);
  }
}

// Fields padded to a width: a pattern learned from any record of them fits
// the records with every count of digits and blanks before the point, each
// value read as the number entry point reads it, and none whose padded
// places are not blanks, then perhaps a minus, then digits.
TEST(RecordPattern, PaddedFieldsFitWithEveryCountOfLeadingBlanks) {
  std::mt19937_64 random(11);
  int read = 0;
  int wideRead = 0;
  const bool wideBefore = velmora::detail::wideReads;
  const bool wideSupported = velmora::detail::blockPathSupported(velmora::detail::BlockPath::Avx2);
  for (int width = 2; width <= 21; ++width) {
    for (int fractionDigits : {0, 1, 3, 6, 10, 12}) {
      const int room = width - fractionDigits - (fractionDigits > 0 ? 1 : 0);  // places before the point
      if (room < 2 || room - 1 + fractionDigits > 19) continue;
      auto field = [&](int digits, bool negative) {
        std::string text = negative ? "-" : "";
        for (int i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
        if (fractionDigits > 0) text += '.';
        for (int i = 0; i < fractionDigits; ++i) text += static_cast<char>('0' + random() % 10);
        return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
      };
      const std::string model = " " + field(1, false) + " " + field(room - 1, true) + " " + field(1, true) + "\n";
      RecordPattern pattern{};
      ASSERT_TRUE(learns(pattern, model)) << model;
      // Each record read sixteen bytes a step, then thirty-two where the processor can.
      for (int digits = 1; digits <= 2 * room; ++digits) {
        velmora::detail::wideReads = digits > room && wideSupported;
        for (bool negative : {false, true}) {
          if ((digits - 1) % room + 1 + (negative ? 1 : 0) > room) continue;
          const std::string kept = field((digits - 1) % room + 1, negative);
          const std::string record = " " + field(room, false) + " " + kept + " " + field(1, true) + "\n";
          const std::vector<char> buffer = inBuffer(record);
          const char* p = buffer.data();
          bool wide = false;
          velmora::detail::fitsPatternWide(pattern, p, wide);
          wideRead += wide ? 1 : 0;
          double row[3] = {0, 0, 0};
          const velmora::detail::PatternRun run =
              velmora::detail::readPatternRows(pattern, p, buffer.data() + record.size(), row, 1);
          const bool exact = (digits - 1) % room + 1 + fractionDigits <= 19 && room + fractionDigits <= 19;
          if (!exact) continue;
          // More than fifteen digits may be a value the fast tiers cannot decide.
          ASSERT_FALSE(run.misfit) << model << record;
          if (run.rows == 0 && (digits - 1) % room + 1 + fractionDigits > 15) continue;
          ASSERT_EQ(run.rows, 1u) << model << record;
          double expected = 0;
          ASSERT_TRUE(velmora::detail::convertNumber(kept.substr(kept.find_first_not_of(' ')), expected));
          EXPECT_EQ(std::memcmp(&row[1], &expected, sizeof expected), 0) << record << row[1] << " " << expected;
          ++read;
        }
      }
      // What a padded place may not hold: a minus or a digit before a
      // blank, two minuses, a minus after a digit, a plus.
      const std::string kept = field(1, false);
      const std::size_t last = kept.size() - static_cast<std::size_t>(fractionDigits) - (fractionDigits > 0 ? 2 : 1);
      for (const char* cut : {"- ", "1 ", "--", "1-", "+"}) {
        if (last < std::strlen(cut)) continue;
        std::string changed = kept;
        changed.replace(last - std::strlen(cut), std::strlen(cut), cut);
        const std::string record = " " + field(1, false) + " " + changed + " " + field(1, true) + "\n";
        const std::vector<char> buffer = inBuffer(record);
        EXPECT_FALSE(velmora::detail::fitsPattern(pattern, buffer.data())) << model << record;
        EXPECT_FALSE(velmora::detail::fitsPatternByBytes(pattern, buffer.data())) << model << record;
      }
    }
  }
  velmora::detail::wideReads = wideBefore;
  EXPECT_GT(read, 500);
  if (wideSupported) {
    EXPECT_GT(wideRead, 200);
  }
}

// Values read by a pattern are the number entry point's: every form of the
// kept value's digits (0 to 19 of them on either side of the point), its
// exponent (none, one to four digits, signed or not) and its sign.
TEST(RecordPattern, ValuesFromThePlacesOfTheirPartsAreTheScannersOwn) {
  std::mt19937_64 random(33);
  int compared = 0;
  for (int integerDigits = 0; integerDigits <= 19; ++integerDigits) {
    for (int fractionDigits = 0; integerDigits + fractionDigits <= 19; ++fractionDigits) {
      if (integerDigits + fractionDigits == 0) continue;
      for (int exponentDigits = 0; exponentDigits <= 4; ++exponentDigits) {
        for (const char* sign : {" ", "-", "+"}) {
          std::string value = sign;
          for (int i = 0; i < integerDigits; ++i) value += static_cast<char>('0' + random() % 10);
          if (fractionDigits > 0 || random() % 2 == 0) value += '.';
          for (int i = 0; i < fractionDigits; ++i) value += static_cast<char>('0' + random() % 10);
          if (exponentDigits > 0) {
            value += "eEdD"[random() % 4];
            value += exponentDigits == 1 ? "" : random() % 2 == 0 ? "-" : "+";
            for (int i = 0; i < exponentDigits; ++i) value += static_cast<char>('0' + random() % (i == 0 ? 4 : 10));
          }
          const std::string record = "  1.5 " + value + "  -2\n";
          RecordPattern pattern{};
          ASSERT_TRUE(learns(pattern, record)) << record;
          const std::vector<char> buffer = inBuffer(record);
          const char* p = buffer.data();
          double row[3] = {0, 0, 0};
          const velmora::detail::PatternRun run =
              velmora::detail::readPatternRows(pattern, p, buffer.data() + record.size(), row, 1);
          double expected = 0;
          const char* first = record.c_str() + 6 + (value[0] == ' ' ? 1 : 0);
          ASSERT_TRUE(velmora::detail::convertNumber(std::string(first, value.size() - (value[0] == ' ' ? 1 : 0)),
                                                     expected));
          if (run.rows == 0) {
            // Only a value the fast tiers cannot decide is declined.
            EXPECT_FALSE(run.misfit) << record;
            continue;
          }
          EXPECT_EQ(std::memcmp(&row[1], &expected, sizeof expected), 0) << record << row[1] << " " << expected;
          EXPECT_EQ(row[0], 0.0) << "only the kept item is stored";
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 2500);
}

}  // namespace
