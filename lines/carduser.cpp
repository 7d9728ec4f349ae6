#include "lines/carduser.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/format.h"
#include "core/log.h"
#include "lines/carddrive.h"
#include "lines/cardkeys.h"
#include "platform/card/card.h"
#include "platform/card/isupmsg.h"
#include "platform/path.h"
#include "platform/tick.h"
#include "platform/wave.h"

namespace {

using plat::Format;

}  // namespace

bool TagCardUserCall::Pause(uint32_t ms) {
  uint32_t start = plat::TickCount();
  while (!interrupted && static_cast<uint32_t>(plat::TickCount() - start) < ms) plat::SleepMs(50);
  return !interrupted;
}

TagCardUserCall::TagCardUserCall(int lineNumber, int p, TagCardDigitDrive* d) : TagCardBaseCall(d), port(p) {
  card = d;
  lineNo = lineNumber;
  int type = d->Card().AnalogPortType(p);
  if (type == 0)
    lineType = kLineAIn;
  else if (type == 1)
    lineType = kLineAEx;
  lineClosed = 0;
  callState = kCallNone;
  isBlock = 0;
  interrupted = 0;
}

int TagCardUserCall::CardIndex() const { return drive->digitalCount + port; }

// ---------------------------------------------------------------- media

int TagCardUserCall::CardPlayFile(const std::string& path, int mode) {
  return drive->Card().PortPlayFile(port, path, mode, -1);
}

int TagCardUserCall::CardPlayVoice() { return drive->Card().PortPlayVoice(port); }

int TagCardUserCall::CardRecordFile(const std::string& path, int maxBytes) {
  return drive->Card().PortRecordFile(port, path, recPos, maxBytes);
}

bool TagCardUserCall::RecordFinished() {
  plat::SimCard& c = drive->Card();
  int voice;
  {
    plat::CardLock g(c);
    if (!chRecActive) return true;
    if (confRecordHandle >= 0) return c.VoiceFinished(confRecordHandle) != 0;
    voice = c.PortRecordVoice(port);
    if (voice >= 0) return c.VoiceFinished(voice) != 0;
    chRecActive = 0;
  }
  LogAlways(Format("VoiceID<0: %d", voice));
  Hangup();
  return true;
}

void TagCardUserCall::StopPlay() {
  plat::SimCard& c = drive->Card();
  std::string finish;
  {
    plat::CardLock g(c);
    SaveLoopPosition();
    dialling = 0;
    if (IsUserPort()) c.StopRing(port);
    if (chPlayActive) c.StopPortPlay(port);
    if (chRecActive) c.StopPortRecord(port);
    finish = StopConfAndTakeRecord(c);
    chPlayActive = 0;
    chRecActive = 0;
  }
  // The record is closed now; its file is wrapped outside the card lock.
  if (!finish.empty()) RenameRecordedWave(finish);
}

int TagCardUserCall::PlayFile(const std::string& file, uint8_t breakKey, int pcFlag) {
  if (pcFlag) {
    if (IsWaveFileName(file) && plat::FileExists(file)) plat::PlaySoundAsync(plat::ResolvePath(file));
    return -1;
  }
  if (breakKey && keys[0]) return 1;
  StopPlay();
  if (StartCardPlay(file, 0) < 0) return -1;
  int result = 0;
  while (!interrupted && GetHookState()) {
    PollState();
    if (PlayFinished()) {
      result = 1;
      break;
    }
    ReadKeys();
    if (breakKey && keys[0]) {
      result = 0;
      break;
    }
    plat::SleepMs(220);
  }
  StopPlay();
  Log("EndPlay.");
  return result;
}

