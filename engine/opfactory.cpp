#include "engine/opfactory.h"

#include <string>

#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "core/log.h"

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

TagOpFactory& TagOpFactory::Instance() {
  static TagOpFactory factory;
  return factory;
}

TagOper* TagOpFactory::Make(const TagOpArgs& a) const {
  const size_t i = static_cast<size_t>(a.keyword.index);
  if (i < makers_.size() && makers_[i]) {
    if (TagOper* op = makers_[i](a)) return op;
  }
  return new TagUnavailableOper(a.keyword.name, a.inst, a.keyword.kind == kOpCall);
}

bool TagOpFactory::IsPlaceholder(const TagOper* op) { return dynamic_cast<const TagUnavailableOper*>(op) != nullptr; }
