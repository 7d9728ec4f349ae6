// The script HTTP server answering curl and raw clients on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/scriptfds.h"
#include "platform/socketbase.h"
#include "services/http.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/waitfor.h"

using namespace optest;

namespace {

// Runs a command and gives everything it printed.
std::string RunCapture(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

int RawConnect(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Everything a raw client receives until the server closes.
std::string ReadToClose(int s) {
  std::string out;
  char buf[4096];
  long n;
  while ((n = RecvWait(s, buf, sizeof buf, 20000, {})) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

class HttpServerOps : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    listener_ = Exec(KeywordId::HttpServerOpen, Args({I(0)}));
    ASSERT_GE(listener_, 0);
    port_ = SocketLocalPort(listener_);
  }
  void TearDown() override {
    Exec(KeywordId::HttpServerClose, Args({I(listener_)}));
    OpFixture::TearDown();
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // Waits for one request on the socket: its outputs are in req_.
  int Recv(int socket) {
    int r = -1;
    req_ = Args({I(socket), N(), N(), N()});
    testsupport::WaitFor([&] { return (r = Exec(KeywordId::HttpServerRecv, req_)) != -1; });
    return r;
  }
  std::string Head() const { return std::string(req_[1]->Bytes()); }
  std::string Body() const { return std::string(req_[2]->Bytes()); }
  int Send(int socket, const std::string& head, const std::string& body) {
    return Exec(KeywordId::HttpServerSend, Args({I(socket), S(head), S(body)}));
  }

  int listener_ = -1;
  int port_ = 0;
  std::vector<TagVar*> req_;
};

TEST_F(HttpServerOps, AnswersCurlWithTheDefaultHead) {
  EXPECT_EQ(Exec(KeywordId::HttpServerRecv, Args({I(listener_), N(), N(), N()})), -1) << "nothing waiting";
  auto curl = std::async(std::launch::async, [&] { return RunCapture("curl -s -i " + Url("/hello?x=1")); });
  int conn = Recv(listener_);
  ASSERT_GT(conn, 0);
  EXPECT_NE(conn, listener_);
  EXPECT_EQ(Head().rfind("GET /hello?x=1 HTTP/1.1\r\n", 0), 0u) << Head();
  EXPECT_EQ(Body(), "");
  EXPECT_EQ(Show(*req_[3]), "\"127.0.0.1\"");
  EXPECT_EQ(Send(conn, "", "hello"), 5);
  std::string got = curl.get();
  std::smatch m;
  EXPECT_TRUE(std::regex_search(got, m,
                                std::regex("^HTTP/1.1 200 OK\r\nServer: CorvaneVintaro/1.7\r\nAccept-Ranges: bytes\r\n"
                                           "Connection: close\r\nContent-Type: \\*/\\*\r\nLast-Modified: "
                                           "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                           "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                           "\\d\\d:\\d\\d:\\d\\d GMT\r\nContent-Length: 5\r\n\r\nhello$")))
      << got;
  // The head said close: the connection is gone from the line's sockets.
  EXPECT_FALSE(ScriptFdOwned(conn, inst_->lineNo, ScriptFdKind::kHttp));
  EXPECT_TRUE(ScriptFdOwned(listener_, inst_->lineNo, ScriptFdKind::kHttp));
}

TEST_F(HttpServerOps, KeepAliveServesTwoRequestsOnOneConnection) {
  auto curl = std::async(std::launch::async, [&] { return RunCapture("curl -s " + Url("/a") + " " + Url("/b")); });
  int conn = Recv(listener_);
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Head().rfind("GET /a ", 0), 0u);
  // A status line alone gets its length and exactly one blank line.
  EXPECT_EQ(Send(conn, "HTTP/1.1 200 OK\r\n", "first"), 5);
  EXPECT_EQ(Recv(conn), conn);
  EXPECT_EQ(Head().rfind("GET /b ", 0), 0u);
  EXPECT_EQ(Show(*req_[3]), "\"\"") << "a kept connection names no peer";
  EXPECT_EQ(Send(conn, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close", "second"), 6);
  EXPECT_EQ(curl.get(), "firstsecond");
}

TEST_F(HttpServerOps, UploadsLargeAndChunked) {
  const std::string file = dir_.path() + "/up.bin";
  std::string data(2 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  std::ofstream(file, std::ios::binary) << data;
  struct Case {
    const char* name;
    std::string flags;
  };
  for (const Case& c : std::vector<Case>{{"length and 100-continue", "-H 'Expect: 100-continue'"},
                                         {"chunked", "-H 'Transfer-Encoding: chunked'"}}) {
    SCOPED_TRACE(c.name);
    auto curl = std::async(std::launch::async, [&] {
      return RunCapture("curl -s --expect100-timeout 30 " + c.flags + " --data-binary @" + file + " " + Url("/up"));
    });
    int conn = Recv(listener_);
    ASSERT_GT(conn, 0);
    EXPECT_EQ(Head().rfind("POST /up ", 0), 0u);
    EXPECT_TRUE(Body() == data) << "body of " << Body().size() << " bytes";
    EXPECT_EQ(Send(conn, "", "ok"), 2);
    EXPECT_EQ(curl.get(), "ok");
  }
}

TEST_F(HttpServerOps, PipelinedRequestsComeOneAtATime) {
  int client = RawConnect(port_);
  ASSERT_GE(client, 0);
  const std::string two =
      "POST /one HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /two HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(SendAll(client, two.data(), two.size(), 5000), two.size());
  int conn = Recv(listener_);
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Head(), "POST /one HTTP/1.1\r\nContent-Length: 3\r\n\r\n");
  EXPECT_EQ(Body(), "abc");
  EXPECT_EQ(Send(conn, "HTTP/1.1 200 OK\r\n", ""), 38);
  EXPECT_EQ(Recv(conn), conn);
  EXPECT_EQ(Head(), "GET /two HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(Body(), "");
  EXPECT_EQ(Send(conn, "", ""), 0) << "nothing to send: closed";
  EXPECT_EQ(ReadToClose(client), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  close(client);
}

TEST_F(HttpServerOps, ABodyTheClientDoesNotTakeGivesMinusOne) {
  int client = RawConnect(port_);
  ASSERT_GE(client, 0);
  const std::string get = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(SendAll(client, get.data(), get.size(), 5000), get.size());
  req_ = Args({I(listener_), N(), C(S("lit")), N()});
  int conn = -1;
  ASSERT_TRUE(testsupport::WaitFor([&] { return (conn = Exec(KeywordId::HttpServerRecv, req_)) != -1; }));
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Show(*req_[2]), "\"lit\"") << "a constant body output keeps its value";
  // The client never reads: the send waits for room until the line stops.
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    inst_->stopRequested.store(1);
  });
  EXPECT_EQ(Send(conn, "", std::string(64 << 20, 'z')), -1);
  stopper.join();
  inst_->stopRequested.store(0);
  EXPECT_FALSE(ScriptFdOwned(conn, inst_->lineNo, ScriptFdKind::kHttp)) << "closed";
  close(client);
}

TEST_F(HttpServerOps, ARequestAfterAChunkedBodyIsKeptForTheNextReceive) {
  int client = RawConnect(port_);
  ASSERT_GE(client, 0);
  const std::string two =
      "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n"
      "GET /next HTTP/1.1\r\n\r\n";
  ASSERT_EQ(SendAll(client, two.data(), two.size(), 5000), two.size());
  int conn = Recv(listener_);
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Body(), "abc");
  EXPECT_EQ(Send(conn, "HTTP/1.1 200 OK\r\n", ""), 38);
  EXPECT_EQ(Recv(conn), conn);
  EXPECT_EQ(Head(), "GET /next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Send(conn, "", ""), 0);
  close(client);
}

TEST_F(HttpServerOps, BadRequestsCloseTheirConnection) {
  for (const std::string bad : {"POST / HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\nxx",
                                "POST / HTTP/1.1\r\nContent-Length: 1\r\ncontent-length: 2\r\n\r\nxx",
                                "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}) {
    SCOPED_TRACE(bad);
    int client = RawConnect(port_);
    ASSERT_GE(client, 0);
    ASSERT_EQ(SendAll(client, bad.data(), bad.size(), 5000), bad.size());
    req_ = Args({I(listener_), N(), N(), N()});
    ASSERT_TRUE(testsupport::WaitFor([&] { return SocketReadable(listener_) == 1; }));
    EXPECT_EQ(Exec(KeywordId::HttpServerRecv, req_), -1);
    EXPECT_EQ(ReadToClose(client), "");
    close(client);
  }
}

// A client that trickles a chunked body, each byte well inside the wait for
// the next, holds the line's server only until the request's time is up:
// its connection is closed and the next client is served.
TEST_F(HttpServerOps, ATricklingRequestIsCutWhenItsTimeIsUp) {
  struct Limit {
    Limit() : old(HttpServerSetRequestLimit(1000)) {}
    ~Limit() { HttpServerSetRequestLimit(old); }
    int old;
  } limit;
  int slow = RawConnect(port_);
  ASSERT_GE(slow, 0);
  const std::string head = "POST /slow HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  ASSERT_EQ(SendAll(slow, head.data(), head.size(), 5000), head.size());
  std::atomic<bool> stop{false}, trickleEnded{false};
  std::thread trickle([&] {
    // Valid chunks, a byte every 100 ms, for at most 60 s.
    const std::string chunk = "1\r\nA\r\n";
    for (int i = 0; i < 600 && !stop.load(); ++i) {
      if (send(slow, &chunk[static_cast<size_t>(i) % chunk.size()], 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    trickleEnded = !stop.load();
  });
  req_ = Args({I(listener_), N(), N(), N()});
  ASSERT_TRUE(testsupport::WaitFor([&] { return SocketReadable(listener_) == 1; }));
  EXPECT_EQ(Exec(KeywordId::HttpServerRecv, req_), -1);
  EXPECT_FALSE(trickleEnded.load()) << "the request was cut only when the client stopped";
  EXPECT_EQ(ReadToClose(slow), "");
  stop = true;
  trickle.join();
  close(slow);

  int next = RawConnect(port_);
  ASSERT_GE(next, 0);
  const std::string get = "GET /next HTTP/1.1\r\n\r\n";
  ASSERT_EQ(SendAll(next, get.data(), get.size(), 5000), get.size());
  int conn = Recv(listener_);
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Head(), get);
  EXPECT_EQ(Send(conn, "", ""), 0);
  close(next);
}

TEST_F(HttpServerOps, AnotherLinesSocketServesButNoOtherDescriptor) {
  // A listener another line's script opened serves this line's request.
  int other = -1;
  ASSERT_EQ(InitTcp(0, &other, 1), 0);
  ScriptFdAdd(other, inst_->lineNo + 1, ScriptFdKind::kHttp);
  int client = RawConnect(SocketLocalPort(other));
  ASSERT_GE(client, 0);
  const std::string get = "GET /o HTTP/1.1\r\n\r\n";
  ASSERT_EQ(SendAll(client, get.data(), get.size(), 5000), get.size());
  int conn = Recv(other);
  ASSERT_GT(conn, 0);
  EXPECT_EQ(Send(conn, "", "x"), 1);
  EXPECT_EQ(ReadToClose(client).substr(0, 15), "HTTP/1.1 200 OK");
  close(client);
  EXPECT_EQ(Exec(KeywordId::HttpServerClose, Args({I(other)})), 0);
  EXPECT_FALSE(ScriptFdOwned(other, inst_->lineNo + 1, ScriptFdKind::kHttp)) << "closed";
  // A listener no script opened stays out of reach.
  int plain = -1;
  ASSERT_EQ(InitTcp(0, &plain, 1), 0);
  EXPECT_EQ(Exec(KeywordId::HttpServerRecv, Args({I(plain), N(), N(), N()})), -2);
  EXPECT_EQ(Send(plain, "", "x"), -1);
  EXPECT_EQ(Exec(KeywordId::HttpServerClose, Args({I(plain)})), 0);
  EXPECT_TRUE(IsListeningSocket(plain)) << "still open";
  CloseSocket(plain);
  EXPECT_EQ(Exec(KeywordId::HttpServerOpen, Args({I(65536 + 80)})), -1);
  EXPECT_EQ(Exec(KeywordId::HttpServerOpen, Args({I(port_)})), -1) << "port in use";
}

}  // namespace
