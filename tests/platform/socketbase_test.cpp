#include "platform/socketbase.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "core/log.h"
#include "core/runcfg.h"
#include "platform/tick.h"
#include "tests/support/tempdir.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A temporary working directory with the log and the box record in it.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
    ASSERT_FALSE(dir_.empty());
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_);
    setenv("RODIZ_BOX_RECORD", (dir_ + "/boxes.txt").c_str(), 1);
    oldLevel_ = logLevel.load();
    logLevel.store(2);
    SetLogWriter(std::make_shared<TagWriteLog>(dir_ + "/log.txt", 1 << 20, true, true));
  }
  void TearDown() override {
    SetLogWriter(nullptr);
    logLevel.store(oldLevel_);
    unsetenv("RODIZ_BOX_RECORD");
    cwd_.reset();
  }

  // A listener on an ephemeral loopback port.
  int Listen(int* port) {
    int s = kNoSocket;
    EXPECT_EQ(InitTcp(0, &s, 10), 0);
    *port = SocketLocalPort(s);
    return s;
  }

  // A blocking client from a chosen loopback address.
  static int Connect(const char* from, int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
  }

  testsupport::TempDir tmp_;
  std::string dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  int oldLevel_ = 0;
};

TEST_F(SocketTest, StartupTracesOnce) {
  NetCleanup();
  EXPECT_EQ(NetStartup(), 0);
  EXPECT_TRUE(NetStarted());
  std::string first = ReadFile("RawLog.txt");
  EXPECT_NE(first.find("[WSAStartup(WINSOCK_VERSION=0x202)]"), std::string::npos);
  EXPECT_NE(first.find("[WSAStartup OK.]"), std::string::npos);
  EXPECT_EQ(NetStartup(), 0);
  EXPECT_EQ(ReadFile("RawLog.txt"), first) << "the second start writes no trace";
}

TEST_F(SocketTest, ReadinessAcceptAndPeerAddress) {
  int port = 0;
  int ls = Listen(&port);
  ASSERT_GT(port, 0);
  EXPECT_EQ(SocketReadable(ls), 0) << "no client waiting";
  int client = Connect("127.0.0.2", port);
  ASSERT_EQ(SocketWaitReadable(ls, 5000), 1);
  EXPECT_EQ(SocketReadable(ls), 1) << "a client waiting";

  std::string addr = "stale";
  int s = AcceptClient(ls, &addr);
  ASSERT_GE(s, 0);
  EXPECT_EQ(addr, "127.0.0.2");
  EXPECT_EQ(PeerAddress(s), "127.0.0.2");
  EXPECT_EQ(SocketWritable(s), 1);
  EXPECT_EQ(SocketReadable(s), 0);
  ASSERT_EQ(send(client, "hi", 2, 0), 2);
  EXPECT_EQ(SocketWaitReadable(s, 5000), 1);
  close(client);
  char buf[8];
  EXPECT_EQ(recv(s, buf, sizeof buf, 0), 2);
  // An orderly close reads as readable; the receive then gives 0.
  EXPECT_EQ(SocketWaitReadable(s, 5000), 1);
  EXPECT_EQ(recv(s, buf, sizeof buf, 0), 0);

  std::string log = ReadFile(dir_ + "/log.txt");
  EXPECT_NE(log.find("remoteAddr: '127.0.0.2:"), std::string::npos);
  EXPECT_NE(log.find("accept(): OK, subSkt=0x"), std::string::npos);

  CloseSocket(s);
  CloseSocket(ls);
  // Closed and invalid descriptors are errors, never "not ready".
  for (int bad : {ls, -1, 100000}) {
    EXPECT_LT(SocketReadable(bad), 0) << bad;
    EXPECT_LT(SocketWritable(bad), 0) << bad;
  }
  EXPECT_EQ(PeerAddress(-1), "");
}

