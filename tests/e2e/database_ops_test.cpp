// Databases from a script of the real program: a dBASE table appended to,
// rewritten and read, its map; an SQLite database through its ODBC driver
// (created, filled, updated, queried, an unknown table in the SQL log, the
// debug switch keeping the error for the script to read); bad handles; closing.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/text.h"
#include "tests/e2e/harness.h"

namespace {

std::string SqliteDriver() {
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so",
                        "/usr/lib/odbc/libsqlite3odbc.so"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

// An empty table with the fields ID (3) and NAME (6).
std::string EmptyTable() {
  std::string h(32, '\0');
  h[0] = 3;
  h[8] = 97;
  h[10] = 10;
  auto desc = [](const char* name, char len) {
    std::string d(32, '\0');
    d.replace(0, std::string(name).size(), name);
    d[11] = 'C';
    d[16] = len;
    return d;
  };
  return h + desc("ID", 3) + desc("NAME", 6) + "\r\x1A";
}

const char* const kScript = R"S(h = -1;
a = -1;
v = "";
n = 0;
m = 0;
e = "";
sys = 0;
r = DbOpen(0, "data\people.dbf", "", "", "", h);
Print("open dbf " + r + " " + h + "\n");
r = DbSetField(h, "ID", -1, "1");
r2 = DbSetField(h, 1, r, "张三");
Print("append " + r + " " + r2 + "\n");
r = DbSetField(h, "ID", -1, "2");
r2 = DbSetField(h, "NAME", r, "bob");
r = DbGetField(h, "NAME", 1, v);
Print("get " + r + " [" + v + "]\n");
r = DbRows(h, n);
Print("rows " + r + " " + n + "\n");
r = DbExecMap(h, "data\people.dbf", m, 2, "id");
Print("map " + r + " " + m["2"]["NAME"] + "\n");
r = DbOpen(4, "Driver=@DRIVER@;Database=calls.db", "", "", "app", a);
Print("open odbc " + r + " " + a + "\n");
r = DbExec(a, "create table calls (id integer, who varchar(20), ok bit)");
Print("create " + r + "\n");
r = DbExec(a, "insert into calls values (1, 'ann', 1)");
r = DbExec(a, "insert into calls values (2, '李四', 0)");
r = DbExec(a, "update calls set ok = 1");
Print("update " + r + "\n");
s = "  select who, ok from calls order by id  ";
r = DbExec(a, s);
Print("select " + r + " [" + s + "]\n");
r = DbGetField(a, "who", 2, v);
Print("who " + r + " " + v + "\n");
r = DbGetField(a, 1, 1, v);
Print("ok " + r + " " + v + "\n");
r = DbExec(a, "select * from nope");
Print("nope " + r + "\n");
r = DbSetDebug(a, 2);
r = DbExec(a, "select * from nope2");
Print("kept " + r + "\n");
r = GetSysInfoVal("dberrinfo", e);
Print("err " + r + " [" + e + "]\n");
r = GetSysInfo(sys);
Print("sys [" + sys["DbErrInfo"] + "]\n");
r = DbExec(7, "select 1");
Print("bad handle " + r + "\n");
r = DbClose(h);
Print("close " + r + "\n");
r = DbCloseAll();
Print("close all " + r + "\n");
r = DbExec(a, "select 1");
Print("closed " + r + "\n");
Print("END\n");
r = Sleep(0);
return(0);
)S";

const char* const kExpected = R"(open dbf 0 0
append 1 1
get 1 [  张三]
rows 2 2
map 2 bob
open odbc 1 1
create 0
update 2
select 0 [  select who, ok from calls order by id  ]
who 0 李四
ok 1 True
nope -3
kept -3
err 0 [[HY000] [SQLite]no such table: nope2 (1)]
sys [[HY000] [SQLite]no such table: nope2 (1)]
bad handle -2
close 0
close all 0
closed -2
END
)";

TEST(DatabaseOps, DbaseAndOdbcFromAScript) {
  const std::string driver = SqliteDriver();
  if (driver.empty()) GTEST_SKIP() << "SQLite ODBC driver not installed (libsqliteodbc, scripts/deps)";
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0 = t.kxs\n");
  inst.Write("Data/People.DBF", EmptyTable());
  std::filesystem::create_directories(inst.Path("log"));
  std::string script = kScript;
  script.replace(script.find("@DRIVER@"), 8, driver);
  inst.Write("t.kxs", plat::Utf8ToGbk(script));
  ASSERT_GT(inst.Start(), 0);
  std::string got;
  const bool done = e2e::WaitFor(
      [&] {
        got = inst.Read("_stdout0.txt");
        return got.find("END\n") != std::string::npos;
      },
      60000);
  ASSERT_TRUE(done) << plat::GbkToUtf8(got) << plat::GbkToUtf8(inst.LogText()) << plat::GbkToUtf8(inst.Read("errmsg0.txt"));
  EXPECT_EQ(plat::GbkToUtf8(got), kExpected);
  const std::string sqlLog = plat::GbkToUtf8(inst.Read("log/sqlapp.log"));
  EXPECT_NE(sqlLog.find("] select * from nope\n"), std::string::npos) << sqlLog;
  EXPECT_NE(sqlLog.find("] [HY000] [SQLite]no such table: nope"), std::string::npos) << sqlLog;
  EXPECT_EQ(sqlLog.find("nope2"), std::string::npos) << sqlLog;  // kept for the script instead
  EXPECT_NE(sqlLog.find("] End.\n"), std::string::npos) << sqlLog;  // closed by DbCloseAll
  const std::string log = inst.LogText();
  EXPECT_NE(log.find("DbExec: ret=-3, i=1, dbCount=2"), std::string::npos) << log;
  EXPECT_NE(log.find("DbExec: ret=-2, i=7, dbCount=2"), std::string::npos) << log;
  // The table on disk: two records, names right-aligned in GB bytes.
  const std::string table = inst.Read("Data/People.DBF");
  EXPECT_EQ(table.substr(97), "   1" + plat::Utf8ToGbk("  张三") + "   2   bob\x1A");
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace
