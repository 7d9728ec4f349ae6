// The system start, display tick, exit, reset and reload, driven through a
// recording view and the test double of the line manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>

#include "core/log.h"
#include "host/system.h"
#include "platform/instance.h"
#include "platform/text.h"
#include "tests/host/fake_line_manager.h"
#include "tests/support/tempdir.h"

namespace {

using testsupport::FakeRecord;

class RecordingView : public TagSystemView {
 public:
  TagSystem* system = nullptr;
  std::vector<std::string> calls;
  std::string info, linePanel, count, time, conn;
  TagGridLayout layout;
  std::array<std::string, kCellCount> headers;
  std::map<std::pair<int, int>, std::string> grid;  // (row, column)
  int trayChanges = 0;
  bool trayNormal = true;
  int quits = 0, shows = 0, interval = 1000;
  std::string At(int row, int column) { return grid[{row, column}]; }

  void SetInfoPanel(const std::string& t) override { info = t; }
  void SetLinePanel(const std::string& t) override { linePanel = t; }
  void SetCountPanel(const std::string& t) override { count = t; }
  void SetTimePanel(const std::string& t) override { time = t; }
  void SetConnPanel(const std::string& t) override { conn = t; }
  void BindGrid(const TagGridLayout& l, const std::array<std::string, kCellCount>& h) override {
    layout = l;
    headers = h;
  }
  TagGridRange VisibleRange() const override { return {}; }
  void PaintCells(const std::vector<TagCellUpdate>& cells) override {
    for (auto& c : cells) grid[{c.row, c.column}] = c.text;
  }
  void SetTrayState(bool normal) override {
    ++trayChanges;
    trayNormal = normal;
  }
  void ShowMainWindow() override { ++shows; }
  void PostQuit() override { ++quits; }
  void SetTickInterval(int ms) override { interval = ms; }
  void CloseDebugPages() override { calls.push_back("CloseDebugPages"); }
  void RemoveTrayIcon() override { calls.push_back("RemoveTrayIcon"); }
  void SaveLayout() override { calls.push_back("SaveLayout"); }
  void CloseWindow() override {
    calls.push_back("CloseWindow");
    if (system && system->CloseRequested()) calls.push_back("Freed");
  }
};

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    suffix_ = "systest" + std::to_string(::getpid()) + "_" + std::to_string(++counter_);
    ::setenv("RODIZ_KOBJ_SUFFIX", suffix_.c_str(), 1);
    saved_ = runCfg;
    runCfg = TagRunCfg();
    runCfg.isWriteLog = 2;
    runCfg.monitorMaxConn = 0;
    runCfg.dispDelay = 250;
    SetLogWriter(std::make_shared<TagWriteLog>("msg_log.txt", 1 << 20, true, true));
    rec_ = testsupport::MakeFakeRecord(4);
    testsupport::RegisterFakeLines(rec_);
    view_.system = &system_;
  }
  void TearDown() override {
    if (!system_.Closed()) system_.CloseRequested();
    SetLineManagerFactory(nullptr);
    SetLogWriter(nullptr);
    runCfg = saved_;
    ::unsetenv("RODIZ_KOBJ_SUFFIX");
  }
  std::string Raw() const { return testsupport::ReadFile(dir_ / "RawLog.txt"); }
  // Raw trace texts in file order.
  std::vector<std::string> RawTexts() const {
    std::vector<std::string> out;
    std::string all = Raw();
    size_t p = 0;
    while ((p = all.find('[', p)) != std::string::npos) {
      size_t e = all.find("]\n", p);
      if (e == std::string::npos) break;
      out.push_back(all.substr(p + 1, e - p - 1));
      p = e + 2;
    }
    return out;
  }
  bool WaitRunning() {
    for (int i = 0; i < 500 && isCloseing.load(); ++i) plat::SleepMs(10);
    return !isCloseing.load();
  }
  std::string Cell(int line, int cell) { return system_.Monitor()->GetCellText(line, cell); }

  static inline int counter_ = 0;
  std::string suffix_;
  testsupport::TempDir dir_;
  testsupport::ScopedCwd cwd_{dir_.path()};
  TagRunCfg saved_;
  std::shared_ptr<FakeRecord> rec_;
  RecordingView view_;
  TagSystem system_{&view_};
};

