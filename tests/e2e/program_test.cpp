// The program end to end: start lines, raw trace, single instance, the quit
// event, signals, a missing configuration, the remote monitor port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "platform/instance.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::FreePort;

// Texts of "[...]" lines in order.
std::vector<std::string> Bracketed(const std::string& all) {
  std::vector<std::string> out;
  size_t p = 0;
  while ((p = all.find('[', p)) != std::string::npos) {
    size_t e = all.find("]\n", p);
    if (e == std::string::npos) break;
    out.push_back(all.substr(p + 1, e - p - 1));
    p = e + 2;
  }
  return out;
}

// Empty when want appears in order within got, else the first one missing.
std::string MissingInOrder(const std::vector<std::string>& got, const std::vector<std::string>& want) {
  auto at = got.begin();
  for (auto& w : want) {
    at = std::find(at, got.end(), w);
    if (at == got.end()) return w;
  }
  return {};
}


const std::vector<std::string> kExitTrace = {"isCloseing = true;", "delete pCtrlPages...", "ModifyTrayIcon()...",
                                             "SavePost()...",      "delete pTelDrive;",    "delete pRemoteCtrl;",
                                             "delete pMonitor;",   "delete _logFp ...",    "Close Ok.",
                                             "Action = caFree;"};

// A running installation of the fake-lines program.
class Running {
 public:
  explicit Running(const std::string& extraCfg = "") : inst(e2e::FakeLinesProgramPath()) {
    inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=2\nDISP_DELAY=100\nLANGUAGE_TYPE=ENGLISH\n" + extraCfg + "0-3=a.kxs\n");
  }
  bool Start() {
    return inst.Start() > 0 && inst.WaitForLog("[MainRunThread()...]") &&
           e2e::WaitFor([&] { return inst.Read("RawLog.txt").find("new TagCtrlPages() OK.") != std::string::npos; });
  }
  std::vector<std::string> Raw() const { return Bracketed(inst.Read("RawLog.txt")); }
  e2e::Installation inst;
};

TEST(Program, StartLinesAndRawTraceInOrder) {
  Running r;
  ASSERT_TRUE(r.Start());
  EXPECT_EQ(MissingInOrder(Bracketed(r.inst.LogText()), {"TagMonitor()...", "TagMonitor() OK.", "TagRemoteCtrl().",
                                                         "DispMonitor().", "MainRunThread()..."}),
            "")
      << r.inst.LogText();
  EXPECT_EQ(MissingInOrder(r.Raw(), {"Create : MainRunThread..", "InitSystem() OK.", "new TagCtrlPages()...",
                                     "new TagCtrlPages() OK."}),
            "");
  EXPECT_EQ(r.inst.Stop(SIGTERM), 0);
}

TEST(Program, QuitEventAndSignalsRunTheExitSequence) {
  struct Case {
    const char* how;
    int sig;  // 0: the quit event
  } cases[] = {{"quit event", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
  for (auto& c : cases) {
    Running r;
    ASSERT_TRUE(r.Start()) << c.how;
    int rc;
    if (c.sig == 0) {
      plat::NamedEvent quit;
      ASSERT_TRUE(quit.Open("RoDiz Quit " + r.inst.KobjSuffix()));
      quit.Set();
      rc = r.inst.WaitExit(20000);
    } else {
      rc = r.inst.Stop(c.sig, 20000);
    }
    EXPECT_EQ(rc, 0) << c.how;
    std::vector<std::string> raw = r.Raw();
    EXPECT_EQ(MissingInOrder(raw, kExitTrace), "") << c.how;
    if (c.sig == 0) {
      EXPECT_EQ(MissingInOrder(raw, {"HasQuitEvent!", "WMKxSysQuit()!", "isCloseing = true;"}), "");
    }
    EXPECT_NE(r.inst.LogText().find("System Closed."), std::string::npos) << c.how;
    EXPECT_TRUE(r.inst.Exists("FormPos.dat")) << c.how;
  }
}

TEST(Program, SecondInstanceShowsTheBoxAndTheFirstWindow) {
  Running r;
  ASSERT_TRUE(r.Start());
  pid_t second = r.inst.Spawn();
  ASSERT_GT(second, 0);
  EXPECT_EQ(e2e::Installation::WaitPid(second, 20000), 255);
  EXPECT_NE(r.inst.Read("boxes.txt").find("程序已经启动！"), std::string::npos);
  EXPECT_TRUE(e2e::WaitFor([&] { return MissingInOrder(r.Raw(), {"HasShowEvent!"}).empty(); }, 10000))
      << "the first copy serves the Show event";
  EXPECT_EQ(r.inst.Stop(SIGTERM), 0);
}

TEST(Program, WithoutLinesTheStartFailsAndSignalsStillEndIt) {
  // A missing RoDizRun.cfg: the line manager's box, then the failed system
  // start; without a configuration the language is Chinese. A configuration
  // that names no lines starts no line: "Lines number is 0".
  struct Case {
    const char* cfg;  // nullptr: no RoDizRun.cfg
    std::vector<const char*> boxes;
  } cases[] = {{nullptr, {"\"RoDizRun.cfg\" File Open Error.", "Corvane System: 初始化系统失败: 返回值=-100"}},
               {"LANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=0\n", {"Lines number is 0"}}};
  for (auto& c : cases) {
    e2e::Installation inst;
    if (c.cfg) inst.Write("RoDizRun.cfg", c.cfg);
    ASSERT_GT(inst.Start(), 0);
    for (const char* box : c.boxes) {
      EXPECT_TRUE(e2e::WaitFor([&] { return inst.Read("boxes.txt").find(box) != std::string::npos; }))
          << inst.Read("boxes.txt");
    }
    ASSERT_TRUE(inst.WaitForLog("System Start..."));
    EXPECT_EQ(inst.Stop(SIGTERM), 0);
    EXPECT_NE(inst.LogText().find("System Closed."), std::string::npos) << "the log is kept";
  }
}

TEST(Program, RemoteMonitorAnswersAPoll) {
  int port = FreePort();
  Running r("MONITOR_MAX_CONN=2\nMONITOR_PORT=" + std::to_string(port) + "\n");
  ASSERT_TRUE(r.Start());
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  timeval tv{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ASSERT_EQ(::send(s, "\x01\x02\x03\x04\x05", 5, MSG_NOSIGNAL), 5);
  std::string frame;
  char buf[4096];
  while (frame.size() < 4 || frame.size() < 4u + (static_cast<uint8_t>(frame[0]) | static_cast<uint8_t>(frame[1]) << 8 |
                                                  static_cast<uint8_t>(frame[2]) << 16)) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    ASSERT_GT(n, 0) << "no frame";
    frame.append(buf, static_cast<size_t>(n));
  }
  ::close(s);
  EXPECT_EQ(static_cast<uint8_t>(frame[4]) | static_cast<uint8_t>(frame[5]) << 8, 4) << "the line count";
  EXPECT_NE(frame.find("0 : VirtualLine0#"), std::string::npos);
  EXPECT_EQ(r.inst.Stop(SIGTERM), 0);
}

}  // namespace
