#include "platform/wave.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/thread.h"
#include "platform/wavebackend.h"

namespace plat {

// ---------------------------------------------------------------------------
// Message queue

void WaveMsgQueue::Post(const WaveMsg& msg) {
  {
    std::lock_guard<std::mutex> g(lock_);
    queue_.push_back(msg);
  }
  cv_.notify_one();
}

bool WaveMsgQueue::Get(WaveMsg& msg, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return !queue_.empty(); })) return false;
  msg = queue_.front();
  queue_.pop_front();
  return true;
}

size_t WaveMsgQueue::Size() const {
  std::lock_guard<std::mutex> g(lock_);
  return queue_.size();
}

// ---------------------------------------------------------------------------
// Settings

namespace {

std::mutex g_settingsLock;
bool g_settingsRead = false;
WaveSettings g_settings;

std::atomic<uint32_t> g_serial{0};

}  // namespace

WaveSettings WaveSettingsFromEnvironment() {
  WaveSettings s;
  if (const char* v = std::getenv("RODIZ_WAVE")) s.fake = std::strcmp(v, "fake") == 0;
  if (const char* v = std::getenv("RODIZ_WAVE_DEVICE"); v && *v) s.alsaDevice = v;
  if (const char* v = std::getenv("RODIZ_WAVE_FAKE_DIR"); v && *v) s.fakeDir = v;
  if (const char* v = std::getenv("RODIZ_WAVE_FAKE_INPUT")) s.fakeInput = v;
  return s;
}

WaveSettings GetWaveSettings() {
  std::lock_guard<std::mutex> g(g_settingsLock);
  if (!g_settingsRead) {
    g_settingsRead = true;
    g_settings = WaveSettingsFromEnvironment();
  }
  return g_settings;
}

void SetWaveSettings(const WaveSettings& s) {
  std::lock_guard<std::mutex> g(g_settingsLock);
  g_settingsRead = true;
  g_settings = s;
}

// ---------------------------------------------------------------------------
// Formats and G.711

uint8_t WaveSilenceByte(const WaveFormat& fmt) {
  switch (fmt.formatTag) {
    case kWaveFormatALaw: return 0xD5;
    case kWaveFormatMuLaw: return 0xFF;
    case kWaveFormatPcm: return fmt.bitsPerSample == 8 ? 0x80 : 0;
    default: return 0;
  }
}

int CheckWaveFormat(const WaveFormat& f) {
  if (f.channels < 1 || f.channels > 2) return kWaveBadFormat;
  if (f.samplesPerSec < 4000 || f.samplesPerSec > 48000) return kWaveBadFormat;
  unsigned bytes;
  if (f.formatTag == kWaveFormatPcm) {
    if (f.bitsPerSample != 8 && f.bitsPerSample != 16) return kWaveBadFormat;
    bytes = f.bitsPerSample / 8u;
  } else if (f.formatTag == kWaveFormatALaw || f.formatTag == kWaveFormatMuLaw) {
    if (f.bitsPerSample != 8) return kWaveBadFormat;
    bytes = 1;
  } else {
    return kWaveBadFormat;
  }
  if (f.blockAlign != bytes * f.channels) return kWaveBadFormat;
  if (f.avgBytesPerSec != f.samplesPerSec * f.blockAlign) return kWaveBadFormat;
  return kMmNoError;
}

