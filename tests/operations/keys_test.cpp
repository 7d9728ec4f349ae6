#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "core/monitor.h"
#include "lines/cardcall.h"
#include "operations/keys.h"
#include "platform/tick.h"
#include "tests/operations/ivr_fixture.h"
#include "tests/support/waitfor.h"

namespace ivrtest {
namespace {

using CardKeys = IvrFixture;

TEST_F(CardKeys, MaximumOfNoneOrHugeStaysInsideTheBuffer) {
  struct Case {
    TagVar* max;
    int passed;
    size_t kept;
  } cases[] = {
      {Int(0), 0, 100},
      {Int(-3), -3, 100},
      {Int(2000000000), 1024, 1024},  // m + 1 must not overflow
      {Int(4), 4, 4},
      {Str("abc"), 4, 4},  // the stored integer of a text
  };
  for (const Case& c : cases) {
    call_.keysAsked.clear();
    call_.keyAnswers.push_back({std::string(1500, '5'), 1500});
    TagVar* out = Str("");
    int r = Run(KeywordId::GetKeys, {out, c.max, Int(10)});
    ASSERT_EQ(call_.keysAsked.size(), 1u);
    EXPECT_EQ(call_.keysAsked[0].maxCount, c.passed);
    EXPECT_EQ(out->TextLen(), c.kept);
    EXPECT_EQ(r, static_cast<int>(c.kept));
  }
}

TEST_F(CardKeys, StarAndPointFollowTheFlagAndEndKeyIsPassed) {
  inst_->endKey = '*';
  call_.keyAnswers.push_back({"12*", 3});
  TagVar* out = Str("");
  EXPECT_EQ(Run(KeywordId::GetKeys, {out, Int(4), Int(10)}), 3);
  EXPECT_EQ(out->ToText(), "12.");
  EXPECT_EQ(call_.keysAsked[0].endKey, '*');
  EXPECT_EQ(call_.keysAsked[0].timeout, 10);
  EXPECT_EQ(Run(KeywordId::SetStarToPoint, {Int(0)}), 0);
  call_.keyAnswers.push_back({"12.", 3});
  Run(KeywordId::GetKeys, {out, Int(4), Int(10)});
  EXPECT_EQ(out->ToText(), "12*");
}

TEST_F(CardKeys, FailureWithTheCallUpPlaysTheTimeoutVoiceAndReleases) {
  ASSERT_EQ(Run(KeywordId::SetSndDir, {Str("voc\\ch\\"), Str(""), Str("")}), 0);
  call_.keyAnswers.push_back({"1*", -1, kCallConnected});
  TagVar* out = Str("x");
  EXPECT_EQ(Run(KeywordId::GetKeys, {out, Int(4), Int(5)}), -1);
  EXPECT_EQ(out->ToText(), "1.");  // what the call object left, normalised
  ASSERT_EQ(call_.played.size(), 1u);
  EXPECT_EQ(call_.played[0].file, "voc\\ch\\timeout.wav");
  EXPECT_EQ(call_.played[0].breakOnKey, 0);
  EXPECT_EQ(call_.ops, (std::vector<std::string>{"GetKeys", "PlayFile", "Hangup"}));
}

TEST_F(CardKeys, NoTimeoutVoiceAfterAFarEndReleaseOrWhenCleared) {
  call_.keyAnswers.push_back({"", -2, kCallReleased});
  TagVar* out = Str("");
  EXPECT_EQ(Run(KeywordId::GetKeys, {out, Int(4), Int(5)}), -2);
  EXPECT_EQ(call_.ops, (std::vector<std::string>{"GetKeys"}));

  call_.ops.clear();
  call_.callState = kCallConnected;
  EXPECT_EQ(Run(KeywordId::SetTimeoutVoc, {Int(3)}), -1);
  EXPECT_EQ(inst_->timeoutVoice, "");
  call_.keyAnswers.push_back({"", -1, kCallConnected});
  Run(KeywordId::GetKeys, {out, Int(4), Int(5)});
  EXPECT_EQ(call_.ops, (std::vector<std::string>{"GetKeys"}));
  EXPECT_EQ(call_.callState.load(), kCallConnected);

  EXPECT_EQ(Run(KeywordId::SetTimeoutVoc, {Str("bye")}), 0);
  call_.keyAnswers.push_back({"", -1, kCallConnected});
  Run(KeywordId::GetKeys, {out, Int(4), Int(5)});
  ASSERT_EQ(call_.played.size(), 1u);
  EXPECT_EQ(call_.played[0].file, "bye.WAV");
}

TEST_F(CardKeys, GetKeysOnAVirtualLineCollectsFromTheKeysCell) {
  auto monitor = std::make_shared<TagMonitor>(4, TagMonitorSettings{});
  SetMonitor(monitor);
  monitor->SetKeys(3, "77#");
  TagVar* out = Str("");
  EXPECT_EQ(Run(KeywordId::GetKeys, {out, Int(5), Int(3)}, kLineVir), 3);
  EXPECT_EQ(out->ToText(), "77");
  EXPECT_TRUE(call_.keysAsked.empty());
  SetMonitor(nullptr);
}

class PcKeys : public IvrFixture {
 protected:
  void SetUp() override {
    IvrFixture::SetUp();
    monitor_ = std::make_shared<TagMonitor>(4, TagMonitorSettings{});
    SetMonitor(monitor_);
  }
  void TearDown() override {
    SetMonitor(nullptr);
    SetKeysModeLookup(nullptr);
    IvrFixture::TearDown();
  }
  std::shared_ptr<TagMonitor> monitor_;
};

TEST_F(PcKeys, ConsumesFromTheFrontOfTheCell) {
  struct Case {
    const char* cell;
    char endKey;
    int max;
    const char* keys;
    int result;
    const char* rest;
  } cases[] = {
      {"123#45", '#', 10, "123", 4, "45"},
      {"12*9", '*', 10, "12.", 3, "9"},
      {"12.9", '*', 10, "12.", 3, "9"},
      {"12#9", '*', 10, "12", 3, "9"},
      {"12345", 0, 3, "123", 3, "45"},
      {"1#345", 0, 3, "1#3", 3, "45"},
      {"", '#', 0, "", 0, ""},
      {"123", '#', -5, "", 0, "123"},  // no maximum hands out nothing
      {"12345", '#', 2, "12", 2, "345"},
  };
  for (const Case& c : cases) {
    inst_->endKey = c.endKey;
    monitor_->SetKeys(3, c.cell);
    TagVar* out = Str("old");
    EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(c.max), Int(5)}), c.result) << c.cell;
    EXPECT_EQ(out->ToText(), c.keys) << c.cell;
    EXPECT_EQ(monitor_->GetKeys(3), c.rest) << c.cell;
  }
}

