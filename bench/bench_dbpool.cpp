// Pooled requests: 8 lines sending statements through one pooled connection
// with 1 to 4 backends, each statement taking 1 ms on its backend.
// Reports requests per second and the median time a request took.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "services/dbpool.h"

namespace {

class MsBackend : public TagDataSet {
 public:
  int ExecToLocal(const std::string& statement, TagLocalResult& target) override {
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

void BM_PooledRequests(benchmark::State& state) {
  const int backends = static_cast<int>(state.range(0));
  constexpr int kLines = 8;
  constexpr int kPerLine = 20;
  TagDbPoolSettings set;
  set.maxConn = [backends] { return backends; };
  set.maker = [](int, const std::string&, const std::string&, const std::string&, const std::string&) {
    return std::make_unique<MsBackend>();
  };
  std::vector<double> waits;
  int64_t requests = 0;
  double seconds = 0;
  for (auto _ : state) {
    TagDbConnectionsCtrl pool(set);
    std::vector<std::vector<double>> perLine(kLines);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> lines;
    for (int l = 0; l < kLines; ++l) {
      lines.emplace_back([&, l] {
        TagLocalData d(&pool, 1, "srv", "sa", "pw", "");
        for (int i = 0; i < kPerLine; ++i) {
          const auto t0 = std::chrono::steady_clock::now();
          d.Exec("select 1");
          perLine[l].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
      });
    }
    for (auto& t : lines) t.join();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    requests += kLines * kPerLine;
    for (auto& w : perLine) waits.insert(waits.end(), w.begin(), w.end());
  }
  std::sort(waits.begin(), waits.end());
  state.counters["req_per_s"] = seconds > 0 ? static_cast<double>(requests) / seconds : 0;
  state.counters["median_ms"] = waits.empty() ? 0 : waits[waits.size() / 2];
}
BENCHMARK(BM_PooledRequests)->DenseRange(1, 4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
