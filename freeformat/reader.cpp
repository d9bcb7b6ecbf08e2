#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "blockclass.h"
#include "blocktarget.h"
#include "fastnumber.h"
#include "fastrecord.h"
#include "reader.h"
#include "grammar.h"
#include "number.h"
#include "recordpattern.h"
#include "system.h"
#include "tokens.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {

namespace detail {
SystemCalls systemCalls{::read, ::close};
bool fastPathsEnabled = true;
}  // namespace detail

namespace {

// The values of the bytes [first, lineFeed) after a statement's last value on
// its record, *lineFeed being the line feed that ends it or the buffer's
// sentinel: counted, never judged (the next statement discards them unseen),
// so their count costs the tokenizer's pass over their bytes and no number
// scan, whatever they are. Not `exact`: 1 if any value follows, found from
// the first token alone.
std::uint32_t valuesAfterStatement(const char* first, const char* lineFeed, bool exact) {
  if (!exact) {
    detail::TokenState state = detail::TokenState::afterValue();
    const detail::TokenKind kind = detail::nextToken(first, lineFeed, true, state).kind;
    return kind == detail::TokenKind::End || kind == detail::TokenKind::Slash ? 0 : 1;
  }
  std::uint32_t values = 0;
  detail::forEachValue(first, lineFeed, detail::TokenState::afterValue(), [&](const detail::RecordValue& value) {
    const auto room = static_cast<std::uint64_t>(UINT32_MAX - values);
    values += static_cast<std::uint32_t>(std::min(value.count, room));
  });
  return values;
}

// 64 KiB a read, by measurement (bench/README.md): large enough that system
// calls cost nothing per value, small enough that the kernel copies the file
// into a block still in the cache, and that it stays there while it is
// scanned; from 128 KiB up the system time doubles.
constexpr std::size_t kBlockSize = std::size_t{64} << 10;
// After the valid bytes: the line-feed sentinel and what the sixteen-byte
// loads of the blank skip and of a short record's read, the eight- and
// sixteen-byte loads of the number scan, and the block read's 64-byte loads,
// may read beyond it.
constexpr std::size_t kPadding = 64;
static_assert(kPadding >= detail::kBlockRowPadding, "a record's bytes are classified 64 at a time");
static_assert(kPadding >= detail::kNumberPadding, "the number scanner reads this far past the sentinel");
static_assert(kPadding >= detail::kBlankPadding, "blanks are skipped sixteen bytes at a time");
static_assert(kPadding >= detail::kShortRecordPadding, "a short record is classified from two loads");
static_assert(kPadding >= 2 * detail::kShortRecordBytes - 1, "a record of tabs or commas is classified 64 bytes at once");

// A block buffer reserved ahead and not taken by a reader now (reserveBuffer);
// kept for the process.
char* spareBuffer = nullptr;

static_assert(kPadding >= detail::kPatternPadding, "a record's pattern is checked sixteen bytes a step");

char* allocateBuffer() {
  constexpr std::size_t kBufferSize = kBlockSize + 1 + kPadding;
  char* buffer = new (std::nothrow) char[kBufferSize];
  if (buffer == nullptr) stopOutOfMemory(kBufferSize, ENOMEM);
  return buffer;
}

// Readers that exist, for the check that one file is never open on two channels.
constexpr std::size_t kMaxChannels = 16;
std::array<const FreeFormatReader*, kMaxChannels> channelTable{};

// The pattern of the table's records each reader reads by (recordpattern.h),
// one for each slot of the channel table: nothing allocated, the block
// buffer as it was. (Beyond the table's slots, which only a programming
// error reaches, readers share one: a pattern is checked against every
// record it reads, so sharing costs speed, never a value.)
std::array<detail::RecordPattern, kMaxChannels + 1> channelPatterns{};

detail::RecordPattern& patternOf(const FreeFormatReader* reader) {
  std::size_t slot = 0;
  while (slot < kMaxChannels && channelTable[slot] != reader) ++slot;
  return channelPatterns[slot];
}

// Where a relative name is looked up (FreeFormatReader::setNameFolder).
int nameFolder = AT_FDCWD;

using detail::byteClass;
using detail::endsValue;
using detail::isBlank;

// A byte from peek() (-1 at the end of the file, which ends a value too).
bool isTerminator(int c) { return c < 0 || endsValue(static_cast<unsigned char>(c)); }

// Stores a value into a text item: left-justified, blank-padded or cut.
// Returns how many of its bytes the item holds.
std::size_t storeText(const Item& item, const char* text, std::size_t length) {
  std::size_t width = item.width();
  std::size_t n = length < width ? length : width;
  std::memcpy(item.chars(), text, n);
  std::memset(item.chars() + n, ' ', width - n);
  return n;
}

}  // namespace

// An unquoted value's bytes, as gatherValue met them.
struct FreeFormatReader::GatheredValue {
  char* end;            // the byte after the value (or after its repeat count)
  bool repeat;          // they are a repeat count, the asterisk included
  std::uint64_t count;  // that count, saturated
  bool kept;            // [pos_, end) holds the value, folded when long (foldedScale_)
};

// Collects the leftmost `width` bytes of a value of any length.
struct FreeFormatReader::TextSink {
  char* text;
  std::size_t width;
  std::size_t length = 0;
  void put(char c) {
    if (length < width) text[length++] = c;
  }
};

FreeFormatReader::FreeFormatReader(int channel) : detail::ReaderState(channel) {
  // First, so that a reader that could not get its buffer was never listed.
  reservedBuffer_ = spareBuffer != nullptr;
  buffer_.reset(reservedBuffer_ ? std::exchange(spareBuffer, nullptr) : allocateBuffer());
  for (const FreeFormatReader* other : channelTable) {
    assert(other == nullptr || other->channel_ != channel);  // one reader per channel
    (void)other;
  }
  for (const FreeFormatReader*& slot : channelTable) {
    if (slot == nullptr) {
      slot = this;
      return;
    }
  }
  assert(false && "too many channels");
}

void FreeFormatReader::reserveBuffer() {
  if (spareBuffer == nullptr) spareBuffer = allocateBuffer();
}

FreeFormatReader::~FreeFormatReader() {
  // Handed back for the next reader, unless another was reserved meanwhile:
  // then this one is freed, not lost.
  if (reservedBuffer_ && spareBuffer == nullptr) spareBuffer = buffer_.release();
  if (fd_ >= 0) ::close(fd_);
  for (const FreeFormatReader*& slot : channelTable) {
    if (slot == this) slot = nullptr;
  }
}

void FreeFormatReader::fail(Failure kind, int item, long long line, int osError) const {
  StopContext context;
  context.kind = kind;
  context.statement = statement_;
  context.channel = channel_;
  if (fd_ >= 0) context.file = std::string_view(name_, nameLength_);
  context.item = item;
  context.line = line;
  if (line > 0 && line == line_ && pos_ != nullptr) {
    context.recordOffset = recordOffsetAt(pos_);
    if (context.recordOffset >= 0) context.record = bufferedRecord(context.recordOffset);
  }
  context.osError = osError;
  stopRun(context);
}

// ---------------------------------------------------------------------------
// Channels.

int FreeFormatReader::setNameFolder(int folder) {
  return std::exchange(nameFolder, folder);
}

void FreeFormatReader::open(std::string_view name, int statement) {
  openWith(name, statement, false);
}

void FreeFormatReader::openReadOnly(std::string_view name, int statement) {
  openWith(name, statement, true);
}

std::string_view fileNameOf(std::string_view name) {
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return name;
}

int unaskableNameError(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return ENOENT;
  if (name.size() > kMaxNameLength) return ENAMETOOLONG;
  return 0;
}

OpenAttempt firstOpenAttempt(bool createMissing) {
  return createMissing ? OpenAttempt::ReadWriteCreate : OpenAttempt::ReadOnly;
}

OpenAttempt nextOpenAttempt(bool createMissing, OpenAttempt refused, int error) {
  const bool noPermission = error == EPERM || error == EACCES;
  if (!createMissing) return OpenAttempt::GiveUp;  // a read-only open asks once
  switch (refused) {
    case OpenAttempt::ReadWriteCreate:
      return noPermission || error == EROFS ? OpenAttempt::ReadOnly : OpenAttempt::GiveUp;
    case OpenAttempt::ReadOnly:
      return noPermission || error == ENOENT ? OpenAttempt::WriteOnlyCreate : OpenAttempt::GiveUp;
    case OpenAttempt::WriteOnlyCreate:
    case OpenAttempt::GiveUp:
      break;
  }
  return OpenAttempt::GiveUp;
}

OpenStop stopAfterOpen(const OpenOutcome& outcome, FileKind kind) {
  if (outcome.attempt == OpenAttempt::GiveUp) return {OpenStep::Open, Failure::OpenFailure, outcome.error};
  if (kind == FileKind::Fifo) return {OpenStep::Rewind, Failure::IoError, ESPIPE};
  if (outcome.attempt == OpenAttempt::WriteOnlyCreate) return {OpenStep::FirstRead, Failure::CannotRead, 0};
  if (kind == FileKind::Missing) return {OpenStep::FirstRead, Failure::EndOfFile, 0};
  return {};
}

void FreeFormatReader::openWith(std::string_view name, int statement, bool readOnly) {
  assert(fd_ < 0 && "channel already open");
  statement_ = statement;
  name = fileNameOf(name);

  auto openFailed = [&](int osError) {
    StopContext context;
    context.kind = Failure::OpenFailure;
    context.statement = statement;
    context.channel = channel_;
    context.osError = osError;
    context.openName = name;
    stopRun(context);
  };
  if (const int error = unaskableNameError(name); error != 0) openFailed(error);
  // The name goes into the channel's own array, NUL-terminated for the
  // operating system; once the open succeeds it names the file in
  // diagnostics, until the close.
  name.copy(name_, name.size());
  name_[name.size()] = '\0';
  const char* path = name_;

  struct stat status {};
  if (::fstatat(nameFolder, path, &status, 0) == 0) {
    for (const FreeFormatReader* other : channelTable) {
      if (other != nullptr && other != this && other->fd_ >= 0 &&
          other->device_ == status.st_dev && other->inode_ == status.st_ino) {
        fail(Failure::AlreadyOpen);
      }
    }
  }

  constexpr mode_t kMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
  const OpenOutcome outcome = followOpenRules(name, !readOnly, [&](OpenAttempt attempt) {
    int flags = O_CLOEXEC;
    switch (attempt) {
      case OpenAttempt::ReadWriteCreate:
        flags |= O_RDWR | O_CREAT;
        break;
      case OpenAttempt::ReadOnly:
        flags |= O_RDONLY;
        break;
      case OpenAttempt::WriteOnlyCreate:
        flags |= O_WRONLY | O_CREAT;
        break;
      case OpenAttempt::GiveUp:
        return -EINVAL;
    }
    const int fd = ::openat(nameFolder, path, flags, kMode);
    return fd >= 0 ? fd : -errno;
  });
  if (outcome.attempt == OpenAttempt::GiveUp) openFailed(outcome.error);
  const int fd = outcome.granted;
  const Access access = outcome.attempt == OpenAttempt::ReadWriteCreate ? Access::ReadWrite
                        : outcome.attempt == OpenAttempt::ReadOnly      ? Access::ReadOnly
                                                                        : Access::WriteOnly;

  struct stat opened {};
  if (::fstat(fd, &opened) == 0) {
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
  }
  fd_ = fd;
  access_ = access;
  nameLength_ = name.size();
  startAtFirstRecord();
}

// The line-feed sentinel after the valid bytes, and zeros in the padding
// after it, so that the wide loads never read bytes no one wrote.
void FreeFormatReader::markEnd() {
  *end_ = '\n';
  std::memset(end_ + 1, 0, kPadding);
}

// Forgets what was read: the next statement starts with the first record.
void FreeFormatReader::startAtFirstRecord() {
  pos_ = end_ = buffer_.get();
  markEnd();
  atEof_ = false;
  discardPending_ = false;
  recordKnown_ = false;
  line_ = 1;
  statementLine_ = 0;
  statementEndLine_ = 0;
  endedBySlash_ = false;
  opener_ = StatementOpener::EndOfFile;
  statementOffset_ = -1;
  trackOffsets_ = false;
  bufferOffset_ = 0;
  bufferStartsRecord_ = true;
  tableEnded_ = false;
  lastByte_ = -1;
  detail::forgetPattern(patternOf(this));
  varyingWidths_ = false;
  // The tests' switch, read once a file, not once a statement.
  fastPaths_ = detail::fastPathsEnabled;
}

void FreeFormatReader::rewind(int statement) {
  assert(fd_ >= 0);
  statement_ = statement;
  if (::lseek(fd_, 0, SEEK_SET) < 0) fail(Failure::IoError, 0, 0, errno);
  startAtFirstRecord();
}

void FreeFormatReader::close(int statement) {
  assert(fd_ >= 0);
  statement_ = statement;
  if (detail::systemCalls.close(fd_) != 0) {
    int error = errno;
    fail(Failure::IoError, 0, 0, error);  // the file is still named
  }
  fd_ = -1;
  tap_ = ByteTap{};
  nameLength_ = 0;
  name_[0] = '\0';
  device_ = inode_ = 0;
}

// Keeps the bytes from pos_ on (a value in progress), moves them to the front
// and reads the next block after them. False when nothing new could be read:
// the end of the file, or a value as long as the whole buffer.
bool FreeFormatReader::refill() {
  if (atEof_) return false;
  char* base = buffer_.get();
  std::size_t kept = static_cast<std::size_t>(end_ - pos_);
  if (kept == kBlockSize) return false;
  if (pos_ != base) {
    bufferStartsRecord_ = pos_[-1] == '\n';
    bufferOffset_ += pos_ - base;
    std::memmove(base, pos_, kept);
  }
  pos_ = base;
  end_ = base + kept;
  for (;;) {
    ssize_t got = detail::systemCalls.read(fd_, end_, kBlockSize - kept);
    if (got > 0) {
      if (tap_.bytes != nullptr) tap_.bytes(tap_.context, {end_, static_cast<std::size_t>(got)});
      end_ += got;
      lastByte_ = static_cast<unsigned char>(end_[-1]);
      markEnd();
      return true;
    }
    if (got == 0) {
      atEof_ = true;
      markEnd();
      if (tap_.bytes != nullptr) tap_.bytes(tap_.context, {});
      return false;
    }
    if (errno != EINTR) fail(Failure::IoError, 0, 0, errno);
  }
}

// ---------------------------------------------------------------------------
// The faster reads of a record.

