// The real program with configuration values past their limits: a start that
// would pause for days, millions of virtual lines, lines longer than a read
// buffer, a line list overlap. Each is cut with a log line or reported once,
// and a termination signal still ends the program at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/e2e/harness.h"

namespace {

// A script that waits (the wait ends on the line's stop).
const char* const kWaiting = "r = Sleep(600);\n";

// Resident memory of a process in kB, or -1.
long ResidentKb(pid_t pid) {
  std::string status = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

const std::string kCommon = "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\n";

TEST(ConfigLimits, HugeLoadDelayIsCutAndTheSignalEndsTheStart) {
  e2e::Installation inst;
  inst.Write("a.kxs", kWaiting);
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=3\nLOAD_DELAY=2147483647\n0-2=a.kxs\n");
  ASSERT_GT(inst.Start(), 0);
  ASSERT_TRUE(inst.WaitForLog("LOAD_DELAY 2147483647 is too long: 60000 used")) << inst.LogText();
  // The first line loads, then the start pauses 15 s before the next.
  ASSERT_TRUE(inst.WaitForLog("0 Loading...")) << inst.LogText();
  EXPECT_EQ(inst.Stop(SIGTERM, 20000), 0);
  std::string log = inst.LogText();
  EXPECT_EQ(log.find("2 Loading..."), std::string::npos) << "the start ended in its pause";
  EXPECT_NE(log.find("System Closed."), std::string::npos) << log;
}

TEST(ConfigLimits, HugeVirtualLineCountIsCutAndMemoryStaysBounded) {
  constexpr long kMostKb = 400L * 1024;
  e2e::Installation inst;
  inst.Write("a.kxs", kWaiting);
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=2147483647\nLOAD_DELAY=5\n0-1=a.kxs\n");
  pid_t pid = inst.Start();
  ASSERT_GT(pid, 0);
  // Memory is watched all through the start: a program that makes lines
  // without end is stopped (by the installation) long before it fills the
  // machine.
  long peakKb = 0;
  bool started = e2e::WaitFor(
      [&] {
        peakKb = std::max(peakKb, ResidentKb(pid));
        return peakKb > kMostKb || inst.LogText().find("[MainRunThread()...]") != std::string::npos;
      },
      30000);
  ASSERT_LE(peakKb, kMostKb) << "resident kB while 5120 virtual lines were made";
  ASSERT_TRUE(started) << inst.LogText();
  EXPECT_NE(inst.LogText().find("VIR_LINES_NUM 2147483647 is too many: 5120 used"), std::string::npos);
  EXPECT_NE(inst.Read("LinesList.txt").find("linesCount: 5120\r\n"), std::string::npos);
  ASSERT_TRUE(inst.WaitForLog("1: new TagTelBasic(a.kxs) OK. ret=0")) << inst.LogText();
  long kb = ResidentKb(pid);
  EXPECT_GT(kb, 0);
  EXPECT_LT(kb, kMostKb) << "resident kB with 5120 virtual lines and two running";
  EXPECT_EQ(inst.Stop(SIGTERM, 30000), 0);
  EXPECT_NE(inst.LogText().find("System Closed."), std::string::npos);
}

TEST(ConfigLimits, LongLineListStartsItsLinesAndAnOverlongLineIsLogged) {
  e2e::Installation inst;
  inst.Write("a.kxs", kWaiting);
  // 170 line numbers, over 600 bytes: the script's name is at its very end.
  std::string list;
  for (int i = 0; i < 170; ++i) list += (i ? "," : "") + std::to_string(i);
  ASSERT_GT(list.size(), 511u);
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=170\nLOAD_DELAY=5\n// " + std::string(70000, 'x') + "\n" +
                                 list + "=a.kxs\n");
  ASSERT_GT(inst.Start(), 0);
  for (const char* want : {"RoDizRun.cfg line 6 is longer than 65536 bytes: ignored",
                           "RoDizRun.cfg line 6 is longer than 65536 bytes: its lines do not start",
                           "0: new TagTelBasic(a.kxs) OK. ret=0", "1: new TagTelBasic(a.kxs) OK. ret=0"})
    EXPECT_TRUE(inst.WaitForLog(want)) << want << "\n" << inst.LogText();
  EXPECT_EQ(inst.Stop(SIGTERM, 20000), 0);
}

// Line lists that overlap fail the start: the box once, then the line
// manager's failure; no line runs, neither before the overlap nor after it.
TEST(ConfigLimits, LinesOverlapFailsTheStartWithItsBoxOnce) {
  e2e::Installation inst;
  for (const char* name : {"a.kxs", "b.kxs", "c.kxs"}) inst.Write(name, "Print(\"ran\\n\")\nr = Sleep(600)\n");
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=6\n0-3=a.kxs\n3,4=b.kxs\n5=c.kxs\n");
  ASSERT_GT(inst.Start(), 0);
  const std::string failed = "Corvane System: Initialize failed. return : -100";
  EXPECT_TRUE(e2e::WaitFor([&] { return inst.Read("boxes.txt").find(failed) != std::string::npos; }))
      << inst.Read("boxes.txt") << inst.LogText();
  EXPECT_EQ(inst.Stop(SIGTERM, 20000), 0);
  const std::string boxes = inst.Read("boxes.txt");
  EXPECT_EQ(Count(boxes, "Error : RoDizRun.Cfg : lines overlap"), 1u) << boxes;
  EXPECT_EQ(Count(boxes, "\"RoDizRun.cfg\" File Open Error."), 1u) << boxes;
  const std::string log = inst.LogText();
  EXPECT_EQ(log.find("Loading..."), std::string::npos) << log;
  for (int line : {0, 4, 5}) EXPECT_FALSE(inst.Exists("_stdout" + std::to_string(line) + ".txt")) << line;
}

}  // namespace
