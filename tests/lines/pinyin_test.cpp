// The pinyin engine on small libraries built here byte by byte: text to
// syllable names, the loader's checks, the joined voice file and a first
// load asked for by many lines at once.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "lines/pinyin.h"
#include "platform/bytes.h"
#include "platform/text.h"
#include "tests/support/tempdir.h"

namespace {

using testsupport::TempDir;

std::string Gb(const char* utf8) { return plat::Utf8ToGbk(utf8); }

// A library file written by hand: header, index (names stored less the
// offset), segments, then the character table.
struct LibBytes {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> segments;
  std::vector<uint8_t> table;
  std::optional<uint32_t> countOverride;
  int32_t baseDelta = 0;
  int32_t tableDelta = 0;

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> out(12 + 16 * segments.size());
    uint32_t offset = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
      uint8_t* e = &out[12 + 16 * i];
      for (size_t k = 0; k < 8; ++k)
        e[k] = static_cast<uint8_t>((k < segments[i].first.size() ? segments[i].first[k] : 0) - kVocNameOffset);
      plat::PutLe32(e + 8, offset);
      plat::PutLe32(e + 12, static_cast<uint32_t>(segments[i].second.size()));
      offset += static_cast<uint32_t>(segments[i].second.size());
    }
    plat::PutLe32(&out[0], countOverride ? *countOverride : static_cast<uint32_t>(segments.size()));
    plat::PutLe32(&out[4], static_cast<uint32_t>(out.size() + baseDelta));
    plat::PutLe32(&out[8], offset + tableDelta);
    for (const auto& s : segments) out.insert(out.end(), s.second.begin(), s.second.end());
    out.insert(out.end(), table.begin(), table.end());
    return out;
  }
};

// A table covering rows 0xB0 to lastRow, blank but for the named characters.
std::vector<uint8_t> Table(int lastRow, const std::vector<std::pair<std::string, const char*>>& names) {
  std::vector<uint8_t> t(static_cast<size_t>(lastRow - 0xB0 + 1) * 94 * 10, ' ');
  for (const auto& [gb, name] : names) {
    const uint8_t h = static_cast<uint8_t>(gb[0]), l = static_cast<uint8_t>(gb[1]);
    const size_t at = (static_cast<size_t>(h - 0xB0) * 94 + (l - 0xA1)) * 10;
    std::memcpy(&t[at], name, std::strlen(name));
  }
  return t;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Audio(uint8_t fill, size_t n) { return std::vector<uint8_t>(n, fill); }

// The characters the cases use, with their table readings. Row 0xD6 is the
// last one in the table, so 0xD7 onwards lies past it.
std::vector<uint8_t> SampleTable() {
  return Table(0xD6, {{Gb("你"), "NI3"},
                      {Gb("好"), "HAO3"},
                      {Gb("银"), "YIN2"},
                      {Gb("行"), "XING2"},
                      {Gb("重"), "ZHONG4"},
                      {Gb("庆"), "QING4"},
                      {Gb("量"), "LIANG4"},
                      {Gb("大"), "DA4"},
                      {Gb("厦"), "XIA4"},
                      {Gb("长"), "CHANG2"},
                      {Gb("城"), "CHENG2"},
                      {Gb("啊"), "A1\t\n"}});
}

class PinyinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LibBytes lib;
    lib.segments = {{"NI3", Audio(1, 10)}, {"HAO3", Audio(2, 20)}, {"mute", Audio(0xD5, 5)},
                    {"1", Audio(3, 7)},     {"LONGSEG", Audio(4, 12000)}, {"NI3", Audio(9, 3)}};
    lib.table = SampleTable();
    WriteFile(dir / "KxVocLib.dat", lib.Build());
    ASSERT_EQ(hypy.LoadVocLib(dir.path()), 0);
  }
  std::vector<std::string> Names(const std::string& text) {
    std::vector<std::string> out{"left over"};
    int n = hypy.TextToSyllables(text, out);
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
  }
  TempDir dir;
  CGetHypy hypy;
};

