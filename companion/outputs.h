// The rules velmora's companions keep for the files they write:
//   - a total fails its limit by one rule, wherever the limit came from;
//   - an output never goes over a file the run reads (files known by device
//     and inode, links followed, as ReadFile holds them);
//   - an output file is written aside, in the folder of the file it
//     replaces, and renamed into place whole, so a run killed midway leaves
//     the old file whole; a name no rename can replace (a mount point, ".")
//     is found before anything is written.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::companion {

// True when a total fails a limit: above it, or NaN (which no limit passes).
//   aboveLimit(2, 1) -> true   aboveLimit(1, 1) -> false   aboveLimit(NaN, inf) -> true
bool aboveLimit(double total, double limit);

// A file as the system knows it, whatever name reaches it.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId& other) const { return device == other.device && inode == other.inode; }
  bool operator<(const FileId& other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
};
FileId idOf(const struct stat& status);

// A file a run reads, and the name it is shown by. One that does not exist
// yet (velmora would make it empty) is known by the nearest folder of its
// path that exists, `id`, and the names below that folder that do not,
// `missing` ("" for a file that exists).
struct ReadFile {
  FileId id;
  std::string name;
  std::string missing;
};

// The file of `read` (one that exists) that `status` describes, or nullptr.
const ReadFile* sameFile(const std::vector<ReadFile>& read, const struct stat& status);

// Why a rename cannot put a new file or folder in place of `target`, or ""
// when it can (or `target` does not exist): the target is a mount point
// (a bind-mounted file, a mounted folder: "Device or resource busy" at the
// end), or its name ends in "." or "..".
std::string whyNotReplaceable(const std::string& target);

// A new file beside `target`, in its folder ("." + its name + six random
// characters), with the permissions `mode`: the descriptor, or -1 with errno
// set. `temporary` gets its name.
int openAside(const std::string& target, mode_t mode, std::string& temporary);

// The file written aside takes the place of `target` in one step; when that
// fails it is removed, and false is returned with errno kept.
bool putInPlace(const std::string& temporary, const std::string& target);

}  // namespace velmora::companion
