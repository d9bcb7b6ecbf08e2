// velmora-explain: the report on what velmora reads from a pair of data files
// and where their difference comes from. See explain.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comparison/comparison.h"
#include "companion/companion.h"
#include "companion/outputs.h"
#include "explain/explain.h"
#include "explain/plot.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "unknown"
#endif

namespace {

using namespace velmora;
using namespace velmora::explain;
using namespace velmora::companion;

constexpr char kProgram[] = "velmora-explain";
constexpr int kCannotRead = 2;
constexpr int kAboveLimit = 1;
// Listed rows from which the report counts as long (prepareLongOutput).
constexpr std::size_t kLongList = 1000;

constexpr char kHelp[] =
    "Usage: velmora-explain [OPTION]... [REFERENCE COMPARED]\n"
    "Show what velmora reads from a pair of data files, how, and where their\n"
    "difference comes from. With no file names, the pair named in\n"
    "./CompareThese.inp is read, as velmora reads it; otherwise the two files\n"
    "named (no control file is read). No file is created or changed, but the\n"
    "picture --plot asks for.\n"
    "\n"
    "      --top N          list the N rows that add most to the total\n"
    "                       (default 10; 0 lists none)\n"
    "      --json           write the report as one JSON object\n"
    "      --plot FILE      also write an SVG picture of each row's contribution\n"
    "      --fail-above X   exit with status 1 when the total is above X or NaN\n"
    "      --help           display this help and exit\n"
    "      --version        output version information and exit\n"
    "\n"
    "Exit status: 0 report made; 1 the total is above --fail-above; 2 a file\n"
    "cannot be read (the report shows what was learned before) or a usage error.\n";

struct Options {
  Request request;
  bool json = false;
  std::optional<std::string> plot;
  std::optional<double> failAbove;
};

[[noreturn]] void usageError(const std::string& message) { velmora::companion::usageError(kProgram, message); }


Options parseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> names;
  CommandLine line(kProgram, argc, argv);
  while (line.next()) {
    if (line.isOperand()) {
      names.emplace_back(line.operand());
      continue;
    }
    const std::string_view name = line.name();
    if (name == "help") {
      line.noValue();
      writeAndExit(kProgram, kHelp);
    } else if (name == "version") {
      line.noValue();
      writeAndExit(kProgram, "velmora-explain " VELMORA_VERSION "\n");
    } else if (name == "json") {
      line.noValue();
      options.json = true;
    } else if (name == "top") {
      const std::string_view text = line.value();
      if (!velmora::companion::wholeNumber(text, options.request.top)) {
        usageError("invalid row count for --top: '" + std::string(text) + "'");
      }
    } else if (name == "plot") {
      const std::string_view text = line.value();
      if (text.empty()) usageError("option '--plot' needs a file name");
      options.plot = std::string(text);
    } else if (name == "fail-above") {
      const std::string_view text = line.value();
      double limit = 0;
      if (!parseLimit(text, limit)) usageError("invalid number for --fail-above: '" + std::string(text) + "'");
      options.failAbove = limit;
    } else {
      line.unrecognized();
    }
  }
  if (names.size() == 2) {
    options.request.fromControlFile = false;
    options.request.referenceName = names[0];
    options.request.comparedName = names[1];
  } else if (!names.empty()) {
    usageError(names.size() == 1 ? "missing the compared file after '" + names[0] + "'"
                                 : "too many file names (two at most)");
  }
  options.request.keepSquares = options.plot.has_value();
  options.request.failAbove = options.failAbove;
  return options;
}

// The files a run reads, by device and inode: the picture must be none of them.
std::vector<ReadFile> filesRead(const Explanation& facts) {
  std::vector<ReadFile> read;
  auto add = [&](const std::string& name) {
    struct stat status {};
    if (::stat(name.c_str(), &status) == 0) read.push_back({companion::idOf(status), name, {}});
  };
  if (facts.control.used) add(kControlFileName);
  for (const FileFacts& file : facts.files) {
    if (file.named) add(file.name);
  }
  return read;
}

[[noreturn]] void refusePicture(const std::string& path, const std::string& why) {
  usageError("the picture '" + path + "' would replace " + why);
}

// Before anything is written: the picture named is not a file the run reads,
// nor the file standard output or standard error goes to (the report or the
// diagnostics would be overwritten), links followed.
void checkPicturePath(const std::string& path, const std::vector<ReadFile>& read) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;
  if (const ReadFile* input = companion::sameFile(read, status)) {
    refusePicture(path, "'" + input->name + "', a file this run reads");
  }
  const char* const streams[] = {"", "standard output", "standard error"};
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat stream {};
    if (::fstat(fd, &stream) == 0 && S_ISREG(stream.st_mode) && stream.st_dev == status.st_dev &&
        stream.st_ino == status.st_ino) {
      refusePicture(path, std::string("the file ") + streams[fd] + " writes to");
    }
  }
}

