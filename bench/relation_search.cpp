// Times velmora-explain's relation search alone on a pair of files and
// prints what it cost: candidate maps tried on samples, rows confirmed.
//   relation_search REFERENCE COMPARED
// Every line of three numbers is a row (headers are skipped); column 2 is
// compared as read. Not a test.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "explain/relations.h"

namespace {

struct Columns {
  std::vector<double> c[3];
};

bool load(const char* name, Columns& out) {
  std::ifstream in(name);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    const char* p = line.c_str();
    char* end = nullptr;
    double v[3];
    int k = 0;
    for (; k < 3; ++k) {
      v[k] = std::strtod(p, &end);
      if (end == p) break;
      p = end;
    }
    if (k < 3) continue;
    for (int c = 0; c < 3; ++c) out.c[c].push_back(v[c]);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::explain;
  Columns a, b;
  if (argc != 3 || !load(argv[1], a) || !load(argv[2], b)) {
    std::fprintf(stderr, "usage: relation_search REFERENCE COMPARED\n");
    return 2;
  }
  double total = 0;
  const std::size_t n = std::min(a.c[1].size(), b.c[1].size());
  for (std::size_t i = 0; i < n; ++i) {
    const double d = b.c[1][i] - a.c[1][i];
    total += d * d;
  }
  const RelationInput input{{{a.c[0].data(), a.c[1].data(), a.c[2].data()}, a.c[0].size()},
                            {{b.c[0].data(), b.c[1].data(), b.c[2].data()}, b.c[0].size()},
                            total,
                            {}};
  const auto start = std::chrono::steady_clock::now();
  const RelationSearch search = searchRelations(input);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("rows %zu/%zu: %zu relation(s), %s; candidates tried %zu, rows confirmed %zu; search %.1f ms\n",
              a.c[0].size(), b.c[0].size(), search.relations.size(),
              search.constant ? "constant column" : search.unexplained ? "unexplained" : "explained", search.candidates,
              search.confirmedRows, ms);
  return 0;
}
