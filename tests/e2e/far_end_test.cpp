// The software card's far end against the real program: a control client
// that never reads its answers, and a caller who keys in far more than the
// line wants and then hangs up.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lines/vocfile.h"
#include "platform/card/control.h"
#include "platform/socketbase.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::VoiceWave;


// Collects up to 99 keys for a minute: the line is reading keys the whole
// time the caller is keying.
const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r = WaitRing(1);\n"
    "r = Play(\"welcome\");\n"
    "keys = \"\";\n"
    "n = GetKeys(keys, 99, 60);\n"
    "Hangup();\n"
    "OnDisconn();\n"
    "r = 0;\n";

class FarEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.Write("RoDizRun.cfg",
                "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0-1 = keys.kxs\n");
    inst_.Write("SimCard.ini", "[Card]\nE1Links = 1\nSerial = 20261210\nControl = unix:simcard.sock\n");
    inst_.Write("keys.kxs", kScript);
    inst_.Write("voc/ch/welcome.WAV", VoiceWave('\x35', 200));
    ASSERT_GT(inst_.Start(), 0);
    ASSERT_TRUE(inst_.WaitForLog("1 Run:", 30000)) << inst_.LogText();
  }
  void TearDown() override { inst_.Stop(); }

  std::string Endpoint() const { return "unix:" + inst_.Path("simcard.sock"); }
  std::string Card(const std::string& command) { return plat::SimCardCommand(Endpoint(), command, 20000); }
  bool Idle(int ch) { return Card("STATE " + std::to_string(ch)) == "OK 1"; }

  e2e::Installation inst_;
};

TEST_F(FarEnd, ControlClientsThatNeverReadHoldUpNeitherOthersNorTheStop) {
  auto silentClient = [&](int commands) {
    int fd = ConnectLocal(Endpoint());
    EXPECT_GE(fd, 0);
    std::string lines;
    for (int i = 0; i < commands; i++) lines += "HELP\n";
    // Sends end early once the card has dropped the client.
    SendAll(fd, lines.data(), lines.size(), 20000);
    return fd;
  };
  // Several clients with megabytes of answers each, and one whose answers
  // are still queued when the stop comes.
  std::vector<int> silent;
  for (int i = 0; i < 6; i++) silent.push_back(silentClient(20000));
  silent.push_back(silentClient(1000));
  EXPECT_EQ(Card("STATE 0"), "OK 1");
  EXPECT_EQ(Card("CALL 0 6789 8000"), "OK");
  EXPECT_TRUE(e2e::WaitFor([&] { return Card("STATE 0") == "OK 7"; })) << inst_.LogText();
  EXPECT_EQ(inst_.Stop(SIGTERM, 20000), 0);
  for (int fd : silent) CloseSocket(fd);
}

TEST_F(FarEnd, AReleaseIsNoticedWhileKeysAreStillArriving) {
  ASSERT_EQ(Card("CALL 0 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return Card("STATE 0") == "OK 7"; })) << inst_.LogText();
  // A whole queue of keys, then the caller hangs up.
  ASSERT_EQ(Card("DTMF 0 " + std::string(1024, '1')), "OK");
  EXPECT_EQ(Card("DTMF 0 2").rfind("ERR key queue full", 0), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few keys reach the line
  ASSERT_EQ(Card("REL 0 16"), "OK");
  // The line completes the far end's release long before the keys would
  // have run out (over a minute of them).
  EXPECT_TRUE(e2e::WaitFor([&] { return Idle(0); }, 10000)) << inst_.LogText();
  std::string messages = Card("MESSAGES 0");
  EXPECT_EQ((" " + messages + " ").find(" 7/"), std::string::npos) << "the line sent a release of its own: " << messages;
  // The other line is untouched and the program still stops cleanly.
  EXPECT_TRUE(Idle(1));
  EXPECT_EQ(inst_.Stop(SIGTERM, 20000), 0);
}

// A call-out whose ACM and busy CPG both arrive before the line looks again:
// the script holds its checks back until the far end has sent both.
TEST(FarEndCallOut, BusyProgressRightBehindTheAcmIsBusy) {
  e2e::Installation inst;
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=0\n9 = out.kxs\n");
  inst.Write("SimCard.ini", "[Card]\nE1Links = 1\nSerial = 20261210\nControl = unix:simcard.sock\n");
  inst.Write("out.kxs", R"(f = 0
w = 0
n = 0
c = 0
r = Dial("5551234")
Print("Dial " + r + "\n")
while (f == 0)
{
  w = IsDirExist("go", f)
  w = Sleep(0.05)
}
while (c == 0)
{
  c = CheckDial()
  n = n + 1
  if (n > 20)
  {
    c = 99
  }
}
Print("CheckDial " + c + "\n")
Print("END\n")
w = Sleep(600)
)");
  ASSERT_GT(inst.Start(), 0);
  const std::string endpoint = "unix:" + inst.Path("simcard.sock");
  auto card = [&](const std::string& command) { return plat::SimCardCommand(endpoint, command, 20000); };
  ASSERT_TRUE(e2e::WaitFor([&] { return inst.Read("_stdout9.txt").find("Dial 0\n") != std::string::npos; }, 30000))
      << inst.LogText();
  ASSERT_EQ(card("ACM 9"), "OK");
  ASSERT_EQ(card("CPG 9 17"), "OK");
  std::filesystem::create_directory(inst.Path("go"));
  std::string out;
  EXPECT_TRUE(e2e::WaitFor(
      [&] {
        out = inst.Read("_stdout9.txt");
        return out.find("END\n") != std::string::npos;
      },
      30000))
      << out << inst.LogText();
  EXPECT_EQ(out, "Dial 0\nCheckDial -3\nEND\n");
  // The line released the call.
  EXPECT_TRUE(e2e::WaitFor([&] { return card("STATE 9") == "OK 1"; }, 10000));
  std::string messages = card("MESSAGES 9");
  EXPECT_NE((" " + messages + " ").find(" 7/"), std::string::npos) << messages;
  EXPECT_EQ(inst.Stop(SIGTERM, 20000), 0);
}

}  // namespace
