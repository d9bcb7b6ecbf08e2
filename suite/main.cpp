// velmora-suite: every case of a tree, compared as velmora compares it and
// judged against its limit. See suite.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/companion.h"
#include "suite/suite.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "unknown"
#endif

namespace {

using namespace velmora::suite;

constexpr char kProgram[] = "velmora-suite";
constexpr int kCannotRead = 2;
// More children at once than this would only wait for the processors.
constexpr unsigned kMaxJobs = 256;

constexpr char kHelp[] =
    "Usage: velmora-suite [OPTION]... [DIR]...\n"
    "Compare every case under each DIR (default .) as velmora compares it, judge\n"
    "each total against its limit, and report. A case is a folder holding\n"
    "CompareThese.inp; its limit is the number in its file velmora-limit, or else\n"
    "--fail-above. No file in a case folder is created or changed.\n"
    "\n"
    "  -j, --jobs N         run N cases at once (default: the number of processors)\n"
    "      --fail-above X   the limit of every case without a velmora-limit file\n"
    "      --junit FILE     also write the results as JUnit XML to FILE\n"
    "      --html DIR       also write an HTML report into DIR (created if missing)\n"
    "      --json           write the results as one JSON document instead of lines\n"
    "      --help           display this help and exit\n"
    "      --version        output version information and exit\n"
    "\n"
    "Each case gives one line: path, result line, limit, verdict (pass, fail, error,\n"
    "report), first finding, separated by tabs; a summary line ends the list.\n"
    "Exit status: 0 every case within its limit; 1 a case above its limit;\n"
    "2 a case cannot be read, or a usage error.\n";

struct Options {
  std::vector<std::string> roots;
  unsigned jobs = 0;
  std::optional<double> failAbove;
  std::string failAboveText;
  std::optional<std::string> junit, htmlDirectory;
  bool json = false;
};

[[noreturn]] void usageError(const std::string& message) { velmora::companion::usageError(kProgram, message); }

unsigned processors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1u : online > static_cast<long>(kMaxJobs) ? kMaxJobs : static_cast<unsigned>(online);
}

Options parseArguments(int argc, char** argv) {
  Options options;
  velmora::companion::CommandLine line(kProgram, argc, argv, 'j', "jobs");
  while (line.next()) {
    if (line.isOperand()) {
      options.roots.emplace_back(line.operand());
      continue;
    }
    const std::string_view name = line.name();
    if (name == "help") {
      line.noValue();
      velmora::companion::writeAndExit(kProgram, kHelp);
    } else if (name == "version") {
      line.noValue();
      velmora::companion::writeAndExit(kProgram, "velmora-suite " VELMORA_VERSION "\n");
    } else if (name == "json") {
      line.noValue();
      options.json = true;
    } else if (name == "jobs") {
      const std::string_view text = line.value();
      unsigned jobs = 0;
      auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), jobs);
      if (text.empty() || failure != std::errc() || end != text.data() + text.size() || jobs == 0 ||
          jobs > kMaxJobs) {
        usageError("invalid number of jobs: '" + std::string(text) + "' (1 to " + std::to_string(kMaxJobs) + ")");
      }
      options.jobs = jobs;
    } else if (name == "fail-above") {
      const std::string_view text = line.value();
      double limit = 0;
      if (!velmora::companion::parseLimit(text, limit)) {
        usageError("invalid number for --fail-above: '" + std::string(text) + "'");
      }
      options.failAbove = limit;
      options.failAboveText = std::string(text);
    } else if (name == "junit") {
      const std::string_view text = line.value();
      if (text.empty()) usageError("option '--junit' needs a file name");
      options.junit = std::string(text);
    } else if (name == "html") {
      const std::string_view text = line.value();
      if (text.empty()) usageError("option '--html' needs a folder name");
      options.htmlDirectory = std::string(text);
    } else {
      line.unrecognized();
    }
  }
  if (options.roots.empty()) options.roots.emplace_back(".");
  if (options.jobs == 0) options.jobs = processors();
  return options;
}

