#include <memory>
#include <optional>

#include "engine/flow.h"
#include "engine/oper.h"
#include "engine/scriptrand.h"
#include "engine/telbasic.h"
#include "core/log.h"
#include "core/monitor.h"
#include "engine/kxcall.h"
#include "engine/speechhooks.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

thread_local uint32_t t_randState = 1;

// Statement texts of a main instance and its function bodies, by id.
class InstanceTexts : public TagRunSource {
 public:
  explicit InstanceTexts(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::string_view StatementText(int id) const override {
    return id >= 0 && static_cast<size_t>(id) < texts_.size() ? std::string_view(texts_[id]) : std::string_view();
  }

 private:
  std::vector<std::string> texts_;
};

// Registers the statement texts of inst (main body first, then each function
// body after it) with the line monitor.
void PublishRunSource(TagTelBasic& inst) {
  std::vector<std::string> texts;
  inst.runSourceBase = 0;
  for (TagOper* op : inst.operations) texts.push_back(op->text);
  for (TagTelBasic* f : inst.functions) {
    f->runSourceBase = static_cast<int>(texts.size());
    for (TagOper* op : f->operations) texts.push_back(op->text);
  }
  SetRunSource(inst.lineNo, std::make_shared<InstanceTexts>(std::move(texts)));
}

bool IsCall(const TagOper* op) { return op && op->kind == kOpCall; }

// Stores an operation's result as its kind requires. On the hot path of every
// statement: most have no target, so the store is skipped without a call.
[[gnu::always_inline]] inline void StoreInto(const TagVarRef& ref, const TagVar& value) {
  if (!ref.var) return;
  // A plain variable takes the inline assignment; an element goes the long way.
  if (!ref.key)
    ref.var->Assign(value);
  else
    ref.Store(value);
}

[[gnu::always_inline]] inline void StoreResult(TagVar& ret, TagOper& op, int r) {
  switch (op.kind) {
    case kOpValue:
      op.resultRef.Load(ret);
      break;
    case kOpCall:
    case kOpReturn:
      StoreInto(op.resultRef, ret);
      break;
    default:
      ret.SetInt(r);
      StoreInto(op.resultRef, ret);
      break;
  }
}

// Braces only pass on to the next statement: they are stepped over without a
// dispatch, keeping what their own run leaves behind (the loop's record of
// the statement before, a 0 in _retVal). One that the debugger may stop at
// runs as a statement.
[[gnu::always_inline]] inline TagOper* StepOverBraces(TagOper* op, TagOper*& last, TagVar& retVal) {
  TagOper* const first = last;
  while (op && op->IsPlainBraceToStepOver()) {
    op->prev = last;
    last = op;
    // Only the compiler's block statements carry these kinds: their jumps
    // are known without a virtual call.
    op = op->kind == kOpBlockClose ? static_cast<TagEnd*>(op)->TagEnd::Next() : op->next;
  }
  if (last != first) retVal.SetInt(0);
  return op;
}

// A main script passes round its list again, takes its quit and hang-up
// sections and serves hang-up requests; a function body ends at its list's end
// and returns to its caller for those jumps.
enum class LoopOf { kMain, kBody };

// The statement loop of main scripts and function bodies. `self` runs its
// operations from self.curOper; `state` holds the pause, quit and section
// fields (a body's owner). The result of the last statement.
template <LoopOf kOf>
int RunStatements(TagTelBasic& self, TagTelBasic& state, TagTelBasic& root, const TagRunPublisher& pub,
                  TagOper* last, bool pauseNext) {
  constexpr bool kBody = kOf == LoopOf::kBody;
  TagVar& retVal = self.RetVal();
  std::atomic<uint32_t>& attn = *self.attention;
  TagKxCall& call = *self.callObject;
  int r = 0;
  bool cleared = false;
  bool running = true;
  while (running) {
    if (!pauseNext) self.curOper = StepOverBraces(self.curOper, last, retVal);
    if (!self.curOper) {
      if (kBody || self.quitRequested.load()) break;
      self.curOper = self.operations.front();
      // A new pass: loops entered again start afresh.
      last = nullptr;
    }
    TagOper* op = self.curOper;
    op->prev = last;
    self.curOperIndex.store(op->index, std::memory_order_relaxed);
    if constexpr (kBody)
      pub.Sub(self.runSourceBase + op->index, op->index, self.runSourceBase, IsCall(op), IsCall(last));
    else
      pub.Main(self.runSourceBase + op->index);
    if (op->HasBreakpoint() | pauseNext) {
      if (op->HasBreakpoint()) {
        state.paused = 1;
        state.stepping = 0;
      }
      state.WaitWhilePaused();
      pauseNext = false;
    }
    op->RunPreExpressions();
    r = op->Execute();
    StoreResult(retVal, *op, r);
    last = op;
    if (op->kind == kOpReturn) break;
    // Most statements find the word clear: nothing was asked of the line.
    const bool attend = attn.load(std::memory_order_relaxed) != 0;
    if (attend) {
      attn.exchange(0);
      cleared = true;
    }
    root.timers.Poll();
    if constexpr (!kBody) call.ServeHangupRequest();
    self.curOper = op->Following();
    if (kBody && !self.curOper) break;
    bool pending = false;
    if (attend) {
      const TagTelBasic* outer = state.nested ? state.outer : nullptr;
      const bool raw = (state.quitRequested.load() | state.reloadRequested.load() |
                        (outer ? outer->quitRequested.load() | outer->reloadRequested.load() : 0)) != 0;
      pending = raw && state.QuitOrReloadPending();
      // The main loop has a jump to make: a body returns to it.
      if (kBody && pending && state.runState != kRunQuitSection) break;
      pauseNext = state.paused.load() != 0;
      if (raw || pauseNext) attn.store(1, std::memory_order_relaxed);
      if constexpr (kBody) {
        if (self.stopRequested.load() || root.hardStop.load() || root.lineStopping.load()) break;
      } else if (self.hardStop.load() || (self.nested && root.hardStop.load())) {
        running = false;
      }
    }
    if constexpr (kBody) {
      if (state.hangupIndex > 0 && call.callState.load() == kCallReleased && state.runState != kRunQuitSection) break;
    } else if (pending && self.quitIndex > 0 && self.runState != kRunQuitSection) {
      if (self.IsReloadPending() || (self.nested && self.outer && self.outer->IsReloadPending()))
        call.LogAlways("IsReload..., quitindex=" + std::to_string(self.quitIndex));
      self.curOper = self.operations[static_cast<size_t>(self.quitIndex)];
    } else if (pending && self.quitIndex <= 0) {
      LogAlways("sysQuitIndex<=0");
      break;
    } else if (!pending && self.hangupIndex > 0 && call.callState.load() == kCallReleased &&
               self.runState != kRunQuitSection) {
      self.curOper = self.operations[static_cast<size_t>(self.hangupIndex)];
    }
  }
  // The loop that called in here reads the flags again.
  if (cleared) attn.store(1);
  return r;
}

// Maps held by variables are released when a run ends. A function body keeps
// its _retVal: it is the call's result, which the call hands to its caller
// and then releases.
void ReleaseMaps(TagTelBasic& inst, bool keepRetVal = false) {
  for (size_t i = 0; i < inst.variables.size(); ++i) {
    auto& v = inst.variables[i];
    if (keepRetVal && i == static_cast<size_t>(TagTelBasic::kRetVal)) continue;
    if (v && v->IsMap()) v->SetInt(0);
  }
}

}  // namespace

