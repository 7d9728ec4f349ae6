#include "regex/ereg.h"

#include "core/log.h"
#include "regex/regexp.h"

namespace {

std::string_view UpToZero(std::string_view s) {
  size_t z = s.find('\0');
  return z == std::string_view::npos ? s : s.substr(0, z);
}

int Stopped(const char* op, int kind) {
  LogAlwaysF("%s regular expression stopped: %s", op, RegexLimitText(kind));
  return 0;
}

}  // namespace

int EregMatch(std::string_view text, int start, std::string_view pattern, std::map<int, std::string>* groups,
              const std::atomic<uint8_t>* interrupt) {
  text = UpToZero(text);
  pattern = UpToZero(pattern);
  CRegexpT<char> re(pattern.data(), int(pattern.size()), 0);
  if (!re.IsCompiled()) return re.CompileLimit() ? Stopped("Ereg(", re.CompileLimit()) : 0;
  RegexLimits lim;
  lim.interrupt = interrupt;
  int hit = 0;
  MatchResultT<0> m = re.MatchBuffer(text.data(), int(text.size()), start, &lim, &hit);
  if (hit) return Stopped("Ereg(", hit);
  if (!m.IsMatched()) return 0;
  if (groups) {
    for (int i = 0; i <= re.MaxGroup(); ++i) {
      const int s = m.GroupStart(i), e = m.GroupEnd(i);
      if (s >= 0 && e >= s) (*groups)[i] = std::string(text.substr(size_t(s), size_t(e - s)));
    }
  }
  return m.MatchStart() + 1;
}

int EregReplace(std::string_view text, std::string_view pattern, std::string_view replacement, int count,
                std::string* result, const std::atomic<uint8_t>* interrupt) {
  text = UpToZero(text);
  pattern = UpToZero(pattern);
  replacement = UpToZero(replacement);
  CRegexpT<char> re(pattern.data(), int(pattern.size()), 0);
  if (!re.IsCompiled()) return re.CompileLimit() ? Stopped("EregRepl(", re.CompileLimit()) : 0;
  RegexLimits lim;
  lim.interrupt = interrupt;
  int hit = 0, length = 0;
  char* s = re.ReplaceBuffer(text.data(), int(text.size()), replacement.data(), int(replacement.size()), 0, count,
                             &lim, &hit, &length);
  if (!s) return hit ? Stopped("EregRepl(", hit) : 0;
  if (result) result->assign(s, size_t(length));
  CRegexpT<char>::FreeString(s);
  return 1;
}

int EregSplit(std::string_view text, std::string_view pattern, std::vector<std::string>* pieces,
              const std::atomic<uint8_t>* interrupt) {
  if (!pieces) return 0;  // a constant target
  text = UpToZero(text);
  pattern = UpToZero(pattern);
  CRegexpT<char> re(pattern.data(), int(pattern.size()), 0);
  if (!re.IsCompiled()) return re.CompileLimit() ? Stopped("EregSplit(", re.CompileLimit()) : 0;
  RegexLimits lim;
  lim.interrupt = interrupt;
  CContext ctx;
  re.PrepareContext(text.data(), int(text.size()), 0, &ctx, &lim);
  std::vector<std::string> out;
  // Every piece costs its bytes plus its bookkeeping; empty matches make many.
  int64_t size = 0;
  int last = 0;
  for (;;) {
    MatchResultT<0> m = re.MatchWithContext(&ctx);
    if (!m.IsMatched()) break;
    const int s = m.MatchStart();
    const int n = s > last ? s - last : 0;
    size += n + int64_t(sizeof(std::string));
    if (size > lim.maxOutput) return Stopped("EregSplit(", kRegexOutput);
    out.emplace_back(text.substr(size_t(last), size_t(n)));
    last = m.MatchEnd();
  }
  if (ctx.limitHit) return Stopped("EregSplit(", ctx.limitHit);
  out.emplace_back(last < int(text.size()) ? text.substr(size_t(last)) : std::string_view());
  *pieces = std::move(out);
  return int(pieces->size());
}
