#include "services/big5.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/utrans.h>

#include <bit>
#include <memory>

#include "platform/text.h"

namespace {

bool IsHigh(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsLowTrail(unsigned char c) { return c >= 0x40 && c <= 0x7E; }
bool IsBig5Lead(unsigned char c) { return c >= 0xA1 && c <= 0xF9; }

// ICU's strings are UTF-16 in the machine's byte order.
constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// The traditional-to-simplified mapping. A transliterator is not safe to
// share between threads, so each thread makes its own on first use; null
// when ICU has no such mapping.
const icu::Transliterator* Simplifier() {
  thread_local std::unique_ptr<icu::Transliterator> simplifier = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(
        icu::Transliterator::createInstance("Traditional-Simplified", UTRANS_FORWARD, status));
    if (U_FAILURE(status)) t.reset();
    return t;
  }();
  return simplifier.get();
}

}  // namespace

bool IsBig5Text(const char* text) {
  bool high = false;  // a high byte has been seen since the last plain byte
  bool lead = false;  // the last high byte would begin a pair
  unsigned char leadByte = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    unsigned char c = *p;
    if (IsHigh(c)) {
      high = true;
      lead = !lead;
      leadByte = c;
    } else if (IsLowTrail(c)) {
      if (high && lead) {
        if (IsBig5Lead(leadByte)) return true;
        // A GBK pair with a low trail (0x81 0x40): the pair is complete.
        lead = false;
      }
    } else {
      high = false;
      lead = false;
    }
  }
  return false;
}

std::string Big5ToGbk(std::string_view big5) {
  if (big5.empty()) return {};
  std::string utf16;
  if (!plat::ConvertCodePage(big5, "CP950", kUtf16, utf16)) plat::ConvertCodePage(big5, "BIG5", kUtf16, utf16);
  icu::UnicodeString text(reinterpret_cast<const char16_t*>(utf16.data()),
                          static_cast<int32_t>(utf16.size() / sizeof(char16_t)));
  if (const icu::Transliterator* t = Simplifier()) t->transliterate(text);
  std::string gbk;
  plat::ConvertCodePage(
      std::string_view(reinterpret_cast<const char*>(text.getBuffer()), static_cast<size_t>(text.length()) * 2), kUtf16,
      "GBK", gbk);
  return gbk;
}
