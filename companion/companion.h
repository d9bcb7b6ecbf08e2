// What velmora's companions, velmora-explain and velmora-suite, share beside
// the run they observe: the process set-up, the command line, the showing of
// bytes they did not write, and the one JSON writer.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "freeformat/freeformat.h"

namespace velmora::companion {

// ---------------------------------------------------------------------------
// Process set-up.

// What a companion does first: velmora's own set-up (a closed standard
// descriptor occupied, SIGPIPE and SIGXFSZ ignored), so that no file it opens
// takes a standard descriptor's place and a failed write is reported.
void prepareProcess();

// Readies `stream` for a report of many bytes (a list of many rows), before
// anything is written to it: where it goes to a pipe, the pipe is enlarged
// once to kLongOutputPipe bytes, so that a piece of the report (a few
// hundred KiB, written whole by writeWhole) fits in it and the writer waits
// on its reader less often. A refusal (past the system's limit for the
// user, say) leaves the pipe as it was. A regular file, a terminal or
// anything else is left as it is. True when the pipe was enlarged.
inline constexpr int kLongOutputPipe = 1 << 20;
bool prepareLongOutput(std::FILE* stream);

// Hands `text` to `stream` as fwrite does, but a text of kWholeWrite bytes or
// more (a piece of a long report) goes to the stream's descriptor as it is,
// after what the stream holds, in one write where the system takes it
// whole, rather than first filling the stream's buffer and writing that
// apart. False when a write failed (errno says why).
inline constexpr std::size_t kWholeWrite = std::size_t{64} << 10;
bool writeWhole(std::FILE* stream, std::string_view text);

// While one lives, `handler` takes the reader's stops; the previous handler
// comes back after it, however the scope is left.
class StopHandlerScope {
 public:
  explicit StopHandlerScope(StopHandler handler) : previous_(setStopHandler(handler)) {}
  ~StopHandlerScope() { setStopHandler(previous_); }
  StopHandlerScope(const StopHandlerScope&) = delete;
  StopHandlerScope& operator=(const StopHandlerScope&) = delete;

 private:
  StopHandler previous_;
};

// While one lives, a stop of the reader for storage it could not have (the
// columns a companion allocates once) is std::bad_alloc, like any other
// allocation failure; the previous stop handler comes back after it.
class MemoryStopsThrown : StopHandlerScope {
 public:
  MemoryStopsThrown();
};

// The folder a path is made in: "a/b" -> "a", "b" -> ".", "/x" -> "/",
// "a/b/" -> "a".
std::string folderOf(std::string path);

// The last part of a path: "a/b" -> "b", "b" -> "b".
std::string baseOf(const std::string& path);

// Follows `path` through its symbolic links as the system does, each link's
// text read relative to the link's own folder, up to the system's limit of 40
// links in one name. `end` becomes the first name on the way that is not a
// link (or that cannot be asked about). Returns 0, ELOOP when the limit was
// reached, or the reason a link could not be read (ENOENT for an empty one).
//   "a" -> end "d/b.dat" where a is a link to d/c and d/c one to b.dat
int followLinks(std::string path, std::string& end);

// The name a write to `path` reaches: a symbolic link in its last part
// followed, one that leads nowhere too (the write makes the file it names, as
// a shell's > does), chains of them up to 40 links; trailing slashes dropped.
// A path that is no link is itself.
//   "report.xml" -> "T/c/a.dat" where report.xml is a link to T/c/a.dat
std::string writtenName(std::string path);

// The permissions a file made now gets from `bits` (0666 for a file, 0777 for
// a folder): less the process's umask, as open(2) and mkdir(2) apply it.
unsigned newFileMode(unsigned bits);

// ---------------------------------------------------------------------------
// The command line of velmora's companions, read the way GNU tools read theirs:
//   --name  --name=value  --name value   a long option
//   -j4  -j 4                            the one short option with a value, when
//                                        the program has one
//   --                                   ends the options: all that follows is
//                                        an operand, as is "-" and anything not
//                                        starting with "-"
// A usage error is two lines on standard error ("PROGRAM: what", "Try 'PROGRAM
// --help' for more information.") and exit status 2.

class CommandLine {
 public:
  // `shortOption` (0 for none) is a one-letter form of the long option
  // `shortName`, which takes a value.
  CommandLine(const char* program, int argc, char** argv, char shortOption = 0,
              std::string_view shortName = {});

