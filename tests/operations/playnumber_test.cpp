#include <gtest/gtest.h>

#include <filesystem>

#include "core/log.h"
#include "core/runcfg.h"
#include "lines/memvocs.h"
#include "operations/voice.h"
#include "tests/operations/ivr_fixture.h"

namespace ivrtest {
namespace {

const char* const kStems[] = {"0",   "1",    "2",   "3",   "4",    "5",     "6",       "7",       "8",
                              "9",   "shi",  "bai", "qian", "wan", "yyi",   "dian",    "yuan",    "jiao",
                              "fen", "li",   "nian", "yue", "ri",  "miao",  "xiaoshi", "10",      "11",
                              "12",  "13",   "14",  "15",  "16",   "17",    "18",      "19",      "20",
                              "30",  "40",   "50",  "60",  "70",   "80",    "90",      "hundred", "thousand",
                              "million", "billion", "and"};

// Each voice's audio is its stem in brackets, so the joined data spells the
// sequence that was read.
std::string Audio(const std::string& stem) { return "[" + stem + "]"; }

class PlayNumber : public IvrFixture {
 protected:
  void SetUp() override {
    IvrFixture::SetUp();
    for (const char* dir : {"voc/ch/", "voc/en/"})
      for (const char* s : kStems) WriteVoice(std::string(dir) + s + ".WAV", AlawWave(Audio(s)));
    inst_->sndDirs[0] = "voc/ch/";
    inst_->sndDirs[2] = "voc/en/";
  }
  void TearDown() override {
    GlobalMemVocs().UnloadAll();
    IvrFixture::TearDown();
  }
  // What the line heard: the data of the played file, as bracketed stems.
  std::string Heard(size_t i = 0) {
    if (i >= call_.played.size()) return "<nothing>";
    const std::string& b = call_.played[i].bytes;
    return b.size() < 46 ? "<short>" : b.substr(46);
  }
};

std::string Spoken(std::initializer_list<const char*> stems) {
  std::string s;
  for (const char* st : stems) s += Audio(st);
  return s;
}

TEST_F(PlayNumber, ReadsTheIssuesTable) {
  struct Case {
    const char* text;
    int mode;
    int lang;
    std::string heard;
  } cases[] = {
      {"123", 0, 0, Spoken({"1", "bai", "2", "shi", "3"})},
      {"12.", 0, 0, Spoken({"shi", "2"})},
      {"1010", 0, 0, Spoken({"1", "qian", "0", "1", "shi"})},
      {"102030405", 0, 0, Spoken({"1", "yyi", "0", "2", "bai", "0", "3", "wan", "0", "4", "bai", "0", "5"})},
      {"12.34", 1, 0, Spoken({"shi", "2", "yuan", "3", "jiao", "4", "fen"})},
      {"20140311", 3, 0, Spoken({"2", "0", "1", "4", "nian", "3", "yue", "shi", "1", "ri"})},
      {"1:02:03", 5, 0, Spoken({"1", "xiaoshi", "2", "fen", "3", "miao"})},
      {"9:05", 4, 0, Spoken({"9", "dian", "5", "fen"})},
      {"13.5a", 2, 0, Spoken({"1", "3", "dian", "5"})},
      {"1234", 0, 2, Spoken({"1", "thousand", "2", "hundred", "and", "30", "4"})},
      {"100005", 0, 2, Spoken({"1", "hundred", "thousand", "5"})},
      {"2147483647", 0, 2,
       Spoken({"2", "billion", "1", "hundred", "and", "40", "7", "million", "4", "hundred", "and", "80", "3",
               "thousand", "6", "hundred", "and", "40", "7"})},
      // Forty digits saturate instead of wrapping.
      {"9999999999999999999999999999999999999999", 0, 2,
       Spoken({"2", "billion", "1", "hundred", "and", "40", "7", "million", "4", "hundred", "and", "80", "3",
               "thousand", "6", "hundred", "and", "40", "7"})},
  };
  for (const Case& c : cases) {
    call_.played.clear();
    inst_->language = c.lang;
    EXPECT_EQ(Run(KeywordId::PlayNumber, {Str(c.text), Int(c.mode)}), 0) << c.text;
    EXPECT_EQ(Heard(), c.heard) << c.text << " mode " << c.mode;
  }
}

TEST_F(PlayNumber, NothingToReadOrInvalidPlaysNothing) {
  testsupport::TempDir logDir;
  SetLogWriter(std::make_shared<TagWriteLog>(logDir / "log.txt", 2100000, true, true));
  struct Case {
    const char* text;
    int mode;
    int lang;
    bool logged;
  } cases[] = {
      {"20140311", 3, 2, true},   // no dates in English
      {"9:05", 4, 2, true},
      {"2014-13-01", 3, 0, false},
      {"25:00", 4, 0, false},
      {"1234567890-1", 3, 0, false},  // a date part of ten digits
      {"12", 9, 0, true},  // an unknown mode reads nothing
      {"abc", 2, 0, true},
  };
  for (const Case& c : cases) {
    inst_->language = c.lang;
    EXPECT_EQ(Run(KeywordId::PlayNumber, {Str(c.text), Int(c.mode)}), -1) << c.text;
  }
  SetLogWriter(nullptr);
  EXPECT_TRUE(call_.played.empty());
  std::string log = testsupport::ReadFile(logDir / "log.txt");
  for (const Case& c : cases) {
    std::string line = std::string("TagPlayNumber('") + c.text + "'): fCount=0";
    EXPECT_EQ(log.find(line) != std::string::npos, c.logged) << c.text << "\n" << log;
  }
}

TEST_F(PlayNumber, TemporaryFileHeaderFlagsAndDeletion) {
  inst_->breakOnKey = 0;
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Dbl(12.5), Int(0)}), 0);
  ASSERT_EQ(call_.played.size(), 1u);
  const auto& p = call_.played[0];
  EXPECT_EQ(p.file, "voc/ch/t3.WAV");
  EXPECT_EQ(p.breakOnKey, 0);
  EXPECT_EQ(p.flag, 0);
  std::string want = Spoken({"shi", "2", "dian", "5"});
  ASSERT_EQ(p.bytes.size(), 46 + want.size());
  EXPECT_EQ(p.bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32At(p.bytes, 4), p.bytes.size() - 8);
  EXPECT_EQ(Le32At(p.bytes, 16), 18u);
  EXPECT_EQ(Le32At(p.bytes, 42), want.size());
  EXPECT_FALSE(Exists("voc/ch/t3.WAV"));

  // PcPlayNumber, and PlayNumber compiled for a virtual line, play on the PC.
  EXPECT_EQ(Run(KeywordId::PcPlayNumber, {Str("5"), Int(0)}), 0);
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("5"), Int(0)}, kLineVir), 0);
  ASSERT_EQ(call_.played.size(), 3u);
  EXPECT_EQ(call_.played[1].flag, 1);
  EXPECT_EQ(call_.played[2].flag, 1);
}

