// The main window on Qt's offscreen platform, over the test double of the
// line manager.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QTimer>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "host/app.h"
#include "platform/msgbox.h"

#include "host/gui/mainwindow.h"
#include "core/log.h"
#include "platform/instance.h"
#include "platform/text.h"
#include "tests/host/fake_line_manager.h"
#include "tests/support/tempdir.h"

namespace {

// One application for the whole program, deleted at its end so Qt's font
// caches are released.
class AppEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    // Whichever test file made it.
    delete QCoreApplication::instance();
    app = nullptr;
  }
  static inline QApplication* app = nullptr;
};
const auto* const kAppEnv = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

QApplication* App() {
  static int argc = 1;
  static char name[] = "test_gui";
  static char* argv[] = {name, nullptr};
  if (!AppEnvironment::app) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Other window tests of this program may have made it already.
    auto* made = qobject_cast<QApplication*>(QCoreApplication::instance());
    AppEnvironment::app = made ? made : new QApplication(argc, argv);
  }
  return AppEnvironment::app;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ::setenv("RODIZ_KOBJ_SUFFIX", ("guitest" + std::to_string(::getpid()) + "_" + std::to_string(++counter_)).c_str(), 1);
    saved_ = runCfg;
    runCfg = TagRunCfg();
    runCfg.isWriteLog = 2;
    runCfg.dispDelay = 100;
    SetLogWriter(std::make_shared<TagWriteLog>("msg_log.txt", 1 << 20, true, true));
    rec_ = testsupport::MakeFakeRecord(6);
    testsupport::RegisterFakeLines(rec_);
  }
  void TearDown() override {
    if (form_ && !form_->System().Closed()) form_->System().CloseRequested();
    form_.reset();
    SetLineManagerFactory(nullptr);
    SetLogWriter(nullptr);
    runCfg = saved_;
  }
  TForm1& Start() {
    form_ = std::make_unique<TForm1>();
    form_->StartUp();
    return *form_;
  }
  // Runs the application's loop, as the program does after StartUp, with
  // inLoop called from inside it; returns the loop's exit code, -1 when
  // nothing ended it within a generous time. The closing window asks the
  // application to quit: outside its loop that request stays pending on the
  // thread, and every later modal window of the process closes at once.
  static int RunUntilQuit(const std::function<void()>& inLoop) {
    QApplication::setQuitOnLastWindowClosed(false);  // as the program: only the window's exit ends it
    QTimer::singleShot(0, inLoop);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(60000);
    return QCoreApplication::exec();
  }
  bool WaitRunning() {
    for (int i = 0; i < 500 && isCloseing.load(); ++i) plat::SleepMs(10);
    return !isCloseing.load();
  }
  // Ticks until the grid shows every change.
  void Settle() {
    for (int i = 0; i < 20; ++i) {
      form_->OnTick();
      QCoreApplication::processEvents();
    }
    while (form_->System().RefreshGrid()) {
    }
  }
  QString Text(int line, int cell) {
    auto l = form_->System().Monitor()->Layout();
    auto* item = form_->Grid()->item(l.RowOf(line) - 1, l.ColumnOf(line, cell));
    return item ? item->text() : QString();
  }
  QColor Background(int line, int cell) {
    auto l = form_->System().Monitor()->Layout();
    QTableWidget* g = form_->Grid();
    g->clearSelection();
    g->setCurrentItem(nullptr);
    QRect r = g->visualRect(g->model()->index(l.RowOf(line) - 1, l.ColumnOf(line, cell)));
    QImage img = g->viewport()->grab().toImage();
    return img.pixelColor(r.right() - 3, r.center().y());
  }

  static inline int counter_ = 0;
  testsupport::TempDir dir_;
  testsupport::ScopedCwd cwd_{dir_.path()};
  TagRunCfg saved_;
  std::shared_ptr<testsupport::FakeRecord> rec_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(WindowTest, CaptionsInBothLanguages) {
  struct Case {
    int language;
    const char* formTitle;
    const char* title;
    std::vector<std::pair<const char*, const char*>> items;
  } cases[] = {
      {0, "", "Tarnwick语音平台",
       {{"FileMenu", "文件(&F)"}, {"Exit", "退出(&X)"}, {"Reset", "复位(&R)"}, {"DebugStep", "单步"},
        {"PopOpen", "打开(&O)"}, {"PopHideStatus", "隐藏状态区(&A)"}, {"PopOpenDebug", "Open Debug ..."},
        {"DebugBreak", "设置(取消)断点"}}},
      {1, "", "Corvane CTI Server",
       {{"FileMenu", "&File"}, {"OpenCfg", "&Configure"}, {"ViewLog", "View&Log"}, {"Exit", "E&xit"},
        {"OperMenu", "&Operation"}, {"PopOpen", "&Open"}, {"Reset", "&Reset"}, {"Reload", "Re&load"},
        {"HideStatus", "HideStatus&Area"}, {"PopHideStatus", "HideStatus&Area"}, {"DebugMenu", "&Debug"},
        {"DebugOpen", "Open Page..."}, {"DebugClosePage", "Close Page"}, {"DebugCloseAll", "Close All"},
        {"DebugStep", "Step"}, {"DebugRun", "Run"}, {"DebugFlush", "Flush"}, {"DebugCallStack", "Call Stack..."},
        {"HelpMenu", "&Help"}, {"PopHangup", "Hangup"}, {"DebugBreak", "设置(取消)断点"}, {"About", "About..."}}},
      {1, "Line Room 3", "Line Room 3", {}},
  };
  for (auto& c : cases) {
    runCfg.languageType = static_cast<uint8_t>(c.language);
    runCfg.formTitle = c.formTitle;
    TForm1 f;
    f.SetCaptions(c.language);
    EXPECT_EQ(f.windowTitle().toStdString(), c.title);
    for (auto& [name, text] : c.items) {
      ASSERT_NE(f.Action(name), nullptr) << name;
      EXPECT_EQ(f.Action(name)->text().toStdString(), text) << name;
    }
  }
}

