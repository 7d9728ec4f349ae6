#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/telbasic.h"
#include "core/linemanager.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "runtime/teldrive.h"
#include "platform/text.h"
#include "tests/runtime/drive_fixture.h"

namespace {

using linetest::AppendOp;
using linetest::DriveFixture;
using linetest::WaitFor;

class LineThreadsTest : public DriveFixture {
 protected:
  // Milliseconds of the day at which each "N Loading..." line was logged.
  std::map<int, int> LoadingTimes() {
    std::map<int, int> at;
    std::istringstream in(Log());
    std::string row;
    while (std::getline(in, row)) {
      size_t p = row.find(" Loading...");
      size_t open = row.find('[');
      if (p == std::string::npos || open == std::string::npos || p < open) continue;
      int line = std::atoi(row.c_str() + open + 1);
      int h = 0, m = 0, s = 0, ms = 0;
      // "yyyy-mm-dd hh:mm:ss.mmm 0x... ["
      if (std::sscanf(row.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) continue;
      at[line] = ((h * 60 + m) * 60 + s) * 1000 + ms;
    }
    return at;
  }
  bool AllRunning(TagTelDrive& d, int lines) {
    for (int i = 0; i < lines; ++i) {
      auto inst = d.Instance(i);
      if (!inst || inst->runEnded.load() || inst->curOperIndex.load() < 0) return false;
    }
    return true;
  }
};

TEST_F(LineThreadsTest, LoadsArePacedByAQuarterOfTheDelayPlus55) {
  builder_ = linetest::WaitingScript();
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=4\nLOAD_DELAY=125\n0-3=a.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  EXPECT_EQ(d.runGate.load(), 1);
  EXPECT_FALSE(isCloseing.load());
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 4); }));
  std::map<int, int> at = LoadingTimes();
  ASSERT_EQ(at.size(), 4u) << Log();
  // 31 + 55 ms apart. Each stamp comes from its own thread, whose start
  // may lag, so the spacing is checked over the whole run.
  EXPECT_GE((at[3] - at[0]) / 3, 75);
  EXPECT_LT(at[3] - at[0], 15000);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Builds(i), 1);
  EXPECT_EQ(d.LoadedLines(), 4);
  EXPECT_NE(Log().find("LOAD_DELAY = 125"), std::string::npos);
}

TEST_F(LineThreadsTest, ClosingFlagIsLoweredEarlyOnlyForShortDelays) {
  struct Case {
    int loadDelay;
    bool raisedDuringLoad;
  } cases[] = {{125, false}, {1000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loadDelay);
    std::atomic<int> seen{-1};
    builder_ = [&](TagTelBasic& inst, int line) {
      seen = isCloseing.load() ? 1 : 0;
      linetest::WaitingScript()(inst, line);
    };
    isCloseing = true;
    TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\nLOAD_DELAY=" + std::to_string(c.loadDelay) + "\n0=a.kxs\n");
    ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
    ASSERT_TRUE(WaitFor([&] { return seen.load() >= 0; }));
    EXPECT_EQ(seen.load(), c.raisedDuringLoad ? 1 : 0);
    EXPECT_FALSE(isCloseing.load());
    drive_.reset();
  }
}

