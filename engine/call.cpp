#include "engine/call.h"

#include <atomic>
#include <memory>

#include "engine/flow.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "core/log.h"

int TagCall::Fail(int code) {
  inst_->SetReturnValue(TagVar::Int(code));
  return code;
}

bool TagCall::ListWrites(std::vector<const TagVar*>& out) const {
  for (const Arg& a : args_)
    if (a.copyBack) out.push_back(a.var);
  return true;
}

const std::vector<uint8_t>& TagTelBasic::ParamWrites() {
  if (paramWritesKnown_) return paramWrites_;
  paramWritesKnown_ = true;
  std::vector<const TagVar*> written;
  bool known = true, calls = false;
  auto collect = [&written, &known, &calls](const TagOper& op, auto&& self) -> void {
    if (op.resultRef.var) written.push_back(op.resultRef.var);
    for (const TagOper* e : op.preExpressions) self(*e, self);
    if (!op.ListWrites(written)) known = false;
    // A function called from here may write any of the main script's values.
    if (dynamic_cast<const TagCall*>(&op)) calls = true;
  };
  for (const TagOper* op : operations) collect(*op, collect);
  paramWrites_.assign(params.size(), known ? 0 : 1);
  for (size_t i = 0; known && i < params.size(); ++i)
    for (const TagVar* v : written)
      if (v == params[i].get()) paramWrites_[i] = 1;
  // Anything outside the body's own values that it may write: an argument
  // could be one of them, and the copy-back would then undo that write.
  writesOutside_ = !known || calls;
  for (size_t k = 0; !writesOutside_ && k < written.size(); ++k) {
    const TagVar* v = written[k];
    bool own = false;
    for (const auto& p : params) own = own || p.get() == v;
    for (const auto& l : variables) own = own || l.get() == v;
    writesOutside_ = !own;
  }
  return paramWrites_;
}

int TagCall::Bind(TagTelBasic* body) {
  if (!body) {
    LogAlwaysF("Var : '%s' is not function-type : [LINE=%d:%s]", fn_->Name().c_str(), lineNo, text.c_str());
    return Fail(-1);
  }
  const int argc = static_cast<int>(args_.size());
  if (argc != body->paramCount) {
    LogAlwaysF("function calling err: '%s()' must '%d' paras, real paras only: %d. [FILE=%s:LINE=%d:%s]",
               body->name.c_str(), body->paramCount, argc, body->scriptFile.c_str(), lineNo, text.c_str());
    return Fail(-2);
  }
  if (!root_) root_ = TagTelBasic::GetRoot(inst_);
  const std::vector<uint8_t>& writes = body->ParamWrites();
  boundArgs_.clear();
  for (size_t i = 0; i < args_.size(); ++i) {
    // A parameter the body never writes holds what was copied in, so its
    // copy-back changes nothing, unless the argument was written meanwhile
    // (by the body outside its own values) or is passed twice (the last
    // copy-back decides).
    bool twice = false;
    for (size_t j = 0; j < args_.size(); ++j) twice = twice || (j != i && args_[j].var == args_[i].var);
    const bool needed = writes[i] != 0 || body->WritesOutside() || twice;
    boundArgs_.push_back({args_[i].var, body->params[i].get(), args_[i].copyBack && needed, args_[i].copyBack});
  }
  bound_ = body;
  return 0;
}

int TagCall::Execute() {
  TagTelBasic* body = fn_->IsFunction() ? fn_->Function() : nullptr;
  if (body != bound_ || !body) {
    const int r = Bind(body);
    if (r != 0) return r;
  }
  TagTelBasic* root = root_;
  if (root->callDepth >= kMaxDepth) {
    LogAlwaysF("function calling err: '%s()' nested deeper than %d calls. [FILE=%s:LINE=%d:%s]", body->name.c_str(),
               kMaxDepth, body->scriptFile.c_str(), lineNo, text.c_str());
    return Fail(-3);
  }
  if (body->activeCalls > 0) return ExecuteReentrant(body, root);
  for (const Bound& b : boundArgs_) b.param->Assign(*b.arg);

  ++root->callDepth;
  ++body->activeCalls;
  body->RunFunction(inst_);
  --body->activeCalls;
  --root->callDepth;

  // Value-result: arguments that are not const receive the parameters the
  // body may have written; a map left in a parameter is released.
  const bool timers = root->timers.EnabledCount() != 0;
  for (const Bound& b : boundArgs_) {
    if ((b.copyBack || (timers && b.copyIfTimers)) && !b.arg->IsConst()) b.arg->Assign(*b.param);
    if (b.param->IsMap()) b.param->SetInt(0);
  }
  TagVar& ret = body->RetVal();
  const int r = inst_->SetReturnValue(ret);
  // The body kept its result for this hand-over; a map held there goes now.
  if (ret.IsMap()) ret.SetInt(0);
  return r;
}

