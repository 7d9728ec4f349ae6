// Callers on card lines linked by their scripts, on the real program: what
// each far end hears, read back through the card's control socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/card/control.h"
#include "tests/e2e/harness.h"

namespace {

const char* kWaiter =
    "r = WaitRing(1)\n"
    "keys = \"\"\n"
    "n = GetKeys(keys, 1, 60)\n"
    "Print(\"END\\n\")\n";

class Linking : public ::testing::Test {
 protected:
  void StartWith(const std::string& cardIni, const std::string& line0, const std::string& extraCfg = "") {
    inst_.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n" + extraCfg +
                                    "0 = l0.kxs\n1-2 = wait.kxs\n");
    inst_.Write("SimCard.ini",
                "[Card]\nE1Links = 1\nAnalogPorts = USER\nFaxChannels = 1\nConfGroups = 4\n"
                "Serial = 20261210\nControl = unix:simcard.sock\n");
    if (!cardIni.empty()) inst_.Write("Card.ini", cardIni);
    inst_.Write("l0.kxs", line0);
    inst_.Write("wait.kxs", kWaiter);
    ASSERT_GT(inst_.Start(), 0);
    ASSERT_TRUE(inst_.WaitForLog("2 Run:", 30000)) << inst_.LogText();
  }
  void TearDown() override { inst_.Stop(); }

  std::string Card(const std::string& command) {
    return plat::SimCardCommand("unix:" + inst_.Path("simcard.sock"), command, 20000);
  }
  bool Printed(int line, const std::string& text) {
    return e2e::WaitFor([&] { return inst_.Read("_stdout" + std::to_string(line) + ".txt").find(text) != std::string::npos; },
                        30000);
  }
  std::vector<uint8_t> Heard(int ch, int ms) {
    // The program writes it in its own folder, the installation.
    const std::string name = "heard" + std::to_string(ch) + ".alw";
    if (Card("HEARD " + std::to_string(ch) + " " + name + " " + std::to_string(ms)).rfind("OK", 0) != 0) return {};
    std::string s = inst_.Read(name);
    return std::vector<uint8_t>(s.begin(), s.end());
  }
  bool Hears(int ch, const std::vector<uint8_t>& pattern) {
    return e2e::WaitFor([&] {
      auto h = Heard(ch, 5000);
      return std::search(h.begin(), h.end(), pattern.begin(), pattern.end()) != h.end();
    });
  }
  double Level(int ch, int ms) {
    std::string a = Card("LEVEL " + std::to_string(ch) + " " + std::to_string(ms));
    return a.rfind("OK ", 0) == 0 ? std::atof(a.c_str() + 3) : 1000;
  }
  bool LevelNear(int ch, double want) {
    return e2e::WaitFor([&] { return std::abs(Level(ch, 300) - want) < 1.0; });
  }
  static std::string Hex(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
      s.push_back(d[x >> 4]);
      s.push_back(d[x & 15]);
    }
    return s;
  }
  static std::vector<uint8_t> Pattern(size_t n, int seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>((i * 29 + static_cast<size_t>(seed) * 13) | 1);
    return v;
  }
  void CallAll() {
    for (int ch : {1, 2, 0}) ASSERT_EQ(Card("CALL " + std::to_string(ch) + " 1380000000" + std::to_string(ch) + " 8000"), "OK");
  }

  e2e::Installation inst_;
};

}  // namespace

TEST_F(Linking, TwoPartyCallersHearEachOtherByteForByte) {
  StartWith("CONF = NO\n",
            "r = WaitRing(1)\n"
            "r = LinkTo(1, 7)\n"
            "Print(\"link \" + r + \"\\n\")\n"
            "a = 0\n"
            "b = 0\n"
            "c = 0\n"
            "n = GetLinkList(a, b, c)\n"
            "Print(\"list \" + n + \" \" + a[0] + \" \" + a[1] + \" \" + c[0] + \"\\n\")\n"
            "r = LinkTo(2, 0)\n"
            "Print(\"third \" + r + \"\\n\")\n"
            "keys = \"\"\n"
            "n = GetKeys(keys, 1, 30)\n"
            "r = UnlinkTo(1, 7)\n"
            "Print(\"unlink \" + r + \"\\n\")\n"
            "n = GetKeys(keys, 1, 30)\n"
            "Print(\"END\\n\")\n");
  CallAll();
  ASSERT_TRUE(Printed(0, "third -2\n")) << inst_.Read("_stdout0.txt") << inst_.LogText();
  EXPECT_NE(inst_.Read("_stdout0.txt").find("link 0\nlist -1 1 0 7\n"), std::string::npos) << inst_.Read("_stdout0.txt");
  EXPECT_EQ(Card("PARTNER 0"), "OK 1");
  auto a = Pattern(1600, 1), b = Pattern(1600, 2);
  ASSERT_EQ(Card("FEEDHEX 0 " + Hex(a)), "OK");
  ASSERT_EQ(Card("FEEDHEX 1 " + Hex(b)), "OK");
  EXPECT_TRUE(Hears(1, a));
  EXPECT_TRUE(Hears(0, b));
  auto own = Heard(0, 5000);
  EXPECT_EQ(std::search(own.begin(), own.end(), a.begin(), a.end()), own.end()) << "no echo";
  ASSERT_EQ(Card("DTMF 0 1"), "OK");
  ASSERT_TRUE(Printed(0, "unlink 0\n"));
  EXPECT_EQ(Card("PARTNER 0"), "OK -1");
  EXPECT_TRUE(e2e::WaitFor([&] { return Level(1, 300) == -99; })) << "silence after the unlink";
  ASSERT_EQ(Card("DTMF 0 2"), "OK");
  ASSERT_EQ(Card("DTMF 1 1"), "OK");
  EXPECT_TRUE(Printed(0, "END\n"));
}

