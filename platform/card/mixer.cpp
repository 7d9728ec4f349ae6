// The card's audio: upstream and downstream of every line in 20 ms frames,
// group mixes and records, and what each far end heard.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/card/card.h"
#include "platform/tick.h"

namespace plat {
namespace card {

namespace {

struct LinearTable {
  int16_t v[256];
  LinearTable() {
    for (int i = 0; i < 256; i++) v[i] = ALawToLinear(static_cast<uint8_t>(i));
  }
};
const LinearTable kLinear;

// A-law codes by 13-bit magnitude, so a mix encodes by lookup.
struct ALawTable {
  uint8_t code[4096];
  ALawTable() {
    for (int m = 0; m < 4096; m++) code[m] = LinearToALaw(static_cast<int16_t>(m << 3)) ^ 0xD5;
  }
};
const ALawTable kALaw;

}  // namespace

uint8_t EncodeALaw(int pcm) {
  pcm = std::clamp(pcm, -32768, 32767);
  if (pcm >= 0) return kALaw.code[std::min(pcm >> 3, 0xFFF)] ^ 0xD5;
  return kALaw.code[std::min((-pcm - 1) >> 3, 0xFFF)] ^ 0x55;
}

namespace {

// Gains as factors in 1/4096.
struct GainTable {
  int q12[kMaxGainDb - kMinGainDb + 1];
  GainTable() {
    for (int g = kMinGainDb; g <= kMaxGainDb; g++)
      q12[g - kMinGainDb] = static_cast<int>(std::lround(4096.0 * std::pow(10.0, g / 20.0)));
  }
};
const GainTable kGains;

int GainQ12(int db) { return kGains.q12[std::clamp(db, kMinGainDb, kMaxGainDb) - kMinGainDb]; }

constexpr uint64_t kChunkSamples = 8000;

}  // namespace

bool Combine(const Source* s, size_t n, uint8_t* out) {
  if (n == 0) return false;
  if (n == 1 && s[0].gainDb == 0) {
    memcpy(out, s[0].bytes, kFrameSamples);
    return true;
  }
  int acc[kFrameSamples] = {};
  for (size_t k = 0; k < n; k++) {
    const uint8_t* b = s[k].bytes;
    if (s[k].gainDb == 0) {
      for (int i = 0; i < kFrameSamples; i++) acc[i] += kLinear.v[b[i]];
    } else {
      int f = GainQ12(s[k].gainDb);
      for (int i = 0; i < kFrameSamples; i++) acc[i] += (kLinear.v[b[i]] * f) / 4096;
    }
  }
  for (int i = 0; i < kFrameSamples; i++) out[i] = EncodeALaw(acc[i]);
  return true;
}

bool PlayFrame(PlayState* p, uint32_t t, uint8_t* out) {
  if (p->file.empty() || p->chunkFailed) return false;
  int64_t rel0 = static_cast<int64_t>(static_cast<int32_t>(t - p->startTick)) * 8;
  int64_t first = static_cast<int64_t>(p->startSample) + rel0;  // file sample of out[0]
  int64_t end = static_cast<int64_t>(p->endSample);
  int64_t from = std::max<int64_t>(first, static_cast<int64_t>(p->startSample));
  int64_t to = std::min<int64_t>(first + kFrameSamples, end);
  if (from >= to) return false;
  memset(out, kALawSilence, kFrameSamples);
  for (int64_t idx = from; idx < to;) {
    uint64_t u = static_cast<uint64_t>(idx);
    if (u < p->chunkFrom || u >= p->chunkFrom + p->chunk.size()) {
      uint64_t count = std::min<uint64_t>(kChunkSamples, static_cast<uint64_t>(end) - u);
      p->chunk = ReadVoiceAsALaw(p->file, p->info, u, count);
      p->chunkFrom = u;
      // A file deleted while it played: what is left is silence.
      if (p->chunk.empty()) {
        p->chunkFailed = true;
        return true;
      }
    }
    uint64_t avail = p->chunkFrom + p->chunk.size() - u;
    int64_t n = std::min<int64_t>(to - idx, static_cast<int64_t>(avail));
    memcpy(out + (idx - first), p->chunk.data() + (u - p->chunkFrom), static_cast<size_t>(n));
    idx += n;
  }
  return true;
}

double LevelDbm0(const std::vector<uint8_t>& alaw) {
  if (alaw.empty()) return -99;
  double sum = 0;
  for (uint8_t b : alaw) {
    double v = kLinear.v[b];
    sum += v * v;
  }
  double rms = std::sqrt(sum / static_cast<double>(alaw.size()));
  if (rms < 9) return -99;  // the smallest A-law step
  return 20.0 * std::log10(rms / 32768.0 * std::sqrt(2.0)) + 3.14;
}

std::vector<uint8_t> ToneALaw(int hz, double dbm0, uint32_t ms) {
  double peak = 32768.0 * std::pow(10.0, (dbm0 - 3.14) / 20.0);
  size_t n = static_cast<size_t>(ms) * 8;
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; i++) {
    double v = peak * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 8000.0);
    out[i] = LinearToALaw(static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
  }
  return out;
}

}  // namespace card

