#include "explain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <queue>

#include "comparison/comparison.h"
#include "companion/companion.h"

namespace velmora::explain {

using namespace velmora::companion;

namespace {

// A stop of velmora's, carried out of the reader to explainPair: its facts,
// copied while the reader that stopped still holds them.
struct Stopped {
  StopFacts facts;
};
void throwStop(const StopReport& report) {
  StopFacts stop;
  stop.kind = report.kind;
  stop.statement = report.statement;
  stop.channel = report.channel;
  if (!report.file.empty()) stop.file = std::string(report.file);
  stop.line = report.line;
  stop.item = report.item;
  stop.osError = report.osError;
  stop.bytes = report.bytes;
  stop.text.assign(report.text, report.textLength);
  // Line 2's description runs to the text's last byte, its line feed.
  stop.description.assign(report.text + report.descriptionStart,
                          report.textLength - 1 - report.descriptionStart);
  throw Stopped{std::move(stop)};
}

// Whether a record, as the reader splits it, reads like a table row: exactly
// three values, all numbers, and nothing else (no null value, slash, repeat
// form or quote). The reader alone decides where a value ends.
//   "1 2 3", "1,2;3", "-1.5e3 .5 7 \r" -> true
//   "1 2", "1 2 3 4", "a 2 3", "1,,2 3", "1 2 3 /", "2*1 3" -> false
bool readsLikeTableRow(std::string_view record) {
  const RecordShape shape = describeRecord(record);
  return shape.values == 3 && shape.numbers == 3 && shape.plain;
}

// Header records that read like table rows: every record from the first line
// up to the one where the header's last statement started, and before the
// first table row (or the cut-short row), all of them consumed by the
// header's statements or blank. Nothing past the header is looked at: after
// a stop in the first row, that row's lines are not header records.
void findSuspectLines(FileFacts& file) {
  const LoadRecord& record = file.record;
  if (!record.headerRead) return;
  // The first line not passed over by the header.
  long long end = record.titleLine + 1;
  if (record.headerStatementsKept > 0) {
    end = record.headerStatements[record.headerStatementsKept - 1].line + 1;
  }
  if (record.rows > 0) {
    end = std::min(end, record.rowLines[0]);
  } else if (record.cutShortRowLine > 0) {
    end = std::min(end, record.cutShortRowLine);
  }
  int fd = ::open(file.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string current;
  long long line = 1;
  bool tooLong = false;
  // A longer record is not examined (and not taken for a row), so a file of
  // one huge line costs no more than a block.
  constexpr std::size_t kLongestRow = kMaxLineBytes;
  auto finishRecord = [&] {
    if (!tooLong && readsLikeTableRow(current)) {
      if (file.suspectLines.size() < kMaxSuspectLines) file.suspectLines.push_back(line);
      ++file.suspectCount;
    }
    current.clear();
    tooLong = false;
    ++line;
  };
  // On the heap: velmora-explain runs in a small stack.
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  const std::unique_ptr<char[]> buffer(new char[kBlock]);
  bool done = false;
  while (!done) {
    ssize_t got = ::read(fd, buffer.get(), kBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
      if (line >= end) {
        done = true;
        break;
      }
      char c = buffer[i];
      if (c == '\n') {
        finishRecord();
      } else if (current.size() < kLongestRow) {
        current += c;
      } else {
        tooLong = true;
      }
    }
  }
  if (!done && (!current.empty() || tooLong) && line < end) finishRecord();
  ::close(fd);
}

// Orders contributions: NaN first (it is what makes a total NaN), then larger
// squares, then lower rows.
struct Contribution {
  double square;
  std::size_t index;
};
bool addsMore(const Contribution& a, const Contribution& b) {
  const bool aNaN = std::isnan(a.square), bNaN = std::isnan(b.square);
  if (aNaN != bNaN) return aNaN;
  if (!aNaN && a.square != b.square) return a.square > b.square;
  return a.index < b.index;
}

// The run's own sum over the workspace's reference column, for the square
// of any row as it entered the total.
SquaredDifferences sumOver(const Workspace& w) {
  SquaredDifferences sum;
  sum.reference = w.reference.values();
  return sum;
}

RowFacts rowFacts(const Workspace& w, const Explanation& facts, std::size_t index, double total) {
  RowFacts row;
  row.row = index + 1;
  row.comparedLine = w.rowLines[1][index];
  row.comparedValue = w.column2InFileUnits[1][index];
  row.comparedLastLine = w.rowLastLines[1][index];
  row.comparedValues[0] = w.column1[1][index];
  row.comparedValues[1] = row.comparedValue;
  row.comparedValues[2] = w.column3[1][index];
  row.hasReference = index < facts.files[0].record.rows;
  if (row.hasReference) {
    row.referenceLine = w.rowLines[0][index];
    row.referenceLastLine = w.rowLastLines[0][index];
    row.referenceValue = w.column2InFileUnits[0][index];
    row.referenceValues[0] = w.column1[0][index];
    row.referenceValues[1] = row.referenceValue;
    row.referenceValues[2] = w.column3[0][index];
  }
  const SquaredDifferences sum = sumOver(w);
  row.scaledDifference = sum.scaledDifference(row.row, row.comparedValue);
  row.square = sum.squaredDifference(row.row, row.comparedValue);
  row.share = total == 0 ? 0 : row.square / total;
  return row;
}

Presence presenceOf(const std::string& name) {
  Presence presence;
  struct stat status {};
  if (name.empty() || name.find('\0') != std::string::npos) {
    presence.error = ENOENT;
  } else if (::stat(name.c_str(), &status) != 0) {
    presence.error = errno;
  } else {
    presence.exists = true;
    presence.directory = S_ISDIR(status.st_mode);
    presence.regular = S_ISREG(status.st_mode);
    presence.size = static_cast<long long>(status.st_size);
  }
  return presence;
}

// The very sum velmora makes, `total`, and its result line.
void compare(const Request& request, const Workspace& w, double total, Explanation& facts) {
  const std::size_t comparedRows = facts.files[1].record.rows;
  const std::size_t referenceRows = facts.files[0].record.rows;
  const double* reference = w.reference.values();
  const double* compared = w.column2InFileUnits[1].get();
  facts.total = total;
  char line[kResultLineLength + 1];
  formatResultLine(facts.total, line);
  facts.resultLine.assign(line, kResultLineLength - 1);
  facts.compared = true;
  facts.rowsCompared = comparedRows;

  // The worst of the kept rows on top, so a better one replaces it.
  const std::size_t keep = std::min(std::max(request.top, std::size_t{1}), comparedRows);
  auto worseOnTop = [](const Contribution& a, const Contribution& b) { return addsMore(a, b); };
  std::priority_queue<Contribution, std::vector<Contribution>, decltype(worseOnTop)> kept(
      worseOnTop);
  double withoutReference = 0;
  if (request.keepSquares) facts.squares.resize(comparedRows);
  const SquaredDifferences sum = sumOver(w);
  for (std::size_t i = 0; i < comparedRows; ++i) {
    const double square = sum.squaredDifference(i + 1, compared[i]);
    if (request.keepSquares) facts.squares[i] = square;
    facts.rowsDiffering += scaleColumn2(compared[i]) == reference[i] ? 0 : 1;
    if (i >= referenceRows) {
      ++facts.rowsWithoutReference;
      withoutReference += square;
    }
    const Contribution candidate{square, i};
    if (kept.size() < keep) {
      kept.push(candidate);
    } else if (keep > 0 && addsMore(candidate, kept.top())) {
      kept.pop();
      kept.push(candidate);
    }
  }
  facts.shareWithoutReference = facts.total == 0 ? 0 : withoutReference / facts.total;
  std::vector<Contribution> best;
  while (!kept.empty()) {
    best.push_back(kept.top());
    kept.pop();
  }
  std::reverse(best.begin(), best.end());
  for (std::size_t i = 0; i < comparedRows; ++i) {
    if (scaleColumn2(compared[i]) != reference[i]) {
      facts.firstDifference = rowFacts(w, facts, i, facts.total);
      break;
    }
  }
  // A zero total has no largest row, and a list of rows that add nothing
  // says nothing.
  if (facts.total == 0) return;
  if (!best.empty()) facts.largest = rowFacts(w, facts, best.front().index, facts.total);
  for (std::size_t i = 0; i < best.size() && i < request.top; ++i) {
    facts.top.push_back(rowFacts(w, facts, best[i].index, facts.total));
  }
}

// Each listed row's records as they stand in both files, read again by their
// line numbers; the values were read by the loader, never from these bytes.
void addRecords(Explanation& facts) {
  std::vector<RowFacts*> rows;
  for (RowFacts& row : facts.top) rows.push_back(&row);
  if (facts.largest) rows.push_back(&*facts.largest);
  if (facts.firstDifference) rows.push_back(&*facts.firstDifference);
  for (int f = 0; f < 2; ++f) {
    const auto range = [f](RowFacts& row) {
      return f == 0 ? std::pair(row.referenceLine, row.referenceLastLine)
                    : std::pair(row.comparedLine, row.comparedLastLine);
    };
    std::vector<long long> wanted;
    for (RowFacts* row : rows) {
      const auto [first, last] = range(*row);
      if (first <= 0) continue;
      for (long long line = first; line <= last && line < first + kMaxRecordLines; ++line) wanted.push_back(line);
    }
    if (wanted.empty()) continue;
    const std::map<long long, std::string> found = linesOf(facts.files[f].name, wanted);
    for (RowFacts* row : rows) {
      const auto [first, last] = range(*row);
      if (first <= 0) continue;
      std::string record;
      for (long long line = first; line <= last && line < first + kMaxRecordLines; ++line) {
        const auto it = found.find(line);
        if (line != first) record += '\n';
        if (it != found.end()) record += it->second;
      }
      (f == 0 ? row->referenceRecord : row->comparedRecord) = std::move(record);
    }
  }
}

// Everything a record holds, as before a load; the caller's storage is kept.
void startRecord(LoadRecord& record) {
  LoadRecord fresh;
  fresh.rowLines = record.rowLines;
  fresh.column2InFileUnits = record.column2InFileUnits;
  fresh.rowLastLines = record.rowLastLines;
  fresh.column1 = record.column1;
  fresh.column3 = record.column3;
  std::memset(fresh.title, ' ', sizeof fresh.title);
  std::memset(fresh.rateLabel, ' ', sizeof fresh.rateLabel);
  record = fresh;
}

// What explain notes of the one run, as it goes: the control file's name
// statements, and per data file what its load saw. It opens for reading
// only, predicting (and stopping as velmora stops) where velmora's open would
// not give a readable file.
class Observer : public NoRunEvents {
 public:
  static constexpr OpenMode kOpenMode = OpenMode::ReadOnly;
  static constexpr bool kRowDetail = true;
  static constexpr bool kWritesResultLine = false;
  static constexpr bool kLooksPastLimit = true;

  Observer(const Request& request, Workspace& workspace, Explanation& facts)
      : request_(request), workspace_(workspace), facts_(facts) {}

  [[nodiscard]] bool namesGiven() const { return !request_.fromControlFile; }
  [[nodiscard]] std::string_view givenName(int f) const {
    return f == 0 ? request_.referenceName : request_.comparedName;
  }
  void beforeOpen(std::string_view name, int channel, const OpenStatements& statements) {
    predictOpen(name, channel, statements, wouldCreate, linkTarget);
  }
  ReferenceColumn& referenceColumn() { return workspace_.reference; }

  // So far: a stop in it leaves it read, its line unknown.
  void nameStarting(int f) { facts_.control.names[f].read = true; }
  void nameRead(int f, const NameStatementSeen& seen) {
    ControlStatementFacts& name = facts_.control.names[f];
    name.line = seen.line;
    name.endedBySlash = seen.endedBySlash;
    name.nameChanged = seen.stored;
  }

  void loadStarting(int f, std::string_view name) {
    current = f;
    FileFacts& file = facts_.files[f];
    file.named = true;
    file.name = std::string(withoutTrailingBlanks(name));
    file.presence = presenceOf(file.name);
    file.loadStarted = true;
    LoadRecord& record = file.record;
    record.rowLines = workspace_.rowLines[f].get();
    record.column2InFileUnits = workspace_.column2InFileUnits[f].get();
    record.rowLastLines = workspace_.rowLastLines[f].get();
    record.column1 = workspace_.column1[f].get();
    record.column3 = workspace_.column3[f].get();
    startRecord(record);
  }

  void opened(int f) { record(f).opened = true; }

  void title(int f, const HeaderStatementSeen& seen, char formatCode, HeaderLayout layout) {
    LoadRecord& r = record(f);
    r.titleRead = true;
    std::memcpy(r.title, seen.text.data(), std::min(seen.text.size(), kLineWidth));
    r.titleLine = seen.firstLine;
    r.formatCode = formatCode;
    r.layout = layout;
  }

  void headerStatement(int f, const HeaderStatementSeen& seen) {
    LoadRecord& r = record(f);
    noteStatement(r, seen.statement, seen.firstLine);
    switch (seen.target) {
      case HeaderNumber::First:
        r.fileUnits.first = seen.number;
        break;
      case HeaderNumber::Second:
        r.fileUnits.second = seen.number;
        break;
      case HeaderNumber::Third:
        r.fileUnits.third = seen.number;
        break;
      case HeaderNumber::Rate:
        r.fileUnits.rate = seen.number;
        std::memcpy(r.rateLabel, seen.text.data(), std::min(seen.text.size(), kLabelWidth));
        r.rateLine = seen.firstLine;
        break;
      case HeaderNumber::RateCandidate:
      case HeaderNumber::None:
        break;
    }
  }

  void headerEnd(int f) { record(f).headerRead = true; }

  void row(int f, const RowSeen& seen) {
    LoadRecord& r = record(f);
    const std::size_t index = seen.row - 1;
    r.rowLines[index] = seen.lines->first;
    r.rowLastLines[index] = seen.lines->last;
    r.column1[index] = seen.values[0];
    r.column2InFileUnits[index] = seen.values[1];
    r.column3[index] = seen.values[2];
    const RowLines& lines = *seen.lines;
    r.slashRows += lines.endedBySlash ? 1 : 0;
    if (lines.first != lines.last) {
      if (r.firstMultiLineRow == 0) {
        r.firstMultiLineRow = seen.row;
        r.firstMultiLine = lines;
      }
    } else if (lines.ignored > 0) {
      if (r.surplusRowsKept < LoadRecord::kMaxSurplusRows) {
        r.surplusRows[r.surplusRowsKept++] = {seen.row, lines.first, lines.ignored};
      }
      ++r.surplusRowCount;
    }
    r.rows = seen.row;
    workspace_.used[f] = seen.row;
  }

  void end(int f, const LoadEnd& end) {
    LoadRecord& r = record(f);
    r.cutShortRowLine = end.cutShortLine;
    r.rowsPastLimit = end.rowsPastLimit;
  }

  void closed(int f) {
    record(f).closed = true;
    facts_.files[f].loaded = true;
    findSuspectLines(facts_.files[f]);
    current = -1;
  }

  void result(double total) { total_ = total; }
  [[nodiscard]] double total() const { return total_; }

  int current = -1;  // the data file being handled; -1: none
  bool wouldCreate = false;
  std::optional<std::string> linkTarget;

 private:
  LoadRecord& record(int f) { return facts_.files[f].record; }

  // Where a header statement started. A rate search longer than the record
  // keeps overwriting its last kept entry, leaving room for the ten skipped
  // records after it.
  static void noteStatement(LoadRecord& r, int statement, long long line) {
    constexpr std::size_t kMax = LoadRecord::kMaxHeaderStatements;
    constexpr std::size_t kAfterRate = 10;
    const bool inRateSearch = statement == kFirstFileStatements.layout2Rate ||
                              statement == kSecondFileStatements.layout2Rate;
    std::size_t slot = r.headerStatementsKept;
    if (inRateSearch && slot >= kMax - kAfterRate) {
      slot = kMax - kAfterRate - 1;
    } else if (slot == kMax) {
      slot = kMax - 1;
    } else {
      ++r.headerStatementsKept;
    }
    r.headerStatements[slot] = {statement, line};
    ++r.headerStatementCount;
  }

  const Request& request_;
  Workspace& workspace_;
  Explanation& facts_;
  double total_ = 0;
};

// Restores the previous stop handler however the explanation ends.
class HandlerScope {
 public:
  HandlerScope() : previous_(setStopHandler(throwStop)) {}
  ~HandlerScope() { setStopHandler(previous_); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  StopHandler previous_;
};

}  // namespace

std::map<long long, std::string> linesOf(const std::string& name, std::vector<long long> wanted) {
  std::map<long long, std::string> found;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  if (wanted.empty()) return found;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return found;
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  const std::unique_ptr<char[]> block(new char[kBlock]);
  long long line = 1;
  std::size_t next = 0;
  std::string current;
  bool done = false;
  while (!done) {
    const ssize_t got = ::read(fd, block.get(), kBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got && !done; ++i) {
      const char c = block[static_cast<std::size_t>(i)];
      if (c == '\n') {
        if (line == wanted[next]) {
          found[line] = current;
          done = ++next == wanted.size();
        }
        current.clear();
        ++line;
      } else if (line == wanted[next] && current.size() < kMaxLineBytes) {
        current += c;
      }
    }
  }
  if (!done && line == wanted[next] && !current.empty()) found[line] = current;
  ::close(fd);
  return found;
}

Workspace::Workspace() {
  for (int f = 0; f < 2; ++f) {
    // Left uninitialised: a page costs nothing until a row is stored in it.
    rowLines[f].reset(new long long[kMaxRows]);
    rowLastLines[f].reset(new long long[kMaxRows]);
    column2InFileUnits[f].reset(new double[kMaxRows]);
    column1[f].reset(new double[kMaxRows]);
    column3[f].reset(new double[kMaxRows]);
  }
}

void explainPair(const Request& request, Workspace& workspace, Explanation& facts) {
  // The reference column is zero beyond the rows of the pair it holds.
  workspace.reference.clear(workspace.used[0]);
  workspace.used[0] = workspace.used[1] = 0;
  HandlerScope handler;
  if (request.fromControlFile) {
    facts.control.used = true;
    facts.control.presence = presenceOf(kControlFileName);
  } else {
    // Both names are known before anything is read.
    for (int f = 0; f < 2; ++f) {
      FileFacts& file = facts.files[f];
      file.named = true;
      file.name = std::string(withoutTrailingBlanks(f == 0 ? request.referenceName : request.comparedName));
      file.presence = presenceOf(file.name);
    }
  }
  Observer observer(request, workspace, facts);
  try {
    runComparison(observer);
    compare(request, workspace, observer.total(), facts);
    addRecords(facts);
  } catch (const Stopped& stopped) {
    // Memory velmora-explain could not get is its own failure, not velmora's:
    // velmora needs less, and would not stop there.
    if (stopped.facts.kind == Failure::OutOfMemory) throw std::bad_alloc();
    const int current = observer.current;
    facts.stop = stopped.facts;
    facts.stop->dataFile = stopped.facts.channel == kControlChannel ? -1 : current;
    facts.stop->wouldCreate = observer.wouldCreate;
    facts.stop->linkTarget = observer.linkTarget;
    if (current >= 0 && facts.files[current].record.headerRead) findSuspectLines(facts.files[current]);
  }
  facts.failAbove = request.failAbove;
  addFindings(facts);
}

PlotData plotDataOf(const Explanation& facts, std::vector<std::string>& caption) {
  caption.clear();
  for (const Finding& finding : facts.findings) {
    if (caption.size() == kCaptionFindings) break;
    // Where the names came from is for the report; a name lost is the
    // same-file finding, which the caption does hold.
    if (finding.kind == FindingKind::ControlFile) continue;
    caption.push_back(std::string(findingKindName(finding.kind)) + ": " + finding.text);
  }
  return PlotData{facts.files[0].name,
                  facts.files[1].name,
                  facts.resultLine,
                  facts.squares.data(),
                  facts.squares.size(),
                  facts.total,
                  facts.files[0].record.rows,
                  facts.firstDifference ? facts.firstDifference->row : 0,
                  caption};
}

}  // namespace velmora::explain
