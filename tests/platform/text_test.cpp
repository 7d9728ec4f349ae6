// Code-page conversion: a character that cannot be read or written becomes
// one '?' in the target's encoding and the rest of the text still converts.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/text.h"

namespace {

std::string Bytes(std::initializer_list<unsigned> b) {
  std::string s;
  for (unsigned c : b) s.push_back(static_cast<char>(c));
  return s;
}

std::string Convert(const std::string& in, const char* from, const char* to) {
  std::string out = "stale";
  EXPECT_TRUE(plat::ConvertCodePage(in, from, to, out)) << from << " -> " << to;
  return out;
}

TEST(ConvertCodePage, BadCharactersBecomeOneMarkEach) {
  struct Case {
    const char* what;
    std::string in;
    const char* from;
    const char* to;
    std::string want;
  } cases[] = {
      // U+0E01 has no GB form; stepping one byte would misalign the rest.
      {"utf16le thai", Bytes({0x01, 0x0E, 0x00, 0x4E, 0x41, 0x00}), "UTF-16LE", "GBK", Bytes({0x3F, 0xD2, 0xBB, 0x41})},
      {"utf16be thai", Bytes({0x0E, 0x01, 0x4E, 0x00, 0x00, 0x41}), "UTF-16BE", "GBK", Bytes({0x3F, 0xD2, 0xBB, 0x41})},
      {"ucs2 thai", Bytes({0x01, 0x0E, 0x00, 0x4E, 0x41, 0x00}), "UCS-2", "GBK", Bytes({0x3F, 0xD2, 0xBB, 0x41})},
      // A surrogate pair is one character.
      {"utf16le pair", Bytes({0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x4E, 0x41, 0x00}), "UTF-16LE", "GBK",
       Bytes({0x3F, 0xD2, 0xBB, 0x41})},
      {"utf16le lone high surrogate", Bytes({0x3D, 0xD8, 0x41, 0x00}), "UTF-16LE", "GBK", "?A"},
      {"utf16le lone low surrogate", Bytes({0x00, 0xDE, 0x41, 0x00}), "UTF-16LE", "GBK", "?A"},
      {"utf16le odd last byte", Bytes({0x41, 0x00, 0x42}), "UTF-16LE", "GBK", "A?"},
      // GB bytes: a byte no character starts with, a lead byte before a
      // byte that cannot follow it, a lead byte at the end.
      {"gbk 0xff", Bytes({0x61, 0xFF, 0x62}), "GBK", "UTF-8", "a?b"},
      {"gbk lead before space", Bytes({0xB3, 0x20, 0x78}), "GBK", "UTF-8", "? x"},
      {"gbk lead at end", Bytes({0x61, 0xB3}), "GBK", "UTF-8", "a?"},
      {"gbk bad then good", Bytes({0xFF, 0xD2, 0xBB}), "GBK", "UTF-8", "?\xE4\xB8\x80"},
      // A whole UTF-8 character GB cannot hold is one mark, not three.
      {"utf8 thai", "\xE0\xB8\x81" "A\xE4\xB8\x80", "UTF-8", "GBK", Bytes({0x3F, 0x41, 0xD2, 0xBB})},
      {"utf8 stray continuation", "\x80" "A", "UTF-8", "GBK", "?A"},
      {"utf8 truncated", "A\xE4\xB8", "UTF-8", "GBK", "A??"},
      // The mark is written in the target's encoding.
      {"gbk to utf16le", Bytes({0xFF, 0x41}), "GBK", "UTF-16LE", Bytes({0x3F, 0x00, 0x41, 0x00})},
      {"utf16le to utf16be", Bytes({0x00, 0xDE, 0x41, 0x00}), "UTF-16LE", "UTF-16BE", Bytes({0x00, 0x3F, 0x00, 0x41})},
      {"empty", "", "GBK", "UTF-8", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Convert(c.in, c.from, c.to), c.want) << c.what;
}

TEST(ConvertCodePage, MarkInsideAUtf7RunKeepsTheRunIntact) {
  // The '?' goes through the converter, so the run of encoded characters
  // around it is closed and reopened as for a real '?'.
  std::string marked = Convert("\xE4\xB8\x80\xFF\xE4\xB8\x80", "UTF-8", "UTF-7");
  EXPECT_EQ(marked, Convert("\xE4\xB8\x80?\xE4\xB8\x80", "UTF-8", "UTF-7"));
  EXPECT_EQ(Convert(marked, "UTF-7", "UTF-8"), "\xE4\xB8\x80?\xE4\xB8\x80");
}

TEST(ConvertCodePage, ReusedConvertersStartFresh) {
  // A byte-order mark is written at the start of every conversion, and a
  // pair used after many others still converts.
  const char* pairs[][2] = {{"UTF-8", "UTF-16"}, {"GBK", "UTF-8"}, {"UTF-8", "GBK"},     {"BIG5", "UTF-8"},
                            {"UTF-8", "UTF-7"},  {"UTF-7", "UTF-8"}, {"UTF-8", "UTF-32"}, {"UTF-8", "UCS-2BE"},
                            {"UTF-8", "LATIN1"}, {"LATIN1", "UTF-8"}};
  std::string first = Convert("A", "UTF-8", "UTF-16");
  ASSERT_EQ(first.size(), 4u);
  for (int round = 0; round < 2; ++round)
    for (auto& p : pairs) Convert("A", p[0], p[1]);
  EXPECT_EQ(Convert("A", "UTF-8", "UTF-16"), first);
  EXPECT_EQ(Convert("A", "UTF-8", "UTF-16"), first);
  EXPECT_EQ(Convert(Bytes({0xD2, 0xBB}), "GBK", "UTF-8"), "\xE4\xB8\x80");

  std::string other;
  std::thread t([&] { other = plat::GbkToUtf8(Bytes({0xD2, 0xBB, 0xFF})); });
  t.join();
  EXPECT_EQ(other, "\xE4\xB8\x80?");
}

}  // namespace
