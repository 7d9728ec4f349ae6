#include "platform/format.h"

#include <cstdio>

namespace plat {

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

std::string VFormat(const char* fmt, va_list ap) {
  CLocaleScope c;
  char buf[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::string s;
  if (n >= 0 && static_cast<size_t>(n) >= sizeof buf) {
    s.resize(static_cast<size_t>(n));
    std::vsnprintf(s.data(), s.size() + 1, fmt, copy);
  } else if (n > 0) {
    s.assign(buf, static_cast<size_t>(n));
  }
  va_end(copy);
  return s;
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = VFormat(fmt, ap);
  va_end(ap);
  return s;
}

}  // namespace plat
