// The making of a list's rows at hand where they are rows of one line.
#include <cstddef>
#include <cstdint>

#include "comparison/comparison.h"
#include "explain/facts.h"

namespace velmora::explain {

// Each row's facts with no test a row, the columns held in registers rather
// than read again through the list. In a file of its own: beside the run's
// load in explain.cpp, this loop changed what the compiler inlined there,
// and every report paid for it.
bool TopRows::gatheredOfOneLine(std::size_t k) const {
  const Columns& reference = files_[0];
  const Columns& compared = files_[1];
  if (compared.rows > reference.rows || reference.rowsOfOneLine < compared.rows ||
      compared.rowsOfOneLine < compared.rows) {
    return false;
  }
  const double* const r0 = reference.values[0];
  const double* const r1 = reference.values[1];
  const double* const r2 = reference.values[2];
  const double* const c0 = compared.values[0];
  const double* const c1 = compared.values[1];
  const double* const c2 = compared.values[2];
  const auto referenceLine = static_cast<std::uint64_t>(reference.firstRowLine);
  const auto comparedLine = static_cast<std::uint64_t>(compared.firstRowLine);
  const std::uint32_t* const rows = rows_.data() + k;
  Listed* const to = chunk_.data();
  SquaredDifferences sum;
  sum.reference = reference_;
  for (const std::uint32_t j : order_) {
    const std::uint32_t index = rows[j];
    const double value = c1[index];
    Listed& g = to[j];
    g.places[0] = (referenceLine + index) << LoadRecord::kSpanBits;
    g.places[1] = (comparedLine + index) << LoadRecord::kSpanBits;
    g.values[0][0] = r0[index];
    g.values[0][1] = r1[index];
    g.values[0][2] = r2[index];
    g.values[1][0] = c0[index];
    g.values[1][1] = value;
    g.values[1][2] = c2[index];
    // The run's own sum, the square as it entered the total.
    const double difference = sum.scaledDifference(std::size_t{index} + 1, value);
    g.scaledDifference = difference;
    g.square = difference * difference;
    g.index = index;
    g.hasReference = true;
  }
  return true;
}

}  // namespace velmora::explain
