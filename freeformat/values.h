// How a record splits into values by the reader's rules, one value at a time:
// the walk that counting a record's values (splitRecord) and describing how
// each is written (describeValues) share. Private to the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "grammar.h"

namespace velmora::detail {

// One value of a record: its bytes [start, end) (a repeat count included),
// where the value after a repeat count starts (`body`, start without one),
// and how many values it gives.
struct ValueSpan {
  enum class Form : std::uint8_t {
    Null,        // a comma or semicolon where a value was due ("1,,3"), or r* (r null values)
    Quoted,      // a quoted value, or r of them
    Plain,       // unquoted bytes, or r of them (body to end)
    ZeroRepeat,  // 0*v: a bad value, but one all the same
  };
  std::size_t start, end, body;
  std::uint64_t count;
  Form form;
};

// Calls each(span) for every value of the record up to a slash; returns
// where the slash stands, or std::string_view::npos. With `afterValue` the
// bytes follow a statement's last value on its record, so a first comma or
// semicolon is that value's separator, not a null value.
template <class Each>
std::size_t walkValues(std::string_view record, bool afterValue, Each&& each) {
  const std::size_t size = record.size();
  std::size_t i = 0;
  // As a statement's search for its next value: a comma opening the record,
  // or right after another, is a null value.
  bool atStart = !afterValue;
  bool afterComma = false;
  // A quoted value from its opening delimiter; returns the index after it
  // (the rest of the record when it does not close on it).
  auto skipQuoted = [&](std::size_t at) {
    const char delimiter = record[at];
    for (std::size_t j = at + 1; j < size; ++j) {
      if (record[j] != delimiter) continue;
      if (j + 1 < size && record[j + 1] == delimiter) {
        ++j;
        continue;
      }
      return j + 1;
    }
    return size;
  };
  auto endOfValue = [&](std::size_t at) {
    while (at < size && !endsValue(static_cast<unsigned char>(record[at]))) ++at;
    return at;
  };
  while (i < size) {
    const char c = record[i];
    const std::uint8_t found = byteClass(static_cast<unsigned char>(c));
    if ((found & (kBlank | kRecordEnd)) != 0) {  // a record end, if any, acts as a blank
      ++i;
      continue;
    }
    if ((found & kComma) != 0) {
      if (atStart || afterComma) each(ValueSpan{i, i, i, 1, ValueSpan::Form::Null});
      ++i;
      atStart = false;
      afterComma = true;
      continue;
    }
    if ((found & kSlash) != 0) return i;
    atStart = false;
    afterComma = false;
    if (isQuote(static_cast<unsigned char>(c))) {
      const std::size_t end = endOfValue(skipQuoted(i));  // anything stuck to the closing delimiter is part of it
      each(ValueSpan{i, end, i, 1, ValueSpan::Form::Quoted});
      i = end;
      continue;
    }
    const std::size_t end = endOfValue(i);
    const std::string_view value = record.substr(i, end - i);
    const std::size_t star = value.find('*');
    const bool repeat = star != std::string_view::npos && star > 0 && value.find_first_not_of("0123456789") == star;
    if (!repeat) {
      each(ValueSpan{i, end, i, 1, ValueSpan::Form::Plain});
      i = end;
      continue;
    }
    std::uint64_t count = 0;
    for (char digit : value.substr(0, star)) {
      count = repeatCountStep(count, static_cast<unsigned char>(digit));
    }
    const std::size_t after = i + star + 1;
    if (count == 0) {
      each(ValueSpan{i, end, after, 1, ValueSpan::Form::ZeroRepeat});
      i = end;
    } else if (after < size && isQuote(static_cast<unsigned char>(record[after]))) {
      const std::size_t quotedEnd = endOfValue(skipQuoted(after));
      each(ValueSpan{i, quotedEnd, after, count, ValueSpan::Form::Quoted});
      i = quotedEnd;
    } else {
      // "r*" followed by a separator gives r null values.
      each(ValueSpan{i, end, after, count, after < end ? ValueSpan::Form::Plain : ValueSpan::Form::Null});
      i = end;
    }
  }
  return std::string_view::npos;
}

}  // namespace velmora::detail