int TagCardUserCall::StartLoopPlay(const std::string& file) {
  if (StartCardPlay(file, 0, LoopMark::kStart) < 0) {
    Log(Format("StartPlayFile(%s) Error : %d", file.c_str(), -1));
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- keys

void TagCardUserCall::ReadKeys() {
  PollState();
  bool any = false;
  for (;;) {
    int k = drive->Card().ReadPortDtmf(port);
    if (!IsCardKey(k) || (k >= 'a' && k <= 'd')) break;
    AppendKey(keys, k);
    any = true;
  }
  if (any) ShowKeys();
}

void TagCardUserCall::ClearKeys() {
  keys[0] = '\0';
  keyCount = 0;
  drive->Card().ClearPortDtmf(port);
  ShowKeys();
}

int TagCardUserCall::GetKeys(std::string& out, int maxCount, int totalSeconds, int endKey) {
  out.clear();
  uint32_t start = plat::TickCount();
  uint32_t lastKey = start;
  size_t seen = std::strlen(keys);
  while (!interrupted) {
    ReadKeys();
    size_t consumed = 0;
    if (ScanKeys(keys, maxCount, endKey, &out, &consumed)) {
      DropKeys(keys, consumed);
      return static_cast<int>(out.size());
    }
    out.clear();
    size_t len = std::strlen(keys);
    if (len > seen) {
      seen = len;
      plat::SleepMs(100);
      lastKey = plat::TickCount();
      continue;
    }
    if (!GetHookState()) return -1;
    PollState();
    uint32_t now = plat::TickCount();
    if (KeysTimedOut(now, lastKey, start, totalSeconds)) {
      out = TimedOutKeys(keys, maxCount);
      ClearKeys();
      return -1;
    }
    plat::SleepMs(130);
  }
  return -1;
}

// ---------------------------------------------------------------- hook and calls

int TagCardUserCall::GetHookState() {
  if (!IsUserPort()) return callState == kCallConnected ? 1 : 0;
  int off = drive->Card().HookState(port);
  int32_t implied = off ? kCallConnected : kCallReleased;
  if (implied != callState) {
    Log(off ? "On" : "Off");
    ClearKeys();
    callState = implied;
    if (implied == kCallConnected) connectTime = NowSeconds();
  }
  return off;
}

int TagCardUserCall::PollState() {
  RestartFinishedLoop();
  TagKxCall::PollState();
  plat::SleepMs(20);
  if (IsUserPort()) return GetHookState();
  return callState == kCallConnected ? 1 : 0;
}

void TagCardUserCall::Hangup() {
  StopPlay();
  callState = kCallReleased;
  if (!IsUserPort()) {
    drive->Card().PortOnHook(port);
    ClearKeys();
  }
}

int TagCardUserCall::OutCall(const std::string& number, int, int) {
  if (IsUserPort()) {
    Hangup();
    return -1;
  }
  plat::SimCard& c = drive->Card();
  c.PortOnHook(port);
  Pause(450);
  c.PortOffHook(port);
  callState = kCallIdle;
  if (!Pause(2000)) {
    Hangup();
    return kOutCallInterrupted;
  }
  if (c.PortDial(port, number) <= 0) {
    Hangup();
    return -1;
  }
  dialling = 1;
  uint32_t start = plat::TickCount();
  while (!interrupted && dialling && callState == kCallIdle &&
         static_cast<uint32_t>(plat::TickCount() - start) <= connectWaitMs) {
    RestartFinishedLoop();
    if (c.PortConnected(port)) {
      c.StopPortPlay(port);
      callState = kCallConnected;
      connectTime = NowSeconds();
    } else {
      plat::SleepMs(120);
    }
  }
  dialling = 0;
  int32_t s = callState;
  if (s == kCallConnected) {
    Log("Connect OK");
    return 0;
  }
  if (s == kCallIdle && interrupted) {
    // A stopped line did not time out: say so, and put the port back on hook.
    Hangup();
    return kOutCallInterrupted;
  }
  if (s == kCallIdle) {
    Hangup();
    Log("Connect Failed, TimeOut");
    return -2;
  }
  if (s == kCallReleased || s == kCallBusy || s == kCallNoAnswer) {
    Log("Connect Failed");
    return -3;
  }
  return -4;
}

int TagCardUserCall::MakeRing(const std::string& number) {
  plat::SimCard& c = drive->Card();
  if (!IsUserPort() || c.HookState(port) != 0) return 0;
  int r = c.StartRing(port);
  Log(Format("CardUser_StartRing(): %d", r));
  if (!number.empty()) {
    for (int i = 0; i < 15 && Pause(100); ++i) RestartFinishedLoop();
    std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    // The length byte is one byte: the number is cut inside the builder.
    std::vector<uint8_t> msg = plat::card::BuildFskCallerId(lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, number);
    int s = c.FskSend(port, msg.data(), static_cast<int>(msg.size()), 1);
    if (s < 0) {
      Log(Format("CardFsk_SendFSK('%s') : %d", number.c_str(), s));
    } else {
      for (int i = 0; i < 50 && !interrupted; ++i) {
        if (c.FskSendStatus(port, 1) != 0) break;
        plat::SleepMs(70);
        RestartFinishedLoop();
      }
      c.FskStop(port, 1);
    }
  }
  callState = kCallIdle;
  return 0;
}
