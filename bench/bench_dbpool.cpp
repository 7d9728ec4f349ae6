// Pooled requests: 8 lines sending statements through one pooled connection
// with 1 or 4 backends, each statement taking 1 ms on its backend. Each
// iteration runs the same load twice, through the pool and through a plain
// first-in-first-out hand-over woken by a condition variable (the peer),
// so the two are measured side by side under the same machine load.
// Reports requests per second of both, their ratio and the median time a
// request took through the pool.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "services/dbpool.h"

namespace {

constexpr int kLines = 8;
constexpr int kPerLine = 40;

class MsBackend : public TagDataSet {
 public:
  int ExecToLocal(const std::string&, TagLocalResult& target) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    target.Empty();
    target.SetRowCount(1);
    target.AddField("v", 8);
    target.Allocate();
    return 1;
  }
  int Exec(const std::string&) override { return 0; }
  int Rows() override { return 0; }
  int Cols() override { return 0; }
  int GetColName(int, std::string&) override { return -1; }
  int GetColIndex(const std::string&) override { return -1; }
  int GetValByName(std::string&, const std::string&, int) override { return -1; }
  int GetValByIndex(std::string&, int, int) override { return -1; }
  void Close() override {}
};

// The peer: idle backends on a list, waiting requests in arrival order, a
// release handing its backend to the oldest and waking it.
class CondVarHandOver {
 public:
  explicit CondVarHandOver(int backends) {
    for (int i = 0; i < backends; ++i) all_.push_back(std::make_unique<MsBackend>());
    for (auto& b : all_) idle_.push_back(b.get());
  }
  int Exec(const std::string& statement, TagLocalResult& local) {
    struct Waiter {
      MsBackend* got = nullptr;
      std::condition_variable cv;
    } me;
    MsBackend* b;
    {
      std::unique_lock<std::mutex> g(lock_);
      if (!idle_.empty() && waiting_.empty()) {
        b = idle_.back();
        idle_.pop_back();
      } else {
        waiting_.push_back(&me.got);
        cvs_.push_back(&me.cv);
        me.cv.wait(g, [&] { return me.got != nullptr; });
        b = me.got;
      }
    }
    const int r = b->ExecToLocal(statement, local);
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!waiting_.empty()) {
        *waiting_.front() = b;
        cvs_.front()->notify_one();
        waiting_.pop_front();
        cvs_.pop_front();
      } else {
        idle_.push_back(b);
      }
    }
    return r;
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<MsBackend>> all_;
  std::vector<MsBackend*> idle_;
  std::deque<MsBackend**> waiting_;
  std::deque<std::condition_variable*> cvs_;
};

// A local result to receive the copies (the pool's own data set type).
class Target : public TagLocalData {
 public:
  Target() : TagLocalData(nullptr, 1, "", "", "", "") {}
};

// Runs kLines threads of kPerLine requests; gives the wall seconds and
// appends each request's milliseconds.
double RunLines(const std::function<void(int line, std::vector<double>& ms)>& line, std::vector<double>& all) {
  std::vector<std::vector<double>> perLine(kLines);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> lines;
  for (int l = 0; l < kLines; ++l) lines.emplace_back([&, l] { line(l, perLine[static_cast<size_t>(l)]); });
  for (auto& t : lines) t.join();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (auto& w : perLine) all.insert(all.end(), w.begin(), w.end());
  return s;
}

void BM_PoolAgainstCondVarHandOver(benchmark::State& state) {
  const int backends = static_cast<int>(state.range(0));
  TagDbPoolSettings set;
  set.maxConn = [backends] { return backends; };
  set.maker = [](int, const std::string&, const std::string&, const std::string&, const std::string&) {
    return std::make_unique<MsBackend>();
  };
  std::vector<double> poolMs, peerMs;
  double poolSeconds = 0, peerSeconds = 0;
  int64_t passes = 0;
  for (auto _ : state) {
    {
      TagDbConnectionsCtrl pool(set);
      poolSeconds += RunLines(
          [&](int, std::vector<double>& ms) {
            TagLocalData d(&pool, 1, "srv", "sa", "pw", "");
            for (int i = 0; i < kPerLine; ++i) {
              const auto t0 = std::chrono::steady_clock::now();
              if (d.Exec("select 1") != 1) state.SkipWithError("pooled request failed");
              ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            }
          },
          poolMs);
    }
    {
      CondVarHandOver peer(backends);
      peerSeconds += RunLines(
          [&](int, std::vector<double>& ms) {
            Target d;
            for (int i = 0; i < kPerLine; ++i) {
              const auto t0 = std::chrono::steady_clock::now();
              peer.Exec("select 1", d);
              ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            }
          },
          peerMs);
    }
    ++passes;
  }
  const double requests = static_cast<double>(passes) * kLines * kPerLine;
  const double poolRate = poolSeconds > 0 ? requests / poolSeconds : 0;
  const double peerRate = peerSeconds > 0 ? requests / peerSeconds : 0;
  std::sort(poolMs.begin(), poolMs.end());
  std::sort(peerMs.begin(), peerMs.end());
  state.counters["pool_req_per_s"] = poolRate;
  state.counters["condvar_req_per_s"] = peerRate;
  state.counters["pool_vs_condvar"] = peerRate > 0 ? poolRate / peerRate : 0;
  state.counters["pool_median_ms"] = poolMs.empty() ? 0 : poolMs[poolMs.size() / 2];
  state.counters["condvar_median_ms"] = peerMs.empty() ? 0 : peerMs[peerMs.size() / 2];
}
BENCHMARK(BM_PoolAgainstCondVarHandOver)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