namespace {

// Where the items' values go: the targets of a statement's number items, or
// the consecutive doubles of a table's row.
struct ItemTargets {
  const Item* items;
  double* operator()(std::size_t k) const { return items[k].number(); }
};
struct RowTargets {
  double* row;
  double* operator()(std::size_t k) const { return row + k; }
};

bool allNumbers(std::span<const Item> items) {
  if (items.empty() || items.size() > detail::kMaxBulkItems) return false;
  for (const Item& item : items) {
    if (!item.isNumber()) return false;
  }
  return true;
}

// The bytes that may end a value the one-pass read takes: before another
// value, a blank, comma or semicolon; after the statement's last, whatever
// ends a value, as the rest of the record is discarded.
constexpr std::uint8_t kEndsInnerValue = detail::kBlank | detail::kComma;
constexpr std::uint8_t kEndsLastValue = detail::kEndsValue;

// Blanks at p: up to sixteen spaces in one step with no branch on their
// number (it varies with the signs and sizes of the values); then any
// further blanks as they come.
[[gnu::always_inline]] inline const char* skipBlanks(const char* p) {
  p += detail::leadingSpaces16(p);
  if (static_cast<unsigned char>(*p) <= ' ') {
    while (isBlank(static_cast<unsigned char>(*p))) ++p;
  }
  return p;
}

// The short record's read takes records of only spaces, digits, points and
// minus signs before their line feed, and leaves every other byte to the
// one-pass read and the general rules; what it takes must mean there what the
// table of byte classes says.
static_assert(byteClass(' ') == detail::kBlank && byteClass('\n') == detail::kRecordEnd &&
                  byteClass('-') == detail::kSign && byteClass('.') == 0 && byteClass('0') == 0 &&
                  byteClass('9') == 0,
              "the short record's read splits values as the table does");
static_assert(byteClass('\t') == detail::kBlank && byteClass(',') == detail::kComma,
              "the short record's read of 64 bytes parts values as the table does");
static_assert(byteClass('+') == detail::kSign && byteClass('e') == detail::kExponentLetter &&
                  byteClass('E') == detail::kExponentLetter && byteClass('d') == detail::kExponentLetter &&
                  byteClass('D') == detail::kExponentLetter,
              "the short record's read of exponents knows the table's signs and letters");

#if defined(__SSE2__)
// A short record's bytes from its first, a class a mask (bit i for byte i):
// line feeds, digits, blanks, points, minus signs; for a record whose
// values tabs or commas part, the tabs (among the blanks too) and commas;
// for values with exponents, the exponents' letters (and the plus signs
// among the minuses).
template <class Mask>
struct ShortMasksOf {
  Mask lineFeeds, digits, spaces, points, minuses, tabs, commas, letters;
};
using ShortMasks = ShortMasksOf<std::uint32_t>;

// A class of the 32 bytes at p as a mask (bit i for byte i), from two
// sixteen-byte loads (every x86-64).
template <class Lanes>
[[gnu::always_inline]] inline std::uint32_t shortMask(const char* p, Lanes lanes) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(lanes(first))) |
         static_cast<std::uint32_t>(_mm_movemask_epi8(lanes(second))) << 16;
}

[[gnu::always_inline]] inline std::uint32_t shortEqual(const char* p, char c) {
  return shortMask(p, [c](__m128i bytes) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); });
}

// The record's line feeds: a record without one among its first 32 bytes is
// not short, told before its other classes are made.
[[gnu::always_inline]] inline std::uint32_t shortLineFeeds(const char* p) { return shortEqual(p, '\n'); }

// The masks, its line feeds known.
[[gnu::always_inline]] inline ShortMasks classifyShort(const char* p, std::uint32_t lineFeeds) {
  return {lineFeeds, shortMask(p, [](__m128i bytes) { return detail::fast::digitLanes(bytes); }),
          shortEqual(p, ' '), shortEqual(p, '.'), shortEqual(p, '-'), 0, 0, 0};
}

[[gnu::always_inline]] inline ShortMasks classifyShort(const char* p) { return classifyShort(p, shortLineFeeds(p)); }

// What a short record's read takes besides values of digits, points and
// minus signs parted by spaces (flags).
enum ShortForm : unsigned {
  kSpacesOnly = 0,
  kParted = 1,      // tabs among the blanks, and one comma at most between two values
  kNeedsParts = 2,  // taken only when tabs or commas part some values
  kExponents = 4,   // plus signs, and exponents: E, e, D or d, an optional sign, digits
  kPlaced = 8,      // a kept value without exponent handed on by its place (targets.place)
};

// The short record's read of the record at p, the buffer's line-feed
// sentinel at `end`, from its masks `m` (Mask: 32 or 64 bytes of them): the
// bytes before its line feed (at most 31 or 63), or -1 when it does not
// take the record. The kept values are stored in their targets (with
// kPlaced, the places of those without an exponent); with `held`, the count
// of the record's values goes there. kForm: what else it takes (ShortForm);
// with kExponents the masks' minuses are both signs.
//
// With `second`, where the second value's digits lie goes there (a record of
// three values or more without exponents).
struct ShortPlace {
  std::size_t at, size, integer;  // its first digit or point; its bytes from there; those before its point
};

template <class Targets, class Mask = std::uint32_t, unsigned kForm = kSpacesOnly>
[[gnu::always_inline]] inline int readShortValues(Targets targets, std::size_t count, std::uint32_t convert,
                                                  const char* p, const char* end, std::uint32_t* held,
                                                  const ShortMasksOf<Mask>& m, ShortPlace* second = nullptr) {
  constexpr bool kSeparators = (kForm & kParted) != 0;
  constexpr bool kWithExponents = (kForm & kExponents) != 0;
  constexpr bool kPlacedValues = (kForm & kPlaced) != 0;
  const Mask lineFeeds = m.lineFeeds;
  if (lineFeeds == 0) return -1;
  const int length = std::countr_zero(lineFeeds);  // bytes before the line feed
  if (p + length == end) return -1;  // the sentinel: the record may go on in the next block
  const Mask digits = m.digits;
  const Mask spaces = m.spaces;
  const Mask points = m.points;
  const Mask minuses = m.minuses;
  const Mask before = (Mask{1} << length) - 1;
  const Mask comma = kSeparators ? m.commas & before : 0;
  const Mask letter = kWithExponents ? m.letters & before : 0;
  if (((spaces | digits | points | minuses | comma | letter) & before) != before) return -1;
  const Mask value = ~(spaces | comma) & before;  // the bytes of values
  const Mask allStarts = value & ~(value << 1);
  Mask starts = allStarts;
  Mask ends = value & ~(value >> 1);   // each value's last byte
  const Mask minus = minuses & before;
  const Mask point = points & before;
  if constexpr ((kForm & kNeedsParts) != 0) {
    if (((m.tabs | comma) & before) == 0) return -1;
  }
  if constexpr (kSeparators) {
    if (allStarts == 0) return -1;
    // No comma before the first value, and one at most in each gap after
    // it: either would be a null value. (Adding each comma's bit to its
    // gap's run of ones carries past any later comma there, as the points
    // below.) A comma after the last value ends it, or a value no item
    // takes.
    if ((comma & ((allStarts & (~allStarts + 1)) - 1)) != 0 ||
        ((((spaces | comma) & before) + comma) & comma) != 0) {
      return -1;
    }
  }
  if constexpr (kWithExponents) {
    // At most one letter in a value (the carry, as for the points below),
    // after a digit or after a point that follows one, and never its
    // value's last byte; no point after it. Its sign, if any, is held to
    // the signs' rule below: only at a value's start or after a letter.
    if (letter != 0) {
      const Mask exponent = value & ~(value + letter);  // from each letter to its value's end
      const Mask afterDigit = (digits & before) << 1;
      if (((value + letter) & letter) != 0 || (letter & (ends | ~(afterDigit | ((point & afterDigit) << 1)))) != 0 ||
          (point & exponent) != 0) {
        return -1;
      }
    }
  }
  // Every value of the record checked at once: a minus only at a value's
  // start and never alone; at most one point in a value (adding each point's
  // bit to its value's run of ones carries to the run's end, past any other
  // point there, so a point that survives the sum had one before it in its
  // value), and a point never alone (a digit before it, or after it).
  if ((minus & (ends | ~(starts | (letter << 1)))) != 0 || ((value + point) & point) != 0 ||
      (point & ends & ~((digits & before) << 1)) != 0) {
    return -1;
  }
  // Only the values kept are looked at again: at most fifteen digits, the
  // conversion's exact case. A record of integers (no point in it) skips the
  // point's handling.
  // Inlined wherever the read is: a call a record would cost more than it.
  auto readValues = [&]<bool kPoints, bool kFewBytes = false>() __attribute__((always_inline)) {
#pragma GCC unroll 3
    for (std::size_t k = 0; k < count; ++k) {
      if (starts == 0) return false;  // fewer values than items
      if (((convert >> k) & 1) != 0) {
        const std::size_t start = static_cast<unsigned>(std::countr_zero(starts));
        const std::size_t last = static_cast<unsigned>(std::countr_zero(ends));
        const bool negative = p[start] == '-';
        // The first digit or point (past a plus too, with exponents).
        const std::size_t at = start + (kWithExponents ? static_cast<std::size_t>((minus >> start) & 1) : negative);
        const std::size_t size = last + 1 - at;
        if constexpr (kWithExponents) {
          if (((letter >> at) & ((Mask{2} << (size - 1)) - 1)) != 0) {
            // A value with an exponent: the one converter.
            double number;
            const std::from_chars_result read = detail::parseNumber(p + start, end, number);
            if (read.ec != std::errc() || read.ptr != p + last + 1) return false;
            *targets(k) = number;
            starts &= starts - 1;
            ends &= ends - 1;
            continue;
          }
        }
        if constexpr (kPlacedValues) {
          // The digits' place handed on: the caller converts them.
          // The first point from its first digit on is its own when it lies
          // before the value's end (with none, the count of zeros is the
          // mask's width, past any value).
          std::size_t integer = size;
          if constexpr (kPoints) {
            const Mask from = point >> at;
            integer = std::min<std::size_t>(static_cast<unsigned>(std::countr_zero(from)), size);
          }
          if (!kFewBytes && size - (integer != size) > detail::fast::kMaxShortDigits) return false;
          targets.place(k, p + at, size, integer, negative);
          starts &= starts - 1;
          ends &= ends - 1;
          continue;
        }
        double magnitude;
        if constexpr (kPoints) {
          const Mask itsPoint = (point >> at) & ((Mask{2} << (size - 1)) - 1);
          const std::size_t integer = itsPoint != 0 ? static_cast<unsigned>(std::countr_zero(itsPoint)) : size;
          if (size - (itsPoint != 0) > detail::fast::kMaxShortDigits) return false;
          if (second != nullptr && k == 1) *second = {at, size, integer};
          const std::uint64_t written = detail::fast::shortDecimalDigits(p + at, size, integer);
          magnitude = itsPoint != 0 ? detail::fast::exactQuotient(written, size - integer - 1)
                                    : static_cast<double>(written);
        } else {
          if (size > detail::fast::kMaxShortDigits) return false;
          if (second != nullptr && k == 1) *second = {at, size, size};
          magnitude = static_cast<double>(detail::fast::shortDigitsValue(p + at, static_cast<int>(size)));
        }
        *targets(k) = detail::fast::withSign(magnitude, negative);
      }
      starts &= starts - 1;
      ends &= ends - 1;
    }
    return true;
  };
  if constexpr (kPlacedValues && !kSeparators && !kWithExponents) {
    // With points, where no run of sixteen value bytes is found (each value
    // then has at most fifteen digits), no value's count of digits is looked
    // at; without, that count is its size, looked at as cheaply.
    static_assert(detail::fast::kMaxShortDigits == 15);
    Mask runs = value & (value >> 1);
    runs &= runs >> 2;
    runs &= runs >> 4;
    runs &= runs >> 8;
    const bool read = point == 0  ? readValues.template operator()<false>()
                      : runs == 0 ? readValues.template operator()<true, true>()
                                  : readValues.template operator()<true>();
    if (!read) return -1;
  } else if (!(point != 0 ? readValues.template operator()<true>() : readValues.template operator()<false>())) {
    return -1;
  }
  if (held != nullptr) {
    // The values counted by halves, nibbles and bytes: the baseline build
    // has no instruction for it, and the library's function is a call a row.
    Mask bits = allStarts - ((allStarts >> 1) & static_cast<Mask>(0x5555555555555555u));
    bits = (bits & static_cast<Mask>(0x3333333333333333u)) + ((bits >> 2) & static_cast<Mask>(0x3333333333333333u));
    bits = (bits + (bits >> 4)) & static_cast<Mask>(0x0F0F0F0F0F0F0F0Fu);
    *held = static_cast<std::uint32_t>((bits * static_cast<Mask>(0x0101010101010101u)) >> (8 * sizeof(Mask) - 8));
  }
  return length;
}
#endif

#if defined(__SSE2__)
// The written form of the second value of a short record the short read
// took, from where its digits lie and `aboveZero`, the mask of the record's
// digits above 0: the digits after the point, and the digits from the first
// one above 0 to the value's end, the point not among them.
struct ShortForm2 {
  std::uint8_t decimals, significant;
};
[[gnu::always_inline]] inline ShortForm2 shortSecondForm(const ShortPlace& second, std::uint32_t aboveZero) {
  // No digit above 0 from its first on: the count of trailing zeros is 32.
  const auto nonzero = std::min<std::size_t>(static_cast<unsigned>(std::countr_zero(aboveZero >> second.at)), second.size);
  const bool point = second.integer < second.size;
  return {static_cast<std::uint8_t>(point ? second.size - second.integer - 1 : 0),
          static_cast<std::uint8_t>(second.size - nonzero - (point && nonzero < second.integer ? 1 : 0))};
}

// The same with the record's lines, its count of values (`held`, three
// kept) and its offset.
[[gnu::always_inline]] inline RowLines shortLines(long long line, std::uint32_t held, long long offset,
                                                 const ShortForm2& form, std::uint8_t told) {
  return RowLines{.first = line, .last = line, .valuesHeld = held, .ignored = held - 3,
                  .told = told, .secondDecimals = form.decimals, .secondSignificant = form.significant,
                  .offset = offset, .record = RowRecord::Short};
}

// Where the short read with lines tells each record it took: a RowLines
// each, `surplus` not 0 when one held values after its third.
struct LinedRows {
  static constexpr bool kRun = false;
  RowLines* lines;
  std::uint32_t& surplus;
  std::uint8_t told;
  [[gnu::always_inline]] void operator()(std::size_t taken, long long line, std::uint32_t held, long long offset,
                                         const ShortForm2& form) const {
    surplus |= held - 3;
    lines[taken] = shortLines(line, held, offset, form, told);
  }
};

// Or told as a run (ToldRunRows): its offsets and column 2's written forms
// only, the lines implied; the read declines a record with values after
// its third (kRun), which ends the run.
struct RunRows {
  static constexpr bool kRun = true;
  long long* offsets;
  std::uint8_t* forms;
  [[gnu::always_inline]] void operator()(std::size_t taken, long long /*line*/, std::uint32_t /*held*/,
                                         long long offset, const ShortForm2& form) const {
    offsets[taken] = offset;
    // Both bytes in one store (x86: the first byte the low one).
    const std::uint16_t both = static_cast<std::uint16_t>(form.decimals | form.significant << 8);
    std::memcpy(forms + 2 * taken, &both, 2);
  }
};

// The short read of rows of three, every item kept, with what each row's
// record was and how its second value is written, told to `out` (LinedRows
// or RunRows): records
// after records from p, the first on `line` and starting `offset` bytes into
// the file, at most `rows`; how many it took, p past them. `classify` makes
// a record's masks (none but its line feeds when it has none among its
// first 32 bytes: a long record is declined before its other classes are
// made); `read` reads the record as readShortValues does, every item kept,
// with its count of values and how its second value is written, declining a record with values after its third
// where the run is told as a run (Out::kRun).
template <class Out, class Classify, class Read>
[[gnu::always_inline]] inline std::size_t linedShortRun(const char*& p, const char* end, double* row, Out out,
                                                        std::size_t rows, long long line, long long offset,
                                                        Classify classify, Read read) {
  constexpr std::size_t kCount = 3;
  std::size_t taken = 0;
  // A copy of p: what is told (bytes among them) could otherwise be p itself.
  const char* at = p;
  for (; taken < rows; ++taken, row += kCount, ++line) {
    std::uint32_t held = 0;
    const ShortMasks m = classify(at);
    ShortForm2 form;
    const int length = read(row, at, end, &held, m, &form);
    if (length < 0) break;
    out(taken, line, held, offset, form);
    offset += length + 1;
    at += length + 1;
  }
  p = at;
  return taken;
}

// Only the first record's start may be unknown, and then it is the run's
// only one.
inline std::uint8_t shortTold(long long offset) {
  return RowLines::kToldSecondForm | (offset >= 0 ? RowLines::kToldShortOneLine : std::uint8_t{0});
}

