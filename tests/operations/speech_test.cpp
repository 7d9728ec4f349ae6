// The speech operations on a line whose call object records what it is asked
// to play: the speech engine into files of three formats, the pinyin
// library into files and to the caller, Big5 text, and the results of
// lines and settings that cannot speak.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "engine/kxcall.h"
#include "engine/speechhooks.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "lines/pinyin.h"
#include "platform/bytes.h"
#include "platform/text.h"
#include "platform/wave.h"
#include "tests/support/operation.h"
#include "tests/support/tempdir.h"

namespace {

using testsupport::TempDir;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Remembers every play and the bytes of the file at the time it was asked.
class RecordingCall : public TagKxCall {
 public:
  struct PlayRec {
    bool pc;
    int flag;
    std::vector<uint8_t> bytes;
  };
  int PlayFile(const std::string& file, uint8_t breakKey, int flag) override {
    plays.push_back({false, flag, ReadFile(file)});
    return 0;
  }
  int PcPlay(const std::string& file, int loop, int wait, uint8_t breakKey) override {
    plays.push_back({true, wait, ReadFile(file)});
    return 0;
  }
  std::vector<PlayRec> plays;
};

std::vector<uint8_t> Audio(uint8_t fill, size_t n) { return std::vector<uint8_t>(n, fill); }

class SpeechOps : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalHypy().Unload();
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    std::filesystem::create_directories(dir_ / "snd");
    std::filesystem::create_directories(dir_ / "lib");
    // A library with the syllables of the texts below.
    std::vector<uint8_t> table(static_cast<size_t>(0xD7 - 0xB0) * 94 * 10, ' ');
    auto put = [&](const char* utf8, const char* name) {
      std::string gb = plat::Utf8ToGbk(utf8);
      const size_t at = (static_cast<size_t>(static_cast<uint8_t>(gb[0]) - 0xB0) * 94 +
                         (static_cast<uint8_t>(gb[1]) - 0xA1)) * 10;
      std::memcpy(&table[at], name, std::strlen(name));
    };
    put("银", "YIN2");
    put("行", "XING2");
    put("好", "HAO3");
    ASSERT_TRUE(WriteVocLib(dir_ / "lib/KxVocLib.dat",
                            {{"YIN2", Audio(1, 8)}, {"HANG2", Audio(2, 6)}, {"HAO3", Audio(3, 4)}}, table));
  }
  void TearDown() override {
    for (auto& v : vars_) v->SetNull();
    inst_.reset();
    GlobalHypy().Unload();
    cwd_.reset();
  }
  void MakeLine(int lineType) {
    call_.lineType = static_cast<uint8_t>(lineType);
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 3, &call_, 0);
    inst_->initResult = 0;
    inst_->sndDirs[0] = dir_.path() + "/snd/";
    auto make = SpeechHooks().makeFileSpeaker;
    ASSERT_NE(make, nullptr);
    inst_->msTts = make();
  }
  int Exec(KeywordId id, const std::vector<TagVar>& values, int lineType = -1) {
    std::vector<TagVar*> args;
    for (const TagVar& v : values) {
      vars_.push_back(std::make_unique<TagVar>(v));
      args.push_back(vars_.back().get());
    }
    auto op = testsupport::MakeOperation(id, args, inst_.get(), lineType < 0 ? call_.lineType.load() : lineType);
    return op ? op->Execute() : -999;
  }
  TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  RecordingCall call_;
  std::unique_ptr<TagTelBasic> inst_;
  std::vector<std::unique_ptr<TagVar>> vars_;
};

