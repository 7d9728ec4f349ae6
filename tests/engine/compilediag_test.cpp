#include "engine/compilediag.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <memory>

#include "engine/scan.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "tests/support/tempdir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Each test runs in a fresh working directory; boxes and shell requests are
// recorded in one file, in the order they happen.
class CompileDiagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
    ASSERT_FALSE(dir_.empty());
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_);
    record_ = dir_ + "/record.txt";
    setenv("RODIZ_BOX_RECORD", record_.c_str(), 1);
    setenv("RODIZ_SHELL_RECORD", record_.c_str(), 1);
    plat::SetShellEnabled(false);
  }
  void TearDown() override {
    unsetenv("RODIZ_BOX_RECORD");
    unsetenv("RODIZ_SHELL_RECORD");
    cwd_.reset();
  }
  // What a user saw: boxes and opened files, as UTF-8 lines.
  std::string Record() const { return ReadAll(record_); }

  testsupport::TempDir tmp_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  std::string dir_, record_;
};

std::string Seconds(const TagCompileDiag& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", d.ElapsedMs() * 0.001);
  return buf;
}

TEST_F(CompileDiagTest, EntryForms) {
  TagCompileDiag d(3, false, false);
  d.curFileName = "t.kxs";
  d.Report(4, CMsg::SyntaxError, "x = = 1");
  d.Report(5, CMsg::CommentNotEnded, "");
  d.Report(6, CMsg::RepeatedInclude, "a.kxs", true);
  d.Report(TagCompileDiag::kSummaryLine, "S", "D");
  EXPECT_EQ(ReadAll("errmsg3.txt"), "[Error]t.kxs(4): " + GBK("语法错误") + ", x = = 1\n" +
                                        "[Error]t.kxs(5): " + GBK("注释没有结束") + "\n\n" +
                                        "[Warning]t.kxs(6): " + GBK("重复包含文件") + ", a.kxs\n" +
                                        "\nt.kxs: S, D\n");
}

TEST_F(CompileDiagTest, WarningsOfARunningScriptAreNotWritten) {
  TagCompileDiag d(1, true, false);
  d.curFileName = "t.kxs";
  d.Report(2, CMsg::CloseObsolete, "", true);
  EXPECT_FALSE(std::ifstream("errmsg1.txt").good());
  d.Report(2, CMsg::TooManyArgs, "Play(1, 2)");
  EXPECT_EQ(ReadAll("errmsg1.txt"), "[Error]t.kxs(2): " + GBK("操作参数太多") + ", Play(1, 2)\n");
}

TEST_F(CompileDiagTest, BrokenScriptGetsSummaryBoxAndOpenedReport) {
  { std::ofstream("errmsg7.txt") << "from the previous load\n"; }
  TagCompileDiag d(7, true, false);
  d.curFileName = "t.kxs";
  d.BeginCompile();
  EXPECT_FALSE(std::ifstream("errmsg7.txt").good());  // a new report per load
  d.Report(2, CMsg::UnknownKeyword, "Foo");
  ++d.errorCount;
  d.Report(3, CMsg::CloseObsolete, "", true);  // counted, not written in run mode
  ++d.warningCount;
  d.SourceCompiled();
  d.ReportUnclosed(TagUnclosedBlocks{});
  EXPECT_EQ(d.Summarize(), -2);

  const std::string summary =
      GBK("总错误数: ") + "1" + GBK("; 总警告数: ") + "1" + GBK("; 编译时间: ") + Seconds(d) + GBK("秒");
  EXPECT_EQ(ReadAll("errmsg7.txt"),
            "[Error]t.kxs(2): " + GBK("不可辨识的关键字") + ", Foo\n" + "\nt.kxs: " + summary + ", " + GBK("编译结束") + "\n");
  // The box first, the report opened once it is closed.
  EXPECT_EQ(Record(), plat::GbkToUtf8(GBK("出错了") + ": " + summary + ",\r" +
                                      GBK("编译结束, 请参看错误日志errmsg7.txt")) +
                          "\nerrmsg7.txt\n");
}

TEST_F(CompileDiagTest, SummaryRules) {
  const struct {
    bool runMode, nested;
    int errors, warnings;
    bool summary, box;
  } cases[] = {
      {true, false, 0, 2, false, false},  // a running script with warnings only runs quietly
      {false, false, 0, 2, true, false},  // a compile check lists its warnings
      {true, true, 1, 0, true, false},    // a nested script writes its report but shows nothing
      {false, false, 0, 0, false, false},
  };
  int line = 20;
  for (const auto& c : cases) {
    std::remove(record_.c_str());
    TagCompileDiag d(line, c.runMode, c.nested);
    d.curFileName = "n.kxs";
    d.BeginCompile();
    d.errorCount = c.errors;
    d.warningCount = c.warnings;
    d.SourceCompiled();
    EXPECT_EQ(d.Summarize(), c.errors > 0 ? -2 : 0);
    const std::string report = ReadAll(d.ReportFileName());
    EXPECT_EQ(report.find(GBK("编译结束")) != std::string::npos, c.summary) << line;
    EXPECT_EQ(!Record().empty(), c.box) << line;
    ++line;
  }
}

