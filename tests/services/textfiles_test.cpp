// Script text files: the mode letters, handles, reads by size, line and
// lines, long lines, write failures; the append registry: line forms, the
// idle rule under a test clock, shared records closed under a writer, and
// lines of several threads that never interleave.
#include "services/textfiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/tagvar.h"
#include "tests/support/tempdir.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

class TextFileSetTest : public ::testing::Test {
 protected:
  void TearDown() override {
    out_.SetNull();
    set_.FileCloseAll();
  }
  std::string P(const std::string &name) { return dir_ / name; }
  testsupport::TempDir dir_;
  TTextFileSet set_;
  TagVar out_;
};

TEST_F(TextFileSetTest, ModeLettersChooseReadingWritingAndTruncation) {
  struct Case {
    const char *mode;
    bool opens;         // on an existing file
    bool reads;         // FileRead sees the old content
    bool writes;        // FileWrite returns 0
    const char *after;  // the file after writing "X"
  };
  const Case cases[] = {
      // "a+" only appends: the plus counts only without an a.
      {"r", true, true, false, "old"},  {"rb", true, true, false, "old"},  {"w", true, false, true, "X"},
      {"a", true, false, true, "oldX"}, {"a+", true, false, true, "oldX"}, {"r+", true, true, true, "oldX"},
      {"+", true, true, true, "oldX"},  {"w+", true, false, true, "X"},    {"bx", false, false, false, "old"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    WriteFile(P("m.txt"), "old");
    const int h = set_.FileOpen(P("m.txt"), c.mode);
    ASSERT_EQ(h >= 0, c.opens);
    if (h < 0) continue;
    const int n = set_.FileRead(h, out_);
    EXPECT_EQ(n == 3 && out_.Bytes() == "old", c.reads);
    EXPECT_EQ(set_.FileWrite(h, TagVar::Str("X")) == 0, c.writes);
    set_.FileClose(h);
    EXPECT_EQ(ReadFile(P("m.txt")), c.after);
  }
}

TEST_F(TextFileSetTest, HandlesAreNeverReusedAndUnknownOnesGiveEmpty) {
  WriteFile(P("a.txt"), "a\n");
  EXPECT_EQ(set_.FileOpen(P("a.txt"), "r"), 0);
  EXPECT_EQ(set_.FileOpen(P("a.txt"), "r"), 1);
  EXPECT_EQ(set_.FileOpen(P("a.txt"), "r"), 2);
  set_.FileClose(1);
  EXPECT_EQ(set_.FileOpen(P("a.txt"), "r"), 3);
  EXPECT_EQ(set_.FileOpen(P("missing.txt"), "r"), -1);
  EXPECT_EQ(set_.FileOpen(dir_.path(), "r"), -1);
  EXPECT_EQ(set_.FileOpen(P("a.txt"), "r"), 4);
  out_.SetString("stale");
  EXPECT_EQ(set_.FileReadLine(1, out_), 0);
  EXPECT_EQ(out_.Bytes(), "");
  out_.SetString("stale");
  EXPECT_EQ(set_.FileRead(99, out_), 0);
  EXPECT_EQ(out_.Bytes(), "");
  EXPECT_EQ(set_.FileWrite(1, TagVar::Str("x")), 0);
  EXPECT_EQ(set_.OpenCount(), 4u);
  set_.FileCloseAll();
  EXPECT_EQ(set_.OpenCount(), 0u);
}

TEST_F(TextFileSetTest, ReadsKeepNulBytesAndStopAtTheEnd) {
  WriteFile(P("b.bin"), std::string("ab\0cd\0ef", 8));
  const int h = set_.FileOpen(P("b.bin"), "rb");
  EXPECT_EQ(set_.FileRead(h, out_), 8);
  EXPECT_EQ(out_.Bytes(), std::string_view("ab\0cd\0ef", 8));
  // Four bytes before the end, ten asked: four come.
  EXPECT_EQ(set_.FileSeek(h, 4), 4);
  EXPECT_EQ(set_.FileReadSize(h, 10, out_), 4);
  EXPECT_EQ(out_.Bytes(), std::string_view("d\0ef", 4));
  // A huge size costs only what the file has.
  set_.FileSeek(h, 0);
  EXPECT_EQ(set_.FileReadSize(h, 2147483647, out_), 8);
  EXPECT_EQ(set_.FileRead(h, out_), 0);
  EXPECT_EQ(out_.Bytes(), "");
}

TEST_F(TextFileSetTest, LinesCutAtLineEndsAndLongLinesContinue) {
  const std::string longLine(8191 + 100, 'x');
  const std::string exact(8191, 'y');
  const std::string crlf(8191, 'z');
  const std::string loneCr(8191, 'w');
  // The line end right after the longest line is its own, LF or CR LF; a
  // lone CR there starts the next line (cut at once, as any line is).
  WriteFile(P("l.txt"), "one\r\ntwo\n\n" + longLine + "\n" + exact + "\n" + crlf + "\r\n" + loneCr + "\rgone\nlast");
  const int h = set_.FileOpen(P("l.txt"), "r");
  std::vector<std::pair<int, std::string>> got;
  int n;
  while ((n = set_.FileReadLine(h, out_)) != -1) got.emplace_back(n, std::string(out_.Bytes()));
  EXPECT_EQ(out_.Bytes(), "");
  const std::vector<std::pair<int, std::string>> want = {
      {3, "one"},    {3, "two"}, {0, ""}, {8191, std::string(8191, 'x')}, {100, std::string(100, 'x')},
      {8191, exact}, {8191, crlf}, {8191, loneCr}, {0, ""}, {4, "last"}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(set_.FileReadLine(h, out_), -1);
  // A seek clears the end and the lines come again, into a map.
  set_.FileSeek(h, 0);
  EXPECT_EQ(set_.FileReadLines(h, out_), 10);
  TagVar item;
  out_.GetItem(TagVar::Int(4), item);
  EXPECT_EQ(item.Bytes(), std::string(100, 'x'));
  out_.GetItem(TagVar::Int(9), item);
  EXPECT_EQ(item.Bytes(), "last");
  item.SetNull();
}

TEST_F(TextFileSetTest, MapLinesKeepsTheLastNumberOfARepeatedLine) {
  WriteFile(P("m.txt"), "a\nb\na\n");
  const int h = set_.FileOpen(P("m.txt"), "r");
  EXPECT_EQ(set_.FileMapLines(h, out_), 3);
  TagVar v;
  out_.GetItem(TagVar::Str("a"), v);
  EXPECT_EQ(v.ToText(), "3");
  out_.GetItem(TagVar::Str("b"), v);
  EXPECT_EQ(v.ToText(), "2");
  EXPECT_EQ(out_.Length(), 2);
}

TEST_F(TextFileSetTest, WritesOfOtherValuesAreTheirTextAndFailuresAreMinusOne) {
  const int h = set_.FileOpen(P("w.txt"), "w+");
  EXPECT_EQ(set_.FileWrite(h, TagVar::Int(42)), 0);
  EXPECT_EQ(set_.FileWrite(h, TagVar::Str(std::string_view("\0z", 2))), 0);
  EXPECT_EQ(ReadFile(P("w.txt")), std::string("42\0z", 4));
  // Reading after writing on one stream, then writing again at the end.
  set_.FileSeek(h, 1);
  EXPECT_EQ(set_.FileReadSize(h, 1, out_), 1);
  EXPECT_EQ(out_.Bytes(), "2");
  EXPECT_EQ(set_.FileWrite(h, TagVar::Str("Q")), 0);
  EXPECT_EQ(ReadFile(P("w.txt")), std::string("42Qz", 4));

  WriteFile(P("ro.txt"), "x");
  const int ro = set_.FileOpen(P("ro.txt"), "r");
  EXPECT_EQ(set_.FileWrite(ro, TagVar::Str("y")), -1);
  const int full = set_.FileOpen("/dev/full", "w");
  ASSERT_GE(full, 0);
  EXPECT_EQ(set_.FileWrite(full, TagVar::Str("y")), -1);
}

// ---- the append registry ----

class TxtAppendTest : public ::testing::Test {
 protected:
  std::string P(const std::string &name) { return dir_ / name; }
  testsupport::TempDir dir_;
  std::atomic<int64_t> now_{1000000};
  TTxtAppend reg_{[this] { return now_.load(); }};
};

TEST_F(TxtAppendTest, EachModeWritesItsLineForm) {
  EXPECT_EQ(reg_.Append(P("f.log"), 7, "bare", 0), 0);
  EXPECT_EQ(reg_.Append(P("f.log"), 7, "-plain", 1), 0);
  EXPECT_EQ(reg_.Append(P("f.log"), 7, "neg", -5), 0);
  EXPECT_EQ(reg_.Append(P("f.log"), 7, "stamped", 2), 0);
  EXPECT_EQ(reg_.Append(P("f.log"), 7, "numbered", 3), 0);
  EXPECT_EQ(reg_.Append(P("f.log"), 12, "big", 9), 0);
  std::istringstream in(ReadFile(P("f.log")));
  std::string l;
  std::getline(in, l);
  EXPECT_EQ(l, "bare-plain");
  std::getline(in, l);
  EXPECT_EQ(l, "neg");
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
  std::getline(in, l);
  EXPECT_TRUE(std::regex_match(l, std::regex(stamp + " : stamped"))) << l;
  std::getline(in, l);
  EXPECT_TRUE(std::regex_match(l, std::regex(stamp + R"( \[7\]: numbered)"))) << l;
  std::getline(in, l);
  EXPECT_TRUE(std::regex_match(l, std::regex(stamp + R"( \[12\]: big)"))) << l;
  EXPECT_FALSE(std::getline(in, l));
}

TEST_F(TxtAppendTest, CloseAndFailedOpens) {
  EXPECT_EQ(reg_.Close(P("never.log")), -1);
  EXPECT_EQ(reg_.Append(P("c.log"), 0, "a", 1), 0);
  EXPECT_EQ(reg_.Close(P("c.log")), 0);
  EXPECT_EQ(reg_.Close(P("c.log")), -1);
  // A folder that does not exist: -1, and the record waits for the idle rule.
  EXPECT_EQ(reg_.Append(P("nodir/x.log"), 0, "a", 1), -1);
  EXPECT_EQ(reg_.Count(), 1u);
  std::filesystem::create_directory(P("nodir"));
  EXPECT_EQ(reg_.Append(P("nodir/x.log"), 0, "a", 1), -1);
  now_ += TTxtAppend::kIdleMs;
  EXPECT_EQ(reg_.CloseIdle(), 1);
  EXPECT_EQ(reg_.Append(P("nodir/x.log"), 0, "b", 1), 0);
  EXPECT_EQ(ReadFile(P("nodir/x.log")), "b\n");
}

TEST_F(TxtAppendTest, IdleRuleClosesOnlyFilesNotWrittenFor601Seconds) {
  EXPECT_EQ(reg_.Append(P("a.log"), 0, "1", 1), 0);
  // 700 s later with nothing in between: the same record is written and kept.
  now_ += 700 * 1000;
  EXPECT_EQ(reg_.Append(P("a.log"), 0, "2", 1), 0);
  EXPECT_EQ(reg_.Count(), 1u);
  // An append to another file 601 s after that closes the first file.
  now_ += 600 * 1000;
  EXPECT_EQ(reg_.Append(P("b.log"), 0, "x", 1), 0);
  EXPECT_EQ(reg_.Count(), 2u);
  now_ += 1000;
  EXPECT_EQ(reg_.Append(P("b.log"), 0, "y", 1), 0);
  EXPECT_EQ(reg_.Count(), 1u);
  // The next append opens it afresh.
  EXPECT_EQ(reg_.Append(P("a.log"), 0, "3", 1), 0);
  EXPECT_EQ(reg_.Count(), 2u);
  EXPECT_EQ(ReadFile(P("a.log")), "1\n2\n3\n");
}

TEST(TxtRecTest, AClosedRecordRefusesWritesWhileItsHolderKeepsIt) {
  testsupport::TempDir dir;
  auto rec = std::make_shared<TTxtRec>(dir / "r.log", 0);
  std::shared_ptr<TTxtRec> held = rec;  // as a line that has just found it
  EXPECT_EQ(held->Write(1, "a", 1, 0), 0);
  rec->Close();
  rec.reset();
  EXPECT_FALSE(held->IsOpen());
  EXPECT_EQ(held->Write(1, "b", 1, 0), -1);
  EXPECT_EQ(ReadFile(dir / "r.log"), "a\n");
}

TEST_F(TxtAppendTest, LinesOfManyThreadsAndTwoSpellingsNeverInterleave) {
  std::filesystem::create_directory(P("Logs"));
  WriteFile(P("Logs/Shared.log"), "");
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  // Two spellings of one file are two records on one file.
  const std::string names[2] = {P("Logs/Shared.log"), P("logs/SHARED.LOG")};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string body(200 + t * 50, char('a' + t));
      for (int i = 0; i < kLines; ++i)
        reg_.Append(names[t % 2], t, std::to_string(t) + ":" + std::to_string(i) + ":" + body, 1);
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(reg_.Count(), 2u);
  std::istringstream in(ReadFile(P("Logs/Shared.log")));
  std::set<std::string> seen;
  std::string l;
  int count = 0;
  while (std::getline(in, l)) {
    ++count;
    const size_t a = l.find(':'), b = l.find(':', a + 1);
    ASSERT_NE(b, std::string::npos) << l.substr(0, 40);
    const int t = std::stoi(l.substr(0, a));
    ASSERT_EQ(l.substr(b + 1), std::string(200 + t * 50, char('a' + t))) << l.substr(0, 40);
    EXPECT_TRUE(seen.insert(l.substr(0, b)).second) << l.substr(0, b);
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}

}  // namespace

namespace {

// Closes racing with appends to the same name: a writer that found a record
// just before it was closed gets -1 or writes a whole line, never touches a
// freed record; every line that reports 0 is in the file once.
TEST(TxtAppendRace, ClosesDuringAppendsLoseNoReportedLine) {
  testsupport::TempDir dir;
  TTxtAppend reg;
  const std::string name = dir / "race.log";
  std::atomic<int> written{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i)
        if (reg.Append(name, t, std::to_string(t) + "-" + std::to_string(i) + std::string(100, 'z'), 1) == 0) ++written;
    });
  std::thread closer([&] {
    while (!done.load()) reg.Close(name);
  });
  for (auto &w : writers) w.join();
  done = true;
  closer.join();
  std::istringstream in(ReadFile(name));
  const std::regex whole("[01]-[0-9]+z{100}");
  std::set<std::string> seen;
  std::string l;
  while (std::getline(in, l)) {
    EXPECT_TRUE(std::regex_match(l, whole)) << l.substr(0, 20);
    EXPECT_TRUE(seen.insert(l).second);
  }
  EXPECT_EQ(int(seen.size()), written.load());
  EXPECT_GT(written.load(), 0);
}

}  // namespace