bool pictureFailed(const std::string& path, int error) {
  std::fprintf(stderr, "%s: cannot write the picture '%s': %s\n", kProgram, path.c_str(),
               std::strerror(error));
  return false;
}

// Writes the picture through an open descriptor, which it closes; the errno
// of the first failure, or 0.
int writePictureTo(int fd, const Explanation& facts) {
  std::FILE* out = ::fdopen(fd, "w");
  if (out == nullptr) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  int error = 0;
  try {
    std::vector<std::string> caption;
    const PlotData data = plotDataOf(facts, caption);
    errno = 0;
    if (!writePlot(out, data) || std::fflush(out) != 0) error = errno != 0 ? errno : EIO;
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  if (std::fclose(out) != 0 && error == 0) error = errno;
  return error;
}

// The --plot file, the one file the program ever writes.
//   - Not a regular file (a pipe, /dev/null, a terminal): written as it is,
//     never emptied first; a named pipe nobody reads is refused at once
//     (No such device or address) instead of waiting.
//   - Otherwise the picture is written to a new file in the same folder,
//     which then replaces the named one (or the file a link names) in one
//     step: a run killed or a disk filled midway leaves the old picture
//     whole, and the new file is removed again.
// Either way the file opened is checked once more against the files the run
// reads and the file standard output and standard error go to.
bool writePicture(const std::string& path, const Explanation& facts,
                  const std::vector<ReadFile>& read) {
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    if (S_ISDIR(status.st_mode)) return pictureFailed(path, EISDIR);
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return pictureFailed(path, errno);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
      const int error = errno;
      ::close(fd);
      return pictureFailed(path, error);
    }
    const int error = writePictureTo(fd, facts);
    return error == 0 || pictureFailed(path, error);
  }
  // The file to replace: the one a link names, where it exists; a link that
  // leads nowhere is kept, and the file it names is made, as a shell's >
  // makes it.
  std::string target = path;
  if (exists) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  if (!exists) target = companion::writtenName(path);
  // The permissions a new file gets (0666 less the umask), or those of the
  // picture it replaces.
  const mode_t mode = exists ? status.st_mode & 07777 : companion::newFileMode(0666);
  std::string temporary;
  const int fd = companion::openAside(target, mode, temporary);
  if (fd < 0) return pictureFailed(path, errno);
  int error = writePictureTo(fd, facts);
  if (error == 0) {
    struct stat now {};
    if (::stat(target.c_str(), &now) == 0) {
      if (const ReadFile* input = companion::sameFile(read, now)) {
        ::unlink(temporary.c_str());
        refusePicture(path, "'" + input->name + "', a file this run reads");
      }
    }
    if (!companion::putInPlace(temporary, target)) return pictureFailed(path, errno);
    return true;
  }
  ::unlink(temporary.c_str());
  return pictureFailed(path, error);
}

int run(int argc, char** argv) {
  // A closed standard descriptor is occupied first, so that no file the run
  // opens takes its place; a failed write is reported like any other.
  companion::prepareProcess();
  const Options options = parseArguments(argc, argv);

  static Workspace workspace = [] {
    const MemoryStopsThrown memory;
    return Workspace();
  }();
  Explanation facts;
  explainPair(options.request, workspace, facts);

  const std::vector<ReadFile> read = filesRead(facts);
  if (options.plot) checkPicturePath(*options.plot, read);

  // A list of many rows (a few hundred bytes each) is more than a pipe
  // holds as the system makes it: the pipe is made larger first.
  if (facts.top.size() >= kLongList) companion::prepareLongOutput(stdout);
  const bool written = options.json ? writeJsonReport(stdout, facts) : writeTextReport(stdout, facts);
  if (!written) {
    std::fprintf(stderr, "%s: cannot write the report: %s\n", kProgram, std::strerror(errno));
  }
  if (facts.stop) {
    // The same two lines velmora writes, where velmora writes them.
    std::fputs(facts.stop->text.c_str(), stderr);
    return kCannotRead;
  }
  if (!written) return kCannotRead;
  if (options.plot && !writePicture(*options.plot, facts, read)) return kCannotRead;
  if (options.failAbove && companion::aboveLimit(facts.total, *options.failAbove)) {
    return kAboveLimit;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Every allocation failure, wherever it happens, is this one line; no file
  // has been created by then (the picture comes last and is removed again).
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("velmora-explain: out of memory\n", stderr);
    return kCannotRead;
  }
}
