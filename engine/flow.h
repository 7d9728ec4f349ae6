#pragma once
// Flow control operations: their Execute evaluates a condition or advances an
// iteration, their Next chooses the following operation. The compiler links
// blocks: every block is a '{' (TagNull), its statements and a '}' (TagEnd).
#include <memory>
#include <string>
#include <vector>

#include "engine/expr.h"
#include "engine/oper.h"
#include "engine/tagvar.h"

class TagTelBasic;

// A flow condition. One of a single step ("i < n") keeps that step's
// operands at hand: an int comparison runs without walking the step list.
class TagCondition {
 public:
  explicit TagCondition(TagExpre* cond);
  ~TagCondition() { delete cond_; }
  TagCondition(const TagCondition&) = delete;
  TagCondition& operator=(const TagCondition&) = delete;
  void Run() {
    if (op_ && TagVar::CalculateInts(op_, *t_, *a_, *b_)) return;
    cond_->Execute();
  }
  bool Holds() const { return result_ && result_->AsInt() != 0; }
  bool ListWrites(std::vector<const TagVar*>& out) const { return cond_->ListWrites(out); }

 private:
  TagExpre* cond_;  // owned
  const TagVar* result_;
  char op_ = 0;  // 0: no single int step
  TagVar* t_ = nullptr;
  TagVar* a_ = nullptr;
  TagVar* b_ = nullptr;
};

// '{', "else", "default(": nothing to do.
class TagNull : public TagOper {
 public:
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
};

// '}': back to its loop, or on after its owner's construct.
class TagEnd : public TagOper {
 public:
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
  TagOper* Next() override {
    if (!owner) return next;
    if (owner->kind == kOpLoop) return owner;
    return owner->next;
  }
};

// "if(" and "else if(".
class TagIf : public TagOper {
 public:
  explicit TagIf(TagExpre* cond) : cond_(cond) {}
  int Execute() override;
  TagOper* Next() override;
  bool ListWrites(std::vector<const TagVar*>& out) const override { return cond_.ListWrites(out); }

  void SetThen(TagOper* t) { then_ = t; }
  void SetElse(TagOper* e) { else_ = e; }
  void AddElseIf(TagIf* branch) { elseIfs_.push_back(branch); }
  // Every else-if branch and every braceless then-target continue where the
  // if does.
  void PropagateContinuation();
  TagOper* Then() const { return then_; }
  TagOper* ElseTarget() const { return else_; }
  const std::vector<TagIf*>& ElseIfs() const { return elseIfs_; }
  TagIf* head = nullptr;  // for an else-if: the if heading its chain

 private:
  bool Holds() const { return cond_.Holds(); }
  TagCondition cond_;
  TagOper* then_ = nullptr;
  TagOper* else_ = nullptr;
  std::vector<TagIf*> elseIfs_;
};

// Base of the loops.
class TagWhile : public TagOper {
 public:
  void SetBody(TagOper* b) { body_ = b; }
  TagOper* Body() const { return body_; }
  void SetFresh() { fresh_ = true; }

  // A call of the function holding the loop, made while an earlier call of
  // it runs, puts the loop's state aside (into a State of NewState, kept for
  // reuse) and takes it back when it returns. Between the two the loop is
  // fresh, as the inner call can only enter it from above.
  struct State {
    virtual ~State() = default;
    bool fresh = true;
  };
  virtual std::unique_ptr<State> NewState() const { return std::make_unique<State>(); }
  virtual void PutAside(State& s);
  virtual void TakeBack(State& s);

 protected:
  // Entered from above (or the list wrapped): not a repeat.
  bool FreshEntry() const;
  TagOper* body_ = nullptr;
  bool fresh_ = true;
};

