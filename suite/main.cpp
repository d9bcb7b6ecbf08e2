// velmora-suite: every case of a tree, compared as velmora compares it and
// judged against its limit. See suite.h.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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
    "report), first finding, separated by tabs; a summary line ends the list.\n"
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
    } else if (name == "timeout") {
      const std::string_view text = line.value();
      double seconds = 0;
      auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (text.empty() || failure != std::errc() || end != text.data() + text.size() || !(seconds >= 0) ||
          std::isinf(seconds) || seconds > 1e9) {
        usageError("invalid number of seconds for --timeout: '" + std::string(text) + "'");
      }
      options.timeout = seconds;
      options.timeoutText = std::string(text);
    } else if (name == "shard") {
      const std::string_view text = line.value();
      const std::size_t slash = text.find('/');
      unsigned k = 0, n = 0;
      const char* middle = text.data() + (slash == std::string_view::npos ? text.size() : slash);
      auto [kEnd, kFailure] = std::from_chars(text.data(), middle, k);
      auto [nEnd, nFailure] = slash == std::string_view::npos
                                  ? std::from_chars_result{middle, std::errc::invalid_argument}
                                  : std::from_chars(middle + 1, text.data() + text.size(), n);
      if (kFailure != std::errc() || nFailure != std::errc() || kEnd != middle ||
          nEnd != text.data() + text.size() || k < 1 || k > n) {
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

// ---- the files the run writes ------------------------------------------------

[[noreturn]] void refuse(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "%s: %s\nerror: %s\n", kProgram, what.c_str(), why.c_str());
  std::exit(kCannotRead);
}

using velmora::companion::baseOf;
using velmora::companion::folderOf;

using velmora::companion::newFileMode;
using velmora::companion::writtenName;

// Makes the folders of `path` that are missing, as mkdir -p does.
bool makeFolders(const std::string& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) == 0) return true;
  const std::string parent = folderOf(path);
  if (parent != path && !makeFolders(parent)) return false;
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

// The name of a page an earlier run wrote: index.html, case-NNNN.html, case-NNNN.svg.
bool isReportPage(const std::string& name) {
  if (name == "index.html") return true;
  if (!name.starts_with("case-")) return false;
  std::size_t i = 5;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
  const std::string rest = name.substr(i);
  return i >= 9 && (rest == ".html" || rest == ".svg");
}

struct Stream {
  const char* name;
  bool regular = false;
  FileId id;
};

// A report the run writes: beside its target while the run goes, renamed
// into place when it ends, so a run killed midway leaves the last report
// whole. A FIFO or a device is written as it is, at the end.
struct ReportFile {
  std::string what, given, target, temporary;
  int direct = -1;
  bool exists = false;
  struct stat status {};
};

// The HTML folder: made aside, then put in place of the old one whole. A
// folder no rename can replace (a mount point, ".") is filled in place
// instead: the new pages are made in a folder aside inside it, then each
// takes its place in one step, the index last, and old pages not made anew
// go; a run ended before that leaves the old report whole.
struct ReportFolder {
  std::string given, target, temporary;
  bool exists = false;
  bool inPlace = false;
  FileId id, parent;
  std::vector<std::pair<FileId, std::string>> pages;  // of the folder there now
  std::vector<std::string> leftovers;  // folders aside that a killed run left in it
};

// The folder aside inside a report filled in place.
constexpr char kInPlaceAside[] = ".velmora-suite.";

std::optional<ReportFile> gJunit;
std::optional<ReportFolder> gHtml;

void removeFolder(const std::string& path) {
  if (DIR* folder = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(folder)) {
      if (isReportPage(entry->d_name)) ::unlink((path + "/" + entry->d_name).c_str());
    }
    ::closedir(folder);
  }
  ::rmdir(path.c_str());
}

// What a run killed or stopped early leaves: nothing of its own.
void removeAside() {
  if (gJunit && !gJunit->temporary.empty()) ::unlink(gJunit->temporary.c_str());
  if (gHtml && !gHtml->temporary.empty()) removeFolder(gHtml->temporary);
}

[[noreturn]] void endRun(int status) {
  removeAside();
  std::exit(status);
}

