// "Http(" against python3 peers that answer in pieces, chunked, with interim
// responses and with bad lengths; the request bytes they received are
// compared exactly.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/runcfg.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/python_peer.h"

using namespace optest;

namespace {

// Serves one connection: reads the request head and its Content-Length body,
// writes them to the file, then sends each piece (hex) with a pause between.
const char kPeer[] = R"PY(
import socket, sys, time
out, pause, pieces = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(1)
print(s.getsockname()[1], flush=True)
s.settimeout(20)
c, _ = s.accept(); c.settimeout(20)
req = b''
while b'\r\n\r\n' not in req:
    d = c.recv(65536)
    if not d: break
    req += d
head, _, body = req.partition(b'\r\n\r\n')
n = 0
for line in head.split(b'\r\n'):
    if line.lower().startswith(b'content-length:'): n = int(line.split(b':')[1])
while len(body) < n:
    d = c.recv(65536)
    if not d: break
    body += d
open(out, 'wb').write(head + b'\r\n\r\n' + body)
for p in pieces:
    if p == 'hold':
        time.sleep(20)
        continue
    c.sendall(bytes.fromhex(p)); time.sleep(pause)
c.close()
)PY";

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out.empty() ? "00" : out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One python3 peer process, killed if it is still there at the end.
class Peer : public testsupport::PythonPeer {
 public:
  Peer(const std::string& out, const std::vector<std::string>& pieces, double pause = 0.05)
      : PythonPeer(kPeer, Args(out, pieces, pause)) {}

 private:
  static std::vector<std::string> Args(const std::string& out, const std::vector<std::string>& pieces,
                                       double pause) {
    std::vector<std::string> args = {out, std::to_string(pause)};
    for (const auto& p : pieces) args.push_back(p == "hold" ? p : Hex(p));
    return args;
  }
};

class HttpOps : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    oldLevel_ = logLevel.load();
    logLevel.store(2);
    SetLogWriter(std::make_shared<TagWriteLog>(dir_.path() + "/log.txt", 1 << 22, true, true));
  }
  void TearDown() override {
    SetLogWriter(nullptr);
    logLevel.store(oldLevel_);
    OpFixture::TearDown();
  }
  std::string Log() { return ReadAll(dir_.path() + "/log.txt"); }
  std::string Req() { return dir_.path() + "/req.bin"; }
  // Http( with a fresh body and head output: the result.
  int Http(const std::string& method, const std::string& url, TagVar body, const std::string& type) {
    args_ = Args({S(method), S(url), std::move(body), S(type), N(), N()});
    return Exec(KeywordId::Http, args_);
  }
  std::string Body() const { return std::string(args_[4]->Bytes()); }
  std::string Head() const { return std::string(args_[5]->Bytes()); }
  std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

  std::vector<TagVar*> args_;
  int oldLevel_ = 0;
};

const std::string kOkHead = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";

TEST_F(HttpOps, GetSendsTheExactRequestAndReadsALengthBodyInPieces) {
  Peer peer(Req(), {"HTTP/1.1 404 Not Found\r\nConte", "nt-Length: 5\r\n\r\nhe", "llo"});
  ASSERT_GT(peer.port(), 0);
  EXPECT_EQ(Http("get", Url(peer.port(), "/p?q=1"), N(), ""), 5);
  EXPECT_EQ(Body(), "hello");
  EXPECT_EQ(Head(), "HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\n");
  const std::string port = std::to_string(peer.port());
  EXPECT_EQ(ReadAll(Req()), "GET /p?q=1 HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nConnection: close\r\nUser-Agent: CorvaneHttp/1.0\r\nAccept: */*\r\n\r\n");
}

TEST_F(HttpOps, PostSendsHeadAndBodyWithZeros) {
  Peer peer(Req(), {kOkHead + "12345"});
  const std::string body("a\0b=c", 5);
  EXPECT_EQ(Http("post", Url(peer.port(), "/form"), S(body), "text/plain"), 5);
  EXPECT_EQ(Body(), "12345");
  const std::string port = std::to_string(peer.port());
  EXPECT_EQ(ReadAll(Req()), "POST /form HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nConnection: close\r\nUser-Agent: CorvaneHttp/1.0\r\nAccept: */*\r\n"
                                "Content-type: text/plain\r\nContent-Length: 5\r\n\r\n" +
                                body);
}

