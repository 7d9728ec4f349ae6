#include "lines/cardcall.h"

#include <atomic>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "core/log.h"
#include "core/monitor.h"
#include "lines/carddrive.h"
#include "lines/cardkeys.h"
#include "lines/vocfile.h"
#include "platform/card/card.h"
#include "platform/path.h"
#include "platform/tick.h"
#include "platform/wave.h"

namespace {

std::atomic<KeysModeLookup> g_keysMode{nullptr};

// The last card push, shared by every line; read and written under the card lock.
uint32_t g_lastPushTick = 0;
constexpr uint32_t kPushEveryMs = 200;

std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

using plat::Format;

int ByteLimit(int seconds) {
  int64_t limit = static_cast<int64_t>(seconds) * 8192;
  if (limit < 0) return 0;
  return limit > INT_MAX ? INT_MAX : static_cast<int>(limit);
}

}  // namespace

// ---------------------------------------------------------------- files

bool IsWaveFileName(const std::string& file) {
  return file.size() > 4 && Upper(file.substr(file.size() - 4)) == ".WAV";
}

int AlawFileToWave(const std::string& rawFile, const std::string& waveFile) {
  FILE* in = plat::OpenFile(rawFile, "rb");
  if (!in) return -1;
  FILE* out = plat::OpenFile(waveFile, "wb");
  if (!out) {
    std::fclose(in);
    return -2;
  }
  std::fseek(in, 0, SEEK_END);
  long len = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
  if (len < 0) len = 0;
  bool ok = WriteWaveHeader(out, 18, 6, static_cast<uint32_t>(len));
  uint8_t buf[2048];
  size_t n;
  while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0) ok = std::fwrite(buf, 1, n, out) == n;
  std::fclose(in);
  if (std::fclose(out) != 0) ok = false;
  return ok ? 0 : -2;
}

int RenameRecordedWave(const std::string& file) {
  if (file.size() <= 4) return -1;
  if (!IsWaveFileName(file)) return 0;
  std::string path = plat::ResolvePath(file);
  std::string raw = path.substr(0, path.size() - 4) + "._wa";
  std::remove(raw.c_str());
  if (std::rename(path.c_str(), raw.c_str()) != 0) return -1;
  int r = AlawFileToWave(raw, path);
  if (r == 0) {
    std::remove(raw.c_str());
  } else {
    std::remove(path.c_str());
    std::rename(raw.c_str(), path.c_str());
  }
  return r;
}

// ---------------------------------------------------------------- keys

void SetKeysModeLookup(KeysModeLookup lookup) { g_keysMode.store(lookup); }

KeysModeLookup GetKeysModeLookup() { return g_keysMode.load(); }

bool IsCardKey(int c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd');
}

bool ScanKeys(const char* buffer, int maxCount, int endKey, std::string* out, size_t* consumed) {
  const size_t cap = maxCount > 0 ? std::min<size_t>(static_cast<size_t>(maxCount), kGetKeysOutMax) : kGetKeysOutMax;
  auto isEnd = [endKey](char c) {
    if (endKey == 0) return false;
    if (c == '#' || c == static_cast<char>(endKey)) return true;
    return (endKey == '*' || endKey == '.') && (c == '*' || c == '.');
  };
  out->clear();
  for (size_t i = 0; buffer[i]; ++i) {
    char c = buffer[i];
    if (isEnd(c)) {
      if (c != '#') out->push_back(c);
      *consumed = i + 1;
      return true;
    }
    out->push_back(c);
    if (out->size() >= cap) {
      *consumed = i + 1;
      return true;
    }
  }
  *consumed = 0;
  return false;
}

std::string TimedOutKeys(const char* buffer, int maxCount) {
  const size_t cap = maxCount > 0 ? std::min<size_t>(static_cast<size_t>(maxCount), kGetKeysOutMax) : kGetKeysOutMax;
  return std::string(buffer, std::min(std::strlen(buffer), cap));
}

void AppendKey(char* keys, int c) {
  size_t n = std::strlen(keys);
  if (n >= kKeysBufferMax) return;
  keys[n] = static_cast<char>(std::toupper(c));
  keys[n + 1] = '\0';
}

void DropKeys(char* keys, size_t count) {
  size_t n = std::strlen(keys);
  if (count > n) count = n;
  std::memmove(keys, keys + count, n - count + 1);
}

// ---------------------------------------------------------------- base

TagCardBaseCall::~TagCardBaseCall() { interrupted = 1; }

void TagCardBaseCall::MarkLoop(LoopMark loop, const std::string& file) {
  if (loop == LoopMark::kNone) return;
  // Set with the play's start under the card lock: a stop from another line
  // either comes first (and the loop is not marked) or sees the loop on.
  loopPlay = 1;
  playStartTick = plat::TickCount();
  if (loop == LoopMark::kStart) {
    loopFile = file;
    playPos = 0;
  }
}

