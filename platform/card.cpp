#include "platform/card.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/logsink.h"
#include "platform/cardfarend.h"
#include "platform/cardisup.h"
#include "platform/path.h"
#include "platform/tick.h"

namespace plat {

namespace {

constexpr int kDigitalWave = 200;
constexpr int kAnalogWave = 90;
constexpr int kConfVoiceBase = 100000;
constexpr uint32_t kDtmfOutMs = 100;  // one key's tone and pause
constexpr size_t kKeyQueueMax = 1024;
constexpr size_t kPlayedMax = 64;

bool IsWaveName(const std::string& name) {
  std::string u = name;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u.find(".WAV") != std::string::npos;
}

bool IsKey(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D') ||
         (c >= 'a' && c <= 'd');
}

}  // namespace

static uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void SimCard::Lock() {
  lock_.lock();
  if (lockDepth_++ == 0) holdStartNs_ = NowNs();
}

void SimCard::Unlock() {
  if (--lockDepth_ == 0) heldNs_.fetch_add(NowNs() - holdStartNs_, std::memory_order_relaxed);
  lock_.unlock();
}

SimCard::SimCard(std::string iniPath) : iniPath_(std::move(iniPath)) {}

SimCard::~SimCard() { Stop(); }

card::CardConfig SimCard::Config() {
  CardLock g(*this);
  return cfg_;
}

std::string SimCard::ConfigError() {
  CardLock g(*this);
  return cfgError_;
}

bool SimCard::Forced(const char* role, int* result) const {
  auto it = cfg_.fail.find(role);
  if (it == cfg_.fail.end()) return false;
  *result = it->second;
  return true;
}

SimCard::Line* SimCard::Digital(int ch) {
  if (!started_ || ch < 0 || ch >= digital_) return nullptr;
  return &lines_[static_cast<size_t>(ch)];
}

SimCard::Line* SimCard::Port(int port) {
  if (!started_ || port < 0 || digital_ + port >= static_cast<int>(lines_.size())) return nullptr;
  return &lines_[static_cast<size_t>(digital_ + port)];
}

SimCard::Line* SimCard::ByLinkSlot(int link, int slot) {
  if (link < 0 || link >= card::kMaxE1Links || slot < 0 || slot >= card::kSlotsPerLink) return nullptr;
  return Digital(link * card::kSlotsPerLink + slot);
}

SimCard::Line* SimCard::ByType(int type, int ch) { return type == 0 ? Digital(ch) : Port(ch); }

int SimCard::IndexOf(const Line* l) const { return static_cast<int>(l - lines_.data()); }

// ---------------------------------------------------------------- card

int SimCard::Start(const std::string& text, const std::string& promptIni) {
  CardLock g(*this);
  if (started_) return 0;
  card::CardConfig cfg;
  std::string err;
  if (!card::ReadCardConfig(iniPath_, &cfg, &err)) {
    cfgError_ = err;
    LogAlwaysF("SimCard: %s", err.c_str());
    return -1;
  }
  cfg_ = cfg;
  cfgError_.clear();
  int forced = 0;
  if (Forced("START", &forced) && forced != 0) return forced;
  digital_ = cfg_.e1Links * card::kSlotsPerLink;
  lines_.assign(static_cast<size_t>(digital_) + cfg_.portTypes.size(), Line{});
  for (size_t i = 0; i < cfg_.portTypes.size(); i++) {
    Line& l = lines_[static_cast<size_t>(digital_) + i];
    l.digital = false;
    l.port = static_cast<int>(i);
    l.portType = cfg_.portTypes[i];
    l.state = 0;
  }
  started_ = true;
  if (!cfg_.control.empty()) {
    farEnd_ = std::make_unique<SimCardFarEnd>(*this);
    control_ = std::make_unique<SimCardControl>();
    if (!control_->Start(cfg_.control, farEnd_.get())) {
      LogAlwaysF("SimCard: control %s not opened", cfg_.control.c_str());
    }
  }
  return 0;
}

void SimCard::Stop() {
  // The control thread takes the card lock for every command: stop it first,
  // without holding the lock.
  std::unique_ptr<SimCardControl> control;
  {
    CardLock g(*this);
    control = std::move(control_);
  }
  if (control) control->Stop();
  CardLock g(*this);
  Reset();
  farEnd_.reset();
}

void SimCard::Reset() {
  for (Line& l : lines_) {
    if (l.rec.fp) fclose(l.rec.fp);
    l.rec.fp = nullptr;
  }
  for (auto& [h, v] : confVoices_) {
    if (v.rec.fp) fclose(v.rec.fp);
  }
  confVoices_.clear();
  lines_.clear();
  fax_.clear();
  digital_ = 0;
  confCount_ = 0;
  confOpen_ = faxOpen_ = isupOpen_ = fskOpen_ = false;
  started_ = false;
}

void SimCard::Push() {
  CardLock g(*this);
  pushes_++;
  uint32_t now = TickCount();
  for (Line& l : lines_) AdvanceLine(&l, now);
}

int SimCard::InitDigitalChannels() {
  CardLock g(*this);
  return started_ ? 0 : -1;
}

int SimCard::DigitalChannelCount() {
  CardLock g(*this);
  return started_ ? digital_ : 0;
}

int SimCard::AnalogPortCount() {
  CardLock g(*this);
  return started_ ? static_cast<int>(lines_.size()) - digital_ : 0;
}

long SimCard::SerialNumber(int which) {
  CardLock g(*this);
  return started_ ? cfg_.serial : 0;
}

int SimCard::SetAnalogLevels(int, int) {
  CardLock g(*this);
  return started_ ? 0 : -1;
}

int SimCard::AnalogPortType(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  // OTHER is reported as a type the callers do not know.
  return l->portType == card::kPortOther ? 7 : l->portType;
}

int SimCard::PortOffHook(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  if (l->portType != card::kPortUser) {
    l->offHook = true;
    l->connected = false;
    l->dialled.clear();
  }
  return 0;
}

int SimCard::PortOnHook(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  if (l->portType != card::kPortUser) {
    l->offHook = false;
    l->connected = false;
  }
  return 0;
}

int SimCard::EnablePort(int port) {
  CardLock g(*this);
  return Port(port) ? 0 : -1;
}

// ---------------------------------------------------------------- media

int SimCard::StartPlay(Line* l, PlayState* p, const std::string& file, int mode, int waveOffset) {
  int forced = 0;
  if (Forced("PLAY", &forced)) return forced;
  card::VoiceInfo info;
  int r = card::ProbeVoice(file, &info);
  if (r < 0) return r == -1 ? -2 : -3;
  int pos = mode;
  if (IsWaveName(file)) pos -= waveOffset;
  if (pos < 0) pos = 0;
  *p = PlayState{};
  p->active = true;
  p->file = file;
  p->mode = mode;
  p->info = info;
  p->startSample = std::min<uint64_t>(static_cast<uint64_t>(pos), info.samples);
  p->startTick = TickCount();
  if (l) {
    PlayEntry e;
    e.file = file;
    e.mode = mode;
    e.startTick = p->startTick;
    e.info = info;
    e.startSample = p->startSample;
    if (l->played.size() >= kPlayedMax) l->played.erase(l->played.begin());
    l->played.push_back(e);
    l->playIndex = static_cast<int>(l->played.size()) - 1;
  }
  return 0;
}

void SimCard::AdvancePlay(PlayState* p, PlayEntry* e, uint32_t now) {
  if (!p->active) return;
  uint64_t remaining = p->info.samples - p->startSample;
  uint64_t elapsed = static_cast<uint64_t>(static_cast<uint32_t>(now - p->startTick)) * 8;
  uint64_t played = std::min(elapsed, remaining);
  if (e) e->samples = played;
  if (played >= remaining) {
    p->active = false;
    p->played = played;
    if (e) e->ended = true;
  }
}

void SimCard::AdvanceRecord(RecordState* r, std::deque<uint8_t>* feed, uint32_t now) {
  if (!r->active) return;
  uint64_t due = static_cast<uint64_t>(static_cast<uint32_t>(now - r->startTick)) * 8;
  if (due > r->limit) due = r->limit;
  if (due <= r->written) return;
  // In blocks, so a record nobody polled for long needs no large buffer.
  uint8_t buf[8192];
  while (r->written < due) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buf, due - r->written));
    size_t i = 0;
    for (; i < n && feed && !feed->empty(); i++) {
      buf[i] = feed->front();
      feed->pop_front();
    }
    memset(buf + i, card::kALawSilence, n - i);
    if (r->fp) fwrite(buf, 1, n, r->fp);
    r->written += n;
  }
  if (r->written >= r->limit) {
    if (r->fp) fclose(r->fp);
    r->fp = nullptr;
    r->active = false;
  }
}

