// Faxes on a card line of the real program: a script renders a text file into
// a fax page, sends it to the fax machine at the far end, then receives a
// page that machine sends.
#include <gtest/gtest.h>

#include <string>

#include "platform/card/control.h"
#include "tests/e2e/harness.h"
#include "tests/support/faxpage.h"
#include "tools/t4codes.h"

namespace {

const char* kScript =
    "k = \"\";\n"
    "r = WaitRing(1);\n"
    "SetFaxLocalId(\"RODIZ 7\");\n"
    "r = Txt2FaxFile(\"page.txt\", \"fax\\\\page.tif\", \"res\\\\\");\n"
    "Print(\"Txt2FaxFile \" + r + \"\\n\");\n"
    "r = SendFax(\"fax\\\\page.tif\");\n"
    "Print(\"SendFax \" + r + \"\\n\");\n"
    "n = GetKeys(k, 1, 30);\n"
    "r = RecvFax(\"fax\\\\in.tif\");\n"
    "Print(\"RecvFax \" + r + \"\\n\");\n"
    "Hangup();\n"
    "OnDisconn();\n"
    "r = 0;\n";

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(FaxE2e, RenderedTextGoesToTheFarMachineAndItsPageComesBack) {
  e2e::Installation inst;
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nVIR_LINES_NUM=1\n0 = fax.kxs\n");
  inst.Write("SimCard.ini",
             "[Card]\nE1Links = 1\nFaxChannels = 1\nFaxSpeed = 100\nFaxSeconds = 600\n"
             "Control = unix:simcard.sock\n");
  inst.Write("fax.kxs", kScript);
  inst.Write("page.txt", "AAA\n\nA\n");
  inst.Write("res/huffman.cod", Bytes(t4::HuffmanCodFile()));
  std::vector<uint8_t> asc(4096, 0);
  for (int r = 0; r < 16; r++) asc['A' * 16 + r] = static_cast<uint8_t>(0xF0 >> (r % 5));
  inst.Write("res/asc16", Bytes(asc));
  inst.Write("res/hzk16", std::string(94 * 94 * 32, '\0'));
  inst.Write("fax/.keep", "");
  testsupport::FaxRows page = testsupport::PatternPage(120);
  ASSERT_TRUE(testsupport::WriteFaxTiff(inst.Path("farpage.tif"), page));

  ASSERT_GT(inst.Start(), 0);
  ASSERT_TRUE(inst.WaitForLog("0 Run:", 30000)) << inst.LogText();
  std::string endpoint = "unix:" + inst.Path("simcard.sock");
  auto card = [&](const std::string& c) { return plat::SimCardCommand(endpoint, c, 20000); };

  ASSERT_EQ(card("FAXMACHINE 0 RECV far.tif FAR END"), "OK");
  ASSERT_EQ(card("CALL 0 6789 8000"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return card("FAXMACHINE 0").rfind("OK done", 0) == 0; }, 60000))
      << card("FAXMACHINE 0") << inst.LogText();
  EXPECT_EQ(card("FAXMACHINE 0"), "OK done 0 1 1728 RODIZ 7");
  // The far machine got exactly the page the script rendered.
  auto got = testsupport::ReadFaxTiff(inst.Path("far.tif"));
  auto rendered = testsupport::ReadFaxTiff(inst.Path("fax/page.tif"));
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(rendered.size(), 1u);
  EXPECT_EQ(rendered[0].size(), 3u * 17);
  EXPECT_EQ(got[0], rendered[0]);

  ASSERT_EQ(card("FAXMACHINE 0 SEND farpage.tif SENDER"), "OK");
  ASSERT_EQ(card("DTMF 0 1"), "OK");
  ASSERT_TRUE(e2e::WaitFor([&] { return inst.Read("_stdout0.txt").find("RecvFax") != std::string::npos; }, 60000))
      << inst.LogText();
  EXPECT_EQ(inst.Read("_stdout0.txt"), "Txt2FaxFile 0\nSendFax 1\nRecvFax 1\n");
  got = testsupport::ReadFaxTiff(inst.Path("fax/in.tif"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], page);
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace
