// The software card's audio: what each far end hears from plays, links and
// conference groups, group records, and the far-end commands that show it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "platform/card/mixer.h"
#include "tests/platform/card_test_util.h"
#include "tests/support/tempdir.h"

using namespace cardtest;
using plat::SimCard;
using plat::SimCardFarEnd;
namespace card = plat::card;

namespace {

class MixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ + "/SimCard.ini", kStandardIni);
    card_ = std::make_unique<SimCard>(dir_ + "/SimCard.ini");
    far_ = std::make_unique<SimCardFarEnd>(*card_);
    ASSERT_EQ(card_->Start("", "prompt.ini"), 0) << card_->ConfigError();
    ASSERT_EQ(card_->ConfStartNew(), 0);
  }
  void TearDown() override {
    far_.reset();
    card_.reset();
  }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  // True once the channel's far end has heard these bytes in a row.
  bool Hears(int ch, const std::vector<uint8_t>& pattern) {
    return WaitFor([&] {
      card_->Push();
      auto h = far_->Heard(ch, 5000);
      return std::search(h.begin(), h.end(), pattern.begin(), pattern.end()) != h.end();
    });
  }
  bool HeardNothing(int ch, uint32_t ms = 5000) {
    auto h = far_->Heard(ch, ms);
    return std::all_of(h.begin(), h.end(), [](uint8_t b) { return b == card::kALawSilence; });
  }
  // Waits until a fed tone has been heard for a while, then reads its level.
  // Every window is cut from one snapshot: read apart, each read mixes the
  // frames due meanwhile, and on a loaded machine a tone that has only begun
  // can read alike in a short window and a longer, later one.
  double SteadyLevel(int ch) {
    double level = -99;
    EXPECT_TRUE(WaitFor([&] {
      card_->Push();
      std::vector<uint8_t> h = far_->Heard(ch, 600);
      auto tail = [&](size_t ms) { return card::LevelDbm0(std::vector<uint8_t>(h.end() - ms * 8, h.end())); };
      level = tail(200);
      return level > -90 && std::abs(level - tail(400)) < 0.3 && std::abs(level - tail(600)) < 0.3;
    }));
    return level;
  }

  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::unique_ptr<SimCard> card_;
  std::unique_ptr<SimCardFarEnd> far_;
};

std::vector<uint8_t> Pattern(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>((i * 37 + seed * 11 + i / 7) | 1);
  return v;
}

}  // namespace

TEST(CardMixer, CombineTable) {
  std::vector<uint8_t> a = Pattern(card::kFrameSamples, 1);
  std::vector<uint8_t> loud(card::kFrameSamples, card::LinearToALaw(30000));
  uint8_t out[card::kFrameSamples];
  // One source at 0 dB: its bytes exactly.
  card::Source one{a.data(), 0};
  ASSERT_TRUE(card::Combine(&one, 1, out));
  EXPECT_EQ(std::vector<uint8_t>(out, out + card::kFrameSamples), a);
  // None: nothing heard.
  EXPECT_FALSE(card::Combine(nullptr, 0, out));
  struct Case {
    const char* name;
    std::vector<card::Source> sources;
    int expect;  // linear value of the first sample, within a step
  };
  int loudLin = card::ALawToLinear(loud[0]);
  Case cases[] = {
      {"minus 6 dB halves", {{loud.data(), -6}}, loudLin / 2},
      {"plus 6 dB doubles, clipped", {{loud.data(), 6}}, 32767},
      {"two loud sources clip", {{loud.data(), 0}, {loud.data(), 0}}, 32767},
      {"minus 60 dB is the floor", {{loud.data(), -200}}, loudLin / 1000},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(card::Combine(c.sources.data(), c.sources.size(), out)) << c.name;
    int got = card::ALawToLinear(out[0]);
    int want = card::ALawToLinear(card::LinearToALaw(static_cast<int16_t>(c.expect)));
    EXPECT_NEAR(got, want, std::max(64, std::abs(want) / 16)) << c.name;
  }
}

TEST(CardMixer, TableEncoderMatchesTheCodecAndClips) {
  for (int v = -32768; v <= 32767; v++)
    ASSERT_EQ(card::EncodeALaw(v), card::LinearToALaw(static_cast<int16_t>(v))) << v;
  EXPECT_EQ(card::EncodeALaw(100000), card::LinearToALaw(32767));
  EXPECT_EQ(card::EncodeALaw(-100000), card::LinearToALaw(-32768));
}

