#pragma once
// The wave audio device, in place of the Windows waveOut/waveIn service and
// sndPlaySound. Devices are opened with a format and fed with buffers that
// come back one by one with a "done" notice, posted to the owner's message
// queue; the owner's message thread handles them, as the callers were
// written for thread notifications.
//
// Backends, chosen per open from the settings below (initialised from the
// environment):
//   RODIZ_WAVE=alsa (default) | fake
//   RODIZ_WAVE_DEVICE      ALSA PCM name of the default device (default "default");
//                          device n >= 0 is "plughw:n"
//   RODIZ_WAVE_FAKE_DIR    where the fake backend writes what is played (default /tmp)
//   RODIZ_WAVE_FAKE_INPUT  WAVE or raw file the fake backend captures from
//                          (silence when none or when it runs out)
// The fake backend keeps real time: a buffer is done after its duration.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

// Result codes of the Windows multimedia service, as the logs show them.
enum MmResult : int {
  kMmNoError = 0,
  kMmError = 1,
  kMmBadDeviceId = 2,
  kMmNotEnabled = 3,
  kMmAllocated = 4,
  kMmInvalHandle = 5,
  kMmNoDriver = 6,
  kMmNoMem = 7,
  kMmNotSupported = 8,
  kMmInvalParam = 11,
  kWaveBadFormat = 32,
  kWaveStillPlaying = 33,
  kWaveUnprepared = 34,
};

enum : uint16_t { kWaveFormatPcm = 1, kWaveFormatALaw = 6, kWaveFormatMuLaw = 7 };

struct WaveFormat {
  uint16_t formatTag = kWaveFormatPcm;
  uint16_t channels = 1;
  uint32_t samplesPerSec = 8000;
  uint32_t avgBytesPerSec = 16000;
  uint16_t blockAlign = 2;
  uint16_t bitsPerSample = 16;
  uint16_t extraSize = 0;

  static WaveFormat Pcm16() { return WaveFormat{}; }
  static WaveFormat ALaw() { return WaveFormat{kWaveFormatALaw, 1, 8000, 8000, 1, 8, 0}; }
  static WaveFormat MuLaw() { return WaveFormat{kWaveFormatMuLaw, 1, 8000, 8000, 1, 8, 0}; }
};

// Header flags.
enum : uint32_t { kWhdrDone = 1, kWhdrPrepared = 2, kWhdrInQueue = 0x10 };

// One buffer handed to a device. The owner keeps data alive until the buffer
// has come back (its done notice, or a reset/close, which return every buffer
// before they return).
struct WaveHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  uintptr_t user = 0;
  std::atomic<uint32_t> flags{0};
};

// Notices a device posts to its owner's queue.
enum class WaveMsgType { kOutOpen, kOutClose, kOutDone, kInOpen, kInClose, kInData, kQuit, kUser };

struct WaveMsg {
  WaveMsgType type = WaveMsgType::kQuit;
  uint32_t device = 0;  // serial of the device that posted it
  WaveHeader* header = nullptr;
  intptr_t param = 0;
};

// A thread's message queue, in place of thread messages: posting never blocks.
class WaveMsgQueue {
 public:
  void Post(const WaveMsg& msg);
  // Waits up to timeoutMs for a message; false when none came.
  bool Get(WaveMsg& msg, uint32_t timeoutMs);
  size_t Size() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::deque<WaveMsg> queue_;
};

class WaveStream;

// A wave-out device. Several may be open at once. Every call is safe from
// any thread, including the owner's message thread; notices are posted,
// never called back, so no call can deadlock against its own notices.
class WaveOut {
 public:
  // deviceId -1 is the default device. notify may be null (poll kWhdrDone).
  static int Open(std::unique_ptr<WaveOut>& out, int deviceId, const WaveFormat& fmt,
                  std::shared_ptr<WaveMsgQueue> notify);
  ~WaveOut();
  WaveOut(const WaveOut&) = delete;
  WaveOut& operator=(const WaveOut&) = delete;

  int Prepare(WaveHeader* h);
  int Unprepare(WaveHeader* h);  // kWaveStillPlaying while queued
  int Write(WaveHeader* h);      // needs a prepared header
  // Returns every pending buffer at once, each with its done notice.
  int Reset();
  // Resets, posts the close notice and stops the device; a second call does nothing.
  int Close();
  // Software volume of this handle: low word left, high word right (0..0xFFFF).
  int SetVolume(uint32_t volume);
  int GetVolume(uint32_t* volume) const;

  uint32_t Serial() const;
  int DeviceId() const;
  const WaveFormat& Format() const;

 private:
  explicit WaveOut(std::unique_ptr<WaveStream> s);
  std::unique_ptr<WaveStream> s_;
};

// A wave-in device: buffers are queued, filled in real time and returned
// with kInData; Reset returns the one being filled with what it holds so far.
class WaveIn {
 public:
  static int Open(std::unique_ptr<WaveIn>& out, int deviceId, const WaveFormat& fmt,
                  std::shared_ptr<WaveMsgQueue> notify);
  ~WaveIn();
  WaveIn(const WaveIn&) = delete;
  WaveIn& operator=(const WaveIn&) = delete;

  int Prepare(WaveHeader* h);
  int Unprepare(WaveHeader* h);
  int AddBuffer(WaveHeader* h);
  int Start();
  // Stops capturing; the buffer being filled comes back with what it holds.
  int Stop();
  // Stops and returns every buffer (the one being filled with what it holds).
  int Reset();
  int Close();

  uint32_t Serial() const;
  int DeviceId() const;

 private:
  explicit WaveIn(std::unique_ptr<WaveStream> s);
  std::unique_ptr<WaveStream> s_;
};

// sndPlaySound(file, async): plays a WAVE file on the default device in the
// background, ending any earlier local play. False when the file cannot be
// read, its format is not playable or the device cannot be opened.
bool PlaySoundAsync(const std::string& path);
// Ends the local play (if any) and waits for its thread.
void StopSoundAsync();
bool SoundAsyncPlaying();

// Backend settings. Read from the environment on first use; tests may replace them.
struct WaveSettings {
  bool fake = false;
  std::string alsaDevice = "default";
  std::string fakeDir = "/tmp";
  std::string fakeInput;
};
WaveSettings GetWaveSettings();
// What the environment asks for (the first GetWaveSettings uses this).
WaveSettings WaveSettingsFromEnvironment();
void SetWaveSettings(const WaveSettings& s);

// What the fake backend did, one record per device opened.
struct FakeWaveSession {
  uint32_t serial = 0;
  bool capture = false;
  int deviceId = -1;
  WaveFormat format;
  uint32_t openTick = 0;
  uint32_t closeTick = 0;
  bool closed = false;
  uint64_t bytes = 0;  // played, or captured
  std::string file;    // the WAVE file of what was played (outputs only)
};
std::vector<FakeWaveSession> FakeWaveSessions();
void ClearFakeWaveSessions();
// Number of devices the fake backend offers besides the default (-1).
constexpr int kFakeWaveDevices = 2;

// Bytes of silence in a format (0xD5 A-law, 0xFF mu-law, 0x80 8-bit PCM, else 0).
uint8_t WaveSilenceByte(const WaveFormat& fmt);
// kMmNoError when the device layer can play or capture this format.
int CheckWaveFormat(const WaveFormat& fmt);

}  // namespace plat
