#include "lines/vircard.h"

#include <cstdio>
#include <cstring>

#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "lines/waveplay.h"
#include "platform/media.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {
constexpr uint8_t kALawSilence = 0xD5;

std::string Format(const char* fmt, int a, int b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}
}  // namespace

TagVirCard::TagVirCard(int lineCount, int englishNames) : english(englishNames) {
  telCount = lineCount < 0 ? 1 : lineCount;
  status = 0;
}

int TagVirCard::GetLineName(int index, std::string& name) {
  char buf[84];
  if (english)
    std::snprintf(buf, sizeof buf, "VirtualLine%d#", index);
  else
    std::snprintf(buf, sizeof buf, GBK("虚拟线路%d#").c_str(), index);
  name = buf;
  return 0;
}

TagTelLine* TagVirCard::MakeLine(int index, int lineNumber) {
  if (index < 0 || index >= telCount) return nullptr;
  auto* line = new TagTelLine(lineNumber, this);
  GetLineName(index, line->name);
  auto* call = new TagVirCall(index, lineNumber, this);
  std::snprintf(call->name, sizeof call->name, "%s", line->name.c_str());
  line->call = call;
  return line;
}

TagVirCall::TagVirCall(int, int lineNumber, TagVirCard* virCard) : virCard_(virCard) {
  lineNo = lineNumber;
  keyLine = lineNumber;
  lineType = kLineVir;
  card = virCard;
  interrupted = 0;
  loopPlay = 0;
  for (int i = 0; i < kLinkBuffers; ++i) {
    inHeaders_[i].user = static_cast<uintptr_t>(i);
    outHeaders_[i].user = static_cast<uintptr_t>(i);
  }
}

TagVirCall::~TagVirCall() {
  // A link still up must not outlive the object its threads use.
  EndRtp();
  StopPlay();
}

void TagVirCall::ClearKeys() { ClearDispKeys(keyLine); }

int TagVirCall::KeysLen() {
  TagKxCall::KeysLen();
  return GetDispKeysLength(keyLine);
}

int TagVirCall::Record(const std::string& file, int maxSeconds, uint8_t breakKey) {
  auto rec = std::make_unique<TagWaveRecord>(file, -1);
  if (rec->status != 0) return -2;
  // A start that fails (no microphone) reports itself and leaves the
  // recorder finished: the file keeps its empty header.
  rec->Start();
  const uint32_t start = plat::TickCount();
  while (!interrupted.load() && !rec->IsDone()) {
    if (maxSeconds > 0 && plat::TickCount() - start > static_cast<uint32_t>(maxSeconds) * 1000u) {
      TagKxCall::Log("Rec timeout...");
      rec->Stop();
      break;
    }
    if (breakKey && KeysLen() > 0) {
      TagKxCall::Log("Press key...");
      rec->Stop();
      break;
    }
    plat::SleepMs(30);
  }
  rec->Close();
  rec.reset();
  return 0;
}

int TagVirCall::LinkTo(int line, int) {
  if (line < 0 || line == lineNo) return -1;
  uint8_t type = 255;
  TagKxCall* other = virCard_ && virCard_->findCall ? virCard_->findCall(line, &type) : nullptr;
  if (!other) {
    TagKxCall::Log(Format("GetCall(destLine=%d) is NULL", line));
    return -200;
  }
  if (type != 0) {
    TagKxCall::Log(Format("GetCall(destLine=%d) type=%d", line, type));
    return -200;
  }
  linkedCall = other;
  return LinkCall(other);
}

int TagVirCall::UnlinkTo(int line, int) {
  if (line < 0) return -1;
  if (!linkedCall || linkedCall->lineNo != line) return -2;
  return UnlinkCall();
}

int TagVirCall::UnlinkAll() {
  UnlinkCall();
  return 0;
}

int TagVirCall::LinkCall(TagKxCall* other) {
  linkedCall = other;
  int r = StartRtp();
  if (other) other->LinkTo(lineNo, 0);
  return r;
}

