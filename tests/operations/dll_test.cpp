// User libraries: the shared registry, the slots of a line, and calls of a
// test library's functions from compiled scripts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/log.h"
#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "services/dllbridge.h"
#include "tests/support/tempdir.h"

namespace {

const std::string kLib = RODIZ_TESTLIB;

class DllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TagMemKxs::Instance().Clear();
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    SetLogWriter(std::make_shared<TagWriteLog>(dir_.path() + "/log.txt", 1 << 20, true, true));
  }
  void TearDown() override {
    inst_.reset();
    SetLogWriter(nullptr);
    cwd_.reset();
    EXPECT_EQ(TagGlobalDlls::Instance().Count(), 0u);
  }
  int LogLines(const std::string& needle) {
    if (auto w = GetLogWriter()) w->Flush();
    std::ifstream in(dir_.path() + "/log.txt");
    std::string line;
    int n = 0;
    while (std::getline(in, line))
      if (line.find(needle) != std::string::npos) ++n;
    return n;
  }
  // Compiles text (after loading the test library into `s` and declaring
  // the functions listed) and runs it once.
  void Run(const std::string& body, const std::string& file = "dll.kxs") {
    std::string text = "s = -5;\nDllLoad(\"" + kLib + "\", s);\n" + body + "return(0);\n";
    testsupport::WriteFile(dir_.path() + "/" + file, text);
    inst_ = std::make_unique<TagTelBasic>(file, 1, &call_, 1);
    ASSERT_EQ(inst_->initResult, 0) << testsupport::ReadFile(dir_.path() + "/errmsg1.txt");
    inst_->Run();
  }
  std::string Var(const char* name) {
    TagVar* v = inst_->FindVariable(name);
    if (!v) return "<none>";
    return v->IsString() ? "\"" + std::string(v->Bytes()) + "\"" : v->ToText();
  }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  TagKxCall call_;
  std::unique_ptr<TagTelBasic> inst_;
};

TEST_F(DllTest, LinesShareOneLoadedLibraryByName) {
  TagKxDll a, b;
  EXPECT_EQ(a.Load(kLib), 0);
  EXPECT_EQ(a.Load(kLib), 0);  // the same name: the same slot
  EXPECT_EQ(b.Load(kLib), 0);
  EXPECT_EQ(a.slots[0].get(), b.slots[0].get());
  EXPECT_EQ(TagGlobalDlls::Instance().RefCount(kLib), 2);
  a.Free(0);
  EXPECT_EQ(TagGlobalDlls::Instance().RefCount(kLib), 1);
  a.Free(60);  // out of range: nothing
  b.FreeAll();
  EXPECT_EQ(TagGlobalDlls::Instance().Count(), 0u);
}

TEST_F(DllTest, SlotsFillInOrderAndRunOut) {
  TagKxDll t;
  // Fifty names of the one library: links in the working folder.
  for (int i = 0; i < TagKxDll::kSlots; ++i) {
    const std::string name = "lib" + std::to_string(i) + ".so";
    std::filesystem::create_symlink(kLib, name);
    // A bare name found in the working folder loads from there.
    EXPECT_EQ(t.Load(name), i) << name;
  }
  std::filesystem::create_symlink(kLib, "extra.so");
  EXPECT_EQ(t.Load("extra.so"), -2);
  t.Free(7);
  EXPECT_EQ(t.Load("extra.so"), 7);
  t.FreeAll();
}

TEST_F(DllTest, AMissingLibraryLeavesNothingRegistered) {
  TagKxDll t;
  EXPECT_EQ(t.Load("no-such-library.so"), -1);
  EXPECT_EQ(TagGlobalDlls::Instance().Count(), 0u);
  EXPECT_EQ(t.AddFunc(0, "Twice", 1), -1);
  EXPECT_EQ(t.FindFunc("Twice"), nullptr);
}

TEST_F(DllTest, ScriptCallsChangeVariablesAndLeaveLiteralsAlone) {
  Run("DllFunction(s, \"Twice\", 1);\n"
      "DllFunction(s, \"UpCase\", 1);\n"
      "DllFunction(s, \"Half\", 2);\n"
      "DllFunction(s, \"SetFive\", 1);\n"
      "n = 21;\n"
      "r1 = Twice(n);\n"
      "t = \"abc def\";\n"
      "r2 = UpCase(t);\n"
      "r3 = UpCase(\"lit\");\n"
      "lit = \"lit\";\n"
      "h = 0;\n"
      "r4 = Half(7, h);\n"
      "v = \"text\";\n"
      "r5 = SetFive(v);\n"
      "r6 = SetFive(7);\n"
      "seven = 7;\n"
      "DllFunction(s, \"HeaderCheckSize\", 2);\n"
      "r7 = HeaderCheckSize(1, 2);\n");
  EXPECT_EQ(Var("s"), "0");
  EXPECT_EQ(Var("r1"), "42");
  EXPECT_EQ(Var("n"), "42");
  EXPECT_EQ(Var("r2"), "7");
  EXPECT_EQ(Var("t"), "\"ABC DEF\"");
  EXPECT_EQ(Var("r3"), "3");
  EXPECT_EQ(Var("lit"), "\"lit\"");
  EXPECT_EQ(Var("r4"), "0");
  EXPECT_EQ(Var("h"), "3.5");
  EXPECT_EQ(Var("r5"), "1");
  EXPECT_EQ(Var("v"), "5");
  EXPECT_EQ(Var("r6"), "1");
  EXPECT_EQ(Var("seven"), "7");
  // A C library sees the 32-byte record.
  EXPECT_EQ(Var("r7"), "64");
}

