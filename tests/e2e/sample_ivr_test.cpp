// The sample installation's IVR script, as the README tells a newcomer to
// call it: every key string the README names gives what it says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/card/control.h"
#include "tests/e2e/harness.h"
#include "tests/support/tempdir.h"

namespace {

using e2e::VoiceWave;

class SampleIvr : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=0\n0-3 = scripts\\ivr.kxs\n");
    inst_.Write("SimCard.ini", testsupport::ReadFile(std::string(RODIZ_SOURCE_DIR) + "/samples/SimCard.ini"));
    inst_.Write("scripts/ivr.kxs", testsupport::ReadFile(std::string(RODIZ_SOURCE_DIR) + "/samples/scripts/ivr.kxs"));
    // Number words of 150 ms, so a reading lasts long enough to press a key into.
    for (const char* stem : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "shi", "bai", "qian"})
      inst_.Write(std::string("voc/chinese/") + stem + ".WAV", VoiceWave('\x55', 150));
    inst_.Write("voc/chinese/welcome.WAV", VoiceWave('\x35', 400));
    inst_.Write("voc/chinese/timeout.wav", VoiceWave('\x45', 100));
    ASSERT_GT(inst_.Start(), 0);
    ASSERT_TRUE(inst_.WaitForLog("3 Run:", 30000)) << inst_.LogText();
  }
  void TearDown() override { inst_.Stop(); }

  std::string Card(const std::string& command) {
    return plat::SimCardCommand("unix:" + inst_.Path("simcard.sock"), command, 20000);
  }
  std::vector<std::string> Played(int ch) { return e2e::PlaysOf(Card("PLAYED " + std::to_string(ch))); }
  bool Idle(int ch) { return Card("STATE " + std::to_string(ch)) == "OK 1"; }
  std::string Out(int ch) { return inst_.Read("_stdout" + std::to_string(ch) + ".txt"); }

  e2e::Installation inst_;
};

TEST_F(SampleIvr, ReadsBackWhatTheCallerKeyedInFull) {
  struct Case {
    int ch;
    const char* keys;
    const char* during;  // keys pressed while the number is read back
    const char* printed;
    size_t plays;  // the welcome and, when read back, the number
  } cases[] = {
      {0, "1234#", "", "GetKeys 4 1234\nPlayNumber 0\n", 2},
      {1, "12#", "5", "GetKeys 2 12\nPlayNumber 0\n", 2},
      {2, "#", "", "GetKeys 0 \n", 1},
      {3, "1234", "#", "GetKeys 4 1234\nPlayNumber 0\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    const std::string ch = std::to_string(c.ch);
    ASSERT_EQ(Card("CALL " + ch + " 13800001111 8000"), "OK");
    ASSERT_TRUE(e2e::WaitFor([&] {
      auto p = Played(c.ch);
      return !p.empty() && p[0].find(" ended") != std::string::npos;
    }));
    ASSERT_EQ(Card("DTMF " + ch + " " + c.keys), "OK");
    if (*c.during) {
      ASSERT_TRUE(e2e::WaitFor([&] { return Played(c.ch).size() >= 2; }));
      Card("DTMF " + ch + " " + c.during);
    }
    ASSERT_TRUE(e2e::WaitFor([&] { return Idle(c.ch); })) << inst_.LogText();
    EXPECT_TRUE(e2e::WaitFor([&] { return Out(c.ch).find("OnDisconn") != std::string::npos; }));
    EXPECT_EQ(Out(c.ch), "WaitRing 0\nGetCallerId 0 13800001111\nPlay 1\n" + std::string(c.printed) + "OnDisconn\n");
    auto plays = Played(c.ch);
    ASSERT_EQ(plays.size(), c.plays);
    if (c.plays == 2) {
      EXPECT_NE(plays[1].find("t" + ch + ".WAV"), std::string::npos) << plays[1];
      EXPECT_NE(plays[1].find(" ended"), std::string::npos) << plays[1];
    }
  }
}

// A call that took the # after four digits leaves the next call on the line
// its time-out voice: without keys it hears "timeout" and is released.
TEST_F(SampleIvr, NoKeysOnTheNextCallPlaysTheTimeoutVoice) {
  ASSERT_EQ(Card("CALL 0 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return !Played(0).empty(); }));
  ASSERT_EQ(Card("DTMF 0 1234#"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Idle(0) && Out(0).find("OnDisconn") != std::string::npos; }));
  ASSERT_EQ(Card("CALL 0 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Played(0).size() >= 4; }, 40000)) << inst_.LogText();
  EXPECT_NE(Played(0)[3].find("timeout.wav"), std::string::npos) << Played(0)[3];
  EXPECT_TRUE(e2e::WaitFor([&] { return Idle(0); }));
  // The release after the time-out voice takes the script to its hang-up
  // section before it prints what GetKeys gave.
  EXPECT_TRUE(e2e::WaitFor([&] { return Out(0).size() > 2 * std::string("OnDisconn\n").size() &&
                                        Out(0).rfind("OnDisconn\n") + 10 == Out(0).size() &&
                                        Out(0).find("OnDisconn") != Out(0).rfind("OnDisconn"); }));
  std::string out = Out(0);
  EXPECT_EQ(out.substr(out.find("OnDisconn\n") + 10),
            "WaitRing 0\nGetCallerId 0 6789\nPlay 1\nOnDisconn\n");
}

}  // namespace
