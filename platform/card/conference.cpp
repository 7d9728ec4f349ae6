// Conference groups, older and newer interface, with group play and record.
#include "platform/card/card.h"

#include <algorithm>

#include "platform/tick.h"

namespace plat {

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
    UpstreamStarts(l);
    l->group = group;
    l->listen = mode == 1;
    l->gain = std::clamp(gain, card::kMinGainDb, card::kMaxGainDb);
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
  UpstreamStarts(l);
  l->group = group;
  l->listen = listen != 0;
  l->gain = std::clamp(gain, card::kMinGainDb, card::kMaxGainDb);
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
  Mix(TickCount());
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
  Mix(TickCount());
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

// Free member places of a block (see the header comment): four a group,
// shared by the block's groups.
int SimCard::ConfBlockCount(uint16_t block) {
  CardLock g(*this);
  int first = block * 16;
  int groups = std::clamp(confCount_ - first, 0, 16);
  int used = 0;
  for (const Line& l : lines_)
    if (l.group >= first && l.group < first + groups) used++;
  return std::max(0, groups * card::kMemberPlacesPerGroup - used);
}

int SimCard::ConfPlayFile(uint16_t group, const std::string& file, int mode, int term) {
  CardLock g(*this);
  int r = 0;
  if (Forced("CONFPLAY", &r)) return r;
  if (!confOpen_ || group >= confCount_) return -1;
  ConfVoice v;
  v.group = group;
  r = StartPlay(nullptr, &v.play, file, mode, card::kDigitalWave);
  if (r < 0) return r;
  int h = card::kConfVoiceBase + (nextConfVoice_++ % card::kConfVoiceBase);
  confVoices_[h] = v;
  return h;
}

int SimCard::ConfStopPlay(int handle) {
  CardLock g(*this);
  Mix(TickCount());
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
  Mix(TickCount());
  if (StartRecord(&v.rec, file, recPos, limit) != 0) return -2;
  int h = card::kConfVoiceBase + (nextConfVoice_++ % card::kConfVoiceBase);
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

}  // namespace plat
