#pragma once
// printf-style formatting into a string of whatever length the text needs.
// Numbers are written in the C locale whatever the user's locale is (the GUI
// toolkit sets it from the environment, and "%f" would write a decimal comma).
#include <cstdarg>
#include <locale.h>
#include <string>

namespace plat {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* fmt, va_list ap);

// The C locale, for the _l functions (strtod_l, strftime_l).
locale_t CLocale();

// Sets the calling thread to the C locale until the end of the scope.
class CLocaleScope {
 public:
  CLocaleScope() : old_(uselocale(CLocale())) {}
  ~CLocaleScope() { uselocale(old_); }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t old_;
};

}  // namespace plat
