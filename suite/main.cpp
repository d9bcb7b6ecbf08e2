// velmora-suite: every case of a tree, compared as velmora compares it and
// judged against its limit. See suite.h.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
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
    "--fail-above. No file in a case folder is created or changed, but for the\n"
    "references --accept replaces.\n"
    "\n"
    "  -j, --jobs N         run N cases at once (default: the number of processors)\n"
    "      --fail-above X   the limit of every case without a velmora-limit file\n"
    "      --junit FILE     also write the results as JUnit XML to FILE\n"
    "      --junit-suite NAME  name the JUnit test suite NAME (default velmora-suite)\n"
    "      --html DIR       also write an HTML report into DIR (created if missing)\n"
    "      --json           write the results as one JSON document instead of lines\n"
    "      --timeout S      end a case that runs longer than S seconds (default 600;\n"
    "                       0 for no limit)\n"
    "      --shard K/N      run only the K-th of N parts of the cases (for a CI matrix)\n"
    "      --accept CASE    replace CASE's reference file by its compared file (CASE\n"
    "                       as the lines name it; may be given again)\n"
    "      --accept-failed  likewise for every case above its limit\n"
    "      --accept-shared  also replace a reference outside its case folder\n"
    "      --dry-run        with --accept: say what would be replaced, replace nothing\n"
    "      --suggest-limits print a limit for each case without one, instead of\n"
    "                       the lines; nothing is written\n"
    "      --help           display this help and exit\n"
    "      --version        output version information and exit\n"
    "\n"
    "Each case gives one line: path, result line, limit, verdict (pass, fail, error,\n"
    "report), the finding that explains the total, separated by tabs; a summary\n"
    "line ends the list.\n"
    "Exit status: 0 every case within its limit; 1 a case above its limit;\n"
    "2 a case cannot be read, or a usage error.\n";

struct Options {
  std::vector<std::string> roots;
  unsigned jobs = 0;
  std::optional<double> failAbove;
  std::string failAboveText;
  std::optional<std::string> junit, htmlDirectory;
  std::string junitSuite = "velmora-suite";
  bool json = false;
  bool suggestLimits = false;
  std::vector<std::string> accept;
  bool acceptFailed = false, acceptShared = false, dryRun = false;
  bool accepting() const { return !accept.empty() || acceptFailed; }
  double timeout = kDefaultTimeout;
  std::string timeoutText = "600";
  unsigned shard = 0, shards = 0;
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
    } else if (name == "accept") {
      const std::string_view text = line.value();
      if (text.empty()) usageError("option '--accept' needs a case name");
      options.accept.emplace_back(text);
    } else if (name == "accept-failed" || name == "accept-shared" || name == "dry-run") {
      line.noValue();
      (name == "accept-failed" ? options.acceptFailed : name == "accept-shared" ? options.acceptShared : options.dryRun) =
          true;
    } else if (name == "suggest-limits") {
      line.noValue();
      options.suggestLimits = true;
    } else if (name == "junit-suite") {
      const std::string_view text = line.value();
      if (text.empty()) usageError("option '--junit-suite' needs a name");
      options.junitSuite = std::string(text);
    } else if (name == "jobs") {
      const std::string_view text = line.value();
      unsigned jobs = 0;
      if (!velmora::companion::wholeNumber(text, jobs) || jobs == 0 || jobs > kMaxJobs) {
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
    } else if (name == "timeout") {
      const std::string_view text = line.value();
      double seconds = 0;
      if (!velmora::companion::wholeNumber(text, seconds) || !(seconds >= 0) || std::isinf(seconds) || seconds > 1e9) {
        usageError("invalid number of seconds for --timeout: '" + std::string(text) + "'");
      }
      options.timeout = seconds;
      options.timeoutText = std::string(text);
    } else if (name == "shard") {
      const std::string_view text = line.value();
      const std::size_t slash = text.find('/');
      unsigned k = 0, n = 0;
      if (slash == std::string_view::npos || !velmora::companion::wholeNumber(text.substr(0, slash), k) ||
          !velmora::companion::wholeNumber(text.substr(slash + 1), n) || k < 1 || k > n) {
        usageError("invalid shard: '" + std::string(text) + "' (K/N, 1 <= K <= N)");
      }
      options.shard = k;
      options.shards = n;
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
  if (options.suggestLimits && (options.json || options.junit || options.htmlDirectory)) {
    usageError("--suggest-limits writes nothing: it cannot be given with --json, --junit or --html");
  }
  if ((options.acceptShared || options.dryRun) && !options.accepting()) {
    usageError(std::string(options.dryRun ? "--dry-run" : "--accept-shared") + " goes with --accept or --accept-failed");
  }
  if (options.accepting() && (options.json || options.junit || options.htmlDirectory || options.suggestLimits ||
                              options.shards > 0)) {
    usageError("--accept replaces references only: it cannot be given with --json, --junit, --html, "
               "--suggest-limits or --shard");
  }
  if (options.roots.empty()) options.roots.emplace_back(".");
  if (options.jobs == 0) options.jobs = processors();
  return options;
}

[[noreturn]] void refuse(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "%s: %s\nerror: %s\n", kProgram, what.c_str(), why.c_str());
  std::exit(kCannotRead);
}

