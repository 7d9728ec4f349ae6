#include "platform/card/isupmsg.h"

#include <cctype>
#include <cstdio>

namespace plat::card {

std::string BcdDecode(const uint8_t* p, size_t bytes, bool odd) {
  std::string out;
  size_t digits = bytes * 2;
  if (odd && digits > 0) digits--;
  for (size_t i = 0; i < digits && out.size() < kMaxNumberDigits; i++) {
    uint8_t b = p[i / 2];
    int half = (i % 2 == 0) ? (b & 0x0F) : (b >> 4);
    if (half == 15) break;
    out.push_back(half <= 9 ? static_cast<char>('0' + half) : '.');
  }
  return out;
}

std::vector<uint8_t> BcdEncode(const std::string& digits) {
  std::vector<uint8_t> out;
  size_t k = 0;
  for (char c : digits) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c == '.' || c == '*') {
      v = 10;
    } else {
      continue;
    }
    if (k % 2 == 0) {
      out.push_back(static_cast<uint8_t>(v));
    } else {
      out.back() = static_cast<uint8_t>(out.back() | (v << 4));
    }
    k++;
  }
  return out;
}

namespace {

size_t DigitCount(const std::string& s) {
  size_t k = 0;
  for (char c : s)
    if ((c >= '0' && c <= '9') || c == '.' || c == '*') k++;
  return k;
}

// A number parameter value: odd/nature byte, plan byte, digits.
std::vector<uint8_t> NumberValue(const std::string& number, uint8_t nature, uint8_t plan) {
  std::vector<uint8_t> v;
  bool odd = DigitCount(number) % 2 == 1;
  v.push_back(static_cast<uint8_t>((odd ? 0x80 : 0x00) | nature));
  v.push_back(plan);
  std::vector<uint8_t> d = BcdEncode(number);
  v.insert(v.end(), d.begin(), d.end());
  return v;
}

void AddParam(std::vector<uint8_t>& m, uint8_t code, const std::vector<uint8_t>& value) {
  m.push_back(code);
  m.push_back(static_cast<uint8_t>(value.size()));
  m.insert(m.end(), value.begin(), value.end());
}

// Number from a parameter value of length len starting at p (p[0..len-1]
// lie inside the message).
std::string NumberFrom(const uint8_t* p, size_t len) {
  if (len <= 2) return {};
  return BcdDecode(p + 2, len - 2, (p[0] & 0x80) != 0);
}

}  // namespace

int DecodeIam(const uint8_t* msg, size_t n, IamInfo* out) {
  *out = IamInfo{};
  if (n < 4) return -1;
  if (msg[0] != kIsupIam) return -2;
  // Called party number: length at byte 8, odd indicator in byte 9, digits
  // from byte 11 over length - 2 bytes.
  if (n > 9) {
    size_t len = msg[8];
    bool odd = (msg[9] & 0x80) != 0;
    if (len > 2 && n > 11) {
      size_t bytes = len - 2;
      if (bytes > n - 11) bytes = n - 11;
      out->called = BcdDecode(msg + 11, bytes, odd);
    }
  }
  if (n <= 7) return 0;
  size_t pos = 7 + static_cast<size_t>(msg[7]);
  while (pos + 1 < n) {
    uint8_t code = msg[pos];
    if (code == 0) break;
    size_t len = msg[pos + 1];
    if (len == 0 || len > 20) break;
    const uint8_t* v = msg + pos + 2;
    if (pos + 2 + len > n) break;  // value runs past the message
    switch (code) {
      case 0x13:
        if (len == 2) out->redirCase = (v[1] >> 4) & 7;
        break;
      case 0x0A:
        out->caller = NumberFrom(v, len);
        break;
      case 0x0B:
        out->redirecting = NumberFrom(v, len);
        break;
      case 0x28:
        out->firstCalled = NumberFrom(v, len);
        break;
      default:
        break;
    }
    pos += 2 + len;
  }
  return 0;
}

std::vector<uint8_t> BuildIam(const std::string& caller, const std::string& called,
                              const std::string& firstCalled, int redirCase,
                              const std::string& redirecting) {
  std::vector<uint8_t> calledValue = NumberValue(called, 0x03, 0x10);
  std::vector<uint8_t> m = {kIsupIam, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x02};
  // Pointer to the optional part, counted from its own byte (7): it begins
  // after the called number's length byte and value.
  m.push_back(static_cast<uint8_t>(calledValue.size() + 2));
  m.push_back(static_cast<uint8_t>(calledValue.size()));
  m.insert(m.end(), calledValue.begin(), calledValue.end());
  if (!caller.empty()) AddParam(m, 0x0A, NumberValue(caller, 0x03, 0x13));
  if (!redirecting.empty()) AddParam(m, 0x0B, NumberValue(redirecting, 0x03, 0x10));
  if (!firstCalled.empty()) AddParam(m, 0x28, NumberValue(firstCalled, 0x03, 0x10));
  if (redirCase > 0) AddParam(m, 0x13, {0x03, static_cast<uint8_t>((redirCase & 7) << 4)});
  m.push_back(0x00);
  return m;
}

