#include <gtest/gtest.h>

#include "engine/stdout.h"
#include "engine/tagvar.h"
#include "tests/engine/handops.h"

namespace {

using handops::Fixture;
using testsupport::ReadFile;
using testsupport::WriteFile;

class PrintTest : public Fixture {
 protected:
  // Runs Print of each value, then a return.
  void RunPrints(TagTelBasic& inst, std::vector<TagVar*> values) {
    for (TagVar* v : values) handops::Append(inst, new TagPrint(&inst, v));
    handops::Append(inst, new handops::FnOper([] { return 0; }, kOpReturn));
    inst.Run();
  }
};

TEST_F(PrintTest, FileTakesTheTextsWithoutSeparators) {
  TStdOut out;
  ASSERT_EQ(out.Open("out.txt"), 0);
  EXPECT_TRUE(out.IsOpen());
  EXPECT_EQ(out.Print(0, "a"), 0);
  EXPECT_EQ(out.Print(0, "b"), 0);
  // Flushed after every print: readable while still open.
  EXPECT_EQ(ReadFile("out.txt"), "ab");
  out.Close();
  EXPECT_FALSE(out.IsOpen());
}

TEST_F(PrintTest, StandardOutputCarriesTheLineNumber) {
  TStdOut out;
  EXPECT_EQ(out.Open(""), 2);
  EXPECT_TRUE(out.IsOpen());
  testing::internal::CaptureStdout();
  out.Print(3, "x");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "3 : x\n");
}

TEST_F(PrintTest, ClosedOrUnopenableSinkRefusesAndLogs) {
  TStdOut out;
  EXPECT_EQ(out.Print(0, "x"), -1);
  EXPECT_EQ(out.Open("no/such/dir/f.txt"), -1);
  EXPECT_FALSE(out.IsOpen());
  EXPECT_EQ(out.Print(0, "x"), -1);
  EXPECT_NE(LogText().find("TStdOut::Print() Err: not open."), std::string::npos);
}

TEST_F(PrintTest, ValuesPrintAsTheirTexts) {
  TagVar map;
  map.SetItem(TagVar::Int(1), TagVar::Dbl(1.5));
  map.SetItem(TagVar::Int(2), TagVar::Str("two"));
  map.SetItem(TagVar::Str("k"), TagVar::Int(3));
  TagVar withNul;
  withNul.SetBytes("ab\0cd", 5);
  TagVar i5 = TagVar::Int(5), d = TagVar::Dbl(2.5), nul, sep = TagVar::Str("|");
  RunPrints(*inst_, {&i5, &sep, &d, &sep, &withNul, &sep, &nul, &sep, &map});
  EXPECT_EQ(ReadFile("_stdout0.txt"), "5|2.5|ab|NULL|{\r\n1:1.5,\r\n2:\"two\",\r\n\"k\":3\r\n}");
  map.SetInt(0);
}

TEST_F(PrintTest, DefaultFileIsEmptiedAtTheFirstPrintOfEachRun) {
  auto inst = MakeInstance(4);
  WriteFile("_stdout4.txt", "from an earlier load");
  TagVar a = TagVar::Str("a");
  RunPrints(*inst, {&a, &a});
  EXPECT_EQ(ReadFile("_stdout4.txt"), "aa");
  EXPECT_FALSE(inst->stdOut.IsOpen());  // closed when the run ended
  inst->Run();
  EXPECT_EQ(ReadFile("_stdout4.txt"), "aa");
}

TEST_F(PrintTest, SetPrintToChoosesTheFileAndFallsBackWhenItCannotOpen) {
  TagVar good = TagVar::Str("chosen.txt"), bad = TagVar::Str("missing/dir/x.txt"), a = TagVar::Str("a"),
         b = TagVar::Str("b");
  handops::Append(*inst_, new TagSetPrintTo(inst_.get(), &good));
  handops::Append(*inst_, new TagPrint(inst_.get(), &a));
  auto* r = handops::Append(*inst_, new TagSetPrintTo(inst_.get(), &bad));
  handops::Append(*inst_, new TagPrint(inst_.get(), &b));
  handops::Append(*inst_, new handops::FnOper([] { return 0; }, kOpReturn));
  TagVar result;
  r->SetResultRef(&result);
  inst_->Run();
  EXPECT_EQ(ReadFile("chosen.txt"), "a");
  EXPECT_EQ(result.AsInt(), 0);  // whatever the open gave
  EXPECT_EQ(ReadFile("_stdout0.txt"), "b");
}

TEST_F(PrintTest, NestedRunLeavesItsCallersSinkOpen) {
  TagVar a = TagVar::Str("outer-"), b = TagVar::Str("nested-"), c = TagVar::Str("after");
  auto nested = MakeInstance(0, inst_.get());
  ASSERT_TRUE(nested->nested);
  // The nested script prints through its root: the caller's sink.
  handops::Append(*nested, new TagPrint(TagTelBasic::GetRoot(nested.get()), &b));
  handops::Append(*nested, new handops::FnOper([] { return 0; }, kOpReturn));
  handops::Append(*inst_, new TagPrint(inst_.get(), &a));
  handops::Append(*inst_, new handops::FnOper([&] { return nested->Run(); }));
  handops::Append(*inst_, new TagPrint(inst_.get(), &c));
  handops::Append(*inst_, new handops::FnOper([] { return 0; }, kOpReturn));
  inst_->Run();
  // A closed sink would have reopened and emptied the file at "after".
  EXPECT_EQ(ReadFile("_stdout0.txt"), "outer-nested-after");
}

}  // namespace
