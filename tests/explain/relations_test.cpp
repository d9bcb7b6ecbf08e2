// The search for the relation that explains the total, on pairs generated
// here: each family (value maps, row maps, precisions, pieces) and their
// combinations, each pair with a genuine difference beside its mistake.
// Every row checks the relation found (as the JSON gives it), the sentence
// in the text report and the picture's caption; unrelated tables and
// identical files get none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "companion/companion.h"
#include "explain/explain.h"
#include "relation_json.h"

namespace velmora::explain {
namespace {

using companion::shortestText;

namespace fs = std::filesystem;

struct Row {
  double v[3];
  std::string text[3];  // as written
};
using Table = std::vector<Row>;

// A repeatable stream of numbers in [0, 1).
struct Random {
  unsigned long long state;
  double next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53;
  }
};

std::string fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

Row rowOf(const std::string& a, const std::string& b, const std::string& c) {
  Row row;
  const std::string texts[3] = {a, b, c};
  for (int k = 0; k < 3; ++k) {
    row.text[k] = texts[k];
    row.v[k] = std::strtod(texts[k].c_str(), nullptr);
  }
  return row;
}

// n rows: column 1 in [0, 1000) with 3 decimals, column 2 in [0.5, 10) with
// 4 decimals (or spread over five decades with 9 significant digits),
// column 3 in [-5, 5) with 3 decimals.
Table reference(std::size_t n, unsigned long long seed, bool spread = false) {
  Random random{seed};
  Table t;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = random.next() * 1000, b = random.next(), c = random.next() * 10 - 5;
    char value[64];
    if (spread) {
      std::snprintf(value, sizeof value, "%.8e", std::pow(10.0, b * 5 - 2));
    } else {
      std::snprintf(value, sizeof value, "%.4f", 0.5 + 9.5 * b);
    }
    t.push_back(rowOf(fixed(a, 3), value, fixed(c, 3)));
  }
  return t;
}

std::string fileOf(const Table& t) {
  std::string text = "readings\n";
  for (int i = 0; i < 20; ++i) text += "header\n";
  for (const Row& row : t) text += row.text[0] + " " + row.text[1] + " " + row.text[2] + "\n";
  return text;
}

// Column 2 of a row set to a value, written as the shortest text.
void setValue(Row& row, double v) {
  row.v[1] = v;
  row.text[1] = shortestText(v);
}
void setText(Row& row, const std::string& text) { row = rowOf(row.text[0], text, row.text[2]); }

Table mapped(Table t, const std::function<double(const Row&)>& f) {
  for (Row& row : t) setValue(row, f(row));
  return t;
}

// Column 2 cut (not rounded) to `decimals` or `digits`, from the digits it
// is written with, as text is cut.
std::string cutText(double v, int decimals) {
  const std::string text = shortestText(v);
  const std::size_t point = text.find('.');
  return point == std::string::npos ? text : text.substr(0, point + 1 + static_cast<std::size_t>(decimals));
}
std::string significantText(double v, int digits, bool cut) {
  char text[128];
  if (!cut) {
    std::snprintf(text, sizeof text, "%.*e", digits - 1, v);
    return text;
  }
  const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
  std::string s(text, end);
  const std::size_t e = s.find('e'), point = s.find('.');
  if (point == std::string::npos || point > e) return s;
  return s.substr(0, std::min(e, point + static_cast<std::size_t>(digits))) + s.substr(e);
}

Table withoutRows(const Table& t, std::size_t first, std::size_t last) {  // from 1
  Table out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i + 1 < first || i + 1 > last) out.push_back(t[i]);
  }
  return out;
}

// `count` new rows after row `after` (from 1).
Table withRows(const Table& t, std::size_t after, std::size_t count, unsigned long long seed) {
  const Table extra = reference(count, seed);
  Table out(t.begin(), t.begin() + static_cast<long>(after));
  out.insert(out.end(), extra.begin(), extra.end());
  out.insert(out.end(), t.begin() + static_cast<long>(after), t.end());
  return out;
}

// Row `row` (from 1) differs by `by` beside the mistake.
Table differing(Table t, std::size_t row, double by) {
  setValue(t[row - 1], t[row - 1].v[1] + by);
  return t;
}

Table sortedBy(Table t, int column, bool descending) {
  std::stable_sort(t.begin(), t.end(), [&](const Row& a, const Row& b) {
    return descending ? a.v[column - 1] > b.v[column - 1] : a.v[column - 1] < b.v[column - 1];
  });
  return t;
}

struct RelationCase {
  const char* name;
  Table reference, compared;
  const char* rowMap;     // the JSON expected
  const char* valueMap;
  const char* precision;
  std::size_t holds, of;
  std::vector<std::size_t> exceptions;
  const char* textHas;
  // The grammar's features, when the value map has more than a factor and
  // an offset; the exceptions in any order (a pattern's rows tie).
  const char* features = nullptr;
  bool anyOrder = false;
};

void PrintTo(const RelationCase& c, std::ostream* os) { *os << c.name; }

class InTemporaryDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-relations-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  Explanation explain(const std::string& reference, const std::string& compared, bool picture = false) {
    std::ofstream(dir_ / "a.dat", std::ios::binary) << reference;
    std::ofstream(dir_ / "b.dat", std::ios::binary) << compared;
    Request request;
    request.fromControlFile = false;
    request.referenceName = (dir_ / "a.dat").string();
    request.comparedName = (dir_ / "b.dat").string();
    request.keepSquares = picture;
    Explanation facts;
    static Workspace workspace;
    explainPair(request, workspace, facts);
    return facts;
  }
  static std::string report(const Explanation& facts, bool json) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    EXPECT_TRUE(json ? writeJsonReport(out, facts) : writeTextReport(out, facts));
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
  }
  fs::path dir_;
};

