#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "fastnumber.h"
#include "fastrecord.h"
#include "freeformat.h"
#include "number.h"
#include "system.h"

namespace velmora {

namespace detail {
SystemCalls systemCalls{::read, ::close};
bool fastPathsEnabled = true;
}  // namespace detail

namespace {

// 1 MiB a read: large enough that system calls cost nothing per value, small
// enough to stay in the cache while it is scanned.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
// After the valid bytes: the line-feed sentinel and what the sixteen-byte
// loads of the blank skip and of a short record's read, and the eight- and
// sixteen-byte loads of the number scan, may read beyond it.
constexpr std::size_t kPadding = 32;
static_assert(kPadding >= detail::kNumberPadding, "the number scan reads this far past the sentinel");
static_assert(kPadding >= detail::kBlankPadding, "blanks are skipped sixteen bytes at a time");
static_assert(kPadding >= detail::kShortRecordPadding, "a short record is classified from two loads");

// A block buffer reserved ahead and not taken by a reader now (reserveBuffer);
// kept for the process.
char* spareBuffer = nullptr;

char* allocateBuffer() {
  constexpr std::size_t kBufferSize = kBlockSize + 1 + kPadding;
  char* buffer = new (std::nothrow) char[kBufferSize];
  if (buffer == nullptr) stopOutOfMemory(kBufferSize, ENOMEM);
  return buffer;
}

// Readers that exist, for the check that one file is never open on two channels.
constexpr std::size_t kMaxChannels = 16;
std::array<const FreeFormatReader*, kMaxChannels> channelTable{};

// Bytes that end a value: blanks, the separators, a carriage return (alone it is
// a blank, before a line feed it belongs to the record end) and the record end.
constexpr std::array<bool, 256> makeTerminators() {
  std::array<bool, 256> table{};
  for (char c : {' ', '\t', ',', ';', '/', '\r', '\n'}) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kTerminator = makeTerminators();

bool isTerminator(int c) { return c < 0 || kTerminator[static_cast<unsigned char>(c)]; }
bool isQuote(int c) { return c == '\'' || c == '"'; }

// Stores a value into a text item: left-justified, blank-padded or cut.
void storeText(const Item& item, const char* text, std::size_t length) {
  std::size_t width = item.width();
  std::size_t n = length < width ? length : width;
  std::memcpy(item.chars(), text, n);
  std::memset(item.chars() + n, ' ', width - n);
}

// Collects the leftmost `width` bytes of a value of any length.
struct TextSink {
  char* text;
  std::size_t width;
  std::size_t length = 0;
  void put(char c) {
    if (length < width) text[length++] = c;
  }
};

}  // namespace

FreeFormatReader::FreeFormatReader(int channel) : channel_(channel) {
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
  if (reservedBuffer_) spareBuffer = buffer_.release();
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
  context.osError = osError;
  stopRun(context);
}

// ---------------------------------------------------------------------------
// Channels.

void FreeFormatReader::open(std::string_view name, int statement) {
  openWith(name, statement, false);
}

void FreeFormatReader::openReadOnly(std::string_view name, int statement) {
  openWith(name, statement, true);
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

void FreeFormatReader::openWith(std::string_view name, int statement, bool readOnly) {
  assert(fd_ < 0 && "channel already open");
  statement_ = statement;
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);

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
  if (::stat(path, &status) == 0) {
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
    const int fd = ::open(path, flags, kMode);
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
  line_ = 1;
  statementLine_ = 0;
  endedBySlash_ = false;
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
  if (pos_ != base) std::memmove(base, pos_, kept);
  pos_ = base;
  end_ = base + kept;
  for (;;) {
    ssize_t got = detail::systemCalls.read(fd_, end_, kBlockSize - kept);
    if (got > 0) {
      end_ += got;
      markEnd();
      return true;
    }
    if (got == 0) {
      atEof_ = true;
      markEnd();
      return false;
    }
    if (errno != EINTR) fail(Failure::IoError, 0, 0, errno);
  }
}

// ---------------------------------------------------------------------------
// Statements.

void FreeFormatReader::read(std::span<const Item> items, int statement) {
  assert(fd_ >= 0);
  statement_ = statement;
  if (detail::fastPathsEnabled && readRecordFast(items)) return;
  (void)execute(items, statement, false);
}

ReadStatus FreeFormatReader::readOrEnd(std::span<const Item> items, int statement) {
  return readRowOrEnd(items, statement);
}

ReadStatus FreeFormatReader::readOrEndGeneral(std::span<const Item> items, int statement) {
  assert(fd_ >= 0);
  return execute(items, statement, true);
}

ReadStatus FreeFormatReader::execute(std::span<const Item> items, int statement, bool acceptEnd) {
  assert(fd_ >= 0);
  statement_ = statement;
  if (access_ == Access::WriteOnly) fail(Failure::CannotRead);
  // The previous statement's record is dropped only now, so that nothing after
  // the last statement a caller makes is ever scanned.
  if (discardPending_) discardRestOfRecord();
  atStart_ = true;
  afterComma_ = false;
  repeatLeft_ = 0;
  statementLine_ = 0;
  endedBySlash_ = false;

  int itemNumber = 0;
  for (const Item& item : items) {
    ++itemNumber;
    if (repeatLeft_ > 0) {
      applyRepeat(item, itemNumber);
      --repeatLeft_;
      continue;
    }
    Next next = nextValue();
    if (statementLine_ == 0 && next != Next::End) statementLine_ = line_;
    switch (next) {
      case Next::End:
        statementEndLine_ = line_;
        if (acceptEnd) return ReadStatus::EndOfFile;
        fail(Failure::EndOfFile);
      case Next::Slash:
        endedBySlash_ = true;
        statementEndLine_ = line_;
        discardPending_ = true;  // the remaining items keep their contents
        return ReadStatus::Ok;
      case Next::Null:
        continue;
      case Next::Value:
        break;
    }
    atStart_ = false;
    afterComma_ = false;
    if (item.isNumber() && detail::fastPathsEnabled && readNumberFast(item.number())) continue;
    readValueSlow(item, itemNumber);
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

// Passes over blanks, record ends and the separator after the previous value,
// and says what comes next.
FreeFormatReader::Next FreeFormatReader::nextValue() {
  for (;;) {
    pos_ += detail::leadingSpaces(pos_);  // the usual separator, eight bytes at a time
    if (!kTerminator[static_cast<unsigned char>(*pos_)]) return Next::Value;
    switch (*pos_) {
      case ' ':
      case '\t':
      case '\r':  // alone a blank; before a line feed part of the record end
        ++pos_;
        continue;
      case '\n':
        if (pos_ == end_) {
          if (!refill()) return Next::End;
          continue;
        }
        ++pos_;
        ++line_;
        continue;
      case ',':
      case ';':
        ++pos_;
        // A comma right after another, or opening the statement, is a null value.
        if (atStart_ || afterComma_) {
          atStart_ = false;
          afterComma_ = true;
          return Next::Null;
        }
        afterComma_ = true;
        continue;
      case '/':
        ++pos_;
        return Next::Slash;
      default:
        return Next::Value;
    }
  }
}

// The usual case: a value wholly inside the buffer that the number entry
// point takes whole, up to a byte that ends a value. Anything else (a repeat
// form, a quote, a value running to the end of the buffer, a bad value) is
// left to the general rules, which also name the fault.
bool FreeFormatReader::readNumberFast(double* target) {
  double value;
  auto [last, error] = detail::parseNumber(pos_, end_, value);
  if (error != std::errc() || (last == end_ ? !atEof_ : !kTerminator[static_cast<unsigned char>(*last)])) {
    return false;
  }
  *target = value;
  pos_ = const_cast<char*>(last);
  return true;
}

// Any value, one byte at a time, across block boundaries: pos_ is at its first byte.
void FreeFormatReader::readValueSlow(const Item& item, int itemNumber) {
  long long line = line_;
  int c = peek();
  if (isQuote(c)) {
    // A quoted value is text; where a number is expected it is wrong at once.
    if (item.isNumber()) fail(Failure::BadNumber, itemNumber, line);
    std::size_t length = scanQuoted(item.chars(), item.width(), itemNumber);
    std::memset(item.chars() + length, ' ', item.width() - length);
    return;
  }
  // Unquoted: the run of bytes up to the next terminator. While it is all
  // digits it may still turn out to be a repeat count, so a text item is only
  // written once the value is known not to be one ("2*" leaves it unchanged).
  bool allDigits = true;
  bool anyDigit = false;
  std::uint64_t count = 0;
  detail::NumberParser number;
  char local[kMaxTextWidth];
  assert(item.isNumber() || item.width() <= kMaxTextWidth);  // wider items are not supported
  TextSink text{local, item.isNumber() ? 0 : std::min(item.width(), kMaxTextWidth)};
  for (;; ++pos_) {
    c = peek();
    if (isTerminator(c)) break;
    if (c == '*' && allDigits && anyDigit) {
      ++pos_;
      startRepeat(count, item, itemNumber, line);
      return;
    }
    if (c >= '0' && c <= '9') {
      auto digit = static_cast<std::uint64_t>(c - '0');
      count = count > (UINT64_MAX - digit) / 10 ? UINT64_MAX : count * 10 + digit;
      anyDigit = true;
    } else {
      allDigits = false;
    }
    if (item.isNumber()) {
      // Once a byte other than a digit has been seen it cannot be a repeat
      // count, so a value that can no longer be a number is wrong now.
      if (!number.feed(static_cast<unsigned char>(c)) && !allDigits) {
        fail(Failure::BadNumber, itemNumber, line);
      }
    } else {
      text.put(static_cast<char>(c));
    }
  }
  if (item.isNumber()) {
    double value;
    if (!number.finish(value)) fail(Failure::BadNumber, itemNumber, line);
    *item.number() = value;
  } else {
    storeText(item, local, text.length);
  }
}

// pos_ is just past "r*". The value after it (or a null, when a separator
// follows at once) goes to this item and the next r - 1.
void FreeFormatReader::startRepeat(std::uint64_t count, const Item& item, int itemNumber,
                                   long long line) {
  if (count == 0) fail(Failure::BadNumber, itemNumber, line);
  RepeatedValue& value = repeat_;
  value.isNull = false;
  value.isNumber = false;
  value.line = line;
  value.textLength = 0;
  int c = peek();
  if (isTerminator(c)) {
    value.isNull = true;
  } else if (isQuote(c)) {
    // Quoted text for a number item is wrong at once, closed or not.
    if (item.isNumber()) fail(Failure::BadNumber, itemNumber, line);
    value.textLength = scanQuoted(value.text, kMaxTextWidth, itemNumber);
  } else {
    // Kept both ways, as text and as a number, since the items it fills may
    // be of either kind. A second asterisk is part of the value.
    detail::NumberParser number;
    TextSink text{value.text, kMaxTextWidth};
    bool numberSoFar = true;
    for (; !isTerminator(c = peek()); ++pos_) {
      text.put(static_cast<char>(c));
      if (numberSoFar) numberSoFar = number.feed(static_cast<unsigned char>(c));
    }
    value.textLength = text.length;
    value.isNumber = numberSoFar && number.finish(value.number);
  }
  repeatLeft_ = count;
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
    storeText(item, value.text, value.textLength);
  }
}

// A quoted value, pos_ at its opening delimiter: runs to the matching
// delimiter, a doubled one standing for itself, over record ends, which (like
// carriage returns) contribute nothing. Returns the length stored.
std::size_t FreeFormatReader::scanQuoted(char* destination, std::size_t width, int itemNumber) {
  const char delimiter = *pos_;
  ++pos_;
  TextSink text{destination, width};
  for (;;) {
    int c = peek();
    if (c < 0) fail(Failure::EndOfFile);  // still open at the end of the file
    ++pos_;
    if (c == '\n') {
      ++line_;
    } else if (c == '\r') {
      // contributes nothing
    } else if (c != delimiter) {
      text.put(static_cast<char>(c));
    } else {
      int after = peek();
      if (after == delimiter) {
        text.put(delimiter);
        ++pos_;
      } else if (isTerminator(after)) {
        return text.length;
      } else {
        fail(Failure::BadText, itemNumber, line_);
      }
    }
  }
}

}  // namespace velmora
