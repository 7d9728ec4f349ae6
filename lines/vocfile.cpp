#include "lines/vocfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/bytes.h"
#include "platform/riff.h"
#include "core/log.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

using plat::Le32;
using plat::Le16;
using plat::PutLe;


using plat::FileSizeOf;

// Reads up to n bytes in pieces of at most 16000, stopping when a read delivers nothing.
int ReadPieces(FILE* f, uint8_t* buf, int n) {
  int total = 0;
  while (total < n) {
    size_t want = static_cast<size_t>(std::min(n - total, 16000));
    size_t got = std::fread(buf + total, 1, want, f);
    if (got == 0) break;
    total += static_cast<int>(got);
  }
  return total;
}

int16_t Saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 32767.0) return 32767;
  if (v <= -32768.0) return -32768;
  return static_cast<int16_t>(v);  // truncation toward zero
}

int LimitMix(int v) { return std::clamp(v, -32467, 32467); }

}  // namespace

std::vector<uint8_t> MakeWaveHeader(uint32_t fmtSize, uint16_t formatTag, uint32_t dataBytes) {
  std::vector<uint8_t> h(WaveHeaderSize(fmtSize), 0);
  const bool pcm = formatTag == 1;
  std::memcpy(h.data(), "RIFF", 4);
  PutLe(&h[4], static_cast<uint32_t>(h.size()) - 8 + dataBytes, 4);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  PutLe(&h[16], fmtSize, 4);
  PutLe(&h[20], formatTag, 2);
  PutLe(&h[22], 1, 2);
  PutLe(&h[24], 8000, 4);
  PutLe(&h[28], pcm ? 16000 : 8000, 4);
  PutLe(&h[32], pcm ? 2 : 1, 2);
  PutLe(&h[34], pcm ? 16 : 8, 2);
  // Extra size (and the two zero bytes of a 20-byte chunk) stay 0.
  std::memcpy(&h[20 + fmtSize], "data", 4);
  PutLe(&h[24 + fmtSize], dataBytes, 4);
  return h;
}

bool WriteWaveHeader(FILE* f, uint32_t fmtSize, uint16_t formatTag, uint32_t dataBytes) {
  std::vector<uint8_t> h = MakeWaveHeader(fmtSize, formatTag, dataBytes);
  if (std::fseek(f, 0, SEEK_SET) != 0) return false;
  return std::fwrite(h.data(), 1, h.size(), f) == h.size();
}

uint16_t WaveTagOf(int format) { return format == kVocPcm ? 1 : (format == kVocMuLaw ? 7 : 6); }

int ReadVoiceData(FILE* f, uint8_t* buffer, int length, int& format) {
  format = kVocALaw;
  if (!f) {
    Log("File not open!");
    return 0;
  }
  if (length < 0) length = 0;
  const plat::RiffFile riff(f);
  if (!riff.IsRiff()) {
    Log(GBK("不是Wave文件"));
    std::fseek(f, 0, SEEK_SET);
    return ReadPieces(f, buffer, length);
  }
  // The format chunk follows the head; the record holds 20 bytes of it.
  plat::RiffChunk fmtChunk;
  if (!riff.ChunkAt(12, &fmtChunk)) return 0;
  uint8_t fmt[20] = {};
  const size_t want = std::min<uint32_t>(fmtChunk.size, sizeof fmt);
  if (riff.Read(fmtChunk, 0, fmt, want) != want) return 0;
  const uint16_t tag = Le16(fmt);
  const uint32_t rate = Le32(fmt + 4);
  const uint16_t bits = Le16(fmt + 14);
  if (rate != 8000) {
    Log(GBK("采样率不是8000"));
    return 0;
  }
  if (tag == 6 || tag == 7) {
    format = tag == 6 ? kVocALaw : kVocMuLaw;
    if (bits != 8) {
      Log(GBK("数据位不是8Bit"));
      return 0;
    }
  } else if (tag == 1) {
    format = kVocPcm;
    if (bits != 16) {
      Log(GBK("PCM数据位不是16Bit"));
      return 0;
    }
  } else {
    format = kVocALaw;
  }
  // At most one chunk between the format and the data.
  plat::RiffChunk data;
  if (!riff.ChunkAt(riff.After(fmtChunk), &data)) return 0;
  if (!data.Is("data") && !riff.ChunkAt(riff.After(data), &data)) return 0;
  if (!riff.SeekTo(data)) return 0;
  const int n = static_cast<int>(std::min<int64_t>(data.avail, length));
  return ReadPieces(f, buffer, n);
}

