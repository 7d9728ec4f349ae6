#pragma once
// Pattern and text generator over the part of the syntax where our engine and
// PCRE2 agree, and the comparison of the two. Shared by the unit tests and the
// fuzz targets in tests/fuzz/.
//
// Left out on purpose, because the engines differ there by design: quantified
// bodies that can match empty, case folding of sets, recursion, captures or
// back-references inside look-behind, CR/FF/VT in texts, conditions on groups
// that are still open.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "regex/ereg.h"
#include "regex/regexp.h"

namespace regex_gen {

class Picker {
 public:
  virtual ~Picker() = default;
  // A number in [0, n).
  virtual unsigned Pick(unsigned n) = 0;
};

class RandomPicker : public Picker {
 public:
  explicit RandomPicker(uint32_t seed) : rng_(seed) {}
  unsigned Pick(unsigned n) override { return n ? unsigned(rng_() % n) : 0; }

 private:
  std::mt19937 rng_;
};

// Choices read from fuzz input; 0 once the bytes run out.
class BytePicker : public Picker {
 public:
  BytePicker(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  unsigned Pick(unsigned n) override {
    if (!n || i_ >= n_) return 0;
    return p_[i_++] % n;
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
};

struct Case {
  std::string pattern;
  std::string text;
  int start = 0;
  bool nullable = true;  // false: no match can be empty, so walks compare too
};

class Generator {
 public:
  explicit Generator(Picker& p) : p_(p) {}

  Case Make() {
    Case c;
    icase_ = p_.Pick(6) == 0;
    std::string prefix;
    if (icase_) prefix += "(?i)";
    if (p_.Pick(6) == 0) prefix += "(?m)";
    if (p_.Pick(8) == 0) prefix += "(?s)";
    Piece body = Alternation(0);
    c.pattern = prefix + body.s;
    c.nullable = body.nullable;
    int len = int(p_.Pick(14));
    static const char kText[] = "aabbcab1x _\n";
    for (int i = 0; i < len; ++i) c.text += kText[p_.Pick(sizeof kText - 1)];
    c.start = p_.Pick(4) == 0 ? int(p_.Pick(unsigned(len) + 1)) : 0;
    return c;
  }

 private:
  struct Piece {
    std::string s;
    bool nullable;
  };

  Piece Alternation(int depth) {
    int n = 1 + (p_.Pick(4) == 0 ? int(p_.Pick(3)) : 0);
    Piece r{"", false};
    for (int i = 0; i < n; ++i) {
      Piece b = Sequence(depth);
      if (i) r.s += "|";
      r.s += b.s;
      r.nullable = r.nullable || b.nullable;
    }
    return r;
  }

  Piece Sequence(int depth) {
    int n = 1 + int(p_.Pick(4));
    Piece r{"", true};
    for (int i = 0; i < n; ++i) {
      Piece q = Quantified(depth);
      r.s += q.s;
      r.nullable = r.nullable && q.nullable;
    }
    return r;
  }

  Piece Quantified(int depth) {
    Piece a = Atom(depth);
    if (a.nullable || p_.Pick(3) != 0) return a;
    static const char* kQ[] = {"*", "+", "?", "{2}", "{1,3}", "{0,2}", "{2,}"};
    std::string q = kQ[p_.Pick(7)];
    switch (p_.Pick(4)) {
      case 0:
        q += "?";
        break;
      case 1:
        if (q[0] != '{' || q.find(',') != std::string::npos) q += "+";
        break;
      default:
        break;
    }
    bool nullable = q[0] == '*' || q[0] == '?' || q.rfind("{0", 0) == 0;
    return {a.s + q, nullable};
  }

  std::string Literal() {
    static const char kLit[] = "aabbc1x _";
    char c = kLit[p_.Pick(sizeof kLit - 1)];
    return std::string(1, c);
  }

  std::string Set() {
    static const char* kSets[] = {"[ab]",    "[^ab]",  "[a-c]",       "[^a-c1]",      "[\\d_]",
                                  "[\\w ]", "[.x]",   "[^\\s]",     "[[:alpha:]]", "[[:digit:]_]",
                                  "[[:^space:]]", "[\\x61-\\x63]"};
    return kSets[p_.Pick(12)];
  }

  Piece Atom(int depth) {
    unsigned k = p_.Pick(depth >= 3 ? 6 : 17);
    switch (k) {
      case 0:
      case 1:
      case 2:
        return {Literal(), false};
      case 3: {
        static const char* kCls[] = {"\\d", "\\w", "\\s", "\\W", "\\D", ".", "\\S"};
        return {kCls[p_.Pick(7)], false};
      }
      case 4:
        if (icase_) return {Literal(), false};
        return {Set(), false};
      case 5: {
        static const char* kAnchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
        return {kAnchors[p_.Pick(7)], true};
      }
      case 6:
      case 7:
      case 8: {  // capture group
        int number = ++groups_;
        Piece b = Alternation(depth + 1);
        closed_.push_back(number);
        return {"(" + b.s + ")", b.nullable};
      }
      case 9: {
        Piece b = Alternation(depth + 1);
        return {"(?:" + b.s + ")", b.nullable};
      }
      case 10: {
        Piece b = Alternation(depth + 1);
        return {(p_.Pick(2) ? "(?=" : "(?!") + b.s + ")", true};
      }
      case 11: {  // look-behind of literal branches
        std::string s = p_.Pick(2) ? "(?<=" : "(?<!";
        int branches = 1 + int(p_.Pick(2));
        for (int i = 0; i < branches; ++i) {
          if (i) s += "|";
          int n = 1 + int(p_.Pick(3));
          for (int j = 0; j < n; ++j) s += Literal();
        }
        return {s + ")", true};
      }
      case 12: {
        Piece b = Alternation(depth + 1);
        return {"(?>" + b.s + ")", b.nullable};
      }
      case 13:
        if (closed_.empty()) return {Literal(), false};
        // Wrapped, so that a digit literal after it stays a literal.
        return {"(?:\\" + std::to_string(closed_[p_.Pick(unsigned(closed_.size()))]) + ")", true};
      case 14: {  // condition on a closed group or a look-ahead
        std::string cond;
        if (!closed_.empty() && p_.Pick(2))
          cond = "(" + std::to_string(closed_[p_.Pick(unsigned(closed_.size()))]) + ")";
        else
          cond = std::string(p_.Pick(2) ? "(?=" : "(?!") + Literal() + ")";
        Piece yes = Sequence(depth + 1);
        Piece no = Sequence(depth + 1);
        return {"(?" + cond + yes.s + "|" + no.s + ")", yes.nullable || no.nullable};
      }
      case 15: {
        static const char* kEsc[] = {"\\x61", "\\Qa.\\E", "\\Q \\E", "\\x{62}", "\\n", "\\."};
        if (icase_ && p_.Pick(2)) return {p_.Pick(2) ? "(?-i)" : "(?i)", true};
        return {kEsc[p_.Pick(6)], false};
      }
      default:
        return {Literal() + Literal(), false};
    }
  }

  Picker& p_;
  bool icase_ = false;
  int groups_ = 0;
  std::vector<int> closed_;
};

struct Outcome {
  bool compared = false;  // false when either engine declined (limits)
  bool agree = true;
  bool walked = false;  // successive searches, split and replace compared too
  std::string detail;
};

inline std::string Quote(const std::string& s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    if (c == '\n')
      r += "\\n";
    else if (c < 32 || c >= 127) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    } else {
      r += char(c);
    }
  }
  return r + "\"";
}

using Spans = std::vector<std::pair<int, int>>;

// Successive matches by PCRE2 from start: the whole-match spans.
// An error (PCRE2's match limit) leaves ok false.
inline Spans PcreWalk(pcre2_code* code, pcre2_match_context* mc, const std::string& text, int start, bool& ok) {
  Spans r;
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  PCRE2_SIZE pos = PCRE2_SIZE(start);
  while (pos <= text.size()) {
    int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), pos, 0, md, mc);
    if (rc < 0) {
      if (rc != PCRE2_ERROR_NOMATCH) ok = false;
      break;
    }
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    r.emplace_back(int(ov[0]), int(ov[1]));
    if (ov[1] <= pos) break;  // cannot happen for patterns that never match empty
    pos = ov[1];
  }
  pcre2_match_data_free(md);
  return r;
}

