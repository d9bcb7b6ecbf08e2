// The report, as text for a reader and as one JSON object for a program.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "explain/report.h"
#include "companion/companion.h"
#include "explain/findings.h"

#include "comparison/comparison.h"

namespace velmora::explain {

using namespace velmora::companion;

namespace {

const char* const kRoles[2] = {"reference", "compared"};

// A stop's kind as the JSON report names it.
const char* failureName(Failure kind) {
  static constexpr const char* kNames[] = {"open",     "already-open", "end-of-file", "bad-number",
                                           "bad-text", "cannot-read",  "io",          "out-of-memory"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Failure::OutOfMemory) + 1);
  return kNames[static_cast<std::size_t>(kind)];
}

const char* layoutName(HeaderLayout layout) {
  switch (layout) {
    case HeaderLayout::Layout1:
      return "1";
    case HeaderLayout::Layout2:
      return "2";
    case HeaderLayout::Plain:
      return "plain";
  }
  return "plain";
}

// Bytes of a file (a name, a title, a code) as the companions show them.
std::string shown(std::string_view bytes) { return escaped(bytes, Escape::Display); }

std::string quoted(std::string_view bytes) {
  std::string out(1, '\'');
  out.append(shown(bytes));
  out.push_back('\'');
  return out;
}

// Writes to a FILE and remembers whether every write succeeded.
class Out {
 public:
  explicit Out(std::FILE* file) : file_(file) {}
  Out& operator<<(std::string_view text) {
    if (!text.empty() && !companion::writeWhole(file_, text)) ok_ = false;
    return *this;
  }
  Out& operator<<(std::size_t value) { return *this << std::to_string(value); }
  Out& operator<<(long long value) { return *this << std::to_string(value); }
  [[nodiscard]] bool finish() {
    if (std::fflush(file_) != 0) ok_ = false;
    return ok_ && std::ferror(file_) == 0;
  }

 private:
  std::FILE* file_;
  bool ok_ = true;
};

std::string lineOrNone(long long line) { return line > 0 ? std::to_string(line) : "-"; }

// The header numbers a load got as far as reading, in file units: first,
// second, third, rate, each read once a statement read into it.
struct HeaderNumbers {
  double value[4];
  bool read[4];
};
HeaderNumbers headerNumbers(const LoadRecord& r) {
  return {{r.fileUnits.first, r.fileUnits.second, r.fileUnits.third, r.fileUnits.rate},
          {r.headerNumberRead[0], r.headerNumberRead[1], r.headerNumberRead[2], r.headerNumberRead[3]}};
}
const char* const kHeaderNames[4] = {"first", "second", "third", "rate"};

// ---------------------------------------------------------------------------
// Text.

// What velmora does with a file that does not exist, where it stops there.
std::string missingText(const StopSeen& stop) {
  std::string text = "no: ";
  if (stop.linkTarget) {
    text += "a symbolic link to " + quoted(*stop.linkTarget) + ", which does not exist; ";
    text += stop.wouldCreate ? "velmora would create " + quoted(*stop.linkTarget) +
                                   " empty (through the link) and stop at statement "
                             : "velmora stops at statement ";
  } else {
    text += "file does not exist; ";
    text += stop.wouldCreate ? "velmora would create it empty and stop at statement "
                             : "velmora stops at statement ";
  }
  text += std::to_string(stop.statement);
  if (stop.wouldCreate) text += " (end of file)";
  return text;
}

// What the system says of a file that exists, or why it cannot tell.
std::string presenceText(const Presence& presence) {
  if (!presence.exists) {
    return std::string("cannot tell: ") + std::strerror(presence.error) + " (the system's answer)";
  }
  if (presence.directory) return "yes, a directory";
  if (presence.regular && presence.size == 0) return "yes, empty (0 bytes)";
  return "yes";
}

void writeFileText(Out& out, const FileFacts& file, int role, const Explanation& facts) {
  out << kRoles[role] << " file ";
  if (!file.named) {
    out << "(velmora stops before it has a name)\n";
    return;
  }
  out << quoted(file.name) << "\n";
  const LoadRecord& r = file.record;
  out << "  exists:                 ";
  if (file.presence.exists || file.presence.error != ENOENT) {
    out << presenceText(file.presence) << "\n";
  } else if (facts.stop && facts.stop->dataFile == role && !r.opened) {
    out << missingText(*facts.stop) << "\n";
  } else {
    out << "no\n";
  }
  if (!file.loadStarted) {
    out << "  not read:               velmora stops before this file\n";
    return;
  }
  if (!r.titleRead) return;
  const std::string_view titleValue(r.title, r.titleLength);
  out << "  layout:                 " << layoutName(r.layout);
  if (!r.code.fromValue) {
    // A blank stands in for the missing character: there is no code to show.
    out << ", no format code (" << titleNotStored(r) << titleNoun(r) << quoted(titleValue) << " is "
        << titleValue.size() << " characters long, shorter than " << r.code.position << "; line "
        << lineOrNone(r.titleLine) << ")\n";
  } else {
    out << ", format code " << quoted(std::string_view(&r.code.code, 1)) << " (" << titleNotStored(r)
        << "character " << r.code.position << " of " << titleNoun(r) << quoted(titleValue) << ", line "
        << lineOrNone(r.titleLine) << ")\n";
  }
  if (r.layout != HeaderLayout::Plain) {
    const HeaderNumbers header = headerNumbers(r);
    out << "  header (file units):    ";
    for (int i = 0; i < 4; ++i) {
      out << (i > 0 ? ", " : "") << kHeaderNames[i] << " "
          << (header.read[i] ? shortestText(header.value[i]) : "-");
    }
    out << "\n";
    if (r.headerRead) {
      out << "  rate label:             " << quoted(std::string_view(r.rateLabel, r.rateLabelLength))
          << ", line " << lineOrNone(r.rateLine) << "\n";
    }
  }
  if (!r.headerRead) return;
  out << "  table:                  ";
  if (r.rows > 0) {
    out << "lines " << r.firstLine(0) << " to " << r.firstLine(r.rows - 1) << ", ";
  }
  out << r.rows << (r.rows == 1 ? " row\n" : " rows\n");
  if (r.cutShortRowLine > 0) {
    out << "  cut-short final row:    line " << r.cutShortRowLine << ", dropped\n";
  }
  if (r.rowsPastLimit) {
    // Its label padded as the others are, to 24 characters.
    std::string label = "rows past " + groupedCount(kMaxRows) + ":";
    label.resize(std::max<std::size_t>(label.size() + 1, 24), ' ');
    out << "  " << label << "left unread\n";
  }
  if (r.slashRows > 0) out << "  rows given by a slash:  " << r.slashRows << "\n";
}

std::string valuesText(const double (&values)[3]) {
  return shortestText(values[0]) + ", " + shortestText(values[1]) + ", " + shortestText(values[2]);
}

std::string linesText(long long first, long long last) {
  return last > first ? "lines " + std::to_string(first) + "-" + std::to_string(last)
                      : "line " + std::to_string(first);
}


// The digits (digitBytes) of listed rows' first lines, made from those of
// the rows' numbers: in most tables a row's line is its number and a count
// fixed for the table, and the line's digits are the number's with that
// count's added, digit by digit.
class LineDigits {
 public:
  // Whether a row's number and its line are such that of() applies.
  static bool fits(std::uint64_t number, long long line) {
    return number < kEightDigits && line > 0 && line < static_cast<long long>(kEightDigits);
  }
  // The digits of `line`, `digits` being those of `number` (the two as
  // fits() asks).
  std::uint64_t of(std::uint64_t digits, std::uint64_t number, std::uint64_t line) {
    const std::uint64_t apart = line - number;
    if (apart != apart_) {
      apart_ = apart;
      addend_ = apart < kEightDigits ? __builtin_bswap64(digitBytes(apart)) + kCarryBias : 0;
    }
    return apart < kEightDigits ? sum(digits, addend_) : digitBytes(line);
  }

