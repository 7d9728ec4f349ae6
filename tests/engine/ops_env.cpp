// The engine's own operations ("Print(", timers, "Eval(" ...) are registered
// by the program at start; these tests run scripts without the program.
#include <gtest/gtest.h>

#include "engine/opfactory.h"
#include "engine/runtimecompile.h"

namespace {
class EngineOps : public ::testing::Environment {
 public:
  void SetUp() override { TagOpFactory::Instance().Register(RuntimeOperations()); }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new EngineOps);
}  // namespace