TEST_F(HttpOps, ResponsesOfManyShapes) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    int result;
    std::string body;
    std::string head;
  };
  const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::vector<Case> cases = {
      {"chunked in pieces, size line split", {chunkedHead, "5\r\nhel", "lo\r\n1", "0\r\n0123456789abcdef\r\n0\r\n\r\n"},
       21, "hello0123456789abcdef", chunkedHead},
      {"100 Continue and the answer in one piece", {"HTTP/1.1 100 Continue\r\n\r\n" + kOkHead + "world"}, 5, "world",
       kOkHead},
      {"100 Continue and the answer in two", {"HTTP/1.1 100 Continue\r\n\r\n", kOkHead + "world"}, 5, "world",
       kOkHead},
      {"length of zero", {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"}, 0, "",
       "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"},
      {"bytes past the length dropped", {kOkHead + "12345", "678"}, 5, "12345", kOkHead},
      {"oversized length", {"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\nxx"}, -2, "", ""},
      {"malformed length", {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello"}, -2, "", ""},
      {"conflicting lengths", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"}, -2, "", ""},
      {"chunk size without digits", {chunkedHead + "\r\nhello\r\n0\r\n\r\n"}, -2, "", chunkedHead},
      {"chunked body cut short", {chunkedHead + "5\r\nhello\r\n5\r\nwor"}, 5, "hello", chunkedHead},
      {"chunked body cut before a chunk", {chunkedHead + "5\r"}, 0, "", chunkedHead},
      {"closed before any head", {}, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(Req(), c.pieces);
    ASSERT_GT(peer.port(), 0);
    EXPECT_EQ(Http("GET", Url(peer.port(), "/"), N(), ""), c.result);
    EXPECT_EQ(Body(), c.body);
    EXPECT_EQ(Head(), c.head);
  }
}

// Each step of a chunked body in pieces leaves its line in the log.
TEST_F(HttpOps, AChunkedBodyIsTracedStepByStep) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  // Pauses long enough that each piece is a receive of its own.
  Peer peer(Req(), {head, "5\r\nhello\r\n", "0\r\n\r\n"}, 0.3);
  ASSERT_GT(peer.port(), 0);
  EXPECT_EQ(Http("GET", Url(peer.port(), "/"), N(), ""), 5);
  EXPECT_EQ(Body(), "hello");
  const std::string log = Log();
  size_t at = 0;
  for (const char* line : {"push 1", "push 2", "Push3: count=", "   ret=", "CopyTo", "HttpProc end."}) {
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << "no " << line << " in order in\n" << log;
  }
  EXPECT_EQ(log.find("isChunked"), std::string::npos) << log;
}

TEST_F(HttpOps, AShortLengthBodyIsZeroFilledAndLogged) {
  Peer peer(Req(), {"HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nabc"});
  EXPECT_EQ(Http("GET", Url(peer.port(), "/"), N(), ""), 8);
  EXPECT_EQ(Body(), std::string("abc\0\0\0\0\0", 8));
  EXPECT_NE(Log().find("HTTP: short body, 3 of 8 bytes"), std::string::npos);
}

TEST_F(HttpOps, ConstantOutputsAreNotWritten) {
  Peer peer(Req(), {kOkHead + "hello"});
  auto a = Args({S("GET"), S(Url(peer.port(), "/")), N(), S(""), C(S("lit")), C(I(3))});
  EXPECT_EQ(Exec(KeywordId::Http, a), 5);
  EXPECT_EQ(Show(*a[4]), "\"lit\"");
  EXPECT_EQ(Show(*a[5]), "3");
}

TEST_F(HttpOps, ASilentPeerEndsWhenTheLineStops) {
  Peer peer(Req(), {"hold"});
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    inst_->stopRequested.store(1);
  });
  int r = Http("GET", Url(peer.port(), "/"), N(), "");
  stopper.join();
  inst_->stopRequested.store(0);
  EXPECT_EQ(r, 0);
  EXPECT_NE(Log().find("Recv Head Failed."), std::string::npos);
}

TEST_F(HttpOps, ConnectFailuresGiveMinusOne) {
  // A port just freed: nothing listens there.
  int port = 0;
  {
    Peer gone(Req(), {});
    port = gone.port();
  }
  EXPECT_EQ(Http("GET", Url(port, "/"), N(), ""), -1);
  EXPECT_NE(Log().find("HTTP: Connect '127.0.0.1:" + std::to_string(port) + "' Failed!"), std::string::npos);
  EXPECT_EQ(Http("GET", "http://127.0.0.1:65616/", N(), ""), -1);
  EXPECT_EQ(Http("GET", "http://no-such-host.invalid/", N(), ""), -1);
}

}  // namespace
