// The gateway library's reading of a daemon reply: any bytes, never a read
// past the body, counts never trusted for allocation.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/qeldb/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  qelwire::ExecReply rep;
  if (qelwire::ParseExecReply(body, &rep) && !rep.cols.empty()) {
    if (rep.cells.size() != static_cast<size_t>(rep.rows) * rep.cols.size()) __builtin_trap();
  }
  return 0;
}
