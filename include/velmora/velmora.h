// velmora as a library: the data files read by the very rules velmora reads
// them with, the total it prints, and velmora-explain's report, for programs
// of their own (C++ here, Python through the `velmora` module).
//
//   velmora::api::DataFile file = velmora::api::read("run1.dat");
//   // file.rows rows; column 2 of row i (from 0): file.table[3 * i + 1]
//   velmora::api::Result result = velmora::api::run("examples/layout2");
//   // result.line is velmora's line, without its line feed
//
// Every call goes through velmora's own loader and comparison run (there is
// no second reader here), and:
//   - never ends the process and never writes to standard error: where
//     velmora would stop, the call throws StopError, carrying the stop's
//     facts and the two lines velmora writes;
//   - creates and changes nothing: files are opened for reading only; where
//     velmora would create a missing file and then meet its end at the first
//     read, the call stops there with the same facts, as velmora-explain does;
//   - never changes the working directory: run(folder) reads the folder's
//     CompareThese.inp and opens the names in it relative to the folder.
// Thread safety: the reader's channels and its stop handling belong to the
// process, so every call takes one process-wide lock while it reads; calls
// from several threads are safe and run one at a time.
// Memory that cannot be had is std::bad_alloc, except where velmora itself
// would stop for it (its columns), which is a StopError of kind OutOfMemory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::api {

// The most rows a table holds; later rows are not read.
inline constexpr std::size_t kMaxRows = 1'000'000;

// Which header a data file has, by its format code (character 12 of the
// title's first value): '1' Layout1, '2' Layout2, anything else Plain.
enum class Layout { Layout1, Layout2, Plain };

// A number of the header with its label: one labelled-number statement, in
// file order. Layout1 has four (first, second, third, rate); Layout2 three or
// four, then every statement of its search for the label starting "Rate",
// that one last; Plain none.
struct LabelledNumber {
  std::string label;  // the label as stored (up to 16 bytes), without its blank padding
  double value = 0;   // the number as read, in file units (not divided by 1000)
  long long line = 0; // the line where its statement found its first value, from 1
};

// Memory from std::malloc, handed on as it is (the Python module's arrays
// take it over without a copy).
struct FreeDeleter {
  void operator()(void* memory) const noexcept { std::free(memory); }
};
template <class T>
using MallocBuffer = std::unique_ptr<T[], FreeDeleter>;

// One data file as velmora reads it.
struct DataFile {
  Layout layout = Layout::Plain;
  char formatCode = ' ';
  std::string title;                   // the title statement's value (at most 72 bytes)
  std::vector<LabelledNumber> header;  // in file order
  std::size_t rows = 0;
  // rows x 3 doubles, row by row, in file units (column 2 is not multiplied
  // by 1000: the comparison does that).
  MallocBuffer<double> table;
  // The line of each row's first record (a row may go on over several).
  MallocBuffer<std::int64_t> lines;
  // The table stopped at kMaxRows and the file holds more after it.
  bool rowsPastLimit = false;
  // Row `row` (from 0), column `column` (0, 1, 2).
  [[nodiscard]] double value(std::size_t row, std::size_t column) const { return table[3 * row + column]; }
};

// A comparison's total and velmora's result line for it.
struct Result {
  double total = 0;   // bit for bit velmora's
  std::string line;   // the 26-character result line, without its line feed
};

enum class StopKind { Open, AlreadyOpen, EndOfFile, BadNumber, BadText, CannotRead, InputOutput, OutOfMemory };

// The kind's name: "open", "already-open", "end-of-file", "bad-number",
// "bad-text", "cannot-read", "input-output", "out-of-memory".
const char* stopKindName(StopKind kind);

// Where velmora stops, and what it says: what() is its two lines, each ended
// by a line feed.
class StopError : public std::runtime_error {
 public:
  StopError(const std::string& text, StopKind stopKind) : std::runtime_error(text), kind(stopKind) {}
  StopKind kind;
  int statement = 0;                 // 0 for out of memory, which names none
  int channel = 0;                   // 11 for the control file, 13 for a data file; 0 for out of memory
  std::optional<std::string> file;   // the channel's file, or the name that could not be opened (raw bytes)
  long long line = 0;                // the line of a bad number or bad text; 0 otherwise
  int item = 0;                      // the item of a bad number or bad text, from 1; 0 otherwise
  std::optional<std::string> reason; // the system's reason (open, input/output, out of memory)
};

// Reads one data file, as velmora reads its first data file (its statement
// numbers are the ones a stop names). `path` is used as given, trailing
// blanks removed, relative to the working directory.
DataFile read(std::string_view path);

// The total of a pair, as velmora gives it for a control file naming these
// two files.
Result compare(std::string_view reference, std::string_view compared);

// velmora's run in `folder`: its CompareThese.inp, and the names in it
// relative to the folder. std::system_error when the folder cannot be found.
Result run(std::string_view folder = ".");

// velmora-explain's JSON report of a pair, with `top` rows listed. A stop is
// in the report (its "error"), not thrown.
std::string explain(std::string_view reference, std::string_view compared, std::size_t top = 10);

}  // namespace velmora::api
