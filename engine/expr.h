#pragma once
// Expressions of the script language: one-operator steps (TagCalculate), step
// lists (TagExpre), "+" chains (TagMulPlus) and the parser that turns an
// expression text into steps (TagComplexExpre).
#include <string>
#include <string_view>
#include <vector>

#include "engine/oper.h"
#include "engine/tagvar.h"

class TagVar;
class TagTelBasic;

// target (or its element under key) := a op b. b is null for the unary forms
// and plain assignment (op 0).
class TagCalculate final : public TagOper {
 public:
  TagCalculate(char op, TagVar* target, TagVar* a, TagVar* b, TagVar* key = nullptr)
      : op_(op), a_(a), b_(b), target_(target), key_(key) {
    plainNext = 1;
  }
  TagOper* Next() final { return next; }
  int Execute() override {
    // Ints first without a call; everything else (and every other type) the
    // general way.
    if (!key_ && b_ && TagVar::CalculateInts(op_, *target_, *a_, *b_)) return 0;
    return ExecuteGeneral();
  }

  bool ListWrites(std::vector<const TagVar*>& out) const override {
    out.push_back(target_);
    return true;
  }

  char Op() const { return op_; }
  TagVar* A() const { return a_; }
  TagVar* B() const { return b_; }
  TagVar* Target() const { return target_; }
  TagVar* Key() const { return key_; }
  void SetTarget(TagVar* t, TagVar* key) {
    target_ = t;
    key_ = key;
  }

 private:
  int ExecuteGeneral();
  char op_;
  TagVar* a_;
  TagVar* b_;
  TagVar* target_;
  TagVar* key_;
};

// Steps run in order; the result is the last step's target.
class TagExpre final : public TagOper {
 public:
  explicit TagExpre(std::vector<TagCalculate*> steps) : steps_(std::move(steps)) { plainNext = 1; }
  TagOper* Next() final { return next; }
  ~TagExpre() override;
  // Runs every step; returns their count.
  int Execute() override {
    for (TagCalculate* s : steps_) s->Execute();
    return static_cast<int>(steps_.size());
  }
  TagVar* Result() const { return steps_.empty() ? nullptr : steps_.back()->Target(); }
  bool ListWrites(std::vector<const TagVar*>& out) const override {
    for (const TagCalculate* s : steps_) s->ListWrites(out);
    return true;
  }
  const std::vector<TagCalculate*>& Steps() const { return steps_; }

 private:
  std::vector<TagCalculate*> steps_;  // owned
};

// o1 + o2 + ... strictly left to right with the typing of TagVar::Add.
class TagMulPlus : public TagOper {
 public:
  static constexpr size_t kMaxOperands = 40;
  TagMulPlus(std::vector<TagVar*> operands, TagVar* target, TagVar* key);
  TagOper* Next() final { return next; }
  // -1 with fewer than three operands, else 0.
  int Execute() override;
  bool ListWrites(std::vector<const TagVar*>& out) const override {
    out.push_back(target_);
    return true;
  }

 private:
  std::vector<TagVar*> operands_;
  TagVar* target_;
  TagVar* key_;
};

// Parses one expression text into steps writing "__m%d" temporaries, the last
// one writing the requested target. Errors and warnings come back as GB texts.
class TagComplexExpre {
 public:
  // Parentheses and brackets nest at most this deep: the parser recurses,
  // and line threads have small stacks.
  static constexpr int kMaxNesting = 64;
  // Tokenises only: pure-plus (only "+" and at least two of them) or not.
  static bool IsPurePlus(std::string_view text);

  // target: the name of the result variable (found or created with note);
  // key: optional element key of the last step.
  TagComplexExpre(std::string_view text, TagTelBasic* inst, const std::string& targetName, TagVar* key,
                  const std::string& note);
  ~TagComplexExpre();
  TagComplexExpre(const TagComplexExpre&) = delete;
  TagComplexExpre& operator=(const TagComplexExpre&) = delete;

  const std::string& Error() const { return error_; }
  const std::string& Warning() const { return warning_; }
  // Hands the steps over (empty after an error).
  std::vector<TagCalculate*> TakeSteps();

  struct Token {
    std::string_view text;  // a view of the expression's text
    int type;               // 1 operator, 2 operand
  };
  // The tokens; false with error set. purePlus is set for "+" chains.
  static bool Tokenize(std::string_view text, std::vector<Token>& out, std::string& error, std::string& warning,
                       bool& purePlus);

 private:
  struct Val {
    TagVar* var = nullptr;  // an operand, or the target of step `step`
    int step = -1;          // the step whose target is not chosen yet
  };
  bool Parse();
  // An expression whose binary operators are of this level or above
  // (1 lowest .. 6 highest), by precedence climbing.
  bool Level(int level, Val& out);
  bool Climb(int level, Val& lhs);
  bool Unary(Val& out);
  bool Postfix(Val& out);
  bool Primary(Val& out);
  bool Emit(char op, Val a, const Val* b, Val& out);
  TagVar* Materialize(Val& v);
  bool Resolve(std::string_view tok, TagVar*& out);
  // The current token is the one-byte operator op.
  bool IsOp1(char op) const;
  bool Fail(std::string msg);
  static std::vector<Token>& TokenScratch();

  TagTelBasic* inst_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  int parenDepth_ = 0;
  int bracketDepth_ = 0;
  std::vector<TagCalculate*> steps_;
  std::string error_;
  std::string warning_;
};
