#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "platform/card/card.h"
#include "platform/card/control.h"
#include "platform/card/farend.h"
#include "platform/card/isupmsg.h"
#include "platform/faults.h"
#include "platform/socketbase.h"
#include "tests/platform/card_test_util.h"
#include "tests/support/tempdir.h"

using namespace cardtest;
using plat::SimCard;

namespace {

struct CtlResult {
  int exitCode = -1;
  std::string out;
};

// Runs tools/simcardctl with the given arguments.
CtlResult RunCtl(const std::string& args) {
  std::string tool = std::string(RODIZ_BINARY_DIR) + "/tools/simcardctl";
  EXPECT_TRUE(std::filesystem::exists(tool)) << "build the simcardctl tool first";
  CtlResult r;
  FILE* p = popen((tool + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  int st = pclose(p);
  r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r;
}

class CardControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ini_ = dir_ + "/SimCard.ini";
    WriteFile(ini_, std::string(kStandardIni) + "Control = unix:" + dir_ + "/card.sock\n");
    card_ = std::make_unique<SimCard>(ini_);
    ASSERT_EQ(card_->Start("", "prompt.ini"), 0) << card_->ConfigError();
    ASSERT_EQ(card_->IsupStart(), 0);
  }
  void TearDown() override {
    card_.reset();
  }
  CtlResult Ctl(const std::string& cmd) { return RunCtl("-f " + ini_ + " " + cmd); }

  testsupport::TempDir tmp_;
  std::string dir_ = tmp_.path(), ini_;
  std::unique_ptr<SimCard> card_;
};

}  // namespace

TEST_F(CardControlTest, IncomingCallDrivenWithSimcardctl) {
  CtlResult r = Ctl("CALL 0 IAM 01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 04 03 13 76 98 00");
  EXPECT_EQ(r.out, "OK");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Ctl("STATE 0").out, "OK 9");
  EXPECT_EQ(card_->IsupCallingNumber(0, 0), "6789");
  EXPECT_EQ(card_->IsupCalledNumber(0, 0), "12345");

  // The line acknowledges and answers; the far end reads what it sent.
  auto acm = plat::card::BuildAcm(true, 0, "12345");
  card_->IsupSendRawFrame(0, 0, acm.data(), static_cast<int>(acm.size()));
  card_->IsupSendMessage(0, 0, 5, 2);
  EXPECT_EQ(Ctl("FRAMES 0").out, "OK 06 12 14 01 37 01 0C 29 01 01 39 02 37 C0 00");
  EXPECT_EQ(Ctl("MESSAGES 0").out, "OK 5/2");

  ASSERT_EQ(Ctl("DTMF 0 12#").out, "OK");
  EXPECT_EQ(card_->ReadChannelDtmf(0), '1');

  // WAIT holds its answer until the line completes the far end's release.
  EXPECT_EQ(Ctl("REL 0 16").out, "OK");
  auto waiting = std::async(std::launch::async, [&] { return Ctl("WAIT 0 1 20000"); });
  ASSERT_TRUE(WaitFor([&] { return card_->IsupReleaseCause(0, 0) == 16; }));
  plat::SleepMs(100);
  card_->IsupSendMessage(0, 0, 1, 0);
  EXPECT_EQ(waiting.get().out, "OK 1");
  EXPECT_EQ(Ctl("WAIT 0 9 50").out, "ERR timeout, state 1");
}

