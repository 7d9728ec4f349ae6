#include "lines/waveplay.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/bytes.h"
#include "platform/riff.h"
#include "core/cpumeter.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "lines/vocfile.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

using plat::Le32;
using plat::Le16;


// 0 when the size cannot be told: the file is then too short to play.
int64_t FileLength(FILE* f) {
  int64_t n = plat::FileSizeOf(f);
  return n < 0 ? 0 : n;
}

bool SeekTo(FILE* f, int64_t pos) { return pos >= 0 && pos <= LONG_MAX && std::fseek(f, static_cast<long>(pos), SEEK_SET) == 0; }

std::string Format(const char* fmt, int a) {
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

constexpr size_t kThreadStack = 256 * 1024;

}  // namespace

int ReadPlayLayout(FILE* f, int64_t fileLength, WavePlayLayout& layout) {
  layout = WavePlayLayout{};
  layout.dataOffset = 90;
  if (fileLength - 90 < 100) return -2;
  const plat::RiffFile riff(f);
  if (!riff.IsRiff()) {
    layout.dataOffset = 0;
    layout.end = fileLength - 90;
    layout.format = plat::WaveFormat::ALaw();
    return 0;
  }
  // The format chunk follows the head. The device format holds 18 bytes; the
  // extra size counts as 0 when the file's is shorter.
  plat::RiffChunk fmtChunk;
  const bool haveFmt = riff.ChunkAt(12, &fmtChunk);
  uint8_t rec[18] = {};
  if (haveFmt) riff.Read(fmtChunk, 0, rec, std::min<uint32_t>(fmtChunk.size, sizeof rec));
  plat::WaveFormat& fm = layout.format;
  fm.formatTag = Le16(rec);
  fm.channels = Le16(rec + 2);
  fm.samplesPerSec = Le32(rec + 4);
  fm.avgBytesPerSec = Le32(rec + 8);
  fm.blockAlign = Le16(rec + 12);
  fm.bitsPerSample = Le16(rec + 14);
  fm.extraSize = Le16(rec + 16);
  // The next chunk header follows the whole format chunk, whatever its size;
  // at most one chunk comes before the data.
  plat::RiffChunk data;
  bool ok = haveFmt && riff.ChunkAt(riff.After(fmtChunk), &data);
  if (ok && !data.Is("data")) ok = riff.ChunkAt(riff.After(data), &data);
  if (!ok) {
    // No data header: nothing to play.
    layout.dataOffset = fileLength;
    layout.end = fileLength;
    return 0;
  }
  layout.dataOffset = data.dataAt;
  layout.end = std::min<int64_t>(layout.dataOffset + data.size, fileLength);
  return 0;
}

// ---------------------------------------------------------------------------
// TagWavePlay

TagWavePlay::TagWavePlay(const std::string& file, int volume, int devId, int reserved, int startOffset)
    : deviceId(devId), bufferSize(devId == -1 ? 81920u : 2048u) {
  int r = OpenInput(file, startOffset);
  if (r != 0) {
    status = r;
    return;
  }
  buffer_.assign(bufferSize, 0);
  if (!StartThread()) {
    done.store(true);
    status = -2;
    return;
  }
  if (OpenDevice() != 0) {
    EndThread();
    status = -3;
    return;
  }
  SetVolume(volume);
  StartFirstBuffer();
  status = 0;
}

TagWavePlay::~TagWavePlay() {
  closing.store(true);
  Stop();
  if (deviceOpen_.load()) {
    for (int i = 0; i < 10 && !done.load(); ++i) plat::SleepMs(50);
    done.store(true);
    CloseDevice();
  }
  EndThread();
  std::lock_guard<std::mutex> g(lock_);
  CloseInput();
}

int TagWavePlay::Play(const std::string& file, int volume, int reserved, int startOffset) {
  Stop();
  CloseDevice();
  {
    std::lock_guard<std::mutex> g(lock_);
    CloseInput();
  }
  int r = OpenInput(file, startOffset);
  if (r != 0) return r == -1 ? -2 : -3;
  if (buffer_.size() != bufferSize) buffer_.assign(bufferSize, 0);
  if (!threadRunning_ && !StartThread()) {
    done.store(true);
    return -2;
  }
  if (OpenDevice() != 0) {
    EndThread();
    return -2;
  }
  SetVolume(volume);
  StartFirstBuffer();
  return 0;
}