void TagCardBaseCall::ShowKeys() {
  KeysModeLookup lookup = g_keysMode.load();
  int mode = lookup ? lookup(lineNo) : 1;
  if (mode < 0) return;
  DispKeys(lineNo, keys, mode);
}

void TagCardBaseCall::SaveLoopPosition() {
  if (loopPlay) {
    int64_t pos = static_cast<int64_t>(playPos) + 8 * static_cast<int64_t>(plat::TickCount() - playStartTick);
    playPos = pos > INT32_MAX ? INT32_MAX : static_cast<int32_t>(pos);
    loopPlay = 0;
  }
}

std::string TagCardBaseCall::StopConfAndTakeRecord(plat::SimCard& c) {
  if (confRecordHandle >= 0) {
    c.ConfStopRecord(confRecordHandle);
    confRecordHandle = -1;
  }
  if (confPlayHandle >= 0) {
    c.ConfStopPlay(confPlayHandle);
    confPlayHandle = -1;
  }
  std::string finish;
  if (recording && !recordFile.empty()) finish = recordFile;
  recording = 0;
  return finish;
}

bool TagCardBaseCall::KeysTimedOut(uint32_t now, uint32_t lastKey, uint32_t start, int totalSeconds) const {
  bool keyOver = keyTime > 0 && static_cast<uint32_t>(now - lastKey) > static_cast<uint32_t>(keyTime) * 1000u;
  bool totalOver =
      totalSeconds > 0 && static_cast<uint32_t>(now - start) > static_cast<uint32_t>(totalSeconds) * 1000u;
  return keyOver || totalOver;
}

int TagCardBaseCall::StartCardPlay(const std::string& file, int position, LoopMark loop) {
  // The card gets the name as it resolves on this system; the upper-cased
  // form only decides the mode and goes into the log.
  std::string path = plat::ResolvePath(file);
  std::string upper = Upper(path);
  int mode = position + (upper.find(".WAV") != std::string::npos ? WaveModeOffset() : 0);
  int r;
  {
    plat::CardLock g(CardCard());
    // A linked line plays into its group, where its partners hear it.
    if (conf->group >= 0) {
      r = GroupPlay(path);
      if (r < 0) return r;
    } else {
      r = CardPlayFile(path, mode);
    }
    if (r >= 0) {
      chPlayActive = 1;
      MarkLoop(loop, file);
    }
  }
  if (r < 0) {
    LogAlways(Format("Play '%s' Err: %d", upper.c_str(), r));
    return r;
  }
  Log(upper);
  return 0;
}

bool TagCardBaseCall::PlayFinished() {
  plat::SimCard& c = CardCard();
  int voice;
  {
    plat::CardLock g(c);
    if (confPlayHandle >= 0) return c.VoiceFinished(confPlayHandle) != 0;
    if (!chPlayActive) return true;
    voice = CardPlayVoice();
    if (voice >= 0) return c.VoiceFinished(voice) != 0;
    // The play is gone with its voice: forget it before hanging up.
    chPlayActive = 0;
    loopPlay = 0;
  }
  LogAlways(Format("VoiceID<0: %d", voice));
  Hangup();
  return true;
}

void TagCardBaseCall::RestartFinishedLoop() {
  bool on;
  {
    plat::CardLock g(CardCard());
    on = loopPlay != 0;
  }
  if (on && PlayFinished()) StartLoopPlay(loopFile);
}

int TagCardBaseCall::ReLoopPlay() {
  std::string file;
  int32_t pos;
  {
    plat::CardLock g(CardCard());
    if (loopPlay) return -1;
    if (loopFile.empty()) return -2;
    if (conf->group >= 0) return -3;
    file = loopFile;
    pos = playPos;
  }
  if (StartCardPlay(file, pos, LoopMark::kResume) < 0) return -3;
  return 0;
}

int TagCardBaseCall::Record(const std::string& file, int maxSeconds, uint8_t stopOnHash) {
  plat::SimCard& c = CardCard();
  std::string path = plat::ResolvePath(file);
  bool started;
  {
    plat::CardLock g(c);
    if (conf->group >= 0)
      started = GroupRecord(path, ByteLimit(maxSeconds)) == 0;
    else
      started = RecordStarted(CardRecordFile(path, ByteLimit(maxSeconds)));
    if (started) chRecActive = 1;
  }
  if (!started) return -1;
  int result = 0;
  while (!interrupted) {
    if (!StillConnected()) {
      result = -1;
      break;
    }
    ReadKeys();
    if (stopOnHash && std::strchr(keys, '#')) {
      PollState();
      StopPlay();
      for (int i = 0; i < 5; ++i) {
        plat::SleepMs(100);
        PollState();
        if (RecordFinished()) break;
        plat::SleepMs(80);
      }
      result = 0;
      break;
    }
    if (RecordFinished()) {
      result = 1;
      break;
    }
    plat::SleepMs(RecordPollMs());
  }
  StopPlay();
  RenameRecordedWave(path);
  return result;
}