TEST(CardMixer, ToneLevelsReadBack) {
  for (double dbm0 : {0.0, -10.0, -20.0, -30.0})
    EXPECT_NEAR(card::LevelDbm0(card::ToneALaw(1004, dbm0, 200)), dbm0, 0.3) << dbm0;
  EXPECT_EQ(card::LevelDbm0(std::vector<uint8_t>(800, card::kALawSilence)), -99);
  EXPECT_EQ(card::LevelDbm0({}), -99);
}

TEST_F(MixTest, OwnPlayIsHeardByItsFarEndOnly) {
  std::vector<uint8_t> voice = Pattern(4000, 2);
  WriteBytes(Path("v.alw"), voice);
  ASSERT_EQ(card_->ChannelPlayFile(7, Path("v.alw"), 0, -1), 0);
  // Deleted once started, as temporary voices are: what was read is still heard.
  std::vector<uint8_t> head(voice.begin(), voice.begin() + 2000);
  EXPECT_TRUE(Hears(7, head));
  EXPECT_TRUE(HeardNothing(8));
}

TEST_F(MixTest, TwoPartyLinkCarriesEachUpstreamByteForByte) {
  ASSERT_NE(card_->LinkTrunkAndTrunk(1, 2), 0);
  std::vector<uint8_t> a = Pattern(1600, 3), b = Pattern(1600, 4);
  ASSERT_TRUE(far_->Feed(1, a));
  ASSERT_TRUE(far_->Feed(2, b));
  EXPECT_TRUE(Hears(2, a));
  EXPECT_TRUE(Hears(1, b));
  auto own = far_->Heard(1, 5000);
  EXPECT_EQ(std::search(own.begin(), own.end(), a.begin(), a.end()), own.end()) << "no echo of its own voice";
  // Unlinked: what is fed now reaches nobody.
  ASSERT_NE(card_->ClearLinkTrunkAndTrunk(1), 0);
  std::vector<uint8_t> later = Pattern(800, 5);
  ASSERT_TRUE(far_->Feed(1, later));
  for (int i = 0; i < 20; i++) card_->Push();
  EXPECT_TRUE(WaitFor([&] { return HeardNothing(2, 100); }));
  auto h = far_->Heard(2, 5000);
  EXPECT_EQ(std::search(h.begin(), h.end(), later.begin(), later.end()), h.end());
}

TEST_F(MixTest, GroupMembersHearTalkersAtTheirGainsAndListenersAreNotHeard) {
  ASSERT_EQ(card_->ConfJoin(4, 0, 3, 2, -6, 100, 1), 0);   // talks at -6 dB
  ASSERT_EQ(card_->ConfJoin(4, 0, 5, 2, 0, 100, 1), 0);    // talks at 0 dB
  ASSERT_EQ(card_->ConfJoin(4, 0, 9, 1, 0, 100, 1), 0);    // listens
  ASSERT_TRUE(far_->Tone(3, 1004, -10, 5000));
  EXPECT_NEAR(SteadyLevel(5), -16, 0.7);
  EXPECT_NEAR(SteadyLevel(9), -16, 0.7);
  EXPECT_TRUE(HeardNothing(3, 200)) << "a talker does not hear itself";
  // The listener's voice reaches nobody.
  ASSERT_TRUE(far_->Feed(9, Pattern(4000, 6)));
  for (int i = 0; i < 10; i++) card_->Push();
  auto h = far_->Heard(5, 5000);
  auto p = Pattern(160, 6);
  EXPECT_EQ(std::search(h.begin(), h.end(), p.begin(), p.end()), h.end());
  // One talker at 0 dB passes its bytes unchanged.
  std::vector<uint8_t> exact = Pattern(1600, 7);
  ASSERT_TRUE(WaitFor([&] {
    card_->Push();
    return far_->HeardLevel(5, 100) < -90;
  }));
  ASSERT_TRUE(far_->Feed(5, exact));
  EXPECT_TRUE(Hears(3, exact));
  EXPECT_TRUE(Hears(9, exact));
}

