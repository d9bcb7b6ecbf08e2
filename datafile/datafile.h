// Data files: a header in one of three layouts, then a table of rows of three
// numbers, handed row by row to the caller as they are read.
//
// The layout is chosen by the format code, character 12 of the title's first
// value: "1" Layout1, "2" Layout2, anything else (a blank too) Plain.
//   Layout1  three labelled numbers (first, second, third), four skipped
//            records, a labelled number (rate), ten skipped records
//   Layout2  three labelled numbers (first, second, third); one more labelled
//            number into third when third equals first, else one skipped
//            record; labelled numbers until one whose label starts with "Rate"
//            (exact case); ten skipped records
//   Plain    twenty skipped records
// A labelled number is one statement of a 16-wide label and a number; a
// skipped record is one statement of one 72-wide text value. Counts are counts
// of statements, not lines: blank lines are passed over by each of them.
//
// Rows: one statement of three numbers each, up to kMaxRows; the end of the
// file ends the table. Each complete row goes to the caller with its values as
// read (column 2 in file units: the caller scales it). A final row cut short
// by the end of the file is not a row and reaches no caller. Every other failure
// (a header cut short, a value that is not a number) ends the run with a
// diagnostic and never returns. The loader keeps nothing of the rows itself.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "freeformat/freeformat.h"