class Relations : public InTemporaryDirectory, public ::testing::WithParamInterface<RelationCase> {};

TEST_P(Relations, AreFoundWithWhatRemains) {
  const RelationCase& c = GetParam();
  const Explanation facts = explain(fileOf(c.reference), fileOf(c.compared), true);
  ASSERT_FALSE(facts.stop) << facts.stop->text;
  ASSERT_FALSE(facts.findings.empty());
  const Finding& first = facts.findings.front();
  ASSERT_EQ(first.kind, FindingKind::Relation) << first.text;
  const auto json = nlohmann::json::parse(report(facts, true));
  const auto& relation = json["findings"][0]["relation"];
  expectRelationJson(relation);
  EXPECT_EQ(relation["row_map"], nlohmann::json::parse(c.rowMap)) << first.text;
  EXPECT_EQ(relation["value_map"], nlohmann::json::parse(c.valueMap)) << first.text;
  EXPECT_EQ(relation["precision"], nlohmann::json::parse(c.precision)) << first.text;
  EXPECT_EQ(relation["holds"]["rows"], c.holds) << first.text;
  EXPECT_EQ(relation["holds"]["of"], c.of) << first.text;
  std::vector<std::size_t> exceptions = relation["exceptions"].get<std::vector<std::size_t>>(), expected = c.exceptions;
  if (c.anyOrder) {
    std::sort(exceptions.begin(), exceptions.end());
    std::sort(expected.begin(), expected.end());
  }
  EXPECT_EQ(exceptions, expected) << first.text;
  if (c.features != nullptr) {
    EXPECT_EQ(relation["features"], nlohmann::json::parse(c.features)) << first.text;
  }
  // The residual is the exceptions' squares, scaled and summed as the total.
  double residual = 0;
  for (const ExceptionRow& row : first.exceptionRows) {
    const double d = row.comparedValues[1] * 1000 - row.expected * 1000;
    residual += d * d;
  }
  if (c.exceptions.size() == 1) {
    EXPECT_EQ(relation["residual_total"].get<double>(), residual);
  }
  EXPECT_NE(first.text.find(c.textHas), std::string::npos) << first.text;
  EXPECT_NE(first.text.find("on " + std::to_string(c.holds) + " of " + std::to_string(c.of) + " rows"), std::string::npos)
      << first.text;
  // Each exception listed with its records as written.
  const auto& rowMap = relation["row_map"];
  const nlohmann::json runs = rowMap.is_object() && rowMap.contains("runs") ? rowMap["runs"] : nlohmann::json::array();
  ASSERT_EQ(first.exceptionRows.size(), std::min<std::size_t>(c.exceptions.size(), 10));
  for (std::size_t k = 0; k < first.exceptionRows.size(); ++k) {
    const ExceptionRow& row = first.exceptionRows[k];
    if (!c.anyOrder) {
      EXPECT_EQ(row.row, c.exceptions[k]);
    }
    // Paired with the reference row its run gives it.
    for (const auto& run : runs) {
      const auto from = run[0].get<long long>(), to = run[1].get<long long>();
      const auto at = static_cast<long long>(row.row);
      if (at >= from && at <= to) {
        EXPECT_EQ(static_cast<long long>(row.referenceRow), run[2].get<long long>() + run[3].get<long long>() * (at - from));
      }
    }
    if (relation["row_map"].is_null()) {
      EXPECT_EQ(row.referenceRow, row.row);
    }
    EXPECT_EQ(row.comparedRecord, c.compared[row.row - 1].text[0] + " " + c.compared[row.row - 1].text[1] + " " +
                                      c.compared[row.row - 1].text[2]);
    EXPECT_EQ(row.comparedLine, static_cast<long long>(row.row) + 21);
  }
  // The text report holds the sentence, and the picture's caption names it
  // first, with the residual drawn.
  EXPECT_NE(report(facts, false).find("  relation: " + first.text + "\n"), std::string::npos);
  std::vector<std::string> caption;
  const PlotData data = plotDataOf(facts, caption);
  ASSERT_FALSE(caption.empty());
  EXPECT_EQ(caption.front(), "relation: " + first.text);
  ASSERT_NE(data.residual, nullptr);
  // The legend gives the residual as the sentence does.
  EXPECT_NE(first.text.find("the total would be " + std::string(data.residualTotal) + " instead of"), std::string::npos)
      << data.residualTotal;
}

const Table kR40 = reference(40, 1), kR50 = reference(50, 2), kR60 = reference(60, 3), kR100 = reference(100, 4),
            kR120 = reference(120, 5), kR30 = reference(30, 6), kR80 = reference(80, 7), kR25 = reference(25, 8),
            kR35 = reference(35, 9), kR45 = reference(45, 10), kSpread70 = reference(70, 11, true),
            kSpread30 = reference(30, 12, true);

const Table kR5 = reference(5, 13), kSpread5 = reference(5, 14, true), kSpread40 = reference(40, 15, true);

// n rows whose column 2 reads the same backwards as `sum` minus itself
// forwards (4 decimals): reversed, it is also -1 x itself + sum.
Table symmetric(std::size_t n, unsigned long long seed, double sum) {
  Table t = reference(n, seed);
  for (std::size_t i = 0; i < n / 2; ++i) {
    setText(t[i], fixed(0.5 + (sum - 1) * t[i].v[1] / 10, 4));
    setText(t[n - 1 - i], fixed(sum - t[i].v[1], 4));
  }
  return t;
}

Table reversed(const Table& t) { return Table(t.rbegin(), t.rend()); }

// Column 2 as a function of the row (from 1) and its value.
Table byRow(Table t, const std::function<double(std::size_t, const Row&)>& f) {
  for (std::size_t i = 0; i < t.size(); ++i) setValue(t[i], f(i + 1, t[i]));
  return t;
}

// Each row but the last: a weighted window of the row and the next, as a
// table sampled later by a fraction of a step.
Table windowed(const Table& t, double w0, double w1) {
  Table out;
  for (std::size_t i = 0; i + 1 < t.size(); ++i) {
    out.push_back(t[i]);
    setValue(out.back(), w0 * t[i].v[1] + w1 * t[i + 1].v[1]);
  }
  return out;
}

// A placeholder written on every `period`-th row from row `from` (from 1).
Table placeholders(Table t, std::size_t from, std::size_t period, const std::string& value) {
  for (std::size_t i = from; i <= t.size(); i += period) setText(t[i - 1], value);
  return t;
}

// Column 2 as single precision holds it, written in its shortest form.
std::string singleText(double v) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, static_cast<float>(v)).ptr;
  return std::string(text, end);
}

Table every(const Table& t, std::size_t step) {
  Table out;
  for (std::size_t i = 0; i < t.size(); i += step) out.push_back(t[i]);
  return out;
}

Table texts(Table t, const std::function<std::string(double)>& f) {
  for (Row& row : t) setText(row, f(row.v[1]));
  return t;
}

// Each record carries `values` more values after its three, so that it is
// longer than the part of a record whose written form is looked at.
Table withSurplus(Table t, int values) {
  for (Row& row : t) {
    for (int k = 0; k < values; ++k) row.text[2] += " 1.25e300";
  }
  return t;
}

Table piece(const Table& t, std::size_t first, std::size_t last, const std::function<double(const Row&)>& f) {
  Table out = t;
  for (std::size_t i = first - 1; i < last; ++i) setValue(out[i], f(t[i]));
  return out;
}

