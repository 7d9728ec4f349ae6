#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/log.h"
#include "core/runcfg.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "tests/support/tempdir.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct ListCase {
  const char* text;
  std::vector<int> want;
};

class LineList : public ::testing::TestWithParam<ListCase> {};

TEST_P(LineList, Parses) { EXPECT_EQ(ParseLineList(GetParam().text), GetParam().want) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(Cases, LineList,
                         ::testing::Values(ListCase{"0-29", {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                                             10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29}},
                                           ListCase{"1+9", {1, 3, 5, 7, 9}}, ListCase{"2+9", {3, 5, 7, 9}},
                                           ListCase{"0*6", {0, 2, 4, 6}}, ListCase{"5,3,8-10", {5, 3, 8, 9, 10}},
                                           ListCase{"1-3-5", {1, 3, 4, 5}}, ListCase{"5-2", {}},
                                           ListCase{"7,,8", {7, 0, 8}}, ListCase{"4-", {4}},
                                           ListCase{"-3", {0, 1, 2, 3}}, ListCase{"1a,2", {1, 2}},
                                           ListCase{"", {}}, ListCase{"12", {12}}),
                         [](const auto& p) { return "case" + std::to_string(p.index); });

TEST(LineListBounds, HugeRangesStopAtTheCapWithoutOverflow) {
  for (const char* text : {"0-2147483647", "0+2147483647", "0*99999999999", "2147483640-2147483647"}) {
    std::vector<int> v = ParseLineList(text);
    EXPECT_LE(v.size(), kMaxLineListEntries) << text;
  }
  EXPECT_EQ(ParseLineList("0-2147483647").size(), kMaxLineListEntries);
  EXPECT_EQ(ParseLineList("0-2147483647").back(), 5119);
  // The top of the int range ends the loop instead of wrapping around.
  EXPECT_EQ(ParseLineList("2147483646-2147483647"), (std::vector<int>{2147483646, 2147483647}));
}

class CfgFile : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::SetDiagSink([this](const std::string& t) { diags.push_back(t); });
    setenv("RODIZ_BOX_RECORD", (dir / "boxes.txt").c_str(), 1);
    logLevel = 0;
  }
  void TearDown() override {
    SetLogWriter(nullptr);
    plat::SetDiagSink(nullptr);
    unsetenv("RODIZ_BOX_RECORD");
    logLevel = 0;
  }
  // The log in a file of the test's folder.
  void UseLog() { SetLogWriter(std::make_shared<TagWriteLog>(dir / "log.txt", 1 << 24, true, true)); }
  std::string LogText() {
    if (auto w = GetLogWriter()) w->Flush();
    return std::filesystem::exists(dir / "log.txt") ? ReadFile(dir / "log.txt") : "";
  }
  int Read(const std::string& text, TagRunCfg& cfg) {
    WriteFile(dir / "RoDizRun.cfg", text);
    return ReadCfgFile(dir / "RoDizRun.cfg", &cfg);
  }
  TempDir dir;
  // A level above 2 (IS_WRITE_LOG=3) copies log lines to RawLog.txt here.
  testsupport::ScopedCwd cwd{dir.path()};
  std::vector<std::string> diags;
};

TEST_F(CfgFile, CommentsAndBlankLinesKeepEveryDefault) {
  TagRunCfg cfg;
  ASSERT_EQ(Read("// only comments\n\n   \n//MONITOR_PORT=9\n", cfg), 0);
  TagRunCfg def;
  EXPECT_EQ(cfg.monitorPort, 2004);
  EXPECT_EQ(cfg.logSize, 2100000u);
  EXPECT_EQ(cfg.logFile, "msg_log.txt");
  EXPECT_EQ(cfg.title1, GBK("用户消息1"));
  EXPECT_EQ(cfg.dispDelay, def.dispDelay);
  EXPECT_EQ(cfg.loadDelay, 125);
  EXPECT_EQ(cfg.virLinesNum, 2);
  EXPECT_EQ(cfg.isShowForm, 1);
}