TEST_F(CardControlTest, CommandTable) {
  WriteBytes(dir_ + "/p.wav", Wave(6, std::vector<uint8_t>(160, 0x2A), false));
  ASSERT_EQ(card_->PortPlayFile(0, dir_ + "/p.wav", 90, -1), 0);
  card_->PortOffHook(2);
  card_->PortDial(2, "5551234");
  struct Case {
    std::string cmd, want;
    int exitCode;
  } cases[] = {
      {"CALL 1 6789 12345", "OK", 0},
      {"STATE 1", "OK 9", 0},
      {"CALL 1 6789 12345", "ERR channel not idle, state 9", 1},
      {"CALL 2 IAM 01 0", "ERR bad hex", 1},
      {"CALL 99 - 12345", "ERR no digital channel 99", 1},
      {"BLOCK 3", "OK", 0},
      {"STATE 3", "OK 6", 0},
      {"UNBLOCK 3", "OK", 0},
      {"REL 4 16", "ERR no call, state 1", 1},
      {"CPG 4 200", "ERR CPG ch cause", 1},
      {"HOOK 30 OFF", "OK", 0},
      {"HOOK 30 MAYBE", "ERR HOOK ch OFF|ON", 1},
      {"RINGING 30", "OK 0 0", 0},
      {"DIALLED 32", "OK 5551234", 0},
      {"ANSWER 32", "OK", 0},
      {"FSK 30", "ERR no FSK message", 1},
      {"GROUP 30", "OK -1 talk", 0},
      {"PARTNER 0", "OK -1", 0},
      {"FEEDHEX 5 11 22 33", "OK", 0},
      {"NOSUCH 1", "ERR unknown command NOSUCH (HELP lists them)", 1},
      {"nosuch", "ERR unknown command NOSUCH (HELP lists them)", 1},
      {"STATE x", "ERR STATE needs a channel number", 1},
  };
  for (const auto& c : cases) {
    CtlResult r = Ctl(c.cmd);
    EXPECT_EQ(r.out, c.want) << c.cmd;
    EXPECT_EQ(r.exitCode, c.exitCode) << c.cmd;
  }
  EXPECT_EQ(card_->HookState(0), 1);
  EXPECT_EQ(card_->PortConnected(2), 1);
  CtlResult played = Ctl("PLAYED 30");
  EXPECT_EQ(played.out.rfind("OK " + dir_ + "/p.wav mode=90 at=", 0), 0u) << played.out;
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(card_->PortPlayVoice(0)) != 0; }));
  {
    // The card writes what a client names inside its own folder.
    testsupport::ScopedCwd cwd(dir_);
    EXPECT_EQ(Ctl("AUDIO 30 heard.alw").out, "OK 160");
  }
  EXPECT_EQ(ReadBytes(dir_ + "/heard.alw"), std::vector<uint8_t>(160, 0x2A));
  EXPECT_EQ(Ctl("HELP").exitCode, 0);
}