// The same with the masks from two sixteen-byte loads (every x86-64).
// (Rows with lines only: a run told as a run is read by the AVX2 form
// alone, so that the record's read here is compiled in as few places as
// before and stays inlined into the run without lines.)
[[gnu::noinline]] std::size_t readLinedShortRun(const char*& p, const char* end, double* row, LinedRows out,
                                                std::size_t rows, long long line, long long offset) {
  return linedShortRun(p, end, row, out, rows, line, offset,
                       [](const char* at) {
                         const std::uint32_t lineFeeds = shortLineFeeds(at);
                         return lineFeeds == 0 ? ShortMasks{} : classifyShort(at, lineFeeds);
                       },
                       [](double* values, const char* at, const char* sentinel, std::uint32_t* held,
                          const ShortMasks& m, ShortForm2* form) {
                         ShortPlace second;
                         const int length =
                             readShortValues(RowTargets{values}, 3, 0b111, at, sentinel, held, m, &second);
                         if (length >= 0) *form = shortSecondForm(second, m.digits & ~shortEqual(at, '0'));
                         return length;
                       });
}
#endif

#if defined(__x86_64__)
// Where a short record's three values lie, handed on by their places: the
// caller converts each by one byte shuffle (shuffledDecimal). Outside the
// code for AVX2, so that it is inlined into the read for any processor.
// Each value's shuffle is told by its place among the shuffles made for
// every size and place of the point (17 a size): a record without a point
// has its places from its sizes alone.
struct PlacedRow {
  static constexpr std::size_t kPlacesASize = 17;
  const char* digits[3];  // each value's first digit or point
  std::size_t shuffle[3]; // its bytes of digits and point times 17, plus the point's place (the bytes when none)
  bool negative[3];
  double* operator()(std::size_t) const { return nullptr; }  // none has an exponent
  [[gnu::always_inline]] void place(std::size_t k, const char* at, std::size_t bytes, std::size_t point, bool minus) {
    digits[k] = at;
    shuffle[k] = bytes * kPlacesASize + point;
    negative[k] = minus;
  }
};

// The short read of the usual table (rows of three, the second kept) with
// its masks from one thirty-two-byte load, where the processor has AVX2
// (detail::wideReads); a record it does not take is tried again in 64 bytes
// from two loads, with tabs among the blanks and commas between values
// (the records of varying widths parted by tabs or commas, which no
// record's pattern serves): records after records from p, at most `rows`;
// how many it took, p past them.
VELMORA_TARGET_BEGIN("avx2,bmi,bmi2")
namespace avx2 {

[[gnu::always_inline]] inline std::uint32_t equalMask(__m256i bytes, char c) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(c))));
}

[[gnu::always_inline]] inline std::uint32_t digitMask(__m256i bytes) {
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i values = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(values, nine), nine)));
}

[[gnu::always_inline]] inline ShortMasks classifyShort(__m256i bytes) {
  return {equalMask(bytes, '\n'), digitMask(bytes), equalMask(bytes, ' '), equalMask(bytes, '.'),
          equalMask(bytes, '-'), 0, 0, 0};
}

[[gnu::always_inline]] inline std::uint64_t joined(std::uint32_t low, std::uint32_t high) {
  return low | std::uint64_t{high} << 32;
}

[[gnu::always_inline]] inline ShortMasksOf<std::uint64_t> classifySeparated(__m256i first, __m256i second) {
  const std::uint64_t tabs = joined(equalMask(first, '\t'), equalMask(second, '\t'));
  return {joined(equalMask(first, '\n'), equalMask(second, '\n')),
          joined(digitMask(first), digitMask(second)),
          joined(equalMask(first, ' '), equalMask(second, ' ')) | tabs,
          joined(equalMask(first, '.'), equalMask(second, '.')),
          joined(equalMask(first, '-'), equalMask(second, '-')),
          tabs,
          joined(equalMask(first, ','), equalMask(second, ',')),
          0};
}

// Where the 64-byte runs' kept value goes: converted by the caller from its
// digits' place (a value with an exponent, by the one converter, stored at
// once).
struct PlacedTargets {
  double* row;
  const char* digits = nullptr;  // the first digit or point
  std::size_t size = 0;          // the bytes of its digits and point
  std::size_t integer = 0;       // the point's place, `size` when none
  bool negative = false;
  double* operator()(std::size_t k) const { return row + k; }
  void place(std::size_t, const char* at, std::size_t bytes, std::size_t point, bool minus) {
    digits = at;
    size = bytes;
    integer = point;
    negative = minus;
  }
};

// The shuffles that move a plain decimal's digits to the end of sixteen
// lanes, skipping its point, made beforehand for every size of 1 to 16 bytes
// and every place of the point (the size itself for none): lane j takes
// digit j + written - 16 (written: the digits' count), past the point one
// byte further on; below 0, the high bit set, a zero. With each, what its
// digits' number is divided by: the power of ten of its decimals, 1 for a
// whole number (a division by 1 is exact), found at the same place.
struct DigitShuffle {
  alignas(16) std::array<std::uint8_t, 16> lanes{};
  double divisor = 1;
  std::uint8_t decimals = 0;  // the digits after the point
  std::uint8_t tooLong = 0;   // more than fifteen digits: no shuffle (the short read with lines only)
};
// Held in one array, 17 places a size: of(size, integer) is at
// size * 17 + integer.
struct DigitShuffles {
  static constexpr std::size_t kPlacesASize = 17;
  std::array<DigitShuffle, 17 * kPlacesASize> all{};
  constexpr DigitShuffle& of(std::size_t size, std::size_t integer) { return all[size * kPlacesASize + integer]; }
  constexpr const DigitShuffle& of(std::size_t size, std::size_t integer) const {
    return all[size * kPlacesASize + integer];
  }
};
constexpr DigitShuffles digitShuffles() {
  DigitShuffles made;
  for (int size = 1; size <= 16; ++size) {
    for (int integer = 0; integer <= size; ++integer) {
      const int written = size - (integer != size ? 1 : 0);
      DigitShuffle& shuffle = made.of(static_cast<std::size_t>(size), static_cast<std::size_t>(integer));
      for (int j = 0; j < 16; ++j) {
        const int digit = j + written - 16;
        shuffle.lanes[static_cast<std::size_t>(j)] =
            static_cast<std::uint8_t>(digit < 0 ? 0x80 : digit + (digit >= integer ? 1 : 0));
      }
      shuffle.divisor = integer != size ? detail::fast::kPowersOfTen[static_cast<std::size_t>(size - integer - 1)] : 1;
      shuffle.decimals = static_cast<std::uint8_t>(integer != size ? size - integer - 1 : 0);
    }
  }
  return made;
}
inline constexpr DigitShuffles kDigitShuffles = digitShuffles();

// The same shuffles for the short read with lines, found with no bound
// taken: for every size a value of a short record can have (1 to 31 bytes),
// 32 places, by how far the first point from the value's first digit lies
// (0 to 31: the record's points are looked at with bit 31 set, past any
// record's line feed), a point at its size or beyond being none of the
// value's. Its place is (size - 1) * 32 + that distance. A value of more
// than fifteen digits has no shuffle (its lanes all 0) and is told `tooLong`.
struct DigitShufflesByPoint {
  static constexpr std::size_t kPlacesASize = 32;
  std::array<DigitShuffle, 32 * kPlacesASize> all{};
};
constexpr DigitShufflesByPoint digitShufflesByPoint() {
  DigitShufflesByPoint made;
  for (std::size_t size = 1; size <= 32; ++size) {
    for (std::size_t point = 0; point < DigitShufflesByPoint::kPlacesASize; ++point) {
      DigitShuffle& shuffle = made.all[(size - 1) * DigitShufflesByPoint::kPlacesASize + point];
      if (size - (point < size ? 1 : 0) <= detail::fast::kMaxShortDigits) {
        shuffle = kDigitShuffles.of(size, std::min(point, size));
      } else {
        shuffle.lanes.fill(0x80);
        shuffle.tooLong = 1;
      }
    }
  }
  return made;
}
inline constexpr DigitShufflesByPoint kDigitShufflesByPoint = digitShufflesByPoint();

// The digits of a plain decimal of at most fifteen digits whose bytes the
// masks checked (`size` bytes at p, by its shuffle): moved to the end of
// sixteen lanes by one byte shuffle, and summed by multiply-adds of
// neighbouring lanes; the same digits as shortDecimalDigits takes. The
// byte constants may be given by a caller that holds them across records.
[[gnu::always_inline]] inline __m128i shuffledLanes(const char* p, const DigitShuffle& shuffle,
                                                    __m128i lowHalves = _mm_set1_epi8(0x0F)) {
  const __m128i from = _mm_load_si128(reinterpret_cast<const __m128i*>(shuffle.lanes.data()));
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_shuffle_epi8(_mm_and_si128(bytes, lowHalves), from);
}
[[gnu::always_inline]] inline std::uint64_t lanesNumber(__m128i digits, __m128i tens = _mm_set1_epi16(0x010A),
                                                        __m128i hundreds = _mm_set1_epi32(0x00010064),
                                                        __m128i tenThousands = _mm_set1_epi32(0x00012710)) {
  const __m128i pairs = _mm_maddubs_epi16(digits, tens);  // ten times the first, plus the second
  const __m128i fours = _mm_madd_epi16(pairs, hundreds);
  const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours), tenThousands);
  const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}
[[gnu::always_inline]] inline std::uint64_t shuffledDigits(const char* p, const DigitShuffle& shuffle) {
  return lanesNumber(shuffledLanes(p, shuffle));
}

// Its value (the point at `integer`, none when it is `size`): the
// conversion's exact case (as exactQuotient, written out).
[[gnu::always_inline]] inline double shuffledDecimal(const char* p, std::size_t size, std::size_t integer) {
  const DigitShuffle& shuffle = kDigitShuffles.of(size, integer);
  return static_cast<double>(shuffledDigits(p, shuffle)) / shuffle.divisor;
}

// Records of 64 bytes at most whose values tabs or commas part, after
// records after records: how many it took, p past them.
[[gnu::noinline]] std::size_t readSeparatedRun(const char*& p, const char* end, double* row, std::size_t rows) {
  const char* at = p;
  std::size_t left = rows;
  for (; left != 0; --left, row += 3) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
    PlacedTargets kept{row};
    const int length = readShortValues<PlacedTargets&, std::uint64_t, kParted | kNeedsParts | kPlaced>(
        kept, 3, 0b010, at, end, nullptr, classifySeparated(first, second));
    if (length < 0) break;
    row[1] = detail::fast::withSign(shuffledDecimal(kept.digits, kept.size, kept.integer), kept.negative);
    at += length + 1;
  }
  p = at;
  return rows - left;
}

// The classes of 32 bytes as one class byte each, a bit a class, from two
// byte lookups (one by the low four bits, one by the high four) ANDed: a
// byte is in a class when both of its halves are. A space and a tab differ
// in both halves and share their halves with bytes that are no blank (a nul
// has a tab's high half and a space's low one), so each has a bit of its own.
// The parting bytes take the low bits and the bytes of values the ones above
// them; the top bit is no class's, and a byte is in one class at most, so a
// class byte of 0 is a byte outside every class (the line feed among them)
// and one above the parting bits is a value's.
constexpr int kSpaceClass = 0, kTabClass = 1, kCommaClass = 2, kDigitClass = 3, kPointClass = 4, kSignClass = 5,
              kLetterClass = 6;
constexpr std::uint8_t kSpaceBit = 1 << kSpaceClass, kTabBit = 1 << kTabClass, kCommaBit = 1 << kCommaClass,
                       kDigitBit = 1 << kDigitClass, kPointBit = 1 << kPointClass, kSignBit = 1 << kSignClass,
                       kLetterBit = 1 << kLetterClass;
constexpr std::uint8_t kPartingBits = kSpaceBit | kTabBit | kCommaBit;
// By the low half: 0 to 9 the digits (0 also the space, 9 also the tab, 4
// and 5 also D, d, E and e), B and D the signs, C the comma, E the point.
constexpr std::array<std::uint8_t, 16> kVaryingLow = {
    kDigitBit | kSpaceBit, kDigitBit, kDigitBit, kDigitBit, kDigitBit | kLetterBit, kDigitBit | kLetterBit,
    kDigitBit, kDigitBit, kDigitBit, kDigitBit | kTabBit, 0, kSignBit, kCommaBit, kSignBit, kPointBit, 0};
// By the high half: 0 the tab, 2 the space, signs, comma and point, 3 the
// digits, 4 and 6 the letters; 8 to F (bytes past ASCII) nothing.
constexpr std::array<std::uint8_t, 16> kVaryingHigh = {
    kTabBit, 0, kSpaceBit | kSignBit | kCommaBit | kPointBit, kDigitBit, kLetterBit, 0, kLetterBit, 0,
    0, 0, 0, 0, 0, 0, 0, 0};
// Every byte the lookups put in a class is in that class of the table of
// byte classes (the read may take fewer bytes than the table allows, never
// others), and in that one class alone.
constexpr bool varyingTablesAgree() {
  for (unsigned c = 0; c < 256; ++c) {
    const unsigned found = kVaryingLow[c & 15] & kVaryingHigh[c >> 4];
    const auto byte = static_cast<unsigned char>(c);
    const std::uint8_t its = byteClass(byte);
    if ((found & (found - 1)) != 0 || found >= 0x80 ||
        ((found & kDigitBit) != 0 && !detail::isDigitByte(byte)) ||
        ((found & (kSpaceBit | kTabBit)) != 0 && its != detail::kBlank) ||
        ((found & kPointBit) != 0 && c != '.') || ((found & kSignBit) != 0 && its != detail::kSign) ||
        ((found & kCommaBit) != 0 && its != detail::kComma) ||
        ((found & kLetterBit) != 0 && its != detail::kExponentLetter)) {
      return false;
    }
  }
  return true;
}
static_assert(varyingTablesAgree(), "the read of varying widths classes bytes as the table does");
static_assert(byteClass('\n') == detail::kRecordEnd, "the read of varying widths ends a record at its line feed");
[[gnu::always_inline]] inline __m256i classBytes(__m256i bytes) {
  static constexpr std::array<std::uint8_t, 32> kLow = detail::lanes<32>(kVaryingLow);
  static constexpr std::array<std::uint8_t, 32> kHigh = detail::lanes<32>(kVaryingHigh);
  const __m256i byLow = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLow.data()));
  const __m256i byHigh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kHigh.data()));
  // The low half's lookup takes the byte itself: one with its high bit set
  // looks up nothing.
  const __m256i highHalves = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
  return _mm256_and_si256(_mm256_shuffle_epi8(byLow, bytes), _mm256_shuffle_epi8(byHigh, highHalves));
}
// One class of the 32 class bytes as a mask: its bit moved to the top.
template <int kClass>
[[gnu::always_inline]] inline std::uint32_t classMask(__m256i classes) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(classes, 7 - kClass)));
}
// The bytes outside every class.
[[gnu::always_inline]] inline std::uint32_t outsideMask(__m256i classes) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(classes, _mm256_setzero_si256())));
}
// The bytes of values: digits, points, signs and letters.
[[gnu::always_inline]] inline std::uint32_t valueMask(__m256i classes) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpgt_epi8(classes, _mm256_set1_epi8(static_cast<char>(kPartingBits)))));
}

// The 64 bytes from a record's first, a class a mask (bit i for byte i).
struct VaryingMasks {
  std::uint64_t outside;  // bytes in no class: the first of them ends the record
  std::uint64_t values;   // digits, points, signs and exponent letters
  std::uint64_t points, signs, letters;
  std::uint64_t commas;   // only with kCommas
};

