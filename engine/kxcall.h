#pragma once
// The abstract call object of one telephone line. Every line owns one for its
// whole life; each new call overwrites the per-call state of the previous one.
// The defaults let a script run on any line whether or not its class supports
// a feature: unsupported features give harmless results.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/runflag.h"
#include "platform/wakeup.h"

class TagKxCard;

// The sound-card player behind the base's PC play. The lines folder makes
// them; see SetPcPlayerMaker.
class TagPcPlayer {
 public:
  virtual ~TagPcPlayer() = default;
  // Plays another file on the same player: 0, or negative when it cannot.
  virtual int Play(const std::string& file, int volume, int startOffset) = 0;
  virtual void Stop() = 0;
  virtual bool IsDone() const = 0;
  virtual void SetLoop(bool loop) = 0;
  virtual uint32_t BytesPerSecond() = 0;
};
// Opens file on the default sound device at a byte offset of its audio and
// starts it; null when it cannot.
using PcPlayerMaker = std::unique_ptr<TagPcPlayer> (*)(const std::string& file, int volume, int32_t startOffset);
// Installed once by the lines folder's registration; without it PC play fails.
void SetPcPlayerMaker(PcPlayerMaker maker);

// One signal tone: its key and nine parameters.
struct TagSignalTone {
  int32_t values[10] = {};
};

class TagCfgTones {
 public:
  void Clear() { tones_.clear(); }
  // Keys 250 to 256; -1 for any other key.
  int Set(int key, const int32_t params[9]);
  const std::map<int, TagSignalTone>& Tones() const { return tones_; }

 private:
  std::map<int, TagSignalTone> tones_;
};

// Call states.
enum : int32_t {
  kCallNone = -1,
  kCallIdle = 0,
  kCallConnected = 1,
  kCallReleased = 2,
  kCallBusy = 4,
  kCallNoAnswer = 5,
  kCallRinging = 6,
  kCallUnallocated = 8,
  kCallDialFailed = 11,
  kCallHungUpSection = 12,
  kCallOtherCause = 13,
};

// Line types.
enum : uint8_t { kLineVir = 0, kLineAEx, kLineAIn, kLineRec, kLineDig, kLineH323, kLineSip, kLineVoip, kLineFax };
const char* LineTypeName(int type);

class TagKxCall {
 public:
  TagKxCall();
  virtual ~TagKxCall();
  TagKxCall(const TagKxCall&) = delete;
  TagKxCall& operator=(const TagKxCall&) = delete;

