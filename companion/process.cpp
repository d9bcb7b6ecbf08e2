#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <string>

#include "comparison/comparison.h"
#include "companion/companion.h"

namespace velmora::companion {

void prepareProcess() { velmora::prepareProcess(); }

bool prepareLongOutput(std::FILE* stream) {
  const int fd = ::fileno(stream);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return false;
  return ::fcntl(fd, F_SETPIPE_SZ, kLongOutputPipe) >= kLongOutputPipe;
}

bool writeWhole(std::FILE* stream, std::string_view text) {
  if (text.size() < kWholeWrite) return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  const int fd = ::fileno(stream);
  if (fd < 0 || std::fflush(stream) != 0) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {
void memoryStop(const StopReport&) { throw std::bad_alloc(); }
}  // namespace

MemoryStopsThrown::MemoryStopsThrown() : StopHandlerScope(memoryStop) {}

std::string folderOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int followLinks(std::string path, std::string& end) {
  constexpr int kMaxLinks = 40;
  std::string link(PATH_MAX, '\0');  // on the heap: the stack stays small
  for (int followed = 0; followed <= kMaxLinks; ++followed) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      end = path;
      return 0;
    }
    if (followed == kMaxLinks) break;
    const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
    if (length <= 0) {
      const int error = length < 0 ? errno : ENOENT;
      end = path;
      return error;
    }
    std::string next(link.data(), static_cast<std::size_t>(length));
    if (next.front() != '/') {
      const std::size_t slash = path.find_last_of('/');
      if (slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    }
    path = std::move(next);
  }
  end = path;
  return ELOOP;
}

std::string writtenName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string end;
  followLinks(std::move(path), end);
  return end;
}

unsigned newFileMode(unsigned bits) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return bits & ~static_cast<unsigned>(mask);
}

}  // namespace velmora::companion
