// Finding the cases, their limits, and running each in a child of its own.
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

namespace velmora::suite {

namespace {

constexpr char kProgram[] = "velmora-suite";

std::string twoLines(const std::string& first, const std::string& second) {
  return std::string(kProgram) + ": " + first + "\nerror: " + second + "\n";
}

std::string quoted(std::string_view path) {
  std::string text(1, '\'');
  text += shown(path);
  text += '\'';
  return text;
}

// ---- discovery ---------------------------------------------------------------

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
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

std::string below(const std::string& folder, const std::string& name) {
  return folder == "." ? name : folder + "/" + name;
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
    const std::string shownPath = name.starts_with('/') ? name : below(entry.name, name);
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
    if (limitFile.inode != 0) entry.reads.push_back({limitFile, below(entry.name, kLimitFileName), {}});
    if (identify_) {
      struct stat control {};
      if (::fstatat(fd, kCaseFileName, &control, 0) == 0) {
        entry.reads.push_back({idOf(control), below(entry.name, kCaseFileName), {}});
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

std::string caseClass(const Entry& entry) {
  const std::size_t slash = entry.name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : entry.name.substr(0, slash);
}

std::string caseName(const Entry& entry, const Tree& tree) {
  const std::size_t slash = entry.name.rfind('/');
  const std::string last = slash == std::string::npos ? entry.name : entry.name.substr(slash + 1);
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

// ---- limits ------------------------------------------------------------------

bool readCaseLimit(const std::string& folder, const Limit& fallback, Limit& limit, std::string& error,
                   std::string* description) {
  const int fd = ::open(folder.c_str(), kPathFlags);
  if (fd < 0) {
    error = twoLines("folder " + quoted(folder), std::string("cannot open it: ") + std::strerror(errno));
    if (description != nullptr) *description = std::string("cannot open it: ") + std::strerror(errno);
    return false;
  }
  const bool ok = readCaseLimit(fd, folder, fallback, limit, error, description);
  ::close(fd);
  return ok;
}

bool readCaseLimit(int folderFd, const std::string& shownFolder, const Limit& fallback, Limit& limit,
                   std::string& error, std::string* description, FileId* file) {
  const std::string path = below(shownFolder, kLimitFileName);
  auto refuse = [&](const std::string& words) {
    error = twoLines("limit file " + quoted(path), words);
    if (description != nullptr) *description = words;
    return false;
  };
  const int fd = ::openat(folderFd, kLimitFileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    struct stat link {};
    if (errno == ENOENT && ::fstatat(folderFd, kLimitFileName, &link, AT_SYMLINK_NOFOLLOW) == 0) {
      return refuse("cannot open it: it is a link that leads nowhere");
    }
    if (errno == ENOENT) {
      limit = fallback;
      return true;
    }
    return refuse(std::string("cannot open it: ") + std::strerror(errno));
  }
  // A limit file is one short line; more than this is not one.
  constexpr std::size_t kMaxLimitFile = 4096;
  std::string content;
  char buffer[kMaxLimitFile + 1];
  struct stat status {};
  bool readable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  int readError = readable ? 0 : EISDIR;
  if (readable && file != nullptr) *file = idOf(status);
  while (readable) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      readError = errno;
      readable = false;
      break;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > kMaxLimitFile) break;
  }
  ::close(fd);
  if (!readable) {
    return refuse(readError == EISDIR ? std::string("not a regular file")
                                      : std::string("cannot read it: ") + std::strerror(readError));
  }
  if (content.size() > kMaxLimitFile) {
    return refuse("it is longer than " + std::to_string(kMaxLimitFile) + " bytes, too long for one number");
  }
  std::vector<std::string> words;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t start = line.find_first_not_of(" \t\r\f\v");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream items(line);
    std::string word;
    while (items >> word) words.push_back(word);
  }
  double value = 0;
  if (words.size() != 1 || !companion::parseLimit(words[0], value)) {
    return refuse(words.empty() ? "no number in it" : "it must hold one number and nothing else");
  }
  limit = {LimitSource::File, value, words[0]};
  return true;
}

Verdict judge(const Comparison& comparison, const Limit& limit) {
  if (!comparison.compared) return Verdict::Error;
  if (limit.source == LimitSource::None) return Verdict::Report;
  return companion::aboveLimit(comparison.total, limit.value) ? Verdict::Fail : Verdict::Pass;
}

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::Error: return "error";
    case Verdict::Report: return "report";
  }
  return "error";
}

void count(Summary& summary, const CaseResult& result) {
  ++summary.cases;
  switch (result.verdict) {
    case Verdict::Pass: ++summary.passed; break;
    case Verdict::Fail: ++summary.failed; break;
    case Verdict::Error: ++summary.errors; break;
    case Verdict::Report: ++summary.reported; break;
  }
}

std::string shown(std::string_view bytes, bool utf8Only) {
  return companion::escaped(bytes, utf8Only ? companion::Escape::Display : companion::Escape::Diagnostic);
}

// ---- the record a child sends ------------------------------------------------

namespace {

// Fields in a fixed order, each string as its length and bytes; the first
// bytes say whether the child got as far as a comparison.
struct Encoder {
  std::string bytes;
  void number(std::uint64_t value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void real(double value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); }
  void text(const std::string& value) {
    number(value.size());
    bytes += value;
  }
  void texts(const std::vector<std::string>& values) {
    number(values.size());
    for (const std::string& value : values) text(value);
  }
};

struct Decoder {
  std::string_view bytes;
  bool ok = true;
  bool number(std::uint64_t& value) {
    if (bytes.size() < sizeof value) return ok = false;
    std::memcpy(&value, bytes.data(), sizeof value);
    bytes.remove_prefix(sizeof value);
    return true;
  }
  bool real(double& value) {
    if (bytes.size() < sizeof value) return ok = false;
    std::memcpy(&value, bytes.data(), sizeof value);
    bytes.remove_prefix(sizeof value);
    return true;
  }
  bool text(std::string& value) {
    std::uint64_t size = 0;
    if (!number(size) || size > bytes.size()) return ok = false;
    value.assign(bytes.substr(0, size));
    bytes.remove_prefix(size);
    return true;
  }
  bool texts(std::vector<std::string>& values) {
    std::uint64_t size = 0;
    if (!number(size) || size > bytes.size()) return ok = false;
    values.resize(size);
    for (std::string& value : values) {
      if (!text(value)) return false;
    }
    return true;
  }
};

constexpr std::uint64_t kRecordMark = 0x7665'6c6d'6f72'6131;  // "velmora1"

std::string encode(const Comparison& c) {
  Encoder e;
  e.number(kRecordMark);
  e.number(c.compared ? 1 : 0);
  e.real(c.total);
  e.text(c.resultLine);
  e.text(c.stopText);
  e.text(c.stopDescription);
  e.texts(c.findings);
  e.text(c.firstFinding);
  e.text(c.explainJson);
  e.text(c.picture);
  e.text(c.referenceName);
  e.text(c.comparedName);
  std::vector<std::string> rows;
  for (const TopRow& row : c.top) {
    for (const std::string* field : {&row.row, &row.referenceLine, &row.comparedLine, &row.referenceValue,
                                     &row.comparedValue, &row.scaledDifference, &row.square, &row.share,
                                     &row.referenceText, &row.comparedText}) {
      rows.push_back(*field);
    }
  }
  e.texts(rows);
  e.number(kRecordMark);
  return std::move(e.bytes);
}

bool decode(std::string_view bytes, Comparison& c) {
  Decoder d{bytes};
  std::uint64_t mark = 0, compared = 0, endMark = 0;
  std::vector<std::string> rows;
  d.number(mark) && d.number(compared) && d.real(c.total) && d.text(c.resultLine) &&
      d.text(c.stopText) && d.text(c.stopDescription) && d.texts(c.findings) && d.text(c.firstFinding) && d.text(c.explainJson) && d.text(c.picture) &&
      d.text(c.referenceName) && d.text(c.comparedName) && d.texts(rows) && d.number(endMark);
  if (!d.ok || mark != kRecordMark || endMark != kRecordMark || !d.bytes.empty() || rows.size() % 10 != 0) {
    return false;
  }
  c.compared = compared == 1;
  for (std::size_t i = 0; i < rows.size(); i += 10) {
    c.top.push_back({rows[i], rows[i + 1], rows[i + 2], rows[i + 3], rows[i + 4], rows[i + 5],
                     rows[i + 6], rows[i + 7], rows[i + 8], rows[i + 9]});
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// Enters the case folder from its DIR's descriptor, one folder at a time, so
// no depth or path length matters; false with errno set.
bool enterCase(const Tree& tree, const Entry& entry) {
  int fd = ::openat(tree.rootFds[entry.root], ".", kPathFlags);
  std::size_t start = 0;
  while (fd >= 0 && entry.path != "." && start <= entry.path.size()) {
    std::size_t end = entry.path.find('/', start);
    if (end == std::string::npos) end = entry.path.size();
    const int next = ::openat(fd, entry.path.substr(start, end - start).c_str(), kPathFlags);
    const int error = errno;
    ::close(fd);
    fd = next;
    errno = error;
    start = end + 1;
  }
  if (fd < 0) return false;
  const bool entered = ::fchdir(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return entered;
}

// The child: ends with the parent, enters the case folder, compares, sends
// the record, and ends without running the parent's exit handlers or
// flushing its buffers.
[[noreturn]] void runChild(const Tree& tree, const Entry& entry, const RunOptions& options, int fd,
                           pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(4);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) std::signal(s, SIG_DFL);
  Comparison comparison;
  if (!enterCase(tree, entry)) {
    comparison.stopDescription = std::string("cannot enter it: ") + std::strerror(errno);
    comparison.stopText = twoLines("case " + quoted(entry.name), comparison.stopDescription);
  } else {
    try {
      compareHere(options, entry.limit, comparison);
    } catch (const std::bad_alloc&) {
      comparison = Comparison();
      comparison.stopDescription = "out of memory";
      comparison.stopText = twoLines("case " + quoted(entry.name), comparison.stopDescription);
    }
  }
  std::string record;
  try {
    record = encode(comparison);
  } catch (const std::bad_alloc&) {
    ::_exit(3);
  }
  ::_exit(writeAll(fd, record) ? 0 : 3);
}

using Clock = std::chrono::steady_clock;

struct Running {
  std::size_t index;
  pid_t pid;
  int fd;
  std::string bytes;
  Clock::time_point started, deadline;
  bool timedOut = false;
};

volatile std::sig_atomic_t gSignal = 0;
int gWake[2] = {-1, -1};  // written by the handler, so that a wait wakes

extern "C" void noteSignal(int signal) {
  if (gSignal == 0) gSignal = signal;
  const int saved = errno;
  if (gWake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(gWake[1], &byte, 1);
  }
  errno = saved;
}

// Descriptors the process may still open, less a margin for the files the
// parent and each child open themselves.
std::size_t descriptorsLeft() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  std::size_t open = 0;
  if (DIR* fds = ::opendir("/proc/self/fd")) {
    while (::readdir(fds) != nullptr) ++open;
    ::closedir(fds);
  }
  constexpr std::size_t kMargin = 16;
  const std::size_t soft = static_cast<std::size_t>(limit.rlim_cur);
  return soft > open + kMargin ? soft - open - kMargin : 0;
}

}  // namespace

void catchEndSignals() {
  if (gWake[0] < 0 && ::pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) gWake[0] = gWake[1] = -1;
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
}

int pendingSignal() { return gSignal; }

void endBySignal(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

int runCases(const Tree& tree, const RunOptions& options, const CaseSink& done, const ProgressSink& progress,
             const WarningSink& warn, std::string& error) {
  // A child's record is read whole before the child is waited for; a child
  // that cannot write because the parent is gone ends quietly.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<Entry>& entries = tree.entries;
  const pid_t self = ::getpid();
  std::size_t jobs = std::max(1u, options.jobs);
  bool warned = false;
  auto fewer = [&](std::size_t now, const std::string& why) {
    if (now >= jobs) return;
    if (!warned && warn) {
      warn(std::string(kProgram) + ": warning: running " + std::to_string(now) + " case" + (now == 1 ? "" : "s") +
           " at once instead of " + std::to_string(jobs) + ": " + why);
    }
    warned = true;
    jobs = now;
  };
  // Each running child holds one descriptor here.
  const std::size_t room = descriptorsLeft();
  if (room < jobs) fewer(std::max<std::size_t>(room, 1), "the limit of open files allows no more");

  std::vector<Running> running;
  std::map<std::size_t, CaseResult> finished;  // ended, not yet handed on
  std::size_t next = 0, handedOn = 0, ended = 0, failing = 0;
  const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));

  auto stopAll = [&] {
    for (Running& child : running) ::kill(-child.pid, SIGKILL);
    for (Running& child : running) {
      while (::waitpid(child.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      ::close(child.fd);
    }
    running.clear();
  };

  auto resultOf = [&](std::size_t index) {
    CaseResult result;
    const Entry& entry = entries[index];
    result.path = entry.name;
    result.junitClass = caseClass(entry);
    result.junitName = caseName(entry, tree);
    result.limit = entry.limit;
    return result;
  };

  enum class Start { Started, NoRoom, Failed };
  auto start = [&](std::size_t index) -> Start {
    const Entry& entry = entries[index];
    if (!entry.problem.empty()) {
      CaseResult result = resultOf(index);
      result.comparison.stopText = entry.problem;
      result.comparison.stopDescription = entry.problemDescription;
      result.verdict = Verdict::Error;
      finished.emplace(index, std::move(result));
      ++ended;
      ++failing;
      if (progress) progress(ended, failing);
      return Start::Started;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      const int why = errno;
      if ((why == EMFILE || why == ENFILE) && !running.empty()) {
        fewer(running.size(), std::string("pipe: ") + std::strerror(why));
        return Start::NoRoom;
      }
      error = twoLines("cannot start a case", std::string("pipe: ") + std::strerror(why));
      return Start::Failed;
    }
    // The child ends with _exit: what the parent's buffers hold is never
    // written twice.
    const pid_t pid = ::fork();
    if (pid < 0) {
      const int why = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      if ((why == EAGAIN || why == ENOMEM) && !running.empty()) {
        fewer(running.size(), std::string("fork: ") + std::strerror(why));
        return Start::NoRoom;
      }
      error = twoLines("cannot start a case", std::string("fork: ") + std::strerror(why));
      return Start::Failed;
    }
    if (pid == 0) {
      ::setpgid(0, 0);
      ::close(fds[0]);
      for (const Running& other : running) ::close(other.fd);
      if (gWake[0] >= 0) {
        ::close(gWake[0]);
        ::close(gWake[1]);
        gWake[0] = gWake[1] = -1;
      }
      runChild(tree, entry, options, fds[1], self);
    }
    // Both sides set the group, so that it exists whichever runs first.
    ::setpgid(pid, pid);
    ::close(fds[1]);
    const Clock::time_point now = Clock::now();
    running.push_back({index, pid, fds[0], {}, now, options.timeout > 0 ? now + timeout : Clock::time_point::max()});
    finished.emplace(index, resultOf(index));
    return Start::Started;
  };

  auto finish = [&](Running& child) {
    if (child.timedOut) ::kill(-child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Anything the case's process group left behind goes with it.
    ::kill(-child.pid, SIGKILL);
    ::close(child.fd);
    CaseResult& result = finished.at(child.index);
    result.seconds = std::chrono::duration<double>(Clock::now() - child.started).count();
    if (child.timedOut) {
      result.comparison = Comparison();
      result.comparison.stopDescription = "timed out after " + options.timeoutText + " s";
      result.comparison.stopText = twoLines("case " + quoted(result.path), result.comparison.stopDescription);
    } else if (!decode(child.bytes, result.comparison)) {
      result.comparison = Comparison();
      const std::string how = WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                                        strsignal(WTERMSIG(status)) + ")"
                                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
      result.comparison.stopDescription = "its comparison " + how;
      result.comparison.stopText = twoLines("case " + quoted(result.path), result.comparison.stopDescription);
    }
    result.verdict = judge(result.comparison, result.limit);
    ++ended;
    if (result.verdict == Verdict::Fail || result.verdict == Verdict::Error) ++failing;
    if (progress) progress(ended, failing);
  };

  // Every case before `handedOn` is done; a case still running stops the
  // line. False when the sink says stop.
  auto handOn = [&] {
    while (true) {
      auto at = finished.find(handedOn);
      if (at == finished.end()) return true;
      const bool stillRunning = std::any_of(running.begin(), running.end(),
                                            [&](const Running& r) { return r.index == handedOn; });
      if (stillRunning) return true;
      const bool more = done(handedOn, at->second);
      finished.erase(at);
      ++handedOn;
      if (!more) return false;
    }
  };

  while (next < entries.size() || !running.empty()) {
    if (gSignal != 0) {
      stopAll();
      return gSignal;
    }
    while (next < entries.size() && running.size() < jobs) {
      const Start started = start(next);
      if (started == Start::Failed) {
        stopAll();
        return kRunFailed;
      }
      if (started == Start::NoRoom) break;
      ++next;
    }
    if (!handOn()) {
      stopAll();
      return kRunStopped;
    }
    if (running.empty()) continue;
    std::vector<pollfd> waiting;
    for (const Running& child : running) waiting.push_back({child.fd, POLLIN, 0});
    if (gWake[0] >= 0) waiting.push_back({gWake[0], POLLIN, 0});
    const Clock::time_point now = Clock::now();
    Clock::time_point first = Clock::time_point::max();
    for (const Running& child : running) first = std::min(first, child.deadline);
    int wait = -1;
    if (first != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - now).count() + 1;
      wait = static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
    }
    if (::poll(waiting.data(), waiting.size(), wait) < 0) {
      if (errno == EINTR) continue;
      error = twoLines("cannot wait for the cases", std::string("poll: ") + std::strerror(errno));
      stopAll();
      return kRunFailed;
    }
    if (gWake[0] >= 0 && waiting.back().revents != 0) {
      char drain[16];
      while (::read(gWake[0], drain, sizeof drain) > 0) {
      }
    }
    const Clock::time_point after = Clock::now();
    for (std::size_t i = running.size(); i-- > 0;) {
      Running& child = running[i];
      bool over = false;
      if (waiting[i].revents != 0) {
        char buffer[65536];
        const ssize_t got = ::read(child.fd, buffer, sizeof buffer);
        if (got > 0) {
          child.bytes.append(buffer, static_cast<std::size_t>(got));
        } else if (!(got < 0 && (errno == EINTR || errno == EAGAIN))) {
          over = true;
        }
      }
      if (!over && after >= child.deadline) {
        child.timedOut = true;
        over = true;
      }
      if (over) {
        finish(child);
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (!handOn()) {
      stopAll();
      return kRunStopped;
    }
  }
  if (gSignal != 0) return gSignal;
  return handOn() ? kRunDone : kRunStopped;
}

}  // namespace velmora::suite
