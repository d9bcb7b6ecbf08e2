#include "datafile.h"

#include <cstring>
#include <span>

#include "freeformat/freeformat.h"

namespace velmora {
namespace {

constexpr int kLayout1SkipsBeforeRate = 4;
constexpr int kLayout2SkipsInsteadOfExtra = 1;  // when the third number differs from the first
constexpr int kSkipsAfterRate = 10;
constexpr int kPlainSkips = 20;
constexpr double kHeaderScale = 1000;
// The rate search ends at the first label whose first four bytes are these,
// in this letter case.
constexpr char kRateLabel[] = "Rate";
constexpr std::size_t kRateLabelLength = sizeof kRateLabel - 1;

}  // namespace

HeaderLayout layoutForCode(char formatCode) {
  switch (formatCode) {
    case '1':
      return HeaderLayout::Layout1;
    case '2':
      return HeaderLayout::Layout2;
    default:
      return HeaderLayout::Plain;
  }
}

namespace {

class HeaderReader {
 public:
  HeaderReader(FreeFormatReader& reader, HeaderState& header, const StatementNumbers& numbers,
               const detail::HeaderListener& listener, detail::HeaderRecords* records)
      : reader_(reader), header_(header), numbers_(numbers), listener_(listener), records_(records) {}

  // Where the last statement stopped.
  [[nodiscard]] long long lastLine() const { return lastLine_; }

  void readTitle() {
    const Item title[] = {TextItem{header_.line, kLineWidth}};
    const HeaderStatementSeen seen = execute(title, numbers_.title, HeaderStatementKind::Title, kLineWidth);
    FormatCodeSeen code;
    code.code = header_.line[kFormatCodePosition - 1];
    code.layout = layoutForCode(code.code);
    code.fromValue = header_.valueBytes[kFormatCodePosition - 1];
    for (std::size_t i = 0; code.layout == HeaderLayout::Plain && i < seen.valueLength; ++i) {
      if (i + 1 != kFormatCodePosition && header_.valueBytes[i] &&
          layoutForCode(header_.line[i]) != HeaderLayout::Plain) {
        code.otherCodeAt = i + 1;
        break;
      }
    }
    header_.layout = code.layout;
    listener_.title(listener_.events, listener_.file, seen, code);
    recordsRead(seen);
  }

  void skipRecords(int count, int statement) {
    const Item items[] = {TextItem{header_.line, kLineWidth}};
    for (int i = 0; i < count; ++i) {
      tell(execute(items, statement, HeaderStatementKind::SkippedRecord, kLineWidth));
    }
  }

  // A label and a header number; the number is then divided by 1000, whether
  // the statement changed it or not.
  void readHeaderNumber(double& value, HeaderNumber target, int statement) {
    HeaderStatementSeen seen = readLabelAndNumber(value, statement, HeaderStatementKind::LabelledNumber);
    seen.target = target;
    tell(seen);
    value /= kHeaderScale;
  }

  // A label and a number, nothing more: the rate search divides only the one
  // whose label matches.
  HeaderStatementSeen readLabelAndNumber(double& value, int statement, HeaderStatementKind kind) {
    const Item items[] = {TextItem{header_.line, kLabelWidth}, NumberItem{&value}};
    HeaderStatementSeen seen = execute(items, statement, kind, kLabelWidth);
    seen.number = value;
    return seen;
  }

  void readLayout1() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, HeaderNumber::First, numbers_.layout1First);
    readHeaderNumber(v.second, HeaderNumber::Second, numbers_.layout1Second);
    readHeaderNumber(v.third, HeaderNumber::Third, numbers_.layout1Third);
    skipRecords(kLayout1SkipsBeforeRate, numbers_.layout1Skips);
    readHeaderNumber(v.rate, HeaderNumber::Rate, numbers_.layout1Rate);
    skipRecords(kSkipsAfterRate, numbers_.layout1SkipsAfter);
  }