 private:
  static constexpr std::uint64_t kEightDigits = 100000000;
  static constexpr std::uint64_t kCarryBias = 0xF6F6F6F6F6F6F6F6;
  // The digits of the sum of two numbers whose sum is below 10^8:
  // `digits` those of the one, `addend` those of the other in the reverse
  // order with kCarryBias added. In the reverse order the last digit is
  // the lowest byte, so a carry goes where a decimal carry goes: a byte's
  // sum with the bias (246) passes 255, and carries, exactly where the two
  // digits and the carry in make 10 or more, leaving their sum less 10; a
  // byte that does not carry keeps the bias, and its top bit, which says
  // to take the bias away.
  static std::uint64_t sum(std::uint64_t digits, std::uint64_t addend) {
    const std::uint64_t total = __builtin_bswap64(digits) + addend;
    const std::uint64_t kept = (total >> 7 & 0x0101010101010101) * 0xF6;
    return __builtin_bswap64(total - kept);
  }
  // The last count between a row's number and its line, and its digits as
  // sum() adds them (0 where it is 10^8 or more).
  std::uint64_t apart_ = ~std::uint64_t{0};
  std::uint64_t addend_ = 0;
};

// Two values' shortest texts, made in `a` and `b` (each with its text, the
// value's bits and the text's length): side by side where both are short
// decimals. A table's values are mostly of one kind, so after a pair that
// is not, the next kApart pairs are made each alone by `one`, without the
// test.
class PairsOfTexts {
 public:
  template <class Text, class One>
  void make(Text& a, double first, Text& b, double second, One one) {
    if (apart_ == 0) {
      const ShortestPair ends = writeShortDecimals(first, a.text, second, b.text);
      if (ends.first != nullptr) {
        std::memcpy(&a.bits, &first, sizeof first);
        std::memcpy(&b.bits, &second, sizeof second);
        a.length = static_cast<std::size_t>(ends.first - a.text);
        b.length = static_cast<std::size_t>(ends.second - b.text);
        return;
      }
      apart_ = kApart;
    } else {
      --apart_;
    }
    one(a, first);
    one(b, second);
  }

 private:
  static constexpr unsigned kApart = 64;
  unsigned apart_ = 0;  // pairs to make each alone before trying two at a time again
};

// The lines of listed rows, written with no string made for each cell, so
// a list of a million rows costs little more than its bytes: the rows are
// made in a buffer of their own, handed to the stream in pieces of
// kPiece bytes or more, which it writes as they are rather than copied
// into its own buffer.
class RowText {
 public:
  explicit RowText(Out& out)
      : out_(out), rows_(new char[kPiece + 2 * kRowRoom]), end_(rows_.get()), full_(rows_.get() + kPiece) {
    // Every kept difference stands for a value from the start (zero's,
    // until replaced), so that looking one up asks only for its bits. The
    // square starts as bits no square has (a signalling NaN: a product is
    // never one), so the first row makes its square's text and its share's.
    made(differences_[0], 0.0);
    made(differences_[1], 0.0);
    square_.bits = kNoSquare;
  }

  // Its cells, as kRowHeading names them; then under it, its record in each
  // file as it stands and the three values the statement took from it, so
  // a swapped column or a separator inside a number shows at a glance.
  void add(const TopRows::Listed& row, double share, std::string_view referenceRecord,
           std::string_view comparedRecord) {
    if (end_ >= full_) flush();
    // Each value's text made once, for its cell and after its record; a
    // value alike in both files (columns 1 and 3, mostly) once for both.
    const Made* shown[2][3];
    if (row.hasReference) {
      // Two at a time: the reference's first two, then its third with the
      // compared second where that differs (most rows), else alone.
      const auto one = [](Made& into, double value) { made(into, value); };
      pairs_.make(values_[0][0], row.values[0][0], values_[0][1], row.values[0][1], one);
      shown[0][0] = &values_[0][0];
      shown[0][1] = &values_[0][1];
      shown[0][2] = &values_[0][2];
      if (bitsOf(row.values[1][1]) != values_[0][1].bits) {
        pairs_.make(values_[0][2], row.values[0][2], values_[1][1], row.values[1][1], one);
        shown[1][1] = &values_[1][1];
      } else {
        made(values_[0][2], row.values[0][2]);
        shown[1][1] = shown[0][1];
      }
      shown[1][0] = alike(shown[0][0], values_[1][0], row.values[1][0]);
      shown[1][2] = alike(shown[0][2], values_[1][2], row.values[1][2]);
    } else {
      shown[0][0] = shown[0][1] = shown[0][2] = &dash_;
      shown[1][0] = &made(values_[1][0], row.values[1][0]);
      shown[1][1] = &made(values_[1][1], row.values[1][1]);
      shown[1][2] = &made(values_[1][2], row.values[1][2]);
    }
    // The file without the row has place 0: its lines are 0.
    const long long first[2] = {LoadRecord::firstLineOf(row.places[0]), LoadRecord::firstLineOf(row.places[1])};
    const long long last[2] = {LoadRecord::lastLineOf(row.places[0]), LoadRecord::lastLineOf(row.places[1])};
    // The row's number, and each first line's text made once, for its cell
    // and its record. In most tables a row's line is its number and a
    // count fixed for the table, so the line's digits are the number's
    // with that count's added, digit by digit.
    // The number's own text is made only where its cell is not made
    // straight from its digits.
    const std::uint64_t number = std::uint64_t{row.index} + 1;
    const bool counted = LineDigits::fits(number, first[0]);
    std::uint64_t digits = 0;
    if (counted) {
      digits = digitBytes(number);
      shownDigits(lines_[0], lineDigits_.of(digits, number, static_cast<std::uint64_t>(first[0])));
    } else {
      written(number_, static_cast<long long>(number));
      written(lines_[0], first[0]);
    }
    const Made* lines[2] = {&lines_[0], &lines_[0]};
    if (first[1] != first[0]) {
      written(lines_[1], first[1]);
      lines[1] = &lines_[1];
    }
    // The cells' texts: "-" for the line and the value the reference has not.
    const Made& line0 = first[0] > 0 ? *lines[0] : dash_;
    const Made& line1 = first[1] > 0 ? *lines[1] : dash_;
    const Made& reference = row.hasReference ? *shown[0][1] : dash_;
    const Made& compared = *shown[1][1];
    // The list is in the order of the squares, so a row's square is most
    // often the row before's, and so is its share (the square over the
    // total): both texts are kept until the square changes.
    if (bitsOf(row.square) != square_.bits) {
      made(square_, row.square);
      squareShare_ = &shareMade(share);
    }
    const Made& difference = differenceMade(row.scaledDifference);
    const Made& square = square_;
    const Made& shareText = *squareShare_;
    // The row's text is made at `p`, kept apart from the object so that it
    // stays in a register.
    char* p = end_;
    // A value's shortest text is never longer than its cell: at most a
    // sign, seventeen digits, a point and "e-308", 24 characters.
    // (A counted number and its line have at most eight digits.)
    if ((counted || (number_.length <= 9 && line0.length <= 10)) && line1.length <= 10 && shareText.length <= 10) {
      // Every text fits its cell, so each cell has its place: its blanks
      // and its text are one copy of the text's last bytes, the blanks
      // before it included. The cells are made from the last to the first,
      // each copy of 16 or 32 bytes ending where its cell ends, so that what
      // it writes before its cell the cell before writes over.
      ending<16>(p + kShareEnd, shareText);
      ending<32>(p + kSquareEnd, square);
      ending<32>(p + kDifferenceEnd, difference);
      ending<32>(p + kComparedEnd, compared);
      ending<32>(p + kReferenceEnd, reference);
      ending<16>(p + kComparedLineEnd, line1);
      ending<16>(p + kReferenceLineEnd, line0);
      if (counted) {
        numberCell(p, digits);
      } else {
        std::memcpy(p, number_.text + number_.length - 9, 9);
      }
      p += kShareEnd;
    } else {
      if (counted) shownDigits(number_, digits);
      p = right(p, number_, 9);
      p = cell(p, line0, 10);
      p = cell(p, line1, 10);
      p = cell(p, reference, kCellWidth);
      p = cell(p, compared, kCellWidth);
      p = cell(p, difference, kCellWidth);
      p = cell(p, square, kCellWidth);
      p = cell(p, shareText, 10);
    }
    if (row.hasReference) {
      p = record(p, 0, *lines[0], first[0], last[0], referenceRecord, *shown[0][0], *shown[0][1], *shown[0][2]);
    } else {
      p = put(p, "\n            reference none: the reference file has no such row");
    }
    p = record(p, 1, *lines[1], first[1], last[1], comparedRecord, *shown[1][0], *shown[1][1], *shown[1][2]);
    *p++ = '\n';
    end_ = p;
  }

