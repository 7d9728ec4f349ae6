// PC lines play through the wave player the program installs at start.
#include <gtest/gtest.h>

#include "lines/waveplay.h"

namespace {
class WavePlayer : public ::testing::Environment {
 public:
  void SetUp() override { RegisterWavePlayer(); }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new WavePlayer);
}  // namespace
