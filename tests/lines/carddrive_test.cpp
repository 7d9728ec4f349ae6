#include <gtest/gtest.h>
#include <stdlib.h>

#include "lines/carddrive.h"
#include "platform/text.h"
#include "tests/lines/cardtest_fixture.h"

using cardtest::CardFixture;

namespace {

class CardDrive : public CardFixture {};

TEST_F(CardDrive, StartAndStopWriteTheirLogLinesInOrder) {
  Open();
  EXPECT_EQ(drive_->status, 0);
  EXPECT_EQ(drive_->digitalCount, 30);
  EXPECT_EQ(drive_->analogCount, 4);
  EXPECT_EQ(drive_->telCount, 34);
  EXPECT_EQ(drive_->serialText, "20261210");
  EXPECT_EQ(static_cast<TagKxCard&>(*drive_).SerialText(), "20261210");
  Close();
  const char* lines[] = {"TagCardDigitDrive ...",    "_totalDigitLines = 30",  "InLinesCount = 4",
                         "_faxNum=2",              "_totalConfId=32",        "CardFsk_InitForFsk() OK.",
                         "TagCardDigitDrive OK.",    "TagCardIsupDrive ...",     "CardIsup_InitSystem(): 0",
                         "TagCardIsupDrive End.",    "TagCardIsupDrive Closed.", "TagCardDigitDrive Closed."};
  std::string log = LogText();
  size_t at = 0;
  for (const char* l : lines) {
    size_t p = log.find(l, at);
    ASSERT_NE(p, std::string::npos) << l << " missing or out of order in\n" << log;
    at = p;
  }
}

TEST_F(CardDrive, FailedStartShowsTheBoxAndLeavesNoLines) {
  struct Case {
    const char* name;
    const char* ini;  // nullptr: no SimCard.ini at all
    int result;
  } cases[] = {
      {"no card file", nullptr, -1},
      {"card refuses", "[Card]\nE1Links=1\n[Fail]\nStart=-3\n", -3},
  };
  std::string boxes = dir_ / "boxes.txt";
  setenv("RODIZ_BOX_RECORD", boxes.c_str(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((dir_ / "SimCard.ini").c_str());
    std::remove(boxes.c_str());
    if (c.ini) testsupport::WriteFile(dir_ / "SimCard.ini", c.ini);
    Open();
    EXPECT_EQ(drive_->status, -1);
    EXPECT_EQ(drive_->telCount, 0);
    EXPECT_EQ(drive_->digitalCount, 0);
    EXPECT_EQ(drive_->MakeLine(0, 0), nullptr);
    std::string want = "Tarnwick系统: 初始化数字卡不成功, 返回值: " + std::to_string(c.result) + "!";
    EXPECT_EQ(testsupport::ReadFile(boxes), want + "\n");
    // The signalling start runs and is logged all the same.
    EXPECT_TRUE(Logged("TagCardIsupDrive End."));
    Close();
  }
  unsetenv("RODIZ_BOX_RECORD");
}

TEST_F(CardDrive, NoDigitalChannelsGiveNoLinesAndNoBox) {
  testsupport::WriteFile(dir_ / "SimCard.ini", "[Card]\nE1Links=0\nAnalogPorts=USER\n");
  std::string boxes = dir_ / "boxes.txt";
  setenv("RODIZ_BOX_RECORD", boxes.c_str(), 1);
  Open();
  unsetenv("RODIZ_BOX_RECORD");
  EXPECT_EQ(drive_->status, -1);
  EXPECT_EQ(drive_->telCount, 0);
  EXPECT_EQ(drive_->digitalCount, 0);
  EXPECT_EQ(drive_->analogCount, 0);
  EXPECT_EQ(testsupport::ReadFile(boxes), "");
}

TEST_F(CardDrive, LineNamesTypesAndCalls) {
  Open();
  struct Case {
    int index;
    const char* name;
    int type;
  } cases[] = {
      {0, "E1:00", kLineDig},   {9, "E1:09", kLineDig},   {29, "E1:29", kLineDig},
      {30, "A_IN:30", kLineAIn}, {31, "A_IN:31", kLineAIn}, {32, "A_EX:32", kLineAEx},
      {33, "A_EX:33", kLineAEx},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    std::string name;
    EXPECT_EQ(drive_->GetLineName(c.index, name), 0);
    EXPECT_EQ(name, c.name);
    TagKxCall* call = Line(c.index);
    ASSERT_NE(call, nullptr);
    EXPECT_STREQ(call->name, c.name);
    EXPECT_EQ(call->lineType.load(), c.type);
    EXPECT_EQ(call->lineNo, c.index);
    EXPECT_EQ(call->callState.load(), kCallNone);
    EXPECT_EQ(drive_->Call(c.index), call);
    EXPECT_EQ(lines_.back()->name, c.name);
  }
  std::string name = "x";
  EXPECT_EQ(drive_->GetLineName(-1, name), -1);
  EXPECT_EQ(name, "");
  EXPECT_EQ(drive_->GetLineName(34, name), -1);
  EXPECT_EQ(drive_->MakeLine(34, 34), nullptr);
  EXPECT_EQ(drive_->MakeLine(-1, 0), nullptr);
  // Reading past the table's end gives empty entries.
  EXPECT_EQ(drive_->Call(40), nullptr);
  // A freed line leaves no dangling call behind.
  drive_->FreeLine(lines_.front());
  lines_.erase(lines_.begin());
  EXPECT_EQ(drive_->Call(0), nullptr);
}

TEST_F(CardDrive, ChannelLinkAndSlot) {
  testsupport::WriteFile(dir_ / "SimCard.ini", "[Card]\nE1Links=2\n");
  Open();
  struct Case {
    int ch, link, slot;
  } cases[] = {{0, 0, 0}, {29, 0, 29}, {30, 1, 0}, {45, 1, 15}, {59, 1, 29}};
  for (const auto& c : cases) {
    TagCardIsupCall* call = Digital(c.ch);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->link, c.link) << c.ch;
    EXPECT_EQ(call->slot, c.slot) << c.ch;
  }
}

// The largest card: 32 links, 960 channels; a call reaches the last one.
TEST_F(CardDrive, ThirtyTwoLinksGiveNineHundredSixtyLines) {
  testsupport::WriteFile(dir_ / "SimCard.ini", "[Card]\nE1Links=32\n");
  Open();
  EXPECT_EQ(drive_->status, 0);
  EXPECT_EQ(drive_->digitalCount, 960);
  struct Case {
    int ch, link, slot;
  } cases[] = {{480, 16, 0}, {959, 31, 29}};
  for (const auto& c : cases) {
    TagCardIsupCall* call = Digital(c.ch);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->link, c.link) << c.ch;
    EXPECT_EQ(call->slot, c.slot) << c.ch;
  }
  TagCardIsupCall* last = Digital(959);
  ASSERT_NE(last, nullptr);
  ASSERT_TRUE(far_->IncomingCall(959, "777", "8613")) << far_->Error();
  ASSERT_EQ(last->WaitRing(1), 0);
  EXPECT_EQ(last->callerNumber, "777");
}