int TagWavePlay::OpenInput(const std::string& file, int startOffset) {
  std::string name;
  PrepareVoxAsWav(file, name);
  FILE* f = plat::OpenFile(name, "rb");
  if (!f) return -1;
  WavePlayLayout layout;
  if (ReadPlayLayout(f, FileLength(f), layout) != 0) {
    std::fclose(f);
    return -2;
  }
  std::lock_guard<std::mutex> g(lock_);
  input_ = f;
  format_ = layout.format;
  dataOffset_ = layout.dataOffset;
  end_ = layout.end;
  done.store(false);
  stopRequest.store(false);
  // A start offset inside a sample would turn 16-bit audio into noise.
  int64_t start = std::max(startOffset, 0);
  start -= start % std::max<uint16_t>(format_.blockAlign, 1);
  position_ = dataOffset_ + start;
  SeekTo(input_, position_);
  return 0;
}

bool TagWavePlay::StartThread() {
  queue_ = std::make_shared<plat::WaveMsgQueue>();
  threadRunning_ = thread_.Start([this] { Run(); }, kThreadStack);
  return threadRunning_;
}

void TagWavePlay::EndThread() {
  if (!threadRunning_) return;
  queue_->Post(plat::WaveMsg{plat::WaveMsgType::kQuit});
  thread_.Join();
  threadRunning_ = false;
}

int TagWavePlay::OpenDevice() {
  std::unique_ptr<plat::WaveOut> dev;
  int r = plat::WaveOut::Open(dev, deviceId, format_, queue_);
  if (r != plat::kMmNoError) {
    done.store(true);
    LogF("waveOutOpen Err. [%d], id=%d", r, deviceId);
    return r;
  }
  std::lock_guard<std::mutex> g(lock_);
  device_ = std::move(dev);
  deviceOpen_.store(true);
  return 0;
}

void TagWavePlay::CloseDevice() {
  std::lock_guard<std::mutex> g(lock_);
  if (!device_) return;
  device_->Reset();
  device_->Close();
  device_.reset();
  deviceOpen_.store(false);
}

void TagWavePlay::CloseInput() {
  if (input_) std::fclose(input_);
  input_ = nullptr;
}

void TagWavePlay::StartFirstBuffer() {
  std::string box;
  {
    std::lock_guard<std::mutex> g(lock_);
    int n = FillLocked();
    if (n <= 0) {
      CloseInput();
      done.store(true);
      return;
    }
    WriteLocked(n, box);
  }
  ShowBox(box, GBK("出错了Play()"));
}

int TagWavePlay::FillLocked() {
  if (!input_) return -1;
  int64_t n = std::min<int64_t>(bufferSize, end_ - position_);
  if (n <= 0) {
    position_ = dataOffset_;
    return -2;
  }
  size_t got = std::fread(buffer_.data(), 1, static_cast<size_t>(n), input_);
  if (got == 0) {
    position_ = dataOffset_;
    return -3;
  }
  // Only what was read goes to the device, never the rest of an older buffer.
  position_ += static_cast<int64_t>(got);
  return static_cast<int>(got);
}

int TagWavePlay::WriteLocked(int n, std::string& box) {
  if (closing.load() || n <= 0 || !device_ || stopRequest.load()) {
    done.store(true);
    return -1;
  }
  header_.data = buffer_.data();
  header_.bufferLength = static_cast<uint32_t>(n);
  header_.flags.store(0);
  int r = device_->Prepare(&header_);
  if (r != plat::kMmNoError) {
    done.store(true);
    box = Format("waveOutPrepareHeader Err. [%d]", r);
    return -2;
  }
  r = device_->Write(&header_);
  if (r != plat::kMmNoError) {
    done.store(true);
    box = Format("waveOutWrite Err. [%d]", r);
    return -3;
  }
  return 0;
}

