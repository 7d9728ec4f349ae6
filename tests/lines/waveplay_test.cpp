#include "lines/waveplay.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/log.h"
#include "core/runcfg.h"
#include "platform/tick.h"
#include "voctest_util.h"
#include "tests/support/waitfor.h"

using namespace voctest;

namespace {

using testsupport::WaitFor;

class WavePlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    Fake();
    plat::ClearFakeWaveSessions();
    oldLevel = logLevel.load();
    logLevel.store(1);
    SetLogWriter(std::make_shared<TagWriteLog>(P("log.txt"), 10000000, true, true));
  }
  void TearDown() override {
    SetLogWriter(nullptr);
    logLevel.store(oldLevel);
  }
  void Fake(const std::string& input = "") {
    plat::WaveSettings s;
    s.fake = true;
    s.fakeDir = dir;
    s.fakeInput = input;
    plat::SetWaveSettings(s);
  }
  std::string P(const std::string& name) const { return dir + "/" + name; }
  std::string LogText() {
    auto bytes = ReadAll(P("log.txt"));
    return std::string(bytes.begin(), bytes.end());
  }

  static std::vector<uint8_t> Pattern(size_t n, int seed = 0) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>((i * 7 + seed * 31 + i / 251) & 0xFF);
    return d;
  }
  std::string ALawFile(const std::string& name, const std::vector<uint8_t>& data) {
    WaveShape s;
    s.tag = 6, s.bits = 8, s.fmtSize = 18;
    WriteAll(P(name), MakeWave(s, data));
    return P(name);
  }
  // Sessions of the output devices opened so far, in order.
  static std::vector<plat::FakeWaveSession> Outputs() {
    std::vector<plat::FakeWaveSession> out;
    for (auto& s : plat::FakeWaveSessions())
      if (!s.capture) out.push_back(s);
    return out;
  }
  static uint64_t LastBytes() {
    auto o = Outputs();
    return o.empty() ? 0 : o.back().bytes;
  }
  // The audio of a played-session file (after its header).
  static std::vector<uint8_t> Played(const plat::FakeWaveSession& s) {
    std::vector<uint8_t> f = ReadAll(s.file);
    size_t header = s.format.formatTag == 1 ? 44 : 46;
    return f.size() < header ? std::vector<uint8_t>() : std::vector<uint8_t>(f.begin() + header, f.end());
  }

  testsupport::TempDir tmp;
  std::string dir = tmp.path();
  int oldLevel = 0;
};

// ---------------------------------------------------------------------------
// Opening

TEST_F(WavePlayTest, ConstructorStatusTable) {
  WriteAll(P("189.al"), Pattern(189));
  WriteAll(P("190.al"), Pattern(190));
  std::vector<uint8_t> shortWave = MakeWave(WaveShape{6, 8000, 8, 16, {}, -1}, Pattern(100));  // 144 bytes
  WriteAll(P("short.wav"), shortWave);
  ALawFile("ok.wav", Pattern(800));
  struct Case {
    const char* what;
    std::string file;
    int deviceId;
    int status;
  };
  const Case cases[] = {
      {"missing", P("none.wav"), -1, -1},
      {"headerless 189 bytes", P("189.al"), -1, -2},
      {"headerless 190 bytes", P("190.al"), -1, 0},
      {"short WAVE", P("short.wav"), -1, -2},
      {"device that does not exist", P("ok.wav"), 5, -3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TagWavePlay p(c.file, 100, c.deviceId);
    EXPECT_EQ(p.status, c.status);
    if (c.status != 0) {
      EXPECT_TRUE(p.IsDone());
    }
  }
  EXPECT_NE(LogText().find("waveOutOpen Err. [2], id=5"), std::string::npos);
}

TEST_F(WavePlayTest, HeaderlessFilePlaysAllButItsLast90Bytes) {
  std::vector<uint8_t> raw = Pattern(190);
  WriteAll(P("190.al"), raw);
  TagWavePlay p(P("190.al"), 100);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  auto o = Outputs();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].format.formatTag, plat::kWaveFormatALaw);
  EXPECT_EQ(Played(o[0]), std::vector<uint8_t>(raw.begin(), raw.begin() + 100));
}

