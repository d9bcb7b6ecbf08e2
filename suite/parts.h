// What the parts of velmora-suite share among themselves (not its
// contract, which is suite.h).
#pragma once

#include <fcntl.h>

#include <string>
#include <string_view>

#include "suite/suite.h"

namespace velmora::suite {

inline constexpr char kProgram[] = "velmora-suite";
inline constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// The two lines of a diagnostic: "velmora-suite: FIRST", "error: SECOND".
std::string twoLines(const std::string& first, const std::string& second);
// The path of `name` in `folder`, as a case's files are shown: "a/b" + "x" -> "a/b/x", "." + "x" -> "x".
std::string inFolder(const std::string& folder, const std::string& name);
// A name between single quotes, shown.
std::string quoted(std::string_view path);

}  // namespace velmora::suite