TEST_F(PinyinTest, TextToSyllableNames) {
  using V = std::vector<std::string>;
  struct Case {
    const char* what;
    std::string text;
    V names;
  } cases[] = {
      {"decimal point between digits", "3.5", {"3", "DIAN3", "5"}},
      {"sign before a number", "+5", {"ZHENG4", "5"}},
      {"plus between numbers", "2+5", {"2", "JIA1", "5"}},
      {"minus between letters", "a-b", {"A", "JIAN3", "B"}},
      {"negative number", "-3", {"FU4", "3"}},
      {"minus after a digit", "3-", {"3", "JIAN3"}},
      {"letters upper-cased", "xY", {"X", "Y"}},
      {"pauses", "a,b:c;d", {"A", "mute", "B", "mute", "C", "mute", "D"}},
      {"long pauses", "a!b?", {"A", "mute", "mute", "B", "mute", "mute"}},
      {"a point not between digits", "a.", {"A", "mute"}},
      {"other signs say nothing", "a@#$%b", {"A", "B"}},
      {"polyphone as first character", Gb("你好"), {"NI2", "HAO3"}},
      {"polyphone as second character", Gb("银行"), {"YIN2", "HANG2"}},
      {"second character's row needs the first", Gb("行"), {"XING2"}},
      {"polyphone word in longer text", Gb("重庆重量"), {"CHONG2", "QING4", "ZHONG4", "LIANG4"}},
      {"polyphone reading of the second of a pair", Gb("大厦"), {"DA4", "SHA4"}},
      {"first polyphone character at the end of the text", Gb("重"), {"ZHONG4"}},
      {"trailing blanks, tabs and line ends trimmed", Gb("啊"), {"A1"}},
      {"full-width digits", Gb("１２０"), {"1", "2", "0"}},
      {"full-width letters", Gb("ＡＢｃｚ"), {"A", "B", "C", "Z"}},
      {"parenthesised digits", Gb("⑴⑼"), {"1", "9"}},
      {"full-width comma", Gb("好，好"), {"HAO3", "mute", "HAO3"}},
      {"full-width stops", Gb("。？！．"), {"mute", "mute", "mute", "mute", "mute", "mute", "mute", "mute"}},
      {"other symbols below the characters pause", Gb("※"), {"mute"}},
      {"a character past the loaded table says nothing", Gb("你住好"), {"NI3", "HAO3"}},
      {"lead bytes above the table's rows say nothing", "\xF8\xA1\xFE\xFE" "1", {"1"}},
      {"trail byte 0xFF outside every row", "\xB0\xFF" "1", {"1"}},
      {"GBK trail below 0xA1 stands alone", "\xB0" "7", {"7"}},
      {"blank table entry", Gb("城市"), {"CHENG2"}},
      {"leading dots repeat nothing", "..a", {"mute", "A"}},
      {"dots after a name repeat it", Gb("好.."), {"HAO3", "HAO3", "mute"}},
      {"empty text", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Names(c.text), c.names) << c.what;
}

TEST_F(PinyinTest, TextIsCutAt2048BytesEvenInsideACharacter) {
  std::string text(2047, 'a');
  text += Gb("你");
  std::vector<std::string> names = Names(text);
  ASSERT_EQ(names.size(), 2047u);
  EXPECT_EQ(names.back(), "A");
  text = std::string(2046, 'b') + Gb("你");
  names = Names(text);
  ASSERT_EQ(names.size(), 2047u);
  EXPECT_EQ(names.back(), "NI3");
}

TEST_F(PinyinTest, IndexNamesAreDecodedAndALaterEntryWins) {
  TagWord w;
  ASSERT_TRUE(hypy.Lookup("NI3", w));
  EXPECT_EQ(w.length, 3);  // the second NI3
  EXPECT_EQ(w.offset, 10 + 20 + 5 + 7 + 12000);
  ASSERT_TRUE(hypy.Lookup("LONGSEG", w));
  EXPECT_EQ(w.length, 12000);
  EXPECT_FALSE(hypy.Lookup("HAO4", w));
}

TEST_F(PinyinTest, TextToWaveJoinsSegments) {
  const std::string wav = dir / "out.wav";
  EXPECT_EQ(hypy.TextToWave(Gb("你好，1") + "q", wav), 5);  // NI2 is not in the library: skipped
  std::vector<uint8_t> got = ReadFile(wav);
  ASSERT_EQ(got.size(), 46u + 20 + 5 + 7);
  EXPECT_EQ(std::memcmp(got.data(), "RIFF", 4), 0);
  EXPECT_EQ(plat::Le32(&got[4]), got.size() - 8);
  EXPECT_EQ(plat::Le32(&got[16]), 18u);
  EXPECT_EQ(plat::Le16(&got[20]), 6);
  EXPECT_EQ(plat::Le16(&got[22]), 1);
  EXPECT_EQ(plat::Le32(&got[24]), 8000u);
  EXPECT_EQ(plat::Le32(&got[28]), 8000u);
  EXPECT_EQ(plat::Le16(&got[32]), 1);
  EXPECT_EQ(plat::Le16(&got[34]), 8);
  EXPECT_EQ(plat::Le16(&got[36]), 0);
  EXPECT_EQ(std::memcmp(&got[38], "data", 4), 0);
  EXPECT_EQ(plat::Le32(&got[42]), 32u);
  std::vector<uint8_t> data(got.begin() + 46, got.end());
  std::vector<uint8_t> want = Audio(2, 20);
  for (uint8_t b : Audio(0xD5, 5)) want.push_back(b);
  for (uint8_t b : Audio(3, 7)) want.push_back(b);
  EXPECT_EQ(data, want);
}

TEST_F(PinyinTest, RawOutputAndLongSegments) {
  // Only an exact ".wav" or ".WAV" gets a header.
  const std::string raw = dir / "out.Wav";
  EXPECT_EQ(hypy.TextToWave(Gb("好") + "1", raw), 2);
  std::vector<uint8_t> want = Audio(2, 20);
  for (uint8_t b : Audio(3, 7)) want.push_back(b);
  EXPECT_EQ(ReadFile(raw), want);

  // A segment is read up to 10240 bytes. Its name is not a syllable of any
  // text, so a library with it under "mute" shows the limit.
  TempDir other;
  LibBytes big;
  big.segments = {{"mute", Audio(7, 12000)}};
  big.table = SampleTable();
  WriteFile(other / "KxVocLib.dat", big.Build());
  CGetHypy h2;
  ASSERT_EQ(h2.LoadVocLib(other.path() + "/"), 0);
  EXPECT_EQ(h2.TextToWave(",", other / "m.raw"), 1);
  EXPECT_EQ(ReadFile(other / "m.raw"), Audio(7, 10240));
}

TEST_F(PinyinTest, TextToWaveFailures) {
  EXPECT_EQ(hypy.TextToWave("@@", dir / "none.wav"), -1);
  EXPECT_FALSE(std::filesystem::exists(dir / "none.wav"));
  EXPECT_EQ(hypy.TextToWave("1", dir / "no/such/dir/x.wav"), -1);
  std::filesystem::remove(dir / "KxVocLib.dat");
  EXPECT_EQ(hypy.TextToWave("1", dir / "x.wav"), -2);
  CGetHypy notLoaded;
  EXPECT_EQ(notLoaded.TextToWave("1", dir / "y.wav"), -1);
  std::vector<std::string> names{"x"};
  EXPECT_EQ(notLoaded.TextToSyllables("123", names), 0);
  EXPECT_TRUE(names.empty());
}

TEST(PinyinLoad, HeaderMustFitTheFile) {
  struct Case {
    const char* what;
    LibBytes lib;
    size_t truncateTo;  // 0: whole file
    int want;
  };
  auto base = [] {
    LibBytes l;
    l.segments = {{"A", Audio(1, 4)}, {"B", Audio(2, 4)}};
    l.table = Table(0xB0, {});
    return l;
  };
  std::vector<Case> cases;
  cases.push_back({"well formed", base(), 0, 0});
  {
    auto l = base();
    l.countOverride = 0x7FFFFFFFu;
    cases.push_back({"index larger than the file", l, 0, -1});
  }
  {
    auto l = base();
    l.countOverride = 0x80000000u;
    cases.push_back({"negative count", l, 0, -1});
  }
  {
    auto l = base();
    l.baseDelta = 100000;
    cases.push_back({"data base past the end", l, 0, -1});
  }
  {
    auto l = base();
    l.baseDelta = -20;
    cases.push_back({"data base inside the index", l, 0, -1});
  }
  {
    auto l = base();
    l.tableDelta = 100000;
    cases.push_back({"table past the end", l, 0, -1});
  }
  {
    auto l = base();
    l.tableDelta = -100;
    cases.push_back({"negative table offset", l, 0, -1});
  }
  cases.push_back({"shorter than a header", base(), 8, -1});
  cases.push_back({"index cut short", base(), 20, -1});
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<uint8_t> bytes = c.lib.Build();
    if (c.truncateTo) bytes.resize(c.truncateTo);
    WriteFile(dir / "KxVocLib.dat", bytes);
    CGetHypy h;
    EXPECT_EQ(h.LoadVocLib(dir.path()), c.want) << c.what;
    EXPECT_EQ(h.State(), c.want) << c.what;
  }
}

