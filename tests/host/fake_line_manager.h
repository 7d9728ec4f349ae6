#pragma once
// Test double of the line manager: a fixed set of lines whose states the test
// sets, and a record of what the host asked of it.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/system.h"
#include "platform/tick.h"

namespace testsupport {

struct FakeLine {
  int type = 0;  // 0 virtual, 1 and 4 external, 2 internal, 5+ VoIP
  std::string name;
  bool hasScript = true;
  std::string script = "scripts/a.kxs";
  int initRet = 0;
  int block = 0;
  bool connected = false;
  long elapsed = 0;
  bool reloadPending = false;
};

// What every fake made by one factory shares with the test.
struct FakeRecord {
  std::mutex lock;
  std::vector<std::string> events;  // "RunStart", "Cancel", "Reload", "Hangup 3", "Deleted"
  std::vector<FakeLine> lines;
  std::atomic<int> status{0};
  std::atomic<int> runStartMs{0};  // RunStart takes this long unless cancelled
  std::atomic<bool> lowerFlag{true};
  std::atomic<bool> lowerAtEnd{false};  // lower after the delay instead of at the start
  std::atomic<int> made{0};
  // Called by RunStart once the flag is lowered (fills the grid for a show).
  std::function<void()> onRunning;
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> l(lock);
    events.push_back(e);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> l(lock);
    return events;
  }
  FakeLine Line(int i) {
    std::lock_guard<std::mutex> l(lock);
    return lines[static_cast<size_t>(i)];
  }
  template <class F>
  void Edit(int i, F f) {
    std::lock_guard<std::mutex> l(lock);
    f(lines[static_cast<size_t>(i)]);
  }
};

class FakeLineManager : public TagLineManager {
 public:
  explicit FakeLineManager(std::shared_ptr<FakeRecord> rec) : rec_(std::move(rec)) { ++rec_->made; }
  ~FakeLineManager() override { rec_->Add("Deleted"); }

  int Status() const override { return rec_->status.load(); }
  int LineCount() const override {
    std::lock_guard<std::mutex> l(rec_->lock);
    return static_cast<int>(rec_->lines.size());
  }
  std::string LineName(int line) const override { return Get(line).name; }
  bool LineScript(int line, std::string* script, int* initRet) const override {
    FakeLine f = Get(line);
    if (!f.hasScript) return false;
    *script = f.script;
    *initRet = f.initRet;
    return true;
  }
  int IsBlock(int line) const override {
    FakeLine f = Get(line);
    return f.hasScript ? f.block : -1;
  }
  bool GetLineTime(int line, long* elapsed, time_t* since) const override {
    FakeLine f = Get(line);
    if (!f.connected) return false;
    *elapsed = f.elapsed;
    *since = std::time(nullptr) - f.elapsed;
    return true;
  }
  int CountByType(int* ex, int* in, int* vir, int* ip) const override { return Count(false, ex, in, vir, ip); }
  int CountConnected(int* ex, int* in, int* vir, int* ip) const override { return Count(true, ex, in, vir, ip); }
  int CountIdle(int* ex, int* ip) const override {
    std::lock_guard<std::mutex> l(rec_->lock);
    for (auto& f : rec_->lines) {
      if (f.connected) continue;
      if (f.type == 1 || f.type == 4) ++*ex;
      if (f.type >= 5) ++*ip;
    }
    return *ex + *ip;
  }
  int CountReloadPending() const override {
    std::lock_guard<std::mutex> l(rec_->lock);
    int n = 0;
    for (auto& f : rec_->lines) n += f.reloadPending ? 1 : 0;
    return n;
  }
  int RunStart(const std::string& cfg) override {
    rec_->Add("RunStart " + cfg);
    if (rec_->lowerFlag && !rec_->lowerAtEnd) ClearCloseing();
    if (rec_->onRunning) rec_->onRunning();
    for (int waited = 0; waited < rec_->runStartMs && !cancel_; waited += 10) plat::SleepMs(10);
    if (rec_->lowerFlag && rec_->lowerAtEnd) ClearCloseing();
    rec_->Add(cancel_ ? "RunStart cancelled" : "RunStart done");
    return 0;
  }
  void CancelStart() override {
    cancel_ = true;
    rec_->Add("Cancel");
  }
  void StartReloadThread() override { rec_->Add("Reload"); }
  void RequestHangup(int line) override { rec_->Add("Hangup " + std::to_string(line)); }

 private:
  FakeLine Get(int line) const {
    std::lock_guard<std::mutex> l(rec_->lock);
    if (line < 0 || line >= static_cast<int>(rec_->lines.size())) return FakeLine{0, "", false};
    return rec_->lines[static_cast<size_t>(line)];
  }
  int Count(bool connectedOnly, int* ex, int* in, int* vir, int* ip) const {
    *ex = *in = *vir = *ip = 0;
    std::lock_guard<std::mutex> l(rec_->lock);
    for (auto& f : rec_->lines) {
      if (connectedOnly && !f.connected) continue;
      if (f.type == 1 || f.type == 4) ++*ex;
      else if (f.type == 2) ++*in;
      else if (f.type == 0) ++*vir;
      else if (f.type >= 5) ++*ip;
    }
    return *ex + *in + *vir + *ip;
  }

  std::shared_ptr<FakeRecord> rec_;
  std::atomic<bool> cancel_{false};
};

// Registers a factory making fakes over rec; the lines are virtual lines
// named like the real virtual card's.
inline void RegisterFakeLines(const std::shared_ptr<FakeRecord>& rec) {
  SetLineManagerFactory([rec](const std::string&, TagRunCfg*) -> std::unique_ptr<TagLineManager> {
    return std::make_unique<FakeLineManager>(rec);
  });
}

inline std::shared_ptr<FakeRecord> MakeFakeRecord(int lines, int type = 0) {
  auto rec = std::make_shared<FakeRecord>();
  for (int i = 0; i < lines; ++i) {
    FakeLine f;
    f.type = type;
    f.name = "VirtualLine" + std::to_string(i) + "#";
    rec->lines.push_back(f);
  }
  return rec;
}

}  // namespace testsupport
