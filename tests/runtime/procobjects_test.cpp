// Every process object the start makes is emptied by the finish: a value
// left in one of them by the lines of one run is gone before the next.
#include "runtime/procobjects.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>

#include "lines/memvocs.h"
#include "services/acdlist.h"
#include "services/dbpool.h"
#include "services/dllbridge.h"
#include "services/msgqueue.h"
#include "services/sharemem.h"
#include "services/textfiles.h"
#include "tests/support/tempdir.h"

namespace {

struct ObjectCase {
  const char* name;
  std::function<void()> fill;  // leaves something in the object
  std::function<bool()> holds;  // the object still holds it
};

const ObjectCase kObjects[] = {
    {"connection pool", [] {}, [] { return DbConnectionsCtrl() != nullptr; }},
    {"ACD queues", [] { GlobalAcdList().Send("sales", TagMsgFields()); },
     [] { return GlobalAcdList().Num("sales") > 0; }},
    {"message queues", [] { GlobalMsgQueue(5)->Send(TagMsgFields()); },
     [] { return GlobalMsgQueue(5)->Count() > 0; }},
    {"shared values", [] { GlobalShareMem().Set(TagVar::Str("k"), TagVar::Int(1)); },
     [] {
       TagVar out;
       return GlobalShareMem().Get(TagVar::Str("k"), out) >= 0;
     }},
    {"call queues", [] { CallQueue(7)->Send(TagMsgFields()); }, [] { return CallQueue(7)->Count() > 0; }},
    {"preloaded voices",
     [] {
       testsupport::WriteFile("v.wav", std::string(10, 'v'));
       GlobalMemVocs().Load("v.wav");
     },
     [] { return GlobalMemVocs().Count() > 0; }},
    {"text-append registry", [] { TextAppendRegistry().Append("a.txt", 0, "x", 0); },
     [] { return TextAppendRegistry().Count() > 0; }},
    {"user libraries", [] { TagGlobalDlls::Instance().Acquire("no_such_library.so"); },
     [] { return TagGlobalDlls::Instance().Count() > 0; }},
};

void PrintTo(const ObjectCase& c, std::ostream* os) { *os << c.name; }

class ProcessObjects : public ::testing::TestWithParam<ObjectCase> {
 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedCwd cwd_{dir_.path()};
};

TEST_P(ProcessObjects, FinishEmptiesWhatTheLinesLeft) {
  const ObjectCase& c = GetParam();
  StartProcessObjects();
  StartProcessObjects();  // once only: a second start keeps what is there
  c.fill();
  ASSERT_TRUE(c.holds()) << c.name;
  StartProcessObjects();
  EXPECT_TRUE(c.holds()) << c.name;
  FinishProcessObjects();
  EXPECT_FALSE(ProcessObjectsStarted());
  EXPECT_FALSE(c.holds()) << c.name;
  // The next start makes them again.
  StartProcessObjects();
  EXPECT_TRUE(ProcessObjectsStarted());
  FinishProcessObjects();
}

std::string CaseName(const ::testing::TestParamInfo<ObjectCase>& param) {
  std::string n = param.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Each, ProcessObjects, ::testing::ValuesIn(kObjects), CaseName);

}  // namespace
