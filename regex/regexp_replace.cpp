// Replacement: template analysis with the process-wide scanner, then the walk
// over successive matches.
#include <cstring>

#include "regex/regexp.h"

namespace {

// Compiled once, thread-safely, on first use; afterwards only read.
const CRegexpT<char>& Scanner() {
  static const CRegexpT<char> scanner("\\$(?:[$&`'+_\\d]|\\{.*?\\})", 0);
  return scanner;
}

enum { kPieceSpecial = -1, kPieceGroup = -2 };

}  // namespace

void CRegexpT<char>::FreeString(char* s) { std::free(s); }

char* CRegexpT<char>::Replace(const char* text, const char* tmpl, int start, int count, const RegexLimits* limits,
                              int* limitHit) const {
  return ReplaceBuffer(text, text ? int(std::strlen(text)) : 0, tmpl, tmpl ? int(std::strlen(tmpl)) : 0, start, count,
                       limits, limitHit);
}

char* CRegexpT<char>::ReplaceBuffer(const char* text, int textLength, const char* tmpl, int tmplLength, int start,
                                    int count, const RegexLimits* limits, int* limitHit, int* resultLength) const {
  if (limitHit) *limitHit = CompileLimit();
  if (!IsCompiled()) return nullptr;
  if (!text) textLength = 0;
  if (!tmpl) tmplLength = 0;
  if (textLength < 0) textLength = 0;
  if (tmplLength < 0) tmplLength = 0;
  const RegexLimits lim = limits ? *limits : RegexLimits();
  const int maxGroup = MaxGroup();

  // Template pieces: (offset, length) literal, (-1, char) special, (-2, n) group.
  CBufferT<int> pieces;
  auto add = [&](int a, int b) {
    pieces.Push(a);
    pieces.Push(b);
  };
  {
    const CRegexpT<char>& sc = Scanner();
    CContext ctx;
    sc.PrepareContext(tmpl, tmplLength, 0, &ctx, &lim);
    int prevEnd = 0;
    for (;;) {
      MatchResultT<0> m = sc.MatchWithContext(&ctx);
      if (!m.IsMatched()) break;
      const int t = m.MatchStart();
      if (t < prevEnd) continue;
      if (t > prevEnd) add(prevEnd, t - prevEnd);
      const char c = tmpl[t + 1];
      int end = m.MatchEnd();
      if (c == '$') {
        add(t, 1);
      } else if (c == '&' || c == '`' || c == '\'' || c == '+' || c == '_') {
        add(kPieceSpecial, c);
      } else if (c == '{') {
        int n = GroupNumberByName(tmpl + t + 2, end - t - 3);
        if (n >= 1 && n <= maxGroup)
          add(kPieceGroup, n);
        else
          add(t, end - t);
      } else {
        int n = 0, d = 0;
        while (d < 3 && t + 1 + d < tmplLength && tmpl[t + 1 + d] >= '0' && tmpl[t + 1 + d] <= '9') {
          n = n * 10 + (tmpl[t + 1 + d] - '0');
          ++d;
        }
        while (d > 0 && n > maxGroup) {
          n /= 10;
          --d;
        }
        if (d > 0) {
          add(kPieceGroup, n);
          end = t + 1 + d;
        } else {
          add(t, 1);
          end = t + 1;
        }
      }
      prevEnd = end;
    }
    if (ctx.limitHit) {
      if (limitHit) *limitHit = ctx.limitHit;
      return nullptr;
    }
    if (prevEnd < tmplLength) add(prevEnd, tmplLength - prevEnd);
  }

  CBufferT<char> out;
  int64_t total = 0;
  bool tooLarge = false;
  auto put = [&](const char* p, int n) {
    if (n <= 0 || tooLarge) return;
    if (total + n > lim.maxOutput) {
      tooLarge = true;
      return;
    }
    total += n;
    out.Append(p, n);
  };

  CContext ctx;
  PrepareContext(text, textLength, start, &ctx, &lim);
  int last = 0, done = 0;
  while (!tooLarge && (count < 0 || done < count)) {
    MatchResultT<0> m = MatchWithContext(&ctx);
    if (!m.IsMatched()) break;
    ++done;
    const int ms = m.MatchStart(), me = m.MatchEnd();
    if (ms > last) put(text + last, ms - last);
    last = me;
    for (int i = 0; i + 1 < pieces.GetSize(); i += 2) {
      const int a = pieces[i], b = pieces[i + 1];
      if (a >= 0) {
        put(tmpl + a, b);
      } else if (a == kPieceSpecial) {
        switch (b) {
          case '&':
            put(text + ms, me - ms);
            break;
          case '`':
            put(text, ms);
            break;
          case '\'':
            put(text + me, textLength - me);
            break;
          case '+': {
            int g = maxGroup;
            while (g > 0 && m.GroupStart(g) < 0) --g;
            put(text + m.GroupStart(g), m.GroupEnd(g) - m.GroupStart(g));
            break;
          }
          case '_':
            put(text, textLength);
            break;
        }
      } else if (m.GroupStart(b) >= 0) {
        put(text + m.GroupStart(b), m.GroupEnd(b) - m.GroupStart(b));
      }
    }
  }
  if (ctx.limitHit || tooLarge) {
    if (limitHit) *limitHit = ctx.limitHit ? ctx.limitHit : kRegexOutput;
    return nullptr;
  }
  if (last < textLength) put(text + last, textLength - last);
  if (tooLarge) {
    if (limitHit) *limitHit = kRegexOutput;
    return nullptr;
  }
  if (resultLength) *resultLength = out.GetSize();
  out.Append(nullptr, 0, true);
  return out.Detach();
}