int GainOf(int maximum) {
  int a = maximum / 160;
  if (a > 9829) return -2;
  if (a >= 1 && a <= 3276) return std::min(6553 / a, 10);
  return 1;
}

TagVocFile::TagVocFile(const std::string& path, double gain) {
  const bool agc = !(gain >= 0.0001);  // NaN included: no usable gain given
  if (agc) gain = 1.0;
  FILE* f = plat::OpenFile(path, "rb");
  if (!f) {
    Log("'" + path + "' open err");
    return;
  }
  const int64_t fLen = FileSizeOf(f);
  LogF("fLen=%lld", static_cast<long long>(fLen));
  if (fLen <= 159) {
    Log("'" + path + GBK("' 太小!"));
    std::fclose(f);
    return;
  }
  try {
    const int cap = static_cast<int>(std::min<int64_t>(fLen, INT32_MAX - 1));
    std::vector<uint8_t> buff1(static_cast<size_t>(cap));
    int format = kVocALaw;
    const int len = ReadVoiceData(f, buff1.data(), cap, format);
    std::fclose(f);
    f = nullptr;
    if (len <= 0) {
      Log("'" + path + GBK("' 文件头不正确!"));
      return;
    }
    LogF("len=%d, vType=%d", len, format);
    type = format;
    Log("new OK.");
    if (format == kVocPcm) {
      samples.resize(static_cast<size_t>(len / 2));
      if (!samples.empty()) std::memcpy(samples.data(), buff1.data(), samples.size() * 2);
      for (auto& s : samples) s = static_cast<int16_t>(Le16(reinterpret_cast<const uint8_t*>(&s)));
    } else {
      samples.resize(static_cast<size_t>(len));
      ExpandG711Block(buff1.data(), samples.data(), samples.size(), format == kVocALaw);
      if (gain != 1.0)
        for (auto& s : samples) s = Saturate(s * gain);
    }
    Log("delete buff1");
  } catch (const std::bad_alloc& e) {
    if (f) std::fclose(f);
    samples.clear();
    samples.shrink_to_fit();
    Log(e.what());
    return;
  }
  count = static_cast<int>(samples.size());
  if (agc) AutoGain(path);
  status = 0;
}

void TagVocFile::AutoGain(const std::string& path) {
  constexpr int kBlock = 160;
  int threshold = 65535;
  int64_t levelSum = 0;
  int levelBlocks = 0;
  bool open = false;
  int segStart = 0, segEnd = 0, maximum = 0, quiet = 0, adjusted = 0;
  for (int b = 0; b + kBlock <= count; b += kBlock) {
    int level = 0;
    for (int i = b; i < b + kBlock; ++i) level += std::abs(static_cast<int>(samples[i]));
    const int last = b + kBlock - 1;
    if (level > threshold) {
      quiet = 0;
      if (!open) {
        open = true;
        segStart = b;
      }
      segEnd = last;
      maximum = std::max(maximum, level);
    } else {
      segEnd = last;
      ++quiet;
      if (maximum > 0 && quiet > 26) {
        const int g = GainOf(maximum);
        if (g != 1) {
          for (int i = segStart; i <= segEnd; ++i) {
            const int s = samples[i];
            samples[i] = static_cast<int16_t>(LimitMix(g >= 2 ? s * g : s * 2 / 3));
          }
          ++adjusted;
        }
        open = false;
        maximum = 0;
        quiet = 0;
      }
    }
    if (last < 80000 && level <= 65535) {
      levelSum += level;
      ++levelBlocks;
      threshold = static_cast<int>(std::clamp<int64_t>(3 * (levelSum / levelBlocks), 200, 65535));
    }
  }
  if (adjusted > 0) LogF("AutoGainCount=%d: %s", adjusted, path.c_str());
}

