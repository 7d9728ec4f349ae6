#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "platform/card/isupmsg.h"
#include "platform/tick.h"
#include "tests/platform/card_test_util.h"
#include "tests/support/tempdir.h"

using namespace cardtest;
using plat::SimCard;
using plat::SimCardFarEnd;

namespace {

const char kIam[] = "01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 04 03 13 76 98 00";

std::vector<uint8_t> Hex(const std::string& s) {
  std::vector<uint8_t> v;
  EXPECT_TRUE(plat::card::ParseHex(s, &v));
  return v;
}

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ + "/SimCard.ini", std::string(kStandardIni) + ExtraIni());
    card_ = std::make_unique<SimCard>(dir_ + "/SimCard.ini");
    far_ = std::make_unique<SimCardFarEnd>(*card_);
    ASSERT_EQ(card_->Start("", "prompt.ini"), 0) << card_->ConfigError();
    ASSERT_EQ(card_->IsupStart(), 0);
  }
  void TearDown() override {
    far_.reset();
    card_.reset();
  }
  virtual std::string ExtraIni() { return ""; }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::unique_ptr<SimCard> card_;
  std::unique_ptr<SimCardFarEnd> far_;
};

}  // namespace

// ---------------------------------------------------------------- shape

TEST_F(CardTest, ShapeComesFromTheIniFile) {
  EXPECT_EQ(card_->InitDigitalChannels(), 0);
  EXPECT_EQ(card_->DigitalChannelCount(), 30);
  EXPECT_EQ(card_->AnalogPortCount(), 4);
  EXPECT_EQ(card_->SerialNumber(0), 20261210);
  const int types[] = {0, 0, 1, 1};
  for (int p = 0; p < 4; p++) EXPECT_EQ(card_->AnalogPortType(p), types[p]) << p;
  EXPECT_EQ(card_->AnalogPortType(4), -1);
  // Channel 45 would be link 1, slot 15: this card has one link.
  EXPECT_EQ(card_->IsupChannelState(1, 15), -1);
  EXPECT_EQ(card_->IsupChannelState(0, 29), 1);
  EXPECT_EQ(card_->IsupChannelState(0, 30), -1);
  EXPECT_EQ(card_->IsupChannelState(100000000, 0), -1);
  EXPECT_EQ(card_->IsupChannelState(-1, 0), -1);
}

TEST(CardStart, WithoutIniTheCardDoesNotOpen) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  SimCard card(dir + "/SimCard.ini");
  EXPECT_NE(card.Start("", "prompt.ini"), 0);
  EXPECT_FALSE(card.Started());
  EXPECT_EQ(card.DigitalChannelCount(), 0);
  EXPECT_EQ(card.AnalogPortCount(), 0);
  EXPECT_FALSE(card.ConfigError().empty());
  EXPECT_EQ(card.ChannelPlayFile(0, "x.wav", 200, -1), -1);
}

TEST(CardStart, ForcedResultsComeFromTheFailSection) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", std::string(kStandardIni) + "[Fail]\nStart = -7\n");
  SimCard card(dir + "/SimCard.ini");
  EXPECT_EQ(card.Start("", "prompt.ini"), -7);
  EXPECT_FALSE(card.Started());
  EXPECT_EQ(card.DigitalChannelCount(), 0);

  WriteFile(dir + "/SimCard.ini",
            std::string(kStandardIni) + "[Fail]\nISUP=-2\nFSK=-3\ncallout=0\nFax=-1\nRECORD=0\n");
  ASSERT_EQ(card.Start("", ""), 0);
  EXPECT_EQ(card.IsupStart(), -2);
  EXPECT_EQ(card.FskStart(1), -3);
  EXPECT_EQ(card.FaxStart(2048), -1);
  EXPECT_EQ(card.ChannelRecordFile(0, dir + "/r.wav", 0, 8000), 0);
}

TEST(CardConfig, ParseTable) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"[Card]\nE1Links=2\n", true},
      {"[card]\ne1links = 16\n", true},
      {"[Card]\nE1Links=17\n", true},
      {"[Card]\nE1Links = 32 ; 960 channels, the most\n", true},
      {"[Card]\nE1Links=33\n", false},
      {"[Card]\nE1Links=-1\n", false},
      {"[Card]\nAnalogPorts=USER,FOO\n", false},
      {"[Card]\nConfGroups=513\n", false},
      {"[Card]\nConfInterface=MAYBE\n", false},
      {"[Card]\nControl=udp:1\n", false},
      {"[Card]\nControl=tcp:0\n", false},
      {"[Card]\nControl=unix:/tmp/x.sock\n", true},
      {"[Card]\nFaxSpeed=1000\n", true},
      {"[Card]\nFaxSpeed=0\n", false},
      {"[Card]\nFaxSpeed=1001\n", false},
      {"[Fail]\nStart=abc\n", false},
      {"[Card\n", false},
      {"[Other]\nAnything=1\n", true},
  };
  for (const auto& c : cases) {
    plat::card::CardConfig cfg;
    std::string err;
    EXPECT_EQ(plat::card::ParseCardConfig(c.text, &cfg, &err), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(err.empty()) << c.text;
    }
  }
  plat::card::CardConfig cfg;
  ASSERT_TRUE(plat::card::ParseCardConfig(
      "[Card]\nE1Links=2\nAnalogPorts= user , trunk, type2 ,other\nConfInterface=old\nFaxSpeed=50\n[Fail]\nPlay=-9\n",
      &cfg, nullptr));
  EXPECT_EQ(cfg.e1Links, 2);
  EXPECT_EQ(cfg.portTypes, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(cfg.newConfInterface);
  EXPECT_EQ(cfg.faxSpeed, 50);
  EXPECT_EQ(cfg.fail.at("PLAY"), -9);
}

