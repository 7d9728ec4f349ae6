// The layout store FormPos.dat and the window layouts made from it.
#include <gtest/gtest.h>

#include "host/formpos.h"
#include "tests/support/tempdir.h"

namespace {

class FormPosTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedCwd cwd_{dir_.path()};
};

TEST_F(FormPosTest, SavedFileIsTheExactTextAndReadsBack) {
  TagMapCfg cfg;
  TagWinLayout l;
  l.x = 10;
  l.y = 20;
  l.width = 800;
  l.height = 600;
  l.widths = {1, 2, 3, 4, 5, 6, 7, 80};
  StorePost(&cfg, l);
  EXPECT_EQ(cfg.Save(), 12);
  EXPECT_EQ(testsupport::ReadFile(dir_ / "FormPos.dat"),
            "GridWid0 = 1\nGridWid1 = 2\nGridWid2 = 3\nGridWid3 = 4\nGridWid4 = 5\nGridWid5 = 6\nGridWid6 = 7\n"
            "GridWid7 = 80\nWinHeight = 600\nWinWidth = 800\nWinX = 10\nWinY = 20\n");
  TagMapCfg back;
  ASSERT_EQ(back.Load(), 0);
  TagWinLayout r;
  ASSERT_TRUE(LoadPost(back, &r));
  EXPECT_EQ(r.x, 10);
  EXPECT_EQ(r.y, 20);
  EXPECT_EQ(r.width, 800);
  EXPECT_EQ(r.height, 600);
  EXPECT_EQ(r.widths, l.widths);
}

TEST_F(FormPosTest, ReadingRemovesBlanksAndComments) {
  testsupport::WriteFile(dir_ / "FormPos.dat",
                         "  Win X\t=  12 \r\nWinY=3// saved by hand\nno pair here\nWinWidth = 1/2 // odd\n"
                         "// WinHeight = 99\nGridWid2==7\n");
  TagMapCfg cfg;
  ASSERT_EQ(cfg.Load(), 0);
  EXPECT_EQ(cfg.GetInt("WinX"), 12);
  EXPECT_EQ(cfg.GetInt("WinY"), 3);
  EXPECT_EQ(cfg.Pairs().at("WinWidth"), "1/2//odd") << "a single slash first keeps the rest";
  EXPECT_EQ(cfg.GetInt("WinHeight"), -1);
  EXPECT_EQ(cfg.Pairs().at("GridWid2"), "=7");
  EXPECT_EQ(cfg.Pairs().size(), 4u);
}

TEST_F(FormPosTest, MissingFileAndUnwritableFile) {
  TagMapCfg cfg;
  EXPECT_EQ(cfg.Load(), -1);
  EXPECT_EQ(cfg.GetInt("WinX"), -1);
  TagMapCfg bad(dir_ / "no/such/dir/FormPos.dat");
  bad.SetInt("WinX", 1);
  EXPECT_EQ(bad.Save(), -1);
}

TEST_F(FormPosTest, PositionMissingOrNegativeKeepsTheLayout) {
  struct Case {
    const char* text;
    bool applied;
  } cases[] = {
      {"", false},
      {"WinX = 5\n", false},
      {"WinX = -8\nWinY = -8\nWinWidth = 1300\n", false},  // a maximised window
      {"WinX = 5\nWinY = -1\n", false},
      {"WinX = 0\nWinY = 0\n", true},
  };
  for (auto& c : cases) {
    testsupport::WriteFile(dir_ / "FormPos.dat", c.text);
    TagMapCfg cfg;
    cfg.Load();
    TagWinLayout l;
    EXPECT_EQ(LoadPost(cfg, &l), c.applied) << c.text;
    if (!c.applied) {
      EXPECT_EQ(l.width, TagWinLayout::kInitW);
      EXPECT_EQ(l.x, TagWinLayout::kInitX);
    }
  }
}

TEST_F(FormPosTest, SizesAndWidthsOnlyWhenPositive) {
  testsupport::WriteFile(dir_ / "FormPos.dat", "WinX=1\nWinY=2\nWinWidth=0\nWinHeight=400\nGridWid0=-5\nGridWid1=33\n");
  TagMapCfg cfg;
  cfg.Load();
  TagWinLayout l;
  ASSERT_TRUE(LoadPost(cfg, &l));
  EXPECT_EQ(l.width, TagWinLayout::kInitW);
  EXPECT_EQ(l.height, 400);
  EXPECT_EQ(l.widths[0], 124);
  EXPECT_EQ(l.widths[1], 33);
}

// The fuzz target's checks over a fixed corpus of awkward files.
TEST_F(FormPosTest, AwkwardFilesLoadSafely) {
  const std::string corpus[] = {
      std::string(600, 'x') + "=1\nWinX=4\n",           // a line longer than the read buffer
      std::string("Win\0X=5\nWinY=6\n", 16),           // a NUL inside a line
      "=\n==\n=7\n",                                   // empty keys
      "WinX=99999999999999999999\nWinY=-99999999999\n",  // numbers past the int range
      "WinX=3\r\nWinY=4",                               // CR LF and no final newline
      "/=/\n//WinX=1\nWinY=2/\n",
  };
  for (const std::string& text : corpus) {
    testsupport::WriteFile(dir_ / "FormPos.dat", text);
    TagMapCfg cfg;
    ASSERT_EQ(cfg.Load(), 0);
    for (auto& [k, v] : cfg.Pairs()) {
      EXPECT_EQ(k.find_first_of("= \t\r\n"), std::string::npos) << k;
      EXPECT_EQ(v.find_first_of(" \t\r\n"), std::string::npos) << v;
    }
    TagWinLayout l;
    if (LoadPost(cfg, &l)) {
      EXPECT_GE(l.x, 0);
      EXPECT_GE(l.y, 0);
    }
  }
  TagMapCfg crlf;
  testsupport::WriteFile(dir_ / "FormPos.dat", corpus[4]);
  crlf.Load();
  EXPECT_EQ(crlf.GetInt("WinX"), 3);
  EXPECT_EQ(crlf.GetInt("WinY"), 4);
}

TEST(DefaultLayoutTest, ColumnsShareTheScreenWidth) {
  struct Case {
    int groups, sente, screenW;
    bool applies;
    int col4, user;
  } cases[] = {
      {1, 1, 1280, false, 0, 0},
      {4, 0, 1280, true, 1, 88},      // (320 - 54) / 3
      {4, 1, 1280, true, 20, 82},     // (320 - 74) / 3
      {2, 1, 1920, true, 20, 295},    // (960 - 74) / 3
      {10, 1, 600, true, 20, 10},     // negative gives 10
  };
  for (auto& c : cases) {
    TagWinLayout l;
    EXPECT_EQ(DefaultLayout(c.groups, c.sente, 0, 0, c.screenW, 1000, &l), c.applies);
    if (!c.applies) {
      EXPECT_EQ(l.widths, TagWinLayout::kInitWidths);
      continue;
    }
    EXPECT_EQ(l.widths[4], c.col4) << c.groups << " " << c.screenW;
    EXPECT_EQ(l.widths[5], c.user);
    EXPECT_EQ(l.widths[7], c.user);
    {
      EXPECT_EQ(l.widths[0], 16);
      EXPECT_EQ(l.width, c.screenW);
      EXPECT_EQ(l.x, 0);
    }
  }
}

}  // namespace
