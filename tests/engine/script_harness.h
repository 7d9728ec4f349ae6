#pragma once
// Compiles scripts from text in a temporary directory and runs them on a
// line with a default call object, so compiled programs can be checked by
// their variables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "engine/memkxs.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "platform/text.h"
#include "tests/support/tempdir.h"

namespace scripttest {

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
    ASSERT_FALSE(dir_.empty());
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_);
    call_ = std::make_unique<TagKxCall>();
    TagMemKxs::Instance().Clear();
  }
  void TearDown() override {
    inst_.reset();
    cwd_.reset();
  }
  // Writes a file (UTF-8 text converted to GB bytes).
  void Write(const std::string& name, const std::string& utf8) {
    std::ofstream f(name, std::ios::binary);
    f << plat::Utf8ToGbk(utf8);
  }
  void WriteRaw(const std::string& name, const std::string& bytes) {
    std::ofstream f(name, std::ios::binary);
    f << bytes;
  }
  // Compiles a script file (in run mode 1 when run is set).
  TagTelBasic& Compile(const std::string& utf8, int mode = 1, const std::string& name = "t.kxs") {
    Write(name, utf8);
    return CompileFile(name, mode);
  }
  TagTelBasic& CompileFile(const std::string& name, int mode = 1) {
    inst_.reset();
    inst_ = std::make_unique<TagTelBasic>(name, lineNo_, call_.get(), mode);
    return *inst_;
  }
  // The compile report as UTF-8 ("" when none).
  std::string Report() {
    std::ifstream f("errmsg" + std::to_string(lineNo_) + ".txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return plat::GbkToUtf8(s.str());
  }
  // Scripts end with "return(": a main body that runs off its end starts again.
  int Run() { return inst_->Run(); }
  TagVar& Var(const std::string& n) {
    TagVar* v = inst_->FindVariable(n);
    if (!v) {
      ADD_FAILURE() << "no variable " << n;
      return TagVar::ConstNull();
    }
    return *v;
  }
  std::string Text(const std::string& n) { return Var(n).ToText(); }

  testsupport::TempDir tmp_;
  std::string dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  int lineNo_ = 0;  // line 0 never waits for the processor
  std::unique_ptr<TagKxCall> call_;
  std::unique_ptr<TagTelBasic> inst_;
};

}  // namespace scripttest
