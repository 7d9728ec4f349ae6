// The far end's network side (calls, keys, answers, releases, blocking) and
// media side (what a channel played, what it hears next), plus the analog
// handsets and the fax far end.
#include "platform/card/farend.h"

#include <algorithm>
#include <map>

#include "platform/card/card.h"
#include "platform/card/isupmsg.h"
#include "platform/path.h"
#include "platform/tick.h"

namespace plat {

namespace {

constexpr size_t kKeysMax = 1024;
constexpr size_t kFeedMax = 8000 * 600;  // ten minutes of audio

bool InCall(int state) {
  switch (state) {
    case card::kChanAcmSent:
    case card::kChanCallingOut:
    case card::kChanAnswered:
    case card::kChanOutAnswered:
    case card::kChanIncoming:
    case card::kChanOutConnected:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ------------------------------------------------------------- network side

bool SimCardFarEnd::IncomingIam(int ch, const std::vector<uint8_t>& iam) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != card::kChanIdle) return Fail("channel not idle, state " + std::to_string(l->state));
  if (iam.empty() || iam.size() > 300) return Fail("IAM of 1 to 300 bytes");
  if (iam[0] != card::kIsupIam) return Fail("not an IAM");
  card::IamInfo info;  // a short IAM gives empty numbers
  card::DecodeIam(iam.data(), iam.size(), &info);
  l->lastRaw = iam;
  l->calling = info.caller;
  l->called = info.called;
  card::ClearKeys(l, TickCount());
  l->cause = 0;
  l->state = card::kChanIncoming;
  card_.WakeChannel(ch);
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
  size_t count = 0;
  for (char c : keys)
    if (card::IsKey(c)) count++;
  size_t room = kKeysMax - std::min(kKeysMax, l.dtmfIn.size());
  // All or nothing, so the caller knows what the line will hear.
  if (count > room)
    return Fail("key queue full: " + std::to_string(count) + " keys, room for " + std::to_string(room) +
                ", none queued");
  card::QueueKeys(&l, keys, TickCount());
  card_.WakeChannel(ch);
  return true;
}

bool SimCardFarEnd::HasCall(int ch) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  const SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (l.digital ? InCall(l.state) : l.offHook) return true;
  return Fail("no call on channel " + std::to_string(ch) +
              (l.digital ? ", state " + std::to_string(l.state) : ", on hook"));
}

bool SimCardFarEnd::Acm(int ch, const std::vector<uint8_t>& acm) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != card::kChanCallingOut) return Fail("no call-out, state " + std::to_string(l->state));
  if (acm.empty() || acm.size() > 300) return Fail("ACM of 1 to 300 bytes");
  l->lastRaw = acm;
  l->events |= card::kEventAcm;
  card_.WakeChannel(ch);
  return true;
}

bool SimCardFarEnd::Cpg(int ch, int cause) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != card::kChanCallingOut) return Fail("no call-out, state " + std::to_string(l->state));
  l->cause = cause;
  l->events |= card::kEventCpg;
  card_.WakeChannel(ch);
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
    card_.WakeChannel(ch);
    return true;
  }
  if (state != card::kChanOutAnswered && state != card::kChanOutConnected) return Fail("answer state is 8 or 10");
  if (l.state != card::kChanCallingOut) return Fail("no call-out, state " + std::to_string(l.state));
  l.state = state;
  card_.WakeChannel(ch);
  return true;
}

bool SimCardFarEnd::Release(int ch, int cause) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (!l.digital) {
    l.connected = false;
    card_.WakeChannel(ch);
    return true;
  }
  if (!InCall(l.state)) return Fail("no call, state " + std::to_string(l.state));
  card::DropKeysToCome(&l, TickCount());
  l.cause = cause;
  l.state = card::kChanReleasedByFar;
  card_.WakeChannel(ch);
  return true;
}

