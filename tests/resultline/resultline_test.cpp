// The result line for a total: a blank, a 25-character field, a line feed.
// Fixed form for zero and for magnitudes in [0.1, 1e17), right-justified in 20
// characters and then five blanks; exponent form otherwise, right-justified in
// 25, with a three-digit exponent. Always 17 significant digits, correctly
// rounded from the total's exact binary value, an exact half to even.
// Each expected line was worked out by hand from the total's exact decimal
// expansion (shown where the rounding is the point).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "comparison/comparison.h"

namespace {

struct Row {
  double total;
  const char* line;  // the 26 characters before the line feed
};

const Row kRows[] = {
    {0.0, "   0.0000000000000000     "},
    {std::numeric_limits<double>::quiet_NaN(), "                       NaN"},
    {std::numeric_limits<double>::infinity(), "                  Infinity"},
    // The ends of the range of doubles.
    {std::numeric_limits<double>::max(), "   1.7976931348623157E+308"},  // 1.79769313486231570814...E+308
    {1e308, "   1.0000000000000000E+308"},
    {1e23, "   9.9999999999999992E+022"},  // 99999999999999991611392
    {1e20, "   1.0000000000000000E+020"},
    {0x1p-1022, "   2.2250738585072014E-308"},               // the smallest normal
    {0x0.fffffffffffffp-1022, "   2.2250738585072009E-308"},  // the largest subnormal, ...0088902...
    {0x1p-1074, "   4.9406564584124654E-324"},               // the smallest subnormal, ...46544176...
    // The edges of the fixed form.
    {0.1, "  0.10000000000000001     "},                      // 0.1000000000000000055511...
    {std::nextafter(0.1, 0.0), "   9.9999999999999992E-002"},  // 0.09999999999999999167...
    {std::nextafter(0.1, 1.0), "  0.10000000000000002     "},  // 0.10000000000000001942...
    {1e17, "   1.0000000000000000E+017"},
    {99999999999999984.0, "   99999999999999984.     "},  // the largest double below 1e17
    {1e16, "   10000000000000000.     "},
    {12345654321000000.0, "   12345654321000000.     "},
    {std::nextafter(1.0, 0.0), "  0.99999999999999989     "},  // 0.99999999999999988897...
    {0.5, "  0.50000000000000000     "},
    {0.26, "  0.26000000000000001     "},  // 0.26000000000000000888...
    {2.5, "   2.5000000000000000     "},
    {123.456, "   123.45600000000000     "},  // 123.45600000000000306...
    {3e-5, "   3.0000000000000001E-005"},
    {1e-5, "   1.0000000000000001E-005"},  // 0.0000100000000000000008180305...
    // Exact halves: the 18th significant digit is the last and is a 5.
    {1 + 0x1p-17, "   1.0000076293945312     "},           // 1.00000762939453125: to even, down
    {1 + 0x3p-17, "   1.0000228881835938     "},           // 1.00002288818359375: to even, up
    {100000000000000.125, "   100000000000000.12     "},   // down
    {100000000000000.375, "   100000000000000.38     "},   // up
    {0x147Bp-19, "   1.0000228881835938E-002"},            // 0.0100002288818359375: up
    {0x147Dp-19, "   1.0004043579101562E-002"},            // 0.0100040435791015625: down
};

TEST(ResultLine, SeventeenDigitsInTheRightForm) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.line);
    char line[velmora::kResultLineLength + 1];
    velmora::formatResultLine(row.total, line);
    EXPECT_EQ(std::string(line, velmora::kResultLineLength), std::string(row.line) + "\n");
    EXPECT_EQ(line[velmora::kResultLineLength], '\0');
  }
}

}  // namespace
