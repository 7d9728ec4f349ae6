#include "platform/cardfarend.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/card.h"
#include "platform/cardisup.h"
#include "platform/path.h"
#include "platform/tick.h"

namespace plat {

namespace {

constexpr size_t kKeysMax = 1024;
constexpr size_t kFeedMax = 8000 * 600;  // ten minutes of audio

bool InCall(int state) { return state == 3 || state == 4 || state == 7 || state == 8 || state == 9 || state == 10; }

}  // namespace

// ------------------------------------------------------------- network side

bool SimCardFarEnd::IncomingIam(int ch, const std::vector<uint8_t>& iam) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != 1) return Fail("channel not idle, state " + std::to_string(l->state));
  if (iam.empty() || iam.size() > 300) return Fail("IAM of 1 to 300 bytes");
  if (iam[0] != card::kIsupIam) return Fail("not an IAM");
  card::IamInfo info;  // a short IAM gives empty numbers
  card::DecodeIam(iam.data(), iam.size(), &info);
  l->lastRaw = iam;
  l->calling = info.caller;
  l->called = info.called;
  l->dtmfIn.clear();
  l->cause = 0;
  l->state = 9;
  return true;
}

bool SimCardFarEnd::IncomingCall(int ch, const std::string& caller, const std::string& called,
                                 const std::string& firstCalled, int redirCase) {
  if (called.empty()) return Fail("no called number");
  return IncomingIam(ch, card::BuildIam(caller, called, firstCalled, redirCase));
}

bool SimCardFarEnd::Dtmf(int ch, const std::string& keys) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  for (char c : keys) {
    if (l.dtmfIn.size() >= kKeysMax) return Fail("key queue full");
    l.dtmfIn.push_back(c);
  }
  return true;
}

bool SimCardFarEnd::Acm(int ch, const std::vector<uint8_t>& acm) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != 4) return Fail("no call-out, state " + std::to_string(l->state));
  if (acm.empty() || acm.size() > 300) return Fail("ACM of 1 to 300 bytes");
  l->lastRaw = acm;
  l->events |= 0x08;
  return true;
}

bool SimCardFarEnd::Cpg(int ch, int cause) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != 4) return Fail("no call-out, state " + std::to_string(l->state));
  l->cause = cause;
  l->events |= 0x10;
  return true;
}

bool SimCardFarEnd::Answer(int ch, int state) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (!l.digital) {
    if (l.portType == card::kPortUser) return Fail("a user port is answered by HOOK OFF");
    if (!l.offHook) return Fail("trunk port on hook");
    l.connected = true;
    return true;
  }
  if (state != 8 && state != 10) return Fail("answer state is 8 or 10");
  if (l.state != 4) return Fail("no call-out, state " + std::to_string(l.state));
  l.state = state;
  return true;
}

bool SimCardFarEnd::Release(int ch, int cause) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (!l.digital) {
    l.connected = false;
    return true;
  }
  if (!InCall(l.state)) return Fail("no call, state " + std::to_string(l.state));
  l.cause = cause;
  l.state = 2;
  return true;
}

bool SimCardFarEnd::Block(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != 1 && l->state != 6) return Fail("channel busy, state " + std::to_string(l->state));
  l->state = 6;
  return true;
}

bool SimCardFarEnd::Unblock(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state == 6) l->state = 1;
  return true;
}

int SimCardFarEnd::State(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  return l ? l->state : -1;
}

bool SimCardFarEnd::WaitState(int ch, int state, uint32_t timeoutMs,
                              const std::function<bool()>& cancelled) {
  uint32_t start = TickCount();
  for (;;) {
    if (State(ch) == state) return true;
    if (static_cast<uint32_t>(TickCount() - start) >= timeoutMs) return false;
    if (cancelled && cancelled()) return false;
    SleepMs(20);
  }
}

std::vector<std::vector<uint8_t>> SimCardFarEnd::Frames(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  return l ? l->frames : std::vector<std::vector<uint8_t>>{};
}

std::vector<std::pair<int, int>> SimCardFarEnd::Messages(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  return l ? l->messages : std::vector<std::pair<int, int>>{};
}

std::vector<SimCardFarEnd::CalloutInfo> SimCardFarEnd::Callouts(int ch) {
  CardLock g(card_);
  std::vector<CalloutInfo> out;
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return out;
  for (const auto& c : l->callouts) {
    CalloutInfo i;
    i.number = c.number;
    i.calling = c.calling;
    i.firstCallee = c.firstCallee;
    i.params.assign(c.params, c.params + 6);
    out.push_back(i);
  }
  return out;
}

std::string SimCardFarEnd::DtmfSent(int ch) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size())) return {};
  return card_.lines_[static_cast<size_t>(ch)].dtmfSent;
}

// ------------------------------------------------------------- media side

std::vector<SimCardFarEnd::PlayedInfo> SimCardFarEnd::Played(int ch) {
  CardLock g(card_);
  std::vector<PlayedInfo> out;
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size())) return out;
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  card_.AdvanceLine(&l, TickCount());
  for (const auto& e : l.played) {
    PlayedInfo p;
    p.file = e.file;
    p.mode = e.mode;
    p.startTick = e.startTick;
    p.ms = static_cast<uint32_t>(e.samples / 8);
    p.ended = e.ended;
    out.push_back(p);
  }
  return out;
}

std::vector<uint8_t> SimCardFarEnd::PlayedAudio(int ch, int which) {
  std::vector<uint8_t> out;
  ReadPlayedAudio(ch, which, &out);
  return out;
}

bool SimCardFarEnd::ReadPlayedAudio(int ch, int which, std::vector<uint8_t>* out) {
  out->clear();
  std::string file;
  card::VoiceInfo info;
  uint64_t from = 0, count = 0;
  {
    CardLock g(card_);
    if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
      return Fail("no channel " + std::to_string(ch));
    SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
    card_.AdvanceLine(&l, TickCount());
    if (l.played.empty()) return Fail("nothing played on channel " + std::to_string(ch));
    size_t i = which < 0 ? l.played.size() - 1 : static_cast<size_t>(which);
    if (i >= l.played.size()) return Fail("no play " + std::to_string(which));
    file = l.played[i].file;
    info = l.played[i].info;
    from = l.played[i].startSample;
    count = l.played[i].samples;
  }
  // The file is read outside the card lock. A line may delete a voice file
  // once played (the number files): say so rather than hand back nothing.
  if (FILE* f = OpenFile(file, "rb")) {
    fclose(f);
  } else {
    return Fail("cannot read " + file + ", it no longer exists");
  }
  *out = card::ReadVoiceAsALaw(file, info, from, count);
  return true;
}

bool SimCardFarEnd::Feed(int ch, const std::vector<uint8_t>& alaw) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (l.feed.size() + alaw.size() > kFeedMax) return Fail("too much audio queued");
  l.feed.insert(l.feed.end(), alaw.begin(), alaw.end());
  return true;
}

bool SimCardFarEnd::FeedFile(int ch, const std::string& path) {
  card::VoiceInfo info;
  if (card::ProbeVoice(path, &info) != 0) return Fail("cannot read voice file " + path);
  if (info.samples > kFeedMax) return Fail("voice file too long");
  return Feed(ch, card::ReadVoiceAsALaw(path, info, 0, info.samples));
}

bool SimCardFarEnd::Hook(int ch, bool offHook) {
  CardLock g(card_);
  int port = ch - card_.digital_;
  SimCard::Line* l = card_.Port(port);
  if (!l) return Fail("no analog port at " + std::to_string(ch));
  if (l->portType != card::kPortUser) return Fail("not a user port");
  l->offHook = offHook;
  if (offHook) l->ringing = false;
  return true;
}

bool SimCardFarEnd::Ringing(int ch, int* starts) {
  CardLock g(card_);
  SimCard::Line* l = card_.Port(ch - card_.digital_);
  if (!l) return false;
  if (starts) *starts = l->ringStarts;
  return l->ringing;
}

std::vector<std::vector<uint8_t>> SimCardFarEnd::FskMessages(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Port(ch - card_.digital_);
  return l ? l->fskSent : std::vector<std::vector<uint8_t>>{};
}

std::string SimCardFarEnd::Dialled(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Port(ch - card_.digital_);
  return l ? l->dialled : std::string();
}

bool SimCardFarEnd::TrunkOffHook(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Port(ch - card_.digital_);
  return l && l->portType != card::kPortUser && l->offHook;
}

bool SimCardFarEnd::FaxEnd(int fax, int state) {
  CardLock g(card_);
  if (fax < 0 || fax >= static_cast<int>(card_.fax_.size())) return Fail("no fax channel");
  SimCard::FaxChannel& f = card_.fax_[static_cast<size_t>(fax)];
  if (!f.running) return Fail("fax not running");
  if (state == 0) return Fail("end state is 1 or negative");
  f.forced = state;
  return true;
}

std::vector<SimCardFarEnd::FaxInfo> SimCardFarEnd::Faxes() {
  CardLock g(card_);
  std::vector<FaxInfo> out;
  for (auto& f : card_.fax_) {
    card_.AdvanceFax(&f, TickCount());
    FaxInfo i;
    i.line = f.linked ? f.line : -1;
    i.running = f.running;
    i.state = f.state;
    i.file = f.file;
    i.id = f.id;
    out.push_back(i);
  }
  return out;
}

int SimCardFarEnd::Group(int ch, bool* listen) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size())) return -1;
  const SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (listen) *listen = l.listen;
  return l.group;
}

int SimCardFarEnd::Partner(int ch) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size())) return -1;
  return card_.lines_[static_cast<size_t>(ch)].partner;
}

// ------------------------------------------------------------- commands

namespace {

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  std::string s;
  while (in >> s) w.push_back(s);
  return w;
}

bool ToInt(const std::string& s, int* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

std::string Join(const std::vector<std::string>& w, size_t from) {
  std::string s;
  for (size_t i = from; i < w.size(); i++) {
    if (i > from) s.push_back(' ');
    s += w[i];
  }
  return s;
}

const char kHelp[] =
    "OK CALL ch IAM hex.. | CALL ch caller called [first [redir]] | DTMF ch keys | ACM ch [hex..] | "
    "CPG ch cause | ANSWER ch [8|10] | REL ch cause | BLOCK ch | UNBLOCK ch | STATE ch | "
    "ACM ch REDIR case number | ACM ch BUSY | WAIT ch state [ms] | FRAMES ch | MESSAGES ch | CALLOUT ch | SENTDTMF ch | PLAYED ch | "
    "AUDIO ch path [n] | FEED ch path | FEEDHEX ch hex.. | HOOK ch OFF|ON | RINGING ch | FSK ch | "
    "DIALLED ch | FAXEND fax state | FAXES | GROUP ch | PARTNER ch | PUSHES";

}  // namespace