TEST_F(CompileDiagTest, UnclosedConstructsInOrderEachCounted) {
  TagCompileDiag d(2, true, false);
  d.curFileName = "t.kxs";
  d.BeginCompile();
  d.BeginFile();
  EXPECT_EQ(SkipLeadingComments(d, "/* never closed", 12), kNoStatement);
  TagUnclosedBlocks open;
  open.scriptLines = 40;
  open.pendingIf = TagOpenConstruct{3, "if(a)"};
  open.loop = TagOpenConstruct{5, "while(b)"};
  open.switchBlock = TagOpenConstruct{7, "switch(c)"};
  open.brace = TagOpenConstruct{8, "{"};
  open.function = TagOpenConstruct{10, "function f(x)"};
  d.ReportUnclosed(open);
  EXPECT_EQ(d.errorCount, 6);
  EXPECT_EQ(ReadAll("errmsg2.txt"), "[Error]t.kxs(40): " + GBK("if语句没有结束 (行数:3)") + ", if(a)\n" +
                                        "[Error]t.kxs(40): " + GBK("while语句没有结束 (行数:5)") + ", while(b)\n" +
                                        "[Error]t.kxs(40): " + GBK("switch语句没有结束 (行数:7)") + ", switch(c)\n" +
                                        "[Error]t.kxs(40): " + GBK("{语句没有相应的} (行数:8)") + "\n\n" +
                                        "[Error]t.kxs(12): " + GBK("注释没有结束") + "\n\n" +
                                        "[Error]t.kxs(40): " + GBK("函数定义没有结束 (行数:10)") + ", function f(x)\n");
}

TEST_F(CompileDiagTest, CommentLeftOpenInAnIncludeIsReportedThere) {
  TagCompileDiag d(0, true, false);
  d.curFileName = "main.kxs";
  d.BeginFile();
  d.curFileName = "inc.kxs";
  d.BeginFile();
  SkipLeadingComments(d, "/* open", 4);
  d.EndFile();
  d.curFileName = "main.kxs";
  // The main file's own lines are not inside that comment.
  EXPECT_EQ(SkipLeadingComments(d, "x = 1", 9), 0);
  d.ReportUnclosed(TagUnclosedBlocks{});
  EXPECT_EQ(d.errorCount, 1);
  EXPECT_EQ(ReadAll("errmsg0.txt"), "[Error]inc.kxs(4): " + GBK("注释没有结束") + "\n\n");
}

TEST_F(CompileDiagTest, FunctionBodyReportsUnderItsParent) {
  TagCompileDiag main(4, false, false);
  main.curFileName = "t.kxs";
  TagCompileDiag body(main);
  body.Report(11, CMsg::FuncNeverCalled, "function g()", true);
  ++body.warningCount;
  EXPECT_EQ(main.warningCount, 0);  // the body counts its own
  EXPECT_EQ(ReadAll("errmsg4.txt"), "[Warning]t.kxs(11): " + GBK("该函数从来没有被调用过, 已被优化") + ", function g()\n");
}

TEST_F(CompileDiagTest, ErrorBoxText) {
  TagCompileDiag d(0, true, false);
  d.ErrorBox(12, "a.kxs", GBK("打不开文件错误"));
  d.ErrorBox(TagCompileDiag::kSummaryLine, "S", "D");
  TagCompileDiag nested(0, true, true);
  nested.ErrorBox(1, "never", "shown");
  EXPECT_EQ(Record(), "出错了:   12: a.kxs,\r打不开文件错误\n出错了: S,\rD\n");
}

TEST_F(CompileDiagTest, LongBoxTextIsCutOnACharacterBoundary) {
  TagCompileDiag d(0, true, false);
  std::string detail;
  for (int i = 0; i < 1500; ++i) detail += GBK("中");  // 3000 bytes
  d.ErrorBox(TagCompileDiag::kSummaryLine, "S", detail);
  std::string shown = Record();
  ASSERT_FALSE(shown.empty());
  shown.pop_back();  // the record's line end
  const std::string prefix = "出错了: ";
  ASSERT_EQ(shown.rfind(prefix, 0), 0u);
  std::string gb = plat::Utf8ToGbk(shown.substr(prefix.size()));
  EXPECT_LE(gb.size(), TagCompileDiag::kBoxTextMax);
  EXPECT_GE(gb.size(), TagCompileDiag::kBoxTextMax - 1);
  EXPECT_EQ(gb.find('?'), std::string::npos);  // no broken character
}

TEST(CutGbText, KeepsWholeCharacters) {
  const std::string zh = GBK("中文");  // 4 bytes
  EXPECT_EQ(CutGbText("ab" + zh, 5), "ab" + GBK("中"));
  EXPECT_EQ(CutGbText("ab" + zh, 6), "ab" + zh);
  EXPECT_EQ(CutGbText("a" + zh, 2), "a");
  EXPECT_EQ(CutGbText("abc", 10), "abc");
}

TEST(MsgText, TextsAreTheSystemsOwn) {
  std::set<std::string> seen;
  for (int i = 0; i < static_cast<int>(CMsg::kCount); ++i) {
    const std::string& t = MsgText(static_cast<CMsg>(i));
    EXPECT_FALSE(t.empty()) << i;
    EXPECT_EQ(t.find('?'), std::string::npos) << i;  // converted without loss
    EXPECT_TRUE(seen.insert(t).second) << "duplicate " << i;
  }
  EXPECT_EQ(MsgText(CMsg::ConstNoOperators), GBK("常量定义错误，不能运算"));
  EXPECT_EQ(MsgText(CMsg::BadIncludeName), GBK("语法错：得不到有效的文件名"));
  EXPECT_EQ(MsgText(CMsg::ErrorBoxTitle), GBK("出错了"));
  EXPECT_EQ(MsgText(CMsg::Summary), GBK("总错误数: %d; 总警告数: %d; 编译时间: %.3f秒"));
}

}  // namespace