// Every layout plays exactly its data, in its own format.
TEST_F(WavePlayTest, LayoutsPlayTheirDataInTheirOwnFormat) {
  struct Case {
    const char* what;
    WaveShape spec;
    size_t bytes;
  };
  WaveShape pcm;  // 44-byte header
  WaveShape rec;  // the recorder's 48-byte layout: a 20-byte format chunk
  rec.fmtSize = 20;
  WaveShape big;  // a format chunk larger than the device format
  big.tag = 7, big.bits = 8, big.fmtSize = 60;
  WaveShape fact;
  fact.tag = 6, fact.bits = 8, fact.fmtSize = 18, fact.before = {{"fact", {0x40, 0x06, 0, 0}}};
  WaveShape longSize;  // a data size beyond the file
  longSize.tag = 6, longSize.bits = 8, longSize.dataSizeField = 0xFFFFFFF0;
  const Case cases[] = {{"PCM16", pcm, 3200},       {"recorder layout", rec, 3200}, {"fmt 60", big, 1600},
                        {"fact chunk", fact, 1600}, {"data size beyond the file", longSize, 1600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    plat::ClearFakeWaveSessions();
    std::vector<uint8_t> data = Pattern(c.bytes, static_cast<int>(c.bytes));
    WriteAll(P("f.wav"), MakeWave(c.spec, data));
    TagWavePlay p(P("f.wav"), 100);
    ASSERT_EQ(p.status, 0);
    ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
    auto o = Outputs();
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].format.formatTag, c.spec.tag);
    EXPECT_EQ(o[0].format.bitsPerSample, c.spec.bits);
    EXPECT_EQ(Played(o[0]), data);
  }
}

TEST_F(WavePlayTest, PlayKeepsRealTime) {
  std::string f = ALawFile("a.wav", Pattern(4000));  // 0.5 s
  uint32_t start = plat::TickCount();
  TagWavePlay p(f, 100);
  ASSERT_EQ(p.status, 0);
  EXPECT_FALSE(p.IsDone());
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  EXPECT_GE(plat::TickCount() - start, 450u);
}

TEST_F(WavePlayTest, StartOffsets) {
  std::vector<uint8_t> alaw = Pattern(4000);
  std::vector<uint8_t> pcm = Pattern(4000, 5);
  ALawFile("a.wav", alaw);
  WriteAll(P("p.wav"), MakeWave(WaveShape{}, pcm));
  struct Case {
    const char* what;
    std::string file;
    int offset;
    const std::vector<uint8_t>* data;
    size_t from;  // the first byte played
  };
  const Case cases[] = {
      {"A-law at 1000", P("a.wav"), 1000, &alaw, 1000},
      {"A-law at 3999", P("a.wav"), 3999, &alaw, 3999},
      {"PCM inside a sample goes back to its start", P("p.wav"), 1001, &pcm, 1000},
      {"negative counts as 0", P("a.wav"), -50, &alaw, 0},
      {"at the end plays nothing", P("a.wav"), 4000, &alaw, 4000},
      {"past the end plays nothing", P("a.wav"), 1 << 30, &alaw, 4000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    plat::ClearFakeWaveSessions();
    TagWavePlay p(c.file, 100, -1, 0, c.offset);
    ASSERT_EQ(p.status, 0);
    ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
    auto o = Outputs();
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(Played(o[0]), std::vector<uint8_t>(c.data->begin() + c.from, c.data->end()));
  }
}

// ---------------------------------------------------------------------------
// Stop, loop, another file

TEST_F(WavePlayTest, StopOnTheDefaultDeviceIsImmediate) {
  std::string f = ALawFile("long.wav", Pattern(80000));  // 10 s in one buffer
  TagWavePlay p(f, 100);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([] { return LastBytes() > 0; }));
  p.Stop();
  EXPECT_TRUE(p.IsDone());
  // The device may still note the piece it was in when the stop came.
  plat::SleepMs(100);
  uint64_t played = LastBytes();
  EXPECT_LT(played, 64000u);  // far from the end of the buffer
  plat::SleepMs(200);
  EXPECT_EQ(LastBytes(), played);  // and nothing more after the stop
}

TEST_F(WavePlayTest, StopOnASpecificDeviceFinishesTheCurrentBuffer) {
  std::string f = ALawFile("long.wav", Pattern(32000));  // 4 s in 2048-byte buffers
  TagWavePlay p(f, 100, 0);
  ASSERT_EQ(p.bufferSize, 2048u);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([] { return LastBytes() > 0; }));
  p.Stop();
  EXPECT_TRUE(p.IsDone());
  uint64_t played = LastBytes();
  EXPECT_EQ(played % 2048, 0u) << played;
  EXPECT_GT(played, 0u);
  EXPECT_LT(played, 32000u);
}

