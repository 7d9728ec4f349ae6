#include "platform/wave.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/tick.h"
#include "platform/wavebackend.h"
#include "tests/support/tempdir.h"

using plat::WaveFormat;
using plat::WaveHeader;
using plat::WaveIn;
using plat::WaveMsg;
using plat::WaveMsgQueue;
using plat::WaveMsgType;
using plat::WaveOut;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
  }
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint32_t>(v[at]) | (static_cast<uint32_t>(v[at + 1]) << 8) |
         (static_cast<uint32_t>(v[at + 2]) << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

// The G.711 pair used for the volume of 8-bit devices: every code survives
// a decode and encode, and every sample comes back within its step.
TEST(WaveG711, CodesRoundTripAndSamplesStayWithinAStep) {
  for (int c = 0; c < 256; ++c) {
    const uint8_t code = static_cast<uint8_t>(c);
    EXPECT_EQ(plat::G711LinearToALaw(plat::G711ALawToLinear(code)), code) << c;
    // mu-law has two zeros (0x7F and 0xFF); both decode to 0, which encodes as 0xFF.
    if (c != 0x7F) {
      EXPECT_EQ(plat::G711LinearToMuLaw(plat::G711MuLawToLinear(code)), code) << c;
    }
  }
  for (int s = -32768; s <= 32767; s += 7) {
    const int16_t x = static_cast<int16_t>(s);
    const int a = plat::G711ALawToLinear(plat::G711LinearToALaw(x));
    const int u = plat::G711MuLawToLinear(plat::G711LinearToMuLaw(x));
    // Steps grow with the magnitude: 1/16 of it at most, plus the smallest step.
    const int tol = std::abs(s) / 16 + 40;
    ASSERT_LE(std::abs(a - s), tol) << s;
    ASSERT_LE(std::abs(u - s), tol + 100) << s;  // mu-law clips above 32124
  }
  EXPECT_EQ(plat::G711MuLawToLinear(0xFF), 0);
  EXPECT_EQ(plat::G711MuLawToLinear(0x80), 32124);
  EXPECT_EQ(plat::G711ALawToLinear(0xD5), 8);
}

TEST(WaveSettings, ReadFromTheEnvironment) {
  const char* vars[] = {"RODIZ_WAVE", "RODIZ_WAVE_DEVICE", "RODIZ_WAVE_FAKE_DIR", "RODIZ_WAVE_FAKE_INPUT"};
  for (const char* v : vars) ::unsetenv(v);
  plat::WaveSettings d = plat::WaveSettingsFromEnvironment();
  EXPECT_FALSE(d.fake);
  EXPECT_EQ(d.alsaDevice, "default");
  EXPECT_EQ(d.fakeDir, "/tmp");
  EXPECT_EQ(d.fakeInput, "");
  ::setenv("RODIZ_WAVE", "fake", 1);
  ::setenv("RODIZ_WAVE_DEVICE", "hw:3", 1);
  ::setenv("RODIZ_WAVE_FAKE_DIR", "/var/x", 1);
  ::setenv("RODIZ_WAVE_FAKE_INPUT", "/var/in.wav", 1);
  plat::WaveSettings s = plat::WaveSettingsFromEnvironment();
  EXPECT_TRUE(s.fake);
  EXPECT_EQ(s.alsaDevice, "hw:3");
  EXPECT_EQ(s.fakeDir, "/var/x");
  EXPECT_EQ(s.fakeInput, "/var/in.wav");
  ::setenv("RODIZ_WAVE", "alsa", 1);
  EXPECT_FALSE(plat::WaveSettingsFromEnvironment().fake);
  for (const char* v : vars) ::unsetenv(v);
}

class WaveDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    Fake();
    plat::ClearFakeWaveSessions();
    q = std::make_shared<WaveMsgQueue>();
  }
  void Fake(const std::string& input = "") {
    plat::WaveSettings s;
    s.fake = true;
    s.fakeDir = dir;
    s.fakeInput = input;
    plat::SetWaveSettings(s);
  }
  // Next message of the given type (others are skipped), within a generous time.
  bool Next(WaveMsgType type, WaveMsg& m, uint32_t timeoutMs = 10000) {
    uint32_t start = plat::TickCount();
    while (plat::TickCount() - start < timeoutMs) {
      if (q->Get(m, 100) && m.type == type) return true;
    }
    return false;
  }
  plat::FakeWaveSession Session(uint32_t serial) {
    for (const auto& s : plat::FakeWaveSessions())
      if (s.serial == serial) return s;
    ADD_FAILURE() << "no session " << serial;
    return {};
  }

  testsupport::TempDir tmp;
  std::string dir = tmp.path();
  std::shared_ptr<WaveMsgQueue> q;
};

