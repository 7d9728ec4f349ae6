// Scripts in these tests call the regex operations and "Print(".
#include <gtest/gtest.h>

#include "engine/opfactory.h"
#include "engine/runtimecompile.h"
#include "regex/eregops.h"

namespace {
class RegexOps : public ::testing::Environment {
 public:
  void SetUp() override {
    TagOpFactory::Instance().Register(RegexOperations());
    TagOpFactory::Instance().Register(RuntimeOperations());
  }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new RegexOps);
}  // namespace
