// Free-format input: text files opened on numbered channels and read as a
// sequence of read statements, each filling an ordered list of items.
//
// Value rules, in short (a byte is a character; no encoding is assumed):
//   separators   comma, semicolon, slash, blanks (space, tab, a carriage return
//                not followed by a line feed); blanks around a comma belong to it;
//                a record end (line feed, or CR LF) acts as a blank
//   "1, 2 ;3"     -> 1, 2, 3          "1,,3"  -> 1, null, 3 (item 2 unchanged)
//   "1 /"        -> 1, the slash ends the statement, later items unchanged
//   "3*7"        -> 7, 7, 7           "2*"    -> two null values
//   "'a, b'"     -> text a, b         "'it''s'" -> text it's
//   numbers      12  12.  .5  -1.5e3  1.0D+03  1.5+3 (= 1500)  Inf  -infinity  NaN
//   not numbers  .  +  1.5E  0.5C  1..2  'quoted'  0*1 (a zero repeat count)
// A statement starts at the first record not consumed by the previous one, goes
// on over as many records as it needs, and the rest of the record where it
// stopped is discarded. Records and values have no length limit and are read
// in the reader's one fixed buffer (a number longer than it is read on in
// place, its digits beyond those that can matter folded away).
//
// Every failure is fatal: it goes through stopRun(), which writes the two-line
// diagnostic and ends the process with status 2. The one condition handed back
// is the end of the file in a statement that accepts it (ReadStatus::EndOfFile).
// A guard rather than #pragma once: the build also copies this header alone
// into a public directory, and a file that reaches both copies (the reader's
// own sources and tests) must read only one.
#ifndef VELMORA_FREEFORMAT_FREEFORMAT_H
#define VELMORA_FREEFORMAT_FREEFORMAT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

// ---------------------------------------------------------------------------
// The fatal funnel.

enum class Failure {
  OpenFailure,  // no open attempt succeeded
  AlreadyOpen,  // the file is already open on another channel
  EndOfFile,    // the file ended inside a statement that does not accept it
  BadNumber,    // a value for a number item is not a number, or a zero repeat count
  BadText,      // a closing quote is followed by something other than a separator
  CannotRead,   // the channel's file was opened for writing only
  IoError,      // the operating system refused a read, seek, close or write
  OutOfMemory,  // storage the run needs could not be allocated (before any file is opened)
};

// What a fatal condition knows about itself: the plain facts, which a
// handler may copy as they are, and the names. Names are raw bytes; the
// funnel escapes them for display.
struct StopFacts {
  Failure kind = Failure::IoError;
  int statement = 0;
  int channel = 0;
  long long line = 0;          // line of the file for a bad number or bad text
  int item = 0;                // position of the item in its statement, from 1
  int osError = 0;             // errno for an open failure or input/output error
  std::size_t bytes = 0;       // the size of an allocation that failed
  long long recordOffset = -1; // where the record of `line` starts in the file; -1: unknown
};
struct StopContext : StopFacts {
  std::string_view file;       // the channel's file; empty when it has none
  std::string_view openName;   // the name that could not be opened
};

// What a handler is handed: the stop's facts, and its two lines as written to
// standard error (each ending in a line feed, NUL-terminated), always whole
// however long a name is. The names and the text live only while the handler
// runs: a handler that throws copies what it keeps.
struct StopReport : StopContext {
  const char* text = "";
  std::size_t textLength = 0;
  // Where line 2's description starts in `text` (after "error: "), so a
  // reader of the report takes it by place, never by searching the text.
  std::size_t descriptionStart = 0;
};

// A handler sees every fatal condition before the process ends. The default
// one writes the text to standard error and exits with status 2; a caller
// that must go on after a stop installs one that throws, so the stop can be
// observed in-process. If a handler returns, the default action follows.
using StopHandler = void (*)(const StopReport&);
StopHandler setStopHandler(StopHandler handler);

// A failure kind's words on line 2, before what follows them (the name and
// reason, the item, the size):
//   OpenFailure -> "cannot open "      BadNumber -> "bad number in item "
const char* failureWords(Failure kind);

// Bytes as a diagnostic shows a name: bytes 0x00 to 0x1F and 0x7F as \xHH (two
// lowercase hex digits), a backslash doubled, every other byte as it is, so
// that a hostile name cannot drive the terminal and can be read back.
//   "a\tb" -> "a\\x09b"     "c:\\d" -> "c:\\\\d"
// `put` receives the shown text in pieces.
template <class Put>
void showName(std::string_view bytes, Put&& put) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t plain = 0;  // bytes shown as they are, not yet handed on
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const bool control = byte < 0x20 || byte == 0x7f;
    if (!control && byte != '\\') continue;
    put(bytes.substr(plain, i - plain));
    if (control) {
      const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
      put(std::string_view(escaped, 4));
    } else {
      put(std::string_view("\\\\", 2));
    }
    plain = i + 1;
  }
  put(bytes.substr(plain));
}

