#include <gtest/gtest.h>

#include <functional>

#include "core/log.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "tests/support/tempdir.h"

namespace {

// A call object with nothing overridden, as every line class starts.
class PlainCall : public TagKxCall {};

struct SlotCase {
  const char* name;
  std::function<int(TagKxCall&)> call;
  int result;
  int32_t state;  // callState afterwards (-1: untouched)
};

TEST(KxCallDefaults, EverySlotGivesItsHarmlessResult) {
  std::string s1 = "x", s2 = "y";
  int i1 = 7, i2 = 7;
  std::vector<int> l1, l2, l3;
  const SlotCase cases[] = {
      {"WaitRing", [](TagKxCall& c) { return c.WaitRing(0); }, 0, kCallConnected},
      {"IsRings", [](TagKxCall& c) { return c.IsRings(0); }, 1, kCallRinging},
      {"OutCall", [](TagKxCall& c) { return c.OutCall("123", 0, 0); }, 0, kCallConnected},
      {"CheckDial", [](TagKxCall& c) { return c.CheckDial(); }, 1, kCallConnected},
      {"Hangup", [](TagKxCall& c) { c.Hangup(); return 0; }, 0, kCallReleased},
      {"SetCharge", [](TagKxCall& c) { return c.SetCharge(0); }, 1, -1},
      {"Answer", [](TagKxCall& c) { return c.Answer(5); }, 5, -1},
      {"IsRinging", [&](TagKxCall& c) { return c.IsRinging(s1, s2); }, 1, kCallRinging},
      {"SipGetPeerMsg", [&](TagKxCall& c) { return c.SipGetPeerMsg(s1, s2, 10); }, 0, -1},
      {"PlayMemory", [](TagKxCall& c) { return c.PlayMemory(nullptr, 0, 10, 0, 1); }, 0, -1},
      {"IsPcPlayEnd", [](TagKxCall& c) { return c.IsPcPlayEnd(); }, 1, -1},
      {"Record", [](TagKxCall& c) { return c.Record("a.wav", 5, 1); }, 0, -1},
      {"GetKeys", [&](TagKxCall& c) { return c.GetKeys(s1, 4, 10, '#'); }, 0, -1},
      {"SetKeyTime", [](TagKxCall& c) { return c.SetKeyTime(33); }, 33, -1},
      {"KeysLen", [](TagKxCall& c) { return c.KeysLen(); }, 0, -1},
      {"GetCallerId", [&](TagKxCall& c) { return c.GetCallerId(s1); }, 0, -1},
      {"SendFax", [](TagKxCall& c) { return c.SendFax("f.tif"); }, 0, -1},
      {"TxtSpeakNotOnPc", [](TagKxCall& c) { return c.TxtSpeak("ni hao", 0, 0, 0); }, -1, -1},
      {"SetNobkringAns", [](TagKxCall& c) { return c.SetNobkringAns(3); }, 3, -1},
      {"LinkTo", [](TagKxCall& c) { return c.LinkTo(3, 0); }, 0, -1},
      {"GetLinkList", [&](TagKxCall& c) { return c.GetLinkList(l1, l2, l3); }, 0, -1},
      {"SetBreak", [](TagKxCall& c) { return c.SetBreak(0); }, 0, -1},
      {"Dial", [](TagKxCall& c) { return c.Dial("1"); }, 0, -1},
      {"ImSend", [](TagKxCall& c) { return c.ImSend("a", "b", "c", 1); }, 0, -1},
      {"MakeRing", [](TagKxCall& c) { return c.MakeRing("123"); }, 0, -1},
      {"GetHookStateVirtual", [](TagKxCall& c) { return c.GetHookState(); }, 1, -1},
      {"PollStateIdle", [](TagKxCall& c) { return c.PollState(); }, 0, -1},
      {"RecvFskMsg", [&](TagKxCall& c) { return c.RecvFskMsg(i1, s1, 0); }, 0, -1},
      {"SipGetDestAddr", [&](TagKxCall& c) { return c.SipGetDestAddr(s1, s2); }, -1, -1},
      {"CreateConfRoom", [&](TagKxCall& c) { return c.CreateConfRoom(i1, i2); }, -1, -1},
      {"JoinConfRoom", [](TagKxCall& c) { return c.JoinConfRoom(1, 0, 0); }, -1, -1},
      {"StartConfRecord", [&](TagKxCall& c) { return c.StartConfRecord(1, 0, "r.wav", i1); }, -1, -1},
      {"StartConfChRecord", [&](TagKxCall& c) { return c.StartConfChRecord(1, "r.wav", i2); }, -1, -1},
      {"StopConfPlay", [](TagKxCall& c) { return c.StopConfPlay(1, 0, 2); }, -1, -1},
      {"SetSigPara1", [](TagKxCall& c) { return c.SetSigPara(1, 9); }, 0, -1},
      {"SetSigPara2", [](TagKxCall& c) { return c.SetSigPara(2, 9); }, 0, -1},
      {"SetSigPara3", [](TagKxCall& c) { return c.SetSigPara(3, 9); }, -1, -1},
      {"IsMediaOk", [](TagKxCall& c) { return c.IsMediaOk(); }, 1, -1},
      {"GetChState", [](TagKxCall& c) { return c.GetChState(); }, 0, -1},
      {"ReLoopPlayNothing", [](TagKxCall& c) { return c.ReLoopPlay(); }, -2, -1},
  };
  for (const auto& c : cases) {
    PlainCall call;
    s1 = "x";
    s2 = "y";
    i1 = i2 = 7;
    EXPECT_EQ(c.call(call), c.result) << c.name;
    EXPECT_EQ(call.callState.load(), c.state) << c.name;
  }
}

TEST(KxCallDefaults, OutputsAndFields) {
  PlainCall c;
  std::string a = "old", b = "old";
  c.IsRinging(a, b);
  EXPECT_EQ(a, "");
  EXPECT_EQ(b, "");
  int h = 7, s = 7;
  c.CreateConfRoom(s, h);
  EXPECT_EQ(s, 7);  // untouched
  EXPECT_EQ(h, 7);
  c.StartConfRecord(1, 0, "x", h);
  EXPECT_EQ(h, 0);
  int n1 = 5, n2 = 5;
  c.GetFaxResource(n1, n2);
  EXPECT_EQ(n1 + n2, 0);
  c.SetSigPara(2, 44);
  EXPECT_EQ(c.sigPara[0], -1);
  EXPECT_EQ(c.sigPara[1], 44);
  c.SetVolume(50, 1);
  c.SetVolume(60, 2);
  c.SetVolume(70, 9);
  EXPECT_EQ(c.volume[0], 70);
  EXPECT_EQ(c.volume[1], 50);
  EXPECT_EQ(c.volume[2], 60);
  c.CloseLine();
  EXPECT_EQ(c.lineClosed, 1);
  c.OpenLine();
  EXPECT_EQ(c.lineClosed, 0);
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
