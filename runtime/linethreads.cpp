// The line threads: loading every configured line, running its script,
// reloading and stopping all lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "core/linemanager.h"
#include "engine/kxcall.h"
#include "runtime/teldrive.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

// Sleeps ms in short steps; false when stop() said so first.
bool SleepUnless(uint32_t ms, const std::function<bool()>& stop) {
  const uint32_t start = plat::TickCount();
  while (plat::TickCount() - start < ms) {
    if (stop()) return false;
    uint32_t left = ms - (plat::TickCount() - start);
    plat::SleepMs(left < 20 ? left : 20);
  }
  return !stop();
}

// Raises every stop flag of a line's instance; the sticky one is never
// cleared by a run start, so a stop before the run loop is not lost.
void StopInstance(TagTelBasic& inst) {
  inst.SetReload(false);
  inst.SetQuitRequest(true);
  inst.lineStopping = 1;
  if (inst.callObject) inst.callObject->interrupted = 1;
  inst.stopRequested = 1;
}

}  // namespace

void TagTelDrive::ClearScriptCache() {
  if (hooks_.clearScriptCache)
    hooks_.clearScriptCache();
  else
    TagMemKxs::Instance().Clear();
}

int TagTelDrive::LoadDelay() const {
  const TagRunCfg* cfg = runCfg ? runCfg : &::runCfg;
  return std::min(cfg->loadDelay, kMaxLoadDelayMs);
}

bool TagTelDrive::StartStopping() const {
  return exiting_.load() || cancelStart_.load() || exitRequested.load();
}

void TagTelDrive::PacingSleep() const {
  const int delay = LoadDelay();
  const uint32_t quarter = delay / 4 > 0 ? static_cast<uint32_t>(delay / 4) : 0;
  // In short steps: an exit or a reset ends the wait at once, however long
  // the delay.
  SleepUnless(quarter + 55, [this] { return StartStopping(); });
}

