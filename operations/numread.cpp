#include "operations/numread.h"

#include <cstdlib>

#include "platform/format.h"

namespace {

const char* const kDigit[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Unit word of a digit position counted from the right (12 positions).
const char* UnitOf(int pos) {
  static const char* const units[12] = {nullptr, "shi",  "bai", "qian", "wan", "shi",
                                        "bai",   "qian", "yyi", "shi",  "bai", "qian"};
  return pos >= 0 && pos < 12 ? units[pos] : nullptr;
}

bool IsGroupUnit(const std::string& w) { return w == "wan" || w == "yyi"; }

// Integer digits (at most 12) read with units, in speaking order.
std::vector<std::string> IntegerUnits(std::string_view digits) {
  std::vector<std::string> rev;
  int n = static_cast<int>(digits.size());
  for (int pos = 0; pos < n; ++pos) {
    char c = digits[n - 1 - pos];
    if (c != '0') {
      if (const char* u = UnitOf(pos)) rev.emplace_back(u);
      rev.emplace_back(kDigit[c - '0']);
      continue;
    }
    bool runStart = pos == 0 || digits[n - pos] != '0';
    if (runStart) {
      if (pos == 0) continue;
      rev.emplace_back("0");
      if (pos == 4 || pos == 8) rev.emplace_back(UnitOf(pos));
    } else if (pos == 4 || pos == 8) {
      rev.emplace_back(UnitOf(pos));
    }
  }
  std::vector<std::string> out;
  for (size_t k = rev.size(); k-- > 0;) {
    const std::string& w = rev[k];
    // "1 shi" loses its 1 unless a hundred stands before it or nothing follows.
    if (w == "1" && k >= 1 && rev[k - 1] == "shi" && k >= 2 && (out.empty() || out.back() != "bai")) continue;
    // Group units after a group unit are not spoken.
    if (IsGroupUnit(w) && !out.empty() && IsGroupUnit(out.back())) continue;
    out.push_back(w);
  }
  return out;
}

// Leading blanks and zeros skipped.
std::string_view SkipBlanksAndZeros(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '0')) ++i;
  return t.substr(i);
}

// The callers' rule: "1 shi" at the start reads "shi".
std::vector<std::string> ReadUnits(std::string_view text, bool money) {
  std::vector<std::string> w = NumberToUnitCodes(text, money);
  if (w.size() >= 2 && w[0] == "1" && w[1] == "shi") w.erase(w.begin());
  return w;
}

std::vector<std::string> ReadInt(long long v) { return ReadUnits(std::to_string(v), false); }

// The part after the first '.', when there is one.
bool DecimalPart(std::string_view t, std::string_view& dec) {
  size_t dot = t.find('.');
  if (dot == std::string_view::npos) return false;
  dec = t.substr(dot + 1);
  return true;
}

bool DecimalsAboveZero(std::string_view dec) {
  std::string s(dec);
  return strtod_l(s.c_str(), nullptr, plat::CLocale()) > 0;
}

void AppendDigitsUntilOther(std::string_view dec, std::vector<std::string>& out) {
  for (char c : dec) {
    if (!IsDigit(c)) break;
    out.emplace_back(kDigit[c - '0']);
  }
}

// Numbers of a date or time text, split at every non-digit; at most four are
// looked at. A number of more than 9 digits cannot be a date or time part.
bool SplitNumbers(std::string_view t, std::vector<long long>& nums) {
  std::string cur;
  bool tooLong = false;
  auto end = [&]() {
    if (cur.empty()) return;
    if (cur.size() > 9) tooLong = true;
    nums.push_back(std::atoll(cur.substr(0, 9).c_str()));
    cur.clear();
  };
  for (char c : t) {
    if (IsDigit(c)) {
      cur.push_back(c);
    } else {
      end();
      if (nums.size() >= 4) break;
    }
  }
  if (nums.size() < 4) end();
  return !tooLong;
}