namespace {

int WriteVoc(const std::string& path, uint16_t tag, const std::vector<uint8_t>& data) {
  FILE* f = plat::OpenFile(path, "wb");
  bool ok = f != nullptr;
  if (ok) {
    ok = WriteWaveHeader(f, 16, tag, static_cast<uint32_t>(data.size()));
    ok = ok && (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    ok = (std::fclose(f) == 0) && ok;
  }
  if (!ok) {
    Log("'" + path + GBK("' 无法创建!"));
    return -1;
  }
  return 0;
}

}  // namespace

int TagVocFile::Write(const std::string& path) const { return type == kVocPcm ? WritePcm(path) : WriteALaw(path); }

int TagVocFile::WritePcm(const std::string& path) const {
  std::vector<uint8_t> data(static_cast<size_t>(count) * 2);
  for (int i = 0; i < count; ++i) PutLe(&data[static_cast<size_t>(i) * 2], static_cast<uint16_t>(samples[i]), 2);
  return WriteVoc(path, 1, data);
}

int TagVocFile::WriteALaw(const std::string& path) const {
  std::vector<uint8_t> data(static_cast<size_t>(count));
  LinearToALawBlock(samples.data(), data.data(), data.size());
  return WriteVoc(path, 6, data);
}

FILE* CreateTempBeside(const std::string& path, std::string& tempName) {
  static std::atomic<unsigned> counter{0};
  const std::string base = plat::ResolvePath(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%d.%u.tmp", static_cast<int>(::getpid()), counter.fetch_add(1));
    std::string name = base + suffix;
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    FILE* f = ::fdopen(fd, "w+b");
    if (!f) {
      ::close(fd);
      ::unlink(name.c_str());
      return nullptr;
    }
    tempName = name;
    return f;
  }
  return nullptr;
}

bool ReplaceWithTemp(const std::string& tempName, const std::string& target) {
  if (std::rename(tempName.c_str(), plat::ResolvePath(target).c_str()) == 0) return true;
  std::remove(tempName.c_str());
  return false;
}

int VoxToWav(const std::string& source, const std::string& target) {
  FILE* in = plat::OpenFile(source, "rb");
  if (!in) return -1;
  std::string temp;
  FILE* out = CreateTempBeside(target, temp);
  if (!out) {
    std::fclose(in);
    return -2;
  }
  bool ok = WriteWaveHeader(out, 18, 1, 0);
  VoxAdpcmState st;
  uint8_t buf[4096];
  int16_t pcm[8192];
  uint8_t le[16384];
  uint64_t n = 0;
  size_t got;
  while (ok && (got = std::fread(buf, 1, sizeof buf, in)) > 0) {
    VoxAdpcmDecode(buf, pcm, got, st);
    for (size_t i = 0; i < 2 * got; ++i) PutLe(&le[2 * i], static_cast<uint16_t>(pcm[i]), 2);
    ok = std::fwrite(le, 1, 4 * got, out) == 4 * got;
    n += got;
  }
  std::fclose(in);
  ok = ok && WriteWaveHeader(out, 18, 1, static_cast<uint32_t>(4 * n));
  ok = (std::fclose(out) == 0) && ok;
  if (!ok || !ReplaceWithTemp(temp, target)) {
    std::remove(temp.c_str());
    return -2;
  }
  return 0;
}

namespace {

// Modification date and time as (yyyymmdd, hhmmss) in local time.
bool FileDateTime(const std::string& name, long& date, long& time) {
  struct stat st;
  if (::stat(plat::ResolvePath(name).c_str(), &st) != 0) return false;
  tm t{};
  time_t s = st.st_mtime;
  localtime_r(&s, &t);
  date = (t.tm_year + 1900L) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
  time = t.tm_hour * 10000L + t.tm_min * 100 + t.tm_sec;
  return true;
}

}  // namespace

int PrepareVoxAsWav(const std::string& name, std::string& outName) {
  auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  bool isVox = name.size() >= 4;
  for (size_t i = 0; isVox && i < 4; ++i) isVox = upper(name[name.size() - 4 + i]) == ".VOX"[i];
  if (!isVox) {
    outName = name;
    return 0;
  }
  outName = name + ".wav";
  long voxDate = 0, voxTime = 0, wavDate = 0, wavTime = 0;
  const bool haveVox = FileDateTime(name, voxDate, voxTime);
  const bool haveWav = FileDateTime(outName, wavDate, wavTime);
  if (!haveWav || (haveVox && (wavDate < voxDate || (wavDate == voxDate && wavTime < voxTime))))
    VoxToWav(name, outName);
  return 1;
}
