#pragma once
// Sound-card play and record: one voice file at a time on a wave-out
// device, and the microphone into a 16-bit PCM WAVE file. Each object owns a
// message thread that handles its device's notices.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/wave.h"

// Where the audio of a file lies, as the player reads it.
struct WavePlayLayout {
  plat::WaveFormat format;
  int64_t dataOffset = 0;  // first byte of audio
  int64_t end = 0;         // one past the last byte of audio
};
// Reads the layout of an open file of fileLength bytes: 0, or -2 when the
// file is shorter than 190 bytes. Without "RIFF" the file is headerless
// A-law and its last 90 bytes are not played.
int ReadPlayLayout(FILE* f, int64_t fileLength, WavePlayLayout& layout);

// Plays one file at a time. The run thread calls every member; the object's
// message thread keeps one buffer in the device and refills it.
class TagWavePlay {
 public:
  // Opens and starts playing; read status: 0 started, -1 the file cannot
  // be opened, -2 shorter than 190 bytes or no message thread, -3 the
  // device cannot be opened. A ".VOX" name plays its converted copy.
  // startOffset is a byte offset into the audio data.
  TagWavePlay(const std::string& file, int volume, int deviceId = -1, int reserved = 0, int startOffset = 0);
  ~TagWavePlay();
  TagWavePlay(const TagWavePlay&) = delete;
  TagWavePlay& operator=(const TagWavePlay&) = delete;

  // Plays another file on the same object: 0, -2 (cannot open the file or
  // the device), -3 (too short).
  int Play(const std::string& file, int volume, int reserved = 0, int startOffset = 0);
  // Ends the play: at once on the default device, after the current buffer
  // on a specific one. Waits at most 5 s.
  void Stop();
  // True when the play has finished, was stopped or failed.
  bool IsDone() const { return done.load(); }
  // Percent 0..100: 0, -1 (no device or closing), -2 (refused).
  int SetVolume(int percent);
  // At the end of the data the play starts again from the start of the data.
  void SetLoop(bool flag) { loop.store(flag); }
  // Byte rate of the file now playing (8000 for A-law, 16000 for 16-bit PCM).
  uint32_t BytesPerSecond() {
    std::lock_guard<std::mutex> g(lock_);
    return format_.avgBytesPerSec;
  }

  int status = -1;
  const int deviceId;
  const uint32_t bufferSize;  // 81920 bytes on the default device, else 2048

 private:
  int OpenInput(const std::string& file, int startOffset);
  bool StartThread();
  void EndThread();
  int OpenDevice();
  void CloseDevice();
  void CloseInput();
  void StartFirstBuffer();
  int FillLocked();
  int WriteLocked(int n, std::string& box);
  void ShowBox(const std::string& box, const std::string& title);
  void Run();
  void OnDone(uint32_t serial);

  std::mutex lock_;  // device, input and position, between the two threads
  std::unique_ptr<plat::WaveOut> device_;
  std::shared_ptr<plat::WaveMsgQueue> queue_;
  plat::Thread thread_;
  bool threadRunning_ = false;
  FILE* input_ = nullptr;
  plat::WaveFormat format_;
  int64_t end_ = 0;
  int64_t position_ = 0;
  int64_t dataOffset_ = 0;
  plat::WaveHeader header_;
  std::vector<uint8_t> buffer_;
  std::atomic<bool> stopRequest{false};
  std::atomic<bool> done{true};
  std::atomic<bool> closing{false};
  std::atomic<bool> stopping{false};
  std::atomic<bool> loop{false};
  std::atomic<bool> deviceOpen_{false};
};

// Records from a wave-in device into a 16-bit PCM WAVE file (8000 Hz mono,
// 48-byte header). The header is completed when the object is destroyed.
class TagWaveRecord {
 public:
  // Creates the file (status 0) or shows a message box (status -1).
  TagWaveRecord(const std::string& file, int deviceId = -1);
  ~TagWaveRecord();
  TagWaveRecord(const TagWaveRecord&) = delete;
  TagWaveRecord& operator=(const TagWaveRecord&) = delete;

  // 0, -1 (no file), -2 (no thread), -3 (the device cannot be opened).
  int Start();
  // Stops capturing; what was recorded so far is written. Waits at most 5 s.
  void Stop();
  // Closes the device.
  void Close();
  bool IsDone() const { return done.load(); }
  // Bytes of audio written so far.
  int64_t Total() const { return total.load(); }

  int status = -1;
  const int deviceId;
  const uint32_t bufferSize;  // 20480 bytes on the default device, else 4096

 private:
  void Run();
  void CloseDeviceLocked();

  std::mutex lock_;
  std::unique_ptr<plat::WaveIn> device_;
  std::shared_ptr<plat::WaveMsgQueue> queue_;
  plat::Thread thread_;
  FILE* file_ = nullptr;
  plat::WaveHeader header_;
  std::vector<uint8_t> buffer_;
  std::atomic<int64_t> total{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> done{true};
  std::atomic<bool> deviceOpen_{false};
};

// Makes the call objects' PC play use TagWavePlay on the default device.
void RegisterWavePlayer();
