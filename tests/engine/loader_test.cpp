// Script files: line ends, continuations, long lines, includes, the scrambled
// form and the file cache.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <thread>

#include "engine/memkxs.h"
#include "script_harness.h"

using scripttest::ScriptTest;

namespace {

class LoaderTest : public ScriptTest {
 protected:
  // A script in the scrambled form for the given key value.
  std::string Scramble(const std::string& plain, uint32_t value) {
    std::string out(1, '\x01');
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    std::string body = plat::Utf8ToGbk(plain);
    const uint8_t key = ScrambleKey(value);
    for (char c : body) out += static_cast<char>(static_cast<uint8_t>(c) ^ key);
    return out;
  }
};

TEST_F(LoaderTest, LineEndsGiveTheSameStatementsAndLineNumbers) {
  const std::string body = "x = 1\ny = 2\nwhile(y)\n{\n";
  std::string reports[3];
  const char* ends[] = {"\r\n", "\n", "\r"};
  for (int k = 0; k < 3; ++k) {
    std::string text = body;
    std::string converted;
    for (char c : text) {
      if (c == '\n')
        converted += ends[k];
      else
        converted += c;
    }
    WriteRaw("t.kxs", converted);
    TagMemKxs::Instance().Clear();
    TagTelBasic& t = CompileFile("t.kxs");
    EXPECT_EQ(t.operations.size(), 4u);
    reports[k] = Report();
    // The time in the summary differs from run to run.
    reports[k] = reports[k].substr(0, reports[k].find("\nt.kxs:"));
  }
  EXPECT_NE(reports[0].find("[Error]t.kxs(4): while语句没有结束 (行数:3), while(y)\n"), std::string::npos) << reports[0];
  EXPECT_EQ(reports[0], reports[1]);
  EXPECT_EQ(reports[1], reports[2]);
}

TEST_F(LoaderTest, ReadLineCutsLongLinesAndJoinsContinuations) {
  std::string text(1500, 'a');
  text += "\nb\r\nc";
  size_t pos = 0;
  std::string line;
  ASSERT_TRUE(TagTelBasic::ReadLine(text, pos, line, 1024));
  EXPECT_EQ(line.size(), 1024u);
  ASSERT_TRUE(TagTelBasic::ReadLine(text, pos, line, 1024));
  EXPECT_EQ(line.size(), 476u);
  ASSERT_TRUE(TagTelBasic::ReadLine(text, pos, line, 1024));
  EXPECT_EQ(line, "b");
  ASSERT_TRUE(TagTelBasic::ReadLine(text, pos, line, 1024));
  EXPECT_EQ(line, "c");
  EXPECT_FALSE(TagTelBasic::ReadLine(text, pos, line, 1024));
  EXPECT_TRUE(line.empty());

  // The joined statement carries the number of its last line; a lone "\"
  // does not join.
  TagTelBasic& t = Compile("x = 1 + \\  \n2\n\\\ny = 5\nz = q\n");
  EXPECT_NE(Report().find("[Error]t.kxs(5): 表达式中的变量没有预先赋值, q\n"), std::string::npos) << Report();
  ASSERT_GE(t.operations.size(), 2u);
  EXPECT_EQ(t.operations[0]->lineNo, 2);
}

// A script's text ends at its first NUL byte: nothing after it compiles and
// no NUL reaches the report.
TEST_F(LoaderTest, TextEndsAtANulByte) {
  struct Case {
    std::string text;
    size_t operations;
    int errors;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {std::string("r = 1\nr = 5\0 junk junk\nmore junk(\n", 34), 2, 0, {}},
      {std::string("x = 1\nwhile(x)\n{\0\n}\nreturn(0)\n", 30), 3, 2,
       {"[Error]t.kxs(3): while语句没有结束 (行数:2), while(x)\n", "[Error]t.kxs(3): {语句没有相应的} (行数:3)\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteRaw("t.kxs", c.text);
    TagMemKxs::Instance().Clear();
    TagTelBasic& t = CompileFile("t.kxs");
    const std::string rep = Report();
    EXPECT_EQ(t.operations.size(), c.operations) << rep;
    EXPECT_EQ(t.errorCount, c.errors) << rep;
    EXPECT_EQ(rep.find('\0'), std::string::npos) << rep;
    for (const std::string& e : c.entries) EXPECT_NE(rep.find(e), std::string::npos) << "missing: " << e << "\nin:\n" << rep;
  }
}

TEST_F(LoaderTest, IncludesCompileOncePerScript) {
  Write("inc.kxs", "n = n + 1\n");
  TagTelBasic& t = Compile("n = 0\n#include \"inc.kxs\"\n#include <inc.kxs>\n#include \"t.kxs\"\nreturn(0)\n", 0);
  EXPECT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.warningCount, 2);
  const std::string rep = Report();
  EXPECT_NE(rep.find("[Warning]t.kxs(3): 重复包含文件, inc.kxs\n"), std::string::npos) << rep;
  EXPECT_NE(rep.find("[Warning]t.kxs(4): 重复包含文件, t.kxs\n"), std::string::npos) << rep;
  Run();
  EXPECT_EQ(Text("n"), "1");
}

TEST_F(LoaderTest, IncludeErrors) {
  TagTelBasic& t = Compile("#include \"missing.kxs\"\n#include \"open\nfunction f(a)\n{\n#include \"x\"\n}\nf(1)\n");
  EXPECT_EQ(t.errorCount, 3) << Report();
  const std::string rep = Report();
  EXPECT_NE(rep.find("[Error]t.kxs(1): 打不开文件错误, missing.kxs\n"), std::string::npos) << rep;
  EXPECT_NE(rep.find("[Error]t.kxs(2): 语法错：得不到有效的文件名, #include \"open\n"), std::string::npos) << rep;
  EXPECT_NE(rep.find("[Error]t.kxs(5): 在函数里不可以使用包含文件语句"), std::string::npos) << rep;
}

TEST_F(LoaderTest, ParseIncludeNameCases) {
  struct C {
    const char* text;
    int result;
    const char* name;
  } cases[] = {{" \"a.kxs\"", 0, "a.kxs"}, {"<b.kxs>", 0, "b.kxs"}, {"\"c.kxs>", 0, "c.kxs"},
               {"d.kxs", -1, ""},       {"\"e.kxs", -2, ""}};
  for (const C& c : cases) {
    std::string name;
    EXPECT_EQ(TagTelBasic::ParseIncludeName(c.text, name), c.result) << c.text;
    EXPECT_EQ(name, c.name) << c.text;
  }
}

TEST_F(LoaderTest, SplitPathAfterTheLastSeparatorOfEitherKind) {
  std::string dir, name;
  EXPECT_EQ(SplitPath("a\\b/c\\d.kxs", dir, name), 6);
  EXPECT_EQ(dir, "a\\b/c\\");
  EXPECT_EQ(name, "d.kxs");
  EXPECT_EQ(SplitPath("plain.kxs", dir, name), -1);
  EXPECT_EQ(dir, "");
  EXPECT_EQ(name, "plain.kxs");
}

TEST_F(LoaderTest, ScrambledScriptRunsLikeItsPlainText) {
  const std::string plain = "s = \"\"\nfor(i = 0; i < 3; i++)\n{\ns = s + i\n}\nreturn(0)\n";
  WriteRaw("t.kxs", Scramble(plain, 0x12345678));
  TagTelBasic& t = CompileFile("t.kxs");
  ASSERT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.wasScrambled, 1);
  Run();
  EXPECT_EQ(Text("s"), "012");
  // A second line served from the cache learns it was scrambled too.
  TagTelBasic& again = CompileFile("t.kxs");
  EXPECT_EQ(again.wasScrambled, 1);
  // Outside run mode the bytes are taken raw and do not compile.
  TagTelBasic& raw = CompileFile("t.kxs", 0);
  EXPECT_EQ(raw.wasScrambled, 0);
  EXPECT_GT(raw.errorCount, 0);
}

TEST_F(LoaderTest, ShortScrambledFilesCannotBeOpened) {
  for (int n = 1; n <= 5; ++n) {
    WriteRaw("t.kxs", std::string("\x01\x02\x03\x04\x05", static_cast<size_t>(n)));
    TagMemKxs::Instance().Clear();
    TagTelBasic& t = CompileFile("t.kxs");
    EXPECT_EQ(t.errorCount, 1) << n;
    EXPECT_NE(Report().find("打不开文件错误, t.kxs"), std::string::npos) << n;
  }
}

TEST_F(LoaderTest, CacheKeysOnPathAndRawModeAndSharesTexts) {
  WriteRaw("s.kxs", Scramble("x = 1\n", 77777));
  auto& cache = TagMemKxs::Instance();
  uint8_t flag = 0;
  size_t size = 0;
  TagKxsText cooked = cache.Get("s.kxs", &size, false, false, &flag);
  ASSERT_TRUE(cooked);
  EXPECT_EQ(*cooked, "x = 1\n");
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(flag, 1);
  flag = 0;
  TagKxsText raw = cache.Get("s.kxs", &size, true, false, &flag);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->size(), 11u);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(cache.CountForTest(), 2u);
  // A clear on another thread leaves texts being read intact.
  std::thread clearer([&] { cache.Clear(); });
  clearer.join();
  EXPECT_EQ(*cooked, "x = 1\n");
  EXPECT_EQ(cache.CountForTest(), 0u);
  // A changed file is read again only when the time is checked.
  Write("c.kxs", "a\n");
  TagKxsText first = cache.Get("c.kxs", nullptr, false, true, nullptr);
  ASSERT_TRUE(first);
  EXPECT_EQ(cache.Get("", nullptr, false, false, nullptr), nullptr);
  EXPECT_EQ(cache.Get("none.kxs", nullptr, false, true, nullptr), nullptr);
  EXPECT_NE(GetFileTime("c.kxs"), 0u);
  EXPECT_EQ(GetFileTime("none.kxs"), 0u);
  EXPECT_EQ(GetFileTime("."), 0u);
  Write("c.kxs", "b\n");
  struct timeval later[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimes("c.kxs", later), 0);
  EXPECT_EQ(*cache.Get("c.kxs", nullptr, false, false, nullptr), "a\n");  // as first read
  EXPECT_EQ(*cache.Get("c.kxs", nullptr, false, true, nullptr), "b\n");   // a nested script reads it again
  EXPECT_EQ(*first, "a\n");  // the replaced text lives on with its reader
}

}  // namespace

