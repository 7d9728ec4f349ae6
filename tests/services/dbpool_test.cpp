// The connection pool: shared backends, the wait for a free one, USE
// statements, close and reopen, and many lines at once. Real SQL Server
// backends run on the DB-Library test double; the scheduling cases use a
// small backend whose statements wait for the test.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/dbclients.h"
#include "services/dbpool.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

// A backend that answers every statement with one row holding the
// statement's first 16 bytes, and holds statements that start with "slow"
// until the gate opens.
struct Shared {
  std::atomic<bool> gate{true};
  std::atomic<int> made{0};
  std::atomic<int> failFirst{0};  // this many backends fail to connect
  std::atomic<int> overlap{0};    // a backend ran two statements at once
  std::atomic<bool> connectGate{true};  // backends connect once it opens
  std::mutex lock;
  std::vector<std::string> journal;  // "backend#: statement"
};

class GateBackend : public TagDataSet {
 public:
  GateBackend(Shared* s, int id) : s_(s), id_(id) {}
  int ExecToLocal(const std::string& statement, TagLocalResult& target) override {
    if (inside_.fetch_add(1) != 0) ++s_->overlap;
    {
      std::lock_guard<std::mutex> g(s_->lock);
      s_->journal.push_back(std::to_string(id_) + ": " + statement);
    }
    if (statement.rfind("slow", 0) == 0) WaitFor([&] { return s_->gate.load(); }, 60000);
    target.Empty();
    target.SetRowCount(1);
    target.AddField("v", 16);
    target.Allocate();
    size_t w = 0;
    char* cell = target.Cell(0, 0, &w);
    std::memcpy(cell, statement.data(), std::min(w, statement.size()));
    --inside_;
    return 1;
  }
  int Exec(const std::string& statement) override {
    std::lock_guard<std::mutex> g(s_->lock);
    s_->journal.push_back(std::to_string(id_) + ": " + statement);
    return 0;
  }
  int Rows() override { return 0; }
  int Cols() override { return 0; }
  int GetColName(int, std::string&) override { return -1; }
  int GetColIndex(const std::string&) override { return -1; }
  int GetValByName(std::string&, const std::string&, int) override { return -1; }
  int GetValByIndex(std::string&, int, int) override { return -1; }
  void Close() override {}

 private:
  Shared* s_;
  int id_;
  std::atomic<int> inside_{0};
};

TagDbPoolSettings GateSettings(Shared* s, int maxConn, int rounds = 200, int sleepMs = 5) {
  TagDbPoolSettings set;
  set.maxConn = [maxConn] { return maxConn; };
  set.waitRounds = rounds;
  set.sleepMs = sleepMs;
  set.closeSleepMs = 5;
  set.maker = [s](int, const std::string&, const std::string&, const std::string&, const std::string&) {
    const int id = ++s->made;
    auto b = std::make_unique<GateBackend>(s, id);
    if (s->failFirst.load() > 0) {
      --s->failFirst;
      b->status = -1;
    }
    return b;
  };
  return set;
}

std::string Value(TagLocalData& d, int col = 0, int row = 1) {
  std::string out;
  d.GetValByIndex(out, col, row);
  return out;
}

TEST(DbPool, LinesOfOneDatabaseShareOneConnection) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 2));
  TagLocalData a(&pool, 1, "srv", "sa", "pw", "log1");
  TagLocalData b(&pool, 1, "srv", "sa", "pw", "log2");  // d is not part of the key
  TagLocalData c(&pool, 1, "srv", "sa", "pw", "log3");
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(c.status, 0);
  ASSERT_EQ(pool.Count(), 1);
  EXPECT_EQ(pool.At(0)->Backends(), 2);
  EXPECT_EQ(pool.At(0)->OpenCount(), 3);
  struct Case {
    int type;
    const char* a;
    const char* b;
    const char* c;
    int index;
  };
  const Case others[] = {
      {1, "srv", "other", "pw", 1}, {5, "srv", "sa", "pw", 2}, {1, "srv2", "sa", "pw", 3}, {1, "srv", "sa", "x", 4},
      {1, "srv", "other", "pw", 1},
  };
  for (const Case& o : others) EXPECT_EQ(pool.Open(o.type, o.a, o.b, o.c, "d"), o.index) << o.a << o.b << o.c;
  // dBASE tables and the gateway are never pooled.
  for (int bad : {0, 7, 2, 3, 6, 8, -1}) EXPECT_EQ(pool.Open(bad, "srv", "sa", "pw", "d"), -1) << bad;
  EXPECT_EQ(pool.Exec(99, "select 1", a), -10);
  EXPECT_EQ(pool.Close(-1), -10);
  EXPECT_EQ(a.Exec("select 1"), 1);
  EXPECT_EQ(Value(a), "select 1");
}

TEST(DbPool, TimedOutRequestKeepsTheBackendUsable) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 1, 20, 5));
  TagLocalData slow(&pool, 1, "srv", "sa", "pw", "");
  TagLocalData other(&pool, 1, "srv", "sa", "pw", "");
  s.gate = false;
  std::atomic<int> slowResult{0};
  std::thread t([&] { slowResult = slow.Exec("slow statement"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return !s.journal.empty();
  }));
  EXPECT_EQ(other.Exec("select 2"), -200);
  EXPECT_EQ(pool.At(0)->Waiting(), 0);
  s.gate = true;
  t.join();
  EXPECT_EQ(slowResult.load(), 1);
  EXPECT_EQ(other.Exec("select 3"), 1);
  EXPECT_EQ(Value(other), "select 3");
  EXPECT_EQ(s.overlap.load(), 0);
}

// A request given a backend by another line while it sleeps through its
// last round gives the backend back when it times out.
TEST(DbPool, BackendAssignedToATimedOutRequestIsReleased) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 1, 1, 1000));
  TagLocalData a(&pool, 1, "srv", "sa", "pw", "");
  TagLocalData b(&pool, 1, "srv", "sa", "pw", "");
  TagLocalData c(&pool, 1, "srv", "sa", "pw", "");
  TagDbConnection* conn = pool.At(0);
  s.gate = false;
  std::thread ta([&] { a.Exec("slow"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return !s.journal.empty();
  }));
  std::atomic<int> rb{0};
  std::thread tb([&] { rb = b.Exec("from b"); });
  ASSERT_TRUE(WaitFor([&] { return conn->Waiting() == 1; }));
  s.gate = true;
  ta.join();
  // c's round hands the free backend to b, the oldest, asleep in its one
  // round; both then time out.
  const int rc = c.Exec("from c");
  tb.join();
  if (rb.load() == -200) {
    EXPECT_EQ(rc, -200);
  }
  EXPECT_EQ(conn->Waiting(), 0);
  EXPECT_EQ(c.Exec("after"), 1);  // the backend was not left busy
  EXPECT_EQ(Value(c), "after");
}

// A released backend goes to the oldest waiting request, which is woken at
// once: the rounds here are far longer than the test may wait, so a request
// served only when its round ends would fail the wait below.
TEST(DbPool, ReleasedBackendWakesTheOldestWaitingRequest) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 1, 1, 120000));
  TagLocalData holder(&pool, 1, "srv", "sa", "pw", "");
  TagDbConnection* conn = pool.At(0);
  s.gate = false;
  std::thread first([&] { holder.Exec("slow first"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return !s.journal.empty();
  }));
  // Three lines queue one after the other behind the busy backend.
  constexpr int kQueued = 3;
  std::vector<std::unique_ptr<TagLocalData>> sets;
  std::vector<std::thread> lines;
  std::atomic<int> results[kQueued];
  std::atomic<int> done{0};
  bool queued = true;
  for (int i = 0; i < kQueued && queued; ++i) {
    sets.push_back(std::make_unique<TagLocalData>(&pool, 1, "srv", "sa", "pw", ""));
    results[i] = 0;
    lines.emplace_back([&, i] {
      results[i] = sets[static_cast<size_t>(i)]->Exec("line " + std::to_string(i));
      ++done;
    });
    queued = WaitFor([&] { return conn->Waiting() == i + 1; });
  }
  s.gate = true;
  const bool served = WaitFor([&] { return done.load() == static_cast<int>(lines.size()); });
  first.join();
  for (auto& t : lines) t.join();
  ASSERT_TRUE(queued);
  EXPECT_TRUE(served) << "a released backend did not wake the waiting requests";
  for (int i = 0; i < kQueued; ++i) {
    EXPECT_EQ(results[i].load(), 1) << i;
    EXPECT_EQ(Value(*sets[static_cast<size_t>(i)]), "line " + std::to_string(i));
  }
  std::vector<std::string> j;
  {
    std::lock_guard<std::mutex> g(s.lock);
    j = s.journal;
  }
  const std::vector<std::string> want = {"1: slow first", "1: line 0", "1: line 1", "1: line 2"};
  EXPECT_EQ(j, want);
  EXPECT_EQ(conn->Waiting(), 0);
  EXPECT_EQ(s.overlap.load(), 0);
}