TEST_F(LineThreadsTest, LineListEntriesOfTheConfiguration) {
  builder_ = linetest::WaitingScript();
  const std::string cfg =
      "VIR_LINES_NUM=6\nLOAD_DELAY=5\n"
      "TITLE1=x.kxs\n"               // a key that is not a line list
      "0=first.kxs\n"
      "1=dir/a.kxs//kept\n"          // a '/' before the "//": the comment stays
      "2=a.kxs//cut\n"
      "3 = b c.kxs\n"                // blanks go
      "9=far.kxs\n";                 // past the lines in service
  TagTelDrive& d = MakeDrive(cfg);
  // Changed since the manager read it (an overlap there fails the manager):
  // the line already has its script.
  testsupport::WriteFile(dir_ / "RoDizRun.cfg", cfg + "0=second.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 4); }));
  EXPECT_EQ(BuiltScript(0), "first.kxs");
  EXPECT_EQ(Builds(0), 1);
  EXPECT_EQ(BuiltScript(1), "dir/a.kxs//kept");
  EXPECT_EQ(BuiltScript(2), "a.kxs");
  EXPECT_EQ(BuiltScript(3), "bc.kxs");
  EXPECT_EQ(Builds(4), 0);
  EXPECT_EQ(d.Instance(4), nullptr);
  EXPECT_EQ(d.LoadLine(9, "far.kxs"), -1);
  EXPECT_EQ(d.LoadLine(0, "again.kxs"), 0);  // the instance's own result
  EXPECT_EQ(Builds(0), 1);
}

TEST_F(LineThreadsTest, ALineListedTwiceWhileItLoadsGetsOneInstance) {
  builder_ = [](TagTelBasic& inst, int line) {
    plat::SleepMs(300);  // a long compile
    linetest::WaitingScript()(inst, line);
  };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\nLOAD_DELAY=5\n");
  EXPECT_EQ(d.LoadLine(0, "first.kxs"), 0);
  EXPECT_EQ(d.LoadLine(0, "second.kxs"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 1); }));
  plat::SleepMs(400);
  EXPECT_EQ(Builds(0), 1);
  EXPECT_EQ(BuiltScript(0), "first.kxs");
  EXPECT_EQ(d.lines[0]->scriptFile, "first.kxs");
  EXPECT_EQ(d.LiveThreads(), 1u);
}

TEST_F(LineThreadsTest, MissingConfigurationFileIsReported) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\n");
  EXPECT_EQ(d.RunStart("nowhere.cfg"), -2);
  EXPECT_NE(Boxes().find("Corvane System: Open cfg file error: nowhere.cfg"), std::string::npos);
  EXPECT_EQ(d.runGate.load(), 1);
}

TEST_F(LineThreadsTest, UncompilableScriptLeavesTheLineFailedWithoutARunThread) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\nLOAD_DELAY=5\n0=broken.kxs\n", /*withHooks=*/false);
  auto monitor = std::make_shared<TagMonitor>(1, TagMonitorSettings{});
  SetMonitor(monitor);
  testsupport::WriteFile(dir_ / "broken.kxs", "this is not a script (\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return d.LoadedLines() == 1; }));
  auto inst = d.Instance(0);
  ASSERT_NE(inst, nullptr);
  EXPECT_LT(inst->initResult, 0);
  EXPECT_EQ(monitor->GetCellText(0, kCellState), plat::Utf8ToGbk("加载不成功"));
  EXPECT_EQ(monitor->GetCellText(0, kCellScript), "broken.kxs");
  EXPECT_EQ(d.LiveThreads(), 0u);
  EXPECT_NE(Log().find("0: new TagTelBasic(broken.kxs) OK. ret=" + std::to_string(inst->initResult)),
            std::string::npos);
  // A failed line makes the reload start every line afresh.
  inst.reset();
  d.ReloadAll();
  ASSERT_TRUE(WaitFor([&] { return d.LoadedLines() == 1 && d.Instance(0) != nullptr; }));
  EXPECT_LT(d.Instance(0)->initResult, 0);
}

TEST_F(LineThreadsTest, AScriptThatCannotBeBuiltIsReported) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    const char* box;
    int loaded;  // the other exceptions still count the line as loaded
  } cases[] = {
      {"library", [] { throw std::runtime_error("out of script memory"); }, "加载脚本错误...: out of script memory", 0},
      {"other", [] { throw 42; }, "Error: TagTelDrive::LineLoadThread()", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    builder_ = [&](TagTelBasic&, int) { c.raise(); };
    TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\nLOAD_DELAY=5\n0=a.kxs\n");
    ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
    ASSERT_TRUE(WaitFor([&] { return Builds(0) >= 1 && d.LiveThreads() == 0; }));
    EXPECT_EQ(d.LoadedLines(), c.loaded);
    EXPECT_EQ(d.Instance(0), nullptr);
    EXPECT_NE(Boxes().find(c.box), std::string::npos) << Boxes();
    drive_.reset();
    builds_.clear();
  }
}

