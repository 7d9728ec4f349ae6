// Scripts in these tests run on lines the program would have set up.
#include <gtest/gtest.h>

#include "host/operations.h"
#include "lines/teldrive.h"

namespace {
class ProgramSetUp : public ::testing::Environment {
 public:
  void SetUp() override {
    RegisterLineManager();
    RegisterAllOperations();
  }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new ProgramSetUp);
}  // namespace