  // Hands the rows made and not yet written to the stream.
  void flush() {
    out_ << std::string_view(rows_.get(), static_cast<std::size_t>(end_ - rows_.get()));
    end_ = rows_.get();
  }

 private:
  // A text made once and shown again: kept with the bits of the value it
  // shows, in a buffer of kShortestRoom characters.
  // Blanks stand before the text, so that the text's last bytes with the
  // blanks before it are a cell.
  struct Made {
    Made() { std::memset(lead, ' ', sizeof lead); }
    Made(std::string_view shown) : Made() {
      length = std::min(shown.size(), sizeof text);
      std::memcpy(text, shown.data(), length);
    }
    char lead[32];
    char text[kShortestRoom] = {};
    std::uint64_t bits = 0;
    std::size_t length = 0;
  };
  // The writes below do not ask for room each: a row's room is kept at
  // its start, kRowRoom bytes past kPiece, more than its cells and lines can take (eight
  // cells of at most 1 + kCellWidth + kShortestRoom bytes written, two lines
  // of at most 32 + 2 * kShortestRoom + 1 + kShownRecordWidth + 8 + 3 *
  // (2 + kShortestRoom) bytes, and a line feed), a record that is not shown
  // as it stands going to the stream directly).
  static constexpr std::size_t kRowRoom = 2048;
  static constexpr std::size_t kPiece = std::size_t{256} << 10;
  static constexpr std::size_t kCellWidth = 24;
  static char* put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
  }
  // A blank, then a text of at most kShortestRoom characters held in a
  // buffer of that size right-aligned in `width` characters (a longer one
  // as it is): the blanks and the text are copied whole, in copies of a
  // fixed size the compiler makes in a few moves, and the end is set back
  // to where the text ends.
  static constexpr char kBlanks[33] = "                                ";
  static char* cell(char* p, const Made& made, std::size_t width) {
    std::memcpy(p, kBlanks, 32);
    p += 1 + (made.length < width ? width - made.length : 0);
    std::memcpy(p, made.text, kShortestRoom);
    return p + made.length;
  }
  // The same without the blank before it.
  static char* right(char* p, const Made& made, std::size_t width) {
    std::memcpy(p, kBlanks, 32);
    p += made.length < width ? width - made.length : 0;
    std::memcpy(p, made.text, kShortestRoom);
    return p + made.length;
  }
  // Where each cell ends in a row whose texts all fit (the heading's
  // columns): the row's number, the lines, the values, the share.
  static constexpr std::size_t kReferenceLineEnd = 20, kComparedLineEnd = 31, kReferenceEnd = 56,
                               kComparedEnd = 81, kDifferenceEnd = 106, kSquareEnd = 131, kShareEnd = 142;
  // The `n` bytes that end with `made`'s text, at `end` - n: the text with
  // the blanks before it.
  template <std::size_t n>
  static void ending(char* end, const Made& made) {
    static_assert(n <= sizeof(Made::lead));
    std::memcpy(end - n, made.text + made.length - n, n);
  }
  // A count's text from its eight digits (digitBytes), without the
  // leading zeros.
  static void shownDigits(Made& made, std::uint64_t digits) {
    const int skipped = digits == 0 ? 7 : std::countr_zero(digits) / 8;
    const std::uint64_t shown = (digits | 0x3030303030303030) >> (8 * skipped);
    std::memcpy(made.text, &shown, 8);
    made.length = static_cast<std::size_t>(8 - skipped);
  }
  // The cell of a row's number from its eight digits (digitBytes, not 0):
  // a blank, then the digits with blanks for their leading zeros, in one
  // store (a zero's byte with the character bits is '0', and a blank is
  // 0x10 less).
  static void numberCell(char* p, std::uint64_t digits) {
    const int zeros = std::countr_zero(digits) & ~7;
    const std::uint64_t blanks = ((std::uint64_t{1} << zeros) - 1) & 0x1010101010101010;
    const std::uint64_t cell = (digits | 0x3030303030303030) - blanks;
    *p = ' ';
    std::memcpy(p + 1, &cell, 8);
  }
  // A count's text; one below 10^8 from its digits, eight at a time.
  static void written(Made& made, long long value) {
    if (value >= 0 && value < 100000000) {
      shownDigits(made, digitBytes(static_cast<std::uint64_t>(value)));
      return;
    }
    char* end = value >= 0 ? writeCount(static_cast<std::uint64_t>(value), made.text)
                           : std::to_chars(made.text, made.text + sizeof made.text, value).ptr;
    made.length = static_cast<std::size_t>(end - made.text);
  }
  static std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  // The text of a compared value: the reference's where the two are alike,
  // else its own, made in `into`.
  static const Made* alike(const Made* reference, Made& into, double value) {
    return bitsOf(value) == reference->bits ? reference : &made(into, value);
  }
  // A value's shortest text, made in `made`.
  static const Made& made(Made& into, double value) {
    into.bits = bitsOf(value);
    into.length = static_cast<std::size_t>(writeShortest(value, into.text) - into.text);
    return into;
  }
  // The shortest text of a difference, kept for the rows after: rows of
  // one square come together, and their differences are mostly the one
  // value or its negative. Kept apart from the square's text, so that
  // making one never replaces the other a row shows.
  const Made& differenceMade(double value) {
    const std::uint64_t bits = bitsOf(value);
    if (differences_[0].bits == bits) return differences_[0];
    if (differences_[1].bits == bits) return differences_[1];
    Made& into = differences_[nextDifference_];
    nextDifference_ ^= 1;
    return made(into, value);
  }
  // A share's text, made again only where it changes.
  const Made& shareMade(double value) {
    // Most rows of a long list add too little to show: their text is
    // shareText's first test, made once.
    if (value > 0 && value * 100 < 0.01) return tiny_;
    const std::uint64_t bits = bitsOf(value);
    if (share_.length == 0 || share_.bits != bits) {
      const std::string text = shareText(value);
      share_.bits = bits;
      share_.length = std::min(text.size(), sizeof share_.text);
      std::memcpy(share_.text, text.data(), share_.length);
    }
    return share_;
  }
  // The line of a row's record in file `f` (from its line feed on): each
  // of the four starts is one copy of a fixed size, a line's number one
  // of 16 bytes (it has at most 13 digits), a value's text one of 32.
  static_assert((std::uint64_t{1} << (64 - LoadRecord::kSpanBits)) + LoadRecord::kSpanMask < 10000000000000);
  [[gnu::always_inline]] char* record(char* p, int f, const Made& firstText, long long first, long long last,
                                      std::string_view bytes, const Made& v0, const Made& v1, const Made& v2) {
    static constexpr char kStarts[2][2][32] = {
        {"\n            reference line ", "\n            reference lines "},
        {"\n            compared  line ", "\n            compared  lines "}};
    const bool lines = last > first;
    std::memcpy(p, kStarts[f][lines ? 1 : 0], 32);
    p += lines ? 29 : 28;
    std::memcpy(p, firstText.text, 16);
    p += firstText.length;
    if (lines) {
      *p++ = '-';
      written(number_, last);
      std::memcpy(p, number_.text, 16);
      p += number_.length;
    }
    if (bytes.empty()) {
      // Not read again: nothing between the quotes.
      std::memcpy(p, ": '' -> ", 8);
      p += 8;
    } else {
      std::memcpy(p, ": '", 3);
      p += 3;
      if (showsAsItIs(bytes)) {
        p = put(p, bytes);
      } else if (cutAsItIs(bytes)) {
        // Cut where shownRecord cuts it, with its ellipsis.
        std::memcpy(p, bytes.data(), kShownRecordWidth);
        std::memcpy(p + kShownRecordWidth, "\xE2\x80\xA6", 3);
        p += kShownRecordWidth + 3;
      } else {
        end_ = p;
        flush();
        out_ << shownRecord(bytes);
        p = end_;
      }
      std::memcpy(p, "' -> ", 5);
      p += 5;
    }
    p = putHeld(p, v0);
    std::memcpy(p, ", ", 2);
    p = putHeld(p + 2, v1);
    std::memcpy(p, ", ", 2);
    return putHeld(p + 2, v2);
  }
  // Whether a record is shown as its bytes stand: one line that fits the
  // width, of printable ASCII other than the backslash (the record of most
  // tables), which shownRecord would copy unchanged.
  static bool showsAsItIs(std::string_view bytes) {
    if (bytes.size() > kShownRecordWidth) return false;
    // Eight bytes a step: a byte below 0x20, above 0x7e or a backslash
    // sets the top bit of some byte of one of the three words below (which
    // byte it is, a borrow may blur, but not whether there is one).
    constexpr std::uint64_t kOnes = 0x0101010101010101, kTops = 0x8080808080808080;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + at, 8);
      const std::uint64_t backslashes = word ^ (kOnes * '\\');
      const std::uint64_t control = (word - kOnes * 0x20) & ~word;
      const std::uint64_t high = (word + kOnes) | word;  // 0x7f and up
      const std::uint64_t backslash = (backslashes - kOnes) & ~backslashes;
      if (((control | high | backslash) & kTops) != 0) return false;
    }
    for (const char c : bytes.substr(at)) {
      if (c < 0x20 || c > 0x7e || c == '\\') return false;
    }
    return true;
  }
  // Whether a record is longer than the width and its bytes up to one past
  // the width are printable ASCII other than the backslash (the record of
  // a table of long lines), so that shownRecord would show its first
  // kShownRecordWidth bytes as they stand and an ellipsis.
  static bool cutAsItIs(std::string_view bytes) {
    constexpr std::size_t kChecked = kShownRecordWidth + 1;
    static_assert(kChecked >= 8);
    if (bytes.size() < kChecked) return false;
    // As showsAsItIs tests, eight bytes a step, the last step's word ending
    // at the last byte checked, over bytes already passed.
    constexpr std::uint64_t kOnes = 0x0101010101010101, kTops = 0x8080808080808080;
    std::uint64_t found = 0;
    for (std::size_t at = 0; at < kChecked; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + std::min(at, kChecked - 8), 8);
      const std::uint64_t backslashes = word ^ (kOnes * '\\');
      const std::uint64_t control = (word - kOnes * 0x20) & ~word;
      const std::uint64_t high = (word + kOnes) | word;  // 0x7f and up
      const std::uint64_t backslash = (backslashes - kOnes) & ~backslashes;
      found |= control | high | backslash;
    }
    return (found & kTops) == 0;
  }
  static char* putHeld(char* p, const Made& made) {
    std::memcpy(p, made.text, kShortestRoom);
    return p + made.length;
  }

  Out& out_;
  std::unique_ptr<char[]> rows_;  // kPiece + 2 * kRowRoom bytes
  char* end_;
  char* full_;  // kPiece bytes in: the rows made go to the stream
  Made values_[2][3];  // the row's values' texts, in each file
  static constexpr std::uint64_t kNoSquare = 0x7FF0000000000001;
  Made square_;  // the last row's square
  Made differences_[2];  // the last two differences made
  std::size_t nextDifference_ = 0;
  PairsOfTexts pairs_;
  Made share_;
  Made lines_[2];  // the row's first lines, in each file
  Made number_;
  const Made dash_{"-"};  // the cell of a line or a value the file has not
  const Made tiny_{"< 0.01%"};  // the share of a row that adds too little to show
  const Made* squareShare_ = &tiny_;  // the share of square_'s rows (tiny_ or share_)
  LineDigits lineDigits_;
};

