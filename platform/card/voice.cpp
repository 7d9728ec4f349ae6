// Voice on digital channels and analog ports: play and record on files paced by the
// tick count, and DTMF both ways.
#include "platform/card/card.h"

#include <algorithm>
#include <cstring>

#include "platform/path.h"
#include "platform/tick.h"

namespace plat {

int SimCard::StartPlay(Line* l, PlayState* p, const std::string& file, int mode, int waveOffset) {
  int forced = 0;
  if (Forced("PLAY", &forced)) return forced;
  card::VoiceInfo info;
  int r = card::ProbeVoice(file, &info);
  if (r < 0) return r == -1 ? -2 : -3;
  int pos = mode;
  if (card::IsWaveName(file)) pos -= waveOffset;
  if (pos < 0) pos = 0;
  *p = PlayState{};
  p->active = true;
  p->file = file;
  p->mode = mode;
  p->info = info;
  p->startSample = std::min<uint64_t>(static_cast<uint64_t>(pos), info.samples);
  p->endSample = info.samples;
  Mix(TickCount());
  p->startTick = TickCount();
  if (l) {
    PlayEntry e;
    e.file = file;
    e.mode = mode;
    e.startTick = p->startTick;
    e.info = info;
    e.startSample = p->startSample;
    if (l->played.size() >= card::kPlayedMax) l->played.erase(l->played.begin());
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

// Records are written by the mixer frame by frame.
void SimCard::AdvanceRecord(RecordState*, std::deque<uint8_t>*, uint32_t now) { Mix(now); }

void SimCard::AdvanceLine(Line* l, uint32_t now) {
  Mix(now);
  PlayEntry* e = l->playIndex >= 0 ? &l->played[static_cast<size_t>(l->playIndex)] : nullptr;
  AdvancePlay(&l->play, e, now);
  AdvanceRecord(&l->rec, &l->feed, now);
  if (l->dtmfOutPending > 0 && static_cast<uint32_t>(now - l->dtmfOutTick) >= card::kDtmfOutMs * l->dtmfOutPending)
    l->dtmfOutPending = 0;
}

bool SimCard::PlayDone(Line* l, uint32_t now) {
  AdvanceLine(l, now);
  return !l->play.active;
}

void SimCard::StopPlayOf(Line* l) {
  uint32_t now = TickCount();
  AdvanceLine(l, now);
  if (l->play.active) {
    uint64_t elapsed = static_cast<uint64_t>(static_cast<uint32_t>(now - l->play.startTick)) * 8;
    l->play.endSample = std::min(l->play.endSample, l->play.startSample + elapsed);
  }
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
    // A file shorter than the position is filled with silence up to it, so
    // the record starts after quiet rather than after zero bytes.
    if (fp && fseek(fp, 0, SEEK_END) == 0) {
      long size = ftell(fp);
      for (long i = size < 0 ? recPos : size; i < recPos; i++) fputc(card::kALawSilence, fp);
    }
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
  uint32_t now = TickCount();
  Mix(now);
  // The part of a frame not mixed yet still belongs to the record.
  if (r->active) {
    int32_t d = static_cast<int32_t>(now - mixTick_);
    int32_t sinceStart = static_cast<int32_t>(now - r->startTick);
    uint64_t n = static_cast<uint64_t>(std::max(0, std::min(d, sinceStart))) * 8;
    n = std::min<uint64_t>(n, r->limit - r->written);
    std::vector<uint8_t> buf(static_cast<size_t>(n), card::kALawSilence);
    for (size_t i = 0; i < buf.size() && feed && !feed->empty(); i++) {
      buf[i] = feed->front();
      feed->pop_front();
    }
    if (r->fp && n > 0) fwrite(buf.data(), 1, buf.size(), r->fp);
    r->written += n;
  }
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
  if (voice >= card::kConfVoiceBase) {
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
  return StartPlay(l, &l->play, file, mode, card::kDigitalWave);
}

int SimCard::ChannelRecordFile(int ch, const std::string& file, int recPos, int limit) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return 0;
  int forced = 0;
  if (Forced("RECORD", &forced)) return forced;
  bool fresh = !UsesUpstream(*l);
  Mix(TickCount());
  if (StartRecord(&l->rec, file, recPos, limit) != 0) return 0;
  // Fed audio is the record's from its first sample.
  if (fresh) mix_[static_cast<size_t>(IndexOf(l))].upFrom = l->rec.startTick;
  l->recVoice = true;
  return 1;
}

int SimCard::ReadDtmf(Line* l, bool withLower) {
  uint32_t now = TickCount();
  AdvanceLine(l, now);
  for (char c; (c = card::TakeKey(l, now)) != 0;)
    if (withLower || !(c >= 'a' && c <= 'd')) return static_cast<unsigned char>(c);
  return 0;
}

int SimCard::ClearChannelDtmf(int ch) {
  CardLock g(*this);
  Line* l = Digital(ch);
  if (!l) return -1;
  card::ClearKeys(l, TickCount());
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
    if (!card::IsKey(c)) continue;
    l->dtmfSent.push_back(c);
    n++;
  }
  if (l->dtmfSent.size() > card::kKeyQueueMax) l->dtmfSent.erase(0, l->dtmfSent.size() - card::kKeyQueueMax);
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

}  // namespace plat
