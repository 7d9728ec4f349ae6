#pragma once
#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/linemanager.h"
#include "core/monitor.h"
#include "host/remotectrl.h"
#include "core/runcfg.h"
#include "platform/instance.h"
#include "platform/thread.h"

// How the system builds its line manager: the program names the runtime's
// (MakeTelDriveManager), tests name doubles. Without one the start fails
// with kNoLineManager.
using LineManagerFactory = std::function<std::unique_ptr<TagLineManager>(const std::string& cfg, TagRunCfg* record)>;
void SetLineManagerFactory(LineManagerFactory factory);
constexpr int kNoLineManager = -100;

// What the system asks of the main window. All calls come on the GUI thread.
class TagSystemView {
 public:
  virtual ~TagSystemView() = default;
  virtual void SetInfoPanel(const std::string& text) = 0;   // GB bytes, as all texts here
  virtual void SetLinePanel(const std::string& text) = 0;
  virtual void SetCountPanel(const std::string& text) = 0;
  virtual void SetTimePanel(const std::string& text) = 0;
  virtual void SetConnPanel(const std::string& text) = 0;
  // The grid's shape; headers empty when the line manager is not ready.
  virtual void BindGrid(const TagGridLayout& layout, const std::array<std::string, kCellCount>& headers) = 0;
  // Visible rows and columns of the grid.
  virtual TagGridRange VisibleRange() const = 0;
  virtual void PaintCells(const std::vector<TagCellUpdate>& cells) = 0;
  virtual void SetTrayState(bool normal) = 0;
  virtual void ShowMainWindow() = 0;
  // Queues the quit request (handled later by WMKxSysQuit on the GUI thread).
  virtual void PostQuit() = 0;
  virtual void SetTickInterval(int ms) = 0;
  virtual void CloseDebugPages() {}
  virtual void RemoveTrayIcon() = 0;
  virtual void SaveLayout() = 0;
  // Ends the message loop (the window is closing for good).
  virtual void CloseWindow() = 0;
};

// The process-wide life of the platform: system start, display tick, exit,
// reset and reload. Runs on the GUI thread except the main run thread.
class TagSystem {
 public:
  explicit TagSystem(TagSystemView* view);
  ~TagSystem();
  TagSystem(const TagSystem&) = delete;
  TagSystem& operator=(const TagSystem&) = delete;

  // The named events "RoDiz Quit" and "RoDiz Show".
  void CreateEvents();
  void InitSystem();
  void DispMonitor();
  // One display tick. Returns true when the grid may hold more changed cells
  // (the caller continues with RefreshGrid after a short pause).
  bool Tick();
  // One batch of changed cells into the grid; true when more may wait.
  bool RefreshGrid();
  // The exit sequence (menu, quit message, session end). Nothing while the
  // closing flag is raised.
  void ExitSequence();
  // The close box: false to hide the window instead; true when the process
  // ends (everything then has been cleaned up).
  bool CloseRequested();
  // A termination signal: the exit sequence, or while the system is not
  // running, the same clean-up as the close box.
  void Terminate();
  void Reset();
  void Reload();
  // Hang-up of a line's call; false when refused.
  bool Hangup(int line);

  // State for the window and tests.
  TagLineManager* LineManager() const { return telDrive_.get(); }
  bool LinesReady() const { return telDrive_ && telDrive_->Status() == 0; }
  // Every listed line has loaded (or failed to): the grid shows the lines' own states.
  bool LinesLoaded() const { return LinesReady() && telDrive_->LinesLoaded(); }
  std::shared_ptr<TagMonitor> Monitor() const { return monitor_; }
  TagRemoteCtrl* RemoteCtrl() const { return remoteCtrl_.get(); }
  bool Closed() const { return closed_; }
  bool Exiting() const { return exiting_; }
  int TickInterval() const { return tickInterval_; }
  int AlarmCount() const { return lastAlarm_; }
  int Language() const { return language_; }

  // Texts of the panels (GB bytes).
  static std::string CensusText(int language, int total, int ex, int in, int vir, int ip);
  static std::string CountText(int language, const TagLineManager& m);
  static std::string InitFailedText(int language, int status);
  static std::string StartTimeText(const std::tm& t);
  static std::string ClockText(const std::tm& t);

 private:
  void JoinMainRun();
  // Lets the system operations read the line manager and ask for the quit.
  void InstallSysHost(TagLineManager* drive);
  // Frees the line manager, the remote server and the monitor.
  void DeleteLines(int waitMs);
  void Teardown();
  void TickLines();

  TagSystemView* view_;
  std::unique_ptr<TagLineManager> telDrive_;
  std::shared_ptr<TagMonitor> monitor_;
  std::unique_ptr<TagRemoteCtrl> remoteCtrl_;
  plat::Thread mainRun_;
  plat::NamedEvent quitEvent_, showEvent_;
  bool tickBusy_ = false;
  bool resetting_ = false;
  bool exiting_ = false;
  bool closed_ = false;
  int alarm_ = 0, lastAlarm_ = 0;
  int shownConn_ = -1;
  int language_ = 0;
  int tickInterval_ = 1000;
};

// The process's system, for Exit() and the window; null outside the run.
TagSystem* CurrentSystem();
void SetCurrentSystem(TagSystem* system);
