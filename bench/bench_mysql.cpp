// Reading every cell of a MySQL result through the data set: the client's
// row seek walks from the first row, so the data set keeps a row index and
// the read of all cells stays linear in the rows.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "services/dbclients.h"
#include "services/mysqldata.h"
#include "tests/support/mariadb_server.h"

namespace {

testsupport::MariaDbServer* Server() {
  static testsupport::MariaDbServer* server = [] {
    auto* s = new testsupport::MariaDbServer;
    const int port = testsupport::MariaDbServer::FreeTcpPort();
    setenv("MYSQL_TCP_PORT", std::to_string(port).c_str(), 1);
    s->UsePort(port);
    if (!s->Start()) return s;
    bool ok = false;
    s->Sql("CREATE TABLE IF NOT EXISTS rodiz.big (id INT, name VARCHAR(20), qty INT);"
           "DELETE FROM rodiz.big;"
           "INSERT INTO rodiz.big SELECT seq, CONCAT('item', seq), seq * 3 FROM seq_1_to_10000;",
           &ok, "rodiz");
    BindMySqlFile("libmariadb.so.3");
    return s;
  }();
  return server;
}

void BM_MySqlReadEveryCell(benchmark::State& state) {
  testsupport::MariaDbServer* server = Server();
  if (!server->Running()) {
    state.SkipWithError("no MariaDB server");
    return;
  }
  TagMySqlData d(server->Host(), server->User(), server->Password(), "");
  d.Exec("USE rodiz");
  if (d.Exec("SELECT COUNT(*) FROM big") < 0 || d.Rows() != 1) {
    state.SkipWithError("the table could not be read");
    return;
  }
  const std::string sql = "SELECT id, name, qty FROM big LIMIT " + std::to_string(state.range(0));
  std::string out;
  for (auto _ : state) {
    d.Exec(sql);
    const int rows = d.Rows();
    if (rows != state.range(0)) state.SkipWithError("short result");
    for (int r = 1; r <= rows; ++r)
      for (int c = 0; c < 3; ++c) benchmark::DoNotOptimize(d.GetValByIndex(out, c, r));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) * 3);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_MySqlReadEveryCell)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);

}  // namespace
