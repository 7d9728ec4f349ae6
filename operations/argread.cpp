#include "operations/argread.h"

#include "engine/opfactory.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"

int ArgInt(const TagVar& v) { return v.AsInt(); }

int ArgStored(const TagVar& v) { return v.IntValue(); }

std::string ArgText(const TagVar& v) { return v.Text(); }

std::string ArgPrinted(const TagVar& v) { return v.ToText(false); }

TagKxCall* TagLineOper::Call() const { return root_ ? root_->callObject : nullptr; }

int TagCallOper::Execute() {
  TagKxCall* call = Call();
  if (!call) return -1;
  return Run(*call);
}

