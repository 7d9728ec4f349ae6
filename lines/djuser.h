#pragma once
// An analog port of the card: a user port with a telephone set (the
// platform rings it, sends the caller's number by FSK and follows its hook)
// or a trunk port towards an exchange (off hook, dial, wait to connect).
#include <atomic>
#include <cstdint>
#include <string>

#include "lines/djcall.h"

class TagDjUserCall : public TagDjBaseCall {
 public:
  TagDjUserCall(int lineNumber, int port, TagDjDigitDrive* drive);
  ~TagDjUserCall() override;

  int ReLoopPlay() override;
  void ClearKeys() override;
  int OutCall(const std::string& number, int a, int b) override;
  int PlayFile(const std::string& file, uint8_t breakOnKey, int pcFlag) override;
  int StartLoopPlay(const std::string& file) override;
  int Record(const std::string& file, int maxSeconds, uint8_t stopOnHash) override;
  int StartRecord(const std::string& file, int maxSeconds) override;
  int GetKeys(std::string& out, int maxCount, int totalSeconds, int endKey) override;
  int KeysLen() override;
  void StopPlay() override;
  void Hangup() override;
  int MakeRing(const std::string& number) override;
  int GetHookState() override;
  int PollState() override;

  bool IsUserPort() const { return lineType == kLineAIn; }
  void ReadKeys();
  bool PlayFinished();
  bool RecordFinished();

  TagDjDigitDrive* const drive;
  const int port;
  std::atomic<uint8_t> dialling{0};
  int confPlayHandle = -1;
  int confRecordHandle = -1;
  uint8_t recording = 0;   // guarded by the card lock
  std::string recordFile;  // guarded by the card lock
  int faxChannel = -1;
  std::string faxLocalId;
  // How long a call-out may take to connect.
  uint32_t connectWaitMs = 45000;
  // OutCall of a line stopped while dialling.
  static constexpr int kOutCallInterrupted = -7;

 private:
  // Sleeps ms in short steps; false when the line was stopped meanwhile.
  bool Pause(uint32_t ms);
  int StartPortPlay(const std::string& file, int position, LoopMark loop = LoopMark::kNone);
  void RestartFinishedLoop();
};
