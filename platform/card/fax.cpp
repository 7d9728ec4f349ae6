// The fax pool: a transfer takes the configured time unless the far end ends it.
#include "platform/card/card.h"

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

}  // namespace plat
