// velmora-explain's report of an explanation: as text, as one JSON object,
// and the picture's data; how a record and a share are shown.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "explain/facts.h"
#include "explain/plot.h"

namespace velmora::explain {

// The picture of an explanation: its squares (kept when the request asked),
// rows, first difference, and as caption the first kCaptionFindings findings
// (where the names came from left out: that is for the report). `caption`
// holds the caption's texts and must outlive the result.
PlotData plotDataOf(const Explanation& facts, std::vector<std::string>& caption);

// The report as text (`top` rows listed) or as one JSON object; false when a
// write failed.
bool writeTextReport(std::FILE* out, const Explanation& facts);
bool writeJsonReport(std::FILE* out, const Explanation& facts);

}  // namespace velmora::explain
