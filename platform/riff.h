#pragma once
// Reading the chunks of a RIFF (WAVE) file with every offset checked against
// the file's size: a chunk header lies wholly inside the file, a data size is
// clamped to what the file holds, odd sizes are padded, and no offset
// arithmetic can overflow. What a reader does with the chunks stays its own.
#include <cstdint>
#include <cstdio>

namespace plat {

struct RiffChunk {
  char id[4] = {};
  uint32_t size = 0;   // as written in the header
  int64_t dataAt = 0;  // file offset of the chunk's data
  uint32_t avail = 0;  // bytes of the data that are really in the file
  bool Is(const char* fourcc) const;
};

class RiffFile {
 public:
  // Reads the 12-byte head of f (from offset 0) and the file's size.
  explicit RiffFile(FILE* f);
  // The file starts with "RIFF" (however short it is).
  bool IsRiff() const { return riff_; }
  // ... and has the whole head, "RIFF" size "WAVE".
  bool IsWave() const { return wave_; }
  int64_t Size() const { return size_; }

  // The chunk header at offset at: false when its 8 bytes are not wholly in
  // the file.
  bool ChunkAt(int64_t at, RiffChunk* out) const;
  // The offset of the chunk after c (odd sizes padded), or -1 past the end.
  int64_t After(const RiffChunk& c) const;
  // The first chunk at or after offset from whose id is fourcc, walking at
  // most a bounded number of chunks; false when there is none.
  bool Find(const char* fourcc, RiffChunk* out, int64_t from = 12) const;
  // Up to n bytes of c's data from offset skip within it: what was read,
  // never past the chunk or the file.
  size_t Read(const RiffChunk& c, uint32_t skip, void* buf, size_t n) const;
  // Positions the stream at c's data.
  bool SeekTo(const RiffChunk& c) const;

  static constexpr int kMaxChunks = 256;

 private:
  FILE* f_;
  int64_t size_ = -1;
  bool riff_ = false;
  bool wave_ = false;
};

}  // namespace plat
