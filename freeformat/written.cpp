// How a record's values are written (describeValues, writtenItem): the walk
// of the value-splitting rules, each number's parts as the number rules'
// own scan finds them.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "freeformat.h"
#include "grammar.h"
#include "number.h"
#include "values.h"

namespace velmora {
namespace {

// The shape of the number [body, end) of `record`, from its parts as the
// number rules' scan finds them, or false when the bytes are not one number.
bool numberShape(std::string_view record, WrittenValue& v) {
  return detail::onPaddedCopy(record.substr(v.body, v.end - v.body), [&v](const char* first, const char* last) {
    const detail::fast::NumberParts n = detail::fast::scanParts(first);
    if (!n.whole || n.end != last) return false;
    auto count = [](std::ptrdiff_t digits) {
      return static_cast<std::uint32_t>(std::min<std::ptrdiff_t>(digits, UINT32_MAX));
    };
    v.sign = n.first != first;
    v.word = n.word != detail::fast::NumberWord::None;
    if (v.word) return true;
    v.point = n.point;
    const auto length = static_cast<std::size_t>(n.mantissaEnd - n.first);
    const char* point = n.point ? static_cast<const char*>(std::memchr(n.first, '.', length)) : n.mantissaEnd;
    v.integerDigits = count(point - n.first);
    v.fractionDigits = n.point ? count(n.mantissaEnd - point - 1) : 0;
    // From the first nonzero digit to the last digit written, zeros included.
    const char* nonzero = n.first;
    while (nonzero != n.mantissaEnd && (*nonzero == '0' || *nonzero == '.')) ++nonzero;
    v.significantDigits = count(n.mantissaEnd - nonzero - (n.point && nonzero < point ? 1 : 0));
    if (n.exponentDigits != n.mantissaEnd) {
      v.exponent = detail::isExponentLetter(static_cast<unsigned char>(*n.mantissaEnd)) ? ExponentForm::Letter
                                                                                         : ExponentForm::SignAlone;
      v.exponentAt = v.body + static_cast<std::size_t>(n.mantissaEnd - first);
      v.exponentValue = static_cast<int>(std::clamp<std::int64_t>(n.exponent, -kWrittenExponentCap, kWrittenExponentCap));
    }
    return true;
  });
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

bool numberOfText(std::string_view text, double& value) { return detail::convertNumber(text, value, false); }

bool isBlankByte(unsigned char c) { return detail::isBlank(c); }

}  // namespace velmora
