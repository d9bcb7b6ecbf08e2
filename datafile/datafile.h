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

// Three columns of kMaxRows doubles, zero-filled, allocated once; row i of the
// file (from 1) is at index i - 1. Positions beyond `rows` stay zero.
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

// Opens the named file (a 72-wide name; trailing spaces are not part of it) on
// channel 13, reads its header and rows into `target`, closes the channel and
// returns the row count, also stored in target.rows. The three-argument form
// uses the run's own header state.
std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role);
std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role,
                         HeaderState& header);

}  // namespace velmora
