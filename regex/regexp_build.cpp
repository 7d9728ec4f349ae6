// Pattern lexer, recursive-descent parser and build of the element tree.
#include <pthread.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "regex/regexp.h"

namespace {

constexpr int kInfinite = 2147483647;
constexpr int kQuoteLower = 1;
constexpr int kQuoteUpper = 2;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

// A name that reads as a number: spaces, one to three digits, spaces. -1 if not.
int NumericName(const char* s, int n) {
  int i = 0;
  while (i < n && s[i] == ' ') ++i;
  int v = 0, digits = 0;
  while (i < n && IsDigit(s[i]) && digits < 3) {
    v = v * 10 + (s[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0) return -1;
  while (i < n && s[i] == ' ') ++i;
  return i == n ? v : -1;
}

// ASCII character classes, never counting bytes 0x80-0xFF.
int PxAlnum(int c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
int PxAlpha(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
int PxAscii(int c) { return c >= 0 && c < 128; }
int PxCntrl(int c) { return (c >= 0 && c < 32) || c == 127; }
int PxDigit(int c) { return c >= '0' && c <= '9'; }
int PxGraph(int c) { return c > 32 && c < 127; }
int PxLower(int c) { return c >= 'a' && c <= 'z'; }
int PxPrint(int c) { return c >= 32 && c < 127; }
int PxPunct(int c) { return PxGraph(c) && !PxAlnum(c); }
int PxSpace(int c) { return c == ' ' || (c >= 9 && c <= 13); }
int PxUpper(int c) { return c >= 'A' && c <= 'Z'; }
int PxXdigit(int c) { return PxDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int PxBlank(int c) { return c == ' ' || c == '\t'; }

struct PosixName {
  const char* name;
  int (*fn)(int);
};
const PosixName kPosixNames[] = {
    {"alnum:", PxAlnum}, {"alpha:", PxAlpha}, {"ascii:", PxAscii}, {"cntrl:", PxCntrl}, {"digit:", PxDigit},
    {"graph:", PxGraph}, {"lower:", PxLower}, {"print:", PxPrint}, {"punct:", PxPunct}, {"space:", PxSpace},
    {"upper:", PxUpper}, {"xdigit:", PxXdigit}, {"blank:", PxBlank},
};

uintptr_t ParserStackFloor() {
  thread_local uintptr_t floor = 0;
  thread_local bool known = false;
  if (!known) {
    known = true;
    pthread_attr_t a;
    if (pthread_getattr_np(pthread_self(), &a) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&a, &addr, &size) == 0) floor = reinterpret_cast<uintptr_t>(addr) + 96 * 1024;
      pthread_attr_destroy(&a);
    }
  }
  return floor;
}

}  // namespace

// Shared with the matcher: the lowest frame address a search may reach.
uintptr_t RegexStackFloor() { return ParserStackFloor(); }

CBuilderT<char>::~CBuilderT() {
  Clear();
  ReleaseBlocks(false);
}

// Room for a block's header, keeping what follows it aligned for any element.
constexpr size_t kBlockHead = (sizeof(CBuilderT<char>::Block) + alignof(std::max_align_t) - 1) /
                              alignof(std::max_align_t) * alignof(std::max_align_t);

void* CBuilderT<char>::Allocate(size_t size, size_t align) {
  uintptr_t at = (reinterpret_cast<uintptr_t>(blockCur_) + align - 1) & ~(uintptr_t(align) - 1);
  if (!blockCur_ || at + size > reinterpret_cast<uintptr_t>(blockEnd_)) {
    size_t want = blocks_ ? blocks_->size * 2 : 4096;
    if (want < kBlockHead + size + align) want = kBlockHead + size + align;
    auto* b = static_cast<Block*>(std::malloc(want));
    if (!b) throw std::bad_alloc();
    b->next = blocks_;
    b->size = want;
    blocks_ = b;
    blockCur_ = reinterpret_cast<char*>(b) + kBlockHead;
    blockEnd_ = reinterpret_cast<char*>(b) + want;
    at = (reinterpret_cast<uintptr_t>(blockCur_) + align - 1) & ~(uintptr_t(align) - 1);
  }
  blockCur_ = reinterpret_cast<char*>(at + size);
  return reinterpret_cast<void*>(at);
}

void CBuilderT<char>::ReleaseBlocks(bool keepFirst) {
  // Blocks are listed newest first: the oldest (smallest) is the one kept.
  Block* keep = nullptr;
  while (blocks_) {
    Block* next = blocks_->next;
    if (keepFirst && !next)
      keep = blocks_;
    else
      std::free(blocks_);
    blocks_ = next;
  }
  blocks_ = keep;
  blockCur_ = blockEnd_ = nullptr;
  if (keep) {
    blockCur_ = reinterpret_cast<char*>(keep) + kBlockHead;
    blockEnd_ = reinterpret_cast<char*>(keep) + keep->size;
  }
}

template <class E, class... A>
E* CBuilderT<char>::Make(A&&... a) {
  E* e = new (Allocate(sizeof(E), alignof(E))) E(static_cast<A&&>(a)...);
  e->madeBefore_ = lastMade_;
  lastMade_ = e;
  return e;
}

void CBuilderT<char>::Clear() {
  while (lastMade_) {
    ElxInterface* e = lastMade_;
    lastMade_ = e->madeBefore_;
    e->~ElxInterface();
  }
  ReleaseBlocks(true);
  root_ = nullptr;
  for (auto& s : stock_) s = nullptr;
  groups_.Clear();
  recursions_.Clear();
  named_.Clear();
  namedBackrefs_.Clear();
  namedConds_.Clear();
  useFirst_ = anchored_ = useFlat_ = false;
  prefix_.Clear();
  flat_ = nullptr;
  flatCount_ = 0;
  flatTables_.Clear();
}

int CBuilderT<char>::Compile(const char* pattern, int length, int flags) {
  Clear();
  compileLimit_ = kRegexNoLimit;
  if (pattern) {
    pat_ = pattern;
    len_ = length < 0 ? 0 : length;
    Build(flags);
    pat_ = nullptr;
  }
  return root_ != nullptr;
}

static CBracketElxT<char>* OpenMarker(CListElxT<0>* frame) {
  int n = frame->items_.GetSize();
  if (n == 0) return nullptr;
  for (int i : {0, n - 1}) {
    auto* e = frame->items_[i];
    if (e->kind == kElxBracket && static_cast<CBracketElxT<char>*>(e)->side_ == 0)
      return static_cast<CBracketElxT<char>*>(e);
  }
  return nullptr;
}

static void SetFrameNumber(CListElxT<0>* frame, int number) {
  int n = frame->items_.GetSize();
  for (int i : {0, n - 1}) {
    auto* e = frame->items_[i];
    if (e->kind == kElxBracket) static_cast<CBracketElxT<char>*>(e)->number_ = number;
  }
}

int CBuilderT<char>::GroupNumberByName(const char* name, int length) const {
  for (int i = 0; i < named_.GetSize(); ++i) {
    CBracketElxT<char>* open = OpenMarker(named_[i]);
    if (!open || !open->named_ || open->name_.GetSize() != length) continue;
    const char* s = open->name_.GetBuffer();
    bool same = true;
    for (int k = 0; k < length && same; ++k) same = ToLowerAscii(s[k]) == ToLowerAscii(name[k]);
    if (same) return open->number_;
  }
  return -3;
}

void CBuilderT<char>::Build(int flags) {
  flags_ = flags;
  lexPos_ = 0;
  bracketDepth_ = 0;
  maxGroup_ = 0;
  namedCount_ = 0;
  quote_ = 0;
  quoteConv_ = 0;
  nesting_ = 0;
  for (auto& t : tok_) t = Token{};
  NextToken();
  NextToken();
  NextToken();
  ElxInterface* root = ParseAlternation(flags);
  if (compileLimit_ != kRegexNoLimit) {
    Clear();
    return;
  }
  root_ = root;
  groups_.Prepare(maxGroup_, nullptr);
  groups_[0] = root_;
  tableSize_ = maxGroup_ + 1;

  for (int i = 0; i < named_.GetSize(); ++i) {
    CListElxT<0>* frame = named_[i];
    CBracketElxT<char>* open = OpenMarker(frame);
    if (open && open->number_ < 0) {
      int n = GroupNumberByName(open->name_.GetBuffer(), open->name_.GetSize());
      if (n < 0) n = ++maxGroup_;
      SetFrameNumber(frame, n);
    }
    groups_.Push(frame);
    ++namedCount_;
  }
  for (int i = 1; i < groups_.GetSize(); ++i) {
    auto* frame = static_cast<CListElxT<0>*>(groups_[i]);
    if (!frame) continue;
    CBracketElxT<char>* open = OpenMarker(frame);
    if (open && open->number_ > maxGroup_) maxGroup_ = open->number_;
  }

  for (int i = 0; i < recursions_.GetSize(); ++i) {
    CDelegateElxT<char>* d = recursions_[i];
    int n = d->number_;
    if (n == -3) n = GroupNumberByName(d->name_.GetBuffer(), d->name_.GetSize());
    d->number_ = n;
    d->target_ = nullptr;
    if (n == 0) {
      d->target_ = root_;
    } else if (n >= 1 && n <= maxGroup_) {
      for (int k = 1; k < groups_.GetSize(); ++k) {
        auto* frame = static_cast<CListElxT<0>*>(groups_[k]);
        if (!frame) continue;
        CBracketElxT<char>* open = OpenMarker(frame);
        if (open && open->number_ == n) {
          d->target_ = frame;
          break;
        }
      }
    }
  }
  for (int i = 0; i < namedBackrefs_.GetSize(); ++i) {
    CBackrefElxT<char>* b = namedBackrefs_[i];
    b->number_ = GroupNumberByName(b->name_.GetBuffer(), b->name_.GetSize());
  }
  for (int i = 0; i < namedConds_.GetSize(); ++i) {
    CConditionElxT<char>* c = namedConds_[i];
    int n = GroupNumberByName(c->name_.GetBuffer(), c->name_.GetSize());
    if (n >= 0) {
      c->number_ = n;
      c->cond_ = nullptr;
    }
  }
  Analyse();
}

// ---- lexer ----

void CBuilderT<char>::NextToken() {
  tok_[0] = tok_[1];
  tok_[1] = tok_[2];
  tok_[2] = tok_[3];
  while (!LexToken(tok_[3])) {
  }
}

bool CBuilderT<char>::LexToken(Token& t) {
  const int i = lexPos_;
  const char* p = pat_;
  const int n = len_;
  // After a limit stops the parse, only END remains.
  if (i >= n || compileLimit_ != kRegexNoLimit) {
    t = Token{0, 1, n, 0};
    return true;
  }
  const char c = p[i];
  auto at = [&](int k) -> char { return k < n ? p[k] : 0; };
  auto lit = [&](char ch, int len) {
    t = Token{ch, 0, i, len};
    lexPos_ = i + len;
    return true;
  };
  auto meta = [&](char ch, int len) {
    t = Token{ch, 1, i, len};
    lexPos_ = i + len;
    return true;
  };
  // tok_[2] is the token lexed last, tok_[1] the one before it.
  const Token& prev = tok_[2];
  const Token& prev2 = tok_[1];

  if (quote_) {
    if (c == '\\' && at(i + 1) == 'E') {
      quote_ = 0;
      quoteConv_ = 0;
      lexPos_ = i + 2;
      return false;
    }
    char v = c;
    if (quoteConv_ == kQuoteLower) v = ToLowerAscii(v);
    if (quoteConv_ == kQuoteUpper) v = ToUpperAscii(v);
    return lit(v, 1);
  }

  switch (c) {
    case '(':
      if (at(i + 1) == '?' && at(i + 2) == '#') {
        int k = i + 3;
        while (k < n && p[k] != ')') ++k;
        lexPos_ = k < n ? k + 1 : n;
        return false;
      }
      [[fallthrough]];
    case '$':
    case ')':
    case '*':
    case '+':
    case '.':
    case '?':
    case '{':
    case '|':
    case '}':
      return bracketDepth_ == 0 ? meta(c, 1) : lit(c, 1);
    case '-':
      return bracketDepth_ == 0 ? lit(c, 1) : meta(c, 1);
    case ':':
      return (prev.meta && prev.ch == '[') ? meta(c, 1) : lit(c, 1);
    case '[':
      ++bracketDepth_;
      return meta(c, 1);
    case ']':
      if (bracketDepth_ == 0) return lit(c, 1);
      --bracketDepth_;
      return meta(c, 1);
    case '^':
      if (bracketDepth_ == 0) return meta(c, 1);
      if (prev.meta && prev.ch == '[') return meta(c, 1);
      if (prev2.meta && prev2.ch == '[' && prev.meta && prev.ch == ':') return meta(c, 1);
      return lit(c, 1);
    case '\\':
      break;
    default:
      return lit(c, 1);
  }

  // Escapes.
  if (i + 1 >= n) return lit('\\', 1);
  const char e = p[i + 1];
  if (IsDigit(e)) return meta('\\', 1);
  if (e == 0) return lit(0, 2);
  if (std::strchr("ABDSWZdgkswz", e)) return meta(e, 2);
  switch (e) {
    case 'G':
      if (bracketDepth_ == 0) return meta('G', 2);
      lexPos_ = i + 2;
      return false;
    case 'E':
      quote_ = 0;
      quoteConv_ = 0;
      lexPos_ = i + 2;
      return false;
    case 'Q':
    case 'L':
    case 'U':
      quote_ = 1;
      quoteConv_ = e == 'Q' ? 0 : e == 'L' ? kQuoteLower : kQuoteUpper;
      lexPos_ = i + 2;
      return false;
    case 'a':
      return lit(7, 2);
    case 'e':
      return lit(27, 2);
    case 'f':
      return lit(12, 2);
    case 'n':
      return lit(10, 2);
    case 'r':
      return lit(13, 2);
    case 't':
      return lit(9, 2);
    case 'v':
      return lit(11, 2);
    case 'b':
      return bracketDepth_ == 0 ? meta('b', 2) : lit(8, 2);
    case 'x':
    case 'u': {
      if (at(i + 2) == '{') {
        unsigned v = 0;
        int k = i + 3, d = 0;
        while (d < 8 && k < n && HexValue(p[k]) >= 0) {
          v = v * 16 + unsigned(HexValue(p[k]));
          ++k;
          ++d;
        }
        while (k < n && p[k] != '}') ++k;
        if (k < n) ++k;
        return lit(char(v & 0xFF), k - i);
      }
      int maxDigits = e == 'x' ? 2 : 4;
      unsigned v = 0;
      int k = i + 2, d = 0;
      while (d < maxDigits && k < n && HexValue(p[k]) >= 0) {
        v = v * 16 + unsigned(HexValue(p[k]));
        ++k;
        ++d;
      }
      if (d == 0) return lit(e, 2);
      return lit(char(v & 0xFF), k - i);
    }
    default:
      return lit(e, 2);
  }
}

// ---- parser ----

static bool IsMeta(const CBuilderT<char>::Token& t, char c) { return t.meta && t.ch == c; }
static bool IsEnd(const CBuilderT<char>::Token& t) { return t.meta && t.ch == 0; }
static bool IsQuantifier(const CBuilderT<char>::Token& t) {
  return t.meta && (t.ch == '*' || t.ch == '+' || t.ch == '?' || t.ch == '{');
}

void CBuilderT<char>::SkipClose() {
  if (IsMeta(tok_[1], ')')) NextToken();
}

ElxInterface* CBuilderT<char>::StockElx(int kind) {
  if (kind < 0 || kind > 16) kind = 0;
  if (stock_[kind]) return stock_[kind];
  ElxInterface* e = nullptr;
  if (kind == 0) {
    e = Make<CEmptyElxT<0>>();
  } else {
    int rtl = kind >= 9 ? 1 : 0;
    int k = rtl ? kind - 8 : kind;
    auto* r = Make<CRangeElxT<char>>(rtl, 1);
    switch (k) {
      case 1:  // dot with s: the negated empty set
        r->positive_ = 0;
        break;
      case 2:
        r->chars_.Push('\n');
        r->positive_ = 0;
        break;
      case 3:
      case 4: {
        const char w[] = {'A', 'Z', 'a', 'z', '0', '9'};
        r->ranges_.Append(w, 6);
        r->chars_.Push('_');
        r->positive_ = k == 3;
        break;
      }
      case 5:
      case 6: {
        r->chars_.Append(" \t\r\n", 4);
        // In a look-behind \s also takes form feed and vertical tab.
        if (rtl) r->chars_.Append("\f\v", 2);
        r->positive_ = k == 5;
        break;
      }
      case 7:
      case 8:
        r->ranges_.Push('0');
        r->ranges_.Push('9');
        r->positive_ = k == 7;
        break;
    }
    r->Finish();
    e = r;
  }
  stock_[kind] = e;
  return e;
}

ElxInterface* CBuilderT<char>::ParseAlternation(int flags) {
  if (IsEnd(tok_[1])) return StockElx(0);
  int f = flags;
  ElxInterface* first = ParseSequence(f);
  if (!IsMeta(tok_[1], '|')) return first;
  auto* alt = Make<CAlternativeElxT<0>>();
  alt->branches_.Push(first);
  while (IsMeta(tok_[1], '|')) {
    NextToken();
    alt->branches_.Push(ParseSequence(f));
  }
  return alt;
}

ElxInterface* CBuilderT<char>::ParseSequence(int& flags) {
  auto stop = [&] { return IsEnd(tok_[1]) || IsMeta(tok_[1], '|') || IsMeta(tok_[1], ')'); };
  if (stop()) return StockElx(0);
  ElxInterface* first = ParseRepeat(flags);
  if (stop()) return first;
  auto* list = Make<CListElxT<0>>(flags & kRxRightToLeft ? 1 : 0);
  list->items_.Push(first);
  while (!stop()) list->items_.Push(ParseRepeat(flags));
  return list;
}

ElxInterface* CBuilderT<char>::ParseRepeat(int& flags) {
  ElxInterface* atom = ParseAtom(flags);
  if (!IsQuantifier(tok_[1])) return atom;
  int lo = 0, hi = 0;
  char q = tok_[1].ch;
  NextToken();
  if (q == '*') {
    hi = kInfinite;
  } else if (q == '+') {
    lo = 1;
    hi = kInfinite;
  } else if (q == '?') {
    hi = 1;
  } else {
    CBufferT<char> s;
    while (!IsEnd(tok_[1]) && !IsMeta(tok_[1], '}')) {
      s.Push(tok_[1].ch);
      NextToken();
    }
    if (IsMeta(tok_[1], '}')) NextToken();
    const char* b = s.GetBuffer();
    int n = s.GetSize(), i = 0;
    while (i < n && b[i] == ' ') ++i;
    if (i < n && IsDigit(b[i])) {
      int d = 0;
      while (i < n && IsDigit(b[i])) {
        if (d < 3) lo = lo * 10 + (b[i] - '0');
        ++d;
        ++i;
      }
      hi = lo;
      while (i < n && b[i] == ' ') ++i;
      if (i < n && b[i] == ',') {
        ++i;
        while (i < n && b[i] == ' ') ++i;
        if (i < n && IsDigit(b[i])) {
          hi = 0;
          d = 0;
          while (i < n && IsDigit(b[i])) {
            if (d < 3) hi = hi * 10 + (b[i] - '0');
            ++d;
            ++i;
          }
        } else {
          hi = kInfinite;
        }
      }
      if (hi < lo) hi = lo;
    }
  }
  if (lo == hi) {
    if (IsMeta(tok_[1], '?') || IsMeta(tok_[1], '+')) NextToken();
    if (hi == 0) return StockElx(0);
    return Make<CRepeatElxT<0>>(atom, lo);
  }
  if (IsMeta(tok_[1], '?')) {
    NextToken();
    return Make<CReluctantElxT<0>>(atom, lo, hi);
  }
  if (IsMeta(tok_[1], '+')) {
    NextToken();
    return Make<CPossessiveElxT<0>>(atom, lo, hi);
  }
  return Make<CGreedyElxT<0>>(atom, lo, hi);
}

ElxInterface* CBuilderT<char>::ParseAtom(int& flags) {
  CBufferT<char> run;
  for (;;) {
    const Token& t = tok_[1];
    if (IsEnd(t)) break;
    if (!t.meta) {
      if (IsQuantifier(tok_[2])) {
        if (run.GetSize() == 0) {
          run.Push(t.ch);
          NextToken();
        }
        break;
      }
      run.Push(t.ch);
      NextToken();
      continue;
    }
    if (t.ch == ')' || t.ch == '|') break;
    if (run.GetSize() > 0) break;
    switch (t.ch) {
      case '(':
        return ParseGroup(flags);
      case '[':
      case '.':
      case 'w':
      case 'W':
      case 's':
      case 'S':
      case 'd':
      case 'D':
        return ParseClass(flags);
      case '^':
      case '$':
      case 'A':
      case 'Z':
      case 'z':
      case 'b':
      case 'B':
      case 'G':
        return ParseBoundary(flags);
      case '\\':
      case 'k':
      case 'g':
        return ParseBackref(flags);
      default:
        run.Push(t.ch);
        NextToken();
        continue;
    }
  }
  if (run.GetSize() == 0) return StockElx(0);
  return Make<CStringElxT<char>>(run, flags & kRxRightToLeft ? 1 : 0, flags & kRxIgnoreCase ? 1 : 0);
}

void CBuilderT<char>::ReadName(char closer, CBufferT<char>& name) {
  while (!IsEnd(tok_[1]) && tok_[1].ch != closer) {
    name.Push(tok_[1].ch);
    NextToken();
  }
  if (!IsEnd(tok_[1])) NextToken();
}

ElxInterface* CBuilderT<char>::ParseGroup(int& flags) {
  struct Depth {
    int& n;
    explicit Depth(int& v) : n(v) { ++n; }
    ~Depth() { --n; }
  } depth(nesting_);
  // Nesting is capped, and so is the stack it takes (line threads are small).
  if (nesting_ > kMaxNesting ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < ParserStackFloor()) {
    if (compileLimit_ == kRegexNoLimit) compileLimit_ = kRegexNesting;
    for (auto& t : tok_) t = Token{0, 1, len_, 0};
    return StockElx(0);
  }
  const int rtl = flags & kRxRightToLeft ? 1 : 0;
  NextToken();  // the (

  auto captureFrame = [&](int number, CBracketElxT<char>** openOut) {
    auto* frame = Make<CListElxT<0>>(rtl);
    auto* open = Make<CBracketElxT<char>>(number, 0);
    auto* close = Make<CBracketElxT<char>>(number, 1);
    *openOut = open;
    frame->items_.Push(rtl ? static_cast<ElxInterface*>(close) : open);
    frame->items_.Push(nullptr);
    frame->items_.Push(rtl ? static_cast<ElxInterface*>(open) : close);
    return frame;
  };

  if (!IsMeta(tok_[1], '?')) {
    int number = ++maxGroup_;
    CBracketElxT<char>* open;
    CListElxT<0>* frame = captureFrame(number, &open);
    groups_.Prepare(number, nullptr);
    groups_[number] = frame;
    frame->items_[1] = ParseAlternation(flags);
    SkipClose();
    return frame;
  }
  NextToken();  // the ?
  const Token cur = tok_[1];
  const Token nxt = tok_[2];

  if (!cur.meta && (cur.ch == '=' || cur.ch == '!')) {
    NextToken();
    ElxInterface* body = ParseAlternation(flags & ~kRxRightToLeft);
    SkipClose();
    return Make<CAssertElxT<0>>(body, cur.ch == '=' ? 1 : 0);
  }
  if (!cur.meta && cur.ch == '<' && !nxt.meta && (nxt.ch == '=' || nxt.ch == '!')) {
    NextToken();
    NextToken();
    ElxInterface* body = ParseAlternation(flags | kRxRightToLeft);
    SkipClose();
    return Make<CAssertElxT<0>>(body, nxt.ch == '=' ? 1 : 0);
  }
  bool named = false;
  char closer = '>';
  if (!cur.meta && (cur.ch == '<' || cur.ch == '\'')) {
    named = true;
    closer = cur.ch == '<' ? '>' : '\'';
    NextToken();
  } else if (!cur.meta && cur.ch == 'P' && !nxt.meta && (nxt.ch == '<' || nxt.ch == '\'')) {
    named = true;
    closer = nxt.ch == '\'' ? '\'' : '>';
    NextToken();
    NextToken();
  }
  if (named) {
    CBufferT<char> name;
    ReadName(closer, name);
    int number = NumericName(name.GetBuffer(), name.GetSize());
    CBracketElxT<char>* open;
    CListElxT<0>* frame = captureFrame(number >= 0 ? number : -1, &open);
    if (number < 0) {
      open->name_ = name;
      open->named_ = true;
    }
    named_.Push(frame);
    frame->items_[1] = ParseAlternation(flags);
    SkipClose();
    return frame;
  }
  if (!cur.meta && cur.ch == '>') {
    NextToken();
    ElxInterface* body = ParseAlternation(flags);
    SkipClose();
    return Make<CIndependentElxT<0>>(body);
  }
  if (IsMeta(cur, '(')) {
    auto* c = Make<CConditionElxT<char>>();
    if (IsMeta(tok_[2], '?')) {
      c->cond_ = ParseGroup(flags);
    } else {
      NextToken();  // the inner (
      int from = tok_[1].pos;
      c->cond_ = ParseAlternation(flags & ~kRxRightToLeft);
      int to = tok_[1].pos;
      if (to > from) c->name_.Append(pat_ + from, to - from);
      SkipClose();
      int number = NumericName(c->name_.GetBuffer(), c->name_.GetSize());
      if (number >= 0) {
        c->number_ = number;
        c->cond_ = nullptr;
      } else {
        namedConds_.Push(c);
      }
    }
    int f = flags;
    c->yes_ = ParseSequence(f);
    if (IsMeta(tok_[1], '|')) {
      NextToken();
      c->no_ = ParseAlternation(flags);
    }
    SkipClose();
    return c;
  }
  auto readRecursion = [&](bool allowName) {
    CDelegateElxT<char>* d = nullptr;
    if (allowName && !tok_[1].meta && (tok_[1].ch == '<' || tok_[1].ch == '\'')) {
      char cl = tok_[1].ch == '<' ? '>' : '\'';
      NextToken();
      CBufferT<char> name;
      ReadName(cl, name);
      int number = NumericName(name.GetBuffer(), name.GetSize());
      d = Make<CDelegateElxT<char>>(number >= 0 ? number : -3);
      if (number < 0) d->name_ = name;
    } else {
      CBufferT<char> s;
      while (!IsEnd(tok_[1]) && !IsMeta(tok_[1], ')')) {
        s.Push(tok_[1].ch);
        NextToken();
      }
      const char* b = s.GetBuffer();
      int n = s.GetSize(), i = 0, v = 0, digits = 0;
      while (i < n && b[i] == ' ') ++i;
      while (i < n && IsDigit(b[i])) {
        if (digits < 3) v = v * 10 + (b[i] - '0');
        ++digits;
        ++i;
      }
      d = Make<CDelegateElxT<char>>(v);
    }
    recursions_.Push(d);
    SkipClose();
    return d;
  };
  if (!cur.meta && cur.ch == 'R') {
    NextToken();
    while (!tok_[1].meta && tok_[1].ch == ' ') NextToken();
    return readRecursion(true);
  }
  if (!cur.meta && (cur.ch == ' ' || IsDigit(cur.ch))) {
    // (? followed by spaces and a digit: recursion to a group number.
    int k = 1;
    while (k < 4 && !tok_[k].meta && tok_[k].ch == ' ') ++k;
    bool digitAhead = k < 4 && !tok_[k].meta && IsDigit(tok_[k].ch);
    if (k == 4) {
      // Many spaces: look at the pattern bytes directly.
      int p = tok_[3].pos + tok_[3].len;
      while (p < len_ && pat_[p] == ' ') ++p;
      digitAhead = p < len_ && IsDigit(pat_[p]);
    }
    if (digitAhead) {
      while (!tok_[1].meta && tok_[1].ch == ' ') NextToken();
      return readRecursion(false);
    }
  }
  // Modifier letters.
  int nf = flags;
  bool minus = false;
  while (!IsEnd(tok_[1]) && tok_[1].ch != ':' && !IsMeta(tok_[1], ')') && !IsMeta(tok_[1], '(')) {
    int bit = 0;
    switch (tok_[1].ch) {
      case '-':
        minus = true;
        break;
      case 'i':
      case 'I':
        bit = kRxIgnoreCase;
        break;
      case 'm':
      case 'M':
        bit = kRxMultiLine;
        break;
      case 's':
      case 'S':
        bit = kRxSingleLine;
        break;
      case 'g':
      case 'G':
        bit = kRxGlobal;
        break;
      default:
        break;
    }
    if (bit) nf = minus ? (nf & ~bit) : (nf | bit);
    NextToken();
  }
  if (!IsEnd(tok_[1]) && tok_[1].ch == ':' && !IsMeta(tok_[1], ')')) {
    NextToken();
    ElxInterface* body = ParseAlternation(nf);
    SkipClose();
    return body;
  }
  if (IsMeta(tok_[1], '(')) {
    ElxInterface* body = ParseAlternation(nf);
    SkipClose();
    return body;
  }
  flags = nf;
  SkipClose();
  return StockElx(0);
}

ElxInterface* CBuilderT<char>::ParseClass(int& flags) {
  const int rtl = flags & kRxRightToLeft ? 1 : 0;
  const Token t = tok_[1];
  if (t.ch != '[') {
    NextToken();
    int kind = 0;
    switch (t.ch) {
      case '.':
        kind = (flags & kRxSingleLine) ? 1 : 2;
        break;
      case 'w':
        kind = 3;
        break;
      case 'W':
        kind = 4;
        break;
      case 's':
        kind = 5;
        break;
      case 'S':
        kind = 6;
        break;
      case 'd':
        kind = 7;
        break;
      case 'D':
        kind = 8;
        break;
    }
    return StockElx(rtl ? kind + 8 : kind);
  }
  if (IsMeta(tok_[2], ':')) {
    NextToken();  // the [
    CBufferT<char> s;
    while (!IsEnd(tok_[1]) && !IsMeta(tok_[1], ']')) {
      s.Push(tok_[1].ch);
      NextToken();
    }
    if (IsMeta(tok_[1], ']')) NextToken();
    const char* b = s.GetBuffer();
    int n = s.GetSize(), i = 1;  // past the first colon
    int positive = 1;
    if (i < n && b[i] == '^') {
      positive = 0;
      ++i;
    }
    int (*fn)(int) = nullptr;
    for (const auto& p : kPosixNames) {
      int pl = int(std::strlen(p.name));
      if (n - i == pl && std::memcmp(b + i, p.name, size_t(pl)) == 0) fn = p.fn;
    }
    return Make<CPosixElxT<char>>(fn, rtl, positive);
  }
  NextToken();  // the [
  int positive = 1;
  if (IsMeta(tok_[1], '^')) {
    positive = 0;
    NextToken();
  }
  auto* r = Make<CRangeElxT<char>>(rtl, positive);
  while (!IsEnd(tok_[1]) && !IsMeta(tok_[1], ']')) {
    const Token& c = tok_[1];
    if (c.meta && std::strchr("wWsSdD", c.ch) && c.ch) {
      r->nested_.Push(ParseClass(flags));
      continue;
    }
    if (IsMeta(c, '[') && IsMeta(tok_[2], ':')) {
      r->nested_.Push(ParseClass(flags));
      continue;
    }
    if (IsMeta(tok_[2], '-') && !tok_[3].meta) {
      r->ranges_.Push(c.ch);
      r->ranges_.Push(tok_[3].ch);
      NextToken();
      NextToken();
      NextToken();
      continue;
    }
    r->chars_.Push(c.ch);
    NextToken();
  }
  if (IsMeta(tok_[1], ']')) NextToken();
  r->Finish();
  return r;
}

ElxInterface* CBuilderT<char>::ParseBoundary(int& flags) {
  const char c = tok_[1].ch;
  NextToken();
  const bool m = flags & kRxMultiLine;
  switch (c) {
    case '^':
      return Make<CBoundaryElxT<char>>(m ? kBoundLineStart : kBoundTextStart, 1);
    case '$':
      return Make<CBoundaryElxT<char>>(m ? kBoundLineEnd : kBoundTextEnd, 1);
    case 'A':
      return Make<CBoundaryElxT<char>>(kBoundTextStart, 1);
    case 'z':
      return Make<CBoundaryElxT<char>>(kBoundTextEnd, 1);
    case 'Z':
      return Make<CBoundaryElxT<char>>(kBoundTextEndOrBreak, 1);
    case 'b':
      return Make<CBoundaryElxT<char>>(kBoundWord, 1);
    case 'B':
      return Make<CBoundaryElxT<char>>(kBoundWord, 0);
    default:  // G
      if (flags & kRxGlobal) return Make<CGlobalElxT<0>>();
      return StockElx(0);
  }
}

ElxInterface* CBuilderT<char>::ParseBackref(int& flags) {
  NextToken();  // the \, k or g
  const int rtl = flags & kRxRightToLeft ? 1 : 0;
  const int icase = flags & kRxIgnoreCase ? 1 : 0;
  if (!tok_[1].meta && (tok_[1].ch == '<' || tok_[1].ch == '\'')) {
    char closer = tok_[1].ch == '<' ? '>' : '\'';
    NextToken();
    CBufferT<char> name;
    ReadName(closer, name);
    int number = NumericName(name.GetBuffer(), name.GetSize());
    auto* b = Make<CBackrefElxT<char>>(number >= 0 ? number : -1, rtl, icase);
    if (number < 0) {
      b->name_ = name;
      namedBackrefs_.Push(b);
    }
    return b;
  }
  int number = 0;
  for (int d = 0; d < 3 && !tok_[1].meta && IsDigit(tok_[1].ch); ++d) {
    number = number * 10 + (tok_[1].ch - '0');
    NextToken();
  }
  return Make<CBackrefElxT<char>>(number, rtl, icase);
}

namespace {

// Byte b's eight bits as eight bytes of 0 or 1, lowest bit first.
constexpr auto kSpread = [] {
  struct Table {
    uint64_t v[256];
  } t{};
  for (int b = 0; b < 256; ++b)
    for (int k = 0; k < 8; ++k) t.v[b] |= uint64_t((b >> k) & 1) << (8 * k);
  return t;
}();

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the spread table is laid out little-endian");

// A set of 256 bits as a table of 256 bytes of 0 or 1.
void BitsToBytes(const uint64_t bits[4], unsigned char out[256]) {
  for (int i = 0; i < 32; ++i) {
    const uint64_t v = kSpread.v[(bits[i >> 3] >> (8 * (i & 7))) & 0xFF];
    std::memcpy(out + 8 * i, &v, 8);  // little-endian: byte k is bit k
  }
}

}  // namespace

void CRangeElxT<char>::Finish() {
  uint64_t in[4] = {};
  auto set = [&in](int c) { in[c >> 6] |= uint64_t(1) << (c & 63); };
  // Bytes a..b (unsigned, a <= b) a word at a time.
  auto span = [&in](int a, int b) {
    for (int w = a >> 6; w <= b >> 6; ++w) {
      const int lo = a > w * 64 ? a - w * 64 : 0;
      const int hi = b < w * 64 + 63 ? b - w * 64 : 63;
      const uint64_t upTo = hi == 63 ? ~uint64_t(0) : (uint64_t(1) << (hi + 1)) - 1;
      in[w] |= upTo & ~((uint64_t(1) << lo) - 1);
    }
  };
  // Bounds compare as signed bytes: 0x80-0xFF order before 0x00.
  for (int i = 0; i + 1 < ranges_.GetSize(); i += 2) {
    const int lo = static_cast<signed char>(ranges_[i]), hi = static_cast<signed char>(ranges_[i + 1]);
    if (lo > hi) continue;
    if (hi < 0 || lo >= 0) {
      span(lo & 0xFF, hi & 0xFF);
    } else {
      span(lo & 0xFF, 255);
      span(0, hi);
    }
  }
  for (int i = 0; i < chars_.GetSize(); ++i) set(static_cast<unsigned char>(chars_[i]));
  for (int i = 0; i < nested_.GetSize(); ++i) {
    const ElxInterface* e = nested_[i];
    const uint64_t* bits = nullptr;
    if (e->kind == kElxRange) bits = static_cast<const CRangeElxT<char>*>(e)->Bits();
    if (e->kind == kElxPosix) bits = static_cast<const CPosixElxT<char>*>(e)->Bits();
    if (!bits) continue;
    for (int w = 0; w < 4; ++w) in[w] |= bits[w];
  }
  for (int w = 0; w < 4; ++w) bits_[w] = positive_ ? in[w] : ~in[w];
  BitsToBytes(bits_, table_);
}

// ---- search shortcuts ----

namespace {

struct FirstInfo {
  uint64_t set[4];
  bool nullable;
  bool any;  // unknown: every byte possible
};

void FirstOf(const ElxInterface* e, FirstInfo& out, int depth);

void Add(FirstInfo& f, int c) { f.set[c >> 6] |= uint64_t(1) << (c & 63); }

void Union(FirstInfo& a, const FirstInfo& b) {
  for (int i = 0; i < 4; ++i) a.set[i] |= b.set[i];
  a.any = a.any || b.any;
}

void FirstOf(const ElxInterface* e, FirstInfo& out, int depth) {
  std::memset(out.set, 0, sizeof out.set);
  out.nullable = false;
  out.any = false;
  if (!e) {
    out.nullable = true;
    return;
  }
  if (depth > 300) {
    out.any = out.nullable = true;
    return;
  }
  switch (e->kind) {
    case kElxEmpty:
    case kElxBoundary:
    case kElxGlobal:
    case kElxBracket:
    case kElxAssert:
      out.nullable = true;
      return;
    case kElxRange: {
      auto* r = static_cast<const CRangeElxT<char>*>(e);
      if (r->rightLeft_) break;
      std::memcpy(out.set, r->Bits(), sizeof out.set);
      return;
    }
    case kElxPosix: {
      auto* r = static_cast<const CPosixElxT<char>*>(e);
      if (r->rightLeft_) break;
      std::memcpy(out.set, r->Bits(), sizeof out.set);
      return;
    }
    case kElxString: {
      auto* s = static_cast<const CStringElxT<char>*>(e);
      if (s->rightLeft_) break;
      if (s->str_.GetSize() == 0) {
        out.nullable = true;
        return;
      }
      unsigned char c = static_cast<unsigned char>(s->str_[0]);
      Add(out, c);
      if (s->ignoreCase_) {
        if (c >= 'A' && c <= 'Z') Add(out, c + 32);
        if (c >= 'a' && c <= 'z') Add(out, c - 32);
      }
      return;
    }
    case kElxList: {
      auto* l = static_cast<const CListElxT<0>*>(e);
      if (l->rightLeft_) break;
      out.nullable = true;
      for (int i = 0; i < l->items_.GetSize() && out.nullable; ++i) {
        FirstInfo f;
        FirstOf(l->items_[i], f, depth + 1);
        Union(out, f);
        out.nullable = f.nullable;
      }
      return;
    }
    case kElxAlternative: {
      auto* a = static_cast<const CAlternativeElxT<0>*>(e);
      out.nullable = a->branches_.GetSize() == 0;
      for (int i = 0; i < a->branches_.GetSize(); ++i) {
        FirstInfo f;
        FirstOf(a->branches_[i], f, depth + 1);
        Union(out, f);
        out.nullable = out.nullable || f.nullable;
      }
      return;
    }
    case kElxRepeat:
    case kElxGreedy:
    case kElxPossessive:
    case kElxReluctant: {
      auto* r = static_cast<const CRepeatElxT<0>*>(e);
      FirstOf(r->body_, out, depth + 1);
      if (r->count_ == 0) out.nullable = true;
      return;
    }
    case kElxIndependent:
      FirstOf(static_cast<const CIndependentElxT<0>*>(e)->body_, out, depth + 1);
      return;
    case kElxCondition: {
      auto* c = static_cast<const CConditionElxT<char>*>(e);
      FirstInfo y, n;
      FirstOf(c->yes_, y, depth + 1);
      FirstOf(c->no_, n, depth + 1);
      out = y;
      Union(out, n);
      out.nullable = y.nullable || n.nullable;
      return;
    }
    default:
      break;
  }
  out.any = true;
  out.nullable = true;
}

// Appends the literal bytes a match of e starts with; true when e is
// nothing but those bytes (and zero-width group marks), so the next element
// of a sequence continues the prefix.
bool LiteralPrefix(const ElxInterface* e, CBufferT<char>& out, int depth) {
  if (!e || depth > 300) return false;
  switch (e->kind) {
    case kElxEmpty:
    case kElxBracket:
      return true;
    case kElxString: {
      auto* s = static_cast<const CStringElxT<char>*>(e);
      if (s->rightLeft_ || s->ignoreCase_) return false;
      out.Append(s->str_.GetBuffer(), s->str_.GetSize());
      return true;
    }
    case kElxList: {
      auto* l = static_cast<const CListElxT<0>*>(e);
      if (l->rightLeft_) return false;
      for (int i = 0; i < l->items_.GetSize(); ++i)
        if (!LiteralPrefix(l->items_[i], out, depth + 1)) return false;
      return true;
    }
    default:
      return false;
  }
}

using FlatStep = CBuilderT<char>::FlatStep;

// Steps gathered on the stack; a pattern with more keeps the tree.
struct FlatList {
  static constexpr int kMax = 24;
  FlatStep s[kMax];
  int n = 0;
  bool Push(const FlatStep& v) {
    if (n == kMax) return false;
    s[n++] = v;
    return true;
  }
};

// A run of single bytes. A byte class lends its own table; other bodies
// get one made in tables (pointed at once the list is complete).
bool AddRun(FlatList& out, CBufferT<unsigned char>& tables, const ElxInterface* body, int lo, int64_t hi,
            int possessive) {
  FlatStep s{};
  s.op = CBuilderT<char>::kFlatRun;
  s.min = lo;
  s.max = hi > 2147483647 ? 2147483647 : int(hi);
  s.possessive = possessive;
  s.own = -1;
  if (body->kind == kElxRange) {
    s.table = static_cast<const CRangeElxT<char>*>(body)->Table();
  } else {
    uint64_t bits[4] = {};
    if (body->kind == kElxPosix) {
      std::memcpy(bits, static_cast<const CPosixElxT<char>*>(body)->Bits(), sizeof bits);
    } else {
      auto* str = static_cast<const CStringElxT<char>*>(body);
      const unsigned char c = static_cast<unsigned char>(str->str_[0]);
      bits[c >> 6] |= uint64_t(1) << (c & 63);
      if (str->ignoreCase_ && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
        const unsigned char o = c ^ 0x20;
        bits[o >> 6] |= uint64_t(1) << (o & 63);
      }
    }
    s.own = tables.GetSize();
    BitsToBytes(bits, tables.Extend(256));
  }
  return out.Push(s);
}

// Whether e is one byte per instance: a forward class or a one-byte string.
bool IsByteBody(const ElxInterface* e) {
  switch (e ? e->kind : kElxEmpty) {
    case kElxRange:
      return !static_cast<const CRangeElxT<char>*>(e)->rightLeft_;
    case kElxPosix:
      return !static_cast<const CPosixElxT<char>*>(e)->rightLeft_;
    case kElxString: {
      auto* s = static_cast<const CStringElxT<char>*>(e);
      return !s->rightLeft_ && s->str_.GetSize() == 1;
    }
    default:
      return false;
  }
}

// Appends the steps of e; false when e needs the backtracking tree.
bool Flatten(const ElxInterface* e, FlatList& out, CBufferT<unsigned char>& tables, int depth) {
  if (!e || depth > 300) return false;
  FlatStep s{};
  switch (e->kind) {
    case kElxEmpty:
      return true;
    case kElxList: {
      auto* l = static_cast<const CListElxT<0>*>(e);
      if (l->rightLeft_) return false;
      for (int i = 0; i < l->items_.GetSize(); ++i)
        if (!Flatten(l->items_[i], out, tables, depth + 1)) return false;
      return true;
    }
    case kElxBracket: {
      auto* b = static_cast<const CBracketElxT<char>*>(e);
      if (b->number_ < 1) return false;
      s.op = b->side_ == 0 ? CBuilderT<char>::kFlatOpen : CBuilderT<char>::kFlatClose;
      s.group = b->number_;
      return out.Push(s);
    }
    case kElxString: {
      auto* str = static_cast<const CStringElxT<char>*>(e);
      if (str->rightLeft_ || str->str_.GetSize() == 0) return false;
      s.op = CBuilderT<char>::kFlatString;
      s.elx = e;
      return out.Push(s);
    }
    case kElxBoundary:
    case kElxGlobal:
      s.op = CBuilderT<char>::kFlatZero;
      s.elx = e;
      return out.Push(s);
    case kElxRange:
    case kElxPosix:
      if (!IsByteBody(e)) return false;
      return AddRun(out, tables, e, 1, 1, 1);
    case kElxRepeat: {
      auto* r = static_cast<const CRepeatElxT<0>*>(e);
      if (!IsByteBody(r->body_)) return false;
      return AddRun(out, tables, r->body_, r->count_, r->count_, 1);
    }
    case kElxGreedy:
    case kElxPossessive: {
      auto* r = static_cast<const CGreedyElxT<0>*>(e);
      if (!IsByteBody(r->body_)) return false;
      return AddRun(out, tables, r->body_, r->count_, int64_t(r->count_) + r->extra_, e->kind == kElxPossessive);
    }
    default:
      return false;
  }
}

// True when backtracking can never help the steps: every greedy run is
// followed (past group marks) by the end or by something whose first byte
// the run cannot take, so a byte given back only meets a certain failure.
// Each group also opens once, so its last values are its only ones.
bool FlatIsExact(const FlatList& st, int maxGroup) {
  uint64_t seen[4] = {};  // group numbers below 256 only
  for (int i = 0; i < st.n; ++i) {
    const FlatStep& s = st.s[i];
    if (s.op == CBuilderT<char>::kFlatOpen) {
      if (s.group > maxGroup || s.group > 255) return false;
      const uint64_t bit = uint64_t(1) << (s.group & 63);
      if (seen[s.group >> 6] & bit) return false;
      seen[s.group >> 6] |= bit;
      continue;
    }
    if (s.op != CBuilderT<char>::kFlatRun || s.possessive || s.min == s.max) continue;
    const unsigned char* mine = s.table;
    int j = i + 1;
    while (j < st.n && (st.s[j].op == CBuilderT<char>::kFlatOpen || st.s[j].op == CBuilderT<char>::kFlatClose)) ++j;
    if (j == st.n) continue;
    const FlatStep& n = st.s[j];
    if (n.op == CBuilderT<char>::kFlatString) {
      auto* str = static_cast<const CStringElxT<char>*>(n.elx);
      const unsigned char c = static_cast<unsigned char>(str->str_[0]);
      if (mine[c]) return false;
      if (str->ignoreCase_ && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && mine[c ^ 0x20]) return false;
      continue;
    }
    if (n.op == CBuilderT<char>::kFlatRun && n.min >= 1) {
      const unsigned char* next = n.table;
      for (int c = 0; c < 256; ++c)
        if (mine[c] && next[c]) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

void CBuilderT<char>::Analyse() {
  useFirst_ = anchored_ = useFlat_ = false;
  firstSingle_ = -1;
  prefix_.Clear();
  flat_ = nullptr;
  flatCount_ = 0;
  flatTables_.Clear();
  if (!root_) return;
  if (recursions_.GetSize() == 0) {
    FlatList list;
    if (Flatten(root_, list, flatTables_, 0)) {
      for (int i = 0; i < list.n; ++i)
        if (list.s[i].op == kFlatRun && list.s[i].own >= 0) list.s[i].table = flatTables_.GetBuffer() + list.s[i].own;
      if (FlatIsExact(list, maxGroup_)) {
        auto* steps = static_cast<FlatStep*>(Allocate(sizeof(FlatStep) * size_t(list.n ? list.n : 1), alignof(FlatStep)));
        std::memcpy(static_cast<void*>(steps), list.s, sizeof(FlatStep) * size_t(list.n));
        flat_ = steps;
        flatCount_ = list.n;
        useFlat_ = true;
      }
    }
  }
  LiteralPrefix(root_, prefix_, 0);
  FirstInfo f;
  FirstOf(root_, f, 0);
  if (!f.any && !f.nullable) {
    useFirst_ = true;
    int count = 0;  // 0, 1 or more bytes
    for (int w = 0; w < 4; ++w) {
      if (!f.set[w]) continue;
      count += (f.set[w] & (f.set[w] - 1)) ? 2 : 1;
      firstSingle_ = w * 64 + __builtin_ctzll(f.set[w]);
    }
    BitsToBytes(f.set, first_);
    if (count != 1) firstSingle_ = -1;
  }
  const ElxInterface* head = root_;
  if (head->kind == kElxList) {
    auto* l = static_cast<const CListElxT<0>*>(head);
    head = (!l->rightLeft_ && l->items_.GetSize() > 0) ? l->items_[0] : nullptr;
  }
  if (head && head->kind == kElxBoundary) {
    auto* b = static_cast<const CBoundaryElxT<char>*>(head);
    anchored_ = b->kind_ == kBoundTextStart && b->positive_;
  }
}
