// What velmora-explain learns of one comparison: the run's facts as the
// loads saw them (per file, per row, the control file, a stop), the rows
// that add most, and explainPair, which runs the comparison to learn them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <unordered_map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comparison/comparison.h"
#include "datafile/datafile.h"
#include "explain/findings.h"
#include "explain/relations.h"
#include "freeformat/freeformat.h"

namespace velmora::explain {

inline constexpr std::size_t kDefaultTop = 10;
// Header records that read like table rows, listed per file; more are counted.
inline constexpr std::size_t kMaxSuspectLines = 1000;

// What one load saw, noted by explain's sink as the load goes, so after a
// stop it holds everything seen before the failure. Lines count the file's
// records from 1; 0 means none.
// Records as written, by their line.
using RecordsByLine = std::unordered_map<long long, std::string>;

// How a row's column 2 is written, as the reader scanned it while the row
// was read: its decimals and significant digits, each up to kWrittenCap
// (larger counts are kept as kWrittenCap); kUnknownWritten when its record
// was not at hand or the value is not a plain number.
struct WrittenForm {
  static constexpr std::uint8_t kWrittenCap = 254;
  static constexpr std::uint8_t kUnknownWritten = 255;
  std::uint8_t decimals = kUnknownWritten;
  std::uint8_t significant = kUnknownWritten;
};

// Why a record may read other than its writer surely meant, judged while
// the reader held the record (judgeRecordCauses): one bit a cause, and
// kCausesJudged when the record was judged at all (it was at hand whole).
enum RecordCause : std::uint8_t {
  kCauseSignExponent = 1,  // a sign right after a number's digits starts an exponent
  kCauseSlash = 2,         // a slash ends the row before its three values
  kCauseSeparator = 4,     // a comma or semicolon between digits separates two values
  kCauseInvisible = 8,     // bytes the eye does not see
  kCausesJudged = 0x80,
};
inline constexpr int kRecordCauses = 4;

// Where a cause stands in a judged record, by its places in the bytes
// judged (what rowRecord shows of it), so that its words only cut them:
//   sign exponent:  the value's start, the sign, the value's end
//   slash:          its place, the value spans before it, the values before it
//                   (noted for any slash, whether or not it is a cause)
//   separator:      the first value's start, the separator, the second value's end
// Invisible bytes are named from the bytes shown. Places past 0xFFFF are
// kept as 0xFFFF (never, for the bytes a record is judged from).
struct CauseWhere {
  std::uint32_t row;  // from 0 (0 for a record that is not a row)
  std::uint8_t cause;
  std::uint16_t at[3];
};

// Judges `text`, the bytes of a row's lines as rowRecord shows them (or of
// the record a stop names, `row` false), with the reader's own tokenizer:
// returns its cause bits with kCausesJudged, and appends the place of each
// cause, and of a slash, to `where` under `index`. A quick look at the bytes
// first: a record with no byte that could make a cause is not split. `known`
// is what the read that took the record says it can hold: a short record
// holds no cause, and a record of numbers is looked at only for a sign or a
// separator right after a digit or point.
std::uint8_t judgeRecordCauses(std::string_view text, bool row, std::uint32_t index, std::vector<CauseWhere>& where,
                               RowRecord known = RowRecord::Any);

struct LoadRecord {
  // Storage for kMaxRows entries each, filled up to `rows`: where each row's
  // statement found its first value and stopped (firstLine, lastLine: the
  // first line in the top 40 bits, the lines after it, up to 2^24 - 1, in
  // the low 24; stored from rowsOfOneLine() on), where the record of its first line starts in the file (-1:
  // unknown), and its three values as read (column 2 before it was
  // multiplied by 1000).
  static constexpr int kSpanBits = 24;
  static constexpr std::uint64_t kSpanMask = (std::uint64_t{1} << kSpanBits) - 1;
  std::uint64_t* rowPlaces = nullptr;
  long long* rowOffsets = nullptr;
  double* column2InFileUnits = nullptr;
  double* column1 = nullptr;
  double* column3 = nullptr;
  // Of the compared file only (null for the reference): each row's column 2
  // as written.
  WrittenForm* column2Written = nullptr;
  // Each row's record causes as judged while it was read (RecordCause bits;
  // 0: not judged, the record was not at hand whole).
  std::uint8_t* causes = nullptr;
  // The rows from the first that are one line each, on consecutive lines
  // from `firstRowLine` (as most tables are), have their places told by
  // that, not stored: the column's pages are not touched for them. Past
  // the first row that is not so, every row's place is stored.
  long long firstRowLine = 0;
  bool placesStored = false;  // a row was not so: rows from `plainRows` on are stored
  std::size_t plainRows = 0;
  long long nextPlainLine = 0;  // where the next row so starts; 0 before the first row, -1 once one was not so
  [[nodiscard]] std::size_t rowsOfOneLine() const { return placesStored ? plainRows : rows; }
  // Row i's place: told for the rows of one line from the first, stored
  // for the others.
  [[nodiscard]] static std::uint64_t placeOf(const std::uint64_t* stored, long long firstRowLine,
                                             std::size_t rowsOfOneLine, std::size_t i) {
    return i < rowsOfOneLine ? static_cast<std::uint64_t>(firstRowLine + static_cast<long long>(i)) << kSpanBits
                             : stored[i];
  }
  [[nodiscard]] static long long firstLineOf(std::uint64_t place) { return static_cast<long long>(place >> kSpanBits); }
  [[nodiscard]] static long long lastLineOf(std::uint64_t place) {
    return firstLineOf(place) + static_cast<long long>(place & kSpanMask);
  }
  [[nodiscard]] std::uint64_t place(std::size_t i) const {
    return placeOf(rowPlaces, firstRowLine, rowsOfOneLine(), i);
  }
  [[nodiscard]] long long firstLine(std::size_t i) const { return firstLineOf(place(i)); }
  [[nodiscard]] long long lastLine(std::size_t i) const { return lastLineOf(place(i)); }
  // Filled by the load.
  bool opened = false;       // the open and rewind statements succeeded
  bool titleRead = false;
  char title[kLineWidth];    // the line buffer right after the title statement
  std::size_t titleLength = 0;  // its bytes before the padding
  long long titleLine = 0;
  bool titleStored = true;      // the title statement stored a value; if not, `title` is what it left
  StatementOpener titleOpener = StatementOpener::Value;
  FormatCodeSeen code;          // how the title chose the layout
  HeaderLayout layout = HeaderLayout::Plain;
  bool headerRead = false;   // every header statement was executed
  // Each header number as its statement left it, before the division by 1000.
  HeaderValues fileUnits;
  bool headerNumberRead[4] = {};  // first, second, third, rate: a statement read into it
  char rateLabel[kLabelWidth];  // the label read with the rate (layouts 1 and 2)
  std::size_t rateLabelLength = 0;  // its bytes before the padding
  long long rateLine = 0;
  // Where each header statement after the title started (its first value,
  // null value or slash), in order: the first kMaxHeaderStatements -
  // kLastHeaderStatements of them and the last kLastHeaderStatements;
  // `headerStatementCount` counts them all.
  struct HeaderStatement {
    int statement;
    HeaderStatementKind kind;
    long long line;
  };
  static constexpr std::size_t kMaxHeaderStatements = 64;
  static constexpr std::size_t kLastHeaderStatements = 16;
  HeaderStatement headerStatements[kMaxHeaderStatements];
  std::size_t headerStatementsKept = 0;
  std::size_t headerStatementCount = 0;
  std::size_t rows = 0;
  long long cutShortRowLine = 0;  // a final row the end of the file cut short (dropped)
  std::size_t slashRows = 0;      // row statements a slash ended
  // Rows read from one record that held more than three values (the reader
  // ignored the values after the third): their count, and the first ones.
  struct SurplusRow {
    std::size_t row;
    long long line;
    std::uint32_t ignored;  // values after the third (of all but the first, only 1 for any)
  };
  static constexpr std::size_t kMaxSurplusRows = 5;
  SurplusRow surplusRows[kMaxSurplusRows];
  std::size_t surplusRowsKept = 0;
  std::size_t surplusRowCount = 0;
  // The first row whose statement read more than one line (0: none), and
  // what the reader saw of it.
  std::size_t firstMultiLineRow = 0;
  RowLines firstMultiLine;
  bool rowsPastLimit = false;     // the file holds more after row kMaxRows
  bool closed = false;
};

// Which pair to explain.
struct Request {
  bool fromControlFile = true;  // the pair named in ./CompareThese.inp
  std::string referenceName;    // otherwise these two, named directly
  std::string comparedName;
  std::size_t top = kDefaultTop;
  bool keepSquares = false;     // keep every compared row's square (for the picture)
  std::optional<double> failAbove;  // the limit of --fail-above, for its verdict
};

// Lines of a record shown, for a row read from more lines than this.
inline constexpr long long kMaxRecordLines = 4;
// A record is shown cut after this many characters (an escape counts as its
// length), so a row of the report stays readable.
inline constexpr std::size_t kShownRecordWidth = 60;

// One row's contribution to the total.
struct RowFacts {
  std::size_t row = 0;               // from 1
  long long referenceLine = 0;       // 0: the reference file has no such row
  long long comparedLine = 0;
  bool hasReference = false;
  double referenceValue = 0;         // column 2 as read (file units)
  double comparedValue = 0;
  // All three values as read, and the lines the row's statement spanned.
  double referenceValues[3] = {0, 0, 0};
  double comparedValues[3] = {0, 0, 0};
  long long referenceLastLine = 0;
  long long comparedLastLine = 0;
  // The record as it stands in each file, its lines joined by a line feed
  // (the first kMaxRecordLines lines of a row read from more): filled for
  // the listed rows, the largest and the first difference.
  std::string referenceRecord;
  std::string comparedRecord;
  double scaledDifference = 0;       // compared x 1000 - reference x 1000, as summed
  double square = 0;
  double share = 0;                  // square / total; 0 when the total is 0
};

// The rows that add most, largest first. Only each row's place and its
// records as written are kept; its other facts are made from the load's
// columns when asked, so a list of every row of a million costs a few bytes
// a row beside the columns. Holds pointers into the workspace, as LoadRecord
// does.
class TopRows {
 public:
  // One file's columns as its load filled them.
  struct Columns {
    const std::uint64_t* places = nullptr;  // LoadRecord::rowPlaces
    const double* values[3] = {nullptr, nullptr, nullptr};
    std::size_t rows = 0;
    // The rows of one line each whose places are not stored (LoadRecord::place).
    long long firstRowLine = 0;
    std::size_t rowsOfOneLine = 0;
  };
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = RowFacts;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = RowFacts;
    Iterator(const TopRows* rows, std::size_t k) : rows_(rows), k_(k) {}
    RowFacts operator*() const { return (*rows_)[k_]; }
    Iterator& operator++() {
      ++k_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return k_ == other.k_; }
    bool operator!=(const Iterator& other) const { return k_ != other.k_; }

