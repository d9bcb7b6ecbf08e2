// The comparison picture, read back with a real XML parser (expat): it must be
// well-formed whatever the squares, the total and the names hold; no coordinate
// may be NaN or infinite; each line keeps to its point budget and the file to
// its size bound on a million rows; each point is the largest square of its
// rows, placed where the picture's own axis labels say it should be.
#include "explain/plot.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velmora::explain::kMaxPlotPoints;
using velmora::explain::PlotData;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::string_view kResult = "   8.2500000000000000     ";

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  // character data, that of child elements included
};

struct ParsedSvg {
  bool wellFormed = false;
  std::string error;
  std::vector<Element> elements;  // in document order

  const Element* withAttribute(std::string_view attribute, std::string_view value) const {
    for (const Element& element : elements) {
      const auto found = element.attributes.find(std::string(attribute));
      if (found != element.attributes.end() && found->second == value) return &element;
    }
    return nullptr;
  }
  std::vector<const Element*> ofClass(std::string_view value) const {
    std::vector<const Element*> found;
    for (const Element& element : elements) {
      const auto it = element.attributes.find("class");
      if (it != element.attributes.end() && it->second == value) found.push_back(&element);
    }
    return found;
  }
};

struct ParseState {
  ParsedSvg* svg;
  std::vector<std::size_t> open;  // indexes of the elements not yet closed
};

ParsedSvg parseSvg(const std::string& text) {
  ParsedSvg svg;
  ParseState state{&svg, {}};
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        auto* parse = static_cast<ParseState*>(data);
        Element element{name, {}, {}};
        for (int i = 0; attributes[i] != nullptr; i += 2) element.attributes[attributes[i]] = attributes[i + 1];
        parse->open.push_back(parse->svg->elements.size());
        parse->svg->elements.push_back(std::move(element));
      },
      [](void* data, const XML_Char*) { static_cast<ParseState*>(data)->open.pop_back(); });
  XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* chars, int length) {
    auto* parse = static_cast<ParseState*>(data);
    for (const std::size_t index : parse->open)
      parse->svg->elements[index].text.append(chars, static_cast<std::size_t>(length));
  });
  svg.wellFormed = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  if (!svg.wellFormed)
    svg.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  return svg;
}

std::string render(const PlotData& data) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return {};
  EXPECT_TRUE(velmora::explain::writePlot(out, data));
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

PlotData plotOf(const std::vector<double>& squares, double total, std::string_view reference = "ref.dat",
                std::string_view compared = "run2.dat") {
  return {reference, compared, kResult, squares.data(), squares.size(), total, squares.size(), 0, {}, nullptr, {}};
}

double sumInRowOrder(const std::vector<double>& squares) {
  double sum = 0;
  for (const double square : squares) sum += square;
  return sum;
}

double parseNumber(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  EXPECT_TRUE(end != text.c_str() && *end == '\0') << "not a number: '" << text << "'";
  return value;
}

struct Point {
  double x, y;
};

// The points of a path's "M x y L x y ..." data.
std::vector<Point> pathPoints(const std::string& data) {
  std::vector<Point> points;
  const char* at = data.c_str();
  while (*at != '\0') {
    EXPECT_TRUE(*at == 'M' || *at == 'L') << "unexpected path command in " << data.substr(0, 80);
    char* end = nullptr;
    const double x = std::strtod(at + 1, &end);
    const double y = std::strtod(end, &end);
    points.push_back({x, y});
    at = end;
  }
  return points;
}

std::vector<Point> pointsOf(const ParsedSvg& svg, std::string_view id) {
  const Element* path = svg.withAttribute("id", id);
  return path == nullptr ? std::vector<Point>{} : pathPoints(path->attributes.at("d"));
}

// Every geometric attribute and every path coordinate is a finite number.
void expectFiniteGeometry(const ParsedSvg& svg) {
  for (const Element& element : svg.elements) {
    for (const auto& [name, value] : element.attributes) {
      if (name == "x" || name == "y" || name == "x1" || name == "y1" || name == "x2" || name == "y2" ||
          name == "cx" || name == "cy" || name == "dy") {
        EXPECT_TRUE(std::isfinite(parseNumber(value))) << element.name << ' ' << name << "=" << value;
      }
      if (name == "d") {
        for (const Point& point : pathPoints(value)) {
          EXPECT_TRUE(std::isfinite(point.x) && std::isfinite(point.y)) << value.substr(0, 80);
        }
      }
    }
  }
}

