#include "runner.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace velmora::process {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void badTable(const std::string& where, const std::string& line) {
  std::fprintf(stderr, "%s: line the table format does not know: %s\n", where.c_str(), line.c_str());
  std::abort();
}

std::string decodeUntil(const std::string& s, std::size_t& i, char stop, const Definitions& definitions);

std::string decodeOne(const std::string& s, std::size_t& i, const Definitions& definitions) {
  const char c = s[i++];
  if (c == '$' && i < s.size() && s[i] == '{') {
    const std::size_t close = s.find('}', i);
    const std::string name = s.substr(i + 1, close - i - 1);
    i = close + 1;
    const auto found = definitions.find(name);
    if (found == definitions.end()) badTable("definition", name);
    return found->second;
  }
  if (c != '\\' || i == s.size()) return std::string(1, c);
  const char e = s[i++];
  if (e == 'x') {
    i += 2;
    return std::string(1, static_cast<char>(std::stoi(s.substr(i - 2, 2), nullptr, 16)));
  }
  if (e == '[') {
    const std::size_t close = s.find(']', i);
    auto count = std::stoul(s.substr(i, close - i));
    i = close + 1;
    const std::string unit = s[i] == '{' ? decodeUntil(s, ++i, '}', definitions) : decodeOne(s, i, definitions);
    std::string out;
    out.reserve(count * unit.size());
    while (count-- > 0) out += unit;
    return out;
  }
  return std::string(1, e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == '0' ? '\0' : e);
}

std::string decodeUntil(const std::string& s, std::size_t& i, char stop, const Definitions& definitions) {
  std::string out;
  while (i < s.size() && s[i] != stop) out += decodeOne(s, i, definitions);
  if (i < s.size()) ++i;  // the stop
  return out;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Splits "NAME<separator>REST"; without the separator the rest is empty.
std::pair<std::string, std::string> split(const std::string& text, const std::string& separator, bool last = false) {
  const std::size_t at = last ? text.rfind(separator) : text.find(separator);
  if (at == std::string::npos) return {text, ""};
  return {text.substr(0, at), text.substr(at + separator.size())};
}

void loadTable(const fs::path& path, std::vector<Case>& cases) {
  auto definitions = std::make_shared<Definitions>();
  const std::string table = path.stem().string();
  std::ifstream in(path);
  Case* current = nullptr;
  auto need = [&](const std::string& line) -> Case& {
    if (current == nullptr) badTable(path.string(), line + " (before any case)");
    return *current;
  };
  // Expectations before the first "run" line belong to a run of velmora with
  // no arguments.
  auto run = [&](const std::string& line) -> Run& {
    Case& c = need(line);
    if (c.runs.empty()) c.runs.emplace_back();
    return c.runs.back();
  };
  static const std::map<std::string, Step::Kind> kSteps{{"file", Step::File},         {"dir", Step::Dir},
                                                        {"fifo", Step::Fifo},         {"symlink", Step::Symlink},
                                                        {"hardlink", Step::Hardlink}, {"mode", Step::Mode}};
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto [key, rest] = split(line, " ");
    if (key == "def") {
      const auto [name, bytes] = split(rest, " = ");
      (*definitions)[name] = decode(bytes, *definitions);
    } else if (key == "case") {
      current = &cases.emplace_back();
      current->table = table;
      current->title = rest;
      current->definitions = definitions;
    } else if (const auto step = kSteps.find(key); step != kSteps.end()) {
      const Step::Kind kind = step->second;
      const auto [name, detail] = kind == Step::File                             ? split(rest, " = ")
                                  : kind == Step::Symlink || kind == Step::Hardlink ? split(rest, " -> ")
                                  : kind == Step::Mode                             ? split(rest, " ", true)
                                                                                   : std::pair{rest, std::string()};
      // A file's bytes are decoded only by its own run: some are large.
      const bool link = kind == Step::Symlink || kind == Step::Hardlink;
      need(line).setup.push_back({kind, decode(name, *definitions), link ? decode(detail, *definitions) : detail});
    } else if (key == "as" && rest == "nobody") {
      need(line).asNobody = true;
    } else if (key == "stdout" && (rest == "closed" || rest == "full" || rest == "broken-pipe")) {
      need(line).stdoutMode = rest;
    } else if (key == "limit") {
      const auto [what, amount] = split(rest, " ");
      if (what == "as") {
        need(line).limitAddressSpaceKiB = std::stol(amount);
      } else if (what == "fsize") {
        need(line).limitFileSizeBytes = std::stol(amount);
      } else {
        badTable(path.string(), line);
      }
    } else if (key == "rss") {
      need(line).maxRssMiB = std::stol(rest);
    } else if (key == "created") {
      need(line).created.push_back(decode(rest, *definitions));
    } else if (key == "made") {
      need(line).made.push_back(decode(rest, *definitions));
    } else if (key == "run") {
      Run& added = need(line).runs.emplace_back();
      std::istringstream words(rest);
      if (!(words >> added.program)) badTable(path.string(), line);
      for (std::string word; words >> word;) added.arguments.push_back(decode(word, *definitions));
    } else if (key == "exit") {
      run(line).exitStatus = std::stoi(rest);
    } else if (key == "out-bytes") {
      run(line).out += decode(rest, *definitions);
    } else if (key == "out" || key == "err") {
      (key == "out" ? run(line).out : run(line).err) += decode(rest, *definitions) + "\n";
    } else if (key == "out-has" || key == "err-has") {
      (key == "out-has" ? run(line).outHas : run(line).errHas).push_back(decode(rest, *definitions));
    } else if (key == "out-has-output-of") {
      Run& r = run(line);
      r.outputOf = std::stoi(rest);
      if (r.outputOf < 1 || r.outputOf >= static_cast<int>(need(line).runs.size())) badTable(path.string(), line);
    } else {
      badTable(path.string(), line);
    }
  }
}

// Whether `piece` lies within one line of `text`.
bool liesWithinALine(const std::string& text, const std::string& piece) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(piece) != std::string::npos) return true;
  }
  return false;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A temporary directory: the programs run in work/; their standard output,
// the copies of the programs run as nobody and the peak memory file stay
// beside it, out of the listing the case checks.
class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/velmora-process-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    root_ = pattern;
    chmod(root_.c_str(), 0711);  // an unprivileged run must reach work/
    fs::create_directory(work());
  }
  ~Sandbox() {
    std::error_code ignored;
    chmod(work().c_str(), 0700);
    fs::remove_all(root_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  fs::path root() const { return root_; }
  fs::path work() const { return root_ / "work"; }

 private:
  fs::path root_;
};

// Runs `binary` in the sandbox's work/ with empty standard input. Standard
// error is read through a pipe, so a file-size limit on the run cannot cut
// its diagnostic. A fork of this process starts with all its memory, so the
// peak of a run is taken by /usr/bin/time.
Outcome execute(const Case& c, const Run& r, const Sandbox& box, const std::string& binary, bool measure) {
  const std::string outPath = (box.root() / "out").string(), rssPath = (box.root() / "rss").string(),
                    workPath = box.work().string();
  std::vector<std::string> words;
  if (measure) words = {"/usr/bin/time", "-f", "%M", "-o", rssPath};
  words.push_back(binary);
  words.insert(words.end(), r.arguments.begin(), r.arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int errPipe[2], outPipe[2] = {-1, -1};
  if (pipe(errPipe) != 0) std::abort();
  if (c.stdoutMode == "broken-pipe") {
    if (pipe(outPipe) != 0) std::abort();
    close(outPipe[0]);  // nobody will ever read what is written
  }
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    // Only plain system calls from here to the exec. The tool must not rely
    // on its parent ignoring a signal.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(errPipe[1], 2);
    if (c.stdoutMode.empty()) dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    if (c.stdoutMode == "full") dup2(open("/dev/full", O_WRONLY), 1);
    if (c.stdoutMode == "broken-pipe") dup2(outPipe[1], 1);
    if (c.stdoutMode == "closed") close(1);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(workPath.c_str()) != 0) _exit(120);
    if (c.limitAddressSpaceKiB >= 0) {
      const rlim_t bytes = static_cast<rlim_t>(c.limitAddressSpaceKiB) * 1024;
      const rlimit limit{bytes, bytes};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(121);
    }
    if (c.limitFileSizeBytes >= 0) {
      const rlimit limit{static_cast<rlim_t>(c.limitFileSizeBytes), static_cast<rlim_t>(c.limitFileSizeBytes)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(121);
    }
    if (c.asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(122);
    execv(argv[0], argv.data());
    _exit(123);
  }
  close(errPipe[1]);
  if (outPipe[1] >= 0) close(outPipe[1]);
  Outcome got;
  char buffer[4096];
  for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) got.err.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(errPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  got.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (c.stdoutMode.empty()) got.out = readFile(outPath);
  return got;
}

}  // namespace

std::string decode(const std::string& text, const Definitions& definitions) {
  std::size_t i = 0;
  return decodeUntil(text, i, '\0', definitions);
}

std::vector<Case> loadTables(const std::string& directory) {
  std::vector<fs::path> tables;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".txt") tables.push_back(entry.path());
  }
  std::sort(tables.begin(), tables.end());
  std::vector<Case> cases;
  for (const auto& table : tables) loadTable(table, cases);
  std::set<std::string> names;
  for (const auto& c : cases) {
    if (!names.insert(testName(c)).second) badTable(c.table, "case " + c.title + " (a second case of that name)");
  }
  return cases;
}

std::string testName(const Case& c) {
  std::string name = c.table + "_";
  for (char ch : c.title) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

void checkExpectations(const Outcome& got, const Run& r, std::vector<std::string>&) {
  EXPECT_EQ(got.status, r.exitStatus);
  if (!r.out.empty() || (r.outHas.empty() && r.outputOf == 0)) {
    EXPECT_EQ(got.out, r.out);
  }
  if (!r.err.empty() || r.errHas.empty()) {
    EXPECT_EQ(got.err, r.err);
  }
  for (const auto& piece : r.outHas) EXPECT_TRUE(liesWithinALine(got.out, piece)) << "stdout lacks: " << piece;
  for (const auto& piece : r.errHas) EXPECT_TRUE(liesWithinALine(got.err, piece)) << "stderr lacks: " << piece;
}

void runCase(const Case& c, const std::map<std::string, std::string>& programs, const Check& check) {
  if (c.asNobody && geteuid() != 0) GTEST_SKIP() << "needs root to run as an unprivileged user";
#ifdef VELMORA_SANITIZED
  if (c.limitAddressSpaceKiB >= 0) GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
  std::vector<Run> runs = c.runs;
  if (runs.empty()) runs.emplace_back();
  Sandbox box;
  std::map<std::string, std::string> binaries;  // program name -> the path run
  for (const auto& r : runs) {
    const auto found = programs.find(r.program);
    ASSERT_NE(found, programs.end()) << "no program named " << r.program;
    binaries[r.program] = found->second;
    if (c.asNobody) {  // the build tree may be out of the unprivileged user's reach
      binaries[r.program] = (box.root() / r.program).string();
      fs::copy_file(found->second, binaries[r.program], fs::copy_options::overwrite_existing);
    }
  }

  for (const auto& step : c.setup) {
    const fs::path path = box.work() / step.name;
    switch (step.kind) {
      case Step::File:
        std::ofstream(path, std::ios::binary) << decode(step.detail, *c.definitions);
        break;
      case Step::Dir:
        fs::create_directory(path);
        break;
      case Step::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        break;
      case Step::Symlink:
        fs::create_symlink(step.detail, path);
        break;
      case Step::Hardlink:
        fs::create_hard_link(box.work() / step.detail, path);
        break;
      case Step::Mode:
        ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(std::stoul(step.detail, nullptr, 8))), 0);
        break;
    }
  }
  std::map<std::string, std::string> before;  // every regular file and its bytes
  std::set<std::string> expected;
  for (const auto& entry : fs::directory_iterator(box.work())) {
    expected.insert(entry.path().filename());
    if (fs::is_regular_file(entry.symlink_status())) before[entry.path().filename()] = readFile(entry.path());
  }

  std::vector<std::string> created = c.created;
  const bool measure = c.maxRssMiB > 0 && access("/usr/bin/time", X_OK) == 0;
  std::vector<Outcome> outcomes;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Run& r = runs[i];
    SCOPED_TRACE("run " + std::to_string(i + 1) + ": " + r.program);
    const Outcome& got = outcomes.emplace_back(execute(c, r, box, binaries[r.program], measure));
    check(got, r, created);
    if (r.outputOf > 0) {
      const Outcome& earlier = outcomes[static_cast<std::size_t>(r.outputOf - 1)];
      EXPECT_NE(earlier.out + earlier.err, "") << "run " << r.outputOf << " printed nothing to compare";
      for (const auto& line : linesOf(earlier.out + earlier.err)) {
        EXPECT_TRUE(liesWithinALine(got.out, line)) << "stdout lacks run " << r.outputOf << "'s line: " << line;
      }
    }
    if (measure) {
      long peakKiB = -1;  // the last line /usr/bin/time wrote
      std::ifstream in(box.root() / "rss");
      for (std::string line; std::getline(in, line);) peakKiB = std::atol(line.c_str());
      std::printf("peak RSS of %s in \"%s\": %.1f MiB\n", r.program.c_str(), c.title.c_str(),
                  static_cast<double>(peakKiB) / 1024);
      EXPECT_GT(peakKiB, 0);
      EXPECT_LE(peakKiB, c.maxRssMiB * 1024);
    }
  }

  expected.insert(created.begin(), created.end());
  expected.insert(c.made.begin(), c.made.end());
  std::set<std::string> after;
  for (const auto& entry : fs::directory_iterator(box.work())) after.insert(entry.path().filename());
  EXPECT_EQ(after, expected) << "files appeared or vanished";
  for (const auto& [name, bytes] : before) {
    EXPECT_TRUE(readFile(box.work() / name) == bytes) << name << " was changed";
  }
  for (const auto& name : c.made) {
    std::error_code missing;
    EXPECT_GT(fs::file_size(box.work() / name, missing), 0U) << name << " should have been written";
  }
  for (const auto& name : created) {
    std::error_code missing;
    EXPECT_EQ(fs::file_size(box.work() / name, missing), 0U) << name << " should be left empty";
  }
}

}  // namespace velmora::process
