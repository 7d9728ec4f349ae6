// The MySQL data set against a private MariaDB server. The client finds the
// server through MYSQL_TCP_PORT, since the data set passes no port.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "services/dbclients.h"
#include "services/mysqldata.h"
#include "tests/support/mariadb_server.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

using testsupport::MariaDbServer;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// The client library reads MYSQL_TCP_PORT once per process, at its first
// use, which may come from another test of this program: set before main.
const int g_serverPort = [] {
  const int port = MariaDbServer::FreeTcpPort();
  setenv("MYSQL_TCP_PORT", std::to_string(port).c_str(), 1);
  return port;
}();

struct PlainLocal : TagLocalResult {
  int Exec(const std::string&) override { return 0; }
  void Close() override {}
};

class MySqlDataTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!MariaDbServer::Installed(&why)) return;
    server_ = new MariaDbServer;
    server_->UsePort(g_serverPort);
    if (!server_->Start()) return;
    bool ok = false;
    server_->Sql("CREATE DATABASE IF NOT EXISTS shop; CREATE TABLE IF NOT EXISTS shop.items (id INT, name VARCHAR(10),"
                 " note TEXT); DELETE FROM shop.items; INSERT INTO shop.items VALUES (1,'pen',NULL),(2,'ink','blue');",
                 &ok);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    std::string why;
    if (!MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(server_ && server_->Running()) << (server_ ? server_->Error() : "no server");
    ASSERT_EQ(BindMySqlFile("libmariadb.so.3"), 0);
  }
  void TearDown() override { UnbindMySqlLibrary(); }

  std::unique_ptr<TagMySqlData> Open(const std::string& password = "rodiz") {
    return std::make_unique<TagMySqlData>(server_->Host(), server_->User(), password, log_);
  }
  std::string Log() const { return ReadFile(log_ + ".log"); }

  static MariaDbServer* server_;
  TempDir dir_;
  std::string log_ = dir_ / "my";
};
MariaDbServer* MySqlDataTest::server_ = nullptr;

TEST(MySqlUseDatabase, NameIsTrimmed) {
  const std::pair<const char*, const char*> cases[] = {
      {"USE shop", "shop"}, {"USE shop;", "shop"}, {"use `shop`", "shop"}, {"USE  shop ; ", "shop"},
      {"USE `shop`;", "shop"}, {"USE ", ""}, {"USE\tshop\n", "shop"},
  };
  for (const auto& [stmt, db] : cases) EXPECT_EQ(TagMySqlData::UseDatabase(stmt), db) << stmt;
}

TEST_F(MySqlDataTest, SelectsAndReadsFields) {
  auto d = Open();
  ASSERT_EQ(d->status, 0) << Log();
  EXPECT_EQ(d->Exec("USE shop;"), 0);
  EXPECT_EQ(d->RememberedUse(), "USE shop;");
  ASSERT_EQ(d->Exec("SELECT id, name, note FROM items ORDER BY id"), 0);
  EXPECT_EQ(d->Rows(), 2);
  EXPECT_EQ(d->Cols(), 3);
  struct Case {
    int col;
    int row;
    int result;
    const char* value;
  };
  const Case cases[] = {
      {0, 1, 0, "1"}, {1, 2, 1, "ink"}, {2, 1, 2, ""},  // a null value reads empty
      {2, 2, 2, "blue"}, {0, 0, -1, ""}, {0, 3, -1, ""}, {3, 1, -1, ""}, {-1, 1, -1, ""},
  };
  std::string out;
  for (const Case& c : cases) {
    out = "stale";
    EXPECT_EQ(d->GetValByIndex(out, c.col, c.row), c.result) << c.col << "," << c.row;
    EXPECT_EQ(out, c.value) << c.col << "," << c.row;
  }
  EXPECT_EQ(d->GetValByName(out, "NAME", 1), 1);
  EXPECT_EQ(out, "pen");
  EXPECT_EQ(d->GetValByName(out, "nothing", 1), -1);
  EXPECT_EQ(d->GetColIndex("Note"), 2);
  EXPECT_EQ(d->GetColIndex("nothing"), -2);
  EXPECT_EQ(d->GetColName(1, out), 1);
  EXPECT_EQ(out, "name");
  EXPECT_EQ(d->GetColName(3, out), -1);

  // An update gives 0 and no rows.
  EXPECT_EQ(d->Exec("UPDATE items SET note = 'red' WHERE id = 1"), 0);
  EXPECT_EQ(d->Rows(), 0);
  EXPECT_EQ(d->Exec("UPDATE items SET note = NULL WHERE id = 1"), 0);

  // A failure is negative, with its text kept in debug mode 2.
  d->SetDebug(2);
  EXPECT_LT(d->Exec("SELECT * FROM missing_table"), 0);
  EXPECT_NE(d->lastError.find("Error: Table 'shop.missing_table' doesn't exist"), std::string::npos) << d->lastError;
  EXPECT_EQ(d->Rows(), 0);
}

TEST_F(MySqlDataTest, BadPasswordFailsTheOpenWithTheClientsText) {
  auto d = Open("wrong");
  EXPECT_EQ(d->status, -1);
  EXPECT_EQ(d->lastError, "Open:Connect Err");
  EXPECT_EQ(d->Exec("SELECT 1"), -1);
  d.reset();
  const std::string log = Log();
  EXPECT_NE(log.find("] Start.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] Failed to connect to database: Error: Access denied for user 'rodiz'"), std::string::npos)
      << log;
  EXPECT_NE(log.find("] End.\n"), std::string::npos) << log;
}

