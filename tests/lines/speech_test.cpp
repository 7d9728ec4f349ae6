// Speech through the engine: the language markers, spoken files in the
// three formats with their headers, speech on the fake sound card, the
// engine's start failure, the resampler and the PCM to A-law conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "lines/tts.h"
#include "lines/voccodec.h"
#include "platform/bytes.h"
#include "platform/speech.h"
#include "platform/text.h"
#include "platform/wave.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace {

using testsupport::TempDir;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double Rms(const std::vector<int16_t>& s, size_t from = 0, size_t to = SIZE_MAX) {
  to = std::min(to, s.size());
  if (to <= from) return 0;
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(SpeechMarkup, SplitsByLanguage) {
  using P = std::vector<std::pair<int, std::string>>;
  struct Case {
    const char* what;
    std::string text;
    P parts;
  } cases[] = {
      {"wrapped Chinese", WrapLanguage("ni hao", true), {{0x804, "ni hao"}}},
      {"wrapped English", WrapLanguage("hello", false), {{0x409, "hello"}}},
      {"no markers: the default", "plain", {{0x804, "plain"}}},
      {"switching languages",
       "a<LANG LANGID=\"409\">b</LANG>c<lang langid='804'>d</lang>",
       {{0x804, "a"}, {0x409, "b"}, {0x804, "cd"}}},
      {"nested markers return to the outer one",
       "<LANG LANGID=\"409\">x<LANG LANGID=\"804\">y</LANG>z</LANG>",
       {{0x409, "x"}, {0x804, "y"}, {0x409, "z"}}},
      {"other tags are word breaks", "one<silence msec=\"5\"/>two", {{0x804, "one two"}}},
      {"entities decoded", "a &lt;&amp;&gt; &quot;b&apos;", {{0x804, "a <&> \"b'"}}},
      {"an unfinished tag is not spoken", "say <LANG LANGID=", {{0x804, "say "}}},
      {"a close without an open keeps the default", "</LANG>x", {{0x804, "x"}}},
  };
  for (const Case& c : cases) {
    P got;
    for (const TagSpeechPart& p : SplitSpeechMarkup(c.text, 0x804)) got.emplace_back(p.langId, p.text);
    EXPECT_EQ(got, c.parts) << c.what;
  }
}

TEST(SpeechResample, KeepsTheBandAndDropsWhatIsAbove) {
  struct Case {
    double hz;
    double minRatio, maxRatio;  // output RMS over input RMS
  } cases[] = {{300, 0.9, 1.1}, {1000, 0.9, 1.1}, {3000, 0.8, 1.1}, {6000, 0.0, 0.05}, {9000, 0.0, 0.05}};
  for (const Case& c : cases) {
    std::vector<int16_t> in(22050);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * c.hz * i / 22050));
    std::vector<int16_t> out;
    plat::ResampleMono(in.data(), in.size(), 22050, 8000, out);
    ASSERT_NEAR(static_cast<double>(out.size()), 8000.0, 1.0) << c.hz;
    const double ratio = Rms(out, 200, out.size() - 200) / Rms(in);
    EXPECT_GE(ratio, c.minRatio) << c.hz;
    EXPECT_LE(ratio, c.maxRatio) << c.hz;
    if (c.hz < 4000) {
      // The tone keeps its pitch: count upward zero crossings in a second.
      int crossings = 0;
      for (size_t i = 1; i < out.size(); ++i) crossings += out[i - 1] < 0 && out[i] >= 0;
      EXPECT_NEAR(crossings, c.hz, c.hz * 0.02 + 2) << c.hz;
    }
  }
}

TEST(SpeechCodec, MuLawEncoderAgreesWithTheExpander) {
  struct Case {
    int16_t sample;
    uint8_t code;
  } cases[] = {{0, 0xFF}, {-1, 0x7F}, {32767, 0x80}, {-32768, 0x00}, {1000, 0xCE}, {-1000, 0x4E}};
  for (const Case& c : cases) EXPECT_EQ(LinearToMuLaw(c.sample), c.code) << c.sample;
  for (int s = -32768; s <= 32767; s += 37) {
    const int back = ExpandG711(LinearToMuLaw(static_cast<int16_t>(s)), false);
    // Within half a step of its segment (steps double per segment; 1024 at the top).
    EXPECT_LE(std::abs(back - s), std::max(8, std::abs(s) / 16 + 8)) << s;
  }
}

