// Hostile and broken inputs, run through the built velmora, one case of the
// table in cases.txt each (its head explains the format). Every run happens in
// a fresh directory; its exit status, standard output and standard error must
// be exactly the expected ones, every file laid out before the run must be
// byte for byte as it was, and no file may appear but the ones expected.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
std::map<std::string, std::string> definitions;  // made by the table's "def" lines

struct Case {
  std::string name;
  std::vector<std::vector<std::string>> setup;  // {what, name, link target, mode or encoded bytes}
  std::string user, stdoutMode, out, err;
  int exitStatus = 0;
  long maxRssMiB = 0;  // when the peak is to be shown
  std::vector<std::string> created;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// \n \r \t \0 \\ \xHH; \[N] repeats the next byte, escape or {group} N times;
// ${NAME} is a definition.
std::string decode(const std::string& s, std::size_t& i, char stop);

std::string decodeOne(const std::string& s, std::size_t& i) {
  char c = s[i++];
  if (c == '$' && i < s.size() && s[i] == '{') {
    std::size_t close = s.find('}', i);
    std::string name = s.substr(i + 1, close - i - 1);
    i = close + 1;
    return definitions.at(name);
  }
  if (c != '\\' || i == s.size()) return std::string(1, c);
  char e = s[i++];
  if (e == 'x') {
    i += 2;
    return std::string(1, static_cast<char>(std::stoi(s.substr(i - 2, 2), nullptr, 16)));
  }
  if (e == '[') {
    std::size_t close = s.find(']', i);
    auto count = std::stoul(s.substr(i, close - i));
    i = close + 1;
    std::string unit = s[i] == '{' ? decode(s, ++i, '}') : decodeOne(s, i), out;
    out.reserve(count * unit.size());
    while (count-- > 0) out += unit;
    return out;
  }
  return std::string(1, e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == '0' ? '\0' : e);
}

std::string decode(const std::string& s, std::size_t& i, char stop) {
  std::string out;
  while (i < s.size() && s[i] != stop) out += decodeOne(s, i);
  if (i < s.size()) ++i;  // the stop
  return out;
}

std::string decode(const std::string& s) {
  std::size_t i = 0;
  return decode(s, i, '\0');
}

std::vector<Case> loadCases() {
  // What separates a setup line's name from the rest.
  static const std::map<std::string, std::string> kSetup{
      {"file", " = "}, {"symlink", " -> "}, {"hardlink", " -> "}, {"dir", "\n"}, {"fifo", "\n"}, {"mode", " "}};
  std::vector<Case> cases;
  std::ifstream in(BADINPUT_TABLE);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space), rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "def") {
      definitions[rest.substr(0, rest.find(" = "))] = decode(rest.substr(rest.find(" = ") + 3));
    } else if (key == "case") {
      cases.push_back({rest, {}, "", "", "", "", 0, 0, {}});
    } else if (auto setup = kSetup.find(key); setup != kSetup.end()) {
      const std::size_t at = key == "mode" ? rest.rfind(' ') : rest.find(setup->second);
      // A file's bytes are decoded only by its own test: some are large.
      const std::string second = at == std::string::npos ? "" : rest.substr(at + setup->second.size());
      cases.back().setup.push_back({key, decode(rest.substr(0, at)), key == "file" ? second : decode(second)});
    } else if (key == "exit") {
      cases.back().exitStatus = std::stoi(rest);
    } else if (key == "out" || key == "err") {
      (key == "out" ? cases.back().out : cases.back().err) += decode(rest) + "\n";
    } else if (key == "stdout" || key == "as") {
      (key == "as" ? cases.back().user : cases.back().stdoutMode) = rest;
    } else if (key == "created") {
      cases.back().created.push_back(decode(rest));
    } else if (key == "rss") {
      cases.back().maxRssMiB = std::stol(rest);
    } else {
      std::fprintf(stderr, "unknown line in the table: %s\n", line.c_str());
      std::abort();
    }
  }
  return cases;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs velmora in `dir` with no arguments and empty standard input; its output