struct KeyCase {
  const char* line;
  std::function<long long(const TagRunCfg&)> field;
  long long want;
};

TEST_F(CfgFile, KeyValuesAndBounds) {
  const KeyCase cases[] = {
      {"IS_DISP_SENTE=yes", [](auto& c) { return c.isDispSente; }, 1},
      {"IS_DISP_SENTE=note", [](auto& c) { return c.isDispSente; }, 2},
      {"IS_DISP_SENTE=2", [](auto& c) { return c.isDispSente; }, 0},
      {"VIR_LINES_NUM=12ms", [](auto& c) { return c.virLinesNum; }, 12},
      {"VIR_LINES_NUM=abc", [](auto& c) { return c.virLinesNum; }, 0},
      {"TOTAL_LINES_NUM=-3", [](auto& c) { return c.totalLinesNum; }, -3},
      {"LANGUAGE_TYPE=en", [](auto& c) { return c.languageType; }, 1},
      {"LANGUAGE_TYPE=English", [](auto& c) { return c.languageType; }, 1},
      {"LANGUAGE_TYPE=chinese", [](auto& c) { return c.languageType; }, 0},
      {"is_show_form = no", [](auto& c) { return c.isShowForm; }, 0},
      {"IS_SHOW_FORM=TRUE", [](auto& c) { return c.isShowForm; }, 1},
      {"COL_GROUP_NUM=0", [](auto& c) { return c.colGroupNum; }, 1},
      {"COL_GROUP_NUM=11", [](auto& c) { return c.colGroupNum; }, 1},
      {"COL_GROUP_NUM=10", [](auto& c) { return c.colGroupNum; }, 10},
      {"MONITOR_PORT=0", [](auto& c) { return c.monitorPort; }, 2004},
      {"MONITOR_PORT=70000", [](auto& c) { return c.monitorPort; }, 2004},
      {"MONITOR_PORT=65535", [](auto& c) { return c.monitorPort; }, 65535},
      {"MONITOR_MAX_CONN=11", [](auto& c) { return c.monitorMaxConn; }, 0},
      {"MONITOR_MAX_CONN=-3", [](auto& c) { return c.monitorMaxConn; }, -3},
      {"MONITOR_MAX_CONN=10", [](auto& c) { return c.monitorMaxConn; }, 10},
      {"IS_WRITE_LOG=true", [](auto& c) { return c.isWriteLog; }, 1},
      {"IS_WRITE_LOG=3", [](auto& c) { return c.isWriteLog; }, 3},
      {"IS_IMMEDIATE_LOG=0", [](auto& c) { return c.isImmediateLog; }, 0},
      {"IS_DISP_TALKTIME=yes", [](auto& c) { return c.isDispTalkTime; }, 1},
      {"LOAD_DELAY=1", [](auto& c) { return c.loadDelay; }, 5},
      {"LOAD_DELAY=1000", [](auto& c) { return c.loadDelay; }, 1000},
      {"LOAD_DELAY=60000", [](auto& c) { return c.loadDelay; }, 60000},
      {"LOAD_DELAY=60001", [](auto& c) { return c.loadDelay; }, 60000},
      {"LOAD_DELAY=2147483647", [](auto& c) { return c.loadDelay; }, 60000},
      {"LOAD_DELAY=99999999999999", [](auto& c) { return c.loadDelay; }, 60000},
      {"VIR_LINES_NUM=5120", [](auto& c) { return c.virLinesNum; }, 5120},
      {"VIR_LINES_NUM=5121", [](auto& c) { return c.virLinesNum; }, 5120},
      {"VIR_LINES_NUM=2147483647", [](auto& c) { return c.virLinesNum; }, 5120},
      {"DISP_DELAY=99", [](auto& c) { return c.dispDelay; }, 100},
      {"DISP_DELAY=20000", [](auto& c) { return c.dispDelay; }, 15000},
      {"LOG_SIZE=1", [](auto& c) { return c.logSize; }, 2097152},
      {"LOG_SIZE=100", [](auto& c) { return c.logSize; }, 80LL * 1048576},
      {"LOG_SIZE=5", [](auto& c) { return c.logSize; }, 5LL * 1048576},
      {"MAX_MSG_NUM=0", [](auto& c) { return c.maxMsgNum; }, 0},
  };
  for (const auto& c : cases) {
    TagRunCfg cfg;
    ASSERT_EQ(Read(std::string(c.line) + "\n", cfg), 0) << c.line;
    EXPECT_EQ(c.field(cfg), c.want) << c.line;
  }
}

