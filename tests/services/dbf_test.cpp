// dBASE III tables built byte by byte: reads by name and index (blanks and
// NULs), writes in place with the exact bytes on disk afterwards, appends,
// malformed headers refused, positions past 4 GB, and writers on eight
// threads and in several processes appending and updating one file at once.
#include "services/dbf.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

struct Field {
  std::string name;  // up to 11 bytes; 11 leaves no terminator
  uint8_t length;
};

void Le(std::string& s, size_t at, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// A table file: header, descriptors, terminator, records, end-of-file byte.
// headerLength / recordLength >= 0 replace the stored lengths (the layout
// stays right); count < 0 stores the number of records.
std::string MakeTable(const std::vector<Field>& fields, const std::vector<std::string>& records,
                      int headerLength = -1, int recordLength = -1, int64_t count = -1, uint8_t version = 0x03) {
  size_t rl = 1;
  for (const Field& f : fields) rl += f.length;
  std::string s(32, '\0');
  s[0] = static_cast<char>(version);
  s[1] = 99;  // 1999-01-02, so a write's new date shows
  s[2] = 1;
  s[3] = 2;
  Le(s, 4, static_cast<uint32_t>(count < 0 ? static_cast<int64_t>(records.size()) : count), 4);
  Le(s, 8, static_cast<uint32_t>(headerLength >= 0 ? headerLength : static_cast<int>(32 + 32 * fields.size() + 1)), 2);
  Le(s, 10, static_cast<uint32_t>(recordLength >= 0 ? recordLength : static_cast<int>(rl)), 2);
  for (const Field& f : fields) {
    std::string d(32, '\0');
    d.replace(0, f.name.size(), f.name);
    d[11] = 'C';
    d[16] = static_cast<char>(f.length);
    s += d;
  }
  s += '\x0D';
  for (const std::string& r : records) s += r;
  s += '\x1A';
  return s;
}

const std::vector<Field> kPeople = {{"ID", 3}, {"name", 5}};  // record length 9

class DbfTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& bytes, const std::string& name = "t.dbf") {
    const std::string p = dir_ / name;
    WriteFile(p, bytes);
    return p;
  }
  testsupport::TempDir dir_;
};

TEST_F(DbfTest, ReadsByNameAndIndexWithBlanksForNuls) {
  const std::string p = Make(MakeTable(kPeople, {" " + std::string("  1") + "Ann  ", "*" + std::string("\0\0" "2", 3) +
                                                                                        std::string("B\0b\0\0", 5)}));
  TagDbfData d(p);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.Rows(), 2);
  EXPECT_EQ(d.Cols(), 2);
  struct Case {
    const char* name;  // null: by index
    int col, row, result;
    const char* value;
  } cases[] = {
      {"ID", 0, 1, 0, "  1"},     {"name", 1, 1, 1, "Ann  "},  {nullptr, 1, 1, 1, "Ann  "},
      {"ID", 0, 2, 0, "  2"},     {nullptr, 1, 2, 1, "B b  "},  // NULs read as blanks
      {"NAME", 0, 1, -1, ""},     // by value the name compares exactly
      {"nope", 0, 1, -1, ""},     {"ID", 0, 0, -2, ""},        {"ID", 0, 3, -2, ""},
      {nullptr, 2, 1, -1, ""},    {nullptr, -1, 1, -1, ""},    {nullptr, 0, -1, -2, ""},
  };
  for (const Case& c : cases) {
    std::string out = "old";
    const int r = c.name ? d.GetValByName(out, c.name, c.row) : d.GetValByIndex(out, c.col, c.row);
    EXPECT_EQ(r, c.result) << (c.name ? c.name : "#") << c.col << " row " << c.row;
    EXPECT_EQ(out, c.value) << (c.name ? c.name : "#") << c.col << " row " << c.row;
  }
  EXPECT_EQ(d.GetColIndex("NAME"), 1);  // the index lookup ignores case
  EXPECT_EQ(d.GetColIndex("zz"), -1);
  std::string name;
  EXPECT_EQ(d.GetColName(1, name), 1);
  EXPECT_EQ(name, "name");
  EXPECT_EQ(d.GetColName(2, name), -1);
  EXPECT_EQ(name, "");
}

TEST_F(DbfTest, HeaderLength97HasTwoFieldsAndRecordsAreReReadEveryTime) {
  const std::string p = Make(MakeTable(kPeople, {"  11Ann  "}, 97));
  TagDbfData d(p);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.Cols(), 2);
  EXPECT_EQ(d.Rows(), 1);
  // Another writer appends and rewrites: seen at once.
  WriteFile(p, MakeTable(kPeople, {"  11Ann  ", "  22Bob  "}, 97));
  EXPECT_EQ(d.Rows(), 2);
  std::string out;
  EXPECT_EQ(d.GetValByName(out, "name", 2), 1);
  EXPECT_EQ(out, "Bob  ");
}

TEST_F(DbfTest, WritesInPlaceWithTheExactBytes) {
  std::vector<std::string> recs;
  for (int i = 0; i < 10; ++i) recs.push_back(" " + std::string("  ") + std::to_string(i) + "abcde");
  const std::string p = Make(MakeTable(kPeople, recs));
  const std::string before = ReadFile(p);
  TagDbfData d(p);
  ASSERT_EQ(d.status, 0);

  struct Case {
    const char* what;
    const char* value;
    const char* field;  // null: by index col
    int col, row, result;
    const char* record;  // record `row` (or 11 for the append) afterwards; null: file unchanged
  } cases[] = {
      {"unknown field", "x", "zz", 0, 3, -1, nullptr},
      {"index past the fields", "x", nullptr, 2, 3, -1, nullptr},
      {"row 0", "x", "ID", 0, 0, -2, nullptr},
      {"row past the count", "x", "ID", 0, 11, -2, nullptr},
      {"value over 1000 bytes", nullptr, "ID", 0, 3, -1, nullptr},
      {"short value right-aligned", "ab", "name", 0, 3, 3, "   2   ab"},
      {"long value cut to its start", "1234567", nullptr, 1, 4, 4, "   312345"},
      {"exact length", "xyz", "ID", 0, 5, 5, " xyzabcde"},
  };
  const std::string longValue(1001, 'v');
  for (const Case& c : cases) {
    const std::string value = c.value ? c.value : longValue;
    const int r = c.field ? d.SetValByName(value, c.field, c.row) : d.SetValByIndex(value, c.col, c.row);
    EXPECT_EQ(r, c.result) << c.what;
    const std::string now = ReadFile(p);
    if (c.record == nullptr) {
      EXPECT_EQ(now, before) << c.what << ": the file, its date included, is unchanged";
      continue;
    }
    const size_t at = 32 + 2 * 32 + 1 + 9 * static_cast<size_t>(c.row - 1);
    EXPECT_EQ(now.substr(at, 9), c.record) << c.what;
  }
  // The header carries today's date; the count is unchanged.
  const std::string now = ReadFile(p);
  const time_t t = ::time(nullptr);
  struct tm lt {};
  ::localtime_r(&t, &lt);
  EXPECT_EQ(static_cast<uint8_t>(now[1]), lt.tm_year);
  EXPECT_EQ(static_cast<uint8_t>(now[2]), lt.tm_mon + 1);
  EXPECT_EQ(static_cast<uint8_t>(now[3]), lt.tm_mday);
  EXPECT_EQ(now.substr(4, 4), std::string("\x0a\0\0\0", 4));
  EXPECT_EQ(now.substr(8, 24), before.substr(8, 24));
  EXPECT_EQ(now.size(), before.size());

  // An append writes the buffer (the record last written) with the field
  // changed, at header length + 10 x record length, then 0x1A.
  EXPECT_EQ(d.SetValByName("q", "name", -1), 11);
  const std::string after = ReadFile(p);
  const size_t at = 97 + 10 * 9;
  ASSERT_EQ(after.size(), at + 10);
  EXPECT_EQ(after.substr(at), " xyz    q\x1A");
  EXPECT_EQ(after.substr(4, 4), std::string("\x0b\0\0\0", 4));
  EXPECT_EQ(d.Rows(), 11);
}

TEST_F(DbfTest, AnAppendRightAfterTheOpenStartsFromBlanks) {
  const std::string p = Make(MakeTable(kPeople, {}));
  TagDbfData d(p);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.Rows(), 0);
  EXPECT_EQ(d.SetValByName("7", "ID", -1), 1);
  EXPECT_EQ(d.SetValByName("Zed", "name", 1), 1);
  const std::string s = ReadFile(p);
  EXPECT_EQ(s.substr(97), "   7  Zed\x1A");
}

