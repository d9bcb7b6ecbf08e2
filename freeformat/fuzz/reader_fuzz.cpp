// Arbitrary bytes read as a file through a short program of read statements.
//
// Input: byte 0 picks the piece size of the second pass, byte 1 the number of
// statements (1 to 8), then two bytes per statement: the first gives the item
// count (1 to 3) and whether the statement accepts the end of the file, the
// second the kind of each item (a number, text of width 72 or of width 16).
// The rest is the file. The program is run round and round until the end of
// the file or a stop, three times: once reading the file, once getting its
// bytes in small pieces, once reading the file by the general rules alone
// (no short-record read, no one-pass read of ordinary records, no one-call
// number). What must hold for every input:
//   - text items are written within their width and nothing else is: guard
//     bytes around every buffer, and a 16-wide item leaves the bytes after it;
//   - text never holds a record end (line feed or carriage return);
//   - every stop is two lines naming the statement, channel, file and, for a
//     bad value, an item of the statement and a line of the file not before
//     the records the earlier statements consumed;
//   - a statement that accepts the end of the file is stopped by it only for a
//     quoted text value still open; after EndOfFile the file stays at its end;
//   - every statement consumes at least one record;
//   - all three passes see the same values, statuses and stops;
//   - nothing but a stop escapes.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "freeformat/freeformat.h"
#include "freeformat/fuzz/fuzz_support.h"
#include "freeformat/system.h"

namespace {

using namespace velmora;
using fuzz::require;

constexpr int kChannel = 13;
constexpr int kFirstStatement = 100;
constexpr int kOpenStatement = 10;
constexpr int kRewindStatement = 11;
constexpr int kCloseStatement = 12;
constexpr std::size_t kMaxItems = 3;
constexpr std::size_t kMaxStatements = 8;
constexpr std::size_t kSlotWidth = 72;
constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xa5;
constexpr unsigned char kFillByte = '#';
constexpr std::array<std::size_t, 16> kPieces{1, 2, 3, 4, 5, 7, 8, 9, 13, 16, 17, 31, 32, 33, 64, 127};

enum class Kind : std::uint8_t { Number, Text72, Text16 };

struct Statement {
  std::size_t count = 1;
  bool acceptsEnd = false;
  std::array<Kind, kMaxItems> kinds{};

  [[nodiscard]] bool hasText() const {
    for (std::size_t i = 0; i < count; ++i) {
      if (kinds[i] != Kind::Number) return true;
    }
    return false;
  }
};

struct Program {
  std::size_t piece = 0;
  std::size_t size = 0;
  std::array<Statement, kMaxStatements> statements;
};

bool decodeProgram(const std::uint8_t*& data, std::size_t& size, Program& program) {
  if (size < 2) return false;
  program.piece = kPieces[data[0] % kPieces.size()];
  program.size = 1 + data[1] % kMaxStatements;
  data += 2;
  size -= 2;
  if (size < 2 * program.size) return false;
  for (std::size_t s = 0; s < program.size; ++s) {
    Statement& statement = program.statements[s];
    statement.count = 1 + data[0] % kMaxItems;
    statement.acceptsEnd = (data[0] & 0x80) != 0;
    for (std::size_t i = 0; i < kMaxItems; ++i) {
      unsigned kind = (data[1] >> (2 * i)) & 3U;
      statement.kinds[i] = kind == 1 ? Kind::Text72 : kind == 2 ? Kind::Text16 : Kind::Number;
    }
    data += 2;
    size -= 2;
  }
  return true;
}

// The items' storage: one guarded 72-byte slot and one double per position.
struct Targets {
  std::array<std::array<unsigned char, kGuard + kSlotWidth + kGuard>, kMaxItems> slots;
  std::array<double, kMaxItems> numbers;

  void reset() {
    for (auto& slot : slots) {
      std::memset(slot.data(), kGuardByte, slot.size());
      std::memset(slot.data() + kGuard, kFillByte, kSlotWidth);
    }
    numbers.fill(-1.25);
  }
  char* text(std::size_t i) { return reinterpret_cast<char*>(slots[i].data() + kGuard); }
};

std::size_t widthOf(Kind kind) { return kind == Kind::Text72 ? 72 : kind == Kind::Text16 ? 16 : 0; }

// Only the statement's own items may change, text only within its width.
void checkTargets(const Targets& before, const Targets& after, const Statement& statement) {
  for (std::size_t i = 0; i < kMaxItems; ++i) {
    const bool used = i < statement.count;
    const std::size_t width = used ? widthOf(statement.kinds[i]) : 0;
    const auto& was = before.slots[i];
    const auto& now = after.slots[i];
    require(std::memcmp(was.data(), now.data(), kGuard) == 0, "the guard before a text item is intact");
    require(std::memcmp(was.data() + kGuard + width, now.data() + kGuard + width,
                        kSlotWidth - width + kGuard) == 0,
            "nothing after a text item's width is written (all of a slot it does not use)");
    for (std::size_t k = 0; k < width; ++k) {
      unsigned char c = now[kGuard + k];
      require(c != '\n' && c != '\r', "text never holds a record end");
    }
    const bool numberUsed = used && statement.kinds[i] == Kind::Number;
    require(numberUsed || std::memcmp(&before.numbers[i], &after.numbers[i], sizeof(double)) == 0,
            "a number that is no item of the statement is unchanged");
  }
}

// What one pass saw: every status, every item's bytes, the stop's text.
std::string runPass(const Program& program, std::string_view file, const std::string& path) {
  static FreeFormatReader reader(kChannel);
  static Targets targets;
  targets.reset();
  std::string transcript;
  const long long records = fuzz::recordsIn(file);
  const bool hasQuote = file.find_first_of("'\"") != std::string_view::npos;
  const bool hasStar = file.find('*') != std::string_view::npos;
  const fuzz::StopBounds bounds{path, kChannel, records + 1, static_cast<int>(kMaxItems)};

  reader.open(path, kOpenStatement);
  reader.rewind(kRewindStatement);
  long long completed = 0;
  for (std::size_t s = 0;; s = (s + 1) % program.size) {
    const Statement& statement = program.statements[s];
    const int number = kFirstStatement + static_cast<int>(s);
    std::array<Item, kMaxItems> items{NumberItem{nullptr}, NumberItem{nullptr}, NumberItem{nullptr}};
    for (std::size_t i = 0; i < statement.count; ++i) {
      if (statement.kinds[i] == Kind::Number) {
        items[i] = NumberItem{&targets.numbers[i]};
      } else {
        items[i] = TextItem{targets.text(i), widthOf(statement.kinds[i])};
      }
    }
    const std::span<const Item> list(items.data(), statement.count);
    const Targets before = targets;
    ReadStatus status = ReadStatus::Ok;
    bool stopped = false;
    try {
      if (statement.acceptsEnd) {
        status = reader.readOrEnd(list, number);
      } else {
        reader.read(list, number);
      }
    } catch (const fuzz::Stopped& stop) {
      const StopReport& report = stop.report;
      require(report.statement == number, "the stop names the statement that failed");
      fuzz::StopBounds own = bounds;
      own.maxItem = static_cast<int>(statement.count);
      const fuzz::StopFacts facts = fuzz::checkStop(report, own);
      // Each statement before this one consumed a record of its own.
      require(facts.line == 0 || facts.line > completed, "a bad value's line is past the records consumed");
      const Kind failedKind = facts.item > 0 ? statement.kinds[static_cast<std::size_t>(facts.item - 1)] : Kind::Number;
      if (report.kind == Failure::EndOfFile && statement.acceptsEnd) {
        require(statement.hasText() && hasQuote,
                "only an open quoted text value stops a statement that accepts the end of the file");
      }
      if (report.kind == Failure::BadText) {
        require(hasQuote && failedKind != Kind::Number, "bad text is a text item's quoted value");
      }
      if (report.kind == Failure::BadNumber && failedKind != Kind::Number) {
        require(hasStar, "a text item is a bad number only for a zero repeat count");
      }
      transcript += report.text;
      stopped = true;
    }
    checkTargets(before, targets, statement);
    for (std::size_t i = 0; i < kMaxItems; ++i) {
      transcript.append(targets.text(i), kSlotWidth);
      transcript.append(reinterpret_cast<const char*>(&targets.numbers[i]), sizeof(double));
    }
    if (stopped) break;
    if (status == ReadStatus::EndOfFile) {
      // At the end a statement finds the end again, and leaves its items.
      double untouched = 7.5;
      const Item one[] = {NumberItem{&untouched}};
      require(reader.readOrEnd(one, number) == ReadStatus::EndOfFile && untouched == 7.5,
              "the end of the file is met again");
      transcript += "<end>";
      break;
    }
    transcript += "<ok>";
    ++completed;
    require(completed <= records, "every statement consumes a record");
  }
  reader.close(kCloseStatement);
  return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::InputFile input("reader");
  static const bool ready = [] {
    setStopHandler(fuzz::throwStop);
    fuzz::ReadSeam::install();
    return true;
  }();
  (void)ready;

  Program program;
  if (!decodeProgram(data, size, program)) return 0;
  input.write(data, size);
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  try {
    fuzz::ReadSeam::fromFile();
    const std::string whole = runPass(program, file, input.path());
    fuzz::ReadSeam::fromMemory(data, size, program.piece);
    const std::string pieces = runPass(program, file, input.path());
    require(whole == pieces, "reading in small pieces changes nothing");
    fuzz::ReadSeam::fromFile();
    detail::fastPathsEnabled = false;
    const std::string general = runPass(program, file, input.path());
    detail::fastPathsEnabled = true;
    require(whole == general, "the faster paths read what the general rules read");
  } catch (const fuzz::Stopped&) {
    fuzz::violated("a stop outside a read statement");
  } catch (...) {
    fuzz::violated("only a stop may escape a statement");
  }
  return 0;
}
