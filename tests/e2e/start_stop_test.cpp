#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

TEST(StartStop, RunsFromItsOwnFolderAndStopsOnSignals) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    e2e::Installation inst;
    inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=0\nLOG_FILE=msg_log.txt\n0-1=a.kxs\n");
    ASSERT_GT(inst.Start(), 0);
    ASSERT_TRUE(inst.WaitForLog("System Start...")) << "no log in the installation folder";
    EXPECT_EQ(inst.Stop(sig), 0) << "signal " << sig;
    EXPECT_NE(inst.LogText().find("System Closed."), std::string::npos);
  }
}

}  // namespace
