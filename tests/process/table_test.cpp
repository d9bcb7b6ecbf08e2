// Every case of the tables in cases/ run through the built programs, one test
// each (cases/format.txt describes the tables).
#include <gtest/gtest.h>

#include "runner.h"

namespace velmora::process {

void PrintTo(const Case& c, std::ostream* os) { *os << c.table << ": " << c.title; }

namespace {

const std::map<std::string, std::string> kPrograms{
    {"velmora", VELMORA_BINARY},
#ifdef VELMORA_EXPLAIN_BINARY
    {"velmora-explain", VELMORA_EXPLAIN_BINARY},
#endif
};

class Table : public ::testing::TestWithParam<Case> {};

TEST_P(Table, OutputStatusAndFiles) { runCase(GetParam(), kPrograms); }

INSTANTIATE_TEST_SUITE_P(Process, Table, ::testing::ValuesIn(loadTables(PROCESS_TABLES)),
                         [](const auto& param) { return testName(param.param); });

}  // namespace
}  // namespace velmora::process
