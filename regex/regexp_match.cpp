// Backtracking behaviour of every element, the search loop and the result.
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "regex/regexp.h"

const char* RegexLimitText(int kind) {
  switch (kind) {
    case kRegexNoLimit:
      return "no limit";
    case kRegexSteps:
      return "step budget spent";
    case kRegexInterrupted:
      return "interrupted";
    case kRegexStack:
      return "stack too low";
    case kRegexBacktrack:
      return "backtrack stack too large";
    case kRegexNesting:
      return "pattern nested too deeply";
    case kRegexOutput:
      return "result too large";
  }
  return "limit";
}

namespace {

constexpr int kCheckEvery = 4096;

inline bool IsWordByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

inline unsigned char Fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

bool SameBytes(const char* a, const char* b, int n, bool icase) {
  // One byte (a delimiter, most often) needs no call.
  if (n == 1 && !icase) return *a == *b;
  if (!icase) return std::memcmp(a, b, size_t(n)) == 0;
  for (int i = 0; i < n; ++i)
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The first place at or after hay where the n bytes of needle (n >= 2)
// stand. Sixteen places a step are tested on their first and last byte,
// and only places that pass both are compared in full.
const unsigned char* FindLiteral(const unsigned char* hay, size_t len, const unsigned char* needle, size_t n) {
  if (n > len) return nullptr;
  const size_t stop = len - n + 1;  // places that leave room for the needle
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(static_cast<char>(needle[0]));
  const __m128i last = _mm_set1_epi8(static_cast<char>(needle[n - 1]));
  for (; i + 16 <= stop; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + n - 1));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(z, last))));
    while (mask) {
      const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (std::memcmp(hay + at + 1, needle + 1, n - 2) == 0) return hay + at;
      mask &= mask - 1;
    }
  }
#endif
  for (; i < stop; ++i) {
    const unsigned char* hit = static_cast<const unsigned char*>(std::memchr(hay + i, needle[0], stop - i));
    if (!hit) return nullptr;
    i = size_t(hit - hay);
    if (hay[i + n - 1] == needle[n - 1] && std::memcmp(hay + i + 1, needle + 1, n - 2) == 0) return hit;
  }
  return nullptr;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Places at..at+31 where both the first and the last byte of the needle
// stand, as bits.
__attribute__((target("avx2"))) inline uint64_t PairMask(const unsigned char* at, size_t n, __m256i first,
                                                         __m256i last) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + n - 1));
  return uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(z, last)))));
}

// The same search 64 places a step with AVX2; the last places go to the
// search above.
__attribute__((target("avx2"))) const unsigned char* FindLiteralWide(const unsigned char* hay, size_t len,
                                                                      const unsigned char* needle, size_t n) {
  if (n > len) return nullptr;
  const size_t stop = len - n + 1;
  size_t i = 0;
  const __m256i first = _mm256_set1_epi8(static_cast<char>(needle[0]));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(needle[n - 1]));
  for (; i + 64 <= stop; i += 64) {
    uint64_t mask = PairMask(hay + i, n, first, last) | (PairMask(hay + i + 32, n, first, last) << 32);
    while (mask) {
      const size_t at = i + static_cast<size_t>(__builtin_ctzll(mask));
      if (std::memcmp(hay + at + 1, needle + 1, n - 2) == 0) return hay + at;
      mask &= mask - 1;
    }
  }
  return FindLiteral(hay + i, len - i, needle, n);
}

const bool kWide = [] {
  __builtin_cpu_init();  // this may run before the library's own start-up
  return __builtin_cpu_supports("avx2") != 0;
}();

const unsigned char* FindLiteralBest(const unsigned char* hay, size_t len, const unsigned char* needle, size_t n) {
  return kWide ? FindLiteralWide(hay, len, needle, n) : FindLiteral(hay, len, needle, n);
}
#else
const unsigned char* FindLiteralBest(const unsigned char* hay, size_t len, const unsigned char* needle, size_t n) {
  return FindLiteral(hay, len, needle, n);
}
#endif

}  // namespace

// ---- context ----