TEST(SystemTexts, PanelsInBothLanguages) {
  EXPECT_EQ(TagSystem::CensusText(1, 7, 1, 2, 3, 1), "Lines:7: Ex:1, In:2, Vir:3, Ip:1");
  EXPECT_EQ(plat::GbkToUtf8(TagSystem::CensusText(0, 7, 1, 2, 3, 1)), "总线数:7: 外:1, 内:2, 虚:3, Ip:1");
  EXPECT_EQ(TagSystem::InitFailedText(1, -100), "Initialize failed. return : -100");
  EXPECT_EQ(plat::GbkToUtf8(TagSystem::InitFailedText(0, -100)), "初始化系统失败: 返回值=-100");
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 3;
  t.tm_sec = 9;
  EXPECT_EQ(TagSystem::StartTimeText(t), "2026-1-5 07:03:09");
  EXPECT_EQ(TagSystem::ClockText(t), "07:03:09");
}

TEST(SystemTexts, CountTextSplitsConnectedAndIdleByType) {
  auto rec = std::make_shared<FakeRecord>();
  // External connected, external idle, internal connected, virtual connected,
  // VoIP idle, recording line connected (counted nowhere), one waiting reload.
  for (auto [type, conn] : std::vector<std::pair<int, bool>>{{1, true}, {4, false}, {2, true}, {0, true}, {6, false}, {3, true}}) {
    testsupport::FakeLine f;
    f.type = type;
    f.connected = conn;
    rec->lines.push_back(f);
  }
  testsupport::FakeLineManager m(rec);
  EXPECT_EQ(TagSystem::CountText(1, m), "Connected:3.2: Ex:1.1, In:1, Vir:1, Ip:0.1");
  EXPECT_EQ(plat::GbkToUtf8(TagSystem::CountText(0, m)), "连通数:3.2: 外:1.1, 内:1, 虚:1, Ip:0.1");
  rec->Edit(0, [](auto& f) { f.reloadPending = true; });
  EXPECT_EQ(TagSystem::CountText(1, m), "Connected:3.2: Ex:1.1, In:1, Vir:1, Ip:0.1 Waiting Reload Num:1");
}

TEST_F(SystemTest, WithoutALineManagerTheStartFailsAndThePlatformStaysUp) {
  SetLineManagerFactory(nullptr);
  runCfg.languageType = 1;
  system_.InitSystem();
  EXPECT_EQ(view_.info, "Initialize failed. return : -100");
  EXPECT_EQ(system_.Monitor(), nullptr);
  EXPECT_EQ(system_.RemoteCtrl(), nullptr);
  EXPECT_EQ(view_.interval, 1000) << "the tick keeps its first interval";
  EXPECT_TRUE(isCloseing.load());
  // The tick only shows the clock; the exit command and the reload do nothing.
  EXPECT_FALSE(system_.Tick());
  EXPECT_FALSE(view_.time.empty());
  EXPECT_TRUE(view_.count.empty());
  system_.Reload();
  system_.ExitSequence();
  EXPECT_TRUE(view_.calls.empty());
  EXPECT_FALSE(system_.Closed());
  // The close box ends the process, after the clean-up.
  system_.Terminate();
  EXPECT_EQ(view_.calls.back(), "Freed");
  EXPECT_TRUE(system_.Closed());
  EXPECT_EQ(GetLogWriter(), nullptr);
  EXPECT_NE(Raw().find("Action = caFree;"), std::string::npos);
}

TEST_F(SystemTest, AFailingLineManagerIsDeletedAndReported) {
  rec_->status = -100;
  system_.InitSystem();
  EXPECT_EQ(plat::GbkToUtf8(view_.info), "初始化系统失败: 返回值=-100");
  EXPECT_EQ(system_.LineManager(), nullptr);
  EXPECT_EQ(rec_->Events(), std::vector<std::string>{"Deleted"});
}

