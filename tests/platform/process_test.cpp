#include "platform/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/waitfor.h"

namespace {

struct SplitCase {
  const char* line;
  std::vector<std::string> argv;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsTheWindowsRuntimeRules) {
  EXPECT_EQ(plat::SplitCommandLine(GetParam().line), GetParam().argv);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(SplitCase{"", {}}, SplitCase{"   \t ", {}}, SplitCase{"prog", {"prog"}},
                      SplitCase{"  prog  a\tb  ", {"prog", "a", "b"}},
                      SplitCase{"\"C:\\Program Files\\x.exe\" a", {"C:\\Program Files\\x.exe", "a"}},
                      // The program keeps its backslashes even before a quote.
                      SplitCase{"c:\\dir\\\"x y\" z", {"c:\\dir\\x y", "z"}},
                      SplitCase{"p \"a b\" c", {"p", "a b", "c"}},
                      SplitCase{"p a\\\\b", {"p", "a\\\\b"}},
                      SplitCase{"p a\\\\\"b c\"", {"p", "a\\b c"}},
                      SplitCase{"p a\\\"b", {"p", "a\"b"}},
                      SplitCase{"p a\\\\\\\"b", {"p", "a\\\"b"}},
                      SplitCase{"p \"a\"\"b\"", {"p", "a\"b"}},
                      SplitCase{"p \"\"", {"p", ""}},
                      SplitCase{"p \"open", {"p", "open"}},
                      // Shell syntax is plain text.
                      SplitCase{"echo a;rm -rf x $(id) `id` | cat > f",
                                {"echo", "a;rm", "-rf", "x", "$(id)", "`id`", "|", "cat", ">", "f"}}));

TEST(MemoryFigures, ParsesTheKilobyteLines) {
  // Private memory is the anonymous pages, in memory or swapped out; the
  // address space (VmSize, VmData) is not memory held.
  const std::string text =
      "Name:\ttest\nVmPeak:\t  20000 kB\nVmSize:\t  18000 kB\nVmHWM:\t    900 kB\nVmRSS:\t    850 kB\n"
      "RssAnon:\t     600 kB\nRssFile:\t     250 kB\nVmData:\t   9000 kB\nVmSwap:\t      30 kB\nThreads:\t1\n";
  const plat::MemoryFigures f = plat::ParseMemoryFigures(text);
  EXPECT_EQ(f.residentKb, 850u);
  EXPECT_EQ(f.peakResidentKb, 900u);
  EXPECT_EQ(f.privateKb, 630u);
  EXPECT_EQ(f.peakPrivateKb, 630u);
  const plat::MemoryFigures none = plat::ParseMemoryFigures("Name:\tkernel thread\n");
  EXPECT_EQ(none.residentKb, 0u);
  EXPECT_EQ(none.privateKb, 0u);
}

TEST(SpawnProgram, RefusesAMissingProgramAndAnEmptyLine) {
  EXPECT_EQ(plat::SpawnProgram({"no-such-program-rodiz-test"}), -1);
  EXPECT_EQ(plat::SpawnProgram({}), -1);
  EXPECT_EQ(plat::SpawnProgram({""}), -1);
}

}  // namespace

namespace {

TEST(SpawnProgram, PassesOnlyTheStandardStreams) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // not close-on-exec
  // The child lists its descriptors; an inherited pipe end would show.
  const std::string out = testing::TempDir() + "rodiz_spawn_fds.txt";
  const pid_t pid = plat::SpawnProgram({"sh", "-c", "ls /proc/self/fd > " + out});
  ASSERT_GT(pid, 0);
  int code = -1;
  ASSERT_TRUE(testsupport::WaitFor([&] { return plat::TryReap(pid, &code); }));
  EXPECT_EQ(code, 0);
  std::ifstream in(out);
  std::vector<std::string> listed;
  for (std::string fd; in >> fd;) listed.push_back(fd);
  for (const std::string& fd : listed) EXPECT_LE(std::stoi(fd), 3) << "descriptor " << fd << " passed on";
  EXPECT_GE(listed.size(), 3u);
  ::close(fds[0]);
  ::close(fds[1]);
  std::remove(out.c_str());
}

}  // namespace
