// Network operations in scripts on virtual lines of the real program: HTTP
// requests to python3 peers, a UDP receive that waits until the program is
// stopped, TCP between two lines, sockets handed from one line to another,
// and the results a script sees when datagrams are large or peers go away.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/socketbase.h"
#include "tests/e2e/harness.h"
#include "tests/support/python_peer.h"

namespace {

using e2e::FreePort;

TEST(NetOps, HttpRequestThenAReceiveEndedByTheProgramStop) {
  e2e::Installation inst;
  inst.Write("www/page.txt", "served by python");
  const int port = FreePort();
  ASSERT_GT(port, 0);
  pid_t server = fork();
  if (server == 0) {
    const std::string p = std::to_string(port);
    const std::string dir = inst.Path("www");
    execl("/usr/bin/python3", "python3", "-m", "http.server", p.c_str(), "--bind", "127.0.0.1", "--directory",
          dir.c_str(), static_cast<char*>(nullptr));
    execlp("python3", "python3", "-m", "http.server", p.c_str(), "--bind", "127.0.0.1", "--directory", dir.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(server, 0);
  ASSERT_TRUE(e2e::WaitFor(
      [&] {
        int s = kNoSocket;
        int r = TcpConnectTimeout(&s, "127.0.0.1", port, 1);
        CloseSocket(s);
        return r == 0;
      },
      20000));

  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0 = t.kxs\n");
  inst.Write("t.kxs", "b = \"\";\nh = \"\";\na = \"\";\np = 0;\nd = \"\";\n"
                      "r = Http(\"get\", \"http://127.0.0.1:" + std::to_string(port) +
                      "/page.txt\", \"\", \"\", b, h);\n"
                      "Print(\"Http \" + r + \" \" + b + \"\\n\");\n"
                      "u = UdpOpen(0);\n"
                      "Print(\"waiting\\n\");\n"
                      "r = UdpRecv(u, a, p, d);\n"
                      "Print(\"received \" + r + \"\\n\");\n"
                      "return(0);\n");
  ASSERT_GT(inst.Start(), 0);
  std::string got;
  bool waiting = e2e::WaitFor(
      [&] {
        got = inst.Read("_stdout0.txt");
        return got.find("waiting\n") != std::string::npos;
      },
      30000);
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  ASSERT_TRUE(waiting) << got << inst.LogText();
  EXPECT_EQ(got, "Http 16 served by python\nwaiting\n");
  // The receive waits in short slices: the stop ends it and the program
  // exits cleanly.
  EXPECT_EQ(inst.Stop(SIGTERM, 20000), 0);
}

}  // namespace

namespace {

// Line 0 listens and answers; line 1 connects, sends and reads the answer.
const char* const kServerLine = R"(hs = 0
c = -1
addr = ""
t = 0
buf = ""
n = 0
ok = 0
r = TcpServer(PORT, 1, hs)
if (r == hs)
{
  ok = 1
}
Print("server " + ok + "\n")
while (c < 0)
{
  r = TcpAccept(hs, c, addr)
  w = Sleep(0.02)
}
Print("accepted " + addr + "\n")
while (t == 0)
{
  r = TcpTest(c, t)
  w = Sleep(0.02)
}
r = TcpRead(c, buf, n)
Print("read " + n + " " + buf + "\n")
r = TcpWrite(c, "pong", 0, n)
Print("wrote " + n + "\n")
r = TcpCloseAll()
Print("END\n")
r = Sleep(0)
)";

const char* const kClientLine = R"(h = 0
n = 0
buf = ""
t = 0
r = -1
while (r < 0)
{
  r = TcpOpen("127.0.0.1", PORT, 2, h)
  w = Sleep(0.05)
}
Print("connected\n")
r = TcpWrite(h, "ping", 0, n)
Print("wrote " + n + "\n")
while (t == 0)
{
  r = TcpTest(h, t)
  w = Sleep(0.02)
}
r = TcpRead(h, buf, n)
Print("read " + n + " " + buf + "\n")
r = TcpClose(h)
Print("closed " + r + " " + h + "\n")
Print("END\n")
r = Sleep(0)
)";

std::string WithPort(std::string text, int port) {
  for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, std::to_string(port));
  return text;
}

