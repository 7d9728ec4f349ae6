// The card as a whole: its lock, start and stop, and the lookups by channel,
// port, link and slot.
#include "platform/card/card.h"

#include <ctime>

#include "platform/card/control.h"
#include "platform/card/farend.h"
#include "platform/logsink.h"
#include "platform/tick.h"

namespace plat {

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
    l.state = card::kChanNotIsup;
  }
  mix_.assign(lines_.size(), card::MixLine{});
  mixTick_ = TickCount();
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
  mix_.clear();
  fax_.clear();
  farFax_.clear();
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

void SimCard::SetChannelWakeup(int index, Wakeup* wake) {
  if (index < 0) return;
  CardLock g(*this);
  if (static_cast<size_t>(index) >= wakes_.size()) {
    if (!wake) return;
    wakes_.resize(static_cast<size_t>(index) + 1, nullptr);
  }
  wakes_[static_cast<size_t>(index)] = wake;
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

}  // namespace plat
