// Data files: a header in one of three layouts, then a table of rows of three
// numbers, loaded into a DataSet.
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
// file ends the table. Column 2 is stored multiplied by 1000. A final row cut
// short by the end of the file is not a row and leaves its position zero.
// Every other failure (a header cut short, a value that is not a number) ends
// the run with a diagnostic and never returns.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora {

inline constexpr std::size_t kMaxRows = 1'000'000;
inline constexpr std::size_t kLineWidth = 72;   // the header line buffer and names
inline constexpr std::size_t kLabelWidth = 16;  // a label: the line buffer's first 16 bytes
inline constexpr int kDataFileChannel = 13;     // the channel every data file is read on

// Three columns of kMaxRows doubles, zero-filled, allocated once when the set
// is made (running out of memory is fatal); row i of the file (from 1) is at
// index i - 1. Positions beyond `rows` stay zero.
struct DataSet {
  DataSet();
  ~DataSet();
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;
  double* column1;
  double* column2;  // file value x 1000
  double* column3;
  std::size_t rows = 0;

 private:
  void* storage_;
  std::size_t storageSize_;
};

enum class HeaderLayout { Layout1, Layout2, Plain };

// The header numbers, each held as file value / 1000. A labelled-number
// statement that leaves its number unchanged (a null value or a slash) still
// divides it again.
struct HeaderValues {
  double first = 0;
  double second = 0;
  double third = 0;
  double rate = 0;
};

// What the header statements leave behind; carried from one load to the next.
struct HeaderState {
  HeaderState();
  char line[kLineWidth];  // the title and skipped records; the label is its first 16 bytes
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

// What one load saw, for a caller that asks (velmora-explain); the comparison
// run passes none and pays nothing for it. The load fills it as it goes, so
// after a stop it holds everything seen before the failure. Lines count the
// file's records from 1; 0 means none.
struct LoadRecord {
  // Set by the caller. Storage for kMaxRows entries each, filled up to `rows`:
  // the line where each row's statement found its first value, and column 2
  // as read, before it was multiplied by 1000.
  long long* rowLines = nullptr;
  double* column2InFileUnits = nullptr;
  // Open the file for reading only: a missing file is an open failure
  // instead of being created, and nothing is ever written.
  bool openReadOnly = false;

  // Filled by the load.
  bool opened = false;       // the open and rewind statements succeeded
  bool titleRead = false;
  char title[kLineWidth];    // the line buffer right after the title statement
  long long titleLine = 0;
  char formatCode = ' ';
  HeaderLayout layout = HeaderLayout::Plain;
  bool headerRead = false;   // every header statement was executed
  // Each header number as its statement left it, before the division by 1000.
  HeaderValues fileUnits;
  char rateLabel[kLabelWidth];  // the label read with the rate (layouts 1 and 2)
  long long rateLine = 0;
  // Where each header statement after the title started (its first value,
  // null value or slash), in order. A long rate search keeps its first
  // statements and its last one; `headerStatementCount` counts them all.
  struct HeaderStatement {
    int statement;
    long long line;
  };
  static constexpr std::size_t kMaxHeaderStatements = 64;
  HeaderStatement headerStatements[kMaxHeaderStatements];
  std::size_t headerStatementsKept = 0;
  std::size_t headerStatementCount = 0;
  std::size_t rows = 0;
  long long cutShortRowLine = 0;  // a final row the end of the file cut short (dropped)
  std::size_t slashRows = 0;      // row statements a slash ended
  bool rowsPastLimit = false;     // the file holds more after row kMaxRows
  bool closed = false;
};

// Opens the named file (a 72-wide name; trailing spaces are not part of it) on
// channel 13, reads its header and rows into `target`, closes the channel and
// returns the row count, also stored in target.rows. The three-argument form
// uses the run's own header state. With a record, the load also notes what it
// saw there (and, when asked, opens the file read-only); it reads and stores
// exactly what it would without one, and only past row kMaxRows does it look
// further, to tell whether anything was left unread.
std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role);
std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role,
                         HeaderState& header, LoadRecord* record = nullptr);

// Allocates, ahead, the block buffer the loads read their files through
// (fatal when out of memory), so that a run can make every allocation before
// it opens its first file and running out of memory creates no file. Each
// load takes that buffer and hands it back; a load without it allocates one.
void reserveDataFileReader();

}  // namespace velmora