// ---------------------------------------------------------------- ISUP

TEST_F(CardTest, IncomingCallIsReadAcknowledgedAnsweredAndReleased) {
  ASSERT_TRUE(far_->IncomingIam(3, Hex(kIam))) << far_->Error();
  EXPECT_EQ(card_->IsupChannelState(0, 3), 9);
  uint8_t buf[300] = {};
  int n = card_->IsupReadRawMessage(0, 3, buf, sizeof buf);
  ASSERT_EQ(n, 21);
  EXPECT_EQ(plat::card::ToHex(buf, static_cast<size_t>(n)), kIam);
  EXPECT_EQ(card_->IsupCallingNumber(0, 3), "6789");
  EXPECT_EQ(card_->IsupCalledNumber(0, 3), "12345");
  // A short buffer gets what fits, and the count says so.
  EXPECT_EQ(card_->IsupReadRawMessage(0, 3, buf, 4), 4);

  auto acm = plat::card::BuildAcm(true, 0, "12345");
  EXPECT_EQ(card_->IsupSendRawFrame(0, 3, acm.data(), static_cast<int>(acm.size())), 15);
  EXPECT_EQ(card_->IsupChannelState(0, 3), 3);
  card_->IsupSendMessage(0, 3, 5, 2);
  EXPECT_EQ(card_->IsupChannelState(0, 3), 7);
  ASSERT_EQ(far_->Frames(3).size(), 1u);
  EXPECT_EQ(plat::card::ToHex(far_->Frames(3)[0]), "06 12 14 01 37 01 0C 29 01 01 39 02 37 C0 00");
  EXPECT_EQ(far_->Messages(3), (std::vector<std::pair<int, int>>{{5, 2}}));

  ASSERT_TRUE(far_->Release(3, 16));
  EXPECT_EQ(card_->IsupChannelState(0, 3), 2);
  EXPECT_EQ(card_->IsupReleaseCause(0, 3), 16);
  card_->IsupSendMessage(0, 3, 1, 0);
  EXPECT_EQ(card_->IsupChannelState(0, 3), 1);
}

TEST_F(CardTest, IncomingCallByNumbersAndRefusals) {
  uint8_t buf[300];
  ASSERT_TRUE(far_->IncomingCall(0, "13800138000", "8613", "95555", 3));
  EXPECT_EQ(card_->IsupCalledNumber(0, 0), "8613");
  int n = card_->IsupReadRawMessage(0, 0, buf, sizeof buf);
  plat::card::IamInfo info;
  ASSERT_EQ(plat::card::DecodeIam(buf, static_cast<size_t>(n), &info), 0);
  EXPECT_EQ(info.firstCalled, "95555");
  EXPECT_EQ(info.redirCase, 3);
  EXPECT_FALSE(far_->IncomingIam(0, Hex(kIam)));  // busy
  // An IAM shorter than its mandatory part still rings, with empty numbers.
  ASSERT_TRUE(far_->IncomingIam(4, Hex("01 00 00")));
  EXPECT_EQ(card_->IsupReadRawMessage(0, 4, buf, sizeof buf), 3);
  EXPECT_EQ(card_->IsupCalledNumber(0, 4), "");
  EXPECT_FALSE(far_->IncomingIam(1, Hex("06 12 14 01 00")));  // not an IAM
  EXPECT_FALSE(far_->IncomingIam(30, Hex(kIam)));  // an analog port
  ASSERT_TRUE(far_->Block(2));
  EXPECT_EQ(card_->IsupChannelState(0, 2), 6);
  EXPECT_FALSE(far_->IncomingIam(2, Hex(kIam)));
  EXPECT_EQ(card_->IsupCallout(0, 2, "12345", "6789"), 0);
  // A line's release leaves a blocked channel blocked.
  card_->IsupSendMessage(0, 2, 7, 0);
  EXPECT_EQ(card_->IsupChannelState(0, 2), 6);
  ASSERT_TRUE(far_->Unblock(2));
  EXPECT_EQ(card_->IsupChannelState(0, 2), 1);
}

TEST_F(CardTest, CalloutCarriesNumbersAndParameters) {
  const uint8_t params[6] = {1, 255, 255, 255, 255, 255};
  card_->IsupSetCalloutParams(0, 5, params);
  card_->IsupSetFirstCallee(0, 5, "95555");
  EXPECT_GT(card_->IsupCallout(0, 5, "13800138000", "0123456789012345678901234"), 0);
  EXPECT_EQ(card_->IsupChannelState(0, 5), 4);
  auto c = far_->Callouts(5);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].number, "13800138000");
  EXPECT_EQ(c[0].calling, "01234567890123456789");  // cut to 20
  EXPECT_EQ(c[0].firstCallee, "95555");
  EXPECT_EQ(c[0].params, std::vector<uint8_t>(params, params + 6));
  EXPECT_EQ(card_->IsupCallout(0, 5, "1", "2"), 0);  // already calling
}