void SimCard::AdvanceLine(Line* l, uint32_t now) {
  PlayEntry* e = l->playIndex >= 0 ? &l->played[static_cast<size_t>(l->playIndex)] : nullptr;
  AdvancePlay(&l->play, e, now);
  AdvanceRecord(&l->rec, &l->feed, now);
  if (l->dtmfOutPending > 0 && static_cast<uint32_t>(now - l->dtmfOutTick) >= kDtmfOutMs * l->dtmfOutPending)
    l->dtmfOutPending = 0;
}

bool SimCard::PlayDone(Line* l, uint32_t now) {
  AdvanceLine(l, now);
  return !l->play.active;
}

void SimCard::StopPlayOf(Line* l) {
  uint32_t now = TickCount();
  AdvanceLine(l, now);
  l->play.active = false;
  l->playIndex = -1;
}

int SimCard::StartRecord(RecordState* r, const std::string& file, int recPos, int limit) {
  if (r->fp) fclose(r->fp);
  *r = RecordState{};
  FILE* fp = nullptr;
  if (recPos > 0) {
    fp = OpenFile(file, "r+b");
    if (!fp) fp = OpenFile(file, "w+b");
    if (fp && fseek(fp, recPos, SEEK_SET) != 0) {
      fclose(fp);
      fp = nullptr;
    }
  } else {
    fp = OpenFile(file, "wb");
  }
  if (!fp) return -1;
  r->active = limit > 0;
  r->file = file;
  r->fp = fp;
  r->limit = limit > 0 ? static_cast<uint64_t>(limit) : 0;
  r->startTick = TickCount();
  if (!r->active) {
    fclose(fp);
    r->fp = nullptr;
  }
  return 0;
}

