// The case lines, the summary, the JSON document and the JUnit XML.
#include <unistd.h>

#include <ctime>
#include <string>

#include "companion/companion.h"
#include "suite/suite.h"

namespace velmora::suite {

namespace {

bool put(std::FILE* out, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

std::string limitShown(const Limit& limit) {
  return limit.source == LimitSource::None ? std::string("-") : shown(limit.text);
}

std::string firstFinding(const CaseResult& result) {
  const CaseFinding* lead = leadFinding(result.comparison);
  return lead == nullptr ? std::string() : lead->text;
}

// Text for XML: shown as UTF-8 (no control byte can appear), then the five
// characters XML reserves.
std::string xml(std::string_view bytes) { return companion::escaped(bytes, companion::Escape::Xml); }
std::string xmlLines(const std::string& text) { return markupLinesOfShown(text); }

std::string seconds(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

// The findings, the one that explains the total first, each detail below
// its finding.
std::string findingsText(const CaseResult& result) {
  std::string text;
  if (result.comparison.findings.empty()) return "findings: none\n";
  text = "findings:\n";
  for (const CaseFinding* finding : findingsInOrder(result.comparison)) {
    text += "  " + finding->text + "\n";
    for (const std::string& detail : finding->details) text += "    " + detail + "\n";
  }
  return text;
}

// What a person reads first of a compared case: its total as a number, its
// rows and the root mean square of its scaled differences.
std::string sizeText(const Comparison& c) {
  return "total: " + companion::shortestText(c.total) + "\nrows compared: " + std::to_string(c.rowsCompared) +
         "\nRMS of the scaled differences: " + companion::shortestText(rmsOfScaledDifferences(c)) + "\n";
}

std::string limitText(const Limit& limit) {
  if (limit.source == LimitSource::None) return "none";
  return limit.text + " (" + limitOrigin(limit) + ")";
}

}  // namespace

std::string markupOfShown(std::string_view text) {
  // Split at the backslashes the text holds: each piece is escaped alone and
  // the backslashes stay as they are, so no escape is escaped again.
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('\\', start);
    companion::appendEscaped(out, text.substr(start, slash == std::string_view::npos ? slash : slash - start),
                             companion::Escape::Xml);
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
  std::string line = shown(result.path, true) + "\t" + (c.compared ? c.resultLine : std::string("-")) + "\t" +
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

bool writeSuggestionHeading(std::FILE* out) {
  return put(out, std::string("# each limit passes the case's present total with a margin: twice the total, rounded up "
                              "to two significant digits; put it in the case's ") +
                      kLimitFileName + "\n# case\tlimit\ttotal\trows compared\tRMS of the scaled differences\n");
}

bool writeSuggestion(std::FILE* out, const CaseResult& result) {
  const Comparison& c = result.comparison;
  if (result.verdict != Verdict::Report) return true;
  const std::string limit = suggestedLimit(c.total);
  return put(out, shown(result.path) + "\t" + (limit.empty() ? std::string("none: the total is NaN") : limit) + "\t" +
                      companion::shortestText(c.total) + "\t" + std::to_string(c.rowsCompared) + "\t" +
                      companion::shortestText(rmsOfScaledDifferences(c)) + "\n");
}

bool writeJsonStart(std::FILE* out) {
  companion::JsonWriter json(out);
  json.open('{');
  json.key("cases");
  json.open('[');
  return json.finish();
}

bool writeJsonCase(std::FILE* out, const CaseResult& result, bool first) {
  const Comparison& c = result.comparison;
  companion::JsonWriter json(out, 2, first);
  json.item();
  json.open('{');
  const bool limited = result.limit.source != LimitSource::None;
  json.key("path");
  json.string(result.path);
  json.key("result_line");
  json.stringOrNull(c.compared, c.resultLine);
  json.key("total");
  json.numberOrNull(c.compared, c.total);
  json.key("rows_compared");
  if (c.compared) {
    json.count(c.rowsCompared);
  } else {
    json.null();
  }
  json.key("rms_scaled_difference");
  json.numberOrNull(c.compared, rmsOfScaledDifferences(c));
  json.key("limit");
  json.numberOrNull(limited, result.limit.value);
  json.key("limit_from");
  json.stringOrNull(limited, result.limit.source == LimitSource::File ? "file" : "option");
  json.key("verdict");
  json.string(verdictName(result.verdict));
  const CaseFinding* lead = leadFinding(c);
  json.key("first_finding");
  json.stringOrNull(lead != nullptr, lead == nullptr ? std::string_view() : lead->text);
  json.key("findings");
  json.open('[');
  for (const CaseFinding& finding : c.findings) {
    json.item();
    json.open('{');
    json.key("kind");
    json.string(finding.kind);
    json.key("text");
    json.string(finding.text);
    json.key("details");
    json.open('[');
    for (const std::string& detail : finding.details) {
      json.item();
      json.string(detail);
    }
    json.close(']');
    json.close('}');
  }
  json.close(']');
  json.key("error");
  json.stringOrNull(!c.stopText.empty(), c.stopText);
  json.key("seconds");
  json.raw(seconds(result.seconds));
  json.key("explain");
  if (c.explainJson.empty()) {
    json.null();
  } else {
    json.raw(c.explainJson);
  }
  json.close('}');
  return json.finish();
}

bool writeJsonEnd(std::FILE* out, const Summary& s) {
  companion::JsonWriter json(out, 2, s.cases == 0);
  json.close(']');
  json.key("summary");
  json.open('{');
  const std::pair<const char*, std::size_t> counts[] = {
      {"cases", s.cases}, {"passed", s.passed}, {"failed", s.failed}, {"errors", s.errors}, {"without_limit", s.reported},
      {"exit_status", static_cast<std::size_t>(s.exitStatus())}};
  for (const auto& [name, value] : counts) {
    json.key(name);
    json.count(value);
  }
  json.key("shard");
  json.stringOrNull(s.shards > 0, std::to_string(s.shard) + "/" + std::to_string(s.shards));
  json.close('}');
  json.close('}');
  json.raw("\n");
  return json.finish();
}

bool writeJunit(std::FILE* out, const std::vector<CaseResult>& results, const Summary& s, double total,
                const std::string& suiteName) {
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
  text += "<testsuites name=\"" + xml(suiteName) + "\"" + counts + " time=\"" + seconds(total) + "\">\n";
  text += "  <testsuite name=\"" + xml(suiteName) + "\"" + counts + " skipped=\"0\" time=\"" + seconds(total) +
          "\" timestamp=\"" + stamp + "\" hostname=\"" + xml(host) + "\">\n";
  if (!put(out, text)) return false;
  for (const CaseResult& result : results) {
    const Comparison& c = result.comparison;
    // A case in the DIR itself belongs to the suite.
    const std::string& className = result.junitClass == "." ? suiteName : result.junitClass;
    text = "    <testcase classname=\"" + xml(className) + "\" name=\"" + xml(result.junitName) + "\" time=\"" +
           seconds(result.seconds) + "\">\n";
    const std::string resultLine = c.compared ? c.resultLine : std::string("none");
    if (result.verdict == Verdict::Fail) {
      // The message: the total against its limit, then the finding that
      // explains the total.
      const std::string lead = firstFinding(result);
      text += "      <failure type=\"above-limit\" message=\"total " + xml(companion::shortestText(c.total)) +
              " above the limit " + xml(limitText(result.limit)) + (lead.empty() ? std::string() : ": " + markupOfShown(lead)) +
              "\">" + xmlLines(sizeText(c) + "result line: " + resultLine + "\nlimit: " + limitText(result.limit) + "\n" +
                                findingsText(result)) +
              "</failure>\n";
    } else if (result.verdict == Verdict::Error) {
      text += "      <error type=\"cannot-be-read\" message=\"" + markupOfShown(c.stopDescription) + "\">" +
              xmlLines(c.stopText + findingsText(result)) + "</error>\n";
    }
    text += "      <system-out>" +
            xmlLines("result line: " + resultLine + "\n" + (c.compared ? sizeText(c) : std::string()) + "limit: " +
                     limitText(result.limit) + "\n" + findingsText(result)) +
            "</system-out>\n    </testcase>\n";
    if (!put(out, text)) return false;
  }
  return put(out, "  </testsuite>\n</testsuites>\n");
}

}  // namespace velmora::suite
