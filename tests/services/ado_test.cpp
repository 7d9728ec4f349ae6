// The ODBC data set: statement sorting, the procedure-call parser, error
// classes; then the real SQLite ODBC driver (named by its path, no system
// DSN): create, insert and update counts, reads by name and index, rows
// outside the result, an unknown table in the log, the debug modes, bit
// columns, Chinese text, the local copy, a missing driver; and a private
// MariaDB server through its ODBC driver: procedures with quoted
// parameters, the lock retry and the reconnect after a restart.
#include "services/ado.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "core/runcfg.h"
#include "platform/text.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace {

std::string DriverPath(const char* file) {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc/", "/usr/lib/aarch64-linux-gnu/odbc/", "/usr/lib/odbc/",
                          "/usr/lib64/", "/usr/local/lib/"}) {
    const std::string p = std::string(dir) + file;
    if (std::filesystem::exists(p)) return p;
  }
  return "";
}

TEST(AdoParse, ProcedureCalls) {
  struct Case {
    const char* text;
    const char* name;
    std::vector<std::string> params;
  } cases[] = {
      {"exec p 1, 'a,b'", "p", {"1", "a,b"}},
      {"p 'x y'", "p", {"x y"}},
      {"EXEC p a b, c", "p", {"a", "c"}},
      {"Exec p", "Exec", {"p"}},
      {"exec   p\t\t7 ,  ' lead' ,x", "p", {"7", " lead", "x"}},
      {"exec p ''", "p", {""}},
      {"exec p '", "p", {"'"}},         // one quote keeps its only character
      {"exec p 1, '", "p", {"1", "'"}},
      {"exec p 'it''s'", "p", {"it''s"}},
      {"q", "q", {}},
      {"", "", {}},
  };
  for (const Case& c : cases) {
    const TagProcCall call = ParseProcCall(c.text);
    EXPECT_EQ(call.name, c.name) << c.text;
    EXPECT_EQ(call.params, c.params) << c.text;
  }
}

TEST(AdoParse, StatementKinds) {
  struct Case {
    const char* text;
    TagSqlKind kind;
  } cases[] = {
      {"select * from t", TagSqlKind::kQuery},   {"SELECT 1", TagSqlKind::kQuery},
      {"SELECT\t1", TagSqlKind::kProcedure},    {"selectx", TagSqlKind::kProcedure},
      {"insert into t values(1)", TagSqlKind::kUpdate}, {"Update t set a=1", TagSqlKind::kUpdate},
      {"delete from t", TagSqlKind::kUpdate},   {"create table t(a int)", TagSqlKind::kUpdate},
      {"drop table t", TagSqlKind::kUpdate},    {"alter table t add b int", TagSqlKind::kUpdate},
      {"use db", TagSqlKind::kUpdate},          {"set autocommit=0", TagSqlKind::kUpdate},
      {"SET x=1", TagSqlKind::kUpdate},         {"setx", TagSqlKind::kProcedure},
      {"exec p 1", TagSqlKind::kProcedure},     {"commit", TagSqlKind::kProcedure},
  };
  for (const Case& c : cases) EXPECT_EQ(SortStatement(c.text), c.kind) << c.text;
}

TEST(AdoParse, ErrorClasses) {
  struct Case {
    const char* state;
    std::string message;
    TagSqlRetry retry;
  } cases[] = {
      {"08S01", "Communication link failure", TagSqlRetry::kReconnect},
      {"08001", "refused", TagSqlRetry::kReconnect},
      {"HY000", "MySQL server has gone away", TagSqlRetry::kReconnect},
      {"HY000", "Lost connection to server during query", TagSqlRetry::kReconnect},
      {"HY000", "Connect failed", TagSqlRetry::kReconnect},
      // The driver's words when the server went away under an idle connection.
      {"HY000", "[ma-3.1.15][10.11.19-MariaDB]Write error: Broken pipe (32)", TagSqlRetry::kReconnect},
      {"HY000", "[ma-3.1.15][10.11.19-MariaDB]Read error: Connection reset by peer (104)", TagSqlRetry::kReconnect},
      {"HY000", "Server closed the connection", TagSqlRetry::kReconnect},
      {"HY000", plat::Utf8ToGbk("连接失败"), TagSqlRetry::kReconnect},
      {"40001", "Deadlock found when trying to get lock", TagSqlRetry::kRetry},
      {"HY000", "Lock wait timeout exceeded; try restarting transaction", TagSqlRetry::kRetry},
      {"HY000", "database is locked", TagSqlRetry::kRetry},
      {"HYT00", "Timeout expired", TagSqlRetry::kRetry},
      {"HY000", plat::Utf8ToGbk("死锁"), TagSqlRetry::kRetry},
      {"42S02", "no such table: nope", TagSqlRetry::kNone},
      {"42000", "You have an error in your SQL syntax", TagSqlRetry::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifySqlError(c.state, c.message), c.retry) << c.message;
}

// A working folder with its log folder, the SQL log read from it.
class AdoSqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = DriverPath("libsqlite3odbc.so");
    if (driver_.empty()) GTEST_SKIP() << "SQLite ODBC driver not installed (libsqliteodbc, scripts/deps)";
    std::filesystem::create_directory(dir_ / "log");
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
  }
  void TearDown() override {
    dbBitfieldIsDigit.store(0);
    cwd_.reset();
  }
  std::string Conn() const { return "Driver=" + driver_ + ";Database=" + (dir_ / "t.db"); }
  std::string Log() const { return testsupport::ReadFile(dir_ / "log/sqlapp.log"); }

  std::string driver_;
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
};