// A value with an exponent, [first, last), by the one converter: whether it
// is a number ending at `last`.
[[gnu::always_inline]] inline bool withExponent(const char* first, const char* last, const char* end, double& value) {
  const std::from_chars_result read = detail::parseNumber(first, end, value);
  return read.ec == std::errc() && read.ptr == last;
}

// The record at p of values of varying widths from its masks, the buffer's
// line-feed sentinel at `end`: its bytes before its line feed (at most 63),
// or -1 when it does not take the record. It takes three values or more of
// digits with a point at most, a sign at a value's start or right after its
// letter, one exponent letter at most after a digit (or after a point that
// follows one) and never last, parted by blanks and at most one comma
// between two values. Every value is checked from the masks; the second is
// converted (with an exponent, by the one converter) and stored in row[1].
// The digits have no mask of their own: a value's byte that is no point,
// sign or letter is one. With kCommas false the record holds no comma (the
// caller saw none).
template <bool kCommas>
[[gnu::always_inline]] inline int readVaryingRecord(const char* p, const char* end, double* row,
                                                    const VaryingMasks& m) {
  if (m.outside == 0) return -1;
  const int length = std::countr_zero(m.outside);  // bytes before the line feed
  if (p[length] != '\n' || p + length == end) return -1;  // the sentinel: the record may go on
  const auto bytes = static_cast<unsigned>(length);
  const std::uint64_t value = _bzhi_u64(m.values, bytes);  // every other byte before the line feed parts values
  const std::uint64_t starts = value & ~(value << 1);
  const std::uint64_t ends = value & ~(value >> 1);  // each value's last byte
  const std::uint64_t sign = _bzhi_u64(m.signs, bytes);
  const std::uint64_t point = _bzhi_u64(m.points, bytes);
  const std::uint64_t letter = _bzhi_u64(m.letters, bytes);
  if constexpr (kCommas) {
    // No comma before the first value, and one at most in each gap after
    // it (adding each comma's bit to its gap's run of ones carries past any
    // later comma there, as for the points below).
    const std::uint64_t comma = _bzhi_u64(m.commas, bytes);
    if ((comma & ((starts & (~starts + 1)) - 1)) != 0 || ((_bzhi_u64(~value, bytes) + comma) & comma) != 0) {
      return -1;
    }
  }
  // A value's bytes are digits, points, signs and letters: a byte with no
  // digit before it in its value is its first or one after a sign, and a
  // point there has none either.
  const std::uint64_t noDigitBefore = starts | (sign << 1);
  const std::uint64_t loosePoint = point & noDigitBefore;
  const std::uint64_t exponent = value & ~(value + letter);  // from each letter to its value's end
  if (letter != 0) {
    // At most one letter in a value (the carry, as for the points below),
    // after a digit or after a point that follows one, and never its
    // value's last byte; no point after it.
    if (((value + letter) & letter) != 0 || (letter & (ends | noDigitBefore | (loosePoint << 1))) != 0 ||
        (point & exponent) != 0) {
      return -1;
    }
  }
  // A sign only at a value's start or right after its letter, never last;
  // at most one point in a value, never alone.
  if ((sign & (ends | ~(starts | (letter << 1)))) != 0 || ((value + point) & point) != 0 ||
      (loosePoint & ends) != 0) {
    return -1;
  }
  const std::uint64_t secondStarts = starts & (starts - 1);
  if ((secondStarts & (secondStarts - 1)) == 0) return -1;  // fewer values than three
  const auto start = static_cast<unsigned>(std::countr_zero(secondStarts));
  const auto last = static_cast<unsigned>(std::countr_zero(ends & (ends - 1)));
  const unsigned at = start + static_cast<unsigned>((sign >> start) & 1);  // the first digit or point
  if (((exponent >> last) & 1) != 0) {
    // A value with an exponent (its last byte is in one). Its digits before
    // the letter by their shuffle and an exponent of one or two digits give
    // the conversion's exact case when the power of ten is exact; anything
    // else goes to the one converter.
    const unsigned mark = at + static_cast<unsigned>(std::countr_zero(letter >> at));  // its letter
    const unsigned exponentSign = static_cast<unsigned>((sign >> (mark + 1)) & 1);
    const unsigned exponentDigits = last - mark - exponentSign;
    const std::size_t size = mark - at;
    const std::uint64_t itsPoint = _bzhi_u64(point, mark) >> at;
    const std::size_t integer = itsPoint != 0 ? static_cast<unsigned>(std::countr_zero(itsPoint)) : size;
    if (exponentDigits <= 2 && size - (itsPoint != 0) <= detail::fast::kMaxShortDigits) {
      const char* const digits = p + mark + 1 + exponentSign;
      int power = exponentDigits == 2 ? (digits[0] - '0') * 10 + (digits[1] - '0') : digits[0] - '0';
      if (p[mark + 1] == '-') power = -power;
      const DigitShuffle& shuffle = kDigitShuffles.of(size, integer);
      const int q = power - shuffle.decimals;
      if (q >= -detail::fast::kMaxExactPower && q <= detail::fast::kMaxExactPower) {
        row[1] = detail::fast::withSign(detail::fast::exactCase(shuffledDigits(p + at, shuffle), q), p[start] == '-');
        return length;
      }
    }
    return withExponent(p + start, p + last + 1, end, row[1]) ? length : -1;
  }
  const std::size_t size = last + 1 - at;
  const std::uint64_t itsPoint = _bzhi_u64(point, last + 1) >> at;
  const std::size_t integer = itsPoint != 0 ? static_cast<unsigned>(std::countr_zero(itsPoint)) : size;
  if (size - (itsPoint != 0) > detail::fast::kMaxShortDigits) return -1;
  row[1] = detail::fast::withSign(shuffledDecimal(p + at, size, integer), p[start] == '-');
  return length;
}

// Records of 64 bytes at most of values of any width, exponents among them,
// parted by blanks and commas (which no record's pattern serves): records
// after records from p, at most `rows`, the first of them longer than 31
// bytes; how many it took, p past them. A record longer than 63 bytes is
// declined once its line feeds are known.
[[gnu::noinline]] std::size_t readExponentRun(const char*& p, const char* end, double* row, std::size_t rows) {
  // A run starts only at a record longer than 31 bytes: shorter ones are the
  // short read's.
  if (equalMask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), '\n') != 0) return 0;
  const char* at = p;
  double* const from = row;
  double* const to = row + 3 * rows;
  for (; row != to; row += 3) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
    const __m256i low = classBytes(first);
    const __m256i high = classBytes(second);
    VaryingMasks masks{joined(outsideMask(low), outsideMask(high)),
                       joined(valueMask(low), valueMask(high)),
                       joined(classMask<kPointClass>(low), classMask<kPointClass>(high)),
                       joined(classMask<kSignClass>(low), classMask<kSignClass>(high)),
                       joined(classMask<kLetterClass>(low), classMask<kLetterClass>(high)),
                       0};
    int length;
    if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_set1_epi8(static_cast<char>(kCommaBit))) != 0) {
      length = readVaryingRecord<false>(at, end, row, masks);
    } else {
      masks.commas = joined(classMask<kCommaClass>(low), classMask<kCommaClass>(high));
      length = readVaryingRecord<true>(at, end, row, masks);
    }
    if (length < 0) break;
    at += length + 1;
  }
  p = at;
  return static_cast<std::size_t>(row - from) / 3;
}

// One record of the usual table (three values or more, the second kept) at
// p, by the rules readShortValues holds a short record of spaces to, from
// one thirty-two-byte load: the bytes before its line feed, or -1 when it
// does not take it. Its four masks: the bytes it knows (spaces and a
// value's bytes), a value's bytes, its points and its minus signs. The
// record ends at the first byte it does not know, which must be its line
// feed (so no mask of line feeds, and no test that every byte before it is
// known). The kept value is converted by its digits' shuffle, found by its
// size and its point's place. kNearEnd: the record may start within 31
// bytes of the buffer's line-feed sentinel, so its line feed may be that.
template <bool kNearEnd>
[[gnu::always_inline]] inline std::ptrdiff_t readUsualShortRecord(const char* p, const char* end, double* row) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  // A value's bytes (digits, points, minus signs) by one lookup of each
  // byte's low four bits: the one such byte with those bits, or a byte no
  // byte with them is (0 for 10, 11, 12 and 15); a byte past ASCII looks up
  // 0. Only a value's own byte equals what it looks up.
  const __m256i valueLanes = _mm256_cmpeq_epi8(
      _mm256_shuffle_epi8(_mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0, 0, '-', '.', 0,
                                           '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0, 0, '-', '.', 0),
                          bytes),
      bytes);
  const __m256i spaceLanes = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' '));
  const __m256i pointLanes = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.'));
  const __m256i minusLanes = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('-'));
  const auto other = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(valueLanes, spaceLanes)));
  if (other == 0) return -1;  // no line feed among the 32 bytes: not short
  const std::size_t length = _tzcnt_u32(other);
  if (p[length] != '\n') return -1;                  // an unknown byte before the line feed
  if (kNearEnd && p + length == end) return -1;  // the sentinel (only within 31 bytes of it)
  // The masks kept to the record's bytes before its line feed.
  const auto bits = static_cast<unsigned>(length);
  const auto value = _bzhi_u32(static_cast<std::uint32_t>(_mm256_movemask_epi8(valueLanes)), bits);
  const auto point = _bzhi_u32(static_cast<std::uint32_t>(_mm256_movemask_epi8(pointLanes)), bits);
  const auto minus = _bzhi_u32(static_cast<std::uint32_t>(_mm256_movemask_epi8(minusLanes)), bits);
  const std::uint32_t starts = value & ~(value << 1);
  const std::uint32_t ends = value & ~(value >> 1);
  // A minus only at a value's start and never alone; at most one point in a
  // value (readShortValues' carry); a point never alone: at its value's end
  // it has a digit before it, so it is not its value's first digit or point
  // (each start, one byte on past a minus: a start and a minus after it add
  // to that, where the minus is allowed; a point before it is the second in
  // its value, refused by the carry).
  if ((minus & ~(starts & (value >> 1))) != 0 || ((value + point) & point) != 0 ||
      (point & ends & (starts + minus)) != 0) {
    return -1;
  }
  const std::uint32_t second = starts & (starts - 1);
  if ((second & (second - 1)) == 0) return -1;  // fewer than three values
  const auto start = static_cast<unsigned>(std::countr_zero(second));
  const std::uint32_t negative = (minus >> start) & 1;
  const unsigned at = start + negative;  // its first digit or point
  const std::uint32_t otherEnds = ends & (ends - 1);
  const unsigned size = static_cast<unsigned>(std::countr_zero(otherEnds)) + 1 - at;
  // The first point from its first digit on (bit 31 set: below 32 whatever
  // the record holds), its own when nearer than its size.
  const auto distance = static_cast<unsigned>(std::countr_zero((point | 0x80000000u) >> at));
  const DigitShuffle& shuffle = kDigitShufflesByPoint.all[(size - 1) * DigitShufflesByPoint::kPlacesASize + distance];
  if (shuffle.tooLong != 0) return -1;  // more than fifteen digits
  const std::uint64_t digits = lanesNumber(shuffledLanes(p + at, shuffle));
  // Below 2^53: the conversion to double is exact, from a signed number.
  row[1] = detail::fast::withSign(static_cast<double>(static_cast<std::int64_t>(digits)) / shuffle.divisor,
                                  negative != 0);
  return static_cast<std::ptrdiff_t>(length);
}

[[gnu::noinline]] std::size_t readShortRun(const char*& p, const char* end, double* row, std::size_t rows) {
  constexpr std::size_t kCount = 3;
  std::size_t left = rows;
  // A first record with no line feed among its 32 bytes is not short: the
  // tables of long records, which try this read now and then, pay for that
  // look alone.
  if (equalMask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), '\n') != 0) {
    const char* at = p;
    // Records that start 32 bytes or more before the sentinel cannot end at
    // it: read in batches no longer than those bytes can hold (a record this
    // read takes is 32 bytes at most), with no look for it.
    while (left != 0) {
      const auto far = static_cast<std::size_t>(end - at) / detail::kShortRecordBytes;
      std::size_t batch = std::min(far, left);
      if (batch == 0) {
        const std::ptrdiff_t length = readUsualShortRecord<true>(at, end, row);
        if (length < 0) break;
        at += length + 1;
        row += kCount;
        --left;
        continue;
      }
      left -= batch;
      for (; batch != 0; --batch, row += kCount) {
        const std::ptrdiff_t length = readUsualShortRecord<false>(at, end, row);
        if (length < 0) break;
        at += length + 1;
      }
      if (batch != 0) {  // a record it does not take
        left += batch;
        break;
      }
    }
    p = at;
  }
  std::size_t taken = rows - left;
  // The record it stopped at may be one of values parted by tabs or commas
  // (one among its first 32 bytes: a record of other values pays only this look).
  if (left != 0) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i parts = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\t')),
                                          _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(',')));
    if (_mm256_movemask_epi8(parts) != 0) taken += readSeparatedRun(p, end, row, left);
  }
  return taken;
}

// A short record of the run checked and its values found from its masks,
// by the short read's rules for a record of spaces, digits, points and
// minus signs: a minus only at a value's start and never alone, at most one
// point in a value and never alone. A value there is a minus at most and
// then its run of digits and points, so each value's first digit or point
// is the first byte of such a run (one a value: their count is the
// values'), and the minus just before it makes the value negative.
struct ShortValuePlaces {
  std::uint32_t firsts;     // each value's first digit or point
  std::uint32_t lasts;      // each value's last byte
  std::uint32_t negatives;  // the first digits or points of the negative values
  std::uint32_t points;
  // Whether the short read takes the record of `length` bytes before its
  // line feed (length < 32); the places are set where it does.
  [[gnu::always_inline]] bool take(const ShortMasks& m, unsigned length) {
    const std::uint32_t before = _bzhi_u32(~std::uint32_t{0}, length);
    if ((before & ~(m.spaces | m.digits | m.points | m.minuses)) != 0) return false;
    const std::uint32_t value = before & ~m.spaces;
    lasts = value & ~(value >> 1);
    points = m.points & before;
    // A minus with a value byte before it is not at its value's start (a
    // minus beyond the line feed meets neither mask). A point added to its
    // value's run of ones carries past any other point there, so one that
    // survives the sum had one before it. A point that ends its value needs
    // a digit before it (the digits beyond the line feed, shifted, meet no
    // value's end).
    if (((m.minuses & (lasts | value << 1)) | ((value + points) & points) | (points & lasts & ~(m.digits << 1))) != 0) {
      return false;
    }
    const std::uint32_t numeric = value & ~m.minuses;
    firsts = numeric & ~(numeric << 1);
    negatives = (m.minuses << 1) & firsts;
    return true;
  }
  // The next value: its first digit or point, and its shuffle's place among
  // those by the point's distance (`pointsAbove`: the points with bit 31
  // set); without points, its place less 31 (the distance of none).
  template <bool kPoints>
  [[gnu::always_inline]] std::size_t nextPlace(unsigned& at, std::uint32_t pointsAbove) {
    at = static_cast<unsigned>(std::countr_zero(firsts));
    const std::size_t sizeLess1 = static_cast<unsigned>(std::countr_zero(lasts)) - at;
    const std::size_t point = kPoints ? static_cast<unsigned>(std::countr_zero(pointsAbove >> at)) : 0;
    firsts &= firsts - 1;
    lasts &= lasts - 1;
    return sizeLess1 * DigitShufflesByPoint::kPlacesASize + point;
  }
};

