#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/card/isupmsg.h"
#include "tests/lines/cardtest_fixture.h"

using cardtest::CardFixture;
using cardtest::WaitFor;

namespace {

std::vector<uint8_t> Hex(const std::string& s) {
  std::vector<uint8_t> v;
  EXPECT_TRUE(plat::card::ParseHex(s, &v));
  return v;
}

class CardIsup : public CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    Open();
  }
  // Runs OutCall on its own thread while the test plays the network.
  struct Outgoing {
    std::atomic<int> result{1000};
    std::thread thread;
    ~Outgoing() {
      if (thread.joinable()) thread.join();
    }
    int Wait() {
      thread.join();
      return result.load();
    }
  };
  void StartOutCall(Outgoing& o, TagCardIsupCall* c, const std::string& number) {
    o.thread = std::thread([&o, c, number] { o.result = c->OutCall(number, 0, 0); });
  }
};

TEST_F(CardIsup, IncomingIamIsDecodedAcknowledgedAndAnswered) {
  logLevel = 2;
  TagCardIsupCall* c = Digital(3);
  ASSERT_NE(c, nullptr);
  auto iam = Hex("01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 04 03 13 76 98 00");
  ASSERT_TRUE(far_->IncomingIam(3, iam)) << far_->Error();
  ASSERT_EQ(c->WaitRing(1), 0);

  EXPECT_EQ(c->callState.load(), kCallConnected);
  EXPECT_EQ(c->callerNumber, "6789");
  EXPECT_EQ(c->calledNumber, "12345");
  std::string out;
  EXPECT_EQ(c->GetCallerId(out), 0);
  EXPECT_EQ(out, "6789");
  EXPECT_EQ(c->GetCalleeId(out), 0);
  EXPECT_EQ(out, "12345");
  EXPECT_EQ(c->GetFirstCalleeId(out), 0);
  EXPECT_EQ(out, "");

  auto frames = far_->Frames(3);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(plat::card::ToHex(frames[0]), "06 12 14 01 37 01 0C 29 01 01 39 02 37 C0 00");
  auto msgs = far_->Messages(3);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.back(), std::make_pair(5, 2));
  EXPECT_EQ(far_->State(3), 7);
  EXPECT_TRUE(Logged("iam.Init()=0, iam.redirCase=0, caller[6789], called[12345], firstCalled[]"));
  EXPECT_TRUE(Logged("CardIsup_SendRawFrame(ACM, 0, 3, n=15): ret=15"));
  // Above log level 1 the IAM is kept as it came.
  EXPECT_EQ(testsupport::ReadFile(dir_ / "iam03_21.dat"), std::string(iam.begin(), iam.end()));
}

