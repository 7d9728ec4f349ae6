// Speech heard at the far end of a card line on the real program: text
// spoken into a voice file by the speech engine and played to the caller,
// then pinyin text spoken to the caller from a small voice library.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lines/pinyin.h"
#include "lines/voccodec.h"
#include "platform/card/control.h"
#include "platform/text.h"
#include "tests/e2e/harness.h"

namespace {

std::string Script() {
  return plat::Utf8ToGbk(
      "SetSndDir(\"voc\\\\\", \"\", \"\");\n"
      "r = WaitRing(1);\n"
      "r = TxtSpeakToFile(\"Hello caller, welcome.\", \"spoken.wav\", 1, 0);\n"
      "Print(\"tts \" + r + \"\\n\");\n"
      "r = Play(\"spoken.wav\");\n"
      "r = SetTtsPara(1, \"lib\", \"\");\n"
      "Print(\"para \" + r + \"\\n\");\n"
      "r = TxtSpeak(\"你好银行\", 0, 0);\n"
      "Print(\"py \" + r + \"\\n\");\n"
      "Hangup();\n"
      "OnDisconn();\n"
      "r = 0;\n");
}

TEST(SpeechOnACardLine, TheCallerHearsSpokenText) {
  e2e::Installation inst;
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nVIR_LINES_NUM=0\n0 = s.kxs\n");
  inst.Write("SimCard.ini",
             "[Card]\nE1Links = 1\nAnalogPorts = USER\nFaxChannels = 0\nConfGroups = 0\n"
             "Serial = 20261211\nControl = unix:simcard.sock\n");
  inst.Write("s.kxs", Script());
  inst.Write("voc/.keep", "");
  inst.Write("lib/.keep", "");
  // Segments of 200 bytes each, one fill byte per syllable.
  std::vector<uint8_t> table(static_cast<size_t>(0xD7 - 0xB0) * 94 * 10, ' ');
  auto put = [&](const char* utf8, const char* name) {
    std::string gb = plat::Utf8ToGbk(utf8);
    const size_t at =
        (static_cast<size_t>(static_cast<uint8_t>(gb[0]) - 0xB0) * 94 + (static_cast<uint8_t>(gb[1]) - 0xA1)) * 10;
    std::copy(name, name + std::strlen(name), table.begin() + static_cast<std::ptrdiff_t>(at));
  };
  put("好", "HAO3");
  put("银", "YIN2");
  put("行", "XING2");
  ASSERT_TRUE(WriteVocLib(inst.Path("lib/KxVocLib.dat"),
                          {{"NI2", std::vector<uint8_t>(200, 0x11)},
                           {"HAO3", std::vector<uint8_t>(200, 0x22)},
                           {"YIN2", std::vector<uint8_t>(200, 0x33)},
                           {"HANG2", std::vector<uint8_t>(200, 0x44)}},
                          table));
  ASSERT_GT(inst.Start(), 0);
  ASSERT_TRUE(inst.WaitForLog("0 Run:", 30000)) << inst.LogText();
  auto card = [&](const std::string& command) {
    return plat::SimCardCommand("unix:" + inst.Path("simcard.sock"), command, 20000);
  };
  ASSERT_EQ(card("CALL 0 13800001111 8000"), "OK");
  // Both plays done: the pinyin result is the last thing printed.
  ASSERT_TRUE(e2e::WaitFor([&] { return inst.Read("_stdout0.txt").find("py ") != std::string::npos; }, 30000))
      << inst.Read("_stdout0.txt") << inst.LogText();
  ASSERT_TRUE(e2e::WaitFor([&] { return inst.Read("_stdout0.txt").find("py 4\n") != std::string::npos; }, 30000))
      << inst.Read("_stdout0.txt");
  EXPECT_NE(inst.Read("_stdout0.txt").find("tts 0\npara 0\n"), std::string::npos) << inst.Read("_stdout0.txt");

  // The first play: speech, as the caller heard it.
  ASSERT_EQ(card("AUDIO 0 heard0.raw 0").rfind("OK", 0), 0u);
  // The far end writes only inside the installation.
  EXPECT_EQ(card("AUDIO 0 ../heard0.raw 0"), "ERR path must lie inside the program's folder: ../heard0.raw");
  std::string heard = inst.Read("heard0.raw");
  ASSERT_GT(heard.size(), 2400u);  // more than 0.3 s
  double sum = 0;
  for (unsigned char b : heard) {
    double s = ExpandG711(b, true);
    sum += s * s;
  }
  EXPECT_GT(std::sqrt(sum / static_cast<double>(heard.size())), 300.0);

  // The second: the library's four segments of 200 bytes (100 ms) joined
  // into the line's temporary file, played to its end. The line deletes that
  // file afterwards, so the far end can tell its length, not its bytes.
  const std::string played = card("PLAYED 0");
  const size_t second = played.find(" | ");
  ASSERT_NE(second, std::string::npos) << played;
  EXPECT_NE(played.find("tts0.WAV mode=", second), std::string::npos) << played;
  EXPECT_NE(played.find(" ms=100 ended", second), std::string::npos) << played;
}

}  // namespace
