// Every fatal condition ends here: the two diagnostic lines, then exit status 2.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "freeformat.h"

namespace velmora {
namespace {

[[noreturn]] void defaultStop(const StopReport& report) {
  std::fputs(report.text, stderr);
  std::fflush(stderr);
  std::_Exit(2);
}

StopHandler currentHandler = defaultStop;

// Appends into a fixed buffer, cutting what does not fit, so reporting never
// allocates and never fails.
class Line {
 public:
  Line(char* buffer, std::size_t size) : begin_(buffer), end_(buffer + size - 1) { *begin_ = '\0'; }
  Line& text(std::string_view s) {
    for (char c : s) put(c);
    return *this;
  }
  Line& number(long long value) {
    char digits[24];
    int length = std::snprintf(digits, sizeof digits, "%lld", value);
    return text(std::string_view(digits, static_cast<std::size_t>(length)));
  }
  // A file name as the user can read it back: control bytes as \xHH and the
  // backslash doubled, so a hostile name cannot drive the terminal.
  Line& name(std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    for (char c : s) {
      auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f) {
        put('\\');
        put('x');
        put(kHex[byte >> 4]);
        put(kHex[byte & 0xf]);
      } else if (c == '\\') {
        put('\\');
        put('\\');
      } else {
        put(c);
      }
    }
    return *this;
  }

 private:
  void put(char c) {
    if (cursor_ < end_) *cursor_++ = c;
    *cursor_ = '\0';
  }
  char* begin_;
  char* end_;
  char* cursor_ = begin_;
};

const char* reasonOf(int osError) { return std::strerror(osError); }

}  // namespace

StopHandler setStopHandler(StopHandler handler) {
  StopHandler previous = currentHandler;
  currentHandler = handler != nullptr ? handler : defaultStop;
  return previous;
}

void stopRun(const StopContext& context) {
  StopReport report{context.kind, context.statement, context.channel, {}};
  Line out(report.text, sizeof report.text);
  if (context.kind == Failure::OutOfMemory) {
    // Before any file is opened: no statement, channel or file to name.
    out.text("Velmora: out of memory");
  } else {
    out.text("Velmora: statement ").number(context.statement).text(", channel ").number(context.channel);
  }
  if (!context.file.empty()) {
    out.text(", file '").name(context.file).text("'");
    if (context.kind == Failure::BadNumber || context.kind == Failure::BadText) {
      out.text(", line ").number(context.line);
    }
  }
  out.text("\nerror: ");
  switch (context.kind) {
    case Failure::OpenFailure:
      out.text("cannot open '").name(context.openName).text("': ").text(reasonOf(context.osError));
      break;
    case Failure::AlreadyOpen:
      out.text("file is already open on another channel");
      break;
    case Failure::EndOfFile:
      out.text("end of file");
      break;
    case Failure::BadNumber:
      out.text("bad number in item ").number(context.item);
      break;
    case Failure::BadText:
      out.text("bad text in item ").number(context.item);
      break;
    case Failure::CannotRead:
      out.text("cannot read: file is open for writing only");
      break;
    case Failure::IoError:
      out.text("input/output error: ").text(reasonOf(context.osError));
      break;
    case Failure::OutOfMemory:
      out.text("cannot allocate ").number(static_cast<long long>(context.bytes)).text(" bytes: ");
      out.text(reasonOf(context.osError));
      break;
  }
  out.text("\n");
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
