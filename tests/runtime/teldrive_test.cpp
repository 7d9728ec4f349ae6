#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/linemanager.h"
#include "engine/kxcall.h"
#include "lines/cardcall.h"
#include "runtime/procobjects.h"
#include "runtime/teldrive.h"
#include "services/linedir.h"
#include "platform/text.h"
#include "tests/runtime/drive_fixture.h"

namespace {

using linetest::DriveFixture;
using linetest::PhysicalCardOf;

class TelDriveTest : public DriveFixture {
 protected:
  std::string LinesList() { return testsupport::ReadFile(dir_ / "LinesList.txt"); }
};

TEST_F(TelDriveTest, LinesListOfTwoVirtualLinesInBothLanguages) {
  struct Case {
    const char* language;
    std::string name0, name1;
  } cases[] = {{"ENGLISH", "VirtualLine0#", "VirtualLine1#"},
               {"CHINESE", plat::Utf8ToGbk("虚拟线路0#"), plat::Utf8ToGbk("虚拟线路1#")}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    cfg_ = TagRunCfg();
    TagTelDrive& d = MakeDrive(std::string("VIR_LINES_NUM=2\nLANGUAGE_TYPE=") + c.language + "\n");
    ASSERT_EQ(d.status.load(), 0);
    EXPECT_EQ(d.telCount, 2);
    const std::string expected = "linesCount: 2\r\n" + plat::Utf8ToGbk("线路号  类型  名称") + "\r\n" +
                                 "------------------------------------\r\n" +
                                 "     0  VIR   " + c.name0 + "\r\n" +
                                 "     1  VIR   " + c.name1 + "\r\n" +
                                 "==============================================\r\n" +
                                 plat::Utf8ToGbk("线路统计：") + "\r\n" +
                                 "0-1 = VIR  (2)\r\n" +
                                 "==============================================\r\n";
    EXPECT_EQ(LinesList(), expected);
    drive_.reset();
  }
}

TEST_F(TelDriveTest, CapListsOnlyTheLinesInServiceButGetCallUsesTheCards) {
  physicalCard_ = PhysicalCardOf(std::vector<uint8_t>(30, kLineDig));
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nTOTAL_LINES_NUM=5\n");
  EXPECT_EQ(d.telCount, 5);
  EXPECT_EQ(d.lines.size(), 32u);
  const std::string list = LinesList();
  EXPECT_EQ(list.rfind("linesCount: 5\r\n", 0), 0u);
  EXPECT_NE(list.find("     4  DIG   Port4\r\n"), std::string::npos);
  EXPECT_EQ(list.find("     5  "), std::string::npos);
  EXPECT_NE(list.find("0-4 = DIG  (5)\r\n"), std::string::npos);

  uint8_t type = 9;
  TagKxCall* c20 = d.GetCall(20, &type);
  ASSERT_NE(c20, nullptr);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(c20, d.lines[20]->call);
  EXPECT_NE(d.GetCall(31, &type), nullptr);
  EXPECT_EQ(type, 2);
  // The statistics count the lines in service only.
  int e = 0, i = 0, v = 0, o = 0;
  EXPECT_EQ(d.CountByType(&e, &i, &v, &o), 5);
  EXPECT_EQ(e, 5);
  EXPECT_EQ(v, 0);
}

TEST_F(TelDriveTest, RunsOfTypesAreSummarisedInKeyOrder) {
  physicalCard_ = PhysicalCardOf(std::vector<uint8_t>(30, kLineDig));
  MakeDrive("VIR_LINES_NUM=2\n");
  const std::string list = LinesList();
  const std::string tail = "==============================================\r\n" + plat::Utf8ToGbk("线路统计：") +
                           "\r\n0-29 = DIG  (30)\r\n30-31 = VIR  (2)\r\n"
                           "==============================================\r\n";
  ASSERT_GE(list.size(), tail.size());
  EXPECT_EQ(list.substr(list.size() - tail.size()), tail);
  // One rule of dashes before each run.
  size_t rules = 0;
  for (size_t p = list.find("-----"); p != std::string::npos; p = list.find("-----", p + 36)) ++rules;
  EXPECT_EQ(rules, 2u);
}

TEST_F(TelDriveTest, NoLinesGivesAnEmptyListAndRefusesToStart) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=0\n0=a.kxs\n");
  EXPECT_EQ(d.telCount, 0);
  const std::string expected = "linesCount: 0\r\n" + plat::Utf8ToGbk("线路号  类型  名称") + "\r\n" +
                               "==============================================\r\n" +
                               plat::Utf8ToGbk("线路统计：") + "\r\n" +
                               "==============================================\r\n";
  EXPECT_EQ(LinesList(), expected);
  EXPECT_EQ(d.RunStart("RoDizRun.cfg"), -1);
  EXPECT_NE(Boxes().find("Corvane System: Lines number is 0"), std::string::npos);
  EXPECT_TRUE(isCloseing.load());  // a start without lines leaves it raised
}

