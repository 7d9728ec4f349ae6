#pragma once
// The debugger's pages in the main window's debugger panel, and its commands.
// GUI thread only: the run loop's statement reports reach the pages through
// the line monitor, which a timer here reads.
#include <QObject>
#include <QTimer>
#include <memory>
#include <vector>

#include "host/gui/page.h"

class QCheckBox;
class QTabWidget;
class TagSystem;
class TCallStackForm;

class TagCtrlPages : public QObject {
  Q_OBJECT
 public:
  TagCtrlPages(QTabWidget* pageControl, QCheckBox* autoFlush, TagSystem* system, QWidget* dialogParent);
  // Closes every page.
  ~TagCtrlPages() override;

  // Why a line cannot be opened; kOpenOk when it can.
  enum OpenCheck { kOpenOk, kOpenBadLine, kOpenHasPage, kOpenNotRunning, kOpenNoScript, kOpenScrambled };
  OpenCheck CanOpen(int line) const;
  // "开启...": opens a page for the line when CanOpen allows; the page or null.
  TagPage* OpenLine(int line);
  // Makes a page for the script (its tab becomes the active one).
  TagPage* OpenPage(int line, std::shared_ptr<TagTelBasic> script);
  // Closes the page of the active tab; 0, -1 when none.
  int CloseCurrent();
  void CloseAll();
  bool IsDebugPageOpen(int line) const;

  void ShowRunLine(int line, int index);
  void ShowSubRunLine(int line, int index, bool prevWasCall);

  // Commands on the current page.
  void StepCmd();
  void RunCmd();
  void FlushCmd();
  // Shows the call-stack window; false when no function runs.
  bool CallStackCmd();
  void ToggleBreakCmd();
  // "关闭当前页": clears the auto-refresh flag and its box first.
  void ClosePageCmd();

  int Count() const { return static_cast<int>(pages_.size()); }
  TagPage* Page(int i) const { return i >= 0 && i < Count() ? pages_[static_cast<size_t>(i)].get() : nullptr; }
  TagPage* Current() const { return current_; }
  TagPage* PageOfLine(int line) const;
  bool AutoRefresh() const { return autoRefresh_; }
  void SetAutoRefresh(bool on) { autoRefresh_ = on; }
  TCallStackForm* CallStack() const { return callStack_; }
  QWidget* DialogParent() const { return dialogParent_; }
  // One pass of the display poll (the timer calls it every 100 ms).
  void Poll();

 private:
  TagPage* PageOfTab(QWidget* tab) const;
  void WaitMarking();
  void UncheckAutoFlush();

  QTabWidget* pageControl_;
  QCheckBox* autoFlush_;
  TagSystem* system_;
  QWidget* dialogParent_;
  std::vector<std::unique_ptr<TagPage>> pages_;
  TagPage* current_ = nullptr;
  bool autoRefresh_ = false;
  bool marking_ = false;
  QTimer poll_;
  TCallStackForm* callStack_ = nullptr;
};