TEST_F(SystemTest, StartShowsEveryLineAndRunsTheMainRunThread) {
  runCfg.languageType = 1;
  runCfg.colGroupNum = 2;
  rec_->Edit(1, [](auto& f) { f.initRet = -3; });
  rec_->Edit(2, [](auto& f) { f.hasScript = false; });
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning()) << "the start of all lines lowers the closing flag";
  EXPECT_EQ(view_.interval, 250);
  EXPECT_EQ(view_.linePanel, "Lines:4: Ex:0, In:0, Vir:4, Ip:0");
  EXPECT_EQ(view_.layout.groups, 2);
  EXPECT_EQ(view_.layout.Rows(), 3);
  EXPECT_EQ(view_.headers[0], "Line");
  EXPECT_EQ(Cell(0, kCellLine), "0 : VirtualLine0#");
  EXPECT_EQ(Cell(0, kCellScript), "scripts/a.kxs");
  EXPECT_EQ(Cell(0, kCellState), "Running");
  EXPECT_EQ(Cell(1, kCellState), "Initialize failed.");
  EXPECT_EQ(Cell(2, kCellState), "Unset");
  EXPECT_EQ(Cell(2, kCellScript), "");
  auto ev = rec_->Events();
  EXPECT_NE(std::find(ev.begin(), ev.end(), "RunStart RoDizRun.cfg"), ev.end());
  EXPECT_NE(Raw().find("Create : MainRunThread.."), std::string::npos);
  std::string log = testsupport::ReadFile(dir_ / "msg_log.txt");
  size_t a = log.find("[TagMonitor()...]"), b = log.find("[TagMonitor() OK.]"), c = log.find("[TagRemoteCtrl().]"),
         d = log.find("[DispMonitor().]");
  ASSERT_NE(d, std::string::npos) << log;
  EXPECT_TRUE(a < b && b < c && c < d);
}

TEST_F(SystemTest, TickPaintsChangesCountsAndRaisesTheAlarmForStoppedLines) {
  runCfg.languageType = 1;
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  system_.Tick();
  EXPECT_EQ(view_.At(1, kCellLine), "0 : VirtualLine0#");
  EXPECT_EQ(view_.At(4, kCellState), "Running");
  EXPECT_EQ(view_.count, "Connected:0.0: Ex:0.0, In:0, Vir:0, Ip:0.0");
  EXPECT_EQ(view_.trayChanges, 0);
  // A script ends: the alarm comes on, and goes off when the line runs again.
  DispLineState(3, "End");
  system_.Tick();
  EXPECT_EQ(view_.trayChanges, 1);
  EXPECT_FALSE(view_.trayNormal);
  EXPECT_EQ(view_.At(4, kCellState), "End");
  system_.Tick();
  EXPECT_EQ(view_.trayChanges, 1) << "the icon changes only when the count does";
  DispLineState(3, "Running");
  system_.Tick();
  EXPECT_TRUE(view_.trayNormal);
}

TEST_F(SystemTest, TickShowsConnectedCallsWithTheirTalkTime) {
  runCfg.languageType = 1;
  runCfg.isDispTalkTime = 1;
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  rec_->Edit(2, [](auto& f) {
    f.connected = true;
    f.elapsed = 65;
  });
  system_.Tick();
  EXPECT_EQ(Cell(2, kCellState), "Conn 1:05");
  EXPECT_EQ(system_.Monitor()->IsConnected(2), 1);
  EXPECT_EQ(system_.Monitor()->CellColors(2, kCellLine), std::make_pair(1, 14)) << "blue on yellow";
  rec_->Edit(2, [](auto& f) { f.elapsed = 130; });
  system_.Tick();
  EXPECT_EQ(Cell(2, kCellState), "Conn 2:10");
  EXPECT_EQ(view_.count, "Connected:1.0: Ex:0.0, In:0, Vir:1, Ip:0.0");
  rec_->Edit(2, [](auto& f) { f.connected = false; });
  system_.Tick();
  EXPECT_EQ(Cell(2, kCellState), "Running");
  EXPECT_EQ(system_.Monitor()->IsConnected(2), 0);
}

