// Writes a deterministic pair of data files for timing whole runs:
//   generate DIR STYLE LAYOUT ROWS
// STYLE: a shape of bench/rows.h (scientific: 17 significant digits, mixed
// signs and exponents; fixed: short fixed decimals; integer; and the other
// shapes of the matrix bench/shapes measures); LAYOUT: layout1, layout2 or plain.
// DIR receives reference.dat, compared.dat (every row's second value nudged,
// so the total is not trivial) and CompareThese.inp naming them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rows.h"

using velmora::bench::Random;

namespace {

void writeHeader(std::FILE* out, const std::string& layout) {
  if (layout == "layout1") {
    std::fputs("VELMORA-DAT1 generated\nFirst 1.5\nSecond 2.5\nThird 3.5\n", out);
    for (int i = 0; i < 4; ++i) std::fprintf(out, "note%d\n", i);
    std::fputs("Rate 0.25\n", out);
  } else if (layout == "layout2") {
    std::fputs("VELMORA-DAT2 generated\nFirst 1.5\nSecond 2.5\nThird 3.5\nskipped\n", out);
    std::fputs("Pressure 1013.25\nRate 0.25\n", out);
  } else {
    std::fputs("generated plain file\n", out);
    for (int i = 0; i < 10; ++i) std::fprintf(out, "comment %d\n", i);
  }
  for (int i = 0; i < 10; ++i) std::fprintf(out, "header line %d\n", i);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: generate DIR STYLE LAYOUT ROWS\n");
    return 2;
  }
  std::string dir = argv[1], style = argv[2], layout = argv[3];
  const velmora::bench::Shape* shape = velmora::bench::findShape(style);
  if (shape == nullptr) {
    std::fprintf(stderr, "generate: no shape named %s\n", style.c_str());
    return 2;
  }
  long rows = std::strtol(argv[4], nullptr, 10);
  std::FILE* files[2] = {std::fopen((dir + "/reference.dat").c_str(), "w"),
                         std::fopen((dir + "/compared.dat").c_str(), "w")};
  std::FILE* control = std::fopen((dir + "/CompareThese.inp").c_str(), "w");
  if (!files[0] || !files[1] || !control) {
    std::perror("generate");
    return 2;
  }
  std::fputs("reference.dat\ncompared.dat\n", control);
  std::fclose(control);
  static char buffers[2][1 << 16];
  for (int f = 0; f < 2; ++f) {
    std::setvbuf(files[f], buffers[f], _IOFBF, sizeof buffers[f]);
    writeHeader(files[f], layout);
  }
  Random random{42};
  std::string row[2];
  for (long i = 0; i < rows; ++i) {
    double values[3];
    for (double& v : values) v = velmora::bench::randomValue(random, *shape);
    bool integers = shape->kind == velmora::bench::Kind::Integer || shape->kind == velmora::bench::Kind::LongInteger;
    double nudge = integers ? static_cast<double>(random.next() % 3) : (random.unit() - 0.5) * 1e-3 * values[1];
    for (int f = 0; f < 2; ++f) {
      row[f].clear();
      for (int c = 0; c < 3; ++c) {
        velmora::bench::appendValue(row[f], *shape, c == 1 && f == 1 ? values[c] + nudge : values[c], c == 0);
      }
      row[f] += shape->lineEnd;
      std::fputs(row[f].c_str(), files[f]);
    }
  }
  for (std::FILE* file : files) {
    if (std::fclose(file) != 0) {
      std::perror("generate");
      return 2;
    }
  }
  return 0;
}
