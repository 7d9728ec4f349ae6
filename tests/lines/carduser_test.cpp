// Analog ports: ringing a telephone set with its caller id, the hook, play,
// record and keys, and dialling out on a trunk port.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <thread>

#include "tests/lines/cardtest_fixture.h"

using cardtest::CardFixture;
using cardtest::WaitFor;

namespace {

constexpr int kUser = 30, kUser2 = 31, kTrunk = 32;

class CardUser : public CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    Open();
    testsupport::WriteFile(dir_ / "long.wav", cardtest::AlawWave(5000));
    testsupport::WriteFile(dir_ / "short.wav", cardtest::AlawWave(800));
  }
};

TEST_F(CardUser, RingSendsTheCallerIdByFsk) {
  struct Case {
    std::string number;
    size_t textLength;
  } cases[] = {{"13800138000", 19}, {std::string(30, '7'), 28}};
  TagCardUserCall* c = Analog(kUser);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.number);
    EXPECT_EQ(c->MakeRing(k.number), 0);
    EXPECT_TRUE(far_->Ringing(kUser));
    EXPECT_EQ(c->callState.load(), kCallIdle);
    auto msgs = far_->FskMessages(kUser);
    ASSERT_FALSE(msgs.empty());
    const auto& m = msgs.back();
    ASSERT_EQ(m.size(), k.textLength + 3);
    EXPECT_EQ(m[0], 0x04);
    EXPECT_EQ(m[1], k.textLength);
    EXPECT_EQ(std::accumulate(m.begin(), m.end(), 0u) % 256u, 0u);
    std::string text(m.begin() + 2, m.end() - 1);
    EXPECT_EQ(text.substr(8), k.number.substr(0, 20));
  }
  EXPECT_TRUE(Logged("CardUser_StartRing(): 0"));
}

TEST_F(CardUser, OnlyAUserPortOnHookRings) {
  TagCardUserCall* trunk = Analog(kTrunk);
  EXPECT_EQ(trunk->MakeRing("123"), 0);
  EXPECT_FALSE(far_->Ringing(kTrunk));
  TagCardUserCall* user = Analog(kUser2);
  ASSERT_TRUE(far_->Hook(kUser2, true));
  EXPECT_EQ(user->MakeRing("123"), 0);
  EXPECT_FALSE(far_->Ringing(kUser2));
  EXPECT_TRUE(far_->FskMessages(kUser2).empty());
}

TEST_F(CardUser, HookFollowsTheHandsetAndEndsThePlay) {
  TagCardUserCall* c = Analog(kUser);
  ASSERT_TRUE(far_->Hook(kUser, true));
  EXPECT_EQ(c->GetHookState(), 1);
  EXPECT_EQ(c->callState.load(), kCallConnected);
  EXPECT_TRUE(Logged("On"));
  // The handset goes down once the far end hears the play.
  std::thread handset([&] {
    WaitFor([&] { return !far_->Played(kUser).empty(); });
    far_->Hook(kUser, false);
  });
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 0);
  handset.join();
  EXPECT_LT(plat::TickCount() - start, 4000u);
  EXPECT_EQ(c->callState.load(), kCallReleased);
  EXPECT_TRUE(Logged("Off"));
  EXPECT_TRUE(Logged("EndPlay."));
  auto played = far_->Played(kUser);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0].mode, 90);
  EXPECT_FALSE(played[0].ended);
}

TEST_F(CardUser, PlayToTheEndAndBreakOnKey) {
  TagCardUserCall* c = Analog(kUser);
  ASSERT_TRUE(far_->Hook(kUser, true));
  EXPECT_EQ(c->PlayFile("short.wav", 1, 0), 1);
  EXPECT_TRUE(far_->Played(kUser).back().ended);
  std::thread caller([&] {
    WaitFor([&] { return far_->Played(kUser).size() >= 2; });
    far_->Dtmf(kUser, "7");
  });
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 0);
  caller.join();
  EXPECT_STREQ(c->keys, "7");
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 1);  // key already buffered
  std::string out;
  EXPECT_EQ(c->GetKeys(out, 1, 5, '#'), 1);
  EXPECT_EQ(out, "7");
}

TEST_F(CardUser, LoopPlayRestartsWhilePollingAndResumes) {
  TagCardUserCall* c = Analog(kUser);
  ASSERT_TRUE(far_->Hook(kUser, true));
  ASSERT_EQ(c->StartLoopPlay("short.wav"), 0);
  EXPECT_EQ(c->ReLoopPlay(), -1);
  ASSERT_TRUE(WaitFor([&] {
    c->PollState();
    return far_->Played(kUser).size() >= 2;
  }));
  ASSERT_TRUE(WaitFor([&] { return far_->Played(kUser).back().ms > 0; }));
  c->StopPlay();
  EXPECT_EQ(c->loopPlay, 0);
  EXPECT_GT(c->playPos, 0);
  EXPECT_EQ(c->ReLoopPlay(), 0);
  auto played = far_->Played(kUser);
  EXPECT_EQ(played.back().mode, 90 + c->playPos);
  c->StopPlay();
  EXPECT_EQ(Analog(kUser2)->ReLoopPlay(), -2);
}

