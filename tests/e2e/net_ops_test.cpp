// Network operations in a script on a virtual line of the real program: an
// HTTP request to python3's http.server, then a UDP receive that waits until
// the program is stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/socketbase.h"
#include "tests/e2e/harness.h"

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