bool TagTelDrive::StartLineThread(std::function<void()> body) {
  auto rec = std::make_unique<LineThread>();
  LineThread* t = rec.get();
  std::lock_guard<std::mutex> g(threadsLock_);
  // Finished threads are joined as new ones start, so the list stays short.
  for (auto it = threads_.begin(); it != threads_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.Join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
  if (!t->thread.Start([t, body = std::move(body)] {
        body();
        t->done = true;
      }))
    return false;
  threads_.push_back(std::move(rec));
  return true;
}

void TagTelDrive::JoinLineThreads(uint32_t waitMs) {
  const uint32_t start = plat::TickCount();
  for (;;) {
    std::vector<std::unique_ptr<LineThread>> finished;
    bool others = false;
    {
      std::lock_guard<std::mutex> g(threadsLock_);
      for (auto it = threads_.begin(); it != threads_.end();) {
        if ((*it)->done.load()) {
          finished.push_back(std::move(*it));
          it = threads_.erase(it);
        } else {
          others = true;
          ++it;
        }
      }
    }
    // Joined outside the lock: a finishing load thread may still be starting
    // its run thread.
    for (auto& t : finished) t->thread.Join();
    if (!others || plat::TickCount() - start >= waitMs) return;
    plat::SleepMs(20);
  }
}

size_t TagTelDrive::LiveThreads() {
  JoinLineThreads(0);
  std::lock_guard<std::mutex> g(threadsLock_);
  return threads_.size();
}

std::shared_ptr<TagTelBasic> TagTelDrive::MakeInstance(TagTelLine* line) {
  std::shared_ptr<TagTelBasic> inst =
      hooks_.makeInstance ? hooks_.makeInstance(line->scriptFile, line->number, line->call)
                          : std::make_shared<TagTelBasic>(line->scriptFile, line->number, line->call, 1);
  if (inst) inst->runLine = line;
  return inst;
}

int TagTelDrive::RunStart(const std::string& cfgFile) {
  std::lock_guard<std::recursive_mutex> g(runStartLock_);
  if (exiting_.load() || exitRequested.load()) return -1;
  return RunStartLocked(cfgFile);
}

int TagTelDrive::RunStartLocked(const std::string& cfgFile) {
  RawLog("CloseAllTelLine()...");
  CloseAllTelLine();
  RawLog("CloseAllTelLine().");
  ClearScriptCache();
  if (telCount <= 0) {
    plat::MessageBox("Corvane System", "Lines number is 0", plat::kBoxIconError);
    return -1;
  }
  RawLog("Run Start ...");
  Log("Run Start ...");
  if (LoadDelay() < 1000) ClearCloseing();
  FILE* f = plat::OpenFile(cfgFile, "r");
  if (!f) {
    plat::MessageBox("Corvane System", "Open cfg file error: " + cfgFile, plat::kBoxIconError);
    return -2;
  }
  cfgFile_ = cfgFile;
  runGate = 0;
  loadedLines_ = 0;
  std::string raw;
  bool tooLong = false;
  int lineNo = 0;
  while (!StartStopping() && ReadCfgLine(f, &raw, &tooLong)) {
    ++lineNo;
    if (tooLong) {
      LogAlwaysF("%s line %d is longer than %zu bytes: its lines do not start", cfgFile.c_str(), lineNo,
                 kMaxCfgLineBytes);
      continue;
    }
    std::string line = CleanCfgLine(raw);
    size_t eq = line.find('=');
    if (line.empty() || eq == std::string::npos) continue;
    RawLog(line);
    std::string key = line.substr(0, eq);
    std::string script = line.substr(eq + 1);
    if (key.empty() || key[0] < '0' || key[0] > '9') continue;
    RawLog(key);
    for (const std::string& why : LineListFaults(key))
      LogAlwaysF("%s line %d: %s", cfgFile.c_str(), lineNo, why.c_str());
    std::vector<int> list = ParseLineList(key);
    if (list.empty()) LogAlwaysF("%s line %d: '%s' names no line", cfgFile.c_str(), lineNo, key.c_str());
    ReportLinesPast(cfgFile, lineNo, list);
    if (list.empty()) continue;
    for (size_t i = 0; i < list.size() && !StartStopping(); ++i) {
      char text[600];
      std::snprintf(text, sizeof text, "%d:%d, '%s'", static_cast<int>(list.size()), static_cast<int>(i),
                    script.c_str());
      RawLog(text);
      LoadLine(list[i], script);
    }
  }
  std::fclose(f);
  LogF("LOAD_DELAY = %d", LoadDelay());
  Log("Run End.");
  RawLog("Run End.");
  // The reason is logged where the card failed, long before; the start ends
  // on it too, so an operator reading the tail does not take the lines for
  // the card's.
  if (!pPhyCard || pPhyCard->status < 0)
    LogAlwaysF("The card did not start (its reason is logged above): %d lines run without it", telCount);
  SleepUnless(200, [this] { return StartStopping(); });
  ClearCloseing();
  runGate = 1;
  startEnded_ = true;
  return 0;
}

bool TagTelDrive::LinesLoaded() const {
  if (!startEnded_.load()) return false;
  for (const auto& c : ctl_) {
    std::lock_guard<std::mutex> g(c->lock);
    if (c->loading) return false;
  }
  return true;
}

// Line numbers the installation does not have start nothing; the log names
// them, so a range written past the last line is not clipped unseen.
void TagTelDrive::ReportLinesPast(const std::string& cfgFile, int lineNo, const std::vector<int>& list) const {
  int count = 0, low = 0, high = 0;
  for (int n : list) {
    if (n >= 0 && n < telCount) continue;
    if (count == 0 || n < low) low = n;
    if (count == 0 || n > high) high = n;
    ++count;
  }
  if (count == 0) return;
  std::string which = low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high);
  LogAlwaysF("%s line %d: %d line number%s (%s) past the last line %d: not started", cfgFile.c_str(), lineNo,
             count, count == 1 ? "" : "s", which.c_str(), telCount - 1);
}

int TagTelDrive::LoadLine(int lineNumber, const std::string& script) {
  if (lineNumber < 0 || lineNumber >= telCount) return -1;
  TagTelLine* line = lines[lineNumber];
  LineCtl& c = *ctl_[lineNumber];
  {
    std::lock_guard<std::mutex> g(c.lock);
    if (auto inst = line->Instance()) return inst->initResult;
    // A second entry for a line still loading leaves the first script on it.
    const uint64_t gen = gen_.load();
    if (c.loading && c.loaderGen == gen) return 0;
    line->scriptFile = script;
    c.loading = true;
    c.loaderGen = gen;
    if (!StartLineThread([this, line, gen] { LineLoadThread(line, gen); })) {
      c.loading = false;
      LogAlwaysF("%d: the load thread cannot be started", lineNumber);
      return -1;
    }
  }
  PacingSleep();
  return 0;
}