TEST_F(LineThreadsTest, RealScriptsRunEndAndRestartOnReload) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nLOAD_DELAY=5\n0-1=once.kxs\n", /*withHooks=*/false);
  auto monitor = std::make_shared<TagMonitor>(2, TagMonitorSettings{});
  SetMonitor(monitor);
  testsupport::WriteFile(dir_ / "once.kxs", "x = _lineNo + 10\nreturn(0)\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  auto ended = [&] {
    for (int i = 0; i < 2; ++i) {
      auto inst = d.Instance(i);
      if (!inst || !inst->runEnded.load() || inst->FindVariable("x") == nullptr) return false;
    }
    return d.LiveThreads() == 0;
  };
  ASSERT_TRUE(WaitFor(ended));
  for (int i = 0; i < 2; ++i) {
    auto inst = d.Instance(i);
    EXPECT_EQ(inst->initResult, 0);
    EXPECT_EQ(inst->FindVariable("x")->IntValue(), 10 + i);
    EXPECT_EQ(monitor->GetCellText(i, kCellState), plat::Utf8ToGbk("已停止"));
    // Marks the first instances: a new one may be built at a freed one's address.
    inst->FindVariable("x")->SetInt(-1);
  }
  // A script that returned from its main body: the reload starts all afresh.
  d.ReloadAll();
  auto rebuilt = [&] {
    if (!ended()) return false;
    for (int i = 0; i < 2; ++i) {
      auto inst = d.Instance(i);
      TagVar* x = inst ? inst->FindVariable("x") : nullptr;
      if (!x || x->IntValue() != 10 + i) return false;
    }
    return true;
  };
  ASSERT_TRUE(WaitFor(rebuilt));
}

TEST_F(LineThreadsTest, RealScriptsReloadThroughTheirQuitSection) {
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nLOAD_DELAY=5\n0-1=loop.kxs\n", /*withHooks=*/false);
  testsupport::WriteFile(dir_ / "loop.kxs",
                         "n = 0\nwhile(1)\n{\nn = n + 1\n}\nOnSysQuit()\nreturn(0)\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  // Inside its loop (statement 1 or later), not reading the script's own
  // variables while it writes them.
  auto spinning = [&](int i) {
    auto inst = d.Instance(i);
    return inst && !inst->runEnded.load() && inst->curOperIndex.load() >= 1;
  };
  ASSERT_TRUE(WaitFor([&] { return spinning(0) && spinning(1); }));
  // The old instance is freed by the reload (its address may come back).
  std::weak_ptr<TagTelBasic> before = d.Instance(1);
  d.ReloadAll();  // no line has ended: each reloads on its own thread
  ASSERT_TRUE(WaitFor([&] { return before.expired() && d.Instance(1) && spinning(0) && spinning(1); }));
  EXPECT_EQ(d.LiveThreads(), 2u);
  d.CloseAllTelLine();
  EXPECT_EQ(d.LiveThreads(), 0u);
}

TEST_F(LineThreadsTest, ReloadOfIdleLinesRebuildsEachOnItsOwnThread) {
  std::atomic<int> runs{0};
  builder_ = linetest::WaitingScript(&runs);
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=3\nLOAD_DELAY=5\n0-2=a.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 3); }));
  // The old instances are freed by the reload (their addresses may come back).
  std::vector<std::weak_ptr<TagTelBasic>> before;
  for (int i = 0; i < 3; ++i) before.push_back(d.Instance(i));
  const int loaded = d.LoadedLines();

  d.StartReloadThread();
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 0; i < 3; ++i)
      if (Builds(i) != 2) return false;
    return AllRunning(d, 3);
  }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(WaitFor([&] { return before[i].expired(); })) << i;
    EXPECT_NE(d.Instance(i), nullptr) << i;
  }
  // Reloaded by the run threads, not by a new start.
  EXPECT_EQ(d.LoadedLines(), loaded);
  EXPECT_EQ(d.LiveThreads(), 3u);
  EXPECT_EQ(d.CountReloadPending(), 0);
}

