// Play, record, keys and the card push of a digital channel, through the far end.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "lines/cardkeys.h"
#include "platform/wave.h"
#include "tests/lines/cardtest_fixture.h"

using cardtest::CardFixture;
using cardtest::WaitFor;

namespace {

class CardMedia : public CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    Open();
    testsupport::WriteFile(dir_ / "Short.wav", cardtest::AlawWave(1000));
    testsupport::WriteFile(dir_ / "long.wav", cardtest::AlawWave(5000));
  }
  // The data chunk of a WAVE file written by the line, or "" when the file is not one.
  std::string WaveData(const std::string& name) {
    std::string f = testsupport::ReadFile(dir_ / name);
    if (f.size() < 46 || f.compare(0, 4, "RIFF") != 0 || f.compare(8, 4, "WAVE") != 0) return "";
    uint32_t riff = static_cast<uint8_t>(f[4]) | static_cast<uint8_t>(f[5]) << 8 | static_cast<uint8_t>(f[6]) << 16 |
                    static_cast<uint32_t>(static_cast<uint8_t>(f[7])) << 24;
    EXPECT_EQ(riff, f.size() - 8);
    EXPECT_EQ(f[20], 6);  // A-law
    return f.substr(46);
  }
};

TEST_F(CardMedia, PlayEndsAfterTheFilesLength) {
  TagCardIsupCall* c = Digital(1);
  Connect(c);
  uint32_t start = plat::TickCount();
  // Named in another case than on disk: the card gets the name as it resolves.
  EXPECT_EQ(c->PlayFile("short.WAV", 1, 0), 1);
  EXPECT_GE(plat::TickCount() - start, 900u);
  auto played = far_->Played(1);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0].file, "Short.wav");
  EXPECT_EQ(played[0].mode, 200);
  EXPECT_TRUE(played[0].ended);
  EXPECT_EQ(c->chPlayActive.load(), 0);
  EXPECT_TRUE(Logged("lcnt=1, SHORT.WAV"));
}

TEST_F(CardMedia, MissingFileFailsAndIsLogged) {
  TagCardIsupCall* c = Digital(1);
  Connect(c);
  EXPECT_LT(c->PlayFile("nothere.wav", 1, 0), 0);
  EXPECT_TRUE(Logged("Play '"));
  EXPECT_TRUE(Logged("NOTHERE.WAV' Err: "));
}

TEST_F(CardMedia, KeyBreaksThePlayAndABufferedKeySkipsIt) {
  TagCardIsupCall* c = Digital(2);
  Connect(c);
  // The key comes once the far end hears the play.
  std::thread caller([&] {
    WaitFor([&] { return !far_->Played(2).empty(); });
    far_->Dtmf(2, "5");
  });
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 0);
  caller.join();
  EXPECT_LT(plat::TickCount() - start, 4000u);
  EXPECT_STREQ(c->keys, "5");
  auto played = far_->Played(2);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_FALSE(played[0].ended);
  // The key is still buffered: the next prompt is skipped at once.
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 1);
  EXPECT_EQ(far_->Played(2).size(), 1u);
  EXPECT_TRUE(Logged("Play Interrupted: [5:0x35] Keys=[5]"));
  // Without break on key the prompt plays to its end.
  EXPECT_EQ(c->PlayFile("Short.wav", 0, 0), 1);
}

TEST_F(CardMedia, PcFlagPlaysOnTheSoundCardOnly) {
  plat::WaveSettings saved = plat::GetWaveSettings();
  plat::WaveSettings fake;
  fake.fake = true;
  fake.fakeDir = dir_.path();
  plat::SetWaveSettings(fake);
  plat::ClearFakeWaveSessions();
  TagCardIsupCall* c = Digital(2);
  Connect(c);
  EXPECT_EQ(c->PlayFile("short.WAV", 1, 1), -1);
  EXPECT_TRUE(WaitFor([] { return !plat::FakeWaveSessions().empty(); }));
  EXPECT_TRUE(far_->Played(2).empty());
  // Only WAVE files go to the sound card.
  testsupport::WriteFile(dir_ / "raw.alaw", std::string(4000, '\xD5'));
  plat::StopSoundAsync();
  plat::ClearFakeWaveSessions();
  EXPECT_EQ(c->StartLoopPlayOn("raw.alaw", 1), -1);
  EXPECT_TRUE(plat::FakeWaveSessions().empty());
  EXPECT_EQ(c->loopPlay, 0);
  plat::StopSoundAsync();
  plat::SetWaveSettings(saved);
}