// Spoken files: the header the speech interface writes (18-byte format
// chunk) and audio of a plausible length.
TEST(SpeechToFile, ThreeFormatsWithTheirHeaders) {
  TempDir dir;
  struct Case {
    int type;
    uint16_t tag;
    uint32_t bytesPerSec;
    uint16_t align, bits;
    bool chinese;
    std::string text;
  } cases[] = {
      {0, 1, 16000, 2, 16, true, plat::Utf8ToGbk("你好，欢迎致电")},
      {1, 6, 8000, 1, 8, false, "Hello, welcome to the service."},
      {2, 7, 8000, 1, 8, true, plat::Utf8ToGbk("谢谢")},
      {5, 1, 16000, 2, 16, false, "Other types are sixteen bit."},
  };
  TagMsTTS tts;
  for (const Case& c : cases) {
    const std::string file = dir / ("t" + std::to_string(c.type) + ".wav");
    ASSERT_EQ(tts.SpeakToFile(c.text, file, c.chinese, c.type), 0) << c.type;
    std::vector<uint8_t> f = ReadFile(file);
    ASSERT_GT(f.size(), 46u) << c.type;
    EXPECT_EQ(std::memcmp(f.data(), "RIFF", 4), 0);
    EXPECT_EQ(plat::Le32(&f[4]), f.size() - 8) << c.type;
    EXPECT_EQ(std::memcmp(&f[8], "WAVEfmt ", 8), 0);
    EXPECT_EQ(plat::Le32(&f[16]), 18u);
    EXPECT_EQ(plat::Le16(&f[20]), c.tag) << c.type;
    EXPECT_EQ(plat::Le16(&f[22]), 1);
    EXPECT_EQ(plat::Le32(&f[24]), 8000u);
    EXPECT_EQ(plat::Le32(&f[28]), c.bytesPerSec) << c.type;
    EXPECT_EQ(plat::Le16(&f[32]), c.align) << c.type;
    EXPECT_EQ(plat::Le16(&f[34]), c.bits) << c.type;
    EXPECT_EQ(plat::Le16(&f[36]), 0);
    EXPECT_EQ(std::memcmp(&f[38], "data", 4), 0);
    EXPECT_EQ(plat::Le32(&f[42]), f.size() - 46) << c.type;
    // Between a third of a second and ten seconds of 8 kHz speech.
    const double seconds = static_cast<double>(f.size() - 46) / c.bytesPerSec;
    EXPECT_GT(seconds, 0.3) << c.type;
    EXPECT_LT(seconds, 10.0) << c.type;
    // And it is not silence.
    std::vector<int16_t> pcm;
    for (size_t i = 46; i + (c.bits / 8) <= f.size(); i += c.bits / 8)
      pcm.push_back(c.bits == 16 ? static_cast<int16_t>(plat::Le16(&f[i])) : ExpandG711(f[i], c.tag == 6));
    EXPECT_GT(Rms(pcm), 300.0) << c.type;
  }
}

TEST(SpeechToFile, FileThatCannotBeMadeGivesMinusOne) {
  TempDir dir;
  TagMsTTS tts;
  EXPECT_EQ(tts.SpeakToFile("a", dir / "no/such/dir/x.wav", true, 0), -1);
}

