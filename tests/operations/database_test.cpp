// The database operations over fake data sets and real dBASE tables: slots
// and their reuse, the full table and the invalid type with their boxes,
// which kinds the pool shares, the gateway's host and port, bad handles and their log lines, the last
// error kept for system information, reads and writes by name and index,
// the map of a whole result, and every data set released when the script
// instance goes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/runcfg.h"
#include "engine/tagmap.h"
#include "services/dbf.h"
#include "services/dbslots.h"
#include "tests/operations/op_fixture.h"

namespace {

using optest::I;
using optest::N;
using optest::S;
using optest::Show;

std::atomic<int> liveFakes{0};
// Every kind but dBASE (real tables below) and the pool are fakes.
std::vector<int> FakedMakers() {
  std::vector<int> types{kDbPoolMaker};
  for (const TagDbKind& kind : DbKinds())
    if (kind.type != kDbTypeDbf) types.push_back(kind.type);
  return types;
}

// A two-column result; "fail" statements fail with -3 and an error text.
class FakeSet : public TagDataSet {
 public:
  explicit FakeSet(const TagDbOpenArgs& a) : args(a) {
    ++liveFakes;
    status = a.b == "refuse" ? -1 : 0;
  }
  ~FakeSet() override {
    Close();
    --liveFakes;
  }
  int Exec(const std::string& s) override {
    lastStatement = s;
    if (s == "fail") {
      lastError = "[42S02] no such table";
      return -3;
    }
    lastError.clear();
    rows = s == "none" ? 0 : 3;
    return 0;
  }
  int Rows() override { return rows; }
  int Cols() override { return 2; }
  int GetColName(int c, std::string& out) override {
    out = c == 0 ? "Id" : c == 1 ? "Name" : "";
    return c == 0 || c == 1 ? c : -1;
  }
  int GetColIndex(const std::string& n) override { return n == "Id" || n == "id" ? 0 : n == "Name" ? 1 : -1; }
  int GetValByName(std::string& out, const std::string& n, int row) override {
    return GetValByIndex(out, GetColIndex(n), row);
  }
  int GetValByIndex(std::string& out, int c, int row) override {
    out.clear();
    if (c < 0 || c > 1 || row < 1 || row > rows) return -1;
    static const char* ids[] = {" 7 ", "8", "7"};  // row 3 repeats row 1's key
    static const char* names[] = {"\tann ", "bob", "cy"};
    out = c == 0 ? ids[row - 1] : names[row - 1];
    return c;
  }
  void Close() override {}

  TagDbOpenArgs args;
  std::string lastStatement;
  int rows = 0;
};

class DatabaseOps : public optest::OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    setenv("RODIZ_BOX_RECORD", (dir_ / "boxes.txt").c_str(), 1);
    oldLevel_ = logLevel.load();
    logLevel.store(1);
    SetLogWriter(std::make_shared<TagWriteLog>(dir_ / "log.txt", 1 << 20, true, true));
    for (int type : FakedMakers()) {
      SetDataSetMaker(type, [this](const TagDbOpenArgs& a) -> std::unique_ptr<TagDataSet> {
        opened_.push_back(a);
        return std::make_unique<FakeSet>(a);
      });
    }
  }
  void TearDown() override {
    for (int type : FakedMakers()) SetDataSetMaker(type, nullptr);
    SetDataSetMaker(kDbTypeDbf, nullptr);
    dbPoolSize.store(0);
    OpFixture::TearDown();
    SetLogWriter(nullptr);
    logLevel.store(oldLevel_);
    unsetenv("RODIZ_BOX_RECORD");
    EXPECT_EQ(liveFakes.load(), 0) << "a data set outlived its script instance";
  }
  int Open(int type, const std::string& a, const std::string& b = "", TagVar* handle = nullptr) {
    auto args = Args({I(type), S(a), S(b), S(""), S("log"), I(-99)});
    const int r = Exec(KeywordId::DbOpen, args);
    if (handle) handle->Assign(*args[5]);
    return r;
  }
  std::string Boxes() { return testsupport::ReadFile(dir_ / "boxes.txt"); }
  std::string LogText() {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      if (e.path().filename().string().rfind("log", 0) == 0) all += testsupport::ReadFile(e.path().string());
    return all;
  }
  TagDataSetSlots& Slots() { return inst_->Services().Get<TagDataSetSlots>(); }
  FakeSet* Fake(int h) {
    TagDataSet* s = nullptr;
    Slots().Get(h, &s);
    return dynamic_cast<FakeSet*>(s);
  }

  std::vector<TagDbOpenArgs> opened_;
  int oldLevel_ = 0;
};

