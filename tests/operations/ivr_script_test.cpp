// IVR operations compiled from script text and run on the run loop.
#include <gtest/gtest.h>

#include "core/monitor.h"
#include "tests/operations/ivr_fixture.h"

namespace ivrtest {
namespace {

const char* const kNumberStems[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "shi", "bai", "qian", "dian"};

class IvrScript : public IvrFixture {
 protected:
  void SetUp() override {
    IvrFixture::SetUp();
    for (const char* s : kNumberStems) WriteVoice(std::string("voc/ch/") + s + ".WAV", AlawWave(std::string("[") + s + "]"));
    WriteVoice("voc/ch/welcome.WAV", AlawWave("[welcome]"));
    WriteVoice("voc/ch/timeout.wav", AlawWave("[timeout]"));
  }
  // Compiles the script for a line of that type and runs one pass.
  // Each script text gets a file of its own: compiled files are cached by name.
  int RunScript(const std::string& text, uint8_t lineType = kLineDig, const std::string& file = "ivr.kxs") {
    testsupport::WriteFile(dir_ / file, text);
    call_.lineType = lineType;
    inst_.reset();
    inst_ = std::make_unique<TagTelBasic>(file, 3, &call_, 1);
    EXPECT_EQ(inst_->initResult, 0) << testsupport::ReadFile(dir_ / "errmsg3.txt");
    return inst_->Run();
  }
  std::string Var(const char* name) {
    TagVar* v = inst_->FindVariable(name);
    return v ? v->ToText() : "<none>";
  }
  std::vector<std::string> PlayedNames() {
    std::vector<std::string> names;
    for (const auto& p : call_.played) names.push_back(p.file);
    return names;
  }
  std::string NumberHeard() {
    for (const auto& p : call_.played)
      if (p.file.find("t3.WAV") != std::string::npos) return p.bytes.substr(46);
    return "<none>";
  }
};

const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r1 = WaitRing(1);\n"
    "caller = \"\";\n"
    "r2 = GetCallerId(caller);\n"
    "r3 = Play(\"welcome\");\n"
    "keys = \"\";\n"
    "n = GetKeys(keys, 4, 10);\n"
    "r4 = -9;\n"
    "if (n > 0)\n"
    "{\n"
    "  r4 = PlayNumber(keys, 0);\n"
    "}\n"
    "Hangup();\n"
    "return(0);\n";

TEST_F(IvrScript, CardLineCall) {
  struct Case {
    const char* keys;
    int count;
    const char* got;
    const char* heard;
  } cases[] = {
      {"123", 4, "123", "[1][bai][2][shi][3]"},
      {"1234", 4, "1234", "[1][qian][2][bai][3][shi][4]"},
      {"12*", 4, "12.", "[shi][2]"},
  };
  for (const Case& c : cases) {
    call_.played.clear();
    call_.callerNumber = "13800001111";
    call_.keyAnswers.push_back({c.keys, c.count});
    RunScript(kScript);
    EXPECT_EQ(Var("r1"), "0");
    EXPECT_EQ(Var("caller"), "13800001111");
    EXPECT_EQ(Var("r3"), "0");
    EXPECT_EQ(Var("n"), std::to_string(c.count));
    EXPECT_EQ(Var("keys"), c.got);
    EXPECT_EQ(Var("r4"), "0");
    ASSERT_EQ(call_.played.size(), 2u) << c.keys;
    EXPECT_EQ(call_.played[0].file, "voc\\ch\\welcome.WAV");
    EXPECT_EQ(NumberHeard(), c.heard) << c.keys;
  }
}

TEST_F(IvrScript, NoKeysPlaysTheTimeoutVoiceAndReleases) {
  call_.keyAnswers.push_back({"", -1, kCallConnected});
  RunScript(kScript);
  EXPECT_EQ(Var("n"), "-1");
  EXPECT_EQ(Var("r4"), "-9");
  EXPECT_EQ(PlayedNames(), (std::vector<std::string>{"voc\\ch\\welcome.WAV", "voc\\ch\\timeout.wav"}));
  // The time-out voice, its release, then the script's own hang-up.
  EXPECT_EQ(call_.ops, (std::vector<std::string>{"PlayFile", "GetKeys", "PlayFile", "Hangup", "Hangup"}));
}

TEST_F(IvrScript, VirtualLineCollectsFromTheKeysCell) {
  auto monitor = std::make_shared<TagMonitor>(4, TagMonitorSettings{});
  SetMonitor(monitor);
  monitor->SetKeys(3, "42#");
  RunScript(kScript, kLineVir);
  SetMonitor(nullptr);
  EXPECT_EQ(Var("n"), "3");
  EXPECT_EQ(Var("keys"), "42");
  EXPECT_TRUE(call_.keysAsked.empty());
  ASSERT_EQ(call_.played.size(), 2u);
  EXPECT_EQ(call_.played[1].flag, 1);  // read on the PC
  EXPECT_EQ(NumberHeard(), "[4][shi][2]");
}

}  // namespace
}  // namespace ivrtest

namespace ivrtest {
namespace {

TEST_F(IvrScript, TheSampleScriptServesACall) {
  std::filesystem::create_directories(dir_ / "voc/chinese");
  for (const char* s : kNumberStems)
    WriteVoice(std::string("voc/chinese/") + s + ".WAV", AlawWave(std::string("[") + s + "]"));
  WriteVoice("voc/chinese/welcome.WAV", AlawWave("[welcome]"));
  std::string script = testsupport::ReadFile(std::string(RODIZ_SOURCE_DIR) + "/samples/scripts/ivr.kxs");
  ASSERT_FALSE(script.empty());
  // One call, then the line is stopped at its next wait for a call.
  call_.onWaitRing = [this](int n) {
    if (n > 1) inst_->hardStop = 1;
  };
  call_.callerNumber = "13800001111";
  call_.keyAnswers.push_back({"123", 4});
  RunScript(script, kLineDig, "sample.kxs");
  EXPECT_EQ(Var("keys"), "123");
  ASSERT_GE(call_.played.size(), 2u);
  EXPECT_EQ(call_.played[0].file, "voc\\chinese\\welcome.WAV");
  EXPECT_EQ(call_.played[1].file, "voc\\chinese\\t3.WAV");
  EXPECT_EQ(call_.played[1].bytes.substr(46), "[1][bai][2][shi][3]");
  EXPECT_EQ(Var("n"), "4");
  EXPECT_EQ(Var("r"), "0");
  EXPECT_EQ(Var("caller"), "13800001111");
  // Four keys: one more key is taken, the # that ends them, quietly (no
  // time-out voice, no release when it does not come).
  EXPECT_EQ(call_.ops, (std::vector<std::string>{"PlayFile", "GetKeys", "GetKeys", "PlayFile", "Hangup"}));
  ASSERT_EQ(call_.keysAsked.size(), 2u);
  EXPECT_EQ(call_.keysAsked[1].maxCount, 1);
  EXPECT_EQ(call_.keysAsked[1].timeout, 2);
  EXPECT_EQ(call_.waitRings, 2);
  EXPECT_EQ(testsupport::ReadFile(dir_ / "_stdout3.txt"),
            "WaitRing 0\nGetCallerId 0 13800001111\nPlay 0\nGetKeys 4 123\nPlayNumber 0\nOnDisconn\n");
}

}  // namespace
}  // namespace ivrtest
