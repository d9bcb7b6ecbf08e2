// Arbitrary bytes loaded as a data file, header and rows, into one DataSet
// allocated once. What must hold for every input:
//   - a load that returns counts at most 1,000,000 rows and no more rows than
//     the file has records, and leaves every position beyond them zero;
//   - a load that stops does so through a read statement of the first data
//     file with an end of file, a bad number or bad text, in two lines naming
//     the statement, channel 13, the file and, for a bad value, a line of the
//     file and an item of the statement;
//   - reading the file in small pieces gives the same result;
//   - a load that keeps a record of what it saw (read-only, as velmora-explain
//     loads) leaves exactly what a plain load leaves, and its record agrees
//     with it: row lines rising within the file, column 2 as read giving the
//     stored column 2 times 1000, a cut-short row after the last row;
//   - velmora-explain on the file (as both files of a pair) stops exactly where
//     the plain load stops, or finds its rows, and its JSON report parses;
//   - nothing but a stop escapes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "datafile/datafile.h"
#include "explain/explain.h"
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

bool isZero(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits == 0;
}

// One load of the file; returns what it left: the row count or the stop, the
// columns as far as a row can reach, and the header state.
// What a record says must agree with the load it was kept for.
void checkRecord(const LoadRecord& record, std::size_t rows, const DataSet& target, long long records) {
  require(record.rows == rows, "the record counts the rows the load counted");
  long long previous = record.titleLine;
  for (std::size_t i = 0; i < record.headerStatementsKept; ++i) {
    require(record.headerStatements[i].line >= previous || record.headerStatements[i].line == 0,
            "header statements start in the order of the file");
    if (record.headerStatements[i].line != 0) previous = record.headerStatements[i].line;
  }
  for (std::size_t i = 0; i < rows; ++i) {
    require(record.rowLines[i] > previous && record.rowLines[i] <= records,
            "each row starts on a later line of the file");
    previous = record.rowLines[i];
    const double scaled = record.column2InFileUnits[i] * 1000;
    require(std::memcmp(&scaled, &target.column2[i], sizeof scaled) == 0,
            "column 2 as read times 1000 is the stored column 2");
  }
  require(record.cutShortRowLine == 0 || (record.cutShortRowLine >= previous && record.cutShortRowLine <= records),
          "a cut-short row lies after the rows");
  require(record.slashRows <= rows, "slash rows are rows");
  require(!record.rowsPastLimit || rows == kMaxRows, "only a full table leaves rows unread");
}

std::string loadOnce(const fuzz::InputFile& input, std::string_view file, DataSet& target,
                     LoadRecord* record = nullptr) {
  const long long records = fuzz::recordsIn(file);
  // A row statement consumes at least one record, so rows, and the cut-short
  // row after them, lie within the first records + 1 positions.
  const std::size_t reach = std::min(kMaxRows, static_cast<std::size_t>(records) + 1);
  std::string name = input.path();
  name.resize(kLineWidth, ' ');  // as it comes from the control file

  std::string outcome;
  HeaderState header;
  target.rows = 0;
  try {
    const std::size_t rows = loadDataFile(name, target, DataFileRole::First, header, record);
    require(rows == target.rows, "the row count is returned and stored");
    if (record != nullptr) checkRecord(*record, rows, target, records);
    require(rows <= kMaxRows && static_cast<long long>(rows) <= records,
            "no more rows than the limit and the records");
    for (std::size_t i = rows; i < reach; ++i) {
      require(isZero(target.column1[i]) && isZero(target.column2[i]) && isZero(target.column3[i]),
              "positions beyond the rows stay zero");
    }
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
  if (reach < kMaxRows) {
    require(isZero(target.column1[reach]) && isZero(target.column2[reach]) &&
                isZero(target.column3[reach]),
            "no statement writes past the rows the records allow");
  }

  for (double* column : {target.column1, target.column2, target.column3}) {
    outcome.append(reinterpret_cast<const char*>(column), reach * sizeof(double));
    std::memset(column, 0, reach * sizeof(double));
  }
  outcome.append(header.line, kLineWidth);
  outcome.append(reinterpret_cast<const char*>(&header.values), sizeof header.values);
  outcome += static_cast<char>(header.layout);
  return outcome;
}

// velmora-explain on the file as both files of a pair, reading through the
// real calls (its loads make readers of their own).
void explainFile(const fuzz::InputFile& input, const std::string& plainOutcome) {
  static explain::Workspace* const workspace = new explain::Workspace;
  explain::Request request;
  request.fromControlFile = false;
  request.referenceName = request.comparedName = input.path();
  request.top = 3;
  const auto seamRead = detail::systemCalls.read;
  detail::systemCalls.read = ::read;
  explain::Explanation facts;
  explainPair(request, *workspace, facts);
  detail::systemCalls.read = seamRead;
  fuzz::ReadSeam::forgetBuffer();

  // The outcome starts with the stop's two lines, or with "rows N" and a line feed.
  if (plainOutcome.starts_with("Velmora: ")) {
    const std::size_t end = plainOutcome.find('\n', plainOutcome.find('\n') + 1) + 1;
    require(facts.stop && facts.stop->dataFile == 0 && facts.stop->text == plainOutcome.substr(0, end),
            "the report stops where the plain load stops, with its two lines");
  } else {
    const std::string rows = "rows " + std::to_string(facts.files[0].record.rows) + "\n";
    require(facts.files[0].loaded && plainOutcome.starts_with(rows),
            "the report finds the rows the plain load finds");
  }
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  require(out != nullptr && explain::writeJsonReport(out, facts), "the report can be written");
  std::fclose(out);
  const bool parses = nlohmann::json::accept(std::string_view(buffer, size));
  std::free(buffer);
  require(parses, "the JSON report parses");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::InputFile input("load");
  static DataSet* const target = new DataSet;  // kept for the process, like the run's own sets
  static const bool ready = [] {
    setStopHandler(fuzz::throwStop);
    fuzz::ReadSeam::install();
    return true;
  }();
  (void)ready;

  input.write(data, size);
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  fuzz::ReadSeam::fromFile();
  const std::string whole = loadOnce(input, file, *target);
  // The same bytes in small pieces, of a size the input picks without a byte of its own.
  std::size_t piece = 1;
  for (std::size_t i = 0; i < size; ++i) piece = (piece * 31 + data[i]) % 61;
  fuzz::ReadSeam::fromMemory(data, size, piece + 1);
  require(loadOnce(input, file, *target) == whole, "reading in small pieces changes nothing");

  static auto* const rowLines = new long long[kMaxRows];
  static auto* const column2 = new double[kMaxRows];
  LoadRecord record;
  record.rowLines = rowLines;
  record.column2InFileUnits = column2;
  record.openReadOnly = true;
  fuzz::ReadSeam::fromFile();
  require(loadOnce(input, file, *target, &record) == whole, "a load with a record loads the same");

  explainFile(input, whole);
  return 0;
}