void TagTelDrive::LineLoadThread(TagTelLine* line, uint64_t gen) {
  const int n = line->number;
  LineCtl& c = *ctl_[n];
  auto stale = [this, gen] { return Stale(gen); };
  DispLineScript(n, line->scriptFile);
  DispLineState(n, GBK("加载..."));
  char text[600];
  std::snprintf(text, sizeof text, "%d Loading...", n);
  Log(text);
  RawLog(text);
  if (n != 0) WaitWhileCpuBusy(40, 75, stale);
  bool counted = true;
  bool failed = false;
  try {
    std::shared_ptr<TagTelBasic> inst;
    if (!stale()) inst = MakeInstance(line);
    if (inst) {
      std::snprintf(text, sizeof text, "%d: new TagTelBasic(%s) OK. ret=%d", n, line->scriptFile.c_str(),
                    inst->initResult);
      RawLog(text);
      Log(text);
      failed = inst->initResult != 0;
      std::lock_guard<std::mutex> g(c.lock);
      // A stop that came while the script compiled gets no instance on the
      // line and no run thread.
      if (!Stale(gen)) {
        line->SetInstance(inst);
        if (!failed) {
          c.runActive = true;
          c.runnerGen = gen;
          // The run thread holds the instance only through its argument, so a
          // reload frees the old one (its files and connections) at once.
          if (!StartLineThread([this, line, inst, gen]() mutable { LineRunThread(line, std::move(inst), gen); })) {
            c.runActive = false;
            LogAlwaysF("%d: the run thread cannot be started", n);
          }
        }
      }
    }
  } catch (const std::exception& e) {
    plat::MessageBox(GBK("加载脚本错误..."), e.what(), plat::kBoxIconError, stale);
    Log(e.what());
    counted = false;
  } catch (...) {
    plat::MessageBox("Error", "TagTelDrive::LineLoadThread()", plat::kBoxOk, stale);
  }
  {
    std::lock_guard<std::mutex> g(c.lock);
    if (c.loaderGen == gen) c.loading = false;
  }
  if (failed) DispLineState(n, GBK("加载不成功"));
  if (!counted) return;
  const int loaded = ++loadedLines_;
  if (loaded % 10 == 0) {
    // A debug trace: the raw trace file at level 2, never the terminal.
    RawLog("loadLinesCount=" + std::to_string(loaded));
  }
  std::snprintf(text, sizeof text, "%d Loaded.", n);
  RawLog(text);
}

void TagTelDrive::LineRunThread(TagTelLine* line, std::shared_ptr<TagTelBasic> inst, uint64_t gen) {
  const int n = line->number;
  LineCtl& c = *ctl_[n];
  RawLog("LineRunThread...");
  Log("LineRunThread...");
  for (;;) {
    auto stop = [&] { return Stale(gen) || inst->lineStopping.load() != 0; };
    char text[160];
    std::snprintf(text, sizeof text, "pBasic->initRet=%d", inst->initResult);
    RawLog(text);
    if (inst->initResult != 0) break;
    while (runGate.load() == 0 && !stop()) plat::SleepMs(50);
    // Lines ending in the same digit start together, the ten groups 100 ms apart.
    SleepUnless(static_cast<uint32_t>(n % 10) * 100u, stop);
    WaitWhileCpuBusy(20, 65, stop);
    // A stop marks the lines stale before it raises each line's own flags:
    // a line that left its gates because it is stale must not run.
    if (stop()) break;
    // Run itself honours a stop raised before it (the sticky flag).
    inst->Run();
    if (!inst->reloadRequested.load() || !inst->runLine || stop()) break;

    // Reload: the old instance goes before the new one is built.
    plat::SleepMs(35);
    WaitWhileCpuBusy(20, 65, stop);
    if (stop()) break;
    {
      std::lock_guard<std::mutex> g(c.lock);
      if (Stale(gen)) break;
      line->SetInstance(nullptr);
    }
    // Readers that took the old instance hand it back in a moment.
    for (int i = 0; i < 500 && inst.use_count() > 1; ++i) plat::SleepMs(2);
    inst.reset();
    std::shared_ptr<TagTelBasic> fresh;
    try {
      fresh = MakeInstance(line);
    } catch (const std::exception& e) {
      plat::MessageBox(GBK("加载脚本错误..."), e.what(), plat::kBoxIconError, [this, gen] { return Stale(gen); });
      Log(e.what());
    } catch (...) {
      plat::MessageBox("Error", "TagTelDrive::LineRunThread()", plat::kBoxOk, [this, gen] { return Stale(gen); });
    }
    if (!fresh) break;
    {
      std::lock_guard<std::mutex> g(c.lock);
      if (Stale(gen)) break;  // a stop came meanwhile: the new one never runs
      line->SetInstance(fresh);
    }
    inst = std::move(fresh);
    std::snprintf(text, sizeof text, "LineRunThread: %d.", n);
    RawLog(text);
    if (inst->initResult != 0) DispLineState(n, GBK("加载不成功"));
  }
  std::lock_guard<std::mutex> g(c.lock);
  if (c.runnerGen == gen) c.runActive = false;
}