// A line waiting for a call sleeps until the far end changes its channel or
// the line is interrupted. The idle look-round is lengthened far past the
// test's own time-out, so only the notice can end these waits.
TEST_F(CardIsup, WaitRingSleepsUntilACallOrAnInterruption) {
  struct Case {
    const char* name;
    int ch;
    bool call;  // else an interruption
    int state;  // the line's call state afterwards
  } cases[] = {{"CallArrives", 6, true, kCallConnected}, {"Interrupted", 7, false, kCallNone}};
  TagKxCall::SetIdleWaitForTest(600000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TagCardIsupCall* line = Digital(c.ch);
    ASSERT_NE(line, nullptr);
    line->interrupted = 0;
    std::atomic<bool> done{false};
    std::thread waiting([&] {
      line->WaitRing(1);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // most likely asleep by now
    if (c.call)
      EXPECT_TRUE(far_->IncomingCall(c.ch, "777", "8613")) << far_->Error();
    else
      line->interrupted = 1;
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    if (!done.load()) line->interrupted = 1;  // the notice was lost: end the wait anyway
    waiting.join();
    EXPECT_EQ(line->callState.load(), c.state);
  }
  TagKxCall::SetIdleWaitForTest(0);
}

TEST_F(CardIsup, NoChargeAnswerAndRedirectedCallAcm) {
  TagCardIsupCall* c = Digital(4);
  c->chargeFlag = 0;
  ASSERT_TRUE(far_->IncomingCall(4, "777", "8613", "95555", 3));
  ASSERT_EQ(c->WaitRing(1), 0);
  auto frames = far_->Frames(4);
  ASSERT_EQ(frames.size(), 1u);
  // No charge; diversion information 3 << 3; the called number 8613 (even) as redirection number.
  EXPECT_EQ(plat::card::ToHex(frames[0]), "06 11 14 01 37 01 0C 36 01 18 0C 04 03 10 68 31 29 01 01 39 02 37 C0 00");
  EXPECT_EQ(far_->Messages(4).back(), std::make_pair(5, 1));
  std::string out;
  EXPECT_EQ(c->GetFirstCalleeId(out), 3);
  EXPECT_EQ(out, "95555");
  // No dump below log level 2.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "iam04_" + std::to_string(far_->Frames(4)[0].size()) + ".dat"));
  for (auto& e : std::filesystem::directory_iterator(dir_.path()))
    EXPECT_NE(e.path().filename().string().rfind("iam", 0), 0u) << e.path();
}

TEST_F(CardIsup, HostileIamsDecodeInsideTheirLength) {
  // Length bytes that point past the message, a pointer past the end, a
  // truncated message, a message that is not an IAM.
  const char* cases[] = {
      "01 00 00 00 0A 00 02 07 FF 83 10 21",
      "01 00 00 00 0A 00 02 F0 05 83 10 21 43 05",
      "01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 14 03 13",
      "01 00 00",
      "02 00 00 00 0A 00 02 07 05 83 10 21 43 05 00",
      "01 00 00 00 0A 00 02 02 02 83 10 28 13 03 13 76 98",
  };
  TagCardIsupCall* c = Digital(5);
  for (const char* hex : cases) {
    SCOPED_TRACE(hex);
    auto iam = Hex(hex);
    if (iam[0] != 0x01) {
      // The far end refuses a message that is not an IAM: feed the decoder directly.
      plat::card::IamInfo info;
      EXPECT_EQ(plat::card::DecodeIam(iam.data(), iam.size(), &info), -2);
      continue;
    }
    ASSERT_TRUE(far_->IncomingIam(5, iam)) << far_->Error();
    std::string caller, called;
    ASSERT_TRUE(WaitFor([&] { return c->IsRinging(caller, called) == 1; }));
    EXPECT_LE(called.size(), plat::card::kMaxNumberDigits);
    EXPECT_LE(caller.size(), plat::card::kMaxNumberDigits);
    c->SetCharge(1);
    c->Hangup();
    ASSERT_EQ(far_->State(5), 1);
  }
}

TEST_F(CardIsup, FarEndReleaseEndsThePlayAndIsCompleted) {
  testsupport::WriteFile(dir_ / "long.wav", cardtest::AlawWave(5000));
  TagCardIsupCall* c = Digital(6);
  Connect(c);
  std::thread net([&] {
    plat::SleepMs(300);
    far_->Release(6, 16);
  });
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 0);
  net.join();
  EXPECT_LT(plat::TickCount() - start, 4000u);
  EXPECT_EQ(c->callState.load(), kCallReleased);
  EXPECT_EQ(far_->Messages(6).back(), std::make_pair(1, 0));
  EXPECT_EQ(far_->State(6), 1);
}

TEST_F(CardIsup, HangupReleasesTheChannel) {
  TagCardIsupCall* c = Digital(7);
  Connect(c);
  c->Hangup();
  EXPECT_EQ(c->callState.load(), kCallReleased);
  EXPECT_EQ(far_->Messages(7).back(), std::make_pair(7, 0));
  EXPECT_EQ(far_->State(7), 1);
  // Answer needs a connected call.
  EXPECT_EQ(c->Answer(1), 0);
  EXPECT_EQ(far_->Messages(7).back(), std::make_pair(7, 0));
}

// The talk-time limit on a trunk line: the line's own hang-up polls the state
// again, and that poll must not start another hang-up. The talk clock is set
// back rather than waited for.
TEST_F(CardIsup, MaxTalkTimeReleasesTheCallOnce) {
  TagCardIsupCall* c = Digital(15);
  Connect(c);
  c->maxTalkTime = 60;
  EXPECT_EQ(c->PollState(), 1);
  EXPECT_EQ(c->PollState(), 1);
  c->connectTime = NowSeconds() - 61;
  EXPECT_EQ(c->PollState(), 0);
  EXPECT_EQ(c->PollState(), 0);
  EXPECT_EQ(c->callState.load(), kCallReleased);
  EXPECT_EQ(far_->State(15), 1);
  auto msgs = far_->Messages(15);
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), std::make_pair(7, 0)), 1) << "one release";
  const std::string log = LogText();
  const std::string line = "[lcnt=15, Hangup On MaxTalkTime(60).]";
  size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "hung up more than once";
}

