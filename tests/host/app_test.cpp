// The process around the window: termination signals reach the GUI thread
// through a pipe that a started program does not inherit.
#include <fcntl.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "host/app.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "tests/support/tempdir.h"

namespace {

TEST(AppSignals, EachTerminationSignalIsOneByteOnAClosedOnExecPipe) {
  int fd = InstallExitSignals();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(DrainExitSignals(fd), 0) << "nothing pending";
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_EQ(::raise(sig), 0);
    EXPECT_EQ(DrainExitSignals(fd), 1) << sig;
  }
  EXPECT_EQ(InstallExitSignals(), fd) << "installed once";
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
}

TEST(AppExit, ExitTracesAndQueuesTheQuitRequest) {
  testsupport::TempDir dir;
  testsupport::ScopedCwd cwd(dir.path());
  int saved = logLevel.load();
  logLevel = 2;
  int queued = 0;
  SetExitHook([&] { ++queued; });
  Exit();
  SetExitHook(nullptr);
  Exit();  // no window: only the trace
  logLevel = saved;
  EXPECT_EQ(queued, 1);
  std::string raw = testsupport::ReadFile(dir / "RawLog.txt");
  EXPECT_NE(raw.find("[Exit()!]"), std::string::npos);
}

TEST(AppTexts, VersionAndProductNames) {
  const std::string suffix = "-CardIsup";
  ASSERT_GE(VersionText().size(), suffix.size());
  EXPECT_EQ(VersionText().substr(VersionText().size() - suffix.size()), suffix);
  EXPECT_EQ(ProductName(1), "Corvane CTI Server");
  EXPECT_FALSE(ProductName(0).empty());
}

}  // namespace