// The y of each labelled decade: "10" followed by its exponent, a minus sign
// written U+2212.
std::map<int, double> decadeTicks(const ParsedSvg& svg) {
  std::map<int, double> ticks;
  for (const Element* label : svg.ofClass("decade")) {
    std::string exponent = label->text.substr(2);
    if (exponent.rfind("\xE2\x88\x92", 0) == 0) exponent.replace(0, 3, "-");
    ticks[std::stoi(exponent)] = parseNumber(label->attributes.at("y")) - 4;  // the label sits 4 below
  }
  return ticks;
}

// The y of 10^decade on the logarithmic axis, read off its lowest and highest
// labels (the labels may skip decades).
double decadeY(const std::map<int, double>& ticks, int decade) {
  const auto& [lowDecade, lowY] = *ticks.begin();
  const auto& [highDecade, highY] = *ticks.rbegin();
  return lowY + (highY - lowY) * (decade - lowDecade) / (highDecade - lowDecade);
}

std::vector<std::string> notes(const ParsedSvg& svg) {
  std::vector<std::string> texts;
  for (const Element* note : svg.ofClass("note")) texts.push_back(note->text);
  return texts;
}

std::string grouped(std::size_t value) {
  std::string digits = std::to_string(value), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Whatever it is given, the picture is well-formed, its geometry finite, each
// line within its point budget, and what the lines cannot show is said in a
// note.
TEST(PlotCases, WellFormedFiniteAndSaidInWords) {
  const auto ramp = [](std::size_t rows) {
    std::vector<double> squares(rows);
    for (std::size_t i = 0; i < rows; ++i) squares[i] = static_cast<double>(i % 97) * 0.25;
    return squares;
  };
  struct Case {
    const char* what;
    std::function<std::vector<double>()> squares;
    std::function<double(const std::vector<double>&)> total;  // null: summed in row order
    const char* note;                                         // a note holding this, or "" for none
    bool shareDrawn;
  };
  const auto nanTotal = [](const std::vector<double>&) { return kNaN; };
  const auto infTotal = [](const std::vector<double>&) { return kInf; };
  const Case cases[] = {
      {"no rows", [] { return std::vector<double>{}; }, nullptr, "has no rows", false},
      {"one row, no difference", [] { return std::vector<double>{0.0}; }, nullptr, "total is zero", false},
      {"one row", [] { return std::vector<double>{6.25}; }, nullptr, "", true},
      {"every row the same", [] { return std::vector<double>(5, 4.0); }, nullptr, "", true},
      {"all zero, many rows", [] { return std::vector<double>(5000, 0.0); }, nullptr, "total is zero", false},
      {"negative zeros", [] { return std::vector<double>(3, -0.0); }, nullptr, "total is zero", false},
      {"exactly the point budget", [&] { return ramp(kMaxPlotPoints); }, nullptr, "", true},
      {"one row over the budget", [&] { return ramp(kMaxPlotPoints + 1); }, nullptr, "", true},
      {"an odd row count", [&] { return ramp(777'777); }, nullptr, "", true},
      {"a NaN square, NaN total", [] { return std::vector<double>{1, kNaN, 4}; }, nanTotal, "NaN square in 1 row (row 2)", false},
      {"NaN total only", [] { return std::vector<double>{1, 2, 4}; }, nanTotal, "The total is NaN", false},
      {"every square NaN", [] { return std::vector<double>(4000, kNaN); }, nanTotal, "NaN square in 4,000 rows", false},
      {"an infinite square", [] { return std::vector<double>{1, kInf, 4, kInf}; }, infTotal, "Infinite square in 2 rows (the first is row 2)", false},
      {"infinite total only", [] { return std::vector<double>{1, 2}; }, infTotal, "The total is infinite", false},
      {"subnormal and huge squares",
       [] { return std::vector<double>{4.9e-324, 0, 1.7976931348623157e308, 2.2e-308, 1}; }, nullptr, "", true},
      {"only subnormal squares", [] { return std::vector<double>{4.9e-324, 1e-320, 0}; }, nullptr, "", true},
      {"a zero total with squares (inconsistent)", [] { return std::vector<double>{1, 2}; },
       [](const std::vector<double>&) { return 0.0; }, "total is zero", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<double> squares = c.squares();
    const double total = c.total ? c.total(squares) : sumInRowOrder(squares);
    const ParsedSvg svg = parseSvg(render(plotOf(squares, total)));
    ASSERT_TRUE(svg.wellFormed) << svg.error;
    expectFiniteGeometry(svg);
    EXPECT_LE(pointsOf(svg, "squares").size(), kMaxPlotPoints);
    EXPECT_LE(pointsOf(svg, "cumulative").size(), kMaxPlotPoints);
    EXPECT_EQ(svg.withAttribute("id", "cumulative") != nullptr, c.shareDrawn);
    const std::vector<std::string> said = notes(svg);
    if (*c.note == '\0') {
      EXPECT_TRUE(said.empty()) << said.front();
    } else {
      bool found = false;
      for (const std::string& note : said) found = found || note.find(c.note) != std::string::npos;
      EXPECT_TRUE(found) << "no note holds '" << c.note << "'";
    }
    // The last row is always labelled, and the axis breaks above the zero squares.
    if (!squares.empty()) {
      bool lastLabelled = false;
      for (const Element* label : svg.ofClass("row")) lastLabelled = lastLabelled || label->text == grouped(squares.size());
      EXPECT_TRUE(lastLabelled) << "no label for row " << squares.size();
    }
    EXPECT_EQ(svg.ofClass("break").size(), 2u);
    // Every finite, non-NaN square above zero is drawn: one point per row up to the budget.
    if (squares.size() <= kMaxPlotPoints) {
      std::size_t drawable = 0;
      for (const double square : squares) drawable += std::isnan(square) ? 0 : 1;
      EXPECT_EQ(pointsOf(svg, "squares").size(), drawable);
    }
  }
}

// A million rows of small squares with a planted spike in each run of 500
// rows: every point of the squares line is its run's spike, at the height of
// the spike's decade label and at the spike's row on the row axis; the share
// line climbs to the 100% label. The file stays under 300 KB.
TEST(PlotMillionRows, EachPointIsItsRunsLargestSquare) {
  constexpr std::size_t kRows = 1'000'000;
  constexpr std::size_t kRun = kRows / kMaxPlotPoints;
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> small(0.0, 0.9);
  std::vector<double> squares(kRows);
  for (double& square : squares) square = random() % 4 == 0 ? 0.0 : small(random);
  std::vector<std::size_t> spikeRows;
  std::vector<int> spikeDecades;
  for (std::size_t run = 0; run < kMaxPlotPoints; ++run) {
    const std::size_t row = run * kRun + random() % kRun;  // 0-based
    const int decade = static_cast<int>(random() % 7);  // 10^0 .. 10^6, above every small square
    squares[row] = std::pow(10.0, decade);
    spikeRows.push_back(row + 1);
    spikeDecades.push_back(decade);
  }
  const std::string text = render(plotOf(squares, sumInRowOrder(squares)));
  EXPECT_LT(text.size(), 300u * 1024u);
  const ParsedSvg svg = parseSvg(text);
  ASSERT_TRUE(svg.wellFormed) << svg.error;

  const std::map<int, double> decades = decadeTicks(svg);
  ASSERT_GE(decades.size(), 2u);
  std::map<std::string, double> rowTicks;
  for (const Element* label : svg.ofClass("row")) rowTicks[label->text] = parseNumber(label->attributes.at("x"));
  ASSERT_TRUE(rowTicks.count("1") && rowTicks.count("1,000,000"));
  const double firstX = rowTicks["1"], lastX = rowTicks["1,000,000"];

  const std::vector<Point> points = pointsOf(svg, "squares");
  ASSERT_EQ(points.size(), kMaxPlotPoints);
  for (std::size_t i = 0; i < points.size(); ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    EXPECT_NEAR(points[i].y, decadeY(decades, spikeDecades[i]), 0.11);
    const double expectedX =
        firstX + (lastX - firstX) * static_cast<double>(spikeRows[i] - 1) / static_cast<double>(kRows - 1);
    EXPECT_NEAR(points[i].x, expectedX, 0.11);
  }

  // The axis is labelled above the largest square and below the smallest.
  double highestPoint = kInf, lowestPoint = -kInf;
  for (const Point& point : points) {
    highestPoint = std::min(highestPoint, point.y);
    lowestPoint = std::max(lowestPoint, point.y);
  }
  EXPECT_LE(decades.rbegin()->second, highestPoint + 0.11);
  EXPECT_GE(decades.begin()->second, lowestPoint - 0.11);

  // The share line steps up exactly where the spikes are: drawn over them, it
  // would hide them, so it comes first.
  const auto position = [&](std::string_view id) { return svg.withAttribute("id", id) - svg.elements.data(); };
  EXPECT_LT(position("cumulative"), position("squares"));

  const std::vector<Point> shares = pointsOf(svg, "cumulative");
  ASSERT_EQ(shares.size(), kMaxPlotPoints);
  for (std::size_t i = 1; i < shares.size(); ++i) {
    EXPECT_LE(shares[i].y, shares[i - 1].y) << "share fell at " << i;
  }
  double hundredPercentY = kNaN;
  for (const Element* label : svg.ofClass("percent"))
    if (label->text == "100%") hundredPercentY = parseNumber(label->attributes.at("y")) - 4;
  EXPECT_NEAR(shares.back().y, hundredPercentY, 0.11);
  EXPECT_NEAR(shares.back().x, lastX, 0.11);
}

// The marks tell the report's story: the rows without a reference row on a
// band that starts between the last row with one and the first without, the
// first difference on an upright line at its row, each label where no line
// of the picture crosses it (judged by the labels' own width estimate), and
// the findings as a caption, a long one wrapped and cut.
TEST(PlotMarks, BandFirstDifferenceLabelsAndCaption) {
  struct Case {
    const char* what;
    std::vector<double> squares;
    std::size_t referenceRows, firstDifference;
    std::vector<std::string> caption;
    double bandFrom;              // x where the band starts; NaN: no band
    std::size_t captionLines;
    const char* labelHas;         // a label holding this
    std::string firstCaptionLine = {};  // its text, where checked
  };
  const std::string longFinding = "out-of-step: " + std::string(400, 'x') + " tail";
  const Case cases[] = {
      {"every row has a reference", {0, 4, 1, 0}, 4, 2, {}, kNaN, 0, "first difference: row 2"},
      {"two rows without reference", {0, 4, 1, 9}, 2, 2, {"row-counts: a has 2 rows, b has 4"}, 505, 1,
       "rows 3 to 4: no reference row"},
      {"one row without reference", {1, 4, 1, 9, 100}, 4, 1, {}, 808.75, 0, "row 5: no reference row"},
      {"no reference at all", {1, 4}, 0, 1, {}, 100, 0, "rows 1 to 2: no reference row"},
      {"a NaN row is not the largest drawn", {1, kNaN, 4}, 3, 1, {}, kNaN, 0, "largest drawn: row 3"},
      {"a long finding is cut", {1, 4}, 2, 1, {longFinding, "largest: row 2 adds most"}, kNaN, 4, "largest: row 2, 80%"},
      // A finding's words are already shown: their escapes are not escaped again.
      {"a finding's escapes shown once", {1, 4}, 2, 1, {"same-file: a\\b\\x09 & <c> are the same file"}, kNaN, 1,
       "largest: row 2, 80%", "same-file: a\\b\\x09 & <c> are the same file"},
      {"many rows, a spike", [] {
         std::vector<double> squares(100000, 0.5);
         squares[4321] = 1e6;
         return squares;
       }(), 100000, 1, {}, kNaN, 0, "largest: row 4,322"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlotData data = plotOf(c.squares, sumInRowOrder(c.squares));
    data.referenceRows = c.referenceRows;
    data.firstDifference = c.firstDifference;
    data.caption = c.caption;
    const ParsedSvg svg = parseSvg(render(data));
    ASSERT_TRUE(svg.wellFormed) << svg.error;
    const Element* band = svg.withAttribute("id", "without-reference");
    EXPECT_EQ(band != nullptr, !std::isnan(c.bandFrom));
    if (band != nullptr) {
      EXPECT_NEAR(parseNumber(band->attributes.at("x")), c.bandFrom, 0.11);
    }
    const Element* line = svg.withAttribute("id", "first-difference");
    ASSERT_NE(line, nullptr);
    std::map<std::string, double> rowTicks;
    for (const Element* label : svg.ofClass("row")) rowTicks[label->text] = parseNumber(label->attributes.at("x"));
    if (rowTicks.count(grouped(c.firstDifference))) {
      EXPECT_NEAR(parseNumber(line->attributes.at("x1")), rowTicks[grouped(c.firstDifference)], 0.11);
    }
    // No line crosses a label: each label's box against every segment.
    std::vector<std::pair<Point, Point>> segments;
    for (const char* id : {"squares", "cumulative"}) {
      const std::vector<Point> points = pointsOf(svg, id);
      for (std::size_t i = 1; i < points.size(); ++i) segments.push_back({points[i - 1], points[i]});
    }
    const double x1 = parseNumber(line->attributes.at("x1"));
    segments.push_back({{x1, parseNumber(line->attributes.at("y1"))}, {x1, parseNumber(line->attributes.at("y2"))}});
    bool found = false;
    for (const Element* label : svg.ofClass("label")) {
      found = found || label->text.find(c.labelHas) != std::string::npos;
      const double x = parseNumber(label->attributes.at("x")), y = parseNumber(label->attributes.at("y"));
      const double width = static_cast<double>(label->text.size()) * 11 * 0.62;
      const bool start = label->attributes.at("text-anchor") == "start";
      const double left = start ? x : x - width, right = start ? x + width : x;
      const double top = y - 9, bottom = y + 3;
      for (const auto& [a, b] : segments) {
        // Sampled along the segment: no point of it lies in the label's box.
        for (int k = 0; k <= 200; ++k) {
          const double px = a.x + (b.x - a.x) * k / 200, py = a.y + (b.y - a.y) * k / 200;
          EXPECT_FALSE(px > left && px < right && py > top && py < bottom)
              << "'" << label->text << "' crossed at " << px << "," << py;
          if (px > left && px < right && py > top && py < bottom) break;
        }
      }
    }
    EXPECT_TRUE(found) << "no label holds '" << c.labelHas << "'";
    const std::vector<const Element*> caption = svg.ofClass("caption");
    ASSERT_EQ(caption.size(), c.captionLines);
    if (!c.firstCaptionLine.empty()) {
      EXPECT_EQ(caption[0]->text, c.firstCaptionLine);
    }
    if (c.captionLines == 4) {
      EXPECT_EQ(caption[2]->text.substr(caption[2]->text.size() - 3), "\xE2\x80\xA6");
      EXPECT_EQ(caption[3]->text, "largest: row 2 adds most");
    }
  }
}

// Over a few decades, 2 and 5 times each power of ten are labelled, at
// their place on the scale the decade labels set.
TEST(PlotMarks, FewDecadesLabelTwoAndFiveTimes) {
  const std::vector<double> squares{3906.25, 15625, 0};
  const ParsedSvg svg = parseSvg(render(plotOf(squares, sumInRowOrder(squares))));
  ASSERT_TRUE(svg.wellFormed) << svg.error;
  const std::map<int, double> decades = decadeTicks(svg);
  ASSERT_EQ(decades.size(), 3u);  // 10^3, 10^4, 10^5
  const std::vector<const Element*> labels = svg.ofClass("subdecade");
  ASSERT_EQ(labels.size(), 4u);
  const double expected[] = {3 + std::log10(2.0), 3 + std::log10(5.0), 4 + std::log10(2.0), 4 + std::log10(5.0)};
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const double y = parseNumber(labels[i]->attributes.at("y")) - 4;
    const double low = decades.begin()->second, high = decades.rbegin()->second;
    EXPECT_NEAR(y, low + (high - low) * (expected[i] - 3) / 2, 0.11) << labels[i]->text;
  }
}

// Names are bytes. What the picture shows for each: XML's special characters
// as themselves, valid UTF-8 as itself, and control characters, backslashes
// and bytes that are not valid UTF-8 as escapes, so the file always parses.
TEST(PlotNames, AnyBytesAreShownAsText) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view name;
    std::string_view shown;
  };
  const Case cases[] = {
      {"a<b&c>\"d'e]]>", "a<b&c>\"d'e]]>"},
      {"tab\there\r\n", "tab\\x09here\\x0d\\x0a"},
      {"nul\0byte"sv, "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x98\x80"},
      {"latin1 caf\xe9", "latin1 caf\\xe9"},
      {"\xff\xfe", "\\xff\\xfe"},
      {"overlong \xc0\x80 \xe0\x80\xaf", "overlong \\xc0\\x80 \\xe0\\x80\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF \\xf4\\x90\\x80\\x80"},
      {"nonchar \xef\xbf\xbe\xef\xbf\xbf", "nonchar \\xef\\xbf\\xbe\\xef\\xbf\\xbf"},
      {"C1 \xc2\x85", "C1 \\xc2\\x85"},
      {"cut short \xe2\x82", "cut short \\xe2\\x82"},
      {"lone \x80 continuation", "lone \\x80 continuation"},
      {"", ""},
  };
  const std::vector<double> squares{0, 1, 4};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.shown));
    const std::string text = render(plotOf(squares, 5, c.name, c.name));
    const ParsedSvg svg = parseSvg(text);
    ASSERT_TRUE(svg.wellFormed) << svg.error;
    const Element* reference = svg.withAttribute("id", "reference-name");
    const Element* compared = svg.withAttribute("id", "compared-name");
    ASSERT_TRUE(reference != nullptr && compared != nullptr);
    EXPECT_EQ(reference->text, "reference: " + std::string(c.shown));
    EXPECT_EQ(compared->text, "compared: " + std::string(c.shown));
    ASSERT_EQ(svg.elements[1].name, "title");
    EXPECT_NE(svg.elements[1].text.find(std::string(c.shown)), std::string::npos);
  }
}

