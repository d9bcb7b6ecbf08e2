#include "comparison.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "datafile/datafile.h"
#include "freeformat/freeformat.h"

namespace velmora {
namespace {

constexpr int kOutputChannel = 6;
constexpr int kSignificantDigits = 17;
constexpr std::size_t kFieldWidth = 25;
constexpr std::size_t kFixedWidth = 20;  // the fixed form, then five blanks

constexpr int kWriteResult = 207;

// Right-justifies `text` in `width` bytes at `out`.
void rightJustify(char* out, std::size_t width, const char* text, std::size_t length) {
  std::memset(out, ' ', width - length);
  std::memcpy(out + width - length, text, length);
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
  char* field = line + 1;
  line[0] = ' ';
  line[kResultLineLength - 1] = '\n';
  line[kResultLineLength] = '\0';
  if (std::isnan(total)) {
    rightJustify(field, kFieldWidth, "NaN", 3);
    return;
  }
  if (std::isinf(total)) {
    const char* text = total < 0 ? "-Infinity" : "Infinity";
    rightJustify(field, kFieldWidth, text, std::strlen(text));
    return;
  }
  // 17 significant digits, correctly rounded: d.dddddddddddddddde[+-]x
  char scientific[40];
  char* end = std::to_chars(scientific, scientific + sizeof scientific, total,
                            std::chars_format::scientific, kSignificantDigits - 1)
                  .ptr;
  *end = '\0';
  const bool negative = scientific[0] == '-';
  const char* mantissa = scientific + (negative ? 1 : 0);
  char digits[kSignificantDigits];
  digits[0] = mantissa[0];
  std::memcpy(digits + 1, mantissa + 2, kSignificantDigits - 1);
  // The exponent after "e"; from_chars takes a minus sign but not a plus.
  const char* exponentText = std::strchr(mantissa, 'e') + 1;
  if (*exponentText == '+') ++exponentText;
  int exponent = 0;
  std::from_chars(exponentText, end, exponent);

  char text[40];
  char* p = text;
  if (negative) *p++ = '-';
  const double magnitude = std::fabs(total);
  if (magnitude == 0) {
    // Zero has sixteen digits after the point.
    std::memcpy(p, "0.0000000000000000", 18);
    p += 18;
    rightJustify(field, kFixedWidth, text, static_cast<std::size_t>(p - text));
    std::memset(field + kFixedWidth, ' ', kFieldWidth - kFixedWidth);
  } else if (magnitude >= 0.1 && magnitude < 1e17) {
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
    rightJustify(field, kFixedWidth, text, static_cast<std::size_t>(p - text));
    std::memset(field + kFixedWidth, ' ', kFieldWidth - kFixedWidth);
  } else {
    *p++ = digits[0];
    *p++ = '.';
    std::memcpy(p, digits + 1, kSignificantDigits - 1);
    p += kSignificantDigits - 1;
    *p++ = 'E';
    *p++ = exponent < 0 ? '-' : '+';
    int e = exponent < 0 ? -exponent : exponent;
    *p++ = static_cast<char>('0' + e / 100);
    *p++ = static_cast<char>('0' + e / 10 % 10);
    *p++ = static_cast<char>('0' + e % 10);
    rightJustify(field, kFieldWidth, text, static_cast<std::size_t>(p - text));
  }
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

int runComparison() {
  // Both sets live for the whole run, allocated once at full capacity.
  static DataSet reference;
  static DataSet compared;

  FreeFormatReader control(kControlChannel);
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