bool CContext::SlowCheck() {
  if (steps > limits.stepBudget || spent + steps > limits.contextBudget) return Hit(kRegexSteps);
  if (limits.interrupt && limits.interrupt->load(std::memory_order_relaxed)) return Hit(kRegexInterrupted);
  if (capture.GetSize() > limits.maxStackInts) return Hit(kRegexBacktrack);
  nextCheck = steps + kCheckEvery;
  if (nextCheck > limits.stepBudget + 1) nextCheck = limits.stepBudget + 1;
  return true;
}

void CContext::ResetSteps() {
  spent += steps;
  steps = 0;
  nextCheck = 0;
}

void CContext::PushCapture(int group, int start, int end, int balance) {
  if (group < 0) return;
  if (group >= index.GetSize()) index.Prepare(group, -1);
  const int e = capture.GetSize() / kCap;
  int* entry = capture.Extend(kCap);
  entry[0] = group;
  entry[1] = start;
  entry[2] = end;
  entry[3] = balance;
  entry[4] = index[group];
  index[group] = e;
}

void CContext::CutCaptures(int n) {
  if (n < 0) n = 0;
  // Undo newest first so every group's index goes back to what it was.
  while (capture.GetSize() > n && capture.GetSize() >= kCap) {
    int base = capture.GetSize() - kCap;
    int group = capture[base];
    if (group >= 0 && group < index.GetSize()) index[group] = capture[base + 4];
    capture.Truncate(base);
  }
}

// ---- leaves ----

int CEmptyElxT<0>::Match(CContext*) const { return 1; }
int CEmptyElxT<0>::MatchNext(CContext*) const { return 0; }

int CStringElxT<char>::Match(CContext* ctx) const {
  const int n = str_.GetSize();
  if (!rightLeft_) {
    if (ctx->length - ctx->pos < n) return 0;
    if (!SameBytes(ctx->text + ctx->pos, str_.GetBuffer(), n, ignoreCase_)) return 0;
    ctx->pos += n;
  } else {
    if (ctx->pos < n) return 0;
    if (!SameBytes(ctx->text + ctx->pos - n, str_.GetBuffer(), n, ignoreCase_)) return 0;
    ctx->pos -= n;
  }
  return 1;
}

int CStringElxT<char>::MatchNext(CContext* ctx) const {
  ctx->pos += rightLeft_ ? str_.GetSize() : -str_.GetSize();
  return 0;
}

int CRangeElxT<char>::Match(CContext* ctx) const {
  if (!rightLeft_) {
    if (ctx->pos >= ctx->length || ctx->pos < 0) return 0;
    if (!table_[static_cast<unsigned char>(ctx->text[ctx->pos])]) return 0;
    ++ctx->pos;
  } else {
    if (ctx->pos <= 0 || ctx->pos > ctx->length) return 0;
    if (!table_[static_cast<unsigned char>(ctx->text[ctx->pos - 1])]) return 0;
    --ctx->pos;
  }
  return 1;
}

int CRangeElxT<char>::MatchNext(CContext* ctx) const {
  ctx->pos += rightLeft_ ? 1 : -1;
  return 0;
}

int CPosixElxT<char>::Match(CContext* ctx) const {
  if (!rightLeft_) {
    if (ctx->pos >= ctx->length || ctx->pos < 0) return 0;
    if (!Test(static_cast<unsigned char>(ctx->text[ctx->pos]))) return 0;
    ++ctx->pos;
  } else {
    if (ctx->pos <= 0 || ctx->pos > ctx->length) return 0;
    if (!Test(static_cast<unsigned char>(ctx->text[ctx->pos - 1]))) return 0;
    --ctx->pos;
  }
  return 1;
}

int CPosixElxT<char>::MatchNext(CContext* ctx) const {
  ctx->pos += rightLeft_ ? 1 : -1;
  return 0;
}

int CBoundaryElxT<char>::Match(CContext* ctx) const {
  const int p = ctx->pos, n = ctx->length;
  const unsigned char prev = (p > 0 && p <= n) ? static_cast<unsigned char>(ctx->text[p - 1]) : 0;
  const unsigned char cur = (p >= 0 && p < n) ? static_cast<unsigned char>(ctx->text[p]) : 0;
  bool r = false;
  switch (kind_) {
    case kBoundTextStart:
      r = p <= 0;
      break;
    case kBoundTextEnd:
      r = p >= n;
      break;
    case kBoundTextEndOrBreak:
      r = p >= n || (n >= 1 && ctx->text[n - 1] == '\n' && p == n - 1) ||
          (n >= 2 && ctx->text[n - 2] == '\r' && ctx->text[n - 1] == '\n' && p == n - 2);
      break;
    case kBoundLineStart:
      r = p <= 0 || prev == '\n' || (prev == '\r' && cur != '\n');
      break;
    case kBoundLineEnd:
      r = p >= n || cur == '\r' || (cur == '\n' && prev != '\r');
      break;
    case kBoundWord:
      r = IsWordByte(prev) != IsWordByte(cur);
      break;
  }
  return r == (positive_ != 0) ? 1 : 0;
}

