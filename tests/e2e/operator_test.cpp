// What an operator sees of the running program: the log says what the
// configuration did not take and why, the terminal gets text in its own
// character set, and the screenshot shows the lines as they loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/text.h"
#include "tests/e2e/harness.h"

namespace {

const std::string kCommon = "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\n";
const char* const kWaiting = "r = Sleep(600);\n";

TEST(Operator, IgnoredConfigurationIsLoggedWithItsLine) {
  e2e::Installation inst;
  inst.Write("a.kxs", kWaiting);
  // No SimCard.ini: the card does not start and the three virtual lines are 0-2.
  inst.Write("RoDizRun.cfg", kCommon +
                                 "VIR_LINES_NUM=3\n"  // line 4
                                 "MONITOR_PORT=2004\n"
                                 "0,1=a.kxs\n"
                                 "9-3=a.kxs\n"  // line 7
                                 "2x=a.kxs\n"
                                 "5-7=a.kxs\n"
                                 "COLOUR=red\n");  // line 10
  ASSERT_GT(inst.Start(), 0);
  ASSERT_TRUE(inst.WaitForLog("lines run without it", 30000)) << inst.LogText();
  std::string log = inst.LogText();
  for (const char* want : {
           "RoDizRun.cfg line 7: '9-3' runs backwards: it names no line",
           "RoDizRun.cfg line 7: '9-3' names no line",
           "RoDizRun.cfg line 8: '2x' is not a number: read as 2",
           "RoDizRun.cfg line 9: 3 line numbers (5 to 7) past the last line 2: not started",
           "RoDizRun.cfg line 10: unknown key COLOUR: ignored",
           "Remote monitor off: MONITOR_MAX_CONN is 0 (1 to 10 consoles serves MONITOR_PORT 2004)",
       })
    EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
  // The line 2x names still runs; the start's last word is the card.
  EXPECT_TRUE(inst.WaitForLog("2: new TagTelBasic(a.kxs) OK. ret=0")) << log;
  size_t runEnd = log.find("[Run End.]");
  size_t card = log.find("The card did not start (its reason is logged above): 3 lines run without it");
  ASSERT_NE(runEnd, std::string::npos) << log;
  ASSERT_NE(card, std::string::npos) << log;
  EXPECT_GT(card, runEnd);
  EXPECT_EQ(inst.Stop(), 0);
}

// Script prints to the standard output and the compiler's missing-file line
// reach the terminal in its locale's character set (UTF-8 here); the log keeps
// its GB bytes; the load count is no terminal line.
TEST(Operator, TerminalTextFollowsTheLocale) {
  e2e::Installation inst;
  inst.AddEnv("LC_ALL=C.UTF-8");
  inst.Write("a.kxs", plat::Utf8ToGbk("SetPrintTo(\"\");\nPrint(\"线路 ok\");\nr = Sleep(600);\n"));
  inst.Write("b.kxs", "#include \"missing.kxs\"\n");
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=10\n0=a.kxs\n1=b.kxs\n2-9=a.kxs\n");
  ASSERT_GT(inst.Start(), 0);
  ASSERT_TRUE(e2e::WaitFor([&] { return inst.Read("stdout.txt").find("9 : ") != std::string::npos; }, 30000))
      << inst.Read("stdout.txt");
  ASSERT_TRUE(inst.WaitForLog("9: new TagTelBasic(a.kxs) OK. ret=0")) << inst.LogText();
  EXPECT_EQ(inst.Stop(), 0);
  std::string out = inst.Read("stdout.txt");
  EXPECT_NE(out.find("0 : 线路 ok\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  fBuff==NULL, 打不开文件错误\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("loadLinesCount"), std::string::npos) << out;
  EXPECT_NE(inst.LogText().find(plat::Utf8ToGbk("打不开文件错误")), std::string::npos);
}

// The main window's picture is taken once every listed line has loaded.
TEST(Operator, ScreenshotShowsTheLoadedLines) {
  e2e::Installation inst;
  inst.AddEnv("RODIZ_SCREENSHOT=" + inst.Path("shots"));
  inst.Write("a.kxs", kWaiting);
  // About half a second between line loads: the first paint comes long before the last load.
  inst.Write("RoDizRun.cfg", kCommon + "VIR_LINES_NUM=6\nLOAD_DELAY=2000\n0-5=a.kxs\n");
  ASSERT_GT(inst.Start(), 0);
  std::string logAtShot;
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        if (!std::filesystem::exists(inst.Path("shots/rodiz-main-en.png"))) return false;
        logAtShot = inst.LogText();
        return true;
      },
      60000))
      << inst.LogText();
  for (int line = 0; line < 6; ++line)
    EXPECT_NE(logAtShot.find(std::to_string(line) + ": new TagTelBasic(a.kxs) OK. ret=0"), std::string::npos)
        << "line " << line << " had not loaded when the picture was taken";
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace
