#include "platform/riff.h"

#include <climits>
#include <cstring>

#include "platform/bytes.h"

namespace plat {

bool RiffChunk::Is(const char* fourcc) const { return std::memcmp(id, fourcc, 4) == 0; }

RiffFile::RiffFile(FILE* f) : f_(f) {
  if (!f_) return;
  size_ = FileSizeOf(f_);
  if (size_ < 0 && std::fseek(f_, 0, SEEK_END) == 0) size_ = std::ftell(f_);  // a stream in memory
  uint8_t head[12];
  if (std::fseek(f_, 0, SEEK_SET) != 0) return;
  const size_t got = std::fread(head, 1, 12, f_);
  riff_ = got >= 4 && std::memcmp(head, "RIFF", 4) == 0;
  wave_ = riff_ && got == 12 && std::memcmp(head + 8, "WAVE", 4) == 0;
}

bool RiffFile::ChunkAt(int64_t at, RiffChunk* out) const {
  if (!f_ || at < 0 || size_ < 8 || at > size_ - 8 || at > LONG_MAX) return false;
  uint8_t h[8];
  if (std::fseek(f_, static_cast<long>(at), SEEK_SET) != 0 || std::fread(h, 1, 8, f_) != 8) return false;
  std::memcpy(out->id, h, 4);
  out->size = Le32(h + 4);
  out->dataAt = at + 8;
  const int64_t left = size_ - out->dataAt;
  out->avail = static_cast<int64_t>(out->size) > left ? static_cast<uint32_t>(left) : out->size;
  return true;
}

int64_t RiffFile::After(const RiffChunk& c) const {
  const int64_t next = c.dataAt + static_cast<int64_t>(c.size) + (c.size & 1);
  return next > size_ ? -1 : next;
}

bool RiffFile::Find(const char* fourcc, RiffChunk* out, int64_t from) const {
  int64_t at = from;
  for (int i = 0; i < kMaxChunks && at >= 0; ++i) {
    RiffChunk c;
    if (!ChunkAt(at, &c)) return false;
    if (c.Is(fourcc)) {
      *out = c;
      return true;
    }
    at = After(c);
  }
  return false;
}

size_t RiffFile::Read(const RiffChunk& c, uint32_t skip, void* buf, size_t n) const {
  if (!f_ || skip >= c.avail) return 0;
  const size_t left = c.avail - skip;
  if (n > left) n = left;
  if (c.dataAt + skip > LONG_MAX || std::fseek(f_, static_cast<long>(c.dataAt + skip), SEEK_SET) != 0) return 0;
  return std::fread(buf, 1, n, f_);
}

bool RiffFile::SeekTo(const RiffChunk& c) const {
  return f_ && c.dataAt <= LONG_MAX && std::fseek(f_, static_cast<long>(c.dataAt), SEEK_SET) == 0;
}

}  // namespace plat