TEST_F(CardTest, CalloutProgressAcmCpgAnswer) {
  ASSERT_GT(card_->IsupCallout(0, 7, "12345", "6789"), 0);
  EXPECT_EQ(card_->IsupCalloutEvents(0, 7), 0);
  auto acm = plat::card::BuildFarAcm(0x16, 0x14, 3, "95555");
  ASSERT_TRUE(far_->Acm(7, acm));
  EXPECT_EQ(card_->IsupCalloutEvents(0, 7), 0x08);
  EXPECT_EQ(card_->IsupCalloutEvents(0, 7), 0);  // reported once
  uint8_t buf[300] = {};
  int n = card_->IsupReadRawMessage(0, 7, buf, sizeof buf);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), acm);
  ASSERT_TRUE(far_->Cpg(7, 16));
  EXPECT_EQ(card_->IsupCalloutEvents(0, 7), 0x10);
  EXPECT_EQ(card_->IsupReleaseCause(0, 7), 16);
  EXPECT_EQ(card_->IsupChannelState(0, 7), 4);
  EXPECT_FALSE(far_->Answer(7, 9));
  ASSERT_TRUE(far_->Answer(7, 10));
  EXPECT_EQ(card_->IsupChannelState(0, 7), 10);
  card_->IsupSendMessage(0, 7, 7, 0);
  EXPECT_EQ(card_->IsupChannelState(0, 7), 1);
  EXPECT_FALSE(far_->Acm(7, acm));  // no call-out now
}

TEST_F(CardTest, CalloutRefusedWithEachCause) {
  for (int cause : {17, 18, 19, 1, 31, 21}) {
    SCOPED_TRACE(cause);
    ASSERT_GT(card_->IsupCallout(0, 9, "12345", "6789"), 0);
    ASSERT_TRUE(far_->Release(9, cause));
    EXPECT_EQ(card_->IsupChannelState(0, 9), 2);
    EXPECT_EQ(card_->IsupReleaseCause(0, 9), cause);
    card_->IsupSendMessage(0, 9, 1, 0);
    EXPECT_EQ(card_->IsupChannelState(0, 9), 1);
  }
}

// ---------------------------------------------------------------- play

struct PlayCase {
  const char* name;
  int tag;  // 1 PCM16, 6 A-law, 7 mu-law, 0 raw A-law
  bool extraChunk;
  int fmtSize;
};

void PrintTo(const PlayCase& c, std::ostream* os) { *os << c.name; }

class CardPlayTest : public CardTest, public ::testing::WithParamInterface<PlayCase> {};

// The expected A-law bytes of 2400 samples (0.3 s) and the file bytes.
static void MakeVoice(const PlayCase& c, std::vector<uint8_t>* file, std::vector<uint8_t>* alaw) {
  std::vector<uint8_t> data;
  alaw->clear();
  for (int i = 0; i < 2400; i++) {
    int16_t pcm = static_cast<int16_t>((i * 97) % 20000 - 10000);
    if (c.tag == 1) {
      data.push_back(static_cast<uint8_t>(pcm));
      data.push_back(static_cast<uint8_t>(pcm >> 8));
      alaw->push_back(plat::card::LinearToALaw(pcm));
    } else if (c.tag == 7) {
      uint8_t u = static_cast<uint8_t>(i * 13);
      data.push_back(u);
      alaw->push_back(plat::card::LinearToALaw(plat::card::MuLawToLinear(u)));
    } else {
      uint8_t a = static_cast<uint8_t>(i * 7);
      data.push_back(a);
      alaw->push_back(a);
    }
  }
  *file = c.tag == 0 ? data : Wave(c.tag, data, c.extraChunk, c.fmtSize);
}

TEST_P(CardPlayTest, PlayEndsAfterTheFilesLengthAndSendsItsSamples) {
  const PlayCase& c = GetParam();
  std::vector<uint8_t> file, alaw;
  MakeVoice(c, &file, &alaw);
  std::string path = Path(c.name);
  WriteBytes(path, file);
  int mode = c.tag == 0 ? 0 : 200;
  ASSERT_EQ(card_->ChannelPlayFile(4, path, mode, -1), 0);
  int voice = card_->ChannelPlayVoice(4);
  ASSERT_GE(voice, 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  auto played = far_->Played(4);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0].ms, 300u);
  EXPECT_TRUE(played[0].ended);
  EXPECT_EQ(played[0].mode, mode);
  EXPECT_EQ(far_->PlayedAudio(4), alaw);

  // From a position: the second half only.
  ASSERT_EQ(card_->ChannelPlayFile(4, path, mode + 1200, -1), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  EXPECT_EQ(far_->Played(4).back().ms, 150u);
  EXPECT_EQ(far_->PlayedAudio(4), std::vector<uint8_t>(alaw.begin() + 1200, alaw.end()));
}

