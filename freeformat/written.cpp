// How a record's values are written (describeValues, writtenItem): the walk
// of the value-splitting rules, each number's bytes taken through the number
// rules' own scan and classed by the byte table.
#include <algorithm>

#include "freeformat.h"
#include "grammar.h"
#include "number.h"
#include "values.h"

namespace velmora {
namespace {

// The shape of the number [body, end) of `record`, or false when the bytes
// are not one number.
bool numberShape(std::string_view record, WrittenValue& v) {
  detail::NumberParser parser;
  bool inExponent = false, exponentNegative = false, significant = false;
  long long exponent = 0;
  std::uint32_t trailing = 0;  // zeros met after the last significant digit, before it is known they are not last
  for (std::size_t k = v.body; k < v.end; ++k) {
    const auto c = static_cast<unsigned char>(record[k]);
    if (!parser.feed(c)) return false;
    const std::uint8_t found = detail::byteClass(c);
    if (detail::isDigitByte(c)) {
      if (inExponent) {
        exponent = std::min<long long>(exponent * 10 + (c - '0'), kWrittenExponentCap);
        continue;
      }
      (v.point ? v.fractionDigits : v.integerDigits) += 1;
      if (c != '0') {
        v.significantDigits += trailing + 1;
        trailing = 0;
        significant = true;
      } else if (significant) {
        ++trailing;
      }
    } else if (c == '.') {
      v.point = true;
    } else if ((found & detail::kSign) != 0) {
      if (k == v.body) {
        v.sign = true;
      } else {
        if (!inExponent) {
          v.exponent = ExponentForm::SignAlone;
          v.exponentAt = k;
          inExponent = true;
        }
        exponentNegative = c == '-';
      }
    } else if ((found & detail::kExponentLetter) != 0 && !v.word && !inExponent) {
      v.exponent = ExponentForm::Letter;
      v.exponentAt = k;
      inExponent = true;
    } else {
      v.word = true;  // Inf, NaN
    }
  }
  double ignored;
  if (!parser.finish(ignored)) return false;
  v.significantDigits += trailing;  // written zeros after the last nonzero digit count
  v.exponentValue = static_cast<int>(exponentNegative ? -exponent : exponent);
  return true;
}

WrittenValue writtenOf(std::string_view record, const detail::ValueSpan& span) {
  WrittenValue v;
  v.start = span.start;
  v.end = span.end;
  v.body = span.body;
  v.repeat = span.count;
  if (span.end < record.size() && span.end > span.start) {  // a null value of a comma has no bytes
    const std::uint8_t after = detail::byteClass(static_cast<unsigned char>(record[span.end]));
    v.endedBy = (after & detail::kComma) != 0   ? WrittenEnd::Separator
                : (after & detail::kSlash) != 0 ? WrittenEnd::Slash
                : (after & detail::kBlank) != 0 ? WrittenEnd::Blank
                                                : WrittenEnd::RecordEnd;
  }
  switch (span.form) {
    case detail::ValueSpan::Form::Null: v.kind = WrittenKind::Null; break;
    case detail::ValueSpan::Form::Quoted: v.kind = WrittenKind::Quoted; break;
    case detail::ValueSpan::Form::ZeroRepeat: v.kind = WrittenKind::Other; break;
    case detail::ValueSpan::Form::Plain: {
      WrittenValue shaped = v;
      if (numberShape(record, shaped)) {
        shaped.kind = WrittenKind::Number;
        v = shaped;
      }
      break;
    }
  }
  return v;
}

}  // namespace

WrittenRecord describeValues(std::string_view record, std::span<WrittenValue> out) {
  WrittenRecord written;
  written.slash = detail::walkValues(record, false, [&](const detail::ValueSpan& span) {
    if (written.values < out.size()) out[written.values] = writtenOf(record, span);
    ++written.values;
  });
  return written;
}

bool writtenItem(std::string_view record, int item, WrittenValue& value) {
  if (item < 1) return false;
  auto left = static_cast<std::uint64_t>(item);  // values still to pass, this one's included
  bool found = false;
  detail::walkValues(record, false, [&](const detail::ValueSpan& span) {
    if (found) return;
    if (span.count >= left) {
      value = writtenOf(record, span);
      found = true;
      return;
    }
    left -= span.count;
  });
  return found;
}

bool numberOfText(std::string_view text, double& value) {
  detail::NumberParser parser;
  for (const char c : text) {
    if (!parser.feed(static_cast<unsigned char>(c))) return false;
  }
  return parser.finish(value);
}

}  // namespace velmora