TEST_F(WindowTest, MenuStatesAndShortcuts) {
  for (int sente : {0, 1, 2}) {
    runCfg.isDispSente = sente;
    TForm1 f;
    f.SetCaptions(0);
    EXPECT_FALSE(f.Action("Reset")->isEnabled());
    EXPECT_FALSE(f.Action("PopReset")->isEnabled());
    EXPECT_TRUE(f.Action("Reload")->isEnabled());
    EXPECT_EQ(f.Action("DebugMenu")->isEnabled(), sente == 1) << sente;
    EXPECT_EQ(f.Action("PopOpenDebug")->isEnabled(), sente == 1) << sente;
  }
  TForm1 f;
  std::pair<const char*, Qt::Key> keys[] = {{"DebugClosePage", Qt::Key_F2}, {"DebugStep", Qt::Key_F8},
                                            {"DebugRun", Qt::Key_F9},       {"DebugFlush", Qt::Key_F5},
                                            {"DebugCallStack", Qt::Key_F4}, {"DebugBreak", Qt::Key_F6}};
  for (auto& [name, key] : keys) EXPECT_EQ(f.Action(name)->shortcut(), QKeySequence(key)) << name;
}

TEST_F(WindowTest, HideStatusAreaTogglesItsCaption) {
  runCfg.languageType = 1;
  TForm1& f = Start();
  f.show();
  f.ToggleStatusArea();
  EXPECT_FALSE(f.StatusAreaShown());
  EXPECT_EQ(f.Action("PopHideStatus")->text(), "DispStatus&Area");
  f.ToggleStatusArea();
  EXPECT_EQ(f.Action("PopHideStatus")->text(), "HideStatus&Area");
}

TEST_F(WindowTest, GridShowsCellTextsInTheLineColours) {
  runCfg.languageType = 1;
  runCfg.colGroupNum = 2;
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  rec_->Edit(3, [](auto& l) { l.connected = true; });
  Settle();
  EXPECT_EQ(f.Grid()->columnCount(), 16);
  EXPECT_EQ(f.Grid()->rowCount(), 3);
  EXPECT_EQ(f.Grid()->horizontalHeaderItem(8)->text(), "Line");
  EXPECT_EQ(Text(0, kCellLine), "0 : VirtualLine0#");
  EXPECT_EQ(Text(5, kCellScript), "scripts/a.kxs");
  EXPECT_EQ(Text(3, kCellState), "Conn");
  EXPECT_EQ(Background(0, kCellLine), QColor(255, 255, 255)) << "running: black on white";
  EXPECT_EQ(Background(3, kCellLine), QColor(255, 255, 0)) << "connected: blue on yellow";
  DispLineState(4, "End");
  SetDispColor(4, 0, 9);
  DispInfo(4, 0, "queue 7");
  Settle();
  EXPECT_EQ(Background(4, kCellState), QColor(255, 0, 128));
  EXPECT_EQ(Background(4, kCellUser0), QColor(166, 202, 240));
  EXPECT_EQ(Text(4, kCellUser0), "queue 7");
}