void SimCard::StopRecordOf(RecordState* r, std::deque<uint8_t>* feed) {
  AdvanceRecord(r, feed, TickCount());
  if (r->fp) fclose(r->fp);
  r->fp = nullptr;
  r->active = false;
}

bool SimCard::RecordDone(RecordState* r, std::deque<uint8_t>* feed, uint32_t now) {
  AdvanceRecord(r, feed, now);
  return !r->active;
}

int SimCard::TrunkLinkedUser(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l || l->partner < digital_) return -1;
  return l->partner - digital_;
}

int SimCard::ChannelPlayVoice(int ch) {
  CardLock g(*this);
  return Digital(ch) ? ch * 2 : -1;
}

int SimCard::ChannelRecordVoice(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  return l && l->recVoice ? ch * 2 + 1 : -1;
}

int SimCard::PortPlayVoice(int port) {
  CardLock g(*this);
  return Port(port) ? (digital_ + port) * 2 : -1;
}

int SimCard::PortRecordVoice(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  return l && l->recVoice ? (digital_ + port) * 2 + 1 : -1;
}

int SimCard::VoiceFinished(int voice) {
  CardLock g(*this);
  uint32_t now = TickCount();
  if (voice >= kConfVoiceBase) {
    auto it = confVoices_.find(voice);
    if (it == confVoices_.end()) return 1;
    ConfVoice& v = it->second;
    if (v.record) return RecordDone(&v.rec, nullptr, now) ? 1 : 0;
    AdvancePlay(&v.play, nullptr, now);
    return v.play.active ? 0 : 1;
  }
  if (voice < 0 || voice / 2 >= static_cast<int>(lines_.size())) return 1;
  Line& l = lines_[static_cast<size_t>(voice / 2)];
  if (voice % 2 == 0) return PlayDone(&l, now) ? 1 : 0;
  return RecordDone(&l.rec, &l.feed, now) ? 1 : 0;
}

int SimCard::VoicePlayingFile(int voice) {
  CardLock g(*this);
  if (voice < 0 || voice % 2 != 0 || voice / 2 >= static_cast<int>(lines_.size())) return 0;
  Line& l = lines_[static_cast<size_t>(voice / 2)];
  return PlayDone(&l, TickCount()) ? 0 : 1;
}

int SimCard::VoicePlayingIndex(int voice) {
  CardLock g(*this);
  return 0;  // the card plays files only
}

int SimCard::StopChannelPlay(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  StopPlayOf(l);
  return 0;
}

int SimCard::StopChannelIndexPlay(int ch) {
  CardLock g(*this);
  return Digital(ch) ? 0 : -1;
}

