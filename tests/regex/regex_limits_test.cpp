// Runaway patterns and texts end within their limits, without a crash, on a
// line thread's stack; the operations then give 0, write nothing and log once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "platform/thread.h"
#include "regex/ereg.h"
#include "regex/regexp.h"
#include "tests/support/tempdir.h"

namespace {

// Runs fn on a thread with a line's stack and waits for it.
void OnLineThread(const std::function<void()>& fn) {
  plat::Thread t;
  ASSERT_TRUE(t.Start(fn, plat::Thread::kLineStack));
  t.Join();
}

std::string Nested(int depth, const char* open, const char* inner, const char* close) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

struct Runaway {
  const char* name;
  std::string pattern;
  std::string text;
  int limit;
};

class RunawayTable : public ::testing::TestWithParam<Runaway> {};

TEST_P(RunawayTable, EndsWithItsLimit) {
  const Runaway& c = GetParam();
  int hit = -1;
  bool matched = true;
  OnLineThread([&] {
    CRegexpT<char> re(c.pattern.c_str(), int(c.pattern.size()), 0);
    matched = re.MatchBuffer(c.text.data(), int(c.text.size()), 0, nullptr, &hit).IsMatched();
  });
  EXPECT_FALSE(matched) << c.name;
  EXPECT_EQ(hit, c.limit) << c.name << ": " << RegexLimitText(hit);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, RunawayTable,
    ::testing::Values(Runaway{"nested_plus", "(a+)+$", std::string(28, 'a') + "b", kRegexSteps},
                      Runaway{"alternation_star", "(a|aa)*c", std::string(40, 'a'), kRegexSteps},
                      Runaway{"deep_recursion", "a(?R)?b", std::string(50000, 'a') + std::string(50000, 'b'),
                              kRegexStack},
                      Runaway{"left_recursion", "(?R)a", "aaa", kRegexStack},
                      Runaway{"group_left_recursion", "(a|(?1)b)", "c", kRegexStack},
                      Runaway{"deep_nesting", Nested(300, "(", "a", ")"), "a", kRegexNesting},
                      Runaway{"deep_lookahead", Nested(300, "(?=", "a", ")"), "a", kRegexNesting}),
    [](const ::testing::TestParamInfo<Runaway>& i) { return std::string(i.param.name); });

TEST(Limits, ModerateDepthStillWorksOnALineThread) {
  int hit = -1, end = -1, nestedEnd = -1;
  OnLineThread([&] {
    std::string text = std::string(100, 'a') + std::string(100, 'b');
    CRegexpT<char> re("a(?R)?b");
    MatchResultT<0> m = re.MatchBuffer(text.data(), int(text.size()), 0, nullptr, &hit);
    end = m.MatchEnd();
    std::string nested = Nested(200, "(", "a", ")");
    CRegexpT<char> deep(nested.c_str());
    nestedEnd = deep.Match("xa").MatchEnd();
  });
  EXPECT_EQ(hit, kRegexNoLimit);
  EXPECT_EQ(end, 200);
  EXPECT_EQ(nestedEnd, 2);
}

TEST(Limits, InterruptFlagStopsTheSearch) {
  std::atomic<uint8_t> stop{1};
  RegexLimits lim;
  lim.interrupt = &stop;
  CRegexpT<char> re("(a+)+$");
  std::string text = std::string(28, 'a') + "b";
  int hit = 0;
  EXPECT_FALSE(re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit).IsMatched());
  EXPECT_EQ(hit, kRegexInterrupted);
  // The same search without the flag raised runs to its budget instead.
  stop = 0;
  EXPECT_FALSE(re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit).IsMatched());
  EXPECT_EQ(hit, kRegexSteps);
}

TEST(Limits, InterruptRaisedFromAnotherThread) {
  std::atomic<uint8_t> stop{0};
  std::atomic<bool> done{false};
  RegexLimits lim;
  lim.interrupt = &stop;
  lim.stepBudget = INT64_MAX;  // only the flag can end it
  int hit = 0;
  plat::Thread worker;
  ASSERT_TRUE(worker.Start([&] {
    CRegexpT<char> re("(a+)+$");
    std::string text = std::string(60, 'a') + "b";
    re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit);
    done = true;
  }));
  stop = 1;
  worker.Join();
  EXPECT_TRUE(done);
  EXPECT_EQ(hit, kRegexInterrupted);
}