// Keys reach a line only over a call, and only keys a keypad has: anything
// else is refused whole, so the far end never hears part of what was sent.
TEST_F(CardControlTest, DtmfNeedsACallAndValidKeys) {
  ASSERT_EQ(Ctl("CALL 1 6789 12345").out, "OK");
  struct Case {
    std::string cmd, want;
  } cases[] = {
      {"DTMF 4 12#", "ERR no call on channel 4, state 1, no keys queued"},
      {"DTMF 31 5", "ERR no call on channel 31, on hook, no keys queued"},
      {"DTMF 1 1x2#", "ERR not a key: 'x' in 1x2# (0-9 * # A-D), no keys queued"},
      {"DTMF 1 34", "OK"},
      {"HOOK 31 OFF", "OK"},
      {"DTMF 31 7", "OK"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ctl(c.cmd).out, c.want) << c.cmd;
  EXPECT_EQ(card_->ReadChannelDtmf(4), 0);  // a first key would be due at once
  std::string keys;
  ASSERT_TRUE(WaitFor([&] {
    if (int k = card_->ReadChannelDtmf(1)) keys.push_back(static_cast<char>(k));
    return keys.size() >= 2;
  }));
  EXPECT_EQ(keys, "34");
  int port = 0;
  ASSERT_TRUE(WaitFor([&] { return (port = card_->ReadPortDtmf(1)) != 0; }));
  EXPECT_EQ(port, '7');
}

// HELP is answered by the tool itself, so it works before any card runs and
// outside the installation; it explains the options and every answer.
TEST(CardCommands, ToolHelpWorksWithoutACard) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  CtlResult r = RunCtl("-f " + dir + "/missing.ini help");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  for (const char* want : {"-s ", "-f ", "exit 2", "STATE ch", "1 idle", "WAIT ch state [ms]", "ERR timeout, state N",
                           "DTMF ch keys", "PLAYED ch"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << " in " << r.out;
  for (const auto& c : plat::SimCardFarEnd::Commands()) {
    EXPECT_FALSE(c.answer.empty()) << c.name;
    EXPECT_NE(r.out.find("  " + c.name), std::string::npos) << c.name;
  }
}

TEST_F(CardControlTest, CalloutAnswersFromTheCommandLine) {
  struct Case {
    std::string acm;
    std::string wantRaw;
  } cases[] = {
      {"ACM 6", "06 16 14 01 00"},
      {"ACM 6 BUSY", "06 12 14 01 00"},
      {"ACM 6 REDIR 3 95555", "06 16 14 01 36 01 18 0C 05 83 10 59 55 05 00"},
      {"ACM 6 06 16 14 00", "06 16 14 00"},
  };
  for (const auto& c : cases) {
    ASSERT_GT(card_->IsupCallout(0, 6, "12345", "6789"), 0);
    EXPECT_EQ(Ctl("CALLOUT 6").out, "OK number=12345 calling=6789 first= params=00 00 00 00 00 00");
    EXPECT_EQ(Ctl(c.acm).out, "OK") << c.acm;
    EXPECT_EQ(card_->IsupCalloutEvents(0, 6), 0x08);
    uint8_t buf[300];
    int n = card_->IsupReadRawMessage(0, 6, buf, sizeof buf);
    EXPECT_EQ(plat::card::ToHex(buf, static_cast<size_t>(n)), c.wantRaw) << c.acm;
    EXPECT_EQ(Ctl("ANSWER 6").out, "OK");
    EXPECT_EQ(card_->IsupChannelState(0, 6), 8);
    card_->IsupSendMessage(0, 6, 7, 0);
  }
  EXPECT_EQ(Ctl("ACM 6 REDIR 9 1").out, "ERR ACM ch REDIR case number");
  EXPECT_EQ(Ctl("MESSAGES 6").out, "OK 7/0 7/0 7/0 7/0");
}

TEST_F(CardControlTest, StoppedCardCannotBeReached) {
  card_->Stop();
  CtlResult r = Ctl("STATE 0");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out.rfind("ERR cannot reach the card", 0), 0u) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/card.sock"));
  EXPECT_EQ(RunCtl("").exitCode, 2);  // usage
  EXPECT_EQ(RunCtl("-f " + dir_ + "/none.ini STATE 0").exitCode, 2);
}

TEST(CardControlTcp, LoopbackPortServesTheSameCommands) {
  // A port the system just gave out is very likely free.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(s);

  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", std::string(kStandardIni) + "Control = tcp:" + std::to_string(port) + "\n");
  {
    SimCard card(dir + "/SimCard.ini");
    ASSERT_EQ(card.Start("", ""), 0);
    std::string ep = "tcp:" + std::to_string(port);
    EXPECT_EQ(plat::SimCardCommand(ep, "STATE 0"), "OK 1");
    EXPECT_EQ(plat::SimCardCommand(ep, "CALL 0 6789 12345"), "OK");
    EXPECT_EQ(card.IsupChannelState(0, 0), 9);
    EXPECT_EQ(RunCtl("-s " + ep + " STATE 0").out, "OK 9");
  }
}

TEST(CardCommands, MalformedLinesAreRefusedWithErr) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", kStandardIni);
  SimCard card(dir + "/SimCard.ini");
  ASSERT_EQ(card.Start("", ""), 0);
  ASSERT_EQ(card.IsupStart(), 0);
  plat::SimCardFarEnd far(card);
  const char* corpus[] = {
      "", "   ", "CALL", "CALL -1 1 2", "CALL 2147483648 1 2", "CALL 0 IAM", "CALL 0 IAM 06 12",
      "CALL 0 IAM " /* 301 bytes */, "DTMF 0", "ACM 0 zz", "CPG 0", "CPG 0 -1", "REL 0 x",
      "ANSWER 0 x", "WAIT 0", "WAIT 0 1 -5", "WAIT 0 1 999999999", "HOOK 0 OFF", "HOOK 99 ON",
      "FAXEND 0", "FAXEND 7 1", "AUDIO 0", "FEED 0", "FEEDHEX 0 1", "STATE 1e3", "\x01\x02\xff",
  };
  for (const char* line : corpus) {
    std::string l = line;
    if (l == "CALL 0 IAM ")
      for (int i = 0; i < 301; i++) l += "01 ";
    std::string answer = far.Execute(l);
    EXPECT_EQ(answer.rfind("ERR", 0), 0u) << "[" << l << "] -> " << answer;
  }
  EXPECT_EQ(card.IsupChannelState(0, 0), 1);  // nothing took effect
}