int CBoundaryElxT<char>::MatchNext(CContext*) const { return 0; }

int CGlobalElxT<0>::Match(CContext* ctx) const { return ctx->pos == ctx->begin; }
int CGlobalElxT<0>::MatchNext(CContext*) const { return 0; }

int CBackrefElxT<char>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int e = ctx->EntryOf(number_);
  if (e < 0) return 0;
  int s = ctx->capture[e * CContext::kCap + 1];
  int t = ctx->capture[e * CContext::kCap + 2];
  if (t < 0) t = ctx->pos;
  if (s > t) std::swap(s, t);
  if (s < 0 || t > ctx->length) return 0;
  const int n = t - s;
  const int old = ctx->pos;
  if (!rightLeft_) {
    if (ctx->length - old < n) return 0;
    if (!SameBytes(ctx->text + s, ctx->text + old, n, ignoreCase_)) return 0;
    ctx->pos = old + n;
  } else {
    if (old < n) return 0;
    if (!SameBytes(ctx->text + s, ctx->text + old - n, n, ignoreCase_)) return 0;
    ctx->pos = old - n;
  }
  ctx->Push(old);
  return 1;
}

int CBackrefElxT<char>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  ctx->pos = ctx->Pop();
  return 0;
}

// ---- groups ----

// Side 0 pushes a capture entry, or (when a recursion re-enters the open group)
// lowers its balance; it notes which on the backtrack stack so the undo is
// exact at any recursion depth. Side 1 closes at its own level or raises the
// balance of a re-entered group, again noting which.
int CBracketElxT<char>::Match(CContext* ctx) const {
  if (ctx->limitHit || number_ < 0) return 0;
  if (number_ >= ctx->index.GetSize()) ctx->index.Prepare(number_, -1);
  const int e = ctx->EntryOf(number_);
  if (side_ == 0) {
    if (e < 1 || ctx->capture[e * CContext::kCap + 2] != -1) {
      ctx->PushCapture(number_, ctx->pos, -1, 0);
      ctx->Push(0);
    } else {
      ctx->capture[e * CContext::kCap + 3] -= 1;
      ctx->Push(1);
    }
    return 1;
  }
  if (e < 0) {
    ctx->Push(2);
    return 1;
  }
  int* entry = &ctx->capture[e * CContext::kCap];
  if (entry[3] >= 0) {
    entry[2] = ctx->pos;
    entry[3] = ctx->closeCounter++;
    ctx->Push(0);
  } else {
    entry[3] += 1;
    ctx->Push(1);
  }
  return 1;
}

int CBracketElxT<char>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  const int how = ctx->Pop();
  const int e = ctx->EntryOf(number_);
  if (e < 0) return 0;
  int* entry = &ctx->capture[e * CContext::kCap];
  if (side_ == 0) {
    if (how == 0)
      ctx->CutCaptures(e * CContext::kCap);
    else
      entry[3] += 1;
  } else if (how == 0) {
    entry[2] = -1;
    entry[3] = 0;
  } else if (how == 1) {
    entry[3] -= 1;
  }
  return 0;
}

// ---- sequences ----

int CListElxT<0>::Forward(CContext* ctx, int n) const {
  const int count = items_.GetSize();
  while (n < count) {
    const ElxInterface* e = items_[rightLeft_ ? count - 1 - n : n];
    if (e->Match(ctx)) {
      ++n;
      continue;
    }
    for (;;) {
      if (n == 0) return 0;
      --n;
      if (items_[rightLeft_ ? count - 1 - n : n]->MatchNext(ctx)) {
        ++n;
        break;
      }
    }
  }
  return 1;
}

int CListElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  if (items_.GetSize() == 0) return 1;
  return Forward(ctx, 0);
}

