#include "core/monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "platform/text.h"

namespace {

TagMonitorSettings Settings(int language, int dispSente = 1, int talk = 0) {
  TagMonitorSettings s;
  s.language = language;
  s.dispSente = dispSente;
  s.dispTalkTime = talk;
  s.title[0] = "T1";
  s.title[1] = "T2";
  s.title[2] = "T3";
  return s;
}

// Records what the remote server would be told.
struct SinkRecorder : TagCellSink {
  struct Mark {
    int line, cell, fg, bg;
  };
  std::mutex m;
  std::vector<Mark> marks;
  void MarkCell(int line, int cell, int fg, int bg) override {
    std::lock_guard<std::mutex> l(m);
    marks.push_back({line, cell, fg, bg});
  }
};

// Installs a monitor as the running system's for one test.
class MonitorTest : public ::testing::Test {
 protected:
  void Install(int lines, TagMonitorSettings s) {
    mon = std::make_shared<TagMonitor>(lines, std::move(s));
    SetMonitor(mon);
    isCloseing.store(false);
  }
  void TearDown() override {
    SetMonitor(nullptr);
    isCloseing.store(true);
  }
  std::shared_ptr<TagMonitor> mon;
};

// --- layout ---------------------------------------------------------------------

struct LayoutCase {
  int lines, groups, columns, rows;
  int probeLine, probeRow, probeFirstColumn;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.lines << " lines in " << c.groups << " groups"; }

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, RowsColumnsAndPositionsRoundTrip) {
  const LayoutCase& c = GetParam();
  TagMonitor m(c.lines, Settings(1));
  m.BindGrid(c.groups);
  TagGridLayout g = m.Layout();
  EXPECT_EQ(g.Columns(), c.columns);
  EXPECT_EQ(g.Rows(), c.rows);
  EXPECT_EQ(g.RowOf(c.probeLine), c.probeRow);
  EXPECT_EQ(g.ColumnOf(c.probeLine, 0), c.probeFirstColumn);
  for (int line = 0; line < c.lines; ++line) {
    for (int cell = 0; cell < kCellCount; ++cell) {
      int l = -1, k = -1;
      ASSERT_TRUE(g.LineAt(g.ColumnOf(line, cell), g.RowOf(line), &l, &k));
      EXPECT_EQ(l, line);
      EXPECT_EQ(k, cell);
    }
  }
  int l, k;
  EXPECT_FALSE(g.LineAt(0, 0, &l, &k)) << "header row";
  EXPECT_FALSE(g.LineAt(g.Columns(), 1, &l, &k));
  EXPECT_EQ(m.SelectedLine(0, 0), -1);
}

INSTANTIATE_TEST_SUITE_P(Grid, LayoutTest,
                         ::testing::Values(LayoutCase{65, 2, 16, 34, 64, 33, 0},
                                           LayoutCase{65, 1, 8, 66, 64, 65, 0},
                                           LayoutCase{7, 3, 24, 4, 5, 2, 16},
                                           LayoutCase{240, 10, 80, 25, 239, 24, 72},
                                           LayoutCase{1, 4, 32, 2, 0, 1, 0}));

TEST(LayoutTest, CellsPastTheLastLineBelongToNoLine) {
  TagMonitor m(65, Settings(1));
  m.BindGrid(2);
  // Row 33 holds only line 64: its second group is empty.
  EXPECT_EQ(m.SelectedLine(3, 33), 64);
  EXPECT_EQ(m.SelectedLine(8, 33), -1);
  EXPECT_EQ(m.SelectedLine(9, 1), 1);
}

TEST(LayoutTest, HeadersByLanguage) {
  TagMonitor en(3, Settings(1));
  auto h = en.Headers();
  EXPECT_EQ(h[0], "Line");
  EXPECT_EQ(h[1], "Script File");
  EXPECT_EQ(h[2], "Status");
  EXPECT_EQ(h[3], "Keys");
  EXPECT_EQ(h[4], "Run Info");
  EXPECT_EQ(h[5], "T1");
  EXPECT_EQ(h[7], "T3");
  TagMonitor zh(3, Settings(0));
  EXPECT_EQ(zh.Headers()[3], GBK("当前按键"));
  EXPECT_EQ(zh.Headers()[4], GBK("运行信息"));
}