TEST_F(DatabaseOps, SlotsAreTakenLowestFirstAndReused) {
  TagVar h;
  EXPECT_EQ(Open(4, "DSN=a", "", &h), 0);
  EXPECT_EQ(Show(h), "0");
  EXPECT_EQ(Open(4, "DSN=b"), 1);
  EXPECT_EQ(Open(4, "DSN=c"), 2);
  EXPECT_EQ(Exec(KeywordId::DbClose, Args({I(1)})), 0);
  EXPECT_EQ(Exec(KeywordId::DbExec, Args({I(2), S("select 1")})), 0);
  EXPECT_EQ(Fake(2)->lastStatement, "select 1");
  EXPECT_EQ(Fake(2)->args.a, "DSN=c");
  EXPECT_EQ(Fake(2)->typeCode, 4);
  EXPECT_EQ(Open(4, "DSN=d"), 1);
  EXPECT_EQ(Slots().OpenCount(), 3);
  EXPECT_EQ(Boxes(), "");
}

TEST_F(DatabaseOps, OpenFailuresAndTypes) {
  struct Case {
    const char* what;
    int type;
    std::string a, b;
    int pool;
    int result;
    const char* box;  // a text the box shows; null: no box
  } cases[] = {
      {"refused connection", 4, "DSN=x", "refuse", 0, -2, nullptr},
      {"type 3", 3, "", "", 0, -2, "Invalid data type"},
      {"type 2", 2, "", "", 0, -2, "Invalid data type"},
      {"type 6", 6, "", "", 0, -2, "Invalid data type"},
      {"type 8", 8, "", "", 0, -2, "Invalid data type"},
      {"type 3 through the pool", 3, "", "refuse", 1, -2, nullptr},
      {"gateway host too long", 7, std::string(512, 'h'), "", 0, -2, nullptr},
      {"missing dBASE file", 0, "nothing.dbf", "", 0, -2, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dbPoolSize.store(c.pool);
    std::filesystem::remove(dir_ / "boxes.txt");
    TagVar h = TagVar::Int(-99);
    EXPECT_EQ(Open(c.type, c.a, c.b, &h), c.result);
    EXPECT_EQ(Show(h), std::to_string(c.result));
    EXPECT_EQ(Slots().OpenCount(), 0);
    if (c.box) {
      EXPECT_NE(Boxes().find(c.box), std::string::npos) << Boxes();
    } else {
      EXPECT_EQ(Boxes(), "");
    }
  }
  EXPECT_EQ(liveFakes.load(), 0);  // failed opens are deleted
}

TEST_F(DatabaseOps, EachCodeOpensItsKindOnItsOwnOrThroughThePool) {
  SetDataSetMaker(kDbTypeDbf, [this](const TagDbOpenArgs& a) -> std::unique_ptr<TagDataSet> {
    opened_.push_back(a);
    return std::make_unique<FakeSet>(a);
  });
  constexpr int kNone = -99;
  struct Case {
    int type;
    int pool;
    int maker;  // the maker the open reached; kNone: none
    int result;
  } cases[] = {
      {0, 0, 0, 0},  {1, 0, 1, 0},  {4, 0, 4, 0},  {5, 0, 5, 0},  {7, 0, 7, 0},
      {0, 2, 0, 0},  {1, 2, kDbPoolMaker, 0},  {4, 2, kDbPoolMaker, 0},  {5, 2, kDbPoolMaker, 0},
      // The pool has no gateway backends, and a code of no kind fails quietly.
      {7, 2, kNone, -2},  {3, 2, kNone, -2},  {-1, 2, kNone, -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + " pool " + std::to_string(c.pool));
    dbPoolSize.store(c.pool);
    opened_.clear();
    const int slot = Open(c.type, "host", "user");
    ASSERT_EQ(slot, c.result);
    if (c.maker == kNone) {
      EXPECT_TRUE(opened_.empty());
      continue;
    }
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].type, c.maker);
    if (c.maker == kDbPoolMaker) {
      EXPECT_EQ(opened_[0].pooledType, c.type);
    }
    EXPECT_EQ(Fake(slot)->typeCode, c.type);
    EXPECT_EQ(Exec(KeywordId::DbClose, Args({I(slot)})), 0);
  }
  EXPECT_EQ(Boxes(), "");
}

