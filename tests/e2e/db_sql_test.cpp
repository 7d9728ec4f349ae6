// MySQL from scripts of the real program, directly and through the
// connection pool, against a private MariaDB server that the client finds
// through MYSQL_TCP_PORT in the program's environment; the same server
// through its ODBC driver.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/support/mariadb_server.h"

namespace {

const char* const kScript = R"(h = 0;
n = 0;
v = "";
r = DbOpen(5, "127.0.0.1", "rodiz", "rodiz", "mylog", h);
Print("open " + r + "\n");
r = DbExec(h, "USE shop");
u = 0;
if (r >= 0)
{
  u = 1;
}
Print("use " + u + "\n");
r = DbExec(h, "SELECT name, qty FROM items WHERE id = 2");
r = DbRows(h, n);
Print("rows " + n + "\n");
r = DbGetField(h, "NAME", 1, v);
Print("name [" + v + "]\n");
r = DbGetField(h, 1, 1, v);
Print("qty [" + v + "]\n");
r = DbExec(h, "SELECT nothing FROM items");
w = 0;
if (r < 0)
{
  w = 1;
}
Print("failed " + w + "\n");
Print("END\n");
r = Sleep(0);
return(0);
)";

struct Case {
  const char* name;
  const char* cfg;
  int lines;
};

class DbSql : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    if (!testsupport::MariaDbServer::Installed()) return;
    server_ = new testsupport::MariaDbServer;
    if (!server_->Start()) return;
    server_->Sql("CREATE DATABASE shop; CREATE TABLE shop.items (id INT, name VARCHAR(10), qty INT);"
                 "INSERT INTO shop.items VALUES (1, 'pen', 3), (2, 'ink', 40);");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static testsupport::MariaDbServer* server_;
};
testsupport::MariaDbServer* DbSql::server_ = nullptr;

