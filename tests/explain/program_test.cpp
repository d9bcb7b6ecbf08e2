// velmora-explain as a program, where the shell around it matters: where its
// picture may go (never over its own report or diagnostics, never blocking
// on a pipe, replaced whole or not at all), its stack, and a diagnostic for
// a name of any length. Each row is a shell command run in a fresh directory
// holding a.dat and b.dat; $X stands for the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ProgramCase {
  const char* name;
  const char* setup;    // shell commands before the run
  const char* command;  // the run; its stdout and stderr go to out and err unless it redirects them
  int status;
  const char* errHas;   // within standard error ("" : empty)
  const char* check;    // a shell test after the run that must succeed ("" : none)
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class Program : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(Program, Behaves) {
  const ProgramCase& c = GetParam();
  char pattern[] = "/tmp/velmora-explain-program-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  std::string rows = "readings\n";
  for (int i = 0; i < 20; ++i) rows += "header\n";
  std::ofstream(dir / "a.dat") << rows << "1 0.25 0\n2 0.5 0\n";
  std::ofstream(dir / "b.dat") << rows << "1 0.25 0\n2 0.625 0\n";
  const std::string script = std::string("cd '") + pattern + "' && export X='" VELMORA_EXPLAIN_BINARY "' && " +
                             c.setup + " && { timeout 20 sh -c '" + c.command +
                             "' > out 2> err; echo $? > status; } ; " +
                             (*c.check != '\0' ? std::string(c.check) : std::string("true"));
  const int checked = std::system(script.c_str());
  const std::string err = slurp(dir / "err");
  EXPECT_EQ(std::stoi(slurp(dir / "status")), c.status) << err;
  if (*c.errHas == '\0') {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(err.find(c.errHas), std::string::npos) << err;
  }
  EXPECT_TRUE(WIFEXITED(checked) && WEXITSTATUS(checked) == 0) << "the check failed: " << c.check;
  fs::remove_all(dir);
}

const ProgramCase kProgramCases[] = {
    {"picture_over_the_report", "true", "$X --json --plot rep a.dat b.dat > rep", 2,
     "the picture 'rep' would replace the file standard output writes to", "test ! -s rep"},
    {"picture_over_the_diagnostics", "true", "$X --plot log a.dat b.dat 2> log", 2, "",
     "grep -q \"the picture .log. would replace the file standard error writes to\" log"},
    // A named pipe nobody reads: refused at once, not waited on.
    {"picture_into_a_pipe_nobody_reads", "mkfifo p", "$X --plot p a.dat b.dat", 2,
     "cannot write the picture 'p': No such device or address", "test -p p"},
    {"picture_into_a_pipe", "true", "$X --plot /dev/stdout a.dat b.dat | cat > piped", 0, "",
     "grep -q '</svg>' piped"},
    {"picture_into_dev_null", "true", "$X --plot /dev/null a.dat b.dat", 0, "", ""},
    {"picture_into_dev_full", "true", "$X --plot /dev/full a.dat b.dat", 2,
     "cannot write the picture '/dev/full': No space left on device", ""},
    // Replaced in one step: the old picture's permissions kept, no file left beside it.
    {"picture_replaced_whole", "echo old > p.svg && chmod 640 p.svg", "$X --plot p.svg a.dat b.dat", 0,
     "", "grep -q '</svg>' p.svg && test \"$(stat -c %a p.svg)\" = 640 && test \"$(ls -A | wc -l)\" = 6"},
    {"picture_through_a_link", "echo old > real.svg && ln -s real.svg p.svg", "$X --plot p.svg a.dat b.dat",
     0, "", "test -L p.svg && grep -q '</svg>' real.svg"},
    {"picture_cut_by_the_size_limit_keeps_the_old", "echo old > p.svg",
     "ulimit -f 2 && $X --plot p.svg a.dat b.dat > /dev/null", 2, "cannot write the picture 'p.svg': File too large",
     "test \"$(cat p.svg)\" = old && test \"$(ls -A | wc -l)\" = 6"},
    {"small_stack", "true", "ulimit -s 64 && $X --plot p.svg a.dat b.dat && $X --json none/x.dat b.dat", 2,
     "Velmora: statement 33, channel 13", ""},
    // A name longer than the system takes: two whole lines, however long.
    {"long_name_two_whole_lines", "true", "$X $(printf %05000d 0)/x.dat b.dat", 2,
     "': File name too long\n",
     "test \"$(wc -l < err)\" = 2 && head -c 34 err | grep -q '^Velmora: statement 33, channel 13$'"},
    {"long_name_in_json", "true", "$X --json $(printf %05000d 0)/x.dat b.dat", 2, "File name too long",
     "grep -q 'File name too long.u000a' out && grep -q '\"line\": null' out"},
    // A long report (the list a few hundred KiB) through a pipe: the pipe
    // enlarged before the first byte comes, and the same bytes as into a
    // file, the text before the rows first.
    {"long_report_through_a_pipe",
     "awk 'BEGIN { print \"readings\"; for (i = 0; i < 20; i++) print \"header\";"
     " for (i = 1; i <= 3000; i++) print i, i / 4, 0 }' > a.dat &&"
     " awk 'BEGIN { print \"readings\"; for (i = 0; i < 20; i++) print \"header\";"
     " for (i = 1; i <= 3000; i++) print i, i / 4 + i % 7 / 8, 0 }' > b.dat",
     "$X --top 3000 a.dat b.dat > file && $X --top 3000 a.dat b.dat | { dd bs=1 count=1 2> /dev/null > first &&"
     " /usr/bin/python3 -c \"import fcntl; print(fcntl.fcntl(0, 1032))\" > size && cat > rest; }",
     0, "",
     "cat first rest | cmp - file && test \"$(cat size)\" -ge 1048576 && test \"$(wc -c < file)\" -gt 600000 &&"
     " test \"$(grep -n '^top 3000 rows' file | cut -d: -f1)\" -lt 40"},
    {"long_json_report_through_a_pipe", "awk 'BEGIN { print \"readings\"; for (i = 0; i < 20; i++) print \"header\";"
     " for (i = 1; i <= 3000; i++) print i, i % 5, 0 }' > b.dat",
     "$X --json --top 3000 a.dat b.dat | cat > piped", 0, "",
     "/usr/bin/python3 -c 'import json; d = json.load(open(\"piped\")); assert len(d[\"top\"]) == 3000'"
     " && test \"$(wc -c < piped)\" -gt 600000"},
    // Rows of one line each, as many in both files, on other lines in each
    // (a longer header in the compared file): each listed row's lines,
    // values and difference are its own file's.
    {"list_rows_on_other_lines_in_each_file",
     "printf 'VELMORA-DAT2 x\\nA 1\\nB 2\\nC 3\\nskipped\\nPressure 9\\nrate 8\\nRate 0.5\\n' > c.dat && "
     "for i in 1 2 3 4 5 6 7 8 9 10; do echo column >> c.dat; done && printf '1 0.25 0\\n2 0.5 0\\n' >> c.dat",
     "$X --top 2 c.dat b.dat", 0, "",
     "grep -qx '        2         20         23  *0.5  *0.625  *125  *15625  *100%' out && "
     "grep -qx '            reference line 20: .2 0.5 0. -> 2, 0.5, 0' out && "
     "grep -qx '            compared  line 23: .2 0.625 0. -> 2, 0.625, 0' out && "
     "grep -qx '        1         19         22  *0.25  *0.25  *0  *0  *0%' out"},
};

INSTANTIATE_TEST_SUITE_P(Explain, Program, ::testing::ValuesIn(kProgramCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
