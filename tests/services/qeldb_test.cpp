// The gateway data set through our gateway library and the gateway daemon,
// which runs the statements on a SQLite file through ODBC.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "services/dbclients.h"
#include "services/qeldbdata.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"
#include "tools/qeldb/wire.h"

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
  // A daemon that does not end on SIGTERM is a fault of the daemon; it is
  // killed so the test run still ends.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int st = 0;
    const bool ended = testsupport::WaitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 60000);
    if (!ended) {
      ADD_FAILURE() << "the gateway daemon did not end within 60 s of SIGTERM";
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
    pid_ = -1;
  }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

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

// A field of /proc/PID/status in kB (or a count); -1 when unreadable.
long ProcStatus(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once the daemon has closed the connection.
bool ClosedByDaemon(int fd) {
  char b;
  return qelwire::WaitReady(fd, POLLIN, 30000) && recv(fd, &b, 1, 0) <= 0;
}

// A client announcing a frame it never sends costs the daemon nothing: one
// before its login may not even be large.
TEST_F(QelDbTest, AnnouncedFramesAreNotAllocatedBeforeTheyArrive) {
  const long before = ProcStatus(gw_->Pid(), "VmRSS");
  ASSERT_GT(before, 0);
  std::vector<int> fds;
  for (int i = 0; i < 8; ++i) {
    const int fd = Connect(gw_->Port());
    ASSERT_GE(fd, 0);
    const char huge[4] = {0, 0, 0, 0x10};  // 256 MB
    ASSERT_EQ(send(fd, huge, 4, MSG_NOSIGNAL), 4);
    fds.push_back(fd);
  }
  for (int fd : fds) {
    EXPECT_TRUE(ClosedByDaemon(fd));
    close(fd);
  }
  EXPECT_LT(ProcStatus(gw_->Pid(), "VmRSS"), before + 64 * 1024);
  // Still serving.
  auto d = Open();
  EXPECT_EQ(d->Exec("SELECT 1"), 1) << Log();
}

// Threads end with their clients: many connect/close cycles leave the
// daemon's address space where it was.
TEST_F(QelDbTest, ConnectionThreadsAreJoinedAsClientsLeave) {
  const long before = ProcStatus(gw_->Pid(), "VmSize");
  ASSERT_GT(before, 0);
  for (int i = 0; i < 400; ++i) {
    const int fd = Connect(gw_->Port());
    ASSERT_GE(fd, 0);
    close(fd);
  }
  // Each thread's stack (8 MB of address space) goes once it is joined;
  // what stays is the allocator's arenas (two at most) and its stack cache.
  EXPECT_TRUE(testsupport::WaitFor([&] { return ProcStatus(gw_->Pid(), "VmSize") < before + 512 * 1024; }, 30000))
      << ProcStatus(gw_->Pid(), "VmSize") << " kB, from " << before;
  auto d = Open();
  EXPECT_EQ(d->Exec("SELECT 1"), 1) << Log();
}

// Guessing passwords on one connection is slowed: each refusal waits longer.
TEST_F(QelDbTest, RefusedLoginsAreAnsweredLater) {
  const int fd = Connect(gw_->Port());
  ASSERT_GE(fd, 0);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    qelwire::Writer w;
    w.Int(qelwire::kOpen);
    w.Str("");
    w.Str("gw");
    w.Str("guess" + std::to_string(i));
    ASSERT_TRUE(qelwire::SendFrame(fd, w.Body(), 30000));
    std::string reply;
    ASSERT_TRUE(qelwire::RecvFrame(fd, &reply, 30000));
    qelwire::Reader r(reply);
    int32_t ok = 0;
    ASSERT_TRUE(r.Int(&ok));
    EXPECT_EQ(ok, -1);
  }
  // At least the delays of the three refusals (0.5 + 1 + 2 s); a loaded
  // machine only makes it longer.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  close(fd);
}

// A stop is not held up by a logged-in client halfway through a request:
// the daemon ends at once, not when that read would give up.
TEST_F(QelDbTest, StopEndsAClientHalfwayThroughARequest) {
  const int fd = Connect(gw_->Port());
  ASSERT_GE(fd, 0);
  qelwire::Writer login;
  login.Int(qelwire::kOpen);
  login.Str("");
  login.Str("gw");
  login.Str("pw");
  ASSERT_TRUE(qelwire::SendFrame(fd, login.Body(), 30000));
  std::string reply;
  ASSERT_TRUE(qelwire::RecvFrame(fd, &reply, 30000));
  qelwire::Reader r(reply);
  int32_t ok = -1;
  ASSERT_TRUE(r.Int(&ok));
  ASSERT_EQ(ok, 0);
  qelwire::Writer part;
  part.Int(100);
  part.Int(qelwire::kExec);
  ASSERT_EQ(send(fd, part.Body().data(), part.Body().size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.Body().size()));
  // Time for the daemon to be inside the read of the rest.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  gw_->Stop();  // fails the test if the daemon outlives its wait
  EXPECT_TRUE(ClosedByDaemon(fd));
  close(fd);
}

// The daemon's command line, run without a test database behind it.
TEST(QelDbDaemonCommandLine, HelpUnknownOptionsAndAnUnreachableDatabase) {
  struct Case {
    std::string args;
    int exitCode;
    std::string says;
  } cases[] = {
      {"--help", 0, "usage: qeldbgwd --odbc CONNECTION"},
      {"", 2, "--odbc CONNECTION is required"},
      {"--bogus 1", 2, "unknown option --bogus"},
      {"--odbc", 2, "--odbc needs a value"},
      {"--port x --odbc DRIVER=SQLite3", 2, "bad port x"},
      {"--port 1 --odbc DRIVER=NoSuchDriverHere", 1, "cannot connect to the database"},
  };
  for (const Case& c : cases) {
    FILE* p = popen((std::string(QELDB_DAEMON) + " " + c.args + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    const int st = pclose(p);
    ASSERT_TRUE(WIFEXITED(st)) << c.args;
    EXPECT_EQ(WEXITSTATUS(st), c.exitCode) << c.args << ": " << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
  }
}

}  // namespace