// --- state texts ----------------------------------------------------------------

struct StateCase {
  std::string text;  // UTF-8; converted to GB bytes
  int language, talk;
  std::string stored;  // UTF-8
  int state, fg, bg;
};

void PrintTo(const StateCase& c, std::ostream* os) {
  *os << c.text << " (language " << c.language << ", talk time " << c.talk << ")";
}

class StateTextTest : public MonitorTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTextTest, StoresTextStateAndColours) {
  const StateCase& c = GetParam();
  Install(8, Settings(c.language, 1, c.talk));
  SinkRecorder sink;
  mon->AttachSink(&sink);
  EXPECT_EQ(DispLineState(5, plat::Utf8ToGbk(c.text)), 0);
  EXPECT_EQ(mon->GetCellText(5, kCellState), plat::Utf8ToGbk(c.stored));
  EXPECT_EQ(mon->GetState(5), c.state);
  EXPECT_EQ(mon->GetStateColors(5), std::make_pair(c.fg, c.bg));
  // The remote consoles get the cell with the stored colours.
  ASSERT_EQ(sink.marks.size(), 1u);
  EXPECT_EQ(sink.marks[0].cell, kCellState);
  EXPECT_EQ(sink.marks[0].fg, c.fg);
  EXPECT_EQ(sink.marks[0].bg, c.bg);
  mon->DetachSink(&sink);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StateTextTest,
    ::testing::Values(StateCase{"堵塞", 1, 0, "Blocked", 3, 14, 4}, StateCase{"运行", 1, 0, "Running", 3, 0, 15},
                      StateCase{"已停止", 1, 0, "End", 4, 0, 13},
                      StateCase{"加载...", 1, 0, "Loading...", 2, 0, 10},
                      StateCase{"初始化失败", 1, 0, "InitErr", 0, 14, 4},
                      // The unset text is not translated.
                      StateCase{"未配置", 1, 0, "未配置", 1, 0, 11}, StateCase{"Unset", 1, 0, "Unset", 1, 0, 11},
                      StateCase{"连通 1:05", 1, 1, "Conn 1:05", 2, 0, 15},
                      StateCase{"连通 1:05", 1, 0, "Conn", 2, 0, 15},
                      StateCase{"加载不成功", 1, 0, "加载不成功", 2, 0, 15},
                      StateCase{"运行", 0, 0, "运行", 3, 0, 15}, StateCase{"Running", 0, 0, "Running", 3, 0, 15},
                      StateCase{"堵塞", 0, 0, "堵塞", 3, 14, 4}));

TEST_F(MonitorTest, NegativeLineIsRefusedAndOutOfRangeIgnored) {
  Install(2, Settings(1));
  EXPECT_EQ(DispLineState(-1, "Running"), -1);
  EXPECT_EQ(DispLineScript(-1, "a.kxs"), -1);
  EXPECT_EQ(DispInfo(-1, 0, "x"), -1);
  EXPECT_EQ(DispLineState(2, "Running"), 0);
  EXPECT_EQ(mon->GetState(2), -1);
  EXPECT_EQ(mon->GetStateColors(9), std::make_pair(0, 15));
}

TEST(NoMonitorTest, NotificationsDoNothingBeforeTheMonitorExists) {
  SetMonitor(nullptr);
  isCloseing.store(false);
  EXPECT_EQ(DispLineState(0, "Running"), 0);
  EXPECT_EQ(DispLineScript(0, "x.kxs"), 0);
  EXPECT_EQ(DispInfo(0, 0, "x"), 0);
  EXPECT_EQ(SetDispColor(0, 1, 2), 0);
  DispKeys(0, "12", 1);
  SetDispKeys(0, "12");
  DispRunLine(3, 0);
  EXPECT_EQ(GetDispKeys(0), "");
  EXPECT_EQ(GetDispKeysLength(0), 0);
  EXPECT_EQ(CurrentMonitor(), nullptr);
  isCloseing.store(true);
}

