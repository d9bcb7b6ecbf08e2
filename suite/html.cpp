// The HTML report: static pages that open from a folder or a CI artifact, with
// no server, no network and no framework; the index's sorting and filtering
// is a few lines of plain script in the page itself.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <array>
#include <string>
#include <utility>

#include "companion/companion.h"
#include "suite/suite.h"

namespace velmora::suite {

namespace {

std::string html(std::string_view bytes) { return companion::escaped(bytes, companion::Escape::Xml); }

constexpr char kStyle[] =
    "<style>\n"
    "body{font-family:sans-serif;margin:1.5em;color:#222}\n"
    "table{border-collapse:collapse}\n"
    "th,td{border:1px solid #ccc;padding:.25em .6em;text-align:left;vertical-align:top}\n"
    "th{background:#eee}\n"
    "th.sort{cursor:pointer}\n"
    "code,pre{font-family:monospace;white-space:pre}\n"
    ".finding{white-space:pre-wrap}.kind{color:#666;font-size:90%}\n"
    "td.number{text-align:right;font-family:monospace;white-space:pre}\n"
    ".pass{background:#e3f6e3}.fail{background:#fbe0e0}.error{background:#f8e8c8}.report{background:#fff}\n"
    "td.verdict{font-weight:bold}\n"
    "</style>\n";

std::string pictureName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "case-%04zu.svg", index + 1);
  return name;
}

// Writes `text` to directory/name, replacing what was there.
bool writeFile(const std::string& directory, const std::string& name, const std::string& text) {
  const std::string path = directory + "/" + name;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const int error = errno;
  if (std::fclose(out) != 0 || !written) {
    if (written) return false;
    errno = error;
    return false;
  }
  return true;
}

// The total as a sort key: errors first, then by size, NaN above everything.
std::string sortKey(const CaseResult& result) {
  if (!result.comparison.compared) return "-1";
  if (std::isnan(result.comparison.total)) return "1e400";
  if (std::isinf(result.comparison.total)) return "1e399";
  char buffer[64];
  auto [end, failure] = std::to_chars(buffer, buffer + sizeof buffer, result.comparison.total);
  return failure == std::errc() ? std::string(buffer, end) : std::string("0");
}

// The total in the index: one notation for every case, so that right-aligned
// totals compare by eye.
std::string totalShown(const CaseResult& result) {
  if (!result.comparison.compared) return "-";
  const double total = result.comparison.total;
  if (std::isnan(total)) return "NaN";
  if (std::isinf(total)) return total > 0 ? "Infinity" : "-Infinity";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4e", total);
  return buffer;
}

// Per data file, what was read of it: the two side by side.
std::string filesTable(const Comparison& c) {
  if (c.files.empty()) return {};
  const std::pair<const char*, std::string CaseFile::*> fields[] = {
      {"name", &CaseFile::name},     {"layout", &CaseFile::layout},         {"format code", &CaseFile::formatCode},
      {"title", &CaseFile::title},   {"header numbers", &CaseFile::header}, {"table", &CaseFile::table}};
  std::string text = "<h2>Files</h2>\n<table id=\"files\">\n<tr><th></th>";
  for (const CaseFile& file : c.files) text += "<th>" + html(file.role) + "</th>";
  text += "</tr>\n";
  for (const auto& [label, field] : fields) {
    text += "<tr><th>" + std::string(label) + "</th>";
    for (const CaseFile& file : c.files) {
      text += "<td data-role=\"" + html(file.role) + "\" data-field=\"" + label + "\"><code>" + html(file.*field) +
              "</code></td>";
    }
    text += "</tr>\n";
  }
  text += "<tr><th>rows</th>";
  for (const CaseFile& file : c.files) {
    text += "<td data-role=\"" + html(file.role) + "\" data-field=\"rows\">" + std::to_string(file.rows) + "</td>";
  }
  return text + "</tr>\n</table>\n";
}

}  // namespace

std::string casePageName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "case-%04zu.html", index + 1);
  return name;
}

