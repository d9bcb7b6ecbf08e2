// Finding the cases of a tree: the walk, the files each case reads, the
// names of the cases and the shards.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "companion/companion.h"
#include "suite/suite.h"
#include "parts.h"

namespace velmora::suite {

std::string inFolder(const std::string& folder, const std::string& name) {
  return folder == "." ? name : folder + "/" + name;
}

std::string twoLines(const std::string& first, const std::string& second) {
  return std::string(kProgram) + ": " + first + "\nerror: " + second + "\n";
}

std::string quoted(std::string_view path) {
  std::string text(1, '\'');
  text += shown(path);
  text += '\'';
  return text;
}

namespace {

// ---- discovery ---------------------------------------------------------------

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// The walk keeps the descriptors of the folders above the one it lists down
// to this depth, and of every kCheckpointDepth-th below it; any other folder
// is reached again from the nearest kept one, so a tree of any depth needs
// few descriptors and no folder is opened by a long path.
constexpr std::size_t kKeptDepth = 48;
constexpr std::size_t kCheckpointDepth = 32;

std::string joined(const std::vector<std::string>& parts) {
  if (parts.empty()) return ".";
  std::string path;
  for (const std::string& part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}


using companion::idOf;

class Walker {
 public:
  Walker(Tree& tree, const Limit& fallback, bool identify, int home)
      : tree_(tree), fallback_(fallback), identify_(identify), home_(home) {}

  // `prefix`: what the names of the root's entries start with ("" for none).
  void walkRoot(std::size_t root, int fd, const std::string& prefix) {
    root_ = root;
    prefix_ = prefix;
    parts_.clear();
    fds_.assign(1, tree_.rootFds[root]);
    walk(fd);
  }
  std::set<FileId> visited;

 private:
  bool kept(std::size_t depth) const { return depth < kKeptDepth || depth % kCheckpointDepth == 0; }

  // The folder at `depth` (0 the root) opened again from the nearest kept
  // folder above it; -1 with errno set when that fails.
  int reopen(std::size_t depth, int flags) {
    std::size_t from = depth;
    while (fds_[from] < 0) --from;
    int fd = ::openat(fds_[from], ".", from == depth ? flags : kPathFlags);
    for (std::size_t d = from + 1; fd >= 0 && d <= depth; ++d) {
      const int next = ::openat(fd, parts_[d - 1].c_str(), d == depth ? flags : kPathFlags);
      const int error = errno;
      ::close(fd);
      fd = next;
      errno = error;
    }
    return fd;
  }

  // The name an entry at `path` (relative to the root) is shown by.
  std::string nameOf(const std::string& path) const {
    if (prefix_.empty()) return path;
    if (path == ".") return prefix_;
    return prefix_.back() == '/' ? prefix_ + path : prefix_ + "/" + path;
  }

  void problem(const std::string& words) {
    Entry entry;
    entry.root = root_;
    entry.path = joined(parts_);
    entry.name = nameOf(entry.path);
    entry.problemDescription = words;
    entry.problem = twoLines("folder " + quoted(entry.name), words);
    tree_.entries.push_back(std::move(entry));
  }

  // `fd` is the folder at the current depth, open for listing; walk closes it.
  void walk(int fd) {
    const std::size_t depth = parts_.size();
    std::vector<std::string> names;
    bool holdsCase = false;
    const int listing = ::dup(fd);
    DIR* folder = listing < 0 ? nullptr : ::fdopendir(listing);
    if (folder == nullptr) {
      const int error = errno;
      if (listing >= 0) ::close(listing);
      ::close(fd);
      problem(std::string("cannot list it: ") + std::strerror(error));
      return;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(folder)) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (std::strcmp(name, kCaseFileName) == 0) holdsCase = true;
      names.emplace_back(name);
    }
    const int readError = errno;
    ::closedir(folder);
    struct stat self {};
    if (readError != 0 || ::fstatat(fd, ".", &self, 0) != 0) {
      const int error = readError != 0 ? readError : errno;
      ::close(fd);
      problem(std::string(readError != 0 ? "cannot list it: " : "cannot search it: ") + std::strerror(error));
      return;
    }
    if (holdsCase) addCase(fd, idOf(self));
    std::sort(names.begin(), names.end());
    if (depth > 0) {
      if (kept(depth)) {
        fds_.push_back(fd);
      } else {
        fds_.push_back(-1);
        ::close(fd);
      }
    }
    for (const std::string& name : names) {
      const int parent = fds_[depth] >= 0 ? fds_[depth] : reopen(depth, kPathFlags);
      if (parent < 0) {
        problem(std::string("cannot open it again: ") + std::strerror(errno));
        break;
      }
      struct stat status {};
      // Links are followed; one that leads nowhere is not a folder.
      const bool folderThere = ::fstatat(parent, name.c_str(), &status, 0) == 0 && S_ISDIR(status.st_mode);
      if (folderThere && visited.insert(idOf(status)).second) {
        const int child = ::openat(parent, name.c_str(), kFolderFlags);
        const int error = errno;
        parts_.push_back(name);
        if (child < 0) {
          problem(std::string("cannot list it: ") + std::strerror(error));
        } else {
          walk(child);
        }
        parts_.pop_back();
      }
      if (parent != fds_[depth]) ::close(parent);
    }
    if (depth > 0) {
      if (fds_.back() >= 0) ::close(fds_.back());
      fds_.pop_back();
    } else {
      ::close(fd);
    }
  }

  // A file the case reads, named as its control file names it (relative to
  // the case folder, the working directory meanwhile). One that does not
  // exist yet is noted by where it would be made, its links followed as the
  // write that makes it follows them.
  void note(Entry& entry, const std::string& name) {
    const std::string shownPath = name.starts_with('/') ? name : inFolder(entry.name, name);
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0) {
      entry.reads.push_back({idOf(status), shownPath, {}});
      return;
    }
    FileId folder;
    std::string missing;
    if (errno == ENOENT && whereMissing(AT_FDCWD, companion::writtenName(name), folder, missing)) {
      entry.reads.push_back({folder, shownPath, missing});
    }
  }

