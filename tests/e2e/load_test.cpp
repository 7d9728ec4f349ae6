// Calls on every trunk line of the real program at once, round after round,
// each ended by the caller or by the line at a random moment: every call is
// answered and ends, every line waits for the next one, and the program's
// descriptors and threads do not grow with the calls.
//
// CI runs a short version; RODIZ_LOAD_ROUNDS asks for more rounds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lines/vocfile.h"
#include "platform/card/control.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::VoiceWave;

constexpr int kLines = 30;
constexpr int kShortRounds = 5;


const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r = WaitRing(1);\n"
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

size_t Entries(const std::string& dir) {
  std::error_code ec;
  size_t n = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) n++;
  return n;
}

int Rounds() {
  const char* v = std::getenv("RODIZ_LOAD_ROUNDS");
  int n = v ? std::atoi(v) : 0;
  return n > 0 ? n : kShortRounds;
}

class Load : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0-" +
                                    std::to_string(kLines - 1) + " = ivr.kxs\n");
    inst_.Write("SimCard.ini", "[Card]\nE1Links = 1\nSerial = 20261210\nControl = unix:simcard.sock\n");
    inst_.Write("ivr.kxs", kScript);
    for (const char* stem : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "shi", "bai", "qian"})
      inst_.Write(std::string("voc/ch/") + stem + ".WAV", VoiceWave('\x55', 40));
    inst_.Write("voc/ch/welcome.WAV", VoiceWave('\x35', 300));
    inst_.Write("voc/ch/timeout.wav", VoiceWave('\x45', 100));
    pid_ = inst_.Start();
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(inst_.WaitForLog(std::to_string(kLines - 1) + " Run:", 30000)) << inst_.LogText();
  }
  void TearDown() override { inst_.Stop(); }

  std::string Card(const std::string& command) {
    return plat::SimCardCommand("unix:" + inst_.Path("simcard.sock"), command, 20000);
  }
  // The channel's state, or -1 with the answer kept in *odd.
  int State(int ch, std::string* odd = nullptr) {
    std::string a = Card("STATE " + std::to_string(ch));
    if (a.rfind("OK ", 0) == 0) return std::atoi(a.c_str() + 3);
    if (odd) *odd = a;
    return -1;
  }
  // Polls at a pace that leaves the control socket to the other lines.
  static bool Until(const std::function<bool()>& cond, int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (cond()) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  }
  static std::string Tail(const std::string& s) { return s.size() > 60 ? "..." + s.substr(s.size() - 60) : s; }
  static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  // One call on a channel, ended as `how` says after a random wait. Returns
  // what went wrong, or an empty text.
  std::string OneCall(int ch, std::mt19937& rng) {
    std::string c = std::to_string(ch);
    std::uniform_int_distribution<int> how(0, 3), wait(0, 900);
    int kind = how(rng);
    if (Card("CALL " + c + " 6789 8000") != "OK") return "call not placed";
    if (kind == 0) {
      // The caller gives up while it rings, or just after the answer.
      Pause(wait(rng) / 10);
      std::string a = Card("REL " + c + " 16");
      if (a != "OK" && a.rfind("ERR no call", 0) != 0) return "release refused: " + a;
    } else {
      // Every other call is answered (state 7).
      std::string odd;
      if (!Until([&] { return State(ch, &odd) == 7; }))
        return "not answered, state " + std::to_string(State(ch)) + ", line sent " + Tail(Card("MESSAGES " + c)) +
               (odd.empty() ? "" : ", card answered " + odd);
      Pause(wait(rng));
      if (kind == 1) {
        std::string a = Card("REL " + c + " 16");  // during the welcome or the wait for keys
        if (a != "OK" && a.rfind("ERR no call", 0) != 0) return "release refused: " + a;
      } else {
        if (Card("DTMF " + c + " 12#") != "OK") return "keys refused";
        if (kind == 3) {
          Pause(wait(rng));
          Card("REL " + c + " 16");  // may come after the line's own hang-up
        }
      }
    }
    if (!Until([&] { return State(ch) == 1; }))
      return "never ended, state " + std::to_string(State(ch)) + ", line sent " + Tail(Card("MESSAGES " + c));
    return "";
  }

  e2e::Installation inst_;
  pid_t pid_ = -1;
};

TEST_F(Load, EveryCallEndsAndNothingGrows) {
  const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
  const std::string taskDir = "/proc/" + std::to_string(pid_) + "/task";
  size_t fdsAfterFirst = 0, tasksAfterFirst = 0;
  const int rounds = Rounds();
  for (int round = 0; round < rounds; round++) {
    std::vector<std::string> faults(kLines);
    std::vector<std::thread> callers;
    for (int ch = 0; ch < kLines; ch++) {
      callers.emplace_back([&, ch] {
        std::mt19937 rng(static_cast<uint32_t>(2027 + round * kLines + ch));
        // Calls on the lines start spread out, as they would on a trunk.
        Pause(std::uniform_int_distribution<int>(0, 300)(rng));
        faults[ch] = OneCall(ch, rng);
      });
    }
    for (auto& t : callers) t.join();
    for (int ch = 0; ch < kLines; ch++) EXPECT_EQ(faults[ch], "") << "round " << round << ", channel " << ch;
    if (HasFailure()) break;
    // The lines may still be finishing their scripts: let them settle.
    Pause(500);
    if (round == 0) {
      fdsAfterFirst = Entries(fdDir);
      tasksAfterFirst = Entries(taskDir);
    }
  }
  if (HasFailure()) {
    std::string log = inst_.LogText();
    FAIL() << "the log's end:\n" << log.substr(log.size() > 20000 ? log.size() - 20000 : 0);
  }

  // Every line still answers: it is back waiting for a call.
  std::vector<std::string> faults(kLines);
  std::vector<std::thread> callers;
  for (int ch = 0; ch < kLines; ch++) {
    callers.emplace_back([&, ch] {
      std::string c = std::to_string(ch);
      if (Card("CALL " + c + " 6789 8000") != "OK") faults[ch] = "call not placed";
      else if (!Until([&] { return State(ch) == 7; })) faults[ch] = "not answered";
      else if (Card("REL " + c + " 16") != "OK") faults[ch] = "release refused";
      else if (!Until([&] { return State(ch) == 1; })) faults[ch] = "never ended";
    });
  }
  for (auto& t : callers) t.join();
  for (int ch = 0; ch < kLines; ch++) EXPECT_EQ(faults[ch], "") << "last call, channel " << ch;

  Pause(500);
  size_t fds = Entries(fdDir), tasks = Entries(taskDir);
  EXPECT_GT(fdsAfterFirst, 0u);
  EXPECT_GT(tasksAfterFirst, 0u);
  EXPECT_LE(fds, fdsAfterFirst + 4) << "descriptors grew with the calls: " << fdsAfterFirst << " -> " << fds;
  EXPECT_LE(tasks, tasksAfterFirst + 2) << "threads grew with the calls: " << tasksAfterFirst << " -> " << tasks;
  RecordProperty("descriptors", std::to_string(fdsAfterFirst) + " -> " + std::to_string(fds));
  RecordProperty("threads", std::to_string(tasksAfterFirst) + " -> " + std::to_string(tasks));
  EXPECT_EQ(inst_.Stop(SIGTERM, 20000), 0);
}

}  // namespace