TEST_F(WaveDeviceTest, FormatsAndDeviceIds) {
  struct Case {
    const char* what;
    WaveFormat fmt;
    int deviceId;
    int result;
  };
  WaveFormat pcm8{plat::kWaveFormatPcm, 1, 8000, 8000, 1, 8, 0};
  WaveFormat pcm16k{plat::kWaveFormatPcm, 1, 16000, 32000, 2, 16, 0};
  WaveFormat badAlign{plat::kWaveFormatPcm, 1, 8000, 16000, 1, 16, 0};
  WaveFormat alaw16{plat::kWaveFormatALaw, 1, 8000, 16000, 2, 16, 0};
  WaveFormat gsm{49, 1, 8000, 1625, 65, 0, 0};
  WaveFormat rate0{plat::kWaveFormatALaw, 1, 0, 0, 1, 8, 0};
  const Case cases[] = {
      {"A-law", WaveFormat::ALaw(), -1, plat::kMmNoError},
      {"mu-law", WaveFormat::MuLaw(), 0, plat::kMmNoError},
      {"PCM16", WaveFormat::Pcm16(), 1, plat::kMmNoError},
      {"PCM8", pcm8, -1, plat::kMmNoError},
      {"PCM16 at 16 kHz", pcm16k, -1, plat::kMmNoError},
      {"block align", badAlign, -1, plat::kWaveBadFormat},
      {"A-law 16 bits", alaw16, -1, plat::kWaveBadFormat},
      {"GSM", gsm, -1, plat::kWaveBadFormat},
      {"rate 0", rate0, -1, plat::kWaveBadFormat},
      {"device 2", WaveFormat::ALaw(), plat::kFakeWaveDevices, plat::kMmBadDeviceId},
      {"device -2", WaveFormat::ALaw(), -2, plat::kMmBadDeviceId},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<WaveOut> out;
    EXPECT_EQ(WaveOut::Open(out, c.deviceId, c.fmt, q), c.result);
    EXPECT_EQ(out != nullptr, c.result == plat::kMmNoError);
    std::unique_ptr<WaveIn> in;
    EXPECT_EQ(WaveIn::Open(in, c.deviceId, c.fmt, q), c.result);
    EXPECT_EQ(in != nullptr, c.result == plat::kMmNoError);
  }
}

TEST_F(WaveDeviceTest, AlsaDeviceThatDoesNotExistFailsWithACode) {
  plat::WaveSettings s;
  s.fake = false;
  s.alsaDevice = "rodiz_no_such_pcm_device";
  plat::SetWaveSettings(s);
  std::unique_ptr<WaveOut> out;
  EXPECT_EQ(WaveOut::Open(out, -1, WaveFormat::ALaw(), q), plat::kMmBadDeviceId);
  EXPECT_EQ(out, nullptr);
  std::unique_ptr<WaveIn> in;
  EXPECT_EQ(WaveIn::Open(in, -1, WaveFormat::Pcm16(), q), plat::kMmBadDeviceId);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(q->Size(), 0u);  // a device that never opened posts nothing
  EXPECT_FALSE(plat::PlaySoundAsync("/nonexistent.wav"));
}

