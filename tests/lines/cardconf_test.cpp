// Card lines linked to one another: conference groups of both interfaces,
// two-party switching without conference resources, gains, the host and
// member bookkeeping, and what the far ends hear.
#include <gtest/gtest.h>

#include <algorithm>

#include "lines/confline.h"
#include "tests/lines/cardtest_fixture.h"

using namespace cardtest;

namespace {

class ConfFixture : public CardFixture {
 protected:
  std::vector<plat::SimCardFarEnd::GroupInfo> Groups() { return far_->Groups(); }
  int MembersOf(int group) {
    for (auto& g : Groups())
      if (g.group == group) return static_cast<int>(g.members.size());
    return 0;
  }
};

class OldConfFixture : public ConfFixture {
 protected:
  void SetUp() override {
    ConfFixture::SetUp();
    testsupport::WriteFile(dir_ / "SimCard.ini", std::string(kStandardIni) + "ConfInterface = OLD\n");
  }
};

class OneBlockFixture : public ConfFixture {
 protected:
  void SetUp() override {
    ConfFixture::SetUp();
    testsupport::WriteFile(dir_ / "SimCard.ini", std::string(kStandardIni) + "ConfInterface = OLD\nConfGroups = 16\n");
  }
};

class NoConfFixture : public ConfFixture {
 protected:
  void SetUp() override {
    ConfFixture::SetUp();
    testsupport::WriteFile(dir_ / "Card.ini", "CONF = NO\n");
  }
};

}  // namespace

TEST(ConfGain, VolumeAndLineTypeTable) {
  struct Case {
    int volume;
    int lineType;
    bool newer;
    int gain;
  } cases[] = {
      {100, kLineDig, true, -8},   {100, kLineAEx, true, -1},  {100, kLineAIn, true, -16},
      {150, kLineDig, true, 3},    {200, kLineDig, true, -8},  {50, kLineDig, true, -19},
      {0, kLineVir, true, -28},    {100, kLineDig, false, 0},  {150, kLineDig, false, 63},
      {50, kLineAIn, false, -63},  {1, kLineDig, false, -125},
      // Very low volumes stay quiet: clamped, not wrapped round to loud.
      {-500, kLineDig, true, -128}, {-500, kLineDig, false, -128}, {-50, kLineAIn, true, -49},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ConfGainFor(c.volume, c.lineType, c.newer), c.gain)
        << "volume " << c.volume << " type " << c.lineType << (c.newer ? " newer" : " older");
}

TEST_F(ConfFixture, LinkOpensAGroupAddsMembersAndTheLastUnlinkClosesIt) {
  Open();
  TagKxCall* a = Digital(3);
  Digital(5);
  TagKxCall* u = Analog(30);
  ASSERT_EQ(a->LinkTo(5, 7), 0);
  EXPECT_EQ(a->LinkTo(5, 7), 5) << "already a member";
  EXPECT_TRUE(Logged("dest in conf, dest=5"));
  EXPECT_EQ(a->ListenTo(30, 2), 0);
  std::vector<int> lines, listen, values;
  int g = a->GetLinkList(lines, listen, values);
  ASSERT_GE(g, 0);
  EXPECT_EQ(lines, (std::vector<int>{3, 5, 30}));
  EXPECT_EQ(listen, (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(values, (std::vector<int>{1, 7, 2}));
  auto groups = Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].members[0].gain, -8);  // digital at volume 100
  EXPECT_TRUE(groups[0].members[2].listen);
  EXPECT_EQ(u->GetLinkList(lines, listen, values), g) << "a member knows its group";
  // Own line, outside the card: refused.
  EXPECT_EQ(a->ListenTo(3, 0), -1);
  EXPECT_EQ(a->LinkTo(99, 0), -1);
  EXPECT_EQ(a->UnlinkTo(-1, 0), -1);
  EXPECT_EQ(a->UnlinkTo(7, 0), -2) << "not a member";

  EXPECT_EQ(a->UnlinkTo(30, 0), 0);
  EXPECT_EQ(MembersOf(g), 2);
  EXPECT_EQ(a->UnlinkTo(5, 0), 0);
  EXPECT_TRUE(Groups().empty()) << "the opener alone left: group closed";
  EXPECT_EQ(a->GetLinkList(lines, listen, values), -1);
  EXPECT_TRUE(lines.empty());
}

