#include <gtest/gtest.h>

#include "core/log.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "tests/support/tempdir.h"

namespace {

// A call object with nothing overridden, as every line class starts.
class PlainCall : public TagKxCall {};

// What scripts see of the defaults is checked by scripts on real lines
// (tests/operations/unsupported_ops_test.cpp); here the base's own rules.
TEST(KxCallDefaults, ParameterSlotsAndTheHookFollowTheirType) {
  PlainCall c;
  c.SetSigPara(2, 44);
  EXPECT_EQ(c.SetSigPara(3, 9), -1);
  EXPECT_EQ(c.sigPara[0], -1);
  EXPECT_EQ(c.sigPara[1], 44);
  c.SetVolume(50, 1);
  c.SetVolume(60, 2);
  c.SetVolume(70, 9);
  EXPECT_EQ(c.volume[0], 70);
  EXPECT_EQ(c.volume[1], 50);
  EXPECT_EQ(c.volume[2], 60);
  EXPECT_EQ(c.GetHookState(), 1);  // a virtual line is always off hook
  c.lineType = kLineDig;
  EXPECT_EQ(c.GetHookState(), 0);
  c.callState = kCallConnected;
  EXPECT_EQ(c.GetHookState(), 1);
  PlainCall other;
  c.linkedCall = &other;
  EXPECT_EQ(c.UnlinkCall(), 0);
  EXPECT_EQ(c.linkedCall, nullptr);
}

TEST(KxCallDefaults, ToneTableAcceptsOnlyItsKeys) {
  TagCfgTones t;
  int32_t p[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(t.Set(249, p), -1);
  EXPECT_EQ(t.Set(257, p), -1);
  EXPECT_TRUE(t.Tones().empty());
  EXPECT_EQ(t.Set(250, p), 0);
  EXPECT_EQ(t.Set(256, p), 0);
  ASSERT_EQ(t.Tones().size(), 2u);
  EXPECT_EQ(t.Tones().at(250).values[0], 250);
  EXPECT_EQ(t.Tones().at(250).values[9], 9);
  t.Clear();
  EXPECT_TRUE(t.Tones().empty());
}

TEST(KxCallDefaults, LineTypeNames) {
  const char* want[] = {"VIR", "A_EX", "A_IN", "REC", "DIG", "H323", "SIP", "VOIP", "FAX"};
  for (int i = 0; i <= 8; ++i) EXPECT_STREQ(LineTypeName(i), want[i]);
  EXPECT_STREQ(LineTypeName(9), "OTH");
  EXPECT_STREQ(LineTypeName(-1), "OTH");
}

// Counts hang-ups so the talk-time rule can be seen acting once.
class CountingCall : public TagKxCall {
 public:
  void Hangup() override {
    ++hangups;
    TagKxCall::Hangup();
  }
  int hangups = 0;
};

TEST(KxCallPollState, MaxTalkTimeHangsUpOnceAndLogs) {
  testsupport::TempDir dir;
  logLevel = 1;
  SetLogWriter(std::make_shared<TagWriteLog>(dir / "log.txt", 2100000, true, true));
  CountingCall c;
  c.lineNo = 4;
  c.maxTalkTime = 60;
  c.callState = kCallConnected;
  EXPECT_EQ(c.PollState(), 1);  // the change of state starts the talk time
  EXPECT_EQ(c.PollState(), 1);
  EXPECT_EQ(c.hangups, 0);
  c.connectTime = NowSeconds() - 61;  // more than 60 whole seconds ago
  EXPECT_EQ(c.PollState(), 0);
  EXPECT_EQ(c.hangups, 1);
  EXPECT_EQ(c.callState.load(), kCallReleased);
  EXPECT_EQ(c.PollState(), 0);
  EXPECT_EQ(c.hangups, 1);
  c.connectTime = NowSeconds() - 60;  // exactly the limit is not past it
  c.callState = kCallConnected;
  c.PollState();
  EXPECT_EQ(c.PollState(), 1);
  SetLogWriter(nullptr);
  logLevel = 0;
  std::string log = testsupport::ReadFile(dir / "log.txt");
  EXPECT_NE(log.find("[lcnt=4, Hangup On MaxTalkTime(60).]"), std::string::npos) << log;
  EXPECT_EQ(log.find("MaxTalkTime", log.find("MaxTalkTime") + 1), std::string::npos);
}

}  // namespace

// --- sound-card play through the fake wave device ---
#include "lines/waveplay.h"
#include "platform/tick.h"
#include "platform/wave.h"
#include "tests/lines/voctest_util.h"

namespace {

class KxCallPlay : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::WaveSettings s;
    s.fake = true;
    s.fakeDir = dir.path();
    plat::SetWaveSettings(s);
  }
  void TearDown() override { plat::SetWaveSettings(plat::WaveSettings{}); }
  // A 16-bit PCM file of the given milliseconds.
  std::string Pcm(const std::string& name, int ms) {
    std::vector<uint8_t> data(static_cast<size_t>(ms) * 16, 0x10);
    voctest::WriteAll(dir / name, voctest::MakeWave(voctest::WaveShape{}, data));
    return dir / name;
  }
  testsupport::TempDir dir;
};