inline std::string ShowSpans(const Spans& g) {
  if (g.empty()) return std::string("no match");
  std::string s;
  for (auto& p : g) s += "(" + std::to_string(p.first) + "," + std::to_string(p.second) + ")";
  return s;
}

inline Outcome Compare(const Case& c) {
  Outcome out;
  int err = 0;
  PCRE2_SIZE off = 0;
  // Without its start optimisation: PCRE2 10.42 misses the match of
  // "(?=  *bb)\\B(?:x)? " in "  \\n bb" with it. Without auto-possessification:
  // it misses a match of \\w* before optional possessive \\s?+ groups (see the
  // hand-picked cases) that Python's re finds.
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c.pattern.data()), c.pattern.size(),
                                   PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_CIRCUMFLEX | PCRE2_NO_START_OPTIMIZE |
                                       PCRE2_NO_AUTO_POSSESS,
                                   &err, &off, nullptr);
  if (!code) return out;
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  // Both engines get a small budget: runaway cases are skipped, not compared.
  pcre2_match_context* mc = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(mc, 200000);
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(c.text.data()), c.text.size(), PCRE2_SIZE(c.start), 0, md,
                       mc);

  std::vector<std::pair<int, int>> theirs;
  if (rc >= 0) {
    uint32_t pairs = pcre2_get_ovector_count(md);
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    for (uint32_t i = 0; i < pairs; ++i) {
      if (ov[2 * i] == PCRE2_UNSET)
        theirs.emplace_back(-1, -1);
      else
        theirs.emplace_back(int(ov[2 * i]), int(ov[2 * i + 1]));
    }
  }
  pcre2_match_data_free(md);
  Spans theirWalk, theirSplitWalk;
  bool walkOk = true;
  if (!c.nullable) {
    theirWalk = PcreWalk(code, mc, c.text, c.start, walkOk);
    theirSplitWalk = PcreWalk(code, mc, c.text, 0, walkOk);
  }
  pcre2_match_context_free(mc);
  pcre2_code_free(code);
  if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) return out;  // PCRE2's own limits

  CRegexpT<char> re(c.pattern.data(), int(c.pattern.size()), 0);
  RegexLimits lim;
  lim.stepBudget = 200000;
  int hit = 0;
  MatchResultT<0> m = re.MatchBuffer(c.text.data(), int(c.text.size()), c.start, &lim, &hit);
  if (hit) return out;
  std::vector<std::pair<int, int>> ours;
  if (m.IsMatched())
    for (int i = 0; i <= m.GroupCount(); ++i) ours.emplace_back(m.GroupStart(i), m.GroupEnd(i));
  out.compared = true;
  out.agree = ours == theirs;
  const std::string where =
      "pattern " + Quote(c.pattern) + " text " + Quote(c.text) + " start " + std::to_string(c.start) + ": ";
  if (!out.agree) {
    out.detail = where + "ours " + ShowSpans(ours) + ", PCRE2 " + ShowSpans(theirs);
    return out;
  }
  if (c.nullable || !walkOk) return out;

  // Successive searches on one context, then split and replace over them.
  Spans ourWalk;
  CContext ctx;
  re.PrepareContext(c.text.data(), int(c.text.size()), c.start, &ctx, &lim);
  for (MatchResultT<0> w = re.MatchWithContext(&ctx); w.IsMatched(); w = re.MatchWithContext(&ctx))
    ourWalk.emplace_back(w.MatchStart(), w.MatchEnd());
  if (ctx.limitHit) {
    out.compared = false;
    return out;
  }
  if (ourWalk != theirWalk) {
    out.agree = false;
    out.detail = where + "walk ours " + ShowSpans(ourWalk) + ", PCRE2 " + ShowSpans(theirWalk);
    return out;
  }
  std::vector<std::string> pieces, expected;
  std::string replaced, expectedReplaced;
  int last = 0;
  for (auto& span : theirSplitWalk) {
    expected.push_back(c.text.substr(size_t(last), size_t(span.first - last)));
    expectedReplaced += c.text.substr(size_t(last), size_t(span.first - last)) + "<" +
                        c.text.substr(size_t(span.first), size_t(span.second - span.first)) + ">";
    last = span.second;
  }
  expected.push_back(c.text.substr(size_t(last)));
  expectedReplaced += c.text.substr(size_t(last));
  if (c.text.find('\0') == std::string::npos) {
    int n = EregSplit(c.text, c.pattern, &pieces);
    int r = EregReplace(c.text, c.pattern, "<$&>", -1, &replaced);
    if (n == 0 || r == 0) {
      out.compared = false;
      return out;
    }
    out.walked = true;
    if (pieces != expected || replaced != expectedReplaced) {
      out.agree = false;
      out.detail = where + "split or replace differ: " + Quote(replaced) + " vs " + Quote(expectedReplaced);
    }
  }
  return out;
}

