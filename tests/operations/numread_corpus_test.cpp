// The number-reading fuzz checks over a fixed corpus of awkward texts.
#include <gtest/gtest.h>

#include "tests/fuzz/fuzz_numread_check.h"

namespace {

TEST(NumberReadingCorpus, EveryModeStaysWithinTheVoices) {
  const std::string corpus[] = {
      "",
      "0",
      "-5",
      "   007",
      std::string(40, '9'),
      std::string(19, '9'),
      std::string(20, '1'),
      std::string(13, '5') + ".5",
      "1234567890-1-1",
      "99999999999:99:99",
      "2014/03/11/05",
      "..........",
      "1.2.3.4",
      "12.345678",
      "\xff\xfe\x80 1",
      std::string("1\0002", 3),
      "24:00:00",
      "0:0:0",
      "2147483648",
      "-2147483649",
      std::string(300, '8') + "." + std::string(300, '1'),
  };
  for (const std::string& text : corpus) EXPECT_EQ(numreadcheck::CheckNumberText(text), "") << text;
}

}  // namespace
