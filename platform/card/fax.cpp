// The fax pool. With a fax machine at the line's far end a transfer is a
// real T.30 call between two modems, run as fast as FaxSpeed allows;
// without one it takes the configured time unless the far end ends it.
#include "platform/card/card.h"
#include "platform/card/farend.h"

#include "platform/path.h"
#include "platform/tick.h"

namespace plat {

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
  for (FaxChannel& f : fax_) EndFaxModem(&f);
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
  EndFaxModem(&fax_[static_cast<size_t>(fax)]);
  fax_[static_cast<size_t>(fax)] = FaxChannel{};
  return 0;
}

int SimCard::FaxStop(int fax) {
  CardLock g(*this);
  if (fax < 0 || fax >= static_cast<int>(fax_.size())) return -1;
  EndFaxModem(&fax_[static_cast<size_t>(fax)]);
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
  bool modem = f->modem || FarFaxReady(f->line);
  if (f->forced != 0) {
    f->state = f->forced;
    EndFaxModem(f);
  } else if (modem) {
    if (!RunFaxModem(f, now)) return;
  } else if (static_cast<uint32_t>(now - f->startTick) >= static_cast<uint32_t>(cfg_.faxSeconds) * 1000u) {
    f->state = 1;
  } else {
    return;
  }
  f->running = false;
  if (!modem && f->receive && f->state == 1) {
    // Without a far-end machine the received fax is a token file.
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

namespace {

// Audio run in one advance at most: the card lock is held meanwhile.
constexpr uint64_t kMaxFramesPerAdvance = 1500;  // 30 s of audio
// Audio the far end may need to close its side once the channel's is done.
constexpr int kCloseFrames = 500;
// A transfer that runs longer than this is cut off.
constexpr uint64_t kMaxFaxSamples = 8000ull * 60 * 20;

}  // namespace

bool SimCard::FarFaxReady(int line) const {
  // A machine that is armed and unused takes the call.
  auto it = farFax_.find(line);
  return it != farFax_.end() && !it->second.running && !it->second.done;
}

bool SimCard::RunFaxModem(FaxChannel* f, uint32_t now) {
  auto it = farFax_.find(f->line);
  if (!f->modem) {
    if (!FarFaxReady(f->line)) return false;
    card::FarFax& far = it->second;
    bool lineCalls = !f->receive;
    f->modem = std::make_shared<card::FaxModem>(lineCalls, !f->receive, f->file, f->id);
    far.modem = std::make_shared<card::FaxModem>(!lineCalls, far.send, far.file, far.ident);
    far.running = true;
    f->audioTick = now;
    f->audioSamples = 0;
    if (!f->modem->Ok() || !far.modem->Ok()) {
      f->state = -1;
      EndFaxModem(f);
      return true;
    }
  }
  if (it == farFax_.end() || !it->second.modem) {  // the far end went away
    f->state = -1;
    EndFaxModem(f);
    return true;
  }
  card::FarFax& far = it->second;
  uint64_t due = static_cast<uint64_t>(static_cast<uint32_t>(now - f->audioTick)) * 8u *
                 static_cast<uint64_t>(cfg_.faxSpeed);
  uint64_t frames = due > f->audioSamples ? (due - f->audioSamples) / card::kFaxFrameSamples : 0;
  if (frames > kMaxFramesPerAdvance) frames = kMaxFramesPerAdvance;
  for (uint64_t i = 0; i < frames && !f->modem->Done(); i++) {
    card::ExchangeFaxAudio(*f->modem, *far.modem, 1);
    f->audioSamples += card::kFaxFrameSamples;
  }
  if (!f->modem->Done()) {
    if (f->audioSamples < kMaxFaxSamples) return false;
    f->state = -1;
    EndFaxModem(f);
    return true;
  }
  for (int i = 0; i < kCloseFrames && !far.modem->Done(); i++)
    card::ExchangeFaxAudio(*f->modem, *far.modem, 1);
  int c = f->modem->Completion();
  f->state = c == 0 ? 1 : (c > 0 ? -c : c);
  if (f->receive && c == 0) f->recvResult = f->modem->Pages();
  EndFaxModem(f);
  return true;
}

void SimCard::EndFaxModem(FaxChannel* f) {
  if (!f->modem) return;
  f->modem->Abort();
  auto it = farFax_.find(f->line);
  if (it != farFax_.end() && it->second.modem) {
    card::FarFax& far = it->second;
    far.modem->Abort();
    far.running = false;
    far.done = true;
    far.result = far.modem->Completion();
    far.pages = far.modem->Pages();
    far.width = far.modem->Width();
    far.remoteId = far.modem->RemoteIdent();
    far.modem.reset();
  }
  f->modem.reset();
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

}  // namespace plat

namespace plat {

bool SimCardFarEnd::FaxMachine(int ch, bool send, const std::string& file, const std::string& ident) {
  CardLock g(card_);
  if (!card_.started_ || ch < 0 || ch >= static_cast<int>(card_.lines_.size()))
    return Fail("no channel " + std::to_string(ch));
  auto it = card_.farFax_.find(ch);
  if (it != card_.farFax_.end() && it->second.running) return Fail("fax machine busy");
  if (send && !FileExists(file)) return Fail("no file " + file);
  card::FarFax far;
  far.send = send;
  far.file = file;
  far.ident = ident.substr(0, 20);
  card_.farFax_[ch] = far;
  return true;
}

bool SimCardFarEnd::FaxMachineClear(int ch) {
  CardLock g(card_);
  auto it = card_.farFax_.find(ch);
  if (it == card_.farFax_.end()) return Fail("no fax machine on " + std::to_string(ch));
  for (auto& f : card_.fax_)
    if (f.linked && f.line == ch) card_.EndFaxModem(&f);
  card_.farFax_.erase(ch);
  return true;
}

bool SimCardFarEnd::FaxMachineState(int ch, FaxMachineInfo* out) {
  CardLock g(card_);
  for (auto& f : card_.fax_)
    if (f.linked && f.line == ch) card_.AdvanceFax(&f, TickCount());
  auto it = card_.farFax_.find(ch);
  if (it == card_.farFax_.end()) return Fail("no fax machine on " + std::to_string(ch));
  const card::FarFax& far = it->second;
  out->state = far.running ? "running" : (far.done ? "done" : "armed");
  out->result = far.result;
  out->pages = far.running && far.modem ? far.modem->Pages() : far.pages;
  out->width = far.width;
  out->remoteId = far.remoteId;
  return true;
}

}  // namespace plat
