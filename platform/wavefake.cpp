// The fake wave backend for tests: keeps real time, writes what is played to
// a WAVE file per opened device and captures from a file.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/bytes.h"
#include "platform/riff.h"
#include "platform/tick.h"
#include "platform/wavebackend.h"

namespace plat {

namespace {

using plat::Le32;
using plat::PutLe;

using Clock = std::chrono::steady_clock;

std::mutex g_sessionsLock;
std::vector<FakeWaveSession> g_sessions;

void UpdateSession(uint32_t serial, uint64_t bytes, bool close) {
  std::lock_guard<std::mutex> g(g_sessionsLock);
  for (auto& s : g_sessions) {
    if (s.serial != serial) continue;
    s.bytes = bytes;
    if (close) {
      s.closed = true;
      s.closeTick = TickCount();
    }
  }
}



class FakeStream : public WaveBackendStream {
 public:
  FakeStream(bool capture, const WaveFormat& fmt, uint32_t serial) : capture_(capture), fmt_(fmt), serial_(serial) {
    next_ = Clock::now();
  }
  ~FakeStream() override { Finish(false); }

  bool OpenOutput(const std::string& path, const std::string& logPath) {
    path_ = path;
    logPath_ = logPath;
    out_ = std::fopen(path.c_str(), "wb+e");
    if (!out_) return false;
    headerSize_ = fmt_.formatTag == kWaveFormatPcm ? 44 : 46;
    WriteHeader();
    return true;
  }

  void OpenInput(const std::string& path, const std::string& logPath) {
    logPath_ = logPath;
    inLeft_ = UINT64_MAX;
    if (path.empty()) return;
    in_ = std::fopen(path.c_str(), "rbe");
    if (!in_) return;
    RiffFile riff(in_);
    RiffChunk data;
    if (riff.IsWave() && riff.Find("data", &data) && riff.SeekTo(data)) {
      inLeft_ = data.avail;
      return;
    }
    std::fseek(in_, 0, SEEK_SET);  // raw data from its first byte
  }

  size_t Play(const uint8_t* data, size_t n, const WaveAbort& aborted) override {
    size_t got = Pace(n, aborted);
    if (out_ && got > 0) {
      std::fseek(out_, 0, SEEK_END);
      std::fwrite(data, 1, got, out_);
      bytes_ += got;
      WriteHeader();
      UpdateSession(serial_, bytes_, false);
    }
    return got;
  }

  size_t Capture(uint8_t* data, size_t n, const WaveAbort& aborted) override {
    size_t got = Pace(n, aborted);
    size_t fromFile = 0;
    if (in_ && inLeft_ > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(got, inLeft_));
      fromFile = std::fread(data, 1, want, in_);
      if (inLeft_ != UINT64_MAX) inLeft_ -= fromFile;
      if (fromFile < want) inLeft_ = 0;
    }
    std::memset(data + fromFile, WaveSilenceByte(fmt_), got - fromFile);
    bytes_ += got;
    UpdateSession(serial_, bytes_, false);
    return got;
  }

  void Drop() override { next_ = Clock::now(); }

  void Finish(bool) override {
    if (finished_) return;
    finished_ = true;
    if (out_) {
      WriteHeader();
      std::fclose(out_);
      out_ = nullptr;
    }
    if (in_) {
      std::fclose(in_);
      in_ = nullptr;
    }
    UpdateSession(serial_, bytes_, true);
    if (FILE* log = std::fopen(logPath_.c_str(), "ae")) {
      FakeWaveSession s;
      {
        std::lock_guard<std::mutex> g(g_sessionsLock);
        for (auto& x : g_sessions)
          if (x.serial == serial_) s = x;
      }
      std::fprintf(log, "%s #%u dev=%d tag=%u rate=%u open=%u close=%u bytes=%llu file=%s\n", capture_ ? "in" : "out",
                   serial_, s.deviceId, fmt_.formatTag, fmt_.samplesPerSec, s.openTick, s.closeTick,
                   static_cast<unsigned long long>(bytes_), path_.c_str());
      std::fclose(log);
    }
  }

