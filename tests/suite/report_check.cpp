// Checks velmora-suite's JUnit XML and JSON against its lines, for one run:
//   report_check LINES JUNIT JSON
// LINES is what the run printed without --json, JUNIT its --junit file, JSON
// what it printed with --json. The JUnit file must be what CI servers read
// (the JUnit schema of Ant and Jenkins): a testsuites root holding exactly one
// testsuite with its counts, a testcase per case in the cases' order with
// classname (the folder above it) and name (its own folder) and time, a failure element (result line, limit and where it came from, findings) for a
// case above its limit, an error element (velmora's two lines) for a case
// that cannot be read, and nothing else. Prints what is wrong; exit status 1
// then.
#include <expat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

int failures = 0;
void fail(const std::string& message) {
  std::cerr << "FAIL: " << message << "\n";
  ++failures;
}

struct Line {
  std::string path, resultLine, limit, verdict, finding, stop;
};

std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::unique_ptr<Element>> children;
  Element* parent = nullptr;
};

struct Parse {
  std::unique_ptr<Element> root;
  Element* current = nullptr;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* parse = static_cast<Parse*>(data);
  auto element = std::make_unique<Element>();
  element->name = name;
  for (int i = 0; attributes[i] != nullptr; i += 2) element->attributes[attributes[i]] = attributes[i + 1];
  element->parent = parse->current;
  Element* raw = element.get();
  if (parse->current == nullptr) {
    parse->root = std::move(element);
  } else {
    parse->current->children.push_back(std::move(element));
  }
  parse->current = raw;
}
void XMLCALL onEnd(void* data, const XML_Char*) {
  auto* parse = static_cast<Parse*>(data);
  parse->current = parse->current->parent;
}
void XMLCALL onText(void* data, const XML_Char* text, int length) {
  auto* parse = static_cast<Parse*>(data);
  if (parse->current != nullptr) parse->current->text.append(text, static_cast<std::size_t>(length));
}

bool isCount(const std::string& text) { return std::regex_match(text, std::regex("[0-9]+")); }
bool isSeconds(const std::string& text) { return std::regex_match(text, std::regex("[0-9]+(\\.[0-9]+)?")); }

// Attributes the schema allows on an element, and which of them it requires.
void checkAttributes(const Element& e, const std::vector<std::string>& required,
                     const std::vector<std::string>& allowed) {
  for (const std::string& name : required) {
    if (!e.attributes.count(name)) fail("<" + e.name + "> lacks the attribute " + name);
  }
  for (const auto& [name, value] : e.attributes) {
    bool known = false;
    for (const std::string& a : allowed) known = known || a == name;
    for (const std::string& a : required) known = known || a == name;
    if (!known) fail("<" + e.name + "> has an attribute the schema does not know: " + name);
  }
}

