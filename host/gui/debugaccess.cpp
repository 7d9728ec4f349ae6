#include "host/gui/debugaccess.h"

#include <algorithm>
#include <set>

#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "platform/text.h"

namespace dbgview {

namespace {
void CopyStatements(const TagTelBasic& body, std::vector<Stmt>* out) {
  out->reserve(body.operations.size());
  for (const TagOper* op : body.operations) {
    Stmt st;
    st.text = op->text;
    st.depth = std::max(op->depth, 0);
    st.index = op->index;
    st.lineNo = op->lineNo;
    st.next = op->next ? op->next->index : -1;
    st.owner = op->owner ? op->owner->index : -1;
    st.kind = op->kind;
    out->push_back(std::move(st));
  }
}
}  // namespace

#if __has_include("engine/debugsvc.h")

// The instance's own services: variables come from the snapshot its run
// thread publishes when it pauses.

namespace {
class Caption : public TagCaptionControl {
 public:
  void SetCaption(std::string_view text) override { text_ = text; }
  std::string text_;
};
}  // namespace

std::vector<Stmt> Statements(const TagTelBasic& body) {
  std::vector<Stmt> out;
  std::lock_guard<std::mutex> g(body.debugLock);
  CopyStatements(body, &out);
  return out;
}

bool IsPaused(const TagTelBasic& inst) { return inst.IsPaused(); }
void SetPaused(TagTelBasic& inst, bool flag) { inst.SetPaused(flag); }
void Step(TagTelBasic& inst) { inst.Step(); }
void SetBreakpoint(TagTelBasic& body, int index, bool flag) { body.SetBreakpoint(index, flag); }
bool HasBreakpoint(const TagTelBasic& body, int index) { return body.HasBreakpoint(index); }
void ClearBreakpoints(TagTelBasic& inst) { inst.ClearBreakpoints(); }

bool Vars(const TagTelBasic& body, std::vector<Var>* out) {
  out->clear();
  std::shared_ptr<const TagDebugSnapshot> snap = body.DebugSnapshot();
  if (!snap) return false;
  static const std::string kFunctionType = GBK("函数型");
  for (const TagDebugVar& v : snap->vars) {
    Var e;
    e.name = v.name;
    e.kind = v.kind;
    e.note = v.note;
    e.value = v.value;
    e.origin = v.origin;
    e.position = v.position;
    e.isFunction = v.kind.size() >= kFunctionType.size() &&
                   v.kind.compare(v.kind.size() - kFunctionType.size(), kFunctionType.size(), kFunctionType) == 0;
    out->push_back(std::move(e));
  }
  return true;
}

int FindVarText(const TagTelBasic& body, const std::string& name, std::string* note, std::string* value,
                std::string* kind) {
  return body.FindVarText(name, *note, *value, *kind);
}

std::string WatchText(const TagTelBasic& body, int index) {
  std::string out;
  body.GetOperWatchText(index, out);
  return out;
}

std::string FunctionName(const TagTelBasic& body) {
  Caption c;
  body.ShowFunctionName(c);
  return c.text_;
}

uint32_t RefreshCount(const TagTelBasic& inst) { return inst.debugRefreshes.load(); }

void SetPageOpen(int line, bool open) { SetDebugPageOpen(line, open); }

#else

namespace {

// The values of a script are its run thread's; the GUI reads them only while
// that thread is parked in its pause or has left its run.
bool Readable(const TagTelBasic& body) {
  const TagTelBasic* root = TagTelBasic::GetRoot(const_cast<TagTelBasic*>(&body));
  const TagTelBasic& owner = body.parent ? *body.parent : body;
  return owner.paused.load() || root->runEnded.load();
}

void Add(std::vector<Var>* out, const TagVar& v, int origin, int position, const std::string& name,
         const std::string& note) {
  Var e;
  e.name = name;
  e.origin = origin;
  e.position = position;
  e.note = note;
  e.isFunction = v.IsFunction();
  std::string typeName;
  v.TypeName(typeName, e.value);
  static const std::string kinds[] = {GBK("参数: "), GBK("常量: "), GBK("变量: ")};
  e.kind = kinds[origin] + typeName;
  out->push_back(std::move(e));
}

std::set<std::string> Names(const std::string& text) {
  std::set<std::string> names;
  std::string word;
  auto flush = [&] {
    if (!word.empty() && !(word[0] >= '0' && word[0] <= '9') && word[0] != '.') names.insert(word);
    word.clear();
  };
  static const std::string kEnds = " \t+-*/%><!=()|&[],^~";
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ';') break;
    if (c == '"') {
      flush();
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
      continue;
    }
    if (kEnds.find(c) != std::string::npos) {
      flush();
      continue;
    }
    word += c;
  }
  flush();
  return names;
}

}  // namespace