// The one place where a fatal condition becomes its diagnostic and the exit status.
[[noreturn]] void stopRun(const StopContext& context);

// Storage of `bytes` bytes could not be had (`osError` says why): the stop
// for it, which names no statement, channel or file.
[[noreturn]] void stopOutOfMemory(std::size_t bytes, int osError);

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
// a wider TextItem is a programming error (an assertion). The tool's own
// items are 72 and 16 bytes wide.
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

// How a record splits into values by the reader's rules: `values` counts every
// value it holds up to a slash (a null value is one, a repeat form r*v or r*
// is r of them), `numbers` those that read as numbers, and `plain` says it
// holds no null value, slash, repeat form or quote. A record of a table row
// read whole from one record is {3, 3, plain}.
struct RecordShape {
  std::uint32_t values = 0;
  std::uint32_t numbers = 0;
  bool plain = true;
};

// How one record (its bytes without the line feed) splits into values by the
// reader's rules, as a statement with items enough would read it from the
// record's start: `values` counts every value it holds up to a slash (a null
// value is one, a repeat form r*v or r* is r of them), `numbers` those that
// read as numbers, and `plain` says the record holds no null value, slash,
// repeat form or quote.
//   "1 2 3"        -> {3, 3, plain}      "1,,3"       -> {3, 2, not plain}
//   "Rate 0.25 x"  -> {3, 1, plain}      "3*7 x"      -> {4, 3, not plain}
//   "1 / 2 3"      -> {1, 1, not plain}  "'a b', 2"   -> {2, 1, not plain}
//   ", 5"          -> {2, 1, not plain}  ""  "  \t"   -> {0, 0, plain}
//   "1.5E 2"       -> {2, 1, plain}      "2*"         -> {2, 0, not plain}
RecordShape describeRecord(std::string_view record);

// What the reader saw of one row statement, filled only when asked for.
struct RowLines {
  long long first = 0;          // line where the statement found its first value, null value or slash
  long long last = 0;           // line where it stopped (its last value, or the slash)
  std::uint32_t valuesHeld = 0; // values the records it read held, counted to the end of the last record
  std::uint32_t ignored = 0;    // of those, the values after its last item on the last record (discarded
                                // unexamined for validity, but counted by the value-splitting rules)
  bool endedBySlash = false;
  long long offset = -1;        // where the record of `first` starts, in bytes from the file's start; -1: unknown
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
};

// ---------------------------------------------------------------------------
// A file's records as written, read again at the offsets a reader gave
// (RowLines::offset, FreeFormatReader::statementRecordOffset()): for showing
// records, never for reading values out of them. One open, for reading only,
// never creating; every read is bounded: a record is taken up to
// kMaxFetchedRecord bytes, and one access reads at most kMaxFetchedBytes in
// all (a record asked for past that is not read).
inline constexpr std::size_t kMaxFetchedRecord = std::size_t{64} << 10;
inline constexpr std::size_t kMaxFetchedBytes = std::size_t{3} << 20;

struct FetchedRecord {
  std::string bytes;      // up to the line feed, without it (a CR before it is kept)
  bool cut = false;       // the record goes on past kMaxFetchedRecord bytes
  RecordShape shape;      // how the reader splits it; for a cut record, its first bytes
  long long next = -1;    // where the next record starts; -1: the file ends here, or cut
};

class RecordAccess {
 public:
  explicit RecordAccess(std::string_view name);
  ~RecordAccess();
  RecordAccess(const RecordAccess&) = delete;
  RecordAccess& operator=(const RecordAccess&) = delete;
  // The record starting at `offset`; false when the file could not be opened
  // or read there, holds nothing there, or the access's bytes are spent.
  bool recordAt(long long offset, FetchedRecord& record);
  [[nodiscard]] std::size_t bytesRead() const { return bytesRead_; }

 private:
  int fd_ = -1;
  std::size_t bytesRead_ = 0;
};

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
class FreeFormatReader {
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
  // (AT_FDCWD) unless a caller names another by an open descriptor of it, so
  // that a library can read a folder's files without changing the process's
  // working directory. Like the channels, it is the process's; returns the
  // previous one.
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

  // The same statement as readOrEnd(). Kept for a loader that reads a table
  // one row statement at a time; readRows() reads the whole table faster.
  [[nodiscard]] ReadStatus readRowOrEnd(std::span<const Item> items, int statement);

  // Executes row statements that accept the end of the file, each of
  // table.itemsPerRow number items into the next row of table.values (the
  // row's items set to zero first), and with table.lines what each saw.
  // Returns how many rows were read completely; fewer than table.capacity
  // only when the file ended (then tableEnded() is true, and a last row cut
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

