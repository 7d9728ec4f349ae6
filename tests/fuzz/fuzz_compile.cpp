// Fuzz target over the script compiler: the input is compiled as a script
// file (statements, expressions, blocks, functions). Built and run by
// scripts/fuzz (the fuzz preset).
// The unit tests include this file with RODIZ_FUZZ_NO_MAIN and run it over a
// fixed corpus.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "tests/support/tempdir.h"

namespace fuzz_compile {

// Compiles the bytes as a script in a private directory; 0 when the
// compiler's own invariants hold.
inline int Run(const uint8_t* data, size_t size) {
  static const testsupport::TempDir tmp;
  static const std::string dir = tmp.path().empty() ? "/tmp" : tmp.path();
  const std::string file = dir + "/f.kxs";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  TagMemKxs::Instance().Clear();
  // The compile writes its report into the working directory.
  char cwd[4096];
  const bool back = getcwd(cwd, sizeof cwd) != nullptr;
  if (chdir(dir.c_str()) != 0) return 3;
  int result = 0;
  {
    TagKxCall call;
    TagTelBasic t(file, 0, &call, 1, nullptr);
    // A compile without errors leaves every block closed and every operation
    // indexed in place.
    if (t.errorCount == 0 && (!t.ifStack.empty() || !t.loopStack.empty() || !t.braceStack.empty())) result = 1;
    for (size_t i = 0; i < t.operations.size(); ++i)
      if (t.operations[i]->index != static_cast<int>(i)) result = 2;
  }
  if (back && chdir(cwd) != 0) return 4;
  return result;
}

}  // namespace fuzz_compile

#if !defined(RODIZ_FUZZ_NO_MAIN)
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (fuzz_compile::Run(data, size) != 0) std::abort();
  return 0;
}
#endif
