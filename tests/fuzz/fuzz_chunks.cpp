// libFuzzer entry for the chunked-body decoder: the same bytes fed whole and
// in pieces of a size taken from the first byte must decode alike. Built and
// run by scripts/fuzz (the fuzz preset).
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/httpparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] % 16 + 1;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  TagChunkProc whole;
  int a = whole.Feed(text.data(), text.size());
  TagChunkProc split;
  int b = 0;
  for (size_t i = 0; i < text.size() && b == 0; i += piece) {
    std::string part = text.substr(i, piece);
    b = split.Feed(part.data(), part.size());
  }
  if (a != b || whole.Body() != split.Body()) __builtin_trap();
  if (a < -2 || a > 0 || whole.Body().size() > static_cast<size_t>(kMaxHttpBody)) __builtin_trap();
  return 0;
}