// The engine that cannot find its data: "class not registered" in the log,
// kept as the error by every object made while it is so.
TEST(SpeechToFile, EngineStartFailureIsLoggedAndKept) {
  TempDir dir;
  SetLogWriter(std::make_shared<TagWriteLog>(dir / "log.txt", 10000000, true, true));
  std::filesystem::create_directories(dir / "no-data");
  plat::SetSpeechDataPath(dir / "no-data");
  TagMsTTS tts;
  EXPECT_EQ(tts.SpeakToFile("a", dir / "x.wav", true, 0), plat::kSpeechClassNotRegistered);
  EXPECT_EQ(tts.SpeakToFile("a", dir / "y.wav", true, 0), plat::kSpeechClassNotRegistered);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.wav"));
  TagTTS pc(-1);
  EXPECT_EQ(pc.SpeakLang("a", true), plat::kSpeechClassNotRegistered);
  EXPECT_TRUE(pc.IsDone());
  plat::SetSpeechDataPath("");
  SetLogWriter(nullptr);
  const std::string log = ReadText(dir / "log.txt");
  EXPECT_NE(log.find("MS TTS : Could not create a TTS voice on the local machine, hr=0x80040154"), std::string::npos)
      << log;
  EXPECT_NE(log.find("REGDB_E_CLASSNOTREG"), std::string::npos) << log;
  // Once the data is back, new objects speak again.
  TagMsTTS again;
  EXPECT_EQ(again.SpeakToFile("a", dir / "z.wav", false, 0), 0);
}

class FakeSoundCard : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = plat::GetWaveSettings();
    plat::WaveSettings s = old_;
    s.fake = true;
    s.fakeDir = dir.path();
    plat::SetWaveSettings(s);
    plat::ClearFakeWaveSessions();
  }
  void TearDown() override { plat::SetWaveSettings(old_); }
  TempDir dir;
  plat::WaveSettings old_;
};

TEST_F(FakeSoundCard, SpokenTextIsPlayedToTheEnd) {
  TagTTS tts(-1);
  ASSERT_EQ(tts.SpeakLang(plat::Utf8ToGbk("你好"), true), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return tts.IsDone(); }, 30000));
  tts.Stop();
  auto sessions = plat::FakeWaveSessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_FALSE(sessions[0].capture);
  EXPECT_EQ(sessions[0].format.samplesPerSec, 8000u);
  EXPECT_EQ(sessions[0].format.bitsPerSample, 16);
  EXPECT_GT(sessions[0].bytes, 16000u * 3 / 10);
}

TEST_F(FakeSoundCard, FileContentIsSpokenAndStopEndsIt) {
  const std::string text = dir / "say.xml";
  WriteFile(text, {'<', 'L', 'A', 'N', 'G', ' ', 'L', 'A', 'N', 'G', 'I', 'D', '=', '"', '4', '0', '9', '"', '>',
                   'o', 'n', 'e', ' ', 't', 'w', 'o', ' ', 't', 'h', 'r', 'e', 'e', ' ', 'f', 'o', 'u', 'r', ' ',
                   'f', 'i', 'v', 'e', '<', '/', 'L', 'A', 'N', 'G', '>'});
  TagTTS tts(-1);
  ASSERT_EQ(tts.Speak(true, text), 0);
  EXPECT_FALSE(tts.IsDone());
  tts.Stop();
  EXPECT_TRUE(tts.IsDone());
  EXPECT_NE(tts.Speak(false, dir / "missing.txt"), 0);
}

// --- PcmToAlawWave ---

std::vector<uint8_t> PcmWave(const std::vector<int16_t>& samples, uint16_t tag = 1, uint16_t bits = 16,
                             uint32_t fmtSize = 16, bool listBeforeData = false, uint32_t rate = 8000,
                             uint16_t channels = 1) {
  std::vector<uint8_t> w(12);
  std::memcpy(w.data(), "RIFF", 4);
  std::memcpy(&w[8], "WAVE", 4);
  auto chunk = [&](const char* id, const std::vector<uint8_t>& body) {
    size_t at = w.size();
    w.resize(at + 8);
    std::memcpy(&w[at], id, 4);
    plat::PutLe32(&w[at + 4], static_cast<uint32_t>(body.size()));
    w.insert(w.end(), body.begin(), body.end());
    if (body.size() % 2) w.push_back(0);
  };
  std::vector<uint8_t> fmt(fmtSize, 0xEE);
  plat::PutLe16(&fmt[0], tag);
  plat::PutLe16(&fmt[2], channels);
  plat::PutLe32(&fmt[4], rate);
  plat::PutLe32(&fmt[8], rate * bits / 8);
  plat::PutLe16(&fmt[12], static_cast<uint16_t>(bits / 8));
  plat::PutLe16(&fmt[14], bits);
  chunk("fmt ", fmt);
  if (listBeforeData) chunk("LIST", {'I', 'N', 'F', 'O', 'x'});
  std::vector<uint8_t> data(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) plat::PutLe16(&data[2 * i], static_cast<uint16_t>(samples[i]));
  chunk("data", data);
  plat::PutLe32(&w[4], static_cast<uint32_t>(w.size() - 8));
  return w;
}

