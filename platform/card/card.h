#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/card/channel.h"
#include "platform/card/config.h"
#include "platform/card/mixer.h"
#include "platform/wakeup.h"

// The software card: an E1 card with ISUP signalling, analog ports, DTMF,
// play and record on files, switching, conference groups, a fax pool and FSK
// caller identification. Callers poll; time moves on by the tick count, so
// a play ends after its file's length without any thread of the card.
//
// Addressing: a card index runs over the digital channels (E1 link * 30 +
// time slot) and then the analog ports. Calls name a digital channel, an
// (E1 link, time slot) pair or an analog port as each states.
//
// Every call takes the card lock, which is re-entrant so that a caller may
// hold it across a short fixed sequence of calls (Lock/Unlock or CardLock).
//
// Audio: every line has an upstream (what its far end sends: the fed audio,
// else silence) and a downstream (what its far end hears), made in 20 ms
// frames for all lines together whenever the card is pushed or polled:
// downstream = own play + two-party partner's upstream + the other talking
// members of its group at their join gains + plays into the group. A single
// source at 0 dB passes its A-law bytes unchanged; several are decoded,
// summed, clipped and encoded. A line record takes its upstream, a group
// record the group's mix. Fed audio is taken only while something uses the
// line's upstream (its record, a link or a group), so what a test feeds
// before a record waits for it. Join gains are in dB for both conference
// interfaces, clamped to -60..+20. The far end hears the last 60 s.
//
// Conference blocks: groups come in blocks of 16, each group bringing four
// member places that its block shares; a block's count (ConfBlockCount) is
// its free member places, so a block qualifies for a new group while it has
// room for two members, and its last free group is not passed over.
//
// Forced failures: a role listed under [Fail] in SimCard.ini makes that call
// give the listed result. Roles (upper-case names in the comments): START,
// PLAY, RECORD, RING, DIAL, LINK, CONFOLD, CONFNEW, JOIN, CONFPLAY,
// CONFRECORD, FAX, FAXLINK, FAXSEND, FAXRECV, ISUP, CALLOUT, RAWFRAME, FSK,
// FSKSEND.
namespace plat {

class SimCardFarEnd;
class SimCardControl;

class SimCard {
 public:
  // The card reads its shape from iniPath when it is started.
  explicit SimCard(std::string iniPath = "SimCard.ini");
  ~SimCard();
  SimCard(const SimCard&) = delete;
  SimCard& operator=(const SimCard&) = delete;

  // The card lock, for a caller's fixed sequence of calls (see CardLock).
  void Lock();
  void Unlock();
  // Nanoseconds the card lock has been held, outermost holds only.
  uint64_t LockHeldNs() const { return heldNs_.load(std::memory_order_relaxed); }

  // ---- card (START) ----
  // 0 started; -1 without SimCard.ini (or a refused one); else the forced result.
  int Start(const std::string& text, const std::string& promptIni);
  void Stop();
  bool Started() const { return started_.load(); }
  // The card's periodic work; callers push it at most every 200 ms.
  void Push();
  int InitDigitalChannels();
  int DigitalChannelCount();
  int AnalogPortCount();
  long SerialNumber(int which);
  int SetAnalogLevels(int a, int b);
  // The library's port type: 0 user, 1 trunk, 2, or another number.
  int AnalogPortType(int port);
  // A trunk port goes off hook / on hook; on a user port they only prepare it.
  int PortOffHook(int port);
  int PortOnHook(int port);
  int EnablePort(int port);
  // The wakeup of the line waiting on a card index (null: none). The far end
  // notifies it whenever it changes that channel, so the line need not poll
  // while it waits. It stays across a restart of the card.
  void SetChannelWakeup(int index, Wakeup* wake);
  // Config and last error for the caller's start message.
  card::CardConfig Config();
  std::string ConfigError();

  // ---- digital channel voice (PLAY, RECORD) ----
  // The analog port switched to a digital channel, or -1.
  int TrunkLinkedUser(int ch);
  // Voice resources of a channel: the id of its play voice; of its record
  // voice from a record's start to its stop, else -1.
  int ChannelPlayVoice(int ch);
  int ChannelRecordVoice(int ch);
  // Non-zero when the voice is idle (its play or record has ended).
  int VoiceFinished(int voice);
  int VoicePlayingFile(int voice);
  int VoicePlayingIndex(int voice);
  int StopChannelPlay(int ch);
  int StopChannelIndexPlay(int ch);
  // Ends the record and frees the channel's voice (a play on it ends too).
  int StopChannelRecord(int ch);
  int FreeVoice(int voice);
  // Plays a file: mode is the start position in samples, plus waveOffset
  // (200 digital) when the name ends in ".WAV", any case. 0 or negative.
  int ChannelPlayFile(int ch, const std::string& file, int mode, int term);
  // Records raw A-law at byte position recPos, at most limit bytes. Non-zero
  // when started (RECORD forces the result).
  int ChannelRecordFile(int ch, const std::string& file, int recPos, int limit);
  // Drops the keys received and those the far end has yet to send.
  int ClearChannelDtmf(int ch);
  // One received key, or 0 when none has arrived yet.
  int ReadChannelDtmf(int ch);
  int SendChannelDtmf(int ch, const std::string& keys);
  // Non-zero once every key given to SendChannelDtmf has gone out.
  int ChannelDtmfSent(int ch);

