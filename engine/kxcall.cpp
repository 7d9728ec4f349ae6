#include "engine/kxcall.h"

#include <cstring>
#include <ctime>

#include "core/cpumeter.h"
#include "core/log.h"
#include "engine/speechhooks.h"
#include "platform/path.h"
#include "platform/tick.h"

int32_t NowSeconds() { return static_cast<int32_t>(std::time(nullptr)); }

const char* LineTypeName(int type) {
  static const char* const names[] = {"VIR", "A_EX", "A_IN", "REC", "DIG", "H323", "SIP", "VOIP", "FAX"};
  return type >= 0 && type <= 8 ? names[type] : "OTH";
}

int TagCfgTones::Set(int key, const int32_t params[9]) {
  if (key < 250 || key > 256) return -1;
  TagSignalTone& t = tones_[key];
  t.values[0] = key;
  for (int i = 0; i < 9; ++i) t.values[i + 1] = params ? params[i] : 0;
  return 0;
}

TagKxCall::TagKxCall() { interrupted.Bind(nullptr, &wakeup); }

TagKxCall::~TagKxCall() { DeletePlayer(); }

void TagKxCall::Log(const std::string& text) const { LogF("lcnt=%d, %s", lineNo, text.c_str()); }

void TagKxCall::LogAlways(const std::string& text) const { LogAlwaysF("lcnt=%d, %s", lineNo, text.c_str()); }

int TagKxCall::OutCall(const std::string&, int, int) {
  callState = kCallConnected;
  return 0;
}

int TagKxCall::WaitRing(int) {
  callState = kCallConnected;
  return 0;
}

int TagKxCall::IsRings(int) {
  callState = kCallRinging;
  return 1;
}

int TagKxCall::IsRinging(std::string& caller, std::string& callee) {
  int r = IsRings(2);
  if (r != 0) {
    GetCallerId(caller);
    GetCalleeId(callee);
  }
  return r;
}

int TagKxCall::SipGetPeerMsg(std::string& a, std::string& b, int) {
  a.clear();
  b.clear();
  return 0;
}

int TagKxCall::GetCallerId(std::string& out) {
  out.clear();
  return 0;
}

int TagKxCall::GetCalleeId(std::string& out) {
  out.clear();
  return 0;
}

int TagKxCall::GetFirstCalleeId(std::string& out) {
  out.clear();
  return 0;
}

int TagKxCall::CheckDial() {
  callState = kCallConnected;
  return 1;
}

int TagKxCall::GetHookState() { return (lineType == kLineVir || callState == kCallConnected) ? 1 : 0; }

int TagKxCall::RecvFskMsg(int& number, std::string& text, int) {
  number = 0;
  text.clear();
  return 0;
}

int TagKxCall::SetSigPara(int type, int value) {
  if (type == 1 || type == 2) {
    sigPara[type - 1] = value;
    return 0;
  }
  return -1;
}

void TagKxCall::SetVolume(int value, int type) {
  if (type == 1)
    volume[1] = value;
  else if (type == 2)
    volume[2] = value;
  else
    volume[0] = value;
}

// --- sound-card play ---

namespace {
std::atomic<PcPlayerMaker> g_pcPlayerMaker{nullptr};
}

void SetPcPlayerMaker(PcPlayerMaker maker) { g_pcPlayerMaker.store(maker); }

void TagKxCall::DeletePlayer() { pcPlayer.reset(); }

bool TagKxCall::StartPlayer(const std::string& file, int32_t offset) {
  if (!pcPlayer) {
    PcPlayerMaker maker = g_pcPlayerMaker.load();
    if (maker) pcPlayer = maker(file, volume[1], offset);
    return pcPlayer != nullptr;
  }
  if (pcPlayer->Play(file, volume[1], offset) != 0) {
    DeletePlayer();
    return false;
  }
  return true;
}

int TagKxCall::PcPlay(const std::string& file, int loop, int wait, uint8_t breakKey) {
  if (!StartPlayer(file, 0)) return -2;
  pcPlayer->SetLoop(loop != 0);
  if (loop != 0 || wait == 0) return 0;
  while (interrupted == 0 && pcPlayer && !pcPlayer->IsDone()) {
    if (breakKey && KeysLen() > 0) {
      pcPlayer->Stop();
      plat::SleepMs(200);
    }
    PollState();
    WaitMs(30);
  }
  return 0;
}

int TagKxCall::PlayFile(const std::string& file, uint8_t breakKey, int) {
  StopPlay();
  return PcPlay(file, 0, 1, breakKey);
}

int TagKxCall::StartLoopPlay(const std::string& file) {
  if (!StartPlayer(file, 0)) return -2;
  pcPlayer->SetLoop(false);
  loopFile = file;
  loopBytesPerMs_ = pcPlayer->BytesPerSecond() / 1000;
  if (loopBytesPerMs_ <= 0) loopBytesPerMs_ = 8;
  loopPlay = 1;
  playStartTick = plat::TickCount();
  playPos = 0;
  return 0;
}

int TagKxCall::IsPcPlayEnd() { return pcPlayer ? (pcPlayer->IsDone() ? 1 : 0) : 1; }

int TagKxCall::KeysLen() {
  if (loopPlay && IsPcPlayEnd()) StartLoopPlay(loopFile);
  return 0;
}

void TagKxCall::StopPlay() {
  if (loopPlay) {
    // Resume where the loop had got to, at the file's own byte rate.
    int64_t pos = static_cast<int64_t>(playPos) +
                  static_cast<int64_t>(plat::TickCount() - playStartTick) * loopBytesPerMs_;
    playPos = pos > INT32_MAX ? INT32_MAX : static_cast<int32_t>(pos);
    loopPlay = 0;
  }
  DeletePlayer();
}

int TagKxCall::ReLoopPlay() {
  if (loopPlay) return -1;
  if (loopFile.empty()) return -2;
  if (!StartPlayer(loopFile, playPos)) return -3;
  pcPlayer->SetLoop(false);
  playStartTick = plat::TickCount();
  loopPlay = 1;
  return playPos;
}

int TagKxCall::PollState() {
  ServeHangupRequest();
  int32_t state = callState;
  if (state != prevState) {
    if (state == kCallConnected) connectTime = NowSeconds();
    prevState = state;
  } else if (state == kCallConnected && maxTalkTime > 0 && !talkTimeHangup &&
             NowSeconds() - connectTime > maxTalkTime) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Hangup On MaxTalkTime(%d).", maxTalkTime);
    Log(buf);
    talkTimeHangup = true;
    Hangup();
    talkTimeHangup = false;
    prevState = callState;
  }
  return callState == kCallConnected ? 1 : 0;
}

int TagKxCall::TxtSpeak(const std::string& text, int fileFlag, int xmlFlag, int onPc) {
  if (onPc == 0) return -1;
  StopPlay();
  auto make = SpeechHooks().makePcSpeaker;
  if (!make) {
    LogAlways("TxtSpeak: no speech engine on this system");
    return -1;
  }
  std::unique_ptr<TagPcSpeaker> voice = make(-1, &interrupted.Raw());
  int r = voice->Speak(text, fileFlag, xmlFlag);
  if (r == 0) {
    // The engine's first sound comes late; the wait still ends with the line.
    for (int waited = 0; waited < 1800 && interrupted.load() == 0; waited += 30) WaitMs(30);
    while (interrupted.load() == 0 && !voice->IsDone()) WaitMs(30);
  }
  voice.reset();
  return r;
}
