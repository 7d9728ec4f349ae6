// Writes the fax coder's table file "huffman.cod" from the T.4 code tables.
// Usage: mkhuffman OUTPUT
#include <cstdio>

#include "tools/t4codes.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkhuffman OUTPUT\n");
    return 2;
  }
  std::vector<uint8_t> bytes = t4::HuffmanCodFile();
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