TEST(Limits, BacktrackStackCap) {
  RegexLimits lim;
  lim.maxStackInts = 1000;
  CRegexpT<char> re("(?:a|b)*c");
  std::string text(5000, 'a');
  text += 'c';
  int hit = 0;
  EXPECT_FALSE(re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit).IsMatched());
  EXPECT_EQ(hit, kRegexBacktrack);
  // Within the default caps the same search succeeds.
  EXPECT_EQ(re.MatchBuffer(text.data(), int(text.size()), 0, nullptr, &hit).MatchEnd(), 5001);
  EXPECT_EQ(hit, kRegexNoLimit);
}

TEST(Limits, CaptureStackCap) {
  RegexLimits lim;
  lim.maxStackInts = 5000;
  CRegexpT<char> re("(a)*c");
  std::string text(20000, 'a');
  int hit = 0;
  EXPECT_FALSE(re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit).IsMatched());
  EXPECT_EQ(hit, kRegexBacktrack);
}

// Many searches on one context share one budget besides their own.
TEST(Limits, BudgetOfAllSearchesOnOneContext) {
  const std::string text(100000, 'a');
  RegexLimits lim;
  lim.contextBudget = 50000;
  CRegexpT<char> re("a");
  int hit = 0;
  EXPECT_EQ(re.ReplaceBuffer(text.data(), int(text.size()), "b", 1, 0, -1, &lim, &hit), nullptr);
  EXPECT_EQ(hit, kRegexSteps);
  // Every search alone is tiny: with the default budgets the work is done.
  char* s = re.ReplaceBuffer(text.data(), int(text.size()), "b", 1, 0, -1, nullptr, &hit);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s), std::string(100000, 'b'));
  EXPECT_EQ(hit, kRegexNoLimit);
  CRegexpT<char>::FreeString(s);
}

class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    file_ = dir_ + "/log.txt";
    SetLogWriter(std::make_shared<TagWriteLog>(file_, 1 << 20, true, true));
  }
  void TearDown() override {
    SetLogWriter(nullptr);
  }
  int Lines(const std::string& needle) {
    if (auto w = GetLogWriter()) w->Flush();
    std::ifstream in(file_);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
      if (line.find(needle) != std::string::npos) ++n;
    return n;
  }
  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path(), file_;
};

TEST_F(LogCapture, OperationsGiveZeroWriteNothingAndLogOnce) {
  const std::string big(100 * 1024, 'a');
  std::string out = "untouched";
  // $_ at every empty match of x* would need about 20 GB.
  EXPECT_EQ(EregReplace(big, "x*", "$_", -1, &out), 0);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(Lines("EregRepl( regular expression stopped"), 1);

  std::map<int, std::string> groups{{0, "old"}};
  EXPECT_EQ(EregMatch(std::string(28, 'a') + "b", 0, "(a+)+$", &groups), 0);
  EXPECT_EQ(groups, (std::map<int, std::string>{{0, "old"}}));
  EXPECT_EQ(Lines("Ereg( regular expression stopped"), 1);

  std::vector<std::string> pieces{"old"};
  EXPECT_EQ(EregSplit("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "(a|aa)+$", &pieces), 0);
  EXPECT_EQ(pieces, std::vector<std::string>{"old"});
  EXPECT_EQ(Lines("EregSplit( regular expression stopped"), 1);

  std::string nested = Nested(400, "(", "a", ")");
  EXPECT_EQ(EregMatch("a", 0, nested, &groups), 0);
  EXPECT_EQ(Lines("pattern nested too deeply"), 1);
}

TEST_F(LogCapture, SplitOfEmptyMatchesOverALargeTextIsCapped) {
  std::vector<std::string> pieces;
  const std::string big(3 << 20, 'a');
  EXPECT_EQ(EregSplit(big, "x*", &pieces), 0);
  EXPECT_TRUE(pieces.empty());
  EXPECT_EQ(Lines("EregSplit( regular expression stopped: result too large"), 1);
}

TEST(Limits, NormalWorkIsNotLogged) {
  // Large but ordinary inputs stay well inside the limits.
  std::string csv;
  for (int i = 0; i < 20000; ++i) csv += "field" + std::to_string(i) + ",";
  std::vector<std::string> pieces;
  EXPECT_EQ(EregSplit(csv, ",", &pieces), 20001);
  std::string out;
  EXPECT_EQ(EregReplace(csv, ",", ";", -1, &out), 1);
  EXPECT_EQ(out.size(), csv.size());
}

}  // namespace
