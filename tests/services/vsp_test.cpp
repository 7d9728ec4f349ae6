// Server page conversion: the exact generated script and pieces.
#include "services/vsp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kPrologue =
    "_RawHtml = 0;\n"
    "GetShareMem(_lineNo, \"_RawHtml\", _RawHtml);\n"
    "_GET = 0;\n"
    "GetShareMem(_lineNo, \"_GET\", _GET);\n"
    "_POST = 0;\n"
    "GetShareMem(_lineNo, \"_POST\", _POST);\n"
    "_COOKIE = 0;\n"
    "GetShareMem(_lineNo, \"_COOKIE\", _COOKIE);\n";

struct VspCase {
  const char* name;
  std::string tmpl;
  std::string body;  // between the prologue and the return line
  std::vector<std::string> pieces;
};

class VspConvert : public ::testing::TestWithParam<VspCase> {};

TEST_P(VspConvert, GivesTheScriptAndThePieces) {
  std::vector<std::string> pieces{"stale"};
  const std::string script = ConvertVsp(GetParam().tmpl, &pieces);
  EXPECT_EQ(script, kPrologue + GetParam().body + "return(0);\n");
  EXPECT_EQ(pieces, GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VspConvert,
    ::testing::Values(
        VspCase{"NoBlocks", "<html>hi</html>\n", "Print(_RawHtml[0]);\n", {"<html>hi</html>\n"}},
        // A block gets its own line end, so the next Print starts a line.
        VspCase{"OneBlock", "a<%x = 1;%>b", "Print(_RawHtml[0]);\nx = 1;\nPrint(_RawHtml[1]);\n", {"a", "b"}},
        VspCase{"BlockWithLineEnd", "a<%x = 1;\n%>", "Print(_RawHtml[0]);\nx = 1;\nPrint(_RawHtml[1]);\n", {"a", ""}},
        VspCase{"StartsWithBlock", "<%y = 2;%>z", "Print(_RawHtml[0]);\ny = 2;\nPrint(_RawHtml[1]);\n", {"", "z"}},
        VspCase{"EmptyBlock", "a<%%>b", "Print(_RawHtml[0]);\nPrint(_RawHtml[1]);\n", {"a", "b"}},
        VspCase{"CloseInString", "<%s = \"%>\";%>t",
                "Print(_RawHtml[0]);\ns = \"%>\";\nPrint(_RawHtml[1]);\n", {"", "t"}},
        VspCase{"CloseInLineComment", "<%x = 1; // %> no\ny = 2;%>t",
                "Print(_RawHtml[0]);\nx = 1; // %> no\ny = 2;\nPrint(_RawHtml[1]);\n", {"", "t"}},
        VspCase{"CloseInBlockComment", "<%/* %> */x = 1;%>t",
                "Print(_RawHtml[0]);\n/* %> */x = 1;\nPrint(_RawHtml[1]);\n", {"", "t"}},
        VspCase{"EscapedQuoteInString", "<%s = \"a\\\"%>\";%>t",
                "Print(_RawHtml[0]);\ns = \"a\\\"%>\";\nPrint(_RawHtml[1]);\n", {"", "t"}},
        // A literal ending in an escaped backslash is closed by its quote.
        VspCase{"EscapedBackslashEndsString", "<%s = \"a\\\\\";%>t<%u = 1;%>",
                "Print(_RawHtml[0]);\ns = \"a\\\\\";\nPrint(_RawHtml[1]);\nu = 1;\nPrint(_RawHtml[2]);\n", {"", "t", ""}},
        VspCase{"UnclosedBlockRunsToTheEnd", "a<%x = 1;", "Print(_RawHtml[0]);\nx = 1;\n", {"a"}},
        VspCase{"PercentOutsideBlocks", "50% off %> <", "Print(_RawHtml[0]);\n", {"50% off %> <"}}),
    [](const ::testing::TestParamInfo<VspCase>& p) { return std::string(p.param.name); });

}  // namespace