TEST(PinyinLoad, AFailedLoadIsRetriedAndTheFirstDirectoryKept) {
  TempDir dir, other;
  CGetHypy h;
  EXPECT_EQ(h.LoadVocLib(dir.path()), -1);
  LibBytes l;
  l.segments = {{"1", Audio(1, 4)}};
  l.table = Table(0xB0, {});
  WriteFile(dir / "KxVocLib.dat", l.Build());
  WriteFile(other / "KxVocLib.dat", l.Build());
  EXPECT_EQ(h.LoadVocLib(dir.path()), 0);
  EXPECT_EQ(h.LoadVocLib(other.path()), 0);
  EXPECT_EQ(h.LibraryPath(), dir.path() + "\\KxVocLib.dat");
  EXPECT_EQ(h.LoadCount(), 1);
}

TEST(PinyinLoad, ConcurrentFirstLoadsReadTheLibraryOnce) {
  TempDir dir;
  LibBytes l;
  l.segments = {{"1", Audio(1, 4)}};
  l.table = Table(0xC0, {});
  WriteFile(dir / "KxVocLib.dat", l.Build());
  for (int round = 0; round < 5; ++round) {
    CGetHypy h;
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i)
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (h.LoadVocLib(dir.path()) != 0) failures.fetch_add(1);
        std::vector<std::string> names;
        if (h.TextToSyllables("1", names) != 1) failures.fetch_add(1);
      });
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(h.LoadCount(), 1);
  }
}

TEST(PinyinLoad, WrittenLibraryReadsBack) {
  TempDir dir;
  std::vector<TagVocSegment> segs = {{"CHUANG2", Audio(5, 9)}, {"mute", Audio(0xD5, 3)}};
  std::vector<uint8_t> table = Table(0xB1, {{Gb("啊"), "A1"}});
  ASSERT_TRUE(WriteVocLib(dir / "KxVocLib.dat", segs, table));
  CGetHypy h;
  ASSERT_EQ(h.LoadVocLib(dir.path()), 0);
  TagWord w;
  ASSERT_TRUE(h.Lookup("CHUANG2", w));
  EXPECT_EQ(w.offset, 0);
  EXPECT_EQ(w.length, 9);
  ASSERT_TRUE(h.Lookup("mute", w));
  EXPECT_EQ(w.offset, 9);
  std::vector<std::string> names;
  EXPECT_EQ(h.TextToSyllables(Gb("啊"), names), 1);
  EXPECT_EQ(names, std::vector<std::string>{"A1"});
  EXPECT_FALSE(WriteVocLib(dir / "x.dat", {{"TOOLONGNAME", {}}}, table));
}

}  // namespace
