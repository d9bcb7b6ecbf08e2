// velmora under address-space limits from far too small to enough, a step at
// a time, so that each of its allocations in turn is the first to fail. Every
// run either stops with the out-of-memory diagnostic having created no file,
// or gets through to its usual diagnostic, creating the missing file it
// opened first; none dies of a signal (below the limit at which the loader
// can start it at all, nothing is run). With no control file, an allocation
// made after the control file's open would leave that file behind; with a
// control file naming a missing data file, one made after the data file's
// open would leave that one.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "runner.h"

namespace velmora::process {
namespace {

TEST(Limits, EveryAllocationComesBeforeTheFirstOpen) {
#ifdef VELMORA_SANITIZED
  GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
  const struct {
    std::vector<Step> setup;
    std::string missing, usualStop;
  } kSetups[] = {
      {{}, "CompareThese.inp", "Velmora: statement 28, channel 11, file 'CompareThese.inp'\nerror: end of file\n"},
      {{{Step::File, "CompareThese.inp", "missing.dat\\nb.dat\\n"}},
       "missing.dat",
       "Velmora: statement 36, channel 13, file 'missing.dat'\nerror: end of file\n"},
  };
  const std::regex outOfMemory(
      "Velmora: out of memory\nerror: cannot allocate ([0-9]+) bytes: Cannot allocate memory\n");
  for (const auto& setup : kSetups) {
    SCOPED_TRACE(setup.missing + " missing");
    Case c;
    c.table = "limits";
    c.setup = setup.setup;
    std::set<long> sizes;  // of the allocations that failed
    bool ranThrough = false;
    // Coarse steps until the run gets through, then back one step and on in
    // steps smaller than a block buffer, so that a limit between the
    // columns and the buffer is tried too.
    long step = 250;
    for (long kib = 4000; kib <= 200000 && !ranThrough && !HasFailure(); kib += step) {
      c.title = std::to_string(kib) + " KiB";
      c.limitAddressSpaceKiB = kib;
      SCOPED_TRACE(c.title);
      runCase(c, {{"velmora", VELMORA_BINARY}},
              [&](const Outcome& got, const process::Run&, std::vector<std::string>& created) {
                // Below some limit the loader cannot start the program at
                // all (where depends on its size and the C library): a
                // limit to step past, not a run of velmora.
                if (got.status == 127 && got.err.rfind("Velmora:", 0) != 0) return;
                EXPECT_EQ(got.status, 2);
                EXPECT_EQ(got.out, "");
                std::smatch size;
                if (std::regex_match(got.err, size, outOfMemory)) {
                  sizes.insert(std::stol(size[1]));
                } else {
                  EXPECT_EQ(got.err, setup.usualStop);
                  created = {setup.missing};
                  ranThrough = true;
                }
              });
      if (ranThrough && step > 16 && sizes.size() < 2) {
        ranThrough = false;
        kib -= step;
        step = 16;
      }
    }
    EXPECT_TRUE(ranThrough) << "no limit tried left enough memory";
    // The reference's column 2; then a block buffer (64 KiB, with a
    // sentinel and the padding the 64-byte loads of the block classifier
    // may read).
    ASSERT_EQ(sizes.size(), 2U);
    EXPECT_EQ(*sizes.rbegin(), 1'000'000 * 8);
    EXPECT_GT(*sizes.begin(), 64 << 10);
    EXPECT_LT(*sizes.begin(), (64 << 10) + 128);
  }
}

}  // namespace
}  // namespace velmora::process
