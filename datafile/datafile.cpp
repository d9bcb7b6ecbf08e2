#include "datafile.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "freeformat/freeformat.h"

namespace velmora {
namespace {

constexpr int kDataChannel = 13;
constexpr std::size_t kFormatCodePosition = 12;  // counted from 1
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

class Loader {
 public:
  Loader(FreeFormatReader& reader, HeaderState& header, const StatementNumbers& numbers)
      : reader_(reader), header_(header), numbers_(numbers) {}

  void skipRecords(int count, int statement) {
    const Item items[] = {TextItem{header_.line, kLineWidth}};
    for (int i = 0; i < count; ++i) reader_.read(items, statement);
  }

  // A label and a header number; the number is then divided by 1000, whether
  // the statement changed it or not.
  void readHeaderNumber(double& value, int statement) {
    readLabelAndNumber(value, statement);
    value /= kHeaderScale;
  }

  // A label and a number, nothing more: the rate search divides only the one
  // whose label matches.
  void readLabelAndNumber(double& value, int statement) {
    const Item items[] = {TextItem{header_.line, kLabelWidth}, NumberItem{&value}};
    reader_.read(items, statement);
  }

  void readLayout1() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, numbers_.layout1First);
    readHeaderNumber(v.second, numbers_.layout1Second);
    readHeaderNumber(v.third, numbers_.layout1Third);
    skipRecords(kLayout1SkipsBeforeRate, numbers_.layout1Skips);
    readHeaderNumber(v.rate, numbers_.layout1Rate);
    skipRecords(kSkipsAfterRate, numbers_.layout1SkipsAfter);
  }

  void readLayout2() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, numbers_.layout2First);
    readHeaderNumber(v.second, numbers_.layout2Second);
    readHeaderNumber(v.third, numbers_.layout2Third);
    if (v.third == v.first) {  // plain equality: a NaN on either side is unequal
      readHeaderNumber(v.third, numbers_.layout2Extra);
    } else {
      skipRecords(kLayout2SkipsInsteadOfExtra, numbers_.layout2Skip);
    }
    // Only the end of the file stops the search (fatally); only the statement
    // whose label matches divides the rate.
    do {
      readLabelAndNumber(v.rate, numbers_.layout2Rate);
    } while (std::memcmp(header_.line, kRateLabel, kRateLabelLength) != 0);
    v.rate /= kHeaderScale;
    skipRecords(kSkipsAfterRate, numbers_.layout2SkipsAfter);
  }

  std::size_t readRows(DataSet& target) {
    std::size_t n = 0;
    for (; n < kMaxRows; ++n) {
      const Item items[] = {NumberItem{&target.column1[n]}, NumberItem{&target.column2[n]},
                            NumberItem{&target.column3[n]}};
      if (reader_.readOrEnd(items, numbers_.row) == ReadStatus::EndOfFile) {
        // A row cut short by the end of the file is not a row: its values
        // would be in file units among scaled ones, so they are dropped.
        target.column1[n] = target.column2[n] = target.column3[n] = 0;
        break;
      }
      target.column2[n] *= kColumn2Scale;
    }
    return n;
  }

 private:
  FreeFormatReader& reader_;
  HeaderState& header_;
  const StatementNumbers& numbers_;
};

HeaderState& runHeaderState() {
  static HeaderState state;
  return state;
}

}  // namespace

DataSet::DataSet() {
  // Fresh anonymous memory is zero-filled and costs nothing until a row is
  // stored in it; asking for huge pages spares most of the page faults of
  // filling 24 MB.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  storageSize_ = 3 * kMaxRows * sizeof(double) + kHugePage;
  storage_ = ::mmap(nullptr, storageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage_ == MAP_FAILED) throw std::bad_alloc();
  auto address = reinterpret_cast<std::uintptr_t>(storage_);
  auto* columns = reinterpret_cast<double*>((address + kHugePage - 1) & ~(kHugePage - 1));
  ::madvise(columns, 3 * kMaxRows * sizeof(double), MADV_HUGEPAGE);
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

std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role) {
  return loadDataFile(name, target, role, runHeaderState());
}

std::size_t loadDataFile(std::string_view name, DataSet& target, DataFileRole role,
                         HeaderState& header) {
  const StatementNumbers& numbers = statementNumbersFor(role);
  // Channel 13 exists only while one file is being loaded.
  FreeFormatReader reader(kDataChannel);
  reader.open(name, numbers.open);
  reader.rewind(numbers.rewind);

  Loader loader(reader, header, numbers);
  const Item title[] = {TextItem{header.line, kLineWidth}};
  reader.read(title, numbers.title);
  header.layout = layoutFor(header.line[kFormatCodePosition - 1]);
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
  target.rows = loader.readRows(target);
  reader.close(numbers.close);
  return target.rows;
}

}  // namespace velmora