int16_t G711ALawToLinear(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  int seg = (a & 0x70) >> 4;
  if (seg == 0)
    t += 8;
  else
    t = (t + 0x108) << (seg - 1);
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

int16_t G711MuLawToLinear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

uint8_t G711LinearToALaw(int16_t s) {
  int v = s >> 3;
  int mask = 0xD5;
  if (v < 0) {
    mask = 0x55;
    v = ~v;
  }
  int seg = 0;
  while (seg < 8 && v > (1 << (seg + 5)) - 1) ++seg;
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = (seg << 4) | ((v >> (seg < 2 ? 1 : seg)) & 15);
  return static_cast<uint8_t>(code ^ mask);
}

uint8_t G711LinearToMuLaw(int16_t s) {
  int v = s >> 2;
  int mask = 0xFF;
  if (v < 0) {
    v = -v;
    mask = 0x7F;
  }
  v = std::min(v, 8159) + 33;
  int seg = 0;
  while (seg < 8 && v > (0x40 << seg) - 1) ++seg;
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = (seg << 4) | ((v >> (seg + 1)) & 15);
  return static_cast<uint8_t>(code ^ mask);
}

namespace {

// Scales a block of audio in the device's format by level/65535.
void ApplyVolume(const WaveFormat& f, uint8_t* p, size_t n, uint32_t level) {
  if (level >= 0xFFFF) return;
  auto scale = [level](int s) { return static_cast<int>(static_cast<int64_t>(s) * level / 0xFFFF); };
  if (f.formatTag == kWaveFormatPcm && f.bitsPerSample == 16) {
    for (size_t i = 0; i + 1 < n; i += 2) {
      int s = static_cast<int16_t>(p[i] | (p[i + 1] << 8));
      int v = scale(s);
      p[i] = static_cast<uint8_t>(v & 0xFF);
      p[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
  } else if (f.formatTag == kWaveFormatPcm) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(scale(p[i] - 128) + 128);
  } else if (f.formatTag == kWaveFormatALaw) {
    for (size_t i = 0; i < n; ++i) p[i] = G711LinearToALaw(static_cast<int16_t>(scale(G711ALawToLinear(p[i]))));
  } else if (f.formatTag == kWaveFormatMuLaw) {
    for (size_t i = 0; i < n; ++i) p[i] = G711LinearToMuLaw(static_cast<int16_t>(scale(G711MuLawToLinear(p[i]))));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// One open device: its buffer queue and the worker thread that plays or fills.

class WaveStream {
 public:
  WaveStream(bool capture, int deviceId, const WaveFormat& fmt, uint32_t serial,
             std::shared_ptr<WaveMsgQueue> notify, std::unique_ptr<WaveBackendStream> backend)
      : capture_(capture), deviceId_(deviceId), fmt_(fmt), serial_(serial), notify_(std::move(notify)),
        backend_(std::move(backend)) {
    // Work in 20 ms pieces: the reaction time of a reset or a stop.
    uint32_t piece = fmt_.avgBytesPerSec / 50;
    piece -= piece % std::max<uint32_t>(fmt_.blockAlign, 1);
    align_ = std::max<uint32_t>(fmt_.blockAlign, 1);
    chunk_ = std::max<uint32_t>(piece, align_);
  }
  ~WaveStream() { Close(); }

  bool Begin() {
    Post(capture_ ? WaveMsgType::kInOpen : WaveMsgType::kOutOpen, nullptr);
    return worker_.Start([this] { capture_ ? RunIn() : RunOut(); }, 256 * 1024);
  }

  int Prepare(WaveHeader* h) {
    if (!h || (!h->data && h->bufferLength > 0)) return kMmInvalParam;
    h->flags.fetch_or(kWhdrPrepared);
    return kMmNoError;
  }

  int Unprepare(WaveHeader* h) {
    if (!h) return kMmInvalParam;
    if (h->flags.load() & kWhdrInQueue) return kWaveStillPlaying;
    h->flags.fetch_and(~static_cast<uint32_t>(kWhdrPrepared));
    return kMmNoError;
  }

  int Queue(WaveHeader* h) {
    if (!h) return kMmInvalParam;
    std::lock_guard<std::mutex> g(m_);
    if (closed_) return kMmInvalHandle;
    uint32_t fl = h->flags.load();
    if (!(fl & kWhdrPrepared)) return kWaveUnprepared;
    if (fl & kWhdrInQueue) return kWaveStillPlaying;
    if (capture_) h->bytesRecorded = 0;
    h->flags.store((fl & ~static_cast<uint32_t>(kWhdrDone)) | kWhdrInQueue);
    queue_.push_back(h);
    cv_.notify_all();
    return kMmNoError;
  }

  int Reset() {
    std::unique_lock<std::mutex> g(m_);
    if (closed_) return kMmInvalHandle;
    SettleCaptureLocked(g);
    ReturnAllLocked();
    started_ = false;
    return kMmNoError;
  }

  int Start() {
    std::lock_guard<std::mutex> g(m_);
    if (closed_) return kMmInvalHandle;
    started_ = true;
    cv_.notify_all();
    return kMmNoError;
  }

  int Stop() {
    std::unique_lock<std::mutex> g(m_);
    if (closed_) return kMmInvalHandle;
    if (started_) {
      SettleCaptureLocked(g);
      started_ = false;
      epoch_.fetch_add(1);
      if (!queue_.empty()) ReturnFrontLocked();
    }
    return kMmNoError;
  }

  int Close() {
    std::lock_guard<std::mutex> cg(closeLock_);
    {
      std::unique_lock<std::mutex> g(m_);
      if (closed_) return kMmNoError;
      SettleCaptureLocked(g);
      ReturnAllLocked();
      closed_ = true;
      quit_.store(true);
      cv_.notify_all();
    }
    worker_.Join();
    if (backend_) backend_->Finish(!dropped_);
    backend_.reset();
    Post(capture_ ? WaveMsgType::kInClose : WaveMsgType::kOutClose, nullptr);
    return kMmNoError;
  }

  int SetVolume(uint32_t v) {
    volume_.store(v);
    return kMmNoError;
  }
  uint32_t Volume() const { return volume_.load(); }

  uint32_t serial() const { return serial_; }
  int deviceId() const { return deviceId_; }
  const WaveFormat& format() const { return fmt_; }

 private:
  void Post(WaveMsgType t, WaveHeader* h) {
    if (notify_) notify_->Post(WaveMsg{t, serial_, h, 0});
  }

  void ReturnFrontLocked() {
    WaveHeader* h = queue_.front();
    queue_.pop_front();
    if (capture_) h->bytesRecorded = offset_;
    offset_ = 0;
    h->flags.store((h->flags.load() & ~static_cast<uint32_t>(kWhdrInQueue)) | kWhdrDone);
    Post(capture_ ? WaveMsgType::kInData : WaveMsgType::kOutDone, h);
  }

  // Ends the piece being captured and waits until it is in its buffer, so a
  // buffer handed back holds all the device took in. The worker starts no
  // new piece meanwhile.
  void SettleCaptureLocked(std::unique_lock<std::mutex>& g) {
    if (!capture_) return;
    ++settling_;
    epoch_.fetch_add(1);
    cv_.wait(g, [this] { return !capturing_; });
    --settling_;
    cv_.notify_all();
  }

  void ReturnAllLocked() {
    epoch_.fetch_add(1);
    while (!queue_.empty()) ReturnFrontLocked();
    offset_ = 0;
  }

  WaveAbort AbortFor(uint32_t epoch) {
    return [this, epoch] { return quit_.load() || epoch_.load() != epoch; };
  }

  void RunOut() {
    std::vector<uint8_t> local(chunk_);
    std::unique_lock<std::mutex> g(m_);
    while (!quit_.load()) {
      if (queue_.empty()) {
        cv_.wait_for(g, std::chrono::milliseconds(10));
        continue;
      }
      WaveHeader* h = queue_.front();
      uint32_t epoch = epoch_.load();
      // Whole blocks only: a trailing part of a sample cannot be played or filled.
      uint32_t n = std::min<uint32_t>(chunk_, h->bufferLength - offset_);
      n -= n % align_;
      if (n == 0) {
        ReturnFrontLocked();
        continue;
      }
      std::memcpy(local.data(), h->data + offset_, n);
      g.unlock();
      ApplyVolume(fmt_, local.data(), n, Volume() & 0xFFFF);
      size_t played = backend_->Play(local.data(), n, AbortFor(epoch));
      g.lock();
      if (epoch_.load() != epoch) {
        // Reset: the buffer went back already; what the backend holds goes too.
        dropped_ = true;
        if (!quit_.load()) {
          g.unlock();
          backend_->Drop();
          g.lock();
        }
        continue;
      }
      dropped_ = false;
      offset_ += static_cast<uint32_t>(played);
      if (offset_ >= h->bufferLength) ReturnFrontLocked();
    }
  }

  void RunIn() {
    std::vector<uint8_t> local(chunk_);
    bool running = false;
    std::unique_lock<std::mutex> g(m_);
    while (!quit_.load()) {
      if (!started_ || queue_.empty() || settling_ > 0) {
        if (running && !started_) {
          g.unlock();
          backend_->Drop();
          g.lock();
          running = false;
        }
        cv_.wait_for(g, std::chrono::milliseconds(10));
        continue;
      }
      WaveHeader* h = queue_.front();
      uint32_t epoch = epoch_.load();
      // Whole blocks only: a trailing part of a sample cannot be played or filled.
      uint32_t n = std::min<uint32_t>(chunk_, h->bufferLength - offset_);
      n -= n % align_;
      if (n == 0) {
        ReturnFrontLocked();
        continue;
      }
      capturing_ = true;
      g.unlock();
      size_t got = backend_->Capture(local.data(), n, AbortFor(epoch));
      running = true;
      g.lock();
      // A reset, stop or close waits for this piece: the buffer is still
      // the front one, and what the piece caught goes into it.
      std::memcpy(h->data + offset_, local.data(), got);
      offset_ += static_cast<uint32_t>(got);
      capturing_ = false;
      cv_.notify_all();
      if (epoch_.load() != epoch) continue;  // the waiting call hands it back
      if (offset_ >= h->bufferLength) ReturnFrontLocked();
    }
  }

  const bool capture_;
  const int deviceId_;
  const WaveFormat fmt_;
  const uint32_t serial_;
  std::shared_ptr<WaveMsgQueue> notify_;
  std::unique_ptr<WaveBackendStream> backend_;
  uint32_t chunk_ = 160;
  uint32_t align_ = 1;

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<WaveHeader*> queue_;
  uint32_t offset_ = 0;  // bytes played from, or captured into, the front buffer
  bool started_ = false;
  bool closed_ = false;
  bool dropped_ = false;
  bool capturing_ = false;  // the worker is filling a piece outside the lock
  int settling_ = 0;        // calls waiting for that piece
  std::atomic<uint32_t> epoch_{0};
  std::atomic<bool> quit_{false};
  std::atomic<uint32_t> volume_{0xFFFFFFFFu};

  std::mutex closeLock_;
  Thread worker_;
};

namespace {

int OpenStream(bool capture, int deviceId, const WaveFormat& fmt, std::shared_ptr<WaveMsgQueue> notify,
               std::unique_ptr<WaveStream>& out) {
  out.reset();
  if (int r = CheckWaveFormat(fmt); r != kMmNoError) return r;
  WaveSettings st = GetWaveSettings();
  uint32_t serial = g_serial.fetch_add(1) + 1;
  std::unique_ptr<WaveBackendStream> backend;
  int r = st.fake ? OpenFakeStream(capture, deviceId, fmt, serial, st, backend)
                  : OpenAlsaStream(capture, deviceId, fmt, st.alsaDevice, backend);
  if (r != kMmNoError) return r;
  auto s = std::make_unique<WaveStream>(capture, deviceId, fmt, serial, std::move(notify), std::move(backend));
  if (!s->Begin()) {
    s->Close();
    return kMmNoMem;
  }
  out = std::move(s);
  return kMmNoError;
}

}  // namespace

// ---------------------------------------------------------------------------
// WaveOut / WaveIn

WaveOut::WaveOut(std::unique_ptr<WaveStream> s) : s_(std::move(s)) {}
WaveOut::~WaveOut() { Close(); }

int WaveOut::Open(std::unique_ptr<WaveOut>& out, int deviceId, const WaveFormat& fmt,
                  std::shared_ptr<WaveMsgQueue> notify) {
  out.reset();
  std::unique_ptr<WaveStream> s;
  int r = OpenStream(false, deviceId, fmt, std::move(notify), s);
  if (r == kMmNoError) out.reset(new WaveOut(std::move(s)));
  return r;
}

int WaveOut::Prepare(WaveHeader* h) { return s_->Prepare(h); }
int WaveOut::Unprepare(WaveHeader* h) { return s_->Unprepare(h); }
int WaveOut::Write(WaveHeader* h) { return s_->Queue(h); }
int WaveOut::Reset() { return s_->Reset(); }
int WaveOut::Close() { return s_->Close(); }
int WaveOut::SetVolume(uint32_t volume) { return s_->SetVolume(volume); }
int WaveOut::GetVolume(uint32_t* volume) const {
  if (!volume) return kMmInvalParam;
  *volume = s_->Volume();
  return kMmNoError;
}
uint32_t WaveOut::Serial() const { return s_->serial(); }
int WaveOut::DeviceId() const { return s_->deviceId(); }
const WaveFormat& WaveOut::Format() const { return s_->format(); }

WaveIn::WaveIn(std::unique_ptr<WaveStream> s) : s_(std::move(s)) {}
WaveIn::~WaveIn() { Close(); }

int WaveIn::Open(std::unique_ptr<WaveIn>& out, int deviceId, const WaveFormat& fmt,
                 std::shared_ptr<WaveMsgQueue> notify) {
  out.reset();
  std::unique_ptr<WaveStream> s;
  int r = OpenStream(true, deviceId, fmt, std::move(notify), s);
  if (r == kMmNoError) out.reset(new WaveIn(std::move(s)));
  return r;
}

int WaveIn::Prepare(WaveHeader* h) { return s_->Prepare(h); }
int WaveIn::Unprepare(WaveHeader* h) { return s_->Unprepare(h); }
int WaveIn::AddBuffer(WaveHeader* h) { return s_->Queue(h); }
int WaveIn::Start() { return s_->Start(); }
int WaveIn::Stop() { return s_->Stop(); }
int WaveIn::Reset() { return s_->Reset(); }
int WaveIn::Close() { return s_->Close(); }
uint32_t WaveIn::Serial() const { return s_->serial(); }
int WaveIn::DeviceId() const { return s_->deviceId(); }

}  // namespace plat