std::string SimCardFarEnd::Execute(const std::string& line, const std::function<bool()>& cancelled) {
  std::vector<std::string> w = Words(line);
  if (w.empty()) return "ERR empty command";
  std::string cmd = w[0];
  for (char& c : cmd) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (cmd == "HELP") return kHelp;
  if (cmd == "PUSHES") return "OK " + std::to_string(card_.PushCount());
  if (cmd == "FAXES") {
    std::string s = "OK";
    auto faxes = Faxes();
    for (size_t i = 0; i < faxes.size(); i++)
      s += " " + std::to_string(i) + ":" + std::to_string(faxes[i].line) + ":" +
           (faxes[i].running ? "run" : "idle") + ":" + std::to_string(faxes[i].state);
    return s;
  }
  int ch = 0;
  if (w.size() < 2 || !ToInt(w[1], &ch)) return "ERR " + cmd + " needs a channel number";
  auto done = [&](bool ok) { return ok ? std::string("OK") : "ERR " + error_; };
  auto intArg = [&](size_t i, int* v) { return w.size() > i && ToInt(w[i], v); };

  if (cmd == "CALL") {
    if (w.size() >= 3 && (w[2] == "IAM" || w[2] == "iam")) {
      std::vector<uint8_t> iam;
      if (!card::ParseHex(Join(w, 3), &iam, 300)) return "ERR bad hex";
      return done(IncomingIam(ch, iam));
    }
    if (w.size() < 4) return "ERR CALL ch caller called";
    int redir = 0;
    if (w.size() > 5 && !ToInt(w[5], &redir)) return "ERR bad redirection case";
    std::string caller = w[2] == "-" ? "" : w[2];
    return done(IncomingCall(ch, caller, w[3], w.size() > 4 && w[4] != "-" ? w[4] : "", redir));
  }
  if (cmd == "DTMF") {
    if (w.size() < 3) return "ERR DTMF ch keys";
    return done(Dtmf(ch, w[2]));
  }
  if (cmd == "ACM") {
    std::vector<uint8_t> acm;
    std::string how = w.size() > 2 ? w[2] : "";
    for (char& c : how) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (how == "REDIR") {
      // ACM ch REDIR case number: the call was diverted to number.
      int redir = 0;
      if (w.size() < 5 || !ToInt(w[3], &redir) || redir < 1 || redir > 7) return "ERR ACM ch REDIR case number";
      acm = card::BuildFarAcm(0x16, 0x14, redir, w[4]);
    } else if (how == "BUSY") {
      acm = card::BuildFarAcm(0x12, 0x14, 0, "");  // called party status "no indication"
    } else if (w.size() > 2) {
      if (!card::ParseHex(Join(w, 2), &acm, 300)) return "ERR bad hex";
    } else {
      acm = card::BuildFarAcm(0x16, 0x14, 0, "");  // charge, subscriber free
    }
    return done(Acm(ch, acm));
  }
  if (cmd == "CPG" || cmd == "REL") {
    int cause = 0;
    if (!intArg(2, &cause) || cause < 0 || cause > 127) return "ERR " + cmd + " ch cause";
    return done(cmd == "CPG" ? Cpg(ch, cause) : Release(ch, cause));
  }
  if (cmd == "ANSWER") {
    int state = 8;
    if (w.size() > 2 && !ToInt(w[2], &state)) return "ERR ANSWER ch [8|10]";
    return done(Answer(ch, state));
  }
  if (cmd == "BLOCK") return done(Block(ch));
  if (cmd == "UNBLOCK") return done(Unblock(ch));
  if (cmd == "STATE") {
    int s = State(ch);
    return s < 0 ? "ERR no digital channel" : "OK " + std::to_string(s);
  }
  if (cmd == "WAIT") {
    int state = 0, ms = 10000;
    if (!intArg(2, &state)) return "ERR WAIT ch state [ms]";
    if (w.size() > 3 && (!ToInt(w[3], &ms) || ms < 0 || ms > 600000)) return "ERR bad time-out";
    if (WaitState(ch, state, static_cast<uint32_t>(ms), cancelled)) return "OK " + std::to_string(state);
    return "ERR timeout, state " + std::to_string(State(ch));
  }
  if (cmd == "FRAMES") {
    std::string s = "OK";
    auto frames = Frames(ch);
    for (size_t i = 0; i < frames.size(); i++) s += (i ? " | " : " ") + card::ToHex(frames[i]);
    return s;
  }
  if (cmd == "MESSAGES") {
    std::string s = "OK";
    for (auto& [m, ind] : Messages(ch)) s += " " + std::to_string(m) + "/" + std::to_string(ind);
    return s;
  }
  if (cmd == "CALLOUT") {
    auto c = Callouts(ch);
    if (c.empty()) return "ERR no call-out";
    const CalloutInfo& i = c.back();
    return "OK number=" + i.number + " calling=" + i.calling + " first=" + i.firstCallee +
           " params=" + card::ToHex(i.params);
  }
  if (cmd == "SENTDTMF") return "OK " + DtmfSent(ch);
  if (cmd == "PLAYED") {
    std::string s = "OK";
    auto played = Played(ch);
    for (size_t i = 0; i < played.size(); i++)
      s += (i ? " | " : " ") + played[i].file + " mode=" + std::to_string(played[i].mode) +
           " at=" + std::to_string(played[i].startTick) + " ms=" + std::to_string(played[i].ms) +
           (played[i].ended ? " ended" : "");
    return s;
  }
  if (cmd == "AUDIO") {
    if (w.size() < 3) return "ERR AUDIO ch path [n]";
    int which = -1;
    if (w.size() > 3 && !ToInt(w[3], &which)) return "ERR bad play number";
    std::vector<uint8_t> a;
    if (!ReadPlayedAudio(ch, which, &a)) return "ERR " + error_;
    FILE* f = OpenFile(w[2], "wb");
    if (!f) return "ERR cannot write " + w[2];
    size_t n = a.empty() ? 0 : fwrite(a.data(), 1, a.size(), f);
    fclose(f);
    return "OK " + std::to_string(n);
  }
  if (cmd == "FEED") {
    if (w.size() < 3) return "ERR FEED ch path";
    return done(FeedFile(ch, Join(w, 2)));
  }
  if (cmd == "FEEDHEX") {
    std::vector<uint8_t> a;
    if (!card::ParseHex(Join(w, 2), &a, 1 << 20)) return "ERR bad hex";
    return done(Feed(ch, a));
  }
  if (cmd == "HOOK") {
    if (w.size() < 3) return "ERR HOOK ch OFF|ON";
    std::string h = w[2];
    for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (h != "OFF" && h != "ON") return "ERR HOOK ch OFF|ON";
    return done(Hook(ch, h == "OFF"));
  }
  if (cmd == "RINGING") {
    int starts = 0;
    bool r = Ringing(ch, &starts);
    return "OK " + std::to_string(r ? 1 : 0) + " " + std::to_string(starts);
  }
  if (cmd == "FSK") {
    auto m = FskMessages(ch);
    return m.empty() ? "ERR no FSK message" : "OK " + card::ToHex(m.back());
  }
  if (cmd == "DIALLED") return "OK " + Dialled(ch);
  if (cmd == "FAXEND") {
    int state = 0;
    if (!intArg(2, &state)) return "ERR FAXEND fax state";
    return done(FaxEnd(ch, state));
  }
  if (cmd == "GROUP") {
    bool listen = false;
    int gno = Group(ch, &listen);
    return "OK " + std::to_string(gno) + (listen ? " listen" : " talk");
  }
  if (cmd == "PARTNER") return "OK " + std::to_string(Partner(ch));
  return "ERR unknown command " + cmd;
}