int SimCard::StopChannelRecord(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  // Frees the channel's voice: the record and a play on it both end.
  StopRecordOf(&l->rec, &l->feed);
  l->recVoice = false;
  StopPlayOf(l);
  return 0;
}

int SimCard::FreeVoice(int voice) {
  CardLock g(*this);
  return 0;
}

int SimCard::ChannelPlayFile(int ch, const std::string& file, int mode, int term) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  StopPlayOf(l);
  return StartPlay(l, &l->play, file, mode, kDigitalWave);
}

int SimCard::ChannelRecordFile(int ch, const std::string& file, int recPos, int limit) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return 0;
  int forced = 0;
  if (Forced("RECORD", &forced)) return forced;
  if (StartRecord(&l->rec, file, recPos, limit) != 0) return 0;
  l->recVoice = true;
  return 1;
}

int SimCard::ReadDtmf(Line* l, bool withLower) {
  AdvanceLine(l, TickCount());
  while (!l->dtmfIn.empty()) {
    char c = l->dtmfIn.front();
    l->dtmfIn.pop_front();
    if (IsKey(c) && (withLower || !(c >= 'a' && c <= 'd'))) return static_cast<unsigned char>(c);
  }
  return 0;
}

int SimCard::ClearChannelDtmf(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  l->dtmfIn.clear();
  return 0;
}

int SimCard::ReadChannelDtmf(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  return l ? ReadDtmf(l, true) : 0;
}

int SimCard::SendChannelDtmf(int ch, const std::string& keys) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  uint32_t now = TickCount();
  AdvanceLine(l, now);
  size_t n = 0;
  for (char c : keys) {
    if (!IsKey(c)) continue;
    l->dtmfSent.push_back(c);
    n++;
  }
  if (l->dtmfSent.size() > kKeyQueueMax) l->dtmfSent.erase(0, l->dtmfSent.size() - kKeyQueueMax);
  // Keys still going out queue behind the new ones.
  l->dtmfOutPending = n + l->dtmfOutPending;
  l->dtmfOutTick = now;
  return 0;
}

int SimCard::ChannelDtmfSent(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return 1;
  AdvanceLine(l, TickCount());
  return l->dtmfOutPending == 0 ? 1 : 0;
}

// ---------------------------------------------------------------- analog

int SimCard::StartRing(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l || l->portType != card::kPortUser) return -1;
  int forced = 0;
  if (Forced("RING", &forced)) return forced;
  if (l->offHook) return 0;  // answering stops the bell at once
  l->ringing = true;
  l->ringTick = TickCount();
  l->ringStarts++;
  return 0;
}

int SimCard::StopRing(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  l->ringing = false;
  return 0;
}

int SimCard::HookState(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  return l && l->offHook ? 1 : 0;
}

int SimCard::ClearPortDtmf(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  l->dtmfIn.clear();
  return 0;
}

int SimCard::PortPlayFile(int port, const std::string& file, int mode, int term) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  StopPlayOf(l);
  return StartPlay(l, &l->play, file, mode, kAnalogWave);
}

int SimCard::StopPortPlay(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  StopPlayOf(l);
  return 0;
}

int SimCard::PortRecordFile(int port, const std::string& file, int recPos, int limit) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  int forced = 0;
  if (Forced("RECORD", &forced)) return forced;
  int r = StartRecord(&l->rec, file, recPos, limit);
  if (r == 0) l->recVoice = true;
  return r;
}

int SimCard::StopPortRecord(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  StopRecordOf(&l->rec, &l->feed);
  l->recVoice = false;
  return 0;
}

int SimCard::ReadPortDtmf(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  return l ? ReadDtmf(l, false) : 0;
}

int SimCard::PortDial(int port, const std::string& number) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l || l->portType == card::kPortUser) return -1;
  int forced = 0;
  if (Forced("DIAL", &forced)) return forced;
  if (!l->offHook) return 0;  // no dial tone on hook
  for (char c : number)
    if (IsKey(c)) l->dialled.push_back(c);
  return static_cast<int>(number.size()) > 0 ? 1 : 0;
}

int SimCard::PortConnected(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  return l && l->offHook && l->connected ? 1 : 0;
}

// ---------------------------------------------------------------- switching

int SimCard::LinkTrunkAndUser(int ch, int port) {
  CardLock g(*this);
  Line* a = Digital(ch);
  Line* b = Port(port);
  int forced = 0;
  if (Forced("LINK", &forced)) return forced;
  if (!a || !b || a->partner >= 0 || b->partner >= 0) return 0;
  a->partner = IndexOf(b);
  b->partner = IndexOf(a);
  return 1;
}

