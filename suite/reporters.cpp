// The reporters: the case lines, the JSON document, the suggested limits,
// the JUnit file and the HTML report, each behind the one interface the run
// drives (see Reporter in suite.h); and the refusal of any file they would
// write that a case reads.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "companion/companion.h"
#include "companion/outputs.h"
#include "parts.h"

namespace velmora::suite {

namespace {

constexpr int kCannotRead = 2;

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

void removeFolder(const std::string& path) {
  if (DIR* folder = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(folder)) {
      if (isReportPage(entry->d_name)) ::unlink((path + "/" + entry->d_name).c_str());
    }
    ::closedir(folder);
  }
  ::rmdir(path.c_str());
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


// ---- standard output ---------------------------------------------------------

// Writes each case as it is known, so a reader that went away stops the run
// at once.
class StreamReporter : public Reporter {
 public:
  enum class Form { Lines, Json, Suggestions };
  explicit StreamReporter(Form form) : form_(form) {}
  bool begin() override {
    written_ = form_ == Form::Json ? writeJsonStart(stdout)
               : form_ == Form::Suggestions ? writeSuggestionHeading(stdout)
                                            : true;
    return settle();
  }
  bool addCase(std::size_t index, const CaseResult& result) override {
    errno = 0;
    written_ = (form_ == Form::Suggestions ? writeSuggestion(stdout, result)
                : form_ == Form::Json      ? writeJsonCase(stdout, result, index == 0)
                                           : writeCaseLine(stdout, result)) &&
               written_;
    return settle();
  }
  bool end(const Summary& summary, double) override {
    errno = 0;
    written_ = (form_ == Form::Json ? writeJsonEnd(stdout, summary) : writeSummaryLine(stdout, summary)) && written_;
    return settle();
  }
  std::string failure() const override {
    return twoLines("standard output", std::string("cannot write: ") + std::strerror(error_));
  }

 private:
  bool settle() {
    written_ = std::fflush(stdout) == 0 && written_;
    if (!written_ && error_ == 0) error_ = errno != 0 ? errno : EIO;
    return written_;
  }
  Form form_;
  bool written_ = true;
  int error_ = 0;
};

// Without the bulky parts, for the index and JUnit.
CaseResult slim(const CaseResult& result) {
  CaseResult kept = result;
  kept.comparison.explainJson.clear();
  kept.comparison.picture.clear();
  kept.comparison.top.clear();
  return kept;
}

// ---- JUnit -------------------------------------------------------------------

class JunitReporter : public Reporter {
 public:
  JunitReporter(const std::string& given, std::string suiteName)
      : file_(planJunit(given)), suiteName_(std::move(suiteName)) {}
  std::vector<OutputTarget> targets() const override {
    OutputTarget target;
    target.what = file_.what;
    target.target = file_.target;
    target.exists = file_.exists;
    if (file_.exists) target.id = companion::idOf(file_.status);
    return {target};
  }
  bool begin() override {
    openJunitAside(file_);
    return true;
  }
  bool addCase(std::size_t, const CaseResult& result) override {
    kept_.push_back(slim(result));
    return true;
  }
  bool end(const Summary& summary, double seconds) override {
    std::FILE* out = ::fdopen(file_.direct, "w");
    errno = 0;
    const bool written = out != nullptr && writeJunit(out, kept_, summary, seconds, suiteName_) && std::fflush(out) == 0;
    error_ = errno;
    const bool closed = out != nullptr && std::fclose(out) == 0;
    if (error_ == 0) error_ = errno;
    file_.direct = -1;
    return written && closed;
  }
  bool commit() override {
    if (file_.temporary.empty()) return true;
    if (!companion::putInPlace(file_.temporary, file_.target)) {
      error_ = errno;
      return false;
    }
    file_.temporary.clear();
    return true;
  }
  void abort() override {
    if (!file_.temporary.empty()) ::unlink(file_.temporary.c_str());
    file_.temporary.clear();
  }
  std::string failure() const override { return twoLines(file_.what, std::string("cannot write it: ") + std::strerror(error_)); }