int CListElxT<0>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  const int count = items_.GetSize();
  int n = count;
  for (;;) {
    if (n == 0) return 0;
    --n;
    if (items_[rightLeft_ ? count - 1 - n : n]->MatchNext(ctx)) {
      ++n;
      break;
    }
  }
  return Forward(ctx, n);
}

int CAlternativeElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int n = branches_.GetSize();
  if (n == 0) return 1;
  for (int i = 0; i < n; ++i) {
    if (branches_[i]->Match(ctx)) {
      ctx->Push(i);
      return 1;
    }
  }
  return 0;
}

int CAlternativeElxT<0>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  const int n = branches_.GetSize();
  if (n == 0) return 0;
  int i = ctx->Pop();
  if (i < 0 || i >= n) return 0;
  if (branches_[i]->MatchNext(ctx)) {
    ctx->Push(i);
    return 1;
  }
  for (++i; i < n; ++i) {
    if (branches_[i]->Match(ctx)) {
      ctx->Push(i);
      return 1;
    }
  }
  return 0;
}

// ---- repeats ----

int CRepeatElxT<0>::Forward(CContext* ctx, int n) const {
  while (n < count_) {
    if (body_->Match(ctx)) {
      ++n;
      continue;
    }
    for (;;) {
      if (n == 0) return 0;
      if (body_->MatchNext(ctx)) break;
      --n;
    }
  }
  return 1;
}

int CRepeatElxT<0>::MatchFixed(CContext* ctx) const {
  if (count_ == 0) return 1;
  return Forward(ctx, 0);
}

int CRepeatElxT<0>::MatchNextFixed(CContext* ctx) const {
  if (count_ == 0) return 0;
  int n = count_;
  for (;;) {
    if (n == 0) return 0;
    if (body_->MatchNext(ctx)) break;
    --n;
  }
  return Forward(ctx, n);
}

int CRepeatElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  return MatchFixed(ctx);
}

int CRepeatElxT<0>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  return MatchNextFixed(ctx);
}

CGreedyElxT<0>::CGreedyElxT(ElxInterface* body, int minimum, int maximum, ElxKind k)
    : CRepeatElxT<0>(body, minimum, k), extra_(maximum - minimum) {
  if (body && body->kind == kElxRange) {
    byteBody_ = body;
    byteRtl_ = static_cast<const CRangeElxT<char>*>(body)->rightLeft_;
  } else if (body && body->kind == kElxPosix) {
    byteBody_ = body;
    byteRtl_ = static_cast<const CPosixElxT<char>*>(body)->rightLeft_;
  }
}

int CGreedyElxT<0>::Extend(CContext* ctx, int k) const {
  if (byteBody_) {
    // One byte per instance and nothing on the stacks: a tight loop.
    int rtl, room;
    const unsigned char* t = reinterpret_cast<const unsigned char*>(ctx->text);
    if (byteBody_->kind == kElxRange) {
      auto* r = static_cast<const CRangeElxT<char>*>(byteBody_);
      rtl = r->rightLeft_;
      room = rtl ? ctx->pos : ctx->length - ctx->pos;
      int want = extra_ - k < room ? extra_ - k : room;
      int got = 0;
      if (!rtl)
        while (got < want && r->Test(t[ctx->pos + got])) ++got;
      else
        while (got < want && r->Test(t[ctx->pos - 1 - got])) ++got;
      ctx->pos += rtl ? -got : got;
      ctx->steps += got;
      return k + got;
    }
    auto* r = static_cast<const CPosixElxT<char>*>(byteBody_);
    rtl = r->rightLeft_;
    room = rtl ? ctx->pos : ctx->length - ctx->pos;
    int want = extra_ - k < room ? extra_ - k : room;
    int got = 0;
    if (!rtl)
      while (got < want && r->Test(t[ctx->pos + got])) ++got;
    else
      while (got < want && r->Test(t[ctx->pos - 1 - got])) ++got;
    ctx->pos += rtl ? -got : got;
    ctx->steps += got;
    return k + got;
  }
  while (k < extra_) {
    const int start = ctx->pos;
    if (!body_->Match(ctx)) break;
    if (ctx->pos == start) {
      // An empty instance is retried until it moves; one that cannot is undone.
      bool moved = false;
      while (body_->MatchNext(ctx)) {
        if (ctx->pos != start) {
          moved = true;
          break;
        }
      }
      if (!moved) break;
    }
    ++k;
    if (ctx->limitHit) break;
  }
  return k;
}