bool writeCasePage(const std::string& directory, std::size_t index, const CaseResult& result) {
  const Comparison& c = result.comparison;
  const char* verdict = verdictName(result.verdict);
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                     html(result.path) + " - velmora-suite</title>\n" + kStyle + "</head>\n<body>\n";
  page += "<p><a href=\"index.html\">All cases</a></p>\n";
  page += "<h1>Case <code>" + html(result.path) + "</code></h1>\n<table id=\"facts\">\n";
  page += "<tr><th>verdict</th><td class=\"verdict " + std::string(verdict) + "\" id=\"verdict\">" + verdict +
          "</td></tr>\n";
  page += "<tr><th>result line</th><td><code id=\"result-line\">" +
          (c.compared ? html(c.resultLine) : std::string("none: velmora cannot read this case")) + "</code></td></tr>\n";
  page += "<tr><th>limit</th><td>" +
          (result.limit.source == LimitSource::None ? std::string("none (the case only reports)")
                                                    : html(result.limit.text) +
                                                          (result.limit.source == LimitSource::File
                                                               ? " (from " + std::string(kLimitFileName) + ")"
                                                               : std::string(" (from --fail-above)"))) +
          "</td></tr>\n";
  if (c.compared) {
    page += "<tr><th>total</th><td id=\"total\">" + html(companion::shortestText(c.total)) + "</td></tr>\n";
    page += "<tr><th>rows compared</th><td id=\"rows-compared\">" + std::to_string(c.rowsCompared) + "</td></tr>\n";
    page += "<tr><th>RMS of the scaled differences</th><td id=\"rms\">" +
            html(companion::shortestText(rmsOfScaledDifferences(c))) + "</td></tr>\n";
  }
  page += "</table>\n";
  page += filesTable(c);
  if (!c.stopText.empty()) {
    page += "<h2>Where velmora stops</h2>\n<pre id=\"stop\">" + markupLinesOfShown(c.stopText) +
            "</pre>\n";
  }
  page += "<h2>Findings</h2>\n";
  if (c.findings.empty()) {
    page += "<p id=\"findings\">None.</p>\n";
  } else {
    page += "<ul id=\"findings\">\n";
    for (const CaseFinding* finding : findingsInOrder(c)) {
      page += "<li data-kind=\"" + html(finding->kind) + "\"><span class=\"kind\">" + html(finding->kind) +
              "</span> <span class=\"finding\">" + markupOfShown(finding->text) + "</span>";
      if (!finding->details.empty()) {
        page += "\n<ul class=\"exceptions\">\n";
        for (const std::string& detail : finding->details) {
          page += "<li class=\"finding\">" + markupOfShown(detail) + "</li>\n";
        }
        page += "</ul>";
      }
      page += "</li>\n";
    }
    page += "</ul>\n";
  }
  if (!c.top.empty()) {
    page += "<h2>Rows that add most to the total</h2>\n<p>Values of column 2 in file units; the difference "
            "is of the values &times; 1000, as summed. Under each row, its record in each file as written "
            "and the three values read from it.</p>\n<table id=\"top\">\n<tr><th>row</th>"
            "<th>reference line</th><th>compared line</th><th>reference value</th><th>compared value</th>"
            "<th>scaled difference</th><th>square</th><th>share</th></tr>\n";
    for (const TopRow& row : c.top) {
      page += "<tr class=\"row\" data-row=\"" + row.row + "\"><td>" + row.row + "</td><td>" + row.referenceLine +
              "</td><td>" + row.comparedLine + "</td><td class=\"number\">" + html(row.referenceValue) +
              "</td><td class=\"number\">" + html(row.comparedValue) + "</td><td class=\"number\">" +
              html(row.scaledDifference) + "</td><td class=\"number\">" + html(row.square) +
              "</td><td class=\"number\">" + html(row.share) + "</td></tr>\n";
      const std::pair<const char*, std::array<const std::string*, 3>> records[] = {
          {"reference", {&row.referenceLine, &row.referenceText, &row.referenceValues}},
          {"compared", {&row.comparedLine, &row.comparedText, &row.comparedValues}}};
      for (const auto& [role, parts] : records) {
        page += "<tr class=\"record\" data-role=\"" + std::string(role) + "\"><th>" + role + "</th><td colspan=\"7\">";
        if (parts[0]->empty()) {
          page += "no such row";
        } else {
          page += "line " + *parts[0] + ": <code class=\"text\">" + html(*parts[1]) +
                  "</code> read <span class=\"values\">" + html(*parts[2]) + "</span>";
        }
        page += "</td></tr>\n";
      }
    }
    page += "</table>\n";
  }
  if (!c.picture.empty()) {
    const std::string picture = pictureName(index);
    if (!writeFile(directory, picture, c.picture)) return false;
    page += "<h2>Where the total comes from</h2>\n<p><img id=\"picture\" src=\"" + picture +
            "\" alt=\"each row's square and the cumulative share of the total\" width=\"800\"></p>\n";
  }
  page += "</body>\n</html>\n";
  return writeFile(directory, casePageName(index), page);
}