  // --- the virtual operations, in their order ---
  virtual int ReLoopPlay();
  virtual void SetCallerId(const std::string& text) { callerId = text; }
  virtual void SetSubAddr(const std::string& a, const std::string& b) {
    subAddr[0] = a;
    subAddr[1] = b;
  }
  virtual void SetFirstCalleeId(const std::string& text, int value) {
    firstCalleeId = text;
    firstCalleeValue = value;
  }
  virtual void OpenLine() { lineClosed = 0; }
  virtual void CloseLine() { lineClosed = 1; }
  virtual void ClearKeys() {}
  virtual int OutCall(const std::string& number, int a, int b);
  virtual int WaitRing(int timeout);
  virtual int IsRings(int mode);
  virtual int SetCharge(int flag) { return 1; }
  virtual int Answer(uint8_t flag) { return flag; }
  virtual int IsRinging(std::string& caller, std::string& callee);
  virtual int SipGetPeerMsg(std::string& a, std::string& b, int size);
  virtual int PlayFile(const std::string& file, uint8_t breakOnKey, int flag);
  virtual int PlayMemory(const uint8_t* data, int zero, int length, int zero2, uint8_t breakKey) { return 0; }
  virtual int StartLoopPlay(const std::string& file);
  virtual int PcPlay(const std::string& file, int loop, int wait, uint8_t breakOnKey);
  virtual int IsPcPlayEnd();
  virtual int Record(const std::string& file, int maxSeconds, uint8_t breakKey) { return 0; }
  virtual int StartRecord(const std::string& file, int param) { return 0; }
  virtual int GetKeys(std::string& out, int maxCount, int timeout, int endKey) { return 0; }
  virtual int SetKeyTime(int value) { return keyTime = value; }
  virtual int SendKeys(const std::string& digits) { return 0; }
  virtual int KeysLen();
  virtual void StopPlay();
  virtual void Hangup() { callState = kCallReleased; }
  virtual int GetCallerId(std::string& out);
  virtual int GetCalleeId(std::string& out);
  virtual int GetFirstCalleeId(std::string& out);
  virtual void SetFaxLocalId(const std::string& text) {}
  virtual void GetFaxResource(int& count1, int& count2) { count1 = count2 = 0; }
  virtual int SendFax(const std::string& file) { return 0; }
  virtual int RecvFax(const std::string& file) { return 0; }
  virtual int TxtSpeak(const std::string& text, int fileFlag, int xmlFlag, int onPc);
  virtual int TxtSpeakToFile(const std::string& text, const std::string& file, int a, int b) { return 0; }
  virtual int SetNobkringAns(uint8_t flag) { return noRingbackAnswer = flag; }
  virtual int GetNobkringAns() { return noRingbackAnswer; }
  virtual void SetVolume(int value, int type);
  virtual void SetBusyPara(int a, int b, int c) {}
  virtual void SetRingbackPara(int a, int b, int c) {}
  virtual void SetSignalFreqPara(int a, int b, int c) {}
  virtual void EnableLineSpeaker(int flag) {}
  virtual int LinkTo(int line, int flag) { return 0; }
  virtual int UnlinkTo(int line, int flag) { return 0; }
  virtual int UnlinkAll() { return 0; }
  virtual int ListenTo(int line, int flag) { return 0; }
  virtual int GetLinkList(std::vector<int>& lines, std::vector<int>& listen, std::vector<int>& values) { return 0; }
  virtual int SetBreak(uint8_t flag) { return breakOnKey = flag; }
  virtual int Dial(const std::string& number) { return 0; }
  // Instant messages. Outputs are references the implementation fills; the
  // defaults leave them as they came (empty) and return 0.
  virtual int ImSend(const std::string& to, const std::string& from, const std::string& body, int bodyLen) { return 0; }
  virtual int ImTest() { return 0; }
  virtual int ImRead(std::string& a, std::string& b, std::string& c, std::string& d) { return 0; }
  virtual int ImRecv(std::string& text, int& number) { return 0; }
  virtual int ImMsgGetField(int msg, const std::string& field, const std::string& def, std::string& out) { return 0; }
  virtual int ImMakeAns(int msg, int code, const std::string& a, const std::string& b, const std::string& c,
                        const std::string& d) {
    return 0;
  }
  virtual int ImMsgFree(int msg) { return 0; }
  // Eight texts and the identifier buffer (a new identifier when it was empty).
  virtual int ImMakeReq(const std::vector<std::string>& texts, std::string& id) { return 0; }
  virtual int ImFileSend(const std::string& file, std::string& id, int& n1, std::string& t1, int& n2, std::string& t2) {
    return 0;
  }
  virtual int ImFileRecv(int transfer, const std::string& text, int option, int& n1, std::string& a, std::string& b,
                         std::string& c, int& n2, std::string& t) {
    return 0;
  }
  virtual int ImFileCheck(int transfer, int& a, int& b) { return 0; }
  virtual int ImFileEnd(int transfer) { return 0; }
  virtual int ImFileProcAnswer(const std::string& text) { return 0; }
  virtual int CheckDial();
  virtual int MakeRing(const std::string& number) { return 0; }
  virtual int GetHookState();
  virtual int TransferTo(const std::string& number) { return 0; }
  virtual int PollState();
  virtual int LinkCall(TagKxCall* other) { return 0; }
  virtual int UnlinkCall() {
    linkedCall = nullptr;
    return 0;
  }
  virtual int StartRtp() { return 0; }
  virtual int EndRtp() { return 0; }
  virtual int GetCallType() { return 0; }
  virtual int SendFskMsg(int type, const std::string& data, int len) { return 0; }
  // An FSK message received: its number and text (at most 1024 bytes); the
  // third value is the script's.
  virtual int RecvFskMsg(int& number, std::string& text, int third);
  // SIP. Outputs are references the implementation fills.
  virtual int SipGetDestAddr(const std::string& dest, std::string& addr) { return -1; }
  virtual int SipGetAccAddr(const std::string& a, const std::string& b, std::string& addr, int& number) { return -1; }
  virtual int SipSetDialRoute(const std::string& a, const std::string& b) { return 0; }
  virtual int SipGetRtpCount(int& a, int& b) { return 0; }
  // The SIP layer calls these back on its own thread (see operations/sip.h).
  using AccPwdFn = int (*)(const std::string& account, std::string& out1, std::string& out2);
  using AccPwdIpFn = int (*)(const std::string& account, std::string& out1, std::string& out2, std::string& out3);
  using RegisterNotifyFn = int (*)(const std::string& a, const std::string& b, int x, int y);
  virtual int SipOnGetAccPwd(AccPwdFn fn) { return 0; }
  virtual int SipOnGetAccPwdIp(AccPwdIpFn fn) { return 0; }
  virtual int SipOnRegisterNotify(RegisterNotifyFn fn) { return 0; }
  virtual int CreateConfRoom(int& isSipConf, int& session) { return -1; }
  virtual int JoinConfRoom(int session, int isSipConf, int isListen) { return -1; }
  virtual int LeaveConfRoom(int session, int isSipConf) { return -1; }
  virtual int CloseConfRoom(int session, int isSipConf) { return -1; }
  virtual int StartConfRecord(int session, int isSipConf, const std::string& file, int& handle) {
    handle = 0;
    return -1;
  }
  virtual int StopConfRecord(int session, int isSipConf, int handle) { return -1; }
  virtual int StartConfChRecord(int channel, const std::string& file, int& handle) { return -1; }
  virtual int StopConfChRecord(int handle) { return -1; }
  virtual int StartConfPlay(int session, int isSipConf, const std::string& file, int& handle) {
    handle = 0;
    return -1;
  }
  virtual int IsConfPlayEnd(int session, int isSipConf, int handle) { return -1; }
  virtual int StopConfPlay(int session, int isSipConf, int handle) { return -1; }
  virtual int SipProxyRecv(std::string& first, std::string& second, int& number, std::string& third) { return 0; }
  // def is null when the script gave null.
  virtual int SipProxyGetField(int msg, const std::string& field, const std::string* def, std::string& out) {
    return 0;
  }
  virtual int SipProxyAddField(int msg, const std::string& field, const std::string& value, int pos) { return 0; }
  virtual int SipProxyRemoveField(int msg, const std::string& field) { return 0; }
  virtual int SipProxySend(int msg, const std::string& dest) { return 0; }
  virtual int SipProxySendEx(int msg, const std::string& dest, int option) { return 0; }
  virtual int SipProxyDirAns(int msg, int code, const std::string& text) { return 0; }
  virtual int SipProxySendKeepAlives(const std::string& a, const std::string& b) { return 0; }
  virtual int SipUnregisterSpecUser(const std::string& user) { return 0; }
  virtual int SipSetRtpAddr(const std::string& addr, int port, const std::string& third) { return 0; }
  virtual int SetSigPara(int type, int value);
  virtual int SetSigParaStr(int type, const std::string& text) { return 0; }
  virtual int SipGetAccStat(const std::string& account) { return 0; }
  virtual int IsMediaOk() { return 1; }
  virtual int GetChState() { return 0; }
  // Digital classes only; the base does nothing.
  virtual int PollCard() { return 0; }
  virtual int WaitUnblocked(int timeout) { return 0; }
  // Whether PlayMemory makes a sound. No line class of this system does, so
  // preloaded voices are played from their files.
  virtual bool CanPlayMemory() const { return false; }