  // ---- analog ports ----
  int StartRing(int port);  // RING
  int StopRing(int port);
  // Non-zero when off hook.
  int HookState(int port);
  int ClearPortDtmf(int port);
  int PortPlayVoice(int port);
  int PortRecordVoice(int port);
  // Mode: position + 90 for a ".WAV" name. 0 or negative.
  int PortPlayFile(int port, const std::string& file, int mode, int term);
  int StopPortPlay(int port);
  // 0 or above started, negative failed (RECORD).
  int PortRecordFile(int port, const std::string& file, int recPos, int limit);
  int StopPortRecord(int port);
  int ReadPortDtmf(int port);
  // Above 0 when dialling started on an off-hook trunk port (DIAL).
  int PortDial(int port, const std::string& number);
  // Non-zero once the far end answered the trunk port's call.
  int PortConnected(int port);

  // ---- switching: non-zero on success (LINK) ----
  int LinkTrunkAndUser(int ch, int port);
  int ClearLinkTrunkAndUserByTrunk(int ch);
  int ClearLinkTrunkAndUserByUser(int port);
  int LinkTrunkAndTrunk(int ch1, int ch2);
  int ClearLinkTrunkAndTrunk(int ch);
  int LinkUserAndUser(int port1, int port2);
  int ClearLinkUserAndUser(int port);

  // ---- conference; type 0 digital channel, 1 analog port ----
  // Older interface (CONFOLD forces the start result).
  int ConfStartOld();
  int ConfCloseOld();
  // Fills the resource block: the 16-bit group count at byte 4.
  int ConfResourcesOld(uint8_t* block, size_t size);
  int ConfEnter(uint16_t group, int listen, int type, int ch, int gain, int flags);
  int ConfLeave(int type, int ch);
  int ConfFreeGroupOld(uint16_t group);
  // The channel's group, or -1.
  int ConfGroupOfOld(int type, int ch);
  // Free places in a block of 16 groups.
  int ConfBlockCount(uint16_t block);
  // Newer interface (CONFNEW forces the start result).
  int ConfStartNew();
  int ConfCloseNew();
  int ConfInfoNew(uint8_t* block, size_t size);
  int ConfSetup(int a, int b);
  // mode 1 listen, 2 talk; -5 when the channel is in a group already (JOIN).
  int ConfJoin(int group, int type, int ch, int mode, int gain, int volume, int flags);
  int ConfTalkSetup(int type, int ch, int flags);
  int ConfExit(int type, int ch, int flags);
  int ConfFreeGroupNew(int group);
  // Low 16 bits the group; negative when the channel is in none.
  int ConfGroupOfNew(int type, int ch);
  int ConfLastResult();
  // Group play and record (both interfaces); a handle or negative (CONFPLAY,
  // CONFRECORD). Handles are voices for VoiceFinished.
  int ConfPlayFile(uint16_t group, const std::string& file, int mode, int term);
  int ConfStopPlay(int handle);
  int ConfRecordFile(uint16_t group, const std::string& file, int recPos, int limit);
  int ConfStopRecord(int handle);

  // ---- fax ----
  int FaxStart(int buffer);  // 0 started (FAX)
  int FaxClose();
  int FaxChannelCount();
  int FaxSetId(int fax, const std::string& id);
  // A free fax channel, or -1.
  int FaxFreeChannel();
  // Non-zero when linked (FAXLINK).
  int FaxLinkToTrunk(int fax, int ch);
  int FaxLinkToUser(int fax, int port);
  int FaxUnlink(int fax, int chOrPort);
  int FaxStop(int fax);
  // Above 0 when started (FAXSEND, FAXRECV).
  int FaxSend(int fax, const std::string& file);
  int FaxRecv(int fax, const std::string& file);
  // 1 finished, negative failed, 0 running.
  int FaxState(int fax);
  int FaxRecvResult(int fax);

  // ---- ISUP (link, slot) ----
  int IsupStart();  // ISUP
  int IsupClose();
  // A card::ChannelState, or -1 for no such channel.
  int IsupChannelState(int link, int slot);
  // message: a card::LineMessage; indicator: the answer's card::AnswerCharge.
  int IsupSendMessage(int link, int slot, int message, int indicator, int a = 0, int b = 0,
                      int c = 0);
  std::string IsupCallingNumber(int link, int slot);
  std::string IsupCalledNumber(int link, int slot);
  void IsupPump();
  // Above 0 when the IAM went out (CALLOUT).
  int IsupCallout(int link, int slot, const std::string& number, const std::string& calling,
                  int a = 0, int b = 0);
  // Length sent, or negative (RAWFRAME).
  int IsupSendRawFrame(int link, int slot, const uint8_t* bytes, int length);
  // card::CalloutEvent bits (ACM, CPG) arrived since the last read.
  int IsupCalloutEvents(int link, int slot);
  int IsupSetFirstCallee(int link, int slot, const std::string& number);
  int IsupSetCalloutParams(int link, int slot, const uint8_t params[6]);
  int IsupReleaseCause(int link, int slot);
  // Copies the last message the far end sent (IAM or ACM) into buf, at most
  // size bytes; returns the count copied.
  int IsupReadRawMessage(int link, int slot, uint8_t* buf, size_t size);

