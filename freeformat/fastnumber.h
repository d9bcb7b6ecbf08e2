// The common number forms, parsed and converted in one pass: an optional sign,
// at most 19 digits with an optional point, an optional exponent written with
// E, e, D or d (or a sign alone), and a decimal scale within 10^+-22. These are
// converted exactly with integer arithmetic, so the result is the correctly
// rounded double, the same as the general conversion gives. Private to the reader.
#pragma once

namespace velmora::detail {

// `p` points at the value's first byte; the bytes up to and including the
// first one that cannot continue the value must be readable, and eight more
// after any run of digits (the reader's buffer keeps a sentinel and padding).
// Returns the byte after the value when the value has a common form; nullptr
// when it does not (the general rules decide then). The value's end is not
// checked against the separators: the caller does that.
const char* parseCommonNumber(const char* p, double& out);

}  // namespace velmora::detail
