// The TCP operations against real sockets on loopback, and the network-order
// texts.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/lineservices.h"
#include "platform/scriptfds.h"
#include "platform/socketbase.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/waitfor.h"

using namespace optest;

namespace {

int OpenFdCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

// A loopback port where nothing listens: bound, never listening.
struct DeadPort {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  DeadPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    port = SocketLocalPort(fd);
  }
  ~DeadPort() { close(fd); }
};

// A listener whose accept queue is full, so a further connect hangs.
struct FullListener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  std::vector<int> held;
  FullListener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 0);
    port = SocketLocalPort(fd);
    a.sin_port = htons(static_cast<uint16_t>(port));
    for (int i = 0; i < 4; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      held.push_back(c);
    }
  }
  ~FullListener() {
    for (int c : held) close(c);
    close(fd);
  }
};

class TcpOps : public OpTable {
 protected:
  // A listening socket of the line on an ephemeral port; its port.
  int Listen(int* handle) {
    auto a = Args({I(0), I(1), N()});
    int s = Exec(KeywordId::TcpServer, a);
    *handle = s;
    return s >= 0 ? SocketLocalPort(s) : -1;
  }
  // A connected pair through the operations: client from "TcpOpen(",
  // server side from "TcpAccept(".
  void Pair(int* client, int* server) {
    int listener = -1;
    int port = Listen(&listener);
    ASSERT_GT(port, 0);
    auto open = Args({S("127.0.0.1"), I(port), I(3), N()});
    *client = Exec(KeywordId::TcpOpen, open);
    ASSERT_GE(*client, 0);
    EXPECT_EQ(open[3]->AsInt(), *client);
    auto acc = Args({I(listener), N(), N()});
    ASSERT_TRUE(testsupport::WaitFor([&] { return Exec(KeywordId::TcpAccept, acc) >= 0; }));
    *server = acc[1]->AsInt();
    EXPECT_EQ(Show(*acc[2]), "\"127.0.0.1\"");
  }
};

TEST_F(TcpOps, NetworkOrderTexts) {
  Check({
      {"258 in two bytes", KeywordId::IntToNetstr, {I(258), I(2), N()}, 0, {{2, "\"\x01\x02\""}}},
      {"258 in four bytes", KeywordId::IntToNetstr, {I(258), I(4), N()}, 0, {{2, std::string("\"\0\0\x01\x02\"", 6)}}},
      {"low 16 bits only", KeywordId::IntToNetstr, {I(0x12345678), I(2), N()}, 0, {{2, "\"\x56\x78\""}}},
      {"size 3 refused", KeywordId::IntToNetstr, {I(1), I(3), S("x")}, -1, {{2, "\"x\""}}},
      {"sign-extended pair", KeywordId::NetstrToInt, {S("\xff\xff"), I(0), I(2), N()}, 0, {{3, "-1"}}},
      {"four bytes", KeywordId::NetstrToInt, {S("\x01\x02\x03\x04"), I(0), I(4), N()}, 0, {{3, "16909060"}}},
      {"reads the closing NUL", KeywordId::NetstrToInt, {S("\x01\x02\x03\x04"), I(1), I(4), N()}, 0,
       {{3, "33752064"}}},
      {"past the NUL", KeywordId::NetstrToInt, {S("\x01\x02\x03\x04"), I(2), I(4), I(7)}, -3, {{3, "7"}}},
      {"negative offset", KeywordId::NetstrToInt, {S("abcd"), I(-1), I(2), N()}, -3, {}},
      {"offset near INT_MAX", KeywordId::NetstrToInt, {S("abcd"), I(INT_MAX - 1), I(4), N()}, -3, {}},
      {"not a string", KeywordId::NetstrToInt, {I(5), I(0), I(2), N()}, -1, {}},
      {"size 3", KeywordId::NetstrToInt, {S("abcd"), I(0), I(3), N()}, -2, {}},
  });
}