// Under a relation, each exception listed: its rows, what the relation
// expected, and both records as they stand.
std::string exceptionText(const ExceptionRow& row) {
  return "    row " + std::to_string(row.row) + ": compared " + shortestText(row.comparedValues[1]) + ", expected " +
         shortestText(row.expected) + " (reference row " + std::to_string(row.referenceRow) + "), square " +
         shortestText(row.square) + "\n      reference " + linesText(row.referenceLine, row.referenceLastLine) + ": '" +
         shownRecord(row.referenceRecord) + "' -> " + valuesText(row.referenceValues) + "\n      compared  " +
         linesText(row.comparedLine, row.comparedLastLine) + ": '" + shownRecord(row.comparedRecord) + "' -> " +
         valuesText(row.comparedValues) + "\n";
}

constexpr char kRowHeading[] =
    "      row   ref line   cmp line          reference value           compared value"
    "        scaled difference                   square      share\n";

// ---------------------------------------------------------------------------
// JSON.


// exists, type ("regular", "directory", "other"), size (bytes), stat_error
// (the system's answer when it cannot tell).
void writePresenceJson(JsonWriter& json, const Presence& presence) {
  json.key("exists");
  json.boolean(presence.exists);
  json.key("type");
  if (presence.exists) {
    json.string(presence.directory ? "directory" : presence.regular ? "regular" : "other");
  } else {
    json.null();
  }
  json.key("size");
  if (presence.exists) {
    json.count(static_cast<std::size_t>(presence.size));
  } else {
    json.null();
  }
  json.key("stat_error");
  if (!presence.exists && presence.error != ENOENT) {
    json.string(std::strerror(presence.error));
  } else {
    json.null();
  }
}

// A value's text as JsonWriter::number writes it (a value that is not
// finite as a string), made once for every place a row shows it.
struct NumberText {
  std::uint64_t bits = 0;
  std::size_t length = 0;
  char text[kShortestRoom + 2];