// The sign bits of a row's three values as its converted lanes hold them
// (the second twice), by which of the three are negative (bit k: value k).
struct SignLanes {
  alignas(32) std::array<std::uint64_t, 4> lanes{};
};
constexpr std::array<SignLanes, 8> signLanes() {
  std::array<SignLanes, 8> made{};
  for (unsigned negative = 0; negative < 8; ++negative) {
    const auto sign = [negative](unsigned k) { return static_cast<std::uint64_t>((negative >> k) & 1) << 63; };
    made[negative].lanes = {sign(0), sign(1), sign(2), sign(1)};
  }
  return made;
}
inline constexpr std::array<SignLanes, 8> kSignLanes = signLanes();

// The short read of rows of three with lines (linedShortRun's work), the
// masks from one thirty-two-byte load: each record checked by the short
// read's rules, then its three values placed and converted together: the
// first and third value's digits in the two halves of one register, the
// second's in both halves of another, by their digit shuffles; their
// numbers made by the same multiply-adds as one value's, then turned to
// doubles exactly (each below 2^52: its bits added under those of 2^52, and
// 2^52 taken off), divided by their powers of ten and given their signs in
// the lanes of one register. The second lane of the second half is the
// second value again, and is not stored.
//
// The byte constants of the masks and of the digits' sums are made once for
// the run and hidden from the compiler (`held`), which would otherwise make
// them again for every record.
template <class V>
[[gnu::always_inline]] inline V held(V constant) {
  asm("" : "+x"(constant));
  return constant;
}
template <class Out>
[[gnu::noinline]] std::size_t readLinedShortRun(const char*& p, const char* end, double* row, Out out,
                                                std::size_t rows, long long line, long long offset) {
  const __m256i lineFeed = held(_mm256_set1_epi8('\n'));
  const __m256i space = held(_mm256_set1_epi8(' '));
  const __m256i pointByte = held(_mm256_set1_epi8('.'));
  const __m256i minusByte = held(_mm256_set1_epi8('-'));
  const __m256i belowZero = held(_mm256_set1_epi8('0'));
  const __m256i nine = held(_mm256_set1_epi8(9));
  const __m256i tens = held(_mm256_set1_epi16(0x010A));
  const __m256i hundreds = held(_mm256_set1_epi32(0x00010064));
  const __m256i tenThousands = held(_mm256_set1_epi32(0x00012710));
  const __m256i hundredMillion = held(_mm256_set1_epi64x(100000000));
  const __m256i twoTo52 = held(_mm256_set1_epi64x(0x4330000000000000));
  const __m128i toTopBit = held(_mm_set1_epi8(0x7F));
  auto mask = [](__m256i bytes, __m256i c) __attribute__((always_inline)) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, c)));
  };
  auto half = [](const void* from) __attribute__((always_inline)) {
    return _mm_loadu_si128(static_cast<const __m128i*>(from));
  };
  std::size_t taken = 0;
  // A copy of p: what is told (bytes among them) could otherwise be p itself.
  const char* at = p;
  // Each record's offset from its place, and each row from the count taken:
  // fewer values carried from record to record.
  const long long shift = offset - reinterpret_cast<std::intptr_t>(at);
  for (; taken < rows; ++taken, ++line) {
    double* const values = row + 3 * taken;
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const std::uint32_t lineFeeds = mask(bytes, lineFeed);
    if (lineFeeds == 0) break;
    const std::uint32_t digitBytes = mask(_mm256_max_epu8(_mm256_sub_epi8(bytes, belowZero), nine), nine);
    const ShortMasks m{lineFeeds, digitBytes, mask(bytes, space), mask(bytes, pointByte), mask(bytes, minusByte), 0, 0, 0};
    // The record checked, no value looked at: its values are counted by
    // their first digits or points. A line feed at the sentinel may have
    // the record go on in the next block.
    const auto length = static_cast<unsigned>(std::countr_zero(lineFeeds));
    if (at + length == end) break;
    ShortValuePlaces places;
    if (!places.take(m, length)) break;
    const auto count = static_cast<std::uint32_t>(std::popcount(places.firsts));
    if (Out::kRun ? count != 3 : count < 3) break;
    const std::uint32_t pointsAbove = places.points | std::uint32_t{1} << 31;
    unsigned first[3];
    const DigitShuffle* shuffle[3];
    auto place = [&]<bool kPoints>() __attribute__((always_inline)) {
      const DigitShuffle* const from = kDigitShufflesByPoint.all.data() + (kPoints ? 0 : 31);
#pragma GCC unroll 3
      for (std::size_t k = 0; k < 3; ++k) shuffle[k] = from + places.nextPlace<kPoints>(first[k], pointsAbove);
    };
    if (places.points != 0) {
      place.template operator()<true>();
    } else {
      place.template operator()<false>();
    }
    // The first three values' signs in their order: the minus noted at each
    // one's first digit or point (a bit gather would be one instruction, but
    // a slow one on some processors that have these vectors).
    const std::uint32_t negatives = places.negatives;
    const unsigned negative =
        ((negatives >> first[0]) & 1) + ((negatives >> first[1]) & 1) * 2 + ((negatives >> first[2]) & 1) * 4;
    // A digit's value is its byte less '0' (any other byte of the value,
    // its point, is left out by the shuffle).
    const __m256i digits02 = _mm256_shuffle_epi8(
        _mm256_subs_epu8(_mm256_inserti128_si256(_mm256_castsi128_si256(half(at + first[0])), half(at + first[2]), 1),
                         belowZero),
        _mm256_inserti128_si256(_mm256_castsi128_si256(half(shuffle[0]->lanes.data())), half(shuffle[2]->lanes.data()),
                                1));
    const __m256i digits1 = _mm256_shuffle_epi8(_mm256_subs_epu8(_mm256_broadcastsi128_si256(half(at + first[1])), belowZero),
                                                _mm256_broadcastsi128_si256(half(shuffle[1]->lanes.data())));
    const __m256i fours02 = _mm256_madd_epi16(_mm256_maddubs_epi16(digits02, tens), hundreds);
    const __m256i fours1 = _mm256_madd_epi16(_mm256_maddubs_epi16(digits1, tens), hundreds);
    // Each 64-bit lane: its first eight digits' number low, its last eight's high.
    const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fours02, fours1), tenThousands);
    const __m256i numbers = _mm256_add_epi64(_mm256_mul_epu32(eights, hundredMillion), _mm256_srli_epi64(eights, 32));
    const __m256d whole =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(numbers, twoTo52)), _mm256_castsi256_pd(twoTo52));
    const __m256d divisors =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadh_pd(_mm_load_sd(&shuffle[0]->divisor), &shuffle[1]->divisor)),
                             _mm_loadh_pd(_mm_load_sd(&shuffle[2]->divisor), &shuffle[1]->divisor), 1);
    const __m256d signed3 = _mm256_or_pd(_mm256_div_pd(whole, divisors),
                                         _mm256_load_pd(reinterpret_cast<const double*>(kSignLanes[negative].lanes.data())));
    _mm_storeu_pd(values, _mm256_castpd256_pd128(signed3));
    _mm_store_sd(values + 2, _mm256_extractf128_pd(signed3, 1));
    // A value of more than fifteen digits (its row's values are not the
    // row's: the record is declined).
    if ((shuffle[0]->tooLong | shuffle[1]->tooLong | shuffle[2]->tooLong) != 0) break;
    // The second value's written form from its shuffled digits: those from
    // the first lane above 0 on are its significant ones (none when all are
    // 0). A digit above 0 added to 127 sets its lane's top bit.
    const auto aboveZero = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_add_epi8(_mm256_castsi256_si128(digits1), toTopBit)));
    const unsigned nonzero = __tzcnt_u16(static_cast<std::uint16_t>(aboveZero));  // 16 when every lane is 0
    const ShortForm2 form{shuffle[1]->decimals, static_cast<std::uint8_t>(16 - nonzero)};
    out(taken, line, count, reinterpret_cast<std::intptr_t>(at) + shift, form);
    at += length + 1;
  }
  p = at;
  return taken;
}

// readShortRun, and then, when it stopped at a record of values of varying
// widths and exponents, readExponentRun from there (when the rows after it
// are not the pattern read's to look at).
[[gnu::noinline]] std::size_t readShortThenVarying(const char*& p, const char* end, double* row, std::size_t rows) {
  std::size_t taken = readShortRun(p, end, row, rows);
  if (rows - taken > 1) taken += readExponentRun(p, end, row + 3 * taken, rows - taken);
  return taken;
}

}  // namespace avx2
VELMORA_TARGET_END
#endif

}  // namespace

// Whether the record at p has no line feed among its first 32 bytes (the
// buffer's padding keeps them readable).
bool longRecord(const char* p) { return std::memchr(p, '\n', detail::kShortRecordBytes) == nullptr; }

// The reader's place after records read whole by a fast read: the next
// statement starts at `next`, on the line after `lastLine`, with nothing of
// the last record left to discard.
[[gnu::always_inline]] inline void FreeFormatReader::placeAfterWholeRecords(const char* next, long long lastLine) {
  pos_ = const_cast<char*>(next);
  line_ = lastLine + 1;
  statementLine_ = lastLine;
  statementEndLine_ = lastLine;
  endedBySlash_ = false;
  discardPending_ = false;
}

template <class Targets>
[[gnu::always_inline]] inline bool FreeFormatReader::readShortRecord(Targets targets, std::size_t count,
                                                                     std::uint32_t convert, const char* p,
                                                                     long long line, RowLines* lines) {
#if defined(__SSE2__)
  const std::uint32_t lineFeeds = shortLineFeeds(p);
  if (lineFeeds == 0) return false;
  std::uint32_t held = 0;
  const int length = readShortValues(targets, count, convert, p, end_, lines != nullptr ? &held : nullptr,
                                     classifyShort(p, lineFeeds));
  if (length < 0) return false;
  // Values after the last item's are discarded with the rest of the record
  // unseen, as the general rules discard them.
  if (lines != nullptr) {
    const long long offset = recordStartOffset(p);
    *lines = RowLines{.first = line, .last = line, .valuesHeld = held, .ignored = held - static_cast<std::uint32_t>(count),
                      .offset = offset, .record = RowRecord::Short};
    noteKnownRecord(offset, p, p + length);
  }
  placeAfterWholeRecords(p + length + 1, line);
  return true;
#else
  (void)targets;
  (void)count;
  (void)convert;
  (void)lines;
  (void)p;
  (void)line;
  return false;
#endif
}

// Rows of a table without lines read by the short record's read, records
// after records from pos_, at most `rows` of them: how many it took. The
// reader's place and lines are kept in locals and set once, after the run.
// Records of varying widths (of 32 to 63 bytes, with exponents) are read on
// only while the pattern read, having found no pattern that fits, waits to
// look again (varyingWidths_).
template <class Targets>
[[gnu::always_inline]] inline std::size_t FreeFormatReader::readShortRows(double* row, std::size_t count,
                                                                          std::uint32_t convert, std::size_t rows) {
#if defined(__SSE2__)
  const char* p = pos_;
  std::size_t taken = 0;
#if defined(__x86_64__)
  if (count == 3 && convert == 0b010 && detail::wideReads) {
    taken = varyingWidths_ ? avx2::readShortThenVarying(p, end_, row, rows) : avx2::readShortRun(p, end_, row, rows);
  } else
#endif
  {
    for (; taken < rows; ++taken, row += count) {
      const int length = readShortValues(Targets{row}, count, convert, p, end_, nullptr, classifyShort(p));
      if (length < 0) break;
      p += length + 1;
    }
  }
  if (taken > 0) placeAfterWholeRecords(p, line_ + static_cast<long long>(taken) - 1);
  return taken;
#else
  (void)row;
  (void)count;
  (void)convert;
  (void)rows;
  return 0;
#endif
}


// The one-pass read of an ordinary record: number items only, each value in
// a form the number entry point takes, blanks around them with at most one
// comma or semicolon between two, all before the end of the buffer. Values
// after the last item's are discarded unseen with the rest of the record, as
// the general rules discard them. A record of any other shape is read by the
// general rules from its start. A value is stored here only once the byte
// after it has been seen; the general rules then store the very same value in
// the same item, as they read the same bytes by the same rules.
template <class Targets>
// `tryShort` says whether to try the short record's read first; it is
// cleared when a record does not take it, so that a table of long records
// does not pay for the attempt on every row.
[[gnu::always_inline]] inline bool FreeFormatReader::readRecordFast(Targets targets, std::size_t count,
                                                                    std::uint32_t convert, RowLines* lines,
                                                                    bool& tryShort) {
  const char* p = pos_;
  long long line = line_;
  if (discardPending_) {  // the rest of the previous statement's record
    if (*p != '\n' || p == end_) {
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end_ - p)));
      if (p == nullptr) return false;  // it goes on past the buffer
    }
    ++p;
    ++line;
  }
  if (tryShort) {
    if (readShortRecord(targets, count, convert, p, line, lines)) return true;
    tryShort = false;
  }
  const char* start = p;  // the record's first byte
  // Unrolled: where the count is known (a table's rows), the targets fold away.
#pragma GCC unroll 8
  for (std::size_t k = 0; k < count; ++k) {
    p = skipBlanks(p);
    if (k > 0 && (*p == ',' || *p == ';')) p = skipBlanks(p + 1);
    double value = 0;
    const bool kept = ((convert >> k) & 1) != 0;
    if (kept) {
      auto [last, error] = detail::parseNumber(p, end_, value);
      if (error != std::errc()) return false;
      p = last;
    } else {
      // Checked, not converted: the scan alone says whether the bytes are a
      // number and where it ends, as the conversion would.
      const char* last = detail::checkNumber(p);
      if (last == nullptr) return false;
      p = last;
    }
    // The one place that decides where a value ends. The last value ending at
    // the sentinel may go on in the next block.
    if (k + 1 < count ? (byteClass(static_cast<unsigned char>(*p)) & kEndsInnerValue) == 0
                      : (byteClass(static_cast<unsigned char>(*p)) & kEndsLastValue) == 0 || p == end_) {
      return false;
    }
    if (kept) *targets(k) = value;
  }
  const char* rest = p;
  if (*p != '\n') {
    p += detail::leadingSpaces(p);
    while (isBlank(static_cast<unsigned char>(*p))) ++p;
  }
  std::uint32_t ignored = 0;
  const char* lineFeed = p;  // the record's line feed, where it is known
  if (*p == '\n' && p != end_) {
    pos_ = const_cast<char*>(p) + 1;
    line_ = line + 1;
    discardPending_ = false;
  } else {
    // More on the record: discarded by the next statement, unseen; counted
    // here only when asked for, and only when the record ends in the buffer.
    if (lines != nullptr) {
      lineFeed = static_cast<const char*>(std::memchr(rest, '\n', static_cast<std::size_t>(end_ - rest)));
      if (lineFeed == nullptr) return false;
      ignored = valuesAfterStatement(rest, lineFeed, ignoredCounting_.oneRecord);
    }
    pos_ = const_cast<char*>(rest);
    line_ = line;
    discardPending_ = true;
  }
  if (lines != nullptr) {
    const long long offset = recordStartOffset(start);
    *lines = RowLines{.first = line, .last = line, .valuesHeld = static_cast<std::uint32_t>(count) + ignored,
                      .ignored = ignored, .offset = offset,
                      .record = discardPending_ ? RowRecord::Any : RowRecord::Numbers};
    // A line feed at the sentinel is not the record's end (it may go on in
    // the next block, as the file's last record may end without one).
    if (lineFeed != end_) noteKnownRecord(offset, start, lineFeed);
  }
  statementLine_ = line;
  statementEndLine_ = line;
  endedBySlash_ = false;
  return true;
}

ReadStatus FreeFormatReader::readOrEnd(std::span<const Item> items, int statement) {
  return readStatement(items, statement, true);
}

