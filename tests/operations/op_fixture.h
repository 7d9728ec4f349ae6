#pragma once
// One operation built through the factory and executed on its own, on a line
// with a plain call object: argument values in, the result and the values
// afterwards out.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "tests/support/operation.h"
#include "tests/support/tempdir.h"

namespace optest {

inline TagVar S(std::string_view s) { return TagVar::Str(s); }
inline TagVar I(int v) { return TagVar::Int(v); }
inline TagVar D(double d) { return TagVar::Dbl(d); }
inline TagVar N() { return TagVar(); }
inline TagVar C(TagVar v) {
  v.SetConst(true);
  return v;
}

// A value as a test compares it: a string as its exact bytes in double
// quotes, anything else as its printed text.
inline std::string Show(const TagVar& v) {
  if (v.IsString()) return "\"" + std::string(v.Bytes()) + "\"";
  return v.ToText();
}

class OpFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    TagMemKxs::Instance().Clear();
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &call_, 0);
    inst_->initResult = 0;
  }
  void TearDown() override {
    for (auto& v : vars_) v->SetNull();
    vars_.clear();
    ret_.SetNull();
    inst_.reset();
    cwd_.reset();
  }

  // Fresh argument values, kept for the test.
  std::vector<TagVar*> Args(const std::vector<TagVar>& values) {
    std::vector<TagVar*> args;
    for (const TagVar& v : values) {
      vars_.push_back(std::make_unique<TagVar>(v));
      args.push_back(vars_.back().get());
    }
    return args;
  }
  // Builds the operation of id over args, its statement result going to ret_.
  std::unique_ptr<TagOper> Make(KeywordId id, const std::vector<TagVar*>& args) {
    auto op = testsupport::MakeOperation(id, args, inst_.get(), call_.lineType.load());
    if (op) op->SetResultRef(&ret_);
    return op;
  }
  int Exec(KeywordId id, const std::vector<TagVar*>& args) {
    auto op = Make(id, args);
    return op ? op->Execute() : -999;
  }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  TagKxCall call_;
  std::unique_ptr<TagTelBasic> inst_;
  std::deque<std::unique_ptr<TagVar>> vars_;
  TagVar ret_;
};

// One row of a table of operation cases: the arguments, the result, and
// what chosen arguments (by position) and the statement result hold after.
struct OpCase {
  const char* name;
  KeywordId id;
  std::vector<TagVar> args;
  int result;
  std::vector<std::pair<size_t, std::string>> after;
  const char* ret = nullptr;  // the statement result of a value operation
};

class OpTable : public OpFixture {
 protected:
  void Check(const std::vector<OpCase>& cases) {
    for (const OpCase& c : cases) {
      SCOPED_TRACE(c.name);
      ret_.SetNull();
      std::vector<TagVar*> args = Args(c.args);
      EXPECT_EQ(Exec(c.id, args), c.result);
      for (auto& [i, want] : c.after) EXPECT_EQ(Show(*args.at(i)), want) << "argument " << i;
      if (c.ret) {
        EXPECT_EQ(Show(ret_), c.ret) << "statement result";
      }
    }
  }
};

}  // namespace optest