std::vector<Stmt> Statements(const TagTelBasic& body) {
  std::vector<Stmt> out;
  CopyStatements(body, &out);
  return out;
}

bool IsPaused(const TagTelBasic& inst) { return inst.paused.load() != 0; }

void SetPaused(TagTelBasic& inst, bool flag) {
  inst.paused = flag ? 1 : 0;
  inst.stepping = 0;
}

void Step(TagTelBasic& inst) { inst.stepping = 1; }

void SetBreakpoint(TagTelBasic& body, int index, bool flag) {
  if (index < 0 || static_cast<size_t>(index) >= body.operations.size()) return;
  body.operations[static_cast<size_t>(index)]->SetBreakpoint(flag);
}

bool HasBreakpoint(const TagTelBasic& body, int index) {
  if (index < 0 || static_cast<size_t>(index) >= body.operations.size()) return false;
  return body.operations[static_cast<size_t>(index)]->HasBreakpoint();
}

void ClearBreakpoints(TagTelBasic& inst) {
  for (TagOper* op : inst.operations) op->SetBreakpoint(false);
  for (TagTelBasic* f : inst.functions) ClearBreakpoints(*f);
}

bool Vars(const TagTelBasic& body, std::vector<Var>* out) {
  out->clear();
  if (!Readable(body)) return false;
  size_t n = std::min({static_cast<size_t>(std::max(body.paramCount, 0)), body.params.size(), body.paramNames.size()});
  for (size_t i = 0; i < n; ++i)
    if (body.params[i]) Add(out, *body.params[i], Var::kParam, static_cast<int>(i), body.paramNames[i], GBK("参数"));
  int pos = 0;
  for (const auto& v : body.variables)
    if (v && v->IsConst() && !v->Name().empty()) Add(out, *v, Var::kConst, pos++, v->Name(), "");
  pos = 0;
  for (const auto& v : body.variables)
    if (v && !v->IsConst() && !v->Name().empty()) Add(out, *v, Var::kVar, pos++, v->Name(), "");
  return true;
}

int FindVarText(const TagTelBasic& body, const std::string& name, std::string* note, std::string* value,
                std::string* kind) {
  std::vector<Var> vars;
  Vars(body, &vars);
  for (const Var& v : vars)
    if (v.name == name) {
      *note = v.note;
      *value = v.value;
      *kind = v.kind;
      return 0;
    }
  *value = GBK("变量名不存在.");
  note->clear();
  kind->clear();
  return -1;
}

std::string WatchText(const TagTelBasic& body, int index) {
  if (index < 0 || static_cast<size_t>(index) >= body.operations.size()) return {};
  std::string out, note, value, kind;
  for (const std::string& name : Names(body.operations[static_cast<size_t>(index)]->text)) {
    int r = FindVarText(body, name, &note, &value, &kind);
    if (r < 0 && body.parent) r = FindVarText(*body.parent, name, &note, &value, &kind);
    if (r < 0) continue;
    if (!out.empty()) out += '\n';
    out += name + ": " + value;
  }
  return out;
}

std::string FunctionName(const TagTelBasic& body) {
  return !body.parent || body.definitionText.empty() ? std::string("_main_") : body.definitionText;
}

uint32_t RefreshCount(const TagTelBasic&) { return 0; }

void SetPageOpen(int, bool) {}

#endif

}  // namespace dbgview