void TagWavePlay::ShowBox(const std::string& box, const std::string& title) {
  if (!box.empty()) plat::MessageBox(title, box, plat::kBoxIconError);
}

void TagWavePlay::Run() {
  std::shared_ptr<plat::WaveMsgQueue> q = queue_;
  for (;;) {
    plat::WaveMsg m;
    if (!q->Get(m, 200)) continue;
    if (m.type == plat::WaveMsgType::kQuit) break;
    if (m.type == plat::WaveMsgType::kOutDone) OnDone(m.device);
  }
}

void TagWavePlay::OnDone(uint32_t serial) {
  std::string box, title = GBK("出错了Play()");
  {
    std::lock_guard<std::mutex> g(lock_);
    // Notices of a device closed since (an earlier file) are stale.
    if (!device_ || device_->Serial() != serial || done.load()) return;
    if (stopRequest.load()) {
      done.store(true);
      return;
    }
    int r = device_->Unprepare(&header_);
    if (r != plat::kMmNoError) {
      done.store(true);
      box = Format("waveOutUnprepareHeader : [%d]", r);
      title = "Debug";
    } else {
      int n = FillLocked();
      if (n > 0) {
        WriteLocked(n, box);
      } else if (n == -1 || !loop.load()) {
        CloseInput();
        done.store(true);
      } else {
        position_ = dataOffset_;
        SeekTo(input_, position_);
        n = FillLocked();
        if (n > 0) {
          WriteLocked(n, box);
        } else {
          CloseInput();
          done.store(true);
        }
      }
    }
  }
  ShowBox(box, title);
}

void TagWavePlay::Stop() {
  if (stopping.exchange(true)) return;
  if (deviceOpen_.load()) {
    stopRequest.store(true);
    if (deviceId == -1) {
      std::lock_guard<std::mutex> g(lock_);
      if (device_) device_->Reset();
    }
    for (int waited = 0; waited < 5000 && !done.load() && deviceOpen_.load(); waited += 50) plat::SleepMs(50);
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    CloseInput();
  }
  stopping.store(false);
}

int TagWavePlay::SetVolume(int percent) {
  std::lock_guard<std::mutex> g(lock_);
  if (!device_ || closing.load()) return -1;
  const uint32_t level = static_cast<uint32_t>(std::clamp(percent, 0, 100)) * 65535u / 100u;
  return device_->SetVolume(level * 65537u) == plat::kMmNoError ? 0 : -2;
}

// ---------------------------------------------------------------------------
// TagWaveRecord

namespace {
constexpr uint32_t kRecFmtSize = 20;  // 48-byte header
}

TagWaveRecord::TagWaveRecord(const std::string& file, int devId)
    : deviceId(devId), bufferSize(devId == -1 ? 20480u : 4096u) {
  file_ = plat::OpenFile(file, "wb");
  if (!file_) {
    plat::MessageBox(GBK("出错了Record()"), GBK("无法创建'") + file + "'", plat::kBoxOk);
    status = -1;
    return;
  }
  // A recording that captures nothing is still a valid empty WAVE file.
  WriteWaveHeader(file_, kRecFmtSize, plat::kWaveFormatPcm, 0);
  std::fflush(file_);
  status = 0;
}

TagWaveRecord::~TagWaveRecord() {
  Stop();
  if (file_) {
    const int64_t n = total.load();
    if (n > 0) {
      const uint32_t limit = UINT32_MAX - WaveHeaderSize(kRecFmtSize);
      WriteWaveHeader(file_, kRecFmtSize, plat::kWaveFormatPcm, static_cast<uint32_t>(std::min<int64_t>(n, limit)));
    }
    std::fclose(file_);
    file_ = nullptr;
  }
}