TEST_F(CardMedia, AnotherThreadStopsThePlay) {
  TagCardIsupCall* c = Digital(3);
  Connect(c);
  std::thread other([&] {
    WaitFor([&] { return !far_->Played(3).empty(); });
    c->StopPlay();
  });
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->PlayFile("long.wav", 1, 0), 1);
  other.join();
  EXPECT_LT(plat::TickCount() - start, 4000u);
}

TEST_F(CardMedia, RecordEndsAtItsLimitAsAWaveFile) {
  TagCardIsupCall* c = Digital(4);
  Connect(c);
  std::vector<uint8_t> voice(800, 0x2A);
  ASSERT_TRUE(far_->Feed(4, voice));
  EXPECT_EQ(c->Record("msg.WAV", 1, 1), 1);
  std::string data = WaveData("msg.WAV");
  ASSERT_EQ(data.size(), 8192u);
  EXPECT_EQ(data.substr(0, 800), std::string(800, '\x2A'));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "msg._wa"));
}

TEST_F(CardMedia, RecordStopsOnHash) {
  TagCardIsupCall* c = Digital(5);
  Connect(c);
  // The key comes once the card records into the file.
  std::thread caller([&] {
    WaitFor([&] { return std::filesystem::exists(dir_ / "hash.wav"); });
    far_->Dtmf(5, "#");
  });
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->Record("hash.wav", 10, 1), 0);
  caller.join();
  EXPECT_LT(plat::TickCount() - start, 8000u);
  std::string data = WaveData("hash.wav");
  EXPECT_GT(data.size(), 0u);
  EXPECT_LT(data.size(), 81920u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "hash._wa"));
}

TEST_F(CardMedia, RecordOfAReleasedCallFails) {
  TagCardIsupCall* c = Digital(6);
  EXPECT_EQ(c->Record("gone.wav", 5, 1), -1);
}

TEST_F(CardMedia, AsyncRecordIsFinishedByStopPlay) {
  TagCardIsupCall* c = Digital(7);
  Connect(c);
  ASSERT_EQ(c->StartRecord("async.wav", 5), 0);
  // Stop once something was recorded.
  ASSERT_TRUE(WaitFor([&] {
    c->PollCard();
    std::error_code ec;
    auto n = std::filesystem::file_size(dir_ / "async.wav", ec);
    return !ec && n > 0;
  }));
  c->StopPlay();
  EXPECT_GT(WaveData("async.wav").size(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "async._wa"));
  EXPECT_EQ(c->recording, 0);
}

TEST_F(CardMedia, RecordedWaveHelpers) {
  testsupport::WriteFile(dir_ / "raw.bin", std::string(100, '\x55'));
  EXPECT_EQ(AlawFileToWave(dir_ / "raw.bin", dir_ / "w.wav"), 0);
  EXPECT_EQ(WaveData("w.wav"), std::string(100, '\x55'));
  EXPECT_EQ(AlawFileToWave(dir_ / "none.bin", dir_ / "w2.wav"), -1);
  EXPECT_EQ(AlawFileToWave(dir_ / "raw.bin", dir_ / "no/such/dir.wav"), -2);
  EXPECT_EQ(RenameRecordedWave(".WAV"), -1);
  testsupport::WriteFile(dir_ / "keep.vox", "abc");
  EXPECT_EQ(RenameRecordedWave(dir_ / "keep.vox"), 0);
  EXPECT_EQ(testsupport::ReadFile(dir_ / "keep.vox"), "abc");
}

TEST_F(CardMedia, GetKeysTable) {
  struct Case {
    const char* keys;
    int maxCount, endKey;
    int result;
    const char* out;
    const char* left;
  } cases[] = {
      {"12#34", 10, '#', 2, "12", "34"},
      {"5*", 10, '*', 2, "5*", ""},
      {"123456", 4, '#', 4, "1234", "56"},
      {"9#", 0, '#', 1, "9", ""},
      {"7A8", 10, 'A', 2, "7A", "8"},
  };
  TagCardIsupCall* c = Digital(8);
  Connect(c);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.keys);
    c->ClearKeys();
    ASSERT_TRUE(far_->Dtmf(8, k.keys));
    std::string out;
    EXPECT_EQ(c->GetKeys(out, k.maxCount, 5, k.endKey), k.result);
    EXPECT_EQ(out, k.out);
    // Keys after the end of the collection keep arriving for the next one.
    EXPECT_TRUE(WaitFor([&] { return c->KeysLen() >= static_cast<int>(std::strlen(k.left)); }));
    EXPECT_STREQ(c->keys, k.left);
  }
}