TEST_F(ConfFixture, GroupNumbersAfterUnlinkAndRelinkNewerInterface) {
  Open();
  TagKxCall* a = Digital(3);
  Digital(5);
  std::vector<int> first;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(a->LinkTo(5, 0), 0);
    std::vector<int> l, li, v;
    first.push_back(a->GetLinkList(l, li, v));
    ASSERT_EQ(a->UnlinkAll(), 0);
  }
  // The newer interface goes on from the last group given.
  EXPECT_EQ(first, (std::vector<int>{1, 2, 3}));
}

TEST_F(OldConfFixture, GroupNumbersAfterUnlinkAndRelinkOlderInterface) {
  Open();
  ASSERT_EQ(drive_->newConfInterface, 0);
  TagKxCall* a = Digital(3);
  Digital(5);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(a->LinkTo(5, 0), 0);
    std::vector<int> l, li, v;
    EXPECT_EQ(a->GetLinkList(l, li, v), 0) << "the freed group is the first free one again";
    ASSERT_EQ(a->UnlinkAll(), 0);
  }
  EXPECT_TRUE(Logged("curConfId=0, res0=64, res1=64"));
}

TEST_F(OneBlockFixture, OlderInterfaceUsesTheLastFreeGroupOfABlock) {
  Open();
  ASSERT_EQ(drive_->confGroupCount, 16);
  // Fifteen groups of two; the block still has room, so its last group is given.
  for (int i = 0; i < 15; ++i) {
    int g = drive_->AllocConfGroup();
    ASSERT_EQ(g, i);
    ASSERT_EQ(drive_->AddToConf(g, i, false), 0);
    ASSERT_EQ(drive_->AddToConf(g, i + 15, false), 0);
  }
  EXPECT_EQ(drive_->AllocConfGroup(), 15);
  EXPECT_EQ(drive_->AllocConfGroup(), -1) << "every group in use";
  EXPECT_TRUE(Logged("curConfId=-1, res0=34"));
}

TEST_F(ConfFixture, MemberThatLinksItsOwnLinesDoesNotFreeItsHostsGroup) {
  Open();
  TagKxCall* host = Digital(3);
  TagKxCall* member = Digital(5);
  Digital(7);
  Digital(9);
  TagKxCall* other = Digital(11);
  ASSERT_EQ(host->LinkTo(5, 0), 0);
  std::vector<int> l, li, v;
  int g = host->GetLinkList(l, li, v);
  ASSERT_EQ(member->LinkTo(7, 0), 0);
  EXPECT_EQ(member->GetLinkList(l, li, v), g);
  EXPECT_EQ(MembersOf(g), 3);
  ASSERT_EQ(member->UnlinkTo(7, 0), 0);
  EXPECT_EQ(MembersOf(g), 2) << "host and member still talk";
  // Another pair gets a group of its own, never the host's.
  ASSERT_EQ(other->LinkTo(9, 0), 0);
  int g2 = other->GetLinkList(l, li, v);
  EXPECT_NE(g2, g);
  EXPECT_EQ(MembersOf(g), 2);
  // The member leaving asks its host to unlink it: the host is alone, its group closes.
  ASSERT_EQ(member->UnlinkAll(), 0);
  EXPECT_EQ(MembersOf(g), 0);
  EXPECT_EQ(host->GetLinkList(l, li, v), -1);
  EXPECT_EQ(MembersOf(g2), 2);
}

TEST_F(ConfFixture, FailedUnlinkReturnsItsNegativeResult) {
  Open();
  TagKxCall* a = Digital(3);
  Digital(5);
  ASSERT_EQ(a->LinkTo(5, 0), 0);
  // The channel left the group behind the driver's back.
  ASSERT_EQ(drive_->Card().ConfExit(0, 5, 0), 0);
  EXPECT_LT(a->UnlinkTo(5, 0), 0);
  EXPECT_TRUE(Logged("Err: SubToConf(type=0, ch=5)"));
}

TEST_F(ConfFixture, JoinOfAChannelStillInAGroupIsRetriedAfterTakingItOut) {
  Open();
  TagKxCall* a = Digital(3);
  Digital(5);
  ASSERT_EQ(drive_->Card().ConfJoin(20, 0, 5, 2, 0, 100, 1), 0);
  EXPECT_EQ(a->LinkTo(5, 0), 0);
  std::vector<int> l, li, v;
  int g = a->GetLinkList(l, li, v);
  EXPECT_EQ(MembersOf(g), 2);
  EXPECT_EQ(MembersOf(20), 0);
  EXPECT_TRUE(Logged("CardConf_JoinConfGroup(id=" + std::to_string(g) + ", type=0, chn=5, isListen=0, vol=-8): 0, res=0"));
}