void ScriptSrand(uint32_t seed) { t_randState = seed; }

int ScriptRand() {
  t_randState = t_randState * 22695477u + 1u;
  return static_cast<int>((t_randState >> 16) & 0x7fff);
}

bool TagTelBasic::QuitOrReloadPending() const {
  if (quitRequested.load() || IsReloadPending()) return true;
  return nested && outer && (outer->quitRequested.load() || outer->IsReloadPending());
}

int TagTelBasic::Run() {
  caller = nullptr;
  if (initResult != 0) return -1;
  // Seeded afresh each time a main script starts on the line.
  if (!nested) ScriptSrand(plat::TickCount());
  DispLineState(lineNo, GBK("运行"));
  if (!nested) LogAlwaysF("%d Run: tId:[0x%lx], '%s'", lineNo, plat::ThreadId(), scriptFile.c_str());
  stopRequested = 0;
  hardStop = 0;
  if (operations.empty()) {
    stopRequested = 1;
    hardStop = 1;
  } else {
    curOper = operations.front();
  }
  // A stop of the line that came before the run started is not lost.
  if (lineStopping.load() || (outer && outer->lineStopping.load())) {
    stopRequested = 1;
    hardStop = 1;
  }
  if (callObject) {
    callObject->interrupted = 0;
    if (lineStopping.load()) callObject->interrupted = 1;
  }
  runEnded = 0;
  quitRequested = 0;
  if (!nested && callObject) callObject->callState = kCallNone;
  // A nested script started from its caller's hang-up section finds the call
  // handled already; only a release its own section handles goes back.
  const bool callerInSection = nested && callObject && callObject->callState.load() == kCallHungUpSection;
  if (!nested) {
    auto make = SpeechHooks().makeFileSpeaker;
    msTts = make ? make() : nullptr;
  }
  PublishRunSource(*this);

  TagTelBasic& root = *Root();
  // The line's grid slot, looked up once: the top script's while one runs.
  std::optional<TagRunPublisher> ownPublisher;
  const TagRunPublisher* pub = root.runPublisher;
  if (!pub || &root == this) {
    pub = &ownPublisher.emplace(lineNo);
    if (&root == this) runPublisher = pub;
  }
  TagOper* last = nullptr;
  const bool pauseNext = paused.load(std::memory_order_relaxed) != 0;
  bool running = !hardStop.load() && !(nested && root.hardStop.load());
  if (running && !callObject) {
    LogAlways("pKxCall==NULL");
    running = false;
  }
  const int r = running ? RunStatements<LoopOf::kMain>(*this, *this, root, *pub, last, pauseNext) : 0;
  if (ownPublisher && runPublisher == pub) runPublisher = nullptr;
  ReleaseMaps(*this);
  if (nested && !callerInSection && callObject && callObject->callState.load() == kCallHungUpSection)
    callObject->callState = kCallReleased;
  curOperIndex = -1;
  runEnded = 1;
  if (!nested) DispLineState(lineNo, GBK("已停止"));
  if (nested && outer) PublishRunSource(*outer);
  // Only this instance's own sink: a nested script prints into its caller's,
  // which stays open for the caller.
  stdOut.Close();
  return r;
}

