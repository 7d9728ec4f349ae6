// Analog ports: bell, hook, port voice and dialling on trunk ports.
#include "platform/card/card.h"

#include "platform/tick.h"

namespace plat {

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
  card::ClearKeys(l, TickCount());
  return 0;
}

int SimCard::PortPlayFile(int port, const std::string& file, int mode, int term) {
  CardLock g(*this);
  Line* l = Port(port);
  if (!l) return -1;
  StopPlayOf(l);
  return StartPlay(l, &l->play, file, mode, card::kAnalogWave);
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
  bool fresh = !UsesUpstream(*l);
  Mix(TickCount());
  int r = StartRecord(&l->rec, file, recPos, limit);
  if (r == 0 && fresh) mix_[static_cast<size_t>(IndexOf(l))].upFrom = l->rec.startTick;
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
    if (card::IsKey(c)) l->dialled.push_back(c);
  return static_cast<int>(number.size()) > 0 ? 1 : 0;
}

int SimCard::PortConnected(int port) {
  CardLock g(*this);
  Line* l = Port(port);
  return l && l->offHook && l->connected ? 1 : 0;
}

}  // namespace plat
