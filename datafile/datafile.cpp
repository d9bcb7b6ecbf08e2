#include "datafile.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "freeformat/fastrecord.h"
#include "freeformat/freeformat.h"

namespace velmora {
namespace {

constexpr std::size_t kFormatCodePosition = 12;  // in the title value, counted from 1
constexpr int kLayout1SkipsBeforeRate = 4;
constexpr int kLayout2SkipsInsteadOfExtra = 1;  // when the third number differs from the first
constexpr int kSkipsAfterRate = 10;
constexpr int kPlainSkips = 20;
constexpr double kHeaderScale = 1000;
// The rate search ends at the first label whose first four bytes are these,
// in this letter case.
constexpr char kRateLabel[] = "Rate";
constexpr std::size_t kRateLabelLength = sizeof kRateLabel - 1;
constexpr double kColumn2Scale = 1000;

// Past the last row a load stores, whether the file holds anything more: one
// more statement of a single one-byte text item, which takes any value. A stop
// it meets (bad text, a quote left open) also means something is there; the
// stop is caught here and never reported, since the run itself never reads
// that far.
struct ProbeStopped {};
void throwProbeStop(const StopReport&) { throw ProbeStopped{}; }

bool anythingAfter(FreeFormatReader& reader, int statement) {
  char scratch[1];
  const Item items[] = {TextItem{scratch, 1}};
  const StopHandler previous = setStopHandler(throwProbeStop);
  bool found = true;
  try {
    found = reader.readOrEnd(items, statement) == ReadStatus::Ok;
  } catch (const ProbeStopped&) {
    found = true;
  }
  setStopHandler(previous);
  return found;
}

class Loader {
 public:
  Loader(FreeFormatReader& reader, HeaderState& header, const StatementNumbers& numbers,
         LoadRecord* record)
      : reader_(reader), header_(header), numbers_(numbers), record_(record) {}

  void skipRecords(int count, int statement) {
    const Item items[] = {TextItem{header_.line, kLineWidth}};
    for (int i = 0; i < count; ++i) {
      reader_.read(items, statement);
      noteStatement(statement);
    }
  }

  // A label and a header number; the number is then divided by 1000, whether
  // the statement changed it or not.
  void readHeaderNumber(double& value, double HeaderValues::* fileUnits, int statement) {
    readLabelAndNumber(value, statement);
    if (record_ != nullptr) record_->fileUnits.*fileUnits = value;
    value /= kHeaderScale;
  }

  // A label and a number, nothing more: the rate search divides only the one
  // whose label matches.
  void readLabelAndNumber(double& value, int statement) {
    const Item items[] = {TextItem{header_.line, kLabelWidth}, NumberItem{&value}};
    reader_.read(items, statement);
    noteStatement(statement);
  }

  void readLayout1() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, &HeaderValues::first, numbers_.layout1First);
    readHeaderNumber(v.second, &HeaderValues::second, numbers_.layout1Second);
    readHeaderNumber(v.third, &HeaderValues::third, numbers_.layout1Third);
    skipRecords(kLayout1SkipsBeforeRate, numbers_.layout1Skips);
    readHeaderNumber(v.rate, &HeaderValues::rate, numbers_.layout1Rate);
    noteRate();
    skipRecords(kSkipsAfterRate, numbers_.layout1SkipsAfter);
  }

  void readLayout2() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, &HeaderValues::first, numbers_.layout2First);
    readHeaderNumber(v.second, &HeaderValues::second, numbers_.layout2Second);
    readHeaderNumber(v.third, &HeaderValues::third, numbers_.layout2Third);
    if (v.third == v.first) {  // plain equality: a NaN on either side is unequal
      readHeaderNumber(v.third, &HeaderValues::third, numbers_.layout2Extra);
    } else {
      skipRecords(kLayout2SkipsInsteadOfExtra, numbers_.layout2Skip);
    }
    // Only the end of the file stops the search (fatally); only the statement
    // whose label matches divides the rate.
    do {
      readLabelAndNumber(v.rate, numbers_.layout2Rate);
    } while (std::memcmp(header_.line, kRateLabel, kRateLabelLength) != 0);
    if (record_ != nullptr) record_->fileUnits.rate = v.rate;
    noteRate();
    v.rate /= kHeaderScale;
    skipRecords(kSkipsAfterRate, numbers_.layout2SkipsAfter);
  }

  // The comparison run reads rows with kObserved false: nothing is noted and
  // the loop is exactly the plain one.
  template <bool kObserved>
  std::size_t readRows(DataSet& target) {
    // The columns and the statement number in locals: the reader cannot
    // change them, but the compiler cannot know that across the call.
    double* const column1 = target.column1;
    double* const column2 = target.column2;
    double* const column3 = target.column3;
    const int statement = numbers_.row;
    std::size_t n = 0;
    for (; n < kMaxRows; ++n) {
      const Item items[] = {NumberItem{&column1[n]}, NumberItem{&column2[n]}, NumberItem{&column3[n]}};
      if (reader_.readRowOrEnd(items, statement) == ReadStatus::EndOfFile) {
        if constexpr (kObserved) record_->cutShortRowLine = reader_.statementLine();
        // A row cut short by the end of the file is not a row: its values
        // would be in file units among scaled ones, so they are dropped.
        column1[n] = column2[n] = column3[n] = 0;
        break;
      }
      if constexpr (kObserved) {
        record_->rowLines[n] = reader_.statementLine();
        record_->column2InFileUnits[n] = column2[n];
        record_->slashRows += reader_.endedBySlash() ? 1 : 0;
        record_->rows = n + 1;
      }
      column2[n] *= kColumn2Scale;
    }
    if constexpr (kObserved) {
      if (n == kMaxRows) record_->rowsPastLimit = anythingAfter(reader_, numbers_.row);
    }
    return n;
  }

 private:
  // Where a header statement started. A rate search longer than the record
  // keeps overwriting its last kept entry, leaving room for the ten skipped
  // records after it.
  void noteStatement(int statement) {
    if (record_ == nullptr) return;
    constexpr std::size_t kMax = LoadRecord::kMaxHeaderStatements;
    constexpr std::size_t kAfterRate = kSkipsAfterRate;
    std::size_t slot = record_->headerStatementsKept;
    if (statement == numbers_.layout2Rate && slot >= kMax - kAfterRate) {
      slot = kMax - kAfterRate - 1;
    } else if (slot == kMax) {
      slot = kMax - 1;
    } else {
      ++record_->headerStatementsKept;
    }
    record_->headerStatements[slot] = {statement, reader_.statementLine()};
    ++record_->headerStatementCount;
  }

  void noteRate() {
    if (record_ == nullptr) return;
    std::memcpy(record_->rateLabel, header_.line, kLabelWidth);
    record_->rateLine = reader_.statementLine();
  }

  FreeFormatReader& reader_;
  HeaderState& header_;
  const StatementNumbers& numbers_;
  LoadRecord* record_;
};

