// A case's limit, and the verdict on its total.
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

using companion::idOf;

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
  const std::string path = inFolder(shownFolder, kLimitFileName);
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

const char* limitOrigin(const Limit& limit) {
  return limit.source == LimitSource::File ? kLimitFileName : limit.source == LimitSource::Option ? "--fail-above" : "";
}

void judgeCase(CaseResult& result) {
  Comparison& c = result.comparison;
  result.verdict = judge(c, result.limit);
  if (result.verdict != Verdict::Pass && result.verdict != Verdict::Fail) return;
  c.findings.push_back({kVerdictKind,
                        std::string(limitOrigin(result.limit)) + " " + result.limit.text + ": the total " +
                            companion::shortestText(c.total) +
                            (result.verdict == Verdict::Fail ? " is above the limit" : " is within the limit"),
                        {}});
}

namespace {

// The kinds of finding that explain a total, or say why there is none.
bool explainsTotal(const CaseFinding& finding) {
  return finding.kind == "relation" || finding.kind == "unexplained" || finding.kind == "stop";
}

}  // namespace

std::vector<const CaseFinding*> findingsInOrder(const Comparison& comparison) {
  std::vector<const CaseFinding*> order;
  for (const CaseFinding& finding : comparison.findings) {
    if (explainsTotal(finding)) order.push_back(&finding);
  }
  for (const CaseFinding& finding : comparison.findings) {
    if (!explainsTotal(finding)) order.push_back(&finding);
  }
  return order;
}

const CaseFinding* leadFinding(const Comparison& comparison) {
  for (const CaseFinding* finding : findingsInOrder(comparison)) {
    if (finding->kind != "control-file" && finding->kind != kVerdictKind) return finding;
  }
  return nullptr;
}

double rmsOfScaledDifferences(const Comparison& comparison) {
  if (comparison.rowsCompared == 0) return 0;
  return std::sqrt(comparison.total / static_cast<double>(comparison.rowsCompared));
}

std::string suggestedLimit(double total) {
  if (std::isnan(total)) return "";
  if (total == 0) return "0";
  if (std::isinf(total)) return "inf";
  const double twice = 2 * total;
  int exponent = static_cast<int>(std::floor(std::log10(twice))) - 1;
  double digits = std::ceil(twice / std::pow(10.0, exponent));
  // Two digits: 10 to 99 (the logarithm's floor may be one off either way).
  while (digits >= 100) {
    ++exponent;
    digits = std::ceil(twice / std::pow(10.0, exponent));
  }
  while (digits < 10) {
    --exponent;
    digits = std::ceil(twice / std::pow(10.0, exponent));
  }
  // The division may round either way: the first of the digits one below
  // on that, read back as the suite reads a limit file, at least twice the
  // total.
  if (digits > 10) --digits;
  char text[32];
  for (;; ++digits) {
    if (digits >= 100) {
      digits = 10;
      ++exponent;
    }
    std::snprintf(text, sizeof text, "%.1fe%d", digits / 10, exponent + 1);
    double value = 0;
    if (companion::parseLimit(text, value) && value >= twice) return text;
  }
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

}  // namespace velmora::suite
