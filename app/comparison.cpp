#include "comparison.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <charconv>
#include <cmath>
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

// Right-justifies `text` in `width` bytes at `out`.
void rightJustify(char* out, std::size_t width, std::string_view text) {
  std::memset(out, ' ', width - text.size());
  std::memcpy(out + width - text.size(), text.data(), text.size());
}

}  // namespace

double sumOfSquaredDifferences(const double* compared, const double* reference, std::size_t rows) {
  double total = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    double difference = compared[i] - reference[i];
    total += difference * difference;
  }
  return total;
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
  // 17 significant digits, correctly rounded: d.dddddddddddddddde[+-]x, at
  // most 23 bytes (d.dddddddddddddddde-324), so the field's width holds them.
  char scientific[kFieldWidth];
  char* end = std::to_chars(scientific, scientific + sizeof scientific, total,
                            std::chars_format::scientific, kSignificantDigits - 1)
                  .ptr;
  *end = '\0';
  // The digits without the point after the first one.
  char digits[kSignificantDigits];
  digits[0] = scientific[0];
  std::memcpy(digits + 1, scientific + 2, kSignificantDigits - 1);
  // The exponent after "e"; from_chars takes a minus sign but not a plus.
  const char* exponentText = std::strchr(scientific, 'e') + 1;
  if (*exponentText == '+') ++exponentText;
  int exponent = 0;
  std::from_chars(exponentText, end, exponent);

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

namespace {

// Writes the result line to standard output; a write that fails (closed, full,
// a broken pipe) ends the run with a diagnostic.
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

}  // namespace

int runComparison() {
  // Every allocation of the run comes before its first open, so that running
  // out of memory creates no file: both sets, which live for the whole run at
  // full capacity, the control file's buffer, then the buffer the loads share.
  static DataSet reference;
  static DataSet compared;
  FreeFormatReader control(kControlChannel);
  reserveDataFileReader();

  control.open(kControlFileName, kControlStatements.open);
  control.rewind(kControlStatements.rewind);

  // One name buffer for both names: a second name statement that gives a
  // null value or a slash leaves the first name in it.
  char name[kLineWidth];
  std::memset(name, ' ', sizeof name);
  const Item nameItem[] = {TextItem{name, kLineWidth}};

  control.read(nameItem, kControlStatements.firstName);
  loadDataFile(std::string_view(name, kLineWidth), reference, DataFileRole::First);
  control.read(nameItem, kControlStatements.secondName);
  loadDataFile(std::string_view(name, kLineWidth), compared, DataFileRole::Second);

  double total = sumOfSquaredDifferences(compared.column2, reference.column2, compared.rows);
  control.close(kControlStatements.close);
  writeResultLine(total);
  return 0;
}

}  // namespace velmora