TEST_F(SocketTest, DescriptorsAreCloseOnExec) {
  int port = 0;
  int ls = Listen(&port);
  int client = Connect("127.0.0.1", port);
  std::string addr;
  int s = AcceptClient(ls, &addr);
  int out = kNoSocket;
  ASSERT_EQ(TcpConnectTimeout(&out, "127.0.0.1", port, 5), 0);
  for (int fd : {ls, s, out}) {
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
  }
  EXPECT_TRUE(fcntl(out, F_GETFL) & O_NONBLOCK) << "a connected script socket stays non-blocking";
  EXPECT_FALSE(fcntl(s, F_GETFL) & O_NONBLOCK) << "an accepted socket is blocking";
  for (int fd : {ls, s, out, client}) CloseSocket(fd);
}

TEST_F(SocketTest, BindOnPortInUseFailsAfterItsBox) {
  int port = 0;
  int ls = Listen(&port);
  int second = kNoSocket;
  EXPECT_EQ(InitTcp(port, &second, 10), -4);
  EXPECT_EQ(second, kNoSocket);
  std::string boxes = ReadFile(dir_ + "/boxes.txt");
  EXPECT_NE(boxes.find("Server: bind()...: Error #"), std::string::npos) << boxes;
  EXPECT_NE(boxes.find("occurred while bind socket! port=[" + std::to_string(port) + "]"), std::string::npos);
  CloseSocket(ls);
}

TEST_F(SocketTest, ConnectStepsUntilConnected) {
  int port = 0;
  int ls = Listen(&port);
  int out = kNoSocket;
  TcpConnectState st;
  int r = TcpConnectAsync(&out, "127.0.0.1", port, &st);
  ASSERT_GE(r, 0);
  uint32_t start = plat::TickCount();
  while (r == 0 && plat::TickCount() - start < 5000) {
    plat::SleepMs(5);
    r = TcpConnectAsync(&out, "127.0.0.1", port, &st);
  }
  EXPECT_EQ(r, 1);
  EXPECT_FALSE(st.pending);
  EXPECT_GE(out, 0);
  EXPECT_EQ(PeerAddress(out), "127.0.0.1");
  // A new connect closes the socket the caller still held.
  r = TcpConnectAsync(&out, "127.0.0.1", port, &st);
  EXPECT_EQ(out, kNoSocket);
  while (r == 0) r = TcpConnectAsync(&out, "127.0.0.1", port, &st);
  EXPECT_EQ(r, 1);
  CloseSocket(out);
  CloseSocket(ls);
}

struct ConnectFailure {
  const char* host;
  bool closedPort;
  std::vector<int> results;
  const char* logText;
};

TEST_F(SocketTest, ConnectFailures) {
  // A port nobody listens on: bind one, note it, close it.
  int port = 0;
  int ls = Listen(&port);
  CloseSocket(ls);
  const ConnectFailure cases[] = {
      {"127.0.0.1", true, {-5, -9}, nullptr},
      {"no-such-host.invalid", false, {-2}, "IpAddr Err1: no-such-host.invalid"},
      {"", false, {-2}, "IpAddr Err1: "},
  };
  for (const ConnectFailure& c : cases) {
    int out = kNoSocket;
    int r = TcpConnectTimeout(&out, c.host, c.closedPort ? port : 80, 2);
    EXPECT_NE(std::find(c.results.begin(), c.results.end(), r), c.results.end()) << c.host << " gave " << r;
    EXPECT_EQ(out, kNoSocket);
    if (c.logText) {
      EXPECT_NE(ReadFile(dir_ + "/log.txt").find(c.logText), std::string::npos) << c.logText;
    }
  }
}

TEST_F(SocketTest, ResolveDottedAndLocalName) {
  uint32_t a = 0;
  ASSERT_TRUE(ResolveHost("127.0.0.2", &a));
  EXPECT_EQ(ntohl(a), 0x7F000002u);
  ASSERT_TRUE(ResolveHost("255.255.255.255", &a)) << "the broadcast address is a dotted address too";
  EXPECT_EQ(a, 0xFFFFFFFFu);
  ASSERT_TRUE(ResolveHost("localhost", &a));
  EXPECT_EQ(ntohl(a) >> 24, 127u);
}

