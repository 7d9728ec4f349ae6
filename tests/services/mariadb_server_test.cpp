// The private MariaDB server the database tests start: it answers on its own
// port and socket, keeps its data over a restart and over a kill.
#include "tests/support/mariadb_server.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MariaDbServer, StartsKeepsDataOverRestartAndKill) {
  std::string why;
  if (!testsupport::MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
  testsupport::MariaDbServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  EXPECT_NE(server.Port(), 3306);
  EXPECT_NE(server.Socket().find("rodiz-test-"), std::string::npos);
  bool ok = false;
  server.Sql("CREATE TABLE t (v INT); INSERT INTO t VALUES (41),(1);", &ok, server.Database());
  ASSERT_TRUE(ok) << server.ErrorLog();
  const int port = server.Port();

  ASSERT_TRUE(server.Restart()) << server.Error();
  EXPECT_EQ(server.Port(), port);
  EXPECT_EQ(server.Sql("SELECT SUM(v) FROM t", &ok, server.Database()), "42\n");
  EXPECT_TRUE(ok);

  const pid_t before = server.Pid();
  server.Kill();
  EXPECT_FALSE(server.Running());
  EXPECT_EQ(::kill(before, 0), -1);  // reaped, not a zombie
  server.Sql("SELECT 1", &ok);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(server.Start()) << server.Error();
  EXPECT_EQ(server.Sql("SELECT COUNT(*) FROM t", &ok, server.Database()), "2\n");
}

}  // namespace
