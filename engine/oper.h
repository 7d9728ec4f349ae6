#pragma once
// The base of every operation of a compiled script. The compiler builds the
// operations, fills these fields and links them; the run loop calls Execute
// and Next.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/opkind.h"

class TagVar;
class TagTelBasic;

// Where a statement's result goes: a variable, or the element of a map
// variable under a key (created when missing; a non-map becomes a map).
struct TagVarRef {
  TagVar* var = nullptr;
  TagVar* key = nullptr;
  bool Empty() const { return var == nullptr; }
  // Assigns the target's value into `into`; nothing without a target.
  void Load(TagVar& into) const;
  // Assigns value to the target; nothing without a target.
  void Store(const TagVar& value) const;
};

class TagOper {
 public:
  TagOper() = default;
  virtual ~TagOper();
  TagOper(const TagOper&) = delete;
  TagOper& operator=(const TagOper&) = delete;

  // Runs the operation: 0, a value or a count on success, a negative code on
  // failure. Outputs are written into the argument values.
  virtual int Execute() = 0;
  // The operation to run next; flow operations answer their jumps here.
  virtual TagOper* Next() { return next; }
  // Appends the variables Execute may write besides the result reference;
  // false when the operation cannot tell (then it may write any variable it
  // can reach).
  virtual bool ListWrites(std::vector<const TagVar*>& out) const { return false; }

  // Called by the compiler's append. The text is kept only while the run
  // configuration shows statements (IS_DISP_SENTE not 0).
  void SetSource(const std::string& sourceText, int line, int idx, OpKind kindChar);
  void SetBreakpoint(bool on) {
    if (on)
      breakpoint.fetch_or(kBreakBit, std::memory_order_relaxed);
    else
      breakpoint.fetch_and(static_cast<uint8_t>(~kBreakBit), std::memory_order_relaxed);
  }
  bool HasBreakpoint() const { return (breakpoint.load(std::memory_order_relaxed) & kBreakBit) != 0; }
  // A block brace with nothing to run before it: the run loops step over it
  // without a dispatch unless it has a breakpoint (one load tells both).
  void MarkPlainBrace() { breakpoint.fetch_or(kPlainBraceBit, std::memory_order_relaxed); }
  bool IsPlainBraceToStepOver() const { return breakpoint.load(std::memory_order_relaxed) == kPlainBraceBit; }
  void SetResultRef(TagVar* var, TagVar* key = nullptr) {
    resultRef.var = var;
    resultRef.key = key;
  }
  void StoreResult(const TagVar& value) const { resultRef.Store(value); }
  // The next operation as the run loops follow it.
  TagOper* Following() { return plainNext ? next : Next(); }
  void RunPreExpressions() {
    for (TagOper* e : preExpressions) e->Execute();
  }
  // Deletes the pending expressions (the owning instance calls this before
  // deleting the operation).
  void FreePreExpressions();

  std::string text;
  int lineNo = 0;
  int depth = 0;
  int index = 0;
  // Set from the debugger's thread, read by the run loop; the plain-brace
  // mark shares the byte.
  static constexpr uint8_t kBreakBit = 1, kPlainBraceBit = 2;
  std::atomic<uint8_t> breakpoint{0};
  TagOper* link = nullptr;
  OpKind kind = kOpAssign;
  // Set by the classes whose Next is final and gives next: the run loops
  // follow next without a virtual call.
  uint8_t plainNext = 0;
  TagOper* owner = nullptr;
  TagOper* next = nullptr;
  TagOper* prev = nullptr;
  uint8_t unbracedBody = 0;
  TagVarRef resultRef;
  // Owned; expressions (each a TagOper) run before every execution.
  std::vector<TagOper*> preExpressions;
};
