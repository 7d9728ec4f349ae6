// The card's fax channels against a fax machine at the line's far end: real
// T.30 calls through two modems, run faster than real time.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "tests/platform/card_test_util.h"
#include "tests/support/tempdir.h"
#include "tests/support/faxpage.h"

using namespace cardtest;
using plat::SimCard;
using plat::SimCardFarEnd;
using testsupport::ReadFaxTiff;

namespace {

class FaxModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ + "/SimCard.ini", std::string(kStandardIni) + "FaxSpeed = 200\n");
    card_ = std::make_unique<SimCard>(dir_ + "/SimCard.ini");
    far_ = std::make_unique<SimCardFarEnd>(*card_);
    ASSERT_EQ(card_->Start("", "prompt.ini"), 0) << card_->ConfigError();
    ASSERT_EQ(card_->FaxStart(2048), 0);
    page_ = testsupport::PatternPage(300);
    ASSERT_TRUE(testsupport::WriteFaxTiff(Path("page.tif"), page_));
  }
  void TearDown() override {
    far_.reset();
    card_.reset();
  }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }
  // Polls the channel as a line does until the transfer ends.
  int Finish(int fax) {
    int s = 0;
    EXPECT_TRUE(WaitFor([&] { return (s = card_->FaxState(fax)) != 0; }, 60000));
    return s;
  }
  SimCardFarEnd::FaxMachineInfo Machine(int ch) {
    SimCardFarEnd::FaxMachineInfo i;
    EXPECT_TRUE(far_->FaxMachineState(ch, &i)) << far_->Error();
    return i;
  }

  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::unique_ptr<SimCard> card_;
  std::unique_ptr<SimCardFarEnd> far_;
  testsupport::FaxRows page_;
};

TEST_F(FaxModemTest, FarMachineReceivesWhatTheLineSends) {
  ASSERT_TRUE(far_->FaxMachine(4, false, Path("far.tif"), "FAR END"));
  EXPECT_EQ(Machine(4).state, "armed");
  ASSERT_NE(card_->FaxLinkToTrunk(0, 4), 0);
  card_->FaxSetId(0, "+86 10 1234");
  ASSERT_GT(card_->FaxSend(0, Path("page.tif")), 0);
  EXPECT_EQ(Finish(0), 1);
  auto m = Machine(4);
  EXPECT_EQ(m.state, "done");
  EXPECT_EQ(m.result, 0);
  EXPECT_EQ(m.pages, 1);
  EXPECT_EQ(m.width, 1728);
  EXPECT_EQ(m.remoteId, "+86 10 1234");
  uint32_t width = 0;
  auto pages = ReadFaxTiff(Path("far.tif"), &width);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(width, 1728u);
  EXPECT_EQ(pages[0], page_);
}

TEST_F(FaxModemTest, LineReceivesWhatTheFarMachineSendsOnAnAnalogPort) {
  ASSERT_TRUE(far_->FaxMachine(30 + 2, true, Path("page.tif"), "SENDER"));
  ASSERT_NE(card_->FaxLinkToUser(1, 2), 0);
  ASSERT_GT(card_->FaxRecv(1, Path("in.tif")), 0);
  EXPECT_EQ(Finish(1), 1);
  EXPECT_EQ(card_->FaxRecvResult(1), 1);  // pages received
  auto pages = ReadFaxTiff(Path("in.tif"));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0], page_);
  EXPECT_EQ(Machine(32).pages, 1);
}

TEST_F(FaxModemTest, FailedCallsEndWithANegativeState) {
  struct Case {
    const char* name;
    bool farSends;
    bool lineSends;
    const char* lineFile;
  };
  const Case cases[] = {
      {"both receive", false, false, "in.tif"},
      {"both send", true, true, "page.tif"},
      {"line's file is no fax page", false, true, "junk.tif"},
  };
  WriteFile(Path("junk.tif"), "not a tiff");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_TRUE(far_->FaxMachine(5, k.farSends, Path("page.tif"), "FAR"));
    ASSERT_NE(card_->FaxLinkToTrunk(0, 5), 0);
    int r = k.lineSends ? card_->FaxSend(0, Path(k.lineFile)) : card_->FaxRecv(0, Path(k.lineFile));
    ASSERT_GT(r, 0);
    EXPECT_LT(Finish(0), 0);
    auto m = Machine(5);
    EXPECT_EQ(m.state, "done");
    EXPECT_NE(m.result, 0);
    card_->FaxStop(0);
    card_->FaxUnlink(0, 5);
    ASSERT_TRUE(far_->FaxMachineClear(5));
  }
}

TEST_F(FaxModemTest, StoppedTransferLeavesTheFarMachineDoneWithAFailure) {
  ASSERT_TRUE(far_->FaxMachine(6, false, Path("far.tif"), "FAR"));
  ASSERT_NE(card_->FaxLinkToTrunk(0, 6), 0);
  ASSERT_GT(card_->FaxSend(0, Path("page.tif")), 0);
  EXPECT_EQ(card_->FaxState(0), 0);
  EXPECT_EQ(Machine(6).state, "running");
  card_->FaxStop(0);
  card_->FaxUnlink(0, 6);
  auto m = Machine(6);
  EXPECT_EQ(m.state, "done");
  EXPECT_NE(m.result, 0);
  // A used machine does not take the next fax: the timer stands in again.
  ASSERT_NE(card_->FaxLinkToTrunk(0, 6), 0);
  ASSERT_GT(card_->FaxSend(0, Path("page.tif")), 0);
  EXPECT_EQ(card_->FaxState(0), 0);
  EXPECT_EQ(Machine(6).state, "done");
}

TEST_F(FaxModemTest, ControlCommands) {
  struct Case {
    const char* command;
    const char* answerStart;
  };
  const Case cases[] = {
      {"FAXMACHINE 4", "ERR no fax machine"},
      {"FAXMACHINE 4 SEND nowhere.tif", "ERR no file"},
      {"FAXMACHINE 4 PRINT x", "ERR FAXMACHINE"},
      {"FAXMACHINE 999 RECV x.tif", "ERR no channel"},
      {"FAXMACHINE 4 RECV x.tif My Fax", "OK"},
      {"FAXMACHINE 4", "OK armed 0 0 0"},
      {"FAXMACHINE 4 CLEAR", "OK"},
      {"FAXMACHINE 4 CLEAR", "ERR"},
  };
  for (const Case& k : cases) {
    std::string a = far_->Execute(k.command);
    EXPECT_EQ(a.rfind(k.answerStart, 0), 0u) << k.command << " -> " << a;
  }
  EXPECT_NE(far_->Execute("HELP").find("FAXMACHINE ch [SEND file"), std::string::npos);
}

}  // namespace