bool SimCard::UsesUpstream(const Line& l) const { return l.rec.active || l.partner >= 0 || l.group >= 0; }

void SimCard::UpstreamStarts(Line* l) {
  uint32_t now = TickCount();
  Mix(now);
  if (!UsesUpstream(*l)) mix_[static_cast<size_t>(IndexOf(l))].upFrom = now;
}

void SimCard::WriteRecordFrame(RecordState* r, uint32_t t, const uint8_t* frame) {
  if (!r->active) return;
  int32_t d = static_cast<int32_t>(t - r->startTick);
  int skip = d >= 0 ? 0 : static_cast<int>(std::min<int64_t>(card::kFrameSamples, -static_cast<int64_t>(d) * 8));
  uint64_t n = static_cast<uint64_t>(card::kFrameSamples - skip);
  n = std::min<uint64_t>(n, r->limit - r->written);
  if (n > 0 && r->fp) fwrite(frame + skip, 1, static_cast<size_t>(n), r->fp);
  r->written += n;
  if (r->written >= r->limit) {
    if (r->fp) fclose(r->fp);
    r->fp = nullptr;
    r->active = false;
  }
}

void SimCard::Mix(uint32_t now) {
  if (!started_ || mix_.size() != lines_.size()) return;
  int32_t behind = static_cast<int32_t>(now - mixTick_);
  if (behind < static_cast<int32_t>(card::kFrameMs)) return;
  uint32_t frames = static_cast<uint32_t>(behind) / card::kFrameMs;
  if (frames > card::kMaxFramesPerMix) {
    SkipFrames(frames - card::kMaxFramesPerMix);
    frames = card::kMaxFramesPerMix;
  }
  // Who is in which group does not change while the lock is held.
  card::MixScratch& s = scratch_;
  s.members.resize(static_cast<size_t>(std::max(confCount_, 0)));
  s.talkers.assign(s.members.size(), 0);
  s.groupRecords.assign(s.members.size(), 0);
  for (auto& m : s.members) m.clear();
  for (size_t i = 0; i < lines_.size(); i++) {
    int g = lines_[i].group;
    if (g < 0 || g >= confCount_) continue;
    s.members[static_cast<size_t>(g)].push_back(static_cast<int>(i));
    if (!lines_[i].listen) s.talkers[static_cast<size_t>(g)]++;
  }
  for (auto& [h, v] : confVoices_)
    if (v.record && v.rec.active && v.group >= 0 && v.group < confCount_) s.groupRecords[static_cast<size_t>(v.group)] = 1;
  for (uint32_t f = 0; f < frames; f++) {
    MixFrame(mixTick_);
    mixTick_ += card::kFrameMs;
  }
}

