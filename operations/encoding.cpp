// "StrToUnicode(" and "UnicodeToStr(": texts of the system's GB code page
// to and from UTF-16LE, UTF-8, UTF-7, percent escaping and Base64, chosen by
// a mode number.
#include <cstdint>
#include <string>
#include <string_view>

#include "operations/argread.h"
#include "operations/codecs.h"
#include "platform/text.h"

namespace {

// The system's own code page, in iconv's name.
constexpr const char* kAnsi = "GBK";

enum Mode { kUtf16 = 0, kUtf8 = 1, kUtf7 = 2, kPercent = 3, kBase64 = 4 };

// Every mode number not listed means UTF-16LE.
Mode ModeOf(int m) { return m >= kUtf8 && m <= kBase64 ? static_cast<Mode>(m) : kUtf16; }

// The bytes a value stores: only a string defines them; anything else
// (whose int field is no length) has none.
std::string_view StoredBytes(const TagVar& v) { return v.IsString() ? v.Bytes() : std::string_view(); }

std::string Convert(std::string_view in, const char* from, const char* to) {
  std::string out;
  plat::ConvertCodePage(in, from, to, out);
  return out;
}

int Length(size_t n) { return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n); }

}  // namespace

// StrToUnicode(value, mode, out): the result is the encoded length (plus
// one for UTF-8 and UTF-7, whose terminating zero counts), 0 for an empty
// value, -100 for a constant out.
class TagStrToUnicode : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& value = Arg(0);
    TagVar& out = Arg(2);
    if (out.IsConst()) return -100;
    Mode mode = ModeOf(ArgInt(Arg(1)));
    if (mode == kBase64) {
      // Binary data: a leading zero byte does not make it empty.
      std::string_view bytes = StoredBytes(value);
      if (bytes.empty()) return 0;
      std::string encoded = Base64Encode(bytes);
      out.SetString(encoded);
      return Length(encoded.size());
    }
    // A value that never held text (a number that was never a string) or
    // holds the empty text has nothing to encode.
    if (value.Text()[0] == 0) return 0;
    std::string printed = ArgPrinted(value);
    std::string encoded;
    switch (mode) {
      case kPercent:
        encoded = PercentEncode(printed);
        out.SetString(encoded);
        return Length(encoded.size());
      case kUtf8:
      case kUtf7:
        encoded = Convert(printed, kAnsi, mode == kUtf8 ? "UTF-8" : "UTF-7");
        if (encoded.empty()) return 0;
        out.SetString(encoded);
        return Length(encoded.size() + 1);
      default:
        encoded = Convert(printed, kAnsi, "UTF-16LE");
        out.SetString(encoded);
        return Length(encoded.size());
    }
  }
};

// UnicodeToStr(mode, input, out): the decoded length; -1 for Base64 of a
// length that is not a multiple of 4.
class TagUnicodeToStr : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Mode mode = ModeOf(ArgInt(Arg(0)));
    const TagVar& input = Arg(1);
    TagVar& out = Arg(2);
    if (mode == kPercent) {
      std::string decoded = PercentDecode(ArgPrinted(input));
      out.SetString(decoded);
      return Length(decoded.size());
    }
    std::string_view bytes = StoredBytes(input);
    if (mode == kBase64) {
      std::string decoded;
      int n = Base64Decode(bytes, decoded);
      if (n > 0) out.SetBytes(decoded.data(), decoded.size());
      return n;
    }
    std::string utf16;
    if (mode == kUtf8 || mode == kUtf7) utf16 = Convert(bytes, mode == kUtf8 ? "UTF-8" : "UTF-7", "UTF-16LE");
    // Text that does not start as UTF-8 or UTF-7 text is taken as UTF-16LE,
    // whole code units only.
    if (utf16.size() < 2 || (utf16[0] == 0 && utf16[1] == 0)) utf16.assign(bytes.substr(0, bytes.size() / 2 * 2));
    // The text ends at its first zero unit.
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
      if (utf16[i] == 0 && utf16[i + 1] == 0) {
        utf16.resize(i);
        break;
      }
    }
    out.SetString(Convert(utf16, "UTF-16LE", kAnsi));
    return Length(out.TextLen());
  }
};

const TagOpTable& EncodingOperations() {
  static const TagOpTable entries = {
      {KeywordId::StrToUnicode, MakeLineOper<TagStrToUnicode>},
      {KeywordId::UnicodeToStr, MakeLineOper<TagUnicodeToStr>},
  };
  return entries;
}
