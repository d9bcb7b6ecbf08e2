// velmora: started in a directory holding "CompareThese.inp", prints the sum of
// squared differences between the second columns of the two data files it names.
// Command-line arguments and the environment are never consulted.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/comparison.h"

namespace {

// A closed standard descriptor would be the first one a data file gets, and the
// result line would then be written into that file. Occupy it first.
void occupyClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = ::open("/dev/null", O_RDONLY);
      if (opened >= 0 && opened != fd) ::close(opened);  // cannot happen: lowest free first
    }
  }
}

}  // namespace

int main() {
  occupyClosedStandardDescriptors();
  // A reader that went away is a failed write, reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
  return velmora::runComparison();
}