  // Of the last statement executed by read(), readOrEnd() or readRowOrEnd():
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

  // How many text values the reader has stored, and how many bytes of the
  // last one its item holds before the blank padding (never more than the
  // item's width). A caller tells by the count whether a statement stored
  // one: a null value, a slash or a null repeat stores none.
  [[nodiscard]] std::uint64_t textValuesStored() const { return textStores_; }
  [[nodiscard]] std::size_t lastTextLength() const { return lastTextLength_; }

  [[nodiscard]] int channel() const { return channel_; }
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }

 private:
  enum class Access : std::uint8_t { ReadWrite, ReadOnly, WriteOnly };
  enum class Next : std::uint8_t { Value, Null, Slash, End };

  // A value given by a repeat form, kept for the items it still has to fill.
  struct RepeatedValue {
    bool isNull = false;
    bool isNumber = false;  // it reads as a number
    double number = 0;
    long long line = 0;
    std::size_t textLength = 0;
    char text[kMaxTextWidth];
  };

  // Where a value's bytes go when it is text (reader.cpp).
  struct TextSink;
  // An unquoted value's bytes, as gatherValue met them.
  struct GatheredValue {
    char* end;            // the byte after the value (or after its repeat count)
    bool repeat;          // the bytes so far are digits followed by an asterisk: a repeat count
    std::uint64_t count;  // that count, saturated
    bool kept;            // [pos_, end) holds the value, folded when long (foldedScale_)
  };

  void openWith(std::string_view name, int statement, bool readOnly);
  ReadStatus execute(std::span<const Item> items, int statement, bool acceptEnd);
  // The faster reads of one record (reader.cpp), for any way of naming the
  // items' targets.
  template <class Targets>
  bool readRecordFast(Targets targets, std::size_t count, std::uint32_t convert, RowLines* lines,
                      bool& tryShort);
  template <class Targets>
  bool readShortRecord(Targets targets, std::size_t count, std::uint32_t convert, const char* p, long long line,
                       RowLines* lines);
  static constexpr int kNoLines = 0, kWithLines = 1, kAnyLines = 2;
  template <int kItems, int kLines, std::uint32_t kConvert, bool kBlockRead>
  std::size_t readTable(const TableRead& table);
  void readRowGeneral(double* row, int itemsPerRow, int statement, RowLines* lines);
  std::uint32_t valuesInRestOfRecord();
  long long lastLineOfFile() const;
  Next nextValue();
  bool readNumberFast(double* target);
  void readValueSlow(const Item& item, int itemNumber);
  GatheredValue gatherValue(bool stopAtCount, bool keep, TextSink* text);
  bool foldLongNumber();
  void startRepeat(std::uint64_t count, const Item& item, int itemNumber, long long line);
  void applyRepeat(const Item& item, int itemNumber);
  std::size_t scanQuoted(char* text, std::size_t width, int itemNumber);
  void noteTextStored(std::size_t length) {
    ++textStores_;
    lastTextLength_ = length;
  }
  void discardRestOfRecord();
  void startAtFirstRecord();
  long long recordOffsetAt(const char* at) const;
  long long fastRecordOffset() const;
  void notedFastRecord();
  bool refill();
  void markEnd();
  int peek() {
    if (pos_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*pos_);
  }
  [[noreturn]] void fail(Failure kind, int item = 0, long long line = 0, int osError = 0) const;

  int channel_;
  int fd_ = -1;
  Access access_ = Access::ReadWrite;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  // The name the file was opened under, NUL-terminated: a fixed array, so
  // that opening a file never allocates.
  char name_[kMaxNameLength + 1] = {};
  std::size_t nameLength_ = 0;
  int statement_ = 0;

  std::unique_ptr<char[]> buffer_;
  bool reservedBuffer_ = false;  // buffer_ was reserved ahead, and goes back
  char* pos_ = nullptr;  // next unread byte
  char* end_ = nullptr;  // one past the valid bytes; holds a line-feed sentinel
  bool atEof_ = false;
  bool discardPending_ = false;  // the rest of the last statement's record
  long long line_ = 1;           // line of the file holding pos_
  long long statementLine_ = 0;  // see statementLine()
  long long statementEndLine_ = 0;  // see statementEndLine()
  bool endedBySlash_ = false;
  StatementOpener opener_ = StatementOpener::EndOfFile;
  long long statementOffset_ = -1;
  long long openerOffset_ = -1;
  std::uint64_t textStores_ = 0;
  std::size_t lastTextLength_ = 0;
  // Where the buffer's first byte stands in the file, and whether a record
  // starts there (the bytes before it were dropped by a refill).
  long long bufferOffset_ = 0;
  bool bufferStartsRecord_ = true;
  bool trackOffsets_ = false;  // the statement being executed notes statementOffset_
  bool tableEnded_ = false;
  bool fastPaths_ = true;  // taken when the file was opened or rewound (the tests' switch)
  int lastByte_ = -1;      // the last byte read from the file so far; -1: none
  // Values the statement being executed has met, repeat forms counted in full
  // (for RowLines).
  std::uint64_t valuesSeen_ = 0;

  // State of the statement being executed.
  bool atStart_ = true;     // no value or separator seen yet
  bool afterComma_ = false; // the last separator was a comma or semicolon
  std::uint64_t repeatLeft_ = 0;
  RepeatedValue repeat_;
  // The power of ten that folding took out of the value being read.
  std::int64_t foldedScale_ = 0;
};