TEST_F(CfgFile, TextValuesLoseBlanksAndKeepSlashes) {
  TagRunCfg cfg;
  ASSERT_EQ(Read("TITLE1 = Trunk A\r\nLOG_FILE=C:/logs/a.txt//x\r\nFORM_TITLE=a=b\r\n"
                 "title2\t=\tx // comment\n",
                 cfg),
            0);
  EXPECT_EQ(cfg.title1, "TrunkA");
  EXPECT_EQ(cfg.logFile, "C:/logs/a.txt//x");
  EXPECT_EQ(cfg.formTitle, "a=b");
  EXPECT_EQ(cfg.title2, "x");
}

TEST_F(CfgFile, ProcessWideValues) {
  TagRunCfg cfg;
  ASSERT_EQ(Read("IS_WRITE_LOG=2\nMAX_MSG_NUM=17\nDB_MAX_CONN=4\nDB_BITFIELD_IS_DIGIT=yes\n", cfg), 0);
  EXPECT_EQ(logLevel.load(), 2);
  EXPECT_EQ(msgQueueLimit.load(), 17);
  EXPECT_EQ(dbPoolSize.load(), 4);
  EXPECT_EQ(dbBitfieldIsDigit.load(), 1);
  ASSERT_EQ(Read("DB_BITFIELD_IS_DIGIT=no\nMAX_MSG_NUM=2048\n", cfg), 0);
  EXPECT_EQ(dbBitfieldIsDigit.load(), 0);
  logLevel = 0;
}

TEST_F(CfgFile, SecondReadKeepsKeysThatVanished) {
  TagRunCfg cfg;
  ASSERT_EQ(Read("MONITOR_PORT=3000\n", cfg), 0);
  ASSERT_EQ(Read("VIR_LINES_NUM=4\n", cfg), 0);
  EXPECT_EQ(cfg.monitorPort, 3000);
  EXPECT_EQ(cfg.virLinesNum, 4);
}

TEST_F(CfgFile, OverlapStopsTheReadWithABox) {
  TagRunCfg cfg;
  EXPECT_EQ(Read("VIR_LINES_NUM=7\n0-3=a.kxs\n3,4=b.kxs\nMONITOR_PORT=3000\n", cfg), -3);
  EXPECT_EQ(cfg.virLinesNum, 7);      // read before the overlap
  EXPECT_EQ(cfg.monitorPort, 2004);   // after it: not read
  EXPECT_EQ(ReadFile(dir / "boxes.txt"), "Corvane System: Error : RoDizRun.Cfg : lines overlap\n");
  // A number named twice within one list overlaps too.
  EXPECT_EQ(Read("1,1=a.kxs\n", cfg), -3);
  EXPECT_EQ(Read("0-3=a.kxs\n4+9=b.kxs\n", cfg), 0);
}

TEST_F(CfgFile, MissingFileAndNoRecord) {
  TagRunCfg cfg;
  EXPECT_EQ(ReadCfgFile(dir / "none.cfg", &cfg), -2);
  EXPECT_EQ(ReadCfgFile(dir / "none.cfg", nullptr), -1);
}

