// libFuzzer target for the script codecs and code-page conversion: encoding
// then decoding gives the input back, decoding any text reads nothing beyond
// it, and conversion of any bytes ends. Built and run by scripts/fuzz.
#include <cstdlib>
#include <string>
#include <string_view>

#include "operations/codecs.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);

  std::string b64 = Base64Encode(in);
  std::string back;
  if (b64.size() != (size + 2) / 3 * 4) std::abort();
  if (Base64Decode(b64, back) != static_cast<int>(size) || back != in) std::abort();
  int n = Base64Decode(in, back);
  if (n != (size % 4 ? -1 : static_cast<int>(back.size()))) std::abort();

  // Percent escaping stops at the first zero byte.
  std::string_view text = in.substr(0, in.find('\0') == std::string_view::npos ? size : in.find('\0'));
  std::string pct = PercentEncode(in);
  if (pct.size() > 3 * text.size() || PercentDecode(pct) != text) std::abort();
  if (PercentDecode(in).size() > text.size()) std::abort();

  std::string out;
  const char* pairs[][2] = {{"GBK", "UTF-16LE"}, {"UTF-16LE", "GBK"}, {"UTF-8", "GBK"}, {"UTF-7", "UTF-8"}};
  for (auto& p : pairs)
    if (!plat::ConvertCodePage(in, p[0], p[1], out)) std::abort();
  return 0;
}