// A statement of read() or readOrEnd(): the faster reads of a record first,
// where its items allow, else the general rules.
ReadStatus FreeFormatReader::readStatement(std::span<const Item> items, int statement, bool acceptEnd) {
  assert(fd_ >= 0);
  statement_ = statement;
  // A file open for writing only has nothing in the buffer, so the one-pass
  // read never takes a record from it; the general rules report it.
  trackOffsets_ = true;
  bool tryShort = true;
  if (fastPaths_ && allNumbers(items) && readRecordFast(ItemTargets{items.data()}, items.size(), kAllRowItems, nullptr, tryShort)) {
    notedFastRecord();
    return ReadStatus::Ok;
  }
  return execute(items, statement, acceptEnd);
}

// ---------------------------------------------------------------------------
// Tables.

std::size_t FreeFormatReader::readRows(const TableRead& table) {
  assert(fd_ >= 0);
  assert(table.itemsPerRow >= 1 && table.itemsPerRow <= kMaxRowItems);
  statement_ = table.statement;
  tableEnded_ = false;
  if (table.run != nullptr) table.run->rows = 0;
  const bool lines = table.lines != nullptr;
  trackOffsets_ = lines;
  ignoredCounting_ = table.ignoredCounting;
  const std::uint32_t convert = table.convertItems & ((std::uint32_t{1} << table.itemsPerRow) - 1);
  assert(!table.rowsHeld || (lines && table.itemsPerRow == 3 && convert == 0b111));
  // Rows of three, compiled for the usual ways of reading them (the second
  // item alone, no lines; everything, with or without lines); any other
  // table takes the general form, its counts read at run time.
  // Without lines, each also compiled with the block read, taken where the
  // processor's form has one (chosen here, at the first table).
  constexpr std::uint32_t kSecondItem = 0b010;
  const bool block = fastPaths_ && !lines && detail::chooseBlockRowsRead() != nullptr;
  if (table.itemsPerRow == 3) {
    if (!lines && convert == kSecondItem) {
      return block ? readTable<3, kNoLines, kSecondItem, true>(table) : readTable<3, kNoLines, kSecondItem, false>(table);
    }
    if (lines && convert == 0b111) return readLinedRows(table);
    if (!lines && convert == 0b111) {
      return block ? readTable<3, kNoLines, 0b111, true>(table) : readTable<3, kNoLines, 0b111, false>(table);
    }
  }
  return block ? readTable<0, kNoLines, 0, true>(table) : readTable<0, kAnyLines, 0, false>(table);
}

// The row loop. kItems and kConvert, when not 0, and kLines, when not
// kAnyLines, fix the table's shape where it is compiled, so the items'
// loop unrolls and its tests fold away. The tests' switch is read once a
// call, not once a row.
template <int kItems, int kLines, std::uint32_t kConvert, bool kBlockRead>
std::size_t FreeFormatReader::readTable(const TableRead& table) {
  const bool fast = fastPaths_;
  const std::size_t count = kItems != 0 ? static_cast<std::size_t>(kItems) : static_cast<std::size_t>(table.itemsPerRow);
  const std::uint32_t convert = kConvert != 0 ? kConvert : table.convertItems;
  const bool withLines = kLines == kAnyLines ? table.lines != nullptr : kLines == kWithLines;
  double* row = table.values;
  // The short record's read is tried on every row while the rows take it,
  // and once in kShortRetry rows after one that did not. With kBlockRead,
  // rows the short read does not take go to the block read, records after
  // records, until one it does not take or the short read's next try; when
  // it took none, it is tried again kShortRetry rows later.
  constexpr std::size_t kShortRetry = 64;
  bool tryShort = true;
  bool noShortTry = false;
  std::size_t nextBlockRead = 0;
  // Rows the short read does not take are read by the pattern of a record
  // (recordpattern.h) while they fit it, records after records, up to the
  // short read's next try; the pattern is learned from the record at hand,
  // and after a pattern is forgotten, the next is learned some rows later.
  // Out of line, so that the row loop keeps its registers: the loop holds
  // only the next row where the pattern read looks.
  constexpr bool kPatternRead = kLines == kNoLines;
  detail::RecordPattern& pattern = patternOf(this);
  auto nextPatternRow = [this, &pattern](std::size_t from) {
    if (pattern.length != 0) return from;
    return pattern.learnAfter > line_ ? from + static_cast<std::size_t>(pattern.learnAfter - line_) : from;
  };
  struct PatternStep {
    std::size_t rows;  // read by the pattern
    std::size_t next;  // the next row where the pattern read looks
  };
  auto readByPattern = [this, &pattern, &table, &nextPatternRow](std::size_t n, double* into, std::size_t items,
                                                                  std::uint32_t kept) __attribute__((noinline)) {
    // A pattern serves the rows of the table shape it was learned for.
    if (pattern.length != 0 && (pattern.items != items || pattern.convert != kept)) pattern.length = 0;
    if (pattern.length == 0) {
      detail::learnPatternOrWait(pattern, pos_, end_, items, kept, line_);
      varyingWidths_ = pattern.length == 0 && longRecord(pos_);
      if (pattern.length == 0) return PatternStep{0, nextPatternRow(n + 1)};
    }
    const char* p = pos_;
    const std::size_t upTo = std::min(table.capacity, (n / kShortRetry + 1) * kShortRetry);
    const detail::PatternRun run = detail::readPatternRows(pattern, p, end_, into, upTo - n);
    if (run.rows > 0) {
      pos_ = const_cast<char*>(p);
      line_ += static_cast<long long>(run.rows);
      statementLine_ = line_ - 1;
      statementEndLine_ = line_ - 1;
      endedBySlash_ = false;
      pattern.taken += static_cast<std::uint32_t>(run.rows);
    }
    if (run.misfit) {
      detail::notePatternMisfit(pattern, line_);
      varyingWidths_ = pattern.length == 0 && longRecord(pos_);
    }
    // The row it stopped at is read otherwise; the pattern read looks again
    // at the next.
    return PatternStep{run.rows, nextPatternRow(n + run.rows + 1)};
  };
  // The rows run in stretches up to the row where the pattern read looks
  // next, so that the row loop pays nothing for it.
  std::size_t patternRow = kPatternRead && fast ? nextPatternRow(0) : SIZE_MAX;
  std::size_t n = 0;
  for (;;) {
    const std::size_t stop = std::min(table.capacity, patternRow);
    for (; n < stop; ++n, row += count) {
      tryShort |= n % kShortRetry == 0;
      if (tryShort && fast && !withLines && !discardPending_) {
        // Records after records while the short read takes them; the one it
        // stops at is read below, without it.
        const std::size_t read = readShortRows<RowTargets>(row, count, convert, stop - n);
        n += read;
        row += read * count;
        if (n >= stop) break;
        tryShort = false;
      }
      if (kBlockRead && !tryShort && n >= nextBlockRead && !discardPending_) {
        const char* p = pos_;
        // Up to the next row where the short read is tried again.
        const std::size_t upTo = std::min(table.capacity, (n / kShortRetry + 1) * kShortRetry);
        const std::size_t read = detail::blockRowsRead(p, end_, count, convert, row, upTo - n);
        if (read > 0) {
          pos_ = const_cast<char*>(p);
          line_ += static_cast<long long>(read);
          statementLine_ = line_ - 1;
          statementEndLine_ = line_ - 1;
          endedBySlash_ = false;
          n += read;
          row += read * count;
          if (n == table.capacity) return n;
          tryShort |= n % kShortRetry == 0;
        }
        // After a run, the record it stopped at (often one across the end of
        // the buffer) is read as below, and the next is the block read's again.
        nextBlockRead = n + (read > 0 ? 1 : kShortRetry);
      }
      RowLines* lines = withLines ? &table.lines[n] : nullptr;
      // Without lines the short read has had its try above: none here, so
      // that its code is not compiled twice into the loop.
      if (fast && readRecordFast(RowTargets{row}, count, convert, lines, withLines ? tryShort : noShortTry)) continue;
      readRowGeneral(row, static_cast<int>(count), table.statement, lines);
      if (tableEnded_) return n;
    }
    if (n >= table.capacity) return table.capacity;
    tryShort |= n % kShortRetry == 0;
    if (tryShort || discardPending_) {
      // While the short read takes the rows, the pattern read looks again
      // only after its next try (the row after it, should it not take that
      // one).
      patternRow = n % kShortRetry == 0 || discardPending_ ? n + 1 : (n / kShortRetry + 1) * kShortRetry + 1;
      continue;
    }
    const PatternStep step = readByPattern(n, row, count, convert);
    patternRow = step.next;
    n += step.rows;
    row += step.rows * count;
    if (n == table.capacity) return n;
  }
}

// The short read's run of rows with lines, from pos_ (a record's start):
// how many it took. `rowsHeld`: the table's rows are held
// (TableRead::rowsHeld), and noteSurplusRows hears of these.
[[gnu::always_inline]] inline std::size_t FreeFormatReader::readLinedShortRows(double* row, RowLines* lines, std::size_t rows,
                                                                               bool rowsHeld) {
#if defined(__SSE2__)
  std::uint32_t surplus = 0;
  const char* p = pos_;
  const long long offset = recordStartOffset(p);
  // Where the first record's start is not known, neither are the others'.
  const std::size_t most = offset < 0 ? 1 : rows;
  const LinedRows out{lines, surplus, shortTold(offset)};
#if defined(__x86_64__)
  // The processor's form of the short read, chosen at the first table.
  (void)detail::chooseBlockRowsRead();
  const std::size_t taken = detail::wideReads ? avx2::readLinedShortRun(p, end_, row, out, most, line_, offset)
                                              : readLinedShortRun(p, end_, row, out, most, line_, offset);
#else
  const std::size_t taken = readLinedShortRun(p, end_, row, out, most, line_, offset);
#endif
  if (taken > 0) {
    const RowLines& last = lines[taken - 1];
    noteKnownRecord(last.offset, pos_ + (last.offset - offset), p - 1);
    placeAfterWholeRecords(p, last.last);
    // Rows held: looked at only where a record held values after its third.
    if (rowsHeld && surplus != 0) noteSurplusRows(lines, taken);
  }
  return taken;
#else
  (void)row;
  (void)lines;
  (void)rows;
  (void)rowsHeld;
  return 0;
#endif
}

// The same told as a run (TableRead::run), from the record at `from` on
// `line` (pos_, or the next record where only pos_'s line feed is left to
// discard), its start known: how many it took (0: none, or a first record
// of another kind).
[[gnu::always_inline]] inline std::size_t FreeFormatReader::readShortRunRows(double* row, ToldRunRows& run,
                                                                             std::size_t rows, const char* from,
                                                                             long long line) {
#if defined(__SSE2__)
  const char* p = from;
  const long long offset = recordStartOffset(p);
  if (offset < 0) return 0;
#if defined(__x86_64__)
  // Where the processor has AVX2 (its form of the short read, chosen at the
  // first table); elsewhere the rows are told in RowLines.
  (void)detail::chooseBlockRowsRead();
  if (!detail::wideReads) return 0;
  const std::size_t taken = avx2::readLinedShortRun(p, end_, row, RunRows{run.offsets, run.forms}, rows, line, offset);
  if (taken > 0) {
    run.rows = taken;
    run.firstLine = line;
    run.told = RowLines::kToldSecondForm | RowLines::kToldShortOneLine;
    run.record = RowRecord::Short;
    const long long last = run.offsets[taken - 1];
    noteKnownRecord(last, from + (last - offset), p - 1);
    placeAfterWholeRecords(p, line + static_cast<long long>(taken) - 1);
  }
  return taken;
#else
  (void)row;
  (void)run;
  (void)rows;
  (void)line;
  (void)offset;
  return 0;
#endif
#else
  (void)row;
  (void)run;
  (void)rows;
  (void)from;
  (void)line;
  return 0;
#endif
}

namespace {

// Whether a value [v, last) the number scanner took whole is written as a
// digit, a point, digits and an exponent of a letter, a sign and two digits
// ("-6.7377624805292657e-05"), told from the places of a few of its bytes:
// the scanner having taken the bytes, those between the point and the
// letter are digits, and its only signs are its own and its exponent's.
// `q` is where its digits start.
[[gnu::always_inline]] inline bool usualExponentForm(const char* v, const char* last, const char*& q) {
  q = v + ((byteClass(static_cast<unsigned char>(*v)) & detail::kSign) != 0 ? 1 : 0);
  if (last - q < 6) return false;  // a digit, a point, then the exponent's four bytes at least
  const char* const letter = last - 4;
  return q[1] == '.' && detail::isDigitByte(static_cast<unsigned char>(q[0])) &&
         (byteClass(static_cast<unsigned char>(letter[0])) & detail::kExponentLetter) != 0 &&
         (byteClass(static_cast<unsigned char>(letter[1])) & detail::kSign) != 0 &&
         detail::isDigitByte(static_cast<unsigned char>(letter[2])) &&
         detail::isDigitByte(static_cast<unsigned char>(letter[3]));
}

// The written form (RowLines::kToldSecondForm) of such a value, its digits
// from q, counted as the number scanner counts them.
[[gnu::always_inline]] inline void writtenExponentForm(const char* q, const char* last, RowLines& lines) {
  const char* const letter = last - 4;
  const auto fraction = static_cast<int>(letter - (q + 2));
  const int exponent = (letter[2] - '0') * 10 + (letter[3] - '0');
  const int decimals = letter[1] == '-' ? fraction + exponent : fraction - exponent;
  int significant = fraction + 1;
  if (q[0] == '0') {
    const char* d = q + 2;
    while (d != letter && *d == '0') ++d;
    significant = static_cast<int>(letter - d);
  }
  lines.secondDecimals = static_cast<std::uint8_t>(decimals > 0 ? decimals : 0);
  lines.secondSignificant = static_cast<std::uint8_t>(significant);
}

// The same where the digits after the point are known to be `fraction`
// (letter - (q + 2)): the exponent's sign a factor of its size, as the
// value's read takes it (',' lies between '+' and '-').
[[gnu::always_inline]] inline void patternExponentForm(const char* q, const char* letter, int fraction,
                                                       std::uint8_t& secondDecimals, std::uint8_t& secondSignificant) {
  const int exponent = (letter[2] - '0') * 10 + (letter[3] - '0');
  const int decimals = fraction - exponent * (',' - letter[1]);
  int significant = fraction + 1;
  if (q[0] == '0') [[unlikely]] {
    const char* d = q + 2;
    while (d != letter && *d == '0') ++d;
    significant = static_cast<int>(letter - d);
  }
  secondDecimals = static_cast<std::uint8_t>(decimals > 0 ? decimals : 0);
  secondSignificant = static_cast<std::uint8_t>(significant);
}

// A value written as a digit, a point, sixteen digits and an exponent of a
// letter, a sign and two digits ("-6.7377624805292657E-05"), followed by a
// byte that ends a value: converted from those places, its end in `last`.
// False where it has any other form (or the fast conversion cannot decide
// it): parseNumber then reads it, as for every other value. The buffer's
// padding keeps the sixteen bytes after the point readable.
// `q` is where its digits start.
[[gnu::always_inline]] inline bool usualLongValue(const char* v, const char*& last, const char*& q, double& value) {
  const bool negative = *v == '-';
  q = v + ((byteClass(static_cast<unsigned char>(*v)) & detail::kSign) != 0 ? 1 : 0);
  if (!detail::isDigitByte(static_cast<unsigned char>(q[0])) || q[1] != '.') return false;
  std::uint64_t fraction = 0;
  if (detail::fast::sixteenDigits<true>(q + 2, fraction) != 16) return false;
  const char* const letter = q + 18;
  if ((byteClass(static_cast<unsigned char>(letter[0])) & detail::kExponentLetter) == 0 ||
      (byteClass(static_cast<unsigned char>(letter[1])) & detail::kSign) == 0 ||
      !detail::isDigitByte(static_cast<unsigned char>(letter[2])) ||
      !detail::isDigitByte(static_cast<unsigned char>(letter[3])) ||
      (byteClass(static_cast<unsigned char>(letter[4])) & detail::kEndsValue) == 0) {
    return false;
  }
  const int exponent = (letter[2] - '0') * 10 + (letter[3] - '0');
  const std::uint64_t digits = static_cast<std::uint64_t>(q[0] - '0') * detail::fast::kTens[16] + fraction;
  double magnitude;
  if (!detail::fast::convert(digits, (letter[1] == '-' ? -exponent : exponent) - 16, magnitude)) return false;
  value = detail::fast::withSign(magnitude, negative);
  last = letter + 4;
  return true;
}

// What a run of pattern records told as a run (ToldRunRows) tells of each.
constexpr std::uint8_t kPatternRunTold = RowLines::kToldSecondForm | RowLines::kToldUsualExponents;

// Whether the records a pattern of long records of three values, every one
// kept, reads next are told as a run where a call starts with them.
[[gnu::always_inline]] inline bool patternRunNext(const detail::RecordPattern& pattern) {
  return pattern.length > detail::kShortRecordBytes && pattern.toldKnown && pattern.items == 3 &&
         pattern.convert == 0b111 && pattern.told == kPatternRunTold;
}

}  // namespace