int SimCard::ClearLinkTrunkAndUserByTrunk(int ch) {
  CardLock g(*this);
  Line* a = Digital(ch);
  if (!a || a->partner < digital_) return 0;
  lines_[static_cast<size_t>(a->partner)].partner = -1;
  a->partner = -1;
  return 1;
}

int SimCard::ClearLinkTrunkAndUserByUser(int port) {
  CardLock g(*this);
  Line* b = Port(port);
  if (!b || b->partner < 0 || b->partner >= digital_) return 0;
  lines_[static_cast<size_t>(b->partner)].partner = -1;
  b->partner = -1;
  return 1;
}

int SimCard::LinkTrunkAndTrunk(int ch1, int ch2) {
  CardLock g(*this);
  Line* a = Digital(ch1);
  Line* b = Digital(ch2);
  int forced = 0;
  if (Forced("LINK", &forced)) return forced;
  if (!a || !b || a == b || a->partner >= 0 || b->partner >= 0) return 0;
  a->partner = ch2;
  b->partner = ch1;
  return 1;
}

int SimCard::ClearLinkTrunkAndTrunk(int ch) {
  CardLock g(*this);
  Line* a = Digital(ch);
  if (!a || a->partner < 0 || a->partner >= digital_) return 0;
  lines_[static_cast<size_t>(a->partner)].partner = -1;
  a->partner = -1;
  return 1;
}

int SimCard::LinkUserAndUser(int port1, int port2) {
  CardLock g(*this);
  Line* a = Port(port1);
  Line* b = Port(port2);
  int forced = 0;
  if (Forced("LINK", &forced)) return forced;
  if (!a || !b || a == b || a->partner >= 0 || b->partner >= 0) return 0;
  a->partner = IndexOf(b);
  b->partner = IndexOf(a);
  return 1;
}

int SimCard::ClearLinkUserAndUser(int port) {
  CardLock g(*this);
  Line* a = Port(port);
  if (!a || a->partner < digital_) return 0;
  lines_[static_cast<size_t>(a->partner)].partner = -1;
  a->partner = -1;
  return 1;
}

// ---------------------------------------------------------------- conference

int SimCard::ConfStartOld() {
  CardLock g(*this);
  int forced = 0;
  if (Forced("CONFOLD", &forced)) return forced;
  if (!started_ || cfg_.confGroups <= 0 || cfg_.newConfInterface) return -1;
  confOpen_ = true;
  confCount_ = cfg_.confGroups;
  return 0;
}

int SimCard::ConfStartNew() {
  CardLock g(*this);
  int forced = 0;
  if (Forced("CONFNEW", &forced)) return forced;
  if (!started_ || cfg_.confGroups <= 0 || !cfg_.newConfInterface) return -1;
  confOpen_ = true;
  confCount_ = cfg_.confGroups;
  return 0;
}

int SimCard::ConfCloseOld() { return ConfCloseNew(); }

int SimCard::ConfCloseNew() {
  CardLock g(*this);
  for (Line& l : lines_) l.group = -1;
  for (auto& [h, v] : confVoices_)
    if (v.rec.fp) fclose(v.rec.fp);
  confVoices_.clear();
  confOpen_ = false;
  return 0;
}

static void PutCount(uint8_t* block, size_t size, int count) {
  if (!block || size < 6) return;
  block[4] = static_cast<uint8_t>(count & 0xFF);
  block[5] = static_cast<uint8_t>((count >> 8) & 0xFF);
}

int SimCard::ConfResourcesOld(uint8_t* block, size_t size) {
  CardLock g(*this);
  if (!block || size < 6) return -1;
  PutCount(block, size, confOpen_ ? confCount_ : 0);
  return 0;
}

int SimCard::ConfInfoNew(uint8_t* block, size_t size) { return ConfResourcesOld(block, size); }

int SimCard::ConfSetup(int, int) {
  CardLock g(*this);
  return confOpen_ ? 0 : -1;
}

int SimCard::ConfJoin(int group, int type, int ch, int mode, int gain, int volume, int flags) {
  CardLock g(*this);
  int r = 0;
  Line* l = ByType(type, ch);
  if (Forced("JOIN", &r)) {
  } else if (!confOpen_ || !l || group < 0 || group >= confCount_ || (mode != 1 && mode != 2)) {
    r = -1;
  } else if (l->group >= 0) {
    r = -5;
  } else {
    l->group = group;
    l->listen = mode == 1;
    r = 0;
  }
  confLast_ = r;
  return r;
}

