// The strict bare program: what splitting two data files on blanks and
// converting every token with std::from_chars costs, with no rules and no
// checks, and nothing stored that the total does not need.
//   baseline REFERENCE COMPARED HEADER_LINES
// Prints the same total as velmora for files whose header is HEADER_LINES
// lines and whose rows are three blank-separated numbers.
//
// Each file is read in fixed blocks of kBlockSize bytes into one buffer; a
// token cut by the end of a block is moved to the front before the next read.
// Only the reference file's second column is kept (the compared file's rows
// are summed as they are read), in one array sized once.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kMaxRows = 1000000;

// Spaces, tabs, carriage returns and line feeds, and any other control byte.
bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// Converts every token and calls take(value, row) with the second of each
// row, row by row.
template <class Take>
void readSecondColumn(const char* name, long headerLines, char* buffer, Take take) {
  int fd = ::open(name, O_RDONLY);
  if (fd < 0) {
    std::perror(name);
    std::exit(2);
  }
  std::size_t kept = 0;
  std::size_t field = 0;
  std::size_t rows = 0;
  bool end = false;
  while (!end && rows < kMaxRows) {
    ssize_t got = ::read(fd, buffer + kept, kBlockSize - kept);
    if (got < 0) {
      std::perror(name);
      std::exit(2);
    }
    end = got == 0;
    const char* p = buffer;
    const char* last = buffer + kept + got;
    for (; headerLines > 0 && p < last; --headerLines) {
      const auto* lineFeed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(last - p)));
      if (lineFeed == nullptr) {
        p = last;
        break;
      }
      p = lineFeed + 1;
    }
    for (;;) {
      while (p < last && isBlank(*p)) ++p;
      if (p == last) break;
      // Every token is converted, as any reader of the table must; only the
      // second of each row is used. The conversion finds the token's end.
      double value = 0;
      const char* next = std::from_chars(p, last, value).ptr;
      while (next < last && !isBlank(*next)) ++next;  // past anything it did not take
      if (next == last && !end) break;  // the token may go on in the next block
      p = next;
      if (field == 1) take(value * 1000, rows);
      if (++field == 3) {
        field = 0;
        if (++rows == kMaxRows) break;
      }
    }
    kept = static_cast<std::size_t>(last - p);
    std::memmove(buffer, p, kept);
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: baseline REFERENCE COMPARED HEADER_LINES\n");
    return 2;
  }
  long header = std::strtol(argv[3], nullptr, 10);
  auto buffer = std::make_unique_for_overwrite<char[]>(kBlockSize);
  // Zero beyond the reference's rows. calloc hands out pages the system has
  // zeroed, as the tool's columns are, with no pass to clear them.
  std::unique_ptr<double[], decltype(&std::free)> reference(
      static_cast<double*>(std::calloc(kMaxRows, sizeof(double))), &std::free);
  if (reference == nullptr) {
    std::perror("calloc");
    return 2;
  }
  readSecondColumn(argv[1], header, buffer.get(),
                   [&](double value, std::size_t row) { reference[row] = value; });
  double total = 0;
  readSecondColumn(argv[2], header, buffer.get(), [&](double value, std::size_t row) {
    double difference = value - reference[row];
    total += difference * difference;
  });
  std::printf(" %.16e\n", total);
  return 0;
}