TEST(NetOps, TwoLinesTalkThroughTcp) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg",
             "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=2\n0 = s.kxs\n1 = c.kxs\n");
  inst.Write("s.kxs", WithPort(kServerLine, port));
  inst.Write("c.kxs", WithPort(kClientLine, port));
  ASSERT_GT(inst.Start(), 0);
  const std::map<int, std::string> want = {
      {0, "server 1\naccepted 127.0.0.1\nread 4 ping\nwrote 4\nEND\n"},
      {1, "connected\nwrote 4\nread 4 pong\nclosed 0 -1\nEND\n"},
  };
  for (const auto& [line, text] : want) {
    std::string got;
    const std::string out = "_stdout" + std::to_string(line) + ".txt";
    EXPECT_TRUE(e2e::WaitFor(
        [&] {
          got = inst.Read(out);
          return got.find("END\n") != std::string::npos;
        },
        30000))
        << "line " << line << ":\n"
        << got << inst.LogText() << inst.Read("errmsg" + std::to_string(line) + ".txt");
    EXPECT_EQ(got, text) << "line " << line;
  }
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace

namespace {

// The script with each placeholder replaced by its number.
std::string Filled(std::string text, const std::map<std::string, int>& values) {
  for (const auto& [name, value] : values)
    for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), std::to_string(value));
  return text;
}

// Runs the scripts on virtual lines and gives each line's printed output
// once it holds "END" (what it holds by then when it never does).
std::map<int, std::string> RunScripts(e2e::Installation& inst, const std::map<int, std::string>& scripts,
                                      const std::function<void(e2e::Installation&)>& meanwhile = {}) {
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  std::string cfg = "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=" +
                    std::to_string(scripts.size()) + "\n";
  for (const auto& [line, text] : scripts) {
    const std::string file = "l" + std::to_string(line) + ".kxs";
    cfg += std::to_string(line) + " = " + file + "\n";
    inst.Write(file, text);
  }
  inst.Write("RoDizRun.cfg", cfg);
  std::map<int, std::string> out;
  if (inst.Start() <= 0) return out;
  if (meanwhile) meanwhile(inst);
  for (const auto& [line, text] : scripts) {
    const std::string name = "_stdout" + std::to_string(line) + ".txt";
    e2e::WaitFor(
        [&] {
          out[line] = inst.Read(name);
          return out[line].find("END\n") != std::string::npos;
        },
        60000);
  }
  return out;
}

// A datagram above the receive buffer still leaves: only the socket limits
// what is sent, and the receiver refuses what does not fit its buffer.
TEST(NetOps, UdpSendsWhatTheSocketTakes) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  e2e::Installation inst;
  auto out = RunScripts(inst, {{0, Filled(R"(u = UdpOpen(PU)
big = ""
t = 0
n = 0
a = ""
p = 0
d = ""
w = 0
r = Repeatstr(big, "a", 20000)
r = UdpSend(u, "127.0.0.1", PU, big)
Print("sent " + r + "\n")
while (t == 0 && n < 500)
{
  t = UdpTest(u)
  w = Sleep(0.02)
  n = n + 1
}
r = -9
if (t == 1)
{
  r = UdpRecv(u, a, p, d)
}
Print("received " + r + "\n")
r = Repeatstr(big, "b", 70000)
r = UdpSend(u, "127.0.0.1", PU, big)
Print("over the socket's limit " + r + "\n")
r = UdpClose(u)
Print("END\n")
r = Sleep(0)
)",
                                                      {{"PU", port}})}});
  EXPECT_EQ(out[0], "sent 20000\nreceived -1\nover the socket's limit -1\nEND\n") << inst.LogText();
  EXPECT_EQ(inst.Stop(), 0);
}

