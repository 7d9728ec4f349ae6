#include <gtest/gtest.h>

#include "lines/memvocs.h"
#include "operations/voice.h"
#include "tests/operations/ivr_fixture.h"

namespace ivrtest {
namespace {

using Voice = IvrFixture;

TEST_F(Voice, ResolvedNames) {
  inst_->sndDirs[0] = "voc\\ch\\";
  struct Case {
    const char* name;
    const char* want;
  } cases[] = {
      {"welcome", "voc\\ch\\welcome.WAV"},
      {"welcome.vox", "voc\\ch\\welcome.vox"},
      {"c:\\x\\a.wav", "c:\\x\\a.wav"},
      {"sub\\a.wav", "voc\\ch\\sub\\a.wav"},
      {"v1.0\\a", "voc\\ch\\v1.0\\a.WAV"},  // the only dot is in a directory
      {"/abs/a", "/abs/a.WAV"},
      {"\\abs\\a.wav", "\\abs\\a.wav"},
      {"net\\\\host\\a.wav", "net\\\\host\\a.wav"},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolveVocFileName(*inst_, c.name), c.want) << c.name;
}

TEST_F(Voice, SoundDirectoriesAndLanguage) {
  EXPECT_EQ(Run(KeywordId::SetSndDir, {Str("voc\\chinese"), Str(""), Str("voc/english/")}), 0);
  EXPECT_EQ(inst_->sndDirs[0], "voc\\chinese\\");
  EXPECT_EQ(inst_->sndDirs[1], "");
  EXPECT_EQ(inst_->sndDirs[2], "voc/english/");
  EXPECT_EQ(Run(KeywordId::SelectLan, {Int(3)}), -1);
  EXPECT_EQ(inst_->language, 0);
  EXPECT_EQ(Run(KeywordId::SelectLan, {Int(2)}), 2);
  TagVar* dir = Int(0);
  TagVar* lang = Str("");
  EXPECT_EQ(Run(KeywordId::GetCurSndDir, {dir, lang}), 0);
  EXPECT_EQ(dir->ToText(), "voc/english/");
  EXPECT_EQ(lang->IntValue(), 2);
  EXPECT_TRUE(lang->IsInt());
  EXPECT_EQ(Run(KeywordId::SelectLan, {Int(1)}), 1);
  EXPECT_EQ(ResolveVocFileName(*inst_, "a"), "a.WAV");  // an empty directory: the name as written
}

TEST_F(Voice, LineSettingsReachTheInstanceAndTheCallObject) {
  EXPECT_EQ(Run(KeywordId::SetBreak, {Int(0)}), 0);
  EXPECT_EQ(inst_->breakOnKey, 0);
  EXPECT_EQ(call_.breakOnKey, 0);
  EXPECT_EQ(Run(KeywordId::SetBreak, {Str("")}), 0);  // stored integer of "" is 1
  EXPECT_EQ(inst_->breakOnKey, 1);
  EXPECT_EQ(Run(KeywordId::SetEndKey, {Str("*9")}), 0);
  EXPECT_EQ(inst_->endKey, '*');
  EXPECT_EQ(Run(KeywordId::SetEndKey, {Str("")}), 0);
  EXPECT_EQ(inst_->endKey, 0);
  EXPECT_EQ(Run(KeywordId::SetVolume, {Int(80), Int(1)}), 0);
  EXPECT_EQ(call_.volume[1], 80);
  EXPECT_EQ(Run(KeywordId::SetVolume, {Int(70), Int(5)}), 0);
  EXPECT_EQ(call_.volume[0], 70);
  EXPECT_EQ(Run(KeywordId::SetNobkringAns, {Int(0)}), 0);
  EXPECT_EQ(call_.noRingbackAnswer, 0);
  EXPECT_EQ(Run(KeywordId::SetSndExt, {Str(".alaw")}), 0);
  EXPECT_EQ(ResolveVocFileName(*inst_, "a"), "a.alaw");
  for (KeywordId id : {KeywordId::SetBusyPara, KeywordId::SetRingbackPara, KeywordId::SetSignalFreqPara})
    EXPECT_EQ(Run(id, {Int(1), Int(2), Int(3)}), 0);
}

TEST_F(Voice, PlayGoesThroughTheFileEvenWhenPreloaded) {
  WriteVoice("voc/ch/hello.WAV", AlawWave(std::string(200, 'a')));
  inst_->sndDirs[0] = "voc/ch/";
  inst_->breakOnKey = 0;
  EXPECT_EQ(Run(KeywordId::Play, {Str("hello")}), 0);
  EXPECT_EQ(Run(KeywordId::LoadVocFile, {Str("hello"), Int(0)}), 246);
  EXPECT_EQ(Run(KeywordId::Play, {Str("hello")}), 0);
  ASSERT_EQ(call_.played.size(), 2u);
  EXPECT_EQ(call_.played[1].file, "voc/ch/hello.WAV");
  EXPECT_EQ(call_.played[1].breakOnKey, 0);
  EXPECT_EQ(call_.played[1].bytes.size(), 246u);
  EXPECT_TRUE(call_.memoryPlays.empty());
  // A call object that does play memory gets the preloaded bytes.
  call_.playsMemory = true;
  EXPECT_EQ(Run(KeywordId::Play, {Str("hello")}), 0);
  ASSERT_EQ(call_.memoryPlays.size(), 1u);
  EXPECT_EQ(call_.memoryPlays[0].size(), 246u);
}

TEST_F(Voice, LoadAndUnloadChooseTheirStore) {
  WriteVoice("a.WAV", "12345");
  WriteVoice("b.WAV", "123");
  EXPECT_EQ(Run(KeywordId::LoadVocFile, {Int(5), Int(0)}), -1);
  EXPECT_EQ(Run(KeywordId::UnloadVocFile, {Int(5), Int(0)}), -1);
  EXPECT_EQ(Run(KeywordId::LoadVocFile, {Str("a"), Int(0)}), 5);
  EXPECT_EQ(Run(KeywordId::LoadVocFile, {Str("a"), Int(0)}), -2);
  EXPECT_EQ(Run(KeywordId::LoadVocFile, {Str("b"), Int(1)}), 3);
  EXPECT_NE(FindMemVoc(*inst_, "a.WAV"), nullptr);
  EXPECT_NE(FindMemVoc(*inst_, "b.WAV"), nullptr);
  EXPECT_EQ(GlobalMemVocs().Find("a.WAV"), nullptr);
  EXPECT_EQ(Run(KeywordId::UnloadVocFile, {Str("a"), Int(0)}), 0);
  EXPECT_EQ(FindMemVoc(*inst_, "a.WAV"), nullptr);
  EXPECT_EQ(Run(KeywordId::UnloadVocFile, {Str("*"), Int(1)}), 0);
  EXPECT_EQ(GlobalMemVocs().Count(), 0u);
}

TEST_F(Voice, PlayToFileJoinsVoicesUnderOneHeader) {
  inst_->sndDirs[0] = "voc/";
  // The third voice declares more data than it holds.
  std::string shortVoice = AlawWave(std::string(500, 'c')).substr(0, 46 + 120);
  WriteVoice("voc/1.WAV", AlawWave(std::string(300, 'a')));
  WriteVoice("voc/2.wav", AlawWave(std::string(200, 'b'), 16));
  WriteVoice("voc/3.WAV", shortVoice);
  ASSERT_EQ(Run(KeywordId::SetPlayToFile, {Int(1)}), 0);
  EXPECT_EQ(Run(KeywordId::Play, {Str("1")}), 0);
  EXPECT_EQ(Run(KeywordId::Play, {Str("2.wav")}), 0);
  EXPECT_EQ(Run(KeywordId::PcPlay, {Str("3"), Int(0)}), 0);
  EXPECT_EQ(Run(KeywordId::Play, {Str("missing")}), -1);
  EXPECT_TRUE(call_.played.empty());
  std::string out = Read("voc/t3.WAV");
  ASSERT_EQ(out.size(), 46u + 300 + 200 + 120);
  EXPECT_EQ(out.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32At(out, 4), out.size() - 8);
  EXPECT_EQ(Le32At(out, 16), 18u);
  EXPECT_EQ(Le32At(out, 24), 8000u);
  EXPECT_EQ(out.substr(38, 4), "data");
  EXPECT_EQ(Le32At(out, 42), 620u);
  EXPECT_EQ(out.substr(46, 300), std::string(300, 'a'));
  EXPECT_EQ(out.substr(346, 200), std::string(200, 'b'));
}

TEST_F(Voice, HeaderlessVoiceFirstLeavesTheAudioAlone) {
  inst_->sndDirs[0] = "voc/";
  WriteVoice("voc/raw.alaw", std::string(100, 'r'));
  WriteVoice("voc/w.WAV", AlawWave(std::string(50, 'w')));
  ASSERT_EQ(Run(KeywordId::SetPlayToFile, {Int(1)}), 0);
  EXPECT_EQ(Run(KeywordId::Play, {Str("raw.alaw")}), 0);
  EXPECT_EQ(Run(KeywordId::Play, {Str("w")}), 0);
  EXPECT_EQ(Read("voc/t3.WAV"), std::string(100, 'r') + std::string(50, 'w'));
}

TEST_F(Voice, PlayToFileWithoutItsOutputFails) {
  inst_->sndDirs[0] = "nodir/";
  EXPECT_EQ(Run(KeywordId::SetPlayToFile, {Int(1)}), -1);
  EXPECT_EQ(Run(KeywordId::Play, {Str("x")}), -1);
}

TEST_F(Voice, PcPlayModesRecordAndPlayEnd) {
  struct Case {
    int mode;
    std::vector<int> args;  // loop, wait, break
  } cases[] = {{0, {0, 1, 0}}, {3, {1, 0, 0}}, {-1, {0, 0, 0}}};
  for (const Case& c : cases) {
    call_.intArgs.clear();
    EXPECT_EQ(Run(KeywordId::PcPlay, {Str("m"), Int(c.mode)}), 0);
    EXPECT_EQ(call_.intArgs, c.args) << c.mode;
  }
  call_.intArgs.clear();
  call_.texts.clear();
  inst_->sndDirs[0] = "rec\\";
  EXPECT_EQ(Run(KeywordId::Record, {Str("msg"), Str("abcd")}), 0);
  EXPECT_EQ(call_.texts, (std::vector<std::string>{"rec\\msg.WAV"}));
  EXPECT_EQ(call_.intArgs, (std::vector<int>{5, 1}));
  TagVar* end = Str("");
  EXPECT_EQ(Run(KeywordId::IsPcPlayEnd, {end}), 1);
  EXPECT_EQ(end->IntValue(), 1);
  EXPECT_TRUE(end->IsInt());
}

TEST_F(Voice, MixWritesTheResolvedOutput) {
  inst_->sndDirs[0] = "voc/";
  WriteVoice("voc/m1.WAV", AlawWave(std::string(4000, '\x55')));
  WriteVoice("voc/m2.WAV", AlawWave(std::string(2000, '\xd5')));
  EXPECT_EQ(Run(KeywordId::MixVocFile, {Str("m1"), Dbl(1.0), Int(0), Str("m2"), Dbl(1.0), Str("mix")}), 1);
  EXPECT_TRUE(Exists("voc/mix.WAV"));
}

}  // namespace
}  // namespace ivrtest
