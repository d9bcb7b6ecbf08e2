#include "explain/plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "companion/companion.h"
#include "comparison/comparison.h"

namespace velmora::explain {

using namespace velmora::companion;

namespace {

// The canvas, in SVG user units (pixels at 100% zoom).
constexpr double kWidth = 1000;
constexpr double kPlotLeft = 100;
constexpr double kPlotRight = 910;
constexpr double kPlotTop = 104;
constexpr double kPlotBottom = 484;  // the baseline: rows that do not differ
// The logarithmic scale stops short of the baseline, so a zero square stands
// apart from the smallest non-zero one, with a break in the axis between
// them, and short of the top, which holds the infinite squares.
constexpr double kLogBottom = kPlotBottom - 30;
constexpr double kBreakTop = kLogBottom + 8;
constexpr double kBreakBottom = kPlotBottom - 8;
constexpr double kLogTop = kPlotTop + 22;
constexpr double kInfinityY = kPlotTop;
constexpr double kLineHeight = 18;

// A shown name is cut after this many characters (an escaped byte counts
// four), so that it stays inside the picture.
constexpr std::size_t kMaxShownName = 110;

// At most this many labelled decades on the logarithmic axis, and about this
// many labelled rows on the row axis.
constexpr int kMaxDecadeTicks = 12;
// The decades of the smallest subnormal and of the largest finite double.
constexpr int kLowestDecade = -324;
constexpr int kHighestDecade = 309;
// Up to this many decades, the logarithmic axis has ticks between them too,
// and up to kMaxSubdecadeLabels decades, 2 and 5 times each power of ten are
// labelled.
constexpr int kMaxMinorTickedDecades = 4;
constexpr int kMaxSubdecadeLabels = 3;
// A row label closer than this to the last row's label is left out.
constexpr double kRowLabelGap = 45;
// Up to this many rows, each row's point is also marked with a dot.
constexpr std::size_t kMaxDottedRows = 60;
constexpr double kRowTicks = 6;

const char kSquaresColour[] = "#1f5fa8";
const char kShareColour[] = "#d9480f";
const char kGridColour[] = "#e3e3e3";
const char kMarkColour[] = "#2b8a3e";
const char kResidualColour[] = "#8e24aa";
const char kLabelFontSize[] = "11";
constexpr double kLabelFont = 11;
// The width of a character of the labels, as a share of the font size (the
// sans-serif fonts' digits and letters, a little generously).
constexpr double kCharacterWidth = 0.62;
// The caption: characters a line holds, and lines a finding may take.
constexpr std::size_t kCaptionLineLength = 135;
constexpr std::size_t kCaptionLinesPerFinding = 3;

struct Point {
  double x, y;
};

struct Box {
  double left, top, right, bottom;
};

// Whether the segment from a to b passes through the box (Liang-Barsky
// clipping: what remains of the segment inside the box is not empty).
bool segmentMeetsBox(Point a, Point b, const Box& box) {
  double enter = 0, leave = 1;
  const auto clip = [&](double p, double q) {
    if (p == 0) return q >= 0;
    const double t = q / p;
    if (p < 0) {
      if (t > leave) return false;
      enter = std::max(enter, t);
    } else {
      if (t < enter) return false;
      leave = std::min(leave, t);
    }
    return true;
  };
  const double dx = b.x - a.x, dy = b.y - a.y;
  return clip(-dx, a.x - box.left) && clip(dx, box.right - a.x) && clip(-dy, a.y - box.top) &&
         clip(dy, box.bottom - a.y);
}

bool boxesMeet(const Box& a, const Box& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// The words of `text` in lines of at most `length` bytes (a longer word is
// cut), at most `maxLines` of them, the last ending in an ellipsis when
// words are left over.
std::vector<std::string_view> wrapWords(std::string_view text, std::size_t length, std::size_t maxLines) {
  std::vector<std::string_view> lines;
  while (!text.empty() && lines.size() < maxLines) {
    if (text.size() <= length) {
      lines.push_back(text);
      return lines;
    }
    std::size_t cut = text.rfind(' ', length);
    if (cut == std::string_view::npos || cut == 0) cut = length;
    lines.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  }
  if (!text.empty()) lines.push_back({});  // marks the cut
  return lines;
}

void appendNumber(std::string& out, double value) {
  // Coordinates come from data: a value no scale can place is drawn at 0.
  if (!std::isfinite(value)) value = 0;
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::fixed, 1);
  out.append(buffer, result.ptr);
}

// ` name="value"`, the value a coordinate.
void appendAttribute(std::string& out, const char* name, double value) {
  out += ' ';
  out += name;
  out += "=\"";
  appendNumber(out, value);
  out += '"';
}

void appendInteger(std::string& out, long long value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// 1234567 -> "1,234,567": row numbers up to a million read at a glance.
void appendGrouped(std::string& out, std::size_t value) {
  const std::string digits = std::to_string(value);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
}

// Bytes as XML character data, cut after `maxShown` shown characters.
void appendText(std::string& out, std::string_view text, std::size_t maxShown) {
  appendEscaped(out, text, Escape::Xml, maxShown);
}

// x of a row number, 1 to `rows`; a single row stands in the middle.
double rowX(std::size_t row, std::size_t rows) {
  if (rows <= 1) return (kPlotLeft + kPlotRight) / 2;
  return kPlotLeft + (kPlotRight - kPlotLeft) * static_cast<double>(row - 1) /
                         static_cast<double>(rows - 1);
}

// The logarithmic axis: whole decades from 10^low to 10^high, around the
// smallest and the largest square; the decades that are multiples of `step`
// are labelled.
struct LogScale {
  int low = 0;
  int high = 1;
  int step = 1;

  double y(double square) const {
    if (std::isnan(square)) return kPlotBottom;
    if (square <= 0) return kPlotBottom;
    if (std::isinf(square)) return kInfinityY;
    const double fraction = (std::log10(square) - low) / (high - low);
    return kLogBottom - (kLogBottom - kLogTop) * std::clamp(fraction, 0.0, 1.0);
  }
};

int floorToMultiple(int value, int step) {
  int quotient = value / step;
  if (value % step != 0 && value < 0) --quotient;
  return quotient * step;
}

LogScale makeLogScale(const double* squares, const double* residual, std::size_t rows) {
  double smallest = HUGE_VAL;
  double largest = 0;
  for (const double* values : {squares, residual}) {
    for (std::size_t i = 0; values != nullptr && i < rows; ++i) {
      const double square = values[i];
      if (square > 0 && square < HUGE_VAL) {
        smallest = std::min(smallest, square);
        largest = std::max(largest, square);
      }
    }
  }
  LogScale scale;
  if (largest == 0) return scale;  // nothing finite above zero: a token decade
  // log10 of a double lies within [-324, 309]: the int conversions are exact.
  scale.low = static_cast<int>(std::floor(std::log10(smallest)));
  scale.high = static_cast<int>(std::ceil(std::log10(largest)));
  if (scale.high <= scale.low) scale.high = scale.low + 1;
  for (const int step : {1, 2, 5, 10, 20, 50, 100, 200}) {
    scale.step = step;
    if ((scale.high - scale.low + step - 1) / step <= kMaxDecadeTicks) break;
  }
  // Both ends on a labelled decade, unless that would label a power of ten
  // no double reaches.
  const int roundedLow = floorToMultiple(scale.low, scale.step);
  const int roundedHigh = -floorToMultiple(-scale.high, scale.step);
  if (roundedLow >= kLowestDecade) scale.low = roundedLow;
  if (roundedHigh <= kHighestDecade) scale.high = roundedHigh;
  return scale;
}

// The step between labelled rows: 1, 2 or 5 times a power of ten.
std::size_t rowTickStep(std::size_t rows) {
  const double wanted = static_cast<double>(rows - 1) / kRowTicks;
  std::size_t step = 1;
  for (;;) {
    for (const std::size_t factor : {1u, 2u, 5u})
      if (static_cast<double>(step * factor) >= wanted) return step * factor;
    step *= 10;
  }
}

void appendLine(std::string& out, double x1, double y1, double x2, double y2, const char* colour,
                const char* extra = "") {
  out += "<line";
  appendAttribute(out, "x1", x1);
  appendAttribute(out, "y1", y1);
  appendAttribute(out, "x2", x2);
  appendAttribute(out, "y2", y2);
  out += " stroke=\"";
  out += colour;
  out += '"';
  out += extra;
  out += "/>\n";
}

void openText(std::string& out, double x, double y, const char* anchor, const char* extra = "") {
  out += "<text";
  appendAttribute(out, "x", x);
  appendAttribute(out, "y", y);
  out += " text-anchor=\"";
  out += anchor;
  out += '"';
  out += extra;
  out += '>';
}

// One point of a line: the largest square of a run of rows, at the row that
// holds it, or nothing when every square of the run is NaN.
struct RunPeak {
  std::size_t row = 0;  // 1-based
  double square = 0;
  bool allNaN = true;
  bool someNaN = false;  // a NaN square, not drawn, was passed over
};

RunPeak findPeak(const double* squares, std::size_t first, std::size_t end) {
  RunPeak peak;
  peak.row = first + 1;
  for (std::size_t i = first; i < end; ++i) {
    const double square = squares[i];
    if (std::isnan(square)) {
      peak.someNaN = true;
      continue;
    }
    if (peak.allNaN || square > peak.square) {
      peak.row = i + 1;
      peak.square = square;
      peak.allNaN = false;
    }
  }
  return peak;
}

// Rows [runStart(k), runStart(k + 1)) form run k of `runs`.
std::size_t runStart(std::size_t run, std::size_t rows, std::size_t runs) {
  return static_cast<std::size_t>(static_cast<unsigned long long>(run) * rows / runs);
}

class SvgPicture {
 public:
  explicit SvgPicture(const PlotData& data) : data_(data) {
    runs_ = std::min(data_.rows, kMaxPlotPoints);
    if (data_.rows != 0) scale_ = makeLogScale(data_.squares, data_.residual, data_.rows);
    shareDrawn_ = data_.rows != 0 && std::isfinite(data_.total) && data_.total > 0;
    withoutReference_ = data_.rows > data_.referenceRows;
    firstDifference_ = data_.firstDifference >= 1 && data_.firstDifference <= data_.rows;
  }

  std::string render() {
    collectNotes();
    collectCaption();
    computeLines();
    const double height = kPlotBottom + 82 + kLineHeight * static_cast<double>(notes_.size() + (data_.residual ? 1 : 0)) +
                          (caption_.empty() ? 0 : kLineHeight * (0.5 + static_cast<double>(caption_.size())));
    out_.reserve(16384 + 2 * 16 * runs_);
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\"";
    appendAttribute(out_, "width", kWidth);
    appendAttribute(out_, "height", height);
    out_ += " viewBox=\"0 0 ";
    appendNumber(out_, kWidth);
    out_ += ' ';
    appendNumber(out_, height);
    out_ += "\" font-family=\"DejaVu Sans, Verdana, Arial, sans-serif\" font-size=\"12\">\n";
    out_ += "<title>";
    appendText(out_, data_.referenceName, kMaxShownName);
    out_ += " vs ";
    appendText(out_, data_.comparedName, kMaxShownName);
    out_ += ": ";
    appendText(out_, resultLineNumber(data_.resultLine), kMaxShownName);
    out_ += "</title>\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    writeHeading();
    writeWithoutReferenceBand();
    writeRowAxis();
    writeSquareAxis();
    writeShareAxis();
    // The share line goes under the squares: its steps stand exactly where
    // the large squares are, and would hide them.
    writeShares();
    writeSquares();
    writeResidual();
    writeFirstDifferenceLine();
    // Labels last, each where no line and no other label is.
    writeLargest();
    writeFirstDifferenceLabel();
    writeWithoutReferenceLabel();
    writeFooter();
    out_ += "</svg>\n";
    return std::move(out_);
  }

 private:
  void writeHeading() {
    openText(out_, 20, 28, "start", " font-size=\"17\" font-weight=\"bold\"");
    out_ += "velmora-explain: where the total comes from</text>\n";
    openText(out_, 20, 52, "start", " id=\"reference-name\"");
    out_ += "reference: ";
    appendText(out_, data_.referenceName, kMaxShownName);
    out_ += "</text>\n";
    openText(out_, 20, 70, "start", " id=\"compared-name\"");
    out_ += "compared: ";
    appendText(out_, data_.comparedName, kMaxShownName);
    out_ += "</text>\n";
    openText(out_, 20, 88, "start", " id=\"result\"");
    out_ += "result: <tspan font-family=\"DejaVu Sans Mono, monospace\">";
    appendText(out_, resultLineNumber(data_.resultLine), kMaxShownName);
    out_ += "</tspan></text>\n";
  }

  // Where the rows without a reference row start: halfway between the last
  // row with one and the first without.
  double withoutReferenceX() const {
    if (data_.referenceRows == 0) return kPlotLeft;
    if (data_.rows == 1) return kPlotLeft;
    return (rowX(data_.referenceRows, data_.rows) + rowX(data_.referenceRows + 1, data_.rows)) / 2;
  }

  // The rows the reference lacks lie on a hatched band.
  void writeWithoutReferenceBand() {
    if (!withoutReference_) return;
    out_ += "<defs><pattern id=\"hatch\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
            "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#f6f6f6\"/>"
            "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" stroke=\"#d8d8d8\" stroke-width=\"3\"/></pattern></defs>\n";
    const double left = withoutReferenceX();
    out_ += "<rect id=\"without-reference\"";
    appendAttribute(out_, "x", left);
    appendAttribute(out_, "y", kPlotTop);
    appendAttribute(out_, "width", kPlotRight - left);
    appendAttribute(out_, "height", kPlotBottom - kPlotTop);
    out_ += " fill=\"url(#hatch)\"/>\n";
  }

  void writeWithoutReferenceLabel() {
    if (!withoutReference_) return;
    std::string text = data_.referenceRows + 1 == data_.rows ? "row " : "rows ";
    appendGrouped(text, data_.referenceRows + 1);
    if (data_.referenceRows + 1 != data_.rows) {
      text += " to ";
      appendGrouped(text, data_.rows);
    }
    text += ": no reference row";
    placeLabel({withoutReferenceX(), kPlotTop + 12}, text, "without-reference-label", "#555555", false);
  }

  void writeRowAxis() {
    out_ += "<g id=\"row-axis\">\n";
    appendLine(out_, kPlotLeft, kPlotBottom, kPlotRight, kPlotBottom, "black");
    const std::size_t rows = data_.rows;
    if (rows == 0) return closeRowAxis();
    const std::size_t step = rowTickStep(rows);
    std::vector<std::size_t> labelled;
    // Row 1 is labelled unless the first multiple of the step crowds it.
    if (step == 1 || step > rows || rowX(step, rows) - rowX(1, rows) > kRowLabelGap) labelled.push_back(1);
    for (std::size_t row = step == 1 ? 2 : step; row <= rows; row += step) labelled.push_back(row);
    // The last row is always labelled; a label that would crowd it goes.
    if (labelled.back() != rows) {
      if (labelled.size() > 1 && rowX(rows, rows) - rowX(labelled.back(), rows) < kRowLabelGap) labelled.pop_back();
      labelled.push_back(rows);
    }
    for (const std::size_t row : labelled) {
      const double x = rowX(row, rows);
      appendLine(out_, x, kPlotBottom, x, kPlotBottom + 5, "black");
      openText(out_, x, kPlotBottom + 19, "middle", " class=\"row\"");
      appendGrouped(out_, row);
      out_ += "</text>\n";
    }
    closeRowAxis();
  }

  void closeRowAxis() {
    openText(out_, (kPlotLeft + kPlotRight) / 2, kPlotBottom + 40, "middle");
    out_ += "row of the compared file</text>\n</g>\n";
  }

  double decadeY(double decade) const {
    return kLogBottom - (kLogBottom - kLogTop) * (decade - scale_.low) / (scale_.high - scale_.low);
  }

  void writeSquareAxis() {
    out_ += "<g id=\"square-axis\">\n";
    // The axis breaks between the logarithmic scale and the baseline, where
    // the zero squares lie: no scale reaches zero.
    appendLine(out_, kPlotLeft, kPlotTop, kPlotLeft, kBreakTop, "black");
    appendLine(out_, kPlotLeft, kBreakBottom, kPlotLeft, kPlotBottom, "black");
    for (const double y : {kBreakTop + 1, kBreakBottom - 1}) {
      appendLine(out_, kPlotLeft - 6, y + 3, kPlotLeft + 6, y - 3, "black", " class=\"break\"");
    }
    const int firstLabelled = -floorToMultiple(-scale_.low, scale_.step);
    for (int decade = firstLabelled; decade <= scale_.high; decade += scale_.step) {
      // Placed by its exponent: 10^309 and 10^-324 are out of a double's range.
      const double tickY = decadeY(decade);
      appendLine(out_, kPlotLeft, tickY, kPlotRight, tickY, kGridColour);
      appendLine(out_, kPlotLeft - 5, tickY, kPlotLeft, tickY, "black");
      openText(out_, kPlotLeft - 8, tickY + 4, "end", " class=\"decade\"");
      appendPowerOfTen(decade);
      out_ += "</text>\n";
    }
    // Between labelled decades far apart, a short tick at each decade.
    if (scale_.step > 1) {
      for (int decade = scale_.low; decade <= scale_.high; ++decade) {
        if (decade % scale_.step == 0) continue;
        appendLine(out_, kPlotLeft - 3, decadeY(decade), kPlotLeft, decadeY(decade), "black");
      }
    }
    // Over a few decades, short ticks at 2 to 9 times each power of ten let a
    // value be read between the labels; over fewer, 2 and 5 times are labelled.
    const int decades = scale_.high - scale_.low;
    if (scale_.step == 1 && decades <= kMaxMinorTickedDecades) {
      for (int decade = scale_.low; decade < scale_.high; ++decade) {
        for (int multiple = 2; multiple <= 9; ++multiple) {
          const double tickY = decadeY(decade + std::log10(multiple));
          const bool labelled = decades <= kMaxSubdecadeLabels && (multiple == 2 || multiple == 5);
          appendLine(out_, kPlotLeft - (labelled ? 5 : 3), tickY, kPlotLeft, tickY, "black");
          if (!labelled) continue;
          appendLine(out_, kPlotLeft, tickY, kPlotRight, tickY, kGridColour, " stroke-dasharray=\"2 3\"");
          openText(out_, kPlotLeft - 8, tickY + 4, "end", " class=\"subdecade\" font-size=\"10\"");
          appendInteger(out_, multiple);
          out_ += "\xC3\x97";  // a multiplication sign
          appendPowerOfTen(decade);
          out_ += "</text>\n";
        }
      }
    }
    appendLine(out_, kPlotLeft - 5, kPlotBottom, kPlotLeft, kPlotBottom, "black");
    openText(out_, kPlotLeft - 8, kPlotBottom + 4, "end", " class=\"zero\"");
    out_ += "0</text>\n";
    if (infiniteCount_ != 0) {
      appendLine(out_, kPlotLeft - 5, kInfinityY, kPlotLeft, kInfinityY, "black");
      openText(out_, kPlotLeft - 8, kInfinityY + 4, "end");
      out_ += "\xE2\x88\x9E</text>\n";  // the infinity sign
    }
    openRotatedText(24, -90);
    out_ += "square of the scaled difference</text>\n</g>\n";
  }

  // "10" and the exponent raised, a minus sign written U+2212.
  void appendPowerOfTen(int decade) {
    out_ += "10<tspan dy=\"-6\" font-size=\"9\">";
    if (decade < 0) out_ += "\xE2\x88\x92";
    appendInteger(out_, std::abs(decade));
    out_ += "</tspan>";
  }

  void writeShareAxis() {
    out_ += "<g id=\"share-axis\">\n";
    appendLine(out_, kPlotRight, kPlotTop, kPlotRight, kPlotBottom, "black");
    for (int percent = 0; percent <= 100; percent += 20) {
      const double y = shareY(percent / 100.0);
      appendLine(out_, kPlotRight, y, kPlotRight + 5, y, kShareColour);
      openText(out_, kPlotRight + 8, y + 4, "start", " class=\"percent\"");
      appendInteger(out_, percent);
      out_ += "%</text>\n";
    }
    openRotatedText(kWidth - 22, 90);
    out_ += "cumulative share of the total</text>\n</g>\n";
  }

  // An axis title written along the axis, centred on the plot's height.
  void openRotatedText(double x, int degrees) {
    const double y = (kPlotTop + kPlotBottom) / 2;
    std::string rotation = " transform=\"rotate(";
    appendInteger(rotation, degrees);
    rotation += ' ';
    appendNumber(rotation, x);
    rotation += ' ';
    appendNumber(rotation, y);
    rotation += ")\"";
    openText(out_, x, y, "middle", rotation.c_str());
  }

  static double shareY(double share) {
    return kLogBottom - (kLogBottom - kLogTop) * std::clamp(share, 0.0, 1.0);
  }

  // Both lines' points, computed once: they are drawn, and the labels keep
  // clear of them.
  void computeLines() {
    for (std::size_t run = 0; run < runs_; ++run) {
      const RunPeak peak = findPeak(data_.squares, runStart(run, data_.rows, runs_),
                                    runStart(run + 1, data_.rows, runs_));
      if (peak.allNaN) {
        penDown_ = false;  // the line breaks where nothing can be drawn
        continue;
      }
      squarePoints_.push_back({rowX(peak.row, data_.rows), scale_.y(peak.square)});
      squareRows_.push_back(peak.row);
      squareStartsRun_.push_back(!penDown_);
      penDown_ = true;
    }
    if (!shareDrawn_) return;
    double sum = 0;
    std::size_t row = 0;
    for (std::size_t run = 0; run < runs_; ++run) {
      const std::size_t end = runStart(run + 1, data_.rows, runs_);
      for (; row < end; ++row) sum += data_.squares[row];
      const double share = sum / data_.total;
      sharePoints_.push_back({rowX(end, data_.rows), shareY(std::isfinite(share) ? share : 0.0)});
    }
  }

  void writeSquares() {
    out_ += "<path id=\"squares\" fill=\"none\" stroke=\"";
    out_ += kSquaresColour;
    out_ += "\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"";
    for (std::size_t i = 0; i < squarePoints_.size(); ++i) {
      out_ += squareStartsRun_[i] ? 'M' : 'L';
      appendNumber(out_, squarePoints_[i].x);
      out_ += ' ';
      appendNumber(out_, squarePoints_[i].y);
    }
    out_ += "\"/>\n";
    if (data_.rows > kMaxDottedRows || squarePoints_.empty()) return;
    // A row without a reference row is an open dot.
    out_ += "<g fill=\"";
    out_ += kSquaresColour;
    out_ += "\" stroke=\"";
    out_ += kSquaresColour;
    out_ += "\">\n";
    for (std::size_t i = 0; i < squarePoints_.size(); ++i) {
      out_ += "<circle";
      appendAttribute(out_, "cx", squarePoints_[i].x);
      appendAttribute(out_, "cy", squarePoints_[i].y);
      out_ += squareRows_[i] > data_.referenceRows ? " r=\"3\" fill=\"white\"/>\n" : " r=\"2.5\"/>\n";
    }
    out_ += "</g>\n";
  }

  // The residual after the first relation: each run's largest, as the squares.
  void writeResidual() {
    if (data_.residual == nullptr || data_.rows == 0) return;
    out_ += "<path id=\"residual\" fill=\"none\" stroke=\"";
    out_ += kResidualColour;
    out_ += "\" stroke-width=\"1\" stroke-dasharray=\"4 2\" d=\"";
    bool down = false;
    for (std::size_t run = 0; run < runs_; ++run) {
      const RunPeak peak = findPeak(data_.residual, runStart(run, data_.rows, runs_), runStart(run + 1, data_.rows, runs_));
      if (peak.allNaN) {
        down = false;
        continue;
      }
      out_ += down ? 'L' : 'M';
      appendNumber(out_, rowX(peak.row, data_.rows));
      out_ += ' ';
      appendNumber(out_, scale_.y(peak.square));
      down = true;
    }
    out_ += "\"/>\n";
  }

  // The share after the last row of each run, summed in row order as the
  // total is.
  void writeShares() {
    if (!shareDrawn_) return;
    out_ += "<path id=\"cumulative\" fill=\"none\" stroke=\"";
    out_ += kShareColour;
    out_ += "\" stroke-width=\"1.5\" d=\"";
    for (std::size_t i = 0; i < sharePoints_.size(); ++i) {
      out_ += i == 0 ? 'M' : 'L';
      appendNumber(out_, sharePoints_[i].x);
      out_ += ' ';
      appendNumber(out_, sharePoints_[i].y);
    }
    out_ += "\"/>\n";
  }

  void writeFirstDifferenceLine() {
    if (!firstDifference_) return;
    const double x = rowX(data_.firstDifference, data_.rows);
    appendLine(out_, x, kPlotTop, x, kPlotBottom, kMarkColour,
               " id=\"first-difference\" stroke-width=\"1.5\" stroke-dasharray=\"5 4\"");
    marks_.push_back({{x, kPlotTop}, {x, kPlotBottom}});
  }

  void writeFirstDifferenceLabel() {
    if (!firstDifference_) return;
    std::string text = "first difference: row ";
    appendGrouped(text, data_.firstDifference);
    placeLabel({rowX(data_.firstDifference, data_.rows), kPlotTop + 12}, text, "first-difference-label",
               kMarkColour, false);
  }

  void writeLargest() {
    if (data_.rows == 0) return;
    const RunPeak peak = findPeak(data_.squares, 0, data_.rows);
    if (peak.allNaN || !(peak.square > 0)) return;
    const double x = rowX(peak.row, data_.rows);
    const double y = scale_.y(peak.square);
    out_ += "<circle id=\"largest\"";
    appendAttribute(out_, "cx", x);
    appendAttribute(out_, "cy", y);
    out_ += " r=\"4\" fill=\"none\" stroke=\"black\"/>\n";
    // Beside a NaN square, which is not drawn, this is the largest drawn one,
    // not the row the report names as adding most.
    std::string text = peak.someNaN ? "largest drawn: row " : "largest: row ";
    appendGrouped(text, peak.row);
    // A total that holds this square gives a share up to 1; any other (an
    // infinite square over a finite total) is not a share and is left out.
    const double share = peak.square / data_.total;
    if (shareDrawn_ && share >= 0 && share <= 1) {
      // As the report writes a share: four digits, and a share too small
      // for two decimals as such.
      text += ", ";
      if (share > 0 && share * 100 < 0.01) {
        text += "< 0.01";
      } else {
        char digits[32];
        const auto result =
            std::to_chars(digits, digits + sizeof digits, share * 100, std::chars_format::general, 4);
        text.append(digits, result.ptr);
      }
      text += '%';
    }
    placeLabel({x, y}, text, "largest-label", "black", true);
  }

  // Whether any line, mark or label drawn so far passes through the box.
  std::size_t crossings(const Box& box) const {
    std::size_t count = 0;
    for (std::size_t i = 1; i < squarePoints_.size(); ++i) {
      if (!squareStartsRun_[i] && segmentMeetsBox(squarePoints_[i - 1], squarePoints_[i], box)) ++count;
    }
    for (const Point& point : squarePoints_) {
      if (segmentMeetsBox(point, point, box)) ++count;
    }
    for (std::size_t i = 1; i < sharePoints_.size(); ++i) {
      if (segmentMeetsBox(sharePoints_[i - 1], sharePoints_[i], box)) ++count;
    }
    for (const auto& [from, to] : marks_) count += segmentMeetsBox(from, to, box) ? 1 : 0;
    for (const Box& label : labels_) count += boxesMeet(label, box) ? 1 : 0;
    return count;
  }

  // Writes a one-line label for the point `at`, beside it where no line,
  // mark or label crosses it: to its right or left, at its height or further
  // up or down (then joined to it by a thin leader); `beside` keeps the
  // label off the point's own height, for a point drawn on a line. Where
  // every place is crossed, the least crossed one gets a white ground.
  void placeLabel(Point at, const std::string& text, const char* id, const char* colour, bool beside) {
    const double width = static_cast<double>(text.size()) * kLabelFont * kCharacterWidth + 4;
    const double height = kLabelFont + 4;
    Box best{};
    std::size_t bestCrossings = static_cast<std::size_t>(-1);
    bool bestRight = true;
    // Enough steps to reach every height of the plot from any point in it.
    const int steps = 2 * static_cast<int>(std::ceil((kPlotBottom - kPlotTop) / height)) + 2;
    for (int step = 0; step <= steps && bestCrossings != 0; ++step) {
      // 0, -1, +1, -2, +2 ... steps of a label's height from the point.
      const int k = (step + 1) / 2 * (step % 2 == 1 ? -1 : 1);
      const double centre = at.y + k * height + (beside ? -height : 0);
      for (const bool right : {true, false}) {
        const double left = right ? at.x + 6 : at.x - 6 - width;
        const Box box{left, centre - height / 2, left + width, centre + height / 2};
        if (box.left < kPlotLeft + 2 || box.right > kPlotRight - 2 || box.top < kPlotTop + 1 ||
            box.bottom > kPlotBottom - 2) {
          continue;
        }
        const std::size_t count = crossings(box);
        if (count < bestCrossings) {
          best = box;
          bestCrossings = count;
          bestRight = right;
        }
        if (count == 0) break;
      }
    }
    if (bestCrossings == static_cast<std::size_t>(-1)) {
      // No place inside the plot (a very long label): under the point's
      // row, on the plot's top edge.
      best = {kPlotLeft + 2, kPlotTop + 1, kPlotLeft + 2 + width, kPlotTop + 1 + height};
      bestRight = true;
    }
    out_ += "<g id=\"";
    out_ += id;
    out_ += "\">\n";
    if (bestCrossings != 0) {
      out_ += "<rect";
      appendAttribute(out_, "x", best.left);
      appendAttribute(out_, "y", best.top);
      appendAttribute(out_, "width", best.right - best.left);
      appendAttribute(out_, "height", best.bottom - best.top);
      out_ += " fill=\"white\" fill-opacity=\"0.9\"/>\n";
    }
    const double centre = (best.top + best.bottom) / 2;
    if (std::fabs(centre - at.y) > height) {
      const Point end{bestRight ? best.left : best.right, centre};
      appendLine(out_, at.x, at.y, end.x, end.y, "#888888", " stroke-width=\"0.75\"");
      marks_.push_back({at, end});
    }
    openText(out_, bestRight ? best.left + 2 : best.right - 2, centre + kLabelFont * 0.35,
             bestRight ? "start" : "end", " class=\"label\" font-size=\"11\"");
    out_ += "<tspan fill=\"";
    out_ += colour;
    out_ += "\">";
    appendText(out_, text, kNoCut);
    out_ += "</tspan></text>\n</g>\n";
    labels_.push_back(best);
  }

  void writeFooter() {
    const double legendY = kPlotBottom + 62;
    appendLine(out_, kPlotLeft, legendY - 4, kPlotLeft + 24, legendY - 4, kSquaresColour,
               " stroke-width=\"2\"");
    openText(out_, kPlotLeft + 30, legendY, "start");
    if (data_.rows <= kMaxPlotPoints) {
      out_ += "square of each row (left axis)</text>\n";
    } else {
      // Runs of consecutive rows, as even as whole rows allow.
      const std::size_t shortRun = data_.rows / runs_;
      out_ += "largest square of each run of ";
      appendGrouped(out_, shortRun);
      if (data_.rows % runs_ != 0) {
        out_ += " or ";
        appendGrouped(out_, shortRun + 1);
      }
      out_ += " rows (left axis)</text>\n";
    }
    if (shareDrawn_) {
      appendLine(out_, kPlotLeft + 470, legendY - 4, kPlotLeft + 494, legendY - 4, kShareColour,
                 " stroke-width=\"2\"");
      openText(out_, kPlotLeft + 500, legendY, "start");
      out_ += "cumulative share of the total (right axis)</text>\n";
    }
    double y = legendY + kLineHeight;
    if (data_.residual != nullptr) {
      appendLine(out_, kPlotLeft, y - 4, kPlotLeft + 24, y - 4, kResidualColour,
                 " stroke-width=\"2\" stroke-dasharray=\"4 2\"");
      openText(out_, kPlotLeft + 30, y, "start", " id=\"residual-legend\"");
      out_ += "residual after the caption's first relation (left axis): the total would be ";
      appendText(out_, data_.residualTotal, kNoCut);
      out_ += "</text>\n";
      y += kLineHeight;
    }
    for (const std::string& note : notes_) {
      openText(out_, kPlotLeft, y, "start", " class=\"note\" fill=\"#b00020\"");
      out_ += note;
      out_ += "</text>\n";
      y += kLineHeight;
    }
    if (caption_.empty()) return;
    y += kLineHeight / 2;
    out_ += "<g id=\"caption\" font-size=\"";
    out_ += kLabelFontSize;
    out_ += "\">\n";
    for (const CaptionLine& line : caption_) {
      openText(out_, line.first ? 20 : 32, y, "start", " class=\"caption\"");
      // A finding's words are already shown: only XML's own characters are escaped.
      appendEscaped(out_, line.text, Escape::XmlShown, kNoCut);
      if (line.cut) out_ += "\xE2\x80\xA6";
      out_ += "</text>\n";
      y += kLineHeight;
    }
    out_ += "</g>\n";
  }

  // The findings, each on up to kCaptionLinesPerFinding lines, its later
  // lines indented.
  void collectCaption() {
    for (const std::string& finding : data_.caption) {
      const std::vector<std::string_view> lines =
          wrapWords(finding, kCaptionLineLength, kCaptionLinesPerFinding);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) {
          caption_.back().cut = true;
          break;
        }
        caption_.push_back({lines[i], i == 0, false});
      }
    }
  }

