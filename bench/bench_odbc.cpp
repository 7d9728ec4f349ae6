// Rows fetched through ODBC: a SELECT of 100,000 rows x 5 columns from an
// SQLite database by the SQLite ODBC driver, fetched whole by the data set.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "services/ado.h"

namespace {

constexpr int kRows = 100000;

std::string Driver() {
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so",
                        "/usr/lib/odbc/libsqlite3odbc.so"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

void BM_OdbcFetchRows(benchmark::State& state) {
  const std::string driver = Driver();
  if (driver.empty()) {
    state.SkipWithError("SQLite ODBC driver not installed");
    return;
  }
  char tmpl[] = "/tmp/rodiz-bench-odbc-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  {
    TagAdoData d("Driver=" + driver + ";Database=" + dir + "/b.db", "");
    d.Exec("create table t (id integer, name varchar(20), city varchar(20), amount double, note varchar(40))");
    // One statement fills the table: a recursive count.
    d.Exec("insert into t with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
           std::to_string(kRows) + ") select i, 'name' || i, 'city' || (i % 97), i * 1.5, 'a note of some length' from n");
  }
  TagAdoData d("Driver=" + driver + ";Database=" + dir + "/b.db", "");
  for (auto _ : state) {
    if (d.Exec("select id, name, city, amount, note from t") != 0 || d.Rows() != kRows) {
      state.SkipWithError("select failed");
      break;
    }
  }
  state.counters["rows/s"] = benchmark::Counter(double(state.iterations()) * kRows, benchmark::Counter::kIsRate);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_OdbcFetchRows)->Unit(benchmark::kMillisecond);

}  // namespace
