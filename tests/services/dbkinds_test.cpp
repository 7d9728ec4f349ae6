// The table of data-set kinds: a second row with a code would never be
// found, and a row without its maker or address reader would crash the open.
#include "services/dbkinds.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(DbKinds, EachCodeHasOneCompleteRow) {
  std::set<int> codes;
  for (const TagDbKind& kind : DbKinds()) {
    SCOPED_TRACE(kind.name);
    EXPECT_TRUE(codes.insert(kind.type).second) << "code " << kind.type << " twice";
    EXPECT_EQ(FindDbKind(kind.type), &kind);
    EXPECT_NE(kind.make, nullptr);
    EXPECT_NE(kind.readAddress, nullptr);
    EXPECT_TRUE(kind.library == kDbNoLibrary || (kind.library >= 0 && kind.library < kDbLibCount));
  }
}

}  // namespace
