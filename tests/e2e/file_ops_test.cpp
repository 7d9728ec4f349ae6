// File, directory and text-file operations in scripts on virtual lines of
// the real program: exact results of one script, and two lines appending to
// one file under two spellings of its name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/e2e/harness.h"

namespace {

std::string WithDir(std::string script, const std::string& dir) {
  for (size_t at; (at = script.find("@D@")) != std::string::npos;) script.replace(at, 3, dir);
  return script;
}

const char* const kScript = R"(d = "@D@"
h = 0
h2 = 0
r = 0
r2 = 0
s = ""
m = 0
mm = 0
f = 0
sz = 0
tm = ""
names = 0
sizes = 0
times = 0
r = MakeDir(d + "Work")
Print("MakeDir " + r + "\n")
r = IsDirExist(d + "WORK\\", f)
Print("IsDirExist " + r + " " + f + "\n")
r = FileOpen(d + "work\\a.txt", "w", h)
Print("FileOpen w " + r + " " + h + "\n")
r = FileWrite(h, "one\r\ntwo\nthree\n")
r2 = FileWrite(h, 42)
Print("FileWrite " + r + " " + r2 + "\n")
r = FileClose(h)
r = FileOpen(d + "Work/A.TXT", "r", h)
Print("FileOpen r " + r + " " + h + "\n")
r = FileReadLine(h, s)
Print("FileReadLine " + r + " [" + s + "]\n")
r = FileReadLines(h, m)
Print("FileReadLines " + r + " " + m[0] + " " + m[2] + "\n")
r = FileReadLine(h, s)
Print("at the end " + r + " [" + s + "]\n")
r = FileSeek(h, 5)
r = FileRead(h, 3, s)
Print("FileRead " + r + " " + s + "\n")
r = FileSeek(h, 0)
r = FileMapLines(h, mm)
Print("FileMapLines " + r + " " + mm["42"] + "\n")
r = FileWrite(h, "x")
Print("FileWrite read-only " + r + "\n")
r = FileOpen(d + "none.txt", "r", h2)
Print("FileOpen missing " + r + " " + h2 + "\n")
r = FileCloseAll()
r = FileReadLine(1, s)
Print("after FileCloseAll " + r + " [" + s + "]\n")
r = FileOpen(d + "work/a.txt", "rb", h)
Print("next handle " + r + "\n")
r = FileRead(h, 0, s)
Print("FileRead all " + r + "\n")
r = FileCopy(d + "work/a.txt", d + "WORK/A.txt")
Print("FileCopy onto itself " + r + "\n")
r = FileCopy(d + "work/a.txt", d + "work/b.txt")
Print("FileCopy " + r + "\n")
r = FileMove(d + "work/b.txt", d + "work/c.txt")
Print("FileMove " + r + "\n")
r = FileMove(d + "work/c.txt", 2)
Print("FileMove 2 " + r + "\n")
r = FileLenTime(d + "old.txt", sz, tm)
Print("FileLenTime " + r + " " + sz + " " + tm + "\n")
r = GetFileList(d + "work\\*.TXT", names, sizes, times)
Print("GetFileList " + r + " " + names[0] + " " + sizes[0] + " " + names[1] + "\n")
r = FileMove(d + "work/c.txt", 0)
r2 = FileMove(d + "work/a.txt", 0)
Print("deleted " + r + " " + r2 + "\n")
r = RemoveDir(d + "work")
Print("RemoveDir " + r + "\n")
r = TextFileAppend(d + "app.log", "bare", 0)
r = TextFileAppend(d + "app.log", "plain", 1)
r = TextFileAppend(d + "app.log", "stamp", 2)
r = TextFileAppend(d + "app.log", 3.5, 3)
r = TextFileClose(d + "app.log")
Print("TextFileClose " + r + "\n")
r = TextFileClose(d + "app.log")
Print("TextFileClose again " + r + "\n")
r = TextFileAppend(d + "nodir/app.log", "x", 1)
Print("TextFileAppend no folder " + r + "\n")
r = SetCurWorkDir(d + "missing")
Print("SetCurWorkDir " + r + "\n")
r = FileOpen(d + "long.txt", "r", h)
r = FileReadLine(h, s)
r2 = FileReadLine(h, s)
Print("after the longest line " + r + " " + r2 + " [" + s + "]\n")
r = FileCloseAll()
r = FileMove(d + "long.txt", d + "nodir/long.txt")
r2 = FileMove(d + "gone.txt", d + "long2.txt")
Print("FileMove missing " + r + " " + r2 + "\n")
Print("END\n")
r = Sleep(0)
)";