TEST_F(MySqlDataTest, OnlyTheFirstUseAndTheFirstSetAfterItAreRemembered) {
  auto d = Open();
  EXPECT_EQ(d->Exec("set @early = 1"), 0);
  EXPECT_EQ(d->RememberedSet(), "");
  EXPECT_EQ(d->Exec("use shop"), 0);
  EXPECT_EQ(d->Exec("SET NAMES utf8mb4"), 0);
  EXPECT_EQ(d->Exec("USE rodiz"), 0);  // only run
  EXPECT_EQ(d->Exec("set @late = 2"), 0);
  EXPECT_EQ(d->RememberedUse(), "use shop");
  EXPECT_EQ(d->RememberedSet(), "SET NAMES utf8mb4");
  ASSERT_EQ(d->Exec("SELECT DATABASE() AS db, @@character_set_client AS cs"), 0);
  std::string out;
  d->GetValByIndex(out, 0, 1);
  EXPECT_EQ(out, "rodiz");
  d->GetValByIndex(out, 1, 1);
  EXPECT_EQ(out, "utf8mb4");
}

TEST_F(MySqlDataTest, RestartedServerReconnectsAndReplaysUseAndSet) {
  auto d = Open();
  ASSERT_EQ(d->Exec("USE shop"), 0);
  ASSERT_EQ(d->Exec("set character_set_results = latin1"), 0);
  ASSERT_TRUE(server_->Restart()) << server_->Error();
  ASSERT_EQ(d->Exec("SELECT name, DATABASE(), @@character_set_results FROM items WHERE id = 2"), 0) << Log();
  std::string out;
  d->GetValByIndex(out, 0, 1);
  EXPECT_EQ(out, "ink");
  d->GetValByIndex(out, 1, 1);
  EXPECT_EQ(out, "shop");
  d->GetValByIndex(out, 2, 1);
  EXPECT_EQ(out, "latin1");
  const std::string log = Log();
  const size_t gone = log.find("ver has gone away");
  const size_t again = log.find("] Reconnecting...\n");
  const size_t open = log.find("] Open('shop') is 0.\n");
  ASSERT_NE(gone, std::string::npos) << log;
  ASSERT_NE(again, std::string::npos) << log;
  ASSERT_NE(open, std::string::npos) << log;
  EXPECT_LT(gone, again);
  EXPECT_LT(again, open);
}

TEST_F(MySqlDataTest, KilledDuringAStatementReconnectsOnlyOnTheNext) {
  auto d = Open();
  ASSERT_EQ(d->Exec("USE shop"), 0);
  std::atomic<int> result{1};
  std::thread t([&] { result = d->Exec("SELECT SLEEP(30)"); });
  const bool running = testsupport::WaitFor(
      [&] { return server_->Sql("SHOW PROCESSLIST").find("SLEEP(30)") != std::string::npos; }, 30000);
  server_->Kill();
  t.join();
  ASSERT_TRUE(running);
  EXPECT_LT(result.load(), 0);
  EXPECT_EQ(Log().find("Reconnecting..."), std::string::npos) << Log();
  ASSERT_TRUE(server_->Start()) << server_->Error();
  EXPECT_EQ(d->Exec("SELECT id FROM items"), 0) << Log();
  EXPECT_EQ(d->Rows(), 2);
  EXPECT_NE(Log().find("] Open('shop') is 0.\n"), std::string::npos) << Log();
}

TEST_F(MySqlDataTest, StoppedServerGivesNegativeResultsNotSuccess) {
  auto d = Open();
  ASSERT_EQ(d->Exec("USE shop"), 0);
  server_->Stop();
  // The client answers -1 or 1: the statement fails either way, and the
  // reconnect that is tried fails for good.
  EXPECT_LT(d->Exec("SELECT 1"), 0);
  EXPECT_EQ(d->status, -1);
  ASSERT_TRUE(server_->Start()) << server_->Error();
  EXPECT_EQ(d->Exec("SELECT 1"), -1);
  // Serving again (a stop sent while it still starts up can be lost).
  bool ok = false;
  EXPECT_TRUE(testsupport::WaitFor([&] {
    server_->Sql("SELECT 1", &ok);
    return ok;
  }));
}

TEST_F(MySqlDataTest, CopyIntoALocalResultBoundsTheWidths) {
  auto d = Open();
  ASSERT_EQ(d->Exec("USE shop"), 0);
  PlainLocal local;
  ASSERT_EQ(d->ExecToLocal("SELECT id, name, note FROM items ORDER BY id", local), 2);
  ASSERT_EQ(local.Cols(), 3);
  EXPECT_EQ(local.Fields().list[0].width, 11u);
  EXPECT_GE(local.Fields().list[1].width, 10u);
  EXPECT_EQ(local.Fields().list[2].width, static_cast<size_t>(TagMySqlData::kMaxLocalWidth));
  std::string out;
  local.GetValByName(out, "note", 2);
  EXPECT_EQ(out, "blue");
  local.GetValByIndex(out, 1, 1);
  EXPECT_EQ(out, "pen");
  EXPECT_EQ(d->ExecToLocal("UPDATE items SET id = id WHERE 1 = 0", local), 0);
  d->SetDebug(2);
  EXPECT_LT(d->ExecToLocal("SELECT nope FROM items", local), 0);
  EXPECT_NE(local.lastError.find("Unknown column"), std::string::npos) << local.lastError;
}

TEST(MySqlUnbound, OpenFailsAndSaysSo) {
  UnbindMySqlLibrary();
  TempDir dir;
  {
    TagMySqlData d("127.0.0.1", "u", "p", dir / "x");
    EXPECT_EQ(d.status, -1);
    EXPECT_EQ(d.Exec("SELECT 1"), -1);
  }
  EXPECT_NE(ReadFile(dir / "x.log").find("] Load libmySQL.dll fail!\n"), std::string::npos);
}

}  // namespace
