// The case lines, the summary, the JSON document and the JUnit XML.
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <ctime>
#include <string>

#include "explain/text.h"
#include "suite/suite.h"

namespace velmora::suite {

namespace {

bool put(std::FILE* out, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

std::string limitShown(const Limit& limit) {
  return limit.source == LimitSource::None ? std::string("-") : shown(limit.text);
}

std::string firstFinding(const CaseResult& result) { return result.comparison.firstFinding; }

// A JSON string of bytes: valid UTF-8 kept, every other byte as \u00XX.
std::string jsonString(std::string_view bytes) {
  return "\"" + explain::escaped(bytes, explain::Escape::Json) + "\"";
}

std::string jsonNumber(double value) {
  if (std::isnan(value)) return "\"NaN\"";
  if (std::isinf(value)) return value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  char buffer[64];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return failure == std::errc() ? std::string(buffer, end) : std::string("null");
}

// Text for XML: shown as UTF-8 (no control byte can appear), then the five
// characters XML reserves.
std::string xml(std::string_view bytes) { return explain::escaped(bytes, explain::Escape::Xml); }
std::string xmlLines(const std::string& text) { return markupLinesOfShown(text); }

std::string seconds(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

std::string findingsText(const CaseResult& result) {
  std::string text;
  if (result.comparison.findings.empty()) return "findings: none\n";
  text = "findings:\n";
  for (const std::string& finding : result.comparison.findings) text += "  " + finding + "\n";
  return text;
}

}  // namespace

std::string markupOfShown(std::string_view text) {
  // Split at the backslashes the text holds: each piece is escaped alone and
  // the backslashes stay as they are, so no escape is escaped again.
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('\\', start);
    explain::appendEscaped(out, text.substr(start, slash == std::string_view::npos ? slash : slash - start),
                           explain::Escape::Xml);
    if (slash == std::string_view::npos) return out;
    out += '\\';
    start = slash + 1;
  }
}

std::string markupLinesOfShown(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    out += markupOfShown(text.substr(start, end - start));
    out += '\n';
    start = end + 1;
  }
  return out;
}

bool writeCaseLine(std::FILE* out, const CaseResult& result) {
  const Comparison& c = result.comparison;
  std::string line = shown(result.path) + "\t" + (c.compared ? c.resultLine : std::string("-")) + "\t" +
                     limitShown(result.limit) + "\t" + verdictName(result.verdict) + "\t" +
                     firstFinding(result) + "\n";
  if (result.verdict == Verdict::Error) {
    std::size_t start = 0;
    while (start < c.stopText.size()) {
      std::size_t end = c.stopText.find('\n', start);
      if (end == std::string::npos) end = c.stopText.size();
      line += '\t';
      line.append(c.stopText, start, end - start);
      line += '\n';
      start = end + 1;
    }
  }
  return put(out, line);
}

std::string summaryText(const Summary& s) {
  std::string text = std::to_string(s.cases) + (s.cases == 1 ? " case" : " cases");
  if (s.shards > 0) text += " in shard " + std::to_string(s.shard) + " of " + std::to_string(s.shards);
  return text + ": " + std::to_string(s.passed) + " within their limit, " + std::to_string(s.failed) +
         " above it, " + std::to_string(s.errors) + " cannot be read, " + std::to_string(s.reported) +
         " without a limit";
}

bool writeSummaryLine(std::FILE* out, const Summary& s) { return put(out, summaryText(s) + "\n"); }

bool writeJsonStart(std::FILE* out) { return put(out, "{\"cases\": ["); }

bool writeJsonCase(std::FILE* out, const CaseResult& result, bool first) {
  const Comparison& c = result.comparison;
  std::string text = first ? "\n" : ",\n";
  text += "{\"path\": " + jsonString(result.path);
  text += ", \"result_line\": " + (c.compared ? jsonString(c.resultLine) : std::string("null"));
  text += ", \"total\": " + (c.compared ? jsonNumber(c.total) : std::string("null"));
  text += ", \"limit\": " + (result.limit.source == LimitSource::None ? std::string("null") : jsonNumber(result.limit.value));
  text += ", \"limit_from\": ";
  text += result.limit.source == LimitSource::File     ? "\"file\""
          : result.limit.source == LimitSource::Option ? "\"option\""
                                                       : "null";
  text += ", \"verdict\": " + jsonString(verdictName(result.verdict));
  text += ", \"first_finding\": " + (c.firstFinding.empty() ? std::string("null") : jsonString(c.firstFinding));
  text += ", \"findings\": [";
  for (std::size_t i = 0; i < c.findings.size(); ++i) text += (i == 0 ? "" : ", ") + jsonString(c.findings[i]);
  text += "]";
  text += ", \"error\": " + (c.stopText.empty() ? std::string("null") : jsonString(c.stopText));
  text += ", \"seconds\": " + seconds(result.seconds);
  text += ", \"explain\": " + (c.explainJson.empty() ? std::string("null") : c.explainJson);
  text += "}";
  return put(out, text);
}

bool writeJsonEnd(std::FILE* out, const Summary& s) {
  std::string text = "\n], \"summary\": {\"cases\": " + std::to_string(s.cases) +
                     ", \"passed\": " + std::to_string(s.passed) + ", \"failed\": " + std::to_string(s.failed) +
                     ", \"errors\": " + std::to_string(s.errors) + ", \"without_limit\": " +
                     std::to_string(s.reported) + ", \"exit_status\": " + std::to_string(s.exitStatus()) + ", \"shard\": " +
                     (s.shards > 0 ? "\"" + std::to_string(s.shard) + "/" + std::to_string(s.shards) + "\"" : std::string("null")) +
                     "}}\n";
  return put(out, text);
}

bool writeJunit(std::FILE* out, const std::vector<CaseResult>& results, const Summary& s, double total) {
  char stamp[32] = "1970-01-01T00:00:00";
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char host[256] = "localhost";
  if (::gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
  host[sizeof host - 1] = '\0';
  const std::string counts = " tests=\"" + std::to_string(s.cases) + "\" failures=\"" + std::to_string(s.failed) +
                             "\" errors=\"" + std::to_string(s.errors) + "\"";
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<testsuites name=\"velmora-suite\"" + counts + " time=\"" + seconds(total) + "\">\n";
  text += "  <testsuite name=\"velmora-suite\"" + counts + " skipped=\"0\" time=\"" + seconds(total) +
          "\" timestamp=\"" + stamp + "\" hostname=\"" + xml(host) + "\">\n";
  if (!put(out, text)) return false;
  for (const CaseResult& result : results) {
    const Comparison& c = result.comparison;
    text = "    <testcase classname=\"" + xml(result.junitClass) + "\" name=\"" + xml(result.junitName) + "\" time=\"" +
           seconds(result.seconds) + "\">\n";
    const std::string totalText = c.compared ? c.resultLine : std::string();
    if (result.verdict == Verdict::Fail) {
      text += "      <failure type=\"above-limit\" message=\"total " + xml(totalText) + " above the limit " +
              xml(result.limit.text) + "\">" + xmlLines("total: " + totalText + "\nlimit: " + result.limit.text +
                                                        "\n" + findingsText(result)) +
              "</failure>\n";
    } else if (result.verdict == Verdict::Error) {
      text += "      <error type=\"cannot-be-read\" message=\"" + markupOfShown(c.stopDescription) + "\">" +
              xmlLines(c.stopText + findingsText(result)) + "</error>\n";
    }
    text += "      <system-out>" +
            xmlLines("result line: " + (c.compared ? c.resultLine : std::string("none")) + "\nlimit: " +
                     (result.limit.source == LimitSource::None ? std::string("none") : result.limit.text) + "\n" +
                     findingsText(result)) +
            "</system-out>\n    </testcase>\n";
    if (!put(out, text)) return false;
  }
  return put(out, "  </testsuite>\n</testsuites>\n");
}

}  // namespace velmora::suite