TEST_F(CardIsup, WaitRingEndsWhenInterrupted) {
  TagCardIsupCall* c = Digital(8);
  EXPECT_EQ(c->WaitRing(0), -1);
  std::thread stop([&] {
    plat::SleepMs(300);
    c->interrupted = 1;
  });
  EXPECT_EQ(c->WaitRing(1), 0);
  stop.join();
  EXPECT_NE(c->callState.load(), kCallConnected);
  c->interrupted = 0;
  EXPECT_EQ(c->IsRings(1), 0);
  ASSERT_TRUE(far_->IncomingCall(8, "1", "2"));
  EXPECT_EQ(c->IsRings(0), 0);
  EXPECT_EQ(c->IsRings(1), 1);
  EXPECT_EQ(c->callState.load(), kCallConnected);
}

TEST_F(CardIsup, CallOutAnswered) {
  TagCardIsupCall* c = Digital(10);
  c->SetCallerId("0123456789012345678901234");
  Outgoing o;
  StartOutCall(o, c, "13800138000");
  ASSERT_TRUE(far_->WaitState(10, 4, 10000));
  ASSERT_TRUE(far_->Answer(10, 8)) << far_->Error();
  EXPECT_EQ(o.Wait(), 0);
  EXPECT_EQ(c->callState.load(), kCallConnected);
  EXPECT_EQ(c->mobileCallee, 1);
  auto calls = far_->Callouts(10);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].number, "13800138000");
  EXPECT_EQ(calls[0].calling, "01234567890123456789");
  EXPECT_EQ(calls[0].params, (std::vector<uint8_t>{1, 255, 255, 255, 255, 255}));
  EXPECT_TRUE(Logged("Connect OK"));
}

TEST_F(CardIsup, CallOutRefusedByCause) {
  struct Case {
    int cause, result, stateBeforeRelease;
  } cases[] = {{17, -3, kCallBusy}, {18, -2, kCallNoAnswer}, {19, -2, kCallNoAnswer},
               {1, -4, kCallUnallocated}, {31, -6, kCallOtherCause}, {21, -5, kCallOtherCause}};
  TagCardIsupCall* c = Digital(11);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.cause);
    Outgoing o;
    StartOutCall(o, c, "5551234");
    ASSERT_TRUE(far_->WaitState(11, 4, 10000));
    ASSERT_TRUE(far_->Release(11, k.cause)) << far_->Error();
    EXPECT_EQ(o.Wait(), k.result);
    EXPECT_EQ(c->callState.load(), kCallReleased);
    EXPECT_EQ(far_->State(11), 1);
    char rel[64];
    std::snprintf(rel, sizeof rel, "remote REL: iCause=0x%02x, %d", k.cause, k.cause);
    EXPECT_TRUE(Logged(rel));
  }
}

