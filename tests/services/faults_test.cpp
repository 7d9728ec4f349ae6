// Faults injected under the file services: a full disk, an I/O error, a
// write that goes out short, an open that fails for want of descriptors.
// Each write either succeeds or gives its documented error, what is on disk
// is whole records only, and writing goes on once the fault is gone.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "engine/tagvar.h"
#include "platform/faults.h"
#include "services/dataset.h"
#include "services/dbf.h"
#include "services/textfiles.h"
#include "tests/support/tempdir.h"

namespace {

using plat::faults::Op;
using testsupport::ReadFile;
using testsupport::WriteFile;

struct Fault {
  const char* name;
  Op op;
  int err;
  size_t keep;  // bytes a failing write lets through
};

const Fault kFaults[] = {
    {"disk full", Op::kWrite, ENOSPC, 0},
    {"IO error", Op::kWrite, EIO, 0},
    {"short write", Op::kWrite, ENOSPC, 5},
    {"open without descriptors", Op::kOpen, EMFILE, 0},
};

// One file service: writes a record (true when it reports success) and
// tells which lines a file of whole records may hold.
struct Target {
  const char* name;
  // Set up in dir; returns the file the records land in.
  std::function<std::string(const std::string& dir)> open;
  std::function<bool(const std::string& record)> write;
  // A record as the file shows it (the line, or the line without stamps).
  std::function<std::vector<std::string>(const std::string& file)> records;
  bool reportsFailure;  // a logger has no result to give
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  // A last line without its end is torn.
  if (!text.empty() && text.back() != '\n') out.push_back("TORN:" + out.back());
  return out;
}

// The text of a data-set log line "[stamp] text"; a line that is not of
// that form comes back marked torn.
std::string AfterStamp(const std::string& line) {
  static const std::regex form(R"(^\[\d{8} \d{2}:\d{2}:\d{2}\.\d{3}\] (.*)$)");
  std::smatch m;
  return std::regex_match(line, m, form) ? m[1].str() : "TORN:" + line;
}

// dBASE table "ID" C(3), "NAME" C(5), no records.
std::string EmptyTable() {
  std::string s(32, '\0');
  s[0] = 3;
  s[8] = 32 + 2 * 32 + 1;  // header length
  s[10] = 9;               // record length
  const char* names[] = {"ID", "NAME"};
  const int lens[] = {3, 5};
  for (int i = 0; i < 2; ++i) {
    std::string d(32, '\0');
    d.replace(0, strlen(names[i]), names[i]);
    d[11] = 'C';
    d[16] = static_cast<char>(lens[i]);
    s += d;
  }
  return s + "\x0D\x1A";
}

class FaultTable : public ::testing::TestWithParam<Fault> {
 protected:
  void TearDown() override { plat::faults::Disarm(); }
};

TEST_P(FaultTable, EveryWriterKeepsWholeRecordsAndGoesOn) {
  const Fault f = GetParam();
  TTxtAppend appends;
  TTextFileSet files;
  std::unique_ptr<TagDbfData> table;
  TagDbLog dbLog;
  std::unique_ptr<TagWriteLog> programLog;
  std::string appendFile, dbfFile, scriptFile;

  const std::vector<Target> targets = {
      {"TextFileAppend",
       [&](const std::string& dir) { return appendFile = dir + "/a.txt"; },
       [&](const std::string& r) { return appends.Append(appendFile, 0, r, 1) == 0; },
       [](const std::string& file) { return Lines(ReadFile(file)); }, true},
      {"FileWrite",
       // Opened by each write, as a script that appends a line at a time.
       [&](const std::string& dir) { return scriptFile = dir + "/w.txt"; },
       [&](const std::string& r) {
         const int handle = files.FileOpen(scriptFile, "a");
         if (handle < 0) return false;
         const bool ok = files.FileWrite(handle, TagVar::Str(r + "\n")) == 0;
         files.FileClose(handle);
         return ok;
       },
       nullptr, true},
      {"dBASE append",
       [&](const std::string& dir) {
         dbfFile = dir + "/t.dbf";
         WriteFile(dbfFile, EmptyTable());
         table = std::make_unique<TagDbfData>(dbfFile);
         return dbfFile;
       },
       [&](const std::string& r) { return table->SetValByName(r, "NAME", -1) > 0; },
       [&](const std::string&) {
         // Every record the header counts, read back; and the file's size
         // is exactly header, records and the end byte.
         std::vector<std::string> out;
         TagDbfData again(dbfFile);
         const int rows = again.Rows();
         for (int row = 1; row <= rows; ++row) {
           std::string v;
           again.GetValByName(v, "NAME", row);
           out.push_back(v);
         }
         const size_t size = ReadFile(dbfFile).size();
         if (size != 97u + 9u * static_cast<size_t>(rows) + 1u) out.push_back("TORN: size " + std::to_string(size));
         return out;
       },
       true},
      {"data-set log",
       [&](const std::string& dir) {
         const std::string p = dir + "/sqlapp.log";
         dbLog.Open(p);
         return p;
       },
       [&](const std::string& r) {
         dbLog.Write(r);
         return true;
       },
       [](const std::string& file) {
         std::vector<std::string> out;
         for (const std::string& l : Lines(ReadFile(file))) out.push_back(AfterStamp(l));
         return out;
       },
       false},
      {"program log",
       [&](const std::string& dir) {
         programLog = std::make_unique<TagWriteLog>(dir + "/msg_log.txt", 2100000, true, true);
         return dir + "/msg_log.txt";
       },
       [&](const std::string& r) {
         programLog->Write(r.c_str());
         return true;
       },
       [](const std::string& file) {
         // Lines of the form "<date> <time> 0x<thread> [text]".
         static const std::regex form(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} 0x[0-9a-f]+ \[(.*)\]$)");
         std::vector<std::string> out;
         for (const std::string& l : Lines(ReadFile(file))) {
           if (l.empty() || l == "System Start...") continue;
           std::smatch m;
           out.push_back(std::regex_match(l, m, form) ? m[1].str() : "TORN:" + l);
         }
         return out;
       },
       false},
  };

