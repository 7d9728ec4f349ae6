#include "platform/card/voicefile.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/bytes.h"
#include "platform/riff.h"
#include "platform/path.h"

namespace plat::card {

namespace {

using plat::Le32;
using plat::Le16;
using plat::RiffChunk;
using plat::RiffFile;

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;


// 0 when the size cannot be told: the file then holds nothing to play.
uint64_t FileSize(FILE* f) {
  int64_t n = plat::FileSizeOf(f);
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}

}  // namespace

int ProbeVoice(const std::string& path, VoiceInfo* info) {
  *info = VoiceInfo{};
  FilePtr f(plat::OpenFile(path, "rb"));
  if (!f) return -1;
  RiffFile riff(f.get());
  if (!riff.IsRiff()) {
    info->format = VoiceFormat::kALaw;
    info->dataOffset = 0;
    info->samples = FileSize(f.get());
    return 0;
  }
  if (!riff.IsWave()) return -2;
  info->wave = true;
  bool haveFmt = false;
  int64_t pos = 12;
  for (int guard = 0; guard < RiffFile::kMaxChunks && pos >= 0; guard++) {
    RiffChunk ch;
    if (!riff.ChunkAt(pos, &ch)) return -2;
    if (ch.Is("fmt ")) {
      uint8_t fmt[16];
      if (ch.size < 16 || riff.Read(ch, 0, fmt, 16) != 16) return -2;
      uint16_t tag = Le16(fmt);
      uint16_t channels = Le16(fmt + 2);
      uint32_t rate = Le32(fmt + 4);
      uint16_t bits = Le16(fmt + 14);
      if (channels != 1 || rate != 8000) return -2;
      if (tag == 1 && bits == 16) {
        info->format = VoiceFormat::kPcm16;
      } else if (tag == 6 && bits == 8) {
        info->format = VoiceFormat::kALaw;
      } else if (tag == 7 && bits == 8) {
        info->format = VoiceFormat::kMuLaw;
      } else {
        return -2;
      }
      haveFmt = true;
    } else if (ch.Is("data")) {
      if (!haveFmt) return -2;
      // A header may claim more than is there.
      info->dataOffset = static_cast<uint64_t>(ch.dataAt);
      info->samples = info->format == VoiceFormat::kPcm16 ? ch.avail / 2 : ch.avail;
      return 0;
    }
    pos = riff.After(ch);
  }
  return -2;
}

std::vector<uint8_t> ReadVoiceAsALaw(const std::string& path, const VoiceInfo& info,
                                     uint64_t from, uint64_t count) {
  std::vector<uint8_t> out;
  if (from >= info.samples) return out;
  if (count > info.samples - from) count = info.samples - from;
  FilePtr f(plat::OpenFile(path, "rb"));
  if (!f) return out;
  size_t width = info.format == VoiceFormat::kPcm16 ? 2 : 1;
  if (fseek(f.get(), static_cast<long>(info.dataOffset + from * width), SEEK_SET) != 0) return out;
  std::vector<uint8_t> raw(static_cast<size_t>(count) * width);
  size_t got = fread(raw.data(), 1, raw.size(), f.get());
  size_t n = got / width;
  out.resize(n);
  for (size_t i = 0; i < n; i++) {
    switch (info.format) {
      case VoiceFormat::kALaw:
        out[i] = raw[i];
        break;
      case VoiceFormat::kMuLaw:
        out[i] = LinearToALaw(MuLawToLinear(raw[i]));
        break;
      case VoiceFormat::kPcm16:
        out[i] = LinearToALaw(static_cast<int16_t>(Le16(&raw[i * 2])));
        break;
    }
  }
  return out;
}

uint8_t LinearToALaw(int16_t pcm) {
  int v = pcm;
  uint8_t mask;
  if (v >= 0) {
    mask = 0xD5;
  } else {
    mask = 0x55;
    v = -v - 1;
  }
  v >>= 3;  // 13-bit magnitude
  if (v > 0xFFF) v = 0xFFF;
  int seg = 0;
  for (int t = v >> 5; t; t >>= 1) seg++;
  int mant = seg == 0 ? (v >> 1) & 0x0F : (v >> seg) & 0x0F;
  return static_cast<uint8_t>(((seg << 4) | mant) ^ mask);
}

int16_t ALawToLinear(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  int seg = (a & 0x70) >> 4;
  if (seg == 0) {
    t += 8;
  } else {
    t += 0x108;
    t <<= seg - 1;
  }
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

int16_t MuLawToLinear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

}  // namespace plat::card
