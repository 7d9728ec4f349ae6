#pragma once
// Inside the wave device layer: what a backend provides for one open device.
// The device's worker thread is the only caller of a backend stream after
// it is made, so backends need no locking of their own.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/wave.h"

namespace plat {

using WaveAbort = std::function<bool()>;

class WaveBackendStream {
 public:
  virtual ~WaveBackendStream() = default;
  // Plays n bytes, returning once they have been played (in real time);
  // stops early when aborted() turns true and returns the bytes played.
  virtual size_t Play(const uint8_t* data, size_t n, const WaveAbort& aborted) = 0;
  // Captures up to n bytes in real time; returns the bytes captured
  // (fewer when aborted).
  virtual size_t Capture(uint8_t* data, size_t n, const WaveAbort& aborted) = 0;
  // Forgets audio in flight (after a reset or a stop of capture).
  virtual void Drop() = 0;
  // Last call before the stream is destroyed; drain when not dropped.
  virtual void Finish(bool drain) = 0;
};

// Each returns kMmNoError and the stream, or an MmResult code.
int OpenAlsaStream(bool capture, int deviceId, const WaveFormat& fmt, const std::string& pcmName,
                   std::unique_ptr<WaveBackendStream>& out);
int OpenFakeStream(bool capture, int deviceId, const WaveFormat& fmt, uint32_t serial,
                   const WaveSettings& settings, std::unique_ptr<WaveBackendStream>& out);

// Standard ITU G.711 conversions used for the per-handle volume.
int16_t G711ALawToLinear(uint8_t a);
int16_t G711MuLawToLinear(uint8_t u);
uint8_t G711LinearToALaw(int16_t s);
uint8_t G711LinearToMuLaw(int16_t s);

}  // namespace plat