// --- user cells and colours ---------------------------------------------------------

TEST_F(MonitorTest, UserCellsAndColours) {
  Install(3, Settings(1));
  EXPECT_EQ(SetDispColor(1, 4, 9), 0);
  EXPECT_EQ(mon->GetUserColors(1), std::make_pair(4, 9));
  // 16 and -1 are no colours: each half is kept.
  SetDispColor(1, 16, 2);
  EXPECT_EQ(mon->GetUserColors(1), std::make_pair(4, 2));
  SetDispColor(1, 3, -1);
  EXPECT_EQ(mon->GetUserColors(1), std::make_pair(3, 2));

  mon->TakeChanges();
  for (int index : {3, -1, -5, 100}) {
    EXPECT_EQ(DispInfo(1, index, "nope"), 0);
  }
  EXPECT_TRUE(mon->TakeChanges().empty()) << "indexes outside the user cells change nothing";
  EXPECT_EQ(DispInfo(1, 2, "hello"), 0);
  auto ch = mon->TakeChanges();
  ASSERT_EQ(ch.size(), 1u);
  EXPECT_EQ(ch[0].cell, 7);
  EXPECT_EQ(ch[0].text, "hello");
  EXPECT_EQ(ch[0].fg, 3);
  EXPECT_EQ(ch[0].bg, 2);
}

// Fresh colours of a running line when any of cells 0 to 4 changes.
TEST_F(MonitorTest, RunningLineTakesColoursFromBlockAndConnection) {
  Install(2, Settings(1));
  SinkRecorder sink;
  mon->AttachSink(&sink);
  DispLineState(0, "Running");
  struct Case {
    int block;
    bool connected;
    int fg, bg;
  };
  for (Case c : {Case{0, true, 1, 14}, Case{1, true, 14, 4}, Case{2, false, 0, 15}, Case{0, false, 0, 15}}) {
    mon->SetBlock(0, c.block);
    mon->SetConnected(0, c.connected);
    sink.marks.clear();
    DispLineScript(0, "a.kxs");
    EXPECT_EQ(mon->GetStateColors(0), std::make_pair(c.fg, c.bg)) << c.block << c.connected;
    ASSERT_EQ(sink.marks.size(), 1u);
    EXPECT_EQ(sink.marks[0].fg, c.fg);
    EXPECT_EQ(sink.marks[0].bg, c.bg);
  }
  // A line in another state keeps its stored colours.
  DispLineState(1, "End");
  mon->SetConnected(1, true);
  DispLineScript(1, "b.kxs");
  EXPECT_EQ(mon->GetStateColors(1), std::make_pair(0, 13));

  // Touching marks cells 0 to 4 again with the fresh colours.
  mon->SetConnected(0, true);
  mon->TakeChanges();
  sink.marks.clear();
  mon->TouchStateCells(0);
  EXPECT_EQ(sink.marks.size(), 5u);
  auto ch = mon->TakeChanges();
  ASSERT_EQ(ch.size(), 5u);
  for (auto& u : ch) {
    EXPECT_EQ(u.fg, 1);
    EXPECT_EQ(u.bg, 14);
  }
  mon->DetachSink(&sink);
}