  void make(double value) {
    std::memcpy(&bits, &value, sizeof bits);
    if (std::isfinite(value)) {
      length = static_cast<std::size_t>(writeShortest(value, text) - text);
      return;
    }
    char* end = text;
    *end++ = '"';
    end = writeShortest(value, end);
    *end++ = '"';
    length = static_cast<std::size_t>(end - text);
  }
  [[nodiscard]] bool shows(double value) const {
    std::uint64_t other = 0;
    std::memcpy(&other, &value, sizeof other);
    return length != 0 && other == bits;
  }
  [[nodiscard]] std::string_view view() const { return {text, length}; }
};

void writeRowJson(JsonWriter& json, const RowFacts& row) {
  // Each value's text made once: column 2 shows twice in each file, and a
  // value alike in both files (columns 1 and 3, mostly) once for both.
  NumberText made[2][3];
  const NumberText* shown[2][3] = {};
  if (row.hasReference) {
    for (int c = 0; c < 3; ++c) {
      made[0][c].make(row.referenceValues[c]);
      shown[0][c] = &made[0][c];
    }
  }
  for (int c = 0; c < 3; ++c) {
    if (row.hasReference && shown[0][c]->shows(row.comparedValues[c])) {
      shown[1][c] = shown[0][c];
    } else {
      made[1][c].make(row.comparedValues[c]);
      shown[1][c] = &made[1][c];
    }
  }
  const auto value = [&](const NumberText* text, double v) {
    if (text->shows(v)) {
      json.raw(text->view());
    } else {
      json.number(v);
    }
  };
  json.open('{');
  json.key("row");
  json.count(row.row);
  json.key("reference_line");
  json.line(row.referenceLine);
  json.key("compared_line");
  json.line(row.comparedLine);
  json.key("reference_value");
  if (row.hasReference) {
    value(shown[0][1], row.referenceValue);
  } else {
    json.null();
  }
  json.key("compared_value");
  value(shown[1][1], row.comparedValue);
  json.key("reference_values");
  if (row.hasReference) {
    json.open('[');
    for (int c = 0; c < 3; ++c) {
      json.item();
      json.raw(shown[0][c]->view());
    }
    json.close(']');
  } else {
    json.null();
  }
  json.key("compared_values");
  json.open('[');
  for (int c = 0; c < 3; ++c) {
    json.item();
    json.raw(shown[1][c]->view());
  }
  json.close(']');
  json.key("reference_record");
  json.stringOrNull(row.hasReference, row.referenceRecord);
  json.key("compared_record");
  json.string(row.comparedRecord);
  json.key("scaled_difference");
  json.repeatedNumber(row.scaledDifference);
  json.key("square");
  json.repeatedNumber(row.square);
  json.key("share");
  json.repeatedNumber(row.share);
  json.close('}');
}

// Whether a string is its own JSON text: every byte printable ASCII, none
// a quote or a backslash. Eight bytes at a time; each test below is exact
// for whether any byte of the word is such.
bool plainJson(std::string_view bytes) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
  const auto bad = [&](std::uint64_t w) {
    const auto zeroIn = [&](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
    return ((w - 0x20 * kOnes) & ~w & kHighs) |  // below 0x20
           (((w + kOnes) | w) & kHighs) |        // 0x7f or above
           zeroIn(w ^ ('"' * kOnes)) | zeroIn(w ^ ('\\' * kOnes));
  };
  std::size_t at = 0;
  std::uint64_t found = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes.data() + at, 8);
    found |= bad(w);
  }
  if (at < bytes.size()) {
    std::uint64_t w = 0x2020202020202020;  // blanks past the end
    std::memcpy(&w, bytes.data() + at, bytes.size() - at);
    found |= bad(w);
  }
  return found == 0;
}

// The rows of a list in JSON, each made whole in the writer's room, as the
// members one by one would make them: its keys, punctuation and
// indentation made once for the list's level, its numbers written in place,
// a record that needs no escape copied whole.
class RowJson {
 public:
  explicit RowJson(JsonWriter& json) : json_(json) {
    const int depth = json.depth();
    const std::string outer(2 * static_cast<std::size_t>(std::max(depth, 0)), ' ');
    const std::string member = outer + "  ", item = member + "  ";
    const std::string next = ",\n" + member;
    const std::string pieces[kPieces] = {
        "{\n" + member + "\"row\": ",
        ",\n" + outer + "{\n" + member + "\"row\": ",
        next + "\"reference_line\": ",
        next + "\"compared_line\": ",
        next + "\"reference_value\": ",
        next + "\"compared_value\": ",
        next + "\"reference_values\": [\n" + item,
        next + "\"reference_values\": null" + next + "\"compared_values\": [\n" + item,
        "\n" + member + "]" + next + "\"compared_values\": [\n" + item,
        ",\n" + item,
        "\n" + member + "]" + next + "\"reference_record\": ",
        next + "\"compared_record\": ",
        next + "\"scaled_difference\": ",
        next + "\"square\": ",
        next + "\"share\": ",
        "\n" + outer + "}",
    };
    fits_ = true;
    for (std::size_t i = 0; i < kPieces; ++i) {
      fits_ = fits_ && pieces[i].size() <= kWidths[i];
      if (!fits_) return;
      std::memcpy(pieces_[i].text, pieces[i].data(), pieces[i].size());
      pieces_[i].length = pieces[i].size();
    }
  }