// ALSA's "null" device needs no sound card: it runs the ALSA backend's
// whole path (it does not keep time, so nothing here is timed).
TEST_F(WaveDeviceTest, AlsaNullDeviceRunsTheAlsaBackend) {
  plat::WaveSettings s;
  s.fake = false;
  s.alsaDevice = "null";
  plat::SetWaveSettings(s);
  std::unique_ptr<WaveOut> out;
  if (WaveOut::Open(out, -1, WaveFormat::ALaw(), q) != plat::kMmNoError) GTEST_SKIP() << "no ALSA null device";
  std::vector<uint8_t> mem(2 * 1600, 0xD5);
  WaveHeader h[2];
  for (int i = 0; i < 2; ++i) {
    h[i].data = &mem[i * 1600];
    h[i].bufferLength = 1600;
    out->Prepare(&h[i]);
    ASSERT_EQ(out->Write(&h[i]), plat::kMmNoError);
  }
  WaveMsg m;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Next(WaveMsgType::kOutDone, m));
    EXPECT_EQ(m.header, &h[i]);
  }
  EXPECT_EQ(out->Close(), plat::kMmNoError);
  ASSERT_TRUE(Next(WaveMsgType::kOutClose, m));

  std::unique_ptr<WaveIn> in;
  ASSERT_EQ(WaveIn::Open(in, -1, WaveFormat::Pcm16(), q), plat::kMmNoError);
  for (int i = 0; i < 2; ++i) {
    h[i].flags.store(0);
    in->Prepare(&h[i]);
    ASSERT_EQ(in->AddBuffer(&h[i]), plat::kMmNoError);
  }
  in->Start();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Next(WaveMsgType::kInData, m));
    EXPECT_EQ(m.header, &h[i]);
    EXPECT_EQ(h[i].bytesRecorded, 1600u);
  }
  EXPECT_EQ(in->Close(), plat::kMmNoError);
  ASSERT_TRUE(Next(WaveMsgType::kInClose, m));
}

TEST_F(WaveDeviceTest, BuffersComeBackInOrderAfterTheirDuration) {
  // Timed from before the open: the device's clock starts there, and a slow
  // (sanitized) run may spend a while between the open and the first write.
  uint32_t start = plat::TickCount();
  std::unique_ptr<WaveOut> out;
  ASSERT_EQ(WaveOut::Open(out, -1, WaveFormat::ALaw(), q), plat::kMmNoError);
  WaveMsg m;
  ASSERT_TRUE(Next(WaveMsgType::kOutOpen, m));
  EXPECT_EQ(m.device, out->Serial());
  // Four 40 ms buffers, as a voice link keeps them.
  std::vector<uint8_t> mem(4 * 320);
  for (size_t i = 0; i < mem.size(); ++i) mem[i] = static_cast<uint8_t>(i * 3);
  WaveHeader h[4];
  for (int i = 0; i < 4; ++i) {
    h[i].data = &mem[i * 320];
    h[i].bufferLength = 320;
    h[i].user = static_cast<uintptr_t>(i);
    EXPECT_EQ(out->Write(&h[i]), plat::kWaveUnprepared);
    ASSERT_EQ(out->Prepare(&h[i]), plat::kMmNoError);
    ASSERT_EQ(out->Write(&h[i]), plat::kMmNoError);
    EXPECT_EQ(out->Write(&h[i]), plat::kWaveStillPlaying);
    EXPECT_EQ(out->Unprepare(&h[i]), plat::kWaveStillPlaying);
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(Next(WaveMsgType::kOutDone, m));
    EXPECT_EQ(m.header, &h[i]);
    EXPECT_TRUE(h[i].flags.load() & plat::kWhdrDone);
    EXPECT_EQ(out->Unprepare(&h[i]), plat::kMmNoError);
  }
  // Real time: 160 ms of audio cannot be done sooner.
  EXPECT_GE(plat::TickCount() - start, 150u);
  uint32_t serial = out->Serial();
  // The open is in the fake's log while the device is still open.
  std::vector<uint8_t> openLog = ReadAll(dir + "/wave.log");
  std::string opened(openLog.begin(), openLog.end());
  EXPECT_NE(opened.find("open=" + std::to_string(Session(serial).openTick) + " file=" + Session(serial).file),
            std::string::npos)
      << opened;
  EXPECT_EQ(out->Close(), plat::kMmNoError);
  ASSERT_TRUE(Next(WaveMsgType::kOutClose, m));
  plat::FakeWaveSession s = Session(serial);
  EXPECT_TRUE(s.closed);
  EXPECT_EQ(s.bytes, mem.size());
  EXPECT_GE(s.closeTick - s.openTick, 150u);
  // What was played is in the session's WAVE file, RIFF size = file size - 8.
  std::vector<uint8_t> f = ReadAll(s.file);
  ASSERT_EQ(f.size(), 46 + mem.size());
  EXPECT_EQ(Le32(f, 4), f.size() - 8);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 46, f.end()), mem);
  // The session's line in the fake's log names its file and both times.
  std::vector<uint8_t> log = ReadAll(dir + "/wave.log");
  std::string text(log.begin(), log.end());
  EXPECT_NE(text.find("open=" + std::to_string(s.openTick) + " close=" + std::to_string(s.closeTick)), std::string::npos)
      << text;
  EXPECT_NE(text.find(s.file), std::string::npos) << text;
}

TEST_F(WaveDeviceTest, ResetReturnsEveryPendingBufferAtOnce) {
  std::unique_ptr<WaveOut> out;
  ASSERT_EQ(WaveOut::Open(out, -1, WaveFormat::ALaw(), q), plat::kMmNoError);
  std::vector<uint8_t> mem(5 * 8000, 0x55);
  WaveHeader h[5];
  for (int i = 0; i < 5; ++i) {
    h[i].data = &mem[i * 8000];
    h[i].bufferLength = 8000;
    out->Prepare(&h[i]);
    ASSERT_EQ(out->Write(&h[i]), plat::kMmNoError);
  }
  EXPECT_EQ(out->Reset(), plat::kMmNoError);
  // Every buffer is back when Reset returns; its memory may be reused at once.
  for (auto& x : h) EXPECT_EQ(x.flags.load() & (plat::kWhdrDone | plat::kWhdrInQueue), plat::kWhdrDone);
  std::fill(mem.begin(), mem.end(), 0);
  WaveMsg m;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Next(WaveMsgType::kOutDone, m, 1000));
    EXPECT_EQ(m.header, &h[i]);
  }
  uint32_t serial = out->Serial();
  out->Close();
  // Far less than the 5 s queued was played, and never a zeroed byte.
  plat::FakeWaveSession s = Session(serial);
  EXPECT_LT(s.bytes, mem.size());
  std::vector<uint8_t> f = ReadAll(s.file);
  for (size_t i = 46; i < f.size(); ++i) ASSERT_EQ(f[i], 0x55) << i;
}

TEST_F(WaveDeviceTest, CloseIsIdempotentAndWorksFromTheMessageThread) {
  std::unique_ptr<WaveOut> out;
  ASSERT_EQ(WaveOut::Open(out, 1, WaveFormat::ALaw(), q), plat::kMmNoError);
  std::vector<uint8_t> mem(800, 0xD5);
  WaveHeader h[2];
  for (auto& x : h) {
    x.data = mem.data();
    x.bufferLength = 400;
    out->Prepare(&x);
    out->Write(&x);
  }
  // The owner's message thread closes the device on the first done notice.
  std::atomic<int> closes{0}, dones{0};
  plat::Thread msgThread;
  WaveOut* dev = out.get();
  ASSERT_TRUE(msgThread.Start([&] {
    WaveMsg m;
    uint32_t start = plat::TickCount();
    while (plat::TickCount() - start < 10000) {
      if (!q->Get(m, 50)) continue;
      if (m.type == WaveMsgType::kOutDone && dones++ == 0) dev->Close();
      if (m.type == WaveMsgType::kOutClose && ++closes && dones.load() >= 2) break;
    }
  }));
  msgThread.Join();
  EXPECT_EQ(dones.load(), 2);  // the second buffer came back through the close
  EXPECT_EQ(closes.load(), 1);
  EXPECT_EQ(out->Close(), plat::kMmNoError);
  EXPECT_EQ(out->Write(&h[0]), plat::kMmInvalHandle);
  WaveMsg m;
  EXPECT_FALSE(q->Get(m, 100));  // the second close posted nothing
}

