#pragma once
#include <cstdint>

// A set of bytes as a table: the scanners ask about every byte of every line,
// and a lookup costs less than a search of the members.

struct TagByteSet {
  bool has[256] = {};
  constexpr explicit TagByteSet(const char* members) {
    for (; *members; ++members) has[static_cast<unsigned char>(*members)] = true;
  }
  bool operator()(char c) const { return has[static_cast<unsigned char>(c)]; }
};

// Eight bytes at a time, for the scans that skip ahead over plain text:
// whether any byte of w is below n (n at most 128), or equal to b.
inline bool WordHasByteBelow(uint64_t w, unsigned n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  return ((w - kOnes * n) & ~w & kHighs) != 0;
}
inline bool WordHasByte(uint64_t w, unsigned char b) { return WordHasByteBelow(w ^ (0x0101010101010101ull * b), 1); }
