#include "companion/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "companion/companion.h"

namespace velmora::companion {

bool aboveLimit(double total, double limit) { return std::isnan(total) || total > limit; }

FileId idOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

const ReadFile* sameFile(const std::vector<ReadFile>& read, const struct stat& status) {
  const FileId id = idOf(status);
  for (const ReadFile& file : read) {
    if (file.missing.empty() && file.id == id) return &file;
  }
  return nullptr;
}

namespace {

// The target's last name as a rename sees it.
std::string lastName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return baseOf(path);
}

bool isMountRoot(const std::string& target, const struct stat& status) {
  struct statx extended {};
  if (::statx(AT_FDCWD, target.c_str(), 0, STATX_BASIC_STATS, &extended) == 0 &&
      (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  // Without the system's answer: a folder of another device than the one
  // above it is mounted there.
  struct stat above {};
  return ::stat(folderOf(target).c_str(), &above) == 0 && above.st_dev != status.st_dev;
}

}  // namespace

std::string whyNotReplaceable(const std::string& target) {
  const std::string last = lastName(target);
  if (last.empty() || last == "." || last == "..") {
    return "a name ending in '" + (last.empty() ? std::string("/") : last) + "' cannot be replaced by a new one";
  }
  struct stat status {};
  if (::stat(target.c_str(), &status) != 0) return "";
  if (isMountRoot(target, status)) {
    return "it is a mount point, which a new one cannot be renamed over (Device or resource busy)";
  }
  return "";
}

int openAside(const std::string& target, mode_t mode, std::string& temporary) {
  temporary = folderOf(target) + "/." + baseOf(target) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    temporary.clear();
    return -1;
  }
  if (::fchmod(fd, mode) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    temporary.clear();
    errno = error;
    return -1;
  }
  return fd;
}

bool putInPlace(const std::string& temporary, const std::string& target) {
  if (::rename(temporary.c_str(), target.c_str()) == 0) return true;
  const int error = errno;
  ::unlink(temporary.c_str());
  errno = error;
  return false;
}

}  // namespace velmora::companion