// ---------------------------------------------------------------------------
// How a record's values are written, as the reader's rules scan them: for
// weighing and showing what a writer wrote, never for reading values (the
// statements do that). Not on any statement's path.

enum class WrittenKind : std::uint8_t {
  Number,  // reads as a number
  Null,    // a comma or semicolon where a value was due, or r* (r null values)
  Quoted,  // a quoted value
  Other,   // unquoted bytes that are not a number (a bad value for a number item)
};

// How a number's exponent opens: a letter (E, e, D, d), or a sign right
// after the digits ("1.5+3" is 1500).
enum class ExponentForm : std::uint8_t { None, Letter, SignAlone };

// What ends a value: the byte right after it.
enum class WrittenEnd : std::uint8_t { RecordEnd, Blank, Separator, Slash };

struct WrittenValue {
  std::size_t start = 0, end = 0;  // its bytes in the record, a repeat count included (a null value: the
                                   // separator's place, start == end)
  std::size_t body = 0;            // where the value after a repeat count starts (start without one)
  std::uint64_t repeat = 1;        // values it gives: r of r*v, else 1
  WrittenKind kind = WrittenKind::Other;
  WrittenEnd endedBy = WrittenEnd::RecordEnd;  // the end of the record, or a line feed, blank, comma or
                                               // semicolon, or slash at `end`
  // A number's shape, as written:
  bool sign = false;               // a sign before its digits
  bool point = false;              // a decimal point
  bool word = false;               // Inf, Infinity or NaN
  std::uint32_t integerDigits = 0;     // digits before the point
  std::uint32_t fractionDigits = 0;    // digits after it
  std::uint32_t significantDigits = 0; // from the first nonzero digit to the last digit before the exponent
  ExponentForm exponent = ExponentForm::None;
  std::size_t exponentAt = 0;      // where the exponent opens (its letter, or the sign alone)
  int exponentValue = 0;           // the exponent, capped at +-kWrittenExponentCap
  // Decimals the value has: the fraction's digits less the exponent (0 at
  // least); "1.25" -> 2, "1.25E1" -> 1, "125" -> 0, "1.2E+05" -> 0.
  [[nodiscard]] std::uint32_t decimals() const {
    const long long d = static_cast<long long>(fractionDigits) - exponentValue;
    return d > 0 ? static_cast<std::uint32_t>(d) : 0;
  }
};
inline constexpr int kWrittenExponentCap = 100000;

// What a record holds up to a slash, value by value.
struct WrittenRecord {
  std::size_t values = 0;                        // value spans in the record (a repeat form is one)
  std::size_t slash = std::string_view::npos;    // where a slash ends it
};

// Describes the record's values in order, the first out.size() of them into
// `out`, as a statement starting at the record's start reads them.
//   "1.5+3 2"   -> {Number, exponent SignAlone at 3, exponentValue 3}, {Number}
//   "-0.0120,x" -> {Number, sign, integerDigits 1, fractionDigits 4, significantDigits 3}, {Other}
//   "1 / 2"     -> one value, slash at 2        "'a/b' 3*7" -> {Quoted}, {Number, repeat 3, body 8}
WrittenRecord describeValues(std::string_view record, std::span<WrittenValue> out);

// The value item `item` (from 1) of a statement starting at the record's
// start takes, when the record holds it before a slash.
//   ("1 2.50 3", 2) -> "2.50"     ("2*7 8", 2) -> the second 7     ("1 / 2", 2) -> none
bool writtenItem(std::string_view record, int item, WrittenValue& value);

// The number a whole text is, by the reader's rules; false when it is not
// one.   "1.5+3" -> 1500     "0.1D-2" -> 0.001     "1.5E" -> false
bool numberOfText(std::string_view text, double& value);

// Whether the reader reads a byte outside a quoted value as a blank between
// values: a space, a tab, a carriage return.
bool isBlankByte(unsigned char c);

}  // namespace velmora

#endif  // VELMORA_FREEFORMAT_FREEFORMAT_H