   private:
    const TopRows* rows_;
    std::size_t k_;
  };

  // Empties the list, for the pair whose columns these are: `reference` is
  // the reference's scaled column 2 the sum ran over, `total` the sum.
  void start(const Columns (&files)[2], const double* reference, double total);
  // The facts of compared row `index` (from 0), made from the columns; its
  // records are not among them.
  [[nodiscard]] RowFacts factsOf(std::size_t index) const;
  // Room for `rows` listed rows, made once.
  void reserve(std::size_t rows);
  // Appends compared row `index` (from 0).
  void add(std::size_t index);
  // Room for `rows` listed rows in place of the list, for their compared
  // row indices (from 0) to be written in the list's order; keep(n) then
  // keeps the first n of them.
  [[nodiscard]] std::uint32_t* rowsToFill(std::size_t rows);
  void keep(std::size_t rows) { rows_.resize(std::min(rows, rows_.size())); }
  // The records of the next row without them, in the list's order (row 0
  // first); "" where a record was not read again, as for the rows after
  // the last given.
  void addRecords(std::string_view reference, std::string_view compared);

  [[nodiscard]] std::size_t size() const { return rows_.size(); }
  [[nodiscard]] bool empty() const { return rows_.empty(); }
  [[nodiscard]] std::size_t indexOf(std::size_t k) const { return rows_[k]; }
  RowFacts operator[](std::size_t k) const;
  // Listed row k's facts but its records, and its records as views of the
  // list's own text ("" where not read again): for a writer that shows
  // them, with no copy of the records made.
  [[nodiscard]] RowFacts factsWithoutRecords(std::size_t k) const { return factsFrom(gathered(k)); }
  // What the columns hold of one row, and its difference and square as
  // they entered the sum: a listed row's facts as the list keeps them, for
  // a writer of many rows, with no RowFacts made.
  struct Listed {
    std::uint64_t places[2];   // LoadRecord's place in each file (0 where the file has no such row)
    double values[2][3];
    double scaledDifference;
    double square;
    std::uint32_t index;       // compared row, from 0
    bool hasReference;
  };
  [[nodiscard]] const Listed& listed(std::size_t k) const {
    return k - chunkStart_ < chunk_.size() ? chunk_[k - chunkStart_] : gathered(k);
  }
  // A square's share of the total, as the facts give it.
  [[nodiscard]] double shareOf(double square) const { return total_ == 0 ? 0 : square / total_; }
  [[nodiscard]] std::pair<std::string_view, std::string_view> recordsOf(std::size_t k) const {
    if (2 * k + 1 >= recordEnds_.size()) return {};
    // The ends only grow, and the last is the text's size: no view runs past it.
    const char* text = text_.data();
    const std::size_t start = k == 0 ? 0 : recordEnds_[2 * k - 1];
    const std::size_t middle = recordEnds_[2 * k], end = recordEnds_[2 * k + 1];
    return {std::string_view(text + start, middle - start), std::string_view(text + middle, end - middle)};
  }
  // Calls each(k, listed(k), its share, its records as recordsOf(k) gives
  // them) for every listed row k in the list's order: for a writer of many
  // rows, the rows at hand walked in place and each record's start the end
  // of the one before, with no look-up a row.
  template <class Each>
  void forEachListed(Each&& each) const {
    const std::size_t withRecords = recordEnds_.size() / 2;
    const char* const text = text_.data();
    std::size_t from = 0;  // where the next record starts in text_
    for (std::size_t k = 0; k < rows_.size();) {
      const Listed* const at = &gathered(k) - (k - chunkStart_);
      const std::size_t end = chunkStart_ + chunk_.size();
      for (; k < end; ++k) {
        const Listed& row = at[k - chunkStart_];
        const double share = total_ == 0 ? 0 : row.square / total_;
        if (k < withRecords) {
          const std::size_t middle = recordEnds_[2 * k], last = recordEnds_[2 * k + 1];
          each(k, row, share, std::string_view(text + from, middle - from),
               std::string_view(text + middle, last - middle));
          from = last;
        } else {
          each(k, row, share, std::string_view(), std::string_view());
        }
      }
    }
  }
  // Whether listed row k has a record in either file (read again, not ""),
  // asked without the row's facts.
  [[nodiscard]] bool hasRecords(std::size_t k) const {
    return 2 * k + 1 < recordEnds_.size() && recordEnds_[2 * k + 1] > (k == 0 ? 0 : recordEnds_[2 * k - 1]);
  }
  // The first and last lines of listed row k in file `f` (0, 0 where the
  // file has no such row).
  [[nodiscard]] std::pair<long long, long long> linesOf(std::size_t k, int f) const;
  [[nodiscard]] Iterator begin() const { return {this, 0}; }
  [[nodiscard]] Iterator end() const { return {this, rows_.size()}; }