 private:
  // Waits for the playing (or capturing) time of n bytes; fewer when aborted.
  size_t Pace(size_t n, const WaveAbort& aborted) {
    const uint32_t align = std::max<uint32_t>(fmt_.blockAlign, 1);
    Clock::time_point now = Clock::now();
    if (next_ + std::chrono::milliseconds(50) < now) next_ = now;  // idle or fell behind
    Clock::time_point start = next_;
    auto dur = std::chrono::microseconds(static_cast<int64_t>(n) * 1000000 / fmt_.avgBytesPerSec);
    Clock::time_point deadline = start + dur;
    while ((now = Clock::now()) < deadline) {
      if (aborted()) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
        if (us < 0) us = 0;
        size_t done = static_cast<size_t>(static_cast<uint64_t>(us) * fmt_.avgBytesPerSec / 1000000);
        done -= done % align;
        next_ = now;
        return std::min(done, n);
      }
      auto left = deadline - now;
      std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(5)));
    }
    next_ = deadline;
    return n;
  }

  void WriteHeader() {
    uint8_t h[46] = {};
    uint32_t fmtSize = headerSize_ == 44 ? 16 : 18;
    std::memcpy(h, "RIFF", 4);
    PutLe(h + 4, static_cast<uint32_t>(headerSize_ - 8 + bytes_), 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe(h + 16, fmtSize, 4);
    PutLe(h + 20, fmt_.formatTag, 2);
    PutLe(h + 22, fmt_.channels, 2);
    PutLe(h + 24, fmt_.samplesPerSec, 4);
    PutLe(h + 28, fmt_.avgBytesPerSec, 4);
    PutLe(h + 32, fmt_.blockAlign, 2);
    PutLe(h + 34, fmt_.bitsPerSample, 2);
    uint8_t* d = h + 20 + fmtSize;
    std::memcpy(d, "data", 4);
    PutLe(d + 4, static_cast<uint32_t>(bytes_), 4);
    std::fseek(out_, 0, SEEK_SET);
    std::fwrite(h, 1, headerSize_, out_);
    std::fflush(out_);
  }

  const bool capture_;
  const WaveFormat fmt_;
  const uint32_t serial_;
  Clock::time_point next_;
  FILE* out_ = nullptr;
  FILE* in_ = nullptr;
  uint64_t inLeft_ = 0;
  uint64_t bytes_ = 0;
  size_t headerSize_ = 44;
  bool finished_ = false;
  std::string path_, logPath_;
};

}  // namespace

int OpenFakeStream(bool capture, int deviceId, const WaveFormat& fmt, uint32_t serial, const WaveSettings& settings,
                   std::unique_ptr<WaveBackendStream>& out) {
  if (deviceId < -1 || deviceId >= kFakeWaveDevices) return kMmBadDeviceId;
  std::string dir = settings.fakeDir.empty() ? std::string(".") : settings.fakeDir;
  std::string logPath = dir + "/wave.log";
  auto s = std::make_unique<FakeStream>(capture, fmt, serial);
  FakeWaveSession rec;
  rec.serial = serial;
  rec.capture = capture;
  rec.deviceId = deviceId;
  rec.format = fmt;
  rec.openTick = TickCount();
  if (capture) {
    s->OpenInput(settings.fakeInput, logPath);
  } else {
    char name[64];
    // The process id keeps programs that share the folder apart.
    std::snprintf(name, sizeof name, "/wout_%d_%u.wav", static_cast<int>(::getpid()), serial);
    rec.file = dir + name;
    if (!s->OpenOutput(rec.file, logPath)) return kMmError;
  }
  {
    std::lock_guard<std::mutex> g(g_sessionsLock);
    g_sessions.push_back(rec);
  }
  // A line at the open too: a device a line keeps open until the program
  // stops would otherwise show in the log only then.
  if (FILE* log = std::fopen(logPath.c_str(), "ae")) {
    std::fprintf(log, "%s #%u dev=%d tag=%u rate=%u open=%u file=%s\n", capture ? "in" : "out", serial, deviceId,
                 fmt.formatTag, fmt.samplesPerSec, rec.openTick, capture ? settings.fakeInput.c_str() : rec.file.c_str());
    std::fclose(log);
  }
  out = std::move(s);
  return kMmNoError;
}

std::vector<FakeWaveSession> FakeWaveSessions() {
  std::lock_guard<std::mutex> g(g_sessionsLock);
  return g_sessions;
}

void ClearFakeWaveSessions() {
  std::lock_guard<std::mutex> g(g_sessionsLock);
  g_sessions.clear();
}

}  // namespace plat