TEST(PcmToAlaw, ConvertsByTheFormula) {
  TempDir dir;
  const std::vector<int16_t> samples = {0, -1, 1000, 32767, -32767, -32768};
  const std::vector<uint8_t> codes = {0x55, 0xD5, 0x7B, 0x2B, 0xAB, 0xAA};
  struct Case {
    const char* what;
    std::vector<uint8_t> source;
    uint32_t rate;
    uint16_t channels;
  } cases[] = {
      {"plain", PcmWave(samples), 8000, 1},
      {"long format chunk", PcmWave(samples, 1, 16, 40), 8000, 1},
      {"a chunk before the data", PcmWave(samples, 1, 16, 18, true), 8000, 1},
      {"rate and channels carried over", PcmWave(samples, 1, 16, 16, false, 11025, 2), 11025, 2},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "in.wav", c.source);
    ASSERT_EQ(PcmToAlawWave(dir / "in.wav", dir / "out.wav"), 0) << c.what;
    std::vector<uint8_t> f = ReadFile(dir / "out.wav");
    ASSERT_EQ(f.size(), 46u + samples.size()) << c.what;
    EXPECT_EQ(plat::Le32(&f[4]), f.size() - 8);
    EXPECT_EQ(plat::Le32(&f[16]), 18u);
    EXPECT_EQ(plat::Le16(&f[20]), 6);
    EXPECT_EQ(plat::Le16(&f[22]), c.channels) << c.what;
    EXPECT_EQ(plat::Le32(&f[24]), c.rate) << c.what;
    EXPECT_EQ(plat::Le32(&f[28]), c.rate) << c.what;
    EXPECT_EQ(plat::Le16(&f[32]), 1);
    EXPECT_EQ(plat::Le16(&f[34]), 8);
    EXPECT_EQ(plat::Le16(&f[36]), 0);
    EXPECT_EQ(std::memcmp(&f[38], "data", 4), 0);
    EXPECT_EQ(plat::Le32(&f[42]), samples.size());
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 46, f.end()), codes) << c.what;
  }
}

TEST(PcmToAlaw, BlocksOfAThousandJoinSeamlessly) {
  TempDir dir;
  std::vector<int16_t> samples(2500);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 13 - 16000);
  WriteFile(dir / "in.wav", PcmWave(samples));
  ASSERT_EQ(PcmToAlawWave(dir / "in.wav", dir / "out.wav"), 0);
  std::vector<uint8_t> f = ReadFile(dir / "out.wav");
  ASSERT_EQ(f.size(), 46u + samples.size());
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(f[46 + i], ALawByFormula(samples[i])) << i;
}

TEST(PcmToAlaw, Failures) {
  TempDir dir;
  struct Case {
    const char* what;
    std::vector<uint8_t> source;  // empty: no source file
    std::string target;
    int want;
  } cases[] = {
      {"missing source", {}, "out.wav", -1},
      {"not RIFF", {'a', 'b', 'c', 'd', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "out.wav", -2},
      {"eight-bit PCM", PcmWave({1, 2}, 1, 8), "out.wav", -3},
      {"A-law source", PcmWave({1, 2}, 6, 8), "out.wav", -3},
      {"target cannot be made", PcmWave({1, 2}), "no/such/dir/out.wav", -2},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir / "in.wav");
    std::filesystem::remove(dir / "out.wav");
    if (!c.source.empty()) WriteFile(dir / "in.wav", c.source);
    EXPECT_EQ(PcmToAlawWave(dir / "in.wav", dir / c.target), c.want) << c.what;
    if (c.want != 0) {
      EXPECT_FALSE(std::filesystem::exists(dir / "out.wav")) << c.what;
    }
  }
}

}  // namespace