TagCallFrames& TagCall::FramesOf(TagTelBasic& body) {
  if (!body.callFrames) body.callFrames = std::make_unique<TagCallFrames>();
  TagCallFrames& f = *body.callFrames;
  // A body's list and values are fixed once compiled; only a frame-less
  // body would see them change.
  if (f.top == 0 && (f.listChanges != body.listChanges || f.varCount != body.variables.size() ||
                     f.paramCount != body.params.size())) {
    f.listChanges = body.listChanges;
    f.varCount = body.variables.size();
    f.paramCount = body.params.size();
    f.slots.clear();
    f.loops.clear();
    f.frames.clear();
    // Constants ignore writes: nothing of theirs to put aside.
    for (const auto* list : {&body.params, &body.variables})
      for (const auto& v : *list)
        if (v && !v->IsConst()) f.slots.push_back(v.get());
    for (TagOper* op : body.operations)
      if (auto* loop = dynamic_cast<TagWhile*>(op)) f.loops.push_back(loop);
  }
  return f;
}

// A body called while a call of it is still running: the running call's
// values and loop states go into a frame of the body around the inner call.
// Results are taken before they come back, and copied after, so they land in
// the outer call's variables.
int TagCall::ExecuteReentrant(TagTelBasic* body, TagTelBasic* root) {
  TagCallFrames& frames = FramesOf(*body);
  if (frames.top == frames.frames.size()) {
    auto fr = std::make_unique<TagCallFrames::Frame>();
    fr->values.resize(frames.slots.size());
    for (TagWhile* loop : frames.loops) fr->loops.push_back(loop->NewState());
    fr->prevs.resize(frames.loops.size());
    frames.frames.push_back(std::move(fr));
  }
  TagCallFrames::Frame& fr = *frames.frames[frames.top++];
  // The inner call starts with the values as the running one left them.
  // (Locals for the counts and arrays: the writes through TagVar& could
  // alias them, and would have them read again per value.)
  TagVar* const* const slots = frames.slots.data();
  TagVar* const saved = fr.values.data();
  const size_t slotCount = frames.slots.size();
  for (size_t i = 0; i < slotCount; ++i) saved[i].Assign(*slots[i]);
  for (size_t i = 0; i < frames.loops.size(); ++i) {
    fr.prevs[i] = frames.loops[i]->prev;
    frames.loops[i]->PutAside(*fr.loops[i]);
  }
  fr.curOper = body->curOper;
  fr.curOperIndex = body->curOperIndex.load(std::memory_order_relaxed);
  fr.runEnded = body->runEnded.load(std::memory_order_relaxed);
  fr.caller = body->caller;

  const size_t argc = args_.size();
  for (size_t i = 0; i < argc; ++i) body->params[i]->Assign(*args_[i].var);

  ++root->callDepth;
  ++body->activeCalls;
  body->RunFunction(inst_);
  --body->activeCalls;
  --root->callDepth;

  if (fr.results.size() < argc) fr.results.resize(argc);
  for (size_t i = 0; i < argc; ++i) {
    TagVar& p = *body->params[i];
    if (args_[i].copyBack) fr.results[i].Assign(p);
    if (p.IsMap()) p.SetInt(0);
  }
  fr.ret.Assign(body->RetVal());

  for (size_t i = 0; i < slotCount; ++i) {
    TagVar& v = *slots[i];
    if (!v.IsConst()) v.Assign(saved[i]);
    if (saved[i].IsMap()) saved[i].SetInt(0);
  }
  for (size_t i = 0; i < frames.loops.size(); ++i) {
    frames.loops[i]->prev = fr.prevs[i];
    frames.loops[i]->TakeBack(*fr.loops[i]);
  }
  body->curOper = fr.curOper;
  body->curOperIndex.store(fr.curOperIndex, std::memory_order_relaxed);
  body->runEnded.store(fr.runEnded, std::memory_order_relaxed);
  body->caller = fr.caller;
  --frames.top;

  for (size_t i = 0; i < argc; ++i) {
    const Arg& a = args_[i];
    if (!a.copyBack) continue;
    if (!a.var->IsConst()) a.var->Assign(fr.results[i]);
    if (fr.results[i].IsMap()) fr.results[i].SetInt(0);
  }
  const int r = inst_->SetReturnValue(fr.ret);
  if (fr.ret.IsMap()) fr.ret.SetInt(0);
  return r;
}

namespace {
std::atomic<TagDllCallHandler> g_dllCallHandler{nullptr};
}  // namespace

void SetDllCallHandler(TagDllCallHandler handler) { g_dllCallHandler.store(handler); }

int TagDllCall::Execute() {
  if (TagDllCallHandler handler = g_dllCallHandler.load()) return handler(TagTelBasic::GetRoot(inst_), name_, args_);
  if (!logged_) {
    logged_ = true;
    LogAlwaysF("DLL function '%s' is not available [LINE=%d]", name_.c_str(), lineNo);
  }
  return -1;
}

