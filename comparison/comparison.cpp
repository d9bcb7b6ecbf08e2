#include "comparison.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "datafile/datafile.h"
#include "freeformat/freeformat.h"

namespace velmora {
namespace {

constexpr int kOutputChannel = 6;
constexpr int kSignificantDigits = 17;
constexpr std::size_t kFieldWidth = 25;
constexpr std::size_t kFixedWidth = 20;  // the fixed form, then five blanks
// The fixed form holds zero and the magnitudes in [kFixedFormLow, kFixedFormHigh).
constexpr double kFixedFormLow = 0.1;
constexpr double kFixedFormHigh = 1e17;
constexpr int kExponentDigits = 3;  // E+020, E-005
// Zero is the one fixed-form value with sixteen digits after the point.
constexpr std::string_view kZeroText = "0.0000000000000000";
constexpr std::string_view kNaNText = "NaN";
constexpr std::string_view kInfinityText = "Infinity";

constexpr int kWriteResult = 207;

// A finite positive value (or zero) to 17 significant digits, correctly
// rounded: d.dddddddddddddddd x 10^exponent.
struct DecimalDigits {
  char digits[kSignificantDigits];
  int exponent;
};

DecimalDigits decimalDigits(double value) {
  // One correctly rounded conversion, d.dddddddddddddddde[+-]XX[X]: the
  // digits and the exponent are taken from their fixed places in it.
  char scientific[32];
  const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                  std::chars_format::scientific, kSignificantDigits - 1)
                        .ptr;
  DecimalDigits decimal{};
  decimal.digits[0] = scientific[0];
  std::memcpy(decimal.digits + 1, scientific + 2, kSignificantDigits - 1);
  // After "d." and sixteen digits: 'e', the sign, then two or three digits.
  const char* exponentDigits = scientific + 2 + (kSignificantDigits - 1) + 2;
  int magnitude = 0;
  for (const char* p = exponentDigits; p < end; ++p) magnitude = magnitude * 10 + (*p - '0');
  decimal.exponent = exponentDigits[-1] == '-' ? -magnitude : magnitude;
  return decimal;
}

// Right-justifies `text` in `width` bytes at `out`.
void rightJustify(char* out, std::size_t width, std::string_view text) {
  std::memset(out, ' ', width - text.size());
  std::memcpy(out + width - text.size(), text.data(), text.size());
}

}  // namespace

void prepareProcess() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = ::open("/dev/null", O_RDONLY);
      if (opened >= 0 && opened != fd) ::close(opened);  // cannot happen: lowest free first
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

ReferenceColumn::ReferenceColumn() {
  // Fresh anonymous memory is zero-filled and costs nothing until a row is
  // stored in it. Left in ordinary pages on purpose: a huge page comes from
  // the kernel's largest free blocks, which a virtual machine may have handed
  // back to its host, and filling one then costs far more than the page
  // faults it spares (bench/README.md).
  constexpr std::size_t kBytes = kMaxRows * sizeof(double);
  void* storage = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage == MAP_FAILED) stopOutOfMemory(kBytes, errno);
  values_ = static_cast<double*>(storage);
}

ReferenceColumn::~ReferenceColumn() { ::munmap(values_, kMaxRows * sizeof(double)); }

void ReferenceColumn::prepareMore(std::size_t rows) {
  // Pieces that double from 64 KiB to 512 KiB (bench/README.md): a long
  // table pays a few dozen calls, a short one little more than its rows.
  constexpr std::size_t kFirstPiece = (std::size_t{64} << 10) / sizeof(double);
  constexpr std::size_t kLargestPiece = (std::size_t{512} << 10) / sizeof(double);
  const std::size_t from = prepared_;
  const std::size_t piece = std::clamp(from, kFirstPiece, kLargestPiece);
  const std::size_t to = std::min(kMaxRows, std::max(rows, from + piece));
  prepared_ = to;
#if defined(MADV_POPULATE_WRITE)
  // Whole pages only; the first and last may be partly present already.
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(values_ + from) / page * page;
  const auto last = reinterpret_cast<std::uintptr_t>(values_ + to);
  // An older kernel, or one short of memory, declines: the stores then
  // fault the pages in one at a time, as without the call.
  if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0) prepared_ = kMaxRows;
#endif
}

void SquaredDifferences::keepRows(std::size_t firstRow, const double* values, std::size_t count) {
  double sum = total;
  for (std::size_t k = 0; k < count; ++k) sum += squaredDifference(firstRow + k, values[3 * k + 1]);
  total = sum;
}

void ReferenceColumn::clear(std::size_t rows) { std::memset(values_, 0, rows * sizeof(double)); }

