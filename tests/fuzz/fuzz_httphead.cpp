// libFuzzer entry for the HTTP head reader. Built and run by scripts/fuzz
// (the fuzz preset).
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/httpparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly this size, so a read past it is caught.
  std::string text(reinterpret_cast<const char*>(data), size);
  HttpHeadInfo info;
  int r = ParseHttpHead(text, &info);
  if (r == 1) {
    if (info.headLen < 4 || info.headLen > text.size() || text.compare(info.headLen - 4, 4, "\r\n\r\n") != 0)
      __builtin_trap();
    if (info.contentLength < -1 || info.contentLength > kMaxHttpBody) __builtin_trap();
  } else if (r != 0 && r != -1) {
    __builtin_trap();
  }
  std::string value;
  HttpHeadField(text, "Content-Length", &value);
  std::string host;
  int port = 0;
  SplitUrl(text, &host, &port);
  if (port < -1 || port > 65535) __builtin_trap();
  return 0;
}