TEST_F(WindowTest, TrayGoesToAlarmWhenAScriptEnds) {
  for (int language : {0, 1}) {
    runCfg.languageType = static_cast<uint8_t>(language);
    TForm1& f = Start();
    ASSERT_TRUE(WaitRunning());
    Settle();
    EXPECT_FALSE(f.TrayAlarm());
    DispLineState(2, GBK("已停止"));
    Settle();
    EXPECT_TRUE(f.TrayAlarm());
    EXPECT_EQ(f.TrayTip().toStdString(), language == 1 ? "Err: Lines Block or Quit!" : "注意: 脚本退出或线路堵塞");
    DispLineState(2, GBK("运行"));
    Settle();
    EXPECT_FALSE(f.TrayAlarm());
    EXPECT_EQ(f.TrayTip().toStdString(), language == 1 ? "Corvane CTI Server" : "Tarnwick语音平台");
    f.System().CloseRequested();
    form_.reset();
  }
}

TEST_F(WindowTest, OperatorKeysGoThroughTheMonitor) {
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  Settle();
  auto monitor = f.System().Monitor();
  monitor->SetKeys(1, "12");
  Settle();
  auto l = monitor->Layout();
  QModelIndex keys = f.Grid()->model()->index(l.RowOf(1) - 1, l.ColumnOf(1, kCellKeys));
  QModelIndex name = f.Grid()->model()->index(l.RowOf(1) - 1, l.ColumnOf(1, kCellLine));
  EXPECT_TRUE(f.Grid()->model()->flags(keys) & Qt::ItemIsEditable);
  EXPECT_FALSE(f.Grid()->model()->flags(name) & Qt::ItemIsEditable);
  auto* delegate = f.Grid()->itemDelegate();
  QStyleOptionViewItem opt;
  QWidget* editor = delegate->createEditor(f.Grid()->viewport(), opt, keys);
  ASSERT_NE(editor, nullptr);
  delegate->setEditorData(editor, keys);
  auto* edit = qobject_cast<QLineEdit*>(editor);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->text(), "12");
  // The line takes a key while the operator types two more.
  EXPECT_EQ(monitor->TakeKeys(1, 1), "1");
  edit->setText("1234");
  delegate->setModelData(editor, f.Grid()->model(), keys);
  EXPECT_EQ(monitor->GetKeys(1), "234");
  Settle();
  EXPECT_EQ(Text(1, kCellKeys), "234");
  delete editor;
  EXPECT_EQ(delegate->createEditor(f.Grid()->viewport(), opt, name), nullptr);
}

TEST_F(WindowTest, CloseHidesWhileRunningAndShowEventBringsItBack) {
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  f.close();
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(f.System().Closed());
  plat::NamedEvent show;
  ASSERT_TRUE(show.Open("RoDiz Show"));
  show.Set();
  f.OnTick();
  EXPECT_TRUE(f.isVisible());
}

