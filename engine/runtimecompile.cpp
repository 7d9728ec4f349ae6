#include "engine/runtimecompile.h"

#include <cstdio>
#include <memory>
#include <string>

#include "engine/debugsvc.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "host/log.h"
#include "lines/kxcall.h"
#include "platform/msgbox.h"

namespace {

std::string TextOf(const TagVar& v) { return v.IsString() ? std::string(v.Text()) : v.ToText(); }

}  // namespace

int TagRunKxs::Execute() {
  TagTelBasic* top = TagTelBasic::GetRoot(defining_);
  const std::string file = TextOf(*file_);
  if (top->nestedDepth >= kMaxDepth) {
    LogAlwaysF("RunKxs('%s') err: nested deeper than %d [LINE=%d]", file.c_str(), kMaxDepth, lineNo);
    return kRefused;
  }
  auto nested = std::make_unique<TagTelBasic>(file, top->lineNo, defining_->callObject, 1, top);
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
  const int v = flag_->AsInt();
  root_->importVars = v != 0 ? 1 : 0;
  return v;
}

int TagAssert::Execute() {
  const int v = cond_->AsInt();
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