TEST_F(DatabaseOps, TheGatewayReadsItsHostAndPort) {
  struct Case {
    std::string a, host;
    int port;
  } cases[] = {{"gw", "gw", 2013}, {"gw:7000", "gw", 7000}, {std::string(511, 'g'), std::string(511, 'g'), 2013}};
  for (const Case& c : cases) {
    opened_.clear();
    EXPECT_GE(Open(7, c.a), 0);
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].a, c.host);
    EXPECT_EQ(opened_[0].port, c.port);
  }
}

TEST_F(DatabaseOps, TheTableHolds1023AndTheNextOpenShowsTheBox) {
  for (int i = 0; i < TagDataSetSlots::kMaxOpen; ++i) ASSERT_EQ(Open(4, "DSN=x"), i);
  // The box names the statement's line.
  auto args = Args({I(4), S("DSN=x"), S(""), S(""), S(""), I(-99)});
  auto op = Make(KeywordId::DbOpen, args);
  op->lineNo = 12;
  EXPECT_EQ(op->Execute(), -1);
  EXPECT_EQ(Show(*args[5]), "-99");  // not written
  EXPECT_NE(Boxes().find("  12: 打开的数据库太多"), std::string::npos) << Boxes();
  EXPECT_EQ(liveFakes.load(), 1023);
  EXPECT_EQ(Exec(KeywordId::DbCloseAll, Args({})), 0);
  EXPECT_EQ(liveFakes.load(), 0);
  EXPECT_EQ(Slots().OpenCount(), 0);
  EXPECT_EQ(Open(4, "DSN=x"), 0);
}

TEST_F(DatabaseOps, BadHandlesNeverReachADataSet) {
  EXPECT_EQ(Exec(KeywordId::DbClose, Args({I(5)})), 0);  // nothing open at all
  Open(4, "DSN=x");
  TagVar out = TagVar::Str("keep");
  struct Case {
    KeywordId id;
    std::vector<TagVar> args;
    int result;
  } cases[] = {
      {KeywordId::DbExec, {I(-1), S("s")}, -1},
      {KeywordId::DbExec, {I(1024), S("s")}, -1},
      {KeywordId::DbExec, {I(3), S("s")}, -2},
      {KeywordId::DbRows, {I(3), S("keep")}, -2},
      {KeywordId::DbGetField, {I(3), S("Id"), I(1), S("keep")}, -2},
      {KeywordId::DbSetField, {I(1024), S("Id"), I(1), S("v")}, -1},
      {KeywordId::DbSetDebug, {I(3), I(2)}, -2},
      {KeywordId::DbExecMap, {I(3), S("s"), S("keep"), I(0), I(0)}, -2},
      {KeywordId::DbClose, {I(-1)}, -1},
      {KeywordId::DbClose, {I(1024)}, -1},
      {KeywordId::DbClose, {I(3)}, -2},
  };
  for (const Case& c : cases) {
    auto args = Args(c.args);
    EXPECT_EQ(Exec(c.id, args), c.result) << KeywordRec(c.id).name;
    for (TagVar* a : args)
      if (a->IsString()) {
        EXPECT_NE(Show(*a), "\"\"") << KeywordRec(c.id).name << ": an output was written";
      }
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("DbExec: ret=-1, i=-1, dbCount=1"), std::string::npos) << log;
  EXPECT_NE(log.find("DbExec: ret=-1, i=1024, dbCount=1"), std::string::npos);
  EXPECT_NE(log.find("DbExec: ret=-2, i=3, dbCount=1"), std::string::npos);
  EXPECT_EQ(Fake(0)->lastStatement, "");
}

