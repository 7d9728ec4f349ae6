#pragma once
// printf-style formatting into a string of whatever length the text needs.
#include <cstdarg>
#include <string>

namespace plat {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* fmt, va_list ap);

}  // namespace plat