int TagTelBasic::RunFunction(TagTelBasic* callingInstance) {
  caller = callingInstance;
  if (initResult != 0) return -1;
  TagTelBasic& owner = parent ? *parent : *this;
  // Every call ends with no map in the body's variables: unless one was made
  // on this thread meanwhile, there is nothing to walk for. The first call
  // walks whatever the compile left.
  const uint32_t mapsBefore = TagVar::MapsMadeOnThread() - (runRoot ? 0u : 1u);
  // The chain to the root is fixed once the body is compiled.
  if (!runRoot) runRoot = Root();
  TagTelBasic& root = *runRoot;
  TagOper* const first = operations.empty() ? nullptr : operations.front();
  // Per call: plain stores, no fences (other threads only look at these).
  stopRequested.store(first ? 0 : 1, std::memory_order_relaxed);
  curOper = first;
  lineNo = owner.lineNo;
  callObject = owner.callObject;
  runEnded.store(0, std::memory_order_relaxed);
  curOperIndex.store(0, std::memory_order_relaxed);
  quitRequested.store(0, std::memory_order_relaxed);
  TagVar& retVal = RetVal();
  // The grid slot is the running top script's; a call from elsewhere (a
  // timer before the main run) looks its own up.
  std::optional<TagRunPublisher> ownPublisher;
  const TagRunPublisher* pub = root.runPublisher;
  if (!pub) pub = &ownPublisher.emplace(lineNo);
  TagOper* last = nullptr;
  const bool pauseNext = owner.paused.load(std::memory_order_relaxed) != 0;
  const bool running = first && callObject && !root.hardStop.load(std::memory_order_relaxed) &&
                       !root.lineStopping.load(std::memory_order_relaxed);
  if (!bodyEntryKnown_) {
    bodyEntryKnown_ = true;
    bodyEntry_ = first && first->kind == kOpBlockOpen ? first->next : nullptr;
  }
  // The opening brace stepped over as StepOverBraces would, with the
  // statement after it known without going through the list.
  if (running && bodyEntry_ && !pauseNext && first->IsPlainBraceToStepOver()) {
    first->prev = nullptr;
    last = first;
    retVal.SetInt(0);
    curOper = bodyEntry_;
  }
  if (running) RunStatements<LoopOf::kBody>(*this, owner, root, *pub, last, pauseNext);
  if (TagVar::MapsMadeOnThread() != mapsBefore) ReleaseMaps(*this, true);
  curOperIndex.store(-1, std::memory_order_relaxed);
  runEnded.store(1, std::memory_order_release);
  return 0;
}
