// "VspToKxs(" on a line: files, the pieces map and the error texts printed.
#include <filesystem>
#include <string>

#include "engine/tagmap.h"
#include "tests/operations/op_fixture.h"

namespace {

using namespace optest;

class VspOpTest : public OpFixture {
 protected:
  std::string Printed() {
    inst_->stdOut.Close();
    return testsupport::ReadFile(dir_.path() + "/_stdout0.txt");
  }
  std::string Piece(const TagVar& map, int i) {
    TagVar* v = TagMapObject::Instance().Find(map.MapHandle(), I(i));
    return v ? Show(*v) : "<none>";
  }
};

TEST_F(VspOpTest, WritesTheScriptAndHandsBackThePieces) {
  testsupport::WriteFile(dir_.path() + "/page.vsp", "<b><%n = 3;%></b>");
  auto args = Args({S("page.vsp"), S("page.kxs"), N()});
  EXPECT_EQ(Exec(KeywordId::VspToKxs, args), 0);
  const std::string script = testsupport::ReadFile(dir_.path() + "/page.kxs");
  EXPECT_NE(script.find("Print(_RawHtml[0]);\nn = 3;\nPrint(_RawHtml[1]);\nreturn(0);\n"), std::string::npos);
  ASSERT_TRUE(args[2]->IsMap());
  EXPECT_EQ(TagMapObject::Instance().Count(args[2]->MapHandle()), 2);
  EXPECT_EQ(Piece(*args[2], 0), "\"<b>\"");
  EXPECT_EQ(Piece(*args[2], 1), "\"</b>\"");
  // The script compiles: each block ends its line before the next Print.
  TagTelBasic compiled("page.kxs", 0, &call_, 0);
  EXPECT_EQ(compiled.initResult, 0) << testsupport::ReadFile(dir_.path() + "/errmsg0.txt");
}

TEST_F(VspOpTest, FailuresPrintTheirText) {
  testsupport::WriteFile(dir_.path() + "/empty.vsp", "");
  testsupport::WriteFile(dir_.path() + "/ok.vsp", "x");
  const struct {
    TagVar in, out;
    int result;
    const char* printed;
  } cases[] = {
      {I(1), S("o.kxs"), -1, ""},
      {S("ok.vsp"), I(2), -1, ""},
      {S("missing.vsp"), S("o.kxs"), -1, "Open error"},
      {S("empty.vsp"), S("o.kxs"), -2, "Read error"},
      {S("ok.vsp"), S("no/such/dir/o.kxs"), -3, "Open Out-File error"},
  };
  std::string expected;
  for (const auto& c : cases) {
    auto args = Args({c.in, c.out, N()});
    EXPECT_EQ(Exec(KeywordId::VspToKxs, args), c.result) << c.printed;
    EXPECT_TRUE(args[2]->IsNull()) << c.printed;
    if (*c.printed) expected += std::string(c.printed);
  }
  EXPECT_EQ(Printed(), expected);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/o.kxs"));
}

}  // namespace
