// The far end's text commands: one table of name, arguments and handler,
// which HELP lists and Execute dispatches on.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "platform/card/isupmsg.h"
#include "platform/path.h"

namespace plat {

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

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Files named by a client stay inside the program's folder: no absolute
// path and no ".." component, in either slash. The refusal, or empty.
std::string OutsideFolder(const std::string& path) {
  bool outside = path.empty() || path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':');
  size_t from = 0;
  while (!outside && from <= path.size()) {
    size_t end = path.find_first_of("/\\", from);
    if (end == std::string::npos) end = path.size();
    outside = path.compare(from, end - from, "..") == 0;
    from = end + 1;
  }
  return outside ? "ERR path must lie inside the program's folder: " + path : "";
}

// What a handler gets: the far end, the card, the words of the line (w[0]
// the command in upper case) and, for commands on a channel, w[1] as a number.
struct Call {
  SimCardFarEnd& far;
  SimCard& card;
  const std::vector<std::string>& w;
  int ch;
  const std::function<bool()>& cancelled;

  std::string Done(bool ok) const { return ok ? std::string("OK") : "ERR " + far.Error(); }
  bool IntArg(size_t i, int* v) const { return w.size() > i && ToInt(w[i], v); }
};

struct Command {
  const char* name;
  const char* args;  // as HELP shows them; empty: none
  bool channel;      // w[1] is a channel (or fax) number
  std::string (*run)(const Call&);
  const char* answer;  // what a good command answers, for the tool's HELP
};

std::string Help(const Call&);

std::string CallCmd(const Call& c) {
  const auto& w = c.w;
  if (w.size() >= 3 && (w[2] == "IAM" || w[2] == "iam")) {
    std::vector<uint8_t> iam;
    if (!card::ParseHex(Join(w, 3), &iam, 300)) return "ERR bad hex";
    return c.Done(c.far.IncomingIam(c.ch, iam));
  }
  if (w.size() < 4) return "ERR CALL ch caller called";
  int redir = 0;
  if (w.size() > 5 && !ToInt(w[5], &redir)) return "ERR bad redirection case";
  std::string caller = w[2] == "-" ? "" : w[2];
  return c.Done(c.far.IncomingCall(c.ch, caller, w[3], w.size() > 4 && w[4] != "-" ? w[4] : "", redir));
}

std::string DtmfCmd(const Call& c) {
  if (c.w.size() != 3) return "ERR DTMF ch keys (the keys as one word)";
  // Keys reach a line only over a call (an idle channel would keep them for
  // the next caller), and only keys a keypad has: else nothing is queued.
  const std::string& keys = c.w[2];
  for (char k : keys)
    if (!card::IsKey(k))
      return std::string("ERR not a key: '") + k + "' in " + keys + " (0-9 * # A-D), no keys queued";
  if (!c.far.HasCall(c.ch)) return "ERR " + c.far.Error() + ", no keys queued";
  return c.Done(c.far.Dtmf(c.ch, keys));
}

std::string AcmCmd(const Call& c) {
  const auto& w = c.w;
  std::vector<uint8_t> acm;
  std::string how = Upper(w.size() > 2 ? w[2] : "");
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
  return c.Done(c.far.Acm(c.ch, acm));
}

std::string CpgOrRelCmd(const Call& c) {
  int cause = 0;
  if (!c.IntArg(2, &cause) || cause < 0 || cause > 127) return "ERR " + c.w[0] + " ch cause";
  return c.Done(c.w[0] == "CPG" ? c.far.Cpg(c.ch, cause) : c.far.Release(c.ch, cause));
}

std::string AnswerCmd(const Call& c) {
  int state = card::kChanOutAnswered;
  if (c.w.size() > 2 && !ToInt(c.w[2], &state)) return "ERR ANSWER ch [8|10]";
  return c.Done(c.far.Answer(c.ch, state));
}

std::string StateCmd(const Call& c) {
  int s = c.far.State(c.ch);
  return s < 0 ? "ERR no digital channel" : "OK " + std::to_string(s);
}

std::string WaitCmd(const Call& c) {
  int state = 0, ms = 10000;
  if (!c.IntArg(2, &state)) return "ERR WAIT ch state [ms]";
  if (c.w.size() > 3 && (!ToInt(c.w[3], &ms) || ms < 0 || ms > 600000)) return "ERR bad time-out";
  if (c.far.WaitState(c.ch, state, static_cast<uint32_t>(ms), c.cancelled)) return "OK " + std::to_string(state);
  return "ERR timeout, state " + std::to_string(c.far.State(c.ch));
}