int TagCardBaseCall::StartRecord(const std::string& file, int maxSeconds) {
  plat::SimCard& c = CardCard();
  std::string path = plat::ResolvePath(file);
  plat::CardLock g(c);
  recordFile.clear();
  if (conf->group >= 0) {
    if (GroupRecord(path, ByteLimit(maxSeconds)) < 0) return -1;
    chRecActive = 1;
    recording = 1;
    recordFile = path;
    return 0;
  }
  int r = CardRecordFile(path, ByteLimit(maxSeconds));
  if (!RecordStarted(r)) {
    Log(Format("Record(%s) Error : %d", file.c_str(), r));
    return -1;
  }
  chRecActive = 1;
  recording = 1;
  recordFile = path;
  return 0;
}

int TagCardBaseCall::KeysLen() {
  ReadKeys();
  keyCount = static_cast<int32_t>(std::strlen(keys));
  return keyCount;
}

// ---------------------------------------------------------------- digital

TagCardDigitCall::TagCardDigitCall(int ch, TagCardDigitDrive* d)
    : TagCardBaseCall(d), channel(ch), link(ch / 30), slot(ch % 30) {
  card = d;
  lineNo = ch;
  lineType = kLineDig;
  volume[0] = volume[1] = volume[2] = 100;
  lineClosed = 0;
  keyTime = 0;
  callState = kCallNone;
  interrupted = 0;
}

plat::SimCard& TagCardBaseCall::CardCard() { return drive->Card(); }

int TagCardDigitCall::CardPlayFile(const std::string& path, int mode) {
  return drive->Card().ChannelPlayFile(channel, path, mode, -1);
}

int TagCardDigitCall::CardPlayVoice() { return drive->Card().ChannelPlayVoice(channel); }

int TagCardDigitCall::CardRecordFile(const std::string& path, int maxBytes) {
  return drive->Card().ChannelRecordFile(channel, path, recPos, maxBytes);
}

void TagCardDigitCall::PushCard() {
  plat::SimCard& c = drive->Card();
  plat::CardLock g(c);
  uint32_t now = plat::TickCount();
  if (static_cast<uint32_t>(now - g_lastPushTick) > kPushEveryMs) {
    c.Push();
    g_lastPushTick = now;
  }
}

int TagCardDigitCall::PollCard() {
  ServeHangupRequest();
  PushCard();
  RestartFinishedLoop();
  return 0;
}

bool TagCardDigitCall::RecordFinished() {
  plat::SimCard& c = drive->Card();
  plat::CardLock g(c);
  if (!chRecActive) return true;
  if (confRecordHandle >= 0) return c.VoiceFinished(confRecordHandle) != 0;
  return c.VoiceFinished(c.ChannelRecordVoice(channel)) != 0;
}

void TagCardDigitCall::LocalPlay(const std::string& file) {
  if (!IsWaveFileName(file) || !plat::FileExists(file)) return;
  plat::PlaySoundAsync(plat::ResolvePath(file));
}

void TagCardDigitCall::StopPlay() {
  plat::SimCard& c = drive->Card();
  std::string finish;
  {
    plat::CardLock g(c);
    SaveLoopPosition();
    dialling = 0;
    finish = StopConfAndTakeRecord(c);
    if (c.TrunkLinkedUser(channel) >= 0) c.ClearLinkTrunkAndUserByTrunk(channel);
    if (c.ChannelRecordVoice(channel) >= 0) {
      c.StopChannelRecord(channel);
    } else {
      int v = c.ChannelPlayVoice(channel);
      if (v >= 0) {
        if (c.VoicePlayingFile(v) == 1) {
          c.StopChannelPlay(channel);
        } else if (c.VoicePlayingIndex(v) == 1) {
          c.StopChannelIndexPlay(channel);
          c.StopChannelPlay(channel);
          c.FreeVoice(v);
        }
      }
    }
    chPlayActive = 0;
    chRecActive = 0;
  }
  // The record is closed now; its file is wrapped outside the card lock.
  if (!finish.empty() && RenameRecordedWave(finish) < -1) Log("FreeCh: Err.");
}