TEST_F(DbfTest, MalformedFilesAreRefused) {
  const std::string good = MakeTable(kPeople, {"  11Ann  "});
  std::string noTerminator = MakeTable({{"ABCDEFGHIJK", 3}}, {" 11"});
  struct Case {
    const char* what;
    std::string bytes;
    int status;
  } cases[] = {
      {"empty file", "", -5},
      {"shorter than a header", good.substr(0, 31), -5},
      {"version 4", MakeTable(kPeople, {}, -1, -1, -1, 0x04), -7},
      {"dBASE IV", MakeTable(kPeople, {}, -1, -1, -1, 0x8B), -7},
      {"header length 32: no descriptors", MakeTable(kPeople, {}, 32), -7},
      {"header length 1", MakeTable(kPeople, {}, 1), -7},
      {"header length 0", MakeTable(kPeople, {}, 0), -7},
      {"negative header length", MakeTable(kPeople, {}, 0x8000), -7},
      {"record length 0", MakeTable(kPeople, {}, -1, 0), -7},
      {"negative record length", MakeTable(kPeople, {}, -1, 0xFFFF), -7},
      {"fields past the record", MakeTable(kPeople, {}, -1, 8), -7},
      {"a field longer than the record", MakeTable({{"A", 200}}, {}, -1, 100), -7},
      {"name without a terminator", noTerminator, -7},
      {"descriptors cut short", good.substr(0, 32 + 40), -7},
      {"header length past the file", MakeTable(kPeople, {}, 32000), -7},
  };
  for (const Case& c : cases) {
    const std::string p = Make(c.bytes, "bad.dbf");
    TagDbfData d(p);
    EXPECT_EQ(d.status, c.status) << c.what;
    std::string out = "old";
    EXPECT_EQ(d.Rows(), -1) << c.what;
    EXPECT_EQ(d.Cols(), -1) << c.what;
    EXPECT_EQ(d.GetValByIndex(out, 0, 1), -1) << c.what;
    EXPECT_EQ(out, "") << c.what;
    EXPECT_EQ(d.SetValByIndex("x", 0, -1), -1) << c.what;
    EXPECT_EQ(ReadFile(p), c.bytes) << c.what;
  }
  // The name field holds 79 characters; a longer path does not open.
  const std::string deep = dir_.path() + "/" + std::string(73 - dir_.path().size(), 'd');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  WriteFile(deep + "/t.db", good);
  WriteFile(deep + "/tt.db", good);
  EXPECT_EQ(TagDbfData(deep + "/t.db").status, 0);
  EXPECT_EQ(TagDbfData(deep + "/tt.db").status, -5);
  EXPECT_EQ(TagDbfData(dir_ / "missing.dbf").status, -5);
  EXPECT_EQ(TagDbfData(dir_.path()).status, -5);
}

TEST_F(DbfTest, ASwitchToABadFileLeavesNothingOpenUntilAGoodOne) {
  const std::string good = Make(MakeTable(kPeople, {"  11Ann  "}));
  const std::string bad = Make("not a table at all, but long enough to hold a header", "bad.dbf");
  TagDbfData d(good);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.Exec(bad), -7);
  EXPECT_EQ(d.status, -7);
  std::string out;
  EXPECT_EQ(d.GetValByName(out, "ID", 1), -1);
  EXPECT_EQ(d.GetColIndex("ID"), -1);
  EXPECT_EQ(d.Exec(good), 0);
  EXPECT_EQ(d.GetValByName(out, "ID", 1), 0);
  EXPECT_EQ(out, " 11");
}

TEST_F(DbfTest, PositionsAreComputedPast4GB) {
  // Record 2^18 + 1 of 16384 bytes starts 2^32 bytes after record 1: in 32
  // bits it would wrap onto record 1 and read or overwrite it.
  const std::vector<Field> wide = {{"A", 255}};
  std::string rec(16384, ' ');
  rec.replace(1, 5, "first");
  const std::string bytes = MakeTable(wide, {rec}, -1, 16384, (1 << 18) + 1);
  const std::string p = Make(bytes);
  TagDbfData d(p);
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.Rows(), (1 << 18) + 1);
  std::string out = "old";
  EXPECT_EQ(d.GetValByIndex(out, 0, (1 << 18) + 1), -2);
  EXPECT_EQ(out, "");
  // Nor is record 1 rewritten in its place.
  EXPECT_EQ(d.SetValByIndex("overwritten", 0, (1 << 18) + 1), -2);
  EXPECT_EQ(d.GetValByIndex(out, 0, 1), 0);
  EXPECT_EQ(out.substr(0, 6), "first ");
}

