// The IVR on the real program: a script on the trunk lines of the software
// card answers calls placed from the far end through the card's control
// socket; what the lines played and sent is read back the same way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lines/vocfile.h"
#include "platform/card/control.h"
#include "platform/tick.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::VoiceWave;


const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r = WaitRing(1);\n"
    "caller = \"\";\n"
    "r = GetCallerId(caller);\n"
    "r = Play(\"welcome\");\n"
    "keys = \"\";\n"
    "n = GetKeys(keys, 4, 3);\n"
    "if (n > 0)\n"
    "{\n"
    "  r = PlayNumber(keys, 0);\n"
    "}\n"
    "Hangup();\n"
    "OnDisconn();\n"
    "r = 0;\n";

class Ivr : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.Write("RoDizRun.cfg",
                "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0-4 = ivr.kxs\n");
    inst_.Write("SimCard.ini",
                "[Card]\nE1Links = 1\nAnalogPorts = USER, TRUNK\nFaxChannels = 1\nConfGroups = 4\n"
                "Serial = 20261210\nControl = unix:simcard.sock\n");
    inst_.Write("ivr.kxs", kScript);
    // 40 ms per number word, so the length of a number's play counts its words.
    for (const char* stem : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "shi", "bai", "qian"})
      inst_.Write(std::string("voc/ch/") + stem + ".WAV", VoiceWave('\x55', 40));
    inst_.Write("voc/ch/welcome.WAV", VoiceWave('\x35', 800));
    inst_.Write("voc/ch/timeout.wav", VoiceWave('\x45', 100));
    ASSERT_GT(inst_.Start(), 0);
    ASSERT_TRUE(inst_.WaitForLog("4 Run:", 30000)) << inst_.LogText();
  }
  void TearDown() override { inst_.Stop(); }

  std::string Card(const std::string& command) {
    return plat::SimCardCommand("unix:" + inst_.Path("simcard.sock"), command, 20000);
  }
  // The plays of a channel: one "file mode=.. at=.. ms=.. [ended]" per play.
  std::vector<std::string> Played(int ch) { return e2e::PlaysOf(Card("PLAYED " + std::to_string(ch))); }
  bool Ended(int ch, size_t i) {
    auto p = Played(ch);
    return p.size() > i && p[i].find(" ended") != std::string::npos;
  }
  static int PlayedMs(const std::string& play) {
    size_t at = play.find(" ms=");
    return at == std::string::npos ? -1 : std::atoi(play.c_str() + at + 4);
  }
  // The channel is idle again (the call released on both sides).
  bool Idle(int ch) { return Card("STATE " + std::to_string(ch)) == "OK 1"; }
  bool LineSentRelease(int ch) {
    std::string m = Card("MESSAGES " + std::to_string(ch));
    return (" " + m + " ").find(" 7/") != std::string::npos;
  }

  e2e::Installation inst_;
};

TEST_F(Ivr, CallsOnTheTrunkLines) {
  // Keys after the welcome: read back as a number, then the line hangs up.
  struct Case {
    int ch;
    const char* keys;
    const char* logged;
    int words;
  } cases[] = {
      {0, "123#", "GetKeys('123')", 5},    // 1 bai 2 shi 3
      {1, "1234", "GetKeys('1234')", 7},   // 1 qian 2 bai 3 shi 4
      {2, "12*#", "GetKeys('12*')", 2},    // 12. reads shi 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    ASSERT_EQ(Card("CALL " + std::to_string(c.ch) + " 13800001111 8000"), "OK");
    ASSERT_TRUE(e2e::WaitFor([&] { return Ended(c.ch, 0); }));
    ASSERT_EQ(Card("DTMF " + std::to_string(c.ch) + " " + c.keys), "OK");
    ASSERT_TRUE(e2e::WaitFor([&] { return Ended(c.ch, 1); })) << inst_.LogText();
    auto plays = Played(c.ch);
    EXPECT_NE(plays[0].find("welcome.WAV"), std::string::npos) << plays[0];
    EXPECT_NE(plays[1].find("t" + std::to_string(c.ch) + ".WAV"), std::string::npos) << plays[1];
    EXPECT_NEAR(PlayedMs(plays[1]), c.words * 40, 30) << plays[1];
    EXPECT_TRUE(e2e::WaitFor([&] { return Idle(c.ch); }));
    EXPECT_TRUE(LineSentRelease(c.ch));
    EXPECT_TRUE(inst_.WaitForLog(c.logged));
  }
}

// A key during the welcome cuts it short and is the first key collected.
TEST_F(Ivr, AKeyDuringTheWelcomeCutsItShort) {
  ASSERT_EQ(Card("CALL 0 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return !Played(0).empty(); }));
  ASSERT_EQ(Card("DTMF 0 5#"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Ended(0, 1); })) << inst_.LogText();
  auto plays = Played(0);
  EXPECT_EQ(plays[0].find(" ended"), std::string::npos) << plays[0];
  EXPECT_NEAR(PlayedMs(plays[1]), 40, 30) << plays[1];
}

// No keys: the time-out voice, then the line releases the call.
TEST_F(Ivr, NoKeysPlaysTheTimeoutVoiceAndReleases) {
  ASSERT_EQ(Card("CALL 1 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Ended(1, 1); })) << inst_.LogText();
  EXPECT_NE(Played(1)[1].find("timeout.wav"), std::string::npos);
  EXPECT_TRUE(e2e::WaitFor([&] { return Idle(1); }));
  EXPECT_TRUE(LineSentRelease(1));
}

// The caller hangs up during the welcome: nothing more is played and the
// line sends no release of its own.
TEST_F(Ivr, FarEndReleaseDuringTheWelcome) {
  ASSERT_EQ(Card("CALL 2 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return !Played(2).empty(); }));
  ASSERT_EQ(Card("REL 2 16"), "OK");
  EXPECT_TRUE(e2e::WaitFor([&] { return Idle(2); }));
  plat::SleepMs(1500);
  EXPECT_EQ(Played(2).size(), 1u);
  EXPECT_FALSE(LineSentRelease(2));
}

// The caller hangs up while the line waits for keys: no time-out voice.
TEST_F(Ivr, FarEndReleaseWhileWaitingForKeys) {
  ASSERT_EQ(Card("CALL 3 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Ended(3, 0); }));
  plat::SleepMs(300);
  ASSERT_EQ(Card("REL 3 16"), "OK");
  EXPECT_TRUE(e2e::WaitFor([&] { return Idle(3); }));
  plat::SleepMs(3500);  // longer than the key time-out
  EXPECT_EQ(Played(3).size(), 1u);
  EXPECT_FALSE(LineSentRelease(3));
}

}  // namespace