TEST_F(CardIsup, CallOutBlockedTimedOutAndInterrupted) {
  TagCardIsupCall* c = Digital(12);
  ASSERT_TRUE(far_->Block(12));
  c->unblockWaitMs = 600;
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->OutCall("5551234", 0, 0), -1);
  EXPECT_GE(plat::TickCount() - start, 600u);
  EXPECT_EQ(c->isBlock.load(), 1);
  EXPECT_TRUE(Logged("WaitUnblocked() err, timeout"));
  EXPECT_TRUE(far_->Callouts(12).empty());
  ASSERT_TRUE(far_->Unblock(12));

  // Nobody answers: a time-out is a failure, not a connected call.
  c->connectWaitMs = 700;
  EXPECT_EQ(c->OutCall("5551234", 0, 0), TagCardDigitCall::kOutCallTimeout);
  EXPECT_NE(c->callState.load(), kCallConnected);
  EXPECT_TRUE(Logged("Connect TimeOut"));
  EXPECT_EQ(far_->State(12), 1);

  c->connectWaitMs = 45000;
  Outgoing o;
  StartOutCall(o, c, "5551234");
  ASSERT_TRUE(far_->WaitState(12, 4, 10000));
  c->interrupted = 1;
  EXPECT_EQ(o.Wait(), TagCardDigitCall::kOutCallInterrupted);
  EXPECT_NE(c->callState.load(), kCallConnected);
}

TEST_F(CardIsup, AcmWithRedirectionAndProgress) {
  TagCardIsupCall* c = Digital(13);
  logLevel = 2;
  ASSERT_EQ(c->Dial("4001234567"), 0);
  ASSERT_TRUE(far_->Acm(13, plat::card::BuildFarAcm(0x16, 0x14, 3, "95555")));
  ASSERT_TRUE(WaitFor([&] { return c->CheckDial() == 0 && c->acmSeen == 1; }, 5000));
  EXPECT_EQ(c->redirectCode, 3);
  std::string out;
  EXPECT_EQ(c->GetCalleeId(out), 3);
  EXPECT_EQ(out, "95555");
  EXPECT_TRUE(Logged("Redirected To: 95555, redirCase=3"));
  bool dumped = false;
  for (auto& e : std::filesystem::directory_iterator(dir_.path()))
    dumped = dumped || e.path().filename().string().rfind("acm13_", 0) == 0;
  EXPECT_TRUE(dumped);
  // A progress message with cause 16 leaves the call-out running.
  ASSERT_TRUE(far_->Cpg(13, 16));
  EXPECT_EQ(c->CheckDial(), 0);
  ASSERT_TRUE(far_->Cpg(13, 17));
  EXPECT_EQ(c->CheckDial(), -3);
  EXPECT_EQ(c->callState.load(), kCallReleased);
}

// A CPG that comes right behind the ACM, before the line looks again, is
// still seen: each check handles one of them.
TEST_F(CardIsup, ProgressArrivingWithTheAcmIsNotLost) {
  struct Case {
    int cause, result;
  } cases[] = {{17, -3}, {18, -2}, {1, -4}};
  TagCardIsupCall* c = Digital(16);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.cause);
    ASSERT_EQ(c->Dial("4001234567"), 0);
    ASSERT_TRUE(far_->Acm(16, plat::card::BuildFarAcm(0x16, 0x14, 0, "")));
    ASSERT_TRUE(far_->Cpg(16, k.cause));
    EXPECT_EQ(c->CheckDial(), 0);
    EXPECT_EQ(c->acmSeen, 1);
    EXPECT_EQ(c->CheckDial(), k.result);
    EXPECT_EQ(c->callState.load(), kCallReleased);
    EXPECT_EQ(far_->Messages(16).back(), std::make_pair(7, 0));
    EXPECT_EQ(far_->State(16), 1);
  }
}

TEST_F(CardIsup, DialOnWithAcmCountsAsConnected) {
  TagCardIsupCall* c = Digital(14);
  c->dialPara[0] = 1;
  Outgoing o;
  StartOutCall(o, c, "5551234");
  ASSERT_TRUE(far_->WaitState(14, 4, 10000));
  ASSERT_TRUE(far_->Acm(14, plat::card::BuildFarAcm(0x16, 0x14, 0, "")));
  EXPECT_EQ(o.Wait(), 0);
  EXPECT_EQ(c->callState.load(), kCallConnected);
}

}  // namespace
