// How a record splits into values, by the reader's rules, for the reader's
// record access (RecordAccess) and its tests. Private to the reader.
#pragma once

#include <string_view>

#include "freeformat.h"

namespace velmora {

// How one record (its bytes without the line feed) splits into values by the
// reader's rules, as a statement with items enough would read it from the
// record's start: `values` counts every value it holds up to a slash (a null
// value is one, a repeat form r*v or r* is r of them), `numbers` those that
// read as numbers, and `plain` says the record holds no null value, slash,
// repeat form or quote.
//   "1 2 3"        -> {3, 3, plain}      "1,,3"       -> {3, 2, not plain}
//   "Rate 0.25 x"  -> {3, 1, plain}      "3*7 x"      -> {4, 3, not plain}
//   "1 / 2 3"      -> {1, 1, not plain}  "'a b', 2"   -> {2, 1, not plain}
//   ", 5"          -> {2, 1, not plain}  ""  "  \t"   -> {0, 0, plain}
//   "1.5E 2"       -> {2, 1, plain}      "2*"         -> {2, 0, not plain}
RecordShape describeRecord(std::string_view record);

// Whether the whole text is one number value under the reader's rules (a
// repeat form is not: it is a count and a value).
//   "12" ".5" "1.0D+03" "1.5+3" "-Inf" "nan" -> true      "1.5E" "0.5C" "" "2*3" -> false
bool isNumberValue(std::string_view text);

}  // namespace velmora
