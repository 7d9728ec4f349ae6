// The line linking operations: what each passes to the call object and how
// "GetLinkList(" writes its three outputs.
#include <gtest/gtest.h>

#include "tests/operations/op_fixture.h"

using namespace optest;

namespace {

// A call object that records the link calls and answers with set lists.
class LinkCall : public TagKxCall {
 public:
  int LinkTo(int line, int flag) override { return Note("link", line, flag, 11); }
  int ListenTo(int line, int flag) override { return Note("listen", line, flag, 12); }
  int UnlinkTo(int line, int flag) override { return Note("unlink", line, flag, -2); }
  int UnlinkAll() override { return Note("all", 0, 0, 0); }
  int GetLinkList(std::vector<int>& l, std::vector<int>& li, std::vector<int>& v) override {
    calls.push_back("list " + std::to_string(l.size() + li.size() + v.size()));
    l = lines;
    li = listen;
    v = values;
    return group;
  }
  int Note(const char* what, int line, int flag, int r) {
    calls.push_back(std::string(what) + " " + std::to_string(line) + " " + std::to_string(flag));
    return r;
  }
  std::vector<std::string> calls;
  std::vector<int> lines, listen, values;
  int group = -1;
};

class Linking : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &link_, 0);
    inst_->initResult = 0;
  }
  LinkCall link_;
};

}  // namespace

TEST_F(Linking, ArgumentsReachTheCallObjectConverted) {
  struct Case {
    KeywordId id;
    std::vector<TagVar> args;
    int result;
    const char* call;
  } cases[] = {
      {KeywordId::LinkTo, {I(5), I(2)}, 11, "link 5 2"},
      {KeywordId::LinkTo, {S("3"), S("1x")}, 11, "link 3 1"},  // strings converted
      {KeywordId::LinkTo, {D(7.9), N()}, 11, "link 7 0"},
      {KeywordId::ListenTo, {I(4), I(0)}, 12, "listen 4 0"},
      {KeywordId::UnlinkTo, {S("8"), I(3)}, -2, "unlink 8 3"},
      {KeywordId::UnlinkAll, {}, 0, "all 0 0"},
  };
  for (Case& c : cases) {
    link_.calls.clear();
    EXPECT_EQ(Exec(c.id, Args(c.args)), c.result) << c.call;
    ASSERT_EQ(link_.calls.size(), 1u) << c.call;
    EXPECT_EQ(link_.calls[0], c.call);
  }
}

TEST_F(Linking, GetLinkListWritesThreeMapsFromZero) {
  link_.lines = {3, 9};
  link_.listen = {0, 1};
  link_.values = {1, 6};
  link_.group = 4;
  auto args = Args({N(), I(0), S("x")});
  EXPECT_EQ(Exec(KeywordId::GetLinkList, args), 4);
  EXPECT_EQ(link_.calls[0], "list 0") << "the call object gets empty lists";
  const int want[3][2] = {{3, 9}, {0, 1}, {1, 6}};
  for (int o = 0; o < 3; ++o) {
    ASSERT_TRUE(args[o]->IsMap()) << o;
    EXPECT_EQ(args[o]->Length(), 2) << o;
    for (int i = 0; i < 2; ++i) {
      TagVar got;
      args[o]->GetItem(I(i), got);
      EXPECT_EQ(Show(got), std::to_string(want[o][i])) << o << "," << i;
    }
  }
}

TEST_F(Linking, GetLinkListWithoutLinksLeavesTheOutputsAndKeepsOtherKeys) {
  auto args = Args({I(5), S("keep"), N()});
  EXPECT_EQ(Exec(KeywordId::GetLinkList, args), -1);
  EXPECT_EQ(Show(*args[0]), "5");
  EXPECT_EQ(Show(*args[1]), "\"keep\"");
  // Keys beyond the count already in a map stay.
  link_.lines = {2};
  link_.listen = {1};
  link_.values = {3};
  link_.group = 0;
  auto maps = Args({N(), N(), N()});
  for (TagVar* m : maps) m->SetItem(I(5), S("old"));
  EXPECT_EQ(Exec(KeywordId::GetLinkList, maps), 0);
  for (TagVar* m : maps) {
    EXPECT_EQ(m->Length(), 2);
    TagVar old;
    m->GetItem(I(5), old);
    EXPECT_EQ(Show(old), "\"old\"");
  }
}
