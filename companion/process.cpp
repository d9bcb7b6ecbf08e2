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

}  // namespace velmora::companion
