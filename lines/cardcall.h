#pragma once
// Call objects of the card's lines: the common base, and the media half of a
// digital (E1) channel: play, record, keys, loop play, the card push. All of
// it runs on the line's own thread by polling; each card call is made under
// the card lock, which is never held across a sleep.
//
// Another line may stop this line's play (a link between lines), so every
// change of the play and record state happens under the card lock; files are
// copied only after the lock is released.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lines/confline.h"

#include "engine/kxcall.h"

class TagCardDigitDrive;
namespace plat {
class SimCard;
}

// Largest output of a key collection (the script's key buffer holds 100).
constexpr size_t kGetKeysOutMax = 100;
// Keys kept in the call's buffer.
constexpr size_t kKeysBufferMax = 1024;

// Wraps a raw A-law file into an A-law WAVE file: 0, -1 raw file not
// readable, -2 WAVE file not created.
int AlawFileToWave(const std::string& rawFile, const std::string& waveFile);
// A recorded ".WAV" name (any case) becomes a real WAVE file of the same
// name; other names are left alone (0); a name of 4 characters or less: -1.
int RenameRecordedWave(const std::string& file);
// True for a name of more than 4 characters ending in ".WAV" in any case.
bool IsWaveFileName(const std::string& file);

// How the key cell of a line shows its keys: the key-display mode of the
// line's script, or negative when the line has no script. The line manager
// installs it; without it the keys are shown as typed.
using KeysModeLookup = int (*)(int line);
void SetKeysModeLookup(KeysModeLookup lookup);
KeysModeLookup GetKeysModeLookup();

class TagCardBaseCall : public TagKxCall {
 public:
  explicit TagCardBaseCall(TagCardDigitDrive* d) : drive(d), conf(std::make_unique<TagConfLine>(this, d)) {}

  TagCardDigitDrive* const drive;
  ~TagCardBaseCall() override;

  // The channel's own play and record are running (set when they start,
  // cleared when the channel is freed). Guarded by the card lock.
  std::atomic<uint8_t> chPlayActive{0};
  std::atomic<uint8_t> chRecActive{0};
  int confPlayHandle = -1;
  int confRecordHandle = -1;
  uint8_t recording = 0;   // guarded by the card lock
  std::string recordFile;  // guarded by the card lock

  int ReLoopPlay() override;
  // Fax: one path for digital channels and analog ports (lines/cardfax.cpp).
  void SetFaxLocalId(const std::string& text) override;
  void GetFaxResource(int& total, int& inUse) override;
  int SendFax(const std::string& file) override { return FaxTransfer(file, true); }
  int RecvFax(const std::string& file) override { return FaxTransfer(file, false); }
  int faxChannel = -1;
  std::string faxLocalId;
  int Record(const std::string& file, int maxSeconds, uint8_t stopOnHash) override;
  int StartRecord(const std::string& file, int maxSeconds) override;
  int KeysLen() override;

  // Links with other card lines (cardconf.cpp).
  int LinkTo(int line, int value) override;
  int UnlinkTo(int line, int value) override;
  int UnlinkAll() override;
  int ListenTo(int line, int value) override;
  int GetLinkList(std::vector<int>& lines, std::vector<int>& listen, std::vector<int>& values) override;
  // The line's card index, and the number its link log lines show (the
  // channel, or the analog port).
  virtual int CardIndex() const = 0;
  virtual int LinkTag() const = 0;
  bool IsDigitalLine() const;
  // The conference group the line is in, -1 when none.
  int ConfGroup();
  const std::unique_ptr<TagConfLine> conf;

  // One poll of the line's keys into the buffer.
  virtual void ReadKeys() = 0;
  bool PlayFinished();
  virtual bool RecordFinished() = 0;