TEST_F(ConfFixture, LinkedCallersHearEachOtherAtTheGroupGain) {
  Open();
  TagKxCall* a = Digital(3);
  Digital(5);
  Digital(7);
  ASSERT_EQ(a->LinkTo(5, 0), 0);
  ASSERT_EQ(a->ListenTo(7, 0), 0);
  ASSERT_TRUE(far_->Tone(3, 1004, -10, 3000));
  auto steady = [&](int ch, double want) {
    return WaitFor([&] {
      drive_->Card().Push();
      return std::abs(far_->HeardLevel(ch, 200) - want) < 0.7;
    });
  };
  EXPECT_TRUE(steady(5, -18)) << far_->HeardLevel(5, 200);
  EXPECT_TRUE(steady(7, -18)) << far_->HeardLevel(7, 200);
  // The listening member is not heard.
  ASSERT_TRUE(far_->Tone(7, 697, -10, 1000));
  for (int i = 0; i < 5; ++i) {
    plat::SleepMs(60);
    drive_->Card().Push();
  }
  EXPECT_EQ(far_->HeardLevel(3, 200), -99);
}

TEST_F(ConfFixture, PlayOfALinkedLineGoesIntoItsGroup) {
  Open();
  testsupport::WriteFile(dir_ / "v.wav", AlawWave(400));
  TagKxCall* a = Digital(3);
  Digital(5);
  ASSERT_EQ(a->LinkTo(5, 0), 0);
  ASSERT_EQ(a->StartLoopPlay(dir_ / "v.wav"), 0);
  auto voices = far_->GroupVoices();
  ASSERT_EQ(voices.size(), 1u);
  EXPECT_FALSE(voices[0].record);
  std::string wave = AlawWave(400);
  std::vector<uint8_t> samples(wave.end() - 1600, wave.end());
  EXPECT_TRUE(WaitFor([&] {
    drive_->Card().Push();
    auto h = far_->Heard(5, 3000);
    return std::search(h.begin(), h.end(), samples.begin(), samples.end()) != h.end();
  }));
  EXPECT_EQ(a->ReLoopPlay(), -1);
  a->StopPlay();
  EXPECT_TRUE(far_->GroupVoices().empty());
  EXPECT_EQ(a->ReLoopPlay(), -3) << "no resumed loop inside a group";
}

TEST_F(NoConfFixture, WithoutConferenceResourcesTwoPartySwitching) {
  Open();
  ASSERT_EQ(drive_->confGroupCount, 0);
  TagKxCall* a = Digital(3);
  Digital(5);
  TagKxCall* user = Analog(30);
  Analog(31);
  ASSERT_EQ(a->LinkTo(5, 4), 0);
  EXPECT_EQ(far_->Partner(3), 5);
  EXPECT_EQ(a->LinkTo(7, 0), -2) << "one partner only";
  EXPECT_EQ(a->ListenTo(5, 0), -2);
  std::vector<int> l, li, v;
  EXPECT_EQ(a->GetLinkList(l, li, v), -1);
  EXPECT_EQ(l, (std::vector<int>{5, 3}));
  EXPECT_EQ(v, (std::vector<int>{4, 1}));
  // Byte for byte both ways.
  std::vector<uint8_t> pa(800), pb(800);
  for (size_t i = 0; i < 800; ++i) {
    pa[i] = static_cast<uint8_t>(i * 3 + 1);
    pb[i] = static_cast<uint8_t>(i * 5 + 2);
  }
  ASSERT_TRUE(far_->Feed(3, pa));
  ASSERT_TRUE(far_->Feed(5, pb));
  auto hears = [&](int ch, const std::vector<uint8_t>& p) {
    return WaitFor([&] {
      drive_->Card().Push();
      auto h = far_->Heard(ch, 3000);
      return std::search(h.begin(), h.end(), p.begin(), p.end()) != h.end();
    });
  };
  EXPECT_TRUE(hears(5, pa));
  EXPECT_TRUE(hears(3, pb));
  EXPECT_EQ(a->UnlinkTo(5, 4), 0);
  EXPECT_EQ(far_->Partner(3), -1);
  EXPECT_EQ(a->UnlinkTo(5, 4), -2);
  // A user port cannot be switched to a trunk; it can to another port.
  EXPECT_EQ(user->LinkTo(3, 0), -1);
  EXPECT_TRUE(Logged("LinkTo Err: User to Trunk (0, 3)."));
  EXPECT_EQ(user->LinkTo(31, 0), 0);
  EXPECT_EQ(far_->Partner(30), 31);
  EXPECT_EQ(user->UnlinkAll(), 0);
  EXPECT_EQ(far_->Partner(30), -1);
}