 private:
  ReportFile file_;
  std::string suiteName_;
  std::vector<CaseResult> kept_;
  int error_ = 0;
};

// ---- HTML --------------------------------------------------------------------

class HtmlReporter : public Reporter {
 public:
  explicit HtmlReporter(const std::string& given) : folder_(planHtml(given)) {}
  bool wantsDetail() const override { return true; }
  std::vector<OutputTarget> targets() const override {
    OutputTarget target;
    target.what = "HTML report '" + shown(folder_.given) + "'";
    target.target = folder_.target;
    target.folder = true;
    target.exists = folder_.exists;
    target.id = folder_.id;
    target.contents = folder_.pages;
    return {target};
  }
  bool begin() override {
    makeHtmlAside(folder_);
    return true;
  }
  bool addCase(std::size_t index, const CaseResult& result) override {
    if (written_ && !writeCasePage(folder_.temporary, index, result)) {
      written_ = false;
      error_ = errno;
    }
    kept_.push_back(slim(result));
    return true;
  }
  bool end(const Summary& summary, double) override {
    if (written_ && !writeIndexPage(folder_.temporary, kept_, summary)) {
      written_ = false;
      error_ = errno;
    }
    how_ = "cannot write it: ";
    return written_;
  }
  bool commit() override {
    if (putHtmlInPlace(folder_)) return true;
    error_ = errno;
    how_ = "cannot put it in place: ";
    return false;
  }
  void abort() override {
    if (!folder_.temporary.empty()) removeFolder(folder_.temporary);
    folder_.temporary.clear();
  }
  std::string failure() const override {
    return twoLines("HTML report '" + shown(folder_.given) + "'", how_ + std::strerror(error_));
  }

 private:
  ReportFolder folder_;
  std::vector<CaseResult> kept_;
  bool written_ = true;
  int error_ = 0;
  std::string how_ = "cannot write it: ";
};

}  // namespace

std::unique_ptr<Reporter> lineReporter() { return std::make_unique<StreamReporter>(StreamReporter::Form::Lines); }
std::unique_ptr<Reporter> jsonReporter() { return std::make_unique<StreamReporter>(StreamReporter::Form::Json); }
std::unique_ptr<Reporter> suggestionReporter() {
  return std::make_unique<StreamReporter>(StreamReporter::Form::Suggestions);
}
std::unique_ptr<Reporter> junitReporter(const std::string& file, const std::string& suiteName) {
  return std::make_unique<JunitReporter>(file, suiteName);
}
std::unique_ptr<Reporter> htmlReporter(const std::string& folder) { return std::make_unique<HtmlReporter>(folder); }

Streams standardStreams() {
  Streams streams{{{"standard output", false, {}}, {"standard error", false, {}}}};
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int fd = static_cast<int>(i) + 1;  // standard output, then standard error
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
      streams[i].regular = true;
      streams[i].id = companion::idOf(status);
    }
  }
  return streams;
}

// No file the run writes is a file a case reads, a case folder, or another
// file the run writes: checked by device and inode, links followed, before
// any case runs.
void refuseOverlaps(const Tree& tree, const std::vector<std::unique_ptr<Reporter>>& reporters) {
  const Streams streams = standardStreams();
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
  std::vector<OutputTarget> targets;
  for (const auto& reporter : reporters) {
    for (OutputTarget& target : reporter->targets()) targets.push_back(std::move(target));
  }
  for (const OutputTarget& out : targets) {
    FileId parent;
    if (!out.folder) {
      FileId folder;
      std::string below;
      if (out.exists) {
        if (const std::string input = readBy(out.id); !input.empty()) refuse(out.what, "it is " + input);
        for (const Stream& stream : streams) {
          if (stream.regular && stream.id == out.id) refuse(out.what, std::string("it is the file ") + stream.name + " goes to");
        }
      } else if (whereMissing(AT_FDCWD, out.target, folder, below)) {
        if (const std::string input = missingAt(folder, below, false); !input.empty()) refuse(out.what, "it is " + input);
      }
      if (folderId(folderOf(out.target), parent)) {
        if (const std::string c = caseFolder(parent); !c.empty()) refuse(out.what, "it would be written into the case folder " + c);
        for (const OutputTarget& other : targets) {
          if (other.folder && other.exists && parent == other.id) {
            refuse(out.what, "it is inside the " + other.what + ", which is made anew");
          }
        }
      }
      continue;
    }
    if (out.exists) {
      if (const std::string c = caseFolder(out.id); !c.empty()) refuse(out.what, "it is the case folder " + c);
    }
    // The folder is made anew: nothing a case reads may be in it, not even a
    // file that does not exist yet.
    FileId made;
    std::string below;
    if (out.exists) {
      made = out.id;
    } else if (!whereMissing(AT_FDCWD, out.target, made, below)) {
      made = {};
    }
    if (made.inode != 0) {
      if (const std::string input = missingAt(made, below, true); !input.empty()) refuse(out.what, "it would hold " + input);
    }
    if (folderId(folderOf(out.target), parent)) {
      if (const std::string c = caseFolder(parent); !c.empty()) refuse(out.what, "it would be made in the case folder " + c);
    }
    for (const auto& [id, page] : out.contents) {
      if (const std::string input = readBy(id); !input.empty()) refuse(out.what, "'" + shown(page) + "' in it is " + input);
      for (const Stream& stream : streams) {
        if (stream.regular && stream.id == id) {
          refuse(out.what, "'" + shown(page) + "' in it is the file " + stream.name + " goes to");
        }
      }
    }
  }
}

}  // namespace velmora::suite