  for (const Target& t : targets) {
    SCOPED_TRACE(std::string(t.name) + ", " + f.name);
    testsupport::TempDir dir;
    // A dBASE table is opened before the fault: its open has no fault to meet.
    const std::string file = t.open(dir.path());
    ASSERT_TRUE(t.write("alpha"));
    plat::faults::Arm(f.op, 1, f.err, 0, f.keep);
    const bool faulted = t.write("bravo");
    const bool reached = plat::faults::Failed(f.op) > 0;
    plat::faults::Disarm();
    // Every writer meets a write fault; only files opened per write meet
    // an open fault.
    if (f.op == Op::kWrite) {
      EXPECT_TRUE(reached);
    }
    if (!reached) {
      EXPECT_TRUE(faulted);
    } else if (t.reportsFailure) {
      EXPECT_FALSE(faulted);
    }
    ASSERT_TRUE(t.write("delta"));
    if (!t.records) {
      // A script's own file holds what reached it: the records written
      // whole, and of the failed one at most the bytes the disk took.
      const std::string text = ReadFile(file);
      ASSERT_GE(text.size(), 12u);
      EXPECT_EQ(text.substr(0, 6), "alpha\n");
      EXPECT_EQ(text.substr(text.size() - 6), "delta\n");
      continue;
    }
    std::vector<std::string> want = {"alpha"};
    if (!reached || faulted) want.push_back("bravo");
    want.push_back("delta");
    std::vector<std::string> got = t.records(file);
    // A logger that reports nothing may have lost the failed record; what it
    // kept is whole.
    if (!t.reportsFailure && reached) want = got.size() == 3 ? std::vector<std::string>{"alpha", "bravo", "delta"}
                                                              : std::vector<std::string>{"alpha", "delta"};
    EXPECT_EQ(got, want);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == ' ') c = '_';
                           return n;
                         });

// A dBASE record rewritten in place when the disk fails part-way keeps its
// old bytes, and the table its size and count.
TEST(DbfUnderFaults, AnUpdateThatFailsPartWayLeavesTheRecordAsItWas) {
  for (const Fault& f : kFaults) {
    if (f.op != Op::kWrite) continue;
    SCOPED_TRACE(f.name);
    testsupport::TempDir dir;
    const std::string p = dir / "t.dbf";
    WriteFile(p, EmptyTable());
    TagDbfData table(p);
    ASSERT_EQ(table.SetValByName("alpha", "NAME", -1), 1);
    ASSERT_EQ(table.SetValByName("7", "ID", 1), 1);
    const std::string before = ReadFile(p);
    plat::faults::Arm(Op::kWrite, 1, f.err, 0, f.keep);
    EXPECT_LT(table.SetValByName("bravo", "NAME", 1), 0);
    EXPECT_LT(table.SetValByName("charl", "NAME", -1), 0);
    plat::faults::Disarm();
    EXPECT_EQ(ReadFile(p), before);
    EXPECT_EQ(table.SetValByName("delta", "NAME", 1), 1);
    std::string v;
    table.GetValByName(v, "NAME", 1);
    EXPECT_EQ(v, "delta");
    EXPECT_EQ(table.Rows(), 1);
  }
}

// An append cut short by a full disk is taken back; the next append, once
// there is room again, starts a line of its own.
TEST(AppendUndo, AShortAppendLeavesNoPartOfItsLine) {
  testsupport::TempDir dir;
  const std::string p = dir / "calls.txt";
  TTxtAppend reg;
  ASSERT_EQ(reg.Append(p, 0, "xyz01", 1), 0);
  plat::faults::Arm(Op::kWrite, 1, ENOSPC, 0, 3);  // full until it is disarmed
  EXPECT_EQ(reg.Append(p, 0, "L0 14058 abc", 1), -1);
  plat::faults::Disarm();
  ASSERT_EQ(reg.Append(p, 0, "L1 14059 def", 1), 0);
  EXPECT_EQ(ReadFile(p), "xyz01\nL1 14059 def\n");
}

}  // namespace