void SimCard::MixFrame(uint32_t t) {
  card::MixScratch& s = scratch_;
  // Upstream of every line whose far end is listened to.
  for (size_t i = 0; i < lines_.size(); i++) {
    Line& l = lines_[i];
    card::MixLine& m = mix_[i];
    bool grouped = l.group >= 0 && l.group < confCount_ && !l.listen &&
                   (s.members[static_cast<size_t>(l.group)].size() > 1 || s.groupRecords[static_cast<size_t>(l.group)]);
    m.upSet = l.rec.active || l.partner >= 0 || grouped;
    m.upSound = false;
    if (!m.upSet) continue;
    int32_t d = static_cast<int32_t>(m.upFrom - t);
    int start = d <= 0 ? 0 : static_cast<int>(std::min<int64_t>(card::kFrameSamples, static_cast<int64_t>(d) * 8));
    memset(m.up.data(), card::kALawSilence, static_cast<size_t>(start));
    for (int k = start; k < card::kFrameSamples; k++) {
      if (l.feed.empty()) {
        m.up[static_cast<size_t>(k)] = card::kALawSilence;
      } else {
        m.up[static_cast<size_t>(k)] = l.feed.front();
        l.feed.pop_front();
        m.upSound = true;
      }
    }
  }
  // Plays into groups.
  s.groupPlay.clear();
  s.groupPlayGroup.clear();
  for (auto& [h, v] : confVoices_) {
    if (v.record || v.group < 0 || v.group >= confCount_) continue;
    card::Frame f;
    if (!card::PlayFrame(&v.play, t, f.data())) continue;
    s.groupPlay.push_back(f);
    s.groupPlayGroup.push_back(v.group);
  }
  auto addGroup = [&](int g, int except) {
    for (int j : s.members[static_cast<size_t>(g)]) {
      if (j == except || lines_[static_cast<size_t>(j)].listen || !mix_[static_cast<size_t>(j)].upSound) continue;
      s.sources.push_back({mix_[static_cast<size_t>(j)].up.data(), lines_[static_cast<size_t>(j)].gain});
    }
    for (size_t k = 0; k < s.groupPlay.size(); k++)
      if (s.groupPlayGroup[k] == g) s.sources.push_back({s.groupPlay[k].data(), 0});
  };
  // Downstream of every line.
  // A far end that sent nothing in a frame adds nothing to a mix, so one
  // voice among silent members still passes unchanged.
  card::Frame own;
  for (size_t i = 0; i < lines_.size(); i++) {
    Line& l = lines_[i];
    card::MixLine& m = mix_[i];
    s.sources.clear();
    if (card::PlayFrame(&l.play, t, own.data())) s.sources.push_back({own.data(), 0});
    if (l.partner >= 0 && static_cast<size_t>(l.partner) < lines_.size() && mix_[static_cast<size_t>(l.partner)].upSound)
      s.sources.push_back({mix_[static_cast<size_t>(l.partner)].up.data(), 0});
    if (l.group >= 0 && l.group < confCount_) addGroup(l.group, static_cast<int>(i));
    card::HeardFrame hf;
    if (!card::Combine(s.sources.data(), s.sources.size(), hf.bytes.data())) continue;
    hf.tick = t;
    m.heard.push_back(hf);
    while (m.heard.size() > card::kHeardFrames ||
           static_cast<uint32_t>(t - m.heard.front().tick) >= card::kHeardMs)
      m.heard.pop_front();
  }
  // Records: a line's takes its upstream, a group's the group's mix.
  for (size_t i = 0; i < lines_.size(); i++)
    if (lines_[i].rec.active && mix_[i].upSet) WriteRecordFrame(&lines_[i].rec, t, mix_[i].up.data());
  for (auto& [h, v] : confVoices_) {
    if (!v.record || !v.rec.active) continue;
    card::Frame f;
    f.fill(card::kALawSilence);
    if (v.group >= 0 && v.group < confCount_) {
      s.sources.clear();
      addGroup(v.group, -1);
      card::Combine(s.sources.data(), s.sources.size(), f.data());
    }
    WriteRecordFrame(&v.rec, t, f.data());
  }
}

// Frames passed over: nobody hears them, but records keep their length,
// line records with what was fed.
void SimCard::SkipFrames(uint32_t frames) {
  uint32_t until = mixTick_ + frames * card::kFrameMs;
  auto fill = [&](RecordState* r, std::deque<uint8_t>* feed) {
    if (!r->active) return;
    uint64_t due = static_cast<uint64_t>(std::max<int32_t>(0, static_cast<int32_t>(until - r->startTick))) * 8;
    due = std::min(due, r->limit);
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
  };
  for (Line& l : lines_) fill(&l.rec, &l.feed);
  for (auto& [h, v] : confVoices_)
    if (v.record) fill(&v.rec, nullptr);
  mixTick_ = until;
}

std::vector<uint8_t> SimCard::HeardAudio(int index, uint32_t ms) {
  std::vector<uint8_t> out;
  if (!started_ || index < 0 || static_cast<size_t>(index) >= lines_.size()) return out;
  Mix(TickCount());
  ms = std::min(ms, card::kHeardMs) / card::kFrameMs * card::kFrameMs;
  uint32_t from = mixTick_ - ms;
  out.assign(static_cast<size_t>(ms) * 8, card::kALawSilence);
  for (const card::HeardFrame& f : mix_[static_cast<size_t>(index)].heard) {
    int32_t d = static_cast<int32_t>(f.tick - from);
    if (d < 0 || static_cast<uint32_t>(d) >= ms) continue;
    memcpy(out.data() + static_cast<size_t>(d) * 8, f.bytes.data(), card::kFrameSamples);
  }
  return out;
}

}  // namespace plat
