// Channels and statements: text files opened on numbered channels by the open
// rules and read as a sequence of read statements, each filling an ordered
// list of items by the value rules (freeformat.h sums them up). Every
// failure goes through the fatal funnel (stop.h); the one condition handed
// back is the end of the file in a statement that accepts it.
// A guard rather than #pragma once: the build also copies the public headers
// into a directory of their own, and a file that reaches both copies must
// read only one.
#ifndef VELMORA_FREEFORMAT_READER_H
#define VELMORA_FREEFORMAT_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "stop.h"

namespace velmora {

namespace detail {
struct Token;
struct TokenState;
}  // namespace detail

// ---------------------------------------------------------------------------
// Statement items.

// A fixed-width text target of `width` bytes. A value is stored left-justified,
// blank-padded when shorter, cut to its leftmost `width` bytes when longer.
struct TextItem {
  char* chars;
  std::size_t width;
};

// A double target: a number is converted to the nearest double, halfway cases
// to even; beyond the range it becomes an infinity of its sign, below it the
// nearest subnormal or a zero of its sign.
struct NumberItem {
  double* target;
};

// One item of a statement: text or number, as it was made.
class Item {
 public:
  enum class Kind : std::uint8_t { Text, Number };
  Item(TextItem text)  // NOLINT: implicit on purpose
      : chars_(text.chars), width_(static_cast<std::uint32_t>(text.width)), kind_(Kind::Text) {}
  Item(NumberItem number) : number_(number.target), kind_(Kind::Number) {}  // NOLINT
  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] bool isNumber() const { return kind_ == Kind::Number; }
  [[nodiscard]] double* number() const { return isNumber() ? number_ : nullptr; }
  [[nodiscard]] char* chars() const { return isNumber() ? nullptr : chars_; }
  [[nodiscard]] std::size_t width() const { return isNumber() ? 0 : width_; }

 private:
  // Two words, as a statement builds its items for every record it reads (a
  // text item is never near 4 GiB wide: see kMaxTextWidth).
  union {
    char* chars_;
    double* number_;
  };
  std::uint32_t width_ = 0;
  Kind kind_;
};

// The widest text item the reader supports. An unquoted text value, and any
// value a repeat form hands on, is collected in a scratch buffer of this size
// before it is stored, so this caps every text item, not only repeated ones:
// a wider TextItem is a programming error (an assertion).
inline constexpr std::size_t kMaxTextWidth = 256;

enum class ReadStatus { Ok, EndOfFile };

// What a statement found first, after the blanks and record ends it passed
// over: a value, a null value (a comma or semicolon), a slash, or the end of
// the file.
enum class StatementOpener : std::uint8_t { Value, NullValue, Slash, EndOfFile };

// The longest file name a channel takes. The operating system refuses longer
// ones (its limit on a path, 4096 bytes with the terminating NUL), and so does
// open, with the same reason.
inline constexpr std::size_t kMaxNameLength = 4095;

// The name an open asks for: trailing spaces are not part of it.
//   "a.dat   " -> "a.dat"     " a b " -> " a b"     "a\t" -> "a\t"
std::string_view fileNameOf(std::string_view name);

// ---------------------------------------------------------------------------
// The open rules: which attempts an open makes, and when it gives up. One pure
// function, executed by FreeFormatReader::open with the operating system's
// answers, and open to a caller that evaluates it on answers of its own (a
// prediction of what an open would do), so both follow the same rules.
//
// Before any attempt, the name itself: an empty name or one holding a NUL byte
// cannot be asked for (ENOENT: the system would stop at the NUL and open a
// shorter name), nor one longer than kMaxNameLength (ENAMETOOLONG).
// A creating open (the run's) asks:
//   1. read-write, creating a missing file (mode 0666 less the umask);
//   2. refused for lack of permission (EPERM, EACCES) or a read-only file
//      system (EROFS): read-only;
//   3. refused for lack of permission or because the file does not exist
//      (ENOENT): write-only, creating a missing file.
// A read-only open asks once, read-only. Any other refusal gives up: the open
// fails with the reason of the last attempt.
enum class OpenAttempt : std::uint8_t { ReadWriteCreate, ReadOnly, WriteOnlyCreate, GiveUp };

