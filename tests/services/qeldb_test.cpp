// The gateway data set through our gateway library and the gateway daemon,
// which runs the statements on a SQLite file through ODBC.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "services/dbclients.h"
#include "services/qeldbdata.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

extern char** environ;

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// The gateway daemon as a child process.
class Gateway {
 public:
  Gateway(std::string dbFile, int port) : db_(std::move(dbFile)), port_(port) {}
  ~Gateway() { Stop(); }
  bool Start() {
    std::vector<std::string> args = {QELDB_DAEMON, "--port", std::to_string(port_), "--odbc",
                                     "DRIVER=SQLite3;Database=" + db_, "--user", "gw", "--password", "pw"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    return testsupport::WaitFor([&] { return Listening(port_); }, 30000);
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }
  int Port() const { return port_; }

 private:
  std::string db_;
  int port_;
  pid_t pid_ = -1;
};

class QelDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindQelDbFile(QELDB_LIBRARY), 0);
    gw_ = std::make_unique<Gateway>(dir_ / "gw.db", FreePort());
    ASSERT_TRUE(gw_->Start());
  }
  void TearDown() override {
    gw_.reset();
    UnbindQelDbLibrary();
  }
  std::unique_ptr<TagQelDbData> Open(const std::string& password = "pw") {
    return std::make_unique<TagQelDbData>("127.0.0.1", gw_->Port(), "gw", password, log_);
  }
  std::string Log() const { return ReadFile(log_ + ".log"); }

  TempDir dir_;
  std::string log_ = dir_ / "gw";
  std::unique_ptr<Gateway> gw_;
};

struct PlainLocal : TagLocalResult {
  int Exec(const std::string&) override { return 0; }
  void Close() override {}
};

TEST_F(QelDbTest, SelectsAndReadsFields) {
  auto d = Open();
  ASSERT_EQ(d->status, 0) << Log();
  ASSERT_EQ(d->Exec("CREATE TABLE items (id INTEGER, name VARCHAR(10), note TEXT)"), 0);
  ASSERT_EQ(d->Exec("INSERT INTO items VALUES (1, 'pen', NULL), (2, 'ink', '" + std::string(5000, 'b') + "')"), 2);
  ASSERT_EQ(d->Exec("SELECT id, name, note FROM items ORDER BY id"), 2);
  EXPECT_EQ(d->Rows(), 2);
  EXPECT_EQ(d->Cols(), 3);
  struct Case {
    int col;
    int row;
    int result;
    std::string value;
  };
  const Case cases[] = {
      {1, 1, 0, "pen"}, {0, 2, 0, "2"}, {2, 1, 0, ""},
      {2, 2, 0, std::string(4099, 'b')},  // cut to what a read delivers
      {0, 0, -2, ""}, {0, 3, -2, ""},     // the library refuses the row
      {3, 1, -1, ""},
  };
  std::string out;
  for (const Case& c : cases) {
    out = "stale";
    EXPECT_EQ(d->GetValByIndex(out, c.col, c.row), c.result) << c.col << "," << c.row;
    EXPECT_EQ(out, c.value) << c.col << "," << c.row;
  }
  EXPECT_EQ(d->GetValByName(out, "NAME", 2), 0);
  EXPECT_EQ(out, "ink");
  EXPECT_EQ(d->GetValByName(out, "name", 9), -2);
  EXPECT_EQ(d->GetColName(2, out), 2);
  EXPECT_EQ(out, "note");
  EXPECT_LT(d->GetColName(3, out), 0);
  EXPECT_EQ(d->GetColIndex("Id"), 0);
  EXPECT_LT(d->GetColIndex("none"), 0);

  PlainLocal local;
  ASSERT_EQ(d->ExecToLocal("SELECT name, id FROM items ORDER BY id", local), 2);
  EXPECT_EQ(local.Fields().list[0].width, 10u);
  local.GetValByIndex(out, 0, 2);
  EXPECT_EQ(out, "ink");
  local.GetValByName(out, "id", 1);
  EXPECT_EQ(out, "1");
}

TEST_F(QelDbTest, SqlErrorIsLoggedAndRetriedOnceOnANewConnection) {
  auto d = Open();
  EXPECT_EQ(d->Exec("SELEC 1"), -1);
  EXPECT_EQ(d->LastReturnCode(), -1);
  const std::string log = Log();
  const size_t first = log.find("] QelDbExec[SELEC 1]: ret=-1, retCode=-1\n");
  const size_t error = log.find("] Error: [SQLite]near \"SELEC\"");
  const size_t again = log.find("] Reconnecting...\n");
  const size_t open = log.find("] Open() is 0.\n");
  ASSERT_NE(first, std::string::npos) << log;
  ASSERT_NE(error, std::string::npos) << log;
  ASSERT_NE(again, std::string::npos) << log;
  ASSERT_NE(open, std::string::npos) << log;
  EXPECT_LT(first, again);
  EXPECT_LT(again, open);
  EXPECT_NE(log.find("QelDbExec[SELEC 1]", open), std::string::npos) << log;  // run again
  d->SetDebug(2);
  EXPECT_EQ(d->Exec("SELEC 2"), -1);
  EXPECT_NE(d->lastError.find("near \"SELEC\""), std::string::npos) << d->lastError;
}

TEST_F(QelDbTest, RestartedDaemonReconnects) {
  auto d = Open();
  ASSERT_EQ(d->Exec("CREATE TABLE t (v INTEGER)"), 0);
  ASSERT_EQ(d->Exec("INSERT INTO t VALUES (7)"), 1);
  gw_->Stop();
  ASSERT_TRUE(gw_->Start());
  EXPECT_EQ(d->Exec("SELECT v FROM t"), 1) << Log();
  std::string out;
  d->GetValByIndex(out, 0, 1);
  EXPECT_EQ(out, "7");
  const std::string log = Log();
  EXPECT_NE(log.find("] Error: connection to the gateway lost\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] Open() is 0.\n"), std::string::npos) << log;
}

TEST_F(QelDbTest, StoppedDaemonFailsForGood) {
  auto d = Open();
  gw_->Stop();
  EXPECT_LT(d->Exec("SELECT 1"), 0);
  EXPECT_EQ(d->status, -1);
  ASSERT_TRUE(gw_->Start());
  EXPECT_EQ(d->Exec("SELECT 1"), -1);
  EXPECT_NE(Log().find("] Failed to connect to database: Error: 127.0.0.1:" + std::to_string(gw_->Port())),
            std::string::npos)
      << Log();
}

TEST_F(QelDbTest, RefusedLoginAndMissingLibrary) {
  auto d = Open("wrong");
  EXPECT_EQ(d->status, -1);
  EXPECT_EQ(d->lastError, "Open:Connect Err");
  EXPECT_EQ(d->Exec("SELECT 1"), -1);
  UnbindQelDbLibrary();
  TagQelDbData unbound("127.0.0.1", gw_->Port(), "gw", "pw", dir_ / "unbound");
  EXPECT_EQ(unbound.status, -1);
  EXPECT_NE(ReadFile(dir_ / "unbound.log").find("] Load QelDbApi.dll fail!\n"), std::string::npos);
}

}  // namespace
