// Opens the named file on channel 11 and reads one text item from it, as the
// tool would; prints what it read. A fatal stop takes its normal course: two
// lines on standard error and exit status 2.
#include <array>
#include <cstdio>

#include "freeformat/freeformat.h"

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  velmora::FreeFormatReader reader(11);
  reader.open(argv[1], 1);
  reader.rewind(2);
  char text[8];
  std::array<velmora::Item, 1> items{velmora::TextItem{text, sizeof text}};
  reader.read(items, 3);
  reader.close(4);
  std::printf("read '%.8s'\n", text);
  return 0;
}