TEST_F(WavePlayTest, LoopRepeatsUntilStop) {
  std::vector<uint8_t> data = Pattern(2000);  // 0.25 s
  std::string f = ALawFile("short.wav", data);
  TagWavePlay p(f, 100);
  p.SetLoop(true);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([] { return LastBytes() >= 3 * 2000; }));
  EXPECT_FALSE(p.IsDone());
  p.Stop();
  EXPECT_TRUE(p.IsDone());
  std::vector<uint8_t> played = Played(Outputs().back());
  ASSERT_GE(played.size(), 6000u);
  for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], data[i % data.size()]) << i;
}

TEST_F(WavePlayTest, PlayAnotherFileOnTheSameObject) {
  std::vector<uint8_t> a = Pattern(1600, 1), b = Pattern(2400, 2);
  ALawFile("a.wav", a);
  ALawFile("b.wav", b);
  WriteAll(P("tiny.al"), Pattern(150));
  TagWavePlay p(P("a.wav"), 100);
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(p.Play(P("none.wav"), 100), -2);
  EXPECT_TRUE(p.IsDone());
  EXPECT_EQ(p.Play(P("tiny.al"), 100), -3);
  ASSERT_EQ(p.Play(P("b.wav"), 100), 0);
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  // A new device per file; the first was stopped before the second opened.
  auto o = Outputs();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_TRUE(o[0].closed);
  EXPECT_EQ(Played(o[1]), b);
  ASSERT_EQ(p.Play(P("a.wav"), 100, 0, 800), 0);
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  EXPECT_EQ(Played(Outputs().back()), std::vector<uint8_t>(a.begin() + 800, a.end()));
}

TEST_F(WavePlayTest, VolumeScalesWhatIsPlayed) {
  std::vector<int16_t> s = Square(1600, 10000);
  WriteAll(P("p.wav"), MakeWave(WaveShape{}, Pcm16Bytes(s)));
  struct Case {
    int volume;
    int want;
  };
  for (const auto& c : {Case{100, 10000}, Case{50, 4999}, Case{150, 10000}, Case{-5, 0}}) {
    SCOPED_TRACE(c.volume);
    plat::ClearFakeWaveSessions();
    TagWavePlay p(P("p.wav"), c.volume);
    ASSERT_EQ(p.status, 0);
    ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
    EXPECT_EQ(p.SetVolume(30), 0);
    std::vector<int16_t> got = PcmOf(Played(Outputs().back()), 0);
    ASSERT_EQ(got.size(), s.size());
    EXPECT_NEAR(got[0], c.want, 1);
    EXPECT_NEAR(got[8], -c.want, 1);
  }
  TagWavePlay none(P("none.wav"), 100);
  EXPECT_EQ(none.SetVolume(50), -1);
}

TEST_F(WavePlayTest, VoxNamePlaysItsConvertedCopy) {
  WriteAll(P("hello.VOX"), Pattern(1000));
  TagWavePlay p(P("hello.VOX"), 100);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  auto o = Outputs();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].format.formatTag, plat::kWaveFormatPcm);
  EXPECT_EQ(Played(o[0]).size(), 4000u);
  EXPECT_TRUE(std::filesystem::exists(P("hello.VOX.wav")));
}

TEST_F(WavePlayTest, SeveralPlayersAtOnce) {
  std::vector<std::vector<uint8_t>> data;
  std::vector<std::unique_ptr<TagWavePlay>> players;
  for (int i = 0; i < 4; ++i) {
    data.push_back(Pattern(1200 + 400 * i, i));
    players.push_back(std::make_unique<TagWavePlay>(ALawFile("f" + std::to_string(i) + ".wav", data.back()), 100));
    ASSERT_EQ(players.back()->status, 0);
  }
  for (auto& p : players) ASSERT_TRUE(WaitFor([&] { return p->IsDone(); }));
  auto o = Outputs();
  ASSERT_EQ(o.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Played(o[i]), data[i]) << i;
}

TEST_F(WavePlayTest, DestroyingAPlayingPlayerClosesItsDevice) {
  std::string f = ALawFile("long.wav", Pattern(80000));
  {
    TagWavePlay p(f, 100, 1);
    p.SetLoop(true);
    ASSERT_EQ(p.status, 0);
    ASSERT_TRUE(WaitFor([] { return LastBytes() > 0; }));
  }
  auto o = Outputs();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_TRUE(o[0].closed);
}

