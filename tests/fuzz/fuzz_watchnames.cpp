// Fuzz target over the statement-name scan of the debugger's watch.
// Built and run by scripts/fuzz (the fuzz preset).
// The unit tests include this file with RODIZ_FUZZ_NO_MAIN and run the same
// checks over a fixed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/watchnames.h"

namespace fuzz_watchnames {

// Every name is a non-empty piece of the text without delimiters, quotes or
// ';', and is not a number.
inline void Check(std::string_view text) {
  for (const std::string& n : StatementNames(text)) {
    if (n.empty() || text.find(n) == std::string_view::npos) std::abort();
    if ((n[0] >= '0' && n[0] <= '9') || n[0] == '.') std::abort();
    if (n.find_first_of(" \t+-*/%><!=()|&[],^~\";") != std::string::npos) std::abort();
  }
}

}  // namespace fuzz_watchnames

#ifndef RODIZ_FUZZ_NO_MAIN
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_watchnames::Check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
#endif
