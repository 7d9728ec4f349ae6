#pragma once
#include <atomic>
#include <cstdint>

#include "regex/buffer.h"

// Byte-string regular expressions: a backtracking matcher over a tree of
// elements. Texts and patterns are bytes (a GB character is two bytes).

// Modifier bits.
enum {
  kRxSingleLine = 0x01,  // s: dot matches line feed
  kRxMultiLine = 0x02,   // m: ^ and $ are line anchors
  kRxGlobal = 0x04,      // g: \G is the begin position
  kRxIgnoreCase = 0x08,  // i
  kRxRightToLeft = 0x10  // only while parsing a look-behind body
};

// Limits that keep a search from running away with the line.
enum RegexLimitKind {
  kRegexNoLimit = 0,
  kRegexSteps,        // step budget of one search spent
  kRegexInterrupted,  // the line was asked to stop
  kRegexStack,        // the thread's stack runs low (deep recursion)
  kRegexBacktrack,    // backtrack or capture stack too large
  kRegexNesting,      // pattern nested too deeply to compile
  kRegexOutput        // replacement text too large
};
const char* RegexLimitText(int kind);

// The lowest frame address this thread's searches and compiles may reach
// (its stack bottom plus a reserve); 0 when unknown.
uintptr_t RegexStackFloor();

struct RegexLimits {
  int64_t stepBudget = 10000000;     // per search
  int64_t contextBudget = 200000000; // all searches on one context (a replace, a split)
  const std::atomic<uint8_t>* interrupt = nullptr;  // checked every few thousand steps
  int maxStackInts = 8 << 20;                    // per backtrack / capture stack
  int64_t maxOutput = int64_t(64) << 20;         // replacement result bytes
};

class CContext;

enum ElxKind {
  kElxEmpty,
  kElxRange,
  kElxPosix,
  kElxString,
  kElxBackref,
  kElxBoundary,
  kElxGlobal,
  kElxBracket,
  kElxList,
  kElxAlternative,
  kElxRepeat,
  kElxGreedy,
  kElxPossessive,
  kElxReluctant,
  kElxAssert,
  kElxIndependent,
  kElxCondition,
  kElxDelegate
};

class ElxInterface {
 public:
  explicit ElxInterface(ElxKind k) : kind(k) {}
  virtual int Match(CContext* ctx) const = 0;
  virtual int MatchNext(CContext* ctx) const = 0;
  virtual ~ElxInterface() = default;
  const ElxKind kind;
  ElxInterface* madeBefore_ = nullptr;  // the builder's chain of its elements
};

template <int x>
class CEmptyElxT;
template <>
class CEmptyElxT<0> : public ElxInterface {
 public:
  CEmptyElxT() : ElxInterface(kElxEmpty) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;
};

template <class T>
class CRangeElxT;
template <>
class CRangeElxT<char> : public ElxInterface {
 public:
  CRangeElxT(int rightLeft, int positive) : ElxInterface(kElxRange), rightLeft_(rightLeft), positive_(positive) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;
  bool Test(unsigned char c) const { return table_[c] != 0; }
  // Fills the byte table once the set is complete.
  void Finish();
  // The set as 256 bits, and as 256 bytes of 0 or 1 (after Finish).
  const uint64_t* Bits() const { return bits_; }
  const unsigned char* Table() const { return table_; }

  CBufferT<char> ranges_;                // low, high pairs
  CBufferT<char> chars_;                 // single bytes
  CBufferT<ElxInterface*> nested_;       // \w, [:alpha:] ... (not owned)
  int rightLeft_;
  int positive_;

 private:
  unsigned char table_[256] = {};
  uint64_t bits_[4] = {};
};

template <class T>
class CPosixElxT;
template <>
class CPosixElxT<char> : public ElxInterface {
 public:
  CPosixElxT(int (*fn)(int), int rightLeft, int positive)
      : ElxInterface(kElxPosix), fn_(fn), rightLeft_(rightLeft), positive_(positive) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;
  bool Test(unsigned char c) const {
    if (!fn_) return false;
    return (fn_(c) != 0) == (positive_ != 0);
  }
  // The bytes Test accepts, as 256 bits: worked out once, for the compile's
  // analyses (the class functions are called through a pointer).
  const uint64_t* Bits() const {
    if (!bitsReady_) {
      for (int c = 0; c < 256; ++c)
        if (Test(static_cast<unsigned char>(c))) bits_[c >> 6] |= uint64_t(1) << (c & 63);
      bitsReady_ = true;
    }
    return bits_;
  }

  int (*fn_)(int);
  int rightLeft_;
  int positive_;

 private:
  mutable uint64_t bits_[4] = {};
  mutable bool bitsReady_ = false;
};

