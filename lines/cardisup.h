#pragma once
// A digital channel with ISUP signalling: the channel state read on every
// poll, the wait for an incoming call with its IAM, the ACM the line builds
// itself, answering, releasing, and the call-out with its progress.
#include <atomic>
#include <cstdint>
#include <string>

#include "lines/cardcall.h"
#include "platform/card/isupmsg.h"

class TagCardIsupCall : public TagCardDigitCall {
 public:
  TagCardIsupCall(int channel, TagCardDigitDrive* drive);
  ~TagCardIsupCall() override;

  void SetFirstCalleeId(const std::string& text, int value) override;
  int WaitRing(int n) override;
  int IsRings(int n) override;
  int SetCharge(int flag) override;
  int Answer(uint8_t flag) override;
  int IsRinging(std::string& caller, std::string& called) override;
  void Hangup() override;
  int GetCallerId(std::string& out) override;
  int GetCalleeId(std::string& out) override;
  int GetFirstCalleeId(std::string& out) override;
  int Dial(const std::string& number) override;
  int CheckDial() override;
  int PollState() override;
  int PollCard() override;
  // True once the channel is idle; false after the wait or when interrupted.
  int WaitUnblocked(int timeoutMs) override;

  // Reads the channel state, logging a change.
  int ReadChState();

  uint8_t acmSeen = 0;
  int redirectCode = 0;
  uint8_t mobileCallee = 0;
  uint8_t iamPending = 0;
  // Call-out events read from the card and not yet handled: reading them
  // clears them on the card, and one check handles only one of them.
  int pendingEvents = 0;
  plat::card::IamInfo iam;
  // How long Dial waits for a blocked channel to become idle.
  uint32_t unblockWaitMs = 40000;

 private:
  void Connected();
};

// ISUP dumps written at log levels above 1; the ACM counter is process-wide.
std::string IamDumpName(int channel, int bytes);
std::string NextAcmDumpName(int channel);
