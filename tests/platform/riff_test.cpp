// The RIFF chunk reader never reads or points outside the file, however the
// headers lie.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/riff.h"

namespace {

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Chunk(const std::string& id, uint32_t size, const std::string& body) { return id + Le32(size) + body; }
std::string Fmt16() { return Chunk("fmt ", 16, std::string(16, '\x01')); }
std::string Riff(const std::string& chunks) { return "RIFF" + Le32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks; }

struct Result {
  bool wave;
  bool foundData;
  int64_t dataAt;
  uint32_t avail;
};

Result Walk(const std::string& bytes) {
  std::vector<char> buf(bytes.begin(), bytes.end());
  buf.push_back('\0');  // fmemopen needs a non-empty buffer
  FILE* f = ::fmemopen(buf.data(), bytes.size() ? bytes.size() : 1, "rb");
  Result r{false, false, -1, 0};
  if (!f) return r;
  plat::RiffFile riff(f);
  plat::RiffChunk data;
  r.wave = riff.IsWave();
  r.foundData = riff.IsWave() && riff.Find("data", &data);
  if (r.foundData) {
    r.dataAt = data.dataAt;
    r.avail = data.avail;
    EXPECT_LE(data.dataAt + data.avail, riff.Size());
    std::vector<uint8_t> all(data.avail + 16);
    EXPECT_EQ(riff.Read(data, 0, all.data(), all.size()), data.avail);
  }
  std::fclose(f);
  return r;
}

TEST(Riff, MalformedFilesStayInsideTheirBytes) {
  struct Case {
    const char* name;
    std::string bytes;
    Result want;
  } cases[] = {
      {"well formed", Riff(Fmt16() + Chunk("data", 4, "abcd")), {true, true, 44, 4}},
      {"data size beyond the end", Riff(Fmt16() + Chunk("data", 1000, "abcd")), {true, true, 44, 4}},
      {"data size near 4 GB", Riff(Fmt16() + Chunk("data", 0xFFFFFFFFu, "ab")), {true, true, 44, 2}},
      {"chunk before data overflows", Riff(Fmt16() + Chunk("junk", 0xFFFFFFF0u, "x") + Chunk("data", 1, "z")),
       {true, false, -1, 0}},
      {"odd chunk padded", Riff(Fmt16() + Chunk("LIST", 3, "abc") + std::string(1, '\0') + Chunk("data", 2, "zz")), {true, true, 56, 2}},
      {"truncated chunk header", Riff(Fmt16() + "dat"), {true, false, -1, 0}},
      {"no data chunk", Riff(Fmt16()), {true, false, -1, 0}},
      {"zero-size data", Riff(Fmt16() + Chunk("data", 0, "")), {true, true, 44, 0}},
      {"head only", Riff(""), {true, false, -1, 0}},
      {"not WAVE", "RIFF" + Le32(4) + "AVI ", {false, false, -1, 0}},
      {"short RIFF", "RIFF", {false, false, -1, 0}},
      {"empty", "", {false, false, -1, 0}},
  };
  for (const Case& c : cases) {
    Result r = Walk(c.bytes);
    EXPECT_EQ(r.wave, c.want.wave) << c.name;
    EXPECT_EQ(r.foundData, c.want.foundData) << c.name;
    EXPECT_EQ(r.dataAt, c.want.dataAt) << c.name;
    EXPECT_EQ(r.avail, c.want.avail) << c.name;
  }
}

TEST(Riff, ChunkHeadersAndTheNextOffset) {
  std::string bytes = Riff(Fmt16() + Chunk("fact", 5, "12345") + std::string(1, '\0') + Chunk("data", 3, "xyz"));
  FILE* f = ::fmemopen(bytes.data(), bytes.size(), "rb");
  ASSERT_NE(f, nullptr);
  plat::RiffFile riff(f);
  plat::RiffChunk c;
  ASSERT_TRUE(riff.ChunkAt(12, &c));
  EXPECT_TRUE(c.Is("fmt "));
  EXPECT_EQ(riff.After(c), 36);
  ASSERT_TRUE(riff.ChunkAt(36, &c));
  EXPECT_TRUE(c.Is("fact"));
  EXPECT_EQ(riff.After(c), 50);  // 5 bytes and a pad byte
  ASSERT_TRUE(riff.ChunkAt(50, &c));
  EXPECT_TRUE(c.Is("data"));
  EXPECT_EQ(riff.After(c), -1);  // its pad byte is missing: nothing follows
  char got[8] = {};
  EXPECT_EQ(riff.Read(c, 1, got, sizeof got), 2u);
  EXPECT_EQ(std::string(got, 2), "yz");
  EXPECT_FALSE(riff.ChunkAt(static_cast<int64_t>(bytes.size()) - 7, &c));
  EXPECT_FALSE(riff.ChunkAt(-1, &c));
  std::fclose(f);
}

}  // namespace
