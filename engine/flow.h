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

// '{', "else", "default(": nothing to do.
class TagNull : public TagOper {
 public:
  int Execute() override { return 0; }
};

// '}': back to its loop, or on after its owner's construct.
class TagEnd : public TagOper {
 public:
  int Execute() override { return 0; }
  TagOper* Next() override;
};

// "if(" and "else if(".
class TagIf : public TagOper {
 public:
  explicit TagIf(TagExpre* cond) : cond_(cond) {}
  ~TagIf() override;
  int Execute() override;
  TagOper* Next() override;

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
  bool Holds() const;
  TagExpre* cond_;  // owned
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

  // A re-entrant call of the function holding the loop saves and restores it.
  struct State {
    virtual ~State() = default;
    bool fresh = true;
  };
  virtual std::unique_ptr<State> SaveState() const;
  virtual void RestoreState(const State& s);

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
  ~TagForWhile() override;
  int Execute() override;
  TagOper* Next() override;
  void SetInit(TagCalculate* s) { init_.reset(s); }
  void SetStep(TagCalculate* s) { step_.reset(s); }

 private:
  TagExpre* cond_;  // owned
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
  std::unique_ptr<State> SaveState() const override;
  void RestoreState(const State& s) override;

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
  TagOper* Next() override;
};

class TagContinue : public TagOper {
 public:
  int Execute() override { return 0; }
  TagOper* Next() override { return link; }
};

class TagSwitch : public TagOper {
 public:
  explicit TagSwitch(TagVar* value) : value_(value) {}
  int Execute() override { return 0; }
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
  // A value computed by one step of its own ("return(a + b)") is computed
  // here instead of as a pending expression: one dispatch less per return.
  // Called once its pending expressions are attached.
  void TakeValueStep();

 private:
  TagVar* value_;
  TagVar* ret_;  // the instance's _retVal: values never move
  TagExpre* valueExpr_ = nullptr;  // owned; its single step writes value_
  TagCalculate* valueStep_ = nullptr;
};

// "OnDisconn(" (kind g) and "Close(" (kind x): the on-hang-up section.
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