bool sameFolder(const std::string& a, const std::string& b) {
  struct stat x {}, y {};
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// The reports are never written into a case folder: that would change a case.
void refuseCaseFolder(const std::string& what, const std::string& path, const std::vector<std::string>& cases) {
  for (const std::string& folder : cases) {
    if (sameFolder(folder, path)) {
      usageError("the " + what + " '" + shown(path) + "' would be written into the case folder '" + shown(folder) + "'");
    }
  }
}

// A terminal gets a progress line on standard error, redrawn in place.
struct Progress {
  bool shown = false;
  std::size_t total = 0;
  void update(std::size_t finished, std::size_t failing) {
    std::fprintf(stderr, "\r%zu of %zu cases done, %zu failing", finished, total, failing);
    std::fflush(stderr);
    shown = true;
  }
  void clear() {
    if (shown) std::fputs("\r\033[K", stderr);
    shown = false;
  }
};

int run(int argc, char** argv) {
  // A closed standard descriptor is occupied first, so that the lines are
  // never written into the JUnit file; a failed write is reported.
  velmora::companion::prepareProcess();
  const auto started = std::chrono::steady_clock::now();
  const Options options = parseArguments(argc, argv);

  std::string error;
  const std::vector<std::string> cases = findCases(options.roots, error);
  if (!error.empty()) {
    std::fputs(error.c_str(), stderr);
    return kCannotRead;
  }
  if (cases.empty()) {
    std::string roots;
    for (const std::string& root : options.roots) roots += (roots.empty() ? "'" : ", '") + shown(root) + "'";
    std::fprintf(stderr, "%s: no case under %s\nerror: no folder there holds %s\n", kProgram, roots.c_str(),
                 kCaseFileName);
    return kCannotRead;
  }
  if (options.junit) refuseCaseFolder("JUnit file", velmora::companion::folderOf(*options.junit), cases);
  if (options.htmlDirectory) {
    refuseCaseFolder("HTML report", velmora::companion::folderOf(*options.htmlDirectory), cases);
    refuseCaseFolder("HTML report", *options.htmlDirectory, cases);
    if (::mkdir(options.htmlDirectory->c_str(), 0777) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "%s: HTML report '%s'\nerror: cannot make the folder: %s\n", kProgram,
                   shown(*options.htmlDirectory).c_str(), std::strerror(errno));
      return kCannotRead;
    }
  }
  // Opened before any case runs, so that a name that cannot be written stops
  // the run at once.
  std::FILE* junit = nullptr;
  if (options.junit) {
    junit = std::fopen(options.junit->c_str(), "w");
    if (junit == nullptr) {
      std::fprintf(stderr, "%s: JUnit file '%s'\nerror: cannot open it: %s\n", kProgram, shown(*options.junit).c_str(),
                   std::strerror(errno));
      return kCannotRead;
    }
  }

  RunOptions run;
  run.jobs = options.jobs;
  run.wantJson = options.json;
  run.wantDetail = options.htmlDirectory.has_value();
  if (options.failAbove) run.failAbove = {LimitSource::Option, *options.failAbove, options.failAboveText};

  Summary summary;
  std::vector<CaseResult> kept;  // without the bulky parts, for the index and JUnit
  bool written = options.json ? writeJsonStart(stdout) : true;
  bool pagesWritten = true;
  int pageError = 0;
  Progress progress;
  progress.total = cases.size();
  const bool terminal = ::isatty(STDERR_FILENO) == 1;

  auto done = [&](std::size_t index, CaseResult& result) {
    count(summary, result);
    progress.clear();
    written = (options.json ? writeJsonCase(stdout, result, index == 0) : writeCaseLine(stdout, result)) && written;
    if (options.htmlDirectory && pagesWritten && !writeCasePage(*options.htmlDirectory, index, result)) {
      pagesWritten = false;
      pageError = errno;
    }
    result.comparison.explainJson.clear();
    result.comparison.explainJson.shrink_to_fit();
    result.comparison.picture.clear();
    result.comparison.picture.shrink_to_fit();
    result.comparison.top.clear();
    result.comparison.top.shrink_to_fit();
    kept.push_back(std::move(result));
  };
  auto progressed = [&](std::size_t finished, std::size_t failing) {
    if (terminal) progress.update(finished, failing);
  };
  if (!runCases(cases, run, done, progressed, error)) {
    progress.clear();
    std::fputs(error.c_str(), stderr);
    if (junit != nullptr) std::fclose(junit);
    return kCannotRead;
  }
  progress.clear();
  written = (options.json ? writeJsonEnd(stdout, summary) : writeSummaryLine(stdout, summary)) && written;
  written = std::fflush(stdout) == 0 && written;
  int status = summary.exitStatus();
  if (!written) {
    std::fprintf(stderr, "%s: standard output\nerror: cannot write: %s\n", kProgram, std::strerror(errno));
    status = kCannotRead;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (junit != nullptr) {
    errno = 0;
    const bool junitWritten = writeJunit(junit, kept, summary, seconds);
    const int junitError = errno;
    if (std::fclose(junit) != 0 || !junitWritten) {
      std::fprintf(stderr, "%s: JUnit file '%s'\nerror: cannot write it: %s\n", kProgram,
                   shown(*options.junit).c_str(), std::strerror(junitError != 0 ? junitError : errno));
      status = kCannotRead;
    }
  }
  if (options.htmlDirectory) {
    if (pagesWritten && !writeIndexPage(*options.htmlDirectory, kept, summary)) {
      pagesWritten = false;
      pageError = errno;
    }
    if (!pagesWritten) {
      std::fprintf(stderr, "%s: HTML report '%s'\nerror: cannot write it: %s\n", kProgram,
                   shown(*options.htmlDirectory).c_str(), std::strerror(pageError));
      status = kCannotRead;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("velmora-suite: out of memory\nerror: cannot allocate memory\n", stderr);
    return kCannotRead;
  }
}