TEST_P(DbSql, ScriptsQueryMySql) {
  std::string why;
  if (!testsupport::MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(server_ && server_->Running()) << (server_ ? server_->Error() : "");
  testsupport::MariaDbServer& server = *server_;
  const Case& c = GetParam();
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.AddEnv("MYSQL_TCP_PORT=" + std::to_string(server.Port()));
  inst.Write("RoDizRun.cfg", std::string("IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\n") + c.cfg);
  inst.Write("t.kxs", kScript);
  ASSERT_GT(inst.Start(), 0);
  const std::string want = "open 0\nuse 1\nrows 1\nname [ink]\nqty [40]\nfailed 1\nEND\n";
  for (int line = 0; line < c.lines; ++line) {
    const std::string out = "_stdout" + std::to_string(line) + ".txt";
    std::string got;
    EXPECT_TRUE(e2e::WaitFor([&] { return (got = inst.Read(out)).find("END\n") != std::string::npos; }, 60000))
        << got << inst.LogText();
    EXPECT_EQ(got, want) << "line " << line;
  }
  EXPECT_EQ(inst.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    DirectAndPooled, DbSql,
    ::testing::Values(Case{"Direct", "VIR_LINES_NUM=1\n0 = t.kxs\n", 1},
                      Case{"PooledThreeLinesTwoBackends", "DB_MAX_CONN=2\nVIR_LINES_NUM=3\n0-2 = t.kxs\n", 3}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// A bit column read through the MariaDB ODBC driver with
// DB_BITFIELD_IS_DIGIT=1: each row its own digit.
const char* const kOdbcBitScript = R"S(h = 0;
v = "";
w = "";
r = DbOpen(4, "@CONN@", "", "", "odbc", h);
Print("open " + r + "\n");
r = DbExec(h, "SELECT f FROM flags ORDER BY id");
r = DbGetField(h, 0, 1, v);
r = DbGetField(h, 0, 2, w);
Print("bits [" + v + "] [" + w + "]\n");
Print("END\n");
r = Sleep(0);
return(0);
)S";

TEST(DbOdbcMariaDb, BitColumnsReadAsDigits) {
  std::string why;
  if (!testsupport::MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
  std::string driver;
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libmaodbc.so",
                        "/usr/lib/odbc/libmaodbc.so"})
    if (std::filesystem::exists(p)) driver = p;
  if (driver.empty()) GTEST_SKIP() << "MariaDB ODBC driver not installed (odbc-mariadb, scripts/deps)";
  testsupport::MariaDbServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  bool ok = false;
  server.Sql("CREATE TABLE flags (id INT, f BIT(1)); INSERT INTO flags VALUES (1, 1), (2, 0);", &ok,
             server.Database());
  ASSERT_TRUE(ok) << server.ErrorLog();
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nDB_BITFIELD_IS_DIGIT=1\nVIR_LINES_NUM=1\n0 = t.kxs\n");
  std::string script = kOdbcBitScript;
  script.replace(script.find("@CONN@"), 6,
                 "Driver=" + driver + ";Server=127.0.0.1;Port=" + std::to_string(server.Port()) + ";User=" +
                     server.User() + ";Password=" + server.Password() + ";Database=" + server.Database());
  inst.Write("t.kxs", script);
  ASSERT_GT(inst.Start(), 0);
  std::string got;
  EXPECT_TRUE(e2e::WaitFor([&] { return (got = inst.Read("_stdout0.txt")).find("END\n") != std::string::npos; }, 60000))
      << got << inst.LogText();
  EXPECT_EQ(got, "open 0\nbits [1] [0]\nEND\n");
  EXPECT_EQ(inst.Stop(), 0);
}

#ifdef FAKE_SYBDB_PATH
// SQL Server through the pool: three lines share two backends on the
// DB-Library test double, loaded in place of FreeTDS; the local copies keep
// the backend's fixed column widths.
const char* const kSqlServerScript = R"S(h = 0;
v = "";
n = 0;
r = DbOpen(1, "shop", "sa", "pw", "sqlapp", h);
Print("open " + r + "\n");
r = DbExec(h, "create table if not exists p(name varchar(20), qty int)");
r = DbExec(h, "insert into p select 'ink', 40 where not exists (select 1 from p)");
r = DbExec(h, "select name, qty from p");
Print("rows " + r + "\n");
r = DbGetField(h, "qty", 1, v);
Print("qty " + r + " [" + v + "]\n");
r = DbGetField(h, 0, 1, v);
Print("name " + r + "\n");
r = DbGetField(h, 0, 2, v);
Print("past " + r + "\n");
Print("END\n");
r = Sleep(0);
return(0);
)S";

TEST(DbSqlServer, PooledLinesShareTwoBackends) {
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.AddEnv(std::string("RODIZ_DBLIB_SQLSERVER=") + FAKE_SYBDB_PATH);
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nDB_MAX_CONN=2\nVIR_LINES_NUM=3\n0-2 = t.kxs\n");
  inst.Write("t.kxs", kSqlServerScript);
  ASSERT_GT(inst.Start(), 0);
  const std::string want = "open 0\nrows 1\nqty 11 [40         ]\nname 256\npast -2\nEND\n";
  for (int line = 0; line < 3; ++line) {
    const std::string out = "_stdout" + std::to_string(line) + ".txt";
    std::string got;
    EXPECT_TRUE(e2e::WaitFor([&] { return (got = inst.Read(out)).find("END\n") != std::string::npos; }, 60000))
        << got << inst.LogText();
    EXPECT_EQ(got, want) << "line " << line;
  }
  EXPECT_EQ(inst.Stop(), 0);
  // One shared log for every SQL Server connection of the process.
  const std::string log = inst.Read("sqlapp.log");
  EXPECT_NE(log.find("] Start SqlServer[1] ...\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] Start SqlServer[2] ...\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("] Start SqlServer[3] ...\n"), std::string::npos) << log;
}
#endif

}  // namespace