// Line 0 opens a UDP socket, a TCP listener with a client connected to it
// and an HTTP listener, and hands the handles to line 1, which uses and
// closes every one of them; line 0's request is served by line 1.
const char* const kOpener = R"(u = UdpOpen(PU)
hs = 0
c = -2
b = ""
hd = ""
serving = 0
w = 0
r = TcpServer(PT, 1, hs)
h = HttpServerOpen(PH)
r = TcpOpen("127.0.0.1", PT, 2, c)
r = SetShareMem(-1, "u", u)
r = SetShareMem(-1, "hs", hs)
r = SetShareMem(-1, "c", c)
r = SetShareMem(-1, "h", h)
r = SetShareMem(-1, "ready", 1)
while (serving == 0)
{
  w = GetShareMem(-1, "serving", serving)
  w = Sleep(0.02)
}
r = Http("get", "http://127.0.0.1:PH/w", "", "", b, hd)
Print("http " + r + " " + b + "\n")
Print("END\n")
r = Sleep(0)
)";

const char* const kWorker = R"(ready = 0
u = 0
hs = 0
c = 0
h = 0
w = 0
t = 0
n = 0
a = ""
p = 0
d = ""
conn = -1
addr = ""
buf = ""
hc = -1
hd = ""
bd = ""
peer = ""
tries = 0
ok = 0
while (ready == 0)
{
  w = GetShareMem(-1, "ready", ready)
  w = Sleep(0.02)
}
w = GetShareMem(-1, "u", u)
w = GetShareMem(-1, "hs", hs)
w = GetShareMem(-1, "c", c)
w = GetShareMem(-1, "h", h)
r = UdpSend(u, "127.0.0.1", PU, "hi")
Print("udp send " + r + "\n")
r = 0
while (r == 0 && tries < 500)
{
  r = UdpTest(u)
  w = Sleep(0.02)
  tries = tries + 1
}
if (r == 1)
{
  r = UdpRecv(u, a, p, d)
}
Print("udp recv " + r + " " + d + "\n")
r = -1
tries = 0
while (r == -1 && tries < 500)
{
  r = TcpAccept(hs, conn, addr)
  w = Sleep(0.02)
  tries = tries + 1
}
if (conn > 0)
{
  ok = 1
}
Print("tcp accepted " + ok + "\n")
r = TcpWrite(c, "ping", 0, n)
Print("tcp write " + n + "\n")
tries = 0
while (t == 0 && tries < 500)
{
  r = TcpTest(conn, t)
  w = Sleep(0.02)
  tries = tries + 1
}
r = TcpRead(conn, buf, n)
Print("tcp read " + n + " " + buf + "\n")
r = TcpClose(c)
r = TcpTest(c, t)
Print("tcp closed " + t + "\n")
r = TcpClose(conn)
r = TcpClose(hs)
r = SetShareMem(-1, "serving", 1)
tries = 0
while (hc == -1 && tries < 500)
{
  hc = HttpServerRecv(h, hd, bd, peer)
  w = Sleep(0.02)
  tries = tries + 1
}
ok = 0
if (hc > 0)
{
  ok = 1
}
Print("http recv " + ok + " " + peer + "\n")
r = HttpServerSend(hc, "", "served by 1")
Print("http send " + r + "\n")
r = HttpServerClose(h)
r = UdpClose(u)
r = UdpTest(u)
Print("udp closed " + r + "\n")
r = UdpTest(1)
Print("standard output " + r + "\n")
Print("END\n")
r = Sleep(0)
)";

TEST(NetOps, AWorkerLineUsesAndClosesSocketsAnotherLineOpened) {
  const std::map<std::string, int> ports = {{"PU", FreePort()}, {"PT", FreePort()}, {"PH", FreePort()}};
  for (const auto& [name, port] : ports) ASSERT_GT(port, 0) << name;
  e2e::Installation inst;
  auto out = RunScripts(inst, {{0, Filled(kOpener, ports)}, {1, Filled(kWorker, ports)}});
  EXPECT_EQ(out[0], "http 11 served by 1\nEND\n") << inst.LogText();
  EXPECT_EQ(out[1],
            "udp send 2\nudp recv 2 hi\ntcp accepted 1\ntcp write 4\ntcp read 4 ping\ntcp closed -1\n"
            "http recv 1 127.0.0.1\nhttp send 11\nudp closed -1\nstandard output -1\nEND\n")
      << inst.LogText();
  EXPECT_EQ(inst.Stop(), 0);
}

