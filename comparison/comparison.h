// The comparison run: the control file "CompareThese.inp" names two data files;
// both are loaded and the sum, over the second file's rows, of the squared
// difference of the scaled second columns is written as one result line.
//
// Only column 2 reaches the result: the reference's is kept (one column of
// kMaxRows doubles, zero beyond its rows), and the compared file's rows are
// summed as they are read, in row order. A companion runs the same run with a
// policy and an events handler of its own (runComparison).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "datafile/datafile.h"

namespace velmora {

inline constexpr char kControlFileName[] = "CompareThese.inp";
inline constexpr int kControlChannel = 11;

// The numbers the control file's statements carry in diagnostics.
struct ControlStatements {
  int open, rewind, firstName, secondName, close;
};
inline constexpr ControlStatements kControlStatements{
    .open = 25, .rewind = 26, .firstName = 28, .secondName = 116, .close = 205};

// One name statement of the control file as it was executed: a single text
// item into the 72-wide name buffer. Lines count the file's records from 1.
struct NameStatementSeen {
  int statement = 0;
  StatementOpener opener = StatementOpener::EndOfFile;  // a value gives the name; the others keep the buffer
  long long line = 0;          // where it found its first value, null value or slash; 0: none
  long long recordOffset = -1; // where that line's record starts in the file; -1: unknown
  long long openerOffset = -1; // where what opened it starts in the file; -1: unknown
  bool endedBySlash = false;
  std::string_view name;       // the name buffer after it: 72 bytes, blank-padded
  std::string_view openName;   // the name the data file's open asks for (fileNameOf)
  std::string_view record;     // the record of `line` as read (the reader's buffer); empty: no longer whole there
};

// The process set-up every program of the tool makes first: a closed standard
// descriptor is occupied (with /dev/null), so that no file it opens can take
// its place and be written to; a reader of standard output that went away,
// or output past the file-size limit, becomes a failed write instead of a
// signal.
void prepareProcess();

// A column 2 value as the comparison holds it: file value x 1000.
inline double scaleColumn2(double fileValue) { return fileValue * 1000; }

// The reference's column 2, scaled, kept for the compared rows to meet:
// kMaxRows doubles allocated once (fatal when out of memory), zero beyond the
// rows stored, as a row the reference lacks compares with zero.
class ReferenceColumn {
 public:
  ReferenceColumn();
  ~ReferenceColumn();
  ReferenceColumn(const ReferenceColumn&) = delete;
  ReferenceColumn& operator=(const ReferenceColumn&) = delete;
  [[nodiscard]] const double* values() const { return values_; }
  void store(std::size_t row, double fileValue) { values_[row - 1] = scaleColumn2(fileValue); }
  // Makes the pages of the first `rows` positions present ahead of their
  // stores, a large piece at a time: one call into the kernel for the piece
  // instead of a page fault for each of its pages. Only a saving: where the
  // kernel declines, the stores fault the pages in as they come.
  void prepare(std::size_t rows) {
    if (rows > prepared_) prepareMore(rows);
  }
  // Zeroes the first `rows` positions again, for a column used more than once.
  void clear(std::size_t rows);