// ---- the terminal ------------------------------------------------------------

// A terminal gets a progress line on standard error, redrawn in place: taken
// away while a case's line is written, and drawn again below it.
struct Progress {
  bool terminal = false;
  bool shown = false;
  std::size_t total = 0, finished = 0, failing = 0;
  void update(std::size_t done, std::size_t failures) {
    finished = done;
    failing = failures;
    draw();
  }
  void draw() {
    if (!terminal || finished == 0) return;
    std::fprintf(stderr, "\r%zu of %zu %s done, %zu failing", finished, total, total == 1 ? "case" : "cases",
                 failing);
    std::fflush(stderr);
    shown = true;
  }
  void clear() {
    if (shown) std::fputs("\r\033[K", stderr);
    shown = false;
  }
};

// --accept: the chosen cases are compared (every case, for
// --accept-failed), every refusal is found, and only then is each reference
// replaced, with one line each.
int acceptReferences(const Options& options, Tree& tree) {
  const std::vector<Entry> all = tree.entries;
  if (!options.acceptFailed) {
    std::vector<Entry> named;
    for (const std::string& name : options.accept) {
      bool found = false;
      for (const Entry& entry : all) {
        if (entry.name != name) continue;
        found = true;
        bool twice = false;
        for (const Entry& taken : named) twice = twice || taken.name == name;
        if (!twice) named.push_back(entry);
      }
      if (!found) refuse("case '" + shown(name) + "'", "no such case: name it as the lines of a run name it");
    }
    tree.entries = std::move(named);
  }
  RunOptions run;
  run.jobs = options.jobs;
  run.timeout = options.timeout;
  run.timeoutText = options.timeoutText;
  std::vector<CaseResult> chosen;
  auto done = [&](std::size_t, CaseResult& result) {
    if (!options.acceptFailed || result.verdict == Verdict::Fail) chosen.push_back(std::move(result));
    return true;
  };
  std::string error;
  const int ended = runCases(tree, run, done, nullptr, nullptr, error);
  if (ended > 0) endBySignal(ended);
  if (ended != kRunDone) {
    std::fputs(error.c_str(), stderr);
    return kCannotRead;
  }
  std::vector<Acceptance> plan;
  if (!planAcceptance(tree, all, chosen, options.acceptShared, plan, error)) {
    std::fputs(error.c_str(), stderr);
    return kCannotRead;
  }
  if (plan.empty()) std::printf("no case above its limit: nothing to replace\n");
  for (const Acceptance& step : plan) {
    if (pendingSignal() != 0) endBySignal(pendingSignal());
    if (!options.dryRun && !accept(step, error)) {
      // A signal stops the copies: the one under way is removed.
      if (pendingSignal() != 0) endBySignal(pendingSignal());
      std::fputs(error.c_str(), stderr);
      return kCannotRead;
    }
    std::printf("%s '%s' by '%s'\n", options.dryRun ? "would replace" : "replaced", shown(step.referenceShown).c_str(),
                shown(step.comparedShown).c_str());
    std::fflush(stdout);
  }
  if (pendingSignal() != 0) endBySignal(pendingSignal());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: standard output\nerror: cannot write: %s\n", kProgram, std::strerror(errno));
    return kCannotRead;
  }
  return 0;
}

// The run's outputs: the lines (or the JSON, or the suggested limits) on
// standard output, then each report asked for. Adding an output is adding
// its reporter here and its option.
std::vector<std::unique_ptr<Reporter>> reportersOf(const Options& options) {
  std::vector<std::unique_ptr<Reporter>> reporters;
  reporters.push_back(options.suggestLimits ? suggestionReporter() : options.json ? jsonReporter() : lineReporter());
  if (options.junit) reporters.push_back(junitReporter(*options.junit, options.junitSuite));
  if (options.htmlDirectory) reporters.push_back(htmlReporter(*options.htmlDirectory));
  return reporters;
}

