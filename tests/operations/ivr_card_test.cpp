// A script on a trunk line of the software card, driven from the far end:
// a call comes in, the caller presses keys, and what the line played is read
// back from the card.
#include <gtest/gtest.h>

#include "engine/memkxs.h"

#include <map>
#include <thread>

#include "engine/telbasic.h"
#include "tests/lines/cardtest_fixture.h"

namespace {

// Voices whose samples are one byte value each, so the played audio tells
// which voices were heard and in what order.
const std::map<std::string, uint8_t> kVoices = {
    {"0", 0x10},   {"1", 0x11},   {"2", 0x12},    {"3", 0x13},       {"4", 0x14},
    {"5", 0x15},   {"6", 0x16},   {"7", 0x17},    {"8", 0x18},       {"9", 0x19},
    {"shi", 0x20}, {"bai", 0x21}, {"qian", 0x22}, {"dian", 0x23},    {"welcome", 0x30},
};
const uint8_t kTimeoutByte = 0x31;

std::string VoiceWave(uint8_t value, uint32_t ms) {
  std::vector<uint8_t> h = MakeWaveHeader(18, 6, ms * 8);
  return std::string(h.begin(), h.end()) + std::string(ms * 8, static_cast<char>(value));
}

// The voices in played audio, one name per run of equal samples.
std::string Heard(const std::vector<uint8_t>& audio) {
  std::string out;
  int last = -1;
  for (uint8_t b : audio) {
    if (b == last) continue;
    last = b;
    std::string name = b == kTimeoutByte ? "timeout" : "?";
    for (const auto& [stem, v] : kVoices)
      if (v == b) name = stem;
    out += (out.empty() ? "" : " ") + name;
  }
  return out;
}

const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r1 = WaitRing(1);\n"
    "caller = \"\";\n"
    "r2 = GetCallerId(caller);\n"
    "r3 = Play(\"welcome\");\n"
    "keys = \"\";\n"
    "n = GetKeys(keys, 4, 2);\n"
    "r4 = -9;\n"
    "if (n > 0)\n"
    "{\n"
    "  r4 = PlayNumber(keys, 0);\n"
    "}\n"
    "Hangup();\n"
    "OnDisconn();\n"
    "hung = hung + 1;\n";

class IvrCard : public cardtest::CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    // Scripts are cached by the name as given; each test has its own folder.
    TagMemKxs::Instance().Clear();
    for (const auto& [stem, v] : kVoices)
      Write("voc/ch/" + stem + ".WAV", VoiceWave(v, stem == "welcome" ? 600 : 40));
    Write("voc/ch/timeout.wav", VoiceWave(kTimeoutByte, 40));
    testsupport::WriteFile(dir_ / "ivr.kxs", kScript);
    Open();
    call_ = Digital(0);
    ASSERT_NE(call_, nullptr);
    inst_ = std::make_unique<TagTelBasic>("ivr.kxs", 0, call_, 1);
    ASSERT_EQ(inst_->initResult, 0) << testsupport::ReadFile(dir_ / "errmsg0.txt");
    runner_ = std::thread([this] { inst_->Run(); });
  }
  void TearDown() override {
    StopScript();
    inst_.reset();
    CardFixture::TearDown();
  }
  void Write(const std::string& rel, const std::string& bytes) {
    std::filesystem::create_directories((std::filesystem::path(dir_.path()) / rel).parent_path());
    testsupport::WriteFile(dir_ / rel, bytes);
  }
  void StopScript() {
    if (!runner_.joinable()) return;
    inst_->hardStop = 1;
    inst_->stopRequested = 1;
    call_->interrupted = 1;
    runner_.join();
  }
  // Waits until the line has handled the release in its hang-up section and
  // waits for the next call; then stops the script so its variables can be read.
  void FinishCall() {
    EXPECT_TRUE(cardtest::WaitFor([this] { return call_->callState.load() == kCallHungUpSection; }, 20000));
    plat::SleepMs(200);
    StopScript();
  }
  size_t PlayCount() { return far_->Played(0).size(); }
  bool PlayEnded(size_t i) {
    auto p = far_->Played(0);
    return p.size() > i && p[i].ended;
  }
  std::string Var(const char* name) {
    TagVar* v = inst_->FindVariable(name);
    return v ? v->ToText() : "<none>";
  }
  std::string HeardPlay(int i) { return Heard(far_->PlayedAudio(0, i)); }
  // The number's file is deleted once played, so only its name and length
  // can be read back: 40 ms per voice.
  void ExpectNumberPlay(size_t i, int voices) {
    auto p = far_->Played(0);
    ASSERT_GT(p.size(), i);
    EXPECT_NE(p[i].file.find("t0.WAV"), std::string::npos) << p[i].file;
    EXPECT_NEAR(static_cast<double>(p[i].ms), voices * 40.0, 20.0) << p[i].file;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "voc/ch/t0.WAV"));
  }

  TagCardIsupCall* call_ = nullptr;
  std::unique_ptr<TagTelBasic> inst_;
  std::thread runner_;
};

