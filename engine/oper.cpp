#include "engine/oper.h"

#include "engine/tagmap.h"
#include "engine/tagvar.h"
#include "core/runcfg.h"

void TagVarRef::Load(TagVar& into) const {
  if (!var) return;
  if (!key) {
    into.Assign(*var);
    return;
  }
  // The element is created when missing.
  var->LoadItem(*key, into);
}

void TagVarRef::Store(const TagVar& value) const {
  if (!var) return;
  if (key)
    var->SetItem(*key, value);
  else
    var->Assign(value);
}

TagOper::~TagOper() = default;

void TagOper::SetSource(const std::string& sourceText, int line, int idx, OpKind kindChar) {
  breakpoint.store(0, std::memory_order_relaxed);
  unbracedBody = 0;
  if (runCfg.isDispSente != 0)
    text = sourceText;
  else
    text.clear();
  lineNo = line;
  index = idx;
  kind = kindChar;
}

void TagOper::FreePreExpressions() {
  for (TagOper* e : preExpressions) {
    e->FreePreExpressions();
    delete e;
  }
  preExpressions.clear();
}