int SimCard::ConfEnter(uint16_t group, int listen, int type, int ch, int gain, int flags) {
  CardLock g(*this);
  Line* l = ByType(type, ch);
  int r = 0;
  if (Forced("JOIN", &r)) return r;
  if (!confOpen_ || !l || group >= confCount_) return -1;
  if (l->group >= 0 && l->group != group) return -5;
  l->group = group;
  l->listen = listen != 0;
  return 0;
}

int SimCard::ConfTalkSetup(int type, int ch, int) {
  CardLock g(*this);
  return ByType(type, ch) ? 0 : -1;
}

int SimCard::ConfExit(int type, int ch, int) {
  CardLock g(*this);
  Line* l = ByType(type, ch);
  int r = (!l || l->group < 0) ? -1 : 0;
  if (r == 0) l->group = -1;
  confLast_ = r;
  return r;
}

int SimCard::ConfLeave(int type, int ch) { return ConfExit(type, ch, 0); }

int SimCard::ConfFreeGroupNew(int group) {
  CardLock g(*this);
  if (group < 0 || group >= confCount_) {
    confLast_ = -1;
    return -1;
  }
  for (Line& l : lines_)
    if (l.group == group) l.group = -1;
  confLast_ = 0;
  return 0;
}

int SimCard::ConfFreeGroupOld(uint16_t group) { return ConfFreeGroupNew(group); }

int SimCard::ConfGroupOfNew(int type, int ch) {
  CardLock g(*this);
  Line* l = ByType(type, ch);
  if (!l) return -1;
  return l->group;
}

int SimCard::ConfGroupOfOld(int type, int ch) {
  CardLock g(*this);
  Line* l = ByType(type, ch);
  return l ? l->group : -1;
}

int SimCard::ConfLastResult() {
  CardLock g(*this);
  return confLast_;
}

int SimCard::ConfBlockCount(uint16_t block) {
  CardLock g(*this);
  int free = 0;
  for (int gno = block * 16; gno < block * 16 + 16 && gno < confCount_; gno++) {
    bool used = false;
    for (const Line& l : lines_)
      if (l.group == gno) used = true;
    if (!used) free++;
  }
  return free;
}

int SimCard::ConfPlayFile(uint16_t group, const std::string& file, int mode, int term) {
  CardLock g(*this);
  int r = 0;
  if (Forced("CONFPLAY", &r)) return r;
  if (!confOpen_ || group >= confCount_) return -1;
  ConfVoice v;
  v.group = group;
  r = StartPlay(nullptr, &v.play, file, mode, kDigitalWave);
  if (r < 0) return r;
  int h = kConfVoiceBase + (nextConfVoice_++ % kConfVoiceBase);
  confVoices_[h] = v;
  return h;
}

int SimCard::ConfStopPlay(int handle) {
  CardLock g(*this);
  return confVoices_.erase(handle) ? 0 : -1;
}

int SimCard::ConfRecordFile(uint16_t group, const std::string& file, int recPos, int limit) {
  CardLock g(*this);
  int r = 0;
  if (Forced("CONFRECORD", &r)) return r;
  if (!confOpen_ || group >= confCount_) return -1;
  ConfVoice v;
  v.record = true;
  v.group = group;
  if (StartRecord(&v.rec, file, recPos, limit) != 0) return -2;
  int h = kConfVoiceBase + (nextConfVoice_++ % kConfVoiceBase);
  confVoices_[h] = v;
  return h;
}

int SimCard::ConfStopRecord(int handle) {
  CardLock g(*this);
  auto it = confVoices_.find(handle);
  if (it == confVoices_.end()) return -1;
  StopRecordOf(&it->second.rec, nullptr);
  confVoices_.erase(it);
  return 0;
}

// ---------------------------------------------------------------- fax

int SimCard::FaxStart(int) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FAX", &r)) return r;
  if (!started_ || cfg_.faxChannels <= 0) return -1;
  fax_.assign(static_cast<size_t>(cfg_.faxChannels), FaxChannel{});
  faxOpen_ = true;
  return 0;
}

int SimCard::FaxClose() {
  CardLock g(*this);
  fax_.clear();
  faxOpen_ = false;
  return 0;
}

