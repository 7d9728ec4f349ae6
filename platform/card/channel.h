#pragma once
// The software card's channel model: what it keeps per digital channel or
// analog port, per conference voice and per fax channel. Only the card and
// its far end use it; both hold the card lock.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/card/faxmodem.h"
#include "platform/card/isupcodes.h"
#include "platform/card/voicefile.h"

namespace plat::card {

// Play start offsets given for a ".WAV" name: the header's length as the
// callers count it.
constexpr int kDigitalWave = 200;
constexpr int kAnalogWave = 90;
// Conference voices get handles from here up, above every channel voice.
constexpr int kConfVoiceBase = 100000;
constexpr uint32_t kDtmfOutMs = 100;  // one key's tone and pause
// The far end's keys reach the card no faster than a telephone line carries
// them: a tone of about 40 ms and a pause of as much.
constexpr uint32_t kDtmfInMs = 80;
constexpr size_t kKeyQueueMax = 1024;
constexpr size_t kPlayedMax = 64;

inline bool IsWaveName(const std::string& name) {
  std::string u = name;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u.find(".WAV") != std::string::npos;
}

inline bool IsKey(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D') ||
         (c >= 'a' && c <= 'd');
}

struct PlayState {
  bool active = false;
  std::string file;
  int mode = 0;
  VoiceInfo info;
  uint64_t startSample = 0;
  uint32_t startTick = 0;
  uint64_t played = 0;  // samples, when stopped
  bool stopped = false;
  // The file sample the play ends before: its length, or where it was
  // stopped. The mixer reads the file up to there in chunks.
  uint64_t endSample = 0;
  std::vector<uint8_t> chunk;
  uint64_t chunkFrom = 0;
  bool chunkFailed = false;
};

struct RecordState {
  bool active = false;
  std::string file;
  FILE* fp = nullptr;
  uint64_t limit = 0;
  uint64_t written = 0;
  uint32_t startTick = 0;
};

struct PlayEntry {
  std::string file;
  int mode = 0;
  uint32_t startTick = 0;
  uint64_t samples = 0;  // played so far
  bool ended = false;    // reached its end (not stopped)
  VoiceInfo info;
  uint64_t startSample = 0;
};

// A key from the far end and the tick it reaches the card.
struct KeyIn {
  char key = 0;
  uint32_t due = 0;
};

struct Callout {
  std::string number, calling, firstCallee;
  uint8_t params[6] = {0, 0, 0, 0, 0, 0};
  uint32_t tick = 0;
};

struct Line {
  bool digital = true;
  int port = -1;
  int portType = 0;
  PlayState play;
  RecordState rec;
  bool recVoice = false;  // a record voice is held from record start to its stop
  std::deque<KeyIn> dtmfIn;  // in order of arrival, the due ones first
  uint32_t dtmfInLast = 0;   // the tick the last queued key arrives
  std::string dtmfSent;
  uint32_t dtmfOutTick = 0;
  size_t dtmfOutPending = 0;
  std::deque<uint8_t> feed;
  std::vector<PlayEntry> played;
  int playIndex = -1;  // entry of the running play
  // analog
  bool offHook = false;
  bool ringing = false;
  uint32_t ringTick = 0;
  int ringStarts = 0;
  std::string dialled;
  bool connected = false;
  std::vector<uint8_t> fsk;
  std::vector<std::vector<uint8_t>> fskSent;
  uint32_t fskTick = 0;
  bool fskActive = false;
  // ISUP
  int state = kChanIdle;
  std::vector<uint8_t> lastRaw;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<std::pair<int, int>> messages;
  int events = 0;
  int cause = 0;
  std::string calling, called;
  uint8_t params[6] = {0, 0, 0, 0, 0, 0};
  std::string firstCallee;
  std::vector<Callout> callouts;
  // switching and conference
  int partner = -1;  // card index joined by two-party switching
  int group = -1;
  bool listen = false;
  int gain = 0;  // join gain in dB, how the others hear this member
};

// Queues the far end's keys one tone and pause behind the last key; after a
// quiet spell the first arrives at once. Keys the line has not read yet do
// not make the new ones come in a burst.
inline void QueueKeys(Line* l, const std::string& keys, uint32_t now) {
  for (char c : keys) {
    if (!IsKey(c)) continue;
    bool quiet = static_cast<int32_t>(now - l->dtmfInLast) >= static_cast<int32_t>(kDtmfInMs);
    uint32_t due = quiet ? now : l->dtmfInLast + kDtmfInMs;
    l->dtmfIn.push_back({c, due});
    l->dtmfInLast = due;
  }
}

// The next key that has arrived by now, or 0.
inline char TakeKey(Line* l, uint32_t now) {
  if (l->dtmfIn.empty() || static_cast<int32_t>(now - l->dtmfIn.front().due) < 0) return 0;
  char c = l->dtmfIn.front().key;
  l->dtmfIn.pop_front();
  return c;
}

// The far end stops keying (the caller hung up): keys still to come are dropped.
inline void DropKeysToCome(Line* l, uint32_t now) {
  while (!l->dtmfIn.empty() && static_cast<int32_t>(now - l->dtmfIn.back().due) < 0) l->dtmfIn.pop_back();
  l->dtmfInLast = l->dtmfIn.empty() ? now - kDtmfInMs : l->dtmfIn.back().due;
}

// Every key is gone, those still to come as well: what the line clears is
// never heard at a later prompt.
inline void ClearKeys(Line* l, uint32_t now) {
  l->dtmfIn.clear();
  l->dtmfInLast = now - kDtmfInMs;  // the next key may come at once
}

struct ConfVoice {
  bool record = false;
  int group = -1;
  PlayState play;
  RecordState rec;
};

struct FaxChannel {
  bool linked = false;
  int line = -1;
  bool running = false;
  bool receive = false;
  std::string file, id;
  uint32_t startTick = 0;
  int state = 0;
  int forced = 0;  // far-end end state, 0 when none
  int recvResult = 0;
  // With a fax machine at the line's far end: this channel's modem, the
  // tick its audio started and the samples exchanged so far.
  std::shared_ptr<FaxModem> modem;
  uint32_t audioTick = 0;
  uint64_t audioSamples = 0;
};

// The far end's fax machine on a line: it sends its file to the line's fax
// channel, or receives what the channel sends into its file. Used once.
struct FarFax {
  bool send = false;
  std::string file, ident;
  std::shared_ptr<FaxModem> modem;
  bool running = false;
  bool done = false;
  int result = 0;  // 0 good, else the T.30 completion code
  int pages = 0;
  int width = 0;
  std::string remoteId;
};

}  // namespace plat::card
