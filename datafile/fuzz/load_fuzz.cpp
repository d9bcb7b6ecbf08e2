// Arbitrary bytes loaded as a data file, header and rows, into columns
// allocated once. What must hold for every input:
//   - a load that returns counts at most 1,000,000 rows and no more rows than
//     the file has records, and hands the sink exactly that many rows, in order;
//   - a load that stops does so through a read statement of the first data
//     file with an end of file, a bad number or bad text, in two lines naming
//     the statement, channel 13, the file and, for a bad value, a line of the
//     file and an item of the statement;
//   - reading the file in small pieces gives the same result;
//   - a load whose sink asks for every event and each row's lines (read-only,
//     as velmora-explain loads) gets exactly the rows and header a plain load
//     gets, and its events agree: in their order, rows numbered from 1, each
//     row's lines after the previous statement's and within the file, a
//     cut-short row after the last row, the limit only after a full table;
//     and it is told every record of the header, from the file's first to the
//     one where the header's last statement stopped, each once, in order, as
//     it stands in the file, before any row, whole or in small pieces;
//   - nothing but a stop escapes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "datafile/datafile.h"
#include "freeformat/freeformat.h"
#include "freeformat/fuzz/fuzz_support.h"

namespace {

using namespace velmora;
using fuzz::require;

constexpr int kDataChannel = 13;
// The read statements of a first data file: title, header and rows.
constexpr const StatementNumbers& kNumbers = kFirstFileStatements;
constexpr std::array<int, 16> kReadStatements{
    kNumbers.title,        kNumbers.layout1First, kNumbers.layout1Second, kNumbers.layout1Third,
    kNumbers.layout1Skips, kNumbers.layout1Rate,  kNumbers.layout1SkipsAfter,
    kNumbers.layout2First, kNumbers.layout2Second, kNumbers.layout2Third, kNumbers.layout2Extra,
    kNumbers.layout2Skip,  kNumbers.layout2Rate,  kNumbers.layout2SkipsAfter,
    kNumbers.plainSkips,   kNumbers.row};
constexpr int kRowStatement = kNumbers.row;

// Keeps every row's column 2 as read (the one column every sink is given). With kDetail, also asks for each
// row's lines and checks every event against the ones before it.
template <bool kDetail>
struct KeepingSink : NoLoadEvents {
  static constexpr bool kRowDetail = kDetail;
  static constexpr bool kHeaderRecords = kDetail;
  enum class Stage { Start, Opened, Title, Header, Rows, Ended, Closed };

  double* columns;        // three a row, kMaxRows rows
  long long records = 0;  // the file's records
  std::size_t rows = 0;
  Stage stage = Stage::Start;
  long long lastLine = 0;  // where the previous statement stopped
  std::string_view file;   // the file's bytes
  std::size_t nextRecord = 0;   // where the record after the last one told starts in it
  long long recordsTold = 0;
  long long headerLast = 0;     // where the header's last statement stopped (at its end)