// Rows of three with lines, every item kept, records after records from
// pos_ (a record's start, nothing of the last to discard) while the one-pass
// read would take each whole with nothing after its third value, at most
// `rows`: how many it took. Each row is what readRecordFast says of it (a
// record of Numbers, on one line), and where its second value is written in
// the usual exponent form, how (writtenExponentForm). A record after the
// first whose line feed is among its first 32 bytes is left for the short
// read's try, as the row-by-row read offers it; the reader's place and the
// last record's extent are set once, after the run.
// Records that fit the pattern of one taken before them (recordpattern.h)
// are read by it, records after records: such a record splits into values
// of the same forms at the same places, so it is taken as that one was, and
// told the same (its second value's written form from its places); the
// record a pattern does not fit is read as below, one at a time.
// With `run` (TableRead::run, its rows held): pattern records told with
// their second value's form and every value in the usual exponent form
// (kToldUsualExponents) are told there as a run instead where they are the
// call's first rows (taken first here, `rows` being the rest of the call),
// and the read ends after them; it also ends before such records after
// others, so that the next call starts with them.
std::size_t FreeFormatReader::readLinedLongRows(double* row, RowLines* lines, std::size_t rows, ToldRunRows* run) {
  constexpr std::size_t kCount = 3;
  constexpr std::uint32_t kAllThree = 0b111;
  constexpr std::ptrdiff_t kWrittenLook = 64;
  const char* p = pos_;
  const char* const end = end_;
  const char* const base = buffer_.get();
  detail::RecordPattern& pattern = patternOf(this);
  // A pattern this read learned (so that what it tells is known), of long
  // records.
  auto serves = [&pattern] {
    return pattern.length > detail::kShortRecordBytes && pattern.toldKnown && pattern.items == kCount &&
           pattern.convert == kAllThree;
  };
  long long line = line_;
  long long offset = recordStartOffset(p);
  const char* lastStart = p;  // the last record taken, and where the next starts
  const char* next = p;
  std::size_t taken = 0;
  bool toldAsRun = false;
  while (taken < rows) {
    if (serves()) {
      if (run != nullptr && taken > 0 && patternRunNext(pattern)) break;
      const char* record = p;
      const detail::PatternRun read = detail::readPatternRows(pattern, p, end, row, rows - taken);
      if (read.rows > 0) {
        // Held apart from the pattern and the reader, whose bytes the rows'
        // stores might otherwise be taken to change.
        const std::size_t length = pattern.length;
        const std::uint8_t told = pattern.told;
        const bool secondTold = (told & RowLines::kToldSecondForm) != 0;
        const std::size_t secondDigits = pattern.secondDigits;
        const std::size_t secondEnd = pattern.secondEnd;
        // The records after the first start after a line feed in the buffer.
        long long following = bufferOffset_ + (record - base);
        RowLines* const seen = lines + taken;
        if (run != nullptr && taken == 0 && told == kPatternRunTold && offset >= 0) {
          // Told as a run: each record's start and its second value's form.
          const int fraction = static_cast<int>(secondEnd) - static_cast<int>(secondDigits) - 6;
          long long* const offsets = run->offsets;
          std::uint8_t* const forms = run->forms;
          offsets[0] = offset;
          for (std::size_t k = 0; k < read.rows; ++k, record += length, following += static_cast<long long>(length)) {
            if (k > 0) offsets[k] = following;
            patternExponentForm(record + secondDigits, record + secondEnd - 4, fraction, forms[2 * k],
                                forms[2 * k + 1]);
          }
          run->rows = read.rows;
          run->firstLine = line;
          run->told = kPatternRunTold;
          run->record = RowRecord::Numbers;
          toldAsRun = true;
          taken = read.rows;
          line += static_cast<long long>(read.rows);
          pattern.taken += static_cast<std::uint32_t>(read.rows);
          lastStart = record - length;
          next = p;
          if (read.misfit) detail::notePatternMisfit(pattern, line);
          break;
        }
        if (secondTold) {
          // The second value's digits after its point are as many in every
          // record (the pattern's places): only its exponent is read a row.
          const int fraction = static_cast<int>(secondEnd) - static_cast<int>(secondDigits) - 6;
          for (std::size_t k = 0; k < read.rows; ++k, record += length) {
            const long long at = line + static_cast<long long>(k);
            RowLines form;
            patternExponentForm(record + secondDigits, record + secondEnd - 4, fraction, form.secondDecimals,
                                form.secondSignificant);
            seen[k] = RowLines{.first = at, .last = at, .valuesHeld = static_cast<std::uint32_t>(kCount), .ignored = 0,
                               .told = told, .secondDecimals = form.secondDecimals,
                               .secondSignificant = form.secondSignificant, .offset = offset,
                               .record = RowRecord::Numbers};
            following += static_cast<long long>(length);
            offset = following;
          }
        } else {
          for (std::size_t k = 0; k < read.rows; ++k, record += length) {
            const long long at = line + static_cast<long long>(k);
            seen[k] = RowLines{.first = at, .last = at, .valuesHeld = static_cast<std::uint32_t>(kCount), .ignored = 0,
                               .told = told, .offset = offset, .record = RowRecord::Numbers};
            following += static_cast<long long>(length);
            offset = following;
          }
        }
        taken += read.rows;
        row += read.rows * kCount;
        line += static_cast<long long>(read.rows);
        pattern.taken += static_cast<std::uint32_t>(read.rows);
        lastStart = record - length;
        next = p;
      }
      if (read.misfit) detail::notePatternMisfit(pattern, line);
      if (taken == rows) break;
    }
    const char* const start = p;
    const char* second = nullptr;  // the second value's digits and end, where it has the usual form
    const char* secondEnd = nullptr;
    bool usual = true;  // every value so far in the usual exponent form, and followed by a blank
#pragma GCC unroll 3
    for (std::size_t k = 0; k < kCount; ++k) {
      p = skipBlanks(p);
      if (k > 0 && (*p == ',' || *p == ';')) p = skipBlanks(p + 1);
      double value = 0;
      const char* last;
      const char* digits;
      bool form = true;
      if (!usualLongValue(p, last, digits, value)) {
        const std::from_chars_result read = detail::parseNumber(p, end, value);
        if (read.ec != std::errc()) goto stop;
        last = read.ptr;
        form = usualExponentForm(p, last, digits);
      }
      usual &= form;
      if (k == 1 && form) {
        second = digits;
        secondEnd = last;
      }
      p = last;
      const std::uint8_t after = byteClass(static_cast<unsigned char>(*p));
      if (k + 1 < kCount ? (after & kEndsInnerValue) == 0 : (after & kEndsLastValue) == 0 || p == end) goto stop;
      usual &= (after & detail::kBlank) != 0 || k + 1 == kCount;
      row[k] = value;
    }
    if (*p != '\n') {
      p += detail::leadingSpaces(p);
      while (isBlank(static_cast<unsigned char>(*p))) ++p;
    }
    if (*p != '\n' || p == end) goto stop;
    {
      const bool isLong = p - start >= static_cast<std::ptrdiff_t>(detail::kShortRecordBytes);
      if (taken > 0 && !isLong) goto stop;
      lines[taken] = RowLines{.first = line, .last = line, .valuesHeld = static_cast<std::uint32_t>(kCount),
                              .ignored = 0, .offset = offset, .record = RowRecord::Numbers};
      const bool secondTold = second != nullptr && secondEnd - start < kWrittenLook;
      if (secondTold) writtenExponentForm(second, secondEnd, lines[taken]);
      const auto told = static_cast<std::uint8_t>((usual ? RowLines::kToldUsualExponents : 0) |
                                                  (secondTold ? RowLines::kToldSecondForm : 0));
      lines[taken].told = told;
      // A long record taken while no pattern serves: the next records are
      // read by its pattern, once the wait after one that did not pay is over.
      if (isLong && !serves() && pattern.learnAfter <= line) {
        detail::learnPatternOrWait(pattern, start, end, kCount, kAllThree, line);
        if (pattern.length != 0) {
          pattern.told = told;
          pattern.secondDigits = static_cast<std::uint8_t>(secondTold ? second - start : 0);
          pattern.secondEnd = static_cast<std::uint8_t>(secondTold ? secondEnd - start : 0);
          pattern.toldKnown = true;
        }
      }
    }
    lastStart = start;
    next = ++p;
    // The next record's start follows a line feed in the buffer.
    offset = bufferOffset_ + (p - base);
    ++taken;
    row += kCount;
    ++line;
  }
stop:
  if (taken > 0) {
    noteKnownRecord(toldAsRun ? run->offsets[taken - 1] : lines[taken - 1].offset, lastStart, next - 1);
    placeAfterWholeRecords(next, line - 1);
  }
  return taken;
}

// Rows of three with lines, every item kept: the read that describes each
// row's record. Each record whose line feed is among its first 32 bytes is
// offered to the short record's read first (the record it takes is Short),
// then to the one-pass read and the general rules, so that what each row
// says of its record does not depend on how many rows a call asks for. The
// rows the short read takes from the first on cost only its run.
std::size_t FreeFormatReader::readLinedRows(const TableRead& table) {
  if (table.run != nullptr && table.rowsHeld && fastPaths_) {
    // A run told as a run; where the last statement left only its record's
    // line feed, from the record after it.
    const bool afterLineFeed = discardPending_ && *pos_ == '\n' && pos_ != end_;
    if (!discardPending_ || afterLineFeed) {
      const char* from = pos_ + (afterLineFeed ? 1 : 0);
#if defined(__SSE2__)
      if (shortLineFeeds(from) != 0)
#endif
      {
        const std::size_t run = readShortRunRows(table.values, *table.run, table.capacity, from,
                                                 line_ + (afterLineFeed ? 1 : 0));
        if (run > 0) return run;
      }
    }
  }
  if (!fastPaths_ || discardPending_) return readLinedRowsFrom(table, 0, false);
#if defined(__SSE2__)
  // A record with no line feed among its first 32 bytes is not short: told
  // here, before the short read's run is set up.
  if (shortLineFeeds(pos_) == 0) return readLinedRowsFrom(table, 0, true);
#endif
  const std::size_t taken = readLinedShortRows(table.values, table.lines, table.capacity, table.rowsHeld);
  if (taken == table.capacity) return taken;
  return readLinedRowsFrom(table, taken, taken == 0);
}

// For a table whose rows are held (TableRead::rowsHeld): after the first of
// these rows read from one record with values after its last item, the
// rows of one record only note that some follow.
void FreeFormatReader::noteSurplusRows(const RowLines* lines, std::size_t rows) {
  if (!ignoredCounting_.oneRecord) return;
  for (std::size_t k = 0; k < rows; ++k) {
    if (lines[k].ignored > 0 && lines[k].first == lines[k].last) {
      ignoredCounting_.oneRecord = false;
      return;
    }
  }
}

// The rows of readLinedRows from row n on; `shortTried`: the short read has
// declined row n's record.
std::size_t FreeFormatReader::readLinedRowsFrom(const TableRead& table, std::size_t n, bool shortTried) {
  constexpr std::size_t kCount = 3;
  const bool fast = fastPaths_;
  double* row = table.values + n * kCount;
  // The run of long records (readLinedLongRows) stopped at the record at
  // hand: it is not offered to it again.
  bool longDeclined = false;
  while (n < table.capacity) {
    RowLines* lines = table.lines + n;
    bool tryShort = true;
    if (fast && !discardPending_) {
#if defined(__SSE2__)
      if (!shortTried && shortLineFeeds(pos_) != 0) {
        const std::size_t taken = readLinedShortRows(row, lines, table.capacity - n, table.rowsHeld);
        if (taken > 0) {
          n += taken;
          row += taken * kCount;
          shortTried = true;  // it stopped at the record at hand
          longDeclined = false;
          continue;
        }
      }
      tryShort = false;
#endif
      if (!longDeclined) {
        // Its rows have no values after their third: nothing to note of them.
        // Records a run would tell end the call before them, so that the
        // next call tells them as its first rows (and ends after them).
        ToldRunRows* const run = table.rowsHeld ? table.run : nullptr;
        if (run != nullptr && n > 0 && patternRunNext(patternOf(this))) return n;
        const std::size_t taken = readLinedLongRows(row, lines, table.capacity - n, run);
        if (run != nullptr && taken > 0 && (run->rows != 0 || patternRunNext(patternOf(this)))) return n + taken;
        n += taken;
        row += taken * kCount;
        if (n == table.capacity) break;
        longDeclined = true;
        if (taken > 0) {
          shortTried = false;  // the record it stopped at may be a short one
          continue;
        }
      }
    }
    shortTried = false;
    longDeclined = false;
    if (fast && readRecordFast(RowTargets{row}, kCount, 0b111, lines, tryShort)) {
      if (table.rowsHeld) noteSurplusRows(lines, 1);
    } else {
      // Held rows: the general rules may read past the buffer, so they read
      // a row alone in its call.
      if (table.rowsHeld && n > 0) return n;
      readRowGeneral(row, static_cast<int>(kCount), table.statement, lines);
      if (tableEnded_) return n;
      if (table.rowsHeld) return n + 1;
    }
    ++n;
    row += kCount;
  }
  return n;
}

// One row statement by the general rules, its items zero first; at the end
// of the file the row is left at zero and the table ends.
void FreeFormatReader::readRowGeneral(double* row, int itemsPerRow, int statement, RowLines* lines) {
  const auto count = static_cast<std::size_t>(itemsPerRow);
  std::fill(row, row + count, 0.0);
  Item items[kMaxRowItems] = {NumberItem{nullptr}, NumberItem{nullptr}, NumberItem{nullptr}, NumberItem{nullptr},
                              NumberItem{nullptr}, NumberItem{nullptr}, NumberItem{nullptr}, NumberItem{nullptr}};
  for (std::size_t k = 0; k < count; ++k) items[k] = NumberItem{row + k};
  if (execute(std::span<const Item>(items, count), statement, true) == ReadStatus::EndOfFile) {
    std::fill(row, row + count, 0.0);
    tableEnded_ = true;
    return;
  }
  if (lines != nullptr) {
    auto saturated = [](std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)); };
    // The values met (a repeat form's in full, its surplus among them) and
    // those after the last item on its record; none are counted after a
    // slash, which ends the record's values.
    const bool exact = statementLine_ == statementEndLine_ ? ignoredCounting_.oneRecord : ignoredCounting_.moreRecords;
    const std::uint64_t rest = endedBySlash_ ? 0 : valuesInRestOfRecord(exact);
    *lines = RowLines{.first = statementLine_, .last = statementEndLine_, .valuesHeld = saturated(valuesSeen_ + rest),
                      .ignored = saturated(repeatLeft_ + rest), .endedBySlash = endedBySlash_,
                      .offset = statementOffset_};
  }
}