ReportFile planJunit(const std::string& given) {
  ReportFile file;
  file.what = "JUnit file '" + shown(given) + "'";
  file.given = given;
  file.target = writtenName(given);
  file.exists = ::stat(file.target.c_str(), &file.status) == 0;
  if (file.exists && S_ISDIR(file.status.st_mode)) refuse(file.what, "it is a folder");
  if (file.exists && S_ISREG(file.status.st_mode)) {
    // Found now, not after every case ran.
    if (const std::string why = velmora::companion::whyNotReplaceable(file.target); !why.empty()) {
      refuse(file.what, why + ": name a file inside the mounted folder instead");
    }
  }
  if (file.exists && !S_ISREG(file.status.st_mode)) {
    // A named pipe nobody reads is refused at once instead of waiting.
    file.direct = ::open(file.target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file.direct < 0) refuse(file.what, std::string("cannot open it: ") + std::strerror(errno));
    const int flags = ::fcntl(file.direct, F_GETFL);
    if (flags != -1) ::fcntl(file.direct, F_SETFL, flags & ~O_NONBLOCK);
  }
  return file;
}

void openJunitAside(ReportFile& file) {
  if (file.direct >= 0) return;
  const mode_t mode = file.exists ? file.status.st_mode & 07777 : newFileMode(0666);
  file.direct = velmora::companion::openAside(file.target, mode, file.temporary);
  if (file.direct < 0) refuse(file.what, std::string("cannot write it: ") + std::strerror(errno));
}

ReportFolder planHtml(const std::string& given) {
  ReportFolder folder;
  folder.given = given;
  folder.target = writtenName(given);
  const std::string what = "HTML report '" + shown(given) + "'";
  struct stat status {};
  folder.exists = ::stat(folder.target.c_str(), &status) == 0;
  const std::string why = velmora::companion::whyNotReplaceable(folder.target);
  if (!folder.exists && !why.empty()) refuse(what, "it does not exist, and " + why);
  folder.inPlace = !why.empty();
  if (folder.exists) {
    if (!S_ISDIR(status.st_mode)) refuse(what, "it is not a folder");
    folder.id = {status.st_dev, status.st_ino};
    DIR* listing = ::opendir(folder.target.c_str());
    if (listing == nullptr) refuse(what, std::string("cannot list it: ") + std::strerror(errno));
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat page {};
      if (folder.inPlace && name.starts_with(kInPlaceAside) &&
          ::lstat((folder.target + "/" + name).c_str(), &page) == 0 && S_ISDIR(page.st_mode)) {
        folder.leftovers.push_back(folder.target + "/" + name);
        continue;
      }
      if (!isReportPage(name) || ::lstat((folder.target + "/" + name).c_str(), &page) != 0 || !S_ISREG(page.st_mode)) {
        ::closedir(listing);
        refuse(what, "it holds '" + shown(name) +
                         "', which is no page of a report: name a new or empty folder, or an earlier report");
      }
      folder.pages.push_back({{page.st_dev, page.st_ino}, folder.given + "/" + name});
    }
    ::closedir(listing);
  }
  return folder;
}

void makeHtmlAside(ReportFolder& folder) {
  const std::string what = "HTML report '" + shown(folder.given) + "'";
  const std::string parent = folderOf(folder.target);
  if (!makeFolders(parent)) refuse(what, std::string("cannot make the folder: ") + std::strerror(errno));
  std::string temporary =
      folder.inPlace ? folder.target + "/" + kInPlaceAside + "XXXXXX" : parent + "/." + baseOf(folder.target) + ".XXXXXX";
  if (::mkdtemp(temporary.data()) == nullptr) refuse(what, std::string("cannot make the folder: ") + std::strerror(errno));
  folder.temporary = temporary;
  ::chmod(temporary.c_str(), newFileMode(0777));
}