// The reason a name cannot be asked for at all, or 0.
int unaskableNameError(std::string_view name);

OpenAttempt firstOpenAttempt(bool createMissing);

// The attempt after `refused` was refused with `error` (an errno value).
//   creating:  (ReadWriteCreate, EACCES) -> ReadOnly   (ReadWriteCreate, EISDIR) -> GiveUp
//              (ReadOnly, ENOENT) -> WriteOnlyCreate   (ReadOnly, EISDIR) -> GiveUp
//              (WriteOnlyCreate, anything) -> GiveUp
//   read-only: (ReadOnly, anything) -> GiveUp
OpenAttempt nextOpenAttempt(bool createMissing, OpenAttempt refused, int error);

// The outcome of following the rules: the attempt that was granted (its
// result, a descriptor for the reader, in `granted`), or GiveUp and the reason
// of the last refusal.
struct OpenOutcome {
  OpenAttempt attempt;
  int granted = -1;
  int error = 0;
};

// Follows the rules, asking `ask(attempt)` for each attempt: a result >= 0
// grants it, a negative one is the refusal's -errno.
template <class Ask>
OpenOutcome followOpenRules(std::string_view name, bool createMissing, Ask&& ask) {
  if (const int error = unaskableNameError(name); error != 0) return {OpenAttempt::GiveUp, -1, error};
  OpenAttempt attempt = firstOpenAttempt(createMissing);
  for (;;) {
    const int result = ask(attempt);
    if (result >= 0) return {attempt, result, 0};
    const OpenAttempt next = nextOpenAttempt(createMissing, attempt, -result);
    if (next == OpenAttempt::GiveUp) return {OpenAttempt::GiveUp, -1, -result};
    attempt = next;
  }
}

// What the file an open reaches is, as the system tells it before the open.
enum class FileKind : std::uint8_t { Regular, Fifo, Directory, Missing, Other };

// Which statement of a file's first reads stops after its open, and how.
enum class OpenStep : std::uint8_t { None, Open, Rewind, FirstRead };
struct OpenStop {
  OpenStep step = OpenStep::None;
  Failure kind = Failure::IoError;
  int osError = 0;
};

// Where an open with `outcome`, of a file of `kind`, stops the statements
// that open it, rewind it and read its first record. The first that applies:
//   given up                  -> open failure at the open (its last reason)
//   a named pipe              -> input/output error at the rewind: Illegal seek
//   granted write-only        -> cannot read at the first read
//   missing (created empty)   -> end of file at the first read
//   anything else             -> no stop: the file is read
OpenStop stopAfterOpen(const OpenOutcome& outcome, FileKind kind);

// A look at a file's bytes as the reader reads them from it: `bytes` gets
// each piece once, in the file's order, right after it is read, and an empty
// piece when the reader meets the end of the file.
struct ByteTap {
  void* context = nullptr;
  void (*bytes)(void* context, std::string_view piece) = nullptr;
};

// What a row's record can hold, as the read that took it knows: for
// describing records without looking at every byte again.
enum class RowRecord : std::uint8_t {
  // Anything: read by the general rules, or more follows its last value.
  Any,
  // Taken whole by the short record's read: before its line feed, at most 31
  // bytes of spaces, digits, points and minus signs, each minus the first
  // byte of a value. No tab, carriage return, comma, semicolon, slash, quote,
  // asterisk, exponent, control byte or byte from 0x80 on.
  Short,
  // Taken whole by the one-pass read: the row's values, each a number the
  // number entry point took (digits, point, signs, an exponent letter, or the
  // words Inf, Infinity, NaN), blanks (space, tab, carriage return) around
  // them and at most one comma or semicolon between two, nothing but blanks
  // after the last. No slash, quote, asterisk, other control byte or byte
  // from 0x80 on; a sign right after a value's digits (an exponent) and a
  // separator right between two digits may be among them.
  Numbers,
};