int CGreedyElxT<0>::MatchGreedy(CContext* ctx) const {
  if (!MatchFixed(ctx)) return 0;
  int k = Extend(ctx, 0);
  ctx->Push(k);
  return 1;
}

int CGreedyElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  return MatchGreedy(ctx);
}

int CGreedyElxT<0>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  int k = ctx->Pop();
  if (k > 0) {
    if (byteBody_) {
      // The last byte instance is given back.
      ctx->pos += byteRtl_ ? 1 : -1;
      ctx->Push(k - 1);
      return 1;
    }
    // A re-matched instance may leave room for more instances after it.
    if (body_->MatchNext(ctx))
      k = Extend(ctx, k);
    else
      --k;
    ctx->Push(k);
    return 1;
  }
  if (!MatchNextFixed(ctx)) return 0;
  k = Extend(ctx, 0);
  ctx->Push(k);
  return 1;
}

int CPossessiveElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int pos = ctx->pos;
  const int stack = ctx->stack.GetSize();
  const int caps = ctx->Captures();
  if (!MatchGreedy(ctx)) return 0;
  ctx->stack.Truncate(stack);
  ctx->Push(pos);
  ctx->Push(caps);
  return 1;
}

int CPossessiveElxT<0>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  const int caps = ctx->Pop();
  const int pos = ctx->Pop();
  ctx->CutCaptures(caps);
  ctx->pos = pos;
  return 0;
}

int CReluctantElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  if (!MatchFixed(ctx)) return 0;
  ctx->Push(0);
  return 1;
}

int CReluctantElxT<0>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  int k = ctx->Pop();
  if (k < extra_) {
    const int start = ctx->pos;
    if (body_->Match(ctx)) {
      bool advanced = ctx->pos != start;
      while (!advanced && body_->MatchNext(ctx)) advanced = ctx->pos != start;
      if (advanced) {
        ctx->Push(start);
        ctx->Push(k + 1);
        return 1;
      }
    }
  }
  while (k > 0) {
    const int start = ctx->Pop();
    for (;;) {
      if (!body_->MatchNext(ctx)) break;
      if (ctx->pos != start) {
        ctx->Push(start);
        ctx->Push(k);
        return 1;
      }
    }
    --k;
    if (ctx->limitHit) return 0;
  }
  if (!MatchNextFixed(ctx)) return 0;
  ctx->Push(0);
  return 1;
}

// ---- look-around, atomic, condition, recursion ----

int CAssertElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int pos = ctx->pos;
  const int stack = ctx->stack.GetSize();
  const int caps = ctx->Captures();
  int r = body_->Match(ctx);
  if (!positive_) r = !r;
  ctx->stack.Truncate(stack);
  ctx->pos = pos;
  if (!r || ctx->limitHit) {
    ctx->CutCaptures(caps);
    return 0;
  }
  ctx->Push(caps);
  return 1;
}

int CAssertElxT<0>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  ctx->CutCaptures(ctx->Pop());
  return 0;
}

int CIndependentElxT<0>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int pos = ctx->pos;
  const int stack = ctx->stack.GetSize();
  const int caps = ctx->Captures();
  if (!body_->Match(ctx)) return 0;
  ctx->stack.Truncate(stack);
  ctx->Push(pos);
  ctx->Push(caps);
  return 1;
}

int CIndependentElxT<0>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  const int caps = ctx->Pop();
  const int pos = ctx->Pop();
  ctx->CutCaptures(caps);
  ctx->pos = pos;
  return 0;
}

int CConditionElxT<char>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  const int pos = ctx->pos;
  const int stack = ctx->stack.GetSize();
  const int caps = ctx->Captures();
  bool cond;
  if (number_ == -1) {
    cond = cond_ ? cond_->Match(ctx) != 0 : true;
    ctx->stack.Truncate(stack);
    ctx->pos = pos;
  } else {
    cond = ctx->EntryOf(number_) >= 0;
  }
  const ElxInterface* branch = cond ? yes_ : no_;
  if (branch && !branch->Match(ctx)) {
    ctx->CutCaptures(caps);
    return 0;
  }
  ctx->Push(caps);
  ctx->Push(cond ? 1 : 0);
  return 1;
}