int TagWaveRecord::Start() {
  Stop();
  if (!file_) {
    Log("wavFp==NULL");
    return -1;
  }
  done.store(false);
  stopping.store(false);
  total.store(0);
  buffer_.assign(bufferSize, 0);
  queue_ = std::make_shared<plat::WaveMsgQueue>();
  if (!thread_.Start([this] { Run(); }, kThreadStack)) {
    done.store(true);
    Log("CreateThread() Err.");
    return -2;
  }
  std::unique_ptr<plat::WaveIn> dev;
  int r = plat::WaveIn::Open(dev, deviceId, plat::WaveFormat::Pcm16(), queue_);
  if (r != plat::kMmNoError) {
    done.store(true);
    LogF("waveInOpen Err. devId=%d, mmRes=%d", deviceId, r);
    queue_->Post(plat::WaveMsg{plat::WaveMsgType::kQuit});
    thread_.Join();
    return -3;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    device_ = std::move(dev);
    deviceOpen_.store(true);
    header_.data = buffer_.data();
    header_.bufferLength = bufferSize;
    header_.flags.store(0);
    device_->Prepare(&header_);
    device_->AddBuffer(&header_);
    device_->Start();
  }
  Log("Rec Start...");
  return 0;
}

void TagWaveRecord::Run() {
  std::shared_ptr<plat::WaveMsgQueue> q = queue_;
  while (!done.load()) {
    plat::WaveMsg m;
    if (!q->Get(m, 50)) continue;
    if (m.type == plat::WaveMsgType::kQuit) break;
    std::lock_guard<std::mutex> g(lock_);
    if (device_ && m.device == device_->Serial()) {
      if (m.type == plat::WaveMsgType::kInData && m.header) {
        const uint32_t n = m.header->bytesRecorded;
        if (n > 0 && file_) total.fetch_add(static_cast<int64_t>(std::fwrite(m.header->data, 1, n, file_)));
        device_->Unprepare(m.header);
        if (!stopping.load()) {
          device_->Prepare(m.header);
          device_->AddBuffer(m.header);
        } else {
          done.store(true);
        }
      } else if (m.type == plat::WaveMsgType::kInClose) {
        done.store(true);
      }
    }
    if (stopping.load() && done.load()) CloseDeviceLocked();
  }
}

void TagWaveRecord::CloseDeviceLocked() {
  if (!device_) return;
  device_->Close();
  device_.reset();
  deviceOpen_.store(false);
}

void TagWaveRecord::Stop() {
  if (deviceOpen_.load()) {
    stopping.store(true);
    {
      std::lock_guard<std::mutex> g(lock_);
      if (device_) device_->Reset();
    }
    for (uint32_t waited = 0; waited < 5000 && !(done.load() && !deviceOpen_.load());) waited += WaitMs(50);
  }
  done.store(true);
  if (thread_.Joinable()) {
    queue_->Post(plat::WaveMsg{plat::WaveMsgType::kQuit});
    thread_.Join();
  }
  std::lock_guard<std::mutex> g(lock_);
  CloseDeviceLocked();  // when the message thread did not get to it
  buffer_.clear();
  buffer_.shrink_to_fit();
}

void TagWaveRecord::Close() {
  std::lock_guard<std::mutex> g(lock_);
  CloseDeviceLocked();
}

namespace {

class TagWavePcPlayer : public TagPcPlayer {
 public:
  explicit TagWavePcPlayer(std::unique_ptr<TagWavePlay> play) : play_(std::move(play)) {}
  int Play(const std::string& file, int volume, int startOffset) override {
    return play_->Play(file, volume, 0, startOffset);
  }
  void Stop() override { play_->Stop(); }
  bool IsDone() const override { return play_->IsDone(); }
  void SetLoop(bool loop) override { play_->SetLoop(loop); }
  uint32_t BytesPerSecond() override { return play_->BytesPerSecond(); }

 private:
  std::unique_ptr<TagWavePlay> play_;
};

std::unique_ptr<TagPcPlayer> MakeWavePcPlayer(const std::string& file, int volume, int32_t startOffset) {
  auto play = std::make_unique<TagWavePlay>(file, volume, -1, 0, startOffset);
  if (play->status != 0) return nullptr;
  return std::make_unique<TagWavePcPlayer>(std::move(play));
}

}  // namespace

void RegisterWavePlayer() { SetPcPlayerMaker(&MakeWavePcPlayer); }
