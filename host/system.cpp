#include "host/system.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/format.h"
#include "core/log.h"
#include "host/app.h"
#include "operations/sysinfo.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "platform/socketbase.h"

namespace {

std::atomic<TagSystem*> g_system{nullptr};

std::mutex g_factoryLock;
LineManagerFactory g_factory;

std::unique_ptr<TagLineManager> MakeLineManager(const std::string& cfg, TagRunCfg* record) {
  LineManagerFactory factory;
  {
    std::lock_guard<std::mutex> l(g_factoryLock);
    factory = g_factory;
  }
  return factory ? factory(cfg, record) : nullptr;
}

using plat::Format;

std::tm LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace

void SetLineManagerFactory(LineManagerFactory factory) {
  std::lock_guard<std::mutex> l(g_factoryLock);
  g_factory = std::move(factory);
}

TagSystem* CurrentSystem() { return g_system.load(); }
void SetCurrentSystem(TagSystem* system) { g_system.store(system); }

// --- texts -----------------------------------------------------------------------

std::string TagSystem::CensusText(int language, int total, int ex, int in, int vir, int ip) {
  const std::string fmt = language == 1 ? "Lines:%d: Ex:%d, In:%d, Vir:%d, Ip:%d" : GBK("总线数:%d: 外:%d, 内:%d, 虚:%d, Ip:%d");
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt.c_str(), total, ex, in, vir, ip);
  return buf;
}

std::string TagSystem::CountText(int language, const TagLineManager& m) {
  int ex = 0, in = 0, vir = 0, ip = 0, exIdle = 0, ipIdle = 0;
  int connected = m.CountConnected(&ex, &in, &vir, &ip);
  int idle = m.CountIdle(&exIdle, &ipIdle);
  const std::string fmt = language == 1 ? "Connected:%d.%d: Ex:%d.%d, In:%d, Vir:%d, Ip:%d.%d"
                                        : GBK("连通数:%d.%d: 外:%d.%d, 内:%d, 虚:%d, Ip:%d.%d");
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt.c_str(), connected, idle, ex, exIdle, in, vir, ip, ipIdle);
  std::string text = buf;
  if (int pending = m.CountReloadPending(); pending > 0) text += Format(" Waiting Reload Num:%d", pending);
  return text;
}

std::string TagSystem::InitFailedText(int language, int status) {
  const std::string fmt = language == 1 ? "Initialize failed. return : %d" : GBK("初始化系统失败: 返回值=%d");
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt.c_str(), status);
  return buf;
}

std::string TagSystem::StartTimeText(const std::tm& t) {
  return Format("%d-%d-%d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string TagSystem::ClockText(const std::tm& t) { return Format("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec); }

// --- start -----------------------------------------------------------------------

TagSystem::TagSystem(TagSystemView* view) : view_(view) {
  // A new system starts closed until its start of all lines opens it.
  HoldCloseing(false);
  isCloseing.store(true);
  plat::SetBoxesQuiet(false);
}

TagSystem::~TagSystem() {
  if (!closed_) Teardown();
  if (CurrentSystem() == this) SetCurrentSystem(nullptr);
}

void TagSystem::CreateEvents() {
  quitEvent_.Create("RoDiz Quit");
  showEvent_.Create("RoDiz Show");
}

void TagSystem::InitSystem() {
  telDrive_ = MakeLineManager("RoDizRun.cfg", &runCfg);
  int status = telDrive_ ? telDrive_->Status() : kNoLineManager;
  language_ = runCfg.languageType;
  logLevel.store(runCfg.isWriteLog);

  if (status < 0) {
    telDrive_.reset();
    plat::SleepMs(600);
    std::string text = InitFailedText(language_, status);
    plat::MessageBox("Corvane System", text, plat::kBoxIconError);
    view_->SetInfoPanel(text);
    return;
  }
  view_->SetInfoPanel(StartTimeText(LocalNow()));
  int ex = 0, in = 0, vir = 0, ip = 0;
  int total = telDrive_->CountByType(&ex, &in, &vir, &ip);
  view_->SetLinePanel(CensusText(language_, total, ex, in, vir, ip));

  int lines = telDrive_->LineCount();
  LogAlways("TagMonitor()...");
  monitor_ = std::make_shared<TagMonitor>(lines);
  SetMonitor(monitor_);
  LogAlways("TagMonitor() OK.");
  remoteCtrl_ = std::make_unique<TagRemoteCtrl>(lines, runCfg.monitorPort, runCfg.monitorMaxConn, monitor_);
  LogAlways("TagRemoteCtrl().");
  if (remoteCtrl_->Serving()) view_->SetConnPanel(RemoteConnCountText(0, language_));
  shownConn_ = 0;

  DispMonitor();
  Log("DispMonitor().");

  TagLineManager* drive = telDrive_.get();
  InstallSysHost(drive);
  mainRun_.Start(
      [drive] {
        Log("MainRunThread()...");
        drive->RunStart("RoDizRun.cfg");
      },
      plat::Thread::kLineStack);
  tickInterval_ = runCfg.dispDelay > 0 ? runCfg.dispDelay : 500;
  view_->SetTickInterval(tickInterval_);
  RawLog("Create : MainRunThread..");
}