// ------------------------------------------------------------- socket

namespace {

constexpr size_t kLineMax = 1 << 20;

int OpenListener(const std::string& endpoint, std::string* unixPath) {
  if (endpoint.compare(0, 5, "unix:") == 0 || endpoint.compare(0, 5, "UNIX:") == 0) {
    std::string path = endpoint.substr(5);
    sockaddr_un a{};
    if (path.empty() || path.size() >= sizeof a.sun_path) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());  // a socket left by an earlier run
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
      close(fd);
      return -1;
    }
    *unixPath = path;
    return fd;
  }
  if (endpoint.compare(0, 4, "tcp:") == 0 || endpoint.compare(0, 4, "TCP:") == 0) {
    int port = atoi(endpoint.c_str() + 4);
    if (port <= 0 || port > 65535) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

int Connect(const std::string& endpoint) {
  if (endpoint.compare(0, 5, "unix:") == 0 || endpoint.compare(0, 5, "UNIX:") == 0) {
    std::string path = endpoint.substr(5);
    sockaddr_un a{};
    if (path.empty() || path.size() >= sizeof a.sun_path) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  if (endpoint.compare(0, 4, "tcp:") == 0 || endpoint.compare(0, 4, "TCP:") == 0) {
    int port = atoi(endpoint.c_str() + 4);
    if (port <= 0 || port > 65535) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

bool SendAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool SimCardControl::Start(const std::string& endpoint, SimCardFarEnd* farEnd) {
  Stop();
  listenFd_ = OpenListener(endpoint, &unixPath_);
  if (listenFd_ < 0) return false;
  farEnd_ = farEnd;
  stop_ = false;
  if (!thread_.Start([this] { Run(); }, 256 * 1024)) {
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  return true;
}

void SimCardControl::Stop() {
  stop_ = true;
  if (thread_.Joinable()) thread_.Join();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
  if (!unixPath_.empty()) unlink(unixPath_.c_str());
  unixPath_.clear();
}

void SimCardControl::Run() {
  struct Client {
    int fd;
    std::string in;
  };
  std::vector<Client> clients;
  auto cancelled = [this] { return stop_.load(); };
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back({listenFd_, POLLIN, 0});
    for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), 100);
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    for (size_t i = 1; i < fds.size(); i++) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[i - 1];
      char buf[4096];
      ssize_t n = recv(c.fd, buf, sizeof buf, 0);
      bool drop = n <= 0;
      if (n > 0) c.in.append(buf, static_cast<size_t>(n));
      size_t nl;
      while (!drop && (nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = farEnd_->Execute(line, cancelled);
        // One answer is one line, whatever a file name held.
        for (char& ch : answer)
          if (ch == '\n' || ch == '\r') ch = ' ';
        if (!SendAll(c.fd, answer + "\n")) drop = true;
      }
      if (c.in.size() > kLineMax) drop = true;
      if (drop) {
        close(c.fd);
        c.fd = -1;
      }
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.fd < 0; }),
                  clients.end());
  }
  for (auto& c : clients) close(c.fd);
}

std::string SimCardCommand(const std::string& endpoint, const std::string& line, int timeoutMs) {
  int fd = Connect(endpoint);
  if (fd < 0) return "ERR cannot reach the card at " + endpoint;
  if (!SendAll(fd, line + "\n")) {
    close(fd);
    return "ERR send failed";
  }
  std::string in;
  uint32_t start = TickCount();
  while (in.find('\n') == std::string::npos) {
    int left = timeoutMs - static_cast<int>(TickCount() - start);
    if (left <= 0) {
      close(fd);
      return "ERR no answer";
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, std::min(left, 200));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
    if (in.size() > kLineMax) break;
  }
  close(fd);
  size_t nl = in.find('\n');
  if (nl == std::string::npos) return "ERR connection closed";
  return in.substr(0, nl);
}

}  // namespace plat