  // Listed row `row` after its separator (JsonWriter::item), or with
  // `next` after a row this made, its separator included; false, with
  // nothing written, where the level is too deep for the pieces or the
  // records too long for the writer's room at once.
  bool add(const TopRows::Listed& row, double share, std::string_view referenceRecord,
           std::string_view comparedRecord, bool next = false) {
    if (!fits_) return false;
    // A record that needs no escape (most, and every one not read again)
    // as it stands.
    const std::string_view shownRecords[2] = {shownRecord(0, referenceRecord), shownRecord(1, comparedRecord)};
    // Seventeen pieces, eleven numbers, three counts, two strings' quotes.
    constexpr std::size_t kFixed = 20 * sizeof(Piece::text) + 12 * (kShortestRoom + 2) + 3 * 24 + 16;
    const std::size_t need = kFixed + shownRecords[0].size() + shownRecords[1].size();
    if (need > JsonWriter::kLargestRoom) return false;
    // Each value's text made once, as writeRowJson makes it; a compared
    // value alike the reference's (columns 1 and 3, mostly) shown by its text.
    const NumberText* shown[2][3] = {{&made_[0][0], &made_[0][1], &made_[0][2]}, {}};
    if (row.hasReference) {
      // Two at a time, as the text list makes them.
      const auto one = [](NumberText& into, double value) { into.make(value); };
      pairs_.make(made_[0][0], row.values[0][0], made_[0][1], row.values[0][1], one);
      if (!made_[0][1].shows(row.values[1][1])) {
        pairs_.make(made_[0][2], row.values[0][2], made_[1][1], row.values[1][1], one);
        shown[1][1] = &made_[1][1];
      } else {
        made_[0][2].make(row.values[0][2]);
        shown[1][1] = &made_[0][1];
      }
      shown[1][0] = alike(made_[0][0], made_[1][0], row.values[1][0]);
      shown[1][2] = alike(made_[0][2], made_[1][2], row.values[1][2]);
    } else {
      made_[1][0].make(row.values[1][0]);
      made_[1][1].make(row.values[1][1]);
      made_[1][2].make(row.values[1][2]);
      shown[1][0] = &made_[1][0];
      shown[1][1] = &made_[1][1];
      shown[1][2] = &made_[1][2];
    }
    char* p = json_.roomFor(need);
    p = next ? put<kNextRow>(p) : put<kRow>(p);
    const std::uint64_t rowNumber = std::uint64_t{row.index} + 1;
    const long long lines[2] = {row.hasReference ? LoadRecord::firstLineOf(row.places[0]) : 0,
                                LoadRecord::firstLineOf(row.places[1])};
    if (LineDigits::fits(rowNumber, lines[0])) {
      // The number's digits and the line's from them, each one store.
      const std::uint64_t digits = digitBytes(rowNumber);
      p = putDigits(p, digits);
      p = put<kReferenceLine>(p);
      const std::uint64_t lineDigits = lineDigits_.of(digits, rowNumber, static_cast<std::uint64_t>(lines[0]));
      p = putDigits(p, lineDigits);
      p = put<kComparedLine>(p);
      p = lines[1] == lines[0] ? putDigits(p, lineDigits) : line(p, lines[1]);
    } else {
      p = writeCount(rowNumber, p);
      p = put<kReferenceLine>(p);
      char* const referenceLine = p;
      p = line(p, lines[0]);
      const std::size_t referenceLineLength = static_cast<std::size_t>(p - referenceLine);
      p = put<kComparedLine>(p);
      if (lines[1] == lines[0] && lines[0] > 0) {
        // The same line in both files, its digits made once: the copy is of
        // the whole room, from well before `p` (a piece lies between).
        std::memcpy(p, referenceLine, kCountRoom);
        p += referenceLineLength;
      } else {
        p = line(p, lines[1]);
      }
    }
    p = put<kReferenceValue>(p);
    p = row.hasReference ? number(p, *shown[0][1]) : null(p);
    p = put<kComparedValue>(p);
    p = number(p, *shown[1][1]);
    if (row.hasReference) {
      p = put<kReferenceValues>(p);
      p = number(p, *shown[0][0]);
      p = put<kItem>(p);
      p = number(p, *shown[0][1]);
      p = put<kItem>(p);
      p = number(p, *shown[0][2]);
      p = put<kComparedValues>(p);
    } else {
      p = put<kNoReferenceValues>(p);
    }
    p = number(p, *shown[1][0]);
    p = put<kItem>(p);
    p = number(p, *shown[1][1]);
    p = put<kItem>(p);
    p = number(p, *shown[1][2]);
    p = put<kReferenceRecord>(p);
    p = row.hasReference ? string(p, shownRecords[0]) : null(p);
    p = put<kComparedRecord>(p);
    p = string(p, shownRecords[1]);
    p = put<kDifference>(p);
    p = number(p, lasting(row.scaledDifference));
    p = put<kSquare>(p);
    p = number(p, lasting(row.square));
    p = put<kShare>(p);
    if (!share_.shows(share)) share_.make(share);
    p = number(p, share_);
    p = put<kEnd>(p);
    json_.madeTo(p);
    return true;
  }

 private:
  enum PieceName : std::size_t {
    kRow,
    kNextRow,
    kReferenceLine,
    kComparedLine,
    kReferenceValue,
    kComparedValue,
    kReferenceValues,
    kNoReferenceValues,
    kComparedValues,
    kItem,
    kReferenceRecord,
    kComparedRecord,
    kDifference,
    kSquare,
    kShare,
    kEnd,
    kPieces
  };
  // Each piece's room, the fewest 16-byte stores that hold it at the
  // level the report writes its list at; a deeper level takes the members
  // one by one.
  static constexpr std::size_t kWidths[kPieces] = {16, 32, 32, 32, 32, 32, 48, 80, 48, 16, 48, 32, 32, 32, 32, 16};
  static constexpr std::size_t kCountRoom = 20;
  struct Piece {
    char text[96] = {};
    std::size_t length = 0;
  };
  // Each copy is of the piece's whole room: the bytes past the piece are
  // written over by what follows.
  template <PieceName name>
  char* put(char* p) const {
    std::memcpy(p, pieces_[name].text, kWidths[name]);
    return p + pieces_[name].length;
  }
  // A value's text in two 16-byte stores: a finite value's shortest text
  // is at most 24 bytes, any other's at most 11 with its quotes.
  static constexpr std::size_t kNumberCopy = 32;
  static_assert(kNumberCopy <= sizeof NumberText::text);
  static char* number(char* p, const NumberText& text) {
    std::memcpy(p, text.text, kNumberCopy);
    return p + text.length;
  }
  static char* null(char* p) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  static char* line(char* p, long long value) {
    return value > 0 ? writeCount(static_cast<std::uint64_t>(value), p) : null(p);
  }
  static char* string(char* p, std::string_view shown) {
    *p++ = '"';
    // Most rows of a long list have no record read again.
    if (!shown.empty()) std::memcpy(p, shown.data(), shown.size());
    p += shown.size();
    *p++ = '"';
    return p;
  }

  // Record `bytes` of file `f` as a JSON string's text: as it stands where
  // it needs no escape, else escaped.
  std::string_view shownRecord(int f, std::string_view bytes) {
    if (bytes.empty() || plainJson(bytes)) return bytes;
    escaped_[f].clear();
    appendEscaped(escaped_[f], bytes, Escape::Json);
    return escaped_[f];
  }
  // A compared value's text: `reference`, a value's made, where the value
  // is alike, else its own made in `into`.
  static const NumberText* alike(const NumberText& reference, NumberText& into, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    if (bits == reference.bits) return &reference;
    into.make(value);
    return &into;
  }
  // A count's text from its eight digits (digitBytes, not 0), in one store.
  static char* putDigits(char* p, std::uint64_t digits) {
    const int skipped = std::countr_zero(digits) / 8;
    const std::uint64_t shown = (digits | 0x3030303030303030) >> (8 * skipped);
    std::memcpy(p, &shown, 8);
    return p + 8 - skipped;
  }
  // The text of a difference or a square, kept for the rows after: the
  // list is in the order of the squares, so rows of equal squares (and
  // differences equal but for their signs) come together.
  const NumberText& lasting(double value) {
    for (const NumberText& text : lasting_) {
      if (text.shows(value)) return text;
    }
    NumberText& text = lasting_[nextLasting_];
    nextLasting_ = (nextLasting_ + 1) % kLasting;
    text.make(value);
    return text;
  }
  static constexpr std::size_t kLasting = 4;  // a square, and a difference of either sign

  JsonWriter& json_;
  NumberText lasting_[kLasting];
  std::size_t nextLasting_ = 0;
  NumberText share_;
  LineDigits lineDigits_;
  bool fits_ = false;
  Piece pieces_[kPieces];
  NumberText made_[2][3];
  std::string escaped_[2];
  PairsOfTexts pairs_;
};

// A relation, its rows counted from 1: row_map (null: the same rows;
// {"runs": [[compared_first, compared_last, reference_first, step], ...]} or
// {"sorted_by": {"column": c, "descending": bool}}), value_map (null: column 2
// as it is; {"column", "factor", "offset"}), precision (null, {"decimals": d}
// or {"significant_digits": s}), holds {"rows", "of"}, residual_total, and
// exceptions (compared rows, largest first; at most kJsonExceptions).
constexpr std::size_t kJsonExceptions = 1000;
// An object of counts: {"a": 1, "b": 2}.
void writeCounts(JsonWriter& json, std::initializer_list<std::pair<std::string_view, std::size_t>> counts) {
  json.open('{');
  for (const auto& [name, value] : counts) {
    json.key(name);
    json.count(value);
  }
  json.close('}');
}
// The grammar's parts of a relation: features (null for column 2 as it is;
// else each term of the value map: {"feature": "column", "next_row" or
// "row_number", "column", "transform", "coefficient"}), window (null, or the
// weights of reference rows i and i+1), patterns (the exceptions' patterns:
// {"pattern": "shared value", "period", "run" or "trend", "rows", "first",
// "last", "period", "value", "per_row"}).
const char* transformName(Transform t) {
  switch (t) {
    case Transform::None: return nullptr;
    case Transform::Log10: return "log10";
    case Transform::Ln: return "ln";
    case Transform::Exp: return "exp";
    case Transform::PowerOfTen: return "power_of_ten";
    case Transform::Square: return "square";
    case Transform::SquareRoot: return "sqrt";
    case Transform::Reciprocal: return "reciprocal";
  }
  return nullptr;
}