int CConditionElxT<char>::MatchNext(CContext* ctx) const {
  if (ctx->limitHit) return 0;
  const int yes = ctx->Pop();
  const int caps = ctx->Pop();
  const ElxInterface* branch = yes ? yes_ : no_;
  if (branch && branch->MatchNext(ctx)) {
    ctx->Push(caps);
    ctx->Push(yes);
    return 1;
  }
  ctx->CutCaptures(caps);
  return 0;
}

int CDelegateElxT<char>::Match(CContext* ctx) const {
  RX_STEP(ctx);
  return target_ ? target_->Match(ctx) : 1;
}

int CDelegateElxT<char>::MatchNext(CContext* ctx) const {
  RX_STEP(ctx);
  return target_ ? target_->MatchNext(ctx) : 0;
}

// ---- the search ----

CRegexpT<char>::CRegexpT(const char* pattern, int flags) {
  Compile(pattern, pattern ? int(std::strlen(pattern)) : 0, flags);
}

CRegexpT<char>::CRegexpT(const char* pattern, int length, int flags) { Compile(pattern, length, flags); }

CContext* CRegexpT<char>::PrepareContext(const char* text, int length, int start, CContext* ctx,
                                         const RegexLimits* limits) const {
  if (!IsCompiled()) return nullptr;
  if (!ctx) ctx = new CContext;
  ctx->stack.Clear();
  ctx->capture.Clear();
  ctx->index.Clear();
  ctx->closeCounter = 0;
  ctx->lastBegin = -1;
  ctx->text = text ? text : "";
  ctx->length = text && length > 0 ? length : 0;
  ctx->begin = ctx->pos = start < 0 ? 0 : start;
  ctx->limits = limits ? *limits : RegexLimits();
  ctx->limitHit = kRegexNoLimit;
  ctx->stackFloor = RegexStackFloor();
  ctx->steps = ctx->spent = 0;
  ctx->ResetSteps();
  return ctx;
}

void CRegexpT<char>::ReleaseContext(CContext* ctx) { delete ctx; }

namespace {

// One try of a flat pattern at start: its end, or -1. Group bounds go
// straight into the result (r[2g+2], r[2g+3]); a later success rewrites
// every group a failed try touched.
int FlatTry(const CBuilderT<char>& b, CContext* ctx, int start, int* r) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(ctx->text);
  const int len = ctx->length;
  int p = start;
  for (int i = 0, n = b.flatCount_; i < n; ++i) {
    const CBuilderT<char>::FlatStep& s = b.flat_[i];
    switch (s.op) {
      case CBuilderT<char>::kFlatOpen:
        r[2 * s.group + 2] = p;
        break;
      case CBuilderT<char>::kFlatClose:
        r[2 * s.group + 3] = p;
        break;
      case CBuilderT<char>::kFlatString: {
        auto* e = static_cast<const CStringElxT<char>*>(s.elx);
        const int k = e->str_.GetSize();
        if (len - p < k || !SameBytes(ctx->text + p, e->str_.GetBuffer(), k, e->ignoreCase_)) return -1;
        p += k;
        break;
      }
      case CBuilderT<char>::kFlatRun: {
        const unsigned char* tab = s.table;
        const int room = len - p;
        if (room < s.min) return -1;
        const int want = s.max < room ? s.max : room;
        int got = 0;
        while (got < want && tab[t[p + got]]) ++got;
        if (got < s.min) return -1;
        p += got;
        ctx->steps += got;
        break;
      }
      default:  // zero-width: looks at the text around pos only
        ctx->pos = p;
        if (!s.elx->Match(ctx)) return -1;
        break;
    }
  }
  return p;
}

}  // namespace

