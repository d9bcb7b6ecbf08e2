// Test-only: linked into test copies of the programs and fuzz targets, it
// makes the block classifier's form VELMORA_FORCED_PATH the one they use,
// before main runs, so that every test of a program can run on every form
// the processor has. Never part of the library or of an installed program.
// On a processor without the form nothing changes; the test copies skip
// their tests there (forcedPathMissing).
#include "freeformat/blockclass.h"

namespace velmora::detail {

bool forcedPathMissing() { return !blockPathSupported(BlockPath::VELMORA_FORCED_PATH); }

namespace {
const bool forced = forceBlockPath(BlockPath::VELMORA_FORCED_PATH);
}  // namespace

}  // namespace velmora::detail