TEST_F(SystemTest, ABlockedTrunkIsMarkedOnTheFirstChannelOfEachLink) {
  runCfg.languageType = 1;
  rec_ = testsupport::MakeFakeRecord(31, 4);
  testsupport::RegisterFakeLines(rec_);
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  rec_->Edit(0, [](auto& f) { f.block = 1; });
  rec_->Edit(1, [](auto& f) { f.block = 1; });
  system_.Tick();
  EXPECT_EQ(Cell(0, kCellState), "Blocked");
  EXPECT_EQ(system_.Monitor()->CellColors(0, kCellLine), std::make_pair(14, 4));
  EXPECT_EQ(Cell(1, kCellState), "Running") << "only channel 0 of a link shows the block";
  EXPECT_FALSE(view_.trayNormal);
  rec_->Edit(0, [](auto& f) { f.block = 0; });
  system_.Tick();
  EXPECT_EQ(Cell(0, kCellState), "Running");
  EXPECT_TRUE(view_.trayNormal);
}

TEST_F(SystemTest, QuitEventIsServedOnlyOnceTheLinesRun) {
  rec_->lowerFlag = false;
  system_.CreateEvents();
  system_.InitSystem();
  plat::NamedEvent quit;
  ASSERT_TRUE(quit.Open("RoDiz Quit"));
  quit.Set();
  system_.Tick();
  EXPECT_EQ(view_.quits, 0) << "the event waits while the system is starting";
  ClearCloseing();
  system_.Tick();
  EXPECT_EQ(view_.quits, 1);
  EXPECT_NE(Raw().find("HasQuitEvent!"), std::string::npos);
  system_.Tick();
  EXPECT_EQ(view_.quits, 1) << "the event was reset";
  plat::NamedEvent show;
  ASSERT_TRUE(show.Open("RoDiz Show"));
  isCloseing.store(true);
  show.Set();
  system_.Tick();
  EXPECT_EQ(view_.shows, 1) << "the show event is served even while closing";
}

TEST_F(SystemTest, ExitSequenceRunsInOrderOnce) {
  system_.CreateEvents();
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  system_.ExitSequence();
  EXPECT_EQ(view_.calls, (std::vector<std::string>{"CloseDebugPages", "RemoveTrayIcon", "SaveLayout", "CloseWindow", "Freed"}));
  EXPECT_TRUE(system_.Closed());
  EXPECT_EQ(GetMonitor(), nullptr);
  EXPECT_EQ(GetLogWriter(), nullptr);
  EXPECT_EQ(rec_->Events().back(), "Deleted");
  std::vector<std::string> want = {"isCloseing = true;", "delete pCtrlPages...", "ModifyTrayIcon()...", "SavePost()...",
                                   "delete pTelDrive;", "delete pRemoteCtrl;", "delete pMonitor;", "delete _logFp ...",
                                   "Close Ok.", "Action = caFree;"};
  std::vector<std::string> raw = RawTexts();
  size_t at = 0;
  for (auto& w : want) {
    auto it = std::find(raw.begin() + static_cast<long>(at), raw.end(), w);
    ASSERT_NE(it, raw.end()) << "missing or out of order: " << w;
    at = static_cast<size_t>(it - raw.begin());
  }
  // A second quit during or after it does nothing, and the flag stays up.
  system_.ExitSequence();
  ClearCloseing();
  EXPECT_TRUE(isCloseing.load());
  EXPECT_EQ(view_.calls.size(), 5u);
  std::string log = testsupport::ReadFile(dir_ / "msg_log.txt");
  EXPECT_NE(log.find("System Closed."), std::string::npos);
}

TEST_F(SystemTest, ALineThreadOutlivingTheExitKeepsItsMonitorAndLog) {
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  std::atomic<int> phase{0};
  std::thread line([&] {
    DispLineState(1, "Running");  // takes this thread's hold on the monitor
    auto log = GetLogWriter();
    phase = 1;
    while (phase.load() != 2) plat::SleepMs(5);
    // Still running after the exit: its monitor and log stay valid, and the
    // notifications reach nobody.
    for (int i = 0; i < 100; ++i) {
      DispLineState(1, "End");
      DispInfo(1, 0, "late");
      LogAlways("late line");
      if (log) log->Write("late line");
    }
  });
  while (phase.load() != 1) plat::SleepMs(5);
  system_.ExitSequence();
  EXPECT_EQ(GetMonitor(), nullptr);
  phase = 2;
  line.join();
  EXPECT_EQ(GetLogWriter(), nullptr);
}