TEST_F(MonitorTest, TakeChangesHonoursVisibleRangeAndLimit) {
  Install(6, Settings(1));
  mon->BindGrid(2);  // rows 1..3, columns 0..15
  for (int line = 0; line < 6; ++line) DispLineScript(line, "s" + std::to_string(line));
  // Only row 2 (lines 2 and 3), only the second group's columns (line 3).
  TagGridRange r{2, 2, 8, 15};
  auto ch = mon->TakeChanges(r);
  ASSERT_EQ(ch.size(), 1u);
  EXPECT_EQ(ch[0].line, 3);
  EXPECT_EQ(ch[0].row, 2);
  EXPECT_EQ(ch[0].column, 9);
  EXPECT_EQ(ch[0].text, "s3");
  // The rest kept their flags; a limit leaves the tail for the next tick.
  auto first = mon->TakeChanges({}, 2);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].line, 0);
  EXPECT_EQ(first[1].line, 1);
  auto rest = mon->TakeChanges();
  ASSERT_EQ(rest.size(), 3u);
  EXPECT_EQ(rest[0].line, 2);
  EXPECT_EQ(rest[2].line, 5);
  EXPECT_TRUE(mon->TakeChanges().empty());
}

// --- keys -------------------------------------------------------------------------

struct KeysCase {
  std::string text;
  int mode;
  bool shown;
  std::string expected;
};

void PrintTo(const KeysCase& c, std::ostream* os) { *os << c.text << " in mode " << c.mode; }

class KeysModeTest : public MonitorTest, public ::testing::WithParamInterface<KeysCase> {};