int TagCardDigitCall::PlayFile(const std::string& file, uint8_t breakKey, int pcFlag) {
  if (pcFlag) {
    LocalPlay(file);
    return -1;
  }
  if (breakKey && keys[0]) {
    Log(Format("Play Interrupted: [%c:0x%02x] Keys=[%s]", keys[0], static_cast<unsigned char>(keys[0]), keys));
    return 1;
  }
  StopPlay();
  int r = StartCardPlay(file, 0);
  if (r < 0) return r;
  int result = 0;
  while (!interrupted && PollState()) {
    plat::SleepMs(40);
    if (PlayFinished()) {
      result = 1;
      break;
    }
    plat::SleepMs(40);
    ReadKeys();
    if (breakKey && keys[0]) {
      Log("Keys()");
      result = 0;
      break;
    }
    plat::SleepMs(100);
  }
  StopPlay();
  return result;
}

int TagCardDigitCall::StartLoopPlayOn(const std::string& file, int pcFlag) {
  StopPlay();
  if (pcFlag) {
    LocalPlay(file);
    return -1;
  }
  int r = StartCardPlay(file, 0, LoopMark::kStart);
  if (r < 0) {
    Log(Format("StartPlayFile(%s) Error : %d", file.c_str(), r));
    return -1;
  }
  return 0;
}

void TagCardDigitCall::ReadKeys() {
  PollState();
  bool any = false;
  // The pause after each key must not hide a release: the call is looked at
  // again before the next key, and a released call takes no more.
  while (!interrupted) {
    int k = drive->Card().ReadChannelDtmf(channel);
    if (!IsCardKey(k)) break;
    AppendKey(keys, k);
    any = true;
    plat::SleepMs(50);
    PollState();
    if (callState == kCallReleased) break;
  }
  if (any) ShowKeys();
}

void TagCardDigitCall::ClearKeys() {
  ReadKeys();
  keys[0] = '\0';
  keyCount = 0;
  drive->Card().ClearChannelDtmf(channel);
  ShowKeys();
}

int TagCardDigitCall::SendKeys(const std::string& k) {
  drive->Card().SendChannelDtmf(channel, k);
  while (!interrupted && PollState()) {
    if (drive->Card().ChannelDtmfSent(channel)) break;
    plat::SleepMs(100);
  }
  return 0;
}

int TagCardDigitCall::GetKeys(std::string& out, int maxCount, int totalSeconds, int endKey) {
  out.clear();
  uint32_t start = plat::TickCount();
  uint32_t lastKey = start;
  size_t seen = std::strlen(keys);
  while (!interrupted) {
    ReadKeys();
    size_t consumed = 0;
    if (ScanKeys(keys, maxCount, endKey, &out, &consumed)) {
      DropKeys(keys, consumed);
      int n = static_cast<int>(out.size());
      Log(Format("GetKeys('%s'), len=%d.", out.c_str(), n));
      return n;
    }
    out.clear();
    if (!PollState()) return -1;
    uint32_t now = plat::TickCount();
    if (KeysTimedOut(now, lastKey, start, totalSeconds)) {
      out = TimedOutKeys(keys, maxCount);
      ClearKeys();
      Log("GetKeys() timeout");
      return -1;
    }
    size_t len = std::strlen(keys);
    if (len > seen) {
      lastKey = now;
    } else {
      plat::SleepMs(65);
    }
    seen = len;
  }
  return -1;
}

int TagCardDigitCall::OutCall(const std::string& number, int, int) {
  int r = Dial(number);
  Log(Format("Dial(%s) : %d, conn=%d", number.c_str(), r, callState.load()));
  if (r < 0) return r;
  dialling = 1;
  uint32_t start = plat::TickCount();
  int c = 0;
  bool timedOut = false;
  while (!interrupted && dialling && callState == kCallIdle) {
    c = CheckDial();
    if (c != 0) {
      if (c != 2 || dialPara[0]) {
        Log(Format("CheckDial() : %d, conn=%d", c, callState.load()));
        break;
      }
      plat::SleepMs(120);
    } else if (static_cast<uint32_t>(plat::TickCount() - start) > connectWaitMs) {
      Log("Connect TimeOut");
      Hangup();
      timedOut = true;
      break;
    } else {
      plat::SleepMs(220);
    }
  }
  dialling = 0;
  if (callState == kCallConnected) {
    Log("Connect OK");
    return 0;
  }
  // A call that never connected is not a success.
  if (timedOut) return kOutCallTimeout;
  if (c == 0 || c == 2) return kOutCallInterrupted;
  return c;
}

int TagCardDigitCall::GetCallerId(std::string& out) {
  out = callerNumber;
  return static_cast<int>(out.size());
}

int TagCardDigitCall::GetCalleeId(std::string& out) {
  out = calledNumber;
  return static_cast<int>(out.size());
}
