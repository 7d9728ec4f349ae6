#pragma once
// The checks the WAVE fuzz target runs on one input; the unit tests run the
// same function over a fixed corpus.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lines/vocedit.h"
#include "lines/vocfile.h"
#include "lines/waveplay.h"
#include "platform/riff.h"

// Empty when every reader kept within its bounds, else what went wrong.
inline std::string CheckWaveInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  copy.push_back(0);  // fmemopen needs a buffer even for an empty input
  FILE* f = ::fmemopen(copy.data(), size ? size : 1, "rb");
  if (!f) return "fmemopen failed";
  std::vector<uint8_t> buf(size + 1, 0xEE);
  int format = -1;
  const int n = ReadVoiceData(f, buf.data(), static_cast<int>(size), format);
  std::string why;
  if (n < 0 || static_cast<size_t>(n) > size) why = "ReadVoiceData read " + std::to_string(n);
  if (buf[size] != 0xEE) why = "ReadVoiceData wrote past its buffer";
  if (format < 0 || format > 2) why = "format code " + std::to_string(format);
  for (int mode = 0; mode < 2 && why.empty(); ++mode) {
    std::vector<TagVocUnit> units;
    int start = size > 0 ? data[0] * 40 : 0;
    int count = FindSpeechUnits(buf.data(), n, units, start, mode, format);
    if (count != static_cast<int>(units.size())) why = "segment count";
    int last = -1;
    for (const auto& u : units) {
      if (u.frames <= 20 || u.end - u.start != u.frames * 20 || u.start < last) why = "segment shape";
      last = u.end;
    }
  }
  WavePlayLayout layout;
  if (why.empty() && ReadPlayLayout(f, static_cast<int64_t>(size), layout) == 0) {
    if (layout.dataOffset < 0 || layout.end > static_cast<int64_t>(size)) why = "play layout out of the file";
  }
  // The chunk reader itself: every chunk it walks lies inside the input.
  if (why.empty()) {
    const plat::RiffFile riff(f);
    int64_t at = 12;
    for (int i = 0; i < plat::RiffFile::kMaxChunks && at >= 0 && why.empty(); ++i) {
      plat::RiffChunk c;
      if (!riff.ChunkAt(at, &c)) break;
      if (c.dataAt + c.avail > static_cast<int64_t>(size)) why = "chunk data past the end";
      uint8_t probe[64];
      if (riff.Read(c, 0, probe, sizeof probe) > c.avail) why = "chunk read past its data";
      const int64_t next = riff.After(c);
      if (next >= 0 && (next <= at || next > static_cast<int64_t>(size))) why = "next chunk offset";
      at = next;
    }
  }
  std::fclose(f);
  return why;
}
