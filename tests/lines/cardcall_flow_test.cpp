// A trunk line serving calls one after another, as a script drives it: wait
// for the call, prompt, collect keys, and the release by either side.
#include <gtest/gtest.h>

#include <thread>

#include "tests/lines/cardtest_fixture.h"

using cardtest::CardFixture;
using cardtest::WaitFor;

namespace {

class CardCallFlow : public CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    Open();
    testsupport::WriteFile(dir_ / "welcome.wav", cardtest::AlawWave(3000));
  }
};

TEST_F(CardCallFlow, OneCallObjectServesCallAfterCall) {
  TagCardIsupCall* c = Digital(20);
  ASSERT_NE(c, nullptr);
  struct Call {
    const char* caller;
    const char* called;
    bool farEndHangsUp;
  } calls[] = {{"6789", "12345", true}, {"13800138000", "95555", false}, {"1", "2", true}};
  for (const auto& k : calls) {
    SCOPED_TRACE(k.caller);
    std::thread network([&] {
      plat::SleepMs(200);
      far_->IncomingCall(20, k.caller, k.called);
      // The caller keys in during the prompt, then the rest of the number.
      far_->WaitState(20, 7, 10000);
      plat::SleepMs(300);
      far_->Dtmf(20, "4");
    });
    ASSERT_EQ(c->WaitRing(1), 0);
    EXPECT_EQ(c->callerNumber, k.caller);
    EXPECT_EQ(c->calledNumber, k.called);
    EXPECT_EQ(c->PlayFile("welcome.wav", 1, 0), 0);
    network.join();
    ASSERT_TRUE(far_->Dtmf(20, "21#9"));
    std::string out;
    EXPECT_EQ(c->GetKeys(out, 8, 10, '#'), 3);
    EXPECT_EQ(out, "421");
    if (k.farEndHangsUp) {
      ASSERT_TRUE(far_->Release(20, 16));
      EXPECT_EQ(c->PlayFile("welcome.wav", 0, 0), 0);
      EXPECT_EQ(c->callState.load(), kCallReleased);
      c->Hangup();  // the script's own hang-up after the far end's is harmless
    } else {
      c->Hangup();
      EXPECT_EQ(c->callState.load(), kCallReleased);
    }
    EXPECT_EQ(far_->State(20), 1);
    // Keys of one call never reach the next.
    c->ClearKeys();
    EXPECT_STREQ(c->keys, "");
  }
  EXPECT_EQ(far_->Frames(20).size(), 3u);
}

}  // namespace
