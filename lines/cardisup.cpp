#include "lines/cardisup.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "lines/carddrive.h"
#include "platform/card/card.h"
#include "platform/card/isupcodes.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

namespace card = plat::card;

std::atomic<int> g_acmDumps{0};

constexpr size_t kRawMax = 300;

using plat::Format;

void Dump(const TagKxCall& call, const std::string& name, const uint8_t* bytes, size_t n) {
  FILE* f = plat::OpenFile(name, "w+b");
  if (!f) {
    call.Log(Format("cannot create %s", name.c_str()));
    return;
  }
  std::fwrite(bytes, 1, n, f);
  std::fclose(f);
}

}  // namespace

std::string IamDumpName(int channel, int bytes) { return Format("iam%02d_%d.dat", channel, bytes); }

std::string NextAcmDumpName(int channel) { return Format("acm%02d_%d.dat", channel, g_acmDumps.fetch_add(1)); }

TagCardIsupCall::TagCardIsupCall(int ch, TagCardDigitDrive* d) : TagCardDigitCall(ch, d) {
  iam = plat::card::IamInfo{};
  chState = -1;
  chargeFlag = 1;
  iamPending = 0;
}

TagCardIsupCall::~TagCardIsupCall() { interrupted = 1; }

void TagCardIsupCall::Connected() {
  callState = kCallConnected;
  connectTime = NowSeconds();
}

int TagCardIsupCall::ReadChState() {
  int s = drive->Card().IsupChannelState(link, slot);
  if (s != chState) Log(Format("[%d:%d], chState=%d, 0x%x", link, slot, s, static_cast<unsigned>(s)));
  chState = s;
  return s;
}

int TagCardIsupCall::PollCard() {
  drive->Card().IsupPump();
  return TagCardDigitCall::PollCard();
}

int TagCardIsupCall::PollState() {
  if (interrupted) return 0;
  TagKxCall::PollState();
  PollCard();
  switch (ReadChState()) {
    case card::kChanIdle:
      isBlock = 0;
      return 0;
    case card::kChanReleasedByFar:
      StopPlay();
      drive->Card().IsupSendMessage(link, slot, card::kMsgReleaseComplete, 0);
      callState = kCallReleased;
      return 0;
    case card::kChanBlocked:
      isBlock = 1;
      return 0;
    case card::kChanOutAnswered:
    case card::kChanIncoming:
    case card::kChanOutConnected:
      return 1;
    default:
      return callState == kCallConnected ? 1 : 0;
  }
}

int TagCardIsupCall::WaitUnblocked(int timeoutMs) {
  uint32_t limit = timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : unblockWaitMs;
  uint32_t start = plat::TickCount();
  while (!interrupted) {
    PollState();
    if (chState == card::kChanIdle) return 1;
    if (static_cast<uint32_t>(plat::TickCount() - start) > limit) return 0;
    plat::SleepMs(120);
  }
  return 0;
}

int TagCardIsupCall::IsRinging(std::string& caller, std::string& called) {
  if (!PollState() || chState != card::kChanIncoming) {
    iamPending = 0;
    return 0;
  }
  uint8_t buf[kRawMax] = {};
  int n = drive->Card().IsupReadRawMessage(link, slot, buf, sizeof buf);
  if (n < 0) n = 0;
  if (n > static_cast<int>(sizeof buf)) n = sizeof buf;
  iam = plat::card::IamInfo{};
  if (n >= 4) {
    if (logLevel > 1) Dump(*this, IamDumpName(channel, n), buf, static_cast<size_t>(n));
    // Bounded by the length the card returned, whatever the message claims.
    int r = plat::card::DecodeIam(buf, static_cast<size_t>(n), &iam);
    Log(Format("iam.Init()=%d, iam.redirCase=%d, caller[%s], called[%s], firstCalled[%s]", r, iam.redirCase,
               iam.caller.c_str(), iam.called.c_str(), iam.firstCalled.c_str()));
  }
  calledNumber = iam.called;
  callerNumber = iam.caller;
  caller = iam.caller;
  called = iam.called;
  iamPending = 1;
  return 1;
}

