// How a record splits into values and how each is written (describeRecord,
// describeValues, writtenItem): the values as the tokenizer gives them to the
// statements, each number's parts as the number scanner finds them.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "freeformat.h"
#include "grammar.h"
#include "number.h"
#include "tokens.h"

namespace velmora {
namespace {

// Calls each(value, first) for every value of the record up to a slash, over
// a copy of it that the tokenizer and the number scan can read (followed by
// a line feed and zeros); `first` is where the copy starts. Returns where
// the slash stands in the record, or std::string_view::npos.
template <class Each>
std::size_t forEachValueOf(std::string_view record, Each&& each) {
  std::size_t slash = std::string_view::npos;
  detail::onPaddedCopy(record, [&](const char* first, const char* last) {
    const char* at = detail::forEachValue(first, last, detail::TokenState{},
                                          [&](const detail::RecordValue& value) { each(value, first); });
    if (at != nullptr) slash = static_cast<std::size_t>(at - first);
    return true;
  });
  return slash;
}

std::uint32_t saturated(std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)); }

// The shape of the number [v.body, v.end), from its parts as the number
// scanner finds them, or false when the bytes are not one number.
bool numberShape(const char* first, const detail::RecordValue& value, WrittenValue& v) {
  const detail::fast::NumberParts n = detail::fast::scanParts(value.body);
  if (!n.whole || n.end != value.end) return false;
  v.sign = n.first != value.body;
  v.word = n.word != detail::fast::NumberWord::None;
  if (v.word) return true;
  v.point = n.point;
  v.integerDigits = saturated(static_cast<std::uint64_t>(n.integerEnd - n.first));
  v.fractionDigits = n.point ? saturated(static_cast<std::uint64_t>(n.mantissaEnd - n.integerEnd - 1)) : 0;
  v.significantDigits = saturated(static_cast<std::uint64_t>(n.significantDigits));
  if (n.exponentDigits != n.mantissaEnd) {
    v.exponent = detail::isExponentLetter(static_cast<unsigned char>(*n.mantissaEnd)) ? ExponentForm::Letter
                                                                                       : ExponentForm::SignAlone;
    v.exponentAt = static_cast<std::size_t>(n.mantissaEnd - first);
    v.exponentValue = static_cast<int>(std::clamp<std::int64_t>(n.exponent, -kWrittenExponentCap, kWrittenExponentCap));
  }
  return true;
}

WrittenValue writtenOf(const char* first, std::size_t size, const detail::RecordValue& value) {
  WrittenValue v;
  v.start = static_cast<std::size_t>(value.start - first);
  v.end = static_cast<std::size_t>(value.end - first);
  v.body = static_cast<std::size_t>(value.body - first);
  v.repeat = value.count;
  if (v.end < size && v.end > v.start) {  // a null value of a comma has no bytes
    const std::uint8_t after = detail::byteClass(static_cast<unsigned char>(*value.end));
    v.endedBy = (after & detail::kComma) != 0   ? WrittenEnd::Separator
                : (after & detail::kSlash) != 0 ? WrittenEnd::Slash
                : (after & detail::kBlank) != 0 ? WrittenEnd::Blank
                                                : WrittenEnd::RecordEnd;
  }
  if (value.zeroRepeat) return v;  // Other: a bad value for any item
  switch (value.kind) {
    case detail::TokenKind::Null: v.kind = WrittenKind::Null; break;
    case detail::TokenKind::Quoted: v.kind = WrittenKind::Quoted; break;
    default: {
      WrittenValue shaped = v;
      if (numberShape(first, value, shaped)) {
        shaped.kind = WrittenKind::Number;
        v = shaped;
      }
      break;
    }
  }
  return v;
}

}  // namespace

RecordShape describeRecord(std::string_view record) {
  RecordShape shape;
  const std::size_t slash = forEachValueOf(record, [&](const detail::RecordValue& value, const char*) {
    const std::uint32_t n = saturated(std::min<std::uint64_t>(value.count, UINT32_MAX - shape.values));
    shape.values += n;
    if (value.kind == detail::TokenKind::Plain && !value.zeroRepeat &&
        detail::isWholeNumber(value.body, value.end)) {
      shape.numbers += n;
    }
    if (value.kind != detail::TokenKind::Plain || value.body != value.start) shape.plain = false;
  });
  if (slash != std::string_view::npos) shape.plain = false;
  return shape;
}

WrittenRecord describeValues(std::string_view record, std::span<WrittenValue> out) {
  WrittenRecord written;
  written.slash = forEachValueOf(record, [&](const detail::RecordValue& value, const char* first) {
    if (written.values < out.size()) out[written.values] = writtenOf(first, record.size(), value);
    ++written.values;
  });
  return written;
}

bool writtenItem(std::string_view record, int item, WrittenValue& value) {
  if (item < 1) return false;
  auto left = static_cast<std::uint64_t>(item);  // values still to pass, this one's included
  bool found = false;
  forEachValueOf(record, [&](const detail::RecordValue& each, const char* first) {
    if (found) return;
    if (each.count >= left) {
      value = writtenOf(first, record.size(), each);
      found = true;
      return;
    }
    left -= each.count;
  });
  return found;
}

bool numberOfText(std::string_view text, double& value) { return detail::convertNumber(text, value, false); }

bool isBlankByte(unsigned char c) { return detail::isBlank(c); }

}  // namespace velmora