// Eight data sets on threads (lines) append to one file at once: every
// record lands in a place of its own, the count matches.
TEST_F(DbfTest, EightLinesAppendingAtOnce) {
  const std::vector<Field> f = {{"LINE", 2}, {"SEQ", 4}};
  const std::string p = Make(MakeTable(f, {}));
  constexpr int kLines = 8, kEach = 60;
  std::vector<std::thread> threads;
  std::vector<int> failures(kLines, 0);
  for (int line = 0; line < kLines; ++line) {
    threads.emplace_back([&, line] {
      TagDbfData d(p);
      if (d.status != 0) {
        failures[static_cast<size_t>(line)] = -1;
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        // Fill the buffer with this record, then append it.
        const int n = d.SetValByName(std::to_string(line), "LINE", -1);
        if (n < 1) ++failures[static_cast<size_t>(line)];
        if (d.SetValByName(std::to_string(i), "SEQ", n) != n) ++failures[static_cast<size_t>(line)];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int line = 0; line < kLines; ++line) EXPECT_EQ(failures[static_cast<size_t>(line)], 0) << line;
  TagDbfData d(p);
  ASSERT_EQ(d.Rows(), kLines * kEach);
  std::set<std::pair<int, int>> seen;
  std::string line, seq;
  for (int r = 1; r <= kLines * kEach; ++r) {
    ASSERT_EQ(d.GetValByName(line, "LINE", r), 0);
    ASSERT_EQ(d.GetValByName(seq, "SEQ", r), 1);
    seen.insert({std::stoi(line), std::stoi(seq)});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kLines * kEach));
  const std::string bytes = ReadFile(p);
  EXPECT_EQ(bytes.size(), 32 + 64 + 1 + 7u * kLines * kEach + 1);
  EXPECT_EQ(bytes.back(), '\x1A');
}

// Two writers updating different fields of one record never undo each
// other's update.
TEST_F(DbfTest, UpdatesOfDifferentFieldsAreNotLost) {
  const std::vector<Field> f = {{"A", 5}, {"B", 5}};
  const std::string p = Make(MakeTable(f, {std::string(11, ' '), std::string(11, ' ')}));
  constexpr int kTimes = 300;
  auto writer = [&](const char* field) {
    TagDbfData d(p);
    for (int i = 1; i <= kTimes; ++i) d.SetValByName(std::to_string(i), field, 2);
  };
  std::thread a(writer, "A"), b(writer, "B");
  a.join();
  b.join();
  TagDbfData d(p);
  std::string out;
  d.GetValByName(out, "A", 2);
  EXPECT_EQ(out, "  300");
  d.GetValByName(out, "B", 2);
  EXPECT_EQ(out, "  300");
}

// Processes lock the file itself: four children append at once.
TEST_F(DbfTest, ProcessesAppendingAtOnce) {
  const std::vector<Field> f = {{"P", 2}, {"SEQ", 4}};
  const std::string p = Make(MakeTable(f, {}));
  constexpr int kProcs = 4, kEach = 50;
  std::vector<pid_t> kids;
  for (int k = 0; k < kProcs; ++k) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      {
        TagDbfData d(p);
        for (int i = 0; i < kEach; ++i) {
          const int n = d.SetValByName(std::to_string(k), "P", -1);
          if (n < 1 || d.SetValByName(std::to_string(i), "SEQ", n) != n) ++bad;
        }
      }
      ::_exit(bad == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int st = 0;
    ASSERT_EQ(::waitpid(k, &st, 0), k);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  TagDbfData d(p);
  ASSERT_EQ(d.Rows(), kProcs * kEach);
  std::set<std::pair<int, int>> seen;
  std::string a, b;
  for (int r = 1; r <= kProcs * kEach; ++r) {
    d.GetValByName(a, "P", r);
    d.GetValByName(b, "SEQ", r);
    seen.insert({std::stoi(a), std::stoi(b)});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcs * kEach));
}

}  // namespace