  // Moves to the next argument; false after the last one.
  bool next();
  // The current argument is an operand (then operand() is it), else an
  // option named name().
  [[nodiscard]] bool isOperand() const { return operand_; }
  [[nodiscard]] std::string_view operand() const { return argument_; }
  [[nodiscard]] std::string_view name() const { return name_; }
  // The option's value: after "=", stuck to the short option, or the next
  // argument; a usage error when there is none.
  std::string_view value();
  // A usage error when the option was given a value.
  void noValue() const;

  [[noreturn]] void usageError(const std::string& message) const;
  [[noreturn]] void unrecognized() const;

 private:
  const char* program_;
  int argc_;
  char** argv_;
  char shortOption_;
  std::string_view shortName_;
  int index_ = 0;
  bool optionsEnded_ = false;
  bool operand_ = false;
  bool hasValue_ = false;
  std::string_view argument_, name_, value_;
};

// The two lines of a usage error, then exit status 2.
[[noreturn]] void usageError(const char* program, const std::string& message);

// Writes `text` (--help, --version) to standard output and exits 0; a write
// that fails is said on standard error, exit status 2.
[[noreturn]] void writeAndExit(const char* program, const char* text);

// A limit as the companions take it: a decimal number, whole text and
// nothing else: an optional sign, digits with an optional decimal point (a
// digit on at least one side of it), an optional exponent (e or E, an
// optional sign, digits); or "inf" / "infinity" in any case, with an
// optional sign. Refused: blank space anywhere, hexadecimal, NaN (no total is
// ever above it, so the gate would never close), and a number a double
// cannot hold, too large or so small it would be zero.
//   "0" "1e-6" "+2.5" ".5" "5." "1E3" "inf" "-1" -> true
//   "nan" "0x10" " 5" "5 " "1,5" "++1" "1e" "1e400" "1e-400" "" -> false
bool parseLimit(std::string_view text, double& value);

// Whether the whole of `text` is one number of T as std::from_chars reads it
// (for an unsigned T: decimal digits only, no sign, no blank), which is then
// in `value`.
//   "12" -> 12    "" "1 " "+1" "0x1" "1e3" (unsigned) -> false
template <class T>
bool wholeNumber(std::string_view text, T& value) {
  const char* end = text.data() + text.size();
  const auto [last, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && last == end;
}

// ---------------------------------------------------------------------------
// How velmora's companions show bytes they did not write: file names, titles,
// format codes, records as they stand in a file, case names. Every escaping,
// UTF-8 check and trimming of the reports, the JSON and the picture is here,
// so that all of them show the same bytes the same way.
//
// The one rule (Display): shown as \xHH are the C0 control bytes, DEL, every
// byte that is not part of a well-formed UTF-8 character (a lone 0x80-0x9F
// among them), and the UTF-8 encodings of the C1 controls U+0080-U+009F (a
// terminal may take them for commands) and of U+FFFE, U+FFFF; a backslash is
// shown doubled, so an escape cannot be mistaken for the bytes it shows.
// Well-formed UTF-8 text (a name in another script) is shown as it is.
//   a, TAB, b            -> a\x09b        0x9B, 2, J           -> \x9b2J
//   0xC3 0xA9 (e acute)  -> kept           0xC2 0x9B (U+009B)   -> \xc2\x9b
//   c, a, f, 0xE9        -> caf\xe9        a backslash          -> two of them
// The styles:
//   Diagnostic   velmora's own rule for names in its diagnostics (showName):
//                control bytes and the backslash only, other bytes as they are
//   Display      the rule above
//   Xml          Display, with &, <, >, " and ' as entities (for element
//                text and attribute values alike; HTML reads them the same)
//   Json         a JSON string body: \" \\ and \u00XX for control bytes and
//                for bytes that are not well-formed UTF-8 (no surrogates, no
//                overlong forms, nothing past U+10FFFF)
//   DisplayShown, XmlShown
//                as Display and Xml, for text already shown by the rule (a
//                finding's words, velmora's diagnostic): its backslashes are
//                the escapes it holds and stay as they are, so nothing is
//                escaped twice
// A cut (`maxShown`, in shown characters; an escape counts as its length)
// ends the text with an ellipsis where the bytes go on.
enum class Escape { Diagnostic, Display, Xml, Json, DisplayShown, XmlShown };

inline constexpr std::size_t kNoCut = static_cast<std::size_t>(-1);

// The length of the well-formed UTF-8 sequence at `text[at]` (a lead byte of
// 0x80 or above), or 0. With `printableOnly`, also 0 for the C1 controls and
// U+FFFE, U+FFFF (which XML does not allow).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at, bool printableOnly);

// Returns the characters shown, or kNoCut when the text was cut.
std::size_t appendEscaped(std::string& out, std::string_view bytes, Escape style, std::size_t maxShown = kNoCut);

inline std::string escaped(std::string_view bytes, Escape style, std::size_t maxShown = kNoCut) {
  std::string out;
  appendEscaped(out, bytes, style, maxShown);
  return out;
}

// Text of several lines, each escaped on its own and ended by a line feed
// (a last line without one gets one): for a block of lines in a page.
//   "a<b\nc" (Xml) -> "a&lt;b\nc\n"
std::string escapedLines(std::string_view text, Escape style);

// A count with its thousands set apart by commas, as the reports write a
// limit: 1000000 -> "1,000,000"   999 -> "999".
std::string groupedCount(std::size_t n);

// The powers of ten a double holds exactly: kPowersOfTen[k] is 10^k.
inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A double as the shortest text that reads back to it; "NaN", "Infinity",
// "-Infinity" for the others.
std::string shortestText(double value);
// The same text appended to `out`, with no string made on the way.
void appendShortest(std::string& out, double value);
// The same text written at `text`, which has room for kShortestRoom
// characters; returns its end. The bytes after the end, within that room,
// may be written too.
inline constexpr std::size_t kShortestRoom = 32;
char* writeShortest(double value, char* text);
// The texts of two values, each as writeShortest writes it, at `firstText`
// and `secondText` (each with the same room), where both are decimals of at
// most eight significant digits from 0.001 to below 1e8 (the values of a
// table of fixed decimals or of whole numbers), made side by side, which
// costs less than one after the other; returns their ends. For any other
// pair returns two null pointers, the bytes written there meaning nothing.
struct ShortestPair {
  char* first;
  char* second;
};
ShortestPair writeShortDecimals(double first, char* firstText, double second, char* secondText);
// The eight decimal digits of n (below 10^8) as bytes of the values 0 to 9
// (not yet characters), the first digit in the lowest byte (first in
// memory), all at once: the halves of four digits in 32-bit lanes, their
// pairs in 16-bit lanes, then the digits in bytes; each step's products
// stay within their lane.
inline std::uint64_t digitBytes(std::uint64_t n) {
  // n / 10^4 as a product by 2^40 / 10^4 rounded up, exact below 4.9 * 10^8.
  const std::uint64_t high = n * 109951163 >> 40;
  const std::uint64_t fours = high | (n - high * 10000) << 32;
  // Each quotient q of a lane x goes below its remainder, as q | (x - 100 *
  // q) << 16 = (x << 16) - q * (100 * 2^16 - 1), which is one product (no
  // lane borrows, x being 100 * q or more).
  const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007F;
  const std::uint64_t pairs = (fours << 16) - hundreds * (100 * 65536 - 1);
  const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;
  return (pairs << 8) - tens * (10 * 256 - 1);
}
// A count's decimal digits written at `text`, which has room for 20
// characters; returns their end. The bytes after the end, within that
// room, may be written too.
char* writeCount(std::uint64_t n, char* text);

// ---------------------------------------------------------------------------
// JSON: the one writer of both companions. Objects and arrays are opened
// and closed; a key or an item separates itself from the one before. Each
// member goes on a line of its own, indented two blanks a level, from the
// level `depth` given at the start (for a document written in parts).
// Strings are bytes escaped as Escape::Json; a number that is not finite is
// the string "NaN", "Infinity" or "-Infinity"; a line number of 0 is null.
// Every write is checked: finish() says whether all of them succeeded.
class JsonWriter {
 public:
  // `first`: nothing was written yet at that level (no separator is due).
  explicit JsonWriter(std::FILE* file, int depth = 0, bool first = true)
      : file_(file), first_(first), depth_(depth) {}
  void open(char bracket);
  void close(char bracket);
  void key(std::string_view name);
  void item();
  void string(std::string_view bytes);
  void number(double value);
  // A number as number() writes it, for one that comes again and again (a
  // list's squares, their differences and shares, in the order of the
  // squares): the last few such texts are kept and written again unmade.
  void repeatedNumber(double value);
  // A number where there is one, null where there is none.
  void numberOrNull(bool present, double value);
  // A string where there is one, null where there is none.
  void stringOrNull(bool present, std::string_view bytes);
  void count(std::size_t value);
  void line(long long value);
  void boolean(bool value);
  void null();
  // Text that is already JSON (a document written by this writer), as it is.
  void raw(std::string_view json);
  // For a writer of many like members (a list's rows), which makes each
  // whole in place: room for `n` more bytes (n at most kLargestRoom) at the
  // end of what is pending, then where what was made there ends. The level
  // and the separator due stay as they were.
  static constexpr std::size_t kLargestRoom = std::size_t{64} << 10;
  [[nodiscard]] char* roomFor(std::size_t n) { return room(n); }
  void madeTo(const char* end) { used_ = static_cast<std::size_t>(end - pending_.get()); }
  [[nodiscard]] int depth() const { return depth_; }
  // repeatedNumber's text written at `at` (room for kShortestRoom + 2
  // bytes); returns where it ends.
  char* repeatedNumberAt(double value, char* at);
  // Flushes; false when any write failed.
  [[nodiscard]] bool finish();
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

 private:
  // Room for `n` more bytes (n < kPiece) at the end of what is pending.
  char* room(std::size_t n) {
    if (n > kPiece - used_) flush();
    return pending_.get() + used_;
  }
  void put(std::string_view text);
  // Hands what is pending to the file.
  void flush();
  void separate();
  void newline();
  [[nodiscard]] std::size_t indentation() const;
  char* newlineAt(char* at) const;
  static constexpr std::size_t kBlanksStep = 32;
  std::FILE* file_;
  // Text written and not yet handed to the file: it goes in pieces of up to
  // kPiece bytes (large enough that the stream writes them as they are, not
  // copied into its buffer), and all of it by finish().
  static constexpr std::size_t kPiece = std::size_t{256} << 10;
  static_assert(kLargestRoom < kPiece);
  std::unique_ptr<char[]> pending_ = std::make_unique<char[]>(kPiece);
  std::size_t used_ = 0;
  std::string escaped_;  // a string's text, escaped
  // The texts of the last numbers repeatedNumber wrote: a square, a
  // difference of either sign and a share, and room to spare.
  struct Written {
    std::uint64_t bits = 0;
    std::uint8_t length = 0;  // 0: none yet
    char text[kShortestRoom + 2] = {};
  };
  static constexpr std::size_t kWritten = 6;
  Written written_[kWritten];
  std::size_t nextWritten_ = 0;
  bool ok_ = true;
  bool first_ = true;
  int depth_ = 0;
};

}  // namespace velmora::companion
