#include "lines/vocfile.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <thread>

#include "voctest_util.h"

using namespace voctest;

namespace {

class VocFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.empty());
  }
  std::string P(const std::string& name) const { return dir + "/" + name; }

  // Reads a file with ReadVoiceData into a buffer as large as the file.
  std::vector<uint8_t> Read(const std::string& path, int& format, int limit = -1) {
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return {};
    std::vector<uint8_t> buf(ReadAll(path).size() + 16);
    int n = ReadVoiceData(f, buf.data(), limit < 0 ? static_cast<int>(buf.size()) : limit, format);
    std::fclose(f);
    buf.resize(static_cast<size_t>(std::max(n, 0)));
    return buf;
  }

  testsupport::TempDir tmp;
  std::string dir = tmp.path();
};

// ---------------------------------------------------------------------------
// Files made by sox

struct SoxCase {
  const char* name;
  const char* soxArgs;  // from the 16-bit source to the file
  int format;           // expected code, or -1 when the file is refused
  size_t dataOffset;    // where the data starts in sox's file (0: headerless)
};

void PrintTo(const SoxCase& c, std::ostream* os) { *os << c.name; }

class VocFileSox : public VocFileTest, public ::testing::WithParamInterface<SoxCase> {};

TEST_P(VocFileSox, ReadsEachFormat) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  const SoxCase& c = GetParam();
  std::string src = P("src.wav"), out = P(c.name);
  ASSERT_TRUE(Sox("-D -n -r 8000 -c 1 -b 16 -e signed-integer " + src + " synth 0.5 square 440 vol 0.5"));
  ASSERT_TRUE(Sox("-D " + src + " " + c.soxArgs + " " + out));
  std::vector<uint8_t> file = ReadAll(out);
  int format = -9;
  std::vector<uint8_t> data = Read(out, format);
  if (c.format < 0) {
    EXPECT_TRUE(data.empty());
    TagVocFile voc(out, 1.0);
    EXPECT_EQ(voc.status, -1);
    return;
  }
  EXPECT_EQ(format, c.format);
  ASSERT_GE(file.size(), c.dataOffset);
  EXPECT_EQ(data, std::vector<uint8_t>(file.begin() + c.dataOffset, file.end()));
  TagVocFile voc(out, 1.0);
  ASSERT_EQ(voc.status, 0);
  EXPECT_EQ(voc.type, c.format);
  EXPECT_EQ(voc.count, c.format == kVocPcm ? static_cast<int>(data.size() / 2) : static_cast<int>(data.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VocFileSox,
    ::testing::Values(SoxCase{"pcm16.wav", "", kVocPcm, 44},
                      // sox writes an 18-byte format chunk and a "fact" chunk before "data".
                      SoxCase{"alaw.wav", "-e a-law", kVocALaw, 58}, SoxCase{"ulaw.wav", "-e u-law", kVocMuLaw, 58},
                      SoxCase{"raw.al", "-t al", kVocALaw, 0}, SoxCase{"r16k.wav", "-r 16000", -1, 0},
                      SoxCase{"pcm8.wav", "-b 8 -e unsigned", -1, 0}),
    [](const auto& p) {
      std::string n = p.param.name;
      std::replace(n.begin(), n.end(), '.', '_');
      return n;
    });

TEST_F(VocFileTest, SoxALawFileHasAFactChunkAndMatchesOurEncoder) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  std::string src = P("src.wav"), a = P("a.wav"), u = P("u.wav"), back = P("back.wav");
  ASSERT_TRUE(Sox("-D -n -r 8000 -c 1 -b 16 -e signed-integer " + src + " synth 0.5 sine 300 vol 0.9"));
  ASSERT_TRUE(Sox("-D " + src + " -e a-law " + a));
  std::vector<uint8_t> af = ReadAll(a);
  ASSERT_EQ(std::string(af.begin() + 38, af.begin() + 42), "fact");
  // sox is a G.711 encoder of its own that rounds where ours truncates:
  // byte for byte ours half a step higher.
  std::vector<int16_t> pcm = PcmOf(ReadAll(src), 44);
  int format = -1;
  std::vector<uint8_t> alaw = Read(a, format);
  ASSERT_EQ(alaw.size(), pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i)
    ASSERT_EQ(alaw[i], LinearToALaw(static_cast<int16_t>(std::min(pcm[i] + 4, 32767)))) << i;
  // And a G.711 decoder: mu-law bytes expand to what sox makes of them.
  ASSERT_TRUE(Sox("-D " + src + " -e u-law " + u));
  ASSERT_TRUE(Sox("-D " + u + " -b 16 -e signed-integer " + back));
  std::vector<uint8_t> ulaw = Read(u, format);
  EXPECT_EQ(format, kVocMuLaw);
  std::vector<int16_t> decoded = PcmOf(ReadAll(back), 44);
  ASSERT_EQ(decoded.size(), ulaw.size());
  for (size_t i = 0; i < ulaw.size(); ++i) ASSERT_EQ(decoded[i], ExpandG711(ulaw[i], false)) << i;
}

