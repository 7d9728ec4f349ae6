#include "lines/vocedit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/bytes.h"
#include "core/log.h"
#include "lines/vocfile.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

using plat::FileSizeOf;

// Reads a whole voice file's data; false (with a log line) when it is missing or too small.
bool LoadData(FILE* f, int64_t minLength, std::vector<unsigned char>& data, int& format, int& len) {
  int64_t fLen = FileSizeOf(f);
  if (fLen < minLength) return false;
  try {
    data.resize(static_cast<size_t>(std::min<int64_t>(fLen, INT32_MAX - 1)));
  } catch (const std::bad_alloc& e) {
    Log(e.what());
    return false;
  }
  len = ReadVoiceData(f, data.data(), static_cast<int>(data.size()), format);
  return true;
}

}  // namespace

TagWaveUnits::TagWaveUnits(const std::string& p) : path(p) {
  FILE* f = plat::OpenFile(path, "rb");
  if (!f) {
    Log("Open '" + path + "' Error!");
    return;
  }
  std::vector<unsigned char> data;
  int format = 0, len = 0;
  if (!LoadData(f, 160, data, format, len))
    Log("'" + path + GBK("' 太小!"));
  else
    FindSpeechUnits(data.data(), len, units, 0, 0, format);
  std::fclose(f);
}

int FindSpeechUnits(const unsigned char* data, int length, std::vector<TagVocUnit>& segments, int startOffset,
                    int mode, int format) {
  segments.clear();
  if (!data || length <= 0) return 0;
  const int frameBytes = format == kVocPcm ? 40 : 20;
  const int threshold = mode == 0 ? 450 : 350;
  const int quietLimit = mode == 0 ? 0 : 5;
  if (startOffset < 0 || startOffset >= length) startOffset = 0;
  const int frameCount = length / frameBytes;
  int start = 0, frames = 0, quiet = 0;
  auto close = [&] {
    if (frames > 20) segments.push_back(TagVocUnit{start, start + frames * 20, frames});
    start = 0;
    frames = 0;
  };
  for (int fr = startOffset / frameBytes; fr < frameCount; ++fr) {
    const unsigned char* p = data + static_cast<size_t>(fr) * frameBytes;
    int sum = 0;
    for (int i = 0; i < 20; ++i) {
      int s;
      if (format == kVocPcm)
        s = static_cast<int16_t>(p[2 * i] | (p[2 * i + 1] << 8));
      else
        s = ExpandG711(p[i], format != kVocMuLaw);
      sum += std::abs(s);
    }
    if (sum / 20 >= threshold) {
      quiet = 0;
      ++frames;
      // A segment that begins at frame 0 records its start one frame late.
      if (start == 0) start = fr * 20;
    } else {
      ++quiet;
      if (quiet > quietLimit && frames > 0) close();
    }
  }
  if (frames > 0) close();
  return static_cast<int>(segments.size());
}

int WriteTrimmedCopy(const std::string& path, const TagWaveUnits& units, std::string& copyName) {
  FILE* f = plat::OpenFile(path, "rb");
  if (!f) return -2;
  std::vector<unsigned char> data;
  int format = 0, len = 0;
  const bool loaded = !units.units.empty() && LoadData(f, 1000, data, format, len);
  std::fclose(f);
  if (!loaded) return -2;
  const int bytesPer = format == kVocPcm ? 2 : 1;
  const int64_t from = static_cast<int64_t>(units.units.front().start) * bytesPer;
  const int64_t to = static_cast<int64_t>(units.units.back().end) * bytesPer;
  if (from >= to || from < 0 || to > len) return -3;
  FILE* out = CreateTempBeside(path, copyName);
  if (!out) return -4;
  const size_t n = static_cast<size_t>(to - from);
  bool ok = WriteWaveHeader(out, 18, WaveTagOf(format), static_cast<uint32_t>(n));
  ok = ok && std::fwrite(data.data() + from, 1, n, out) == n;
  ok = (std::fclose(out) == 0) && ok;
  if (!ok) {
    std::remove(copyName.c_str());
    return -4;
  }
  return static_cast<int>(units.units.size()) - 1;
}

int TrimVocFile(const std::string& path) {
  TagWaveUnits units(path);
  std::string copy;
  int r = WriteTrimmedCopy(path, units, copy);
  // The copy goes over the original in one step: a failure leaves the original.
  if (r >= 0 && !ReplaceWithTemp(copy, path)) return -4;
  return r;
}

int MixVocFile(const std::string& file1, double gain1, int offsetMs, const std::string& file2, double gain2,
               const std::string& output) {
  Log("Mix:" + file1 + " - " + file2);
  auto v1 = std::make_unique<TagVocFile>(file1, gain1);
  Log("Mix 1.");
  auto v2 = std::make_unique<TagVocFile>(file2, gain2);
  Log("Mix 2.");
  if (v1->status != 0 || v2->status != 0) {
    v1.reset();
    v2.reset();
    Log(GBK("Mix: 至少有一个文件不正确."));
    return 1;
  }
  auto limit = [](int v) { return std::clamp(v, -32467, 32467); };
  if (v2->count < v1->count) {
    int n = v2->count > 80000 ? v2->count - 6000 : v2->count;
    const int64_t base = static_cast<int64_t>(offsetMs) * 8;
    for (int i = 0; i < n; ++i) {
      const int64_t p = base + i;
      if (p >= v1->count) break;
      if (p < 0) continue;
      v1->samples[p] = static_cast<int16_t>(limit(v1->samples[p] + v2->samples[i]));
    }
    v1->Write(output);
  } else {
    int n = v1->count > 80000 ? v1->count - 6000 : v1->count;
    for (int j = 0; j < n; ++j) v2->samples[j] = static_cast<int16_t>(limit(v1->samples[j] + v2->samples[j]));
    v2->Write(output);
  }
  Log("Mix 3.");
  return 1;
}