TEST(DbPool, UseReachesTheBackendsOfThatMomentOnce) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 3));
  auto a = std::make_unique<TagLocalData>(&pool, 5, "h", "u", "p", "");
  auto b = std::make_unique<TagLocalData>(&pool, 5, "h", "u", "p", "");
  // A USE waits for a backend busy with another request, never runs beside it.
  s.gate = false;
  std::thread t([&] { a->Exec("slow one"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return !s.journal.empty();
  }));
  std::atomic<int> useResult{-1};
  std::thread u([&] { useResult = b->Exec("USE shop"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return s.journal.size() == 2;
  }));
  s.gate = true;
  t.join();
  u.join();
  EXPECT_EQ(useResult.load(), 2);
  EXPECT_EQ(s.overlap.load(), 0);
  EXPECT_EQ(b->Exec("use shop"), 2);  // both ran one already: nothing runs
  auto c = std::make_unique<TagLocalData>(&pool, 5, "h", "u", "p", "");
  EXPECT_EQ(c->Exec("USE other"), 3);  // only the new backend runs it
  std::vector<std::string> j;
  {
    std::lock_guard<std::mutex> g(s.lock);
    j = s.journal;
  }
  std::sort(j.begin() + 1, j.end());
  const std::vector<std::string> want = {"1: slow one", "1: USE shop", "2: USE shop", "3: USE other"};
  EXPECT_EQ(j, want);
  // "useX" is not a USE statement: it goes to one backend as a request.
  EXPECT_EQ(c->Exec("USEX"), 1);
}

TEST(DbPool, CloseRemovesBackendsAndReopenReusesTheIndex) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 2));
  std::vector<std::unique_ptr<TagLocalData>> open;
  for (int i = 0; i < 3; ++i) open.push_back(std::make_unique<TagLocalData>(&pool, 1, "srv", "sa", "pw", ""));
  TagDbConnection* conn = pool.At(0);
  struct Step {
    int openCount;
    int backends;
  };
  const Step steps[] = {{2, 2}, {1, 1}, {0, 0}};
  for (const Step& st : steps) {
    open.pop_back();
    EXPECT_EQ(conn->OpenCount(), st.openCount);
    EXPECT_EQ(conn->Backends(), st.backends);
  }
  EXPECT_EQ(pool.Count(), 1);
  EXPECT_EQ(conn->Close(), -1);
  EXPECT_EQ(conn->Exec("select", *std::make_unique<TagLocalData>(nullptr, 1, "", "", "", "")), -100);
  TagLocalData again(&pool, 1, "srv", "sa", "pw", "");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(conn->Backends(), 1);
  EXPECT_EQ(again.Exec("select 9"), 1);

  // A close waits for the backend it removes to finish its statement,
  // holding no lock meanwhile.
  TagLocalData second(&pool, 1, "srv", "sa", "pw", "");
  size_t before;
  {
    std::lock_guard<std::mutex> g(s.lock);
    before = s.journal.size();
  }
  s.gate = false;
  std::thread t1([&] { again.Exec("slow a"); });
  std::thread t2([&] { second.Exec("slow b"); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> g(s.lock);
    return s.journal.size() == before + 2;
  }));
  std::atomic<bool> closed{false};
  std::thread c([&] {
    again.Close();
    closed = true;
  });
  EXPECT_TRUE(WaitFor([&] { return conn->OpenCount() == 1; }));
  EXPECT_FALSE(closed.load());
  EXPECT_EQ(conn->Backends(), 2);
  EXPECT_EQ(conn->Waiting(), 0);
  s.gate = true;
  t1.join();
  t2.join();
  c.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(conn->Backends(), 1);
}

