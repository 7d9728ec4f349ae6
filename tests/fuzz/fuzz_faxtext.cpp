// libFuzzer target for the fax renderer's readers: the first byte chooses
// whether the rest is the text file or the code table "huffman.cod"; small
// fonts stand beside it. Every run must end with one of the renderer's
// results and never read or write past what it loaded.
// Built and run by scripts/fuzz (the fuzz preset).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lines/txtfax.h"
#include "tools/t4codes.h"
#include "tests/support/tempdir.h"

namespace {

void Write(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

const std::string& Dir() {
  static const std::string dir = [] {
    static const testsupport::TempDir tmp;
    std::string d = tmp.path().empty() ? "/tmp" : tmp.path();
    std::vector<uint8_t> asc(4096, 0x3C), hz(1000 * 32, 0xA5);  // a font shorter than its rows
    Write(d + "/asc16", asc.data(), asc.size());
    Write(d + "/hzk16", hz.data(), hz.size());
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string& d = Dir();
  std::vector<uint8_t> table = t4::HuffmanCodFile();
  bool textInput = (data[0] & 1) == 0;
  if (textInput) {
    Write(d + "/huffman.cod", table.data(), table.size());
    Write(d + "/t.txt", data + 1, size - 1);
  } else {
    Write(d + "/huffman.cod", data + 1, size - 1);
    static const char text[] = "A\xB0\xA1\t\x81\x40 x\n\n";
    Write(d + "/t.txt", reinterpret_cast<const uint8_t*>(text), sizeof text - 1);
  }
  TagTxtCvtFax conv(d, d + "/t.txt", d + ((data[0] & 2) ? "/o.tif" : "/o.fax"));
  bool ok = textInput ? (conv.status == 0 || conv.status == -3) : (conv.status == 0 || conv.status == -1);
  if (!ok) std::abort();
  return 0;
}
