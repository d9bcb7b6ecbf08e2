// Running the cases: a child per case, so many at once, each bounded in
// time; the signals that end a run.
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

namespace {

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
    record = encodeRecord(comparison);
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
    } else if (!decodeRecord(child.bytes, result.comparison)) {
      result.comparison = Comparison();
      const std::string how = WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                                        strsignal(WTERMSIG(status)) + ")"
                                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
      result.comparison.stopDescription = "its comparison " + how;
      result.comparison.stopText = twoLines("case " + quoted(result.path), result.comparison.stopDescription);
    }
    judgeCase(result);
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