std::vector<std::unique_ptr<Reporter>>* gReporters = nullptr;

// Nothing a run ended early wrote aside stays.
[[noreturn]] void endRun(int status) {
  if (gReporters != nullptr) {
    for (const auto& reporter : *gReporters) reporter->abort();
  }
  if (status > 128) endBySignal(status - 128);
  std::exit(status);
}

[[noreturn]] void failed(const Reporter& reporter) {
  std::fputs(reporter.failure().c_str(), stderr);
  endRun(kCannotRead);
}

int run(int argc, char** argv) {
  // A closed standard descriptor is occupied first, so that the lines are
  // never written into the JUnit file; a failed write is reported.
  velmora::companion::prepareProcess();
  catchEndSignals();
  const auto started = std::chrono::steady_clock::now();
  const Options options = parseArguments(argc, argv);

  // The reports are planned first: a name that cannot be written, or a FIFO
  // nobody reads, stops the run at once.
  std::vector<std::unique_ptr<Reporter>> reporters = options.accepting() ? decltype(reporters)() : reportersOf(options);
  const Streams streams = standardStreams();
  const bool identify = reporters.size() > 1 || streams[0].regular || streams[1].regular || options.accepting();

  Limit fallback;
  if (options.failAbove) fallback = {LimitSource::Option, *options.failAbove, options.failAboveText};
  std::string error;
  Tree tree;
  if (!findCases(options.roots, fallback, identify, tree, error)) {
    std::fputs(error.c_str(), stderr);
    return kCannotRead;
  }
  if (tree.entries.empty()) {
    std::string roots;
    for (const std::string& root : options.roots) roots += (roots.empty() ? "'" : ", '") + shown(root) + "'";
    std::fprintf(stderr, "%s: no case under %s\nerror: no folder there holds %s\n", kProgram, roots.c_str(),
                 kCaseFileName);
    return kCannotRead;
  }
  if (options.accepting()) return acceptReferences(options, tree);
  refuseOverlaps(tree, reporters);
  if (options.shards > 0) keepShard(tree.entries, options.shard, options.shards);
  gReporters = &reporters;
  RunOptions run;
  run.jobs = options.jobs;
  run.wantJson = options.json;
  run.timeout = options.timeout;
  run.timeoutText = options.timeoutText;
  for (const auto& reporter : reporters) {
    run.wantDetail = run.wantDetail || reporter->wantsDetail();
    if (!reporter->begin()) failed(*reporter);
  }
  if (pendingSignal() != 0) endRun(128 + pendingSignal());

  Summary summary;
  summary.shard = options.shard;
  summary.shards = options.shards;
  Progress progress;
  progress.total = tree.entries.size();
  progress.terminal = ::isatty(STDERR_FILENO) == 1;
  const Reporter* stopped = nullptr;
  auto done = [&](std::size_t index, CaseResult& result) {
    count(summary, result);
    progress.clear();
    for (const auto& reporter : reporters) {
      if (!reporter->addCase(index, result)) {
        stopped = reporter.get();
        return false;  // nobody reads the lines: the run stops
      }
    }
    progress.draw();
    return true;
  };
  auto progressed = [&](std::size_t finished, std::size_t failing) { progress.update(finished, failing); };
  auto warned = [&](const std::string& line) {
    progress.clear();
    std::fprintf(stderr, "%s\n", line.c_str());
    progress.draw();
  };
  const int ended = runCases(tree, run, done, progressed, warned, error);
  progress.clear();
  progress.terminal = false;
  if (ended > 0) endRun(128 + ended);
  if (ended == kRunFailed) {
    std::fputs(error.c_str(), stderr);
    endRun(kCannotRead);
  }
  if (stopped != nullptr) failed(*stopped);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (const auto& reporter : reporters) {
    if (!reporter->end(summary, seconds)) failed(*reporter);
  }
  // Everything is written: the reports take their places.
  if (pendingSignal() != 0) endRun(128 + pendingSignal());
  for (const auto& reporter : reporters) {
    if (!reporter->commit()) failed(*reporter);
  }
  // A signal that came while the reports took their places ends the run
  // now that each of them is whole.
  if (pendingSignal() != 0) endBySignal(pendingSignal());
  return summary.exitStatus();
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