TEST_F(WindowTest, LayoutIsRestoredAndSavedOnExit) {
  testsupport::WriteFile(dir_ / "FormPos.dat",
                         "GridWid0 = 90\nGridWid1 = 91\nGridWid2 = 92\nGridWid3 = 93\nGridWid4 = 94\nGridWid5 = 95\n"
                         "GridWid6 = 96\nGridWid7 = 97\nWinHeight = 500\nWinWidth = 900\nWinX = 40\nWinY = 30\n");
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  TagWinLayout l = f.CurrentLayout();
  EXPECT_EQ(l.width, 900);
  EXPECT_EQ(l.height, 500);
  EXPECT_EQ(l.widths, (std::array<int, 8>{90, 91, 92, 93, 94, 95, 96, 97}));
  f.Grid()->setColumnWidth(4, 150);
  f.resize(1000, 520);
  l = f.CurrentLayout();
  EXPECT_EQ(RunUntilQuit([&f] { f.WMKxSysQuit(); }), 0);
  EXPECT_TRUE(f.System().Closed());
  std::string saved = testsupport::ReadFile(dir_ / "FormPos.dat");
  EXPECT_NE(saved.find("GridWid4 = 150\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("WinWidth = 1000\nWinX = " + std::to_string(l.x) + "\nWinY = " + std::to_string(l.y) + "\n"),
            std::string::npos)
      << saved;
}

TEST_F(WindowTest, DefaultLayoutKeepsItsNarrowColumns) {
  // Without a saved position, several groups share the screen: the narrow
  // columns must come out (and be saved) as laid out, not widened.
  struct Case {
    int dispSente;
    std::array<int, 5> narrow;
  };
  for (const Case& c : {Case{0, {16, 10, 10, 10, 1}}, Case{1, {16, 10, 10, 10, 20}}}) {
    SCOPED_TRACE(c.dispSente);
    std::filesystem::remove(dir_ / "FormPos.dat");
    runCfg.colGroupNum = 4;
    runCfg.isDispSente = c.dispSente;
    TForm1& f = Start();
    ASSERT_TRUE(WaitRunning());
    TagWinLayout l = f.CurrentLayout();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(l.widths[static_cast<size_t>(i)], c.narrow[static_cast<size_t>(i)]) << i;
    // Every group's columns alike.
    EXPECT_EQ(f.Grid()->columnWidth(kCellCount * 3), c.narrow[0]);
    EXPECT_EQ(RunUntilQuit([&f] { f.WMKxSysQuit(); }), 0);
    ASSERT_TRUE(f.System().Closed());
    const std::string saved = testsupport::ReadFile(dir_ / "FormPos.dat");
    EXPECT_NE(saved.find("GridWid0 = 16\nGridWid1 = 10\nGridWid2 = 10\nGridWid3 = 10\nGridWid4 = " +
                         std::to_string(c.narrow[4]) + "\n"),
              std::string::npos)
        << saved;
    form_.reset();
  }
}

TEST_F(WindowTest, HangupAndOpenDebugFollowTheSelection) {
  runCfg.isDispSente = 1;
  rec_->Edit(2, [](auto& l) { l.hasScript = false; });
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  Settle();
  struct Case {
    int row, column;
    bool debug;
    const char* hangup;
  } cases[] = {{0, 0, true, "Hangup 0"}, {2, 3, false, "Hangup 2"}, {5, 4, true, "Hangup 5"}};
  for (auto& c : cases) {
    f.Grid()->setCurrentCell(c.row, c.column);
    f.PreparePopup();
    EXPECT_EQ(f.Action("PopOpenDebug")->isEnabled(), c.debug) << c.row;
    f.HangupSelected();
    EXPECT_EQ(rec_->Events().back(), c.hangup);
  }
  // Closing (or still starting): both commands are refused.
  isCloseing.store(true);
  size_t before = rec_->Events().size();
  f.Grid()->setCurrentCell(0, 0);
  f.PreparePopup();
  EXPECT_FALSE(f.Action("PopOpenDebug")->isEnabled());
  f.HangupSelected();
  EXPECT_EQ(rec_->Events().size(), before);
  isCloseing.store(false);
}

TEST_F(WindowTest, ScreenshotOfTheWindow) {
  TForm1& f = Start();
  f.show();
  ASSERT_TRUE(WaitRunning());
  Settle();
  QString path = QString::fromStdString(dir_ / "shot/main.png");
  ASSERT_TRUE(f.SaveScreenshot(path));
  QImage img(path);
  EXPECT_EQ(img.width(), f.width());
  EXPECT_GT(img.height(), 100);
}

}  // namespace

namespace {

TEST_F(WindowTest, ExitFromAScriptThreadQuitsThroughTheWindow) {
  TForm1& f = Start();
  ASSERT_TRUE(WaitRunning());
  std::thread script([] { Exit(); });
  script.join();
  EXPECT_FALSE(f.System().Closed()) << "the request is queued, not run on the script's thread";
  EXPECT_EQ(RunUntilQuit([] {}), 0) << "the queued request closes the window, which ends the application";
  EXPECT_TRUE(f.System().Closed());
  std::string raw = testsupport::ReadFile(dir_ / "RawLog.txt");
  size_t a = raw.find("[Exit()!]"), b = raw.find("[WMKxSysQuit()!]"), c = raw.find("[isCloseing = true;]");
  ASSERT_NE(c, std::string::npos) << raw;
  EXPECT_TRUE(a < b && b < c);
}

TEST_F(WindowTest, BoxFromAnotherThreadGivesUpWhenCancelled) {
  App();
  std::atomic<bool> stop{false};
  int result = 0;
  std::thread line([&] {
    result = GuiMessageBox("Corvane System", "text", plat::kBoxYesNo, [&] { return stop.load(); });
  });
  plat::SleepMs(100);
  stop = true;
  line.join();
  EXPECT_EQ(result, plat::kIdCancel);
  // The abandoned box must not pop up later on the GUI thread.
  QCoreApplication::processEvents();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace

namespace {

TEST_F(WindowTest, ShowFormFlagAndShellCommands) {
  std::string record = dir_ / "shell.txt";
  ::setenv("RODIZ_SHELL_RECORD", record.c_str(), 1);
  runCfg.isShowForm = 0;
  TForm1& f = Start();
  EXPECT_FALSE(f.isVisible()) << "IS_SHOW_FORM 0 starts in the notification area only";
  f.OpenConfig();
  f.ViewLog();
  ::unsetenv("RODIZ_SHELL_RECORD");
  EXPECT_EQ(testsupport::ReadFile(record), "RoDizRun.cfg\nmsg_log.txt\n");
  // A hidden window still ends through its close handler.
  ASSERT_TRUE(WaitRunning());
  EXPECT_EQ(RunUntilQuit([&f] { f.WMKxSysQuit(); }), 0);
  EXPECT_NE(testsupport::ReadFile(dir_ / "RawLog.txt").find("[Action = caFree;]"), std::string::npos);
}

}  // namespace