 private:
  [[nodiscard]] Listed gatheredOf(std::size_t index) const;
  [[nodiscard]] RowFacts factsFrom(const Listed& g) const;
  // Makes listed rows [k, k + kGathered) (or to the list's end) the ones at
  // hand, their columns read in the order of their rows rather than the
  // list's, so that a long list costs a pass over the columns rather than a
  // wait on memory for each value. The more rows at hand, the closer
  // together they lie in the columns (a list of every row of a million:
  // one row in eight rather than one in thirty), for 11 MiB of them.
  const Listed& gathered(std::size_t k) const;
  // gathered()'s making of the rows at hand from k, in order_, where every
  // compared row is a row of both files and of one line in each (the list
  // of most tables); false, having made none, where not.
  bool gatheredOfOneLine(std::size_t k) const;
  static constexpr std::size_t kGathered = std::size_t{1} << 17;

  Columns files_[2];
  const double* reference_ = nullptr;
  double total_ = 0;
  // An allocator whose elements made with no value are left unset: the
  // list made at its full length (rowsToFill) is written in full before it
  // is read.
  template <class T>
  struct Unset : std::allocator<T> {
    Unset() = default;
    template <class U>
    explicit Unset(const Unset<U>&) noexcept {}
    template <class U>
    void construct(U* at) noexcept {
      ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
      ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
  };
  std::vector<std::uint32_t, Unset<std::uint32_t>> rows_;  // compared row indices, from 0
  std::vector<std::uint32_t> recordEnds_;  // per row, where its reference and compared records end in text_
  std::string text_;
  // The listed rows at hand: from chunkStart_, chunk_.size() of them.
  mutable std::vector<Listed> chunk_;
  mutable std::size_t chunkStart_ = 0;
  mutable std::vector<std::uint32_t> order_;  // the chunk's places in it, by row
};

// What the system says of a name before it is read (links followed).
struct Presence {
  bool exists = false;
  int error = 0;             // why not: ENOENT when it does not exist, or ELOOP, EACCES...
  bool directory = false;
  bool regular = false;
  long long size = 0;        // in bytes
  // Which file it is, where it exists: two names of one file share both.
  unsigned long long device = 0, inode = 0;
};

// A file's records as written, read again through the reader's record
// access at the offsets its load gave (one open for the whole explanation,
// bounded as RecordAccess says): for showing records, never for values.
class RecordsAgain {
 public:
  explicit RecordsAgain(const std::string& name);
  // Walks the records from `offset` (the record of line `first`) to line
  // `last`; `each(line, record)` sees every one. False when it ended early.
  bool walk(long long offset, long long first, long long last,
            const std::function<void(long long, const FetchedRecord&)>& each);
  // Keeps the records of lines `first` to `last` (the first kMaxRecordLines
  // and the last, at most kMaxShownRecordBytes each) in `kept`.
  void keep(long long offset, long long first, long long last, RecordsByLine& kept);
  // Whether the access has read all it may: no record more can be read.
  [[nodiscard]] bool spent() const { return access_.bytesRead() >= kMaxFetchedBytes; }
  // Reads ahead the first bytes of the records at `offsets` (RecordAccess::readAhead).
  void readAhead(std::vector<long long> offsets) { access_.readAhead(std::move(offsets)); }

