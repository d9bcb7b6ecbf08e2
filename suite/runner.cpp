// Finding the cases, their limits, and running each in a child of its own.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

struct FolderId {
  dev_t device;
  ino_t inode;
  bool operator<(const FolderId& other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
};

std::string joined(const std::string& folder, const std::string& name) {
  if (folder == ".") return name;
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// Walks `path` (a folder already known to be unvisited), depth first.
bool walk(const std::string& path, std::set<FolderId>& visited, std::vector<std::string>& cases,
          std::string& error) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) {
    error = twoLines("folder " + quoted(path), std::string("cannot list it: ") + std::strerror(errno));
    return false;
  }
  std::vector<std::string> names;
  bool holdsCase = false;
  errno = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name == kCaseFileName) holdsCase = true;
    names.push_back(name);
  }
  const int readError = errno;
  ::closedir(folder);
  if (readError != 0) {
    error = twoLines("folder " + quoted(path), std::string("cannot list it: ") + std::strerror(readError));
    return false;
  }
  if (holdsCase) cases.push_back(path);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string below = joined(path, name);
    struct stat status {};
    // Links are followed; one that leads nowhere is not a folder.
    if (::stat(below.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) continue;
    if (!visited.insert({status.st_dev, status.st_ino}).second) continue;
    if (!walk(below, visited, cases, error)) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> findCases(const std::vector<std::string>& roots, std::string& error) {
  std::vector<std::string> cases;
  std::set<FolderId> visited;
  error.clear();
  for (const std::string& root : roots) {
    struct stat status {};
    if (::stat(root.c_str(), &status) != 0) {
      error = twoLines("folder " + quoted(root), std::string("cannot open it: ") + std::strerror(errno));
      return {};
    }
    if (!S_ISDIR(status.st_mode)) {
      error = twoLines("folder " + quoted(root), "not a folder");
      return {};
    }
    if (!visited.insert({status.st_dev, status.st_ino}).second) continue;
    if (!walk(root, visited, cases, error)) return {};
  }
  return cases;
}

// ---- limits ------------------------------------------------------------------


bool readCaseLimit(const std::string& folder, const Limit& fallback, Limit& limit,
                   std::string& error, std::string* description) {
  const std::string path = joined(folder, kLimitFileName);
  auto refuse = [&](const std::string& words) {
    error = twoLines("limit file " + quoted(path), words);
    if (description != nullptr) *description = words;
    return false;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
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
  if (content.size() > kMaxLimitFile || words.size() != 1 || !companion::parseLimit(words[0], value)) {
    return refuse(words.empty() ? "no number in it" : "it must hold one number and nothing else");
  }
  limit = {LimitSource::File, value, words[0]};
  return true;
}

Verdict judge(const Comparison& comparison, const Limit& limit) {
  if (!comparison.compared) return Verdict::Error;
  if (limit.source == LimitSource::None) return Verdict::Report;
  return std::isnan(comparison.total) || comparison.total > limit.value ? Verdict::Fail : Verdict::Pass;
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

// The child: enters the case folder, compares, sends the record, and ends
// without running the parent's exit handlers or flushing its buffers.
[[noreturn]] void runChild(const std::string& folder, const RunOptions& options, const Limit& limit, int fd) {
  Comparison comparison;
  if (::chdir(folder.c_str()) != 0) {
    comparison.stopDescription = std::string("cannot enter it: ") + std::strerror(errno);
    comparison.stopText = twoLines("case " + quoted(folder), comparison.stopDescription);
  } else {
    try {
      compareHere(options, limit, comparison);
    } catch (const std::bad_alloc&) {
      comparison = Comparison();
      comparison.stopDescription = "out of memory";
      comparison.stopText = twoLines("case " + quoted(folder), comparison.stopDescription);
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

struct Running {
  std::size_t index;
  pid_t pid;
  int fd;
  std::string bytes;
  std::chrono::steady_clock::time_point started;
};

}  // namespace

bool runCases(const std::vector<std::string>& cases, const RunOptions& options,
              const CaseSink& done, const ProgressSink& progress, std::string& error) {
  // A child's record is read whole before the child is waited for; a child
  // that cannot write because the parent is gone ends quietly.
  std::signal(SIGPIPE, SIG_IGN);
  const unsigned jobs = std::max(1u, options.jobs);
  std::vector<Running> running;
  std::map<std::size_t, CaseResult> finished;  // ended, not yet handed on
  std::size_t next = 0, handedOn = 0, ended = 0, failing = 0;

  // Limits are read by the parent: a case whose limit file is wrong is not run.
  auto start = [&](std::size_t index) -> bool {
    CaseResult result;
    result.path = cases[index];
    std::string limitError;
    if (!readCaseLimit(cases[index], options.failAbove, result.limit, limitError,
                       &result.comparison.stopDescription)) {
      result.comparison.stopText = limitError;
      result.verdict = Verdict::Error;
      finished.emplace(index, std::move(result));
      ++ended;
      ++failing;
      if (progress) progress(ended, failing);
      return true;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error = twoLines("cannot start a case", std::string("pipe: ") + std::strerror(errno));
      return false;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      error = twoLines("cannot start a case", std::string("fork: ") + std::strerror(errno));
      ::close(fds[0]);
      ::close(fds[1]);
      return false;
    }
    if (pid == 0) {
      ::close(fds[0]);
      runChild(cases[index], options, result.limit, fds[1]);
    }
    ::close(fds[1]);
    running.push_back({index, pid, fds[0], {}, std::chrono::steady_clock::now()});
    finished.emplace(index, std::move(result));
    return true;
  };

  auto finish = [&](Running& child) {
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(child.fd);
    CaseResult& result = finished.at(child.index);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - child.started).count();
    if (!decode(child.bytes, result.comparison)) {
      result.comparison = Comparison();
      const std::string how = WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                                                  : "ended with status " + std::to_string(WEXITSTATUS(status));
      result.comparison.stopDescription = "its comparison " + how;
      result.comparison.stopText = twoLines("case " + quoted(result.path), result.comparison.stopDescription);
    }
    result.verdict = judge(result.comparison, result.limit);
    ++ended;
    if (result.verdict == Verdict::Fail || result.verdict == Verdict::Error) ++failing;
    if (progress) progress(ended, failing);
  };

  auto handOn = [&] {
    // Every case before `handedOn` is done; a case still running stops the line.
    while (true) {
      auto at = finished.find(handedOn);
      if (at == finished.end()) return;
      const bool stillRunning = std::any_of(running.begin(), running.end(),
                                            [&](const Running& r) { return r.index == handedOn; });
      if (stillRunning) return;
      done(handedOn, at->second);
      finished.erase(at);
      ++handedOn;
    }
  };

  while (next < cases.size() || !running.empty()) {
    while (next < cases.size() && running.size() < jobs) {
      if (!start(next++)) {
        for (Running& child : running) {
          ::kill(child.pid, SIGKILL);
          ::waitpid(child.pid, nullptr, 0);
          ::close(child.fd);
        }
        return false;
      }
    }
    handOn();
    if (running.empty()) continue;
    std::vector<pollfd> waiting;
    for (const Running& child : running) waiting.push_back({child.fd, POLLIN, 0});
    if (::poll(waiting.data(), waiting.size(), -1) < 0) {
      if (errno == EINTR) continue;
      error = twoLines("cannot wait for the cases", std::string("poll: ") + std::strerror(errno));
      return false;
    }
    for (std::size_t i = waiting.size(); i-- > 0;) {
      if (waiting[i].revents == 0) continue;
      Running& child = running[i];
      char buffer[65536];
      const ssize_t got = ::read(child.fd, buffer, sizeof buffer);
      if (got > 0) {
        child.bytes.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      finish(child);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
    }
    handOn();
  }
  handOn();
  return true;
}

}  // namespace velmora::suite