TEST_F(CfgFile, OverlongLineIsLoggedAndItsTailIsNotALineOfItsOwn) {
  UseLog();
  TagRunCfg cfg;
  // A long comment whose tail, read on its own, would assign a script to line 0
  // and would then overlap with the list after it.
  std::string longComment = "//" + std::string(kMaxCfgLineBytes + 100, 'c') + "0=x.kxs\n";
  ASSERT_EQ(Read(longComment + "0=real.kxs\nVIR_LINES_NUM=5\n", cfg), 0);
  EXPECT_EQ(cfg.virLinesNum, 5);
  std::string longTitle = "\nTITLE3=" + std::string(kMaxCfgLineBytes, 't') + "\nMONITOR_PORT=1234\n";
  ASSERT_EQ(Read(longTitle, cfg), 0);
  EXPECT_EQ(cfg.monitorPort, 1234);
  EXPECT_EQ(cfg.title3, GBK("用户消息3")) << "an over-long line is not cut and used";
  std::string log = LogText();
  EXPECT_NE(log.find("RoDizRun.cfg line 1 is longer than 65536 bytes: ignored"), std::string::npos) << log;
  EXPECT_NE(log.find("RoDizRun.cfg line 2 is longer than 65536 bytes: ignored"), std::string::npos) << log;
}

TEST_F(CfgFile, LinesLongerThanTheOldBufferAreReadWhole) {
  TagRunCfg cfg;
  // A line list of 170 numbers (over 600 bytes): its numbers count, so a later
  // list naming one of them overlaps.
  std::string list;
  for (int i = 0; i < 170; ++i) list += (i ? "," : "") + std::to_string(i);
  ASSERT_GT(list.size(), 511u);
  EXPECT_EQ(Read(list + "=a.kxs\n169=b.kxs\n", cfg), -3);
  EXPECT_EQ(Read(list + "=a.kxs\n170=b.kxs\n", cfg), 0);
  // A value after a long run of aligning blanks.
  ASSERT_EQ(Read("TITLE3=" + std::string(700, ' ') + "Queue\r\nMONITOR_PORT=4321", cfg), 0);
  EXPECT_EQ(cfg.title3, "Queue");
  EXPECT_EQ(cfg.monitorPort, 4321) << "a last line without its newline";
}

TEST_F(CfgFile, LineAtTheLimitIsKeptOneByteMoreIsNot) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
    std::vector<bool> tooLong;
  } cases[] = {
      {std::string(kMaxCfgLineBytes, 'a') + "\nb", {std::string(kMaxCfgLineBytes, 'a'), "b"}, {false, false}},
      {std::string(kMaxCfgLineBytes + 1, 'a') + "\nb\n", {"", "b"}, {true, false}},
      {std::string(kMaxCfgLineBytes + 1, 'a'), {""}, {true}},
      {"\n\nx\r\n", {"", "", "x\r"}, {false, false, false}},
      {"", {}, {}},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "lines.txt", c.text);
    FILE* f = std::fopen((dir / "lines.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> got;
    std::vector<bool> longs;
    std::string line;
    bool tooLong = true;
    while (ReadCfgLine(f, &line, &tooLong)) {
      got.push_back(line);
      longs.push_back(tooLong);
    }
    std::fclose(f);
    EXPECT_EQ(got, c.lines) << c.text.size();
    EXPECT_EQ(longs, c.tooLong) << c.text.size();
  }
}

TEST_F(CfgFile, BoundsAreLoggedUnlessQuiet) {
  UseLog();
  const std::string text = "LOAD_DELAY=2147483647\nVIR_LINES_NUM=2147483647\n" + std::string(70000, 'x') +
                           "\n0-3=a.kxs\n3=b.kxs\n";
  WriteFile(dir / "RoDizRun.cfg", text);
  TagRunCfg quiet;
  EXPECT_EQ(ReadCfgFile(dir / "RoDizRun.cfg", &quiet, true), -3);
  EXPECT_EQ(quiet.loadDelay, 60000);
  EXPECT_EQ(quiet.virLinesNum, 5120);
  EXPECT_EQ(LogText(), "");
  EXPECT_EQ(ReadFile(dir / "boxes.txt"), "") << "a quiet read shows no box";

  TagRunCfg loud;
  EXPECT_EQ(ReadCfgFile(dir / "RoDizRun.cfg", &loud), -3);
  std::string log = LogText();
  EXPECT_NE(log.find("LOAD_DELAY 2147483647 is too long: 60000 used"), std::string::npos) << log;
  EXPECT_NE(log.find("VIR_LINES_NUM 2147483647 is too many: 5120 used"), std::string::npos) << log;
  EXPECT_NE(log.find("line 3 is longer than 65536 bytes"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(dir / "boxes.txt"), "Corvane System: Error : RoDizRun.Cfg : lines overlap\n");
}

}  // namespace

