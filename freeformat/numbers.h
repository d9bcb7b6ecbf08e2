// Numbers by the reader's rules, for a caller that holds a value's text.
// A guard rather than #pragma once: the build also copies the public headers
// into a directory of their own, and a file that reaches both copies must
// read only one.
#ifndef VELMORA_FREEFORMAT_NUMBERS_H
#define VELMORA_FREEFORMAT_NUMBERS_H

#include <string_view>

namespace velmora {

// The number a whole text is, by the reader's rules; false when it is not
// one.   "1.5+3" -> 1500     "0.1D-2" -> 0.001     "1.5E" -> false
bool numberOfText(std::string_view text, double& value);

}  // namespace velmora

#endif  // VELMORA_FREEFORMAT_NUMBERS_H
