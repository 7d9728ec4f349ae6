// Scripts in these tests call the regex operations and "Print(".
#include "engine/runtimecompile.h"
#include "regex/eregops.h"
#include "tests/support/ops_env.h"

namespace {
[[maybe_unused]] ::testing::Environment* const kEnv =
    testsupport::RegisterOperations({RegexOperations, RuntimeOperations});
}  // namespace