TEST(CardCommands, HelpListsEveryCommandOfTheTable) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", kStandardIni);
  SimCard card(dir + "/SimCard.ini");
  ASSERT_EQ(card.Start("", ""), 0);
  plat::SimCardFarEnd far(card);
  std::string help = far.Execute("help");
  ASSERT_EQ(help.rfind("OK ", 0), 0u) << help;
  auto commands = plat::SimCardFarEnd::Commands();
  for (const auto& c : commands) {
    std::string entry = c.args.empty() ? c.name : c.name + " " + c.args;
    EXPECT_NE((" " + help + " ").find(" " + entry + " "), std::string::npos) << entry << " in " << help;
    // Every listed command is dispatched, with or without its arguments.
    std::string line = c.name + (c.args.empty() ? "" : " 999");
    EXPECT_EQ(far.Execute(line).find("unknown command"), std::string::npos) << line;
  }
  // The commands tools and scripts of the far end rely on stay in the table.
  const char* known[] = {"CALL",   "DTMF",   "ACM",     "CPG",    "ANSWER",   "REL",    "BLOCK",
                         "UNBLOCK", "STATE", "WAIT",    "FRAMES", "MESSAGES", "CALLOUT", "SENTDTMF",
                         "PLAYED", "AUDIO",  "FEED",    "FEEDHEX", "HOOK",    "RINGING", "FSK",
                         "DIALLED", "FAXEND", "FAXES", "GROUP",  "PARTNER",  "PUSHES", "HELP"};
  for (const char* name : known) {
    bool listed = std::any_of(commands.begin(), commands.end(), [&](const auto& c) { return c.name == name; });
    EXPECT_TRUE(listed) << name;
  }
}

TEST_F(CardControlTest, AudioOfADeletedFileIsAnError) {
  std::string voice = dir_ + "/t0.WAV";
  WriteBytes(voice, Wave(6, std::vector<uint8_t>(80, 0x2A), false));
  ASSERT_EQ(card_->ChannelPlayFile(0, voice, 200, -1), 0);
  ASSERT_TRUE(WaitFor([&] { return card_->VoiceFinished(card_->ChannelPlayVoice(0)) != 0; }));
  testsupport::ScopedCwd cwd(dir_);
  ASSERT_EQ(Ctl("AUDIO 0 kept.alw").out, "OK 80");

  // A line deletes its number file once it has played it.
  std::filesystem::remove(voice);
  CtlResult r = Ctl("AUDIO 0 gone.alw 0");
  EXPECT_EQ(r.out, "ERR cannot read played file " + voice);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/gone.alw"));
  // A channel that played nothing still gives an empty recording.
  EXPECT_EQ(Ctl("AUDIO 1 none.alw").out, "OK 0");
}

// A client names files inside the program's folder only: nothing it sends
// writes or reads a file elsewhere.
TEST_F(CardControlTest, FilesOutsideTheProgramsFolderAreRefused) {
  std::filesystem::create_directory(dir_ + "/run");
  WriteBytes(dir_ + "/secret.tif", std::vector<uint8_t>(16, 1));
  testsupport::ScopedCwd cwd(dir_ + "/run");
  const std::string refused = "ERR path must lie inside the program's folder";
  const std::string cases[] = {
      "AUDIO 0 " + dir_ + "/abs.alw",
      "AUDIO 0 ../up.alw",
      "AUDIO 0 sub/../../up.alw",
      // Quoted for the shell that runs simcardctl.
      "AUDIO 0 '..\\up.alw'",
      "AUDIO 0 'C:\\up.alw'",
      "HEARD 0 ../up.alw",
      "HEARD 0 /tmp/up.alw 100",
      "FEED 0 ../secret.tif",
      "FAXMACHINE 0 SEND ../secret.tif",
      "FAXMACHINE 0 SEND " + dir_ + "/secret.tif",
      "FAXMACHINE 0 RECV ../up.tif",
  };
  for (const std::string& cmd : cases) {
    CtlResult r = Ctl(cmd);
    EXPECT_EQ(r.out.rfind(refused, 0), 0u) << cmd << ": " << r.out;
    EXPECT_EQ(r.exitCode, 1) << cmd;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/up.alw"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/abs.alw"));
  // Inside the folder, and names that only look like "..", are served.
  EXPECT_EQ(Ctl("AUDIO 1 ..x.alw").out, "OK 0");
  EXPECT_EQ(Ctl("HEARD 1 here.alw 20").out, "OK 160");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/run/..x.alw"));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/run/here.alw"));
}