namespace {

// The box of a missing file names the including line and the file; the box
// of the summary follows, then the report is opened.
TEST_F(LoaderTest, MissingIncludeShowsTheBoxes) {
  const std::string boxes = dir_ + "/boxes.txt";
  const std::string shell = dir_ + "/shell.txt";
  setenv("RODIZ_BOX_RECORD", boxes.c_str(), 1);
  setenv("RODIZ_SHELL_RECORD", shell.c_str(), 1);
  Compile("x = 1\n#include \"missing.kxs\"\nreturn(0)\n");
  unsetenv("RODIZ_BOX_RECORD");
  unsetenv("RODIZ_SHELL_RECORD");
  std::ifstream b(boxes), s(shell);
  std::stringstream bt, st;
  bt << b.rdbuf();
  st << s.rdbuf();
  EXPECT_NE(bt.str().find("出错了:    2: missing.kxs,\r打不开文件错误"), std::string::npos) << bt.str();
  EXPECT_NE(bt.str().find("编译结束, 请参看错误日志errmsg0.txt"), std::string::npos) << bt.str();
  EXPECT_NE(st.str().find("errmsg0.txt"), std::string::npos) << st.str();
}

}  // namespace

namespace {

// A comment left open in an include ends with that file: the including
// script goes on compiling its own lines.
TEST_F(LoaderTest, CommentsAreTrackedPerFile) {
  Write("inc.kxs", "x = 1\n/* open\n");
  TagTelBasic& t = Compile("#include \"inc.kxs\"\ny = 2\nreturn(0)\n");
  EXPECT_EQ(t.errorCount, 1) << Report();
  EXPECT_NE(Report().find("[Error]inc.kxs(2): 注释没有结束\n\n"), std::string::npos) << Report();
  ASSERT_EQ(t.operations.size(), 3u);
  EXPECT_EQ(t.operations[1]->lineNo, 2);
}

}  // namespace