const RelationCase kRelationCases[] = {
    // Value maps.
    {"factor_1000", kR40, differing(mapped(kR40, [](const Row& r) { return 1000 * r.v[1]; }), 7, 50), "null",
     R"({"column": 2, "factor": 1000, "offset": 0})", "null", 39, 40, {7}, "compared column 2 is 1000 x the reference's"},
    {"factor_and_offset", kR120,
     differing(differing(mapped(kR120, [](const Row& r) { return -0.5 * r.v[1] + 3; }), 37, 0.01), 90, -0.02), "null",
     R"({"column": 2, "factor": -0.5, "offset": 3})", "null", 118, 120, {90, 37},
     "compared column 2 is -0.5 x the reference's + 3 on 118 of 120 rows"},
    {"column_3", kR25, differing(mapped(kR25, [](const Row& r) { return r.v[2]; }), 12, 0.1), "null",
     R"({"column": 3, "factor": 1, "offset": 0})", "null", 24, 25, {12}, "the reference's column 3"},
    {"column_1_in_thousands", kR60, differing(mapped(kR60, [](const Row& r) { return r.v[0] / 1000; }), 60, 0.5), "null",
     R"({"column": 1, "factor": 0.001, "offset": 0})", "null", 59, 60, {60}, "0.001 x the reference's column 1"},
    // Row maps.
    {"missing_row", kR50, differing(withoutRows(kR50, 10, 10), 30, 0.3), R"({"runs": [[1, 9, 1, 1], [10, 49, 11, 1]]})",
     "null", "null", 48, 49, {30}, "the compared file lacks the reference's row 10 (line 31)"},
    {"missing_runs_in_two_places", kR100, differing(withoutRows(withoutRows(kR100, 60, 62), 25, 28), 80, -0.2),
     R"({"runs": [[1, 24, 1, 1], [25, 55, 29, 1], [56, 93, 63, 1]]})", "null", "null", 92, 93, {80},
     "the compared file lacks the reference's rows 25-28 (lines 46-49); the compared file lacks the reference's rows 60-62"},
    {"extra_rows", kR40, differing(withRows(kR40, 15, 3, 99), 5, 0.4), R"({"runs": [[1, 15, 1, 1], [19, 43, 16, 1]]})",
     "null", "null", 42, 43, {5}, "the compared file has 3 extra rows at lines 37-39 (rows 16-18)"},
    {"every_second_row", kR80, differing(every(kR80, 2), 11, 0.25), R"({"runs": [[1, 40, 1, 2]]})", "null", "null", 39, 40,
     {11}, "taking every second reference row from row 1"},
    {"reversed", kR30, differing(std::vector<Row>(kR30.rbegin(), kR30.rend()), 4, 0.5), R"({"runs": [[1, 30, 30, -1]]})",
     "null", "null", 29, 30, {4}, "in reverse order"},
    {"sorted_by_column_3_descending", kR50, differing(sortedBy(kR50, 3, true), 6, 0.1),
     R"({"sorted_by": {"column": 3, "descending": true}})", "null", "null", 49, 50, {6},
     "its rows in the order of the reference's sorted by column 3, descending"},
    {"sorted_by_column_1", kR35, differing(sortedBy(kR35, 1, false), 20, -0.3),
     R"({"sorted_by": {"column": 1, "descending": false}})", "null", "null", 34, 35, {20},
     "sorted by column 1, ascending"},
    // Precisions.
    {"rounded_to_2_decimals", kR60, differing(texts(kR60, [](double v) { return fixed(v, 2); }), 20, 0.01), "null", "null",
     R"({"decimals": 2})", 59, 60, {20}, "the reference's rounded to 2 decimals"},
    {"rounded_to_2_decimals_in_long_records", withSurplus(kR60, 40),
     withSurplus(differing(texts(kR60, [](double v) { return fixed(v, 2); }), 20, 0.01), 40), "null", "null",
     R"({"decimals": 2})", 59, 60, {20}, "the reference's rounded to 2 decimals"},
    {"cut_to_3_decimals", kR45, differing(texts(kR45, [](double v) { return cutText(v, 3); }), 3, 0.001), "null", "null",
     R"({"decimals": 3})", 44, 45, {3}, "the reference's cut to 3 decimals"},
    {"rounded_to_4_significant_digits", kSpread70,
     differing(texts(kSpread70, [](double v) { return significantText(v, 4, false); }), 33, 1e-6), "null", "null",
     R"({"significant_digits": 4})", 69, 70, {33}, "rounded to 4 significant digits"},
    {"cut_to_3_significant_digits", kSpread30,
     differing(texts(kSpread30, [](double v) { return significantText(v, 3, true); }), 9, 1e-7), "null", "null",
     R"({"significant_digits": 3})", 29, 30, {9}, "cut to 3 significant digits"},
    // Pieces.
    {"piece_in_thousandths", kR120, differing(piece(kR120, 41, 80, [](const Row& r) { return 1000 * r.v[1]; }), 10, 0.3),
     R"({"runs": [[41, 80, 41, 1]]})", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 40, 40, {10},
     "from row 41 to row 80, compared column 2 is 1000 x the reference's on 40 of 40 rows, and the reference's elsewhere"},
    {"piece_negated_from_row_30", kR50, differing(piece(kR50, 30, 50, [](const Row& r) { return -r.v[1]; }), 35, 0.2),
     R"({"runs": [[30, 50, 30, 1]]})", R"({"column": 2, "factor": -1, "offset": 0})", "null", 20, 21, {35},
     "from row 30 on, compared column 2 is -1 x the reference's"},
    {"piece_offset_up_to_row_20", kR100, differing(piece(kR100, 1, 20, [](const Row& r) { return r.v[1] + 5; }), 50, 0.1),
     R"({"runs": [[1, 20, 1, 1]]})", R"({"column": 2, "factor": 1, "offset": 5})", "null", 20, 20, {50},
     "up to row 20, compared column 2 is the reference's + 5"},
    {"piece_between_two_factors", kR60,
     differing(piece(piece(kR60, 1, 30, [](const Row& r) { return 1000 * r.v[1]; }), 31, 60,
                     [](const Row& r) { return 0.001 * r.v[1]; }),
               12, 30),
     R"({"runs": [[1, 30, 1, 1]]})", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 29, 30, {12},
     "up to row 30, compared column 2 is 1000 x the reference's on 29 of 30 rows, and 0.001 x the reference's elsewhere"},
    // Combinations.
    {"piece_in_thousandths_and_a_row_missing_elsewhere", kR120,
     differing(withoutRows(piece(kR120, 1, 50, [](const Row& r) { return 1000 * r.v[1]; }), 90, 90), 20, 5),
     R"({"runs": [[1, 50, 1, 1]]})", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 49, 50, {20},
     "up to row 50, compared column 2 is 1000 x the reference's on 49 of 50 rows, and the reference's elsewhere, out of "
     "step: the compared file lacks the reference's row 90 (line 111); from row 90 on, compared row i matches reference "
     "row i + 1"},
    {"missing_row_and_factor", kR60,
     differing(mapped(withoutRows(kR60, 20, 20), [](const Row& r) { return 1000 * r.v[1]; }), 40, 20),
     R"({"runs": [[1, 19, 1, 1], [20, 59, 21, 1]]})", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 58, 59, {40},
     "compared column 2 is 1000 x the reference's on 58 of 59 rows, out of step"},
    {"reversed_and_rounded", kR40,
     differing(texts(std::vector<Row>(kR40.rbegin(), kR40.rend()), [](double v) { return fixed(v, 2); }), 7, 0.01),
     R"({"runs": [[1, 40, 40, -1]]})", "null", R"({"decimals": 2})", 39, 40, {7}, "rounded to 2 decimals on 39 of 40 rows, in reverse order"},
    {"column_3_and_extra_rows", kR50, differing(mapped(withRows(kR50, 30, 2, 77), [](const Row& r) { return r.v[2]; }), 10, 0.05),
     R"({"runs": [[1, 30, 1, 1], [33, 52, 31, 1]]})", R"({"column": 3, "factor": 1, "offset": 0})", "null", 51, 52, {10},
     "the compared file has 2 extra rows at lines 52-53 (rows 31-32)"},
    {"factor_and_rounded", kR50,
     differing(texts(kR50, [](double v) { return fixed(0.1 * v, 3); }), 25, 0.001), "null",
     R"({"column": 2, "factor": 0.1, "offset": 0})", R"({"decimals": 3})", 49, 50, {25},
     "0.1 x the reference's rounded to 3 decimals"},
    // A map and a rounding together.
    {"factor_offset_rounded_to_4_decimals", kR40,
     differing(texts(kR40, [](double v) { return fixed(2.54 * v + 0.3, 4); }), 12, 0.01), "null",
     R"({"column": 2, "factor": 2.54, "offset": 0.3})", R"({"decimals": 4})", 39, 40, {12},
     "compared column 2 is 2.54 x the reference's + 0.3 rounded to 4 decimals on 39 of 40 rows"},
    {"feet_to_metres_rounded_to_3_decimals", kR60, texts(kR60, [](double v) { return fixed(0.3048 * v - 1.5, 3); }), "null",
     R"({"column": 2, "factor": 0.3048, "offset": -1.5})", R"({"decimals": 3})", 60, 60, {},
     "0.3048 x the reference's - 1.5 rounded to 3 decimals on 60 of 60 rows"},
    {"factor_offset_rounded_on_5_rows", kR5, texts(kR5, [](double v) { return fixed(1.8 * v + 32, 2); }), "null",
     R"({"column": 2, "factor": 1.8, "offset": 32})", R"({"decimals": 2})", 5, 5, {}, "1.8 x the reference's + 32"},
    {"piece_in_millimetres_rounded_to_2", kR100,
     differing(texts(piece(kR100, 31, 60, [](const Row& r) { return 25.4 * r.v[1]; }), [](double v) { return fixed(v, 2); }),
               80, 0.5),
     R"({"runs": [[31, 60, 31, 1]]})", R"({"column": 2, "factor": 25.4, "offset": 0})", R"({"decimals": 2})", 30, 30, {80},
     "from row 31 to row 60, compared column 2 is 25.4 x the reference's rounded to 2 decimals on 30 of 30 rows, and the "
     "reference's rounded to 2 decimals elsewhere"},
    // One genuine difference carrying most of the total does not hide it.
    {"rounded_with_a_dominant_difference", kR40, differing(texts(kR40, [](double v) { return fixed(v, 2); }), 15, 50),
     "null", "null", R"({"decimals": 2})", 39, 40, {15}, "the reference's rounded to 2 decimals on 39 of 40 rows"},
    {"factor_with_a_dominant_difference", kR50,
     differing(differing(mapped(kR50, [](const Row& r) { return 0.001 * r.v[1]; }), 5, 900), 44, 0.0001), "null",
     R"({"column": 2, "factor": 0.001, "offset": 0})", "null", 48, 50, {5, 44}, "0.001 x the reference's on 48 of 50 rows"},
    // The reverse order of a table that a fitted map also fits: the row map
    // needs no number.
    {"reversed_symmetric", symmetric(30, 21, 4.56),
     differing(reversed(symmetric(30, 21, 4.56)), 4, 0.5),
     R"({"runs": [[1, 30, 30, -1]]})", "null", "null", 29, 30, {4}, "in reverse order"},
    {"reversed_symmetric_exactly", symmetric(40, 22, 7),
     reversed(symmetric(40, 22, 7)), R"({"runs": [[1, 40, 40, -1]]})", "null",
     "null", 40, 40, {}, "in reverse order"},
    // A value that drifts with the row, or with another column.
    {"drift_per_row", kR40, differing(byRow(kR40, [](std::size_t i, const Row& r) { return r.v[1] + 0.002 * static_cast<double>(i); }), 9, 0.3),
     "null", R"({"column": 2, "factor": 1, "offset": 0})", "null", 39, 40, {9}, "the reference's plus 0.002 per row",
     R"([{"feature": "column", "column": 2, "transform": null, "coefficient": 1},
         {"feature": "row_number", "column": null, "transform": null, "coefficient": 0.002}])"},
    {"drift_down_with_offset", kR60, byRow(kR60, [](std::size_t i, const Row& r) { return r.v[1] - 0.0005 * static_cast<double>(i) + 1; }), "null",
     R"({"column": 2, "factor": 1, "offset": 1})", "null", 60, 60, {}, "the reference's minus 0.0005 per row + 1",
     R"([{"feature": "column", "column": 2, "transform": null, "coefficient": 1},
         {"feature": "row_number", "column": null, "transform": null, "coefficient": -0.0005}])"},
    {"drift_with_column_1", kR50, differing(mapped(kR50, [](const Row& r) { return r.v[1] + 0.001 * r.v[0]; }), 33, 0.2),
     "null", R"({"column": 2, "factor": 1, "offset": 0})", "null", 49, 50, {33},
     "the reference's + 0.001 x the reference's column 1",
     R"([{"feature": "column", "column": 2, "transform": null, "coefficient": 1},
         {"feature": "column", "column": 1, "transform": null, "coefficient": 0.001}])"},
    // A placeholder on a regular set of rows.
    {"placeholder_every_10th_row", kR40,
     differing(placeholders(mapped(kR40, [](const Row& r) { return 1000 * r.v[1]; }), 10, 10, "0"), 7, 50), "null",
     R"({"column": 2, "factor": 1000, "offset": 0})", "null", 35, 40, {7, 10, 20, 30, 40},
     "0 on every 10th row from row 10, a placeholder; following it, the total would be 2.5e9 instead of", nullptr, true},
    {"placeholder_every_7th_row_alone", kR60, placeholders(kR60, 3, 7, "-999"), "null", "null", "null", 51, 60,
     {3, 10, 17, 24, 31, 38, 45, 52, 59}, "-999 on every 7th row from row 3 to row 59, a placeholder; following it, the "
     "total would be 0 instead of", nullptr, true},
    // Exceptions on a period, and exceptions whose difference grows along a
    // run of rows.
    {"differs_every_fifth_row", kR60,
     byRow(mapped(kR60, [](const Row& r) { return 1000 * r.v[1]; }),
           [](std::size_t i, const Row& r) { return i % 5 == 0 ? r.v[1] + static_cast<double>(i % 7 + 1) : r.v[1]; }),
     "null", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 48, 60,
     {60, 55, 50, 45, 40, 35, 30, 25, 20, 15, 10, 5}, "; every fifth row from row 5 differs from it; following it, the total "
     "would be 0 instead of", nullptr, true},
    {"difference_growing_along_rows_41_to_50", kR60,
     byRow(mapped(kR60, [](const Row& r) { return 1000 * r.v[1]; }),
           [](std::size_t i, const Row& r) { return i > 40 && i <= 50 ? r.v[1] + 0.5 * static_cast<double>(i - 40) : r.v[1]; }),
     "null", R"({"column": 2, "factor": 1000, "offset": 0})", "null", 50, 60, {50, 49, 48, 47, 46, 45, 44, 43, 42, 41},
     "; on the 10 rows from row 41 to row 50 the difference grows by 0.5 per row; following it, the total would be 0"},
    // A table sampled half a step later: each value a window of two rows.
    {"mean_of_neighbouring_rows", kR40, differing(windowed(kR40, 0.5, 0.5), 20, 0.2), "null",
     R"({"column": 2, "factor": 0.5, "offset": 0})", "null", 38, 39, {20}, "compared column 2 is the mean of reference rows i and i+1",
     R"([{"feature": "column", "column": 2, "transform": null, "coefficient": 0.5},
         {"feature": "next_row", "column": 2, "transform": null, "coefficient": 0.5}])"},
    {"quarter_step_window", kR50, windowed(kR50, 0.75, 0.25), "null", R"({"column": 2, "factor": 0.75, "offset": 0})", "null",
     49, 49, {}, "0.75 x reference row i + 0.25 x reference row i+1",
     R"([{"feature": "column", "column": 2, "transform": null, "coefficient": 0.75},
         {"feature": "next_row", "column": 2, "transform": null, "coefficient": 0.25}])"},
    // Transforms.
    {"log10", kR40, differing(mapped(kR40, [](const Row& r) { return std::log10(r.v[1]); }), 3, 0.1), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", "null", 39, 40, {3}, "compared column 2 is log10 of the reference's on 39",
     R"([{"feature": "column", "column": 2, "transform": "log10", "coefficient": 1}])"},
    {"log10_on_5_rows", kR5, mapped(kR5, [](const Row& r) { return std::log10(r.v[1]); }), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", "null", 5, 5, {}, "log10 of the reference's on 5 of 5 rows",
     R"([{"feature": "column", "column": 2, "transform": "log10", "coefficient": 1}])"},
    {"log10_rounded_to_4_decimals", kR40, differing(texts(kR40, [](double v) { return fixed(std::log10(v), 4); }), 12, 0.05), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", R"({"decimals": 4})", 39, 40, {12}, "log10 of the reference's rounded to 4 decimals",
     R"([{"feature": "column", "column": 2, "transform": "log10", "coefficient": 1}])"},
    {"log10_rounded_to_4_decimals_on_5_rows", kR5, texts(kR5, [](double v) { return fixed(std::log10(v), 4); }), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", R"({"decimals": 4})", 5, 5, {}, "log10 of the reference's rounded to 4 decimals",
     R"([{"feature": "column", "column": 2, "transform": "log10", "coefficient": 1}])"},
    {"log10_rounded_to_3_decimals_spread", kSpread40, texts(kSpread40, [](double v) { return fixed(std::log10(v), 3); }), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", R"({"decimals": 3})", 40, 40, {}, "log10 of the reference's rounded to 3 decimals",
     R"([{"feature": "column", "column": 2, "transform": "log10", "coefficient": 1}])"},
    {"ln_rounded_to_3_decimals", kR50, differing(texts(kR50, [](double v) { return fixed(std::log(v), 3); }), 17, 0.05), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", R"({"decimals": 3})", 49, 50, {17}, "ln of the reference's rounded to 3 decimals",
     R"([{"feature": "column", "column": 2, "transform": "ln", "coefficient": 1}])"},
    {"twice_the_square_root_of_column_1", kR30, mapped(kR30, [](const Row& r) { return 2 * std::sqrt(r.v[0]); }), "null",
     R"({"column": 1, "factor": 2, "offset": 0})", "null", 30, 30, {}, "2 x the square root of the reference's column 1",
     R"([{"feature": "column", "column": 1, "transform": "sqrt", "coefficient": 2}])"},
    {"reciprocal", kR40, differing(mapped(kR40, [](const Row& r) { return 1 / r.v[1]; }), 22, 0.01), "null",
     R"({"column": 2, "factor": 1, "offset": 0})", "null", 39, 40, {22}, "1 over the reference's",
     R"([{"feature": "column", "column": 2, "transform": "reciprocal", "coefficient": 1}])"},
    // Single precision.
    {"single_precision", kSpread40, differing(texts(kSpread40, singleText), 11, 0.5), "null", "null",
     R"({"binary": "single"})", 39, 40, {11}, "compared column 2 is the reference's as single precision holds it"},
    {"single_precision_on_5_rows", kSpread5, texts(kSpread5, singleText), "null", "null", R"({"binary": "single"})", 5, 5, {},
     "as single precision holds it on 5 of 5 rows"},
};