int TagVirCall::UnlinkCall() {
  if (!linkedCall) return -1;
  TagKxCall* other = linkedCall;
  // Cleared first: the other side's unlink may call back into this one.
  linkedCall = nullptr;
  other->UnlinkTo(lineNo, 0);
  StopPlay();
  EndRtp();
  return 0;
}

bool TagVirCall::WaveInOpen() const {
  std::lock_guard<std::mutex> g(devLock_);
  return waveIn_ != nullptr;
}

bool TagVirCall::WaveOutOpen() const {
  std::lock_guard<std::mutex> g(devLock_);
  return waveOut_ != nullptr;
}

void TagVirCall::CloseChannel() {
  if (!channelOpen_) return;
  ms_external_channel_stop(mediaChannel);
  ms_external_channel_destroy(mediaChannel);
  mediaChannel = 0;
  channelOpen_ = false;
}

void TagVirCall::EndThread(plat::Thread& thread, const std::shared_ptr<plat::WaveMsgQueue>& queue) {
  if (!thread.Joinable()) return;
  if (queue) queue->Post(plat::WaveMsg{plat::WaveMsgType::kQuit});
  thread.Join();
}

int TagVirCall::StartRtp() {
  if (mediaChannel != 0 || channelOpen_) EndRtp();
  linkActive = 0;
  endThreads_ = false;
  int ret = ms_external_channel_create(&mediaChannel);
  channelOpen_ = true;
  TagKxCall::Log(Format("TagVirCall::StartRtp::ms_external_channel_create : mChannel=%d, ret=%d", mediaChannel, ret));
  ret = ms_external_channel_start(mediaChannel, kMediaPayloadALaw);
  TagKxCall::Log(Format("TagVirCall::StartRtp::ms_external_channel_start : mChannel=%d, ret=%d", mediaChannel, ret));

  const plat::WaveFormat fmt = plat::WaveFormat::ALaw();
  inQueue_ = std::make_shared<plat::WaveMsgQueue>();
  captureThread_.Start([this] { CaptureLoop(); });
  std::unique_ptr<plat::WaveIn> in;
  int r = plat::WaveIn::Open(in, -1, fmt, inQueue_);
  if (r != plat::kMmNoError) {
    TagKxCall::Log(Format("waveInOpen Err. [%d]", r));
    // Nothing of a half-made link stays running.
    EndThread(captureThread_, inQueue_);
    CloseChannel();
    return -1;
  }
  plat::SleepMs(80);
  {
    std::lock_guard<std::mutex> g(devLock_);
    waveIn_ = std::move(in);
    for (int i = 0; i < kLinkBuffers; ++i) {
      inHeaders_[i].data = inData_[i];
      inHeaders_[i].bufferLength = kLinkBufferBytes;
      inHeaders_[i].flags = 0;
      waveIn_->Prepare(&inHeaders_[i]);
      waveIn_->AddBuffer(&inHeaders_[i]);
    }
    r = waveIn_->Start();
    TagKxCall::Log(Format("waveInStart: hwi=%d, ret=%d", static_cast<int>(waveIn_->Serial()), r));
  }

  outQueue_ = std::make_shared<plat::WaveMsgQueue>();
  playbackThread_.Start([this] { PlaybackLoop(); });
  std::unique_ptr<plat::WaveOut> out;
  r = plat::WaveOut::Open(out, -1, fmt, outQueue_);
  if (r != plat::kMmNoError) {
    TagKxCall::Log(Format("waveOutOpen Err. [%d]", r));
    EndRtp();
    return -2;
  }
  {
    std::lock_guard<std::mutex> g(devLock_);
    waveOut_ = std::move(out);
    for (int i = 0; i < kLinkBuffers; ++i) {
      std::memset(outData_[i], kALawSilence, kLinkBufferBytes);
      outHeaders_[i].data = outData_[i];
      outHeaders_[i].bufferLength = kLinkBufferBytes;
      outHeaders_[i].flags = 0;
      waveOut_->Prepare(&outHeaders_[i]);
      waveOut_->Write(&outHeaders_[i]);
    }
    TagKxCall::Log(Format("wave in=%d, out=%d", static_cast<int>(waveIn_->Serial()),
                          static_cast<int>(waveOut_->Serial())));
  }
  linkActive = 1;
  return 0;
}

