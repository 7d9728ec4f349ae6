#include "host/gui/debugaccess.h"

#include <algorithm>
#include <mutex>

#include "engine/debugsvc.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "platform/text.h"

// Variables come from the snapshot the run thread publishes when the script
// pauses, never from the values it may be writing.

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


}  // namespace dbgview
