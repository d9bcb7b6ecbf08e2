#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <string>

#include "comparison/comparison.h"
#include "companion/companion.h"

namespace velmora::companion {

void prepareProcess() { velmora::prepareProcess(); }

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
