#include "engine/opfactory.h"

#include <string>

#include "engine/oper.h"
#include "engine/runtimecompile.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "host/log.h"
#include "operations/argread.h"
#include "regex/eregops.h"

namespace {

// Every operation family names its registration function here (declared in
// the family's header).
using RegisterFn = void (*)(TagOpFactory&);
const RegisterFn kFamilies[] = {
    RegisterCallCtlOperations,
    RegisterKeyOperations,
    RegisterVoiceOperations,
    RegisterVoiceCfgOperations,
    RegisterPlayNumberOperations,
    &RegisterRegexOperations,
    &RegisterRuntimeOps,
    nullptr,  // families add their entry above this line
};

}  // namespace

class TagUnavailableOper : public TagOper {
 public:
  TagUnavailableOper(std::string_view keyword, TagTelBasic* inst, bool setsRetVal)
      : inst_(setsRetVal ? inst : nullptr) {
    name_.assign(keyword);
    if (!name_.empty() && name_.back() == '(') name_.pop_back();
  }
  int Execute() override {
    if (!logged_) {
      logged_ = true;
      LogAlwaysF("%s is not available", name_.c_str());
    }
    // An operation that sets _retVal itself must not leave the previous
    // statement's value there.
    if (inst_) inst_->SetReturnValue(TagVar::Int(-1));
    return -1;
  }

 private:
  std::string name_;
  TagTelBasic* inst_;
  bool logged_ = false;
};

TagOpFactory::TagOpFactory() {
  for (RegisterFn fn : kFamilies)
    if (fn) fn(*this);
}

const TagOpFactory& TagOpFactory::Instance() {
  static const TagOpFactory factory;
  return factory;
}

TagOper* TagOpFactory::Make(const TagOpArgs& a) const {
  const size_t i = static_cast<size_t>(a.keyword.index);
  if (i < makers_.size() && makers_[i]) {
    if (TagOper* op = makers_[i](a)) return op;
  }
  return new TagUnavailableOper(a.keyword.name, a.inst, a.keyword.kind == 'R');
}