 private:
  RecordAccess access_;
};

struct FileFacts {
  bool named = false;        // the run got as far as having its name
  std::string name;          // trailing spaces removed
  Presence presence;
  bool loadStarted = false;  // loadDataFile was called (velmora would open it)
  bool loaded = false;       // the load returned
  LoadRecord record;         // what the load saw
  std::vector<long long> suspectLines;  // header records that read like table rows (the first kMaxSuspectLines)
  std::size_t suspectCount = 0;
  // The records after the title's line that the header passed over, up to
  // the one where its last statement stopped (blank ones too).
  std::size_t headerRecordsSeen = 0;
  long long headerLinesTold = 0;  // the header's records told so far, from line 1
  // Records as written, by line, read again at the offsets the load gave in
  // one pass after the run, for the findings and rows that show them (at
  // most kMaxShownRecordBytes each); the file is closed before any finding
  // is made.
  RecordsByLine records;
  // The values the first record of the first row read from more than one
  // line holds, as the reader split it while reading the row (0: not known).
  std::uint32_t multiLineHeld = 0;
  // Where the causes of the rows judged while read stand, in row order.
  std::vector<CauseWhere> causeWhere;
};

// Where velmora stops (the reader's facts of the stop, kept), and the two
// lines it writes.
struct StopSeen : StopFacts {
  std::optional<std::string> file;  // the file line 1 names, raw bytes
  std::string text;                 // both lines, each ending in a line feed
  std::string description;          // line 2 after "error: ", without its line feed
  bool wouldCreate = false;         // velmora would have created the missing file first
  // Where a symbolic link that leads nowhere points: velmora's open follows it
  // and creates (or fails to create) this file, not the link.
  std::optional<std::string> linkTarget;
  int dataFile = -1;                // the data file being handled (0, 1); -1: the control file
  // The causes of the record of `line`, judged while the reader held it
  // whole as it stopped (0: not judged), and where they stand.
  std::uint8_t causes = 0;
  std::vector<CauseWhere> causeWhere;
};

// What the control file's statements saw: each name's line, and how the
// second statement ended.
struct ControlStatementFacts {
  bool read = false;
  StatementOpener opener = StatementOpener::EndOfFile;  // only a value gives a name
  long long line = 0;       // where it found its first value, null value or slash; 0: none
  long long recordOffset = -1;
  long long openerOffset = -1;   // where what opened it starts (recordOffset + its place in `record`)
  bool endedBySlash = false;
  std::string name;         // the name the open asks for after it
  bool recordKnown = false; // `record` is known: the reader still held it whole when the statement ended
  std::string record;       // the line it started on, as written (at most kMaxShownRecordBytes)
  // `record` from what opened the statement on.
  [[nodiscard]] std::string_view fromOpener() const {
    if (!recordKnown || openerOffset < recordOffset) return record;
    const auto at = static_cast<std::size_t>(openerOffset - recordOffset);
    return at <= record.size() ? std::string_view(record).substr(at) : std::string_view();
  }
};

// The control file, when the pair comes from it.
struct ControlFacts {
  bool used = false;                // the pair is named in ./CompareThese.inp
  Presence presence;
  ControlStatementFacts names[2];
};

struct Explanation {
  ControlFacts control;
  FileFacts files[2];               // reference, compared
  bool compared = false;            // both loaded and summed
  double total = 0;
  std::string resultLine;           // 26 characters, no line feed
  std::size_t rowsCompared = 0;
  std::size_t rowsDiffering = 0;
  std::size_t rowsWithoutReference = 0;
  double shareWithoutReference = 0;
  std::optional<RowFacts> largest;
  TopRows top;                      // largest first; NaN before everything, ties by row
  std::vector<double> squares;      // every compared row's square, when asked
  // Likewise, each row's part of the first finding's residual, when that
  // finding is a relation, and the residual as text.
  std::vector<double> residualSquares;
  std::string residualTotal;
  // The texts of the findings that warn of a likely mistake (same-file,
  // no-header, header-records-like-rows, row-counts, rows-past-limit), in
  // their order: the JSON's `warnings`, kept for programs that read it.
  std::vector<std::string> warnings;
  std::optional<StopSeen> stop;
  std::vector<Finding> findings;    // most important first
  std::optional<double> failAbove;
  std::optional<RowFacts> firstDifference;
  // The relation search over the compared rows, made from what the loads
  // saw before any record is read again (its exceptions' records are among
  // those read); the relation findings take its relations.
  std::optional<RelationSearch> relationSearch;
};


// The columns and line numbers a comparison needs, allocated once in one
// anonymous mapping; a page costs nothing until it is made present for rows
// about to be stored (`prepare`). Past each column's first piece, its pages
// are asked for as large pages.
struct Workspace {
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  ReferenceColumn reference;
  std::uint64_t* rowPlaces[2] = {};
  long long* rowOffsets[2] = {};
  double* column2InFileUnits[2] = {};
  double* column1[2] = {};
  double* column3[2] = {};
  WrittenForm* comparedWritten = nullptr;  // the compared file's only
  std::uint8_t* causes[2] = {};
  // Positions a load may have written, zeroed again before the next use, so a
  // workspace can serve many explanations (tests, the fuzzer).
  std::size_t used[2] = {0, 0};
  // Makes the pages of file `f`'s columns present for its first `rows`
  // positions ahead of their stores, a large piece at a time: one call into
  // the kernel for each column's piece instead of a page fault for each of
  // its pages. Only a saving: where the kernel declines, the stores fault
  // the pages in as they come.
  void prepare(int f, std::size_t rows) {
    if (rows > prepared_[f]) prepareMore(f, rows);
  }

