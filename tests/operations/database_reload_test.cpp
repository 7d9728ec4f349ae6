// A reload or stop of the lines deletes every data set a script left open:
// its dBASE file is closed and its ODBC connection ends ("End." in the SQL
// log), with real scripts compiled and run by the line manager.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/runtime/drive_fixture.h"

namespace {

std::string SqliteDriver() {
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/aarch64-linux-gnu/odbc/libsqlite3odbc.so",
                        "/usr/lib/odbc/libsqlite3odbc.so"})
    if (std::filesystem::exists(p)) return p;
  return "";
}

// Descriptors of this process open on the file.
int OpenCount(const std::string& name) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec).filename() == name) ++n;
  }
  return n;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
  return n;
}

class DatabaseReload : public linetest::DriveFixture {};

TEST_F(DatabaseReload, ReloadAndStopCloseWhatTheScriptLeftOpen) {
  const std::string driver = SqliteDriver();
  if (driver.empty()) GTEST_SKIP() << "SQLite ODBC driver not installed (libsqliteodbc, scripts/deps)";
  std::filesystem::create_directory(dir_ / "log");
  std::string table(32, '\0');
  table[0] = 3;
  table[8] = 65;
  table[10] = 3;
  std::string desc(32, '\0');
  desc[0] = 'A';
  desc[11] = 'C';
  desc[16] = 2;
  testsupport::WriteFile(dir_ / "kept.dbf", table + desc + "\r\x1A");
  testsupport::WriteFile(dir_ / "t.kxs", "h = -1;\n"
                                         "a = -1;\n"
                                         "r = DbOpen(0, \"kept.dbf\", \"\", \"\", \"\", h);\n"
                                         "r = DbOpen(4, \"Driver=" + driver + ";Database=kept.db\", \"\", \"\", \"app\", a);\n"
                                         "r = DbExec(a, \"create table if not exists t (a int)\");\n"
                                         "r = Sleep(0);\n"
                                         "return(0);\n");
  TagTelDrive& d = MakeDrive("VIR_LINES_NUM=1\nLOAD_DELAY=5\n0=t.kxs\n", /*withHooks=*/false);
  auto sqlLog = [&] { return testsupport::ReadFile(dir_ / "log/sqlapp.log"); };
  ASSERT_EQ(d.RunStart("RoDizRun.cfg"), 0);
  ASSERT_TRUE(linetest::WaitFor([&] { return Count(sqlLog(), "] Start.\n") == 1 && OpenCount("kept.dbf") == 1; }))
      << sqlLog() << Log() << testsupport::ReadFile(dir_ / "errmsg0.txt");

  d.ReloadAll();
  ASSERT_TRUE(linetest::WaitFor([&] { return Count(sqlLog(), "] Start.\n") == 2; })) << sqlLog();
  ASSERT_TRUE(linetest::WaitFor([&] { return Count(sqlLog(), "] End.\n") == 1; })) << sqlLog();
  EXPECT_TRUE(linetest::WaitFor([&] { return OpenCount("kept.dbf") == 1; }));  // the new script's only

  drive_.reset();  // stops every line
  EXPECT_EQ(Count(sqlLog(), "] End.\n"), 2u) << sqlLog();
  EXPECT_EQ(OpenCount("kept.dbf"), 0);
  EXPECT_EQ(OpenCount("kept.db"), 0);
}

}  // namespace
