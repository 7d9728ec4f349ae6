// The data-set interface: the base slots that change nothing, the cut of
// long values, the copy of a result into a local result (cell widths, cut
// cells without terminator, failures and their codes, a row buffer too big
// to address), the local result's reads, and the "[time] text" logs shared
// by threads.
#include "services/dataset.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tempdir.h"

namespace {

// A table in memory answering the way a backend does.
class FakeDataSet : public TagDataSet {
 public:
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> rows;  // rows[r][c], r from 0
  int execResult = 0;
  int rowsOverride = INT_MIN;
  int colsOverride = INT_MIN;
  std::string failText;
  int closed = 0;

  int Exec(const std::string&) override {
    if (execResult < 0) lastError = failText;
    return execResult;
  }
  int Rows() override { return rowsOverride != INT_MIN ? rowsOverride : static_cast<int>(rows.size()); }
  int Cols() override { return colsOverride != INT_MIN ? colsOverride : static_cast<int>(names.size()); }
  int GetColName(int col, std::string& out) override {
    out.clear();
    if (col < 0 || col >= static_cast<int>(names.size())) return -1;
    PutValue(out, names[static_cast<size_t>(col)]);
    return col;
  }
  int GetColIndex(const std::string& name) override {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return static_cast<int>(i);
    return -1;
  }
  int GetValByName(std::string& out, const std::string& name, int row) override {
    return GetValByIndex(out, GetColIndex(name), row);
  }
  int GetValByIndex(std::string& out, int col, int row) override {
    out.clear();
    if (row < 1 || row > static_cast<int>(rows.size()) || col < 0 || col >= static_cast<int>(names.size())) return -1;
    PutValue(out, rows[static_cast<size_t>(row - 1)][static_cast<size_t>(col)]);
    return col;
  }
  void Close() override { ++closed; }

