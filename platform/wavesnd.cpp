// sndPlaySound's asynchronous local play of a WAVE file.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/bytes.h"
#include "platform/riff.h"
#include "platform/path.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "platform/wave.h"

namespace plat {

namespace {

using plat::Le32;
using plat::Le16;


// Finds the format and the data of a RIFF WAVE file; the stream is left at the data.
bool ReadWaveLayout(FILE* f, WaveFormat& fmt, uint32_t& dataSize) {
  RiffFile riff(f);
  if (!riff.IsWave()) return false;
  bool haveFmt = false;
  int64_t at = 12;
  for (int i = 0; i < RiffFile::kMaxChunks && at >= 0; ++i) {
    RiffChunk c;
    if (!riff.ChunkAt(at, &c)) return false;
    if (c.Is("fmt ") && c.size >= 16) {
      uint8_t b[16];
      if (riff.Read(c, 0, b, 16) != 16) return false;
      fmt.formatTag = Le16(b);
      fmt.channels = Le16(b + 2);
      fmt.samplesPerSec = Le32(b + 4);
      fmt.avgBytesPerSec = Le32(b + 8);
      fmt.blockAlign = Le16(b + 12);
      fmt.bitsPerSample = Le16(b + 14);
      fmt.extraSize = 0;
      haveFmt = true;
    } else if (c.Is("data")) {
      dataSize = c.avail;
      return haveFmt && riff.SeekTo(c);
    }
    at = riff.After(c);
  }
  return false;
}

class LocalPlayer {
 public:
  ~LocalPlayer() { Stop(); }

  bool Play(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    StopLocked();
    FILE* f = OpenFile(path, "rb");
    if (!f) return false;
    WaveFormat fmt;
    uint32_t dataSize = 0;
    std::unique_ptr<WaveOut> out;
    if (!ReadWaveLayout(f, fmt, dataSize) || WaveOut::Open(out, -1, fmt, nullptr) != kMmNoError) {
      std::fclose(f);
      return false;
    }
    stop_.store(false);
    playing_.store(true);
    auto* dev = out.release();
    if (!thread_.Start([this, f, dev, dataSize] { Run(f, std::unique_ptr<WaveOut>(dev), dataSize); }, 256 * 1024)) {
      delete dev;
      std::fclose(f);
      playing_.store(false);
      return false;
    }
    return true;
  }

  void Stop() {
    std::lock_guard<std::mutex> g(lock_);
    StopLocked();
  }

  bool Playing() const { return playing_.load(); }

 private:
  void StopLocked() {
    stop_.store(true);
    thread_.Join();
  }

  // Two half-second buffers in turn, so the device never runs dry.
  void Run(FILE* f, std::unique_ptr<WaveOut> out, uint32_t dataSize) {
    const uint32_t piece = std::max<uint32_t>(out->Format().avgBytesPerSec / 2, 2);
    std::vector<uint8_t> mem[2] = {std::vector<uint8_t>(piece), std::vector<uint8_t>(piece)};
    WaveHeader hdr[2];
    uint32_t left = dataSize;
    bool queued[2] = {false, false};
    bool eof = false;
    while (!stop_.load()) {
      bool busy = false;
      for (int i = 0; i < 2; ++i) {
        if (queued[i] && !(hdr[i].flags.load() & kWhdrDone)) {
          busy = true;
          continue;
        }
        queued[i] = false;
        if (eof) continue;
        size_t n = std::fread(mem[i].data(), 1, std::min(left, piece), f);
        n -= n % std::max<uint16_t>(out->Format().blockAlign, 1);
        if (n == 0) {
          eof = true;
          continue;
        }
        left -= static_cast<uint32_t>(n);
        hdr[i].data = mem[i].data();
        hdr[i].bufferLength = static_cast<uint32_t>(n);
        out->Prepare(&hdr[i]);
        if (out->Write(&hdr[i]) == kMmNoError) {
          queued[i] = true;
          busy = true;
        }
      }
      if (!busy && eof) break;
      SleepMs(10);
    }
    out->Reset();
    out->Close();
    std::fclose(f);
    playing_.store(false);
  }

  std::mutex lock_;
  Thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> playing_{false};
};

LocalPlayer& Local() {
  static LocalPlayer player;
  return player;
}

}  // namespace

bool PlaySoundAsync(const std::string& path) { return Local().Play(path); }
void StopSoundAsync() { Local().Stop(); }
bool SoundAsyncPlaying() { return Local().Playing(); }

}  // namespace plat
