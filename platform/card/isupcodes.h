#pragma once
// Numbers the card and the ISUP line pass each other: channel states, the
// messages a line sends, call-out events and release causes. The far end's
// commands (STATE, WAIT, ANSWER, REL, CPG) show and take the same numbers,
// so none of them may change.
namespace plat::card {

// IsupChannelState of a digital channel; analog ports keep kChanNotIsup.
enum ChannelState : int {
  kChanNotIsup = 0,
  kChanIdle = 1,
  kChanReleasedByFar = 2,  // the far end released; the line completes it
  kChanAcmSent = 3,        // incoming call, the line sent its ACM
  kChanCallingOut = 4,     // IAM of a call-out sent
  kChanBlocked = 6,
  kChanAnswered = 7,       // incoming call answered by the line
  kChanOutAnswered = 8,    // call-out answered (ANM)
  kChanIncoming = 9,       // IAM of an incoming call arrived
  kChanOutConnected = 10,  // call-out answered (CON)
};

// IsupSendMessage's message numbers.
enum LineMessage : int {
  kMsgReleaseComplete = 1,
  kMsgAnswer = 5,
  kMsgRelease = 7,
};

// The answer message's indicator.
enum AnswerCharge : int {
  kAnswerNoCharge = 1,
  kAnswerCharge = 2,
};

// IsupCalloutEvents bits.
enum CalloutEvent : int {
  kEventAcm = 0x08,
  kEventCpg = 0x10,
};

// Release causes (Q.850) the line tells apart.
enum ReleaseCause : int {
  kCauseUnallocated = 1,
  kCauseNormalClearing = 16,
  kCauseUserBusy = 17,
  kCauseNoUserResponding = 18,
  kCauseNoAnswer = 19,
  kCauseCallRejected = 21,
};

}  // namespace plat::card
