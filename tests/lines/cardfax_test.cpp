// Faxes on card lines: the pool, the send and receive path of digital
// channels and analog ports, against the card's timer and a real fax
// machine at the far end.
#include <atomic>
#include <future>
#include <thread>

#include "tests/lines/cardtest_fixture.h"
#include "tests/support/faxpage.h"

using cardtest::CardFixture;
using cardtest::WaitFor;

namespace {

class FaxLineTest : public CardFixture {
 protected:
  void Reopen(const std::string& extraIni) {
    Close();
    testsupport::WriteFile(dir_ / "SimCard.ini", std::string(cardtest::kStandardIni) + extraIni);
    Open();
  }
  int InUse() {
    int total = 0, inUse = 0;
    drive_->GetFaxCounts(total, inUse);
    return inUse;
  }
  // The fax channel a running fax of the line holds, -1 while none.
  int RunningFaxOf(int cardIndex) {
    auto faxes = far_->Faxes();
    for (size_t i = 0; i < faxes.size(); i++)
      if (faxes[i].line == cardIndex && faxes[i].running) return static_cast<int>(i);
    return -1;
  }
};

TEST_F(FaxLineTest, FaxOffInCardIniGivesNoResourcesAndNoFax) {
  testsupport::WriteFile(dir_ / "Card.ini", "FAX = NO\n");
  Open();
  TagCardIsupCall* c = Digital(1);
  Connect(c);
  testsupport::WriteFile(dir_ / "p.tif", "II*");
  int total = 7, inUse = 7;
  c->GetFaxResource(total, inUse);
  EXPECT_EQ(total, 0);
  EXPECT_EQ(inUse, 0);
  EXPECT_EQ(c->SendFax(dir_ / "p.tif"), -1);
}

TEST_F(FaxLineTest, ChannelCountsInUseDuringAFaxOnly) {
  Open();
  TagCardIsupCall* c = Digital(2);
  Connect(c);
  c->SetFaxLocalId("0123456789ABCDEFGHIJKLMN");
  testsupport::WriteFile(dir_ / "p.tif", "II*");
  auto result = std::async(std::launch::async, [&] { return c->SendFax(dir_ / "p.tif"); });
  int fax = -1;
  ASSERT_TRUE(WaitFor([&] { return (fax = RunningFaxOf(2)) >= 0; }));
  int total = 0, inUse = 0;
  c->GetFaxResource(total, inUse);
  EXPECT_EQ(total, 2);
  EXPECT_EQ(inUse, 1);
  EXPECT_EQ(far_->Faxes()[static_cast<size_t>(fax)].id, "0123456789ABCDEFGHIJ");
  ASSERT_TRUE(far_->FaxEnd(fax, 1));
  EXPECT_EQ(result.get(), 1);
  c->GetFaxResource(total, inUse);
  EXPECT_EQ(inUse, 0);
  EXPECT_EQ(c->faxChannel, -1);
}

TEST_F(FaxLineTest, CardFailuresGiveTheirResultsAndFreeTheChannel) {
  struct Case {
    const char* name;
    const char* fail;
    bool send;
    int result;
  };
  const Case cases[] = {
      {"link refused", "[Fail]\nFaxLink=0\n", true, -2},
      {"send not started", "[Fail]\nFaxSend=0\n", true, -3},
      {"receive not started", "[Fail]\nFaxRecv=-1\n", false, -3},
      {"missing file", "", true, -3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Reopen(k.fail);
    TagCardIsupCall* c = Digital(3);
    Connect(c);
    int r = k.send ? c->SendFax(dir_ / "missing.tif") : c->RecvFax(dir_ / "in.tif");
    EXPECT_EQ(r, k.result);
    EXPECT_EQ(InUse(), 0);
    EXPECT_EQ(drive_->Card().FaxFreeChannel(), 0);
  }
}

TEST_F(FaxLineTest, FailedTransferGivesTheCardsNegativeState) {
  Open();
  TagCardUserCall* a = Analog(30);
  auto result = std::async(std::launch::async, [&] { return a->RecvFax(dir_ / "in.tif"); });
  int fax = -1;
  ASSERT_TRUE(WaitFor([&] { return (fax = RunningFaxOf(30)) >= 0; }));
  ASSERT_TRUE(far_->FaxEnd(fax, -4));
  EXPECT_EQ(result.get(), -4);
  EXPECT_EQ(InUse(), 0);
}

TEST_F(FaxLineTest, InterruptedBeforeTheFirstStateReadGivesZero) {
  Open();
  TagCardIsupCall* c = Digital(4);
  Connect(c);
  testsupport::WriteFile(dir_ / "p.tif", "II*");
  c->interrupted = 1;
  EXPECT_EQ(c->SendFax(dir_ / "p.tif"), 0);
  EXPECT_EQ(InUse(), 0);
}

TEST_F(FaxLineTest, FarEndReleaseEndsTheWaitWithTheLastState) {
  Open();
  TagCardIsupCall* c = Digital(5);
  Connect(c);
  testsupport::WriteFile(dir_ / "p.tif", "II*");
  auto result = std::async(std::launch::async, [&] { return c->SendFax(dir_ / "p.tif"); });
  ASSERT_TRUE(WaitFor([&] { return RunningFaxOf(5) >= 0; }));
  ASSERT_TRUE(far_->Release(5, 16));
  EXPECT_EQ(result.get(), 0);
  EXPECT_TRUE(WaitFor([&] { return Logged("IsOnline(): false"); }));
  EXPECT_EQ(InUse(), 0);
}

// Two lines want the one channel left: one gets it and keeps it, the other
// is told none is free and marks nothing.
TEST_F(FaxLineTest, TwoLinesAndOneFreeChannel) {
  Reopen("");
  testsupport::WriteFile(dir_ / "p.tif", "II*");
  TagCardIsupCall* holder = Digital(6);
  Connect(holder);
  auto held = std::async(std::launch::async, [&] { return holder->SendFax(dir_ / "p.tif"); });
  ASSERT_TRUE(WaitFor([&] { return RunningFaxOf(6) >= 0; }));
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    TagCardIsupCall* a = Digital(10 + 2 * round);
    TagCardIsupCall* b = Digital(11 + 2 * round);
    Connect(a);
    Connect(b);
    std::atomic<bool> go{false};
    auto ra = std::async(std::launch::async, [&] {
      while (!go) std::this_thread::yield();
      return a->SendFax(dir_ / "p.tif");
    });
    auto rb = std::async(std::launch::async, [&] {
      while (!go) std::this_thread::yield();
      return b->SendFax(dir_ / "p.tif");
    });
    go = true;
    int fax = -1;
    ASSERT_TRUE(WaitFor([&] {
      fax = RunningFaxOf(a->channel);
      if (fax < 0) fax = RunningFaxOf(b->channel);
      return fax >= 0;
    }));
    // The loser has its answer while the winner still holds the channel.
    std::future<int>& loser = RunningFaxOf(a->channel) >= 0 ? rb : ra;
    EXPECT_EQ(loser.get(), -1);
    EXPECT_EQ(InUse(), 2);
    ASSERT_TRUE(far_->FaxEnd(fax, 1));
    std::future<int>& winner = &loser == &ra ? rb : ra;
    EXPECT_EQ(winner.get(), 1);
    EXPECT_EQ(InUse(), 1);
  }
  ASSERT_TRUE(far_->FaxEnd(RunningFaxOf(6), 1));
  EXPECT_EQ(held.get(), 1);
  EXPECT_EQ(InUse(), 0);
}

// With a fax machine at the far end the transfer is a real fax call.
TEST_F(FaxLineTest, RealFaxBothWaysOnDigitalAndAnalogLines) {
  Reopen("FaxSpeed = 200\n");
  testsupport::FaxRows page = testsupport::PatternPage(200);
  ASSERT_TRUE(testsupport::WriteFaxTiff(dir_ / "page.tif", page));

  TagCardIsupCall* c = Digital(7);
  Connect(c);
  c->SetFaxLocalId("RODIZ LINE 7");
  ASSERT_TRUE(far_->FaxMachine(7, false, dir_ / "far.tif", "FAR")) << far_->Error();
  EXPECT_EQ(c->SendFax(dir_ / "page.tif"), 1);
  plat::SimCardFarEnd::FaxMachineInfo m;
  ASSERT_TRUE(far_->FaxMachineState(7, &m));
  EXPECT_EQ(m.state, "done");
  EXPECT_EQ(m.result, 0);
  EXPECT_EQ(m.pages, 1);
  EXPECT_EQ(m.width, 1728);
  EXPECT_EQ(m.remoteId, "RODIZ LINE 7");
  auto got = testsupport::ReadFaxTiff(dir_ / "far.tif");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], page);

  TagCardUserCall* a = Analog(31);
  ASSERT_TRUE(far_->FaxMachine(31, true, dir_ / "page.tif", "SENDER")) << far_->Error();
  EXPECT_EQ(a->RecvFax(dir_ / "in.tif"), 1);  // one page
  got = testsupport::ReadFaxTiff(dir_ / "in.tif");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], page);
  EXPECT_EQ(InUse(), 0);
}

}  // namespace