// The values on the rest of the record where the last statement stopped, by
// the value-splitting rules, without moving past them (the next statement
// discards them). A record longer than the whole buffer is counted as far
// as the buffer holds it.
std::uint32_t FreeFormatReader::valuesInRestOfRecord(bool exact) {
  const char* lineFeed;
  for (;;) {
    lineFeed = static_cast<const char*>(std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_)));
    if (lineFeed != nullptr) break;
    if (!refill()) {
      lineFeed = end_;
      break;
    }
  }
  return valuesAfterStatement(pos_, lineFeed, exact);
}

// The file's last line, once the end of the file has been met: 0 when it is
// empty, and a final line feed ends the last line rather than starting one.
long long FreeFormatReader::lastLineOfFile() const {
  if (lastByte_ < 0) return 0;
  return lastByte_ == '\n' ? line_ - 1 : line_;
}

// ---------------------------------------------------------------------------
// Statements.

// Where the record holding the byte at `at` starts in the file, or -1 when
// its start was dropped with the bytes before the buffer.
long long FreeFormatReader::recordOffsetAt(const char* at) const {
  const char* base = buffer_.get();
  const auto* lineFeed = static_cast<const char*>(::memrchr(base, '\n', static_cast<std::size_t>(at - base)));
  if (lineFeed != nullptr) return bufferOffset_ + (lineFeed + 1 - base);
  return bufferStartsRecord_ ? bufferOffset_ : -1;
}

std::string_view FreeFormatReader::bufferedRecord(long long offset) const {
  const char* base = buffer_.get();
  if (base == nullptr || offset < bufferOffset_ || offset >= bufferOffset_ + (end_ - base)) return {};
  const char* at = base + (offset - bufferOffset_);
  // The record a faster read has just taken: its end is known. A refill
  // keeps every byte the buffer still holds at its place in the file.
  if (recordKnown_ && offset == knownOffset_ && knownLength_ < static_cast<std::size_t>(end_ - at)) {
    return {at, knownLength_};
  }
  const auto* lineFeed = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end_ - at)));
  if (lineFeed == nullptr) {
    if (!atEof_) return {};
    lineFeed = end_;  // the file's last record, without a line feed
  }
  return {at, static_cast<std::size_t>(lineFeed - at)};
}

std::optional<std::string_view> FreeFormatReader::bufferedRecords(long long offset, long long count) const {
  const char* base = buffer_.get();
  if (base == nullptr || count < 1 || offset < bufferOffset_ || offset >= bufferOffset_ + (end_ - base)) {
    return std::nullopt;
  }
  const char* at = base + (offset - bufferOffset_);
  const char* lineFeed = at - 1;
  for (long long k = 0; k < count; ++k) {
    const char* from = lineFeed + 1;
    lineFeed = from < end_ ? static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(end_ - from)))
                           : nullptr;
    if (lineFeed == nullptr) {
      if (!atEof_ || k + 1 < count || (k > 0 && from == end_)) return std::nullopt;
      lineFeed = end_;  // the file's last record, without a line feed
    }
  }
  return std::string_view(at, static_cast<std::size_t>(lineFeed - at));
}

// After a record read whole by a faster read: where it starts. The read
// leaves pos_ after its line feed, or inside it when values are left on it.
long long FreeFormatReader::fastRecordOffset() const { return recordOffsetAt(discardPending_ ? pos_ : pos_ - 1); }

// Where the record whose first byte is at `start` starts in the file: the
// same answer as recordOffsetAt() for any byte of it, without looking back
// for the line feed before it where that is the byte before `start`.
long long FreeFormatReader::recordStartOffset(const char* start) const {
  const char* base = buffer_.get();
  if (start > base && start[-1] == '\n') return bufferOffset_ + (start - base);
  return recordOffsetAt(start);
}

// The record at `offset` (from `start`, in the buffer) ends at the line feed
// at `lineFeed`, before the sentinel.
void FreeFormatReader::noteKnownRecord(long long offset, const char* start, const char* lineFeed) {
  recordKnown_ = offset >= 0;
  knownOffset_ = offset;
  knownLength_ = static_cast<std::size_t>(lineFeed - start);
}

void FreeFormatReader::notedFastRecord() {
  opener_ = StatementOpener::Value;
  statementOffset_ = fastRecordOffset();
  openerOffset_ = -1;  // somewhere in the record, after its blanks
}

bool FreeFormatReader::holdsMore() {
  assert(fd_ >= 0);
  if (discardPending_) discardRestOfRecord();
  detail::TokenState tokens;
  const detail::Token token = nextToken(tokens);
  pos_ = const_cast<char*>(token.start);  // the next statement starts where it would have
  return token.kind != detail::TokenKind::End;
}

void FreeFormatReader::read(std::span<const Item> items, int statement) {
  (void)readStatement(items, statement, false);
}

ReadStatus FreeFormatReader::execute(std::span<const Item> items, int statement, bool acceptEnd) {
  assert(fd_ >= 0);
  statement_ = statement;
  if (access_ == Access::WriteOnly) fail(Failure::CannotRead);
  // The previous statement's record is dropped only now, so that nothing after
  // the last statement a caller makes is ever scanned.
  if (discardPending_) discardRestOfRecord();
  detail::TokenState tokens;
  repeatLeft_ = 0;
  valuesSeen_ = 0;
  statementLine_ = 0;
  endedBySlash_ = false;
  opener_ = StatementOpener::EndOfFile;
  statementOffset_ = -1;
  openerOffset_ = -1;

  int itemNumber = 0;
  for (const Item& item : items) {
    ++itemNumber;
    if (repeatLeft_ > 0) {
      applyRepeat(item, itemNumber);
      --repeatLeft_;
      continue;
    }
    const detail::Token token = nextToken(tokens);
    if (statementLine_ == 0 && token.kind != detail::TokenKind::End) {
      statementLine_ = line_;
      opener_ = token.kind == detail::TokenKind::Null    ? StatementOpener::NullValue
                : token.kind == detail::TokenKind::Slash ? StatementOpener::Slash
                                                         : StatementOpener::Value;
      if (trackOffsets_) {
        statementOffset_ = recordOffsetAt(token.start);
        openerOffset_ = statementOffset_ < 0 ? -1 : bufferOffset_ + (token.start - buffer_.get());
      }
    }
    switch (token.kind) {
      case detail::TokenKind::End:
        statementEndLine_ = lastLineOfFile();
        if (acceptEnd) return ReadStatus::EndOfFile;
        fail(Failure::EndOfFile);
      case detail::TokenKind::Slash:
        endedBySlash_ = true;
        statementEndLine_ = line_;
        discardPending_ = true;  // the remaining items keep their contents
        return ReadStatus::Ok;
      case detail::TokenKind::Null:
        ++valuesSeen_;
        continue;
      case detail::TokenKind::Quoted:
      case detail::TokenKind::Plain:
      case detail::TokenKind::Repeat:
        break;
    }
    ++valuesSeen_;
    readValue(item, itemNumber, token, tokens);
  }
  statementEndLine_ = line_;
  discardPending_ = true;
  return ReadStatus::Ok;
}

void FreeFormatReader::discardRestOfRecord() {
  discardPending_ = false;
  for (;;) {
    auto* lineFeed = static_cast<char*>(std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_)));
    if (lineFeed != nullptr) {
      pos_ = lineFeed + 1;
      ++line_;
      return;
    }
    pos_ = end_;
    if (!refill()) return;
  }
}

// The statement's next token, the buffer refilled where the tokenizer meets
// its end: pos_ at a value's first byte, or past a null value's comma or a
// slash; End at the end of the file. A value's token may be the first piece
// of it (cut), which the value's read continues.
detail::Token FreeFormatReader::nextToken(detail::TokenState& tokens) {
  for (;;) {
    const detail::Token token = detail::nextToken(pos_, end_, atEof_, tokens);
    line_ += token.lineFeeds;
    switch (token.kind) {
      case detail::TokenKind::End:
        pos_ = const_cast<char*>(token.start);
        if (atEof_) return token;
        refill();
        continue;
      case detail::TokenKind::Null:
      case detail::TokenKind::Slash:
        pos_ = const_cast<char*>(token.end);
        return token;
      case detail::TokenKind::Quoted:
      case detail::TokenKind::Plain:
      case detail::TokenKind::Repeat:
        pos_ = const_cast<char*>(token.start);
        return token;
    }
  }
}

// A value's token, pos_ at its first byte: a quoted one, a repeat form, text,
// a number, a bad value, one running past the buffer.
void FreeFormatReader::readValue(const Item& item, int itemNumber, const detail::Token& token,
                                 detail::TokenState& tokens) {
  const long long line = line_;
  if (token.kind == detail::TokenKind::Quoted) {
    // A quoted value is text; where a number is expected it is wrong at once.
    if (item.isNumber()) fail(Failure::BadNumber, itemNumber, line);
    const std::size_t length = readQuoted(token, tokens, item.chars(), item.width(), itemNumber);
    std::memset(item.chars() + length, ' ', item.width() - length);
    noteTextStored(length);
    return;
  }
  // Unquoted: a text item is only written once the value is known not to be
  // a repeat count ("2*" leaves it unchanged).
  char local[kMaxTextWidth];
  assert(item.isNumber() || item.width() <= kMaxTextWidth);  // wider items are not supported
  TextSink text{local, item.isNumber() ? 0 : std::min(item.width(), kMaxTextWidth)};
  const GatheredValue value = gatherValue(token, tokens, item.isNumber(), item.isNumber() ? nullptr : &text);
  if (value.repeat) {
    pos_ = value.end;
    startRepeat(value.count, item, itemNumber, line, tokens);
    return;
  }
  if (item.isNumber()) {
    double number;
    if (!value.kept || !detail::parseWholeNumber(pos_, value.end, foldedScale_, number)) {
      fail(Failure::BadNumber, itemNumber, line);
    }
    *item.number() = number;
  } else {
    noteTextStored(storeText(item, local, text.length));
  }
  pos_ = value.end;
}

// An unquoted value's bytes, from its token's first piece (pos_ at it) on
// across blocks, to the byte that ends it or a repeat count's asterisk. Each
// byte goes to `text` (when given) as it is met. With `keep` the bytes stay
// in the buffer from pos_ on, so that the number rules take them whole; a
// value as long as the whole buffer is folded on the way (foldLongNumber),
// and the read stops, not kept, where its bytes can no longer start a
// number. Without it they are passed over.
FreeFormatReader::GatheredValue FreeFormatReader::gatherValue(detail::Token piece, detail::TokenState& tokens,
                                                              bool keep, TextSink* text) {
  GatheredValue value{nullptr, false, 0, keep};
  foldedScale_ = 0;
  for (;;) {
    if (piece.kind == detail::TokenKind::Repeat) {
      value.repeat = true;
      value.count = piece.count;
      value.end = const_cast<char*>(piece.end);
      return value;
    }
    if (text != nullptr) {
      for (const char* c = piece.start; c != piece.end; ++c) text->put(*c);
    }
    if (!piece.cut) break;
    // The buffer ends inside the value: the next block.
    const std::size_t at = keep ? static_cast<std::size_t>(piece.end - pos_) : 0;
    if (!keep) pos_ = const_cast<char*>(piece.end);
    if (!refill() && !atEof_) {
      // The buffer holds this value alone (which only a kept value can fill).
      if (!foldLongNumber()) {
        value.kept = false;
        piece.end = end_;
        break;
      }
    }
    piece = detail::nextToken(pos_ + std::min(at, static_cast<std::size_t>(end_ - pos_)), end_, atEof_, tokens);
  }
  value.end = const_cast<char*>(piece.end);
  return value;
}

// The buffer holds nothing but the start of the number being read: its
// bytes are rewritten shorter (detail::foldNumber), so that it can go on.
// The bytes after it keep their places in the file; the record's start is
// no longer in the buffer. False when the bytes cannot start a number.
bool FreeFormatReader::foldLongNumber() {
  char* folded = detail::foldNumber(pos_, end_, foldedScale_);
  if (folded == nullptr) return false;
  bufferOffset_ += end_ - folded;
  bufferStartsRecord_ = false;
  recordKnown_ = false;
  end_ = folded;
  markEnd();
  return true;
}

// pos_ is just past "r*". The value after it (or a null, when a separator
// follows at once) goes to this item and the next r - 1.
void FreeFormatReader::startRepeat(std::uint64_t count, const Item& item, int itemNumber, long long line,
                                   detail::TokenState& tokens) {
  if (count == 0) fail(Failure::BadNumber, itemNumber, line);
  RepeatedValue& value = repeat_;
  value.isNull = false;
  value.isNumber = false;
  value.line = line;
  value.textLength = 0;
  const detail::Token body = nextToken(tokens);
  if (body.kind == detail::TokenKind::Null) {
    value.isNull = true;
  } else if (body.kind == detail::TokenKind::Quoted) {
    // Quoted text for a number item is wrong at once, closed or not.
    if (item.isNumber()) fail(Failure::BadNumber, itemNumber, line);
    value.textLength = readQuoted(body, tokens, value.text, kMaxTextWidth, itemNumber);
  } else {
    // Kept both ways, as text and as a number, since the items it fills may
    // be of either kind.
    TextSink text{value.text, kMaxTextWidth};
    GatheredValue gathered = gatherValue(body, tokens, true, &text);
    value.isNumber = gathered.kept && detail::parseWholeNumber(pos_, gathered.end, foldedScale_, value.number);
    if (!gathered.kept) {  // no number: the rest is passed over
      const detail::Token rest = detail::tokens::made(detail::TokenKind::Plain, gathered.end, gathered.end, 0, true);
      gathered = gatherValue(rest, tokens, false, nullptr);
    }
    value.textLength = text.length;
    pos_ = gathered.end;
  }
  repeatLeft_ = count;
  valuesSeen_ += count - 1;  // the form itself was counted as one value
  applyRepeat(item, itemNumber);
  --repeatLeft_;
}

void FreeFormatReader::applyRepeat(const Item& item, int itemNumber) {
  const RepeatedValue& value = repeat_;
  if (value.isNull) return;
  if (item.isNumber()) {
    if (!value.isNumber) fail(Failure::BadNumber, itemNumber, value.line);
    *item.number() = value.number;
  } else {
    assert(item.width() <= kMaxTextWidth);
    noteTextStored(storeText(item, value.text, value.textLength));
  }
}

// A quoted value from its token's first piece (pos_ at the opening
// delimiter) on, across blocks and record ends, which (like carriage
// returns) contribute nothing; a doubled delimiter stands for one. Returns
// the length stored.
std::size_t FreeFormatReader::readQuoted(detail::Token piece, detail::TokenState& tokens, char* destination,
                                         std::size_t width, int itemNumber) {
  const char delimiter = *piece.start;
  TextSink text{destination, width};
  const char* from = piece.start + 1;
  for (;;) {
    // A piece holds whole pairs of delimiters, and a closed one its closing
    // delimiter last.
    const char* to = piece.cut ? piece.end : piece.end - 1;
    for (const char* p = from; p < to; ++p) {
      if (*p == '\n') {
        ++line_;
      } else if (*p != '\r') {
        text.put(*p);
        if (*p == delimiter) ++p;
      }
    }
    if (!piece.cut) break;
    if (tokens.open != detail::TokenKind::Quoted) fail(Failure::EndOfFile);  // still open at the end of the file
    pos_ = const_cast<char*>(piece.end);
    refill();
    piece = detail::nextToken(pos_, end_, atEof_, tokens);
    from = piece.start;
  }
  pos_ = const_cast<char*>(piece.end);
  if (!isTerminator(peek())) fail(Failure::BadText, itemNumber, line_);
  return text.length;
}

}  // namespace velmora