void TagSystem::DispMonitor() {
  if (!monitor_) return;
  bool ready = LinesReady();
  if (ready) {
    bool en = language_ == 1;
    for (int line = 0; line < telDrive_->LineCount(); ++line) {
      monitor_->SetCellText(Format("%d : %s", line, telDrive_->LineName(line).c_str()), line, kCellLine);
      std::string script;
      int initRet = 0;
      std::string state;
      if (telDrive_->LineScript(line, &script, &initRet)) {
        monitor_->SetCellText(script, line, kCellScript);
        state = initRet == 0 ? (en ? "Running" : GBK("运行")) : (en ? "Initialize failed." : GBK("初始化失败"));
      } else {
        monitor_->SetCellText("", line, kCellScript);
        state = en ? "Unset" : GBK("未配置");
      }
      DispLineState(line, state);
    }
  }
  monitor_->BindGrid(runCfg.colGroupNum);
  std::array<std::string, kCellCount> headers{};
  if (ready) headers = monitor_->Headers();
  view_->BindGrid(monitor_->Layout(), headers);
}

void TagSystem::JoinMainRun() {
  if (!mainRun_.Joinable()) return;
  if (telDrive_) telDrive_->CancelStart();
  mainRun_.Join();
}

void TagSystem::InstallSysHost(TagLineManager* drive) {
  TagSysHost host;
  host.version = [] { return VersionText(); };
  host.cardSerial = [drive] { return drive->CardSerial(); };
  host.countConnected = [drive](int* ex, int* in, int* vir, int* ip) { drive->CountConnected(ex, in, vir, ip); };
  host.lineTime = [drive](int line, long* elapsed, time_t* since) { return drive->GetLineTime(line, elapsed, since); };
  host.quit = [] { Exit(); };
  SetSysHost(host);
}

void TagSystem::DeleteLines(int waitMs) {
  JoinMainRun();
  ClearSysHost();
  if (telDrive_) {
    telDrive_.reset();
    plat::SleepMs(static_cast<uint32_t>(waitMs));
  }
}

// --- tick ------------------------------------------------------------------------

bool TagSystem::Tick() {
  view_->SetTimePanel(ClockText(LocalNow()));
  if (showEvent_.IsOpen() && showEvent_.TryWait()) {
    RawLog("HasShowEvent!");
    view_->ShowMainWindow();
  }
  if (isCloseing.load() || tickBusy_ || closed_) return false;
  // A failed start leaves nothing to look at (a reset may have lowered the
  // flag in older builds; never read a missing line manager).
  if (!telDrive_ || !monitor_) return false;
  tickBusy_ = true;
  struct Busy {
    bool& b;
    ~Busy() { b = false; }
  } busy{tickBusy_};

  TickLines();
  if (alarm_ != lastAlarm_) {
    view_->SetTrayState(alarm_ == 0);
    lastAlarm_ = alarm_;
  }
  if (isCloseing.load()) return false;
  bool more = RefreshGrid();

  if (isCloseing.load()) return more;
  if (runCfg.isImmediateLog == 0)
    if (auto w = GetLogWriter()) w->Flush();

  if (isCloseing.load()) return more;
  std::string count = CountText(language_, *telDrive_);
  if (remoteCtrl_) {
    remoteCtrl_->SetStatusText(count);
    int conn = remoteCtrl_->ConnCount();
    if (remoteCtrl_->Serving() && conn != shownConn_) {
      shownConn_ = conn;
      view_->SetConnPanel(RemoteConnCountText(conn, language_));
    }
  }
  view_->SetCountPanel(count);

  if (!isCloseing.load() && quitEvent_.IsOpen() && quitEvent_.TryWait()) {
    RawLog("HasQuitEvent!");
    view_->PostQuit();
  }
  return more;
}