TEST_F(MixTest, GroupPlayIsHeardByEveryMemberAndGroupRecordTakesTheMix) {
  ASSERT_EQ(card_->ConfJoin(2, 0, 10, 2, 0, 100, 1), 0);
  ASSERT_EQ(card_->ConfJoin(2, 0, 11, 1, 0, 100, 1), 0);
  std::vector<uint8_t> voice = Pattern(2400, 8);
  WriteBytes(Path("g.alw"), voice);
  int rec = card_->ConfRecordFile(2, Path("grec.alw"), 0, 16000);
  ASSERT_GE(rec, 0);
  int play = card_->ConfPlayFile(2, Path("g.alw"), 0, -1);
  ASSERT_GE(play, 0);
  EXPECT_TRUE(Hears(10, voice));
  EXPECT_TRUE(Hears(11, voice));
  auto voices = far_->GroupVoices();
  ASSERT_EQ(voices.size(), 2u);
  EXPECT_TRUE(std::any_of(voices.begin(), voices.end(), [&](auto& v) { return v.handle == play && !v.record && v.group == 2; }));
  EXPECT_TRUE(std::any_of(voices.begin(), voices.end(), [&](auto& v) { return v.handle == rec && v.record && v.running; }));
  ASSERT_EQ(card_->ConfStopRecord(rec), 0);
  auto got = ReadBytes(Path("grec.alw"));
  EXPECT_NE(std::search(got.begin(), got.end(), voice.begin(), voice.end()), got.end());
}

TEST_F(MixTest, GroupsCommandListsMembersModesAndGains) {
  ASSERT_EQ(card_->ConfJoin(6, 0, 1, 2, -8, 100, 1), 0);
  ASSERT_EQ(card_->ConfJoin(6, 1, 0, 1, 0, 100, 1), 0);
  auto groups = far_->Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].group, 6);
  ASSERT_EQ(groups[0].members.size(), 2u);
  EXPECT_EQ(groups[0].members[0].gain, -8);
  EXPECT_TRUE(groups[0].members[1].listen);
  EXPECT_EQ(far_->Execute("GROUPS"), "OK 6:1/talk/-8 30/listen/0");
}

TEST_F(MixTest, FarEndCommandsCheckTheirArguments) {
  struct Case {
    const char* line;
    const char* prefix;
  };
  // Files are named inside the program's folder.
  testsupport::ScopedCwd cwd(dir_);
  std::string heard = Path("h.alw");
  std::string heardCmd = "HEARD 4 h.alw 100";
  const Case cases[] = {
      {"HEARD 4", "ERR HEARD ch path"},
      {"HEARD 4 x 0", "ERR bad window"},
      {"HEARD 4 x 60001", "ERR bad window"},
      {heardCmd.c_str(), "OK 800"},
      {"LEVEL 4", "OK -99.0"},
      {"LEVEL 4 abc", "ERR bad window"},
      {"TONE 4 1004 -10", "ERR TONE"},
      {"TONE 4 5000 -10 100", "ERR frequency"},
      {"TONE 4 1004 10 100", "ERR level"},
      {"TONE 4 1004 -10 100", "OK"},
      {"TONE 99 1004 -10 100", "ERR no channel"},
      {"GROUPS", "OK"},
      {"GROUPVOICES", "OK"},
  };
  for (const Case& c : cases) {
    std::string r = far_->Execute(c.line);
    EXPECT_EQ(r.rfind(c.prefix, 0), 0u) << c.line << " -> " << r;
  }
  EXPECT_EQ(ReadBytes(heard).size(), 800u);
  std::string help = far_->Execute("HELP");
  for (const char* name : {"HEARD", "LEVEL", "TONE", "GROUPS", "GROUPVOICES"})
    EXPECT_NE(help.find(name), std::string::npos) << name;
}

TEST_F(MixTest, LineRecordTakesItsUpstreamWhileLinked) {
  ASSERT_NE(card_->LinkTrunkAndTrunk(12, 13), 0);
  std::vector<uint8_t> a = Pattern(1200, 9);
  ASSERT_NE(card_->ChannelRecordFile(12, Path("r.alw"), 0, 1200), 0);
  ASSERT_TRUE(far_->Feed(12, a));
  int voice = card_->ChannelRecordVoice(12);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  auto got = ReadBytes(Path("r.alw"));
  ASSERT_EQ(got.size(), 1200u);
  // What the record took is what the partner heard.
  auto tail = std::vector<uint8_t>(a.begin(), a.begin() + 400);
  EXPECT_NE(std::search(got.begin(), got.end(), tail.begin(), tail.end()), got.end());
  EXPECT_TRUE(Hears(13, tail));
}

TEST_F(MixTest, RecordAtAPositionPastTheFileStartsAfterSilence) {
  std::vector<uint8_t> a = Pattern(400, 10);
  ASSERT_TRUE(far_->Feed(14, a));
  ASSERT_NE(card_->ChannelRecordFile(14, Path("pos.alw"), 800, 400), 0);
  int voice = card_->ChannelRecordVoice(14);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  card_->StopChannelRecord(14);
  auto got = ReadBytes(Path("pos.alw"));
  ASSERT_EQ(got.size(), 1200u);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 800), std::vector<uint8_t>(800, card::kALawSilence));
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 800, got.end()), a);
}
