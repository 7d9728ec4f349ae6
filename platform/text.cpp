#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace plat {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Opening an iconv converter loads tables and costs far more than a short
// conversion, so each thread keeps the few pairs it last used.
class ConverterCache {
 public:
  ConverterCache() = default;
  ConverterCache(const ConverterCache&) = delete;
  ConverterCache& operator=(const ConverterCache&) = delete;
  ~ConverterCache() {
    for (Entry& e : entries_)
      if (e.cd != kNoConverter) iconv_close(e.cd);
  }

  // The converter of the pair in its initial state, or kNoConverter when
  // iconv does not know the pair. It stays valid until the next Get of a
  // pair not in the cache evicts the least recently used other entry.
  iconv_t Get(const char* from, const char* to) {
    ++clock_;
    Entry* victim = &entries_[0];
    for (Entry& e : entries_) {
      if (e.cd != kNoConverter && e.from == from && e.to == to) {
        e.used = clock_;
        iconv(e.cd, nullptr, nullptr, nullptr, nullptr);
        return e.cd;
      }
      if (e.cd == kNoConverter || (victim->cd != kNoConverter && e.used < victim->used)) victim = &e;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == kNoConverter) return cd;
    if (victim->cd != kNoConverter) iconv_close(victim->cd);
    victim->from = from;
    victim->to = to;
    victim->cd = cd;
    victim->used = clock_;
    return cd;
  }

 private:
  struct Entry {
    std::string from, to;
    iconv_t cd = kNoConverter;
    uint64_t used = 0;
  };
  std::array<Entry, 8> entries_;
  uint64_t clock_ = 0;
};

thread_local ConverterCache t_converters;

// How a source encoding is cut into characters, for stepping over one it
// cannot convert.
enum class Unit { kByte, kUtf16Le, kUtf16Be, kUtf32Le, kUtf32Be };

// The encoding name upper-cased without '-', '_' and any "//" suffix.
std::string NormalName(const char* name) {
  std::string n;
  for (const char* p = name; *p && !(p[0] == '/' && p[1] == '/'); ++p)
    if (*p != '-' && *p != '_') n.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
  return n;
}

// glibc reads the byte-order-less "UTF-16", "UCS-2" and "UTF-32" in the
// machine's order unless the text starts with a byte-order mark.
Unit UnitOf(const char* from, std::string_view in) {
  std::string n = NormalName(from);
  auto bomOrder = [&](Unit le, Unit be) {
    if (in.size() >= 2 && static_cast<unsigned char>(in[0]) == 0xFE && static_cast<unsigned char>(in[1]) == 0xFF)
      return be;
    if (n.rfind("UTF32", 0) == 0 || n.rfind("UCS4", 0) == 0) {
      if (in.size() >= 4 && in[0] == 0 && in[1] == 0 && static_cast<unsigned char>(in[2]) == 0xFE) return be;
    }
    return le;
  };
  if (n == "UTF16LE" || n == "UCS2LE" || n == "UNICODELITTLE") return Unit::kUtf16Le;
  if (n == "UTF16BE" || n == "UCS2BE" || n == "UNICODEBIG") return Unit::kUtf16Be;
  if (n == "UTF16" || n == "UCS2" || n == "UNICODE") return bomOrder(Unit::kUtf16Le, Unit::kUtf16Be);
  if (n == "UTF32LE" || n == "UCS4LE") return Unit::kUtf32Le;
  if (n == "UTF32BE" || n == "UCS4BE") return Unit::kUtf32Be;
  if (n == "UTF32" || n == "UCS4") return bomOrder(Unit::kUtf32Le, Unit::kUtf32Be);
  return Unit::kByte;
}

unsigned Utf16At(const char* p, Unit u) {
  auto b = [&](int i) { return static_cast<unsigned>(static_cast<unsigned char>(p[i])); };
  return u == Unit::kUtf16Le ? b(0) | (b(1) << 8) : (b(0) << 8) | b(1);
}