TEST_F(PcKeys, KeysTypedWhileWaitingAreCollected) {
  std::thread typist([this] {
    plat::SleepMs(100);
    monitor_->AppendKeys(3, "4");
    plat::SleepMs(100);
    monitor_->AppendKeys(3, "2#9");
  });
  TagVar* out = Str("");
  int r = Run(KeywordId::PcGetKeys, {out, Int(8), Int(20)});
  typist.join();
  EXPECT_EQ(r, 3);
  EXPECT_EQ(out->ToText(), "42");
  EXPECT_EQ(monitor_->GetKeys(3), "9");
}

// A line waiting for keys without a time-out sleeps until something that
// concerns it happens. The idle look-round is lengthened far past the test's
// own time-out, so only the notice can end these waits.
TEST_F(PcKeys, TypedKeysHangupAndStopWakeTheWaitingLine) {
  struct Case {
    const char* name;
    std::function<void()> act;
    int result;
    const char* out;
  } cases[] = {
      {"KeysTyped", [this] { monitor_->AppendKeys(3, "7#"); }, 2, "7"},
      {"KeysSet", [this] { monitor_->SetKeys(3, "55"); }, 2, "55"},
      {"OperatorHangup", [this] { call_.RequestHangup(); }, -2, ""},
      {"LineStopped", [this] { inst_->stopRequested = 1; }, -2, ""},
  };
  TagKxCall::SetIdleWaitForTest(600000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    monitor_->ClearKeys(3);
    call_.callState = kCallConnected;
    inst_->stopRequested = 0;
    TagVar* out = Str("old");
    std::atomic<int> result{1000};
    std::thread waiting([&] { result = Run(KeywordId::PcGetKeys, {out, Int(2), Int(0)}); });
    plat::SleepMs(100);  // most likely asleep by now; if not, it finds the change at its first look
    c.act();
    EXPECT_TRUE(testsupport::WaitFor([&] { return result.load() != 1000; }));
    if (result.load() == 1000) inst_->stopRequested = 1;  // the notice was lost: end the wait anyway
    waiting.join();
    EXPECT_EQ(result.load(), c.result);
    EXPECT_EQ(out->ToText(), c.out);
  }
  TagKxCall::SetIdleWaitForTest(0);
  inst_->stopRequested = 0;
}

