// The engine's own operations ("Print(", timers, "Eval(" ...).
#include "engine/runtimecompile.h"
#include "tests/support/ops_env.h"

namespace {
[[maybe_unused]] ::testing::Environment* const kEnv = testsupport::RegisterOperations({RuntimeOperations});
}  // namespace