// ---------------------------------------------------------------------------
// Layouts built by hand

TEST_F(VocFileTest, LayoutsOfTheFormatChunkAndTheChunksBeforeData) {
  std::vector<uint8_t> data(400);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> other = {1, 2, 3, 4, 5, 6};
  struct Case {
    const char* what;
    WaveShape spec;
    size_t want;  // bytes read: data.size(), or what the layout yields
    int format;
  };
  WaveShape big;
  big.tag = 6, big.bits = 8, big.fmtSize = 50;  // larger than the record: bounded and skipped
  WaveShape rec20;
  rec20.fmtSize = 20;  // the recorder's own layout
  WaveShape fact;
  fact.tag = 7, fact.bits = 8, fact.fmtSize = 18, fact.before = {{"fact", {0xA0, 0x0F, 0, 0}}};
  WaveShape shortData;
  shortData.tag = 6, shortData.bits = 8, shortData.dataSizeField = 100;
  WaveShape longData;
  longData.tag = 6, longData.bits = 8, longData.dataSizeField = 0x7FFFFFF0;
  WaveShape otherTag;
  otherTag.tag = 0x55, otherTag.bits = 4;  // read as A-law without checks
  const Case cases[] = {{"fmt 50", big, 400, kVocALaw},        {"fmt 20", rec20, 400, kVocPcm},
                        {"fact", fact, 400, kVocMuLaw},        {"data size 100", shortData, 100, kVocALaw},
                        {"data size huge", longData, 400, kVocALaw}, {"tag 0x55", otherTag, 400, kVocALaw}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(P("f.wav"), MakeWave(c.spec, data));
    int format = -1;
    std::vector<uint8_t> got = Read(P("f.wav"), format);
    EXPECT_EQ(format, c.format);
    ASSERT_EQ(got.size(), c.want);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
  }
}

TEST_F(VocFileTest, TwoChunksBeforeDataReadTheSecondHeaderAsData) {
  std::vector<uint8_t> data(300, 0x33);
  WaveShape s;
  s.tag = 6, s.bits = 8, s.before = {{"fact", {1, 0, 0, 0}}, {"LIST", std::vector<uint8_t>(10, 0x44)}};
  WriteAll(P("f.wav"), MakeWave(s, data));
  int format = -1;
  std::vector<uint8_t> got = Read(P("f.wav"), format);
  // The "LIST" header's size (10) is taken as the data size.
  ASSERT_EQ(got.size(), 10u);
  EXPECT_EQ(got, std::vector<uint8_t>(10, 0x44));
}