// What the reader saw of one row statement, filled only when asked for.
struct RowLines {
  long long first = 0;          // line where the statement found its first value, null value or slash
  long long last = 0;           // line where it stopped (its last value, or the slash)
  std::uint32_t valuesHeld = 0; // values the records it read held, counted to the end of the last record
  std::uint32_t ignored = 0;    // of those, the values after its last item on the last record (discarded
                                // unexamined for validity, but counted by the value-splitting rules;
                                // only 1 for any, where the table's read asks no count)
  bool endedBySlash = false;
  // What the read told of the record on its way, bits of kTold* (0:
  // nothing). kToldSecondForm: how the second item's value is written, for a
  // record of numbers taken whole whose second value ends within its first
  // 64 bytes and is written as a digit, a point, digits and an exponent of a
  // letter, a sign and two digits ("-6.7377624805292657e-05"):
  // `secondDecimals`, the digits after the point less the exponent (0 at
  // least), and `secondSignificant`, the digits from the first nonzero one to
  // the exponent, the point not among them; for a short record (RowRecord::
  // Short) read with its masks, the same of its second value, without
  // exponent. kToldUsualExponents: every value
  // of the record is written so and followed by a blank, so that no sign,
  // comma or semicolon stands right after a digit or point anywhere in it.
  // kToldShortOneLine, with kToldSecondForm: a short record read whole on
  // one line (first == last), its start known (offset >= 0), not ended by a
  // slash (record RowRecord::Short), all told by one bit.
  std::uint8_t told = 0;
  std::uint8_t secondDecimals = 0;
  std::uint8_t secondSignificant = 0;
  static constexpr std::uint8_t kToldSecondForm = 1, kToldUsualExponents = 2, kToldShortOneLine = 4;
  long long offset = -1;        // where the record of `first` starts, in bytes from the file's start; -1: unknown
  RowRecord record = RowRecord::Any;
};

// For a table read with lines whose rows are held (TableRead::rowsHeld):
// room for a run of rows told as a run rather than by a RowLines each. The
// run's rows are records read whole on one line each, their starts known,
// none ended by a slash, none with a value after its third, all alike in
// what the read told of them (`told`, `record`): either short records
// (RowRecord::Short, kToldShortOneLine with kToldSecondForm), or records of
// numbers in the usual exponent form read by their pattern (RowRecord::
// Numbers, kToldUsualExponents with kToldSecondForm). The run's rows lie on
// consecutive lines from `firstLine`.
struct ToldRunRows {
  long long* offsets = nullptr;  // room for the table's capacity: each record's start, bytes from the file's start
  std::uint8_t* forms = nullptr; // room for twice that: each row's secondDecimals and secondSignificant
  std::size_t rows = 0;          // set by each call: its rows told so (0: none, all told in RowLines)
  long long firstLine = 0;       // the line of the run's first row
  std::uint8_t told = 0;         // RowLines::told of each of its rows
  RowRecord record = RowRecord::Any;
};

// The RowLines of row k of a run told as a run (ToldRunRows), as the
// reader would have told it.
inline RowLines toldRunLines(const ToldRunRows& run, std::size_t k) {
  const long long line = run.firstLine + static_cast<long long>(k);
  return RowLines{.first = line, .last = line, .valuesHeld = 3, .ignored = 0, .told = run.told,
                  .secondDecimals = run.forms[2 * k], .secondSignificant = run.forms[2 * k + 1],
                  .offset = run.offsets[k], .record = run.record};
}

// For a table read with lines: whether the values after a row's last item
// are counted one by one, for rows read from one record and for rows read
// from more.
struct IgnoredCounting {
  bool oneRecord = true;
  bool moreRecords = true;
};

// The most number items a row of a table may have.
inline constexpr int kMaxRowItems = 8;

// Every item of a row converted (TableRead::convertItems).
inline constexpr std::uint32_t kAllRowItems = (std::uint32_t{1} << kMaxRowItems) - 1;