  void readLayout2() {
    HeaderValues& v = header_.values;
    readHeaderNumber(v.first, HeaderNumber::First, numbers_.layout2First);
    readHeaderNumber(v.second, HeaderNumber::Second, numbers_.layout2Second);
    readHeaderNumber(v.third, HeaderNumber::Third, numbers_.layout2Third);
    if (v.third == v.first) {  // plain equality: a NaN on either side is unequal
      readHeaderNumber(v.third, HeaderNumber::Third, numbers_.layout2Extra);
    } else {
      skipRecords(kLayout2SkipsInsteadOfExtra, numbers_.layout2Skip);
    }
    // Only the end of the file stops the search (fatally); only the statement
    // whose label matches divides the rate.
    bool found = false;
    while (!found) {
      HeaderStatementSeen seen = readLabelAndNumber(v.rate, numbers_.layout2Rate, HeaderStatementKind::RateSearch);
      found = std::memcmp(header_.line, kRateLabel, kRateLabelLength) == 0;
      seen.target = found ? HeaderNumber::Rate : HeaderNumber::RateCandidate;
      tell(seen);
    }
    v.rate /= kHeaderScale;
    skipRecords(kSkipsAfterRate, numbers_.layout2SkipsAfter);
  }

 private:
  // Executes one header statement whose first item is a text item `width`
  // bytes into the line buffer, and says what it saw and stored.
  HeaderStatementSeen execute(std::span<const Item> items, int statement, HeaderStatementKind kind,
                              std::size_t width) {
    const std::uint64_t storedBefore = reader_.textValuesStored();
    reader_.read(items, statement);
    HeaderStatementSeen seen;
    seen.storedText = reader_.textValuesStored() != storedBefore;
    if (seen.storedText) {
      for (std::size_t i = 0; i < width; ++i) header_.valueBytes[i] = i < reader_.lastTextLength();
    }
    for (std::size_t i = 0; i < width; ++i) {
      if (header_.valueBytes[i]) seen.valueLength = i + 1;
    }
    seen.statement = statement;
    seen.kind = kind;
    seen.opener = reader_.statementOpener();
    seen.firstLine = reader_.statementLine();
    seen.lastLine = reader_.statementEndLine();
    seen.recordOffset = reader_.statementRecordOffset();
    seen.text = std::string_view(header_.line, width);
    seen.endedBySlash = reader_.endedBySlash();
    lastLine_ = seen.lastLine;
    return seen;
  }

  void tell(const HeaderStatementSeen& seen) const {
    listener_.statement(listener_.events, listener_.file, seen);
    recordsRead(seen);
  }
  // The records a statement read into are told after it.
  void recordsRead(const HeaderStatementSeen& seen) const {
    if (records_ != nullptr) records_->reached(seen.lastLine);
  }

  FreeFormatReader& reader_;
  HeaderState& header_;
  const StatementNumbers& numbers_;
  const detail::HeaderListener& listener_;
  detail::HeaderRecords* records_;
  long long lastLine_ = 0;
};

}  // namespace

HeaderState::HeaderState() { std::memset(line, ' ', sizeof line); }

