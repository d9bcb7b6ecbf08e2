// Linked into the test copies that run on one form of the block classifier:
// on a processor without that form every test is skipped, not run on another.
#include <gtest/gtest.h>

namespace velmora::detail {
bool forcedPathMissing();
}

namespace {

class ForcedPath : public testing::Environment {
 public:
  void SetUp() override {
    if (velmora::detail::forcedPathMissing()) GTEST_SKIP() << "this processor lacks the form";
  }
};

const testing::Environment* const environment = testing::AddGlobalTestEnvironment(new ForcedPath);

}  // namespace