  // What the lines cannot show, said in words.
  void collectNotes() {
    std::size_t nanCount = 0, firstNaN = 0, firstInfinite = 0;
    for (std::size_t i = 0; i < data_.rows; ++i) {
      if (std::isnan(data_.squares[i])) {
        if (nanCount++ == 0) firstNaN = i + 1;
      } else if (std::isinf(data_.squares[i])) {
        if (infiniteCount_++ == 0) firstInfinite = i + 1;
      }
    }
    std::string note;
    if (data_.rows == 0) notes_.push_back("The compared file has no rows: there is nothing to draw.");
    if (nanCount != 0) {
      note = "NaN square in ";
      appendGrouped(note, nanCount);
      note += nanCount == 1 ? " row (row " : " rows (the first is row ";
      appendGrouped(note, firstNaN);
      note += "): not drawn.";
      notes_.push_back(note);
    }
    if (infiniteCount_ != 0) {
      note = "Infinite square in ";
      appendGrouped(note, infiniteCount_);
      note += infiniteCount_ == 1 ? " row (row " : " rows (the first is row ";
      appendGrouped(note, firstInfinite);
      note += "): drawn at the top, marked \xE2\x88\x9E.";
      notes_.push_back(note);
    }
    if (data_.rows != 0 && !shareDrawn_) {
      if (std::isnan(data_.total))
        notes_.push_back("The total is NaN: no cumulative share is drawn.");
      else if (std::isinf(data_.total))
        notes_.push_back("The total is infinite: no cumulative share is drawn.");
      else
        notes_.push_back("The total is zero: no row adds anything, so no share is drawn.");
    }
  }

  struct CaptionLine {
    std::string_view text;
    bool first;  // the first line of a finding
    bool cut;    // the finding goes on
  };

  const PlotData& data_;
  std::size_t runs_ = 0;
  LogScale scale_;
  bool shareDrawn_ = false;
  bool withoutReference_ = false;
  bool firstDifference_ = false;
  bool penDown_ = false;
  std::size_t infiniteCount_ = 0;
  std::vector<std::string> notes_;
  std::vector<CaptionLine> caption_;
  std::vector<Point> squarePoints_;
  std::vector<std::size_t> squareRows_;
  std::vector<bool> squareStartsRun_;
  std::vector<Point> sharePoints_;
  std::vector<std::pair<Point, Point>> marks_;  // upright marks and leaders
  std::vector<Box> labels_;
  std::string out_;
};

}  // namespace

bool writePlot(std::FILE* out, const PlotData& data) {
  const std::string svg = SvgPicture(data).render();
  if (std::fwrite(svg.data(), 1, svg.size(), out) != svg.size()) return false;
  return std::fflush(out) == 0;
}

}  // namespace velmora::explain