 private:
  void prepareMore(std::size_t rows);
  double* values_;
  std::size_t prepared_ = 0;  // positions whose pages are present (or left to fault in)
};

// What the run keeps of the reference's rows: column 2, scaled.
struct ReferenceKeeper {
  ReferenceColumn* column;
  void operator()(const RowSeen& seen) const { column->store(seen.row, seen.values[1]); }
  // The rows up to `rows` are about to be stored.
  void prepare(std::size_t rows) const { column->prepare(rows); }
};

// What the run keeps of the compared rows: adds each row's square of
// (compared - reference), both scaled, in row order, each square rounded
// once: the same bits on every build.
struct SquaredDifferences {
  const double* reference;
  double total = 0;
  void operator()(const RowSeen& seen) { total += squaredDifference(seen.row, seen.values[1]); }
  // A batch of `count` rows from row `firstRow`, three values a row: the same
  // additions in the same order, the total held in a register meanwhile
  // rather than stored and loaded again a row at a time.
  // Compiled apart, so that the total stays in a register through the batch.
  void keepRows(std::size_t firstRow, const double* values, std::size_t count);
  // Row `row`'s compared value, scaled, less the reference's.
  [[nodiscard]] double scaledDifference(std::size_t row, double fileValue) const {
    return scaleColumn2(fileValue) - reference[row - 1];
  }
  // The row's square as it enters the total.
  [[nodiscard]] double squaredDifference(std::size_t row, double fileValue) const {
    const double difference = scaledDifference(row, fileValue);
    return difference * difference;
  }
};

// The result line for a total (a sum of squares: NaN, +Infinity, or finite and
// not negative): a blank, a 25-character field, a line feed; 27 bytes in all,
// written to `line` (which needs room for 28, a NUL included).
//   0     ->    0.0000000000000000            2.5  ->    2.5000000000000000
//   0.5   ->   0.50000000000000000            3e-5 ->    3.0000000000000001E-005
//   1e20  ->    1.0000000000000000E+020       NaN, Infinity right-justified
// Fixed form for zero and magnitudes in [0.1, 1e17), exponent form otherwise;
// 17 significant digits, correctly rounded, halfway cases to even.
inline constexpr std::size_t kResultLineLength = 27;
void formatResultLine(double total, char* line);
// The number of a result line (with or without its line feed), without the
// blanks of its field.
std::string_view resultLineNumber(std::string_view line);

// The statements of one open: the open itself, the rewind after it, and the
// first read (where a file velmora creates empty ends).
struct OpenStatements {
  int open, rewind, firstRead;
};

// How a run decides what velmora decides its own way; velmora's run is the
// default. Like a parser's flags beside its handler: the policy says what is
// done, the events handler only hears of it.
struct RunPolicy {
  // How the control file and the data files are opened: velmora's way, which
  // creates a missing file, or for reading only.
  OpenMode openMode = OpenMode::CreateMissing;
  // The two names, given instead of read from the control file (velmora
  // reads them there); used when `namesGiven`.
  bool namesGiven = false;
  std::string_view names[2];
  // Whether a full table's load looks whether its file holds more (LoadEnd).
  bool looksPastLimit = false;
  // Whether the run writes the result line to standard output (velmora's
  // statement 207); a run that does not tells the total by result().
  bool writesResultLine = true;
  // Where the reference's column is kept: kMaxRows doubles, zero beyond the
  // rows stored. Null: the run's own, allocated once for the process.
  ReferenceColumn* referenceColumn = nullptr;
};

// The events of a run, for a companion that observes it: the load events
// (NoLoadEvents, each naming its file, 0 the reference and 1 the compared
// file) and the run's own. These do nothing; an observer derives from this
// and hides what it wants, so velmora's run, which passes this one, costs
// nothing for them. After a stop no further event comes.
struct NoRunEvents : NoLoadEvents {
  // Before each open, with the name and the statements the open carries: a
  // companion that opens for reading only stops here, through the fatal
  // funnel, where velmora's open would not give a readable file.
  void opening(std::string_view /*name*/, int /*channel*/, const OpenStatements&) {}
  void controlOpened() {}
  // A name statement (0: the first, 1: the second) is about to be executed,
  // and was executed.
  void nameStarting(int /*file*/) {}
  void nameRead(int /*file*/, const NameStatementSeen&) {}
  // A data file's load starts, under `name` (the 72-wide name buffer).
  void loadStarting(int /*file*/, std::string_view /*name*/) {}
  // The control file was closed; the total of the run.
  void result(double /*total*/) {}
};

namespace detail {

// The reference column of a run whose policy gives none: one for the process.
ReferenceColumn& ownReferenceColumn();
// The name statements' reader: the control file's channel, opened, rewound.
void openControl(FreeFormatReader& control, OpenMode mode);
// Executes name statement `which` (0, 1) into the 72-wide `name`, and says
// what it saw.
NameStatementSeen readName(FreeFormatReader& control, int which, char* name);
// The result line on standard output; a write that fails ends the run with
// its diagnostic.
void writeResultLine(double total);

}  // namespace detail

// The whole run, from the control file to the result line, as `policy`
// decides, told to `events`. Returns the exit status (0); every failure goes
// through the fatal funnel (velmora: its diagnostic and status 2).
template <class Events>
int runComparison(const RunPolicy& policy, Events& events) {
  // Every allocation of the run comes before its first open, so that running
  // out of memory creates no file: the reference column, which lives for the
  // whole run at full capacity, the control file's buffer, then the buffer
  // the loads share.
  ReferenceColumn& referenceColumn =
      policy.referenceColumn != nullptr ? *policy.referenceColumn : detail::ownReferenceColumn();
  FreeFormatReader control(kControlChannel);
  FreeFormatReader::reserveBuffer();

  const bool fromControl = !policy.namesGiven;
  if (fromControl) {
    events.opening(kControlFileName, kControlChannel,
                   {kControlStatements.open, kControlStatements.rewind, kControlStatements.firstName});
    detail::openControl(control, policy.openMode);
    events.controlOpened();
  }

  // One name buffer for both names: a second name statement that gives a
  // null value or a slash leaves the first name in it.
  char name[kLineWidth];
  std::memset(name, ' ', sizeof name);
  // What the header statements leave behind goes from the first load to the
  // second.
  HeaderState header;
  const LoadPolicy load{policy.openMode, policy.looksPastLimit};

  SquaredDifferences compared{referenceColumn.values()};
  for (int f = 0; f < 2; ++f) {
    std::string_view fileName;
    if (fromControl) {
      events.nameStarting(f);
      events.nameRead(f, detail::readName(control, f, name));
      fileName = std::string_view(name, kLineWidth);
    } else {
      fileName = policy.names[f];
    }
    const DataFileRole role = f == 0 ? DataFileRole::First : DataFileRole::Second;
    const StatementNumbers& numbers = detail::statementNumbersFor(role);
    events.loadStarting(f, fileName);
    events.opening(fileName, kDataFileChannel, {numbers.open, numbers.rewind, numbers.title});
    if (f == 0) {
      loadDataFile(fileName, role, header, load, events, ReferenceKeeper{&referenceColumn});
    } else {
      loadDataFile(fileName, role, header, load, events, compared);
    }
  }

  if (fromControl) control.close(kControlStatements.close);
  events.result(compared.total);
  if (policy.writesResultLine) detail::writeResultLine(compared.total);
  return 0;
}

// The names the run's two name statements give, each as its data file's open
// would ask for it, read from the control file for reading only (nothing is
// created). The name statements do not depend on the loads between them, so
// this is what the run will open, for a companion that must know it before
// the run. A failure goes through the fatal funnel, as in the run; a funnel
// that returns by throwing leaves the names read before it in `names`.
struct ControlNames {
  std::string names[2];
  int count = 0;  // names read
};
void readControlNames(ControlNames& names);

// velmora's run: the control file's pair, the result line.
inline int runComparison() {
  NoRunEvents velmora;
  return runComparison(RunPolicy{}, velmora);
}

}  // namespace velmora
