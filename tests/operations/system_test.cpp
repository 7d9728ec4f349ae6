// System operations on a line of their own: programs started without a shell,
// their exit codes and reaping, information keys, memory, disk and the grid.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/monitor.h"
#include "engine/tagmap.h"
#include "operations/sysinfo.h"
#include "platform/instance.h"
#include "platform/process.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/waitfor.h"

namespace {

using namespace optest;

// Children of this process the kernel keeps as zombies.
int ZombieChildren() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(e.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == ::getpid() && state == 'Z') ++n;
  }
  return n;
}

class SystemOpsTest : public OpFixture {};

TEST_F(SystemOpsTest, ExecWritesTheExitCodeOfAProgramThatEnded) {
  auto args = Args({S("sh -c \"exit 7\""), I(10), I(1)});
  EXPECT_EQ(Exec(KeywordId::Exec, args), 0);
  EXPECT_EQ(Show(*args[2]), "7");
}

TEST_F(SystemOpsTest, ExecWithoutWaitReturnsAtOnceAndLeavesTheCode) {
  auto args = Args({S("sh -c \"exit 3\""), I(0), S("kept")});
  EXPECT_EQ(Exec(KeywordId::Exec, args), 2);
  EXPECT_EQ(Show(*args[2]), "\"kept\"");
  // The reaper collects it: no zombie stays behind.
  EXPECT_TRUE(testsupport::WaitFor([] { return plat::PendingReaps() == 0 && ZombieChildren() == 0; }));
}

TEST_F(SystemOpsTest, ExecOfAMissingProgramFails) {
  auto args = Args({S("rodiz-no-such-program --x"), I(5), I(0)});
  EXPECT_EQ(Exec(KeywordId::Exec, args), -1);
  auto empty = Args({S(""), I(5), I(0)});
  EXPECT_EQ(Exec(KeywordId::Exec, empty), -1);
}

TEST_F(SystemOpsTest, ExecKillsAfterTheWaitOnlyWhenAsked) {
  auto killed = Args({S("sleep 30"), I(1), I(1)});
  EXPECT_EQ(Exec(KeywordId::Exec, killed), 1);
  auto left = Args({S("sleep 2"), I(1), I(0)});
  EXPECT_EQ(Exec(KeywordId::Exec, left), 2);
  EXPECT_TRUE(testsupport::WaitFor([] { return plat::PendingReaps() == 0 && ZombieChildren() == 0; }));
}

TEST_F(SystemOpsTest, ExecNeverGoesThroughAShell) {
  // Digits a caller typed, pasted into a command: a shell would run the touch.
  auto args = Args({S("touch made$(touch injected) other;echo>injected2"), I(10), I(0)});
  EXPECT_EQ(Exec(KeywordId::Exec, args), 0);
  EXPECT_EQ(Show(*args[2]), "0");
  EXPECT_TRUE(std::filesystem::exists("made$(touch"));
  EXPECT_TRUE(std::filesystem::exists("injected)"));
  EXPECT_TRUE(std::filesystem::exists("other;echo>injected2"));
  EXPECT_FALSE(std::filesystem::exists("injected"));
  EXPECT_FALSE(std::filesystem::exists("injected2"));
}

TEST_F(SystemOpsTest, ExecWaitEndsWhenTheLineStops) {
  inst_->stopRequested.store(1);
  auto args = Args({S("sleep 3"), I(600), I(0)});
  EXPECT_EQ(Exec(KeywordId::Exec, args), 2);
  inst_->stopRequested.store(0);
  // Not waited for any more, so the reaper owns it until it ends.
  EXPECT_GE(plat::PendingReaps(), 1u);
}

TEST_F(SystemOpsTest, SysInfoFillsSixteenKeys) {
  call_.causeId = 9;
  auto args = Args({N()});
  EXPECT_EQ(Exec(KeywordId::GetSysInfo, args), 16);
  ASSERT_TRUE(args[0]->IsMap());
  TagVar* cause = TagMapObject::Instance().Find(args[0]->MapHandle(), S("CauseId"));
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(Show(*cause), "9");
  // A second call overwrites the same keys.
  EXPECT_EQ(Exec(KeywordId::GetSysInfo, args), 16);
}