TEST_F(SpeechOps, EngineSpeaksIntoFilesOfThreeFormats) {
  MakeLine(kLineDig);
  struct Case {
    const char* name;
    int format;
    uint16_t tag;
  } cases[] = {{"pcm.wav", 0, 1}, {"alaw.wav", 1, 6}, {"mulaw.wav", 2, 7}};
  for (const Case& c : cases) {
    EXPECT_EQ(Exec(KeywordId::TxtSpeakToFile, {TagVar::Str("hello there"), TagVar::Str(c.name), TagVar::Int(c.format),
                                                TagVar::Int(0)}),
              0)
        << c.name;
    std::vector<uint8_t> f = ReadFile(dir_ / (std::string("snd/") + c.name));
    ASSERT_GT(f.size(), 46u + 2000) << c.name;
    EXPECT_EQ(plat::Le16(&f[20]), c.tag) << c.name;
    EXPECT_EQ(plat::Le32(&f[16]), 18u) << c.name;
    EXPECT_EQ(plat::Le32(&f[4]), f.size() - 8) << c.name;
    EXPECT_EQ(plat::Le32(&f[42]), f.size() - 46) << c.name;
  }
  // The A-law file is made through a PCM file beside it, which is gone.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "snd/alaw.wav.wav"));
}

TEST_F(SpeechOps, TargetIsAlwaysUnderTheSoundDirectory) {
  MakeLine(kLineDig);
  std::filesystem::create_directories(dir_ / "snd/tmp");
  EXPECT_EQ(Exec(KeywordId::TxtSpeakToFile,
                 {TagVar::Str("one"), TagVar::Str("/tmp/abs.wav"), TagVar::Int(0), TagVar::Int(0)}),
            0);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "snd/tmp/abs.wav"));
}

TEST_F(SpeechOps, NoEngineOnTheInstanceGivesMinus100) {
  MakeLine(kLineDig);
  inst_->msTts.reset();
  SetLogWriter(std::make_shared<TagWriteLog>(dir_ / "log.txt", 10000000, true, true));
  EXPECT_EQ(Exec(KeywordId::TxtSpeakToFile, {TagVar::Str("a"), TagVar::Str("x.wav"), TagVar::Int(1), TagVar::Int(0)}),
            -100);
  EXPECT_EQ(Exec(KeywordId::TxtSpeakToFile, {TagVar::Str("a"), TagVar::Str("y.wav"), TagVar::Int(0), TagVar::Int(0)}),
            -100);
  SetLogWriter(nullptr);
  std::ifstream in(dir_ / "log.txt");
  std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_NE(log.find("MsTxt2Voc(A-Law) Err."), std::string::npos);
  EXPECT_NE(log.find("MsTxt2Voc(PCM) Err."), std::string::npos);
}

TEST_F(SpeechOps, SettingsAndLinesThatDoNotSpeak) {
  MakeLine(kLineDig);
  struct Case {
    const char* what;
    KeywordId id;
    std::vector<TagVar> args;
    int result;
  } cases[] = {
      {"pinyin library missing", KeywordId::SetTtsPara, {TagVar::Int(1), TagVar::Str("nowhere"), TagVar::Str("")}, -1},
      {"other modes answer 0", KeywordId::SetTtsPara, {TagVar::Int(2), TagVar::Str("x"), TagVar::Str("y")}, 0},
      {"mode 2 leaves files to the call object", KeywordId::TxtSpeakToFile,
       {TagVar::Str("a"), TagVar::Str("m2.wav"), TagVar::Int(0), TagVar::Int(0)}, 0},
      {"engine mode", KeywordId::SetTtsPara, {TagVar::Int(0), TagVar::Str(""), TagVar::Str("")}, 0},
      {"a card line speaks only with the PC flag", KeywordId::TxtSpeak,
       {TagVar::Str("a"), TagVar::Int(0), TagVar::Int(0)}, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Exec(c.id, c.args), c.result) << c.what;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "snd/m2.wav"));
  EXPECT_EQ(inst_->ttsMode, 0);
}

