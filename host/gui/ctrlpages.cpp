#include "host/gui/ctrlpages.h"

#include <QApplication>
#include <QCheckBox>
#include <QTabWidget>

#include "engine/telbasic.h"
#include "host/gui/debugforms.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "host/system.h"
#include "platform/tick.h"

TagCtrlPages::TagCtrlPages(QTabWidget* pageControl, QCheckBox* autoFlush, TagSystem* system, QWidget* dialogParent)
    : pageControl_(pageControl), autoFlush_(autoFlush), system_(system), dialogParent_(dialogParent) {
  connect(pageControl_, &QTabWidget::currentChanged, this,
          [this](int i) { current_ = PageOfTab(i >= 0 ? pageControl_->widget(i) : nullptr); });
  if (autoFlush_) connect(autoFlush_, &QCheckBox::toggled, this, [this](bool on) { autoRefresh_ = on; });
  callStack_ = new TCallStackForm(dialogParent_);
  poll_.setInterval(100);
  connect(&poll_, &QTimer::timeout, this, &TagCtrlPages::Poll);
  poll_.start();
}

TagCtrlPages::~TagCtrlPages() {
  poll_.stop();
  CloseAll();
  delete callStack_;
}

TagPage* TagCtrlPages::PageOfTab(QWidget* tab) const {
  for (const auto& p : pages_)
    if (tab && p->Tab() == tab) return p.get();
  return nullptr;
}

TagPage* TagCtrlPages::PageOfLine(int line) const {
  for (const auto& p : pages_)
    if (p->Line() == line) return p.get();
  return nullptr;
}

bool TagCtrlPages::IsDebugPageOpen(int line) const { return !isCloseing.load() && PageOfLine(line) != nullptr; }

TagCtrlPages::OpenCheck TagCtrlPages::CanOpen(int line) const {
  TagLineManager* m = system_ ? system_->LineManager() : nullptr;
  if (!m || line < 0 || line >= m->LineCount()) return kOpenBadLine;
  if (PageOfLine(line)) return kOpenHasPage;
  if (m->Status() != 0) return kOpenNotRunning;
  std::shared_ptr<TagTelBasic> inst = m->LineInstance(line);
  if (!inst) return kOpenNoScript;
  if (m->IsScrambled(line) || inst->wasScrambled) return kOpenScrambled;
  return kOpenOk;
}

TagPage* TagCtrlPages::OpenLine(int line) {
  OpenCheck c = CanOpen(line);
  if (c != kOpenOk) {
    LogF("Debug page for line %d not opened (%d).", line, static_cast<int>(c));
    return nullptr;
  }
  TagPage* page = OpenPage(line, system_->LineManager()->LineInstance(line));
  autoRefresh_ = autoFlush_ && autoFlush_->isChecked();
  return page;
}

TagPage* TagCtrlPages::OpenPage(int line, std::shared_ptr<TagTelBasic> script) {
  if (!script) return nullptr;
  autoRefresh_ = false;
  pages_.push_back(std::make_unique<TagPage>(pageControl_, line, std::move(script), this));
  current_ = pages_.back().get();
  return current_;
}

int TagCtrlPages::CloseCurrent() {
  TagPage* page = PageOfTab(pageControl_->currentWidget());
  if (!page) return -1;
  if (callStack_->ScriptOf() == &page->Script()) {
    callStack_->hide();
    callStack_->Clear();
  }
  current_ = nullptr;
  std::unique_ptr<TagPage> doomed;
  for (auto it = pages_.begin(); it != pages_.end(); ++it)
    if (it->get() == page) {
      doomed = std::move(*it);
      pages_.erase(it);
      break;
    }
  // Removing its tab activates another one, which looks the pages up.
  doomed.reset();
  current_ = PageOfTab(pageControl_->currentWidget());
  return 0;
}

void TagCtrlPages::WaitMarking() {
  // A mark in progress finishes before its page goes; bounded.
  for (int i = 0; i < 80 && marking_; ++i) {
    QCoreApplication::processEvents();
    plat::SleepMs(150);
  }
}

void TagCtrlPages::UncheckAutoFlush() {
  if (!autoFlush_) return;
  QSignalBlocker b(autoFlush_);
  autoFlush_->setChecked(false);
}

void TagCtrlPages::CloseAll() {
  const bool was = autoRefresh_;
  autoRefresh_ = false;
  // The box follows the flag, so checking it again turns refreshing back on.
  UncheckAutoFlush();
  if (was) WaitMarking();
  while (CloseCurrent() == 0) {
  }
  // Pages whose tab is no longer in the control (none expected).
  pages_.clear();
  current_ = nullptr;
}

void TagCtrlPages::ClosePageCmd() {
  const bool was = autoRefresh_;
  autoRefresh_ = false;
  UncheckAutoFlush();
  if (was) WaitMarking();
  CloseCurrent();
}

void TagCtrlPages::ShowRunLine(int line, int index) {
  if (isCloseing.load() || !autoRefresh_ || !current_ || current_->Line() != line) return;
  marking_ = true;
  current_->MarkMain(index);
  marking_ = false;
}

void TagCtrlPages::ShowSubRunLine(int line, int index, bool prevWasCall) {
  if (isCloseing.load() || !autoRefresh_ || !current_ || current_->Line() != line) return;
  marking_ = true;
  current_->MarkSub(index, prevWasCall);
  marking_ = false;
}

void TagCtrlPages::StepCmd() {
  if (current_) dbgview::Step(current_->Script());
}

void TagCtrlPages::RunCmd() {
  if (current_ && dbgview::IsPaused(current_->Script())) dbgview::SetPaused(current_->Script(), false);
}

void TagCtrlPages::FlushCmd() {
  if (current_) current_->Flush();
}

bool TagCtrlPages::CallStackCmd() {
  if (!current_) return false;
  // The callers are the run thread's to change: read them while it is parked.
  if (!dbgview::IsPaused(current_->Script())) return false;
  TagTelBasic* running = current_->RunningFunction();
  if (!running) return false;
  if (!callStack_->Fill(current_->ScriptRef(), running)) return false;
  callStack_->show();
  callStack_->raise();
  return true;
}

void TagCtrlPages::ToggleBreakCmd() {
  if (!current_) return;
  TagStmtTree* tree = current_->FocusedTree();
  current_->ToggleBreak(tree, tree->SelectedNode());
}

void TagCtrlPages::Poll() {
  if (isCloseing.load()) return;
  for (const auto& p : pages_) p->Poll(autoRefresh_ && p.get() == current_);
}