int TagCardIsupCall::SetCharge(int flag) {
  if (!iamPending) return 0;
  chargeFlag = static_cast<uint8_t>(flag != 0);
  Connected();
  iamPending = 0;
  std::vector<uint8_t> acm = plat::card::BuildAcm(flag != 0, iam.redirCase, iam.called);
  int r = drive->Card().IsupSendRawFrame(link, slot, acm.data(), static_cast<int>(acm.size()));
  Log(Format("CardIsup_SendRawFrame(ACM, %d, %d, n=%d): ret=%d", link, slot, static_cast<int>(acm.size()),
             static_cast<int>(static_cast<uint8_t>(r))));
  if (dialPara[0]) Connected();
  return flag;
}

int TagCardIsupCall::Answer(uint8_t flag) {
  if (callState != kCallConnected) return 0;
  plat::SimCard& c = drive->Card();
  calledNumber = c.IsupCalledNumber(link, slot);
  callerNumber = c.IsupCallingNumber(link, slot);
  c.IsupSendMessage(link, slot, card::kMsgAnswer, flag ? card::kAnswerCharge : card::kAnswerNoCharge);
  ClearKeys();
  Connected();
  return 0;
}

int TagCardIsupCall::WaitRing(int n) {
  ClearKeys();
  if (n < 1) return -1;
  callerNumber.clear();
  calledNumber.clear();
  std::string caller, called;
  while (!interrupted) {
    if (IsRinging(caller, called)) {
      iamPending = 1;
      Connected();
      SetCharge(chargeFlag);
      Answer(chargeFlag);
      break;
    }
    // Until the far end changes the channel or the line is interrupted; the
    // time-out only keeps the card's shared work pushed now and then.
    wakeup.Wait(IdleWaitMs());
  }
  if (!interrupted) ClearKeys();
  return 0;
}

int TagCardIsupCall::IsRings(int n) {
  if (n <= 0) return 0;
  std::string caller, called;
  if (!IsRinging(caller, called)) return 0;
  iamPending = 1;
  Connected();
  SetCharge(chargeFlag);
  Answer(chargeFlag);
  ClearKeys();
  return 1;
}

int TagCardIsupCall::GetCallerId(std::string& out) {
  out = drive->Card().IsupCallingNumber(link, slot);
  return 0;
}

int TagCardIsupCall::GetCalleeId(std::string& out) {
  int32_t s = callState;
  if (s != kCallIdle && s != kCallDialFailed) {
    out = drive->Card().IsupCalledNumber(link, slot);
    return 0;
  }
  out = outCallNumber;
  return redirectCode;
}

int TagCardIsupCall::GetFirstCalleeId(std::string& out) {
  out = iam.firstCalled;
  return iam.redirCase;
}

void TagCardIsupCall::SetFirstCalleeId(const std::string& text, int value) {
  firstCalleeId = text;
  redirectCode = value;
  drive->Card().IsupSetFirstCallee(link, slot, text);
  if (!text.empty()) Log(Format("SetFirstCalleeId(%s).", text.c_str()));
}

int TagCardIsupCall::Dial(const std::string& number) {
  callState = kCallIdle;
  redirectCode = 0;
  acmSeen = 0;
  mobileCallee = 0;
  pendingEvents = 0;
  if (!WaitUnblocked(0)) {
    LogAlways("WaitUnblocked() err, timeout");
    Hangup();
    return -1;
  }
  ClearKeys();
  callState = kCallIdle;
  std::string calling = callerId.substr(0, 20);
  int r;
  {
    plat::SimCard& c = drive->Card();
    plat::CardLock g(c);
    const uint8_t params[6] = {1, 255, 255, 255, 255, 255};
    c.IsupSetCalloutParams(link, slot, params);
    r = c.IsupCallout(link, slot, number, calling);
  }
  if (r > 0) {
    mobileCallee = number.size() > 10 && (number.rfind("13", 0) == 0 || number.rfind("15", 0) == 0);
    Log(Format("CardIsup_Callout('%s', localCode='%s')", number.c_str(), calling.c_str()));
    return 0;
  }
  Hangup();
  LogAlways(Format("CardIsup_Callout(%d, %d, '%s' -> '%s') fail: %d", link, slot, calling.c_str(), number.c_str(), r));
  return -1;
}

