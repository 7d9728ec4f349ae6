// The SQL Server connection against the DB-Library test double (SQLite
// behind it), plus one smoke test of the real FreeTDS library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "services/dbclients.h"
#include "services/syb.h"
#include "services/sybdata.h"
#include "tests/support/tempdir.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

struct FakeControl {
  void* h = nullptr;
  void (*setDir)(const char*) = nullptr;
  void (*refuse)(int) = nullptr;
  void (*killAll)() = nullptr;
  void (*failFetchAfter)(long) = nullptr;
  int (*defaultCalls)() = nullptr;
  const char* (*journal)() = nullptr;
  void (*reset)() = nullptr;
};

FakeControl OpenControl() {
  FakeControl c;
  c.h = dlopen(FAKE_SYBDB_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!c.h) return c;
  c.setDir = reinterpret_cast<void (*)(const char*)>(dlsym(c.h, "fakesyb_SetDir"));
  c.refuse = reinterpret_cast<void (*)(int)>(dlsym(c.h, "fakesyb_RefuseLogins"));
  c.killAll = reinterpret_cast<void (*)()>(dlsym(c.h, "fakesyb_KillAll"));
  c.failFetchAfter = reinterpret_cast<void (*)(long)>(dlsym(c.h, "fakesyb_FailFetchAfter"));
  c.defaultCalls = reinterpret_cast<int (*)()>(dlsym(c.h, "fakesyb_DefaultHandlerCalls"));
  c.journal = reinterpret_cast<const char* (*)()>(dlsym(c.h, "fakesyb_Journal"));
  c.reset = reinterpret_cast<void (*)()>(dlsym(c.h, "fakesyb_Reset"));
  return c;
}

class SybTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindSybFile(FAKE_SYBDB_PATH), 0);
    fake_ = OpenControl();
    ASSERT_TRUE(fake_.h && fake_.setDir && fake_.reset);
    fake_.reset();
    fake_.setDir(dir_.path().c_str());
    logName_ = dir_ / "sqlapp";
  }
  void TearDown() override {
    UnbindSybLibrary();
    if (fake_.h) dlclose(fake_.h);
  }
  std::unique_ptr<TagSyb> Open(const std::string& server = "srv") {
    return std::make_unique<TagSyb>(server, "sa", "secret", logName_);
  }
  std::string Log() const { return ReadFile(logName_ + ".log"); }
  std::string Journal() const { return fake_.journal(); }

  TempDir dir_;
  FakeControl fake_;
  std::string logName_;
};

TEST_F(SybTest, LoginWritesTheLogAndSendsTheNames) {
  {
    auto s = Open();
    EXPECT_EQ(s->status, 0);
    EXPECT_EQ(TagSyb::Count(), 1);
  }
  EXPECT_EQ(TagSyb::Count(), 0);
  const std::string log = Log();
  const size_t started = log.find("] ZuRudIdovar Started.\n");
  const size_t start = log.find("] Start SqlServer[1] ...\n");
  const size_t closed = log.find("] ZuRudIdovar Closed.\n");
  ASSERT_NE(started, std::string::npos) << log;
  ASSERT_NE(start, std::string::npos) << log;
  ASSERT_NE(closed, std::string::npos) << log;
  EXPECT_LT(started, start);
  EXPECT_LT(start, closed);
  // The application name goes in as the log name.
  EXPECT_NE(Journal().find("LOGIN srv sa " + logName_), std::string::npos) << Journal();
}