void writeTermJson(JsonWriter& json, FeatureKind kind, int column, Transform transform, double coefficient) {
  json.item();
  json.open('{');
  json.key("feature");
  json.string(kind == FeatureKind::Column ? "column" : kind == FeatureKind::NextRow ? "next_row" : "row_number");
  json.key("column");
  if (kind == FeatureKind::RowNumber) {
    json.null();
  } else {
    json.count(static_cast<std::size_t>(column));
  }
  json.key("transform");
  if (const char* name = transformName(transform)) {
    json.string(name);
  } else {
    json.null();
  }
  json.key("coefficient");
  json.number(coefficient);
  json.close('}');
}

void writeGrammarJson(JsonWriter& json, const Relation& r) {
  const ValueMap& v = r.value;
  json.key("features");
  if (v.identity()) {
    json.null();
  } else {
    json.open('[');
    writeTermJson(json, FeatureKind::Column, v.column, v.transform, v.factor);
    for (int k = 0; k < v.extras; ++k) writeTermJson(json, v.extra[k].kind, v.extra[k].column, Transform::None, v.extra[k].coefficient);
    json.close(']');
  }
  json.key("window");
  if (v.extras == 1 && v.extra[0].kind == FeatureKind::NextRow && v.transform == Transform::None) {
    json.open('[');
    json.item();
    json.number(v.factor);
    json.item();
    json.number(v.extra[0].coefficient);
    json.close(']');
  } else {
    json.null();
  }
  json.key("patterns");
  json.open('[');
  for (const ExceptionPattern& p : r.patterns) {
    static constexpr const char* kNames[] = {"shared value", "period", "run", "trend"};
    json.item();
    json.open('{');
    json.key("pattern");
    json.string(kNames[static_cast<int>(p.kind)]);
    json.key("rows");
    json.count(p.rows);
    json.key("first");
    json.count(p.first + 1);
    json.key("last");
    json.count(p.last + 1);
    json.key("period");
    if (p.period > 0) {
      json.count(p.period);
    } else {
      json.null();
    }
    json.key("value");
    json.numberOrNull(p.kind == PatternKind::SharedValue, p.value);
    json.key("per_row");
    json.numberOrNull(p.kind == PatternKind::Trend, p.perRow);
    json.close('}');
  }
  json.close(']');
}

// The description of the differences where no relation holds.
void writeUnexplainedJson(JsonWriter& json, const Unexplained& u) {
  json.open('{');
  json.key("rows");
  json.count(u.rows);
  json.key("median_relative_difference");
  json.number(u.medianRelative);
  json.key("trend");
  json.number(u.trend);
  json.key("trends");
  json.boolean(u.trends);
  json.key("positive");
  json.count(u.positive);
  json.key("negative");
  json.count(u.negative);
  json.key("sign_changes");
  json.count(u.signChanges);
  json.key("signs_random");
  json.boolean(u.signsRandom);
  json.close('}');
}

void writeRelationJson(JsonWriter& json, const Relation& r) {
  json.open('{');
  json.key("row_map");
  if (r.rowMap == RowMapKind::Same) {
    json.null();
  } else if (r.rowMap == RowMapKind::SortedBy) {
    json.open('{');
    json.key("sorted_by");
    json.open('{');
    json.key("column");
    json.count(static_cast<std::size_t>(r.sortColumn));
    json.key("descending");
    json.boolean(r.descending);
    json.close('}');
    json.close('}');
  } else {
    json.open('{');
    json.key("runs");
    json.open('[');
    for (const RelationRun& run : r.runs) {
      json.item();
      json.open('[');
      for (const long long v : {static_cast<long long>(run.comparedFirst + 1), static_cast<long long>(run.comparedLast + 1),
                                static_cast<long long>(run.referenceFirst + 1), run.step}) {
        json.item();
        json.number(static_cast<double>(v));
      }
      json.close(']');
    }
    json.close(']');
    json.close('}');
  }
  json.key("value_map");
  if (r.value.identity()) {
    json.null();
  } else {
    json.open('{');
    json.key("column");
    json.count(static_cast<std::size_t>(r.value.column));
    json.key("factor");
    json.number(r.value.factor);
    json.key("offset");
    json.number(r.value.offset);
    json.close('}');
  }
  json.key("precision");
  if (r.precision.kind == PrecisionKind::None) {
    json.null();
  } else if (r.precision.kind == PrecisionKind::Binary32) {
    json.open('{');
    json.key("binary");
    json.string("single");
    json.close('}');
  } else {
    json.open('{');
    json.key(r.precision.kind == PrecisionKind::Decimals ? "decimals" : "significant_digits");
    json.count(static_cast<std::size_t>(r.precision.digits));
    json.close('}');
  }
  writeGrammarJson(json, r);
  json.key("holds");
  writeCounts(json, {{"rows", r.holds}, {"of", r.of}});
  json.key("residual_total");
  json.number(r.residual);
  json.key("exceptions");
  json.open('[');
  for (std::size_t k = 0; k < r.exceptions.size() && k < kJsonExceptions; ++k) {
    json.item();
    json.count(r.exceptions[k].row + 1);
  }
  json.close(']');
  json.close('}');
}

void writeFileJson(JsonWriter& json, const FileFacts& file, int role) {
  const LoadRecord& r = file.record;
  json.open('{');
  json.key("role");
  json.string(kRoles[role]);
  json.key("name");
  if (file.named) {
    json.string(file.name);
  } else {
    json.null();
  }
  if (file.named) {
    writePresenceJson(json, file.presence);
  } else {
    for (const char* key : {"exists", "type", "size", "stat_error"}) {
      json.key(key);
      json.null();
    }
  }
  json.key("layout");
  if (r.titleRead) {
    json.string(layoutName(r.layout));
  } else {
    json.null();
  }
  json.key("format_code");
  if (r.titleRead) {
    json.string(std::string_view(&r.code.code, 1));
  } else {
    json.null();
  }
  json.key("title");
  if (r.titleRead) {
    json.string(std::string_view(r.title, r.titleLength));
  } else {
    json.null();
  }
  json.key("header");
  if (r.titleRead && r.layout != HeaderLayout::Plain) {
    const HeaderNumbers header = headerNumbers(r);
    json.open('{');
    for (int i = 0; i < 4; ++i) {
      json.key(kHeaderNames[i]);
      if (header.read[i]) {
        json.number(header.value[i]);
      } else {
        json.null();
      }
    }
    json.close('}');
  } else {
    json.null();
  }
  const bool rowsKnown = r.headerRead;
  json.key("table_first_line");
  json.line(rowsKnown && r.rows > 0 ? r.firstLine(0) : 0);
  json.key("table_last_line");
  json.line(rowsKnown && r.rows > 0 ? r.firstLine(r.rows - 1) : 0);
  json.key("rows");
  if (rowsKnown) {
    json.count(r.rows);
  } else {
    json.null();
  }
  json.key("cut_short_row_line");
  json.line(r.cutShortRowLine);
  json.key("rows_past_limit");
  json.boolean(r.rowsPastLimit);
  json.key("slash_rows");
  json.count(r.slashRows);
  json.key("suspect_header_lines");
  json.open('[');
  for (long long line : file.suspectLines) {
    json.item();
    json.line(line);
  }
  json.close(']');
  json.close('}');
}

}  // namespace