  void advance(Stage from, Stage to, const char* what) {
    if (!kDetail) return;
    require(stage == from, what);
    stage = to;
  }
  void statementSeen(const HeaderStatementSeen& seen) {
    if (!kDetail) return;
    require(seen.firstLine > lastLine && seen.firstLine <= seen.lastLine && seen.lastLine <= records,
            "a header statement starts after the previous one and stops within the file");
    require(recordsTold <= seen.lastLine, "a header record is told once a statement has read into it");
    lastLine = seen.lastLine;
  }
  void opened(int /*file*/) { advance(Stage::Start, Stage::Opened, "opened comes first"); }
  void title(int /*file*/, const HeaderStatementSeen& seen, const FormatCodeSeen& code) {
    advance(Stage::Opened, Stage::Title, "the title comes after the open");
    if (kDetail) {
      require(seen.text.size() == kLineWidth && seen.text[code.position - 1] == code.code,
              "the format code is the title's byte at its position");
      require(seen.valueLength <= kLineWidth && (!code.fromValue || code.position <= seen.valueLength),
              "a code from the value lies within the value");
      require(code.fromValue || code.code == ' ',
              "a code from padding is a blank");
    }
    statementSeen(seen);
  }
  void headerStatement(int /*file*/, const HeaderStatementSeen& seen) {
    if (kDetail) require(stage == Stage::Title, "header statements come after the title");
    statementSeen(seen);
  }
  void headerRecord(int /*file*/, const HeaderRecordSeen& seen) {
    require(stage == Stage::Opened || stage == Stage::Title || stage == Stage::Header,
            "header records come after the open and before any row");
    require(seen.line == recordsTold + 1, "header records come in order, each once");
    const std::size_t lineFeed = std::min(file.find('\n', nextRecord), file.size());
    const std::string_view bytes = file.substr(nextRecord, lineFeed - nextRecord);
    require(seen.cut == (bytes.size() > kMaxHeaderRecordBytes) &&
                seen.bytes == bytes.substr(0, kMaxHeaderRecordBytes),
            "a header record is told as it stands in the file");
    nextRecord = lineFeed + 1;
    recordsTold = seen.line;
  }
  void headerEnd(int /*file*/) {
    advance(Stage::Title, Stage::Header, "the header ends once, after the title");
    headerLast = lastLine;
  }
  void row(int /*file*/, const RowSeen& seen) {
    if (kDetail) {
      if (stage == Stage::Header) stage = Stage::Rows;
      require(stage == Stage::Rows, "rows come after the header");
      require(seen.lines != nullptr, "a sink that asks for lines gets them");
      require(seen.lines->first > lastLine && seen.lines->first <= seen.lines->last &&
                  seen.lines->last <= records,
              "each row starts on a later line than the previous statement stopped");
      lastLine = seen.lines->last;
    } else {
      require(seen.lines == nullptr, "a sink that does not ask for lines gets none");
    }
    require(seen.row == rows + 1, "rows are handed on in order, numbered from 1");
    rows = seen.row;
    columns[seen.row - 1] = seen.values[1];
  }
  void end(int /*file*/, const LoadEnd& end) {
    if (stage == Stage::Header) stage = Stage::Rows;
    advance(Stage::Rows, Stage::Ended, "the end comes after the rows");
    require(end.rows == rows, "the end counts the rows handed on");
    require(end.atLimit == (rows == kMaxRows), "the limit is said when the table is full");
    if (kDetail) require(recordsTold == headerLast, "every header record is told by the end");
    if (kDetail) require(end.cutShortLine == 0 || (end.cutShortLine > lastLine && end.cutShortLine <= records),
                         "a cut-short row lies after the rows");
  }
  void closed(int /*file*/) { advance(Stage::Ended, Stage::Closed, "closed comes last"); }
};

// One load of the file; returns what it left: the row count or the stop, the
// rows' values, and the header state.
template <bool kDetail>
std::string loadOnce(const fuzz::InputFile& input, std::string_view file, double* columns) {
  const long long records = fuzz::recordsIn(file);
  std::string name = input.path();
  name.resize(kLineWidth, ' ');  // as it comes from the control file

  std::string outcome;
  HeaderState header;
  KeepingSink<kDetail> sink;
  sink.columns = columns;
  sink.records = records;
  sink.file = file;
  try {
    const std::size_t rows = loadDataFile(name, DataFileRole::First, header,
                                          {kDetail ? OpenMode::ReadOnly : OpenMode::CreateMissing}, sink);
    require(rows == sink.rows, "the row count is the rows handed on");
    require(!kDetail || sink.stage == KeepingSink<kDetail>::Stage::Closed, "a load that returns is closed");
    require(rows <= kMaxRows && static_cast<long long>(rows) <= records,
            "no more rows than the limit and the records");
    outcome = "rows " + std::to_string(rows) + "\n";
  } catch (const fuzz::Stopped& stop) {
    const StopReport& report = stop.report;
    require(std::find(kReadStatements.begin(), kReadStatements.end(), report.statement) !=
                kReadStatements.end(),
            "only a read statement of the first data file stops a load of a regular file");
    const int s = report.statement;
    const bool labelled = s != kNumbers.title && s != kNumbers.layout1Skips &&
                          s != kNumbers.layout1SkipsAfter && s != kNumbers.layout2Skip &&
                          s != kNumbers.layout2SkipsAfter && s != kNumbers.plainSkips;
    const int items = report.statement == kRowStatement ? 3 : labelled ? 2 : 1;
    fuzz::checkStop(report, {input.path(), kDataChannel, records + 1, items});
    require(!(report.statement == kRowStatement && report.kind == Failure::BadText),
            "a row holds numbers only");
    require(!(report.statement == kRowStatement && report.kind == Failure::EndOfFile),
            "the end of the file ends the rows");
    outcome = report.text;
  } catch (...) {
    fuzz::violated("only a stop may escape a load");
  }
  fuzz::ReadSeam::forgetBuffer();  // the load's reader and its buffer are gone

  // After a stop, a sink that takes rows in batches has not seen the last
  // batch: only a load that returns is compared row by row.
  if (outcome.starts_with("rows ")) {
    outcome.append(reinterpret_cast<const char*>(columns), sink.rows * sizeof(double));
  }
  outcome.append(header.line, kLineWidth);
  outcome.append(reinterpret_cast<const char*>(&header.values), sizeof header.values);
  outcome += static_cast<char>(header.layout);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::InputFile input("load");
  static auto* const columns = new double[3 * kMaxRows];  // kept for the process
  static const bool ready = [] {
    setStopHandler(fuzz::throwStop);
    fuzz::ReadSeam::install();
    return true;
  }();
  (void)ready;

  input.write(data, size);
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  fuzz::ReadSeam::fromFile();
  const std::string whole = loadOnce<false>(input, file, columns);
  // The same bytes in small pieces, of a size the input picks without a byte of its own.
  std::size_t piece = 1;
  for (std::size_t i = 0; i < size; ++i) piece = (piece * 31 + data[i]) % 61;
  fuzz::ReadSeam::fromMemory(data, size, piece + 1);
  require(loadOnce<false>(input, file, columns) == whole, "reading in small pieces changes nothing");

  fuzz::ReadSeam::fromFile();
  require(loadOnce<true>(input, file, columns) == whole, "a load with every event loads the same");
  fuzz::ReadSeam::fromMemory(data, size, piece + 1);
  require(loadOnce<true>(input, file, columns) == whole, "a load with every event loads the same in small pieces");

  return 0;
}