TEST_F(SybTest, RefusedLoginReachesOurHandlersNotTheLibraryDefault) {
  fake_.refuse(1);
  auto s = Open();
  EXPECT_EQ(s->status, -1);
  // dbinit ran before the handlers went in, so the default one never ran.
  EXPECT_EQ(fake_.defaultCalls(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("] Msg 18456, Level 14, State 1 : Line 1\n\tLogin failed for user 'sa'.\n\n"), std::string::npos)
      << log;
  // No connection came back, so the error handler reports it dead.
  EXPECT_NE(log.find("] DB-Connection status : DEAD!\n"), std::string::npos) << log;
}

TEST_F(SybTest, ColumnsAreFixedWidthByType) {
  auto s = Open();
  ASSERT_EQ(s->status, 0);
  const std::string longText(300, 'x');
  ASSERT_EQ(s->Exec("create table t(v varchar(300), i int, m money, b bit, s smallint, c char(10), d datetime, "
                    "f float, y tinyint, bin varbinary(8))"),
            0);
  ASSERT_EQ(s->Exec("insert into t values('" + longText + "', -2147483648, 12.5, 1, 7, 'ab', '2024-01-02', 1.5, 9, 'q')"),
            0);
  ASSERT_EQ(s->Exec("select * from t"), 1);
  struct Case {
    const char* name;
    int width;
    std::string value;
  };
  const Case cases[] = {
      {"v", 256, std::string(256, 'x')},  // a 300-character varchar is cut to 256
      {"i", 11, "-2147483648"},
      {"m", 26, "12.5" + std::string(22, ' ')},
      {"b", 3, "1  "},
      {"s", 6, "7     "},
      {"c", 256, "ab" + std::string(254, ' ')},
      {"d", 27, "2024-01-02" + std::string(17, ' ')},
      {"f", 20, "1.5" + std::string(17, ' ')},
      {"y", 3, "9  "},
      {"bin", 16, "q" + std::string(15, ' ')},
  };
  ASSERT_EQ(s->result.cols, 10);
  int offset = 0;
  for (const Case& c : cases) {
    const int i = s->ColIndex(c.name);
    ASSERT_GE(i, 0) << c.name;
    EXPECT_EQ(s->result.columns[i].width, c.width) << c.name;
    EXPECT_EQ(s->result.columns[i].offset, offset) << c.name;
    offset += c.width;
    std::string v;
    EXPECT_TRUE(s->Cell(0, i, &v));
    EXPECT_EQ(v, c.value) << c.name;
  }
  EXPECT_EQ(s->result.rowWidth, offset);
  EXPECT_EQ(s->ColIndex("V"), 0);
  EXPECT_EQ(s->ColIndex("nope"), -1);
}

TEST_F(SybTest, RowCountsAndTheLastResultSetOfABatch) {
  auto s = Open();
  ASSERT_EQ(s->Exec("create table n(k int)"), 0);
  ASSERT_EQ(s->Exec("insert into n values(1); insert into n values(2); insert into n values(3)"), 0);
  struct Case {
    const char* sql;
    int rows;
    int cols;
  };
  const Case cases[] = {
      {"select k from n order by k", 3, 1},
      {"select k, k from n where k > 1", 2, 2},
      {"select k from n where k > 9", 0, 1},
      {"update n set k = k + 10", 0, 0},
      {"select k from n; select count(*) as c, 5 as z from n", 1, 2},  // the last set is kept
      {"select k from n; delete from n where k = 0", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(s->Exec(c.sql), c.rows) << c.sql;
    EXPECT_EQ(s->result.cols, c.cols) << c.sql;
  }
  ASSERT_EQ(s->Exec("select k from n order by k"), 3);
  std::string v;
  EXPECT_TRUE(s->Cell(2, 0, &v));
  EXPECT_EQ(v, "13" + std::string(9, ' '));
  for (int row : {-1, 3}) {
    EXPECT_FALSE(s->Cell(row, 0, &v)) << row;
    EXPECT_EQ(v, "");
  }
  EXPECT_FALSE(s->Cell(0, 1, &v));
}

TEST_F(SybTest, SqlErrorGoesThroughTheMessageHandler) {
  auto s = Open();
  EXPECT_EQ(s->Exec("selec nothing"), -2);
  const std::string log = Log();
  const size_t msg = log.find("] Msg 102, Level 15, State 1 : Server 'srv', Line 1\n\t");
  const size_t err = log.find("] 'selec nothing' Err!\n");
  ASSERT_NE(msg, std::string::npos) << log;
  ASSERT_NE(err, std::string::npos) << log;
  EXPECT_LT(msg, err);
  // The connection is still good for the next statement.
  EXPECT_EQ(s->Exec("select 1 as one"), 1);
}

TEST_F(SybTest, LostConnectionReconnectsAndReplaysTheFirstUse) {
  auto s = Open();
  ASSERT_EQ(s->Exec("USE shop"), 0);
  ASSERT_EQ(s->Exec("use other"), 0);  // sent, but not remembered
  fake_.killAll();
  EXPECT_EQ(s->Exec("select 2 as two"), 1);
  std::string v;
  EXPECT_TRUE(s->Cell(0, 0, &v));
  EXPECT_EQ(v, "2          ");
  const std::string log = Log();
  EXPECT_NE(log.find("] ReConnect OK\n"), std::string::npos) << log;
  const std::string j = Journal();
  const size_t relogin = j.rfind("LOGIN srv");
  ASSERT_NE(relogin, std::string::npos);
  const std::string after = j.substr(relogin);
  EXPECT_NE(after.find("\nSEND USE shop\nSEND select 2 as two\n"), std::string::npos) << j;
  EXPECT_EQ(after.find("use other"), std::string::npos) << j;
}

TEST_F(SybTest, LostConnectionThatCannotBeMadeAgainFails) {
  auto s = Open();
  fake_.killAll();
  fake_.refuse(1);
  EXPECT_EQ(s->Exec("select 1"), -1);
  EXPECT_NE(Log().find("] ReConnect Failed\n"), std::string::npos) << Log();
  fake_.refuse(0);
  EXPECT_EQ(s->Exec("select 1"), 1);
}

TEST_F(SybTest, FailedFetchEndsTheRowLoop) {
  auto s = Open();
  ASSERT_EQ(s->Exec("create table r(k int)"), 0);
  ASSERT_EQ(s->Exec("insert into r values(1),(2),(3),(4),(5)"), 0);
  fake_.failFetchAfter(2);
  EXPECT_EQ(s->Exec("select k from r"), 2);
  fake_.failFetchAfter(-1);
  EXPECT_EQ(s->Exec("select k from r"), 5);
}

TEST_F(SybTest, WithoutTheLibraryTheStatusSaysSo) {
  UnbindSybLibrary();
  auto s = Open();
  EXPECT_EQ(s->status, -2);
  EXPECT_EQ(s->Exec("select 1"), -1);
  EXPECT_NE(Log().find("] Load ntwdblib.dll fail, Must install SQL Server client-tools first.\n"), std::string::npos);
}

// A local result with nothing behind it, to copy into.
struct PlainLocal : TagLocalResult {
  int Exec(const std::string&) override { return 0; }
  void Close() override {}
};

TEST_F(SybTest, DataSetSlotsAndTheCopyIntoALocalResult) {
  TagSybData d("srv", "sa", "secret", logName_);
  ASSERT_EQ(d.status, 0);
  ASSERT_EQ(d.Exec("create table p(name varchar(20), qty int)"), 0);
  ASSERT_EQ(d.Exec("insert into p values('pen', 3), ('ink', 40)"), 0);
  ASSERT_EQ(d.Exec("select name, qty from p order by qty"), 2);
  EXPECT_EQ(d.Rows(), 2);
  EXPECT_EQ(d.Cols(), 2);
  std::string out;
  struct Case {
    int col;
    int row;
    int result;
    std::string value;
  };
  const Case cells[] = {
      {0, 1, 1, "pen" + std::string(253, ' ')}, {1, 2, 1, "40" + std::string(9, ' ')},
      {1, 0, 0, ""}, {1, 3, 0, ""}, {2, 1, 0, ""}, {-1, 1, 0, ""},
  };
  for (const Case& c : cells) {
    out = "stale";
    EXPECT_EQ(d.GetValByIndex(out, c.col, c.row), c.result) << c.col << "," << c.row;
    EXPECT_EQ(out, c.value) << c.col << "," << c.row;
  }
  EXPECT_EQ(d.GetValByName(out, "QTY", 1), 1);
  EXPECT_EQ(out, "3" + std::string(10, ' '));
  EXPECT_EQ(d.GetValByName(out, "none", 1), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(d.GetColName(1, out), 1);
  EXPECT_EQ(out, "qty");
  EXPECT_EQ(d.GetColName(2, out), -2);
  EXPECT_EQ(d.GetColIndex("Name"), 0);
  EXPECT_EQ(d.GetColIndex("none"), -2);

  PlainLocal local;
  EXPECT_EQ(d.ExecToLocal("select name, qty from p order by qty", local), 2);
  ASSERT_EQ(local.Cols(), 2);
  EXPECT_EQ(local.Fields().list[0].width, 256u);
  EXPECT_EQ(local.Fields().list[1].width, 11u);
  EXPECT_EQ(local.GetValByName(out, "qty", 2), 11);
  EXPECT_EQ(out, "40" + std::string(9, ' '));
  // A failure keeps its text to itself and leaves the local result empty.
  d.lastError = "kept";
  EXPECT_EQ(d.ExecToLocal("selec", local), -2);
  EXPECT_EQ(local.Rows(), 0);
  EXPECT_EQ(local.lastError, "");

  EXPECT_EQ(d.SetDebug(1), 1);
  EXPECT_EQ(d.debugMode, 0);
  d.Exec("select 1");
  EXPECT_NE(Log().find("] --> [select 1]\n"), std::string::npos);
}

TEST_F(SybTest, RefusedDataSetAnswersMinusOne) {
  fake_.refuse(1);
  TagSybData d("srv", "sa", "bad", logName_);
  EXPECT_EQ(d.status, -1);
  std::string out;
  EXPECT_EQ(d.Exec("select 1"), -1);
  EXPECT_EQ(d.Rows(), -1);
  EXPECT_EQ(d.Cols(), -1);
  EXPECT_EQ(d.GetColName(0, out), -1);
  EXPECT_EQ(d.GetColIndex("x"), -1);
  EXPECT_EQ(d.GetValByIndex(out, 0, 1), 0);
}

// The real FreeTDS: a login to a port where nothing listens fails and the
// program goes on (its own default handler would have ended it).
TEST(SybRealLibrary, FailedLoginLeavesTheProcessRunning) {
  TempDir dir;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);  // the port is free and nobody listens
  const std::string server = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  setenv("FREETDSCONF", (dir / "none.conf").c_str(), 1);
  ASSERT_EQ(BindSybFile("libsybdb.so.5"), 0);
  {
    TagSyb s(server, "sa", "secret", dir / "real");
    EXPECT_EQ(s.status, -1);
    EXPECT_EQ(s.Exec("select 1"), -1);
  }
  UnbindSybLibrary();
  const std::string log = ReadFile(dir / "real.log");
  // Our handler ran (the library's default would have ended the process).
  EXPECT_NE(log.find("] DB-Connection status : DEAD!\n"), std::string::npos) << log;
}

}  // namespace