// The new pages of a folder filled in place take their places one by one,
// the index last; then the old pages not made anew go.
bool fillHtmlInPlace(ReportFolder& folder) {
  std::vector<std::string> made;
  if (DIR* listing = ::opendir(folder.temporary.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      if (isReportPage(entry->d_name)) made.emplace_back(entry->d_name);
    }
    ::closedir(listing);
  } else {
    return false;
  }
  std::sort(made.begin(), made.end(), [](const std::string& a, const std::string& b) {
    return (a == "index.html") != (b == "index.html") ? b == "index.html" : a < b;
  });
  for (const std::string& name : made) {
    if (::rename((folder.temporary + "/" + name).c_str(), (folder.target + "/" + name).c_str()) != 0) return false;
  }
  for (const auto& [id, page] : folder.pages) {
    const std::string name = baseOf(page);
    if (std::find(made.begin(), made.end(), name) == made.end()) ::unlink((folder.target + "/" + name).c_str());
  }
  removeFolder(folder.temporary);
  folder.temporary.clear();
  for (const std::string& leftover : folder.leftovers) removeFolder(leftover);
  return true;
}

// The folder's new pages put in place of the old ones in one step.
bool putHtmlInPlace(ReportFolder& folder) {
  if (folder.inPlace) return fillHtmlInPlace(folder);
  if (!folder.exists) {
    if (::rename(folder.temporary.c_str(), folder.target.c_str()) != 0) return false;
    folder.temporary.clear();
    return true;
  }
  if (::renameat2(AT_FDCWD, folder.temporary.c_str(), AT_FDCWD, folder.target.c_str(), RENAME_EXCHANGE) == 0) {
    removeFolder(folder.temporary);  // now the old pages
    folder.temporary.clear();
    return true;
  }
  // Without an exchange: the old folder moves aside first.
  std::string old = folderOf(folder.target) + "/." + baseOf(folder.target) + ".old.XXXXXX";
  if (::mkdtemp(old.data()) == nullptr) return false;
  if (::rename(folder.target.c_str(), old.c_str()) != 0) {
    ::rmdir(old.c_str());
    return false;
  }
  if (::rename(folder.temporary.c_str(), folder.target.c_str()) != 0) {
    const int error = errno;
    ::rename(old.c_str(), folder.target.c_str());
    errno = error;
    return false;
  }
  folder.temporary.clear();
  removeFolder(old);
  return true;
}