const char* const kExpected = R"(MakeDir 0
IsDirExist 0 1
FileOpen w 0 0
FileWrite 0 0
FileOpen r 1 1
FileReadLine 3 [one]
FileReadLines 3 two 42
at the end -1 []
FileRead 3 two
FileMapLines 4 4
FileWrite read-only -1
FileOpen missing -1 -1
after FileCloseAll 0 []
next handle 2
FileRead all 17
FileCopy onto itself -4
FileCopy 0
FileMove 0
FileMove 2 -4
FileLenTime 0 5 20240131 09:05:30
GetFileList 2 a.txt 17 c.txt
deleted 0 0
RemoveDir 0
TextFileClose 0
TextFileClose again -1
TextFileAppend no folder -1
SetCurWorkDir -1
after the longest line 8191 5 [after]
FileMove missing 3 2
END
)";

void StartLines(e2e::Installation& inst, const std::vector<std::string>& scripts) {
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.AddEnv("TZ=UTC");
  std::string cfg =
      "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=" + std::to_string(scripts.size()) +
      "\n";
  for (size_t i = 0; i < scripts.size(); ++i) {
    const std::string file = "l" + std::to_string(i) + ".kxs";
    cfg += std::to_string(i) + " = " + file + "\n";
    inst.Write(file, WithDir(scripts[i], inst.Path("")));
  }
  inst.Write("RoDizRun.cfg", cfg);
  ASSERT_GT(inst.Start(), 0);
}

// The output of a line once it printed END (empty when it never did).
std::string WaitForEnd(e2e::Installation& inst, int line) {
  std::string got;
  const std::string out = "_stdout" + std::to_string(line) + ".txt";
  const bool done = e2e::WaitFor(
      [&] {
        got = inst.Read(out);
        return got.find("END\n") != std::string::npos;
      },
      60000);
  EXPECT_TRUE(done) << "line " << line << ":\n"
                    << got << inst.LogText() << inst.Read("errmsg" + std::to_string(line) + ".txt");
  return got;
}

TEST(FileOpsE2E, FilesDirectoriesTextFilesAndAppends) {
  e2e::Installation inst;
  inst.Write("old.txt", "hello");
  const timespec times[2] = {{1706691930, 0}, {1706691930, 0}};  // 2024-01-31 09:05:30 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, inst.Path("old.txt").c_str(), times, 0), 0);
  inst.Write("long.txt", std::string(8191, 'z') + "\r\nafter\r\n");
  StartLines(inst, {kScript});
  EXPECT_EQ(WaitForEnd(inst, 0), kExpected);
  const std::string log = inst.Read("app.log");
  const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})";
  EXPECT_TRUE(
      std::regex_match(log, std::regex("bareplain\n" + stamp + " : stamp\n" + stamp + R"( \[0\]: 3\.5)" + "\n")))
      << log;
  EXPECT_NE(inst.LogText().find("SetCurWorkDir:" + inst.Path("missing")), std::string::npos);
  EXPECT_EQ(inst.Stop(), 0);
}

const char* const kAppender = R"(d = "@D@"
i = 0
r = 0
bad = 0
while (i < 2000)
{
  r = TextFileAppend(d + "@NAME@", "@LINE@ " + i + " abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz", 1)
  if (r != 0)
  {
    bad = bad + 1
  }
  i = i + 1
}
Print("failed " + bad + "\n")
Print("END\n")
r = Sleep(0)
)";

TEST(FileOpsE2E, TwoLinesAppendToOneFileUnderTwoSpellings) {
  e2e::Installation inst;
  std::filesystem::create_directory(inst.Path("Logs"));
  inst.Write("Logs/Shared.log", "");
  auto script = [](const char* name, const char* line) {
    std::string s = kAppender;
    s.replace(s.find("@NAME@"), 6, name);
    s.replace(s.find("@LINE@"), 6, line);
    return s;
  };
  StartLines(inst, {script("Logs/Shared.log", "L0"), script("logs\\\\SHARED.LOG", "L1")});
  EXPECT_EQ(WaitForEnd(inst, 0), "failed 0\nEND\n");
  EXPECT_EQ(WaitForEnd(inst, 1), "failed 0\nEND\n");
  std::istringstream in(inst.Read("Logs/Shared.log"));
  const std::regex whole(R"(L[01] (\d+) abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz)");
  std::set<std::string> seen;
  std::string l;
  int lines = 0;
  while (std::getline(in, l)) {
    ++lines;
    EXPECT_TRUE(std::regex_match(l, whole)) << l;
    EXPECT_TRUE(seen.insert(l.substr(0, l.find(' ', 3))).second) << l;
  }
  EXPECT_EQ(lines, 4000);
  EXPECT_EQ(seen.size(), 4000u);
  EXPECT_FALSE(std::filesystem::exists(inst.Path("logs")));
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace
