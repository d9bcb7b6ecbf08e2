// The bare baseline: what splitting two data files on blanks and converting
// every token with std::from_chars costs, with no rules and no checks.
//   baseline REFERENCE COMPARED HEADER_LINES
// Prints the same total as velmora for files whose header is HEADER_LINES
// lines and whose rows are three blank-separated numbers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<char> slurp(const char* name) {
  int fd = ::open(name, O_RDONLY);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    std::perror(name);
    std::exit(2);
  }
  std::vector<char> data(static_cast<std::size_t>(status.st_size));
  std::size_t got = 0;
  for (ssize_t n; got < data.size() && (n = ::read(fd, data.data() + got, data.size() - got)) > 0;) {
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  ::close(fd);
  return data;
}

std::vector<double> secondColumn(const char* name, long headerLines) {
  std::vector<char> data = slurp(name);
  const char* p = data.data();
  const char* end = p + data.size();
  for (long i = 0; i < headerLines && p < end; ++i) {
    p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    p = p ? p + 1 : end;
  }
  std::vector<double> column;
  column.reserve(1000000);
  int field = 0;
  while (p < end) {
    while (p < end && (*p == ' ' || *p == '\n')) ++p;
    if (p == end) break;
    double value = 0;
    p = std::from_chars(p, end, value).ptr;
    if (field == 1) column.push_back(value * 1000);
    field = (field + 1) % 3;
    while (p < end && *p != ' ' && *p != '\n') ++p;
  }
  return column;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: baseline REFERENCE COMPARED HEADER_LINES\n");
    return 2;
  }
  long header = std::strtol(argv[3], nullptr, 10);
  std::vector<double> reference = secondColumn(argv[1], header);
  std::vector<double> compared = secondColumn(argv[2], header);
  double total = 0;
  for (std::size_t i = 0; i < compared.size(); ++i) {
    double d = compared[i] - (i < reference.size() ? reference[i] : 0);
    total += d * d;
  }
  std::printf(" %.16e\n", total);
  return 0;
}
