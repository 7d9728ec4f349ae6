// Reading FormPos.dat: any bytes must load without harm, and the layout read
// from them must stay within what the store can hold.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/formpos.h"
#include "tests/support/tempdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const testsupport::TempDir tmp;
  static const std::string path = tmp / "formpos.dat";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  TagMapCfg cfg(path);
  cfg.Load();
  for (auto& [k, v] : cfg.Pairs()) {
    if (k.find('=') != std::string::npos || k.find(' ') != std::string::npos) __builtin_trap();
    if (v.find('\n') != std::string::npos) __builtin_trap();
  }
  TagWinLayout l;
  if (LoadPost(cfg, &l) && (l.x < 0 || l.y < 0)) __builtin_trap();
  TagMapCfg::CleanLine(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
