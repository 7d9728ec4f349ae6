#include "engine/runtimecompile.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "engine/call.h"
#include "engine/debugsvc.h"
#include "engine/expr.h"
#include "engine/opfactory.h"
#include "engine/stdout.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "engine/timers.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "platform/msgbox.h"

namespace {

std::string TextOf(const TagVar& v) { return v.IsString() ? std::string(v.Text()) : v.ToText(); }

}  // namespace

int TagEval::Execute() {
  TagTelBasic* counterOwner = root_->CompileRoot();
  const int savedCounter = counterOwner->tempCounter;
  const uint8_t savedMode = root_->runtimeCompile;
  const std::string expr = TextOf(Arg(0));
  root_->runtimeCompile = 1;
  {
    TagComplexExpre ce(expr, root_, "_tempVal", nullptr, std::string());
    root_->runtimeCompile = savedMode;
    if (ce.Error().empty()) {
      std::vector<TagCalculate*> steps = ce.TakeSteps();
      for (TagCalculate* s : steps) s->Execute();
      root_->SetReturnValue(root_->TempVal());
      for (TagCalculate* s : steps) delete s;
    } else {
      LogAlways("Eval(" + expr + ") :" + ce.Error() + "," + ce.Warning());
      root_->RetVal().SetNull();
    }
  }
  // The same temporaries serve the next evaluation.
  counterOwner->tempCounter = savedCounter;
  return root_->RetVal().IntValue();
}

TagRunLine::TagRunLine(TagTelBasic* root, TagVar* line) : TagArgOper({line}, root) {
  // Any function may be called from a line compiled later.
  root_->pruneFunctions = 0;
}

int TagRunLine::Execute() {
  const std::string line = TextOf(Arg(0));
  TagTelBasic& root = *root_;
  const size_t before = root.operations.size();
  int compiled = 0;
  root.runtimeCompile = 1;
  TagOper* op = root.CompileDetached(line, lineNo, compiled);
  root.runtimeCompile = 0;
  // Only an operation that was really added runs: a refused statement, a
  // compile error or a line that builds nothing all give -999.
  if (!op) {
    if (compiled == TagTelBasic::kDetachedRefused) LogAlwaysF("RunLine refused: [LINE=%d] %s", lineNo, line.c_str());
    return kRefused;
  }
  op->RunPreExpressions();
  const int result = op->Execute();
  root.RemoveOperationsFrom(before);
  return result;
}

int TagRunKxs::Execute() {
  TagTelBasic* top = TagTelBasic::GetRoot(root_);
  const std::string file = TextOf(Arg(0));
  if (top->nestedDepth >= kMaxDepth) {
    // The usual failure text first, so one log search finds every refusal.
    LogAlwaysF("RunKxs('%s') err: [LINE=%d] nested deeper than %d", file.c_str(), lineNo, kMaxDepth);
    return kRefused;
  }
  auto nested = std::make_unique<TagTelBasic>(file, top->lineNo, root_->callObject, 1, top);
  TagTelBasic* callerNested = top->runningNested;
  top->runningNested = nested.get();
  int result = kRefused;
  if (nested->initResult != 0) {
    LogAlwaysF("RunKxs('%s') err: [LINE=%d]", file.c_str(), lineNo);
  } else {
    // The nested script may change the line's voice settings for itself.
    std::string dirs[3] = {top->sndDirs[0], top->sndDirs[1], top->sndDirs[2]};
    const int language = top->language;
    const uint8_t breakOnKey = top->breakOnKey;
    const char endKey = top->endKey;
    const std::string timeoutVoice = top->timeoutVoice;
    const std::string sndExt = top->sndExt;
    ++top->nestedDepth;
    result = nested->Run();
    --top->nestedDepth;
    for (int i = 0; i < 3; ++i) top->sndDirs[i] = dirs[i];
    top->language = language;
    top->breakOnKey = breakOnKey;
    top->endKey = endKey;
    top->timeoutVoice = timeoutVoice;
    top->sndExt = sndExt;
  }
  // Timers its "StartTimer(" registered on the top script die with it.
  top->timers.RemoveOwnedBy(nested.get());
  top->runningNested = callerNested;
  nested.reset();
  return result;
}

int TagSetRunKxsEnvt::Execute() {
  const int v = Arg(0).AsInt();
  root_->importVars = v != 0 ? 1 : 0;
  return v;
}

int TagAssert::Execute() {
  const int v = Arg(0).AsInt();
  if (v != 0) return v;
  if (IsDebugPageOpen(root_->lineNo)) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "Assert Failed: line=%d, '", lineNo);
    constexpr int kSystemModal = 0x1000;
    TagTelBasic* root = root_;
    plat::MessageBox("Stop for Assert", msg + text + "'", plat::kBoxOk | plat::kBoxIconError | kSystemModal, [root] {
      return root->stopRequested.load() || root->hardStop.load() || root->lineStopping.load();
    });
    root_->SetPaused(true);
    root_->WaitWhilePaused();
  } else {
    char msg[64];
    std::snprintf(msg, sizeof msg, "Assert Failed: line=%d", lineNo);
    if (root_->callObject)
      root_->callObject->LogAlways(msg);
    else
      LogAlways(msg);
  }
  return 0;
}

int TagSysTimers::Add(TagVar* fn, TagTelBasic* owner) {
  if (!fn || !fn->IsFunction() || !fn->Function()) return -1;
  auto call = std::make_unique<TagCall>(fn, owner);
  return Add(fn->Name(), std::move(call), owner);
}

TagStartTimer::TagStartTimer(TagTelBasic* root, TagTelBasic* inst, TagVar* fn, TagVar* seconds)
    : TagArgOper({fn, seconds}, root) {
  // Registered at compile time, so a timer started in a branch that never
  // runs still exists, disabled.
  root_->timers.Add(fn, inst);
}

namespace {

// A missing argument is null here and reads as the constant null in the operation.
TagVar* ArgAt(const TagOpArgs& a, size_t i) { return i < a.args.size() ? a.args[i] : nullptr; }

TagOper* MakeStartTimer(const TagOpArgs& a) { return new TagStartTimer(a.root, a.inst, ArgAt(a, 0), ArgAt(a, 1)); }
TagOper* MakeEval(const TagOpArgs& a) { return new TagEval(a.inst, ArgAt(a, 0)); }
TagOper* MakeRunLine(const TagOpArgs& a) { return new TagRunLine(a.root, ArgAt(a, 0)); }
TagOper* MakeRunKxs(const TagOpArgs& a) {
  TagTelBasic* defining = a.inst->parent ? a.inst->parent : a.inst;
  return new TagRunKxs(defining, ArgAt(a, 0));
}

}  // namespace

const TagOpTable& RuntimeOperations() {
  static const TagOpTable entries = {
      {KeywordId::Print, MakeLineOper<TagPrint>},
      {KeywordId::SetPrintTo, MakeLineOper<TagSetPrintTo>},
      {KeywordId::StartTimer, MakeStartTimer},
      {KeywordId::StopTimer, MakeLineOper<TagStopTimer>},
      {KeywordId::Eval, MakeEval},
      {KeywordId::RunLine, MakeRunLine},
      {KeywordId::RunKxs, MakeRunKxs},
      {KeywordId::SetRunKxsEnvt, MakeLineOper<TagSetRunKxsEnvt>},
      {KeywordId::Assert, MakeLineOper<TagAssert>},
  };
  return entries;
}