// No file the run writes is a file a case reads, a case folder, or another
// file the run writes: checked by device and inode, links followed, before
// any case runs.
void refuseOverlaps(const Tree& tree, const Stream (&streams)[2]) {
  using Read = std::pair<const Entry*, const ReadFile*>;
  std::map<FileId, Read> reads;
  // Files a case reads that do not exist yet, by where they would be made.
  std::map<FileId, std::vector<Read>> missing;
  std::map<FileId, const Entry*> folders;
  for (const Entry& entry : tree.entries) {
    if (entry.folder.inode != 0) folders.emplace(entry.folder, &entry);
    for (const ReadFile& file : entry.reads) {
      if (file.missing.empty()) {
        reads.emplace(file.id, Read{&entry, &file});
      } else {
        missing[file.id].push_back({&entry, &file});
      }
    }
  }
  auto described = [](const Read& read) {
    std::string text = "'";
    text += shown(read.second->name);
    text += "', a file the case '" + shown(read.first->name) + "' reads";
    if (!read.second->missing.empty()) text += " (it does not exist yet)";
    return text;
  };
  auto readBy = [&](const FileId& id) -> std::string {
    const auto at = reads.find(id);
    return at == reads.end() ? std::string() : described(at->second);
  };
  // A missing file a case reads at `path`, below the folder `id`, or (with
  // `within`) anywhere under it.
  auto missingAt = [&](const FileId& id, const std::string& path, bool within) -> std::string {
    const auto at = missing.find(id);
    if (at == missing.end()) return {};
    for (const Read& read : at->second) {
      const std::string& name = read.second->missing;
      if (name == path || (within && (path.empty() || (name.starts_with(path) && name[path.size()] == '/')))) {
        return described(read);
      }
    }
    return {};
  };
  auto caseFolder = [&](const FileId& id) -> std::string {
    const auto at = folders.find(id);
    return at == folders.end() ? std::string() : "'" + shown(at->second->name) + "'";
  };
  auto folderId = [](const std::string& path, FileId& id) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    id = {status.st_dev, status.st_ino};
    return true;
  };
  for (const Stream& stream : streams) {
    if (!stream.regular) continue;
    if (const std::string input = readBy(stream.id); !input.empty()) {
      // Where standard error is that file, the refusal would change it too.
      if (streams[1].regular && readBy(streams[1].id) == input) std::exit(kCannotRead);
      refuse(stream.name, "it goes to " + input);
    }
  }
  if (gJunit) {
    const ReportFile& junit = *gJunit;
    FileId id{junit.status.st_dev, junit.status.st_ino}, folder;
    if (junit.exists) {
      if (const std::string input = readBy(id); !input.empty()) refuse(junit.what, "it is " + input);
      for (const Stream& stream : streams) {
        if (stream.regular && stream.id == id) refuse(junit.what, std::string("it is the file ") + stream.name + " goes to");
      }
    } else if (std::string below; whereMissing(AT_FDCWD, junit.target, folder, below)) {
      if (const std::string input = missingAt(folder, below, false); !input.empty()) refuse(junit.what, "it is " + input);
    }
    if (folderId(folderOf(junit.target), folder)) {
      if (const std::string c = caseFolder(folder); !c.empty()) refuse(junit.what, "it would be written into the case folder " + c);
      if (gHtml && gHtml->exists && folder == gHtml->id) {
        refuse(junit.what, "it is inside the HTML report '" + shown(gHtml->given) + "', which is made anew");
      }
    }
  }
  if (gHtml) {
    const ReportFolder& html = *gHtml;
    const std::string what = "HTML report '" + shown(html.given) + "'";
    FileId parent;
    if (html.exists) {
      if (const std::string c = caseFolder(html.id); !c.empty()) refuse(what, "it is the case folder " + c);
    }
    // The folder is made anew: nothing a case reads may be in it, not even a
    // file that does not exist yet.
    FileId made;
    std::string below;
    if (html.exists) {
      made = html.id;
    } else if (!whereMissing(AT_FDCWD, html.target, made, below)) {
      made = {};
    }
    if (made.inode != 0) {
      if (const std::string input = missingAt(made, below, true); !input.empty()) {
        refuse(what, "it would hold " + input);
      }
    }
    if (folderId(folderOf(html.target), parent)) {
      if (const std::string c = caseFolder(parent); !c.empty()) refuse(what, "it would be made in the case folder " + c);
    }
    for (const auto& [id, page] : html.pages) {
      if (const std::string input = readBy(id); !input.empty()) refuse(what, "'" + shown(page) + "' in it is " + input);
      for (const Stream& stream : streams) {
        if (stream.regular && stream.id == id) {
          refuse(what, "'" + shown(page) + "' in it is the file " + stream.name + " goes to");
        }
      }
    }
  }
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

