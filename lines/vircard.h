#pragma once
// Virtual lines: scripts run on the PC sound card, with the keys the operator
// types into the line's keys cell of the main window standing in for DTMF.
// A virtual line can be voice-linked only to a SIP line, through the external
// media channel; this system has no SIP lines, so every link is refused.
#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>

#include "engine/kxcall.h"
#include "lines/kxcard.h"
#include "platform/thread.h"
#include "platform/wave.h"

class TagVirCard : public TagKxCard {
 public:
  // A negative count gives 1 line.
  TagVirCard(int lineCount, int englishNames);
  // "VirtualLine%d#" in English, "虚拟线路%d#" otherwise; always 0.
  int GetLineName(int index, std::string& name) override;
  TagTelLine* MakeLine(int index, int lineNumber) override;

  int english = 0;
  // How a link finds another line's call object and its card type (0 a SIP
  // line); set by the line manager that owns the card.
  std::function<TagKxCall*(int line, uint8_t* type)> findCall;
};

class TagVirCall : public TagKxCall {
 public:
  static constexpr int kLinkBufferBytes = 320;  // 40 ms of A-law
  static constexpr int kLinkBuffers = 4;

  TagVirCall(int index, int lineNumber, TagVirCard* virCard);
  ~TagVirCall() override;

  void ClearKeys() override;
  int KeysLen() override;
  // Microphone into a 16-bit PCM WAVE file: 0; -2 when the file cannot be
  // created; the recorder's negative start result when the microphone
  // cannot be opened (the empty file is removed).
  int Record(const std::string& file, int maxSeconds, uint8_t breakOnKey) override;
  int LinkTo(int line, int flag) override;
  int UnlinkTo(int line, int flag) override;
  int UnlinkAll() override;
  int LinkCall(TagKxCall* other) override;
  int UnlinkCall() override;
  // 0; -1 the microphone, -2 the speaker cannot be opened (nothing is left
  // running then).
  int StartRtp() override;
  int EndRtp() override;

  int32_t keyLine = 0;
  std::atomic<int32_t> linkActive{0};

  // For tests: whether the link's devices and threads are up.
  bool WaveInOpen() const;
  bool WaveOutOpen() const;
  bool LinkThreadsRunning() const { return captureThread_.Joinable() || playbackThread_.Joinable(); }

 private:
  void CaptureLoop();
  void PlaybackLoop();
  void EndThread(plat::Thread& thread, const std::shared_ptr<plat::WaveMsgQueue>& queue);
  void CloseChannel();

  TagVirCard* virCard_;
  mutable std::mutex devLock_;  // the devices, between the run thread and the link threads
  std::unique_ptr<plat::WaveIn> waveIn_;
  std::unique_ptr<plat::WaveOut> waveOut_;
  std::shared_ptr<plat::WaveMsgQueue> inQueue_, outQueue_;
  plat::Thread captureThread_, playbackThread_;
  plat::WaveHeader inHeaders_[kLinkBuffers];
  plat::WaveHeader outHeaders_[kLinkBuffers];
  uint8_t inData_[kLinkBuffers][kLinkBufferBytes] = {};
  uint8_t outData_[kLinkBuffers][kLinkBufferBytes] = {};
  bool channelOpen_ = false;
  std::atomic<bool> endThreads_{false};
};