TEST_F(CardDrive, PortsOfOtherTypesAreNamedUnknown) {
  testsupport::WriteFile(dir_ / "SimCard.ini", "[Card]\nE1Links=1\nAnalogPorts=TYPE2, OTHER, TRUNK\n");
  Open();
  EXPECT_EQ(drive_->portTypes, (std::vector<int>{-1, -2, 0}));
  struct Case {
    int index;
    const char* name;
    int type;
  } cases[] = {{30, "A_UN:30", kLineVir}, {31, "A_UN:31", kLineVir}, {32, "A_EX:32", kLineAEx}};
  for (const auto& c : cases) {
    TagKxCall* call = Line(c.index);
    ASSERT_NE(call, nullptr);
    EXPECT_STREQ(call->name, c.name);
    EXPECT_EQ(call->lineType.load(), c.type) << c.index;
  }
}

TEST_F(CardDrive, CardIniSwitches) {
  struct Case {
    const char* text;  // nullptr: no Card.ini
    bool conf, fax;
  } cases[] = {
      {nullptr, true, true},
      {"", true, true},
      {" conf = no \n", false, true},
      {"CONF=OFF\n", true, true},
      {"Fax\t=\tFALSE\nconf=0\n", false, false},
      {"FAX=NO\nFAX=yes\n", true, true},
      {"CONF\n=NO\n", true, true},
      {"OTHER=NO\n", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(none)");
    std::remove((dir_ / "Card.ini").c_str());
    if (c.text) testsupport::WriteFile(dir_ / "Card.ini", c.text);
    bool conf = true, fax = true;
    ReadCardIni("Card.ini", &conf, &fax);
    EXPECT_EQ(conf, c.conf);
    EXPECT_EQ(fax, c.fax);
  }
  EXPECT_EQ(ReadCardIni(dir_ / "missing.ini", nullptr, nullptr), -1);
}

TEST_F(CardDrive, SwitchedOffResourcesAreNotStarted) {
  testsupport::WriteFile(dir_ / "Card.ini", "CONF = NO\nFAX = NO\n");
  Open();
  EXPECT_EQ(drive_->status, 0);
  EXPECT_EQ(drive_->faxCount, 0);
  EXPECT_EQ(drive_->confGroupCount, 0);
  EXPECT_TRUE(Logged("_faxNum=0"));
  EXPECT_FALSE(Logged("_totalConfId"));
  EXPECT_EQ(drive_->Card().FaxChannelCount(), 0);
}

TEST_F(CardDrive, FailingOptionalStartsKeepTheCardRunning) {
  testsupport::WriteFile(dir_ / "SimCard.ini", std::string(cardtest::kStandardIni) + "[Fail]\nFax=-2\nFsk=-4\nIsup=-5\n");
  Open();
  EXPECT_EQ(drive_->status, 0);
  EXPECT_EQ(drive_->telCount, 34);
  EXPECT_EQ(drive_->faxCount, 0);
  EXPECT_TRUE(Logged("CardFsk_InitForFsk() Err: -4"));
  EXPECT_TRUE(Logged("CardIsup_InitSystem(): -5"));
}

TEST_F(CardDrive, PhysicalCardIsTheIsupDriver) {
  // The installation's SimCard.ini lies in the working directory.
  std::unique_ptr<TagKxCard> card = MakePhysicalCard();
  ASSERT_NE(dynamic_cast<TagCardIsupDrive*>(card.get()), nullptr);
  EXPECT_EQ(card->status, 0);
  EXPECT_EQ(card->telCount, 34);
}

}  // namespace
