// The comparison's reading through the reader's table entry, as the loader
// does it: each file's header lines passed over with one-item statements,
// then its rows read with readRows in chunks, column 2 of the reference kept
// (scaled) and the compared file's rows summed as they are read.
//   velmora_rows REFERENCE COMPARED HEADER_LINES
// Prints the total as velmora_baseline does. A measure of the reader alone,
// beside the whole tool (bench/shapes).
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "freeformat/freeformat.h"

namespace {

constexpr std::size_t kMaxRows = 1000000;
constexpr std::size_t kChunk = 4096;

template <class Take>
void readTable(const char* name, long headerLines, Take take) {
  velmora::FreeFormatReader reader(13);
  reader.openReadOnly(name, 1);
  reader.rewind(2);
  char text[72];
  const velmora::Item label[] = {velmora::TextItem{text, sizeof text}};
  for (long i = 0; i < headerLines; ++i) reader.read(label, 3);
  static double values[3 * kChunk];
  std::size_t rows = 0;
  while (rows < kMaxRows) {
    velmora::TableRead table;
    table.itemsPerRow = 3;
    table.statement = 4;
    table.values = values;
    table.capacity = std::min(kChunk, kMaxRows - rows);
    table.convertItems = 0b010;  // column 2 alone, as the loader asks
    std::size_t got = reader.readRows(table);
    for (std::size_t r = 0; r < got; ++r) take(values[3 * r + 1] * 1000, rows + r);
    rows += got;
    if (reader.tableEnded()) break;
  }
  reader.close(5);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: velmora_rows REFERENCE COMPARED HEADER_LINES\n");
    return 2;
  }
  long header = std::strtol(argv[3], nullptr, 10);
  std::unique_ptr<double[], decltype(&std::free)> reference(
      static_cast<double*>(std::calloc(kMaxRows, sizeof(double))), &std::free);
  if (reference == nullptr) return 2;
  readTable(argv[1], header, [&](double value, std::size_t row) { reference[row] = value; });
  double total = 0;
  readTable(argv[2], header, [&](double value, std::size_t row) {
    double difference = value - reference[row];
    total += difference * difference;
  });
  std::printf(" %.16e\n", total);
  return 0;
}