// goes to files beside the directory. A fork of this process starts with all
// its memory, so the peak of a run is taken by /usr/bin/time.
int run(const Case& c, const fs::path& dir, const std::string& binary, const std::string& rssFile) {
  pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(120);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open((dir.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (c.stdoutMode == "closed") {
      close(1);
    } else {
      const std::string out = c.stdoutMode == "full" ? "/dev/full" : dir.string() + ".out";
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    }
    for (int fd = 3; fd < 64; ++fd) close(fd);
    if (!rssFile.empty()) {
      execl("/usr/bin/time", "time", "-f", "%M", "-o", rssFile.c_str(), binary.c_str(), nullptr);
    } else if (c.user == "nobody") {
      execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary.c_str(),
            nullptr);
    } else {
      execl(binary.c_str(), "velmora", nullptr);
    }
    _exit(121);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, ExactDiagnosticAndFilesUnchanged) {
  const Case& c = GetParam();
  if (c.user == "nobody" && geteuid() != 0) GTEST_SKIP() << "needs root to run as an unprivileged user";
  char pattern[] = "/tmp/velmora-badinput-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  struct Cleanup {
    const fs::path& dir;
    ~Cleanup() {
      chmod(dir.c_str(), 0700);
      std::error_code ignored;
      for (const char* suffix : {"", ".out", ".err", ".rss"}) fs::remove_all(dir.string() + suffix, ignored);
    }
  } cleanup{dir};
  std::string binary = VELMORA_BINARY;
  if (c.user == "nobody") {  // the build tree may be out of the unprivileged user's reach
    fs::copy_file(binary, dir / ".velmora");
    binary = (dir / ".velmora").string();
  }
  for (const auto& step : c.setup) {
    const fs::path path = dir / step[1];
    if (step[0] == "file") {
      std::ofstream(path, std::ios::binary) << decode(step[2]);
    } else if (step[0] == "dir") {
      fs::create_directory(path);
    } else if (step[0] == "fifo") {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else if (step[0] == "symlink") {
      fs::create_symlink(step[2], path);
    } else if (step[0] == "hardlink") {
      fs::create_hard_link(dir / step[2], path);
    } else {
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(std::stoul(step[2], nullptr, 8))), 0);
    }
  }
  std::map<std::string, std::string> before;  // every regular file and its bytes
  std::set<std::string> expected(c.created.begin(), c.created.end());
  for (const auto& entry : fs::directory_iterator(dir)) {
    expected.insert(entry.path().filename());
    if (fs::is_regular_file(entry.symlink_status())) before[entry.path().filename()] = readFile(entry.path());
  }

  const bool measure = c.maxRssMiB > 0 && access("/usr/bin/time", X_OK) == 0;
  EXPECT_EQ(run(c, dir, binary, measure ? dir.string() + ".rss" : ""), c.exitStatus);
  EXPECT_EQ(c.stdoutMode.empty() ? readFile(dir.string() + ".out") : "", c.out);
  EXPECT_EQ(readFile(dir.string() + ".err"), c.err);
  if (measure) {
    long peakKiB = -1;  // the last line /usr/bin/time wrote
    std::ifstream in(dir.string() + ".rss");
    for (std::string line; std::getline(in, line);) peakKiB = std::atol(line.c_str());
    std::printf("peak RSS of velmora in \"%s\": %.1f MiB\n", c.name.c_str(), static_cast<double>(peakKiB) / 1024);
    EXPECT_GT(peakKiB, 0);
    EXPECT_LE(peakKiB, c.maxRssMiB * 1024);
  }
  std::set<std::string> after;
  for (const auto& entry : fs::directory_iterator(dir)) after.insert(entry.path().filename());
  EXPECT_EQ(after, expected) << "files appeared or vanished";
  for (const auto& [name, bytes] : before) EXPECT_TRUE(readFile(dir / name) == bytes) << name << " was changed";
  for (const auto& name : c.created) EXPECT_EQ(fs::file_size(dir / name), 0U) << name;
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(loadCases()), [](const auto& param) {
  std::string name;
  for (char ch : param.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

}  // namespace