INSTANTIATE_TEST_SUITE_P(Formats, CardPlayTest,
                         ::testing::Values(PlayCase{"pcm.wav", 1, false, 16}, PlayCase{"ALAW.WAV", 6, true, 18},
                                           PlayCase{"mulaw.Wav", 7, true, 20}, PlayCase{"raw.alw", 0, false, 0},
                                           PlayCase{"wave_pcm_extra.wav", 1, true, 16}),
                         [](const auto& p) {
                           std::string n = p.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST_F(CardTest, PlayRefusesWhatItCannotPlay) {
  std::vector<uint8_t> data(800, 0x55);
  auto bad = Wave(6, data, false);
  bad[24] = 0x11;  // 11025 Hz... not 8000
  bad[25] = 0x2B;
  WriteBytes(Path("rate.wav"), bad);
  auto stereo = Wave(6, data, false);
  stereo[22] = 2;
  WriteBytes(Path("stereo.wav"), stereo);
  auto nodata = Wave(6, {}, false);
  nodata.resize(36);  // format chunk, no data chunk
  WriteBytes(Path("nodata.wav"), nodata);
  for (const char* name : {"missing.wav", "rate.wav", "stereo.wav", "nodata.wav"}) {
    EXPECT_LT(card_->ChannelPlayFile(0, Path(name), 200, -1), 0) << name;
    EXPECT_LT(card_->PortPlayFile(0, Path(name), 90, -1), 0) << name;
  }
  WriteBytes(Path("ok.wav"), Wave(6, data, false));
  EXPECT_EQ(card_->ChannelPlayFile(30, Path("ok.wav"), 200, -1), -1);  // no such channel
  EXPECT_EQ(card_->PortPlayFile(4, Path("ok.wav"), 90, -1), -1);
}

TEST_F(CardTest, NamesFindTheirFilesWhateverTheCase) {
  std::filesystem::create_directory(Path("Voc"));
  WriteBytes(Path("Voc/Hello.wav"), Wave(6, std::vector<uint8_t>(80, 0x55), false));
  // As given, upper-cased, and with Windows separators.
  for (std::string name : {Path("Voc/Hello.wav"), Path("VOC/HELLO.WAV"), dir_ + "\\voc\\hello.WAV"}) {
    EXPECT_EQ(card_->ChannelPlayFile(11, name, 200, -1), 0) << name;
    EXPECT_EQ(far_->Played(11).back().file, name);
  }
}

TEST_F(CardTest, DataSizeBeyondTheFileIsCut) {
  std::vector<uint8_t> data(800, 0x55);
  auto w = Wave(6, data, false);
  w.resize(w.size() - 400);  // header still claims 800
  WriteBytes(Path("cut.wav"), w);
  ASSERT_EQ(card_->ChannelPlayFile(1, Path("cut.wav"), 200, -1), 0);
  int voice = card_->ChannelPlayVoice(1);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  EXPECT_EQ(far_->Played(1).back().ms, 50u);
  EXPECT_EQ(far_->PlayedAudio(1).size(), 400u);
}

TEST_F(CardTest, StopEndsAPlayEarlyAndAnalogPlayUsesItsOwnOffset) {
  WriteBytes(Path("long.wav"), Wave(6, std::vector<uint8_t>(80000, 0x55), false));
  ASSERT_EQ(card_->ChannelPlayFile(2, Path("long.wav"), 200, -1), 0);
  int voice = card_->ChannelPlayVoice(2);
  EXPECT_EQ(card_->VoiceFinished(voice), 0);
  EXPECT_EQ(card_->VoicePlayingFile(voice), 1);
  card_->StopChannelPlay(2);
  EXPECT_EQ(card_->VoiceFinished(voice), 1);
  EXPECT_FALSE(far_->Played(2).back().ended);

  // Analog: 90 marks a WAVE file at position 0.
  ASSERT_EQ(card_->PortPlayFile(1, Path("long.wav"), 90 + 8000, -1), 0);
  int pv = card_->PortPlayVoice(1);
  EXPECT_EQ(card_->VoiceFinished(pv), 0);
  card_->StopPortPlay(1);
  EXPECT_EQ(card_->VoiceFinished(pv), 1);
  auto played = far_->Played(31);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0].mode, 8090);
}

// ---------------------------------------------------------------- record

TEST_F(CardTest, RecordTakesWhatTheFarEndSendsUpToItsLimit) {
  ASSERT_TRUE(far_->Feed(6, std::vector<uint8_t>(100, 0x11)));
  std::string file = Path("rec.wav");
  ASSERT_NE(card_->ChannelRecordFile(6, file, 0, 800), 0);
  int voice = card_->ChannelRecordVoice(6);
  ASSERT_GE(voice, 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  card_->StopChannelRecord(6);
  auto bytes = ReadBytes(file);
  ASSERT_EQ(bytes.size(), 800u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100), std::vector<uint8_t>(100, 0x11));
  EXPECT_EQ(bytes[100], plat::card::kALawSilence);

  // A record position continues the file there.
  ASSERT_NE(card_->ChannelRecordFile(6, file, 800, 400), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  card_->StopChannelRecord(6);
  bytes = ReadBytes(file);
  ASSERT_EQ(bytes.size(), 1200u);
  EXPECT_EQ(bytes[0], 0x11);
}

TEST_F(CardTest, StoppedRecordKeepsWhatWasRecorded) {
  std::string file = Path("stop.wav");
  ASSERT_NE(card_->ChannelRecordFile(6, file, 0, 80000), 0);
  ASSERT_TRUE(WaitFor([&] {
    card_->Push();
    return std::filesystem::file_size(file) > 0;
  }));
  card_->StopChannelRecord(6);
  auto size = std::filesystem::file_size(file);
  EXPECT_GT(size, 0u);
  EXPECT_LT(size, 80000u);
  EXPECT_EQ(card_->ChannelRecordVoice(6), -1);  // freed by the stop
  // The analog record reports failure with a negative result.
  EXPECT_LT(card_->PortRecordFile(0, dir_ + "/no/such/dir/r.wav", 0, 800), 0);
  EXPECT_EQ(card_->ChannelRecordFile(0, dir_ + "/no/such/dir/r.wav", 0, 800), 0);
  ASSERT_GE(card_->PortRecordFile(0, Path("port.wav"), 0, 80), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(card_->PortRecordVoice(0)) != 0; }));
  card_->StopPortRecord(0);
  EXPECT_EQ(std::filesystem::file_size(Path("port.wav")), 80u);
}

