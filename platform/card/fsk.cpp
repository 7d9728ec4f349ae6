// FSK caller identification sent to analog ports.
#include "platform/card/card.h"

#include "platform/tick.h"

namespace plat {

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