TEST(DbPool, BackendThatFailedToConnectIsMadeAgainBeforeItServes) {
  Shared s;
  s.failFirst = 1;
  TagDbConnectionsCtrl pool(GateSettings(&s, 1));
  TagLocalData a(&pool, 4, "dsn", "", "", "");
  EXPECT_EQ(a.status, 0);  // kept whatever its status
  EXPECT_EQ(a.Exec("select 1"), 1);
  EXPECT_EQ(s.made.load(), 2);
  EXPECT_EQ(a.Exec("select 2"), 1);
  EXPECT_EQ(s.made.load(), 2);
}

TEST(DbPool, RebuiltBackendIsSwitchedToTheDatabaseOfTheOldOne) {
  Shared s;
  TagDbConnectionsCtrl pool(GateSettings(&s, 1));
  TagLocalData a(&pool, 5, "h", "u", "p", "");
  EXPECT_EQ(a.Exec("USE shop"), 1);
  // The backend's connection fails for good; the next request rebuilds it.
  pool.At(0)->ForEachBackendForTest([](TagDataSet& b) { b.status = -1; });
  EXPECT_EQ(a.Exec("select 1"), 1);
  std::vector<std::string> j;
  {
    std::lock_guard<std::mutex> g(s.lock);
    j = s.journal;
  }
  const std::vector<std::string> want = {"1: USE shop", "2: USE shop", "2: select 1"};
  EXPECT_EQ(j, want);
}

// A line that opens while the only backend still connects has no backend
// of its own: its request, or its USE, waits for that one, and ends
// without a backend only when the connect yields none.
TEST(DbPool, RequestWaitsForABackendStillConnecting) {
  struct Case {
    const char* statement;
    bool queued;  // a USE waits outside the request queue
    bool yields;
    int result;
  };
  const Case cases[] = {
      {"select 5", true, true, 1},
      {"select 5", true, false, -100},
      {"USE shop", false, true, 1},
      {"USE shop", false, false, -100},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.statement) + (k.yields ? ", connect yields a backend" : ", connect yields none"));
    Shared s;
    s.connectGate = false;
    TagDbPoolSettings set = GateSettings(&s, 1, 4000, 5);
    set.maker = [&s, k, make = set.maker](int type, const std::string& a, const std::string& b,
                                          const std::string& c, const std::string& d) {
      WaitFor([&] { return s.connectGate.load(); }, 60000);
      return k.yields ? make(type, a, b, c, d) : nullptr;
    };
    TagDbConnectionsCtrl pool(set);
    std::unique_ptr<TagLocalData> first;
    std::thread opener([&] { first = std::make_unique<TagLocalData>(&pool, 1, "srv", "sa", "pw", ""); });
    const bool connecting = WaitFor([&] { return pool.Count() == 1 && pool.At(0)->OpenCount() == 1; });
    TagLocalData second(&pool, 1, "srv", "sa", "pw", "");  // over the maximum: makes no backend
    std::atomic<bool> started{false};
    std::atomic<int> r{0};
    std::thread request([&] {
      started = true;
      r = second.Exec(k.statement);
    });
    const bool waited = WaitFor([&] { return started.load() && (!k.queued || pool.At(0)->Waiting() == 1); });
    s.connectGate = true;
    opener.join();
    request.join();
    EXPECT_TRUE(connecting);
    EXPECT_TRUE(waited);
    EXPECT_EQ(r.load(), k.result);
    std::vector<std::string> j;
    {
      std::lock_guard<std::mutex> g(s.lock);
      j = s.journal;
    }
    std::vector<std::string> want;
    if (k.yields) {
      want.push_back(std::string("1: ") + k.statement);
      EXPECT_EQ(Value(second), k.statement);
    }
    EXPECT_EQ(j, want);
    EXPECT_EQ(pool.At(0)->Waiting(), 0);
  }
}