int SimCard::FaxChannelCount() {
  CardLock g(*this);
  return faxOpen_ ? static_cast<int>(fax_.size()) : 0;
}

int SimCard::FaxSetId(int fax, const std::string& id) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  fax_[static_cast<size_t>(fax)].id = id.substr(0, 20);
  return 0;
}

int SimCard::FaxFreeChannel() {
  CardLock g(*this);
  for (size_t i = 0; i < fax_.size(); i++)
    if (!fax_[i].linked) return static_cast<int>(i);
  return -1;
}

int SimCard::FaxLinkToTrunk(int fax, int ch) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FAXLINK", &r)) return r;
  if (fax < 0 || fax >= static_cast<int>(fax_.size()) || !Digital(ch)) return 0;
  FaxChannel& f = fax_[static_cast<size_t>(fax)];
  if (f.linked) return 0;
  f = FaxChannel{};
  f.linked = true;
  f.line = ch;
  return 1;
}

int SimCard::FaxLinkToUser(int fax, int port) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FAXLINK", &r)) return r;
  if (fax < 0 || fax >= static_cast<int>(fax_.size()) || !Port(port)) return 0;
  FaxChannel& f = fax_[static_cast<size_t>(fax)];
  if (f.linked) return 0;
  f = FaxChannel{};
  f.linked = true;
  f.line = digital_ + port;
  return 1;
}

int SimCard::FaxUnlink(int fax, int) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  fax_[static_cast<size_t>(fax)] = FaxChannel{};
  return 0;
}

int SimCard::FaxStop(int fax) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  fax_[static_cast<size_t>(fax)].running = false;
  return 0;
}

int SimCard::FaxSend(int fax, const std::string& file) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FAXSEND", &r)) return r;
  if (fax < 0 || fax >= static_cast<int>(fax_.size()) || !fax_[static_cast<size_t>(fax)].linked)
    return 0;
  if (!FileExists(file)) return 0;
  FaxChannel& f = fax_[static_cast<size_t>(fax)];
  f.running = true;
  f.receive = false;
  f.file = file;
  f.startTick = TickCount();
  f.state = 0;
  return 1;
}

int SimCard::FaxRecv(int fax, const std::string& file) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FAXRECV", &r)) return r;
  if (fax < 0 || fax >= static_cast<int>(fax_.size()) || !fax_[static_cast<size_t>(fax)].linked)
    return 0;
  FaxChannel& f = fax_[static_cast<size_t>(fax)];
  f.running = true;
  f.receive = true;
  f.file = file;
  f.startTick = TickCount();
  f.state = 0;
  return 1;
}

void SimCard::AdvanceFax(FaxChannel* f, uint32_t now) {
  if (!f->running) return;
  if (f->forced != 0) {
    f->state = f->forced;
  } else if (static_cast<uint32_t>(now - f->startTick) >= static_cast<uint32_t>(cfg_.faxSeconds) * 1000u) {
    f->state = 1;
  } else {
    return;
  }
  f->running = false;
  if (f->receive && f->state == 1) {
    // A received fax is a file the far end's pages went into.
    FILE* fp = OpenFile(f->file, "wb");
    if (fp) {
      fputs("simcard fax\n", fp);
      fclose(fp);
      f->recvResult = 1;
    } else {
      f->state = -2;
    }
  }
}

int SimCard::FaxState(int fax) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  FaxChannel& f = fax_[static_cast<size_t>(fax)];
  AdvanceFax(&f, TickCount());
  return f.state;
}

int SimCard::FaxRecvResult(int fax) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  return fax_[static_cast<size_t>(fax)].recvResult;
}

// ---------------------------------------------------------------- ISUP

int SimCard::IsupStart() {
  CardLock g(*this);
  int r = 0;
  if (Forced("ISUP", &r)) return r;
  if (!started_ || digital_ <= 0) return -1;
  isupOpen_ = true;
  return 0;
}

int SimCard::IsupClose() {
  CardLock g(*this);
  isupOpen_ = false;
  return 0;
}

int SimCard::IsupChannelState(int link, int slot) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  return l ? l->state : -1;
}

