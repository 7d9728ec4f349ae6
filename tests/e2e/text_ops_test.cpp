// Text, number, time and encoding operations in a script on a virtual line of the real
// program, each result printed and compared byte for byte.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/e2e/harness.h"

namespace {

// Script text in UTF-8; the installation gets it in GB bytes.
const char* const kScript = R"(o = "";
p = 0;
q = "";
m = 0;
k = 0;
v = 0;
i = 0;
f = 0;
st = "";
h = "";
d = "";
ds = "";
t1 = 0;
t2 = 0;
n = 0;
s = "abcdef";
r = Substr(s, 2, 3, o);
Print("Substr " + r + " " + o + "\n");
r = Substr(s, 2, 2147483647, o);
Print("Substr huge " + r + "\n");
n = Len(s, n);
Print("Len " + n + "\n");
r = Strcmp("abc", "ABC", 0, 1);
Print("Strcmp " + r + "\n");
r = StrstrEx("hello", 3, "l", p);
Print("StrstrEx " + r + " " + p + "\n");
t = "  中文 ab\t ";
r = Trim(t);
Print("Trim " + r + " [" + t + "]\n");
u = "a中乤b";  // 乤 is 0x81 0x61: its second byte is no letter a
r = Upper(u);
Print("Upper " + r + " " + u + "\n");
r = Replstr(s, 1, 2, "XYZ");
Print("Replstr " + r + " " + s + "\n");
r = Repeatstr(q, "ab", 3);
Print("Repeatstr " + r + " " + q + "\n");
r = AnlyStr("a,b,,c", ",", m);
r2 = GetMapItem(m, 3, k, v);
Print("AnlyStr " + r + " " + r2 + " " + k + "=" + v + "\n");
r = Int("0x1F", i);
Print("Int " + r + "\n");
r = Float("1,234.5", f);
Print("Float " + r + " " + f + "\n");
r = Str(3.14159, 8, 2, st);
Print("Str [" + r + "]\n");
r = Hex(-1, 0, h);
Print("Hex " + r + " " + h + "\n");
r = AfterDaysDate(20240301, -1, d);
Print("AfterDaysDate " + r + " " + d + "\n");
r = GetDateStr("%Y-%m-%d %T", 1706689805, 1, ds);
Print("GetDateStr " + r + " " + ds + "\n");
t1 = GetTick(t1);
r = Sleep(0.2);
t2 = GetTick(t2);
w = 0;
if (t2 - t1 >= 200)
{
  w = 1;
}
Print("Sleep " + r + " " + w + "\n");
e = "";
r = StrToUnicode("a b%", 3, e);
Print("Percent " + r + " " + e + "\n");
b = "";
r = StrToUnicode("中文", 4, b);
c = "";
r2 = UnicodeToStr(4, b, c);
Print("Base64 " + r + " " + b + " " + r2 + " " + c + "\n");
u8 = "";
g = "";
r = StrToUnicode("中文", 1, u8);
r2 = UnicodeToStr(1, u8, g);
Print("UTF-8 " + r + " " + r2 + " " + g + "\n");
Print("END\n");
r = Sleep(0);
Print("after the endless sleep\n");
return(0);
)";

const char* const kExpected = R"(Substr cde cde
Substr huge cdef
Len 6
Strcmp 0
StrstrEx 4 4
Trim 0 [中文 ab]
Upper 0 A中乤B
Replstr 0 aXYdef
Repeatstr 0 ababab
AnlyStr 4 3 3=c
Int 31
Float 1234.5 1234.5
Str [    3.14]
Hex 0 ffffffff
AfterDaysDate 20240229 20240229
GetDateStr 0 2024-01-31 08:30:05
Sleep 0 1
Percent 8 a%20b%25
Base64 8 1tDOxA== 4 中文
UTF-8 7 4 中文
END
)";

TEST(TextOps, ResultsOnAVirtualLine) {
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0 = t.kxs\n");
  inst.Write("t.kxs", plat::Utf8ToGbk(kScript));
  ASSERT_GT(inst.Start(), 0);
  const std::string want = plat::Utf8ToGbk(kExpected);
  std::string got;
  bool done = e2e::WaitFor(
      [&] {
        got = inst.Read("_stdout0.txt");
        return got.find("END\n") != std::string::npos || inst.LogText().find("ret=-") != std::string::npos;
      },
      60000);
  ASSERT_TRUE(done && got.find("END\n") != std::string::npos)
      << plat::GbkToUtf8(got) << plat::GbkToUtf8(inst.LogText()) << plat::GbkToUtf8(inst.Read("errmsg0.txt"));
  EXPECT_EQ(got, want) << plat::GbkToUtf8(got);
  // The endless sleep holds the line until the program stops it.
  EXPECT_EQ(inst.Stop(), 0);
  EXPECT_EQ(inst.Read("_stdout0.txt"), want);
}

}  // namespace
