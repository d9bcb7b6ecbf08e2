// Where velmora's open of a file would lead, found without creating or
// changing anything: the reader's own open rules (followOpenRules, then
// stopAfterOpen), evaluated on the answers the system gives about the file
// and its folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "explain/facts.h"
#include "companion/companion.h"

namespace velmora::explain {
namespace {

// The missing file at the end of a chain of links that leads nowhere: the
// file a creating open makes.
int endOfDanglingChain(const std::string& path, std::string& target) {
  std::string end;
  if (const int error = companion::followLinks(path, end); error != 0) return error;
  struct stat status {};
  if (::lstat(end.c_str(), &status) == 0) return ENOENT;  // it appeared meanwhile
  if (errno != ENOENT) return errno;
  target = end;
  return 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool statOf(const std::string& path, struct stat& status) {
  return !path.empty() && ::stat(path.c_str(), &status) == 0;
}

// The programs of this installation: velmora-explain itself, and velmora
// beside it (installed in the same folder, or built in ../app).
struct OwnPrograms {
  bool haveSelf = false, haveVelmora = false;
  struct stat self {}, velmora {};
};
const OwnPrograms& ownPrograms() {
  static const OwnPrograms programs = [] {
    OwnPrograms own;
    std::string path(PATH_MAX, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return own;
    path.resize(static_cast<std::size_t>(length));
    own.haveSelf = statOf(path, own.self);
    const std::string folder = companion::folderOf(path);
    own.haveVelmora = statOf(folder + "/velmora", own.velmora) ||
                      statOf(folder + "/../app/velmora", own.velmora);
    return own;
  }();
  return programs;
}

// Whether writing to this program file is refused because it is being run
// (ETXTBSY). velmora runs from its own file while it opens its data, and
// velmora-explain would not be running then; any other file is asked of the
// system by an open for writing, closed at once: without truncation, nothing
// in the file or its times changes.
bool isBusyProgram(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode) || (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return false;
  const OwnPrograms& own = ownPrograms();
  if (own.haveVelmora && sameFile(status, own.velmora)) return true;
  if (own.haveSelf && sameFile(status, own.self)) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return false;
  }
  return errno == ETXTBSY;
}

// Whether the system would create a file in `folder` (0) or why not. It is
// asked to make an unnamed file there, which vanishes when closed: that
// checks the permissions, a read-only or full file system (no free inodes
// too) and a folder that was removed. Where a file system cannot make
// unnamed files, the permissions alone decide.
int creationError(const std::string& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return errno;
  if (!S_ISDIR(status.st_mode)) return ENOTDIR;
  // A folder that was removed (a working directory, say) takes no new file.
  if (status.st_nlink == 0) return ENOENT;
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd >= 0) {
    ::close(fd);
    return 0;
  }
  const int error = errno;
  if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) return error;
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

// What the system says about the name before any attempt.
struct Target {
  std::string path;
  bool trailingSlash = false;
  int statError = 0;  // 0: it exists (links followed)
  struct stat status {};
  std::string created;  // a missing file: the file a creating open makes
  int chainError = 0;   // a link that leads nowhere whose end cannot be found
  bool throughLink = false;
};

Target targetOf(std::string_view name) {
  Target target;
  target.path = std::string(name);
  target.trailingSlash = target.path.back() == '/';
  if (::stat(target.path.c_str(), &target.status) != 0) target.statError = errno;
  target.created = target.path;
  struct stat link {};
  if (target.statError == ENOENT && ::lstat(target.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    target.throughLink = true;
    target.chainError = endOfDanglingChain(target.path, target.created);
  }
  return target;
}

// One attempt of velmora's open, as the system would answer it: 0 granted,
// or -errno.
int predictAttempt(const Target& target, OpenAttempt attempt) {
  const bool creating = attempt != OpenAttempt::ReadOnly;
  if (target.trailingSlash && creating) {
    // A creating open refuses a name ending in a slash, once its folder is
    // reached, whatever the name holds.
    struct stat folder {};
    if (::stat(companion::folderOf(target.path).c_str(), &folder) != 0) return -errno;
    return S_ISDIR(folder.st_mode) ? -EISDIR : -ENOTDIR;
  }
  if (target.statError == 0) {
    const struct stat& status = target.status;
    if (S_ISDIR(status.st_mode)) return creating ? -EISDIR : 0;
    const int mode = attempt == OpenAttempt::ReadWriteCreate ? R_OK | W_OK
                     : attempt == OpenAttempt::ReadOnly      ? R_OK
                                                             : W_OK;
    if (::faccessat(AT_FDCWD, target.path.c_str(), mode, AT_EACCESS) != 0) return -errno;
    if (creating && isBusyProgram(target.path, status)) return -ETXTBSY;
    if (S_ISSOCK(status.st_mode)) return -ENXIO;
    return 0;
  }
  if (target.statError != ENOENT) return -target.statError;
  if (!creating) return -ENOENT;
  if (target.chainError != 0) return -target.chainError;
  const int error = creationError(companion::folderOf(target.created));
  return error == 0 ? 0 : -error;
}

FileKind kindOf(const Target& target) {
  if (target.statError != 0) return FileKind::Missing;
  if (S_ISREG(target.status.st_mode)) return FileKind::Regular;
  if (S_ISFIFO(target.status.st_mode)) return FileKind::Fifo;
  if (S_ISDIR(target.status.st_mode)) return FileKind::Directory;
  return FileKind::Other;
}

}  // namespace

void predictOpen(std::string_view name, int channel, const OpenStatements& statements,
                 bool& wouldCreate, std::optional<std::string>& linkTarget) {
  wouldCreate = false;
  linkTarget.reset();
  name = fileNameOf(name);
  const Target target = unaskableNameError(name) == 0 ? targetOf(name) : Target{};
  if (target.throughLink && target.chainError == 0) linkTarget = target.created;
  const OpenOutcome outcome = followOpenRules(
      name, true, [&](OpenAttempt attempt) { return predictAttempt(target, attempt); });
  const FileKind kind = kindOf(target);
  wouldCreate = outcome.attempt != OpenAttempt::GiveUp && kind == FileKind::Missing;
  const OpenStop stop = stopAfterOpen(outcome, kind);
  if (stop.step == OpenStep::None) return;
  StopContext context;
  context.kind = stop.kind;
  context.channel = channel;
  context.osError = stop.osError;
  if (stop.step == OpenStep::Open) {
    context.statement = statements.open;
    context.openName = name;
  } else {
    context.statement = stop.step == OpenStep::Rewind ? statements.rewind : statements.firstRead;
    context.file = name;
  }
  stopRun(context);
}

}  // namespace velmora::explain