// Seeded random names (any bytes, with UTF-8 lead and continuation bytes
// common) and random squares (zero, NaN, infinite, subnormal, huge): every
// picture parses, and its geometry stays finite.
TEST(PlotNames, RandomBytesAndSquaresAlwaysParse) {
  std::mt19937_64 random(9);
  const double specials[] = {0.0, kNaN, kInf, 4.9e-324, 1.7976931348623157e308, 1e-300, 1.0, 2.5e7};
  const unsigned char favoured[] = {0x00, 0x0a, 0x1f, 0x26, 0x3c, 0x5c, 0x7f, 0x80, 0xbf, 0xc2,
                                    0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xff};
  for (int round = 0; round < 300; ++round) {
    std::string names[2];
    for (std::string& name : names) {
      const std::size_t length = random() % 40;
      for (std::size_t i = 0; i < length; ++i)
        name += static_cast<char>(random() % 2 == 0 ? favoured[random() % sizeof favoured] : random() % 256);
    }
    std::vector<double> squares(random() % 3000);
    for (double& square : squares) square = specials[random() % std::size(specials)];
    const ParsedSvg svg = parseSvg(render(plotOf(squares, specials[random() % std::size(specials)],
                                                 names[0], names[1])));
    ASSERT_TRUE(svg.wellFormed) << "round " << round << ": " << svg.error;
    expectFiniteGeometry(svg);
  }
}

// A name of thousands of bytes is cut with an ellipsis rather than running
// far out of the picture.
TEST(PlotNames, LongNamesAreCut) {
  const std::string longName(4096, '\x01');
  const std::vector<double> squares{1};
  const ParsedSvg svg = parseSvg(render(plotOf(squares, 1, longName, "short")));
  ASSERT_TRUE(svg.wellFormed) << svg.error;
  const std::string shown = svg.withAttribute("id", "reference-name")->text;
  EXPECT_LT(shown.size(), 200u);
  EXPECT_EQ(shown.substr(shown.size() - 3), "\xE2\x80\xA6");
  EXPECT_EQ(svg.withAttribute("id", "compared-name")->text, "compared: short");
}

// A write that fails is reported, with errno telling why.
TEST(PlotWrite, FullDeviceIsReported) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  const std::vector<double> squares(10, 1.0);
  errno = 0;
  EXPECT_FALSE(velmora::explain::writePlot(full, plotOf(squares, 10)));
  EXPECT_EQ(errno, ENOSPC);
  std::fclose(full);
}

}  // namespace