int TagCardIsupCall::CheckDial() {
  int32_t s = callState;
  if (s == kCallConnected) return 1;
  if (s != kCallIdle) return -3;
  PollCard();
  plat::SimCard& c = drive->Card();
  int st = ReadChState();
  if (st == card::kChanOutAnswered || st == card::kChanOutConnected) {
    Connected();
    return 1;
  }
  if (st == card::kChanReleasedByFar) {
    int cause = c.IsupReleaseCause(link, slot);
    int result;
    switch (cause) {
      case card::kCauseUserBusy:
        callState = kCallBusy;
        result = -3;
        break;
      case card::kCauseNoUserResponding:
      case card::kCauseNoAnswer:
        callState = kCallNoAnswer;
        result = -2;
        break;
      case card::kCauseUnallocated:
        callState = kCallUnallocated;
        result = -4;
        break;
      case card::kCauseCallRejected:
        callState = kCallOtherCause;
        result = -5;
        break;
      default:
        callState = kCallOtherCause;
        result = -6;
        break;
    }
    Log(Format("remote REL: iCause=0x%02x, %d", cause, cause));
    Hangup();
    return result;
  }
  int events = pendingEvents | c.IsupCalloutEvents(link, slot);
  pendingEvents = 0;
  if (!acmSeen && (events & card::kEventAcm)) {
    pendingEvents = events & ~card::kEventAcm;  // a CPG that came with it waits for the next check
    uint8_t buf[kRawMax] = {};
    int n = c.IsupReadRawMessage(link, slot, buf, sizeof buf);
    if (n < 0) n = 0;
    if (n > static_cast<int>(sizeof buf)) n = sizeof buf;
    acmSeen = 1;
    Log(Format("CALLOUT_REV_ACM: %d", n));
    if (n >= 3) {
      if (logLevel > 1) Dump(*this, NextAcmDumpName(channel), buf, static_cast<size_t>(n));
      plat::card::AcmInfo acm;
      plat::card::DecodeAcm(buf, static_cast<size_t>(n), mobileCallee != 0, &acm);
      LogF("BCI=%02X %02X", acm.bci1, acm.bci2);
      if (acm.mobileIdle)
        ::Log(GBK("手机空闲"));
      else if (acm.calledStatus == 0)
        ::Log(GBK("被叫忙"));
      if (acm.redirCase >= 1) {
        outCallNumber = acm.redirection;
        redirectCode = acm.redirCase;
        Log(Format("Redirected To: %s, redirCase=%d", acm.redirection.c_str(), acm.redirCase));
      } else if (acm.calledStatus != 0) {
        redirectCode = -1;
      } else {
        redirectCode = -3;
        Log(GBK("acm: 被叫不空闲"));
      }
    }
    if (dialPara[0]) {
      Connected();
      return 2;
    }
    return 0;
  }
  if (events & card::kEventCpg) {
    if (logLevel > 1) Log("CALLOUT_REV_CPG");
    int cause = c.IsupReleaseCause(link, slot);
    if (cause == card::kCauseUserBusy)
      callState = kCallBusy;
    else if (cause == card::kCauseNoUserResponding || cause == card::kCauseNoAnswer)
      callState = kCallNoAnswer;
    else if (cause == card::kCauseUnallocated)
      callState = kCallUnallocated;
  }
  s = callState;
  if (s == kCallIdle) return 0;
  Log("Connect Failed");
  Hangup();
  if (s == kCallBusy) return -3;
  if (s == kCallNoAnswer) return -2;
  if (s == kCallUnallocated) return -4;
  return -1;
}

void TagCardIsupCall::Hangup() {
  SetFirstCalleeId("", 0);
  if (!interrupted) {
    PollState();
    drive->Card().IsupSendMessage(link, slot, card::kMsgRelease, 0);
    StopPlay();
  }
  int32_t s = callState;
  if (s == kCallReleased || s == kCallDialFailed || s == kCallNone || s == kCallHungUpSection) return;
  if (!interrupted) PollState();
  callState = kCallReleased;
  ClearKeys();
}
