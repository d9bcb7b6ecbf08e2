#include "explain/plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "explain/text.h"

namespace velmora::explain {
namespace {

// The canvas, in SVG user units (pixels at 100% zoom).
constexpr double kWidth = 1000;
constexpr double kPlotLeft = 100;
constexpr double kPlotRight = 910;
constexpr double kPlotTop = 104;
constexpr double kPlotBottom = 484;  // the baseline: rows that do not differ
// The logarithmic scale stops short of the baseline, so a zero square stands
// apart from the smallest non-zero one, and short of the top, which holds the
// infinite squares.
constexpr double kLogBottom = kPlotBottom - 20;
constexpr double kLogTop = kPlotTop + 22;
constexpr double kInfinityY = kPlotTop;
constexpr double kLineHeight = 18;

// A shown name is cut after this many characters (an escaped byte counts
// four), so that it stays inside the picture.
constexpr std::size_t kMaxShownName = 110;

// At most this many labelled decades on the logarithmic axis, and about this
// many labelled rows on the row axis.
constexpr int kMaxDecadeTicks = 8;
// The decades of the smallest subnormal and of the largest finite double.
constexpr int kLowestDecade = -324;
constexpr int kHighestDecade = 309;
// Up to this many decades, the logarithmic axis has ticks between them too.
constexpr int kMaxMinorTickedDecades = 4;
// Up to this many rows, each row's point is also marked with a dot.
constexpr std::size_t kMaxDottedRows = 60;
constexpr double kRowTicks = 6;

const char kSquaresColour[] = "#1f5fa8";
const char kShareColour[] = "#d9480f";
const char kGridColour[] = "#e3e3e3";

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

LogScale makeLogScale(const double* squares, std::size_t rows) {
  double smallest = HUGE_VAL;
  double largest = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const double square = squares[i];
    if (square > 0 && square < HUGE_VAL) {
      smallest = std::min(smallest, square);
      largest = std::max(largest, square);
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
};

RunPeak findPeak(const double* squares, std::size_t first, std::size_t end) {
  RunPeak peak;
  peak.row = first + 1;
  for (std::size_t i = first; i < end; ++i) {
    const double square = squares[i];
    if (std::isnan(square)) continue;
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
    if (data_.rows != 0) scale_ = makeLogScale(data_.squares, data_.rows);
    shareDrawn_ = data_.rows != 0 && std::isfinite(data_.total) && data_.total > 0;
  }

  std::string render() {
    collectNotes();
    const double height = kPlotBottom + 82 + kLineHeight * static_cast<double>(notes_.size());
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
    appendText(out_, withoutBlanksAround(data_.resultLine), kMaxShownName);
    out_ += "</title>\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    writeHeading();
    writeRowAxis();
    writeSquareAxis();
    writeShareAxis();
    // The share line goes under the squares: its steps stand exactly where
    // the large squares are, and would hide them.
    writeShares();
    writeSquares();
    writeLargest();
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
    appendText(out_, withoutBlanksAround(data_.resultLine), kMaxShownName);
    out_ += "</tspan></text>\n";
  }

  void writeRowAxis() {
    out_ += "<g id=\"row-axis\">\n";
    appendLine(out_, kPlotLeft, kPlotBottom, kPlotRight, kPlotBottom, "black");
    const std::size_t rows = data_.rows;
    if (rows == 0) return closeRowAxis();
    const std::size_t step = rowTickStep(rows);
    const auto tick = [&](std::size_t row) {
      const double x = rowX(row, rows);
      appendLine(out_, x, kPlotBottom, x, kPlotBottom + 5, "black");
      openText(out_, x, kPlotBottom + 19, "middle", " class=\"row\"");
      appendGrouped(out_, row);
      out_ += "</text>\n";
    };
    // Row 1 is labelled unless the first multiple of the step crowds it.
    if (step == 1 || step > rows || rowX(step, rows) - rowX(1, rows) > 45) tick(1);
    for (std::size_t row = step == 1 ? 2 : step; row <= rows; row += step) tick(row);
    closeRowAxis();
  }

  void closeRowAxis() {
    openText(out_, (kPlotLeft + kPlotRight) / 2, kPlotBottom + 40, "middle");
    out_ += "row of the compared file</text>\n</g>\n";
  }

  void writeSquareAxis() {
    out_ += "<g id=\"square-axis\">\n";
    appendLine(out_, kPlotLeft, kPlotTop, kPlotLeft, kPlotBottom, "black");
    const int firstLabelled = -floorToMultiple(-scale_.low, scale_.step);
    for (int decade = firstLabelled; decade <= scale_.high; decade += scale_.step) {
      // Placed by its exponent: 10^309 and 10^-324 are out of a double's range.
      const double tickY =
          kLogBottom - (kLogBottom - kLogTop) * (decade - scale_.low) / (scale_.high - scale_.low);
      appendLine(out_, kPlotLeft, tickY, kPlotRight, tickY, kGridColour);
      appendLine(out_, kPlotLeft - 5, tickY, kPlotLeft, tickY, "black");
      openText(out_, kPlotLeft - 8, tickY + 4, "end", " class=\"decade\"");
      out_ += "10<tspan dy=\"-6\" font-size=\"9\">";
      if (decade < 0) out_ += "\xE2\x88\x92";  // a minus sign
      appendInteger(out_, std::abs(decade));
      out_ += "</tspan></text>\n";
    }
    // Over a few decades, short unlabelled ticks at 2 to 9 times each power of
    // ten let a value be read between the labels.
    if (scale_.step == 1 && scale_.high - scale_.low <= kMaxMinorTickedDecades) {
      for (int decade = scale_.low; decade < scale_.high; ++decade) {
        for (int multiple = 2; multiple <= 9; ++multiple) {
          const double tickY = kLogBottom - (kLogBottom - kLogTop) *
                                                (decade + std::log10(multiple) - scale_.low) /
                                                (scale_.high - scale_.low);
          appendLine(out_, kPlotLeft - 3, tickY, kPlotLeft, tickY, "black");
        }
      }
    }
    appendLine(out_, kPlotLeft - 5, kPlotBottom, kPlotLeft, kPlotBottom, "black");
    openText(out_, kPlotLeft - 8, kPlotBottom + 4, "end");
    out_ += "0</text>\n";
    if (infiniteCount_ != 0) {
      appendLine(out_, kPlotLeft - 5, kInfinityY, kPlotLeft, kInfinityY, "black");
      openText(out_, kPlotLeft - 8, kInfinityY + 4, "end");
      out_ += "\xE2\x88\x9E</text>\n";  // the infinity sign
    }
    openRotatedText(24, -90);
    out_ += "square of the scaled difference</text>\n</g>\n";
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

  void writeSquares() {
    out_ += "<path id=\"squares\" fill=\"none\" stroke=\"";
    out_ += kSquaresColour;
    out_ += "\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"";
    std::string dots;
    bool penDown = false;
    for (std::size_t run = 0; run < runs_; ++run) {
      const RunPeak peak = findPeak(data_.squares, runStart(run, data_.rows, runs_),
                                    runStart(run + 1, data_.rows, runs_));
      if (peak.allNaN) {
        penDown = false;  // the line breaks where nothing can be drawn
        continue;
      }
      const double x = rowX(peak.row, data_.rows);
      const double y = scale_.y(peak.square);
      out_ += penDown ? 'L' : 'M';
      appendNumber(out_, x);
      out_ += ' ';
      appendNumber(out_, y);
      penDown = true;
      if (data_.rows <= kMaxDottedRows) {
        dots += "<circle";
        appendAttribute(dots, "cx", x);
        appendAttribute(dots, "cy", y);
        dots += " r=\"2.5\"/>\n";
      }
    }
    out_ += "\"/>\n";
    if (!dots.empty()) {
      out_ += "<g fill=\"";
      out_ += kSquaresColour;
      out_ += "\">\n";
      out_ += dots;
      out_ += "</g>\n";
    }
  }

  // The share after the last row of each run, summed in row order as the
  // total is.
  void writeShares() {
    if (!shareDrawn_) return;
    out_ += "<path id=\"cumulative\" fill=\"none\" stroke=\"";
    out_ += kShareColour;
    out_ += "\" stroke-width=\"1.5\" d=\"";
    double sum = 0;
    std::size_t row = 0;
    for (std::size_t run = 0; run < runs_; ++run) {
      const std::size_t end = runStart(run + 1, data_.rows, runs_);
      for (; row < end; ++row) sum += data_.squares[row];
      const double share = sum / data_.total;
      out_ += run == 0 ? 'M' : 'L';
      appendNumber(out_, rowX(end, data_.rows));
      out_ += ' ';
      appendNumber(out_, shareY(std::isfinite(share) ? share : 0.0));
    }
    out_ += "\"/>\n";
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
    const bool onLeft = x < (kPlotLeft + kPlotRight) / 2;
    openText(out_, onLeft ? x + 8 : x - 8, std::max(y + 4, kPlotTop + 10), onLeft ? "start" : "end",
             " font-size=\"11\"");
    out_ += "largest: row ";
    appendGrouped(out_, peak.row);
    // A total that holds this square gives a share up to 1; any other (an
    // infinite square over a finite total) is not a share and is left out.
    const double share = peak.square / data_.total;
    if (shareDrawn_ && share >= 0 && share <= 1) {
      out_ += ", ";
      appendNumber(out_, share * 100);
      out_ += '%';
    }
    out_ += "</text>\n";
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
    for (const std::string& note : notes_) {
      openText(out_, kPlotLeft, y, "start", " class=\"note\" fill=\"#b00020\"");
      out_ += note;
      out_ += "</text>\n";
      y += kLineHeight;
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

  const PlotData& data_;
  std::size_t runs_ = 0;
  LogScale scale_;
  bool shareDrawn_ = false;
  std::size_t infiniteCount_ = 0;
  std::vector<std::string> notes_;
  std::string out_;
};

}  // namespace

bool writePlot(std::FILE* out, const PlotData& data) {
  const std::string svg = SvgPicture(data).render();
  if (std::fwrite(svg.data(), 1, svg.size(), out) != svg.size()) return false;
  return std::fflush(out) == 0;
}

}  // namespace velmora::explain
