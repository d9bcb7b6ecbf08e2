// Writes a deterministic pair of data files for timing whole runs:
//   generate DIR STYLE LAYOUT ROWS
// STYLE: scientific (17 significant digits, mixed signs and exponents), fixed
// (short fixed decimals) or integer; LAYOUT: layout1, layout2 or plain.
// DIR receives reference.dat, compared.dat (every row's second value nudged,
// so the total is not trivial) and CompareThese.inp naming them.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Random {  // splitmix64: the same files on every machine
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

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

void writeValue(std::FILE* out, const std::string& style, double value) {
  if (style == "scientific") {
    std::fprintf(out, "  % .16e", value);
  } else if (style == "fixed") {
    std::fprintf(out, " %.4f", value);
  } else {
    std::fprintf(out, " %lld", static_cast<long long>(value));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: generate DIR STYLE LAYOUT ROWS\n");
    return 2;
  }
  std::string dir = argv[1], style = argv[2], layout = argv[3];
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
  for (long i = 0; i < rows; ++i) {
    double values[3];
    for (double& v : values) {
      if (style == "scientific") {
        double exponent = static_cast<double>(static_cast<int>(random.next() % 13) - 6);
        v = (random.unit() * 9 + 1) * __builtin_pow(10.0, exponent) * (random.next() & 1 ? -1 : 1);
      } else if (style == "fixed") {
        v = static_cast<double>(static_cast<long>(random.next() % 2000000) - 1000000) / 1e4;
      } else {
        v = static_cast<double>(static_cast<long>(random.next() % 200000) - 100000);
      }
    }
    double nudge = style == "integer" ? static_cast<double>(random.next() % 3)
                                      : (random.unit() - 0.5) * 1e-3 * values[1];
    for (int f = 0; f < 2; ++f) {
      for (int c = 0; c < 3; ++c) writeValue(files[f], style, c == 1 && f == 1 ? values[c] + nudge : values[c]);
      std::fputc('\n', files[f]);
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