TEST_F(SystemTest, ExitWhileLinesAreStillStartingWaitsForTheStartAndKeepsTheFlag) {
  // The start lowers the flag at its beginning and runs on; the exit must not
  // delete the manager under it, and the end of the start must not lower the
  // flag again.
  rec_->runStartMs = 20000;
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  system_.ExitSequence();
  auto ev = rec_->Events();
  auto cancelled = std::find(ev.begin(), ev.end(), "RunStart cancelled");
  auto deleted = std::find(ev.begin(), ev.end(), "Deleted");
  ASSERT_NE(cancelled, ev.end());
  EXPECT_LT(cancelled, deleted);
  EXPECT_TRUE(isCloseing.load());
}

TEST_F(SystemTest, StartEndingAfterAnExitDoesNotReopen) {
  rec_->runStartMs = 20000;
  rec_->lowerAtEnd = true;
  system_.InitSystem();
  // Still starting: closing ends the process with the full clean-up.
  ASSERT_TRUE(isCloseing.load());
  system_.Terminate();
  EXPECT_TRUE(system_.Closed());
  EXPECT_TRUE(isCloseing.load());
  auto ev = rec_->Events();
  EXPECT_NE(std::find(ev.begin(), ev.end(), "RunStart cancelled"), ev.end());
  EXPECT_EQ(ev.back(), "Deleted");
}

TEST_F(SystemTest, ResetAfterAFailedStartLeavesTheFlagRaisedAndTheTickSafe) {
  rec_->status = -100;
  system_.InitSystem();
  system_.Reset();
  EXPECT_TRUE(isCloseing.load()) << "only a start of all lines may lower it";
  EXPECT_FALSE(system_.Tick());
  EXPECT_EQ(rec_->made.load(), 2);
  // The configuration is fixed: the next reset starts the lines.
  rec_->status = 0;
  system_.Reset();
  ASSERT_TRUE(WaitRunning());
  EXPECT_NE(system_.Monitor(), nullptr);
  system_.Tick();
  EXPECT_FALSE(view_.count.empty());
}

TEST_F(SystemTest, ResetRebuildsEverything) {
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  auto oldMonitor = system_.Monitor();
  system_.Reset();
  ASSERT_TRUE(WaitRunning());
  EXPECT_NE(system_.Monitor(), oldMonitor);
  EXPECT_EQ(GetMonitor(), system_.Monitor());
  EXPECT_EQ(rec_->made.load(), 2);
  auto ev = rec_->Events();
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "Deleted"), 1);
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "RunStart RoDizRun.cfg"), 2);
}

TEST_F(SystemTest, CommandsAreRefusedWhileStartingOrClosing) {
  rec_->lowerFlag = false;
  system_.InitSystem();
  system_.Reload();
  EXPECT_FALSE(system_.Hangup(1));
  ClearCloseing();
  struct Case {
    int line;
    bool ok;
  } cases[] = {{-1, false}, {0, true}, {3, true}, {4, false}, {100, false}};
  for (auto& c : cases) EXPECT_EQ(system_.Hangup(c.line), c.ok) << c.line;
  system_.Reload();
  auto ev = rec_->Events();
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "Reload"), 1);
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "Hangup 0"), 1);
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "Hangup 3"), 1);
  EXPECT_EQ(std::count(ev.begin(), ev.end(), "Hangup 4"), 0);
}

TEST_F(SystemTest, RemoteServerGetsTheCountText) {
  runCfg.languageType = 1;
  runCfg.monitorMaxConn = 2;
  runCfg.monitorPort = 0;
  system_.InitSystem();
  ASSERT_TRUE(WaitRunning());
  ASSERT_NE(system_.RemoteCtrl(), nullptr);
  EXPECT_EQ(view_.conn, "MonitorServer Running, Conn Num: 0");
  system_.Tick();
  EXPECT_EQ(system_.RemoteCtrl()->GetStatusText(), view_.count);
}

}  // namespace
