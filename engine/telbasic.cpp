#include "engine/telbasic.h"

#include <cstdio>

#include "engine/call.h"
#include "engine/lineservices.h"
#include "engine/oper.h"
#include "core/cpumeter.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "engine/speechhooks.h"
#include "platform/path.h"
#include "platform/tick.h"
#include "platform/scriptfds.h"
#include "platform/socketbase.h"

std::atomic<int> scriptLinesCount{0};

namespace {

// Function values print as "function <name>".
void InstallFunctionNames() {
  static const bool installed = [] {
    TagVar::SetFunctionNameHook([](const TagTelBasic* body) { return body ? body->name : std::string(); });
    return true;
  }();
  (void)installed;
}

// Directory part of a script file name ("" when none), with its separator.
std::string DirOf(const std::string& file) {
  size_t cut = file.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : file.substr(0, cut + 1);
}

std::string BaseOf(const std::string& file) {
  size_t cut = file.find_last_of("\\/");
  return cut == std::string::npos ? file : file.substr(cut + 1);
}

}  // namespace

TagTelBasic::TagTelBasic(const std::string& file, int line, TagKxCall* call, int mode, TagTelBasic* outerScript)
    : TagCompileDiag(line, mode != 0, outerScript != nullptr),
      outer(outerScript),
      services_(std::make_unique<TagLineServices>()) {
  // A nested script shares its top script's word: one line, one thread.
  if (outerScript) attention = outerScript->attention;
  callObject = call;
  BindRunFlags();
  // Many lines loading at once can saturate the machine: let the first go,
  // pace the others by the process's own processor use.
  if (line > 0 && mode == 1 && !outerScript) {
    WaitWhileCpuBusy(20, 45, [this] { return stopRequested.load() != 0; });
  }
  NetStartup();
  InstallFunctionNames();
  scriptFile = file;
  name = "_main_";
  callObject = call;
  DeleteReport();
  if (!call || call->callState < -1) {
    // No usable call object: nothing is compiled and the script never runs.
    initResult = -2;
    return;
  }
  AddBuiltins();
  if (outerScript && outerScript->importVars) {
    for (const auto& v : outerScript->variables) ImportVar(*v);
  }
  constructing_ = true;
  CompileMain();
  constructing_ = false;
}

TagTelBasic::TagTelBasic(const std::string& file, const std::string& functionName, TagTelBasic* parentScript)
    : TagCompileDiag(*parentScript), parent(parentScript) {
  attention = parentScript->attention;
  callObject = parentScript->callObject;
  BindRunFlags();
  scriptFile = file;
  name = functionName;
  auto temp = std::make_unique<TagVar>();
  temp->DefineInt("_tempVal", 0, false);
  AddVariable(std::move(temp));
  auto ret = std::make_unique<TagVar>();
  ret->DefineInt("_retVal", -1, false);
  AddVariable(std::move(ret));
}

void TagTelBasic::BindRunFlags() {
  // A line asleep in a wait hears of a stop, quit or reload at once.
  plat::Wakeup* wake = callObject ? &callObject->wakeup : nullptr;
  for (TagRunFlag* f : {&quitRequested, &reloadRequested, &stopRequested, &hardStop, &lineStopping})
    f->Bind(attention, wake);
  paused.Bind(attention);
}

void TagTelBasic::AddBuiltins() {
  auto add = [this](auto define) {
    auto v = std::make_unique<TagVar>();
    define(*v);
    AddVariable(std::move(v));
  };
  add([](TagVar& v) { v.DefineInt("_tempVal", 0, false); });
  add([](TagVar& v) { v.DefineInt("_retVal", -1, false); });
  add([this](TagVar& v) { v.DefineInt("_lineNo", lineNo, true); });
  add([this](TagVar& v) { v.DefineInt("_lineType", callObject ? callObject->lineType.load() : 0, true); });
  add([](TagVar& v) { v.DefineInt("_linesCount", scriptLinesCount.load(), true); });
  add([this](TagVar& v) { v.DefineString("_kxsFile", BaseOf(scriptFile), true); });
  add([this](TagVar& v) { v.DefineString("_kxsDir", DirOf(scriptFile), true); });
  add([](TagVar& v) { v.DefineInt("true", 1, true); });
  add([](TagVar& v) { v.DefineInt("false", 0, true); });
  add([](TagVar& v) {
    v.SetName("NULL");
    v.SetConst(true);
  });
}