namespace detail {

const StatementNumbers& statementNumbersFor(DataFileRole role) {
  return role == DataFileRole::First ? kFirstFileStatements : kSecondFileStatements;
}

void openAndReadHeader(FreeFormatReader& reader, std::string_view name,
                       const StatementNumbers& numbers, HeaderState& header, OpenMode mode,
                       const HeaderListener& listener, HeaderRecords* records) {
  if (mode == OpenMode::ReadOnly) {
    reader.openReadOnly(name, numbers.open);
  } else {
    reader.open(name, numbers.open);
  }
  reader.rewind(numbers.rewind);
  if (records != nullptr) records->attach(reader);
  listener.opened(listener.events, listener.file);

  HeaderReader headerReader(reader, header, numbers, listener, records);
  headerReader.readTitle();
  switch (header.layout) {
    case HeaderLayout::Layout1:
      headerReader.readLayout1();
      break;
    case HeaderLayout::Layout2:
      headerReader.readLayout2();
      break;
    case HeaderLayout::Plain:
      headerReader.skipRecords(kPlainSkips, numbers.plainSkips);
      break;
  }
  if (records != nullptr) records->ended(headerReader.lastLine());
}

void HeaderRecords::attach(FreeFormatReader& reader) {
  reader_ = &reader;
  reader.tapBytes({this, &HeaderRecords::take});
}

void HeaderRecords::take(void* self, std::string_view piece) {
  auto& records = *static_cast<HeaderRecords*>(self);
  if (records.next_.bytes != nullptr) records.next_.bytes(records.next_.context, piece);
  // The records the statement being executed has read past are the
  // header's: told now, so that a statement passing over many records does
  // not keep them all.
  if (!records.ended_ && records.reader_ != nullptr) records.reached(records.reader_->nextLine() - 1);
  if (piece.empty()) {  // the end of the file: a last record without a line feed is one
    if (!records.current_.empty() || records.cut_) records.complete();
    return;
  }
  while (!piece.empty() && records.reader_ != nullptr) {
    const std::size_t lineFeed = piece.find('\n');
    const std::string_view part = piece.substr(0, lineFeed);
    const std::size_t room = kMaxHeaderRecordBytes - records.current_.size();
    records.current_.append(part.substr(0, room));
    records.cut_ = records.cut_ || part.size() > room;
    if (lineFeed == std::string_view::npos) return;
    records.complete();
    piece.remove_prefix(lineFeed + 1);
  }
}

// The record being split is whole: told when it is known to be the
// header's, kept until then, forgotten past the header's end.
void HeaderRecords::complete() {
  const long long line = line_++;
  if (line <= reached_) {
    tell(line, current_, cut_);
  } else if (!ended_) {
    ahead_.push_back({current_, cut_});
  }
  current_.clear();
  cut_ = false;
  if (ended_ && line >= reached_) {
    reader_->tapBytes(next_);
    reader_ = nullptr;
  }
}

void RecordCarry::attach(FreeFormatReader& reader) {
  read_ = reader.bytesRead();
  partialStart_ = -1;  // the record the reader is in began before
  reader.tapBytes(tap());
}

void RecordCarry::take(void* self, std::string_view piece) {
  auto& carry = *static_cast<RecordCarry*>(self);
  if (piece.empty()) return;  // the end of the file
  carry.before_.assign(carry.partial_);
  carry.beforeStart_ = carry.partialStart_;
  carry.beforeCut_ = carry.partialCut_;
  carry.pieceStart_ = carry.read_;
  std::string_view tail = piece;
  if (const std::size_t lineFeed = piece.rfind('\n'); lineFeed != std::string_view::npos) {
    carry.partial_.clear();
    carry.partialCut_ = false;
    carry.partialStart_ = carry.read_ + static_cast<long long>(lineFeed) + 1;
    tail = piece.substr(lineFeed + 1);
  }
  const std::size_t room = kMaxHeaderRecordBytes - carry.partial_.size();
  carry.partial_.append(tail.substr(0, room));
  carry.partialCut_ = carry.partialCut_ || tail.size() > room;
  carry.read_ += static_cast<long long>(piece.size());
}

std::string_view RecordCarry::record(const FreeFormatReader& reader, long long offset) {
  const std::string_view held = reader.bufferedRecord(offset);
  // Only a record that began in the bytes before the last piece, and runs on
  // into it, is joined: its start is what the reader dropped.
  if (!held.empty() || offset < 0 || offset != beforeStart_ || beforeCut_) return held;
  const std::optional<std::string_view> rest = reader.bufferedRecords(pieceStart_, 1);
  if (!rest || before_.size() + rest->size() > kMaxHeaderRecordBytes) return held;
  joined_.assign(before_).append(*rest);
  return joined_;
}

void HeaderRecords::reached(long long line) {
  if (line <= reached_) return;
  reached_ = line;
  // Records read ahead that are now known to be the header's, in order.
  std::size_t k = 0;
  for (; k < ahead_.size() && told_ + 1 <= reached_; ++k) tell(told_ + 1, ahead_[k].bytes, ahead_[k].cut);
  ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(k));
}

void HeaderRecords::ended(long long line) {
  reached(line);
  ended_ = true;
  ahead_.clear();
  if (reader_ != nullptr && line_ > reached_) {  // the last record is whole and told
    reader_->tapBytes(next_);
    reader_ = nullptr;
  }
}

void HeaderRecords::tell(long long line, std::string_view bytes, bool cut) {
  told_ = line;
  HeaderRecordSeen seen;
  seen.line = line;
  seen.bytes = bytes;
  seen.cut = cut;
  seen.shape = describeRecord(bytes);
  seen.written = describeValues(bytes, seen.values);
  listener_.record(listener_.events, listener_.file, seen);
}

std::size_t readRowBatch(FreeFormatReader& reader, int statement, double* values, RowLines* lines,
                         std::uint32_t convertItems, std::size_t capacity, bool& ended,
                         long long& cutShortLine, IgnoredCounting ignoredCounting) {
  TableRead table;
  table.itemsPerRow = kRowItems;
  table.statement = statement;
  table.values = values;
  table.lines = lines;
  table.convertItems = convertItems;
  table.capacity = capacity;
  table.ignoredCounting = ignoredCounting;
  const std::size_t rows = reader.readRows(table);
  if (reader.tableEnded()) {
    // A row cut short by the end of the file is not a row.
    ended = true;
    cutShortLine = reader.statementLine();
  }
  return rows;
}

}  // namespace detail

}  // namespace velmora