TEST_F(PlayNumber, PreloadedVoicesStillPlayWhereMemoryIsNotPlayed) {
  for (const char* s : {"1", "bai", "2", "shi", "3"})
    ASSERT_GT(Run(KeywordId::LoadVocFile, {Str(s), Int(1)}), 0) << s;
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("123"), Int(0)}), 0);
  EXPECT_EQ(Heard(), Spoken({"1", "bai", "2", "shi", "3"}));
  EXPECT_TRUE(call_.memoryPlays.empty());
}

TEST_F(PlayNumber, MemoryPathJoinsPreloadedVoices) {
  call_.playsMemory = true;
  // Voices long enough to lose a 90-byte head, and one shorter than that.
  WriteVoice("voc/ch/1.WAV", std::string(100, '1'));
  WriteVoice("voc/ch/bai.WAV", std::string(95, 'b'));
  WriteVoice("voc/ch/2.WAV", std::string(50, '2'));
  for (const char* s : {"1", "bai", "2"}) ASSERT_GT(Run(KeywordId::LoadVocFile, {Str(s), Int(0)}), 0) << s;
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("120"), Int(0)}), 0);  // 1 bai 2 shi: shi not loaded
  ASSERT_EQ(call_.memoryPlays.size(), 1u);
  EXPECT_EQ(call_.memoryPlays[0], std::string(100, '1') + std::string(5, 'b'));
  EXPECT_TRUE(call_.played.empty());
  EXPECT_FALSE(Exists("voc/ch/t3.WAV"));
  // The PC flag always goes through the file.
  EXPECT_EQ(Run(KeywordId::PcPlayNumber, {Str("120"), Int(0)}), 0);
  EXPECT_EQ(call_.played.size(), 1u);
}

TEST_F(PlayNumber, PlayToFileAppendsWithoutPlaying) {
  ASSERT_EQ(Run(KeywordId::SetPlayToFile, {Int(1)}), 0);
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("15"), Int(0)}), 0);
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("2"), Int(2)}), 0);
  EXPECT_TRUE(call_.played.empty());
  std::string out = Read("voc/ch/t3.WAV");
  EXPECT_EQ(out.substr(46), Spoken({"shi", "5", "2"}));
  EXPECT_EQ(Le32At(out, 4), out.size() - 8);
}

TEST_F(PlayNumber, UnopenableTemporaryFile) {
  inst_->sndDirs[0] = "missing/";
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("5"), Int(0)}), -2);
  EXPECT_TRUE(call_.played.empty());
}

TEST_F(PlayNumber, AMissingVoiceIsSkipped) {
  std::filesystem::remove(dir_ / "voc/ch/bai.WAV");
  EXPECT_EQ(Run(KeywordId::PlayNumber, {Str("123"), Int(0)}), 0);
  EXPECT_EQ(Heard(), Spoken({"1", "2", "shi", "3"}));
}

}  // namespace
}  // namespace ivrtest