void checkCounts(const Element& e, std::size_t cases, std::size_t failed, std::size_t errors) {
  for (const char* name : {"tests", "failures", "errors"}) {
    auto at = e.attributes.find(name);
    if (at == e.attributes.end()) continue;
    if (!isCount(at->second)) fail(std::string("<") + e.name + "> " + name + " is not a count: " + at->second);
  }
  auto is = [&](const char* name, std::size_t value) {
    auto at = e.attributes.find(name);
    if (at != e.attributes.end() && at->second != std::to_string(value)) {
      fail("<" + e.name + "> " + name + "=\"" + at->second + "\", the lines say " + std::to_string(value));
    }
  };
  is("tests", cases);
  is("failures", failed);
  is("errors", errors);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: report_check LINES JUNIT JSON\n";
    return 2;
  }
  // The lines: a case line has five tab-separated fields; velmora's two lines
  // of a case that cannot be read follow it, each after a tab; the summary
  // closes the list.
  std::vector<Line> lines;
  std::vector<std::string> text = split(readFile(argv[1]), '\n');
  if (!text.empty() && text.back().empty()) text.pop_back();
  if (text.empty()) {
    fail("no lines");
    return 1;
  }
  const std::string summary = text.back();
  text.pop_back();
  for (const std::string& line : text) {
    if (!line.empty() && line[0] == '\t') {
      if (lines.empty()) fail("a continuation line before any case");
      else lines.back().stop += line.substr(1) + "\n";
      continue;
    }
    const std::vector<std::string> fields = split(line, '\t');
    if (fields.size() != 5) {
      fail("not five fields: '" + line + "'");
      continue;
    }
    lines.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], ""});
  }
  std::size_t failed = 0, errors = 0, passed = 0, reported = 0;
  for (const Line& l : lines) {
    failed += l.verdict == "fail";
    errors += l.verdict == "error";
    passed += l.verdict == "pass";
    reported += l.verdict == "report";
    if ((l.verdict == "error") != !l.stop.empty()) fail(l.path + ": velmora's lines shown for a " + l.verdict);
    if ((l.verdict == "error") != (l.resultLine == "-")) fail(l.path + ": result line '" + l.resultLine + "' for a " + l.verdict);
  }
  const std::string expectedSummary = std::to_string(lines.size()) + (lines.size() == 1 ? " case: " : " cases: ") + std::to_string(passed) +
                                      " within their limit, " + std::to_string(failed) + " above it, " +
                                      std::to_string(errors) + " cannot be read, " + std::to_string(reported) +
                                      " without a limit";
  if (summary != expectedSummary) fail("summary '" + summary + "', the cases give '" + expectedSummary + "'");

  // JUnit.
  const std::string xml = readFile(argv[2]);
  Parse parse;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &parse);
  XML_SetElementHandler(parser, onStart, onEnd);
  XML_SetCharacterDataHandler(parser, onText);
  if (XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_ERROR) {
    fail(std::string("JUnit file is not well-formed XML: ") + XML_ErrorString(XML_GetErrorCode(parser)) +
         " at line " + std::to_string(XML_GetCurrentLineNumber(parser)));
    XML_ParserFree(parser);
    return 1;
  }
  XML_ParserFree(parser);
  const Element& root = *parse.root;
  if (root.name != "testsuites") fail("the root element is <" + root.name + ">, not <testsuites>");
  checkAttributes(root, {}, {"name", "tests", "failures", "errors", "disabled", "time"});
  checkCounts(root, lines.size(), failed, errors);
  if (root.children.size() != 1 || root.children[0]->name != "testsuite") {
    fail("<testsuites> does not hold exactly one <testsuite>");
    return 1;
  }
  const Element& suite = *root.children[0];
  checkAttributes(suite, {"name", "tests", "failures", "errors", "time"},
                  {"skipped", "disabled", "timestamp", "hostname", "id", "package"});
  checkCounts(suite, lines.size(), failed, errors);
  if (!isSeconds(suite.attributes.count("time") ? suite.attributes.at("time") : "")) fail("<testsuite> time is not seconds");
  if (suite.attributes.count("timestamp") &&
      !std::regex_match(suite.attributes.at("timestamp"), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"))) {
    fail("<testsuite> timestamp is not an ISO 8601 time without a zone: " + suite.attributes.at("timestamp"));
  }
  if (suite.children.size() != lines.size()) {
    fail("<testsuite> holds " + std::to_string(suite.children.size()) + " elements for " +
         std::to_string(lines.size()) + " cases");
  }
  for (std::size_t i = 0; i < suite.children.size() && i < lines.size(); ++i) {
    const Element& test = *suite.children[i];
    const Line& l = lines[i];
    if (test.name != "testcase") fail("<testsuite> holds <" + test.name + ">");
    checkAttributes(test, {"name", "classname", "time"}, {"assertions", "status"});
    // classname: the folder above the case, relative to the DIR (the suite's
    // name for the DIR itself); name: the case's own folder.
    const std::size_t slash = l.path.rfind('/');
    const std::string wantClass = slash == std::string::npos ? "velmora-suite" : l.path.substr(0, slash);
    const std::string wantName = slash == std::string::npos ? l.path : l.path.substr(slash + 1);
    if (l.path != "." && test.attributes.count("name") && test.attributes.count("classname") &&
        (test.attributes.at("name") != wantName || test.attributes.at("classname") != wantClass)) {
      fail("testcase " + std::to_string(i + 1) + " is '" + test.attributes.at("classname") + "' '" +
           test.attributes.at("name") + "', the line says '" + l.path + "'");
    }
    if (test.attributes.count("time") && !isSeconds(test.attributes.at("time"))) fail(l.path + ": time is not seconds");
    std::size_t failuresSeen = 0, errorsSeen = 0;
    for (const auto& child : test.children) {
      if (!child->children.empty()) fail(l.path + ": <" + child->name + "> holds elements");
      if (child->name == "failure") {
        ++failuresSeen;
        checkAttributes(*child, {}, {"message", "type"});
        for (const std::string& part : {"result line: " + l.resultLine + "\n", "limit: " + l.limit + " (",
                                        l.finding.empty() ? std::string("findings:") : "  " + l.finding + "\n"}) {
          if (child->text.find(part) == std::string::npos) fail(l.path + ": <failure> does not say '" + part + "'");
        }
      } else if (child->name == "error") {
        ++errorsSeen;
        checkAttributes(*child, {}, {"message", "type"});
        if (child->text.rfind(l.stop, 0) != 0) fail(l.path + ": <error> does not begin with velmora's lines");
      } else if (child->name != "system-out" && child->name != "system-err" && child->name != "skipped") {
        fail(l.path + ": <testcase> holds <" + child->name + ">");
      }
    }
    if (failuresSeen != (l.verdict == "fail" ? 1u : 0u)) fail(l.path + ": " + std::to_string(failuresSeen) + " <failure> for a " + l.verdict);
    if (errorsSeen != (l.verdict == "error" ? 1u : 0u)) fail(l.path + ": " + std::to_string(errorsSeen) + " <error> for a " + l.verdict);
  }

  // JSON.
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(readFile(argv[3]));
  } catch (const std::exception& error) {
    fail(std::string("the JSON does not parse: ") + error.what());
    return 1;
  }
  const auto& cases = document.at("cases");
  if (cases.size() != lines.size()) fail("the JSON has " + std::to_string(cases.size()) + " cases");
  for (std::size_t i = 0; i < cases.size() && i < lines.size(); ++i) {
    const auto& c = cases[i];
    const Line& l = lines[i];
    if (c.at("path") != l.path) fail("JSON case " + std::to_string(i + 1) + " is " + c.at("path").dump());
    if (c.at("verdict") != l.verdict) fail(l.path + ": JSON verdict " + c.at("verdict").dump());
    const auto& explain = c.at("explain");
    if (l.verdict == "error") {
      if (!c.at("result_line").is_null()) fail(l.path + ": JSON has a result line for an error");
      if (c.at("error") != l.stop || explain.at("error").at("text") != l.stop) fail(l.path + ": JSON error text differs");
    } else {
      if (c.at("result_line") != l.resultLine || explain.at("result_line") != l.resultLine) {
        fail(l.path + ": JSON result line " + c.at("result_line").dump());
      }
    }
    const std::string first = c.at("first_finding").is_null() ? "" : c.at("first_finding").get<std::string>();
    if (first != l.finding) fail(l.path + ": JSON first finding '" + first + "'");
  }
  const auto& s = document.at("summary");
  if (s.at("cases") != lines.size() || s.at("passed") != passed || s.at("failed") != failed ||
      s.at("errors") != errors || s.at("without_limit") != reported) {
    fail("JSON summary " + s.dump());
  }
  if (failures == 0) std::cout << lines.size() << " cases: the JUnit XML and the JSON agree with the lines\n";
  return failures == 0 ? 0 : 1;
}