namespace {

// Each setting that is not taken as written is logged with its line number
// and why; settings taken as written log nothing.
TEST_F(CfgFile, SettingsNotTakenAsWrittenAreLoggedWithTheirLine) {
  UseLog();
  struct Case {
    const char* line;
    const char* logged;  // nullptr: nothing
  } cases[] = {
      {"COL_GROUP_NUM = 11", "COL_GROUP_NUM 11 is outside 1 to 10: ignored"},
      {"MONITOR_MAX_CONN = 11", "MONITOR_MAX_CONN 11 is above 10: ignored"},
      {"MONITOR_PORT = 70000", "MONITOR_PORT 70000 is outside 1 to 65535: ignored"},
      {"VIR_LINES_NUM = two", "VIR_LINES_NUM 'two' is not a number: read as 0"},
      {"LOG_SIZE = 1", "LOG_SIZE 1 is outside 2 to 80: 2 used"},
      {"DISP_DELAY = 20", "DISP_DELAY 20 is outside 100 to 15000: 100 used"},
      {"LOAD_DELAY = 1", "LOAD_DELAY 1 is outside 5 to 60000: 5 used"},
      {"IS_DISP_SENTE = 2", "IS_DISP_SENTE '2' is none of YES, NOTE, NO: read as NO"},
      {"LANGUAGE_TYPE = french", "LANGUAGE_TYPE 'french' is not ENGLISH or EN: Chinese used"},
      {"MONITOR_PRT = 2004", "unknown key MONITOR_PRT: ignored"},
      {"VIR_LINES_NUM 4", "'VIR_LINES_NUM4' has no '=': ignored"},
      {"is_show_form = no", nullptr},
      {"IS_WRITE_LOG = yes", nullptr},
      {"LANGUAGE_TYPE = en", nullptr},
      {"IS_DISP_SENTE = note", nullptr},
      {"// a comment", nullptr},
      {"", nullptr},
      {"0-3 = a.kxs", nullptr},
  };
  std::string text;
  for (const Case& c : cases) text += std::string(c.line) + "\n";
  TagRunCfg cfg;
  ASSERT_EQ(Read(text, cfg), 0);
  std::string log = LogText();
  int lineNo = 0;
  for (const Case& c : cases) {
    ++lineNo;
    std::string where = "RoDizRun.cfg line " + std::to_string(lineNo) + ": ";
    if (c.logged)
      EXPECT_NE(log.find(where + c.logged), std::string::npos) << c.line << "\n" << log;
    else
      EXPECT_EQ(log.find(where), std::string::npos) << c.line << "\n" << log;
  }
  EXPECT_EQ(cfg.colGroupNum, 1);
  EXPECT_EQ(cfg.isShowForm, 0);
}

TEST(LineListFaults, NamesWhatIsNotAsWritten) {
  struct Case {
    const char* text;
    std::vector<std::string> faults;
  } cases[] = {
      {"0-29", {}},
      {"5,3,8-10", {}},
      {"1-3-5", {}},
      {"9-3", {"'9-3' runs backwards: it names no line"}},
      {"2+1", {"'2+1' runs backwards: it names no line"}},
      {"1,x", {"'x' is not a number: read as 0"}},
      {"1a,2", {"'1a' is not a number: read as 1"}},
      {"7,,8", {"an empty number: read as 0"}},
      {"3-x", {"'x' is not a number: read as 0", "'3-x' runs backwards: it names no line"}},
  };
  for (const Case& c : cases) EXPECT_EQ(LineListFaults(c.text), c.faults) << c.text;
}

}  // namespace
