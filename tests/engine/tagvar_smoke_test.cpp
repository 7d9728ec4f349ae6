#include <gtest/gtest.h>
#include "engine/tagvar.h"
TEST(Smoke, X) { EXPECT_EQ(TagVar::Int(1).AsInt(), 1); }