// Everything a record holds, as before a load; the caller's storage is kept.
void startRecord(LoadRecord& record) {
  LoadRecord fresh;
  fresh.rowLines = record.rowLines;
  fresh.column2InFileUnits = record.column2InFileUnits;
  fresh.openReadOnly = record.openReadOnly;
  std::memset(fresh.title, ' ', sizeof fresh.title);
  std::memset(fresh.rateLabel, ' ', sizeof fresh.rateLabel);
  record = fresh;
}

HeaderState& runHeaderState() {
  static HeaderState state;
  return state;
}

}  // namespace

DataSet::DataSet() {
  // Fresh anonymous memory is zero-filled and costs nothing until a row is
  // stored in it. Left in ordinary pages on purpose: a huge page comes from
  // the kernel's largest free blocks, which a virtual machine may have handed
  // back to its host, and filling one then costs far more than the page
  // faults it spares (bench/README.md).
  storageSize_ = 3 * kMaxRows * sizeof(double);
  storage_ = ::mmap(nullptr, storageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage_ == MAP_FAILED) stopOutOfMemory(storageSize_, errno);
  auto* columns = static_cast<double*>(storage_);
  column1 = columns;
  column2 = columns + kMaxRows;
  column3 = columns + 2 * kMaxRows;
}

DataSet::~DataSet() { ::munmap(storage_, storageSize_); }

HeaderState::HeaderState() { std::memset(line, ' ', sizeof line); }

namespace {

const StatementNumbers& statementNumbersFor(DataFileRole role) {
  return role == DataFileRole::First ? kFirstFileStatements : kSecondFileStatements;
}

HeaderLayout layoutFor(char formatCode) {
  switch (formatCode) {
    case '1':
      return HeaderLayout::Layout1;
    case '2':
      return HeaderLayout::Layout2;
    default:
      return HeaderLayout::Plain;
  }
}

}  // namespace

void reserveDataFileReader() { FreeFormatReader::reserveBuffer(); }

std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role) {
  return loadDataFile(name, target, role, runHeaderState());
}

std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role,
                         HeaderState& header, LoadRecord* record) {
  const StatementNumbers& numbers = statementNumbersFor(role);
  if (record != nullptr) startRecord(*record);
  // Channel 13 exists only while one file is being loaded.
  FreeFormatReader reader(kDataFileChannel);
  if (record != nullptr && record->openReadOnly) {
    reader.openReadOnly(name, numbers.open);
  } else {
    reader.open(name, numbers.open);
  }
  reader.rewind(numbers.rewind);
  if (record != nullptr) record->opened = true;

  Loader loader(reader, header, numbers, record);
  const Item title[] = {TextItem{header.line, kLineWidth}};
  reader.read(title, numbers.title);
  header.layout = layoutFor(header.line[kFormatCodePosition - 1]);
  if (record != nullptr) {
    record->titleRead = true;
    std::memcpy(record->title, header.line, kLineWidth);
    record->titleLine = reader.statementLine();
    record->formatCode = header.line[kFormatCodePosition - 1];
    record->layout = header.layout;
  }
  switch (header.layout) {
    case HeaderLayout::Layout1:
      loader.readLayout1();
      break;
    case HeaderLayout::Layout2:
      loader.readLayout2();
      break;
    case HeaderLayout::Plain:
      loader.skipRecords(kPlainSkips, numbers.plainSkips);
      break;
  }
  if (record != nullptr) {
    record->headerRead = true;
    target.rows = loader.readRows<true>(target);
  } else {
    target.rows = loader.readRows<false>(target);
  }
  reader.close(numbers.close);
  if (record != nullptr) record->closed = true;
  return target.rows;
}

}  // namespace velmora