INSTANTIATE_TEST_SUITE_P(Explain, Relations, ::testing::ValuesIn(kRelationCases),
                         [](const auto& row) { return std::string(row.param.name); });

// No relation between unrelated tables, whatever their sizes, nor between
// files that agree.
TEST_F(InTemporaryDirectory, NoRelationWithoutOne) {
  struct Pair {
    Table a, b;
  };
  std::vector<Pair> pairs;
  const std::size_t sizes[] = {5, 12, 50, 400, 20000};
  for (const std::size_t n : sizes) {
    pairs.push_back({reference(n, 1000 + n), reference(n, 2000 + n)});
    pairs.push_back({reference(n, 3000 + n, true), reference(n + n / 3, 4000 + n, true)});
    // The same first and third columns, unrelated second ones.
    Table b = reference(n, 5000 + n);
    Table a = reference(n, 6000 + n);
    for (std::size_t i = 0; i < n; ++i) b[i] = rowOf(a[i].text[0], b[i].text[1], a[i].text[2]);
    pairs.push_back({a, b});
  }
  for (const Pair& p : pairs) {
    const Explanation facts = explain(fileOf(p.a), fileOf(p.b));
    for (const Finding& f : facts.findings) {
      EXPECT_NE(f.kind, FindingKind::Relation) << p.a.size() << " rows: " << f.text;
    }
  }
  for (const Table& t : {kR40, kSpread70}) {
    const Explanation facts = explain(fileOf(t), fileOf(t));
    EXPECT_EQ(facts.total, 0);
    for (const Finding& f : facts.findings) EXPECT_NE(f.kind, FindingKind::Relation) << f.text;
  }
}