TEST_F(CardMedia, GetKeysOutputNeverPassesItsBuffer) {
  TagCardIsupCall* c = Digital(9);
  Connect(c);
  // Without a maximum the keys go out no further than the script's buffer holds.
  std::string many(300, '3');
  std::memcpy(c->keys, many.c_str(), many.size() + 1);
  std::string out;
  EXPECT_EQ(c->GetKeys(out, 0, 5, 0), static_cast<int>(kGetKeysOutMax));
  EXPECT_EQ(out.size(), kGetKeysOutMax);
  EXPECT_EQ(std::strlen(c->keys), 200u);
  // A time-out hands out the buffered keys, then clears the buffer.
  std::strcpy(c->keys, "12");
  EXPECT_EQ(c->GetKeys(out, -1, 1, 0), -1);
  EXPECT_EQ(out, "12");
  EXPECT_STREQ(c->keys, "");
  EXPECT_TRUE(Logged("GetKeys() timeout"));
}

TEST_F(CardMedia, InterKeyTimeEndsTheCollection) {
  TagCardIsupCall* c = Digital(9);
  Connect(c);
  EXPECT_EQ(c->SetKeyTime(1), 1);
  std::thread caller([&] {
    plat::SleepMs(200);
    far_->Dtmf(9, "8");
  });
  std::string out;
  uint32_t start = plat::TickCount();
  EXPECT_EQ(c->GetKeys(out, 4, 0, '#'), -1);
  caller.join();
  EXPECT_GE(plat::TickCount() - start, 1000u);
  EXPECT_EQ(out, "8");
  EXPECT_STREQ(c->keys, "");
}

TEST_F(CardMedia, KeyBufferHoldsAtMostItsCapacity) {
  char keys[1028] = {};
  for (int i = 0; i < 2000; ++i) AppendKey(keys, 'a');
  EXPECT_EQ(std::strlen(keys), kKeysBufferMax);
  EXPECT_EQ(keys[0], 'A');
  DropKeys(keys, 5000);
  EXPECT_STREQ(keys, "");
}

TEST_F(CardMedia, GetKeysEndsOnReleaseAndStop) {
  TagCardIsupCall* c = Digital(10);
  std::string out;
  EXPECT_EQ(c->GetKeys(out, 3, 5, '#'), -1);  // no call
  Connect(c);
  std::thread stop([&] {
    plat::SleepMs(300);
    c->interrupted = 1;
  });
  EXPECT_EQ(c->GetKeys(out, 3, 0, '#'), -1);
  stop.join();
}

TEST_F(CardMedia, SendKeysWaitsUntilSent) {
  TagCardIsupCall* c = Digital(11);
  Connect(c);
  EXPECT_EQ(c->SendKeys("12#"), 0);
  EXPECT_EQ(far_->DtmfSent(11), "12#");
  EXPECT_TRUE(drive_->Card().ChannelDtmfSent(11));
}

TEST_F(CardMedia, OneCardPushPer200MsAcrossLines) {
  TagCardIsupCall* a = Digital(12);
  TagCardIsupCall* b = Digital(13);
  plat::SleepMs(250);
  uint64_t before = drive_->Card().PushCount();
  a->PollCard();
  b->PollCard();
  EXPECT_EQ(drive_->Card().PushCount(), before + 1);
  before = drive_->Card().PushCount();
  uint32_t start = plat::TickCount();
  while (plat::TickCount() - start < 1000) {
    a->PollCard();
    b->PollCard();
    plat::SleepMs(5);
  }
  uint64_t pushes = drive_->Card().PushCount() - before;
  EXPECT_GE(pushes, 2u);
  EXPECT_LE(pushes, 1000u / 200u + 1u);
}

TEST_F(CardMedia, LoopPlayRestartsAndResumes) {
  TagCardIsupCall* c = Digital(14);
  Connect(c);
  ASSERT_EQ(c->StartLoopPlay("Short.wav"), 0);
  EXPECT_EQ(c->ReLoopPlay(), -1);
  ASSERT_TRUE(WaitFor([&] {
    c->PollCard();
    return far_->Played(14).size() >= 2;
  }));
  plat::SleepMs(100);
  c->StopPlay();
  EXPECT_GT(c->playPos, 0);
  EXPECT_EQ(c->ReLoopPlay(), 0);
  EXPECT_EQ(c->loopPlay, 1);
  c->StopPlay();
  TagCardIsupCall* fresh = Digital(15);
  EXPECT_EQ(fresh->ReLoopPlay(), -2);
}

}  // namespace