// The differential fuzz step: generate from the input bytes and compare.
inline Outcome DiffOne(const uint8_t* data, size_t size) {
  BytePicker p(data, size);
  Generator g(p);
  return Compare(g.Make());
}

// The crash fuzz step: raw bytes as flags, pattern and text, through every
// entry point, with a small budget so that runaway inputs end quickly.
inline int FuzzOne(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int flags = data[0] & 0x0F;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  size_t n = size - 1;
  const void* z = std::memchr(rest, 0, n);
  size_t plen = z ? size_t(static_cast<const char*>(z) - rest) : n;
  std::string pattern(rest, plen);
  std::string text = plen < n ? std::string(rest + plen + 1, n - plen - 1) : std::string("abc aab\r\n12");
  RegexLimits lim;
  lim.stepBudget = 200000;
  CRegexpT<char> re(pattern.data(), int(pattern.size()), flags);
  int hit = 0, found = 0;
  MatchResultT<0> m = re.MatchBuffer(text.data(), int(text.size()), 0, &lim, &hit);
  if (m.IsMatched()) {
    ++found;
    for (int i = 0; i <= m.GroupCount(); ++i) {
      int s = m.GroupStart(i), e = m.GroupEnd(i);
      if (s > e || e > int(text.size()) || (s < 0 && e >= 0)) __builtin_trap();
    }
  }
  if (CContext* ctx = re.PrepareContext(text.data(), int(text.size()), 0, nullptr, &lim)) {
    for (int i = 0; i < 64 && re.MatchWithContext(ctx).IsMatched(); ++i) ++found;
    CRegexpT<char>::ReleaseContext(ctx);
  }
  int len = 0;
  if (char* s = re.ReplaceBuffer(text.data(), int(text.size()), "<$1$&${x}$+$`>", 14, 0, 8, &lim, &hit, &len)) {
    found += len > 0;
    CRegexpT<char>::FreeString(s);
  }
  return found;
}

}  // namespace regex_gen
