// The database client libraries bound by name: the real outcome in the raw
// trace (missing file, missing first function, the gateway's failing
// initialisation), entry points resolved, files chosen by the environment,
// and the unbinding trace only for a bound library.
#include "services/dblibs.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "core/log.h"
#include "core/runcfg.h"
#include "services/dbclients.h"
#include "tests/support/tempdir.h"

namespace {

// The data sets' table of the library's calls; null while not bound.
const void* ClientTable(int which) {
  switch (which) {
    case kDbLibMySql: return MySqlApi();
    case kDbLibGateway: return QelDbApi();
    default: return SybApi();
  }
}

std::string Fake(const char* name) { return std::string(RODIZ_FAKE_DBLIB_DIR) + "/librodiz_fake_dblib_" + name + ".so"; }

class DbLibs : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    oldLevel_ = logLevel.load();
    logLevel.store(2);
  }
  void TearDown() override {
    for (int w = 0; w < kDbLibCount; ++w) UnbindDbLibrary(w);
    for (const char* env : {"RODIZ_DBLIB_MYSQL", "RODIZ_DBLIB_GATEWAY", "RODIZ_DBLIB_SQLSERVER"}) unsetenv(env);
    logLevel.store(oldLevel_);
    cwd_.reset();
  }
  std::string Trace() { return testsupport::ReadFile(dir_ / "RawLog.txt"); }
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  int oldLevel_ = 0;
};

TEST_F(DbLibs, OutcomesAreTracedAsTheyHappen) {
  struct Case {
    int which;
    const char* env;
    std::string file;
    int result;
    std::vector<std::string> trace;  // in order
    const char* function;            // resolved when bound
  } cases[] = {
      {kDbLibMySql, "RODIZ_DBLIB_MYSQL", "/nonexistent/libmysql.so", -1,
       {"LoadLibrary('/nonexistent/libmysql.so') : -1."}, nullptr},
      {kDbLibMySql, "RODIZ_DBLIB_MYSQL", Fake("mysql_noinit"), -2, {"GetProcAddress('mysql_init') : NULL."}, nullptr},
      {kDbLibMySql, "RODIZ_DBLIB_MYSQL", Fake("mysql"), 0, {"LoadLibrary('" + Fake("mysql") + "') : 0, OK."},
       "mysql_query"},
      {kDbLibGateway, "RODIZ_DBLIB_GATEWAY", Fake("gateway_bad"), -3,
       {"LoadLibrary('" + Fake("gateway_bad") + "') : 0, OK.", "_QelDbInit() : Error!", "FreeLibrary(qelDbHd)...",
        "FreeLibrary(qelDbHd)."},
       nullptr},
      {kDbLibGateway, "RODIZ_DBLIB_GATEWAY", Fake("gateway_ok"), 0, {"LoadLibrary('" + Fake("gateway_ok") + "') : 0, OK."},
       "QelDbOpen"},
      {kDbLibSqlServer, "RODIZ_DBLIB_SQLSERVER", Fake("mysql"), -2, {"GetProcAddress('dbinit') : NULL."}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::filesystem::remove(dir_ / "RawLog.txt");
    setenv(c.env, c.file.c_str(), 1);
    EXPECT_EQ(DbLibraryFile(c.which), c.file);
    EXPECT_EQ(BindDbLibrary(c.which), c.result);
    EXPECT_EQ(DbLibraryBound(c.which), c.result == 0);
    // The data sets of the kind take the calls of the library just bound.
    EXPECT_EQ(ClientTable(c.which) != nullptr, c.result == 0);
    const std::string trace = Trace();
    size_t at = 0;
    for (const std::string& line : c.trace) {
      const size_t found = trace.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << "\n" << trace;
      at = found + line.size();
    }
    if (c.function) {
      EXPECT_NE(DbLibraryFunction(c.which, c.function), nullptr);
      EXPECT_EQ(DbLibraryFunction(c.which, "mysql_fetch_row"), nullptr);  // not in the stand-in
    } else {
      EXPECT_EQ(DbLibraryFunction(c.which, "mysql_init"), nullptr);
    }
    UnbindDbLibrary(c.which);
    EXPECT_EQ(ClientTable(c.which), nullptr);
  }
}

TEST_F(DbLibs, UnbindingIsTracedOnlyWhenBound) {
  setenv("RODIZ_DBLIB_MYSQL", Fake("mysql").c_str(), 1);
  ASSERT_EQ(BindDbLibrary(kDbLibMySql), 0);
  UnbindDbLibrary(kDbLibMySql);
  UnbindDbLibrary(kDbLibMySql);
  // Each line of the trace ends with its text and "]".
  std::istringstream lines(Trace());
  std::string line;
  int starting = 0, done = 0;
  auto endsWith = [](const std::string& l, const std::string& tail) {
    return l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
  };
  while (std::getline(lines, line)) {
    if (endsWith(line, "FreeLibrary(mySqlHd)...]")) ++starting;
    else if (endsWith(line, "FreeLibrary(mySqlHd).]")) ++done;
  }
  EXPECT_EQ(starting, 1);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(DbLibraryHandle(kDbLibMySql), nullptr);
}

TEST_F(DbLibs, TheRealClientLibrariesBindByTheirNames) {
  struct Case {
    int which;
    const char* function;
  } cases[] = {{kDbLibMySql, "mysql_real_connect"}, {kDbLibSqlServer, "dbopen"}};
  for (const Case& c : cases) {
    // The probe stays open: unloading the real libraries runs GnuTLS's
    // finaliser, which ThreadSanitizer cannot follow (dynamic TLS), and the
    // program keeps them loaded for its whole life anyway.
    void* probe = dlopen(DbLibraryName(c.which), RTLD_NOW | RTLD_LOCAL);
    if (probe == nullptr) continue;  // not installed here: the fakes above cover the rest
    EXPECT_EQ(BindDbLibrary(c.which), 0) << DbLibraryName(c.which);
    EXPECT_NE(DbLibraryFunction(c.which, c.function), nullptr) << DbLibraryName(c.which);
  }
}

}  // namespace
