#include "engine/keyword.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(KeywordTable, IndexesAreContiguousAndNamesUnique) {
  ASSERT_EQ(KeywordDict().Count(), static_cast<int>(kKeywordTable.size()));
  ASSERT_GT(KeywordDict().Count(), kFirstOperation);
  std::set<std::string_view> names;
  for (int i = 0; i < KeywordDict().Count(); ++i) {
    const RecKeyword& rec = KeywordDict().Record(i);
    EXPECT_EQ(rec.index, i);
    EXPECT_EQ(rec.nameLen, static_cast<int>(rec.name.size())) << rec.name;
    EXPECT_LT(rec.name.size(), 28u) << rec.name;  // fits the 28-byte name field
    EXPECT_TRUE(names.insert(rec.name).second) << "duplicate " << rec.name;
    if (i >= kFirstOperation) {
      EXPECT_EQ(rec.name.back(), '(') << rec.name;
    }
  }
}

struct IndexCase {
  const char* name;
  int index;
  char kind;
  int args;
};

TEST(KeywordTable, FixedIndexesKindsAndCounts) {
  const IndexCase cases[] = {
      {"else if(", 0, 'E', 1},   {"if(", 1, 'i', 1},       {"else", 2, 'e', -1},
      {"{", 3, '{', -1},         {"}", 4, '}', -1},        {"while(", 5, 'w', 1},
      {"switch(", 6, 's', 1},    {"case(", 7, 'c', 1},     {"default(", 8, 'd', 0},
      {"break;", 9, 'b', -1},    {"continue;", 10, 'o', -1}, {"Close(", 11, 'x', 0},
      {"function", 12, 'f', -1}, {"return(", 13, 'r', 1},  {"#include", 14, 'g', -1},
      {"for(", 15, 'w', 3},      {"const", 16, 'n', -1},   {"OnDisconn(", 19, 'g', 0},
      {"StopTimer(", 23, 'g', 1}, {"Type(", 24, 'g', 2},   {"Eval(", 45, 'R', 1},
      {"EregSplit(", 56, 'g', 3}, {"DbOpen(", 57, 'g', 6}, {"DbExecMap(", 65, 'g', 5},
      {"SelectLan(", 66, 'g', 1}, {"SetRecPos(", 87, 'g', 1}, {"LoadVocFile(", 88, 'g', 2},
      {"Play(", 90, 'g', 1},     {"SetTones(", 102, 'g', 10}, {"ImMakeReq(", 123, 'g', 9},
      {"SipProxyRecv(", 136, 'g', 4}, {"SipProxyGetField(", 137, 'v', 3},
      {"SipProxyAddField(", 138, 'g', 4}, {"PcTxtSpeak(", 163, 'g', 3},
      {"TransferTo(", 179, 'g', 1}, {"TcpOpen(", 180, 'g', 4}, {"UdpTest(", 199, 'g', 1},
      {"PcGetKeys(", 200, 'g', 3}, {"PcPlayNumber(", 201, 'g', 2}, {"PcSetKeys(", 204, 'g', 2},
      {"TextFileAppend(", 205, 'g', 3}, {"RunLine(", 222, 'g', 1}, {"GetFileList(", 234, 'g', 4},
      {"SendMsg(", 235, 'g', 4}, {"RecvMsgFor2Field(", 239, 'g', 12}, {"AcdListNum(", 260, 'g', 1},
      {"GetShareMem(", 261, 'g', 3}, {"InterLineServer(", 269, 'g', 1}, {"GetSysInfo(", 270, 'g', 1},
      {"SetMaxTalkTime(", 275, 'g', 1}, {"GetSigRawData(", 276, 'g', 1}, {"RecvFskMsg(", 281, 'g', 3},
  };
  for (const IndexCase& c : cases) {
    const RecKeyword& rec = KeywordDict().Record(c.index);
    EXPECT_EQ(rec.name, c.name) << "index " << c.index;
    EXPECT_EQ(rec.kind, c.kind) << c.name;
    EXPECT_EQ(rec.argCount, c.args) << c.name;
  }
  EXPECT_EQ(static_cast<int>(KeywordId::Const), 16);
  EXPECT_EQ(static_cast<int>(KeywordId::PcPlayNumber), 201);
}

TEST(KeywordTable, ValueKindsAndEval) {
  std::set<std::string_view> v, r;
  for (const RecKeyword& rec : kKeywordTable) {
    if (rec.kind == 'v') v.insert(rec.name);
    if (rec.kind == 'R') r.insert(rec.name);
  }
  EXPECT_EQ(v, (std::set<std::string_view>{"Float(", "Str(", "Substr(", "Chr(", "ImMsgGetField(",
                                            "SipProxyGetField(", "GetMsgFieldVal("}));
  EXPECT_EQ(r, (std::set<std::string_view>{"Eval("}));
  // Every operation that is neither a value nor Eval is a general one.
  for (const RecKeyword& rec : kKeywordTable) {
    if (rec.index >= kFirstOperation && rec.kind != 'v' && rec.kind != 'R') {
      EXPECT_EQ(rec.kind, 'g') << rec.name;
    }
  }
}

TEST(KeywordTable, GroupsFollowTheirIndexRanges) {
  struct Range {
    int from, to, group;
  };
  const Range ranges[] = {{0, 23, 0},    {24, 56, 2},   {57, 65, 3},   {66, 87, 1},   {88, 136, 4},
                          {137, 137, 8}, {138, 179, 4}, {180, 199, 5}, {200, 204, 6}, {205, 234, 7},
                          {235, 260, 8}, {261, 269, 9}, {270, 275, 7}, {276, 281, 4}};
  int covered = 0;
  for (const Range& r : ranges) {
    for (int i = r.from; i <= r.to; ++i) EXPECT_EQ(KeywordDict().Record(i).group, r.group) << i;
    covered += r.to - r.from + 1;
  }
  EXPECT_EQ(covered, KeywordDict().Count());
}

struct HeadCase {
  const char* text;
  const char* head;  // nullptr: no keyword
  size_t pos;
};

void PrintTo(const HeadCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseHeadTest : public ::testing::TestWithParam<HeadCase> {};

TEST_P(ParseHeadTest, RecognisesHead) {
  const HeadCase& c = GetParam();
  size_t pos = 12345;
  const RecKeyword* rec = KeywordDict().ParseHead(c.text, pos);
  if (c.head == nullptr) {
    EXPECT_EQ(rec, nullptr) << "found " << (rec ? rec->name : "");
    return;
  }
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->name, c.head);
  EXPECT_EQ(pos, c.pos);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, ParseHeadTest,
    ::testing::Values(HeadCase{"else if (x>1)", "else if(", 9}, HeadCase{"else if(x>1)", "else if(", 8},
                      HeadCase{"  else   if   (x)", "else if(", 15}, HeadCase{"else", "else", 4},
                      HeadCase{"else\r\n", "else", 4}, HeadCase{"while (i<3)", "while(", 7},
                      HeadCase{"break ;", "break;", 7}, HeadCase{"break;", "break;", 6},
                      HeadCase{"break", nullptr, 0}, HeadCase{"return 5", nullptr, 0},
                      HeadCase{"return(5)", "return(", 7}, HeadCase{"else {", "{", 6},
                      HeadCase{"x {", "{", 3}, HeadCase{"x = 1 {", "{", 7}, HeadCase{"x = f(a) {", nullptr, 0},
                      HeadCase{"s = \"{\"", nullptr, 0}, HeadCase{"a.b", nullptr, 0}, HeadCase{"}", "}", 1}, HeadCase{"  } // end", "}", 3},
                      HeadCase{"#include \"a.kxs\"", "#include", 9}, HeadCase{"#include<a.kxs>", "#include", 8},
                      HeadCase{"const N = 5", "const", 6}, HeadCase{"const\tN=5", "const", 6},
                      HeadCase{"function f(a, b)", "function", 9}, HeadCase{"default:", nullptr, 0},
                      HeadCase{"case 1:", nullptr, 0}, HeadCase{"default()", "default(", 8},
                      HeadCase{"Play (\"a.wav\")", "Play(", 6}, HeadCase{"x = 1", nullptr, 0},
                      HeadCase{"1abc(", nullptr, 0}, HeadCase{"", nullptr, 0}, HeadCase{"   ", nullptr, 0},
                      HeadCase{"play(1)", nullptr, 0}, HeadCase{"Play2(1)", nullptr, 0},
                      HeadCase{"else x", nullptr, 0}, HeadCase{"Strlen(s)", "Strlen(", 7}));

TEST(ParseHead, EveryKeywordIsRecognisedAsWritten) {
  for (const RecKeyword& rec : kKeywordTable) {
    std::string text(rec.name);
    size_t expect = text.size();
    if (rec.name == "const" || rec.name == "function") {
      text += " x";
      expect += 1;
    } else if (rec.name == "#include") {
      text += "\"f.kxs\"";
    } else if (rec.name.back() == '(') {
      text += "a, b)";
    }
    size_t pos = 0;
    const RecKeyword* got = KeywordDict().ParseHead(text, pos);
    ASSERT_NE(got, nullptr) << text;
    EXPECT_EQ(got->index, rec.index) << text;
    EXPECT_EQ(pos, expect) << text;
  }
}

TEST(KeywordFind, SearchesBuiltInOperationsOnly) {
  const struct {
    const char* name;
    int index;
  } cases[] = {{"Play(", 90}, {"Eval(", 45}, {"RecvFskMsg(", 281}, {"Type(", 24}, {"if(", -1},
               {"Close(", -1}, {"StopTimer(", -1}, {"Play", -1}, {"", -1}, {"play(", -1}};
  for (const auto& c : cases) {
    const RecKeyword* rec = KeywordDict().Find(c.name);
    EXPECT_EQ(rec ? rec->index : -1, c.index) << c.name;
  }
}

TEST(FindKeyword, CopiesTheNameOrEmptiesIt) {
  std::string name = "old";
  size_t pos = 99;
  const RecKeyword* rec = FindKeyword("x = 1", name, pos);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(name, "");
  rec = FindKeyword("else  if (a)", name, pos);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(name, "else if(");
  EXPECT_EQ(pos, 10u);
}

}  // namespace
