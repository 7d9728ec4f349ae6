// Big5 detection by byte pattern and conversion to simplified GB text.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "services/big5.h"

namespace {

TEST(Big5, Detection) {
  struct Case {
    const char* what;
    const char* text;
    bool big5;
  } cases[] = {
      {"empty", "", false},
      {"ascii", "Hello @world~", false},
      {"gb and ascii", "\xCB\xB5\xBB\xB0 ABC \xB9\xFA\xD3\xEF", false},
      {"lead and low trail", "\xA4\x40", true},
      {"after ascii", "x\xA4\x40", true},
      {"after a gb pair", "\xCB\xB5\xA4\x40", true},
      // GBK pairs whose trail is low but whose lead Big5 never uses.
      {"gbk 81 40", "\xCB\xB5\x81\x40", false},
      {"gbk a0 7e", "\xA0\x7E", false},
      {"gbk fe 40", "\xFE\x40", false},
      {"big5 after a gbk low pair", "\x81\x40\xA4\x40", true},
      {"first and last lead", "\xA1\x40 \xF9\x7E", true},
      {"lead fa", "\xFA\x40", false},
      // A GB pair followed by a low byte: the low byte is no trail.
      {"gb pair then @", "\xCB\xB5@", false},
      {"two gb pairs then @", "\xCB\xB5\xBB\xB0@", false},
      // Big5 whose trails are all 0xA1 or above looks like GB.
      {"high trails only", "\xBB\xA1\xB8\xDC", false},
      {"big5 phrase with a low trail", "\xB0\xEA\xBB\x79", true},
      // Bytes that end a run of high bytes.
      {"space between", "\xA4 \x40", false},
      {"ff between", "\xA4\xFF\x40", false},
      {"80 between", "\xA4\x80\x40", false},
      {"7f between", "\xA4\x7F\x40", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBig5Text(c.text), c.big5) << c.what;
}

TEST(Big5, ConvertsToSimplifiedGb) {
  struct Case {
    const char* what;
    std::string big5;
    std::string gb;
  } cases[] = {
      {"empty", "", ""},
      {"ascii", "TTS 1.0", "TTS 1.0"},
      // 說話 -> 说话, 國語 -> 国语.
      {"speech", "\xBB\xA1\xB8\xDC", "\xCB\xB5\xBB\xB0"},
      {"mandarin", "\xB0\xEA\xBB\x79", "\xB9\xFA\xD3\xEF"},
      {"mixed", "A\xB0\xEA\xBB\x79" "B", "A\xB9\xFA\xD3\xEF" "B"},
      // 中文 is the same in both scripts.
      {"unchanged", "\xA4\xA4\xA4\xE5", "\xD6\xD0\xCE\xC4"},
      // A lone lead byte is no character.
      {"broken", "\xB0\xEA\xBB", "\xB9\xFA?"},
  };
  for (const Case& c : cases) EXPECT_EQ(Big5ToGbk(c.big5), c.gb) << c.what;
}

TEST(Big5, ConvertsOnAnyThread) {
  std::string first, second;
  std::thread a([&] { first = Big5ToGbk("\xBB\xA1\xB8\xDC"); });
  std::thread b([&] { second = Big5ToGbk("\xB0\xEA\xBB\x79"); });
  a.join();
  b.join();
  EXPECT_EQ(first, "\xCB\xB5\xBB\xB0");
  EXPECT_EQ(second, "\xB9\xFA\xD3\xEF");
}

}  // namespace