// ---------------------------------------------------------------- keys

namespace {

// Reads keys as they arrive until `count` have come or the wait ends.
std::string ReadKeysAsTheyCome(const std::function<int()>& read, size_t count) {
  std::string got;
  WaitFor([&] {
    for (int k; (k = read()) != 0;) got.push_back(static_cast<char>(k));
    return got.size() >= count;
  });
  return got;
}

}  // namespace

TEST_F(CardTest, KeysInAndOut) {
  auto channel8 = [&] { return card_->ReadChannelDtmf(8); };
  ASSERT_TRUE(far_->Dtmf(8, "1x#a*"));
  EXPECT_EQ(ReadKeysAsTheyCome(channel8, 4), "1#a*");
  EXPECT_EQ(card_->ReadChannelDtmf(8), 0);
  // A clear drops the keys still to come as well.
  ASSERT_TRUE(far_->Dtmf(8, "99"));
  card_->ClearChannelDtmf(8);
  plat::SleepMs(3 * plat::card::kDtmfInMs);
  EXPECT_EQ(card_->ReadChannelDtmf(8), 0);

  // Analog ports do not report the lower-case keys.
  ASSERT_TRUE(far_->Dtmf(30, "5aD"));
  EXPECT_EQ(ReadKeysAsTheyCome([&] { return card_->ReadPortDtmf(0); }, 2), "5D");

  // Ten keys take about a second to go out.
  ASSERT_EQ(card_->SendChannelDtmf(8, "1234567890"), 0);
  EXPECT_EQ(card_->ChannelDtmfSent(8), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->ChannelDtmfSent(8) != 0; }));
  ASSERT_EQ(card_->SendChannelDtmf(8, "#x*"), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->ChannelDtmfSent(8) != 0; }));
  EXPECT_EQ(far_->DtmfSent(8), "1234567890#*");
}

TEST_F(CardTest, FarEndKeysArriveAtALinesPace) {
  const uint32_t pace = plat::card::kDtmfInMs;
  // Reads `keys` as they come and checks that each came no sooner than one
  // tone and pause after the one before, counting from `queued`.
  auto expectPaced = [&](const std::string& keys, uint32_t queued) {
    std::string got;
    std::vector<uint32_t> at;
    EXPECT_TRUE(WaitFor([&] {
      for (int k; (k = card_->ReadChannelDtmf(8)) != 0;) {
        got.push_back(static_cast<char>(k));
        at.push_back(plat::TickCount());
      }
      return got.size() >= keys.size();
    }));
    EXPECT_EQ(got, keys);
    for (size_t i = 0; i < at.size(); i++) EXPECT_GE(at[i] - queued, i * pace) << "key " << i;
  };
  uint32_t queued = plat::TickCount();
  ASSERT_TRUE(far_->Dtmf(8, "0123456789"));
  expectPaced("0123456789", queued);

  // A key the line left unread does not make the next ones come in a burst.
  ASSERT_TRUE(far_->Dtmf(8, "*"));
  plat::SleepMs(3 * pace);
  queued = plat::TickCount();
  ASSERT_TRUE(far_->Dtmf(8, "123"));
  EXPECT_EQ(card_->ReadChannelDtmf(8), '*');
  expectPaced("123", queued);
}

TEST_F(CardTest, KeyQueueTakesAWholeCommandOrNothing) {
  const std::string full(1024, '1');
  EXPECT_FALSE(far_->Dtmf(8, full + "2"));
  EXPECT_EQ(far_->Error(), "key queue full: 1025 keys, room for 1024, none queued");
  ASSERT_TRUE(far_->Dtmf(8, full.substr(0, 1000)));
  EXPECT_FALSE(far_->Dtmf(8, std::string(25, '3')));
  EXPECT_EQ(far_->Error(), "key queue full: 25 keys, room for 24, none queued");
  // Characters that are no keys take no room.
  EXPECT_TRUE(far_->Dtmf(8, "x" + std::string(24, '4') + ","));
  EXPECT_FALSE(far_->Dtmf(8, "5"));
  // The refused commands left nothing behind.
  EXPECT_EQ(ReadKeysAsTheyCome([&] { return card_->ReadChannelDtmf(8); }, 1), "1");
}

TEST_F(CardTest, ReleaseDropsTheKeysStillToCome) {
  ASSERT_TRUE(far_->IncomingCall(8, "6789", "12345"));
  ASSERT_TRUE(far_->Dtmf(8, std::string(1024, '7')));
  ASSERT_TRUE(far_->Release(8, 16));
  plat::SleepMs(3 * plat::card::kDtmfInMs);
  std::string got;
  for (int k; (k = card_->ReadChannelDtmf(8)) != 0;) got.push_back(static_cast<char>(k));
  EXPECT_LT(got.size(), 1024u);
  plat::SleepMs(3 * plat::card::kDtmfInMs);
  EXPECT_EQ(card_->ReadChannelDtmf(8), 0);
  // A new call's keys are not held up behind the dropped ones.
  card_->IsupSendMessage(0, 8, plat::card::kMsgReleaseComplete, 0);
  ASSERT_TRUE(far_->IncomingCall(8, "6789", "12345"));
  ASSERT_TRUE(far_->Dtmf(8, "5"));
  EXPECT_EQ(ReadKeysAsTheyCome([&] { return card_->ReadChannelDtmf(8); }, 1), "5");
}

