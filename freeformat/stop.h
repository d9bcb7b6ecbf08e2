// The fatal funnel: every failure of the reader's kinds (and storage that
// cannot be had) becomes its two-line diagnostic on standard error and exit
// status 2, in one place; a handler installed here may observe the stop
// first.
// A guard rather than #pragma once: the build also copies the public headers
// into a directory of their own, and a file that reaches both copies must
// read only one.
#ifndef VELMORA_FREEFORMAT_STOP_H
#define VELMORA_FREEFORMAT_STOP_H

#include <cstddef>
#include <string_view>

namespace velmora {

// ---------------------------------------------------------------------------
// The fatal funnel.

enum class Failure {
  OpenFailure,  // no open attempt succeeded
  AlreadyOpen,  // the file is already open on another channel
  EndOfFile,    // the file ended inside a statement that does not accept it
  BadNumber,    // a value for a number item is not a number, or a zero repeat count
  BadText,      // a closing quote is followed by something other than a separator
  CannotRead,   // the channel's file was opened for writing only
  IoError,      // the operating system refused a read, seek, close or write
  OutOfMemory,  // storage the run needs could not be allocated (before any file is opened)
};

// What a fatal condition knows about itself: the plain facts, which a
// handler may copy as they are, and the names. Names are raw bytes; the
// funnel escapes them for display.
struct StopFacts {
  Failure kind = Failure::IoError;
  int statement = 0;
  int channel = 0;
  long long line = 0;          // line of the file for a bad number or bad text
  int item = 0;                // position of the item in its statement, from 1
  int osError = 0;             // errno for an open failure or input/output error
  std::size_t bytes = 0;       // the size of an allocation that failed
  long long recordOffset = -1; // where the record of `line` starts in the file; -1: unknown
};
struct StopContext : StopFacts {
  std::string_view file;       // the channel's file; empty when it has none
  std::string_view openName;   // the name that could not be opened
  // The record of `line` as the reader held it when it stopped (without its
  // line feed), when it held the whole of it; empty otherwise.
  std::string_view record;
};

// What a handler is handed: the stop's facts, and its two lines as written to
// standard error (each ending in a line feed, NUL-terminated), always whole
// however long a name is. The names and the text live only while the handler
// runs: a handler that throws copies what it keeps.
struct StopReport : StopContext {
  const char* text = "";
  std::size_t textLength = 0;
  // Where line 2's description starts in `text` (after "error: "), so a
  // reader of the report takes it by place, never by searching the text.
  std::size_t descriptionStart = 0;
};

// A handler sees every fatal condition before the process ends. The default
// one writes the text to standard error and exits with status 2; a caller
// that must go on after a stop installs one that throws, so the stop can be
// observed in-process. If a handler returns, the default action follows.
using StopHandler = void (*)(const StopReport&);
StopHandler setStopHandler(StopHandler handler);

// A failure kind's words on line 2, before what follows them (the name and
// reason, the item, the size):
//   OpenFailure -> "cannot open "      BadNumber -> "bad number in item "
const char* failureWords(Failure kind);

// Bytes as a diagnostic shows a name: bytes 0x00 to 0x1F and 0x7F as \xHH (two
// lowercase hex digits), a backslash doubled, every other byte as it is, so
// that a hostile name cannot drive the terminal and can be read back.
//   "a\tb" -> "a\\x09b"     "c:\\d" -> "c:\\\\d"
// `put` receives the shown text in pieces.
template <class Put>
void showName(std::string_view bytes, Put&& put) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t plain = 0;  // bytes shown as they are, not yet handed on
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const bool control = byte < 0x20 || byte == 0x7f;
    if (!control && byte != '\\') continue;
    put(bytes.substr(plain, i - plain));
    if (control) {
      const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
      put(std::string_view(escaped, 4));
    } else {
      put(std::string_view("\\\\", 2));
    }
    plain = i + 1;
  }
  put(bytes.substr(plain));
}

// The one place where a fatal condition becomes its diagnostic and the exit status.
[[noreturn]] void stopRun(const StopContext& context);

// Storage of `bytes` bytes could not be had (`osError` says why): the stop
// for it, which names no statement, channel or file.
[[noreturn]] void stopOutOfMemory(std::size_t bytes, int osError);

}  // namespace velmora

#endif  // VELMORA_FREEFORMAT_STOP_H