MatchResultT<0> CRegexpT<char>::MatchWithContext(CContext* ctx) const {
  MatchResultT<0> result;
  if (!IsCompiled() || !ctx || ctx->limitHit) return result;
  const CBuilderT<char>& b = builder_;
  const int groups = b.maxGroup_ + 1;
  const unsigned char* text = reinterpret_cast<const unsigned char*>(ctx->text);
  ctx->ResetSteps();
  while (ctx->pos <= ctx->length) {
    if (b.anchored_ && ctx->pos > 0) break;
    const int lit = b.prefix_.GetSize();
    if (lit >= 2) {
      // Every match starts with these bytes: skip to their next place.
      const int p = ctx->pos;
      if (ctx->length - p < lit) break;
      const unsigned char* hit = FindLiteralBest(text + p, size_t(ctx->length - p),
                                                 reinterpret_cast<const unsigned char*>(b.prefix_.GetBuffer()),
                                                 size_t(lit));
      if (!hit) break;
      ctx->pos = int(hit - text);
    } else if (b.useFirst_) {
      // A match has to start with one of these bytes: skip to the next one.
      int p = ctx->pos;
      if (p >= ctx->length) break;
      if (b.first_[text[p]] == 0) {
        const unsigned char* hit = nullptr;
        if (b.firstSingle_ >= 0) {
          hit = static_cast<const unsigned char*>(std::memchr(text + p, b.firstSingle_, size_t(ctx->length - p)));
        } else {
          while (p < ctx->length && !b.first_[text[p]]) ++p;
          hit = p < ctx->length ? text + p : nullptr;
        }
        if (!hit) break;
        ctx->pos = int(hit - text);
      }
    }
    const int start = ctx->pos;
    if (b.useFlat_) {
      if (!ctx->Step(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))) return MatchResultT<0>();
      CBufferT<int>& r = result.result_;
      if (r.GetSize() == 0) r.Prepare(2 * groups + 1, -1);
      const int end = FlatTry(b, ctx, start, r.Data());
      if (end >= 0 && !(ctx->lastBegin == ctx->begin && end == ctx->begin)) {
        ctx->lastBegin = ctx->begin;
        ctx->begin = ctx->pos = end;
        r[0] = 1;
        r[1] = b.maxGroup_;
        r[2] = start;
        r[3] = end;
        return result;
      }
      ctx->pos = start + 1;
      continue;
    }
    ctx->stack.Clear();
    ctx->capture.Clear();
    ctx->index.Clear();
    ctx->index.Prepare(groups - 1, -1);
    ctx->index[0] = -1;
    ctx->PushCapture(0, start, -1, -1);
    if (!ctx->Step(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))) return result;
    const int matched = b.root_->Match(ctx);
    if (ctx->limitHit) return result;
    if (matched) {
      const int end = ctx->pos;
      // A match that ran leftwards (a recursion into a look-behind group) is
      // not taken: successive searches would walk backwards without end.
      const bool backwards = end < start;
      const bool repeat = ctx->lastBegin == ctx->begin && end == ctx->begin;
      if (!backwards && !repeat) {
        ctx->lastBegin = ctx->begin;
        ctx->begin = end;
        ctx->capture[2] = end;
        CBufferT<int>& r = result.result_;
        r.Prepare(2 * groups + 1, -1);
        r[0] = 1;
        r[1] = b.maxGroup_;
        // Group 0 is the whole match, even when a group was given number 0.
        r[2] = start;
        r[3] = end;
        for (int i = 1; i < groups; ++i) {
          const int e = ctx->EntryOf(i);
          if (e < 0) continue;
          int s = ctx->capture[e * CContext::kCap + 1];
          int t = ctx->capture[e * CContext::kCap + 2];
          if (t < 0) continue;  // still open: took no finished part
          if (s > t) std::swap(s, t);
          r[2 * i + 2] = s;
          r[2 * i + 3] = t;
        }
        return result;
      }
    }
    ctx->pos = start + 1;
  }
  ctx->pos = ctx->length + 1;
  result.result_.Clear();
  return result;
}

MatchResultT<0> CRegexpT<char>::MatchBuffer(const char* text, int length, int start, const RegexLimits* limits,
                                            int* limitHit) const {
  if (limitHit) *limitHit = CompileLimit();
  if (!IsCompiled()) return MatchResultT<0>();
  CContext ctx;
  PrepareContext(text, length, start, &ctx, limits);
  MatchResultT<0> r = MatchWithContext(&ctx);
  if (limitHit) *limitHit = ctx.limitHit;
  return r;
}

MatchResultT<0> CRegexpT<char>::Match(const char* text, int start) const {
  return MatchBuffer(text, text ? int(std::strlen(text)) : 0, start);
}