TEST_F(LineThreadsTest, ReloadWhileAConnectedLineWaitsForItsCallToEnd) {
  builder_ = linetest::WaitingScript();
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2\nLOAD_DELAY=5\n0-1=a.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 2); }));
  d.lines[1]->call->callState = kCallConnected;
  d.ReloadAll();
  ASSERT_TRUE(WaitFor([&] { return Builds(0) == 2 && AllRunning(d, 1); }));
  EXPECT_EQ(Builds(1), 1);
  EXPECT_EQ(d.CountReloadPending(), 0);  // connected: not pending yet
  d.lines[1]->call->callState = kCallIdle;
  EXPECT_EQ(d.CountReloadPending(), 1);
  d.Instance(1)->SetReload(true);  // the waiting script notices
  ASSERT_TRUE(WaitFor([&] { return Builds(1) == 2 && AllRunning(d, 2); }));
}

TEST_F(LineThreadsTest, ReloadAfterAScriptEndedRestartsEveryLine) {
  std::atomic<int> quickRuns{0};
  builder_ = [&](TagTelBasic& inst, int line) {
    if (line == 1 && Builds(1) == 1) {
      // The first script of line 1 returns from its main body at once.
      AppendOp(inst, [&] { return ++quickRuns; }, kOpReturn);
      return;
    }
    linetest::WaitingScript()(inst, line);
  };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=3\nLOAD_DELAY=5\n0-2=a.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return quickRuns.load() == 1 && d.LiveThreads() == 2; }));
  d.StartReloadThread();
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 0; i < 3; ++i)
      if (Builds(i) != 2) return false;
    return AllRunning(d, 3);
  }));
  EXPECT_NE(Log().find("Run Start ..."), Log().rfind("Run Start ..."));  // started twice
  EXPECT_EQ(d.LiveThreads(), 3u);
}

TEST_F(LineThreadsTest, StopBeforeTheRunLoopStartsIsNotLost) {
  std::atomic<int> runs{0};
  builder_ = linetest::WaitingScript(&runs);
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=12\nLOAD_DELAY=5\n");
  d.runGate = 0;  // the run threads wait at the gate
  for (int i = 0; i < 12; ++i) ASSERT_EQ(d.LoadLine(i, "a.kxs"), 0);
  ASSERT_TRUE(WaitFor([&] { return d.LoadedLines() == 12; }));
  EXPECT_EQ(d.LiveThreads(), 12u);
  std::weak_ptr<TagTelBasic> first = d.Instance(0);
  d.CloseAllTelLine();
  EXPECT_EQ(d.LiveThreads(), 0u);
  EXPECT_TRUE(first.expired());
  for (int i = 0; i < 12; ++i) EXPECT_EQ(d.Instance(i), nullptr);
  d.runGate = 1;
  plat::SleepMs(100);
  EXPECT_EQ(runs.load(), 0);  // no script ran after its stop
}

// The exit marks every line stale before it raises the lines' own stop
// flags; a reload that holds the exit up keeps that gap open. A line waiting
// at the run gate that sees itself stale must end there, not run its script.
TEST_F(LineThreadsTest, ALineStaleBeforeItsStopFlagsRunsNoScript) {
  std::atomic<int> runs{0};
  builder_ = linetest::WaitingScript(&runs);
  std::atomic<bool> holdReload{false};
  std::atomic<bool> reloadHeld{false};
  TagTelDriveHooks hooks = Hooks();
  hooks.clearScriptCache = [&] {
    if (!holdReload.load()) return;
    reloadHeld = true;
    plat::SleepMs(400);  // the exit waits for this reload meanwhile
  };
  testsupport::WriteFile(dir_ / "RoDizRun.cfg", "VIR_LINES_NUM=12\nLOAD_DELAY=5\n");
  drive_ = std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg_, hooks);
  logLevel = 1;
  TagTelDrive& d = *drive_;
  d.runGate = 0;  // the run threads wait at the gate
  for (int i = 0; i < 12; ++i) ASSERT_EQ(d.LoadLine(i, "a.kxs"), 0);
  ASSERT_TRUE(WaitFor([&] { return d.LoadedLines() == 12 && d.LiveThreads() == 12u; }));
  holdReload = true;
  d.StartReloadThread();
  ASSERT_TRUE(WaitFor([&] { return reloadHeld.load(); }));
  drive_.reset();
  EXPECT_EQ(runs.load(), 0);  // no script ran once its line was stale
}