TEST_F(CardUser, RecordEndsAtItsLimitAndOnHash) {
  TagCardUserCall* c = Analog(kUser);
  ASSERT_TRUE(far_->Hook(kUser, true));
  EXPECT_EQ(c->Record("port.WAV", 1, 1), 1);
  std::string f = testsupport::ReadFile(dir_ / "port.WAV");
  ASSERT_GE(f.size(), 46u);
  EXPECT_EQ(f.substr(0, 4), "RIFF");
  EXPECT_EQ(f.size() - 46, 8192u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "port._wa"));
  ASSERT_EQ(c->chRecActive.load(), 0);
  // The caller keys once the line records.
  std::thread caller([&] {
    WaitFor([&] { return c->chRecActive.load() != 0; });
    far_->Dtmf(kUser, "#");
  });
  EXPECT_EQ(c->Record("hash.wav", 10, 1), 0);
  caller.join();
  EXPECT_EQ(testsupport::ReadFile(dir_ / "hash.wav").substr(0, 4), "RIFF");
  // Put down, the handset records nothing.
  ASSERT_TRUE(far_->Hook(kUser, false));
  EXPECT_EQ(c->Record("down.wav", 5, 1), -1);
}

TEST_F(CardUser, GetKeysEndsWhenTheHandsetIsPutDown) {
  TagCardUserCall* c = Analog(kUser);
  ASSERT_TRUE(far_->Hook(kUser, true));
  // Lifting the handset clears the keys: the caller keys in after it.
  EXPECT_EQ(c->GetHookState(), 1);
  ASSERT_TRUE(far_->Dtmf(kUser, "12#9"));
  std::string out;
  EXPECT_EQ(c->GetKeys(out, 5, 5, '#'), 2);
  EXPECT_EQ(out, "12");
  EXPECT_TRUE(WaitFor([&] { return c->KeysLen() >= 1; }));
  EXPECT_STREQ(c->keys, "9");
  c->ClearKeys();
  std::atomic<bool> waiting{false};
  std::thread handset([&] {
    WaitFor([&] { return waiting.load(); });
    far_->Hook(kUser, false);
  });
  waiting = true;
  EXPECT_EQ(c->GetKeys(out, 5, 0, '#'), -1);
  handset.join();
  EXPECT_EQ(c->callState.load(), kCallReleased);
}

TEST_F(CardUser, DiallingOnATrunkPort) {
  TagCardUserCall* c = Analog(kTrunk);
  std::atomic<int> result{1000};
  std::thread line([&] { result = c->OutCall("95555", 0, 0); });
  EXPECT_TRUE(WaitFor([&] { return far_->Dialled(kTrunk) == "95555"; }));
  EXPECT_TRUE(far_->TrunkOffHook(kTrunk));
  ASSERT_TRUE(far_->Answer(kTrunk)) << far_->Error();
  line.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(c->callState.load(), kCallConnected);
  EXPECT_EQ(c->GetHookState(), 1);
  EXPECT_TRUE(Logged("Connect OK"));
  c->Hangup();
  EXPECT_FALSE(far_->TrunkOffHook(kTrunk));
  EXPECT_EQ(c->callState.load(), kCallReleased);
}

TEST_F(CardUser, TrunkCallOutTimesOutAndUserPortRefuses) {
  TagCardUserCall* c = Analog(kTrunk + 1);
  c->connectWaitMs = 500;
  EXPECT_EQ(c->OutCall("123", 0, 0), -2);
  EXPECT_FALSE(far_->TrunkOffHook(kTrunk + 1));
  EXPECT_TRUE(Logged("Connect Failed, TimeOut"));
  // A stopped line is not a time-out.
  c->connectWaitMs = 45000;
  std::thread stop([&] {
    WaitFor([&] { return far_->Dialled(kTrunk + 1) == "456"; });
    c->interrupted = 1;
  });
  EXPECT_EQ(c->OutCall("456", 0, 0), TagCardUserCall::kOutCallInterrupted);
  stop.join();
  EXPECT_FALSE(far_->TrunkOffHook(kTrunk + 1));
  TagCardUserCall* user = Analog(kUser);
  EXPECT_EQ(user->OutCall("123", 0, 0), -1);
  EXPECT_EQ(user->callState.load(), kCallReleased);
}

}  // namespace