// Small unsystematic errors: no relation, and the differences described as
// noise, their median relative size what the errors give (uniform within
// 1%: a median of 0.5%).
TEST_F(InTemporaryDirectory, NoiseIsUnexplained) {
  const std::size_t sizes[] = {40, 400, 20000};
  for (const std::size_t n : sizes) {
    Random random{77 + n};
    const Table a = reference(n, 700 + n);
    const Table b = mapped(a, [&](const Row& r) { return r.v[1] * (1 + 0.02 * (random.next() - 0.5)); });
    const Explanation facts = explain(fileOf(a), fileOf(b));
    const auto json = nlohmann::json::parse(report(facts, true));
    const nlohmann::json* unexplained = nullptr;
    for (const auto& f : json["findings"]) {
      EXPECT_NE(f["kind"], "relation") << n << " rows: " << f["text"];
      if (f["kind"] == "unexplained") unexplained = &f["unexplained"];
    }
    ASSERT_NE(unexplained, nullptr) << n << " rows";
    const double median = (*unexplained)["median_relative_difference"].get<double>();
    EXPECT_NEAR(median, 0.005, n < 100 ? 0.0015 : 0.0005) << n << " rows";
    EXPECT_EQ((*unexplained)["rows"], n);
    EXPECT_FALSE((*unexplained)["trends"].get<bool>()) << n << " rows";
    EXPECT_TRUE((*unexplained)["signs_random"].get<bool>()) << n << " rows";
  }
  // Errors that grow along the rows, all of one sign: not noise.
  const Table a = reference(200, 31);
  const Table b = byRow(a, [](std::size_t i, const Row& r) {
    return r.v[1] * (1 + 0.0001 * static_cast<double>(i) * (1 + 0.3 * std::sin(static_cast<double>(i * i))));
  });
  const Explanation facts = explain(fileOf(a), fileOf(b));
  const auto json = nlohmann::json::parse(report(facts, true));
  bool described = false;
  for (const auto& f : json["findings"]) {
    if (f["kind"] != "unexplained") continue;
    described = true;
    EXPECT_FALSE(f["unexplained"]["signs_random"].get<bool>()) << f.dump();
    EXPECT_EQ(f["unexplained"]["negative"], 0) << f.dump();
    EXPECT_EQ(f["text"].get<std::string>().find("noise"), std::string::npos) << f.dump();
  }
  EXPECT_TRUE(described) << json["findings"].dump(2);
}