// STATE, WAIT, ANSWER, REL, CPG and MESSAGES show and take these numbers, and
// scripts driving the far end write them: the names must not renumber them.
TEST(CardCommands, NamedStatesAndCausesKeepTheNumbersPeersUse) {
  namespace card = plat::card;
  struct Case {
    const char* what;
    int named, number;
  } cases[] = {
      {"analog port", card::kChanNotIsup, 0},
      {"idle", card::kChanIdle, 1},
      {"released by the far end", card::kChanReleasedByFar, 2},
      {"ACM sent", card::kChanAcmSent, 3},
      {"calling out", card::kChanCallingOut, 4},
      {"blocked", card::kChanBlocked, 6},
      {"answered", card::kChanAnswered, 7},
      {"call-out answered", card::kChanOutAnswered, 8},
      {"incoming IAM", card::kChanIncoming, 9},
      {"call-out connected", card::kChanOutConnected, 10},
      {"release complete", card::kMsgReleaseComplete, 1},
      {"answer", card::kMsgAnswer, 5},
      {"release", card::kMsgRelease, 7},
      {"answer, no charge", card::kAnswerNoCharge, 1},
      {"answer, charge", card::kAnswerCharge, 2},
      {"ACM event", card::kEventAcm, 0x08},
      {"CPG event", card::kEventCpg, 0x10},
      {"unallocated number", card::kCauseUnallocated, 1},
      {"normal clearing", card::kCauseNormalClearing, 16},
      {"user busy", card::kCauseUserBusy, 17},
      {"no user responding", card::kCauseNoUserResponding, 18},
      {"no answer", card::kCauseNoAnswer, 19},
      {"call rejected", card::kCauseCallRejected, 21},
  };
  for (const auto& c : cases) EXPECT_EQ(c.named, c.number) << c.what;
}

namespace {

// The control socket has closed its side of the client's connection.
bool CardHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

// Reads answer lines until `count` have come or the wait ends.
std::vector<std::string> ReadAnswers(int fd, size_t count) {
  std::string in;
  std::vector<std::string> lines;
  WaitFor([&] {
    char buf[65536];
    while (SocketWaitReadable(fd, 0) > 0) {
      long n = ReceiveSome(fd, buf, sizeof buf);
      if (n <= 0) return true;
      in.append(buf, static_cast<size_t>(n));
    }
    for (size_t nl; (nl = in.find('\n')) != std::string::npos; in.erase(0, nl + 1)) lines.push_back(in.substr(0, nl));
    return lines.size() >= count;
  });
  return lines;
}

}  // namespace

TEST(CardControlQueue, AClientThatTakesNoAnswersHoldsUpNobody) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", kStandardIni);
  SimCard card(dir + "/SimCard.ini");
  ASSERT_EQ(card.Start("", ""), 0);
  plat::SimCardFarEnd far(card);
  // Far more answers than the socket buffers hold.
  constexpr size_t kCommands = 3000;
  std::string commands;
  for (size_t i = 0; i < kCommands; i++) commands += "HELP\n";
  struct Case {
    const char* what;
    size_t limit;
    bool dropped;
  } cases[] = {
      {"answers pile up over the limit", 64 * 1024, true},
      {"answers stay within the limit", 64 << 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::SimCardControl control(c.limit);
    std::string ep = "unix:" + dir + "/queue.sock";
    ASSERT_TRUE(control.Start(ep, &far));
    int idle = ConnectLocal(ep);
    ASSERT_GE(idle, 0);
    // Sends fail once the card has dropped the client.
    SendAll(idle, commands.data(), commands.size(), 20000);
    // Another client is answered while the first reads nothing.
    EXPECT_EQ(plat::SimCardCommand(ep, "STATE 0", 20000), "OK 1");
    if (c.dropped) {
      EXPECT_TRUE(WaitFor([&] { return CardHungUp(idle); }));
      EXPECT_EQ(control.Dropped(), 1u);
    } else {
      EXPECT_FALSE(CardHungUp(idle));
      // Every answer was kept for the client, in order.
      std::vector<std::string> answers = ReadAnswers(idle, kCommands);
      EXPECT_EQ(answers.size(), kCommands);
      EXPECT_EQ(std::count(answers.begin(), answers.end(), far.Execute("HELP")),
                static_cast<std::ptrdiff_t>(answers.size()));
      EXPECT_EQ(control.Dropped(), 0u);
      // The stop closes a client with answers still queued, and waits for nobody.
      ASSERT_EQ(SendAll(idle, commands.data(), commands.size(), 20000), commands.size());
      EXPECT_EQ(plat::SimCardCommand(ep, "STATE 0", 20000), "OK 1");
      control.Stop();
      EXPECT_TRUE(WaitFor([&] { return CardHungUp(idle); }));
    }
    CloseSocket(idle);
  }
}