TEST_F(PcKeys, TimeOutKeepsTheCellAndReleaseOrStopEndsWithMinusTwo) {
  monitor_->SetKeys(3, "12");
  TagVar* out = Str("old");
  uint32_t start = plat::TickCount();
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(5), Int(1)}), -1);
  EXPECT_GE(plat::TickCount() - start, 1000u);
  EXPECT_EQ(out->ToText(), "");
  EXPECT_EQ(monitor_->GetKeys(3), "12");

  // The inter-key time ends the wait too.
  call_.keyTime = 1;
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(5), Int(0)}), -1);
  call_.keyTime = 0;

  call_.callState = kCallReleased;
  out->SetString("old");
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(5), Int(0)}), -2);
  EXPECT_EQ(out->ToText(), "");

  call_.callState = kCallConnected;
  inst_->stopRequested = 1;
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(5), Int(0)}), -2);
}

TEST_F(PcKeys, AnOverlongCellIsLookedAtOnlyInItsFirst1027Characters) {
  std::string cell(1100, '1');
  cell[1050] = '#';
  monitor_->SetKeys(3, cell);
  TagVar* out = Str("");
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(5000), Int(1)}), -1);
  EXPECT_EQ(monitor_->GetKeys(3), cell);
  // A maximum the copy can satisfy is handed out.
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(1000), Int(1)}), 1000);
  EXPECT_EQ(out->TextLen(), 1000u);
}

TEST_F(PcKeys, PcSetKeysFollowsTheTargetLinesDisplayMode) {
  // Only line 1 has a script; its display mode is the one the script set.
  static TagTelBasic* target;
  target = inst_.get();
  SetKeysModeLookup([](int line) { return line == 1 ? target->dispKeysMode : -1; });
  struct Case {
    int line;
    int mode;
    TagVar* text;
    const char* shown;
  } cases[] = {
      {1, 1, Str("12#"), "12#"},
      {1, 2, Str(std::string(30, '5')), "********************"},
      {1, 1, Int(42), "42"},
      {1, 0, Str("99"), ""},  // mode 0: not shown
      {2, 1, Str("99"), ""},  // no script instance on that line
      {4, 1, Str("99"), ""},  // past the last line
      {-1, 1, Str("99"), ""},
  };
  for (const Case& c : cases) {
    for (int l = 0; l < 4; ++l) monitor_->SetKeys(l, "");
    EXPECT_EQ(Run(KeywordId::SetDispKeys, {Int(c.mode)}), c.mode);
    EXPECT_EQ(Run(KeywordId::PcSetKeys, {Int(c.line), c.text}), 0);
    std::string all;
    for (int l = 0; l < 4; ++l) all += monitor_->GetKeys(l);
    EXPECT_EQ(all, c.shown) << c.line << " " << c.mode;
    if (c.line == 1 && *c.shown) {
      EXPECT_EQ(monitor_->GetKeys(1), c.shown);
    }
  }
}

TEST_F(CardKeys, PcCollectionWithoutACellSeesNoKeys) {
  SetMonitor(nullptr);
  TagVar* out = Str("old");
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(0), Int(1)}), 0);
  EXPECT_EQ(out->ToText(), "");
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(3), Int(1)}), -1);
  // A line past the monitor's lines has no cell either.
  auto monitor = std::make_shared<TagMonitor>(2, TagMonitorSettings{});
  SetMonitor(monitor);
  EXPECT_EQ(Run(KeywordId::PcGetKeys, {out, Int(0), Int(1)}), 0);
  SetMonitor(nullptr);
}

TEST_F(CardKeys, KeySendingAndCounting) {
  EXPECT_EQ(Run(KeywordId::SetKeyTime, {Dbl(3.9)}), 0);
  EXPECT_EQ(call_.keyTime, 3);
  TagVar* count = Str("");
  EXPECT_EQ(Run(KeywordId::KeysLen, {count}), 0);
  EXPECT_TRUE(count->IsInt());
  EXPECT_EQ(Run(KeywordId::ClearKeys, {}), 0);
}

}  // namespace
}  // namespace ivrtest
