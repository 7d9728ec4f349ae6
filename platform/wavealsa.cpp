// The ALSA backend of the wave device layer.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/wavebackend.h"

namespace plat {

namespace {

// ALSA prints its own complaints on stderr; failures reach the log through
// our result codes instead.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

int MapOpenError(int err) {
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EINVAL: return kMmBadDeviceId;
    case EBUSY:
    case EAGAIN: return kMmAllocated;
    case ENOMEM: return kMmNoMem;
    default: return kMmError;
  }
}

snd_pcm_format_t AlsaFormat(const WaveFormat& f) {
  switch (f.formatTag) {
    case kWaveFormatALaw: return SND_PCM_FORMAT_A_LAW;
    case kWaveFormatMuLaw: return SND_PCM_FORMAT_MU_LAW;
    default: return f.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  }
}

class AlsaStream : public WaveBackendStream {
 public:
  AlsaStream(snd_pcm_t* pcm, const WaveFormat& fmt) : pcm_(pcm), fmt_(fmt) {}
  ~AlsaStream() override { Finish(false); }

  size_t Play(const uint8_t* data, size_t n, const WaveAbort& aborted) override {
    const size_t frameBytes = std::max<size_t>(fmt_.blockAlign, 1);
    snd_pcm_uframes_t left = n / frameBytes;
    const uint8_t* p = data;
    int failures = 0;
    while (left > 0 && !aborted()) {
      snd_pcm_sframes_t r = snd_pcm_writei(pcm_, p, left);
      if (r == 0) r = -EAGAIN;  // a blocking stream that moved nothing is not working
      if (r < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(r), 1) < 0 || ++failures > 3) {
          // A device that stopped working: keep time so the caller's buffers still come back.
          std::this_thread::sleep_for(std::chrono::microseconds(left * 1000000 / fmt_.samplesPerSec));
          return n;
        }
        continue;
      }
      p += static_cast<size_t>(r) * frameBytes;
      left -= static_cast<snd_pcm_uframes_t>(r);
    }
    return static_cast<size_t>(p - data);
  }

  size_t Capture(uint8_t* data, size_t n, const WaveAbort& aborted) override {
    const size_t frameBytes = std::max<size_t>(fmt_.blockAlign, 1);
    snd_pcm_uframes_t left = n / frameBytes;
    uint8_t* p = data;
    int failures = 0;
    while (left > 0 && !aborted()) {
      snd_pcm_sframes_t r = snd_pcm_readi(pcm_, p, left);
      if (r == 0) r = -EAGAIN;  // a blocking stream that moved nothing is not working
      if (r < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(r), 1) < 0 || ++failures > 3) {
          std::this_thread::sleep_for(std::chrono::microseconds(left * 1000000 / fmt_.samplesPerSec));
          std::fill(p, data + n, WaveSilenceByte(fmt_));
          return n;
        }
        continue;
      }
      p += static_cast<size_t>(r) * frameBytes;
      left -= static_cast<snd_pcm_uframes_t>(r);
    }
    return static_cast<size_t>(p - data);
  }

  void Drop() override {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  void Finish(bool drain) override {
    if (!pcm_) return;
    if (drain)
      snd_pcm_drain(pcm_);
    else
      snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

 private:
  snd_pcm_t* pcm_;
  const WaveFormat fmt_;
};

}  // namespace

int OpenAlsaStream(bool capture, int deviceId, const WaveFormat& fmt, const std::string& pcmName,
                   std::unique_ptr<WaveBackendStream>& out) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { snd_lib_error_set_handler(&SilentAlsaError); });
  if (deviceId < -1) return kMmBadDeviceId;
  std::string name = pcmName.empty() ? std::string("default") : pcmName;
  if (deviceId >= 0) name = "plughw:" + std::to_string(deviceId);
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(), capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, 0);
  if (err < 0) return MapOpenError(err);
  // 200 ms of device buffer: short enough that a stop is heard at once.
  err = snd_pcm_set_params(pcm, AlsaFormat(fmt), SND_PCM_ACCESS_RW_INTERLEAVED, fmt.channels, fmt.samplesPerSec, 1,
                           200000);
  if (err < 0) {
    snd_pcm_close(pcm);
    return kWaveBadFormat;
  }
  out = std::make_unique<AlsaStream>(pcm, fmt);
  return kMmNoError;
}

}  // namespace plat
