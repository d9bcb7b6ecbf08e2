// The common number forms, parsed and converted in one pass: an optional sign,
// at most 19 digits with an optional point, an optional exponent of at most
// four digits written with E, e, D or d (or a sign alone). The conversion is
// exact: Clinger's case (at most 2^53 and a scale within 10^+-22, one exact
// multiplication or division), otherwise the Eisel-Lemire method with 128-bit
// powers of five; a value it cannot decide (a possible exact halfway point,
// a subnormal result) is declined. Private to the number conversion.
#pragma once

namespace velmora::detail {

// `p` points at the value's first byte. The byte that stops the value must
// be readable and seven more after it (the first is never part of a value:
// the reader keeps a line-feed sentinel and padding after its valid bytes).
// Returns the byte after the value when the value has a common form and was
// decided, with its nearest double in `out`; nullptr otherwise (the general
// rules decide then), `out` unchanged. The value's end is not checked against
// the separators: the caller does that.
const char* parseCommonNumber(const char* p, double& out);

}  // namespace velmora::detail