TEST_P(KeysModeTest, DisplayModes) {
  const KeysCase& c = GetParam();
  Install(2, Settings(1));
  SetDispKeys(1, "old");
  DispKeys(1, c.text, c.mode);
  EXPECT_EQ(GetDispKeys(1), c.shown ? c.expected : "old");
  EXPECT_EQ(GetDispKeysLength(1), static_cast<int>((c.shown ? c.expected : std::string("old")).size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, KeysModeTest,
                         ::testing::Values(KeysCase{"1234", 2, true, "****"},
                                           KeysCase{"1234567890123456789012345", 2, true, std::string(20, '*')},
                                           KeysCase{"", 2, true, ""}, KeysCase{"1234", 0, false, ""},
                                           KeysCase{"12#4", 1, true, "12#4"}, KeysCase{"98", 7, true, "98"}));

TEST_F(MonitorTest, TakeKeysConsumesTheFrontAndKeepsTheRest) {
  Install(1, Settings(1));
  SetDispKeys(0, "123#45");
  // The collection's decision: up to and including the first '#'.
  std::string got = mon->TakeKeys(0, [](std::string_view t) {
    size_t p = t.find('#');
    return p == std::string_view::npos ? 0 : p + 1;
  });
  EXPECT_EQ(got, "123#");
  EXPECT_EQ(GetDispKeys(0), "45");
  EXPECT_EQ(mon->TakeKeys(0, 10), "45") << "never more than the cell holds";
  EXPECT_EQ(mon->TakeKeys(0, 1), "");
  ClearDispKeys(0);
  EXPECT_EQ(GetDispKeysLength(0), 0);
}

// The operator types while the line consumes: every key is handed out once,
// in order, or still in the cell.
TEST_F(MonitorTest, ConcurrentTypingAndConsumingLosesNoKey) {
  Install(1, Settings(1));
  const int kKeys = 20000;
  std::string typed;
  for (int i = 0; i < kKeys; ++i) typed.push_back(static_cast<char>('0' + i % 10));
  std::atomic<bool> done{false};
  std::thread gui([&] {
    for (int i = 0; i < kKeys; ++i) mon->AppendKeys(0, typed.substr(i, 1));
    done.store(true);
  });
  std::string taken;
  size_t k = 1;
  while (!done.load() || GetDispKeysLength(0) > 0) {
    taken += mon->TakeKeys(0, k);
    k = k % 7 + 1;
  }
  gui.join();
  EXPECT_EQ(taken, typed);
}

struct EditCase {
  const char* name;
  std::string start;     // the cell when editing began
  size_t takenMeanwhile;  // keys the line took while the editor was open
  std::string arrived;   // keys another writer appended meanwhile
  std::string after;     // what the editor commits
  std::string expected;
};

void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

class KeysEditTest : public MonitorTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(KeysEditTest, StaleEditorNeverRestoresOrDropsKeys) {
  const EditCase& c = GetParam();
  Install(1, Settings(1));
  SetDispKeys(0, c.start);
  TagKeysEdit e = mon->BeginKeysEdit(0);
  mon->TakeKeys(0, c.takenMeanwhile);
  mon->AppendKeys(0, c.arrived);
  mon->CommitKeysEdit(0, e, c.after);
  EXPECT_EQ(GetDispKeys(0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, KeysEditTest,
    ::testing::Values(EditCase{"typed", "12", 0, "", "123", "123"},
                      EditCase{"typedWhileTaken", "12", 1, "", "123", "23"},
                      EditCase{"typedWhileOthersArrived", "12", 0, "9", "123", "1293"},
                      EditCase{"allTakenThenTyped", "12", 2, "", "1234", "34"},
                      EditCase{"rewriteNoRace", "123", 0, "", "1x3", "1x3"},
                      EditCase{"rewriteAfterTake", "123", 1, "", "1x3", "x3"},
                      EditCase{"deleteAll", "123", 0, "", "", ""}),
    [](const auto& p) { return std::string(p.param.name); });

// --- run info -----------------------------------------------------------------------

TEST_F(MonitorTest, RunLineIsFormattedOnTheTickByMode) {
  struct Case {
    int mode;
    const char* expected;
  };
  for (Case c : {Case{1, "Play(\"a.wav\"); // greet"}, Case{2, " greet"}, Case{0, "untouched"}}) {
    Install(2, Settings(1, c.mode));
    DispInfo(0, 0, "");
    mon->SetCellText("untouched", 1, kCellRunInfo);
    SetRunSource(1, std::make_shared<TagRunTexts>(
                        std::vector<std::string>{"x = 1;", "Play(\"a.wav\"); // greet", "Hangup();"}));
    DispRunLine(1, 1);
    EXPECT_EQ(mon->GetCellText(1, kCellRunInfo), "untouched") << "nothing formatted before the tick";
    mon->UpdateRunInfo();
    EXPECT_EQ(mon->GetCellText(1, kCellRunInfo), c.expected) << c.mode;
  }
}

TEST_F(MonitorTest, CommentModeWithoutCommentIsEmpty) {
  Install(1, Settings(1, 2));
  SetRunSource(0, std::make_shared<TagRunTexts>(std::vector<std::string>{"x = 1;"}));
  mon->SetCellText("stale", 0, kCellRunInfo);
  DispRunLine(0, 0);
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "");
}

TEST_F(MonitorTest, RunLineDoesNothingWhileClosing) {
  Install(1, Settings(1));
  SetRunSource(0, std::make_shared<TagRunTexts>(std::vector<std::string>{"a;", "b;"}));
  DispRunLine(0, 0);
  isCloseing.store(true);
  DispRunLine(1, 0);
  DispSubRunLine(1, 0, 0, 2, true, false);
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "a;");
  EXPECT_EQ(mon->GetRunMark(0).statement, 0);
}

TEST_F(MonitorTest, RunMarkCarriesFunctionPosition) {
  Install(3, Settings(1));
  SetRunSource(2, std::make_shared<TagRunTexts>(std::vector<std::string>{"a;", "f();", "return(1);"}));
  EXPECT_EQ(mon->GetRunMark(2).statement, -1);
  DispSubRunLine(2, 0, 2, 7, true, false);
  TagRunMark m = mon->GetRunMark(2);
  EXPECT_EQ(m.statement, 2);
  EXPECT_EQ(m.index, 0);
  EXPECT_EQ(m.function, 7);
  EXPECT_TRUE(m.isCall);
  EXPECT_FALSE(m.prevWasCall);
  DispRunLine(1, 2);
  m = mon->GetRunMark(2);
  EXPECT_EQ(m.statement, 1);
  EXPECT_EQ(m.index, 1);
  EXPECT_EQ(m.function, -1);
  DispRunLine(5, 9);  // no such line: ignored
}

// A reload replaces the source while the tick may still be reading the old
// one: the old texts stay valid as long as someone reads them, and a stale
// statement id of the new instance shows nothing wrong.
TEST_F(MonitorTest, ReplacedSourceStaysReadableAndResets) {
  Install(1, Settings(1));
  auto first = std::make_shared<TagRunTexts>(std::vector<std::string>{"old0;", "old1;"});
  std::weak_ptr<TagRunTexts> weak = first;
  SetRunSource(0, first);
  first.reset();
  DispRunLine(1, 0);
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "old1;");
  SetRunSource(0, std::make_shared<TagRunTexts>(std::vector<std::string>{"new0;"}));
  EXPECT_TRUE(weak.expired());
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "") << "nothing run yet in the new instance";
  DispRunLine(5, 0);  // past the new source's end
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "");
  DispRunLine(0, 0);
  mon->UpdateRunInfo();
  EXPECT_EQ(mon->GetCellText(0, kCellRunInfo), "new0;");
}