TEST_F(SystemOpsTest, SysInfoValComparesNamesWithoutCase) {
  TagSysHost host;
  host.version = [] { return std::string("Ver test"); };
  host.cardSerial = [] { return std::string("12345"); };
  SetSysHost(host);
  auto upper = Args({S("CardSerNo"), N()});
  auto lower = Args({S("cardserno"), N()});
  EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, upper), 0);
  EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, lower), 0);
  EXPECT_EQ(Show(*upper[1]), "\"12345\"");
  EXPECT_EQ(Show(*lower[1]), "\"12345\"");
  auto version = Args({S("VERSION"), N()});
  EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, version), 0);
  EXPECT_EQ(Show(*version[1]), "\"Ver test\"");
  auto unknown = Args({S("NoSuchKey"), S("untouched")});
  EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, unknown), -1);
  EXPECT_EQ(Show(*unknown[1]), "\"untouched\"");
  ClearSysHost();
  auto after = Args({S("Version"), N()});
  EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, after), 0);
  EXPECT_EQ(Show(*after[1]), "\"\"");
}

TEST_F(SystemOpsTest, SysInfoReadsTheLineFromTheProgram) {
  TagSysHost host;
  host.countConnected = [](int* ex, int* in, int* vir, int* ip) {
    *ex = 3;
    *in = 4;
    *vir = 5;
    *ip = 6;
  };
  host.lineTime = [](int, long* elapsed, time_t* since) {
    *elapsed = 42;
    *since = 1700000000;
    return true;
  };
  SetSysHost(host);
  call_.isBlock.store(1);
  const struct {
    const char* key;
    const char* value;
  } cases[] = {{"ExLineConnectedNum", "3"}, {"InLineConnectedNum", "4"}, {"VoipConnectedNum", "6"},
               {"TalkTime", "42"},          {"ConnectedTime1", "1700000000"}, {"IsBlock", "1"}};
  for (const auto& c : cases) {
    auto args = Args({S(c.key), N()});
    EXPECT_EQ(Exec(KeywordId::GetSysInfoVal, args), 0) << c.key;
    EXPECT_EQ(Show(*args[1]), c.value) << c.key;
  }
  ClearSysHost();
}

TEST_F(SystemOpsTest, MemoryFiguresComeFromProc) {
  plat::MemoryFigures before;
  ASSERT_TRUE(plat::ReadMemoryFigures(&before));
  auto args = Args({N(), N(), N(), N()});
  const int rss = Exec(KeywordId::GetMemInfo, args);
  plat::MemoryFigures after;
  ASSERT_TRUE(plat::ReadMemoryFigures(&after));
  EXPECT_EQ(Show(*args[0]), std::to_string(rss));
  EXPECT_GT(rss, 0);
  // Resident memory moves a little between the reads; the peaks only grow.
  // Figures past 2^31 - 1 kB (a sanitizer's reserved address space) read
  // as that.
  auto capped = [](uint64_t kb) { return std::min<uint64_t>(kb, INT32_MAX); };
  EXPECT_LE(uint64_t(rss), capped(after.peakResidentKb));
  EXPECT_GE(uint64_t(args[1]->AsInt()), capped(before.peakResidentKb));
  EXPECT_LE(uint64_t(args[1]->AsInt()), capped(after.peakResidentKb));
  // The pagefile figures are the private memory held (it may be swapped
  // out), far below the address space reserved for stacks and arenas; the
  // slack is for what moves between the reads.
  auto swapKb = [] {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("VmSwap:", 0) == 0) return std::stoull(line.substr(7));
    return 0ull;
  };
  const uint64_t slackKb = 16 * 1024;
  EXPECT_GT(args[2]->AsInt(), 0);
  EXPECT_LE(uint64_t(args[2]->AsInt()), after.residentKb + swapKb() + slackKb);
  EXPECT_GE(args[3]->AsInt(), args[2]->AsInt());
  EXPECT_LE(uint64_t(args[3]->AsInt()), after.peakResidentKb + swapKb() + slackKb);
}