TagTelBasic::~TagTelBasic() {
  bool mainInstance = parent == nullptr;
  if (mainInstance && !nested && callObject) {
    for (int lang = 0; lang < 3; ++lang) {
      std::remove(plat::ResolvePath(PlayToFileName(lang)).c_str());
      std::remove(plat::ResolvePath(TtsFileName(lang)).c_str());
    }
  }
  // Bodies and nested scripts may go after their call object: no notice.
  stopRequested.Bind(attention);
  stopRequested = 1;
  if (mainInstance && !nested && callObject) callObject->interrupted = 1;
  if (services_) services_->CloseAll();
  DeleteOperationsAndVariables();
  services_.reset();
}

TagLineServices& TagTelBasic::Services() {
  TagTelBasic* main = this;
  while (main->parent) main = main->parent;
  return *main->services_;
}

void TagSocketSlot::Close() {
  // Only sockets still recorded for the line: a number closed elsewhere may
  // belong to someone else by now.
  for (int s : sockets) ScriptFdClose(s, ownerLine, ScriptFdKind::kTcp);
  sockets.clear();
}

void TagTelBasic::DeleteOperationsAndVariables() {
  for (TagOper* op : operations) {
    op->FreePreExpressions();
    delete op;
  }
  operations.clear();
  for (TagTelBasic* f : functions) delete f;
  functions.clear();
  // Maps are normally released by the run loop; a script that never ran (or
  // failed to compile after importing maps) must not leak them.
  for (auto& v : variables)
    if (v && v->IsMap() && !v->IsConst()) v->SetInt(0);
  for (auto& p : params)
    if (p && p->IsMap() && !p->IsConst()) p->SetInt(0);
  variables.clear();
  params.clear();
}

TagTelBasic* TagTelBasic::GetRoot(TagTelBasic* in) {
  if (!in) return nullptr;
  while (in->parent) in = in->parent;
  if (in->nested && in->outer) in = in->outer;
  return in;
}

void TagTelBasic::SetReload(bool flag) {
  reloadRequested = flag ? 1 : 0;
  if (IsReloadPending() && callObject) callObject->interrupted = 1;
}

bool TagTelBasic::IsReloadPending() const {
  return reloadRequested.load() != 0 && runLine != nullptr && callObject &&
         callObject->callState.load() != kCallConnected;
}

TagVar* TagTelBasic::AddVariable(std::unique_ptr<TagVar> v) {
  variables.push_back(std::move(v));
  return variables.back().get();
}

TagVar* TagTelBasic::FindVariable(std::string_view varName) const {
  for (const auto& v : variables)
    if (v && v->Name() == varName) return v.get();
  return nullptr;
}

void TagTelBasic::ImportVar(const TagVar& value) {
  if (value.IsFunction()) return;
  if (TagVar* mine = FindVariable(value.Name())) {
    mine->Assign(value);
    return;
  }
  auto copy = std::make_unique<TagVar>();
  copy->SetName(value.Name());
  copy->Assign(value);  // a map gains its reference as by assignment
  AddVariable(std::move(copy));
}

// The debugger reads the list from its own thread (under debugLock) while a
// run-time compile may grow and shrink it.
void TagTelBasic::AppendOperation(TagOper* op) {
  bodyEntryKnown_ = false;
  ++listChanges;
  // While its constructor compiles the file no other thread knows the
  // instance (nor its bodies) yet.
  if (CompileRoot()->constructing_) {
    operations.push_back(op);
    return;
  }
  std::lock_guard<std::mutex> g(debugLock);
  operations.push_back(op);
}