// A peer that never reads: the send gives up within its time-out with a
// short count, and never raises SIGPIPE once the peer is gone.
TEST_F(SocketTest, SendAllStopsOnAPeerThatDoesNotRead) {
  NetStartup();
  int port = 0;
  int ls = Listen(&port);
  int client = Connect("127.0.0.1", port);
  std::string addr;
  int s = AcceptClient(ls, &addr);
  int small = 4096;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string big(8 << 20, 'x');
  size_t sent = SendAll(s, big.data(), big.size(), 300);
  EXPECT_LT(sent, big.size());
  std::atomic<bool> cancel{true};
  EXPECT_EQ(SendAll(s, big.data(), big.size(), 60000, &cancel) < big.size(), true) << "cancel ends the wait";
  close(client);
  plat::SleepMs(50);
  // Writing to a closed peer: an error, not a signal.
  for (int i = 0; i < 3; ++i) SendAll(s, "abc", 3, 100);
  CloseSocket(s);
  CloseSocket(ls);
}

}  // namespace

TEST_F(SocketTest, LocalEndpointsListenConnectAndStayQuiet) {
  // A port the system just gave out is very likely free.
  int probe = kNoSocket;
  ASSERT_EQ(InitTcp(0, &probe, 1), 0);
  int port = SocketLocalPort(probe);
  CloseSocket(probe);
  std::string logBefore = ReadFile(dir_ + "/log.txt");

  for (std::string endpoint : {"unix:" + dir_ + "/ctl.sock", "TCP:" + std::to_string(port)}) {
    SCOPED_TRACE(endpoint);
    std::string unixPath = "stale";
    int ls = ListenLocal(endpoint, &unixPath);
    ASSERT_GE(ls, 0);
    EXPECT_EQ(unixPath, endpoint[0] == 'u' ? dir_ + "/ctl.sock" : "");
    int client = ConnectLocal(endpoint);
    ASSERT_GE(client, 0);
    std::vector<int> ready;
    ASSERT_EQ(SocketsWaitReadable({ls}, 5000, &ready), 1);
    int s = AcceptLocal(ls);
    ASSERT_GE(s, 0);
    EXPECT_NE(fcntl(s, F_GETFD) & FD_CLOEXEC, 0);

    ASSERT_EQ(SendAll(client, "ping\n", 5, 5000), 5u);
    // Only the socket with data is marked.
    ASSERT_EQ(SocketsWaitReadable({ls, s}, 5000, &ready), 1);
    EXPECT_EQ(ready, (std::vector<int>{0, 1}));
    char buf[16];
    EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), 5);
    CloseSocket(client);
    ASSERT_EQ(SocketsWaitReadable({s}, 5000, &ready), 1);
    EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), 0) << "the peer closed";
    CloseSocket(s);
    CloseSocket(ls);
    EXPECT_LT(ConnectLocal(endpoint), 0) << "no listener any more";
    if (!unixPath.empty()) unlink(unixPath.c_str());
  }
  EXPECT_EQ(ReadFile(dir_ + "/log.txt"), logBefore);
  EXPECT_EQ(ReadFile(dir_ + "/boxes.txt"), "");

  // A socket file left by an earlier run is taken over.
  std::string path;
  int first = ListenLocal("unix:" + dir_ + "/left.sock", &path);
  ASSERT_GE(first, 0);
  CloseSocket(first);
  int again = ListenLocal("unix:" + dir_ + "/left.sock", &path);
  EXPECT_GE(again, 0);
  CloseSocket(again);
}

TEST_F(SocketTest, LocalEndpointsThatNameNothingAreRefused) {
  std::string longPath = "unix:/" + std::string(200, 'x');
  for (const std::string& endpoint :
       {std::string(""), std::string("unix:"), longPath, std::string("tcp:0"), std::string("tcp:65536"),
        std::string("tcp:x"), std::string("udp:7050")}) {
    std::string path;
    EXPECT_LT(ListenLocal(endpoint, &path), 0) << endpoint;
    EXPECT_LT(ConnectLocal(endpoint), 0) << endpoint;
  }
  std::vector<int> ready;
  EXPECT_EQ(SocketsWaitReadable({kNoSocket, 100000}, 0, &ready), 1);
  EXPECT_EQ(ready, (std::vector<int>{0, -1})) << "a negative slot is skipped, a closed one is an error";
}