// One call's share of a table: up to `capacity` row statements of
// `itemsPerRow` number items each (1 to kMaxRowItems).
struct TableRead {
  int itemsPerRow = 3;
  int statement = 0;            // the statement number its diagnostics carry
  double* values = nullptr;     // room for itemsPerRow * capacity; every row's items start at zero, so an
                                // empty field (a null value, items after a slash) reads as 0
  // Which items the caller keeps: bit k for item k + 1. Every value is read
  // and checked the same way (a bad one stops the run with the same
  // diagnostic), but only these are converted to doubles; an item not in
  // the set holds either zero or its value afterwards, whichever was
  // cheaper for the record.
  std::uint32_t convertItems = kAllRowItems;
  RowLines* lines = nullptr;    // nullptr: not wanted (the fast case); else room for capacity
  std::size_t capacity = 0;
  // With `lines`: which rows count every value after their last item
  // (RowLines::ignored); the others only note whether one follows (1 if
  // so), so a record of many values costs no more than a short one.
  IgnoredCounting ignoredCounting;
  // With `lines`, rows of three with every item kept, for a caller that
  // takes each row's record from the buffer after the call: every row the
  // call returns is still whole in the buffer, and a stop comes only before
  // the call's first row. A row the faster reads do not take (which the
  // general rules may read past the buffer) is read alone in a call, and a
  // call ends after a row read from more than one record; oneRecord holds
  // only up to the first row of one record with values after its last item.
  bool rowsHeld = false;
  // With rowsHeld, where a call's rows from its first are rows a run tells
  // (ToldRunRows): they are told in `run` only (their RowLines are not
  // written), and the call ends after them.
  ToldRunRows* run = nullptr;
};

}  // namespace velmora

// The reader's state, apart from its contract: the members of its private
// base (it names the types above).
#include "readerstate.h"

namespace velmora {

// ---------------------------------------------------------------------------
// One numbered channel.
//
// Calling order per file: open, rewind, any number of reads, close; the channel
// can then be opened again. Creating two readers for one channel number, or
// opening a reader that is already open, is a programming error (assert).
//
// Memory: one block buffer of fixed size (64 KiB, plus a sentinel and padding),
// allocated when the reader is created (running out of memory is fatal), so
// that a program can make its allocations before it opens any file; reading
// never allocates, and no record or value length makes it grow.
//
// Speed: a record of number items only, its values in the usual forms and
// separated by blanks (spaces, tabs) with at most one comma or semicolon
// between two of them, is read in one pass; values after the statement's
// last item are discarded unseen, as the general rules discard them. A short
// record (at most 31 bytes of spaces, digits, points and minus signs, its
// values plain decimals, as tables of fixed decimals and integers have) is
// classified whole from two sixteen-byte loads. Any other record (a quote,
// slash, asterisk, a lone carriage return, a null value, too few values, an
// uncommon number form, the end of the buffer) is read by the general rules
// from its start, so the result is the same either way.
class FreeFormatReader : private detail::ReaderState {
 public:
  explicit FreeFormatReader(int channel);
  ~FreeFormatReader();
  FreeFormatReader(const FreeFormatReader&) = delete;
  FreeFormatReader& operator=(const FreeFormatReader&) = delete;

  // Allocates one block buffer ahead (fatal when out of memory) and keeps it
  // for the next reader created, which takes it instead of allocating and
  // hands it back when destroyed (a reader frees a buffer it allocated). A
  // program that creates a reader after its first open, one at a time, calls
  // this first, so that reader allocates nothing.
  static void reserveBuffer();

  // The folder a relative name is opened from: the working directory
  // (AT_FDCWD) unless another is named by an open descriptor of it, so that
  // a folder's files can be read without changing the process's working
  // directory. Like the channels, it is the process's; returns the previous
  // one.
  static int setNameFolder(int folder);

  // Connects the named file (trailing spaces are not part of the name), by
  // the open rules above for a creating open. Fatal: already open on another
  // channel (same device and inode), or no attempt succeeded.
  void open(std::string_view name, int statement);

  // Connects the named file for reading only: never creates, never writes.
  // The same name rules, already-open check and diagnostics as open(); the
  // operating system's refusal (a missing file too) is an open failure.
  void openReadOnly(std::string_view name, int statement);

  // Seeks to the first record. Always asks the operating system, so a file
  // that cannot seek fails here (input/output error) instead of blocking.
  void rewind(int statement);

