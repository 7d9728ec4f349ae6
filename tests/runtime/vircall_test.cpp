#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/monitor.h"
#include "runtime/teldrive.h"
#include "lines/vircard.h"
#include "platform/text.h"
#include "platform/wave.h"
#include "tests/runtime/drive_fixture.h"

namespace {

using linetest::AppendOp;
using linetest::DriveFixture;
using linetest::PhysicalCardOf;
using linetest::WaitFor;

TEST(VirCard, LineCountsAndNames) {
  struct Case {
    int count, english, lines;
    std::string name1;
  } cases[] = {{2, 1, 2, "VirtualLine1#"},
               {3, 0, 3, plat::Utf8ToGbk("虚拟线路1#")},
               {-4, 1, 1, ""},
               {0, 1, 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    TagVirCard card(c.count, c.english);
    EXPECT_EQ(card.telCount, c.lines);
    EXPECT_EQ(card.status, 0);
    EXPECT_EQ(card.MakeLine(c.lines, 9), nullptr);
    EXPECT_EQ(card.MakeLine(-1, 9), nullptr);
    if (c.lines < 2) continue;
    TagTelLine* line = card.MakeLine(1, 7);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->name, c.name1);
    EXPECT_EQ(line->number, 7);
    EXPECT_EQ(line->card, &card);
    ASSERT_NE(line->call, nullptr);
    EXPECT_EQ(std::string(line->call->name), c.name1);
    EXPECT_EQ(line->call->lineNo, 7);
    EXPECT_EQ(static_cast<TagVirCall*>(line->call)->keyLine, 7);
    EXPECT_EQ(line->call->lineType.load(), kLineVir);
    card.FreeLine(line);
  }
}

class VirCallTest : public DriveFixture {
 protected:
  void SetUp() override {
    DriveFixture::SetUp();
    savedWave_ = plat::GetWaveSettings();
    plat::WaveSettings fake;
    fake.fake = true;
    fake.fakeDir = dir_.path();
    plat::SetWaveSettings(fake);
    monitor_ = std::make_shared<TagMonitor>(8, TagMonitorSettings{});
    SetMonitor(monitor_);
  }
  void TearDown() override {
    DriveFixture::TearDown();
    plat::SetWaveSettings(savedWave_);
  }
  void NoMicrophone() {
    plat::WaveSettings none;
    none.fake = false;
    none.alsaDevice = "rodiz_no_such_device";
    plat::SetWaveSettings(none);
  }
  TagVirCall& Vir(int line) { return *static_cast<TagVirCall*>(drive_->lines[line]->call); }

  plat::WaveSettings savedWave_;
  std::shared_ptr<TagMonitor> monitor_;
};

TEST_F(VirCallTest, KeysComeFromTheLinesKeysCell) {
  MakeDrive("VIR_LINES_NUM=2\n");
  monitor_->AppendKeys(1, "12*");
  EXPECT_EQ(Vir(1).KeysLen(), 3);
  EXPECT_EQ(Vir(0).KeysLen(), 0);  // each line has its own cell
  Vir(1).ClearKeys();
  EXPECT_EQ(monitor_->GetKeys(1), "");
  EXPECT_EQ(Vir(1).KeysLen(), 0);
}

TEST_F(VirCallTest, KeysTypedIntoTheCellReachTheRunningScript) {
  std::mutex gotLock;
  std::string got;
  builder_ = [&](TagTelBasic& inst, int line) {
    TagKxCall* call = inst.callObject;
    // What the PC key collection does: wait for keys, take them from the cell.
    AppendOp(inst, [&, call, line] {
      while (!call->interrupted.load() && call->KeysLen() == 0) plat::SleepMs(5);
      std::string keys = monitor_->TakeKeys(line, static_cast<size_t>(call->KeysLen()));
      std::lock_guard<std::mutex> g(gotLock);
      got += keys;
      return static_cast<int>(keys.size());
    });
    linetest::WaitingScript()(inst, line);
  };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nLOAD_DELAY=5\n1=keys.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return d.Instance(1) && d.Instance(1)->curOperIndex.load() == 0; }));
  monitor_->AppendKeys(1, "123#");
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(gotLock);
    return got == "123#";
  }));
  EXPECT_EQ(monitor_->GetKeys(1), "");
}

TEST_F(VirCallTest, LinksFailBecauseNoLineIsASipLine) {
  physicalCard_ = PhysicalCardOf({kLineDig, kLineDig});
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\n");
  TagVirCall& v = Vir(2);
  struct Case {
    int target, result;
    const char* log;
  } cases[] = {{-1, -1, nullptr},
               {2, -1, nullptr},
               {3, -200, "lcnt=2, GetCall(destLine=3) type=2"},
               {0, -200, "lcnt=2, GetCall(destLine=0) type=1"},
               {40, -200, "lcnt=2, GetCall(destLine=40) is NULL"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(v.LinkTo(c.target, 0), c.result);
    EXPECT_EQ(v.linkedCall, nullptr);
    if (c.log) {
      EXPECT_NE(Log().find(c.log), std::string::npos);
    }
  }
  EXPECT_EQ(v.UnlinkTo(-1, 0), -1);
  EXPECT_EQ(v.UnlinkTo(0, 0), -2);
  EXPECT_EQ(v.UnlinkCall(), -1);
  EXPECT_EQ(v.UnlinkAll(), 0);
  EXPECT_EQ(d.pSipCard->telCount, 0);
}

TEST_F(VirCallTest, MediaLinkRunsOnTheSoundCardAndComesDown) {
  physicalCard_ = PhysicalCardOf({kLineDig});
  MakeDrive("VIR_LINES_NUM=1\n");
  TagVirCall& v = Vir(1);
  TagKxCall* peer = drive_->lines[0]->call;
  plat::ClearFakeWaveSessions();
  EXPECT_EQ(v.LinkCall(peer), 0);
  EXPECT_EQ(v.linkedCall, peer);
  EXPECT_EQ(v.linkActive.load(), 1);
  EXPECT_TRUE(v.WaveInOpen());
  EXPECT_TRUE(v.WaveOutOpen());
  // Silence goes out while the empty channel delivers nothing.
  ASSERT_TRUE(WaitFor([] {
    for (const auto& s : plat::FakeWaveSessions())
      if (!s.capture && s.bytes >= 4 * 320) return true;
    return false;
  }));
  for (const auto& s : plat::FakeWaveSessions()) {
    EXPECT_EQ(s.format.formatTag, plat::kWaveFormatALaw);
    EXPECT_EQ(s.format.samplesPerSec, 8000u);
  }
  EXPECT_EQ(v.UnlinkTo(peer->lineNo, 0), 0);
  EXPECT_EQ(v.linkedCall, nullptr);
  EXPECT_EQ(v.linkActive.load(), 0);
  EXPECT_FALSE(v.WaveInOpen());
  EXPECT_FALSE(v.WaveOutOpen());
  EXPECT_FALSE(v.LinkThreadsRunning());
  for (const auto& s : plat::FakeWaveSessions()) EXPECT_TRUE(s.closed);
}

TEST_F(VirCallTest, LineFreedWithItsLinkUp) {
  MakeDrive("VIR_LINES_NUM=1\n");
  ASSERT_EQ(Vir(0).StartRtp(), 0);
  EXPECT_TRUE(Vir(0).LinkThreadsRunning());
  drive_.reset();  // the call object ends its link before it goes
}

TEST_F(VirCallTest, NoMicrophoneForALinkLeavesNothingRunning) {
  MakeDrive("VIR_LINES_NUM=1\n");
  NoMicrophone();
  TagVirCall& v = Vir(0);
  EXPECT_EQ(v.StartRtp(), -1);
  EXPECT_FALSE(v.LinkThreadsRunning());
  EXPECT_FALSE(v.WaveInOpen());
  EXPECT_EQ(v.mediaChannel, 0);
  EXPECT_EQ(v.linkActive.load(), 0);
  EXPECT_NE(Log().find("waveInOpen Err. ["), std::string::npos);
}

TEST_F(VirCallTest, RecordFromTheMicrophone) {
  MakeDrive("VIR_LINES_NUM=1\n");
  TagVirCall& v = Vir(0);
  struct Case {
    const char* name;
    int maxSeconds;
    bool typeKey;
    const char* log;
  } cases[] = {{"time limit", 1, false, "lcnt=0, Rec timeout..."}, {"key", 0, true, "lcnt=0, Press key..."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    monitor_->ClearKeys(0);
    const std::string file = dir_ / (std::string(c.name) + ".wav");
    std::thread typist;
    if (c.typeKey) typist = std::thread([this] {
      plat::SleepMs(400);
      monitor_->AppendKeys(0, "5");
    });
    EXPECT_EQ(v.Record(file, c.maxSeconds, 1), 0);
    if (typist.joinable()) typist.join();
    EXPECT_NE(Log().find(c.log), std::string::npos);
    // 16-bit PCM at 8000 Hz: a few hundred ms at least were captured.
    const std::string wav = testsupport::ReadFile(file);
    ASSERT_GT(wav.size(), 48u + 1600u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
  }
  // A stop ends a recording without a limit.
  monitor_->ClearKeys(0);
  std::thread stopper([&v] {
    plat::SleepMs(300);
    v.interrupted = 1;
  });
  EXPECT_EQ(v.Record(dir_ / "stopped.wav", 0, 0), 0);
  stopper.join();
  v.interrupted = 0;
}

// Without a microphone the recording ends at once, as finished: the file
// keeps its empty header and the script sees no failure.
TEST_F(VirCallTest, RecordWithoutAMicrophoneEndsAtOnceWithAnEmptyFile) {
  MakeDrive("VIR_LINES_NUM=1\n");
  NoMicrophone();
  const std::string file = dir_ / "nomic.wav";
  EXPECT_EQ(Vir(0).Record(file, 0, 0), 0);  // no limit, no key: only the failed start ends it
  const std::string wav = testsupport::ReadFile(file);
  ASSERT_EQ(wav.size(), 48u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(4, 4), std::string("\x28\0\0\0", 4)) << "RIFF size 40: an empty recording";
  EXPECT_EQ(wav.substr(44, 4), std::string(4, '\0')) << "data size 0";
  const std::string log = Log();
  EXPECT_NE(log.find("waveInOpen Err. devId=-1"), std::string::npos) << log;
  EXPECT_EQ(log.find("lcnt=0, lcnt=0"), std::string::npos) << log;
  EXPECT_EQ(Vir(0).Record(dir_ / "no/such/dir/x.wav", 2, 1), -2);
}

}  // namespace