TEST_F(WaveDeviceTest, VolumeIsPerHandle) {
  std::vector<uint8_t> pcm;
  for (int i = 0; i < 800; ++i) {
    int16_t v = (i % 2) ? 10000 : -10000;
    pcm.push_back(static_cast<uint8_t>(v & 0xFF));
    pcm.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  }
  struct Case {
    uint32_t volume;
    int16_t want;
  };
  // Two handles at once, each with its own level (low word: the left channel).
  const Case cases[] = {{0xFFFFFFFFu, 10000}, {0x80008000u, 5000}, {0, 0}};
  std::unique_ptr<WaveOut> outs[3];
  WaveHeader h[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(WaveOut::Open(outs[i], -1, WaveFormat::Pcm16(), nullptr), plat::kMmNoError);
    outs[i]->SetVolume(cases[i].volume);
    uint32_t v = 1;
    outs[i]->GetVolume(&v);
    EXPECT_EQ(v, cases[i].volume);
    h[i].data = pcm.data();
    h[i].bufferLength = static_cast<uint32_t>(pcm.size());
    outs[i]->Prepare(&h[i]);
    outs[i]->Write(&h[i]);
  }
  for (int i = 0; i < 3; ++i) {
    uint32_t start = plat::TickCount();
    while (!(h[i].flags.load() & plat::kWhdrDone) && plat::TickCount() - start < 10000) plat::SleepMs(10);
    uint32_t serial = outs[i]->Serial();
    outs[i]->Close();
    std::vector<uint8_t> f = ReadAll(Session(serial).file);
    ASSERT_EQ(f.size(), 44 + pcm.size());
    int16_t first = static_cast<int16_t>(f[44] | (f[45] << 8));
    int16_t second = static_cast<int16_t>(f[46] | (f[47] << 8));
    EXPECT_NEAR(second, cases[i].want, 1) << i;
    EXPECT_NEAR(first, -cases[i].want, 1) << i;
  }
}

TEST_F(WaveDeviceTest, CaptureFillsBuffersFromTheInputFile) {
  // A raw input of known bytes.
  std::vector<uint8_t> input(16000);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 13 + 1);
  std::string inPath = dir + "/in.raw";
  {
    FILE* f = std::fopen(inPath.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(input.data(), 1, input.size(), f);
    std::fclose(f);
  }
  Fake(inPath);
  std::unique_ptr<WaveIn> in;
  ASSERT_EQ(WaveIn::Open(in, -1, WaveFormat::ALaw(), q), plat::kMmNoError);
  std::vector<uint8_t> mem(4 * 320);
  WaveHeader h[4];
  for (int i = 0; i < 4; ++i) {
    h[i].data = &mem[i * 320];
    h[i].bufferLength = 320;
    in->Prepare(&h[i]);
    ASSERT_EQ(in->AddBuffer(&h[i]), plat::kMmNoError);
  }
  ASSERT_EQ(in->Start(), plat::kMmNoError);
  WaveMsg m;
  std::vector<uint8_t> got;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(Next(WaveMsgType::kInData, m));
    ASSERT_EQ(m.header, &h[i]);
    EXPECT_EQ(m.header->bytesRecorded, 320u);
    got.insert(got.end(), m.header->data, m.header->data + m.header->bytesRecorded);
  }
  EXPECT_EQ(got, std::vector<uint8_t>(input.begin(), input.begin() + 1280));
  in->Close();
  ASSERT_TRUE(Next(WaveMsgType::kInClose, m));
}

TEST_F(WaveDeviceTest, CaptureResetHandsBackWhatWasRecordedSoFar) {
  Fake();  // no input: silence
  std::unique_ptr<WaveIn> in;
  ASSERT_EQ(WaveIn::Open(in, -1, WaveFormat::Pcm16(), q), plat::kMmNoError);
  std::vector<uint8_t> mem(160000, 0x77);  // 10 s
  WaveHeader h, spare;
  h.data = mem.data();
  h.bufferLength = static_cast<uint32_t>(mem.size());
  spare.data = mem.data();
  spare.bufferLength = 320;
  in->Prepare(&h);
  in->Prepare(&spare);
  in->AddBuffer(&h);
  in->AddBuffer(&spare);
  in->Start();
  // The header is the device's until it comes back: watch the device's count instead.
  uint32_t start = plat::TickCount();
  while (Session(in->Serial()).bytes == 0 && plat::TickCount() - start < 10000) plat::SleepMs(10);
  ASSERT_EQ(in->Reset(), plat::kMmNoError);
  EXPECT_TRUE(h.flags.load() & plat::kWhdrDone);
  EXPECT_GT(h.bytesRecorded, 0u);
  EXPECT_LT(h.bytesRecorded, mem.size());
  EXPECT_EQ(spare.bytesRecorded, 0u);
  for (uint32_t i = 0; i < h.bytesRecorded; ++i) ASSERT_EQ(mem[i], 0) << i;  // PCM silence
  WaveMsg m;
  ASSERT_TRUE(Next(WaveMsgType::kInData, m));
  EXPECT_EQ(m.header, &h);
  ASSERT_TRUE(Next(WaveMsgType::kInData, m));
  EXPECT_EQ(m.header, &spare);
  // The piece being captured when the reset came is in the buffer too.
  ASSERT_EQ(in->Close(), plat::kMmNoError);
  EXPECT_EQ(h.bytesRecorded, Session(in->Serial()).bytes);
}