// The client leaves before the answer: a body too large for the socket's
// buffers cannot be delivered, and the send says so with -1.
TEST(NetOps, AnAnswerToAClientThatLeftGivesMinusOne) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  e2e::Installation inst;
  const std::string gone = inst.Path("gone");
  auto out = RunScripts(
      inst,
      {{0, Filled(R"(h = HttpServerOpen(PH)
big = ""
hd = ""
bd = ""
peer = ""
gone = 0
w = 0
r = Repeatstr(big, "z", 16777216)
Print("open " + r + "\n")
c = -1
while (c == -1)
{
  c = HttpServerRecv(h, hd, bd, peer)
  w = Sleep(0.02)
}
Print("request\n")
while (gone == 0)
{
  w = IsDirExist(")" + gone + R"(", gone)
  w = Sleep(0.02)
}
r = HttpServerSend(c, "", big)
Print("sent " + r + "\n")
r = HttpServerClose(h)
Print("END\n")
r = Sleep(0)
)",
                  {{"PH", port}})}},
      [&](e2e::Installation& in) {
        ASSERT_TRUE(e2e::WaitFor([&] { return in.Read("_stdout0.txt").find("open 0\n") != std::string::npos; },
                                 30000));
        int s = kNoSocket;
        ASSERT_EQ(TcpConnectTimeout(&s, "127.0.0.1", port, 5), 0);
        const std::string get = "GET / HTTP/1.1\r\n\r\n";
        EXPECT_EQ(SendAll(s, get.data(), get.size(), 5000), get.size());
        EXPECT_TRUE(e2e::WaitFor([&] { return in.Read("_stdout0.txt").find("request\n") != std::string::npos; },
                                 30000));
        CloseSocket(s);
        std::filesystem::create_directory(gone);
      });
  EXPECT_EQ(out[0], "open 0\nrequest\nsent -1\nEND\n") << inst.LogText();
  EXPECT_EQ(inst.Stop(), 0);
}

// A python3 peer that answers each of its connections with the next of the
// given responses and closes it.
class ResponsePeer : public testsupport::PythonPeer {
 public:
  explicit ResponsePeer(const std::vector<std::string>& responses) : PythonPeer(kPeer, Hexed(responses)) {}

 private:
  static constexpr char kPeer[] = R"PY(
import socket, sys
s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(4)
print(s.getsockname()[1], flush=True)
s.settimeout(60)
for r in sys.argv[1:]:
    c, _ = s.accept(); c.settimeout(60)
    req = b''
    while b'\r\n\r\n' not in req:
        d = c.recv(4096)
        if not d: break
        req += d
    c.sendall(bytes.fromhex(r)); c.close()
)PY";
  static std::vector<std::string> Hexed(const std::vector<std::string>& responses) {
    std::vector<std::string> out;
    for (const std::string& r : responses) {
      std::string hex;
      for (unsigned char c : r) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
      }
      out.push_back(hex);
    }
    return out;
  }
};

// A chunked response that stops inside its second chunk gives the first
// chunk and its length; one that stops before any chunk gives 0 and an
// empty body.
TEST(NetOps, AChunkedResponseCutShortGivesWhatWasDecoded) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  ResponsePeer peer({head + "5\r\nhello\r\n5\r\nwor", head});
  ASSERT_GT(peer.port(), 0);
  e2e::Installation inst;
  auto out = RunScripts(inst, {{0, Filled(R"(b = "old"
h = ""
r = Http("get", "http://127.0.0.1:PH/c", "", "", b, h)
Print("cut " + r + " [" + b + "]\n")
b = "old"
r = Http("get", "http://127.0.0.1:PH/c", "", "", b, h)
Print("empty " + r + " [" + b + "]\n")
Print("END\n")
r = Sleep(0)
)",
                                                      {{"PH", peer.port()}})}});
  EXPECT_EQ(out[0], "cut 5 [hello]\nempty 0 []\nEND\n") << inst.LogText();
  EXPECT_EQ(inst.Stop(), 0);
  const std::string log = inst.LogText();
  size_t at = 0;
  for (const char* line : {"push 1", "push 2", "isChunked Recv Timeout.", "HttpProc end.", "push 1", "push 2",
                           "isChunked Recv Timeout.", "HttpProc end."}) {
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << "no " << line << " in order in\n" << log;
  }
}

}  // namespace