  // ExecToLocal with the given column widths.
  int CopyWith(const std::string& stmt, TagLocalResult& target, std::vector<int> widths, bool copyError = true) {
    LocalCopy how;
    how.widthOf = [widths](int c) { return widths[static_cast<size_t>(c)]; };
    how.copyLastError = copyError;
    return CopyToLocal(stmt, target, how);
  }
  int CopyFailingAt(TagLocalResult& target, int failRow, int code) {
    LocalCopy how;
    how.widthOf = [](int) { return 8; };
    how.valueOf = [&](int row, int col, std::string& out) {
      if (row == failRow) return code;
      return GetValByIndex(out, col, row);
    };
    return CopyToLocal("s", target, how);
  }
};

// The local result as the pool's data set will use it.
class Local : public TagLocalResult {
 public:
  int Exec(const std::string&) override { return 0; }
  void Close() override { Empty(); }
};

TEST(DataSetBase, WritesAndLocalCopyChangeNothingAndDebugIsStored) {
  FakeDataSet d;
  d.names = {"a"};
  d.rows = {{"x"}};
  EXPECT_EQ(d.SetValByName("y", "a", 1), 0);
  EXPECT_EQ(d.SetValByIndex("y", 0, 1), 0);
  std::string out;
  d.GetValByIndex(out, 0, 1);
  EXPECT_EQ(out, "x");
  Local target;
  target.AddField("old", 3);
  target.SetRowCount(1);
  ASSERT_TRUE(target.Allocate());
  EXPECT_EQ(d.TagDataSet::ExecToLocal("select", target), 0);
  EXPECT_EQ(target.Rows(), 1);  // the base does not even empty it
  for (int mode : {0, 1, 2, 7}) {
    EXPECT_EQ(d.SetDebug(mode), mode);
    EXPECT_EQ(d.debugMode, mode);
  }
}

TEST(DataSetBase, ValuesAreCutTo4099Bytes) {
  struct Case {
    size_t in, out;
  } cases[] = {{0, 0}, {4098, 4098}, {4099, 4099}, {4100, 4099}, {100000, 4099}};
  for (const Case& c : cases) {
    std::string out = "old";
    TagDataSet::PutValue(out, std::string(c.in, 'v'));
    EXPECT_EQ(out.size(), c.out) << c.in;
  }
}

TEST(LocalCopy, CellsHoldTheValuesCutToTheirWidths) {
  FakeDataSet d;
  d.names = {"Id", "Name", "Note"};
  d.rows = {{"1", "Ann", "short"}, {"22", "Bartholomew", ""}, {"333", "Cy", "exactly8"}};
  Local target;
  ASSERT_EQ(d.CopyWith("select", target, {3, 5, 8}), 3);
  ASSERT_EQ(target.Rows(), 3);
  ASSERT_EQ(target.Cols(), 3);
  EXPECT_EQ(target.Fields().rowWidth, 16u);
  struct Cell {
    int row, col;
    const char* text;
    int result;
  } cells[] = {
      {1, 0, "1", 3},     {1, 1, "Ann", 5},   {1, 2, "short", 8}, {2, 0, "22", 3},
      {2, 1, "Barth", 5},  // cut to the cell, no terminator stored
      {2, 2, "", 8},      {3, 0, "333", 3},   {3, 2, "exactly8", 8},
  };
  for (const Cell& c : cells) {
    std::string out = "junk";
    EXPECT_EQ(target.GetValByIndex(out, c.col, c.row), c.result) << c.row << "," << c.col;
    EXPECT_EQ(out, c.text) << c.row << "," << c.col;
  }
  // The bytes after a short value are zero; a full cell runs into the next.
  size_t w = 0;
  const char* cell = target.Cell(0, 2, &w);
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(std::string(cell, w), std::string("short\0\0\0", 8));
  cell = target.Cell(1, 1, &w);
  EXPECT_EQ(std::string(cell, w), "Barth");
  std::string name;
  EXPECT_EQ(target.GetColName(1, name), 1);
  EXPECT_EQ(name, "Name");
  EXPECT_EQ(target.GetColIndex("NAME"), 1);
  std::string out;
  EXPECT_EQ(target.GetValByName(out, "note", 3), 8);
  EXPECT_EQ(out, "exactly8");
}

TEST(LocalCopy, FailuresEndTheCopyWithTheirCodes) {
  struct Case {
    const char* what;
    int execResult, rowsOverride, colsOverride, width0;
    bool copyError;
    int result;
    const char* targetError;
  } cases[] = {
      {"statement fails", -3, INT_MIN, INT_MIN, 4, true, -3, "[42S02] no such table"},
      {"error kept to itself", -3, INT_MIN, INT_MIN, 4, false, -3, "before"},
      {"no rows", 0, 0, INT_MIN, 4, true, 0, "before"},
      {"row count fails", 0, -10, INT_MIN, 4, true, -10, "before"},
      {"no columns", 0, INT_MIN, 0, 4, true, 0, "before"},
      {"describing fails", 0, INT_MIN, INT_MIN, -4, true, -4, "before"},
  };
  for (const Case& c : cases) {
    FakeDataSet d;
    d.names = {"a", "b"};
    d.rows = {{"1", "2"}};
    d.execResult = c.execResult;
    d.rowsOverride = c.rowsOverride;
    d.colsOverride = c.colsOverride;
    d.failText = "[42S02] no such table";
    Local target;
    target.lastError = "before";
    target.AddField("stale", 2);  // emptied first whatever happens
    target.SetRowCount(4);
    EXPECT_EQ(d.CopyWith("select", target, {c.width0, 4}, c.copyError), c.result) << c.what;
    EXPECT_EQ(target.Rows(), 0) << c.what;
    EXPECT_EQ(target.Cols(), 0) << c.what;
    EXPECT_EQ(target.lastError, c.targetError) << c.what;
  }
}

TEST(LocalCopy, AReadFailureGivesItsCode) {
  FakeDataSet d;
  d.names = {"a"};
  d.rows = {{"1"}, {"2"}, {"3"}};
  Local target;
  EXPECT_EQ(d.CopyFailingAt(target, 2, -5), -5);
  std::string out;
  target.GetValByIndex(out, 0, 1);
  EXPECT_EQ(out, "1");  // what was copied before stays readable
}

TEST(LocalCopy, ARowBufferPastTheAddressSpaceIsRefused) {
  FakeDataSet d;
  d.names = {"a", "b", "c", "d"};
  d.rows = {{"1", "2", "3", "4"}};
  d.rowsOverride = INT_MAX;  // 4 x INT_MAX wide x INT_MAX rows wraps any 64-bit size
  Local target;
  EXPECT_EQ(d.CopyWith("select", target, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}), -3);
  EXPECT_EQ(target.Rows(), 0);
  EXPECT_FALSE(target.HasBuffer());
}

