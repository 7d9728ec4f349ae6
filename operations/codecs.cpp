#include "operations/codecs.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool KeptAsIs(unsigned char c) { return c > 0x20 && c < 0x7F && c != '%' && c != '+'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr std::array<uint8_t, 256> MakeBase64Values() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64[i])] = static_cast<uint8_t>(i);
  return t;
}
constexpr std::array<uint8_t, 256> kBase64Values = MakeBase64Values();

std::string_view UpToZero(std::string_view text) {
  size_t z = text.find('\0');
  return z == std::string_view::npos ? text : text.substr(0, z);
}

}  // namespace

std::string PercentEncode(std::string_view text) {
  text = UpToZero(text);
  std::string out(text.size() * 3, '\0');
  char* o = out.data();
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (KeptAsIs(c)) {
      *o++ = ch;
    } else {
      o[0] = '%';
      o[1] = kHex[c >> 4];
      o[2] = kHex[c & 0xF];
      o += 3;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string PercentDecode(std::string_view text) {
  text = UpToZero(text);
  std::string out(text.size(), '\0');
  char* o = out.data();
  for (size_t i = 0; i < text.size(); ++i) {
    int high;
    if (text[i] != '%' || i + 2 >= text.size() || (high = HexDigit(text[i + 1])) < 0) {
      *o++ = text[i];
      continue;
    }
    // Like "%X" on the two bytes: the digits up to the first other byte.
    int low = HexDigit(text[i + 2]);
    *o++ = static_cast<char>(low >= 0 ? high * 16 + low : high);
    i += 2;
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out.data();
  size_t full = bytes.size() / 3 * 3;
  for (size_t i = 0; i < full; i += 3, o += 4) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    o[0] = kBase64[v >> 18];
    o[1] = kBase64[(v >> 12) & 63];
    o[2] = kBase64[(v >> 6) & 63];
    o[3] = kBase64[v & 63];
  }
  size_t rest = bytes.size() - full;
  if (rest > 0) {
    uint32_t v = uint32_t{p[full]} << 16;
    if (rest == 2) v |= uint32_t{p[full + 1]} << 8;
    o[0] = kBase64[v >> 18];
    o[1] = kBase64[(v >> 12) & 63];
    o[2] = rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    o[3] = '=';
  }
  return out;
}

int Base64Value(char c) { return kBase64Values[static_cast<unsigned char>(c)]; }

int Base64Decode(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return -1;
  size_t n = text.size() / 4 * 3;
  if (n >= 3 && text[text.size() - 1] == '=') n -= text[text.size() - 2] == '=' ? 2 : 1;
  out.resize(text.size() / 4 * 3);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  char* o = out.data();
  for (size_t i = 0; i < text.size(); i += 4, o += 3) {
    uint32_t v = (uint32_t{kBase64Values[p[i]]} << 18) | (uint32_t{kBase64Values[p[i + 1]]} << 12) |
                 (uint32_t{kBase64Values[p[i + 2]]} << 6) | kBase64Values[p[i + 3]];
    o[0] = static_cast<char>(v >> 16);
    o[1] = static_cast<char>(v >> 8);
    o[2] = static_cast<char>(v);
  }
  out.resize(n);
  return static_cast<int>(n);
}