TEST_F(AdoSqlite, CreateInsertUpdateSelectAndRead) {
  TagAdoData d(Conn(), "app");
  ASSERT_EQ(d.status, 0);
  struct Step {
    const char* sql;
    int result;
  } steps[] = {
      {"  CREATE TABLE people (id INTEGER, name VARCHAR(20), ok BIT, note TEXT)\t", 0},
      {"insert into people values (1, 'ann', 1, NULL)", 1},
      {"insert into people values (2, 'bob', 0, 'x')", 1},
      {"insert into people values (3, 'cy', 1, 'y')", 1},
      {"update people set note = 'n'", 3},
      {"delete from people where id = 9", 0},
      {"select id, name, ok, note from people order by id", 0},
  };
  for (const Step& s : steps) EXPECT_EQ(d.Exec(s.sql), s.result) << s.sql << "\n" << Log();
  EXPECT_EQ(d.Rows(), 3);
  EXPECT_EQ(d.Cols(), 4);
  struct Read {
    const char* name;  // null: by index
    int col, row, result;
    const char* value;
  } reads[] = {
      {"NAME", 1, 2, 1, "bob"}, {nullptr, 0, 3, 0, "3"},  {"ok", 2, 1, 2, "True"}, {"ok", 2, 2, 2, "False"},
      {"note", 3, 1, 3, "n"},   {"nope", 0, 1, -1, ""},   {nullptr, 4, 1, -1, ""}, {nullptr, -1, 1, -1, ""},
  };
  for (const Read& r : reads) {
    std::string out = "old";
    const int got = r.name ? d.GetValByName(out, r.name, r.row) : d.GetValByIndex(out, r.col, r.row);
    EXPECT_EQ(got, r.result) << (r.name ? r.name : "#") << r.col;
    EXPECT_EQ(out, r.value) << (r.name ? r.name : "#") << r.col;
  }
  EXPECT_EQ(d.GetColIndex("Name"), 1);
  EXPECT_EQ(d.GetColIndex("zz"), -2);
  std::string name;
  EXPECT_EQ(d.GetColName(3, name), 3);
  EXPECT_EQ(name, "note");

  // A row outside the result reads empty and leaves the current row: the
  // next read of the following row is the right one.
  std::string out;
  d.GetValByIndex(out, 1, 2);
  for (int bad : {0, 4, -1}) {
    out = "old";
    EXPECT_EQ(d.GetValByIndex(out, 1, bad), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(d.CurrentRow(), 2);
  }
  d.GetValByIndex(out, 1, 3);
  EXPECT_EQ(out, "cy");
  d.GetValByIndex(out, 1, 2);
  EXPECT_EQ(out, "bob");

  dbBitfieldIsDigit.store(1);
  d.GetValByName(out, "ok", 1);
  EXPECT_EQ(out, "1");
  d.GetValByName(out, "ok", 2);
  EXPECT_EQ(out, "0");
  const std::string log = Log();
  EXPECT_NE(log.find("] Start.\n"), std::string::npos) << log;
}

TEST_F(AdoSqlite, FailuresAndTheDebugModes) {
  TagAdoData d(Conn(), "");
  ASSERT_EQ(d.status, 0);
  ASSERT_EQ(d.Exec("create table t (a int)"), 0);
  ASSERT_EQ(d.Exec("select a from t"), 0);
  EXPECT_EQ(d.Exec("select * from nope"), -3);
  EXPECT_EQ(d.Rows(), 0);
  EXPECT_EQ(d.Cols(), 0);
  std::string out = "old";
  EXPECT_EQ(d.GetValByIndex(out, 0, 1), -1);
  std::string log = Log();
  EXPECT_NE(log.find("] select * from nope\n"), std::string::npos) << log;
  EXPECT_NE(log.find("no such table: nope"), std::string::npos) << log;
  EXPECT_NE(log.find("] [HY000] "), std::string::npos) << log;
  EXPECT_EQ(d.lastError, "");

  d.SetDebug(1);
  EXPECT_EQ(d.Exec("insert into t values (5)"), 1);
  EXPECT_NE(Log().find("] insert into t values (5)\n"), std::string::npos);

  d.SetDebug(2);
  const size_t before = Log().size();
  EXPECT_EQ(d.Exec("select * from nope2"), -3);
  EXPECT_NE(d.lastError.find("no such table: nope2"), std::string::npos) << d.lastError;
  EXPECT_EQ(Log().size(), before);  // kept, not logged
  EXPECT_EQ(d.Exec("select a from t"), 0);
  EXPECT_EQ(d.lastError, "");
  EXPECT_EQ(d.Rows(), 1);
}

TEST_F(AdoSqlite, ChineseTextGoesAsUtf8AndComesBackAsGb) {
  const std::string gb = plat::Utf8ToGbk("张三");
  {
    TagAdoData d(Conn(), "");
    ASSERT_EQ(d.Exec("create table p (name varchar(10))"), 0);
    ASSERT_EQ(d.Exec("insert into p values ('" + gb + "')"), 1);
    ASSERT_EQ(d.Exec("select name from p where name = '" + gb + "'"), 0);
    ASSERT_EQ(d.Rows(), 1);
    std::string out;
    d.GetValByIndex(out, 0, 1);
    EXPECT_EQ(out, gb);
  }
  // In the file the text is UTF-8, as other programs read it.
  TagAdoData d(Conn(), "");
  ASSERT_EQ(d.Exec("select hex(name) from p"), 0);
  std::string hex;
  d.GetValByIndex(hex, 0, 1);
  EXPECT_EQ(hex, "E5BCA0E4B889");
}

class Local : public TagLocalResult {
 public:
  int Exec(const std::string&) override { return 0; }
  void Close() override { Empty(); }
};

TEST_F(AdoSqlite, LocalCopyTakesTheDebugModeAndCutsCells) {
  TagAdoData d(Conn(), "");
  ASSERT_EQ(d.Exec("create table t (id INTEGER, name VARCHAR(4), ok BIT, memo TEXT)"), 0);
  ASSERT_EQ(d.Exec("insert into t values (1, 'abcdefgh', 1, 'long memo text')"), 1);
  ASSERT_EQ(d.Exec("insert into t values (22, 'x', 0, NULL)"), 1);
  Local target;
  target.SetDebug(2);
  EXPECT_EQ(d.ExecToLocal("select id, name, ok, memo from t order by id", target), 2);
  EXPECT_EQ(d.debugMode, 2);
  ASSERT_EQ(target.Cols(), 4);
  EXPECT_EQ(target.Fields().list[1].width, 4u);  // the declared size
  EXPECT_EQ(target.Fields().list[3].width, 14u);  // a long column: its data
  struct Cell {
    int row, col;
    const char* text;
  } cells[] = {{1, 0, "1"}, {1, 1, "abcd"}, {1, 2, "True"}, {1, 3, "long memo text"},
               {2, 0, "22"}, {2, 1, "x"}, {2, 2, "False"}, {2, 3, ""}};
  for (const Cell& c : cells) {
    std::string out;
    target.GetValByIndex(out, c.col, c.row);
    EXPECT_EQ(out, c.text) << c.row << "," << c.col;
  }
  EXPECT_EQ(d.ExecToLocal("select * from nope", target), -3);
  EXPECT_NE(target.lastError.find("no such table"), std::string::npos);
  EXPECT_EQ(target.Rows(), 0);
}

TEST_F(AdoSqlite, AMissingDriverFailsTheFirstStatement) {
  TagAdoData d("Driver=" + (dir_ / "no-such-driver.so") + ";Database=x", "");
  ASSERT_EQ(d.status, 0);  // connections are made by the first statement
  EXPECT_EQ(d.Exec("select 1"), -3);
  const std::string log = Log();
  EXPECT_NE(log.find("no-such-driver.so"), std::string::npos) << log;
  // A driver that is missing is not a lost connection: one attempt only.
  EXPECT_EQ(log.find(plat::Utf8ToGbk("重连")), std::string::npos) << log;
}

TEST_F(AdoSqlite, TheSharedLogOpensWithTheFirstAndClosesWithTheLast) {
  {
    TagAdoData a(Conn(), "a");
    TagAdoData b(Conn(), "b");
    EXPECT_EQ(SqlAppLog().Users(), 2);
  }
  EXPECT_EQ(SqlAppLog().Users(), 0);
  EXPECT_FALSE(SqlAppLog().IsOpen());
  const std::string log = Log();
  size_t starts = 0, ends = 0;
  for (size_t p = 0; (p = log.find("] Start.\n", p)) != std::string::npos; ++p) ++starts;
  for (size_t p = 0; (p = log.find("] End.\n", p)) != std::string::npos; ++p) ++ends;
  EXPECT_EQ(starts, 2u);
  EXPECT_EQ(ends, 2u);
}

// --- MariaDB through its ODBC driver ---

class AdoMariaDb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testsupport::MariaDbServer::Installed(&why)) return;
    server_ = new testsupport::MariaDbServer();
    if (!server_->Start()) startError_ = server_->Error();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    std::string why;
    if (!testsupport::MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
    driver_ = DriverPath("libmaodbc.so");
    if (driver_.empty()) GTEST_SKIP() << "MariaDB ODBC driver not installed (odbc-mariadb, scripts/deps)";
    ASSERT_TRUE(server_ && server_->Running()) << startError_;
    std::filesystem::create_directory(dir_ / "log");
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
  }
  void TearDown() override { cwd_.reset(); }
  std::string Conn() const {
    return "Driver=" + driver_ + ";Server=127.0.0.1;Port=" + std::to_string(server_->Port()) +
           ";User=" + server_->User() + ";Password=" + server_->Password() + ";Database=" + server_->Database() +
           ";CHARSET=utf8mb4";
  }
  std::string Log() const { return testsupport::ReadFile(dir_ / "log/sqlapp.log"); }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
    return n;
  }

  static testsupport::MariaDbServer* server_;
  static std::string startError_;
  std::string driver_;
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
};
testsupport::MariaDbServer* AdoMariaDb::server_ = nullptr;
std::string AdoMariaDb::startError_;

