#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "comparison/comparison.h"
#include "companion/companion.h"

namespace velmora::companion {

void prepareProcess() { velmora::prepareProcess(); }

namespace {
void memoryStop(const StopReport&) { throw std::bad_alloc(); }
}  // namespace

MemoryStopsThrown::MemoryStopsThrown() : previous_(setStopHandler(memoryStop)) {}
MemoryStopsThrown::~MemoryStopsThrown() { setStopHandler(previous_); }

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

std::string writtenName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
    if (got < 0) return path;
    target.resize(static_cast<std::size_t>(got));
    if (target.starts_with('/') || path.find('/') == std::string::npos) {
      path = target;
    } else {
      const std::string folder = folderOf(path);
      path = folder == "/" ? "/" + target : folder + "/" + target;
    }
  }
  return path;
}

unsigned newFileMode(unsigned bits) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return bits & ~static_cast<unsigned>(mask);
}

}  // namespace velmora::companion