template <class T>
class CStringElxT;
template <>
class CStringElxT<char> : public ElxInterface {
 public:
  CStringElxT(const CBufferT<char>& s, int rightLeft, int ignoreCase)
      : ElxInterface(kElxString), str_(s), rightLeft_(rightLeft), ignoreCase_(ignoreCase) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  CBufferT<char> str_;
  int rightLeft_;
  int ignoreCase_;
};

template <class T>
class CBackrefElxT;
template <>
class CBackrefElxT<char> : public ElxInterface {
 public:
  CBackrefElxT(int number, int rightLeft, int ignoreCase)
      : ElxInterface(kElxBackref), number_(number), rightLeft_(rightLeft), ignoreCase_(ignoreCase) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  int number_;
  int rightLeft_;
  int ignoreCase_;
  CBufferT<char> name_;
};

enum BoundaryKind { kBoundTextStart, kBoundTextEnd, kBoundTextEndOrBreak, kBoundLineStart, kBoundLineEnd, kBoundWord };

template <class T>
class CBoundaryElxT;
template <>
class CBoundaryElxT<char> : public ElxInterface {
 public:
  CBoundaryElxT(BoundaryKind k, int positive) : ElxInterface(kElxBoundary), kind_(k), positive_(positive) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  BoundaryKind kind_;
  int positive_;
};

template <int x>
class CGlobalElxT;
template <>
class CGlobalElxT<0> : public ElxInterface {
 public:
  CGlobalElxT() : ElxInterface(kElxGlobal) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;
};

template <class T>
class CBracketElxT;
template <>
class CBracketElxT<char> : public ElxInterface {
 public:
  CBracketElxT(int number, int side) : ElxInterface(kElxBracket), number_(number), side_(side) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  int number_;
  int side_;  // 0: met first in matching order, records the start
  CBufferT<char> name_;
  bool named_ = false;
};

template <int x>
class CListElxT;
template <>
class CListElxT<0> : public ElxInterface {
 public:
  explicit CListElxT(int rightLeft) : ElxInterface(kElxList), rightLeft_(rightLeft) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  CBufferT<ElxInterface*> items_;
  int rightLeft_;

 private:
  int Forward(CContext* ctx, int n) const;
};

template <int x>
class CAlternativeElxT;
template <>
class CAlternativeElxT<0> : public ElxInterface {
 public:
  CAlternativeElxT() : ElxInterface(kElxAlternative) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  CBufferT<ElxInterface*> branches_;
};

template <int x>
class CRepeatElxT;
template <>
class CRepeatElxT<0> : public ElxInterface {
 public:
  CRepeatElxT(ElxInterface* body, int count, ElxKind k = kElxRepeat) : ElxInterface(k), body_(body), count_(count) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  ElxInterface* body_;
  int count_;

 protected:
  int MatchFixed(CContext* ctx) const;
  int MatchNextFixed(CContext* ctx) const;
  int Forward(CContext* ctx, int n) const;
};

template <int x>
class CGreedyElxT;
template <>
class CGreedyElxT<0> : public CRepeatElxT<0> {
 public:
  CGreedyElxT(ElxInterface* body, int minimum, int maximum, ElxKind k = kElxGreedy);
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  int extra_;

 protected:
  int MatchGreedy(CContext* ctx) const;
  // Adds instances after the k already standing; returns the new count.
  int Extend(CContext* ctx, int k) const;
  const ElxInterface* byteBody_ = nullptr;  // single-byte body: fast loop
  int byteRtl_ = 0;
};

template <int x>
class CPossessiveElxT;
template <>
class CPossessiveElxT<0> : public CGreedyElxT<0> {
 public:
  CPossessiveElxT(ElxInterface* body, int minimum, int maximum) : CGreedyElxT<0>(body, minimum, maximum, kElxPossessive) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;
};

template <int x>
class CReluctantElxT;
template <>
class CReluctantElxT<0> : public CRepeatElxT<0> {
 public:
  CReluctantElxT(ElxInterface* body, int minimum, int maximum)
      : CRepeatElxT<0>(body, minimum, kElxReluctant), extra_(maximum - minimum) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  int extra_;
};

template <int x>
class CAssertElxT;
template <>
class CAssertElxT<0> : public ElxInterface {
 public:
  CAssertElxT(ElxInterface* body, int positive) : ElxInterface(kElxAssert), body_(body), positive_(positive) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  ElxInterface* body_;
  int positive_;
};

template <int x>
class CIndependentElxT;
template <>
class CIndependentElxT<0> : public ElxInterface {
 public:
  explicit CIndependentElxT(ElxInterface* body) : ElxInterface(kElxIndependent), body_(body) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  ElxInterface* body_;
};

