#pragma once
// An analog port of the card: a user port with a telephone set (the
// platform rings it, sends the caller's number by FSK and follows its hook)
// or a trunk port towards an exchange (off hook, dial, wait to connect).
#include <atomic>
#include <cstdint>
#include <string>

#include "lines/cardcall.h"

class TagCardUserCall : public TagCardBaseCall {
 public:
  TagCardUserCall(int lineNumber, int port, TagCardDigitDrive* drive);

  void ClearKeys() override;
  int OutCall(const std::string& number, int a, int b) override;
  int PlayFile(const std::string& file, uint8_t breakOnKey, int pcFlag) override;
  int StartLoopPlay(const std::string& file) override;
  int GetKeys(std::string& out, int maxCount, int totalSeconds, int endKey) override;
  void StopPlay() override;
  void Hangup() override;
  int MakeRing(const std::string& number) override;
  int GetHookState() override;
  int PollState() override;

  bool IsUserPort() const { return lineType == kLineAIn; }
  int CardIndex() const override;
  int LinkTag() const override { return port; }
  void ReadKeys() override;
  bool RecordFinished() override;

  const int port;
  std::atomic<uint8_t> dialling{0};
  // How long a call-out may take to connect.
  uint32_t connectWaitMs = 45000;
  // OutCall of a line stopped while dialling.
  static constexpr int kOutCallInterrupted = -7;

 private:
  // Sleeps ms in short steps; false when the line was stopped meanwhile.
  bool Pause(uint32_t ms);

 protected:
  int CardPlayFile(const std::string& path, int mode) override;
  int WaveModeOffset() const override { return 90; }
  int CardPlayVoice() override;
  int CardRecordFile(const std::string& path, int maxBytes) override;
  bool RecordStarted(int result) const override { return result >= 0; }
  bool StillConnected() override { return GetHookState() != 0; }
  uint32_t RecordPollMs() const override { return 200; }
  bool FaxPoll() override;
};