TEST_F(SystemOpsTest, DiskSpaceMatchesStatvfs) {
  struct statvfs s {};
  ASSERT_EQ(::statvfs(".", &s), 0);
  const int64_t total = int64_t(uint64_t(s.f_blocks) * s.f_frsize / 1048576);
  for (TagVar path : {S("."), I(5), S("")}) {
    auto args = Args({path, N(), N()});
    EXPECT_EQ(Exec(KeywordId::GetDiskSpace, args), 1);
    EXPECT_EQ(args[1]->AsInt(), total);
    EXPECT_GT(args[2]->AsInt(), 0);
    EXPECT_LE(args[2]->AsInt(), total);
  }
  auto missing = Args({S("/no/such/folder/rodiz"), I(7), I(7)});
  EXPECT_EQ(Exec(KeywordId::GetDiskSpace, missing), 0);
  EXPECT_EQ(Show(*missing[1]), "0");
  EXPECT_EQ(Show(*missing[2]), "0");
}

TEST_F(SystemOpsTest, IsSysQuitReadsTheQuitRequest) {
  auto args = Args({I(9)});
  EXPECT_EQ(Exec(KeywordId::IsSysQuit, args), 0);
  EXPECT_EQ(Show(*args[0]), "0");
  inst_->SetQuitRequest(true);
  EXPECT_EQ(Exec(KeywordId::IsSysQuit, args), 1);
  EXPECT_EQ(Show(*args[0]), "1");
}

TEST_F(SystemOpsTest, ExitAsksTheProgramToQuitAndReturnsTheCode) {
  int quits = 0;
  TagSysHost host;
  host.quit = [&quits] { ++quits; };
  SetSysHost(host);
  EXPECT_EQ(Exec(KeywordId::Exit, Args({I(0)})), 0);
  EXPECT_EQ(quits, 1);
  // Nobody made the supervisor's event: the quit is still asked for.
  EXPECT_EQ(Exec(KeywordId::Exit, Args({I(4)})), 4);
  EXPECT_EQ(quits, 2);
  ClearSysHost();
}

TEST_F(SystemOpsTest, ExitWithACodeSetsTheSupervisorsEvent) {
  plat::NamedEvent supervisor;
  ASSERT_TRUE(supervisor.Create("RuzuRav Quit"));
  EXPECT_EQ(Exec(KeywordId::Exit, Args({I(0)})), 0);
  EXPECT_FALSE(supervisor.TryWait());
  EXPECT_EQ(Exec(KeywordId::Exit, Args({I(1)})), 1);
  EXPECT_TRUE(supervisor.TryWait());
}

TEST_F(SystemOpsTest, GridTextsAndColoursGoToTheLinesUserCells) {
  auto monitor = std::make_shared<TagMonitor>(4);
  SetMonitor(monitor);
  inst_->lineNo = 2;
  EXPECT_EQ(Exec(KeywordId::DispInfo, Args({I(1), D(2.5)})), 0);
  EXPECT_EQ(monitor->GetCellText(2, kCellUser0 + 1), "2.5");
  EXPECT_EQ(Exec(KeywordId::DispInfo, Args({I(0), S("hello")})), 0);
  EXPECT_EQ(monitor->GetCellText(2, kCellUser0), "hello");
  EXPECT_EQ(Exec(KeywordId::SetDispColor, Args({I(4), I(11)})), 0);
  EXPECT_EQ(monitor->GetUserColors(2), std::make_pair(4, 11));
  inst_->lineNo = -1;
  EXPECT_EQ(Exec(KeywordId::DispInfo, Args({I(0), S("x")})), -1);
  SetMonitor(nullptr);
}

}  // namespace