TEST_F(KxCallPlay, PlayWaitsForTheEndAndReportsMissingFiles) {
  PlainCall c;
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c.PcPlay(Pcm("a.wav", 300), 0, 1, 1), 0);
  EXPECT_GE(plat::TickCount() - start, 250u);
  EXPECT_EQ(c.IsPcPlayEnd(), 1);
  EXPECT_EQ(c.PcPlay(dir / "missing.wav", 0, 1, 1), -2);
  EXPECT_EQ(c.pcPlayer, nullptr);
  EXPECT_EQ(c.PlayFile(Pcm("b.wav", 100), 1, 0), 0);
}

TEST_F(KxCallPlay, InterruptEndsTheWait) {
  PlainCall c;
  c.interrupted = 1;
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c.PcPlay(Pcm("long.wav", 20000), 0, 1, 1), 0);
  EXPECT_LT(plat::TickCount() - start, 10000u);
  c.StopPlay();
}

TEST_F(KxCallPlay, LoopPlayResumesAtTheFilesOwnByteRate) {
  PlainCall c;
  std::string file = Pcm("loop.wav", 5000);
  EXPECT_EQ(c.ReLoopPlay(), -2);  // nothing was ever looped
  ASSERT_EQ(c.StartLoopPlay(file), 0);
  EXPECT_EQ(c.ReLoopPlay(), -1);  // already looping
  uint32_t start = plat::TickCount();
  plat::SleepMs(300);
  c.StopPlay();
  uint32_t elapsed = plat::TickCount() - start;
  EXPECT_EQ(c.IsPcPlayEnd(), 1);
  // 16-bit PCM plays 16 bytes a millisecond, not the 8 of A-law.
  EXPECT_GE(c.playPos, 300 * 16);
  EXPECT_LE(c.playPos, static_cast<int32_t>((elapsed + 200) * 16));
  int32_t pos = c.playPos;
  EXPECT_EQ(c.ReLoopPlay(), pos);
  EXPECT_EQ(c.IsPcPlayEnd(), 0);
  c.StopPlay();
}

TEST_F(KxCallPlay, KeysLenRestartsAFinishedLoop) {
  PlainCall c;
  ASSERT_EQ(c.StartLoopPlay(Pcm("short.wav", 100)), 0);
  for (int i = 0; i < 300 && !c.IsPcPlayEnd(); ++i) plat::SleepMs(10);
  ASSERT_EQ(c.IsPcPlayEnd(), 1);
  EXPECT_EQ(c.KeysLen(), 0);
  EXPECT_EQ(c.IsPcPlayEnd(), 0);  // started again
  c.StopPlay();
}

}  // namespace