void TagTelDrive::StartReloadThread() {
  std::lock_guard<std::mutex> g(reloadLock_);
  if (exiting_.load()) return;
  if (reloadRunning_) {
    reloadAgain_ = true;
    return;
  }
  if (reloadThread_.Joinable()) reloadThread_.Join();
  reloadRunning_ = true;
  reloadAgain_ = false;
  if (!reloadThread_.Start([this] { ReloadThreadBody(); })) reloadRunning_ = false;
}

void TagTelDrive::ReloadThreadBody() {
  for (;;) {
    ReloadAll();
    std::lock_guard<std::mutex> g(reloadLock_);
    if (!reloadAgain_ || exiting_.load()) {
      reloadRunning_ = false;
      return;
    }
    reloadAgain_ = false;
  }
}

void TagTelDrive::ReloadAll() {
  std::lock_guard<std::recursive_mutex> g(runStartLock_);
  if (exiting_.load()) return;
  bool restart = false;
  for (int i = 0; i < telCount && !restart; ++i) {
    auto inst = lines[i]->Instance();
    if (!inst || !inst->callObject) continue;
    // Ended: no run thread owns it any more (the run-ended flag alone is set
    // from construction until the run loop starts).
    bool running;
    {
      std::lock_guard<std::mutex> lk(ctl_[i]->lock);
      running = ctl_[i]->runActive && ctl_[i]->runnerGen == gen_.load();
    }
    if (inst->initResult < 0 || !running) restart = true;
  }
  if (restart) {
    RunStartLocked(cfgFile_);
    return;
  }
  ClearScriptCache();
  for (int i = 0; i < telCount && !StartStopping(); ++i) {
    auto inst = lines[i]->Instance();
    if (!inst || !inst->callObject) continue;
    inst->SetReload(true);
    PacingSleep();
  }
}

void TagTelDrive::CloseAllTelLine() {
  // Threads of the old generation see themselves stale from here on.
  ++gen_;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::lock_guard<std::mutex> g(ctl_[i]->lock);
    if (auto inst = lines[i]->Instance()) StopInstance(*inst);
  }
  RawLog("CloseAllTelLine(): 1");
  // Every load and run thread of the lines ends, or the time-out passes.
  if (!lines.empty()) JoinLineThreads(35000);
  RawLog("CloseAllTelLine(): 2");
  for (size_t i = 0; i < lines.size(); ++i) {
    auto inst = lines[i]->Instance();
    if (!inst) continue;
    if (inst->callObject) inst->callObject->interrupted = 1;
    inst->hardStop = 1;
  }
  WaitMs(350);
  JoinLineThreads(0);
  RawLog("CloseAllTelLine(): 3");
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "\tCloseAllTelLine()3: %d", i);
    RawLog(text);
    // A thread still stuck holds its own reference and frees the instance
    // when it ends.
    std::lock_guard<std::mutex> g(ctl_[i]->lock);
    lines[i]->SetInstance(nullptr);
  }
  RawLog("CloseAllTelLine(): 4");
}