int TagVirCall::EndRtp() {
  const bool anything = channelOpen_ || captureThread_.Joinable() || playbackThread_.Joinable() || WaveInOpen() ||
                        WaveOutOpen();
  if (!anything) return 0;
  linkActive = 0;
  TagKxCall::Log("EndRtp()1...");
  plat::SleepMs(90);
  {
    std::lock_guard<std::mutex> g(devLock_);
    if (waveIn_) {
      uint32_t h = waveIn_->Serial();
      waveIn_->Reset();
      int r = waveIn_->Close();
      TagKxCall::Log(Format("waveInClose(%d)=%d", static_cast<int>(h), r));
    }
  }
  TagKxCall::Log("EndRtp()2...");
  {
    std::lock_guard<std::mutex> g(devLock_);
    if (waveOut_) {
      uint32_t h = waveOut_->Serial();
      waveOut_->Reset();
      int r = waveOut_->Close();
      TagKxCall::Log(Format("waveOutClose(%d)=%d", static_cast<int>(h), r));
    }
  }
  // The threads end at the close notices; the quit message covers a thread
  // whose device never opened.
  endThreads_ = true;
  EndThread(captureThread_, inQueue_);
  EndThread(playbackThread_, outQueue_);
  {
    std::lock_guard<std::mutex> g(devLock_);
    waveIn_.reset();
    waveOut_.reset();
  }
  CloseChannel();
  TagKxCall::Log("EndRtp().");
  return 0;
}

void TagVirCall::CaptureLoop() {
  std::shared_ptr<plat::WaveMsgQueue> q = inQueue_;
  while (!endThreads_.load() && !interrupted.load()) {
    plat::WaveMsg m;
    if (!q->Get(m, 50)) continue;
    if (m.type == plat::WaveMsgType::kQuit) break;
    if (m.type == plat::WaveMsgType::kInOpen) {
      TagKxCall::Log(Format("in WIM_OPEN: %d", static_cast<int>(m.device)));
      continue;
    }
    if (m.type == plat::WaveMsgType::kInClose) {
      TagKxCall::Log("MM_WIM_CLOSE");
      break;
    }
    if (m.type != plat::WaveMsgType::kInData || !m.header) continue;
    std::lock_guard<std::mutex> g(devLock_);
    if (!waveIn_ || m.device != waveIn_->Serial()) continue;
    if (linkActive.load() && m.header->bytesRecorded > 0) {
      ms_external_channel_put(mediaChannel, m.header->data, static_cast<int>(m.header->bytesRecorded));
      waveIn_->Unprepare(m.header);
      waveIn_->Prepare(m.header);
      waveIn_->AddBuffer(m.header);
    }
  }
}

void TagVirCall::PlaybackLoop() {
  std::shared_ptr<plat::WaveMsgQueue> q = outQueue_;
  uint8_t block[kLinkBufferBytes];
  while (!endThreads_.load() && !interrupted.load()) {
    plat::WaveMsg m;
    if (!q->Get(m, 50)) continue;
    if (m.type == plat::WaveMsgType::kQuit) break;
    if (m.type == plat::WaveMsgType::kOutOpen) {
      TagKxCall::Log("MM_WOM_OPEN");
      continue;
    }
    if (m.type == plat::WaveMsgType::kOutClose) {
      TagKxCall::Log("MM_WOM_CLOSE");
      break;
    }
    if (m.type != plat::WaveMsgType::kOutDone || !m.header) continue;
    if (!linkActive.load() || m.header->user >= static_cast<uintptr_t>(kLinkBuffers)) continue;
    int n = kLinkBufferBytes;
    ms_external_channel_get(mediaChannel, block, &n);
    if (n < kLinkBufferBytes) std::memset(block, kALawSilence, sizeof block);
    std::lock_guard<std::mutex> g(devLock_);
    if (!waveOut_ || m.device != waveOut_->Serial()) continue;
    std::memcpy(m.header->data, block, kLinkBufferBytes);
    waveOut_->Unprepare(m.header);
    waveOut_->Prepare(m.header);
    waveOut_->Write(m.header);
  }
}