  // ---- FSK caller identification ----
  int FskStart(int mode);  // FSK
  int FskSend(int port, const uint8_t* msg, int length, int mode);  // FSKSEND
  // Non-zero once the last message has gone out.
  int FskSendStatus(int port, int mode);
  int FskStop(int port, int mode);
  int FskClose();

  // Counters for tests and measurements.
  uint64_t PushCount() const { return pushes_.load(); }

 private:
  friend class SimCardFarEnd;

  using PlayState = card::PlayState;
  using RecordState = card::RecordState;
  using PlayEntry = card::PlayEntry;
  using Callout = card::Callout;
  using Line = card::Line;
  using ConfVoice = card::ConfVoice;
  using FaxChannel = card::FaxChannel;

  bool Forced(const char* role, int* result) const;
  Line* Digital(int ch);
  Line* Port(int port);
  Line* ByLinkSlot(int link, int slot);
  Line* ByType(int type, int ch);
  int IndexOf(const Line* l) const;
  int StartPlay(Line* l, PlayState* p, const std::string& file, int mode, int waveOffset);
  void AdvancePlay(PlayState* p, PlayEntry* e, uint32_t now);
  void AdvanceRecord(RecordState* r, std::deque<uint8_t>* feed, uint32_t now);
  void AdvanceLine(Line* l, uint32_t now);
  void StopPlayOf(Line* l);
  void StopRecordOf(RecordState* r, std::deque<uint8_t>* feed);
  int StartRecord(RecordState* r, const std::string& file, int recPos, int limit);
  bool PlayDone(Line* l, uint32_t now);
  bool RecordDone(RecordState* r, std::deque<uint8_t>* feed, uint32_t now);
  int ReadDtmf(Line* l, bool withLower);
  void AdvanceFax(FaxChannel* f, uint32_t now);
  // Runs the audio between a fax channel and its line's far-end machine up
  // to now; true once the transfer has ended and the state is set.
  bool RunFaxModem(FaxChannel* f, uint32_t now);
  bool FarFaxReady(int line) const;
  // Stops a modem transfer where it stands; the far end keeps its result.
  void EndFaxModem(FaxChannel* f);
  void Reset();
  // The mixer (mixer.cpp): makes every frame that has ended by now.
  void Mix(uint32_t now);
  void MixFrame(uint32_t t);
  void SkipFrames(uint32_t frames);
  // Before a line starts using its upstream: mixes up to now and, when
  // nothing used the upstream so far, fed audio is taken from now on.
  void UpstreamStarts(Line* l);
  bool UsesUpstream(const Line& l) const;
  void WriteRecordFrame(RecordState* r, uint32_t t, const uint8_t* frame);
  std::vector<uint8_t> HeardAudio(int index, uint32_t ms);

  std::string iniPath_;
  std::recursive_mutex lock_;
  int lockDepth_ = 0;        // guarded by lock_ itself
  uint64_t holdStartNs_ = 0;  // guarded by lock_ itself
  std::atomic<uint64_t> heldNs_{0};
  std::atomic<bool> started_{false};
  card::CardConfig cfg_;
  std::string cfgError_;
  int digital_ = 0;
  std::vector<Line> lines_;
  std::vector<Wakeup*> wakes_;
  // Card lock held.
  void WakeChannel(int index) {
    if (index >= 0 && static_cast<size_t>(index) < wakes_.size() && wakes_[static_cast<size_t>(index)])
      wakes_[static_cast<size_t>(index)]->Notify();
  }
  std::map<int, ConfVoice> confVoices_;
  int nextConfVoice_ = 0;
  int confCount_ = 0;
  int confLast_ = 0;
  bool confOpen_ = false;
  std::vector<FaxChannel> fax_;
  bool faxOpen_ = false;
  std::map<int, card::FarFax> farFax_;  // by card index of the line
  bool isupOpen_ = false;
  bool fskOpen_ = false;
  std::atomic<uint64_t> pushes_{0};
  std::vector<card::MixLine> mix_;
  uint32_t mixTick_ = 0;  // start of the next frame to make
  card::MixScratch scratch_;
  std::unique_ptr<SimCardFarEnd> farEnd_;
  std::unique_ptr<SimCardControl> control_;
};

// Holds the card lock for a scope.
class CardLock {
 public:
  explicit CardLock(SimCard& card) : card_(card) { card_.Lock(); }
  ~CardLock() { card_.Unlock(); }
  CardLock(const CardLock&) = delete;
  CardLock& operator=(const CardLock&) = delete;

 private:
  SimCard& card_;
};

}  // namespace plat
