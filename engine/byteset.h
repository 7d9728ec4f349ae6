#pragma once
// A set of bytes as a table: the scanners ask about every byte of every line,
// and a lookup costs less than a search of the members.

struct TagByteSet {
  bool has[256] = {};
  constexpr explicit TagByteSet(const char* members) {
    for (; *members; ++members) has[static_cast<unsigned char>(*members)] = true;
  }
  bool operator()(char c) const { return has[static_cast<unsigned char>(c)]; }
};