// --- lifetime and threads -------------------------------------------------------------

// A line thread that outlives the stop still holds the monitor it used; the
// monitor goes when that thread looks again or ends.
TEST(MonitorLifetimeTest, ThreadKeepsItsMonitorUntilItLooksAgain) {
  auto m = std::make_shared<TagMonitor>(2, Settings(1));
  std::weak_ptr<TagMonitor> weak = m;
  SetMonitor(m);
  m.reset();
  std::atomic<int> step{0};
  std::thread line([&] {
    DispLineScript(0, "a.kxs");
    step.store(1);
    while (step.load() != 2) std::this_thread::yield();
    DispLineScript(0, "b.kxs");  // the monitor is gone: nothing happens
    step.store(3);
    while (step.load() != 4) std::this_thread::yield();
  });
  while (step.load() != 1) std::this_thread::yield();
  SetMonitor(nullptr);
  EXPECT_FALSE(weak.expired()) << "the line thread still uses it";
  step.store(2);
  while (step.load() != 3) std::this_thread::yield();
  EXPECT_TRUE(weak.expired());
  step.store(4);
  line.join();
}

// Readers see whole texts while lines write.
TEST_F(MonitorTest, ConcurrentWritersAndTickSeeWholeTexts) {
  Install(4, Settings(1));
  const std::vector<std::string> texts = {std::string(300, 'a'), std::string(5, 'b'), std::string(1000, 'c')};
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int line = 0; line < 4; ++line) {
    writers.emplace_back([&, line] {
      for (int i = 0; !stop.load(); ++i) {
        DispInfo(line, i % 3, texts[i % 3]);
        DispLineState(line, i % 2 ? "Running" : "End");
      }
    });
  }
  // Until enough texts went by (the writers may start late on a busy host).
  int seen = 0;
  auto start = std::chrono::steady_clock::now();
  while (seen < 500 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    for (auto& u : mon->TakeChanges()) {
      if (u.cell < kCellUser0) continue;
      ++seen;
      ASSERT_TRUE(u.text == texts[0] || u.text == texts[1] || u.text == texts[2]) << u.text.size();
    }
  }
  stop.store(true);
  for (auto& t : writers) t.join();
  EXPECT_GE(seen, 500);
}

TEST(ColourTableTest, SixteenColoursWithRedTwice) {
  EXPECT_EQ(kMonitorColors[0].r + kMonitorColors[0].g + kMonitorColors[0].b, 0);
  EXPECT_EQ(kMonitorColors[9].r, 166);
  EXPECT_EQ(kMonitorColors[9].g, 202);
  EXPECT_EQ(kMonitorColors[9].b, 240);
  EXPECT_EQ(kMonitorColors[12].r, kMonitorColors[4].r);
  EXPECT_EQ(kMonitorColors[12].g, kMonitorColors[4].g);
  EXPECT_EQ(kMonitorColors[13].b, 128);
}

}  // namespace