TEST_F(VocFileTest, RefusedHeadersReadNothing) {
  struct Case {
    const char* what;
    WaveShape spec;
  };
  WaveShape rate;
  rate.rate = 11025;
  WaveShape alaw16;
  alaw16.tag = 6, alaw16.bits = 16;
  WaveShape pcm8;
  pcm8.bits = 8;
  WaveShape tiny;
  tiny.fmtSize = 8;  // the bits lie beyond what the chunk holds
  for (const auto& c : {Case{"rate", rate}, Case{"A-law 16 bits", alaw16}, Case{"PCM 8 bits", pcm8},
                        Case{"fmt 8", tiny}}) {
    SCOPED_TRACE(c.what);
    WriteAll(P("f.wav"), MakeWave(c.spec, std::vector<uint8_t>(400, 1)));
    int format = -1;
    EXPECT_TRUE(Read(P("f.wav"), format).empty());
  }
  // A file that names itself RIFF but ends inside the header.
  WriteAll(P("cut.wav"), {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A'});
  int format = -1;
  EXPECT_TRUE(Read(P("cut.wav"), format).empty());
}

TEST_F(VocFileTest, HeaderlessDataIsReadWholeUpToTheBuffer) {
  std::vector<uint8_t> raw(1000);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i);
  WriteAll(P("raw.al"), raw);
  int format = -1;
  EXPECT_EQ(Read(P("raw.al"), format), raw);
  EXPECT_EQ(format, kVocALaw);
  std::vector<uint8_t> part = Read(P("raw.al"), format, 600);
  EXPECT_EQ(part, std::vector<uint8_t>(raw.begin(), raw.begin() + 600));
  EXPECT_EQ(ReadVoiceData(nullptr, part.data(), 10, format), 0);
}

// ---------------------------------------------------------------------------
// TagVocFile

TEST_F(VocFileTest, SizeLimitIs160Bytes) {
  for (size_t size : {0u, 159u, 160u, 161u}) {
    SCOPED_TRACE(size);
    WriteAll(P("raw.al"), std::vector<uint8_t>(size, 0xD5));
    TagVocFile voc(P("raw.al"), 1.0);
    EXPECT_EQ(voc.status, size >= 160 ? 0 : -1);
    EXPECT_EQ(voc.count, size >= 160 ? static_cast<int>(size) : 0);
  }
  TagVocFile missing(P("none.wav"), 1.0);
  EXPECT_EQ(missing.status, -1);
}

TEST_F(VocFileTest, GainSaturatesInsteadOfWrapping) {
  // mu-law bytes of growing loudness: 0x80 is +32124, 0x00 -32124.
  std::vector<uint8_t> bytes = {0x80, 0x00, 0xC0, 0x40, 0xF0, 0x70, 0xFE, 0x7E};
  bytes.resize(200, 0xFF);
  WriteAll(P("u.wav"), MakeWave(WaveShape{7, 8000, 8, 16, {}, -1}, bytes));
  for (double gain : {1.0, 0.5, 2.0, 4.0, 1e9, 3.25}) {
    SCOPED_TRACE(gain);
    TagVocFile voc(P("u.wav"), gain);
    ASSERT_EQ(voc.status, 0);
    ASSERT_EQ(voc.count, 200);
    for (int i = 0; i < 8; ++i) {
      double v = ExpandG711(bytes[i], false) * gain;
      int want = v >= 32767 ? 32767 : (v <= -32768 ? -32768 : static_cast<int>(v));
      EXPECT_EQ(voc.samples[i], want) << "sample " << i;
    }
  }
}

TEST_F(VocFileTest, PcmSamplesTakeNoGain) {
  std::vector<int16_t> s = Square(400, 3000);
  WriteAll(P("p.wav"), MakeWave(WaveShape{}, Pcm16Bytes(s)));
  TagVocFile voc(P("p.wav"), 3.0);
  ASSERT_EQ(voc.status, 0);
  EXPECT_EQ(voc.samples, s);
}

// Automatic gain over a PCM file: 50 quiet blocks, 20 loud blocks of a
// square of amplitude a, then 30 quiet blocks (more than 26 close the segment).
TEST_F(VocFileTest, AutomaticGainScalesClosedSegments) {
  struct Case {
    int amplitude;
    int want;
  };
  // GainOf(160 * a): a <= 3276 gives 6553 / a (at most 10), a > 9829 gives 2/3.
  const Case cases[] = {{100, 1000}, {1000, 6000}, {2000, 6000}, {5000, 5000}, {12000, 8000}, {30000, 20000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.amplitude);
    std::vector<int16_t> s(50 * 160, 0);
    std::vector<int16_t> loud = Square(20 * 160, c.amplitude);
    s.insert(s.end(), loud.begin(), loud.end());
    s.resize(s.size() + 30 * 160, 0);
    WriteAll(P("agc.wav"), MakeWave(WaveShape{}, Pcm16Bytes(s)));
    TagVocFile voc(P("agc.wav"), 0.0);
    ASSERT_EQ(voc.status, 0);
    for (int i = 50 * 160; i < 70 * 160; ++i) ASSERT_EQ(std::abs(voc.samples[i]), c.want) << i;
    EXPECT_EQ(voc.samples[50 * 160 - 1], 0);
    EXPECT_EQ(voc.samples[70 * 160], 0);
  }
  // A segment still open at the end of the file is left alone.
  std::vector<int16_t> s(50 * 160, 0);
  std::vector<int16_t> loud = Square(20 * 160, 1000);
  s.insert(s.end(), loud.begin(), loud.end());
  s.resize(s.size() + 10 * 160, 0);
  WriteAll(P("open.wav"), MakeWave(WaveShape{}, Pcm16Bytes(s)));
  TagVocFile open(P("open.wav"), 0.0);
  EXPECT_EQ(open.samples, s);
}

TEST_F(VocFileTest, GainOfTable) {
  const int cases[][2] = {{0, 1}, {159, 1}, {160, 10}, {160 * 655, 10}, {160 * 656, 9},
                          {160 * 3276, 2}, {160 * 3277, 1}, {160 * 9829, 1}, {160 * 9830, -2}};
  for (const auto& c : cases) EXPECT_EQ(GainOf(c[0]), c[1]) << c[0];
}

TEST_F(VocFileTest, WriteKeepsPcmAndCompressesTheRest) {
  std::vector<int16_t> s = Square(800, 5000);
  WriteAll(P("p.wav"), MakeWave(WaveShape{}, Pcm16Bytes(s)));
  std::vector<uint8_t> alaw(800);
  LinearToALawBlock(s.data(), alaw.data(), alaw.size());
  WriteAll(P("a.wav"), MakeWave(WaveShape{6, 8000, 8, 16, {}, -1}, alaw));
  struct Case {
    const char* in;
    uint16_t tag;
    size_t bytes;
  };
  for (const auto& c : {Case{"p.wav", 1, 1600}, Case{"a.wav", 6, 800}}) {
    SCOPED_TRACE(c.in);
    TagVocFile voc(P(c.in), 1.0);
    ASSERT_EQ(voc.status, 0);
    ASSERT_EQ(voc.Write(P("out.wav")), 0);
    std::vector<uint8_t> out = ReadAll(P("out.wav"));
    ASSERT_EQ(out.size(), 44 + c.bytes);
    EXPECT_TRUE(WaveSizesConsistent(out, 44));
    EXPECT_EQ(Le16(out, 20), c.tag);
    if (c.tag == 1) {
      EXPECT_EQ(PcmOf(out, 44), s);
    } else {
      std::vector<uint8_t> want(voc.samples.size());
      LinearToALawBlock(voc.samples.data(), want.data(), want.size());
      EXPECT_EQ(std::vector<uint8_t>(out.begin() + 44, out.end()), want);
    }
  }
  TagVocFile voc(P("p.wav"), 1.0);
  EXPECT_EQ(voc.Write(P("no/such/dir/out.wav")), -1);
}

// ---------------------------------------------------------------------------
// ".VOX"

TEST_F(VocFileTest, VoxToWavWritesTheDecodedSamples) {
  std::vector<uint8_t> vox(1000);
  for (size_t i = 0; i < vox.size(); ++i) vox[i] = static_cast<uint8_t>(i * 37 + 11);
  WriteAll(P("a.vox"), vox);
  ASSERT_EQ(VoxToWav(P("a.vox"), P("a.wav")), 0);
  std::vector<uint8_t> out = ReadAll(P("a.wav"));
  ASSERT_EQ(out.size(), 46 + 4 * vox.size());
  EXPECT_TRUE(WaveSizesConsistent(out, 46));
  EXPECT_EQ(Le32(out, 16), 18u);
  EXPECT_EQ(Le16(out, 20), 1);
  std::vector<int16_t> want(2 * vox.size());
  VoxAdpcmState st;
  VoxAdpcmDecode(vox.data(), want.data(), vox.size(), st);
  EXPECT_EQ(PcmOf(out, 46), want);
  EXPECT_EQ(VoxToWav(P("none.vox"), P("b.wav")), -1);
  EXPECT_EQ(VoxToWav(P("a.vox"), P("no/dir/b.wav")), -2);
}

TEST_F(VocFileTest, SoxVoxDecodesLikeSoxAfterTheStepsMeet) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  std::string src = P("src.wav"), vox = P("tone.vox"), back = P("back.wav");
  // Our decoder starts at step index 16, sox at 0; a quiet lead-in walks
  // both down to the same step, after which only a small constant offset
  // of the predictor remains. Sox gives 12-bit samples << 4, we give x 10.
  ASSERT_TRUE(Sox("-D -n -r 8000 -c 1 -b 16 -e signed-integer " + src + " synth 0.6 sine 250 vol 0.7 pad 0.2 0"));
  ASSERT_TRUE(Sox("-D " + src + " -t vox " + vox));
  ASSERT_TRUE(Sox("-D -r 8000 -t vox " + vox + " -b 16 -e signed-integer " + back));
  std::string conv;
  ASSERT_EQ(PrepareVoxAsWav(vox, conv), 1);
  std::vector<int16_t> ours = PcmOf(ReadAll(conv), 46);
  std::vector<int16_t> theirs = PcmOf(ReadAll(back), 44);
  ASSERT_EQ(ours.size(), 2 * ReadAll(vox).size());
  ASSERT_GE(theirs.size(), ours.size());
  int worst = 0;
  for (size_t i = 1600; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i] / 16 * 10));
  EXPECT_LE(worst, 200);
}