// Clients that connect and send nothing are dropped, so they cannot fill
// the table and shut out the tools that do send; a burst of connections is
// taken in without refusals.
TEST(CardControlQueue, IdleClientsAreDroppedAndBurstsAreTakenIn) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", kStandardIni);
  SimCard card(dir + "/SimCard.ini");
  ASSERT_EQ(card.Start("", ""), 0);
  plat::SimCardFarEnd far(card);
  plat::SimCardControl control(plat::SimCardControl::kDefaultOutputLimit, 300);
  std::string ep = "unix:" + dir + "/idle.sock";
  ASSERT_TRUE(control.Start(ep, &far));

  std::vector<int> idle;
  for (size_t i = 0; i < plat::SimCardControl::kClientsMax; i++) {
    idle.push_back(ConnectLocal(ep));
    ASSERT_GE(idle.back(), 0);
  }
  // Once the silent ones are gone a real command gets its answer.
  EXPECT_TRUE(WaitFor([&] { return plat::SimCardCommand(ep, "STATE 0", 5000) == "OK 1"; }, 30000));
  for (int fd : idle) {
    EXPECT_TRUE(WaitFor([&] { return CardHungUp(fd); }));
    CloseSocket(fd);
  }
  EXPECT_GE(control.Dropped(), plat::SimCardControl::kClientsMax);

  // Connections arriving at once: none refused for a full listen queue.
  std::vector<int> burst;
  for (int i = 0; i < 48; i++) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string path = dir + "/idle.sock";
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << i << ": " << strerror(errno);
    burst.push_back(fd);
  }
  for (int fd : burst) CloseSocket(fd);
  control.Stop();
}

// Out of descriptors the waiting connection stays ready: the control thread
// rests between tries instead of spinning, and serves it once they are back.
TEST(CardControlQueue, AcceptWithoutDescriptorsRestsBetweenTries) {
  testsupport::TempDir tmp;
  const std::string dir = tmp.path();
  WriteFile(dir + "/SimCard.ini", kStandardIni);
  SimCard card(dir + "/SimCard.ini");
  ASSERT_EQ(card.Start("", ""), 0);
  plat::SimCardFarEnd far(card);
  plat::SimCardControl control;
  std::string ep = "unix:" + dir + "/rest.sock";
  ASSERT_TRUE(control.Start(ep, &far));
  plat::faults::Arm(plat::faults::Op::kAccept, 1, EMFILE, 0);
  const auto start = std::chrono::steady_clock::now();
  int waiting = ConnectLocal(ep);
  ASSERT_GE(waiting, 0);
  ASSERT_TRUE(WaitFor([] { return plat::faults::Failed(plat::faults::Op::kAccept) >= 4; }, 30000));
  const int failed = plat::faults::Failed(plat::faults::Op::kAccept);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  plat::faults::Disarm();
  // A try every 250 ms at most; a loaded machine only makes fewer.
  EXPECT_LE(failed, ms / 250 + 2) << "tries in " << ms << " ms";
  const std::string line = "STATE 0\n";
  ASSERT_EQ(SendAll(waiting, line.data(), line.size(), 5000), line.size());
  EXPECT_EQ(ReadAnswers(waiting, 1), std::vector<std::string>{"OK 1"});
  CloseSocket(waiting);
  control.Stop();
}