std::string_view resultLineNumber(std::string_view line) {
  const std::size_t first = line.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_first_of(" \n", first) - first);
}

void formatResultLine(double total, char* line) {
  // A sum of squares is never negative: NaN, +Infinity, or finite and positive
  // (zero included, never minus zero).
  assert(std::isnan(total) || !std::signbit(total));
  char* field = line + 1;
  line[0] = ' ';
  line[kResultLineLength - 1] = '\n';
  line[kResultLineLength] = '\0';
  if (std::isnan(total)) {
    rightJustify(field, kFieldWidth, kNaNText);
    return;
  }
  if (std::isinf(total)) {
    rightJustify(field, kFieldWidth, kInfinityText);
    return;
  }
  const DecimalDigits decimal = decimalDigits(total);
  const char* digits = decimal.digits;
  const int exponent = decimal.exponent;

  // Every form fits in the field.
  char text[kFieldWidth];
  char* p = text;
  if (total == 0) {
    std::memcpy(p, kZeroText.data(), kZeroText.size());
    p += kZeroText.size();
    rightJustify(field, kFixedWidth, std::string_view(text, static_cast<std::size_t>(p - text)));
    std::memset(field + kFixedWidth, ' ', kFieldWidth - kFixedWidth);
  } else if (total >= kFixedFormLow && total < kFixedFormHigh) {
    // n digits before the point (none below 1, written as a 0), 17 - n after it.
    int before = exponent < 0 ? 0 : exponent + 1;
    if (before == 0) {
      *p++ = '0';
      *p++ = '.';
      std::memcpy(p, digits, kSignificantDigits);
      p += kSignificantDigits;
    } else {
      std::memcpy(p, digits, static_cast<std::size_t>(before));
      p += before;
      *p++ = '.';
      std::memcpy(p, digits + before, static_cast<std::size_t>(kSignificantDigits - before));
      p += kSignificantDigits - before;
    }
    rightJustify(field, kFixedWidth, std::string_view(text, static_cast<std::size_t>(p - text)));
    std::memset(field + kFixedWidth, ' ', kFieldWidth - kFixedWidth);
  } else {
    *p++ = digits[0];
    *p++ = '.';
    std::memcpy(p, digits + 1, kSignificantDigits - 1);
    p += kSignificantDigits - 1;
    *p++ = 'E';
    *p++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    for (int i = kExponentDigits - 1; i >= 0; --i) {
      p[i] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    }
    p += kExponentDigits;
    rightJustify(field, kFieldWidth, std::string_view(text, static_cast<std::size_t>(p - text)));
  }
}

namespace detail {

ReferenceColumn& ownReferenceColumn() {
  static ReferenceColumn column;
  return column;
}

void writeResultLine(double total) {
  char line[kResultLineLength + 1];
  formatResultLine(total, line);
  std::size_t written = 0;
  while (written < kResultLineLength) {
    ssize_t n = ::write(STDOUT_FILENO, line + written, kResultLineLength - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    StopContext context;
    context.kind = Failure::IoError;
    context.statement = kWriteResult;
    context.channel = kOutputChannel;
    context.osError = n < 0 ? errno : EIO;
    stopRun(context);
  }
}

void openControl(FreeFormatReader& control, OpenMode mode) {
  if (mode == OpenMode::ReadOnly) {
    control.openReadOnly(kControlFileName, kControlStatements.open);
  } else {
    control.open(kControlFileName, kControlStatements.open);
  }
  control.rewind(kControlStatements.rewind);
}

NameStatementSeen readName(FreeFormatReader& control, int which, char* name) {
  const Item nameItem[] = {TextItem{name, kLineWidth}};
  NameStatementSeen seen;
  seen.statement = which == 0 ? kControlStatements.firstName : kControlStatements.secondName;
  control.read(nameItem, seen.statement);
  seen.opener = control.statementOpener();
  seen.line = control.statementLine();
  seen.recordOffset = control.statementRecordOffset();
  seen.openerOffset = control.statementOpenerOffset();
  seen.endedBySlash = control.endedBySlash();
  seen.name = std::string_view(name, kLineWidth);
  seen.openName = fileNameOf(seen.name);
  seen.record = control.bufferedRecord(seen.recordOffset);
  return seen;
}

}  // namespace detail

void readControlNames(ControlNames& names) {
  names.count = 0;
  FreeFormatReader control(kControlChannel);
  detail::openControl(control, OpenMode::ReadOnly);
  char name[kLineWidth];
  std::memset(name, ' ', sizeof name);
  for (int f = 0; f < 2; ++f) {
    names.names[f] = std::string(detail::readName(control, f, name).openName);
    names.count = f + 1;
  }
  control.close(kControlStatements.close);
}

}  // namespace velmora