TEST_F(TcpOps, NetworkOrderRoundTrips) {
  for (int v : {0, 1, -1, 258, 32767, -32768, INT_MAX, INT_MIN, 0x01000000}) {
    for (int size : {2, 4}) {
      SCOPED_TRACE(std::to_string(v) + " in " + std::to_string(size));
      auto pack = Args({I(v), I(size), N()});
      ASSERT_EQ(Exec(KeywordId::IntToNetstr, pack), 0);
      EXPECT_EQ(pack[2]->TextLen(), static_cast<size_t>(size));
      auto unpack = Args({*pack[2], I(0), I(size), N()});
      ASSERT_EQ(Exec(KeywordId::NetstrToInt, unpack), 0);
      EXPECT_EQ(unpack[3]->AsInt(), size == 2 ? static_cast<int16_t>(v) : v);
    }
  }
}

TEST_F(TcpOps, EchoesExactBytesIntoShortAndEmptyBuffers) {
  int client = -1, server = -1;
  Pair(&client, &server);
  // Nothing waiting on the non-blocking client: -1 at once, buffer kept.
  auto idle = Args({I(client), S("keep"), N()});
  EXPECT_EQ(Exec(KeywordId::TcpRead, idle), -1);
  EXPECT_EQ(Show(*idle[1]), "\"keep\"");
  auto test = Args({I(server), N()});
  EXPECT_EQ(Exec(KeywordId::TcpTest, test), 0);

  const std::string payload("ab\0cd\0ef", 8);
  // Count 0: the whole string without its NUL; count length + 1: with it.
  auto w = Args({I(client), S(payload), I(0), N()});
  EXPECT_EQ(Exec(KeywordId::TcpWrite, w), 8);
  EXPECT_EQ(w[3]->AsInt(), 8);
  auto w2 = Args({I(client), S("xyz"), I(4), N()});
  EXPECT_EQ(Exec(KeywordId::TcpWrite, w2), 4);
  EXPECT_EQ(Exec(KeywordId::TcpWrite, Args({I(client), S("xyz"), I(5), N()})), -100);
  EXPECT_EQ(Exec(KeywordId::TcpWrite, Args({I(client), I(7), I(0), N()})), -100);

  ASSERT_TRUE(testsupport::WaitFor([&] { return Exec(KeywordId::TcpTest, test) == 1; }));
  EXPECT_EQ(test[1]->AsInt(), 1);
  // A buffer of three characters takes three bytes.
  auto r = Args({I(server), S("123"), N()});
  EXPECT_EQ(Exec(KeywordId::TcpRead, r), 3);
  EXPECT_EQ(Show(*r[1]), std::string("\"ab\0\"", 5));
  EXPECT_EQ(r[2]->AsInt(), 3);
  // An empty buffer takes the rest (the blocking side waits for it).
  std::string rest;
  while (rest.size() < 9) {
    auto r2 = Args({I(server), N(), N()});
    int n = Exec(KeywordId::TcpRead, r2);
    ASSERT_GT(n, 0);
    rest += std::string(r2[1]->Bytes());
  }
  EXPECT_EQ(rest, std::string("cd\0efxyz\0", 9));

  // The peer closed: readable, and the read gives 0.
  EXPECT_EQ(Exec(KeywordId::TcpClose, Args({I(client)})), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return Exec(KeywordId::TcpTest, test) == 1; }));
  EXPECT_EQ(Exec(KeywordId::TcpRead, Args({I(server), N(), N()})), 0);
}

TEST_F(TcpOps, ConnectFailures) {
  DeadPort dead;
  auto refused = Args({S("127.0.0.1"), I(dead.port), I(3), N()});
  int r = Exec(KeywordId::TcpOpen, refused);
  EXPECT_TRUE(r == -5 || r == -9) << r;
  EXPECT_EQ(refused[3]->AsInt(), -2);
  auto unknown = Args({S("no-such-host.invalid"), I(80), I(1), N()});
  EXPECT_EQ(Exec(KeywordId::TcpOpen, unknown), -2);
  EXPECT_EQ(Exec(KeywordId::TcpOpen, Args({S("127.0.0.1"), I(65536 + 80), I(1), N()})), -5);
}