// "while(" and the three-part "for(".
class TagForWhile : public TagWhile {
 public:
  explicit TagForWhile(TagExpre* cond) : cond_(cond) {}
  int Execute() override;
  TagOper* Next() override;
  bool ListWrites(std::vector<const TagVar*>& out) const override {
    if (init_) init_->ListWrites(out);
    if (step_) step_->ListWrites(out);
    return cond_.ListWrites(out);
  }
  void SetInit(TagCalculate* s) { init_.reset(s); }
  void SetStep(TagCalculate* s) { step_.reset(s); }

 private:
  TagCondition cond_;
  std::unique_ptr<TagCalculate> init_;
  std::unique_ptr<TagCalculate> step_;
};

// for (v in collection): over a snapshot of the keys (or the bytes) taken
// when the loop is entered, so the body may change the collection.
class TagForIn : public TagWhile {
 public:
  TagForIn(TagVar* loopVar, TagVar* collection) : var_(loopVar), coll_(collection) {}
  int Execute() override;
  TagOper* Next() override;
  bool ListWrites(std::vector<const TagVar*>& out) const override {
    out.push_back(var_);
    return true;
  }
  std::unique_ptr<State> NewState() const override;
  void PutAside(State& s) override;
  void TakeBack(State& s) override;

 private:
  struct InState : State {
    int count = -1, position = 0;
    bool isString = false;
    std::string bytes;
    std::vector<TagVarP> keys;
  };
  TagVar* var_;
  TagVar* coll_;
  int count_ = -1;
  int position_ = 0;
  bool isString_ = false;
  std::string bytes_;
  std::vector<TagVarP> keys_;
};

class TagBreak : public TagOper {
 public:
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
  TagOper* Next() override;
};

class TagContinue : public TagOper {
 public:
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
  TagOper* Next() override { return link; }
};

class TagSwitch : public TagOper {
 public:
  explicit TagSwitch(TagVar* value) : value_(value) {}
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
  TagOper* Next() override;
  void AddCase(TagVar* value, TagOper* target) { cases_.push_back({value, target}); }
  // -1 when a default is already set.
  int SetDefault(TagOper* target);

 private:
  struct Case {
    TagVar* value;
    TagOper* target;
  };
  TagVar* value_;
  std::vector<Case> cases_;
  TagOper* default_ = nullptr;
};

class TagCase : public TagOper {
 public:
  explicit TagCase(TagVar* value) : value_(value) {}
  int Execute() override { return 0; }
  bool ListWrites(std::vector<const TagVar*>&) const override { return true; }
  TagVar* Value() const { return value_; }

 private:
  TagVar* value_;
};

// "return(": _retVal of its instance := the value; the run ends here.
class TagReturn : public TagOper {
 public:
  TagReturn(TagTelBasic* inst, TagVar* value);
  ~TagReturn() override;
  int Execute() override;
  TagOper* Next() override { return nullptr; }
  bool ListWrites(std::vector<const TagVar*>& out) const override {
    return !valueExpr_ || valueExpr_->ListWrites(out);
  }
  // A value computed by one step of its own ("return(a + b)") is computed
  // here instead of as a pending expression: one dispatch less per return.
  // Called once its pending expressions are attached.
  void TakeValueStep();

 private:
  TagVar* value_;
  TagVar* ret_;  // the instance's _retVal: values never move
  TagExpre* valueExpr_ = nullptr;  // owned; its single step writes value_
  TagCalculate* valueStep_ = nullptr;
  // The step's operands, for its int form without a look into the step.
  char stepOp_ = 0;
  TagVar* stepA_ = nullptr;
  TagVar* stepB_ = nullptr;
};

// "OnDisconn(" (kind kOpOperation) and "Close(" (kind kOpClose): the on-hang-up section.
class TagClose : public TagOper {
 public:
  TagClose(TagTelBasic* mainScript, int ownIndex);
  int Execute() override;

 private:
  TagTelBasic* main_;
};

// "OnSysQuit(": the on-quit section.
class TagOnSysQuit : public TagOper {
 public:
  TagOnSysQuit(TagTelBasic* inst, int ownIndex);
  int Execute() override;

 private:
  TagTelBasic* inst_;
};