  // Executes one read statement; the end of the file is fatal.
  void read(std::span<const Item> items, int statement);

  // Executes one read statement that accepts the end of the file: EndOfFile
  // when the file ends before every item is filled (items filled before the
  // end keep their values, the rest are unchanged).
  [[nodiscard]] ReadStatus readOrEnd(std::span<const Item> items, int statement);

  // Executes row statements that accept the end of the file, each of
  // table.itemsPerRow number items into the next row of table.values (the
  // row's items set to zero first), and with table.lines what each saw.
  // Returns how many rows were read completely; fewer than table.capacity
  // only when the file ended or table.rowsHeld ended the call (at the end of
  // the file tableEnded() is true, and a last row cut
  // short by the end of the file is not counted, its items are left at zero,
  // and statementLine() gives the line where it started, 0 when there was
  // none). Never reads a byte past the record where the last requested row
  // stopped, so a caller limiting rows reads nothing beyond its limit. Every
  // other failure is fatal, as in any statement. After it, statementLine(),
  // statementEndLine() and endedBySlash() describe the last row statement.
  std::size_t readRows(const TableRead& table);

  // Whether anything but blanks and record ends follows the record where
  // the last statement stopped (a value, a null value, a slash). Reads on as
  // far as it must to tell; the next statement starts where it would have.
  [[nodiscard]] bool holdsMore();

  // Whether the last readRows() call met the end of the file.
  [[nodiscard]] bool tableEnded() const { return tableEnded_; }

  // Releases the file, keeping it on disk; the channel is free again.
  void close(int statement);

  // The line of the file (from 1; line feeds end records) where the last
  // statement found its first value, null value or slash; 0 when it found
  // none before the end of the file.
  [[nodiscard]] long long statementLine() const { return statementLine_; }

  // The line where the last statement stopped: its last item's value (for a
  // quoted text, its closing delimiter) or its slash; at the end of the
  // file, the file's last line (0 for an empty file).
  [[nodiscard]] long long statementEndLine() const { return statementEndLine_; }

  // Whether the last statement was ended by a slash.
  [[nodiscard]] bool endedBySlash() const { return endedBySlash_; }

  // Of the last statement executed by read() or readOrEnd():
  // what it found first, and where the record holding it starts, in bytes
  // from the start of the file (-1: the end of the file came first, or the
  // start is no longer known). Rows of readRows() say theirs in RowLines.
  [[nodiscard]] StatementOpener statementOpener() const { return opener_; }
  [[nodiscard]] long long statementRecordOffset() const { return statementOffset_; }
  // Where what it found first starts (the value's first byte, the comma or
  // the slash), when statementRecordOffset() is known; -1 otherwise.
  [[nodiscard]] long long statementOpenerOffset() const { return openerOffset_; }

  // The bytes of the record that starts at `offset` in the file (without its
  // line feed), while the buffer holds the whole of it as read: the record a
  // statement started on, shown without reading the file again. Empty when
  // the buffer no longer holds its start, or not yet its end.
  [[nodiscard]] std::string_view bufferedRecord(long long offset) const;
  // Likewise, the `count` records from the one that starts at `offset`, with
  // the line feeds between them (not the last one's): none when the buffer
  // does not hold them all whole. One record held and empty is an empty view.
  [[nodiscard]] std::optional<std::string_view> bufferedRecords(long long offset, long long count) const;
  // The `length` bytes from `offset` in the file, while the buffer holds
  // them all; empty otherwise.
  [[nodiscard]] std::string_view bufferedBytes(long long offset, std::size_t length) const {
    const char* base = buffer_.get();
    if (base == nullptr || offset < bufferOffset_ ||
        offset + static_cast<long long>(length) > bufferOffset_ + (end_ - base)) {
      return {};
    }
    return {base + (offset - bufferOffset_), length};
  }

  // How many text values the reader has stored, and how many bytes of the
  // last one its item holds before the blank padding (never more than the
  // item's width). A caller tells by the count whether a statement stored
  // one: a null value, a slash or a null repeat stores none.
  [[nodiscard]] std::uint64_t textValuesStored() const { return textStores_; }
  [[nodiscard]] std::size_t lastTextLength() const { return lastTextLength_; }

