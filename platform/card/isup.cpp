// ISUP on the digital channels: channel states, messages, call-outs and raw frames.
#include "platform/card/card.h"

#include <algorithm>
#include <cstring>

#include "platform/card/isupmsg.h"
#include "platform/tick.h"

namespace plat {

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
    case card::kMsgReleaseComplete:  // after the far end's release
      if (l->state == card::kChanReleasedByFar) l->state = card::kChanIdle;
      break;
    case card::kMsgAnswer:
      if (l->state == card::kChanIncoming || l->state == card::kChanAcmSent) l->state = card::kChanAnswered;
      break;
    case card::kMsgRelease:  // the far end completes it at once
      if (l->state != card::kChanBlocked) l->state = card::kChanIdle;
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
  if (l->state != card::kChanIdle || number.empty()) return 0;
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
  l->state = card::kChanCallingOut;
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
  if (bytes[0] == card::kIsupAcm && l->state == card::kChanIncoming) l->state = card::kChanAcmSent;
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

}  // namespace plat