// The median relative difference of noise is the exact middle of the
// relative differences in order (halfway between the two middle ones of an
// even count), however they crowd together: each row's pair of column 2s
// given straight to the search, the median checked against a sorted copy.
TEST(UnexplainedMedian, IsTheMiddleOfTheRelativeDifferencesInOrder) {
  struct Case {
    const char* name;
    std::size_t rows;
    // Compared column 2 for reference value x on row i, with a random draw.
    std::function<double(double x, std::size_t i, double draw)> compared;
  };
  const auto sign = [](double draw) { return draw < 0.5 ? -1.0 : 1.0; };
  const Case cases[] = {
      {"uniform noise, odd count", 20001, [](double x, std::size_t, double r) { return x * (1 + 0.02 * (r - 0.5)); }},
      {"uniform noise, even count", 20000, [](double x, std::size_t, double r) { return x * (1 + 0.02 * (r - 0.5)); }},
      {"a few rows", 6, [](double x, std::size_t i, double r) { return x + static_cast<double>(i + 1) * (r - 0.5); }},
      // Every relative difference the same bits: passes down to the last bit.
      {"one relative difference, even count", 12000,
       [&](double x, std::size_t, double r) { return x + sign(r) * x / 1024; }},
      {"one relative difference, odd count", 12001,
       [&](double x, std::size_t, double r) { return x + sign(r) * x / 1024; }},
      // Two values only, the middle pair split between them.
      {"two relative differences", 10000,
       [&](double x, std::size_t i, double r) { return x + sign(r) * x / (i % 2 == 0 ? 1024 : 512); }},
      // Two values decades apart, the middle pair split between them: the
      // one before the middle is the largest of a bucket far below it.
      {"two relative differences decades apart", 10000,
       [&](double x, std::size_t i, double r) { return x + sign(r) * x * (i % 2 == 0 ? 1e-3 : 1e-9); }},
      // More alike in their top bits than are put in order at once: the
      // bucket narrowed pass after pass, to the last bit where all are one.
      {"one relative difference, past the few", 80001,
       [&](double x, std::size_t, double r) { return x + sign(r) * x / 1024; }},
      {"close relative differences, past the few", 80000,
       [&](double x, std::size_t i, double r) {
         return x + sign(r) * x / 1024 * (1 + 1e-12 * static_cast<double>(i % 1000));
       }},
      // Spread over many decades, rows that agree, infinite and NaN ones.
      {"many decades, some rows left out", 9000,
       [&](double x, std::size_t i, double r) {
         if (i % 7 == 0) return x;
         if (i % 11 == 0) return HUGE_VAL;
         if (i % 13 == 0) return std::nan("");
         return x + sign(r) * x * std::pow(10.0, -1 - 14 * r);
       }},
  };
  for (const Case& c : cases) {
    Random random{c.rows};
    std::vector<double> x(c.rows), y(c.rows), other(c.rows, 1);
    std::vector<double> relative;
    for (std::size_t i = 0; i < c.rows; ++i) {
      // Some reference values zero: no relative difference, but a difference.
      x[i] = i % 17 == 5 ? 0 : std::round((1 + 999 * random.next()) * 100) / 100;
      y[i] = x[i] == 0 ? 1 + random.next() : c.compared(x[i], i, random.next());
      const double d = y[i] - x[i];
      if (d != 0 && std::isfinite(d) && x[i] != 0) relative.push_back(std::fabs(d / x[i]));
    }
    std::sort(relative.begin(), relative.end());
    const std::size_t m = relative.size();
    ASSERT_GT(m, 2u) << c.name;
    const double expected = m % 2 == 1 ? relative[m / 2] : (relative[m / 2] + relative[m / 2 - 1]) / 2;
    RelationInput input{{{other.data(), x.data(), other.data()}, c.rows},
                        {{other.data(), y.data(), other.data()}, c.rows},
                        1.0,
                        {}};
    const RelationSearch search = searchRelations(input);
    ASSERT_TRUE(search.relations.empty()) << c.name;
    ASSERT_TRUE(search.unexplained) << c.name;
    EXPECT_EQ(search.unexplained->medianRelative, expected) << c.name;
  }
}

