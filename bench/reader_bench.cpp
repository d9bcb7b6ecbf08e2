// The reader's hot path on its own: statements of three numbers over a file
// of 200,000 rows in each style, in rows and bytes per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "freeformat/freeformat.h"
#include "rows.h"

namespace {

struct RowFile {
  std::string name;
  std::size_t bytes = 0;
  std::size_t rows = 0;
};

RowFile writeRows(const std::string& style, std::size_t rows) {
  char name[] = "/tmp/velmora-bench-XXXXXX";
  int fd = ::mkstemp(name);
  velmora::bench::Random random{7};
  std::string text;
  for (std::size_t i = 0; i < rows; ++i) {
    for (int c = 0; c < 3; ++c) velmora::bench::appendValue(text, style, velmora::bench::randomValue(random, style));
    text += '\n';
  }
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  ::close(fd);
  return {name, text.size(), rows};
}

void readRows(benchmark::State& state, const char* style) {
  static const std::size_t kRows = 200000;
  RowFile file = writeRows(style, kRows);
  velmora::FreeFormatReader reader(13);
  double a = 0, b = 0, c = 0, sum = 0;
  const velmora::Item items[] = {velmora::NumberItem{&a}, velmora::NumberItem{&b}, velmora::NumberItem{&c}};
  for (auto _ : state) {
    reader.open(file.name, 1);
    reader.rewind(2);
    std::size_t rows = 0;
    while (reader.readOrEnd(items, 3) == velmora::ReadStatus::Ok) {
      sum += b;
      ++rows;
    }
    reader.close(4);
    if (rows != file.rows) state.SkipWithError("wrong row count");
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * file.rows));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.bytes));
  std::remove(file.name.c_str());
}

BENCHMARK_CAPTURE(readRows, scientific, "scientific")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readRows, fixed, "fixed")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readRows, integer, "integer")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
