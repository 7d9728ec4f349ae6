#include "engine/debugsvc.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "engine/oper.h"
#include "engine/telbasic.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

constexpr int kPageFlags = 4096;
std::atomic<uint8_t> pageOpen[kPageFlags];

void AddEntry(TagDebugSnapshot& snap, const TagVar& v, int origin, int position, const std::string& name,
              const std::string& note) {
  TagDebugVar e;
  e.name = name;
  e.origin = origin;
  e.position = position;
  e.note = note;
  std::string typeName;
  v.TypeName(typeName, e.value);
  static const std::string kinds[] = {GBK("参数: "), GBK("常量: "), GBK("变量: ")};
  e.kind = kinds[origin] + typeName;
  snap.vars.push_back(std::move(e));
}

std::shared_ptr<const TagDebugSnapshot> Snapshot(const TagTelBasic& inst) {
  std::shared_ptr<TagDebugSnapshot> snap = std::make_shared<TagDebugSnapshot>();
  int n = std::min<int>(inst.paramCount, static_cast<int>(std::min(inst.params.size(), inst.paramNames.size())));
  for (int i = 0; i < n; ++i)
    if (inst.params[i]) AddEntry(*snap, *inst.params[i], TagDebugVar::kParam, i, inst.paramNames[i], GBK("参数"));
  // Unnamed values are literals: nothing the debugger can name.
  int pos = 0;
  for (const auto& v : inst.variables)
    if (v && v->IsConst() && !v->Name().empty()) AddEntry(*snap, *v, TagDebugVar::kConst, pos++, v->Name(), "");
  pos = 0;
  for (const auto& v : inst.variables)
    if (v && !v->IsConst() && !v->Name().empty()) AddEntry(*snap, *v, TagDebugVar::kVar, pos++, v->Name(), "");
  return snap;
}

}  // namespace

const TagDebugVar* TagDebugSnapshot::Find(std::string_view name) const {
  for (const TagDebugVar& v : vars)
    if (v.name == name) return &v;
  return nullptr;
}

void OrderDebugVars(std::vector<TagDebugVar>& vars, TagVarOrder order) {
  switch (order) {
    case TagVarOrder::kByName:
      std::stable_sort(vars.begin(), vars.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
      break;
    case TagVarOrder::kByNameReverse:
      std::stable_sort(vars.begin(), vars.end(), [](const auto& a, const auto& b) { return a.name > b.name; });
      break;
    case TagVarOrder::kPositionReversed:
      std::reverse(vars.begin(), vars.end());
      break;
    case TagVarOrder::kUnsorted:
      break;
  }
}

void SetDebugPageOpen(int line, bool open) {
  if (line >= 0 && line < kPageFlags) pageOpen[line] = open ? 1 : 0;
}

bool IsDebugPageOpen(int line) { return line >= 0 && line < kPageFlags && pageOpen[line].load() != 0; }

void TagTelBasic::WaitWhilePaused() {
  if (!paused.load()) return;
  const TagTelBasic& root = *GetRoot(this);
  auto stop = [&] {
    return stopRequested.load() || hardStop.load() || root.stopRequested.load() || root.hardStop.load() ||
           root.lineStopping.load() || lineStopping.load();
  };
  if (!stop() && !stepping.load()) {
    PublishDebugSnapshot();
    while (!stop() && !stepping.load() && paused.load()) plat::SleepMs(100);
  }
  stepping = 0;
}

void TagTelBasic::SetBreakpoint(int index, bool flag) {
  std::lock_guard<std::mutex> g(debugLock);
  if (index < 0 || static_cast<size_t>(index) >= operations.size()) return;
  operations[static_cast<size_t>(index)]->SetBreakpoint(flag);
}

bool TagTelBasic::HasBreakpoint(int index) const {
  std::lock_guard<std::mutex> g(debugLock);
  if (index < 0 || static_cast<size_t>(index) >= operations.size()) return false;
  return operations[static_cast<size_t>(index)]->HasBreakpoint();
}

void TagTelBasic::ClearBreakpoints() {
  {
    std::lock_guard<std::mutex> g(debugLock);
    for (TagOper* op : operations) op->SetBreakpoint(false);
  }
  for (TagTelBasic* f : functions) f->ClearBreakpoints();
}

void TagTelBasic::PublishDebugSnapshot() {
  std::shared_ptr<const TagDebugSnapshot> mine = Snapshot(*this);
  {
    std::lock_guard<std::mutex> g(debugLock);
    debugSnapshot = std::move(mine);
  }
  for (TagTelBasic* f : functions) f->PublishDebugSnapshot();
  debugRefreshes.fetch_add(1);
}

std::shared_ptr<const TagDebugSnapshot> TagTelBasic::DebugSnapshot() const {
  std::lock_guard<std::mutex> g(debugLock);
  return debugSnapshot;
}

int TagTelBasic::FindVarText(std::string_view varName, std::string& note, std::string& value,
                             std::string& kind) const {
  std::shared_ptr<const TagDebugSnapshot> snap = DebugSnapshot();
  const TagDebugVar* v = snap ? snap->Find(varName) : nullptr;
  if (!v) {
    value = GBK("变量名不存在.");
    kind.clear();
    note.clear();
    return -1;
  }
  value = v->value;
  kind = v->kind;
  note = v->note;
  return 0;
}

void TagTelBasic::GetOperWatchText(int index, std::string& out) const {
  out.clear();
  std::string text;
  {
    std::lock_guard<std::mutex> g(debugLock);
    if (index < 0 || static_cast<size_t>(index) >= operations.size()) return;
    text = operations[static_cast<size_t>(index)]->text;
  }
  std::string note, value, kind;
  for (const std::string& varName : StatementNames(text)) {
    int r = FindVarText(varName, note, value, kind);
    if (r < 0 && parent) r = parent->FindVarText(varName, note, value, kind);
    if (r < 0) continue;
    if (!out.empty()) out += '\n';
    out += varName;
    out += ": ";
    out += value;
  }
}

void TagTelBasic::ShowFunctionName(TagCaptionControl& control) const {
  if (!parent || definitionText.empty()) {
    control.SetCaption("_main_");
    return;
  }
  control.SetCaption(definitionText);
}