// ---------------------------------------------------------------- analog

TEST_F(CardTest, UserPortRingsSendsFskAndFollowsTheHandset) {
  ASSERT_EQ(card_->FskStart(1), 0);
  EXPECT_EQ(card_->HookState(0), 0);
  ASSERT_EQ(card_->StartRing(0), 0);
  int starts = 0;
  EXPECT_TRUE(far_->Ringing(30, &starts));
  EXPECT_EQ(starts, 1);
  std::vector<uint8_t> msg(22, 0x31);
  ASSERT_EQ(card_->FskSend(0, msg.data(), static_cast<int>(msg.size()), 1), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->FskSendStatus(0, 1) != 0; }));
  card_->FskStop(0, 1);
  ASSERT_EQ(far_->FskMessages(30).size(), 1u);
  EXPECT_EQ(far_->FskMessages(30)[0], msg);
  EXPECT_LT(card_->FskSend(0, msg.data(), 0, 1), 0);

  ASSERT_TRUE(far_->Hook(30, true));
  EXPECT_FALSE(far_->Ringing(30));
  EXPECT_EQ(card_->HookState(0), 1);
  EXPECT_EQ(card_->StartRing(0), 0);  // off hook: no bell
  EXPECT_FALSE(far_->Ringing(30));
  ASSERT_TRUE(far_->Hook(30, false));
  EXPECT_EQ(card_->HookState(0), 0);
  EXPECT_FALSE(far_->Hook(32, true));  // a trunk port has no handset here
  EXPECT_LT(card_->StartRing(2), 0);
}

TEST_F(CardTest, TrunkPortDialsWhenOffHookAndConnects) {
  EXPECT_EQ(card_->PortDial(2, "5551234"), 0);  // on hook
  EXPECT_LT(card_->PortDial(0, "5551234"), 0);  // a user port does not dial
  card_->PortOnHook(2);
  card_->PortOffHook(2);
  EXPECT_TRUE(far_->TrunkOffHook(32));
  EXPECT_GT(card_->PortDial(2, "5551234"), 0);
  EXPECT_EQ(far_->Dialled(32), "5551234");
  EXPECT_EQ(card_->PortConnected(2), 0);
  ASSERT_TRUE(far_->Answer(32));
  EXPECT_EQ(card_->PortConnected(2), 1);
  card_->PortOnHook(2);
  EXPECT_EQ(card_->PortConnected(2), 0);
  EXPECT_FALSE(far_->Answer(32));  // on hook now
}

// ---------------------------------------------------------------- switching

TEST_F(CardTest, TwoPartySwitching) {
  EXPECT_NE(card_->LinkTrunkAndTrunk(0, 1), 0);
  EXPECT_EQ(far_->Partner(0), 1);
  EXPECT_EQ(card_->LinkTrunkAndTrunk(0, 2), 0);  // 0 is taken
  EXPECT_EQ(card_->LinkTrunkAndTrunk(3, 3), 0);
  EXPECT_NE(card_->ClearLinkTrunkAndTrunk(1), 0);
  EXPECT_EQ(far_->Partner(0), -1);
  EXPECT_EQ(card_->TrunkLinkedUser(0), -1);
  EXPECT_NE(card_->LinkTrunkAndUser(0, 2), 0);
  EXPECT_EQ(card_->TrunkLinkedUser(0), 2);
  EXPECT_NE(card_->ClearLinkTrunkAndUserByTrunk(0), 0);
  EXPECT_EQ(card_->TrunkLinkedUser(0), -1);
  EXPECT_NE(card_->LinkUserAndUser(0, 1), 0);
  EXPECT_EQ(far_->Partner(30), 31);
  EXPECT_NE(card_->ClearLinkUserAndUser(1), 0);
  EXPECT_EQ(far_->Partner(30), -1);
  EXPECT_EQ(card_->ClearLinkUserAndUser(1), 0);
}

TEST_F(CardTest, ConferenceNewInterface) {
  EXPECT_LT(card_->ConfStartOld(), 0);
  ASSERT_EQ(card_->ConfStartNew(), 0);
  uint8_t info[16] = {};
  ASSERT_EQ(card_->ConfInfoNew(info, sizeof info), 0);
  EXPECT_EQ(info[4] | (info[5] << 8), 32);
  EXPECT_EQ(card_->ConfSetup(1, 0), 0);
  EXPECT_EQ(card_->ConfJoin(5, 0, 3, 2, -8, 100, 1), 0);
  EXPECT_EQ(card_->ConfTalkSetup(0, 3, 0), 0);
  EXPECT_EQ(card_->ConfJoin(5, 1, 0, 1, 0, 0, 1), 0);
  bool listen = false;
  EXPECT_EQ(far_->Group(30, &listen), 5);
  EXPECT_TRUE(listen);
  EXPECT_EQ(card_->ConfJoin(6, 0, 3, 2, 0, 100, 1), -5);  // still in group 5
  EXPECT_EQ(card_->ConfLastResult(), -5);
  EXPECT_EQ(card_->ConfGroupOfNew(0, 3) & 0xFFFF, 5);
  EXPECT_EQ(card_->ConfExit(0, 3, 1), 0);
  EXPECT_LT(card_->ConfGroupOfNew(0, 3), 0);
  EXPECT_EQ(card_->ConfJoin(32, 0, 3, 2, 0, 100, 1), -1);  // no such group
  EXPECT_EQ(card_->ConfFreeGroupNew(5), 0);
  EXPECT_EQ(far_->Group(30), -1);

  WriteBytes(Path("conf.wav"), Wave(6, std::vector<uint8_t>(800, 0x55), false));
  int h = card_->ConfPlayFile(5, Path("conf.wav"), 0, -1);
  ASSERT_GE(h, 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(h) != 0; }));
  EXPECT_EQ(card_->ConfStopPlay(h), 0);
  EXPECT_LT(card_->ConfPlayFile(5, Path("none.wav"), 0, -1), 0);
  int r = card_->ConfRecordFile(5, Path("confrec.wav"), 0, 160);
  ASSERT_GE(r, 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(r) != 0; }));
  EXPECT_EQ(card_->ConfStopRecord(r), 0);
  EXPECT_EQ(std::filesystem::file_size(Path("confrec.wav")), 160u);
}