std::string FramesCmd(const Call& c) {
  std::string s = "OK";
  auto frames = c.far.Frames(c.ch);
  for (size_t i = 0; i < frames.size(); i++) s += (i ? " | " : " ") + card::ToHex(frames[i]);
  return s;
}

std::string MessagesCmd(const Call& c) {
  std::string s = "OK";
  for (auto& [m, ind] : c.far.Messages(c.ch)) s += " " + std::to_string(m) + "/" + std::to_string(ind);
  return s;
}

std::string CalloutCmd(const Call& c) {
  auto callouts = c.far.Callouts(c.ch);
  if (callouts.empty()) return "ERR no call-out";
  const SimCardFarEnd::CalloutInfo& i = callouts.back();
  return "OK number=" + i.number + " calling=" + i.calling + " first=" + i.firstCallee +
         " params=" + card::ToHex(i.params);
}

std::string PlayedCmd(const Call& c) {
  std::string s = "OK";
  auto played = c.far.Played(c.ch);
  for (size_t i = 0; i < played.size(); i++)
    s += (i ? " | " : " ") + played[i].file + " mode=" + std::to_string(played[i].mode) +
         " at=" + std::to_string(played[i].startTick) + " ms=" + std::to_string(played[i].ms) +
         (played[i].ended ? " ended" : "");
  return s;
}

std::string AudioCmd(const Call& c) {
  const auto& w = c.w;
  if (w.size() < 3) return "ERR AUDIO ch path [n]";
  int which = -1;
  if (w.size() > 3 && !ToInt(w[3], &which)) return "ERR bad play number";
  if (std::string bad = OutsideFolder(w[2]); !bad.empty()) return bad;
  std::vector<uint8_t> a;
  if (!c.far.PlayedAudio(c.ch, which, &a)) return c.Done(false);
  FILE* f = OpenFile(w[2], "wb");
  if (!f) return "ERR cannot write " + w[2];
  size_t n = a.empty() ? 0 : fwrite(a.data(), 1, a.size(), f);
  fclose(f);
  return "OK " + std::to_string(n);
}

std::string FeedCmd(const Call& c) {
  if (c.w.size() < 3) return "ERR FEED ch path";
  if (std::string bad = OutsideFolder(Join(c.w, 2)); !bad.empty()) return bad;
  return c.Done(c.far.FeedFile(c.ch, Join(c.w, 2)));
}

std::string FeedHexCmd(const Call& c) {
  std::vector<uint8_t> a;
  if (!card::ParseHex(Join(c.w, 2), &a, 1 << 20)) return "ERR bad hex";
  return c.Done(c.far.Feed(c.ch, a));
}

std::string HookCmd(const Call& c) {
  if (c.w.size() < 3) return "ERR HOOK ch OFF|ON";
  std::string h = Upper(c.w[2]);
  if (h != "OFF" && h != "ON") return "ERR HOOK ch OFF|ON";
  return c.Done(c.far.Hook(c.ch, h == "OFF"));
}

std::string RingingCmd(const Call& c) {
  int starts = 0;
  bool r = c.far.Ringing(c.ch, &starts);
  return "OK " + std::to_string(r ? 1 : 0) + " " + std::to_string(starts);
}

std::string FskCmd(const Call& c) {
  auto m = c.far.FskMessages(c.ch);
  return m.empty() ? "ERR no FSK message" : "OK " + card::ToHex(m.back());
}

std::string FaxEndCmd(const Call& c) {
  int state = 0;
  if (!c.IntArg(2, &state)) return "ERR FAXEND fax state";
  return c.Done(c.far.FaxEnd(c.ch, state));
}

std::string FaxesCmd(const Call& c) {
  std::string s = "OK";
  auto faxes = c.far.Faxes();
  for (size_t i = 0; i < faxes.size(); i++)
    s += " " + std::to_string(i) + ":" + std::to_string(faxes[i].line) + ":" +
         (faxes[i].running ? "run" : "idle") + ":" + std::to_string(faxes[i].state);
  return s;
}