template <class T>
class CConditionElxT;
template <>
class CConditionElxT<char> : public ElxInterface {
 public:
  CConditionElxT() : ElxInterface(kElxCondition) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  int number_ = -1;  // -1: the condition is an element
  CBufferT<char> name_;
  ElxInterface* cond_ = nullptr;
  ElxInterface* yes_ = nullptr;
  ElxInterface* no_ = nullptr;
};

template <class T>
class CDelegateElxT;
template <>
class CDelegateElxT<char> : public ElxInterface {
 public:
  explicit CDelegateElxT(int number) : ElxInterface(kElxDelegate), number_(number) {}
  int Match(CContext* ctx) const override;
  int MatchNext(CContext* ctx) const override;

  ElxInterface* target_ = nullptr;
  int number_;
  CBufferT<char> name_;
};

// All mutable state of one search.
class CContext {
 public:
  // Capture entry: group, start, end (-1 while open), recursion balance, and
  // the group's index entry before this one was pushed (restored on undo).
  static constexpr int kCap = 5;

  CBufferT<int> stack;    // backtrack stack
  CBufferT<int> capture;  // capture entries
  CBufferT<int> index;    // per group: entry number on the capture stack, -1 none
  int pos = 0;
  int begin = 0;
  int lastBegin = -1;
  int closeCounter = 0;
  const char* text = "";
  int length = 0;

  // Limits of this context.
  RegexLimits limits;
  int limitHit = kRegexNoLimit;
  int64_t steps = 0;
  int64_t nextCheck = 0;
  int64_t spent = 0;  // steps of the earlier searches on this context
  uintptr_t stackFloor = 0;

  // Called on entry of every element that can nest or backtrack: false when a
  // limit stops the search.
  bool Step(uintptr_t frame) {
    if (limitHit) return false;
    if (++steps >= nextCheck) return SlowCheck();
    if (frame < stackFloor) return Hit(kRegexStack);
    return true;
  }
  bool Hit(int kind) {
    if (!limitHit) limitHit = kind;
    return false;
  }
  void Push(int v) {
    if (stack.GetSize() >= limits.maxStackInts) {
      Hit(kRegexBacktrack);
      return;
    }
    stack.Push(v);
  }
  int Pop() {
    int v;
    stack.Pop(v);
    return v;
  }
  // Pushes a capture entry for a group and points the group's index at it.
  void PushCapture(int group, int start, int end, int balance);
  // Cuts the capture stack back to n ints, restoring the group index.
  void CutCaptures(int n);
  int Captures() const { return capture.GetSize(); }
  // The entry number of a group's current capture, -1 none.
  int EntryOf(int group) const {
    if (group < 0 || group >= index.GetSize()) return -1;
    int e = index[group];
    if (e < 0 || (e + 1) * kCap > capture.GetSize()) return -1;
    return e;
  }
  void ResetSteps();

 private:
  bool SlowCheck();
};

#define RX_STEP(ctx) \
  if (!(ctx)->Step(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))) return 0

template <int x>
class MatchResultT;
template <>
class MatchResultT<0> {
 public:
  int IsMatched() const { return Item(0, 0); }
  int GroupCount() const { return Item(1, 0); }
  int GroupStart(int i) const { return Item(2 * i + 2, -1); }
  int GroupEnd(int i) const { return Item(2 * i + 3, -1); }
  int MatchStart() const { return Item(2, -1); }
  int MatchEnd() const { return Item(3, -1); }

  CBufferT<int> result_;

 private:
  int Item(int i, int def) const { return i >= 0 && i < result_.GetSize() ? result_[i] : def; }
};

template <class T>
class CBuilderT;
template <>
class CBuilderT<char> {
 public:
  static constexpr int kMaxNesting = 256;

  struct Token {
    char ch = 0;
    int meta = 0;
    int pos = 0;
    int len = 0;
  };

  CBuilderT() = default;
  ~CBuilderT();
  CBuilderT(const CBuilderT&) = delete;
  CBuilderT& operator=(const CBuilderT&) = delete;

  int Compile(const char* pattern, int length, int flags);
  void Clear();
  int GroupNumberByName(const char* name, int length) const;

  ElxInterface* root_ = nullptr;
  int flags_ = 0;
  int maxGroup_ = 0;
  int namedCount_ = 0;
  int tableSize_ = 0;
  ElxInterface* lastMade_ = nullptr;             // newest element; Clear destroys the chain
  CBufferT<ElxInterface*> groups_;               // frames by number, named appended
  CBufferT<CDelegateElxT<char>*> recursions_;
  CBufferT<CListElxT<0>*> named_;
  CBufferT<CBackrefElxT<char>*> namedBackrefs_;
  CBufferT<CConditionElxT<char>*> namedConds_;
  int compileLimit_ = kRegexNoLimit;