  // The operator's hang-up from the main window: only a request, which the
  // line's own thread carries out at its next poll or statement.
  void RequestHangup() {
    hangupRequested.store(1);
    wakeup.Notify();
  }
  // Hangs up when a request is waiting; true when it did. Line thread only.
  bool ServeHangupRequest() {
    if (hangupRequested.load(std::memory_order_relaxed) == 0 || hangupRequested.exchange(0) == 0) return false;
    Hangup();
    return true;
  }

  // Named conference rooms (engine/confrooms.h), through the room slots above.
  // Join: the room's member count, -2 the room cannot be created, -3 the join failed.
  int JoinNameConf(const std::string& room, int isListen);
  // The session left, or 0; the last member out closes the room.
  int ExitNameConf();
  int GetConfMembers(const std::string& room, std::map<int, int>* members);
  int FindConfOfLine(int line, int32_t* isListen, std::string* room, int32_t* session);
  // The handle; -1 no room, -2 already recording or playing, -3 failed.
  int RecNameConf(const std::string& room, const std::string& file);
  int PlayNameConf(const std::string& room, const std::string& file, int wait);
  // 0 started, the elapsed ms of a running member record, -1 no member, -3 failed.
  int RecNameConfCh(const std::string& room, int line, const std::string& file);

  // "lcnt=%d, %s" through Log / LogAlways.
  void Log(const std::string& text) const;
  void LogAlways(const std::string& text) const;