// A compared column of one value (a factor of zero) is no relation, but a
// finding of its own, whatever the value.
TEST_F(InTemporaryDirectory, ConstantColumnIsNoRelation) {
  for (const char* value : {"2.5", "0", "-1e3"}) {
    const Table b = texts(kR40, [&](double) { return std::string(value); });
    const Explanation facts = explain(fileOf(kR40), fileOf(b));
    bool constant = false;
    for (const Finding& f : facts.findings) {
      EXPECT_NE(f.kind, FindingKind::Relation) << value << ": " << f.text;
      EXPECT_NE(f.kind, FindingKind::Unexplained) << value << ": " << f.text;
      if (f.kind == FindingKind::ConstantColumn) {
        constant = true;
        EXPECT_NE(f.text.find("compared column 2 is " + shortestText(std::strtod(value, nullptr)) + " on every row (40 rows)"),
                  std::string::npos)
            << f.text;
        EXPECT_EQ(f.text.find("slash"), std::string::npos) << f.text;
      }
    }
    EXPECT_TRUE(constant) << value;
  }
}

// A million rows: a map and a rounding, a placeholder every 1000th row and
// one genuine difference, found and confirmed on every row.
TEST_F(InTemporaryDirectory, MillionRows) {
  constexpr std::size_t kRows = 1000000;
  Random random{5};
  std::string a = "readings\n", b = "readings\n";
  for (int i = 0; i < 20; ++i) a += "header\n", b += "header\n";
  a.reserve(40 * kRows);
  b.reserve(40 * kRows);
  for (std::size_t i = 1; i <= kRows; ++i) {
    const double v = std::round((0.5 + 9.5 * random.next()) * 1e4) / 1e4;
    const std::string key = std::to_string(i) + " ";
    a += key + fixed(v, 4) + " 1\n";
    const std::string value = i % 1000 == 0 ? "0" : fixed(2.54 * v + 0.3 + (i == 500001 ? 100 : 0), 4);
    b += key + value + " 1\n";
  }
  const Explanation facts = explain(a, b);
  ASSERT_FALSE(facts.findings.empty());
  const Finding& first = facts.findings.front();
  ASSERT_EQ(first.kind, FindingKind::Relation) << first.text;
  const auto json = nlohmann::json::parse(report(facts, true));
  const auto& relation = json["findings"][0]["relation"];
  expectRelationJson(relation);
  EXPECT_EQ(relation["value_map"], nlohmann::json::parse(R"({"column": 2, "factor": 2.54, "offset": 0.3})"));
  EXPECT_EQ(relation["precision"], nlohmann::json::parse(R"({"decimals": 4})"));
  EXPECT_EQ(relation["holds"]["rows"], kRows - 1001);
  EXPECT_EQ(relation["exceptions"][0], 500001);
  ASSERT_EQ(relation["patterns"].size(), 1u) << relation["patterns"].dump();
  EXPECT_EQ(relation["patterns"][0], nlohmann::json::parse(R"({"pattern": "shared value", "rows": 1000, "first": 1000,
      "last": 1000000, "period": 1000, "value": 0, "per_row": null})"));
  EXPECT_NE(first.text.find("0 on every 1000th row from row 1000, a placeholder"), std::string::npos) << first.text;
  EXPECT_NE(first.text.find("row 500001 (line 500022, column 1 = 500001) differs beyond them"), std::string::npos)
      << first.text;
}

// A relation that holds on every row leaves exactly zero, and the rows it
// leaves are drawn at zero.
TEST_F(InTemporaryDirectory, ExactRelationLeavesExactlyZero) {
  const Explanation facts = explain(fileOf(kR100), fileOf(mapped(kR100, [](const Row& r) { return 0.001 * r.v[1] - 2.5; })), true);
  ASSERT_FALSE(facts.findings.empty());
  ASSERT_TRUE(facts.findings.front().relation);
  EXPECT_EQ(facts.findings.front().relation->residual, 0.0);
  EXPECT_TRUE(std::all_of(facts.residualSquares.begin(), facts.residualSquares.end(), [](double s) { return s == 0; }));
  EXPECT_NE(facts.findings.front().text.find("0.001 x the reference's - 2.5 on 100 of 100 rows; following it, the total "
                                             "would be 0 instead of"),
            std::string::npos)
      << facts.findings.front().text;
}

// The relation the manual page shows as JSON is the program's, on its pair.
TEST_F(InTemporaryDirectory, ManualPageRelationIsTheProgramsOwn) {
  std::ifstream page(EXPLAIN_PAGE);
  std::string line, dir, block;
  bool in = false;
  while (std::getline(page, line)) {
    if (line.starts_with(".\\\" relation-json ")) {
      dir = line.substr(std::string(".\\\" relation-json ").size());
    } else if (!dir.empty() && line == ".nf") {
      in = true;
    } else if (in && line == ".fi") {
      break;
    } else if (in) {
      block += line + "\n";
    }
  }
  ASSERT_FALSE(block.empty());
  const fs::path source = fs::path(EXPLAIN_PAGE).parent_path().parent_path() / dir;
  std::ifstream reference(source / "reference.dat"), compared(source / "compared.dat");
  const std::string a((std::istreambuf_iterator<char>(reference)), {}), b((std::istreambuf_iterator<char>(compared)), {});
  const auto json = nlohmann::json::parse(report(explain(a, b), true));
  EXPECT_EQ(json["findings"][0]["relation"], nlohmann::json::parse(block)) << json["findings"][0].dump(2);
}

}  // namespace
}  // namespace velmora::explain
