// System operations, a user library (faults in its functions included) and
// a server page in a script on a line of the real program with the software
// card, ending with the script's own Exit(.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/instance.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::FreePort;

const char* const kScript = R"(k = 9;
r = Exec("sh -c \"exit 5\"", 10, k);
Print("Exec " + r + " " + k + "\n");
k = 9;
r = Exec("no-such-program-e2e", 10, k);
Print("Missing " + r + " " + k + "\n");
r = Exec("touch made;echo>injected", 10, k);
Print("NoShell " + r + " " + k + "\n");
r = Exec("sleep 0.1", 0, k);
Print("NoWait " + r + " " + k + "\n");
v = "";
r = GetSysInfoVal("version", v);
Print("Version " + r + " " + v + "\n");
c = "";
r = GetSysInfoVal("cardserno", c);
Print("Card " + r + " " + c + "\n");
m = 0;
r = GetSysInfo(m);
Print("SysInfo " + r + "\n");
s = -5;
r = DllLoad("userlib.so", s);
Print("DllLoad " + r + " " + s + "\n");
DllFunction(s, "Twice", 1);
DllFunction(s, "UpCase", 1);
x = 21;
r = Twice(x);
t = "abc";
r2 = UpCase(t);
Print("Dll " + r + " " + x + " " + r2 + " " + t + "\n");
DllFunction(s, "SegvNull", 1);
DllFunction(s, "FpeDivide", 1);
DllFunction(s, "BusMapped", 1);
DllFunction(s, "IllInstr", 1);
f1 = SegvNull(x);
f2 = FpeDivide(x);
f3 = BusMapped(x);
f4 = IllInstr(x);
x = 2;
r = Twice(x);
Print("Faults " + f1 + " " + f2 + " " + f3 + " " + f4 + " " + r + "\n");
pm = 0;
r = VspToKxs("page.vsp", "page.kxs", pm);
Print("Vsp " + r + "\n");
r = DispInfo(0, "shown");
Print("END\n");
r = Exit(1);
r = Sleep(0);
return(0);
)";

const char* const kExpected =
    "Exec 0 5\n"
    "Missing -1 9\n"
    "NoShell 0 0\n"
    "NoWait 2 0\n"
    "Version 0 Ver 3.2.0-CardIsup\n"
    "Card 0 77665544\n"
    "SysInfo 16\n"
    "DllLoad 0 0\n"
    "Dll 42 42 3 ABC\n"
    "Faults -100 -100 -100 -100 4\n"
    "Vsp 0\n"
    "END\n";

TEST(SystemOps, ScriptOnALineEndsTheProgram) {
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=2\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0 = t.kxs\n");
  inst.Write("t.kxs", kScript);
  inst.Write("page.vsp", "<p><%n = 1;%></p>");
  inst.Write("SimCard.ini",
             "[Card]\nE1Links = 1\nAnalogPorts = USER, TRUNK\nFaxChannels = 1\nConfGroups = 4\n"
             "Serial = 77665544\nControl = unix:simcard.sock\n");
  std::filesystem::copy_file(std::string(RODIZ_BINARY_DIR) + "/tests/operations/librodiz_testlib.so",
                             inst.Path("userlib.so"));
  // The supervisor's event, as a companion program would make it.
  ::setenv("RODIZ_KOBJ_SUFFIX", inst.KobjSuffix().c_str(), 1);
  plat::NamedEvent supervisor;
  ASSERT_TRUE(supervisor.Create("RuzuRav Quit"));
  ASSERT_GT(inst.Start(), 0);
  // Exit(1) ends the program by itself.
  EXPECT_EQ(inst.WaitExit(60000), 0) << inst.LogText();
  ::unsetenv("RODIZ_KOBJ_SUFFIX");
  EXPECT_EQ(inst.Read("_stdout0.txt"), kExpected) << inst.LogText() << inst.Read("errmsg0.txt");
  const std::string log = inst.LogText();
  for (const char* line : {"DllRun Err: SegvNull(): SIGSEGV", "DllRun Err: FpeDivide(): SIGFPE",
                           "DllRun Err: BusMapped(): SIGBUS", "DllRun Err: IllInstr(): SIGILL"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_TRUE(supervisor.TryWait());
  EXPECT_NE(inst.Read("RawLog.txt").find("[Exit()!]"), std::string::npos);
  EXPECT_TRUE(inst.Exists("made;echo>injected"));
  EXPECT_FALSE(inst.Exists("injected"));
  EXPECT_NE(inst.Read("page.kxs").find("Print(_RawHtml[0]);\nn = 1;\nPrint(_RawHtml[1]);\n"), std::string::npos);
}


// One answer of the remote monitor to a poll; empty when none came.
std::string PollMonitor(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string frame;
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    timeval tv{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::send(s, "\x01\x02\x03\x04\x05", 5, MSG_NOSIGNAL) == 5) {
      char buf[4096];
      while (frame.size() < 4 || frame.size() < 4u + (static_cast<uint8_t>(frame[0]) |
                                                      static_cast<uint8_t>(frame[1]) << 8 |
                                                      static_cast<uint8_t>(frame[2]) << 16)) {
        ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        frame.append(buf, static_cast<size_t>(n));
      }
    }
  }
  ::close(s);
  return frame;
}

TEST(SystemOps, UserCellsReachTheRemoteMonitor) {
  const int port = FreePort();
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\nMONITOR_MAX_CONN=2\nMONITOR_PORT=" +
                                 std::to_string(port) + "\n0 = t.kxs\n");
  inst.Write("t.kxs",
             "r = DispInfo(1, \"cell-from-script\");\n"
             "r2 = SetDispColor(4, 11);\n"
             "Print(\"shown \" + r + \" \" + r2 + \"\\n\");\n"
             "r = Sleep(0);\n"
             "return(0);\n");
  ASSERT_GT(inst.Start(), 0);
  std::string frame;
  EXPECT_TRUE(e2e::WaitFor(
      [&] {
        frame = PollMonitor(port);
        return frame.find("cell-from-script") != std::string::npos;
      },
      60000))
      << inst.LogText();
  // The cell is shown before the script prints: wait for the print too.
  EXPECT_TRUE(e2e::WaitFor([&] { return inst.Read("_stdout0.txt") == "shown 0 0\n"; }, 60000))
      << inst.Read("_stdout0.txt");
  EXPECT_EQ(inst.Stop(), 0);
}

}  // namespace