  // --- public fields ---
  char name[81] = {};
  // Where the line's thread sleeps while it waits for the card's far end or
  // the operator's keys; hang-up requests, interruptions and stops of the
  // line's scripts notify it.
  plat::Wakeup wakeup;
  // The longest a waiting line sleeps without a notice (1000 ms): it still
  // looks now and then at what nothing notifies (and pushes the card's
  // shared work). Tests lengthen it to show that the notices arrive; 0
  // restores it.
  static uint32_t IdleWaitMs() { return idleWaitMs_.load(std::memory_order_relaxed); }
  static void SetIdleWaitForTest(uint32_t ms) { idleWaitMs_.store(ms ? ms : kIdleWaitMs); }
  static constexpr uint32_t kIdleWaitMs = 1000;
  // Notifies the wakeup when raised.
  TagRunFlag interrupted;
  static inline std::atomic<uint32_t> idleWaitMs_{kIdleWaitMs};
  std::atomic<uint8_t> hangupRequested{0};
  int32_t lineNo = 0;
  std::atomic<int32_t> isBlock{0};
  std::atomic<int32_t> callState{kCallNone};
  int32_t prevState = kCallNone;
  int32_t maxTalkTime = 0;
  // Set while the talk-time hang-up runs: a class's hang-up polls the state
  // again, and that poll must not hang up once more.
  bool talkTimeHangup = false;
  std::atomic<int32_t> connectTime{0};
  uint8_t noRingbackAnswer = 0;
  int32_t volume[3] = {100, 100, 100};  // general, play (type 1), type 2
  uint8_t lineClosed = 0;
  uint8_t breakOnKey = 1;
  char keys[1028] = {};
  int32_t keyCount = 0;
  int32_t keyTime = 0;
  int32_t dialFailedMode = 0;
  std::unique_ptr<TagPcPlayer> pcPlayer;
  TagKxCard* card = nullptr;
  std::atomic<uint8_t> lineType{kLineVir};
  uint8_t loopPlay = 0;
  std::string loopFile;
  uint32_t playStartTick = 0;
  int32_t playPos = 0;
  std::string outCallNumber;
  std::string callerId;
  std::string subAddr[2];
  int32_t acmBci[2] = {};
  int32_t causeId = 0;
  std::string firstCalleeId;
  int32_t firstCalleeValue = 0;
  TagCfgTones tones;
  int32_t dialPara[2] = {};
  uint8_t rawData[512] = {};
  int32_t rawRecvLen = 0;
  int32_t rawSendLen = 0;
  int32_t mediaChannel = 0;
  TagKxCall* linkedCall = nullptr;
  int32_t callType = 0;
  int32_t hangupCause = 0;
  int32_t recPos = 0;
  int32_t isLastExitConf = 0;
  int32_t sigPara[2] = {-1, -1};

 protected:
  // Starts file on the player (a new one, or the current one reused) at a
  // byte offset of its audio data; false (and no player) when it cannot.
  bool StartPlayer(const std::string& file, int32_t offset);
  void DeletePlayer();
  // Bytes per millisecond of the loop file's audio, for resuming at the place
  // the loop had reached (8 for A-law, 16 for 16-bit PCM).
  int32_t loopBytesPerMs_ = 8;
};

// Seconds of the calendar clock (the talk-time reference).
int32_t NowSeconds();