class CardOldConfTest : public CardTest {
  std::string ExtraIni() override { return "ConfInterface = OLD\nConfGroups = 40\n"; }
};

TEST_F(CardOldConfTest, ConferenceOlderInterface) {
  EXPECT_LT(card_->ConfStartNew(), 0);
  ASSERT_EQ(card_->ConfStartOld(), 0);
  uint8_t block[8] = {};
  ASSERT_EQ(card_->ConfResourcesOld(block, sizeof block), 0);
  EXPECT_EQ(block[4] | (block[5] << 8), 40);
  EXPECT_EQ(card_->ConfBlockCount(0), 64);  // free member places, four a group
  EXPECT_EQ(card_->ConfBlockCount(2), 32);  // groups 32..39
  EXPECT_EQ(card_->ConfEnter(3, 0, 0, 1, 0, 0), 0);
  EXPECT_EQ(card_->ConfBlockCount(0), 63);
  EXPECT_EQ(card_->ConfGroupOfOld(0, 1), 3);
  EXPECT_EQ(card_->ConfEnter(4, 0, 0, 1, 0, 0), -5);
  EXPECT_EQ(card_->ConfLeave(0, 1), 0);
  EXPECT_EQ(card_->ConfGroupOfOld(0, 1), -1);
  EXPECT_EQ(card_->ConfFreeGroupOld(3), 0);
}

// ---------------------------------------------------------------- fax

TEST_F(CardTest, FaxPoolLinksSendsAndReceives) {
  ASSERT_EQ(card_->FaxStart(2048), 0);
  EXPECT_EQ(card_->FaxChannelCount(), 2);
  int fax = card_->FaxFreeChannel();
  ASSERT_EQ(fax, 0);
  ASSERT_NE(card_->FaxLinkToTrunk(fax, 4), 0);
  EXPECT_EQ(card_->FaxLinkToTrunk(fax, 5), 0);  // taken
  EXPECT_EQ(card_->FaxFreeChannel(), 1);
  card_->FaxSetId(fax, "0123456789012345678901234");
  EXPECT_EQ(card_->FaxSend(fax, Path("none.tif")), 0);
  WriteFile(Path("page.tif"), "II*");
  ASSERT_GT(card_->FaxSend(fax, Path("page.tif")), 0);
  EXPECT_EQ(card_->FaxState(fax), 0);
  auto faxes = far_->Faxes();
  EXPECT_EQ(faxes[0].line, 4);
  EXPECT_TRUE(faxes[0].running);
  EXPECT_EQ(faxes[0].id, "01234567890123456789");
  ASSERT_TRUE(far_->FaxEnd(fax, 1));
  EXPECT_EQ(card_->FaxState(fax), 1);
  card_->FaxStop(fax);
  card_->FaxUnlink(fax, 4);
  EXPECT_EQ(card_->FaxFreeChannel(), 0);

  ASSERT_NE(card_->FaxLinkToUser(1, 0), 0);
  ASSERT_GT(card_->FaxRecv(1, Path("in.tif")), 0);
  ASSERT_TRUE(far_->FaxEnd(1, 1));
  EXPECT_EQ(card_->FaxState(1), 1);
  EXPECT_EQ(card_->FaxRecvResult(1), 1);
  EXPECT_TRUE(std::filesystem::exists(Path("in.tif")));
  ASSERT_GT(card_->FaxRecv(1, Path("in2.tif")), 0);
  ASSERT_TRUE(far_->FaxEnd(1, -4));
  EXPECT_EQ(card_->FaxState(1), -4);
}

class CardNoFaxTest : public CardTest {
  std::string ExtraIni() override { return "FaxChannels = 0\nConfGroups = 0\n"; }
};

TEST_F(CardNoFaxTest, NoFaxNoConference) {
  EXPECT_LT(card_->FaxStart(2048), 0);
  EXPECT_EQ(card_->FaxChannelCount(), 0);
  EXPECT_EQ(card_->FaxFreeChannel(), -1);
  EXPECT_LT(card_->ConfStartNew(), 0);
  EXPECT_LT(card_->ConfStartOld(), 0);
  EXPECT_LT(card_->ConfJoin(0, 0, 0, 2, 0, 100, 1), 0);
}

// ---------------------------------------------------------------- lock

