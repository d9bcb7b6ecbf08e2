// The library's calls: velmora's loader and comparison run observed from a
// program, with the reader's stops thrown instead of ending the process.
#include "velmora/velmora.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include "companion/companion.h"
#include "comparison/comparison.h"
#include "datafile/datafile.h"
#include "explain/explain.h"
#include "freeformat/freeformat.h"

namespace velmora::api {
namespace {

// The reader's channels, stop handler and name folder belong to the
// process: one call at a time uses them.
std::mutex processLock;

StopKind stopKindOf(Failure failure) {
  switch (failure) {
    case Failure::OpenFailure: return StopKind::Open;
    case Failure::AlreadyOpen: return StopKind::AlreadyOpen;
    case Failure::EndOfFile: return StopKind::EndOfFile;
    case Failure::BadNumber: return StopKind::BadNumber;
    case Failure::BadText: return StopKind::BadText;
    case Failure::CannotRead: return StopKind::CannotRead;
    case Failure::IoError: return StopKind::InputOutput;
    case Failure::OutOfMemory: return StopKind::OutOfMemory;
  }
  return StopKind::InputOutput;
}

// The stop's facts as the reader had them, for a stop seen again under
// other names (run's folder).
struct StopAgain {
  StopContext context;
  std::string file, openName;
};

// Thrown by the stop handler: the caller's StopError, and the facts it was
// made from.
struct Stopped {
  StopError error;
  StopAgain facts;
};

void throwStop(const StopReport& report) {
  StopError error(std::string(report.text, report.textLength), stopKindOf(report.kind));
  error.statement = report.statement;
  error.channel = report.channel;
  if (!report.file.empty()) {
    error.file = std::string(report.file);
  } else if (report.kind == Failure::OpenFailure) {
    error.file = std::string(report.openName);
  }
  if (report.kind == Failure::BadNumber || report.kind == Failure::BadText) {
    error.line = report.line;
    error.item = report.item;
  }
  if (report.kind == Failure::OpenFailure || report.kind == Failure::IoError ||
      report.kind == Failure::OutOfMemory) {
    error.reason = std::string(std::strerror(report.osError));
  }
  StopAgain facts{report, std::string(report.file), std::string(report.openName)};
  throw Stopped{std::move(error), std::move(facts)};
}

// The lock, and the throwing stop handler while it is held.
class Call {
 public:
  Call() : lock_(processLock), handler_(throwStop) {}

 private:
  std::lock_guard<std::mutex> lock_;
  companion::StopHandlerScope handler_;
};

// Runs `body`; a stop of the reader leaves it as the caller's StopError.
template <class Body>
auto stopsThrown(Body&& body) {
  try {
    return body();
  } catch (Stopped& stopped) {
    throw std::move(stopped.error);
  }
}

// Where velmora's open would not give a readable file (a missing one, which
// velmora creates, among them), stops as velmora would, through the funnel;
// velmora-explain's prediction, which never creates anything. `path` is what
// is asked of the system; the stop names `name`, as velmora's does.
void stopWhereVelmoraWould(std::string_view name, const std::string& path, int channel,
                           const OpenStatements& statements) {
  bool wouldCreate = false;
  std::optional<std::string> linkTarget;
  if (path == name) {
    explain::predictOpen(name, channel, statements, wouldCreate, linkTarget);
    return;
  }
  try {
    explain::predictOpen(path, channel, statements, wouldCreate, linkTarget);
  } catch (Stopped& stopped) {
    // The same stop, told again by the funnel under the name velmora uses.
    StopContext context = stopped.facts.context;
    const StopAgain& facts = stopped.facts;
    context.file = facts.file == path ? name : std::string_view(facts.file);
    context.openName = facts.openName == path ? name : std::string_view(facts.openName);
    stopRun(context);
  }
}

// What read() keeps of a load.
struct ReadSink : NoLoadEvents {
  static constexpr bool kBatchedDetail = true;
  DataFile* file = nullptr;
  void title(int /*file*/, const HeaderStatementSeen& seen, const FormatCodeSeen& code) {
    file->title.assign(seen.text.substr(0, seen.valueLength));
    file->formatCode = code.code;
    file->layout = code.layout == HeaderLayout::Layout1   ? Layout::Layout1
                   : code.layout == HeaderLayout::Layout2 ? Layout::Layout2
                                                          : Layout::Plain;
  }
  void headerStatement(int /*file*/, const HeaderStatementSeen& seen) {
    if (seen.kind != HeaderStatementKind::LabelledNumber && seen.kind != HeaderStatementKind::RateSearch) return;
    file->header.push_back({std::string(seen.text.substr(0, seen.valueLength)), seen.number, seen.firstLine});
  }
  void row(int /*file*/, const RowSeen& seen) {
    const std::size_t at = seen.row - 1;
    std::memcpy(&file->table[3 * at], seen.values, 3 * sizeof(double));
    file->lines[at] = seen.lines->first;
  }
  void end(int /*file*/, const LoadEnd& end) { file->rowsPastLimit = end.rowsPastLimit; }
};

template <class T>
MallocBuffer<T> allocateRows(std::size_t perRow) {
  // Pages of a large allocation cost nothing until a row is stored in them.
  auto* memory = static_cast<T*>(std::malloc(kMaxRows * perRow * sizeof(T)));
  if (memory == nullptr) throw std::bad_alloc();
  return MallocBuffer<T>(memory);
}

// Gives back what the rows did not use: a large allocation shrinks in place.
template <class T>
void shrink(MallocBuffer<T>& buffer, std::size_t count) {
  const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
  if (void* smaller = std::realloc(buffer.get(), bytes)) {
    (void)buffer.release();
    buffer.reset(static_cast<T*>(smaller));
  }
}

// The comparison run, seen from the library: no result line written, files
// opened for reading only after velmora's open has been predicted, and each
// call's own reference column.
struct LibraryRun : NoRunEvents {
  std::string folder;  // where relative names are; empty: the working directory
  double total = 0;
  void opening(std::string_view name, int channel, const OpenStatements& statements) {
    name = fileNameOf(name);
    std::string path(name);
    if (!folder.empty() && !name.empty() && name.front() != '/') path = folder + "/" + path;
    stopWhereVelmoraWould(name, path, channel, statements);
  }
  void result(double sum) { total = sum; }
};

// `names`: the pair given, or null: the control file's.
Result resultOf(LibraryRun& observer, const std::string* names) {
  ReferenceColumn column;
  RunPolicy policy;
  policy.openMode = OpenMode::ReadOnly;
  policy.namesGiven = names != nullptr;
  if (names != nullptr) {
    policy.names[0] = names[0];
    policy.names[1] = names[1];
  }
  policy.writesResultLine = false;
  policy.referenceColumn = &column;
  runComparison(policy, observer);
  char line[kResultLineLength + 1];
  formatResultLine(observer.total, line);
  // A blank, the field, the line feed: the line without it.
  return Result{observer.total, std::string(line, kResultLineLength - 1)};
}

// An open descriptor of a folder, closed when done.
class FolderHandle {
 public:
  explicit FolderHandle(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
  }
  ~FolderHandle() { ::close(fd_); }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

// Relative names are opened from `folder` while one lives.
class NamesFrom {
 public:
  explicit NamesFrom(int folder) : previous_(FreeFormatReader::setNameFolder(folder)) {}
  ~NamesFrom() { FreeFormatReader::setNameFolder(previous_); }
  NamesFrom(const NamesFrom&) = delete;
  NamesFrom& operator=(const NamesFrom&) = delete;

