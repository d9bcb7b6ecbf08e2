// Whether a text is one number value, by the reader's rules, for the
// reader's description of records and its tests. Private to the reader.
#pragma once

#include <string_view>

#include "freeformat.h"

namespace velmora {

// Whether the whole text is one number value under the reader's rules (a
// repeat form is not: it is a count and a value).
//   "12" ".5" "1.0D+03" "1.5+3" "-Inf" "nan" -> true      "1.5E" "0.5C" "" "2*3" -> false
bool isNumberValue(std::string_view text);

}  // namespace velmora