int run(int argc, char** argv) {
  // A closed standard descriptor is occupied first, so that the lines are
  // never written into the JUnit file; a failed write is reported.
  velmora::companion::prepareProcess();
  catchEndSignals();
  const auto started = std::chrono::steady_clock::now();
  const Options options = parseArguments(argc, argv);

  Stream streams[2] = {{"standard output", false, {}}, {"standard error", false, {}}};
  for (int fd = 1; fd <= 2; ++fd) {
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
      streams[fd - 1].regular = true;
      streams[fd - 1].id = {status.st_dev, status.st_ino};
    }
  }
  // The reports are planned first: a name that cannot be written, or a FIFO
  // nobody reads, stops the run at once.
  if (options.junit) gJunit = planJunit(*options.junit);
  if (options.htmlDirectory) gHtml = planHtml(*options.htmlDirectory);
  const bool identify = gJunit || gHtml || streams[0].regular || streams[1].regular || options.accepting();

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
  refuseOverlaps(tree, streams);
  if (options.shards > 0) keepShard(tree.entries, options.shard, options.shards);
  if (gJunit) openJunitAside(*gJunit);
  if (gHtml) makeHtmlAside(*gHtml);
  if (pendingSignal() != 0) {
    removeAside();
    endBySignal(pendingSignal());
  }

  RunOptions run;
  run.jobs = options.jobs;
  run.wantJson = options.json;
  run.wantDetail = gHtml.has_value();
  run.timeout = options.timeout;
  run.timeoutText = options.timeoutText;

  Summary summary;
  summary.shard = options.shard;
  summary.shards = options.shards;
  std::vector<CaseResult> kept;  // without the bulky parts, for the index and JUnit
  bool written = options.json ? writeJsonStart(stdout) : options.suggestLimits ? writeSuggestionHeading(stdout) : true;
  int writeError = 0;
  bool pagesWritten = true;
  int pageError = 0;
  Progress progress;
  progress.total = tree.entries.size();
  progress.terminal = ::isatty(STDERR_FILENO) == 1;

  auto done = [&](std::size_t index, CaseResult& result) {
    count(summary, result);
    progress.clear();
    errno = 0;
    // Each case's line is sent as it is known, so a reader that went away
    // stops the run at once.
    written = (options.suggestLimits ? writeSuggestion(stdout, result)
               : options.json        ? writeJsonCase(stdout, result, index == 0)
                                     : writeCaseLine(stdout, result)) &&
              std::fflush(stdout) == 0 && written;
    if (!written) {
      writeError = errno != 0 ? errno : EIO;
      return false;  // nobody reads the lines: the run stops
    }
    if (gHtml && pagesWritten && !writeCasePage(gHtml->temporary, index, result)) {
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
  if (ended > 0) {
    removeAside();
    endBySignal(ended);
  }
  if (ended == kRunFailed) {
    std::fputs(error.c_str(), stderr);
    endRun(kCannotRead);
  }
  if (ended == kRunDone) {
    errno = 0;
    written = (options.json ? writeJsonEnd(stdout, summary) : writeSummaryLine(stdout, summary)) && written;
    written = std::fflush(stdout) == 0 && written;
    if (!written && writeError == 0) writeError = errno != 0 ? errno : EIO;
  }
  if (!written) {
    std::fprintf(stderr, "%s: standard output\nerror: cannot write: %s\n", kProgram, std::strerror(writeError));
    endRun(kCannotRead);
  }
  int status = summary.exitStatus();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (gJunit) {
    ReportFile& junit = *gJunit;
    std::FILE* out = ::fdopen(junit.direct, "w");
    errno = 0;
    const bool junitWritten = out != nullptr && writeJunit(out, kept, summary, seconds, options.junitSuite) && std::fflush(out) == 0;
    const int junitError = errno;
    const bool closed = out != nullptr && std::fclose(out) == 0;
    if (!junitWritten || !closed) {
      std::fprintf(stderr, "%s: %s\nerror: cannot write it: %s\n", kProgram, junit.what.c_str(),
                   std::strerror(junitError != 0 ? junitError : errno));
      endRun(kCannotRead);
    }
  }
  if (gHtml) {
    if (pagesWritten && !writeIndexPage(gHtml->temporary, kept, summary)) {
      pagesWritten = false;
      pageError = errno;
    }
    if (!pagesWritten) {
      std::fprintf(stderr, "%s: HTML report '%s'\nerror: cannot write it: %s\n", kProgram,
                   shown(gHtml->given).c_str(), std::strerror(pageError));
      endRun(kCannotRead);
    }
  }
  // Everything is written: the reports take their places.
  if (pendingSignal() != 0) {
    removeAside();
    endBySignal(pendingSignal());
  }
  if (gJunit && !gJunit->temporary.empty()) {
    if (::rename(gJunit->temporary.c_str(), gJunit->target.c_str()) != 0) {
      std::fprintf(stderr, "%s: %s\nerror: cannot write it: %s\n", kProgram, gJunit->what.c_str(), std::strerror(errno));
      endRun(kCannotRead);
    }
    gJunit->temporary.clear();
  }
  if (gHtml && !putHtmlInPlace(*gHtml)) {
    std::fprintf(stderr, "%s: HTML report '%s'\nerror: cannot put it in place: %s\n", kProgram,
                 shown(gHtml->given).c_str(), std::strerror(errno));
    endRun(kCannotRead);
  }
  // A signal that came while the reports took their places ends the run
  // now that each of them is whole.
  if (pendingSignal() != 0) endBySignal(pendingSignal());
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