TEST_F(LineThreadsTest, ExitWhileSixtyLinesLoad) {
  for (bool cancelFirst : {false, true}) {
    SCOPED_TRACE(cancelFirst ? "cancelled, then deleted" : "deleted");
    builds_.clear();
    builder_ = linetest::WaitingScript();
    MakeDrive("VIR_LINES_NUM=60\nLOAD_DELAY=5\n0-59=a.kxs\n");
    TagTelDrive* d = drive_.get();
    std::thread main([d] { d->RunStart("RoDizRun.cfg"); });
    ASSERT_TRUE(WaitFor([&] { return d->LoadedLines() >= 5; }));
    if (cancelFirst) {
      // The host's exit: cancel the start, wait for it, then delete.
      d->CancelStart();
      main.join();
      EXPECT_LT(d->LoadedLines(), 60);
      drive_.reset();
    } else {
      drive_.reset();  // while the start still loads lines
      main.join();
    }
    EXPECT_EQ(Builds(59), 0);
  }
}

TEST_F(LineThreadsTest, RepeatedReloadsLeaveOneInstanceAndThreadPerLine) {
  std::atomic<int> runs{0};
  int quickBuilds = 0;
  builder_ = [&](TagTelBasic& inst, int line) {
    // Now and then a script ends at once, so that a reload restarts all.
    if (line == 2 && (Builds(2) % 3) == 1) {
      ++quickBuilds;
      AppendOp(inst, [] { return 0; }, kOpReturn);
      return;
    }
    linetest::WaitingScript(&runs)(inst, line);
  };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=6\nLOAD_DELAY=5\n0-5=a.kxs\n");
  std::thread main([&] { d.RunStart("RoDizRun.cfg"); });
  for (int round = 0; round < 6; ++round) {
    d.StartReloadThread();
    plat::SleepMs(60);
  }
  main.join();
  // The queued reloads run one after the other, then every line is back.
  ASSERT_TRUE(WaitFor([&] {
    if (d.ReloadRunning()) return false;
    for (int i = 0; i < 6; ++i)
      if (!d.Instance(i)) return false;
    return true;
  }));
  for (int i = 0; i < 6; ++i) {
    auto inst = d.Instance(i);
    ASSERT_NE(inst, nullptr) << i;
    EXPECT_EQ(inst->runLine, d.lines[i]) << i;
  }
  EXPECT_LE(d.LiveThreads(), 6u);
  drive_.reset();
}

TEST_F(LineThreadsTest, TwoStartsAtOnceRunOneAfterTheOther) {
  builder_ = linetest::WaitingScript();
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=8\nLOAD_DELAY=40\n0-7=a.kxs\n");
  std::thread a([&] { d.RunStart("RoDizRun.cfg"); });
  std::thread b([&] { d.RunStart("RoDizRun.cfg"); });
  a.join();
  b.join();
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 8); }));
  // Two starts one after the other: every line ends with one instance and
  // one run thread.
  EXPECT_EQ(d.LiveThreads(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Builds(i), 2) << i;
}

TEST_F(LineThreadsTest, PacingOfTheStartEndsOnAStopWhateverTheDelay) {
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "start cancelled" : "manager deleted");
    builds_.clear();
    builder_ = linetest::WaitingScript();
    // Cut to 60 s: 15 s between two loads.
    TagTelDrive* d = &MakeDrive("VIR_LINES_NUM=4\nLOAD_DELAY=2147483647\n0-3=a.kxs\n");
    EXPECT_NE(Log().find("LOAD_DELAY 2147483647 is too long: 60000 used"), std::string::npos);
    std::atomic<bool> started{false}, stopped{false};
    std::thread main([&] {
      d->RunStart("RoDizRun.cfg");
      started = true;
    });
    ASSERT_TRUE(WaitFor([&] { return d->LoadedLines() >= 1; }));
    std::thread stopper([&] {
      if (cancel)
        d->CancelStart();
      else
        drive_.reset();
      stopped = true;
    });
    // Generous next to the short steps of the wait, short next to the three
    // 15 s pauses still ahead.
    EXPECT_TRUE(WaitFor([&] { return started.load() && stopped.load(); }, 10000));
    stopper.join();
    main.join();
    EXPECT_EQ(Builds(1), 0);
    EXPECT_EQ(Builds(3), 0);
    drive_.reset();
  }
}