  // Hands every byte read from the file from now on to `tap`, up to close()
  // or another tap (one with no `bytes`: none). Set right after rewind(),
  // it sees the whole file as far as the statements read it.
  void tapBytes(ByteTap tap) { tap_ = tap; }

  // The line of the next byte to be read: every record before it has been
  // read past.
  [[nodiscard]] long long nextLine() const { return line_; }

  // How many bytes of the file the reader has read so far (a tap set now
  // sees the next byte at this offset).
  [[nodiscard]] long long bytesRead() const {
    return end_ == nullptr ? bufferOffset_ : bufferOffset_ + (end_ - buffer_.get());
  }

  [[nodiscard]] int channel() const { return channel_; }
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }

 private:
  // Where a value's bytes go when it is text, and what gatherValue met of an
  // unquoted value (reader.cpp).
  struct TextSink;
  struct GatheredValue;

  void openWith(std::string_view name, int statement, bool readOnly);
  ReadStatus readStatement(std::span<const Item> items, int statement, bool acceptEnd);
  ReadStatus execute(std::span<const Item> items, int statement, bool acceptEnd);
  // The faster reads of one record (reader.cpp), for any way of naming the
  // items' targets.
  template <class Targets>
  bool readRecordFast(Targets targets, std::size_t count, std::uint32_t convert, RowLines* lines,
                      bool& tryShort);
  template <class Targets>
  bool readShortRecord(Targets targets, std::size_t count, std::uint32_t convert, const char* p, long long line,
                       RowLines* lines);
  void placeAfterWholeRecords(const char* next, long long lastLine);
  template <class Targets>
  std::size_t readShortRows(double* row, std::size_t count, std::uint32_t convert, std::size_t rows);
  static constexpr int kNoLines = 0, kWithLines = 1, kAnyLines = 2;
  template <int kItems, int kLines, std::uint32_t kConvert, bool kBlockRead>
  std::size_t readTable(const TableRead& table);
  std::size_t readLinedRows(const TableRead& table);
  std::size_t readLinedRowsFrom(const TableRead& table, std::size_t n, bool shortTried);
  void noteSurplusRows(const RowLines* lines, std::size_t rows);
  std::size_t readLinedShortRows(double* row, RowLines* lines, std::size_t rows, bool rowsHeld);
  std::size_t readShortRunRows(double* row, ToldRunRows& run, std::size_t rows, const char* from, long long line);
  std::size_t readLinedLongRows(double* row, RowLines* lines, std::size_t rows, ToldRunRows* run);
  void readRowGeneral(double* row, int itemsPerRow, int statement, RowLines* lines);
  std::uint32_t valuesInRestOfRecord(bool exact);
  long long lastLineOfFile() const;
  detail::Token nextToken(detail::TokenState& tokens);
  void readValue(const Item& item, int itemNumber, const detail::Token& token, detail::TokenState& tokens);
  GatheredValue gatherValue(detail::Token piece, detail::TokenState& tokens, bool keep, TextSink* text);
  bool foldLongNumber();
  void startRepeat(std::uint64_t count, const Item& item, int itemNumber, long long line,
                   detail::TokenState& tokens);
  void applyRepeat(const Item& item, int itemNumber);
  std::size_t readQuoted(detail::Token piece, detail::TokenState& tokens, char* destination, std::size_t width,
                         int itemNumber);
  void noteTextStored(std::size_t length) {
    ++textStores_;
    lastTextLength_ = length;
  }
  void discardRestOfRecord();
  void startAtFirstRecord();
  long long recordOffsetAt(const char* at) const;
  long long fastRecordOffset() const;
  long long recordStartOffset(const char* start) const;
  void noteKnownRecord(long long offset, const char* start, const char* lineFeed);
  void notedFastRecord();
  bool refill();
  void markEnd();
  int peek() {
    if (pos_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*pos_);
  }
  [[noreturn]] void fail(Failure kind, int item = 0, long long line = 0, int osError = 0) const;
};

}  // namespace velmora

#endif  // VELMORA_FREEFORMAT_READER_H