 private:
  void prepareMore(int f, std::size_t rows);
  void* storage_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t prepared_[2] = {0, 0};  // positions whose pages are present (or left to fault in)
};

// Row `index` (from 0) of file `f` as written: its lines joined by a line
// feed (the first kMaxRecordLines), as the pass after the run kept them;
// "" when not kept.
std::string rowRecord(const Explanation& facts, int f, std::size_t index);

// Runs the comparison as velmora would and says what it saw. Every stop of
// velmora's becomes `stop` (with everything learned before it); nothing is
// written anywhere and the process never ends here. Memory that cannot be
// had is std::bad_alloc, whatever asked for it.
void explainPair(const Request& request, Workspace& workspace, Explanation& out);

// When velmora's open of `name` (trailing spaces removed) on `channel` would not
// give a file it can read, stops through the fatal funnel with the very two
// lines velmora would write, at the statement where it would stop; returns when
// the file can be read. Never creates or changes anything:
//   missing, directory writable  -> velmora creates it empty: end of file at `firstRead`
//   missing, cannot be created   -> open failure at `open` (the reason of its last attempt)
//   a link that leads nowhere    -> as a missing file, for the file the link names
//                                   (velmora's open creates that file, not the link)
//   a name ending in a slash     -> open failure at `open`: Is a directory (a creating
//                                   open refuses it), unless its folder cannot be reached
//   a directory                  -> open failure at `open`: Is a directory
//   writable but not readable    -> cannot read at `firstRead`
//   neither                      -> open failure at `open`: Permission denied
//   a program being run          -> open failure at `open`: Text file busy
//   a named pipe                 -> input/output error at `rewind`: Illegal seek
// The attempts and the stop are velmora's own open rules (followOpenRules,
// stopAfterOpen), each attempt answered by what the system says of the file
// and its folder; where the answer can be had from the system itself without
// a trace, it is asked (an unnamed file made in the folder, which vanishes
// when closed; an open for writing of a program file, closed at once).
// `wouldCreate` is set when velmora would have created the file, and
// `linkTarget` to the file a link that leads nowhere names.
void predictOpen(std::string_view name, int channel, const OpenStatements& statements,
                 bool& wouldCreate, std::optional<std::string>& linkTarget);

// The most bytes of a record kept for showing; a longer record is cut.
inline constexpr std::size_t kMaxShownRecordBytes = 4096;

}  // namespace velmora::explain