bool writeIndexPage(const std::string& directory, const std::vector<CaseResult>& results,
                    const Summary& summary) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>velmora-suite</title>\n";
  page += kStyle;
  page += "</head>\n<body>\n<h1>velmora-suite</h1>\n<p id=\"summary\">" + html(summaryText(summary)) + ".</p>\n";
  page += "<p><label><input type=\"checkbox\" id=\"failures-only\"> failures only (above the limit or cannot "
          "be read)</label> &middot; click a heading to sort</p>\n";
  page += "<table id=\"cases\">\n<thead><tr><th class=\"sort\" data-key=\"n\">#</th><th class=\"sort\" "
          "data-key=\"path\">case</th><th>result line</th><th class=\"sort\" data-key=\"total\">total</th><th class=\"sort\" "
          "data-key=\"limit\">limit</th><th class=\"sort\" data-key=\"verdict\">verdict</th><th>finding</th></tr></thead>\n<tbody>\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const CaseResult& r = results[i];
    const char* verdict = verdictName(r.verdict);
    const CaseFinding* lead = leadFinding(r.comparison);
    const std::string limitKey = r.limit.source == LimitSource::None ? "-1" : r.limit.text;
    page += "<tr class=\"" + std::string(verdict) + "\" data-n=\"" + std::to_string(i + 1) + "\" data-path=\"" +
            html(r.path) + "\" data-total=\"" + sortKey(r) + "\" data-limit=\"" + html(limitKey) +
            "\" data-verdict=\"" + verdict + "\"><td>" + std::to_string(i + 1) + "</td><td><a href=\"" +
            casePageName(i) + "\">" + html(r.path) + "</a></td><td><code>" +
            (r.comparison.compared ? html(r.comparison.resultLine) : std::string("cannot be read")) +
            "</code></td><td class=\"number\">" + totalShown(r) + "</td><td>" +
            (r.limit.source == LimitSource::None ? std::string("-") : html(r.limit.text)) +
            "</td><td class=\"verdict\">" + verdict + "</td><td class=\"finding\">" +
            (lead == nullptr ? std::string() : markupOfShown(lead->text)) + "</td></tr>\n";
  }
  page += "</tbody>\n</table>\n";
  page +=
      "<script>\n"
      "(function () {\n"
      "  var body = document.querySelector('#cases tbody');\n"
      "  var rows = Array.prototype.slice.call(body.rows);\n"
      "  var numeric = {n: true, total: true, limit: true};\n"
      "  var order = {key: 'n', up: true};\n"
      "  function value(row, key) {\n"
      "    var v = row.getAttribute('data-' + key);\n"
      "    if (!numeric[key]) return v;\n"
      "    var x = parseFloat(v);\n"
      "    return isNaN(x) ? (/^-/.test(v) ? -Infinity : Infinity) : x;\n"
      "  }\n"
      "  function show() {\n"
      "    var only = document.getElementById('failures-only').checked;\n"
      "    rows.sort(function (a, b) {\n"
      "      var x = value(a, order.key), y = value(b, order.key);\n"
      "      var c = x < y ? -1 : x > y ? 1 : value(a, 'n') - value(b, 'n');\n"
      "      return order.up ? c : -c;\n"
      "    });\n"
      "    rows.forEach(function (row) {\n"
      "      var v = row.getAttribute('data-verdict');\n"
      "      row.hidden = only && v !== 'fail' && v !== 'error';\n"
      "      body.appendChild(row);\n"
      "    });\n"
      "  }\n"
      "  Array.prototype.forEach.call(document.querySelectorAll('th.sort'), function (th) {\n"
      "    th.addEventListener('click', function () {\n"
      "      var key = th.getAttribute('data-key');\n"
      "      order = {key: key, up: order.key === key ? !order.up : true};\n"
      "      show();\n"
      "    });\n"
      "  });\n"
      "  document.getElementById('failures-only').addEventListener('change', show);\n"
      "  // The address may ask for a view: #failures, #sort=total, #sort=total-down.\n"
      "  location.hash.slice(1).split('&').forEach(function (part) {\n"
      "    if (part === 'failures') document.getElementById('failures-only').checked = true;\n"
      "    var m = /^sort=(\\w+?)(-down)?$/.exec(part);\n"
      "    if (m && document.querySelector('th[data-key=\"' + m[1] + '\"]')) order = {key: m[1], up: !m[2]};\n"
      "  });\n"
      "  show();\n"
      "})();\n"
      "</script>\n</body>\n</html>\n";
  return writeFile(directory, "index.html", page);
}

}  // namespace velmora::suite
