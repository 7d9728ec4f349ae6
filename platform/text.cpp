#include "platform/text.h"

#include <iconv.h>

#include <cerrno>

namespace plat {

bool ConvertCodePage(std::string_view in, const char* from, const char* to, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.reserve(in.size() * 2 + 8);
  char buf[4096];
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (rc == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid or truncated sequence: mark it and step over one byte.
      out.push_back('?');
      ++src;
      --srcLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t dstLeft = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &dstLeft);
  out.append(buf, static_cast<size_t>(dst - buf));
  iconv_close(cd);
  return true;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  ConvertCodePage(utf8, "UTF-8", "GBK", out);
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  ConvertCodePage(gbk, "GBK", "UTF-8", out);
  return out;
}

}  // namespace plat