// FAXMACHINE ch SEND file [ident] | RECV file [ident] | CLEAR; alone: its state.
std::string FaxMachineCmd(const Call& c) {
  const auto& w = c.w;
  if (w.size() == 2) {
    SimCardFarEnd::FaxMachineInfo i;
    if (!c.far.FaxMachineState(c.ch, &i)) return "ERR " + c.far.Error();
    return "OK " + i.state + " " + std::to_string(i.result) + " " + std::to_string(i.pages) + " " +
           std::to_string(i.width) + " " + i.remoteId;
  }
  std::string what = Upper(w[2]);
  if (what == "CLEAR") return c.Done(c.far.FaxMachineClear(c.ch));
  if ((what != "SEND" && what != "RECV") || w.size() < 4) return "ERR FAXMACHINE ch SEND|RECV file [ident]";
  if (std::string bad = OutsideFolder(w[3]); !bad.empty()) return bad;
  return c.Done(c.far.FaxMachine(c.ch, what == "SEND", w[3], Join(w, 4)));
}

std::string GroupCmd(const Call& c) {
  bool listen = false;
  int gno = c.far.Group(c.ch, &listen);
  return "OK " + std::to_string(gno) + (listen ? " listen" : " talk");
}

std::string HeardCmd(const Call& c) {
  const auto& w = c.w;
  if (w.size() < 3) return "ERR HEARD ch path [ms]";
  int ms = 60000;
  if (w.size() > 3 && (!ToInt(w[3], &ms) || ms <= 0 || ms > 60000)) return "ERR bad window, 1 to 60000 ms";
  if (std::string bad = OutsideFolder(w[2]); !bad.empty()) return bad;
  std::vector<uint8_t> a = c.far.Heard(c.ch, static_cast<uint32_t>(ms));
  FILE* f = OpenFile(w[2], "wb");
  if (!f) return "ERR cannot write " + w[2];
  size_t n = a.empty() ? 0 : fwrite(a.data(), 1, a.size(), f);
  fclose(f);
  return "OK " + std::to_string(n);
}

std::string LevelCmd(const Call& c) {
  int ms = 1000;
  if (c.w.size() > 2 && (!ToInt(c.w[2], &ms) || ms <= 0 || ms > 60000)) return "ERR bad window, 1 to 60000 ms";
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f", c.far.HeardLevel(c.ch, static_cast<uint32_t>(ms)));
  return std::string("OK ") + buf;
}

std::string ToneCmd(const Call& c) {
  int hz = 0, level = 0, ms = 0;
  if (!c.IntArg(2, &hz) || !c.IntArg(3, &level) || !c.IntArg(4, &ms) || ms < 0) return "ERR TONE ch hz dBm0 ms";
  return c.Done(c.far.Tone(c.ch, hz, level, static_cast<uint32_t>(ms)));
}

std::string GroupsCmd(const Call& c) {
  std::string s = "OK";
  auto groups = c.far.Groups();
  for (size_t i = 0; i < groups.size(); i++) {
    s += (i ? " | " : " ") + std::to_string(groups[i].group) + ":";
    for (size_t k = 0; k < groups[i].members.size(); k++) {
      const auto& m = groups[i].members[k];
      s += (k ? " " : "") + std::to_string(m.ch) + (m.listen ? "/listen/" : "/talk/") + std::to_string(m.gain);
    }
  }
  return s;
}

std::string GroupVoicesCmd(const Call& c) {
  std::string s = "OK";
  auto voices = c.far.GroupVoices();
  for (size_t i = 0; i < voices.size(); i++)
    s += (i ? " | " : " ") + std::to_string(voices[i].group) + ":" + (voices[i].record ? "record" : "play") +
         ":" + std::to_string(voices[i].handle) + ":" + (voices[i].running ? "run" : "ended") + ":" + voices[i].file;
  return s;
}