bool ChineseDate(std::string_view t, std::vector<std::string>& out) {
  std::vector<long long> n;
  if (!SplitNumbers(t, n)) return false;
  long long y = 0, m = 0, d = 0;
  if (n.size() == 1) {
    // One number of three digits or more: yyyymmdd (or mmdd).
    std::string first;
    for (char c : t) {
      if (!IsDigit(c)) {
        if (!first.empty()) break;
        continue;
      }
      first.push_back(c);
    }
    if (first.size() < 3) return false;
    y = n[0] / 10000;
    m = n[0] / 100 % 100;
    d = n[0] % 100;
  } else if (n.size() == 2) {
    m = n[0];
    d = n[1];
  } else if (n.size() == 3) {
    y = n[0];
    m = n[1];
    d = n[2];
  } else {
    return false;
  }
  if (m < 1 || m > 12 || d < 1 || d > 31) return false;
  if (y > 0) {
    std::string ys = y < 10 ? "0" + std::to_string(y) : std::to_string(y);
    for (char c : ys) out.emplace_back(kDigit[c - '0']);
    out.emplace_back("nian");
  }
  for (auto& w : ReadInt(m)) out.push_back(w);
  out.emplace_back("yue");
  for (auto& w : ReadInt(d)) out.push_back(w);
  out.emplace_back("ri");
  return true;
}

bool ChineseTime(std::string_view t, int mode, std::vector<std::string>& out) {
  std::vector<long long> n;
  if (!SplitNumbers(t, n)) return false;
  long long h = 0, m = 0, s = 0;
  if (n.size() == 1) {
    h = n[0] / 10000;
    m = n[0] / 100 % 100;
    s = n[0] % 100;
  } else if (n.size() == 3) {
    h = n[0];
    m = n[1];
    s = n[2];
  } else if (n.size() == 2) {
    if (mode == 4) {
      h = n[0];
      m = n[1];
    } else {
      m = n[0];
      s = n[1];
    }
  } else {
    return false;
  }
  if (h < 0 || h > 24 || m < 0 || m > 59 || s < 0 || s > 59) return false;
  bool clock = mode == 4;
  if (h > 0) {
    for (auto& w : ReadInt(h)) out.push_back(w);
  } else if (clock) {
    out.emplace_back("0");
  }
  if (clock || h > 0) out.emplace_back(clock ? "dian" : "xiaoshi");
  if (m > 0) {
    for (auto& w : ReadInt(m)) out.push_back(w);
  } else if (clock) {
    out.emplace_back("0");
  }
  if (clock || m > 0) out.emplace_back("fen");
  if (s > 0) {
    for (auto& w : ReadInt(s)) out.push_back(w);
    out.emplace_back("miao");
  } else if (!clock) {
    out.emplace_back("0");
    out.emplace_back("miao");
  }
  return true;
}