TEST_F(TcpOps, TimedOutAndStoppedConnectsLeaveNoSocket) {
  FullListener full;
  int before = OpenFdCount();
  auto timed = Args({S("127.0.0.1"), I(full.port), I(1), N()});
  EXPECT_EQ(Exec(KeywordId::TcpOpen, timed), -9);
  EXPECT_EQ(timed[3]->AsInt(), -2);
  EXPECT_EQ(OpenFdCount(), before);

  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    inst_->stopRequested.store(1);
  });
  auto stopped = Args({S("127.0.0.1"), I(full.port), I(60), N()});
  int r = Exec(KeywordId::TcpOpen, stopped);
  stopper.join();
  inst_->stopRequested.store(0);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(OpenFdCount(), before);
}

TEST_F(TcpOps, AConstantHandleIsNotWritten) {
  int listener = -1;
  int port = Listen(&listener);
  auto open = Args({S("127.0.0.1"), I(port), I(3), C(I(77))});
  int s = Exec(KeywordId::TcpOpen, open);
  EXPECT_GE(s, 0);
  EXPECT_EQ(open[3]->AsInt(), 77);
}

TEST_F(TcpOps, StaleAndForgedHandlesReachNothing) {
  int client = -1, server = -1;
  Pair(&client, &server);
  const std::vector<int> had = ScriptFdList(inst_->lineNo, ScriptFdKind::kTcp);
  ASSERT_EQ(had.size(), 3u);
  EXPECT_EQ(Exec(KeywordId::TcpCloseAll, Args({})), 0);
  EXPECT_TRUE(ScriptFdList(inst_->lineNo, ScriptFdKind::kTcp).empty());
  // The freed numbers go to someone else at once.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_TRUE(std::find(had.begin(), had.end(), fds[0]) != had.end());
  for (int stale : {had[0], had[1], had[2], fds[0], fds[1]}) {
    EXPECT_EQ(Exec(KeywordId::TcpClose, Args({I(stale)})), 0);
    EXPECT_EQ(Exec(KeywordId::TcpWrite, Args({I(stale), S("x"), I(0), N()})), -1);
  }
  // A string handle reads as its length plus one: 2 here, stderr.
  EXPECT_EQ(Exec(KeywordId::TcpClose, Args({S("a")})), 0);
  EXPECT_GE(fcntl(2, F_GETFD), 0);
  EXPECT_GE(fcntl(fds[0], F_GETFD), 0);
  EXPECT_GE(fcntl(fds[1], F_GETFD), 0);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(TcpOps, ServerPortChecksAndConflicts) {
  const std::string boxes = dir_.path() + "/boxes.txt";
  setenv("RODIZ_BOX_RECORD", boxes.c_str(), 1);
  auto bad = Args({I(65536 + 80), I(1), N()});
  EXPECT_EQ(Exec(KeywordId::TcpServer, bad), -1);
  EXPECT_EQ(bad[2]->AsInt(), -1);
  int listener = -1;
  int port = Listen(&listener);
  auto again = Args({I(port), I(1), N()});
  EXPECT_EQ(Exec(KeywordId::TcpServer, again), -1);
  EXPECT_EQ(again[2]->AsInt(), -1);
  unsetenv("RODIZ_BOX_RECORD");
  // The Linux error number: 22 for the port that is none, 98 in use.
  std::ifstream in(boxes);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("Error #22 occurred while bind socket! port=[65616]"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("Error #98 occurred while bind socket! port=[" + std::to_string(port) + "]"),
            std::string::npos)
      << text.str();
  // Accept with no client waiting, or on a connection: -1.
  auto acc = Args({I(listener), N(), N()});
  EXPECT_EQ(Exec(KeywordId::TcpAccept, acc), -1);
  EXPECT_EQ(acc[1]->AsInt(), -1);
}

TEST_F(TcpOps, TheInstanceClosesItsSocketsWithItself) {
  int client = -1, server = -1;
  Pair(&client, &server);
  ASSERT_EQ(ScriptFdList(inst_->lineNo, ScriptFdKind::kTcp).size(), 3u);
  inst_.reset();
  EXPECT_TRUE(ScriptFdList(0, ScriptFdKind::kTcp).empty());
  EXPECT_LT(fcntl(client, F_GETFD), 0);
  inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &call_, 0);
}

}  // namespace
