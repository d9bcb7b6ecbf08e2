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

bool isBlank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Calls take(value) for every second token of every row, row by row.
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
      const char* token = p;
      while (p < last && !isBlank(*p)) ++p;
      if (p == last && !end) {  // the token may go on in the next block
        p = token;
        break;
      }
      if (token == p) break;
      if (field == 1) {
        double value = 0;
        std::from_chars(token, p, value);
        take(value * 1000, rows);
      }
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
  auto reference = std::make_unique<double[]>(kMaxRows);  // zero beyond the reference's rows
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