bool writeTextReport(std::FILE* file, const Explanation& facts) {
  Out out(file);
  if (facts.control.used && !facts.control.presence.exists) {
    out << "control file " << quoted(kControlFileName) << "\n  exists:                 ";
    if (facts.control.presence.error != ENOENT) {
      out << presenceText(facts.control.presence) << "\n\n";
    } else if (facts.stop && facts.stop->dataFile == -1) {
      out << missingText(*facts.stop) << "\n\n";
    } else {
      out << "no\n\n";
    }
  }
  for (int f = 0; f < 2; ++f) {
    writeFileText(out, facts.files[f], f, facts);
    out << "\n";
  }
  if (!facts.findings.empty()) {
    out << "findings\n";
    for (const Finding& finding : facts.findings) {
      out << "  " << findingKindName(finding.kind) << ": " << finding.text << "\n";  // escaped when made
      for (const ExceptionRow& row : finding.exceptionRows) out << exceptionText(row);
    }
    out << "\n";
  }
  if (facts.compared) {
    out << "comparison\n";
    out << "  result line, as velmora prints it:\n" << facts.resultLine << "\n";
    out << "  rows compared:          " << facts.rowsCompared << "\n";
    out << "  rows that differ:       " << facts.rowsDiffering << "\n";
    out << "  rows without reference: " << facts.rowsWithoutReference << ", "
        << shareText(facts.shareWithoutReference) << " of the total\n";
    if (facts.largest) {
      const RowFacts& row = *facts.largest;
      out << "  largest contribution:   row " << row.row << ", square "
          << shortestText(row.square) << ", " << shareText(row.share) << " of the total\n";
    }
    if (!facts.top.empty()) {
      out << "\ntop " << facts.top.size() << (facts.top.size() == 1 ? " row" : " rows")
          << " (values in file units; difference of the values x 1000)\n"
          << kRowHeading;
      RowText rows(out);
      facts.top.forEachListed([&](std::size_t, const TopRows::Listed& row, double share, std::string_view reference,
                                  std::string_view compared) { rows.add(row, share, reference, compared); });
      rows.flush();
    }
  }
  if (facts.stop) {
    out << (facts.compared ? "\n" : "")
        << "velmora stops here, with these two lines:\n"
        << facts.stop->text;
  }
  return out.finish();
}

bool writeJsonReport(std::FILE* file, const Explanation& facts) {
  JsonWriter json(file);
  json.open('{');
  json.key("result_line");
  if (facts.compared) {
    json.string(facts.resultLine);
  } else {
    json.null();
  }
  json.key("total");
  if (facts.compared) {
    json.number(facts.total);
  } else {
    json.null();
  }
  json.key("control");
  if (facts.control.used) {
    json.open('{');
    json.key("name");
    json.string(kControlFileName);
    writePresenceJson(json, facts.control.presence);
    json.close('}');
  } else {
    json.null();
  }
  json.key("files");
  json.open('[');
  for (int f = 0; f < 2; ++f) {
    json.item();
    writeFileJson(json, facts.files[f], f);
  }
  json.close(']');
  auto countOrNull = [&](std::string_view name, std::size_t value) {
    json.key(name);
    if (facts.compared) {
      json.count(value);
    } else {
      json.null();
    }
  };
  countOrNull("rows_compared", facts.rowsCompared);
  countOrNull("rows_differing", facts.rowsDiffering);
  countOrNull("rows_without_reference", facts.rowsWithoutReference);
  json.key("share_without_reference");
  if (facts.compared) {
    json.number(facts.shareWithoutReference);
  } else {
    json.null();
  }
  json.key("largest");
  if (facts.largest) {
    writeRowJson(json, *facts.largest);
  } else {
    json.null();
  }
  json.key("top");
  json.open('[');
  RowJson rows(json);
  facts.top.forEachListed([&](std::size_t k, const TopRows::Listed& row, double share, std::string_view reference,
                              std::string_view compared) {
    if (k > 0 && rows.add(row, share, reference, compared, true)) return;
    json.item();
    if (!rows.add(row, share, reference, compared)) writeRowJson(json, facts.top[k]);
  });
  json.close(']');
  json.key("first_difference");
  if (facts.firstDifference) {
    writeRowJson(json, *facts.firstDifference);
  } else {
    json.null();
  }
  json.key("fail_above");
  if (facts.failAbove) {
    json.open('{');
    json.key("limit");
    json.number(*facts.failAbove);
    json.key("above");
    json.boolean(facts.compared && (std::isnan(facts.total) || facts.total > *facts.failAbove));
    json.close('}');
  } else {
    json.null();
  }
  json.key("findings");
  json.open('[');
  for (const Finding& finding : facts.findings) {
    json.item();
    json.open('{');
    json.key("kind");
    json.string(findingKindName(finding.kind));
    json.key("role");
    json.string(findingRoleName(finding.role));
    json.key("row");
    if (finding.row > 0) {
      json.count(finding.row);
    } else {
      json.null();
    }
    json.key("lines");
    json.open('[');
    for (long long line : finding.lines) {
      json.item();
      json.line(line);
    }
    json.close(']');
    json.key("text");
    json.string(finding.text);
    if (finding.relation) {
      json.key("relation");
      writeRelationJson(json, *finding.relation);
    }
    if (finding.unexplained) {
      json.key("unexplained");
      writeUnexplainedJson(json, *finding.unexplained);
    }
    json.close('}');
  }
  json.close(']');
  json.key("warnings");
  json.open('[');
  for (const std::string& warning : facts.warnings) {
    json.item();
    json.string(warning);
  }
  json.close(']');
  json.key("error");
  if (facts.stop) {
    const StopSeen& stop = *facts.stop;
    json.open('{');
    json.key("statement");
    json.count(static_cast<std::size_t>(stop.statement));
    json.key("channel");
    json.count(static_cast<std::size_t>(stop.channel));
    json.key("file");
    if (stop.file) {
      json.string(*stop.file);
    } else {
      json.null();
    }
    json.key("line");
    json.line(stop.line);
    json.key("kind");
    json.string(failureName(stop.kind));
    json.key("text");
    json.string(stop.text);
    json.key("would_create");
    if (stop.wouldCreate) {
      json.string(stop.linkTarget ? *stop.linkTarget
                                  : stop.dataFile < 0 ? std::string(kControlFileName)
                                                      : facts.files[stop.dataFile].name);
    } else {
      json.null();
    }
    json.close('}');
  } else {
    json.null();
  }
  json.close('}');
  json.raw("\n");
  return json.finish();
}

PlotData plotDataOf(const Explanation& facts, std::vector<std::string>& caption) {
  caption.clear();
  for (const Finding& finding : facts.findings) {
    if (caption.size() == kCaptionFindings) break;
    // Where the names came from is for the report; a name lost is the
    // same-file finding, which the caption does hold.
    if (finding.kind == FindingKind::ControlFile) continue;
    caption.push_back(std::string(findingKindName(finding.kind)) + ": " + finding.text);
  }
  return PlotData{facts.files[0].name,
                  facts.files[1].name,
                  facts.resultLine,
                  facts.squares.data(),
                  facts.squares.size(),
                  facts.total,
                  facts.files[0].record.rows,
                  facts.firstDifference ? facts.firstDifference->row : 0,
                  caption,
                  facts.residualSquares.empty() ? nullptr : facts.residualSquares.data(),
                  facts.residualTotal};
}

}  // namespace velmora::explain