// The text's leading integer as a 32-bit number, saturating.
int32_t LeadingInt(std::string_view t) {
  std::string s(t);
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

std::vector<std::string> NumberToUnitCodes(std::string_view text, bool money) {
  if (text.empty() || text.size() >= 20) return {"0"};
  std::string_view intPart = text, dec;
  bool hasDec = DecimalPart(text, dec);
  if (hasDec) intPart = text.substr(0, text.find('.'));
  size_t digits = 0;
  while (digits < intPart.size() && IsDigit(intPart[digits])) ++digits;
  intPart = intPart.substr(0, digits);
  std::vector<std::string> out;
  if (intPart.size() > 12) {
    // Past the twelve unit positions: read the digits one by one.
    for (char c : intPart) out.emplace_back(kDigit[c - '0']);
  } else {
    out = IntegerUnits(intPart);
  }
  if (money && hasDec) {
    static const char* const small[] = {"jiao", "fen", "li"};
    for (size_t i = 0; i < 3 && i < dec.size(); ++i) {
      char c = dec[i];
      if (c >= '1' && c <= '9') {
        out.emplace_back(kDigit[c - '0']);
        out.emplace_back(small[i]);
      }
    }
  }
  return out;
}

TagEnNumber::TagEnNumber(bool words) {
  static const char* const names[] = {"oh",      "one",     "two",       "three",    "four",    "five",   "six",
                                      "seven",   "eight",   "nine",      "ten",      "eleven",  "twelve", "thirteen",
                                      "fourteen", "fifteen", "sixteen",  "seventeen", "eighteen", "nineteen", "twenty"};
  static const char* const tens[] = {"thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};
  for (int i = 0; i <= 20; ++i) stems_[i] = words ? names[i] : std::to_string(i);
  for (int t = 3; t <= 9; ++t) stems_[t * 10] = words ? tens[t - 3] : std::to_string(t * 10);
}

const std::string& TagEnNumber::Stem(int n) const {
  static const std::string none;
  return n >= 0 && n <= 90 ? stems_[n] : none;
}

int TagEnNumber::NumberToWords(int32_t n, std::vector<std::string>& out) const {
  if (n <= 0) return 0;
  size_t before = out.size();
  const int32_t parts[3] = {n / 1000000000, n % 1000000000 / 1000000, n % 1000000 / 1000};
  static const char* const words[3] = {"billion", "million", "thousand"};
  for (int i = 0; i < 3; ++i) {
    if (parts[i] > 0) {
      NumberToWords(parts[i], out);
      out.emplace_back(words[i]);
    }
  }
  int32_t last = n % 1000;
  int32_t hundreds = last / 100;
  int32_t rest = last % 100;
  if (hundreds > 0) {
    out.push_back(Stem(hundreds));
    out.emplace_back("hundred");
    if (rest > 0) out.emplace_back("and");
  }
  if (rest > 20) {
    out.push_back(Stem(rest / 10 * 10));
    if (rest % 10 > 0) out.push_back(Stem(rest % 10));
  } else if (rest > 0) {
    out.push_back(Stem(rest));
  }
  return static_cast<int>(out.size() - before);
}

int TagEnNumber::DigitsToWords(std::string_view text, std::vector<std::string>& out) const {
  int count = 0;
  for (char c : text) {
    if (!IsDigit(c)) continue;
    out.push_back(Stem(c - '0'));
    ++count;
  }
  return count;
}

const TagEnNumber& EnNumber() {
  static const TagEnNumber reader(false);
  return reader;
}

bool NumberReadingStems(std::string_view text, int mode, int language, std::vector<std::string>& out) {
  out.clear();
  bool english = language == 2;
  if (mode == 2) {
    for (char c : text) {
      if (IsDigit(c))
        out.emplace_back(kDigit[c - '0']);
      else if (c == '.')
        out.emplace_back("dian");
    }
    return true;
  }
  if (english) {
    if (mode != 0 && mode != 1) return true;  // dates and times are not read in English
    const TagEnNumber& en = EnNumber();
    en.NumberToWords(LeadingInt(text), out);
    if (out.empty()) out.emplace_back("0");
    std::string_view dec;
    if (DecimalPart(text, dec)) {
      std::vector<std::string> decWords;
      en.DigitsToWords(dec, decWords);
      bool read = mode == 1 ? !decWords.empty() : DecimalsAboveZero(dec);
      if (read) {
        out.emplace_back("dian");
        out.insert(out.end(), decWords.begin(), decWords.end());
      }
    }
    if (mode == 1) out.emplace_back("yuan");
    return true;
  }
  switch (mode) {
    case 0: {
      std::string_view t = SkipBlanksAndZeros(text);
      out = ReadUnits(t, false);
      if (out.empty()) out.emplace_back("0");
      std::string_view dec;
      if (DecimalPart(t, dec) && DecimalsAboveZero(dec)) {
        out.emplace_back("dian");
        AppendDigitsUntilOther(dec, out);
      }
      return true;
    }
    case 1: {
      std::string_view t = SkipBlanksAndZeros(text);
      std::string_view intText = t.substr(0, std::min(t.find('.'), t.size()));
      std::vector<std::string> words = ReadUnits(intText, false);
      if (intText.empty()) words.clear();
      out = words;
      if (!out.empty()) out.emplace_back("yuan");
      std::string_view dec;
      if (DecimalPart(t, dec)) {
        std::vector<std::string> small = NumberToUnitCodes("." + std::string(dec.substr(0, 3)), true);
        out.insert(out.end(), small.begin(), small.end());
      }
      if (out.empty()) {
        out.emplace_back("0");
        out.emplace_back("yuan");
      }
      return true;
    }
    case 3:
      if (!ChineseDate(text, out)) {
        out.clear();
        return false;
      }
      return true;
    case 4:
    case 5:
      if (!ChineseTime(text, mode, out)) {
        out.clear();
        return false;
      }
      return true;
    default:
      return true;  // nothing to read
  }
}