int DecodeAcm(const uint8_t* msg, size_t n, bool mobile, AcmInfo* out) {
  *out = AcmInfo{};
  if (n < 3) return -1;
  if (msg[0] != kIsupAcm) return -2;
  out->bci1 = msg[1];
  out->bci2 = msg[2];
  out->calledStatus = (out->bci1 >> 2) & 3;
  if (out->calledStatus == 0 && mobile && ((out->bci2 & 7) == 6 || (out->bci1 & 3) == 2)) {
    out->calledStatus = 4;
    out->mobileIdle = true;
  }
  if (n < 4 || msg[3] != 1) return 0;
  size_t pos = 4;
  while (pos + 1 < n) {
    uint8_t code = msg[pos];
    if (code == 0) break;
    size_t len = msg[pos + 1];
    if (len == 0 || len > 20) break;
    if (pos + 2 + len > n) break;
    const uint8_t* v = msg + pos + 2;
    if (code == 0x36 && len == 1) out->redirCase = (v[0] >> 3) & 7;
    if (code == 0x0C && len > 2) out->redirection = NumberFrom(v, len);
    pos += 2 + len;
  }
  return 0;
}

std::vector<uint8_t> BuildAcm(bool charge, int redirCase, const std::string& called) {
  std::vector<uint8_t> m = {kIsupAcm, static_cast<uint8_t>(charge ? 0x12 : 0x11), 0x14, 0x01,
                            0x37, 0x01, 0x0C};
  if (redirCase != 0) {
    m.push_back(0x36);
    m.push_back(0x01);
    m.push_back(static_cast<uint8_t>(redirCase * 8));
    std::vector<uint8_t> d = BcdEncode(called);
    m.push_back(0x0C);
    m.push_back(static_cast<uint8_t>(d.size() + 2));
    m.push_back(DigitCount(called) % 2 ? 0x83 : 0x03);
    m.push_back(0x10);
    m.insert(m.end(), d.begin(), d.end());
  }
  const uint8_t tail[] = {0x29, 0x01, 0x01, 0x39, 0x02, 0x37, 0xC0, 0x00};
  m.insert(m.end(), std::begin(tail), std::end(tail));
  return m;
}

std::vector<uint8_t> BuildFarAcm(uint8_t bci1, uint8_t bci2, int redirCase,
                                 const std::string& redirection) {
  std::vector<uint8_t> m = {kIsupAcm, bci1, bci2, 0x01};
  if (redirCase > 0) {
    AddParam(m, 0x36, {static_cast<uint8_t>((redirCase & 7) << 3)});
    if (!redirection.empty()) AddParam(m, 0x0C, NumberValue(redirection, 0x03, 0x10));
  }
  m.push_back(0x00);
  return m;
}

std::vector<uint8_t> BuildFskCallerId(int month, int day, int hour, int minute,
                                      const std::string& number) {
  char stamp[16];
  snprintf(stamp, sizeof stamp, "%02d%02d%02d%02d", (month % 100 + 100) % 100, (day % 100 + 100) % 100,
           (hour % 100 + 100) % 100, (minute % 100 + 100) % 100);
  std::string text = std::string(stamp) + number.substr(0, kMaxFskDigits);
  std::vector<uint8_t> m;
  m.reserve(text.size() + 3);
  m.push_back(0x04);
  m.push_back(static_cast<uint8_t>(text.size()));
  for (char c : text) m.push_back(static_cast<uint8_t>(c));
  uint8_t sum = 0;
  for (uint8_t b : m) sum = static_cast<uint8_t>(sum + b);
  m.push_back(static_cast<uint8_t>(-sum));
  return m;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 3);
  for (size_t i = 0; i < n; i++) {
    if (i) s.push_back(' ');
    s.push_back(kHex[p[i] >> 4]);
    s.push_back(kHex[p[i] & 15]);
  }
  return s;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out, size_t max) {
  out->clear();
  size_t i = 0;
  auto hexval = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == ',' || c == ':') {
      i++;
      continue;
    }
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    if (i >= text.size()) return false;
    int hi = hexval(text[i]);
    if (hi < 0) return false;
    int lo = (i + 1 < text.size()) ? hexval(text[i + 1]) : -1;
    if (lo < 0) return false;
    if (out->size() >= max) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

}  // namespace plat::card
