// Accepting new references: each chosen case's compared file copied over its
// reference file, every refusal found before the first write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "companion/outputs.h"
#include "parts.h"

namespace velmora::suite {

namespace {

// The path of a case's file from the working directory.
std::string pathFromHere(const Tree& tree, const Entry& entry, const std::string& name) {
  if (name.starts_with('/')) return name;
  std::string folder = tree.roots[entry.root];
  if (entry.path != ".") folder += (folder.ends_with('/') ? "" : "/") + entry.path;
  return folder + "/" + name;
}

std::string realPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string text = real;
  std::free(real);
  return text;
}

bool refuse(const Entry& entry, const std::string& why, std::string& error) {
  error = twoLines("case " + quoted(entry.name), why);
  return false;
}

// Copies `from` into the new file `fd` (which it closes) and makes it
// durable; errno of the first failure, or 0.
int copyInto(int fd, const std::string& from) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  int error = in < 0 ? errno : 0;
  char buffer[1 << 16];
  while (error == 0) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    for (ssize_t done = 0; done < got && error == 0;) {
      const ssize_t put = ::write(fd, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) error = put < 0 ? errno : EIO;
      if (put > 0) done += put;
    }
  }
  if (in >= 0) ::close(in);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

bool planAcceptance(const Tree& tree, const std::vector<Entry>& all, const std::vector<CaseResult>& chosen,
                    bool shared, std::vector<Acceptance>& plan, std::string& error) {
  plan.clear();
  std::vector<FileId> references;
  for (const CaseResult& result : chosen) {
    const Entry* found = nullptr;
    for (const Entry& entry : all) {
      if (entry.name == result.path) found = &entry;
    }
    if (found == nullptr) return false;
    const Entry& entry = *found;
    const Comparison& c = result.comparison;
    if (result.verdict == Verdict::Error) {
      return refuse(entry, "it cannot be read: " + c.stopDescription, error);
    }
    Acceptance step;
    step.caseName = entry.name;
    step.reference = pathFromHere(tree, entry, c.referenceName);
    step.compared = pathFromHere(tree, entry, c.comparedName);
    step.referenceShown = c.referenceName.starts_with('/') ? c.referenceName : inFolder(entry.name, c.referenceName);
    step.comparedShown = c.comparedName.starts_with('/') ? c.comparedName : inFolder(entry.name, c.comparedName);
    struct stat reference {}, compared {};
    if (::stat(step.reference.c_str(), &reference) != 0 || !S_ISREG(reference.st_mode)) {
      return refuse(entry, "its reference " + quoted(step.referenceShown) + " is no regular file", error);
    }
    if (::stat(step.compared.c_str(), &compared) != 0 || !S_ISREG(compared.st_mode)) {
      return refuse(entry, "its compared file " + quoted(step.comparedShown) + " is no regular file", error);
    }
    const FileId id = companion::idOf(reference);
    if (id == companion::idOf(compared)) {
      return refuse(entry, "its reference and its compared file are one file", error);
    }
    // The file a link names is the one replaced.
    step.target = realPath(step.reference);
    const std::string folder = realPath(pathFromHere(tree, entry, "."));
    if (step.target.empty() || folder.empty()) {
      return refuse(entry, "cannot find where its reference lies: " + std::string(std::strerror(errno)), error);
    }
    if (!shared && !step.target.starts_with(folder == "/" ? folder : folder + "/")) {
      return refuse(entry,
                    "its reference " + quoted(step.referenceShown) +
                        " lies outside the case folder: give --accept-shared to replace it",
                    error);
    }
    if (const std::string why = companion::whyNotReplaceable(step.target); !why.empty()) {
      return refuse(entry, "its reference " + quoted(step.referenceShown) + ": " + why, error);
    }
    // No other case may lose the file it reads.
    for (const Entry& other : all) {
      if (other.name == entry.name) continue;
      bool accepted = false;
      for (const CaseResult& r : chosen) accepted = accepted || r.path == other.name;
      for (const ReadFile& file : other.reads) {
        if (!file.missing.empty() || !(file.id == id)) continue;
        if (!accepted) {
          return refuse(entry,
                        "its reference " + quoted(step.referenceShown) + " is also read by the case " +
                            quoted(other.name) + ", which is not being accepted",
                        error);
        }
      }
    }
    for (std::size_t i = 0; i < references.size(); ++i) {
      if (references[i] == id) {
        return refuse(entry,
                      "its reference " + quoted(step.referenceShown) + " is also the reference of the case " +
                          quoted(plan[i].caseName) + ": accept one of them at a time",
                      error);
      }
    }
    step.mode = reference.st_mode & 07777;
    references.push_back(id);
    plan.push_back(std::move(step));
  }
  return true;
}

bool accept(const Acceptance& step, std::string& error) {
  std::string temporary;
  const int fd = companion::openAside(step.target, step.mode, temporary);
  int why = fd < 0 ? errno : copyInto(fd, step.compared);
  if (why == 0 && pendingSignal() == 0 && companion::putInPlace(temporary, step.target)) return true;
  if (why == 0) why = pendingSignal() != 0 ? EINTR : errno;
  if (!temporary.empty()) ::unlink(temporary.c_str());
  error = twoLines("reference " + quoted(step.referenceShown), std::string("cannot replace it: ") + std::strerror(why));
  return false;
}

}  // namespace velmora::suite
