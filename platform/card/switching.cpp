// Two-party switching between channels and ports.
#include "platform/card/card.h"

#include "platform/tick.h"

namespace plat {

int SimCard::LinkTrunkAndUser(int ch, int port) {
  CardLock g(*this);
  Line* a = Digital(ch);
  Line* b = Port(port);
  int forced = 0;
  if (Forced("LINK", &forced)) return forced;
  if (!a || !b || a->partner >= 0 || b->partner >= 0) return 0;
  UpstreamStarts(a);
  UpstreamStarts(b);
  a->partner = IndexOf(b);
  b->partner = IndexOf(a);
  return 1;
}

int SimCard::ClearLinkTrunkAndUserByTrunk(int ch) {
  CardLock g(*this);
  Line* a = Digital(ch);
  if (!a || a->partner < digital_) return 0;
  Mix(TickCount());
  lines_[static_cast<size_t>(a->partner)].partner = -1;
  a->partner = -1;
  return 1;
}

int SimCard::ClearLinkTrunkAndUserByUser(int port) {
  CardLock g(*this);
  Line* b = Port(port);
  if (!b || b->partner < 0 || b->partner >= digital_) return 0;
  Mix(TickCount());
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
  UpstreamStarts(a);
  UpstreamStarts(b);
  a->partner = ch2;
  b->partner = ch1;
  return 1;
}

int SimCard::ClearLinkTrunkAndTrunk(int ch) {
  CardLock g(*this);
  Line* a = Digital(ch);
  if (!a || a->partner < 0 || a->partner >= digital_) return 0;
  Mix(TickCount());
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
  UpstreamStarts(a);
  UpstreamStarts(b);
  a->partner = IndexOf(b);
  b->partner = IndexOf(a);
  return 1;
}

int SimCard::ClearLinkUserAndUser(int port) {
  CardLock g(*this);
  Line* a = Port(port);
  if (!a || a->partner < digital_) return 0;
  Mix(TickCount());
  lines_[static_cast<size_t>(a->partner)].partner = -1;
  a->partner = -1;
  return 1;
}

}  // namespace plat