 private:
  int previous_;
};

}  // namespace

const char* stopKindName(StopKind kind) {
  static constexpr const char* kNames[] = {"open",     "already-open", "end-of-file",  "bad-number",
                                           "bad-text", "cannot-read",  "input-output", "out-of-memory"};
  return kNames[static_cast<int>(kind)];
}

DataFile read(std::string_view path) {
  DataFile file;
  file.table = allocateRows<double>(3);
  file.lines = allocateRows<std::int64_t>(1);
  {
    const Call call;
    stopsThrown([&] {
      const StatementNumbers& numbers = detail::statementNumbersFor(DataFileRole::First);
      stopWhereVelmoraWould(fileNameOf(path), std::string(fileNameOf(path)), kDataFileChannel,
                            {numbers.open, numbers.rewind, numbers.title});
      HeaderState header;
      ReadSink sink;
      sink.file = &file;
      file.rows = loadDataFile(path, DataFileRole::First, header, {OpenMode::ReadOnly, true}, sink);
      return 0;
    });
  }
  shrink(file.table, 3 * file.rows);
  shrink(file.lines, file.rows);
  return file;
}

Result compare(std::string_view reference, std::string_view compared) {
  const std::string names[2] = {std::string(reference), std::string(compared)};
  const Call call;
  return stopsThrown([&] {
    LibraryRun observer;
    return resultOf(observer, names);
  });
}

Result run(std::string_view folder) {
  std::string path(folder.empty() ? "." : folder);
  // The folder's own path, so that a name in its control file ("../x.dat")
  // reaches what velmora started there reaches, links in the folder's path
  // followed first.
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    throw std::system_error(errno, std::generic_category(), path);
  }
  const FolderHandle handle(resolved);
  const Call call;
  const NamesFrom from(handle.fd());
  return stopsThrown([&] {
    LibraryRun observer;
    observer.folder = resolved;
    return resultOf(observer, nullptr);
  });
}

std::string explain(std::string_view reference, std::string_view compared, std::size_t top) {
  explain::Request request;
  request.fromControlFile = false;
  request.referenceName = std::string(reference);
  request.comparedName = std::string(compared);
  request.top = top;
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* out = ::open_memstream(&text, &length);
  if (out == nullptr) throw std::bad_alloc();
  bool written = false;
  try {
    const Call call;
    explain::Workspace workspace;
    explain::Explanation facts;
    explain::explainPair(request, workspace, facts);
    written = explain::writeJsonReport(out, facts);
  } catch (...) {
    std::fclose(out);
    std::free(text);
    throw;
  }
  written = std::fclose(out) == 0 && written;
  std::string report(text != nullptr ? text : "", length);
  std::free(text);
  if (!written) throw std::bad_alloc();
  return report;
}

}  // namespace velmora::api