void TagTelBasic::RemoveOperationsFrom(size_t from) {
  std::lock_guard<std::mutex> g(debugLock);
  bodyEntryKnown_ = false;
  ++listChanges;
  while (operations.size() > from) {
    TagOper* op = operations.back();
    operations.pop_back();
    op->FreePreExpressions();
    delete op;
  }
}

const std::string& TagTelBasic::CurSndDir() const {
  const TagTelBasic* owner = parent ? parent : this;
  int lang = owner->language;
  if (lang < 0 || lang > 2) lang = 0;
  return owner->sndDirs[lang];
}

std::string TagTelBasic::PlayToFileName(int lang) const {
  const TagTelBasic* owner = parent ? parent : this;
  char num[16];
  std::snprintf(num, sizeof num, "%d", lineNo);
  return owner->sndDirs[lang < 0 || lang > 2 ? 0 : lang] + "t" + num + owner->sndExt;
}

std::string TagTelBasic::TtsFileName(int lang) const {
  const TagTelBasic* owner = parent ? parent : this;
  char num[16];
  std::snprintf(num, sizeof num, "%d", lineNo);
  return owner->sndDirs[lang < 0 || lang > 2 ? 0 : lang] + "tts" + num + owner->sndExt;
}

int TagTelBasic::SetPlayToFile(bool flag) {
  playToFile = flag ? 1 : 0;
  if (!flag) return 0;
  const TagTelBasic* owner = parent ? parent : this;
  FILE* f = plat::OpenFile(PlayToFileName(owner->language), "wb");
  if (!f) return -1;
  std::fclose(f);
  return 0;
}

int TagTelBasic::SetTtsPara(int mode, const std::string& para1, const std::string& para2) {
  ttsMode = mode;
  ttsPara1 = para1;
  ttsPara2 = para2;
  if (mode != 1) return 0;
  TagSpeechHooks hooks = SpeechHooks();
  if (!hooks.pinyinLoad) {
    LogAlways("SetTtsPara: no pinyin engine on this system");
    return -1;
  }
  return hooks.pinyinLoad(para1);
}

int TagTelBasic::PinyinSpeakToFile(const std::string& text, const std::string& file) {
  TagSpeechHooks hooks = SpeechHooks();
  if (!hooks.pinyinLoad || !hooks.pinyinToWave) {
    LogAlways("PinyinSpeakToFile: no pinyin engine on this system");
    return -1;
  }
  const TagTelBasic& root = *GetRoot(const_cast<TagTelBasic*>(this));
  // A library that failed to load is tried again; its result shows below.
  hooks.pinyinLoad(root.ttsPara1);
  return hooks.pinyinToWave(text, file);
}

int TagTelBasic::SapiSpeakToFile(const std::string& text, const std::string& file, int flag, int n) {
  TagTelBasic& root = *Root();
  if (!root.msTts) return -100;
  return root.msTts->SpeakToFile(text, file, flag, n);
}

int TagTelBasic::TcpConnectWait(int* socket, const std::string& host, int port, int seconds) {
  TcpConnectState state;
  uint32_t start = plat::TickCount();
  uint32_t limit = seconds > 0 ? static_cast<uint32_t>(seconds) * 1000u : 0u;
  while (true) {
    int r = TcpConnectAsync(socket, host, port, &state);
    if (r > 0) return 0;
    if (r < 0) return r;
    // The socket still connecting is the one to close: *socket holds none yet.
    if (plat::TickCount() - start > limit) {
      CloseSocket(state.socket);
      state.socket = kNoSocket;
      LogAlwaysF("TcpConnect Timeout: %s:%d, sec=%d", host.c_str(), port, seconds);
      return -9;
    }
    if (stopRequested.load() || QuitOrReloadPending()) {
      CloseSocket(state.socket);
      state.socket = kNoSocket;
      return -1;
    }
    plat::SleepMs(80);
  }
}