bool SimCardFarEnd::Block(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state != card::kChanIdle && l->state != card::kChanBlocked)
    return Fail("channel busy, state " + std::to_string(l->state));
  l->state = card::kChanBlocked;
  card_.WakeChannel(ch);
  return true;
}

bool SimCardFarEnd::Unblock(int ch) {
  CardLock g(card_);
  SimCard::Line* l = card_.Digital(ch);
  if (!l) return Fail("no digital channel " + std::to_string(ch));
  if (l->state == card::kChanBlocked) l->state = card::kChanIdle;
  card_.WakeChannel(ch);
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
  PlayedAudio(ch, which, &out);
  return out;
}

bool SimCardFarEnd::PlayedAudio(int ch, int which, std::vector<uint8_t>* out) {
  out->clear();
  std::string file;
  card::VoiceInfo info;
  uint64_t from = 0, count = 0;
  {
    CardLock g(card_);
    if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size())) return true;
    SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
    card_.AdvanceLine(&l, TickCount());
    if (l.played.empty()) return true;
    size_t i = which < 0 ? l.played.size() - 1 : static_cast<size_t>(which);
    if (i >= l.played.size()) return true;
    file = l.played[i].file;
    info = l.played[i].info;
    from = l.played[i].startSample;
    count = l.played[i].samples;
  }
  // The file is read outside the card lock. A line may delete what it
  // played (its number files): that is not silence.
  if (!FileExists(file)) return Fail("cannot read played file " + file);
  *out = card::ReadVoiceAsALaw(file, info, from, count);
  return true;
}

bool SimCardFarEnd::Feed(int ch, const std::vector<uint8_t>& alaw) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  SimCard::Line& l = card_.lines_[static_cast<size_t>(ch)];
  if (l.feed.size() + alaw.size() > kFeedMax) return Fail("too much audio queued");
  card_.Mix(TickCount());  // frames already over do not take it
  l.feed.insert(l.feed.end(), alaw.begin(), alaw.end());
  return true;
}

std::vector<uint8_t> SimCardFarEnd::Heard(int ch, uint32_t ms) {
  CardLock g(card_);
  return card_.HeardAudio(ch, ms);
}

double SimCardFarEnd::HeardLevel(int ch, uint32_t ms) { return card::LevelDbm0(Heard(ch, ms)); }

bool SimCardFarEnd::Tone(int ch, int hz, double dbm0, uint32_t ms) {
  if (hz <= 0 || hz >= 4000) return Fail("frequency of 1 to 3999 Hz");
  if (dbm0 > 3.14 || dbm0 < -60) return Fail("level of -60 to 3.14 dBm0");
  if (ms == 0 || ms > 60000) return Fail("length of 1 to 60000 ms");
  return Feed(ch, card::ToneALaw(hz, dbm0, ms));
}

std::vector<SimCardFarEnd::GroupInfo> SimCardFarEnd::Groups() {
  CardLock g(card_);
  std::map<int, GroupInfo> by;
  for (size_t i = 0; i < card_.lines_.size(); i++) {
    const SimCard::Line& l = card_.lines_[i];
    if (l.group < 0) continue;
    GroupInfo& gi = by[l.group];
    gi.group = l.group;
    gi.members.push_back({static_cast<int>(i), l.listen, l.gain});
  }
  std::vector<GroupInfo> out;
  for (auto& [k, v] : by) out.push_back(v);
  return out;
}

std::vector<SimCardFarEnd::GroupVoice> SimCardFarEnd::GroupVoices() {
  CardLock g(card_);
  uint32_t now = TickCount();
  card_.Mix(now);
  std::vector<GroupVoice> out;
  for (auto& [h, v] : card_.confVoices_) {
    if (!v.record) card_.AdvancePlay(&v.play, nullptr, now);
    out.push_back({h, v.group, v.record, v.record ? v.rec.active : v.play.active,
                   v.record ? v.rec.file : v.play.file});
  }
  return out;
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
  if (!offHook) card::DropKeysToCome(l, TickCount());
  card_.WakeChannel(ch);
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

}  // namespace plat