TEST_F(CardTest, CardLockIsReentrantAndExcludesOtherThreads) {
  std::atomic<bool> done{false};
  card_->Lock();
  card_->Lock();
  EXPECT_EQ(card_->DigitalChannelCount(), 30);  // a call under the held lock
  std::thread other([&] {
    card_->Push();
    done = true;
  });
  plat::SleepMs(100);
  EXPECT_FALSE(done.load());
  card_->Unlock();
  plat::SleepMs(50);
  EXPECT_FALSE(done.load());
  card_->Unlock();
  EXPECT_TRUE(WaitFor([&] { return done.load(); }));
  other.join();
  EXPECT_EQ(card_->PushCount(), 1u);
  // The outer hold of about 150 ms is counted once.
  EXPECT_GE(card_->LockHeldNs(), 100u * 1000 * 1000);
}

// The channel release a digital line makes: a trunk-user link is cleared; a
// held record voice is stopped (which frees the play too); else a play voice
// that plays a file is stopped.
static void FreeChannel(SimCard& card, int ch) {
  plat::CardLock g(card);
  if (card.TrunkLinkedUser(ch) >= 0) card.ClearLinkTrunkAndUserByTrunk(ch);
  if (card.ChannelRecordVoice(ch) >= 0) {
    card.StopChannelRecord(ch);
  } else if (int v = card.ChannelPlayVoice(ch); v >= 0) {
    if (card.VoicePlayingFile(v) == 1) {
      card.StopChannelPlay(ch);
    } else if (card.VoicePlayingIndex(v) == 1) {
      card.StopChannelIndexPlay(ch);
      card.StopChannelPlay(ch);
      card.FreeVoice(v);
    }
  }
}

TEST_F(CardTest, ChannelReleaseSequenceEndsPlayRecordAndLink) {
  WriteBytes(Path("long.wav"), Wave(6, std::vector<uint8_t>(80000, 0x55), false));
  int voice = card_->ChannelPlayVoice(10);
  EXPECT_EQ(card_->ChannelRecordVoice(10), -1);

  // Play only.
  ASSERT_EQ(card_->ChannelPlayFile(10, Path("long.wav"), 200, -1), 0);
  ASSERT_NE(card_->LinkTrunkAndUser(10, 3), 0);
  FreeChannel(*card_, 10);
  EXPECT_EQ(card_->VoiceFinished(voice), 1);
  EXPECT_EQ(card_->TrunkLinkedUser(10), -1);

  // Play and an asynchronous record together.
  ASSERT_EQ(card_->ChannelPlayFile(10, Path("long.wav"), 200, -1), 0);
  ASSERT_NE(card_->ChannelRecordFile(10, Path("async.alw"), 0, 80000), 0);
  int rv = card_->ChannelRecordVoice(10);
  ASSERT_GE(rv, 0);
  EXPECT_EQ(card_->VoiceFinished(rv), 0);
  FreeChannel(*card_, 10);
  EXPECT_EQ(card_->VoiceFinished(voice), 1);
  EXPECT_EQ(card_->VoiceFinished(rv), 1);
  EXPECT_EQ(card_->ChannelRecordVoice(10), -1);

  // A record that reached its limit keeps its voice until it is stopped.
  ASSERT_NE(card_->ChannelRecordFile(10, Path("short.alw"), 0, 16), 0);
  rv = card_->ChannelRecordVoice(10);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(rv) != 0; }));
  EXPECT_EQ(card_->ChannelRecordVoice(10), rv);
  FreeChannel(*card_, 10);
  EXPECT_EQ(card_->ChannelRecordVoice(10), -1);
}

TEST(CardConfig, SampleInstallationIniIsValid) {
  plat::card::CardConfig cfg;
  std::string err;
  ASSERT_TRUE(plat::card::ReadCardConfig(std::string(RODIZ_SOURCE_DIR) + "/samples/SimCard.ini", &cfg, &err))
      << err;
  EXPECT_EQ(cfg.e1Links, 1);
  EXPECT_EQ(cfg.portTypes.size(), 4u);
  EXPECT_EQ(cfg.control, "unix:simcard.sock");
}

TEST_F(CardTest, RecordAcrossWriteBlocksKeepsTheFedAudioInOrder) {
  std::vector<uint8_t> fed(9000);
  for (size_t i = 0; i < fed.size(); i++) fed[i] = static_cast<uint8_t>(i * 7 + i / 256);
  ASSERT_TRUE(far_->Feed(12, fed));
  ASSERT_NE(card_->ChannelRecordFile(12, Path("blocks.alw"), 0, 9000), 0);
  int voice = card_->ChannelRecordVoice(12);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(voice) != 0; }));
  card_->StopChannelRecord(12);
  EXPECT_EQ(ReadBytes(Path("blocks.alw")), fed);
}

class CardQuickFaxTest : public CardTest {
  std::string ExtraIni() override { return "FaxSeconds = 0\n"; }
};

TEST_F(CardQuickFaxTest, FaxEndsByItselfAfterItsTime) {
  ASSERT_EQ(card_->FaxStart(2048), 0);
  ASSERT_NE(card_->FaxLinkToTrunk(1, 0), 0);
  ASSERT_GT(card_->FaxRecv(1, Path("got.tif")), 0);
  EXPECT_EQ(card_->FaxState(1), 1);
  EXPECT_EQ(card_->FaxRecvResult(1), 1);
  EXPECT_TRUE(std::filesystem::exists(Path("got.tif")));
  EXPECT_FALSE(far_->FaxEnd(1, 1));  // already over
  // A reception into a file that cannot be made fails.
  ASSERT_GT(card_->FaxRecv(1, dir_ + "/no/dir/got.tif"), 0);
  EXPECT_LT(card_->FaxState(1), 0);
}