TEST_F(DllTest, TextGetsPrivateRoomAndCopyBackChecksWhatItTakes) {
  Run("DllFunction(s, \"Fill\", 1);\n"
      "DllFunction(s, \"NoEnd\", 1);\n"
      "DllFunction(s, \"ForgeMap\", 1);\n"
      "e = \"\";\n"
      "cap = Fill(e);\n"
      "k = \"keep\";\n"
      "r1 = NoEnd(k);\n"
      "m = 12;\n"
      "r2 = ForgeMap(m);\n");
  const int cap = std::stoi(Var("cap"));
  EXPECT_GE(cap, 1024);
  EXPECT_EQ(Var("e"), "\"" + std::string(size_t(cap - 1), 'x') + "\"");
  EXPECT_EQ(Var("k"), "\"keep\"");
  EXPECT_EQ(Var("m"), "12");
  EXPECT_EQ(LogLines("NoEnd(): text of argument 1 not terminated"), 1);
  EXPECT_EQ(LogLines("ForgeMap(): argument 1 left with type 4"), 1);
}

TEST_F(DllTest, MissingFunctionsExceptionsAndFreeing) {
  Run("DllFunction(s, \"Nope\", 1);\n"
      "DllFunction(s, \"Throw\", 1);\n"
      "DllFunction(s, \"Twice\", 1);\n"
      "i = 0;\n"
      "while (i < 3)\n"
      "{\n"
      "  DllFunction(s, \"Nope\", 1);\n"
      "  i = i + 1;\n"
      "}\n"
      "r1 = Nope(1);\n"
      "r2 = Throw(1);\n"
      "x = 4;\n"
      "r3 = Twice(x);\n"
      "DllFree(s);\n"
      "r4 = Twice(x);\n"
      "s2 = 0;\n"
      "r5 = DllLoad(\"" + kLib + "\", s2);\n"
      "DllFunction(s2, \"Twice\", 1);\n"
      "r6 = Twice(x);\n"
      "DllFreeAll();\n"
      "r7 = Twice(x);\n"
      "bad = 0;\n"
      "r8 = DllLoad(\"missing-lib.so\", bad);\n");
  EXPECT_EQ(Var("r1"), "-1");
  // An entry without an address is not there: each attempt tries and logs.
  EXPECT_EQ(LogLines("'Nope' Not found for DLL."), 4);
  EXPECT_EQ(Var("r2"), "-100");
  EXPECT_EQ(LogLines("DllRun Err: Throw(): boom in user code"), 1);
  EXPECT_EQ(Var("r3"), "8");
  EXPECT_EQ(Var("r4"), "-1");
  EXPECT_EQ(Var("r5"), "0");
  EXPECT_EQ(Var("r6"), "16");
  EXPECT_EQ(Var("x"), "16");
  EXPECT_EQ(Var("r7"), "-1");
  EXPECT_EQ(Var("r8"), "-1");
  EXPECT_EQ(Var("bad"), "-1");
}

TEST_F(DllTest, AHardwareFaultEndsOnlyTheCall) {
  struct Case {
    const char* function;
    const char* signal;
  };
  const Case cases[] = {
      {"SegvNull", "SIGSEGV"},
#if defined(__x86_64__) || defined(__i386__)  // elsewhere division by zero does not trap
      {"FpeDivide", "SIGFPE"},
#endif
      {"BusMapped", "SIGBUS"},
      {"IllInstr", "SIGILL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    const std::string f = c.function;
    Run("DllFunction(s, \"" + f + "\", 1);\n"
        "DllFunction(s, \"Twice\", 1);\n"
        "x = 5;\n"
        "r1 = " + f + "(x);\n"
        "r2 = " + f + "(x);\n"
        "y = 3;\n"
        "r3 = Twice(y);\n",
        f + ".kxs");  // a script of its own: the cache keeps scripts by name
    EXPECT_EQ(Var("r1"), "-100");
    EXPECT_EQ(Var("r2"), "-100");
    EXPECT_EQ(Var("x"), "5");  // nothing copied back from a call that faulted
    EXPECT_EQ(Var("r3"), "6");
    EXPECT_EQ(LogLines("DllRun Err: " + f + "(): " + c.signal), 2);
  }
}

TEST_F(DllTest, TheFirstDeclarationOfANameStands) {
  // The call compiled after both declarations takes the first count.
  Run("DllFunction(s, \"CountArgs\", 2);\n"
      "DllFunction(s, \"CountArgs\", 3);\n"
      "r = CountArgs(1, 2);\n");
  EXPECT_EQ(Var("r"), "2");
}

TEST_F(DllTest, ANegativeCountCallsNothing) {
  // Any count compiles, and none matches the count resolved.
  Run("DllFunction(s, \"Twice\", -1);\n"
      "DllFunction(s, \"CountArgs\", -2);\n"
      "x = 4;\n"
      "r1 = Twice(x);\n"
      "r2 = CountArgs();\n"
      "r3 = CountArgs(1, 2, 3);\n");
  EXPECT_EQ(Var("r1"), "-1");
  EXPECT_EQ(Var("x"), "4");
  EXPECT_EQ(Var("r2"), "-1");
  EXPECT_EQ(Var("r3"), "-1");
}

TEST_F(DllTest, DeclaredButNeverResolvedCallsFail) {
  Run("if (s < 0)\n"
      "{\n"
      "  DllFunction(s, \"Twice\", 1);\n"
      "}\n"
      "x = 3;\n"
      "r = Twice(x);\n");
  EXPECT_EQ(Var("r"), "-1");
  EXPECT_EQ(Var("x"), "3");
}

}  // namespace