TEST_F(LineThreadsTest, PacingOfTheReloadEndsOnTheExit) {
  builder_ = linetest::WaitingScript();
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=3\nLOAD_DELAY=5\n0-2=a.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 3); }));
  cfg_.loadDelay = kMaxLoadDelayMs;  // 15 s between two lines' reloads
  d.StartReloadThread();
  ASSERT_TRUE(WaitFor([&] { return Builds(0) == 2; }));
  std::atomic<bool> deleted{false};
  std::thread stopper([&] {
    drive_.reset();
    deleted = true;
  });
  EXPECT_TRUE(WaitFor([&] { return deleted.load(); }, 10000));
  stopper.join();
  EXPECT_EQ(Builds(2), 1) << "the reload ended before the last line";
}

// A card whose lines are made until the exit is asked for at the given line.
class ExitAtLineCard : public linetest::FakePhysicalCard {
 public:
  ExitAtLineCard(int ports, int exitAt) : FakePhysicalCard(std::vector<uint8_t>(ports, kLineAEx)), exitAt_(exitAt) {}
  TagTelLine* MakeLine(int index, int lineNumber) override {
    if (index == exitAt_) exitRequested = true;
    return FakePhysicalCard::MakeLine(index, lineNumber);
  }

 private:
  int exitAt_;
};

TEST_F(LineThreadsTest, AnExitRequestEndsTheMakingOfLinesAndTheStart) {
  struct Lower {
    ~Lower() { exitRequested = false; }
  } lower;
  physicalCard_ = [] { return std::make_unique<ExitAtLineCard>(10, 3); };
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=2147483647\nLOAD_DELAY=5\n0-9=a.kxs\n");
  EXPECT_NE(Log().find("VIR_LINES_NUM 2147483647 is too many: 5120 used"), std::string::npos);
  // Lines 0-3 made (the request came while line 3 was made), no virtual line.
  EXPECT_EQ(d.telCount, 4);
  EXPECT_EQ(d.pPhyCard->telCount, 4);
  EXPECT_EQ(d.pVirCard->telCount, 0);
  EXPECT_NE(Log().find("Init Lines: exit requested, 4 lines made"), std::string::npos) << Log();
  EXPECT_EQ(d.RunStart("RoDizRun.cfg"), -1);
  EXPECT_EQ(Builds(0), 0);
  EXPECT_EQ(Boxes(), "");
}

TEST_F(LineThreadsTest, VirtualLinesOfAHandFilledRecordAreBounded) {
  // Twice the bound, not the int range: a manager without the bound would
  // fill the memory.
  cfg_.virLinesNum = 2 * static_cast<int>(kMaxLineListEntries);
  TagTelDrive& d = MakeDrive("LOAD_DELAY=5\n");
  EXPECT_EQ(d.telCount, static_cast<int>(kMaxLineListEntries));
  EXPECT_EQ(d.pVirCard->telCount, static_cast<int>(kMaxLineListEntries));
}

TEST_F(LineThreadsTest, LongLinesOfTheConfigurationStartTheirLines) {
  builder_ = linetest::WaitingScript();
  // A list with aligning blanks and a long remark (over 600 bytes), a line
  // past the limit (logged, its tail no line of its own), then one more list.
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=4\nLOAD_DELAY=5\n0, 1," + std::string(300, ' ') + "2 = a.kxs  // " +
                             std::string(600, 'r') + "\n// " + std::string(kMaxCfgLineBytes, 'x') +
                             "3=tail.kxs\n3=b.kxs\n");
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(WaitFor([&] { return AllRunning(d, 4); })) << Log();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(BuiltScript(i), "a.kxs") << i;
  EXPECT_EQ(BuiltScript(3), "b.kxs");
  EXPECT_NE(Log().find("RoDizRun.cfg line 4 is longer than 65536 bytes: its lines do not start"), std::string::npos)
      << Log();
}

}  // namespace