void TagSystem::TickLines() {
  alarm_ = 0;
  const bool talkTime = runCfg.isDispTalkTime != 0;
  const int lines = monitor_->Lines();
  for (int line = 0; line < lines && !isCloseing.load(); ++line) {
    int block = telDrive_->IsBlock(line);
    int state = monitor_->GetState(line);
    if (state == kStateRunning && line % 30 == 0 && block != monitor_->GetBlock(line)) {
      if (block != 0) {
        DispLineState(line, GBK("堵塞"));
        ++alarm_;
      } else {
        DispLineState(line, GBK("运行"));
      }
      monitor_->SetBlock(line, block);
      monitor_->TouchStateCells(line);
    } else if (state == kStateInitErr || state == kStateEnded) {
      ++alarm_;
    }
    if (block != 0) continue;
    long elapsed = 0;
    time_t since = 0;
    bool connected = telDrive_->GetLineTime(line, &elapsed, &since);
    std::string text;
    if (connected) {
      if (elapsed < 0) elapsed = 0;
      text = talkTime ? Format(GBK("连通 %d:%02d").c_str(), static_cast<int>(elapsed / 60), static_cast<int>(elapsed % 60))
                      : GBK("连通");
    }
    if (connected != (monitor_->IsConnected(line) != 0)) {
      DispLineState(line, connected ? text : GBK("运行"));
      monitor_->SetConnected(line, connected);
      monitor_->TouchStateCells(line);
    } else if (connected && talkTime) {
      DispLineState(line, text);
    }
  }
}

bool TagSystem::RefreshGrid() {
  // Batches of a few lines' cells; the window pauses between batches so a
  // burst of line activity does not freeze it.
  constexpr size_t kBatch = 24;
  if (!monitor_ || isCloseing.load() || closed_) return false;
  std::vector<TagCellUpdate> cells = monitor_->TakeChanges(view_->VisibleRange(), kBatch);
  if (!cells.empty()) view_->PaintCells(cells);
  return cells.size() >= kBatch;
}

// --- exit ------------------------------------------------------------------------

void TagSystem::ExitSequence() {
  if (closed_ || !TryHoldCloseing()) return;
  exiting_ = true;
  RawLog("isCloseing = true;");
  plat::SetBoxesQuiet(true);
  for (int i = 0; i < 20; ++i) {
    plat::SleepMs(100);
    if (!tickBusy_) break;
  }
  RawLog("delete pCtrlPages...");
  view_->CloseDebugPages();
  RawLog("ModifyTrayIcon()...");
  view_->RemoveTrayIcon();
  RawLog("SavePost()...");
  view_->SaveLayout();
  Teardown();
  view_->CloseWindow();
}

void TagSystem::Teardown() {
  HoldCloseing(true);
  exiting_ = true;
  plat::SetBoxesQuiet(true);
  RawLog("delete pTelDrive;");
  JoinMainRun();
  ClearSysHost();
  if (telDrive_) {
    telDrive_.reset();
    plat::SleepMs(150);
  }
  RawLog("delete pRemoteCtrl;");
  remoteCtrl_.reset();
  RawLog("delete pMonitor;");
  SetMonitor(nullptr);
  monitor_.reset();
  RawLog("delete _logFp ...");
  SetLogWriter(nullptr);
  RawLog("Close Ok.");
  quitEvent_.Close();
  showEvent_.Close();
  NetCleanup();
  closed_ = true;
}

bool TagSystem::CloseRequested() {
  if (!isCloseing.load()) return false;
  // Closed before the lines ran or after a failed start: the same clean-up as
  // the exit, so no script dies mid-call and the log is kept.
  if (!closed_) {
    view_->CloseDebugPages();
    view_->RemoveTrayIcon();
    Teardown();
  }
  RawLog("Action = caFree;");
  return true;
}

void TagSystem::Terminate() {
  if (exiting_ || closed_) return;
  if (!isCloseing.load())
    ExitSequence();
  else
    view_->CloseWindow();
}

// --- reset and reload --------------------------------------------------------------

void TagSystem::Reset() {
  if (resetting_ || exiting_ || closed_) return;
  resetting_ = true;
  plat::SleepMs(100);
  view_->CloseDebugPages();
  view_->SetInfoPanel(language_ == 1 ? "Reinitialize..." : GBK("正在重新初始化..."));
  HoldCloseing(true);
  DeleteLines(800);
  remoteCtrl_.reset();
  SetMonitor(nullptr);
  monitor_.reset();
  lastAlarm_ = alarm_ = 0;
  // The new start of all lines lowers the flag; a failed start leaves it up.
  HoldCloseing(false);
  InitSystem();
  resetting_ = false;
}

void TagSystem::Reload() {
  if (isCloseing.load() || exiting_) {
    Log("Reload refused: the system is starting or closing.");
    return;
  }
  view_->CloseDebugPages();
  if (LinesReady()) telDrive_->StartReloadThread();
}

bool TagSystem::Hangup(int line) {
  if (isCloseing.load() || exiting_ || !LinesReady()) return false;
  if (line < 0 || line >= telDrive_->LineCount()) return false;
  telDrive_->RequestHangup(line);
  return true;
}