TEST_F(DatabaseOps, ExecKeepsTheLastErrorAndLogsFailures) {
  Open(4, "DSN=x");
  Open(4, "DSN=y");
  EXPECT_EQ(Exec(KeywordId::DbExec, Args({I(1), S("fail")})), -3);
  EXPECT_EQ(Slots().LastDbError(), "[42S02] no such table");
  EXPECT_NE(LogText().find("DbExec: ret=-3, i=1, dbCount=2"), std::string::npos);
  EXPECT_EQ(Exec(KeywordId::DbExec, Args({I(1), S("select")})), 0);
  EXPECT_EQ(Slots().LastDbError(), "");
  EXPECT_EQ(Exec(KeywordId::DbSetDebug, Args({I(1), I(2)})), 0);
  EXPECT_EQ(Fake(1)->debugMode, 2);
}

TEST_F(DatabaseOps, ReadsByNameAndIndexAndRowCount) {
  Open(4, "DSN=x");
  Exec(KeywordId::DbExec, Args({I(0), S("select")}));
  struct Case {
    TagVar col;
    int row, result;
    const char* value;
  };
  const Case cases[] = {
      {S("Name"), 2, 1, "\"bob\""}, {I(0), 1, 0, "\" 7 \""},  {S("Id"), 3, 0, "\"7\""},
      {S("zz"), 1, -1, "\"\""},     {I(5), 1, -1, "\"\""},     {S("Name"), 4, -1, "\"\""},
  };
  for (const Case& c : cases) {
    auto args = Args({I(0), c.col, I(c.row), S("old")});
    EXPECT_EQ(Exec(KeywordId::DbGetField, args), c.result) << Show(c.col);
    EXPECT_EQ(Show(*args[3]), c.value) << Show(c.col);
  }
  auto rows = Args({I(0), N()});
  EXPECT_EQ(Exec(KeywordId::DbRows, rows), 3);
  EXPECT_EQ(Show(*rows[1]), "3");
  // Other kinds than dBASE change nothing.
  EXPECT_EQ(Exec(KeywordId::DbSetField, Args({I(0), S("Id"), I(1), S("v")})), 0);
}

TEST_F(DatabaseOps, ExecMapNamesKeysAndRows) {
  Open(4, "DSN=x");
  struct Case {
    const char* what;
    int naming;
    TagVar key;
    const char* text;
  } cases[] = {
      {"index keys, rows by number", 0, I(99),
       "{\r\n1:{\r\n0:\"7\",\r\n1:\"ann\"\r\n},\r\n2:{\r\n0:\"8\",\r\n1:\"bob\"\r\n},\r\n3:{\r\n0:\"7\",\r\n1:\"cy\"\r\n}\r\n}"},
      {"upper-case names keyed by id", 2, S("id"),
       "{\r\n\"7\":{\r\n\"ID\":\"7\",\r\n\"NAME\":\"cy\"\r\n},\r\n\"8\":{\r\n\"ID\":\"8\",\r\n\"NAME\":\"bob\"\r\n}\r\n}"},
      {"lower-case names, key by index 1", 3, I(1),
       "{\r\n\"ann\":{\r\n\"id\":\"7\",\r\n\"name\":\"ann\"\r\n},\r\n\"bob\":{\r\n\"id\":\"8\",\r\n\"name\":\"bob\"\r\n},\r\n"
       "\"cy\":{\r\n\"id\":\"7\",\r\n\"name\":\"cy\"\r\n}\r\n}"},
      {"names as they are, empty key name", 1, S(""),
       "{\r\n1:{\r\n\"Id\":\"7\",\r\n\"Name\":\"ann\"\r\n},\r\n2:{\r\n\"Id\":\"8\",\r\n\"Name\":\"bob\"\r\n},\r\n"
       "3:{\r\n\"Id\":\"7\",\r\n\"Name\":\"cy\"\r\n}\r\n}"},
  };
  for (const Case& c : cases) {
    auto args = Args({I(0), S("select"), N(), I(c.naming), c.key});
    EXPECT_EQ(Exec(KeywordId::DbExecMap, args), 3) << c.what;
    ASSERT_TRUE(args[2]->IsMap()) << c.what;
    EXPECT_EQ(args[2]->ToText(), c.text) << c.what;
    args[2]->SetNull();
  }
  auto none = Args({I(0), S("none"), S("old"), I(0), I(0)});
  EXPECT_EQ(Exec(KeywordId::DbExecMap, none), 0);
  EXPECT_EQ(Show(*none[2]), "0");
  auto fail = Args({I(0), S("fail"), S("old"), I(0), I(0)});
  EXPECT_EQ(Exec(KeywordId::DbExecMap, fail), -3);
  EXPECT_EQ(Show(*fail[2]), "\"old\"");
}