// Bytes of the character at src that the converter stopped at: a code unit
// (a surrogate pair as one) for UTF-16 and UTF-32; for byte encodings the
// whole character when it is a valid one of the source (found by decoding
// it alone), else one byte.
size_t StepOver(const char* src, size_t left, Unit unit, const char* from, const char* to) {
  switch (unit) {
    case Unit::kUtf16Le:
    case Unit::kUtf16Be: {
      if (left < 2) return left;
      unsigned w = Utf16At(src, unit);
      if (w >= 0xD800 && w < 0xDC00 && left >= 4) {
        unsigned w2 = Utf16At(src + 2, unit);
        if (w2 >= 0xDC00 && w2 < 0xE000) return 4;
      }
      return 2;
    }
    case Unit::kUtf32Le:
    case Unit::kUtf32Be:
      return left < 4 ? left : 4;
    case Unit::kByte:
      break;
  }
  // The probe must not be the converter in use (whose state it resets).
  iconv_t probe = t_converters.Get(from, std::strcmp(to, "UTF-32LE") == 0 ? "UCS-4LE" : "UTF-32LE");
  if (probe == kNoConverter) return 1;
  for (size_t n = 1; n <= 4 && n <= left; ++n) {
    iconv(probe, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(src);
    size_t inLeft = n;
    char buf[32];
    char* out = buf;
    size_t outLeft = sizeof buf;
    size_t rc = iconv(probe, &in, &inLeft, &out, &outLeft);
    if (rc != static_cast<size_t>(-1) && inLeft == 0) return n;
    if (rc == static_cast<size_t>(-1) && errno != EINVAL) return 1;
  }
  return 1;
}

// '?' written in the source encoding, so the converter itself writes the
// replacement in the target's encoding and shift state.
std::string_view QuestionMark(Unit unit) {
  switch (unit) {
    case Unit::kUtf16Le:
      return {"?\0", 2};
    case Unit::kUtf16Be:
      return {"\0?", 2};
    case Unit::kUtf32Le:
      return {"?\0\0\0", 4};
    case Unit::kUtf32Be:
      return {"\0\0\0?", 4};
    case Unit::kByte:
      break;
  }
  return "?";
}

}  // namespace

bool ConvertCodePage(std::string_view in, const char* from, const char* to, std::string& out) {
  out.clear();
  iconv_t cd = t_converters.Get(from, to);
  if (cd == kNoConverter) return false;
  Unit unit = UnitOf(from, in);
  out.reserve(in.size() * 2 + 8);
  char buf[4096];
  auto drain = [&](char** src, size_t* srcLeft) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    size_t rc = iconv(cd, src, srcLeft, &dst, &dstLeft);
    int err = errno;
    out.append(buf, static_cast<size_t>(dst - buf));
    return rc == static_cast<size_t>(-1) ? err : 0;
  };
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  while (srcLeft > 0) {
    int err = drain(&src, &srcLeft);
    if (err == 0 || err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) break;
    // A character it cannot read or cannot write: one '?' for the whole
    // character, then on with the next.
    size_t step = StepOver(src, srcLeft, unit, from, to);
    std::string_view q = QuestionMark(unit);
    char* qp = const_cast<char*>(q.data());
    size_t qLeft = q.size();
    if (drain(&qp, &qLeft) != 0) out.push_back('?');
    src += step;
    srcLeft -= step;
  }
  drain(nullptr, nullptr);
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

std::string TerminalCharset() {
  // Read once from the environment, without touching the process locale
  // (Qt and the C library's number formats depend on it).
  static const std::string charset = [] {
    std::string cs;
    if (locale_t l = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
      cs = ::nl_langinfo_l(CODESET, l);
      ::freelocale(l);
    }
    return cs.empty() ? std::string("ANSI_X3.4-1968") : cs;
  }();
  return charset;
}

std::string GbkToTerminal(std::string_view gbk) {
  std::string out;
  if (!ConvertCodePage(gbk, "GBK", TerminalCharset().c_str(), out)) out.assign(gbk);
  return out;
}

void WriteTerminal(FILE* stream, std::string_view gbk) {
  std::string t = GbkToTerminal(gbk);
  std::fwrite(t.data(), 1, t.size(), stream);
  std::fflush(stream);
}

}  // namespace plat
