#include "engine/flow.h"

#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "platform/tick.h"

TagCondition::TagCondition(TagExpre* cond) : cond_(cond), result_(cond->Result()) {
  if (!cond->preExpressions.empty() || cond->Steps().size() != 1) return;
  const TagCalculate* s = cond->Steps().front();
  if (s->Key() || !s->B() || !s->preExpressions.empty()) return;
  op_ = s->Op();
  t_ = s->Target();
  a_ = s->A();
  b_ = s->B();
}

int TagIf::Execute() {
  cond_.Run();
  return 0;
}

TagOper* TagIf::Next() {
  if (Holds()) return then_;
  for (TagIf* branch : elseIfs_) {
    branch->cond_.Run();
    if (branch->Holds()) return branch->then_;
  }
  return else_ ? else_ : next;
}

void TagIf::PropagateContinuation() {
  auto braceless = [this](TagIf* i) {
    if (i->then_ && i->then_->unbracedBody) i->then_->next = next;
  };
  braceless(this);
  for (TagIf* b : elseIfs_) {
    b->next = next;
    braceless(b);
  }
  // A braceless else continues there too.
  if (else_ && else_->unbracedBody) else_->next = next;
}

// ---- loops ----

bool TagWhile::FreshEntry() const { return prev == nullptr || prev->index < index; }

void TagWhile::PutAside(State& s) {
  s.fresh = fresh_;
  fresh_ = true;
}

void TagWhile::TakeBack(State& s) { fresh_ = s.fresh; }

int TagForWhile::Execute() {
  if (FreshEntry()) fresh_ = true;
  if (fresh_) {
    fresh_ = false;
    if (init_) init_->Execute();
  } else if (step_) {
    step_->Execute();
  }
  cond_.Run();
  return 0;
}

TagOper* TagForWhile::Next() {
  if (cond_.Holds()) return body_;
  fresh_ = true;
  return next;
}

int TagForIn::Execute() {
  if (FreshEntry()) fresh_ = true;
  if (fresh_) {
    fresh_ = false;
    position_ = 0;
    count_ = -1;
    isString_ = false;
    keys_.clear();
    bytes_.clear();
    if (coll_->IsString()) {
      isString_ = true;
      bytes_.assign(coll_->Bytes());
      count_ = static_cast<int>(bytes_.size());
    } else if (coll_->IsMap()) {
      count_ = coll_->Keys(keys_);
    } else {
      return -1;
    }
    if (count_ == 0) count_ = -1;
  }
  if (position_ < count_) {
    if (isString_)
      var_->SetBytes(&bytes_[static_cast<size_t>(position_)], 1);
    else
      keys_[static_cast<size_t>(position_)].ToVar(*var_);
  }
  ++position_;
  return 0;
}

TagOper* TagForIn::Next() {
  if (count_ >= position_) return body_;
  fresh_ = true;
  keys_.clear();
  bytes_.clear();
  return next;
}

std::unique_ptr<TagWhile::State> TagForIn::NewState() const { return std::make_unique<InState>(); }

// Swapped, not copied: a loop over a large map costs a recursive call no more
// than any other.
void TagForIn::PutAside(State& st) {
  auto& s = static_cast<InState&>(st);
  TagWhile::PutAside(s);
  s.count = count_;
  s.position = position_;
  s.isString = isString_;
  s.bytes.swap(bytes_);
  s.keys.swap(keys_);
  count_ = -1;
  position_ = 0;
  isString_ = false;
  bytes_.clear();
  keys_.clear();
}

void TagForIn::TakeBack(State& st) {
  auto& s = static_cast<InState&>(st);
  TagWhile::TakeBack(s);
  count_ = s.count;
  position_ = s.position;
  isString_ = s.isString;
  bytes_.swap(s.bytes);
  keys_.swap(s.keys);
}

TagOper* TagBreak::Next() {
  auto* loop = dynamic_cast<TagWhile*>(link);
  if (!loop) return next;
  loop->SetFresh();
  return loop->next;
}

int TagSwitch::SetDefault(TagOper* target) {
  if (default_) return -1;
  default_ = target;
  return 0;
}

TagOper* TagSwitch::Next() {
  for (const Case& c : cases_)
    if (c.value->Equals(*value_)) return c.target;
  return default_ ? default_ : next;
}

TagReturn::TagReturn(TagTelBasic* inst, TagVar* value) : value_(value), ret_(&inst->RetVal()) {}

TagReturn::~TagReturn() { delete valueExpr_; }

void TagReturn::TakeValueStep() {
  if (valueExpr_ || preExpressions.size() != 1) return;
  auto* e = dynamic_cast<TagExpre*>(preExpressions.front());
  if (!e || !e->preExpressions.empty() || e->Steps().size() != 1) return;
  TagCalculate* s = e->Steps().front();
  if (s->Key() || s->Target() != value_ || !s->preExpressions.empty()) return;
  valueExpr_ = e;
  valueStep_ = s;
  if (s->B()) {
    stepOp_ = s->Op();
    stepA_ = s->A();
    stepB_ = s->B();
  }
  preExpressions.clear();
}

int TagReturn::Execute() {
  if (stepOp_) {
    if (!TagVar::CalculateInts(stepOp_, *value_, *stepA_, *stepB_)) valueStep_->Execute();
  } else if (valueStep_) {
    valueStep_->Execute();
  }
  ret_->Assign(*value_);
  return ret_->IntValue();
}

// ---- section markers ----

TagClose::TagClose(TagTelBasic* mainScript, int ownIndex) : main_(mainScript) { main_->hangupIndex = ownIndex; }

int TagClose::Execute() {
  TagTelBasic* root = TagTelBasic::GetRoot(main_);
  TagKxCall* call = main_->callObject ? main_->callObject : root->callObject;
  if (call) {
    int32_t released = kCallReleased;
    call->callState.compare_exchange_strong(released, kCallHungUpSection);
  }
  int r = root->lastDialResult;
  root->lastDialResult = 0;
  plat::SleepMs(50);
  return r;
}

TagOnSysQuit::TagOnSysQuit(TagTelBasic* inst, int ownIndex) : inst_(inst) { inst_->quitIndex = ownIndex; }

int TagOnSysQuit::Execute() {
  inst_->runState = kRunQuitSection;
  return 0;
}