int SimCard::IsupSendMessage(int link, int slot, int message, int indicator, int, int, int) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l || !isupOpen_) return -1;
  l->messages.emplace_back(message, indicator);
  if (l->messages.size() > 256) l->messages.erase(l->messages.begin());
  switch (message) {
    case 1:  // release complete after the far end's release
      if (l->state == 2) l->state = 1;
      break;
    case 5:  // answer
      if (l->state == 9 || l->state == 3) l->state = 7;
      break;
    case 7:  // release: the far end completes it at once
      if (l->state != 6) l->state = 1;
      break;
    default:
      break;
  }
  return 0;
}

std::string SimCard::IsupCallingNumber(int link, int slot) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  return l ? l->calling : std::string();
}

std::string SimCard::IsupCalledNumber(int link, int slot) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  return l ? l->called : std::string();
}

void SimCard::IsupPump() {
  CardLock g(*this);
  // Far-end events are applied as they arrive; nothing waits here.
}

int SimCard::IsupCallout(int link, int slot, const std::string& number, const std::string& calling,
                         int, int) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l || !isupOpen_) return -1;
  int r = 0;
  if (Forced("CALLOUT", &r)) return r;
  if (l->state != 1 || number.empty()) return 0;
  Callout c;
  c.number = number.substr(0, card::kMaxNumberDigits * 2);
  c.calling = calling.substr(0, 20);
  c.firstCallee = l->firstCallee;
  memcpy(c.params, l->params, sizeof c.params);
  c.tick = TickCount();
  l->callouts.push_back(c);
  if (l->callouts.size() > 64) l->callouts.erase(l->callouts.begin());
  l->calling = c.calling;
  l->called = c.number;
  l->events = 0;
  l->cause = 0;
  l->lastRaw.clear();
  l->state = 4;
  return 1;
}

int SimCard::IsupSendRawFrame(int link, int slot, const uint8_t* bytes, int length) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l || !isupOpen_ || !bytes || length <= 0 || length > 300) return -1;
  int r = 0;
  if (Forced("RAWFRAME", &r)) return r;
  l->frames.emplace_back(bytes, bytes + length);
  if (l->frames.size() > 64) l->frames.erase(l->frames.begin());
  if (bytes[0] == card::kIsupAcm && l->state == 9) l->state = 3;
  return length;
}

int SimCard::IsupCalloutEvents(int link, int slot) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l) return 0;
  int e = l->events;
  l->events = 0;
  return e;
}

int SimCard::IsupSetFirstCallee(int link, int slot, const std::string& number) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l) return -1;
  l->firstCallee = number.substr(0, card::kMaxNumberDigits);
  return 0;
}

int SimCard::IsupSetCalloutParams(int link, int slot, const uint8_t params[6]) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l || !params) return -1;
  memcpy(l->params, params, 6);
  return 0;
}

int SimCard::IsupReleaseCause(int link, int slot) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  return l ? l->cause : 0;
}

int SimCard::IsupReadRawMessage(int link, int slot, uint8_t* buf, size_t size) {
  CardLock g(*this);
  Line* l = ByLinkSlot(link, slot);
  if (!l || !buf) return 0;
  size_t n = std::min(size, l->lastRaw.size());
  if (n) memcpy(buf, l->lastRaw.data(), n);
  return static_cast<int>(n);
}

// ---------------------------------------------------------------- FSK

int SimCard::FskStart(int) {
  CardLock g(*this);
  int r = 0;
  if (Forced("FSK", &r)) return r;
  if (!started_) return -1;
  fskOpen_ = true;
  return 0;
}

int SimCard::FskSend(int port, const uint8_t* msg, int length, int) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l || !fskOpen_ || !msg || length <= 0 || length > 258) return -1;
  int r = 0;
  if (Forced("FSKSEND", &r)) return r;
  l->fsk.assign(msg, msg + length);
  l->fskSent.push_back(l->fsk);
  if (l->fskSent.size() > 16) l->fskSent.erase(l->fskSent.begin());
  l->fskTick = TickCount();
  l->fskActive = true;
  return 0;
}

int SimCard::FskSendStatus(int port, int) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  if (!l->fskActive) return 1;
  // 1200 bit/s, ten bits a byte.
  uint32_t needed = static_cast<uint32_t>(l->fsk.size()) * 25 / 3 + 1;
  if (static_cast<uint32_t>(TickCount() - l->fskTick) >= needed) {
    l->fskActive = false;
    return 1;
  }
  return 0;
}

int SimCard::FskStop(int port, int) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  l->fskActive = false;
  return 0;
}

int SimCard::FskClose() {
  CardLock g(*this);
  fskOpen_ = false;
  return 0;
}

}  // namespace plat