// A dBASE table through the operations: appends and rewrites, reads, and
// the map of the whole table.
TEST_F(DatabaseOps, DbaseTableThroughTheOperations) {
  std::string t(32, '\0');
  t[0] = 3;
  t[8] = 97;  // two descriptors
  t[10] = 8;  // 1 + 3 + 4
  auto desc = [](const char* name, char len) {
    std::string d(32, '\0');
    d.replace(0, std::strlen(name), name);
    d[11] = 'C';
    d[16] = len;
    return d;
  };
  testsupport::WriteFile(dir_ / "t.dbf", t + desc("ID", 3) + desc("name", 4) + "\r\x1A");
  ASSERT_EQ(Open(0, "t.dbf"), 0);
  struct Step {
    KeywordId id;
    std::vector<TagVar> args;
    int result;
  } steps[] = {
      {KeywordId::DbSetField, {I(0), S("ID"), I(-1), S("1")}, 1},
      {KeywordId::DbSetField, {I(0), I(1), I(1), S("ann")}, 1},
      {KeywordId::DbSetField, {I(0), S("ID"), I(-1), S("2")}, 2},
      // The row is the stored integer: a one-character text is row 2.
      {KeywordId::DbSetField, {I(0), S("name"), S("x"), S("bob")}, 2},
      {KeywordId::DbSetField, {I(0), S("NAME"), I(1), S("no")}, -1},
      {KeywordId::DbSetField, {I(0), S("ID"), I(3), S("no")}, -2},
  };
  for (const Step& st : steps) EXPECT_EQ(Exec(st.id, Args(st.args)), st.result) << KeywordRec(st.id).name;
  EXPECT_EQ(testsupport::ReadFile(dir_ / "t.dbf").substr(97), "   1 ann   2 bob\x1A");
  auto get = Args({I(0), S("name"), I(2), N()});
  EXPECT_EQ(Exec(KeywordId::DbGetField, get), 1);
  EXPECT_EQ(Show(*get[3]), "\" bob\"");
  auto map = Args({I(0), S("t.dbf"), N(), I(2), S("id")});
  EXPECT_EQ(Exec(KeywordId::DbExecMap, map), 2);
  EXPECT_EQ(map[2]->ToText(),
            "{\r\n\"1\":{\r\n\"ID\":\"1\",\r\n\"NAME\":\"ann\"\r\n},\r\n\"2\":{\r\n\"ID\":\"2\",\r\n\"NAME\":\"bob\"\r\n}\r\n}");
  map[2]->SetNull();
}

TEST_F(DatabaseOps, TheInstanceReleasesEveryDataSetAndFile) {
  // A dBASE table, so an open file is seen going as well.
  std::string t(32, '\0');
  t[0] = 3;
  t[8] = 65;
  t[10] = 3;
  std::string d(32, '\0');
  d[0] = 'A';
  d[11] = 'C';
  d[16] = 2;
  testsupport::WriteFile(dir_ / "t.dbf", t + d + "\r\x1A");
  ASSERT_EQ(Open(0, "t.dbf"), 0);
  Open(4, "DSN=x");
  Open(4, "DSN=y");
  EXPECT_EQ(liveFakes.load(), 2);
  auto fds = [] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(e.path(), ec).filename() == "t.dbf") ++n;
    }
    return n;
  };
  EXPECT_EQ(fds(), 1);
  inst_.reset();  // what a reload or stop does
  EXPECT_EQ(liveFakes.load(), 0);
  EXPECT_EQ(fds(), 0);
}

}  // namespace