 protected:
  // What a play's start does to the loop play: nothing, a new loop, or the
  // resumed one. Called under the card lock when the play has started.
  enum class LoopMark { kNone, kStart, kResume };
  void MarkLoop(LoopMark loop, const std::string& file);
  // Shows the key buffer in the line's key cell.
  void ShowKeys();
  // Starts the line's play at a byte position: 0 or a negative result.
  int StartCardPlay(const std::string& file, int position, LoopMark loop = LoopMark::kNone);
  // Restarts a loop play whose file has ended.
  void RestartFinishedLoop();
  // Keeps where a running loop play is, so ReLoopPlay resumes there; under the card lock.
  void SaveLoopPosition();
  // Stops the conference play and record; gives the file of a running record
  // to wrap once the card lock is released. Under the card lock.
  std::string StopConfAndTakeRecord(plat::SimCard& c);
  // A key collection has waited too long since its last key or in all.
  bool KeysTimedOut(uint32_t now, uint32_t lastKey, uint32_t start, int totalSeconds) const;

  // Sends or receives a fax on the line and waits until it ends.
  int FaxTransfer(const std::string& file, bool send);
  // One poll of a running fax: false when the line went down and the wait
  // ends.
  virtual bool FaxPoll() = 0;

  // What the channel and the port do differently.
  plat::SimCard& CardCard();
  // The card's play of a file; mode adds WaveModeOffset for a ".WAV" file.
  virtual int CardPlayFile(const std::string& path, int mode) = 0;
  virtual int WaveModeOffset() const = 0;
  // The voice of the line's running play, negative when none; under the card lock.
  virtual int CardPlayVoice() = 0;
  // The line's play or record goes into its group when it is in one: the
  // handle, or a negative result. Under the card lock.
  int GroupPlay(const std::string& path);
  int GroupRecord(const std::string& path, int maxBytes);
  // The card's record into a file, and whether its result means it started.
  virtual int CardRecordFile(const std::string& path, int maxBytes) = 0;
  virtual bool RecordStarted(int result) const = 0;
  // The line is still up while recording.
  virtual bool StillConnected() = 0;
  // The pause between two polls of a record.
  virtual uint32_t RecordPollMs() const = 0;
};

class TagCardDigitCall : public TagCardBaseCall {
 public:
  TagCardDigitCall(int channel, TagCardDigitDrive* drive);

  void ClearKeys() override;
  int OutCall(const std::string& number, int a, int b) override;
  int PlayFile(const std::string& file, uint8_t breakOnKey, int pcFlag) override;
  int StartLoopPlay(const std::string& file) override { return StartLoopPlayOn(file, 0); }
  int GetKeys(std::string& out, int maxCount, int totalSeconds, int endKey) override;
  int SendKeys(const std::string& keys) override;
  void StopPlay() override;
  int GetCallerId(std::string& out) override;
  int GetCalleeId(std::string& out) override;
  int PollState() override { return 0; }
  int PollCard() override;
  int WaitUnblocked(int timeout) override { return 1; }

  int StartLoopPlayOn(const std::string& file, int pcFlag);
  int CardIndex() const override { return channel; }
  int LinkTag() const override { return channel; }
  void ReadKeys() override;
  bool RecordFinished() override;

  const int channel;
  const int link;
  const int slot;
  int chState = -1;
  uint8_t chargeFlag = 1;
  std::string callerNumber;
  std::string calledNumber;
  std::atomic<uint8_t> dialling{0};
  // How long a call-out may take to connect.
  uint32_t connectWaitMs = 45000;

  // Codes of OutCall beyond those of Dial and CheckDial.
  static constexpr int kOutCallTimeout = -2;
  static constexpr int kOutCallInterrupted = -7;

 protected:
  int CardPlayFile(const std::string& path, int mode) override;
  int WaveModeOffset() const override { return 200; }
  int CardPlayVoice() override;
  int CardRecordFile(const std::string& path, int maxBytes) override;
  bool RecordStarted(int result) const override { return result != 0; }
  bool StillConnected() override { return PollState() != 0; }
  uint32_t RecordPollMs() const override { return 220; }
  bool FaxPoll() override;
  // Plays a ".WAV" file on the PC's sound output; nothing goes to the channel.
  static void LocalPlay(const std::string& file);
  // Pushes the card at most once per 200 ms across the process.
  void PushCard();
};
