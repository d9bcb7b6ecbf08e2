// The comparison of one case through velmora-explain's library: the only file
// of the suite that knows its API, so that a change there is met here alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "comparison/comparison.h"
#include "explain/explain.h"
#include "companion/companion.h"
#include "freeformat/freeformat.h"
#include "explain/plot.h"
#include "suite/suite.h"

namespace velmora::suite {

namespace {

using namespace velmora::explain;
using namespace velmora::companion;

// Everything a FILE* wrote, as a string.
template <class Write>
std::string captured(Write write) {
  char* bytes = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&bytes, &size);
  if (out == nullptr) throw std::bad_alloc();
  const bool written = write(out);
  const bool closed = std::fclose(out) == 0;
  std::string text = written && closed && bytes != nullptr ? std::string(bytes, size) : std::string();
  std::free(bytes);
  if (!written || !closed) throw std::bad_alloc();
  return text;
}

std::string lineNumber(long long line) { return line > 0 ? std::to_string(line) : std::string(); }

// A stop while the control file's names are read ends the reading.
struct NamesStopped {};
void namesStop(const StopReport&) { throw NamesStopped(); }

std::string valuesText(const double (&values)[3]) {
  return shortestText(values[0]) + ", " + shortestText(values[1]) + ", " + shortestText(values[2]);
}

// A data file's facts as velmora-explain's text report gives them.
CaseFile fileOf(const FileFacts& file, int role) {
  CaseFile shownFile;
  shownFile.role = role == 0 ? "reference" : "compared";
  shownFile.name = file.name;
  const LoadRecord& r = file.record;
  if (!file.loadStarted || !r.titleRead) return shownFile;
  shownFile.layout = r.layout == HeaderLayout::Layout1 ? "1" : r.layout == HeaderLayout::Layout2 ? "2" : "plain";
  shownFile.title = std::string(r.title, r.titleLength);
  // Built by appending: a literal added to a temporary string here sets off
  // a false overlap warning in g++ 12's optimised builds.
  std::string& code = shownFile.formatCode;
  if (r.code.fromValue) {
    code.append("'").push_back(r.code.code);
    code.append("' (character ").append(std::to_string(r.code.position));
    code.append(" of the title, line ").append(std::to_string(r.titleLine)).append(")");
  } else {
    code.append("none: the title is shorter than ").append(std::to_string(r.code.position)).append(" characters");
  }
  if (r.layout != HeaderLayout::Plain) {
    const double values[4] = {r.fileUnits.first, r.fileUnits.second, r.fileUnits.third, r.fileUnits.rate};
    const char* const names[4] = {"first", "second", "third", "rate"};
    for (int i = 0; i < 4; ++i) {
      shownFile.header += std::string(i > 0 ? ", " : "") + names[i] + " " +
                          (r.headerNumberRead[i] ? shortestText(values[i]) : std::string("-"));
    }
  }
  if (!r.headerRead) return shownFile;
  shownFile.rows = r.rows;
  if (r.rows > 0) {
    shownFile.table = "lines " + std::to_string(r.firstLine(0)) + " to " + std::to_string(r.firstLine(r.rows - 1));
  }
  return shownFile;
}

Workspace& workspace() {
  static Workspace columns = [] {
    const MemoryStopsThrown memory;
    return Workspace();
  }();
  return columns;
}

}  // namespace

void compareHere(const RunOptions& options, const Limit& limit, Comparison& out) {
  Request request;
  request.top = options.wantDetail ? options.top : 0;
  request.keepSquares = options.wantDetail;
  if (limit.source != LimitSource::None) request.failAbove = limit.value;
  Explanation facts;
  explainPair(request, workspace(), facts);

  out.compared = facts.compared;
  out.total = facts.total;
  if (facts.compared) out.resultLine = facts.resultLine;
  if (facts.stop) {
    out.stopText = facts.stop->text;
    out.stopDescription = facts.stop->description;
  }
  out.rowsCompared = facts.rowsCompared;
  for (const Finding& finding : facts.findings) {
    // The verdict on the limit is the suite's own, which knows where the
    // limit came from.
    if (finding.kind == FindingKind::FailAbove) continue;
    CaseFinding shownFinding{findingKindName(finding.kind), finding.text, {}};
    for (const ExceptionRow& row : finding.exceptionRows) {
      shownFinding.details.push_back("row " + std::to_string(row.row) + " (line " +
                                     std::to_string(row.comparedLine) + "): read " +
                                     shortestText(row.comparedValues[1]) + ", expected " +
                                     shortestText(row.expected) + " from reference row " +
                                     std::to_string(row.referenceRow) + " (line " +
                                     std::to_string(row.referenceLine) + ")");
    }
    out.findings.push_back(std::move(shownFinding));
  }
  out.referenceName = facts.files[0].name;
  out.comparedName = facts.files[1].name;
  if (options.wantJson) {
    out.explainJson = captured([&](std::FILE* file) { return writeJsonReport(file, facts); });
    while (!out.explainJson.empty() && out.explainJson.back() == '\n') out.explainJson.pop_back();
  }
  if (!options.wantDetail) return;

  for (const RowFacts& row : facts.top) {
    TopRow shownRow;
    shownRow.row = std::to_string(row.row);
    shownRow.referenceLine = row.hasReference ? lineNumber(row.referenceLine) : std::string();
    shownRow.comparedLine = lineNumber(row.comparedLine);
    shownRow.referenceValue = row.hasReference ? shortestText(row.referenceValue) : std::string();
    shownRow.comparedValue = shortestText(row.comparedValue);
    shownRow.scaledDifference = shortestText(row.scaledDifference);
    shownRow.square = shortestText(row.square);
    shownRow.share = shareText(row.share);
    if (row.hasReference) shownRow.referenceText = shownRecord(row.referenceRecord);
    shownRow.comparedText = shownRecord(row.comparedRecord);
    if (row.hasReference) shownRow.referenceValues = valuesText(row.referenceValues);
    shownRow.comparedValues = valuesText(row.comparedValues);
    out.top.push_back(std::move(shownRow));
  }
  for (int f = 0; f < 2; ++f) {
    if (facts.files[f].named) out.files.push_back(fileOf(facts.files[f], f));
  }
  if (facts.compared) {
    std::vector<std::string> caption;
    const PlotData data = plotDataOf(facts, caption);
    out.picture = captured([&](std::FILE* file) { return writePlot(file, data); });
  }
}

std::vector<std::string> controlNamesHere() {
  ControlNames read;
  const companion::StopHandlerScope handler(namesStop);
  try {
    readControlNames(read);
  } catch (const NamesStopped&) {
  }
  return {read.names, read.names + read.count};
}

}  // namespace velmora::suite
