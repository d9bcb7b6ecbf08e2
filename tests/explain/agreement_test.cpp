// velmora-explain never disagrees with velmora. Every case of the process
// tables that runs velmora alone (with no arguments, its standard output a
// file, no resource limit) is run again through velmora-explain in a fresh
// directory laid out the same way: the same exit status, the very same
// standard error, every line velmora prints within a line of the report, and
// no file created, not even the ones velmora creates. Every bundled example
// is run through both programs, and its JSON report parsed by a real parser.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "runner.h"

namespace velmora::process {

void PrintTo(const Case& c, std::ostream* os) { *os << c.table << ": " << c.title; }

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kPrograms{
    {"velmora", VELMORA_BINARY},
    {"velmora-explain", VELMORA_EXPLAIN_BINARY},
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<Case> explainedTableCases() {
  std::vector<Case> cases;
  for (Case c : loadTables(PROCESS_TABLES)) {
    if (!c.stdoutMode.empty() || c.limitAddressSpaceKiB >= 0 || c.limitFileSizeBytes >= 0) continue;
    const Run velmora = c.runs.empty() ? Run{} : c.runs.front();
    if (c.runs.size() > 1 || velmora.program != "velmora" || !velmora.arguments.empty()) continue;
    Run explain;
    explain.program = "velmora-explain";
    explain.exitStatus = velmora.exitStatus;
    explain.err = velmora.err;
    explain.errHas = velmora.errHas;
    explain.outHas = linesOf(velmora.out);
    explain.outHas.insert(explain.outHas.end(), velmora.outHas.begin(), velmora.outHas.end());
    explain.outHas.emplace_back("reference file");  // every report starts with it
    c.runs = {explain};
    c.created.clear();  // what velmora creates, the report only predicts
    c.maxRssMiB = 0;    // its columns are bounded by bench/, not here
    c.table = "explain_" + c.table;
    cases.push_back(c);
  }
  return cases;
}

class Agreement : public ::testing::TestWithParam<Case> {};

TEST_P(Agreement, SameStopSameResultNothingCreated) { runCase(GetParam(), kPrograms); }

INSTANTIATE_TEST_SUITE_P(Explain, Agreement, ::testing::ValuesIn(explainedTableCases()),
                         [](const auto& row) { return testName(row.param); });

// The bytes of a file as a table writes them: a backslash and a dollar sign escaped.
std::string encoded(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::string out;
  for (char c : bytes) {
    if (c == '\\' || c == '$') out += '\\';
    out += c;
  }
  return out;
}

std::vector<fs::path> examples() {
  std::vector<fs::path> dirs;
  for (const auto& entry : fs::directory_iterator(EXAMPLES_DIR)) {
    // A folder of pairs (examples/suite, a tree of cases) is not one pair.
    if (entry.is_directory() && fs::exists(entry.path() / "CompareThese.inp")) dirs.push_back(entry.path());
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

TEST(ExplainExamples, ResultLineAsVelmoraPrintsIt) {
  for (const fs::path& dir : examples()) {
    Case c;
    c.table = "example";
    c.title = dir.filename();
    for (const auto& entry : fs::directory_iterator(dir)) {
      c.setup.push_back({Step::File, entry.path().filename(), encoded(entry.path())});
    }
    process::Run velmora;
    velmora.outHas = {"."};  // a finite result line
    process::Run explain;
    explain.program = "velmora-explain";
    explain.outHas = {"result line, as velmora prints it:"};
    explain.outputOf = 1;
    c.runs = {velmora, explain};
    SCOPED_TRACE(dir.string());
    runCase(c, kPrograms);
  }
}

// Runs a program in `dir` and returns its standard output.
std::string outputOf(const fs::path& dir, const std::string& command) {
  const std::string line = "cd '" + dir.string() + "' && " + command;
  std::FILE* pipe = ::popen(line.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return out;
}

TEST(ExplainExamples, JsonReportParses) {
  for (const fs::path& example : examples()) {
    SCOPED_TRACE(example.string());
    const fs::path dir = fs::temp_directory_path() / ("velmora-explain-json-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::copy(example, dir);
    const std::string result = outputOf(dir, std::string(VELMORA_BINARY));
    const auto report = nlohmann::json::parse(outputOf(dir, std::string(VELMORA_EXPLAIN_BINARY) + " --json --top 2"));
    EXPECT_EQ(report["result_line"].get<std::string>() + "\n", result);
    EXPECT_EQ(report["files"].size(), 2U);
    EXPECT_EQ(report["files"][0]["role"], "reference");
    EXPECT_EQ(report["files"][1]["role"], "compared");
    EXPECT_LE(report["top"].size(), 2U);
    EXPECT_EQ(report["rows_compared"], report["files"][1]["rows"]);
    EXPECT_TRUE(report["error"].is_null());
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace velmora::process