namespace velmora {

inline constexpr std::size_t kMaxRows = 1'000'000;
inline constexpr std::size_t kLineWidth = 72;   // the header line buffer and names
inline constexpr std::size_t kLabelWidth = 16;  // a label: the line buffer's first 16 bytes
inline constexpr int kDataFileChannel = 13;     // the channel every data file is read on

enum class HeaderLayout { Layout1, Layout2, Plain };

// The number items of a row statement: a table's rows are three numbers.
inline constexpr int kRowItems = 3;

// The header numbers, each held as file value / 1000. A labelled-number
// statement that leaves its number unchanged (a null value or a slash) still
// divides it again.
struct HeaderValues {
  double first = 0;
  double second = 0;
  double third = 0;
  double rate = 0;
};

// What the header statements leave behind. A run carries it from its first
// load to its second: the second file's statements overwrite only what they
// read, so a null value or a slash there leaves the first file's value.
struct HeaderState {
  HeaderState();
  char line[kLineWidth];  // the title and skipped records; the label is its first 16 bytes
  // Which bytes of `line` hold a byte of a stored value, not blank padding.
  std::bitset<kLineWidth> valueBytes;
  HeaderValues values;
  HeaderLayout layout = HeaderLayout::Plain;
};

// The first and second data file differ only in the statement numbers their
// diagnostics carry.
enum class DataFileRole { First, Second };

// The number each statement of a load carries in its diagnostics.
struct StatementNumbers {
  int open, rewind, title;
  int layout1First, layout1Second, layout1Third, layout1Skips, layout1Rate, layout1SkipsAfter;
  int layout2First, layout2Second, layout2Third, layout2Extra, layout2Skip, layout2Rate,
      layout2SkipsAfter;
  int plainSkips;
  int row, close;
};

inline constexpr StatementNumbers kFirstFileStatements{
    .open = 33, .rewind = 34, .title = 36,
    .layout1First = 41, .layout1Second = 44, .layout1Third = 47, .layout1Skips = 51,
    .layout1Rate = 53, .layout1SkipsAfter = 57,
    .layout2First = 61, .layout2Second = 64, .layout2Third = 67, .layout2Extra = 71,
    .layout2Skip = 75, .layout2Rate = 79, .layout2SkipsAfter = 87,
    .plainSkips = 91,
    .row = 98, .close = 112};

inline constexpr StatementNumbers kSecondFileStatements{
    .open = 121, .rewind = 122, .title = 124,
    .layout1First = 129, .layout1Second = 132, .layout1Third = 135, .layout1Skips = 139,
    .layout1Rate = 141, .layout1SkipsAfter = 145,
    .layout2First = 149, .layout2Second = 152, .layout2Third = 155, .layout2Extra = 159,
    .layout2Skip = 163, .layout2Rate = 167, .layout2SkipsAfter = 175,
    .plainSkips = 179,
    .row = 188, .close = 203};

// How a load opens its file: as the comparison run does (created empty when
// missing, where the folder allows), or for reading only (never created,
// never written; a missing file is an open failure).
enum class OpenMode { CreateMissing, ReadOnly };

// What a header statement is: the title; a labelled number; one statement of
// the rate search (Layout2's labelled numbers up to the one whose label
// starts with "Rate"); a skipped record.
enum class HeaderStatementKind { Title, LabelledNumber, RateSearch, SkippedRecord };

// Where the title's value holds the format code, counted from 1, and the
// layout a code selects.
inline constexpr std::size_t kFormatCodePosition = 12;
HeaderLayout layoutForCode(char formatCode);

// How the title statement chose the layout. The code is the line buffer's
// byte at `position`, whatever put it there: the title's value when it
// reaches that far, blank padding when the value is shorter, or what an
// earlier statement left when the title stored no value (a null value or a
// slash).
struct FormatCodeSeen {
  std::size_t position = kFormatCodePosition;  // in the line buffer, from 1
  char code = ' ';
  HeaderLayout layout = HeaderLayout::Plain;
  bool fromValue = false;  // the code is a byte of a stored value, not padding
  // Of a plain layout: the first other position of the value (from 1) whose
  // byte would have chosen another layout, a code one place off; 0 when none.
  std::size_t otherCodeAt = 0;
};

// Which header number a labelled number gave. Every statement of the rate
// search reads into the rate; only the last, whose label starts with "Rate",
// makes it the header's rate (RateCandidate for the others).
enum class HeaderNumber { None, First, Second, Third, Rate, RateCandidate };

// One header statement as it was executed. Lines count the file's records
// from 1; `firstLine` is where it found its first value, null value or slash,
// `lastLine` where it stopped. The records it read into are told apart
// (HeaderRecordSeen).
struct HeaderStatementSeen {
  int statement = 0;
  HeaderStatementKind kind = HeaderStatementKind::SkippedRecord;
  StatementOpener opener = StatementOpener::Value;  // what it found first
  long long firstLine = 0;
  long long lastLine = 0;
  long long recordOffset = -1;  // where the record of firstLine starts in the file; -1: unknown
  // What it stored: the whole line buffer (72 bytes) for the title and a
  // skipped record, the label (16 bytes) for a labelled number; blank-padded.
  std::string_view text;
  // Whether the statement stored a text value there (a null value, a slash
  // or a null repeat stores none, leaving what an earlier statement left),
  // and how many bytes of `text` come before the padding: up to its last
  // byte of a stored value, this statement's or an earlier one's.
  bool storedText = false;
  std::size_t valueLength = 0;
  // A labelled number's number as the statement left it, before the header's
  // division by 1000 (a null value or a slash leaves the previous one).
  double number = 0;
  HeaderNumber target = HeaderNumber::None;
  bool endedBySlash = false;
};

// One record of the header as the reader read it, for a handler that asks
// (kHeaderRecords): every record from the file's first to the one where the
// header's last statement stopped, blank ones and the title's included, each
// once and in order. A record is told after the event of the statement that
// read into it, or, when that statement read past the reader's buffer,
// while it reads (so before its event); the header's last record, when the
// reader had not yet read its end as the header ended, while the first row
// statement reads it, before any row event.
inline constexpr std::size_t kHeaderRecordValues = 4;  // values described in full
inline constexpr std::size_t kMaxHeaderRecordBytes = kMaxFetchedRecord;  // the bytes a record is described from
struct HeaderRecordSeen {
  long long line = 0;  // from 1
  // Its bytes without the line feed (valid during the event): the first
  // kMaxHeaderRecordBytes of them; `cut` when it goes on past them, and then
  // everything below describes those first bytes.
  std::string_view bytes;
  bool cut = false;
  // How it splits into values as a statement starting at its start reads
  // them (describeRecord), how many value spans it holds and where a slash
  // ends it (describeValues), and its first values as written: each one's
  // kind, written form and what ended it.
  RecordShape shape;
  WrittenRecord written;
  WrittenValue values[kHeaderRecordValues];
  [[nodiscard]] std::size_t valuesDescribed() const {
    return written.values < kHeaderRecordValues ? written.values : kHeaderRecordValues;
  }
};

// One complete row: its values as read, column 2 in file units. Only
// values[1] is set for every caller: columns 1 and 3 never reach the result, so
// the reader checks their values but converts them only for a handler that asks
// for row detail (kRowDetail, kBatchedDetail); for the others values[0] and
// values[2] are unspecified. `lines` is set only for a handler that asks for it.
struct RowSeen {
  std::size_t row = 0;  // from 1
  const double* values = nullptr;
  const RowLines* lines = nullptr;
  // For a handler that asks for each row as it is read (kRowDetail): the
  // record of its first line as the reader read it (its buffer, valid during
  // the event), to describe how its values are written without reading the
  // file again; empty when the reader no longer held it whole. A record that
  // began before the reader's buffer is joined from the bytes the loader
  // kept as the reader read past them.
  std::string_view record;
  // With `record`, of a row read from more than one line: the records after
  // the first, up to the row's last line, with the line feeds between them
  // (valid during the event); none when the reader no longer held them all.
  std::optional<std::string_view> laterLines;
};

struct LoadEnd {
  std::size_t rows = 0;
  long long cutShortLine = 0;  // where a final row cut short by the end of the file started; 0: none
  bool atLimit = false;        // kMaxRows rows were read; the rest of the file is not rows
  // At the limit, for a load whose policy asks (looksPastLimit): the file holds
  // anything more than blanks after the last row's record.
  bool rowsPastLimit = false;
};

// How a load opens its file and what it looks at beyond velmora's needs.
struct LoadPolicy {
  OpenMode openMode = OpenMode::CreateMissing;
  // Whether a load that reads kMaxRows rows looks, past the last row's
  // record, whether the file holds more (LoadEnd::rowsPastLimit). velmora
  // never reads a byte past its last row.
  bool looksPastLimit = false;
};

// The events of one load, in order: opened, title, header statements,
// headerEnd, rows, end, closed. Each names the file it belongs to: 0 for the
// first data file (the reference), 1 for the second. After a stop no further
// event comes; a handler that asks for row detail has by then seen every row
// read before the stop (others get rows in batches, and may not have). These
// do nothing; a caller's handler derives from this and hides the events it
// wants, so velmora's own load, which passes this one, costs nothing for
// them. A new event is one member here and one in the handler that wants it.
struct NoLoadEvents {
  // Whether row() wants each row's lines and value counts, which cost the
  // reader a little per row.
  static constexpr bool kRowDetail = false;
  // The same detail (every value converted, each row's lines), for a handler
  // that keeps nothing of a load that stops (it throws), so its rows may come
  // a batch at a time as the run's own do.
  static constexpr bool kBatchedDetail = false;
  // Whether headerRecord() wants the header's records described, which costs
  // the reader a copy of the header's bytes.
  static constexpr bool kHeaderRecords = false;
  void opened(int /*file*/) {}
  void title(int /*file*/, const HeaderStatementSeen&, const FormatCodeSeen&) {}
  void headerStatement(int /*file*/, const HeaderStatementSeen&) {}
  void headerRecord(int /*file*/, const HeaderRecordSeen&) {}
  void headerEnd(int /*file*/) {}
  // For row detail: which of the next rows count every value after their
  // third (RowLines::ignored) rather than only noting that one follows.
  [[nodiscard]] IgnoredCounting ignoredCounting(int /*file*/) const { return {}; }
  void row(int /*file*/, const RowSeen&) {}
  // A handler with row detail may also have
  //   static bool recordNeeded(const RowLines&);
  //   void rowsWithoutRecords(int file, std::size_t firstRow, const double* values,
  //                           const RowLines* lines, std::size_t count);
  // Then the rows of one line each whose start is known and whose record it
  // says it does not need come to rowsWithoutRecords, a run of `count` at a
  // time in order (three values and a RowLines each, the first being row
  // `firstRow`), in place of row(): their records are whole in the reader's
  // buffer (row() would have had them, none of them empty), but not shown.
  // And it may have
  //   void rowsOfToldRun(int file, std::size_t firstRow, const double* values,
  //                       const ToldRunRows& run);
  // Then rows of one line each with no value after their third, told alike
  // as a run (ToldRunRows), which rowsWithoutRecords would take, come there
  // a run at a time (three values each, the first being row `firstRow`),
  // told as the reader told them, with no RowLines.
  void end(int /*file*/, const LoadEnd&) {}
  void closed(int /*file*/) {}
};

// What a caller keeps of each row for its own use, beside the events: nothing.
struct KeepNoRows {
  void operator()(const RowSeen&) const {}
};

namespace detail {

// Whether a row is one a handler with rowsWithoutRecords takes without its
// record: of one line whose start is known, and the handler says it needs
// no view of it (recordNeeded).
template <class Events>
[[gnu::always_inline]] inline bool wholeRecordUnneeded(const RowLines& row) {
  return ((row.told & RowLines::kToldShortOneLine) != 0 || (row.first == row.last && row.offset >= 0)) &&
         !Events::recordNeeded(row);
}

// The parts of a load that are the same for every handler, compiled once.
struct HeaderListener {
  void* events;
  int file;
  void (*opened)(void* events, int file);
  void (*title)(void* events, int file, const HeaderStatementSeen&, const FormatCodeSeen&);
  void (*statement)(void* events, int file, const HeaderStatementSeen&);
  void (*record)(void* events, int file, const HeaderRecordSeen&);  // null: not wanted
};

// The bytes of the record the reader was in when it last read more of the
// file, kept as it read them, so that a row whose record began before the
// reader's buffer can still be told whole. Records up to
// kMaxHeaderRecordBytes long are kept; a longer one is not told.
class RecordCarry {
 public:
  // Taps the reader's bytes from now on.
  void attach(FreeFormatReader& reader);
  // The tap itself, for a tap that hands the bytes on from the file's first.
  ByteTap tap() { return {this, &RecordCarry::take}; }
  // The record that starts at `offset`, whole as the reader read it (valid
  // until the next call); empty when not held whole.
  std::string_view record(const FreeFormatReader& reader, long long offset);

