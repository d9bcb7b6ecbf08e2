// velmora-consumer FOLDER: velmora's result line for the pair FOLDER's
// CompareThese.inp names, then, for each file given after it, its layout,
// row count and the mean of its column 2. Where velmora would stop, its two
// lines on standard error and exit status 2; a FOLDER that cannot be found,
// two lines of its own and exit status 2.
#include <velmora/velmora.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velmora-consumer FOLDER [DATAFILE...]\n");
    return 2;
  }
  try {
    const velmora::api::Result result = velmora::api::run(argv[1]);
    std::printf("%s\n", result.line.c_str());
    for (int i = 2; i < argc; ++i) {
      const velmora::api::DataFile file = velmora::api::read(argv[i]);
      double sum = 0;
      for (std::size_t row = 0; row < file.rows; ++row) sum += file.value(row, 1);
      std::printf("%s: layout %c, %zu rows, column 2 mean %g\n", argv[i], file.formatCode, file.rows,
                  file.rows > 0 ? sum / static_cast<double>(file.rows) : 0.0);
    }
  } catch (const velmora::api::StopError& stop) {
    std::fputs(stop.what(), stderr);
    return 2;
  } catch (const std::exception& error) {
    // A folder that cannot be found, or memory that cannot be had.
    std::fprintf(stderr, "velmora-consumer: %s\nerror: cannot run the folder\n", error.what());
    return 2;
  }
  return 0;
}
