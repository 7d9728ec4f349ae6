// File and directory operations on a temporary folder: moves, copies (the
// same file under another case), lookups with wildcards, sizes and times,
// directories, the working folder, listings, text files by handle and lines
// appended through the shared registry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/operations/op_fixture.h"

namespace {

using namespace optest;
using K = KeywordId;
using testsupport::ReadFile;
using testsupport::WriteFile;

// The last-write time of a file, in UTC seconds.
void SetMTime(const std::string& path, time_t t) {
  const timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class FileOps : public OpTable {
 protected:
  void SetUp() override {
    OpTable::SetUp();
    const char* tz = std::getenv("TZ");
    oldTz_ = tz ? tz : "";
    hadTz_ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (hadTz_)
      ::setenv("TZ", oldTz_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
    OpTable::TearDown();
  }
  bool Exists(const std::string& p) { return std::filesystem::exists(p); }
  std::string Item(TagVar& map, TagVar key) {
    TagVar v;
    map.GetItem(key, v);
    std::string s = Show(v);
    v.SetNull();
    key.SetNull();
    return s;
  }
  std::string oldTz_;
  bool hadTz_ = false;
};

TEST_F(FileOps, MoveRenamesDeletesCreatesAndRefusesOtherTargets) {
  WriteFile("a.txt", "A");
  WriteFile("old.txt", "old");
  WriteFile("del.txt", "x");
  WriteFile("trunc.txt", "full");
  std::filesystem::create_directory("Sub");
  Check({
      {"rename over an existing target", K::FileMove, {S("A.TXT"), S("old.txt")}, 0, {}},
      {"into a folder by backslash and case", K::FileMove, {S("old.txt"), S("sub\\moved.txt")}, 0, {}},
      {"target 0 deletes", K::FileMove, {S("del.txt"), I(0)}, 0, {}},
      {"target 1 empties", K::FileMove, {S("trunc.txt"), I(1)}, 0, {}},
      {"target 1 creates", K::FileMove, {S("new.txt"), I(1)}, 0, {}},
      {"target 2", K::FileMove, {S("new.txt"), I(2)}, -4, {}},
      {"target a double", K::FileMove, {S("new.txt"), D(0)}, -4, {}},
      {"no such source", K::FileMove, {S("gone.txt"), S("b.txt")}, 2, {}},
      {"no such target folder", K::FileMove, {S("new.txt"), S("nodir/b.txt")}, 3, {}},
      {"deleting a missing file", K::FileMove, {S("gone.txt"), I(0)}, 2, {}},
      {"deleting a folder", K::FileMove, {S("Sub"), I(0)}, 5, {}},
  });
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_FALSE(Exists("old.txt"));
  EXPECT_EQ(ReadFile("Sub/moved.txt"), "A");
  EXPECT_FALSE(Exists("del.txt"));
  EXPECT_EQ(ReadFile("trunc.txt"), "");
  EXPECT_TRUE(Exists("new.txt"));
}

TEST_F(FileOps, MoveToAnotherCaseOfItselfRenamesTheCase) {
  WriteFile("case.txt", "c");
  std::vector<TagVar*> args = Args({S("case.txt"), S("CASE.txt")});
  EXPECT_EQ(Exec(K::FileMove, args), 0);
  EXPECT_EQ(ReadFile("CASE.txt"), "c");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "case.txt"));
}

// /dev/shm is a memory file system: a move there from the test's folder
// crosses file systems, where rename refuses and the file must be copied.
TEST_F(FileOps, MoveAcrossFileSystemsCopiesAndRemoves) {
  struct stat here {
  }, shm{};
  if (::stat(".", &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  testsupport::TempDir shmDir("/dev/shm");
  const std::string other = shmDir.path();
  ASSERT_FALSE(other.empty());
  WriteFile("far.txt", std::string("far\0away", 8));
  SetMTime("far.txt", 1706691930);
  std::filesystem::create_directory("folder");
  Check({
      {"a file", K::FileMove, {S("FAR.txt"), S(other + "/moved.txt")}, 0, {}},
      {"a folder is not copied", K::FileMove, {S("folder"), S(other + "/folder")}, 17, {}},
  });
  EXPECT_FALSE(Exists("far.txt"));
  EXPECT_EQ(ReadFile(other + "/moved.txt"), std::string("far\0away", 8));
  struct stat moved {};
  EXPECT_EQ(::stat((other + "/moved.txt").c_str(), &moved), 0);
  EXPECT_EQ(moved.st_mtime, 1706691930);
  EXPECT_TRUE(Exists("folder"));
}

TEST_F(FileOps, CopyOverwritesButNeverOntoItself) {
  WriteFile("src.txt", std::string("data\0more", 9));
  WriteFile("dst.txt", "a much longer old content");
  Check({
      {"over an existing target", K::FileCopy, {S("src.txt"), S("dst.txt")}, 0, {}},
      {"to a new file", K::FileCopy, {S("SRC.TXT"), S("copy.txt")}, 0, {}},
      {"the same file by case", K::FileCopy, {S("src.txt"), S("Src.Txt")}, -4, {}},
      {"no such source", K::FileCopy, {S("none.txt"), S("x.txt")}, -4, {}},
      {"a folder as source", K::FileCopy, {S("."), S("x.txt")}, -4, {}},
      {"into a missing folder", K::FileCopy, {S("src.txt"), S("nodir/x.txt")}, -4, {}},
  });
  EXPECT_EQ(ReadFile("dst.txt"), std::string("data\0more", 9));
  EXPECT_EQ(ReadFile("copy.txt"), std::string("data\0more", 9));
  EXPECT_EQ(ReadFile("src.txt"), std::string("data\0more", 9));
  EXPECT_FALSE(std::filesystem::exists("x.txt"));
}

TEST_F(FileOps, LenTimeReportsSizeAndPackedTimeOfTheFirstMatch) {
  WriteFile("b.log", "bb");
  WriteFile("A.log", "aaaa");
  WriteFile("c.LOG", "c");
  SetMTime("A.log", 1706691930);  // 2024-01-31 09:05:30 UTC
  SetMTime("b.log", 1706691931);  // an odd second: two-second steps
  SetMTime("c.LOG", 100);         // 1970
  Check({
      {"exact name", K::FileLenTime, {S("a.LOG"), N(), N()}, 0, {{1, "4"}, {2, "\"20240131 09:05:30\""}}},
      {"odd second", K::FileLenTime, {S("b.log"), N(), N()}, 0, {{1, "2"}, {2, "\"20240131 09:05:30\""}}},
      {"before 1980", K::FileLenTime, {S("c.log"), N(), N()}, 0, {{1, "1"}, {2, "\"19800101 00:00:00\""}}},
      {"first match without regard to case", K::FileLenTime, {S("*.log"), N(), N()}, 0, {{1, "4"}}},
      {"question mark", K::FileLenTime, {S("?.Log"), N(), N()}, 0, {{1, "4"}}},
      {"star dot star", K::FileLenTime, {S("c*.*"), N(), N()}, 0, {{1, "1"}}},
      {"nothing found", K::FileLenTime, {S("*.none"), I(7), S("t")}, -2, {{1, "7"}, {2, "\"t\""}}},
      {"a folder is no file", K::FileLenTime, {S("."), I(7), N()}, -2, {{1, "7"}}},
      {"path not a string", K::FileLenTime, {I(1), I(7), N()}, -1, {{1, "7"}}},
  });
}

TEST_F(FileOps, SizesPast2GiBReadTheLargestInteger) {
  const int fd = ::open("big.bin", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const bool sized = ::ftruncate(fd, int64_t(3) << 30) == 0;
  ::close(fd);
  if (!sized) GTEST_SKIP() << "no sparse 3 GiB file here";
  Check({{"3 GiB", K::FileLenTime, {S("big.bin"), N(), N()}, 0, {{1, "2147483647"}}}});
}

TEST_F(FileOps, Directories) {
  WriteFile("f.txt", "");
  Check({
      {"make", K::MakeDir, {S("New")}, 0, {}},
      {"make again", K::MakeDir, {S("new")}, -1, {}},
      {"make in a missing folder", K::MakeDir, {S("a/b")}, -1, {}},
      {"make of a number", K::MakeDir, {I(5)}, -1, {}},
      {"exists by case and backslash", K::IsDirExist, {S("NEW\\"), I(5)}, 0, {{1, "1"}}},
      {"a file counts", K::IsDirExist, {S("F.txt"), I(5)}, 0, {{1, "1"}}},
      {"missing", K::IsDirExist, {S("none"), I(5)}, -2, {{1, "0"}}},
      {"not a string", K::IsDirExist, {I(3), I(5)}, -1, {{1, "0"}}},
      {"make inside", K::MakeDir, {S("new\\inner")}, 0, {}},
      {"remove a non-empty folder", K::RemoveDir, {S("new")}, -1, {}},
      {"remove inner", K::RemoveDir, {S("NEW/INNER")}, 0, {}},
      {"remove", K::RemoveDir, {S("new")}, 0, {}},
      {"remove again", K::RemoveDir, {S("new")}, -1, {}},
      {"gone", K::IsDirExist, {S("New"), I(5)}, -2, {{1, "0"}}},
  });
}

TEST_F(FileOps, WorkingFolderChangesAndAFailureIsReported) {
  std::filesystem::create_directory("Work");
  const std::string start = std::filesystem::current_path().string();
  Check({
      {"no such folder", K::SetCurWorkDir, {S("missing")}, -1, {}},
      {"unchanged", K::GetCurWorkDir, {N()}, 0, {{0, "\"" + start + "\""}}},
      {"by case", K::SetCurWorkDir, {S("work")}, 0, {}},
      {"moved", K::GetCurWorkDir, {N()}, 0, {{0, "\"" + start + "/Work\""}}},
      {"not a string", K::SetCurWorkDir, {I(0)}, -1, {}},
  });
}

TEST_F(FileOps, FileListFillsEveryOutputThatIsNotAConstant) {
  WriteFile("b.wav", "bb");
  WriteFile("A.WAV", "a");
  WriteFile("c.txt", "c");
  std::filesystem::create_directory("d.wav");
  SetMTime("A.WAV", 1706691930);
  std::vector<TagVar*> args = Args({S("*.wav"), N(), C(I(0)), N()});
  EXPECT_EQ(Exec(K::GetFileList, args), 2);
  EXPECT_EQ(Item(*args[1], I(0)), "\"A.WAV\"");
  EXPECT_EQ(Item(*args[1], I(1)), "\"b.wav\"");
  EXPECT_EQ(args[1]->Length(), 2);
  EXPECT_EQ(Show(*args[2]), "0");
  EXPECT_EQ(Item(*args[3], I(0)), "\"20240131 09:05:30\"");
  std::vector<TagVar*> sizes = Args({S(".\\?.*"), C(N()), N(), C(N())});
  EXPECT_EQ(Exec(K::GetFileList, sizes), 3);
  EXPECT_EQ(Item(*sizes[2], I(0)), "1");
  EXPECT_EQ(Item(*sizes[2], I(1)), "2");
  EXPECT_EQ(Item(*sizes[2], I(2)), "1");
  std::vector<TagVar*> none = Args({S("nodir/*"), N(), N(), N()});
  EXPECT_EQ(Exec(K::GetFileList, none), 0);
  std::vector<TagVar*> bad = Args({I(1), N(), N(), N()});
  EXPECT_EQ(Exec(K::GetFileList, bad), -1);
}

TEST_F(FileOps, TextFilesByHandle) {
  WriteFile("t.txt", "one\ntwo\nthree\n");
  Check({
      {"open 0", K::FileOpen, {S("T.TXT"), S("r"), N()}, 0, {{2, "0"}}},
      {"open 1", K::FileOpen, {S("t.txt"), S("rb"), N()}, 1, {{2, "1"}}},
      {"close 0", K::FileClose, {I(0)}, 0, {}},
      {"open 2", K::FileOpen, {S("t.txt"), S("r"), N()}, 2, {{2, "2"}}},
      {"failed open", K::FileOpen, {S("none.txt"), S("r"), I(9)}, -1, {{2, "-1"}}},
      {"line", K::FileReadLine, {I(1), N()}, 3, {{1, "\"one\""}}},
      {"map of the rest", K::FileMapLines, {I(1), N()}, 2, {}},
      {"line at the end", K::FileReadLine, {I(1), S("x")}, -1, {{1, "\"\""}}},
      {"closed handle", K::FileReadLine, {I(0), S("x")}, 0, {{1, "\"\""}}},
      {"never opened", K::FileRead, {I(42), I(0), S("x")}, 0, {{2, "\"\""}}},
      {"seek", K::FileSeek, {I(2), I(10)}, 10, {}},
      {"size past the end", K::FileRead, {I(2), I(10), N()}, 4, {{2, "\"ree\n\""}}},
      {"seek back", K::FileSeek, {I(2), S("4")}, 4, {}},
      {"the rest", K::FileRead, {I(2), I(0), N()}, 10, {{2, "\"two\nthree\n\""}}},
      {"write to a reading handle", K::FileWrite, {I(2), S("x")}, -1, {}},
      {"open for writing", K::FileOpen, {S("w.txt"), S("w"), N()}, 3, {}},
      {"write a string", K::FileWrite, {I(3), S("n=")}, 0, {}},
      {"write a number", K::FileWrite, {I(3), D(2.5)}, 0, {}},
      {"close all", K::FileCloseAll, {}, 0, {}},
      {"after close all", K::FileReadLine, {I(2), N()}, 0, {{1, "\"\""}}},
      {"handles go on", K::FileOpen, {S("t.txt"), S("r"), N()}, 4, {}},
      {"lines into a map", K::FileReadLines, {I(4), N()}, 3, {}},
  });
  EXPECT_EQ(ReadFile("w.txt"), "n=2.5");
}

TEST_F(FileOps, AppendsCarryTheLineNumberAndCloseOnce) {
  const std::string name = dir_ / "app.log";
  auto append = [&](int mode, const char* text) {
    std::vector<TagVar*> args = Args({S(name), S(text), I(mode)});
    auto op = testsupport::MakeOperation(K::TextFileAppend, args, inst_.get(), 0, 5);
    return op->Execute();
  };
  EXPECT_EQ(append(1, "first"), 0);
  EXPECT_EQ(append(3, "second"), 0);
  EXPECT_EQ(append(1, "x"), 0);
  std::vector<TagVar*> close = Args({S(name)});
  EXPECT_EQ(Exec(K::TextFileClose, close), 0);
  EXPECT_EQ(Exec(K::TextFileClose, close), -1);
  EXPECT_EQ(append(1, "after"), 0);
  EXPECT_EQ(Exec(K::TextFileClose, close), 0);
  std::vector<TagVar*> bad = Args({S(dir_ / "nodir/app.log"), S("x"), I(1)});
  EXPECT_EQ(Exec(K::TextFileAppend, bad), -1);
  std::vector<TagVar*> badClose = Args({S(dir_ / "nodir/app.log")});
  EXPECT_EQ(Exec(K::TextFileClose, badClose), 0);
  const std::string got = ReadFile(name);
  EXPECT_TRUE(std::regex_match(got, std::regex("first\n[-0-9]{10} [:0-9]{8}\\.[0-9]{3} \\[5\\]: second\nx\nafter\n")))
      << got;
}

}  // namespace