TEST_F(IvrCard, KeysAreReadBackAsANumber) {
  struct Case {
    const char* keys;
    const char* got;
    int voices;
  } cases[] = {
      {"123#", "123", 5},  // 1 bai 2 shi 3
      {"1234", "1234", 7},  // 1 qian 2 bai 3 shi 4: four keys end it without #
      {"12*#", "12.", 2},  // shi 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    if (!runner_.joinable()) {
      call_->interrupted = 0;
      inst_->hardStop = 0;
      runner_ = std::thread([this] { inst_->Run(); });
    }
    size_t before = PlayCount();
    ASSERT_TRUE(far_->IncomingCall(0, "13800001111", "8000")) << far_->Error();
    ASSERT_TRUE(cardtest::WaitFor([&] { return PlayEnded(before); }, 20000));
    ASSERT_TRUE(far_->Dtmf(0, c.keys));
    ASSERT_TRUE(cardtest::WaitFor([&] { return PlayEnded(before + 1); }, 20000));
    FinishCall();
    EXPECT_EQ(Var("caller"), "13800001111");
    EXPECT_EQ(Var("keys"), c.got);
    EXPECT_EQ(Var("r4"), "0");
    EXPECT_EQ(HeardPlay(static_cast<int>(before)), "welcome");
    ExpectNumberPlay(before + 1, c.voices);
  }
}

TEST_F(IvrCard, AKeyDuringTheWelcomeCutsItShort) {
  ASSERT_TRUE(far_->IncomingCall(0, "6789", "8000")) << far_->Error();
  ASSERT_TRUE(cardtest::WaitFor([&] { return PlayCount() >= 1; }, 20000));
  ASSERT_TRUE(far_->Dtmf(0, "4"));
  ASSERT_TRUE(cardtest::WaitFor([&] { return PlayCount() >= 1 && far_->Played(0)[0].ms > 0; }, 20000));
  plat::SleepMs(300);
  ASSERT_TRUE(far_->Dtmf(0, "#"));
  ASSERT_TRUE(cardtest::WaitFor([&] { return PlayEnded(1); }, 20000));
  FinishCall();
  EXPECT_EQ(Var("r3"), "0");
  EXPECT_EQ(Var("keys"), "4");
  EXPECT_FALSE(far_->Played(0)[0].ended);
  ExpectNumberPlay(1, 1);
}

TEST_F(IvrCard, NoKeysPlaysTheTimeoutVoiceAndReleases) {
  ASSERT_TRUE(far_->IncomingCall(0, "6789", "8000")) << far_->Error();
  FinishCall();
  EXPECT_EQ(Var("n"), "-1");
  EXPECT_EQ(Var("r4"), "0");  // never reached: the release goes to the hang-up section
  EXPECT_EQ(Var("hung"), "1");
  auto played = far_->Played(0);
  ASSERT_EQ(played.size(), 2u);
  EXPECT_EQ(HeardPlay(1), "timeout");
}

TEST_F(IvrCard, FarEndReleaseDuringThePromptGetsNoTimeoutVoice) {
  ASSERT_TRUE(far_->IncomingCall(0, "6789", "8000")) << far_->Error();
  ASSERT_TRUE(cardtest::WaitFor([&] { return PlayCount() >= 1; }, 20000));
  ASSERT_TRUE(far_->Release(0, 16));
  FinishCall();
  EXPECT_EQ(Var("hung"), "1");
  EXPECT_EQ(PlayCount(), 1u);  // the welcome only
}

TEST_F(IvrCard, FarEndReleaseWhileWaitingForKeysGetsNoTimeoutVoiceNorARelease) {
  ASSERT_TRUE(far_->IncomingCall(0, "6789", "8000")) << far_->Error();
  ASSERT_TRUE(cardtest::WaitFor([&] { return PlayEnded(0); }, 20000));
  plat::SleepMs(300);  // the line is collecting keys now
  ASSERT_TRUE(far_->Release(0, 16));
  FinishCall();
  EXPECT_EQ(Var("n"), "-1");
  EXPECT_EQ(Var("hung"), "1");
  EXPECT_EQ(PlayCount(), 1u);  // no time-out voice
  for (auto [message, indicator] : far_->Messages(0)) EXPECT_NE(message, 7) << "a release sent on an idle circuit";
}

}  // namespace
