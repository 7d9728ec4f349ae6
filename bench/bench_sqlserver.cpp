// Fetching a large SQL Server result into fixed-width rows, through the
// DB-Library test double (SQLite behind it): the row block grows
// geometrically, so the fetch stays linear in the rows.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "services/dbclients.h"
#include "services/syb.h"

namespace {

bool Ready() {
  static const bool ready = [] {
    if (BindSybFile(FAKE_SYBDB_PATH) != 0) return false;
    void* fake = dlopen(FAKE_SYBDB_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!fake) return false;
    const std::string dir = (std::filesystem::temp_directory_path() / "rodiz-bench-sybdb").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    reinterpret_cast<void (*)(const char*)>(dlsym(fake, "fakesyb_SetDir"))(dir.c_str());
    TagSyb s("big", "sa", "pw", "");
    s.Exec("create table t(id int, name varchar(20), price money)");
    s.Exec("with recursive n(i) as (select 1 union all select i + 1 from n where i < 100000) "
           "insert into t select i, 'item' || i, i * 1.5 from n");
    return s.status == 0;
  }();
  return ready;
}

void BM_SqlServerFetch(benchmark::State& state) {
  if (!Ready()) {
    state.SkipWithError("no DB-Library test double");
    return;
  }
  TagSyb s("big", "sa", "pw", "");
  const std::string sql = "select id, name, price from t limit " + std::to_string(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(s.Exec(sql));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SqlServerFetch)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);

}  // namespace
