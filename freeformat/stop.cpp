// Every fatal condition ends here: the two diagnostic lines, then exit status 2.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "stop.h"

#include "reader.h"

namespace velmora {
namespace {

[[noreturn]] void defaultStop(const StopReport& report) {
  std::fwrite(report.text, 1, report.textLength, stderr);
  std::fflush(stderr);
  std::_Exit(2);
}

StopHandler currentHandler = defaultStop;

// Each kind's words on line 2.
constexpr const char* kFailureWords[] = {
    "cannot open '",                                // OpenFailure
    "file is already open on another channel",      // AlreadyOpen
    "end of file",                                  // EndOfFile
    "bad number in item ",                          // BadNumber
    "bad text in item ",                            // BadText
    "cannot read: file is open for writing only",   // CannotRead
    "input/output error: ",                         // IoError
    "cannot allocate ",                             // OutOfMemory
};
static_assert(std::size(kFailureWords) == static_cast<std::size_t>(Failure::OutOfMemory) + 1);

// The text goes into a fixed buffer when it fits (it always does for names
// the reader accepts, which are at most kMaxNameLength bytes, each shown in at
// most four); only an over-long name that could not be opened needs more. The
// buffer is static, not on the stack: a stop may come deep in a small stack.
constexpr std::size_t kWordsRoom = 256;
constexpr std::size_t kFixedTextSize = 2 * 4 * kMaxNameLength + kWordsRoom;
char fixedText[kFixedTextSize];

// Counts the bytes of the text, and copies those that fit.
class TextWriter {
 public:
  TextWriter(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
  void operator()(std::string_view piece) {
    if (buffer_ != nullptr && length_ < size_) {
      const std::size_t n = std::min(piece.size(), size_ - length_);
      std::memcpy(buffer_ + length_, piece.data(), n);
    }
    length_ += piece.size();
  }
  void number(long long value) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%lld", value);
    (*this)(std::string_view(digits, static_cast<std::size_t>(length)));
  }
  void name(std::string_view bytes) { showName(bytes, *this); }
  [[nodiscard]] std::size_t length() const { return length_; }

 private:
  char* buffer_;
  std::size_t size_;
  std::size_t length_ = 0;
};

// Writes both lines; returns where line 2's description starts.
std::size_t writeStop(const StopContext& context, TextWriter& out) {
  if (context.kind == Failure::OutOfMemory) {
    // Before any file is opened: no statement, channel or file to name.
    out("Velmora: out of memory");
  } else {
    out("Velmora: statement ");
    out.number(context.statement);
    out(", channel ");
    out.number(context.channel);
  }
  if (!context.file.empty()) {
    out(", file '");
    out.name(context.file);
    out("'");
    if (context.kind == Failure::BadNumber || context.kind == Failure::BadText) {
      out(", line ");
      out.number(context.line);
    }
  }
  out("\nerror: ");
  const std::size_t descriptionStart = out.length();
  out(failureWords(context.kind));
  switch (context.kind) {
    case Failure::OpenFailure:
      out.name(context.openName);
      out("': ");
      out(std::strerror(context.osError));
      break;
    case Failure::BadNumber:
    case Failure::BadText:
      out.number(context.item);
      break;
    case Failure::IoError:
      out(std::strerror(context.osError));
      break;
    case Failure::OutOfMemory:
      out.number(static_cast<long long>(context.bytes));
      out(" bytes: ");
      out(std::strerror(context.osError));
      break;
    case Failure::AlreadyOpen:
    case Failure::EndOfFile:
    case Failure::CannotRead:
      break;
  }
  out("\n");
  return descriptionStart;
}

}  // namespace

const char* failureWords(Failure kind) { return kFailureWords[static_cast<std::size_t>(kind)]; }

StopHandler setStopHandler(StopHandler handler) {
  StopHandler previous = currentHandler;
  currentHandler = handler != nullptr ? handler : defaultStop;
  return previous;
}

void stopRun(const StopContext& context) {
  TextWriter measure(nullptr, 0);
  writeStop(context, measure);
  const std::size_t size = measure.length() + 1;
  // Freed if the handler throws; the process ends otherwise.
  std::unique_ptr<char[]> larger;
  char* text = fixedText;
  if (size > kFixedTextSize) {
    larger.reset(new (std::nothrow) char[size]);
    // The name alone is that long, and there is no room to show it: the run
    // ends as out of memory, a stop that names nothing.
    if (larger == nullptr) stopOutOfMemory(size, ENOMEM);
    text = larger.get();
  }
  TextWriter out(text, size);
  const std::size_t descriptionStart = writeStop(context, out);
  text[size - 1] = '\0';
  StopReport report;
  static_cast<StopContext&>(report) = context;
  report.text = text;
  report.textLength = size - 1;
  report.descriptionStart = descriptionStart;
  currentHandler(report);
  defaultStop(report);
}

void stopOutOfMemory(std::size_t bytes, int osError) {
  StopContext context;
  context.kind = Failure::OutOfMemory;
  context.bytes = bytes;
  context.osError = osError;
  stopRun(context);
}

}  // namespace velmora