// A file that cannot be read, and one whose line lists overlap (the lists
// after the overlap were never read), both fail the manager.
TEST_F(TelDriveTest, UnreadableConfigurationFailsTheManager) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file
    const char* firstBox;
  } cases[] = {{"missing", nullptr, "Corvane System: \"RoDizRun.cfg\" File Open Error.\n"},
               {"overlap", "VIR_LINES_NUM=5\n0-3=a.kxs\n3,4=b.kxs\n5=c.kxs\n",
                "Corvane System: Error : RoDizRun.Cfg : lines overlap\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ / "boxes.txt");
    std::filesystem::remove(dir_ / "RoDizRun.cfg");
    if (c.text) testsupport::WriteFile(dir_ / "RoDizRun.cfg", c.text);
    drive_ = std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg_, Hooks());
    EXPECT_EQ(drive_->status.load(), -100);
    EXPECT_TRUE(drive_->lines.empty());
    EXPECT_EQ(Boxes().rfind(c.firstBox, 0), 0u) << Boxes();
    EXPECT_NE(Boxes().find("Corvane System: \"RoDizRun.cfg\" File Open Error."), std::string::npos);
    drive_.reset();  // releases only what was made
  }
}

TEST_F(TelDriveTest, GetCallOutsideEveryCardIsLoggedAndNull) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\n");
  for (int ch : {2, 100, -1}) {
    SCOPED_TRACE(ch);
    uint8_t type = 7;
    EXPECT_EQ(d.GetCall(ch, &type), nullptr);
    EXPECT_EQ(type, 255);
    const std::string text = "TagTelDrive::GetCall(ch=" + std::to_string(ch) +
                             "): pPhyCard->telCount=0, pSipCard->telCount=0, pVirCard->telCount=2";
    EXPECT_NE(Log().find(text), std::string::npos);
  }
  // The SIP card has no lines: no channel is ever of SIP type.
  for (int ch = 0; ch < 2; ++ch) {
    uint8_t type = 7;
    EXPECT_NE(d.GetCall(ch, &type), nullptr);
    EXPECT_EQ(type, 2);
  }
}