TEST_F(AdoMariaDb, StoredProcedureWithQuotedAndCommaParameters) {
  TagAdoData d(Conn(), "proc");
  ASSERT_EQ(d.Exec("DROP PROCEDURE IF EXISTS echo2"), 0) << Log();
  ASSERT_EQ(d.Exec("CREATE PROCEDURE echo2(IN a VARCHAR(40), IN b VARCHAR(40)) "
                   "SELECT a AS first, b AS second, CHAR_LENGTH(b) AS blen"),
            0)
      << Log();
  struct Case {
    const char* call;
    const char* first;
    const char* second;
    const char* blen;
  } cases[] = {
      {"exec echo2 1, 'a,b'", "1", "a,b", "3"},
      {"EXEC echo2 'x y', ' padded '", "x y", " padded ", "8"},
      {"echo2 7, '", "7", "'", "1"},  // a lone quote is a parameter of one character
      {"exec echo2 '', ''", "", "", "0"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(d.Exec(c.call), 0) << c.call << "\n" << Log();
    ASSERT_EQ(d.Rows(), 1) << c.call;
    std::string out;
    d.GetValByName(out, "first", 1);
    EXPECT_EQ(out, c.first) << c.call;
    d.GetValByName(out, "second", 1);
    EXPECT_EQ(out, c.second) << c.call;
    d.GetValByName(out, "blen", 1);
    EXPECT_EQ(out, c.blen) << c.call;
  }
  EXPECT_EQ(d.Exec("exec no_such_proc 1"), -3);
  EXPECT_EQ(d.Rows(), 0);
  EXPECT_NE(Log().find("no_such_proc"), std::string::npos);
}

TEST_F(AdoMariaDb, ALockErrorRunsTheStatementASecondTime) {
  TagAdoData holder(Conn(), "");
  TagAdoData d(Conn(), "");
  ASSERT_EQ(holder.Exec("DROP TABLE IF EXISTS locked"), 0) << Log();
  ASSERT_EQ(holder.Exec("CREATE TABLE locked (id INT PRIMARY KEY, v INT) ENGINE=InnoDB"), 0) << Log();
  ASSERT_EQ(holder.Exec("INSERT INTO locked VALUES (1, 0)"), 1);
  // The holder keeps the row locked in an open transaction: both attempts
  // wait out the lock time-out and fail.
  ASSERT_EQ(holder.Exec("SET autocommit=0"), 0);
  ASSERT_EQ(holder.Exec("UPDATE locked SET v = 1 WHERE id = 1"), 1);
  EXPECT_EQ(d.Exec("UPDATE locked SET v = 2 WHERE id = 1"), -3);
  EXPECT_EQ(Count(Log(), "Lock wait timeout"), 2u) << Log();

  // Released after the first failure: the second attempt succeeds.
  std::atomic<bool> released{false};
  std::thread releaser([&] {
    testsupport::WaitFor([&] { return Count(Log(), "Lock wait timeout") >= 3; }, 60000);
    holder.Exec("SET autocommit=1");  // commits
    released = true;
  });
  EXPECT_EQ(d.Exec("UPDATE locked SET v = 3 WHERE id = 1"), 1);
  releaser.join();
  EXPECT_TRUE(released.load());
  EXPECT_EQ(Count(Log(), "Lock wait timeout"), 3u) << Log();
  ASSERT_EQ(d.Exec("SELECT v FROM locked"), 0);
  std::string v;
  d.GetValByIndex(v, 0, 1);
  EXPECT_EQ(v, "3");
}

TEST_F(AdoMariaDb, BitColumnsReadAsTheirValues) {
  TagAdoData d(Conn(), "bit");
  ASSERT_EQ(d.Exec("DROP TABLE IF EXISTS flags"), 0) << Log();
  ASSERT_EQ(d.Exec("CREATE TABLE flags (id INT, f BIT(1))"), 0) << Log();
  ASSERT_EQ(d.Exec("INSERT INTO flags VALUES (1, 1), (2, 0), (3, NULL)"), 3) << Log();
  ASSERT_EQ(d.Exec("SELECT f FROM flags ORDER BY id"), 0) << Log();
  ASSERT_EQ(d.Rows(), 3);
  struct Case {
    uint8_t digits;
    const char* one;
    const char* zero;
  } cases[] = {{1, "1", "0"}, {0, "True", "False"}};
  for (const Case& c : cases) {
    dbBitfieldIsDigit.store(c.digits);
    std::string out;
    d.GetValByIndex(out, 0, 1);
    EXPECT_EQ(out, c.one);
    d.GetValByIndex(out, 0, 2);
    EXPECT_EQ(out, c.zero);
    d.GetValByIndex(out, 0, 3);
    EXPECT_EQ(out, "");
  }
  dbBitfieldIsDigit.store(0);
}

TEST_F(AdoMariaDb, ALostConnectionIsMadeAgainOnce) {
  TagAdoData d(Conn(), "re");
  ASSERT_EQ(d.Exec("SELECT CONNECTION_ID() AS id"), 0) << Log();
  std::string first;
  d.GetValByIndex(first, 0, 1);
  ASSERT_FALSE(first.empty());

  server_->Kill();
  ASSERT_TRUE(server_->Start()) << server_->Error();
  ASSERT_EQ(d.Exec("SELECT CONNECTION_ID() AS id"), 0) << Log();
  std::string second;
  d.GetValByIndex(second, 0, 1);
  EXPECT_FALSE(second.empty());
  const std::string log = Log();
  EXPECT_EQ(Count(log, plat::Utf8ToGbk("重连step1...")), 1u) << log;
  EXPECT_EQ(Count(log, plat::Utf8ToGbk("重连.\n")), 1u) << log;

  // With the server down both attempts fail: -3, one reconnect more.
  server_->Stop();
  EXPECT_EQ(d.Exec("SELECT 1"), -3);
  EXPECT_EQ(Count(Log(), plat::Utf8ToGbk("重连step1...")), 2u) << Log();
  ASSERT_TRUE(server_->Start()) << server_->Error();
  EXPECT_EQ(d.Exec("SELECT 1"), 0);
}

}  // namespace