TEST_F(WavePlayTest, AlsaDeviceMissingGivesTheOpenErrors) {
  plat::WaveSettings s;
  s.alsaDevice = "rodiz_no_such_pcm_device";
  plat::SetWaveSettings(s);
  ALawFile("a.wav", Pattern(800));
  TagWavePlay p(P("a.wav"), 100);
  EXPECT_EQ(p.status, -3);
  EXPECT_TRUE(p.IsDone());
  EXPECT_EQ(p.Play(P("a.wav"), 100), -2);
  TagWaveRecord r(P("rec.wav"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.Start(), -3);
  EXPECT_TRUE(r.IsDone());
  std::string log = LogText();
  EXPECT_NE(log.find("waveOutOpen Err. [2], id=-1"), std::string::npos) << log;
  EXPECT_NE(log.find("waveInOpen Err. devId=-1, mmRes=2"), std::string::npos) << log;
}

// ---------------------------------------------------------------------------
// Record

TEST_F(WavePlayTest, RecordingHoldsWhatWasCapturedAndPlaysBack) {
  std::vector<int16_t> ramp(40000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i * 3);
  std::vector<uint8_t> input = Pcm16Bytes(ramp);
  WriteAll(P("mic.wav"), MakeWave(WaveShape{}, input));
  Fake(P("mic.wav"));
  int64_t total = 0;
  {
    TagWaveRecord r(P("rec.wav"));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.bufferSize, 20480u);
    ASSERT_EQ(r.Start(), 0);
    EXPECT_FALSE(r.IsDone());
    ASSERT_TRUE(WaitFor([&] { return r.Total() >= 20480; }));
    r.Stop();
    EXPECT_TRUE(r.IsDone());
    total = r.Total();
    r.Close();
  }
  // Everything captured is written, the piece in hand at the stop included.
  int captures = 0;
  for (auto& s : plat::FakeWaveSessions()) {
    if (!s.capture) continue;
    ++captures;
    EXPECT_EQ(static_cast<uint64_t>(total), s.bytes);
  }
  EXPECT_EQ(captures, 1);
  std::vector<uint8_t> f = ReadAll(P("rec.wav"));
  ASSERT_EQ(f.size(), 48 + static_cast<size_t>(total));
  EXPECT_TRUE(WaveSizesConsistent(f, 48));
  EXPECT_EQ(Le32(f, 16), 20u);
  EXPECT_EQ(Le16(f, 20), 1);
  EXPECT_EQ(Le16(f, 34), 16);
  ASSERT_LE(static_cast<size_t>(total), input.size());
  EXPECT_TRUE(std::equal(f.begin() + 48, f.end(), input.begin()));
  EXPECT_NE(LogText().find("Rec Start..."), std::string::npos);
  // The system plays its own recordings.
  plat::ClearFakeWaveSessions();
  TagWavePlay p(P("rec.wav"), 100);
  ASSERT_EQ(p.status, 0);
  ASSERT_TRUE(WaitFor([&] { return p.IsDone(); }));
  EXPECT_EQ(Played(Outputs().back()), std::vector<uint8_t>(f.begin() + 48, f.end()));
}

TEST_F(WavePlayTest, RecordingThatCapturedNothingIsAValidEmptyFile) {
  {
    TagWaveRecord r(P("never.wav"));
    ASSERT_EQ(r.status, 0);
  }
  {
    TagWaveRecord r(P("stopped.wav"), 1);
    EXPECT_EQ(r.bufferSize, 4096u);
    ASSERT_EQ(r.Start(), 0);
    r.Stop();
  }
  for (const char* name : {"never.wav", "stopped.wav"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> f = ReadAll(P(name));
    ASSERT_GE(f.size(), 48u);
    EXPECT_TRUE(WaveSizesConsistent(f, 48));
  }
  EXPECT_EQ(ReadAll(P("never.wav")).size(), 48u);
  EXPECT_EQ(Le32(ReadAll(P("never.wav")), 4), 40u);
}

TEST_F(WavePlayTest, RecordingFileNotCreatable) {
  TagWaveRecord r(P("no/such/dir/rec.wav"));
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.Start(), -1);
  EXPECT_NE(LogText().find("wavFp==NULL"), std::string::npos);
}

TEST_F(WavePlayTest, RecordStartsAgainAfterAStop) {
  TagWaveRecord r(P("rec.wav"));
  ASSERT_EQ(r.Start(), 0);
  ASSERT_TRUE(WaitFor([] {
    for (auto& s : plat::FakeWaveSessions())
      if (s.capture && s.bytes > 0) return true;
    return false;
  }));
  ASSERT_EQ(r.Start(), 0);  // stops the first capture and starts a second
  r.Stop();
  int captures = 0, open = 0;
  for (auto& s : plat::FakeWaveSessions()) {
    captures += s.capture;
    open += s.capture && !s.closed;
  }
  EXPECT_EQ(captures, 2);
  EXPECT_EQ(open, 0);
}

}  // namespace