TEST_F(Linking, GroupMembersHearAtTheGroupGainAndAPlayReachesThePartner) {
  inst_.Write("voc/ch/v.WAV", e2e::VoiceWave('\x35', 600));
  StartWith("",
            "r = SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\")\n"
            "r = WaitRing(1)\n"
            "r = LinkTo(1, 5)\n"
            "r = ListenTo(2, 3)\n"
            "a = 0\n"
            "b = 0\n"
            "c = 0\n"
            "n = GetLinkList(a, b, c)\n"
            "Print(\"list \" + n + \" \" + a[0] + a[1] + a[2] + \" \" + b[0] + b[1] + b[2] + \" \" + c[0] + c[1] + c[2] + \"\\n\")\n"
            "keys = \"\"\n"
            "n = GetKeys(keys, 1, 30)\n"
            "r = Play(\"v\")\n"
            "Print(\"played \" + r + \"\\n\")\n"
            "n = GetKeys(keys, 1, 30)\n"
            "r = UnlinkAll()\n"
            "Print(\"unlinked \" + r + \"\\n\")\n"
            "n = GetKeys(keys, 1, 30)\n"
            "Print(\"END\\n\")\n");
  CallAll();
  ASSERT_TRUE(Printed(0, "list ")) << inst_.LogText();
  EXPECT_NE(inst_.Read("_stdout0.txt").find("list 1 012 001 153\n"), std::string::npos) << inst_.Read("_stdout0.txt");
  EXPECT_EQ(Card("GROUPS"), "OK 1:0/talk/-8 1/talk/-8 2/listen/0");
  ASSERT_EQ(Card("TONE 0 1004 -10 1500"), "OK");
  EXPECT_TRUE(LevelNear(1, -18)) << Level(1, 300);
  EXPECT_TRUE(LevelNear(2, -18)) << Level(2, 300);
  // The listener is heard by nobody.
  ASSERT_EQ(Card("TONE 2 697 -10 1000"), "OK");
  EXPECT_TRUE(e2e::WaitFor([&] { return Level(0, 300) == -99; }));
  // The line's play goes into the group: its partner hears it unchanged
  // once the tone is over and the play is the only voice.
  ASSERT_TRUE(e2e::WaitFor([&] { return Level(1, 300) == -99; }));
  ASSERT_EQ(Card("DTMF 0 1"), "OK");
  EXPECT_TRUE(Hears(1, std::vector<uint8_t>(2400, 0x35)));
  ASSERT_TRUE(Printed(0, "played "));
  ASSERT_EQ(Card("DTMF 0 2"), "OK");
  ASSERT_TRUE(Printed(0, "unlinked 0\n"));
  EXPECT_EQ(Card("GROUPS"), "OK");
  for (int ch : {0, 1, 2}) ASSERT_EQ(Card("DTMF " + std::to_string(ch) + " 3"), "OK");
  EXPECT_TRUE(Printed(0, "END\n"));
}

// The virtual line follows the card's 31 lines.
TEST_F(Linking, VirtualLineLinkIsRefusedWithItsLogLine) {
  inst_.Write("vir.kxs",
              "r = LinkTo(0, 0)\n"
              "Print(\"vir \" + r + \"\\n\")\n"
              "r = LinkTo(31, 0)\n"
              "Print(\"self \" + r + \"\\nEND\\n\")\n");
  StartWith("", kWaiter, "31 = vir.kxs\n");
  ASSERT_TRUE(Printed(31, "END\n")) << inst_.LogText();
  // The script runs again after its end: its first round is what counts.
  EXPECT_EQ(inst_.Read("_stdout31.txt").substr(0, 21), "vir -200\nself -1\nEND\n");
  EXPECT_TRUE(inst_.WaitForLog("GetCall(destLine=0) type=1"));
}