TEST_F(VocFileTest, PrepareVoxAsWavConvertsOnlyWhenMissingOrOlder) {
  WriteAll(P("a.VoX"), std::vector<uint8_t>(100, 0x17));
  std::string out;
  EXPECT_EQ(PrepareVoxAsWav(P("a.wav"), out), 0);
  EXPECT_EQ(out, P("a.wav"));
  EXPECT_EQ(PrepareVoxAsWav(P("a.VoX"), out), 1);
  EXPECT_EQ(out, P("a.VoX.wav"));
  ASSERT_EQ(ReadAll(out).size(), 46u + 400);
  // A newer copy is kept (its content shows whether it was rewritten).
  WriteAll(out, {1, 2, 3});
  struct timeval now[2];
  gettimeofday(&now[0], nullptr);
  now[1] = now[0];
  now[0].tv_sec += 100, now[1].tv_sec += 100;
  utimes(out.c_str(), now);
  EXPECT_EQ(PrepareVoxAsWav(P("a.VoX"), out), 1);
  EXPECT_EQ(ReadAll(out).size(), 3u);
  // An older one is made again.
  now[0].tv_sec -= 10000, now[1].tv_sec -= 10000;
  utimes(out.c_str(), now);
  EXPECT_EQ(PrepareVoxAsWav(P("a.VoX"), out), 1);
  EXPECT_EQ(ReadAll(out).size(), 46u + 400);
  // A missing source still names the converted file.
  EXPECT_EQ(PrepareVoxAsWav(P("none.vox"), out), 1);
  EXPECT_EQ(out, P("none.vox.wav"));
}

TEST_F(VocFileTest, LinesConvertingTheSameVoxNeverSeeAHalfWrittenCopy) {
  std::vector<uint8_t> vox(200000, 0x5A);
  WriteAll(P("big.vox"), vox);
  const size_t full = 46 + 4 * vox.size();
  for (int round = 0; round < 5; ++round) {
    std::remove(P("big.vox.wav").c_str());
    std::vector<std::thread> lines;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
      lines.emplace_back([&] {
        std::string out;
        PrepareVoxAsWav(P("big.vox"), out);
        // Whatever each line finds after its call is a whole file.
        std::vector<uint8_t> f = ReadAll(out);
        if (f.size() != full || Le32(f, 4) != full - 8) ++bad;
      });
    }
    for (auto& t : lines) t.join();
    EXPECT_EQ(bad.load(), 0);
  }
  // No temporary files are left behind.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 2);
}

}  // namespace