TEST(LocalResult, ReadsOutsideTheResultAndAllocationRules) {
  Local r;
  EXPECT_FALSE(r.Allocate());  // nothing to allocate
  r.AddField("A", 2);
  r.AddField("B", 6000);
  r.SetRowCount(2);
  ASSERT_TRUE(r.Allocate());
  EXPECT_FALSE(r.Allocate());  // a buffer exists
  size_t w = 0;
  char* big = r.Cell(1, 1, &w);
  ASSERT_EQ(w, 6000u);
  std::memset(big, 'z', w);
  struct Case {
    int col, row, result;
    size_t size;
  } cases[] = {{-1, 1, -1, 0}, {2, 1, -1, 0}, {0, 0, -2, 0}, {0, 3, -2, 0}, {0, 1, 2, 0}, {1, 2, 4096, 4096}};
  for (const Case& c : cases) {
    std::string out = "old";
    EXPECT_EQ(r.GetValByIndex(out, c.col, c.row), c.result) << c.col << "," << c.row;
    EXPECT_EQ(out.size(), c.size) << c.col << "," << c.row;
  }
  std::string out = "old";
  EXPECT_EQ(r.GetValByName(out, "C", 1), -1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(r.GetColName(2, out), -1);
  EXPECT_EQ(r.Cell(2, 0, &w), nullptr);
  r.Empty();
  EXPECT_EQ(r.Rows(), 0);
  EXPECT_EQ(r.Cols(), 0);
  EXPECT_FALSE(r.HasBuffer());
}

TEST(DbLog, LinesCarryTheTimeAndNothingIsWrittenWhileClosed) {
  testsupport::TempDir dir;
  TagDbLog log;
  log.Write("lost");
  ASSERT_TRUE(log.Open(dir / "a.log"));
  log.Write("Start.");
  log.WriteRaw("as it stands\n");
  log.Close();
  log.Write("lost too");
  const std::string text = testsupport::ReadFile(dir / "a.log");
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[\d{8} \d\d:\d\d:\d\d\.\d{3}\] Start\.\nas it stands\n)"))) << text;
  EXPECT_FALSE(log.Open(dir / "missing/dir/a.log"));
}

TEST(DbLog, TheSharedLogOpensWithTheFirstUserAndClosesWithTheLast) {
  testsupport::TempDir dir;
  TagSharedDbLog log(dir / "shared.log");
  log.Write("before");
  log.AddUser();
  log.AddUser();
  EXPECT_EQ(log.Users(), 2);
  log.RemoveUser();
  EXPECT_TRUE(log.IsOpen());
  log.Write("one");
  log.RemoveUser();
  EXPECT_FALSE(log.IsOpen());
  log.RemoveUser();  // more leaving than came changes nothing
  EXPECT_EQ(log.Users(), 0);
  log.Write("after");
  const std::string text = testsupport::ReadFile(dir / "shared.log");
  EXPECT_NE(text.find("] one\n"), std::string::npos);
  EXPECT_EQ(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

TEST(DbLog, ThreadsOpeningClosingAndWritingNeverMixLines) {
  testsupport::TempDir dir;
  TagSharedDbLog log(dir / "sql.log");
  log.AddUser();  // one stays for the whole run
  constexpr int kThreads = 8, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) {
        log.AddUser();
        log.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(50, 'x'));
        log.RemoveUser();
      }
    });
  }
  for (auto& th : threads) th.join();
  log.RemoveUser();
  EXPECT_EQ(log.Users(), 0);
  const std::string text = testsupport::ReadFile(dir / "sql.log");
  const std::regex line(R"(\[\d{8} \d\d:\d\d:\d\d\.\d{3}\] thread \d line \d+x{50})");
  size_t count = 0, pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    ASSERT_TRUE(std::regex_match(text.substr(pos, nl - pos), line)) << text.substr(pos, nl - pos);
    ++count;
    pos = nl + 1;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