  // Search shortcuts, equal in result to trying every position.
  unsigned char first_[256];  // filled when useFirst_ is set
  bool useFirst_ = false;   // a match must start with a byte of first_
  int firstSingle_ = -1;    // the only such byte, or -1
  bool anchored_ = false;   // a match can only start at position 0
  // Bytes every match starts with (case kept); searched for as a whole
  // when two or more.
  CBufferT<char> prefix_;

  // A pattern that never needs to backtrack (literals, byte classes whose
  // repeats cannot give a byte back usefully, groups, anchors) is also kept
  // as a flat list of steps, tried once per start without the tree.
  enum { kFlatOpen, kFlatClose, kFlatString, kFlatRun, kFlatZero };
  struct FlatStep {
    int op;
    int group;  // open / close
    int min, max;  // run: instances
    int possessive;  // run: never gives a byte back
    int own;         // run: offset of a table made for it in flatTables_, or -1
    const unsigned char* table;  // run: 256 bytes of 0 or 1
    const ElxInterface* elx;  // string, zero-width
  };
  const FlatStep* flat_ = nullptr;  // in the element blocks
  int flatCount_ = 0;
  CBufferT<unsigned char> flatTables_;
  bool useFlat_ = false;

  struct Block {  // one heap block of elements
    Block* next;
    size_t size;
  };

 private:
  void Build(int flags);
  void NextToken();
  bool LexToken(Token& t);
  ElxInterface* ParseAlternation(int flags);
  ElxInterface* ParseSequence(int& flags);
  ElxInterface* ParseRepeat(int& flags);
  ElxInterface* ParseAtom(int& flags);
  ElxInterface* ParseGroup(int& flags);
  ElxInterface* ParseClass(int& flags);
  ElxInterface* ParseBoundary(int& flags);
  ElxInterface* ParseBackref(int& flags);
  ElxInterface* StockElx(int kind);
  template <class E, class... A>
  E* Make(A&&... a);
  // Element storage: blocks taken from the heap a few at a time instead of
  // a block per element; the first block stays for the next compile.
  void* Allocate(size_t size, size_t align);
  void ReleaseBlocks(bool keepFirst);
  Block* blocks_ = nullptr;
  char* blockCur_ = nullptr;
  char* blockEnd_ = nullptr;
  void ReadName(char closer, CBufferT<char>& name);
  void SkipClose();
  void Analyse();

  const char* pat_ = nullptr;
  int len_ = 0;
  Token tok_[4];  // previous, current, next, after next
  int lexPos_ = 0;
  int bracketDepth_ = 0;
  int quote_ = 0;
  int quoteConv_ = 0;  // 0 none, 1 lower, 2 upper
  int nesting_ = 0;
  ElxInterface* stock_[17] = {};
};

template <class T>
class CRegexpT;
template <>
class CRegexpT<char> {
 public:
  CRegexpT() = default;
  explicit CRegexpT(const char* pattern, int flags = 0);
  CRegexpT(const char* pattern, int length, int flags);
  int Compile(const char* pattern, int length, int flags) { return builder_.Compile(pattern, length, flags); }
  bool IsCompiled() const { return builder_.root_ != nullptr; }
  // A limit that stopped the compile (the pattern then reads as not compiled).
  int CompileLimit() const { return builder_.compileLimit_; }
  int MaxGroup() const { return builder_.maxGroup_; }
  int GroupNumberByName(const char* name, int length) const { return builder_.GroupNumberByName(name, length); }

  MatchResultT<0> Match(const char* text, int start = 0) const;
  // One search on a fresh context; limitHit (optional) tells why it stopped.
  MatchResultT<0> MatchBuffer(const char* text, int length, int start = 0, const RegexLimits* limits = nullptr,
                              int* limitHit = nullptr) const;
  CContext* PrepareContext(const char* text, int length, int start, CContext* ctx = nullptr,
                           const RegexLimits* limits = nullptr) const;
  MatchResultT<0> MatchWithContext(CContext* ctx) const;
  static void ReleaseContext(CContext* ctx);

  // New text (free with FreeString), or null when not compiled or a limit hit.
  char* Replace(const char* text, const char* tmpl, int start = 0, int count = -1, const RegexLimits* limits = nullptr,
                int* limitHit = nullptr) const;
  char* ReplaceBuffer(const char* text, int textLength, const char* tmpl, int tmplLength, int start = 0, int count = -1,
                      const RegexLimits* limits = nullptr, int* limitHit = nullptr, int* resultLength = nullptr) const;
  static void FreeString(char* s);

  const CBuilderT<char>& Builder() const { return builder_; }

 private:
  CBuilderT<char> builder_;
};