TEST_F(WaveDeviceTest, CaptureStopReturnsOnlyTheBufferBeingFilled) {
  std::unique_ptr<WaveIn> in;
  ASSERT_EQ(WaveIn::Open(in, 0, WaveFormat::ALaw(), q), plat::kMmNoError);
  std::vector<uint8_t> big(80000), small(160);
  WaveHeader h1, h2;
  h1.data = big.data();
  h1.bufferLength = static_cast<uint32_t>(big.size());
  h2.data = small.data();
  h2.bufferLength = static_cast<uint32_t>(small.size());
  in->Prepare(&h1);
  in->Prepare(&h2);
  in->AddBuffer(&h1);
  in->AddBuffer(&h2);
  in->Start();
  uint32_t start = plat::TickCount();
  while (Session(in->Serial()).bytes == 0 && plat::TickCount() - start < 10000) plat::SleepMs(10);
  ASSERT_EQ(in->Stop(), plat::kMmNoError);
  WaveMsg m;
  ASSERT_TRUE(Next(WaveMsgType::kInData, m));
  EXPECT_EQ(m.header, &h1);
  EXPECT_GT(h1.bytesRecorded, 0u);
  EXPECT_LT(h1.bytesRecorded, big.size());
  // The empty buffer stays queued while stopped, and is filled after a new start.
  EXPECT_FALSE(q->Get(m, 200));
  EXPECT_TRUE(h2.flags.load() & plat::kWhdrInQueue);
  in->Start();
  ASSERT_TRUE(Next(WaveMsgType::kInData, m));
  EXPECT_EQ(m.header, &h2);
  EXPECT_EQ(h2.bytesRecorded, small.size());
  // Nothing captured was left out of the two buffers.
  ASSERT_EQ(in->Close(), plat::kMmNoError);
  EXPECT_EQ(h1.bytesRecorded + h2.bytesRecorded, Session(in->Serial()).bytes);
}

TEST_F(WaveDeviceTest, LocalPlayOfAWaveFile) {
  // 0.3 s of A-law in a WAVE file with a "fact" chunk.
  std::vector<uint8_t> f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 18, 0, 0, 0,
                            6,   0,   1,   0,   0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0,
                            'f', 'a', 'c', 't', 4, 0, 0, 0, 0xC0, 0x09, 0, 0, 'd', 'a', 't', 'a', 0xC0, 0x09, 0, 0};
  std::vector<uint8_t> data(2400);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  f.insert(f.end(), data.begin(), data.end());
  std::string path = dir + "/local.wav";
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  std::fwrite(f.data(), 1, f.size(), fp);
  std::fclose(fp);
  EXPECT_FALSE(plat::PlaySoundAsync(dir + "/none.wav"));
  // A format the device cannot play (4-bit IMA ADPCM) is refused too.
  std::vector<uint8_t> adpcm = f;
  adpcm[20] = 0x11;
  adpcm[34] = 4;
  std::string adpcmPath = dir + "/adpcm.wav";
  if (FILE* a = std::fopen(adpcmPath.c_str(), "wb")) {
    std::fwrite(adpcm.data(), 1, adpcm.size(), a);
    std::fclose(a);
  }
  EXPECT_FALSE(plat::PlaySoundAsync(adpcmPath));
  ASSERT_TRUE(plat::PlaySoundAsync(path));
  // A second play ends the first.
  ASSERT_TRUE(plat::PlaySoundAsync(path));
  uint32_t start = plat::TickCount();
  while (plat::SoundAsyncPlaying() && plat::TickCount() - start < 10000) plat::SleepMs(20);
  plat::StopSoundAsync();
  EXPECT_FALSE(plat::SoundAsyncPlaying());
  auto sessions = plat::FakeWaveSessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_TRUE(sessions[0].closed);
  EXPECT_LE(sessions[1].openTick - sessions[0].closeTick, 0x80000000u);  // the first closed before the second opened
  EXPECT_EQ(sessions[1].bytes, data.size());
  std::vector<uint8_t> played = ReadAll(sessions[1].file);
  EXPECT_EQ(std::vector<uint8_t>(played.begin() + 46, played.end()), data);
}

}  // namespace
