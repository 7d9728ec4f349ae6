#pragma once
// Little-endian fields of file formats (RIFF, WAVE) and the size of an open file.
#include <cstdint>
#include <cstdio>

namespace plat {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
// The n low bytes of v, least significant first.
inline void PutLe(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe16(uint8_t* p, uint16_t v) { PutLe(p, v, 2); }
inline void PutLe32(uint8_t* p, uint32_t v) { PutLe(p, v, 4); }

// The size of the open file in bytes, -1 when it cannot be told. The
// position in the file is left as it was.
int64_t FileSizeOf(FILE* f);

}  // namespace plat