const Command kCommands[] = {
    {"CALL", "ch (IAM hex.. | caller called [first [redir]])", true, CallCmd,
     "OK: the call is offered (STATE shows the line's answer)"},
    {"DTMF", "ch keys", true, DtmfCmd,
     "OK: keys 0-9 * # A-D queued, 80 ms apart; ERR and none queued without a call or for any other character"},
    {"ACM", "ch [hex.. | BUSY | REDIR case number]", true, AcmCmd, "OK"},
    {"CPG", "ch cause", true, CpgOrRelCmd, "OK"},
    {"ANSWER", "ch [8|10]", true, AnswerCmd, "OK"},
    {"REL", "ch cause", true, CpgOrRelCmd, "OK"},
    {"BLOCK", "ch", true, [](const Call& c) { return c.Done(c.far.Block(c.ch)); }, "OK"},
    {"UNBLOCK", "ch", true, [](const Call& c) { return c.Done(c.far.Unblock(c.ch)); }, "OK"},
    {"STATE", "ch", true, StateCmd,
     "OK state: 0 not ISUP, 1 idle, 2 released by the far end, 3 ACM sent, 4 calling out, 6 blocked, 7 "
     "answered, 8 call-out answered (ANM), 9 incoming IAM, 10 call-out connected (CON)"},
    {"WAIT", "ch state [ms]", true, WaitCmd,
     "OK state once the channel is in that state; ERR timeout, state N after ms (default 10000, at most 600000)"},
    {"FRAMES", "ch", true, FramesCmd, "OK hex | hex ...: the raw ISUP messages the line sent"},
    {"MESSAGES", "ch", true, MessagesCmd, "OK type/indicator ...: the ISUP messages the line sent"},
    {"CALLOUT", "ch", true, CalloutCmd, "OK number=.. calling=.. first=.. params=hex: the line's last call-out"},
    {"SENTDTMF", "ch", true, [](const Call& c) { return "OK " + c.far.DtmfSent(c.ch); },
     "OK keys: the keys the line sent"},
    {"PLAYED", "ch", true, PlayedCmd, "OK file mode=.. at=.. ms=.. [ended] | ...: the last 64 plays, oldest first"},
    {"AUDIO", "ch path [n]", true, AudioCmd,
     "OK bytes: play n (from 0; the last without n) as raw A-law, path inside the program's folder"},
    {"FEED", "ch path", true, FeedCmd, "OK: the file's raw A-law is what the line records next"},
    {"FEEDHEX", "ch hex..", true, FeedHexCmd, "OK"},
    {"HOOK", "ch OFF|ON", true, HookCmd, "OK"},
    {"RINGING", "ch", true, RingingCmd, "OK ringing starts: 1 while the bell rings, and how many rings started"},
    {"FSK", "ch", true, FskCmd, "OK hex: the last FSK message sent"},
    {"DIALLED", "ch", true, [](const Call& c) { return "OK " + c.far.Dialled(c.ch); },
     "OK digits: what the port dialled"},
    {"FAXEND", "fax state", true, FaxEndCmd, "OK"},
    {"FAXES", "", false, FaxesCmd, "OK fax:line:run|idle:state ..."},
    {"FAXMACHINE", "ch [SEND file [ident] | RECV file [ident] | CLEAR]", true, FaxMachineCmd,
     "OK; alone: OK state result pages width ident"},
    {"GROUP", "ch", true, GroupCmd, "OK group talk|listen (-1: none)"},
    {"PARTNER", "ch", true, [](const Call& c) { return "OK " + std::to_string(c.far.Partner(c.ch)); },
     "OK ch (-1: none)"},
    {"HEARD", "ch path [ms]", true, HeardCmd,
     "OK bytes: what the far end heard over the last ms (at most 60000), raw A-law"},
    {"LEVEL", "ch [ms]", true, LevelCmd, "OK dBm0 of what the far end heard (-99: silence)"},
    {"TONE", "ch hz dBm0 ms", true, ToneCmd, "OK"},
    {"GROUPS", "", false, GroupsCmd, "OK group:ch/talk|listen/gain ... | ..."},
    {"GROUPVOICES", "", false, GroupVoicesCmd, "OK group:play|record:handle:run|ended:file | ..."},
    {"PUSHES", "", false, [](const Call& c) { return "OK " + std::to_string(c.card.PushCount()); },
     "OK n: how often the card was pushed"},
    {"HELP", "", false, Help, "OK and the commands, one line"},
};

std::string Help(const Call&) {
  std::string s = "OK";
  for (const Command& c : kCommands) {
    s += s.size() > 2 ? " | " : " ";
    s += c.name;
    if (*c.args) s += std::string(" ") + c.args;
  }
  return s;
}

}  // namespace

std::vector<SimCardFarEnd::CommandHelp> SimCardFarEnd::Commands() {
  std::vector<CommandHelp> out;
  for (const Command& c : kCommands) out.push_back({c.name, c.args, c.answer});
  return out;
}

std::string SimCardFarEnd::Execute(const std::string& line, const std::function<bool()>& cancelled) {
  std::vector<std::string> w = Words(line);
  if (w.empty()) return "ERR empty command";
  w[0] = Upper(w[0]);
  const Command* cmd = nullptr;
  for (const Command& c : kCommands)
    if (w[0] == c.name) cmd = &c;
  if (!cmd) return "ERR unknown command " + w[0] + " (HELP lists them)";
  int ch = 0;
  if (cmd->channel && (w.size() < 2 || !ToInt(w[1], &ch))) return "ERR " + w[0] + " needs a channel number";
  return cmd->run(Call{*this, card_, w, ch, cancelled});
}

}  // namespace plat