 private:
  static void take(void* self, std::string_view piece);

  long long read_ = 0;            // bytes tapped so far, from the file's first
  std::string partial_;           // the record the bytes tapped end in, so far
  long long partialStart_ = 0;    // where it starts; -1: unknown
  bool partialCut_ = false;       // it went on past kMaxHeaderRecordBytes
  std::string before_;            // partial_ as it was before the last piece
  long long beforeStart_ = -1;
  bool beforeCut_ = false;
  long long pieceStart_ = -1;     // where the last piece starts
  std::string joined_;
};

// The header's records, split from the bytes the reader reads and told to
// the listener's `record` as the header's statements reach them.
class HeaderRecords {
 public:
  explicit HeaderRecords(const HeaderListener& listener) : listener_(listener) {}
  HeaderRecords(const HeaderRecords&) = delete;
  HeaderRecords& operator=(const HeaderRecords&) = delete;
  // Taps the reader's bytes; right after its rewind.
  void attach(FreeFormatReader& reader);
  // Hands every byte it taps on to `next`, which keeps the tap once the
  // header's records are told; before attach().
  void handOn(ByteTap next) { next_ = next; }
  // A statement stopped on `line`: the records up to it are the header's.
  void reached(long long line);
  // The header's last statement stopped on `line`: no record after it is
  // the header's, and the tap goes once that record is whole.
  void ended(long long line);

