#include "engine/call.h"

#include <atomic>
#include <memory>

#include "engine/flow.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "core/log.h"

namespace {

// What a re-entrant call would overwrite: one set of parameters, variables,
// loop states and position per body.
struct BodySnapshot {
  std::vector<TagVar> params;
  std::vector<TagVar> vars;
  std::vector<std::unique_ptr<TagWhile::State>> loops;
  std::vector<TagOper*> prevs;
  TagOper* curOper = nullptr;
  int curOperIndex = -1;
  uint8_t runEnded = 0;
  TagTelBasic* caller = nullptr;

  static void Copy(std::vector<TagVar>& to, const std::vector<std::unique_ptr<TagVar>>& from) {
    to.resize(from.size());
    for (size_t i = 0; i < from.size(); ++i)
      if (from[i]) to[i].Assign(*from[i]);  // a map gains a reference while saved
  }
  static void Put(std::vector<std::unique_ptr<TagVar>>& to, std::vector<TagVar>& from) {
    for (size_t i = 0; i < from.size() && i < to.size(); ++i) {
      if (to[i] && !to[i]->IsConst()) to[i]->Assign(from[i]);
      from[i].SetInt(0);
    }
  }
  void Save(const TagTelBasic& b) {
    Copy(params, b.params);
    Copy(vars, b.variables);
    for (TagOper* op : b.operations) {
      prevs.push_back(op->prev);
      auto* loop = dynamic_cast<TagWhile*>(op);
      loops.push_back(loop ? loop->SaveState() : nullptr);
    }
    curOper = b.curOper;
    curOperIndex = b.curOperIndex.load();
    runEnded = b.runEnded.load();
    caller = b.caller;
  }
  void Restore(TagTelBasic& b) {
    Put(b.params, params);
    Put(b.variables, vars);
    for (size_t i = 0; i < b.operations.size() && i < loops.size(); ++i) {
      b.operations[i]->prev = prevs[i];
      if (loops[i]) static_cast<TagWhile*>(b.operations[i])->RestoreState(*loops[i]);
    }
    b.curOper = curOper;
    b.curOperIndex = curOperIndex;
    b.runEnded = runEnded;
    b.caller = caller;
  }
};

}  // namespace

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

// A body called while a call of it is still running: its state is saved
// around the inner call. Results are taken before the outer call's state
// comes back, and copied after it, so they land in the outer call's variables.
int TagCall::ExecuteReentrant(TagTelBasic* body, TagTelBasic* root) {
  const int argc = static_cast<int>(args_.size());
  auto saved = std::make_unique<BodySnapshot>();
  saved->Save(*body);
  for (int i = 0; i < argc; ++i) body->params[static_cast<size_t>(i)]->Assign(*args_[static_cast<size_t>(i)].var);

  ++root->callDepth;
  ++body->activeCalls;
  body->RunFunction(inst_);
  --body->activeCalls;
  --root->callDepth;

  std::vector<TagVar> results(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    TagVar& p = *body->params[static_cast<size_t>(i)];
    results[static_cast<size_t>(i)].Assign(p);
    if (p.IsMap()) p.SetInt(0);
  }
  TagVar ret;
  ret.Assign(body->RetVal());
  saved->Restore(*body);
  for (int i = 0; i < argc; ++i) {
    const Arg& a = args_[static_cast<size_t>(i)];
    if (a.copyBack && !a.var->IsConst()) a.var->Assign(results[static_cast<size_t>(i)]);
    results[static_cast<size_t>(i)].SetInt(0);
  }
  const int r = inst_->SetReturnValue(ret);
  ret.SetInt(0);
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

