// The three regular-expression operations, compiled from scripts and run.
#include <gtest/gtest.h>

#include "tests/engine/script_harness.h"

namespace {

using EregOps = scripttest::ScriptTest;

TEST_F(EregOps, MatchStoresGroupsThatTookPart) {
  Compile(R"kxs(g = 0;
h = 0;
k = 0;
m = 0;
t = "abc";
p = "b(c)";
r = Ereg(t, 0, p, g);
g0 = g[0];
g1 = g[1];
q = "(x)|b";
h[1] = "kept";
r2 = Ereg(t, 0, q, h);
h0 = h[0];
h1 = h[1];
r3 = Ereg(t, -5, p, k);
r4 = Ereg(t, 9, p, k);
e = "x*";
r5 = Ereg(t, 0, e, m);
m0 = m[0];
n = 5;
r6 = Ereg(n, 0, p, k);
r7 = Ereg(t, 0, p, 5);
return(0);
)kxs");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  EXPECT_EQ(Var("r").AsInt(), 2);
  EXPECT_EQ(Text("g0"), "bc");
  EXPECT_EQ(Text("g1"), "c");
  EXPECT_EQ(Var("r2").AsInt(), 2);
  EXPECT_EQ(Text("h0"), "b");
  EXPECT_EQ(Text("h1"), "kept");  // a group that took no part leaves its key alone
  EXPECT_EQ(Var("r3").AsInt(), 2);
  EXPECT_EQ(Var("r4").AsInt(), 0);
  EXPECT_EQ(Var("r5").AsInt(), 1);
  EXPECT_EQ(Text("m0"), "");
  EXPECT_EQ(Var("r6").AsInt(), 0);  // the text must be a string
  EXPECT_EQ(Var("r7").AsInt(), 2);  // a constant groups argument: position only
}

TEST_F(EregOps, ReplaceInPlace) {
  Compile(R"kxs(a = "one two two";
p = "two";
w = "2";
r0 = EregRepl(a, p, w, 0);
a0 = a;
r1 = EregRepl(a, p, w, 1);
a1 = a;
b = "one two two";
rall = EregRepl(b, p, w, -1);
n = 7;
rn = EregRepl(n, p, w, -1);
return(0);
)kxs");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  EXPECT_EQ(Var("r0").AsInt(), 1);
  EXPECT_EQ(Text("a0"), "one two two");
  EXPECT_EQ(Var("r1").AsInt(), 1);
  EXPECT_EQ(Text("a1"), "one 2 two");
  EXPECT_EQ(Text("b"), "one 2 2");
  EXPECT_EQ(Var("rn").AsInt(), 0);
}

TEST_F(EregOps, SplitIntoPieces) {
  Compile(R"kxs(m = 0;
k = 0;
y = 0;
s = "a,b,,c";
c = ",";
n = EregSplit(s, c, m);
p0 = m[0];
p1 = m[1];
p2 = m[2];
p3 = m[3];
x = "abc";
e = "x*";
n2 = EregSplit(x, e, k);
k1 = k[1];
k7 = k[7];
z = "";
n3 = EregSplit(z, c, y);
y0 = y[0];
n4 = EregSplit(s, c, 3);
return(0);
)kxs");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  EXPECT_EQ(Var("n").AsInt(), 4);
  EXPECT_EQ(Text("p0"), "a");
  EXPECT_EQ(Text("p1"), "b");
  EXPECT_EQ(Text("p2"), "");
  EXPECT_EQ(Text("p3"), "c");
  EXPECT_EQ(Var("n2").AsInt(), 8);
  EXPECT_EQ(Text("k1"), "a");
  EXPECT_EQ(Text("k7"), "");
  EXPECT_EQ(Var("n3").AsInt(), 1);
  EXPECT_EQ(Text("y0"), "");
  EXPECT_EQ(Var("n4").AsInt(), 0);  // constant pieces argument
}

}  // namespace