 private:
  static void take(void* self, std::string_view piece);
  void complete();
  void tell(long long line, std::string_view bytes, bool cut);

  const HeaderListener& listener_;
  FreeFormatReader* reader_ = nullptr;
  long long line_ = 1;          // the record being split
  std::string current_;         // its bytes so far (up to kMaxHeaderRecordBytes)
  bool cut_ = false;
  long long reached_ = 0;       // records up to it are the header's
  bool ended_ = false;          // reached_ is the header's last record
  long long told_ = 0;          // records up to it were told
  // A whole record read ahead of the statements, not yet known to be the
  // header's.
  struct AheadRecord {
    std::string bytes;  // up to kMaxHeaderRecordBytes
    bool cut = false;   // the record went on past them
  };
  std::vector<AheadRecord> ahead_;
  ByteTap next_;
};
// Opens, rewinds, and executes the title and header statements of the layout.
// With `records`, the header's records go to the listener as they are read.
void openAndReadHeader(FreeFormatReader& reader, std::string_view name,
                       const StatementNumbers& numbers, HeaderState& header, OpenMode mode,
                       const HeaderListener& listener, HeaderRecords* records);
// Executes up to `capacity` row statements into `values` (three a row, each
// starting at zero; of the columns, only those in `convertItems`, as in
// TableRead, are set) and, when `lines` is not null, their lines (the values
// after a row's third counted as `ignoredCounting` says). Returns the
// complete rows; fewer than `capacity` only when the file ended, which sets
// `ended` and `cutShortLine`.
std::size_t readRowBatch(FreeFormatReader& reader, int statement, double* values, RowLines* lines,
                         std::uint32_t convertItems, std::size_t capacity, bool& ended,
                         long long& cutShortLine, IgnoredCounting ignoredCounting);

const StatementNumbers& statementNumbersFor(DataFileRole role);
// The number events give a file of `role`: 0 for the first, 1 for the second.
inline int fileOf(DataFileRole role) { return role == DataFileRole::First ? 0 : 1; }

// The row items the run converts: column 2 alone (TableRead::convertItems).
inline constexpr std::uint32_t kColumn2Item = 0b010;

// Rows travel from the reader to the caller this many at a time.
inline constexpr std::size_t kRowBatch = 256;

// Whether a handler hears of no row: its row() is NoLoadEvents' own.
template <class Events>
inline constexpr bool kHearsNoRow =
    std::is_same_v<decltype(&Events::row), void (NoLoadEvents::*)(int, const RowSeen&)>;

// The rows of a load whose header was read, its end and its close.
template <class Events, class Keep>
std::size_t loadRows(FreeFormatReader& reader, const StatementNumbers& numbers, int file, const LoadPolicy& policy,
                     Events& events, Keep&& keep, RecordCarry& carry);

}  // namespace detail

// Opens the named file (a 72-wide name; trailing spaces are not part of it)
// on channel 13 as `policy` says, reads its header and rows, telling
// `events` what it saw and handing each row to `keep` (the caller's own use
// of the values), closes the channel and returns the row count. The
// statement numbers of `role` go into its diagnostics; `header` is what the
// header statements read and leave behind.
template <class Events = NoLoadEvents, class Keep = KeepNoRows>
std::size_t loadDataFile(std::string_view name, DataFileRole role, HeaderState& header,
                         const LoadPolicy& policy, Events& events, Keep&& keep = {}) {
  const StatementNumbers& numbers = detail::statementNumbersFor(role);
  const int file = detail::fileOf(role);
  // Channel 13 exists only while one file is being loaded.
  FreeFormatReader reader(kDataFileChannel);
  const detail::HeaderListener listener{
      &events, file,
      [](void* e, int f) { static_cast<Events*>(e)->opened(f); },
      [](void* e, int f, const HeaderStatementSeen& seen, const FormatCodeSeen& code) {
        static_cast<Events*>(e)->title(f, seen, code);
      },
      [](void* e, int f, const HeaderStatementSeen& seen) { static_cast<Events*>(e)->headerStatement(f, seen); },
      Events::kHeaderRecords
          ? +[](void* e, int f, const HeaderRecordSeen& seen) { static_cast<Events*>(e)->headerRecord(f, seen); }
          : nullptr};
  // Each row's record for a handler that asks, whole where it began
  // before the reader's buffer.
  detail::RecordCarry carry;
  if constexpr (Events::kHeaderRecords) {
    // Lives on into the first row statement, which may read the end of the
    // header's last record.
    detail::HeaderRecords records(listener);
    if constexpr (Events::kRowDetail) records.handOn(carry.tap());
    detail::openAndReadHeader(reader, name, numbers, header, policy.openMode, listener, &records);
    return detail::loadRows(reader, numbers, file, policy, events, keep, carry);
  } else {
    detail::openAndReadHeader(reader, name, numbers, header, policy.openMode, listener, nullptr);
    if constexpr (Events::kRowDetail) carry.attach(reader);
    return detail::loadRows(reader, numbers, file, policy, events, keep, carry);
  }
}

namespace detail {

template <class Events, class Keep>
std::size_t loadRows(FreeFormatReader& reader, const StatementNumbers& numbers, int file, const LoadPolicy& policy,
                     Events& events, Keep&& keep, [[maybe_unused]] RecordCarry& carry) {
  events.headerEnd(file);

  // A handler that asks for row detail gets each call's rows before the
  // next call, which a stop can end only before its first row, so that
  // after a stop it has seen every row before it; the others get them a
  // batch at a time.
  constexpr bool kDetail = Events::kRowDetail || Events::kBatchedDetail;
  constexpr std::size_t kBatch = detail::kRowBatch;
  double values[3 * kBatch] = {};
  RowLines lines[kDetail ? kBatch : 1];
  std::size_t rows = 0;
  bool ended = false;
  long long cutShortLine = 0;
  if constexpr (Events::kRowDetail) {
    // Rows handed on as each call returns them, while the reader's buffer
    // still holds their records: its calls end before a row that could
    // read past it, and a stop comes only before a call's first row.
    TableRead table;
    table.itemsPerRow = kRowItems;
    table.statement = numbers.row;
    table.values = values;
    table.lines = lines;
    table.convertItems = kAllRowItems;
    table.rowsHeld = true;
    // Runs of rows told as runs, for a handler that takes them so.
    constexpr bool kRuns = requires(const ToldRunRows& told) { events.rowsOfToldRun(file, rows, values, told); };
    long long runOffsets[kRuns ? kBatch : 1];
    std::uint8_t runForms[kRuns ? 2 * kBatch : 1];
    ToldRunRows run{runOffsets, runForms, 0, 0};
    if constexpr (kRuns) table.run = &run;
    while (!ended && rows < kMaxRows) {
      table.capacity = kMaxRows - rows < kBatch ? kMaxRows - rows : kBatch;
      if constexpr (requires { keep.prepare(rows + table.capacity); }) keep.prepare(rows + table.capacity);
      table.ignoredCounting = events.ignoredCounting(file);
      const std::size_t got = reader.readRows(table);
      if (reader.tableEnded()) {
        // A row cut short by the end of the file is not a row.
        ended = true;
        cutShortLine = reader.statementLine();
      }
      if constexpr (kRuns) {
        if (run.rows != 0) {
          // The run's records start in the buffer and end there (as for the
          // runs below): handed on whole; else its rows one at a time.
          // Its rows are told alike: the first says whether the handler
          // takes them without their records.
          if (!Events::recordNeeded(toldRunLines(run, 0)) && !reader.bufferedBytes(runOffsets[0], 1).empty() &&
              !reader.bufferedRecord(runOffsets[got - 1]).empty()) {
            for (std::size_t j = 0; j < got; ++j) keep(RowSeen{rows + 1 + j, values + 3 * j, nullptr, {}, {}});
            events.rowsOfToldRun(file, rows + 1, values, run);
            rows += got;
            continue;
          }
          for (std::size_t j = 0; j < got; ++j) lines[j] = toldRunLines(run, j);
        }
      }
      // Rows the handler takes a run at a time without their records
      // (rowsWithoutRecords) are handed on so, where their records are held.
      std::size_t plainUntil = 0;  // rows before it are the ones to hand on one at a time
      for (std::size_t k = 0; k < got; ++k) {
        if constexpr (requires { events.rowsWithoutRecords(file, rows, values, lines, got); }) {
          if (k >= plainUntil) {
            std::size_t n = k;
            while (n < got && wholeRecordUnneeded<Events>(lines[n])) ++n;
            // Lines and offsets grow from row to row: with the first run's
            // record starting in the buffer and its last whole there, every
            // record between is held whole too.
            if (n > k && !reader.bufferedBytes(lines[k].offset, 1).empty() &&
                !reader.bufferedRecord(lines[n - 1].offset).empty()) {
              for (std::size_t j = k; j < n; ++j) keep(RowSeen{rows + 1 + (j - k), values + 3 * j, &lines[j], {}, {}});
              events.rowsWithoutRecords(file, rows + 1, values + 3 * k, lines + k, n - k);
              rows += n - k;
              k = n - 1;
              continue;
            }
            plainUntil = n > k ? n : k + 1;
          }
        }
        const RowLines& row = lines[k];
        // A row of one record followed at once by the next row's: its record
        // ends where the next one starts.
        const RowLines* next = k + 1 < got ? &lines[k + 1] : nullptr;
        const bool endKnown = next != nullptr && row.first == row.last && next->first == row.last + 1 &&
                              row.offset >= 0 && next->offset > row.offset;
        RowSeen seen{++rows, values + 3 * k, &row,
                     endKnown ? reader.bufferedBytes(row.offset, static_cast<std::size_t>(next->offset - row.offset - 1))
                              : reader.bufferedRecord(row.offset),
                     {}};
        if (seen.record.empty()) seen.record = carry.record(reader, row.offset);
        if (row.last > row.first && !seen.record.empty()) {
          seen.laterLines = reader.bufferedRecords(row.offset + static_cast<long long>(seen.record.size()) + 1,
                                                   row.last - row.first);
        }
        keep(seen);
        events.row(file, seen);
      }
      if (got == 0) break;
    }
  }
  while (!Events::kRowDetail && !ended && rows < kMaxRows) {
    const std::size_t wanted = kMaxRows - rows < kBatch ? kMaxRows - rows : kBatch;
    if constexpr (requires { keep.prepare(rows + wanted); }) keep.prepare(rows + wanted);
    const std::size_t got = detail::readRowBatch(reader, numbers.row, values,
                                                 kDetail ? lines : nullptr,
                                                 kDetail ? kAllRowItems : detail::kColumn2Item,
                                                 wanted, ended, cutShortLine,
                                                 kDetail ? events.ignoredCounting(file) : IgnoredCounting{});
    // A keeper that takes a batch whole (keepRows) gets it so where the
    // handler hears of no row (its row() is this one's): the same rows in
    // the same order, with no event between them.
    if constexpr (!kDetail && kHearsNoRow<Events> &&
                  requires { keep.keepRows(rows + 1, static_cast<const double*>(values), got); }) {
      keep.keepRows(rows + 1, static_cast<const double*>(values), got);
    } else {
      for (std::size_t k = 0; k < got; ++k) {
        const RowSeen seen{rows + k + 1, values + 3 * k, kDetail ? &lines[k] : nullptr, {}, {}};
        keep(seen);
        events.row(file, seen);
      }
    }
    rows += got;
  }
  const bool pastLimit = policy.looksPastLimit && !ended && reader.holdsMore();
  events.end(file, LoadEnd{rows, cutShortLine, !ended, pastLimit});
  reader.close(numbers.close);
  events.closed(file);
  return rows;
}

}  // namespace detail

}  // namespace velmora