  void addCase(int fd, FileId id) {
    Entry entry;
    entry.root = root_;
    entry.path = joined(parts_);
    entry.name = nameOf(entry.path);
    entry.folder = id;
    FileId limitFile;
    if (!readCaseLimit(fd, entry.name, fallback_, entry.limit, entry.problem, &entry.problemDescription,
                       &limitFile)) {
      entry.limit = {};
    }
    if (limitFile.inode != 0) entry.reads.push_back({limitFile, inFolder(entry.name, kLimitFileName), {}});
    if (identify_) {
      struct stat control {};
      if (::fstatat(fd, kCaseFileName, &control, 0) == 0) {
        entry.reads.push_back({idOf(control), inFolder(entry.name, kCaseFileName), {}});
        // Only a regular file is read here: a device could give bytes forever.
        if (S_ISREG(control.st_mode) && ::fchdir(fd) == 0) {
          for (const std::string& name : controlNamesHere()) note(entry, name);
          if (::fchdir(home_) != 0) throw std::runtime_error("cannot return to the working directory");
        }
      }
    }
    tree_.entries.push_back(std::move(entry));
  }

  Tree& tree_;
  const Limit& fallback_;
  bool identify_;
  int home_;
  std::size_t root_ = 0;
  std::string prefix_;
  std::vector<std::string> parts_;
  std::vector<int> fds_;  // per depth: the folder's descriptor, or -1 (reopened when needed)
};

// The last name of a path, for naming a DIR: "a/b/" -> "b"; "." and ".."
// are named by the folder they are.
std::string ownName(const std::string& root) {
  std::string path = root;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  if (name.empty() || name == "." || name == "..") {
    if (char* real = ::realpath(root.c_str(), nullptr)) {
      const std::string full = real;
      std::free(real);
      name = full == "/" ? "/" : full.substr(full.rfind('/') + 1);
    }
  }
  return name.empty() ? "/" : name;
}

}  // namespace

Tree::~Tree() {
  for (int fd : rootFds) {
    if (fd >= 0) ::close(fd);
  }
}

bool findCases(const std::vector<std::string>& roots, const Limit& fallback, bool identify, Tree& tree,
               std::string& error) {
  error.clear();
  const int home = identify ? ::open(".", kPathFlags) : -1;
  if (identify && home < 0) {
    error = twoLines("the working directory", std::string("cannot open it: ") + std::strerror(errno));
    return false;
  }
  Walker walker(tree, fallback, identify, home);
  bool ok = true;
  for (const std::string& root : roots) {
    const int fd = ::open(root.c_str(), kFolderFlags);
    if (fd < 0) {
      const int why = errno;
      struct stat status {};
      error = twoLines("folder " + quoted(root), why == ENOTDIR || (::stat(root.c_str(), &status) == 0 &&
                                                                     !S_ISDIR(status.st_mode))
                                                     ? std::string("not a folder")
                                                     : std::string("cannot open it: ") + std::strerror(why));
      ok = false;
      break;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !walker.visited.insert(idOf(status)).second) {
      ::close(fd);
      continue;
    }
    tree.roots.push_back(root);
    tree.rootNames.push_back(ownName(root));
    tree.rootFds.push_back(::open(root.c_str(), kPathFlags));
    // With several DIRs, each entry's name starts with its DIR as given (its
    // trailing slashes dropped): two DIRs holding the same path still name
    // two cases, and each name is a path from where the suite was started.
    std::string prefix;
    if (roots.size() > 1) {
      prefix = root;
      while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    }
    walker.walkRoot(tree.roots.size() - 1, fd, prefix);
  }
  if (home >= 0) ::close(home);
  if (!ok) tree.entries.clear();
  return ok;
}

std::string caseClass(const Entry& entry) { return companion::folderOf(entry.name); }

std::string caseName(const Entry& entry, const Tree& tree) {
  const std::string last = companion::baseOf(entry.name);
  return last.empty() || last == "." || last == ".." ? tree.rootNames[entry.root] : last;
}

bool whereMissing(int at, const std::string& path, FileId& folder, std::string& missing) {
  struct stat status {};
  if (path.empty() || ::fstatat(at, path.c_str(), &status, 0) == 0 || errno != ENOENT) return false;
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  for (std::size_t kept = parts.size(); kept-- > 0;) {
    std::string head = path.starts_with('/') ? "/" : ".";
    for (std::size_t i = 0; i < kept; ++i) head += (head == "/" ? "" : "/") + parts[i];
    if (::fstatat(at, head.c_str(), &status, 0) == 0) {
      if (!S_ISDIR(status.st_mode)) return false;
      folder = idOf(status);
      missing.clear();
      for (std::size_t i = kept; i < parts.size(); ++i) missing += (missing.empty() ? "" : "/") + parts[i];
      return true;
    }
    if (errno != ENOENT) return false;
  }
  return false;
}

void keepShard(std::vector<Entry>& entries, unsigned index, unsigned count) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i % count != index - 1) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
}

}  // namespace velmora::suite