TEST(DbPool, EightLinesTwoHundredRequestsEach) {
  Shared s;
  // Short waits, so some requests time out while others are being served.
  TagDbConnectionsCtrl pool(GateSettings(&s, 3, 4, 1));
  std::atomic<int> ok{0}, timedOut{0}, wrong{0};
  std::vector<std::thread> lines;
  for (int line = 0; line < 8; ++line) {
    lines.emplace_back([&, line] {
      TagLocalData d(&pool, 1, "srv", "sa", "pw", "");
      for (int i = 0; i < 200; ++i) {
        const std::string sql = "q" + std::to_string(line) + "." + std::to_string(i);
        const int r = d.Exec(sql);
        if (r == 1) {
          ++ok;
          if (Value(d) != sql) ++wrong;
        } else if (r == -200) {
          ++timedOut;
        } else {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : lines) t.join();
  EXPECT_EQ(ok.load() + timedOut.load(), 1600);
  EXPECT_GT(ok.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(s.overlap.load(), 0);
  TagDbConnection* conn = pool.At(0);
  EXPECT_EQ(conn->Waiting(), 0);
  EXPECT_EQ(conn->OpenCount(), 0);
  EXPECT_EQ(conn->Backends(), 0);  // no backend was left busy: every close ended
}

// Real SQL Server backends on the test double: widths come from the
// backend, reads are bounded by them.
TEST(DbPoolSqlServer, ThreeLinesTwoBackendsReadFixedWidthColumns) {
  TempDir dir;
  ASSERT_EQ(BindSybFile(FAKE_SYBDB_PATH), 0);
  void* fake = dlopen(FAKE_SYBDB_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(fake);
  reinterpret_cast<void (*)()>(dlsym(fake, "fakesyb_Reset"))();
  reinterpret_cast<void (*)(const char*)>(dlsym(fake, "fakesyb_SetDir"))(dir.path().c_str());
  {
    TagDbPoolSettings set;
    set.maxConn = [] { return 2; };
    TagDbConnectionsCtrl pool(set);
    TagLocalData a(&pool, 1, "shop", "sa", "pw", dir / "sql");
    TagLocalData b(&pool, 1, "shop", "sa", "pw", dir / "sql");
    TagLocalData c(&pool, 1, "shop", "sa", "pw", dir / "sql");
    ASSERT_EQ(pool.At(0)->Backends(), 2);
    ASSERT_EQ(a.Exec("create table p(name varchar(20), qty int)"), 0);
    ASSERT_EQ(b.Exec("insert into p values('pen', 3), ('ink', 40)"), 0);
    ASSERT_EQ(c.Exec("select name, qty from p order by qty"), 2);
    ASSERT_EQ(c.Cols(), 2);
    EXPECT_EQ(c.Rows(), 2);
    std::string out;
    EXPECT_EQ(c.GetValByIndex(out, 0, 1), 256);
    EXPECT_EQ(out, "pen" + std::string(253, ' '));
    EXPECT_EQ(c.GetValByName(out, "QTY", 2), 11);
    EXPECT_EQ(out, "40" + std::string(9, ' '));
    struct Case {
      int col;
      int row;
      int result;
    };
    for (const Case& k : {Case{0, 0, -2}, Case{0, 3, -2}, Case{2, 1, -1}, Case{-1, 1, -1}}) {
      out = "stale";
      EXPECT_EQ(c.GetValByIndex(out, k.col, k.row), k.result) << k.col << "," << k.row;
      EXPECT_EQ(out, "");
    }
    EXPECT_EQ(c.GetColName(1, out), 1);
    EXPECT_EQ(out, "qty");
    EXPECT_EQ(c.GetValByName(out, "none", 1), -1);
    EXPECT_EQ(a.Exec("selec"), -2);  // the backend's failure comes back
    EXPECT_EQ(a.Rows(), 0);
  }
  UnbindSybLibrary();
  dlclose(fake);
}

}  // namespace