TEST_F(SpeechOps, PinyinIntoFilesConvertsBig5) {
  MakeLine(kLineDig);
  ASSERT_EQ(Exec(KeywordId::SetTtsPara, {TagVar::Int(1), TagVar::Str(dir_ / "lib"), TagVar::Str("")}), 0);
  // "銀行好" in Big5 (the last pair's trail byte is one GB never has).
  EXPECT_EQ(Exec(KeywordId::TxtSpeakToFile,
                 {TagVar::Str("\xBB\xC8\xA6\xE6\xA6\x6E"), TagVar::Str("py.raw"), TagVar::Int(0), TagVar::Int(0)}),
            3);
  std::vector<uint8_t> want = Audio(1, 8);
  for (uint8_t b : Audio(2, 6)) want.push_back(b);
  for (uint8_t b : Audio(3, 4)) want.push_back(b);
  EXPECT_EQ(ReadFile(dir_ / "snd/py.raw"), want);
}

TEST_F(SpeechOps, PinyinSpeaksToTheCallerOnACardLine) {
  MakeLine(kLineDig);
  ASSERT_EQ(Exec(KeywordId::SetTtsPara, {TagVar::Int(1), TagVar::Str(dir_ / "lib"), TagVar::Str("")}), 0);
  {
    std::ofstream(dir_ / "say.txt") << plat::Utf8ToGbk("好");
  }
  struct Case {
    const char* what;
    KeywordId id;
    std::vector<TagVar> args;
    int result;
    bool pc;
    std::vector<uint8_t> audio;  // after the 46-byte header
  } cases[] = {
      {"text to the caller", KeywordId::TxtSpeak, {TagVar::Str(plat::Utf8ToGbk("银行")), TagVar::Int(0), TagVar::Int(0)},
       2, false, {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2}},
      {"the file's text, not its name", KeywordId::TxtSpeak,
       {TagVar::Str(dir_ / "say.txt"), TagVar::Int(1), TagVar::Int(0)}, 1, false, {3, 3, 3, 3}},
      {"the PC flag plays locally", KeywordId::PcTxtSpeak,
       {TagVar::Str(plat::Utf8ToGbk("好")), TagVar::Int(0), TagVar::Int(0)}, 1, true, {3, 3, 3, 3}},
      {"Big5 text converted", KeywordId::TxtSpeak,
       {TagVar::Str("\xBB\xC8\xA6\xE6\xA6\x6E"), TagVar::Int(0), TagVar::Int(0)}, 3, false,
       {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3}},
  };
  for (const Case& c : cases) {
    call_.plays.clear();
    EXPECT_EQ(Exec(c.id, c.args), c.result) << c.what;
    ASSERT_EQ(call_.plays.size(), 1u) << c.what;
    EXPECT_EQ(call_.plays[0].pc, c.pc) << c.what;
    if (!c.pc) {
      EXPECT_EQ(call_.plays[0].flag, 0) << c.what;  // never the local play of a card line
    }
    const std::vector<uint8_t>& b = call_.plays[0].bytes;
    ASSERT_GE(b.size(), 46u) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 46, b.end()), c.audio) << c.what;
  }
  // The temporary file is gone after each.
  EXPECT_FALSE(std::filesystem::exists(inst_->TtsFileName(0)));
  // A file flag with a missing file speaks nothing.
  call_.plays.clear();
  EXPECT_EQ(Exec(KeywordId::TxtSpeak, {TagVar::Str(dir_ / "missing.txt"), TagVar::Int(1), TagVar::Int(0)}), -1);
  EXPECT_TRUE(call_.plays.empty());
}

TEST_F(SpeechOps, PcSpeechOnTheFakeSoundCard) {
  plat::WaveSettings old = plat::GetWaveSettings();
  plat::WaveSettings s = old;
  s.fake = true;
  s.fakeDir = dir_.path();
  plat::SetWaveSettings(s);
  plat::ClearFakeWaveSessions();
  MakeLine(kLineVir);
  // "TxtSpeak(" on a virtual line speaks on the PC as "PcTxtSpeak(" does.
  EXPECT_EQ(Exec(KeywordId::TxtSpeak, {TagVar::Str(plat::Utf8ToGbk("你好")), TagVar::Int(0), TagVar::Int(0)}), 0);
  auto sessions = plat::FakeWaveSessions();
  plat::SetWaveSettings(old);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].format.samplesPerSec, 8000u);
  EXPECT_GT(sessions[0].bytes, 4000u);
}

}  // namespace