TEST_F(TelDriveTest, StatisticsCountByTypeAndState) {
  physicalCard_ = PhysicalCardOf({kLineAEx, kLineAIn, kLineRec, kLineDig, kLineSip, kLineDig});
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\n");
  ASSERT_EQ(d.telCount, 7);
  struct Case {
    const char* name;
    std::vector<int> states;  // per line
    int connected, ext, in, vir, voip;
    int idleExt, idleVoip;
  } cases[] = {
      {"all connected", {1, 1, 1, 1, 1, 1, 1}, 6, 3, 1, 1, 1, 0, 0},
      {"only the recorder connected", {0, 0, 1, 0, 0, 0, 0}, 0, 0, 0, 0, 0, 3, 1},
      {"none yet", {-1, -1, -1, -1, -1, -1, -1}, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 7; ++i) d.lines[i]->call->callState = c.states[i];
    int e = -5, in = -5, v = -5, o = -5;
    EXPECT_EQ(d.CountConnected(&e, &in, &v, &o), c.connected);
    EXPECT_EQ(e, c.ext);
    EXPECT_EQ(in, c.in);
    EXPECT_EQ(v, c.vir);
    EXPECT_EQ(o, c.voip);
    int ie = 10, io = 20;  // CountIdle adds to what it is given
    EXPECT_EQ(d.CountIdle(&ie, &io), 30 + c.idleExt + c.idleVoip);
    EXPECT_EQ(ie, 10 + c.idleExt);
    EXPECT_EQ(io, 20 + c.idleVoip);
  }
  int e = 0, in = 0, v = 0, o = 0;
  EXPECT_EQ(d.CountByType(&e, &in, &v, &o), 6);  // the recorder is counted nowhere
  EXPECT_EQ(e, 3);
  EXPECT_EQ(in, 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(o, 1);
}

TEST_F(TelDriveTest, LineTimeAndBlockGoThroughTheScriptInstance) {
  physicalCard_ = PhysicalCardOf({kLineDig});
  builder_ = linetest::WaitingScript();
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\n");
  TagKxCall* call = d.lines[0]->call;
  call->callState = kCallConnected;
  call->isBlock = 1;
  int elapsed = -1, at = -1;
  // No instance yet: nothing to report.
  EXPECT_FALSE(d.GetLineTime(0, &elapsed, &at));
  EXPECT_EQ(d.IsBlock(0), -1);
  EXPECT_EQ(d.IsBlock(5), -1);
  EXPECT_FALSE(d.GetLineTime(-1, &elapsed, &at));

  d.runGate = 0;  // keeps the run thread at its gate
  ASSERT_EQ(d.LoadLine(0, "a.kxs"), 0);
  ASSERT_TRUE(linetest::WaitFor([&] { return d.Instance(0) != nullptr; }));
  const int32_t now = NowSeconds();
  call->connectTime = now - 42;
  call->callState = kCallConnected;
  ASSERT_TRUE(d.GetLineTime(0, &elapsed, &at));
  EXPECT_EQ(at, now - 42);
  EXPECT_GE(elapsed, 42);
  EXPECT_LE(elapsed, 100);
  EXPECT_EQ(d.IsBlock(0), 1);
  call->callState = kCallIdle;
  EXPECT_FALSE(d.GetLineTime(0, &elapsed, &at));
}

TEST_F(TelDriveTest, PortsOfOtherTypesAreTrunkPorts) {
  // A port type the card does not name leaves the call object's default 0.
  physicalCard_ = PhysicalCardOf({kLineAIn, kLineVir, kLineAEx});
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\n");
  ASSERT_EQ(d.telCount, 4);
  EXPECT_EQ(d.lines[0]->call->lineType.load(), kLineAIn);
  EXPECT_EQ(d.lines[1]->call->lineType.load(), kLineAEx);
  EXPECT_EQ(d.lines[3]->call->lineType.load(), kLineVir);
  int e = 0, in = 0, v = 0, o = 0;
  d.CountByType(&e, &in, &v, &o);
  EXPECT_EQ(e, 2);
  EXPECT_EQ(v, 1);
  EXPECT_NE(LinesList().find("     1  A_EX  Port1\r\n"), std::string::npos);
}

TEST_F(TelDriveTest, ACardThatCannotStartOffersNoLines) {
  physicalCard_ = [] {
    auto card = std::make_unique<linetest::FakePhysicalCard>(std::vector<uint8_t>(4, kLineDig));
    card->status = -1;
    return card;
  };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\n");
  EXPECT_EQ(d.telCount, 2);
  EXPECT_EQ(d.pPhyCard->telCount, 0);
  uint8_t type = 0;
  EXPECT_NE(d.GetCall(0, &type), nullptr);
  EXPECT_EQ(type, 2);
}

TEST_F(TelDriveTest, TheSoftwareCardsLinesComeFirstAndOtherPortsAreTrunks) {
  testsupport::WriteFile(dir_ / "SimCard.ini", "[Card]\nE1Links=1\nAnalogPorts=User,Other\n");
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nLANGUAGE_TYPE=ENGLISH\n");
  ASSERT_EQ(d.telCount, 34);
  const std::string list = LinesList();
  EXPECT_NE(list.find("    30  A_IN  "), std::string::npos);
  EXPECT_NE(list.find("    31  A_EX  "), std::string::npos);
  EXPECT_NE(list.find("    33  VIR   VirtualLine1#\r\n"), std::string::npos);
  // The summary rows in the byte order of their keys ("A_EX 031-031" first).
  EXPECT_NE(list.find("31-31 = A_EX (1)\r\n30-30 = A_IN (1)\r\n0-29 = DIG  (30)\r\n32-33 = VIR  (2)\r\n"),
            std::string::npos)
      << list;
  uint8_t type = 0;
  EXPECT_NE(d.GetCall(31, &type), nullptr);
  EXPECT_EQ(type, 1);
  EXPECT_NE(d.GetCall(32, &type), nullptr);
  EXPECT_EQ(type, 2);
}

TEST_F(TelDriveTest, TheHostSeesTheManagerThroughItsInterface) {
  builder_ = linetest::WaitingScript();
  testsupport::WriteFile(dir_ / "RoDizRun.cfg", "VIR_LINES_NUM=2\nLANGUAGE_TYPE=ENGLISH\nLOAD_DELAY=5\n1=a.kxs\n");
  auto m = MakeTelDriveManager("RoDizRun.cfg", &cfg_, Hooks());
  logLevel = 1;
  ASSERT_EQ(m->Status(), 0);
  ASSERT_NE(pTelDrive.load(), nullptr);
  EXPECT_EQ(m->LineCount(), 2);
  EXPECT_EQ(m->LineName(1), "VirtualLine1#");
  EXPECT_EQ(m->LineName(2), "");
  int ex = 0, in = 0, vir = 0, ip = 0;
  EXPECT_EQ(m->CountByType(&ex, &in, &vir, &ip), 2);
  EXPECT_EQ(vir, 2);
  ASSERT_EQ(m->RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(linetest::WaitFor([&] { return pTelDrive.load()->Instance(1) != nullptr; }));
  std::string script;
  int initRet = -9;
  EXPECT_FALSE(m->LineScript(0, &script, &initRet));
  ASSERT_TRUE(m->LineScript(1, &script, &initRet));
  EXPECT_EQ(script, "a.kxs");
  EXPECT_EQ(initRet, 0);
  // The debugger shares the line's instance; a line without one gives none.
  EXPECT_EQ(m->LineInstance(1), pTelDrive.load()->Instance(1));
  EXPECT_EQ(m->LineInstance(0), nullptr);
  EXPECT_EQ(m->LineInstance(2), nullptr);
  // The start handed the services the manager's lines and card lines their
  // key display; the process objects are up.
  EXPECT_TRUE(ProcessObjectsStarted());
  EXPECT_EQ(DirLineCount(), 2);
  EXPECT_EQ(DirInstance(1), m->LineInstance(1));
  EXPECT_NE(GetKeysModeLookup(), nullptr);
  TagKxCall* call = pTelDrive.load()->lines[1]->call;
  call->callState = kCallConnected;
  m->RequestHangup(1);  // carried out by the line's own thread, not this one
  EXPECT_TRUE(linetest::WaitFor([&] { return call->callState.load() == kCallReleased; }));
  m.reset();
  EXPECT_EQ(pTelDrive.load(), nullptr);
  // The stop withdrew them; the process objects stay for the next start.
  EXPECT_EQ(DirLineCount(), 0);
  EXPECT_EQ(DirInstance(1), nullptr);
  EXPECT_EQ(GetKeysModeLookup(), nullptr);
  EXPECT_TRUE(ProcessObjectsStarted());
  FinishProcessObjects();
}

TEST_F(TelDriveTest, LinesAreNumberedCardByCard) {
  physicalCard_ = PhysicalCardOf({kLineDig, kLineDig, kLineAEx});
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\n");
  ASSERT_EQ(d.lines.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(d.lines[i]->number, i);
    EXPECT_EQ(d.lines[i]->call->lineNo, i);
  }
  EXPECT_EQ(d.lines[3]->card, d.pVirCard.get());
  EXPECT_EQ(d.lines[2]->card, d.pPhyCard.get());
  EXPECT_EQ(d.pSipCard->telCount, 0);
  EXPECT_EQ(scriptLinesCount.load(), 5);
}

}  // namespace