namespace {

TEST_F(SocketTest, UdpStartupSharesTheStartedFlagWithoutTraces) {
  NetCleanup();
  std::string before = ReadFile("RawLog.txt");
  EXPECT_EQ(UdpStartup(), 0);
  EXPECT_TRUE(NetStarted());
  EXPECT_EQ(ReadFile("RawLog.txt"), before);
  EXPECT_EQ(NetStartup(), 0);
  EXPECT_EQ(ReadFile("RawLog.txt"), before) << "already started";
}

TEST_F(SocketTest, PortsOutsideSixteenBitsAreRefused) {
  int s = kNoSocket;
  // Cut to 16 bits, 65616 would be port 80.
  EXPECT_EQ(InitTcp(65536 + 80, &s, 1), -4);
  EXPECT_EQ(s, kNoSocket);
  EXPECT_NE(ReadFile("boxes.txt").find("port=[65616]"), std::string::npos);
  EXPECT_EQ(InitTcp(-1, &s, 1), -4);
  TcpConnectState state;
  EXPECT_EQ(TcpConnectAsync(&s, "127.0.0.1", 65536 + 80, &state), -5);
  EXPECT_FALSE(state.pending);
}

TEST_F(SocketTest, ListenersAreToldFromConnectionsAndNeverBlockAccept) {
  int port = 0;
  int ls = Listen(&port);
  EXPECT_TRUE(IsListeningSocket(ls));
  int client = Connect("127.0.0.1", port);
  EXPECT_FALSE(IsListeningSocket(client));
  EXPECT_FALSE(IsListeningSocket(-1));
  std::string addr;
  int s = AcceptClient(ls, &addr);
  ASSERT_GE(s, 0);
  // Nothing more waiting: the accept fails at once instead of hanging.
  EXPECT_EQ(AcceptClient(ls, &addr), -1);
  CloseSocket(s);
  CloseSocket(client);
  CloseSocket(ls);
}

TEST_F(SocketTest, ReceiveWaitsEndOnDataTimeOutOrStop) {
  int port = 0;
  int ls = Listen(&port);
  int client = Connect("127.0.0.1", port);
  ASSERT_EQ(SocketWaitReadable(ls, 5000), 1);
  std::string addr;
  int s = AcceptClient(ls, &addr);
  ASSERT_GE(s, 0);
  char buf[16];
  EXPECT_EQ(RecvWait(s, buf, sizeof buf, 0, {}), -2) << "nothing there";
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.store(true);
  });
  // Without the stop this would wait an hour.
  EXPECT_EQ(RecvWait(s, buf, sizeof buf, 3600 * 1000, [&] { return stop.load(); }), -2);
  stopper.join();
  ASSERT_EQ(send(client, "hi\0!", 4, 0), 4);
  EXPECT_EQ(RecvWait(s, buf, sizeof buf, 5000, {}), 4);
  EXPECT_EQ(std::string(buf, 4), std::string("hi\0!", 4));
  CloseSocket(client);
  EXPECT_EQ(RecvWait(s, buf, sizeof buf, 5000, {}), 0) << "the peer closed";
  CloseSocket(s);

  // A reader that never reads: the send ends at the stop with part sent.
  int idle = Connect("127.0.0.1", port);
  ASSERT_EQ(SocketWaitReadable(ls, 5000), 1);
  int s2 = AcceptClient(ls, &addr);
  ASSERT_GE(s2, 0);
  const std::string big(64 << 20, 'x');
  size_t sent = SendAllUntil(s2, big.data(), big.size(), 3600 * 1000, [] { return true; });
  EXPECT_LT(sent, big.size());
  CloseSocket(s2);
  CloseSocket(idle);
  CloseSocket(ls);
}

}  // namespace
