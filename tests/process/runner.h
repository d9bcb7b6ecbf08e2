// Runs the built programs as a user runs them: in a fresh directory laid out
// by a case, with output captured, then checks standard output, standard error,
// the exit status, that every file laid out is byte for byte as it was, and
// which files appeared. Cases come from the text tables in cases/ (format.txt
// there describes the format) or are built in code by a test that generates
// them. Failures are reported through googletest's EXPECT macros.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora::process {

using Definitions = std::map<std::string, std::string>;  // name -> decoded bytes

// Decodes a table's bytes: \n \r \t \0 \\ \xHH; \[N]X repeats X (a byte, an
// escape or a {group}) N times; ${NAME} is a definition. Any other byte after
// a backslash stands for itself.
std::string decode(const std::string& text, const Definitions& definitions = {});

// A setup step, done in order before the runs.
struct Step {
  enum Kind { File, Dir, Fifo, Symlink, Hardlink, Mode } kind;
  std::string name;    // decoded
  std::string detail;  // File: encoded bytes (decoded when run); links: decoded target; Mode: octal digits
};

// One run of a program in the case's directory, and what it must give.
struct Run {
  std::string program = "velmora";     // a name known to the runner
  std::vector<std::string> arguments;  // decoded
  int exitStatus = 0;
  // A stream is compared exactly when lines are given for it (each ends with
  // a line feed); with only pieces given, each piece must lie within one of
  // its lines; with neither, it must stay empty.
  std::string out, err;
  std::vector<std::string> outHas, errHas;
  int outputOf = 0;  // 1-based: every line that run printed lies within a line of this stdout
};

struct Case {
  std::string table;  // the table file's name without .txt, or the generating test's name
  std::string title;
  std::shared_ptr<const Definitions> definitions = std::make_shared<Definitions>();
  std::vector<Step> setup;
  bool asNobody = false;
  std::string stdoutMode;  // "" (a file), "closed", "full", "broken-pipe"
  long maxRssMiB = 0;      // when positive, the peak is shown and bounded
  long limitAddressSpaceKiB = -1;
  long limitFileSizeBytes = -1;
  std::vector<std::string> created;  // files the runs create, each left empty
  std::vector<std::string> made;     // files the runs write, each not empty
  std::vector<Run> runs;             // none: one run of velmora with no arguments
};

// Every case of every *.txt file in `directory`, in file name order. A line
// the format does not know, or two cases with one name, stop the program.
std::vector<Case> loadTables(const std::string& directory);

// A name usable as a googletest parameter name: the table, then the title.
std::string testName(const Case& c);

// What a run gave.
struct Outcome {
  std::string out, err;
  int status = -1;  // the exit status, or 128 + the signal that ended it
};

// Checks a run's outcome: by default, against the run's expectations. A check
// may change `created`, the files the runs are expected to have created
// (first the case's list), when what a run printed decides them.
using Check = std::function<void(const Outcome& got, const Run& expected, std::vector<std::string>& created)>;
void checkExpectations(const Outcome& got, const Run& expected, std::vector<std::string>& created);

// Lays the case out in a fresh temporary directory, runs it, checks each run
// and then the files. `programs` maps the names a case may run to their paths.
// Cases with an address-space limit are skipped under AddressSanitizer, which
// cannot start within one.
void runCase(const Case& c, const std::map<std::string, std::string>& programs,
             const Check& check = checkExpectations);

}  // namespace velmora::process
