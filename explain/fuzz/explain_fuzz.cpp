// Arbitrary bytes as both files of a pair, explained. What must hold for
// every input:
//   - velmora-explain stops exactly where a plain load of the file stops,
//     with its two lines, or finds the rows the plain load finds;
//   - its JSON report can be written and parses;
//   - nothing but a stop escapes the plain load, and nothing escapes the
//     explanation.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "datafile/datafile.h"
#include "explain/explain.h"
#include "freeformat/freeformat.h"
#include "freeformat/fuzz/fuzz_support.h"

namespace {

using namespace velmora;
using fuzz::require;

// The plain load: "rows N" and a line feed, or the stop's two lines.
std::string plainOutcome(const fuzz::InputFile& input) {
  std::string name = input.path();
  name.resize(kLineWidth, ' ');  // as it comes from the control file
  HeaderState header;
  NoLoadEvents sink;
  std::string outcome;
  try {
    outcome = "rows " + std::to_string(loadDataFile(name, DataFileRole::First, header, {OpenMode::ReadOnly}, sink)) + "\n";
  } catch (const fuzz::Stopped& stop) {
    outcome.assign(stop.report.text, stop.report.textLength);
  } catch (...) {
    fuzz::violated("only a stop may escape a load");
  }
  return outcome;
}

void explainFile(const fuzz::InputFile& input, const std::string& plain) {
  static explain::Workspace* const workspace = new explain::Workspace;
  explain::Request request;
  request.fromControlFile = false;
  request.referenceName = request.comparedName = input.path();
  request.top = 3;
  explain::Explanation facts;
  explainPair(request, *workspace, facts);

  if (plain.starts_with("Velmora: ")) {
    require(facts.stop && facts.stop->dataFile == 0 && facts.stop->text == plain,
            "the report stops where the plain load stops, with its two lines");
  } else {
    require(facts.files[0].loaded && plain == "rows " + std::to_string(facts.files[0].record.rows) + "\n",
            "the report finds the rows the plain load finds");
  }
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  require(out != nullptr && explain::writeJsonReport(out, facts), "the report can be written");
  std::fclose(out);
  const bool parses = nlohmann::json::accept(std::string_view(buffer, size));
  std::free(buffer);
  require(parses, "the JSON report parses");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::InputFile input("explain");
  static const bool ready = [] {
    setStopHandler(fuzz::throwStop);
    return true;
  }();
  (void)ready;
  input.write(data, size);
  explainFile(input, plainOutcome(input));
  return 0;
}
